// Supervision: a set wrapped in a Supervision Get so that the device
// confirms it. One pending record per (node, endpoint, class); Supervision
// Reports end it or, while the device is working, move its deadline; the
// caller hears one final result. The pending list belongs to the worker.
#include "hcapi/fac/zwfac_int.h"

namespace {

constexpr uint8_t cmd_max = 40;
constexpr uint8_t cmd_min = 3;
constexpr uint8_t sid_mask = 0x3F;  // a report carries the session id in 6 bits
constexpr uint32_t spv_wait = 16;   // ticks: 8 s for the first report

enum : uint32_t {
    RES_SUCCESS = 0,
    RES_TIMEOUT = 1,
    RES_NO_SUPPORT = 2,
    RES_CANCELLED = FAC_RES_CANCELLED,
    RES_STS_3 = 4,
    RES_SEND_FAIL = 5,
    RES_FAIL = 6,
};

enum : uint8_t {
    SPV_NO_SUPPORT = 0x00,
    SPV_WORKING = 0x01,
    SPV_FAIL = 0x02,
    SPV_STS_3 = 0x03,
    SPV_SUCCESS = 0xFF,
};

struct send_msg_t {
    uint32_t kind;
    zwif_desc_t intf;
    uint8_t sid;
    uint8_t len;
    uint8_t cmd[cmd_max];
    zwfac_result_fn cb;
    uint64_t user;
};
struct rpt_msg_t {
    uint32_t kind;
    zwif_desc_t intf;
    uint8_t sid;
    uint8_t more;
    uint8_t status;
    uint8_t duration;
};
struct rec_t {
    zwfac_result_fn cb{nullptr};
    uint64_t user{0};
    zwif_desc_t intf{};
    // Kept in 32 bits: a device may announce nearly two hours of work, which
    // a 16-bit deadline cannot wait for.
    uint32_t deadline{0};
    uint8_t sid{0};
};

struct spv_t : fac_req_list<spv_t, rec_t, send_msg_t, rpt_msg_t> {
    zwfac_ctx_t *ctx{nullptr};
    zwnet_p net{nullptr};

    void on_req(const send_msg_t &m, uint32_t)
    {
        if (m.len < cmd_min || m.len > cmd_max)
            return;
        auto it = find(m.intf);
        const bool reused = it != list.end();
        if (reused)
            superseded(*it);
        rec_t r = reused ? *it : rec_t{};
        r.intf = m.intf;
        r.sid = m.sid & sid_mask;
        r.cb = m.cb;
        r.user = m.user;
        uint8_t frame[4 + cmd_max] = {0x6C, 0x01, static_cast<uint8_t>(r.sid | 0x80), m.len};
        std::memcpy(frame + 4, m.cmd, m.len);
        const int rc = zwif_exec(&r.intf, frame, static_cast<uint16_t>(4 + m.len), nullptr, nullptr, ZWIF_EXEC_POLL,
                                 nullptr);
        if (rc < 0) {
            fac_result_post(&r.intf, r.cb, r.user, RES_SEND_FAIL);
            if (reused)
                list.erase(it);
            return;
        }
        // From the moment the Get has left, which may be a while after the
        // message came (the send waits for the one-command gate).
        r.deadline = fac_now(ctx) + spv_wait;
        if (reused)
            *it = r;
        else
            list.push_back(r);
    }

    void on_rpt(const rpt_msg_t &m, uint32_t now)
    {
        auto it = list.begin();
        while (it != list.end() && !(it->intf.nodeid == m.intf.nodeid && it->sid == (m.sid & sid_mask)))
            ++it;
        if (it == list.end())
            return;
        switch (m.status) {
        case SPV_NO_SUPPORT: end(it, RES_NO_SUPPORT); break;
        case SPV_WORKING: {
            const uint8_t d = m.duration;
            if (d == 0 || d >= 0xFE) {
                end(it, RES_FAIL);
            } else if (d <= 127) {
                it->deadline = now + 2u * (d + 5u);  // d seconds and 5 more
            } else {
                it->deadline = now + 120u * (d - 121u) + 10u;  // d - 121 minutes and 5 s
            }
            break;
        }
        case SPV_FAIL: end(it, RES_FAIL); break;
        case SPV_STS_3: end(it, RES_STS_3); break;
        case SPV_SUCCESS: end(it, RES_SUCCESS); break;
        default: break;
        }
    }

    void on_tick(uint32_t now)
    {
        for (auto it = list.begin(); it != list.end();) {
            auto cur = it++;
            if (util_tmr_exp_chk32(now, cur->deadline))
                end(cur, RES_TIMEOUT);
        }
    }
};

}  // namespace

int zwspv_init(zwspv_ctx_t *ctx) { return fac_state_start<spv_t>(ctx, 500, 0); }
void zwspv_shutdown(zwspv_ctx_t *ctx) { zwfac_stop(ctx); }
void zwspv_exit(zwspv_ctx_t *ctx) { fac_state_exit<spv_t>(ctx); }

int zwspv_cmd_snd(const zwif_desc_t *intf, const uint8_t *cmd, uint8_t len, uint8_t session_id,
                  zwfac_result_fn cb, uint64_t user)
{
    send_msg_t m{};
    if (const int rc = fac_req_fill(&m, intf, cmd, len, cmd_min, cb, user); rc != 0)
        return rc;
    if (cb == nullptr)
        return ZW_ERR_VALUE;
    m.sid = session_id & sid_mask;
    return fac_msg_post(intf->net->spv_ctx, m) == 0 ? 0 : ZW_ERR_MEMORY;
}

int zwspv_rpt_rcv(zwif_t *intf, const uint8_t *cmd, uint16_t len)
{
    if (intf == nullptr || intf->ep == nullptr || cmd == nullptr || len < 5 || cmd[0] != 0x6C || cmd[1] != 0x02)
        return 0;
    rpt_msg_t m{};
    m.kind = FAC_MSG_RPT;
    zwif_desc_fill(&m.intf, intf);
    m.sid = cmd[2] & sid_mask;
    m.more = cmd[2] & 0x80;
    m.status = cmd[3];
    m.duration = cmd[4];
    fac_msg_post(intf->ep->node->net->spv_ctx, m);
    return 1;
}

void zwspv_cb_post(const zwif_desc_t *intf, zwfac_result_fn cb, uint64_t user, uint32_t result)
{
    fac_result_post(intf, cb, user, result);
}

int zwspv_node_cancel(zwspv_ctx_t *ctx, uint8_t node_id) { return fac_req_node_cancel(ctx, node_id); }
void zwspv_flush(zwspv_ctx_t *ctx) { fac_req_flush(ctx); }
