// The gateway's provisioning list (the DSKs of nodes that may join by
// themselves) and the inclusions that the gateway then runs on behalf of
// this controller. List requests go out without the network mutex; their
// answers reach the application on the receive thread, also without it.
#include "hcapi/net/zwnet_learn.h"

#include "hcapi/core/zwfac.h"
#include "hcapi/core/zwnet_cb.h"
#include "hcapi/net/zwnet_incl.h"
#include "hcapi/net/zwnet_ops.h"

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

constexpr uint8_t wl_sts_included = 1;

struct dsk_text_free {
    void operator()(char *p) const { std::free(p); }
};
using dsk_text_t = std::unique_ptr<char, dsk_text_free>;

zwnet_p net_of(appl_layer_ctx *ctx) { return ctx != nullptr ? static_cast<zwnet_p>(ctx->user) : nullptr; }

// A DSK text into its 16 bytes: false for a missing or bad text.
bool dsk_parse(const char *text, uint8_t *dsk, uint8_t *len)
{
    return text != nullptr && zwnet_dsk_txt_valid(text) && zwnet_dsk_from_txt(text, dsk, len);
}

// A list request (without the network mutex): 0, or -1 after the log line.
template <class F>
int wl_send(zwnet_p net, const char *fail, F &&send)
{
    int rc = 0;
    zwnet_app_call(net, [&] { rc = send(net->appl.get()); });
    if (rc >= 0)
        return 0;
    plt_msg_ts_show(&net->plt, fail, rc);
    return ZW_ERR_FAILED;
}

void zwnet_wl_get_cb(appl_layer_ctx *ctx, const appl_wl_dsk_t *dsk, uint8_t grnt_keys, const appl_wl_rec_t *recs,
                     uint8_t rec_cnt)
{
    zwnet_p net = net_of(ctx);
    if (net == nullptr || dsk == nullptr)
        return;
    dsk_text_t text(zwnet_dsk_to_txt(dsk->dsk, dsk->dsk_len));
    if (!text) {
        plt_msg_ts_show(&net->plt, "zwnet_wl_get_cb: invalid dsk key");
        return;
    }
    std::vector<zwnet_wl_rec_t> out;
    if (recs != nullptr && rec_cnt > 0) {
        try {
            out.resize(rec_cnt);
        } catch (const std::bad_alloc &) {
            return;
        }
        for (uint8_t i = 0; i < rec_cnt; ++i) {
            out[i].type = recs[i].type;
            std::snprintf(out[i].text, sizeof out[i].text, "%s", recs[i].text);
        }
    }
    zwnet_wl_get_fn cb;
    void *user;
    {
        zwnet_lock lk(net);
        cb = net->wl_get_cb;
        user = net->wl_get_user;
    }
    if (cb != nullptr)
        zwnet_app_call(net, [&] {
            cb(user, text.get(), grnt_keys, out.empty() ? nullptr : out.data(), static_cast<uint8_t>(out.size()));
        });
}

// The list handed to the application: slot 0 carries the count in its
// first byte, the other slots own one DSK text each.
struct wl_list_t {
    std::vector<char *> slots;
    ~wl_list_t()
    {
        for (size_t i = 1; i < slots.size(); ++i)
            std::free(slots[i]);
    }
};

void zwnet_wl_list_get_cb(appl_layer_ctx *ctx, const appl_wl_list_t *list)
{
    zwnet_p net = net_of(ctx);
    if (net == nullptr || list == nullptr)
        return;
    wl_list_t out;
    try {
        out.slots.reserve(size_t{list->cnt} + 1);
    } catch (const std::bad_alloc &) {
        return;
    }
    char *count_slot = nullptr;
    std::memset(static_cast<void *>(&count_slot), 0, sizeof count_slot);
    std::memcpy(static_cast<void *>(&count_slot), &list->cnt, 1);
    out.slots.push_back(count_slot);
    for (uint8_t i = 0; i < list->cnt; ++i) {
        char *text = list->ent != nullptr ? zwnet_dsk_to_txt(list->ent[i].dsk, list->ent[i].dsk_len) : nullptr;
        if (text == nullptr) {
            plt_msg_ts_show(&net->plt, "zwnet_wl_list_get_cb: invalid dsk key");
            return;
        }
        out.slots.push_back(text);
    }
    zwnet_wl_list_fn cb;
    void *user;
    {
        zwnet_lock lk(net);
        cb = net->wl_list_cb;
        user = net->wl_list_user;
    }
    if (cb != nullptr)
        zwnet_app_call(net, [&] { cb(user, out.slots.data()); });
}

