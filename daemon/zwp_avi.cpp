#include "daemon/zwp_avi.h"

#include "avi/zw_avro.h"
#include "daemon/zwp_avi_network_info.h"
#include "daemon/zwp_avi_node.h"
#include "daemon/zwp_avi_root.h"
#include "daemon/zwp_avi_network_ops.h"
#include "daemon/zwp_avi_whitelist.h"
#include "daemon/zwp_log.h"
#include "util/zws_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>

namespace {

// Looked up by the name a request carries, without making a string of it.
struct name_hash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
};

} // namespace

struct zwp_avro_schema_t {
    avro_schema_t protocol;
    avro_schema_t types;
    avro_value_iface_t *types_iface;
    avro_value_iface_t *cookies_iface;
    avro_schema_t messages;
    avro_schema_t cookies;
    // Every request reads its message's entry of "messages" and every reply
    // its response's branch of "types": resolved once here rather than by
    // name lookups in the schema per request.
    std::unordered_map<std::string, zwp_avro_message_types_t, name_hash, std::equal_to<>> message_types;
};

struct zwp_avi_registry_t {
    zwu_array_list_t root;
    zwu_array_list_t network;
    zwu_array_list_t node;
    zwu_array_list_t endpoint;
    zwu_array_list_t interface;
    zwp_avro_schema_t *schema;
    zwp_desc_if_setup_fn interface_setup;
};

namespace
{

std::mutex g_singleton_lock;
zwp_avro_schema_t *g_schema = nullptr;
zwp_avi_registry_t *g_registry = nullptr;

void schema_release(zwp_avro_schema_t *schema)
{
    if (schema->cookies_iface)
        avro_value_iface_decref(schema->cookies_iface);
    if (schema->types_iface)
        avro_value_iface_decref(schema->types_iface);
    if (schema->protocol)
        avro_schema_decref(schema->protocol);
    delete schema;
}

// The messages the file describes completely; any other is left to the
// lookups in the schema, which report what is missing.
void message_types_resolve(zwp_avro_schema_t *schema)
{
    const size_t count = avro_schema_record_size(schema->messages);
    for (size_t i = 0; i < count; i++) {
        const char *name = avro_schema_record_field_name(schema->messages, static_cast<int>(i));
        avro_schema_t entry = avro_schema_record_field_get_by_index(schema->messages, static_cast<int>(i));
        if (!name || !entry || !is_avro_record(entry))
            continue;
        avro_schema_t request = zw_avro_schema_record_field_get(entry, "request");
        avro_schema_t response = zw_avro_schema_record_field_get(entry, "response");
        const char *request_type = request ? avro_schema_type_name(request) : nullptr;
        const char *response_type = response ? avro_schema_type_name(response) : nullptr;
        int branch = -1;
        if (!request_type || !response_type || !avro_schema_union_branch_by_name(schema->types, &branch, response_type))
            continue;
        try {
            schema->message_types.emplace(name, zwp_avro_message_types_t{request_type, response_type, branch});
        } catch (const std::bad_alloc &) {
            // Without the table every request looks into the schema itself.
            schema->message_types.clear();
            return;
        }
    }
}

int schema_load(zwp_avro_schema_t *schema, const char *dir)
{
    const std::string path = std::string(dir) + "/" + "zwave.avsc";
    char *text = nullptr;
    int length = 0;
    if (zws_read_from_file_path_with_dest_alloc(path.c_str(), &text, &length, 0) != 0)
        return 22;
    const int parsed = avro_schema_from_json_length(text, static_cast<size_t>(length), &schema->protocol);
    zws_read_dest_free(text);
    if (parsed != 0) {
        schema->protocol = nullptr;
        ZWS_LOG_ERROR("Failed to get schema from JSON text of file '%s': %s", path.c_str(), avro_strerror());
        return 22;
    }
    if (!(schema->types = zw_avro_schema_record_field_get(schema->protocol, "types"))) {
        ZWS_LOG_ERROR("Failed to get the 'types' subschema: %s", avro_strerror());
        return 22;
    }
    if (!is_avro_union(schema->types) || !(schema->types_iface = avro_generic_class_from_schema(schema->types))) {
        ZWS_LOG_ERROR("Failed to get 'Types' interface from schema: %s", avro_strerror());
        return 22;
    }
    int index = -1;
    avro_schema_t cookies = avro_schema_union_branch_by_name(schema->types, &index, "Cookies");
    if (!cookies) {
        ZWS_LOG_ERROR("Failed to get 'Cookies' schema from 'types' schema: %s", avro_strerror());
        return 22;
    }
    if (!(schema->cookies_iface = avro_generic_class_from_schema(cookies))) {
        ZWS_LOG_ERROR("Failed to get 'Cookie' interface from schema: %s", avro_strerror());
        return 22;
    }
    schema->cookies = cookies;
    schema->messages = zw_avro_schema_record_field_get(schema->protocol, "messages");
    if (!schema->messages || !is_avro_record(schema->messages)) {
        ZWS_LOG_ERROR("Failed to get the 'messages' subschema: %s", avro_strerror());
        return 22;
    }
    message_types_resolve(schema);
    return 0;
}

// Families of descriptors, in registration order: root, network, node,
// endpoint; the message layer's interface families (class by class), then
// its scenes and security scenes into the network list, follow.
struct registry_family {
    zwu_array_list_t (*list)(const zwp_avi_registry_t *registry);
    int (*register_all)(zwu_array_list_t list);
};

constexpr registry_family registry_families[] = {
    {zwp_avi_root_list_get, zwp_avi_root_register},
    {zwp_avi_network_list_get, zwp_avi_networks_info_register},
    {zwp_avi_network_list_get, zwp_avi_networks_ops_register},
    {zwp_avi_network_list_get, zwp_avi_networks_state_register},
    {zwp_avi_network_list_get, zwp_avi_networks_whitelist_register},
    {zwp_avi_node_list_get, zwp_avi_nodes_register},
    {zwp_avi_endpoint_list_get, zwp_avi_endpoints_register},
};

void registry_lists_destroy(zwp_avi_registry_t *registry)
{
    for (zwu_array_list_t *list :
         {&registry->root, &registry->network, &registry->node, &registry->endpoint, &registry->interface}) {
        if (*list)
            zwu_array_list_destroy(*list);
        *list = nullptr;
    }
}

} // namespace

