// Basic, battery and alarm: the first interface families. Each is a table of
// descriptors; the answers are forms of the reply's `parameter` record, and
// only alarm's notification entries and its latest-report rule are written
// by hand.
#include "messages/zws_avi_interfaces.h"

#include "avi/zw_avro.h"
#include "messages/zws_avi_args.h"
#include "messages/zws_avi_format.h"
#include "messages/zws_avi_list.h"
#include "util/zws_log.h"
#include "util/zwu_number.h"
#include "util/zwu_uri.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

namespace {

// ---------------------------------------------------------------------------
// Basic and battery
// ---------------------------------------------------------------------------

constexpr zws_avi_arg_spec_t k_basic_set_args[] = {{"value", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_REQUIRED, "value"}};

constexpr zws_avi_form_t k_basic = {"<basic update=\"{utime:u64}\" state=\"{value:u8}\" />",
                                    "<basic utime=\"{utime:u64}\" state=\"{value:u8}\" />"};
constexpr zws_avi_form_t k_battery = {"<battery update=\"{utime:u64}\" level=\"{level:u8}\" />",
                                      "<battery utime=\"{utime:u64}\" level=\"{level:u8}\" />"};

constexpr zws_avi_message_interfaces_t k_basic_messages[] = {
    {{"zwif_basic", "basic"}, 2, 1, 1, "interface_basic_get", nullptr, zws_avi_form_level_result<k_basic>,
     "tServBasic"},
    {{"zwif_basic", "basic"}, 4, 0, 1, "interface_basic_set", zws_avi_args_handler<k_basic_set_args>, nullptr,
     "tServBasic"},
};
constexpr zws_avi_message_interfaces_t k_battery_messages[] = {
    {{"zwif_battery", "battery"}, 2, 1, 1, "interface_battery_get", nullptr, zws_avi_form_level_result<k_battery>,
     "tServBattery"},
};

// ---------------------------------------------------------------------------
// Alarm
// ---------------------------------------------------------------------------

constexpr zws_avi_arg_spec_t k_alarm_get_args[] = {
    {"vtype", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_DEFAULT, "alarm_type", -1},
    {"ztype", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_DEFAULT, "zwave_alarm_type", -1},
    {"event", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_DEFAULT, "zwave_alarm_event", -1}};
constexpr zws_avi_arg_spec_t k_alarm_set_args[] = {
    {"ztype", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_REQUIRED, "zwave_alarm_type"},
    {"status", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_REQUIRED, "zwave_alarm_status"}};
constexpr zws_avi_arg_spec_t k_alarm_event_supported_args[] = {
    {"ztype", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_DEFAULT, "zwave_alarm_type", -1}};

// The passive read of the latest notification report: vtype 0 and ztype
// 255 sent with the passive sub-command.
constexpr int k_alarm_get_passive_sub_command = 3;
constexpr int32_t k_alarm_type_latest = -2;

#define ZWS_ALARM_ATTRIBUTES(time)                                                                                    \
    " " time "=\"{utime:u64}\" vtype=\"{alarm_type:u8}\" level=\"{alarm_level:u8}\" ext=\"{ext:u8}\""                 \
    " zensor_nodeid=\"{extended_alarm_info.zensor_net_source_node_id:u8}\""                                           \
    " status=\"{extended_alarm_info.zwave_alarm_status:u8}\" ztype=\"{extended_alarm_info.zwave_alarm_type:u8}\""     \
    " event=\"{extended_alarm_info.zwave_alarm_event:u8}\" eparam_len=\"{eparam_len:u32}\""                           \
    " eparam_type=\"{extended_alarm_info.event_parameter_type:u8}\" eparam=\"{eparam:text}\" />"
constexpr zws_avi_form_t k_alarm = {"<alarm" ZWS_ALARM_ATTRIBUTES("update"), "<alrm" ZWS_ALARM_ATTRIBUTES("utime")};
#undef ZWS_ALARM_ATTRIBUTES

constexpr zws_avi_form_t k_alarm_type_supported = {
    "<type_sup_alarm update=\"{utime:u64}\" have_vtype=\"{have_vendor_type:u8}\" list=\"{supported_types:list}\" />",
    "<alrm_sup utime=\"{utime:u64}\" has_vtype=\"{have_vendor_type:u8}\" list=\"{supported_types:list}\" />"};
constexpr zws_avi_form_t k_alarm_event_supported = {
    "<event_sup_alarm update=\"{utime:u64}\" ztype=\"{zwave_alarm_type:u8}\" list=\"{supported_events:list}\" />",
    "<alrm_event_sup utime=\"{utime:u64}\" ztype=\"{zwave_alarm_type:u8}\" list=\"{supported_events:list}\" />"};

bool is_sub_command_pair(const zws_key_value_t &pair)
{
    return pair.key && (std::strcmp(pair.key, "cmd") == 0 || std::strcmp(pair.key, "cmd_cgi") == 0 ||
                        std::strcmp(pair.key, "cmd_type") == 0);
}

// The sub-command the request was sent with. The service layer consumed it
// (and, after it, the combined id) just before the handler's window: a
// message matched only with its sub-command pair read, so the pair before
// the window exists, and the one before that exists whenever the pair
// before the window is not the sub-command.
int alarm_sub_command(zws_key_value_t *args)
{
    for (int back = 1; back <= 2; back++) {
        const zws_key_value_t &pair = args[-back];
        int32_t value = -1;
        if (is_sub_command_pair(pair))
            return pair.value && zwu_parse_int32_non_negative(pair.value, &value) == 0 ? value : -1;
    }
    return -1;
}

// The event parameter as the web interface shows it, by its type.
int eparam_text(int32_t type, const char *bytes, size_t length, std::string *text)
{
    text->clear();
    if (type == 1) {
        const std::string raw(bytes, length);
        std::string encoded(length * 3 + 1, '\0');
        if (zwu_uri_encode_string(encoded.data(), encoded.size(), raw.c_str()) != 0)
            return 22;
        text->assign(encoded.c_str());
    } else if (type == 2) {
        // A type-2 parameter without bytes has no number to show.
        if (length > 0)
            *text = std::to_string(static_cast<unsigned>(static_cast<uint8_t>(bytes[0])));
    } else if (length > 0) {
        *text = "0x";
        char hex[3];
        for (size_t i = 0; i < length; i++) {
            std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned>(static_cast<uint8_t>(bytes[i])));
            *text += hex;
        }
    }
    return 0;
}

