// The network-level commands besides the summary and the version: network
// information and lists, inclusion, exclusion and replacement with their
// Security 2 steps, network operations and their state, and the Smart Start
// whitelist.
#include "messages/zws_avi_networks.h"

#include "avi/zw_avro.h"
#include "messages/zws_avi_args.h"
#include "messages/zws_avi_format.h"
#include "util/zws_log.h"

#include <cstdio>
#include <new>
#include <string>

namespace {

// ---- argument handlers ------------------------------------------------------

constexpr zws_avi_arg_spec_t k_node_add[] = {{"dsk", ZWS_AVI_ARG_TEXT, ZWS_AVI_ARG_OPTIONAL, "dsk"}};
// Keys and the client-side authentication flag are one byte each.
constexpr zws_avi_arg_spec_t k_grant_key[] = {
    {"granted_keys", ZWS_AVI_ARG_U8, ZWS_AVI_ARG_OPTIONAL, "granted_keys"},
    {"grant_csa", ZWS_AVI_ARG_U8, ZWS_AVI_ARG_OPTIONAL, "grant_csa"}};
constexpr zws_avi_arg_spec_t k_accept[] = {{"accept", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_REQUIRED, "accept"},
                                           {"value", ZWS_AVI_ARG_TEXT, ZWS_AVI_ARG_REQUIRED, "dsk"}};
constexpr zws_avi_arg_spec_t k_failed_remove[] = {{"noded", ZWS_AVI_ARG_NODE, ZWS_AVI_ARG_REQUIRED, "node_id"}};
constexpr zws_avi_arg_spec_t k_failed_replace[] = {{"noded", ZWS_AVI_ARG_NODE, ZWS_AVI_ARG_OPTIONAL, "node_id"},
                                                   {"dsk", ZWS_AVI_ARG_TEXT, ZWS_AVI_ARG_OPTIONAL, "dsk"}};
constexpr zws_avi_arg_spec_t k_replace_on_behalf[] = {{nullptr, ZWS_AVI_ARG_CONST, ZWS_AVI_ARG_REQUIRED, "node_id", 0},
                                                      {"dsk", ZWS_AVI_ARG_TEXT, ZWS_AVI_ARG_OPTIONAL, "dsk"}};
constexpr zws_avi_arg_spec_t k_node_update[] = {{"noded", ZWS_AVI_ARG_NODE, ZWS_AVI_ARG_REQUIRED, "node_id"}};
constexpr zws_avi_arg_spec_t k_send_nif[] = {{"noded", ZWS_AVI_ARG_NODE_OR_ALL, ZWS_AVI_ARG_REQUIRED, "node_id"}};
constexpr zws_avi_arg_spec_t k_whitelist_dsk[] = {{"dsk", ZWS_AVI_ARG_TEXT, ZWS_AVI_ARG_REQUIRED, "dsk"}};
constexpr zws_avi_arg_spec_t k_whitelist_add[] = {
    {"dsk", ZWS_AVI_ARG_TEXT, ZWS_AVI_ARG_OPTIONAL, "dsk"},
    {"granted_keys", ZWS_AVI_ARG_U8, ZWS_AVI_ARG_OPTIONAL, "granted_keys"},
    {"name", ZWS_AVI_ARG_DECODED, ZWS_AVI_ARG_OPTIONAL, "name"},
    {"loc", ZWS_AVI_ARG_DECODED, ZWS_AVI_ARG_OPTIONAL, "location"}};

template <const auto &Specs> int read_specs(zws_key_value_t *args, int args_count, avro_value_t *parameter,
                                            zws_avi_args_result_t *result)
{
    return zws_avi_args_read(Specs, static_cast<int>(sizeof Specs / sizeof Specs[0]), args, args_count, parameter,
                             result);
}

// A handler whose pairs are all optional but which needs at least one.
template <const auto &Specs> int at_least_one(zws_key_value_t *args, int args_count, avro_value_t *parameter)
{
    zws_avi_args_result_t result{};
    const int status = read_specs<Specs>(args, args_count, parameter, &result);
    if (status != 0)
        return status;
    if (result.set_count == 0) {
        ZWS_LOG_ERROR("Missing every argument of the request");
        return 22;
    }
    return 0;
}

// ---- result forms -----------------------------------------------------------

constexpr zws_avi_form_t k_info = {
    "<net utime=\"{utime:u64}\" home=\"{home_id:x32}\" local=\"{controller_node_id:u8}\" role=\"{controller_role:u8}\""
    " capability=\"{controller_capability:u8}\" zw_role=\"{controller_zwave_role:u8}\" deprecated=\"1\" />",
    "<zwnet utime=\"{utime:u64}\" home=\"{home_id:x32}\" local=\"{controller_node_id:u8}\""
    " role=\"{controller_role:u8}\" capability=\"{controller_capability:u8}\""
    " zw_role=\"{controller_zwave_role:u8}\" />"};

#define ZWS_OPERATION_ATTRIBUTES                                                                                      \
    " op=\"{current_operation:u8}\" op_sts=\"{current_operation_status:i32}\""                                         \
    " op_total_nodes=\"{current_operation_total_nodes:u32}\""                                                          \
    " op_cmplt_nodes=\"{current_operation_completed_nodes:u32}\" prev_op=\"{previous_operation:u8}\""
constexpr zws_avi_form_t k_operation_state = {"<curr_op" ZWS_OPERATION_ATTRIBUTES " deprecated=\"1\" />",
                                              "<operation" ZWS_OPERATION_ATTRIBUTES " />"};
#undef ZWS_OPERATION_ATTRIBUTES

constexpr zws_avi_form_t k_prekit_dsk = {"<prekit_dsk dsk=\"{dsk:text}\" />", "<prekit_dsk dsk=\"{dsk:text}\" />"};
constexpr zws_avi_form_t k_add_dsk = {"<security pin_required=\"{pin_required:u32}\" dsk=\"{dsk:text}\" />",
                                      "<security pin_required=\"{pin_required:u32}\" dsk=\"{dsk:text}\" />"};
constexpr zws_avi_form_t k_local_dsk = {"<security local_node_dsk=\"{local_dsk:text}\" />",
                                        "<security local_node_dsk=\"{local_dsk:text}\" />"};
constexpr zws_avi_form_t k_whitelist_info = {
    "<whitelist_info dsk=\"{dsk:text}\" granted_keys=\"{granted_keys:u32}\" name=\"{name:uri}\" loc=\"{loc:uri}\" />",
    "<whitelist_info dsk=\"{dsk:text}\" granted_keys=\"{granted_keys:u32}\" name=\"{name:uri}\" loc=\"{loc:uri}\" />"};

// The endpoint id travels one above its value in the combined id, so that
// the node's own id (endpoint byte 0) stays apart from its endpoint 0.
#define ZWS_NODE_EP_ATTRIBUTES " desc=\"{desc:u16}\" node_id=\"{node.id:u8}\" ep_id=\"{id:u8}\" />"
constexpr zws_avi_form_t k_node_endpoint = {"<node_ep" ZWS_NODE_EP_ATTRIBUTES, "<zwnode_zwep" ZWS_NODE_EP_ATTRIBUTES};
#undef ZWS_NODE_EP_ATTRIBUTES

#define ZWS_NODE_ATTRIBUTES                                                                                           \
    " desc=\"{id:u8}\" id=\"{id:u8}\" property=\"{property:u8}\" vid=\"{vendor_id:u16}\" pid=\"{product_id:u16}\""      \
    " type=\"{product_type:u16}\" category=\"{category:u8}\" alive=\"{alive:u8}\" sec=\"{secure:u32}\""              \
    " sec_incl_failed=\"0\" lib_type=\"{zwave_library_type:u8}\" proto_ver=\"{proto_ver:text}\""                     \
    " app_ver=\"{app_ver:u8}\" app_sub_ver=\"{application_version:u8}\" sensor=\"{FLiRS:u8}\""                        \
    " sleep_cap=\"{sleep_capable:u8}\" wkup_intv=\"{wake_up_interval:u32}\" s2_keys_valid=\"{s2_keys_valid:u8}\""    \
    " s2_grant_key=\"{s2_grant_key:u8}\" s2_dsk=\"{s2_dsk:text}\" >"
constexpr zws_avi_form_t k_node_open = {"<node" ZWS_NODE_ATTRIBUTES, "<zwnode" ZWS_NODE_ATTRIBUTES};
#undef ZWS_NODE_ATTRIBUTES
constexpr zws_avi_form_t k_node_close = {"</node>", "</zwnode>"};
constexpr char k_ext_version_open[] = "<zwnode_ext_ver hw_ver=\"{hardware_version:u8}\">";
constexpr char k_firmware_target[] =
    "<zwnode_fw target=\"{target:u8}\" ver=\"{version:u8}\" sub_ver=\"{sub_version:u8}\" />";
constexpr char k_ext_version_close[] = "</zwnode_ext_ver>";

// The extended version of one node: hardware version and one element per
// firmware target; nothing when the node reports none.
int write_external_version(zwu_string_buffer_t out, avro_value_t *node)
{
    avro_value_t external;
    if (avro_value_get_by_name(node, "external_version_info", &external, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get the field 'external_version_info': %s", avro_strerror());
        return 22;
    }
    int32_t supported = 0;
    if (zw_avro_field_get_int(&external, "is_external_supported", &supported) != 0)
        return 22;
    if (supported == 0)
        return 0;
    avro_value_t targets;
    size_t count = 0;
    if (zws_avi_render(out, k_ext_version_open, &external) != 0 ||
        zws_avi_get_array(&external, "target_version_info_array",
                          "Failed to get the field 'target_version_info_array': %s",
                          "Failed to get target_version_info_array size", &targets, &count) != 0)
        return 22;
    for (size_t i = 0; i < count; i++) {
        avro_value_t target;
        const zws_xml_field_t extra[] = {{"target", zws_xml_uint(i + 1)}};
        if (avro_value_get_by_index(&targets, i, &target, nullptr) != 0 ||
            zws_avi_render(out, k_firmware_target, &target, extra, 1) != 0)
            return 22;
    }
    return zws_avi_render(out, k_ext_version_close, nullptr);
}

bool known_version(int web_api_version)
{
    if (web_api_version == 1 || web_api_version == 2)
        return true;
    ZWS_LOG_ERROR("Unknown web API version %d", web_api_version);
    return false;
}

// ---- descriptors --------------------------------------------------------------

constexpr zws_avi_message_networks_t k_exit_messages[] = {
    {{"zwnet_exit", "zw_gw_unset"}, -1, "network_exit", nullptr, nullptr, ""},
};
constexpr zws_avi_message_networks_t k_info_messages[] = {
    {{"zwnet_get_desc", "get_nw_info"}, -1, "network_info_get", nullptr, zws_avi_networks_info_get_result, ""},
};
constexpr zws_avi_message_networks_t k_node_list_messages[] = {
    {{"zwnet_get_node_list", "get_node_list"}, -1, "network_node_list_get", nullptr,
     zws_avi_networks_node_list_get_result, ""},
};
constexpr zws_avi_message_networks_t k_node_endpoint_list_messages[] = {
    {{"zwnet_get_node_ep_list", "get_node_ep_list"}, -1, "network_node_endpoint_list_get", nullptr,
     zws_avi_networks_node_endpoint_list_get_result, ""},
};
constexpr zws_avi_message_networks_t k_operation_messages[] = {
    {{"zwnet_add_prekit_get_dsk", nullptr}, -1, "network_node_prekit_dsk_get", nullptr,
     zws_avi_networks_node_prekit_dsk_get_result, "tServNodePrekitDskGetFailed"},
    {{"zwnet_add", "set_node_incl"}, 2, "network_node_add", zws_avi_networks_node_add_argument, nullptr,
     "tServInclFailed"},
    {{"zwnet_add", "set_node_incl"}, 15, "network_node_add_on_behalf", zws_avi_networks_node_add_argument, nullptr,
     "tServInclFailed"},
    {{"zwnet_add_s2_get_req_keys", nullptr}, -1, "network_node_add_req_key_get", nullptr,
     zws_avi_networks_node_add_req_key_get_result, "tServNodeAddReqKeyGetFailed"},
    {{"zwnet_add_s2_set_grant_keys", nullptr}, -1, "network_node_add_grant_key_set",
     zws_avi_networks_node_add_grant_key_argument, nullptr, "tServNodeAddGrantKeySetFailed"},
    {{"zwnet_add_s2_get_dsk", nullptr}, -1, "network_node_add_dsk_get", nullptr,
     zws_avi_networks_node_add_dsk_get_result, "tServNodeAddDskGetFailed"},
    {{"zwnet_add_s2_accept", nullptr}, -1, "network_node_add_accept", zws_avi_networks_node_add_accept_argument,
     nullptr, "tServNodeAddAcceptSetFailed"},
    {{"zwnet_add", "set_node_incl"}, 3, "network_node_remove", nullptr, nullptr, "tServInclFailed"},
    {{"zwnet_fail", "set_node_fail"}, 5, "network_failed_node_remove", zws_avi_networks_failed_node_remove_argument,
     nullptr, "tServRemRepFailed"},
    {{"zwnet_fail", "set_node_fail"}, 4, "network_failed_node_replace",
     zws_avi_networks_failed_node_replace_argument, nullptr, "tServRemRepFailed"},
    {{"zwnet_fail", "set_node_fail"}, 16, "network_failed_node_replace_on_behalf",
     zws_avi_networks_failed_node_replace_on_behalf_argument, nullptr, "tServRemRepFailed"},
    {{"zwnode_update", "node_update"}, -1, "network_node_update", zws_avi_networks_node_update_argument, nullptr,
     "tServNodeUpdateFailed"},
    {{"zwnode_update", "node_update"}, 13, "network_node_update", zws_avi_networks_node_update_argument, nullptr,
     "tServNodeUpdateFailed"},
    {{"zwnet_send_nif", "send_nif"}, -1, "network_send_NIF", zws_avi_networks_send_NIF_argument, nullptr,
     "tServSendNifFailed"},
    {{"zwnet_send_nif", "send_nif"}, 14, "network_send_NIF", zws_avi_networks_send_NIF_argument, nullptr,
     "tServSendNifFailed"},
    {{"zwnet_update", "nw_update"}, -1, "network_update", nullptr, nullptr, "tServNwUpdateFailed"},
    {{"zwnet_initiate", "nw_initiate"}, -1, "network_initiate", nullptr, nullptr, "tServInitFailed"},
    {{"zwnet_initiate_local_dsk_get", nullptr}, -1, "network_initiate_local_dsk_get", nullptr,
     zws_avi_networks_initiate_local_dsk_get_result, "tServNwInitiateLocalDskGetFailed"},
    {{"zwnet_migrate", "nw_migrate"}, -1, "network_migrate_primary", nullptr, nullptr, "tServMigrateFailed"},
    {{"zwnet_reset", "nw_reset"}, -1, "network_reset", nullptr, nullptr, "tServNwReset"},
    {{"zwnet_abort", "set_abort_op"}, -1, "network_operation_abort", nullptr, nullptr, "tServAbortFailed"},
};
constexpr zws_avi_message_networks_t k_operation_state_messages[] = {
    {{"zwnet_get_operation", "get_curr_op"}, -1, "network_operation_state_get", nullptr,
     zws_avi_networks_operation_state_get_result, ""},
};
constexpr zws_avi_message_networks_t k_whitelist_messages[] = {
    {{"zwnet_whitelist_list_get", nullptr}, -1, "network_whitelist_list_get", nullptr, nullptr,
     "tServWhitelistListGetFailed"},
    {{"zwnet_whitelist_list_report", nullptr}, -1, "network_whitelist_list_report", nullptr,
     zws_avi_networks_whitelist_list_report_result, "tServWhitelistListReportFailed"},
    {{"zwnet_whitelist_device_info", nullptr}, -1, "network_whitelist_device_info",
     zws_avi_networks_whitelist_device_info_argument, zws_avi_networks_whitelist_device_info_result,
     "tServWhitelistDeviceInfoFailed"},
    {{"zwnet_whitelist_add", nullptr}, -1, "network_whitelist_add", zws_avi_networks_whitelist_add_argument, nullptr,
     "tServWhitelistAddFailed"},
    {{"zwnet_whitelist_remove", nullptr}, -1, "network_whitelist_remove", zws_avi_networks_whitelist_remove_argument,
     nullptr, "tServWhitelistRemoveFailed"},
    // Its own command without a handler, so that the request carries no
    // DSK and the daemon clears the whole list.
    {{"zwnet_whitelist_remove_all", nullptr}, -1, "network_whitelist_remove", nullptr, nullptr,
     "tServWhitelistRemoveAllFailed"},
};

} // namespace

int zws_avi_networks_exit_init(zwu_array_list_t list) { return zws_avi_message_list_add_table(list, k_exit_messages); }
int zws_avi_networks_info_init(zwu_array_list_t list) { return zws_avi_message_list_add_table(list, k_info_messages); }
int zws_avi_networks_node_list_init(zwu_array_list_t list)
{
    return zws_avi_message_list_add_table(list, k_node_list_messages);
}
int zws_avi_networks_node_endpoint_list_init(zwu_array_list_t list)
{
    return zws_avi_message_list_add_table(list, k_node_endpoint_list_messages);
}
int zws_avi_networks_operations_init(zwu_array_list_t list)
{
    return zws_avi_message_list_add_table(list, k_operation_messages);
}
int zws_avi_networks_operation_state_init(zwu_array_list_t list)
{
    return zws_avi_message_list_add_table(list, k_operation_state_messages);
}
int zws_avi_networks_whitelist_init(zwu_array_list_t list)
{
    return zws_avi_message_list_add_table(list, k_whitelist_messages);
}

// ---- argument handlers ----------------------------------------------------------

int zws_avi_networks_node_add_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter)
{
    return zws_avi_args_handler<k_node_add>(args, args_count, parameter);
}

