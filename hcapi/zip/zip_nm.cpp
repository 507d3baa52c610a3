// Network management with the Z/IP gateway: request senders (one table of
// frame layouts), the pending-request table and the reply dispatcher.
#include "hcapi/zip/zip_nm.h"

#include "hcapi/zip/zip_appl.h"
#include "hcapi/zip/zip_util.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace {

template <typename F>
appl_nm_any_fn as_any(F fn)
{
    return reinterpret_cast<appl_nm_any_fn>(fn);
}

template <typename F>
F as_fn(appl_nm_any_fn fn)
{
    return reinterpret_cast<F>(fn);
}

constexpr uint8_t node_id_max = 232;

bool running(appl_layer_ctx *ctx) { return ctx != nullptr && ctx->running.load() && ctx->nm_mtx != nullptr; }

// ---------------------------------------------------------------------------
// Reply side
// ---------------------------------------------------------------------------

struct taken {
    appl_nm_any_fn cb{nullptr};
    uint8_t node_id{0};
};

// The kind's callback when the reply matches its entry; clears it on request.
taken take(appl_layer_ctx *ctx, appl_nm_ctx *nm, appl_nm_kind kind, uint8_t seq, const uint8_t *node_id, bool clear)
{
    plt_lock lk(ctx->nm_mtx);
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

bool node_id_refused(appl_layer_ctx *ctx, const char *what, uint8_t node_id, bool joined)
{
    // Node 0 is how the gateway says "no node" with a failure; a node that
    // has joined always has a real id.
    if (node_id <= node_id_max && !(joined && node_id == 0))
        return false;
    plt_msg_show(ctx->plt_ctx, "%s: invalid node id:%u, report dropped", what, node_id);
    return true;
}

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

// --- 0x52 network-management proxy ---------------------------------------

void proxy_rpt(appl_layer_ctx *ctx, appl_nm_ctx *nm, const uint8_t *c, uint16_t len)
{
    if (len < 3)
        return;
    const uint8_t seq = c[2];
    switch (c[1]) {
    case 0x02: {  // node list report
        if (len < 5 + APPL_NM_NODE_MASK_LEN)
            return;
        taken t = take(ctx, nm, APPL_NM_NODE_LIST, seq, nullptr, true);
        appl_nm_node_list_fn cb = t.cb != nullptr ? as_fn<appl_nm_node_list_fn>(t.cb) : nm->unsol_node_list_cb;
        if (cb != nullptr)
            cb(ctx, c[3], c[4], c + 5, APPL_NM_NODE_MASK_LEN);
        return;
    }
    case 0x04: {  // cached node info report
        if (len < 7)
            return;
        taken t = take(ctx, nm, APPL_NM_NODE_INFO, seq, nullptr, false);
        if (t.cb == nullptr)
            return;
        appl_node_info_t info{};
        cls_lists cl;
        info.node_id = t.node_id;
        info.status = c[3] >> 4;
        info.age = c[3] & 0x0F;
        info.listen = c[4] >> 7;
        info.optional = c[5] >> 7;
        info.sensor = (c[5] & 0x60) != 0;
        info.rsvd = c[6];
        if (len >= 10) {
            info.basic = c[7];
            info.gen = c[8];
            info.spec = c[9];
            cl.fill(c + 10, len - 10u, info.cmd_cls, info.cmd_cnt, info.cmd_cls_ctl, info.cmd_cnt_ctl);
        }
        as_fn<appl_nm_node_info_fn>(t.cb)(ctx, &info);
        return;
    }
    case 0x06: {  // end point report
        if (len < 7)
            return;
        taken t = take(ctx, nm, APPL_NM_EP, seq, &c[3], false);
        if (t.cb != nullptr)
            as_fn<appl_nm_ep_fn>(t.cb)(ctx, c[3], c[5], c[6]);
        return;
    }
    case 0x08: {  // capability report
        if (len < 6)
            return;
        taken t = take(ctx, nm, APPL_NM_EP_CAP, seq, &c[3], false);
        if (t.cb == nullptr)
            return;
        appl_ep_cap_t cap{};
        cls_lists cl;
        cap.node_id = c[3];
        cap.ep = c[5] & 0x7F;
        if (len >= 8) {
            cap.gen = c[6];
            cap.spec = c[7];
            const size_t n = std::min<size_t>(c[4], len - 8u);
            cl.fill(c + 8, n, cap.cmd_cls, cap.cmd_cnt, cap.cmd_cls_ctl, cap.cmd_cnt_ctl);
        }
        as_fn<appl_nm_ep_cap_fn>(t.cb)(ctx, &cap);
        return;
    }
    case 0x0A: {  // aggregated members report
        if (len < 6)
            return;
        taken t = take(ctx, nm, APPL_NM_AGGR, seq, &c[3], false);
        if (t.cb == nullptr)
            return;
        const uint8_t n = static_cast<uint8_t>(std::min<size_t>(c[5], len - 6u));
        as_fn<appl_nm_aggr_fn>(t.cb)(ctx, c[3], c[4], n, n != 0 ? c + 6 : nullptr);
        return;
    }
    default:
        return;
    }
}

// --- 0x4D network-management basic ----------------------------------------

void basic_rpt(appl_layer_ctx *ctx, appl_nm_ctx *nm, const uint8_t *c, uint16_t len)
{
    if (len < 3)
        return;
    const uint8_t seq = c[2];
    switch (c[1]) {
    case 0x02: {  // learn mode set status
        if (len < 6 || node_id_refused(ctx, "learn mode status", c[5], false))
            return;
        taken t = take(ctx, nm, APPL_NM_LEARN, seq, nullptr, false);
        if (t.cb == nullptr)
            return;
        appl_lrn_sts_t sts{};
        sts.status = c[3];
        sts.node_id = c[5];
        if (len >= 7 + APPL_NM_DSK_LEN) {
            sts.s2_present = 1;
            sts.grnt_keys = c[6];
            dsk_copy(sts.dsk, c + 7);
        }
        as_fn<appl_nm_lrn_fn>(t.cb)(ctx, &sts);
        return;
    }
    case 0x04: {  // network update request status
        if (len < 4)
            return;
        taken t = take(ctx, nm, APPL_NM_NET_UPDATE, seq, nullptr, false);
        if (t.cb != nullptr)
            as_fn<appl_nm_sts_fn>(t.cb)(ctx, c[3]);
        return;
    }
    case 0x07: {  // default set complete
        if (len < 4)
            return;
        taken t = take(ctx, nm, APPL_NM_SET_DEFAULT, seq, nullptr, false);
        if (t.cb != nullptr)
            as_fn<appl_nm_sts_node_fn>(t.cb)(ctx, c[3], t.node_id);
        return;
    }
    case 0x09: {  // DSK report, with or without the add-mode byte
        if (len < 3 + APPL_NM_DSK_LEN)
            return;
        taken t = take(ctx, nm, APPL_NM_DSK_GET, seq, nullptr, false);
        if (t.cb == nullptr)
            return;
        if (len == 3 + APPL_NM_DSK_LEN)
            as_fn<appl_nm_dsk_fn>(t.cb)(ctx, c + 3, APPL_NM_DSK_LEN, 0xFF);
        else
            as_fn<appl_nm_dsk_fn>(t.cb)(ctx, c + 4, APPL_NM_DSK_LEN, c[3] & 1);
        return;
    }
    default:
        return;
    }
}

// --- 0x34 network-management inclusion -------------------------------------

// Keys and DSK reports belong to whichever of add and replace is running.
void incl_s2_deliver(appl_layer_ctx *ctx, appl_nm_ctx *nm, uint8_t seq, const appl_incl_evt_t &evt)
{
    taken t = take(ctx, nm, APPL_NM_NODE_ADD, seq, nullptr, false);
    if (t.cb == nullptr)
        t = take(ctx, nm, APPL_NM_FAILED_RPLC, seq, nullptr, false);
    appl_nm_incl_fn cb = t.cb != nullptr ? as_fn<appl_nm_incl_fn>(t.cb) : nm->unsol_incl_cb;
    if (cb != nullptr)
        cb(ctx, &evt);
}

void node_add_sts(appl_layer_ctx *ctx, appl_nm_ctx *nm, const uint8_t *c, uint16_t len)
{
    if (len < 7)
        return;
    const uint8_t status = c[3];
    if (node_id_refused(ctx, "node add status", c[5], status == 0x06 || status == 0x09))
        return;
    appl_incl_evt_t evt{};
    evt.code = APPL_INCL_NODE_ADD;
    appl_incl_add_t &a = evt.add;
    cls_lists cl;
    a.info.status = status;
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
    taken t = take(ctx, nm, APPL_NM_NODE_ADD, c[2], nullptr, true);
    appl_nm_incl_fn cb = t.cb != nullptr ? as_fn<appl_nm_incl_fn>(t.cb) : nm->unsol_incl_cb;
    if (cb != nullptr)
        cb(ctx, &evt);
}

void wl_ent_rpt(appl_layer_ctx *ctx, appl_nm_ctx *nm, const uint8_t *c, uint16_t len)
{
    // The DSK length is byte 3: a report must hold it.
    if (len < 4)
        return;
    taken t = take(ctx, nm, APPL_NM_WL_GET, c[2], nullptr, false);
    if (t.cb == nullptr)
        return;
    const uint8_t d = c[3];
    if (d > APPL_NM_DSK_LEN || len < d + 6u)
        return;
    appl_wl_dsk_t dsk{};
    dsk.dsk_len = d;
    std::memcpy(dsk.dsk, c + 4, d);
    const uint8_t keys = (c[d + 4] & 0x01) ? c[d + 5] : 0;
    appl_wl_rec_t *recs = nullptr;
    uint8_t cnt = 0;
    if (appl_wl_rec_parse(c + d + 6, static_cast<uint16_t>(len - (d + 6u)), &recs, &cnt) != 0)
        return;
    std::unique_ptr<appl_wl_rec_t[]> own(recs);
    as_fn<appl_nm_wl_ent_fn>(t.cb)(ctx, &dsk, keys, recs, cnt);
}

void incl_rpt(appl_layer_ctx *ctx, appl_nm_ctx *nm, const uint8_t *c, uint16_t len)
{
    if (len < 3)
        return;
    const uint8_t seq = c[2];
    switch (c[1]) {
    case 0x02:
        node_add_sts(ctx, nm, c, len);
        return;
    case 0x04:    // node remove status
    case 0x08: {  // failed node remove status
        if (len < 5 || node_id_refused(ctx, c[1] == 0x04 ? "node remove status" : "failed node remove status", c[4],
                                       false))
            return;
        taken t = take(ctx, nm, c[1] == 0x04 ? APPL_NM_NODE_RM : APPL_NM_FAILED_RM, seq, nullptr, false);
        if (t.cb != nullptr)
            as_fn<appl_nm_sts_node_fn>(t.cb)(ctx, c[3], c[4]);
        return;
    }
    case 0x0A: {  // failed node replace status
        if (len < 5 || node_id_refused(ctx, "failed node replace status", c[4], c[3] == 0x04 || c[3] == 0x09))
            return;
        taken t = take(ctx, nm, APPL_NM_FAILED_RPLC, seq, nullptr, false);
        if (t.cb == nullptr)
            return;
        appl_incl_evt_t evt{};
        evt.code = APPL_INCL_FAILED_REPLACE;
        evt.rplc.status = c[3];
        evt.rplc.node_id = c[4];
        if (len >= 7) {
            evt.rplc.s2_present = 1;
            evt.rplc.grnt_keys = c[5];
            evt.rplc.kex_fail = c[6];
        }
        as_fn<appl_nm_incl_fn>(t.cb)(ctx, &evt);
        return;
    }
    case 0x0C: {  // neighbour update status
        if (len < 4)
            return;
        taken t = take(ctx, nm, APPL_NM_NBR_UPDATE, seq, nullptr, false);
        if (t.cb != nullptr)
            as_fn<appl_nm_sts_node_fn>(t.cb)(ctx, c[3], t.node_id);
        return;
    }
    case 0x0E:    // return route assign complete
    case 0x10: {  // return route delete complete
        if (len < 4)
            return;
        taken t = take(ctx, nm, c[1] == 0x0E ? APPL_NM_RR_ASSIGN : APPL_NM_RR_DELETE, seq, nullptr, false);
        // The gateway has finished with the route, whichever request this
        // answers: the layer may send again.
        appl_nm_sts_wait_clr(ctx);
        if (t.cb != nullptr)
            as_fn<appl_nm_sts_node_fn>(t.cb)(ctx, c[3], t.node_id);
        return;
    }
    case 0x11: {  // keys report
        if (len < 4)
            return;
        appl_incl_evt_t evt{};
        evt.code = APPL_INCL_KEYS_REPORT;
        if (len == 4) {
            evt.keys.req_keys = c[3];
        } else {
            evt.keys.req_keys = c[4];
            evt.keys.csa = c[3] & 1;
        }
        incl_s2_deliver(ctx, nm, seq, evt);
        return;
    }
    case 0x13: {  // DSK report
        if (len < 4 + APPL_NM_DSK_LEN)
            return;
        appl_incl_evt_t evt{};
        evt.code = APPL_INCL_DSK_REPORT;
        dsk_copy(evt.dsk.dsk, c + 4);
        evt.dsk.input_len = c[3] & 0x0F;
        incl_s2_deliver(ctx, nm, seq, evt);
        return;
    }
    case 0x16: {  // white-list list report
        if (len < 4)
            return;
        taken t = take(ctx, nm, APPL_NM_WL_LIST, seq, nullptr, false);
        if (t.cb == nullptr)
            return;
        appl_wl_list_t list{};
        if (appl_wl_list_parse(c + 3, static_cast<uint16_t>(len - 3), &list) != 0)
            return;
        std::unique_ptr<appl_wl_dsk_t[]> own(list.ent);
        as_fn<appl_nm_wl_list_fn>(t.cb)(ctx, &list);
        return;
    }
    case 0x19:
        wl_ent_rpt(ctx, nm, c, len);
        return;
    case 0x1A: {  // unsolicited white-list status
        if (len < 5)
            return;
        appl_nm_wl_sts_fn cb;
        {
            plt_lock lk(ctx->nm_mtx);
            cb = nm->unsol_wl_cb;
        }
        const uint8_t d = c[4];
        if (cb == nullptr || d > APPL_NM_DSK_LEN || len < d + 5u)
            return;
        appl_wl_dsk_t dsk{};
        dsk.dsk_len = d;
        std::memcpy(dsk.dsk, c + 5, d);
        cb(ctx, &dsk, c[3]);
        return;
    }
    default:
        return;
    }
}

// --- 0x54 network-management primary ---------------------------------------

void primary_rpt(appl_layer_ctx *ctx, appl_nm_ctx *nm, const uint8_t *c, uint16_t len)
{
    if (len < 6 || c[1] != 0x02)  // controller change status
        return;
    const uint8_t status = c[3];
    if (node_id_refused(ctx, "controller change status", c[5], status == 0x06))
        return;
    taken t = take(ctx, nm, APPL_NM_CTLR_CHANGE, c[2], nullptr, false);
    if (t.cb == nullptr)
        return;
    appl_node_info_t info{};
    cls_lists cl;
    info.status = status;
    info.node_id = c[5];
    if (status == 0x06 && len >= 7 && c[6] > 1)
        node_info_read(c, len, c[6] - 1u, info, cl);
    as_fn<appl_nm_node_info_fn>(t.cb)(ctx, &info);
}

// --- 0x58 Z/IP node discovery ------------------------------------------------

void nd_rpt(appl_layer_ctx *ctx, appl_nm_ctx *nm, const uint8_t *c, uint16_t len)
{
    if (len < 24 || c[1] != 0x01)  // node advertisement
        return;
    appl_nm_resolve_fn cb;
    {
        plt_lock lk(ctx->nm_mtx);
        cb = nm->resolve_cb;
    }
    if (cb == nullptr)
        return;
    appl_node_adv_t adv{};
    adv.local = (c[2] & 0x04) != 0;
    adv.validity = c[2] & 0x03;
    adv.node_id = c[3];
    std::memcpy(adv.ipv6, c + 4, 16);
    adv.home_id = static_cast<uint32_t>(c[20]) << 24 | static_cast<uint32_t>(c[21]) << 16 |
                  static_cast<uint32_t>(c[22]) << 8 | c[23];
    adv.home_id_raw = c + 20;
    cb(ctx, &adv);
}

// --- 0x22 application status -------------------------------------------------

int app_sts(appl_layer_ctx *ctx, appl_nm_ctx *nm, const tpt_sockaddr_t *src, const uint8_t *c, uint16_t len)
{
    // Only the gateway may tell us that it is busy.
    if (src == nullptr)
        return 0;
    const uint8_t *peer = ctx->ssn.frm.tpt.peer_addr;
    if (ctx->ipv4) {
        if (std::memcmp(&src->v4.sin_addr, peer + 12, 4) != 0)
            return 0;
    } else {
        const auto *a = reinterpret_cast<const uint8_t *>(&src->v6.sin6_addr);
        uint8_t node_id = 0;
        if (std::memcmp(a, peer, 16) != 0 &&
            !(appl_ip_to_node(ctx, a, 16, &node_id) && node_id == ctx->own_node_id))
            return 0;
    }
    appl_nm_sts_wait_clr(ctx);
    if (nm->app_sts_cb != nullptr && len >= 3)
        nm->app_sts_cb(ctx, c[1], c[2]);
    return 1;
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

constexpr appl_nm_kind no_kind = APPL_NM_KIND_CNT;
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

constexpr uint8_t P = COMMAND_CLASS_NETWORK_MANAGEMENT_PROXY;
constexpr uint8_t B = COMMAND_CLASS_NETWORK_MANAGEMENT_BASIC;
constexpr uint8_t I = COMMAND_CLASS_NETWORK_MANAGEMENT_INCLUSION;
constexpr uint8_t R = COMMAND_CLASS_NETWORK_MANAGEMENT_PRIMARY;

// Variable tails (DSK bytes, white-list records) follow the fixed fields.
constexpr nm_layout layouts[REQ_CNT] = {
    {REQ_NODE_LIST_GET, P, 0x01, 0, {}, APPL_NM_NODE_LIST, none, none, 0},
    {REQ_NODE_INFO_GET, P, 0x03, 2, {a0, a1}, APPL_NM_NODE_INFO, 1, none, 0},  // age, node
    {REQ_EP_GET, P, 0x05, 1, {a0}, APPL_NM_EP, 0, none, 0},
    {REQ_CAP_GET, P, 0x07, 2, {a0, a1}, APPL_NM_EP_CAP, 0, none, 0},
    {REQ_AGGR_GET, P, 0x09, 2, {a0, a1}, APPL_NM_AGGR, 0, none, 0},
    {REQ_SET_DEFAULT, B, 0x06, 0, {}, APPL_NM_SET_DEFAULT, 0, 0, 0},
    {REQ_LEARN_MODE, B, 0x01, 2, {fixed(0x01), a1}, APPL_NM_LEARN, none, 0, 0},  // node, mode
    {REQ_DSK_GET, B, 0x08, 1, {a0}, APPL_NM_DSK_GET, none, none, 0},
    {REQ_NIF_SEND, B, 0x05, 3, {fixed(0x00), a0, a1}, no_kind, none, 2, 0},  // node, tx options, send dst
    {REQ_NET_UPDATE, B, 0x03, 0, {}, APPL_NM_NET_UPDATE, none, none, 0},
    {REQ_KEY_SET, I, 0x12, 2, {a0, a1}, no_kind, none, none, 0},  // flags, keys
    {REQ_DSK_SET, I, 0x14, 1, {a0}, no_kind, none, none, 0},      // accept | length, then the input
    {REQ_NODE_ADD, I, 0x01, 3, {fixed(0x00), a0, a1}, APPL_NM_NODE_ADD, none, none, 0},
    {REQ_NODE_RM, I, 0x03, 2, {fixed(0x00), a0}, APPL_NM_NODE_RM, none, none, 0},
    {REQ_FAILED_RM, I, 0x07, 1, {a0}, APPL_NM_FAILED_RM, none, none, 0},
    {REQ_FAILED_RPLC, I, 0x09, 3, {a0, a1, a2}, APPL_NM_FAILED_RPLC, none, none, 0},  // node, tx options, mode
    {REQ_NBR_UPDATE, I, 0x0B, 1, {a0}, APPL_NM_NBR_UPDATE, 0, none, 0},
    {REQ_CTLR_CHANGE, R, 0x01, 3, {fixed(0x00), a0, a1}, APPL_NM_CTLR_CHANGE, none, none, 0},
    {REQ_RR_ASSIGN, I, 0x0D, 2, {a0, a1}, APPL_NM_RR_ASSIGN, 0, none, 1},  // source, destination
    {REQ_RR_DELETE, I, 0x0F, 1, {a0}, APPL_NM_RR_DELETE, 0, none, 1},
    {REQ_WL_SET, I, 0x17, 1, {a0}, no_kind, none, none, 0},  // flags, then the entry
    {REQ_WL_LIST_GET, I, 0x15, 0, {}, APPL_NM_WL_LIST, none, none, 0},
    {REQ_WL_GET, I, 0x18, 1, {a0}, APPL_NM_WL_GET, none, none, 0},  // DSK length, then the DSK
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
    appl_nm_any_fn cb{nullptr};
    appl_snd_cb_fn snd_cb{zip_send_cb};  // transmit result
    void *snd_user{nullptr};
};

// Builds the request of `req` and sends it. The entry is written before the
// send and put back when the send fails, so that the network-management
// mutex is never held at the one-send gate: the receive thread needs it to
// accept the reply that opens the gate.
int nm_snd(appl_layer_ctx *ctx, nm_req req, const nm_snd_args &a)
{
    if (!running(ctx))
        return ZIP_ERR_NOT_RUNNING;
    appl_nm_ctx *nm = appl_nm_get(ctx);
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
        plt_lock lk(ctx->nm_mtx);
        mine.seq = ctx->nm_seq++;
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
        plt_lock lk(ctx->nm_mtx);
        appl_nm_pend_t &e = nm->pend[l.kind];
        // Unless a later request of the kind has taken the entry meanwhile.
        if (e.seq == mine.seq && e.cb == mine.cb && e.node_id == mine.node_id)
            e = before;
    }
    return rc;
}

int nm_snd(appl_layer_ctx *ctx, nm_req req, appl_nm_any_fn cb, std::initializer_list<uint8_t> args = {},
           const uint8_t *tail = nullptr, size_t tail_len = 0)
{
    nm_snd_args a;
    size_t i = 0;
    for (uint8_t v : args)
        a.arg[i++] = v;
    a.cb = cb;
    a.tail = tail;
    a.tail_len = tail_len;
    return nm_snd(ctx, req, a);
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
    if (!running(ctx))
        return ZIP_ERR_NOT_RUNNING;
    appl_nm_ctx *nm = appl_nm_get(ctx);
    if (nm == nullptr)
        return ZIP_ERR_NOT_RUNNING;
    tpt_sockaddr_t dst;
    gw_dst(ctx, &dst);
    plt_lock lk(ctx->nm_mtx);
    const int rc = snd(&dst);
    if (rc == 0)
        nm->resolve_cb = cb;
    return rc;
}

}  // namespace

