// Controller information and node-to-address state machines.
#include "hcapi/net/zwnet_ctlr.h"

#include "hcapi/core/zwsend.h"
#include "hcapi/include/zwif_mgmt.h"
#include "hcapi/net/zwnet_devrec.h"
#include "hcapi/net/zwnet_ndb.h"
#include "hcapi/net/zwnet_ops.h"
#include "hcapi/zip/zip_addr.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unistd.h>

namespace {

constexpr uint32_t step_ms = 5300;
constexpr uint32_t retry_pause_ms = 100;
constexpr uint32_t busy_pause_ms = 2000;
constexpr uint8_t busy_max = 4;
constexpr uint32_t n2ip_ms = 1500;
constexpr uint32_t n2ip_pause_ms = 2000;
constexpr uint8_t n2ip_rexmit_max = 3;
constexpr uint8_t n2ip_delay_max = 4;

constexpr uint8_t marker_cc_ver = 40;
constexpr uint8_t marker_ver = 41;
constexpr uint8_t marker_manf = 9;
constexpr uint8_t marker_dev_id = 10;

constexpr uint16_t cls_nm_incl = 0x34;
constexpr uint16_t cls_nm_primary = 0x54;
constexpr uint16_t cls_nm_proxy = 0x52;
constexpr uint16_t cls_zip_gw = 0x5F;
constexpr uint16_t cls_zip_portal = 0x61;
constexpr uint16_t cls_mailbox = 0x69;
constexpr uint16_t cls_manf = 0x72;
constexpr uint16_t cls_incl_ctlr = 0x74;
constexpr uint16_t cls_fw_updt = 0x7A;
constexpr uint16_t cls_version = 0x86;
constexpr uint16_t cls_ext_first = 0xF100;
constexpr uint8_t propty_app_hidden = 0x80;

// Firmware versions of the gateway that change how we talk to it.
constexpr uint16_t fw_multi_client = 0x0239;  // above: several clients, mailbox, wake-up poll
constexpr uint16_t fw_encap_lo = 0x0218;      // (lo, hi]: encapsulation option too
constexpr uint16_t fw_encap_hi = 0x0231;
constexpr uint16_t fw_features = 0x023B;      // above: feature bits 1 and 2

constexpr uint8_t mbx_cfg_len = 20;

enum : uint8_t {
    st_idle = 0,
    st_node_id = 1,
    st_addr = 2,
    st_node_info = 3,
    st_versions = 4,
    st_dsk = 5,
    st_mailbox = 6,
    st_manf = 7,
};

// Node-to-address states.
enum : uint32_t {
    n2ip_idle = 0,
    n2ip_wait = 1,   // for an address
    n2ip_pause = 2,  // before a delayed retry
};

struct cc_ver_evt_t {
    uint16_t cls;
    uint8_t ver;
    uint8_t node_id;
};
struct ver_evt_t {
    uint16_t proto_ver;
    uint16_t app_ver;
    uint8_t lib_type;
    const ext_ver_t *ext;
};

appl_layer_ctx *ctx_of(zwnet_p net) { return net->appl.get(); }
zwnet_p net_of(appl_layer_ctx *ctx) { return ctx ? static_cast<zwnet_p>(ctx->user) : nullptr; }

bool node_id_ok(uint8_t id) { return id >= 1 && id <= ZWNET_NODE_ID_MAX; }

void addr_show(plt_tmr_ctx *plt, const uint8_t *addr)
{
    char line[16 * 3 + 1];
    for (int i = 0; i < 16; ++i)
        std::snprintf(line + i * 3, 4, "%02X ", addr[i]);
    plt_msg_show(plt, "%s", line);
}

void cls_show(plt_tmr_ctx *plt, const char *title, const uint16_t *cls, uint8_t cnt)
{
    plt_msg_show(plt, "%s", title);
    char line[10 * 6 + 1];
    size_t pos = 0;
    for (uint8_t i = 0; i < cnt && cls != nullptr; ++i) {
        pos += static_cast<size_t>(std::snprintf(line + pos, sizeof line - pos, "%02X, ", cls[i]));
        if (i % 10 == 9 || i + 1 == cnt) {
            plt_msg_show(plt, "%s", line);
            pos = 0;
        }
    }
}

void ctlr_tmout_cb(void *data)
{
    auto *net = static_cast<zwnet_p>(data);
    zwnet_lock lk(net);
    if (zwnet_sm_tmr_expired(net))
        zwnet_ctlr_info_sm(net, ZWNET_CTLR_EVT_TMOUT, nullptr);
}

void ctlr_delay_cb(void *data)
{
    auto *net = static_cast<zwnet_p>(data);
    zwnet_lock lk(net);
    if (zwnet_sm_tmr_expired(net))
        zwnet_ctlr_info_sm(net, ZWNET_CTLR_EVT_DELAY, nullptr);
}

void n2ip_tmout_cb(void *data)
{
    auto *net = static_cast<zwnet_p>(data);
    zwnet_lock lk(net);
    if (zwnet_sm_tmr_expired(net))
        zwnet_n2ip_sm(net, ZWNET_N2IP_EVT_TMOUT, nullptr);
}

// ---------------------------------------------------------------------------
// Callbacks that feed the controller-information machine
// ---------------------------------------------------------------------------

void adv_show(plt_tmr_ctx *plt, const char *who, const char *id_line, const appl_node_adv_t *adv)
{
    plt_msg_ts_show(plt, "%s", who);
    if (adv->validity == 0) {
        plt_msg_show(plt, id_line, adv->home_id, adv->node_id, adv->local);
        addr_show(plt, adv->ipv6);
    } else if (adv->validity == 1) {
        plt_msg_show(plt, "Obsolete node id:%u, local=%u, ip:", adv->node_id, adv->local);
        addr_show(plt, adv->ipv6);
    } else {
        plt_msg_show(plt, "Node not found");
    }
}

void zwnet_ctlr_id_addr_cb(appl_layer_ctx *ctx, const appl_node_adv_t *adv)
{
    zwnet_p net = net_of(ctx);
    if (net == nullptr || adv == nullptr)
        return;
    adv_show(&net->plt, "zwnet_ctlr_id_addr_cb:", "Home id:%08X,  ctlr node id:%u, local=%u, ip:", adv);
    zwnet_lock lk(net);
    int evt = ZWNET_CTLR_EVT_NOT_FOUND;
    // Which question this answers follows from the step that asked it:
    // gateways differ in the local flag they put on their own answers.
    if (adv->validity == 0)
        evt = net->sm.ctlr_state == st_node_id ? ZWNET_CTLR_EVT_ID : ZWNET_CTLR_EVT_ADDR;
    zwnet_ctlr_info_sm(net, evt, adv);
}

void zwnet_ctlr_node_info_cb(appl_layer_ctx *ctx, const appl_node_info_t *info)
{
    zwnet_p net = net_of(ctx);
    if (net == nullptr || info == nullptr)
        return;
    plt_tmr_ctx *plt = &net->plt;
    plt_msg_ts_show(plt, "zwnet_ctlr_node_info_cb for node id:%u", info->node_id);
    plt_msg_show(plt, "listening=%u, optional functions=%u", info->listen, info->optional);
    plt_msg_show(plt, "status=%u, age=%u minutes old", info->status, 1u << (info->age & 0x1F));
    plt_msg_show(plt, "Device type: basic=%02Xh, generic=%02Xh, specific=%02X", info->basic, info->gen, info->spec);
    const uint8_t unsec = info->cmd_cls ? info->cmd_cnt : 0;
    const uint8_t sec = info->cmd_cls_ctl ? info->cmd_cnt_ctl : 0;
    cls_show(plt, "unsecure command classes:", info->cmd_cls, unsec);
    cls_show(plt, "secure command classes:", info->cmd_cls_ctl, sec);
    if (unsec == 0 && sec == 0)
        return;
    zwnet_lock lk(net);
    if (info->node_id != net->ctl.nodeid)
        return;
    zwnet_ctlr_info_sm(net, ZWNET_CTLR_EVT_NODE_INFO, info);
}

void zwnet_ctlr_cc_ver_cb(zwif_desc_t *intf, uint16_t cls, uint8_t ver)
{
    zwnet_p net = intf->net;
    zwnet_lock lk(net);
    const cc_ver_evt_t e{cls, ver, intf->nodeid};
    zwnet_ctlr_info_sm(net, ZWNET_CTLR_EVT_CC_VER, &e);
}

void zwnet_ctlr_info_evt_cb(zwif_desc_t *intf, uint16_t proto, uint16_t app, uint8_t lib, const ext_ver_t *ext)
{
    zwnet_p net = intf->net;
    zwnet_lock lk(net);
    if (intf->nodeid != net->ctl.nodeid)
        return;
    const ver_evt_t e{proto, app, lib, ext};
    zwnet_ctlr_info_sm(net, ZWNET_CTLR_EVT_VER, &e);
}

void zwnet_ctlr_manf_cb(zwif_desc_t *intf, const zwif_manf_t *ids)
{
    zwnet_p net = intf->net;
    zwnet_lock lk(net);
    if (intf->nodeid == net->ctl.nodeid)
        zwnet_ctlr_info_sm(net, ZWNET_CTLR_EVT_MANF, ids);
}

void zwnet_ctlr_dev_id_cb(zwif_desc_t *intf, const zw_dev_id_t *id)
{
    zwnet_p net = intf->net;
    zwnet_lock lk(net);
    if (intf->nodeid == net->ctl.nodeid)
        zwnet_ctlr_info_sm(net, ZWNET_CTLR_EVT_DEV_ID, id);
}

void zwnet_ctlr_mbx_cb(zwif_desc_t *intf, const zwif_mailbox_cfg_t *cfg)
{
    zwnet_p net = intf->net;
    zwnet_lock lk(net);
    if (intf->nodeid == net->ctl.nodeid)
        zwnet_ctlr_info_sm(net, ZWNET_CTLR_EVT_MBX, cfg);
}

void zwnet_ctlr_dsk_cb(appl_layer_ctx *ctx, const uint8_t *dsk, uint8_t len, uint8_t)
{
    zwnet_p net = net_of(ctx);
    if (net == nullptr)
        return;
    zwnet_lock lk(net);
    if (char *text = zwnet_dsk_to_txt(dsk, len)) {
        std::strncpy(net->ctl.s2_dsk, text, sizeof net->ctl.s2_dsk - 1);
        std::free(text);
    }
    zwnet_ctlr_info_sm(net, ZWNET_CTLR_EVT_DSK, nullptr);
}

// ---------------------------------------------------------------------------
// Steps of the controller-information machine (network mutex held)
// ---------------------------------------------------------------------------

// The gateway stopped answering the first questions.
void gw_down(zwnet_p net)
{
    appl_node_sts_set(ctx_of(net), 0, APPL_NODE_STS_DOWN, 1);
    zwnet_ctlr_info_done(net, -1);
}

// Registers the report callback and sends the Get to the controller's
// interface of `cls`: 0 (step timer armed), the registration's error, or
// the negative send result (logged with `fail`).
int ctlr_get(zwnet_p net, uint16_t cls, uint8_t rpt, zwif_rpt_fn cb, uint8_t get, const uint8_t *param,
             uint8_t param_len, const char *fail)
{
    zwif_p intf = zwif_find_cls(net->ctl.ep.intf, cls);
    if (intf == nullptr)
        return ZW_ERR_INTF_NOT_FOUND;
    zwif_desc_t desc;
    zwif_desc_fill(&desc, intf);
    int rc = zwif_set_report(&desc, cb, rpt);
    if (rc != 0)
        return rc;
    rc = zwif_get_report(&desc, param, param_len, get, zwif_tx_sts_log_cb, 0);
    if (rc < 0) {
        plt_msg_ts_show(&net->plt, fail, rc);
        return rc;
    }
    zwnet_sm_tmr_start(net, step_ms, ctlr_tmout_cb);
    return 0;
}

int cc_ver_get(zwnet_p net, uint16_t cls)
{
    net->sm.ctlr_cls = cls;
    const uint8_t c = static_cast<uint8_t>(cls);
    return ctlr_get(net, cls_version, 0x14, reinterpret_cast<zwif_rpt_fn>(zwnet_ctlr_cc_ver_cb), 0x13, &c, 1,
                    "zwnet_sm_ctlr_cc_ver_get: zwif_get_report with error:%d");
}

int ver_get(zwnet_p net)
{
    return ctlr_get(net, cls_version, 0x12, reinterpret_cast<zwif_rpt_fn>(zwnet_ctlr_info_evt_cb), 0x11, nullptr, 0,
                    "zwnet_ctlr_sm: zwif_get_report detailed version with error:%d");
}

int manf_get(zwnet_p net)
{
    const int rc = ctlr_get(net, cls_manf, 0x05, reinterpret_cast<zwif_rpt_fn>(zwnet_ctlr_manf_cb), 0x04, nullptr,
                            0, "zwnet_ctlr_sm_manf_get: zwif_get_report with error:%d");
    if (rc == 0) {
        net->sm.ctlr_state = st_manf;
        net->sm.ctlr_marker = marker_manf;
    }
    return rc;
}

int mbx_get(zwnet_p net)
{
    const int rc = ctlr_get(net, cls_mailbox, 0x03, reinterpret_cast<zwif_rpt_fn>(zwnet_ctlr_mbx_cb), 0x01, nullptr,
                            0, "zwnet_ctlr_sm_mbx_get: zwif_get_report with error:%d");
    if (rc == 0)
        net->sm.ctlr_state = st_mailbox;
    return rc;
}

int dev_id_get(zwnet_p net)
{
    const uint8_t type = 0;
    const int rc = ctlr_get(net, cls_manf, 0x07, reinterpret_cast<zwif_rpt_fn>(zwnet_ctlr_dev_id_cb), 0x06, &type,
                            1, "zwnet_ctlr_sm_dev_id_get: zwif_get_report with error:%d");
    if (rc == 0)
        net->sm.ctlr_marker = marker_dev_id;
    return rc;
}

int node_info_req(zwnet_p net)
{
    return zw_request_node_info(ctx_of(net), zwnet_ctlr_node_info_cb, net->ctl.nodeid, 1);
}

// Whether a class of the gateway's has its version asked: not Basic, not
// an extended class, not one that this host answers for itself.
bool ver_wanted(zwnet_p net, uint16_t cls)
{
    if (cls == COMMAND_CLASS_BASIC || cls >= cls_ext_first)
        return false;
    for (const zwnet_cls_ent_t &e : net->ctl_cls)
        if (e.cls == cls)
            return false;
    return true;
}

// Records a class version on the controller's interface: its report rows
// follow the version.
void ctl_if_ver_set(zwnet_p net, uint16_t cls, uint8_t ver)
{
    zwif_p intf = zwif_find_cls(net->ctl.ep.intf, cls);
    if (intf == nullptr || ver == 0)
        return;
    intf = zwnet_if_ver_replace(intf, ver, intf->propty);
    intf->real_ver = ver;
}

void mbx_or_manf(zwnet_p net)
{
    if (net->multi_client) {
        if (mbx_get(net) != 0)
            zwnet_ctlr_info_done(net, -1);
        return;
    }
    if (manf_get(net) != 0)
        zwnet_ctlr_info_done(net, 0);
}

void nif_path_set(zwnet_p net)
{
    if (net->homeid == 0)
        return;
    char *name = nullptr;
    if (zwnet_data_file_name("nif", net->stor_dir.c_str(), net->homeid, 0, &name, 0) != 0 || name == nullptr)
        return;
    try {
        if (net->nif_path.empty()) {
            net->nif_path = name;
        } else if (net->nif_path != name) {
            // Another network: the old network's file goes with it.
            unlink(net->nif_path.c_str());
            net->nif_path = name;
        }
    } catch (const std::bad_alloc &) {
    }
    std::free(name);
}

// The controller left its network in learn mode: nothing of the old one stays.
void leave_cleanup(zwnet_p net)
{
    while (net->ctl.next != nullptr)
        zwnet_node_free(net, net->ctl.next->nodeid);
    if (!net->nif_path.empty()) {
        unlink(net->nif_path.c_str());
        net->nif_path.clear();
    }
}

// --- by state and event ---

void on_id_tmout(zwnet_p net, const void *)
{
    if (net->sm.ctlr_tmout_cnt++ == 0 &&
        zip_node_id_get(ctx_of(net), zwnet_ctlr_id_addr_cb, net->gw_addr, 1) == 0) {
        zwnet_sm_tmr_start(net, step_ms, ctlr_tmout_cb);
        return;
    }
    gw_down(net);
}

void on_id(zwnet_p net, const void *data)
{
    const auto *adv = static_cast<const appl_node_adv_t *>(data);
    zwnet_sm_t &sm = net->sm;
    zwnet_sm_tmr_stop(net);
    if (!node_id_ok(adv->node_id)) {
        plt_msg_ts_show(&net->plt, "zwnet_ctlr_info_sm: invalid controller node id:%u", adv->node_id);
        zwnet_ctlr_info_done(net, -1);
        return;
    }
    if (sm.ctlr_prev != nullptr) {
        if (sm.ctlr_prev->home_id == adv->home_id && sm.ctlr_prev->node_id == adv->node_id) {
            plt_msg_ts_show(&net->plt, "Learn mode resulted in replication or controller shift");
        } else {
            plt_msg_ts_show(&net->plt, "Learn mode resulted in leaving network");
            leave_cleanup(net);
        }
    }
    net->ctl.nodeid = adv->node_id;
    {
        plt_lock lk(ctx_of(net)->tbl_mtx);
        ctx_of(net)->own_node_id = adv->node_id;
    }
    appl_node_sts_set(ctx_of(net), adv->node_id, APPL_NODE_STS_ALIVE, 1);
    net->homeid = adv->home_id;
    nif_path_set(net);
    sm.ctlr_tmout_cnt = 0;
    if (zip_node_ipaddr_get(ctx_of(net), zwnet_ctlr_id_addr_cb, adv->node_id) != 0) {
        plt_msg_ts_show(&net->plt, "Failed to get Z/IP router controller PAN address");
        zwnet_ctlr_info_done(net, -1);
        return;
    }
    sm.ctlr_state = st_addr;
    zwnet_sm_tmr_start(net, step_ms, ctlr_tmout_cb);
}

void on_not_found(zwnet_p net, const void *)
{
    zwnet_ctlr_info_done(net, -1);
}

void on_addr_tmout(zwnet_p net, const void *)
{
    if (net->sm.ctlr_tmout_cnt++ == 0 &&
        zip_node_ipaddr_get(ctx_of(net), zwnet_ctlr_id_addr_cb, net->ctl.nodeid) == 0) {
        zwnet_sm_tmr_start(net, step_ms, ctlr_tmout_cb);
        return;
    }
    gw_down(net);
}

void on_addr(zwnet_p net, const void *data)
{
    const auto *adv = static_cast<const appl_node_adv_t *>(data);
    if (adv->node_id != net->ctl.nodeid)
        return;
    zwnet_sm_tmr_stop(net);
    std::memcpy(net->ctl_ipv6, adv->ipv6, sizeof net->ctl_ipv6);
    if (ctx_of(net)->ipv4) {
        appl_node_ip_set(ctx_of(net), adv->ipv6 + 12, 4, net->ctl.nodeid);
    } else {
        std::memcpy(net->ctl_ipv6_prefix, adv->ipv6, sizeof net->ctl_ipv6_prefix);
        appl_node_ip_set(ctx_of(net), adv->ipv6, 16, net->ctl.nodeid);
    }
    net->sm.ctlr_tmout_cnt = net->sm.ctlr_busy_cnt = 0;
    if (node_info_req(net) != 0) {
        plt_msg_ts_show(&net->plt, "Failed to get Z/IP router controller node info");
        zwnet_ctlr_info_done(net, -1);
        return;
    }
    net->sm.ctlr_state = st_node_info;
    zwnet_sm_tmr_start(net, step_ms, ctlr_tmout_cb);
}

void on_ni_tmout(zwnet_p net, const void *)
{
    if (net->sm.ctlr_tmout_cnt++ == 0) {
        zwnet_sm_tmr_start(net, retry_pause_ms, ctlr_delay_cb);
        return;
    }
    gw_down(net);
}

void on_ni_retry(zwnet_p net, const void *)
{
    if (node_info_req(net) != 0) {
        gw_down(net);
        return;
    }
    plt_msg_ts_show(&net->plt, "Retrying to get Z/IP router controller node info ...");
    zwnet_sm_tmr_start(net, step_ms, ctlr_tmout_cb);
}

void on_ni_busy(zwnet_p net, const void *data)
{
    if (data == nullptr || *static_cast<const uint8_t *>(data) != 1)
        return;
    zwnet_sm_tmr_stop(net);
    if (net->sm.ctlr_busy_cnt++ > busy_max) {
        gw_down(net);
        return;
    }
    zwnet_sm_tmr_start(net, busy_pause_ms, ctlr_delay_cb);
}

void on_gw_classes(zwnet_p net, const void *data)
{
    const auto *info = static_cast<const appl_node_info_t *>(data);
    const uint16_t *unsec = info->cmd_cls;
    const uint8_t unsec_cnt = unsec ? info->cmd_cnt : 0;
    const uint16_t *sec = info->cmd_cls_ctl;
    const uint8_t sec_cnt = sec ? info->cmd_cnt_ctl : 0;
    zwnet_sm_tmr_stop(net);
    net->controller_capability = static_cast<uint8_t>(
        (zwnet_cc_find(unsec, COMMAND_CLASS_SECURITY_2, unsec_cnt) ? 0x01 : 0) |
        (zwnet_cc_find(unsec, cls_incl_ctlr, unsec_cnt) ? 0x02 : 0));
    int rc = zwnet_gw_cc_save(info, net->gw_cc);
    if (rc != 0) {
        plt_msg_ts_show(&net->plt, "zwnet_ctlr_info_sm: Save Z/IP gw supported command class error:%d", rc);
        zwnet_ctlr_info_done(net, -1);
        return;
    }
    net->controller_role = zwnet_ctlr_role_bits_get(unsec, unsec_cnt, sec, sec_cnt);
    net->ctl.basic = info->basic;
    net->ctl.ep.generic = info->gen;
    net->ctl.ep.specific = info->spec;
    zwep_if_rm_all(&net->ctl.ep);
    rc = zwnet_gw_if_create(&net->ctl, info);
    if (rc != 0) {
        plt_msg_ts_show(&net->plt, "zwnet_ctlr_info_sm: Create Z/IP gw interfaces error:%d", rc);
        zwnet_ctlr_info_done(net, -1);
        return;
    }
    if (zwif_find_cls(net->ctl.ep.intf, cls_version) == nullptr) {
        plt_msg_ts_show(&net->plt, "zwnet_ctlr_info_sm: Z/IP controller doesn't support version command class");
        zwnet_ctlr_info_done(net, 0);
        return;
    }
    net->sm.ctlr_tmout_cnt = 0;
    net->sm.ctlr_state = st_versions;
    net->sm.ctlr_marker = marker_cc_ver;
    if (cc_ver_get(net, net->ctl.ep.intf->cls) != 0)
        zwnet_ctlr_info_done(net, -1);
}

void on_cc_ver(zwnet_p net, const void *data)
{
    const auto *e = static_cast<const cc_ver_evt_t *>(data);
    zwnet_sm_t &sm = net->sm;
    if (sm.ctlr_marker != marker_cc_ver || e->node_id != net->ctl.nodeid || e->cls != sm.ctlr_cls)
        return;
    zwnet_sm_tmr_stop(net);
    if (e->cls == cls_nm_incl && e->ver > 1) {
        plt_msg_ts_show(&net->plt, "Network Mgmt Inclusion CC version:%u", e->ver);
        net->controller_capability |= 0x01;
    } else if (e->cls == cls_nm_proxy && e->ver > 1) {
        plt_msg_ts_show(&net->plt, "Network Mgmt Proxy CC version:%u", e->ver);
        net->feature |= 0x01;
    }
    ctl_if_ver_set(net, e->cls, e->ver);
    sm.ctlr_tmout_cnt = 0;
    // The next class after the one asked, in the interface list's order.
    zwif_p i = zwif_find_cls(net->ctl.ep.intf, e->cls);
    for (i = i ? i->next : nullptr; i != nullptr && !ver_wanted(net, i->cls); i = i->next) {
    }
    if (i != nullptr) {
        if (cc_ver_get(net, i->cls) != 0)
            zwnet_ctlr_info_done(net, -1);
        return;
    }
    if (!(net->controller_capability & 0x01))
        net->ctl.s2_keys_valid = 0;
    if (ver_get(net) != 0) {
        zwnet_ctlr_info_done(net, -1);
        return;
    }
    sm.ctlr_marker = marker_ver;
}

void on_ver(zwnet_p net, const void *data)
{
    const auto *e = static_cast<const ver_evt_t *>(data);
    if (net->sm.ctlr_marker != marker_ver)
        return;
    zwnet_sm_tmr_stop(net);
    zwnode_t &ctl = net->ctl;
    ctl.proto_ver = e->proto_ver;
    ctl.app_ver = e->app_ver;
    ctl.lib_type = e->lib_type;
    if (e->ext != nullptr) {
        const size_t size = sizeof(ext_ver_t) + 2u * e->ext->fw_cnt;
        if (auto *copy = static_cast<ext_ver_t *>(std::malloc(size))) {
            std::memcpy(copy, e->ext, size);
            std::free(ctl.ext_ver);
            ctl.ext_ver = copy;
        }
        if (e->ext->fw_cnt >= 1) {
            uint16_t v;
            std::memcpy(&v, reinterpret_cast<const uint8_t *>(e->ext) + offsetof(ext_ver_t, fw_ver), sizeof v);
            if (v > fw_multi_client) {
                ctx_of(net)->sel_opt = 1;
                net->multi_client = 1;
                if (net->wupoll_ctx == nullptr) {
                    auto *fac = new (std::nothrow) zwwupoll_ctx_t;
                    if (fac == nullptr) {
                        plt_msg_ts_show(&net->plt, "Failed to calloc for wakeup notification poll");
                        zwnet_ctlr_info_done(net, -1);
                        return;
                    }
                    fac->net = net;
                    const int rc = zwwupoll_init(fac);
                    if (rc != 0) {
                        zwwupoll_exit(fac);
                        delete fac;
                        plt_msg_ts_show(&net->plt, "Init wakeup notification poll facility failed:%d", rc);
                        zwnet_ctlr_info_done(net, -1);
                        return;
                    }
                    net->wupoll_ctx = fac;
                }
            }
            if (v > fw_multi_client || (v > fw_encap_lo && v <= fw_encap_hi))
                net->encap_opt = 1;
            if (v > fw_features)
                net->feature |= 0x06;
        }
    }
    plt_msg_ts_show(&net->plt, "Multi-client support : %c", net->multi_client ? 'Y' : 'N');
    if (!net->multi_client) {
        if (zwif_p mbx = zwif_find_cls(ctl.ep.intf, cls_mailbox)) {
            // One client only: the mailbox stays out of the way.
            zwif_desc_t desc;
            zwif_desc_fill(&desc, mbx);
            const uint8_t off[] = {0x69, 0x02, 0x00};
            zwif_exec_simple(&desc, off, sizeof off, zwif_tx_sts_cb);
        }
    }
    if ((net->controller_capability & 0x01) && zw_sec2_dsk_get(ctx_of(net), zwnet_ctlr_dsk_cb, 0) == 0) {
        net->sm.ctlr_state = st_dsk;
        zwnet_sm_tmr_start(net, step_ms, ctlr_tmout_cb);
        return;
    }
    mbx_or_manf(net);
}

void on_ver_tmout(zwnet_p net, const void *)
{
    zwnet_sm_t &sm = net->sm;
    if (sm.ctlr_tmout_cnt++ == 0) {
        const int rc = sm.ctlr_marker == marker_ver ? ver_get(net)
                       : sm.ctlr_marker == marker_cc_ver ? cc_ver_get(net, sm.ctlr_cls)
                                                         : -1;
        if (rc == 0)
            return;
    }
    zwnet_ctlr_info_done(net, -1);
}

void on_dsk(zwnet_p net, const void *)
{
    zwnet_sm_tmr_stop(net);
    mbx_or_manf(net);
}

void on_fail(zwnet_p net, const void *) { zwnet_ctlr_info_done(net, -1); }

void on_mbx(zwnet_p net, const void *data)
{
    const auto *cfg = static_cast<const zwif_mailbox_cfg_t *>(data);
    zwnet_sm_tmr_stop(net);
    plt_msg_ts_show(&net->plt, "Mailbox: supported mode=%u, current mode=%u, capacity=%u", cfg->sup_modes, cfg->mode,
                    cfg->capacity);
    if (cfg->mode != 1) {
        if (!(cfg->sup_modes & 0x01)) {
            zwnet_ctlr_info_done(net, -1);
            return;
        }
        if (zwif_p mbx = zwif_find_cls(net->ctl.ep.intf, cls_mailbox)) {
            zwif_desc_t desc;
            zwif_desc_fill(&desc, mbx);
            uint8_t set[mbx_cfg_len] = {0x69, 0x02, 0x01};
            zwif_exec(&desc, set, sizeof set, zwif_tx_sts_cb, nullptr, ZWIF_EXEC_NO_SEC, nullptr);
        }
    }
    if (manf_get(net) != 0)
        zwnet_ctlr_info_done(net, 0);
}

void on_manf(zwnet_p net, const void *data)
{
    const auto *ids = static_cast<const zwif_manf_t *>(data);
    if (net->sm.ctlr_marker != marker_manf)
        return;
    zwnet_sm_tmr_stop(net);
    net->ctl.vid = ids->manf_id;
    net->ctl.type = ids->prod_type;
    net->ctl.pid = ids->prod_id;
    zwif_p manf = zwif_find_cls(net->ctl.ep.intf, cls_manf);
    if (manf != nullptr && manf->real_ver > 1 && dev_id_get(net) == 0)
        return;
    zwnet_ctlr_info_done(net, 0);
}

void on_dev_id(zwnet_p net, const void *data)
{
    const auto *id = static_cast<const zw_dev_id_t *>(data);
    if (net->sm.ctlr_marker != marker_dev_id)
        return;
    zwnet_sm_tmr_stop(net);
    // The id type asked for is 0: an id is there when it has bytes.
    if (id->len != 0)
        net->ctl.dev_id = *id;
    zwnet_ctlr_info_done(net, 0);
}

using ctlr_fn = void (*)(zwnet_p net, const void *data);
struct ctlr_row_t {
    uint8_t state;
    int evt;
    ctlr_fn fn;
};

// The machine after its start: (state, event) -> action. Anything else is
// ignored.
constexpr ctlr_row_t ctlr_rows[] = {
    {st_node_id, ZWNET_CTLR_EVT_TMOUT, on_id_tmout},
    {st_node_id, ZWNET_CTLR_EVT_ID, on_id},
    {st_node_id, ZWNET_CTLR_EVT_NOT_FOUND, on_not_found},
    {st_addr, ZWNET_CTLR_EVT_TMOUT, on_addr_tmout},
    {st_addr, ZWNET_CTLR_EVT_ADDR, on_addr},
    {st_addr, ZWNET_CTLR_EVT_NOT_FOUND, on_not_found},
    {st_node_info, ZWNET_CTLR_EVT_TMOUT, on_ni_tmout},
    {st_node_info, ZWNET_CTLR_EVT_DELAY, on_ni_retry},
    {st_node_info, ZWNET_CTLR_EVT_APP_STS, on_ni_busy},
    {st_node_info, ZWNET_CTLR_EVT_NODE_INFO, on_gw_classes},
    {st_versions, ZWNET_CTLR_EVT_CC_VER, on_cc_ver},
    {st_versions, ZWNET_CTLR_EVT_VER, on_ver},
    {st_versions, ZWNET_CTLR_EVT_TMOUT, on_ver_tmout},
    {st_dsk, ZWNET_CTLR_EVT_DSK, on_dsk},
    {st_dsk, ZWNET_CTLR_EVT_TMOUT, on_fail},
    {st_mailbox, ZWNET_CTLR_EVT_MBX, on_mbx},
    {st_mailbox, ZWNET_CTLR_EVT_TMOUT, on_fail},
    {st_manf, ZWNET_CTLR_EVT_MANF, on_manf},
    {st_manf, ZWNET_CTLR_EVT_DEV_ID, on_dev_id},
    {st_manf, ZWNET_CTLR_EVT_TMOUT, on_fail},
};

// ---------------------------------------------------------------------------
// Node-to-address machine (network mutex held)
// ---------------------------------------------------------------------------

void get_ip_addr_cb(appl_layer_ctx *ctx, const appl_node_adv_t *adv)
{
    zwnet_p net = net_of(ctx);
    if (net == nullptr || adv == nullptr)
        return;
    adv_show(&net->plt, "zwnet_get_ip_addr_cb:", "Home id:%08X,  node id:%u, local=%u, ip:", adv);
    zwnet_lock lk(net);
    zwnet_n2ip_sm(net, ZWNET_N2IP_EVT_ADV, adv);
}

void n2ip_end(zwnet_p net, uint8_t status)
{
    zwnet_n2ip_req_t &r = net->sm.n2ip;
    zwnet_sm_tmr_stop(net);
    r.state = n2ip_idle;
    const zwnet_n2ip_cmplt_fn cb = r.cmplt;
    const uint64_t data = r.data;
    r.cmplt = nullptr;
    if (cb != nullptr)
        cb(net, status, &data);
}

// Asks for the current id's address: true when sent (state 1, timer armed).
bool n2ip_ask(zwnet_p net)
{
    zwnet_n2ip_req_t &r = net->sm.n2ip;
    if (zip_node_ipaddr_get(ctx_of(net), get_ip_addr_cb, r.node_id[r.idx]) != 0) {
        plt_msg_ts_show(&net->plt, "zwnet_n2ip_sm: failed to resolve node to ip from Z/IP router controller");
        return false;
    }
    r.state = n2ip_wait;
    zwnet_sm_tmr_start(net, n2ip_ms, n2ip_tmout_cb);
    return true;
}

void n2ip_next(zwnet_p net)
{
    zwnet_n2ip_req_t &r = net->sm.n2ip;
    if (++r.idx >= r.cnt) {
        n2ip_end(net, 0);
        return;
    }
    r.delay_cnt = r.rexmit_cnt = 0;
    if (!n2ip_ask(net))
        n2ip_end(net, ZWNET_OP_STS_FAILED);
}

void n2ip_delayed_retry(zwnet_p net)
{
    zwnet_n2ip_req_t &r = net->sm.n2ip;
    if (r.delay_cnt > n2ip_delay_max) {
        n2ip_next(net);
        return;
    }
    r.state = n2ip_pause;
    zwnet_sm_tmr_start(net, n2ip_pause_ms, n2ip_tmout_cb);
}

void n2ip_on_tmout(zwnet_p net, const void *)
{
    zwnet_n2ip_req_t &r = net->sm.n2ip;
    plt_msg_ts_show(&net->plt, "zwnet_n2ip_sm: resolve node to ip timeout, retransmit count:%u", r.rexmit_cnt);
    if (r.rexmit_cnt++ < n2ip_rexmit_max && n2ip_ask(net))
        return;
    n2ip_end(net, ZWNET_OP_STS_FAILED);
}

void n2ip_on_adv(zwnet_p net, const void *data)
{
    zwnet_n2ip_req_t &r = net->sm.n2ip;
    const auto *adv = static_cast<const appl_node_adv_t *>(data);
    if (adv == nullptr || adv->node_id != r.node_id[r.idx])
        return;  // an answer about another node
    zwnet_sm_tmr_stop(net);
    const bool zero = util_is_zeros16(adv->ipv6) == 0;
    if (adv->validity == 0 && !zero) {
        if (ctx_of(net)->ipv4)
            appl_node_ip_set(ctx_of(net), adv->ipv6 + 12, 4, adv->node_id);
        else
            appl_node_ip_set(ctx_of(net), adv->ipv6, 16, adv->node_id);
    } else if ((adv->validity == 0 && zero) || (adv->validity == 1 && r.retry_obsolete)) {
        n2ip_delayed_retry(net);
        return;
    }
    n2ip_next(net);
}

void n2ip_on_pause_end(zwnet_p net, const void *)
{
    zwnet_n2ip_req_t &r = net->sm.n2ip;
    ++r.delay_cnt;
    r.rexmit_cnt = 0;
    if (!n2ip_ask(net))
        n2ip_end(net, ZWNET_OP_STS_FAILED);
}

struct n2ip_row_t {
    uint32_t state;
    int evt;
    void (*fn)(zwnet_p net, const void *data);
};

// The machine after its start: (state, event) -> action.
constexpr n2ip_row_t n2ip_rows[] = {
    {n2ip_wait, ZWNET_N2IP_EVT_TMOUT, n2ip_on_tmout},
    {n2ip_wait, ZWNET_N2IP_EVT_ADV, n2ip_on_adv},
    {n2ip_pause, ZWNET_N2IP_EVT_TMOUT, n2ip_on_pause_end},
};

}  // namespace

