// Learn mode: the gateway's controller leaves its network, or joins another
// one, and the network is then set up afresh by the initialisation machine
// as operation 6. Joining with Security 2 first fetches the gateway's own
// DSK, which the user reads to the including controller.
//
// The operation is taken before the request goes out and given back when
// the send fails. Requests go out without the network mutex; the DSK
// reaches the application through the callback thread, so that the
// receive thread never waits on it.
#include "hcapi/net/zwnet_learn.h"

#include "hcapi/core/zwfac.h"
#include "hcapi/core/zwnet_cb.h"
#include "hcapi/net/zwnet_init_sm.h"
#include "hcapi/net/zwnet_ops.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

constexpr uint8_t mode_exclude = 1;
constexpr uint8_t mode_join = 2;
constexpr uint8_t keys_all = 0x87;
constexpr uint8_t dsk_type_add = 1;  // a DSK report answering an add, not ours

enum : uint32_t { lrn_idle = 0, lrn_gw_dsk = 1 };
enum : int { evt_tmout = 0, evt_start = 1, evt_gw_dsk = 2 };

enum : uint8_t {
    sts_ok = 6,
    sts_failed = 7,
    sts_secure = 8,
    sts_unsecure = 9,
    sts_interviewed = 10,
};

struct sts_text_t {
    uint8_t sts;
    const char *text;
};
constexpr sts_text_t lrn_sts_texts[] = {{sts_ok, "OK"},
                                        {sts_failed, "Failed"},
                                        {sts_secure, "Included securely"},
                                        {sts_unsecure, "Included but unsecure"},
                                        {sts_interviewed, "post-inclusion interview completed"}};

const char *lrn_sts_text(uint8_t sts)
{
    for (const sts_text_t &e : lrn_sts_texts)
        if (e.sts == sts)
            return e.text;
    return "unknown";
}

struct dsk_text_free {
    void operator()(char *p) const { std::free(p); }
};
using dsk_text_t = std::unique_ptr<char, dsk_text_free>;

bool node_id_ok(uint8_t id) { return id >= 1 && id <= ZWNET_NODE_ID_MAX; }

// Hands a DSK text to the application through the callback thread.
void dsk_post(zwnet_p net, zwnet_dsk_fn cb, void *user, const char *text)
{
    if (cb == nullptr)
        return;
    zwnet_cb_msg_t msg;
    msg.type = ZWNET_CB_DSK_TEXT;
    msg.cb = reinterpret_cast<void (*)()>(cb);
    msg.body.dsk_text.user = user;
    std::snprintf(msg.body.dsk_text.dsk, sizeof msg.body.dsk_text.dsk, "%s", text);
    zwnet_cb_post(net, &msg);
}

void wd_stop(zwnet_p net)
{
    plt_tmr_stop(&net->plt, net->lrn_wd_tmr);
    net->lrn_wd_tmr = 0;
}

// Operation 6 ends in failure (network mutex held).
void lrn_fail(zwnet_p net)
{
    wd_stop(net);
    if (net->lrn_state != lrn_idle) {
        net->lrn_state = lrn_idle;
        zwnet_sm_tmr_stop(net);
    }
    if (net->curr_op == ZWNET_OP_INITIATE)
        net->curr_op = ZWNET_OP_NONE;
    zwnet_notify(net, ZWNET_OP_INITIATE, ZWNET_OP_STS_FAILED, nullptr);
}

void wd_cb(void *data)
{
    auto *net = static_cast<zwnet_p>(data);
    {
        zwnet_lock lk(net);
        if (!plt_tmr_cb_current(&net->plt))
            return;
        net->lrn_wd_tmr = 0;
        if (net->curr_op != ZWNET_OP_INITIATE)
            return;
        plt_msg_ts_show(&net->plt, "Operation %u: no final status from the gateway", ZWNET_OP_INITIATE);
    }
    // The abort takes the gateway out of learn mode.
    zwnet_abort(net);
    zwnet_notify(net, ZWNET_OP_INITIATE, ZWNET_OP_STS_FAILED, nullptr);
}

void zwnet_initiate_cb(appl_layer_ctx *ctx, const appl_lrn_sts_t *sts);

// Learn mode set (network mutex held, released for the send): 0 or the
// send's error.
int learn_send(zwnet_p net, uint8_t mode)
{
    int rc = 0;
    zwnet_app_call(net, [&] { rc = zw_set_learn_mode(net->appl.get(), zwnet_initiate_cb, 0, mode); });
    return rc;
}

int zwnet_initiate_sm(zwnet_p net, int evt, const void *data);

void lrn_tmout_cb(void *data)
{
    auto *net = static_cast<zwnet_p>(data);
    zwnet_lock lk(net);
    if (!zwnet_sm_tmr_expired(net))
        return;
    zwnet_initiate_sm(net, evt_tmout, nullptr);
}

