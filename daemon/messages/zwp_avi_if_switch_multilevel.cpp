#include "daemon/messages/zwp_avi_if_switch_multilevel.h"

#include "daemon/messages/zwp_avi_if_value.h"
#include "daemon/zwp_scene_hook.h"
#include "hcapi/include/zwif_sw.h"
#include "util/zwu_time.h"

namespace {

using namespace zwp_if;

// What the daemon remembers of the last start or stop the library took.
struct change_record {
    uint64_t utime;
    uint32_t start_stop;
};
struct supported_record {
    uint64_t utime;
    uint8_t primary;
    uint8_t secondary;
};

struct level_state : state_base {
    static constexpr char tag = 0;
    static constexpr const char *state_error = "Failed to get state";
    level_state() : state_base(&tag) {}
    single<value_record> level;
    change_record change{};
    single<supported_record> supported;
};

// ---------------------------------------------------------------------------
// Requests and replies
// ---------------------------------------------------------------------------

struct set_args {
    int32_t value;
    int32_t duration;
};
constexpr arg_field<set_args> k_set_fields[] = {
    {"value", &set_args::value, check::u8, "Invalid value: %d"},
    {"dimming_duration", &set_args::duration, check::u8_absent, "Invalid Dimming Duration: %d"},
};

struct change_args {
    int32_t start_stop;
    int32_t up_down;
    int32_t ignore_start_level;
    int32_t start_level;
    int32_t duration;
    int32_t inc_dec;
    int32_t step_size;
};
constexpr arg_field<change_args> k_change_fields[] = {
    {"start_stop", &change_args::start_stop, check::u8, "Invalid Start/Stop value: %d"},
    {"up_down", &change_args::up_down, check::u8, "Invalid Up/Down value: %d"},
    {"ignore_start_level", &change_args::ignore_start_level, check::u8, "Invalid Ignore Start Level value: %d"},
    {"start_level", &change_args::start_level, check::u8_absent, "Invalid Start Level value: %d"},
    {"dimming_duration", &change_args::duration, check::u8_absent, "Invalid Dimming Duration value: %d"},
    {"inc_dec", &change_args::inc_dec, check::u8_absent, "Invalid Inc/Dec value: %d"},
    {"step_size", &change_args::step_size, check::u8_absent, "Invalid Step Size value: %d"},
};

constexpr out_field<value_record> k_level_reply[] = {{"utime", &value_record::utime}, {"value", &value_record::value}};
constexpr out_field<change_record> k_change_reply[] = {{"utime", &change_record::utime},
                                                       {"start_stop", &change_record::start_stop}};
constexpr out_field<supported_record> k_supported_reply[] = {{"utime", &supported_record::utime},
                                                             {"primary_switch_type", &supported_record::primary},
                                                             {"secondary_switch_type", &supported_record::secondary}};

// Absent: the device's own duration.
constexpr uint8_t k_default_duration = 0xFF;

// ---------------------------------------------------------------------------
// Reports
// ---------------------------------------------------------------------------

int level_rpt(const zwif_desc_t *intf)
{
    return zwp_hook_level_rpt_set(intf, value_report<level_state, &level_state::level>);
}

void supported_cb(zwif_desc_t *intf, uint8_t primary, uint8_t secondary, int valid)
{
    report_store<level_state>(intf, [&](level_state &state) {
        state.supported.kind.touch();
        if (valid)
            state.supported.record = {zwu_time_now(), primary, secondary};
    });
}

// ---------------------------------------------------------------------------
// Calls
// ---------------------------------------------------------------------------

int level_get(const zwif_desc_t *intf, void *) { return zwif_level_get(intf, get_cached_and_live); }
int level_set(const zwif_desc_t *intf, void *a)
{
    const set_args &args = args_of<set_args>(a);
    const uint8_t duration = args.duration < 0 ? k_default_duration : static_cast<uint8_t>(args.duration);
    return zwif_level_set(intf, static_cast<uint8_t>(args.value), duration, nullptr, 0);
}
int supported_get(const zwif_desc_t *intf, void *) { return zwif_level_sup_get(intf, supported_cb, 0); }

int change_start(const zwif_desc_t *intf, const change_args &args, int *status)
{
    if (args.ignore_start_level == 0 && args.start_level < 0) {
        ZWS_LOG_ERROR("Missing required argument Start Level");
        return 22;
    }
    zwlevel_t level{};
    level.pri_dir = static_cast<uint8_t>(args.up_down);
    level.pri_ignore_lvl = static_cast<uint8_t>(args.ignore_start_level);
    level.pri_level = args.start_level < 0 ? 0 : static_cast<uint8_t>(args.start_level);
    level.dur = args.duration < 0 ? k_default_duration : static_cast<uint8_t>(args.duration);
    level.sec_dir = args.inc_dec < 0 ? uint8_t{ZW_LVL_DIR_NONE} : static_cast<uint8_t>(args.inc_dec);
    level.sec_step = args.step_size < 0 ? 0 : static_cast<uint8_t>(args.step_size);
    if (level.sec_dir == ZW_LVL_DIR_NONE && level.sec_step != 0) {
        ZWS_LOG_WARN("Forcing Step Size value to 0 when Inc/Dec value is 3 (No Inc/Dec)");
        level.sec_step = 0;
    }
    *status = zwif_level_start(intf, &level);
    return 0;
}

// Starts or stops; only a command the library took is remembered, so a
// refused stop never reads back as the change's state.
int change_call(const zwif_desc_t *intf, void *a, uint32_t *status)
{
    const change_args &args = args_of<change_args>(a);
    int result = 0;
    if (args.start_stop != 0) {
        if (change_start(intf, args, &result) != 0)
            return 22;
    } else {
        result = zwif_level_stop(intf);
    }
    *status = static_cast<uint32_t>(result);
    if (result == 0) {
        locked<level_state> state(intf, level_state::state_error);
        if (state)
            state->change = {zwu_time_now(), static_cast<uint32_t>(args.start_stop)};
    }
    return 0;
}

change_record change_take(const level_state &state, void *) { return state.change; }

// ---------------------------------------------------------------------------
// Descriptors
// ---------------------------------------------------------------------------

constexpr message_row level_get_row()
{
    message_row row =
        single_get<level_state, &level_state::level, level_get, k_level_reply>("interface_switch_multilevel_get", 0x26);
    row.setup = setup<level_rpt>;
    return row;
}

constexpr zwp_avi_message_interfaces k_messages[] = {
    descriptor<level_state>(level_get_row(), true),
    descriptor<level_state>(args_set<set_args, k_set_fields, level_set>("interface_switch_multilevel_set", 0x26),
                            false),
    descriptor<level_state>({.name = "interface_switch_multilevel_level_change_get",
                             .command_class = 0x26,
                             .result_get = result_get<level_state, change_record, change_take>,
                             .result_handler = result_handler<change_record, k_change_reply>,
                             .result_free = result_free<change_record>},
                            false),
    descriptor<level_state>({.name = "interface_switch_multilevel_level_change_set",
                             .command_class = 0x26,
                             .argument_handler = args_handler<change_args, k_change_fields>,
                             .argument_free = args_free<change_args>,
                             .hcapi_call = change_call},
                            false),
    descriptor<level_state>(single_get<level_state, &level_state::supported, supported_get, k_supported_reply>(
                                "interface_switch_multilevel_supported_get", 0x26),
                            false),
};

} // namespace

int zwp_avi_interfaces_switch_multilevel_init(zwu_array_list_t list) { return messages_register(list, k_messages); }
