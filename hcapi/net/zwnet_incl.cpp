// Adding, removing and replacing nodes. The gateway does the radio work;
// here the requests go out, the gateway's status reports are followed, the
// Security 2 questions reach the application through the callback thread,
// and a node that joined is resolved to its address and interviewed.
//
// Every start takes its operation under the one-operation rule before the
// request is sent, so that no second operation slips in while the send
// waits at the gateway's gate, and gives it back when the send fails.
// Requests go out without the network mutex.
#include "hcapi/net/zwnet_incl.h"

#include "hcapi/core/zwfac.h"
#include "hcapi/core/zwnet_cb.h"
#include "hcapi/net/zwnet_ctlr.h"
#include "hcapi/net/zwnet_learn.h"
#include "hcapi/net/zwnet_ndb.h"
#include "hcapi/net/zwnet_ni.h"
#include "hcapi/net/zwnet_ops.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr uint8_t tx_opt_explore = 0x20;
constexpr uint8_t mode_any = 0x01;
constexpr uint8_t mode_s2 = 0x07;
constexpr uint32_t gw_dsk_wait_ms = 5300;
constexpr uint32_t add_ni_delay_ms = 500;
constexpr uint16_t cls_wake_up = 0x84;

struct dsk_text_free {
    void operator()(char *p) const { std::free(p); }
};
using dsk_text_t = std::unique_ptr<char, dsk_text_free>;

struct sts_text_t {
    uint8_t sts;
    const char *text;
};

template <size_t N>
const char *text_of(const sts_text_t (&tbl)[N], uint8_t sts)
{
    for (const sts_text_t &e : tbl)
        if (e.sts == sts)
            return e.text;
    return "unknown";
}

constexpr sts_text_t add_sts_texts[] = {{6, "OK"}, {7, "Failed"}, {9, "Added but insecure"}};
constexpr sts_text_t rm_sts_texts[] = {{6, "OK"}, {7, "Failed"}};
constexpr sts_text_t rplc_sts_texts[] = {
    {4, "The failed node has been replaced"},     {5, "Node id not in failing list"}, {32, "Failed"},
    {3, "The failed node is ready to be replaced"}, {0, "The node is working properly"}, {9, "Security failed"}};
constexpr sts_text_t rm_failed_sts_texts[] = {
    {1, "OK"}, {8, "Node id not in failing list"}, {2, "Failed"}, {32, "Failed"}, {0, "The node is working properly"}};

zwnet_incl_st &st(zwnet_p net) { return *net->incl; }

bool node_id_ok(uint8_t id) { return id >= 1 && id <= ZWNET_NODE_ID_MAX; }

bool incl_op(uint8_t op) { return op == ZWNET_OP_ADD_NODE || op == ZWNET_OP_RP_NODE; }

// An operation of this module ends after it started (network mutex held).
void op_fail(zwnet_p net, uint8_t op)
{
    zwnet_op_clr(net);
    if (net->curr_op == op)
        net->curr_op = ZWNET_OP_NONE;
    zwnet_notify(net, op, ZWNET_OP_STS_FAILED, nullptr);
}

void wd_cb(void *data)
{
    auto *net = static_cast<zwnet_p>(data);
    uint8_t op;
    {
        zwnet_lock lk(net);
        if (!plt_tmr_cb_current(&net->plt))
            return;
        st(net).wd_tmr = 0;
        op = st(net).wd_op;
        if (op == ZWNET_OP_NONE || net->curr_op != op)
            return;
        plt_msg_ts_show(&net->plt, "Operation %u: no final status from the gateway", op);
    }
    // The abort tells the gateway to stop what it may still run.
    zwnet_abort(net);
    zwnet_notify(net, op, ZWNET_OP_STS_FAILED, nullptr);
}

void wd_arm(zwnet_p net, uint8_t op)
{
    zwnet_incl_st &s = st(net);
    plt_tmr_stop(&net->plt, s.wd_tmr);
    s.wd_op = op;
    s.wd_tmr = plt_tmr_start(&net->plt, ZWNET_INCL_WATCHDOG_MS, wd_cb, net);
}

