#include "daemon/zwp_avi_request.h"

#include "avi/zw_avro.h"
#include "avi/zw_avro_check.h"
#include "daemon/zwp_log.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

struct reader_guard {
    avro_reader_t reader = nullptr;
    ~reader_guard()
    {
        if (reader)
            avro_reader_free(reader);
    }
};

// The values requests are read into, kept by each thread from one request
// to the next.
thread_local zw_avro_kept_value t_cookies;
thread_local zw_avro_kept_value t_name;
thread_local zw_avro_kept_value t_argument;

// Values read from a payload larger than this are freed after the request:
// a worker keeps only what everyday requests need, whatever a client sent
// it once.
constexpr size_t k_kept_payload_max = 4096;

struct read_values_trim {
    size_t payload;
    ~read_values_trim()
    {
        if (payload > k_kept_payload_max) {
            t_cookies.release();
            t_name.release();
            t_argument.release();
        }
    }
};

char *copy_text(const char *text, size_t length)
{
    auto *copy = static_cast<char *>(std::malloc(length + 1));
    if (!copy) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return nullptr;
    }
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

// The message-name prefixes, tested in this order.
struct level_rule {
    const char *prefix;
    uint32_t kind;
    uint32_t level;
};

constexpr level_rule level_rules[] = {
    {"root_", ZWP_AVI_KIND_ROOT, ZWP_AVI_LEVEL_ROOT},
    {"network_", ZWP_AVI_KIND_LEVELED, ZWP_AVI_LEVEL_NETWORK},
    {"scene_", ZWP_AVI_KIND_LEVELED, ZWP_AVI_LEVEL_NETWORK},
    {"security_scene_", ZWP_AVI_KIND_LEVELED, ZWP_AVI_LEVEL_NETWORK},
    {"ifttt_network_", ZWP_AVI_KIND_IFTTT, ZWP_AVI_LEVEL_NETWORK},
    {"ifttt_interface_", ZWP_AVI_KIND_IFTTT, ZWP_AVI_LEVEL_INTERFACE},
    {"ifttt_", ZWP_AVI_KIND_IFTTT, ZWP_AVI_LEVEL_ROOT},
    {"node_", ZWP_AVI_KIND_LEVELED, ZWP_AVI_LEVEL_NODE},
    {"endpoint_", ZWP_AVI_KIND_LEVELED, ZWP_AVI_LEVEL_ENDPOINT},
    {"interface_", ZWP_AVI_KIND_LEVELED, ZWP_AVI_LEVEL_INTERFACE},
};

const level_rule *level_rule_find(const char *name)
{
    for (const level_rule &rule : level_rules) {
        if (std::strncmp(name, rule.prefix, std::strlen(rule.prefix)) == 0)
            return &rule;
    }
    return nullptr;
}

// Finds the descriptor of one level's kind and takes its argument and
// result slots into the request.
template <typename Descriptor>
int descriptor_take(zwp_avi_request_t *request, zwu_array_list_t list,
                    int (*find)(zwu_array_list_t, const char *, const Descriptor **),
                    const Descriptor *zwp_avi_request_t::*member)
{
    const Descriptor *found = nullptr;
    if (find(list, request->name, &found) != 0)
        return 22;
    request->*member = found;
    request->argument_handler = found->argument_handler;
    request->argument_free = found->argument_free;
    request->result_handler = found->result_handler;
    request->descriptor_result_free = found->result_free;
    return 0;
}

// One row per level: where its descriptors are registered.
using descriptor_finder = int (*)(zwp_avi_request_t *request);
constexpr descriptor_finder descriptor_finders[ZWP_AVI_LEVEL_COUNT] = {
    [](zwp_avi_request_t *r) {
        return descriptor_take(r, zwp_avi_root_list_get(r->registry), zwp_avi_root_message_find,
                               &zwp_avi_request_t::root);
    },
    [](zwp_avi_request_t *r) {
        return descriptor_take(r, zwp_avi_network_list_get(r->registry), zwp_avi_network_message_find,
                               &zwp_avi_request_t::network);
    },
    [](zwp_avi_request_t *r) {
        return descriptor_take(r, zwp_avi_node_list_get(r->registry), zwp_avi_node_message_find,
                               &zwp_avi_request_t::node);
    },
    [](zwp_avi_request_t *r) {
        return descriptor_take(r, zwp_avi_endpoint_list_get(r->registry), zwp_avi_endpoint_message_find,
                               &zwp_avi_request_t::endpoint);
    },
    [](zwp_avi_request_t *r) {
        return descriptor_take(r, zwp_avi_interface_list_get(r->registry), zwp_avi_interface_message_find,
                               &zwp_avi_request_t::interface);
    },
};

