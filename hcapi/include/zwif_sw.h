// Switches, sensors, meters and notifications as the application sees them:
// the records their reports carry, the callbacks that receive them, and the
// per-class calls of Multilevel Switch, Binary and Multilevel Sensor, Meter,
// Color Switch, Pulse Meter, Meter Table, Barrier Operator and Sensor Alarm.
//
// Every call takes the caller's interface descriptor first and returns 0
// done, 1 queued (or sent with a report expected), 2 answered from the cache
// or the device record, or a negative error (-14 the descriptor is of another
// class, -25 an argument out of range, -23 the interface's version is too low
// for the call, -60 nothing cached). Replies come back later through the
// callback that the class's *_rpt_set call (or the supported-get itself)
// registers; a report callback's time is the arrival of the report, in
// seconds since the epoch (0 when a cached get found nothing). Callbacks of
// supported information end with `valid`: 1 for data, 0 when none is known.
// Pointers handed to a callback live only during the call.
#pragma once

#include "hcapi/include/zwif.h"

#include <cstddef>
#include <cstdint>
#include <ctime>

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

// A multilevel sensor reading; the value is `size` (1, 2 or 4) big-endian
// bytes, signed, scaled by 10^-precision.
struct zwsensor_t {
    uint8_t type;
    uint8_t precision;
    uint8_t unit;  // the scale, 0..3
    uint8_t size;
    uint8_t data[4];
};
static_assert(sizeof(zwsensor_t) == 8);

// A meter reading; `prv_data` holds the previous value when `delta_time`
// (seconds since it) is not 0.
struct zwmeter_t {
    uint8_t type;
    uint8_t precision;
    uint8_t unit;  // the scale, 0..7
    uint8_t size;
    uint8_t data[4];
    uint16_t delta_time;
    uint8_t prv_data[4];
    uint8_t rate_type;
};
static_assert(sizeof(zwmeter_t) == 16);

// What a meter supports: its type, whether it can be reset, and a bit mask
// of its scales.
struct zwmeter_cap_t {
    uint8_t type;
    uint8_t reset_cap;
    uint8_t unit_sup;
};
static_assert(sizeof(zwmeter_cap_t) == 3);

// A meter table's identity: its identifier and administration number, each
// NUL-terminated (at most 32 characters).
inline constexpr size_t ZW_METER_TBL_TEXT_SZ = 33;
enum : uint8_t {
    ZW_METER_TBL_ID_VALID = 0x01,  // the identifier was reported
    ZW_METER_TBL_CFG = 0x02,       // the endpoint can configure the meter table (0x3C)
};
struct zwmeter_tbl_t {
    uint8_t flags;
    char id[ZW_METER_TBL_TEXT_SZ];
    char admin[ZW_METER_TBL_TEXT_SZ];
};
static_assert(sizeof(zwmeter_tbl_t) == 67);

// One colour component: its id (0 warm white .. 8 index), the current value,
// and the target value and duration of a change under way (0 when the device
// does not say).
struct zwcolor_t {
    uint8_t id;
    uint8_t value;
    uint8_t target;
    uint8_t dur;
};
static_assert(sizeof(zwcolor_t) == 4);

// A sensor alarm: the node that raised it, the sensor type, its state (0 no
// alarm, 1..0x64 a level, 0xFF alarm) and for how many seconds.
struct zwsalrm_t {
    uint8_t src_node;
    uint8_t type;
    uint8_t state;
    uint16_t seconds;
};
static_assert(sizeof(zwsalrm_t) == 6);

// What a notification's event parameters are, as far as the library could tell.
enum : uint8_t {
    ZW_ALRM_PARAM_LOC = 1,      // a location text (NUL-terminated UTF-8)
    ZW_ALRM_PARAM_USRID = 2,    // one byte: the user id of a user code
    ZW_ALRM_PARAM_OEM_ERR = 3,  // raw bytes, device-specific
    ZW_ALRM_PARAM_ENUM = 4,     // one byte (or raw bytes) with a defined meaning
    ZW_ALRM_PARAM_EVENT_ID = 5, // the event that ended (event 0)
    ZW_ALRM_PARAM_UNKNOWN = 255,
};

