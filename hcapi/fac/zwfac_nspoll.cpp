// Node status polling: keeps the status of sleep-capable nodes in the Z/IP
// application layer's node status table current. Each node's next Wake Up
// Notification is expected from its wake-up interval; a node more than 20 s
// late is marked down, a node that wakes up late (or after it was down) has
// its interval read again, and a node added while awake is probed with No
// Operation commands to learn when it falls asleep. The node list belongs
// to the worker alone; its ticks are seconds.
#include "hcapi/fac/zwfac_int.h"

#include "hcapi/core/zwsend.h"

#include <list>

namespace {

constexpr uint32_t probe_gap = 20;        // s between probes of an awake node
constexpr uint32_t probe_wait = 10;       // s for a probe's result
constexpr uint32_t probe_ok_gap = 200;    // s to the next probe after an answer
constexpr uint32_t late_grace = 20;       // s past the expected wake-up: down
constexpr uint32_t late_reread = 31;      // s past it: the interval is read again
constexpr uint32_t intv_unknown = 86400;  // s assumed for an unknown interval
constexpr uint32_t asleep_extra = 200;    // s beyond the interval after a failed probe

enum : uint8_t { ST_AWAKE = 0, ST_MISSING = 1, ST_SLEEPING = 2, ST_PROBING = 3 };

enum : uint32_t { MSG_ADD = 1, MSG_RM = 2, MSG_PROBE = 3, MSG_FORGET = 4, MSG_WOKE = 5, MSG_INTV = 6 };

struct msg_t {
    uint32_t kind;
    uint32_t intv;
    int32_t status;
    uint8_t node_id;
    uint8_t state;
};

struct ent_t {
    uint8_t node_id{0};
    uint8_t state{ST_SLEEPING};
    bool exp_set{false};
    uint32_t probe_due{0};
    uint32_t exp_wkup{0};
    int32_t intv{-1};  // s; below 1 unknown
};

int32_t intv_of(uint32_t wkup_intv)
{
    return wkup_intv > 0x7FFFFFFF ? -1 : static_cast<int32_t>(wkup_intv);
}
uint32_t intv_eff(int32_t intv) { return intv < 1 ? intv_unknown : static_cast<uint32_t>(intv); }

struct nspoll_t {
    zwfac_ctx_t *ctx{nullptr};
    zwnet_p net{nullptr};
    std::list<ent_t> list;

    void on_msg(uint32_t kind, const uint8_t *msg, uint8_t len, uint32_t now);

    ent_t *find(uint8_t node_id)
    {
        for (ent_t &e : list)
            if (e.node_id == node_id)
                return &e;
        return nullptr;
    }
    void sts_set(uint8_t node_id, uint8_t sts) { appl_node_sts_set(net->appl.get(), node_id, sts, 1); }