int arguments_read(zwp_avi_request_t *request, avro_value_t *branch, const char *type_name)
{
    avro_value_t parameter;
    if (!request->argument_handler || avro_value_get_by_name(branch, "parameter", &parameter, nullptr) != 0)
        return 0;
    void *arguments = nullptr;
    if (request->argument_handler(&parameter, &arguments) != 0) {
        if (arguments && request->argument_free)
            request->argument_free(arguments);
        return ZWP_AVI_FAIL("Failed to get arguments for type '%s'", type_name);
    }
    request->arguments = arguments;
    return 0;
}

int network_id_read(zwp_avi_request_t *request, avro_value_t *network)
{
    avro_value_t id;
    const char *text = nullptr;
    size_t size = 0;
    if (avro_value_get_by_name(network, "id", &id, nullptr) != 0 || avro_value_get_string(&id, &text, &size) != 0 ||
        size == 0)
        return ZWP_AVI_FAIL("Failed to get argument of type index '%s'", "id");
    char *copy = copy_text(text, size - 1);
    if (!copy)
        return 22;
    std::free(request->network_id);
    request->network_id = copy;
    return 0;
}

int id_read(zwp_avi_request_t *request, avro_value_t *record, uint32_t level)
{
    avro_value_t field;
    int32_t value = 0;
    if (avro_value_get_by_name(record, "id", &field, nullptr) != 0 || avro_value_get_int(&field, &value) != 0)
        return ZWP_AVI_FAIL("Failed to get argument of type '%s'", zwp_avi_level_links[level].type);
    request->ids[level] = static_cast<uint32_t>(value);
    return 0;
}

// Walks command.<level> up through its parents to the network, then reads
// the ids from the network down.
int chain_read(zwp_avi_request_t *request, avro_value_t *branch, const char *type_name)
{
    avro_value_t command;
    if (avro_value_get_by_name(branch, "command", &command, nullptr) != 0)
        return ZWP_AVI_FAIL_AVRO("Failed to get 'command' field within argument of type '%s'", type_name);
    const uint32_t level = request->level;
    if (level == ZWP_AVI_LEVEL_ROOT)
        return 0;
    avro_value_t records[ZWP_AVI_LEVEL_COUNT];
    if (avro_value_get_by_name(&command, zwp_avi_level_links[level].field, &records[level], nullptr) != 0)
        return ZWP_AVI_FAIL_AVRO("Failed to get '%s' field within argument of type '%s'",
                                 zwp_avi_level_links[level].field, type_name);
    for (uint32_t at = level; at > ZWP_AVI_LEVEL_NETWORK; at--) {
        const zwp_avi_level_link &parent = zwp_avi_level_links[at - 1];
        if (avro_value_get_by_name(&records[at], parent.field, &records[at - 1], nullptr) != 0)
            return ZWP_AVI_FAIL_AVRO("Failed to get argument of type '%s'", parent.type);
    }
    if (network_id_read(request, &records[ZWP_AVI_LEVEL_NETWORK]) != 0)
        return 22;
    for (uint32_t at = ZWP_AVI_LEVEL_NODE; at <= level; at++) {
        if (id_read(request, &records[at], at) != 0)
            return 22;
    }
    if (level != ZWP_AVI_LEVEL_INTERFACE)
        return 0;
    // A missing or unreadable flag means an active request.
    avro_value_t passive;
    int flag = 0;
    if (avro_value_get_by_name(&command, "passive", &passive, nullptr) == 0 &&
        avro_value_get_boolean(&passive, &flag) == 0)
        request->passive = flag ? 1 : 0;
    // Each class module reads only its own interfaces' state: the message
    // must be one that serves the addressed interface's class.
    if (zwp_avi_interface_message_find_for_class(zwp_avi_interface_list_get(request->registry), request->name,
                                                 request->ids[ZWP_AVI_LEVEL_INTERFACE], &request->interface) != 0)
        return 22;
    request->argument_handler = request->interface->argument_handler;
    request->argument_free = request->interface->argument_free;
    request->result_handler = request->interface->result_handler;
    request->descriptor_result_free = request->interface->result_free;
    return 0;
}

