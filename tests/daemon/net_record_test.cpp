// The network record against the host-controller library and the gateway
// simulator: start and stop with their threads, a failed start, a stop
// during initialisation, the operation-status thread, the transmit-status
// tickets, the report waits across a tree clear, the scene binding and the
// network list's stop calls.
#include "net_support.h"

#include "daemon/zwp_desc.h"
#include "daemon/zwp_net_list.h"
#include "daemon/zwp_scene_hook.h"
#include "scene/zwscn.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace {

using namespace net_test;

// Thread names keep 15 characters.
const std::string status_thread = std::string("ANetOpStatusHdlr").substr(0, 15);

struct net_fixture : ::testing::Test {
    zw_test::log_capture log;
    data_dir dir;
    zwp_net_config_t config{};
    std::string address = sim_address();
    std::vector<sim::node_profile> profiles;  // the simulated nodes beside the gateway
    std::unique_ptr<sim_gateway> sim;
    zwp_net_t *net = nullptr;

    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(net_env_init(dir, &config));
        sim = std::make_unique<sim_gateway>(address, profiles);
        ASSERT_EQ(sim->start(), 0) << sim->gw.last_error();
        ASSERT_EQ(zwp_net_create(&net, zwp_net_list_fixed_id, &config, nullptr, nullptr, nullptr), 0);
        zwp_gw_t gw = gw_of(address);
        zwp_net_gw_params_set(net, &gw);
    }
    void TearDown() override
    {
        if (net) {
            EXPECT_EQ(zwp_net_stop(net), 0);
            zwp_net_free(net);
        }
        sim->gw.stop();
        net_env_exit();
    }

    void start()
    {
        ASSERT_EQ(zwp_net_start_async(net), 0);
        ASSERT_TRUE(eventually([&] { return zwp_net_start_result_get(net) != -1; }));
        ASSERT_EQ(zwp_net_start_result_get(net), 0);
    }

    zwp_net_op_state_t op_state()
    {
        zwp_net_op_state_t state{};
        zwp_net_op_state_get(net, &state);
        return state;
    }
};

bool same(const zwp_net_op_state_t &a, const zwp_net_op_state_t &b)
{
    return a.current == b.current && a.status == b.status && a.total_nodes == b.total_nodes &&
           a.completed_nodes == b.completed_nodes && a.previous == b.previous;
}

TEST_F(net_fixture, StartsTheNetworkBuildsItsTreeBindsTheScenesAndStopsCleanly)
{
    start();
    EXPECT_EQ(zwp_net_init_state_get(net), ZWP_NET_INITIALISED);
    EXPECT_NE(zwp_net_hc_get(net), nullptr);
    ASSERT_EQ(zwp_net_desc_lock(net), 0) << "the tree exists";
    EXPECT_GT(zwp_net_tree_utime_get(net), 0u);
    zwp_net_desc_unlock(net);
    EXPECT_TRUE(same(op_state(), {0, ZWP_NET_OP_DONE, 0, 0, ZWNET_OP_INITIALIZE}));

    const auto names = thread_names();
    EXPECT_EQ(names.count(status_thread), 1u);
    EXPECT_GE(names.count("HCAPINet"), 1u) << "the library's threads carry the name set around zwnet_init";

    // The scene library got the network with its context id, time zone and
    // storage directory.
    zwscn_network_view_t view;
    ASSERT_TRUE(zwscn_network_view_get(net, &view));
    EXPECT_TRUE(view.bound);
    EXPECT_STREQ(view.param.ctx_persistent, "0102030405060708C0FFEE01");
    EXPECT_STREQ(view.param.time_zone, "Europe/Berlin");
    EXPECT_STREQ(zwp_net_time_zone_get(net), "Europe/Berlin");
    EXPECT_EQ(std::string(view.param.stor_dir), dir.var + "/networks/");
    for (uint32_t word : view.param.rsvd_words)
        EXPECT_EQ(word, 0xFFFFFFFFu);
    EXPECT_EQ(view.param.ctx, net);
    EXPECT_EQ(view.status_updates, 1);
    ASSERT_NE(view.param.exists, nullptr);
    EXPECT_EQ(view.param.cb_rsvd(net), 0);

    EXPECT_EQ(zwp_net_stop(net), 0);
    EXPECT_EQ(zwp_net_init_state_get(net), ZWP_NET_STOPPED);
    EXPECT_EQ(zwp_net_hc_get(net), nullptr);
    EXPECT_EQ(zwp_net_desc_lock(net), 22) << "no tree after the stop";
    EXPECT_TRUE(same(op_state(), {0, ZWP_NET_OP_STOPPED, 0, 0, 0}));
    EXPECT_TRUE(eventually([] { return thread_names().count(status_thread) == 0; }));
    ASSERT_TRUE(zwscn_network_view_get(net, &view));
    EXPECT_FALSE(view.bound);
}