int zwp_avro_schema_init(zwp_avro_schema_t **out, const char *dir)
{
    if (!out || !dir)
        return 22;
    std::lock_guard<std::mutex> guard(g_singleton_lock);
    if (g_schema) {
        ZWS_LOG_WARN("Multiple calls to singleton object");
        *out = g_schema;
        return 0;
    }
    auto *schema = new (std::nothrow) zwp_avro_schema_t{};
    if (!schema) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    if (schema_load(schema, dir) != 0) {
        schema_release(schema);
        return 22;
    }
    g_schema = schema;
    *out = schema;
    return 0;
}

void zwp_avro_schema_exit(zwp_avro_schema_t *schema)
{
    if (!schema)
        return;
    std::lock_guard<std::mutex> guard(g_singleton_lock);
    if (g_schema == schema)
        g_schema = nullptr;
    schema_release(schema);
}

avro_schema_t zwp_avro_schema_types_get(const zwp_avro_schema_t *schema) { return schema ? schema->types : nullptr; }
avro_value_iface_t *zwp_avro_schema_types_iface_get(const zwp_avro_schema_t *schema)
{
    return schema ? schema->types_iface : nullptr;
}
avro_value_iface_t *zwp_avro_schema_cookies_iface_get(const zwp_avro_schema_t *schema)
{
    return schema ? schema->cookies_iface : nullptr;
}
avro_schema_t zwp_avro_schema_messages_get(const zwp_avro_schema_t *schema)
{
    return schema ? schema->messages : nullptr;
}
avro_schema_t zwp_avro_schema_cookies_get(const zwp_avro_schema_t *schema)
{
    return schema ? schema->cookies : nullptr;
}
const zwp_avro_message_types_t *zwp_avro_schema_message_types_get(const zwp_avro_schema_t *schema, const char *name)
{
    if (!schema || !name)
        return nullptr;
    const auto found = schema->message_types.find(std::string_view(name));
    return found != schema->message_types.end() ? &found->second : nullptr;
}

int zwp_avi_init(zwp_avi_registry_t **out, const char *dir, const zwp_avi_layer_t *layer)
{
    if (!out || !dir)
        return 22;
    {
        std::lock_guard<std::mutex> guard(g_singleton_lock);
        if (g_registry) {
            ZWS_LOG_WARN("Multiple calls to singleton object");
            *out = g_registry;
            return 0;
        }
    }
    auto *registry = new (std::nothrow) zwp_avi_registry_t{};
    if (!registry) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    if (zwp_avro_schema_init(&registry->schema, dir) != 0) {
        delete registry;
        return 22;
    }
    for (zwu_array_list_t *list :
         {&registry->root, &registry->network, &registry->node, &registry->endpoint, &registry->interface}) {
        if (zwu_array_list_create(0, list) != 0) {
            ZWS_LOG_ERROR("Failed to create message list");
            registry_lists_destroy(registry);
            zwp_avro_schema_exit(registry->schema);
            delete registry;
            return 22;
        }
    }
    bool registered = true;
    for (const registry_family &family : registry_families)
        registered = registered && family.register_all(family.list(registry)) == 0;
    if (registered && layer && layer->interfaces_register)
        registered = layer->interfaces_register(registry->interface) == 0;
    if (!registered) {
        registry_lists_destroy(registry);
        zwp_avro_schema_exit(registry->schema);
        delete registry;
        return 22;
    }
    registry->interface_setup = layer ? layer->interface_setup : nullptr;
    std::lock_guard<std::mutex> guard(g_singleton_lock);
    g_registry = registry;
    *out = registry;
    return 0;
}

void zwp_avi_exit(zwp_avi_registry_t *registry)
{
    if (!registry)
        return;
    {
        std::lock_guard<std::mutex> guard(g_singleton_lock);
        if (g_registry == registry)
            g_registry = nullptr;
    }
    registry_lists_destroy(registry);
    zwp_avro_schema_exit(registry->schema);
    delete registry;
}

zwu_array_list_t zwp_avi_root_list_get(const zwp_avi_registry_t *registry)
{
    return registry ? registry->root : nullptr;
}
zwu_array_list_t zwp_avi_network_list_get(const zwp_avi_registry_t *registry)
{
    return registry ? registry->network : nullptr;
}
zwu_array_list_t zwp_avi_node_list_get(const zwp_avi_registry_t *registry)
{
    return registry ? registry->node : nullptr;
}
zwu_array_list_t zwp_avi_endpoint_list_get(const zwp_avi_registry_t *registry)
{
    return registry ? registry->endpoint : nullptr;
}
zwu_array_list_t zwp_avi_interface_list_get(const zwp_avi_registry_t *registry)
{
    return registry ? registry->interface : nullptr;
}
zwp_avro_schema_t *zwp_avi_schema_get(const zwp_avi_registry_t *registry)
{
    return registry ? registry->schema : nullptr;
}
zwp_desc_if_setup_fn zwp_avi_interface_setup_get(const zwp_avi_registry_t *registry)
{
    return registry ? registry->interface_setup : nullptr;
}
