#include "hcapi/net/zwnet_rx.h"

#include "hcapi/core/zwif_rpt.h"
#include "hcapi/core/zwnode_q.h"
#include "hcapi/core/zwnet_cb.h"
#include "hcapi/net/zwnet_int.h"
#include "hcapi/net/zwnet_mcmd.h"
#include "hcapi/net/zwnet_ni.h"

#include <arpa/inet.h>

#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr uint8_t node_id_max = 232;
// Inside the Z/IP client: a sender whose address is in no node's entry.
constexpr uint8_t node_id_unknown = 233;
// Encapsulation-format bits that say the command came through a security layer.
constexpr uint8_t encap_secure_bits = 0x87;

bool node_id_valid(unsigned id) { return id >= 1 && id <= node_id_max; }

// One received command, as the per-command handler sees it.
struct rx_cmd_t {
    zwnet_p net{nullptr};
    zip_rx_hdr_t hdr{};
    uint8_t node_id{0};
    bool from_gw{false};
    uint8_t secure{0};
    uint8_t mul_cnt{0};  // 0: not inside a Multi Command Encapsulation
    uint8_t mul_idx{0};  // 1-based
    bool has_fmt{false};
    uint16_t encap_fmt{0};
};

// What one command leaves to do once the network mutex is released.
struct rx_out_t {
    std::vector<std::vector<uint8_t>> answers;
    std::vector<const char *> fail_texts;  // one per answer: logged when its send fails
    // Inside a Multi Command Encapsulation: what the gateway must be asked
    // or told first (kinds 0 and 1 of the reply machine).
    std::vector<zwnet_mcmd_ent_t> gw;
    bool unhandled{false};
    uint8_t ep_id{0};

    void answer(std::vector<uint8_t> bytes, const char *fail_text)
    {
        answers.push_back(std::move(bytes));
        fail_texts.push_back(fail_text);
    }
};

bool secure_only(uint8_t propty) { return (propty & IF_PROPTY_SECURE) && !(propty & IF_PROPTY_UNSECURE); }

const zwnet_cls_ent_t *cc_ent_find(zwnet_p net, uint16_t cls)
{
    for (const zwnet_cls_ent_t &e : net->ctl_cls)
        if (e.cls == cls)
            return &e;
    return nullptr;
}

// The controller's one association group (network mutex held).
void assoc_hdlr(zwnet_p net, const uint8_t *cmd, uint16_t len, rx_out_t &out)
{
    if (net->grps.empty())
        return;
    zwnet_grp_t &grp = net->grps.front();
    plt_tmr_ctx *plt = &net->plt;
    const uint8_t cls = cmd[0], c = cmd[1];
    if (cls == 0x85) {
        switch (c) {
        case 0x01:  // Set: group, node ids
            if (len < 4)
                return;
            if (cmd[2] != grp.id) {
                plt_msg_ts_show(plt, "Group ID %d not supported", cmd[2]);
                return;
            }
            if (grp.member == 0 && node_id_valid(cmd[3]))
                grp.member = cmd[3];
            return;
        case 0x02:  // Get: group
            if (len < 3)
                return;
            if (cmd[2] != grp.id) {
                plt_msg_ts_show(plt, "Group ID %d not supported", cmd[2]);
                return;
            }
            if (grp.member != 0)
                out.answer({0x85, 0x03, grp.id, grp.max_nodes, 0x00, grp.member},
                           "Association ASSOCIATION_REPORT: Send rpt with error:%d");
            else
                out.answer({0x85, 0x03, grp.id, grp.max_nodes, 0x00},
                           "Association ASSOCIATION_REPORT: Send rpt with error:%d");
            return;
        case 0x04:  // Remove: group (0: all), node ids
            if (len < 3)
                return;
            if (len == 3) {
                if (cmd[2] != grp.id && cmd[2] != 0) {
                    plt_msg_ts_show(plt, "Group ID %d not supported", cmd[2]);
                    return;
                }
                grp.member = 0;
                return;
            }
            if (cmd[2] != grp.id && cmd[2] != 0) {
                plt_msg_ts_show(plt, "Group ID not supported:%d", cmd[2]);
                return;
            }
            if (cmd[3] != grp.member) {
                plt_msg_ts_show(plt, "Node ID not listed:%d", cmd[3]);
                return;
            }
            grp.member = 0;
            return;
        case 0x05:  // Groupings Get
            out.answer({0x85, 0x06, static_cast<uint8_t>(net->grps.size())},
                       "Association ASSOCIATION_GROUPINGS_REPORT: Send rpt with error:%d");
            return;
        case 0x0B:  // Specific Group Get
            out.answer({0x85, 0x0C, grp.id}, "Association ASSOCIATION_SPECIFIC_GROUP_REPORT: Send rpt with error:%d");
            return;
        default: return;
        }
    }
    switch (c) {  // Association Group Info
    case 0x01: {  // Name Get: group
        if (len < 3)
            return;
        if (cmd[2] != grp.id) {
            plt_msg_ts_show(plt, "Group ID not supported:%d", cmd[2]);
            return;
        }
        const size_t name_len = strnlen(grp.name, sizeof grp.name);
        std::vector<uint8_t> a{0x59, 0x02, grp.id, static_cast<uint8_t>(name_len)};
        a.insert(a.end(), grp.name, grp.name + name_len);
        out.answer(std::move(a), "AGI ASSOCIATION_GROUP_NAME_REPORT: Send rpt with error:%d");
        return;
    }
    case 0x03: {  // Info Get: flags, group
        if (len < 4)
            return;
        const bool list_mode = cmd[2] & 0x40;
        if (!list_mode && cmd[3] != grp.id) {
            plt_msg_ts_show(plt, "Group ID not supported:%d", cmd[3]);
            return;
        }
        const auto cnt = static_cast<uint8_t>((list_mode ? 0x80 : 0x00) | 1);
        out.answer({0x59, 0x04, cnt, grp.id, 0x00, static_cast<uint8_t>(grp.profile >> 8),
                    static_cast<uint8_t>(grp.profile), 0x00, static_cast<uint8_t>(grp.evt_code >> 8),
                    static_cast<uint8_t>(grp.evt_code)},
                   "AGI ASSOCIATION_GROUP_INFO_REPORT: Send rpt with error:%d");
        return;
    }
    case 0x05: {  // Command List Get: flags, group
        if (len < 4)
            return;
        if (cmd[3] != grp.id) {
            plt_msg_ts_show(plt, "Group ID not supported:%d", cmd[3]);
            return;
        }
        out.answer({0x59, 0x06, grp.id, 0x02, grp.cmd_cls, grp.cmd},
                   "AGI ASSOCIATION_GROUP_COMMAND_LIST_REPORT: Send rpt with error:%d");
        return;
    }
    default: return;
    }
}

