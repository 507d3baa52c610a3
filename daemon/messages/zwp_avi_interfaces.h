// The daemon's interface message families: their order in the registry,
// and what each interface of a new descriptor tree gets of them.
#pragma once

#include "daemon/zwp_avi.h"
#include "util/zwu_array.h"

struct zwif_desc_t;

// The layer as the program hands it to the registry.
const zwp_avi_layer_t *zwp_avi_messages_layer();

// Every family, in the registry's module order. 0 or 22.
int zwp_avi_interfaces_register(zwu_array_list_t list);

// The state and report callbacks of one interface of a newly built tree:
// the state of its class's module (made by the first descriptor of the
// class that makes one), then the module's setup. A setup that the library
// refuses is logged and leaves the interface without its module (its
// messages then fail), not the tree without the network. 0, or 22 when the
// state cannot be made.
int zwp_avi_interface_states_init(zwu_array_list_t list, const zwif_desc_t *intf, apr_pool_t *pool);
