// The basic, binary switch and battery messages through the daemon's own
// request path: an Avro request is decoded, executed against a network
// that runs on the gateway simulator, and its reply encoded and decoded
// again. The simulator records what reached its nodes.
#include "iface_support.h"

#include "daemon/messages/zwp_avi_if_basic.h"

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace
{

using namespace iface_test;

constexpr uint8_t switch_node = 2;
constexpr uint8_t sensor_node = 3; // sleeping, with a battery
constexpr uint8_t basic_node = 4;

// A value get or set: the reply's `utime` and value (`level` for the
// battery).
struct value_outcome : outcome {
    int64_t utime = -1;
    int32_t value = -1;
};

struct value_fixture : iface_fixture {
    std::vector<sim::node_profile> profiles() const override
    {
        return {*sim::builtin_profile("switch", switch_node), *sim::builtin_profile("sensor", sensor_node),
                *sim::builtin_profile("basic", basic_node)};
    }

    value_outcome run(const std::string &name, uint8_t node, int cls, std::optional<int32_t> value = {},
                      bool passive = false)
    {
        value_outcome out;
        static_cast<outcome &>(out) = iface_fixture::run(
            name, node, cls,
            [&](avro_value_t *parameter) {
                if (value)
                    set_int(parameter, "value", *value);
            },
            [&](avro_value_t *parameter) {
                out.utime = get_long(parameter, "utime");
                out.value = get_int(parameter, name == "interface_battery_get" ? "level" : "value");
            },
            passive);
        return out;
    }
};

TEST_F(value_fixture, SwitchSetOneSwitchesTheDeviceOnAndALaterGetAnswersItsValue)
{
    const value_outcome set = run("interface_switch_binary_set", switch_node, 0x25, 1);
    ASSERT_EQ(set.executed, 0);
    EXPECT_EQ(set.reply_type, "InterfaceResponse");
    const std::vector<uint8_t> on{0x25, 0x01, 0xFF};
    ASSERT_TRUE(eventually([&] { return !received(switch_node, 0x25, 0x01).empty(); }));
    EXPECT_EQ(received(switch_node, 0x25, 0x01).back(), on);

    // The first get may answer from the library's cache before the device's
    // report is in; the device's value arrives with a later one.
    value_outcome get;
    ASSERT_TRUE(eventually([&] {
        get = run("interface_switch_binary_get", switch_node, 0x25);
        return get.executed == 0 && get.utime > 0;
    }));
    EXPECT_EQ(get.reply_type, "InterfaceValueGetResponse");
    EXPECT_EQ(get.value, 255);
    EXPECT_FALSE(log.contains("Timed out on waiting for report")) << "an answered get never waits out its budget";
}

TEST_F(value_fixture, SetValuesOutsideWhatTheClassTakesAreRefused)
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
        const value_outcome out = run(c.message, c.node, c.cls, c.value);
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
TEST_F(value_fixture, AMessageAimedAtAnInterfaceOfAnotherClassIsRefused)
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
        const value_outcome out = run(c.message, c.node, c.cls);
        EXPECT_FALSE(out.read == 0 && out.executed == 0) << c.message << " at class " << c.cls;
    }
    EXPECT_EQ(sim->model->commands().size(), before) << "nothing reaches a device";
    // The right class still answers.
    EXPECT_EQ(run("interface_basic_get", basic_node, 0x20).executed, 0);
}

TEST_F(value_fixture, AReportWithoutDataEndsTheWaitButKeepsTheStoredValue)
{
    // The cache of a fresh node is empty: the first get ends at once with
    // nothing stored.
    const value_outcome first = run("interface_basic_get", basic_node, 0x20);
    ASSERT_EQ(first.executed, 0);
    EXPECT_GE(first.utime, 0);
    ASSERT_EQ(sim->model->set_values(basic_node, 0x20, {42}), 0);
    value_outcome stored;
    ASSERT_TRUE(eventually([&] {
        stored = run("interface_basic_get", basic_node, 0x20);
        return stored.executed == 0 && stored.value == 42 && stored.utime > 0;
    }));

    zwif_desc_t intf = library_if(basic_node, 0x20);
    zwp_avi_interfaces_basic_report_cb(&intf, 7, 0);
    const value_outcome after = run("interface_basic_get", basic_node, 0x20, {}, true);
    ASSERT_EQ(after.executed, 0);
    EXPECT_EQ(after.value, 42);
    EXPECT_EQ(after.utime, stored.utime);

    // A report with data is stored.
    zwp_avi_interfaces_basic_report_cb(&intf, 7, 1234);
    const value_outcome reported = run("interface_basic_get", basic_node, 0x20, {}, true);
    EXPECT_EQ(reported.value, 7);
    EXPECT_EQ(reported.utime, 1234);
}

TEST_F(value_fixture, APassiveGetAnswersFromTheStateWithoutAskingTheDevice)
{
    const size_t gets_before = received(switch_node, 0x25, 0x02).size();
    const value_outcome out = run("interface_switch_binary_get", switch_node, 0x25, {}, true);
    ASSERT_EQ(out.executed, 0);
    EXPECT_EQ(out.utime, 0);
    EXPECT_EQ(out.value, 0);
    // Give a stray Get the time to arrive, then check none did.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(received(switch_node, 0x25, 0x02).size(), gets_before);
}

TEST_F(value_fixture, TheBatteryOfASleepingNodeAnswersFromTheStateUntilTheNodeWakes)
{
    ASSERT_EQ(sim->model->set_values(sensor_node, 0x80, {37}), 0);
    // Queued for the sleeping node: the answer comes at once from what is stored.
    const value_outcome queued = run("interface_battery_get", sensor_node, 0x80);
    ASSERT_EQ(queued.executed, 0);
    EXPECT_EQ(queued.reply_type, "InterfaceBatteryGetResponse");
    EXPECT_NE(queued.value, 37);
    EXPECT_TRUE(received(sensor_node, 0x80, 0x02).empty()) << "the node sleeps";

    ASSERT_EQ(sim->model->wake_up(sensor_node), 0);
    ASSERT_TRUE(eventually([&] { return !received(sensor_node, 0x80, 0x02).empty(); }, 30s));
    value_outcome woken;
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
TEST_F(value_fixture, GetsSurviveTreeRebuildsDuringTheirWaits)
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
