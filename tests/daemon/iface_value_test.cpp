// The basic, binary switch and battery messages through the daemon's own
// request path: an Avro request is decoded, executed against a network
// that runs on the gateway simulator, and its reply encoded and decoded
// again. The simulator records what reached its nodes.
#include "dispatch_support.h"
#include "net_support.h"

#include "daemon/zwp_avi.h"
#include "daemon/zwp_avi_execute.h"
#include "daemon/zwp_avi_if.h"
#include "daemon/zwp_avi_request.h"
#include "daemon/zwp_avi_response.h"
#include "daemon/zwp_net_list.h"
#include "scene/zwscn.h"

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace
{

using namespace net_test;
using dispatch_test::peer;
using dispatch_test::project_avsc;
using dispatch_test::staged_dir;

constexpr uint8_t switch_node = 2;
constexpr uint8_t sensor_node = 3; // sleeping, with a battery
constexpr uint8_t basic_node = 4;

// What a request came to: decode, execution and reply codes, and the
// reply's values.
struct outcome {
    int read = -1;
    int executed = -1;
    int written = -1;
    std::string reply_type;
    int64_t utime = -1;
    int32_t value = -1;
};

struct iface_fixture : ::testing::Test {
    zw_test::log_capture log;
    data_dir dir;
    staged_dir conf{project_avsc()};
    peer client{project_avsc()};
    zwp_net_config_t config{};
    std::string address = sim_address();
    std::unique_ptr<sim_gateway> sim;
    zwp_avi_registry_t *registry = nullptr;
    zwp_net_list_t *net_list = nullptr;
    zwp_net_t *net = nullptr;

    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(net_env_init(dir, &config));
        sim = std::make_unique<sim_gateway>(address, std::vector<sim::node_profile>{
                                                         *sim::builtin_profile("switch", switch_node),
                                                         *sim::builtin_profile("sensor", sensor_node),
                                                         *sim::builtin_profile("basic", basic_node)});
        ASSERT_EQ(sim->start(), 0) << sim->gw.last_error();
        ASSERT_EQ(zwp_avi_init(&registry, conf.path.c_str()), 0);
        ASSERT_EQ(zwp_net_list_init(&net_list, &config, registry), 0);
        ASSERT_EQ(zwp_net_create(&net, zwp_net_list_fixed_id, &config, nullptr, zwp_avi_interface_list_get(registry),
                                 zwp_avi_interface_states_init),
                  0);
        zwp_gw_t gw = gw_of(address);
        zwp_net_gw_params_set(net, &gw);
        ASSERT_EQ(zwp_net_start_async(net), 0);
        ASSERT_TRUE(eventually([&] { return zwp_net_start_result_get(net) != -1; }, 60s));
        ASSERT_EQ(zwp_net_start_result_get(net), 0);
        ASSERT_EQ(zwp_net_list_add(net_list, net), 0);
    }
    void TearDown() override
    {
        // The list stops and frees its network.
        if (net_list)
            zwp_net_list_exit(net_list);
        else if (net)
            zwp_net_free(net);
        if (registry)
            zwp_avi_exit(registry);
        sim->gw.stop();
        net_env_exit();
    }

    // A request of `name` to endpoint 0 of `node`, interface `cls`; `value`
    // fills the set's parameter.
    outcome run(const std::string &name, uint8_t node, int cls, std::optional<int32_t> value = {},
                bool passive = false)
    {
        const char *branch = value ? "InterfaceValueSetRequest" : "InterfaceRequest";
        const auto payload = client.payload("alice", name, branch, [&](avro_value_t *record) {
            using namespace dispatch_test;
            set_string(record, "command.interface.endpoint.node.network.id", "01-02-03-04-05-06-07-08");
            set_int(record, "command.interface.endpoint.node.id", node);
            set_int(record, "command.interface.endpoint.id", 0);
            set_int(record, "command.interface.id", cls);
            set_boolean(record, "command.passive", passive);
            if (value)
                set_int(record, "parameter.value", *value);
        });
        const auto frame = peer::frame(payload);
        outcome out;
        zwp_avi_request_t *request = nullptr;
        out.read = zwp_avi_request_read(registry, frame.data(), frame.size(), &request);
        if (out.read == 0)
            out.executed = zwp_net_list_request_execute(net_list, request);
        if (out.executed == 0) {
            uint8_t *buffer = nullptr;
            size_t length = 0;
            out.written = zwp_avi_response_write(request, &buffer, &length);
            avro_value_t reply;
            if (out.written == 0 && !(out.reply_type = client.reply(buffer, length, &reply)).empty()) {
                avro_value_t branch;
                avro_value_get_current_branch(&reply, &branch);
                avro_value_t parameter;
                if (avro_value_get_by_name(&branch, "parameter", &parameter, nullptr) == 0) {
                    out.utime = dispatch_test::get_long(&parameter, "utime");
                    out.value = dispatch_test::get_int(&parameter, name == "interface_battery_get" ? "level" : "value");
                }
                avro_value_decref(&reply);
            }
            std::free(buffer);
        }
        zwp_avi_request_free(request);
        return out;
    }

    // Commands of class `cls` and command `cmd` that reached `node`.
    std::vector<std::vector<uint8_t>> received(uint8_t node, uint8_t cls, uint8_t cmd) const
    {
        std::vector<std::vector<uint8_t>> out;
        for (const sim::node_command &c : sim->model->commands())
            if (c.node_id == node && c.command.size() >= 2 && c.command[0] == cls && c.command[1] == cmd)
                out.push_back(c.command);
        return out;
    }

    // The library's handle of an interface, as its report callbacks get it.
    zwif_desc_t library_if(uint8_t node, uint16_t cls) const
    {
        zwif_desc_t intf{};
        intf.net = zwp_net_hc_get(net);
        intf.nodeid = node;
        intf.epid = 0;
        intf.cls = cls;
        return intf;
    }
};

