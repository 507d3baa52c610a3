// Node-level (sleeping-node command queue, endpoint list) and endpoint-level
// (interface list, name and location) message families of the web interface.
//
// Registration adds the family's descriptors to the list it is given, in
// table order, and returns 22 at the first failure. Result handlers write
// one form per call (web_api_version 1 older, 2 current) and take the
// combined id of the addressed node or endpoint.
#pragma once

#include "messages/zws_avi_list.h"

// Node list: endpoint list, then command queue.
int zws_avi_nodes_endpoint_list_init(zwu_array_list_t list);
int zws_avi_nodes_commandqueue_init(zwu_array_list_t list);
// Endpoint list: interface list, then naming.
int zws_avi_endpoints_interface_list_init(zwu_array_list_t list);
int zws_avi_endpoints_node_naming_init(zwu_array_list_t list);

// "value": the queue's state, one byte.
int zws_avi_nodes_commandqueue_enable_set_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter);
// "name" then "loc", both required, both percent-decoded.
int zws_avi_endpoints_node_naming_name_location_set_argument(zws_key_value_t *args, int args_count,
                                                             avro_value_t *parameter);

int zws_avi_nodes_endpoint_list_result(int web_api_version, unsigned long combo_id, avro_value_t *parameter,
                                       zwu_string_buffer_t out);
int zws_avi_nodes_commandqueue_enable_get_result(int web_api_version, unsigned long combo_id,
                                                 avro_value_t *parameter, zwu_string_buffer_t out);
int zws_avi_nodes_commandqueue_get_result(int web_api_version, unsigned long combo_id, avro_value_t *parameter,
                                          zwu_string_buffer_t out);
int zws_avi_endpoints_interface_list_result(int web_api_version, unsigned long combo_id, avro_value_t *parameter,
                                            zwu_string_buffer_t out);