// The add or replace request itself (without the network mutex): 0 or the
// send's error.
int incl_send(zwnet_p net, uint8_t mode)
{
    uint8_t rplc, node_id;
    {
        zwnet_lock lk(net);
        rplc = st(net).add_rplc;
        node_id = st(net).add_node_id;
    }
    int rc = 0;
    zwnet_app_call(net, [&] {
        rc = rplc ? zw_replace_failed_node(net->appl.get(), zwnet_incl_evt_cb, node_id, tx_opt_explore, mode)
                  : zw_add_node_to_network(net->appl.get(), zwnet_incl_evt_cb, mode, tx_opt_explore);
    });
    return rc;
}

void add_tmout_cb(void *data)
{
    auto *net = static_cast<zwnet_p>(data);
    zwnet_lock lk(net);
    if (!zwnet_sm_tmr_expired(net) || st(net).add_state != 1)
        return;
    st(net).add_state = 0;
    const uint8_t op = net->curr_op;
    if (!incl_op(op))
        return;
    plt_msg_ts_show(&net->plt, "zwnet_add_sm: gateway dsk timeout");
    zwnet_incl_wd_stop(net);
    op_fail(net, op);
}

// The gateway's DSK arrived: the add or replace proper goes out.
void add_sm_gw_dsk(zwnet_p net)
{
    uint8_t op;
    {
        zwnet_lock lk(net);
        if (st(net).add_state != 1)
            return;
        zwnet_sm_tmr_stop(net);
        st(net).add_state = 0;
        op = net->curr_op;
        if (!incl_op(op) || st(net).add_on_behalf)
            return;
    }
    const int rc = incl_send(net, mode_s2);
    if (rc == 0)
        return;
    zwnet_lock lk(net);
    plt_msg_ts_show(&net->plt, "zwnet_add_sm: request with error:%d", rc);
    if (net->curr_op == op) {
        zwnet_incl_wd_stop(net);
        op_fail(net, op);
    }
}

void zwnet_sm_gw_dsk_cb(appl_layer_ctx *ctx, const uint8_t *dsk, uint8_t len, uint8_t type)
{
    auto *net = static_cast<zwnet_p>(ctx->user);
    if (net == nullptr)
        return;
    if (len != ZWNET_DSK_LEN || dsk == nullptr) {
        plt_msg_ts_show(&net->plt, "zwnet_sm_gw_dsk_cb: invalid dsk key length of %u", len);
        return;
    }
    dsk_text_t text(zwnet_dsk_to_txt(dsk, len));
    {
        zwnet_lock lk(net);
        if (text)
            std::snprintf(st(net).gw_dsk, sizeof st(net).gw_dsk, "%s", text.get());
    }
    add_sm_gw_dsk(net);
    plt_msg_ts_show(&net->plt, "Z/IP gateway dsk: %s, type: %d", text ? text.get() : "", type);
}

// Starts the add or replace as stored (network mutex held, operation
// taken): 0 when its first request went out.
int add_sm_start(zwnet_p net)
{
    zwnet_incl_st &s = st(net);
    if (s.add_dsk_first) {
        s.add_state = 1;
        zwnet_sm_tmr_start(net, gw_dsk_wait_ms, add_tmout_cb);
        int rc = 0;
        zwnet_app_call(net, [&] { rc = zw_sec2_dsk_get(net->appl.get(), zwnet_sm_gw_dsk_cb, 1); });
        if (rc == 0)
            return 0;
        plt_msg_ts_show(&net->plt, "zw_sec2_dsk_get error:%d", rc);
        if (s.add_state == 1) {
            s.add_state = 0;
            zwnet_sm_tmr_stop(net);
        }
        return -1;
    }
    // An on-behalf inclusion without Security 2 has nothing to ask the
    // gateway: it starts on the gateway's side.
    if (s.add_on_behalf)
        return -1;
    return incl_send(net, mode_any) == 0 ? 0 : -1;
}

