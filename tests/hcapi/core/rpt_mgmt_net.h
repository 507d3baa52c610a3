// A network record without its threads or sockets, for driving the report
// dispatcher with the association, identification, wake-up, firmware and
// gateway classes: node 6 with an interface of each (at the version that
// parses the most), a controller node 1, and application callbacks that
// write what they receive as one line of text each (and abort when they run
// under the network mutex).
#pragma once

#include "hcapi/core/zwif_rpt.h"
#include "hcapi/core/zwnode_q.h"
#include "hcapi/core/zwrec.h"
#include "hcapi/include/zwif_mgmt.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace rpt_mgmt {

inline zwnet_p g_net = nullptr;
inline std::vector<std::string> g_lines;

inline void line(const zwif_desc_t *intf, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
inline void line(const zwif_desc_t *intf, const char *fmt, ...)
{
    if (zwnet_lck_depth(g_net) != 0 || intf == nullptr || intf->nodeid != 6)
        std::abort();
    char buf[4096];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    g_lines.emplace_back(buf);
}

inline std::string hex(const uint8_t *p, size_t n)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%s%02X", i ? " " : "", p[i]);
        s += b;
    }
    return s;
}

inline std::string ents(const zwif_assoc_ent_t *e, size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += (i ? " " : "") + std::to_string(e[i].node_id) + "." + std::to_string(e[i].ep_id);
    return s;
}

inline std::string classes(const uint16_t *c, size_t n)
{
    std::string s;
    char b[8];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%s%02X", i ? " " : "", c[i]);
        s += b;
    }
    return s;
}

// --- the callbacks, one per callback type ----------------------------------------

