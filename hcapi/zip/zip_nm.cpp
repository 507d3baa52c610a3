// Network management with the Z/IP gateway: request senders (one table of
// frame layouts), the pending-request table and the reply dispatcher (one
// table of reply rows).
#include "hcapi/zip/zip_nm.h"

#include "hcapi/zip/zip_util.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <memory>
#include <new>
#include <tuple>
#include <utility>
#include <vector>

namespace {

constexpr uint8_t node_id_max = 232;

// Commands of the management classes, named once for the request layouts
// and the reply rows.
enum : uint8_t {
    // 0x52 network-management proxy
    PROXY_NODE_LIST_GET = 0x01,
    PROXY_NODE_LIST_REPORT = 0x02,
    PROXY_NODE_INFO_CACHED_GET = 0x03,
    PROXY_NODE_INFO_CACHED_REPORT = 0x04,
    PROXY_EP_GET = 0x05,
    PROXY_EP_REPORT = 0x06,
    PROXY_CAP_GET = 0x07,
    PROXY_CAP_REPORT = 0x08,
    PROXY_AGGR_MEMBERS_GET = 0x09,
    PROXY_AGGR_MEMBERS_REPORT = 0x0A,
};
enum : uint8_t {
    // 0x4D network-management basic
    BASIC_LEARN_MODE_SET = 0x01,
    BASIC_LEARN_MODE_STATUS = 0x02,
    BASIC_NET_UPDATE_REQUEST = 0x03,
    BASIC_NET_UPDATE_STATUS = 0x04,
    BASIC_NIF_SEND = 0x05,
    BASIC_DEFAULT_SET = 0x06,
    BASIC_DEFAULT_SET_COMPLETE = 0x07,
    BASIC_DSK_GET = 0x08,
    BASIC_DSK_REPORT = 0x09,
};
enum : uint8_t {
    // 0x34 network-management inclusion
    INCL_NODE_ADD = 0x01,
    INCL_NODE_ADD_STATUS = APPL_INCL_NODE_ADD,
    INCL_NODE_RM = 0x03,
    INCL_NODE_RM_STATUS = 0x04,
    INCL_FAILED_RM = 0x07,
    INCL_FAILED_RM_STATUS = 0x08,
    INCL_FAILED_RPLC = 0x09,
    INCL_FAILED_RPLC_STATUS = APPL_INCL_FAILED_REPLACE,
    INCL_NBR_UPDATE = 0x0B,
    INCL_NBR_UPDATE_STATUS = 0x0C,
    INCL_RR_ASSIGN = 0x0D,
    INCL_RR_ASSIGN_COMPLETE = 0x0E,
    INCL_RR_DELETE = 0x0F,
    INCL_RR_DELETE_COMPLETE = 0x10,
    INCL_KEYS_REPORT = APPL_INCL_KEYS_REPORT,
    INCL_KEYS_SET = 0x12,
    INCL_DSK_REPORT = APPL_INCL_DSK_REPORT,
    INCL_DSK_SET = 0x14,
    INCL_WL_LIST_GET = 0x15,
    INCL_WL_LIST_REPORT = 0x16,
    INCL_WL_SET = 0x17,
    INCL_WL_GET = 0x18,
    INCL_WL_REPORT = 0x19,
    INCL_WL_STATUS = 0x1A,
};
enum : uint8_t {
    // 0x54 network-management primary
    PRIMARY_CTLR_CHANGE = 0x01,
    PRIMARY_CTLR_CHANGE_STATUS = 0x02,
};
enum : uint8_t {
    // 0x58 Z/IP node discovery
    ND_NODE_ADV = 0x01,
};

// The reply callback type of each pending kind, in kind order.
using kind_fns = std::tuple<appl_nm_node_list_fn, appl_nm_node_info_fn, appl_nm_ep_fn, appl_nm_ep_cap_fn,
                            appl_nm_aggr_fn, appl_nm_sts_node_fn, appl_nm_lrn_fn, appl_nm_sts_fn, appl_nm_dsk_fn,
                            appl_nm_incl_fn, appl_nm_sts_node_fn, appl_nm_sts_node_fn, appl_nm_incl_fn,
                            appl_nm_sts_node_fn, appl_nm_sts_node_fn, appl_nm_sts_node_fn, appl_nm_node_info_fn,
                            appl_nm_wl_list_fn, appl_nm_wl_ent_fn>;
static_assert(std::tuple_size_v<kind_fns> == APPL_NM_KIND_CNT, "one callback type per pending kind");
template <appl_nm_kind K>
using kind_fn = std::tuple_element_t<K, kind_fns>;

// The record installed on the layer, through the filter's data.
int nm_rx_filter(appl_layer_ctx *ctx, void *data, const tpt_sockaddr_t *src, const zip_rx_hdr_t *hdr,
                 const uint8_t *cmd, uint16_t len, uint16_t hdr_flags, uint16_t encap_fmt);

bool running(appl_layer_ctx *ctx) { return ctx != nullptr && ctx->running.load() && appl_nm_get(ctx) != nullptr; }

// A callback slot of the record, read under the lock that writes it.
template <typename T>
T slot_get(appl_nm_ctx *nm, T appl_nm_ctx::*member)
{
    plt_lock lk(nm->mtx);
    return nm->*member;
}

// ---------------------------------------------------------------------------
// Reply side
// ---------------------------------------------------------------------------

struct taken {
    appl_nm_cb_t cb{};
    uint8_t node_id{0};
};

// The kind's callback when the reply matches its entry; clears it on request.
taken take(appl_nm_ctx *nm, appl_nm_kind kind, uint8_t seq, const uint8_t *node_id, bool clear)
{
    plt_lock lk(nm->mtx);
    appl_nm_pend_t &e = nm->pend[kind];
    if (e.cb == nullptr || e.seq != seq || (node_id != nullptr && *node_id != e.node_id))
        return {};
    taken t{e.cb, e.node_id};
    if (clear)
        e.cb = nullptr;
    return t;
}

// Owns the class lists of one record until its callback has returned.
struct cls_lists {
    std::vector<uint16_t> a, b;
    void fill(const uint8_t *bytes, size_t n, uint16_t *&pa, uint8_t &ca, uint16_t *&pb, uint8_t &cb)
    {
        pa = pb = nullptr;
        ca = cb = 0;
        // The splitter counts in 8 bits: a longer list is cut where it would wrap.
        n = std::min<size_t>(n, 255);
        if (n == 0 || !util_cmd_cls_parse(bytes, static_cast<uint8_t>(n), a, b))
            return;
        ca = static_cast<uint8_t>(a.size());
        cb = static_cast<uint8_t>(b.size());
        pa = ca != 0 ? a.data() : nullptr;
        pb = cb != 0 ? b.data() : nullptr;
    }
};

// Node information inside a node add or controller change status: byte 6 is
// its length L (it counts itself), n = L - 1 bytes follow from byte 7.
void node_info_read(const uint8_t *c, uint16_t len, unsigned n, appl_node_info_t &info, cls_lists &cl)
{
    if (n == 0 || len < n + 7)
        return;
    info.listen = c[7] >> 7;
    if (n >= 2) {
        info.optional = c[8] >> 7;
        info.sensor = (c[8] & 0x60) != 0;
    }
    if (n > 4) {
        info.basic = c[9];
        info.gen = c[10];
        info.spec = c[11];
        cl.fill(c + 12, n - 5, info.cmd_cls, info.cmd_cnt, info.cmd_cls_ctl, info.cmd_cnt_ctl);
    }
}

void dsk_copy(uint8_t *to, const uint8_t *from) { std::memcpy(to, from, APPL_NM_DSK_LEN); }

// Cuts a received text to the 63 bytes that the field holds before its
// terminator, without splitting a UTF-8 sequence.
void text_cut(char *field, const uint8_t *text, size_t len)
{
    std::memset(field, 0, APPL_WL_TEXT_LEN);
    size_t n = len;
    if (n > APPL_WL_TEXT_LEN - 1) {
        n = APPL_WL_TEXT_LEN - 1;
        while (n > 0 && (text[n] & 0xC0) == 0x80)
            --n;
    }
    std::memcpy(field, text, n);
}

// One received reply, as the row parsers get it: at least the row's
// minimum length, its node id checked.
struct nm_rx {
    appl_layer_ctx *ctx;
    appl_nm_ctx *nm;
    const uint8_t *c;
    uint16_t len;
};

using nm_parse_fn = void (*)(const nm_rx &r, const taken &t);

// --- 0x52 network-management proxy ---------------------------------------

void node_list_rpt(const nm_rx &r, const taken &t)
{
    appl_nm_node_list_fn cb = t.cb.get<kind_fn<APPL_NM_NODE_LIST>>();
    if (cb == nullptr)
        cb = slot_get(r.nm, &appl_nm_ctx::unsol_node_list_cb);
    if (cb != nullptr)
        cb(r.ctx, r.c[3], r.c[4], r.c + 5, APPL_NM_NODE_MASK_LEN);
}

void node_info_rpt(const nm_rx &r, const taken &t)
{
    const auto cb = t.cb.get<kind_fn<APPL_NM_NODE_INFO>>();
    if (cb == nullptr)
        return;
    const uint8_t *c = r.c;
    appl_node_info_t info{};
    cls_lists cl;
    info.node_id = t.node_id;
    info.status = c[3] >> 4;
    info.age = c[3] & 0x0F;
    info.listen = c[4] >> 7;
    info.optional = c[5] >> 7;
    info.sensor = (c[5] & 0x60) != 0;
    info.rsvd = c[6];
    if (r.len >= 10) {
        info.basic = c[7];
        info.gen = c[8];
        info.spec = c[9];
        cl.fill(c + 10, r.len - 10u, info.cmd_cls, info.cmd_cnt, info.cmd_cls_ctl, info.cmd_cnt_ctl);
    }
    cb(r.ctx, &info);
}

void ep_rpt(const nm_rx &r, const taken &t)
{
    if (const auto cb = t.cb.get<kind_fn<APPL_NM_EP>>())
        cb(r.ctx, r.c[3], r.c[5], r.c[6]);
}

void cap_rpt(const nm_rx &r, const taken &t)
{
    const auto cb = t.cb.get<kind_fn<APPL_NM_EP_CAP>>();
    if (cb == nullptr)
        return;
    const uint8_t *c = r.c;
    appl_ep_cap_t cap{};
    cls_lists cl;
    cap.node_id = c[3];
    cap.ep = c[5] & 0x7F;
    if (r.len >= 8) {
        cap.gen = c[6];
        cap.spec = c[7];
        const size_t n = std::min<size_t>(c[4], r.len - 8u);
        cl.fill(c + 8, n, cap.cmd_cls, cap.cmd_cnt, cap.cmd_cls_ctl, cap.cmd_cnt_ctl);
    }
    cb(r.ctx, &cap);
}

void aggr_rpt(const nm_rx &r, const taken &t)
{
    const auto cb = t.cb.get<kind_fn<APPL_NM_AGGR>>();
    if (cb == nullptr)
        return;
    const uint8_t n = static_cast<uint8_t>(std::min<size_t>(r.c[5], r.len - 6u));
    cb(r.ctx, r.c[3], r.c[4], n, n != 0 ? r.c + 6 : nullptr);
}

// --- 0x4D network-management basic ----------------------------------------

void learn_sts(const nm_rx &r, const taken &t)
{
    const auto cb = t.cb.get<kind_fn<APPL_NM_LEARN>>();
    if (cb == nullptr)
        return;
    appl_lrn_sts_t sts{};
    sts.status = r.c[3];
    sts.node_id = r.c[5];
    if (r.len >= 7 + APPL_NM_DSK_LEN) {
        sts.s2_present = 1;
        sts.grnt_keys = r.c[6];
        dsk_copy(sts.dsk, r.c + 7);
    }
    cb(r.ctx, &sts);
}

void net_update_sts(const nm_rx &r, const taken &t)
{
    if (const auto cb = t.cb.get<kind_fn<APPL_NM_NET_UPDATE>>())
        cb(r.ctx, r.c[3]);
}

// Status with the node id that the request stored (default set, neighbour
// update).
void sts_stored_node(const nm_rx &r, const taken &t)
{
    if (const auto cb = t.cb.get<appl_nm_sts_node_fn>())
        cb(r.ctx, r.c[3], t.node_id);
}

// Status with the node id of byte 4 (node remove, failed node remove).
void sts_rpt_node(const nm_rx &r, const taken &t)
{
    if (const auto cb = t.cb.get<appl_nm_sts_node_fn>())
        cb(r.ctx, r.c[3], r.c[4]);
}

// With or without the add-mode byte.
void dsk_rpt(const nm_rx &r, const taken &t)
{
    const auto cb = t.cb.get<kind_fn<APPL_NM_DSK_GET>>();
    if (cb == nullptr)
        return;
    if (r.len == 3 + APPL_NM_DSK_LEN)
        cb(r.ctx, r.c + 3, APPL_NM_DSK_LEN, 0xFF);
    else
        cb(r.ctx, r.c + 4, APPL_NM_DSK_LEN, r.c[3] & 1);
}

// --- 0x34 network-management inclusion -------------------------------------

// An inclusion event to the request's callback, else to the installed one.
void incl_deliver(const nm_rx &r, const taken &t, const appl_incl_evt_t &evt)
{
    appl_nm_incl_fn cb = t.cb.get<appl_nm_incl_fn>();
    if (cb == nullptr)
        cb = slot_get(r.nm, &appl_nm_ctx::unsol_incl_cb);
    if (cb != nullptr)
        cb(r.ctx, &evt);
}

void node_add_sts(const nm_rx &r, const taken &t)
{
    const uint8_t *c = r.c;
    const uint16_t len = r.len;
    appl_incl_evt_t evt{};
    evt.code = APPL_INCL_NODE_ADD;
    appl_incl_add_t &a = evt.add;
    cls_lists cl;
    a.info.status = c[3];
    a.info.node_id = c[5];
    const uint8_t info_len = c[6];
    const unsigned n = info_len > 1 ? info_len - 1u : 0u;
    node_info_read(c, len, n, a.info, cl);
    if (len >= n + 9) {
        a.s2_present = 1;
        a.grnt_keys = c[n + 7];
        a.kex_fail = c[n + 8];
    }
    if (len >= n + 10) {
        const uint8_t d = std::min<uint8_t>(c[n + 9], APPL_NM_DSK_LEN);
        if (d > 0 && len >= n + 10 + d) {
            a.dsk_len = d;
            std::memcpy(a.dsk, c + n + 10, d);
        }
    }
    incl_deliver(r, t, evt);
}

void failed_rplc_sts(const nm_rx &r, const taken &t)
{
    const auto cb = t.cb.get<kind_fn<APPL_NM_FAILED_RPLC>>();
    if (cb == nullptr)
        return;
    appl_incl_evt_t evt{};
    evt.code = APPL_INCL_FAILED_REPLACE;
    evt.rplc.status = r.c[3];
    evt.rplc.node_id = r.c[4];
    if (r.len >= 7) {
        evt.rplc.s2_present = 1;
        evt.rplc.grnt_keys = r.c[5];
        evt.rplc.kex_fail = r.c[6];
    }
    cb(r.ctx, &evt);
}

// The gateway has finished with the route, whichever request this answers:
// the layer may send again.
void rr_complete(const nm_rx &r, const taken &t)
{
    appl_nm_sts_wait_clr(r.ctx);
    sts_stored_node(r, t);
}

// Keys and DSK reports belong to whichever of add and replace is running.
taken s2_take(const nm_rx &r)
{
    taken t = take(r.nm, APPL_NM_NODE_ADD, r.c[2], nullptr, false);
    if (t.cb == nullptr)
        t = take(r.nm, APPL_NM_FAILED_RPLC, r.c[2], nullptr, false);
    return t;
}

void keys_rpt(const nm_rx &r, const taken &)
{
    appl_incl_evt_t evt{};
    evt.code = APPL_INCL_KEYS_REPORT;
    if (r.len == 4) {
        evt.keys.req_keys = r.c[3];
    } else {
        evt.keys.req_keys = r.c[4];
        evt.keys.csa = r.c[3] & 1;
    }
    incl_deliver(r, s2_take(r), evt);
}

void incl_dsk_rpt(const nm_rx &r, const taken &)
{
    appl_incl_evt_t evt{};
    evt.code = APPL_INCL_DSK_REPORT;
    dsk_copy(evt.dsk.dsk, r.c + 4);
    evt.dsk.input_len = r.c[3] & 0x0F;
    incl_deliver(r, s2_take(r), evt);
}

void wl_list_rpt(const nm_rx &r, const taken &t)
{
    const auto cb = t.cb.get<kind_fn<APPL_NM_WL_LIST>>();
    if (cb == nullptr)
        return;
    appl_wl_list_t list{};
    if (appl_wl_list_parse(r.c + 3, static_cast<uint16_t>(r.len - 3), &list) != 0)
        return;
    std::unique_ptr<appl_wl_dsk_t[]> own(list.ent);
    cb(r.ctx, &list);
}

// The DSK length is byte 3.
void wl_ent_rpt(const nm_rx &r, const taken &t)
{
    const auto cb = t.cb.get<kind_fn<APPL_NM_WL_GET>>();
    if (cb == nullptr)
        return;
    const uint8_t *c = r.c;
    const uint8_t d = c[3];
    if (d > APPL_NM_DSK_LEN || r.len < d + 6u)
        return;
    appl_wl_dsk_t dsk{};
    dsk.dsk_len = d;
    std::memcpy(dsk.dsk, c + 4, d);
    const uint8_t keys = (c[d + 4] & 0x01) ? c[d + 5] : 0;
    appl_wl_rec_t *recs = nullptr;
    uint8_t cnt = 0;
    if (appl_wl_rec_parse(c + d + 6, static_cast<uint16_t>(r.len - (d + 6u)), &recs, &cnt) != 0)
        return;
    std::unique_ptr<appl_wl_rec_t[]> own(recs);
    cb(r.ctx, &dsk, keys, recs, cnt);
}

void wl_sts_rpt(const nm_rx &r, const taken &)
{
    const appl_nm_wl_sts_fn cb = slot_get(r.nm, &appl_nm_ctx::unsol_wl_cb);
    const uint8_t d = r.c[4];
    if (cb == nullptr || d > APPL_NM_DSK_LEN || r.len < d + 5u)
        return;
    appl_wl_dsk_t dsk{};
    dsk.dsk_len = d;
    std::memcpy(dsk.dsk, r.c + 5, d);
    cb(r.ctx, &dsk, r.c[3]);
}

// --- 0x54 network-management primary ---------------------------------------

void ctlr_change_sts(const nm_rx &r, const taken &t)
{
    const auto cb = t.cb.get<kind_fn<APPL_NM_CTLR_CHANGE>>();
    if (cb == nullptr)
        return;
    appl_node_info_t info{};
    cls_lists cl;
    info.status = r.c[3];
    info.node_id = r.c[5];
    if (info.status == 0x06 && r.len >= 7 && r.c[6] > 1)
        node_info_read(r.c, r.len, r.c[6] - 1u, info, cl);
    cb(r.ctx, &info);
}

// --- 0x58 Z/IP node discovery ------------------------------------------------

void node_adv(const nm_rx &r, const taken &)
{
    const appl_nm_resolve_fn cb = slot_get(r.nm, &appl_nm_ctx::resolve_cb);
    if (cb == nullptr)
        return;
    const uint8_t *c = r.c;
    appl_node_adv_t adv{};
    adv.local = (c[2] & 0x04) != 0;
    adv.validity = c[2] & 0x03;
    adv.node_id = c[3];
    std::memcpy(adv.ipv6, c + 4, 16);
    adv.home_id = static_cast<uint32_t>(c[20]) << 24 | static_cast<uint32_t>(c[21]) << 16 |
                  static_cast<uint32_t>(c[22]) << 8 | c[23];
    adv.home_id_raw = c + 20;
    cb(r.ctx, &adv);
}

// --- the reply table -----------------------------------------------------------

constexpr appl_nm_kind no_kind = APPL_NM_KIND_CNT;

// Statuses (byte 3) under which a node has joined, as bits 1 << status:
// node id 0 is then refused, as a node that has joined always has a real
// id, while with a failure 0 is how the gateway says "no node".
constexpr uint16_t joined(std::initializer_list<uint8_t> statuses)
{
    uint16_t mask = 0;
    for (uint8_t s : statuses)
        mask = static_cast<uint16_t>(mask | 1u << s);
    return mask;
}

// One reply: where it is recognised, how long it must at least be, where
// its node id stands (checked against 1..232, or 0..232 unless joined), the
// pending kind it answers (matched by sequence number, and by node id with
// match_node) and the parser that makes the callback.
struct nm_reply {
    uint8_t cls, cmd;
    uint8_t min_len;
    uint8_t node_at;      // byte of the node id, 0: none to check
    uint16_t joined_sts;  // joined(...)
    const char *what;     // names the reply in the log line of a refused node id
    appl_nm_kind kind;    // no_kind: the parser finds its own callback
    bool match_node;      // the entry's node id must equal byte 3
    bool clear;           // the entry answers once
    nm_parse_fn parse;
};

constexpr uint8_t P = COMMAND_CLASS_NETWORK_MANAGEMENT_PROXY;
constexpr uint8_t B = COMMAND_CLASS_NETWORK_MANAGEMENT_BASIC;
constexpr uint8_t I = COMMAND_CLASS_NETWORK_MANAGEMENT_INCLUSION;
constexpr uint8_t R = COMMAND_CLASS_NETWORK_MANAGEMENT_PRIMARY;
constexpr uint8_t N = COMMAND_CLASS_ZIP_ND;
constexpr uint8_t dsk = APPL_NM_DSK_LEN;

// Sorted by class and command.
constexpr nm_reply replies[] = {
    {I, INCL_NODE_ADD_STATUS, 7, 5, joined({0x06, 0x09}), "node add status", APPL_NM_NODE_ADD, false, true,
     node_add_sts},
    {I, INCL_NODE_RM_STATUS, 5, 4, 0, "node remove status", APPL_NM_NODE_RM, false, false, sts_rpt_node},
    {I, INCL_FAILED_RM_STATUS, 5, 4, 0, "failed node remove status", APPL_NM_FAILED_RM, false, false, sts_rpt_node},
    {I, INCL_FAILED_RPLC_STATUS, 5, 4, joined({0x04, 0x09}), "failed node replace status", APPL_NM_FAILED_RPLC,
     false, false, failed_rplc_sts},
    {I, INCL_NBR_UPDATE_STATUS, 4, 0, 0, "", APPL_NM_NBR_UPDATE, false, false, sts_stored_node},
    {I, INCL_RR_ASSIGN_COMPLETE, 4, 0, 0, "", APPL_NM_RR_ASSIGN, false, false, rr_complete},
    {I, INCL_RR_DELETE_COMPLETE, 4, 0, 0, "", APPL_NM_RR_DELETE, false, false, rr_complete},
    {I, INCL_KEYS_REPORT, 4, 0, 0, "", no_kind, false, false, keys_rpt},
    {I, INCL_DSK_REPORT, 4 + dsk, 0, 0, "", no_kind, false, false, incl_dsk_rpt},
    {I, INCL_WL_LIST_REPORT, 4, 0, 0, "", APPL_NM_WL_LIST, false, false, wl_list_rpt},
    {I, INCL_WL_REPORT, 4, 0, 0, "", APPL_NM_WL_GET, false, false, wl_ent_rpt},
    {I, INCL_WL_STATUS, 5, 0, 0, "", no_kind, false, false, wl_sts_rpt},
    {B, BASIC_LEARN_MODE_STATUS, 6, 5, 0, "learn mode status", APPL_NM_LEARN, false, false, learn_sts},
    {B, BASIC_NET_UPDATE_STATUS, 4, 0, 0, "", APPL_NM_NET_UPDATE, false, false, net_update_sts},
    {B, BASIC_DEFAULT_SET_COMPLETE, 4, 0, 0, "", APPL_NM_SET_DEFAULT, false, false, sts_stored_node},
    {B, BASIC_DSK_REPORT, 3 + dsk, 0, 0, "", APPL_NM_DSK_GET, false, false, dsk_rpt},
    {P, PROXY_NODE_LIST_REPORT, 5 + APPL_NM_NODE_MASK_LEN, 0, 0, "", APPL_NM_NODE_LIST, false, true, node_list_rpt},
    {P, PROXY_NODE_INFO_CACHED_REPORT, 7, 0, 0, "", APPL_NM_NODE_INFO, false, false, node_info_rpt},
    {P, PROXY_EP_REPORT, 7, 0, 0, "", APPL_NM_EP, true, false, ep_rpt},
    {P, PROXY_CAP_REPORT, 6, 0, 0, "", APPL_NM_EP_CAP, true, false, cap_rpt},
    {P, PROXY_AGGR_MEMBERS_REPORT, 6, 0, 0, "", APPL_NM_AGGR, true, false, aggr_rpt},
    {R, PRIMARY_CTLR_CHANGE_STATUS, 6, 5, joined({0x06}), "controller change status", APPL_NM_CTLR_CHANGE, false,
     false, ctlr_change_sts},
    {N, ND_NODE_ADV, 24, 0, 0, "", no_kind, false, false, node_adv},
};

constexpr bool replies_sound()
{
    for (size_t i = 0; i < std::size(replies); ++i) {
        const nm_reply &r = replies[i];
        // Every row reads the sequence number (byte 2); a node id lies
        // inside the minimum length; only a named reply may refuse one.
        if (r.min_len < 4 || (r.node_at != 0 && (r.node_at >= r.min_len || r.what[0] == '\0')) ||
            (r.match_node && r.min_len < 4) || ((r.clear || r.match_node) && r.kind == no_kind))
            return false;
        if (i > 0 && (replies[i - 1].cls > r.cls || (replies[i - 1].cls == r.cls && replies[i - 1].cmd >= r.cmd)))
            return false;
    }
    return true;
}
static_assert(replies_sound(), "reply rows sorted, unique, and within their minimum lengths");

// The classes whose every command is the gateway's, answered here or not.
constexpr bool nm_class(uint8_t cls) { return cls == I || cls == B || cls == P || cls == R || cls == N; }

const nm_reply *reply_find(uint8_t cls, uint8_t cmd)
{
    const auto it = std::lower_bound(std::begin(replies), std::end(replies), std::pair{cls, cmd},
                                     [](const nm_reply &r, const std::pair<uint8_t, uint8_t> &k) {
                                         return r.cls != k.first ? r.cls < k.first : r.cmd < k.second;
                                     });
    return it != std::end(replies) && it->cls == cls && it->cmd == cmd ? it : nullptr;
}

bool node_id_refused(appl_layer_ctx *ctx, const nm_reply &row, const uint8_t *c)
{
    const uint8_t node_id = c[row.node_at];
    const bool has_joined = c[3] < 16 && (row.joined_sts >> c[3] & 1) != 0;
    if (node_id <= node_id_max && !(has_joined && node_id == 0))
        return false;
    plt_msg_show(ctx->plt_ctx, "%s: invalid node id:%u, report dropped", row.what, node_id);
    return true;
}

// --- 0x22 application status -------------------------------------------------

// Only the gateway may tell us that it is busy: 1 consumed, 0 from anyone
// else (the network hears it).
int appl_app_sts_hdlr(appl_layer_ctx *ctx, appl_nm_ctx *nm, const tpt_sockaddr_t *src, const uint8_t *c,
                      uint16_t len)
{
    if (src == nullptr)
        return 0;
    const uint8_t *peer = ctx->ssn.frm.tpt.peer_addr;
    if (ctx->ipv4) {
        if (std::memcmp(&src->v4.sin_addr, peer + 12, 4) != 0)
            return 0;
    } else {
        const auto *a = reinterpret_cast<const uint8_t *>(&src->v6.sin6_addr);
        uint8_t node_id = 0;
        uint8_t own = 0;
        {
            plt_lock lk(ctx->tbl_mtx);
            own = ctx->own_node_id;
        }
        if (std::memcmp(a, peer, 16) != 0 && !(appl_ip_to_node(ctx, a, 16, &node_id) && node_id == own))
            return 0;
    }
    appl_nm_sts_wait_clr(ctx);
    const appl_nm_app_sts_fn cb = slot_get(nm, &appl_nm_ctx::app_sts_cb);
    if (cb != nullptr && len >= 3)
        cb(ctx, c[1], c[2]);
    return 1;
}

int nm_dispatch(appl_layer_ctx *ctx, appl_nm_ctx *nm, const tpt_sockaddr_t *src, const uint8_t *cmd, uint16_t len)
{
    if (cmd[0] == COMMAND_CLASS_APPLICATION_STATUS)
        return appl_app_sts_hdlr(ctx, nm, src, cmd, len);
    if (!nm_class(cmd[0]))
        return 0;
    // Every command of these classes is consumed, whatever its length.
    const nm_reply *row = len >= 2 ? reply_find(cmd[0], cmd[1]) : nullptr;
    if (row == nullptr || len < row->min_len || (row->node_at != 0 && node_id_refused(ctx, *row, cmd)))
        return 1;
    taken t;
    if (row->kind != no_kind)
        t = take(nm, row->kind, cmd[2], row->match_node ? &cmd[3] : nullptr, row->clear);
    row->parse(nm_rx{ctx, nm, cmd, len}, t);
    return 1;
}

int nm_rx_filter(appl_layer_ctx *ctx, void *data, const tpt_sockaddr_t *src, const zip_rx_hdr_t *, const uint8_t *cmd,
                 uint16_t len, uint16_t, uint16_t)
{
    auto *nm = static_cast<appl_nm_ctx *>(data);
    if (ctx == nullptr || nm == nullptr || nm->mtx == nullptr || cmd == nullptr || len < 1)
        return 0;
    return nm_dispatch(ctx, nm, src, cmd, len);
}

// ---------------------------------------------------------------------------
// Request side: one table of frame layouts
// ---------------------------------------------------------------------------

enum nm_req : uint8_t {
    REQ_NODE_LIST_GET,
    REQ_NODE_INFO_GET,
    REQ_EP_GET,
    REQ_CAP_GET,
    REQ_AGGR_GET,
    REQ_SET_DEFAULT,
    REQ_LEARN_MODE,
    REQ_DSK_GET,
    REQ_NIF_SEND,
    REQ_NET_UPDATE,
    REQ_KEY_SET,
    REQ_DSK_SET,
    REQ_NODE_ADD,
    REQ_NODE_RM,
    REQ_FAILED_RM,
    REQ_FAILED_RPLC,
    REQ_NBR_UPDATE,
    REQ_CTLR_CHANGE,
    REQ_RR_ASSIGN,
    REQ_RR_DELETE,
    REQ_WL_SET,
    REQ_WL_LIST_GET,
    REQ_WL_GET,
    REQ_CNT
};

constexpr uint8_t lit = 0xFF;  // the field is a fixed byte, not an argument
constexpr int8_t none = -1;

// One byte after class, command and sequence number: argument `arg`, or the
// fixed value `val` when arg is `lit`.
struct nm_field {
    uint8_t arg;
    uint8_t val;
};
constexpr nm_field a0{0, 0}, a1{1, 0}, a2{2, 0};
constexpr nm_field fixed(uint8_t v) { return {lit, v}; }

struct nm_layout {
    nm_req req;
    uint8_t cls, cmd;
    uint8_t nfld;
    nm_field fld[3];
    appl_nm_kind kind;  // pending entry written on success, or no_kind
    int8_t node_arg;    // argument stored as the entry's node id
    int8_t dst_arg;     // argument used as the send record's destination (else the gateway)
    uint8_t sts_wait;   // the layer stays busy until the gateway's answer
};

// Variable tails (DSK bytes, white-list records) follow the fixed fields.
constexpr nm_layout layouts[REQ_CNT] = {
    {REQ_NODE_LIST_GET, P, PROXY_NODE_LIST_GET, 0, {}, APPL_NM_NODE_LIST, none, none, 0},
    {REQ_NODE_INFO_GET, P, PROXY_NODE_INFO_CACHED_GET, 2, {a0, a1}, APPL_NM_NODE_INFO, 1, none, 0},  // age, node
    {REQ_EP_GET, P, PROXY_EP_GET, 1, {a0}, APPL_NM_EP, 0, none, 0},
    {REQ_CAP_GET, P, PROXY_CAP_GET, 2, {a0, a1}, APPL_NM_EP_CAP, 0, none, 0},
    {REQ_AGGR_GET, P, PROXY_AGGR_MEMBERS_GET, 2, {a0, a1}, APPL_NM_AGGR, 0, none, 0},
    {REQ_SET_DEFAULT, B, BASIC_DEFAULT_SET, 0, {}, APPL_NM_SET_DEFAULT, 0, 0, 0},
    {REQ_LEARN_MODE, B, BASIC_LEARN_MODE_SET, 2, {fixed(0x01), a1}, APPL_NM_LEARN, none, 0, 0},  // node, mode
    {REQ_DSK_GET, B, BASIC_DSK_GET, 1, {a0}, APPL_NM_DSK_GET, none, none, 0},
    {REQ_NIF_SEND, B, BASIC_NIF_SEND, 3, {fixed(0x00), a0, a1}, no_kind, none, 2, 0},  // node, tx options, send dst
    {REQ_NET_UPDATE, B, BASIC_NET_UPDATE_REQUEST, 0, {}, APPL_NM_NET_UPDATE, none, none, 0},
    {REQ_KEY_SET, I, INCL_KEYS_SET, 2, {a0, a1}, no_kind, none, none, 0},  // flags, keys
    {REQ_DSK_SET, I, INCL_DSK_SET, 1, {a0}, no_kind, none, none, 0},      // accept | length, then the input
    {REQ_NODE_ADD, I, INCL_NODE_ADD, 3, {fixed(0x00), a0, a1}, APPL_NM_NODE_ADD, none, none, 0},
    {REQ_NODE_RM, I, INCL_NODE_RM, 2, {fixed(0x00), a0}, APPL_NM_NODE_RM, none, none, 0},
    {REQ_FAILED_RM, I, INCL_FAILED_RM, 1, {a0}, APPL_NM_FAILED_RM, none, none, 0},
    {REQ_FAILED_RPLC, I, INCL_FAILED_RPLC, 3, {a0, a1, a2}, APPL_NM_FAILED_RPLC, none, none, 0},  // node, tx options, mode
    {REQ_NBR_UPDATE, I, INCL_NBR_UPDATE, 1, {a0}, APPL_NM_NBR_UPDATE, 0, none, 0},
    {REQ_CTLR_CHANGE, R, PRIMARY_CTLR_CHANGE, 3, {fixed(0x00), a0, a1}, APPL_NM_CTLR_CHANGE, none, none, 0},
    {REQ_RR_ASSIGN, I, INCL_RR_ASSIGN, 2, {a0, a1}, APPL_NM_RR_ASSIGN, 0, none, 1},  // source, destination
    {REQ_RR_DELETE, I, INCL_RR_DELETE, 1, {a0}, APPL_NM_RR_DELETE, 0, none, 1},
    {REQ_WL_SET, I, INCL_WL_SET, 1, {a0}, no_kind, none, none, 0},  // flags, then the entry
    {REQ_WL_LIST_GET, I, INCL_WL_LIST_GET, 0, {}, APPL_NM_WL_LIST, none, none, 0},
    {REQ_WL_GET, I, INCL_WL_GET, 1, {a0}, APPL_NM_WL_GET, none, none, 0},  // DSK length, then the DSK
};

constexpr bool layouts_in_order()
{
    for (size_t i = 0; i < REQ_CNT; ++i)
        if (layouts[i].req != i || layouts[i].nfld > 3)
            return false;
    return true;
}
static_assert(layouts_in_order(), "one layout per request, in request order");

struct nm_snd_args {
    uint8_t arg[3]{};
    const uint8_t *tail{nullptr};
    size_t tail_len{0};
    appl_nm_cb_t cb{};
    appl_snd_cb_fn snd_cb{zip_send_cb};  // transmit result
    void *snd_user{nullptr};
};

// Builds the request of `req` and sends it. The entry is written before the
// send and put back when the send fails, so that the network-management
// mutex is never held at the one-send gate: the receive thread needs it to
// accept the reply that opens the gate.
int nm_snd(appl_layer_ctx *ctx, nm_req req, const nm_snd_args &a)
{
    appl_nm_ctx *nm = running(ctx) ? appl_nm_get(ctx) : nullptr;
    if (nm == nullptr)
        return ZIP_ERR_NOT_RUNNING;
    const nm_layout &l = layouts[req];
    std::vector<uint8_t> buf;
    try {
        buf.reserve(3 + l.nfld + a.tail_len);
    } catch (...) {
        return ZIP_ERR_MEMORY;
    }
    buf.push_back(l.cls);
    buf.push_back(l.cmd);
    buf.push_back(0);
    for (uint8_t i = 0; i < l.nfld; ++i)
        buf.push_back(l.fld[i].arg == lit ? l.fld[i].val : a.arg[l.fld[i].arg]);
    if (a.tail_len != 0)
        buf.insert(buf.end(), a.tail, a.tail + a.tail_len);
    if (buf.size() > 0xFFFF)
        return ZIP_ERR_TOO_LONG;

    const uint8_t node_id = l.node_arg != none ? a.arg[l.node_arg] : 0;
    appl_nm_pend_t mine{a.cb, node_id, 0};
    appl_nm_pend_t before{};
    {
        plt_lock lk(nm->mtx);
        mine.seq = nm->seq++;
        buf[2] = mine.seq;
        if (l.kind != no_kind) {
            before = nm->pend[l.kind];
            nm->pend[l.kind] = mine;
        }
    }

    appl_snd_param_t prm{};
    prm.node_id = l.dst_arg != none ? a.arg[l.dst_arg] : 0;
    prm.flags = ZIP_FRM_SECURE;
    prm.len = static_cast<uint16_t>(buf.size());
    prm.data = buf.data();
    const int rc = appl_cmd_snd_ex(ctx, &prm, a.snd_cb, a.snd_user, nullptr, l.sts_wait);
    if (rc != 0 && l.kind != no_kind) {
        plt_lock lk(nm->mtx);
        appl_nm_pend_t &e = nm->pend[l.kind];
        // Unless a later request of the kind has taken the entry meanwhile.
        if (e.seq == mine.seq && e.cb == mine.cb && e.node_id == mine.node_id)
            e = before;
    }
    return rc;
}

// A request with a reply callback of the type that its kind's replies take.
template <nm_req Req, typename Fn>
int nm_snd(appl_layer_ctx *ctx, Fn cb, std::initializer_list<uint8_t> args = {}, const uint8_t *tail = nullptr,
           size_t tail_len = 0)
{
    if constexpr (layouts[Req].kind == no_kind)
        static_assert(std::is_same_v<Fn, std::nullptr_t>, "a request without a pending entry takes no reply callback");
    else
        static_assert(std::is_same_v<Fn, kind_fn<layouts[Req].kind>>, "the reply callback of the request's kind");
    nm_snd_args a;
    size_t i = 0;
    for (uint8_t v : args)
        a.arg[i++] = v;
    a.cb = cb;
    a.tail = tail;
    a.tail_len = tail_len;
    return nm_snd(ctx, Req, a);
}

void gw_dst(appl_layer_ctx *ctx, tpt_sockaddr_t *dst)
{
    std::memset(dst, 0, sizeof *dst);
    const uint8_t *peer = ctx->ssn.frm.tpt.peer_addr;
    if (ctx->ipv4) {
        dst->v4.sin_family = AF_INET;
        dst->v4.sin_port = htons(ZIP_UDP_PORT);
        std::memcpy(&dst->v4.sin_addr, peer + 12, 4);
    } else {
        dst->v6.sin6_family = AF_INET6;
        dst->v6.sin6_port = htons(ZIP_UDP_PORT);
        std::memcpy(&dst->v6.sin6_addr, peer, 16);
    }
}

// Node discovery goes to the frame layer directly; its send never blocks, so
// the resolve callback can be set under the lock once the request is queued.
template <typename Snd>
int nd_snd(appl_layer_ctx *ctx, appl_nm_resolve_fn cb, Snd snd)
{
    appl_nm_ctx *nm = running(ctx) ? appl_nm_get(ctx) : nullptr;
    if (nm == nullptr)
        return ZIP_ERR_NOT_RUNNING;
    tpt_sockaddr_t dst;
    gw_dst(ctx, &dst);
    plt_lock lk(nm->mtx);
    const int rc = snd(&dst);
    if (rc == 0)
        nm->resolve_cb = cb;
    return rc;
}

}  // namespace

