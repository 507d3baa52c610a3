// The node interview's machine: which query comes next for the node under
// interview, how each reply, status and time-out moves it on, and the walk
// from one node of the list to the next. Everything here runs with the
// network mutex held; the step timer's expiry takes it.
#include "hcapi/net/zwnet_ni.h"

#include "hcapi/core/zwnet_cb.h"
#include "hcapi/core/zwnode_q.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <iterator>
#include <new>

namespace {

// Internal event: the node information request may go out again after the
// sender was busy (the walk waits on its timer, never asleep on the mutex).
constexpr int evt_next_retry = 6;

constexpr uint32_t busy_retry_ms = 2000;
constexpr uint32_t tmout_retry_ms = 100;
constexpr uint32_t tx_busy_retry_ms = 1000;
constexpr uint8_t tx_busy_tries = 11;
constexpr uint8_t ni_max_age = 1;  // of the gateway's cached node information, as 2^n minutes
constexpr uint8_t req_wkup_no_more_info = 6;
constexpr uint8_t role_portable_slave = 4;

bool node_id_ok(uint8_t id) { return id >= 1 && id <= APPL_NODE_MAX; }

zwnode_p cur_node(zwnet_p net)
{
    return node_id_ok(net->ni_node) ? zwnode_find(&net->ctl, net->ni_node) : nullptr;
}

zwif_p root_if(zwnode_p node, uint16_t cls) { return node ? zwif_find_cls(node->ep.intf, cls) : nullptr; }

// The reply of an event when it is about the node under interview's root.
const zwnet_ni_rpt_t *rpt_of(zwnet_p net, const void *data)
{
    const auto *rec = static_cast<const zwnet_ni_rpt_t *>(data);
    return (rec != nullptr && rec->node_id == net->ni_node && rec->ep_id == 0) ? rec : nullptr;
}

// A first time-out is worth one more try, a second is not.
bool first_tmout(zwnet_p net) { return ++net->ni_tmout_cnt == 1; }

void rec_clear(zwnet_p net)
{
    net->ni_rec = zwnet_ni_rec_t{};
    net->ni_node = 0;
}

// Commands the node held while it was taken for asleep go out now that it
// is known to be awake (or to listen): handed to the command-queue thread as
// at a wake-up, never dropped.
void cmd_q_handoff(zwnode_p node)
{
    if (!node->cmd_q.empty() && node->ep.intf != nullptr)
        zwnode_wkup_q_post(node->ep.intf);
}

void no_more_info_req(zwnet_p net, uint8_t node_id)
{
    // The request thread ends the node's wake-up period after a pause.
    const uint8_t req[2] = {node_id, req_wkup_no_more_info};
    if (util_lst_add(net->req_mtx, &net->req_lst, req, sizeof req) == 0)
        plt_sem_post(net->req_sem);
}

// ---------------------------------------------------------------------------
// The walk
// ---------------------------------------------------------------------------

void sm_next(zwnet_p net);
void cls_hdlr(zwnet_p net, zwnode_p node, int stage);

void walk_end(zwnet_p net)
{
    zwnet_ni_tmr_stop(net);
    net->ni_state = ZWNET_NI_IDLE;
    const zwnet_ni_rec_t &r = net->ni_rec;
    const uint8_t first = r.node_id.empty() ? 0 : r.node_id.front();
    const uint8_t op = r.op;
    const zwnet_ni_cmplt_fn cb = r.cmplt_cb;
    if (op == ZWNET_OP_SLEEP_NODE_UPT)
        zwnet_node_sts_notify(net, first, ZWNET_NODE_UPDATED);
    rec_clear(net);
    net->curr_op = ZWNET_OP_NONE;
    if (cb != nullptr)
        cb(net, first);
    zwnet_notify(net, op, ZWNET_OP_STS_DONE, nullptr);
}

// Asks the gateway for the node information of the node at the walk's
// index; the walk ends when it cannot.
void node_info_req(zwnet_p net, bool retry)
{
    zwnet_ni_rec_t &r = net->ni_rec;
    if (r.idx >= r.node_id.size()) {
        walk_end(net);
        return;
    }
    net->ni_node = r.node_id[r.idx];
    if (!retry) {
        net->ni_tx_busy_cnt = 0;
        net->ni_tmout_cnt = 0;
        net->ni_busy_cnt = 0;
        net->ni_answered = 0;
    }
    const int rc = zw_request_node_info(net->appl.get(), zwnet_ni_chd_get_cb, net->ni_node, ni_max_age);
    if (rc == 0) {
        net->ni_state = ZWNET_NI_NODE_INFO;
        zwnet_ni_tmr_start(net, ZWNET_NI_NODE_INFO_MS, ZWNET_NI_EVT_TMOUT);
        return;
    }
    if (rc == ZIP_ERR_SSN_BUSY || rc == ZIP_ERR_APPL_BUSY) {
        plt_msg_ts_show(&net->plt, "zwnet_sm_next: tx busy with error:%d", rc);
        if (++net->ni_tx_busy_cnt < tx_busy_tries) {
            net->ni_state = ZWNET_NI_NODE_INFO;
            zwnet_ni_tmr_start(net, tx_busy_retry_ms, evt_next_retry);
            return;
        }
    } else {
        plt_msg_ts_show(&net->plt, "zwnet_sm_next: zw_request_node_info with error:%d", rc);
    }
    walk_end(net);
}

void sm_next(zwnet_p net)
{
    zwnet_ni_tmr_stop(net);
    zwnet_ni_rec_t &r = net->ni_rec;
    if (r.idx < r.node_id.size()) {
        if (zwnode_p node = zwnode_find(&net->ctl, r.node_id[r.idx])) {
            zwnode_sec_flags_updt(node);
            if (node->sleep_cap) {
                if (net->ni_answered)
                    cmd_q_handoff(node);
                if (r.new_node)
                    no_more_info_req(net, node->nodeid);
            }
        }
    }
    r.idx = static_cast<uint8_t>(r.idx + 1);
    if (r.op != ZWNET_OP_SLEEP_NODE_UPT)
        zwnet_notify(net, r.op, static_cast<uint16_t>(r.node_id.size() << 8 | r.idx), nullptr);
    node_info_req(net, false);
}

// Keeps a start record and its own copy of the list, unless a walk is
// stored already: true when stored.
bool rec_store(zwnet_p net, const zwnet_ni_param_t *p)
{
    if (p == nullptr || p->cnt == 0 || p->node_id == nullptr || !net->ni_rec.node_id.empty())
        return false;
    zwnet_ni_rec_t nr;
    try {
        // Only ids that can name a node join the walk.
        for (uint8_t i = 0; i < p->cnt; ++i)
            if (node_id_ok(p->node_id[i]))
                nr.node_id.push_back(p->node_id[i]);
    } catch (const std::bad_alloc &) {
        return false;
    }
    if (nr.node_id.empty())
        return false;
    nr.cmplt_cb = p->cmplt_cb;
    nr.delay = p->delay;
    nr.op = p->op;
    nr.new_node = p->new_node;
    nr.use_cache = p->use_cache;
    nr.ret_route = p->ret_route;
    nr.gw_dsk = p->gw_dsk;
    nr.skip_sleeping = p->skip_sleeping;
    net->ni_rec = std::move(nr);
    return true;
}

int walk_start(zwnet_p net, const zwnet_ni_param_t *p)
{
    zwnet_ni_rec_t &r = net->ni_rec;
    const bool fresh = p != nullptr;
    if (fresh) {
        if (!rec_store(net, p))
            return 0;
    } else if (r.node_id.empty()) {
        return 0;
    }
    r.idx = 0;
    net->ni_node = r.node_id[0];
    net->ni_tmout_cnt = net->ni_busy_cnt = net->ni_tx_busy_cnt = 0;
    net->ni_answered = 0;

    if (r.use_cache && net->multi_client) {
        zwnode_p node = cur_node(net);
        if (node == nullptr) {
            rec_clear(net);
            return 0;
        }
        cls_hdlr(net, node, 0);
        return 1;
    }
    const int rc = zw_request_node_info(net->appl.get(), zwnet_ni_chd_get_cb, net->ni_node, ni_max_age);
    if (rc != 0) {
        plt_msg_ts_show(&net->plt, "zwnet_node_info_sm: zw_request_node_info with error:%d", rc);
        if (fresh) {
            rec_clear(net);
            return 0;
        }
        sm_next(net);
        return 0;
    }
    net->ni_state = ZWNET_NI_NODE_INFO;
    zwnet_ni_tmr_start(net, ZWNET_NI_NODE_INFO_MS, ZWNET_NI_EVT_TMOUT);
    return 1;
}

// ---------------------------------------------------------------------------
// What comes next for a node
// ---------------------------------------------------------------------------

void root_ep_done_cb(zwnet_p net, uint8_t) { zwnet_node_info_sm(net, ZWNET_NI_EVT_ROOT_EP_DONE, nullptr); }
void eps_done_cb(zwnet_p net, uint8_t) { zwnet_node_info_sm(net, ZWNET_NI_EVT_EPS_DONE, nullptr); }

// The root endpoint's own interview, the last step of a node.
void root_ep_start(zwnet_p net, zwnode_p node)
{
    // The state is set first: the endpoint interview may finish at once.
    net->ni_state = ZWNET_NI_ROOT_EP;
    zwnet_ep_info_param_t p;
    p.cmplt_cb = root_ep_done_cb;
    p.node_id = node->nodeid;
    p.ep_id = 0;
    if (!zwnet_1_ep_info_sm(net, 1, &p)) {
        plt_msg_ts_show(&net->plt, "zwnet_sm_cls_hdlr: single endpoint state-machine is in wrong state: %d", 1);
        sm_next(net);
    }
}

// The interview of the endpoints after the root; without any, the node ends.
void eps_start(zwnet_p net, zwnode_p node)
{
    if (node->ep.next == nullptr || zwnet_sm_ep_sm_start(net, node->ep.next) != 0)
        sm_next(net);
}

void cls_hdlr(zwnet_p net, zwnode_p node, int stage)
{
    net->ni_tmout_cnt = 0;
    net->ni_busy_cnt = 0;
    zwep_p root = &node->ep;
    if (stage == 0) {
        zwnet_node_flags_updt(node);
        if (net->ni_rec.ret_route && (net->controller_role & 0x02) && zwnet_sm_rr_assign(net, node) == 0)
            return;
    }
    if (stage <= 1) {
        zwif_p first = root->intf;
        while (first != nullptr && (first->cls == COMMAND_CLASS_BASIC || first->cls > 0xFF))
            first = first->next;
        zwif_p ver = root_if(node, COMMAND_CLASS_VERSION);
        if (ver != nullptr && first != nullptr && zwnet_sm_ver_get(net, ver, first->cls) == 0)
            return;
    }
    if (stage <= 2)
        if (zwif_p i = root_if(node, COMMAND_CLASS_ZWAVEPLUS_INFO); i && zwnet_sm_zwave_plus_get(net, i) == 0)
            return;
    if (stage <= 3)
        if (zwif_p i = root_if(node, COMMAND_CLASS_MANUFACTURER_SPECIFIC); i && zwnet_sm_manf_get(net, i) == 0)
            return;
    if (stage <= 4)
        if (zwif_p i = root_if(node, COMMAND_CLASS_WAKE_UP); i && zwnet_sm_wkup_get(net, i) == 0)
            return;
    if (stage <= 4 || stage == 6) {
        if (zwif_p mc = root_if(node, COMMAND_CLASS_MULTI_CHANNEL)) {
            int rc;
            if (net->feature & 0x02)
                rc = zwnet_sm_mul_ch_ep_get(net, mc);
            else if (mc->ver >= 2)
                rc = zwnet_sm_ch_get(net, mc);
            else
                rc = root->intf ? zwnet_sm_inst_get(net, mc, root->intf->cls) : ZW_ERR_FAILED;
            if (rc == 0)
                return;
        }
    }
    root_ep_start(net, node);
}

// ---------------------------------------------------------------------------
// Records the replies fill
// ---------------------------------------------------------------------------

void ep_rm(zwnode_p node, zwep_p ep)
{
    if (ep == &node->ep)
        return;
    for (zwep_p *link = &node->ep.next; *link != nullptr; link = &(*link)->next) {
        if (*link == ep) {
            *link = ep->next;
            zwep_if_rm_all(ep);
            delete ep;
            return;
        }
    }
}

void ep_rm_all_but_root(zwnode_p node)
{
    while (node->ep.next != nullptr)
        ep_rm(node, node->ep.next);
}

// An interface of the class on an endpoint of the node, at the root's
// version of that class (1 when the root lacks it).
int ep_if_add(zwnode_p node, zwep_p ep, uint16_t cls)
{
    if (zwif_find_cls(ep->intf, cls) != nullptr)
        return 0;
    zwif_p root = root_if(node, cls);
    zwif_p intf = zwif_create(cls, root ? root->ver : 1, IF_PROPTY_UNSECURE);
    if (intf == nullptr || !zwif_attach(ep, intf)) {
        zwif_dat_free(intf);
        return ZW_ERR_MEMORY;
    }
    return 0;
}

// Multi-instance endpoints 1..count, each with Basic and the class.
int ep_mi_create(zwnode_p node, uint16_t cls, uint8_t cnt)
{
    for (uint8_t id = 1; id <= cnt && id < 128; ++id) {
        zwep_p ep = zwep_find(&node->ep, id);
        if (ep == nullptr) {
            ep = zwep_create(node, id);
            if (ep == nullptr)
                return ZW_ERR_MEMORY;
            ep->generic = node->ep.generic;
            ep->specific = node->ep.specific;
            zwif_p basic = zwif_create(COMMAND_CLASS_BASIC, 1, IF_PROPTY_UNSECURE);
            if (basic == nullptr || !zwif_attach(ep, basic)) {
                zwif_dat_free(basic);
                return ZW_ERR_MEMORY;
            }
        }
        if (ep_if_add(node, ep, cls) != 0)
            return ZW_ERR_MEMORY;
    }
    return 0;
}

// An endpoint as its capability describes it: kept when it already is so,
// else made again.
int ep_cap_apply(zwnode_p node, uint8_t ep_id, const zwnet_ni_rpt_t &cap)
{
    if (ep_id == 0)
        return ZW_ERR_VALUE;
    if (zwep_p old = zwep_find(&node->ep, ep_id)) {
        bool same = old->generic == cap.gen && old->specific == cap.spec;
        for (uint8_t i = 0; same && i < cap.cnt; ++i)
            same = zwif_find_cls(old->intf, cap.list[i]) != nullptr;
        if (same)
            return 0;
        ep_rm(node, old);
    }
    zwep_p ep = zwep_create(node, ep_id);
    if (ep == nullptr)
        return ZW_ERR_MEMORY;
    ep->generic = cap.gen;
    ep->specific = cap.spec;
    // Basic first; a class listed twice gets one interface.
    if (ep_if_add(node, ep, COMMAND_CLASS_BASIC) != 0)
        return ZW_ERR_MEMORY;
    for (uint8_t i = 0; i < cap.cnt; ++i)
        if (ep_if_add(node, ep, cap.list[i]) != 0)
            return ZW_ERR_MEMORY;
    return 0;
}

void wkup_set(zwnet_p net, zwnode_p node, zwif_p wk, const zwnet_wkup_rec_t &w)
{
    uint32_t intv = net->opt_val != 0 ? net->opt_val : w.cur;
    // Into the node's range, when it told us one.
    if (wk->ver > 1 && w.max != 0) {
        if (intv < w.min)
            intv = w.min;
        else if (intv > w.max)
            intv = w.max;
        else if (w.step != 0)
            intv = w.min + ((intv - w.min) / w.step) * w.step;
    }
    if (node->ep.zwplus_info.role_type == role_portable_slave)
        intv = 0;
    intv = std::min<uint32_t>(intv, 0xFFFFFF);
    const uint8_t cmd[6] = {0x84, 0x04, static_cast<uint8_t>(intv >> 16), static_cast<uint8_t>(intv >> 8),
                            static_cast<uint8_t>(intv), net->ctl.nodeid};
    zwif_desc_t d;
    zwif_desc_fill(&d, wk);
    if (zwif_exec_simple(&d, cmd, sizeof cmd, nullptr) >= 0)
        node->wkup_intv = intv;
}

// ---------------------------------------------------------------------------
// Actions, one per (state, event)
// ---------------------------------------------------------------------------

using act_fn = int (*)(zwnet_p net, void *data);

int start(zwnet_p net, void *data) { return walk_start(net, static_cast<const zwnet_ni_param_t *>(data)); }

int start_dsk(zwnet_p net, void *data)
{
    const auto *p = static_cast<const zwnet_ni_param_t *>(data);
    // Stored as a walk that waits: its timer starts it.
    if (!rec_store(net, p))
        return 0;
    net->ni_node = net->ni_rec.node_id[0];
    if (!net->ni_rec.gw_dsk) {
        zwnet_ni_tmr_start(net, net->ni_rec.delay, ZWNET_NI_EVT_START);
        return 1;
    }
    const int rc = zw_sec2_dsk_get(net->appl.get(), [](appl_layer_ctx *ctx, const uint8_t *, uint8_t, uint8_t) {
        auto *n = static_cast<zwnet_p>(ctx->user);
        zwnet_lock lk(n);
        zwnet_node_info_sm(n, ZWNET_NI_EVT_GW_DSK, nullptr);
    }, 1);
    if (rc != 0) {
        plt_msg_ts_show(&net->plt, "zw_sec2_dsk_get error:%d", rc);
        rec_clear(net);
        return 0;
    }
    net->ni_state = ZWNET_NI_GW_DSK;
    zwnet_ni_tmr_start(net, 800, ZWNET_NI_EVT_TMOUT);
    return 1;
}

// The timer of a stored walk (delay, or the wait for the gateway's DSK).
int delayed_start(zwnet_p net, void *data)
{
    if (data != nullptr)
        return start(net, data);
    return walk_start(net, nullptr);
}

int dsk_done(zwnet_p net, void *)
{
    net->ni_state = ZWNET_NI_IDLE;
    zwnet_ni_tmr_start(net, net->ni_rec.delay, ZWNET_NI_EVT_START);
    return 0;
}

int ni_arrived(zwnet_p net, void *data)
{
    zwnet_ni_tmr_stop(net);
    zwnode_p node = cur_node(net);
    if (node == nullptr) {
        sm_next(net);
        return 0;
    }
    if (const auto *info = static_cast<const appl_node_info_t *>(data)) {
        node->listen = info->listen;
        node->sensor = info->sensor;
    }
    zwnet_node_flags_updt(node);
    if (net->ni_rec.skip_sleeping && node->sleep_cap) {
        node->upd_on_wkup = 1;
        sm_next(net);
        return 0;
    }
    cls_hdlr(net, node, 0);
    return 0;
}

int ni_busy(zwnet_p net, void *data)
{
    const auto *rec = static_cast<const zwnet_ni_rpt_t *>(data);
    if (rec != nullptr && rec->sts == 1 && net->ni_busy_cnt < ZWNET_NI_BUSY_MAX) {
        ++net->ni_busy_cnt;
        zwnet_ni_tmr_start(net, busy_retry_ms, ZWNET_NI_EVT_NODE_INFO_RETRY);
        return 0;
    }
    sm_next(net);
    return 0;
}

int ni_retry(zwnet_p net, void *)
{
    if (zw_request_node_info(net->appl.get(), zwnet_ni_chd_get_cb, net->ni_node, ni_max_age) == 0) {
        plt_msg_ts_show(&net->plt, "zwnet_node_info_sm: Retrying get node info ...");
        zwnet_ni_tmr_start(net, ZWNET_NI_NODE_INFO_MS, ZWNET_NI_EVT_TMOUT);
        return 0;
    }
    sm_next(net);
    return 0;
}

int ni_tmout(zwnet_p net, void *)
{
    if (first_tmout(net))
        zwnet_ni_tmr_start(net, tmout_retry_ms, ZWNET_NI_EVT_NODE_INFO_RETRY);
    else
        sm_next(net);
    return 0;
}

int ni_tx_retry(zwnet_p net, void *)
{
    node_info_req(net, true);
    return 0;
}

// Goes on at `stage` with the node under interview, or with the next node.
int stage_of(zwnet_p net, int stage)
{
    zwnet_ni_tmr_stop(net);
    if (zwnode_p node = cur_node(net))
        cls_hdlr(net, node, stage);
    else
        sm_next(net);
    return 0;
}

int rr_done(zwnet_p net, void *data)
{
    if (rpt_of(net, data) == nullptr)
        return 0;
    return stage_of(net, 1);
}

int rr_busy(zwnet_p net, void *data)
{
    const auto *rec = static_cast<const zwnet_ni_rpt_t *>(data);
    if (rec == nullptr || rec->sts != 1) {
        sm_next(net);
        return 0;
    }
    if (net->ni_busy_cnt < ZWNET_NI_BUSY_MAX) {
        ++net->ni_busy_cnt;
        zwnet_ni_tmr_start(net, busy_retry_ms, ZWNET_NI_EVT_RR_RETRY);
        return 0;
    }
    return stage_of(net, 1);
}

int rr_retry(zwnet_p net, void *)
{
    zwnode_p node = cur_node(net);
    if (node != nullptr && zwnet_sm_rr_assign(net, node) == 0) {
        plt_msg_ts_show(&net->plt, "zwnet_node_info_sm: Retrying assign return route ...");
        return 0;
    }
    return stage_of(net, 1);
}

int rr_tmout(zwnet_p net, void *)
{
    if (first_tmout(net)) {
        zwnet_ni_tmr_start(net, tmout_retry_ms, ZWNET_NI_EVT_RR_RETRY);
        return 0;
    }
    return stage_of(net, 1);
}

int cls_ver(zwnet_p net, void *data)
{
    const zwnet_ni_rpt_t *rec = rpt_of(net, data);
    zwnode_p node = cur_node(net);
    // Only the answer to the class asked: another class's report is stale.
    if (rec == nullptr || node == nullptr || net->ni_step != ZWNET_NI_STEP_CLS_VER || rec->cls != net->ni_cls)
        return 0;
    zwif_p slot = root_if(node, COMMAND_CLASS_VERSION);
    if (slot == nullptr)
        return stage_of(net, 2);
    const int rc = zwnet_ver_rpt_get(net, &slot, nullptr, rec->cls, rec->ver, 0, 0);
    if (rc == 0) {
        net->ni_tmout_cnt = 0;
        zwnet_ni_tmr_start(net, ZWNET_NI_STEP_MS, ZWNET_NI_EVT_TMOUT);
        return 0;
    }
    // Every class answered (or no more can be asked): the node's own versions.
    if (slot != nullptr && zwnet_sm_node_ver_get(net, slot) == 0) {
        net->ni_tmout_cnt = 0;
        return 0;
    }
    return stage_of(net, 2);
}

int node_ver(zwnet_p net, void *data)
{
    const zwnet_ni_rpt_t *rec = rpt_of(net, data);
    zwnode_p node = cur_node(net);
    if (rec == nullptr || node == nullptr || net->ni_step != ZWNET_NI_STEP_NODE_VER)
        return 0;
    node->proto_ver = rec->proto_ver;
    node->app_ver = rec->app_ver;
    node->lib_type = rec->lib_type;
    const size_t sz = offsetof(ext_ver_t, fw_ver) + sizeof(uint16_t) * std::max<size_t>(rec->cnt, 1);
    if (auto *ext = static_cast<ext_ver_t *>(std::calloc(1, sz))) {
        ext->hw_ver = rec->hw_ver;
        ext->fw_cnt = rec->cnt;
        std::copy_n(rec->list, rec->cnt, ext->fw_ver);
        std::free(node->ext_ver);
        node->ext_ver = ext;
    }
    return stage_of(net, 2);
}

int ver_tmout(zwnet_p net, void *)
{
    zwnode_p node = cur_node(net);
    zwif_p ver = root_if(node, COMMAND_CLASS_VERSION);
    if (first_tmout(net) && ver != nullptr) {
        const int rc = net->ni_step == ZWNET_NI_STEP_NODE_VER ? zwnet_sm_node_ver_get(net, ver)
                                                               : zwnet_sm_ver_get(net, ver, net->ni_cls);
        if (rc == 0)
            return 0;
    } else if (node != nullptr && node->sleep_cap && net->ni_rec.op == ZWNET_OP_NODE_UPDATE) {
        plt_msg_ts_show(&net->plt,
                        "zwnet_node_info_sm: retry querying of sleeping node detailed info on next wakeup");
        node->upd_on_wkup = 1;
    }
    return stage_of(net, 2);
}

int zwplus(zwnet_p net, void *data)
{
    const zwnet_ni_rpt_t *rec = rpt_of(net, data);
    zwnode_p node = cur_node(net);
    if (rec == nullptr || node == nullptr)
        return 0;
    node->ep.zwplus_info = rec->zwplus;
    return stage_of(net, 3);
}

int zwplus_tmout(zwnet_p net, void *)
{
    zwif_p i = root_if(cur_node(net), COMMAND_CLASS_ZWAVEPLUS_INFO);
    if (first_tmout(net) && i != nullptr && zwnet_sm_zwave_plus_get(net, i) == 0)
        return 0;
    return stage_of(net, 3);
}

int manf(zwnet_p net, void *data)
{
    const zwnet_ni_rpt_t *rec = rpt_of(net, data);
    zwnode_p node = cur_node(net);
    if (rec == nullptr || node == nullptr || net->ni_step != ZWNET_NI_STEP_MANF)
        return 0;
    node->vid = rec->vid;
    node->type = rec->type;
    node->pid = rec->pid;
    // The device record of these ids applies here once device records are
    // looked up by the node database.
    zwif_p i = root_if(node, COMMAND_CLASS_MANUFACTURER_SPECIFIC);
    if (i != nullptr && i->ver > 1 && zwnet_sm_dev_id_get(net, i, 0) == 0) {
        net->ni_tmout_cnt = 0;
        return 0;
    }
    return stage_of(net, 4);
}

int dev_id(zwnet_p net, void *data)
{
    const zwnet_ni_rpt_t *rec = rpt_of(net, data);
    zwnode_p node = cur_node(net);
    if (rec == nullptr || node == nullptr || net->ni_step != ZWNET_NI_STEP_DEV_ID)
        return 0;
    if (rec->dev_id.len != 0)
        node->dev_id = rec->dev_id;
    return stage_of(net, 4);
}

int manf_tmout(zwnet_p net, void *)
{
    zwif_p i = root_if(cur_node(net), COMMAND_CLASS_MANUFACTURER_SPECIFIC);
    const bool dev_id_step = net->ni_step == ZWNET_NI_STEP_DEV_ID;
    if (first_tmout(net) && i != nullptr) {
        const int rc = dev_id_step ? zwnet_sm_dev_id_get(net, i, 0) : zwnet_sm_manf_get(net, i);
        if (rc == 0)
            return 0;
    }
    if (dev_id_step)
        return stage_of(net, 4);
    sm_next(net);
    return 0;
}

int wkup(zwnet_p net, void *data)
{
    const zwnet_ni_rpt_t *rec = rpt_of(net, data);
    zwnode_p node = cur_node(net);
    if (rec == nullptr || node == nullptr)
        return 0;
    node->wkup_intv = rec->wkup.cur;
    if (net->ni_rec.new_node)
        if (zwif_p wk = root_if(node, COMMAND_CLASS_WAKE_UP))
            wkup_set(net, node, wk, rec->wkup);
    return stage_of(net, 6);
}

int wkup_tmout(zwnet_p net, void *)
{
    zwif_p i = root_if(cur_node(net), COMMAND_CLASS_WAKE_UP);
    if (first_tmout(net)) {
        if (i != nullptr)
            return zwnet_sm_wkup_get(net, i);
        return stage_of(net, 6);
    }
    sm_next(net);
    return 0;
}

// The next root class to ask the instances of, after `cls`: 0 when none.
int mul_inst_next(zwnet_p net, zwnode_p node, zwif_p mc)
{
    zwif_p cur = root_if(node, net->ni_cls);
    for (zwif_p i = cur ? cur->next : nullptr; i != nullptr; i = i->next) {
        if (i->cls > 0xFF) {
            plt_msg_ts_show(&net->plt, "multi instance get: extended command class UNSUPPORTED");
            continue;
        }
        const int rc = zwnet_sm_inst_get(net, mc, i->cls);
        if (rc == 0)
            return 0;
        plt_msg_ts_show(&net->plt, "zwnet_node_info_sm: zwif_get_report mul inst with error:%d", rc);
        break;
    }
    return -1;
}

int mul_inst(zwnet_p net, void *data)
{
    const zwnet_ni_rpt_t *rec = rpt_of(net, data);
    zwnode_p node = cur_node(net);
    if (rec == nullptr || node == nullptr || rec->cls != net->ni_cls)
        return 0;
    zwif_p mc = root_if(node, COMMAND_CLASS_MULTI_CHANNEL);
    node->mul_ch_kind = 1;
    if (root_if(node, rec->cls) != nullptr && ep_mi_create(node, rec->cls, rec->cnt) != 0)
        plt_msg_ts_show(&net->plt, "zwnet_ep_mi_create with error:%d", ZW_ERR_MEMORY);
    if (mc != nullptr && mul_inst_next(net, node, mc) == 0) {
        net->ni_tmout_cnt = 0;
        return 0;
    }
    zwnet_ni_tmr_stop(net);
    eps_start(net, node);
    return 0;
}

int mul_inst_tmout(zwnet_p net, void *)
{
    zwnode_p node = cur_node(net);
    zwif_p mc = root_if(node, COMMAND_CLASS_MULTI_CHANNEL);
    if (node == nullptr || !first_tmout(net)) {
        sm_next(net);
        return 0;
    }
    if (mc == nullptr || zwnet_sm_inst_get(net, mc, net->ni_cls) != 0)
        eps_start(net, node);
    return 0;
}

// The members of the aggregated endpoint after the current one, or the
// endpoints' interview.
int aggr_next(zwnet_p net, zwnode_p node, zwif_p mc)
{
    const unsigned last = node->num_of_ep + node->num_of_aggr_ep;
    if (net->ni_ep < last) {
        net->ni_ep = static_cast<uint8_t>(net->ni_ep + 1);
        if (zwnet_sm_aggr_ep_get(net, mc, net->ni_ep) == 0) {
            net->ni_tmout_cnt = 0;
            return 0;
        }
    }
    zwnet_ni_tmr_stop(net);
    eps_start(net, node);
    return 0;
}

int mul_ch_ep(zwnet_p net, void *data)
{
    const zwnet_ni_rpt_t *rec = rpt_of(net, data);
    zwnode_p node = cur_node(net);
    zwif_p mc = root_if(node, COMMAND_CLASS_MULTI_CHANNEL);
    if (rec == nullptr || mc == nullptr || net->ni_step != ZWNET_NI_STEP_MUL_CH_EP)
        return 0;
    node->ep_dynamic = (rec->flags >> 7) & 1;
    node->ep_identical = (rec->flags >> 6) & 1;
    node->num_of_ep = rec->ep_cnt;
    node->num_of_aggr_ep = rec->aggr_cnt;
    node->mul_ch_kind = 2;
    if (rec->ep_cnt + rec->aggr_cnt != zwnode_ep_cnt(node))
        ep_rm_all_but_root(node);
    if (rec->ep_cnt > 1) {
        net->ni_ep = 1;
        if (zwnet_sm_ep_cap_get(net, mc, 1) == 0) {
            net->ni_tmout_cnt = 0;
            return 0;
        }
    }
    zwnet_ni_tmr_stop(net);
    eps_start(net, node);
    return 0;
}

int ep_cap(zwnet_p net, void *data)
{
    const zwnet_ni_rpt_t *rec = rpt_of(net, data);
    zwnode_p node = cur_node(net);
    zwif_p mc = root_if(node, COMMAND_CLASS_MULTI_CHANNEL);
    if (rec == nullptr || mc == nullptr || net->ni_step != ZWNET_NI_STEP_EP_CAP || rec->ep != net->ni_ep)
        return 0;
    if (ep_cap_apply(node, rec->ep, *rec) != 0)
        plt_msg_ts_show(&net->plt, "zwnet_ep_cap_apply with error:%d", ZW_ERR_MEMORY);
    if (net->ni_ep < node->num_of_ep) {
        if (!node->ep_identical) {
            net->ni_ep = static_cast<uint8_t>(net->ni_ep + 1);
            if (zwnet_sm_ep_cap_get(net, mc, net->ni_ep) == 0) {
                net->ni_tmout_cnt = 0;
                return 0;
            }
            zwnet_ni_tmr_stop(net);
            eps_start(net, node);
            return 0;
        }
        // Identical endpoints: one capability describes them all.
        for (unsigned id = net->ni_ep + 1u; id <= node->num_of_ep; ++id)
            ep_cap_apply(node, static_cast<uint8_t>(id), *rec);
        net->ni_ep = node->num_of_ep;
    }
    return aggr_next(net, node, mc);
}

int aggr(zwnet_p net, void *data)
{
    const zwnet_ni_rpt_t *rec = rpt_of(net, data);
    zwnode_p node = cur_node(net);
    zwif_p mc = root_if(node, COMMAND_CLASS_MULTI_CHANNEL);
    if (rec == nullptr || mc == nullptr || net->ni_step != ZWNET_NI_STEP_AGGR || rec->ep != net->ni_ep)
        return 0;
    zwep_p ep = zwep_find(&node->ep, rec->ep);
    if (ep == nullptr && (ep = zwep_create(node, rec->ep)) != nullptr) {
        ep->generic = node->ep.generic;
        ep->specific = node->ep.specific;
    }
    if (ep != nullptr) {
        ep->aggr_ep_cnt = std::min<uint8_t>(rec->cnt, ZWEP_AGGR_MAX);
        std::copy_n(rec->bytes, ep->aggr_ep_cnt, ep->aggr_members);
    }
    return aggr_next(net, node, mc);
}

int mul_ch_tmout(zwnet_p net, void *)
{
    zwnode_p node = cur_node(net);
    zwif_p mc = root_if(node, COMMAND_CLASS_MULTI_CHANNEL);
    if (mc != nullptr && first_tmout(net)) {
        int rc;
        switch (net->ni_step) {
        case ZWNET_NI_STEP_EP_CAP: rc = zwnet_sm_ep_cap_get(net, mc, net->ni_ep); break;
        case ZWNET_NI_STEP_AGGR: rc = zwnet_sm_aggr_ep_get(net, mc, net->ni_ep); break;
        default:
            rc = (net->feature & 0x02) ? zwnet_sm_mul_ch_ep_get(net, mc) : zwnet_sm_ch_get(net, mc);
            break;
        }
        if (rc == 0)
            return 0;
    }
    sm_next(net);
    return 0;
}

int eps_done(zwnet_p net, void *) { return stage_of(net, 5); }

int root_ep_done(zwnet_p net, void *)
{
    sm_next(net);
    return 0;
}

// ---------------------------------------------------------------------------
// The machine
// ---------------------------------------------------------------------------

struct ni_row_t {
    uint32_t state;
    int evt;
    act_fn act;
};

// Sorted by state, then event. Events a state does not list are ignored.
constexpr ni_row_t ni_rows[] = {
    {ZWNET_NI_IDLE, ZWNET_NI_EVT_START, delayed_start},
    {ZWNET_NI_IDLE, ZWNET_NI_EVT_START_DSK, start_dsk},
    {ZWNET_NI_GW_DSK, ZWNET_NI_EVT_TMOUT, dsk_done},
    {ZWNET_NI_GW_DSK, ZWNET_NI_EVT_GW_DSK, dsk_done},
    {ZWNET_NI_NODE_INFO, ZWNET_NI_EVT_TMOUT, ni_tmout},
    {ZWNET_NI_NODE_INFO, ZWNET_NI_EVT_NODE_INFO, ni_arrived},
    {ZWNET_NI_NODE_INFO, ZWNET_NI_EVT_NODE_INFO_RETRY, ni_retry},
    {ZWNET_NI_NODE_INFO, evt_next_retry, ni_tx_retry},
    {ZWNET_NI_NODE_INFO, ZWNET_NI_EVT_APPL_STS, ni_busy},
    {ZWNET_NI_RET_ROUTE, ZWNET_NI_EVT_TMOUT, rr_tmout},
    {ZWNET_NI_RET_ROUTE, ZWNET_NI_EVT_RR_DONE, rr_done},
    {ZWNET_NI_RET_ROUTE, ZWNET_NI_EVT_RR_RETRY, rr_retry},
    {ZWNET_NI_RET_ROUTE, ZWNET_NI_EVT_APPL_STS, rr_busy},
    {ZWNET_NI_VERSION, ZWNET_NI_EVT_TMOUT, ver_tmout},
    {ZWNET_NI_VERSION, ZWNET_NI_EVT_CLS_VER, cls_ver},
    {ZWNET_NI_VERSION, ZWNET_NI_EVT_NODE_VER, node_ver},
    {ZWNET_NI_ROOT_EP, ZWNET_NI_EVT_ROOT_EP_DONE, root_ep_done},
    {ZWNET_NI_ZWPLUS, ZWNET_NI_EVT_TMOUT, zwplus_tmout},
    {ZWNET_NI_ZWPLUS, ZWNET_NI_EVT_ZWPLUS, zwplus},
    {ZWNET_NI_MANF, ZWNET_NI_EVT_TMOUT, manf_tmout},
    {ZWNET_NI_MANF, ZWNET_NI_EVT_MANF, manf},
    {ZWNET_NI_MANF, ZWNET_NI_EVT_DEV_ID, dev_id},
    {ZWNET_NI_WKUP, ZWNET_NI_EVT_TMOUT, wkup_tmout},
    {ZWNET_NI_WKUP, ZWNET_NI_EVT_WKUP, wkup},
    {ZWNET_NI_MUL_INST, ZWNET_NI_EVT_TMOUT, mul_inst_tmout},
    {ZWNET_NI_MUL_INST, ZWNET_NI_EVT_MUL_INST, mul_inst},
    {ZWNET_NI_MUL_CH, ZWNET_NI_EVT_TMOUT, mul_ch_tmout},
    {ZWNET_NI_MUL_CH, ZWNET_NI_EVT_MUL_CH_EP, mul_ch_ep},
    {ZWNET_NI_MUL_CH, ZWNET_NI_EVT_AGGR, aggr},
    {ZWNET_NI_MUL_CH, ZWNET_NI_EVT_EP_CAP, ep_cap},
    {ZWNET_NI_EPS, ZWNET_NI_EVT_EPS_DONE, eps_done},
};

constexpr bool ni_rows_sorted()
{
    for (size_t i = 1; i < std::size(ni_rows); ++i) {
        const auto &a = ni_rows[i - 1];
        const auto &b = ni_rows[i];
        if (a.state > b.state || (a.state == b.state && a.evt >= b.evt))
            return false;
    }
    for (const ni_row_t &r : ni_rows)
        if (r.act == nullptr || r.state > ZWNET_NI_EPS)
            return false;
    return true;
}
static_assert(ni_rows_sorted(), "interview rows are sorted by state and event, each pair once, each with an action");

void tmr_cb(void *data)
{
    auto *net = static_cast<zwnet_p>(data);
    zwnet_lock lk(net);
    // A timer that was stopped or re-armed meanwhile has nothing to say.
    if (!plt_tmr_cb_current(&net->plt))
        return;
    net->ni_tmr = 0;
    zwnet_node_info_sm(net, static_cast<int>(net->ni_tmr_evt), nullptr);
}

}  // namespace

