#include "messages/zws_avi.h"

#include "messages/zws_avi_families.h"
#include "messages/zws_avi_list.h"
#include "util/zws_log.h"

#include <cstdlib>
#include <cstring>
#include <new>

struct zws_avi_s {
    zwu_array_list_t message_list_root;
    zwu_array_list_t message_list_ifttt;
    zwu_array_list_t message_list_networks;
    zwu_array_list_t message_list_nodes;
    zwu_array_list_t message_list_endpoints;
    zwu_array_list_t message_list_interfaces;
    zw_avro_t avro;
};

namespace {

zws_avi_t g_avi = nullptr;

void destroy_lists(zws_avi_s *avi)
{
    zwu_array_list_t *lists[] = {&avi->message_list_interfaces, &avi->message_list_endpoints,
                                 &avi->message_list_nodes,      &avi->message_list_ifttt,
                                 &avi->message_list_networks,   &avi->message_list_root};
    for (zwu_array_list_t *list : lists) {
        if (*list)
            zws_avi_message_list_destroy(*list);
        *list = nullptr;
    }
}

zwu_array_list_t list_of_level(zws_avi_s *avi, zws_avi_level_t level)
{
    switch (level) {
    case ZWS_AVI_LEVEL_ROOT: return avi->message_list_root;
    case ZWS_AVI_LEVEL_NETWORKS: return avi->message_list_networks;
    case ZWS_AVI_LEVEL_NODES: return avi->message_list_nodes;
    case ZWS_AVI_LEVEL_ENDPOINTS: return avi->message_list_endpoints;
    case ZWS_AVI_LEVEL_INTERFACES: return avi->message_list_interfaces;
    }
    return nullptr;
}

// The first characters decide nearly every comparison of a registry walk.
bool text_equal(const char *a, const char *b) { return a && b && a[0] == b[0] && std::strcmp(a, b) == 0; }

// The walk shared by the network, node and endpoint lookups: the three kinds
// share the leading fields (URIs, sub-command, name) and differ only in the
// type of their result handler.
template <typename Message>
int lookup_by_uri(zwu_array_list_t list, const char *cgi_uri, int cgi_sub_command, const char **message_name,
                  const char **error_text, int *error_text_index, const Message **message_p)
{
    if (!list || !cgi_uri)
        return 22;
    const int size = zwu_array_list_size(list);
    for (int i = 0; i < size; i++) {
        const auto *message = static_cast<const Message *>(zwu_array_list_get(list, i));
        for (const char *uri : message->cgi_uri) {
            if (!text_equal(uri, cgi_uri))
                continue;
            *error_text = message->error_text;
            if (error_text_index)
                *error_text_index = 0;
            if (cgi_sub_command == message->cgi_sub_command) {
                *message_p = message;
                *message_name = message->avro_message_name;
                if (error_text_index)
                    *error_text_index = cgi_sub_command;
                return 0;
            }
        }
    }
    return 22;
}

} // namespace

int zws_avi_init(zws_avi_t *avi_p)
{
    if (g_avi) {
        ZWS_LOG_WARN("Multiple calls to singleton object");
        *avi_p = g_avi;
        return 0;
    }
    auto *avi = new (std::nothrow) zws_avi_s{};
    if (!avi) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    if (zw_avro_init(&avi->avro) != 0) {
        delete avi;
        return 22;
    }
    bool ok = zws_avi_message_list_create(&avi->message_list_root) == 0 &&
              zws_avi_message_list_create(&avi->message_list_networks) == 0 &&
              zws_avi_message_list_create(&avi->message_list_ifttt) == 0 &&
              zws_avi_message_list_create(&avi->message_list_nodes) == 0 &&
              zws_avi_message_list_create(&avi->message_list_endpoints) == 0 &&
              zws_avi_message_list_create(&avi->message_list_interfaces) == 0;
    int count = 0;
    const zws_avi_family_t *families = zws_avi_families(&count);
    for (int i = 0; ok && i < count; i++) {
        if (families[i].init && families[i].init(list_of_level(avi, families[i].level)) != 0)
            ok = false;
    }
    if (!ok) {
        destroy_lists(avi);
        zw_avro_exit(avi->avro);
        delete avi;
        return 22;
    }
    g_avi = avi;
    *avi_p = avi;
    return 0;
}

