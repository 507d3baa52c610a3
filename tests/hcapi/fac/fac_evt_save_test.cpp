// Event generation and network save against the gateway simulator: a
// stored command comes back through the report path after its time-out (once
// for a repeated add, at the later deadline), and the node-information file
// is written when the network changed and is idle, again after a failure.
#include "fac_net_support.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

namespace {

using namespace fac_test;

enum : uint8_t { n_sensor = 2 };

std::mutex g_rpt_mtx;
std::vector<std::pair<uint8_t, uint32_t>> g_rpts;  // value, event-generation tick
zwfac_ctx_t *g_rpt_fac = nullptr;

void on_basic(zwif_desc_t *, uint8_t value, time_t)
{
    std::lock_guard lk(g_rpt_mtx);
    g_rpts.emplace_back(value, g_rpt_fac ? g_rpt_fac->tick.load() : 0);
}
std::vector<std::pair<uint8_t, uint32_t>> rpts()
{
    std::lock_guard lk(g_rpt_mtx);
    return g_rpts;
}

class EventGen : public FacNet {
protected:
    void SetUp() override
    {
        {
            std::lock_guard lk(g_rpt_mtx);
            g_rpts.clear();
        }
        config c;
        c.tick_ms = 5;
        c.nodes = {{n_sensor, true, false, false, false, false, {0x20}, 0}};
        ASSERT_NO_FATAL_FAILURE(start_fac(c, &zwnet::evtgen_ctx));
        g_rpt_fac = net_->evtgen_ctx;
        d = intf(n_sensor, 0x20);
        ASSERT_EQ(0, zwif_basic_rpt_set(&d, on_basic));
    }
    void TearDown() override
    {
        FacNet::TearDown();
        g_rpt_fac = nullptr;
    }
    zwif_desc_t d{};
};

// The same clearing event added again within its time-out is generated
// once, at the later deadline: a real report that comes between the two
// deadlines is not followed by a generated one until the second.
TEST_F(EventGen, RepeatedAddGeneratesOnceAtTheLaterDeadline)
{
    const uint8_t clear[] = {0x20, 0x03, 0x00};
    ASSERT_GE(from_node(n_sensor, {0x20, 0x03, 0x63}), 0);
    ASSERT_TRUE(eventually([&] { return rpts().size() == 1; }));
    const uint32_t t1 = tick();
    ASSERT_EQ(0, zwevtgen_evt_add(&d, clear, sizeof clear, 60));
    ASSERT_TRUE(eventually([&] { return tick() - t1 >= 60; }));
    const uint32_t t2 = tick();
    ASSERT_EQ(0, zwevtgen_evt_add(&d, clear, sizeof clear, 60));
    ASSERT_TRUE(eventually([&] { return tick() - t1 >= 130; }));
    ASSERT_GE(from_node(n_sensor, {0x20, 0x03, 0x55}), 0);
    ASSERT_TRUE(eventually([&] { return rpts().size() >= 3; }, 30s));
    ASSERT_TRUE(ticks_pass(20));
    const auto r = rpts();
    ASSERT_EQ(3u, r.size());
    EXPECT_EQ(0x55, r[1].first);
    EXPECT_EQ(0x00, r[2].first);
    EXPECT_GE(r[2].second - t2, 120u);
}

// Removing the node drops its pending events; the limits of an add.
TEST_F(EventGen, NodeRemovalDropsAndLimits)
{
    const uint8_t clear[] = {0x20, 0x03, 0x00};
    ASSERT_EQ(0, zwevtgen_evt_add(&d, clear, sizeof clear, 2));
    ASSERT_EQ(0, zwevtgen_node_rm(net_->evtgen_ctx, n_sensor));
    ASSERT_TRUE(ticks_pass(20));
    EXPECT_TRUE(rpts().empty());

    const uint8_t big[43] = {0x20, 0x03};
    EXPECT_EQ(ZW_ERR_TOO_LARGE, zwevtgen_evt_add(&d, big, 43, 10));
    EXPECT_EQ(ZW_ERR_TOO_LARGE, zwevtgen_evt_add(&d, clear, sizeof clear, 3601));
    EXPECT_EQ(ZW_ERR_VALUE, zwevtgen_evt_add(&d, clear, sizeof clear, 0));
    EXPECT_EQ(ZW_ERR_VALUE, zwevtgen_evt_add(&d, nullptr, 3, 10));
    EXPECT_EQ(0, zwevtgen_evt_add(&d, big, 42, 3600));
}

// --- network save -------------------------------------------------------------

class NetworkSave : public FacNet {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/zw_nwsave_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
        config c;
        c.tick_ms = 1;  // a minute is 600 ms
        c.nodes = {{n_sensor, true, false, false, false, false, {0x20}, 0}};
        ASSERT_NO_FATAL_FAILURE(start_fac(c, &zwnet::nw_save_ctx));
    }
    void TearDown() override
    {
        FacNet::TearDown();
        std::filesystem::remove_all(dir);
    }
    void net_set(const std::string &path, uint8_t op)
    {
        zwnet_lock lk(net_);
        net_->homeid = 0xC0FFEE01;
        net_->nif_path = path;
        net_->curr_op = op;
    }
    void op_set(uint8_t op)
    {
        zwnet_lock lk(net_);
        net_->curr_op = op;
    }
    static bool exists(const std::string &p) { return std::filesystem::exists(p); }
    std::string dir;
};

