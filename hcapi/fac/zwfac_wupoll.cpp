// Wake-up notification poll: behind a gateway that keeps a sleeping node's
// mail, the node's own Wake Up Notification may never reach us. Each
// sleep-capable node is probed with a No Operation command; when the
// gateway answers that it holds the probe for the sleeping node and later
// reports it delivered, the node is awake, and a Wake Up Notification is fed
// to its Wake Up interface as if the node had sent it. The node list
// belongs to the worker; its ticks are seconds.
#include "hcapi/fac/zwfac_int.h"

#include "hcapi/core/zwif_rpt.h"

#include <list>

namespace {

constexpr uint32_t first_probe = 10;    // s after the node is added
constexpr uint32_t probe_wait = 10;     // s for the probe's transmit status
constexpr uint32_t probe_gap = 180;     // s between probes of a node that is not held
constexpr uint32_t held_wait = 150;     // s for the delivery of a held probe
constexpr uint32_t after_held = 3;      // s: probe again soon after a held probe lapsed
constexpr uint32_t fail_gap = 600;      // s after a failed probe
constexpr uint32_t no_wkup_gap = 90000; // s for a node that does not wake up on its own
constexpr uint32_t intv_unknown = 0xFFFFFFFF;

// A delivery seen by the transmit-status listener (its code 0).
constexpr int32_t sts_delivered = 8;

enum : uint8_t { ST_IDLE = 0, ST_FAILED = 1, ST_SENT = 2, ST_HELD = 3 };
enum : uint32_t { MSG_ADD = 1, MSG_RM = 2, MSG_TX_STS = 3, MSG_FORGET = 4 };

struct msg_t {
    uint32_t kind;
    uint32_t intv;
    int32_t status;
    uint8_t node_id;
};

struct ent_t {
    uint8_t node_id{0};
    uint8_t state{ST_IDLE};
    uint32_t due{0};
    uint32_t intv{intv_unknown};
};

void probe_cmpl(appl_layer_ctx *ctx, int status, void *, uint8_t node_id)
{
    auto *net = ctx != nullptr ? static_cast<zwnet_p>(ctx->user) : nullptr;
    if (net != nullptr)
        fac_msg_post(net->wupoll_ctx, msg_t{MSG_TX_STS, 0, status, node_id});
}

struct wupoll_t {
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

    void probe(ent_t &e, uint32_t now)
    {
        static const uint8_t nop = 0x00;
        appl_snd_param_t prm{};
        prm.node_id = e.node_id;
        prm.selector = 1;  // the gateway may hold it for the sleeping node
        prm.flags = ZIP_FRM_MORE_INFO;
        if (net->encap_opt)
            prm.flags |= ZIP_FRM_ENCAP | ZIP_FRM_SECURE;
        prm.len = 1;
        prm.data = &nop;
        const int rc = appl_cmd_snd(net->appl.get(), &prm, probe_cmpl, nullptr);
        if (rc >= 0) {
            e.state = ST_SENT;
            e.due = now + probe_wait;
        } else if (rc == ZIP_ERR_SSN_BUSY || rc == ZIP_ERR_APPL_BUSY) {
            e.state = ST_IDLE;
            e.due = now + probe_gap;
        } else {
            e.state = ST_FAILED;
            e.due = now + fail_gap;
        }
    }

    void on_tick(uint32_t now)
    {
        for (ent_t &e : list) {
            if (!util_tmr_exp_chk32(now, e.due))
                continue;
            switch (e.state) {
            case ST_SENT:
                e.state = ST_IDLE;
                e.due = now + probe_gap;
                break;
            case ST_IDLE:
            case ST_FAILED: probe(e, now); break;
            case ST_HELD:
                e.state = ST_IDLE;
                e.due = now + after_held;
                break;
            default: break;
            }
        }
    }

    // The node is awake: its Wake Up interface hears a notification.
    void wkup_notif(uint8_t node_id)
    {
        static const uint8_t notif[] = {COMMAND_CLASS_WAKE_UP, WAKE_UP_NOTIFICATION};
        zwnet_lock lk(net);
        zwnode_p node = zwnode_find(&net->ctl, node_id);
        zwif_p wk = node != nullptr ? zwif_find_cls(node->ep.intf, COMMAND_CLASS_WAKE_UP) : nullptr;
        if (wk != nullptr)
            zwif_report_dispatch(wk, notif, sizeof notif);
    }

