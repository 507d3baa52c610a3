// Network-management tests: every reply callback writes one line describing
// what it got into one recorder, so that cases compare texts; a bare
// application-layer context for feeding replies straight to the dispatcher.
#pragma once

#include "hcapi/zip/zip_appl.h"
#include "hcapi/zip/zip_nm.h"

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace nm_test {

class calls {
public:
    static calls &get()
    {
        static calls c;
        return c;
    }
    void add(std::string line)
    {
        {
            std::lock_guard lk(mtx_);
            lines_.push_back(std::move(line));
        }
        cv_.notify_all();
    }
    bool wait(size_t n, std::chrono::milliseconds timeout)
    {
        std::unique_lock lk(mtx_);
        return cv_.wait_for(lk, timeout, [&] { return lines_.size() >= n; });
    }
    std::vector<std::string> all()
    {
        std::lock_guard lk(mtx_);
        return lines_;
    }
    void clear()
    {
        std::lock_guard lk(mtx_);
        lines_.clear();
    }

private:
    std::mutex mtx_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
};

inline std::string fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));
inline std::string fmt(const char *f, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, f);
    vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

inline std::string hex(const uint8_t *p, size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += fmt("%02X", p[i]);
    return s;
}

inline std::string cls(const uint16_t *p, uint8_t n)
{
    if (n != 0 && p == nullptr)
        return "[null]";
    std::string s = "[";
    for (uint8_t i = 0; i < n; ++i)
        s += fmt(i ? ",%X" : "%X", p[i]);
    return s + "]";
}

inline std::string info_text(const appl_node_info_t *i)
{
    return fmt("n=%u l=%u o=%u s=%u st=%u age=%u r=%u b=%02X g=%02X sp=%02X cls=%s ctl=%s", i->node_id, i->listen,
               i->optional, i->sensor, i->status, i->age, i->rsvd, i->basic, i->gen, i->spec,
               cls(i->cmd_cls, i->cmd_cnt).c_str(), cls(i->cmd_cls_ctl, i->cmd_cnt_ctl).c_str());
}

inline std::string incl_text(const appl_incl_evt_t *e)
{
    switch (e->code) {
    case APPL_INCL_NODE_ADD:
        return "add " + info_text(&e->add.info) +
               fmt(" s2=%u k=%02X f=%u dsk=%s", e->add.s2_present, e->add.grnt_keys, e->add.kex_fail,
                   hex(e->add.dsk, e->add.dsk_len).c_str());
    case APPL_INCL_FAILED_REPLACE:
        return fmt("rplc st=%u n=%u s2=%u k=%02X f=%u", e->rplc.status, e->rplc.node_id, e->rplc.s2_present,
                   e->rplc.grnt_keys, e->rplc.kex_fail);
    case APPL_INCL_KEYS_REPORT:
        return fmt("keys %02X csa=%u", e->keys.req_keys, e->keys.csa);
    case APPL_INCL_DSK_REPORT:
        return fmt("idsk %s in=%u", hex(e->dsk.dsk, 16).c_str(), e->dsk.input_len);
    default:
        return fmt("incl code=%u", e->code);
    }
}

inline std::string wl_text(const appl_wl_dsk_t *d) { return hex(d->dsk, d->dsk_len); }

// Reply callbacks (the pending kinds).
inline void on_node_list(appl_layer_ctx *, uint8_t sts, uint8_t suc, const uint8_t *mask, uint8_t n)
{
    calls::get().add(fmt("list st=%u suc=%u m=%s", sts, suc, hex(mask, n).c_str()));
}
inline void on_node_info(appl_layer_ctx *, const appl_node_info_t *i) { calls::get().add("info " + info_text(i)); }
inline void on_ep(appl_layer_ctx *, uint8_t n, uint8_t i, uint8_t a)
{
    calls::get().add(fmt("ep n=%u i=%u a=%u", n, i, a));
}
inline void on_cap(appl_layer_ctx *, const appl_ep_cap_t *c)
{
    calls::get().add(fmt("cap n=%u ep=%u g=%02X sp=%02X cls=%s ctl=%s", c->node_id, c->ep, c->gen, c->spec,
                         cls(c->cmd_cls, c->cmd_cnt).c_str(), cls(c->cmd_cls_ctl, c->cmd_cnt_ctl).c_str()));
}
inline void on_aggr(appl_layer_ctx *, uint8_t n, uint8_t ep, uint8_t cnt, const uint8_t *m)
{
    calls::get().add(fmt("aggr n=%u ep=%u m=%s", n, ep, hex(m, cnt).c_str()));
}
inline void on_lrn(appl_layer_ctx *, const appl_lrn_sts_t *s)
{
    calls::get().add(fmt("lrn st=%u n=%u s2=%u k=%02X dsk=%s", s->status, s->node_id, s->s2_present, s->grnt_keys,
                         s->s2_present ? hex(s->dsk, 16).c_str() : ""));
}
inline void on_sts(appl_layer_ctx *, uint8_t s) { calls::get().add(fmt("sts %u", s)); }
inline void on_sts_node(appl_layer_ctx *, uint8_t s, uint8_t n) { calls::get().add(fmt("sts %u n=%u", s, n)); }
inline void on_dsk(appl_layer_ctx *, const uint8_t *d, uint8_t len, uint8_t mode)
{
    calls::get().add(fmt("dsk %s mode=%02X", hex(d, len).c_str(), mode));
}
inline void on_incl(appl_layer_ctx *, const appl_incl_evt_t *e) { calls::get().add(incl_text(e)); }
inline void on_wl_list(appl_layer_ctx *, const appl_wl_list_t *l)
{
    std::string s = fmt("wl cnt=%u", l->cnt);
    for (uint8_t i = 0; i < l->cnt; ++i)
        s += " " + wl_text(&l->ent[i]);
    calls::get().add(s);
}
inline void on_wl_ent(appl_layer_ctx *, const appl_wl_dsk_t *d, uint8_t keys, const appl_wl_rec_t *r, uint8_t n)
{
    std::string s = fmt("wle dsk=%s k=%02X", wl_text(d).c_str(), keys);
    for (uint8_t i = 0; i < n; ++i)
        s += fmt(" %u:%s", r[i].type, r[i].text);
    calls::get().add(s);
}
inline void on_resolve(appl_layer_ctx *, const appl_node_adv_t *a)
{
    calls::get().add(fmt("adv l=%u v=%u n=%u ip=%s home=%08X raw=%s", a->local, a->validity, a->node_id,
                         hex(a->ipv6, 16).c_str(), a->home_id, hex(a->home_id_raw, 4).c_str()));
}

