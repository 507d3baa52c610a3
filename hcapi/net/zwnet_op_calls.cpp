// The public calls that start an operation: node update, network update,
// reset, controller change and node-information sending. Each takes the
// operation with the one-operation rule before it sends anything and gives
// it back when its first step fails.
#include "hcapi/core/zwnet_cb.h"
#include "hcapi/net/zwnet_ctlr.h"
#include "hcapi/net/zwnet_ndb.h"
#include "hcapi/net/zwnet_ni.h"
#include "hcapi/net/zwnet_ops.h"

#include <cstdio>

namespace {

constexpr uint8_t tx_opt_explore = 0x20;  // explore frames
constexpr uint8_t migrate_mode = 0x02;

const char *migrate_sts_text(uint8_t sts)
{
    switch (sts) {
    case 6: return "OK";
    case 7: return "Failed";
    case 9: return "Migrated but insecure";
    default: return "unknown";
    }
}

// The new controller's address is known: the operation ends with it.
void migrate_addr_done(zwnet_p net, uint8_t status, const uint64_t *)
{
    zwnet_lock lk(net);
    if (net->curr_op != ZWNET_OP_MIGRATE)
        return;
    net->curr_op = ZWNET_OP_NONE;
    zwnet_notify(net, ZWNET_OP_MIGRATE, status == 0 ? ZWNET_OP_STS_DONE : ZWNET_OP_STS_FAILED, nullptr);
}

void zwnet_migrate_cb(appl_layer_ctx *ctx, const appl_node_info_t *info)
{
    auto *net = static_cast<zwnet_p>(ctx->user);
    if (net == nullptr || info == nullptr)
        return;
    plt_tmr_ctx *plt = &net->plt;
    plt_msg_ts_show(plt, "zwnet_migrate_cb: status:%u (%s)", info->status, migrate_sts_text(info->status));
    zwnet_lock lk(net);
    if (net->curr_op != ZWNET_OP_MIGRATE)
        return;
    const bool ok = info->status == 6 || info->status == 9;
    // A node id outside the network's range cannot be a new controller.
    if (!ok || info->node_id == 0 || info->node_id > ZWNET_NODE_ID_MAX) {
        zwnet_op_clr(net);
        zwnet_notify(net, ZWNET_OP_MIGRATE, ZWNET_OP_STS_FAILED, nullptr);
        net->curr_op = ZWNET_OP_NONE;
        return;
    }
    zwnet_new_node_show(plt, *info);
    zwnode_info_apply(net, info, nullptr);
    if (zwnode_find(&net->ctl, info->node_id) != nullptr)
        zwnet_node_sts_notify(net, info->node_id, ZWNET_NODE_ADDED);
    zwnet_notify(net, ZWNET_OP_MIGRATE, 1, nullptr);
    zwnet_n2ip_req_t req{};
    req.node_id[0] = info->node_id;
    req.cnt = 1;
    req.cmplt = migrate_addr_done;
    req.data = ZWNET_OP_MIGRATE;
    if (zwnet_n2ip_sm(net, ZWNET_N2IP_EVT_START, &req) != 0) {
        zwnet_op_clr(net);
        net->curr_op = ZWNET_OP_NONE;
        zwnet_notify(net, ZWNET_OP_MIGRATE, ZWNET_OP_STS_FAILED, nullptr);
    }
}

void zwnet_send_nif_cb(appl_layer_ctx *ctx, int status, void *, uint8_t)
{
    auto *net = static_cast<zwnet_p>(ctx->user);
    if (net == nullptr)
        return;
    if (status != 0)
        plt_msg_ts_show(&net->plt, "zwnet_send_nif_cb with error:%u", zwif_tx_sts_map(status));
    {
        zwnet_lock lk(net);
        // Another operation may have replaced this one meanwhile (an abort
        // ended it): its end is not ours to report.
        if (net->curr_op != ZWNET_OP_SEND_NIF)
            return;
    }
    zwnet_abort(net);
    zwnet_notify(net, ZWNET_OP_SEND_NIF, status == 0 ? ZWNET_OP_STS_DONE : ZWNET_OP_STS_FAILED, nullptr);
}

}  // namespace

