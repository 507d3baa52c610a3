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
    // A node's id holds only the node byte and an endpoint's the node and
    // endpoint bytes: bits above them would be cut off on the way and name
    // another node (258 is not node 2).
    const char *key = service_common->args[0].key;
    const uint64_t max = std::strcmp(key, "noded") == 0 ? 0xFFu : std::strcmp(key, "epd") == 0 ? 0xFFFFu : 0xFFFFFFFFu;
    if (static_cast<uint64_t>(value) > max) {
        ZWS_LOG_ERROR("Invalid '%s' value: %lld", key, static_cast<long long>(value));
        return 22;
    }
    service_common->combo_id = static_cast<uint64_t>(value);
    consume_pair(service_common);
    return 0;
}

int zws_cgi_set_avi_message_info(zws_service_common_t *service_common)
{
    const zws_avi_message_t *message = nullptr;
    if (zws_avi_get_avi_message_from_cgi_uri(zws_avi_get_message_list_root(service_common->avi),
                                             service_common->command_name, &service_common->message_name,
                                             &service_common->error_text, &message) != 0)
        return 22;
    service_common->avi_message = message;
    return 0;
}

int zws_cgi_set_avi_message_networks_info(zws_service_common_t *service_common, int sub_command)
{
    const zws_avi_message_networks_t *message = nullptr;
    if (zws_avi_get_avi_message_networks_from_cgi_uri(zws_avi_get_message_list_networks(service_common->avi),
                                                      service_common->command_name, sub_command,
                                                      &service_common->message_name, &service_common->error_text,
                                                      &message) != 0)
        return 22;
    service_common->avi_message = message;
    return 0;
}

int zws_cgi_set_avi_message_nodes_info(zws_service_common_t *service_common, int sub_command)
{
    const zws_avi_message_nodes_t *message = nullptr;
    if (zws_avi_get_avi_message_nodes_from_cgi_uri(zws_avi_get_message_list_nodes(service_common->avi),
                                                   service_common->command_name, sub_command,
                                                   &service_common->message_name, &service_common->error_text,
                                                   &service_common->error_text_index, &message) != 0)
        return 22;
    service_common->avi_message = message;
    return 0;
}

int zws_cgi_set_avi_message_endpoints_info(zws_service_common_t *service_common, int sub_command)
{
    const zws_avi_message_endpoints_t *message = nullptr;
    if (zws_avi_get_avi_message_endpoints_from_cgi_uri(zws_avi_get_message_list_endpoints(service_common->avi),
                                                       service_common->command_name, sub_command,
                                                       &service_common->message_name, &service_common->error_text,
                                                       &service_common->error_text_index, &message) != 0)
        return 22;
    service_common->avi_message = message;
    return 0;
}

int zws_cgi_set_avi_message_interfaces_info(zws_service_common_t *service_common, int sub_command)
{
    const zws_avi_message_interfaces_t *message = nullptr;
    if (zws_avi_get_avi_message_interfaces_from_cgi_uri(zws_avi_get_message_list_interfaces(service_common->avi),
                                                        service_common->command_name, sub_command,
                                                        &service_common->message_name, &service_common->error_text,
                                                        &service_common->error_text_index, &message) != 0)
        return 22;
    service_common->avi_message = message;
    return 0;
}

// Each level below the network makes its record (linked to its parent, so
// that the tree frees it whatever happens next), looks the command up at its
// level and, without a match, hands on to the level below.
int zws_cgi_get_cgi_service_interfaces_from_environment(const char *, int sub_command,
                                                        zws_service_common_t *service_common,
                                                        zws_service_endpoints_t *service_endpoints,
                                                        zws_service_interfaces_t **service_interfaces_p)
{
    auto *record = new zws_service_interfaces_t{};
    service_endpoints->service_interface = record;
    *service_interfaces_p = record;
    record->service_endpoint = service_endpoints;
    record->service_common = service_common;
    record->sub_command = sub_command;
    record->interface_id = static_cast<int>((service_common->combo_id >> 16) & 0xFFFF);
    if (zws_cgi_set_avi_message_interfaces_info(service_common, sub_command) != 0)
        return 22;
    service_common->command_level = ZWS_CGI_COMMAND_LEVEL_INTERFACES;
    return 0;
}

int zws_cgi_get_cgi_service_endpoints_from_environment(const char *rest_uri, int sub_command,
                                                       zws_service_common_t *service_common,
                                                       zws_service_nodes_t *service_nodes,
                                                       zws_service_endpoints_t **service_endpoints_p)
{
    auto *record = new zws_service_endpoints_t{};
    service_nodes->service_endpoint = record;
    *service_endpoints_p = record;
    record->service_node = service_nodes;
    record->service_common = service_common;
    record->sub_command = sub_command;
    record->endpoint_id = static_cast<int>(static_cast<uint8_t>((service_common->combo_id >> 8) & 0xFF)) - 1;
    if (zws_cgi_set_avi_message_endpoints_info(service_common, sub_command) == 0) {
        service_common->command_level = ZWS_CGI_COMMAND_LEVEL_ENDPOINTS;
        return 0;
    }
    zws_service_interfaces_t *interfaces = nullptr;
    return zws_cgi_get_cgi_service_interfaces_from_environment(rest_uri, sub_command, service_common, record,
                                                               &interfaces);
}

int zws_cgi_get_cgi_service_nodes_from_environment(const char *rest_uri, int sub_command,
                                                   zws_service_common_t *service_common,
                                                   zws_service_networks_t *service_networks,
                                                   zws_service_nodes_t **service_nodes_p)
{
    if (zws_cgi_take_combo_id(service_common) != 0)
        return 22;
    auto *record = new zws_service_nodes_t{};
    service_networks->service_node = record;
    *service_nodes_p = record;
    record->service_net = service_networks;
    record->service_common = service_common;
    record->sub_command = sub_command;
    record->node_id = static_cast<int>(service_common->combo_id & 0xFF);
    if (zws_cgi_set_avi_message_nodes_info(service_common, sub_command) == 0) {
        service_common->command_level = ZWS_CGI_COMMAND_LEVEL_NODES;
        return 0;
    }
    zws_service_endpoints_t *endpoints = nullptr;
    return zws_cgi_get_cgi_service_endpoints_from_environment(rest_uri, sub_command, service_common, record,
                                                              &endpoints);
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
            if (zws_cgi_set_avi_message_networks_info(service_common, record->sub_command) == 0) {
                service_common->command_level = ZWS_CGI_COMMAND_LEVEL_NETWORKS;
            } else {
                zws_service_nodes_t *nodes = nullptr;
                status = zws_cgi_get_cgi_service_nodes_from_environment(rest_uri, record->sub_command,
                                                                        service_common, record, &nodes);
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
