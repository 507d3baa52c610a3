// The meter, binary sensor and multilevel sensor messages through the
// daemon's own request path, against a metering plug and a multisensor on
// the gateway simulator. Their keyed waits are the point: a get for one
// scale or type ends only on a report of that key that came after its call,
// however many reports of other keys arrive first.
#include "iface_support.h"

#include "daemon/messages/zwp_avi_if_sensor.h"
#include "hcapi/include/zwif_sw.h"

#include <future>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace
{

using namespace iface_test;

constexpr uint8_t meter_node = 2;  // "meter_plug": electric meter v3, scales 0 (kWh) and 2 (W)
constexpr uint8_t sensor_node = 3; // "multisensor": binary types 10 and 12, temperature and humidity
constexpr uint8_t old_node = 4;    // sleeping, version-1 sensors: the library knows nothing of them
constexpr uint8_t old_meter = 5;   // meter v2: two bits of scale

using bytes = std::vector<uint8_t>;
using fields = std::vector<std::pair<const char *, int32_t>>;

// One item of `meter_value_list` or `sensor_value_list`; the last three
// only in meter readings.
struct reading {
    int64_t utime = -1;
    int32_t type = -1, precision = -1, scale = -1, size = -1;
    bytes value;
    int32_t rate_type = -1, delta_time = -1;
    bytes previous;
};

struct readings_outcome : outcome {
    std::vector<reading> list;
    const reading *find(int type, int scale) const
    {
        for (const reading &r : list)
            if (r.type == type && r.scale == scale)
                return &r;
        return nullptr;
    }
    std::set<std::pair<int, int>> keys() const
    {
        std::set<std::pair<int, int>> out;
        for (const reading &r : list)
            out.insert({r.type, r.scale});
        return out;
    }
};

struct binary_outcome : outcome {
    int64_t idle_utime = -1, event_utime = -1;
    int32_t value = -1, type = -1;
};

struct list_outcome : outcome {
    int64_t utime = -1;
    int32_t type = -1;
    std::vector<int32_t> list;
};

// The requests and replies of the three families; the nodes are the
// derived fixtures' (the multisensor's interview is the slow one).
struct meter_sensor_fixture : iface_fixture {
    // Commands that end the library's walk of the nodes' classes: once they
    // went out, what it caches of the nodes is settled.
    virtual std::vector<std::pair<uint8_t, bytes>> interview_marks() const = 0;

    outcome ask(const std::string &name, uint8_t node, int cls, const fields &in, const reader &read = nullptr,
                bool passive = false)
    {
        return run(
            name, node, cls,
            [&](avro_value_t *parameter) {
                for (const auto &[field, value] : in)
                    set_int(parameter, field, value);
            },
            read, passive);
    }

    readings_outcome readings(const std::string &name, uint8_t node, int cls, const fields &in, bool passive)
    {
        const bool meter = cls == 0x32;
        readings_outcome out;
        static_cast<outcome &>(out) = ask(
            name, node, cls, in,
            [&](avro_value_t *parameter) {
                for (avro_value_t element : elements(parameter, meter ? "meter_value_list" : "sensor_value_list")) {
                    reading r;
                    r.utime = get_long(&element, "utime");
                    r.type = get_int(&element, meter ? "meter_type" : "sensor_type");
                    r.precision = get_int(&element, "precision");
                    r.scale = get_int(&element, "scale");
                    r.size = get_int(&element, "size");
                    r.value = fixed_bytes(&element, meter ? "meter_value" : "sensor_value");
                    if (meter) {
                        r.rate_type = get_int(&element, "rate_type");
                        r.delta_time = get_int(&element, "delta_time");
                        r.previous = fixed_bytes(&element, "previous_meter_value");
                    }
                    out.list.push_back(r);
                }
            },
            passive);
        return out;
    }
    readings_outcome meter_get(int32_t scale, bool passive = false)
    {
        return readings("interface_meter_get", meter_node, 0x32, {{"scale", scale}}, passive);
    }
    readings_outcome sensor_get(uint8_t node, int32_t type, int32_t scale, bool passive = false)
    {
        return readings("interface_sensor_multilevel_get", node, 0x31, {{"sensor_type", type}, {"scale", scale}},
                        passive);
    }

    binary_outcome binary_get(uint8_t node, int32_t type, bool passive = false)
    {
        binary_outcome out;
        static_cast<outcome &>(out) = ask(
            "interface_sensor_binary_get", node, 0x30, {{"sensor_type", type}},
            [&](avro_value_t *parameter) {
                out.idle_utime = get_long(parameter, "idle_utime");
                out.event_utime = get_long(parameter, "event_utime");
                out.value = get_int(parameter, "sensor_value");
                out.type = get_int(parameter, "sensor_type");
            },
            passive);
        return out;
    }

    // A supported-types or supported-scales get.
    list_outcome list_get(const std::string &name, uint8_t node, int cls, const fields &in, const char *list)
    {
        list_outcome out;
        static_cast<outcome &>(out) = ask(name, node, cls, in, [&](avro_value_t *parameter) {
            out.utime = get_long(parameter, "utime");
            if (!in.empty()) // the scales' reply names their type
                out.type = get_int(parameter, "sensor_type");
            out.list = int_list(parameter, list);
        });
        return out;
    }

    bool got(uint8_t node, const bytes &command) const
    {
        for (const sim::node_command &c : sim->model->commands(node))
            if (c.command == command)
                return true;
        return false;
    }
    // Commands of the sensor and meter classes that reached a node.
    size_t class_commands() const
    {
        size_t n = 0;
        for (const sim::node_command &c : sim->model->commands())
            n += !c.command.empty() && c.command[0] >= 0x30 && c.command[0] <= 0x32;
        return n;
    }
    void interviewed()
    {
        ASSERT_TRUE(eventually(
            [&] {
                for (const auto &[node, command] : interview_marks())
                    if (!got(node, command))
                        return false;
                return true;
            },
            60s));
    }
    // Holds the node's answers while `during` runs against a get in flight
    // whose Get is `get`; then lets them go and hands back the get's answer.
    // The get's wait outlasts any delay of a loaded machine (the list reads
    // the time-out per request).
    template <typename Outcome, typename Get, typename During>
    Outcome with_answer_held(uint8_t node, const bytes &get, Get start, During during)
    {
        const uint32_t timeout = config.report_wait_timeout;
        config.report_wait_timeout = 120;
        EXPECT_EQ(sim->model->set_answers(node, sim::answer_mode::held), 0);
        const size_t gets_before = count(node, get);
        std::future<Outcome> pending = std::async(std::launch::async, start);
        EXPECT_TRUE(eventually([&] { return count(node, get) > gets_before; }));
        during();
        EXPECT_EQ(pending.wait_for(0s), std::future_status::timeout) << "the get ended before its answer";
        EXPECT_GE(sim->model->release_answers(), 1u);
        EXPECT_EQ(sim->model->set_answers(node, sim::answer_mode::normal), 0);
        Outcome out = pending.get();
        config.report_wait_timeout = timeout;
        return out;
    }
    size_t count(uint8_t node, const bytes &command) const
    {
        size_t n = 0;
        for (const sim::node_command &c : sim->model->commands(node))
            n += c.command == command;
        return n;
    }
};

bool no_duplicate_keys(const readings_outcome &out) { return out.keys().size() == out.list.size(); }

struct meter_fixture : meter_sensor_fixture {
    std::vector<sim::node_profile> profiles() const override
    {
        sim::node_profile v2;
        v2.node_id = old_meter;
        v2.classes = {{sim::cc_version, 2, {}}, {sim::cc_meter, 2, {}}, {sim::cc_basic, 1, {}}};
        return {*sim::builtin_profile("meter_plug", meter_node), v2};
    }
    std::vector<std::pair<uint8_t, bytes>> interview_marks() const override
    {
        return {{meter_node, {0x32, 0x01, 0x10}}, {old_meter, {0x32, 0x03}}};
    }
};

struct sensor_fixture : meter_sensor_fixture {
    std::vector<sim::node_profile> profiles() const override
    {
        sim::node_profile old;
        old.node_id = old_node;
        old.kind = sim::node_kind::sleeping;
        old.classes = {{sim::cc_wake_up, 2, {}},
                       {sim::cc_sensor_binary, 1, {}},
                       {sim::cc_sensor_multilevel, 1, {}},
                       {sim::cc_basic, 1, {}}};
        return {*sim::builtin_profile("multisensor", sensor_node), old};
    }
    std::vector<std::pair<uint8_t, bytes>> interview_marks() const override
    {
        return {{sensor_node, {0x31, 0x04, 0x05, 0x00}}, {sensor_node, {0x30, 0x02, 0x0A}}};
    }
};

// Requests refused before anything is sent: values out of their fields'
// ranges (with the line that says so), and messages aimed at an interface
// of another class. Each fixture runs the cases of its nodes.
struct refusal {
    const char *message;
    uint8_t node;
    int cls;
    fields in;
    const char *log_line; // or null: refused without a line of ours
};
const refusal k_refusals[] = {
    {"interface_meter_get", meter_node, 0x32, {{"scale", 8}}, "Invalid Scale: 8"},
    {"interface_meter_get", meter_node, 0x32, {{"scale", -2}}, "Invalid Scale: -2"},
    {"interface_meter_get", meter_node, 0x32, {{"scale", 256}}, "Invalid Scale: 256"},
    // Version 2 carries two bits of scale: 5 would ask for scale 1.
    {"interface_meter_get", old_meter, 0x32, {{"scale", 5}}, "Invalid Scale: 5"},
    {"interface_meter_get", meter_node, 0x25, {{"scale", 0}}, nullptr},
    {"interface_meter_reset", meter_node, 0x25, {}, nullptr},
    {"interface_meter_supported_get", old_meter, 0x20, {}, nullptr},
    {"interface_sensor_binary_get", sensor_node, 0x30, {{"sensor_type", 256}}, "Invalid Sensor Type: 256"},
    {"interface_sensor_binary_get", sensor_node, 0x30, {{"sensor_type", -1}}, "Invalid Sensor Type: -1"},
    {"interface_sensor_multilevel_get", sensor_node, 0x31, {{"sensor_type", 256}, {"scale", 0}},
     "Invalid sensor type: 256"},
    {"interface_sensor_multilevel_get", sensor_node, 0x31, {{"sensor_type", -2}, {"scale", 0}},
     "Invalid sensor type: -2"},
    // A Get carries two bits of scale.
    {"interface_sensor_multilevel_get", sensor_node, 0x31, {{"sensor_type", 1}, {"scale", 4}},
     "Invalid sensor scale: 4"},
    {"interface_sensor_multilevel_get", sensor_node, 0x31, {{"sensor_type", 1}, {"scale", -3}},
     "Invalid sensor scale: -3"},
    {"interface_sensor_multilevel_scale_supported_get", sensor_node, 0x31, {{"sensor_type", -1}},
     "Invalid sensor type: -1"},
    {"interface_sensor_multilevel_scale_supported_get", sensor_node, 0x31, {{"sensor_type", 256}},
     "Invalid sensor type: 256"},
    {"interface_sensor_binary_get", sensor_node, 0x31, {{"sensor_type", 1}}, nullptr},
    {"interface_sensor_multilevel_get", sensor_node, 0x30, {{"sensor_type", 1}, {"scale", 0}}, nullptr},
    {"interface_sensor_multilevel_supported_get", sensor_node, 0x30, {}, nullptr},
    {"interface_sensor_binary_supported_get", old_node, 0x31, {}, nullptr},
};

void refusals_reach_no_device(meter_sensor_fixture &f)
{
    ASSERT_NO_FATAL_FAILURE(f.interviewed());
    const size_t before = f.class_commands();
    size_t ran = 0;
    for (const refusal &c : k_refusals) {
        if (!f.sim->model->view(c.node))
            continue;
        ran++;
        f.log.clear();
        const outcome out = f.ask(c.message, c.node, c.cls, c.in);
        EXPECT_FALSE(out.read == 0 && out.executed == 0) << c.message << " to class " << c.cls;
        if (c.log_line) {
            EXPECT_TRUE(f.log.contains(c.log_line)) << c.log_line;
        }
    }
    EXPECT_GT(ran, 0u);
    EXPECT_EQ(f.class_commands(), before) << "nothing reaches a device";
}

TEST_F(meter_fixture, AMeterGetForAScaleEndsOnlyOnAReadingOfThatScale)
{
    ASSERT_NO_FATAL_FAILURE(interviewed());

    // Scale 2 as the device reads it: 45.6 W, 30 s after 40.0 W, import.
    const readings_outcome watts = meter_get(2);
    ASSERT_TRUE(watts.answered());
    EXPECT_EQ(watts.reply_type, "InterfaceMeterGetResponse");
    ASSERT_EQ(watts.list.size(), 1u);
    const reading &w = watts.list[0];
    EXPECT_GT(w.utime, 0);
    EXPECT_EQ(w.type, 1);
    EXPECT_EQ(w.scale, 2);
    EXPECT_EQ(w.precision, 1);
    EXPECT_EQ(w.size, 2);
    EXPECT_EQ(w.value, (bytes{0x01, 0xC8, 0x00, 0x00})) << "the value's bytes first, zeros behind";
    EXPECT_EQ(w.rate_type, 1);
    EXPECT_EQ(w.delta_time, 30);
    EXPECT_EQ(w.previous, (bytes{0x01, 0x90, 0x00, 0x00}));

    // Scale 5 is new to the device, so the library's cache has no reading of
    // it: its cached report carries no data and the get waits for the
    // device. A scale-0 reading pushed meanwhile must not end it.
    bytes values = *sim->model->values(meter_node, 0x32);
    values.insert(values.end(), {5, 1, 2, 0x00, 0x00, 0x00, 0x7D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    ASSERT_EQ(sim->model->set_values(meter_node, 0x32, values), 0);
    // Electric, import; two decimals in 4 bytes: 15.00 kWh.
    const bytes kwh_1500{0x32, 0x02, 0x21, 0x44, 0x00, 0x00, 0x05, 0xDC, 0x00, 0x00};
    const readings_outcome scale5 = with_answer_held<readings_outcome>(
        meter_node, {0x32, 0x01, 5 << 3}, [&] { return meter_get(5); },
        [&] { EXPECT_GE(sim->model->send_command(meter_node, kwh_1500), 0); });
    ASSERT_TRUE(scale5.answered());
    ASSERT_EQ(scale5.list.size(), 1u) << "only the requested scale";
    EXPECT_EQ(scale5.list[0].scale, 5);
    EXPECT_EQ(scale5.list[0].value, (bytes{0x00, 0x7D, 0x00, 0x00}));
    EXPECT_EQ(scale5.list[0].previous, (bytes{0x00, 0x00, 0x00, 0x00}));

    // Without a scale: every reading, one per type and scale, the newest.
    readings_outcome all;
    ASSERT_TRUE(eventually([&] {
        all = meter_get(-1, true);
        return all.answered() && all.find(1, 0) && all.find(1, 5);
    }));
    EXPECT_EQ(all.find(1, 0)->value, (bytes{0x00, 0x00, 0x05, 0xDC}));
    EXPECT_TRUE(no_duplicate_keys(all));
    ASSERT_GE(sim->model->send_command(meter_node, {0x32, 0x02, 0x21, 0x44, 0x00, 0x00, 0x05, 0xDD, 0x00, 0x00}), 0);
    ASSERT_TRUE(eventually([&] {
        all = meter_get(-1, true);
        return all.answered() && all.find(1, 0) && all.find(1, 0)->value == bytes{0x00, 0x00, 0x05, 0xDD};
    }));
    EXPECT_TRUE(no_duplicate_keys(all));
    EXPECT_TRUE(all.find(1, 5)) << "another scale's reading stays";
}

TEST_F(meter_fixture, MeterSupportedGetAndReset)
{
    ASSERT_NO_FATAL_FAILURE(interviewed());
    int64_t utime = -1;
    int32_t type = -1, scales = -1, reset = -1;
    const outcome supported = ask("interface_meter_supported_get", meter_node, 0x32, {}, [&](avro_value_t *p) {
        utime = get_long(p, "utime");
        type = get_int(p, "meter_type");
        scales = get_int(p, "scale_supported");
        reset = get_int(p, "meter_reset");
    });
    ASSERT_TRUE(supported.answered());
    EXPECT_EQ(supported.reply_type, "InterfaceMeterSupportedGetResponse");
    EXPECT_GT(utime, 0);
    EXPECT_EQ(type, 1);
    EXPECT_EQ(scales, 0x05) << "the mask as the device reports it";
    EXPECT_EQ(reset, 1);

    const outcome reset_out = ask("interface_meter_reset", meter_node, 0x32, {});
    ASSERT_TRUE(reset_out.answered());
    EXPECT_EQ(reset_out.reply_type, "InterfaceResponse");
    EXPECT_TRUE(eventually([&] { return got(meter_node, {0x32, 0x05}); }));
    // The device now reads 0; its live reading follows the cached one.
    EXPECT_TRUE(eventually([&] {
        const readings_outcome out = meter_get(0);
        return out.answered() && out.find(1, 0) && out.find(1, 0)->value == bytes{0, 0, 0, 0};
    }));
}

TEST_F(meter_fixture, RefusedRequestsReachNoDevice) { refusals_reach_no_device(*this); }
TEST_F(sensor_fixture, RefusedRequestsReachNoDevice) { refusals_reach_no_device(*this); }

TEST_F(sensor_fixture, SupportedTypesAndBinaryReportsPerType)
{
    ASSERT_NO_FATAL_FAILURE(interviewed());
    // The library cannot ask a version-1 sensor what it supports (and knows
    // nothing of this sleeping one): answered at once, with no types.
    const struct {
        const char *message;
        uint8_t node;
        int cls;
        std::vector<int32_t> types;
        const char *log_line; // or null
    } supported[] = {
        {"interface_sensor_binary_supported_get", sensor_node, 0x30, {10, 12}, nullptr},
        {"interface_sensor_multilevel_supported_get", sensor_node, 0x31, {1, 5}, nullptr},
        {"interface_sensor_binary_supported_get", old_node, 0x30, {}, "Changed return code to hcapi_code_p = 1"},
        {"interface_sensor_multilevel_supported_get", old_node, 0x31, {}, "Changed retun code to hcapi_code_p = 1"},
    };
    for (const auto &c : supported) {
        log.clear();
        const list_outcome out = list_get(c.message, c.node, c.cls, {}, "supported_types");
        ASSERT_TRUE(out.answered()) << c.message;
        EXPECT_EQ(out.reply_type, "InterfaceSensorSupportedGetResponse");
        EXPECT_GT(out.utime, 0) << c.message;
        EXPECT_EQ(out.list, c.types) << c.message;
        if (c.log_line) {
            EXPECT_TRUE(log.contains(c.log_line)) << c.message;
        }
        EXPECT_FALSE(log.contains("Timed out on waiting for report")) << c.message;
    }

    // The device's two binary sensors: the door is open, no motion.
    const binary_outcome door = binary_get(sensor_node, 10);
    ASSERT_TRUE(door.answered());
    EXPECT_EQ(door.reply_type, "InterfaceSensorBinaryGetResponse");
    EXPECT_EQ(door.type, 10);
    EXPECT_EQ(door.value, 255);
    EXPECT_GT(door.event_utime, 0);
    // A water sensor new to the device (idle) is unknown to the library's
    // cache, so a get of that type waits for the device; the door's report
    // closing it meanwhile must not end the wait.
    bytes states = *sim->model->values(sensor_node, 0x30);
    states.insert(states.end(), {0x06, 0x00});
    ASSERT_EQ(sim->model->set_values(sensor_node, 0x30, states), 0);
    const binary_outcome water = with_answer_held<binary_outcome>(
        sensor_node, {0x30, 0x02, 0x06}, [&] { return binary_get(sensor_node, 6); },
        [&] { EXPECT_GE(sim->model->send_command(sensor_node, {0x30, 0x03, 0x00, 0x0A}), 0); });
    ASSERT_TRUE(water.answered());
    EXPECT_EQ(water.type, 6);
    EXPECT_EQ(water.value, 0);
    EXPECT_GT(water.idle_utime, 0);
    EXPECT_EQ(water.event_utime, 0);
    binary_outcome closed;
    ASSERT_TRUE(eventually([&] {
        closed = binary_get(sensor_node, 10, true);
        return closed.answered() && closed.value == 0;
    }));
    EXPECT_GT(closed.idle_utime, 0);
    EXPECT_EQ(closed.event_utime, door.event_utime) << "an idle report keeps the time of the last event";

    // Reports in turn to the sleeping node, so that none of its own come
    // between; after each, what a passive get of `asked` answers.
    zwif_desc_t intf = library_if(old_node, 0x30);
    const struct {
        uint8_t state, type;
        time_t ts;
        int32_t asked;
        int64_t idle_utime, event_utime;
        int32_t value, reported_type;
    } steps[] = {
        {0xFF, 12, 1000, 12, 0, 1000, 255, 12},
        // Idle moves only the idle time.
        {0x00, 12, 2000, 12, 2000, 1000, 0, 12},
        // Type 0 answers the last reported; each type keeps its own.
        {0xFF, 10, 3000, 0, 0, 3000, 255, 10},
        {0xFF, 10, 3000, 12, 2000, 1000, 0, 12},
        // Without data nothing is stored.
        {0x00, 12, 0, 0, 0, 3000, 255, 10},
        {0x00, 12, 0, 12, 2000, 1000, 0, 12},
        {0xFF, 12, 4000, 0, 2000, 4000, 255, 12},
        // A report that names no type (a version-1 device) answers any type.
        {0xFF, 0, 5000, 10, 0, 5000, 255, 0},
    };
    for (const auto &s : steps) {
        zwp_avi_interfaces_sensor_binary_report_cb(&intf, s.state, s.type, s.ts);
        const binary_outcome out = binary_get(old_node, s.asked, true);
        ASSERT_TRUE(out.answered());
        const std::string step = "type " + std::to_string(s.type) + " at " + std::to_string(s.ts);
        EXPECT_EQ(out.idle_utime, s.idle_utime) << step;
        EXPECT_EQ(out.event_utime, s.event_utime) << step;
        EXPECT_EQ(out.value, s.value) << step;
        EXPECT_EQ(out.type, s.reported_type) << step;
    }
}

TEST_F(sensor_fixture, MultilevelSensorGetsAnswerTheReadingsTheyAskFor)
{
    ASSERT_NO_FATAL_FAILURE(interviewed());
    using keys = std::set<std::pair<int, int>>;
    // Temperature in Fahrenheit, then humidity.
    const readings_outcome fahrenheit = sensor_get(sensor_node, 1, 1);
    ASSERT_TRUE(fahrenheit.answered());
    EXPECT_EQ(fahrenheit.reply_type, "InterfaceSensorMultilevelGetResponse");
    ASSERT_EQ(fahrenheit.keys(), (keys{{1, 1}}));
    EXPECT_GT(fahrenheit.list[0].utime, 0);
    EXPECT_EQ(fahrenheit.list[0].precision, 1);
    EXPECT_EQ(fahrenheit.list[0].size, 2);
    EXPECT_EQ(fahrenheit.list[0].value, (bytes{0x02, 0xC3, 0x00, 0x00}));
    const readings_outcome humidity = sensor_get(sensor_node, 5, 0);
    ASSERT_TRUE(humidity.answered());
    ASSERT_EQ(humidity.keys(), (keys{{5, 0}}));
    EXPECT_EQ(humidity.list[0].value, (bytes{0x2D, 0x00, 0x00, 0x00}));

    // A type without a scale: every reading of that type (the get asks for
    // scale 0); no type: every reading.
    const readings_outcome temperature = sensor_get(sensor_node, 1, -1);
    ASSERT_TRUE(temperature.answered());
    EXPECT_EQ(temperature.keys(), (keys{{1, 0}, {1, 1}}));
    EXPECT_TRUE(log.contains("No sensor scale provided"));
    EXPECT_TRUE(log.contains("Issuing Get command with type 1 and scale 0 to HCAPI"));
    const readings_outcome everything = sensor_get(sensor_node, -1, -1);
    ASSERT_TRUE(everything.answered());
    EXPECT_EQ(everything.keys(), (keys{{1, 0}, {1, 1}, {5, 0}}));
    EXPECT_TRUE(log.contains("No sensor type provided"));

    // Luminance is new to the device (scales 0 and 2) and unknown to the
    // library's cache: a get of that type waits for the device, and a
    // humidity report pushed meanwhile does not end it.
    bytes values = *sim->model->values(sensor_node, 0x31);
    values.insert(values.end(), {0x03, 0x01, 0x64, 0x03, 0x11, 0x0A});
    ASSERT_EQ(sim->model->set_values(sensor_node, 0x31, values), 0);
    const readings_outcome luminance = with_answer_held<readings_outcome>(
        sensor_node, {0x31, 0x04, 0x03, 0x00}, [&] { return sensor_get(sensor_node, 3, -1); },
        [&] { EXPECT_GE(sim->model->send_command(sensor_node, {0x31, 0x05, 0x05, 0x01, 0x30}), 0); });
    ASSERT_TRUE(luminance.answered());
    ASSERT_EQ(luminance.keys(), (keys{{3, 0}}));
    EXPECT_EQ(luminance.list[0].value, (bytes{0x64, 0x00, 0x00, 0x00}));
    readings_outcome stored;
    ASSERT_TRUE(eventually([&] {
        stored = sensor_get(sensor_node, 5, 0, true);
        return stored.answered() && stored.find(5, 0) && stored.find(5, 0)->value[0] == 0x30;
    }));
    EXPECT_TRUE(no_duplicate_keys(sensor_get(sensor_node, -1, -1, true)));

    // Scales: of a type the library has not met, from the device (mask
    // 0x05); of the others, from the library's interview.
    const struct {
        int32_t type;
        std::vector<int32_t> scales;
    } scale_cases[] = {{3, {0, 2}}, {1, {0, 1}}, {5, {0}}};
    for (const auto &c : scale_cases) {
        const list_outcome out = list_get("interface_sensor_multilevel_scale_supported_get", sensor_node, 0x31,
                                          {{"sensor_type", c.type}}, "supported_scales");
        ASSERT_TRUE(out.answered()) << c.type;
        EXPECT_EQ(out.reply_type, "InterfaceSensorMultilevelScaleSupportedGetResponse");
        EXPECT_GT(out.utime, 0) << c.type;
        EXPECT_EQ(out.type, c.type);
        EXPECT_EQ(out.list, c.scales) << c.type;
    }

    // A reading's value takes at most the 4 bytes of its field, and only
    // `size` of them, zeros behind.
    zwif_desc_t intf = library_if(old_node, 0x31);
    const struct {
        zwsensor_t record;
        int32_t size;
        bytes value;
    } readings[] = {
        {{1, 0, 0, 7, {0x01, 0x02, 0x03, 0x04}}, 4, {0x01, 0x02, 0x03, 0x04}},
        {{5, 0, 0, 1, {0xAB, 0xCD, 0xEF, 0x12}}, 1, {0xAB, 0x00, 0x00, 0x00}},
    };
    for (const auto &r : readings) {
        zwsensor_t record = r.record;
        zwp_avi_interfaces_sensor_multilevel_report_cb(&intf, &record, 1000);
        const readings_outcome out = sensor_get(old_node, r.record.type, -1, true);
        ASSERT_TRUE(out.answered());
        ASSERT_EQ(out.list.size(), 1u);
        EXPECT_EQ(out.list[0].size, r.size);
        EXPECT_EQ(out.list[0].value, r.value);
        EXPECT_EQ(out.list[0].utime, 1000);
    }
}

} // namespace
