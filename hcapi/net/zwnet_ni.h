// The node interview: one walk over a list of node ids per network. For each
// node it fetches the gateway's cached node information, then asks the node,
// one query at a time, for its class versions, Z-Wave Plus information,
// manufacturer and device ids, wake-up settings and endpoints, and hands the
// endpoints to the endpoint interview. The machine runs on events fed under
// the network mutex: query replies, gateway replies and its step timer.
//
// Reports reach the interview through zwnet_ni_rpt_rcv, which the receive
// path calls for every command a node sends; the interview takes only the
// report that its outstanding query waits for (same node, endpoint, class
// and command), so the application's own report callbacks stay as they are.
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

// Events of the node interview.
enum : int {
    ZWNET_NI_EVT_TMOUT = 0,
    ZWNET_NI_EVT_START = 1,
    ZWNET_NI_EVT_START_DSK = 2,
    ZWNET_NI_EVT_GW_DSK = 3,
    ZWNET_NI_EVT_NODE_INFO = 4,      // appl_node_info_t
    ZWNET_NI_EVT_NODE_INFO_RETRY = 5,
    ZWNET_NI_EVT_RR_DONE = 7,        // zwnet_ni_rpt_t: sts
    ZWNET_NI_EVT_RR_RETRY = 8,
    ZWNET_NI_EVT_CLS_VER = 9,        // zwnet_ni_rpt_t: cls, ver
    ZWNET_NI_EVT_NODE_VER = 10,      // zwnet_ni_rpt_t: versions, hw_ver, cnt firmware versions in list
    ZWNET_NI_EVT_EPS_DONE = 11,
    ZWNET_NI_EVT_ROOT_EP_DONE = 12,
    ZWNET_NI_EVT_ZWPLUS = 13,        // zwnet_ni_rpt_t: zwplus
    ZWNET_NI_EVT_MANF = 14,          // zwnet_ni_rpt_t: vid, type, pid
    ZWNET_NI_EVT_DEV_ID = 15,        // zwnet_ni_rpt_t: dev_id
    ZWNET_NI_EVT_WKUP = 16,          // zwnet_ni_rpt_t: wkup
    ZWNET_NI_EVT_MUL_INST = 17,      // zwnet_ni_rpt_t: cls, cnt
    ZWNET_NI_EVT_APPL_STS = 18,      // zwnet_ni_rpt_t: sts (1 busy, else rejected)
    ZWNET_NI_EVT_MUL_CH_EP = 19,     // zwnet_ni_rpt_t: flags, ep_cnt, aggr_cnt
    ZWNET_NI_EVT_AGGR = 20,          // zwnet_ni_rpt_t: ep, cnt members in bytes
    ZWNET_NI_EVT_EP_CAP = 21,        // zwnet_ni_rpt_t: ep, gen, spec, cnt classes in list
};

// Interview states.
enum : uint32_t {
    ZWNET_NI_IDLE = 0,
    ZWNET_NI_GW_DSK = 1,
    ZWNET_NI_NODE_INFO = 2,
    ZWNET_NI_RET_ROUTE = 3,
    ZWNET_NI_VERSION = 4,
    ZWNET_NI_ROOT_EP = 5,
    ZWNET_NI_ZWPLUS = 6,
    ZWNET_NI_MANF = 7,
    ZWNET_NI_WKUP = 8,
    ZWNET_NI_MUL_INST = 9,
    ZWNET_NI_MUL_CH = 10,
    ZWNET_NI_EPS = 11,
};

// Outstanding queries of a state with several (the query step).
enum : uint32_t {
    ZWNET_NI_STEP_MANF = 9,
    ZWNET_NI_STEP_DEV_ID = 10,
    ZWNET_NI_STEP_MUL_CH_EP = 11,
    ZWNET_NI_STEP_EP_CAP = 12,
    ZWNET_NI_STEP_AGGR = 13,
    ZWNET_NI_STEP_CLS_VER = 40,
    ZWNET_NI_STEP_NODE_VER = 41,
};

