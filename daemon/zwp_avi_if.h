// Interface message modules: one module per command class serves the
// "interface_*" messages of interfaces of its class. Each module is a few
// constant descriptors (daemon/zwp_avi_message.h) over a per-interface
// report state that its report callbacks fill and its gets wait on.
//
// A state is tagged with the module that made it, so that a slot never
// reads the state of another class's module as its own. A get waits until
// a report arrived after its own call: two requests that overlap each end
// on their own report, not on whichever came last.
#pragma once

#include "daemon/zwp_avi_message.h"
#include "util/zwu_array.h"

#include <ctime>
#include <cstdint>

struct zwif_desc_t;

// Registration, each in its module's message order. 0, or 22 as soon as
// one append fails.
int zwp_avi_interfaces_basic_init(zwu_array_list_t list);
int zwp_avi_interfaces_battery_init(zwu_array_list_t list);
int zwp_avi_interfaces_switch_binary_init(zwu_array_list_t list);
// Every module, in the registry's module order.
int zwp_avi_interfaces_register(zwu_array_list_t list);

// The states and report callbacks of one interface of a newly built tree:
// for each descriptor of the interface's class in the list, its state (the
// first one made stays) and its setup; the first setup that succeeds ends
// the walk. 0 or 22.
int zwp_avi_interface_states_init(zwu_array_list_t list, const zwif_desc_t *intf, apr_pool_t *pool);

// Report callbacks, in the library's form (also for tests). A time of 0 is
// a report without data: it ends a waiting get but stores nothing.
void zwp_avi_interfaces_basic_report_cb(zwif_desc_t *intf, uint8_t value, time_t ts);
void zwp_avi_interfaces_switch_binary_report_cb(zwif_desc_t *intf, uint8_t value, time_t ts);
void zwp_avi_interfaces_battery_report_cb(zwif_desc_t *intf, uint8_t level, time_t ts);

// The reply of the value gets of basic, switch binary and battery.
struct zwp_avi_if_value_result_t {
    uint64_t utime;
    uint8_t value;
};
