#include "daemon/zwp_avi_network_info.h"

#include "avi/zw_avro.h"
#include "daemon/zwp_avi_message.h"
#include "daemon/zwp_desc.h"
#include "daemon/zwp_log.h"
#include "daemon/zwp_net.h"
#include "daemon/zwp_net_ops.h"
#include "hcapi/include/zwnet.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

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


// ---------------------------------------------------------------------------
// network_exit: the network list stops and frees the network.
// ---------------------------------------------------------------------------

int exit_call(zwp_net_t *net, void *, void **)
{
    if (!net)
        return 22;
    const uint8_t *id = zwp_net_id_get(net);
    char id_text[24];
    std::snprintf(id_text, sizeof id_text, "%02X-%02X-%02X-%02X-%02X-%02X-%02X-%02X", id[0], id[1], id[2], id[3],
                  id[4], id[5], id[6], id[7]);
    // The stop waits for every reference, this request's own included.
    zwp_net_unref(net);
    return zwp_net_owner_stop(net, id_text);
}

// ---------------------------------------------------------------------------
// network_info_get
// ---------------------------------------------------------------------------

struct info_results {
    zwu_time_t utime = 0;
    zwp_net_info_t info{};
};

int info_call(zwp_net_t *net, void *, void **results)
{
    auto *made = new (std::nothrow) info_results{};
    if (!made) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    if (zwp_net_info_get(net, &made->info) != 0) {
        ZWS_LOG_ERROR("zwnet_get_desc() failed");
        delete made;
        return 22;
    }
    made->utime = zwp_net_tree_utime_get(net);
    *results = made;
    return 0;
}

int info_result(void *results, avro_value_t *parameter)
{
    const auto *r = static_cast<const info_results *>(results);
    if (!r)
        return 22;
    if (zw_avro_field_set_long(parameter, "utime", static_cast<int64_t>(r->utime)) != 0 ||
        zw_avro_field_set_long(parameter, "home_id", static_cast<int64_t>(r->info.home_id)) != 0 ||
        zw_avro_field_set_int(parameter, "controller_node_id", r->info.ctl_id) != 0 ||
        zw_avro_field_set_int(parameter, "controller_role", r->info.ctl_role) != 0 ||
        zw_avro_field_set_int(parameter, "controller_capability", r->info.ctl_cap) != 0 ||
        zw_avro_field_set_int(parameter, "controller_zwave_role", r->info.zw_role) != 0)
        return 22;
    return 0;
}

// ---------------------------------------------------------------------------
// network_node_list_get
// ---------------------------------------------------------------------------

struct node_list_results {
    std::vector<zwp_desc_node_item_t> nodes;
    ~node_list_results() { zwp_desc_node_list_release(&nodes); }
};

int node_list_call(zwp_net_t *net, void *, void **results)
{
    auto *made = new (std::nothrow) node_list_results{};
    if (!made) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    if (zwp_desc_node_list_get(zwp_net_desc_tree_get(net), &made->nodes) != 0) {
        delete made;
        return 22;
    }
    *results = made;
    return 0;
}

