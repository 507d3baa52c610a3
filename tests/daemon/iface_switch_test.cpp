// The multilevel switch and colour switch messages through the daemon's own
// request path, against a dimmer and colour bulbs on the gateway simulator,
// which records the frames that reached its nodes.
#include "iface_support.h"

#include "daemon/messages/zwp_avi_if_switch_color.h"
#include "hcapi/include/zwif_sw.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace
{

using namespace iface_test;

constexpr uint8_t dimmer_node = 5;
constexpr uint8_t color_node = 6;    // warm white 0x00, red 0xFF, green 0x80, blue 0x00 (0, 2, 3, 4); version 3
constexpr uint8_t color_v2_node = 7; // warm white, red and blue; version 2

using bytes = std::vector<uint8_t>;
using ints = std::vector<std::pair<const char *, int32_t>>;

// The level change fields of a multilevel request, in their record's order.
ints level_change(int32_t start_stop, int32_t up_down, int32_t ignore, int32_t start_level, int32_t duration,
                  int32_t inc_dec, int32_t step_size)
{
    return {{"start_stop", start_stop}, {"up_down", up_down},       {"ignore_start_level", ignore},
            {"start_level", start_level}, {"dimming_duration", duration}, {"inc_dec", inc_dec},
            {"step_size", step_size}};
}
ints color_change(int32_t start_stop, int32_t up_down, int32_t ignore, int32_t id, int32_t start_level,
                  int32_t duration)
{
    return {{"start_stop", start_stop}, {"up_down", up_down},         {"ignore_start_level", ignore},
            {"id", id},                 {"start_level", start_level}, {"duration", duration}};
}

struct component {
    int64_t utime = -1;
    int32_t cvalue = -1;
    int32_t tvalue = -1;
    int32_t dur = -1;
};
// id -> component of a colour get's reply.
using components = std::map<int32_t, component>;
// id -> start/stop of a colour level change get's reply, and the times.
struct changes {
    std::map<int32_t, int32_t> start_stop;
    std::vector<int64_t> utimes;
};

struct switch_fixture : iface_fixture {
    std::vector<sim::node_profile> profiles() const override
    {
        sim::node_profile old_color = *sim::builtin_profile("color", color_v2_node);
        for (sim::class_profile &c : old_color.classes) {
            if (c.cmd_class == sim::cc_switch_color) {
                c.version = 2;
                c.values = {0x15, 0x00, 0x11, 0x00, 0x22, 0x00, 0x33, 0x00, 0x00, 0x00, 0x00};
            }
        }
        return {*sim::builtin_profile("dimmer", dimmer_node), *sim::builtin_profile("color", color_node), old_color};
    }

    uint8_t class_version(uint8_t node, uint8_t cls) const
    {
        for (const sim::node_profile &p : profiles())
            for (const sim::class_profile &c : p.classes)
                if (p.node_id == node && c.cmd_class == cls)
                    return c.version;
        return 0;
    }

    // A request whose `parameter` holds the int fields `fields`.
    outcome call(const std::string &name, uint8_t node, int cls, const ints &fields = {},
                 const reader &read = nullptr, bool passive = false)
    {
        return run(
            name, node, cls,
            [&](avro_value_t *parameter) {
                for (const auto &[field, value] : fields)
                    set_int(parameter, field, value);
            },
            read, passive);
    }

    // "interface_switch_color_set" with (id, value) items and `dur`.
    outcome color_set(const std::vector<std::pair<int32_t, int32_t>> &items, int32_t dur = -1)
    {
        return run("interface_switch_color_set", color_node, 0x33, [&](avro_value_t *parameter) {
            avro_value_t list;
            ASSERT_EQ(avro_value_get_by_name(parameter, "switch_color_set_list", &list, nullptr), 0);
            for (const auto &[id, value] : items) {
                avro_value_t item;
                ASSERT_EQ(avro_value_append(&list, &item, nullptr), 0);
                set_int(&item, "id", id);
                set_int(&item, "value", value);
            }
            set_int(parameter, "dur", dur);
        });
    }

    std::optional<components> color_get(int32_t mask, bool passive = false, uint8_t node = color_node)
    {
        components out;
        const outcome o = call("interface_switch_color_get", node, 0x33, {{"mask", mask}}, [&](avro_value_t *p) {
            for (avro_value_t e : elements(p, "switch_color_value_list"))
                out[get_int(&e, "id")] = {get_long(&e, "utime"), get_int(&e, "cvalue"), get_int(&e, "tvalue"),
                                          get_int(&e, "dur")};
        }, passive);
        if (!o.answered())
            return std::nullopt;
        return out;
    }

    std::optional<changes> color_changes(int32_t mask)
    {
        changes out;
        const outcome o = call("interface_switch_color_level_change_get", color_node, 0x33, {{"mask", mask}},
                               [&](avro_value_t *p) {
                                   for (avro_value_t e : elements(p, "switch_color_level_change_value_list")) {
                                       out.start_stop[get_int(&e, "id")] = get_int(&e, "start_stop");
                                       out.utimes.push_back(get_long(&e, "utime"));
                                   }
                               });
        if (!o.answered())
            return std::nullopt;
        return out;
    }

    // (utime, start_stop) of the multilevel level change get.
    std::pair<int64_t, int32_t> level_changes()
    {
        std::pair<int64_t, int32_t> out{-1, -1};
        const outcome o =
            call("interface_switch_multilevel_level_change_get", dimmer_node, 0x26, {}, [&](avro_value_t *p) {
                out = {get_long(p, "utime"), get_int(p, "start_stop")};
            });
        EXPECT_TRUE(o.answered());
        return out;
    }

    // Frames of class `cls` that reached `node` from command index `from` on.
    std::vector<bytes> frames_since(uint64_t from, uint8_t node, uint8_t cls) const
    {
        std::vector<bytes> out;
        for (const sim::node_command &c : sim->model->commands(node))
            if (c.index >= from && !c.command.empty() && c.command[0] == cls)
                out.push_back(c.command);
        return out;
    }
    // The first frame of `cls`/`cmd` at `node` from `from` on, waited for.
    std::optional<bytes> frame_since(uint64_t from, uint8_t node, uint8_t cls, uint8_t cmd) const
    {
        const auto c = sim->model->wait_command(node, cls, cmd, 20s, from);
        if (!c)
            return std::nullopt;
        return c->command;
    }
};

// ---------------------------------------------------------------------------
// Multilevel Switch
// ---------------------------------------------------------------------------

TEST_F(switch_fixture, MultilevelSetsAndLevelChangesReachTheDimmerAndTheGetReadsTheLevelBack)
{
    // The duration byte goes only to a device of version 2 or later.
    const bool with_duration = class_version(dimmer_node, 0x26) >= 2;
    const struct {
        int32_t value;
        int32_t duration;
        bytes frame;
    } sets[] = {
        {30, 5, {0x26, 0x01, 0x1E, 0x05}},
        {40, -1, {0x26, 0x01, 0x28, 0xFF}}, // the device's own duration
    };
    for (const auto &s : sets) {
        const uint64_t from = sim->model->next_command_index();
        ASSERT_TRUE(call("interface_switch_multilevel_set", dimmer_node, 0x26,
                         {{"value", s.value}, {"dimming_duration", s.duration}})
                        .answered())
            << s.value;
        bytes expected = s.frame;
        if (!with_duration)
            expected.pop_back();
        EXPECT_EQ(frame_since(from, dimmer_node, 0x26, 0x01), expected) << s.value;
    }
    // The first get may answer from the library's cache before the device's
    // report is in; the device's level arrives with a later one.
    int64_t utime = 0;
    int32_t level = -1;
    EXPECT_TRUE(eventually([&] {
        const outcome o = call("interface_switch_multilevel_get", dimmer_node, 0x26, {}, [&](avro_value_t *p) {
            utime = get_long(p, "utime");
            level = get_int(p, "value");
        });
        return o.answered() && level == 40 && utime > 0;
    })) << "level " << level << " at " << utime;

    // Nothing remembered before the first accepted start or stop.
    EXPECT_EQ(level_changes(), std::make_pair(int64_t{0}, 0));

    const struct {
        const char *what;
        ints fields;
        bytes frame;
        bool forced_step; // the warning about the step size is logged
    } changes[] = {
        // Up from where it is, no secondary switch: flags 0x20 | 3 << 3.
        {"start up", level_change(1, 0, 1, -1, -1, -1, -1), {0x26, 0x04, 0x38, 0x00, 0xFF, 0x00}, false},
        // Down from 20 over 3 s; a step without an increment is dropped.
        {"start down", level_change(1, 1, 0, 20, 3, 3, 5), {0x26, 0x04, 0x58, 0x14, 0x03, 0x00}, true},
        {"stop", level_change(0, 0, 0, -1, -1, -1, -1), {0x26, 0x05}, false},
    };
    for (const auto &c : changes) {
        log.clear();
        const uint64_t from = sim->model->next_command_index();
        ASSERT_TRUE(call("interface_switch_multilevel_level_change_set", dimmer_node, 0x26, c.fields).answered())
            << c.what;
        EXPECT_EQ(frame_since(from, dimmer_node, 0x26, c.frame[1]), c.frame) << c.what;
        EXPECT_EQ(log.has("[warning] Forcing Step Size value to 0 when Inc/Dec value is 3 (No Inc/Dec)\n"),
                  c.forced_step)
            << c.what;
        const auto [at, start_stop] = level_changes();
        EXPECT_GT(at, 0) << c.what;
        EXPECT_EQ(start_stop, c.fields[0].second) << c.what;
    }
}

TEST_F(switch_fixture, MultilevelRefusalsSendNothingAndLeaveTheRememberedChange)
{
    // The last accepted command is a stop.
    ASSERT_TRUE(call("interface_switch_multilevel_level_change_set", dimmer_node, 0x26,
                     level_change(0, 0, 0, -1, -1, -1, -1))
                    .answered());
    const auto remembered = level_changes();
    ASSERT_GT(remembered.first, 0);
    ASSERT_EQ(remembered.second, 0);

    const struct {
        const char *message;
        ints fields;
        const char *log_line; // the daemon's refusal, or null for the library's
    } cases[] = {
        {"interface_switch_multilevel_set", {{"value", 256}, {"dimming_duration", -1}}, "Invalid value: 256"},
        {"interface_switch_multilevel_set", {{"value", -1}, {"dimming_duration", -1}}, "Invalid value: -1"},
        {"interface_switch_multilevel_set", {{"value", 40}, {"dimming_duration", 256}},
         "Invalid Dimming Duration: 256"},
        // The library takes levels 0 to 99 and 255.
        {"interface_switch_multilevel_set", {{"value", 150}, {"dimming_duration", -1}}, nullptr},
        {"interface_switch_multilevel_level_change_set", level_change(1, 0, 0, -1, -1, -1, -1),
         "Missing required argument Start Level"},
        {"interface_switch_multilevel_level_change_set", level_change(1, 0, 1, -1, -1, -1, 256),
         "Invalid Step Size value: 256"},
        {"interface_switch_multilevel_level_change_set", level_change(256, 0, 1, -1, -1, -1, -1),
         "Invalid Start/Stop value: 256"},
        // Starts the library refuses: a start level above 99, no such direction.
        {"interface_switch_multilevel_level_change_set", level_change(1, 0, 0, 150, -1, -1, -1), nullptr},
        {"interface_switch_multilevel_level_change_set", level_change(1, 2, 1, -1, -1, -1, -1), nullptr},
    };
    const uint64_t from = sim->model->next_command_index();
    for (const auto &c : cases) {
        log.clear();
        const outcome o = call(c.message, dimmer_node, 0x26, c.fields);
        EXPECT_FALSE(o.answered()) << c.message << " " << c.fields[0].second;
        if (c.log_line) {
            EXPECT_TRUE(log.has(std::string("[error] ") + c.log_line + "\n")) << c.log_line;
        }
    }
    for (const bytes &f : frames_since(from, dimmer_node, 0x26))
        EXPECT_TRUE(f[1] != 0x01 && f[1] != 0x04 && f[1] != 0x05) << "a refused command reached the dimmer";
    EXPECT_EQ(level_changes(), remembered) << "a refused start is not remembered";

    // The dimmer's switch types: down/up (2), no secondary switch.
    int64_t utime = 0;
    int32_t primary = -1, secondary = -1;
    EXPECT_TRUE(eventually([&] {
        const auto read = [&](avro_value_t *p) {
            utime = get_long(p, "utime");
            primary = get_int(p, "primary_switch_type");
            secondary = get_int(p, "secondary_switch_type");
        };
        return call("interface_switch_multilevel_supported_get", dimmer_node, 0x26, {}, read).answered() && utime > 0;
    }));
    EXPECT_EQ(primary, 2);
    EXPECT_EQ(secondary, 0);
}

// ---------------------------------------------------------------------------
// Color Switch
// ---------------------------------------------------------------------------

TEST_F(switch_fixture, ColorGetAsksForTheLowestComponentAndAnswersEveryStoredOneOfTheMask)
{
    // Green (3) first, alone.
    std::optional<components> got;
    ASSERT_TRUE(eventually([&] { return (got = color_get(0x08)) && got->count(3) && got->at(3).utime > 0; }));
    EXPECT_EQ(got->size(), 1u);
    EXPECT_EQ(got->at(3).cvalue, 0x80);
    EXPECT_EQ(got->at(3).tvalue, 0x80) << "a version 3 device tells its target";
    EXPECT_EQ(got->at(3).dur, 0);

    // Red and green: red is asked for, green answered from what is stored.
    uint64_t from = sim->model->next_command_index();
    got = color_get(0x0C);
    ASSERT_TRUE(got);
    EXPECT_EQ(frame_since(from, color_node, 0x33, 0x03), (bytes{0x33, 0x03, 0x02}));
    for (const bytes &f : frames_since(from, color_node, 0x33))
        EXPECT_FALSE(f[1] == 0x03 && f[2] != 0x02) << "only the lowest component is asked for";
    ASSERT_EQ(got->size(), 2u);
    EXPECT_EQ(got->at(2).cvalue, 0xFF);
    EXPECT_GT(got->at(2).utime, 0);
    EXPECT_EQ(got->at(3).cvalue, 0x80);

    // Both components in one Set, at the device's own duration.
    from = sim->model->next_command_index();
    ASSERT_TRUE(color_set({{2, 255}, {3, 0}}).answered());
    EXPECT_EQ(frame_since(from, color_node, 0x33, 0x05), (bytes{0x33, 0x05, 0x02, 0x02, 0xFF, 0x03, 0x00, 0xFF}));
    size_t sets = 0;
    for (const bytes &f : frames_since(from, color_node, 0x33))
        sets += f[1] == 0x05;
    EXPECT_EQ(sets, 1u);
    // The cache may answer green's old value first; the device's new one follows.
    EXPECT_TRUE(eventually([&] { return (got = color_get(0x08)) && got->count(3) && got->at(3).cvalue == 0; }));

    // A report with data is kept whole; one without data (the library's
    // empty cache) stores nothing; a component the mask cannot name is
    // skipped. Warm white (0) is never asked for here, so no live report
    // comes in between.
    zwif_desc_t intf = library_if(color_node, 0x33);
    intf.ver = 3;
    const struct {
        zwcolor_t record;
        time_t ts;
    } reports[] = {
        {{0, 9, 20, 5}, 1234},
        {{0, 7, 7, 0}, 0},
        {{40, 1, 1, 0}, 1234},
    };
    for (const auto &r : reports)
        zwp_avi_interfaces_switch_color_report_cb(&intf, &r.record, r.ts);
    got = color_get(-1, true);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->size(), 3u) << "warm white, red and green";
    ASSERT_TRUE(got->count(0));
    EXPECT_EQ(got->at(0).utime, 1234);
    EXPECT_EQ(got->at(0).cvalue, 9);
    EXPECT_EQ(got->at(0).tvalue, 20);
    EXPECT_EQ(got->at(0).dur, 5);

    // Cold white (1) is no component of this bulb: the library's empty
    // cache does not end the wait, the device never answers, and the get
    // waits out its budget and answers without it.
    config.report_wait_timeout = 2;
    log.clear();
    const auto start = std::chrono::steady_clock::now();
    got = color_get(0x02);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2s);
    ASSERT_TRUE(got);
    EXPECT_TRUE(got->empty());
    EXPECT_TRUE(log.contains("Timed out on waiting for report"));

    // Below version 3 a report has no target or duration.
    ASSERT_TRUE(eventually([&] {
        return (got = color_get(0x04, false, color_v2_node)) && got->count(2) && got->at(2).utime > 0;
    }));
    EXPECT_EQ(got->at(2).cvalue, 0x22);
    EXPECT_EQ(got->at(2).tvalue, -1);
    EXPECT_EQ(got->at(2).dur, -1);

    // Components never asked for through the daemon are answered from what
    // the library learned of them in the interview; only the lowest is
    // asked of the device.
    from = sim->model->next_command_index();
    ASSERT_TRUE(eventually([&] { return (got = color_get(0x11, false, color_v2_node)) && got->size() == 2; }));
    EXPECT_TRUE(got->count(0) && got->count(4));
    for (const bytes &f : frames_since(from, color_v2_node, 0x33))
        EXPECT_FALSE(f[1] == 0x03 && f[2] != 0x00) << "only the lowest component is asked for";
}