// The controller's own route (network mutex held): 1 handled, 0 not.
int ctlr_hdlr(const rx_cmd_t &rx, const uint8_t *cmd, uint16_t len, uint16_t cls, rx_out_t &out)
{
    zwnet_p net = rx.net;
    zwif_p ctl_if = zwif_find_cls(net->ctl.ep.intf, cls);
    const zwnet_cls_ent_t *ent = cc_ent_find(net, cls);
    if (ctl_if == nullptr && ent == nullptr)
        return 0;
    const bool sec_only = ctl_if ? secure_only(ctl_if->propty) : (ent->flags & 0x03) == 0x02;
    if (sec_only && !rx.secure && !rx.from_gw)
        return 1;  // dropped, and not the application's either
    const uint8_t c = cmd[1];
    if (cls == 0x85 || cls == 0x59) {
        assoc_hdlr(net, cmd, len, out);
        return 1;
    }
    if (cls == 0x5A && c == 0x01) {
        // The request thread probes the node and handles it as failed when
        // it does not answer: {node id, kind 0}.
        const uint8_t req[2] = {rx.node_id, 0};
        if (util_lst_add(net->req_mtx, &net->req_lst, req, sizeof req) == 0)
            plt_sem_post(net->req_sem);
        return 1;
    }
    if (cls == 0x86 && c == 0x13 && len >= 3) {
        const zwnet_cls_ent_t *asked = cc_ent_find(net, cmd[2]);
        uint8_t ver = 0;
        if (asked != nullptr) {
            ver = asked->ver;
        } else if (rx.mul_cnt != 0) {
            zwif_p i = zwif_find_cls(net->ctl.ep.intf, cmd[2]);
            ver = i ? i->ver : 0;
        } else {
            return 1;
        }
        out.answer({0x86, 0x14, cmd[2], ver}, "VERSION_COMMAND_CLASS_REPORT: Send rpt with error:%d");
        return 1;
    }
    if (rx.mul_cnt == 0)
        return 0;
    // Inside a Multi Command Encapsulation the gateway answers for the
    // controller; its report goes into the bundle.
    const std::vector<uint8_t> bytes(cmd, cmd + len);
    uint16_t rpt_cls = 0;
    uint8_t rpt = 0;
    if (cls == 0x86 && c == 0x11) {
        out.gw.push_back({ZWNET_MCMD_GW_GET, 0x12, 0x86, bytes});
        return 1;
    }
    if (ctl_if != nullptr && zwnet_ctlr_rpt_cmd_find(cmd, len, &rpt_cls, &rpt)) {
        out.gw.push_back({ZWNET_MCMD_GW_GET, rpt, rpt_cls, bytes});
        return 1;
    }
    if (ctl_if != nullptr && zwnet_ctlr_set_cmd_find(cmd, len, &rpt_cls)) {
        out.gw.push_back({ZWNET_MCMD_GW_SET, 0, 0, bytes});
        return 1;
    }
    return 0;
}

