// The request thread: work that must wait until no network operation runs.
// A node that reported a local reset is probed with a NOP and, when it does
// not answer, removed as a failed node; a device restarting after a
// firmware update is probed until it answers or its tries run out; an
// inclusion that the gateway started while we were busy runs once we are
// not; a node's wake-up period is ended after its interview.
//
// Producers either post their own records (zwnet_req_post) or, for the two
// that are plain {node id, type} pairs, add them to the network's request
// list; the thread takes both. Every wait polls the run flag, so that exit
// never waits for a pending delay.
#include "hcapi/net/zwnet_incl.h"

#include "hcapi/core/zwnet_cb.h"
#include "hcapi/include/zwif.h"
#include "hcapi/net/zwnet_ops.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

constexpr uint32_t probe_delay_ms = 3000;
constexpr uint32_t rm_retry_delay_ms = 8000;
constexpr uint32_t busy_delay_ms = 3000;
constexpr uint32_t incl_delay_ms = 500;
constexpr uint32_t incl_slow_delay_ms = 1000;
constexpr uint8_t incl_fast_tries = 20;
constexpr uint32_t wkup_end_delay_ms = 2000;
constexpr uint32_t sleep_step_ms = 10;
// Failed removals that the gateway refuses (the node works, or is not on
// its failing list) before the node is left alone.
constexpr uint8_t rm_tries_max = 4;
constexpr uint16_t cls_wake_up = 0x84;
constexpr uint8_t wkup_no_more_info[] = {0x84, 0x08};
constexpr uint32_t exec_no_sleep_q = 0x010;

zwnet_incl_st &st(zwnet_p net) { return *net->incl; }

bool running(zwnet_p net) { return net->req_thrd.run.load() != 0; }

// Sleeps a protocol time at the network's tick length: false when the
// thread is to stop.
bool req_sleep(zwnet_p net, uint32_t protocol_ms)
{
    uint32_t left = plt_tick_scale_ms(protocol_ms);
    while (left > 0) {
        if (!running(net))
            return false;
        const uint32_t step = std::min(left, sleep_step_ms);
        plt_sleep(step);
        left -= step;
    }
    return running(net);
}

void put_back(zwnet_p net, const zwnet_req_t &req)
{
    plt_lock lk(net->req_mtx);
    st(net).reqs.push_back(req);
}

// Moves the plain {node id, type} records of the network's list to ours.
void take_plain(zwnet_p net)
{
    plt_lock lk(net->req_mtx);
    while (util_lst_t *n = util_lst_get(nullptr, &net->req_lst)) {
        const auto *b = static_cast<const uint8_t *>(util_lst_item(n));
        zwnet_req_t r;
        r.node_id = b[0];
        r.type = b[1];
        st(net).reqs.push_back(std::move(r));
        util_lst_free(n);
    }
}

bool take_next(zwnet_p net, zwnet_req_t *out)
{
    take_plain(net);
    plt_lock lk(net->req_mtx);
    if (st(net).reqs.empty())
        return false;
    *out = std::move(st(net).reqs.front());
    st(net).reqs.pop_front();
    return true;
}

// The one-byte NOP to a node (without the network mutex): 0, -43 busy, -19.
int raw_nop_send(zwnet_p net, uint8_t node_id, appl_snd_cb_fn cb)
{
    static constexpr uint8_t nop = 0x00;
    appl_snd_param_t prm{};
    prm.node_id = node_id;
    {
        zwnet_lock lk(net);
        prm.flags = net->encap_opt ? 0x21 : 0;
    }
    prm.len = 1;
    prm.data = &nop;
    int rc = 0;
    zwnet_app_call(net, [&] {
        rc = appl_cmd_snd(net->appl.get(), &prm, cb, reinterpret_cast<void *>(static_cast<uintptr_t>(node_id)));
    });
    if (rc == ZIP_ERR_SSN_BUSY || rc == ZIP_ERR_APPL_BUSY)
        return ZW_ERR_BUSY;
    return rc < 0 ? ZW_ERR_OP_FAILED : 0;
}

void rm_tries_reset(zwnet_p net, uint8_t node_id)
{
    zwnet_lock lk(net);
    st(net).rm_tries[node_id] = 0;
}

void zwnet_node_nop_cb(appl_layer_ctx *ctx, int status, void *, uint8_t node_id)
{
    auto *net = static_cast<zwnet_p>(ctx->user);
    if (net == nullptr)
        return;
    if (status != 0) {
        plt_msg_ts_show(&net->plt, "Send NOP with tx status:%d", status);
        zwnet_req_t r;
        r.node_id = node_id;
        r.type = ZWNET_REQ_FAILED_RM;
        zwnet_req_post(net, r);
        return;
    }
    plt_msg_ts_show(&net->plt, "Node:%u is alive", node_id);
    rm_tries_reset(net, node_id);
}

