// Network management with the Z/IP gateway: the requests that the
// host-controller library makes of the gateway itself (node list, node
// information, inclusion and exclusion with Security 2, learn mode, return
// routes, the white list of pre-provisioned devices, node-id/address
// resolution) and the dispatcher that matches the gateway's replies to them.
//
// Every request takes the next network-management sequence number (byte 2)
// and, once sent, records its reply callback in the pending-request table,
// one entry per kind. A reply reaches that callback only when it carries the
// entry's sequence number (and, for some kinds, its node id). A few kinds
// have an installed callback for reports that answer no request.
//
// The module sits above the application layer: its state is a record of its
// own (appl_nm_ctx), which appl_nm_init hangs on the application layer as
// the data of the layer's receive filter. Every received command is offered
// to that filter first; the gateway's management replies are consumed there,
// everything else goes on to the network's receive callback.
//
// Threads and locks: senders run on their callers' threads; the dispatcher on
// the session's receive thread. The table, the counter and every callback
// slot of the record are guarded by its mutex (the network-management mutex,
// which comes before the application layer's own in the lock order); it is
// never held while a sender waits at the one-send gate, nor while any
// callback runs. Records handed to callbacks live only for the call.
#pragma once

#include "hcapi/zip/zip_appl.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <variant>

inline constexpr uint8_t APPL_NM_DSK_LEN = 16;
inline constexpr uint8_t APPL_NM_NODE_MASK_LEN = 29;  // node list bit mask, nodes 1..232
inline constexpr size_t APPL_WL_TEXT_LEN = 64;        // white-list text field, terminator included

// Command classes and commands of the gateway's management classes.
enum : uint8_t {
    COMMAND_CLASS_APPLICATION_STATUS = 0x22,
    COMMAND_CLASS_NETWORK_MANAGEMENT_INCLUSION = 0x34,
    COMMAND_CLASS_NETWORK_MANAGEMENT_BASIC = 0x4D,
    COMMAND_CLASS_NETWORK_MANAGEMENT_PROXY = 0x52,
    COMMAND_CLASS_NETWORK_MANAGEMENT_PRIMARY = 0x54,
};

// ---------------------------------------------------------------------------
// Reply records (valid only during their callback)
// ---------------------------------------------------------------------------

struct appl_node_info_t {
    uint8_t node_id;
    uint8_t listen;    // 0 or 1
    uint8_t optional;  // optional functionality, 0 or 1
    uint8_t sensor;    // 1 when either sensor wake-up bit is set
    uint8_t status;
    uint8_t age;
    uint8_t rsvd;      // byte 6 of the cached node info report as received
    uint8_t basic;
    uint8_t gen;
    uint8_t spec;
    uint8_t cmd_cnt;       // supported command classes
    uint8_t cmd_cnt_ctl;   // controlled command classes
    uint16_t *cmd_cls;     // or null
    uint16_t *cmd_cls_ctl; // or null
};

// Inclusion events: the 0x34 command that produced them.
enum : uint8_t {
    APPL_INCL_NODE_ADD = 0x02,
    APPL_INCL_FAILED_REPLACE = 0x0A,
    APPL_INCL_KEYS_REPORT = 0x11,
    APPL_INCL_DSK_REPORT = 0x13,
};

struct appl_incl_add_t {
    appl_node_info_t info;  // status, node id, node information (age and reserved byte 0)
    uint32_t s2_present;
    uint8_t grnt_keys;
    uint8_t kex_fail;
    uint8_t dsk_len;        // at most 16
    uint8_t dsk[APPL_NM_DSK_LEN];
};

struct appl_incl_rplc_t {
    uint8_t status;
    uint8_t node_id;
    uint32_t s2_present;
    uint8_t grnt_keys;
    uint8_t kex_fail;
};

struct appl_incl_keys_t {
    uint8_t req_keys;
    uint8_t csa;  // client-side authentication requested, 0 or 1
};

