// The callback thread: it empties the callback queue and calls the
// application, and runs the library's own follow-ups of what it delivered.
#include "hcapi/net/zwnet_cb_thrd.h"

#include "hcapi/core/zwif_rpt.h"
#include "hcapi/core/zwnet_cb.h"
#include "hcapi/include/zwif_ctl.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace {

template <class F>
F fn_of(const zwnet_cb_msg_t &msg)
{
    return reinterpret_cast<F>(msg.cb);
}

void notify_dispatch(zwnet_p net, const zwnet_cb_msg_t &msg)
{
    const auto &n = msg.body.notify;
    if (n.op == ZWNET_OP_INITIALIZE && n.sts == ZWNET_OP_STS_DONE)
        plt_sleep(10);
    if (n.op == ZWNET_OP_SLEEP_NODE_UPT && n.sts == ZWNET_OP_STS_DONE) {
        zwnwsave_dirty_set(net->nw_save_ctx);
        return;
    }
    auto cb = fn_of<zwnet_notify_fn>(msg);
    if (cb != nullptr)
        zwnet_app_call(net, [&] { cb(n.user, n.op, n.sts, n.has_info ? &n.info : nullptr); });
    if (!net->cb_thrd.run)
        return;  // exiting: the facilities are going away
    if (n.sts == ZWNET_OP_STS_DONE) {
        switch (n.op) {
        case ZWNET_OP_ADD_NODE:
        case ZWNET_OP_RM_NODE:
        case ZWNET_OP_RP_NODE:
        case ZWNET_OP_RM_FAILED_ID:
        case ZWNET_OP_INITIATE:
        case ZWNET_OP_UPDATE:
        case ZWNET_OP_RESET:
        case ZWNET_OP_MIGRATE:
        case ZWNET_OP_NODE_UPDATE:
        case ZWNET_OP_NW_CHANGED: zwnwsave_dirty_set(net->nw_save_ctx); break;
        default: break;
        }
        switch (n.op) {
        case ZWNET_OP_INITIALIZE:
        case ZWNET_OP_INITIATE:
        case ZWNET_OP_UPDATE:
        case ZWNET_OP_NW_CHANGED:
            zwdpoll_node_add_all(net->dpoll_ctx);
            if (net->wupoll_ctx != nullptr)
                zwwupoll_node_add_all(net->wupoll_ctx);
            zwnspoll_node_add_all(net->nspoll_ctx);
            break;
        default: break;
        }
        return;
    }
    // Initialisation progress "all nodes done" (high byte == low byte).
    if (n.op == ZWNET_OP_INITIALIZE && (n.sts >> 8) != 0 && (n.sts >> 8) == (n.sts & 0xFF))
        zwnwsave_dirty_set(net->nw_save_ctx);
}

void node_sts_dispatch(zwnet_p net, const zwnet_cb_msg_t &msg)
{
    const auto &s = msg.body.node_sts;
    auto cb = fn_of<zwnet_node_fn>(msg);
    zwnode_desc_t desc{};
    if (s.sts == ZWNET_NODE_REMOVED) {
        desc.nodeid = s.node_id;
        desc.net = net;
        if (cb != nullptr)
            zwnet_app_call(net, [&] { cb(s.user, &desc, s.sts); });
        if (!net->cb_thrd.run)
            return;
        zwdpoll_node_rm(net->dpoll_ctx, &desc);
        zwspoll_node_rm(net->spoll_ctx, s.node_id);
        zwspv_node_cancel(net->spv_ctx, s.node_id);
        if (net->wupoll_ctx != nullptr)
            zwwupoll_node_rm(net->wupoll_ctx, s.node_id);
        zwevtgen_node_rm(net->evtgen_ctx, s.node_id);
        zwnspoll_node_rm(net->nspoll_ctx, s.node_id);
        appl_seq_node_free(net->appl.get(), s.node_id);
        return;
    }
    bool found = false;
    {
        zwnet_lock lk(net);
        zwnode_p node = zwnode_find(&net->ctl, s.node_id);
        found = node != nullptr && zwnode_desc_fill(&desc, node) == 0;
    }
    if (found && cb != nullptr)
        zwnet_app_call(net, [&] { cb(s.user, &desc, s.sts); });
}

