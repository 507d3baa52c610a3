// Reports of association, identification, wake-up, firmware and gateway
// classes.
//
// Most of them are a fixed layout handed on as a record: parse copies the
// fields, nothing is cached, the callback gets the record. The rest differ:
//   - association group information keeps its group table on the interface;
//   - reports of association members, IP association, Security classes and
//     Simple AV bit masks arrive in several frames and gather on their own
//     interface (so two nodes' frames never mix) until the last one, with
//     bounded sizes; a frame that starts a sequence again drops what was
//     gathered;
//   - a few ask the device for more (wake-up capabilities, the portal peer,
//     the next IP association or AV report) once the callbacks ran.
//
// A parse that finds a frame it must refuse (a group 0, a layout that does
// not add up) clears the record's class: the frame is then dropped whole.
#include "hcapi/core/zwif_rpt_mgmt.h"

#include "hcapi/core/zwif_rpt_def.h"

#include "hcapi/core/zwnet_cb.h"
#include "hcapi/core/zwnode_q.h"
#include "hcapi/core/zwrec.h"
#include "hcapi/core/zwsend.h"
#include "hcapi/include/zwif_mgmt.h"
#include "hcapi/zip/zip_addr.h"
#include "hcapi/zip/zip_utf.h"
#include "hcapi/zip/zip_util.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Record helpers
// ---------------------------------------------------------------------------

template <class T>
void put(zwif_rpt_rec_t *rec, const T &v)
{
    static_assert(std::is_trivially_copyable_v<T> && sizeof(T) <= ZWIF_RPT_REC_MAX);
    std::memcpy(rec->val, &v, sizeof v);
    rec->len = sizeof v;
}

template <class T>
T get(const zwif_rpt_rec_t *rec)
{
    static_assert(std::is_trivially_copyable_v<T> && sizeof(T) <= ZWIF_RPT_REC_MAX);
    T v;
    std::memcpy(&v, rec->val, sizeof v);
    return v;
}

void refuse(zwif_rpt_rec_t *rec) { rec->len = 0; }

uint16_t be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t be24(const uint8_t *p) { return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]; }

template <class Fn>
Fn fn_of(zwif_rpt_fn cb)
{
    return reinterpret_cast<Fn>(cb);
}

// The interface's work record, made on first use; null without memory.
zwif_mgmt_t *mgmt_of(zwif_p intf)
{
    if (!intf->mgmt)
        intf->mgmt.reset(new (std::nothrow) zwif_mgmt_t{});
    return intf->mgmt.get();
}

// Nothing of these reports is cached: every one reaches the callbacks.
int store_none(zwif_p, const zwif_rpt_rec_t *, time_t now, time_t *ts)
{
    *ts = now;
    return 1;
}

// A whole that outgrew the record: the heap object travels in `val` from
// collect to release.
template <class T>
void whole_put(zwif_rpt_rec_t *rec, T *obj)
{
    put(rec, obj);
}

template <class T>
T *whole_get(const zwif_rpt_rec_t *rec)
{
    return get<T *>(rec);
}

template <class T>
void whole_release(zwif_rpt_rec_t *rec)
{
    delete whole_get<T>(rec);
    put(rec, static_cast<T *>(nullptr));
}