    void probe(ent_t &e, uint32_t now);
    void on_tick(uint32_t now);
    void on_woke(ent_t &e, uint32_t now);
    void intv_reread(uint8_t node_id);
};

void probe_cmpl(appl_layer_ctx *ctx, int status, void *, uint8_t node_id)
{
    auto *net = ctx != nullptr ? static_cast<zwnet_p>(ctx->user) : nullptr;
    if (net != nullptr)
        fac_msg_post(net->nspoll_ctx, msg_t{MSG_PROBE, 0, status, node_id, 0});
}

void nspoll_t::probe(ent_t &e, uint32_t now)
{
    static const uint8_t nop = 0x00;
    appl_snd_param_t prm{};
    prm.node_id = e.node_id;
    prm.flags = ZIP_FRM_MORE_INFO;
    if (net->encap_opt)
        prm.flags |= ZIP_FRM_ENCAP | ZIP_FRM_SECURE;
    prm.len = 1;
    prm.data = &nop;
    const int rc = appl_cmd_snd(net->appl.get(), &prm, probe_cmpl, nullptr);
    if (rc >= 0) {
        e.state = ST_PROBING;
        e.probe_due = now + probe_wait;
    } else {
        plt_msg_ts_show(&net->plt, "zwnspoll_nop_snd: node %u, error:%d", e.node_id, rc);
        e.probe_due = now + probe_gap;
    }
}

void nspoll_t::on_tick(uint32_t now)
{
    for (ent_t &e : list) {
        switch (e.state) {
        case ST_AWAKE:
            if (util_tmr_exp_chk32(now, e.probe_due))
                probe(e, now);
            break;
        case ST_SLEEPING:
            if (e.exp_set && util_tmr_exp_chk32(now, e.exp_wkup + late_grace)) {
                if (e.intv >= 1) {
                    e.state = ST_MISSING;
                    sts_set(e.node_id, APPL_NODE_STS_FORCE_DOWN);
                } else {
                    e.exp_wkup = now + intv_unknown;
                }
            }
            break;
        case ST_PROBING:
            if (util_tmr_exp_chk32(now, e.probe_due)) {
                e.state = ST_AWAKE;
                e.probe_due = now + probe_gap;
            }
            break;
        default: break;
        }
    }
}

// Asks the node for its wake-up interval while it is awake: past the
// sleeping-node queue, which would hold the Get until the next wake-up.
void nspoll_t::intv_reread(uint8_t node_id)
{
    zwif_desc_t d{};
    {
        zwnet_lock lk(net);
        zwnode_p node = zwnode_find(&net->ctl, node_id);
        zwif_p wk = node != nullptr ? zwif_find_cls(node->ep.intf, COMMAND_CLASS_WAKE_UP) : nullptr;
        if (wk == nullptr)
            return;
        zwif_desc_fill(&d, wk);
    }
    static const uint8_t get[] = {COMMAND_CLASS_WAKE_UP, 0x05};
    zwif_exec(&d, get, sizeof get, zwif_tx_sts_log_cb, nullptr, ZWIF_EXEC_NO_SLEEP_Q, nullptr);
}

void nspoll_t::on_woke(ent_t &e, uint32_t now)
{
    // An interval of 0 means the node never wakes on its own: never late.
    bool late = e.state == ST_MISSING || e.intv < 0;
    if (e.intv > 0 && e.exp_set && util_tmr_exp_chk32(now, e.exp_wkup + late_reread))
        late = true;
    e.exp_wkup = now + intv_eff(e.intv);
    e.exp_set = true;
    e.state = ST_AWAKE;
    e.probe_due = now + probe_gap;
    if (late)
        intv_reread(e.node_id);
    sts_set(e.node_id, APPL_NODE_STS_ALIVE);
}

void nspoll_t::on_msg(uint32_t, const uint8_t *bytes, uint8_t len, uint32_t now)
{
    msg_t m;
    if (!fac_msg_get(bytes, len, &m))
        return;
    ent_t *e = find(m.node_id);
    switch (m.kind) {
    case MSG_ADD:
        if (e != nullptr)
            break;
        list.emplace_back();
        e = &list.back();
        e->node_id = m.node_id;
        e->state = m.state;
        e->intv = intv_of(m.intv);
        if (m.state == ST_SLEEPING) {
            e->exp_wkup = now + intv_eff(e->intv);
            e->exp_set = true;
        } else {
            e->probe_due = now + probe_gap;
        }
        break;
    case MSG_RM: list.remove_if([&m](const ent_t &x) { return x.node_id == m.node_id; }); break;
    case MSG_FORGET: list.clear(); break;
    case MSG_PROBE:
        if (e == nullptr || e->state != ST_PROBING)
            break;
        if (m.status != 0) {
            e->state = ST_SLEEPING;
            if (!e->exp_set) {
                e->exp_wkup = now + intv_eff(e->intv) + asleep_extra;
                e->exp_set = true;
            }
            sts_set(e->node_id, APPL_NODE_STS_SLEEP);
        } else {
            e->state = ST_AWAKE;
            e->probe_due = now + probe_ok_gap;
        }
        break;
    case MSG_WOKE:
        if (e != nullptr)
            on_woke(*e, now);
        break;
    case MSG_INTV: {
        if (e == nullptr)
            break;
        const auto intv = static_cast<int32_t>(m.intv & 0xFFFFFF);
        if (intv != e->intv) {
            e->intv = intv;
            e->exp_wkup = now + intv_eff(intv);
            e->exp_set = true;
        }
        break;
    }
    default: break;
    }
}

}  // namespace

