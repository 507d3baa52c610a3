// The Avro side of one request: the request frame of the matched message
// (Cookies, message name, argument value) and the reading of the reply into
// the XML result.
#include "service/zws_cgi.h"

#include "avi/zw_avro.h"
#include "avi/zw_avro_check.h"

#include "util/zws_log.h"

#include <avro.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

namespace {

// An Avro value released when it leaves scope.
struct owned_value {
    avro_value_t value{};
    bool live = false;
    ~owned_value()
    {
        if (live)
            avro_value_decref(&value);
    }
};

struct owned_buffer {
    zwu_string_buffer_t buffer = nullptr;
    ~owned_buffer()
    {
        if (buffer)
            zwu_string_buffer_destroy(buffer);
    }
};

int field(avro_value_t *record, const char *name, avro_value_t *child)
{
    return avro_value_get_by_name(record, name, child, nullptr);
}

// The records of the levels above and at the matched level, innermost last:
// Network{id}, Node{network, id}, Endpoint{node, id}, Interface{endpoint, id}.
int set_level_record(avro_value_t *record, zws_cgi_command_level_t level, const zws_service_common_t *common,
                     const zws_service_networks_t *networks)
{
    const zws_service_nodes_t *nodes = networks ? networks->service_node : nullptr;
    const zws_service_endpoints_t *endpoints = nodes ? nodes->service_endpoint : nullptr;
    const zws_service_interfaces_t *interfaces = endpoints ? endpoints->service_interface : nullptr;
    static const char *const k_parent_field[] = {nullptr, nullptr, "network", "node", "endpoint"};
    avro_value_t parent;
    switch (level) {
    case ZWS_CGI_COMMAND_LEVEL_NETWORKS:
        return networks ? zw_avro_field_set_string(record, "id", networks->net_id.c_str()) : 22;
    case ZWS_CGI_COMMAND_LEVEL_NODES:
    case ZWS_CGI_COMMAND_LEVEL_ENDPOINTS:
    case ZWS_CGI_COMMAND_LEVEL_INTERFACES: {
        const int id = level == ZWS_CGI_COMMAND_LEVEL_NODES       ? (nodes ? nodes->node_id : -1)
                       : level == ZWS_CGI_COMMAND_LEVEL_ENDPOINTS ? (endpoints ? endpoints->endpoint_id : -1)
                                                                  : (interfaces ? interfaces->interface_id : -1);
        const char *parent_name = k_parent_field[level];
        if (field(record, parent_name, &parent) != 0) {
            ZWS_LOG_ERROR("Failed to get the field '%s': %s", parent_name, avro_strerror());
            return 22;
        }
        if (set_level_record(&parent, static_cast<zws_cgi_command_level_t>(level - 1), common, networks) != 0)
            return 22;
        return zw_avro_field_set_int(record, "id", id);
    }
    case ZWS_CGI_COMMAND_LEVEL_ROOT: break;
    }
    return 22;
}

zws_avi_message_argument_t argument_handler_of(const zws_service_common_t *common)
{
    switch (common->command_level) {
    case ZWS_CGI_COMMAND_LEVEL_ROOT:
        return static_cast<const zws_avi_message_t *>(common->avi_message)->argument_handler;
    case ZWS_CGI_COMMAND_LEVEL_NETWORKS:
        return static_cast<const zws_avi_message_networks_t *>(common->avi_message)->argument_handler;
    case ZWS_CGI_COMMAND_LEVEL_NODES:
        return static_cast<const zws_avi_message_nodes_t *>(common->avi_message)->argument_handler;
    case ZWS_CGI_COMMAND_LEVEL_ENDPOINTS:
        return static_cast<const zws_avi_message_endpoints_t *>(common->avi_message)->argument_handler;
    case ZWS_CGI_COMMAND_LEVEL_INTERFACES:
        return static_cast<const zws_avi_message_interfaces_t *>(common->avi_message)->argument_handler;
    }
    return nullptr;
}

int set_request_argument(zws_service_t *service, avro_value_t *argument, const char *type_name)
{
    zws_service_common_t *common = service->service_common;
    if (std::strcmp(type_name, "Void") == 0) {
        ZWS_LOG_DEBUGGING("Request is 'Void'");
        return 0;
    }
    if (common->cgi_client == ZWS_CGI_CLIENT_IFTTT)
        return 0;
    avro_value_t command;
    if (field(argument, "command", &command) != 0) {
        ZWS_LOG_ERROR("Failed to get 'command' field within argument of type '%s': %s", type_name, avro_strerror());
        return 22;
    }
    const zws_cgi_command_level_t level = common->command_level;
    if (level != ZWS_CGI_COMMAND_LEVEL_ROOT) {
        static const char *const k_level_field[] = {nullptr, "network", "node", "endpoint", "interface"};
        avro_value_t level_record;
        if (field(&command, k_level_field[level], &level_record) != 0) {
            ZWS_LOG_ERROR("Failed to get '%s' field within argument of type '%s': %s", k_level_field[level],
                          type_name, avro_strerror());
            return 22;
        }
        if (set_level_record(&level_record, level, common, service->service_next) != 0)
            return 22;
    }
    avro_value_t parameter;
    const zws_avi_message_argument_t handler = argument_handler_of(common);
    if (handler && field(argument, "parameter", &parameter) == 0 &&
        handler(common->args, common->args_count, &parameter) != 0) {
        ZWS_LOG_ERROR("Failed to set arguments for type '%s'", type_name);
        return 22;
    }
    if (level == ZWS_CGI_COMMAND_LEVEL_INTERFACES) {
        const auto *message = static_cast<const zws_avi_message_interfaces_t *>(common->avi_message);
        const zws_service_networks_t *networks = service->service_next;
        const zws_service_interfaces_t *interfaces =
            networks && networks->service_node && networks->service_node->service_endpoint
                ? networks->service_node->service_endpoint->service_interface
                : nullptr;
        if (interfaces && interfaces->sub_command != message->cgi_sub_command &&
            zw_avro_field_set_boolean(&command, "passive", 1) != 0)
            return 22;
    }
    return 0;
}

int write_frame(avro_value_t *cookies, avro_value_t *name, avro_value_t *request, char **frame_p, int *length_p)
{
    size_t size = 256;
    for (;;) {
        char *frame = static_cast<char *>(std::malloc(size));
        if (!frame) {
            ZWS_LOG_ERROR("Failed to allocate memory");
            return 22;
        }
        avro_writer_t writer = avro_writer_memory(frame + 4, static_cast<int64_t>(size - 4));
        if (!writer) {
            std::free(frame);
            ZWS_LOG_ERROR("Failed to allocate memory");
            return 22;
        }
        int status = avro_value_write(writer, cookies);
        if (status == 0)
            status = avro_value_write(writer, name);
        if (status == 0)
            status = avro_value_write(writer, request);
        if (status == ENOSPC) {
            avro_writer_free(writer);
            std::free(frame);
            size += 256;
            continue;
        }
        if (status != 0) {
            ZWS_LOG_ERROR("Failed to write 'Cookie' and 'Request' value: %s", avro_strerror());
            avro_writer_free(writer);
            std::free(frame);
            return 22;
        }
        const int64_t written = avro_writer_tell(writer);
        avro_writer_free(writer);
        if (written < 0) {
            ZWS_LOG_ERROR("Failed to get buffer size from writer: %s", avro_strerror());
            std::free(frame);
            return 22;
        }
        if (written > 0x7FFFFFFB) { // the frame length travels as an int
            ZWS_LOG_ERROR("Failed to build Avro frame: Message length is too long");
            std::free(frame);
            return 22;
        }
        const uint32_t prefix = htonl(static_cast<uint32_t>(written));
        std::memcpy(frame, &prefix, 4);
        *frame_p = frame;
        *length_p = static_cast<int>(written) + 4;
        return 0;
    }
}

template <typename Message> auto result_handler_of(const void *message)
{
    return static_cast<const Message *>(message)->result_handler;
}

int run_result_handlers(zws_service_common_t *common, avro_value_t *parameter, const char *type_name,
                        zwu_string_buffer_t first, zwu_string_buffer_t second)
{
    int status = 0;
    switch (common->command_level) {
    case ZWS_CGI_COMMAND_LEVEL_ROOT:
        status = result_handler_of<zws_avi_message_t>(common->avi_message)(2, parameter, second);
        break;
    case ZWS_CGI_COMMAND_LEVEL_NETWORKS: {
        auto handler = result_handler_of<zws_avi_message_networks_t>(common->avi_message);
        status = handler(1, parameter, first);
        if (status == 0)
            status = handler(2, parameter, second);
        break;
    }
    case ZWS_CGI_COMMAND_LEVEL_NODES:
    case ZWS_CGI_COMMAND_LEVEL_ENDPOINTS:
    case ZWS_CGI_COMMAND_LEVEL_INTERFACES: {
        auto handler = common->command_level == ZWS_CGI_COMMAND_LEVEL_NODES
                           ? result_handler_of<zws_avi_message_nodes_t>(common->avi_message)
                       : common->command_level == ZWS_CGI_COMMAND_LEVEL_ENDPOINTS
                           ? result_handler_of<zws_avi_message_endpoints_t>(common->avi_message)
                           : result_handler_of<zws_avi_message_interfaces_t>(common->avi_message);
        status = handler(1, common->combo_id, parameter, first);
        if (status == 0)
            status = handler(2, common->combo_id, parameter, second);
        break;
    }
    }
    if (status != 0)
        ZWS_LOG_ERROR("Failed to set results for type '%s'", type_name);
    return status == 0 ? 0 : 22;
}

bool has_result_handler(const zws_service_common_t *common)
{
    switch (common->command_level) {
    case ZWS_CGI_COMMAND_LEVEL_ROOT: return result_handler_of<zws_avi_message_t>(common->avi_message) != nullptr;
    case ZWS_CGI_COMMAND_LEVEL_NETWORKS:
        return result_handler_of<zws_avi_message_networks_t>(common->avi_message) != nullptr;
    case ZWS_CGI_COMMAND_LEVEL_NODES:
        return result_handler_of<zws_avi_message_nodes_t>(common->avi_message) != nullptr;
    case ZWS_CGI_COMMAND_LEVEL_ENDPOINTS:
        return result_handler_of<zws_avi_message_endpoints_t>(common->avi_message) != nullptr;
    case ZWS_CGI_COMMAND_LEVEL_INTERFACES:
        return result_handler_of<zws_avi_message_interfaces_t>(common->avi_message) != nullptr;
    }
    return false;
}

int set_result(zws_service_t *service, avro_value_t *reply, const char *type_name)
{
    zws_service_common_t *common = service->service_common;
    avro_value_t command;
    avro_value_t parameter;
    const bool has_command = field(reply, "command", &command) == 0;
    const bool has_parameter = field(reply, "parameter", &parameter) == 0;
    uint64_t utime = 0;
    if (common->command_level == ZWS_CGI_COMMAND_LEVEL_ROOT && !has_command) {
        ZWS_LOG_ERROR("Failed to get the field '%s': %s", "command", avro_strerror());
        return 22;
    }
    if (common->command_level == ZWS_CGI_COMMAND_LEVEL_NETWORKS) {
        avro_value_t network;
        char *net_id = nullptr;
        int64_t stamp = 0;
        if (!has_command || field(&command, "network", &network) != 0 ||
            zw_avro_field_get_string(&network, "id", &net_id) != 0)
            return 22;
        if (service->service_next)
            service->service_next->net_id = net_id;
        zw_avro_field_free_string(net_id);
        if (zw_avro_field_get_long(&command, "utime", &stamp) != 0)
            return 22;
        utime = static_cast<uint64_t>(stamp);
    }
    if (!has_parameter || !has_result_handler(common))
        return 0;
    owned_buffer first;
    owned_buffer second;
    if (zwu_string_buffer_create(0, &first.buffer) != 0 || zwu_string_buffer_create(0, &second.buffer) != 0)
        return 22;
    if (run_result_handlers(common, &parameter, type_name, first.buffer, second.buffer) != 0)
        return 22;
    const char *first_text = zwu_string_buffer_get_string(first.buffer);
    const char *second_text = zwu_string_buffer_get_string(second.buffer);
    switch (common->command_level) {
    case ZWS_CGI_COMMAND_LEVEL_ROOT:
        return zwu_string_buffer_append_string(common->result, second_text) == 0 ? 0 : 22;
    case ZWS_CGI_COMMAND_LEVEL_NETWORKS:
        return zws_cgi_frame_networks(common->result, common->message_name, first_text, second_text, utime,
                                      service->service_next ? service->service_next->net_id.c_str() : "");
    default:
        return zws_cgi_frame_level(common->result, common->command_level, common->combo_id, first_text,
                                   second_text);
    }
}

} // namespace