struct appl_incl_dsk_t {
    uint8_t dsk[APPL_NM_DSK_LEN];
    uint8_t input_len;  // DSK bytes that the user must enter, 0..15
};

struct appl_incl_evt_t {
    uint8_t code;  // APPL_INCL_*
    union {
        appl_incl_add_t add;
        appl_incl_rplc_t rplc;
        appl_incl_keys_t keys;
        appl_incl_dsk_t dsk;
    };
};

struct appl_lrn_sts_t {
    uint8_t status;
    uint8_t node_id;  // new node id
    uint32_t s2_present;
    uint8_t grnt_keys;
    uint8_t dsk[APPL_NM_DSK_LEN];
};

struct appl_ep_cap_t {
    uint8_t node_id;
    uint8_t ep;  // 7 bits
    uint8_t gen;
    uint8_t spec;
    uint8_t cmd_cnt;
    uint8_t cmd_cnt_ctl;
    uint16_t *cmd_cls;
    uint16_t *cmd_cls_ctl;
};

struct appl_node_adv_t {
    uint8_t local;     // 0 or 1
    uint8_t validity;  // 0..3
    uint8_t node_id;
    uint8_t ipv6[16];
    uint32_t home_id;            // read big-endian
    const uint8_t *home_id_raw;  // the four bytes as received
};

struct appl_wl_dsk_t {
    uint8_t dsk_len;  // at most 16
    uint8_t dsk[APPL_NM_DSK_LEN];
};

struct appl_wl_list_t {
    uint8_t cnt;
    appl_wl_dsk_t *ent;
};

enum : uint8_t {
    APPL_WL_REC_NAME = 1,
    APPL_WL_REC_LOCATION = 2,
};

struct appl_wl_rec_t {
    uint8_t type;                  // APPL_WL_REC_*
    char text[APPL_WL_TEXT_LEN];   // NUL-terminated, zero-filled after the text
};

// ---------------------------------------------------------------------------
// Callbacks (the first argument is always the application-layer context)
// ---------------------------------------------------------------------------

// Node list: status, node-list controller (SUC) id, 29-byte mask (bit n-1 for node n), 29.
using appl_nm_node_list_fn = void (*)(appl_layer_ctx *ctx, uint8_t status, uint8_t ctlr_id, const uint8_t *mask,
                                      uint8_t mask_len);
using appl_nm_node_info_fn = void (*)(appl_layer_ctx *ctx, const appl_node_info_t *info);
// End points: node id, individual end points, aggregated end points.
using appl_nm_ep_fn = void (*)(appl_layer_ctx *ctx, uint8_t node_id, uint8_t ep_cnt, uint8_t aggr_cnt);
using appl_nm_ep_cap_fn = void (*)(appl_layer_ctx *ctx, const appl_ep_cap_t *cap);
// Aggregated members: node id, aggregated end point, member count, members.
using appl_nm_aggr_fn = void (*)(appl_layer_ctx *ctx, uint8_t node_id, uint8_t aggr_ep, uint8_t cnt,
                                 const uint8_t *members);
using appl_nm_lrn_fn = void (*)(appl_layer_ctx *ctx, const appl_lrn_sts_t *sts);
// Status with (where the request stored one) the request's node id.
using appl_nm_sts_fn = void (*)(appl_layer_ctx *ctx, uint8_t status);
using appl_nm_sts_node_fn = void (*)(appl_layer_ctx *ctx, uint8_t status, uint8_t node_id);
// DSK: 16 bytes, 16, add mode (0 or 1; 0xFF when the report has none).
using appl_nm_dsk_fn = void (*)(appl_layer_ctx *ctx, const uint8_t *dsk, uint8_t dsk_len, uint8_t add_mode);
using appl_nm_incl_fn = void (*)(appl_layer_ctx *ctx, const appl_incl_evt_t *evt);
using appl_nm_wl_list_fn = void (*)(appl_layer_ctx *ctx, const appl_wl_list_t *list);
// White-list entry: DSK, granted keys (0 when absent), text records, their count.
using appl_nm_wl_ent_fn = void (*)(appl_layer_ctx *ctx, const appl_wl_dsk_t *dsk, uint8_t grnt_keys,
                                   const appl_wl_rec_t *recs, uint8_t rec_cnt);
