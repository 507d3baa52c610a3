// The facilities that watch sleeping nodes, against the gateway simulator:
// node status polling (missed wake-ups, late wake-ups, probes of awake
// nodes) and the wake-up notification poll (probes that the gateway holds
// for a sleeping node and delivers when it wakes).
#include "fac_net_support.h"

#include "hcapi/zip/zip_appl.h"

namespace {

using namespace fac_test;

enum : uint8_t { n_sleep = 4, n_late = 5, n_awake = 6 };
const std::vector<uint8_t> intv_get{0x84, 0x05};
const std::vector<uint8_t> nop{0x00};

class NodeStatus : public FacNet {
protected:
    void SetUp() override
    {
        config c;
        c.tick_ms = 3;
        c.nodes = {{n_sleep, false, false, true, false, false, {0x20, 0x84}, 0},
                   {n_late, false, false, true, false, false, {0x20, 0x84}, 0},
                   {n_awake, false, false, true, false, false, {0x20, 0x84}, 0}};
        ASSERT_NO_FATAL_FAILURE(start_fac(c, &zwnet::nspoll_ctx));
        zwnspoll_flush(net_->nspoll_ctx);
        answer(0x84, 0x05, {0x84, 0x06, 0x00, 0x00, 0x78, 0x01});  // 120 s
    }
    uint8_t sts(uint8_t node) { return appl_node_sts_get(net_->appl.get(), node); }
    void intv_set(uint8_t node, uint32_t s)
    {
        zwnet_lock lk(net_);
        zwnode_find(&net_->ctl, node)->wkup_intv = s;
    }
    void wake(uint8_t node) { ASSERT_GE(from_node(node, {0x84, 0x07}), 0); }
};

// A node that misses its wake-up by more than 20 s is marked down (the
// facility's counter, started just below zero, crosses it on the way); when
// it wakes up, its
// interval is read again and it is alive.
TEST_F(NodeStatus, MissedWakeUpMarksDownAndWakingClearsIt)
{
    intv_set(n_sleep, 250);
    const uint32_t t_add = tick();
    zwnspoll_node_add_all(net_->nspoll_ctx);
    EXPECT_EQ(APPL_NODE_STS_SLEEP, sts(n_sleep));
    ASSERT_TRUE(eventually([&] { return sts(n_sleep) == APPL_NODE_STS_DOWN; }, 60s));
    const uint32_t t_down = tick();
    EXPECT_GE(t_down - t_add, 270u);
    EXPECT_TRUE(eventually([&] {
        for (const app_event &e : rec.of(1))
            if (e.a == n_sleep && e.b == ZWNET_NODE_STATUS_DOWN)
                return true;
        return false;
    }));
    EXPECT_EQ(0u, seen_count(n_sleep, intv_get));
    wake(n_sleep);
    EXPECT_TRUE(eventually([&] { return seen_count(n_sleep, intv_get) == 1; }));
    EXPECT_TRUE(eventually([&] { return sts(n_sleep) == APPL_NODE_STS_ALIVE; }));
}

// A wake-up before its time is not late; one 31 s or more after the
// expected wake-up of a node that stayed awake is, and the interval is read.
TEST_F(NodeStatus, LateWakeUpRereadsTheInterval)
{
    intv_set(n_late, 60);
    const uint32_t t_add = tick();
    zwnspoll_node_add_all(net_->nspoll_ctx);
    ASSERT_TRUE(eventually([&] { return tick() - t_add >= 40; }));
    wake(n_late);
    ASSERT_TRUE(eventually([&] { return sts(n_late) == APPL_NODE_STS_ALIVE; }));
    const uint32_t t_wake = tick();
    // Awake: it answers probes from now on and so is never marked down.
    ASSERT_TRUE(eventually([&] { return tick() - t_wake >= 60 + 45; }, 60s));
    EXPECT_EQ(0u, seen_count(n_late, intv_get));
    EXPECT_GE(seen_count(n_late, nop), 1u);
    wake(n_late);
    EXPECT_TRUE(eventually([&] { return seen_count(n_late, intv_get) == 1; }));
}

// A node added awake is probed 20 s later; when it answers it stays alive
// and is probed again 200 s on; when its probe fails it is sleeping.
TEST_F(NodeStatus, ProbesOfANodeAddedAwake)
{
    struct tcase {
        bool answers;
        uint8_t status;
    };
    for (const tcase c : {tcase{false, APPL_NODE_STS_SLEEP}, tcase{true, APPL_NODE_STS_ALIVE}}) {
        SCOPED_TRACE(c.answers ? "answers" : "probe fails");
        const uint8_t node = c.answers ? n_awake : n_late;
        if (!c.answers)
            gw->policy().set_default(sim::behaviour::nack());
        const uint32_t t_add = tick();
        ASSERT_EQ(0, zwnspoll_node_add(net_->nspoll_ctx, node, 0, 600));
        ASSERT_TRUE(eventually([&] { return seen_count(node, nop) >= 1; }, 30s));
        EXPECT_GE(seen(node, nop)[0].tick - t_add, 20u);
        if (c.answers) {
            ASSERT_TRUE(eventually([&] { return seen_count(node, nop) >= 2; }, 60s));
            const auto p = seen(node, nop);
            EXPECT_GE(p[1].tick - p[0].tick, 200u);
        }
        EXPECT_TRUE(eventually([&] { return sts(node) == c.status; }));
        gw->policy().set_default(sim::behaviour::ack());
    }
    EXPECT_EQ(ZW_ERR_VALUE, zwnspoll_node_add(net_->nspoll_ctx, n_awake, 1, 600));
}

// --- wake-up notification poll ----------------------------------------------

class WakeUpPoll : public FacNet {
protected:
    void SetUp() override
    {
        config c;
        c.tick_ms = 3;
        c.nodes = {{n_sleep, false, false, true, false, false, {0x20, 0x84}, 0}};
        ASSERT_NO_FATAL_FAILURE(start_fac(c, &zwnet::wupoll_ctx));
        // What the network does for a gateway that holds a sleeping node's
        // frames: the selector option, and the facility started late.
        net_->appl->sel_opt = 1;
        auto *ctx = new zwfac_ctx_t;
        ctx->net = net_;
        ASSERT_EQ(0, zwwupoll_init(ctx));
        net_->wupoll_ctx = ctx;
        use_fac(ctx);
    }
    size_t notifications() { return log_count("Wake up notification received"); }
};

// A probe that the gateway holds for the sleeping node and delivers later
// makes one Wake Up Notification: the node's queued command goes out once.
TEST_F(WakeUpPoll, HeldProbeDeliveredLateGivesOneNotification)
{
    const zwif_desc_t d = intf(n_sleep, 0x20);
    ASSERT_EQ(1, zwif_basic_set(&d, 0x10));  // queued for the sleeping node
    gw->policy().push_next(sim::behaviour::nack_waiting(60, scaled(20000)));
    const size_t before = notifications();
    const uint32_t t_add = tick();
    ASSERT_EQ(0, zwwupoll_node_add(net_->wupoll_ctx, n_sleep, 300));
    ASSERT_TRUE(eventually([&] { return seen_count(n_sleep, nop) >= 1; }, 30s));
    EXPECT_GE(seen(n_sleep, nop)[0].tick - t_add, 10u);
    ASSERT_TRUE(eventually([&] { return seen_count(n_sleep, {0x20, 0x01, 0x10}) == 1; }, 30s));
    EXPECT_EQ(before + 1, notifications());
    // The next probe, 180 s on, is acknowledged at once: nothing more.
    ASSERT_TRUE(eventually([&] { return seen_count(n_sleep, nop) >= 2; }, 60s));
    ASSERT_TRUE(ticks_pass(20));
    EXPECT_EQ(before + 1, notifications());
    EXPECT_EQ(1u, seen_count(n_sleep, {0x20, 0x01, 0x10}));
}

// A delivery seen for a node whose probe is not held does nothing; a node
// added with interval 0 is never probed.
TEST_F(WakeUpPoll, DeliveryWithoutHeldProbeAndIntervalZero)
{
    const size_t before = notifications();
    ASSERT_EQ(0, zwwupoll_node_add(net_->wupoll_ctx, n_sleep, 0));
    ASSERT_TRUE(ticks_pass(30));
    EXPECT_EQ(0u, seen_count(n_sleep, nop));
    ASSERT_EQ(0, zwwupoll_node_add(net_->wupoll_ctx, n_sleep, 300));
    zwwupoll_tx_sts_cb(net_->appl.get(), 0, net_->wupoll_ctx, n_sleep);  // idle
    ASSERT_TRUE(eventually([&] { return seen_count(n_sleep, nop) >= 1; }, 30s));
    zwwupoll_tx_sts_cb(net_->appl.get(), 0, net_->wupoll_ctx, n_sleep);  // probe acknowledged: idle again
    ASSERT_TRUE(ticks_pass(20));
    EXPECT_EQ(before, notifications());
}

// --- device poll ------------------------------------------------------------

// The network layer's single-endpoint interview does not exist yet: this
// stand-in records each endpoint it is asked to start and lets the test end
// it.
std::mutex g_sm_mtx;
std::vector<std::pair<uint8_t, uint8_t>> g_sm_starts;  // node, endpoint
zwdpoll_ep_done_fn g_sm_done = nullptr;
std::atomic<int> g_aborts{0};

int fake_ep_sm(zwnet_p, uint8_t node_id, uint8_t ep_id, zwdpoll_ep_done_fn done)
{
    std::lock_guard lk(g_sm_mtx);
    g_sm_starts.emplace_back(node_id, ep_id);
    g_sm_done = done;
    return 1;
}
void fake_abort(zwnet_p) { ++g_aborts; }
std::vector<std::pair<uint8_t, uint8_t>> sm_starts()
{
    std::lock_guard lk(g_sm_mtx);
    return g_sm_starts;
}

enum : uint8_t { n_multi = 7 };

class DevicePoll : public FacNet {
protected:
    void SetUp() override
    {
        {
            std::lock_guard lk(g_sm_mtx);
            g_sm_starts.clear();
        }
        g_aborts = 0;
        config c;
        c.tick_ms = 5;
        c.nodes = {{n_sleep, false, false, true, false, false, {0x20, 0x84}, 0},
                   {n_multi, false, false, true, false, false, {0x20, 0x84}, 2}};
        ASSERT_NO_FATAL_FAILURE(start_fac(c, &zwnet::dpoll_ctx));
        zwdpoll_hooks_set(net_->dpoll_ctx, fake_ep_sm, fake_abort);
    }
    void op_set(uint8_t op)
    {
        zwnet_lock lk(net_);
        net_->curr_op = op;
    }
    uint8_t op()
    {
        zwnet_lock lk(net_);
        return net_->curr_op;
    }
    // Ends the endpoint interview that runs now.
    void ep_done(uint8_t node)
    {
        zwdpoll_ep_done_fn done;
        {
            std::lock_guard lk(g_sm_mtx);
            done = g_sm_done;
        }
        ASSERT_NE(nullptr, done);
        done(net_, node);
    }
    void wkup(uint8_t node)
    {
        const zwnode_desc_t d = this->node(node);
        zwdpoll_wkup(net_->dpoll_ctx, &d);
    }
    using starts = std::vector<std::pair<uint8_t, uint8_t>>;
};

// A woken node is interviewed endpoint after endpoint as operation 16, and
// the network is idle again afterwards.
TEST_F(DevicePoll, WokenNodeIsInterviewedEndpointByEndpoint)
{
    ASSERT_GE(from_node(n_multi, {0x84, 0x07}), 0);
    ASSERT_TRUE(eventually([&] { return sm_starts().size() == 1; }));
    EXPECT_EQ(ZWNET_OP_NODE_CACHE_UPT, op());
    ASSERT_NO_FATAL_FAILURE(ep_done(n_multi));
    ASSERT_NO_FATAL_FAILURE(ep_done(n_multi));
    ASSERT_NO_FATAL_FAILURE(ep_done(n_multi));
    EXPECT_EQ((starts{{n_multi, 0}, {n_multi, 1}, {n_multi, 2}}), sm_starts());
    EXPECT_EQ(ZWNET_OP_NONE, op());
}

// A node that wakes while an inclusion runs is queued (twice waking: once)
// and polled when the inclusion has ended; one that wakes during another
// node's wake-up poll waits for it.
TEST_F(DevicePoll, WakeUpsDuringOtherOperationsAreQueuedOnce)
{
    op_set(ZWNET_OP_ADD_NODE);
    const size_t queued = log_count("Wake up, queued for polling!");
    wkup(n_sleep);
    wkup(n_sleep);
    ASSERT_TRUE(eventually([&] { return log_count("Wake up, queued for polling!") == queued + 2; }));
    ASSERT_TRUE(ticks_pass(4));
    EXPECT_TRUE(sm_starts().empty());
    op_set(ZWNET_OP_NONE);
    ASSERT_TRUE(eventually([&] { return sm_starts().size() == 1; }));
    wkup(n_multi);  // during n_sleep's poll
    ASSERT_TRUE(eventually([&] { return log_count("Wake up, queued for polling!") == queued + 3; }));
    ASSERT_NO_FATAL_FAILURE(ep_done(n_sleep));
    ASSERT_TRUE(eventually([&] { return sm_starts().size() == 2; }));
    ASSERT_TRUE(ticks_pass(6));
    EXPECT_EQ((starts{{n_sleep, 0}, {n_multi, 0}}), sm_starts());
}

// Operation 16 busy with something other than a wake-up poll is cancelled
// for the woken node, which is polled at once.
TEST_F(DevicePoll, WakeUpCancelsLowerPriorityPolling)
{
    op_set(ZWNET_OP_NODE_CACHE_UPT);
    wkup(n_sleep);
    ASSERT_TRUE(eventually([&] { return sm_starts().size() == 1; }));
    EXPECT_EQ(1, g_aborts.load());
    EXPECT_GE(log_count("Wake up, cancelled lower priority polling!"), 1u);
    EXPECT_EQ((starts{{n_sleep, 0}}), sm_starts());
}

TEST_F(DevicePoll, StartRefusals)
{
    EXPECT_EQ(ZW_ERR_UNSUPPORTED, zwdpoll_node_updt_sm_start(net_, net_->ctl.nodeid));
    EXPECT_EQ(ZW_ERR_NODE_NOT_FOUND, zwdpoll_node_updt_sm_start(net_, 99));
    op_set(ZWNET_OP_ADD_NODE);
    EXPECT_EQ(ZW_ERR_LAST_OP_NOT_DONE, zwdpoll_node_updt_sm_start(net_, n_sleep));
    op_set(ZWNET_OP_NONE);
    zwdpoll_hooks_set(net_->dpoll_ctx, nullptr, nullptr);
    EXPECT_EQ(ZW_ERR_FAILED, zwdpoll_node_updt_sm_start(net_, n_sleep));
    EXPECT_EQ(ZWNET_OP_NONE, op());
}

}  // namespace
