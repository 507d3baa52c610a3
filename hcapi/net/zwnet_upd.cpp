// The network update (operation 7) and reset (operation 8) machines. Both
// run under the network mutex on the shared step timer, fed by the gateway's
// replies, the controller-information, node-to-address and interview
// machines, and their own timer.
#include "hcapi/net/zwnet_incl.h"

#include "hcapi/core/zwnet_cb.h"
#include "hcapi/net/zwnet_ctlr.h"
#include "hcapi/net/zwnet_init_sm.h"
#include "hcapi/net/zwnet_ni.h"
#include "hcapi/net/zwnet_ops.h"

#include <algorithm>

namespace {

// Update events.
enum : int {
    updt_tmout = 0,
    updt_ctlr_done = 1,
    updt_start = 2,
    updt_nw_failed = 3,
    updt_nw_done = 4,
    updt_node_list = 5,
    updt_addr_done = 6,
    updt_nbr_failed = 7,
    updt_nbr_done = 8,
    updt_intv_done = 9,
};
// Reset events.
enum : int {
    rst_tmout = 0,
    rst_start = 1,  // data: uint8_t 0 nobody to tell, 1 tell the lifeline node, 2 resend after busy
    rst_dflt = 2,
    rst_dflt_done = 3,
    rst_dflt_failed = 4,
    rst_ctlr_done = 5,
    rst_node_list = 6,
};

constexpr uint32_t nw_updt_ms = 10000;
constexpr uint32_t node_list_ms = 5300;
constexpr uint32_t nbr_updt_ms = 20000;
constexpr uint32_t dflt_set_ms = 15000;
constexpr uint32_t rst_delay_ms = 100;
constexpr uint32_t busy_retry_ms = 5600;
constexpr uint8_t nbr_passes_max = 3;
constexpr uint8_t dflt_busy_tries = 2;
constexpr uint8_t sts_nbr_done = 0x22;
constexpr uint8_t sts_nbr_failed = 0x23;

zwnet_incl_st &st(zwnet_p net) { return *net->incl; }

bool busy_err(int rc) { return rc == ZIP_ERR_SSN_BUSY || rc == ZIP_ERR_APPL_BUSY; }

// Node ids of the network but the controller, in list order.
std::vector<uint8_t> other_nodes(zwnet_p net)
{
    std::vector<uint8_t> ids;
    for (zwnode_p n = net->ctl.next; n != nullptr && ids.size() < ZWNET_NODE_ID_MAX; n = n->next)
        if (n->nodeid != net->ctl.nodeid && n->nodeid != 0)
            ids.push_back(n->nodeid);
    return ids;
}

// ---------------------------------------------------------------------------
// Network update
// ---------------------------------------------------------------------------

void updt_fail(zwnet_p net)
{
    zwnet_sm_tmr_stop(net);
    st(net).updt_state = ZWNET_UPDT_IDLE;
    st(net).nbr.clear();
    net->curr_op = ZWNET_OP_NONE;
    zwnet_notify(net, ZWNET_OP_UPDATE, ZWNET_OP_STS_FAILED, nullptr);
}

void updt_progress(zwnet_p net, uint32_t state, uint8_t progress)
{
    st(net).updt_state = state;
    st(net).updt_progress = progress;
    zwnet_notify(net, ZWNET_OP_UPDATE, progress, nullptr);
}

void updt_tmout_cb(void *data)
{
    auto *net = static_cast<zwnet_p>(data);
    zwnet_lock lk(net);
    if (zwnet_sm_tmr_expired(net))
        zwnet_updt_sm(net, updt_tmout, nullptr);
}

void updt_ctlr_cmplt(zwnet_p net, int result)
{
    const int32_t r = result;
    zwnet_lock lk(net);
    zwnet_updt_sm(net, updt_ctlr_done, &r);
}

const char *nw_updt_text(uint8_t status)
{
    static constexpr const char *texts[] = {"OK", "Aborted", "SUC node is busy", "The SUC functionality is disabled",
                                            "The controller has to make a replication"};
    return status < std::size(texts) ? texts[status] : "unknown";
}

void req_nw_updt_cb(appl_layer_ctx *ctx, uint8_t status)
{
    auto *net = static_cast<zwnet_p>(ctx->user);
    if (net == nullptr)
        return;
    plt_msg_ts_show(&net->plt, "req_nw_updt_cb: status:%u(%s)", status, nw_updt_text(status));
    zwnet_lock lk(net);
    zwnet_updt_sm(net, status == 0 ? updt_nw_done : updt_nw_failed, nullptr);
}

void req_node_nbr_updt_cb(appl_layer_ctx *ctx, uint8_t status, uint8_t node_id)
{
    auto *net = static_cast<zwnet_p>(ctx->user);
    if (net == nullptr)
        return;
    plt_msg_ts_show(&net->plt, "req_node_nbr_updt_cb: status:%u(%s), node id:%u", status,
                    status == sts_nbr_done     ? "New neighbor list received"
                    : status == sts_nbr_failed ? "Failed"
                                               : "unknown",
                    node_id);
    zwnet_lock lk(net);
    zwnet_updt_sm(net, status == sts_nbr_done ? updt_nbr_done : updt_nbr_failed, nullptr);
}

// Asks for the neighbour update of the list's current id: 0 or the send's error.
int nbr_req(zwnet_p net)
{
    zwnet_incl_st &s = st(net);
    const int rc = zw_request_node_neighbor_update(net->appl.get(), req_node_nbr_updt_cb, s.nbr[s.nbr_idx]);
    if (rc != 0) {
        plt_msg_ts_show(&net->plt, "request_node_neighbor_update with error:%d", rc);
        return rc;
    }
    zwnet_sm_tmr_start(net, nbr_updt_ms, updt_tmout_cb);
    return 0;
}

int updt_nbr_start(zwnet_p net)
{
    zwnet_incl_st &s = st(net);
    s.nbr = other_nodes(net);
    s.nbr_idx = 0;
    if (s.nbr.empty())
        return ZW_ERR_NODE_NOT_FOUND;
    const int rc = nbr_req(net);
    if (rc != 0)
        return rc;
    updt_progress(net, ZWNET_UPDT_NBR, 2);
    return 0;
}

// The last step: every node but the controller is interviewed again; the
// interview's end reports the operation.
void updt_node_info(zwnet_p net)
{
    const std::vector<uint8_t> ids = other_nodes(net);
    int rc = ZW_ERR_NODE_NOT_FOUND;
    if (!ids.empty()) {
        zwnet_ni_param_t p{};
        p.cmplt_cb = zwnet_sm_nw_chg_cb;
        p.node_id = ids.data();
        p.cnt = static_cast<uint8_t>(ids.size());
        p.op = ZWNET_OP_UPDATE;
        p.ret_route = 1;
        p.skip_sleeping = 1;
        rc = zwnet_node_info_sm(net, ZWNET_NI_EVT_START, &p) == 1 ? 0 : ZW_ERR_OP_FAILED;
    }
    if (rc == 0) {
        updt_progress(net, ZWNET_UPDT_INTV, 3);
        return;
    }
    plt_msg_ts_show(&net->plt, "zwnet_sm_node_info_updt with error:%d", rc);
    if (rc != ZW_ERR_NODE_NOT_FOUND) {
        // The nodes were not interviewed: the update did not do its work.
        updt_fail(net);
        return;
    }
    st(net).updt_state = ZWNET_UPDT_IDLE;
    zwnet_op_reset(net);
    zwnet_notify(net, ZWNET_OP_UPDATE, ZWNET_OP_STS_DONE, nullptr);
}

void nbr_next(zwnet_p net, int evt)
{
    zwnet_incl_st &s = st(net);
    const uint8_t cur = s.nbr_idx < s.nbr.size() ? s.nbr[s.nbr_idx] : 0;
    if (evt == updt_tmout)
        plt_msg_ts_show(&net->plt, "zwnet_updt_sm: neighbor update timeout");
    else if (evt == updt_nbr_failed)
        plt_msg_ts_show(&net->plt, "zwnet_updt_sm: neighbor update failed on node:%u", cur);
    if (evt != updt_nbr_done && cur != 0 &&
        std::find(s.nbr_failed.begin(), s.nbr_failed.end(), cur) == s.nbr_failed.end())
        s.nbr_failed.push_back(cur);
    zwnet_sm_tmr_stop(net);
    ++s.nbr_idx;
    if (s.nbr_idx < s.nbr.size()) {
        if (nbr_req(net) == 0)
            return;
    } else if (!s.nbr_failed.empty() && s.nbr_pass < nbr_passes_max) {
        ++s.nbr_pass;
        plt_msg_ts_show(&net->plt, "zwnet_updt_sm: neighbor update retry: %u", s.nbr_pass);
        s.nbr = std::move(s.nbr_failed);
        s.nbr_failed.clear();
        s.nbr_idx = 0;
        if (nbr_req(net) == 0)
            return;
    }
    updt_node_info(net);
}

// ---------------------------------------------------------------------------
// Reset
// ---------------------------------------------------------------------------

void rst_done(zwnet_p net)
{
    zwnet_sm_tmr_stop(net);
    st(net).rst_state = ZWNET_RST_IDLE;
    net->curr_op = ZWNET_OP_NONE;
    zwnet_notify(net, ZWNET_OP_RESET, ZWNET_OP_STS_FAILED, nullptr);
}

void rst_tmout_cb(void *data)
{
    auto *net = static_cast<zwnet_p>(data);
    zwnet_lock lk(net);
    if (zwnet_sm_tmr_expired(net))
        zwnet_rst_sm(net, rst_tmout, nullptr);
}

void rst_dflt_delay_cb(void *data)
{
    auto *net = static_cast<zwnet_p>(data);
    zwnet_lock lk(net);
    if (zwnet_sm_tmr_expired(net))
        zwnet_rst_sm(net, rst_dflt, nullptr);
}

void rst_drl_delay_cb(void *data)
{
    auto *net = static_cast<zwnet_p>(data);
    zwnet_lock lk(net);
    if (!zwnet_sm_tmr_expired(net))
        return;
    const uint8_t resend = 2;
    zwnet_rst_sm(net, rst_start, &resend);
}

void zip_send_DRL_cb(appl_layer_ctx *ctx, int status, void *, uint8_t)
{
    auto *net = static_cast<zwnet_p>(ctx->user);
    if (net == nullptr)
        return;
    if (status != 0)
        plt_msg_ts_show(&net->plt, "zip_send_DRL_cb error:%d", status);
    zwnet_lock lk(net);
    zwnet_rst_sm(net, rst_dflt, nullptr);
}

void zwnet_rst_dflt_cb(appl_layer_ctx *ctx, uint8_t status, uint8_t node_id)
{
    auto *net = static_cast<zwnet_p>(ctx->user);
    if (net == nullptr)
        return;
    plt_msg_ts_show(&net->plt, "Restored factory default: node id:%u, status:%u(%s)", node_id, status,
                    status == 6 ? "OK" : status == 7 ? "Failed" : "unknown");
    zwnet_lock lk(net);
    zwnet_rst_sm(net, status == 6 ? rst_dflt_done : rst_dflt_failed, nullptr);
}

void rst_ctlr_cmplt(zwnet_p net, int result)
{
    const int32_t r = result;
    zwnet_lock lk(net);
    zwnet_rst_sm(net, rst_ctlr_done, &r);
}

// The old network's nodes go: every node but the controller's own record.
void node_db_clr(zwnet_p net)
{
    for (const uint8_t id : other_nodes(net)) {
        appl_node_ip_rm(net->appl.get(), id);
        zwnet_node_free(net, id);
    }
}

int rst_drl_send(zwnet_p net, uint8_t how)
{
    zwnet_incl_st &s = st(net);
    if (how == 1)
        s.rst_drl_busy = 0;
    static constexpr uint8_t drl[] = {0x5A, 0x01};
    appl_snd_param_t prm{};
    prm.node_id = net->grps.empty() ? 0 : net->grps.front().member;
    prm.len = sizeof drl;
    prm.data = drl;
    const int rc = appl_cmd_snd(net->appl.get(), &prm, zip_send_DRL_cb, nullptr);
    if (rc == 0) {
        s.rst_state = ZWNET_RST_DRL;
        s.rst_retry = 0;
        zwnet_sm_tmr_stop(net);
        return 0;
    }
    plt_msg_ts_show(&net->plt, "send device reset locally with error:%d", rc);
    if (!busy_err(rc))
        return -1;
    if (s.rst_drl_busy++ == 0) {
        zwnet_sm_tmr_start(net, busy_retry_ms, rst_drl_delay_cb);
        return 0;
    }
    // Busy twice: the reset goes on without telling the node.
    s.rst_state = ZWNET_RST_DRL;
    s.rst_retry = 0;
    zwnet_sm_tmr_start(net, rst_delay_ms, rst_dflt_delay_cb);
    return 0;
}

}  // namespace