// ---------------------------------------------------------------------------
// State
// ---------------------------------------------------------------------------

appl_nm_ctx *appl_nm_get(appl_layer_ctx *ctx) { return ctx != nullptr ? &ctx->nm : nullptr; }

// ---------------------------------------------------------------------------
// Dispatch
// ---------------------------------------------------------------------------

int appl_nm_rpt_dispatch(appl_layer_ctx *ctx, const tpt_sockaddr_t *src, const uint8_t *cmd, uint16_t len)
{
    if (ctx == nullptr || cmd == nullptr || len < 1 || ctx->nm_mtx == nullptr)
        return 0;
    appl_nm_ctx *nm = appl_nm_get(ctx);
    if (nm == nullptr)
        return 0;
    switch (cmd[0]) {
    case COMMAND_CLASS_APPLICATION_STATUS:
        return app_sts(ctx, nm, src, cmd, len);
    case COMMAND_CLASS_NETWORK_MANAGEMENT_INCLUSION:
        incl_rpt(ctx, nm, cmd, len);
        return 1;
    case COMMAND_CLASS_NETWORK_MANAGEMENT_BASIC:
        basic_rpt(ctx, nm, cmd, len);
        return 1;
    case COMMAND_CLASS_NETWORK_MANAGEMENT_PROXY:
        proxy_rpt(ctx, nm, cmd, len);
        return 1;
    case COMMAND_CLASS_NETWORK_MANAGEMENT_PRIMARY:
        primary_rpt(ctx, nm, cmd, len);
        return 1;
    case COMMAND_CLASS_ZIP_ND:
        nd_rpt(ctx, nm, cmd, len);
        return 1;
    default:
        return 0;
    }
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
    return nm_snd(ctx, REQ_NODE_LIST_GET, as_any(cb));
}