    uint32_t fail_due(const ent_t &e, uint32_t now)
    {
        uint32_t intv = e.intv;
        if (intv == intv_unknown) {
            zwnet_lock lk(net);
            zwnode_p node = zwnode_find(&net->ctl, e.node_id);
            intv = node != nullptr ? node->wkup_intv : 0;
        }
        return now + (intv != 0 ? fail_gap : no_wkup_gap);
    }

    void on_tx_sts(ent_t &e, int32_t status, uint32_t now)
    {
        switch (status) {
        case ZIP_ERR_NACK_WAIT:
            e.state = ST_HELD;
            e.due = now + held_wait;
            break;
        case 0:
            e.state = ST_IDLE;
            e.due = now + probe_gap;
            break;
        case sts_delivered:
            if (e.state != ST_HELD && e.state != ST_FAILED)
                break;
            wkup_notif(e.node_id);
            e.state = ST_IDLE;
            e.due = now + probe_gap;
            break;
        default:
            e.state = ST_FAILED;
            e.due = fail_due(e, now);
            break;
        }
    }
};

void wupoll_t::on_msg(uint32_t, const uint8_t *bytes, uint8_t len, uint32_t now)
{
    msg_t m;
    if (!fac_msg_get(bytes, len, &m))
        return;
    ent_t *e = find(m.node_id);
    switch (m.kind) {
    case MSG_ADD:
        if (e == nullptr) {
            list.push_back(ent_t{m.node_id, ST_IDLE, now + first_probe, m.intv});
        }
        break;
    case MSG_RM: list.remove_if([&m](const ent_t &x) { return x.node_id == m.node_id; }); break;
    case MSG_FORGET: list.clear(); break;
    case MSG_TX_STS:
        if (e != nullptr)
            on_tx_sts(*e, m.status, now);
        break;
    default: break;
    }
}

}  // namespace

int zwwupoll_init(zwwupoll_ctx_t *ctx)
{
    const int rc = fac_state_start<wupoll_t>(ctx, 1000, 0xFFFFFF00);
    if (rc == 0)
        appl_tx_sts_listener_set(ctx->net->appl.get(), zwwupoll_tx_sts_cb, ctx);
    return rc;
}

void zwwupoll_shutdown(zwwupoll_ctx_t *ctx)
{
    if (ctx != nullptr && ctx->net != nullptr)
        appl_tx_sts_listener_set(ctx->net->appl.get(), nullptr, nullptr);
    zwfac_stop(ctx);
}

void zwwupoll_exit(zwwupoll_ctx_t *ctx)
{
    zwwupoll_shutdown(ctx);
    fac_state_exit<wupoll_t>(ctx);
}

int zwwupoll_node_add(zwwupoll_ctx_t *ctx, uint8_t node_id, uint32_t wkup_intv)
{
    // A node that never wakes on its own is never probed.
    if (wkup_intv == 0)
        return 0;
    return fac_msg_post(ctx, msg_t{MSG_ADD, wkup_intv, 0, node_id}) == 0 ? 0 : ZW_ERR_MEMORY;
}

void zwwupoll_node_add_all(zwwupoll_ctx_t *ctx)
{
    if (ctx == nullptr || ctx->net == nullptr || !ctx->run.load())
        return;
    zwnet_lock lk(ctx->net);
    for (zwnode_p n = ctx->net->ctl.next; n != nullptr; n = n->next)
        if (n->sleep_cap)
            zwwupoll_node_add(ctx, n->nodeid, n->wkup_intv);
}

int zwwupoll_node_rm(zwwupoll_ctx_t *ctx, uint8_t node_id)
{
    return fac_msg_post(ctx, msg_t{MSG_RM, 0, 0, node_id}) == 0 ? 0 : ZW_ERR_MEMORY;
}

void zwwupoll_flush(zwwupoll_ctx_t *ctx) { fac_msg_post(ctx, msg_t{MSG_FORGET, 0, 0, 0}); }

void zwwupoll_tx_sts_cb(appl_layer_ctx *, uint8_t code, void *data, uint8_t node_id)
{
    const int32_t status = code == 0 ? sts_delivered : static_cast<int8_t>(code);
    fac_msg_post(static_cast<zwwupoll_ctx_t *>(data), msg_t{MSG_TX_STS, 0, status, node_id});
}
