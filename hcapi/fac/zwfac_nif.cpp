// The node-information file: what the interview learnt of every node, kept
// across restarts. Layout: magic 8A B3, version, records {tag, length, data,
// pad to even}, each record a walk of sub-tags {id, length, value}, and a
// CRC-16 trailer that makes the CRC of the whole file 0.
//
// The file is built in memory under the network mutex and replaces the old
// one in a single durable write; the reader checks every length against the
// field it fills before it copies anything.
#include "hcapi/core/zwfac.h"

#include "hcapi/core/zwrec.h"
#include "hcapi/zip/zip_platform.h"
#include "util/zws_file.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr uint8_t nif_magic[2] = {0x8A, 0xB3};
constexpr uint16_t nif_version = 0x0011;
constexpr uint16_t tag_node = 0xA701, tag_ep = 0xA702, tag_if = 0xA703, tag_net = 0xA704;
constexpr size_t rec_max = 0xFFFF;

enum : uint16_t {
    CLS_ALARM = 0x71,
    CLS_CENTRAL_SCENE = 0x5B,
    CLS_THRMO_SETP = 0x43,
    CLS_DOOR_LOCK = 0x62,
    CLS_AGI = 0x59,
};

// ---------------------------------------------------------------------------
// Writer
// ---------------------------------------------------------------------------