// Calls the node's restart-probe callback, if it still has one.
void restart_report(zwnet_p net, uint8_t node_id, int status)
{
    zwnet_lock lk(net);
    zwnode_p node = zwnode_find(&net->ctl, node_id);
    if (node == nullptr || node->restart_cb == nullptr)
        return;
    zwnode_desc_t desc{};
    if (zwnode_desc_fill(&desc, node) != 0)
        return;
    auto cb = node->restart_cb;
    zwnet_app_call(net, [&] { cb(&desc, status); });
}

void zwnet_restart_node_probe_cb(appl_layer_ctx *ctx, int status, void *, uint8_t node_id)
{
    auto *net = static_cast<zwnet_p>(ctx->user);
    if (net == nullptr)
        return;
    bool last = false;
    {
        zwnet_lock lk(net);
        zwnode_p node = zwnode_find(&net->ctl, node_id);
        if (node == nullptr)
            return;
        if (status != 0) {
            if (node->restart_tries > 0)
                --node->restart_tries;
            last = node->restart_tries == 0;
        }
    }
    if (status == 0) {
        plt_msg_ts_show(&net->plt, "Node:%u is alive", node_id);
        restart_report(net, node_id, 0);
        return;
    }
    plt_msg_ts_show(&net->plt, "zwnet_restart_node_probe_cb: Send NOP with tx status:%d", status);
    if (last) {
        restart_report(net, node_id, 1);
        return;
    }
    zwnet_req_t r;
    r.node_id = node_id;
    r.type = ZWNET_REQ_RESTART_PROBE;
    zwnet_req_post(net, r);
}

void zwnet_rst_node_rm_cb(appl_layer_ctx *ctx, uint8_t status, uint8_t node_id)
{
    auto *net = static_cast<zwnet_p>(ctx->user);
    if (net == nullptr)
        return;
    plt_msg_ts_show(&net->plt, "zwnet_rst_node_rm_cb: status:%u(%s), node id:%u", status,
                    zwnet_rm_failed_sts_text(status), node_id);
    if (status == 1) {
        rm_tries_reset(net, node_id);
        rm_failed_node_cb(ctx, status, node_id);
        return;
    }
    uint8_t target;
    uint8_t tries;
    {
        zwnet_lock lk(net);
        target = net->op_node_id;
        if (net->curr_op == ZWNET_OP_RM_FAILED_ID) {
            zwnet_incl_wd_stop(net);
            net->curr_op = ZWNET_OP_NONE;
            net->op_node_id = 0;
        }
        if (target == 0)
            target = node_id;
        tries = ++st(net).rm_tries[target];
    }
    if (tries >= rm_tries_max) {
        plt_msg_ts_show(&net->plt, "Node:%u stays: the gateway refused its removal %u times", target, tries);
        rm_tries_reset(net, target);
        return;
    }
    plt_msg_ts_show(&net->plt, "Retrying ...");
    zwnet_req_t r;
    r.node_id = target;
    // A node that the gateway sees working, or does not count as failed,
    // is probed again first: when it answers, it stays.
    r.type = status == 0 || status == 8 ? ZWNET_REQ_NOP_PROBE : ZWNET_REQ_FAILED_RM_RETRY;
    zwnet_req_post(net, r);
}

// Results of one request's work.
enum class step { done, again, stop };

step nop_probe(zwnet_p net, const zwnet_req_t &r, appl_snd_cb_fn cb)
{
    if (!req_sleep(net, probe_delay_ms))
        return step::stop;
    {
        zwnet_lock lk(net);
        if (zwnode_find(&net->ctl, r.node_id) == nullptr)
            return step::done;
        if (net->curr_op != ZWNET_OP_NONE)
            return step::again;
    }
    const int rc = raw_nop_send(net, r.node_id, cb);
    if (rc == ZW_ERR_BUSY)
        return step::again;
    if (rc == 0)
        return step::done;
    if (r.type == ZWNET_REQ_RESTART_PROBE) {
        restart_report(net, r.node_id, 1);
    } else {
        // A NOP that cannot even leave fails the probe as a lost one would.
        plt_msg_ts_show(&net->plt, "Send NOP with tx status:%d", rc);
        zwnet_req_t rm;
        rm.node_id = r.node_id;
        rm.type = ZWNET_REQ_FAILED_RM;
        put_back(net, rm);
    }
    return step::done;
}

