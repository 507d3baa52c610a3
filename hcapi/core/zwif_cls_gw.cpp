// The calls of the gateway's own interfaces (Z/IP Gateway 0x5F, Z/IP Portal
// 0x61) and of Simple AV Control (0x94). The gateway's commands go straight
// to it (no queue, no size check, no security choice); the mode request has
// a time-out of its own, and a held AV key is kept alive every 400 ms.
#include "hcapi/core/zwif_shape.h"
#include "hcapi/core/zwnet_cb.h"
#include "hcapi/core/zwrec.h"
#include "hcapi/core/zwsend.h"
#include "hcapi/include/zwif_call.h"

#include <cstring>
#include <mutex>

namespace {

constexpr uint32_t gw_exec_flags = ZWIF_EXEC_NO_SZ_CHK | ZWIF_EXEC_NO_SLEEP_Q | ZWIF_EXEC_NO_WAIT_Q | ZWIF_EXEC_NO_SEC;

// Gets of the gateway and the reports that answer them.
constexpr zwif_get_row_t gw_mode_get{0x5F, 0x02, 0x03, 80};
constexpr uint8_t gw_peer_rpt = 0x06;
constexpr zwif_get_row_t gw_unsolic_get{0x5F, 0x09, 0x0A, 82};
constexpr zwif_get_row_t gw_cfg_get{0x61, 0x03, 0x04, 84};
constexpr uint8_t gw_cfg_sts_rpt = 0x02;

constexpr zwif_sup_row_t av_sup{0x94, 0x02, 0x03, 28, 5, 0, 0};
constexpr uint8_t av_sup_rpt = 0x05;

enum : uint16_t {
    op_gw_mode_set = 78,
    op_gw_lock_set = 79,
    op_gw_unsolic_set = 81,
    op_gw_cfg_set = 83,
    op_av_set = 29,
};

constexpr uint32_t gw_mode_wait_ms = 5300;
constexpr uint32_t av_repeat_ms = 400;

enum : uint8_t {
    av_key_down = 0,
    av_key_up = 1,
    av_keep_alive = 2,
};
constexpr size_t av_frame_len = 8;

int check(const zwif_desc_t *intf, uint16_t cls)
{
    if (intf == nullptr || intf->net == nullptr)
        return ZW_ERR_VALUE;
    return intf->cls == cls ? 0 : ZW_ERR_CLASS_NOT_FOUND;
}

// A command to the gateway, stored under operation `op` and count `cnt`.
int gw_send(const zwif_desc_t *intf, uint16_t op, uint8_t cnt, const uint8_t *frame, uint16_t len)
{
    if (const int rc = zwnode_cur_op_set(intf, op, cnt); rc != 0)
        return rc;
    return zwif_exec(intf, frame, len, zwif_tx_sts_cb, nullptr, gw_exec_flags, nullptr);
}

// A get of the gateway, after its report callback.
int gw_get(const zwif_desc_t *intf, const zwif_get_row_t &row, zwif_rpt_fn cb)
{
    if (const int rc = check(intf, row.cls); rc != 0)
        return rc;
    if (const int rc = zwif_set_report(intf, cb, row.rpt); rc != 0)
        return rc;
    if (const int rc = zwnode_cur_op_set(intf, row.op, 1); rc != 0)
        return rc;
    return zwif_get_report(intf, nullptr, 0, row.get, zwif_tx_sts_cb, 1);
}

bool link_local(const uint8_t *a) { return a[0] == 0xFE && a[1] == 0x80 && std::memcmp(a + 2, "\0\0\0\0\0\0", 6) == 0; }
bool all_zero(const uint8_t *a, size_t n)
{
    for (size_t k = 0; k < n; ++k)
        if (a[k] != 0)
            return false;
    return true;
}

// --- the mode request -------------------------------------------------------------------

// The gateway's answer (or the report path's own failure) reaches the
// application through here: the first word ends the pending request.
void gw_mode_rpt(zwif_desc_t *intf, int sts, uint8_t mode, const zwif_gw_peer_t *peer)
{
    zwnet_p net = intf->net;
    zwif_rpt_fn cb;
    {
        zwnet_lock lk(net);
        plt_tmr_stop(&net->plt, net->gw_mode_tmr);
        net->gw_mode_tmr = 0;
        net->gw_mode_pend = 0;
        cb = net->gw_mode_cb;
    }
    if (cb != nullptr)
        zwnet_app_call(net, [&] { reinterpret_cast<zwrep_gw_mode_fn>(cb)(intf, sts, mode, peer); });
}

void gw_mode_tmout_cb(void *data)
{
    auto *net = static_cast<zwnet_p>(data);
    zwif_desc_t d;
    zwif_rpt_fn cb;
    {
        zwnet_lock lk(net);
        if (!plt_tmr_cb_current(&net->plt))
            return;  // answered, or asked again, meanwhile
        net->gw_mode_tmr = 0;
        net->gw_mode_pend = 0;
        d = net->gw_mode_if;
        cb = net->gw_mode_cb;
    }
    if (cb != nullptr)
        zwnet_app_call(net, [&] { reinterpret_cast<zwrep_gw_mode_fn>(cb)(&d, 1, 0, nullptr); });
}

// --- the AV key hold --------------------------------------------------------------------

// Ends a running key hold (av_mtx held).
void av_hold_end(zwnet_p net)
{
    plt_tmr_stop(&net->plt, net->av_tmr);
    net->av_tmr = 0;
    net->av_repeat = 0;
}

void av_repeat_cb(void *data)
{
    auto *net = static_cast<zwnet_p>(data);
    std::lock_guard lk(net->av_mtx);
    if (!plt_tmr_cb_current(&net->plt) || !net->av_repeat)
        return;  // the key was released meanwhile
    net->av_tmr = 0;
    net->av_frame[2] = ++net->av_seq;
    const int rc = zwif_exec(&net->av_if, net->av_frame, av_frame_len, zwif_tx_sts_cb, nullptr, 0, nullptr);
    if (rc != 0) {
        net->av_repeat = 0;
        return;
    }
    net->av_tmr = plt_tmr_start(&net->plt, av_repeat_ms, av_repeat_cb, net);
    if (net->av_tmr == 0)
        net->av_repeat = 0;
}

}  // namespace