TEST_F(iface_fixture, SwitchSetOneSwitchesTheDeviceOnAndALaterGetAnswersItsValue)
{
    const outcome set = run("interface_switch_binary_set", switch_node, 0x25, 1);
    ASSERT_EQ(set.executed, 0);
    EXPECT_EQ(set.reply_type, "InterfaceResponse");
    const std::vector<uint8_t> on{0x25, 0x01, 0xFF};
    ASSERT_TRUE(eventually([&] { return !received(switch_node, 0x25, 0x01).empty(); }));
    EXPECT_EQ(received(switch_node, 0x25, 0x01).back(), on);

    // The first get may answer from the library's cache before the device's
    // report is in; the device's value arrives with a later one.
    outcome get;
    ASSERT_TRUE(eventually([&] {
        get = run("interface_switch_binary_get", switch_node, 0x25);
        return get.executed == 0 && get.utime > 0;
    }));
    EXPECT_EQ(get.reply_type, "InterfaceValueGetResponse");
    EXPECT_EQ(get.value, 255);
    EXPECT_FALSE(log.contains("Timed out on waiting for report")) << "an answered get never waits out its budget";
}

TEST_F(iface_fixture, SetValuesOutsideWhatTheClassTakesAreRefused)
{
    const struct {
        const char *message;
        uint8_t node;
        int cls;
        int32_t value;
        bool accepted;
        const char *log_line; // expected when refused, or null
    } cases[] = {
        {"interface_basic_set", basic_node, 0x20, 256, false, "Invalid value: 256"},
        {"interface_basic_set", basic_node, 0x20, -1, false, "Invalid value: -1"},
        // The library takes 0 to 99 and 255 for Basic.
        {"interface_basic_set", basic_node, 0x20, 100, false, nullptr},
        {"interface_basic_set", basic_node, 0x20, 99, true, nullptr},
        {"interface_basic_set", basic_node, 0x20, 255, true, nullptr},
        {"interface_basic_set", basic_node, 0x20, 0, true, nullptr},
        {"interface_switch_binary_set", switch_node, 0x25, 256, false, "Invalid value: 256"},
        {"interface_switch_binary_set", switch_node, 0x25, 0, true, nullptr},
    };
    for (const auto &c : cases) {
        log.clear();
        const outcome out = run(c.message, c.node, c.cls, c.value);
        if (c.accepted) {
            EXPECT_EQ(out.executed, 0) << c.message << " " << c.value;
            continue;
        }
        EXPECT_FALSE(out.read == 0 && out.executed == 0) << c.message << " " << c.value;
        if (c.log_line) {
            EXPECT_TRUE(log.contains(c.log_line)) << c.message << " " << c.value;
        }
    }
    // 99 then 255 then 0 reached the basic node; 100 did not.
    std::vector<uint8_t> values;
    for (const auto &command : received(basic_node, 0x20, 0x01))
        values.push_back(command.size() > 2 ? command[2] : 0xEE);
    EXPECT_EQ(values, (std::vector<uint8_t>{99, 255, 0}));
}