bool incl_op(uint8_t op) { return op == ZWNET_OP_ADD_NODE || op == ZWNET_OP_RP_NODE; }

// A copy of an add status and its class lists for the request thread.
zwnet_req_t incl_req(const appl_incl_add_t &add)
{
    zwnet_req_t r;
    r.type = ZWNET_REQ_INCL;
    r.node_id = add.info.node_id;
    r.incl = add;
    try {
        if (add.info.cmd_cls != nullptr)
            r.cls.assign(add.info.cmd_cls, add.info.cmd_cls + add.info.cmd_cnt);
    } catch (const std::bad_alloc &) {
        r.cls.clear();
    }
    try {
        if (add.info.cmd_cls_ctl != nullptr)
            r.cls_sec.assign(add.info.cmd_cls_ctl, add.info.cmd_cls_ctl + add.info.cmd_cnt_ctl);
    } catch (const std::bad_alloc &) {
        r.cls_sec.clear();
    }
    // The record's own pointers die with the gateway's packet.
    r.incl.info.cmd_cls = nullptr;
    r.incl.info.cmd_cls_ctl = nullptr;
    r.incl.info.cmd_cnt = static_cast<uint8_t>(r.cls.size());
    r.incl.info.cmd_cnt_ctl = static_cast<uint8_t>(r.cls_sec.size());
    return r;
}

}  // namespace

void zwnet_on_behalf_incl_start(zwnet_p net, const appl_incl_evt_t &evt)
{
    {
        zwnet_lock lk(net);
        if (!(net->controller_capability & 0x02))
            return;
    }
    if (evt.code != APPL_INCL_NODE_ADD && evt.code != APPL_INCL_KEYS_REPORT && evt.code != APPL_INCL_DSK_REPORT) {
        zwnet_incl_evt_hdlr(net, evt);
        return;
    }
    bool low_prio;
    {
        zwnet_lock lk(net);
        low_prio = net->curr_op == ZWNET_OP_NODE_CACHE_UPT;
    }
    if (low_prio) {
        plt_msg_ts_show(&net->plt, "Canceled low priority operation");
        zwnet_abort(net);
    }
    bool hand_on = true;
    {
        zwnet_lock lk(net);
        const uint8_t op = net->curr_op;
        if (incl_op(op) && net->incl->add_mode != 0) {
            // Ours already: the event continues it.
        } else if (op == ZWNET_OP_NONE) {
            net->curr_op = ZWNET_OP_ADD_NODE;
            net->on_behalf = 1;
            zwnet_incl_st &s = *net->incl;
            s.add_mode = 2;
            s.add_rplc = 0;
            s.add_on_behalf = 0;
            s.s2_cb = nullptr;
            s.s2_user = nullptr;
            s.s2_dsk.clear();
            plt_msg_ts_show(&net->plt, "Enter into inclusion on-behalf or pre-kit mode ...");
            // The gateway's final status may never come: the operation must
            // not be held for ever.
            zwnet_incl_wd_start(net, ZWNET_OP_ADD_NODE);
        } else if (evt.code == APPL_INCL_NODE_ADD) {
            plt_msg_ts_show(&net->plt, "Current operation not completed yet, delay processing of inclusion on-behalf");
            hand_on = false;
        }
    }
    if (hand_on) {
        zwnet_incl_evt_hdlr(net, evt);
        return;
    }
    zwnet_req_post(net, incl_req(evt.add));
}

