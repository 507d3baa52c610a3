// Node database update from the gateway's node list and node information.
#include "hcapi/net/zwnet_ndb.h"

#include "hcapi/core/zwnet_cb.h"
#include "hcapi/net/zwnet_devrec.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr uint8_t sec_flags_low = 0x0F;
constexpr uint8_t keys_mask = 0x87;
constexpr uint8_t node_list_len = APPL_NM_NODE_MASK_LEN;

bool bit_set(const uint8_t *bitmap, unsigned i) { return (bitmap[i / 8] >> (i % 8)) & 1; }

// Interfaces that the device itself listed without security: those a device
// record created (real version 0) do not count, or every node with such a
// record would look changed at each update.
int listed_unsecure_cnt(zwif_p first)
{
    int n = 0;
    for (zwif_p i = first; i != nullptr; i = i->next)
        if ((i->propty & IF_PROPTY_UNSECURE) && i->real_ver != 0)
            ++n;
    return n;
}

bool classes_changed(zwnode_p node, const appl_node_info_t *info, const std::vector<uint16_t> &list)
{
    if (node->basic != info->basic || node->ep.generic != info->gen || node->ep.specific != info->spec)
        return true;
    for (uint16_t cls : list)
        if (zwif_find_cls(node->ep.intf, cls) == nullptr)
            return true;
    return listed_unsecure_cnt(node->ep.intf) != static_cast<int>(list.size());
}

// The root interfaces of a class list, in its order: 0 or -12 (the
// interfaces made so far stay).
int root_if_create(zwnode_p node, const std::vector<uint16_t> &list)
{
    for (uint16_t cls : list) {
        if (zwif_find_cls(node->ep.intf, cls) != nullptr)
            continue;
        uint8_t propty = 0;
        uint16_t tmout = 0;
        zwnet_if_poll_flags_get(&node->ep, cls, 1, IF_PROPTY_UNSECURE, &propty, &tmout);
        zwif_p intf = zwif_create(cls, 1, propty);
        if (intf == nullptr)
            return ZW_ERR_MEMORY;
        intf->evt_clr_tmout = tmout;
        zwif_attach(&node->ep, intf);
    }
    return 0;
}

void dsk_copy(zwnode_p node, const zwnode_incl_extra_t *extra)
{
    if (extra == nullptr || extra->dsk == nullptr)
        return;
    std::strncpy(node->s2_dsk, extra->dsk, sizeof node->s2_dsk - 1);
    node->s2_dsk[sizeof node->s2_dsk - 1] = '\0';
}

}  // namespace

// ---------------------------------------------------------------------------
// Class lists
// ---------------------------------------------------------------------------

const uint16_t *zwnet_cc_find(const uint16_t *list, uint16_t cls, uint8_t cnt)
{
    if (list == nullptr)
        return nullptr;
    for (uint8_t i = 0; i < cnt; ++i)
        if (list[i] == cls)
            return &list[i];
    return nullptr;
}

uint8_t zwnet_cc_dedup(uint16_t *list, uint8_t cnt)
{
    if (list == nullptr || cnt == 0)
        return 0;
    uint8_t kept = 0;
    for (uint8_t i = 0; i < cnt; ++i)
        if (zwnet_cc_find(list, list[i], kept) == nullptr)
            list[kept++] = list[i];
    return kept;
}

std::vector<uint16_t> zwnet_cc_prepend(uint16_t cls, const uint16_t *list, uint8_t cnt)
{
    std::vector<uint16_t> out;
    if (list == nullptr || cnt == 0)
        return out;
    if (zwnet_cc_find(list, cls, cnt) != nullptr) {
        out.assign(list, list + cnt);
        return out;
    }
    out.reserve(size_t(cnt) + 1);
    out.push_back(cls);
    out.insert(out.end(), list, list + cnt);
    if (out.size() > UINT8_MAX)
        out.resize(UINT8_MAX);
    return out;
}

// ---------------------------------------------------------------------------
// Node list
// ---------------------------------------------------------------------------

uint8_t zwnet_role_get(uint8_t ctl_role, uint8_t suc_id, uint8_t ctl_id)
{
    const bool incl = ctl_role & 0x02;
    const bool primary = ctl_role & 0x04;
    if (!incl && !primary)
        return 4;
    if (primary && !incl)
        return 0;
    if (incl && !primary)
        return suc_id == ctl_id ? 1 : 2;
    return suc_id == ctl_id ? 3 : 0;
}