void zwnet_sm_gw_dsk_cb(appl_layer_ctx *ctx, const uint8_t *dsk, uint8_t len, uint8_t type)
{
    auto *net = ctx != nullptr ? static_cast<zwnet_p>(ctx->user) : nullptr;
    if (net == nullptr)
        return;
    if (dsk == nullptr || len != ZWNET_DSK_LEN) {
        plt_msg_ts_show(&net->plt, "zwnet_sm_gw_dsk_cb: invalid dsk key length of %u", len);
        return;
    }
    if (type == dsk_type_add)
        return;
    dsk_text_t text(zwnet_dsk_to_txt(dsk, len));
    if (!text)
        return;
    plt_msg_ts_show(&net->plt, "Z/IP gateway dsk: %s, type: %d", text.get(), type);
    zwnet_lock lk(net);
    zwnet_initiate_sm(net, evt_gw_dsk, text.get());
}

// The machine of joining with Security 2 (network mutex held): 1 when a
// start went out, else 0.
int zwnet_initiate_sm(zwnet_p net, int evt, const void *data)
{
    switch (net->lrn_state) {
    case lrn_idle: {
        if (evt != evt_start)
            return 0;
        net->lrn_state = lrn_gw_dsk;
        zwnet_sm_tmr_start(net, ZWNET_LEARN_DSK_WAIT_MS, lrn_tmout_cb);
        int rc = 0;
        zwnet_app_call(net, [&] { rc = zw_sec2_dsk_get(net->appl.get(), zwnet_sm_gw_dsk_cb, 0); });
        if (rc == 0)
            return 1;
        plt_msg_ts_show(&net->plt, "zw_sec2_dsk_get error:%d", rc);
        if (net->lrn_state == lrn_gw_dsk) {
            net->lrn_state = lrn_idle;
            zwnet_sm_tmr_stop(net);
        }
        return 0;
    }
    case lrn_gw_dsk:
        if (evt == evt_tmout) {
            net->lrn_state = lrn_idle;
            plt_msg_ts_show(&net->plt, "zwnet_initiate_sm: gateway dsk timeout");
            if (net->curr_op == ZWNET_OP_INITIATE)
                lrn_fail(net);
        } else if (evt == evt_gw_dsk && data != nullptr) {
            zwnet_sm_tmr_stop(net);
            net->lrn_state = lrn_idle;
            if (net->curr_op != ZWNET_OP_INITIATE)
                return 0;
            dsk_post(net, net->lrn_dsk_cb, net->lrn_user, static_cast<const char *>(data));
            const int rc = learn_send(net, mode_join);
            if (rc != 0) {
                plt_msg_ts_show(&net->plt, "zw_set_learn_mode with error:%d", rc);
                if (net->curr_op == ZWNET_OP_INITIATE)
                    lrn_fail(net);
            }
        }
        return 0;
    default:
        return 0;
    }
}

// The controller joined another network: nothing of the old one stays
// (network mutex held).
void zwnet_nw_leave_cleanup(zwnet_p net)
{
    while (net->ctl.next != nullptr)
        zwnet_node_free(net, net->ctl.next->nodeid);
    if (!net->nif_path.empty()) {
        unlink(net->nif_path.c_str());
        net->nif_path.clear();
    }
    net->ctl.s2_keys_valid = 1;
    net->ctl.s2_grnt_keys = keys_all;
}

// Learn mode has ended well: the network is set up afresh (network mutex
// held).
void lrn_reinit(zwnet_p net)
{
    if (net->curr_op != ZWNET_OP_INITIATE) {
        plt_msg_ts_show(&net->plt, "zwnet_initiate_cb: incorrect network operation:%u", net->curr_op);
        return;
    }
    wd_stop(net);
    zwnet_init_start_t start{};
    start.op = ZWNET_OP_INITIATE;
    start.load_file = 1;
    // The identity lives in the network record: the machines keep a pointer.
    start.prev = net->lrn_join ? nullptr : &net->lrn_prev;
    if (zwnet_init_sm(net, ZWNET_INIT_EVT_START, &start) != 0)
        lrn_fail(net);
}

void zwnet_initiate_cb(appl_layer_ctx *ctx, const appl_lrn_sts_t *sts)
{
    auto *net = ctx != nullptr ? static_cast<zwnet_p>(ctx->user) : nullptr;
    if (net == nullptr || sts == nullptr)
        return;
    plt_tmr_ctx *plt = &net->plt;
    plt_msg_ts_show(plt, "set_learn_mode_cb: status:%u(%s), new node id:%u", sts->status, lrn_sts_text(sts->status),
                    sts->node_id);
    if (sts->s2_present) {
        plt_msg_show(plt, "security 2: granted key mask:%02Xh", sts->grnt_keys);
        dsk_text_t dsk(zwnet_dsk_to_txt(sts->dsk, ZWNET_DSK_LEN));
        plt_msg_show(plt, "security 2: DSK of including controller:%s", dsk ? dsk.get() : "");
    }
    zwnet_lock lk(net);
    if (net->curr_op != ZWNET_OP_INITIATE) {
        plt_msg_ts_show(plt, "zwnet_initiate_cb: incorrect network operation:%u", net->curr_op);
        return;
    }
    switch (sts->status) {
    case sts_ok:
    case sts_secure:
    case sts_unsecure:
        if (!node_id_ok(sts->node_id)) {
            plt_msg_ts_show(plt, "zwnet_initiate_cb: invalid node id:%u", sts->node_id);
            lrn_fail(net);
            return;
        }
        zwnet_notify(net, ZWNET_OP_INITIATE, 1, nullptr);
        if (net->lrn_join) {
            zwnet_nw_leave_cleanup(net);
            net->ctl.s2_keys_valid = sts->s2_present ? 1 : 0;
            net->ctl.s2_grnt_keys = sts->s2_present ? sts->grnt_keys : 0;
            net->ctl.propty &= static_cast<uint8_t>(~0x0F);
            zwnode_sec_flags_updt(&net->ctl);
        }
        // A newer gateway interviews the controller that included it first
        // and says so with status 10.
        if ((net->feature & 0x04) && sts->node_id != 1)
            return;
        lrn_reinit(net);
        return;
    case sts_interviewed:
        lrn_reinit(net);
        return;
    default:
        lrn_fail(net);
        return;
    }
}