int incl_start(zwnet_p net, uint8_t rplc, uint8_t node_id, const zwnet_sec2_req_t *sec2, int on_behalf)
{
    if (net == nullptr)
        return ZW_ERR_VALUE;
    zwnet_lock lk(net);
    if (!(net->controller_role & 0x02) || (on_behalf && !(net->controller_capability & 0x02)))
        return ZW_ERR_UNSUPPORTED;
    const bool s2 = sec2 != nullptr && (net->controller_capability & 0x01);
    if (s2 && (sec2->cb == nullptr || (sec2->dsk != nullptr && !zwnet_dsk_txt_valid(sec2->dsk))))
        return ZW_ERR_VALUE;
    if (rplc && !node_id_ok(node_id))
        return ZW_ERR_VALUE;
    const uint8_t op = rplc ? ZWNET_OP_RP_NODE : ZWNET_OP_ADD_NODE;
    const int rc = zwnet_op_begin(net, op);
    if (rc != 0)
        return rc;
    zwnet_incl_st &s = st(net);
    if (s2) {
        s.s2_user = sec2->user;
        s.s2_cb = sec2->cb;
        s.s2_dsk = sec2->dsk != nullptr ? sec2->dsk : "";
    } else {
        s.s2_user = nullptr;
        s.s2_cb = nullptr;
        s.s2_dsk.clear();
    }
    s.csa_req = 0;
    s.add_mode = on_behalf ? 1 : 0;
    s.add_rplc = rplc;
    s.add_dsk_first = s2 ? 1 : 0;
    s.add_on_behalf = on_behalf ? 1 : 0;
    s.add_node_id = node_id;
    net->on_behalf = s.add_on_behalf;
    net->op_node_id = rplc && !on_behalf ? node_id : 0;
    if (add_sm_start(net) != 0) {
        if (!rplc)
            plt_msg_ts_show(&net->plt, "zwnet_add failed");
        zwnet_op_undo(net, op);
        return ZW_ERR_OP_FAILED;
    }
    zwnet_incl_wd_start(net, op);
    return 0;
}

void zwnet_node_rm_cb(appl_layer_ctx *ctx, uint8_t status, uint8_t node_id)
{
    auto *net = static_cast<zwnet_p>(ctx->user);
    if (net == nullptr)
        return;
    plt_msg_ts_show(&net->plt, "zwnet_node_rm_cb: status:%u (%s)", status, text_of(rm_sts_texts, status));
    zwnet_lock lk(net);
    if (net->curr_op != ZWNET_OP_RM_NODE)
        return;
    zwnet_incl_wd_stop(net);
    if (status == 6) {
        plt_msg_show(&net->plt, "removed node id:%u", node_id);
        if (node_id_ok(node_id) && node_id != net->ctl.nodeid && zwnode_find(&net->ctl, node_id) != nullptr) {
            zwnet_node_sts_notify(net, node_id, ZWNET_NODE_REMOVED);
            appl_node_ip_rm(net->appl.get(), node_id);
            zwnet_node_free(net, node_id);
        }
    }
    net->curr_op = ZWNET_OP_NONE;
    zwnet_notify(net, ZWNET_OP_RM_NODE, status == 6 ? ZWNET_OP_STS_DONE : ZWNET_OP_STS_FAILED, nullptr);
}

int rm_start(zwnet_p net)
{
    if (net == nullptr)
        return ZW_ERR_VALUE;
    zwnet_lock lk(net);
    if (!(net->controller_role & 0x02))
        return ZW_ERR_UNSUPPORTED;
    const int rc = zwnet_op_begin(net, ZWNET_OP_RM_NODE);
    if (rc != 0)
        return rc;
    int snd = 0;
    zwnet_app_call(net, [&] { snd = zw_remove_node_from_network(net->appl.get(), zwnet_node_rm_cb, mode_any); });
    if (snd != 0) {
        plt_msg_ts_show(&net->plt, "zwnet_add: remove node with error:%d", snd);
        zwnet_op_undo(net, ZWNET_OP_RM_NODE);
        return ZW_ERR_OP_FAILED;
    }
    zwnet_incl_wd_start(net, ZWNET_OP_RM_NODE);
    return 0;
}

int rm_failed_start(zwnet_p net, uint8_t node_id)
{
    if (net == nullptr)
        return ZW_ERR_VALUE;
    zwnet_lock lk(net);
    if (!(net->controller_role & 0x02))
        return ZW_ERR_UNSUPPORTED;
    if (!node_id_ok(node_id))
        return ZW_ERR_VALUE;
    const int rc = zwnet_op_begin(net, ZWNET_OP_RM_FAILED_ID);
    if (rc != 0)
        return rc;
    net->op_node_id = node_id;
    int snd = 0;
    zwnet_app_call(net, [&] { snd = zw_remove_failed_node_id(net->appl.get(), rm_failed_node_cb, node_id); });
    if (snd != 0) {
        zwnet_op_undo(net, ZWNET_OP_RM_FAILED_ID);
        return ZW_ERR_OP_FAILED;
    }
    zwnet_incl_wd_start(net, ZWNET_OP_RM_FAILED_ID);
    return 0;
}

