// Meters, binary sensors and multilevel sensors: every message is a row. The
// readings are "scaled" placeholders: the reply carries each value as the
// bytes the device sent, and the form turns them into a number.
#include "messages/zws_avi_if_meter_sensor.h"

#include "messages/zws_avi_args.h"
#include "messages/zws_avi_format.h"
#include "messages/zws_avi_list.h"

namespace {

// ---------------------------------------------------------------------------
// Meter
// ---------------------------------------------------------------------------

constexpr zws_avi_arg_spec_t k_meter_get_args[] = {{"unit", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_DEFAULT, "scale", -1}};

constexpr zws_avi_value_field_t k_meter_values[] = {
    {"meter_value", "Invalid meter value field size"},
    {"previous_meter_value", "Invalid previous meter value field size"},
};
#define ZWS_METER_ELEMENT(time)                                                                                    \
    "<meter " time "=\"{utime:u64}\" type=\"{meter_type:u8}\" value=\"{meter_value:scaled}\""                         \
    " precision=\"{precision:u8}\" unit=\"{scale:u8}\" rtype=\"{rate_type:u8}\" delta=\"{delta_time:u16}\""           \
    " prev=\"{previous_meter_value:scaled}\" />"
constexpr zws_avi_form_t k_meter = {ZWS_METER_ELEMENT("update"), ZWS_METER_ELEMENT("utime"),
                                    "meter_value_list", k_meter_values};
#undef ZWS_METER_ELEMENT

// The supported scales are a bit mask: written whole.
constexpr zws_avi_form_t k_meter_supported = {
    "<sup_meter update=\"{utime:u64}\" type=\"{meter_type:u32}\" units=\"{scale_supported:u32}\""
    " reset=\"{meter_reset:u32}\" />",
    "<meter_sup utime=\"{utime:u64}\" type=\"{meter_type:u32}\" units=\"{scale_supported:u32}\""
    " reset=\"{meter_reset:u32}\" />"};

constexpr zws_avi_message_interfaces_t k_meter_messages[] = {
    {{"zwif_meter", "meter"}, 2, 1, 1, "interface_meter_get", zws_avi_args_handler<k_meter_get_args>,
     zws_avi_form_level_result<k_meter>, "tServMeter"},
    {{"zwif_meter", "meter"}, 4, 1, 1, "interface_meter_supported_get", nullptr,
     zws_avi_form_level_result<k_meter_supported>, "tServMeter"},
    {{"zwif_meter", "meter"}, 6, 0, 1, "interface_meter_reset", nullptr, nullptr, "tServMeter"},
};

// ---------------------------------------------------------------------------
// Binary sensor
// ---------------------------------------------------------------------------

// Without a type the device is asked for its default sensor (type 0).
constexpr zws_avi_arg_spec_t k_sensor_binary_get_args[] = {
    {"type", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_DEFAULT, "sensor_type", 0}};

constexpr zws_avi_form_t k_sensor_binary = {
    "<bin_snsr idle=\"{idle_utime:u64}\" event=\"{event_utime:u64}\" state=\"{sensor_value:u8}\""
    " type=\"{sensor_type:u8}\" />",
    "<bsensor idle_utime=\"{idle_utime:u64}\" event_utime=\"{event_utime:u64}\" state=\"{sensor_value:u8}\""
    " type=\"{sensor_type:u8}\" />"};
constexpr zws_avi_form_t k_sensor_binary_supported = {
    "<bsensor utime=\"{utime:u64}\" list=\"{supported_types:list}\" />",
    "<bsensor utime=\"{utime:u64}\" list=\"{supported_types:list}\" />"};

constexpr zws_avi_message_interfaces_t k_sensor_binary_messages[] = {
    {{"zwif_bsensor", "bin_snsr"}, 2, 1, 1, "interface_sensor_binary_get",
     zws_avi_args_handler<k_sensor_binary_get_args>, zws_avi_form_level_result<k_sensor_binary>, "tServBinSnsr"},
    {{"zwif_bsensor", "bin_snsr"}, 4, 1, 1, "interface_sensor_binary_supported_get", nullptr,
     zws_avi_form_level_result<k_sensor_binary_supported>, "tServBinSnsr"},
};

// ---------------------------------------------------------------------------
// Multilevel sensor
// ---------------------------------------------------------------------------

constexpr zws_avi_arg_spec_t k_sensor_multilevel_get_args[] = {
    {"type", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_DEFAULT, "sensor_type", -1},
    {"unit", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_DEFAULT, "scale", -1}};
constexpr zws_avi_arg_spec_t k_sensor_multilevel_scale_supported_args[] = {
    {"type", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_DEFAULT, "sensor_type", -1}};

constexpr zws_avi_value_field_t k_sensor_values[] = {{"sensor_value", "Invalid Sensor value field size"}};
constexpr zws_avi_form_t k_sensor_multilevel = {
    "<multi_lvl_snsr update=\"{utime:u64}\" s_type=\"{sensor_type:u8}\" s_value=\"{sensor_value:scaled}\""
    " s_precision=\"{precision:u8}\" s_unit=\"{scale:u8}\" />",
    "<sensor utime=\"{utime:u64}\" type=\"{sensor_type:u8}\" value=\"{sensor_value:scaled}\""
    " precision=\"{precision:u8}\" unit=\"{scale:u8}\" />",
    "sensor_value_list", k_sensor_values};
constexpr zws_avi_form_t k_sensor_multilevel_supported = {
    "<sensor utime=\"{utime:u64}\" list=\"{supported_types:list}\" />",
    "<sensor utime=\"{utime:u64}\" list=\"{supported_types:list}\" />"};
constexpr zws_avi_form_t k_sensor_multilevel_scale_supported = {
    "<sensor utime=\"{utime:u64}\" type=\"{sensor_type:u8}\" list=\"{supported_scales:list}\" />",
    "<sensor utime=\"{utime:u64}\" type=\"{sensor_type:u8}\" list=\"{supported_scales:list}\" />"};

constexpr zws_avi_message_interfaces_t k_sensor_multilevel_messages[] = {
    {{"zwif_sensor", "multi_lvl_snsr"}, 2, 1, 1, "interface_sensor_multilevel_get",
     zws_avi_args_handler<k_sensor_multilevel_get_args>, zws_avi_form_level_result<k_sensor_multilevel>,
     "tServMultiLvlSnsr"},
    {{"zwif_sensor", "multi_lvl_snsr"}, 4, 1, 1, "interface_sensor_multilevel_supported_get", nullptr,
     zws_avi_form_level_result<k_sensor_multilevel_supported>, "tServMultiLvlSnsr"},
    {{"zwif_sensor", "multi_lvl_snsr"}, 6, 1, 1, "interface_sensor_multilevel_scale_supported_get",
     zws_avi_args_handler<k_sensor_multilevel_scale_supported_args>,
     zws_avi_form_level_result<k_sensor_multilevel_scale_supported>, "tServMultiLvlSnsr"},
};

} // namespace

int zws_avi_interfaces_meter_init(zwu_array_list_t list)
{
    return zws_avi_message_list_add_table(list, k_meter_messages);
}
int zws_avi_interfaces_sensor_binary_init(zwu_array_list_t list)
{
    return zws_avi_message_list_add_table(list, k_sensor_binary_messages);
}
int zws_avi_interfaces_sensor_multilevel_init(zwu_array_list_t list)
{
    return zws_avi_message_list_add_table(list, k_sensor_multilevel_messages);
}
