// A network record without threads or sockets whose node 5 has the
// identification and gateway interfaces (Z/IP Gateway, Mailbox,
// Manufacturer Specific v2, Version v2 and v1 on endpoint 1), with report
// callbacks that record what they got as text and check that the network
// mutex is released around them. For the report table test and its fuzz
// target.
#pragma once

#include "hcapi/include/zwif_mgmt.h"
#include "hcapi/core/zwif_rpt.h"
#include "hcapi/core/zwnode_q.h"
#include "hcapi/core/zwrec.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <string>

namespace ident_rpt {

inline zwnet_p g_net = nullptr;
inline std::string g_last;

inline void check(const zwif_desc_t *intf)
{
    if (zwnet_lck_depth(g_net) != 0 || intf == nullptr || intf->nodeid != 5)
        std::abort();
}

inline std::string hex(const uint8_t *p, size_t n)
{
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X", p[i]);
        s += b;
    }
    return s;
}

inline void on_unsol(zwif_desc_t *intf, const uint8_t *addr, uint16_t port)
{
    check(intf);
    g_last = "dst " + hex(addr, 16) + " " + std::to_string(port);
}
inline void on_mbx(zwif_desc_t *intf, const zwif_mailbox_cfg_t *c)
{
    check(intf);
    g_last = "mbx " + std::to_string(c->sup_modes) + " " + std::to_string(c->mode) + " " +
             std::to_string(c->capacity) + " " + std::to_string(c->port);
}
inline void on_manf(zwif_desc_t *intf, const zwif_manf_t *m)
{
    check(intf);
    g_last = "manf " + std::to_string(m->manf_id) + " " +
             std::to_string(m->prod_type) + " " + std::to_string(m->prod_id);
}
inline void on_dev_id(zwif_desc_t *intf, const zw_dev_id_t *d)
{
    check(intf);
    if (d->len > sizeof d->dev_id)
        std::abort();
    g_last = "devid " + std::to_string(d->type) + " " + std::to_string(d->format) + " " + hex(d->dev_id, d->len);
}
inline void on_ver(zwif_desc_t *intf, uint16_t proto, uint16_t app, uint8_t lib, const ext_ver_t *ext)
{
    check(intf);
    g_last = "ver " + std::to_string(lib) + " " + std::to_string(proto) + " " + std::to_string(app);
    if (ext != nullptr) {
        g_last += " hw " + std::to_string(ext->hw_ver) + " fw";
        const auto *fw = reinterpret_cast<const uint8_t *>(ext) + offsetof(ext_ver_t, fw_ver);
        for (uint8_t i = 0; i < ext->fw_cnt; ++i) {
            uint16_t v;
            std::memcpy(&v, fw + 2 * i, sizeof v);
            g_last += " " + std::to_string(v);
        }
    }
}
inline void on_cc_ver(zwif_desc_t *intf, uint16_t cls, uint8_t ver)
{
    check(intf);
    g_last = "ccver " + std::to_string(cls) + " " + std::to_string(ver);
}

class net {
public:
    net()
    {
        n_ = new zwnet;
        g_net = n_;
        plt_mtx_init(&n_->mtx);
        zwnet_lock lk(n_);
        zwnode_p node = zwnode_create(n_, 5);
        zwep_p ep1 = zwep_create(node, 1);
        const struct {
            zwep_p ep;
            uint16_t cls;
            uint8_t ver;
        } ifs[] = {{&node->ep, 0x5F, 1}, {&node->ep, 0x69, 1}, {&node->ep, 0x72, 2}, {&node->ep, 0x86, 2},
                   {ep1, 0x86, 1}};
        for (const auto &f : ifs)
            zwif_attach(f.ep, zwif_create(f.cls, f.ver, IF_PROPTY_UNSECURE));
        set(&node->ep, 0x5F, 0x0A, reinterpret_cast<zwif_rpt_fn>(on_unsol));
        set(&node->ep, 0x69, 0x03, reinterpret_cast<zwif_rpt_fn>(on_mbx));
        set(&node->ep, 0x72, 0x05, reinterpret_cast<zwif_rpt_fn>(on_manf));
        set(&node->ep, 0x72, 0x07, reinterpret_cast<zwif_rpt_fn>(on_dev_id));
        for (zwep_p ep : {&node->ep, ep1}) {
            set(ep, 0x86, 0x12, reinterpret_cast<zwif_rpt_fn>(on_ver));
            set(ep, 0x86, 0x14, reinterpret_cast<zwif_rpt_fn>(on_cc_ver));
        }
    }
    ~net()
    {
        {
            zwnet_lock lk(n_);
            zwnet_node_free(n_, 5);
        }
        plt_mtx_destroy(n_->mtx);
        delete n_;
        g_net = nullptr;
    }
    net(const net &) = delete;
    net &operator=(const net &) = delete;

    // As the receive path does, to the interface of the frame's class on
    // endpoint `ep_id`: what the callback recorded ("" for no call).
    std::string dispatch(const uint8_t *frame, uint16_t len, uint8_t ep_id = 0)
    {
        g_last.clear();
        uint16_t cls;
        uint8_t cmd;
        if (!zwif_cls_cmd_get(frame, len, &cls, &cmd))
            return g_last;
        zwnet_lock lk(n_);
        zwep_p ep = zwep_find_by_id(n_, 5, ep_id);
        zwif_p i = ep ? zwif_find_cls(ep->intf, cls) : nullptr;
        if (i != nullptr)
            zwif_report_dispatch(i, frame, len);
        return g_last;
    }

private:
    static void set(zwep_p ep, uint16_t cls, uint8_t rpt, zwif_rpt_fn cb)
    {
        zwif_p i = zwif_find_cls(ep->intf, cls);
        for (uint8_t r = 0; i != nullptr && r < i->rpt_num; ++r)
            if (i->rpt[r].rpt_cmd == rpt)
                i->rpt[r].usr_rpt_cb = cb;
    }
    zwnet_p n_;
};

}  // namespace ident_rpt