int zws_avi_networks_node_add_grant_key_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter)
{
    return at_least_one<k_grant_key>(args, args_count, parameter);
}

int zws_avi_networks_node_add_accept_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter)
{
    return zws_avi_args_handler<k_accept>(args, args_count, parameter);
}

int zws_avi_networks_failed_node_remove_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter)
{
    return zws_avi_args_handler<k_failed_remove>(args, args_count, parameter);
}

int zws_avi_networks_failed_node_replace_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter)
{
    return at_least_one<k_failed_replace>(args, args_count, parameter);
}

int zws_avi_networks_failed_node_replace_on_behalf_argument(zws_key_value_t *args, int args_count,
                                                            avro_value_t *parameter)
{
    return zws_avi_args_handler<k_replace_on_behalf>(args, args_count, parameter);
}

int zws_avi_networks_node_update_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter)
{
    return zws_avi_args_handler<k_node_update>(args, args_count, parameter);
}

int zws_avi_networks_send_NIF_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter)
{
    zws_avi_args_result_t result{};
    const int status = read_specs<k_send_nif>(args, args_count, parameter, &result);
    if (status != 0)
        return status;
    // Node 0 addresses every node of the network.
    return zw_avro_field_set_int(parameter, "is_broadcast", result.last_int == 0 ? 1 : 0) == 0 ? 0 : 22;
}

