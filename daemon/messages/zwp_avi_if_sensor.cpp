#include "daemon/messages/zwp_avi_if_sensor.h"

#include "daemon/messages/zwp_avi_if_shape.h"
#include "daemon/zwp_scene_hook.h"
#include "hcapi/include/zwif_sw.h"
#include "util/zwu_time.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace {

using namespace zwp_if;

// What both sensor classes support: a list of sensor types.
struct types_record {
    uint64_t utime;
    byte_list types;
};
constexpr out_field<types_record> k_types_reply[] = {{"utime", &types_record::utime},
                                                     {"supported_types", &types_record::types}};

// Binary Sensor: the last report of each type, with the times of its last
// idle (0) and last event (non-zero) report.
struct binary_record {
    uint64_t idle_utime;
    uint64_t event_utime;
    uint8_t value;
    uint8_t type;
};
// Type 0 in a get asks for the device's default sensor; in a report it
// means the device named no type (version 1: it has one sensor).
constexpr uint8_t k_default_type = 0;
constexpr size_t k_binary_types_max = 64;

struct binary_state : state_base {
    static constexpr char tag = 0;
    static constexpr const char *state_error = "Failed to get state";
    binary_state() : state_base(&tag) {}
    keyed<uint8_t, binary_record, k_binary_types_max> reports;
    single<types_record> supported;
};

// Multilevel Sensor: readings keyed by sensor type and scale, and the
// scales of each type.
struct sensor_reading {
    uint64_t utime;
    uint8_t type;
    uint8_t precision;
    uint8_t scale;
    uint8_t size;
    fixed4 value;
};
using reading_key = std::pair<uint8_t, uint8_t>;
struct scale_record {
    uint64_t utime;
    uint8_t type;
    byte_list scales;
};
constexpr size_t k_readings_max = 64;
constexpr size_t k_scale_types_max = 64;

struct multilevel_state : state_base {
    static constexpr char tag = 0;
    static constexpr const char *state_error = "Failed to get state";
    multilevel_state() : state_base(&tag) {}
    keyed<reading_key, sensor_reading, k_readings_max> readings;
    single<types_record> supported;
    keyed<uint8_t, scale_record, k_scale_types_max> scales;
};

// ---------------------------------------------------------------------------
// Requests and replies
// ---------------------------------------------------------------------------

struct type_args {
    int32_t type;
};
constexpr arg_field<type_args> k_binary_get_fields[] = {
    {"sensor_type", &type_args::type, check::u8, "Invalid Sensor Type: %d"}};
constexpr arg_field<type_args> k_scale_get_fields[] = {
    {"sensor_type", &type_args::type, check::u8, "Invalid sensor type: %d"}};

// -1 stands for "absent" in both.
struct reading_args {
    int32_t type;
    int32_t scale;
};
// A Get carries the scale in two bits.
constexpr int32_t k_scale_max = 3;
constexpr arg_field<reading_args> k_reading_get_fields[] = {
    {"sensor_type", &reading_args::type, check::u8_absent, "Invalid sensor type: %d"},
    {"scale", &reading_args::scale, check{0, k_scale_max, true}, "Invalid sensor scale: %d"},
};

constexpr out_field<binary_record> k_binary_reply[] = {
    {"idle_utime", &binary_record::idle_utime},
    {"event_utime", &binary_record::event_utime},
    {"sensor_value", &binary_record::value},
    {"sensor_type", &binary_record::type},
};
constexpr out_field<sensor_reading> k_reading_fields[] = {
    {"utime", &sensor_reading::utime}, {"sensor_type", &sensor_reading::type},
    {"precision", &sensor_reading::precision}, {"scale", &sensor_reading::scale},
    {"size", &sensor_reading::size}, {"sensor_value", &sensor_reading::value},
};
constexpr out_list<sensor_reading> k_reading_list{"sensor_value_list", k_reading_fields,
                                                  "Failed to get the field '%s': %s"};
constexpr out_field<scale_record> k_scale_reply[] = {
    {"utime", &scale_record::utime},
    {"sensor_type", &scale_record::type},
    {"supported_scales", &scale_record::scales},
};

// A get without a type (or type 0) takes every reading; with a type, the
// readings of that type, of the one scale when it names one.
bool any_type(const reading_args &args) { return args.type <= 0; }
bool reading_matches(const reading_args &args, const reading_key &key)
{
    return any_type(args) || (key.first == args.type && (args.scale < 0 || key.second == args.scale));
}

// A get of the device's default type takes (and waits for) any report; one
// of a type takes that type's report, or one that named no type.
bool default_type(const type_args &args) { return args.type == k_default_type; }
bool binary_matches(const type_args &args, uint8_t key)
{
    return default_type(args) || key == args.type || key == k_default_type;
}

