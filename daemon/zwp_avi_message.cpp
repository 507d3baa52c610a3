#include "daemon/zwp_avi_message.h"

#include "daemon/zwp_log.h"

#include <cstring>

namespace {

template <typename Descriptor> int list_register(zwu_array_list_t list, const Descriptor *message, const char *level)
{
    if (!list || !message || !message->avro_message_name || zwu_array_list_add(list, message) != 0) {
        ZWS_LOG_ERROR("Failed to register message in the %s level message list", level);
        return 22;
    }
    return 0;
}

template <typename Descriptor>
int list_find(zwu_array_list_t list, const char *name, const Descriptor **message, const char *where)
{
    if (list && name && message) {
        const int size = zwu_array_list_size(list);
        for (int i = 0; i < size; i++) {
            const auto *candidate = static_cast<const Descriptor *>(zwu_array_list_get(list, i));
            if (std::strcmp(candidate->avro_message_name, name) == 0) {
                *message = candidate;
                return 0;
            }
        }
    }
    ZWS_LOG_ERROR("Failed to match with supported avro messages%s for '%s'", where, zwp_log_escape(name).c_str());
    return 22;
}

} // namespace

int zwp_avi_root_message_register(zwu_array_list_t list, const zwp_avi_message *message)
{
    return list_register(list, message, "root");
}
int zwp_avi_network_message_register(zwu_array_list_t list, const zwp_avi_message_networks *message)
{
    return list_register(list, message, "network");
}
int zwp_avi_node_message_register(zwu_array_list_t list, const zwp_avi_message *message)
{
    return list_register(list, message, "node");
}
int zwp_avi_endpoint_message_register(zwu_array_list_t list, const zwp_avi_message_endpoints *message)
{
    return list_register(list, message, "endpoint");
}
int zwp_avi_interface_message_register(zwu_array_list_t list, const zwp_avi_message_interfaces *message)
{
    return list_register(list, message, "interface");
}

int zwp_avi_root_message_find(zwu_array_list_t list, const char *name, const zwp_avi_message **message)
{
    return list_find(list, name, message, "");
}
int zwp_avi_network_message_find(zwu_array_list_t list, const char *name, const zwp_avi_message_networks **message)
{
    return list_find(list, name, message, " at network level");
}
int zwp_avi_node_message_find(zwu_array_list_t list, const char *name, const zwp_avi_message **message)
{
    return list_find(list, name, message, " at node level");
}
int zwp_avi_endpoint_message_find(zwu_array_list_t list, const char *name, const zwp_avi_message_endpoints **message)
{
    return list_find(list, name, message, " at endpoint level");
}
int zwp_avi_interface_message_find(zwu_array_list_t list, const char *name, const zwp_avi_message_interfaces **message)
{
    return list_find(list, name, message, " at interface level");
}

int zwp_avi_interface_message_find_for_class(zwu_array_list_t list, const char *name, uint32_t command_class,
                                             const zwp_avi_message_interfaces **message)
{
    if (!list || !name || !message)
        return 22;
    const int size = zwu_array_list_size(list);
    for (int i = 0; i < size; i++) {
        const auto *candidate = static_cast<const zwp_avi_message_interfaces *>(zwu_array_list_get(list, i));
        if (candidate->command_class == command_class && std::strcmp(candidate->avro_message_name, name) == 0) {
            *message = candidate;
            return 0;
        }
    }
    ZWS_LOG_ERROR("Message '%s' does not serve an interface of command class 0x%02X", zwp_log_escape(name).c_str(),
                  static_cast<unsigned>(command_class));
    return 22;
}
