#include "daemon/zwp_avi_network_info.h"

#include "avi/zw_avro.h"
#include "daemon/zwp_avi_message.h"
#include "daemon/zwp_log.h"
#include "daemon/zwp_net_ops.h"
#include "hcapi/include/zwnet.h"

#include <cstdio>
#include <new>

namespace {

constexpr const char *server_platform = "linux";
constexpr const char *vendor_name = "Tessaly";
constexpr const char *product_name = "Vantor and Vantor Apps";

struct api_version {
    uint8_t major = 0;
    uint8_t minor = 0;
};

struct summary_results {
    api_version version;
    int is_initialized = 0;
    zwp_net_summary_t summary{};
};

struct version_results {
    api_version version;
};

template <typename Results>
void results_free(void *results)
{
    delete static_cast<Results *>(results);
}

int api_version_set(avro_value_t *record, const api_version &version, const char *record_name)
{
    avro_value_t field;
    if (avro_value_get_by_name(record, "host_controller_api_version", &field, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get 'host_controller_api_version' field from '%s' record: %s", record_name,
                      avro_strerror());
        return 22;
    }
    if (zw_avro_field_set_int(&field, "major", version.major) != 0 ||
        zw_avro_field_set_int(&field, "minor", version.minor) != 0)
        return 22;
    return 0;
}

// Runs also without a network: the library version and the platform are
// always known, the network part only once it has a descriptor tree.
int summary_call(zwp_net_t *net, void *, void **results)
{
    auto *made = new (std::nothrow) summary_results{};
    if (!made) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    zwnet_version(&made->version.major, &made->version.minor);
    const zwp_net_ops_t *ops = zwp_net_ops_get();
    if (net && ops->desc_tree_present && ops->desc_tree_present(net) == 0) {
        if (!ops->summary_get || ops->summary_get(net, &made->summary) != 0) {
            ZWS_LOG_ERROR("zwnet_get_desc() failed");
            delete made;
            return 22;
        }
        made->is_initialized = 1;
    }
    *results = made;
    return 0;
}

int summary_initialized_set(avro_value_t *branch, const zwp_net_summary_t &summary)
{
    const uint8_t *id = summary.network_id;
    char id_text[24];
    std::snprintf(id_text, sizeof id_text, "%02X-%02X-%02X-%02X-%02X-%02X-%02X-%02X", id[0], id[1], id[2], id[3],
                  id[4], id[5], id[6], id[7]);
    if (zw_avro_field_set_long(branch, "home_id", static_cast<int64_t>(summary.home_id)) != 0 ||
        zw_avro_field_set_int(branch, "controller_node_id", summary.controller_node_id) != 0 ||
        zw_avro_field_set_string(branch, "network_id", id_text) != 0 ||
        zw_avro_field_set_fixed(branch, "gateway_address", summary.gateway_address,
                                sizeof summary.gateway_address) != 0 ||
        zw_avro_field_set_int(branch, "address_type", static_cast<int32_t>(summary.address_type)) != 0)
        return 22;
    return 0;
}

int summary_result(void *results, avro_value_t *parameter)
{
    const auto *summary = static_cast<const summary_results *>(results);
    if (!summary)
        return 22;
    if (zw_avro_field_set_string(parameter, "vendor_name", vendor_name) != 0 ||
        zw_avro_field_set_string(parameter, "product_name", product_name) != 0 ||
        zw_avro_field_set_string(parameter, "server_platform", server_platform) != 0 ||
        zw_avro_field_set_int(parameter, "is_initialized", summary->is_initialized) != 0 ||
        api_version_set(parameter, summary->version, "Summary") != 0)
        return 22;
    avro_value_t field;
    if (avro_value_get_by_name(parameter, "summary_initialized", &field, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get 'summary_initialized' field from 'Summary' record: %s", avro_strerror());
        return 22;
    }
    avro_value_t branch;
    if (summary->is_initialized) {
        if (avro_value_set_branch(&field, 0, &branch) != 0) {
            ZWS_LOG_ERROR("Failed to set 'summary_initialized' field to branch '0': %s", avro_strerror());
            return 22;
        }
        return summary_initialized_set(&branch, summary->summary);
    }
    if (avro_value_set_branch(&field, 1, &branch) != 0 || avro_value_set_null(&branch) != 0) {
        ZWS_LOG_ERROR("Failed to set 'summary_initialized' field to branch '1': %s", avro_strerror());
        return 22;
    }
    return 0;
}

int version_call(zwp_net_t *, void *, void **results)
{
    auto *made = new (std::nothrow) version_results{};
    if (!made) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    zwnet_version(&made->version.major, &made->version.minor);
    *results = made;
    return 0;
}

int version_result(void *results, avro_value_t *parameter)
{
    const auto *version = static_cast<const version_results *>(results);
    if (!version)
        return 22;
    if (zw_avro_field_set_string(parameter, "server_platform", server_platform) != 0 ||
        api_version_set(parameter, version->version, "Version") != 0)
        return 22;
    return 0;
}

constexpr zwp_avi_message_networks info_messages[] = {
    {"network_summary_get", nullptr, nullptr, summary_call, 0, summary_result, results_free<summary_results>},
    {"network_version_get", nullptr, nullptr, version_call, 0, version_result, results_free<version_results>},
};

} // namespace

int zwp_avi_networks_info_register(zwu_array_list_t list)
{
    for (const zwp_avi_message_networks &message : info_messages) {
        if (zwp_avi_network_message_register(list, &message) != 0)
            return 22;
    }
    return 0;
}
