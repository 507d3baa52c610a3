// Thermostats, climate schedules, door locks, user codes, protection,
// central scenes, clock, indicator and application status: the records and
// report callbacks of these classes, and the calls of the lock, scene and
// user-interaction classes.
//
// Report callbacks get the interface descriptor first; cached values come
// with the time the report arrived (seconds since the epoch; 0 when nothing
// was cached), supported information with a trailing valid flag (1 valid,
// 0 nothing known). Records and lists handed to a callback live only during
// the call.
#pragma once

#include "hcapi/include/zwif.h"

#include <cstdint>
#include <ctime>

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

// A thermostat setpoint value as it travels: the value bytes big-endian, as
// in the frame.
struct zwsetp_t {
    uint8_t type;
    uint8_t precision;
    uint8_t scale;
    uint8_t size;  // 1, 2 or 4
    uint8_t data[4];
};
static_assert(sizeof(zwsetp_t) == 8, "cached setpoints are 8-byte records");

// What a climate state byte means: a setback of `setback` tenths of a
// kelvin, frost protection, energy saving, or an unused switch point.
enum : uint8_t {
    ZW_CLIMATE_SETBACK = 0,
    ZW_CLIMATE_FROST_PROTECTION = 1,
    ZW_CLIMATE_ENERGY_SAVING = 2,
    ZW_CLIMATE_UNUSED = 3,
};

struct zwcc_shed_ovr_t {
    uint8_t type;   // 0 no override, 1 temporary, 2 permanent
    uint8_t state;  // ZW_CLIMATE_*
    int8_t setback;
};

inline constexpr uint8_t ZW_CLIMATE_SWPT_MAX = 9;
struct zwcc_shed_swpt_t {
    uint8_t hour;
    uint8_t minute;
    uint8_t state;  // ZW_CLIMATE_*
    int8_t setback;
};
struct zwcc_shed_t {
    uint8_t weekday;
    uint8_t cnt;  // switch points in use
    zwcc_shed_swpt_t swpt[ZW_CLIMATE_SWPT_MAX];
};

// A central scene notification (slow refresh: 0 or 0x80).
struct zwcsc_notif_t {
    uint8_t seq_no;
    uint8_t key_attr;
    uint8_t scene;
    uint8_t slow_rfsh;
};
static_assert(sizeof(zwcsc_notif_t) == 4, "cached notifications are 4-byte records");

// Door lock operation: mode, the handles that can open the door (bit
// masks), the door condition and the time left of a timed lock.
struct zwdlck_op_t {
    uint8_t mode;
    uint8_t out_handles;
    uint8_t in_handles;
    uint8_t cond;
    uint8_t tmout_min;
    uint8_t tmout_sec;
};
// Door lock configuration: operation type 1 constant, 2 timed.
struct zwdlck_cfg_t {
    uint8_t type;
    uint8_t out_handles;
    uint8_t in_handles;
    uint8_t tmout_min;
    uint8_t tmout_sec;
};

// A user code: id, status (0 available, 1 occupied, 2 reserved, 0xFE status
// unavailable), and its ASCII digits.
inline constexpr uint8_t ZW_USRCOD_MAX = 10;
struct zwusrcod_t {
    uint8_t id;
    uint8_t id_sts;
    uint8_t code_len;
    uint8_t code[ZW_USRCOD_MAX];
};

// What a protection interface supports.
struct zwprot_sup_t {
    uint8_t excl_ctl;  // exclusive control supported
    uint8_t tmout;     // RF protection time-out supported
    uint8_t lprot[16];
    uint8_t lprot_cnt;
    uint8_t rfprot[16];
    uint8_t rfprot_cnt;
};
static_assert(sizeof(zwprot_sup_t) == 36, "the protection capabilities are a 36-byte record");

// ---------------------------------------------------------------------------
// Report callbacks
// ---------------------------------------------------------------------------