// ---------------------------------------------------------------------------
// After a node joined: its address, its interview, its polls
// ---------------------------------------------------------------------------

void zwnet_add_ni_cb(zwnet_p net, uint8_t node_id)
{
    zwnet_lock lk(net);
    zwnode_p node = zwnode_find(&net->ctl, node_id);
    if (node == nullptr)
        return;
    zwnode_desc_t desc{};
    if (zwnode_desc_fill(&desc, node) != 0)
        return;
    const bool sleeping = zwif_find_cls(node->ep.intf, cls_wake_up) != nullptr && !node->listen;
    const bool has_if = node->ep.intf != nullptr;
    const uint32_t wkup_intv = node->wkup_intv;
    const bool multi_client = net->multi_client != 0;
    // The facilities take their own locks: never under the network mutex.
    zwnet_app_call(net, [&] {
        if (!sleeping) {
            if (has_if && net->dpoll_ctx != nullptr)
                zwdpoll_node_add(net->dpoll_ctx, &desc);
            return;
        }
        if (multi_client && net->wupoll_ctx != nullptr)
            zwwupoll_node_add(net->wupoll_ctx, node_id, wkup_intv);
        if (net->nspoll_ctx != nullptr)
            zwnspoll_node_add(net->nspoll_ctx, node_id, 0, wkup_intv);
    });
}

// Starts the interview of a node that joined (network mutex held); its end
// ends the operation.
void add_ni_get(zwnet_p net, uint8_t node_id, uint8_t op, uint16_t sts, uint8_t use_cache)
{
    zwnet_ni_param_t p{};
    p.cmplt_cb = zwnet_add_ni_cb;
    p.node_id = &node_id;
    p.cnt = 1;
    p.delay = add_ni_delay_ms;
    p.op = op;
    p.new_node = 1;
    p.use_cache = use_cache;
    p.ret_route = 1;
    p.gw_dsk = net->controller_capability & 0x01;
    if (zwnet_node_info_sm(net, ZWNET_NI_EVT_START_DSK, &p) == 1) {
        zwnet_notify(net, op, sts, nullptr);
        return;
    }
    plt_msg_ts_show(&net->plt, "zwnet_add_ni_get failed");
    op_fail(net, op);
}

void zwnet_n2ip_cb(zwnet_p net, uint8_t status, const uint64_t *data)
{
    zwnet_lock lk(net);
    const uint64_t d = data != nullptr ? *data : 0;
    const auto node_id = static_cast<uint8_t>(d);
    const auto op = static_cast<uint8_t>(d >> 8);
    const auto sts = static_cast<uint16_t>(d >> 16);
    if (net->curr_op != op)
        return;
    if (status != 0) {
        plt_msg_ts_show(&net->plt, "zwnet_n2ip_cb failed");
        op_fail(net, op);
        return;
    }
    add_ni_get(net, node_id, op, sts, 1);
}