// A notification (alarm) report. The `ex_*` fields hold values only when
// `ex_info` is 1; the record is followed by its `ex_evt_len` parameter bytes
// (use zwalrm_param), so a record is 12 + ex_evt_len bytes long.
struct zwalrm_t {
    uint8_t type;  // the device's own alarm type
    uint8_t level;
    uint8_t ex_info;
    uint8_t ex_zensr_nodeid;
    uint8_t ex_status;
    uint8_t ex_type;  // notification type
    uint8_t ex_event;
    uint8_t ex_has_sequence;
    uint8_t ex_sequence_no;
    uint8_t ex_evt_len;
    uint8_t ex_evt_type;  // ZW_ALRM_PARAM_*
    uint8_t ex_evt_prm[1];
};
static_assert(sizeof(zwalrm_t) == 12);
inline constexpr size_t ZW_ALRM_HDR_SZ = offsetof(zwalrm_t, ex_evt_prm);
inline const uint8_t *zwalrm_param(const zwalrm_t *a) { return reinterpret_cast<const uint8_t *>(a) + ZW_ALRM_HDR_SZ; }
inline uint8_t *zwalrm_param(zwalrm_t *a) { return reinterpret_cast<uint8_t *>(a) + ZW_ALRM_HDR_SZ; }

// ---------------------------------------------------------------------------
// Callbacks
// ---------------------------------------------------------------------------

// (interface, count, list, valid): supported binary and multilevel sensor
// types, colour components, barrier signal subsystems, sensor alarm types.
using zwrep_sup_list_fn = void (*)(zwif_desc_t *intf, uint8_t cnt, uint8_t *list, int valid);
using zwrep_lvl_sup_fn = void (*)(zwif_desc_t *intf, uint8_t pri_type, uint8_t sec_type, int valid);
using zwrep_bsensor_fn = void (*)(zwif_desc_t *intf, uint8_t state, uint8_t type, time_t ts);
using zwrep_sensor_fn = void (*)(zwif_desc_t *intf, zwsensor_t *data, time_t ts);
using zwrep_sensor_unit_fn = void (*)(zwif_desc_t *intf, uint8_t type, uint8_t unit_mask, int valid);
using zwrep_meter_fn = void (*)(zwif_desc_t *intf, zwmeter_t *data, time_t ts);
using zwrep_meter_sup_fn = void (*)(zwif_desc_t *intf, zwmeter_cap_t *cap, int valid);
using zwrep_meter_tbl_fn = void (*)(zwif_desc_t *intf, zwmeter_tbl_t *tbl, int valid);
using zwrep_color_fn = void (*)(zwif_desc_t *intf, zwcolor_t *data, time_t ts);
using zwrep_pulsemeter_fn = void (*)(zwif_desc_t *intf, uint32_t count);
using zwrep_barrier_notif_fn = void (*)(zwif_desc_t *intf, uint8_t subsystem, uint8_t state, time_t ts);
using zwrep_salrm_fn = void (*)(zwif_desc_t *intf, zwsalrm_t *data, time_t ts);
// A notification; null from a cached get that found nothing and was given
// no type and event to report back.
using zwrep_alrm_fn = void (*)(zwif_desc_t *intf, zwalrm_t *data, time_t ts);
using zwrep_alrm_sup_fn = void (*)(zwif_desc_t *intf, uint8_t have_vtype, uint8_t cnt, uint8_t *types, int valid);
using zwrep_alrm_evt_fn = void (*)(zwif_desc_t *intf, uint8_t type, uint8_t cnt, uint8_t *events, int valid);

// The outcome of a supervised or read-back set (the same shape as the
// library's facility results): 0.. as the supervision or poll reports it.
using zwif_set_result_fn = void (*)(zwnet_p net, uint8_t node_id, uint8_t ep_id, uint16_t cls, uint64_t user,
                                    uint32_t status);

// ---------------------------------------------------------------------------
// Multilevel Switch (0x26)
// ---------------------------------------------------------------------------

// Level 0..99 or 0xFF (the last level); `dur` from version 2. With `cb` the
// node is asked to supervise the set when it can; otherwise the level is
// read back until it arrives, and `cb` (when given) hears the outcome.
// -63: the set was sent, but the read-back could not be arranged.
int zwif_level_set(const zwif_desc_t *intf, uint8_t level, uint8_t dur, zwif_set_result_fn cb, uint64_t user);

