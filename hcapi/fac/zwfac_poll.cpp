// Report poll: Gets that the application asked to have sent every interval,
// a given number of times or without end, one at a time and in round-robin
// order, out of the way of other traffic: after any transmission the next
// poll waits at least 10 s, and a poll waits for its report (or 10 s)
// before the next one goes out. Requests to sleeping nodes wait in the
// node's sleeping queue and count once per wake-up.
//
// The request list is shared by the worker (ticks and received reports) and
// the callers (add and the removals), so it sits under the facility mutex.
// Removals come with the network mutex held (a node record is freed), and a
// send takes the network mutex: so the facility never sends while it holds
// its own mutex. It decides under the mutex, copies the Get, and sends after.
#include "hcapi/fac/zwfac_int.h"

#include "hcapi/core/zwnode_q.h"
#include "hcapi/core/zwsend.h"
#include "hcapi/zip/zip_msg_loop.h"

#include <algorithm>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

namespace {

constexpr uint32_t poll_gap = 20;           // ticks: 10 s between polls
constexpr uint32_t poll_retry = 2;          // ticks: nothing due, look again in 1 s
constexpr uint32_t end_tick_max = 0x0FFFFFFF;  // the furthest deadline the 32-bit check waits for

enum : uint16_t { ST_FINISHING = 1, ST_ACTIVE = 2 };

struct ent_t {
    zwif_desc_t intf{};
    uint32_t next_poll{0};
    uint32_t expiry{0};
    uint32_t slp_end{0};
    uint32_t key{0};
    uint32_t intv{0};
    zwpoll_cb_fn cb{nullptr};
    uint64_t user{0};
    uint16_t state{ST_ACTIVE};
    bool due{false};
    bool slp_node{false};
    bool slp_sent{false};
    bool wait_rpt{false};
    uint16_t snd_seq{0};
    uint16_t rpt_cnt{0};
    uint16_t poll_cnt{0};
    uint16_t handle{0};
    uint16_t rpt_cls{0};
    uint8_t rpt_cmd{0};
    uint8_t len{0};
    uint8_t cmd[ZWPOLL_CMD_MAX]{};
};
using ent_list = std::list<std::unique_ptr<ent_t>>;

// A Get decided under the mutex and sent after it.
struct get_t {
    zwif_desc_t intf;
    uint8_t len;
    uint8_t cmd[ZWPOLL_CMD_MAX];
};

// Callback worker message.
struct cb_msg_t {
    zwpoll_cb_fn cb;
    uint64_t user;
    uint32_t key;
    uint16_t handle;
};

enum : uint32_t { MSG_NODE_RPT = 1, MSG_CMD_RCV = 2 };
struct rpt_msg_t {
    uint32_t kind;
    uint16_t cls;
    uint8_t cmd;
    uint8_t node_id;
};

struct poll_t {
    zwfac_ctx_t *ctx{nullptr};
    zwnet_p net{nullptr};
    std::mutex mtx;  // everything below
    ent_list list;
    uint32_t next_chk{0};
    uint16_t handle_cnt{0};
    uint16_t seq{1};
    uint32_t last_poll{0};
    uint32_t extra{0};
    uint16_t await_cls{0};
    uint8_t await_cmd{0};
    uint8_t await_node{0};
    util_msg_loop_t *cb_loop{nullptr};

