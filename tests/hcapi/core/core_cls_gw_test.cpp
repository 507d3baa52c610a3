// The gateway's own interfaces (Z/IP Gateway, Z/IP Portal) and Simple AV
// Control against the gateway simulator over loopback: the frames the
// gateway receives and the operation codes they leave; the mode request,
// which answers exactly once whether the gateway answers or not; and a held
// AV key, kept alive every 400 ms (at the test's tick) until the key-up.
#include "cls_call_net.h"

#include "hcapi/include/zwif_call.h"

namespace {

using namespace hc_test;
using namespace cls_call;

enum : uint8_t {
    n_av = 9,     // listening; Simple AV Control
    n_sleep = 5,  // sleeping; Simple AV Control
};

struct mode_heard {
    int sts;
    uint8_t mode;
    bool peer;
    bool locked;  // called with the network mutex held
    steady::time_point at;
};
std::mutex g_mtx;
std::vector<mode_heard> g_modes;
std::atomic<zwnet_p> g_net{nullptr};

void on_mode(zwif_desc_t *, int sts, uint8_t mode, const zwif_gw_peer_t *peer)
{
    zwnet_p net = g_net.load();
    std::lock_guard lk(g_mtx);
    g_modes.push_back({sts, mode, peer != nullptr, net != nullptr && zwnet_lck_depth(net) != 0, steady::now()});
}
std::vector<mode_heard> modes()
{
    std::lock_guard lk(g_mtx);
    return g_modes;
}

class GwCalls : public CallNet {
protected:
    void SetUp() override
    {
        {
            std::lock_guard lk(g_mtx);
            g_modes.clear();
        }
        config c;
        c.tick_ms = tick_ms;
        c.nodes = {{n_av, true, false, false, false, false, {0x94}, 0},
                   {n_sleep, false, false, true, false, false, {0x84, 0x94}, 0}};
        ASSERT_NO_FATAL_FAILURE(start(c));
        g_net = net_;
        // What initialisation learns of the gateway: its node id and address.
        {
            zwnet_lock lk(net_);
            net_->ctl.nodeid = ctl;
        }
        in_addr a{};
        inet_pton(AF_INET, addr(1).c_str(), &a);
        ASSERT_EQ(1, appl_node_ip_set(net_->appl.get(), reinterpret_cast<const uint8_t *>(&a), 4, ctl));
        ASSERT_NO_FATAL_FAILURE(version(ctl, 0, 0x5F, 1));
        ASSERT_NO_FATAL_FAILURE(version(ctl, 0, 0x61, 1));
    }
    void TearDown() override
    {
        CallNet::TearDown();
        g_net = nullptr;
    }

    uint16_t cur_op()
    {
        zwnet_lock lk(net_);
        return zwnode_find(&net_->ctl, ctl)->cur_op;
    }
    // Commands the gateway itself received, from index `from` on.
    std::vector<bytes> to_gateway(uint64_t from)
    {
        std::vector<bytes> out;
        for (const sim::recorded_frame &r : cmds_to(0))
            if (r.index >= from && !r.frame.packet.command.empty() && r.frame.packet.command[0] != 0x34 &&
                r.frame.packet.command[0] != 0x52 && r.frame.packet.command[0] != 0x4D)
                out.push_back(r.frame.packet.command);
        return out;
    }
    std::vector<sim::recorded_frame> av_frames()
    {
        std::vector<sim::recorded_frame> out;
        for (const sim::recorded_frame &r : cmds_to(n_av))
            if (r.frame.packet.command.size() == 8 && r.frame.packet.command[0] == 0x94)
                out.push_back(r);
        return out;
    }

