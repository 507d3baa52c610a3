// The multi-command reply machine. Gateway commands go out without the
// network mutex (they wait at the one-send gate); while one is on its way
// the machine is marked busy, so that a report or a time-out that comes in
// between is recorded for the send's caller instead of starting a second
// run of the same request.
#include "hcapi/net/zwnet_mcmd.h"

#include "hcapi/core/zwnet_cb.h"
#include "hcapi/core/zwnode_q.h"

#include <memory>
#include <new>
#include <utility>

struct zwnet_mcmd_st {
    uint32_t state{0};
    uint16_t tmr{0};
    int tmr_evt{0};
    std::vector<uint8_t> buf;  // the bundle being built; empty: none
    uint8_t rpt{0};            // the awaited report
    uint16_t cls{0};
    bool busy{false};      // a gateway command or the bundle is on its way
    bool rpt_done{false};  // the awaited report (or its time-out) came meanwhile
    zwnet_mcmd_req_t cur;
    std::deque<zwnet_mcmd_req_t> q;
};

namespace {

constexpr uint32_t rpt_wait_ms = 1000;
constexpr uint32_t pause_ms = 100;
constexpr uint32_t idle_ms = 100;
constexpr uint32_t err_idle_ms = 1200;

enum : uint32_t { st_idle = 0, st_rpt = 1, st_pause = 2, st_stop = 3 };

void tmr_cb(void *data)
{
    auto *net = static_cast<zwnet_p>(data);
    zwnet_lock lk(net);
    if (!plt_tmr_cb_current(&net->plt))
        return;
    const std::shared_ptr<zwnet_mcmd_st> mc = net->mcmd;
    if (!mc)
        return;
    mc->tmr = 0;
    zwnet_mul_cmd_sm(net, mc->tmr_evt, nullptr, 0);
}

void tmr_arm(zwnet_p net, zwnet_mcmd_st &mc, uint32_t ms, int evt)
{
    plt_tmr_stop(&net->plt, mc.tmr);
    mc.tmr_evt = evt;
    mc.tmr = plt_tmr_start(&net->plt, ms, tmr_cb, net);
}

void tmr_stop(zwnet_p net, zwnet_mcmd_st &mc)
{
    plt_tmr_stop(&net->plt, mc.tmr);
    mc.tmr = 0;
}

int snd_result(int rc)
{
    if (rc >= 0)
        return 0;
    return rc == ZIP_ERR_SSN_BUSY || rc == ZIP_ERR_APPL_BUSY ? ZW_ERR_BUSY : ZW_ERR_OP_FAILED;
}

// One command to the gateway itself (network mutex held, released for the
// send): 0, -43 or -19.
int zwnet_mul_cmd_gw_snd(zwnet_p net, const std::vector<uint8_t> &cmd)
{
    if (cmd.empty() || cmd.size() > UINT8_MAX)
        return ZW_ERR_OP_FAILED;
    appl_snd_param_t prm{};
    prm.node_id = 0;
    prm.flags = ZIP_FRM_SECURE;
    prm.len = static_cast<uint16_t>(cmd.size());
    prm.data = cmd.data();
    int rc = 0;
    zwnet_app_call(net, [&] { rc = appl_cmd_snd(net->appl.get(), &prm, nullptr, nullptr); });
    return snd_result(rc);
}

bool fits(const zwnet_mcmd_st &mc, size_t len) { return mc.buf.size() + len + 1 < ZWNET_MCMD_BUNDLE_MAX; }

void append(zwnet_mcmd_st &mc, const uint8_t *bytes, size_t len)
{
    mc.buf.push_back(static_cast<uint8_t>(len));
    mc.buf.insert(mc.buf.end(), bytes, bytes + len);
    ++mc.buf[2];
}

// Works off the current request (network mutex held): 0 bundle sent, 1
// waiting for a report, 2 a gateway command was sent, -12, -43, -19.
int zwnet_mul_cmd_process_req(zwnet_p net, zwnet_mcmd_st &mc)
{
    if (mc.buf.empty()) {
        try {
            mc.buf.reserve(ZWNET_MCMD_BUNDLE_MAX);
        } catch (const std::bad_alloc &) {
            return ZW_ERR_MEMORY;
        }
        mc.buf = {0x8F, 0x01, 0x00};
    }
    while (!mc.cur.ents.empty()) {
        const zwnet_mcmd_ent_t e = std::move(mc.cur.ents.front());
        mc.cur.ents.pop_front();
        switch (e.kind) {
        case ZWNET_MCMD_GW_GET: {
            // Waiting before the send: the report may come before the send
            // returns.
            mc.rpt = e.rpt;
            mc.cls = e.cls;
            mc.rpt_done = false;
            mc.state = st_rpt;
            tmr_arm(net, mc, rpt_wait_ms, ZWNET_MCMD_EVT_TMOUT);
            mc.busy = true;
            const int rc = zwnet_mul_cmd_gw_snd(net, e.bytes);
            mc.busy = false;
            if (mc.state == st_stop)
                return 0;
            if (rc == 0 && !mc.rpt_done)
                return 1;
            tmr_stop(net, mc);
            break;
        }
        case ZWNET_MCMD_READY:
            if (fits(mc, e.bytes.size()))
                append(mc, e.bytes.data(), e.bytes.size());
            break;
        case ZWNET_MCMD_GW_SET: {
            mc.busy = true;
            const int rc = zwnet_mul_cmd_gw_snd(net, e.bytes);
            mc.busy = false;
            if (mc.state == st_stop)
                return 0;
            if (rc == 0)
                return 2;
            break;
        }
        default:
            break;
        }
    }
    const std::vector<uint8_t> bundle = std::move(mc.buf);
    mc.buf.clear();
    const zwnet_mcmd_req_t to = std::move(mc.cur);
    mc.cur = zwnet_mcmd_req_t{};
    appl_snd_param_t prm{};
    prm.node_id = to.node_id;
    if (to.has_fmt) {
        prm.flags |= ZIP_FRM_ENCAP;
        prm.encap_fmt = to.encap_fmt;
    }
    if (to.secure == 1 || net->encap_opt)
        prm.flags |= ZIP_FRM_SECURE;
    prm.dst_ep = to.dst_ep;
    prm.len = static_cast<uint16_t>(bundle.size());
    prm.data = bundle.data();
    mc.busy = true;
    int rc = 0;
    zwnet_app_call(net, [&] { rc = appl_cmd_snd(net->appl.get(), &prm, nullptr, nullptr); });
    mc.busy = false;
    return snd_result(rc);
}

void zwnet_mul_cmd_next(zwnet_p net, zwnet_mcmd_st &mc)
{
    const int rc = zwnet_mul_cmd_process_req(net, mc);
    if (mc.state == st_stop)
        return;
    switch (rc) {
    case 0:
        mc.state = st_idle;
        tmr_arm(net, mc, idle_ms, ZWNET_MCMD_EVT_REQ);
        break;
    case 1:
        mc.state = st_rpt;
        break;
    case 2:
        mc.state = st_pause;
        tmr_arm(net, mc, pause_ms, ZWNET_MCMD_EVT_TMOUT);
        break;
    default:
        plt_msg_ts_show(&net->plt, "zwnet_mul_cmd_process_req error:%d", rc);
        mc.buf.clear();
        mc.cur = zwnet_mcmd_req_t{};
        mc.state = st_idle;
        tmr_arm(net, mc, err_idle_ms, ZWNET_MCMD_EVT_REQ);
        break;
    }
}

}  // namespace