// ---------------------------------------------------------------------------
// Controller information
// ---------------------------------------------------------------------------

int zwnet_ctlr_info_sm(zwnet_p net, int evt, const void *data)
{
    if (net == nullptr)
        return 0;
    zwnet_sm_t &sm = net->sm;
    if (sm.ctlr_state == st_idle) {
        if (evt != ZWNET_CTLR_EVT_START || data == nullptr)
            return 0;
        const auto *start = static_cast<const zwnet_ctlr_start_t *>(data);
        sm.ctlr_cmplt = start->cmplt;
        sm.ctlr_prev = start->prev;
        sm.ctlr_tmout_cnt = sm.ctlr_busy_cnt = 0;
        sm.ctlr_marker = 0;
        if (zip_node_id_get(ctx_of(net), zwnet_ctlr_id_addr_cb, net->gw_addr, 0) != 0) {
            plt_msg_ts_show(&net->plt, "zwnet_ctlr_info_sm: failed to get Z/IP router controller node id");
            sm.ctlr_cmplt = nullptr;
            return 0;
        }
        sm.ctlr_state = st_node_id;
        zwnet_sm_tmr_start(net, step_ms, ctlr_tmout_cb);
        return 1;
    }
    for (const ctlr_row_t &row : ctlr_rows) {
        if (row.state == sm.ctlr_state && row.evt == evt) {
            row.fn(net, data);
            break;
        }
    }
    return 0;
}