int zws_avi_networks_whitelist_device_info_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter)
{
    return zws_avi_args_handler<k_whitelist_dsk>(args, args_count, parameter);
}

int zws_avi_networks_whitelist_add_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter)
{
    return zws_avi_args_handler<k_whitelist_add>(args, args_count, parameter);
}

int zws_avi_networks_whitelist_remove_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter)
{
    return zws_avi_args_handler<k_whitelist_dsk>(args, args_count, parameter);
}

// ---- result handlers ------------------------------------------------------------

int zws_avi_networks_info_get_result(int web_api_version, avro_value_t *parameter, zwu_string_buffer_t out)
{
    return zws_avi_render_form(out, web_api_version, k_info, parameter);
}

int zws_avi_networks_operation_state_get_result(int web_api_version, avro_value_t *parameter,
                                                zwu_string_buffer_t out)
{
    return zws_avi_render_form(out, web_api_version, k_operation_state, parameter);
}

int zws_avi_networks_node_prekit_dsk_get_result(int web_api_version, avro_value_t *parameter,
                                                zwu_string_buffer_t out)
{
    return zws_avi_render_form(out, web_api_version, k_prekit_dsk, parameter);
}

int zws_avi_networks_node_add_dsk_get_result(int web_api_version, avro_value_t *parameter, zwu_string_buffer_t out)
{
    return zws_avi_render_form(out, web_api_version, k_add_dsk, parameter);
}

