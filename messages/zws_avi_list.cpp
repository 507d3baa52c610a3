#include "messages/zws_avi_list.h"

#include "util/zws_log.h"

namespace {

int add(zwu_array_list_t list, const void *message, const char *failure_text)
{
    if (!list || !message || zwu_array_list_add(list, message) != 0) {
        ZWS_LOG_ERROR("%s", failure_text);
        return 22;
    }
    return 0;
}

} // namespace

int zws_avi_message_list_create(zwu_array_list_t *list_p)
{
    if (zwu_array_list_create(0, list_p) != 0) {
        ZWS_LOG_ERROR("Failed to create message list");
        return 22;
    }
    return 0;
}

void zws_avi_message_list_destroy(zwu_array_list_t list)
{
    if (list)
        zwu_array_list_destroy(list);
}

int zws_avi_message_list_add_message(zwu_array_list_t list, const zws_avi_message_t *message)
{
    return add(list, message, "Failed to register message in the root level message list");
}
int zws_avi_message_list_add_message_networks(zwu_array_list_t list, const zws_avi_message_networks_t *message)
{
    return add(list, message, "Failed to register message in the network level message list");
}
int zws_avi_message_list_add_message_nodes(zwu_array_list_t list, const zws_avi_message_nodes_t *message)
{
    return add(list, message, "Failed to register message in the node level message list");
}
int zws_avi_message_list_add_message_endpoints(zwu_array_list_t list, const zws_avi_message_endpoints_t *message)
{
    return add(list, message, "Failed to register message in the endpoint level message list");
}
int zws_avi_message_list_add_message_interfaces(zwu_array_list_t list, const zws_avi_message_interfaces_t *message)
{
    return add(list, message, "Failed to register message in the interface level message list");
}