using appl_nm_wl_sts_fn = void (*)(appl_layer_ctx *ctx, const appl_wl_dsk_t *dsk, uint8_t status);
// Application status: 1 busy, 2 rejected request; status byte.
using appl_nm_app_sts_fn = void (*)(appl_layer_ctx *ctx, uint8_t cmd, uint8_t status);
using appl_nm_resolve_fn = void (*)(appl_layer_ctx *ctx, const appl_node_adv_t *adv);

// ---------------------------------------------------------------------------
// Network-management state of an application-layer context
// ---------------------------------------------------------------------------

// Kinds of pending request, one table entry each.
enum appl_nm_kind : uint8_t {
    APPL_NM_NODE_LIST,
    APPL_NM_NODE_INFO,
    APPL_NM_EP,
    APPL_NM_EP_CAP,
    APPL_NM_AGGR,
    APPL_NM_SET_DEFAULT,
    APPL_NM_LEARN,
    APPL_NM_NET_UPDATE,
    APPL_NM_DSK_GET,
    APPL_NM_NODE_ADD,
    APPL_NM_NODE_RM,
    APPL_NM_FAILED_RM,
    APPL_NM_FAILED_RPLC,
    APPL_NM_NBR_UPDATE,
    APPL_NM_RR_ASSIGN,
    APPL_NM_RR_DELETE,
    APPL_NM_CTLR_CHANGE,
    APPL_NM_WL_LIST,
    APPL_NM_WL_GET,
    APPL_NM_KIND_CNT
};

// A reply callback of a pending request, kept with its type: only a
// callback of one of the reply types can be stored, and the dispatcher gets
// it back only as the type it was stored with.
class appl_nm_cb_t {
public:
    appl_nm_cb_t() = default;
    appl_nm_cb_t(std::nullptr_t) {}
    template <typename R, typename... A>
    appl_nm_cb_t(R (*fn)(A...)) : fn_(fn)
    {
    }
    // The callback when it was stored as a `Fn`, else none.
    template <typename Fn>
    Fn get() const
    {
        const Fn *fn = std::get_if<Fn>(&fn_);
        return fn != nullptr ? *fn : nullptr;
    }
    bool operator==(const appl_nm_cb_t &other) const = default;
    // No callback: the entry matches nothing.
    bool operator==(std::nullptr_t) const
    {
        return std::visit([](auto fn) {
            if constexpr (std::is_same_v<decltype(fn), std::monostate>)
                return true;
            else
                return fn == nullptr;
        }, fn_);
    }

private:
    std::variant<std::monostate, appl_nm_node_list_fn, appl_nm_node_info_fn, appl_nm_ep_fn, appl_nm_ep_cap_fn,
                 appl_nm_aggr_fn, appl_nm_lrn_fn, appl_nm_sts_fn, appl_nm_sts_node_fn, appl_nm_dsk_fn,
                 appl_nm_incl_fn, appl_nm_wl_list_fn, appl_nm_wl_ent_fn>
        fn_;
};

struct appl_nm_pend_t {
    appl_nm_cb_t cb;  // none: the entry matches nothing
    uint8_t node_id;
    uint8_t seq;
};

// Network-management state, a record of the network's (value-initialise it).
// The network installs the callbacks before appl_nm_init, or later with the
// mutex held; the module reads every slot with the mutex held.
struct appl_nm_ctx {
    appl_nm_node_list_fn unsol_node_list_cb{nullptr};  // node list answering no request
    appl_nm_incl_fn unsol_incl_cb{nullptr};            // inclusion event answering no request
    appl_nm_app_sts_fn app_sts_cb{nullptr};            // application busy / rejected
    appl_nm_wl_sts_fn unsol_wl_cb{nullptr};            // unsolicited white-list status

