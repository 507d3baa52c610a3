// Stand-in for the node database update while it is built: node
// information makes the root endpoint's interfaces from the unsecure class
// list.
#include "hcapi/core/zwnet_cb.h"
#include "hcapi/net/zwnet_ndb.h"

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
