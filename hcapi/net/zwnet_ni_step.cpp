// The node interview's query steps: each sends one Get (to the node, or a
// network-management request to the gateway), sets the interview's state
// and arms the step timer; the replies come back here, are parsed into one
// record and fed to the machine as its events.
#include "hcapi/net/zwnet_ni.h"

#include "hcapi/core/zwif_rpt.h"
#include "hcapi/core/zwnet_cb.h"
#include "hcapi/core/zwnode_q.h"
#include "hcapi/core/zwsend.h"
#include "hcapi/net/zwnet_ndb.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

// --- reports -----------------------------------------------------------------

uint16_t be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t be24(const uint8_t *p) { return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]; }

// Each parser runs on a frame of at least its row's length.
using rpt_parse_fn = bool (*)(const uint8_t *cmd, uint16_t len, uint8_t if_ver, zwnet_ni_rpt_t *rec);

bool parse_node_ver(const uint8_t *cmd, uint16_t len, uint8_t if_ver, zwnet_ni_rpt_t *rec)
{
    rec->lib_type = cmd[2];
    rec->proto_ver = be16(cmd + 3);
    rec->app_ver = be16(cmd + 5);
    // Version 2 adds the hardware version and the other firmware targets.
    if (len > 8 && if_ver >= 2) {
        const uint8_t targets = cmd[8];
        if (len - 9 >= 2 * targets) {
            rec->hw_ver = cmd[7];
            rec->cnt = std::min<uint8_t>(targets, ZWNET_NI_LIST_MAX);
            for (uint8_t i = 0; i < rec->cnt; ++i)
                rec->list[i] = be16(cmd + 9 + 2 * i);
        }
    }
    return true;
}

bool parse_cls_ver(const uint8_t *cmd, uint16_t, uint8_t, zwnet_ni_rpt_t *rec)
{
    rec->cls = cmd[2];
    rec->ver = cmd[3];
    return true;
}

bool parse_zwplus(const uint8_t *cmd, uint16_t len, uint8_t, zwnet_ni_rpt_t *rec)
{
    rec->zwplus.zwplus_ver = cmd[2];
    rec->zwplus.role_type = cmd[3];
    rec->zwplus.node_type = cmd[4];
    if (len >= 9) {
        rec->zwplus.instr_icon = be16(cmd + 5);
        rec->zwplus.usr_icon = be16(cmd + 7);
    }
    return true;
}

bool parse_manf(const uint8_t *cmd, uint16_t, uint8_t, zwnet_ni_rpt_t *rec)
{
    rec->vid = be16(cmd + 2);
    rec->type = be16(cmd + 4);
    rec->pid = be16(cmd + 6);
    return true;
}

bool parse_dev_id(const uint8_t *cmd, uint16_t len, uint8_t, zwnet_ni_rpt_t *rec)
{
    const uint8_t n = cmd[3] & 0x1F;
    if (len < n + 4)
        return false;
    rec->dev_id.type = cmd[2] & 0x07;
    rec->dev_id.format = cmd[3] >> 5;
    rec->dev_id.len = n;
    std::memcpy(rec->dev_id.dev_id, cmd + 4, n);
    return true;
}

bool parse_wkup_intv(const uint8_t *cmd, uint16_t, uint8_t, zwnet_ni_rpt_t *rec)
{
    rec->wkup.cur = be24(cmd + 2);  // the node it notifies follows
    return true;
}

bool parse_wkup_cap(const uint8_t *cmd, uint16_t, uint8_t, zwnet_ni_rpt_t *rec)
{
    rec->wkup.min = be24(cmd + 2);
    rec->wkup.max = be24(cmd + 5);
    rec->wkup.dflt = be24(cmd + 8);
    rec->wkup.step = be24(cmd + 11);
    return true;
}

bool parse_mul_inst(const uint8_t *cmd, uint16_t, uint8_t, zwnet_ni_rpt_t *rec)
{
    rec->cls = cmd[2];
    rec->cnt = cmd[3];
    return true;
}