void s2_dispatch(zwnet_p net, const zwnet_cb_msg_t &msg)
{
    auto cb = fn_of<zwnet_sec2_fn>(msg);
    if (cb == nullptr)
        return;
    zwnet_sec2_cb_data_t data{};
    void *user;
    if (msg.type == ZWNET_CB_S2_DSK) {
        user = msg.body.s2_dsk.user;
        data.cb_type = ZWNET_SEC2_CB_DSK_REQ;
        data.dsk_req.pin_required = msg.body.s2_dsk.pin_required;
        data.dsk_req.dsk = msg.body.s2_dsk.dsk;
    } else {
        user = msg.body.s2_keys.user;
        data.cb_type = ZWNET_SEC2_CB_KEY_REQ;
        data.key_req.req_keys = static_cast<uint8_t>(msg.body.s2_keys.keys);
        data.key_req.req_csa = static_cast<uint8_t>(msg.body.s2_keys.keys >> 8);
        // The first characters of the gateway's own DSK, which the
        // inclusion keeps in the network, join here with Security 2.
    }
    zwnet_app_call(net, [&] { cb(user, &data); });
}

void cached_rpt_dispatch(zwnet_p net, const zwnet_cb_msg_t *msg)
{
    const auto &b = msg->body.rpt;
    zwif_cached_rpt_deliver(net, &b.intf, msg->cb, b.rpt, b.cnt < ZWNET_CB_RPT_VAL_MAX ? b.cnt : ZWNET_CB_RPT_VAL_MAX,
                            b.val);
}

// Cached supported information (type 1): the interface's block is copied
// under the network mutex, and the callback's arguments are read from the
// copy by data kind, each within the bytes the block has. An interface that
// is gone or holds nothing gives zeros, null pointers and valid 0; a kind
// without a case delivers nothing.
void cached_data_dispatch(zwnet_p net, const zwnet_cb_msg_t *msg)
{
    if (msg->cb == nullptr)
        return;
    const auto &b = msg->body.data;
    std::vector<uint8_t> blk;
    try {
        zwnet_lock lk(net);
        zwif_p i = zwif_rec_get(&b.intf);
        if (i != nullptr && i->data != nullptr && i->data_cnt != 0) {
            const auto *bytes = static_cast<const uint8_t *>(i->data);
            blk.assign(bytes, bytes + size_t(i->data_cnt) * i->data_item_sz);
        }
    } catch (const std::bad_alloc &) {
        return;
    }
    zwif_desc_t d = b.intf;
    const size_t n = blk.size();
    uint8_t *p = blk.data();
    auto call = [&](auto &&f) { zwnet_app_call(net, f); };
    switch (b.kind) {
    case 0: {  // thermostat fan modes: off supported, count, modes
        auto cb = fn_of<zwrep_thrmo_fan_md_sup_fn>(*msg);
        const bool ok = n >= 2 && n >= 2 + size_t(p[1]);
        call([&] { ok ? cb(&d, p[0], p[1], p + 2, 1) : cb(&d, 0, 0, nullptr, 0); });
        break;
    }
    case 1: {  // thermostat modes: count, modes
        auto cb = fn_of<zwrep_thrmo_md_sup_fn>(*msg);
        const bool ok = n >= 1 && n >= 1 + size_t(p[0]);
        call([&] { ok ? cb(&d, p[0], p + 1, 1) : cb(&d, 0, nullptr, 0); });
        break;
    }
    case 2:     // setpoint types
    case 20: {  // the range of one setpoint type
        // count, three bytes, then {u32 valid, minimum, maximum} per type
        constexpr size_t hdr = 4, ent = 4 + 2 * sizeof(zwsetp_t);
        const size_t cnt = n >= hdr ? std::min<size_t>(p[0], (n - hdr) / ent) : 0;
        auto min_of = [&](size_t k) { return p + hdr + ent * k + 4; };
        if (b.kind == 2) {
            auto cb = fn_of<zwrep_thrmo_setp_sup_fn>(*msg);
            uint8_t types[UINT8_MAX];
            for (size_t k = 0; k < cnt; ++k)
                types[k] = min_of(k)[0];
            call([&] { n >= hdr ? cb(&d, static_cast<uint8_t>(cnt), types, 1) : cb(&d, 0, nullptr, 0); });
            break;
        }
        auto cb = fn_of<zwrep_thrmo_setp_range_fn>(*msg);
        zwsetp_t min{}, max{};
        bool found = false;
        for (size_t k = 0; k < cnt && !found; ++k) {
            uint32_t valid;
            std::memcpy(&valid, p + hdr + ent * k, sizeof valid);
            if (valid && min_of(k)[0] == b.arg) {
                std::memcpy(&min, min_of(k), sizeof min);
                std::memcpy(&max, min_of(k) + sizeof min, sizeof max);
                found = true;
            }
        }
        call([&] { found ? cb(&d, min.type, &min, &max, 1) : cb(&d, 0, nullptr, nullptr, 0); });
        break;
    }
    case 8: {  // protection capabilities
        auto cb = fn_of<zwrep_prot_sup_fn>(*msg);
        zwprot_sup_t sup{};
        const bool ok = n == sizeof sup;
        if (ok)
            std::memcpy(&sup, p, sizeof sup);
        call([&] { ok ? cb(&d, &sup, 1) : cb(&d, nullptr, 0); });
        break;
    }
    case 9: {  // number of user codes
        auto cb = fn_of<zwrep_usr_sup_fn>(*msg);
        call([&] { n >= 1 ? cb(&d, p[0], 1) : cb(&d, 0, 0); });
        break;
    }
    case 16: {  // central scenes: scenes, slow refresh, identical, row size, rows
        auto cb = fn_of<zwrep_csc_sup_fn>(*msg);
        call([&] { n >= 4 ? cb(&d, p[0], p[2], p[3], p + 4, p[1], 1) : cb(&d, 0, 0, 0, nullptr, 0, 0); });
        break;
    }
    default: break;
    }
}

