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

using owned_value = zw_avro_value_guard;

// The message name of a request's frame and the value of its reply, kept from
// one request to the next (trellan serves one request at a time): the name is
// set whole and a read replaces the whole reply. (The request's own values
// are made for each request: a reset value does not write as a new one where
// a field is left unset.) After a reply larger than k_kept_reply_max the
// reply's value is freed: what one large answer needed is not held for the
// rest of the process.
zw_avro_kept_value g_name;
zw_avro_kept_value g_reply;
constexpr size_t k_kept_reply_max = 4096;

struct release_after_large {
    size_t size;
    ~release_after_large()
    {
        if (size > k_kept_reply_max)
            g_reply.release();
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

// The `command` field of the request argument and, below the root, its
// level record (`network`, `node`, `endpoint` or `interface`).
int get_command(avro_value_t *argument, const char *type_name, avro_value_t *command)
{
    if (field(argument, "command", command) != 0) {
        ZWS_LOG_ERROR("Failed to get 'command' field within argument of type '%s': %s", type_name, avro_strerror());
        return 22;
    }
    return 0;
}

int get_level_record(avro_value_t *command, const char *level_field, const char *type_name, avro_value_t *record)
{
    if (field(command, level_field, record) != 0) {
        ZWS_LOG_ERROR("Failed to get '%s' field within argument of type '%s': %s", level_field, type_name,
                      avro_strerror());
        return 22;
    }
    return 0;
}

// The argument handler of the matched message with the pairs the service
// layer left; a message without a `parameter` field or a handler has none.
int set_parameter(zws_service_common_t *common, zws_avi_message_argument_t handler, avro_value_t *argument,
                  const char *type_name)
{
    avro_value_t parameter;
    if (handler && field(argument, "parameter", &parameter) == 0 &&
        handler(common->args, common->args_count, &parameter) != 0) {
        ZWS_LOG_ERROR("Failed to set arguments for type '%s'", type_name);
        return 22;
    }
    return 0;
}

int level_mismatch()
{
    ZWS_LOG_ERROR("Failed to match with supported command levels");
    return 22;
}

// The parent field of a level record and the record it holds, one level up.
int set_parent(avro_value_t *record, const char *parent_field, avro_value_t *parent)
{
    if (field(record, parent_field, parent) != 0) {
        ZWS_LOG_ERROR("Failed to get the field '%s': %s", parent_field, avro_strerror());
        return 22;
    }
    return 0;
}

} // namespace

// Level records: Network{id}, Node{network, id}, Endpoint{node, id},
// Interface{endpoint, id}, each filled from its record in the tree and the
// ones above it.
int zws_cgi_set_avro_value_of_field_networks(zws_service_networks_t *service_networks, avro_value_t *network)
{
    if (!service_networks)
        return 22;
    return zw_avro_field_set_string(network, "id", service_networks->net_id.c_str());
}

int zws_cgi_set_avro_value_of_field_nodes(zws_service_nodes_t *service_nodes, avro_value_t *node)
{
    avro_value_t network;
    if (!service_nodes || set_parent(node, "network", &network) != 0 ||
        zws_cgi_set_avro_value_of_field_networks(service_nodes->service_net, &network) != 0)
        return 22;
    return zw_avro_field_set_int(node, "id", service_nodes->node_id);
}

int zws_cgi_set_avro_value_of_field_endpoints(zws_service_endpoints_t *service_endpoints, avro_value_t *endpoint)
{
    avro_value_t node;
    if (!service_endpoints || set_parent(endpoint, "node", &node) != 0 ||
        zws_cgi_set_avro_value_of_field_nodes(service_endpoints->service_node, &node) != 0)
        return 22;
    return zw_avro_field_set_int(endpoint, "id", service_endpoints->endpoint_id);
}

int zws_cgi_set_avro_value_of_field_interfaces(zws_service_interfaces_t *service_interfaces,
                                               avro_value_t *interface)
{
    avro_value_t endpoint;
    if (!service_interfaces || set_parent(interface, "endpoint", &endpoint) != 0 ||
        zws_cgi_set_avro_value_of_field_endpoints(service_interfaces->service_endpoint, &endpoint) != 0)
        return 22;
    return zw_avro_field_set_int(interface, "id", service_interfaces->interface_id);
}

// The argument value, level by level: each level acts when the request was
// matched at it and otherwise hands on to the level below.
int zws_cgi_set_avro_value_of_request_arg_interfaces(zws_service_interfaces_t *service_interfaces,
                                                     avro_value_t *argument, const char *type_name)
{
    if (!service_interfaces || service_interfaces->service_common->command_level != ZWS_CGI_COMMAND_LEVEL_INTERFACES)
        return level_mismatch();
    zws_service_common_t *common = service_interfaces->service_common;
    const auto *message = static_cast<const zws_avi_message_interfaces_t *>(common->avi_message);
    avro_value_t command;
    avro_value_t record;
    if (get_command(argument, type_name, &command) != 0 ||
        get_level_record(&command, "interface", type_name, &record) != 0 ||
        zws_cgi_set_avro_value_of_field_interfaces(service_interfaces, &record) != 0 ||
        set_parameter(common, message->argument_handler, argument, type_name) != 0)
        return 22;
    // The passive variant asks the daemon for the cached value only.
    if (service_interfaces->sub_command != message->cgi_sub_command &&
        zw_avro_field_set_boolean(&command, "passive", 1) != 0)
        return 22;
    return 0;
}

int zws_cgi_set_avro_value_of_request_arg_endpoints(zws_service_endpoints_t *service_endpoints,
                                                    avro_value_t *argument, const char *type_name)
{
    if (!service_endpoints)
        return level_mismatch();
    zws_service_common_t *common = service_endpoints->service_common;
    if (common->command_level != ZWS_CGI_COMMAND_LEVEL_ENDPOINTS)
        return zws_cgi_set_avro_value_of_request_arg_interfaces(service_endpoints->service_interface, argument,
                                                                type_name);
    avro_value_t command;
    avro_value_t record;
    if (get_command(argument, type_name, &command) != 0 ||
        get_level_record(&command, "endpoint", type_name, &record) != 0 ||
        zws_cgi_set_avro_value_of_field_endpoints(service_endpoints, &record) != 0)
        return 22;
    return set_parameter(common, static_cast<const zws_avi_message_endpoints_t *>(common->avi_message)->argument_handler,
                         argument, type_name);
}

int zws_cgi_set_avro_value_of_request_arg_nodes(zws_service_nodes_t *service_nodes, avro_value_t *argument,
                                                const char *type_name)
{
    if (!service_nodes)
        return level_mismatch();
    zws_service_common_t *common = service_nodes->service_common;
    if (common->command_level != ZWS_CGI_COMMAND_LEVEL_NODES)
        return zws_cgi_set_avro_value_of_request_arg_endpoints(service_nodes->service_endpoint, argument, type_name);
    avro_value_t command;
    avro_value_t record;
    if (get_command(argument, type_name, &command) != 0 ||
        get_level_record(&command, "node", type_name, &record) != 0 ||
        zws_cgi_set_avro_value_of_field_nodes(service_nodes, &record) != 0)
        return 22;
    return set_parameter(common, static_cast<const zws_avi_message_nodes_t *>(common->avi_message)->argument_handler,
                         argument, type_name);
}

int zws_cgi_set_avro_value_of_request_arg_networks(zws_service_networks_t *service_networks, avro_value_t *argument,
                                                   const char *type_name)
{
    if (!service_networks)
        return level_mismatch();
    zws_service_common_t *common = service_networks->service_common;
    if (common->command_level != ZWS_CGI_COMMAND_LEVEL_NETWORKS)
        return zws_cgi_set_avro_value_of_request_arg_nodes(service_networks->service_node, argument, type_name);
    avro_value_t command;
    avro_value_t record;
    if (get_command(argument, type_name, &command) != 0 ||
        get_level_record(&command, "network", type_name, &record) != 0 ||
        zws_cgi_set_avro_value_of_field_networks(service_networks, &record) != 0)
        return 22;
    return set_parameter(common,
                         static_cast<const zws_avi_message_networks_t *>(common->avi_message)->argument_handler,
                         argument, type_name);
}

int zws_cgi_set_avro_value_of_request_arg_root(zws_service_t *service, avro_value_t *argument, const char *type_name)
{
    zws_service_common_t *common = service->service_common;
    if (std::strcmp(type_name, "Void") == 0) {
        ZWS_LOG_DEBUGGING("Request is 'Void'");
        return 0;
    }
    if (common->cgi_client == ZWS_CGI_CLIENT_IFTTT)
        return 0;
    if (common->command_level != ZWS_CGI_COMMAND_LEVEL_ROOT)
        return zws_cgi_set_avro_value_of_request_arg_networks(service->service_next, argument, type_name);
    avro_value_t command;
    if (get_command(argument, type_name, &command) != 0)
        return 22;
    return set_parameter(common, static_cast<const zws_avi_message_t *>(common->avi_message)->argument_handler,
                         argument, type_name);
}

namespace {

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

// Room an answer's buffers start with: a short answer is built without
// growing them piece by piece.
constexpr int k_answer_room = 512;

// Both forms of a result handler's answer, each into its own buffer.
struct two_forms {
    owned_buffer first;
    owned_buffer second;
    int create()
    {
        return zwu_string_buffer_create(k_answer_room, &first.buffer) == 0 &&
                       zwu_string_buffer_create(k_answer_room, &second.buffer) == 0
                   ? 0
                   : 22;
    }
    const char *first_text() const { return zwu_string_buffer_get_string(first.buffer); }
    const char *second_text() const { return zwu_string_buffer_get_string(second.buffer); }
};

int handler_failed(const char *type_name)
{
    ZWS_LOG_ERROR("Failed to set results for type '%s'", type_name);
    return 22;
}

// Node, endpoint and interface answers share one shape: the handler with
// version 1 and 2 and the combined id, in the level's double frame.
template <typename Handler>
int set_level_result(zws_service_common_t *common, Handler handler, avro_value_t *reply, const char *type_name)
{
    avro_value_t parameter;
    if (field(reply, "parameter", &parameter) != 0 || !handler)
        return 0;
    two_forms forms;
    if (forms.create() != 0)
        return 22;
    if (handler(1, common->combo_id, &parameter, forms.first.buffer) != 0 ||
        handler(2, common->combo_id, &parameter, forms.second.buffer) != 0)
        return handler_failed(type_name);
    return zws_cgi_frame_level(common->result, common->command_level, common->combo_id, forms.first_text(),
                               forms.second_text());
}

} // namespace

// The reply, level by level, like the request argument.
int zws_cgi_set_service_result_interfaces(zws_service_interfaces_t *service_interfaces, avro_value_t *reply,
                                          const char *type_name)
{
    if (!service_interfaces || service_interfaces->service_common->command_level != ZWS_CGI_COMMAND_LEVEL_INTERFACES)
        return level_mismatch();
    zws_service_common_t *common = service_interfaces->service_common;
    return set_level_result(
        common, static_cast<const zws_avi_message_interfaces_t *>(common->avi_message)->result_handler, reply,
        type_name);
}

int zws_cgi_set_service_result_endpoints(zws_service_endpoints_t *service_endpoints, avro_value_t *reply,
                                         const char *type_name)
{
    if (!service_endpoints)
        return level_mismatch();
    zws_service_common_t *common = service_endpoints->service_common;
    if (common->command_level != ZWS_CGI_COMMAND_LEVEL_ENDPOINTS)
        return zws_cgi_set_service_result_interfaces(service_endpoints->service_interface, reply, type_name);
    return set_level_result(
        common, static_cast<const zws_avi_message_endpoints_t *>(common->avi_message)->result_handler, reply,
        type_name);
}

int zws_cgi_set_service_result_nodes(zws_service_nodes_t *service_nodes, avro_value_t *reply, const char *type_name)
{
    if (!service_nodes)
        return level_mismatch();
    zws_service_common_t *common = service_nodes->service_common;
    if (common->command_level != ZWS_CGI_COMMAND_LEVEL_NODES)
        return zws_cgi_set_service_result_endpoints(service_nodes->service_endpoint, reply, type_name);
    return set_level_result(common, static_cast<const zws_avi_message_nodes_t *>(common->avi_message)->result_handler,
                            reply, type_name);
}

int zws_cgi_set_service_result_networks(zws_service_networks_t *service_networks, avro_value_t *reply,
                                        const char *type_name)
{
    if (!service_networks)
        return level_mismatch();
    zws_service_common_t *common = service_networks->service_common;
    if (common->command_level != ZWS_CGI_COMMAND_LEVEL_NETWORKS)
        return zws_cgi_set_service_result_nodes(service_networks->service_node, reply, type_name);
    // The network frame names the network the daemon answered for, at the
    // daemon's time.
    avro_value_t command;
    avro_value_t network;
    char *net_id = nullptr;
    int64_t stamp = 0;
    if (field(reply, "command", &command) != 0 || field(&command, "network", &network) != 0 ||
        zw_avro_field_get_string(&network, "id", &net_id) != 0)
        return 22;
    service_networks->net_id = net_id;
    zw_avro_field_free_string(net_id);
    if (zw_avro_field_get_long(&command, "utime", &stamp) != 0)
        return 22;
    const zws_avi_message_result_t handler =
        static_cast<const zws_avi_message_networks_t *>(common->avi_message)->result_handler;
    avro_value_t parameter;
    if (field(reply, "parameter", &parameter) != 0 || !handler)
        return 0;
    two_forms forms;
    if (forms.create() != 0)
        return 22;
    if (handler(1, &parameter, forms.first.buffer) != 0 || handler(2, &parameter, forms.second.buffer) != 0)
        return handler_failed(type_name);
    return zws_cgi_frame_networks(common->result, common->message_name, forms.first_text(), forms.second_text(),
                                  static_cast<uint64_t>(stamp), service_networks->net_id.c_str());
}

int zws_cgi_set_service_result_root(zws_service_t *service, avro_value_t *reply, const char *type_name)
{
    zws_service_common_t *common = service->service_common;
    if (common->command_level != ZWS_CGI_COMMAND_LEVEL_ROOT)
        return zws_cgi_set_service_result_networks(service->service_next, reply, type_name);
    avro_value_t command;
    if (field(reply, "command", &command) != 0) {
        ZWS_LOG_ERROR("Failed to get the field '%s': %s", "command", avro_strerror());
        return 22;
    }
    const zws_avi_message_result_t handler = static_cast<const zws_avi_message_t *>(common->avi_message)->result_handler;
    avro_value_t parameter;
    if (field(reply, "parameter", &parameter) != 0 || !handler)
        return 0;
    owned_buffer second;
    if (zwu_string_buffer_create(k_answer_room, &second.buffer) != 0)
        return 22;
    if (handler(2, &parameter, second.buffer) != 0)
        return handler_failed(type_name);
    return zwu_string_buffer_append_string(common->result, zwu_string_buffer_get_string(second.buffer)) == 0 ? 0
                                                                                                            : 22;
}

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
        cookies.held = true;
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
        avro_value_t *name = g_name.take(nullptr);
        if (!name || avro_value_set_string(name, common->message_name) != 0) {
            ZWS_LOG_ERROR("Failed to allocate memory");
            return 22;
        }

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
        request.held = true;
        avro_value_t argument;
        if (avro_value_set_branch(&request.value, branch_index, &argument) != 0) {
            ZWS_LOG_ERROR("Failed to get '%s' schema from 'types' schema: %s", type_name, avro_strerror());
            return 22;
        }
        ZWS_LOG_DEBUGGING("RPC: %s(%s)", common->message_name, type_name);
        if (is_avro_record(branch_schema) && zws_cgi_set_avro_value_of_request_arg_root(service, &argument, type_name) != 0)
            return 22;
        return write_frame(&cookies.value, name, &request.value, frame_p, frame_length_p);
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
        const release_after_large trim{length};
        avro_value_t *value = g_reply.take(zw_avro_get_types_iface(avro));
        if (!value) {
            avro_reader_free(reader);
            ZWS_LOG_ERROR("Failed to allocate memory");
            return 22;
        }
        const int read_status = avro_value_read(reader, value);
        avro_reader_free(reader);
        if (read_status != 0) {
            ZWS_LOG_ERROR("Failed to read response value: %s", avro_strerror());
            return 22;
        }
        avro_value_t branch;
        if (avro_value_get_current_branch(value, &branch) != 0) {
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
        if (!common->result && zwu_string_buffer_create(k_answer_room, &common->result) != 0)
            return 22;
        if (std::strcmp(type_name, "Void") == 0) {
            ZWS_LOG_DEBUGGING("Response is 'Void'");
            return 0;
        }
        return zws_cgi_set_service_result_root(service, &branch, type_name);
    } catch (const std::bad_alloc &) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
}