int zwnode_update(const zwnode_desc_t *node)
{
    if (node == nullptr || node->net == nullptr)
        return ZW_ERR_VALUE;
    zwnet_p net = node->net;
    zwnet_lock lk(net);
    if (zwnode_rec_get(node) == nullptr)
        return ZW_ERR_NODE_NOT_FOUND;
    if (node->nodeid == net->ctl.nodeid)
        return ZW_ERR_UNSUPPORTED;
    const int rc = zwnet_op_begin(net, ZWNET_OP_NODE_UPDATE);
    if (rc != 0)
        return rc;
    const uint8_t id = node->nodeid;
    zwnet_ni_param_t p{};
    p.node_id = &id;
    p.cnt = 1;
    p.op = ZWNET_OP_NODE_UPDATE;
    if (zwnet_node_info_sm(net, ZWNET_NI_EVT_START, &p) == 0) {
        plt_msg_ts_show(&net->plt, "zwnode_update failed");
        zwnet_op_undo(net, ZWNET_OP_NODE_UPDATE);
        return ZW_ERR_OP_FAILED;
    }
    return 0;
}

int zwnet_update(zwnet_p net)
{
    if (net == nullptr)
        return ZW_ERR_VALUE;
    zwnet_lock lk(net);
    const int rc = zwnet_op_begin(net, ZWNET_OP_UPDATE);
    if (rc != 0)
        return rc;
    if (zwnet_updt_sm_sink(net, 2, nullptr) != 0) {
        plt_msg_ts_show(&net->plt, "zwnet_update failed");
        zwnet_op_undo(net, ZWNET_OP_UPDATE);
        return ZW_ERR_OP_FAILED;
    }
    return 0;
}

int zwnet_reset(zwnet_p net)
{
    if (net == nullptr)
        return ZW_ERR_VALUE;
    zwnet_lock lk(net);
    const int rc = zwnet_op_begin(net, ZWNET_OP_RESET);
    if (rc != 0)
        return rc;
    // The node in the controller's lifeline hears of the reset first.
    const uint8_t tell = !net->grps.empty() && net->grps.front().member != 0 && net->zw_role != 4 ? 1 : 0;
    if (zwnet_rst_sm_sink(net, 1, &tell) != 0) {
        plt_msg_ts_show(&net->plt, "Fail to reset controller");
        zwnet_op_undo(net, ZWNET_OP_RESET);
        return ZW_ERR_OP_FAILED;
    }
    return 0;
}

int zwnet_migrate(zwnet_p net)
{
    if (net == nullptr)
        return ZW_ERR_VALUE;
    {
        zwnet_lock lk(net);
        if (!(net->controller_role & 0x04))
            return ZW_ERR_UNSUPPORTED;
    }
    const int rc = zwnet_op_begin(net, ZWNET_OP_MIGRATE);
    if (rc != 0)
        return rc;
    int snd = 0;
    zwnet_app_call(net, [&] {
        snd = zw_controller_change(net->appl.get(), zwnet_migrate_cb, migrate_mode, tx_opt_explore);
    });
    if (snd != 0) {
        plt_msg_ts_show(&net->plt, "zwnet_migrate with error:%d", snd);
        zwnet_op_undo(net, ZWNET_OP_MIGRATE);
        return ZW_ERR_OP_FAILED;
    }
    return 0;
}

int zwnet_send_nif(zwnet_p net, const zwnode_desc_t *node, uint8_t broadcast)
{
    if (net == nullptr || (!broadcast && node == nullptr))
        return ZW_ERR_VALUE;
    const int rc = zwnet_op_begin(net, ZWNET_OP_SEND_NIF);
    if (rc != 0)
        return rc;
    zw_nif_snd_param_t prm{};
    prm.snd_dst = 0;
    prm.dst_node = broadcast ? 0xFF : node->nodeid;
    prm.tx_opt = static_cast<uint8_t>(tx_opt_explore | (broadcast ? 0x00 : 0x01));
    prm.cb = zwnet_send_nif_cb;
    int snd = 0;
    zwnet_app_call(net, [&] { snd = zw_send_node_info(net->appl.get(), &prm); });
    if (snd != 0)
        zwnet_op_undo(net, ZWNET_OP_SEND_NIF);
    return snd;
}

