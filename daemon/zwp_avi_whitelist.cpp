#include "daemon/zwp_avi_whitelist.h"

#include "avi/zw_avro.h"
#include "daemon/zwp_alloc.h"
#include "daemon/zwp_avi_fields.h"
#include "daemon/zwp_avi_message.h"
#include "daemon/zwp_log.h"
#include "daemon/zwp_net.h"
#include "daemon/zwp_net_wl.h"
#include "daemon/zwp_text.h"
#include "hcapi/include/zwnet.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using args_t = zwp_avi_net_args_t;

constexpr zwp_avi_net_arg_field_t dsk_required[] = {
    {"dsk", nullptr, &args_t::dsk, true, 0, 0},
};
constexpr zwp_avi_net_arg_field_t dsk_optional[] = {
    {"dsk", nullptr, &args_t::dsk, false, 0, 0},
};
constexpr zwp_avi_net_arg_field_t add_fields[] = {
    {"dsk", nullptr, &args_t::dsk, true, 0, 0},
    {"granted_keys", &args_t::granted_keys, nullptr, false, 0, 0xFF},
    {"name", nullptr, &args_t::name, false, 0, 0},
    {"location", nullptr, &args_t::location, false, 0, 0},
};

// ---------------------------------------------------------------------------
// The library's callbacks (on its callback thread); user is the record.
// ---------------------------------------------------------------------------

// Slot 0 is no text: the count stands in the first byte of the slot
// itself (a null slot with no entries).
void wl_list_cb(void *user, char **list)
{
    zwp_net_wl_t *wl = zwp_net_wl_get(static_cast<zwp_net_t *>(user));
    if (!list) {
        zwp_net_wl_clear(wl);
        return;
    }
    uint8_t count = 0;
    std::memcpy(&count, static_cast<const void *>(&list[0]), 1);
    zwp_net_wl_list_set(wl, list + 1, count);
}

void wl_info_cb(void *user, char *dsk, uint8_t granted_keys, const zwnet_wl_rec_t *recs, uint8_t rec_cnt)
{
    zwp_net_wl_dev_info_set(zwp_net_wl_get(static_cast<zwp_net_t *>(user)), dsk, granted_keys, recs, rec_cnt);
}

// ---------------------------------------------------------------------------
// Messages
// ---------------------------------------------------------------------------

int list_get_call(zwp_net_t *net, void *, void **)
{
    const int rc = zwnet_wl_list_get(zwp_net_hc_get(net), wl_list_cb, net);
    if (rc != 0) {
        ZWS_LOG_ERROR("zwnet_wl_list_get() failed with '%s'", zwp_err_str(rc));
        return 22;
    }
    return 0;
}

struct list_results {
    std::vector<std::string> dsks;
};

int list_report_call(zwp_net_t *net, void *, void **results)
{
    auto *made = zwp_record_new<list_results>();
    if (!made)
        return 22;
    if (zwp_net_whitelist_list_report(zwp_net_wl_get(net), &made->dsks) != 0) {
        delete made;
        return 22;
    }
    *results = made;
    return 0;
}

