// Report poll against the gateway simulator: how many Gets a request gets
// and when, other traffic pushing the next poll back, removals by handle and
// by key, the end of a sleeping node's request, and a stress run of polls
// added and removed while nodes go away.
#include "fac_net_support.h"

namespace {

using namespace fac_test;

enum : uint8_t { n_a = 2, n_b = 3, n_sleeper = 4 };
const std::vector<uint8_t> basic_get{0x20, 0x02};

std::mutex g_done_mtx;
struct poll_done {
    uint16_t handle;
    uint32_t key;
    uint64_t user;
    uint32_t tick;
};
std::vector<poll_done> g_done;
zwfac_ctx_t *g_done_fac = nullptr;

void on_poll_done(zwnet_p, uint16_t handle, uint32_t key, uint64_t user)
{
    std::lock_guard lk(g_done_mtx);
    g_done.push_back({handle, key, user, g_done_fac ? g_done_fac->tick.load() : 0});
}
std::vector<poll_done> done()
{
    std::lock_guard lk(g_done_mtx);
    return g_done;
}

class ReportPoll : public FacNet {
protected:
    void SetUp() override
    {
        {
            std::lock_guard lk(g_done_mtx);
            g_done.clear();
        }
        config c;
        c.tick_ms = 5;
        c.nodes = {{n_a, true, false, false, false, false, {0x20}, 0},
                   {n_b, true, false, false, false, false, {0x20}, 0},
                   {n_sleeper, false, false, true, false, false, {0x20, 0x84}, 0}};
        ASSERT_NO_FATAL_FAILURE(start_fac(c, &zwnet::poll_ctx));
        g_done_fac = net_->poll_ctx;
        answer(0x20, 0x02, {0x20, 0x03, 0x11});
    }
    void TearDown() override
    {
        FacNet::TearDown();
        g_done_fac = nullptr;
    }