int zws_avi_networks_initiate_local_dsk_get_result(int web_api_version, avro_value_t *parameter,
                                                   zwu_string_buffer_t out)
{
    return zws_avi_render_form(out, web_api_version, k_local_dsk, parameter);
}

int zws_avi_networks_whitelist_device_info_result(int web_api_version, avro_value_t *parameter,
                                                  zwu_string_buffer_t out)
{
    return zws_avi_render_form(out, web_api_version, k_whitelist_info, parameter);
}

int zws_avi_networks_node_add_req_key_get_result(int web_api_version, avro_value_t *parameter,
                                                 zwu_string_buffer_t out)
{
    // The PIN of client-side authentication exists only when it was asked for.
    static constexpr zws_avi_form_t k_keys = {"<security req_key=\"{req_keys:u8}\" />",
                                              "<security req_key=\"{req_keys:u8}\" />"};
    static constexpr zws_avi_form_t k_keys_with_pin = {
        "<security req_key=\"{req_keys:u8}\" csa_pin=\"{csa_pin:text}\" />",
        "<security req_key=\"{req_keys:u8}\" csa_pin=\"{csa_pin:text}\" />"};
    int32_t csa = 0;
    if (!parameter || zw_avro_field_get_int(parameter, "req_csa", &csa) != 0)
        return 22;
    return zws_avi_render_form(out, web_api_version, csa != 0 ? k_keys_with_pin : k_keys, parameter);
}