int zwnet_updt_sm(zwnet_p net, int evt, const void *data)
{
    zwnet_incl_st &s = st(net);
    switch (s.updt_state) {
    case ZWNET_UPDT_IDLE: {
        if (evt != updt_start)
            return -1;
        s.nbr.clear();
        s.nbr_failed.clear();
        s.nbr_idx = 0;
        s.nbr_pass = 0;
        s.updt_progress = 0;
        zwnet_ctlr_start_t start{updt_ctlr_cmplt, nullptr};
        if (zwnet_ctlr_info_sm(net, ZWNET_CTLR_EVT_START, &start) != 1) {
            plt_msg_ts_show(&net->plt, "zwnet_updt_sm: failed to get Z/IP router controller info");
            return -1;
        }
        s.updt_state = ZWNET_UPDT_CTLR;
        return 0;
    }
    case ZWNET_UPDT_CTLR: {
        if (evt != updt_ctlr_done)
            return -1;
        const int32_t result = data != nullptr ? *static_cast<const int32_t *>(data) : -1;
        if (result == 0) {
            const int rc = zw_request_network_update(net->appl.get(), req_nw_updt_cb);
            if (rc == 0) {
                zwnet_sm_tmr_start(net, nw_updt_ms, updt_tmout_cb);
                updt_progress(net, ZWNET_UPDT_NW, 1);
                return -1;
            }
            plt_msg_ts_show(&net->plt, "zw_request_network_update with error:%d", rc);
        }
        updt_fail(net);
        return -1;
    }
    case ZWNET_UPDT_NW: {
        if (evt != updt_tmout && evt != updt_nw_failed && evt != updt_nw_done)
            return -1;
        if (evt == updt_tmout)
            plt_msg_ts_show(&net->plt, "zwnet_updt_sm: network topology update timeout");
        else if (evt == updt_nw_failed)
            plt_msg_ts_show(&net->plt, "zwnet_updt_sm: network topology update failed");
        zwnet_sm_tmr_stop(net);
        const int rc = zip_node_list_get(net->appl.get(), zwnet_node_list_get_cb);
        if (rc != 0) {
            plt_msg_ts_show(&net->plt, "zip_node_list_get with error:%d", rc);
            updt_fail(net);
            return -1;
        }
        s.updt_state = ZWNET_UPDT_NODE_LIST;
        zwnet_sm_tmr_start(net, node_list_ms, updt_tmout_cb);
        return -1;
    }
    case ZWNET_UPDT_NODE_LIST: {
        if (evt == updt_tmout) {
            plt_msg_ts_show(&net->plt, "zwnet_updt_sm: get node list timeout");
            updt_fail(net);
            return -1;
        }
        if (evt != updt_node_list)
            return -1;
        zwnet_sm_tmr_stop(net);
        const std::vector<uint8_t> ids = other_nodes(net);
        if (!ids.empty()) {
            zwnet_n2ip_req_t req{};
            std::copy(ids.begin(), ids.end(), req.node_id);
            req.cnt = static_cast<uint8_t>(ids.size());
            req.cmplt = zwnet_n2ip_done_cb;
            req.data = ZWNET_OP_UPDATE;
            const int rc = zwnet_n2ip_sm(net, ZWNET_N2IP_EVT_START, &req);
            if (rc == 0) {
                s.updt_state = ZWNET_UPDT_ADDR;
                return -1;
            }
            plt_msg_ts_show(&net->plt, "zwnet_updt_sm resolve node id with error:%d", rc);
        }
        s.updt_state = ZWNET_UPDT_IDLE;
        zwnet_op_reset(net);
        zwnet_notify(net, ZWNET_OP_UPDATE, ZWNET_OP_STS_DONE, nullptr);
        return -1;
    }
    case ZWNET_UPDT_ADDR: {
        if (evt != updt_addr_done)
            return -1;
        const uint8_t status = data != nullptr ? *static_cast<const uint8_t *>(data) : 255;
        if (status != 0) {
            plt_msg_ts_show(&net->plt, "Failed to get node HAN address");
            updt_fail(net);
            return -1;
        }
        if ((net->controller_role & 0x02) && updt_nbr_start(net) == 0)
            return -1;
        updt_node_info(net);
        return -1;
    }
    case ZWNET_UPDT_NBR:
        if (evt == updt_tmout || evt == updt_nbr_failed || evt == updt_nbr_done)
            nbr_next(net, evt);
        return -1;
    case ZWNET_UPDT_INTV:
        if (evt == updt_intv_done) {
            s.updt_state = ZWNET_UPDT_IDLE;
            s.nbr.clear();
        }
        return -1;
    default: return -1;
    }
}

