// The network change machine (operation 15).
#include "hcapi/net/zwnet_nwchg.h"

#include "hcapi/core/zwnet_cb.h"
#include "hcapi/net/zwnet_ctlr.h"
#include "hcapi/net/zwnet_init_sm.h"
#include "hcapi/net/zwnet_ndb.h"
#include "hcapi/net/zwnet_ni.h"
#include "hcapi/net/zwnet_ops.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

enum : uint32_t {
    st_idle = 0,
    st_deferred = 1,
    st_ctlr_info = 2,
    st_addr = 3,
    st_interview = 4,
};
constexpr uint8_t op_low_priority = ZWNET_OP_NODE_CACHE_UPT;  // gives way to a network change
constexpr uint8_t bitmap_max = 29;
constexpr uint16_t info_tries = 2;

bool busy(int rc) { return rc == -105 || rc == -115; }

void tmout_cb(void *data);
void retry_cb(void *data);

void tmr_arm(zwnet_p net, uint32_t ms, plt_tmr_fn cb)
{
    plt_tmr_stop(&net->plt, net->nw_chg_tmr);
    net->nw_chg_tmr = plt_tmr_start(&net->plt, ms, cb, net);
}

void tmr_stop(zwnet_p net)
{
    plt_tmr_stop(&net->plt, net->nw_chg_tmr);
    net->nw_chg_tmr = 0;
}

void expiry(void *data, int evt)
{
    auto *net = static_cast<zwnet_p>(data);
    zwnet_lock lk(net);
    if (!plt_tmr_cb_current(&net->plt))
        return;
    net->nw_chg_tmr = 0;
    zwnet_nw_change_sm(net, evt, nullptr);
}
void tmout_cb(void *data) { expiry(data, ZWNET_NWCHG_EVT_TMOUT); }
void retry_cb(void *data) { expiry(data, ZWNET_NWCHG_EVT_RETRY); }

void cls_show(plt_tmr_ctx *plt, const char *title, const uint16_t *cls, uint8_t cnt)
{
    plt_msg_show(plt, "%s", title);
    std::string line;
    for (uint8_t i = 0; i < cnt; ++i) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "%02X, ", cls[i]);
        line += buf;
    }
    if (!line.empty())
        plt_msg_show(plt, "%s", line.c_str());
}

void node_info_cb(appl_layer_ctx *ctx, const appl_node_info_t *info)
{
    auto *net = static_cast<zwnet_p>(ctx->user);
    if (net == nullptr || info == nullptr)
        return;
    const uint8_t unsec = info->cmd_cls ? info->cmd_cnt : 0;
    const uint8_t sec = info->cmd_cls_ctl ? info->cmd_cnt_ctl : 0;
    cls_show(&net->plt, "unsecure command classes:", info->cmd_cls, unsec);
    cls_show(&net->plt, "secure command classes:", info->cmd_cls_ctl, sec);
    if (unsec == 0 && sec == 0)
        return;
    zwnet_lock lk(net);
    zwnet_nw_change_sm(net, ZWNET_NWCHG_EVT_NODE_INFO, info);
}

int info_request(zwnet_p net)
{
    return zw_request_node_info(net->appl.get(), node_info_cb, net->ctl.nodeid, 1);
}

void start(zwnet_p net, const uint8_t *report);

// Back to idle; a node list that came meanwhile starts the next run.
void to_idle(zwnet_p net)
{
    tmr_stop(net);
    net->nw_chg_state = st_idle;
    if (net->nw_chg_pend) {
        net->nw_chg_pend = 0;
        uint8_t report[1 + bitmap_max];
        report[0] = net->nw_chg_pend_len;
        std::memcpy(report + 1, net->nw_chg_pend_map, net->nw_chg_pend_len);
        start(net, report);
    }
}

void end(zwnet_p net, uint16_t sts)
{
    if (net->curr_op == ZWNET_OP_NW_CHANGED)
        net->curr_op = ZWNET_OP_NONE;
    net->nw_chg_state = st_idle;
    zwnet_notify(net, ZWNET_OP_NW_CHANGED, sts, nullptr);
    to_idle(net);
}