int zws_cgi_get_rpc_request_from_cgi_service(zws_service_t *service, char **frame_p, int *frame_length_p)
{
    *frame_p = nullptr;
    *frame_length_p = 0;
    zws_service_common_t *common = service ? service->service_common : nullptr;
    if (!common)
        return 22;
    ZWS_LOG_DEBUGGING("Check avi_msg: %p", common->avi_message);
    if (!common->avi_message || !common->message_name)
        return 0;
    zw_avro_t avro = zws_avi_get_avro(common->avi);
    try {
        owned_value cookies;
        if (avro_generic_value_new(zw_avro_get_cookies_iface(avro), &cookies.value) != 0) {
            ZWS_LOG_ERROR("Failed to allocate memory");
            return 22;
        }
        cookies.live = true;
        avro_value_t user;
        avro_value_t branch;
        if (field(&cookies.value, "user", &user) != 0 ||
            avro_value_set_branch(&user, common->has_user ? 0 : 1, &branch) != 0 ||
            (common->has_user ? avro_value_set_string(&branch, common->user.c_str())
                              : avro_value_set_null(&branch)) != 0) {
            ZWS_LOG_ERROR("Failed to set value '%s' to the field '%s': %s", common->user.c_str(), "user",
                          avro_strerror());
            return 22;
        }
        owned_value name;
        if (avro_generic_string_new(&name.value, common->message_name) != 0) {
            ZWS_LOG_ERROR("Failed to allocate memory");
            return 22;
        }
        name.live = true;

        avro_schema_t message_schema =
            zw_avro_schema_record_field_get(zw_avro_get_messages_schema(avro), common->message_name);
        if (!message_schema) {
            ZWS_LOG_ERROR("Failed to get the schema of '%s' message: %s", common->message_name, avro_strerror());
            return 22;
        }
        avro_schema_t request_schema = zw_avro_schema_record_field_get(message_schema, "request");
        if (!request_schema) {
            ZWS_LOG_ERROR("Failed to get the request schema of '%s' message: %s", common->message_name,
                          avro_strerror());
            return 22;
        }
        const char *type_name = avro_schema_type_name(request_schema);
        if (!type_name) {
            ZWS_LOG_ERROR("Failed to get type name for request schema of '%s' message: %s", common->message_name,
                          avro_strerror());
            return 22;
        }
        int branch_index = -1;
        avro_schema_t branch_schema =
            avro_schema_union_branch_by_name(zw_avro_get_types_schema(avro), &branch_index, type_name);
        if (!branch_schema) {
            ZWS_LOG_ERROR("Failed to get '%s' schema from 'types' schema: %s", type_name, avro_strerror());
            return 22;
        }
        owned_value request;
        if (avro_generic_value_new(zw_avro_get_types_iface(avro), &request.value) != 0) {
            ZWS_LOG_ERROR("Failed to allocate memory");
            return 22;
        }
        request.live = true;
        avro_value_t argument;
        if (avro_value_set_branch(&request.value, branch_index, &argument) != 0) {
            ZWS_LOG_ERROR("Failed to get '%s' schema from 'types' schema: %s", type_name, avro_strerror());
            return 22;
        }
        ZWS_LOG_DEBUGGING("RPC: %s(%s)", common->message_name, type_name);
        if (is_avro_record(branch_schema) && set_request_argument(service, &argument, type_name) != 0)
            return 22;
        return write_frame(&cookies.value, &name.value, &request.value, frame_p, frame_length_p);
    } catch (const std::bad_alloc &) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
}

