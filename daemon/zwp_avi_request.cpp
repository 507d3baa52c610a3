#include "daemon/zwp_avi_request.h"

#include "avi/zw_avro.h"
#include "avi/zw_avro_check.h"
#include "daemon/zwp_avi.h"
#include "daemon/zwp_log.h"
#include "daemon/zwp_net_list.h"
#include "daemon/zwp_net_ops.h"
#include "daemon/zwp_text.h"

#include <avro.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>

struct zwp_avi_request_t {
    uint32_t kind = ZWP_AVI_KIND_ROOT;
    uint32_t level = ZWP_AVI_LEVEL_ROOT;
    char *user = nullptr;
    char *name = nullptr;
    // The descriptor of the message's level.
    const zwp_avi_message *root = nullptr;
    const zwp_avi_message_networks *network = nullptr;
    const zwp_avi_message *node = nullptr;
    const zwp_avi_message_endpoints *endpoint = nullptr;
    const zwp_avi_message_interfaces *interface = nullptr;
    void *arguments = nullptr;
    zwp_avi_free_t argument_free = nullptr;
    void *results = nullptr;
    zwp_avi_free_t result_free = nullptr;
    zwp_avi_registry_t *registry = nullptr;
    // The level chain, flattened: each id is read only when the level
    // reaches it.
    bool chain = false;
    char *network_id = nullptr;
    zwu_time_t utime = 0;
    uint32_t node_id = ~0u;
    uint32_t endpoint_id = ~0u;
    uint32_t interface_id = ~0u;
    uint32_t passive = 0;
};

