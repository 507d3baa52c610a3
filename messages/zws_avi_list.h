// The descriptor lists of the registry: creation, and the adds by which each
// message family registers its table of descriptors.
//
// Status: 0 success, 22 failure (one "error" line).
#pragma once

#include "messages/zws_avi_types.h"

int zws_avi_message_list_create(zwu_array_list_t *list_p);
void zws_avi_message_list_destroy(zwu_array_list_t list);
int zws_avi_message_list_add_message(zwu_array_list_t list, const zws_avi_message_t *message);
int zws_avi_message_list_add_message_networks(zwu_array_list_t list, const zws_avi_message_networks_t *message);
int zws_avi_message_list_add_message_nodes(zwu_array_list_t list, const zws_avi_message_nodes_t *message);
int zws_avi_message_list_add_message_endpoints(zwu_array_list_t list, const zws_avi_message_endpoints_t *message);
int zws_avi_message_list_add_message_interfaces(zwu_array_list_t list, const zws_avi_message_interfaces_t *message);

// A family's table of descriptors, added in table order; 22 at the first
// failure (the add call has logged it).
inline int zws_avi_message_list_add_any(zwu_array_list_t list, const zws_avi_message_t *m)
{
    return zws_avi_message_list_add_message(list, m);
}
inline int zws_avi_message_list_add_any(zwu_array_list_t list, const zws_avi_message_networks_t *m)
{
    return zws_avi_message_list_add_message_networks(list, m);
}
inline int zws_avi_message_list_add_any(zwu_array_list_t list, const zws_avi_message_nodes_t *m)
{
    return zws_avi_message_list_add_message_nodes(list, m);
}
inline int zws_avi_message_list_add_any(zwu_array_list_t list, const zws_avi_message_endpoints_t *m)
{
    return zws_avi_message_list_add_message_endpoints(list, m);
}
inline int zws_avi_message_list_add_any(zwu_array_list_t list, const zws_avi_message_interfaces_t *m)
{
    return zws_avi_message_list_add_message_interfaces(list, m);
}
template <typename Message, unsigned long N> int zws_avi_message_list_add_table(zwu_array_list_t list, const Message (&table)[N])
{
    for (const Message &message : table) {
        if (zws_avi_message_list_add_any(list, &message) != 0)
            return 22;
    }
    return 0;
}