// ---------------------------------------------------------------------------
// State
// ---------------------------------------------------------------------------

int appl_nm_init(appl_layer_ctx *ctx, appl_nm_ctx *nm)
{
    if (ctx == nullptr || nm == nullptr)
        return ZIP_ERR_RESOURCE;
    if (nm->mtx == nullptr && !plt_mtx_init(&nm->mtx)) {
        nm->mtx = nullptr;
        return ZIP_ERR_RESOURCE;
    }
    {
        plt_lock lk(nm->mtx);
        nm->seq = static_cast<uint8_t>(plt_rand() & 0xFF);
    }
    appl_rx_filter_set(ctx, nm_rx_filter, nm);
    return 0;
}

void appl_nm_exit(appl_layer_ctx *ctx)
{
    appl_nm_ctx *nm = appl_nm_get(ctx);
    if (nm == nullptr)
        return;
    appl_rx_filter_set(ctx, nullptr, nullptr);
    plt_mtx_destroy(nm->mtx);
    nm->mtx = nullptr;
}

appl_nm_ctx *appl_nm_get(appl_layer_ctx *ctx)
{
    return static_cast<appl_nm_ctx *>(appl_rx_filter_data(ctx, nm_rx_filter));
}

// ---------------------------------------------------------------------------
// Dispatch
// ---------------------------------------------------------------------------

