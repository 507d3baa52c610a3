// Network operations: the one-operation rule, abort, the operation data and
// the shared step timer, the network descriptor and the thin public
// wrappers. The calls that start operations are in zwnet_op_calls.cpp.
#include "hcapi/net/zwnet_ops.h"

#include "hcapi/core/zwnet_cb.h"
#include "hcapi/zip/zip_addr.h"
#include "hcapi/zip/zip_discvr.h"
#include "hcapi/zip/zip_mdns.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t op_low_priority = ZWNET_OP_NODE_CACHE_UPT;
constexpr uint32_t save_wait_step_ms = 100;
constexpr uint32_t save_wait_steps = 200;
constexpr uint8_t stop_mode = 0x05;       // node add, replace and controller change: stop
constexpr uint8_t tx_opt_explore = 0x20;  // explore frames

// The gateway request that stops an operation, if it has one.
enum class stop_req : uint8_t { none, add, remove, replace, learn, ctlr_change };

struct stop_t {
    stop_req req{stop_req::none};
    uint8_t node_id{0};
};

// The local part of an abort (network mutex held): what the operation
// leaves behind, and which stop request the gateway must get.
stop_t abort_local(zwnet_p net, uint8_t op)
{
    stop_t stop;
    switch (op) {
    case ZWNET_OP_INITIALIZE:
        // Stopped half-way, the database is not the network's: it must not
        // overwrite the node-information file at exit.
        net->no_save = 1;
        zwnet_op_clr(net);
        break;
    case ZWNET_OP_NW_CHANGED:
        zwnet_op_clr(net);
        zwnet_nw_change_stop(net);
        break;
    case ZWNET_OP_NODE_UPDATE:
    case ZWNET_OP_SLEEP_NODE_UPT:
    case ZWNET_OP_RESET:
        zwnet_op_clr(net);
        break;
    case ZWNET_OP_FW_UPDT:
        zwnet_op_clr(net);
        zwnet_fw_updt_stop(net);
        break;
    case ZWNET_OP_ADD_NODE:
        zwnet_op_clr(net);
        if (net->on_behalf == 0)
            stop.req = stop_req::add;
        break;
    case ZWNET_OP_RM_NODE:
        stop.req = stop_req::remove;
        break;
    case ZWNET_OP_RP_NODE:
        zwnet_op_clr(net);
        if (net->on_behalf == 0) {
            stop.req = stop_req::replace;
            stop.node_id = net->op_node_id;
        }
        break;
    case ZWNET_OP_INITIATE:
        zwnet_op_clr(net);
        stop.req = stop_req::learn;
        break;
    case ZWNET_OP_UPDATE:
        zwnet_op_clr(net);
        break;
    case ZWNET_OP_MIGRATE:
        zwnet_op_clr(net);
        stop.req = stop_req::ctlr_change;
        break;
    case op_low_priority:
        zwnet_op_clr(net);
        net->curr_op = ZWNET_OP_NONE;
        break;
    default:
        break;
    }
    return stop;
}

// Sends a stop request (without the network mutex): 0 or -19.
int stop_send(zwnet_p net, const stop_t &stop)
{
    appl_layer_ctx *ctx = net->appl.get();
    int rc = 0;
    const char *fail = nullptr;
    switch (stop.req) {
    case stop_req::none: return 0;
    case stop_req::add:
        rc = zw_add_node_to_network(ctx, nullptr, stop_mode, tx_opt_explore);
        fail = "zw_add_node_stop with error:%d";
        break;
    case stop_req::remove:
        rc = zw_remove_node_from_network(ctx, nullptr, stop_mode);
        fail = "zw_remove_node_from_network with error:%d";
        break;
    case stop_req::replace:
        rc = zw_replace_failed_node(ctx, nullptr, stop.node_id, tx_opt_explore, stop_mode);
        fail = "zw_replace_failed_node stop with error:%d";
        break;
    case stop_req::learn:
        rc = zw_set_learn_mode(ctx, nullptr, 0, 0);
        fail = "zw_set_learn_mode 'stop' with error:%d";
        break;
    case stop_req::ctlr_change:
        rc = zw_controller_change(ctx, nullptr, stop_mode, tx_opt_explore);
        fail = "zw_controller_change with error:%d";
        break;
    }
    if (rc == 0)
        return 0;
    plt_msg_ts_show(&net->plt, fail, rc);
    return ZW_ERR_OP_FAILED;
}

}  // namespace

