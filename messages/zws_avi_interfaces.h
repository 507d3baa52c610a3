// Interface-level messages: one family per command class, each a table of
// descriptors with its argument and result handlers.
#pragma once

#include "messages/zws_avi_types.h"
#include "util/zwu_array.h"

#include <avro.h>

// Registration of each family, in table order; 22 at the first failure.
int zws_avi_interfaces_alarm_init(zwu_array_list_t list);
int zws_avi_interfaces_basic_init(zwu_array_list_t list);
int zws_avi_interfaces_battery_init(zwu_array_list_t list);

int zws_avi_interfaces_basic_set_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter);
int zws_avi_interfaces_alarm_get_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter);
int zws_avi_interfaces_alarm_set_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter);
int zws_avi_interfaces_alarm_event_supported_get_argument(zws_key_value_t *args, int args_count,
                                                          avro_value_t *parameter);

int zws_avi_interfaces_basic_get_result(int web_api_version, unsigned long combo_id, avro_value_t *parameter,
                                        zwu_string_buffer_t out);
int zws_avi_interfaces_battery_get_result(int web_api_version, unsigned long combo_id, avro_value_t *parameter,
                                          zwu_string_buffer_t out);
int zws_avi_interfaces_alarm_get_result(int web_api_version, unsigned long combo_id, avro_value_t *parameter,
                                        zwu_string_buffer_t out);
int zws_avi_interfaces_alarm_type_supported_get_result(int web_api_version, unsigned long combo_id,
                                                       avro_value_t *parameter, zwu_string_buffer_t out);
int zws_avi_interfaces_alarm_event_supported_get_result(int web_api_version, unsigned long combo_id,
                                                        avro_value_t *parameter, zwu_string_buffer_t out);
