// Network-level messages that report on the network rather than change it.
#pragma once

#include "util/zwu_array.h"

// Registers this module's network-level descriptors. 0 or 22.
int zwp_avi_networks_info_register(zwu_array_list_t list);