// A scale get waits for the scales of its own type.
bool scale_type_matches(const type_args &args, uint8_t key) { return key == args.type; }

// ---------------------------------------------------------------------------
// Reports
// ---------------------------------------------------------------------------

// The list is copied before the state's lock is taken, so that a failed
// allocation drops the report without touching the state.
template <typename State> void types_cb(zwif_desc_t *intf, uint8_t cnt, uint8_t *list, int valid)
{
    byte_list types;
    if (valid && list) {
        try {
            types.assign(list, list + cnt);
        } catch (const std::bad_alloc &) {
            ZWS_LOG_ERROR("Failed to allocate memory");
            return;
        }
    }
    report_store<State>(intf, [&](State &state) {
        state.supported.kind.touch();
        if (valid)
            state.supported.record = {zwu_time_now(), std::move(types)};
    });
}

void scale_cb(zwif_desc_t *intf, uint8_t type, uint8_t mask, int valid)
{
    byte_list scales;
    try {
        scales.reserve(8);
    } catch (const std::bad_alloc &) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return;
    }
    for (uint8_t bit = 0; bit < 8; bit++) {
        if (mask & (1u << bit))
            scales.push_back(bit);
    }
    report_store<multilevel_state>(intf, [&](multilevel_state &state) {
        // Without data the library names no type: no get can tell it is
        // its answer.
        if (!valid) {
            state.scales.kind.touch();
            return;
        }
        scale_record *entry = state.scales.reported(type);
        if (!entry)
            return;
        *entry = {zwu_time_now(), type, std::move(scales)};
    });
}

// ---------------------------------------------------------------------------
// Calls
// ---------------------------------------------------------------------------

int binary_rpt(const zwif_desc_t *intf)
{
    return zwp_hook_bsensor_rpt_set(intf, zwp_avi_interfaces_sensor_binary_report_cb);
}
int multilevel_rpt(const zwif_desc_t *intf)
{
    return zwp_hook_sensor_rpt_set(intf, zwp_avi_interfaces_sensor_multilevel_report_cb);
}

int binary_get(const zwif_desc_t *intf, void *a)
{
    return zwif_bsensor_get(intf, static_cast<uint8_t>(args_of<type_args>(a).type), get_cached_and_live);
}

int reading_get(const zwif_desc_t *intf, void *a)
{
    const reading_args &args = args_of<reading_args>(a);
    if (args.type < 0)
        ZWS_LOG_ERROR("No sensor type provided");
    if (args.scale < 0)
        ZWS_LOG_ERROR("No sensor scale provided");
    const uint8_t type = args.type < 0 ? 0 : static_cast<uint8_t>(args.type);
    const uint8_t scale = args.scale < 0 ? 0 : static_cast<uint8_t>(args.scale);
    ZWS_LOG_ERROR("Issuing Get command with type %d and scale %d to HCAPI", type, scale);
    return zwif_sensor_get(intf, type, scale, get_cached_and_live);
}

int scale_get(const zwif_desc_t *intf, void *a)
{
    return zwif_sensor_unit_get(intf, static_cast<uint8_t>(args_of<type_args>(a).type), scale_cb, 0);
}

// A device without the supported-types command (the library's -23) has
// answered all the same: with no types, at once.
constexpr int k_answered = 1;
using types_get_fn = int (*)(const zwif_desc_t *intf, zwrep_sup_list_fn cb, int cache_only);
template <typename State, types_get_fn Get, const char *Changed> int types_get(const zwif_desc_t *intf, void *)
{
    const int status = Get(intf, types_cb<State>, 0);
    if (status != ZW_ERR_CLASS_VER)
        return status;
    {
        locked<State> state(intf, State::state_error);
        if (state) {
            state->supported.kind.touch();
            state->supported.record.utime = zwu_time_now();
            state->supported.record.types.clear();
        }
    }
    ZWS_LOG_ERROR(Changed, k_answered);
    return k_answered;
}
constexpr char k_binary_changed[] = "Changed return code to hcapi_code_p = %d";
constexpr char k_multilevel_changed[] = "Changed retun code to hcapi_code_p = %d";

// ---------------------------------------------------------------------------
// Waits and results
// ---------------------------------------------------------------------------

// The newest matching report: for the default type the last reported.
binary_record binary_take(const binary_state &state, void *a)
{
    const type_args &args = args_of<type_args>(a);
    const binary_record *newest = nullptr;
    uint64_t newest_stamp = 0;
    for (const auto &item : state.reports.items) {
        if (binary_matches(args, item.key) && item.stamp > newest_stamp) {
            newest = &item.entry;
            newest_stamp = item.stamp;
        }
    }
    return newest ? *newest : binary_record{};
}

// Nothing known of the type: time 0, type 0, no scales.
scale_record scale_take(const multilevel_state &state, void *a)
{
    const scale_record *entry = state.scales.find(static_cast<uint8_t>(args_of<type_args>(a).type));
    return entry ? *entry : scale_record{};
}

