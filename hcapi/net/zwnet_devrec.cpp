// Device-record application: a node's record found by its ids, kept in the
// node and applied to every interface of every endpoint.
#include "hcapi/net/zwnet_devrec.h"

namespace {

constexpr uint16_t cls_notification = 0x71;
constexpr uint16_t cls_alarm_sensor = 0x9C;
constexpr uint16_t cls_binary_sensor = 0x30;
constexpr uint8_t propty_self_clear = 0x04;  // the device reports the end of its events itself
constexpr uint8_t notification_self_clear_ver = 4;

bool event_class(uint16_t cls)
{
    return cls == cls_notification || cls == cls_alarm_sensor || cls == cls_binary_sensor;
}

dev_ep_t *rec_eps(zwnode_p node)
{
    if (node == nullptr || !node->dev_cfg_valid || node->dev_cfg_rec == nullptr)
        return nullptr;
    return static_cast<dev_rec_t *>(node->dev_cfg_rec)->ep;
}

// Replaces `old` in its endpoint's list by `repl`, which takes over its
// caches; the old record is freed.
void if_replace(zwep_p ep, zwif_p old, zwif_p repl)
{
    zwif_dat_copy(repl, old);
    repl->ep = ep;
    for (zwif_p *p = &ep->intf; *p != nullptr; p = &(*p)->next) {
        if (*p == old) {
            repl->next = old->next;
            *p = repl;
            old->next = nullptr;
            zwif_dat_free(old);
            return;
        }
    }
}

}  // namespace

int zwnet_dev_rec_find(zwnet_p net, uint32_t vid, uint32_t ptype, uint32_t pid, dev_rec_t *out)
{
    if (net == nullptr || out == nullptr || net->dev_recs == nullptr || net->dev_rec_cnt == 0)
        return 0;
    const uint32_t key[3] = {vid, ptype, pid};
    return zwdevcfg_find(key, net->dev_recs, net->dev_rec_cnt, out);
}

void zwnet_if_poll_flags_get(zwep_p ep, uint16_t cls, uint8_t ver, uint8_t propty, uint8_t *out_propty,
                             uint16_t *out_tmout)
{
    uint16_t tmout = 0;
    if (cls == cls_notification) {
        if (ver < notification_self_clear_ver) {
            propty &= static_cast<uint8_t>(~propty_self_clear);
            tmout = ZWNET_EVT_CLR_TMOUT_DEFAULT;
        } else {
            propty |= propty_self_clear;
        }
    } else if (cls == cls_alarm_sensor || cls == cls_binary_sensor) {
        propty |= propty_self_clear;
    }
    uint8_t out = propty & static_cast<uint8_t>(~IF_PROPTY_HIDDEN);
    dev_ep_t *eps = ep ? rec_eps(ep->node) : nullptr;
    if (eps != nullptr) {
        if (const dev_if_t *ent = zwdevcfg_ep_cls_if_get(eps, ep->epid, cls)) {
            if (event_class(cls) && !(ent->flags & DEV_IF_FLAG_EVT_CLR)) {
                out = propty & static_cast<uint8_t>(~(propty_self_clear | IF_PROPTY_HIDDEN));
                tmout = ent->evt_clr_tmout;
            }
            if (ent->flags & DEV_IF_FLAG_HIDDEN)
                out |= IF_PROPTY_HIDDEN;
        }
    }
    if (out_propty != nullptr)
        *out_propty = out;
    if (out_tmout != nullptr)
        *out_tmout = tmout;
}

void zwnode_dev_rec_apply(zwnode_p node)
{
    if (node == nullptr || node->net == nullptr)
        return;
    dev_rec_t found{};
    if (!zwnet_dev_rec_find(node->net, node->vid, node->type, node->pid, &found)) {
        node->dev_cfg_valid = 0;
        node->dev_cfg_rec = nullptr;
        return;
    }
    node->dev_rec = found;
    node->dev_cfg_rec = &node->dev_rec;
    node->dev_cfg_valid = 1;
    node->category = found.category;
    zwnode_dev_rec_if_apply(node);
    zwnode_dev_rec_ep_apply(node);
}

void zwnode_dev_rec_if_apply(zwnode_p node)
{
    dev_ep_t *eps = rec_eps(node);
    if (eps == nullptr)
        return;
    for (zwep_p ep = &node->ep; ep != nullptr; ep = ep->next) {
        for (zwif_p intf = ep->intf; intf != nullptr; intf = intf->next) {
            const uint8_t user_ver = zwdevcfg_ep_cls_ver_get(eps, ep->epid, intf->cls);
            uint8_t propty = 0;
            uint16_t tmout = 0;
            zwnet_if_poll_flags_get(ep, intf->cls, intf->real_ver, intf->propty, &propty, &tmout);
            intf->propty = propty;
            intf->evt_clr_tmout = tmout;
            if (user_ver <= intf->ver)
                continue;
            const uint8_t reported = intf->ver;
            zwif_p repl = zwnet_if_ver_replace(intf, user_ver, propty);
            if (repl == intf)
                continue;
            repl->real_ver = reported;
            intf = repl;
        }
    }
}

void zwnode_dev_rec_ep_apply(zwnode_p node)
{
    dev_ep_t *eps = rec_eps(node);
    if (eps == nullptr)
        return;
    for (const dev_ep_ent_t &ent : eps->ent) {
        if (ent.create_if == 0)
            continue;
        zwep_p ep = zwep_find(&node->ep, ent.epid);
        if (ep == nullptr)
            continue;
        // Unsecure access always; the record itself is left as it was read.
        const uint8_t propty = ent.create_if_prop | IF_PROPTY_UNSECURE;
        zwif_p made = zwif_create(ent.create_if, ent.create_if_ver, propty);
        if (made == nullptr)
            continue;
        made->real_ver = 0;
        zwif_p have = zwif_find_cls(ep->intf, ent.create_if);
        if (have != nullptr && have->real_ver != 0) {
            zwif_dat_free(made);  // the device reported it: its own interface stays
            continue;
        }
        if (have != nullptr)
            if_replace(ep, have, made);
        else
            zwif_attach(ep, made);
    }
}

zwif_p zwnet_if_ver_replace(zwif_p intf, uint8_t ver, uint8_t propty)
{
    if (intf == nullptr || intf->ep == nullptr || intf->ver == ver)
        return intf;
    zwif_p repl = zwif_create(intf->cls, ver, propty);
    if (repl == nullptr)
        return intf;
    repl->evt_clr_tmout = intf->evt_clr_tmout;
    repl->user = intf->user;
    // The report callbacks registered on the old record go with it.
    for (uint8_t r = 0; r < repl->rpt_num; ++r)
        for (uint8_t o = 0; o < intf->rpt_num && o < ZWIF_RPT_ROWS_MAX; ++o)
            if (repl->rpt[r].rpt_cmd == intf->rpt[o].rpt_cmd)
                repl->rpt[r] = intf->rpt[o];
    if_replace(intf->ep, intf, repl);
    return repl;
}