    zwpoll_req_t req(uint16_t interval_s, uint16_t count, uint32_t key = 0, uint64_t user = 0)
    {
        zwpoll_req_t r;
        r.key = key;
        r.interval = interval_s;
        r.poll_cnt = count;
        r.cb = on_poll_done;
        r.user = user;
        return r;
    }
    int poll(uint8_t node, zwpoll_req_t &r)
    {
        const zwif_desc_t d = intf(node, 0x20);
        return zwif_get_report_poll(&d, nullptr, 0, 0x02, &r);
    }
};

// The simulator stamps a frame with the tick at which it arrives, which under
// load can lag the tick it left at by one: gaps between stamps get that slack.
constexpr uint32_t stamp_slack = 1;

// The first Get leaves with the add; further Gets are at least 10 s (20 ticks)
// apart and never before the request's interval; a request ends after as
// many Gets as it asked for (short intervals count the intervals that passed
// between two polls), and its callback comes once, at least 10 s after the
// last Get.
TEST_F(ReportPoll, GetsOfARequestAndItsEnd)
{
    struct tcase {
        uint16_t interval_s;
        uint16_t count;
        size_t gets;
    };
    const tcase cases[] = {
        {1, 3, 2},   // repeat count 6: the second poll, 10 s on, counts ten intervals
        {15, 3, 3},  // one Get per interval
        {0, 2, 2},   // interval 0 is 10 s
        {20, 1, 1},  // one poll: the Get at the add
    };
    uint64_t user = 100;
    for (const tcase &c : cases) {
        SCOPED_TRACE("interval " + std::to_string(c.interval_s) + " count " + std::to_string(c.count));
        ++user;
        const size_t before = seen_count(n_a, basic_get);
        const uint32_t t0 = tick();
        zwpoll_req_t r = req(c.interval_s, c.count, 7, user);
        ASSERT_EQ(0, poll(n_a, r));
        EXPECT_NE(0, r.handle);
        ASSERT_TRUE(eventually([&] {
            for (const poll_done &d : done())
                if (d.user == user)
                    return true;
            return false;
        }, 60s));
        const auto gets = seen(n_a, basic_get);
        ASSERT_EQ(before + c.gets, gets.size());
        const uint32_t intv = c.interval_s != 0 ? c.interval_s * 2u : 20u;
        for (size_t k = before + 1; k < gets.size(); ++k) {
            EXPECT_GE(gets[k].tick - gets[k - 1].tick + stamp_slack, 20u);
            EXPECT_GE(gets[k].tick - t0 + stamp_slack, intv * (k - before));
        }
        std::vector<poll_done> mine;
        for (const poll_done &d : done())
            if (d.user == user)
                mine.push_back(d);
        ASSERT_EQ(1u, mine.size());
        EXPECT_EQ(r.handle, mine[0].handle);
        EXPECT_EQ(7u, mine[0].key);
        EXPECT_GE(mine[0].tick, gets.back().tick);
    }
}

// A transmission anywhere pushes the next poll at least 10 s past it (and
// past the time that has gone by since the last poll).
TEST_F(ReportPoll, OtherTrafficPostponesTheNextPoll)
{
    zwpoll_req_t r = req(1, 0);
    ASSERT_EQ(0, poll(n_a, r));
    ASSERT_TRUE(eventually([&] { return seen_count(n_a, basic_get) >= 2; }, 30s));
    const uint32_t p2 = seen(n_a, basic_get)[1].tick;
    ASSERT_TRUE(ticks_pass(10));
    const zwif_desc_t b = intf(n_b, 0x20);
    ASSERT_EQ(0, zwif_basic_set(&b, 0x30));
    ASSERT_TRUE(eventually([&] { return seen_count(n_b, {0x20, 0x01}) == 1; }));
    const uint32_t t_set = seen(n_b, {0x20, 0x01})[0].tick;
    ASSERT_TRUE(eventually([&] { return seen_count(n_a, basic_get) >= 3; }, 30s));
    const uint32_t p3 = seen(n_a, basic_get)[2].tick;
    EXPECT_GE(p3 - t_set + stamp_slack, 20u);
    EXPECT_GE(p3 - p2 + stamp_slack, (t_set - p2) + 20u);
}

// Removal by handle takes one request, by key all of that key, by node all
// of the node; none of them calls back, and what is not there is -1.
TEST_F(ReportPoll, RemovalsByHandleKeyAndNode)
{
    zwpoll_req_t k1a = req(20, 0, 0xAA), k1b = req(20, 0, 0xAA), k2 = req(20, 0, 0xBB), nb = req(20, 0, 0xCC);
    ASSERT_EQ(0, poll(n_a, k1a));
    ASSERT_EQ(0, poll(n_a, k1b));
    ASSERT_EQ(0, poll(n_a, k2));
    ASSERT_EQ(0, poll(n_b, nb));
    EXPECT_EQ(4u, std::set<uint16_t>({k1a.handle, k1b.handle, k2.handle, nb.handle}).size());

    EXPECT_EQ(0, zwnet_poll_rm(net_, k2.handle));
    EXPECT_EQ(ZW_ERR_FAILED, zwnet_poll_rm(net_, k2.handle));
    EXPECT_EQ(0, zwnet_poll_rm_key(net_, 0xAA));
    EXPECT_EQ(ZW_ERR_FAILED, zwnet_poll_rm(net_, k1a.handle));
    EXPECT_EQ(ZW_ERR_FAILED, zwnet_poll_rm(net_, k1b.handle));
    EXPECT_EQ(ZW_ERR_FAILED, zwnet_poll_rm_key(net_, 0xAA));
    {
        zwnet_lock lk(net_);
        EXPECT_EQ(0, zwpoll_node_rm(net_, n_b));
        EXPECT_EQ(ZW_ERR_FAILED, zwpoll_node_rm(net_, n_b));
    }
    // Nothing is polled any more: the first Gets only.
    ASSERT_TRUE(eventually([&] { return seen_count(n_a, basic_get) == 3 && seen_count(n_b, basic_get) == 1; }));
    const size_t a = seen_count(n_a, basic_get), b = seen_count(n_b, basic_get);
    ASSERT_TRUE(ticks_pass(100));
    EXPECT_EQ(a, seen_count(n_a, basic_get));
    EXPECT_EQ(b, seen_count(n_b, basic_get));
    EXPECT_TRUE(done().empty());
}

TEST_F(ReportPoll, RefusesAGetWithoutReportAndLongParameters)
{
    zwpoll_req_t r = req(5, 1);
    const zwif_desc_t d = intf(n_a, 0x20);
    EXPECT_EQ(ZW_ERR_RPT_NOT_FOUND, zwif_get_report_poll(&d, nullptr, 0, 0x05, &r));
    const uint8_t params[30] = {};
    EXPECT_EQ(ZW_ERR_MEMORY, zwif_get_report_poll(&d, params, 30, 0x02, &r));
    zwif_desc_t gone = d;
    gone.nodeid = 77;
    EXPECT_EQ(ZW_ERR_NODE_NOT_FOUND, zwif_get_report_poll(&gone, nullptr, 0, 0x02, &r));
    EXPECT_EQ(0, r.handle);
}

// A sleeping node's request ends interval x (count - 1) after it was added:
// with the largest interval and count that is years, not a product that
// wrapped to a deadline already passed.
TEST_F(ReportPoll, SleepingNodeEndDoesNotWrap)
{
    zwpoll_req_t big = req(65535, 65535, 0, 1);
    zwpoll_req_t small = req(1, 2, 0, 2);  // 2 s: ends soon, as a witness
    ASSERT_EQ(0, poll(n_sleeper, big));
    ASSERT_EQ(0, poll(n_sleeper, small));
    ASSERT_TRUE(eventually([&] { return !done().empty(); }, 30s));
    ASSERT_TRUE(ticks_pass(20));
    const auto d = done();
    ASSERT_EQ(1u, d.size());
    EXPECT_EQ(2u, d[0].user);
    // Queued for the sleeping node, not sent.
    EXPECT_EQ(0u, seen_count(n_sleeper, basic_get));
}

// Polls added and removed from several threads while nodes are freed (the
// network mutex held, the poll facility's lock taken inside) and the
// facility sends: no deadlock, and every thread finishes.
TEST_F(ReportPoll, StressAddRemoveWhileNodesGo)
{
    std::atomic<bool> stop{false};
    std::atomic<int> adds{0};
    auto adder = [&](uint32_t key) {
        std::mt19937 rng(key);
        while (!stop) {
            const uint8_t node = static_cast<uint8_t>(10 + rng() % 20);
            zwif_desc_t d{};
            if (zwnet_if_desc_get(net_, node, 0, 0x20, &d) == 0) {
                zwpoll_req_t r = req(static_cast<uint16_t>(rng() % 3), static_cast<uint16_t>(rng() % 4), key);
                if (zwif_get_report_poll(&d, nullptr, 0, 0x02, &r) == 0)
                    ++adds;
                if (rng() % 2)
                    zwnet_poll_rm(net_, r.handle);
            }
            if (rng() % 8 == 0)
                zwnet_poll_rm_key(net_, key);
            std::this_thread::sleep_for(1ms);
        }
    };
    auto remover = [&] {
        std::mt19937 rng(99);
        while (!stop) {
            const uint8_t node = static_cast<uint8_t>(10 + rng() % 20);
            {
                zwnet_lock lk(net_);
                if (zwnode_find(&net_->ctl, node) != nullptr)
                    zwnet_node_free(net_, node);
            }
            {
                zwnet_lock lk(net_);
                if (zwnode_find(&net_->ctl, node) == nullptr) {
                    zwnode_p n = zwnode_create(net_, node);
                    if (n != nullptr)
                        zwif_attach(&n->ep, zwif_create(0x20, 1, IF_PROPTY_UNSECURE));
                }
            }
            std::this_thread::sleep_for(2ms);
        }
    };
    {
        zwnet_lock lk(net_);
        for (uint8_t id = 10; id < 30; ++id) {
            zwnode_p n = zwnode_create(net_, id);
            ASSERT_NE(nullptr, n);
            zwif_attach(&n->ep, zwif_create(0x20, 1, IF_PROPTY_UNSECURE));
        }
    }
    std::vector<std::thread> ts;
    for (uint32_t k = 1; k <= 3; ++k)
        ts.emplace_back(adder, k);
    ts.emplace_back(remover);
    std::this_thread::sleep_for(3s);
    stop = true;
    for (auto &t : ts)
        t.join();
    EXPECT_GT(adds.load(), 0);
    // The facility still works.
    zwpoll_req_t r = req(20, 1, 0, 55);
    ASSERT_EQ(0, poll(n_a, r));
    EXPECT_TRUE(eventually([&] {
        for (const poll_done &d : done())
            if (d.user == 55)
                return true;
        return false;
    }, 30s));
}

}  // namespace