int appl_nm_rpt_dispatch(appl_layer_ctx *ctx, const tpt_sockaddr_t *src, const uint8_t *cmd, uint16_t len)
{
    appl_nm_ctx *nm = appl_nm_get(ctx);
    if (nm == nullptr || nm->mtx == nullptr || cmd == nullptr || len < 1)
        return 0;
    return nm_dispatch(ctx, nm, src, cmd, len);
}

int appl_wl_list_parse(const uint8_t *body, uint16_t len, appl_wl_list_t *list)
{
    if (list == nullptr)
        return -1;
    list->cnt = 0;
    list->ent = nullptr;
    if (body == nullptr || len < 1)
        return -1;
    const uint8_t n = body[0];
    std::unique_ptr<appl_wl_dsk_t[]> ent;
    if (n != 0) {
        ent.reset(new (std::nothrow) appl_wl_dsk_t[n]());
        if (!ent)
            return -1;
    }
    size_t pos = 1;
    uint8_t got = 0;
    while (pos < len && got < n) {
        const uint8_t d = body[pos++];
        if (d > APPL_NM_DSK_LEN || d > len - pos)
            return -1;
        ent[got].dsk_len = d;
        std::memcpy(ent[got].dsk, body + pos, d);
        pos += d;
        ++got;
    }
    if (got < n)
        return -1;
    list->cnt = n;
    list->ent = ent.release();
    return 0;
}

