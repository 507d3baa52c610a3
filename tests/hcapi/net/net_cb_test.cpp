// The callback queue and thread: the helper that releases the network mutex
// around application calls at any depth, node status from the application
// layer, the notifications that never reach the application, posting order,
// facility results, and callbacks that call back into the library.
#include "hc_test_support.h"

#include "hcapi/core/zwsend.h"

namespace {

using namespace hc_test;

class CbQueue : public HcNet {
protected:
    void SetUp() override
    {
        config c;
        c.nodes = {{5, true, false, false, false, false, {0x20, 0x26}, 0},
                   {8, false, false, true, false, false, {0x20, 0x84}, 0}};
        ASSERT_NO_FATAL_FAILURE(start(c));
        ASSERT_TRUE(eventually([&] { return rec.count(0) >= 1; }));
    }
};

TEST_F(CbQueue, AppCallReleasesTheMutexAtAnyDepth)
{
    zwnet_lck(net_);
    zwnet_lck(net_);
    ASSERT_EQ(2, zwnet_lck_depth(net_));
    bool other_got_it = false;
    int depth_inside = -1;
    zwnet_app_call(net_, [&] {
        depth_inside = zwnet_lck_depth(net_);
        std::thread t([&] {
            zwnet_lock lk(net_);
            other_got_it = true;
        });
        t.join();
    });
    EXPECT_EQ(0, depth_inside);
    EXPECT_TRUE(other_got_it);
    EXPECT_EQ(2, zwnet_lck_depth(net_));
    zwnet_ulck(net_);
    zwnet_ulck(net_);
    EXPECT_EQ(0, zwnet_lck_depth(net_));
}

TEST_F(CbQueue, NodeStatusReachesTheNodeCallback)
{
    appl_node_sts_set(net_->appl.get(), 5, APPL_NODE_STS_DOWN, 1);
    ASSERT_TRUE(eventually([&] { return rec.count(1) >= 1; }));
    app_event e = rec.of(1).at(0);
    EXPECT_EQ(5, e.a);
    EXPECT_EQ(ZWNET_NODE_STATUS_DOWN, static_cast<uint32_t>(e.b));
    EXPECT_NE(std::this_thread::get_id(), e.tid);
    EXPECT_FALSE(e.mutex_held);

    // Not for a node the library does not hold; not before zwnet_init ends.
    appl_node_sts_set(net_->appl.get(), 77, APPL_NODE_STS_DOWN, 1);
    net_->node_sts_ena = 0;
    appl_node_sts_set(net_->appl.get(), 5, APPL_NODE_STS_ALIVE, 1);
    net_->node_sts_ena = 1;
    zwnet_node_sts_notify(net_, 5, ZWNET_NODE_REMOVED);
    ASSERT_TRUE(eventually([&] { return rec.count(1) >= 2; }));
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(2u, rec.count(1));
    e = rec.of(1).at(1);
    EXPECT_EQ(5, e.a);
    EXPECT_EQ(ZWNET_NODE_REMOVED, static_cast<uint32_t>(e.b));
}

TEST_F(CbQueue, NotificationsInPostingOrderWithoutSleepingNodeUpdates)
{
    zwnet_notify(net_, ZWNET_OP_UPDATE, 1, nullptr);
    zwnet_notify(net_, ZWNET_OP_SLEEP_NODE_UPT, ZWNET_OP_STS_DONE, nullptr);  // only marks for saving
    zwnet_notify(net_, ZWNET_OP_SLEEP_NODE_UPT, ZWNET_OP_STS_FAILED, nullptr);
    zwnet_op_info_t info{7, "12345"};
    zwnet_notify(net_, ZWNET_OP_UPDATE, ZWNET_OP_STS_DONE, &info);
    ASSERT_TRUE(eventually([&] { return rec.count(0) >= 4; }));
    std::this_thread::sleep_for(100ms);
    const auto all = rec.of(0);
    ASSERT_EQ(4u, all.size());  // the first is operation 1's end
    EXPECT_EQ(ZWNET_OP_UPDATE, all[1].a);
    EXPECT_EQ(1, all[1].b);
    EXPECT_EQ(ZWNET_OP_SLEEP_NODE_UPT, all[2].a);
    EXPECT_EQ(ZWNET_OP_STS_FAILED, all[2].b);
    EXPECT_EQ(ZWNET_OP_UPDATE, all[3].a);
    EXPECT_EQ(ZWNET_OP_STS_DONE, all[3].b);
}

std::atomic<int> g_fac_results{0};
std::atomic<uint32_t> g_fac_status{0};
std::atomic<bool> g_fac_locked{false};
zwnet_p g_fac_net = nullptr;
void on_fac_result(zwnet_p net, uint8_t node_id, uint8_t, uint16_t cls, uint64_t user, uint32_t status)
{
    g_fac_locked = zwnet_lck_depth(net) != 0 || net != g_fac_net || node_id != 8 || cls != 0x20 || user != 99;
    g_fac_status = status;
    ++g_fac_results;
}

TEST_F(CbQueue, PostSetPollOfASleepingNodeAnswersNoPollThroughTheCallbackThread)
{
    g_fac_net = net_;
    const zwif_desc_t i = intf(8, 0x20);
    EXPECT_EQ(0, zwif_post_set_poll(&i, 0x63, 0x02, on_fac_result, 99));
    ASSERT_TRUE(eventually([] { return g_fac_results.load() >= 1; }));
    EXPECT_EQ(2u, g_fac_status.load());
    EXPECT_FALSE(g_fac_locked.load());
    // A Multilevel Switch that cannot be read back.
    const zwif_desc_t level = intf(5, 0x26);
    EXPECT_EQ(ZW_ERR_UNSUPPORTED, zwif_post_set_poll(&level, 0x63, 0x02, nullptr, 0));
}

TEST_F(CbQueue, ACallbackMayCallTheLibrary)
{
    std::atomic<int> found{-1};
    rec.set_hook([&](const app_event &e) {
        if (e.kind != 2)
            return;
        zwnode_desc_t d{};
        found = zwnet_node_desc_get(net_, 5, &d);
        // And send from the callback thread of the application layer.
        const uint8_t get[] = {0x20, 0x02};
        zwif_desc_t i{};
        zwnet_if_desc_get(net_, 5, 0, 0x20, &i);
        zwif_exec(&i, get, sizeof get, nullptr, nullptr, 0, nullptr);
    });
    const zwif_desc_t basic = intf(5, 0x20);
    const uint8_t set[] = {0x20, 0x01, 0x10};
    ASSERT_EQ(0, zwif_exec(&basic, set, sizeof set, zwif_tx_sts_cb, nullptr, 0, nullptr));
    ASSERT_TRUE(eventually([&] { return found.load() != -1; }));
    EXPECT_EQ(0, found.load());
    EXPECT_TRUE(wait_cmd(5, {0x20, 0x02}, 10s));
}

}  // namespace
