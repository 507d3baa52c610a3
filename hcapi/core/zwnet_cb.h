// The callback queue of a network: every call from the library up into the
// application leaves through here (the thread that empties it is the
// network layer's, hcapi/net/zwnet_cb_thrd.h).
//
// THE RULE. No application callback, user report callback or daemon
// callback ever runs with the network mutex held, at any recursion depth.
// The daemon's callbacks take its descriptor lock, and its workers hold that
// lock while they call into the library: a callback under the network mutex
// deadlocks them. So:
//   - a producer copies what the callback needs into a zwnet_cb_msg_t and
//     posts it (zwnet_cb_post); it never calls the application itself;
//   - the callback thread, and any other place that must call the
//     application, does so through zwnet_app_call, which releases the
//     network mutex as often as the calling thread holds it, makes the call,
//     and takes the mutex back as deep as before. Records found before the
//     call may be gone after it: find them again by descriptor.
#pragma once

#include "hcapi/core/zwrec.h"

#include <cstdint>

// Message types.
enum : uint32_t {
    ZWNET_CB_RPT = 0,          // a cached report (report command, up to 8 values)
    ZWNET_CB_DATA = 1,         // cached supported information
    ZWNET_CB_DEV_REC = 2,      // a value from the device record
    ZWNET_CB_OP_NOTIFY = 3,    // operation notification
    ZWNET_CB_NODE_STS = 4,     // node status
    ZWNET_CB_EP_SM_EVT = 5,    // an event for the endpoint interview
    ZWNET_CB_S2_DSK = 6,       // Security 2: the joining node's DSK
    ZWNET_CB_S2_KEYS = 7,      // Security 2: the keys it asks for
    ZWNET_CB_DSK_TEXT = 8,     // the controller's DSK
    ZWNET_CB_FAC_RESULT = 9,   // a facility's result
    ZWNET_CB_RPT_REPLAY = 10,  // a frame replayed through the report dispatcher
};

inline constexpr uint8_t ZWNET_CB_RPT_VAL_MAX = 8;
inline constexpr uint16_t ZWNET_CB_FRAME_MAX = 46;

// A fixed-size message, copied whole into the queue.
struct zwnet_cb_msg_t {
    void (*cb)(){nullptr};  // cast to the type's signature; null for type 10
    uint32_t type{0};
    union body_t {
        struct {
            zwif_desc_t intf;
            uint8_t rpt;
            uint8_t cnt;
            uint16_t val[ZWNET_CB_RPT_VAL_MAX];
        } rpt;
        struct {
            zwif_desc_t intf;
            uint16_t kind;
            uint16_t arg;
        } data;
        struct {
            zwif_desc_t intf;
            uint16_t kind;
            int16_t arg;
            uint8_t if_type;
        } dev_rec;
        struct {
            void *user;
            uint8_t op;
            uint8_t has_info;
            uint16_t sts;
            zwnet_op_info_t info;
        } notify;
        struct {
            void *user;
            uint32_t sts;
            uint8_t node_id;
        } node_sts;
        struct {
            zwif_desc_t intf;
            uint32_t evt;
        } ep_sm;
        struct {
            void *user;
            uint8_t pin_required;
            char dsk[ZWNET_DSK_TEXT_MAX + 1];
        } s2_dsk;
        struct {
            void *user;
            uint16_t keys;  // low byte requested keys, high byte client-side authentication
        } s2_keys;
        struct {
            void *user;
            char dsk[ZWNET_DSK_TEXT_MAX + 1];
        } dsk_text;
        struct {
            zwif_desc_t intf;
            uint32_t sts;
            uint64_t user;
        } fac;
        struct {
            zwif_desc_t intf;
            uint16_t len;
            uint8_t frame[ZWNET_CB_FRAME_MAX];
        } replay;
    } body{};
};

// Queues a copy of the message and wakes the callback thread. Never blocks
// on the callback thread; a message that cannot be queued (no memory, the
// network stopping) is dropped. Any thread, with or without the network
// mutex.
void zwnet_cb_post(zwnet_p net, const zwnet_cb_msg_t *msg);

// Operation notification (type 3); nothing without a notify callback.
void zwnet_notify(zwnet_p net, uint8_t op, uint16_t sts, const zwnet_op_info_t *info);
// Node status (type 4); only with a node callback and after zwnet_init
// succeeded.
void zwnet_node_sts_notify(zwnet_p net, uint8_t node_id, uint32_t sts);
// The application layer's node-status callback: status + 3 to the above.
void zwnet_node_sts_cb(appl_layer_ctx *ctx, uint8_t node_id, uint8_t status);

// Runs `call` with the network mutex fully released (see THE RULE above).
template <class F>
void zwnet_app_call(zwnet_p net, F &&call)
{
    const int depth = zwnet_lck_depth(net);
    for (int i = 0; i < depth; ++i)
        zwnet_ulck(net);
    call();
    for (int i = 0; i < depth; ++i)
        zwnet_lck(net);
}