bool parse_mul_ch_ep(const uint8_t *cmd, uint16_t len, uint8_t, zwnet_ni_rpt_t *rec)
{
    rec->flags = cmd[2];
    rec->ep_cnt = cmd[3] & 0x7F;
    rec->aggr_cnt = len >= 5 ? cmd[4] & 0x7F : 0;
    return true;
}

bool parse_ep_cap(const uint8_t *cmd, uint16_t len, uint8_t, zwnet_ni_rpt_t *rec)
{
    rec->ep = cmd[2] & 0x7F;
    rec->flags = cmd[2] & 0x80;  // dynamic
    rec->gen = cmd[3];
    rec->spec = cmd[4];
    std::vector<uint16_t> plain, secure;
    const uint16_t n = static_cast<uint16_t>(len - 5);
    if (n > UINT8_MAX)
        return false;
    try {
        if (!util_cmd_cls_parse(cmd + 5, static_cast<uint8_t>(n), plain, secure))
            return false;
    } catch (const std::bad_alloc &) {
        return false;
    }
    rec->cnt = static_cast<uint8_t>(std::min<size_t>(plain.size(), ZWNET_NI_LIST_MAX));
    std::copy_n(plain.begin(), rec->cnt, rec->list);
    return true;
}

bool parse_aggr(const uint8_t *cmd, uint16_t len, uint8_t, zwnet_ni_rpt_t *rec)
{
    const uint8_t n = cmd[3];
    if (n == 0 || len < n + 4)
        return false;
    rec->ep = cmd[2] & 0x7F;
    rec->cnt = 0;
    // Endpoint ids are 7 bits: members beyond 127 cannot exist.
    for (unsigned i = 0; i < n * 8u && i < ZWEP_AGGR_MAX; ++i)
        if (cmd[4 + i / 8] & (1u << (i % 8)))
            rec->bytes[rec->cnt++] = static_cast<uint8_t>(i + 1);
    return true;
}

struct rpt_row_t {
    uint16_t cls;
    uint8_t cmd;
    uint8_t min_len;  // whole frame
    int evt;
    rpt_parse_fn parse;
};

// Sorted by class and command.
constexpr rpt_row_t rpt_rows[] = {
    {0x5E, 0x02, 5, ZWNET_NI_EVT_ZWPLUS, parse_zwplus},          // Z-Wave Plus Info Report
    {0x60, 0x05, 4, ZWNET_NI_EVT_MUL_INST, parse_mul_inst},      // Multi Instance Report
    {0x60, 0x08, 4, ZWNET_NI_EVT_MUL_CH_EP, parse_mul_ch_ep},    // End Point Report
    {0x60, 0x0A, 6, ZWNET_NI_EVT_EP_CAP, parse_ep_cap},          // Capability Report
    {0x60, 0x0F, 4, ZWNET_NI_EVT_AGGR, parse_aggr},              // Aggregated Members Report
    {0x72, 0x05, 8, ZWNET_NI_EVT_MANF, parse_manf},              // Manufacturer Specific Report
    {0x72, 0x07, 4, ZWNET_NI_EVT_DEV_ID, parse_dev_id},          // Device Specific Report
    {0x84, 0x06, 6, ZWNET_NI_EVT_WKUP, parse_wkup_intv},         // Wake Up Interval Report
    {0x84, 0x0A, 14, ZWNET_NI_EVT_WKUP, parse_wkup_cap},         // Interval Capabilities Report
    {0x86, 0x12, 7, ZWNET_NI_EVT_NODE_VER, parse_node_ver},      // Version Report
    {0x86, 0x14, 4, ZWNET_NI_EVT_CLS_VER, parse_cls_ver},        // Command Class Version Report
};