int zws_avi_networks_whitelist_list_report_result(int web_api_version, avro_value_t *parameter,
                                                  zwu_string_buffer_t out)
{
    if (!known_version(web_api_version))
        return 22;
    avro_value_t list;
    size_t count = 0;
    if (zws_avi_get_array(parameter, "whitelist_list", "Failed to get the field 'whitelist_list': %s",
                          "Failed to get whitelist list size", &list, &count) != 0)
        return 22;
    try {
        std::string joined;
        for (size_t i = 0; i < count; i++) {
            avro_value_t element;
            const char *dsk = nullptr;
            size_t size = 0;
            if (avro_value_get_by_index(&list, i, &element, nullptr) != 0 ||
                avro_value_get_type(&element) != AVRO_STRING || avro_value_get_string(&element, &dsk, &size) != 0 ||
                !dsk) {
                ZWS_LOG_ERROR("Failed to get the field 'whitelist_list': %s", avro_strerror());
                return 22;
            }
            joined += dsk;
            joined += ',';
        }
        const zws_xml_field_t extra[] = {{"dsk_list", zws_xml_text(joined.c_str())}};
        return zws_avi_render(out, "<whitelist_list  dsk_list=\"{dsk_list:text}\" />", nullptr, extra, 1);
    } catch (const std::bad_alloc &) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
}

