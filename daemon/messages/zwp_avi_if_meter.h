// Meter (0x32): readings kept per meter type and scale, what the meter
// supports, and its reset.
#pragma once

#include "util/zwu_array.h"

#include <ctime>

struct zwif_desc_t;
struct zwmeter_t;

// Registration in the module's message order: 0, or 22 as soon as one
// append fails.
int zwp_avi_interfaces_meter_init(zwu_array_list_t list);

// The reading callback, in the library's form (also for tests). A time of 0
// is a report without data: it stores nothing and ends only gets that asked
// for no scale.
void zwp_avi_interfaces_meter_report_cb(zwif_desc_t *intf, zwmeter_t *data, time_t ts);