// One command (outside or inside a Multi Command Encapsulation).
void cmd_hdlr(const rx_cmd_t &rx, const uint8_t *cmd, uint16_t len, zwnet_mcmd_req_t &mul)
{
    zwnet_p net = rx.net;
    appl_layer_ctx *ctx = net->appl.get();
    uint16_t cls = 0;
    uint8_t c = 0;
    const bool parsed = zwif_cls_cmd_get(cmd, len, &cls, &c);
    rx_out_t out;
    {
        zwnet_lock lk(net);
        zwnode_p node = node_id_valid(rx.node_id) ? zwnode_find(&net->ctl, rx.node_id) : nullptr;
        out.ep_id = node ? rx.hdr.src_ep : 0;
        int handled = 0;
        if (node != nullptr && parsed) {
            zwep_p ep = zwep_find(&node->ep, rx.hdr.src_ep);
            zwif_p intf = ep ? zwif_find_cls(ep->intf, cls) : nullptr;
            if (intf != nullptr) {
                if (secure_only(intf->propty) && !rx.secure && !rx.from_gw)
                    return;
                // The wake-up poll makes its own notifications.
                if (ctx->sel_opt && cls == COMMAND_CLASS_WAKE_UP && c == WAKE_UP_NOTIFICATION)
                    return;
                zwnode_wait_rpt_chk(intf, cmd, len);
                zwpoll_rpt_chk(intf, cmd, len);
                zwspoll_rpt_chk(intf, cmd, len);
                zwnspoll_rpt_chk(intf, cmd, len);
                if (zwspv_rpt_rcv(intf, cmd, len))
                    return;
                // Callbacks run inside with the mutex released: the node and
                // interface records are not used after this.
                handled = zwif_report_dispatch(intf, cmd, len);
                // The interview finds its records again: the dispatcher
                // released the mutex around its callbacks.
                handled |= zwnet_ni_rpt_rcv(net, rx.node_id, rx.hdr.src_ep, cmd, len);
                handled |= zwnet_ep_rpt_rcv(net, rx.node_id, rx.hdr.src_ep, cmd, len);
            }
        }
        if (!handled && parsed)
            handled = ctlr_hdlr(rx, cmd, len, cls, out);
        out.unhandled = !handled;
    }

    if (rx.mul_cnt != 0) {
        try {
            for (auto &a : out.answers)
                mul.ents.push_back({ZWNET_MCMD_READY, 0, 0, std::move(a)});
            for (auto &e : out.gw)
                mul.ents.push_back(std::move(e));
        } catch (const std::bad_alloc &) {
            // The answer is left out of the bundle.
        }
    } else {
        zip_rx_hdr_t to{};
        to.src_ep = rx.hdr.src_ep;
        for (size_t i = 0; i < out.answers.size(); ++i) {
            const auto &a = out.answers[i];
            const int rc = zwnet_rpt_snd(net, a.data(), static_cast<uint8_t>(a.size()), rx.node_id, &to, rx.secure,
                                         rx.has_fmt, rx.encap_fmt);
            if (rc < 0)
                plt_msg_ts_show(&net->plt, out.fail_texts[i], rc);
        }
    }
    if (out.unhandled && net->init.appl_cmd != nullptr) {
        zwnet_appl_cmd_fn cb = net->init.appl_cmd;
        void *user = net->init.user;
        zwnet_app_call(net, [&] { cb(user, rx.node_id, out.ep_id, cmd, len); });
    }
}

bool is_gateway(zwnet_p net, const tpt_sockaddr_t *src)
{
    if (src->sa.sa_family == AF_INET) {
        static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        return std::memcmp(net->gw_addr, mapped, sizeof mapped) == 0 &&
               std::memcmp(net->gw_addr + 12, &src->v4.sin_addr, 4) == 0;
    }
    return std::memcmp(net->gw_addr, src->v6.sin6_addr.s6_addr, 16) == 0;
}

}  // namespace

int zwnet_grp_list_chk(uint8_t count, const uint8_t *bytes, uint16_t len)
{
    size_t pos = 0;
    for (uint8_t i = 0; i < count; ++i) {
        if (pos >= len)
            return 0;
        pos += 1 + size_t(bytes[pos]);
        if (pos > len)
            return 0;
    }
    return pos == len;
}