    const uint8_t ctl = 1;
    unsigned tick_ms = 10;
};

zwif_gw_peer_t peer(bytes addr, uint16_t port, const char *name)
{
    zwif_gw_peer_t p{};
    p.port = port;
    std::copy(addr.begin(), addr.end(), p.addr);
    p.name_len = static_cast<uint8_t>(std::strlen(name));
    std::memcpy(p.name, name, p.name_len);
    return p;
}
call_fn mode_set(uint8_t mode, std::optional<zwif_gw_peer_t> p)
{
    return [=](const zwif_desc_t *d) { return zwif_gw_mode_set(d, mode, p ? &*p : nullptr); };
}

const bytes doc_addr{0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01};  // 2001:db8::1
const bytes link_local{0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01};     // fe80::1
const bytes no_addr(16, 0);

// The gateway's commands go straight to it, sleeping queue or not.
TEST_F(GwCalls, GatewayCommandsReachTheGatewayWithTheirOperationCodes)
{
    zwif_portal_cfg_t cfg{};
    for (uint8_t k = 0; k < 16; ++k) {
        cfg.lan_addr[k] = static_cast<uint8_t>(0x10 + k);
        cfg.gw_addr[k] = static_cast<uint8_t>(0x20 + k);
        cfg.pan_prefix[k] = static_cast<uint8_t>(0x30 + k);
        cfg.portal_prefix[k] = static_cast<uint8_t>(0x40 + k);
    }
    cfg.lan_prefix_len = 64;
    cfg.portal_prefix_len = 48;
    bytes cfg_frame{0x61, 0x01};  // Gateway Configuration Set
    auto app = [&](const uint8_t *b, size_t n) { cfg_frame.insert(cfg_frame.end(), b, b + n); };
    app(cfg.lan_addr, 16);       // LAN address
    cfg_frame.push_back(64);     // LAN prefix length
    app(cfg.portal_prefix, 16);  // portal prefix
    cfg_frame.push_back(48);     // portal prefix length
    app(cfg.gw_addr, 16);        // default gateway
    app(cfg.pan_prefix, 16);     // PAN prefix
    ASSERT_EQ(68u, cfg_frame.size());

    bytes profile{0x5F, 0x04, 0x01};  // Peer Set, peer 1
    profile.insert(profile.end(), doc_addr.begin(), doc_addr.end());
    profile.insert(profile.end(), {0x10, 0x1B,  // port 4123
                                   0x04, 'p', 'e', 'e', 'r'});
    bytes anon_profile{0x5F, 0x04, 0x01};
    anon_profile.insert(anon_profile.end(), no_addr.begin(), no_addr.end());
    anon_profile.insert(anon_profile.end(), {0x00, 0x50, 0x01, 'x'});
    const uint8_t unsolic[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 192, 168, 1, 7};
    bytes unsolic_frame{0x5F, 0x08};
    unsolic_frame.insert(unsolic_frame.end(), unsolic, unsolic + 16);
    unsolic_frame.insert(unsolic_frame.end(), {0xA1, 0x0E});  // port 41230

    const call_case cases[] = {
        {"stand-alone", 0, 0, 0x5F, mode_set(1, std::nullopt), 0, {{0x5F, 0x01, 0x01}}, 78},
        {"portal with its peer", 0, 0, 0x5F, mode_set(2, peer(doc_addr, 4123, "peer")), 0,
         {{0x5F, 0x01, 0x02}, profile}, 78},
        {"portal at a name only", 0, 0, 0x5F, mode_set(2, peer(no_addr, 80, "x")), 0,
         {{0x5F, 0x01, 0x02}, anon_profile}, 78},
        {"portal at a link-local address", 0, 0, 0x5F, mode_set(2, peer(link_local, 4123, "peer")), ZW_ERR_VALUE, {},
         0},
        {"portal without address or name", 0, 0, 0x5F, mode_set(2, peer(no_addr, 4123, "")), ZW_ERR_VALUE, {}, 0},
        {"portal without a peer", 0, 0, 0x5F, mode_set(2, std::nullopt), ZW_ERR_VALUE, {}, 0},
        {"portal with a name of 64 bytes", 0, 0, 0x5F,
         [](auto d) {
             zwif_gw_peer_t p = peer(doc_addr, 4123, "peer");
             p.name_len = 64;
             return zwif_gw_mode_set(d, 2, &p);
         },
         ZW_ERR_VALUE, {}, 0},
        {"mode 3", 0, 0, 0x5F, mode_set(3, std::nullopt), ZW_ERR_VALUE, {}, 0},
        {"shown, not locked", 0, 0, 0x5F, [](auto d) { return zwif_gw_lock_set(d, 0, 1); }, 0, {{0x5F, 0x07, 0x02}},
         79},
        {"locked and shown", 0, 0, 0x5F, [](auto d) { return zwif_gw_lock_set(d, 5, 9); }, 0, {{0x5F, 0x07, 0x03}}, 79},
        {"unsolicited destination", 0, 0, 0x5F, [&](auto d) { return zwif_gw_unsolic_set(d, unsolic, 41230); }, 0,
         {unsolic_frame}, 81},
        {"unsolicited destination get", 0, 0, 0x5F, [](auto d) { return zwif_gw_unsolic_get(d, nullptr); }, 0,
         {{0x5F, 0x09}}, 82},
        {"portal configuration", 0, 0, 0x61, [&](auto d) { return zwif_gw_cfg_set(d, &cfg, nullptr); }, 0, {cfg_frame},
         83},
        {"portal configuration get", 0, 0, 0x61, [](auto d) { return zwif_gw_cfg_get(d, nullptr); }, 0,
         {{0x61, 0x03}}, 84},
        {"lock set on the portal class", 0, 0, 0x61, [](auto d) { return zwif_gw_lock_set(d, 1, 1); },
         ZW_ERR_CLASS_NOT_FOUND, {}, 0},
    };
    // What initialisation asked of the gateway comes before the table.
    const uint64_t first = gw->next_index();
    for (const call_case &c : cases) {
        SCOPED_TRACE(c.name);
        const uint64_t from = gw->next_index();
        zwif_desc_t d = intf(ctl, c.cls);
        {
            zwnet_lock lk(net_);
            zwnode_find(&net_->ctl, ctl)->cur_op = 0;
        }
        EXPECT_EQ(c.rc, c.call(&d));
        if (c.frames.empty()) {
            EXPECT_EQ(0, cur_op()) << "nothing stored";
            continue;
        }
        EXPECT_EQ(c.op, cur_op());
        EXPECT_TRUE(eventually([&] { return to_gateway(from).size() >= c.frames.size(); }));
        EXPECT_EQ(c.frames, to_gateway(from));
    }
    // Refused calls sent nothing: every frame seen belongs to an accepted call.
    size_t want = 0;
    for (const call_case &c : cases)
        want += c.frames.size();
    EXPECT_EQ(want, to_gateway(first).size());
}

TEST_F(GwCalls, AvCallsFollowTheShapes)
{
    const call_case cases[] = {
        {"supported commands", n_sleep, 0, 0x94, [](auto d) { return zwif_av_sup_get(d, nullptr, 0); }, 1,
         {{0x94, 0x02}}, 28},
        {"supported commands, cache only", n_sleep, 0, 0x94, [](auto d) { return zwif_av_sup_get(d, nullptr, 1); },
         ZW_ERR_NO_CACHE_AVAIL, {}, 0},
        {"a key on a wake-up interface", n_sleep, 0, 0x84, [](auto d) { return zwif_av_set(d, 1, 0); },
         ZW_ERR_CLASS_NOT_FOUND, {}, 0},
    };
    run(cases);
    // Key-up to a sleeping node: queued with its own sequence number.
    ASSERT_NO_FATAL_FAILURE(clear(n_sleep));
    zwif_desc_t d = intf(n_sleep, 0x94);
    EXPECT_EQ(1, zwif_av_set(&d, 0x0127, 0));
    const auto q = queued(n_sleep);
    ASSERT_EQ(1u, q.size());
    const bytes &f = q[0].first;
    ASSERT_EQ(8u, f.size());
    EXPECT_EQ((bytes{0x94, 0x01}), bytes(f.begin(), f.begin() + 2));  // Simple AV Control Set
    EXPECT_EQ((bytes{0x01,                                            // key up
                     0x00, 0x00,                                      // item id
                     0x01, 0x27}),                                    // command, big-endian
              bytes(f.begin() + 3, f.end()));
    EXPECT_EQ(29, q[0].second);
}

// No answer: one callback with status 1, not before 5.3 s; a second request
// before then restarts the wait and still gives one.
TEST_F(GwCalls, AnUnansweredModeRequestEndsOnce)
{
    zwif_desc_t d = intf(ctl, 0x5F);
    const auto start = steady::now();
    EXPECT_EQ(0, zwif_gw_mode_get(&d, on_mode));
    EXPECT_EQ(80, cur_op());
    std::this_thread::sleep_for(scaled(2000));
    const auto again = steady::now();
    EXPECT_EQ(0, zwif_gw_mode_get(&d, on_mode));
    ASSERT_TRUE(eventually([] { return !modes().empty(); }, late(5300)));
    const mode_heard first = modes()[0];
    EXPECT_EQ(1, first.sts);
    EXPECT_FALSE(first.locked);
    EXPECT_GE(first.at - again, early(5300)) << "the second request restarted the wait";
    EXPECT_GE(first.at - start, early(7300));
    // Long enough for a second expiry, were there one.
    std::this_thread::sleep_for(2 * scaled(5300));
    EXPECT_EQ(1u, modes().size());
    ASSERT_TRUE(wait_cmd(0, {0x5F, 0x02}, 1s));
}

// The same at the real tick: the gateway has its full 5.3 s.
class GwRealTime : public GwCalls {
protected:
    void SetUp() override
    {
        tick_ms = 100;
        GwCalls::SetUp();
    }
};

TEST_F(GwRealTime, TheModeRequestWaitsFiveAndAHalfSeconds)
{
    zwif_desc_t d = intf(ctl, 0x5F);
    const auto start = steady::now();
    EXPECT_EQ(0, zwif_gw_mode_get(&d, on_mode));
    ASSERT_TRUE(eventually([] { return !modes().empty(); }, late(5300)));
    EXPECT_GE(modes()[0].at - start, early(5300));
    EXPECT_EQ(1, modes()[0].sts);
}

// An answer ends the request: its callback, and no time-out later.
TEST_F(GwCalls, AnAnsweredModeRequestEndsOnce)
{
    gw->on_command(0x5F, 0x02, [](const sim::command_context &) {
        return std::optional<std::vector<sim::command_reply>>{{{{0x5F, 0x03, 0x01}}}};  // stand-alone
    });
    zwif_desc_t d = intf(ctl, 0x5F);
    EXPECT_EQ(0, zwif_gw_mode_get(&d, on_mode));
    ASSERT_TRUE(eventually([] { return !modes().empty(); }));
    EXPECT_EQ(0, modes()[0].sts);
    EXPECT_EQ(1, modes()[0].mode);
    EXPECT_FALSE(modes()[0].peer);
    EXPECT_FALSE(modes()[0].locked);
    std::this_thread::sleep_for(2 * scaled(5300));
    EXPECT_EQ(1u, modes().size()) << "no time-out after the answer";
}

// The timers the network starts for itself (data: the network), through the
// start seam: what each asked for.
std::mutex g_tmr_mtx;
std::vector<uint32_t> g_net_tmr_ms;
plt_tmr_start_fn g_real_start = nullptr;
uint16_t recording_start(plt_tmr_ctx *ctx, uint32_t ms, plt_tmr_fn cb, void *data, int periodic)
{
    if (data == g_net.load()) {
        std::lock_guard lk(g_tmr_mtx);
        g_net_tmr_ms.push_back(ms);
    }
    return g_real_start(ctx, ms, cb, data, periodic);
}

// Key down, held for at least two keep-alive periods, key up: the key-down
// frame, keep-alives (attribute 2) with consecutive sequence numbers, each
// armed for 400 ms, and the key-up frame last, with nothing after it.
TEST_F(GwCalls, AHeldKeyIsKeptAliveUntilItIsReleased)
{
    {
        std::lock_guard lk(g_tmr_mtx);
        g_net_tmr_ms.clear();
    }
    g_real_start = plt_tmr_start_seam_set(recording_start);
    std::unique_ptr<void, void (*)(void *)> restore(&g_real_start, [](void *) { plt_tmr_start_seam_set(nullptr); });

    zwif_desc_t d = intf(n_av, 0x94);
    EXPECT_EQ(0, zwif_av_set(&d, 0x0010, 1));
    ASSERT_TRUE(eventually([&] { return av_frames().size() >= 3; }));
    EXPECT_EQ(0, zwif_av_set(&d, 0x0010, 0));
    ASSERT_TRUE(eventually([&] {
        const auto f = av_frames();
        return !f.empty() && f.back().frame.packet.command[3] == 0x01;
    }));
    // Several periods more: a keep-alive that escaped the key-up would show.
    std::this_thread::sleep_for(5 * scaled(400));
    const auto f = av_frames();
    ASSERT_GE(f.size(), 4u);
    const auto attr = [&](size_t k) { return f[k].frame.packet.command[3]; };
    const auto seq = [&](size_t k) { return f[k].frame.packet.command[2]; };
    EXPECT_EQ(0x00, attr(0)) << "key down";
    for (size_t k = 1; k < f.size(); ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(k + 1 < f.size() ? 0x02 : 0x01, attr(k)) << "keep-alives, then the key-up last";
        EXPECT_EQ(static_cast<uint8_t>(seq(k - 1) + 1), seq(k));
    }
    for (const auto &r : f)
        EXPECT_EQ((bytes{0x00, 0x00, 0x00, 0x10}), bytes(r.frame.packet.command.begin() + 4, r.frame.packet.command.end()));
    size_t armed = 0;
    {
        std::lock_guard lk(g_tmr_mtx);
        armed = static_cast<size_t>(std::count(g_net_tmr_ms.begin(), g_net_tmr_ms.end(), 400u));
    }
    // A 400 ms arming for the key-down and one after each keep-alive (the
    // last one stopped by the key-up).
    EXPECT_EQ(f.size() - 1, armed);
}

}  // namespace