int zwnet_rst_sm(zwnet_p net, int evt, const void *data)
{
    zwnet_incl_st &s = st(net);
    switch (s.rst_state) {
    case ZWNET_RST_IDLE: {
        if (evt != rst_start)
            return -1;
        const uint8_t how = data != nullptr ? *static_cast<const uint8_t *>(data) : 0;
        if (how == 0) {
            s.rst_state = ZWNET_RST_DRL;
            s.rst_retry = 0;
            zwnet_sm_tmr_start(net, rst_delay_ms, rst_dflt_delay_cb);
            return 0;
        }
        return rst_drl_send(net, how);
    }
    case ZWNET_RST_DRL: {
        if (evt != rst_dflt)
            return -1;
        zwnet_sm_tmr_stop(net);
        const int rc = zw_set_default(net->appl.get(), zwnet_rst_dflt_cb, 0);
        if (rc == 0) {
            s.rst_state = ZWNET_RST_DFLT;
            zwnet_sm_tmr_start(net, dflt_set_ms, rst_tmout_cb);
            return -1;
        }
        plt_msg_ts_show(&net->plt, "send default set with error:%d", rc);
        if (busy_err(rc) && ++s.rst_retry < dflt_busy_tries) {
            zwnet_sm_tmr_start(net, busy_retry_ms, rst_dflt_delay_cb);
            return -1;
        }
        rst_done(net);
        return -1;
    }
    case ZWNET_RST_DFLT:
        if (evt == rst_dflt_done) {
            zwnet_sm_tmr_stop(net);
            node_db_clr(net);
            zwnet_ctlr_start_t start{rst_ctlr_cmplt, nullptr};
            if (zwnet_ctlr_info_sm(net, ZWNET_CTLR_EVT_START, &start) == 1) {
                s.rst_state = ZWNET_RST_CTLR;
                return -1;
            }
            plt_msg_ts_show(&net->plt, "zwnet_rst_sm: failed to get Z/IP router controller info");
            rst_done(net);
        } else if (evt == rst_dflt_failed) {
            zwnet_sm_tmr_stop(net);
            plt_msg_ts_show(&net->plt, "zwnet_rst_sm: reset Z/IP router controller failed");
            rst_done(net);
        } else if (evt == rst_tmout) {
            plt_msg_ts_show(&net->plt, "zwnet_rst_sm: reset Z/IP router controller timeout");
            rst_done(net);
        }
        return -1;
    case ZWNET_RST_CTLR: {
        if (evt != rst_ctlr_done)
            return -1;
        const int32_t result = data != nullptr ? *static_cast<const int32_t *>(data) : -1;
        if (result == 0) {
            const int rc = zip_node_list_get(net->appl.get(), zwnet_node_list_get_cb);
            if (rc == 0) {
                s.rst_state = ZWNET_RST_NODE_LIST;
                zwnet_sm_tmr_start(net, node_list_ms, rst_tmout_cb);
                return -1;
            }
            plt_msg_ts_show(&net->plt, "zip_node_list_get with error:%d", rc);
        }
        net->suc = net->ctl.nodeid;
        rst_done(net);
        return -1;
    }
    case ZWNET_RST_NODE_LIST:
        if (evt == rst_tmout) {
            plt_msg_ts_show(&net->plt, "zwnet_rst_sm: zip_node_list_get timeout");
            net->suc = net->ctl.nodeid;
            rst_done(net);
        } else if (evt == rst_node_list) {
            zwnet_sm_tmr_stop(net);
            s.rst_state = ZWNET_RST_IDLE;
            net->curr_op = ZWNET_OP_NONE;
            zwnet_notify(net, ZWNET_OP_RESET, ZWNET_OP_STS_DONE, nullptr);
        }
        return -1;
    default: return -1;
    }
}

int zwnet_updt_sm_sink(zwnet_p net, int evt, const void *data) { return zwnet_updt_sm(net, evt, data); }
int zwnet_rst_sm_sink(zwnet_p net, int evt, const void *data) { return zwnet_rst_sm(net, evt, data); }
