// Sending commands to an interface of a node: the one send path that every
// interface call ends in, and the report-callback registration.
#pragma once

#include "hcapi/include/zwnode.h"

#include <cstdint>
#include <ctime>

struct appl_layer_ctx;

// Flags of zwif_exec.
enum : uint32_t {
    ZWIF_EXEC_TASKS = 0x001,        // the extra pointer is a post-send task list
    ZWIF_EXEC_NO_SZ_CHK = 0x002,    // skip the frame-size check
    ZWIF_EXEC_POLL = 0x008,         // a command of the polling facility
    ZWIF_EXEC_NO_SLEEP_Q = 0x010,   // never into the sleeping-node queue
    ZWIF_EXEC_NO_WAIT_Q = 0x020,    // never into the report-wait queue
    ZWIF_EXEC_Q_REC = 0x040,        // the extra pointer is a queued command record
    ZWIF_EXEC_RPT_IF_GET = 0x080,   // expect a report when the command is a listed get
    ZWIF_EXEC_RPT = 0x100,          // expect a report in any case
    ZWIF_EXEC_NO_SEC = 0x200,       // no security choice
};

// Completion of a send, in the Z/IP application layer's form: (layer
// context, 0 or a negative Z/IP status, user parameter, node id).
using zwif_tx_cmpl_fn = void (*)(appl_layer_ctx *ctx, int status, void *user, uint8_t node_id);

// Sends a command to an interface, or queues it for a sleeping or busy node.
// 0 sent; 1 queued, or sent with a report expected; -62 network not running;
// -13 node unknown; -12 no memory or queue full; -36 too long; -43 the
// application layer is busy; -19 any other send failure. The completion (by
// default one that logs failures) runs on the application layer's callback
// thread, exactly once for a command that was sent.
int zwif_exec(const zwif_desc_t *intf, const uint8_t *cmd, uint16_t len, zwif_tx_cmpl_fn cb, void *user,
              uint32_t flags, void *extra);
int zwif_exec_simple(const zwif_desc_t *intf, const uint8_t *cmd, uint16_t len, zwif_tx_cmpl_fn cb);

// Sends class, get command and parameters (at most 29 bytes: else -12);
// poll 1 bypasses the queues, the size check and the security choice.
// A failure logs and becomes -19.
int zwif_get_report(const zwif_desc_t *intf, const uint8_t *param, uint8_t param_len, uint8_t get_cmd,
                    zwif_tx_cmpl_fn cb, int poll);
int zwif_get_report_simple(const zwif_desc_t *intf, const uint8_t *param, uint8_t param_len, uint8_t get_cmd,
                           zwif_tx_cmpl_fn cb);

// The operation code and count that the node's next queued command carries:
// 0, or -13.
int zwnode_cur_op_set(const zwif_desc_t *intf, uint16_t op, uint8_t cnt);

// The completion that reports a transmit status to the application's
// transmit-status callback.
void zwif_tx_sts_cb(appl_layer_ctx *ctx, int status, void *user, uint8_t node_id);
// Maps a Z/IP status to the library's transmit status (ZWNET_TX_*).
uint8_t zwif_tx_sts_map(int zip_status);

// Report callbacks of an interface, one per report command: 0, -15 unknown
// interface, -21 no such report.
using zwif_rpt_fn = void (*)();
// What a single-value report (Basic, Binary Switch, Battery, ...) hands to
// its callbacks: the value and the time it arrived (seconds since the epoch).
using zwrep_ts_fn = void (*)(zwif_desc_t *intf, uint8_t value, time_t ts);
int zwif_set_report(const zwif_desc_t *intf, zwif_rpt_fn cb, uint8_t rpt);
int zwif_set_sm_report(const zwif_desc_t *intf, zwif_rpt_fn cb, uint8_t rpt);

// ---------------------------------------------------------------------------
// Per-class calls: 0 done, 1 queued (or sent with a report expected), 2
// answered from the cache, negative error (-14 the descriptor is of another
// class, -25 a value out of range). Replies come back as reports through the
// callback that the class's *_rpt_set call registers.
// ---------------------------------------------------------------------------

// A poll request of the application: the poll forms of the get calls send
// the Get now and then every `interval` seconds (0: 10 s), `poll_cnt` times
// (0: without end); `cb` hears (network, handle, key, user) when the request
// ends. The call writes the request's handle into `handle`; `key` lets the
// application remove all its requests at once.
using zwpoll_cb_fn = void (*)(zwnet_p net, uint16_t handle, uint32_t key, uint64_t user);
struct zwpoll_req_t {
    uint32_t key{0};
    uint16_t interval{0};
    uint16_t poll_cnt{0};
    zwpoll_cb_fn cb{nullptr};
    uint64_t user{0};
    uint16_t handle{0};
};

// The common poll form: the Get of class `intf->cls` with `get_cmd` and its
// parameters (at most 29 bytes, else -12), handed to the report poll
// facility. 0 (handle written), -13 node gone, -21 no report answers the Get,
// -27 no poll facility running, -12.
int zwif_get_report_poll(const zwif_desc_t *intf, const uint8_t *param, uint8_t param_len, uint8_t get_cmd,
                         zwpoll_req_t *poll_req);

// Get flags: bit 0 deliver the cached report, bit 1 send a live GET.
enum : uint32_t {
    ZWIF_GET_BMSK_CACHE = 0x01,
    ZWIF_GET_BMSK_LIVE = 0x02,
};

// Each class's get comes in three forms: _get_ex with a poll request (then
// the flags are not looked at) or flags, _get with flags, _get_poll with a
// poll request.
int zwif_basic_rpt_set(const zwif_desc_t *intf, zwrep_ts_fn cb);
int zwif_basic_get_ex(const zwif_desc_t *intf, zwpoll_req_t *poll, uint32_t flags);
int zwif_basic_get(const zwif_desc_t *intf, uint32_t flags);
int zwif_basic_get_poll(const zwif_desc_t *intf, zwpoll_req_t *poll);
int zwif_basic_set(const zwif_desc_t *intf, uint8_t value);  // 0..99 or 0xFF

int zwif_switch_rpt_set(const zwif_desc_t *intf, zwrep_ts_fn cb);
int zwif_switch_get_ex(const zwif_desc_t *intf, zwpoll_req_t *poll, uint32_t flags);
int zwif_switch_get(const zwif_desc_t *intf, uint32_t flags);
int zwif_switch_get_poll(const zwif_desc_t *intf, zwpoll_req_t *poll);
int zwif_switch_set(const zwif_desc_t *intf, uint8_t on);

int zwif_batt_rpt_set(const zwif_desc_t *intf, zwrep_ts_fn cb);
int zwif_batt_get_ex(const zwif_desc_t *intf, zwpoll_req_t *poll, uint32_t flags);
int zwif_batt_get(const zwif_desc_t *intf, uint32_t flags);
int zwif_batt_get_poll(const zwif_desc_t *intf, zwpoll_req_t *poll);
