// Initialisation state machine.
#include "hcapi/net/zwnet_init_sm.h"

#include "hcapi/core/zwnet_cb.h"
#include "hcapi/core/zwsend.h"
#include "hcapi/net/zwnet_ctlr.h"
#include "hcapi/net/zwnet_devrec.h"
#include "hcapi/net/zwnet_ndb.h"
#include "hcapi/net/zwnet_ni.h"
#include "hcapi/net/zwnet_ops.h"
#include "hcapi/zip/zip_addr.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t step_ms = 5300;
constexpr uint32_t retry_pause_ms = 100;
constexpr uint32_t busy_pause_ms = 2000;
constexpr uint8_t busy_max = 4;
constexpr uint16_t nif_room = 200;
// Gateway frames: no size check, no queues, no security choice.
constexpr uint32_t gw_exec_flags = 0x236;
constexpr uint16_t cls_zip_gw = 0x5F;
constexpr uint16_t cls_ext_first = 0xF100;

enum : uint8_t {
    st_idle = 0,
    st_ctlr = 1,
    st_unsol_dst = 2,
    st_node_list = 3,
    st_addr = 4,
    st_interview = 5,
};

struct unsol_dst_evt_t {
    const uint8_t *addr;
    uint16_t port;
    zwif_desc_t intf;
};

constexpr uint8_t node_list_len = APPL_NM_NODE_MASK_LEN;
constexpr uint8_t ids_per_line = 32;
constexpr uint8_t keys_all = 0x87;

appl_layer_ctx *ctx_of(zwnet_p net) { return net->appl.get(); }

bool bit_set(const uint8_t *bitmap, unsigned i) { return (bitmap[i / 8] >> (i % 8)) & 1; }

void node_list_show(plt_tmr_ctx *plt, const uint8_t *bitmap, unsigned *set_cnt)
{
    plt_msg_show(plt, "node id:");
    char line[ids_per_line * 5 + 1];
    size_t pos = 0;
    unsigned in_line = 0;
    *set_cnt = 0;
    for (unsigned i = 0; i < node_list_len * 8u; ++i) {
        if (!bit_set(bitmap, i))
            continue;
        ++*set_cnt;
        pos += static_cast<size_t>(std::snprintf(line + pos, sizeof line - pos, "%u, ", i + 1));
        if (++in_line == ids_per_line) {
            plt_msg_show(plt, "%s", line);
            pos = 0;
            in_line = 0;
        }
    }
    if (in_line != 0)
        plt_msg_show(plt, "%s", line);
}


void init_tmout_cb(void *data)
{
    auto *net = static_cast<zwnet_p>(data);
    zwnet_lock lk(net);
    if (zwnet_sm_tmr_expired(net))
        zwnet_init_sm(net, ZWNET_INIT_EVT_TMOUT, nullptr);
}

void init_evt6_cb(void *data)
{
    auto *net = static_cast<zwnet_p>(data);
    zwnet_lock lk(net);
    if (zwnet_sm_tmr_expired(net))
        zwnet_init_sm(net, ZWNET_INIT_EVT_NL_RETRY, nullptr);
}

void init_ctlr_done_cb(zwnet_p net, int result)
{
    const int32_t r = result;
    zwnet_init_sm(net, ZWNET_INIT_EVT_CTLR_DONE, &r);
}

void zwnet_init_evt_cb(zwif_desc_t *intf, const uint8_t *addr, uint16_t port)
{
    zwnet_p net = intf->net;
    zwnet_lock lk(net);
    const unsol_dst_evt_t e{addr, port, *intf};
    zwnet_init_sm(net, ZWNET_INIT_EVT_UNSOL_DST, &e);
}

// The run ends: the operation is over, with `sts` for its notification.
void init_finish(zwnet_p net, uint16_t sts)
{
    const uint8_t op = net->sm.init_op;
    zwnet_sm_tmr_stop(net);
    net->sm.init_state = st_idle;
    net->curr_op = ZWNET_OP_NONE;
    // A half-built database must never overwrite the node-information file.
    if (sts == ZWNET_OP_STS_FAILED && op == ZWNET_OP_INITIALIZE)
        net->no_save = 1;
    zwnet_notify(net, op, sts, nullptr);
}