class rec_buf {
public:
    void sub(uint8_t id, const void *value, size_t len)
    {
        b_.push_back(id);
        if (len <= 127) {
            b_.push_back(static_cast<uint8_t>(len));
        } else {
            b_.push_back(0x80);
            b_.push_back(static_cast<uint8_t>(len >> 8));
            b_.push_back(static_cast<uint8_t>(len));
        }
        const auto *p = static_cast<const uint8_t *>(value);
        b_.insert(b_.end(), p, p + len);
    }
    void u8(uint8_t id, uint8_t v) { sub(id, &v, 1); }
    void u16(uint8_t id, uint16_t v)
    {
        const uint8_t b[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
        sub(id, b, 2);
    }
    void u32(uint8_t id, uint32_t v)
    {
        const uint8_t b[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                              static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
        sub(id, b, 4);
    }
    void bytes(uint8_t id, const void *v, size_t len)
    {
        if (len != 0)
            sub(id, v, len);
    }
    // Appends the record to the file; false when it is too long to name.
    bool flush(uint16_t tag, std::vector<uint8_t> &file)
    {
        if (b_.size() > rec_max) {
            b_.clear();
            return false;
        }
        const size_t len = b_.size();
        file.push_back(static_cast<uint8_t>(tag >> 8));
        file.push_back(static_cast<uint8_t>(tag));
        file.push_back(static_cast<uint8_t>(len >> 8));
        file.push_back(static_cast<uint8_t>(len));
        file.insert(file.end(), b_.begin(), b_.end());
        if (len & 1)
            file.push_back(0);
        b_.clear();
        return true;
    }

private:
    std::vector<uint8_t> b_;
};

void node_rec(const zwnode_t *n, bool own, rec_buf &r)
{
    r.u8(0, n->nodeid);
    r.u16(1, n->vid);
    r.u16(2, n->type);
    r.u16(3, n->pid);
    r.u8(6, n->mul_ch_kind);
    r.u8(7, n->num_of_ep);
    r.u8(32, n->num_of_aggr_ep);
    r.u8(33, n->propty);
    r.u8(8, n->sleep_cap);
    r.u8(31, n->listen);
    const uint8_t id_len = std::min<uint8_t>(n->dev_id.len, ZW_DEV_ID_SZ);
    r.u8(13, id_len);
    if (id_len != 0) {
        r.u8(28, n->dev_id.type);
        r.u8(12, n->dev_id.format);
        r.bytes(14, n->dev_id.dev_id, id_len);
    }
    r.u8(15, n->lib_type);
    r.u16(16, n->proto_ver);
    r.u16(17, n->app_ver);
    r.u8(18, n->mul_cmd_cap);
    r.u8(19, n->sensor);
    r.u8(20, n->category);
    r.u8(21, n->basic);
    r.u8(29, n->s2_keys_valid);
    r.u8(30, n->s2_grnt_keys);
    if (n->ext_ver != nullptr && !own) {
        const uint8_t cnt = n->ext_ver->fw_cnt;
        r.u16(22, static_cast<uint16_t>(0x0100 | cnt));
        r.u8(23, n->ext_ver->hw_ver);
        std::vector<uint8_t> fw;
        for (uint8_t i = 0; i < cnt; ++i) {
            // Low byte first: the sub-version ahead of the version.
            fw.push_back(static_cast<uint8_t>(n->ext_ver->fw_ver[i]));
            fw.push_back(static_cast<uint8_t>(n->ext_ver->fw_ver[i] >> 8));
        }
        r.bytes(24, fw.data(), fw.size());
    }
    const size_t dsk_len = strnlen(n->s2_dsk, sizeof n->s2_dsk - 1);
    if (dsk_len != 0) {
        std::vector<char> dsk(n->s2_dsk, n->s2_dsk + dsk_len);
        dsk.push_back('\0');
        r.bytes(34, dsk.data(), dsk.size());
    }
    r.u32(35, n->wkup_intv);
}

void ep_rec(const zwep_t *ep, bool own, rec_buf &r)
{
    r.u8(0, ep->epid);
    r.u8(1, ep->generic);
    r.u8(2, ep->specific);
    r.bytes(3, ep->name, strnlen(ep->name, ZW_NAMELOC_SZ - 1));
    r.bytes(4, ep->loc, strnlen(ep->loc, ZW_NAMELOC_SZ - 1));
    if (ep->zwplus_info.zwplus_ver != 0 && !own) {
        r.u8(5, ep->zwplus_info.zwplus_ver);
        r.u8(6, ep->zwplus_info.role_type);
        r.u8(7, ep->zwplus_info.node_type);
        r.u16(8, ep->zwplus_info.instr_icon);
        r.u16(9, ep->zwplus_info.usr_icon);
    }
    const uint8_t aggr = std::min<uint8_t>(ep->aggr_ep_cnt, ZWEP_AGGR_MAX);
    if (aggr != 0) {
        r.u8(10, aggr);
        r.bytes(11, ep->aggr_members, aggr);
    }
}

// The group table: its size, then every group something is known of.
void agi_rec(const zwif_grp_tbl_t &t, rec_buf &r)
{
    r.u16(6, static_cast<uint16_t>(t.grps.size()));
    r.u8(7, t.dynamic);
    for (size_t i = 0; i < t.grps.size(); ++i) {
        const zwif_grp_t &g = t.grps[i];
        if (!g.present)
            continue;
        const size_t cmds = std::min<size_t>(g.cmds.size(), UINT8_MAX);
        r.u8(8, static_cast<uint8_t>(i + 1));
        r.u8(9, static_cast<uint8_t>(cmds));
        r.u16(10, g.profile);
        r.u16(11, g.evt_code);
        r.bytes(12, g.name, strnlen(g.name, ZWIF_GRP_NAME_MAX));
        std::vector<uint8_t> list;
        for (size_t c = 0; c < cmds; ++c) {
            const zwif_grp_cmd_t &e = g.cmds[c];
            // The class low byte first, as the file has always had it.
            list.insert(list.end(), {static_cast<uint8_t>(e.cls), static_cast<uint8_t>(e.cls >> 8), e.cmd, 0});
        }
        r.bytes(13, list.data(), list.size());
    }
}

void if_rec(const zwif_t *intf, rec_buf &r)
{
    r.u16(0, intf->cls);
    r.u8(1, intf->real_ver);
    r.u8(2, intf->propty);
    if (intf->data_cnt != 0) {
        r.u8(3, intf->data_cnt);
        r.u8(4, intf->data_item_sz);
        if (intf->data != nullptr)
            r.bytes(5, intf->data, static_cast<size_t>(intf->data_cnt) * intf->data_item_sz);
    }
    if (intf->cch_ele_cnt != 0 && intf->cch_data != nullptr) {
        r.u8(17, intf->cch_kind);
        r.u8(14, intf->cch_ele_cnt);
        r.u8(15, intf->cch_ele_sz);
        if (intf->cch_kind == 1) {
            const auto *slots = static_cast<const zwif_cch_slot_t *>(intf->cch_data);
            for (uint8_t i = 0; i < intf->cch_ele_cnt; ++i)
                if (slots[i].buf != nullptr && slots[i].len != 0) {
                    r.u8(18, slots[i].len);
                    r.bytes(16, slots[i].buf, slots[i].len);
                }
        } else {
            r.bytes(16, intf->cch_data, static_cast<size_t>(intf->cch_ele_cnt) * intf->cch_ele_sz);
        }
    }
    if (intf->cls == CLS_AGI && intf->mgmt && !intf->mgmt->agi.grps.empty())
        agi_rec(intf->mgmt->agi, r);
}

void put_u16(std::vector<uint8_t> &f, uint16_t v)
{
    f.push_back(static_cast<uint8_t>(v >> 8));
    f.push_back(static_cast<uint8_t>(v));
}

void skipped(zwnet_p net, uint16_t tag, uint8_t id)
{
    plt_msg_ts_show(&net->plt, "Node information record %04X of node %u is over 65535 bytes; not saved", tag, id);
}

// ---------------------------------------------------------------------------
// Reader
// ---------------------------------------------------------------------------

struct sub_t {
    uint8_t id;
    const uint8_t *v;
    size_t len;
};

// Walks the sub-tags of a record. One or two trailing bytes are ignored.
class sub_walk {
public:
    sub_walk(const uint8_t *p, size_t len) : p_(p), end_(p + len) {}
    // 1 with the next sub-tag, 0 at the end, -31 when it does not fit.
    int next(sub_t *s)
    {
        if (end_ - p_ <= 2)
            return 0;
        s->id = p_[0];
        size_t len = p_[1];
        const uint8_t *v = p_ + 2;
        if (len & 0x80) {
            if (end_ - p_ < 4)
                return ZW_ERR_FILE;
            len = static_cast<size_t>(p_[2] << 8 | p_[3]);
            v = p_ + 4;
        }
        if (static_cast<size_t>(end_ - v) < len)
            return ZW_ERR_FILE;
        s->v = v;
        s->len = len;
        p_ = v + len;
        return 1;
    }

private:
    const uint8_t *p_;
    const uint8_t *end_;
};

uint32_t be(const sub_t &s)
{
    uint32_t v = 0;
    for (size_t i = 0; i < s.len; ++i)
        v = v << 8 | s.v[i];
    return v;
}

// Fixed widths of the numeric sub-tags; 0 for byte strings and unknown ids.
struct width_t {
    uint8_t id;
    uint8_t width;
};
constexpr width_t node_widths[] = {{0, 1},  {1, 2},  {2, 2},  {3, 2},  {6, 1},  {7, 1},  {8, 1},  {12, 1},
                                   {13, 1}, {15, 1}, {16, 2}, {17, 2}, {18, 1}, {19, 1}, {20, 1}, {21, 1},
                                   {22, 2}, {23, 1}, {28, 1}, {29, 1}, {30, 1}, {31, 1}, {32, 1}, {33, 1},
                                   {35, 4}};
constexpr width_t ep_widths[] = {{0, 1}, {1, 1}, {2, 1}, {5, 1}, {6, 1}, {7, 1}, {8, 2}, {9, 2}, {10, 1}};
constexpr width_t if_widths[] = {{0, 2}, {1, 1}, {2, 1}, {3, 1}, {4, 1}, {6, 2},  {7, 1},  {8, 1},
                                 {9, 1}, {10, 2}, {11, 2}, {14, 1}, {15, 1}, {17, 1}, {18, 1}};

template <size_t N>
bool width_ok(const width_t (&table)[N], const sub_t &s)
{
    for (const auto &w : table)
        if (w.id == s.id)
            return s.len == w.width;
    return true;
}

// The record must begin with sub-tag 0 of the given length.
bool starts_with(const uint8_t *p, size_t len, size_t min_len, size_t id0_len)
{
    return len >= min_len && p[0] == 0 && p[1] == id0_len;
}

struct loader {
    zwnet_p net;
    uint16_t ver;
    zwnode_p node{nullptr};
    zwep_p ep{nullptr};

    int node_rec(const uint8_t *p, size_t len);
    int ep_rec(const uint8_t *p, size_t len);
    int if_rec(const uint8_t *p, size_t len);
};

int loader::node_rec(const uint8_t *p, size_t len)
{
    if (!starts_with(p, len, 3, 1))
        return ZW_ERR_FILE;
    zwnode_p n = zwnode_find(&net->ctl, p[2]);
    if (n == nullptr)
        return ZW_ERR_NODE_NOT_FOUND;
    sub_walk w(p, len);
    sub_t s;
    int rc;
    bool wkup_seen = false;
    while ((rc = w.next(&s)) == 1) {
        if (!width_ok(node_widths, s))
            return ZW_ERR_FILE;
        const uint32_t v = be(s);
        switch (s.id) {
        case 0: break;
        case 1: n->vid = static_cast<uint16_t>(v); break;
        case 2: n->type = static_cast<uint16_t>(v); break;
        case 3: n->pid = static_cast<uint16_t>(v); break;
        case 6: n->mul_ch_kind = static_cast<uint8_t>(v); break;
        case 7: n->num_of_ep = static_cast<uint8_t>(v); break;
        case 32: n->num_of_aggr_ep = static_cast<uint8_t>(v); break;
        case 33: n->propty = static_cast<uint8_t>(v); break;
        case 8: n->sleep_cap = n->enable_cmd_q = static_cast<uint8_t>(v); break;
        case 31: n->listen = static_cast<uint8_t>(v); break;
        case 13: n->dev_id.len = static_cast<uint8_t>(v); break;
        case 28: n->dev_id.type = static_cast<uint8_t>(v); break;
        case 12: n->dev_id.format = static_cast<uint8_t>(v); break;
        case 14:
            std::memset(n->dev_id.dev_id, 0, sizeof n->dev_id.dev_id);
            std::memcpy(n->dev_id.dev_id, s.v, std::min<size_t>(s.len, ZW_DEV_ID_SZ - 1));
            break;
        case 15: n->lib_type = static_cast<uint8_t>(v); break;
        case 16: n->proto_ver = static_cast<uint16_t>(v); break;
        case 17: n->app_ver = static_cast<uint16_t>(v); break;
        case 18: n->mul_cmd_cap = n->mul_cmd_ctl = static_cast<uint8_t>(v); break;
        case 19: n->sensor = static_cast<uint8_t>(v); break;
        case 20: n->category = static_cast<uint8_t>(v); break;
        case 21: n->basic = static_cast<uint8_t>(v); break;
        case 29: n->s2_keys_valid = static_cast<uint8_t>(v); break;
        case 30: n->s2_grnt_keys = static_cast<uint8_t>(v); break;
        case 22:
            if (v >> 8) {
                const uint8_t cnt = static_cast<uint8_t>(v);
                // A repeated record replaces the one before.
                auto *ev = static_cast<ext_ver_t *>(
                    std::calloc(1, sizeof(ext_ver_t) + sizeof(uint16_t) * cnt));
                if (ev == nullptr)
                    return ZW_ERR_MEMORY;
                ev->fw_cnt = cnt;
                std::free(n->ext_ver);
                n->ext_ver = ev;
            }
            break;
        case 23:
            if (n->ext_ver != nullptr)
                n->ext_ver->hw_ver = static_cast<uint8_t>(v);
            break;
        case 24:
            if (n->ext_ver != nullptr) {
                const size_t cnt = std::min<size_t>(s.len / 2, n->ext_ver->fw_cnt);
                for (size_t i = 0; i < cnt; ++i)
                    n->ext_ver->fw_ver[i] = static_cast<uint16_t>(s.v[2 * i] | s.v[2 * i + 1] << 8);
            }
            break;
        case 34: {
            std::memset(n->s2_dsk, 0, sizeof n->s2_dsk);
            const size_t l = strnlen(reinterpret_cast<const char *>(s.v), s.len);
            std::memcpy(n->s2_dsk, s.v, std::min<size_t>(l, sizeof n->s2_dsk - 1));
            break;
        }
        case 35:
            if (ver > 16) {
                n->wkup_intv = v;
                wkup_seen = true;
            }
            break;
        default:
            plt_msg_ts_show(&net->plt, "Unknown sub-tag:%02X", s.id);
            break;
        }
    }
    if (rc < 0)
        return rc;
    // The device id keeps only what its field holds.
    n->dev_id.len = std::min<uint8_t>(n->dev_id.len, ZW_DEV_ID_SZ - 1);
    if (!wkup_seen && ver <= 16)
        n->wkup_intv = 0xFFFFFFFF;
    if (ver < 12)
        n->listen = (n->sleep_cap && !n->sensor) ? 0 : 1;
    // Endpoint records that follow belong to this node alone.
    node = n;
    ep = nullptr;
    return 0;
}

int loader::ep_rec(const uint8_t *p, size_t len)
{
    if (!starts_with(p, len, 3, 1))
        return ZW_ERR_FILE;
    const uint8_t epid = p[2];
    zwep_p e = epid == 0 ? &node->ep : zwep_find(&node->ep, epid);
    if (e == nullptr) {
        e = zwep_create(node, epid);
        if (e == nullptr)
            return ZW_ERR_MEMORY;
    }
    sub_walk w(p, len);
    sub_t s;
    int rc;
    while ((rc = w.next(&s)) == 1) {
        if (!width_ok(ep_widths, s))
            return ZW_ERR_FILE;
        const uint32_t v = be(s);
        switch (s.id) {
        case 0: break;
        case 1: e->generic = static_cast<uint8_t>(v); break;
        case 2: e->specific = static_cast<uint8_t>(v); break;
        case 3:
        case 4: {
            char *dst = s.id == 3 ? e->name : e->loc;
            std::memset(dst, 0, ZW_NAMELOC_SZ);
            std::memcpy(dst, s.v, std::min<size_t>(s.len, ZW_NAMELOC_SZ - 1));
            break;
        }
        case 5: e->zwplus_info.zwplus_ver = static_cast<uint8_t>(v); break;
        case 6: e->zwplus_info.role_type = static_cast<uint8_t>(v); break;
        case 7: e->zwplus_info.node_type = static_cast<uint8_t>(v); break;
        case 8: e->zwplus_info.instr_icon = static_cast<uint16_t>(v); break;
        case 9: e->zwplus_info.usr_icon = static_cast<uint16_t>(v); break;
        case 10: e->aggr_ep_cnt = std::min<uint8_t>(static_cast<uint8_t>(v), ZWEP_AGGR_MAX); break;
        case 11: {
            const size_t n = std::min<size_t>(s.len, ZWEP_AGGR_MAX);
            std::memset(e->aggr_members, 0, sizeof e->aggr_members);
            std::memcpy(e->aggr_members, s.v, n);
            break;
        }
        default:
            plt_msg_ts_show(&net->plt, "Unknown sub-tag:%02X", s.id);
            break;
        }
    }
    if (rc < 0)
        return rc;
    ep = e;
    return 0;
}

// Replaces a cache block; false without memory.
bool cache_set(void **dst, const uint8_t *src, size_t len)
{
    void *blk = std::malloc(len == 0 ? 1 : len);
    if (blk == nullptr)
        return false;
    if (len != 0)
        std::memcpy(blk, src, len);
    std::free(*dst);
    *dst = blk;
    return true;
}

// One sub-tag of the group table; false without memory. Group ids beyond
// the table's size, and sub-tags before a group was named, change nothing.
bool agi_sub(zwif_p intf, const sub_t &s, uint32_t v, zwif_grp_t **cur)
{
    if (s.id == 6) {
        if (!intf->mgmt)
            intf->mgmt.reset(new (std::nothrow) zwif_mgmt_t{});
        if (!intf->mgmt)
            return false;
        intf->mgmt->agi.grps.assign(std::min<uint32_t>(v, UINT8_MAX), zwif_grp_t{});
        *cur = nullptr;
        return true;
    }
    if (!intf->mgmt)
        return true;
    zwif_grp_tbl_t &t = intf->mgmt->agi;
    switch (s.id) {
    case 7: t.dynamic = static_cast<uint8_t>(v); break;
    case 8: *cur = (v >= 1 && v <= t.grps.size()) ? &t.grps[v - 1] : nullptr; break;
    case 9:
        if (*cur != nullptr) {
            **cur = zwif_grp_t{};
            (*cur)->present = 1;
            (*cur)->cmds.reserve(v);
        }
        break;
    case 10:
        if (*cur != nullptr)
            (*cur)->profile = static_cast<uint16_t>(v);
        break;
    case 11:
        if (*cur != nullptr)
            (*cur)->evt_code = static_cast<uint16_t>(v);
        break;
    case 12:
        if (*cur != nullptr) {
            std::memset((*cur)->name, 0, sizeof (*cur)->name);
            std::memcpy((*cur)->name, s.v, std::min<size_t>(s.len, ZWIF_GRP_NAME_MAX));
        }
        break;
    case 13:
        if (*cur != nullptr) {
            (*cur)->cmds.clear();
            for (size_t i = 0; i + 4 <= s.len && (*cur)->cmds.size() < UINT8_MAX; i += 4)
                (*cur)->cmds.push_back({static_cast<uint16_t>(s.v[i] | s.v[i + 1] << 8), s.v[i + 2], 0});
        }
        break;
    default: break;
    }
    return true;
}

int loader::if_rec(const uint8_t *p, size_t len)
{
    if (len < 10 || p[0] != 0 || p[1] != 2 || p[4] != 1 || p[5] != 1 || p[7] != 2 || p[8] != 1)
        return ZW_ERR_FILE;
    const uint16_t cls = static_cast<uint16_t>(p[2] << 8 | p[3]);
    const uint8_t real_ver = p[6];
    const uint8_t propty = p[9];
    if (zwif_find_cls(ep->intf, cls) != nullptr)
        return 0;
    if (ep == &node->ep) {
        if (cls == COMMAND_CLASS_CRC_16_ENCAP)
            node->crc_cap = 1;
        else if (cls == COMMAND_CLASS_SUPERVISION)
            node->spv_cap = 1;
    }
    // Multi Channel of version 0 has no interface: nothing to restore.
    if (cls == COMMAND_CLASS_MULTI_CHANNEL && real_ver == 0)
        return 0;
    zwif_p intf = zwif_create(cls, real_ver, propty);
    if (intf == nullptr)
        return ZW_ERR_MEMORY;
    intf->real_ver = real_ver;
    // Filled apart from the endpoint, attached only when the record is whole.
    struct holder {
        zwif_p i;
        ~holder()
        {
            if (i)
                zwif_dat_free(i);
        }
    } hold{intf};

    sub_walk w(p, len);
    sub_t s;
    int rc;
    zwif_grp_t *agi_cur = nullptr;
    uint8_t cch_kind = 0, cch_cnt = 0, cch_sz = 0;
    size_t slot = 0;
    int slot_len = -1;  // length announced by the last 18
    while ((rc = w.next(&s)) == 1) {
        if (!width_ok(if_widths, s))
            return ZW_ERR_FILE;
        const uint32_t v = be(s);
        switch (s.id) {
        case 0:
        case 1:
        case 2: break;
        case 3:
            std::free(intf->data);
            intf->data = nullptr;
            intf->data_cnt = static_cast<uint8_t>(v);
            break;
        case 4: intf->data_item_sz = static_cast<uint8_t>(v); break;
        case 5: {
            if (s.len != static_cast<size_t>(intf->data_cnt) * intf->data_item_sz)
                return ZW_ERR_FILE;
            if ((cls == CLS_ALARM && ver < 7) || (cls == CLS_CENTRAL_SCENE && ver < 16)) {
                intf->data_cnt = intf->data_item_sz = 0;
                break;
            }
            if (cls == CLS_THRMO_SETP && ver < 15) {
                // Old supported-types list: a count and one byte per type.
                const size_t types = s.len == 0 ? 0 : std::min<size_t>(s.v[0], s.len - 1);
                constexpr size_t types_max = 12;  // the entry size is one byte
                if (s.len == 0 || types > types_max) {
                    intf->data_cnt = intf->data_item_sz = 0;
                    break;
                }
                std::vector<uint8_t> e(4 + 20 * types, 0);
                e[0] = static_cast<uint8_t>(types);
                for (size_t i = 0; i < types; ++i)
                    e[8 + 20 * i] = e[16 + 20 * i] = s.v[1 + i];
                if (!cache_set(&intf->data, e.data(), e.size()))
                    return ZW_ERR_MEMORY;
                intf->data_cnt = 1;
                intf->data_item_sz = static_cast<uint8_t>(e.size());
                break;
            }
            if (!cache_set(&intf->data, s.v, s.len))
                return ZW_ERR_MEMORY;
            break;
        }
        case 17:
        case 14:
        case 15:
            // The slot table is built from these; changing them under it
            // would misread it.
            if (intf->cch_data != nullptr)
                return ZW_ERR_FILE;
            (s.id == 17 ? cch_kind : s.id == 14 ? cch_cnt : cch_sz) = static_cast<uint8_t>(v);
            break;
        case 18:
            if (cch_kind != 1 || cch_sz != sizeof(zwif_cch_slot_t))
                return ZW_ERR_FILE;
            if (intf->cch_data == nullptr) {
                intf->cch_data = std::calloc(cch_cnt == 0 ? 1 : cch_cnt, sizeof(zwif_cch_slot_t));
                if (intf->cch_data == nullptr)
                    return ZW_ERR_MEMORY;
                intf->cch_kind = 1;
                intf->cch_ele_cnt = cch_cnt;
                intf->cch_ele_sz = cch_sz;
            }
            slot_len = static_cast<int>(v);
            break;
        case 16:
            if (cch_kind == 1) {
                if (slot_len < 0 || s.len != static_cast<size_t>(slot_len))
                    return ZW_ERR_FILE;
                if (slot < cch_cnt && slot_len != 0) {
                    auto *slots = static_cast<zwif_cch_slot_t *>(intf->cch_data);
                    void *buf = std::calloc(1, static_cast<size_t>(slot_len));
                    if (buf == nullptr)
                        return ZW_ERR_MEMORY;
                    std::memcpy(buf, s.v, s.len);
                    slots[slot].len = static_cast<uint8_t>(slot_len);
                    slots[slot].buf = buf;
                }
                ++slot;  // slots past the count are ignored
                slot_len = -1;
            } else if (cch_kind == 0) {
                if (intf->cch_data != nullptr)
                    return ZW_ERR_FILE;
                if (cls == CLS_DOOR_LOCK && ver < 9) {
                    uint8_t e[32] = {};
                    std::memcpy(e, s.v, std::min<size_t>(s.len, sizeof e));
                    if (!cache_set(&intf->cch_data, e, sizeof e))
                        return ZW_ERR_MEMORY;
                    intf->cch_ele_cnt = 1;
                    intf->cch_ele_sz = sizeof e;
                } else {
                    if (s.len != static_cast<size_t>(cch_cnt) * cch_sz || s.len == 0)
                        return ZW_ERR_FILE;
                    if (!cache_set(&intf->cch_data, s.v, s.len))
                        return ZW_ERR_MEMORY;
                    intf->cch_ele_cnt = cch_cnt;
                    intf->cch_ele_sz = cch_sz;
                }
                intf->cch_kind = 0;
            } else {
                return ZW_ERR_FILE;
            }
            break;
        case 6: case 7: case 8: case 9: case 10: case 11: case 12: case 13:
            if (cls == CLS_AGI && !agi_sub(intf, s, v, &agi_cur))
                return ZW_ERR_MEMORY;
            break;
        default:
            plt_msg_ts_show(&net->plt, "Unknown sub-tag:%02X", s.id);
            break;
        }
    }
    if (rc < 0)
        return rc;
    if (intf->data == nullptr)
        intf->data_cnt = intf->data_item_sz = 0;
    else if (static_cast<size_t>(intf->data_cnt) * intf->data_item_sz == 0)
        intf->data_cnt = intf->data_item_sz = 0;
    if (intf->data_cnt == 0) {
        std::free(intf->data);
        intf->data = nullptr;
    }
    if (intf->cch_data == nullptr)
        intf->cch_kind = intf->cch_ele_cnt = intf->cch_ele_sz = 0;
    if (!zwif_attach(ep, intf))
        return 0;
    intf->ep = ep;
    hold.i = nullptr;
    return 0;
}

}  // namespace

int zwnet_ni_buf_build(zwnet_p net, std::vector<uint8_t> *file)
{
    if (net == nullptr || file == nullptr)
        return ZW_ERR_VALUE;
    try {
        std::vector<uint8_t> &f = *file;
        f.assign(nif_magic, nif_magic + 2);
        put_u16(f, nif_version);
        rec_buf r;
        r.u32(0, net->homeid);
        r.u8(1, net->grps.empty() ? 0 : net->grps[0].member);
        r.flush(tag_net, f);
        zwnet_lock lk(net);
        for (const zwnode_t *n = &net->ctl; n != nullptr; n = n->next) {
            const bool own = n == &net->ctl;
            node_rec(n, own, r);
            if (!r.flush(tag_node, f)) {
                skipped(net, tag_node, n->nodeid);
                continue;
            }
            for (const zwep_t *e = &n->ep; e != nullptr; e = e->next) {
                ep_rec(e, own, r);
                if (!r.flush(tag_ep, f)) {
                    skipped(net, tag_ep, n->nodeid);
                    continue;
                }
                for (const zwif_t *i = e->intf; i != nullptr; i = i->next) {
                    if_rec(i, r);
                    if (!r.flush(tag_if, f))
                        skipped(net, tag_if, n->nodeid);
                }
            }
        }
        put_u16(f, zwnet_crc16(ZWNET_CRC16_INIT, f.data(), f.size()));
        return 0;
    } catch (const std::bad_alloc &) {
        return ZW_ERR_MEMORY;
    }
}

int zwnet_ni_buf_load(zwnet_p net, const uint8_t *p, size_t len)
{
    if (net == nullptr || (p == nullptr && len != 0))
        return ZW_ERR_VALUE;
    if (len < 4 || p[0] != nif_magic[0] || p[1] != nif_magic[1])
        return ZW_ERR_FILE;
    const uint16_t ver = static_cast<uint16_t>(p[2] << 8 | p[3]);
    if (ver == 0 || ver > nif_version)
        return ZW_ERR_VERSION;
    if (zwnet_crc16(ZWNET_CRC16_INIT, p, len) != 0)
        return ZW_ERR_FILE;
    size_t at = 4;
    // A record: 0 with its tag and data, -30 when the tag or length cannot be
    // read (the trailer), -30 too when the data is cut short.
    auto next_rec = [&](uint16_t *tag, const uint8_t **data, size_t *dlen) -> int {
        if (len - at < 4)
            return ZW_ERR_FILE_EOF_REACHED;
        *tag = static_cast<uint16_t>(p[at] << 8 | p[at + 1]);
        *dlen = static_cast<size_t>(p[at + 2] << 8 | p[at + 3]);
        const size_t padded = *dlen + (*dlen & 1);
        if (len - at - 4 < padded)
            return ZW_ERR_FILE_EOF_REACHED;
        *data = p + at + 4;
        at += 4 + padded;
        return 0;
    };
    uint16_t tag;
    const uint8_t *d;
    size_t dlen;
    int rc = next_rec(&tag, &d, &dlen);
    if (rc != 0)
        return rc;
    if (tag != tag_net || dlen <= 5 || d[0] != 0 || d[1] != 4)
        return ZW_ERR_FILE;
    const uint32_t home = static_cast<uint32_t>(d[2]) << 24 | d[3] << 16 | d[4] << 8 | d[5];
    if (home != net->homeid)
        return ZW_ERR_HOMEID;

    zwnet_lock lk(net);
    if (dlen >= 9 && d[6] == 1 && d[7] == 1 && !net->grps.empty())
        net->grps[0].member = d[8];
    loader ld{net, ver};
    try {
        while ((rc = next_rec(&tag, &d, &dlen)) == 0) {
            int hrc = 0;
            switch (tag) {
            case tag_node:
                hrc = ld.node_rec(d, dlen);
                if (hrc == ZW_ERR_NODE_NOT_FOUND) {
                    ld.node = nullptr;
                    ld.ep = nullptr;
                    hrc = 0;
                }
                break;
            case tag_ep:
                if (ld.node != nullptr)
                    hrc = ld.ep_rec(d, dlen);
                break;
            case tag_if:
                if (ld.ep != nullptr)
                    hrc = ld.if_rec(d, dlen);
                break;
            default:
                plt_msg_ts_show(&net->plt, "Unknown tag:%04X", tag);
                break;
            }
            if (hrc < 0)
                return hrc;
        }
    } catch (const std::bad_alloc &) {
        return ZW_ERR_MEMORY;
    }
    // The trailer is what ends the records: it cannot be read as one.
    return (rc == ZW_ERR_FILE_EOF_REACHED && len - at == 2) ? 0 : ZW_ERR_FILE;
}

int zwnet_ni_file_save(zwnet_p net, const char *path)
{
    if (net == nullptr || path == nullptr)
        return ZW_ERR_FILE_OPEN;
    std::vector<uint8_t> file;
    const int rc = zwnet_ni_buf_build(net, &file);
    if (rc != 0)
        return rc;
    // The last good file stays until the new one is complete on disk.
    if (zws_write_to_file_path(path, reinterpret_cast<const char *>(file.data()), file.size()) != 0)
        return ZW_ERR_FILE_WRITE;
    return 0;
}

int zwnet_file_read_all(const char *path, uint8_t **buf, size_t *len)
{
    if (buf == nullptr || len == nullptr)
        return ZW_ERR_VALUE;
    *buf = nullptr;
    *len = 0;
    if (path == nullptr)
        return ZW_ERR_FILE_OPEN;
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr)
        return ZW_ERR_FILE_OPEN;
    uint8_t *out = nullptr;
    size_t used = 0, cap = 0;
    int rc = 0;
    for (;;) {
        if (cap - used < 4096) {
            const size_t ncap = cap == 0 ? 8192 : cap * 2;
            auto *n = static_cast<uint8_t *>(std::realloc(out, ncap + 1));
            if (n == nullptr) {
                rc = ZW_ERR_MEMORY;
                break;
            }
            out = n;
            cap = ncap;
        }
        const size_t got = std::fread(out + used, 1, cap - used, f);
        used += got;
        if (got == 0) {
            if (std::ferror(f))
                rc = ZW_ERR_FILE_EOF;
            break;
        }
    }
    std::fclose(f);
    if (rc != 0) {
        std::free(out);
        return rc;
    }
    out[used] = 0;
    *buf = out;
    *len = used;
    return 0;
}

int zwnet_ni_file_load(zwnet_p net, const char *path)
{
    if (net == nullptr)
        return ZW_ERR_FILE_OPEN;
    uint8_t *file = nullptr;
    size_t len = 0;
    const int rc = zwnet_file_read_all(path, &file, &len);
    if (rc != 0)
        return rc;
    const int lrc = zwnet_ni_buf_load(net, file, len);
    std::free(file);
    return lrc;
}