void zws_avi_exit(zws_avi_t avi)
{
    if (!avi)
        return;
    destroy_lists(avi);
    zw_avro_exit(avi->avro);
    if (g_avi == avi)
        g_avi = nullptr;
    delete avi;
}

zw_avro_t zws_avi_get_avro(zws_avi_t avi) { return avi->avro; }
zwu_array_list_t zws_avi_get_message_list_root(zws_avi_t avi) { return avi->message_list_root; }
zwu_array_list_t zws_avi_get_message_list_ifttt(zws_avi_t avi) { return avi->message_list_ifttt; }
zwu_array_list_t zws_avi_get_message_list_networks(zws_avi_t avi) { return avi->message_list_networks; }
zwu_array_list_t zws_avi_get_message_list_nodes(zws_avi_t avi) { return avi->message_list_nodes; }
zwu_array_list_t zws_avi_get_message_list_endpoints(zws_avi_t avi) { return avi->message_list_endpoints; }
zwu_array_list_t zws_avi_get_message_list_interfaces(zws_avi_t avi) { return avi->message_list_interfaces; }

int zws_avi_get_avi_message_from_cgi_uri(zwu_array_list_t list, const char *cgi_uri, const char **message_name,
                                         const char **error_text, const zws_avi_message_t **message_p)
{
    const int size = list && cgi_uri ? zwu_array_list_size(list) : 0;
    for (int i = 0; i < size; i++) {
        const auto *message = static_cast<const zws_avi_message_t *>(zwu_array_list_get(list, i));
        if (text_equal(message->cgi_uri, cgi_uri)) {
            *error_text = message->error_text;
            *message_p = message;
            *message_name = message->avro_message_name;
            return 0;
        }
    }
    ZWS_LOG_ERROR("Failed to match with supported avro messages for '%s'", cgi_uri ? cgi_uri : "");
    return 22;
}

int zws_avi_get_avi_message_networks_from_cgi_uri(zwu_array_list_t list, const char *cgi_uri, int cgi_sub_command,
                                                  const char **message_name, const char **error_text,
                                                  const zws_avi_message_networks_t **message_p)
{
    return lookup_by_uri(list, cgi_uri, cgi_sub_command, message_name, error_text, nullptr, message_p);
}

int zws_avi_get_avi_message_nodes_from_cgi_uri(zwu_array_list_t list, const char *cgi_uri, int cgi_sub_command,
                                               const char **message_name, const char **error_text,
                                               int *error_text_index, const zws_avi_message_nodes_t **message_p)
{
    return lookup_by_uri(list, cgi_uri, cgi_sub_command, message_name, error_text, error_text_index, message_p);
}

int zws_avi_get_avi_message_endpoints_from_cgi_uri(zwu_array_list_t list, const char *cgi_uri, int cgi_sub_command,
                                                   const char **message_name, const char **error_text,
                                                   int *error_text_index,
                                                   const zws_avi_message_endpoints_t **message_p)
{
    return lookup_by_uri(list, cgi_uri, cgi_sub_command, message_name, error_text, error_text_index, message_p);
}

int zws_avi_get_avi_message_interfaces_from_cgi_uri(zwu_array_list_t list, const char *cgi_uri, int cgi_sub_command,
                                                    const char **message_name, const char **error_text,
                                                    int *error_text_index,
                                                    const zws_avi_message_interfaces_t **message_p)
{
    if (!list || !cgi_uri)
        return 22;
    const int size = zwu_array_list_size(list);
    for (int i = 0; i < size; i++) {
        const auto *message = static_cast<const zws_avi_message_interfaces_t *>(zwu_array_list_get(list, i));
        for (const char *uri : message->cgi_uri) {
            if (!text_equal(uri, cgi_uri))
                continue;
            *error_text = message->error_text;
            *error_text_index = 0;
            const bool active = cgi_sub_command == message->cgi_sub_command;
            const bool passive = message->is_passive_supported == 1 && message->cgi_sub_command >= 0 &&
                                 cgi_sub_command == message->cgi_sub_command + 1;
            if (active || passive) {
                *message_p = message;
                *message_name = message->avro_message_name;
            } else if (message->is_setup_supported == 1 && cgi_sub_command == 1) {
                *message_p = nullptr;
                *message_name = nullptr;
            } else {
                continue;
            }
            *error_text_index = cgi_sub_command;
            return 0;
        }
    }
    return 22;
}
