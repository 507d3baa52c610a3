// Binary, multilevel and colour switches: every message is a row. Written by
// hand are only what the forms cannot say: the level-change pairs (whose
// start needs more than its stop), the colour component lists and masks,
// the colour element that drops the target on older devices, and the list
// of supported components.
#include "messages/zws_avi_if_switch.h"

#include "avi/zw_avro.h"
#include "messages/zws_avi_args.h"
#include "messages/zws_avi_format.h"
#include "messages/zws_avi_list.h"
#include "util/zws_log.h"
#include "util/zwu_number.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>
#include <span>
#include <string>

namespace {

bool pair_is(const zws_key_value_t *args, int args_count, int position, const char *name)
{
    return args && position < args_count && args[position].key && std::strcmp(args[position].key, name) == 0;
}

const char *pair_text(const zws_key_value_t &pair)
{
    return pair.value ? pair.value : "";
}

// ---------------------------------------------------------------------------
// Level changes (multilevel and colour)
// ---------------------------------------------------------------------------

// A level change is the pairs up to its start/stop flag, then, for a start
// only, the pairs that say how. A start that does not ignore the start level
// must name one: the device would otherwise start from whatever level the
// record happened to hold.
struct level_change_t {
    std::span<const zws_avi_arg_spec_t> head; // sets "start_stop"
    std::span<const zws_avi_arg_spec_t> start; // sets "ignore_start_level" and "start_level" (-1 when absent)
    const char *start_level_pair;
};

constexpr int32_t k_start = 1;

template <const level_change_t &Grammar>
int level_change_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter)
{
    zws_avi_args_result_t head{};
    int status = zws_avi_args_read(Grammar.head.data(), static_cast<int>(Grammar.head.size()), args, args_count,
                                   parameter, &head);
    if (status != 0)
        return status;
    int32_t start_stop = 0;
    if (zw_avro_field_get_int(parameter, "start_stop", &start_stop) != 0)
        return 22;
    if (start_stop != k_start)
        return 0;
    status = zws_avi_args_read(Grammar.start.data(), static_cast<int>(Grammar.start.size()),
                               args ? args + head.consumed : nullptr, args_count - head.consumed, parameter, nullptr);
    if (status != 0)
        return status;
    int32_t ignore_start_level = 0;
    int32_t start_level = -1;
    if (zw_avro_field_get_int(parameter, "ignore_start_level", &ignore_start_level) != 0 ||
        zw_avro_field_get_int(parameter, "start_level", &start_level) != 0)
        return 22;
    if (ignore_start_level == 0 && start_level == -1) {
        ZWS_LOG_ERROR("Missing the required argument '%s'", Grammar.start_level_pair);
        return 22;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Colour component lists
// ---------------------------------------------------------------------------

// A colour command names at most nine components (a device has at most
// nine); the mask has a bit for components 0 to 31.
constexpr int k_color_list_max = 9;
constexpr int32_t k_color_id_max = 31;
constexpr uint32_t k_color_mask_all = 0x1FF;

struct number_list {
    std::array<int32_t, k_color_list_max> items{};
    int count = 0;
};

// The first nine numbers of a comma-separated list, each a non-negative
// decimal no larger than `max`. Empty items (a trailing comma) are skipped;
// the text after the ninth number is not read.
int number_list_parse(const char *pair, const char *text, int32_t max, number_list *list)
{
    std::string copy;
    try {
        copy = text;
    } catch (const std::bad_alloc &) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 12;
    }
    char *item = copy.data();
    while (item && list->count < k_color_list_max) {
        char *comma = std::strchr(item, ',');
        if (comma)
            *comma = '\0';
        if (*item != '\0') {
            int32_t value = 0;
            if (zwu_parse_int32_non_negative(item, &value) != 0 || value > max) {
                ZWS_LOG_ERROR("Invalid number '%s' in '%s'", item, pair);
                return 22;
            }
            list->items[static_cast<size_t>(list->count++)] = value;
        }
        item = comma ? comma + 1 : nullptr;
    }
    return 0;
}

// The components a get reads: a list of ids, or (where `AcceptsOneId`) a
// single id; without either, every component a device can have. An id is
// refused rather than folded onto another component's bit.
template <bool AcceptsOneId>
int color_mask_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter)
{
    uint32_t mask = k_color_mask_all;
    if (pair_is(args, args_count, 0, "color_id_list")) {
        number_list ids;
        const int status = number_list_parse("color_id_list", pair_text(args[0]), k_color_id_max, &ids);
        if (status != 0)
            return status;
        mask = 0;
        for (int i = 0; i < ids.count; i++)
            mask |= uint32_t{1} << ids.items[static_cast<size_t>(i)];
    } else if (AcceptsOneId && pair_is(args, args_count, 0, "color_id")) {
        int32_t id = 0;
        if (zwu_parse_int32_non_negative(pair_text(args[0]), &id) != 0 || id > k_color_id_max) {
            ZWS_LOG_ERROR("Failed to parse the value of '%s'", "color_id");
            return 22;
        }
        mask = uint32_t{1} << id;
    }
    return zw_avro_field_set_int(parameter, "mask", static_cast<int32_t>(mask)) == 0 ? 0 : 22;
}