int zw_request_node_info(appl_layer_ctx *ctx, appl_nm_node_info_fn cb, uint8_t node_id, uint8_t max_age)
{
    return nm_snd(ctx, REQ_NODE_INFO_GET, as_any(cb), {std::min<uint8_t>(max_age, 15), node_id});
}

int zip_mul_ch_ep_get(appl_layer_ctx *ctx, appl_nm_ep_fn cb, uint8_t node_id)
{
    return nm_snd(ctx, REQ_EP_GET, as_any(cb), {node_id});
}

int zip_mul_ch_cap_get(appl_layer_ctx *ctx, appl_nm_ep_cap_fn cb, uint8_t node_id, uint8_t ep)
{
    return nm_snd(ctx, REQ_CAP_GET, as_any(cb), {node_id, ep});
}

int zip_mul_ch_aggr_get(appl_layer_ctx *ctx, appl_nm_aggr_fn cb, uint8_t node_id, uint8_t aggr_ep)
{
    return nm_snd(ctx, REQ_AGGR_GET, as_any(cb), {node_id, aggr_ep});
}

int zw_set_default(appl_layer_ctx *ctx, appl_nm_sts_node_fn cb, uint8_t node_id)
{
    const int rc = nm_snd(ctx, REQ_SET_DEFAULT, as_any(cb), {node_id});
    // The old network's node states mean nothing after a reset.
    appl_node_sts_clr(ctx);
    return rc;
}