void add_node_nw_cb(zwnet_p net, const appl_incl_add_t &add)
{
    plt_tmr_ctx *plt = &net->plt;
    const appl_node_info_t &info = add.info;
    plt_msg_ts_show(plt, "add_node_nw_cb: status:%u (%s)", info.status, text_of(add_sts_texts, info.status));
    if (add.s2_present)
        plt_msg_show(plt, "security 2: granted key mask:%02Xh, key exchange failed type:%u", add.grnt_keys,
                     add.kex_fail);
    dsk_text_t dsk;
    if (add.dsk_len > 0) {
        const uint8_t len = add.dsk_len < ZWNET_DSK_LEN ? add.dsk_len : ZWNET_DSK_LEN;
        dsk.reset(zwnet_dsk_to_txt(add.dsk, len));
        if (dsk) {
            plt_msg_show(plt, "DSK:%s", dsk.get());
        } else {
            char hex[3 * ZWNET_DSK_LEN + 1]{};
            for (uint8_t i = 0; i < len; ++i)
                std::snprintf(hex + 3 * i, 4, "%02X ", add.dsk[i]);
            plt_msg_show(plt, "Invalid DSK:%s", hex);
        }
    }
    zwnet_lock lk(net);
    const uint8_t op = net->curr_op;
    if (!incl_op(op))
        return;
    zwnet_incl_wd_stop(net);
    const bool joined = info.status == 6 || info.status == 9;
    if (joined && !node_id_ok(info.node_id))
        plt_msg_ts_show(plt, "add_node_nw_cb: invalid node id:%u", info.node_id);
    if (!joined || !node_id_ok(info.node_id)) {
        op_fail(net, op);
        return;
    }
    zwnet_new_node_show(plt, info);
    zwnode_incl_extra_t extra{};
    extra.keys_valid = add.s2_present ? 1 : 0;
    extra.grnt_keys = add.grnt_keys;
    extra.dsk = dsk.get();
    const int rc = zwnode_info_apply(net, &info, &extra);
    if (rc < 0) {
        plt_msg_ts_show(plt, "zwnode_info_apply with error:%d", rc);
        op_fail(net, op);
        return;
    }
    if (zwnode_find(&net->ctl, info.node_id) != nullptr)
        zwnet_node_sts_notify(net, info.node_id, ZWNET_NODE_ADDED);
    zwnet_notify(net, op, 1, nullptr);
    zwnet_n2ip_req_t req{};
    req.node_id[0] = info.node_id;
    req.cnt = 1;
    req.cmplt = zwnet_n2ip_cb;
    req.data = info.node_id | static_cast<uint64_t>(op) << 8 | uint64_t{2} << 16;
    if (zwnet_n2ip_sm(net, ZWNET_N2IP_EVT_START, &req) != 0)
        op_fail(net, op);
}

void rplc_failed_node_cb(zwnet_p net, const appl_incl_rplc_t &r)
{
    plt_msg_ts_show(&net->plt, "rplc_failed_node_cb: status:%u(%s), node id:%u", r.status,
                    text_of(rplc_sts_texts, r.status), r.node_id);
    if (r.s2_present)
        plt_msg_show(&net->plt, "security 2: granted key mask:%02Xh, key exchange failed type:%u", r.grnt_keys,
                     r.kex_fail);
    zwnet_lock lk(net);
    if (net->curr_op != ZWNET_OP_RP_NODE || r.status == 3)
        return;
    zwnet_incl_wd_stop(net);
    if (r.status != 4 && r.status != 9) {
        op_fail(net, ZWNET_OP_RP_NODE);
        return;
    }
    zwnode_p node = node_id_ok(r.node_id) ? zwnode_find(&net->ctl, r.node_id) : nullptr;
    if (node == nullptr) {
        plt_msg_ts_show(&net->plt, "rplc_failed_node_cb: node id:%u not in the network", r.node_id);
        op_fail(net, ZWNET_OP_RP_NODE);
        return;
    }
    zwnet_notify(net, ZWNET_OP_RP_NODE, 1, nullptr);
    node->propty &= 0xF0;
    node->s2_grnt_keys = r.grnt_keys;
    node->s2_keys_valid = r.s2_present ? 1 : 0;
    zwnet_node_sts_notify(net, r.node_id, ZWNET_NODE_UPDATED);
    add_ni_get(net, r.node_id, ZWNET_OP_RP_NODE, 2, 0);
}

// The S2 callback of the running inclusion (network mutex held).
void s2_target(zwnet_p net, zwnet_sec2_fn *cb, void **user)
{
    if (st(net).add_mode == 2) {
        *cb = net->init.sec2;
        *user = net->init.user;
    } else {
        *cb = st(net).s2_cb;
        *user = st(net).s2_user;
    }
}

void incl_req_notify(zwnet_p net, const appl_incl_keys_t &k)
{
    zwnet_lock lk(net);
    st(net).csa_req = k.csa;
    zwnet_sec2_fn cb;
    void *user;
    s2_target(net, &cb, &user);
    if (cb == nullptr)
        return;
    zwnet_cb_msg_t msg;
    msg.type = ZWNET_CB_S2_KEYS;
    msg.cb = reinterpret_cast<void (*)()>(cb);
    msg.body.s2_keys.user = user;
    msg.body.s2_keys.keys = static_cast<uint16_t>(k.req_keys | (k.csa ? 0x100 : 0));
    zwnet_cb_post(net, &msg);
}