void zwnet_ctlr_info_done(zwnet_p net, int result)
{
    zwnet_sm_t &sm = net->sm;
    zwnet_sm_tmr_stop(net);
    sm.ctlr_state = st_idle;
    sm.ctlr_marker = 0;
    const zwnet_ctlr_cmplt_fn cb = sm.ctlr_cmplt;
    sm.ctlr_cmplt = nullptr;
    if (cb != nullptr)
        cb(net, result == 0 ? 0 : -1);
}

int zwnet_gw_cc_save(const appl_node_info_t *info, std::vector<zwnet_gw_cc_t> &out)
{
    const uint8_t unsec_cnt = info->cmd_cls ? info->cmd_cnt : 0;
    const uint8_t sec_cnt = info->cmd_cls_ctl ? info->cmd_cnt_ctl : 0;
    if (unsec_cnt == 0 && sec_cnt == 0)
        return ZW_ERR_VALUE;
    try {
        out.clear();
        for (uint8_t i = 0; i < unsec_cnt; ++i)
            out.push_back({info->cmd_cls[i], 0, 1});
        for (uint8_t i = 0; i < sec_cnt; ++i) {
            const uint16_t cls = info->cmd_cls_ctl[i];
            if (std::none_of(out.begin(), out.end(), [cls](const zwnet_gw_cc_t &r) { return r.cls == cls; }))
                out.push_back({cls, 0, 2});
        }
    } catch (const std::bad_alloc &) {
        return ZW_ERR_MEMORY;
    }
    if (out.size() > UINT8_MAX)
        out.resize(UINT8_MAX);
    return 0;
}

