// Root-level message family of the web interface: choosing the Z/IP gateway
// that kestrund uses ("zw_gw_set"), reading it ("zw_gw_get") and listing the
// gateways that discovery found ("zw_gw_list").
//
// Status: 0 success, 22 failure.
#pragma once

#include "messages/zws_avi_list.h"

// The three descriptors in the order set, get, list.
int zws_avi_root_gateway_init(zwu_array_list_t list);

// "zip_gw_name" (an IPv6 or IPv4 address, percent-encoded), then
// "unsol_rpt_port" (0..65535), then optionally "key" (the pre-shared key as
// 2 to 64 hexadecimal digits, an even count); later pairs are ignored. A
// "key" pair that is no such key is refused: the gateway must never be
// switched to silently without its key.
int zws_avi_root_gateway_set_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter);
// "discvr" first: a non-negative number; absent: 0.
int zws_avi_root_gateway_list_set_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter);

// Root answers have one form; these handlers do not look at the version.
int zws_avi_root_gateway_get_result(int web_api_version, avro_value_t *parameter, zwu_string_buffer_t out);
int zws_avi_root_gateway_list_result(int web_api_version, avro_value_t *parameter, zwu_string_buffer_t out);