uint32_t zwnet_mul_cmd_sm(zwnet_p net, int evt, const uint8_t *frame, uint16_t len)
{
    if (net == nullptr)
        return st_idle;
    zwnet_lock lk(net);
    // Held here: a stop while a send is on its way must not free the state.
    const std::shared_ptr<zwnet_mcmd_st> hold = net->mcmd;
    if (!hold)
        return st_idle;
    zwnet_mcmd_st &mc = *hold;
    if (evt == ZWNET_MCMD_EVT_STOP) {
        mc.state = st_stop;
        tmr_stop(net, mc);
        mc.buf.clear();
        mc.cur = zwnet_mcmd_req_t{};
        mc.q.clear();
        return mc.state;
    }
    switch (mc.state) {
    case st_idle:
        if (evt != ZWNET_MCMD_EVT_REQ || mc.busy || mc.q.empty())
            break;
        mc.cur = std::move(mc.q.front());
        mc.q.pop_front();
        zwnet_mul_cmd_next(net, mc);
        break;
    case st_rpt:
        if (evt == ZWNET_MCMD_EVT_FRAME && frame != nullptr) {
            uint16_t cls = 0;
            uint8_t cmd = 0;
            if (mc.rpt_done || !zwif_cls_cmd_get(frame, len, &cls, &cmd) || cls != mc.cls || cmd != mc.rpt ||
                !fits(mc, len))
                break;
            append(mc, frame, len);
            tmr_stop(net, mc);
            if (mc.busy)
                mc.rpt_done = true;
            else
                zwnet_mul_cmd_next(net, mc);
        } else if (evt == ZWNET_MCMD_EVT_TMOUT) {
            // The missing report is left out of the bundle.
            plt_msg_ts_show(&net->plt, "zwnet_mul_cmd_sm process has timeout");
            if (mc.busy)
                mc.rpt_done = true;
            else
                zwnet_mul_cmd_next(net, mc);
        }
        break;
    case st_pause:
        if (evt == ZWNET_MCMD_EVT_TMOUT && !mc.busy)
            zwnet_mul_cmd_next(net, mc);
        break;
    default:
        break;
    }
    return mc.state;
}

int zwnet_mul_cmd_req_put(zwnet_p net, zwnet_mcmd_req_t req)
{
    if (net == nullptr)
        return ZW_ERR_VALUE;
    zwnet_lock lk(net);
    try {
        if (!net->mcmd)
            net->mcmd = std::make_shared<zwnet_mcmd_st>();
        if (net->mcmd->state == st_stop)
            return ZW_ERR_FAILED;
        net->mcmd->q.push_back(std::move(req));
    } catch (const std::bad_alloc &) {
        return ZW_ERR_MEMORY;
    }
    zwnet_mul_cmd_sm(net, ZWNET_MCMD_EVT_REQ, nullptr, 0);
    return 0;
}