inline constexpr uint32_t ZWNET_NI_STEP_MS = 5600;
inline constexpr uint32_t ZWNET_NI_NODE_INFO_MS = 6300;
inline constexpr uint8_t ZWNET_NI_LIST_MAX = 127;  // classes of a capability, firmware targets
inline constexpr uint8_t ZWNET_NI_BUSY_MAX = 5;

// One reply of a node or of the gateway as the interview's events carry it:
// the node and endpoint it came from and the fields of its kind.
struct zwnet_ni_rpt_t {
    uint8_t node_id{0};
    uint8_t ep_id{0};
    uint16_t cls{0};
    uint8_t ver{0};
    uint8_t cnt{0};
    uint8_t sts{0};
    uint8_t flags{0};
    uint8_t ep_cnt{0};
    uint8_t aggr_cnt{0};
    uint8_t ep{0};
    uint8_t gen{0};
    uint8_t spec{0};
    uint8_t lib_type{0};
    uint8_t hw_ver{0};
    uint16_t proto_ver{0};
    uint16_t app_ver{0};
    uint16_t vid{0};
    uint16_t type{0};
    uint16_t pid{0};
    zw_dev_id_t dev_id{};
    zwplus_info_t zwplus{};
    zwnet_wkup_rec_t wkup{};
    uint8_t bytes[ZWEP_AGGR_MAX]{};
    uint16_t list[ZWNET_NI_LIST_MAX]{};
};

// The interview's reports, bytes -> record: the event the report feeds, or
// ZW_ERR_RPT_NOT_FOUND (not one of them) / ZW_ERR_TOO_SMALL (too short).
// `if_ver` is the version of the interface the report came to. Pure.
int zwnet_ni_rpt_parse(const uint8_t *cmd, uint16_t len, uint8_t if_ver, zwnet_ni_rpt_t *rec);

// ---------------------------------------------------------------------------
// The machine (network mutex held)
// ---------------------------------------------------------------------------

// Feeds one event: 1 when a start was accepted, else 0.
int zwnet_node_info_sm(zwnet_p net, int evt, void *data);
// Ends a running walk without its completion (abort, exit): timer stopped,
// list freed, state idle.
void zwnet_node_info_sm_stop(zwnet_p net);
// A command a node sent, after the report dispatcher had it (network mutex
// held; finds its records again by id): 1 when the interview took it.
int zwnet_ni_rpt_rcv(zwnet_p net, uint8_t node_id, uint8_t ep_id, const uint8_t *cmd, uint16_t len);
// The gateway answered a command with Application Status: 1 busy, else rejected.
void zwnet_ni_appl_sts(zwnet_p net, uint8_t cmd);
// The wake-up of a node marked for an update on wake-up: runs operation 18
// when the network is idle, else leaves the mark for the next wake-up.
void zwnet_ni_wkup_updt(zwnet_p net, uint8_t node_id);
// Node flags from the root endpoint's classes (sleeping, Multi Command,
// CRC-16, Supervision).
void zwnet_node_flags_updt(zwnode_p node);

// The step timer, shared with the endpoint interview: its expiry feeds `evt`
// (0 for a query time-out) into the interview that armed it.
void zwnet_ni_tmr_start(zwnet_p net, uint32_t ms, uint32_t evt);
void zwnet_ni_tmr_stop(zwnet_p net);

// ---------------------------------------------------------------------------
// Query steps (network mutex held): 0 sent and waiting (state, query step
// and the 5600 ms step timer set), else a negative code and nothing changed.
// ---------------------------------------------------------------------------