// Sends the controller's node information request, or waits for the
// operation that runs to end.
void start_step(zwnet_p net)
{
    if (net->curr_op != ZWNET_OP_NONE && net->curr_op != op_low_priority) {
        plt_msg_ts_show(&net->plt, "Current operation not completed yet, retrying ...");
        tmr_arm(net, ZWNET_NWCHG_RETRY_MS, retry_cb);
        net->nw_chg_state = st_deferred;
        return;
    }
    // Taken before the request goes out (a low-priority operation is
    // cancelled here), given back when it cannot be sent.
    zwnet_op_begin(net, ZWNET_OP_NW_CHANGED);
    const int rc = info_request(net);
    if (rc != 0)
        zwnet_op_undo(net, ZWNET_OP_NW_CHANGED);
    if (rc == 0) {
        net->nw_chg_state = st_ctlr_info;
        tmr_arm(net, ZWNET_NWCHG_INFO_MS, tmout_cb);
        if (net->nw_chg_retry > 0)
            net->nw_chg_retry--;
    } else if (busy(rc)) {
        plt_msg_ts_show(&net->plt, "Send Z/IP info cache get err, retrying ...");
        tmr_arm(net, ZWNET_NWCHG_RETRY_MS, retry_cb);
        net->nw_chg_state = st_deferred;
    } else {
        plt_msg_ts_show(&net->plt, "zwnet_nw_change_sm: failed to get Z/IP router controller info, err=%d", rc);
        // Never left deferred without a timer: that would ignore every
        // later node list.
        if (net->nw_chg_state != st_idle)
            end(net, ZWNET_OP_STS_FAILED);
        else
            to_idle(net);
    }
}

void start(zwnet_p net, const uint8_t *report)
{
    tmr_stop(net);
    net->nw_chg_retry = info_tries;
    net->nw_chg_cnt = std::min<uint8_t>(report[0], bitmap_max);
    std::memcpy(net->nw_chg_nodes, report + 1, net->nw_chg_cnt);
    start_step(net);
}

void interview_step(zwnet_p net)
{
    uint8_t ids[ZWNET_NODE_ID_MAX];
    uint8_t cnt = 0;
    zwnet_ni_param_t p{};
    p.cmplt_cb = zwnet_sm_nw_chg_cb;
    p.op = ZWNET_OP_NW_CHANGED;
    if (net->nw_chg_incl_ctlr == 1) {
        // Once, when the controller became an inclusion controller: every
        // node that cannot sleep or was never interviewed.
        net->nw_chg_incl_ctlr = 2;
        p.new_node = 1;
        for (zwnode_p n = net->ctl.next; n != nullptr && cnt < ZWNET_NODE_ID_MAX; n = n->next)
            if (n->nodeid != net->ctl.nodeid && (n->ep.intf == nullptr || !n->sleep_cap))
                ids[cnt++] = n->nodeid;
    } else {
        cnt = net->nw_chg_cnt;
        std::memcpy(ids, net->nw_chg_nodes, cnt);
    }
    p.node_id = ids;
    p.cnt = cnt;
    // The interview may end inside its start: the state is set before.
    net->nw_chg_state = st_interview;
    if (cnt == 0 || zwnet_node_info_sm(net, ZWNET_NI_EVT_START, &p) == 0)
        end(net, ZWNET_OP_STS_DONE);
}

void ctlr_info_step(zwnet_p net, const appl_node_info_t *info)
{
    tmr_stop(net);
    if (int rc = zwnet_gw_cc_save(info, net->gw_cc); rc != 0)
        plt_msg_ts_show(&net->plt, "zwnet_nw_change_sm: Save Z/IP gw supported command class error:%d", rc);
    const uint8_t unsec = info->cmd_cls ? info->cmd_cnt : 0;
    const uint8_t sec = info->cmd_cls_ctl ? info->cmd_cnt_ctl : 0;
    net->controller_role = zwnet_ctlr_role_bits_get(info->cmd_cls, unsec, info->cmd_cls_ctl, sec);
    net->zw_role = zwnet_role_get(net->controller_role, net->suc, net->ctl.nodeid);
    if (net->zw_role == 1 && net->nw_chg_incl_ctlr == 0)
        net->nw_chg_incl_ctlr = 1;

    uint8_t added[ZWNET_NODE_ID_MAX];
    uint8_t added_cnt = 0;
    if (int rc = zwnet_node_list_update(net, net->nw_chg_nodes, net->nw_chg_cnt, 1, added, &added_cnt); rc != 0)
        plt_msg_ts_show(&net->plt, "zwnet_node_list_update with error:%d", rc);
    net->nw_chg_cnt = added_cnt;
    std::memcpy(net->nw_chg_nodes, added, added_cnt);

    if (added_cnt > 0) {
        zwnet_n2ip_req_t req{};
        std::memcpy(req.node_id, added, added_cnt);
        req.cnt = added_cnt;
        req.retry_obsolete = 1;
        req.cmplt = zwnet_n2ip_done_cb;
        req.data = ZWNET_OP_NW_CHANGED;
        net->nw_chg_state = st_addr;
        if (int rc = zwnet_n2ip_sm(net, ZWNET_N2IP_EVT_START, &req); rc != 0) {
            plt_msg_ts_show(&net->plt, "zwnet_nw_change_sm resolve node id with error:%d", rc);
            end(net, ZWNET_OP_STS_DONE);
        }
        return;
    }
    if (net->nw_chg_incl_ctlr == 1) {
        net->nw_chg_state = st_addr;
        interview_step(net);
        return;
    }
    end(net, ZWNET_OP_STS_DONE);
}

