// Color Switch (0x33): the components a device reported, the components it
// supports, and the level changes the daemon remembers of its own start and
// stop commands.
#pragma once

#include "util/zwu_array.h"

#include <ctime>

struct zwif_desc_t;

// Registration in the module's message order: 0, or 22 as soon as one
// append fails.
int zwp_avi_interfaces_switch_color_init(zwu_array_list_t list);

// The component report callback in the scene hook's form (also for tests):
// `record` is the library's zwcolor_t. A time of 0 is a report without data:
// it stores nothing and ends no wait for a component.
void zwp_avi_interfaces_switch_color_report_cb(zwif_desc_t *intf, const void *record, time_t ts);