// The node record's plain fields, in the order written.
struct node_field {
    const char *name;
    bool is_long;
    int64_t (*value)(const zwp_desc_node_item_t &item);
};
constexpr node_field node_fields[] = {
    {"id", false, [](const zwp_desc_node_item_t &i) -> int64_t { return i.node.nodeid; }},
    {"property", false, [](const zwp_desc_node_item_t &i) -> int64_t { return i.node.propty; }},
    {"vendor_id", false, [](const zwp_desc_node_item_t &i) -> int64_t { return i.node.vid; }},
    {"product_id", false, [](const zwp_desc_node_item_t &i) -> int64_t { return i.node.pid; }},
    {"product_type", false, [](const zwp_desc_node_item_t &i) -> int64_t { return i.node.type; }},
    {"category", false, [](const zwp_desc_node_item_t &i) -> int64_t { return i.node.category; }},
    {"alive", false, [](const zwp_desc_node_item_t &i) -> int64_t { return i.state.alive; }},
    {"secure", false, [](const zwp_desc_node_item_t &i) -> int64_t { return i.state.secure; }},
    {"zwave_library_type", false, [](const zwp_desc_node_item_t &i) -> int64_t { return i.node.lib_type; }},
    {"zwave_protocol_version", false, [](const zwp_desc_node_item_t &i) -> int64_t { return i.node.proto_ver; }},
    {"application_version", false, [](const zwp_desc_node_item_t &i) -> int64_t { return i.node.app_ver; }},
    {"FLiRS", false, [](const zwp_desc_node_item_t &i) -> int64_t { return i.node.sensor; }},
    {"sleep_capable", false, [](const zwp_desc_node_item_t &i) -> int64_t { return i.node.sleep_cap; }},
    {"wake_up_interval", true, [](const zwp_desc_node_item_t &i) -> int64_t { return i.node.wkup_intv; }},
    {"s2_keys_valid", false, [](const zwp_desc_node_item_t &i) -> int64_t { return i.node.s2_keys_valid; }},
    {"s2_grant_key", false, [](const zwp_desc_node_item_t &i) -> int64_t { return i.node.s2_grnt_keys; }},
};