// ---------------------------------------------------------------------------
// The rule and the operation data
// ---------------------------------------------------------------------------

int zwnet_op_begin(zwnet_p net, uint8_t op)
{
    zwnet_lock lk(net);
    if (net->curr_op == op_low_priority) {
        abort_local(net, op_low_priority);
        plt_msg_ts_show(&net->plt, "Canceled low priority operation");
    }
    if (net->curr_op != ZWNET_OP_NONE) {
        plt_msg_ts_show(&net->plt, "Current operation not completed yet, try again later");
        return ZW_ERR_LAST_OP_NOT_DONE;
    }
    net->curr_op = op;
    return 0;
}

void zwnet_op_undo(zwnet_p net, uint8_t op)
{
    zwnet_lock lk(net);
    if (net->curr_op == op)
        net->curr_op = ZWNET_OP_NONE;
}

void zwnet_op_clr(zwnet_p net)
{
    zwnet_sm_tmr_stop(net);
    zwnet_sm_t &sm = net->sm;
    sm.init_state = 0;
    sm.nl_tmout_cnt = sm.nl_busy_cnt = 0;
    sm.ctlr_state = 0;
    sm.ctlr_marker = 0;
    sm.ctlr_tmout_cnt = sm.ctlr_busy_cnt = 0;
    sm.ctlr_cmplt = nullptr;
    sm.n2ip = zwnet_n2ip_req_t{};
    zwnet_incl_clr(net);
    zwnet_learn_clr(net);
}

void zwnet_op_reset(zwnet_p net)
{
    zwnet_lock lk(net);
    zwnet_op_clr(net);
    net->curr_op = ZWNET_OP_NONE;
}

void zwnet_sm_tmr_start(zwnet_p net, uint32_t ms, plt_tmr_fn cb)
{
    plt_tmr_stop(&net->plt, net->sm.tmr);
    net->sm.tmr = plt_tmr_start(&net->plt, ms, cb, net);
}

void zwnet_sm_tmr_stop(zwnet_p net)
{
    plt_tmr_stop(&net->plt, net->sm.tmr);
    net->sm.tmr = 0;
}

bool zwnet_sm_tmr_expired(zwnet_p net)
{
    if (!plt_tmr_cb_current(&net->plt))
        return false;
    net->sm.tmr = 0;
    return true;
}


// ---------------------------------------------------------------------------
// Public operation calls
// ---------------------------------------------------------------------------

int zwnet_abort(zwnet_p net)
{
    if (net == nullptr)
        return ZW_ERR_VALUE;
    uint8_t op;
    stop_t stop;
    {
        zwnet_lock lk(net);
        op = net->curr_op;
        stop = abort_local(net, op);
        zwnet_incl_clr(net);
        // The gateway answers a stop with the stopped operation's own
        // status report: it must find that operation already gone.
        if (stop.req != stop_req::none && net->curr_op == op)
            net->curr_op = ZWNET_OP_NONE;
    }
    int rc = 0;
    // The gateway requests wait at the one-send gate: never with the
    // network mutex, whatever the caller holds.
    zwnet_app_call(net, [&] {
        rc = stop_send(net, stop);
        if (op == ZWNET_OP_SAVE_NW) {
            for (uint32_t i = 0; i < save_wait_steps; ++i) {
                {
                    zwnet_lock lk(net);
                    if (net->curr_op != ZWNET_OP_SAVE_NW)
                        break;
                }
                plt_sleep(save_wait_step_ms);
            }
        }
    });
    zwnet_lock lk(net);
    if (net->curr_op == op)
        net->curr_op = ZWNET_OP_NONE;
    return rc;
}

