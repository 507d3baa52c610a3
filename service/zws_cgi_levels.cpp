// Level resolution below the root: network, node, endpoint and interface
// records, each made only when the level above found no message.
#include "service/zws_cgi.h"

#include "util/zws_log.h"
#include "util/zwu_number.h"

#include <cstring>
#include <new>

namespace {

bool first_key_is(const zws_service_common_t *common, std::initializer_list<const char *> keys)
{
    if (common->args_count <= 0 || !common->args)
        return false;
    for (const char *key : keys) {
        if (std::strcmp(common->args[0].key, key) == 0)
            return true;
    }
    return false;
}

void consume_pair(zws_service_common_t *common)
{
    common->args++;
    common->args_count--;
    if (common->args_count == 0)
        common->args = nullptr;
}

void free_interfaces(zws_service_interfaces_t *record) { delete record; }

void free_endpoints(zws_service_endpoints_t *record)
{
    if (!record)
        return;
    free_interfaces(record->service_interface);
    delete record;
}

void free_nodes(zws_service_nodes_t *record)
{
    if (!record)
        return;
    free_endpoints(record->service_endpoint);
    delete record;
}

int resolve_interfaces(zws_service_endpoints_t *parent, int sub_command)
{
    zws_service_common_t *common = parent->service_common;
    auto *record = new zws_service_interfaces_t{};
    parent->service_interface = record;
    record->service_endpoint = parent;
    record->service_common = common;
    record->sub_command = sub_command;
    record->interface_id = static_cast<int>((common->combo_id >> 16) & 0xFFFF);
    const zws_avi_message_interfaces_t *message = nullptr;
    if (zws_avi_get_avi_message_interfaces_from_cgi_uri(zws_avi_get_message_list_interfaces(common->avi),
                                                        common->command_name, sub_command, &common->message_name,
                                                        &common->error_text, &common->error_text_index,
                                                        &message) != 0)
        return 22;
    common->avi_message = message;
    common->command_level = ZWS_CGI_COMMAND_LEVEL_INTERFACES;
    return 0;
}

int resolve_endpoints(zws_service_nodes_t *parent, int sub_command)
{
    zws_service_common_t *common = parent->service_common;
    auto *record = new zws_service_endpoints_t{};
    parent->service_endpoint = record;
    record->service_node = parent;
    record->service_common = common;
    record->sub_command = sub_command;
    record->endpoint_id = static_cast<int>(static_cast<uint8_t>((common->combo_id >> 8) & 0xFF)) - 1;
    const zws_avi_message_endpoints_t *message = nullptr;
    if (zws_avi_get_avi_message_endpoints_from_cgi_uri(zws_avi_get_message_list_endpoints(common->avi),
                                                       common->command_name, sub_command, &common->message_name,
                                                       &common->error_text, &common->error_text_index,
                                                       &message) == 0) {
        common->avi_message = message;
        common->command_level = ZWS_CGI_COMMAND_LEVEL_ENDPOINTS;
        return 0;
    }
    return resolve_interfaces(record, sub_command);
}

int resolve_nodes(zws_service_networks_t *parent, int sub_command)
{
    zws_service_common_t *common = parent->service_common;
    if (zws_cgi_take_combo_id(common) != 0)
        return 22;
    auto *record = new zws_service_nodes_t{};
    parent->service_node = record;
    record->service_net = parent;
    record->service_common = common;
    record->sub_command = sub_command;
    record->node_id = static_cast<int>(common->combo_id & 0xFF);
    const zws_avi_message_nodes_t *message = nullptr;
    if (zws_avi_get_avi_message_nodes_from_cgi_uri(zws_avi_get_message_list_nodes(common->avi), common->command_name,
                                                   sub_command, &common->message_name, &common->error_text,
                                                   &common->error_text_index, &message) == 0) {
        common->avi_message = message;
        common->command_level = ZWS_CGI_COMMAND_LEVEL_NODES;
        return 0;
    }
    return resolve_endpoints(record, sub_command);
}

} // namespace

int zws_cgi_take_sub_command(zws_service_common_t *service_common, int *sub_command_p)
{
    *sub_command_p = -1;
    if (!first_key_is(service_common, {"cmd", "cmd_cgi", "cmd_type"}))
        return 0;
    int32_t value = 0;
    if (zwu_parse_int32_non_negative(service_common->args[0].value, &value) != 0)
        return 22;
    *sub_command_p = value;
    consume_pair(service_common);
    return 0;
}

int zws_cgi_take_combo_id(zws_service_common_t *service_common)
{
    service_common->combo_id = ZWS_CGI_NO_COMBO_ID;
    if (!first_key_is(service_common, {"ifd", "epd", "noded"}))
        return 0;
    int64_t value = 0;
    if (zwu_parse_int64_non_negative(service_common->args[0].value, &value) != 0)
        return 22;
    service_common->combo_id = static_cast<uint64_t>(value);
    consume_pair(service_common);
    return 0;
}

int zws_cgi_get_cgi_service_networks_from_environment(const char *rest_uri, const char *net_id,
                                                      zws_service_common_t *service_common,
                                                      zws_service_networks_t **service_networks_p)
{
    *service_networks_p = nullptr;
    auto *record = new (std::nothrow) zws_service_networks_t{};
    if (!record) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    int status = 22;
    try {
        record->net_id = net_id ? net_id : "";
        record->service_common = service_common;
        status = zws_cgi_take_sub_command(service_common, &record->sub_command);
        if (status == 0) {
            const char *slash = std::strchr(rest_uri, '/');
            size_t length = slash ? static_cast<size_t>(slash - rest_uri) : std::strlen(rest_uri);
            if (length > static_cast<size_t>(ZWS_CGI_COMMAND_NAME_MAX))
                length = ZWS_CGI_COMMAND_NAME_MAX;
            std::memset(service_common->command_name, 0, sizeof service_common->command_name);
            std::memcpy(service_common->command_name, rest_uri, length);
            const zws_avi_message_networks_t *message = nullptr;
            if (zws_avi_get_avi_message_networks_from_cgi_uri(
                    zws_avi_get_message_list_networks(service_common->avi), service_common->command_name,
                    record->sub_command, &service_common->message_name, &service_common->error_text,
                    &message) == 0) {
                service_common->avi_message = message;
                service_common->command_level = ZWS_CGI_COMMAND_LEVEL_NETWORKS;
            } else {
                status = resolve_nodes(record, record->sub_command);
            }
        }
    } catch (const std::bad_alloc &) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        status = 22;
    }
    if (status != 0) {
        zws_cgi_free_cgi_service_networks_from_environment(record);
        return 22;
    }
    *service_networks_p = record;
    return 0;
}

void zws_cgi_free_cgi_service_networks_from_environment(zws_service_networks_t *service_networks)
{
    if (!service_networks)
        return;
    free_nodes(service_networks->service_node);
    delete service_networks;
}