int appl_wl_rec_parse(const uint8_t *recs, uint16_t len, appl_wl_rec_t **out, uint8_t *cnt)
{
    if (out == nullptr || cnt == nullptr)
        return -1;
    *out = nullptr;
    *cnt = 0;
    if (recs == nullptr)
        return 0;
    // Counting stops at the first record that does not fit; at most 255 are
    // kept, as the count is 8 bits.
    size_t total = 0;
    for (size_t pos = 0; len - pos >= 2 && total < 255;) {
        const size_t next = pos + 2 + recs[pos + 1];
        if (next > len)
            break;
        ++total;
        pos = next;
    }
    if (total == 0)
        return 0;
    std::unique_ptr<appl_wl_rec_t[]> arr(new (std::nothrow) appl_wl_rec_t[total]());
    if (!arr)
        return -1;
    uint8_t filled = 0;
    size_t pos = 0;
    for (size_t i = 0; i < total; ++i) {
        const uint8_t type = recs[pos] & 0x7F;
        const uint8_t l = recs[pos + 1];
        if (type == APPL_WL_REC_NAME || type == APPL_WL_REC_LOCATION) {
            arr[filled].type = type;
            text_cut(arr[filled].text, recs + pos + 2, l);
            ++filled;
        }
        pos += 2u + l;
    }
    if (filled == 0)
        return 0;
    *out = arr.release();
    *cnt = filled;
    return 0;
}