int zw_set_learn_mode(appl_layer_ctx *ctx, appl_nm_lrn_fn cb, uint8_t node_id, uint8_t mode)
{
    return nm_snd(ctx, REQ_LEARN_MODE, as_any(cb), {node_id, mode});
}

int zw_sec2_dsk_get(appl_layer_ctx *ctx, appl_nm_dsk_fn cb, int add_mode)
{
    return nm_snd(ctx, REQ_DSK_GET, as_any(cb), {static_cast<uint8_t>(add_mode & 0xFF)});
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
    return nm_snd(ctx, REQ_NET_UPDATE, as_any(cb));
}

int zw_sec2_key_set(appl_layer_ctx *ctx, uint8_t grnt_keys, uint8_t csa_granted)
{
    const uint8_t flags = static_cast<uint8_t>((grnt_keys != 0 ? 0x01 : 0) | (csa_granted ? 0x02 : 0));
    return nm_snd(ctx, REQ_KEY_SET, nullptr, {flags, grnt_keys});
}

int zw_sec2_dsk_set(appl_layer_ctx *ctx, int accept, uint8_t input_len, const uint8_t *input)
{
    if (input_len > APPL_NM_DSK_LEN || (accept && input_len != 0 && input == nullptr))
        return -1;
    if (!accept)
        return nm_snd(ctx, REQ_DSK_SET, nullptr, {0x00});
    return nm_snd(ctx, REQ_DSK_SET, nullptr, {static_cast<uint8_t>(0x80 | input_len)}, input, input_len);
}