// ---------------------------------------------------------------------------
// Entry points
// ---------------------------------------------------------------------------

int zwnet_node_info_sm(zwnet_p net, int evt, void *data)
{
    if (net == nullptr)
        return 0;
    zwnet_lock lk(net);
    for (const ni_row_t &r : ni_rows)
        if (r.state == net->ni_state && r.evt == evt)
            return r.act(net, data);
    return 0;
}

void zwnet_node_info_sm_stop(zwnet_p net)
{
    if (net == nullptr)
        return;
    zwnet_lock lk(net);
    zwnet_ni_tmr_stop(net);
    zwnet_ep_sm_stop(net);
    net->ni_state = ZWNET_NI_IDLE;
    rec_clear(net);
}

void zwnet_ni_tmr_start(zwnet_p net, uint32_t ms, uint32_t evt)
{
    plt_tmr_stop(&net->plt, net->ni_tmr);
    net->ni_tmr_evt = evt;
    net->ni_tmr = plt_tmr_start(&net->plt, ms, tmr_cb, net);
}

void zwnet_ni_tmr_stop(zwnet_p net)
{
    plt_tmr_stop(&net->plt, net->ni_tmr);
    net->ni_tmr = 0;
}

void zwnet_ni_appl_sts(zwnet_p net, uint8_t cmd)
{
    if (net == nullptr)
        return;
    zwnet_lock lk(net);
    zwnet_ni_rpt_t rec;
    rec.node_id = net->ni_node;
    rec.sts = cmd == 1 ? 1 : 0;
    zwnet_node_info_sm(net, ZWNET_NI_EVT_APPL_STS, &rec);
}

