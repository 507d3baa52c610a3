// Basic (0x20), Binary Switch (0x25) and Battery (0x80): one value each.
#pragma once

#include "util/zwu_array.h"

#include <cstdint>
#include <ctime>

struct zwif_desc_t;

// Registration, each in its module's message order: 0, or 22 as soon as
// one append fails.
int zwp_avi_interfaces_basic_init(zwu_array_list_t list);
int zwp_avi_interfaces_battery_init(zwu_array_list_t list);
int zwp_avi_interfaces_switch_binary_init(zwu_array_list_t list);

// Report callbacks, in the library's form (also for tests). A time of 0 is
// a report without data: it ends a waiting get but stores nothing.
void zwp_avi_interfaces_basic_report_cb(zwif_desc_t *intf, uint8_t value, time_t ts);
void zwp_avi_interfaces_switch_binary_report_cb(zwif_desc_t *intf, uint8_t value, time_t ts);
void zwp_avi_interfaces_battery_report_cb(zwif_desc_t *intf, uint8_t level, time_t ts);