    void on_tick(uint32_t now);
    void on_msg(uint32_t kind, const uint8_t *msg, uint8_t len, uint32_t now);
};

poll_t *poll_of(zwnet_p net) { return net != nullptr ? fac_state<poll_t>(net->poll_ctx) : nullptr; }
bool poll_running(zwnet_p net) { return net != nullptr && net->poll_ctx != nullptr && net->poll_ctx->run.load(); }

int cb_worker(void *data, void *msg)
{
    auto *p = static_cast<poll_t *>(data);
    cb_msg_t m;
    std::memcpy(&m, msg, sizeof m);
    if (m.cb != nullptr && p->ctx->run.load())
        m.cb(p->net, m.handle, m.key, m.user);
    return 0;
}

// Ends a request (mutex held): its callback goes to the callback worker.
ent_list::iterator ent_end(poll_t *p, ent_list::iterator it)
{
    const ent_t &e = **it;
    if (e.cb != nullptr && p->cb_loop != nullptr) {
        const cb_msg_t m{e.cb, e.user, e.key, e.handle};
        util_msg_loop_send(p->cb_loop, &m, sizeof m);
    }
    return p->list.erase(it);
}

void get_keep(std::vector<get_t> &gets, const ent_t &e)
{
    get_t g{};
    g.intf = e.intf;
    g.len = e.len;
    std::memcpy(g.cmd, e.cmd, e.len);
    gets.push_back(g);
}

// Sends what was decided, without the facility mutex.
void gets_send(const std::vector<get_t> &gets)
{
    for (const get_t &g : gets)
        zwif_exec(&g.intf, g.cmd, g.len, zwpoll_tx_note, nullptr, ZWIF_EXEC_POLL, nullptr);
}

void move_to_tail(poll_t *p, ent_t *e)
{
    auto it = std::find_if(p->list.begin(), p->list.end(), [e](const auto &x) { return x.get() == e; });
    if (it != p->list.end())
        p->list.splice(p->list.end(), p->list, it);
}

// After a poll: count it (with a repeat count, every interval that passed
// since the poll was due counts too) and move the request to the tail.
void ent_advance(poll_t *p, ent_t *e, uint32_t now)
{
    e->due = false;
    if (e->rpt_cnt != 0) {
        uint32_t n = 1;
        if (util_tmr_exp_chk32(now, e->next_poll) && e->intv != 0)
            n += (now - e->next_poll) / e->intv;
        const uint32_t done = e->poll_cnt + n;
        e->poll_cnt = static_cast<uint16_t>(std::min<uint32_t>(done, 0xFFFF));
        e->next_poll += n * e->intv;
        // Count N polls N times: the first Get, sent at the add, is poll 1.
        if (done >= e->rpt_cnt) {
            e->state = ST_FINISHING;
            e->expiry = now + poll_gap;
        }
    } else {
        e->next_poll = now + e->intv;
    }
    move_to_tail(p, e);
}

// One poll of an awake node: the round's sequence, the awaited report.
void poll_awake(poll_t *p, ent_t *e, uint32_t now, std::vector<get_t> &gets)
{
    e->snd_seq = p->seq;
    p->await_node = e->intf.nodeid;
    p->await_cls = e->rpt_cls;
    p->await_cmd = e->rpt_cmd;
    get_keep(gets, *e);
    p->last_poll = now;
    p->extra = 0;
    e->wait_rpt = true;
    p->next_chk = now + poll_gap;
    ent_advance(p, e, now);
}

void poll_due(poll_t *p, uint32_t now, std::vector<get_t> &gets)
{
    if ((now & 1) == 0) {
        for (auto it = p->list.begin(); it != p->list.end();) {
            ent_t &e = **it;
            if (e.state == ST_ACTIVE && util_tmr_exp_chk32(now, e.next_poll))
                e.due = true;
            if (e.state == ST_FINISHING && util_tmr_exp_chk32(now, e.expiry))
                it = ent_end(p, it);
            else if (e.slp_node && e.rpt_cnt != 0 && util_tmr_exp_chk32(now, e.slp_end))
                it = ent_end(p, it);
            else
                ++it;
        }
    }
    if (!util_tmr_exp_chk32(now, p->next_chk))
        return;
    if (p->list.empty()) {
        p->next_chk = now + poll_gap;
        return;
    }
    // Once round the list as it stands: requests move to the tail as they go.
    std::vector<ent_t *> round;
    for (auto &e : p->list)
        round.push_back(e.get());
    for (ent_t *e : round) {
        if (e->state != ST_ACTIVE || !e->due)
            continue;
        if (e->slp_node) {
            if (!e->slp_sent) {
                e->slp_sent = true;
                e->wait_rpt = true;
                get_keep(gets, *e);
                move_to_tail(p, e);
            }
            continue;
        }
        p->seq = static_cast<uint16_t>(p->seq + 2);
        poll_awake(p, e, now, gets);
        return;
    }
    p->next_chk = now + poll_retry;
}

void on_cmd_rcv(poll_t *p, const rpt_msg_t &m, uint32_t now, std::vector<get_t> &gets)
{
    const bool awaited = p->await_cls != 0 && p->await_node == m.node_id && p->await_cls == m.cls &&
                         p->await_cmd == m.cmd;
    if (awaited) {
        p->next_chk = now + p->extra + poll_gap;
        p->await_cls = 0;
        p->await_cmd = 0;
        p->await_node = 0;
    }
    for (auto it = p->list.begin(); it != p->list.end();) {
        ent_t &e = **it;
        if (e.wait_rpt && e.intf.nodeid == m.node_id && e.rpt_cls == m.cls && e.rpt_cmd == m.cmd) {
            e.wait_rpt = false;
            if (e.state == ST_FINISHING) {
                it = ent_end(p, it);
                continue;
            }
        }
        ++it;
    }
    if (!awaited)
        return;
    // The node answered: its next due request goes at once, in this round.
    for (auto &up : p->list) {
        ent_t *e = up.get();
        if (e->state == ST_ACTIVE && e->due && !e->slp_node && e->intf.nodeid == m.node_id && e->snd_seq != p->seq) {
            poll_awake(p, e, now, gets);
            return;
        }
    }
    p->seq = static_cast<uint16_t>(p->seq + 2);
}

void on_node_rpt(poll_t *p, uint8_t node_id, uint32_t now)
{
    std::vector<ent_t *> hit;
    for (auto &e : p->list)
        if (e->state == ST_ACTIVE && e->intf.nodeid == node_id && e->slp_sent)
            hit.push_back(e.get());
    for (ent_t *e : hit) {
        e->slp_sent = false;
        ent_advance(p, e, now);
    }
}

void poll_t::on_tick(uint32_t)
{
    std::vector<get_t> gets;
    {
        std::lock_guard<std::mutex> lk(mtx);
        poll_due(this, fac_now(ctx), gets);
    }
    gets_send(gets);
}

void poll_t::on_msg(uint32_t, const uint8_t *msg, uint8_t len, uint32_t)
{
    std::vector<get_t> gets;
    {
        std::lock_guard<std::mutex> lk(mtx);
        const uint32_t now = fac_now(ctx);
        rpt_msg_t m{};
        if (fac_msg_get(msg, len, &m) && m.kind == MSG_CMD_RCV)
            on_cmd_rcv(this, m, now, gets);
        else if (m.kind == MSG_NODE_RPT)
            on_node_rpt(this, m.node_id, now);
    }
    gets_send(gets);
}

template <class Pred>
int ents_rm(zwnet_p net, Pred pred, bool one)
{
    if (!poll_running(net))
        return ZW_ERR_UNSUPPORTED;
    poll_t *p = poll_of(net);
    std::lock_guard<std::mutex> lk(p->mtx);
    int removed = 0;
    for (auto it = p->list.begin(); it != p->list.end();) {
        if (pred(**it)) {
            it = p->list.erase(it);
            ++removed;
            if (one)
                break;
        } else {
            ++it;
        }
    }
    return removed != 0 ? 0 : ZW_ERR_FAILED;
}

}  // namespace

