// Network-level messages that start, steer or end an operation of the
// host-controller library: inclusion and exclusion with the Security 2
// steps, failed nodes, updates, learn mode, migration, reset and abort.
#pragma once

#include "util/zwu_array.h"

// Registers this module's network-level descriptors. 0 or 22.
int zwp_avi_networks_ops_register(zwu_array_list_t list);