// The request value must be the record the protocol file names as the
// message's request: slots written for one record must never read another
// (a response record, or the empty record in place of a command).
int request_type_check(const zwp_avi_request_t *request, const char *type_name)
{
    const zwp_avro_message_types_t *types =
        zwp_avro_schema_message_types_get(zwp_avi_schema_get(request->registry), request->name);
    if (types && std::strcmp(types->request_type, type_name) == 0)
        return 0;
    avro_schema_t messages = zwp_avro_schema_messages_get(zwp_avi_schema_get(request->registry));
    avro_schema_t entry = messages ? zw_avro_schema_record_field_get(messages, request->name) : nullptr;
    avro_schema_t expected = entry && is_avro_record(entry) ? zw_avro_schema_record_field_get(entry, "request")
                                                             : nullptr;
    const char *expected_name = expected ? avro_schema_type_name(expected) : nullptr;
    if (!expected_name)
        return ZWP_AVI_FAIL("Failed to get the request schema of '%s' message", request->name_logged.c_str());
    if (std::strcmp(expected_name, type_name) != 0)
        return ZWP_AVI_FAIL("Request of type '%s' does not match message '%s', which takes '%s'", type_name,
                            request->name_logged.c_str(), expected_name);
    return 0;
}

// The three values of a request, checked against their schemas before
// the Avro library allocates anything for them.
int payload_check(zwp_avro_schema_t *schema, const uint8_t *payload, size_t size)
{
    constexpr const char *short_data = "a length, count or branch does not fit the data";
    avro_schema_t types = zwp_avro_schema_types_get(schema);
    avro_schema_t cookies = zwp_avro_schema_cookies_get(schema);
    size_t at = 0, used = 0;
    if (zw_avro_check_binary(cookies, payload, size, &used) != 0)
        return ZWP_AVI_FAIL("Failed to read cookies value: %s", short_data);
    at += used;
    avro_schema_t string = avro_schema_string();
    const int name = zw_avro_check_binary(string, payload + at, size - at, &used);
    avro_schema_decref(string);
    if (name != 0)
        return ZWP_AVI_FAIL("Failed to read message name value: %s", short_data);
    at += used;
    if (zw_avro_check_binary(types, payload + at, size - at, &used) != 0)
        return ZWP_AVI_FAIL("Failed to read request value: %s", short_data);
    return 0;
}

int user_read(zwp_avi_request_t *request, avro_reader_t reader, zwp_avro_schema_t *schema)
{
    avro_value_iface_t *iface = zwp_avro_schema_cookies_iface_get(schema);
    avro_value_t *cookies = iface ? t_cookies.take(iface) : nullptr;
    if (!cookies)
        return ZWP_AVI_FAIL_AVRO("Failed to allocate 'Cookies' record from interface");
    if (avro_value_read(reader, cookies) != 0)
        return ZWP_AVI_FAIL_AVRO("Failed to read cookies value");
    avro_value_t user;
    if (avro_value_get_by_name(cookies, "user", &user, nullptr) != 0)
        return ZWP_AVI_FAIL_AVRO("Failed to get 'user' field from 'Cookies' record");
    int user_branch = -1;
    if (avro_value_get_discriminant(&user, &user_branch) != 0)
        return ZWP_AVI_FAIL_AVRO("Failed to get branch number of 'user' field");
    if (user_branch != 0)
        return 0;
    avro_value_t text_value;
    const char *text = nullptr;
    size_t text_size = 0;
    if (avro_value_get_current_branch(&user, &text_value) != 0)
        return ZWP_AVI_FAIL_AVRO("Failed to get 'user' field in branch '0'");
    if (avro_value_get_string(&text_value, &text, &text_size) != 0 || text_size == 0)
        return ZWP_AVI_FAIL_AVRO("Failed to get 'user' string");
    return (request->user = copy_text(text, text_size - 1)) ? 0 : 22;
}

int name_read(zwp_avi_request_t *request, avro_reader_t reader)
{
    avro_value_t *message = t_name.take(nullptr);
    if (!message)
        return ZWP_AVI_FAIL_AVRO("Failed to allocate 'message' value");
    if (avro_value_read(reader, message) != 0)
        return ZWP_AVI_FAIL_AVRO("Failed to read message name value");
    const char *name = nullptr;
    size_t name_size = 0;
    if (avro_value_get_string(message, &name, &name_size) != 0 || name_size == 0)
        return ZWP_AVI_FAIL_AVRO("Failed to get 'message name' string");
    // A NUL inside the name would let "x\0y" pass for "x".
    if (std::memchr(name, '\0', name_size - 1))
        return ZWP_AVI_FAIL("Failed to get 'message name' string: %s", "embedded NUL");
    if (!(request->name = copy_text(name, name_size - 1)))
        return 22;
    request->name_logged = zwp_log_escape(request->name, name_size - 1);
    return 0;
}