// Thermostat mode, operating state and fan state are single values
// (zwrep_ts_fn).
using zwrep_byte_fn = void (*)(zwif_desc_t *intf, uint8_t value);
using zwrep_appl_busy_fn = void (*)(zwif_desc_t *intf, uint8_t status, uint8_t wait_tm);
using zwrep_thrmo_md_sup_fn = void (*)(zwif_desc_t *intf, uint8_t cnt, uint8_t *modes, int valid);
using zwrep_thrmo_fan_md_fn = void (*)(zwif_desc_t *intf, uint8_t off, uint8_t mode, time_t ts);
using zwrep_thrmo_fan_md_sup_fn = void (*)(zwif_desc_t *intf, uint8_t off, uint8_t cnt, uint8_t *modes, int valid);
using zwrep_thrmo_setp_fn = void (*)(zwif_desc_t *intf, zwsetp_t *value, time_t ts);
using zwrep_thrmo_setp_sup_fn = void (*)(zwif_desc_t *intf, uint8_t cnt, uint8_t *types, int valid);
using zwrep_thrmo_setp_range_fn = void (*)(zwif_desc_t *intf, uint8_t type, zwsetp_t *min, zwsetp_t *max,
                                           int valid);
using zwrep_cc_shed_ovr_fn = void (*)(zwif_desc_t *intf, zwcc_shed_ovr_t *ovr);
using zwrep_cc_shed_fn = void (*)(zwif_desc_t *intf, zwcc_shed_t *shed);
using zwrep_thrmo_setb_fn = void (*)(zwif_desc_t *intf, uint8_t type, uint8_t state, int8_t setback);
using zwrep_csc_fn = void (*)(zwif_desc_t *intf, zwcsc_notif_t *notif, time_t ts);
// Key attributes: `rows` holds one row per scene (one for all when
// `identical`), each `row_sz` bytes: a count, then that many attribute ids.
using zwrep_csc_sup_fn = void (*)(zwif_desc_t *intf, uint8_t scenes, uint8_t identical, uint8_t row_sz,
                                  uint8_t *rows, uint8_t slow_rfsh, int valid);
using zwrep_dlck_op_fn = void (*)(zwif_desc_t *intf, zwdlck_op_t *op, time_t ts);
using zwrep_dlck_cfg_fn = void (*)(zwif_desc_t *intf, zwdlck_cfg_t *cfg, time_t ts);
using zwrep_usr_sup_fn = void (*)(zwif_desc_t *intf, uint8_t cnt, int valid);
using zwrep_usr_cod_fn = void (*)(zwif_desc_t *intf, zwusrcod_t *code);
using zwrep_prot_fn = void (*)(zwif_desc_t *intf, uint8_t local, uint8_t rf);
using zwrep_prot_sup_fn = void (*)(zwif_desc_t *intf, zwprot_sup_t *sup, int valid);
using zwrep_clock_fn = void (*)(zwif_desc_t *intf, uint8_t weekday, uint8_t hour, uint8_t minute);

// ---------------------------------------------------------------------------
// Calls: 0 done, 1 queued (or sent with a report expected), 2 answered from
// the cache, negative error (-14 another class, -15 interface gone, -21 no
// such report, -23 version too low, -25 value out of range, -60 nothing
// cached).
// ---------------------------------------------------------------------------

// Application Status: what the device says when it cannot take a command.
int zwif_appl_busy_rpt_set(const zwif_desc_t *intf, zwrep_appl_busy_fn cb);
int zwif_appl_reject_rpt_set(const zwif_desc_t *intf, zwrep_byte_fn cb);

// Central Scene. The configuration calls need version 3 (else -52).
int zwif_csc_rpt_set(const zwif_desc_t *intf, zwrep_csc_fn cb);
int zwif_csc_sup_get(const zwif_desc_t *intf, zwrep_csc_sup_fn cb, int cache_only);
int zwif_csc_cfg_set(const zwif_desc_t *intf, uint8_t slow_rfsh);
int zwif_csc_cfg_get(const zwif_desc_t *intf);
int zwif_csc_cfg_rpt_set(const zwif_desc_t *intf, zwrep_byte_fn cb);  // 0 or 0x80

// The result of a supervised or read-back set: (network, node, endpoint,
// class, user parameter, status).
using zwif_set_result_fn = void (*)(zwnet_p net, uint8_t node_id, uint8_t ep_id, uint16_t cls, uint64_t user,
                                    uint32_t status);