// --- Z/IP Gateway (0x5F) ------------------------------------------------------------------

int zwif_gw_mode_set(const zwif_desc_t *intf, uint8_t mode, const zwif_gw_peer_t *peer)
{
    if (const int rc = check(intf, 0x5F); rc != 0)
        return rc;
    if (mode != ZWIF_GW_MODE_STDALONE && mode != ZWIF_GW_MODE_PORTAL)
        return ZW_ERR_VALUE;
    if (mode == ZWIF_GW_MODE_PORTAL &&
        (peer == nullptr || peer->name_len > ZWIF_GW_PEER_NAME_MAX || link_local(peer->addr) ||
         (all_zero(peer->addr, sizeof peer->addr) && peer->name_len == 0)))
        return ZW_ERR_VALUE;
    const uint8_t frame[] = {0x5F, 0x01, mode};
    int rc = gw_send(intf, op_gw_mode_set, 1, frame, sizeof frame);
    if (rc < 0 || mode != ZWIF_GW_MODE_PORTAL)
        return rc;
    uint8_t prof[22 + ZWIF_GW_PEER_NAME_MAX] = {0x5F, 0x04, 0x01};
    std::memcpy(prof + 3, peer->addr, 16);
    prof[19] = static_cast<uint8_t>(peer->port >> 8);
    prof[20] = static_cast<uint8_t>(peer->port);
    prof[21] = peer->name_len;
    std::memcpy(prof + 22, peer->name, peer->name_len);
    return gw_send(intf, op_gw_mode_set, 2, prof, static_cast<uint16_t>(22 + peer->name_len));
}

int zwif_gw_lock_set(const zwif_desc_t *intf, uint8_t lock, uint8_t show)
{
    if (const int rc = check(intf, 0x5F); rc != 0)
        return rc;
    const uint8_t frame[] = {0x5F, 0x07, static_cast<uint8_t>((lock ? 1 : 0) | (show ? 2 : 0))};
    return gw_send(intf, op_gw_lock_set, 1, frame, sizeof frame);
}

int zwif_gw_mode_get(const zwif_desc_t *intf, zwrep_gw_mode_fn cb)
{
    if (const int rc = check(intf, 0x5F); rc != 0)
        return rc;
    const auto trampoline = reinterpret_cast<zwif_rpt_fn>(gw_mode_rpt);
    if (const int rc = zwif_set_report(intf, trampoline, gw_peer_rpt); rc != 0)
        return rc;
    zwnet_p net = intf->net;
    {
        // The request is in place before the GET leaves: the answer may be quick.
        zwnet_lock lk(net);
        net->gw_mode_if = *intf;
        net->gw_mode_cb = reinterpret_cast<zwif_rpt_fn>(cb);
        plt_tmr_stop(&net->plt, net->gw_mode_tmr);
        net->gw_mode_tmr = 0;
        net->gw_mode_pend = 1;
    }
    const int rc = gw_get(intf, gw_mode_get, trampoline);
    zwnet_lock lk(net);
    if (rc < 0) {
        net->gw_mode_pend = 0;
        return rc;
    }
    // Unless the answer came first, the gateway has until the timer runs out.
    plt_tmr_stop(&net->plt, net->gw_mode_tmr);
    net->gw_mode_tmr = net->gw_mode_pend ? plt_tmr_start(&net->plt, gw_mode_wait_ms, gw_mode_tmout_cb, net) : 0;
    return rc;
}