int request_decode(zwp_avi_request_t *request, const uint8_t *payload, size_t size)
{
    zwp_avro_schema_t *schema = zwp_avi_schema_get(request->registry);
    if (!schema || payload_check(schema, payload, size) != 0)
        return 22;
    const read_values_trim trim{size};
    reader_guard reader;
    reader.reader = avro_reader_memory(reinterpret_cast<const char *>(payload), static_cast<int64_t>(size));
    if (!reader.reader)
        return ZWP_AVI_FAIL_AVRO("Failed to create avro reader");
    if (user_read(request, reader.reader, schema) != 0 || name_read(request, reader.reader) != 0)
        return 22;

    avro_value_iface_t *types_iface = zwp_avro_schema_types_iface_get(schema);
    avro_value_t *argument = types_iface ? t_argument.take(types_iface) : nullptr;
    if (!argument)
        return ZWP_AVI_FAIL_AVRO("Failed to get arg value from type interface");
    if (avro_value_read(reader.reader, argument) != 0)
        return ZWP_AVI_FAIL_AVRO("Failed to read request value");
    avro_value_t branch;
    if (avro_value_get_current_branch(argument, &branch) != 0)
        return ZWP_AVI_FAIL_AVRO("Failed to get current branch of request union");
    avro_schema_t branch_schema = avro_value_get_schema(&branch);
    if (!branch_schema)
        return ZWP_AVI_FAIL_AVRO("Failed to get schema of return value");
    const char *type_name = avro_schema_type_name(branch_schema);
    if (!type_name)
        return ZWP_AVI_FAIL_AVRO("Failed to get type name for return schema");

    const level_rule *rule = level_rule_find(request->name);
    if (!rule)
        return ZWP_AVI_FAIL("Failed to detect the message level for '%s'", request->name_logged.c_str());
    request->kind = rule->kind;
    request->level = rule->level;
    if (descriptor_finders[request->level](request) != 0)
        return 22;
    request->chain = request->kind == ZWP_AVI_KIND_LEVELED ||
                     (request->kind == ZWP_AVI_KIND_IFTTT && request->level != ZWP_AVI_LEVEL_ROOT);

    const bool record = avro_value_get_type(&branch) == AVRO_RECORD && std::strcmp(type_name, "Void") != 0;
    if (record && chain_read(request, &branch, type_name) != 0)
        return 22;
    if (request_type_check(request, type_name) != 0)
        return 22;
    return record ? arguments_read(request, &branch, type_name) : 0;
}

} // namespace

int zwp_avi_request_read(zwp_avi_registry_t *registry, const uint8_t *frame, size_t length,
                         zwp_avi_request_t **out)
{
    if (!registry || !frame || length < 4 || !out)
        return 22;
    const size_t announced =
        (size_t{frame[0]} << 24) | (size_t{frame[1]} << 16) | (size_t{frame[2]} << 8) | size_t{frame[3]};
    // Never read past what was received.
    if (announced > length - 4)
        return ZWP_AVI_FAIL("Failed to create avro reader: %s", "frame shorter than its length");
    auto *request = new (std::nothrow) zwp_avi_request_t{};
    if (!request)
        return ZWP_AVI_FAIL("Failed to allocate memory");
    request->registry = registry;
    if (request_decode(request, frame + 4, announced) != 0) {
        zwp_avi_request_free(request);
        return 22;
    }
    *out = request;
    return 0;
}

void zwp_avi_request_free(zwp_avi_request_t *request)
{
    if (!request)
        return;
    if (request->arguments && request->argument_free)
        request->argument_free(request->arguments);
    if (request->results && request->result_free)
        request->result_free(request->results);
    std::free(request->network_id);
    std::free(request->name);
    std::free(request->user);
    delete request;
}

const char *zwp_avi_request_name_get(const zwp_avi_request_t *request) { return request ? request->name : nullptr; }
const char *zwp_avi_request_user_get(const zwp_avi_request_t *request) { return request ? request->user : nullptr; }
uint32_t zwp_avi_request_kind_get(const zwp_avi_request_t *request) { return request ? request->kind : 0; }
uint32_t zwp_avi_request_level_get(const zwp_avi_request_t *request) { return request ? request->level : 0; }
const char *zwp_avi_request_network_id_get(const zwp_avi_request_t *request)
{
    return request && request->chain ? request->network_id : nullptr;
}
zwu_time_t zwp_avi_request_network_utime_get(const zwp_avi_request_t *request) { return request ? request->utime : 0; }
uint32_t zwp_avi_request_node_id_get(const zwp_avi_request_t *request)
{
    return request ? request->ids[ZWP_AVI_LEVEL_NODE] : ~0u;
}
uint32_t zwp_avi_request_endpoint_id_get(const zwp_avi_request_t *request)
{
    return request ? request->ids[ZWP_AVI_LEVEL_ENDPOINT] : ~0u;
}
uint32_t zwp_avi_request_interface_id_get(const zwp_avi_request_t *request)
{
    return request ? request->ids[ZWP_AVI_LEVEL_INTERFACE] : ~0u;
}
uint32_t zwp_avi_request_passive_get(const zwp_avi_request_t *request) { return request ? request->passive : 0; }