int zwnet_node_list_update(zwnet_p net, const uint8_t *bitmap, uint8_t len, int notify, uint8_t *new_ids,
                           uint8_t *new_cnt)
{
    if (new_cnt != nullptr)
        *new_cnt = 0;
    if (net == nullptr || bitmap == nullptr)
        return ZW_ERR_VALUE;
    len = std::min(len, node_list_len);
    const unsigned bits = len * 8u;
    zwnet_lock lk(net);
    uint8_t added = 0;
    for (unsigned i = 0; i < bits; ++i) {
        const uint8_t id = static_cast<uint8_t>(i + 1);
        if (!bit_set(bitmap, i) || zwnode_find(&net->ctl, id) != nullptr)
            continue;
        if (zwnode_create(net, id) == nullptr)
            return ZW_ERR_MEMORY;
        if (new_ids != nullptr)
            new_ids[added] = id;
        ++added;
        if (notify)
            zwnet_node_sts_notify(net, id, ZWNET_NODE_ADDED);
    }
    for (zwnode_p n = net->ctl.next; n != nullptr;) {
        zwnode_p next = n->next;
        const uint8_t id = n->nodeid;
        if (id != 0 && id <= bits && !bit_set(bitmap, id - 1u)) {
            if (notify)
                zwnet_node_sts_notify(net, id, ZWNET_NODE_REMOVED);
            appl_node_ip_rm(net->appl.get(), id);
            zwnet_node_free(net, id);
        }
        n = next;
    }
    if (new_cnt != nullptr)
        *new_cnt = added;
    return 0;
}

// ---------------------------------------------------------------------------
// Node information
// ---------------------------------------------------------------------------

int zwnet_node_sec_cc_set(zwnode_p node, const uint16_t *list, uint8_t cnt, uint8_t sec_cnt)
{
    if (node == nullptr || cnt == 0)
        return 0;
    uint8_t s = 0;
    if (zwnet_cc_find(list, COMMAND_CLASS_SECURITY, cnt))
        s |= NODE_PROPTY_SECURE_CAP_S0;
    if (zwnet_cc_find(list, COMMAND_CLASS_SECURITY_2, cnt))
        s |= NODE_PROPTY_SECURE_CAP_S2;
    const bool k = node->s2_keys_valid ? (node->s2_grnt_keys & keys_mask) != 0 : sec_cnt != 0;
    const bool secure = node->propty & NODE_PROPTY_ADD_SECURE;
    const bool insecure = node->propty & NODE_PROPTY_ADD_INSECURE;
    if (!secure && !insecure) {
        node->propty |= k ? NODE_PROPTY_ADD_SECURE : NODE_PROPTY_ADD_INSECURE;
    } else if (insecure) {
        if (k)
            node->propty = static_cast<uint8_t>((node->propty & ~NODE_PROPTY_ADD_INSECURE) | NODE_PROPTY_ADD_SECURE);
    } else {
        return 0;
    }
    node->propty |= s;
    return 1;
}

int zwnode_if_create(zwep_p ep, const uint16_t *sec, uint8_t cnt)
{
    if (ep == nullptr || sec == nullptr || cnt == 0)
        return 0;
    std::vector<uint16_t> list;
    try {
        list.assign(sec, sec + cnt);
        if (zwnet_cc_find(sec, COMMAND_CLASS_BASIC, cnt) == nullptr)
            list.insert(list.begin(), COMMAND_CLASS_BASIC);
    } catch (const std::bad_alloc &) {
        return ZW_ERR_MEMORY;
    }
    for (uint16_t cls : list) {
        zwif_p intf = zwif_find_cls(ep->intf, cls);
        if (intf != nullptr) {
            intf->propty |= IF_PROPTY_SECURE;
            continue;
        }
        intf = zwif_create(cls, 1, IF_PROPTY_SECURE);
        if (intf == nullptr)
            return ZW_ERR_MEMORY;
        zwif_attach(ep, intf);
    }
    // An endpoint of a node whose Multi Channel itself is secure only
    // inherits its secure access: nothing is taken away there.
    if (ep->epid != 0) {
        zwif_p mc = zwif_find_cls(ep->node->ep.intf, COMMAND_CLASS_MULTI_CHANNEL);
        if (mc != nullptr && (mc->propty & IF_PROPTY_SECURE) && !(mc->propty & IF_PROPTY_UNSECURE))
            return 0;
    }
    for (zwif_p i = ep->intf; i != nullptr; i = i->next)
        if ((i->propty & IF_PROPTY_SECURE) && i->cls != COMMAND_CLASS_BASIC &&
            std::find(list.begin(), list.end(), i->cls) == list.end())
            i->propty &= static_cast<uint8_t>(~IF_PROPTY_SECURE);
    return 0;
}