// Each module reads only the state of its own class's interfaces.
TEST_F(iface_fixture, AMessageAimedAtAnInterfaceOfAnotherClassIsRefused)
{
    const struct {
        const char *message;
        uint8_t node;
        int cls;
    } cases[] = {
        {"interface_battery_get", switch_node, 0x25},
        {"interface_basic_get", sensor_node, 0x80},
        {"interface_switch_binary_get", basic_node, 0x20},
        {"interface_battery_get", switch_node, 0x80}, // the node has no battery
    };
    const size_t before = sim->model->commands().size();
    for (const auto &c : cases) {
        const outcome out = run(c.message, c.node, c.cls);
        EXPECT_FALSE(out.read == 0 && out.executed == 0) << c.message << " at class " << c.cls;
    }
    EXPECT_EQ(sim->model->commands().size(), before) << "nothing reaches a device";
    // The right class still answers.
    EXPECT_EQ(run("interface_basic_get", basic_node, 0x20).executed, 0);
}

TEST_F(iface_fixture, AReportWithoutDataEndsTheWaitButKeepsTheStoredValue)
{
    // The cache of a fresh node is empty: the first get ends at once with
    // nothing stored.
    const outcome first = run("interface_basic_get", basic_node, 0x20);
    ASSERT_EQ(first.executed, 0);
    EXPECT_GE(first.utime, 0);
    ASSERT_EQ(sim->model->set_values(basic_node, 0x20, {42}), 0);
    outcome stored;
    ASSERT_TRUE(eventually([&] {
        stored = run("interface_basic_get", basic_node, 0x20);
        return stored.executed == 0 && stored.value == 42 && stored.utime > 0;
    }));

    zwif_desc_t intf = library_if(basic_node, 0x20);
    zwp_avi_interfaces_basic_report_cb(&intf, 7, 0);
    const outcome after = run("interface_basic_get", basic_node, 0x20, {}, true);
    ASSERT_EQ(after.executed, 0);
    EXPECT_EQ(after.value, 42);
    EXPECT_EQ(after.utime, stored.utime);

    // A report with data is stored.
    zwp_avi_interfaces_basic_report_cb(&intf, 7, 1234);
    const outcome reported = run("interface_basic_get", basic_node, 0x20, {}, true);
    EXPECT_EQ(reported.value, 7);
    EXPECT_EQ(reported.utime, 1234);
}

TEST_F(iface_fixture, APassiveGetAnswersFromTheStateWithoutAskingTheDevice)
{
    const size_t gets_before = received(switch_node, 0x25, 0x02).size();
    const outcome out = run("interface_switch_binary_get", switch_node, 0x25, {}, true);
    ASSERT_EQ(out.executed, 0);
    EXPECT_EQ(out.utime, 0);
    EXPECT_EQ(out.value, 0);
    // Give a stray Get the time to arrive, then check none did.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(received(switch_node, 0x25, 0x02).size(), gets_before);
}

TEST_F(iface_fixture, TheBatteryOfASleepingNodeAnswersFromTheStateUntilTheNodeWakes)
{
    ASSERT_EQ(sim->model->set_values(sensor_node, 0x80, {37}), 0);
    // Queued for the sleeping node: the answer comes at once from what is stored.
    const outcome queued = run("interface_battery_get", sensor_node, 0x80);
    ASSERT_EQ(queued.executed, 0);
    EXPECT_EQ(queued.reply_type, "InterfaceBatteryGetResponse");
    EXPECT_NE(queued.value, 37);
    EXPECT_TRUE(received(sensor_node, 0x80, 0x02).empty()) << "the node sleeps";

    ASSERT_EQ(sim->model->wake_up(sensor_node), 0);
    ASSERT_TRUE(eventually([&] { return !received(sensor_node, 0x80, 0x02).empty(); }, 30s));
    outcome woken;
    ASSERT_TRUE(eventually(
        [&] {
            woken = run("interface_battery_get", sensor_node, 0x80, {}, true);
            return woken.executed == 0 && woken.value == 37;
        },
        30s));
    EXPECT_GT(woken.utime, 0);
}

// Gets run while the tree is rebuilt again and again, so that rebuilds fall
// into their waits and report callbacks meet freed states: each get ends,
// with an answer or refused, and the network keeps serving.
TEST_F(iface_fixture, GetsSurviveTreeRebuildsDuringTheirWaits)
{
    // A get whose report went to a state that a rebuild then replaced
    // waits out its budget; keep that short (the list reads it per request).
    config.report_wait_timeout = 2;
    std::atomic<bool> done{false};
    std::thread rebuilder([&] {
        while (!done.load()) {
            EXPECT_EQ(zwp_net_desc_tree_build_locked(net), 0);
            std::this_thread::sleep_for(2ms);
        }
    });
    for (int i = 0; i < 20; i++) {
        (void)run(i % 2 ? "interface_switch_binary_get" : "interface_basic_get",
                                i % 2 ? switch_node : basic_node, i % 2 ? 0x25 : 0x20);
    }
    done = true;
    rebuilder.join();
    EXPECT_EQ(run("interface_switch_binary_get", switch_node, 0x25).executed, 0);
}

} // namespace