enum : uint8_t {
    ZW_LVL_DIR_UP = 0,
    ZW_LVL_DIR_DOWN = 1,
    ZW_LVL_DIR_NONE = 3,  // secondary switch (and from version 3 primary): no change
};
struct zwlevel_t {
    uint8_t pri_dir;
    uint8_t pri_level;     // start level, 0..99
    uint8_t pri_ignore_lvl;
    uint8_t sec_dir;       // version 3
    uint8_t sec_step;      // version 3: 0..99 or 0xFF
    uint8_t dur;           // version 2
};
int zwif_level_start(const zwif_desc_t *intf, const zwlevel_t *lvl);
int zwif_level_stop(const zwif_desc_t *intf);
int zwif_level_rpt_set(const zwif_desc_t *intf, zwrep_ts_fn cb);
int zwif_level_get_ex(const zwif_desc_t *intf, zwpoll_req_t *poll, uint32_t flags);
int zwif_level_get(const zwif_desc_t *intf, uint32_t flags);
int zwif_level_get_poll(const zwif_desc_t *intf, zwpoll_req_t *poll);
// Version 3 and up.
int zwif_level_sup_get(const zwif_desc_t *intf, zwrep_lvl_sup_fn cb, int cache_only);
int zwif_level_sup_cache_get(const zwif_desc_t *intf, uint8_t *pri_type, uint8_t *sec_type);

// ---------------------------------------------------------------------------
// Binary Sensor (0x30), Multilevel Sensor (0x31)
// ---------------------------------------------------------------------------

// Type 0: the device's default sensor.
int zwif_bsensor_rpt_set(const zwif_desc_t *intf, zwrep_bsensor_fn cb);
int zwif_bsensor_get_ex(const zwif_desc_t *intf, uint8_t type, zwpoll_req_t *poll, uint32_t flags);
int zwif_bsensor_get(const zwif_desc_t *intf, uint8_t type, uint32_t flags);
int zwif_bsensor_get_poll(const zwif_desc_t *intf, uint8_t type, zwpoll_req_t *poll);
int zwif_bsensor_sup_get(const zwif_desc_t *intf, zwrep_sup_list_fn cb, int cache_only);
// `types` has room for 255 bytes.
int zwif_bsensor_sup_cache_get(const zwif_desc_t *intf, uint8_t *cnt, uint8_t *types);

// Scale 0..3 when a type is given.
int zwif_sensor_rpt_set(const zwif_desc_t *intf, zwrep_sensor_fn cb);
int zwif_sensor_get_ex(const zwif_desc_t *intf, uint8_t type, uint8_t unit, zwpoll_req_t *poll, uint32_t flags);
int zwif_sensor_get(const zwif_desc_t *intf, uint8_t type, uint8_t unit, uint32_t flags);
int zwif_sensor_get_poll(const zwif_desc_t *intf, uint8_t type, uint8_t unit, zwpoll_req_t *poll);
int zwif_sensor_sup_get(const zwif_desc_t *intf, zwrep_sup_list_fn cb, int cache_only);
int zwif_sensor_sup_cache_get(const zwif_desc_t *intf, uint8_t *cnt, uint8_t *types);
// The scales a sensor type supports (type not 0).
int zwif_sensor_unit_get(const zwif_desc_t *intf, uint8_t type, zwrep_sensor_unit_fn cb, int cache_only);
// `units` receives the scales (at most 4).
int zwif_sensor_unit_cache_get(const zwif_desc_t *intf, uint8_t type, uint8_t *cnt, uint8_t *units);

// ---------------------------------------------------------------------------
// Meter (0x32), Pulse Meter (0x35), Meter Table (0x3C, 0x3D)
// ---------------------------------------------------------------------------

int zwif_meter_rpt_set(const zwif_desc_t *intf, zwrep_meter_fn cb);
int zwif_meter_get_ex(const zwif_desc_t *intf, uint8_t unit, zwpoll_req_t *poll, uint32_t flags);
int zwif_meter_get(const zwif_desc_t *intf, uint8_t unit, uint32_t flags);
int zwif_meter_get_poll(const zwif_desc_t *intf, uint8_t unit, zwpoll_req_t *poll);
int zwif_meter_sup_get(const zwif_desc_t *intf, zwrep_meter_sup_fn cb, int cache_only);
int zwif_meter_sup_cache_get(const zwif_desc_t *intf, zwmeter_cap_t *cap);
int zwif_meter_reset(const zwif_desc_t *intf);  // version 2 and up