// Runs a step that may grow a vector; false when memory ran out.
template <class Fn>
bool no_throw(Fn &&fn)
{
    try {
        fn();
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

// The report callback an application registered for a report command (for
// follow-ups that end in a callback); null when none or the interface went.
zwif_rpt_fn usr_cb_of(const zwif_desc_t *d, uint8_t rpt)
{
    zwnet_lock lk(d->net);
    zwif_p intf = zwif_rec_get(d);
    for (uint8_t r = 0; intf != nullptr && r < intf->rpt_num && r < ZWIF_RPT_ROWS_MAX; ++r)
        if (intf->rpt[r].rpt_cmd == rpt)
            return intf->rpt[r].usr_rpt_cb;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Association Group Information (0x59)
// ---------------------------------------------------------------------------

// The group table grows to the groups the endpoint's grouping interface
// announces, and at least to the group a report names.
zwif_grp_t *agi_grp(zwif_p intf, uint8_t grp)
{
    zwif_mgmt_t *m = mgmt_of(intf);
    if (m == nullptr || grp == 0)
        return nullptr;
    size_t want = grp;
    for (uint16_t cls : {0x85, 0x8E}) {
        zwif_p g = zwif_find_cls(intf->ep->intf, cls);
        if (g != nullptr && g->data != nullptr && g->data_cnt != 0)
            want = std::max<size_t>(want, *static_cast<const uint8_t *>(g->data));
    }
    std::vector<zwif_grp_t> &grps = m->agi.grps;
    if (grps.size() < want && !no_throw([&] { grps.resize(want); }))
        return nullptr;
    return &grps[grp - 1];
}

struct agi_name_t {
    uint8_t grp;
    uint8_t len;
    uint8_t name[ZWIF_RPT_REC_MAX - 2];
};

void parse_agi_name(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    agi_name_t r{};
    r.grp = cmd[2];
    // The name is cut to the bytes the frame holds.
    r.len = static_cast<uint8_t>(std::min<size_t>({cmd[3], size_t(len - 4), sizeof r.name}));
    std::memcpy(r.name, cmd + 4, r.len);
    put(rec, r);
    if (r.grp == 0)
        refuse(rec);
}

int store_agi_name(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    const agi_name_t r = get<agi_name_t>(rec);
    if (zwif_grp_t *g = agi_grp(intf, r.grp)) {
        const size_t n = util_utf8_valid_len(r.name, std::min<size_t>(r.len, ZWIF_GRP_NAME_MAX));
        std::memset(g->name, 0, sizeof g->name);
        std::memcpy(g->name, r.name, n);
        g->present = 1;
    }
    return 1;
}

void call_agi_name(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const agi_name_t r = get<agi_name_t>(rec);
    fn_of<zwrep_grp_name_fn>(cb)(intf, r.grp, r.len, r.name);
}

// Group records of 7 bytes: {group, mode, profile, reserved, event code}.
constexpr size_t agi_info_sz = 7;
struct agi_info_t {
    uint8_t cnt;
    uint8_t dynamic;
    uint8_t ent[(ZWIF_RPT_REC_MAX - 2) / 5][5];  // group, profile, event code
};

void parse_agi_info(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    agi_info_t r{};
    const size_t cnt = cmd[2] & 0x3F;
    r.dynamic = (cmd[2] & 0x40) ? 1 : 0;
    if (cnt * agi_info_sz > size_t(len - 3)) {
        refuse(rec);
        return;
    }
    r.cnt = static_cast<uint8_t>(std::min(cnt, std::size(r.ent)));
    for (size_t i = 0; i < cnt; ++i) {
        const uint8_t *g = cmd + 3 + i * agi_info_sz;
        // Only the list of current group information is understood; a group
        // 0 does not exist.
        if (g[1] != 0 || g[0] == 0) {
            refuse(rec);
            return;
        }
        if (i < r.cnt) {
            r.ent[i][0] = g[0];
            std::memcpy(&r.ent[i][1], g + 2, 2);
            std::memcpy(&r.ent[i][3], g + 5, 2);
        }
    }
    put(rec, r);
}

int store_agi_info(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    const agi_info_t r = get<agi_info_t>(rec);
    for (uint8_t i = 0; i < r.cnt; ++i) {
        if (zwif_grp_t *g = agi_grp(intf, r.ent[i][0])) {
            g->profile = be16(&r.ent[i][1]);
            g->evt_code = be16(&r.ent[i][3]);
            g->present = 1;
        }
    }
    if (intf->mgmt)
        intf->mgmt->agi.dynamic = r.dynamic;
    return 1;
}

void call_agi_info(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const agi_info_t r = get<agi_info_t>(rec);
    zwif_grp_info_ent_t ents[std::size(r.ent)]{};
    for (uint8_t i = 0; i < r.cnt; ++i)
        ents[i] = {r.ent[i][0], be16(&r.ent[i][1]), be16(&r.ent[i][3])};
    fn_of<zwrep_grp_info_fn>(cb)(intf, r.cnt, r.dynamic, ents);
}

// The command list as the frame has it: classes from 0xF1 take two bytes.
struct agi_cmds_t {
    uint8_t grp;
    uint8_t len;
    uint8_t bytes[ZWIF_RPT_REC_MAX - 2];
};

void parse_agi_cmds(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    agi_cmds_t r{};
    r.grp = cmd[2];
    r.len = static_cast<uint8_t>(std::min<size_t>({cmd[3], size_t(len - 4), sizeof r.bytes}));
    std::memcpy(r.bytes, cmd + 4, r.len);
    put(rec, r);
    if (r.grp == 0)
        refuse(rec);
}

// Walks the list: entries that are whole, at most `max`.
size_t agi_cmds_walk(const agi_cmds_t &r, zwif_grp_cmd_ent_t *out, size_t max)
{
    size_t n = 0;
    for (size_t i = 0; i < r.len && n < max;) {
        if (r.bytes[i] < 0xF1) {
            if (r.len - i < 2)
                break;
            out[n++] = {r.bytes[i], r.bytes[i + 1]};
            i += 2;
        } else {
            if (r.len - i < 3)
                break;
            out[n++] = {be16(r.bytes + i), r.bytes[i + 2]};
            i += 3;
        }
    }
    return n;
}

int store_agi_cmds(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    const agi_cmds_t r = get<agi_cmds_t>(rec);
    zwif_grp_cmd_ent_t ents[sizeof r.bytes / 2];
    const size_t n = agi_cmds_walk(r, ents, std::size(ents));
    if (zwif_grp_t *g = agi_grp(intf, r.grp)) {
        no_throw([&] {
            g->cmds.clear();
            for (size_t i = 0; i < n; ++i)
                g->cmds.push_back({ents[i].cls, ents[i].cmd, 0});
        });
        g->present = 1;
    }
    return 1;
}

void call_agi_cmds(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const agi_cmds_t r = get<agi_cmds_t>(rec);
    zwif_grp_cmd_ent_t ents[sizeof r.bytes / 2];
    const size_t n = agi_cmds_walk(r, ents, std::size(ents));
    fn_of<zwrep_grp_cmd_lst_fn>(cb)(intf, r.grp, static_cast<uint8_t>(n), ents);
}

// ---------------------------------------------------------------------------
// IP Association (0x5C)
// ---------------------------------------------------------------------------

struct ip_assoc_t {
    uint8_t grp;
    uint8_t idx;
    uint8_t total;
    uint8_t addr[16];
    uint8_t ep;
};

void parse_ip_assoc(const uint8_t *cmd, uint16_t, zwif_rpt_rec_t *rec)
{
    ip_assoc_t r{};
    r.grp = cmd[2];
    r.idx = cmd[3];
    r.total = cmd[4];
    std::memcpy(r.addr, cmd + 5, 16);
    r.ep = cmd[21];
    put(rec, r);
    if (r.grp == 0 || r.idx == 0)
        refuse(rec);
}

struct ip_assoc_whole_t {
    std::vector<zwif_assoc_ent_t> ents;
    uint8_t grp{0};
    uint8_t total{0};
    uint8_t next{0};  // the index to ask next; 0 when complete
};

// The node an address stands for; false when none.
bool ip_assoc_node(zwnet_p net, const uint8_t *addr, uint8_t *node_id)
{
    appl_layer_ctx *ctx = net->appl.get();
    if (!util_is_ipv4_mapped(net->gw_addr)) {
        if (std::memcmp(addr, net->gw_addr, 16) == 0) {
            *node_id = net->ctl.nodeid;
            return true;
        }
        return appl_ip_to_node(ctx, addr, 16, node_id) != 0;
    }
    if (!util_is_ipv4_mapped(addr))
        return false;
    if (std::memcmp(addr + 12, net->gw_addr + 12, 4) == 0) {
        *node_id = net->ctl.nodeid;
        return true;
    }
    return appl_ip_to_node(ctx, addr + 12, 4, node_id) != 0;
}

int collect_ip_assoc(zwif_p intf, zwif_rpt_rec_t *rec)
{
    const ip_assoc_t r = get<ip_assoc_t>(rec);
    whole_put<ip_assoc_whole_t>(rec, nullptr);
    zwif_mgmt_t *m = mgmt_of(intf);
    if (m == nullptr)
        return 0;
    zwif_ip_assoc_acc_t &acc = m->ip_assoc;
    if (r.idx == 1) {
        acc = zwif_ip_assoc_acc_t{};
        acc.active = 1;
        acc.grp = r.grp;
        acc.total = r.total;
    } else if (!acc.active || acc.grp != r.grp || acc.last >= r.idx) {
        return 0;
    }
    acc.last = r.idx;
    uint8_t node_id = 0;
    if (ip_assoc_node(intf->ep->node->net, r.addr, &node_id) && acc.ents.size() < size_t(acc.total) + 1)
        no_throw([&] { acc.ents.push_back({node_id, r.ep}); });

    auto *w = new (std::nothrow) ip_assoc_whole_t{};
    if (w == nullptr) {
        acc = zwif_ip_assoc_acc_t{};
        return 0;
    }
    w->grp = acc.grp;
    w->total = acc.total;
    if (acc.total != 0 && r.idx < acc.total) {
        w->next = static_cast<uint8_t>(acc.last + 1);
        whole_put(rec, w);
        return ZWIF_RPT_FOLLOW;
    }
    w->ents = std::move(acc.ents);
    acc = zwif_ip_assoc_acc_t{};
    whole_put(rec, w);
    return ZWIF_RPT_CALL;
}

void call_ip_assoc(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const ip_assoc_whole_t *w = whole_get<ip_assoc_whole_t>(rec);
    fn_of<zwrep_ip_assoc_fn>(cb)(intf, w->grp, w->total ? w->total : 1, static_cast<uint16_t>(w->ents.size()),
                                 w->ents.data());
}

void follow_ip_assoc(const zwif_desc_t *intf, const zwif_rpt_rec_t *rec)
{
    const ip_assoc_whole_t *w = whole_get<ip_assoc_whole_t>(rec);
    if (w == nullptr || w->next == 0)
        return;
    const uint8_t get[4] = {0x5C, 0x02, w->grp, w->next};
    zwif_exec(intf, get, sizeof get, zwif_tx_sts_log_cb, nullptr, ZWIF_EXEC_NO_SLEEP_Q, nullptr);
}

// ---------------------------------------------------------------------------
// Z-Wave Plus Info (0x5E), Z/IP Gateway (0x5F), Multi Channel (0x60), Z/IP
// Portal (0x61), Mailbox (0x69)
// ---------------------------------------------------------------------------

void parse_zwplus(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    zwplus_info_t r{};
    r.zwplus_ver = cmd[2];
    r.role_type = cmd[3];
    r.node_type = cmd[4];
    if (len >= 9) {
        r.instr_icon = be16(cmd + 5);
        r.usr_icon = be16(cmd + 7);
    }
    put(rec, r);
}

void call_zwplus(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const zwplus_info_t r = get<zwplus_info_t>(rec);
    fn_of<zwrep_zwplus_fn>(cb)(intf, &r);
}

struct gw_unsolic_t {
    uint8_t addr[16];
    uint16_t port;
};

void parse_gw_unsolic(const uint8_t *cmd, uint16_t, zwif_rpt_rec_t *rec)
{
    gw_unsolic_t r{};
    std::memcpy(r.addr, cmd + 2, 16);
    r.port = be16(cmd + 18);
    put(rec, r);
}

void call_gw_unsolic(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const gw_unsolic_t r = get<gw_unsolic_t>(rec);
    fn_of<zwrep_gw_unsolic_fn>(cb)(intf, r.addr, r.port);
}

// Gateway mode and portal peer reach one callback: (status, mode, peer).
struct gw_mode_t {
    uint8_t mode;
    uint8_t has_peer;
    zwif_gw_peer_t peer;
};

void parse_gw_mode(const uint8_t *cmd, uint16_t, zwif_rpt_rec_t *rec)
{
    gw_mode_t r{};
    r.mode = cmd[2];
    put(rec, r);
    if (r.mode != 1 && r.mode != 2)
        refuse(rec);
}

// Stand-alone is known at once; portal mode is known with its peer.
int collect_gw_mode(zwif_p, zwif_rpt_rec_t *rec)
{
    return get<gw_mode_t>(rec).mode == 1 ? ZWIF_RPT_CALL : ZWIF_RPT_FOLLOW;
}

void follow_gw_mode(const zwif_desc_t *intf, const zwif_rpt_rec_t *)
{
    const uint8_t peer_idx = 1;
    if (zwif_get_report(intf, &peer_idx, 1, 0x05, zwif_tx_sts_log_cb, 1) >= 0)
        return;
    // The peer cannot be asked: the mode stays unknown.
    if (zwif_rpt_fn cb = usr_cb_of(intf, 0x03)) {
        zwif_desc_t d = *intf;
        fn_of<zwrep_gw_mode_fn>(cb)(&d, 2, 2, nullptr);
    }
}

void parse_gw_peer(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    gw_mode_t r{};
    r.mode = 2;
    if (cmd[3] != 0 && cmd[2] == 1) {
        r.has_peer = 1;
        std::memcpy(r.peer.addr, cmd + 4, 16);
        r.peer.port = be16(cmd + 20);
        // The name length may claim more than the frame holds.
        r.peer.name_len = static_cast<uint8_t>(std::min<size_t>(cmd[22] & 0x3F, size_t(len - 23)));
        std::memcpy(r.peer.name, cmd + 23, r.peer.name_len);
    }
    put(rec, r);
}

void call_gw_mode(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const gw_mode_t r = get<gw_mode_t>(rec);
    fn_of<zwrep_gw_mode_fn>(cb)(intf, 0, r.mode, r.has_peer ? &r.peer : nullptr);
}

struct mul_inst_t {
    uint8_t cls;
    uint8_t cnt;
};

void parse_mul_inst(const uint8_t *cmd, uint16_t, zwif_rpt_rec_t *rec) { put(rec, mul_inst_t{cmd[2], cmd[3]}); }

void call_mul_inst(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const mul_inst_t r = get<mul_inst_t>(rec);
    fn_of<zwrep_mul_inst_fn>(cb)(intf, r.cls, r.cnt);
}

struct mul_ep_t {
    uint8_t ep_cnt;
    uint8_t aggr_cnt;
    uint8_t flags;
};

void parse_mul_ep(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    put(rec, mul_ep_t{static_cast<uint8_t>(cmd[3] & 0x7F), static_cast<uint8_t>(len > 4 ? cmd[4] & 0x7F : 0), cmd[2]});
}

void call_mul_ep(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const mul_ep_t r = get<mul_ep_t>(rec);
    fn_of<zwrep_mul_ep_fn>(cb)(intf, r.ep_cnt, r.aggr_cnt, r.flags);
}

// A class list as the frame has it, behind a few fixed bytes.
struct cls_bytes_t {
    uint8_t head[4];
    uint8_t len;
    uint8_t bytes[ZWIF_RPT_REC_MAX - 5];
};

void parse_ep_cap(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    cls_bytes_t r{};
    r.head[0] = cmd[2] & 0x7F;
    r.head[1] = cmd[2] >> 7;
    r.head[2] = cmd[3];
    r.head[3] = cmd[4];
    r.len = static_cast<uint8_t>(std::min<size_t>(len - 5, sizeof r.bytes));
    std::memcpy(r.bytes, cmd + 5, r.len);
    put(rec, r);
}

struct cls_whole_t {
    std::vector<uint16_t> plain;
    std::vector<uint16_t> secure;
    zwif_ep_cap_t cap{};
};

// Splits a class list into the heap whole; false when it cannot.
bool cls_split(const uint8_t *bytes, uint8_t len, cls_whole_t *w)
{
    if (!no_throw([&] {
            if (!util_cmd_cls_parse(bytes, len, w->plain, w->secure))
                throw std::bad_alloc();
        }))
        return false;
    // Their counts are bytes.
    if (w->plain.size() > UINT8_MAX)
        w->plain.resize(UINT8_MAX);
    if (w->secure.size() > UINT8_MAX)
        w->secure.resize(UINT8_MAX);
    return true;
}

int collect_ep_cap(zwif_p, zwif_rpt_rec_t *rec)
{
    const cls_bytes_t r = get<cls_bytes_t>(rec);
    whole_put<cls_whole_t>(rec, nullptr);
    auto *w = new (std::nothrow) cls_whole_t{};
    if (w == nullptr)
        return 0;
    if (!cls_split(r.bytes, r.len, w)) {
        delete w;
        return 0;
    }
    w->cap = {r.head[0], r.head[1], r.head[2], r.head[3], static_cast<uint8_t>(w->plain.size()),
              static_cast<uint8_t>(w->secure.size()), w->plain.data(), w->secure.data()};
    whole_put(rec, w);
    return ZWIF_RPT_CALL;
}

void call_ep_cap(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const zwif_ep_cap_t cap = whole_get<cls_whole_t>(rec)->cap;
    fn_of<zwrep_ep_cap_fn>(cb)(intf, &cap);
}

struct aggr_t {
    uint8_t ep;
    uint8_t cnt;
    uint8_t members[ZWEP_AGGR_MAX];
};

void parse_aggr(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    aggr_t r{};
    r.ep = cmd[2] & 0x7F;
    const size_t n = cmd[3];
    if (n == 0 || len < n + 4) {
        refuse(rec);
        return;
    }
    for (size_t i = 0; i < n * 8 && i < ZWEP_AGGR_MAX; ++i)
        if (cmd[4 + i / 8] & (1u << (i % 8)))
            r.members[r.cnt++] = static_cast<uint8_t>(i + 1);
    put(rec, r);
}

void call_aggr(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const aggr_t r = get<aggr_t>(rec);
    fn_of<zwrep_aggr_fn>(cb)(intf, r.ep, r.cnt, r.members);
}

void parse_gw_cfg(const uint8_t *cmd, uint16_t, zwif_rpt_rec_t *rec)
{
    zwif_gw_cfg_t r{};
    const uint8_t *p = cmd + 2;
    std::memcpy(r.lan_addr, p, 16);
    r.lan_prefix = p[16];
    std::memcpy(r.portal_addr, p + 17, 16);
    r.portal_prefix = p[33];
    std::memcpy(r.gw_addr, p + 34, 16);
    std::memcpy(r.pan_prefix, p + 50, 16);
    put(rec, r);
}

void call_gw_cfg(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const zwif_gw_cfg_t r = get<zwif_gw_cfg_t>(rec);
    fn_of<zwrep_gw_cfg_fn>(cb)(intf, &r);
}

void parse_mailbox(const uint8_t *cmd, uint16_t, zwif_rpt_rec_t *rec)
{
    zwif_mailbox_cfg_t r{};
    r.sup_modes = (cmd[2] >> 3) & 3;
    r.mode = cmd[2] & 7;
    r.capacity = be16(cmd + 3);
    std::memcpy(r.fwd_addr, cmd + 5, 16);
    r.port = be16(cmd + 21);
    put(rec, r);
}

void call_mailbox(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const zwif_mailbox_cfg_t r = get<zwif_mailbox_cfg_t>(rec);
    fn_of<zwrep_mailbox_fn>(cb)(intf, &r);
}

// ---------------------------------------------------------------------------
// Configuration (0x70), Manufacturer Specific (0x72), Powerlevel (0x73),
// Node Naming (0x77)
// ---------------------------------------------------------------------------

void parse_config(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    zwif_config_t r{};
    r.param_num = cmd[2];
    r.size = cmd[3] & 7;
    if ((r.size != 1 && r.size != 2 && r.size != 4) || len < r.size + 4) {
        refuse(rec);
        return;
    }
    std::memcpy(r.data, cmd + 4, r.size);
    put(rec, r);
}

void call_config(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const zwif_config_t r = get<zwif_config_t>(rec);
    fn_of<zwrep_config_fn>(cb)(intf, &r);
}

void parse_manf(const uint8_t *cmd, uint16_t, zwif_rpt_rec_t *rec)
{
    put(rec, zwif_manf_t{be16(cmd + 2), be16(cmd + 4), be16(cmd + 6)});
}

void call_manf(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const zwif_manf_t r = get<zwif_manf_t>(rec);
    fn_of<zwrep_manf_fn>(cb)(intf, &r);
}

void parse_dev_id(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    zw_dev_id_t r{};
    r.type = cmd[2] & 7;
    r.format = cmd[3] >> 5;
    r.len = cmd[3] & 0x1F;  // at most 31: the record keeps a terminating byte
    if (len < r.len + 4) {
        refuse(rec);
        return;
    }
    std::memcpy(r.dev_id, cmd + 4, r.len);
    put(rec, r);
}

void call_dev_id(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const zw_dev_id_t r = get<zw_dev_id_t>(rec);
    fn_of<zwrep_dev_id_fn>(cb)(intf, &r);
}

struct power_t {
    uint8_t level;
    uint8_t timeout;
};

void parse_power(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    put(rec, power_t{cmd[2], static_cast<uint8_t>(len > 3 ? cmd[3] : 0)});
}

void call_power(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const power_t r = get<power_t>(rec);
    fn_of<zwrep_power_level_fn>(cb)(intf, r.level, r.timeout);
}

struct power_test_t {
    uint8_t node_id;
    uint8_t status;
    uint16_t ack_cnt;
};

void parse_power_test(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    put(rec, power_test_t{cmd[2], static_cast<uint8_t>(len > 3 ? cmd[3] : 1),
                          static_cast<uint16_t>(len >= 6 ? be16(cmd + 4) : 0)});
}

void call_power_test(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const power_test_t r = get<power_test_t>(rec);
    fn_of<zwrep_power_level_test_fn>(cb)(intf, r.node_id, r.status, r.ack_cnt);
}

inline constexpr uint8_t nameloc_max = 32;
struct nameloc_t {
    uint8_t charset;
    uint8_t len;
    uint8_t text[nameloc_max];
};

void parse_nameloc(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    nameloc_t r{};
    r.charset = cmd[2] & 7;
    r.len = static_cast<uint8_t>(std::min<size_t>(len - 3, nameloc_max));
    std::memcpy(r.text, cmd + 3, r.len);
    put(rec, r);
}

void call_nameloc(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const nameloc_t r = get<nameloc_t>(rec);
    fn_of<zwrep_nameloc_fn>(cb)(intf, r.text, r.len, r.charset);
}

// ---------------------------------------------------------------------------
// Firmware Update Meta Data (0x7A)
// ---------------------------------------------------------------------------

struct fw_info_t {
    uint16_t vid, fw_id, chksum, max_frag_sz;
    uint8_t short_rpt, upgrade_flg, hw_ver_valid, hw_ver, other_cnt;
    uint16_t other[(ZWIF_RPT_REC_MAX - 14) / 2];
};

void parse_fw_info(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    fw_info_t r{};
    r.vid = be16(cmd + 2);
    r.fw_id = be16(cmd + 4);
    r.chksum = be16(cmd + 6);
    if (len == 8) {
        r.max_frag_sz = 40;
        r.short_rpt = 1;
        r.upgrade_flg = 0xFF;
        put(rec, r);
        return;
    }
    const size_t t = len >= 12 ? cmd[9] : 0;
    if (len < 12 || len < 12 + 2 * t) {
        refuse(rec);
        return;
    }
    r.upgrade_flg = cmd[8];
    r.max_frag_sz = be16(cmd + 10);
    r.other_cnt = static_cast<uint8_t>(std::min(t, std::size(r.other)));
    for (size_t i = 0; i < r.other_cnt; ++i)
        r.other[i] = be16(cmd + 12 + 2 * i);
    if (len > 12 + 2 * t) {
        r.hw_ver_valid = 1;
        r.hw_ver = cmd[12 + 2 * t];
    }
    put(rec, r);
}

int store_fw_info(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    const fw_info_t r = get<fw_info_t>(rec);
    if (zwif_mgmt_t *m = mgmt_of(intf)) {
        m->fw.valid = 1;
        m->fw.max_frag_sz = r.max_frag_sz;
        m->fw.short_rpt = r.short_rpt;
    }
    return 1;
}

void call_fw_info(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const fw_info_t r = get<fw_info_t>(rec);
    const zwif_fw_info_t info{r.vid,    r.fw_id,        r.chksum, r.max_frag_sz, r.short_rpt, r.upgrade_flg,
                              r.hw_ver_valid, r.hw_ver, r.other_cnt, r.other_cnt ? r.other : nullptr};
    fn_of<zwrep_fw_info_fn>(cb)(intf, &info);
}

void call_fw_req(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    fn_of<zwrep_fw_req_fn>(cb)(intf, rec->val[0]);
}

// The update's tracker hears the request and final status after the
// application did (it is not there while no update was ever asked for).
int collect_fw_track(zwif_p, zwif_rpt_rec_t *) { return ZWIF_RPT_CALL | ZWIF_RPT_FOLLOW; }

void follow_fw_req(const zwif_desc_t *intf, const zwif_rpt_rec_t *rec)
{
    zwnet_lock lk(intf->net);
    if (intf->net->fw_req_hook != nullptr)
        intf->net->fw_req_hook(intf, rec->val[0]);
}

struct fw_sts_t {
    uint8_t status;
    uint8_t has_wait;  // the frame carries a wait time
    uint16_t wait_tm;
    uint8_t wait;
};

void parse_fw_sts(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    fw_sts_t r{};
    r.status = cmd[2];
    if (len >= 5) {
        r.has_wait = 1;
        r.wait_tm = be16(cmd + 3);
    }
    put(rec, r);
}

// A status ends the update: nothing is left to send.
int store_fw_sts(zwif_p intf, const zwif_rpt_rec_t *, time_t now, time_t *ts)
{
    *ts = now;
    if (intf->mgmt) {
        intf->mgmt->fw.rpt_left = 0;
        intf->mgmt->fw.frag_sz = 0;
    }
    return 1;
}

// Whether the device restarts by itself depends on the interface version.
int collect_fw_sts(zwif_p intf, zwif_rpt_rec_t *rec)
{
    fw_sts_t r = get<fw_sts_t>(rec);
    if (!(intf->ver >= 3 && r.status == 0xFF && r.has_wait && r.wait_tm != 0)) {
        r.wait_tm = 0;
        r.wait = 0;
    } else {
        r.wait = 1;
    }
    put(rec, r);
    return ZWIF_RPT_CALL | ZWIF_RPT_FOLLOW;
}

void call_fw_sts(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const fw_sts_t r = get<fw_sts_t>(rec);
    fn_of<zwrep_fw_sts_fn>(cb)(intf, r.status, r.wait_tm, r.wait);
}

void follow_fw_sts(const zwif_desc_t *intf, const zwif_rpt_rec_t *rec)
{
    const fw_sts_t r = get<fw_sts_t>(rec);
    zwnet_lock lk(intf->net);
    if (intf->net->fw_sts_hook != nullptr)
        intf->net->fw_sts_hook(intf, r.status, r.wait_tm, r.wait);
}

struct fw_frag_t {
    uint16_t rpt_num;
    uint8_t cnt;
};

void parse_fw_frag(const uint8_t *cmd, uint16_t, zwif_rpt_rec_t *rec)
{
    // The top bit of the report number is not part of it.
    put(rec, fw_frag_t{static_cast<uint16_t>(be16(cmd + 3) & 0x7FFF), cmd[2]});
}

void call_fw_frag(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const fw_frag_t r = get<fw_frag_t>(rec);
    fn_of<zwrep_fw_frag_fn>(cb)(intf, r.rpt_num, r.cnt);
}

// ---------------------------------------------------------------------------
// Wake Up (0x84)
// ---------------------------------------------------------------------------

void parse_wkup_cap(const uint8_t *cmd, uint16_t, zwif_rpt_rec_t *rec)
{
    zwif_wakeup_t r{};
    r.min = be24(cmd + 2);
    r.max = be24(cmd + 5);
    r.def = be24(cmd + 8);
    r.interval_step = be24(cmd + 11);
    put(rec, r);
}

// The capabilities are the interface's supported information: 4 u32.
constexpr uint8_t wkup_cap_sz = 16;

int store_wkup_cap(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    const zwif_wakeup_t r = get<zwif_wakeup_t>(rec);
    const uint32_t cap[4] = {r.min, r.max, r.def, r.interval_step};
    static_assert(sizeof cap == wkup_cap_sz);
    if (zwif_data_set(intf, 1, wkup_cap_sz, cap) != 0)
        intf->data_cnt = 0;
    return 1;
}

// The last interval report completes the record.
int collect_wkup_cap(zwif_p intf, zwif_rpt_rec_t *rec)
{
    zwif_wakeup_t r = get<zwif_wakeup_t>(rec);
    if (intf->mgmt) {
        r.cur = intf->mgmt->wkup_intv;
        r.node_id = intf->mgmt->wkup_node;
    }
    r.net = intf->ep->node->net;
    put(rec, r);
    return ZWIF_RPT_CALL;
}

void parse_wkup(const uint8_t *cmd, uint16_t, zwif_rpt_rec_t *rec)
{
    zwif_wakeup_t r{};
    r.cur = be24(cmd + 2);
    r.node_id = cmd[5];
    put(rec, r);
}

int store_wkup(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    const zwif_wakeup_t r = get<zwif_wakeup_t>(rec);
    intf->ep->node->wkup_intv = r.cur;
    if (zwif_mgmt_t *m = mgmt_of(intf)) {
        m->wkup_intv = r.cur;
        m->wkup_node = r.node_id;
    }
    return 1;
}

// From version 2 the record goes out whole: with the cached capabilities,
// or, before they are known, once the device has sent them.
int collect_wkup(zwif_p intf, zwif_rpt_rec_t *rec)
{
    zwif_wakeup_t r = get<zwif_wakeup_t>(rec);
    r.net = intf->ep->node->net;
    if (intf->ver >= 2) {
        if (intf->data_cnt == 0 || intf->data == nullptr || intf->data_item_sz != wkup_cap_sz) {
            put(rec, r);
            return ZWIF_RPT_FOLLOW;
        }
        uint32_t cap[4];
        std::memcpy(cap, intf->data, sizeof cap);
        r.min = cap[0];
        r.max = cap[1];
        r.def = cap[2];
        r.interval_step = cap[3];
    }
    put(rec, r);
    return ZWIF_RPT_CALL;
}

void follow_wkup(const zwif_desc_t *intf, const zwif_rpt_rec_t *)
{
    zwif_get_report_simple(intf, nullptr, 0, 0x09, zwif_tx_sts_log_cb);
}

void call_wkup(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const zwif_wakeup_t r = get<zwif_wakeup_t>(rec);
    fn_of<zwrep_wakeup_fn>(cb)(intf, &r);
}

// ---------------------------------------------------------------------------
// Association (0x85) and Multi Channel Association (0x8E)
// ---------------------------------------------------------------------------

void call_u8(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    fn_of<void (*)(zwif_desc_t *, uint8_t)>(cb)(intf, rec->val[0]);
}

void parse_b2(const uint8_t *cmd, uint16_t, zwif_rpt_rec_t *rec)
{
    rec->len = 1;
    rec->val[0] = cmd[2];
}

int store_groupings(zwif_p intf, const zwif_rpt_rec_t *rec, time_t now, time_t *ts)
{
    *ts = now;
    const uint8_t n = rec->val[0];
    zwif_data_set(intf, 1, 1, &n);
    // The two association classes of an endpoint share their groups.
    if (intf->cls == 0x85)
        if (zwif_p mca = zwif_find_cls(intf->ep->intf, 0x8E))
            zwif_data_set(mca, 1, 1, &n);
    return 1;
}

void call_groupings(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    fn_of<zwrep_groups_fn>(cb)(intf, rec->val[0], 1);
}

// One frame of a group's members, as the frame has them.
struct assoc_t {
    uint8_t grp;
    uint8_t max;
    uint8_t follow;
    uint8_t len;
    uint8_t bytes[ZWIF_RPT_REC_MAX - 4];
};

void parse_assoc(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    assoc_t r{};
    r.grp = cmd[2];
    r.max = cmd[3];
    r.follow = cmd[4];
    r.len = static_cast<uint8_t>(std::min<size_t>(len - 5, sizeof r.bytes));
    std::memcpy(r.bytes, cmd + 5, r.len);
    put(rec, r);
    if (r.grp == 0)
        refuse(rec);
}

// The members of one frame: node ids, and for Multi Channel Association
// after a 0 marker {node, endpoint} pairs, where from version 2 an endpoint
// byte with bit 7 is a mask of endpoints 1 to 7.
void assoc_decode(const assoc_t &r, bool mca, uint8_t ver, std::vector<zwif_assoc_ent_t> &out)
{
    size_t i = 0;
    for (; i < r.len && !(mca && r.bytes[i] == 0); ++i)
        out.push_back({r.bytes[i], 0});
    if (!mca)
        return;
    for (++i; i + 1 < r.len; i += 2) {
        const uint8_t node = r.bytes[i], ep = r.bytes[i + 1];
        if (ver >= 2 && (ep & 0x80)) {
            for (uint8_t b = 0; b < 7; ++b)
                if (ep & (1u << b))
                    out.push_back({node, static_cast<uint8_t>(b + 1)});
        } else {
            out.push_back({node, ep});
        }
    }
}

struct assoc_whole_t {
    std::vector<zwif_assoc_ent_t> ents;
    uint8_t grp{0};
    uint8_t max{0};
};

int collect_assoc(zwif_p intf, zwif_rpt_rec_t *rec)
{
    const assoc_t r = get<assoc_t>(rec);
    whole_put<assoc_whole_t>(rec, nullptr);
    zwif_mgmt_t *m = mgmt_of(intf);
    if (m == nullptr)
        return 0;
    zwif_assoc_acc_t &acc = m->assoc;
    // A frame of another group, or one that does not count down, starts
    // the gathering over.
    if (!acc.active || acc.grp != r.grp || acc.max != r.max || r.follow >= acc.follow)
        acc = zwif_assoc_acc_t{};
    acc.active = 1;
    acc.grp = r.grp;
    acc.max = r.max;
    acc.follow = r.follow;
    std::vector<zwif_assoc_ent_t> ents;
    const bool mca = intf->cls == 0x8E;
    no_throw([&] {
        assoc_decode(r, mca, intf->ver, ents);
        for (const zwif_assoc_ent_t &e : ents)
            if (acc.ents.size() < ZWIF_ASSOC_ACC_MAX)
                acc.ents.push_back(e);
    });
    if (r.follow != 0)
        return 0;
    auto *w = new (std::nothrow) assoc_whole_t{};
    if (w != nullptr) {
        w->ents = std::move(acc.ents);
        w->grp = r.grp;
        w->max = r.max;
        // The controller is addressed as a node.
        if (mca)
            for (zwif_assoc_ent_t &e : w->ents)
                if (e.node_id == intf->ep->node->net->ctl.nodeid)
                    e.ep_id = 0;
    }
    acc = zwif_assoc_acc_t{};
    whole_put(rec, w);
    return w != nullptr ? ZWIF_RPT_CALL : 0;
}

void call_assoc(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const assoc_whole_t *w = whole_get<assoc_whole_t>(rec);
    fn_of<zwrep_group_fn>(cb)(intf, w->grp, w->max, static_cast<uint16_t>(w->ents.size()), w->ents.data());
}

// ---------------------------------------------------------------------------
// Version (0x86)
// ---------------------------------------------------------------------------

struct ver_t {
    uint8_t lib_type;
    uint16_t proto_ver;
    uint16_t app_ver;
    uint8_t has_ext;
    uint8_t hw_ver;
    uint8_t fw_cnt;
    uint16_t fw_ver[(ZWIF_RPT_REC_MAX - 10) / 2];
};

void parse_ver(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    ver_t r{};
    r.lib_type = cmd[2];
    r.proto_ver = be16(cmd + 3);
    r.app_ver = be16(cmd + 5);
    const size_t t = len > 8 ? cmd[8] : 0;
    if (len > 8 && size_t(len - 9) >= 2 * t) {
        r.has_ext = 1;
        r.hw_ver = cmd[7];
        r.fw_cnt = static_cast<uint8_t>(std::min(t, std::size(r.fw_ver)));
        for (size_t i = 0; i < r.fw_cnt; ++i)
            r.fw_ver[i] = be16(cmd + 9 + 2 * i);
    }
    put(rec, r);
}

struct ver_whole_t {
    ver_t v;
    ext_ver_t *ext;  // malloc'd
};

// Extra versions count from version 2 of the interface only.
int collect_ver(zwif_p intf, zwif_rpt_rec_t *rec)
{
    auto *w = static_cast<ver_whole_t *>(std::calloc(1, sizeof(ver_whole_t)));
    if (w == nullptr) {
        put(rec, static_cast<ver_whole_t *>(nullptr));
        return 0;
    }
    w->v = get<ver_t>(rec);
    if (w->v.has_ext && intf->ver >= 2) {
        w->ext = static_cast<ext_ver_t *>(std::calloc(1, sizeof(ext_ver_t) + 2 * size_t(w->v.fw_cnt)));
        if (w->ext != nullptr) {
            w->ext->hw_ver = w->v.hw_ver;
            w->ext->fw_cnt = w->v.fw_cnt;
            std::memcpy(w->ext->fw_ver, w->v.fw_ver, 2 * size_t(w->v.fw_cnt));
        }
    }
    put(rec, w);
    return ZWIF_RPT_CALL;
}

void release_ver(zwif_rpt_rec_t *rec)
{
    auto *w = get<ver_whole_t *>(rec);
    if (w != nullptr)
        std::free(w->ext);
    std::free(w);
    put(rec, static_cast<ver_whole_t *>(nullptr));
}

void call_ver(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const ver_whole_t *w = get<ver_whole_t *>(rec);
    fn_of<zwrep_ver_fn>(cb)(intf, w->v.proto_ver, w->v.app_ver, w->v.lib_type, w->ext);
}

struct cls_ver_t {
    uint8_t cls;
    uint8_t ver;
};

void parse_cls_ver(const uint8_t *cmd, uint16_t, zwif_rpt_rec_t *rec) { put(rec, cls_ver_t{cmd[2], cmd[3]}); }

void call_cls_ver(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const cls_ver_t r = get<cls_ver_t>(rec);
    fn_of<zwrep_cls_ver_fn>(cb)(intf, r.cls, r.ver);
}

// ---------------------------------------------------------------------------
// Simple AV Control (0x94)
// ---------------------------------------------------------------------------

struct av_t {
    uint8_t num;  // announced reports, or this report's number
    uint8_t len;
    uint8_t bytes[ZWIF_RPT_REC_MAX - 2];
};

void parse_av(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    av_t r{};
    r.num = cmd[2];
    r.len = static_cast<uint8_t>(std::min<size_t>(len - 3, sizeof r.bytes));
    std::memcpy(r.bytes, cmd + 3, r.len);
    put(rec, r);
}

struct av_whole_t {
    std::vector<uint8_t> mask;
    uint8_t next{0};  // the report to ask next; 0 when complete
};

// Report: the number of supported reports to ask, from report 1.
int collect_av_cnt(zwif_p intf, zwif_rpt_rec_t *rec)
{
    const av_t r = get<av_t>(rec);
    put(rec, static_cast<av_whole_t *>(nullptr));
    zwif_mgmt_t *m = mgmt_of(intf);
    if (m == nullptr)
        return 0;
    m->av = zwif_av_acc_t{};
    m->av.total = r.num;
    if (r.num == 0)
        return 0;
    auto *w = new (std::nothrow) av_whole_t{};
    if (w == nullptr)
        return 0;
    w->next = 1;
    put(rec, w);
    return ZWIF_RPT_FOLLOW;
}

int collect_av_sup(zwif_p intf, zwif_rpt_rec_t *rec)
{
    const av_t r = get<av_t>(rec);
    put(rec, static_cast<av_whole_t *>(nullptr));
    zwif_mgmt_t *m = mgmt_of(intf);
    // The mask is positional: a report out of turn would shift it.
    if (m == nullptr || m->av.total == 0 || r.num != m->av.last + 1 || r.num > m->av.total)
        return 0;
    zwif_av_acc_t &acc = m->av;
    no_throw([&] {
        const size_t room = ZWIF_AV_MASK_MAX - acc.mask.size();
        acc.mask.insert(acc.mask.end(), r.bytes, r.bytes + std::min<size_t>(r.len, room));
    });
    acc.last = r.num;
    auto *w = new (std::nothrow) av_whole_t{};
    if (w == nullptr)
        return 0;
    if (r.num != acc.total) {
        w->next = static_cast<uint8_t>(acc.last + 1);
        put(rec, w);
        return ZWIF_RPT_FOLLOW;
    }
    // The supported information holds a block its byte-wide size can name.
    if (acc.mask.size() <= UINT8_MAX)
        zwif_data_set(intf, 1, static_cast<uint8_t>(acc.mask.size()), acc.mask.data());
    w->mask = std::move(acc.mask);
    acc = zwif_av_acc_t{};
    put(rec, w);
    return ZWIF_RPT_CALL;
}

void follow_av(const zwif_desc_t *intf, const zwif_rpt_rec_t *rec)
{
    const av_whole_t *w = get<av_whole_t *>(rec);
    if (w != nullptr && w->next != 0)
        zwif_get_report_simple(intf, &w->next, 1, 0x04, zwif_tx_sts_log_cb);
}

void call_av(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const av_whole_t *w = get<av_whole_t *>(rec);
    fn_of<zwrep_av_fn>(cb)(intf, static_cast<uint16_t>(w->mask.size()), w->mask.data(), 1);
}

// ---------------------------------------------------------------------------
// Security (0x98), Security 2 (0x9F)
// ---------------------------------------------------------------------------

struct sec_t {
    uint8_t follow;
    uint8_t len;
    uint8_t bytes[ZWIF_RPT_REC_MAX - 2];
};

void parse_sec(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    sec_t r{};
    r.follow = cmd[2];
    r.len = static_cast<uint8_t>(std::min<size_t>(len - 3, sizeof r.bytes));
    std::memcpy(r.bytes, cmd + 3, r.len);
    put(rec, r);
}

void parse_sec2(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    sec_t r{};
    r.len = static_cast<uint8_t>(std::min<size_t>(len - 2, sizeof r.bytes));
    std::memcpy(r.bytes, cmd + 2, r.len);
    put(rec, r);
}

// The classes of the whole list; a list that holds none reaches the
// callback as (null, 0).
int sec_whole(const uint8_t *bytes, size_t len, zwif_rpt_rec_t *rec)
{
    put(rec, static_cast<cls_whole_t *>(nullptr));
    if (len == 0)
        return ZWIF_RPT_CALL;
    auto *w = new (std::nothrow) cls_whole_t{};
    if (w == nullptr)
        return 0;
    if (!cls_split(bytes, static_cast<uint8_t>(len), w)) {
        delete w;
        return 0;
    }
    put(rec, w);
    return ZWIF_RPT_CALL;
}

int collect_sec(zwif_p intf, zwif_rpt_rec_t *rec)
{
    const sec_t r = get<sec_t>(rec);
    put(rec, static_cast<cls_whole_t *>(nullptr));
    zwif_mgmt_t *m = mgmt_of(intf);
    if (m == nullptr)
        return 0;
    // A frame that does not count down starts the list over.
    if (r.follow >= m->sec_follow)
        m->sec_acc.clear();
    m->sec_follow = r.follow;
    no_throw([&] {
        const size_t room = ZWIF_SEC_ACC_MAX - m->sec_acc.size();
        m->sec_acc.insert(m->sec_acc.end(), r.bytes, r.bytes + std::min<size_t>(r.len, room));
    });
    if (r.follow != 0)
        return 0;
    std::vector<uint8_t> all;
    all.swap(m->sec_acc);
    m->sec_follow = 0;
    return sec_whole(all.data(), all.size(), rec);
}

int collect_sec2(zwif_p, zwif_rpt_rec_t *rec)
{
    const sec_t r = get<sec_t>(rec);
    return sec_whole(r.bytes, r.len, rec);
}

void call_sec(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const cls_whole_t *w = get<cls_whole_t *>(rec);
    if (w == nullptr || w->plain.empty())
        fn_of<zwrep_sec_cls_fn>(cb)(intf, nullptr, 0);
    else
        fn_of<zwrep_sec_cls_fn>(cb)(intf, w->plain.data(), static_cast<uint8_t>(w->plain.size()));
}

// ---------------------------------------------------------------------------
// Association Command Configuration (0x9B)
// ---------------------------------------------------------------------------

void parse_cmd_rec_sup(const uint8_t *cmd, uint16_t, zwif_rpt_rec_t *rec)
{
    put(rec, zwif_cmd_rec_sup_t{static_cast<uint8_t>(cmd[2] & 1), static_cast<uint8_t>((cmd[2] >> 1) & 1),
                                static_cast<uint8_t>(cmd[2] >> 2), be16(cmd + 3), be16(cmd + 5)});
}

void call_cmd_rec_sup(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const zwif_cmd_rec_sup_t r = get<zwif_cmd_rec_sup_t>(rec);
    fn_of<zwrep_group_cmd_sup_fn>(cb)(intf, &r);
}

struct grp_cmd_t {
    uint8_t grp;
    uint8_t node_id;
    uint8_t len;
    uint8_t cmd[ZWIF_RPT_REC_MAX - 3];
};

void parse_grp_cmd(const uint8_t *cmd, uint16_t len, zwif_rpt_rec_t *rec)
{
    grp_cmd_t r{};
    r.grp = cmd[2];
    r.node_id = cmd[3];
    r.len = cmd[5];
    if (len < r.len + 6u || r.len > sizeof r.cmd) {
        refuse(rec);
        return;
    }
    std::memcpy(r.cmd, cmd + 6, r.len);
    put(rec, r);
}

void call_grp_cmd(zwif_rpt_fn cb, zwif_desc_t *intf, const zwif_rpt_rec_t *rec, time_t)
{
    const grp_cmd_t r = get<grp_cmd_t>(rec);
    fn_of<zwrep_group_cmd_fn>(cb)(intf, r.grp, r.node_id, r.cmd, r.len);
}

// ---------------------------------------------------------------------------
// The rows
// ---------------------------------------------------------------------------

// A fixed layout: parse, nothing cached, the record to the callback.
constexpr zwif_rpt_def_t plain(uint16_t cls, uint8_t cmd, uint8_t min_len,
                               void (*parse)(const uint8_t *, uint16_t, zwif_rpt_rec_t *),
                               void (*call)(zwif_rpt_fn, zwif_desc_t *, const zwif_rpt_rec_t *, time_t))
{
    return {cls, cmd, min_len, parse, store_none, nullptr, call};
}

template <class W>
constexpr void (*rel)(zwif_rpt_rec_t *) = whole_release<W>;

constexpr zwif_rpt_def_t mgmt_rows[] = {
    {0x59, 0x02, 4, parse_agi_name, store_agi_name, nullptr, call_agi_name},  // AGI Name
    {0x59, 0x04, 3, parse_agi_info, store_agi_info, nullptr, call_agi_info},  // AGI Info
    {0x59, 0x06, 4, parse_agi_cmds, store_agi_cmds, nullptr, call_agi_cmds},  // AGI Command List
    {0x5C, 0x03, 23, parse_ip_assoc, store_none, nullptr, call_ip_assoc, collect_ip_assoc, follow_ip_assoc,
     rel<ip_assoc_whole_t>},                                                              // IP Association
    plain(0x5E, 0x02, 5, parse_zwplus, call_zwplus),                                      // Z-Wave Plus Info
    {0x5F, 0x03, 3, parse_gw_mode, store_none, nullptr, call_gw_mode, collect_gw_mode, follow_gw_mode},  // Mode
    plain(0x5F, 0x06, 23, parse_gw_peer, call_gw_mode),                                   // Peer Report
    plain(0x5F, 0x0A, 20, parse_gw_unsolic, call_gw_unsolic),                             // Unsolicited Destination
    plain(0x60, 0x05, 4, parse_mul_inst, call_mul_inst),                                  // Multi Instance Report
    plain(0x60, 0x08, 4, parse_mul_ep, call_mul_ep),                                      // End Point Report
    {0x60, 0x0A, 6, parse_ep_cap, store_none, nullptr, call_ep_cap, collect_ep_cap, nullptr,
     rel<cls_whole_t>},                                                                   // Capability Report
    plain(0x60, 0x0F, 4, parse_aggr, call_aggr),                                          // Aggregated Members
    plain(0x61, 0x02, 3, parse_b2, call_u8),                                              // Configuration Status
    plain(0x61, 0x04, 68, parse_gw_cfg, call_gw_cfg),                                     // Configuration Report
    plain(0x69, 0x03, 23, parse_mailbox, call_mailbox),                                   // Mailbox Configuration
    plain(0x70, 0x06, 5, parse_config, call_config),                                      // Configuration Report
    plain(0x72, 0x05, 8, parse_manf, call_manf),                                          // Manufacturer Specific
    plain(0x72, 0x07, 4, parse_dev_id, call_dev_id),                                      // Device Specific
    plain(0x73, 0x03, 3, parse_power, call_power),                                        // Powerlevel Report
    plain(0x73, 0x06, 3, parse_power_test, call_power_test),                              // Test Node Report
    plain(0x77, 0x03, 3, parse_nameloc, call_nameloc),                                    // Name Report
    plain(0x77, 0x06, 3, parse_nameloc, call_nameloc),                                    // Location Report
    {0x7A, 0x02, 8, parse_fw_info, store_fw_info, nullptr, call_fw_info},  // Meta Data Report
    {0x7A, 0x04, 3, parse_b2, store_none, nullptr, call_fw_req, collect_fw_track, follow_fw_req},  // Request Report
    plain(0x7A, 0x05, 5, parse_fw_frag, call_fw_frag),                                    // Meta Data Get
    {0x7A, 0x07, 3, parse_fw_sts, store_fw_sts, nullptr, call_fw_sts, collect_fw_sts, follow_fw_sts},  // Status Report
    {0x84, 0x06, 6, parse_wkup, store_wkup, nullptr, call_wkup, collect_wkup, follow_wkup},  // Interval Report
    {0x84, 0x0A, 14, parse_wkup_cap, store_wkup_cap, nullptr, call_wkup, collect_wkup_cap},  // Capabilities
    {0x85, 0x03, 5, parse_assoc, store_none, nullptr, call_assoc, collect_assoc, nullptr,
     rel<assoc_whole_t>},                                                                 // Association Report
    {0x85, 0x06, 3, parse_b2, store_groupings, nullptr, call_groupings},                  // Groupings Report
    plain(0x85, 0x0C, 3, parse_b2, call_u8),                                              // Specific Group Report
    {0x86, 0x12, 7, parse_ver, store_none, nullptr, call_ver, collect_ver, nullptr, release_ver},  // Version
    plain(0x86, 0x14, 4, parse_cls_ver, call_cls_ver),                                    // Class Version Report
    {0x8E, 0x03, 5, parse_assoc, store_none, nullptr, call_assoc, collect_assoc, nullptr,
     rel<assoc_whole_t>},                                                                 // MC Association Report
    {0x8E, 0x06, 3, parse_b2, store_groupings, nullptr, call_groupings},                  // MC Groupings Report
    {0x94, 0x03, 3, parse_av, store_none, nullptr, call_av, collect_av_cnt, follow_av, rel<av_whole_t>},  // AV Report
    {0x94, 0x05, 3, parse_av, store_none, nullptr, call_av, collect_av_sup, follow_av, rel<av_whole_t>},  // Supported
    {0x98, 0x03, 3, parse_sec, store_none, nullptr, call_sec, collect_sec, nullptr, rel<cls_whole_t>},  // S0 classes
    plain(0x9B, 0x02, 7, parse_cmd_rec_sup, call_cmd_rec_sup),                            // Records Supported
    plain(0x9B, 0x05, 6, parse_grp_cmd, call_grp_cmd),                                    // Command Configuration
    {0x9F, 0x0E, 2, parse_sec2, store_none, nullptr, call_sec, collect_sec2, nullptr, rel<cls_whole_t>},  // S2 classes
};
static_assert(zwif_rpt_defs_sorted(mgmt_rows), "report rows are sorted by class and command, each once");

}  // namespace

const zwif_rpt_defs_t zwif_rpt_defs_mgmt{mgmt_rows, std::size(mgmt_rows)};

bool zwif_mgmt_data_deliver(zwnet_p net, const zwif_desc_t *intf, zwif_rpt_fn cb, uint16_t kind, uint16_t)
{
    enum : uint16_t { kind_groups = 3, kind_av = 5 };
    if (kind != kind_groups && kind != kind_av)
        return false;
    if (net == nullptr || intf == nullptr || cb == nullptr)
        return true;
    // A copy taken under the mutex; an interface gone or without the data
    // answers with zeros and valid 0.
    std::vector<uint8_t> data;
    {
        zwnet_lock lk(net);
        zwif_p i = zwif_rec_get(intf);
        if (i != nullptr && i->data != nullptr && i->data_cnt != 0 && i->data_item_sz != 0 &&
            !no_throw([&] {
                const auto *p = static_cast<const uint8_t *>(i->data);
                data.assign(p, p + size_t(i->data_cnt) * i->data_item_sz);
            }))
            return true;
    }
    zwif_desc_t d = *intf;
    const int valid = data.empty() ? 0 : 1;
    zwnet_app_call(net, [&] {
        if (kind == kind_groups)
            fn_of<zwrep_groups_fn>(cb)(&d, valid ? data[0] : 0, valid);
        else
            fn_of<zwrep_av_fn>(cb)(&d, static_cast<uint16_t>(data.size()), valid ? data.data() : nullptr, valid);
    });
    return true;
}