int zwpoll_init(zwpoll_ctx_t *ctx)
{
    const int rc = fac_state_start<poll_t>(ctx, 500, 0);
    if (rc != 0)
        return rc;
    poll_t *p = fac_state<poll_t>(ctx);
    if (util_msg_loop_init(cb_worker, p, nullptr, 0, &p->cb_loop) != 0) {
        p->cb_loop = nullptr;
        fac_state_exit<poll_t>(ctx);
        return ZW_ERR_NO_RES;
    }
    return 0;
}

void zwpoll_shutdown(zwpoll_ctx_t *ctx)
{
    zwfac_stop(ctx);
    poll_t *p = fac_state<poll_t>(ctx);
    if (p != nullptr && p->cb_loop != nullptr)
        util_msg_loop_shutdown(p->cb_loop, 0);
}

void zwpoll_exit(zwpoll_ctx_t *ctx)
{
    poll_t *p = fac_state<poll_t>(ctx);
    if (p != nullptr && p->cb_loop != nullptr) {
        zwfac_stop(ctx);
        util_msg_loop_shutdown(p->cb_loop, 0);
        util_msg_loop_exit(p->cb_loop);
        p->cb_loop = nullptr;
    }
    fac_state_exit<poll_t>(ctx);
}

int zwpoll_add(zwnet_p net, const zwpoll_add_req_t *req, uint16_t *handle)
{
    if (req == nullptr || handle == nullptr || req->len == 0 || req->len > ZWPOLL_CMD_MAX || req->intv == 0)
        return ZW_ERR_VALUE;
    if (!poll_running(net))
        return ZW_ERR_UNSUPPORTED;
    auto e = std::make_unique<ent_t>();
    if (!zwif_get_rpt_cmd(req->cmd, req->len, &e->rpt_cls, &e->rpt_cmd))
        return ZW_ERR_RPT_NOT_FOUND;
    poll_t *p = poll_of(net);
    e->intf = req->intf;
    e->key = req->key;
    e->intv = req->intv;
    e->cb = req->cb;
    e->user = req->user;
    e->slp_node = req->slp_node;
    e->len = req->len;
    std::memcpy(e->cmd, req->cmd, req->len);
    std::vector<get_t> gets;
    {
        std::lock_guard<std::mutex> lk(p->mtx);
        const uint32_t now = fac_now(p->ctx);
        uint32_t cnt = req->rpt_cnt;
        if (cnt != 0) {
            e->poll_cnt = 1;
            // Intervals shorter than the 10 s between polls cannot be kept:
            // such requests get a few more polls instead.
            if (e->intv == 2 || e->intv == 3)
                cnt += 3;
            else if (e->intv == 4 || e->intv == 5)
                cnt += 2;
            else if (e->intv == 6 || e->intv == 7)
                cnt += 1;
        }
        e->rpt_cnt = static_cast<uint16_t>(std::min<uint32_t>(cnt, 0xFFFF));
        e->state = e->rpt_cnt == 1 ? ST_FINISHING : ST_ACTIVE;
        if (++p->handle_cnt == 0)
            ++p->handle_cnt;
        e->handle = p->handle_cnt;
        e->next_poll = now + e->intv;
        if (p->list.empty()) {
            p->next_chk = now + poll_gap;
            p->last_poll = now;
            p->extra = 0;
            p->await_node = e->intf.nodeid;
            p->await_cls = e->rpt_cls;
            p->await_cmd = e->rpt_cmd;
        }
        if (e->slp_node) {
            e->slp_sent = true;
            // The end counted in 64 bits: interval times count passes 32.
            uint64_t span = e->intv;
            if (e->rpt_cnt > 1)
                span = uint64_t{e->intv} * (e->rpt_cnt - 1u);
            e->slp_end = now + static_cast<uint32_t>(std::min<uint64_t>(span, end_tick_max));
        }
        e->expiry = now + poll_gap;
        e->wait_rpt = false;
        // The Get sent now belongs to the round under way: the report that
        // answers it must not chain a second Get of the same request.
        e->snd_seq = p->seq;
        *handle = e->handle;
        get_keep(gets, *e);
        p->list.push_back(std::move(e));
    }
    gets_send(gets);
    return 0;
}

