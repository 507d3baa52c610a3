// Post-set poll: after a set on a door lock, a barrier operator or a
// multilevel switch, the matching Get is sent a few times with growing gaps
// until a report shows the target, and the caller hears whether it was
// reached. The pending list belongs to the worker alone.
#include "hcapi/fac/zwfac_int.h"

#include "hcapi/core/zwnet_cb.h"

namespace {

constexpr uint8_t get_max = 8;
constexpr uint8_t get_min = 2;
constexpr uint32_t first_poll = 2;  // ticks: 1 s after the set
constexpr uint32_t last_wait = 6;   // ticks: 3 s after the last Get

enum : uint32_t {
    RES_REACHED = 0,
    RES_NOT_REACHED = 1,
    RES_CANCELLED = FAC_RES_CANCELLED,
};

struct add_msg_t {
    uint32_t kind;
    zwif_desc_t intf;
    uint8_t target;
    uint8_t len;
    uint8_t cmd[get_max];
    zwfac_result_fn cb;
    uint64_t user;
};
struct rpt_msg_t {
    uint32_t kind;
    zwif_desc_t intf;
    uint8_t value;
};
struct rec_t {
    zwfac_result_fn cb{nullptr};
    uint64_t user{0};
    zwif_desc_t intf{};
    uint32_t next_poll{0};
    uint16_t max{0};
    uint16_t cnt{0};
    uint8_t target{0};
    uint8_t len{0};
    uint8_t cmd[get_max]{};
};

uint16_t polls_max(uint16_t cls)
{
    switch (cls) {
    case 0x26: return 4;
    case 0x66: return 7;
    default: return 3;
    }
}

bool reached(uint16_t cls, uint8_t target, uint8_t value)
{
    if (value == target)
        return true;
    // "On" of a multilevel switch is whatever level it comes on at.
    if (cls == 0x26 && target == 0xFF && value != 0)
        return true;
    // A door lock that reports "unsecured" has left any secured mode.
    return cls == 0x62 && value == 0x00 && target <= 0xFE;
}

struct spoll_t : fac_req_list<spoll_t, rec_t, add_msg_t, rpt_msg_t> {
    zwfac_ctx_t *ctx{nullptr};
    zwnet_p net{nullptr};

    void on_tick(uint32_t now)
    {
        for (auto it = list.begin(); it != list.end();) {
            rec_t &r = *it;
            if (!util_tmr_exp_chk32(now, r.next_poll)) {
                ++it;
                continue;
            }
            if (r.cnt <= r.max) {
                zwif_exec(&r.intf, r.cmd, r.len, nullptr, nullptr, ZWIF_EXEC_POLL, nullptr);
                now = fac_now(ctx);  // the gaps count from the Get, which may have waited for the gate
            }
            ++r.cnt;
            if (r.cnt <= r.max) {
                r.next_poll = now + 2u * r.cnt;  // the gaps grow: 2 s, 3 s, 4 s ...
            } else if (r.cnt == r.max + 1) {
                r.next_poll = now + last_wait;
            } else {
                auto done = it++;
                end(done, RES_NOT_REACHED);
                continue;
            }
            ++it;
        }
    }

    void on_req(const add_msg_t &m, uint32_t now)
    {
        if (m.len < get_min || m.len > get_max)
            return;
        auto it = find(m.intf);
        if (it == list.end()) {
            list.emplace_back();
            it = std::prev(list.end());
            it->intf = m.intf;
        } else {
            superseded(*it);
        }
        rec_t &r = *it;
        r.target = m.target;
        r.cb = m.cb;
        r.user = m.user;
        r.len = m.len;
        std::memcpy(r.cmd, m.cmd, m.len);
        r.max = polls_max(m.intf.cls);
        r.cnt = 1;
        r.next_poll = now + first_poll;
    }

    void on_rpt(const rpt_msg_t &m, uint32_t)
    {
        auto it = find(m.intf);
        if (it == list.end())
            return;
        if (reached(it->intf.cls, it->target, m.value))
            end(it, RES_REACHED);
        else if (it->cnt > it->max)
            end(it, RES_NOT_REACHED);
    }
};

}  // namespace

int zwspoll_init(zwspoll_ctx_t *ctx) { return fac_state_start<spoll_t>(ctx, 500, 0); }
void zwspoll_shutdown(zwspoll_ctx_t *ctx) { zwfac_stop(ctx); }
void zwspoll_exit(zwspoll_ctx_t *ctx) { fac_state_exit<spoll_t>(ctx); }

int zwspoll_add(const zwif_desc_t *intf, uint8_t target, const uint8_t *get_cmd, uint8_t len, zwfac_result_fn cb,
                uint64_t user)
{
    add_msg_t m{};
    if (const int rc = fac_req_fill(&m, intf, get_cmd, len, get_min, cb, user); rc != 0)
        return rc;
    m.target = target;
    return fac_msg_post(intf->net->spoll_ctx, m) == 0 ? 0 : ZW_ERR_MEMORY;
}

void zwspoll_rpt_chk(zwif_t *intf, const uint8_t *cmd, uint16_t len)
{
    if (intf == nullptr || intf->ep == nullptr || cmd == nullptr || len < 3 || cmd[1] != 0x03)
        return;
    const bool watched = (cmd[0] == 0x62 && len > 6) || cmd[0] == 0x66 || cmd[0] == 0x26;
    if (!watched)
        return;
    rpt_msg_t m{};
    m.kind = FAC_MSG_RPT;
    zwif_desc_fill(&m.intf, intf);
    m.value = cmd[2];
    fac_msg_post(intf->ep->node->net->spoll_ctx, m);
}

void zwspoll_cb_post(const zwif_desc_t *intf, zwfac_result_fn cb, uint64_t user, uint32_t result)
{
    fac_result_post(intf, cb, user, result);
}

int zwspoll_node_rm(zwspoll_ctx_t *ctx, uint8_t node_id) { return fac_req_node_cancel(ctx, node_id); }
void zwspoll_flush(zwspoll_ctx_t *ctx) { fac_req_flush(ctx); }

// ---------------------------------------------------------------------------
// The result post that the post-set poll and the supervision share.
// ---------------------------------------------------------------------------

void fac_result_post(const zwif_desc_t *intf, zwfac_result_fn cb, uint64_t user, uint32_t result)
{
    if (intf == nullptr || intf->net == nullptr || cb == nullptr)
        return;
    zwnet_cb_msg_t msg;
    msg.cb = reinterpret_cast<void (*)()>(cb);
    msg.type = ZWNET_CB_FAC_RESULT;
    msg.body.fac.intf = *intf;
    msg.body.fac.user = user;
    msg.body.fac.sts = result;
    zwnet_cb_post(intf->net, &msg);
}
