// The callback queue: what producers post for the callback thread.
#include "hcapi/core/zwnet_cb.h"

void zwnet_cb_post(zwnet_p net, const zwnet_cb_msg_t *msg)
{
    if (net == nullptr || msg == nullptr || net->cb_mtx == nullptr)
        return;
    if (util_lst_add(net->cb_mtx, &net->cb_lst, msg, sizeof *msg) == 0)
        plt_sem_post(net->cb_sem);
}

void zwnet_notify(zwnet_p net, uint8_t op, uint16_t sts, const zwnet_op_info_t *info)
{
    if (net == nullptr || net->init.notify == nullptr)
        return;
    zwnet_cb_msg_t msg;
    msg.cb = reinterpret_cast<void (*)()>(net->init.notify);
    msg.type = ZWNET_CB_OP_NOTIFY;
    msg.body.notify.user = net->init.user;
    msg.body.notify.op = op;
    msg.body.notify.sts = sts;
    if (info != nullptr) {
        msg.body.notify.has_info = 1;
        msg.body.notify.info = *info;
    }
    zwnet_cb_post(net, &msg);
}

void zwnet_node_sts_notify(zwnet_p net, uint8_t node_id, uint32_t sts)
{
    if (net == nullptr || net->init.node == nullptr || !net->node_sts_ena)
        return;
    zwnet_cb_msg_t msg;
    msg.cb = reinterpret_cast<void (*)()>(net->init.node);
    msg.type = ZWNET_CB_NODE_STS;
    msg.body.node_sts.user = net->init.user;
    msg.body.node_sts.sts = sts;
    msg.body.node_sts.node_id = node_id;
    zwnet_cb_post(net, &msg);
}

void zwnet_node_sts_cb(appl_layer_ctx *ctx, uint8_t node_id, uint8_t status)
{
    auto *net = ctx ? static_cast<zwnet_p>(ctx->user) : nullptr;
    if (net != nullptr && net->init.node != nullptr)
        zwnet_node_sts_notify(net, node_id, static_cast<uint32_t>(status) + 3);
}