void init_fail(zwnet_p net) { init_finish(net, ZWNET_OP_STS_FAILED); }

// --- steps ---

void addresses_step(zwnet_p net)
{
    if (net->ctl.next == nullptr) {
        init_finish(net, ZWNET_OP_STS_DONE);
        return;
    }
    zwnet_n2ip_req_t req{};
    for (zwnode_p n = net->ctl.next; n != nullptr && req.cnt < ZWNET_NODE_ID_MAX; n = n->next)
        req.node_id[req.cnt++] = n->nodeid;
    req.cmplt = zwnet_n2ip_done_cb;
    req.data = ZWNET_OP_INITIALIZE;
    net->sm.init_state = st_addr;
    if (zwnet_n2ip_sm(net, ZWNET_N2IP_EVT_START, &req) != 0) {
        plt_msg_ts_show(&net->plt, "Failed to get node HAN address");
        init_fail(net);
    }
}

void unsol_dst_step(zwnet_p net)
{
    zwnet_sm_tmr_stop(net);
    zwif_p gw_if = zwif_find_cls(net->ctl.ep.intf, cls_zip_gw);
    if (gw_if == nullptr) {
        plt_msg_ts_show(&net->plt, "zwnet_init_sm: zip gateway interface not found");
        addresses_step(net);
        return;
    }
    zwif_desc_t desc;
    zwif_desc_fill(&desc, gw_if);
    uint8_t frame[2 + nif_room] = {0x5F, 0x0B};
    uint16_t len = nif_room;
    if (zwnet_nif_cc_build(net, frame + 2, &len) == 0 && len > 2)
        zwif_exec(&desc, frame, static_cast<uint16_t>(2 + len), zwif_tx_sts_log_cb, nullptr, gw_exec_flags, nullptr);
    int rc = zwif_set_report(&desc, reinterpret_cast<zwif_rpt_fn>(zwnet_init_evt_cb), 0x0A);
    if (rc != 0) {
        plt_msg_ts_show(&net->plt, "zwnet_init_sm: zwif_set_report with error:%d", rc);
    } else {
        rc = zwif_get_report(&desc, nullptr, 0, 0x09, zwif_tx_sts_log_cb, 0);
        if (rc >= 0) {
            net->sm.init_state = st_unsol_dst;
            zwnet_sm_tmr_start(net, step_ms, init_tmout_cb);
            return;
        }
        plt_msg_ts_show(&net->plt, "zwnet_init_sm: get unsolicited dst with error:%d", rc);
    }
    addresses_step(net);
}

// The gateway has no destination for unsolicited frames yet: us.
void unsol_dst_set(zwnet_p net, const zwif_desc_t *intf)
{
    uint8_t addr[16] = {};
    if (ctx_of(net)->ipv4) {
        uint8_t local[16] = {};
        const int rc = util_local_addr_get(net->gw_addr + 12, local, 1);
        if (rc != 0) {
            plt_msg_ts_show(&net->plt, "zwnet_init_sm: get local addr failed:%d", rc);
            return;
        }
        addr[10] = addr[11] = 0xFF;
        std::memcpy(addr + 12, local, 4);
    } else {
        std::memcpy(addr, ctx_of(net)->ssn.frm.tpt.host_addr, sizeof addr);
    }
    const uint16_t port = ctx_of(net)->ssn.frm.tpt.host_port;
    uint8_t frame[20] = {0x5F, 0x08};
    std::memcpy(frame + 2, addr, sizeof addr);
    frame[18] = static_cast<uint8_t>(port >> 8);
    frame[19] = static_cast<uint8_t>(port);
    zwif_exec(intf, frame, sizeof frame, zwif_tx_sts_log_cb, nullptr, gw_exec_flags, nullptr);
}

bool addr_valid(zwnet_p net, uint8_t node_id)
{
    plt_lock lk(ctx_of(net)->tbl_mtx);
    return node_id >= 1 && node_id <= APPL_NODE_MAX && ctx_of(net)->node_ip[node_id - 1].valid;
}