uint8_t zwnet_ctlr_role_bits_get(const uint16_t *unsec, uint8_t unsec_cnt, const uint16_t *sec, uint8_t sec_cnt)
{
    static constexpr struct {
        uint16_t cls;
        uint8_t bit;
    } roles[] = {{cls_nm_incl, 0x02}, {cls_nm_primary, 0x04}, {cls_nm_proxy, 0x01}};
    uint8_t bits = 0;
    for (const auto &r : roles)
        if (zwnet_cc_find(unsec, r.cls, unsec_cnt) || zwnet_cc_find(sec, r.cls, sec_cnt))
            bits |= r.bit;
    return bits;
}

int zwnet_gw_if_create(zwnode_p ctl, const appl_node_info_t *info)
{
    const uint8_t unsec_cnt = info->cmd_cls ? info->cmd_cnt : 0;
    const uint16_t *sec = info->cmd_cls_ctl;
    const uint8_t sec_cnt = sec ? info->cmd_cnt_ctl : 0;
    std::vector<uint16_t> list;
    try {
        list = zwnet_cc_prepend(COMMAND_CLASS_BASIC, info->cmd_cls, unsec_cnt);
    } catch (const std::bad_alloc &) {
        return ZW_ERR_MEMORY;
    }
    list.resize(zwnet_cc_dedup(list.data(), static_cast<uint8_t>(list.size())));
    for (uint16_t cls : list) {
        if (zwif_find_cls(ctl->ep.intf, cls) != nullptr)
            continue;
        zwif_p intf = zwif_create(cls, 1, IF_PROPTY_UNSECURE);
        if (intf == nullptr)
            return ZW_ERR_MEMORY;
        zwif_attach(&ctl->ep, intf);
    }
    ctl->propty &= 0xF0;
    zwnet_node_sec_cc_set(ctl, list.data(), static_cast<uint8_t>(list.size()), sec_cnt);
    const int rc = zwnode_if_create(&ctl->ep, sec, sec_cnt);
    if (rc != 0)
        return rc;
    // The application sees only the gateway's own classes of the
    // controller; the rest are ours to use.
    for (zwif_p i = ctl->ep.intf; i != nullptr; i = i->next)
        if (i->cls != cls_fw_updt && i->cls != cls_zip_gw && i->cls != cls_zip_portal)
            i->propty |= propty_app_hidden;
    return 0;
}

