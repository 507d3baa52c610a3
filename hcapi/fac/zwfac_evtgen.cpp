// Event generation: a stored command fed back into the report path of its
// interface after a time-out, as if the device had sent it. The library
// clears the events of devices that never send the clearing report this way.
// The pending list belongs to the worker.
#include "hcapi/fac/zwfac_int.h"

#include "hcapi/core/zwnet_cb.h"

#include <list>

namespace {

constexpr uint16_t evt_max = 42;
constexpr uint32_t tmout_max = 3600;  // s
static_assert(evt_max <= ZWNET_CB_FRAME_MAX, "a generated report fits a callback message");

enum : uint32_t { MSG_ADD = 1, MSG_NODE_RM = 2, MSG_FORGET = 3 };

struct add_msg_t {
    uint32_t kind;
    zwif_desc_t intf;
    uint32_t ticks;
    uint16_t len;
    uint8_t cmd[evt_max];
};
struct node_msg_t {
    uint32_t kind;
    uint8_t node_id;
};

struct ent_t {
    zwif_desc_t intf{};
    uint16_t len{0};
    uint8_t cmd[evt_max]{};
    // 32 bits: a one-hour time-out is 7200 ticks, beyond what a 16-bit
    // deadline can wait for.
    uint32_t deadline{0};
};

struct evtgen_t {
    zwfac_ctx_t *ctx{nullptr};
    zwnet_p net{nullptr};
    std::list<ent_t> list;

    void on_msg(uint32_t kind, const uint8_t *msg, uint8_t len, uint32_t now);

    void on_add(const add_msg_t &m, uint32_t now)
    {
        for (ent_t &e : list) {
            if (fac_same_if(e.intf, m.intf) && e.len == m.len && std::memcmp(e.cmd, m.cmd, m.len) == 0) {
                e.deadline = now + m.ticks;
                return;
            }
        }
        ent_t e;
        e.intf = m.intf;
        e.len = m.len;
        std::memcpy(e.cmd, m.cmd, m.len);
        e.deadline = now + m.ticks;
        list.push_back(e);
    }

    void on_tick(uint32_t now)
    {
        for (auto it = list.begin(); it != list.end();) {
            if (util_tmr_exp_chk32(now, it->deadline)) {
                zwevtgen_evt_post(&it->intf, it->cmd, it->len);
                it = list.erase(it);
            } else {
                ++it;
            }
        }
    }
};

void evtgen_t::on_msg(uint32_t kind, const uint8_t *msg, uint8_t len, uint32_t now)
{
    add_msg_t add;
    node_msg_t node;
    switch (kind) {
    case MSG_ADD:
        if (fac_msg_get(msg, len, &add) && add.len <= evt_max)
            on_add(add, now);
        break;
    case MSG_NODE_RM:
        if (fac_msg_get(msg, len, &node))
            list.remove_if([&node](const ent_t &e) { return e.intf.nodeid == node.node_id; });
        break;
    case MSG_FORGET: list.clear(); break;
    default: break;
    }
}

}  // namespace

int zwevtgen_init(zwevtgen_ctx_t *ctx) { return fac_state_start<evtgen_t>(ctx, 500, 0); }
void zwevtgen_shutdown(zwevtgen_ctx_t *ctx) { zwfac_stop(ctx); }
void zwevtgen_exit(zwevtgen_ctx_t *ctx) { fac_state_exit<evtgen_t>(ctx); }

int zwevtgen_evt_add(const zwif_desc_t *intf, const uint8_t *frame, uint16_t len, uint16_t tmout_s)
{
    if (len > evt_max || tmout_s > tmout_max)
        return ZW_ERR_TOO_LARGE;
    if (frame == nullptr || len == 0 || tmout_s == 0 || intf == nullptr || intf->net == nullptr)
        return ZW_ERR_VALUE;
    add_msg_t m{};
    m.kind = MSG_ADD;
    m.intf = *intf;
    m.ticks = 2u * tmout_s;
    m.len = len;
    std::memcpy(m.cmd, frame, len);
    return fac_msg_post(intf->net->evtgen_ctx, m) == 0 ? 0 : ZW_ERR_MEMORY;
}

int zwevtgen_evt_post(const zwif_desc_t *intf, const uint8_t *cmd, uint16_t len)
{
    if (intf == nullptr || intf->net == nullptr || cmd == nullptr || len == 0)
        return ZW_ERR_VALUE;
    if (len > evt_max)
        return ZW_ERR_TOO_LARGE;
    zwnet_cb_msg_t msg;
    msg.type = ZWNET_CB_RPT_REPLAY;
    msg.body.replay.intf = *intf;
    msg.body.replay.len = len;
    std::memcpy(msg.body.replay.frame, cmd, len);
    zwnet_cb_post(intf->net, &msg);
    return 0;
}

int zwevtgen_node_rm(zwevtgen_ctx_t *ctx, uint8_t node_id)
{
    return fac_msg_post(ctx, node_msg_t{MSG_NODE_RM, node_id}) == 0 ? 0 : ZW_ERR_MEMORY;
}

void zwevtgen_flush(zwevtgen_ctx_t *ctx) { fac_msg_post(ctx, node_msg_t{MSG_FORGET, 0}); }