void load_and_interview(zwnet_p net)
{
    zwnet_sm_t &sm = net->sm;
    if (sm.init_load_file) {
        const int rc = zwnet_node_info_load(net, net->nif_path.empty() ? nullptr : net->nif_path.c_str());
        (void)rc;  // the loader logged it; a network without a file is interviewed
    }
    uint8_t ids[ZWNET_NODE_ID_MAX];
    uint8_t cnt = 0;
    for (zwnode_p n = &net->ctl; n != nullptr; n = n->next) {
        if (n->ep.intf != nullptr) {
            zwnode_dev_rec_apply(n);
            zwnode_sec_flags_updt(n);
        } else if (cnt < ZWNET_NODE_ID_MAX && n->nodeid != 0) {
            ids[cnt++] = n->nodeid;
        }
        if (sm.init_load_file && n != &net->ctl && !addr_valid(net, n->nodeid))
            appl_node_sts_set(ctx_of(net), n->nodeid, APPL_NODE_STS_DOWN, 1);
    }
    if (cnt == 0) {
        init_finish(net, ZWNET_OP_STS_DONE);
        return;
    }
    zwnet_ni_param_t p{};
    p.cmplt_cb = zwnet_sm_nw_chg_cb;
    p.node_id = ids;
    p.cnt = cnt;
    p.op = sm.init_op;
    p.skip_sleeping = 1;
    // The interview may end inside its start (a walk with nothing to ask):
    // the state is set before, so that its end finds the machine waiting.
    sm.init_state = st_interview;
    if (zwnet_node_info_sm(net, ZWNET_NI_EVT_START, &p) == 0)
        init_fail(net);
}

int node_list_get(zwnet_p net)
{
    const int rc = zip_node_list_get(ctx_of(net), zwnet_node_list_get_cb);
    if (rc != 0)
        plt_msg_ts_show(&net->plt, "zip_node_list_get with error:%d", rc);
    return rc;
}

// --- by state and event ---

void on_ctlr_done(zwnet_p net, const void *data)
{
    if (data == nullptr || *static_cast<const int32_t *>(data) != 0) {
        init_fail(net);
        return;
    }
    zwnet_sm_t &sm = net->sm;
    sm.nl_tmout_cnt = sm.nl_busy_cnt = 0;
    sm.init_state = st_node_list;
    if (node_list_get(net) != 0) {
        init_fail(net);
        return;
    }
    zwnet_sm_tmr_start(net, step_ms, init_tmout_cb);
}

void on_nl_tmout(zwnet_p net, const void *)
{
    plt_msg_ts_show(&net->plt, "zwnet_init_sm: get node list timeout");
    if (net->sm.nl_tmout_cnt++ == 0) {
        zwnet_sm_tmr_start(net, retry_pause_ms, init_evt6_cb);
        return;
    }
    // After learn mode the gateway may still be busy with its new network:
    // the run counts as done.
    if (net->sm.init_op == ZWNET_OP_INITIATE) {
        init_finish(net, ZWNET_OP_STS_DONE);
        return;
    }
    init_fail(net);
}

void on_nl_retry(zwnet_p net, const void *)
{
    if (node_list_get(net) != 0) {
        init_fail(net);
        return;
    }
    plt_msg_ts_show(&net->plt, "zwnet_ini_sm: Retrying get node list ...");
    zwnet_sm_tmr_start(net, step_ms, init_tmout_cb);
}

void on_nl_busy(zwnet_p net, const void *data)
{
    if (data == nullptr || *static_cast<const uint8_t *>(data) != 1)
        return;
    if (net->sm.nl_busy_cnt++ > busy_max)
        return;
    zwnet_sm_tmr_start(net, busy_pause_ms, init_evt6_cb);
}

void on_node_list(zwnet_p net, const void *) { unsol_dst_step(net); }

void on_dst_tmout(zwnet_p net, const void *)
{
    plt_msg_ts_show(&net->plt, "zwnet_init_sm: get unsolicited destination address timeout");
    addresses_step(net);
}

void on_dst(zwnet_p net, const void *data)
{
    const auto *e = static_cast<const unsol_dst_evt_t *>(data);
    zwnet_sm_tmr_stop(net);
    static const uint8_t none[16] = {};
    if (std::memcmp(e->addr, none, sizeof none) == 0)
        unsol_dst_set(net, &e->intf);
    addresses_step(net);
}