int zwif_pulsemeter_rpt_set(const zwif_desc_t *intf, zwrep_pulsemeter_fn cb);
int zwif_pulsemeter_get(const zwif_desc_t *intf);

// The administration number (a text; at most 32 bytes are sent).
int zwif_meter_admin_set(const zwif_desc_t *intf, const char *admin);
// The meter table's identity (0x3D), from the cache when it is known.
int zwif_meter_admin_get(const zwif_desc_t *intf, zwrep_meter_tbl_fn cb, int cache_only);

// ---------------------------------------------------------------------------
// Color Switch (0x33): components 0..8
// ---------------------------------------------------------------------------

int zwif_col_sw_rpt_set(const zwif_desc_t *intf, zwrep_color_fn cb);
int zwif_col_sw_get_ex(const zwif_desc_t *intf, uint8_t id, zwpoll_req_t *poll, uint32_t flags);
int zwif_col_sw_get(const zwif_desc_t *intf, uint8_t id, uint32_t flags);
int zwif_col_sw_get_poll(const zwif_desc_t *intf, uint8_t id, zwpoll_req_t *poll);
int zwif_col_sw_sup_get(const zwif_desc_t *intf, zwrep_sup_list_fn cb, int cache_only);
int zwif_col_sw_sup_cache_get(const zwif_desc_t *intf, uint8_t *cnt, uint8_t *ids);
// 1..9 components; `dur` from version 2.
int zwif_col_sw_set(const zwif_desc_t *intf, uint8_t cnt, const uint8_t *ids, const uint8_t *values, uint8_t dur);
struct zwcol_lvl_t {
    uint8_t dir;  // ZW_LVL_DIR_UP or _DOWN
    uint8_t id;
    uint8_t start_valid;  // 0: the device starts where it is
    uint8_t start;
    uint8_t dur;  // version 3
};
int zwif_col_sw_lvl_chg_start(const zwif_desc_t *intf, const zwcol_lvl_t *chg);
int zwif_col_sw_lvl_chg_stop(const zwif_desc_t *intf, uint8_t id);

// ---------------------------------------------------------------------------
// Barrier Operator (0x66)
// ---------------------------------------------------------------------------

// Target 0 (close) or 0xFF (open); supervised or read back as zwif_level_set.
int zwif_barrier_set(const zwif_desc_t *intf, uint8_t target, zwif_set_result_fn cb, uint64_t user);
int zwif_barrier_rpt_set(const zwif_desc_t *intf, zwrep_ts_fn cb);
int zwif_barrier_get_ex(const zwif_desc_t *intf, zwpoll_req_t *poll, uint32_t flags);
int zwif_barrier_get(const zwif_desc_t *intf, uint32_t flags);
int zwif_barrier_get_poll(const zwif_desc_t *intf, zwpoll_req_t *poll);
// Signalling subsystems (not 0): state 0 (off) or 0xFF (on).
int zwif_barrier_notif_set(const zwif_desc_t *intf, uint8_t subsystem, uint8_t state);
int zwif_barrier_notif_rpt_set(const zwif_desc_t *intf, zwrep_barrier_notif_fn cb);
int zwif_barrier_notif_get(const zwif_desc_t *intf, uint8_t subsystem, uint32_t flags);
int zwif_barrier_notif_sup_get(const zwif_desc_t *intf, zwrep_sup_list_fn cb, int cache_only);
int zwif_barrier_notif_sup_cache_get(const zwif_desc_t *intf, uint8_t *cnt, uint8_t *subsystems);

// ---------------------------------------------------------------------------
// Sensor Alarm (0x9C)
// ---------------------------------------------------------------------------

int zwif_alrm_snsr_rpt_set(const zwif_desc_t *intf, zwrep_salrm_fn cb);
int zwif_alrm_snsr_get_ex(const zwif_desc_t *intf, uint8_t type, zwpoll_req_t *poll, uint32_t flags);
int zwif_alrm_snsr_get(const zwif_desc_t *intf, uint8_t type, uint32_t flags);
int zwif_alrm_snsr_get_poll(const zwif_desc_t *intf, uint8_t type, zwpoll_req_t *poll);
int zwif_alrm_snsr_sup_get(const zwif_desc_t *intf, zwrep_sup_list_fn cb, int cache_only);
int zwif_alrm_snsr_sup_cache_get(const zwif_desc_t *intf, uint8_t *cnt, uint8_t *types);
