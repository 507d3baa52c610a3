// Interface-level messages of basic, battery and alarm. Each family is a
// table of descriptors; other modules only register them.
#pragma once

#include "util/zwu_array.h"

// Registration of each family, in table order; 22 at the first failure.
int zws_avi_interfaces_alarm_init(zwu_array_list_t list);
int zws_avi_interfaces_basic_init(zwu_array_list_t list);
int zws_avi_interfaces_battery_init(zwu_array_list_t list);