    plt_mtx_t mtx{nullptr};  // the network-management mutex, made by appl_nm_init
    uint8_t seq{0};          // the network-management sequence counter (under mtx)
    appl_nm_resolve_fn resolve_cb{nullptr};  // set by each node-discovery request (under mtx)
    appl_nm_pend_t pend[APPL_NM_KIND_CNT]{};  // under mtx
};

// Makes the record's mutex, draws its first sequence number and installs it
// as the application layer's receive filter (before or after appl_init): 0,
// or ZIP_ERR_RESOURCE.
int appl_nm_init(appl_layer_ctx *ctx, appl_nm_ctx *nm);

// Removes the filter and destroys the mutex. Call it once the application
// layer has shut down (no receive thread may still be in the dispatcher).
void appl_nm_exit(appl_layer_ctx *ctx);

// The network-management record installed on an application-layer context,
// or none.
appl_nm_ctx *appl_nm_get(appl_layer_ctx *ctx);

// ---------------------------------------------------------------------------
// Reply dispatch
// ---------------------------------------------------------------------------

// One received command, before the network sees it: 1 when it was consumed
// (every command of classes 0x34, 0x4D, 0x52, 0x54 and 0x58, and an
// application status from the gateway), 0 when the network's receive
// callback should get it. Runs on the session's receive thread.
int appl_nm_rpt_dispatch(appl_layer_ctx *ctx, const tpt_sockaddr_t *src, const uint8_t *cmd, uint16_t len);

// White-list list body (from the entry count): 0 and a list whose `ent` the
// caller frees with delete[], or -1 when it does not hold what it announces.
int appl_wl_list_parse(const uint8_t *body, uint16_t len, appl_wl_list_t *list);
// Text records {type, length, text}: 0 with an array (delete[]; null when
// none) and the number of name and location records filled; texts longer
// than 63 bytes are cut on a UTF-8 boundary. -1 when memory runs out.
int appl_wl_rec_parse(const uint8_t *recs, uint16_t len, appl_wl_rec_t **out, uint8_t *cnt);
// Bytes that an entry takes in a white-list add: 2 + its text length (at
// most 64), 0 for a type other than name or location.
size_t appl_wl_rec_size(const appl_wl_rec_t *rec);

// ---------------------------------------------------------------------------
// Requests to the gateway
// ---------------------------------------------------------------------------
//
// Each returns the application layer's send result: 0 (then the reply, if
// the gateway sends one, reaches `cb`), or ZIP_ERR_NOT_RUNNING,
// ZIP_ERR_APPL_BUSY and the other send errors. A null `cb` lets the reply go
// to the kind's unsolicited callback where there is one. Every request takes
// the next sequence number, also when its send fails.