size_t appl_wl_rec_size(const appl_wl_rec_t *rec)
{
    if (rec == nullptr || (rec->type != APPL_WL_REC_NAME && rec->type != APPL_WL_REC_LOCATION))
        return 0;
    // A text that fills its field without a terminator is sent whole.
    return 2 + strnlen(rec->text, APPL_WL_TEXT_LEN);
}

// ---------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------

int zip_node_list_get(appl_layer_ctx *ctx, appl_nm_node_list_fn cb)
{
    return nm_snd<REQ_NODE_LIST_GET>(ctx, cb);
}

int zw_request_node_info(appl_layer_ctx *ctx, appl_nm_node_info_fn cb, uint8_t node_id, uint8_t max_age)
{
    return nm_snd<REQ_NODE_INFO_GET>(ctx, cb, {std::min<uint8_t>(max_age, 15), node_id});
}

int zip_mul_ch_ep_get(appl_layer_ctx *ctx, appl_nm_ep_fn cb, uint8_t node_id)
{
    return nm_snd<REQ_EP_GET>(ctx, cb, {node_id});
}

int zip_mul_ch_cap_get(appl_layer_ctx *ctx, appl_nm_ep_cap_fn cb, uint8_t node_id, uint8_t ep)
{
    return nm_snd<REQ_CAP_GET>(ctx, cb, {node_id, ep});
}