// A gateway that sends its unsolicited frames elsewhere keeps that
// destination through initialisation; the daemon, told to, points it here.
TEST_F(net_fixture, TheDaemonPointsTheUnsolicitedDestinationAtThisHostWhenTold)
{
    const std::array<uint8_t, 16> elsewhere{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 9, 8, 7};
    for (const bool told : {false, true}) {
        SCOPED_TRACE(told ? "told" : "not told");
        if (net) {
            EXPECT_EQ(zwp_net_stop(net), 0);
            zwp_net_free(net);
            net = nullptr;
        }
        sim->gw.stop();
        sim = std::make_unique<sim_gateway>(address);
        sim->app_cfg.unsol_addr = elsewhere;
        sim->app_cfg.unsol_port = 4999;
        ASSERT_EQ(sim->start(), 0) << sim->gw.last_error();
        config.gw_auto_set_to_local = told ? 1 : 0;
        ASSERT_EQ(zwp_net_create(&net, zwp_net_list_fixed_id, &config, nullptr, nullptr, nullptr), 0);
        zwp_gw_t gw = gw_of(address);
        zwp_net_gw_params_set(net, &gw);
        start();
        if (!told) {
            EXPECT_EQ(sim->app->unsol_destination(), std::make_pair(elsewhere, uint16_t{4999}));
            continue;
        }
        // Our address toward the gateway is the loopback address we bound.
        std::array<uint8_t, 16> here{};
        here[10] = here[11] = 0xFF;
        const in_addr_t a = inet_addr("127.0.0.1");
        std::memcpy(here.data() + 12, &a, 4);
        const uint16_t port = zwnet_host_port_get(zwp_net_hc_get(net));
        EXPECT_TRUE(eventually([&] { return sim->app->unsol_destination() == std::make_pair(here, port); }));
    }
}

TEST_F(net_fixture, AMissingTimeZoneFileFallsBackToUtc)
{
    const std::string missing = (dir.root / "no-timezone").string();
    zwp_net_time_zone_path_set(missing.c_str());
    start();
    EXPECT_STREQ(zwp_net_time_zone_get(net), "UTC");
    EXPECT_TRUE(log.has("[error] Reading " + missing + " Failed. Scenes won't work.\n"));

    const struct {
        const char *text;
        int result;
        const char *zone;
    } cases[] = {
        {"America/New_York\r\nrest\n", 0, "America/New_York"},
        {"Etc/UTC", 0, "Etc/UTC"},
        {"\n", 22, ""},
        {"", 22, ""},
    };
    const std::string path = (dir.root / "tz").string();
    for (const auto &c : cases) {
        std::ofstream(path, std::ios::trunc) << c.text;
        char zone[256] = {};
        EXPECT_EQ(zwp_hook_time_zone_read(path.c_str(), zone, sizeof zone), c.result) << c.text;
        if (c.result == 0) {
            EXPECT_STREQ(zone, c.zone);
        }
    }
}

TEST_F(net_fixture, AFailedStartReportsFailureAndItsStopOnlyJoins)
{
    zwp_gw_t gw = gw_of(address);
    gw.psk_len = 5; // the library wants at least 16 bytes
    zwp_net_gw_params_set(net, &gw);
    ASSERT_EQ(zwp_net_start_async(net), 0);
    ASSERT_TRUE(eventually([&] { return zwp_net_start_result_get(net) != -1; }));
    EXPECT_EQ(zwp_net_start_result_get(net), 22);
    EXPECT_TRUE(same(op_state(), {0, ZWP_NET_OP_FAILED, 0, 0, ZWNET_OP_INITIALIZE}));
    EXPECT_TRUE(log.contains("[error] zwnet_init() failed with '"));
    EXPECT_EQ(zwp_net_init_state_get(net), ZWP_NET_STOPPED);
    EXPECT_TRUE(eventually([] { return thread_names().count(status_thread) == 0; }));
    EXPECT_EQ(zwp_net_stop(net), 0);
    EXPECT_TRUE(same(op_state(), {0, ZWP_NET_OP_FAILED, 0, 0, ZWNET_OP_INITIALIZE})) << "the stop changes nothing";
}

