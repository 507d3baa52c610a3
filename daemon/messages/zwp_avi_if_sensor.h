// Binary Sensor (0x30) and Multilevel Sensor (0x31): the last report of
// each binary sensor type, the multilevel readings per sensor type and
// scale, and what each supports.
#pragma once

#include "util/zwu_array.h"

#include <cstdint>
#include <ctime>

struct zwif_desc_t;

// Registration, each in its module's message order: 0, or 22 as soon as
// one append fails.
int zwp_avi_interfaces_sensor_binary_init(zwu_array_list_t list);
int zwp_avi_interfaces_sensor_multilevel_init(zwu_array_list_t list);

// Report callbacks in the scene hooks' forms (also for tests): a binary
// report's state and type, a multilevel report's record (zwsensor_t). A
// time of 0 is a report without data: it stores nothing and ends only gets
// that asked for no type.
void zwp_avi_interfaces_sensor_binary_report_cb(zwif_desc_t *intf, uint8_t state, uint8_t type, time_t ts);
void zwp_avi_interfaces_sensor_multilevel_report_cb(zwif_desc_t *intf, const void *record, time_t ts);