int ext_ver_write(avro_value_t *node, const ext_ver_t *ext)
{
    avro_value_t record;
    if (avro_value_get_by_name(node, "external_version_info", &record, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get the field 'external_version_info': %s", avro_strerror());
        return 22;
    }
    if (!ext)
        return zw_avro_field_set_int(&record, "is_external_supported", 0) == 0 ? 0 : 22;
    if (zw_avro_field_set_int(&record, "is_external_supported", 1) != 0 ||
        zw_avro_field_set_int(&record, "hardware_version", ext->hw_ver) != 0) {
        ZWS_LOG_ERROR("Failed to set the field 'number_of_targets': %s", avro_strerror());
        return 22;
    }
    if (ext->fw_cnt == 0)
        return 0;
    avro_value_t array;
    if (avro_value_get_by_name(&record, "target_version_info_array", &array, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get the field 'target_version_info_array': %s", avro_strerror());
        return 22;
    }
    for (uint8_t i = 0; i < ext->fw_cnt; i++) {
        avro_value_t element;
        if (avro_value_append(&array, &element, nullptr) != 0) {
            ZWS_LOG_ERROR("Failed to append firmware_target_element : %s", avro_strerror());
            return 22;
        }
        if (zw_avro_field_set_int(&element, "version", ext->fw_ver[i] >> 8) != 0 ||
            zw_avro_field_set_int(&element, "sub_version", ext->fw_ver[i] & 0xFF) != 0) {
            ZWS_LOG_ERROR("Failed to set version and subversion fields:  %s", avro_strerror());
            return 22;
        }
    }
    return 0;
}

int node_list_result(void *results, avro_value_t *parameter)
{
    const auto *r = static_cast<const node_list_results *>(results);
    if (!r)
        return 22;
    avro_value_t array;
    if (avro_value_get_by_name(parameter, "node_list", &array, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get the field 'node_list': %s", avro_strerror());
        return 22;
    }
    for (const zwp_desc_node_item_t &item : r->nodes) {
        avro_value_t node;
        if (avro_value_append(&array, &node, nullptr) != 0) {
            ZWS_LOG_ERROR("Failed to get the field 'node_list': %s", avro_strerror());
            return 22;
        }
        for (const node_field &field : node_fields) {
            const int64_t value = field.value(item);
            const int set = field.is_long ? zw_avro_field_set_long(&node, field.name, value)
                                          : zw_avro_field_set_int(&node, field.name, static_cast<int32_t>(value));
            if (set != 0)
                return 22;
        }
        char dsk[sizeof item.node.s2_dsk];
        std::memcpy(dsk, item.node.s2_dsk, sizeof dsk);
        dsk[sizeof dsk - 1] = '\0';
        if (zw_avro_field_set_string(&node, "s2_dsk", dsk) != 0 || ext_ver_write(&node, item.state.ext_ver) != 0)
            return 22;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// network_node_endpoint_list_get
// ---------------------------------------------------------------------------

struct ep_list_results {
    std::vector<zwep_desc_t> eps;
};

int ep_list_call(zwp_net_t *net, void *, void **results)
{
    auto *made = new (std::nothrow) ep_list_results{};
    if (!made) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    if (zwp_desc_all_ep_list_get(zwp_net_desc_tree_get(net), &made->eps) != 0) {
        delete made;
        return 22;
    }
    *results = made;
    return 0;
}

int ep_list_result(void *results, avro_value_t *parameter)
{
    const auto *r = static_cast<const ep_list_results *>(results);
    if (!r)
        return 22;
    avro_value_t array;
    if (avro_value_get_by_name(parameter, "node_endpoint_list", &array, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get the field 'endpoint_list': %s", avro_strerror());
        return 22;
    }
    for (const zwep_desc_t &ep : r->eps) {
        avro_value_t element;
        if (avro_value_append(&array, &element, nullptr) != 0) {
            ZWS_LOG_ERROR("Failed to append to 'endpoints_list': %s", avro_strerror());
            return 22;
        }
        avro_value_t node;
        if (zw_avro_field_set_int(&element, "id", ep.epid) != 0)
            return 22;
        if (avro_value_get_by_name(&element, "node", &node, nullptr) != 0) {
            ZWS_LOG_ERROR("Failed to get the field 'node': %s", avro_strerror());
            return 22;
        }
        if (zw_avro_field_set_int(&node, "id", ep.nodeid) != 0)
            return 22;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// network_operation_state_get
// ---------------------------------------------------------------------------

int op_state_call(zwp_net_t *net, void *, void **results)
{
    auto *made = new (std::nothrow) zwp_net_op_state_t{};
    if (!made) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    zwp_net_op_state_get(net, made);
    *results = made;
    return 0;
}

int op_state_result(void *results, avro_value_t *parameter)
{
    const auto *r = static_cast<const zwp_net_op_state_t *>(results);
    if (!r)
        return 22;
    if (zw_avro_field_set_int(parameter, "current_operation", static_cast<int32_t>(r->current)) != 0 ||
        zw_avro_field_set_int(parameter, "current_operation_status", r->status) != 0 ||
        zw_avro_field_set_int(parameter, "current_operation_total_nodes", static_cast<int32_t>(r->total_nodes)) != 0 ||
        zw_avro_field_set_int(parameter, "current_operation_completed_nodes",
                              static_cast<int32_t>(r->completed_nodes)) != 0 ||
        zw_avro_field_set_int(parameter, "previous_operation", static_cast<int32_t>(r->previous)) != 0)
        return 22;
    return 0;
}

constexpr zwp_avi_message_networks info_messages[] = {
    {"network_exit", nullptr, nullptr, exit_call, 0, nullptr, nullptr},
    {"network_info_get", nullptr, nullptr, info_call, 1, info_result, results_free<info_results>},
    {"network_node_list_get", nullptr, nullptr, node_list_call, 1, node_list_result, results_free<node_list_results>},
    {"network_node_endpoint_list_get", nullptr, nullptr, ep_list_call, 1, ep_list_result,
     results_free<ep_list_results>},
    {"network_operation_state_get", nullptr, nullptr, op_state_call, 0, op_state_result,
     results_free<zwp_net_op_state_t>},
    {"network_summary_get", nullptr, nullptr, summary_call, 0, summary_result, results_free<summary_results>},
    {"network_version_get", nullptr, nullptr, version_call, 0, version_result, results_free<version_results>},
};

// The operation messages stand between the first four and the last three in
// the network list, so the table registers in two parts.
constexpr size_t info_head = 4;

int info_messages_register(zwu_array_list_t list, size_t first, size_t end)
{
    for (size_t i = first; i < end; i++) {
        if (zwp_avi_network_message_register(list, &info_messages[i]) != 0)
            return 22;
    }
    return 0;
}

} // namespace

int zwp_avi_networks_info_register(zwu_array_list_t list)
{
    return info_messages_register(list, 0, info_head);
}

int zwp_avi_networks_state_register(zwu_array_list_t list)
{
    return info_messages_register(list, info_head, std::size(info_messages));
}