void on_addr_done(zwnet_p net, const void *data)
{
    if (data == nullptr || *static_cast<const uint8_t *>(data) != 0) {
        plt_msg_ts_show(&net->plt, "Failed to get node HAN address");
        init_fail(net);
        return;
    }
    load_and_interview(net);
}

// The interview reported the operation's end itself.
void on_intv_done(zwnet_p net, const void *) { net->sm.init_state = st_idle; }

using init_fn = void (*)(zwnet_p net, const void *data);
struct init_row_t {
    uint8_t state;
    int evt;
    init_fn fn;
};

// The machine after its start: (state, event) -> action. Anything else is
// ignored.
constexpr init_row_t init_rows[] = {
    {st_ctlr, ZWNET_INIT_EVT_CTLR_DONE, on_ctlr_done},
    {st_node_list, ZWNET_INIT_EVT_TMOUT, on_nl_tmout},
    {st_node_list, ZWNET_INIT_EVT_NL_RETRY, on_nl_retry},
    {st_node_list, ZWNET_INIT_EVT_APP_STS, on_nl_busy},
    {st_node_list, ZWNET_INIT_EVT_NODE_LIST, on_node_list},
    {st_unsol_dst, ZWNET_INIT_EVT_TMOUT, on_dst_tmout},
    {st_unsol_dst, ZWNET_INIT_EVT_UNSOL_DST, on_dst},
    {st_addr, ZWNET_INIT_EVT_ADDR_DONE, on_addr_done},
    {st_interview, ZWNET_INIT_EVT_INTV_DONE, on_intv_done},
};

}  // namespace

int zwnet_init_sm(zwnet_p net, int evt, const void *data)
{
    if (net == nullptr)
        return -1;
    zwnet_lock lk(net);
    zwnet_sm_t &sm = net->sm;
    if (sm.init_state == st_idle) {
        if (evt != ZWNET_INIT_EVT_START || data == nullptr)
            return -1;
        const auto *start = static_cast<const zwnet_init_start_t *>(data);
        sm.init_op = start->op;
        sm.init_load_file = start->load_file;
        sm.init_prev = start->prev;
        const zwnet_ctlr_start_t ctlr{init_ctlr_done_cb, start->prev};
        sm.init_state = st_ctlr;
        if (zwnet_ctlr_info_sm(net, ZWNET_CTLR_EVT_START, &ctlr) != 1) {
            sm.init_state = st_idle;
            plt_msg_ts_show(&net->plt, "zwnet_init_sm: failed to get Z/IP router controller info");
            return -1;
        }
        return 0;
    }
    for (const init_row_t &row : init_rows) {
        if (row.state == sm.init_state && row.evt == evt) {
            row.fn(net, data);
            break;
        }
    }
    return -1;
}

int zwnet_nif_cc_build(zwnet_p net, uint8_t *buf, uint16_t *len)
{
    if (net == nullptr || buf == nullptr || len == nullptr)
        return ZW_ERR_VALUE;
    const uint16_t room = *len;
    uint16_t at = 0;
    auto gw_lists = [net](uint16_t cls) {
        for (const zwnet_gw_cc_t &r : net->gw_cc)
            if (r.cls == cls)
                return true;
        return false;
    };
    auto pass = [&](uint8_t flag) {
        for (const zwnet_cls_ent_t &e : net->ctl_cls) {
            if (!(e.flags & flag) || gw_lists(e.cls))
                continue;
            if (e.cls >= cls_ext_first) {
                if (room - at < 2)
                    continue;
                buf[at++] = static_cast<uint8_t>(e.cls >> 8);
                buf[at++] = static_cast<uint8_t>(e.cls);
            } else {
                if (room - at < 1)
                    continue;
                buf[at++] = static_cast<uint8_t>(e.cls);
            }
        }
    };
    pass(0x01);
    if (room - at < 2)
        return ZW_ERR_MEMORY;
    buf[at++] = 0xF1;
    buf[at++] = 0x00;
    pass(0x02);
    *len = at;
    return 0;
}