TEST_F(net_fixture, AStopAtAnyPointOfTheStartEndsEveryThread)
{
    // However far the start got, the stop ends it and frees everything;
    // sanitizer builds prove that nothing is touched after the free.
    for (int round = 0; round < 8; round++) {
        ASSERT_EQ(zwp_net_start_async(net), 0);
        if (round % 2)
            std::this_thread::sleep_for(std::chrono::milliseconds(round * 5));
        ASSERT_EQ(zwp_net_stop(net), 0);
        EXPECT_EQ(zwp_net_init_state_get(net), ZWP_NET_STOPPED) << round;
        EXPECT_EQ(zwp_net_hc_get(net), nullptr) << round;
        zwp_net_free(net);
        net = nullptr;
        ASSERT_EQ(zwp_net_create(&net, zwp_net_list_fixed_id, &config, nullptr, nullptr, nullptr), 0);
        zwp_gw_t gw = gw_of(address);
        zwp_net_gw_params_set(net, &gw);
    }
    EXPECT_TRUE(eventually([] { return thread_names().count(status_thread) == 0; }));
}

TEST_F(net_fixture, TheStatusThreadKeepsTheOperationFields)
{
    start();
    zwnet_op_info_t prekit{0, {}};
    std::snprintf(prekit.dsk, sizeof prekit.dsk, "12345-11111-22222-33333-44444-55555-66666-77777");
    zwnet_op_info_t other_kind{1, {}};
    std::snprintf(other_kind.dsk, sizeof other_kind.dsk, "99999");
    const struct {
        const char *what;
        uint8_t op;
        uint16_t status;
        const zwnet_op_info_t *info;
        zwp_net_op_state_t expected;
    } steps[] = {
        {"an intermediate status makes the operation current", ZWNET_OP_ADD_NODE, 1, nullptr, {2, 1, 0, 0, 0}},
        {"progress changes only the counts", ZWNET_OP_ADD_NODE, 0x0502, nullptr, {2, 1, 5, 2, 0}},
        {"a pre-kit DSK of kind 0 is kept", ZWNET_OP_ADD_NODE, 3, &prekit, {2, 3, 5, 2, 0}},
        {"one of another kind is not", ZWNET_OP_ADD_NODE, 3, &other_kind, {2, 3, 5, 2, 0}},
        {"a failure ends it with -1", ZWNET_OP_ADD_NODE, 255, nullptr, {0, -1, 0, 0, 2}},
        {"another operation's progress", ZWNET_OP_UPDATE, 0x0301, nullptr, {0, -1, 3, 1, 2}},
        {"network change done rebuilds and keeps the fields", ZWNET_OP_NW_CHANGED, 0, nullptr, {0, -1, 3, 1, 2}},
        {"done ends with 0", ZWNET_OP_UPDATE, 0, nullptr, {0, 0, 0, 0, 0}},
    };
    for (const auto &s : steps) {
        zwp_net_op_notify_cb(net, s.op, s.status, s.info);
        EXPECT_TRUE(eventually([&] { return same(op_state(), s.expected); })) << s.what;
    }
    char dsk[48];
    ASSERT_EQ(zwp_net_prekit_dsk_get(net, dsk, sizeof dsk), 0);
    EXPECT_STREQ(dsk, prekit.dsk);
    EXPECT_TRUE(log.has("[error] Network operation 'Add node' failed\n"));
    ASSERT_EQ(zwp_net_desc_lock(net), 0) << "the rebuilt tree stands";
    zwp_net_desc_unlock(net);

    zwp_net_op_set(net, ZWNET_OP_RESET);
    EXPECT_TRUE(same(op_state(), {ZWNET_OP_RESET, 0, 0, 0, 0}));

    // An operation is current before its library call; a refusal puts the
    // fields back as they were.
    const zwp_net_op_state_t saved = zwp_net_op_begin(net, ZWNET_OP_MIGRATE);
    EXPECT_TRUE(same(op_state(), {ZWNET_OP_MIGRATE, 0, 0, 0, ZWNET_OP_RESET}));
    zwp_net_op_restore(net, &saved);
    EXPECT_TRUE(same(op_state(), {ZWNET_OP_RESET, 0, 0, 0, 0}));

    // An unsolicited key request makes inclusion current with status 21.
    zwnet_sec2_cb_data_t request{};
    request.cb_type = ZWNET_SEC2_CB_KEY_REQ;
    std::memset(request.key_req.csa_pin, 'x', sizeof request.key_req.csa_pin);
    zwp_net_add_node_sec2_unsolicited_notification(net, &request);
    EXPECT_TRUE(eventually([&] { return same(op_state(), {ZWNET_OP_ADD_NODE, 21, 0, 0, ZWNET_OP_RESET}); }));
}