constexpr bool rows_sorted()
{
    for (size_t i = 1; i < std::size(rpt_rows); ++i)
        if ((rpt_rows[i - 1].cls << 8 | rpt_rows[i - 1].cmd) >= (rpt_rows[i].cls << 8 | rpt_rows[i].cmd))
            return false;
    for (const rpt_row_t &r : rpt_rows)
        if (r.min_len < 2 || r.parse == nullptr)
            return false;
    return true;
}
static_assert(rows_sorted(), "interview report rows are sorted by class and command, each once, each parsed");

// --- sending -------------------------------------------------------------------

// Sends a Get through an interface and, when it went, moves the interview to
// `state` (and `step`, when not 0) and arms the step timer.
int step_get(zwnet_p net, zwif_p intf, uint8_t get_cmd, const uint8_t *param, uint8_t param_len, const char *name,
             uint32_t state, uint32_t step)
{
    zwif_desc_t d;
    zwif_desc_fill(&d, intf);
    const int rc = zwif_get_report(&d, param, param_len, get_cmd, nullptr, 0);
    if (rc < 0) {
        plt_msg_ts_show(&net->plt, "%s: zwif_get_report with error:%d", name, rc);
        return rc;
    }
    if (state != 0)
        net->ni_state = state;
    if (step != 0)
        net->ni_step = step;
    zwnet_ni_tmr_start(net, ZWNET_NI_STEP_MS, ZWNET_NI_EVT_TMOUT);
    return 0;
}

void step_armed(zwnet_p net, uint32_t state, uint32_t step)
{
    if (state != 0)
        net->ni_state = state;
    if (step != 0)
        net->ni_step = step;
    zwnet_ni_tmr_start(net, ZWNET_NI_STEP_MS, ZWNET_NI_EVT_TMOUT);
}

zwnet_p net_of(appl_layer_ctx *ctx) { return ctx ? static_cast<zwnet_p>(ctx->user) : nullptr; }

bool node_id_ok(uint8_t id) { return id >= 1 && id <= APPL_NODE_MAX; }

bool ctl_cls_has(zwnet_p net, uint16_t cls)
{
    for (const zwnet_cls_ent_t &e : net->ctl_cls)
        if (e.cls == cls)
            return true;
    return false;
}

// Replaces an interface by one of a higher version in the same place; the
// application's user pointer and the report callbacks of reports both
// versions have stay with it. The old one's caches go: their layout follows
// the version.
zwif_p if_upgrade(zwif_p old, uint8_t eff_ver, uint8_t rpt_ver)
{
    zwif_p nu = zwif_create(old->cls, eff_ver, old->propty);
    if (nu == nullptr)
        return nullptr;
    if (rpt_ver != 0)
        nu->real_ver = rpt_ver;
    nu->ep = old->ep;
    nu->user = old->user;
    for (uint8_t i = 0; i < nu->rpt_num; ++i)
        for (uint8_t j = 0; j < old->rpt_num; ++j)
            if (old->rpt[j].rpt_cmd == nu->rpt[i].rpt_cmd) {
                nu->rpt[i].usr_rpt_cb = old->rpt[j].usr_rpt_cb;
                nu->rpt[i].sm_rpt_cb = old->rpt[j].sm_rpt_cb;
            }
    zwif_p *link = &old->ep->intf;
    while (*link != nullptr && *link != old)
        link = &(*link)->next;
    if (*link == nullptr) {
        zwif_dat_free(nu);
        return nullptr;
    }
    nu->next = old->next;
    *link = nu;
    zwif_dat_free(old);
    return nu;
}

}  // namespace

int zwnet_ni_rpt_parse(const uint8_t *cmd, uint16_t len, uint8_t if_ver, zwnet_ni_rpt_t *rec)
{
    uint16_t cls;
    uint8_t c;
    if (cmd == nullptr || rec == nullptr || !zwif_cls_cmd_get(cmd, len, &cls, &c))
        return ZW_ERR_TOO_SMALL;
    for (const rpt_row_t &r : rpt_rows) {
        if (r.cls != cls || r.cmd != c)
            continue;
        if (len < r.min_len)
            return ZW_ERR_TOO_SMALL;
        *rec = zwnet_ni_rpt_t{};
        return r.parse(cmd, len, if_ver, rec) ? r.evt : ZW_ERR_TOO_SMALL;
    }
    return ZW_ERR_RPT_NOT_FOUND;
}