int zwif_gw_unsolic_set(const zwif_desc_t *intf, const uint8_t *addr, uint16_t port)
{
    if (const int rc = check(intf, 0x5F); rc != 0)
        return rc;
    if (addr == nullptr)
        return ZW_ERR_VALUE;
    uint8_t frame[20] = {0x5F, 0x08};
    std::memcpy(frame + 2, addr, 16);
    frame[18] = static_cast<uint8_t>(port >> 8);
    frame[19] = static_cast<uint8_t>(port);
    return gw_send(intf, op_gw_unsolic_set, 1, frame, sizeof frame);
}

int zwif_gw_unsolic_get(const zwif_desc_t *intf, zwrep_gw_unsolic_fn cb)
{
    return gw_get(intf, gw_unsolic_get, reinterpret_cast<zwif_rpt_fn>(cb));
}

// --- Z/IP Portal (0x61) -------------------------------------------------------------------

int zwif_gw_cfg_set(const zwif_desc_t *intf, const zwif_portal_cfg_t *cfg, zwrep_gw_cfg_sts_fn cb)
{
    if (const int rc = check(intf, 0x61); rc != 0)
        return rc;
    if (cfg == nullptr)
        return ZW_ERR_VALUE;
    if (const int rc = zwif_set_report(intf, reinterpret_cast<zwif_rpt_fn>(cb), gw_cfg_sts_rpt); rc != 0)
        return rc;
    uint8_t frame[68] = {0x61, 0x01};
    uint8_t *p = frame + 2;
    auto put = [&p](const void *src, size_t n) {
        std::memcpy(p, src, n);
        p += n;
    };
    put(cfg->lan_addr, 16);
    put(&cfg->lan_prefix_len, 1);
    put(cfg->portal_prefix, 16);
    put(&cfg->portal_prefix_len, 1);
    put(cfg->gw_addr, 16);
    put(cfg->pan_prefix, 16);
    return gw_send(intf, op_gw_cfg_set, 1, frame, sizeof frame);
}

int zwif_gw_cfg_get(const zwif_desc_t *intf, zwrep_gw_cfg_fn cb)
{
    return gw_get(intf, gw_cfg_get, reinterpret_cast<zwif_rpt_fn>(cb));
}

// --- Simple AV Control (0x94) -------------------------------------------------------------

int zwif_av_set(const zwif_desc_t *intf, uint16_t cmd, uint8_t key_down)
{
    if (const int rc = check(intf, 0x94); rc != 0)
        return rc;
    zwnet_p net = intf->net;
    std::lock_guard lk(net->av_mtx);
    av_hold_end(net);
    const uint8_t frame[av_frame_len] = {0x94, 0x01, ++net->av_seq, key_down ? av_key_down : av_key_up, 0, 0,
                                         static_cast<uint8_t>(cmd >> 8), static_cast<uint8_t>(cmd)};
    if (const int rc = zwnode_cur_op_set(intf, op_av_set, 1); rc != 0)
        return rc;
    const int rc = zwif_exec(intf, frame, sizeof frame, zwif_tx_sts_cb, nullptr, 0, nullptr);
    if (rc != 0 || !key_down)
        return rc;
    net->av_if = *intf;
    std::memcpy(net->av_frame, frame, sizeof frame);
    net->av_frame[3] = av_keep_alive;
    net->av_repeat = 1;
    net->av_tmr = plt_tmr_start(&net->plt, av_repeat_ms, av_repeat_cb, net);
    if (net->av_tmr == 0)
        net->av_repeat = 0;
    return rc;
}

int zwif_av_sup_get(const zwif_desc_t *intf, zwrep_av_fn cb, int cache_only)
{
    if (const int rc = check(intf, 0x94); rc != 0)
        return rc;
    const auto fn = reinterpret_cast<zwif_rpt_fn>(cb);
    // The count report and the mask reports that follow it both end in `cb`.
    zwif_set_report(intf, fn, av_sup_rpt);
    return zwif_shape_sup_get(intf, av_sup, fn, cache_only, 0, nullptr, 0);
}
