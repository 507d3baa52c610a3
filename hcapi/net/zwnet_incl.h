// Inclusion, exclusion and replacement with Security 2 (operations 2 to 5),
// the request thread that does what must wait for a quiet network, and the
// network update (7) and reset (8) machines. Their state lives in one record
// per network (zwnet::incl), made with the network, under the network mutex
// unless said otherwise.
#pragma once

#include "hcapi/core/zwrec.h"
#include "hcapi/zip/zip_nm.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

// A request to the request thread (copied into its list).
enum : uint8_t {
    ZWNET_REQ_NOP_PROBE = 0,     // a node reported a local reset: is it still there?
    ZWNET_REQ_FAILED_RM = 1,     // remove it if the gateway counts it failed
    ZWNET_REQ_FAILED_RM_RETRY = 2,
    ZWNET_REQ_RESTART_PROBE = 3, // a device restarting after a firmware update
    ZWNET_REQ_INCL = 4,          // an inclusion the gateway started while we were busy
    ZWNET_REQ_NONE = 5,
    ZWNET_REQ_WKUP_END = 6,      // end the node's wake-up period
};

struct zwnet_req_t {
    uint8_t node_id{0};
    uint8_t type{0};
    uint8_t retry{0};
    uint8_t rm_tries{0};  // failed removals answered "working properly" or "not failing"
    appl_incl_add_t incl{};  // type 4: the add status, its class lists below
    std::vector<uint16_t> cls;
    std::vector<uint16_t> cls_sec;
};

// Machine states of the update and reset.
enum : uint32_t {
    ZWNET_UPDT_IDLE = 0,
    ZWNET_UPDT_CTLR = 1,
    ZWNET_UPDT_NW = 2,
    ZWNET_UPDT_NODE_LIST = 3,
    ZWNET_UPDT_ADDR = 4,
    ZWNET_UPDT_NBR = 5,
    ZWNET_UPDT_INTV = 6,
};
enum : uint32_t {
    ZWNET_RST_IDLE = 0,
    ZWNET_RST_DRL = 1,
    ZWNET_RST_DFLT = 2,
    ZWNET_RST_CTLR = 3,
    ZWNET_RST_NODE_LIST = 4,
};

struct zwnet_incl_st {
    // Add and replace.
    uint8_t add_mode{0};  // 0 normal, 1 on-behalf asked by the application, 2 started by the gateway
    uint8_t csa_req{0};   // the joining node asked for client-side authentication
    uint32_t add_state{0};  // 0 idle, 1 waiting for the gateway's DSK
    uint8_t add_rplc{0};
    uint8_t add_dsk_first{0};
    uint8_t add_on_behalf{0};
    uint8_t add_node_id{0};
    void *s2_user{nullptr};
    zwnet_sec2_fn s2_cb{nullptr};
    std::string s2_dsk;  // expected DSK text, empty for none
    char gw_dsk[ZWNET_DSK_TEXT_MAX + 1]{};
    // The watchdog of add, remove and replace: a final status that never
    // comes must not hold the one operation for ever.
    uint16_t wd_tmr{0};
    uint8_t wd_op{0};

    // Request thread: its list (under the network's request mutex).
    std::deque<zwnet_req_t> reqs;

    // Network update.
    uint32_t updt_state{0};
    std::vector<uint8_t> nbr;
    std::vector<uint8_t> nbr_failed;
    uint8_t nbr_idx{0};
    uint8_t nbr_pass{0};
    uint8_t updt_progress{0};
    // Reset.
    uint32_t rst_state{0};
    uint8_t rst_retry{0};
    uint8_t rst_drl_busy{0};
    // Refused failed-node removals per node id (request thread).
    uint8_t rm_tries[ZWNET_NODE_ID_MAX + 1]{};
};

// How long add, remove and replace wait for the gateway's final status.
inline constexpr uint32_t ZWNET_INCL_WATCHDOG_MS = 240000;

// Stops the watchdog (network mutex held): an operation that ended or an
// abort.
void zwnet_incl_wd_stop(zwnet_p net);
// zwnet_incl_clr (hcapi/net/zwnet_ops.h) puts the add, update and reset
// machines back to idle and stops the watchdog.
// Arms the watchdog for an operation that waits on the gateway's final
// status (network mutex held).
void zwnet_incl_wd_start(zwnet_p net, uint8_t op);

// The status record of an inclusion callback from the gateway.
void zwnet_incl_evt_cb(appl_layer_ctx *ctx, const appl_incl_evt_t *evt);
// The handler behind it, also for an inclusion replayed by the request
// thread (without the network mutex).
void zwnet_incl_evt_hdlr(zwnet_p net, const appl_incl_evt_t &evt);
// The remove-failed-node completion, also the request thread's.
void rm_failed_node_cb(appl_layer_ctx *ctx, uint8_t status, uint8_t node_id);
// Failed-node removal status text.
const char *zwnet_rm_failed_sts_text(uint8_t status);

// Appends a request and wakes the thread. Any thread, with or without the
// network mutex.
void zwnet_req_post(zwnet_p net, const zwnet_req_t &req);
// The thread body ("zwnet_req"); ends when the network's request run flag
// is cleared and the semaphore posted.
void zwnet_req_thrd(zwnet_p net);

// The update (7) and reset (8) machines (network mutex held); their events
// as zwnet_ops.h lists them.
int zwnet_updt_sm(zwnet_p net, int evt, const void *data);
int zwnet_rst_sm(zwnet_p net, int evt, const void *data);