void zws_cgi_free_rpc_request_from_cgi_service(char *frame) { std::free(frame); }

int zws_cgi_set_cgi_service_result_from_rpc_response(zws_service_t *service, const char *reply, int reply_length)
{
    zws_service_common_t *common = service ? service->service_common : nullptr;
    if (!common)
        return 22;
    if (!common->avi_message)
        return 0;
    if (!reply || reply_length <= 3)
        return 22;
    uint32_t prefix;
    std::memcpy(&prefix, reply, 4);
    const uint32_t length = ntohl(prefix);
    ZWS_LOG_DEBUGGING("Avro message length: %u", length);
    // The payload must be all there: a cut reply is a failed request.
    if (static_cast<uint64_t>(length) + 4 > static_cast<uint64_t>(reply_length)) {
        ZWS_LOG_ERROR("Failed to read response value: %s", "reply shorter than its length prefix");
        return 22;
    }
    zw_avro_t avro = zws_avi_get_avro(common->avi);
    // The Avro library trusts the lengths inside the data; check them first.
    if (zw_avro_check_binary(zw_avro_get_types_schema(avro), reply + 4, length, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to read response value: %s", "malformed Avro data");
        return 22;
    }
    try {
        avro_reader_t reader = avro_reader_memory(reply + 4, length);
        if (!reader) {
            ZWS_LOG_ERROR("Failed to create avro reader: %s", avro_strerror());
            return 22;
        }
        owned_value value;
        if (avro_generic_value_new(zw_avro_get_types_iface(avro), &value.value) != 0) {
            avro_reader_free(reader);
            ZWS_LOG_ERROR("Failed to allocate memory");
            return 22;
        }
        value.live = true;
        const int read_status = avro_value_read(reader, &value.value);
        avro_reader_free(reader);
        if (read_status != 0) {
            ZWS_LOG_ERROR("Failed to read response value: %s", avro_strerror());
            return 22;
        }
        avro_value_t branch;
        if (avro_value_get_current_branch(&value.value, &branch) != 0) {
            ZWS_LOG_ERROR("Failed to get current branch of response union: %s", avro_strerror());
            return 22;
        }
        avro_schema_t schema = avro_value_get_schema(&branch);
        if (!schema) {
            ZWS_LOG_ERROR("Failed to get schema of return value: %s", avro_strerror());
            return 22;
        }
        const char *type_name = avro_schema_type_name(schema);
        if (!type_name) {
            ZWS_LOG_ERROR("Failed to get type name for return schema: %s", avro_strerror());
            return 22;
        }
        ZWS_LOG_DEBUGGING("RPC: %s %s(<argument>)", type_name, common->message_name ? common->message_name : "");
        if (!is_avro_record(schema))
            return 0;
        if (!common->result && zwu_string_buffer_create(0, &common->result) != 0)
            return 22;
        if (std::strcmp(type_name, "Void") == 0) {
            ZWS_LOG_DEBUGGING("Response is 'Void'");
            return 0;
        }
        return set_result(service, &branch, type_name);
    } catch (const std::bad_alloc &) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
}
