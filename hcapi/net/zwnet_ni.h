// The node interview as the machines that start it see it: one walk over a
// list of node ids per network, driven by events under the network mutex.
#pragma once

#include "hcapi/core/zwrec.h"

#include <cstdint>

// Called once when a walk ends, with the first node id of its list.
using zwnet_ni_cmplt_fn = void (*)(zwnet_p net, uint8_t first_node_id);

// The start record of a walk (its node list is copied on start).
struct zwnet_ni_param_t {
    zwnet_ni_cmplt_fn cmplt_cb{nullptr};
    const uint8_t *node_id{nullptr};
    uint32_t delay{0};         // ms before the first request (start with the gateway's DSK only)
    uint8_t cnt{0};
    uint8_t op{0};             // the network operation the walk runs under
    uint8_t new_node{0};       // set the wake-up interval; Wake Up No More Information after a sleeper
    uint8_t use_cache{0};      // interview the node record as it stands (multi-client networks only)
    uint8_t ret_route{0};      // assign a return route to the controller first
    uint8_t gw_dsk{0};         // fetch the gateway's DSK before the walk
    uint8_t skip_sleeping{0};  // leave a sleeping node for its next wake-up
    uint8_t idx{0};            // the walk's own position
};

// Events of the node interview that its starters feed.
enum : int {
    ZWNET_NI_EVT_TMOUT = 0,
    ZWNET_NI_EVT_START = 1,
    ZWNET_NI_EVT_START_DSK = 2,
};

// Feeds one event (network mutex held): 1 when a start was accepted, else 0.
int zwnet_node_info_sm(zwnet_p net, int evt, void *data);