void zwnet_unsolic_wl_sts_cb(appl_layer_ctx *ctx, const appl_wl_dsk_t *dsk, uint8_t status)
{
    zwnet_p net = net_of(ctx);
    if (net == nullptr || dsk == nullptr)
        return;
    dsk_text_t text(zwnet_dsk_to_txt(dsk->dsk, dsk->dsk_len));
    if (!text) {
        plt_msg_ts_show(&net->plt, "zwnet_unsolic_wl_sts_cb: invalid dsk key");
        return;
    }
    plt_msg_ts_show(&net->plt, "zwnet_unsolic_wl_sts_cb: status=%u, dsk key:%s", status, text.get());
    if (status != wl_sts_included)
        return;
    zwnet_op_info_t info{};
    info.type = 0;
    std::snprintf(info.dsk, sizeof info.dsk, "%s", text.get());
    zwnet_notify(net, ZWNET_OP_ADD_NODE, 3, &info);
}

int zwnet_wl_add(zwnet_p net, const char *dsk, uint8_t grnt_keys, const zwnet_wl_rec_t *recs, uint8_t rec_cnt)
{
    if (net == nullptr)
        return ZW_ERR_VALUE;
    uint8_t bytes[ZWNET_DSK_LEN]{};
    uint8_t len = 0;
    if (!dsk_parse(dsk, bytes, &len) || (rec_cnt > 0 && recs == nullptr))
        return ZW_ERR_VALUE;
    std::vector<appl_wl_rec_t> out;
    try {
        out.resize(rec_cnt);
    } catch (const std::bad_alloc &) {
        return ZW_ERR_MEMORY;
    }
    for (uint8_t i = 0; i < rec_cnt; ++i) {
        if (recs[i].type != ZWNET_WL_REC_NAME && recs[i].type != ZWNET_WL_REC_LOCATION)
            return ZW_ERR_VALUE;
        out[i] = appl_wl_rec_t{};
        out[i].type = recs[i].type;
        // The caller's text need not be terminated within its field.
        const size_t n = strnlen(recs[i].text, sizeof recs[i].text);
        std::memcpy(out[i].text, recs[i].text, std::min(n, sizeof out[i].text - 1));
    }
    return wl_send(net, "zwnet_wl_add error:%d", [&](appl_layer_ctx *ctx) {
        return zw_wl_set(ctx, bytes, len, grnt_keys, out.empty() ? nullptr : out.data(), rec_cnt, 0);
    });
}

int zwnet_wl_get(zwnet_p net, const char *dsk, zwnet_wl_get_fn cb, void *user)
{
    if (net == nullptr)
        return ZW_ERR_VALUE;
    uint8_t bytes[ZWNET_DSK_LEN]{};
    uint8_t len = 0;
    if (!dsk_parse(dsk, bytes, &len))
        return ZW_ERR_VALUE;
    {
        zwnet_lock lk(net);
        net->wl_get_cb = cb;
        net->wl_get_user = user;
    }
    return wl_send(net, "zw_wl_get error:%d",
                   [&](appl_layer_ctx *ctx) { return zw_wl_get(ctx, bytes, len, zwnet_wl_get_cb); });
}

int zwnet_wl_clr(zwnet_p net, const char *dsk)
{
    if (net == nullptr)
        return ZW_ERR_VALUE;
    uint8_t bytes[ZWNET_DSK_LEN]{};
    uint8_t len = 0;
    if (!dsk_parse(dsk, bytes, &len))
        return ZW_ERR_VALUE;
    return wl_send(net, "zwnet_wl_clr error:%d", [&](appl_layer_ctx *ctx) {
        return zw_wl_set(ctx, bytes, len, 0, nullptr, 0, APPL_WL_FLAG_REMOVE);
    });
}

int zwnet_wl_list_get(zwnet_p net, zwnet_wl_list_fn cb, void *user)
{
    if (net == nullptr)
        return ZW_ERR_VALUE;
    {
        zwnet_lock lk(net);
        net->wl_list_cb = cb;
        net->wl_list_user = user;
    }
    return wl_send(net, "zw_wl_list_get error:%d",
                   [&](appl_layer_ctx *ctx) { return zw_wl_list_get(ctx, zwnet_wl_list_get_cb); });
}

int zwnet_wl_list_clr(zwnet_p net)
{
    if (net == nullptr)
        return ZW_ERR_VALUE;
    return wl_send(net, "zwnet_wl_list_clr error:%d", [&](appl_layer_ctx *ctx) {
        return zw_wl_set(ctx, nullptr, 0, 0, nullptr, 0, APPL_WL_FLAG_CLEAR);
    });
}