int zw_add_node_to_network(appl_layer_ctx *ctx, appl_nm_incl_fn cb, uint8_t mode, uint8_t tx_opt)
{
    return nm_snd(ctx, REQ_NODE_ADD, as_any(cb), {mode, tx_opt});
}

int zw_remove_node_from_network(appl_layer_ctx *ctx, appl_nm_sts_node_fn cb, uint8_t mode)
{
    return nm_snd(ctx, REQ_NODE_RM, as_any(cb), {mode});
}

int zw_remove_failed_node_id(appl_layer_ctx *ctx, appl_nm_sts_node_fn cb, uint8_t node_id)
{
    return nm_snd(ctx, REQ_FAILED_RM, as_any(cb), {node_id});
}

int zw_replace_failed_node(appl_layer_ctx *ctx, appl_nm_incl_fn cb, uint8_t node_id, uint8_t tx_opt, uint8_t mode)
{
    return nm_snd(ctx, REQ_FAILED_RPLC, as_any(cb), {node_id, tx_opt, mode});
}

int zw_request_node_neighbor_update(appl_layer_ctx *ctx, appl_nm_sts_node_fn cb, uint8_t node_id)
{
    return nm_snd(ctx, REQ_NBR_UPDATE, as_any(cb), {node_id});
}

int zw_controller_change(appl_layer_ctx *ctx, appl_nm_node_info_fn cb, uint8_t mode, uint8_t tx_opt)
{
    return nm_snd(ctx, REQ_CTLR_CHANGE, as_any(cb), {mode, tx_opt});
}

int zw_assign_return_route(appl_layer_ctx *ctx, uint8_t src_node, uint8_t dst_node, appl_nm_sts_node_fn cb)
{
    return nm_snd(ctx, REQ_RR_ASSIGN, as_any(cb), {src_node, dst_node});
}

int zw_delete_return_route(appl_layer_ctx *ctx, uint8_t node_id, appl_nm_sts_node_fn cb)
{
    return nm_snd(ctx, REQ_RR_DELETE, as_any(cb), {node_id});
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
    return nm_snd(ctx, REQ_WL_SET, nullptr, {flags}, tail.data(), tail.size());
}

int zw_wl_list_get(appl_layer_ctx *ctx, appl_nm_wl_list_fn cb)
{
    return nm_snd(ctx, REQ_WL_LIST_GET, as_any(cb));
}

int zw_wl_get(appl_layer_ctx *ctx, const uint8_t *dsk, uint8_t dsk_len, appl_nm_wl_ent_fn cb)
{
    if (dsk_len > APPL_NM_DSK_LEN || (dsk_len != 0 && dsk == nullptr))
        return -1;
    return nm_snd(ctx, REQ_WL_GET, as_any(cb), {dsk_len}, dsk, dsk_len);
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