int alarm_entry_render(zwu_string_buffer_t out, int web_api_version, avro_value_t *entry)
{
    avro_value_t info;
    if (avro_value_get_by_name(entry, "extended_alarm_info", &info, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get 'extended_alarm_info' field from 'AlarmReport' record: %s", avro_strerror());
        return 22;
    }
    int branch = -1;
    if (avro_value_get_discriminant(&info, &branch) != 0) {
        ZWS_LOG_ERROR("Failed to get branch number of 'extended_alarm_info' field: %s", avro_strerror());
        return 22;
    }
    if (branch != 0) {
        // No extended information: its attributes are zeros and no parameter.
        const zws_xml_field_t none[] = {
            {"ext", zws_xml_uint(0)},
            {"extended_alarm_info.zensor_net_source_node_id", zws_xml_uint(0)},
            {"extended_alarm_info.zwave_alarm_status", zws_xml_uint(0)},
            {"extended_alarm_info.zwave_alarm_type", zws_xml_uint(0)},
            {"extended_alarm_info.zwave_alarm_event", zws_xml_uint(0)},
            {"eparam_len", zws_xml_uint(0)},
            {"extended_alarm_info.event_parameter_type", zws_xml_uint(0)},
            {"eparam", zws_xml_text("")},
        };
        return zws_avi_render_form(out, web_api_version, k_alarm, entry, none, static_cast<int>(std::size(none)));
    }
    avro_value_t extended;
    avro_value_t parameter;
    const void *bytes = nullptr;
    size_t length = 0;
    int32_t type = 0;
    if (avro_value_get_current_branch(&info, &extended) != 0 ||
        avro_value_get_by_name(&extended, "event_parameter", &parameter, nullptr) != 0 ||
        avro_value_get_bytes(&parameter, &bytes, &length) != 0 ||
        zw_avro_field_get_int(&extended, "event_parameter_type", &type) != 0) {
        ZWS_LOG_ERROR("Failed to get 'extended_alarm_info' field in branch '0': %s", avro_strerror());
        return 22;
    }
    std::string text;
    if (eparam_text(type, static_cast<const char *>(bytes), length, &text) != 0)
        return 22;
    const zws_xml_field_t extra[] = {
        {"ext", zws_xml_uint(1)},
        {"eparam_len", zws_xml_uint(length)},
        {"eparam", zws_xml_text(text.c_str())},
    };
    return zws_avi_render_form(out, web_api_version, k_alarm, entry, extra, static_cast<int>(std::size(extra)));
}

int alarm_get_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter)
{
    if (zws_avi_args_handler<k_alarm_get_args>(args, args_count, parameter) != 0)
        return 22;
    int32_t alarm_type = -1;
    int32_t zwave_type = -1;
    if (zw_avro_field_get_int(parameter, "alarm_type", &alarm_type) != 0 ||
        zw_avro_field_get_int(parameter, "zwave_alarm_type", &zwave_type) != 0)
        return 22;
    if (alarm_type == 0 && zwave_type == 255 && alarm_sub_command(args) == k_alarm_get_passive_sub_command) {
        ZWS_LOG_DEBUGGING("Latest Notification Report");
        return zw_avro_field_set_int(parameter, "alarm_type", k_alarm_type_latest) == 0 ? 0 : 22;
    }
    return 0;
}

