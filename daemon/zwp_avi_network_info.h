// Network-level messages that report on the network rather than change it.
#pragma once

#include "util/zwu_array.h"

// Registers this module's network-level descriptors, in two parts so that
// the operation messages stand between them: exit, information, node list
// and endpoint list first; operation state, summary and version after the
// operations. 0 or 22.
int zwp_avi_networks_info_register(zwu_array_list_t list);
int zwp_avi_networks_state_register(zwu_array_list_t list);
