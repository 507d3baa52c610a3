// Arbitrary commands, and every prefix of each, in buffers of exactly their
// length, through command reception: the handler that the Z/IP layer calls
// for every received command, of a running network (against the gateway
// simulator on loopback) whose nodes have interfaces of many classes, with
// report callbacks wherever their shape is known. Sender, endpoint, secure
// and encapsulation flags and the interview flag come from the input too.
// Nothing may read past a command, and no callback may run under the
// network mutex.
#include "hcapi/core/zwrec.h"
#include "hcapi/include/zwif_ctl.h"
#include "hcapi/net/zwnet_rx.h"
#include "sim/sim_gateway.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

zwnet_p g_net = nullptr;

void unlocked()
{
    if (g_net != nullptr && zwnet_lck_depth(g_net) != 0)
        std::abort();
}

// Callbacks of the shapes that the report rows hand over.
void on_ts(zwif_desc_t *, uint8_t, time_t) { unlocked(); }
void on_byte(zwif_desc_t *, uint8_t) { unlocked(); }
void on_2b(zwif_desc_t *, uint8_t, uint8_t) { unlocked(); }
void on_3b(zwif_desc_t *, uint8_t, uint8_t, uint8_t) { unlocked(); }
void on_list(zwif_desc_t *, uint8_t cnt, uint8_t *list, int)
{
    unlocked();
    volatile uint8_t sum = 0;
    for (uint8_t k = 0; k < cnt; ++k)
        sum = static_cast<uint8_t>(sum + list[k]);
}
void on_fan_md(zwif_desc_t *, uint8_t, uint8_t, time_t) { unlocked(); }
void on_fan_sup(zwif_desc_t *i, uint8_t, uint8_t cnt, uint8_t *list, int v) { on_list(i, cnt, list, v); }
void on_setp(zwif_desc_t *, zwsetp_t *, time_t) { unlocked(); }
void on_setp_range(zwif_desc_t *, uint8_t, zwsetp_t *, zwsetp_t *, int) { unlocked(); }
void on_shed_ovr(zwif_desc_t *, zwcc_shed_ovr_t *) { unlocked(); }
void on_shed(zwif_desc_t *, zwcc_shed_t *) { unlocked(); }
void on_setb(zwif_desc_t *, uint8_t, uint8_t, int8_t) { unlocked(); }
void on_csc(zwif_desc_t *, zwcsc_notif_t *, time_t) { unlocked(); }
void on_csc_sup(zwif_desc_t *, uint8_t scenes, uint8_t identical, uint8_t row_sz, uint8_t *rows, uint8_t, int)
{
    unlocked();
    volatile uint8_t sum = 0;
    for (size_t k = 0; k < size_t(identical ? 1 : scenes) * row_sz; ++k)
        sum = static_cast<uint8_t>(sum + rows[k]);
}
void on_dlck_op(zwif_desc_t *, zwdlck_op_t *, time_t) { unlocked(); }
void on_dlck_cfg(zwif_desc_t *, zwdlck_cfg_t *, time_t) { unlocked(); }
void on_usr_sup(zwif_desc_t *, uint8_t, int) { unlocked(); }
void on_usrcod(zwif_desc_t *, zwusrcod_t *) { unlocked(); }
void on_prot_sup(zwif_desc_t *, zwprot_sup_t *, int) { unlocked(); }
void on_unhandled(void *, uint8_t, uint8_t, const uint8_t *, uint16_t) { unlocked(); }

template <class F>
zwif_rpt_fn fp(F f)
{
    return reinterpret_cast<zwif_rpt_fn>(f);
}

const std::map<std::pair<uint16_t, uint8_t>, zwif_rpt_fn> callbacks = {
    {{0x20, 0x03}, fp(on_ts)},         {{0x22, 0x01}, fp(on_2b)},         {{0x22, 0x02}, fp(on_byte)},
    {{0x25, 0x03}, fp(on_ts)},         {{0x40, 0x03}, fp(on_ts)},         {{0x40, 0x05}, fp(on_list)},
    {{0x42, 0x03}, fp(on_ts)},         {{0x43, 0x03}, fp(on_setp)},       {{0x43, 0x05}, fp(on_list)},
    {{0x43, 0x0A}, fp(on_setp_range)}, {{0x44, 0x03}, fp(on_fan_md)},     {{0x44, 0x05}, fp(on_fan_sup)},
    {{0x45, 0x03}, fp(on_ts)},         {{0x46, 0x03}, fp(on_shed)},       {{0x46, 0x05}, fp(on_byte)},
    {{0x46, 0x08}, fp(on_shed_ovr)},   {{0x47, 0x03}, fp(on_setb)},       {{0x5B, 0x02}, fp(on_csc_sup)},
    {{0x5B, 0x03}, fp(on_csc)},        {{0x5B, 0x06}, fp(on_byte)},       {{0x62, 0x03}, fp(on_dlck_op)},
    {{0x62, 0x06}, fp(on_dlck_cfg)},   {{0x63, 0x03}, fp(on_usrcod)},     {{0x63, 0x05}, fp(on_usr_sup)},
    {{0x75, 0x03}, fp(on_2b)},         {{0x75, 0x05}, fp(on_prot_sup)},   {{0x75, 0x08}, fp(on_byte)},
    {{0x75, 0x0B}, fp(on_byte)},       {{0x80, 0x03}, fp(on_ts)},         {{0x81, 0x06}, fp(on_3b)},
    {{0x87, 0x03}, fp(on_byte)},
};