int zwnet_node_info_load(zwnet_p net, const char *path)
{
    zwnode_t &ctl = net->ctl;
    // What the gateway told us outweighs what the file remembers.
    const uint16_t proto_ver = ctl.proto_ver, app_ver = ctl.app_ver;
    const uint8_t lib_type = ctl.lib_type, basic = ctl.basic, generic = ctl.ep.generic, specific = ctl.ep.specific;
    const uint8_t propty = ctl.propty, keys_valid = ctl.s2_keys_valid, keys = ctl.s2_grnt_keys;
    int rc = 0;
    if (path != nullptr) {
        rc = zwnet_ni_file_load(net, path);
        if (rc < 0)
            plt_msg_ts_show(&net->plt, "Load node info file '%s' failed: %d", path, rc);
        else
            plt_msg_ts_show(&net->plt, "Network info loaded ...");
    }
    ctl.proto_ver = proto_ver;
    ctl.app_ver = app_ver;
    ctl.lib_type = lib_type;
    ctl.basic = basic;
    ctl.ep.generic = generic;
    ctl.ep.specific = specific;
    ctl.propty = propty;
    ctl.listen = 1;
    if (keys_valid) {
        ctl.s2_keys_valid = keys_valid;
        ctl.s2_grnt_keys = keys;
    } else if (ctl.s2_keys_valid) {
        ctl.propty &= 0xF0;
        zwnode_sec_flags_updt(&ctl);
    }
    return rc < 0 ? rc : 0;
}

void zwnet_n2ip_done_cb(zwnet_p net, uint8_t status, const uint64_t *data)
{
    const uint64_t op = data ? *data : 0;
    if (op == ZWNET_OP_INITIALIZE)
        zwnet_init_sm(net, ZWNET_INIT_EVT_ADDR_DONE, &status);
    else if (op == ZWNET_OP_UPDATE)
        zwnet_updt_sm_sink(net, 6, &status);
    else if (op == ZWNET_OP_NW_CHANGED)
        zwnet_nw_change_sm_sink(net, 4, &status);
}

void zwnet_sm_nw_chg_cb(zwnet_p net, uint8_t)
{
    zwnet_lock lk(net);
    zwnet_init_sm(net, ZWNET_INIT_EVT_INTV_DONE, nullptr);
    zwnet_updt_sm_sink(net, 9, nullptr);
    zwnet_nw_change_sm_sink(net, 5, nullptr);
}

void zwnet_node_list_get_cb(appl_layer_ctx *ctx, uint8_t status, uint8_t suc_id, const uint8_t *bitmap, uint8_t len)
{
    auto *net = ctx ? static_cast<zwnet_p>(ctx->user) : nullptr;
    if (net == nullptr)
        return;
    len = std::min(len, node_list_len);
    const char *sts_text = status == 0 ? "OK"
                           : status == 1 ? "No guarantee that returned node list is latest update"
                                         : "unknown";
    zwnet_lock lk(net);
    net->suc = suc_id;
    net->zw_role = zwnet_role_get(net->controller_role, suc_id, net->ctl.nodeid);
    plt_msg_ts_show(&net->plt, "Get node list status:%u(%s), suc:%u, zw_role:%u", status, sts_text, suc_id,
                    net->zw_role);
    if (bitmap != nullptr && len == node_list_len) {
        unsigned set_cnt = 0;
        node_list_show(&net->plt, bitmap, &set_cnt);
        // A network of the controller alone on a gateway that includes with
        // Security 2: the controller holds every key.
        if (set_cnt == 1 && (net->controller_capability & 0x01)) {
            net->ctl.s2_keys_valid = 1;
            net->ctl.s2_grnt_keys = keys_all;
            net->ctl.propty &= static_cast<uint8_t>(~0x0F);
            zwnode_sec_flags_updt(&net->ctl);
        }
    }
    const uint8_t op = net->curr_op;
    const int notify = op != ZWNET_OP_INITIALIZE && op != ZWNET_OP_INITIATE && op != ZWNET_OP_RESET;
    const int rc = zwnet_node_list_update(net, bitmap, len, notify, nullptr, nullptr);
    if (rc != 0)
        plt_msg_ts_show(&net->plt, "zwnet_node_list_update with error:%d", rc);
    zwnet_init_sm(net, ZWNET_INIT_EVT_NODE_LIST, nullptr);
    zwnet_updt_sm_sink(net, 5, nullptr);
    zwnet_rst_sm_sink(net, 6, nullptr);
}