int zip_mul_ch_aggr_get(appl_layer_ctx *ctx, appl_nm_aggr_fn cb, uint8_t node_id, uint8_t aggr_ep)
{
    return nm_snd<REQ_AGGR_GET>(ctx, cb, {node_id, aggr_ep});
}

int zw_set_default(appl_layer_ctx *ctx, appl_nm_sts_node_fn cb, uint8_t node_id)
{
    const int rc = nm_snd<REQ_SET_DEFAULT>(ctx, cb, {node_id});
    // The old network's node states mean nothing after a reset.
    appl_node_sts_clr(ctx);
    return rc;
}

int zw_set_learn_mode(appl_layer_ctx *ctx, appl_nm_lrn_fn cb, uint8_t node_id, uint8_t mode)
{
    return nm_snd<REQ_LEARN_MODE>(ctx, cb, {node_id, mode});
}

int zw_sec2_dsk_get(appl_layer_ctx *ctx, appl_nm_dsk_fn cb, int add_mode)
{
    return nm_snd<REQ_DSK_GET>(ctx, cb, {static_cast<uint8_t>(add_mode & 0xFF)});
}

int zw_send_node_info(appl_layer_ctx *ctx, const zw_nif_snd_param_t *prm)
{
    if (prm == nullptr)
        return -1;
    nm_snd_args a;
    a.arg[0] = prm->dst_node;
    a.arg[1] = prm->tx_opt;
    a.arg[2] = prm->snd_dst;
    a.snd_cb = prm->cb;
    a.snd_user = prm->user;
    return nm_snd(ctx, REQ_NIF_SEND, a);
}