inline void grp_name(zwif_desc_t *d, uint8_t g, uint8_t len, const uint8_t *name)
{
    line(d, "agi name g=%u '%.*s'", g, len, reinterpret_cast<const char *>(name));
}
inline void grp_info(zwif_desc_t *d, uint8_t cnt, uint8_t dyn, const zwif_grp_info_ent_t *e)
{
    std::string s;
    for (uint8_t i = 0; i < cnt; ++i) {
        char b[32];
        std::snprintf(b, sizeof b, " %u:%04X:%04X", e[i].grp_num, e[i].profile, e[i].evt_code);
        s += b;
    }
    line(d, "agi info dyn=%u%s", dyn, s.c_str());
}
inline void grp_cmds(zwif_desc_t *d, uint8_t g, uint8_t cnt, const zwif_grp_cmd_ent_t *c)
{
    std::string s;
    for (uint8_t i = 0; i < cnt; ++i) {
        char b[16];
        std::snprintf(b, sizeof b, " %02X:%02X", c[i].cls, c[i].cmd);
        s += b;
    }
    line(d, "agi cmds g=%u%s", g, s.c_str());
}
inline void ip_assoc(zwif_desc_t *d, uint8_t g, uint8_t total, uint16_t cnt, const zwif_assoc_ent_t *e)
{
    line(d, "ip assoc g=%u total=%u [%s]", g, total, ents(e, cnt).c_str());
}
inline void group(zwif_desc_t *d, uint8_t g, uint8_t max, uint16_t cnt, const zwif_assoc_ent_t *e)
{
    line(d, "group %02X g=%u max=%u [%s]", d->cls, g, max, ents(e, cnt).c_str());
}
inline void groups(zwif_desc_t *d, uint8_t n, int valid) { line(d, "groups %02X n=%u valid=%d", d->cls, n, valid); }
inline void group_active(zwif_desc_t *d, uint8_t g) { line(d, "active group %u", g); }
inline void zwplus(zwif_desc_t *d, const zwplus_info_t *i)
{
    line(d, "zwplus v=%u role=%u node=%u icons=%04X/%04X", i->zwplus_ver, i->role_type, i->node_type,
         i->instr_icon, i->usr_icon);
}
inline void gw_unsolic(zwif_desc_t *d, const uint8_t *addr, uint16_t port)
{
    line(d, "gw unsolic %s port=%u", hex(addr, 16).c_str(), port);
}
inline void gw_mode(zwif_desc_t *d, int sts, uint8_t mode, const zwif_gw_peer_t *p)
{
    if (p == nullptr)
        line(d, "gw mode sts=%d mode=%u", sts, mode);
    else
        line(d, "gw mode sts=%d mode=%u peer=%s:%u '%s' len=%u", sts, mode, hex(p->addr + 12, 4).c_str(), p->port,
             p->name, p->name_len);
}
inline void mul_inst(zwif_desc_t *d, uint16_t cls, uint8_t cnt) { line(d, "instances %02X n=%u", cls, cnt); }
inline void mul_ep(zwif_desc_t *d, uint8_t n, uint8_t aggr, uint8_t flags)
{
    line(d, "endpoints n=%u aggr=%u flags=%02X", n, aggr, flags);
}
inline void ep_cap(zwif_desc_t *d, const zwif_ep_cap_t *c)
{
    line(d, "ep cap %u dyn=%u class=%02X/%02X [%s] secure [%s]", c->ep, c->dynamic, c->generic, c->specific,
         classes(c->cls, c->cls_cnt).c_str(), classes(c->sec_cls, c->sec_cnt).c_str());
}
inline void aggr(zwif_desc_t *d, uint8_t ep, uint8_t cnt, const uint8_t *m)
{
    line(d, "aggregated %u [%s]", ep, hex(m, cnt).c_str());
}
inline void gw_cfg(zwif_desc_t *d, const zwif_gw_cfg_t *c)
{
    line(d, "portal cfg lan=%s/%u portal=%s/%u gw=%s pan=%s", hex(c->lan_addr + 12, 4).c_str(), c->lan_prefix,
         hex(c->portal_addr + 12, 4).c_str(), c->portal_prefix, hex(c->gw_addr + 12, 4).c_str(),
         hex(c->pan_prefix, 2).c_str());
}
inline void gw_cfg_sts(zwif_desc_t *d, uint8_t s) { line(d, "portal cfg status %u", s); }
inline void mailbox(zwif_desc_t *d, const zwif_mailbox_cfg_t *c)
{
    line(d, "mailbox sup=%u mode=%u cap=%u fwd=%s port=%u", c->sup_modes, c->mode, c->capacity,
         hex(c->fwd_addr + 12, 4).c_str(), c->port);
}
inline void config(zwif_desc_t *d, const zwif_config_t *p)
{
    line(d, "config p=%u size=%u [%s]", p->param_num, p->size, hex(p->data, p->size).c_str());
}
inline void manf(zwif_desc_t *d, const zwif_manf_t *m)
{
    line(d, "manf %04X %04X %04X", m->manf_id, m->prod_type, m->prod_id);
}
inline void dev_id(zwif_desc_t *d, const zw_dev_id_t *i)
{
    line(d, "dev id type=%u fmt=%u [%s]", i->type, i->format, hex(i->dev_id, i->len).c_str());
}
inline void power(zwif_desc_t *d, uint8_t lvl, uint8_t tmo) { line(d, "power lvl=%u tmo=%u", lvl, tmo); }
inline void power_test(zwif_desc_t *d, uint8_t node, uint8_t sts, uint16_t acks)
{
    line(d, "power test node=%u sts=%u acks=%u", node, sts, acks);
}
inline void nameloc(zwif_desc_t *d, const uint8_t *t, uint8_t len, uint8_t cs)
{
    line(d, "nameloc cs=%u '%.*s'", cs, len, reinterpret_cast<const char *>(t));
}
inline void fw_info(zwif_desc_t *d, const zwif_fw_info_t *f)
{
    std::string others;
    for (uint8_t i = 0; i < f->other_fw_cnt; ++i)
        others += " " + std::to_string(f->other_fw_id[i]);
    line(d, "fw info %04X %04X %04X frag=%u short=%u upg=%02X hw=%u/%u others=%u%s", f->vid, f->fw_id, f->chksum,
         f->max_frag_sz, f->short_rpt, f->upgrade_flg, f->hw_ver_valid, f->hw_ver, f->other_fw_cnt, others.c_str());
}
inline void fw_req(zwif_desc_t *d, uint8_t s) { line(d, "fw req %u", s); }
inline void fw_sts(zwif_desc_t *d, uint8_t s, uint16_t tm, uint8_t wait)
{
    line(d, "fw status %02X wait=%u/%u", s, wait, tm);
}
inline void fw_frag(zwif_desc_t *d, uint16_t num, uint8_t cnt) { line(d, "fw frag get %u n=%u", num, cnt); }
inline void wakeup(zwif_desc_t *d, const zwif_wakeup_t *w)
{
    line(d, "wakeup %u..%u def=%u step=%u cur=%u node=%u net=%d", w->min, w->max, w->def, w->interval_step, w->cur,
         w->node_id, w->net == g_net);
}
inline void ver(zwif_desc_t *d, uint16_t proto, uint16_t app, uint8_t lib, const ext_ver_t *ext)
{
    std::string e = "none";
    if (ext != nullptr) {
        e = "hw=" + std::to_string(ext->hw_ver);
        for (uint8_t i = 0; i < ext->fw_cnt; ++i) {
            char b[8];
            std::snprintf(b, sizeof b, " %04X", ext->fw_ver[i]);
            e += b;
        }
    }
    line(d, "version lib=%u proto=%04X app=%04X ext=%s", lib, proto, app, e.c_str());
}
inline void cls_ver(zwif_desc_t *d, uint16_t cls, uint8_t v) { line(d, "class version %02X=%u", cls, v); }
inline void av(zwif_desc_t *d, uint16_t len, const uint8_t *m, int valid)
{
    line(d, "av mask [%s] valid=%d", hex(m, len).c_str(), valid);
}
inline void sec_cls(zwif_desc_t *d, const uint16_t *c, uint8_t cnt)
{
    line(d, "secure %02X %s[%s]", d->cls, c == nullptr ? "null " : "", classes(c, cnt).c_str());
}
inline void cmd_rec_sup(zwif_desc_t *d, const zwif_cmd_rec_sup_t *s)
{
    line(d, "cmd records cfg=%u kind=%u max=%u free=%u total=%u", s->configurable, s->cmd_kind, s->max_len,
         s->free_recs, s->total_recs);
}
inline void grp_cmd(zwif_desc_t *d, uint8_t g, uint8_t node, const uint8_t *c, uint8_t len)
{
    line(d, "group cmd g=%u node=%u [%s]", g, node, hex(c, len).c_str());
}