void node_dsk_cb(zwnet_p net, const appl_incl_dsk_t &d)
{
    dsk_text_t text(zwnet_dsk_to_txt(d.dsk, ZWNET_DSK_LEN));
    if (!text)
        return;
    std::string expected;
    {
        zwnet_lock lk(net);
        if (st(net).add_mode != 2)
            expected = st(net).s2_dsk;
        if (expected.empty()) {
            zwnet_sec2_fn cb;
            void *user;
            s2_target(net, &cb, &user);
            if (cb == nullptr)
                return;
            zwnet_cb_msg_t msg;
            msg.type = ZWNET_CB_S2_DSK;
            msg.cb = reinterpret_cast<void (*)()>(cb);
            msg.body.s2_dsk.user = user;
            // The gateway blanks the part the user must type: the
            // application gets the rest and asks for the PIN.
            const bool pin = std::strncmp(text.get(), "00000", 5) == 0;
            msg.body.s2_dsk.pin_required = pin ? 1 : 0;
            std::snprintf(msg.body.s2_dsk.dsk, sizeof msg.body.s2_dsk.dsk, "%s", text.get() + (pin ? 5 : 0));
            zwnet_cb_post(net, &msg);
            return;
        }
    }
    const std::string got = text.get();
    const bool blanked = d.dsk[0] == 0 && d.dsk[1] == 0;
    const bool accept = got == expected || (blanked && got.size() > 5 && expected.size() > 5 &&
                                            got.compare(5, std::string::npos, expected, 5, std::string::npos) == 0);
    const int rc = zwnet_add_sec2_accept(net, accept ? 1 : 0, expected.c_str());
    if (rc < 0)
        plt_msg_ts_show(&net->plt, "zwnet_node_dsk_cb: zwnet_add_sec2_accept with error:%d", rc);
}

}  // namespace

void zwnet_incl_evt_hdlr(zwnet_p net, const appl_incl_evt_t &evt)
{
    appl_incl_rplc_t as_rplc{};
    bool rplc = false;
    {
        zwnet_lock lk(net);
        const uint8_t op = net->curr_op;
        if (!incl_op(op))
            return;
        // A gateway that includes on behalf reports a replace as an add:
        // for the node being replaced, or for one that is already ours.
        if (evt.code == APPL_INCL_NODE_ADD && (net->controller_capability & 0x02) && st(net).add_mode != 0 &&
            (op == ZWNET_OP_RP_NODE ||
             (node_id_ok(evt.add.info.node_id) && zwnode_find(&net->ctl, evt.add.info.node_id) != nullptr))) {
            if (st(net).add_mode == 2)
                net->curr_op = ZWNET_OP_RP_NODE;
            const uint8_t s = evt.add.info.status;
            as_rplc.status = s == 6 ? 4 : s == 7 ? 5 : s == 9 ? 9 : 255;
            as_rplc.node_id = evt.add.info.node_id;
            as_rplc.s2_present = evt.add.s2_present;
            as_rplc.grnt_keys = evt.add.grnt_keys;
            as_rplc.kex_fail = evt.add.kex_fail;
            rplc = true;
        }
    }
    if (rplc) {
        rplc_failed_node_cb(net, as_rplc);
        return;
    }
    switch (evt.code) {
    case APPL_INCL_NODE_ADD: add_node_nw_cb(net, evt.add); break;
    case APPL_INCL_FAILED_REPLACE: rplc_failed_node_cb(net, evt.rplc); break;
    case APPL_INCL_KEYS_REPORT: incl_req_notify(net, evt.keys); break;
    case APPL_INCL_DSK_REPORT: node_dsk_cb(net, evt.dsk); break;
    default: break;
    }
}

// ---------------------------------------------------------------------------
// Module interface
// ---------------------------------------------------------------------------

void zwnet_incl_wd_start(zwnet_p net, uint8_t op) { wd_arm(net, op); }

void zwnet_incl_wd_stop(zwnet_p net)
{
    zwnet_incl_st &s = st(net);
    plt_tmr_stop(&net->plt, s.wd_tmr);
    s.wd_tmr = 0;
    s.wd_op = ZWNET_OP_NONE;
}

void zwnet_incl_clr(zwnet_p net)
{
    if (!net->incl)
        return;
    zwnet_incl_wd_stop(net);
    zwnet_incl_st &s = st(net);
    s.add_state = 0;
    s.updt_state = ZWNET_UPDT_IDLE;
    s.nbr.clear();
    s.nbr_failed.clear();
    s.rst_state = ZWNET_RST_IDLE;
}

