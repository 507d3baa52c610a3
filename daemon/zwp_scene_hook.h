// The glue between the host-controller library and its two customers on a
// network: the daemon itself and the scene library.
//
// Each network owns a hook table. zwp_hook_zwnet_init starts the library
// with forwarders in place of the daemon's notify and node callbacks, so
// that the scene library hears of operations, node changes and device
// values after the daemon; the interface modules install their report
// callbacks through the zwp_hook_*_rpt_set installers, so that the scene
// library sees the same values. zwp_hook_scene_init binds a started network
// to the scene library with the action callbacks it may use.
#pragma once

#include "hcapi/include/zwif.h"
#include "hcapi/include/zwnet.h"
#include "scene/zwscn.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

// What the forwarders need of the network record that owns the table.
struct zwp_hook_owner_t {
    void (*ref)(void *net);
    void (*unref)(void *net);
    // The node that the last replacement reported (node callback mode 2).
    uint8_t (*replaced_node_id)(void *net);
    // The 24-digit persistent context id and its NUL; 1 on success.
    int (*ctx_persistent)(void *net, char *buffer, size_t size);
};

// Message-level report callbacks, by the shape of what their class reports.
using zwp_hook_value_fn = void (*)(zwif_desc_t *intf, uint8_t value, time_t ts);
using zwp_hook_pair_fn = void (*)(zwif_desc_t *intf, uint8_t first, uint8_t second, time_t ts);
using zwp_hook_record_fn = void (*)(zwif_desc_t *intf, const void *record, time_t ts);

// One report slot per hooked command class, in table order.
enum : int {
    ZWP_HOOK_BASIC,
    ZWP_HOOK_SWITCH,
    ZWP_HOOK_LEVEL,
    ZWP_HOOK_COL_SW,
    ZWP_HOOK_DLCK_OP,
    ZWP_HOOK_THRMO_SETP,
    ZWP_HOOK_BSENSOR,
    ZWP_HOOK_SENSOR,
    ZWP_HOOK_ALRM,
    ZWP_HOOK_CSC,
    ZWP_HOOK_BARRIER,
    ZWP_HOOK_BARRIER_NOTIF,
    ZWP_HOOK_RPT_COUNT,
};

// Written before the library's threads start and when the scene library is
// bound; the report slots also by interface setup. Read by the forwarders on
// the library's threads, hence atomic.
struct zwp_hook_table_t {
    std::atomic<void *> net{nullptr};
    std::atomic<zwnet_p> hc{nullptr};
    std::atomic<decltype(zwscn_hooks_t::op_notify)> scn_op_notify{nullptr};
    std::atomic<decltype(zwscn_hooks_t::node_change)> scn_node_change{nullptr};
    std::atomic<decltype(zwscn_hooks_t::report)> scn_report{nullptr};
    std::atomic<zwnet_notify_fn> notify{nullptr};
    std::atomic<zwnet_node_fn> node{nullptr};
    std::atomic<void *> rpt[ZWP_HOOK_RPT_COUNT]{};
    zwp_hook_owner_t owner{};
};

// Clears the table, starts the library with the forwarders (the daemon's
// callbacks of `params` move into the table), puts the daemon's callbacks
// back into `params`. The library's result.
int zwp_hook_zwnet_init(zwp_hook_table_t *table, void *net, const zwp_hook_owner_t *owner, zwnet_init_t *params,
                        zwnet_p *hc);
// zwnet_exit; the table stops serving the network.
void zwp_hook_zwnet_exit(zwp_hook_table_t *table, zwnet_p hc);
// The table of the network record that the library handle serves; null
// when there is none.
zwp_hook_table_t *zwp_hook_table_get(zwnet_p hc);

// Installers: store the callback in the class's slot and register the
// forwarder with the library. The library's result; -1 when the interface's
// network has no table, -14 for an interface of another class.
int zwp_hook_basic_rpt_set(const zwif_desc_t *intf, zwp_hook_value_fn cb);
int zwp_hook_switch_rpt_set(const zwif_desc_t *intf, zwp_hook_value_fn cb);
int zwp_hook_level_rpt_set(const zwif_desc_t *intf, zwp_hook_value_fn cb);
int zwp_hook_col_sw_rpt_set(const zwif_desc_t *intf, zwp_hook_record_fn cb);
int zwp_hook_dlck_op_rpt_set(const zwif_desc_t *intf, zwp_hook_record_fn cb);
int zwp_hook_thrmo_setp_rpt_set(const zwif_desc_t *intf, zwp_hook_record_fn cb);
int zwp_hook_bsensor_rpt_set(const zwif_desc_t *intf, zwp_hook_pair_fn cb);
int zwp_hook_sensor_rpt_set(const zwif_desc_t *intf, zwp_hook_record_fn cb);
int zwp_hook_alrm_rpt_set(const zwif_desc_t *intf, zwp_hook_record_fn cb);
int zwp_hook_csc_rpt_set(const zwif_desc_t *intf, zwp_hook_record_fn cb);
int zwp_hook_barrier_rpt_set(const zwif_desc_t *intf, zwp_hook_value_fn cb);
int zwp_hook_barrier_notif_rpt_set(const zwif_desc_t *intf, zwp_hook_pair_fn cb);

// Binds a started network to the scene library: context id, time zone
// (`time_zone`, or the first line of `tz_path`; UTC when that cannot be
// read), storage directory and the action callbacks. The time zone used is
// copied to `tz_out` (256 bytes). 0 or 22.
int zwp_hook_scene_init(zwp_hook_table_t *table, const char *stor_dir, const char *time_zone, const char *tz_path,
                        char *tz_out);

// The first line of a time-zone file (without its line end) into `out`
// (size bytes). 0, or 22 when the file cannot be read or the line is empty.
int zwp_hook_time_zone_read(const char *path, char *out, size_t size);
