#include "daemon/zwp_hcapi.h"

#include "hcapi/zip/zip_addr.h"
#include "hcapi/zip/zip_discvr.h"

int zwp_hcapi_net_desc_get(zwnet_p net, zwp_hcapi_net_desc_t *desc)
{
    if (!net || !desc)
        return ZW_ERR_NET_NOT_FOUND;
    // The controller is the first node, once the library knows it; its
    // identity beyond the node id (home id, roles) comes with the library's
    // controller information.
    *desc = {};
    zwnode_desc_t ctl{};
    if (zwnet_get_node(net, &ctl) == 0)
        desc->ctl_id = ctl.nodeid;
    return 0;
}

uint8_t zwp_hcapi_node_sts_get(zwnet_p net, uint8_t node_id)
{
    if (!net || node_id == 0 || node_id > 232)
        return 1;
    return 0;
}

void *zwp_hcapi_gw_discvr_start(zwp_hcapi_discvr_cb_t cb, void *user, int ipv4, int mdns)
{
    // The probe discovery; mDNS browsing reaches the daemon with the
    // library's own discovery call.
    if (mdns)
        return nullptr;
    return zip_gw_discvr_start(cb, user, ipv4);
}

void zwp_hcapi_gw_discvr_stop(void *handle)
{
    if (handle)
        zip_gw_discvr_stop(static_cast<zip_gw_discvr_t *>(handle));
}

int zwp_hcapi_local_addr_for_peer(zwnet_p net, const uint8_t *peer, uint8_t *local, int ipv4)
{
    if (!net || !peer || !local)
        return ZW_ERR_VALUE;
    return util_local_addr_get(peer, local, ipv4) == 0 ? 0 : ZW_ERR_FAILED;
}

int zwp_hcapi_gw_unsolic_set(const zwif_desc_t *intf, const uint8_t *addr, uint16_t)
{
    if (!intf || !addr)
        return ZW_ERR_VALUE;
    return intf->cls == 0x5F ? ZW_ERR_UNSUPPORTED : ZW_ERR_CLASS_NOT_FOUND;
}

int zwp_hcapi_poll_rm(zwnet_p net, uint16_t) { return net ? ZW_ERR_UNSUPPORTED : ZW_ERR_NET_NOT_FOUND; }

int zwp_hcapi_poll_rm_key(zwnet_p net, uint32_t) { return net ? ZW_ERR_UNSUPPORTED : ZW_ERR_NET_NOT_FOUND; }