// ---------------------------------------------------------------------------
// Query steps
// ---------------------------------------------------------------------------

int zwnet_sm_ver_get(zwnet_p net, zwif_p intf, uint16_t cls)
{
    if (cls > 0xFF)
        return ZW_ERR_VALUE;
    const uint8_t param = static_cast<uint8_t>(cls);
    const int rc = step_get(net, intf, 0x13, &param, 1, "zwnet_sm_ver_get", ZWNET_NI_VERSION, ZWNET_NI_STEP_CLS_VER);
    if (rc == 0)
        net->ni_cls = cls;
    return rc;
}

int zwnet_sm_node_ver_get(zwnet_p net, zwif_p intf)
{
    zwif_desc_t d;
    zwif_desc_fill(&d, intf);
    const int rc = zwif_get_report(&d, nullptr, 0, 0x11, nullptr, 0);
    if (rc < 0) {
        plt_msg_ts_show(&net->plt, "zwnet_node_info_sm: zwif_get_report detailed version with error:%d", rc);
        return rc;
    }
    step_armed(net, ZWNET_NI_VERSION, ZWNET_NI_STEP_NODE_VER);
    return 0;
}

int zwnet_sm_zwave_plus_get(zwnet_p net, zwif_p intf)
{
    return step_get(net, intf, 0x01, nullptr, 0, "zwnet_sm_zwave_plus_get", ZWNET_NI_ZWPLUS, 0);
}

int zwnet_sm_manf_get(zwnet_p net, zwif_p intf)
{
    return step_get(net, intf, 0x04, nullptr, 0, "zwnet_sm_manf_get", ZWNET_NI_MANF, ZWNET_NI_STEP_MANF);
}

int zwnet_sm_dev_id_get(zwnet_p net, zwif_p intf, uint8_t type)
{
    return step_get(net, intf, 0x06, &type, 1, "zwnet_sm_dev_id_get", 0, ZWNET_NI_STEP_DEV_ID);
}

int zwnet_sm_wkup_get(zwnet_p net, zwif_p intf)
{
    // Whether or not the Get went, the interview waits: the step timer moves
    // it on when nothing comes.
    zwif_desc_t d;
    zwif_desc_fill(&d, intf);
    zwif_get_report(&d, nullptr, 0, 0x05, nullptr, 0);
    step_armed(net, ZWNET_NI_WKUP, 0);
    return 0;
}

int zwnet_sm_inst_get(zwnet_p net, zwif_p intf, uint16_t cls)
{
    if (cls > 0xFF) {
        plt_msg_ts_show(&net->plt, "zwnet_sm_inst_get: extended command class UNSUPPORTED");
        return ZW_ERR_FAILED;
    }
    const uint8_t param = static_cast<uint8_t>(cls);
    const int rc = step_get(net, intf, 0x04, &param, 1, "zwnet_sm_inst_get", ZWNET_NI_MUL_INST, 0);
    if (rc == 0)
        net->ni_cls = cls;
    return rc;
}

int zwnet_sm_ch_get(zwnet_p net, zwif_p intf)
{
    return step_get(net, intf, 0x07, nullptr, 0, "zwnet_sm_ch_get", ZWNET_NI_MUL_CH, ZWNET_NI_STEP_MUL_CH_EP);
}