// A change made while an operation runs is saved at the first tick after
// the network became idle, and not before.
TEST_F(NetworkSave, ChangedNetworkSavedOnceIdle)
{
    const std::string path = dir + "/nifC0FFEE01.dat";
    net_set(path, ZWNET_OP_ADD_NODE);
    zwnwsave_dirty_set(net_->nw_save_ctx);
    ASSERT_TRUE(ticks_pass(2));
    EXPECT_FALSE(exists(path));
    op_set(ZWNET_OP_NONE);
    ASSERT_TRUE(eventually([&] { return exists(path); }, 30s));
    EXPECT_TRUE(eventually([&] { return log_count("Network info saved ...") >= 1; }));
    EXPECT_TRUE(eventually([&] {
        zwnet_lock lk(net_);
        return net_->curr_op == ZWNET_OP_NONE;
    }));
}

// A save that fails keeps the network changed: the next tick tries again,
// without a further change, and succeeds once the folder is there.
TEST_F(NetworkSave, FailedSaveIsRetried)
{
    const std::string sub = dir + "/later";
    const std::string path = sub + "/nifC0FFEE01.dat";
    net_set(path, ZWNET_OP_NONE);
    const size_t fails = log_count("Save node information file '" + path + "' failed");
    zwnwsave_dirty_set(net_->nw_save_ctx);
    ASSERT_TRUE(eventually([&] { return log_count("Save node information file '" + path + "' failed") > fails; }));
    ASSERT_EQ(0, mkdir(sub.c_str(), 0700));
    EXPECT_TRUE(eventually([&] { return exists(path); }, 30s));
}

// Saving inhibited, or no home id: nothing is written.
TEST_F(NetworkSave, InhibitedOrWithoutHomeIdNothingWritten)
{
    const std::string path = dir + "/nifC0FFEE01.dat";
    net_set(path, ZWNET_OP_NONE);
    {
        zwnet_lock lk(net_);
        net_->no_save = 1;
    }
    zwnwsave_dirty_set(net_->nw_save_ctx);
    ASSERT_TRUE(ticks_pass(2));
    EXPECT_FALSE(exists(path));
    {
        zwnet_lock lk(net_);
        net_->no_save = 0;
        net_->homeid = 0;
    }
    ASSERT_TRUE(ticks_pass(2));
    EXPECT_FALSE(exists(path));
    {
        zwnet_lock lk(net_);
        net_->homeid = 0xC0FFEE01;
    }
    EXPECT_TRUE(eventually([&] { return exists(path); }, 30s));
}

}  // namespace
