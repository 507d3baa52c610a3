// The node and endpoint commands: the command queue the library keeps for a
// sleeping node, the endpoints of a node, the interfaces of an endpoint and
// an endpoint's name and location.
#include "messages/zws_avi_nodes.h"

#include "avi/zw_avro.h"
#include "messages/zws_avi_args.h"
#include "messages/zws_avi_format.h"
#include "util/zws_log.h"

namespace {

constexpr zws_avi_arg_spec_t k_commandqueue_enable_args[] = {{"value", ZWS_AVI_ARG_U8, ZWS_AVI_ARG_REQUIRED, "state"}};
constexpr zws_avi_arg_spec_t k_naming[] = {{"name", ZWS_AVI_ARG_DECODED, ZWS_AVI_ARG_REQUIRED, "name"},
                                           {"loc", ZWS_AVI_ARG_DECODED, ZWS_AVI_ARG_REQUIRED, "location"}};

constexpr zws_avi_form_t k_commandqueue_enable = {"<ena_cmd_q state=\"{state:u8}\" />",
                                                  "<cmd_q_ena state=\"{state:u8}\" />"};
constexpr zws_avi_form_t k_commandqueue = {"<cmd_q list=\"{commandqueue_list:list}\" />",
                                           "<cmd_q list=\"{commandqueue_list:list}\" />"};

#define ZWS_EP_ATTRIBUTES                                                                                             \
    " desc=\"{desc:u64}\" id=\"{id:u8}\" generic=\"{generic_device_class:u8}\""                                       \
    " specific=\"{specific_device_class:u8}\" name=\"{name:uri}\" loc=\"{location:uri}\""                             \
    " zwplus_ver=\"{zwave_plus_version:u8}\" role_type=\"{zwave_plus_role_type:u8}\""                                 \
    " node_type=\"{zwave_plus_node_type:u8}\" instr_icon=\"{zwave_plus_installer_icon_type:u16}\""                    \
    " usr_icon=\"{zwave_plus_user_icon_type:u16}\" aggregated_ep_list=\"{aggregated_ep_list:list}\" />"
constexpr zws_avi_form_t k_endpoint = {"<ep" ZWS_EP_ATTRIBUTES, "<zwep" ZWS_EP_ATTRIBUTES};
#undef ZWS_EP_ATTRIBUTES

#define ZWS_IF_ATTRIBUTES                                                                                             \
    " desc=\"{desc:u64}\" id=\"{id:u8}\" name=\"{name:text}\" ver=\"{version:u8}\""                                   \
    " real_ver=\"{real_version:u8}\" sec=\"{secure_access:u8}\" unsec=\"{unsecure_access:u8}\" />"
constexpr zws_avi_form_t k_interface = {"<intf" ZWS_IF_ATTRIBUTES, "<zwif" ZWS_IF_ATTRIBUTES};
#undef ZWS_IF_ATTRIBUTES

// One form per entry of an array of the reply, each with its combined id:
// `desc_of` makes it from the entry's `id` and the addressed combined id.
int render_list(zwu_string_buffer_t out, int web_api_version, const zws_avi_form_t &form, avro_value_t *parameter,
                const char *array_field, const char *missing_text, const char *size_text, unsigned long combo_id,
                uint64_t (*desc_of)(uint32_t id, unsigned long combo_id))
{
    if (web_api_version != 1 && web_api_version != 2) {
        ZWS_LOG_ERROR("Unknown web API version %d", web_api_version);
        return 22;
    }
    avro_value_t list;
    size_t count = 0;
    if (zws_avi_get_array(parameter, array_field, missing_text, size_text, &list, &count) != 0)
        return 22;
    for (size_t i = 0; i < count; i++) {
        avro_value_t entry;
        int32_t id = 0;
        if (avro_value_get_by_index(&list, i, &entry, nullptr) != 0 || zw_avro_field_get_int(&entry, "id", &id) != 0)
            return 22;
        const zws_xml_field_t extra[] = {{"desc", zws_xml_uint(desc_of(static_cast<uint32_t>(id), combo_id))}};
        if (zws_avi_render_form(out, web_api_version, form, &entry, extra, 1) != 0)
            return 22;
    }
    return 0;
}

// An endpoint's combined id holds its id one above its value in the second
// byte, so that endpoint 0 differs from the node itself.
uint64_t endpoint_desc(uint32_t id, unsigned long node_combo_id)
{
    return (((static_cast<uint64_t>(id) + 1) * 256) & 0xFFFF) | node_combo_id;
}

uint64_t interface_desc(uint32_t id, unsigned long endpoint_combo_id)
{
    return (static_cast<uint64_t>(id) << 16) | endpoint_combo_id;
}

constexpr zws_avi_message_nodes_t k_endpoint_list_messages[] = {
    {{"zwnode_get_ep_list", "get_ep_list"}, -1, "node_endpoint_list_get", nullptr,
     zws_avi_nodes_endpoint_list_result, "tServEpListFailed"},
};
constexpr zws_avi_message_nodes_t k_commandqueue_messages[] = {
    {{"zwnode_cmd_q", "cmd_q"}, 1, "node_commandqueue_enable_get", nullptr,
     zws_avi_nodes_commandqueue_enable_get_result, "tServCmdQ"},
    // The set answers with the state its reply carries, as the get does.
    {{"zwnode_cmd_q", "cmd_q"}, 2, "node_commandqueue_enable_set", zws_avi_nodes_commandqueue_enable_set_argument,
     zws_avi_nodes_commandqueue_enable_get_result, "tServCmdQ"},
    {{"zwnode_cmd_q", "cmd_q"}, 3, "node_commandqueue_get", nullptr, zws_avi_nodes_commandqueue_get_result,
     "tServCmdQ"},
    {{"zwnode_cmd_q", "cmd_q"}, 4, "node_commandqueue_cancel", nullptr, nullptr, "tServCmdQ"},
};
constexpr zws_avi_message_endpoints_t k_interface_list_messages[] = {
    {{"zwep_get_if_list", "get_intf_list"}, -1, "endpoint_interface_list_get", nullptr,
     zws_avi_endpoints_interface_list_result, "tServIntfListFailed"},
};
constexpr zws_avi_message_endpoints_t k_naming_messages[] = {
    {{"zwep_nameloc", "naming"}, 1, "endpoint_node_naming_name_location_set",
     zws_avi_endpoints_node_naming_name_location_set_argument, nullptr, "tServNaming"},
};

} // namespace

