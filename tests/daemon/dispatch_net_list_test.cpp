// The network list: its start of the scene library, the hash with the
// fixed key, lookups with references, and the stop-thread array.
#include "dispatch_support.h"

#include "daemon/zwp_runtime.h"
#include "scene/zwscn.h"

namespace {

using namespace dispatch_test;

struct net_list_fixture : ::testing::Test {
    zw_test::log_capture log;
    zwp_net_config_t config{};
    zwp_net_list_t *list = nullptr;
    char var_dir[16] = "/var/x";
    char dev_cfg[16] = "/etc/dev.json";

    void SetUp() override
    {
        ASSERT_EQ(zwu_apr_init(0, nullptr), 0);
        config.report_wait_timeout = 11;
        config.gw_auto_set_to_local = 1;
        config.var_dir = var_dir;
        config.dev_cfg_file = dev_cfg;
        ASSERT_EQ(zwu_thread_name_set("dispatch_test", nullptr), 0);
        ASSERT_EQ(zwp_net_list_init(&list, &config, nullptr), 0);
    }
    void TearDown() override
    {
        zwp_net_list_exit(list);
        zwu_apr_exit();
    }
};

TEST_F(net_list_fixture, StartsTheSceneLibraryOnAThreadNamedScene)
{
    EXPECT_EQ(zwscn_is_running(), 1);
    char name[16];
    zwscn_init_thread_name_get(name, sizeof name);
    EXPECT_STREQ(name, "Scene");
    char now[ZWU_THREAD_NAME_SIZE];
    ASSERT_EQ(zwu_thread_name_get(now), 0);
    EXPECT_STREQ(now, "dispatch_test") << "the caller's name comes back";

    zwp_net_list_t *again = nullptr;
    EXPECT_EQ(zwp_net_list_init(&again, &config, nullptr), 0);
    EXPECT_EQ(again, list);
    EXPECT_TRUE(log.has("[warning] Multiple calls to singleton object\n"));

    EXPECT_EQ(zwp_net_list_report_wait_timeout_get(list), 11u);
    EXPECT_EQ(zwp_net_list_gw_auto_set_to_local_get(list), 1);
    EXPECT_STREQ(zwp_net_list_var_dir_get(list), "/var/x");
    EXPECT_STREQ(zwp_net_list_dev_cfg_file_get(list), "/etc/dev.json");
    EXPECT_NE(zwp_net_list_pool_get(list), nullptr);
    // The gateway-selection record exists, though no gateway was found.
    EXPECT_NE(zwp_net_list_zwave_client_get(list), nullptr);
    EXPECT_EQ(zwp_net_list_zwave_client_set(list, nullptr), 22);
    EXPECT_EQ(zwp_net_list_zwave_client_lock(list), 0);
    EXPECT_EQ(zwp_net_list_zwave_client_unlock(list), 0);

    zwp_net_list_exit(list);
    EXPECT_EQ(zwscn_is_running(), 0);
    ASSERT_EQ(zwp_net_list_init(&list, &config, nullptr), 0);
}

TEST_F(net_list_fixture, LookupByIdTakesAReference)
{
    fake_net net;
    zwp_net_t *found = nullptr;
    EXPECT_EQ(zwp_net_list_get_by_id(list, "01-02-03-04-05-06-07-08", &found), 2) << "absent";
    ASSERT_EQ(zwp_net_list_add(list, net.handle()), 0);

    const struct {
        const char *id;
        int result;
    } cases[] = {
        {"01-02-03-04-05-06-07-08", 0},
        {"01-02-03-04-05-06-07-08", 0},
        {"01-02-03-04-05-06-07-09", 2},
        {"AA-BB-CC-DD-EE-FF-00-11", 2},
        {"0a-0B-0c-0D-0e-0F-10-11", 2},
        {"01-02-03-04-05-06-07", 22},
        {"01-02-03-04-05-06-07-08-09", 22},
        {"01-02-03-04-05-06-07-0g", 22},
        {"", 22},
        {nullptr, 22},
    };
    int refs = 0;
    for (const auto &c : cases) {
        found = nullptr;
        EXPECT_EQ(zwp_net_list_get_by_id(list, c.id, &found), c.result) << (c.id ? c.id : "null");
        if (c.result == 0) {
            EXPECT_EQ(found, net.handle());
            refs++;
        }
    }
    EXPECT_EQ(net.refs.load(), refs);
    EXPECT_TRUE(log.has("[error] Invalid value '01-02-03-04-05-06-07-0g' for Network ID\n"));

    found = nullptr;
    EXPECT_EQ(zwp_net_list_net_get(list, &found), 0);
    EXPECT_EQ(found, net.handle());
    EXPECT_EQ(net.refs.load(), refs + 1);

    zwp_net_t *other = reinterpret_cast<zwp_net_t *>(uintptr_t{0x40});
    EXPECT_EQ(zwp_net_list_remove(list, other, 1), 2);
    EXPECT_TRUE(log.contains("in the list of connected networks"));
    EXPECT_EQ(zwp_net_list_remove(list, net.handle(), 1), 0);
    EXPECT_EQ(zwp_net_list_net_get(list, &found), 2);
}

TEST_F(net_list_fixture, ExitStopsAndFreesTheNetworkButKeepsOneThatWouldNotStop)
{
    {
        fake_net net;
        ASSERT_EQ(zwp_net_list_add(list, net.handle()), 0);
        zwp_net_list_exit(list);
        EXPECT_EQ(net.stops, 1);
        EXPECT_EQ(net.frees, 1);
        ASSERT_EQ(zwp_net_list_init(&list, &config, nullptr), 0);
    }
    fake_net stuck;
    stuck.stop_fails = true;
    ASSERT_EQ(zwp_net_list_add(list, stuck.handle()), 0);
    zwp_net_list_exit(list);
    EXPECT_EQ(stuck.stops, 1);
    EXPECT_EQ(stuck.frees, 0);
    EXPECT_TRUE(log.has("[warning] zwp_net_stop() failed. 'net' not freed. Possible memory leak\n"));
    ASSERT_EQ(zwp_net_list_init(&list, &config, nullptr), 0);
}

std::atomic<int> g_thread_ended{0};

void *APR_THREAD_FUNC short_stop(apr_thread_t *, void *)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    g_thread_ended++;
    return nullptr;
}

