#include "daemon/messages/zwp_avi_if_meter.h"

#include "daemon/messages/zwp_avi_if_shape.h"
#include "hcapi/include/zwif_sw.h"
#include "hcapi/include/zwnode.h"
#include "util/zwu_time.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace {

using namespace zwp_if;

struct meter_reading {
    uint64_t utime;
    uint8_t type;
    uint8_t precision;
    uint8_t scale;
    uint8_t size;
    fixed4 value;
    uint16_t delta_time;
    fixed4 previous;
    uint8_t rate_type;
};
struct meter_supported {
    uint64_t utime;
    uint8_t type;
    uint8_t scales; // the mask as the device reports it
    uint8_t reset;
};

// Readings are keyed by meter type and scale.
using reading_key = std::pair<uint8_t, uint8_t>;
// A meter has one type and at most eight scales; the room beyond is for a
// device that changes its type, not for one that floods.
constexpr size_t k_readings_max = 32;

struct meter_state : state_base {
    static constexpr char tag = 0;
    static constexpr const char *state_error = "Failed to get state";
    meter_state() : state_base(&tag) {}
    keyed<reading_key, meter_reading, k_readings_max> readings;
    single<meter_supported> supported;
};

// ---------------------------------------------------------------------------
// Requests and replies
// ---------------------------------------------------------------------------

struct get_args {
    int32_t scale;
};
constexpr int32_t k_any_scale = -1;
// A Get carries the scale in three bits, in two before version 3.
constexpr int32_t k_scale_max = 7;
constexpr int32_t k_scale_max_v2 = 3;
constexpr arg_field<get_args> k_get_fields[] = {
    {"scale", &get_args::scale, check{0, k_scale_max, true}, "Invalid Scale: %d"}};

constexpr out_field<meter_reading> k_reading_fields[] = {
    {"utime", &meter_reading::utime},
    {"meter_type", &meter_reading::type},
    {"precision", &meter_reading::precision},
    {"scale", &meter_reading::scale},
    {"size", &meter_reading::size},
    {"meter_value", &meter_reading::value},
    {"rate_type", &meter_reading::rate_type},
    {"delta_time", &meter_reading::delta_time},
    {"previous_meter_value", &meter_reading::previous},
};
constexpr out_list<meter_reading> k_reading_list{"meter_value_list", k_reading_fields,
                                                 "Failed to get the field '%s': %s"};
constexpr out_field<meter_supported> k_supported_reply[] = {
    {"utime", &meter_supported::utime},
    {"meter_type", &meter_supported::type},
    {"scale_supported", &meter_supported::scales},
    {"meter_reset", &meter_supported::reset},
};

// A get without a scale takes every reading, and any report ends its wait;
// with a scale, the readings of that scale.
bool any_scale(const get_args &args) { return args.scale == k_any_scale; }
bool scale_matches(const get_args &args, const reading_key &key)
{
    return any_scale(args) || key.second == args.scale;
}

// ---------------------------------------------------------------------------
// Reports
// ---------------------------------------------------------------------------

void supported_cb(zwif_desc_t *intf, zwmeter_cap_t *cap, int valid)
{
    report_store<meter_state>(intf, [&](meter_state &state) {
        state.supported.kind.touch();
        if (valid && cap)
            state.supported.record = {zwu_time_now(), cap->type, cap->unit_sup, cap->reset_cap};
    });
}

// ---------------------------------------------------------------------------
// Calls, waits and results
// ---------------------------------------------------------------------------

int meter_rpt(const zwif_desc_t *intf) { return zwif_meter_rpt_set(intf, zwp_avi_interfaces_meter_report_cb); }

int meter_get(const zwif_desc_t *intf, void *a)
{
    const int32_t scale = args_of<get_args>(a).scale;
    if (scale > k_scale_max_v2 && zwif_real_ver_get(intf) == 2) {
        ZWS_LOG_ERROR("Invalid Scale: %d", scale);
        return ZW_ERR_VALUE;
    }
    return zwif_meter_get(intf, scale == k_any_scale ? 0 : static_cast<uint8_t>(scale), get_cached_and_live);
}
int supported_get(const zwif_desc_t *intf, void *) { return zwif_meter_sup_get(intf, supported_cb, 0); }
int meter_reset(const zwif_desc_t *intf, void *) { return zwif_meter_reset(intf); }

// ---------------------------------------------------------------------------
// Descriptors
// ---------------------------------------------------------------------------

using reading_list = std::vector<meter_reading>;
constexpr auto readings_wait = keyed_wait<meter_state, &meter_state::readings, get_args, any_scale, scale_matches>;
constexpr auto readings_take = keyed_take<meter_state, &meter_state::readings, get_args, scale_matches>;

constexpr zwp_avi_message_interfaces k_messages[] = {
    descriptor<meter_state>({.name = "interface_meter_get",
                             .command_class = 0x32,
                             .setup = setup<meter_rpt>,
                             .argument_handler = args_handler<get_args, k_get_fields>,
                             .argument_free = args_free<get_args>,
                             .report_wait = readings_wait,
                             .hcapi_call = get_call<meter_state, meter_get>,
                             .result_get = result_get<meter_state, reading_list, readings_take>,
                             .result_handler = list_handler<meter_reading, k_reading_list>,
                             .result_free = result_free<reading_list>},
                            true),
    descriptor<meter_state>(single_get<meter_state, &meter_state::supported, supported_get, k_supported_reply>(
                                "interface_meter_supported_get", 0x32),
                            false),
    descriptor<meter_state>(
        {.name = "interface_meter_reset", .command_class = 0x32, .hcapi_call = set_call<meter_reset>}, false),
};

} // namespace

int zwp_avi_interfaces_meter_init(zwu_array_list_t list) { return messages_register(list, k_messages); }

void zwp_avi_interfaces_meter_report_cb(zwif_desc_t *intf, zwmeter_t *data, time_t ts)
{
    report_store<meter_state>(intf, [&](meter_state &state) {
        // The library's empty cache names the scale it was asked for, but
        // holds no reading of it.
        if (ts == 0 || !data) {
            state.readings.kind.touch();
            return;
        }
        meter_reading *reading = state.readings.reported({data->type, data->unit});
        if (!reading)
            return;
        reading->utime = static_cast<uint64_t>(ts);
        reading->type = data->type;
        reading->precision = data->precision;
        reading->scale = data->unit;
        reading->size = value_copy(data->data, data->size, &reading->value);
        value_copy(data->prv_data, data->size, &reading->previous);
        reading->delta_time = data->delta_time;
        reading->rate_type = data->rate_type;
    });
}