// Door Lock. The operation set goes supervised when `cb` is given and the
// node takes supervision; else the lock is read back until it shows the
// mode, and `cb` (if any) hears how that ended (-63: the read-back could
// not be arranged).
int zwif_dlck_op_set(const zwif_desc_t *intf, uint8_t mode, zwif_set_result_fn cb, uint64_t user);
int zwif_dlck_op_rpt_set(const zwif_desc_t *intf, zwrep_dlck_op_fn cb);
int zwif_dlck_op_get_ex(const zwif_desc_t *intf, zwpoll_req_t *poll, uint32_t flags);
int zwif_dlck_op_get(const zwif_desc_t *intf, uint32_t flags);
int zwif_dlck_op_get_poll(const zwif_desc_t *intf, zwpoll_req_t *poll);
// Constant (type 1: the time-out is not used) or timed (type 2: 1..254
// minutes, 1..59 seconds).
int zwif_dlck_cfg_set(const zwif_desc_t *intf, const zwdlck_cfg_t *cfg);
int zwif_dlck_cfg_get(const zwif_desc_t *intf, zwrep_dlck_cfg_fn cb, uint32_t flags);

// User Code: codes of 4 to 10 decimal digits.
int zwif_usrcod_set(const zwif_desc_t *intf, const zwusrcod_t *code);
int zwif_usrcod_get(const zwif_desc_t *intf, uint8_t user_id, zwrep_usr_cod_fn cb);
int zwif_usrcod_sup_get(const zwif_desc_t *intf, zwrep_usr_sup_fn cb, int cache_only);
int zwif_usrcod_sup_cache_get(const zwif_desc_t *intf, uint8_t *cnt);

// Protection. Exclusive control and the RF time-out need version 2.
int zwif_prot_rpt_set(const zwif_desc_t *intf, zwrep_prot_fn cb);
int zwif_prot_get_ex(const zwif_desc_t *intf, zwpoll_req_t *poll);
int zwif_prot_get(const zwif_desc_t *intf);
int zwif_prot_get_poll(const zwif_desc_t *intf, zwpoll_req_t *poll);
int zwif_prot_set(const zwif_desc_t *intf, uint8_t local, uint8_t rf);
int zwif_prot_sup_get(const zwif_desc_t *intf, zwrep_prot_sup_fn cb, int cache_only);
int zwif_prot_sup_cache_get(const zwif_desc_t *intf, zwprot_sup_t *sup);
int zwif_prot_ec_rpt_set(const zwif_desc_t *intf, zwrep_byte_fn cb);  // the node in control
int zwif_prot_ec_get(const zwif_desc_t *intf);
int zwif_prot_ec_set(const zwif_desc_t *intf, uint8_t node_id);  // 0 ends it
int zwif_prot_tmout_rpt_set(const zwif_desc_t *intf, zwrep_byte_fn cb);
int zwif_prot_tmout_get(const zwif_desc_t *intf);
// 1..60 seconds, 65..254 for 2..191 minutes, 0xFF without end.
int zwif_prot_tmout_set(const zwif_desc_t *intf, uint8_t tmout);

// Clock: weekday 0 (unknown) or 1 Monday .. 7 Sunday.
int zwif_clock_rpt_set(const zwif_desc_t *intf, zwrep_clock_fn cb);
int zwif_clock_get(const zwif_desc_t *intf);
int zwif_clock_set(const zwif_desc_t *intf, uint8_t weekday, uint8_t hour, uint8_t minute);

// Indicator: 0 off, 1..99 or 0xFF on.
int zwif_ind_rpt_set(const zwif_desc_t *intf, zwrep_byte_fn cb);
int zwif_ind_get_ex(const zwif_desc_t *intf, zwpoll_req_t *poll);
int zwif_ind_get(const zwif_desc_t *intf);
int zwif_ind_get_poll(const zwif_desc_t *intf, zwpoll_req_t *poll);
int zwif_ind_set(const zwif_desc_t *intf, uint8_t value);