int zwnspoll_init(zwnspoll_ctx_t *ctx) { return fac_state_start<nspoll_t>(ctx, 1000, 0xFFFFFF00); }
void zwnspoll_shutdown(zwnspoll_ctx_t *ctx) { zwfac_stop(ctx); }
void zwnspoll_exit(zwnspoll_ctx_t *ctx) { fac_state_exit<nspoll_t>(ctx); }

int zwnspoll_node_add(zwnspoll_ctx_t *ctx, uint8_t node_id, uint8_t state, uint32_t wkup_intv)
{
    if (state != ST_AWAKE && state != ST_SLEEPING)
        return ZW_ERR_VALUE;
    if (ctx == nullptr || ctx->net == nullptr)
        return ZW_ERR_VALUE;
    appl_node_sleep_flag_set(ctx->net->appl.get(), node_id, 1);
    return fac_msg_post(ctx, msg_t{MSG_ADD, wkup_intv, 0, node_id, state}) == 0 ? 0 : ZW_ERR_MEMORY;
}

void zwnspoll_node_add_all(zwnspoll_ctx_t *ctx)
{
    if (ctx == nullptr || ctx->net == nullptr || !ctx->run.load())
        return;
    zwnet_p net = ctx->net;
    zwnet_lock lk(net);
    for (zwnode_p n = net->ctl.next; n != nullptr; n = n->next) {
        if (!n->sleep_cap)
            continue;
        appl_node_sleep_flag_set(net->appl.get(), n->nodeid, 1);
        appl_node_sts_set(net->appl.get(), n->nodeid, APPL_NODE_STS_SLEEP, 0);
        fac_msg_post(ctx, msg_t{MSG_ADD, n->wkup_intv, 0, n->nodeid, ST_SLEEPING});
    }
}

int zwnspoll_node_rm(zwnspoll_ctx_t *ctx, uint8_t node_id)
{
    return fac_msg_post(ctx, msg_t{MSG_RM, 0, 0, node_id, 0}) == 0 ? 0 : ZW_ERR_MEMORY;
}

void zwnspoll_flush(zwnspoll_ctx_t *ctx) { fac_msg_post(ctx, msg_t{MSG_FORGET, 0, 0, 0, 0}); }

void zwnspoll_wkup_notif(zwnspoll_ctx_t *ctx, const zwnode_desc_t *node)
{
    if (node != nullptr)
        fac_msg_post(ctx, msg_t{MSG_WOKE, 0, 0, node->nodeid, 0});
}

void zwnspoll_wkup_intv_note(zwnspoll_ctx_t *ctx, uint8_t node_id, uint32_t intv)
{
    fac_msg_post(ctx, msg_t{MSG_INTV, intv, 0, node_id, 0});
}

void zwnspoll_rpt_chk(zwif_t *intf, const uint8_t *cmd, uint16_t len)
{
    // Wake Up Interval Report: interval (24 bits), node to notify.
    if (intf == nullptr || intf->ep == nullptr || cmd == nullptr || len < 6 || cmd[0] != COMMAND_CLASS_WAKE_UP ||
        cmd[1] != 0x06)
        return;
    const uint32_t intv = uint32_t{cmd[2]} << 16 | uint32_t{cmd[3]} << 8 | cmd[4];
    zwnode_p node = intf->ep->node;
    zwnspoll_wkup_intv_note(node->net->nspoll_ctx, node->nodeid, intv);
}
