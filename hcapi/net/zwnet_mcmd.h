// The multi-command reply machine: a node's Multi Command encapsulation to
// the controller is answered with one encapsulation that bundles the
// answers. Answers that need the gateway asked first are collected here:
// the machine sends the gateway commands in order, waits for each awaited
// report (at most 1000 ms), and then sends the bundle to the node. One
// request at a time; its state lives in the network (zwnet::mcmd), under
// the network mutex.
#pragma once

#include "hcapi/core/zwrec.h"

#include <cstdint>
#include <deque>
#include <vector>

// Kinds of an answer entry.
enum : uint8_t {
    ZWNET_MCMD_GW_SET = 0,  // send to the gateway, no report awaited
    ZWNET_MCMD_GW_GET = 1,  // send to the gateway and bundle its report
    ZWNET_MCMD_READY = 2,   // bundle these bytes
};

struct zwnet_mcmd_ent_t {
    uint8_t kind{ZWNET_MCMD_READY};
    uint8_t rpt{0};    // kind 1: the awaited report command
    uint16_t cls{0};   // kind 1: the awaited report class
    std::vector<uint8_t> bytes;
};

// One encapsulation to answer: its entries in order, and where the bundle
// goes.
struct zwnet_mcmd_req_t {
    std::deque<zwnet_mcmd_ent_t> ents;
    uint8_t node_id{0};
    uint8_t dst_ep{0};
    uint8_t secure{0};
    uint8_t has_fmt{0};
    uint16_t encap_fmt{0};
};

// Machine events.
enum : int {
    ZWNET_MCMD_EVT_TMOUT = 0,
    ZWNET_MCMD_EVT_FRAME = 1,  // a command from the gateway's node
    ZWNET_MCMD_EVT_REQ = 2,    // a request was queued, or the idle wait ended
    ZWNET_MCMD_EVT_STOP = 3,   // the network exits
};

// The bundle stays below this many bytes.
inline constexpr uint16_t ZWNET_MCMD_BUNDLE_MAX = 200;

// Queues a request and feeds event 2 (any thread, with or without the
// network mutex): 0, or -12.
int zwnet_mul_cmd_req_put(zwnet_p net, zwnet_mcmd_req_t req);

// Feeds one event (network mutex held): the state after it (0 idle, 1
// waiting for a gateway report, 2 pausing after a gateway command, 3
// stopped).
uint32_t zwnet_mul_cmd_sm(zwnet_p net, int evt, const uint8_t *frame, uint16_t len);