int zwnet_rpt_snd(zwnet_p net, const uint8_t *cmd, uint8_t len, uint8_t node_id, const zip_rx_hdr_t *hdr,
                  uint8_t secure, int has_fmt, uint16_t encap_fmt)
{
    if (net == nullptr || cmd == nullptr || hdr == nullptr)
        return ZW_ERR_VALUE;
    appl_snd_param_t prm{};
    prm.node_id = node_id;
    if (has_fmt) {
        prm.flags |= ZIP_FRM_ENCAP;
        prm.encap_fmt = encap_fmt;
    }
    if (secure == 1 || net->encap_opt)
        prm.flags |= ZIP_FRM_SECURE;
    prm.src_ep = 0;
    prm.dst_ep = hdr->src_ep;
    prm.bit_addr = 0;
    prm.len = len;
    prm.data = cmd;  // the application layer copies it
    return appl_cmd_snd(net->appl.get(), &prm, nullptr, nullptr);
}

void zwnet_appl_cmd_hdlr(appl_layer_ctx *ctx, const tpt_sockaddr_t *src, const zip_rx_hdr_t *hdr,
                         const uint8_t *cmd, uint16_t len, uint16_t hdr_flags, uint16_t encap_fmt)
{
    zwnet_p net = ctx ? static_cast<zwnet_p>(ctx->user) : nullptr;
    if (net == nullptr || src == nullptr || hdr == nullptr || cmd == nullptr || !zwnet_running(net))
        return;
    const bool v4 = src->sa.sa_family == AF_INET;
    const auto *addr = v4 ? reinterpret_cast<const uint8_t *>(&src->v4.sin_addr) : src->v6.sin6_addr.s6_addr;
    const uint8_t addr_len = v4 ? 4 : 16;

    rx_cmd_t rx;
    rx.net = net;
    rx.hdr = *hdr;
    {
        zwnet_lock lk(net);
        rx.from_gw = is_gateway(net, src);
        rx.node_id = rx.from_gw ? net->ctl.nodeid : 0;
    }
    if (!rx.from_gw && !appl_ip_to_node(ctx, addr, addr_len, &rx.node_id)) {
        // Answers to an unknown sender go back to its address.
        rx.node_id = node_id_unknown;
        appl_node_ip_set(ctx, addr, addr_len, node_id_unknown);
    }
    if (node_id_valid(rx.node_id))
        appl_node_sts_set(ctx, rx.node_id, APPL_NODE_STS_ALIVE, 1);
    rx.has_fmt = hdr_flags & ZIP_FRM_ENCAP;
    rx.encap_fmt = rx.has_fmt ? encap_fmt : 0;
    if (net->encap_opt)
        rx.secure = rx.has_fmt && ((encap_fmt >> 8) & encap_secure_bits) != 0;
    else
        rx.secure = (hdr_flags & ZIP_FRM_SECURE) != 0;

    if (rx.from_gw) {
        // A report that a multi-command answer may be waiting for.
        zwnet_lock lk(net);
        if (net->mcmd)
            zwnet_mul_cmd_sm(net, ZWNET_MCMD_EVT_FRAME, cmd, len);
    }
    zwnet_mcmd_req_t mul;
    if (len >= 2 && cmd[0] == COMMAND_CLASS_MULTI_CMD && cmd[1] == MULTI_CMD_ENCAP) {
        if (len < 3 || cmd[2] == 0 || !zwnet_grp_list_chk(cmd[2], cmd + 3, len - 3))
            return;
        rx.mul_cnt = cmd[2];
        uint16_t pos = 3;
        for (uint8_t i = 1; i <= rx.mul_cnt && pos < len; ++i) {
            const uint8_t n = cmd[pos];
            if (pos + 1u + n > len)
                break;
            rx.mul_idx = i;
            cmd_hdlr(rx, cmd + pos + 1, n, mul);
            pos = static_cast<uint16_t>(pos + 1 + n);
        }
        // One bundle answers the whole encapsulation, from endpoint 0 to the
        // endpoint that asked; the reply machine sends it once the gateway
        // has answered what it was asked.
        if (!mul.ents.empty()) {
            mul.node_id = rx.node_id;
            mul.dst_ep = rx.hdr.src_ep;
            mul.secure = rx.secure;
            mul.has_fmt = rx.has_fmt;
            mul.encap_fmt = rx.encap_fmt;
            const int rc = zwnet_mul_cmd_req_put(net, std::move(mul));
            if (rc < 0)
                plt_msg_ts_show(&net->plt, "Multi command answer: Send rpt with error:%d", rc);
        }
        return;
    }
    cmd_hdlr(rx, cmd, len, mul);
}