TEST_F(net_list_fixture, TheStopThreadArrayKeepsOrderAndExitJoinsWhatIsLeft)
{
    apr_thread_t *fake_a = reinterpret_cast<apr_thread_t *>(uintptr_t{0x10});
    apr_thread_t *fake_b = reinterpret_cast<apr_thread_t *>(uintptr_t{0x20});
    apr_thread_t *popped = nullptr;
    EXPECT_EQ(zwp_net_list_stop_thread_pop(list, &popped), 2);
    EXPECT_EQ(zwp_net_list_stop_thread_add(list, fake_a), 0);
    EXPECT_EQ(zwp_net_list_stop_thread_add(list, fake_b), 0);
    EXPECT_EQ(zwp_net_list_stop_thread_remove(list, fake_a), 0);
    EXPECT_EQ(zwp_net_list_stop_thread_remove(list, fake_a), 2);
    EXPECT_EQ(zwp_net_list_stop_thread_pop(list, &popped), 0);
    EXPECT_EQ(popped, fake_b);
    EXPECT_EQ(zwp_net_list_stop_thread_pop(list, &popped), 2);

    g_thread_ended = 0;
    for (int i = 0; i < 2; i++) {
        apr_thread_t *thread = nullptr;
        ASSERT_EQ(zwu_thread_create(&thread, zwp_net_list_pool_get(list), false, short_stop, nullptr), 0);
        ASSERT_EQ(zwp_net_list_stop_thread_add(list, thread), 0);
    }
    zwp_net_list_exit(list);
    EXPECT_EQ(g_thread_ended.load(), 2);
    ASSERT_EQ(zwp_net_list_init(&list, &config, nullptr), 0);
}

} // namespace
