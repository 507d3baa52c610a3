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
        ASSERT_NO_FATAL_FAILURE(settle());
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
// facility's counter crossing zero on the way); when it wakes up, its
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
    EXPECT_LT(t_add, 0xFFFFFF00u + 30);  // counted from the early start value, across zero
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

}  // namespace