// Installed callbacks.
inline void on_unsol_list(appl_layer_ctx *c, uint8_t sts, uint8_t suc, const uint8_t *mask, uint8_t n)
{
    (void)c;
    calls::get().add(fmt("unsol list st=%u suc=%u m=%s", sts, suc, hex(mask, n).c_str()));
}
inline void on_unsol_incl(appl_layer_ctx *, const appl_incl_evt_t *e) { calls::get().add("unsol " + incl_text(e)); }
inline void on_app_sts(appl_layer_ctx *, uint8_t cmd, uint8_t sts) { calls::get().add(fmt("app %u %u", cmd, sts)); }
inline void on_unsol_wl(appl_layer_ctx *, const appl_wl_dsk_t *d, uint8_t sts)
{
    calls::get().add(fmt("unsol wl dsk=%s st=%u", wl_text(d).c_str(), sts));
}

// The callback that a request of each kind would store.
inline appl_nm_cb_t kind_cb(appl_nm_kind k)
{
    switch (k) {
    case APPL_NM_NODE_LIST: return on_node_list;
    case APPL_NM_NODE_INFO:
    case APPL_NM_CTLR_CHANGE: return on_node_info;
    case APPL_NM_EP: return on_ep;
    case APPL_NM_EP_CAP: return on_cap;
    case APPL_NM_AGGR: return on_aggr;
    case APPL_NM_LEARN: return on_lrn;
    case APPL_NM_NET_UPDATE: return on_sts;
    case APPL_NM_DSK_GET: return on_dsk;
    case APPL_NM_NODE_ADD:
    case APPL_NM_FAILED_RPLC: return on_incl;
    case APPL_NM_WL_LIST: return on_wl_list;
    case APPL_NM_WL_GET: return on_wl_ent;
    default: return on_sts_node;  // set default, removes, neighbour update, return routes
    }
}

inline void install(appl_nm_ctx &nm)
{
    nm.unsol_node_list_cb = on_unsol_list;
    nm.unsol_incl_cb = on_unsol_incl;
    nm.app_sts_cb = on_app_sts;
    nm.unsol_wl_cb = on_unsol_wl;
}

// An application-layer context with only the locks and the gateway address
// that the dispatcher uses (no threads, no sockets), with the
// network-management record installed: gateway 127.0.0.1.
struct bare_ctx {
    appl_layer_ctx appl{};
    appl_nm_ctx nm{};
    bare_ctx()
    {
        plt_mtx_init(&appl.mtx);
        plt_mtx_init(&appl.tbl_mtx);
        appl_nm_init(&appl, &nm);
        appl.ipv4 = 1;
        appl.own_node_id = 1;
        const uint8_t mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1};
        std::memcpy(appl.ssn.frm.tpt.peer_addr, mapped, 16);
        install(nm);
    }
    ~bare_ctx()
    {
        appl_nm_exit(&appl);
        plt_mtx_destroy(appl.tbl_mtx);
        plt_mtx_destroy(appl.mtx);
    }
    bare_ctx(const bare_ctx &) = delete;
    bare_ctx &operator=(const bare_ctx &) = delete;

    void pend(appl_nm_kind k, uint8_t seq, uint8_t node_id = 0) { nm.pend[k] = {kind_cb(k), node_id, seq}; }
};

}  // namespace nm_test