namespace {

// Gateway answers on multi-channel information: the node's 0x60 interface,
// or none (the answer is then dropped and the step timer ends the wait).
zwif_p gw_mul_ch_if(zwnet_p net, uint8_t node_id)
{
    zwnode_p node = node_id_ok(node_id) ? zwnode_find(&net->ctl, node_id) : nullptr;
    return node ? zwif_find_cls(node->ep.intf, COMMAND_CLASS_MULTI_CHANNEL) : nullptr;
}

void gw_ep_cb(appl_layer_ctx *ctx, uint8_t node_id, uint8_t ep_cnt, uint8_t aggr_cnt)
{
    zwnet_p net = net_of(ctx);
    if (net == nullptr)
        return;
    zwnet_lock lk(net);
    if (gw_mul_ch_if(net, node_id) == nullptr)
        return;
    zwnet_ni_rpt_t rec;
    rec.node_id = node_id;
    rec.ep_cnt = ep_cnt & 0x7F;
    rec.aggr_cnt = aggr_cnt & 0x7F;
    zwnet_node_info_sm(net, ZWNET_NI_EVT_MUL_CH_EP, &rec);
}

void gw_cap_cb(appl_layer_ctx *ctx, const appl_ep_cap_t *cap)
{
    zwnet_p net = net_of(ctx);
    if (net == nullptr || cap == nullptr)
        return;
    zwnet_lock lk(net);
    if (gw_mul_ch_if(net, cap->node_id) == nullptr)
        return;
    zwnet_ni_rpt_t rec;
    rec.node_id = cap->node_id;
    rec.ep = cap->ep & 0x7F;
    rec.gen = cap->gen;
    rec.spec = cap->spec;
    rec.cnt = cap->cmd_cls ? std::min<uint8_t>(cap->cmd_cnt, ZWNET_NI_LIST_MAX) : 0;
    std::copy_n(cap->cmd_cls, rec.cnt, rec.list);
    zwnet_node_info_sm(net, ZWNET_NI_EVT_EP_CAP, &rec);
}

void gw_aggr_cb(appl_layer_ctx *ctx, uint8_t node_id, uint8_t aggr_ep, uint8_t cnt, const uint8_t *members)
{
    zwnet_p net = net_of(ctx);
    if (net == nullptr)
        return;
    zwnet_lock lk(net);
    if (gw_mul_ch_if(net, node_id) == nullptr)
        return;
    zwnet_ni_rpt_t rec;
    rec.node_id = node_id;
    rec.ep = aggr_ep & 0x7F;
    rec.cnt = members ? std::min<uint8_t>(cnt, ZWEP_AGGR_MAX) : 0;
    std::copy_n(members, rec.cnt, rec.bytes);
    zwnet_node_info_sm(net, ZWNET_NI_EVT_AGGR, &rec);
}

void rr_sts_cb(appl_layer_ctx *ctx, uint8_t status, uint8_t node_id)
{
    zwnet_p net = net_of(ctx);
    if (net == nullptr)
        return;
    zwnet_lock lk(net);
    if (!node_id_ok(node_id) || zwnode_find(&net->ctl, node_id) == nullptr) {
        plt_msg_ts_show(&net->plt, "zwnet_rr_sts_cb:invalid node id:%u", node_id);
        return;
    }
    zwnet_ni_rpt_t rec;
    rec.node_id = node_id;
    rec.sts = status;
    zwnet_node_info_sm(net, ZWNET_NI_EVT_RR_DONE, &rec);
}

}  // namespace

int zwnet_sm_mul_ch_ep_get(zwnet_p net, zwif_p intf)
{
    const int rc = zip_mul_ch_ep_get(net->appl.get(), gw_ep_cb, intf->ep->node->nodeid);
    if (rc < 0)
        return rc;
    step_armed(net, ZWNET_NI_MUL_CH, ZWNET_NI_STEP_MUL_CH_EP);
    return 0;
}

int zwnet_sm_ep_cap_get(zwnet_p net, zwif_p intf, uint8_t ep)
{
    if (net->feature & 0x02) {
        const int rc = zip_mul_ch_cap_get(net->appl.get(), gw_cap_cb, intf->ep->node->nodeid, ep);
        if (rc < 0)
            return rc;
        step_armed(net, 0, ZWNET_NI_STEP_EP_CAP);
        return 0;
    }
    return step_get(net, intf, 0x09, &ep, 1, "zwnet_sm_ep_cap_get", 0, ZWNET_NI_STEP_EP_CAP);
}