const zwnet_desc_t *zwnet_get_desc(zwnet_p net)
{
    if (net == nullptr)
        return nullptr;
    zwnet_lock lk(net);
    net->desc.id = net->homeid;
    net->desc.ctl_id = net->ctl.nodeid;
    net->desc.ctl_role = net->controller_role;
    net->desc.ctl_cap = net->controller_capability;
    net->desc.zw_role = net->zw_role;
    net->desc.user = net->init.user;
    net->desc.plt_ctx = &net->plt;
    return &net->desc;
}

void zwnet_node_info_dump(zwnet_p net)
{
    if (net == nullptr)
        return;
    plt_tmr_ctx *plt = &net->plt;
    zwnet_lock lk(net);
    for (zwnode_p n = &net->ctl; n != nullptr; n = n->next) {
        plt_msg_show(plt, "%s", "__________________________________________________________________________");
        plt_msg_show(plt, "Node id:%u, Home id:%08X", n->nodeid, net->homeid);
        plt_msg_show(plt, "Node security status:%s", (n->propty & NODE_PROPTY_ADD_SECURE) ? "secured" : "unsecured");
        plt_msg_show(plt, "Device class: basic:%02Xh, generic:%02Xh, specific:%02Xh", n->basic, n->ep.generic,
                     n->ep.specific);
        plt_msg_show(plt, "Z-wave library type:%u", n->lib_type);
        plt_msg_show(plt, "Z-wave protocol version:%u.%02u", n->proto_ver >> 8, n->proto_ver & 0xFF);
        plt_msg_show(plt, "Application version:%u.%02u", n->app_ver >> 8, n->app_ver & 0xFF);
        for (zwep_p e = &n->ep; e != nullptr; e = e->next) {
            plt_msg_show(plt, "end point id:%u", e->epid);
            plt_msg_show(plt, "end point device class: generic:%02Xh, specific:%02Xh", e->generic, e->specific);
            plt_msg_show(plt, "end point name:%s", e->name);
            plt_msg_show(plt, "end point location:%s", e->loc);
            for (zwif_p i = e->intf; i != nullptr; i = i->next) {
                plt_msg_show(plt, "  Command class: %02X, ver:%u, real ver:%u", i->cls, i->ver, i->real_ver);
                for (uint8_t r = 0; r < i->rpt_num && r < ZWIF_RPT_ROWS_MAX; ++r)
                    plt_msg_show(plt, "              Report command: %02X", i->rpt[r].rpt_cmd);
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Thin wrappers
// ---------------------------------------------------------------------------

int zwnet_ip_text_to_addr(const char *text, uint8_t *addr, int *ipv4)
{
    if (text == nullptr || addr == nullptr || ipv4 == nullptr)
        return ZW_ERR_VALUE;
    return util_ip_addr_parse(text, addr, ipv4);
}

int zwnet_ip_addr_to_text(const uint8_t *addr, char *text, size_t size, int ipv4)
{
    if (addr == nullptr || text == nullptr || size == 0)
        return ZW_ERR_VALUE;
    return util_ip_addr_to_str(addr, text, size, ipv4);
}

int zwnet_local_addr_for_peer(zwnet_p net, const uint8_t *peer, uint8_t *local, int ipv4)
{
    if (net == nullptr || peer == nullptr || local == nullptr)
        return ZW_ERR_VALUE;
    if (!ipv4 && std::memcmp(peer, net->gw_addr, sizeof net->gw_addr) == 0) {
        std::memcpy(local, net->appl->ssn.frm.tpt.host_addr, 16);
        return 0;
    }
    return util_local_addr_get(peer, local, ipv4);
}

int zwnet_gw_addr_get(zwnet_p net, uint8_t *addr, uint8_t *prefix_len)
{
    if (net == nullptr || addr == nullptr || prefix_len == nullptr)
        return ZW_ERR_VALUE;
    zwnet_lock lk(net);
    if (util_is_zeros16(net->ctl_ipv6) == 0)
        return ZW_ERR_UNSUPPORTED;
    std::memcpy(addr, net->ctl_ipv6, 16);
    *prefix_len = 64;
    return 0;
}

void *zwnet_gw_discvr_start(zwnet_gw_discvr_fn cb, void *user, int ipv4, int mdns)
{
    if (mdns)
        return mdns_discvr_start(cb, user, ipv4);
    return zip_gw_discvr_start(cb, user, ipv4);
}

int zwnet_gw_discvr_stop(void *handle)
{
    const int rc = mdns_discvr_stop(handle);
    if (rc != -2)
        return rc;
    return zip_gw_discvr_stop(static_cast<zip_gw_discvr_t *>(handle));
}

uint8_t zwnet_node_sts_get(zwnet_p net, uint8_t node_id)
{
    if (net == nullptr)
        return APPL_NODE_STS_DOWN;
    return appl_node_sts_get(net->appl.get(), node_id);
}

int zwnet_node_sts_list_get(zwnet_p net, uint8_t *sts)
{
    if (net == nullptr || sts == nullptr)
        return ZW_ERR_VALUE;
    appl_node_sts_copy(net->appl.get(), sts);
    return 0;
}

int zwnet_poll_rm(zwnet_p net, uint16_t handle) { return net ? zwpoll_q_rm(net, handle) : ZW_ERR_VALUE; }
int zwnet_poll_rm_key(zwnet_p net, uint32_t key) { return net ? zwpoll_q_rm_key(net, key) : ZW_ERR_VALUE; }

int zwnet_net_data_save(zwnet_p net, const uint8_t *data, uint16_t len)
{
    return net ? zwnet_data_file_save(net, data, len, 0, 0) : ZW_ERR_VALUE;
}
int zwnet_net_data_load(zwnet_p net, uint8_t **data, uint16_t *len)
{
    return net ? zwnet_data_file_load(net, 0, data, len, 0) : ZW_ERR_VALUE;
}
int zwnet_cli_data_save(zwnet_p net, uint32_t client_id, const uint8_t *data, uint16_t len)
{
    return net ? zwnet_data_file_save(net, data, len, client_id, 1) : ZW_ERR_VALUE;
}
int zwnet_cli_data_load(zwnet_p net, uint32_t client_id, uint8_t **data, uint16_t *len)
{
    return net ? zwnet_data_file_load(net, client_id, data, len, 1) : ZW_ERR_VALUE;
}

namespace {

void cls_list_show(plt_tmr_ctx *plt, const char *title, const uint16_t *cls, uint8_t cnt)
{
    if (cls == nullptr || cnt == 0)
        return;
    plt_msg_show(plt, "%s", title);
    char line[64];
    size_t pos = 0;
    for (uint8_t i = 0; i < cnt; ++i) {
        pos += static_cast<size_t>(std::snprintf(line + pos, sizeof line - pos, "%02X, ", cls[i]));
        if (i % 10 == 9 || i + 1 == cnt) {
            plt_msg_show(plt, "%s", line);
            pos = 0;
        }
    }
}

}  // namespace

void zwnet_new_node_show(plt_tmr_ctx *plt, const appl_node_info_t &info)
{
    plt_msg_show(plt, "new node id:%u", info.node_id);
    plt_msg_show(plt, "listening=%u, optional functions=%u, sensor=%u", info.listen, info.optional, info.sensor);
    plt_msg_show(plt, "Device type: basic=%02Xh, generic=%02Xh, specific=%02X", info.basic, info.gen, info.spec);
    cls_list_show(plt, "unsecure command classes:", info.cmd_cls, info.cmd_cnt);
    cls_list_show(plt, "secure command classes:", info.cmd_cls_ctl, info.cmd_cnt_ctl);
}