const char *zwnet_rm_failed_sts_text(uint8_t status) { return text_of(rm_failed_sts_texts, status); }

void zwnet_incl_evt_cb(appl_layer_ctx *ctx, const appl_incl_evt_t *evt)
{
    auto *net = ctx != nullptr ? static_cast<zwnet_p>(ctx->user) : nullptr;
    if (net == nullptr || evt == nullptr)
        return;
    bool on_behalf;
    {
        zwnet_lock lk(net);
        // An inclusion that the gateway starts on its own becomes an
        // operation of ours there (or waits for the running one).
        on_behalf = (net->controller_capability & 0x02) && !incl_op(net->curr_op);
    }
    if (on_behalf)
        zwnet_on_behalf_incl_start(net, *evt);
    else
        zwnet_incl_evt_hdlr(net, *evt);
}

void rm_failed_node_cb(appl_layer_ctx *ctx, uint8_t status, uint8_t node_id)
{
    auto *net = ctx != nullptr ? static_cast<zwnet_p>(ctx->user) : nullptr;
    if (net == nullptr)
        return;
    plt_msg_ts_show(&net->plt, "rm_failed_node_cb: status:%u(%s), node id:%u", status,
                    zwnet_rm_failed_sts_text(status), node_id);
    zwnet_lock lk(net);
    if (net->curr_op != ZWNET_OP_RM_FAILED_ID)
        return;
    zwnet_incl_wd_stop(net);
    const uint8_t target = net->op_node_id;
    if (status == 1 && node_id_ok(target) && target != net->ctl.nodeid) {
        if (zwnode_find(&net->ctl, target) != nullptr) {
            zwnet_node_sts_notify(net, target, ZWNET_NODE_REMOVED);
            appl_node_ip_rm(net->appl.get(), target);
            zwnet_node_free(net, target);
        }
    }
    zwnet_op_clr(net);
    net->curr_op = ZWNET_OP_NONE;
    net->op_node_id = 0;
    zwnet_notify(net, ZWNET_OP_RM_FAILED_ID, status == 1 ? ZWNET_OP_STS_DONE : ZWNET_OP_STS_FAILED, nullptr);
}

// ---------------------------------------------------------------------------
// Public calls
// ---------------------------------------------------------------------------

int zwnet_add(zwnet_p net, uint8_t add, const zwnet_sec2_req_t *sec2, int on_behalf)
{
    return add ? incl_start(net, 0, 0, sec2, on_behalf) : rm_start(net);
}

int zwnet_fail(zwnet_p net, uint8_t node_id, uint8_t replace, const zwnet_sec2_req_t *sec2, int on_behalf)
{
    return replace ? incl_start(net, 1, node_id, sec2, on_behalf) : rm_failed_start(net, node_id);
}

int zwnet_add_sec2_grant_key(zwnet_p net, uint8_t keys, uint8_t csa)
{
    if (net == nullptr)
        return ZW_ERR_VALUE;
    uint8_t csa_out;
    {
        zwnet_lock lk(net);
        csa_out = st(net).csa_req ? csa : 0;
    }
    int rc = 0;
    zwnet_app_call(net, [&] { rc = zw_sec2_key_set(net->appl.get(), keys, csa_out); });
    if (rc < 0)
        plt_msg_ts_show(&net->plt, "zw_sec2_key_set error:%d", rc);
    return rc;
}

int zwnet_add_sec2_accept(zwnet_p net, uint8_t accept, const char *dsk)
{
    if (net == nullptr)
        return ZW_ERR_VALUE;
    uint8_t bytes[ZWNET_DSK_LEN]{};
    if (accept) {
        uint8_t len = 0;
        if (dsk == nullptr || !zwnet_dsk_from_txt(dsk, bytes, &len))
            return ZW_ERR_VALUE;
    }
    int rc = 0;
    // Only the PIN part travels: the gateway has the rest from the node.
    zwnet_app_call(net, [&] { rc = zw_sec2_dsk_set(net->appl.get(), accept ? 1 : 0, 2, bytes); });
    if (rc < 0)
        plt_msg_ts_show(&net->plt, "zw_sec2_dsk_set error:%d", rc);
    return rc;
}