namespace {

// Owns one Avro value for the length of a scope.
struct value_guard {
    avro_value_t value{};
    bool held = false;
    value_guard() = default;
    value_guard(const value_guard &) = delete;
    value_guard &operator=(const value_guard &) = delete;
    ~value_guard()
    {
        if (held)
            avro_value_decref(&value);
    }
};

struct reader_guard {
    avro_reader_t reader = nullptr;
    ~reader_guard()
    {
        if (reader)
            avro_reader_free(reader);
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

// Messages that answer also while no network runs.
constexpr const char *served_without_network[] = {"network_summary_get", "network_version_get"};

bool is_served_without_network(const char *name)
{
    for (const char *served : served_without_network) {
        if (std::strcmp(name, served) == 0)
            return true;
    }
    return false;
}

bool is_network_exit(const char *name) { return std::strcmp(name, "network_exit") == 0; }

int descriptor_find(zwp_avi_request_t *request)
{
    zwp_avi_registry_t *registry = request->registry;
    const char *name = request->name;
    switch (request->level) {
    case ZWP_AVI_LEVEL_ROOT:
        return zwp_avi_root_message_find(zwp_avi_root_list_get(registry), name, &request->root);
    case ZWP_AVI_LEVEL_NETWORK:
        return zwp_avi_network_message_find(zwp_avi_network_list_get(registry), name, &request->network);
    case ZWP_AVI_LEVEL_NODE:
        return zwp_avi_node_message_find(zwp_avi_node_list_get(registry), name, &request->node);
    case ZWP_AVI_LEVEL_ENDPOINT:
        return zwp_avi_endpoint_message_find(zwp_avi_endpoint_list_get(registry), name, &request->endpoint);
    case ZWP_AVI_LEVEL_INTERFACE:
        return zwp_avi_interface_message_find(zwp_avi_interface_list_get(registry), name, &request->interface);
    default:
        return 22;
    }
}

zwp_avi_argument_handler_t argument_handler_of(const zwp_avi_request_t *request, zwp_avi_free_t *argument_free)
{
    switch (request->level) {
    case ZWP_AVI_LEVEL_ROOT:
        *argument_free = request->root->argument_free;
        return request->root->argument_handler;
    case ZWP_AVI_LEVEL_NETWORK:
        *argument_free = request->network->argument_free;
        return request->network->argument_handler;
    case ZWP_AVI_LEVEL_NODE:
        *argument_free = request->node->argument_free;
        return request->node->argument_handler;
    case ZWP_AVI_LEVEL_ENDPOINT:
        *argument_free = request->endpoint->argument_free;
        return request->endpoint->argument_handler;
    default:
        *argument_free = request->interface->argument_free;
        return request->interface->argument_handler;
    }
}

zwp_avi_result_handler_t result_handler_of(const zwp_avi_request_t *request)
{
    switch (request->level) {
    case ZWP_AVI_LEVEL_ROOT:
        return request->root ? request->root->result_handler : nullptr;
    case ZWP_AVI_LEVEL_NETWORK:
        return request->network ? request->network->result_handler : nullptr;
    case ZWP_AVI_LEVEL_NODE:
        return request->node ? request->node->result_handler : nullptr;
    case ZWP_AVI_LEVEL_ENDPOINT:
        return request->endpoint ? request->endpoint->result_handler : nullptr;
    default:
        return request->interface ? request->interface->result_handler : nullptr;
    }
}

int arguments_read(zwp_avi_request_t *request, avro_value_t *branch, const char *type_name)
{
    avro_value_t parameter;
    if (avro_value_get_by_name(branch, "parameter", &parameter, nullptr) != 0)
        return 0;
    zwp_avi_free_t argument_free = nullptr;
    const zwp_avi_argument_handler_t handler = argument_handler_of(request, &argument_free);
    if (!handler)
        return 0;
    void *arguments = nullptr;
    if (handler(&parameter, &arguments) != 0) {
        ZWS_LOG_ERROR("Failed to get arguments for type '%s'", type_name);
        if (arguments && argument_free)
            argument_free(arguments);
        return 22;
    }
    request->arguments = arguments;
    request->argument_free = argument_free;
    return 0;
}

// The level records of the command, each inside the one below it.
int network_read(zwp_avi_request_t *request, avro_value_t *network)
{
    avro_value_t id;
    const char *text = nullptr;
    size_t size = 0;
    if (avro_value_get_by_name(network, "id", &id, nullptr) != 0 || avro_value_get_string(&id, &text, &size) != 0 ||
        size == 0) {
        ZWS_LOG_ERROR("Failed to get argument of type index '%s'", "id");
        return 22;
    }
    char *copy = copy_text(text, size - 1);
    if (!copy)
        return 22;
    std::free(request->network_id);
    request->network_id = copy;
    return 0;
}

int inner_read(avro_value_t *record, const char *inner_name, const char *type_name, avro_value_t *inner)
{
    if (avro_value_get_by_name(record, inner_name, inner, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get argument of type '%s': %s", type_name, avro_strerror());
        return 22;
    }
    return 0;
}

int id_read(avro_value_t *record, const char *type_name, uint32_t *id)
{
    avro_value_t field;
    int32_t value = 0;
    if (avro_value_get_by_name(record, "id", &field, nullptr) != 0 || avro_value_get_int(&field, &value) != 0) {
        ZWS_LOG_ERROR("Failed to get argument of type '%s'", type_name);
        return 22;
    }
    *id = static_cast<uint32_t>(value);
    return 0;
}

int node_read(zwp_avi_request_t *request, avro_value_t *node)
{
    avro_value_t network;
    if (inner_read(node, "network", "Network", &network) != 0 || network_read(request, &network) != 0)
        return 22;
    return id_read(node, "Node", &request->node_id);
}

int endpoint_read(zwp_avi_request_t *request, avro_value_t *endpoint)
{
    avro_value_t node;
    if (inner_read(endpoint, "node", "Node", &node) != 0 || node_read(request, &node) != 0)
        return 22;
    return id_read(endpoint, "Endpoint", &request->endpoint_id);
}

int interface_read(zwp_avi_request_t *request, avro_value_t *interface)
{
    avro_value_t endpoint;
    if (inner_read(interface, "endpoint", "Endpoint", &endpoint) != 0 || endpoint_read(request, &endpoint) != 0)
        return 22;
    return id_read(interface, "Interface", &request->interface_id);
}

constexpr const char *level_field[] = {"command", "network", "node", "endpoint", "interface"};

int chain_read(zwp_avi_request_t *request, avro_value_t *branch, const char *type_name)
{
    avro_value_t command;
    if (avro_value_get_by_name(branch, "command", &command, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get 'command' field within argument of type '%s': %s", type_name, avro_strerror());
        return 22;
    }
    if (request->level == ZWP_AVI_LEVEL_ROOT)
        return 0;
    avro_value_t record;
    if (avro_value_get_by_name(&command, level_field[request->level], &record, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get '%s' field within argument of type '%s': %s", level_field[request->level],
                      type_name, avro_strerror());
        return 22;
    }
    switch (request->level) {
    case ZWP_AVI_LEVEL_NETWORK:
        return network_read(request, &record);
    case ZWP_AVI_LEVEL_NODE:
        return node_read(request, &record);
    case ZWP_AVI_LEVEL_ENDPOINT:
        return endpoint_read(request, &record);
    default:
        break;
    }
    if (interface_read(request, &record) != 0)
        return 22;
    // A missing or unreadable flag means an active request.
    avro_value_t passive;
    int flag = 0;
    if (avro_value_get_by_name(&command, "passive", &passive, nullptr) == 0 &&
        avro_value_get_boolean(&passive, &flag) == 0)
        request->passive = flag ? 1 : 0;
    // Each class module reads only its own interfaces' state: the message
    // must be one that serves the addressed interface's class.
    return zwp_avi_interface_message_find_for_class(zwp_avi_interface_list_get(request->registry), request->name,
                                                    request->interface_id, &request->interface);
}

// The three values of a request, checked against their schemas before
// the Avro library allocates anything for them.
int payload_check(zwp_avro_schema_t *schema, const uint8_t *payload, size_t size)
{
    constexpr const char *short_data = "a length, count or branch does not fit the data";
    avro_schema_t types = zwp_avro_schema_types_get(schema);
    int index = -1;
    avro_schema_t cookies = avro_schema_union_branch_by_name(types, &index, "Cookies");
    size_t at = 0, used = 0;
    if (zw_avro_check_binary(cookies, payload, size, &used) != 0) {
        ZWS_LOG_ERROR("Failed to read cookies value: %s", short_data);
        return 22;
    }
    at += used;
    avro_schema_t string = avro_schema_string();
    const int name = zw_avro_check_binary(string, payload + at, size - at, &used);
    avro_schema_decref(string);
    if (name != 0) {
        ZWS_LOG_ERROR("Failed to read message name value: %s", short_data);
        return 22;
    }
    at += used;
    if (zw_avro_check_binary(types, payload + at, size - at, &used) != 0) {
        ZWS_LOG_ERROR("Failed to read request value: %s", short_data);
        return 22;
    }
    return 0;
}

int request_decode(zwp_avi_request_t *request, const uint8_t *payload, size_t size)
{
    zwp_avro_schema_t *schema = zwp_avi_schema_get(request->registry);
    if (!schema)
        return 22;
    if (payload_check(schema, payload, size) != 0)
        return 22;
    reader_guard reader;
    reader.reader = avro_reader_memory(reinterpret_cast<const char *>(payload), static_cast<int64_t>(size));
    if (!reader.reader) {
        ZWS_LOG_ERROR("Failed to create avro reader: %s", avro_strerror());
        return 22;
    }

    value_guard cookies;
    if (avro_generic_value_new(zwp_avro_schema_cookies_iface_get(schema), &cookies.value) != 0) {
        ZWS_LOG_ERROR("Failed to allocate 'Cookies' record from interface: %s", avro_strerror());
        return 22;
    }
    cookies.held = true;
    if (avro_value_read(reader.reader, &cookies.value) != 0) {
        ZWS_LOG_ERROR("Failed to read cookies value: %s", avro_strerror());
        return 22;
    }
    avro_value_t user;
    if (avro_value_get_by_name(&cookies.value, "user", &user, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get 'user' field from 'Cookies' record: %s", avro_strerror());
        return 22;
    }
    int user_branch = -1;
    if (avro_value_get_discriminant(&user, &user_branch) != 0) {
        ZWS_LOG_ERROR("Failed to get branch number of 'user' field: %s", avro_strerror());
        return 22;
    }
    if (user_branch == 0) {
        avro_value_t text_value;
        const char *text = nullptr;
        size_t text_size = 0;
        if (avro_value_get_current_branch(&user, &text_value) != 0) {
            ZWS_LOG_ERROR("Failed to get 'user' field in branch '0': %s", avro_strerror());
            return 22;
        }
        if (avro_value_get_string(&text_value, &text, &text_size) != 0 || text_size == 0) {
            ZWS_LOG_ERROR("Failed to get 'user' string: %s", avro_strerror());
            return 22;
        }
        if (!(request->user = copy_text(text, text_size - 1)))
            return 22;
    }

    value_guard message;
    if (avro_generic_string_new(&message.value, "") != 0) {
        ZWS_LOG_ERROR("Failed to allocate 'message' value: %s", avro_strerror());
        return 22;
    }
    message.held = true;
    if (avro_value_read(reader.reader, &message.value) != 0) {
        ZWS_LOG_ERROR("Failed to read message name value: %s", avro_strerror());
        return 22;
    }
    const char *name = nullptr;
    size_t name_size = 0;
    if (avro_value_get_string(&message.value, &name, &name_size) != 0 || name_size == 0) {
        ZWS_LOG_ERROR("Failed to get 'message name' string: %s", avro_strerror());
        return 22;
    }
    // A NUL inside the name would let "x\0y" pass for "x".
    if (std::memchr(name, '\0', name_size - 1)) {
        ZWS_LOG_ERROR("Failed to get 'message name' string: %s", "embedded NUL");
        return 22;
    }
    if (!(request->name = copy_text(name, name_size - 1)))
        return 22;

    value_guard argument;
    if (avro_generic_value_new(zwp_avro_schema_types_iface_get(schema), &argument.value) != 0) {
        ZWS_LOG_ERROR("Failed to get arg value from type interface: %s", avro_strerror());
        return 22;
    }
    argument.held = true;
    if (avro_value_read(reader.reader, &argument.value) != 0) {
        ZWS_LOG_ERROR("Failed to read request value: %s", avro_strerror());
        return 22;
    }
    avro_value_t branch;
    if (avro_value_get_current_branch(&argument.value, &branch) != 0) {
        ZWS_LOG_ERROR("Failed to get current branch of request union: %s", avro_strerror());
        return 22;
    }
    avro_schema_t branch_schema = avro_value_get_schema(&branch);
    if (!branch_schema) {
        ZWS_LOG_ERROR("Failed to get schema of return value: %s", avro_strerror());
        return 22;
    }
    const char *type_name = avro_schema_type_name(branch_schema);
    if (!type_name) {
        ZWS_LOG_ERROR("Failed to get type name for return schema: %s", avro_strerror());
        return 22;
    }

    const level_rule *rule = level_rule_find(request->name);
    if (!rule) {
        ZWS_LOG_ERROR("Failed to detect the message level for '%s'", request->name);
        return 22;
    }
    request->kind = rule->kind;
    request->level = rule->level;
    if (descriptor_find(request) != 0)
        return 22;
    request->chain = request->kind == ZWP_AVI_KIND_LEVELED ||
                     (request->kind == ZWP_AVI_KIND_IFTTT && request->level != ZWP_AVI_LEVEL_ROOT);

    if (avro_value_get_type(&branch) != AVRO_RECORD || std::strcmp(type_name, "Void") == 0)
        return 0;
    if (chain_read(request, &branch, type_name) != 0)
        return 22;
    return arguments_read(request, &branch, type_name);
}

// Execution.

using steady = std::chrono::steady_clock;

struct desc_lock_guard {
    zwp_net_t *net = nullptr;
    bool held = false;
    ~desc_lock_guard() { release(); }
    void release()
    {
        if (held) {
            const zwp_net_ops_t *ops = zwp_net_ops_get();
            if (ops->desc_unlock)
                ops->desc_unlock(net);
            held = false;
        }
    }
};

// Takes the descriptor lock; with need_tree the network must have a tree.
int desc_lock(zwp_net_t *net, bool need_tree, desc_lock_guard &guard)
{
    const zwp_net_ops_t *ops = zwp_net_ops_get();
    int (*lock)(zwp_net_t *) = need_tree ? ops->desc_lock : ops->desc_lock_any;
    if (!net || !lock || !ops->desc_unlock || lock(net) != 0)
        return 22;
    guard.net = net;
    guard.held = true;
    return 0;
}

int root_execute(zwp_net_list_t *net_list, zwp_avi_request_t *request)
{
    const zwp_avi_message *message = request->root;
    request->result_free = message->result_free;
    if (message->call.root &&
        message->call.root(net_list, request->user, request->arguments, &request->results, message) != 0)
        return 22;
    return 0;
}

int network_level_execute(zwp_avi_request_t *request, zwp_net_t *net)
{
    const zwp_avi_message_networks *message = request->network;
    const zwp_net_ops_t *ops = zwp_net_ops_get();
    request->result_free = message->result_free;
    request->utime = 0;
    if (is_network_exit(request->name) || !net)
        return !message->call || message->call(net, request->arguments, &request->results) == 0 ? 0 : 22;
    desc_lock_guard guard;
    if (desc_lock(net, message->flag == 1, guard) != 0)
        return 22;
    if (message->call && message->call(net, request->arguments, &request->results) != 0)
        return 22;
    request->utime = ops->tree_utime ? ops->tree_utime(net) : 0;
    return 0;
}

int node_level_execute(zwp_avi_request_t *request, zwp_net_t *net)
{
    const zwp_net_ops_t *ops = zwp_net_ops_get();
    desc_lock_guard guard;
    const zwnode_desc_t *node = nullptr;
    if (desc_lock(net, true, guard) != 0 || !ops->node_find || ops->node_find(net, request->node_id, &node) != 0)
        return 22;
    request->result_free = request->node->result_free;
    if (request->node->call.node && request->node->call.node(node, request->arguments, &request->results) != 0)
        return 22;
    return 0;
}

int endpoint_level_execute(zwp_avi_request_t *request, zwp_net_t *net)
{
    const zwp_net_ops_t *ops = zwp_net_ops_get();
    desc_lock_guard guard;
    const zwep_desc_t *ep = nullptr;
    if (desc_lock(net, true, guard) != 0 || !ops->ep_find ||
        ops->ep_find(net, request->node_id, request->endpoint_id, &ep) != 0)
        return 22;
    request->result_free = request->endpoint->result_free;
    if (request->endpoint->call && request->endpoint->call(ep, request->arguments, &request->results) != 0)
        return 22;
    return 0;
}

int interface_find(const zwp_avi_request_t *request, zwp_net_t *net, const zwif_desc_t **intf)
{
    const zwp_net_ops_t *ops = zwp_net_ops_get();
    return ops->if_find && ops->if_find(net, request->node_id, request->endpoint_id, request->interface_id, intf) == 0
               ? 0
               : 22;
}

// The wait for the device's report after a get. The budget is one deadline
// on the monotonic clock: however often the condition variable is
// signalled before the awaited report is there, the wait as a whole never
// outlasts the configured time-out.
int report_wait(zwp_avi_request_t *request, zwp_net_t *net, uint32_t timeout_seconds, const zwif_desc_t **intf)
{
    const zwp_avi_message_interfaces *message = request->interface;
    const zwp_net_ops_t *ops = zwp_net_ops_get();
    const auto budget_total = std::chrono::microseconds(static_cast<int64_t>(timeout_seconds) * 1000000);
    const steady::time_point deadline = steady::now() + budget_total;
    int64_t budget = budget_total.count();
    for (;;) {
        if (!ops->desc_tree_present || ops->desc_tree_present(net) != 0)
            return 22;
        // The tree may have changed while the lock was given up.
        if (interface_find(request, net, intf) != 0)
            return 22;
        zwu_cond_t *cond = nullptr;
        if (message->report_wait(*intf, request->arguments, &cond) == 0)
            return 0;
        if (!cond || !ops->report_timedwait)
            return 22;
        const int waited = ops->report_timedwait(net, cond, budget);
        if (waited == 0) {
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - steady::now());
            budget = left.count() > 0 ? left.count() : 0;
            continue;
        }
        if (waited == ZWU_COND_TIMEDOUT) {
            ZWS_LOG_INFORMATION("Timed out on waiting for report after %ld microseconds", static_cast<long>(budget));
            return 0;
        }
        return 22;
    }
}

int interface_level_execute(zwp_net_list_t *net_list, zwp_avi_request_t *request, zwp_net_t *net)
{
    const zwp_avi_message_interfaces *message = request->interface;
    const zwp_net_ops_t *ops = zwp_net_ops_get();
    const zwif_desc_t *intf = nullptr;
    request->result_free = message->result_free;
    if (!net)
        return 22;
    if (!request->passive && message->hcapi_call) {
        desc_lock_guard guard;
        if (desc_lock(net, true, guard) != 0 || interface_find(request, net, &intf) != 0)
            return 22;
        if (!ops->tx_status_reset || ops->tx_status_reset(net) != 0)
            return 22;
        uint32_t status = 0;
        if (message->hcapi_call(intf, request->arguments, &status) != 0)
            return 22;
        if (status > 2) {
            ZWS_LOG_ERROR("HCAPI call for '%s' failed with '%s'", request->name,
                          zwp_err_str(static_cast<int>(status)));
            return 22;
        }
        if (status == 0) {
            uint8_t tx_status = 0;
            if (!ops->tx_status_wait || ops->tx_status_wait(net, &tx_status) != 0)
                return 22;
            if (tx_status != 0) {
                ZWS_LOG_ERROR("Transmit for '%s' failed with status %u", request->name,
                              static_cast<unsigned>(tx_status));
                return 22;
            }
        }
        if (status != 1 && message->report_wait &&
            report_wait(request, net, zwp_net_list_report_wait_timeout_get(net_list), &intf) != 0)
            return 22;
    }
    if (!message->result_get)
        return 0;
    desc_lock_guard guard;
    if (desc_lock(net, true, guard) != 0 || interface_find(request, net, &intf) != 0)
        return 22;
    return message->result_get(intf, request->arguments, &request->results) == 0 ? 0 : 22;
}

int levels_execute(zwp_net_list_t *net_list, zwp_avi_request_t *request, zwp_net_t *net)
{
    switch (request->level) {
    case ZWP_AVI_LEVEL_NETWORK:
        return network_level_execute(request, net);
    case ZWP_AVI_LEVEL_NODE:
        return net ? node_level_execute(request, net) : 22;
    case ZWP_AVI_LEVEL_ENDPOINT:
        return net ? endpoint_level_execute(request, net) : 22;
    case ZWP_AVI_LEVEL_INTERFACE:
        return interface_level_execute(net_list, request, net);
    default:
        return 22;
    }
}

int network_path_execute(zwp_net_list_t *net_list, zwp_avi_request_t *request)
{
    // One network serves every request, whatever id the client named.
    char *fixed = copy_text(ZWP_NET_LIST_FIXED_ID_TEXT, std::strlen(ZWP_NET_LIST_FIXED_ID_TEXT));
    if (!fixed)
        return 22;
    std::free(request->network_id);
    request->network_id = fixed;

    zwp_net_t *net = nullptr;
    if (zwp_net_list_net_get(net_list, &net) != 0) {
        net = nullptr;
        ZWS_LOG_INFORMATION("Unable to find '%s' in the list of connected networks", request->network_id);
        if (!(request->level == ZWP_AVI_LEVEL_NETWORK && is_served_without_network(request->name)))
            return 22;
    }
    const int result = levels_execute(net_list, request, net);
    // network_exit hands its reference to the stop it starts.
    if (net && !is_network_exit(request->name)) {
        const zwp_net_ops_t *ops = zwp_net_ops_get();
        if (ops->unref)
            ops->unref(net);
    }
    return result;
}

// Reply writing.

int network_write(const zwp_avi_request_t *request, avro_value_t *network)
{
    return zw_avro_field_set_string(network, "id", request->network_id ? request->network_id : "") == 0 ? 0 : 22;
}

int inner_get(avro_value_t *record, const char *name, const char *type_name, avro_value_t *inner)
{
    if (avro_value_get_by_name(record, name, inner, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to set argument of type '%s': %s", type_name, avro_strerror());
        return 22;
    }
    return 0;
}

int id_write(avro_value_t *record, const char *type_name, uint32_t id)
{
    if (zw_avro_field_set_int(record, "id", static_cast<int32_t>(id)) != 0) {
        ZWS_LOG_ERROR("Failed to set argument of type '%s'", type_name);
        return 22;
    }
    return 0;
}

int node_write(const zwp_avi_request_t *request, avro_value_t *node)
{
    avro_value_t network;
    if (inner_get(node, "network", "Network", &network) != 0 || network_write(request, &network) != 0)
        return 22;
    return id_write(node, "Node", request->node_id);
}

int endpoint_write(const zwp_avi_request_t *request, avro_value_t *endpoint)
{
    avro_value_t node;
    if (inner_get(endpoint, "node", "Node", &node) != 0 || node_write(request, &node) != 0)
        return 22;
    return id_write(endpoint, "Endpoint", request->endpoint_id);
}

int interface_write(const zwp_avi_request_t *request, avro_value_t *interface)
{
    avro_value_t endpoint;
    if (inner_get(interface, "endpoint", "Endpoint", &endpoint) != 0 || endpoint_write(request, &endpoint) != 0)
        return 22;
    return id_write(interface, "Interface", request->interface_id);
}

int command_write(const zwp_avi_request_t *request, avro_value_t *branch, const char *type_name)
{
    avro_value_t command;
    if (avro_value_get_by_name(branch, "command", &command, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get 'command' field within argument of type '%s': %s", type_name, avro_strerror());
        return 22;
    }
    if (request->level == ZWP_AVI_LEVEL_ROOT)
        return 0;
    avro_value_t record;
    if (avro_value_get_by_name(&command, level_field[request->level], &record, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to set argument of type '%s': %s", type_name, avro_strerror());
        return 22;
    }
    switch (request->level) {
    case ZWP_AVI_LEVEL_NETWORK:
        if (network_write(request, &record) != 0 ||
            zw_avro_field_set_long(&command, "utime", static_cast<int64_t>(request->utime)) != 0) {
            ZWS_LOG_ERROR("Failed to set argument of type '%s'", type_name);
            return 22;
        }
        return 0;
    case ZWP_AVI_LEVEL_NODE:
        return node_write(request, &record);
    case ZWP_AVI_LEVEL_ENDPOINT:
        return endpoint_write(request, &record);
    default:
        return interface_write(request, &record);
    }
}

int reply_value_fill(const zwp_avi_request_t *request, avro_value_t *branch, const char *type_name)
{
    if (avro_value_get_type(branch) != AVRO_RECORD || std::strcmp(type_name, "Void") == 0)
        return 0;
    if (command_write(request, branch, type_name) != 0)
        return 22;
    avro_value_t parameter;
    const zwp_avi_result_handler_t handler = result_handler_of(request);
    if (!handler || avro_value_get_by_name(branch, "parameter", &parameter, nullptr) != 0)
        return 0;
    if (handler(request->results, &parameter) != 0) {
        ZWS_LOG_ERROR("Failed to set results for type '%s'", type_name);
        return 22;
    }
    return 0;
}

// The value after a 4-byte prefix in a buffer that starts at one step and
// grows by one step each time the writer runs out of room.
int reply_serialise(avro_value_t *value, uint8_t **buffer, size_t *length)
{
    size_t capacity = ZWP_AVI_RESPONSE_BUFFER_STEP;
    uint8_t *data = nullptr;
    for (;;) {
        auto *grown = static_cast<uint8_t *>(std::realloc(data, capacity));
        if (!grown) {
            ZWS_LOG_ERROR("Failed to allocate memory");
            std::free(data);
            return 22;
        }
        data = grown;
        avro_writer_t writer = avro_writer_memory(reinterpret_cast<char *>(data) + 4,
                                                  static_cast<int64_t>(capacity - 4));
        if (!writer) {
            ZWS_LOG_ERROR("Failed to create avro writer: %s", avro_strerror());
            std::free(data);
            return 22;
        }
        const int written = avro_value_write(writer, value);
        if (written == ENOSPC) {
            avro_writer_free(writer);
            capacity += ZWP_AVI_RESPONSE_BUFFER_STEP;
            continue;
        }
        if (written != 0) {
            ZWS_LOG_ERROR("Failed to write response value: %s", avro_strerror());
            avro_writer_free(writer);
            std::free(data);
            return 22;
        }
        const int64_t size = avro_writer_tell(writer);
        avro_writer_free(writer);
        if (size < 0) {
            ZWS_LOG_ERROR("Failed to get buffer size from writer: %s", avro_strerror());
            std::free(data);
            return 22;
        }
        if (static_cast<uint64_t>(size) > 0xFFFFFFFFull) {
            ZWS_LOG_ERROR("Failed to build Avro frame: Message length is too long");
            std::free(data);
            return 22;
        }
        const auto n = static_cast<uint32_t>(size);
        data[0] = static_cast<uint8_t>(n >> 24);
        data[1] = static_cast<uint8_t>(n >> 16);
        data[2] = static_cast<uint8_t>(n >> 8);
        data[3] = static_cast<uint8_t>(n);
        *buffer = data;
        *length = static_cast<size_t>(n) + 4;
        return 0;
    }
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
    if (announced > length - 4) {
        ZWS_LOG_ERROR("Failed to create avro reader: %s", "frame shorter than its length");
        return 22;
    }
    auto *request = new (std::nothrow) zwp_avi_request_t{};
    if (!request) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    request->registry = registry;
    if (request_decode(request, frame + 4, announced) != 0) {
        zwp_avi_request_free(request);
        return 22;
    }
    *out = request;
    return 0;
}

int zwp_net_list_request_execute(zwp_net_list_t *net_list, zwp_avi_request_t *request)
{
    if (!request || !request->name)
        return 22;
    switch (request->kind) {
    case ZWP_AVI_KIND_ROOT:
        return request->root ? root_execute(net_list, request) : 22;
    case ZWP_AVI_KIND_LEVELED:
        return network_path_execute(net_list, request);
    case ZWP_AVI_KIND_IFTTT:
        if (request->level == ZWP_AVI_LEVEL_NETWORK || request->level == ZWP_AVI_LEVEL_INTERFACE)
            return network_path_execute(net_list, request);
        return 0;
    default:
        return 22;
    }
}

int zwp_avi_response_write(zwp_avi_request_t *request, uint8_t **buffer, size_t *length)
{
    if (!request || !request->name || !buffer || !length)
        return 22;
    zwp_avro_schema_t *schema = zwp_avi_schema_get(request->registry);
    avro_schema_t messages = zwp_avro_schema_messages_get(schema);
    avro_schema_t types = zwp_avro_schema_types_get(schema);
    if (!messages || !types)
        return 22;
    const char *name = request->name;
    avro_schema_t entry = zw_avro_schema_record_field_get(messages, name);
    if (!entry || !is_avro_record(entry)) {
        ZWS_LOG_ERROR("Failed to get the schema of '%s' message: %s", name, avro_strerror());
        return 22;
    }
    avro_schema_t response = zw_avro_schema_record_field_get(entry, "response");
    if (!response) {
        ZWS_LOG_ERROR("Failed to get the response schema of '%s' message: %s", name, avro_strerror());
        return 22;
    }
    const char *type_name = avro_schema_type_name(response);
    if (!type_name) {
        ZWS_LOG_ERROR("Failed to get type name for response schema of '%s' message: %s", name, avro_strerror());
        return 22;
    }
    int index = -1;
    if (!avro_schema_union_branch_by_name(types, &index, type_name)) {
        ZWS_LOG_ERROR("Failed to get '%s' schema from 'types' schema: %s", type_name, avro_strerror());
        return 22;
    }
    value_guard value;
    if (avro_generic_value_new(zwp_avro_schema_types_iface_get(schema), &value.value) != 0) {
        ZWS_LOG_ERROR("Failed to get arg value from type interface '%s': %s", type_name, avro_strerror());
        return 22;
    }
    value.held = true;
    avro_value_t branch;
    if (avro_value_set_branch(&value.value, index, &branch) != 0) {
        ZWS_LOG_ERROR("Failed to set branch '%s' of 'types' value: %s", type_name, avro_strerror());
        return 22;
    }
    if (reply_value_fill(request, &branch, type_name) != 0)
        return 22;
    return reply_serialise(&value.value, buffer, length);
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
uint32_t zwp_avi_request_node_id_get(const zwp_avi_request_t *request) { return request ? request->node_id : ~0u; }
uint32_t zwp_avi_request_endpoint_id_get(const zwp_avi_request_t *request)
{
    return request ? request->endpoint_id : ~0u;
}
uint32_t zwp_avi_request_interface_id_get(const zwp_avi_request_t *request)
{
    return request ? request->interface_id : ~0u;
}
uint32_t zwp_avi_request_passive_get(const zwp_avi_request_t *request) { return request ? request->passive : 0; }