void zwnet_node_flags_updt(zwnode_p node)
{
    if (node == nullptr)
        return;
    zwnet_p net = node->net;
    if (root_if(node, COMMAND_CLASS_WAKE_UP) != nullptr && !node->listen) {
        node->sleep_cap = 1;
        node->enable_cmd_q = 1;
        appl_node_sleep_flag_set(net->appl.get(), node->nodeid, 1);
    } else {
        node->sleep_cap = 0;
        node->enable_cmd_q = 0;
        cmd_q_handoff(node);
        appl_node_sleep_flag_set(net->appl.get(), node->nodeid, 0);
    }
    node->mul_cmd_cap = root_if(node, COMMAND_CLASS_MULTI_CMD) != nullptr;
    node->crc_cap = root_if(node, COMMAND_CLASS_CRC_16_ENCAP) != nullptr;
    node->spv_cap = root_if(node, COMMAND_CLASS_SUPERVISION) != nullptr;
}

int zwnet_sm_ep_sm_start(zwnet_p net, zwep_p ep)
{
    if (ep == nullptr)
        return ZW_ERR_EP_NOT_FOUND;
    zwnet_ni_tmr_stop(net);
    // The state is set first: the endpoint interview may finish at once.
    const uint32_t was = net->ni_state;
    net->ni_state = ZWNET_NI_EPS;
    zwnet_ep_info_param_t p;
    p.cmplt_cb = eps_done_cb;
    p.node_id = ep->node->nodeid;
    p.ep_id = ep->epid;
    if (zwnet_ep_info_sm(net, 1, &p) == 0) {
        if (net->ni_state == ZWNET_NI_EPS)
            net->ni_state = was;
        return ZW_ERR_FAILED;
    }
    return 0;
}

void zwnet_ni_wkup_updt(zwnet_p net, uint8_t node_id)
{
    if (net == nullptr)
        return;
    zwnet_lock lk(net);
    zwnode_p node = node_id_ok(node_id) ? zwnode_find(&net->ctl, node_id) : nullptr;
    if (node == nullptr || !node->upd_on_wkup)
        return;
    // Another operation keeps the mark for the next wake-up.
    if (net->curr_op != ZWNET_OP_NONE)
        return;
    net->curr_op = ZWNET_OP_SLEEP_NODE_UPT;
    zwnet_ni_param_t p;
    p.node_id = &node_id;
    p.cnt = 1;
    p.op = ZWNET_OP_SLEEP_NODE_UPT;
    p.use_cache = 1;
    if (zwnet_node_info_sm(net, ZWNET_NI_EVT_START, &p))
        node->upd_on_wkup = 0;
    else
        net->curr_op = ZWNET_OP_NONE;
}