int zwnet_sm_aggr_ep_get(zwnet_p net, zwif_p intf, uint8_t ep)
{
    if (net->feature & 0x02) {
        const int rc = zip_mul_ch_aggr_get(net->appl.get(), gw_aggr_cb, intf->ep->node->nodeid, ep);
        if (rc < 0)
            return rc;
        step_armed(net, 0, ZWNET_NI_STEP_AGGR);
        return 0;
    }
    return step_get(net, intf, 0x0E, &ep, 1, "zwnet_sm_aggr_ep_get", 0, ZWNET_NI_STEP_AGGR);
}

int zwnet_sm_rr_assign(zwnet_p net, zwnode_p node)
{
    const int rc = zw_assign_return_route(net->appl.get(), node->nodeid, net->ctl.nodeid, rr_sts_cb);
    if (rc != 0)
        return rc;
    step_armed(net, ZWNET_NI_RET_ROUTE, 0);
    return 0;
}

// ---------------------------------------------------------------------------
// The version query
// ---------------------------------------------------------------------------

int zwnet_ver_rpt_get(zwnet_p net, zwif_p *slot, zwif_rpt_fn cb, uint16_t cls, uint8_t ver, uint32_t flags,
                      uint32_t skip_ctl)
{
    if (net == nullptr || slot == nullptr || *slot == nullptr)
        return ZW_ERR_VALUE;
    zwep_p ep = (*slot)->ep;
    zwif_p intf = zwif_find_cls(ep->intf, cls);
    if (intf == nullptr)
        return ZW_ERR_INTF_NOT_FOUND;

    // A device record may know better than the device.
    uint8_t eff = ver;
    zwnode_p node = ep->node;
    if (node->dev_cfg_valid && node->dev_cfg_rec != nullptr) {
        const uint8_t rec_ver = zwdevcfg_ep_cls_ver_get(static_cast<dev_rec_t *>(node->dev_cfg_rec)->ep, ep->epid, cls);
        eff = std::max(eff, rec_ver);
    }
    if (eff > intf->ver) {
        const bool is_slot = intf == *slot;
        if (zwif_p nu = if_upgrade(intf, eff, ver)) {
            intf = nu;
            if (is_slot)
                *slot = nu;
        }
    }

    zwif_p next = intf->next;
    while (next != nullptr &&
           (next->cls == COMMAND_CLASS_BASIC || next->cls > 0xFF || (skip_ctl && ctl_cls_has(net, next->cls))))
        next = next->next;
    if (next == nullptr)
        return 1;

    zwif_desc_t d;
    zwif_desc_fill(&d, *slot);
    if (cb != nullptr)
        zwif_set_report(&d, cb, 0x14);
    const uint8_t param = static_cast<uint8_t>(next->cls);
    const int rc = zwif_get_report(&d, &param, 1, 0x13, nullptr, static_cast<int>(flags));
    if (rc < 0) {
        plt_msg_ts_show(&net->plt, "zwif_get_report version with error:%d", rc);
        return rc;
    }
    net->ni_cls = next->cls;
    return 0;
}

// ---------------------------------------------------------------------------
// Replies
// ---------------------------------------------------------------------------