struct if_spec {
    uint16_t cls;
    uint8_t ver;
    std::vector<std::pair<uint8_t, zwif_rpt_fn>> cbs;
};

template <class F>
std::pair<uint8_t, zwif_rpt_fn> cb(uint8_t rpt, F f)
{
    return {rpt, reinterpret_cast<zwif_rpt_fn>(f)};
}

inline const std::vector<if_spec> &if_specs()
{
    static const std::vector<if_spec> specs = {
        {0x59, 1, {cb(0x02, grp_name), cb(0x04, grp_info), cb(0x06, grp_cmds)}},
        {0x5C, 1, {cb(0x03, ip_assoc)}},
        {0x5E, 1, {cb(0x02, zwplus)}},
        {0x5F, 1, {cb(0x03, gw_mode), cb(0x06, gw_mode), cb(0x0A, gw_unsolic)}},
        {0x60, 4, {cb(0x05, mul_inst), cb(0x08, mul_ep), cb(0x0A, ep_cap), cb(0x0F, aggr)}},
        {0x61, 1, {cb(0x02, gw_cfg_sts), cb(0x04, gw_cfg)}},
        {0x69, 1, {cb(0x03, mailbox)}},
        {0x70, 1, {cb(0x06, config)}},
        {0x72, 2, {cb(0x05, manf), cb(0x07, dev_id)}},
        {0x73, 1, {cb(0x03, power), cb(0x06, power_test)}},
        {0x77, 1, {cb(0x03, nameloc), cb(0x06, nameloc)}},
        {0x7A, 3, {cb(0x02, fw_info), cb(0x04, fw_req), cb(0x05, fw_frag), cb(0x07, fw_sts)}},
        {0x84, 2, {cb(0x06, wakeup), cb(0x0A, wakeup)}},
        {0x85, 2, {cb(0x03, group), cb(0x06, groups), cb(0x0C, group_active)}},
        {0x86, 2, {cb(0x12, ver), cb(0x14, cls_ver)}},
        {0x8E, 2, {cb(0x03, group), cb(0x06, groups)}},
        {0x94, 1, {cb(0x03, av), cb(0x05, av)}},
        {0x98, 1, {cb(0x03, sec_cls)}},
        {0x9B, 1, {cb(0x02, cmd_rec_sup), cb(0x05, grp_cmd)}},
        {0x9F, 1, {cb(0x0E, sec_cls)}},
    };
    return specs;
}

class net {
public:
    net()
    {
        n_ = new zwnet;
        g_net = n_;
        plt_mtx_init(&n_->mtx);
        zwnet_lock lk(n_);
        n_->ctl.nodeid = 1;
        zwnode_p node = zwnode_create(n_, 6);
        for (const if_spec &s : if_specs()) {
            zwif_p i = zwif_create(s.cls, s.ver, IF_PROPTY_UNSECURE);
            zwif_attach(&node->ep, i);
            for (const auto &[rpt, fn] : s.cbs)
                for (uint8_t r = 0; r < i->rpt_num; ++r)
                    if (i->rpt[r].rpt_cmd == rpt)
                        i->rpt[r].usr_rpt_cb = fn;
        }
    }
    ~net()
    {
        {
            zwnet_lock lk(n_);
            zwnet_node_free(n_, 6);
        }
        plt_mtx_destroy(n_->mtx);
        delete n_;
        if (g_net == n_)
            g_net = nullptr;
    }
    net(const net &) = delete;
    net &operator=(const net &) = delete;

    // As the receive path does: the interface of the frame's class, if any.
    int dispatch(const uint8_t *frame, uint16_t len)
    {
        uint16_t cls;
        uint8_t cmd;
        if (!zwif_cls_cmd_get(frame, len, &cls, &cmd))
            return 0;
        zwnet_lock lk(n_);
        zwif_p i = intf(cls);
        return i ? zwif_report_dispatch(i, frame, len) : 0;
    }
    int dispatch(const std::vector<uint8_t> &frame)
    {
        // A buffer of exactly the frame's length.
        auto buf = std::make_unique<uint8_t[]>(frame.size() ? frame.size() : 1);
        std::copy(frame.begin(), frame.end(), buf.get());
        return dispatch(buf.get(), static_cast<uint16_t>(frame.size()));
    }

    // The interface of a class on node 6 (network mutex held by the caller).
    zwif_p intf(uint16_t cls)
    {
        zwep_p ep = zwep_find_by_id(n_, 6, 0);
        return ep ? zwif_find_cls(ep->intf, cls) : nullptr;
    }
    zwnet_p get() const { return n_; }

private:
    zwnet_p n_;
};

}  // namespace rpt_mgmt