constexpr zws_avi_arg_spec_t k_color_set_duration[] = {
    {"color_dur", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_DEFAULT, "dur", -1}};

// Ids and values pair up by position; the daemon and the device judge the
// numbers themselves.
int color_set_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter)
{
    if (!pair_is(args, args_count, 0, "color_id_list") || !pair_is(args, args_count, 1, "color_value_list")) {
        ZWS_LOG_ERROR("Missing the required arguments 'color_id_list' and 'color_value_list'");
        return 22;
    }
    constexpr int32_t any = std::numeric_limits<int32_t>::max();
    number_list ids;
    number_list values;
    int status = number_list_parse("color_id_list", pair_text(args[0]), any, &ids);
    if (status == 0)
        status = number_list_parse("color_value_list", pair_text(args[1]), any, &values);
    if (status != 0)
        return status;
    if (ids.count != values.count) {
        ZWS_LOG_ERROR("%d color ids for %d color values", ids.count, values.count);
        return 22;
    }
    avro_value_t list;
    if (avro_value_get_by_name(parameter, "switch_color_set_list", &list, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get the field 'switch_color_set_list': %s", avro_strerror());
        return 22;
    }
    for (int i = 0; i < ids.count; i++) {
        avro_value_t item;
        const auto at = static_cast<size_t>(i);
        if (avro_value_append(&list, &item, nullptr) != 0 ||
            zw_avro_field_set_int(&item, "id", ids.items[at]) != 0 ||
            zw_avro_field_set_int(&item, "value", values.items[at]) != 0)
            return 22;
    }
    return zws_avi_args_read(k_color_set_duration, static_cast<int>(std::size(k_color_set_duration)), args + 2,
                             args_count - 2, parameter, nullptr);
}

// ---------------------------------------------------------------------------
// Colour answers
// ---------------------------------------------------------------------------

constexpr zws_avi_form_t k_color = {
    "<color update=\"{utime:u64}\" color_id=\"{id:u8}\" color_cvalue=\"{cvalue:u8}\" />",
    "<color utime=\"{utime:u64}\" color_id=\"{id:u8}\" color_cvalue=\"{cvalue:u8}\" />"};
constexpr zws_avi_form_t k_color_with_target = {
    "<color update=\"{utime:u64}\" color_id=\"{id:u8}\" color_cvalue=\"{cvalue:u8}\" color_tvalue=\"{tvalue:u8}\""
    " color_dur=\"{dur:u8}\" />",
    "<color utime=\"{utime:u64}\" color_id=\"{id:u8}\" color_cvalue=\"{cvalue:u8}\" color_tvalue=\"{tvalue:u8}\""
    " color_dur=\"{dur:u8}\" />"};

// Devices of the older class versions report no target value or duration
// (the daemon sends -1): their element leaves both out.
int color_get_result(int web_api_version, unsigned long, avro_value_t *parameter, zwu_string_buffer_t out)
{
    avro_value_t list;
    size_t count = 0;
    if (zws_avi_get_array(parameter, "switch_color_value_list", "Failed to get the field 'switch_color_value_list': %s",
                          "Failed to get switch color value list size", &list, &count) != 0)
        return 22;
    for (size_t i = 0; i < count; i++) {
        avro_value_t entry;
        int32_t target = 0;
        int32_t duration = 0;
        if (avro_value_get_by_index(&list, i, &entry, nullptr) != 0 ||
            zw_avro_field_get_int(&entry, "tvalue", &target) != 0 ||
            zw_avro_field_get_int(&entry, "dur", &duration) != 0)
            return 22;
        const zws_avi_form_t &form = target == -1 || duration == -1 ? k_color : k_color_with_target;
        if (zws_avi_render_form(out, web_api_version, form, &entry) != 0)
            return 22;
    }
    return 0;
}

constexpr zws_avi_form_t k_color_supported = {
    "<color_sup update=\"{utime:u64}\" color_sup_list=\"{color_sup_list:text}\" />",
    "<color_sup utime=\"{utime:u64}\" color_sup_list=\"{color_sup_list:text}\" />"};

// The supported components as their ids, rising, joined by commas without
// the trailing comma of other lists.
int color_supported_result(int web_api_version, unsigned long, avro_value_t *parameter, zwu_string_buffer_t out)
{
    int32_t mask = 0;
    if (zw_avro_field_get_int(parameter, "mask", &mask) != 0)
        return 22;
    char ids[32 * 3 + 1] = "";
    size_t length = 0;
    for (unsigned id = 0; id < 32; id++) {
        if ((static_cast<uint32_t>(mask) & (uint32_t{1} << id)) == 0)
            continue;
        length += static_cast<size_t>(
            std::snprintf(ids + length, sizeof ids - length, length == 0 ? "%u" : ",%u", id));
    }
    const zws_xml_field_t extra[] = {{"color_sup_list", zws_xml_text(ids)}};
    return zws_avi_render_form(out, web_api_version, k_color_supported, parameter, extra,
                               static_cast<int>(std::size(extra)));
}

constexpr zws_avi_form_t k_color_change = {
    "<color_change color_id=\"{id:u8}\" status=\"{start_stop:u8}\" />",
    "<color_change color_id=\"{id:u8}\" status=\"{start_stop:u8}\" />", "switch_color_level_change_value_list"};

constexpr zws_avi_arg_spec_t k_color_change_head[] = {
    {"color_id", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_REQUIRED, "id"},
    {"color_start_stop", ZWS_AVI_ARG_FLAG, ZWS_AVI_ARG_REQUIRED, "start_stop"}};
constexpr zws_avi_arg_spec_t k_color_change_start[] = {
    {"color_dir", ZWS_AVI_ARG_FLAG, ZWS_AVI_ARG_REQUIRED, "up_down"},
    {"color_ignore_start", ZWS_AVI_ARG_FLAG, ZWS_AVI_ARG_REQUIRED, "ignore_start_level"},
    {"color_start_lvl", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_DEFAULT, "start_level", -1},
    {"color_dur", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_DEFAULT, "duration", -1}};
constexpr level_change_t k_color_change_args = {k_color_change_head, k_color_change_start, "color_start_lvl"};

// ---------------------------------------------------------------------------
// Binary and multilevel switch
// ---------------------------------------------------------------------------

constexpr zws_avi_arg_spec_t k_value_set_args[] = {{"value", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_REQUIRED, "value"}};
constexpr zws_avi_arg_spec_t k_level_set_args[] = {
    {"value", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_REQUIRED, "value"},
    {"dur", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_DEFAULT, "dimming_duration", -1}};

// The flag is 0 or 1: any other value would be taken by the daemon as a
// start whose other fields were never given.
constexpr zws_avi_arg_spec_t k_level_change_head[] = {
    {"start_stop", ZWS_AVI_ARG_FLAG, ZWS_AVI_ARG_REQUIRED, "start_stop"}};
constexpr zws_avi_arg_spec_t k_level_change_start[] = {
    {"dir", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_REQUIRED, "up_down"},
    {"ignore_start_lvl", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_REQUIRED, "ignore_start_level"},
    {"start_lvl", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_DEFAULT, "start_level", -1},
    {"dur", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_DEFAULT, "dimming_duration", -1},
    {"sec", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_DEFAULT, "inc_dec", -1},
    {"step", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_DEFAULT, "step_size", -1}};
constexpr level_change_t k_level_change_args = {k_level_change_head, k_level_change_start, "start_lvl"};

constexpr zws_avi_form_t k_switch_binary = {"<bin_sw update=\"{utime:u64}\" state=\"{value:u8}\" />",
                                            "<switch utime=\"{utime:u64}\" state=\"{value:u8}\" />"};
constexpr zws_avi_form_t k_level = {"<multi_lvl_sw update=\"{utime:u64}\" state=\"{value:u8}\" />",
                                    "<level utime=\"{utime:u64}\" state=\"{value:u8}\" />"};
constexpr zws_avi_form_t k_level_change = {"<lvl_chg_multi_lvl_sw status=\"{start_stop:u8}\" />",
                                           "<level_change status=\"{start_stop:u8}\" />"};
constexpr zws_avi_form_t k_level_supported = {
    "<sup_multi_lvl_sw update=\"{utime:u64}\" pri_type=\"{primary_switch_type:u8}\""
    " sec_type=\"{secondary_switch_type:u8}\" />",
    "<level_sup utime=\"{utime:u64}\" pri_type=\"{primary_switch_type:u8}\""
    " sec_type=\"{secondary_switch_type:u8}\" />"};

// ---------------------------------------------------------------------------
// Descriptors
// ---------------------------------------------------------------------------

constexpr zws_avi_message_interfaces_t k_switch_binary_messages[] = {
    {{"zwif_switch", "bin_sw"}, 2, 1, 1, "interface_switch_binary_get", nullptr,
     zws_avi_form_level_result<k_switch_binary>, "tServBinSw"},
    {{"zwif_switch", "bin_sw"}, 4, 0, 1, "interface_switch_binary_set", zws_avi_args_handler<k_value_set_args>,
     nullptr, "tServBinSw"},
};

constexpr zws_avi_message_interfaces_t k_switch_multilevel_messages[] = {
    {{"zwif_level", "multi_lvl_sw"}, 2, 1, 1, "interface_switch_multilevel_get", nullptr,
     zws_avi_form_level_result<k_level>, "tServMultiLvlSw"},
    {{"zwif_level", "multi_lvl_sw"}, 4, 0, 1, "interface_switch_multilevel_set",
     zws_avi_args_handler<k_level_set_args>, nullptr, "tServMultiLvlSw"},
    {{"zwif_level", "multi_lvl_sw"}, 5, 0, 1, "interface_switch_multilevel_level_change_get", nullptr,
     zws_avi_form_level_result<k_level_change>, "tServMultiLvlSw"},
    {{"zwif_level", "multi_lvl_sw"}, 6, 0, 1, "interface_switch_multilevel_level_change_set",
     level_change_argument<k_level_change_args>, nullptr, "tServMultiLvlSw"},
    {{"zwif_level", "multi_lvl_sw"}, 7, 1, 1, "interface_switch_multilevel_supported_get", nullptr,
     zws_avi_form_level_result<k_level_supported>, "tServMultiLvlSw"},
};

constexpr zws_avi_message_interfaces_t k_switch_color_messages[] = {
    {{"zwif_color", "color_sw"}, 2, 1, 1, "interface_switch_color_get", color_mask_argument<true>, color_get_result,
     "tServColorSw"},
    {{"zwif_color", "color_sw"}, 4, 0, 1, "interface_switch_color_set", color_set_argument, nullptr, "tServColorSw"},
    {{"zwif_color", "color_sw"}, 5, 0, 1, "interface_switch_color_level_change_get", color_mask_argument<false>,
     zws_avi_form_level_result<k_color_change>, "tServColorSw"},
    {{"zwif_color", "color_sw"}, 6, 0, 1, "interface_switch_color_level_change_set",
     level_change_argument<k_color_change_args>, nullptr, "tServColorSw"},
    {{"zwif_color", "color_sw"}, 7, 1, 1, "interface_switch_color_supported_get", nullptr, color_supported_result,
     "tServColorSw"},
};

} // namespace

int zws_avi_interfaces_switch_binary_init(zwu_array_list_t list)
{
    return zws_avi_message_list_add_table(list, k_switch_binary_messages);
}
int zws_avi_interfaces_switch_multilevel_init(zwu_array_list_t list)
{
    return zws_avi_message_list_add_table(list, k_switch_multilevel_messages);
}
int zws_avi_interfaces_switch_color_init(zwu_array_list_t list)
{
    return zws_avi_message_list_add_table(list, k_switch_color_messages);
}