void zwpoll_tx_sts_note(zwnet_p net, int status)
{
    if (!poll_running(net))
        return;
    poll_t *p = poll_of(net);
    std::lock_guard<std::mutex> lk(p->mtx);
    const uint32_t now = fac_now(p->ctx);
    if (status == 0) {
        p->extra = std::max<uint32_t>(now - p->last_poll, 1);
        p->next_chk = now + p->extra + poll_gap;
    } else {
        p->next_chk = now + poll_gap;
    }
}

void zwpoll_tx_note(appl_layer_ctx *ctx, int status, void *user, uint8_t node_id)
{
    zwnode_wait_tx_cb(ctx, status, user, node_id);
    zwpoll_tx_sts_note(ctx != nullptr ? static_cast<zwnet_p>(ctx->user) : nullptr, status);
}

int zwpoll_rpt_chk(zwif_t *intf, const uint8_t *cmd, uint16_t len)
{
    uint16_t cls;
    uint8_t id;
    if (intf == nullptr || intf->ep == nullptr || !zwif_cls_cmd_get(cmd, len, &cls, &id))
        return 0;
    zwnode_p node = intf->ep->node;
    const rpt_msg_t m{MSG_CMD_RCV, cls, id, node->nodeid};
    return fac_msg_post(node->net->poll_ctx, m);
}

void zwpoll_rpt_note(zwnet_p net, uint8_t node_id)
{
    if (net == nullptr)
        return;
    const rpt_msg_t m{MSG_NODE_RPT, 0, 0, node_id};
    fac_msg_post(net->poll_ctx, m);
}

int zwpoll_node_rm(zwnet_p net, uint8_t node_id)
{
    return ents_rm(net, [node_id](const ent_t &e) { return e.intf.nodeid == node_id; }, false);
}

int zwpoll_q_rm(zwnet_p net, uint16_t handle)
{
    return ents_rm(net, [handle](const ent_t &e) { return e.handle == handle; }, true);
}

int zwpoll_q_rm_key(zwnet_p net, uint32_t key)
{
    return ents_rm(net, [key](const ent_t &e) { return e.key == key; }, false);
}