// ---------------------------------------------------------------------------
// Node to address
// ---------------------------------------------------------------------------

int zwnet_n2ip_sm(zwnet_p net, int evt, const void *data)
{
    if (net == nullptr)
        return -1;
    zwnet_n2ip_req_t &r = net->sm.n2ip;
    if (r.state == n2ip_idle) {
        if (evt != ZWNET_N2IP_EVT_START || data == nullptr)
            return -1;
        const auto *req = static_cast<const zwnet_n2ip_req_t *>(data);
        zwnet_n2ip_req_t run{};
        run.retry_obsolete = req->retry_obsolete;
        run.cmplt = req->cmplt;
        run.data = req->data;
        const uint8_t cnt = std::min<uint8_t>(req->cnt, ZWNET_NODE_ID_MAX);
        for (uint8_t i = 0; i < cnt; ++i)
            if (node_id_ok(req->node_id[i]))
                run.node_id[run.cnt++] = req->node_id[i];
        if (run.cnt == 0)
            return -1;
        r = run;
        if (!n2ip_ask(net)) {
            r = zwnet_n2ip_req_t{};
            return -1;
        }
        return 0;
    }
    for (const n2ip_row_t &row : n2ip_rows) {
        if (row.state == r.state && row.evt == evt) {
            row.fn(net, data);
            break;
        }
    }
    return -1;
}