TEST_F(switch_fixture, ColorLevelChangesAreRememberedPerComponentOnlyWhenTheLibraryTookThem)
{
    ASSERT_TRUE(color_changes(-1));
    EXPECT_TRUE(color_changes(-1)->start_stop.empty()) << "nothing before the first command";

    const struct {
        const char *what;
        ints fields;
        bytes frame;
    } accepted[] = {
        // Down from 10 at the device's own duration: flags 1 << 6.
        {"start red", color_change(1, 1, 0, 2, 10, -1), {0x33, 0x06, 0x40, 0x02, 0x0A, 0xFF}},
        // Up from where it is over 5 s: flags 0x20.
        {"start green", color_change(1, 0, 1, 3, -1, 5), {0x33, 0x06, 0x20, 0x03, 0x00, 0x05}},
        {"stop green", color_change(0, 0, 0, 3, -1, -1), {0x33, 0x07, 0x03}},
    };
    for (const auto &c : accepted) {
        const uint64_t from = sim->model->next_command_index();
        ASSERT_TRUE(call("interface_switch_color_level_change_set", color_node, 0x33, c.fields).answered()) << c.what;
        EXPECT_EQ(frame_since(from, color_node, 0x33, c.frame[1]), c.frame) << c.what;
    }
    std::optional<changes> got = color_changes(0x0C);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->start_stop, (std::map<int32_t, int32_t>{{2, 1}, {3, 0}}));
    for (int64_t t : got->utimes)
        EXPECT_GT(t, 0);
    EXPECT_EQ(color_changes(0x04)->start_stop, (std::map<int32_t, int32_t>{{2, 1}})) << "the mask filters";
    EXPECT_TRUE(color_changes(0)->start_stop.empty());

    const struct {
        const char *what;
        ints fields;
        const char *log_line; // the daemon's refusal, or null for the library's
    } refused[] = {
        {"no start level", color_change(1, 0, 0, 2, -1, -1), "Missing required argument Start Level"},
        {"direction 2", color_change(1, 2, 1, 2, -1, -1), "Invalid Up/Down value: 2"},
        {"id 256", color_change(0, 0, 0, 256, -1, -1), "Invalid Component ID value: 256"},
        {"duration 256", color_change(1, 0, 1, 2, -1, 256), "Invalid Duration value: 256"},
        {"start level -2", color_change(1, 0, 0, 2, -2, -1), "Invalid Start Level value: -2"},
        // Components above 8 do not exist for the library.
        {"stop 9", color_change(0, 0, 0, 9, -1, -1), nullptr},
        {"start 9", color_change(1, 0, 1, 9, -1, -1), nullptr},
    };
    const uint64_t from = sim->model->next_command_index();
    for (const auto &c : refused) {
        log.clear();
        EXPECT_FALSE(call("interface_switch_color_level_change_set", color_node, 0x33, c.fields).answered())
            << c.what;
        if (c.log_line) {
            EXPECT_TRUE(log.has(std::string("[error] ") + c.log_line + "\n")) << c.what;
        }
    }
    EXPECT_TRUE(frames_since(from, color_node, 0x33).empty());
    EXPECT_EQ(color_changes(-1)->start_stop, (std::map<int32_t, int32_t>{{2, 1}, {3, 0}}));
}