// Classes of the nodes: with callbacks where the shape is known above, the
// others (sensors, meters, notifications, management) without.
const uint16_t node_classes[] = {0x20, 0x22, 0x25, 0x26, 0x30, 0x31, 0x32, 0x33, 0x40, 0x42, 0x43, 0x44, 0x45,
                                 0x46, 0x47, 0x59, 0x5B, 0x5E, 0x60, 0x62, 0x63, 0x66, 0x6C, 0x70, 0x71, 0x72,
                                 0x75, 0x80, 0x81, 0x84, 0x85, 0x86, 0x87, 0x8E, 0x98, 0x9C, 0x9F};

struct node_kind {
    uint8_t id;
    bool listening, flirs, sleeping;
};
constexpr node_kind nodes[] = {{2, true, false, false}, {3, false, false, true}, {4, false, true, false}};
constexpr uint8_t endpoints = 2;

uint8_t version_of(uint16_t cls)
{
    switch (cls) {
    case 0x60: return 4;  // Multi Channel needs a version to have an interface
    case 0x75: return 2;
    default: return 3;
    }
}

std::string node_addr(uint8_t id) { return "127.0.0." + std::to_string(id); }

struct rx_net {
    std::unique_ptr<sim::gateway> gw;
    zwnet_p net = nullptr;

    rx_net()
    {
        sim::gateway_config g;
        g.address = node_addr(1);
        g.port = 0;  // nodes take the same free port
        for (const node_kind &n : nodes)
            g.nodes.push_back({n.id, node_addr(n.id)});
        gw = std::make_unique<sim::gateway>(g);
        if (gw->start() != 0)
            std::abort();
        zwnet_init_t in{};
        in.port = gw->port();
        in.addr_type = ZWNET_ADDR_IPV4;
        in.gw_addr[10] = in.gw_addr[11] = 0xFF;
        inet_pton(AF_INET, node_addr(1).c_str(), in.gw_addr + 12);
        in.appl_cmd = on_unhandled;
        in.stor_dir = "/tmp";
        in.dev_cfg_file = "";
        if (zwnet_init(&in, &net) != 0)
            std::abort();
        g_net = net;
        zwnet_lock lk(net);
        for (const node_kind &k : nodes) {
            zwnode_p node = zwnode_create(net, k.id);
            node->listen = k.listening;
            node->sensor = k.flirs;
            node->sleep_cap = node->enable_cmd_q = k.sleeping;
            std::vector<zwep_p> eps{&node->ep};
            for (uint8_t e = 1; e <= endpoints; ++e)
                eps.push_back(zwep_create(node, e));
            for (zwep_p ep : eps)
                for (uint16_t cls : node_classes) {
                    // Security classes answer only when a command came secured.
                    const uint8_t propty = cls == 0x98 || cls == 0x9F ? IF_PROPTY_SECURE : IF_PROPTY_UNSECURE;
                    zwif_p i = zwif_create(cls, version_of(cls), propty);
                    if (i == nullptr || !zwif_attach(ep, i))
                        std::abort();
                    for (uint8_t r = 0; r < i->rpt_num; ++r) {
                        auto it = callbacks.find({cls, i->rpt[r].rpt_cmd});
                        if (it != callbacks.end())
                            i->rpt[r].usr_rpt_cb = i->rpt[r].sm_rpt_cb = it->second;
                    }
                }
            in_addr a{};
            inet_pton(AF_INET, node_addr(k.id).c_str(), &a);
            appl_node_ip_set(net->appl.get(), reinterpret_cast<const uint8_t *>(&a), 4, k.id);
        }
    }
};

}  // namespace

// Input: sender (0 the gateway, 1..3 a node, else an unknown address; bit 7
// the interview flag), source endpoint, flags (bit 0 secure, bit 1 with the
// encapsulation format that follows in two bytes), then the command.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static rx_net rx;
    if (size < 3 || size > 300)
        return 0;
    const uint8_t who = data[0] & 0x7F;
    tpt_sockaddr_t src{};
    src.v4.sin_family = AF_INET;
    src.v4.sin_port = htons(rx.gw->port());
    const std::string from = who == 0 ? node_addr(1) : who <= 3 ? node_addr(nodes[who - 1].id) : "127.0.0.200";
    inet_pton(AF_INET, from.c_str(), &src.v4.sin_addr);
    zip_rx_hdr_t hdr{static_cast<uint8_t>(data[1] % (endpoints + 2)), 0, 0};
    uint16_t flags = 0, fmt = 0;
    if (data[2] & 0x01)
        flags |= ZIP_FRM_SECURE;
    size_t at = 3;
    if ((data[2] & 0x02) && size >= 5) {
        flags |= ZIP_FRM_ENCAP;
        fmt = static_cast<uint16_t>(data[3] << 8 | data[4]);
        at = 5;
    }
    {
        zwnet_lock lk(rx.net);
        rx.net->ep_intv_active = data[0] >> 7;
    }
    const size_t len = size - at;
    for (size_t n = 0; n <= len; ++n) {
        std::unique_ptr<uint8_t[]> buf(new uint8_t[n ? n : 1]);
        std::memcpy(buf.get(), data + at, n);
        zwnet_appl_cmd_hdlr(rx.net->appl.get(), &src, &hdr, buf.get(), static_cast<uint16_t>(n), flags, fmt);
    }
    return 0;
}
