// Network-level messages of the gateway's provisioning list (the Smart
// Start whitelist), and the library callbacks that fill the network's
// mirror of it.
#pragma once

#include "util/zwu_array.h"

// Registers this module's network-level descriptors. 0 or 22.
int zwp_avi_networks_whitelist_register(zwu_array_list_t list);