const char *list_sts_text(uint8_t status)
{
    switch (status) {
    case 0: return "OK";
    case 1: return "No guarantee that returned node list is latest update";
    default: return "unknown";
    }
}

}  // namespace

int zwnet_nw_change_sm(zwnet_p net, int evt, const void *data)
{
    zwnet_lock lk(net);
    if (evt == ZWNET_NWCHG_EVT_NODE_LIST) {
        if (data == nullptr)
            return -1;
        const auto *report = static_cast<const uint8_t *>(data);
        if (net->nw_chg_state != st_idle) {
            // The newest list is what the network is now: keep it for the
            // next run rather than lose the change.
            net->nw_chg_pend = 1;
            net->nw_chg_pend_len = std::min<uint8_t>(report[0], bitmap_max);
            std::memcpy(net->nw_chg_pend_map, report + 1, net->nw_chg_pend_len);
            return 0;
        }
        start(net, report);
        return 0;
    }
    switch (net->nw_chg_state) {
    case st_deferred:
        if (evt == ZWNET_NWCHG_EVT_RETRY)
            start_step(net);
        break;
    case st_ctlr_info:
        if (evt == ZWNET_NWCHG_EVT_TMOUT) {
            if (net->nw_chg_retry > 0) {
                plt_msg_ts_show(&net->plt, "Send Z/IP info cache get retry count = %u", unsigned(net->nw_chg_retry));
                net->nw_chg_retry--;
                const int rc = info_request(net);
                if (rc == 0) {
                    tmr_arm(net, ZWNET_NWCHG_INFO_MS, tmout_cb);
                } else if (busy(rc)) {
                    plt_msg_ts_show(&net->plt, "Send Z/IP info cache get err, retrying ...");
                    tmr_arm(net, ZWNET_NWCHG_INFO_MS, tmout_cb);
                    net->nw_chg_retry++;
                } else {
                    plt_msg_ts_show(&net->plt,
                                    "zwnet_nw_change_sm: failed to get Z/IP router controller info, err=%d", rc);
                    end(net, ZWNET_OP_STS_FAILED);
                }
            } else {
                uint8_t added[ZWNET_NODE_ID_MAX], added_cnt = 0;
                zwnet_node_list_update(net, net->nw_chg_nodes, net->nw_chg_cnt, 1, added, &added_cnt);
                appl_node_sts_set(net->appl.get(), 0, APPL_NODE_STS_DOWN, 1);
                end(net, ZWNET_OP_STS_DONE);
            }
        } else if (evt == ZWNET_NWCHG_EVT_NODE_INFO && data != nullptr) {
            ctlr_info_step(net, static_cast<const appl_node_info_t *>(data));
        }
        break;
    case st_addr:
        if (evt == ZWNET_NWCHG_EVT_ADDR_DONE) {
            const uint8_t sts = data ? *static_cast<const uint8_t *>(data) : 1;
            if (sts == 0)
                interview_step(net);
            else
                end(net, ZWNET_OP_STS_FAILED);
        }
        break;
    case st_interview:
        if (evt == ZWNET_NWCHG_EVT_INTV_DONE) {
            // The interview notified operation 15 itself.
            if (net->curr_op == ZWNET_OP_NW_CHANGED)
                net->curr_op = ZWNET_OP_NONE;
            net->nw_chg_state = st_idle;
            to_idle(net);
        }
        break;
    default:
        break;
    }
    return -1;
}

void zwnet_nw_change_stop(zwnet_p net)
{
    zwnet_lock lk(net);
    tmr_stop(net);
    net->nw_chg_state = st_idle;
    net->nw_chg_pend = 0;
}

int zwnet_nw_change_sm_sink(zwnet_p net, int evt, const void *data) { return zwnet_nw_change_sm(net, evt, data); }

void zwnet_unsolic_node_list_cb(appl_layer_ctx *ctx, uint8_t status, uint8_t suc_id, const uint8_t *bitmap,
                                uint8_t len)
{
    auto *net = static_cast<zwnet_p>(ctx->user);
    if (net == nullptr)
        return;
    len = std::min<uint8_t>(len, bitmap_max);
    if (bitmap == nullptr)
        len = 0;
    plt_msg_ts_show(&net->plt, "Unsolicited node list status:%u(%s), suc:%u", status, list_sts_text(status), suc_id);
    uint8_t report[1 + bitmap_max]{};
    report[0] = len;
    if (len > 0)
        std::memcpy(report + 1, bitmap, len);
    zwnet_lock lk(net);
    net->suc = suc_id;
    zwnet_nw_change_sm(net, ZWNET_NWCHG_EVT_NODE_LIST, report);
}