int zwnet_sm_ver_get(zwnet_p net, zwif_p intf, uint16_t cls);
int zwnet_sm_zwave_plus_get(zwnet_p net, zwif_p intf);
int zwnet_sm_manf_get(zwnet_p net, zwif_p intf);
int zwnet_sm_dev_id_get(zwnet_p net, zwif_p intf, uint8_t type);
int zwnet_sm_wkup_get(zwnet_p net, zwif_p intf);
int zwnet_sm_inst_get(zwnet_p net, zwif_p intf, uint16_t cls);
int zwnet_sm_ch_get(zwnet_p net, zwif_p intf);
int zwnet_sm_mul_ch_ep_get(zwnet_p net, zwif_p intf);
int zwnet_sm_ep_cap_get(zwnet_p net, zwif_p intf, uint8_t ep);
int zwnet_sm_aggr_ep_get(zwnet_p net, zwif_p intf, uint8_t ep);
// A return route from the node to the controller.
int zwnet_sm_rr_assign(zwnet_p net, zwnode_p node);
// The endpoints' interview from endpoint `ep` on: 0 started (state 11),
// -20 no such endpoint, -1 refused.
int zwnet_sm_ep_sm_start(zwnet_p net, zwep_p ep);
// The node's VERSION Get, the last version query.
int zwnet_sm_node_ver_get(zwnet_p net, zwif_p intf);

// Records a class version report on the endpoint of `*slot` (its VERSION
// interface) and asks the version of the next class. An interface that the
// device (or its device record) reports at a higher version is replaced, in
// place; `*slot` follows when VERSION itself is. `cb` (may be null) is
// registered for the Command Class Version Report; `skip_ctl` also skips the
// controller's own classes. 0 sent, 1 no class left, -15 no interface of
// `cls`, or the send error.
int zwnet_ver_rpt_get(zwnet_p net, zwif_p *slot, zwif_rpt_fn cb, uint16_t cls, uint8_t ver, uint32_t flags,
                      uint32_t skip_ctl);

// Gateway replies that feed the interview.
void zwnet_ni_chd_get_cb(appl_layer_ctx *ctx, const appl_node_info_t *info);

// ---------------------------------------------------------------------------
// The endpoint interview, as the node interview starts it
// ---------------------------------------------------------------------------

using zwnet_ep_cmplt_fn = void (*)(zwnet_p net, uint8_t status);

struct zwnet_ep_info_param_t {
    zwnet_ep_cmplt_fn cmplt_cb{nullptr};
    uint8_t node_id{0};
    uint8_t ep_id{0};
    uint32_t word{0};     // passed on unchanged
    uint32_t started{0};  // set by zwnet_1_ep_info_sm when it starts
};

// The interview of every endpoint from the given one on (event 1 starts it):
// the machine's state after the event, 0 when a start was refused.
int zwnet_ep_info_sm(zwnet_p net, int evt, void *data);
// The class-table walk of one endpoint (event 1 starts it): 1 accepted,
// 0 busy.
int zwnet_1_ep_info_sm(zwnet_p net, int evt, void *data);

// A command a node sent, after the report dispatcher had it (network mutex
// held): 1 when the endpoint interview took it.
int zwnet_ep_rpt_rcv(zwnet_p net, uint8_t node_id, uint8_t ep_id, const uint8_t *cmd, uint16_t len);
// An answer the interface's cache gave, back from the callback queue: `evt`
// is the class (high byte) and report command it stands for.
void zwnet_ep_sm_evt(zwnet_p net, const zwif_desc_t *intf, uint32_t evt);
// Ends both machines without their completions (abort, exit).
void zwnet_ep_sm_stop(zwnet_p net);
// Hands the device poll the single-endpoint interview and its abort.
void zwnet_ep_hooks_set(zwnet_p net);
// A name or location a device sent (character set, text) into `dest` of
// ZW_NAMELOC_SZ bytes, unless it holds one already: ASCII and UTF-8 cut to
// the longest valid UTF-8 prefix of at most 32 bytes, UTF-16 converted.
void zwnet_name_txt_store(uint8_t charset, const uint8_t *text, uint16_t len, char *dest);
