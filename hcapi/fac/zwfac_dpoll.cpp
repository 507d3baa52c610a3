// Device poll: when a sleeping node wakes up, what the library knows of it
// is refreshed by the single-endpoint interview over each of its endpoints,
// as the low-priority network operation 16. A wake-up that comes while
// another operation runs waits in the wake-up queue; one that comes while
// operation 16 does something else cancels that.
//
// The state is shared by the worker and the interview's completion, which
// runs on the network layer's threads: it lives under the network mutex.
// Nodes that are not sleep capable are accepted and left alone.
#include "hcapi/fac/zwfac_int.h"

#include <algorithm>
#include <deque>

namespace {

enum : uint8_t { ACT_IDLE = 0, ACT_WKUP = 1 };
enum : uint32_t { MSG_ADD = 0, MSG_RM = 1, MSG_FLUSH = 2, MSG_WKUP = 3, MSG_DONE = 4 };

struct msg_t {
    uint32_t kind;
    uint8_t node_id;
    uint8_t sleep_cap;
};

struct dpoll_t {
    zwfac_ctx_t *ctx{nullptr};
    zwnet_p net{nullptr};
    std::atomic<zwdpoll_ep_sm_fn> ep_sm{nullptr};
    std::atomic<zwdpoll_abort_fn> abort{nullptr};
    // Under the network mutex:
    std::deque<uint8_t> wkup_q;
    uint8_t activity{ACT_IDLE};
    uint8_t cur_node{0};
    uint8_t cur_ep{0};

    void on_tick(uint32_t now);
    void on_msg(uint32_t kind, const uint8_t *msg, uint8_t len, uint32_t now);

    bool next();
    void on_wkup(uint8_t node_id);
};

dpoll_t *dpoll_of(zwnet_p net) { return net != nullptr ? fac_state<dpoll_t>(net->dpoll_ctx) : nullptr; }

// Takes the first node of the wake-up queue while the network is idle (network mutex held).
bool dpoll_t::next()
{
    while (!wkup_q.empty() && net->curr_op == ZWNET_OP_NONE) {
        const uint8_t id = wkup_q.front();
        wkup_q.pop_front();
        const int rc = zwdpoll_node_updt_sm_start(net, id);
        if (rc == 0) {
            activity = ACT_WKUP;
            return true;
        }
        plt_msg_ts_show(&net->plt, "zwdpoll_node_updt_sm_start failed: %d", rc);
    }
    return false;
}

void dpoll_t::on_wkup(uint8_t node_id)
{
    int rc;
    if (net->curr_op == ZWNET_OP_NONE) {
        rc = zwdpoll_node_updt_sm_start(net, node_id);
    } else if (net->curr_op == ZWNET_OP_NODE_CACHE_UPT && activity != ACT_WKUP) {
        if (zwdpoll_abort_fn fn = abort.load())
            fn(net);
        net->curr_op = ZWNET_OP_NONE;
        plt_msg_ts_show(&net->plt, "Wake up, cancelled lower priority polling!");
        rc = zwdpoll_node_updt_sm_start(net, node_id);
    } else {
        if (std::find(wkup_q.begin(), wkup_q.end(), node_id) == wkup_q.end())
            wkup_q.push_back(node_id);
        plt_msg_ts_show(&net->plt, "Wake up, queued for polling!");
        return;
    }
    if (rc == 0)
        activity = ACT_WKUP;
    else
        plt_msg_ts_show(&net->plt, "zwdpoll_node_updt_sm_start failed: %d", rc);
}

void dpoll_t::on_tick(uint32_t)
{
    zwnet_lock lk(net);
    // With nodes waiting every tick, else every second one.
    if (!wkup_q.empty() || (fac_now(ctx) & 1) == 0)
        next();
}

void dpoll_t::on_msg(uint32_t, const uint8_t *bytes, uint8_t len, uint32_t)
{
    zwnet_lock lk(net);
    msg_t m;
    if (!fac_msg_get(bytes, len, &m))
        return;
    switch (m.kind) {
    case MSG_RM: wkup_q.erase(std::remove(wkup_q.begin(), wkup_q.end(), m.node_id), wkup_q.end()); break;
    case MSG_FLUSH: wkup_q.clear(); break;
    case MSG_WKUP:
        if (m.sleep_cap)
            on_wkup(m.node_id);
        break;
    case MSG_DONE:
        if (!next())
            activity = ACT_IDLE;
        break;
    default: break;  // MSG_ADD: nodes that do not sleep are not polled
    }
}

void post(zwdpoll_ctx_t *ctx, uint32_t kind, const zwnode_desc_t *node)
{
    if (node != nullptr)
        fac_msg_post(ctx, msg_t{kind, node->nodeid, node->sleep_cap});
}

// Starts the interview of the first endpoint from `ep_id` on that accepts
// (network mutex held): 1, or 0 when none is left.
int ep_sm_from(dpoll_t *s, zwnode_p node, bool first)
{
    zwdpoll_ep_sm_fn fn = s->ep_sm.load();
    for (zwep_p ep = &node->ep; ep != nullptr; ep = ep->next) {
        if (first ? ep->epid < s->cur_ep : ep->epid <= s->cur_ep)
            continue;
        s->cur_ep = ep->epid;
        if (fn != nullptr && fn(s->net, node->nodeid, ep->epid, zwdpoll_ep_sm_next) != 0)
            return 1;
        plt_msg_ts_show(&s->net->plt,
                        first ? "zwnet_ep_info_sm: single endpoint state-machine is in wrong state: %d"
                              : "zwdpoll_ep_sm_next: single endpoint state-machine is in wrong state: %d",
                        ep->epid);
        if (first)
            return 0;
    }
    return 0;
}

}  // namespace