void zwnet_sec2_get_dsk_cb(appl_layer_ctx *ctx, const uint8_t *dsk, uint8_t len, uint8_t)
{
    auto *net = ctx != nullptr ? static_cast<zwnet_p>(ctx->user) : nullptr;
    if (net == nullptr)
        return;
    if (dsk == nullptr || len != ZWNET_DSK_LEN) {
        plt_msg_ts_show(&net->plt, "zwnet_sec2_get_dsk_cb: invalid dsk key length of %u", len);
        return;
    }
    dsk_text_t text(zwnet_dsk_to_txt(dsk, len));
    if (!text)
        return;
    zwnet_lock lk(net);
    dsk_post(net, net->dsk_get_cb, net->dsk_get_user, text.get());
}

}  // namespace

void zwnet_learn_clr(zwnet_p net)
{
    wd_stop(net);
    net->lrn_state = lrn_idle;
}

int zwnet_initiate(zwnet_p net, zwnet_dsk_fn cb, void *user)
{
    if (net == nullptr)
        return ZW_ERR_VALUE;
    zwnet_lock lk(net);
    const int begin = zwnet_op_begin(net, ZWNET_OP_INITIATE);
    if (begin != 0)
        return begin;
    net->lrn_prev = {};
    net->lrn_join = 0;
    // Armed before anything is sent: the final status may come while the
    // send still holds no lock of ours.
    plt_tmr_stop(&net->plt, net->lrn_wd_tmr);
    net->lrn_wd_tmr = plt_tmr_start(&net->plt, ZWNET_LEARN_WATCHDOG_MS, wd_cb, net);
    int rc = 0;
    if (net->ctl.next != nullptr) {
        if (net->zw_role == 1 || net->zw_role == 3) {
            plt_msg_ts_show(&net->plt, "Initiate disallowed for SIS or primary controller network containing other nodes");
            wd_stop(net);
            zwnet_op_undo(net, ZWNET_OP_INITIATE);
            return ZW_ERR_DISALLOWED;
        }
        net->lrn_prev.home_id = net->homeid;
        net->lrn_prev.node_id = net->ctl.nodeid;
        plt_msg_ts_show(&net->plt, "Set learn mode for exclusion");
        rc = learn_send(net, mode_exclude);
    } else {
        net->lrn_join = 1;
        plt_msg_ts_show(&net->plt, "Set learn mode for joining other network");
        if (net->controller_capability & 0x01) {
            if (cb == nullptr) {
                rc = ZW_ERR_VALUE;
            } else {
                net->lrn_user = user;
                net->lrn_dsk_cb = cb;
                rc = zwnet_initiate_sm(net, evt_start, nullptr) == 1 ? 0 : ZW_ERR_FAILED;
            }
        } else {
            rc = learn_send(net, mode_join);
        }
    }
    if (rc != 0) {
        plt_msg_ts_show(&net->plt, "zw_set_learn_mode with error:%d", rc);
        if (net->curr_op == ZWNET_OP_INITIATE) {
            wd_stop(net);
            zwnet_op_undo(net, ZWNET_OP_INITIATE);
        }
        return ZW_ERR_OP_FAILED;
    }
    return 0;
}

int zwnet_sec2_get_dsk(zwnet_p net, zwnet_dsk_fn cb, void *user)
{
    if (net == nullptr)
        return ZW_ERR_VALUE;
    zwnet_lock lk(net);
    const uint8_t op = net->curr_op;
    if (op == ZWNET_OP_ADD_NODE || op == ZWNET_OP_RP_NODE || op == ZWNET_OP_INITIATE)
        return ZW_ERR_LAST_OP_NOT_DONE;
    if (!(net->controller_capability & 0x01))
        return ZW_ERR_UNSUPPORTED;
    net->dsk_get_cb = cb;
    net->dsk_get_user = user;
    int rc = 0;
    zwnet_app_call(net, [&] { rc = zw_sec2_dsk_get(net->appl.get(), zwnet_sec2_get_dsk_cb, 0); });
    if (rc < 0)
        plt_msg_ts_show(&net->plt, "zwnet_sec2_get_dsk error:%d", rc);
    return rc;
}
