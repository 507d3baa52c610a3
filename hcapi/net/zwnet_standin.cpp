// Stand-ins for the node-list and interview machines while they are built:
// the interview ends a walk at once, and node information makes the root
// endpoint's interfaces from the unsecure class list.
#include "hcapi/core/zwnet_cb.h"
#include "hcapi/net/zwnet_ndb.h"
#include "hcapi/net/zwnet_ni.h"

int zwnet_node_info_sm(zwnet_p net, int evt, void *data)
{
    if (net == nullptr || (evt != ZWNET_NI_EVT_START && evt != ZWNET_NI_EVT_START_DSK) || data == nullptr)
        return 0;
    const auto *p = static_cast<const zwnet_ni_param_t *>(data);
    if (p->cnt == 0 || p->node_id == nullptr)
        return 0;
    net->curr_op = ZWNET_OP_NONE;
    if (p->cmplt_cb != nullptr)
        p->cmplt_cb(net, p->node_id[0]);
    zwnet_notify(net, p->op, ZWNET_OP_STS_DONE, nullptr);
    return 1;
}

int zwnode_info_apply(zwnet_p net, const appl_node_info_t *info, const zwnode_incl_extra_t *)
{
    if (net == nullptr || info == nullptr || info->node_id == 0 || info->node_id > 232)
        return ZW_ERR_VALUE;
    zwnet_lock lk(net);
    zwnode_p node = zwnode_find(&net->ctl, info->node_id);
    if (node == nullptr && (node = zwnode_create(net, info->node_id)) == nullptr)
        return ZW_ERR_MEMORY;
    node->basic = info->basic;
    node->ep.generic = info->gen;
    node->ep.specific = info->spec;
    auto add = [&](uint16_t cls) {
        if (zwif_find_cls(node->ep.intf, cls) != nullptr)
            return true;
        zwif_p intf = zwif_create(cls, 1, 2);
        if (intf != nullptr && zwif_attach(&node->ep, intf))
            return true;
        zwif_dat_free(intf);
        return false;
    };
    if (!add(COMMAND_CLASS_BASIC))
        return ZW_ERR_MEMORY;
    for (uint8_t i = 0; i < info->cmd_cnt && info->cmd_cls != nullptr; ++i)
        if (!add(info->cmd_cls[i]))
            return ZW_ERR_MEMORY;
    return 0;
}
