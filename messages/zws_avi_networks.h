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

// "zw_info": network_summary_get.
int zws_avi_networks_summary_init(zwu_array_list_t list);
// "zw_version", "version": network_version_get.
int zws_avi_networks_version_init(zwu_array_list_t list);

// Current form only (the older form writes nothing). The summary reads
// VANTOR_USER_NAME, SERVER_ADDR and REMOTE_ADDR and the install's version
// files; it fails without an install root.
int zws_avi_networks_summary_get_result(int web_api_version, avro_value_t *parameter, zwu_string_buffer_t out);
int zws_avi_networks_version_get_result(int web_api_version, avro_value_t *parameter, zwu_string_buffer_t out);