step failed_rm(zwnet_p net, const zwnet_req_t &r)
{
    if (r.type == ZWNET_REQ_FAILED_RM_RETRY && !req_sleep(net, rm_retry_delay_ms))
        return step::stop;
    {
        zwnet_lock lk(net);
        if (zwnode_find(&net->ctl, r.node_id) == nullptr || r.node_id == net->ctl.nodeid)
            return step::done;
    }
    bool busy;
    {
        zwnet_lock lk(net);
        busy = net->curr_op != ZWNET_OP_NONE;
        if (!busy) {
            if (!(net->controller_role & 0x02))
                return step::done;
            // The operation is ours before the request goes out, so that
            // nothing else starts while it waits at the gateway's gate.
            net->curr_op = ZWNET_OP_RM_FAILED_ID;
            net->op_node_id = r.node_id;
            zwnet_incl_wd_start(net, ZWNET_OP_RM_FAILED_ID);
        }
    }
    if (!busy) {
        int rc = 0;
        zwnet_app_call(net, [&] { rc = zw_remove_failed_node_id(net->appl.get(), zwnet_rst_node_rm_cb, r.node_id); });
        if (rc == 0)
            return step::done;
        zwnet_lock lk(net);
        if (net->curr_op == ZWNET_OP_RM_FAILED_ID && net->op_node_id == r.node_id) {
            zwnet_incl_wd_stop(net);
            net->curr_op = ZWNET_OP_NONE;
            net->op_node_id = 0;
        }
    }
    put_back(net, r);
    return req_sleep(net, busy_delay_ms) ? step::done : step::stop;
}

step incl_retry(zwnet_p net, zwnet_req_t &r)
{
    if (!req_sleep(net, r.retry < incl_fast_tries ? incl_delay_ms : incl_slow_delay_ms))
        return step::stop;
    if (r.retry < UINT8_MAX)
        ++r.retry;
    bool low_prio = false;
    {
        zwnet_lock lk(net);
        const uint8_t op = net->curr_op;
        if ((op == ZWNET_OP_ADD_NODE || op == ZWNET_OP_RP_NODE) && st(net).add_mode != 0)
            return step::done;
        low_prio = op == ZWNET_OP_NODE_CACHE_UPT;
    }
    if (low_prio)
        zwnet_abort(net);
    {
        zwnet_lock lk(net);
        if (net->curr_op != ZWNET_OP_NONE)
            return step::again;
        net->curr_op = ZWNET_OP_ADD_NODE;
        net->on_behalf = 1;
        st(net).add_mode = 2;
        st(net).s2_cb = nullptr;
        st(net).s2_dsk.clear();
    }
    appl_incl_evt_t evt{};
    evt.code = APPL_INCL_NODE_ADD;
    evt.add = r.incl;
    evt.add.info.cmd_cls = r.cls.empty() ? nullptr : r.cls.data();
    evt.add.info.cmd_cnt = static_cast<uint8_t>(r.cls.size());
    evt.add.info.cmd_cls_ctl = r.cls_sec.empty() ? nullptr : r.cls_sec.data();
    evt.add.info.cmd_cnt_ctl = static_cast<uint8_t>(r.cls_sec.size());
    zwnet_incl_evt_hdlr(net, evt);
    return step::done;
}

step wkup_end(zwnet_p net, const zwnet_req_t &r)
{
    if (!req_sleep(net, wkup_end_delay_ms))
        return step::stop;
    zwif_desc_t desc{};
    {
        zwnet_lock lk(net);
        zwnode_p node = zwnode_find(&net->ctl, r.node_id);
        zwif_p intf = node != nullptr ? zwif_find_cls(node->ep.intf, cls_wake_up) : nullptr;
        if (intf == nullptr)
            return step::done;
        zwif_desc_fill(&desc, intf);
    }
    zwif_exec(&desc, wkup_no_more_info, sizeof wkup_no_more_info, nullptr, nullptr, exec_no_sleep_q, nullptr);
    return step::done;
}

}  // namespace

void zwnet_req_post(zwnet_p net, const zwnet_req_t &req)
{
    {
        plt_lock lk(net->req_mtx);
        st(net).reqs.push_back(req);
    }
    plt_sem_post(net->req_sem);
}

void zwnet_req_thrd(zwnet_p net)
{
    plt_thrd_name_set("zwnet_req");
    while (plt_sem_wait(net->req_sem) == 0 && running(net)) {
        zwnet_req_t r;
        while (running(net) && take_next(net, &r)) {
            step s = step::done;
            switch (r.type) {
            case ZWNET_REQ_NOP_PROBE: s = nop_probe(net, r, zwnet_node_nop_cb); break;
            case ZWNET_REQ_FAILED_RM:
            case ZWNET_REQ_FAILED_RM_RETRY: s = failed_rm(net, r); break;
            case ZWNET_REQ_RESTART_PROBE: s = nop_probe(net, r, zwnet_restart_node_probe_cb); break;
            case ZWNET_REQ_INCL: s = incl_retry(net, r); break;
            case ZWNET_REQ_WKUP_END: s = wkup_end(net, r); break;
            default: break;
            }
            if (s == step::stop)
                break;
            if (s == step::again)
                put_back(net, r);
        }
    }
    plt_lock lk(net->req_mtx);
    st(net).reqs.clear();
}