int zwnode_info_apply(zwnet_p net, const appl_node_info_t *info, const zwnode_incl_extra_t *extra)
{
    if (net == nullptr || info == nullptr || info->node_id == 0 || info->node_id > ZWNET_NODE_ID_MAX)
        return ZW_ERR_VALUE;
    const uint16_t *sec = info->cmd_cls_ctl;
    const uint8_t sec_cnt = sec != nullptr ? info->cmd_cnt_ctl : 0;
    std::vector<uint16_t> list;
    try {
        list = zwnet_cc_prepend(COMMAND_CLASS_BASIC, info->cmd_cls, info->cmd_cls ? info->cmd_cnt : 0);
    } catch (const std::bad_alloc &) {
        return ZW_ERR_MEMORY;
    }
    list.resize(zwnet_cc_dedup(list.data(), static_cast<uint8_t>(list.size())));
    const auto cnt = static_cast<uint8_t>(list.size());

    zwnet_lock lk(net);
    zwnode_p node = zwnode_find(&net->ctl, info->node_id);
    bool rebuilt = false;
    uint8_t kept_propty = 0, kept_keys_valid = 0, kept_keys = 0;
    if (node != nullptr) {
        node->listen = info->listen;
        if (cnt == 0) {
            appl_node_sts_set(net->appl.get(), info->node_id, APPL_NODE_STS_DOWN, 1);
            return 0;
        }
        if (!classes_changed(node, info, list)) {
            zwnet_node_sec_cc_set(node, list.data(), cnt, sec_cnt);
            dsk_copy(node, extra);
            if (!(node->propty & NODE_PROPTY_ADD_SECURE))
                return 0;
            if (extra != nullptr && extra->keys_valid) {
                node->s2_keys_valid = 1;
                node->s2_grnt_keys = extra->grnt_keys;
            }
            return zwnode_if_create(&node->ep, sec, sec_cnt);
        }
        // Changed classes: the node is rebuilt in place, so that what hangs
        // on it (its queued commands, polls, timers, the application's user
        // data) survives; only its endpoints and interfaces are made anew.
        kept_propty = node->propty;
        kept_keys_valid = node->s2_keys_valid;
        kept_keys = node->s2_grnt_keys;
        zwnode_ep_rm_all(node);
        node->propty &= static_cast<uint8_t>(~sec_flags_low);
        rebuilt = true;
    } else {
        node = zwnode_create(net, info->node_id);
        if (node == nullptr)
            return ZW_ERR_MEMORY;
    }
    node->basic = info->basic;
    node->ep.generic = info->gen;
    node->ep.specific = info->spec;
    node->sensor = info->sensor;
    node->listen = info->listen;
    if (root_if_create(node, list) != 0)
        return ZW_ERR_MEMORY;
    dsk_copy(node, extra);
    if (extra != nullptr && extra->keys_valid) {
        node->s2_keys_valid = 1;
        node->s2_grnt_keys = extra->grnt_keys;
    } else if (net->feature & 0x01) {
        node->s2_keys_valid = 1;
        node->s2_grnt_keys = info->rsvd;
    } else if (rebuilt) {
        node->s2_keys_valid = kept_keys_valid;
        node->s2_grnt_keys = kept_keys;
    }
    if (rebuilt && (kept_propty & (NODE_PROPTY_ADD_SECURE | NODE_PROPTY_ADD_INSECURE)))
        node->propty = static_cast<uint8_t>((node->propty & 0xF0) | (kept_propty & sec_flags_low));
    else
        zwnet_node_sec_cc_set(node, list.data(), cnt, sec_cnt);
    int rc = 0;
    if (node->propty & NODE_PROPTY_ADD_SECURE)
        rc = zwnode_if_create(&node->ep, sec, sec_cnt);
    zwnet_node_flags_updt(node);
    return rc;
}
