// zwnet_init and zwnet_exit against the gateway simulator: parameter
// checks, the threads and their names, the end of operation 1 on the
// callback thread without the network mutex, repeated cycles, and an exit
// that does not wait for a callback that blocks.
#include "hc_test_support.h"

namespace {

using namespace hc_test;

const char *const lib_threads[] = {"zwnode_cmd_q", "zwnode_wait_q", "zwnet_req", "zwnet_cb"};

class NetLife : public HcNet {};

TEST_F(NetLife, StartsEveryThreadWithItsNameAndEndsThem)
{
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(eventually([] {
        const auto names = thread_names();
        for (const char *t : lib_threads)
            if (names.count(t) != 1)
                return false;
        return true;
    })) << "library threads missing";
    zwnet_exit(net_);
    net_ = nullptr;
    ASSERT_TRUE(eventually([] {
        const auto names = thread_names();
        for (const char *t : lib_threads)
            if (names.count(t) != 0)
                return false;
        return true;
    })) << "library threads still running";
}

TEST_F(NetLife, InitialisationEndsOnTheCallbackThreadWithoutTheMutex)
{
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(eventually([&] { return rec.count(0) >= 1; }));
    const app_event e = rec.of(0).at(0);
    EXPECT_EQ(ZWNET_OP_INITIALIZE, e.a);
    EXPECT_EQ(ZWNET_OP_STS_DONE, e.b);
    EXPECT_NE(std::this_thread::get_id(), e.tid);
    EXPECT_FALSE(e.mutex_held);
    EXPECT_EQ(&rec, zwnet_get_user(net_));
    EXPECT_NE(0, zwnet_host_port_get(net_));
    EXPECT_LE(1u, log_count("zwnet_init done!"));

    // The controller's own node is the first node, with the id that the
    // gateway gave it.
    zwnode_desc_t first{};
    ASSERT_EQ(0, zwnet_get_node(net_, &first));
    EXPECT_EQ(1, first.nodeid);
}

struct param_case {
    const char *name;
    uint8_t psk_len;
    uint16_t port;
    bool no_dev_cfg;  // neither a file name nor records
    int expected;
};

TEST_F(NetLife, ParameterChecks)
{
    const param_case cases[] = {
        {"short key", 15, 41230, false, ZW_ERR_PSK_TOO_SHORT},
        {"short key on 4123", 15, 4123, false, ZW_ERR_PSK_TOO_SHORT},
        {"key on port 4123", 16, 4123, false, ZW_ERR_DISALLOWED},
        {"key too long", 33, 41230, false, ZW_ERR_VALUE},
        {"no device configuration", 0, 4123, true, ZW_ERR_VALUE},
        {"plain on 4123", 0, 4123, false, 0},
    };
    ASSERT_NO_FATAL_FAILURE(start());
    for (const param_case &c : cases) {
        zwnet_init_t p = params();
        p.psk_len = c.psk_len;
        p.port = c.port;
        if (c.no_dev_cfg)
            p.dev_cfg_file = nullptr;
        zwnet_p other = reinterpret_cast<zwnet_p>(1);
        EXPECT_EQ(c.expected, zwnet_init(&p, &other)) << c.name;
        if (c.expected == 0) {
            ASSERT_NE(nullptr, other);
            zwnet_exit(other);
        } else {
            EXPECT_EQ(nullptr, other) << c.name;
        }
    }
}

TEST(NetTables, ControllerClassMerge)
{
    const zwnet_cls_ent_t builtin[] = {{0x8F, 1, 1}, {0x85, 2, 1}, {0x59, 3, 1}, {0x5A, 1, 1}};
    const zwnet_cls_ent_t extra[] = {{0x85, 3, 0}, {0x5E, 2, 0}, {0x5E, 1, 0}};
    std::vector<zwnet_cls_ent_t> out;
    ASSERT_EQ(0, zwnet_cc_tbl_merge(builtin, 4, extra, 1, out));
    ASSERT_EQ(4u, out.size());
    EXPECT_EQ(2, out[1].ver);  // the built-in Association wins
    ASSERT_EQ(0, zwnet_cc_tbl_merge(builtin, 4, extra, 3, out));
    ASSERT_EQ(5u, out.size());
    EXPECT_EQ(0x5E, out[4].cls);
    EXPECT_EQ(2, out[4].ver);  // the first of equal extra entries
}

TEST(NetTables, ResponderLookups)
{
    const struct {
        std::vector<uint8_t> frame;
        int get;
        uint8_t rpt;
        int set;
    } cases[] = {
        {{0x20, 0x02}, 1, 0x03, 0}, {{0x20, 0x01, 0xFF}, 0, 0, 1}, {{0x72, 0x06}, 1, 0x07, 0},
        {{0x73, 0x04}, 0, 0, 1},    {{0x6C, 0x01, 0x05}, 1, 0x02, 0}, {{0x20}, 0, 0, 0},
        {{0xF1, 0x20}, 0, 0, 0},    {{0x25, 0x02}, 0, 0, 0},
    };
    for (const auto &c : cases) {
        uint16_t cls = 0;
        uint8_t rpt = 0;
        EXPECT_EQ(c.get, zwnet_ctlr_rpt_cmd_find(c.frame.data(), static_cast<uint16_t>(c.frame.size()), &cls, &rpt));
        if (c.get) {
            EXPECT_EQ(c.rpt, rpt);
        }
        EXPECT_EQ(c.set, zwnet_ctlr_set_cmd_find(c.frame.data(), static_cast<uint16_t>(c.frame.size()), &cls));
    }
}

TEST_F(NetLife, FiftyCyclesOfInitAndExit)
{
    ASSERT_NO_FATAL_FAILURE(start({10, {{5}}}));
    for (int i = 0; i < 50; ++i) {
        app_recorder r;
        zwnet_init_t p = params();
        p.user = &r;
        zwnet_p n = nullptr;
        ASSERT_EQ(0, zwnet_init(&p, &n)) << "cycle " << i;
        r.net = n;
        // Half of them exit while the first notification may still be on
        // its way.
        if (i % 2 == 0) {
            ASSERT_TRUE(eventually([&] { return r.count(0) >= 1; }));
        }
        zwnet_exit(n);
    }
}

// An application callback that blocks does not hold up the exit beyond its
// bounded wait for the callback thread; the record lives until the callback
// returns.
TEST_F(NetLife, ExitIsBoundedWhileACallbackBlocks)
{
    std::atomic<bool> in_cb{false}, cb_done{false};
    rec.set_hook([&](const app_event &e) {
        if (e.kind != 0)
            return;
        in_cb = true;
        std::this_thread::sleep_for(12s);
        cb_done = true;
    });
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(eventually([&] { return in_cb.load(); }));
    const auto t0 = steady::now();
    zwnet_exit(net_);
    net_ = nullptr;
    const auto took = steady::now() - t0;
    EXPECT_FALSE(cb_done.load()) << "exit waited for the callback";
    EXPECT_GE(took, 4s);  // it gave the callback thread its bounded wait
    ASSERT_TRUE(eventually([&] { return cb_done.load(); }, 20s));
    ASSERT_TRUE(eventually([] { return thread_names().count("zwnet_cb") == 0; }, 10s));
}

}  // namespace