TEST_F(switch_fixture, ColorRefusalsSupportedMasksAndMessagesToAnotherClass)
{
    using items = std::vector<std::pair<int32_t, int32_t>>;
    items ten;
    for (int32_t id = 0; id < 10; id++)
        ten.push_back({id % 9, 1});
    const struct {
        const char *what;
        items list;
        int32_t dur;
        const char *log_line; // the daemon's refusal, or null for the library's
    } sets[] = {
        {"ten items", ten, -1, "Invalid switch_color value list size"},
        {"id 256", {{256, 1}}, -1, "Invalid Color Component ID: 256"},
        {"value -1", {{2, -1}}, -1, "Invalid Color Component Value: -1"},
        {"value 256", {{2, 256}}, -1, "Invalid Color Component Value: 256"},
        {"duration 256", {{2, 1}}, 256, "Invalid Color Switch Set Duration: 256"},
        {"component 9", {{2, 1}, {9, 1}}, -1, nullptr},
        {"no item", {}, -1, nullptr},
    };
    uint64_t from = sim->model->next_command_index();
    for (const auto &c : sets) {
        log.clear();
        EXPECT_FALSE(color_set(c.list, c.dur).answered()) << c.what;
        if (c.log_line) {
            EXPECT_TRUE(log.has(std::string("[error] ") + c.log_line + "\n")) << c.what;
        }
    }
    // A mask of nothing, and one whose lowest component the library does not know.
    for (int32_t mask : {0, 0x200})
        EXPECT_FALSE(color_get(mask)) << mask;
    EXPECT_TRUE(frames_since(from, color_node, 0x33).empty());

    // Supported: warm white, red, green and blue.
    int64_t utime = 0;
    int32_t mask = -1;
    auto supported = [&](uint8_t node, bool passive) {
        return call("interface_switch_color_supported_get", node, 0x33, {},
                    [&](avro_value_t *p) {
                        utime = get_long(p, "utime");
                        mask = get_int(p, "mask");
                    },
                    passive)
            .answered();
    };
    EXPECT_TRUE(eventually([&] { return supported(color_node, false) && utime > 0; }));
    EXPECT_EQ(mask, 0x1D);
    EXPECT_TRUE(eventually([&] { return supported(color_v2_node, false) && utime > 0; }));
    EXPECT_EQ(mask, 21) << "components 0, 2 and 4";
    // The bulb tells on its own that it has 0, 2, 4 and 40: 40 lies beyond the mask.
    ASSERT_GE(sim->model->send_command(color_node, {0x33, 0x02, 0x15, 0x00, 0x00, 0x00, 0x00, 0x01}), 0);
    EXPECT_TRUE(eventually([&] { return supported(color_node, true) && mask == 21; })) << mask;

    // Each module reads only its own class's interfaces.
    const struct {
        const char *message;
        uint8_t node;
        int cls;
        ints fields;
    } others[] = {
        {"interface_switch_color_get", dimmer_node, 0x26, {{"mask", 1}}},
        {"interface_switch_color_level_change_get", dimmer_node, 0x26, {{"mask", 1}}},
        {"interface_switch_color_supported_get", dimmer_node, 0x33, {}}, // no such interface
        {"interface_switch_multilevel_get", color_node, 0x33, {}},
        {"interface_switch_multilevel_level_change_get", color_node, 0x33, {}},
    };
    from = sim->model->next_command_index();
    for (const auto &c : others)
        EXPECT_FALSE(call(c.message, c.node, c.cls, c.fields).answered()) << c.message << " at " << c.cls;
    EXPECT_EQ(sim->model->next_command_index(), from) << "nothing reaches a device";
}

} // namespace
