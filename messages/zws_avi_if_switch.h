// Interface-level messages of binary, multilevel and colour switches.
#pragma once

#include "util/zwu_array.h"

// Registration of each family, in table order; 22 at the first failure.
int zws_avi_interfaces_switch_binary_init(zwu_array_list_t list);
int zws_avi_interfaces_switch_multilevel_init(zwu_array_list_t list);
int zws_avi_interfaces_switch_color_init(zwu_array_list_t list);