int zw_request_network_update(appl_layer_ctx *ctx, appl_nm_sts_fn cb)
{
    return nm_snd<REQ_NET_UPDATE>(ctx, cb);
}

int zw_sec2_key_set(appl_layer_ctx *ctx, uint8_t grnt_keys, uint8_t csa_granted)
{
    const uint8_t flags = static_cast<uint8_t>((grnt_keys != 0 ? 0x01 : 0) | (csa_granted ? 0x02 : 0));
    return nm_snd<REQ_KEY_SET>(ctx, nullptr, {flags, grnt_keys});
}

int zw_sec2_dsk_set(appl_layer_ctx *ctx, int accept, uint8_t input_len, const uint8_t *input)
{
    if (input_len > APPL_NM_DSK_LEN || (accept && input_len != 0 && input == nullptr))
        return -1;
    if (!accept)
        return nm_snd<REQ_DSK_SET>(ctx, nullptr, {0x00});
    return nm_snd<REQ_DSK_SET>(ctx, nullptr, {static_cast<uint8_t>(0x80 | input_len)}, input, input_len);
}

int zw_add_node_to_network(appl_layer_ctx *ctx, appl_nm_incl_fn cb, uint8_t mode, uint8_t tx_opt)
{
    return nm_snd<REQ_NODE_ADD>(ctx, cb, {mode, tx_opt});
}

