// The callback thread: it empties the callback queue and calls the
// application, and runs the library's own follow-ups of what it delivered.
#include "hcapi/net/zwnet_cb_thrd.h"

#include "hcapi/core/zwif_rpt.h"
#include "hcapi/core/zwif_ctl_data.h"
#include "hcapi/core/zwif_rpt_mgmt.h"
#include "hcapi/core/zwif_rpt_sw.h"
#include "hcapi/core/zwnet_cb.h"
#include "hcapi/net/zwnet_ni.h"

#include <cstring>

namespace {

template <class F>
F fn_of(const zwnet_cb_msg_t &msg)
{
    return reinterpret_cast<F>(msg.cb);
}

void notify_dispatch(zwnet_p net, const zwnet_cb_msg_t &msg)
{
    const auto &n = msg.body.notify;
    if (n.op == ZWNET_OP_INITIALIZE && n.sts == ZWNET_OP_STS_DONE)
        plt_sleep(10);
    if (n.op == ZWNET_OP_SLEEP_NODE_UPT && n.sts == ZWNET_OP_STS_DONE) {
        zwnwsave_dirty_set(net->nw_save_ctx);
        return;
    }
    auto cb = fn_of<zwnet_notify_fn>(msg);
    if (cb != nullptr)
        zwnet_app_call(net, [&] { cb(n.user, n.op, n.sts, n.has_info ? &n.info : nullptr); });
    if (!net->cb_thrd.run)
        return;  // exiting: the facilities are going away
    if (n.sts == ZWNET_OP_STS_DONE) {
        switch (n.op) {
        case ZWNET_OP_ADD_NODE:
        case ZWNET_OP_RM_NODE:
        case ZWNET_OP_RP_NODE:
        case ZWNET_OP_RM_FAILED_ID:
        case ZWNET_OP_INITIATE:
        case ZWNET_OP_UPDATE:
        case ZWNET_OP_RESET:
        case ZWNET_OP_MIGRATE:
        case ZWNET_OP_NODE_UPDATE:
        case ZWNET_OP_NW_CHANGED: zwnwsave_dirty_set(net->nw_save_ctx); break;
        default: break;
        }
        switch (n.op) {
        case ZWNET_OP_INITIALIZE:
        case ZWNET_OP_INITIATE:
        case ZWNET_OP_UPDATE:
        case ZWNET_OP_NW_CHANGED:
            zwdpoll_node_add_all(net->dpoll_ctx);
            if (net->wupoll_ctx != nullptr)
                zwwupoll_node_add_all(net->wupoll_ctx);
            zwnspoll_node_add_all(net->nspoll_ctx);
            break;
        default: break;
        }
        return;
    }
    // Initialisation progress "all nodes done" (high byte == low byte).
    if (n.op == ZWNET_OP_INITIALIZE && (n.sts >> 8) != 0 && (n.sts >> 8) == (n.sts & 0xFF))
        zwnwsave_dirty_set(net->nw_save_ctx);
}

void node_sts_dispatch(zwnet_p net, const zwnet_cb_msg_t &msg)
{
    const auto &s = msg.body.node_sts;
    auto cb = fn_of<zwnet_node_fn>(msg);
    zwnode_desc_t desc{};
    if (s.sts == ZWNET_NODE_REMOVED) {
        desc.nodeid = s.node_id;
        desc.net = net;
        if (cb != nullptr)
            zwnet_app_call(net, [&] { cb(s.user, &desc, s.sts); });
        if (!net->cb_thrd.run)
            return;
        zwdpoll_node_rm(net->dpoll_ctx, &desc);
        zwspoll_node_rm(net->spoll_ctx, s.node_id);
        zwspv_node_cancel(net->spv_ctx, s.node_id);
        if (net->wupoll_ctx != nullptr)
            zwwupoll_node_rm(net->wupoll_ctx, s.node_id);
        zwevtgen_node_rm(net->evtgen_ctx, s.node_id);
        zwnspoll_node_rm(net->nspoll_ctx, s.node_id);
        appl_seq_node_free(net->appl.get(), s.node_id);
        return;
    }
    bool found = false;
    {
        zwnet_lock lk(net);
        zwnode_p node = zwnode_find(&net->ctl, s.node_id);
        found = node != nullptr && zwnode_desc_fill(&desc, node) == 0;
    }
    if (found && cb != nullptr)
        zwnet_app_call(net, [&] { cb(s.user, &desc, s.sts); });
}

void s2_dispatch(zwnet_p net, const zwnet_cb_msg_t &msg)
{
    auto cb = fn_of<zwnet_sec2_fn>(msg);
    if (cb == nullptr)
        return;
    zwnet_sec2_cb_data_t data{};
    void *user;
    if (msg.type == ZWNET_CB_S2_DSK) {
        user = msg.body.s2_dsk.user;
        data.cb_type = ZWNET_SEC2_CB_DSK_REQ;
        data.dsk_req.pin_required = msg.body.s2_dsk.pin_required;
        data.dsk_req.dsk = msg.body.s2_dsk.dsk;
    } else {
        user = msg.body.s2_keys.user;
        data.cb_type = ZWNET_SEC2_CB_KEY_REQ;
        data.key_req.req_keys = static_cast<uint8_t>(msg.body.s2_keys.keys);
        data.key_req.req_csa = static_cast<uint8_t>(msg.body.s2_keys.keys >> 8);
        // The first characters of the gateway's own DSK, which the
        // inclusion keeps in the network, join here with Security 2.
    }
    zwnet_app_call(net, [&] { cb(user, &data); });
}

void cached_rpt_dispatch(zwnet_p net, const zwnet_cb_msg_t *msg)
{
    const auto &b = msg->body.rpt;
    zwif_cached_rpt_deliver(net, &b.intf, msg->cb, b.rpt, b.cnt < ZWNET_CB_RPT_VAL_MAX ? b.cnt : ZWNET_CB_RPT_VAL_MAX,
                            b.val);
}

// Capability data from the interface's supported information (type 1) and
// from the node's device record (type 2), by data kind; each family of
// classes delivers its own kinds.
void data_dispatch(zwnet_p net, const zwnet_cb_msg_t *msg)
{
    const auto &b = msg->body.data;
    if (zwif_sw_data_deliver(net, &b.intf, msg->cb, b.kind, b.arg))
        return;
    if (zwif_ctl_data_deliver(net, &b.intf, msg->cb, b.kind, b.arg))
        return;
    zwif_mgmt_data_deliver(net, &b.intf, msg->cb, b.kind, b.arg);
}

void dev_rec_dispatch(zwnet_p net, const zwnet_cb_msg_t *msg)
{
    const auto &b = msg->body.dev_rec;
    if (zwif_sw_dev_rec_deliver(net, &b.intf, msg->cb, b.kind, b.arg, b.if_type))
        return;
}

// The endpoint interview consumes its events here.
void ep_sm_evt_dispatch(zwnet_p net, const zwnet_cb_msg_t *msg)
{
    zwnet_ep_sm_evt(net, &msg->body.ep_sm.intf, msg->body.ep_sm.evt);
}

// A delivered set (or a generated event) as if the device had reported it.
void rpt_replay_dispatch(zwnet_p net, const zwnet_cb_msg_t *msg)
{
    const auto &b = msg->body.replay;
    if (b.len > sizeof b.frame)
        return;
    zwnet_lock lk(net);
    zwif_report_dispatch(zwif_rec_get(&b.intf), b.frame, b.len);
}

void dispatch(zwnet_p net, const zwnet_cb_msg_t &msg)
{
    switch (msg.type) {
    case ZWNET_CB_RPT: cached_rpt_dispatch(net, &msg); break;
    case ZWNET_CB_DATA: data_dispatch(net, &msg); break;
    case ZWNET_CB_DEV_REC: dev_rec_dispatch(net, &msg); break;
    case ZWNET_CB_OP_NOTIFY: notify_dispatch(net, msg); break;
    case ZWNET_CB_NODE_STS: node_sts_dispatch(net, msg); break;
    case ZWNET_CB_EP_SM_EVT: ep_sm_evt_dispatch(net, &msg); break;
    case ZWNET_CB_S2_DSK:
    case ZWNET_CB_S2_KEYS: s2_dispatch(net, msg); break;
    case ZWNET_CB_DSK_TEXT: {
        auto cb = fn_of<void (*)(void *, char *)>(msg);
        if (cb != nullptr) {
            zwnet_cb_msg_t copy = msg;
            zwnet_app_call(net, [&] { cb(copy.body.dsk_text.user, copy.body.dsk_text.dsk); });
        }
        break;
    }
    case ZWNET_CB_FAC_RESULT: {
        auto cb = fn_of<zwfac_result_fn>(msg);
        const auto &f = msg.body.fac;
        if (cb != nullptr)
            zwnet_app_call(net, [&] { cb(net, f.intf.nodeid, f.intf.epid, f.intf.cls, f.user, f.sts); });
        break;
    }
    case ZWNET_CB_RPT_REPLAY: rpt_replay_dispatch(net, &msg); break;
    default: break;  // unknown: dropped
    }
}

}  // namespace

void zwnet_cb_thrd(zwnet_p net)
{
    plt_thrd_name_set("zwnet_cb");
    while (plt_sem_wait(net->cb_sem) == 0 && net->cb_thrd.run) {
        for (;;) {
            util_lst_t *item = util_lst_get(net->cb_mtx, &net->cb_lst);
            if (item == nullptr)
                break;
            if (!net->cb_thrd.run) {
                util_lst_free(item);
                break;
            }
            zwnet_cb_msg_t msg;
            std::memcpy(&msg, util_lst_item(item), sizeof msg);
            util_lst_free(item);
            dispatch(net, msg);
            if (!net->cb_thrd.run)
                break;
        }
    }
}
