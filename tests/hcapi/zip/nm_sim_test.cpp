// Network-management requests and replies over real loopback UDP: the whole
// client stack (application, session, frame, UDP) against the gateway
// simulator's network-management handlers, which check every request's
// layout on their own.
#include "sim/sim_nm.h"
#include "tests/hcapi/zip/nm_test_support.h"
#include "tests/hcapi/zip/zip_log_capture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <memory>
#include <thread>

namespace {

using namespace nm_test;
using namespace std::chrono_literals;
using ms = std::chrono::milliseconds;
using steady = std::chrono::steady_clock;
using bytes = std::vector<uint8_t>;

const std::string net_prefix = "127.71.0.";

using zip_test::capture_line;

std::string hexs(const bytes &b) { return hex(b.data(), b.size()); }

bytes mapped(const std::string &v4)
{
    bytes a(16, 0);
    a[10] = a[11] = 0xFF;
    inet_pton(AF_INET, v4.c_str(), a.data() + 12);
    return a;
}

class NmSim : public ::testing::Test {
protected:
    // Where the application layer will call the dispatcher: what it does not
    // consume goes to the network.
    static void rx(appl_layer_ctx *ctx, const tpt_sockaddr_t *src, const zip_rx_hdr_t *, const uint8_t *data,
                   uint16_t length, uint16_t, uint16_t)
    {
        if (appl_nm_rpt_dispatch(ctx, src, data, length))
            return;
        auto *self = static_cast<NmSim *>(ctx->user);
        std::lock_guard lk(self->net_mtx);
        self->net_rx.emplace_back(data, data + length);
    }

    void start(unsigned tick_ms = 10, uint32_t reply_wait_ms = 0, sim::nm_config nc = {})
    {
        tick = tick_ms;
        calls::get().clear();
        zip_test::log_clear();
        sim::gateway_config g;
        g.address = net_prefix + "1";
        g.port = ZIP_UDP_PORT;
        for (uint8_t id : {5, 6})
            g.nodes.push_back({id, net_prefix + std::to_string(id)});
        gw = std::make_unique<sim::gateway>(g);
        ASSERT_EQ(0, gw->start()) << gw->last_error();
        for (uint8_t id : {5, 6}) {
            sim::nm_node n;
            n.node_id = id;
            n.endpoints = 2;
            n.aggregated = 1;
            nc.nodes.push_back(n);
        }
        nms = std::make_unique<sim::nm_gateway>(*gw, nc);

        plt_tick_ms_set(tick_ms);
        ASSERT_EQ(0, plt_init(&plt, capture_line));
        appl_layer_ctx *a = appl.get();
        a->user = this;
        a->plt_ctx = &plt;
        a->rx_cb = rx;
        a->reply_wait_ms = reply_wait_ms;
        a->own_node_id = 1;
        install(nm);
        ASSERT_EQ(0, appl_nm_init(a, &nm));
        in_addr gw_ip{};
        inet_pton(AF_INET, g.address.c_str(), &gw_ip);
        appl_init_param_t p{};
        p.gw_addr = reinterpret_cast<const uint8_t *>(&gw_ip);
        p.ipv4 = 1;
        ASSERT_EQ(0, appl_init(a, &p));
        started = true;
    }

    void TearDown() override
    {
        if (started)
            appl_shutdown(appl.get());
        started = false;
        appl_nm_exit(appl.get());
        plt_exit(&plt);
        plt_tick_ms_set(0);
        if (gw)
            gw->stop();
        if (nms) {
            EXPECT_EQ(std::vector<std::string>{}, nms->violations());
            nms.reset();
        }
    }

    appl_layer_ctx *ctx() { return appl.get(); }
    ms scaled(uint32_t protocol_ms) const { return ms(protocol_ms * tick / 100); }