int zw_remove_node_from_network(appl_layer_ctx *ctx, appl_nm_sts_node_fn cb, uint8_t mode)
{
    return nm_snd<REQ_NODE_RM>(ctx, cb, {mode});
}

int zw_remove_failed_node_id(appl_layer_ctx *ctx, appl_nm_sts_node_fn cb, uint8_t node_id)
{
    return nm_snd<REQ_FAILED_RM>(ctx, cb, {node_id});
}

int zw_replace_failed_node(appl_layer_ctx *ctx, appl_nm_incl_fn cb, uint8_t node_id, uint8_t tx_opt, uint8_t mode)
{
    return nm_snd<REQ_FAILED_RPLC>(ctx, cb, {node_id, tx_opt, mode});
}

int zw_request_node_neighbor_update(appl_layer_ctx *ctx, appl_nm_sts_node_fn cb, uint8_t node_id)
{
    return nm_snd<REQ_NBR_UPDATE>(ctx, cb, {node_id});
}

int zw_controller_change(appl_layer_ctx *ctx, appl_nm_node_info_fn cb, uint8_t mode, uint8_t tx_opt)
{
    return nm_snd<REQ_CTLR_CHANGE>(ctx, cb, {mode, tx_opt});
}

int zw_assign_return_route(appl_layer_ctx *ctx, uint8_t src_node, uint8_t dst_node, appl_nm_sts_node_fn cb)
{
    return nm_snd<REQ_RR_ASSIGN>(ctx, cb, {src_node, dst_node});
}

int zw_delete_return_route(appl_layer_ctx *ctx, uint8_t node_id, appl_nm_sts_node_fn cb)
{
    return nm_snd<REQ_RR_DELETE>(ctx, cb, {node_id});
}

int zw_wl_set(appl_layer_ctx *ctx, const uint8_t *dsk, uint8_t dsk_len, uint8_t grnt_keys, const appl_wl_rec_t *recs,
              uint8_t rec_cnt, uint8_t flags)
{
    if (dsk_len > APPL_NM_DSK_LEN || (dsk_len != 0 && dsk == nullptr) || (rec_cnt != 0 && recs == nullptr))
        return -1;
    std::vector<uint8_t> tail;
    try {
        if (!(flags & APPL_WL_FLAG_CLEAR)) {
            tail.push_back(dsk_len);
            tail.insert(tail.end(), dsk, dsk + dsk_len);
            if (!(flags & APPL_WL_FLAG_REMOVE)) {
                tail.push_back(grnt_keys != 0 ? 1 : 0);
                tail.push_back(grnt_keys);
                for (uint8_t i = 0; i < rec_cnt; ++i) {
                    const size_t size = appl_wl_rec_size(&recs[i]);
                    if (size == 0)
                        continue;
                    tail.push_back(recs[i].type);
                    tail.push_back(static_cast<uint8_t>(size - 2));
                    tail.insert(tail.end(), recs[i].text, recs[i].text + (size - 2));
                }
            }
        }
    } catch (...) {
        return ZIP_ERR_MEMORY;
    }
    return nm_snd<REQ_WL_SET>(ctx, nullptr, {flags}, tail.data(), tail.size());
}

int zw_wl_list_get(appl_layer_ctx *ctx, appl_nm_wl_list_fn cb)
{
    return nm_snd<REQ_WL_LIST_GET>(ctx, cb);
}

int zw_wl_get(appl_layer_ctx *ctx, const uint8_t *dsk, uint8_t dsk_len, appl_nm_wl_ent_fn cb)
{
    if (dsk_len > APPL_NM_DSK_LEN || (dsk_len != 0 && dsk == nullptr))
        return -1;
    return nm_snd<REQ_WL_GET>(ctx, cb, {dsk_len}, dsk, dsk_len);
}

int zip_node_id_get(appl_layer_ctx *ctx, appl_nm_resolve_fn cb, const uint8_t *ipv6, int tpt_flag)
{
    if (ipv6 == nullptr)
        return -1;
    return nd_snd(ctx, cb, [&](const tpt_sockaddr_t *dst) {
        return frm_node_solicit_snd(&ctx->ssn.frm, dst, ipv6, tpt_flag);
    });
}

int zip_node_ipaddr_get(appl_layer_ctx *ctx, appl_nm_resolve_fn cb, uint8_t node_id)
{
    return nd_snd(ctx, cb, [&](const tpt_sockaddr_t *dst) {
        return frm_inv_node_solicit_snd(&ctx->ssn.frm, dst, node_id);
    });
}