int alarm_get_result(int web_api_version, unsigned long, avro_value_t *parameter, zwu_string_buffer_t out)
{
    avro_value_t list;
    size_t count = 0;
    if (zws_avi_get_array(parameter, "alarm_value_list", "Failed to get the field 'alarm_value_list': %s",
                          "Failed to get alarm value list size", &list, &count) != 0)
        return 22;
    for (size_t i = 0; i < count; i++) {
        avro_value_t entry;
        if (avro_value_get_by_index(&list, i, &entry, nullptr) != 0 ||
            alarm_entry_render(out, web_api_version, &entry) != 0)
            return 22;
    }
    return 0;
}

constexpr zws_avi_message_interfaces_t k_alarm_messages[] = {
    {{"zwif_alrm", "alarm"}, 2, 1, 1, "interface_alarm_get", alarm_get_argument, alarm_get_result, "tServAlarm"},
    {{"zwif_alrm", "alarm"}, 4, 0, 1, "interface_alarm_set", zws_avi_args_handler<k_alarm_set_args>, nullptr,
     "tServAlarm"},
    {{"zwif_alrm", "alarm"}, 5, 1, 1, "interface_alarm_type_supported_get", nullptr,
     zws_avi_form_level_result<k_alarm_type_supported>, "tServAlarm"},
    {{"zwif_alrm", "alarm"}, 7, 1, 1, "interface_alarm_event_supported_get",
     zws_avi_args_handler<k_alarm_event_supported_args>, zws_avi_form_level_result<k_alarm_event_supported>,
     "tServAlarm"},
};

} // namespace

int zws_avi_interfaces_alarm_init(zwu_array_list_t list)
{
    return zws_avi_message_list_add_table(list, k_alarm_messages);
}
int zws_avi_interfaces_basic_init(zwu_array_list_t list)
{
    return zws_avi_message_list_add_table(list, k_basic_messages);
}
int zws_avi_interfaces_battery_init(zwu_array_list_t list)
{
    return zws_avi_message_list_add_table(list, k_battery_messages);
}