int zip_node_list_get(appl_layer_ctx *ctx, appl_nm_node_list_fn cb);
int zw_request_node_info(appl_layer_ctx *ctx, appl_nm_node_info_fn cb, uint8_t node_id, uint8_t max_age);
int zip_mul_ch_ep_get(appl_layer_ctx *ctx, appl_nm_ep_fn cb, uint8_t node_id);
int zip_mul_ch_cap_get(appl_layer_ctx *ctx, appl_nm_ep_cap_fn cb, uint8_t node_id, uint8_t ep);
int zip_mul_ch_aggr_get(appl_layer_ctx *ctx, appl_nm_aggr_fn cb, uint8_t node_id, uint8_t aggr_ep);
// Resets the gateway's network; clears the node status table afterwards.
int zw_set_default(appl_layer_ctx *ctx, appl_nm_sts_node_fn cb, uint8_t node_id);
int zw_set_learn_mode(appl_layer_ctx *ctx, appl_nm_lrn_fn cb, uint8_t node_id, uint8_t mode);
int zw_sec2_dsk_get(appl_layer_ctx *ctx, appl_nm_dsk_fn cb, int add_mode);
int zw_request_network_update(appl_layer_ctx *ctx, appl_nm_sts_fn cb);
// Grants keys to a joining node (no reply expected).
int zw_sec2_key_set(appl_layer_ctx *ctx, uint8_t grnt_keys, uint8_t csa_granted);
// Accepts (with the typed DSK bytes) or rejects a joining node's DSK; more
// than 16 input bytes give -1 and send nothing.
int zw_sec2_dsk_set(appl_layer_ctx *ctx, int accept, uint8_t input_len, const uint8_t *input);
int zw_add_node_to_network(appl_layer_ctx *ctx, appl_nm_incl_fn cb, uint8_t mode, uint8_t tx_opt);
int zw_remove_node_from_network(appl_layer_ctx *ctx, appl_nm_sts_node_fn cb, uint8_t mode);
int zw_remove_failed_node_id(appl_layer_ctx *ctx, appl_nm_sts_node_fn cb, uint8_t node_id);
int zw_replace_failed_node(appl_layer_ctx *ctx, appl_nm_incl_fn cb, uint8_t node_id, uint8_t tx_opt, uint8_t mode);
int zw_request_node_neighbor_update(appl_layer_ctx *ctx, appl_nm_sts_node_fn cb, uint8_t node_id);
int zw_controller_change(appl_layer_ctx *ctx, appl_nm_node_info_fn cb, uint8_t mode, uint8_t tx_opt);
// Return routes: the layer stays busy after the acknowledgement until the
// gateway's completion (or an application status, or the reply wait).
int zw_assign_return_route(appl_layer_ctx *ctx, uint8_t src_node, uint8_t dst_node, appl_nm_sts_node_fn cb);
int zw_delete_return_route(appl_layer_ctx *ctx, uint8_t node_id, appl_nm_sts_node_fn cb);

// White list: flags bit 0 removes one entry, bit 1 clears the whole list,
// neither adds (or changes) the entry with its name and location records.
enum : uint8_t {
    APPL_WL_FLAG_REMOVE = 0x01,
    APPL_WL_FLAG_CLEAR = 0x02,
};
// A DSK longer than 16 bytes gives -1; no memory ZIP_ERR_MEMORY.
int zw_wl_set(appl_layer_ctx *ctx, const uint8_t *dsk, uint8_t dsk_len, uint8_t grnt_keys, const appl_wl_rec_t *recs,
              uint8_t rec_cnt, uint8_t flags);
int zw_wl_list_get(appl_layer_ctx *ctx, appl_nm_wl_list_fn cb);
int zw_wl_get(appl_layer_ctx *ctx, const uint8_t *dsk, uint8_t dsk_len, appl_nm_wl_ent_fn cb);

// Node information frame of the controller, sent by the gateway to a node.
struct zw_nif_snd_param_t {
    uint8_t snd_dst;   // send-record destination: the gateway, 0
    uint8_t dst_node;  // node that gets the node information
    uint8_t tx_opt;
    void (*cb)(appl_layer_ctx *ctx, int status, void *user, uint8_t node_id);  // transmit result
    void *user;
};
int zw_send_node_info(appl_layer_ctx *ctx, const zw_nif_snd_param_t *prm);

// Z/IP node discovery straight through the frame layer: the gateway answers
// with a node advertisement, which goes to `cb` (it replaces the previous
// resolve callback once the request is queued).
// The node id of an IPv6 address; a non-zero flag asks for a fresh DTLS session.
int zip_node_id_get(appl_layer_ctx *ctx, appl_nm_resolve_fn cb, const uint8_t *ipv6, int tpt_flag);
// The address of a node (node id 0 gives ZIP_ERR_NODE_ID).
int zip_node_ipaddr_get(appl_layer_ctx *ctx, appl_nm_resolve_fn cb, uint8_t node_id);
