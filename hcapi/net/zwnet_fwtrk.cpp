// The firmware update tracker: operation 19 from the node's answer to the
// request up to its final status, with one step timer.
#include "hcapi/net/zwnet_fw.h"

#include "hcapi/core/zwnet_cb.h"
#include "hcapi/net/zwnet_ops.h"

#include <cstring>

namespace {

enum : uint32_t {
    st_idle = 0,
    st_req_sent = 1,
    st_transfer = 2,
    st_all_sent = 3,
};

constexpr uint8_t prog_step = 2;      // percent between two progress notifications
constexpr uint8_t sts_success_min = 253;  // 253..255: the image was taken
constexpr uint8_t req_ok = 0xFF;
constexpr uint16_t op_sts_req_ok = 1;
constexpr uint16_t op_sts_progress = 2;

void tmout_cb(void *data);

void tmr_stop(zwnet_p net)
{
    plt_tmr_stop(&net->plt, net->fw_tmr);
    net->fw_tmr = 0;
}

void tmr_restart(zwnet_p net)
{
    tmr_stop(net);
    net->fw_tmr = plt_tmr_start(&net->plt, ZWNET_FW_STEP_MS, tmout_cb, net);
}

void tmout_cb(void *data)
{
    auto *net = static_cast<zwnet_p>(data);
    zwnet_lock lk(net);
    // Stopped or re-armed since it was dispatched: a step came in time.
    if (!plt_tmr_cb_current(&net->plt))
        return;
    net->fw_tmr = 0;
    zwnet_fw_updt_sm(net, ZWNET_FW_EVT_TMOUT, nullptr);
}

// Idle again, image closed, operation released.
void finish(zwnet_p net)
{
    tmr_stop(net);
    zwnet_fw_updt_ctx_free(net);
    net->fw_state = st_idle;
    net->fw_if = zwif_desc_t{};
    net->fw_prog = 0;
    if (net->curr_op == ZWNET_OP_FW_UPDT)
        net->curr_op = ZWNET_OP_NONE;
}

void feed(const zwif_desc_t *intf, int evt, uint8_t val, uint16_t wait_tm, uint8_t wait_valid)
{
    if (intf == nullptr || intf->net == nullptr)
        return;
    zwnet_fw_evt_t e{val, wait_valid, wait_tm, *intf};
    zwnet_lock lk(intf->net);
    zwnet_fw_updt_sm(intf->net, evt, &e);
}

}  // namespace

int zwnet_fw_updt_match(zwnet_p net, const zwif_desc_t *intf)
{
    const zwif_desc_t &t = net->fw_if;
    return intf != nullptr && intf->nodeid == t.nodeid && intf->epid == t.epid && intf->cls == t.cls ? 1 : 0;
}

void zwnet_fw_updt_ctx_free(zwnet_p net)
{
    zwif_p intf = zwif_rec_get(&net->fw_if);
    if (intf != nullptr && intf->mgmt)
        zwif_fw_img_close(&intf->mgmt->fw);
}

void zwnet_fw_updt_fail(zwnet_p net)
{
    finish(net);
    zwnet_notify(net, ZWNET_OP_FW_UPDT, ZWNET_OP_STS_FAILED, nullptr);
}

void zwnet_fw_updt_stop(zwnet_p net)
{
    zwnet_lock lk(net);
    tmr_stop(net);
    zwnet_fw_updt_ctx_free(net);
    net->fw_state = st_idle;
    net->fw_if = zwif_desc_t{};
    net->fw_prog = 0;
}

int zwnet_fw_updt_sm(zwnet_p net, int evt, const void *data)
{
    zwnet_lock lk(net);
    const auto *e = static_cast<const zwnet_fw_evt_t *>(data);
    if (evt != ZWNET_FW_EVT_TMOUT && evt != ZWNET_FW_EVT_REQ && (e == nullptr || !zwnet_fw_updt_match(net, &e->intf)))
        return 0;
    switch (net->fw_state) {
    case st_idle:
        if (evt != ZWNET_FW_EVT_REQ || data == nullptr)
            return 0;
        net->fw_if = *static_cast<const zwif_desc_t *>(data);
        net->fw_prog = 0;
        tmr_restart(net);
        net->fw_state = st_req_sent;
        return 1;

    case st_req_sent:
        if (evt == ZWNET_FW_EVT_TMOUT) {
            zwnet_fw_updt_fail(net);
        } else if (evt == ZWNET_FW_EVT_REQ_RPT) {
            tmr_stop(net);
            if (e->val < req_ok) {
                zwnet_fw_updt_fail(net);
                break;
            }
            tmr_restart(net);
            net->fw_state = st_transfer;
            zwnet_notify(net, ZWNET_OP_FW_UPDT, op_sts_req_ok, nullptr);
        }
        break;

    case st_transfer:
        if (evt == ZWNET_FW_EVT_TMOUT) {
            zwnet_fw_updt_fail(net);
        } else if (evt == ZWNET_FW_EVT_PROG) {
            tmr_restart(net);
            // The largest even percentage reached: a large fragment jumps
            // ahead, and the application is never told less than was sent.
            const uint8_t pct = e->val > 100 ? 100 : e->val;
            if (pct >= net->fw_prog + prog_step) {
                net->fw_prog = static_cast<uint8_t>(pct & ~1u);
                zwnet_op_info_t info{};
                info.type = ZWNET_OP_INFO_FW_PROG;
                info.fw_prog = net->fw_prog;
                zwnet_notify(net, ZWNET_OP_FW_UPDT, op_sts_progress, &info);
            }
            if (pct >= 100)
                net->fw_state = st_all_sent;
        }
        break;

    case st_all_sent:
        if (evt == ZWNET_FW_EVT_TMOUT) {
            zwnet_fw_updt_fail(net);
        } else if (evt == ZWNET_FW_EVT_STS) {
            tmr_stop(net);
            if (e->val < sts_success_min) {
                zwnet_fw_updt_fail(net);
                break;
            }
            finish(net);
            zwnet_notify(net, ZWNET_OP_FW_UPDT, ZWNET_OP_STS_DONE, nullptr);
        }
        break;

    default:
        break;
    }
    return 0;
}

void zwnet_fw_updt_req_cb(const zwif_desc_t *intf, uint8_t status)
{
    feed(intf, ZWNET_FW_EVT_REQ_RPT, status, 0, 0);
}

void zwnet_fw_updt_prog_cb(const zwif_desc_t *intf, uint8_t percent)
{
    feed(intf, ZWNET_FW_EVT_PROG, percent, 0, 0);
}

void zwnet_fw_updt_sts_cb(const zwif_desc_t *intf, uint8_t status, uint16_t wait_tm, uint8_t wait_valid)
{
    feed(intf, ZWNET_FW_EVT_STS, status, wait_tm, wait_valid);
}