int zws_avi_networks_node_endpoint_list_get_result(int web_api_version, avro_value_t *parameter,
                                                   zwu_string_buffer_t out)
{
    if (!known_version(web_api_version))
        return 22;
    avro_value_t list;
    size_t count = 0;
    if (zws_avi_get_array(parameter, "node_endpoint_list", "Failed to get the field 'node_endpoint_list': %s",
                          "Failed to get node endpoint list size", &list, &count) != 0)
        return 22;
    for (size_t i = 0; i < count; i++) {
        avro_value_t entry;
        avro_value_t node;
        int32_t endpoint_id = 0;
        int32_t node_id = 0;
        if (avro_value_get_by_index(&list, i, &entry, nullptr) != 0)
            return 22;
        if (avro_value_get_by_name(&entry, "node", &node, nullptr) != 0) {
            ZWS_LOG_ERROR("Failed to get the field 'node': %s", avro_strerror());
            return 22;
        }
        if (zw_avro_field_get_int(&entry, "id", &endpoint_id) != 0 || zw_avro_field_get_int(&node, "id", &node_id) != 0)
            return 22;
        const uint64_t desc = ((static_cast<uint64_t>(static_cast<uint32_t>(endpoint_id)) + 1) * 256 +
                               static_cast<uint32_t>(node_id)) & 0xFFFF;
        const zws_xml_field_t extra[] = {{"desc", zws_xml_uint(desc)}};
        if (zws_avi_render_form(out, web_api_version, k_node_endpoint, &entry, extra, 1) != 0)
            return 22;
    }
    return 0;
}

int zws_avi_networks_node_list_get_result(int web_api_version, avro_value_t *parameter, zwu_string_buffer_t out)
{
    if (!known_version(web_api_version))
        return 22;
    avro_value_t list;
    size_t count = 0;
    if (zws_avi_get_array(parameter, "node_list", "Failed to get the field 'node_list': %s",
                          "Failed to get node list size", &list, &count) != 0)
        return 22;
    for (size_t i = 0; i < count; i++) {
        avro_value_t node;
        int32_t protocol = 0;
        int32_t application = 0;
        if (avro_value_get_by_index(&list, i, &node, nullptr) != 0 ||
            zw_avro_field_get_int(&node, "zwave_protocol_version", &protocol) != 0 ||
            zw_avro_field_get_int(&node, "application_version", &application) != 0)
            return 22;
        char protocol_text[16];
        std::snprintf(protocol_text, sizeof protocol_text, "%u.%02u", (static_cast<unsigned>(protocol) >> 8) & 0xFF,
                      static_cast<unsigned>(protocol) & 0xFF);
        const zws_xml_field_t extra[] = {
            {"proto_ver", zws_xml_text(protocol_text)},
            {"app_ver", zws_xml_uint((static_cast<uint32_t>(application) >> 8) & 0xFF)},
        };
        if (zws_avi_render_form(out, web_api_version, k_node_open, &node, extra, 2) != 0 ||
            write_external_version(out, &node) != 0 ||
            zws_avi_render_form(out, web_api_version, k_node_close, nullptr) != 0)
            return 22;
    }
    return 0;
}
