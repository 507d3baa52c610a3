// The poll form of the get calls: the Get of the interface, handed to the
// report poll facility, which sends it now and then every interval.
#include "hcapi/core/zwfac.h"
#include "hcapi/core/zwrec.h"
#include "hcapi/core/zwsend.h"
#include "hcapi/include/zwif.h"

#include <cstring>

static_assert(ZWPOLL_CMD_MAX >= 3 + ZWIF_GET_PARAM_MAX, "a poll request holds the longest Get");

int zwif_get_report_poll(const zwif_desc_t *intf, const uint8_t *param, uint8_t param_len, uint8_t get_cmd,
                         zwpoll_req_t *poll_req)
{
    if (intf == nullptr || intf->net == nullptr || poll_req == nullptr || (param == nullptr && param_len != 0))
        return ZW_ERR_VALUE;
    if (param_len > ZWIF_GET_PARAM_MAX)
        return ZW_ERR_MEMORY;
    zwnet_p net = intf->net;
    zwpoll_add_req_t req;
    {
        zwnet_lock lk(net);
        zwnode_p node = zwnode_find(&net->ctl, intf->nodeid);
        if (node == nullptr)
            return ZW_ERR_NODE_NOT_FOUND;
        req.slp_node = node->enable_cmd_q != 0;
    }
    if (intf->cls > 0xFF)
        req.cmd[req.len++] = static_cast<uint8_t>(intf->cls >> 8);
    req.cmd[req.len++] = static_cast<uint8_t>(intf->cls);
    req.cmd[req.len++] = get_cmd;
    if (param_len != 0)
        std::memcpy(req.cmd + req.len, param, param_len);
    req.len = static_cast<uint8_t>(req.len + param_len);
    req.intf = *intf;
    req.key = poll_req->key;
    req.intv = poll_req->interval != 0 ? uint32_t{poll_req->interval} * 2 : 20;
    req.rpt_cnt = poll_req->poll_cnt;
    req.cb = poll_req->cb;
    req.user = poll_req->user;
    uint16_t handle = 0;
    const int rc = zwpoll_add(net, &req, &handle);
    if (rc != 0) {
        plt_msg_ts_show(&net->plt, "zwif_get_report_poll with error:%d", rc);
        return rc;
    }
    poll_req->handle = handle;
    return 0;
}

