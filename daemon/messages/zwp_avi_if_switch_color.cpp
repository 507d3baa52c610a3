#include "daemon/messages/zwp_avi_if_switch_color.h"

#include "daemon/messages/zwp_avi_if_shape.h"
#include "daemon/zwp_scene_hook.h"
#include "hcapi/include/zwif_sw.h"
#include "util/zwu_time.h"

#include <array>
#include <bit>
#include <cstring>
#include <vector>

namespace {

using namespace zwp_if;

// A request's mask has one bit per component, so only components 0 to 31
// can ever be asked for or answered; higher ids a device names are skipped
// rather than shifted past the mask's width.
constexpr unsigned k_mask_bits = 32;
// At most this many components in one Set, as the frame's count allows.
constexpr size_t k_set_max = 9;
// Absent: the device's own duration.
constexpr uint8_t k_default_duration = 0xFF;
// Target value and duration are in a component's report from this version on.
constexpr uint8_t k_target_version = 3;

bool in_mask(uint32_t mask, unsigned id) { return id < k_mask_bits && (mask >> id & 1u) != 0; }

struct component {
    uint64_t utime;
    uint8_t id;
    uint8_t cvalue;
    uint8_t tvalue;
    uint8_t dur;
};
struct change_entry {
    uint64_t utime;
    uint8_t id;
    uint8_t start_stop;
};
struct supported_record {
    uint64_t utime;
    uint32_t mask;
};

struct color_state : state_base {
    static constexpr char tag = 0;
    static constexpr const char *state_error = "Failed to get state";
    color_state() : state_base(&tag) {}
    // The interface's class version, as the last report with data gave it.
    uint8_t version = 0;
    keyed<uint8_t, component, k_mask_bits> values;
    keyed<uint8_t, change_entry, k_mask_bits> changes;
    single<supported_record> supported;
};

// ---------------------------------------------------------------------------
// Requests and replies
// ---------------------------------------------------------------------------

struct mask_args {
    int32_t mask;
};
constexpr arg_field<mask_args> k_get_fields[] = {{"mask", &mask_args::mask, check::nonzero_any, "Invalid mask: %d"}};
// Any mask, 0 included (an empty answer), for what the daemon remembers.
constexpr arg_field<mask_args> k_change_get_fields[] = {{"mask", &mask_args::mask, check::none, nullptr}};

uint32_t mask_of(void *arguments) { return static_cast<uint32_t>(args_of<mask_args>(arguments).mask); }
// The component the library is asked for: the lowest of the mask.
uint8_t lowest(const mask_args &args)
{
    return static_cast<uint8_t>(std::countr_zero(static_cast<uint32_t>(args.mask)));
}
uint8_t lowest_of(void *arguments) { return lowest(args_of<mask_args>(arguments)); }

struct set_item {
    int32_t id;
    int32_t value;
};
constexpr arg_field<set_item> k_item_fields[] = {
    {"id", &set_item::id, check::u8, "Invalid Color Component ID: %d"},
    {"value", &set_item::value, check::u8, "Invalid Color Component Value: %d"},
};

struct set_args {
    uint8_t count;
    std::array<uint8_t, k_set_max> ids;
    std::array<uint8_t, k_set_max> values;
    int32_t dur;
};
constexpr arg_field<set_args> k_set_fields[] = {
    {"dur", &set_args::dur, check::u8_absent, "Invalid Color Switch Set Duration: %d"},
};

struct change_args {
    int32_t start_stop;
    int32_t up_down;
    int32_t ignore_start_level;
    int32_t id;
    int32_t start_level;
    int32_t duration;
};
constexpr arg_field<change_args> k_change_fields[] = {
    {"start_stop", &change_args::start_stop, check::u8, "Invalid Start/Stop value: %d"},
    // The direction travels in one bit of the frame: anything but up (0) or
    // down (1) would turn into one of them unnoticed.
    {"up_down", &change_args::up_down, check::flag, "Invalid Up/Down value: %d"},
    {"ignore_start_level", &change_args::ignore_start_level, check::u8, "Invalid Ignore Start Level value: %d"},
    {"id", &change_args::id, check::u8, "Invalid Component ID value: %d"},
    {"start_level", &change_args::start_level, check::u8_absent, "Invalid Start Level value: %d"},
    {"duration", &change_args::duration, check::u8_absent, "Invalid Duration value: %d"},
};

// A component as a reply carries it: target and duration -1 where the
// device's version does not report them.
struct component_reply {
    uint64_t utime;
    uint8_t id;
    uint8_t cvalue;
    int32_t tvalue;
    int32_t dur;
};
constexpr out_field<component_reply> k_component_fields[] = {
    {"utime", &component_reply::utime}, {"id", &component_reply::id},   {"cvalue", &component_reply::cvalue},
    {"tvalue", &component_reply::tvalue}, {"dur", &component_reply::dur},
};
constexpr out_list<component_reply> k_values_reply{"switch_color_value_list", k_component_fields,
                                                   "Failed to get the field '%s': %s"};

constexpr out_field<change_entry> k_change_entry_fields[] = {
    {"utime", &change_entry::utime}, {"id", &change_entry::id}, {"start_stop", &change_entry::start_stop}};
constexpr out_list<change_entry> k_changes_reply{"switch_color_level_change_value_list", k_change_entry_fields,
                                                 "Failed to get the field '%s': %s"};

constexpr out_field<supported_record> k_supported_reply[] = {{"utime", &supported_record::utime},
                                                             {"mask", &supported_record::mask}};

// ---------------------------------------------------------------------------
// Reports
// ---------------------------------------------------------------------------

int color_rpt(const zwif_desc_t *intf)
{
    return zwp_hook_col_sw_rpt_set(intf, zwp_avi_interfaces_switch_color_report_cb);
}

// A list that names a component the mask cannot hold still gives the others.
void supported_cb(zwif_desc_t *intf, uint8_t cnt, uint8_t *ids, int valid)
{
    report_store<color_state>(intf, [&](color_state &state) {
        state.supported.kind.touch();
        if (!valid)
            return;
        uint32_t mask = 0;
        for (uint8_t i = 0; ids && i < cnt; i++) {
            if (ids[i] < k_mask_bits)
                mask |= 1u << ids[i];
        }
        state.supported.record = {zwu_time_now(), mask};
    });
}

// ---------------------------------------------------------------------------
// Arguments
// ---------------------------------------------------------------------------

// The components of a Set, each id and value checked into its byte.
int set_items_read(avro_value_t *parameter, set_args &out)
{
    avro_value_t list;
    if (avro_value_get_by_name(parameter, "switch_color_set_list", &list, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get the field 'switch_color_set_list': %s", avro_strerror());
        return 22;
    }
    size_t size = 0;
    if (avro_value_get_size(&list, &size) != 0) {
        ZWS_LOG_ERROR("Failed to get switch_color value list size");
        return 22;
    }
    if (size > k_set_max) {
        ZWS_LOG_ERROR("Invalid switch_color value list size");
        return 22;
    }
    for (size_t i = 0; i < size; i++) {
        avro_value_t element;
        if (avro_value_get_by_index(&list, i, &element, nullptr) != 0) {
            ZWS_LOG_ERROR("avro_value_get_by_index() fail");
            return 22;
        }
        set_item item{};
        for (const arg_field<set_item> &field : k_item_fields) {
            int32_t value = 0;
            if (arg_int(&element, field.name, &value) != 0) {
                ZWS_LOG_ERROR("zw_avro_field_get_int() fail");
                return 22;
            }
            if (arg_check(value, field.range, field.error) != 0)
                return 22;
            item.*field.member = value;
        }
        out.ids[i] = static_cast<uint8_t>(item.id);
        out.values[i] = static_cast<uint8_t>(item.value);
    }
    out.count = static_cast<uint8_t>(size);
    return 0;
}

int set_arguments(avro_value_t *parameter, void **arguments)
{
    set_args items{};
    if (set_items_read(parameter, items) != 0)
        return 22;
    set_args *args = nullptr;
    if (args_read<set_args>(parameter, k_set_fields, &args) != 0)
        return 22;
    args->count = items.count;
    args->ids = items.ids;
    args->values = items.values;
    *arguments = args;
    return 0;
}

// ---------------------------------------------------------------------------
// Calls
// ---------------------------------------------------------------------------

// A Get names one component: the device is asked for the lowest of the
// mask. The others are answered from what the library last heard of them
// (the interview reads every component), their cached reports posted ahead
// of the lowest's, so that they are stored when its report ends the wait. A
// component the library knows nothing of, or refuses, is simply not there.
int color_get(const zwif_desc_t *intf, void *a)
{
    const uint32_t mask = mask_of(a);
    const uint8_t lowest = lowest_of(a);
    for (unsigned id = lowest + 1u; id < k_mask_bits; id++) {
        if (in_mask(mask, id))
            (void)zwif_col_sw_get(intf, static_cast<uint8_t>(id), get_cached_only);
    }
    return zwif_col_sw_get(intf, lowest, get_cached_and_live);
}

int color_set(const zwif_desc_t *intf, void *a)
{
    const set_args &args = args_of<set_args>(a);
    const uint8_t dur = args.dur < 0 ? k_default_duration : static_cast<uint8_t>(args.dur);
    return zwif_col_sw_set(intf, args.count, args.ids.data(), args.values.data(), dur);
}

int supported_get(const zwif_desc_t *intf, void *) { return zwif_col_sw_sup_get(intf, supported_cb, 0); }

// Starts or stops; only a command the library took is remembered, so a
// refused stop never reads back as the component's state.
int change_call(const zwif_desc_t *intf, void *a, uint32_t *status)
{
    const change_args &args = args_of<change_args>(a);
    const auto id = static_cast<uint8_t>(args.id);
    int result = 0;
    if (args.start_stop == 0) {
        result = zwif_col_sw_lvl_chg_stop(intf, id);
    } else {
        if (args.ignore_start_level == 0 && args.start_level < 0) {
            ZWS_LOG_ERROR("Missing required argument Start Level");
            return 22;
        }
        zwcol_lvl_t change{};
        change.dir = static_cast<uint8_t>(args.up_down);
        change.id = id;
        change.start_valid = args.ignore_start_level == 0 ? 1 : 0;
        change.start = args.start_level < 0 ? 0 : static_cast<uint8_t>(args.start_level);
        change.dur = args.duration < 0 ? k_default_duration : static_cast<uint8_t>(args.duration);
        result = zwif_col_sw_lvl_chg_start(intf, &change);
    }
    *status = static_cast<uint32_t>(result);
    if (result != 0)
        return 0;
    locked<color_state> state(intf, color_state::state_error);
    if (!state)
        return 0;
    if (change_entry *entry = state->changes.update(id))
        *entry = {zwu_time_now(), id, static_cast<uint8_t>(args.start_stop)};
    else
        ZWS_LOG_ERROR("Failed to allocate memory");
    return 0;
}

// ---------------------------------------------------------------------------
// Waits and results
// ---------------------------------------------------------------------------

// The get waits for the component it asked the device for, reported with
// data after the call; a report of another component, or the library's
// empty cache, is not it.
bool asked_component(const mask_args &args, uint8_t id) { return id == lowest(args); }
constexpr auto color_wait =
    keyed_wait<color_state, &color_state::values, mask_args, no_key<mask_args>, asked_component>;

std::vector<component_reply> values_take(const color_state &state, void *a)
{
    const uint32_t mask = mask_of(a);
    const bool targets = state.version >= k_target_version;
    std::vector<component_reply> out;
    for (const component &c : state.values.copy_if([mask](uint8_t id) { return in_mask(mask, id); }))
        out.push_back({c.utime, c.id, c.cvalue, targets ? c.tvalue : -1, targets ? c.dur : -1});
    return out;
}

std::vector<change_entry> changes_take(const color_state &state, void *a)
{
    const uint32_t mask = mask_of(a);
    return state.changes.copy_if([mask](uint8_t id) { return in_mask(mask, id); });
}

// ---------------------------------------------------------------------------
// Descriptors
// ---------------------------------------------------------------------------

using values_result = std::vector<component_reply>;
using changes_result = std::vector<change_entry>;

constexpr zwp_avi_message_interfaces k_messages[] = {
    descriptor<color_state>({.name = "interface_switch_color_get",
                             .command_class = 0x33,
                             .setup = setup<color_rpt>,
                             .argument_handler = args_handler<mask_args, k_get_fields>,
                             .argument_free = args_free<mask_args>,
                             .report_wait = color_wait,
                             .hcapi_call = get_call<color_state, color_get>,
                             .result_get = result_get<color_state, values_result, values_take>,
                             .result_handler = list_handler<component_reply, k_values_reply>,
                             .result_free = result_free<values_result>},
                            true),
    descriptor<color_state>({.name = "interface_switch_color_set",
                             .command_class = 0x33,
                             .argument_handler = set_arguments,
                             .argument_free = args_free<set_args>,
                             .hcapi_call = set_call<color_set>},
                            false),
    descriptor<color_state>({.name = "interface_switch_color_level_change_get",
                             .command_class = 0x33,
                             .argument_handler = args_handler<mask_args, k_change_get_fields>,
                             .argument_free = args_free<mask_args>,
                             .result_get = result_get<color_state, changes_result, changes_take>,
                             .result_handler = list_handler<change_entry, k_changes_reply>,
                             .result_free = result_free<changes_result>},
                            false),
    descriptor<color_state>({.name = "interface_switch_color_level_change_set",
                             .command_class = 0x33,
                             .argument_handler = args_handler<change_args, k_change_fields>,
                             .argument_free = args_free<change_args>,
                             .hcapi_call = change_call},
                            false),
    descriptor<color_state>(single_get<color_state, &color_state::supported, supported_get, k_supported_reply>(
                                "interface_switch_color_supported_get", 0x33),
                            false),
};

} // namespace

int zwp_avi_interfaces_switch_color_init(zwu_array_list_t list) { return messages_register(list, k_messages); }

void zwp_avi_interfaces_switch_color_report_cb(zwif_desc_t *intf, const void *record, time_t ts)
{
    report_store<color_state>(intf, [&](color_state &state) {
        state.values.kind.touch();
        if (ts == 0 || !record)
            return;
        zwcolor_t c;
        std::memcpy(&c, record, sizeof c);
        state.version = intf->ver;
        if (c.id >= k_mask_bits)
            return;
        if (component *entry = state.values.reported(c.id))
            *entry = {static_cast<uint64_t>(ts), c.id, c.value, c.target, c.dur};
    });
}