TEST_F(net_fixture, EachRequestWaitsForItsOwnTransmitStatus)
{
    start();
    ASSERT_EQ(zwp_net_desc_lock(net), 0);
    ASSERT_EQ(zwp_net_tx_status_reset(net), 0);

    // A second request's reset waits until the first request's wait ended:
    // the status that arrives meanwhile is the first one's.
    std::atomic<int> second_reset{-1};
    std::atomic<int> second_wait{-1};
    std::atomic<uint8_t> second_status{0xEE};
    std::thread second([&] {
        zwp_net_desc_lock(net);
        second_reset = zwp_net_tx_status_reset(net);
        zwp_net_tx_status_cb(net, 2);
        uint8_t status = 0;
        second_wait = zwp_net_tx_status_wait(net, &status);
        second_status = status;
        zwp_net_desc_unlock(net);
    });
    zwp_net_tx_status_cb(net, 0);
    zwp_net_tx_status_cb(net, 1); // late: the first status stands
    uint8_t status = 0xEE;
    EXPECT_EQ(zwp_net_tx_status_wait(net, &status), 0);
    EXPECT_EQ(status, 0);
    zwp_net_desc_unlock(net);
    second.join();
    EXPECT_EQ(second_reset.load(), 0);
    EXPECT_EQ(second_wait.load(), 0);
    EXPECT_EQ(second_status.load(), 2);

    // A status that nobody waits for is dropped; a wait ends with 22 once
    // the tree goes.
    zwp_net_tx_status_cb(net, 4);
    ASSERT_EQ(zwp_net_desc_lock(net), 0);
    ASSERT_EQ(zwp_net_tx_status_reset(net), 0);
    std::thread clearer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        zwp_net_desc_tree_clear(net);
    });
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(zwp_net_tx_status_wait(net, &status), 22);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(ZWP_NET_TX_WAIT_USEC / 1000000));
    zwp_net_desc_unlock(net);
    clearer.join();
}

TEST_F(net_fixture, ALostTransmitStatusEndsTheWaitAfterTenSeconds)
{
    start();
    ASSERT_EQ(zwp_net_desc_lock(net), 0);
    ASSERT_EQ(zwp_net_tx_status_reset(net), 0);
    uint8_t status = 0;
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(zwp_net_tx_status_wait(net, &status), 22);
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::seconds(10));
    zwp_net_desc_unlock(net);
    EXPECT_TRUE(log.has("[error] Timed out on waiting for transmit status\n"));
}