// The endpoint interview consumes its events here.
void ep_sm_evt_dispatch(zwnet_p, const zwnet_cb_msg_t *) {}

// A delivered set (or a generated event) as if the device had reported it.
void rpt_replay_dispatch(zwnet_p net, const zwnet_cb_msg_t *msg)
{
    const auto &b = msg->body.replay;
    if (b.len > sizeof b.frame)
        return;
    zwnet_lock lk(net);
    zwif_report_dispatch(zwif_rec_get(&b.intf), b.frame, b.len);
}

void dispatch(zwnet_p net, const zwnet_cb_msg_t &msg)
{
    switch (msg.type) {
    case ZWNET_CB_RPT:
    case ZWNET_CB_DEV_REC: cached_rpt_dispatch(net, &msg); break;
    case ZWNET_CB_DATA: cached_data_dispatch(net, &msg); break;
    case ZWNET_CB_OP_NOTIFY: notify_dispatch(net, msg); break;
    case ZWNET_CB_NODE_STS: node_sts_dispatch(net, msg); break;
    case ZWNET_CB_EP_SM_EVT: ep_sm_evt_dispatch(net, &msg); break;
    case ZWNET_CB_S2_DSK:
    case ZWNET_CB_S2_KEYS: s2_dispatch(net, msg); break;
    case ZWNET_CB_DSK_TEXT: {
        auto cb = fn_of<void (*)(void *, char *)>(msg);
        if (cb != nullptr) {
            zwnet_cb_msg_t copy = msg;
            zwnet_app_call(net, [&] { cb(copy.body.dsk_text.user, copy.body.dsk_text.dsk); });
        }
        break;
    }
    case ZWNET_CB_FAC_RESULT: {
        auto cb = fn_of<zwfac_result_fn>(msg);
        const auto &f = msg.body.fac;
        if (cb != nullptr)
            zwnet_app_call(net, [&] { cb(net, f.intf.nodeid, f.intf.epid, f.intf.cls, f.user, f.sts); });
        break;
    }
    case ZWNET_CB_RPT_REPLAY: rpt_replay_dispatch(net, &msg); break;
    default: break;  // unknown: dropped
    }
}

}  // namespace

void zwnet_cb_thrd(zwnet_p net)
{
    plt_thrd_name_set("zwnet_cb");
    while (plt_sem_wait(net->cb_sem) == 0 && net->cb_thrd.run) {
        for (;;) {
            util_lst_t *item = util_lst_get(net->cb_mtx, &net->cb_lst);
            if (item == nullptr)
                break;
            if (!net->cb_thrd.run) {
                util_lst_free(item);
                break;
            }
            zwnet_cb_msg_t msg;
            std::memcpy(&msg, util_lst_item(item), sizeof msg);
            util_lst_free(item);
            dispatch(net, msg);
            if (!net->cb_thrd.run)
                break;
        }
    }
}