    // Waits for the n-th callback line (counting from 1).
    std::string line(size_t n, ms timeout = 10s)
    {
        if (!calls::get().wait(n, timeout))
            return "(none)";
        return calls::get().all().at(n - 1);
    }
    // No further callback line within `quiet`.
    bool no_more(size_t have, ms quiet = 300ms)
    {
        std::this_thread::sleep_for(quiet);
        return calls::get().all().size() == have;
    }
    // Sequence number of the latest request of class/command, once at least
    // `count` of them have reached the simulator.
    uint8_t last_seq(uint8_t cls, uint8_t cmd, size_t count = 1)
    {
        for (int i = 0; i < 1000; ++i) {
            std::vector<uint8_t> seqs;
            for (const sim::nm_request &r : nms->requests())
                if (r.command.size() >= 3 && r.command[0] == cls && r.command[1] == cmd)
                    seqs.push_back(r.command[2]);
            if (seqs.size() >= count)
                return seqs.back();
            std::this_thread::sleep_for(10ms);
        }
        ADD_FAILURE() << "no request " << int(cls) << " " << int(cmd);
        return 0;
    }

    unsigned tick = 10;
    plt_tmr_ctx plt{};
    std::unique_ptr<appl_layer_ctx> appl = std::make_unique<appl_layer_ctx>();
    appl_nm_ctx nm{};
    std::unique_ptr<sim::gateway> gw;
    std::unique_ptr<sim::nm_gateway> nms;
    bool started = false;
    std::mutex net_mtx;
    std::vector<bytes> net_rx;
};

// --- the bytes of every request -------------------------------------------

struct req_row {
    const char *name;
    std::function<int(appl_layer_ctx *)> send;
    std::string expect;  // hex; "SS" stands for the sequence number
};

const appl_wl_rec_t wl_recs[] = {{APPL_WL_REC_NAME, "hall"}, {3, "skipped"}, {APPL_WL_REC_LOCATION, "up"}};
const uint8_t wl_dsk[] = {0xAA, 0xBB};
const uint8_t dsk_input[] = {0x12, 0x34};

void nif_done(appl_layer_ctx *, int status, void *, uint8_t node_id)
{
    calls::get().add(fmt("nif sent %d n=%u", status, node_id));
}

const std::vector<req_row> &req_rows()
{
    static const std::vector<req_row> rows = {
        {"node list get", [](auto *c) { return zip_node_list_get(c, on_node_list); }, "5201SS"},
        {"node info, age cut to 15", [](auto *c) { return zw_request_node_info(c, on_node_info, 5, 20); },
         "5203SS0F05"},
        {"end points", [](auto *c) { return zip_mul_ch_ep_get(c, on_ep, 5); }, "5205SS05"},
        {"capability", [](auto *c) { return zip_mul_ch_cap_get(c, on_cap, 5, 2); }, "5207SS0502"},
        {"aggregated members", [](auto *c) { return zip_mul_ch_aggr_get(c, on_aggr, 5, 3); }, "5209SS0503"},
        {"default set", [](auto *c) { return zw_set_default(c, on_sts_node, 0); }, "4D06SS"},
        {"learn mode", [](auto *c) { return zw_set_learn_mode(c, on_lrn, 0, 1); }, "4D01SS0101"},
        {"DSK get", [](auto *c) { return zw_sec2_dsk_get(c, on_dsk, 1); }, "4D08SS01"},
        {"node information send",
         [](auto *c) {
             zw_nif_snd_param_t p{0, 5, 0x25, nif_done, nullptr};
             return zw_send_node_info(c, &p);
         },
         "4D05SS000525"},
        {"network update", [](auto *c) { return zw_request_network_update(c, on_sts); }, "4D03SS"},
        {"keys granted", [](auto *c) { return zw_sec2_key_set(c, 0x87, 1); }, "3412SS0387"},
        {"no keys, authentication granted", [](auto *c) { return zw_sec2_key_set(c, 0, 1); }, "3412SS0200"},
        {"DSK accepted", [](auto *c) { return zw_sec2_dsk_set(c, 1, 2, dsk_input); }, "3414SS821234"},
        {"DSK rejected", [](auto *c) { return zw_sec2_dsk_set(c, 0, 2, dsk_input); }, "3414SS00"},
        {"node add", [](auto *c) { return zw_add_node_to_network(c, on_incl, 1, 0x20); }, "3401SS000120"},
        {"node add stop", [](auto *c) { return zw_add_node_to_network(c, nullptr, 5, 0x20); }, "3401SS000520"},
        {"node remove", [](auto *c) { return zw_remove_node_from_network(c, on_sts_node, 1); }, "3403SS0001"},
        {"failed node remove", [](auto *c) { return zw_remove_failed_node_id(c, on_sts_node, 6); }, "3407SS06"},
        {"failed node replace", [](auto *c) { return zw_replace_failed_node(c, on_incl, 6, 0x20, 1); },
         "3409SS062001"},
        {"neighbour update", [](auto *c) { return zw_request_node_neighbor_update(c, on_sts_node, 5); }, "340BSS05"},
        {"controller change", [](auto *c) { return zw_controller_change(c, on_node_info, 1, 0x20); }, "5401SS000120"},
        {"return route assign", [](auto *c) { return zw_assign_return_route(c, 5, 6, on_sts_node); }, "340DSS0506"},
        {"return route delete", [](auto *c) { return zw_delete_return_route(c, 5, on_sts_node); }, "340FSS05"},
        {"white list add, no keys, type 3 left out",
         [](auto *c) { return zw_wl_set(c, wl_dsk, 2, 0, wl_recs, 3, 0); }, "3417SS0002AABB00000104" +
                                                                                hexs({'h', 'a', 'l', 'l'}) + "0202" +
                                                                                hexs({'u', 'p'})},
        {"white list remove", [](auto *c) { return zw_wl_set(c, wl_dsk, 2, 0x87, wl_recs, 3, 1); }, "3417SS0102AABB"},
        {"white list clear", [](auto *c) { return zw_wl_set(c, wl_dsk, 2, 0x87, wl_recs, 3, 2); }, "3417SS02"},
        {"white list list get", [](auto *c) { return zw_wl_list_get(c, on_wl_list); }, "3415SS"},
        {"white list get", [](auto *c) { return zw_wl_get(c, wl_dsk, 2, on_wl_ent); }, "3418SS02AABB"},
        {"inverse node solicitation", [](auto *c) { return zip_node_ipaddr_get(c, on_resolve, 5); }, "58040405"},
        {"node solicitation",
         [](auto *c) {
             const bytes a = mapped(net_prefix + "1");
             return zip_node_id_get(c, on_resolve, a.data(), 0);
         },
         "58030000" + hexs(mapped(net_prefix + "1"))},
    };
    return rows;
}

TEST_F(NmSim, EveryRequestHasItsLayoutAndTheNextSequenceNumber)
{
    start();
    int prev_seq = -1;
    for (const req_row &r : req_rows()) {
        const size_t before = nms->request_count();
        ASSERT_EQ(0, r.send(ctx())) << r.name;
        std::string e = r.expect;
        ASSERT_TRUE(nms->wait_request(static_cast<uint8_t>(std::stoul(e.substr(0, 2), nullptr, 16)),
                                      static_cast<uint8_t>(std::stoul(e.substr(2, 2), nullptr, 16)), 2s, before))
            << r.name;
        const sim::nm_request got = nms->requests().at(before);
        if (const size_t at = e.find("SS"); at != std::string::npos) {
            const uint8_t seq = got.command.at(2);
            if (prev_seq >= 0) {
                EXPECT_EQ(static_cast<uint8_t>(prev_seq + 1), seq) << r.name;
            }
            prev_seq = seq;
            e.replace(at, 2, fmt("%02X", seq));
            EXPECT_TRUE(got.in_packet && got.secure && got.ack_request) << r.name;
        }
        EXPECT_EQ(e, hexs(got.command)) << r.name;
    }
    EXPECT_EQ(-1, zw_sec2_dsk_set(ctx(), 1, 17, dsk_input));
    EXPECT_EQ(-1, zw_wl_set(ctx(), wl_dsk, 17, 0, nullptr, 0, APPL_WL_FLAG_CLEAR));
    EXPECT_EQ(-1, zw_wl_get(ctx(), wl_dsk, 17, on_wl_ent));
    EXPECT_EQ(ZIP_ERR_NODE_ID, zip_node_ipaddr_get(ctx(), on_resolve, 0));
}

// --- matching ------------------------------------------------------------------

TEST_F(NmSim, RepliesReachCallbacksOnlyOnAMatchingSequenceAndNode)
{
    start();
    ASSERT_EQ(0, zw_request_node_info(ctx(), on_node_info, 5, 0));
    EXPECT_EQ(0u, line(1).find("info n=5 l=1 o=1 s=0 st=0 age=0 r=1 b=04 g=10 sp=01 cls=[5E,25,86,72]"));
    const uint8_t s = last_seq(0x52, 0x03);
    nms->inject({0x52, 0x04, static_cast<uint8_t>(s + 1), 0x00, 0xD3, 0x9C, 0x01});  // another request's
    nms->inject({0x52, 0x04, s, 0x00, 0xD3, 0x9C, 0x01});                              // a second copy: kept
    EXPECT_EQ("info n=5 l=1 o=1 s=0 st=0 age=0 r=1 b=00 g=00 sp=00 cls=[] ctl=[]", line(2));
    EXPECT_TRUE(no_more(2));

    // Two requests of a kind: only the second one's reply counts.
    nms->silence_next(0x52, 0x05);
    ASSERT_EQ(0, zip_mul_ch_ep_get(ctx(), on_ep, 5));
    const uint8_t first = last_seq(0x52, 0x05);
    ASSERT_EQ(0, zip_mul_ch_ep_get(ctx(), on_ep, 6));
    EXPECT_EQ("ep n=6 i=2 a=1", line(3));
    const uint8_t second = last_seq(0x52, 0x05, 2);
    nms->inject({0x52, 0x06, first, 5, 0, 2, 1});
    nms->inject({0x52, 0x06, second, 5, 0, 2, 1});  // the right number, another node
    EXPECT_TRUE(no_more(3));
}

TEST_F(NmSim, UnsolicitedReportsTakeTheirOwnPaths)
{
    start();
    ASSERT_EQ(0, zw_request_network_update(ctx(), on_sts));  // the gateway learns where we are
    EXPECT_EQ("sts 0", line(1));
    bytes list{0x52, 0x02, 0x99, 0x00, 0x01, 0x31};
    list.resize(34);
    ASSERT_LE(0, nms->inject(list));
    EXPECT_EQ("unsol list st=0 suc=1 m=31" + std::string(56, '0'), line(2));
    nms->inject({0x34, 0x1A, 0x99, 0x03, 0x02, 0xAA, 0xBB});
    EXPECT_EQ("unsol wl dsk=AABB st=3", line(3));
    nms->inject({0x22, 0x01, 0x00, 0x05});
    EXPECT_EQ("app 1 0", line(4));
    // A stop is sent without a callback: its status is nobody's reply.
    ASSERT_EQ(0, zw_add_node_to_network(ctx(), nullptr, 5, 0x20));
    EXPECT_EQ("unsol add n=0 l=0 o=0 s=0 st=7 age=0 r=0 b=00 g=00 sp=00 cls=[] ctl=[] s2=0 k=00 f=0 dsk=", line(5));
    // Application status from a node's own address is not the gateway's.
    nms->inject({0x22, 0x01, 0x00, 0x05}, 5);
    nms->inject({0x25, 0x03, 0xFF}, 0);
    for (int i = 0; i < 100; ++i) {
        {
            std::lock_guard lk(net_mtx);
            if (net_rx.size() >= 2)
                break;
        }
        std::this_thread::sleep_for(20ms);
    }
    {
        std::lock_guard lk(net_mtx);
        EXPECT_EQ((std::vector<bytes>{{0x22, 0x01, 0x00, 0x05}, {0x25, 0x03, 0xFF}}), net_rx);
    }
    EXPECT_TRUE(no_more(5));
}

TEST_F(NmSim, InclusionWithSecurity2)
{
    start();
    ASSERT_EQ(0, zw_add_node_to_network(ctx(), on_incl, 1, 0x20));
    EXPECT_EQ("keys 87 csa=1", line(1));
    ASSERT_EQ(0, zw_sec2_key_set(ctx(), 0x87, 1));
    EXPECT_EQ("idsk 112233445566778899AABBCCDDEEF001 in=2", line(2));
    ASSERT_EQ(0, zw_sec2_dsk_set(ctx(), 1, 2, dsk_input));
    EXPECT_EQ("add n=7 l=1 o=1 s=0 st=6 age=0 r=0 b=04 g=10 sp=01 cls=[5E,25,86,72] ctl=[] s2=1 k=87 f=0 "
              "dsk=112233445566778899AABBCCDDEEF001",
              line(3));
    // The add entry was cleared by its status: a late copy is unsolicited.
    const uint8_t s = last_seq(0x34, 0x01);
    nms->inject({0x34, 0x02, s, 0x07, 0x00, 0x00, 0x01});
    EXPECT_EQ(0u, line(4).rfind("unsol add ", 0));

    // A replacement runs the same exchange under its own request.
    ASSERT_EQ(0, zw_replace_failed_node(ctx(), on_incl, 6, 0x20, 1));
    EXPECT_EQ("keys 87 csa=1", line(5));
    ASSERT_EQ(0, zw_sec2_key_set(ctx(), 0x01, 0));
    EXPECT_EQ(0u, line(6).rfind("idsk ", 0));
    ASSERT_EQ(0, zw_sec2_dsk_set(ctx(), 1, 2, dsk_input));
    EXPECT_EQ("rplc st=4 n=6 s2=1 k=01 f=0", line(7));
}

TEST_F(NmSim, OtherRequestsReachTheirCallbacks)
{
    start();
    const uint8_t a = 0xAA, bb[] = {0xAA, 0xBB};
    struct {
        std::function<int()> send;
        std::string expect;
    } rows[] = {
        {[&] { return zip_node_ipaddr_get(ctx(), on_resolve, 5); },
         "adv l=1 v=0 n=5 ip=" + hexs(mapped(net_prefix + "5")) + " home=C0FFEE01"},
        {[&] {
             const bytes gw_addr = mapped(net_prefix + "1");
             return zip_node_id_get(ctx(), on_resolve, gw_addr.data(), 0);
         },
         "adv l=1 v=0 n=1 ip=" + hexs(mapped(net_prefix + "1"))},
        {[&] { return zip_node_list_get(ctx(), on_node_list); }, "list st=0 suc=1 m=31"},
        {[&] { return zip_mul_ch_cap_get(ctx(), on_cap, 5, 1); }, "cap n=5 ep=1 g=10 sp=01 cls=[5E,25] ctl=[]"},
        {[&] { return zip_mul_ch_aggr_get(ctx(), on_aggr, 5, 3); }, "aggr n=5 ep=3 m=0102"},
        {[&] { return zw_set_learn_mode(ctx(), on_lrn, 0, 1); }, "lrn st=6 n=1 s2=1 k=87 dsk=A0A1"},
        {[&] { return zw_sec2_dsk_get(ctx(), on_dsk, 1); }, "dsk A0A1A2A3A4A5A6A7A8A9AAABACADAEAF mode=01"},
        {[&] { return zw_request_network_update(ctx(), on_sts); }, "sts 0"},
        {[&] { return zw_set_default(ctx(), on_sts_node, 0); }, "sts 6 n=0"},
        {[&] { return zw_remove_node_from_network(ctx(), on_sts_node, 1); }, "sts 6 n=5"},
        {[&] { return zw_remove_failed_node_id(ctx(), on_sts_node, 6); }, "sts 1 n=6"},
        {[&] { return zw_request_node_neighbor_update(ctx(), on_sts_node, 5); }, "sts 34 n=5"},
        {[&] { return zw_controller_change(ctx(), on_node_info, 1, 0x20); }, "info n=7 l=1 o=1"},
        {[&] { return zw_assign_return_route(ctx(), 5, 6, on_sts_node); }, "sts 0 n=5"},
        {[&] { return zw_delete_return_route(ctx(), 6, on_sts_node); }, "sts 0 n=6"},
        {[&] { return zw_wl_set(ctx(), bb, 2, 0x87, wl_recs, 3, 0); }, ""},
        {[&] { return zw_wl_set(ctx(), &a, 1, 0, nullptr, 0, 0); }, ""},
        {[&] { return zw_wl_list_get(ctx(), on_wl_list); }, "wl cnt=2 AABB AA"},
        {[&] { return zw_wl_get(ctx(), bb, 2, on_wl_ent); }, "wle dsk=AABB k=87 1:hall 2:up"},
    };
    size_t n = 0;
    for (auto &r : rows) {
        ASSERT_EQ(0, r.send()) << r.expect;
        if (r.expect.empty())
            continue;
        EXPECT_EQ(0u, line(++n).rfind(r.expect, 0)) << line(n);
    }
    EXPECT_TRUE(no_more(n));
}

// --- the one-send gate --------------------------------------------------------

// The return route's completion ends the layer's status wait, so a second
// request goes out at once: at the real tick length it would otherwise wait
// for the 5.1 s reply wait (or fail after the 5.2 s gate wait).
TEST_F(NmSim, TwoSendersInARowBothSucceedWithoutAStall)
{
    start(100);
    ASSERT_EQ(0, zw_assign_return_route(ctx(), 5, 6, on_sts_node));
    const auto t0 = steady::now();
    std::atomic<int> rc2{1};
    std::thread other([&] { rc2 = zip_node_list_get(ctx(), on_node_list); });
    const int rc3 = zw_delete_return_route(ctx(), 5, on_sts_node);
    other.join();
    EXPECT_EQ(0, rc2.load());
    EXPECT_EQ(0, rc3);
    EXPECT_LT(steady::now() - t0, 4s);  // not the 5.1 s reply wait
    ASSERT_TRUE(calls::get().wait(3, 6s));
    auto all = calls::get().all();
    std::sort(all.begin(), all.end());
    EXPECT_EQ("list st=0 suc=1 m=31" + std::string(56, '0'), all[0]);
    EXPECT_EQ((std::vector<std::string>{"sts 0 n=5", "sts 0 n=5"}), std::vector<std::string>(all.begin() + 1, all.end()));
}

TEST_F(NmSim, StaleReturnRouteReplyOpensTheWaitWithoutACallback)
{
    start(100);
    nms->stale_return_route_next();
    ASSERT_EQ(0, zw_assign_return_route(ctx(), 5, 6, on_sts_node));
    const auto t0 = steady::now();
    ASSERT_EQ(0, zip_node_list_get(ctx(), on_node_list));
    EXPECT_LT(steady::now() - t0, 4s);  // not the 5.1 s reply wait
    EXPECT_EQ(0u, line(1).rfind("list ", 0));
    EXPECT_TRUE(no_more(1));
}

TEST_F(NmSim, AFailedSendUsesItsNumberAndKeepsTheEntry)
{
    start(10, 20000);  // a reply wait well beyond the gate wait
    ASSERT_EQ(0, zw_request_node_info(ctx(), on_node_info, 5, 0));
    ASSERT_EQ(0u, line(1).rfind("info n=5", 0));
    const uint8_t s = last_seq(0x52, 0x03);

    nms->silence_next(0x34, 0x0D);
    ASSERT_EQ(0, zw_assign_return_route(ctx(), 5, 6, on_sts_node));  // s + 1, holds the gate
    EXPECT_EQ(ZIP_ERR_APPL_BUSY, zw_request_node_info(ctx(), on_node_info, 6, 0));  // s + 2, not sent
    EXPECT_EQ(2u, nms->request_count());

    // The node-info entry is still the first request's.
    nms->inject({0x52, 0x04, static_cast<uint8_t>(s + 2), 0x00, 0x53, 0x1C, 0x00});
    nms->inject({0x52, 0x04, s, 0x00, 0x53, 0x1C, 0x00});
    EXPECT_EQ("info n=5 l=0 o=0 s=0 st=0 age=0 r=0 b=00 g=00 sp=00 cls=[] ctl=[]", line(2));
    // The gateway completes the route late; the next request takes s + 3.
    nms->inject({0x34, 0x0E, static_cast<uint8_t>(s + 1), 0x00});
    EXPECT_EQ("sts 0 n=5", line(3));
    ASSERT_EQ(0, zip_node_list_get(ctx(), on_node_list));
    EXPECT_EQ(static_cast<uint8_t>(s + 3), last_seq(0x52, 0x01));
    EXPECT_EQ(0u, line(4).rfind("list ", 0));
}

TEST_F(NmSim, ACallbackMaySendTheNextRequest)
{
    start();
    auto chained = [](appl_layer_ctx *c, uint8_t, uint8_t, const uint8_t *, uint8_t) {
        calls::get().add(fmt("chained %d", zw_request_node_info(c, on_node_info, 6, 0)));
    };
    ASSERT_EQ(0, zip_node_list_get(ctx(), chained));
    EXPECT_EQ("chained 0", line(1));
    EXPECT_EQ(0u, line(2).rfind("info n=6", 0));
}

}  // namespace