TEST_F(net_fixture, AClearedTreeWakesEveryReportWaiter)
{
    start();
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; i++) {
        waiters.emplace_back([&] {
            ASSERT_EQ(zwp_net_desc_lock(net), 0);
            // A worker waits for as long as its budget while the tree stands.
            int result = 0;
            while (zwp_net_desc_tree_present(net) == 0 && result == 0)
                result = zwp_net_report_wait(net, zwp_net_report_seq_get(net), 60 * 1000000ll);
            EXPECT_EQ(zwp_net_desc_tree_present(net), 22);
            woken++;
            zwp_net_desc_unlock(net);
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(zwp_net_desc_tree_clear(net), 0);
    for (std::thread &t : waiters)
        t.join();
    EXPECT_EQ(woken.load(), 3);
}

// The simulated gateway's network is the controller alone: the tree holds
// its node with the one endpoint, and nothing of node 2.
TEST_F(net_fixture, TheTreeOfANetworkOfTheControllerAloneHoldsOnlyIt)
{
    start();
    ASSERT_EQ(zwp_net_desc_lock(net), 0);
    zwp_desc_root_t *tree = zwp_net_desc_tree_get(net);
    std::vector<zwp_desc_node_item_t> nodes;
    std::vector<zwep_desc_t> eps;
    EXPECT_EQ(zwp_desc_node_list_get(tree, &nodes), 0);
    EXPECT_EQ(zwp_desc_all_ep_list_get(tree, &eps), 0);
    const zwif_desc_t *intf = nullptr;
    EXPECT_EQ(zwp_desc_if_find(tree, 2, 0, 0x25, &intf), 22);
    EXPECT_EQ(zwp_desc_tree_node_remove(tree, 9), 22);
    zwp_net_desc_unlock(net);
    std::vector<std::pair<int, int>> ids;
    for (const zwp_desc_node_item_t &item : nodes)
        ids.emplace_back(item.node.nodeid, -1);
    for (const zwep_desc_t &ep : eps)
        ids.emplace_back(ep.nodeid, ep.epid);
    zwp_desc_node_list_release(&nodes);
    EXPECT_EQ(ids, (std::vector<std::pair<int, int>>{{1, -1}, {1, 0}}));
    EXPECT_TRUE(log.has("[error] Failed to find (NodeId, EndpointId, InterfaceId): (2, 0, 37|0x0025)\n"));
    EXPECT_TRUE(log.has("[error] Failed to find match for node id : 9\n"));

    // The scene library's look-ups see the same empty network.
    zwscn_network_view_t view;
    ASSERT_TRUE(zwscn_network_view_get(net, &view));
    for (int kind : {int{ZWSCN_EXIST_NODE}, int{ZWSCN_EXIST_EP}, int{ZWSCN_EXIST_IF}, 7})
        EXPECT_EQ(view.param.exists(net, kind, 2, 0, 0x25), 0) << kind;
    char name[8], loc[8];
    EXPECT_EQ(view.param.nameloc_get(net, 2, 0, 0, name, sizeof name, loc, sizeof loc), ZW_ERR_EP_NOT_FOUND);
    void *value = std::malloc(1);
    EXPECT_EQ(view.param.action_set(net, 2, 0, 0x25, ZWSCN_ACTION_KIND_VALUE, value, nullptr), ZW_ERR_INTF_NOT_FOUND);
}

TEST(net_skipped_classes, TheBuildLeavesOutTheClassesRequestsNeverAddress)
{
    for (uint16_t cls : {0x46, 0x81, 0x87, 0x35, 0x3C, 0x3D, 0x75, 0x94, 0x47, 0x8F, 0xF146})
        EXPECT_EQ(zwp_desc_if_skipped(cls), 1) << cls;
    for (uint16_t cls : {0x20, 0x25, 0x26, 0x5F, 0x84, 0x86, 0x98, 0x9F, 0xF100})
        EXPECT_EQ(zwp_desc_if_skipped(cls), 0) << cls;
}

// The network list's stop calls on real network records.
struct list_fixture : net_fixture {
    zwp_net_list_t *list = nullptr;

    void SetUp() override
    {
        net_fixture::SetUp();
        zwscn_shutdown();
        ASSERT_EQ(zwp_net_list_init(&list, &config, nullptr), 0);
    }
    void TearDown() override
    {
        zwp_net_list_exit(list);
        net_fixture::TearDown();
    }
};

TEST_F(list_fixture, StopCallsStopAndFreeTheRegisteredNetwork)
{
    EXPECT_EQ(zwp_net_list_net_stop(list, "01-02-03-04-05-06-07-08"), 22);
    EXPECT_TRUE(log.has("[information] Unable to find '01-02-03-04-05-06-07-08' in the list of connected networks\n"));

    start();
    ASSERT_EQ(zwp_net_list_add(list, net), 0);
    EXPECT_EQ(zwp_net_list_net_stop(list, "01-02-03-04-05-06-07-08"), 0);
    net = nullptr;
    zwp_net_t *found = nullptr;
    EXPECT_EQ(zwp_net_list_net_get(list, &found), 2);

    // Kill stops at once; the asynchronous stop runs on a thread of its own
    // that the list's exit joins if it has not ended by then.
    for (bool async : {false, true}) {
        zwp_net_t *other = nullptr;
        ASSERT_EQ(zwp_net_create(&other, zwp_net_list_fixed_id, &config, nullptr, nullptr, nullptr), 0);
        zwp_gw_t gw = gw_of(address);
        zwp_net_gw_params_set(other, &gw);
        ASSERT_EQ(zwp_net_start_async(other), 0);
        ASSERT_TRUE(eventually([&] { return zwp_net_start_result_get(other) == 0; }));
        EXPECT_EQ(zwp_net_list_net_kill(list, other), 22) << "not registered";
        ASSERT_EQ(zwp_net_list_add(list, other), 0);
        EXPECT_EQ(async ? zwp_net_list_net_stop_async(list, other) : zwp_net_list_net_kill(list, other), 0);
        EXPECT_EQ(zwp_net_list_net_get(list, &found), 2);
    }
    EXPECT_TRUE(eventually([] { return thread_names().count(status_thread) == 0; }));
}

// What the Security 2 callbacks leave is handed out only while the
// operation stands at the matching step: a request that comes a step late
// (or early) gets nothing rather than data of another step.
TEST_F(net_fixture, SecurityTwoDataIsHandedOutOnlyAtItsStep)
{
    start();
    zwnet_sec2_cb_data_t keys{};
    keys.cb_type = ZWNET_SEC2_CB_KEY_REQ;
    keys.key_req.req_keys = 0x87;
    keys.key_req.req_csa = 1;
    std::memcpy(keys.key_req.csa_pin, "12345-67890", 12);
    zwnet_sec2_cb_data_t dsk{};
    dsk.cb_type = ZWNET_SEC2_CB_DSK_REQ;
    dsk.dsk_req.pin_required = 1;
    dsk.dsk_req.dsk = "-13124-21862-30600-39338-48076-56814-61441";
    char local[] = "41121-41635-42149-42663-43177-43691-44205-44719";
    const std::string no_dsk = "(none)";

    struct step_case {
        const char *what;
        std::function<void()> act;
        uint32_t op;
        int32_t status;
        bool keys, dsk, local;
    };
    const step_case steps[] = {
        {"the add asks for keys",
         [&] {
             zwp_net_op_begin(net, ZWNET_OP_ADD_NODE);
             zwp_net_add_node_sec2_cb(net, &keys);
         },
         ZWNET_OP_ADD_NODE, 11, true, false, false},
        {"then for the DSK", [&] { zwp_net_add_node_sec2_cb(net, &dsk); }, ZWNET_OP_ADD_NODE, 12, false, true, false},
        {"the add moves on", [&] { zwp_net_op_notify_cb(net, ZWNET_OP_ADD_NODE, 2, nullptr); }, ZWNET_OP_ADD_NODE, 2,
         false, false, false},
        // The Security 2 steps of a replace are reported as inclusion steps.
        {"a replace asks for keys",
         [&] {
             zwp_net_op_begin(net, ZWNET_OP_RP_NODE);
             zwp_net_add_node_sec2_cb(net, &keys);
         },
         ZWNET_OP_ADD_NODE, 11, true, false, false},
        {"learn mode with the controller's DSK",
         [&] {
             zwp_net_op_begin(net, ZWNET_OP_INITIATE);
             zwp_net_local_dsk_cb(net, local);
         },
         ZWNET_OP_INITIATE, 11, false, false, true},
        {"a null local DSK changes nothing", [&] { zwp_net_local_dsk_cb(net, nullptr); }, ZWNET_OP_INITIATE, 11,
         false, false, true},
        {"the gateway's own inclusion asks for the DSK",
         [&] { zwp_net_add_node_sec2_unsolicited_notification(net, &dsk); }, ZWNET_OP_ADD_NODE, 22, false, true,
         false},
        {"and then for keys", [&] { zwp_net_add_node_sec2_unsolicited_notification(net, &keys); },
         ZWNET_OP_ADD_NODE, 21, true, false, false},
    };
    for (const step_case &c : steps) {
        c.act();
        ASSERT_TRUE(eventually([&] {
            const zwp_net_op_state_t state = op_state();
            return state.current == c.op && state.status == c.status;
        })) << c.what;
        zwp_net_s2_keys_t got_keys{};
        EXPECT_EQ(c.keys ? 0 : 22, zwp_net_s2_req_keys_get(net, &got_keys)) << c.what;
        if (c.keys) {
            EXPECT_EQ(0x87, got_keys.req_keys) << c.what;
            EXPECT_EQ(1, got_keys.req_csa) << c.what;
            EXPECT_STREQ("12345-67890", got_keys.csa_pin) << c.what;
        }
        uint8_t pin_required = 0;
        std::string got_dsk = no_dsk;
        EXPECT_EQ(c.dsk ? 0 : 22, zwp_net_s2_dsk_get(net, &pin_required, &got_dsk)) << c.what;
        EXPECT_EQ(c.dsk ? std::string(dsk.dsk_req.dsk) : no_dsk, got_dsk) << c.what;
        EXPECT_EQ(c.dsk ? 1 : 0, pin_required) << c.what;
        std::string got_local = no_dsk;
        EXPECT_EQ(c.local ? 0 : 22, zwp_net_local_dsk_get(net, &got_local)) << c.what;
        EXPECT_EQ(c.local ? std::string(local) : no_dsk, got_local) << c.what;
    }
}

// An abort ends the operation as aborted and leaves a rebuilt tree; a
// failed one only ends it.
TEST_F(net_fixture, AbortFinishEndsTheOperationAndRebuildsTheTree)
{
    start();
    struct abort_case {
        bool aborted;
        zwp_net_op_state_t expected;
    };
    const abort_case cases[] = {
        {true, {0, ZWP_NET_OP_ABORTED, 0, 0, ZWNET_OP_ADD_NODE}},
        {false, {0, 3, 0, 0, ZWNET_OP_RESET}},
    };
    for (const abort_case &c : cases) {
        zwp_net_op_set(net, ZWNET_OP_RESET);
        zwp_net_op_begin(net, ZWNET_OP_ADD_NODE);
        zwp_net_op_notify_cb(net, ZWNET_OP_ADD_NODE, 3, nullptr);
        zwp_net_op_notify_cb(net, ZWNET_OP_ADD_NODE, 0x0201, nullptr);
        ASSERT_TRUE(eventually([&] { return same(op_state(), {ZWNET_OP_ADD_NODE, 3, 2, 1, ZWNET_OP_RESET}); }));
        ASSERT_EQ(zwp_net_desc_lock(net), 0);
        EXPECT_EQ(0, zwp_net_op_abort_finish(net, c.aborted));
        EXPECT_NE(nullptr, zwp_net_desc_tree_get(net)) << "the tree was built again";
        zwp_net_desc_unlock(net);
        EXPECT_TRUE(same(op_state(), c.expected)) << c.aborted;
    }
}

} // namespace

namespace {

void value_cb(zwif_desc_t *, uint8_t, time_t) {}
void pair_cb(zwif_desc_t *, uint8_t, uint8_t, time_t) {}
void record_cb(zwif_desc_t *, const void *, time_t) {}

TEST_F(net_fixture, InstallersServeTheirOwnClassOnANetworkWithHooks)
{
    zwif_desc_t none{};
    none.cls = 0x25;
    EXPECT_EQ(zwp_hook_switch_rpt_set(&none, value_cb), -1) << "no network, no table";
    start();
    const struct {
        const char *what;
        uint16_t cls;
        int (*install)(const zwif_desc_t *);
    } rows[] = {
        {"basic", 0x20, [](const zwif_desc_t *i) { return zwp_hook_basic_rpt_set(i, value_cb); }},
        {"switch", 0x25, [](const zwif_desc_t *i) { return zwp_hook_switch_rpt_set(i, value_cb); }},
        {"level", 0x26, [](const zwif_desc_t *i) { return zwp_hook_level_rpt_set(i, value_cb); }},
        {"colour", 0x33, [](const zwif_desc_t *i) { return zwp_hook_col_sw_rpt_set(i, record_cb); }},
        {"door lock", 0x62, [](const zwif_desc_t *i) { return zwp_hook_dlck_op_rpt_set(i, record_cb); }},
        {"setpoint", 0x43, [](const zwif_desc_t *i) { return zwp_hook_thrmo_setp_rpt_set(i, record_cb); }},
        {"binary sensor", 0x30, [](const zwif_desc_t *i) { return zwp_hook_bsensor_rpt_set(i, pair_cb); }},
        {"sensor", 0x31, [](const zwif_desc_t *i) { return zwp_hook_sensor_rpt_set(i, record_cb); }},
        {"notification", 0x71, [](const zwif_desc_t *i) { return zwp_hook_alrm_rpt_set(i, record_cb); }},
        {"central scene", 0x5B, [](const zwif_desc_t *i) { return zwp_hook_csc_rpt_set(i, record_cb); }},
        {"barrier", 0x66, [](const zwif_desc_t *i) { return zwp_hook_barrier_rpt_set(i, value_cb); }},
        {"barrier signal", 0x66, [](const zwif_desc_t *i) { return zwp_hook_barrier_notif_rpt_set(i, pair_cb); }},
    };
    zwp_hook_table_t *table = zwp_hook_table_get(zwp_net_hc_get(net));
    ASSERT_NE(table, nullptr);
    for (size_t slot = 0; slot < std::size(rows); slot++) {
        zwif_desc_t intf{};
        intf.net = zwp_net_hc_get(net);
        intf.nodeid = 2;
        intf.cls = static_cast<uint16_t>(rows[slot].cls ^ 0x01);
        EXPECT_EQ(rows[slot].install(&intf), ZW_ERR_CLASS_NOT_FOUND) << rows[slot].what << ": another class";
        EXPECT_EQ(table->rpt[slot].load(), nullptr) << rows[slot].what;
        intf.cls = rows[slot].cls;
        // The node is unknown to the library, which says so; the slot holds
        // the callback for when it exists.
        EXPECT_EQ(rows[slot].install(&intf), ZW_ERR_INTF_NOT_FOUND) << rows[slot].what;
        EXPECT_NE(table->rpt[slot].load(), nullptr) << rows[slot].what;
    }
}

} // namespace

namespace {

// A network of simulated nodes: a switch and a basic node that tell
// nothing of themselves, a sleeping sensor, and a node that tells its class
// versions and identity when the interview asks it.
struct net_nodes_fixture : net_fixture {
    net_nodes_fixture()
    {
        for (const auto &[id, name] : {std::pair<uint8_t, const char *>{2, "switch"},
                                       {3, "sensor"},
                                       {4, "basic"},
                                       {5, "plus_switch"}})
            profiles.push_back(*sim::builtin_profile(name, id));
    }

    // Node id -> (class -> version) of endpoint 0, from the daemon's tree.
    std::map<int, std::map<int, int>> tree_interfaces()
    {
        std::map<int, std::map<int, int>> out;
        if (zwp_net_desc_lock(net) != 0)
            return out;
        for (const sim::node_profile &p : profiles) {
            std::vector<zwif_desc_t> ifs;
            if (zwp_desc_ep_if_list_get(zwp_net_desc_tree_get(net), p.node_id, 0, &ifs) == 0)
                for (const zwif_desc_t &i : ifs)
                    out[p.node_id][i.cls] = i.ver;
        }
        zwp_net_desc_unlock(net);
        return out;
    }

    // Interview queries (Version Get of a class, Version Get, Manufacturer
    // Specific Get) that reached the nodes from command index `from` on.
    size_t interview_queries(uint64_t from) const
    {
        size_t n = 0;
        for (const sim::node_command &c : sim->model->commands())
            n += c.index >= from && c.command.size() >= 2 &&
                 ((c.command[0] == 0x86 && (c.command[1] == 0x13 || c.command[1] == 0x11)) ||
                  (c.command[0] == 0x72 && c.command[1] == 0x04));
        return n;
    }
};

TEST_F(net_nodes_fixture, TheTreeHoldsTheSimulatedNodesAndARestartDoesNotAskThemAgain)
{
    start();
    // Every class of a profile is an interface of its node; the versions are
    // those the node told (a node without Version class cannot tell).
    const auto first = tree_interfaces();
    for (const sim::node_profile &p : profiles) {
        ASSERT_EQ(first.count(p.node_id), 1u) << int(p.node_id);
        const auto &ifs = first.at(p.node_id);
        const bool tells = std::any_of(p.classes.begin(), p.classes.end(),
                                       [](const sim::class_profile &c) { return c.cmd_class == 0x86; });
        for (const sim::class_profile &c : p.classes) {
            ASSERT_EQ(ifs.count(c.cmd_class), 1u) << int(p.node_id) << " class " << int(c.cmd_class);
            if (tells) {
                EXPECT_EQ(ifs.at(c.cmd_class), c.version) << int(p.node_id) << " class " << int(c.cmd_class);
            }
        }
    }
    ASSERT_EQ(zwp_net_desc_lock(net), 0);
    std::vector<zwp_desc_node_item_t> nodes;
    EXPECT_EQ(zwp_desc_node_list_get(zwp_net_desc_tree_get(net), &nodes), 0);
    zwp_net_desc_unlock(net);
    std::map<int, std::pair<int, int>> sleep_listen;  // node -> (sleep capable, listening)
    for (const zwp_desc_node_item_t &item : nodes)
        sleep_listen[item.node.nodeid] = {item.node.sleep_cap, item.node.listen};
    zwp_desc_node_list_release(&nodes);
    EXPECT_EQ(sleep_listen[3], std::make_pair(1, 0)) << "the sensor sleeps";
    EXPECT_EQ(sleep_listen[2], std::make_pair(0, 1));
    EXPECT_GT(interview_queries(0), 0u) << "the interview asked the node that can tell";

    // The stop saves the node information; a network started again loads it
    // and asks none of the nodes it knows.
    EXPECT_EQ(zwp_net_stop(net), 0);
    zwp_net_free(net);
    net = nullptr;
    EXPECT_TRUE(std::filesystem::exists(dir.var + "/networks/nifC0FFEE01.dat"));
    const uint64_t from = sim->model->next_command_index();
    ASSERT_EQ(zwp_net_create(&net, zwp_net_list_fixed_id, &config, nullptr, nullptr, nullptr), 0);
    zwp_gw_t gw = gw_of(address);
    zwp_net_gw_params_set(net, &gw);
    start();
    EXPECT_EQ(tree_interfaces(), first);
    EXPECT_EQ(interview_queries(from), 0u);
}

} // namespace