int list_report_result(void *results, avro_value_t *parameter)
{
    const auto *list = static_cast<const list_results *>(results);
    if (!list)
        return 22;
    avro_value_t array;
    if (avro_value_get_by_name(parameter, "whitelist_list", &array, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get the field 'whitelist_list': %s", avro_strerror());
        return 22;
    }
    for (const std::string &dsk : list->dsks) {
        avro_value_t element;
        if (avro_value_append(&array, &element, nullptr) != 0 || avro_value_set_string(&element, dsk.c_str()) != 0) {
            ZWS_LOG_ERROR("Failed to set dsk string: %s, %s", dsk.c_str(), avro_strerror());
            return 22;
        }
    }
    return 0;
}

int device_info_call(zwp_net_t *net, void *arguments, void **results)
{
    const args_t &args = zwp_avi_net_args_of(arguments);
    if (args.dsk.empty()) {
        ZWS_LOG_ERROR("Missing dsk argument or invalid dsk length");
        return 22;
    }
    const int rc = zwnet_wl_get(zwp_net_hc_get(net), args.dsk.c_str(), wl_info_cb, net);
    if (rc != 0) {
        ZWS_LOG_ERROR("zwnet_wl_get() failed with '%s'", zwp_err_str(rc));
        return 22;
    }
    auto *made = zwp_record_new<zwp_net_wl_dev_info_t>();
    if (!made)
        return 22;
    // The gateway's answer comes later through the callback: this reply
    // carries what its previous report left.
    if (zwp_net_wl_dev_info_find(zwp_net_wl_get(net), args.dsk.c_str(), made) != 0) {
        ZWS_LOG_ERROR("Fail to find whitelist device info with dsk: %s", args.dsk.c_str());
        delete made;
        return 22;
    }
    *results = made;
    return 0;
}

int device_info_result(void *results, avro_value_t *parameter)
{
    const auto *info = static_cast<const zwp_net_wl_dev_info_t *>(results);
    if (!info || zw_avro_field_set_string(parameter, "dsk", info->dsk.c_str()) != 0 ||
        zw_avro_field_set_int(parameter, "granted_keys", static_cast<int32_t>(info->granted_keys)) != 0 ||
        zw_avro_field_set_string(parameter, "name", info->name) != 0 ||
        zw_avro_field_set_string(parameter, "loc", info->loc) != 0)
        return 22;
    return 0;
}

// A text record holds 63 characters and its terminator; a longer text is cut.
void rec_add(zwnet_wl_rec_t *recs, uint8_t *count, uint8_t type, const std::string &text)
{
    if (text.empty())
        return;
    zwnet_wl_rec_t &rec = recs[(*count)++];
    rec.type = type;
    const size_t length = std::min(text.size(), sizeof rec.text - 1);
    std::memcpy(rec.text, text.data(), length);
    rec.text[length] = '\0';
}

int add_call(zwp_net_t *net, void *arguments, void **)
{
    const args_t &args = zwp_avi_net_args_of(arguments);
    if (args.dsk.empty()) {
        ZWS_LOG_ERROR("Missing dsk argument or invalid dsk length");
        return 22;
    }
    zwnet_wl_rec_t recs[2]{};
    uint8_t count = 0;
    rec_add(recs, &count, ZWNET_WL_REC_NAME, args.name);
    rec_add(recs, &count, ZWNET_WL_REC_LOCATION, args.location);
    const int rc = zwnet_wl_add(zwp_net_hc_get(net), args.dsk.c_str(), static_cast<uint8_t>(args.granted_keys),
                                count ? recs : nullptr, count);
    if (rc != 0) {
        ZWS_LOG_ERROR("zwnet_wl_add() failed with '%s'", zwp_err_str(rc));
        return 22;
    }
    return 0;
}

int remove_call(zwp_net_t *net, void *arguments, void **)
{
    const args_t &args = zwp_avi_net_args_of(arguments);
    if (args.dsk.empty()) {
        const int rc = zwnet_wl_list_clr(zwp_net_hc_get(net));
        if (rc != 0) {
            ZWS_LOG_ERROR("zwnet_wl_list_clr() failed with '%s'", zwp_err_str(rc));
            return 22;
        }
        return 0;
    }
    const int rc = zwnet_wl_clr(zwp_net_hc_get(net), args.dsk.c_str());
    if (rc != 0) {
        ZWS_LOG_ERROR("zwnet_wl_clr() failed with '%s'", zwp_err_str(rc));
        return 22;
    }
    return 0;
}

constexpr auto free_args = zwp_avi_net_args_free;

constexpr zwp_avi_message_networks whitelist_messages[] = {
    {"network_whitelist_list_get", nullptr, nullptr, list_get_call, 1, nullptr, nullptr},
    {"network_whitelist_list_report", nullptr, nullptr, list_report_call, 1, list_report_result,
     zwp_record_free<list_results>},
    {"network_whitelist_device_info", zwp_avi_net_args_reader<dsk_required>, free_args, device_info_call, 1,
     device_info_result, zwp_record_free<zwp_net_wl_dev_info_t>},
    {"network_whitelist_add", zwp_avi_net_args_reader<add_fields>, free_args, add_call, 1, nullptr, nullptr},
    {"network_whitelist_remove", zwp_avi_net_args_reader<dsk_optional>, free_args, remove_call, 1, nullptr, nullptr},
};

} // namespace

int zwp_avi_networks_whitelist_register(zwu_array_list_t list)
{
    for (const zwp_avi_message_networks &message : whitelist_messages) {
        if (zwp_avi_network_message_register(list, &message) != 0)
            return 22;
    }
    return 0;
}
