// Network-level message families of the web interface.
//
// Each family's registration adds its descriptors to the network list in
// table order and returns 22 at the first failure. The result handlers have
// the root/network result signature (zws_avi.h).
#pragma once

#include "messages/zws_avi_list.h"

// The web API version that the summary reports.
constexpr unsigned ZWS_AVI_WEB_API_MAJOR = 1;
constexpr unsigned ZWS_AVI_WEB_API_MINOR = 19;

// Registration, in the registry's order: exit, information, node list, node
// endpoint list, operations (pre-kit DSK to abort), operation state,
// whitelist, then summary and version.
int zws_avi_networks_exit_init(zwu_array_list_t list);
int zws_avi_networks_info_init(zwu_array_list_t list);
int zws_avi_networks_node_list_init(zwu_array_list_t list);
int zws_avi_networks_node_endpoint_list_init(zwu_array_list_t list);
int zws_avi_networks_operations_init(zwu_array_list_t list);
int zws_avi_networks_operation_state_init(zwu_array_list_t list);
int zws_avi_networks_whitelist_init(zwu_array_list_t list);

// Argument handlers. A combined id ("noded") names the node by its low byte
// and must be the id of a node (1..232) or of one of its endpoints; the send
// of the node information frame also takes 0 for every node. Keys and the
// CSA flag are one byte. Every present pair must parse: 22 otherwise.
int zws_avi_networks_node_add_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter);
// At least one of "granted_keys" and "grant_csa".
int zws_avi_networks_node_add_grant_key_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter);
int zws_avi_networks_node_add_accept_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter);
int zws_avi_networks_failed_node_remove_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter);
// At least one of "noded" and "dsk".
int zws_avi_networks_failed_node_replace_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter);
int zws_avi_networks_failed_node_replace_on_behalf_argument(zws_key_value_t *args, int args_count,
                                                            avro_value_t *parameter);
int zws_avi_networks_node_update_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter);
int zws_avi_networks_send_NIF_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter);
int zws_avi_networks_whitelist_device_info_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter);
int zws_avi_networks_whitelist_add_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter);
int zws_avi_networks_whitelist_remove_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter);

// Result handlers: one form per call (1 older, 2 current).
int zws_avi_networks_info_get_result(int web_api_version, avro_value_t *parameter, zwu_string_buffer_t out);
int zws_avi_networks_node_list_get_result(int web_api_version, avro_value_t *parameter, zwu_string_buffer_t out);
int zws_avi_networks_node_endpoint_list_get_result(int web_api_version, avro_value_t *parameter,
                                                   zwu_string_buffer_t out);
int zws_avi_networks_node_prekit_dsk_get_result(int web_api_version, avro_value_t *parameter,
                                                zwu_string_buffer_t out);
int zws_avi_networks_node_add_req_key_get_result(int web_api_version, avro_value_t *parameter,
                                                 zwu_string_buffer_t out);
int zws_avi_networks_node_add_dsk_get_result(int web_api_version, avro_value_t *parameter, zwu_string_buffer_t out);
int zws_avi_networks_initiate_local_dsk_get_result(int web_api_version, avro_value_t *parameter,
                                                   zwu_string_buffer_t out);
int zws_avi_networks_operation_state_get_result(int web_api_version, avro_value_t *parameter,
                                                zwu_string_buffer_t out);
int zws_avi_networks_whitelist_list_report_result(int web_api_version, avro_value_t *parameter,
                                                  zwu_string_buffer_t out);
int zws_avi_networks_whitelist_device_info_result(int web_api_version, avro_value_t *parameter,
                                                  zwu_string_buffer_t out);

// "zw_info": network_summary_get.
int zws_avi_networks_summary_init(zwu_array_list_t list);
// "zw_version", "version": network_version_get.
int zws_avi_networks_version_init(zwu_array_list_t list);

// Current form only (the older form writes nothing). The summary reads
// VANTOR_USER_NAME, SERVER_ADDR and REMOTE_ADDR and the install's version
// files; it fails without an install root.
int zws_avi_networks_summary_get_result(int web_api_version, avro_value_t *parameter, zwu_string_buffer_t out);
int zws_avi_networks_version_get_result(int web_api_version, avro_value_t *parameter, zwu_string_buffer_t out);