int zws_avi_nodes_endpoint_list_init(zwu_array_list_t list)
{
    return zws_avi_message_list_add_table(list, k_endpoint_list_messages);
}
int zws_avi_nodes_commandqueue_init(zwu_array_list_t list)
{
    return zws_avi_message_list_add_table(list, k_commandqueue_messages);
}
int zws_avi_endpoints_interface_list_init(zwu_array_list_t list)
{
    return zws_avi_message_list_add_table(list, k_interface_list_messages);
}
int zws_avi_endpoints_node_naming_init(zwu_array_list_t list)
{
    return zws_avi_message_list_add_table(list, k_naming_messages);
}

int zws_avi_nodes_commandqueue_enable_set_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter)
{
    return zws_avi_args_handler<k_commandqueue_enable_args>(args, args_count, parameter);
}

int zws_avi_endpoints_node_naming_name_location_set_argument(zws_key_value_t *args, int args_count,
                                                             avro_value_t *parameter)
{
    return zws_avi_args_handler<k_naming>(args, args_count, parameter);
}

int zws_avi_nodes_commandqueue_enable_get_result(int web_api_version, unsigned long combo_id,
                                                 avro_value_t *parameter, zwu_string_buffer_t out)
{
    return zws_avi_form_level_result<k_commandqueue_enable>(web_api_version, combo_id, parameter, out);
}

int zws_avi_nodes_commandqueue_get_result(int web_api_version, unsigned long combo_id, avro_value_t *parameter,
                                          zwu_string_buffer_t out)
{
    return zws_avi_form_level_result<k_commandqueue>(web_api_version, combo_id, parameter, out);
}

int zws_avi_nodes_endpoint_list_result(int web_api_version, unsigned long combo_id, avro_value_t *parameter,
                                       zwu_string_buffer_t out)
{
    return render_list(out, web_api_version, k_endpoint, parameter, "endpoint_list",
                       "Failed to get the field 'endpoint_list': %s", "Failed to get endpoint list size", combo_id,
                       endpoint_desc);
}

int zws_avi_endpoints_interface_list_result(int web_api_version, unsigned long combo_id, avro_value_t *parameter,
                                            zwu_string_buffer_t out)
{
    return render_list(out, web_api_version, k_interface, parameter, "interface_list",
                       "Failed to get the field 'interface_list': %s", "Failed to get interface list size", combo_id,
                       interface_desc);
}