int zwdpoll_init(zwdpoll_ctx_t *ctx) { return fac_state_start<dpoll_t>(ctx, 500, 0); }
void zwdpoll_shutdown(zwdpoll_ctx_t *ctx) { zwfac_stop(ctx); }
void zwdpoll_exit(zwdpoll_ctx_t *ctx) { fac_state_exit<dpoll_t>(ctx); }

void zwdpoll_hooks_set(zwdpoll_ctx_t *ctx, zwdpoll_ep_sm_fn ep_sm, zwdpoll_abort_fn abort)
{
    dpoll_t *s = fac_state<dpoll_t>(ctx);
    if (s == nullptr)
        return;
    s->ep_sm = ep_sm;
    s->abort = abort;
}

void zwdpoll_node_add(zwdpoll_ctx_t *ctx, const zwnode_desc_t *node) { post(ctx, MSG_ADD, node); }
void zwdpoll_node_rm(zwdpoll_ctx_t *ctx, const zwnode_desc_t *node) { post(ctx, MSG_RM, node); }
void zwdpoll_wkup(zwdpoll_ctx_t *ctx, const zwnode_desc_t *node) { post(ctx, MSG_WKUP, node); }
void zwdpoll_flush(zwdpoll_ctx_t *ctx) { fac_msg_post(ctx, msg_t{MSG_FLUSH, 0, 0}); }

void zwdpoll_node_add_all(zwdpoll_ctx_t *ctx)
{
    if (ctx == nullptr || ctx->net == nullptr || !ctx->run.load())
        return;
    zwnet_lock lk(ctx->net);
    for (zwnode_p n = ctx->net->ctl.next; n != nullptr; n = n->next)
        if (!n->sleep_cap)
            fac_msg_post(ctx, msg_t{MSG_ADD, n->nodeid, 0});
}

int zwdpoll_node_updt_sm_start(zwnet_p net, uint8_t node_id)
{
    dpoll_t *s = dpoll_of(net);
    if (s == nullptr)
        return ZW_ERR_VALUE;
    zwnet_lock lk(net);
    if (net->curr_op != ZWNET_OP_NONE) {
        plt_msg_ts_show(&net->plt, "zwdpoll_node_updt_sm_start failed. Other operation not completed yet, try again later");
        return ZW_ERR_LAST_OP_NOT_DONE;
    }
    if (node_id == net->ctl.nodeid)
        return ZW_ERR_UNSUPPORTED;
    zwnode_p node = zwnode_find(&net->ctl, node_id);
    if (node == nullptr)
        return ZW_ERR_NODE_NOT_FOUND;
    net->curr_op = ZWNET_OP_NODE_CACHE_UPT;
    s->cur_node = node_id;
    s->cur_ep = 0;
    if (ep_sm_from(s, node, true))
        return 0;
    net->curr_op = ZWNET_OP_NONE;
    return ZW_ERR_FAILED;
}

void zwdpoll_ep_sm_next(zwnet_p net, uint8_t node_id)
{
    dpoll_t *s = dpoll_of(net);
    if (s == nullptr)
        return;
    zwnet_lock lk(net);
    if (net->curr_op != ZWNET_OP_NODE_CACHE_UPT || s->cur_node != node_id)
        return;  // aborted, or another node's late completion
    zwnode_p node = zwnode_find(&net->ctl, node_id);
    if (node != nullptr && ep_sm_from(s, node, false))
        return;
    if (node != nullptr && zwif_find_cls(node->ep.intf, COMMAND_CLASS_WAKE_UP) != nullptr)
        zwpoll_rpt_note(net, node_id);
    net->curr_op = ZWNET_OP_NONE;
    s->cur_node = 0;
    fac_msg_post(net->dpoll_ctx, msg_t{MSG_DONE, node_id, 1});
}
