// Interface-level messages of meters, binary sensors and multilevel sensors.
#pragma once

#include "util/zwu_array.h"

// Registration of each family, in table order; 22 at the first failure.
int zws_avi_interfaces_meter_init(zwu_array_list_t list);
int zws_avi_interfaces_sensor_binary_init(zwu_array_list_t list);
int zws_avi_interfaces_sensor_multilevel_init(zwu_array_list_t list);