void zwnet_ni_chd_get_cb(appl_layer_ctx *ctx, const appl_node_info_t *info)
{
    zwnet_p net = net_of(ctx);
    if (net == nullptr || info == nullptr)
        return;
    zwnet_lock lk(net);
    plt_tmr_ctx *plt = &net->plt;
    plt_msg_ts_show(plt, "zwnet_ni_chd_get_cb for node id:%u", info->node_id);
    plt_msg_show(plt, "listening=%u, optional functions=%u, sensor=%u", info->listen, info->optional, info->sensor);
    plt_msg_show(plt, "status=%u, age=%u minutes old", info->status, 1u << (info->age & 0x1F));
    plt_msg_show(plt, "Device type: basic=%02Xh, generic=%02Xh, specific=%02X", info->basic, info->gen, info->spec);
    if (net->feature & 0x01)
        plt_msg_show(plt, "S2 granted keys:%02Xh", info->rsvd);
    auto show = [&](const char *title, const uint16_t *list, uint8_t cnt) {
        char line[200] = "";
        for (uint8_t i = 0; i < cnt && list != nullptr; ++i)
            util_hex_string_add(line, sizeof line, static_cast<uint8_t>(list[i]));
        plt_msg_show(plt, "%s %s", title, line);
    };
    show("unsecure command classes:", info->cmd_cls, info->cmd_cnt);
    show("secure command classes:", info->cmd_cls_ctl, info->cmd_cnt_ctl);
    // Only the node the walk asked about, while it waits for it.
    if (net->ni_state != ZWNET_NI_NODE_INFO || info->node_id != net->ni_node || !node_id_ok(info->node_id))
        return;
    const int rc = zwnode_info_apply(net, info, nullptr);
    if (rc < 0)
        plt_msg_ts_show(plt, "zwnode_info_apply with error:%d", rc);
    zwnet_node_info_sm(net, ZWNET_NI_EVT_NODE_INFO, const_cast<appl_node_info_t *>(info));
}

int zwnet_ni_rpt_rcv(zwnet_p net, uint8_t node_id, uint8_t ep_id, const uint8_t *cmd, uint16_t len)
{
    if (net == nullptr || net->ni_state == ZWNET_NI_IDLE || node_id != net->ni_node || !node_id_ok(node_id))
        return 0;
    zwep_p ep = zwep_find_by_id(net, node_id, ep_id);
    uint16_t cls;
    uint8_t c;
    if (ep == nullptr || !zwif_cls_cmd_get(cmd, len, &cls, &c))
        return 0;
    zwif_p intf = zwif_find_cls(ep->intf, cls);
    if (intf == nullptr)
        return 0;
    auto rec = std::unique_ptr<zwnet_ni_rpt_t>(new (std::nothrow) zwnet_ni_rpt_t);
    if (!rec)
        return 0;
    const int evt = zwnet_ni_rpt_parse(cmd, len, intf->ver, rec.get());
    if (evt < 0)
        return 0;
    rec->node_id = node_id;
    rec->ep_id = ep_id;
    net->ni_answered = 1;
    if (cls == COMMAND_CLASS_WAKE_UP) {
        zwnet_wkup_rec_t &w = net->ni_wkup;
        if (c == 0x06) {
            w = zwnet_wkup_rec_t{};
            w.cur = rec->wkup.cur;
            ep->node->wkup_intv = w.cur;
            if (intf->ver >= 2) {
                // The capabilities complete the record: ask for them once
                // per interface, and deliver the whole when they come.
                if (intf->data_cnt == 0 || intf->data == nullptr || intf->data_item_sz != 16) {
                    zwif_desc_t d;
                    zwif_desc_fill(&d, intf);
                    zwif_get_report_simple(&d, nullptr, 0, 0x09, zwif_tx_sts_log_cb);
                    return 1;
                }
                uint32_t cap[4];
                std::memcpy(cap, intf->data, sizeof cap);
                w.min = cap[0];
                w.max = cap[1];
                w.dflt = cap[2];
                w.step = cap[3];
            }
        } else {
            w.min = rec->wkup.min;
            w.max = rec->wkup.max;
            w.dflt = rec->wkup.dflt;
            w.step = rec->wkup.step;
            const uint32_t cap[4] = {w.min, w.max, w.dflt, w.step};
            zwif_data_set(intf, 1, sizeof cap, cap);
        }
        rec->wkup = w;
    }
    zwnet_node_info_sm(net, evt, rec.get());
    return 1;
}
