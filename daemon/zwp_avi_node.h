// Node-level messages (the command queue the library keeps for a sleeping
// node, the endpoints of a node) and endpoint-level messages (the interfaces
// of an endpoint, its name and location).
#pragma once

#include "util/zwu_array.h"

#include <cstddef>

// Register this module's node-level / endpoint-level descriptors. 0 or 22.
int zwp_avi_nodes_register(zwu_array_list_t list);
int zwp_avi_endpoints_register(zwu_array_list_t list);

// Length of the longest prefix of text[0..length) that is made of whole,
// well-formed UTF-8 sequences and is at most max bytes long: where a name
// or location is cut.
size_t zwp_utf8_cut_length(const char *text, size_t length, size_t max);
