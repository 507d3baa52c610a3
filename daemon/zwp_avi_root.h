// Root-level messages: which Z/IP gateway the daemon uses, the gateways
// that discovery finds, and the switch to another gateway. They run
// without a network.
#pragma once

#include "util/zwu_array.h"

// Registers this module's root-level descriptors. 0 or 22.
int zwp_avi_root_register(zwu_array_list_t list);