// ---------------------------------------------------------------------------
// Descriptors
// ---------------------------------------------------------------------------

using reading_list = std::vector<sensor_reading>;
constexpr auto binary_wait = keyed_wait<binary_state, &binary_state::reports, type_args, default_type, binary_matches>;
constexpr auto reading_wait =
    keyed_wait<multilevel_state, &multilevel_state::readings, reading_args, any_type, reading_matches>;
constexpr auto reading_take = keyed_take<multilevel_state, &multilevel_state::readings, reading_args, reading_matches>;
constexpr auto scale_wait =
    keyed_wait<multilevel_state, &multilevel_state::scales, type_args, no_key<type_args>, scale_type_matches>;

constexpr zwp_avi_message_interfaces k_binary[] = {
    descriptor<binary_state>({.name = "interface_sensor_binary_get",
                              .command_class = 0x30,
                              .setup = setup<binary_rpt>,
                              .argument_handler = args_handler<type_args, k_binary_get_fields>,
                              .argument_free = args_free<type_args>,
                              .report_wait = binary_wait,
                              .hcapi_call = get_call<binary_state, binary_get>,
                              .result_get = result_get<binary_state, binary_record, binary_take>,
                              .result_handler = result_handler<binary_record, k_binary_reply>,
                              .result_free = result_free<binary_record>},
                             true),
    descriptor<binary_state>(
        single_get<binary_state, &binary_state::supported,
                   types_get<binary_state, zwif_bsensor_sup_get, k_binary_changed>, k_types_reply>(
            "interface_sensor_binary_supported_get", 0x30),
        false),
};

constexpr zwp_avi_message_interfaces k_multilevel[] = {
    descriptor<multilevel_state>({.name = "interface_sensor_multilevel_get",
                                  .command_class = 0x31,
                                  .setup = setup<multilevel_rpt>,
                                  .argument_handler = args_handler<reading_args, k_reading_get_fields>,
                                  .argument_free = args_free<reading_args>,
                                  .report_wait = reading_wait,
                                  .hcapi_call = get_call<multilevel_state, reading_get>,
                                  .result_get = result_get<multilevel_state, reading_list, reading_take>,
                                  .result_handler = list_handler<sensor_reading, k_reading_list>,
                                  .result_free = result_free<reading_list>},
                                 true),
    descriptor<multilevel_state>(
        single_get<multilevel_state, &multilevel_state::supported,
                   types_get<multilevel_state, zwif_sensor_sup_get, k_multilevel_changed>, k_types_reply>(
            "interface_sensor_multilevel_supported_get", 0x31),
        false),
    descriptor<multilevel_state>({.name = "interface_sensor_multilevel_scale_supported_get",
                                  .command_class = 0x31,
                                  .argument_handler = args_handler<type_args, k_scale_get_fields>,
                                  .argument_free = args_free<type_args>,
                                  .report_wait = scale_wait,
                                  .hcapi_call = get_call<multilevel_state, scale_get>,
                                  .result_get = result_get<multilevel_state, scale_record, scale_take>,
                                  .result_handler = result_handler<scale_record, k_scale_reply>,
                                  .result_free = result_free<scale_record>},
                                 false),
};

} // namespace

int zwp_avi_interfaces_sensor_binary_init(zwu_array_list_t list) { return messages_register(list, k_binary); }
int zwp_avi_interfaces_sensor_multilevel_init(zwu_array_list_t list) { return messages_register(list, k_multilevel); }

void zwp_avi_interfaces_sensor_binary_report_cb(zwif_desc_t *intf, uint8_t state, uint8_t type, time_t ts)
{
    report_store<binary_state>(intf, [&](binary_state &s) {
        // The library's empty cache names the type it was asked for, but
        // holds no report of it.
        if (ts == 0) {
            s.reports.kind.touch();
            return;
        }
        binary_record *record = s.reports.reported(type);
        if (!record)
            return;
        (state != 0 ? record->event_utime : record->idle_utime) = static_cast<uint64_t>(ts);
        record->value = state;
        record->type = type;
    });
}

void zwp_avi_interfaces_sensor_multilevel_report_cb(zwif_desc_t *intf, const void *record, time_t ts)
{
    const auto *data = static_cast<const zwsensor_t *>(record);
    report_store<multilevel_state>(intf, [&](multilevel_state &state) {
        if (ts == 0 || !data) {
            state.readings.kind.touch();
            return;
        }
        sensor_reading *reading = state.readings.reported({data->type, data->unit});
        if (!reading)
            return;
        reading->utime = static_cast<uint64_t>(ts);
        reading->type = data->type;
        reading->precision = data->precision;
        reading->scale = data->unit;
        reading->size = value_copy(data->data, data->size, &reading->value);
    });
}
