// The calls of the association classes (with the return routes that an
// added member needs), of the thermostats, climate schedules and
// notifications, and of the Z/IP gateway, Z/IP portal and Simple AV
// classes. The records and report callbacks they use live in the family
// headers (zwif_ctl.h, zwif_sw.h, zwif_mgmt.h).
//
// Calls: 0 done, 1 queued (or sent with a report expected), 2 answered
// from the cache or the device record, negative error (-10 a member with an
// endpoint on an interface that cannot address endpoints, -14 another
// class, -15 interface gone, -20 endpoint gone, -23 version too low, -25
// value out of range, -36 frame too long, -57 no device-record entry, -60
// nothing cached).
#pragma once

#include "hcapi/include/zwif.h"
#include "hcapi/include/zwif_ctl.h"
#include "hcapi/include/zwif_mgmt.h"
#include "hcapi/include/zwif_sw.h"

#include <cstdint>

struct dev_if_t;

inline constexpr int ZW_ERR_NO_DEV_REC = -57;

// ---------------------------------------------------------------------------
// Association (0x85) and Multi Channel Association (0x8E)
// ---------------------------------------------------------------------------

// Members of an add are endpoints (node id and endpoint id are used; endpoint
// 0 is the node itself), of a remove (node, endpoint) pairs. Both arrays may
// be changed in place: a member that is the controller itself is given the
// endpoint that the node can address.
int zwif_group_get(const zwif_desc_t *intf, uint8_t grp, zwrep_group_fn cb);
// 0, 1 (sent; the node's return routes to the new members follow), or an
// error. A member that lacks a class the group sends gives -14.
int zwif_group_add(const zwif_desc_t *intf, uint8_t grp, zwep_desc_t *members, uint8_t cnt);
// Count 0 removes every member of the group, group 0 every group.
int zwif_group_del(const zwif_desc_t *intf, uint8_t grp, zwif_assoc_ent_t *members, uint8_t cnt);
int zwif_group_sup_get(const zwif_desc_t *intf, zwrep_groups_fn cb, int cache_only);
int zwif_group_actv_get(const zwif_desc_t *intf, zwrep_group_active_fn cb);

// Association group information (0x59), copied for the caller.
struct zwif_grp_rec_t {
    uint8_t grp_num;
    uint16_t profile;
    uint16_t evt_code;
    char name[44];  // terminated
    uint8_t cmd_cnt;
    zwif_grp_cmd_ent_t *cmds;  // cmd_cnt entries, in the same allocation
};
struct zwif_grp_info_t {
    uint16_t valid_cnt;  // groups copied
    uint16_t grp_cnt;
    uint32_t dynamic;
    zwif_grp_rec_t **grps;  // grp_cnt entries, group n at n - 1
};
// 0 and a copy to free with zwif_group_info_free; -15, -53 nothing cached or
// a group missing, -12 (the caller's pointer is then null).
int zwif_group_info_get(const zwif_desc_t *intf, zwif_grp_info_t **info);
void zwif_group_info_free(zwif_grp_info_t *info);

// ---------------------------------------------------------------------------
// Thermostats (0x40, 0x42, 0x43, 0x44, 0x45, 0x47), Climate Control Schedule
// (0x46)
// ---------------------------------------------------------------------------

int zwif_thrmo_mode_rpt_set(const zwif_desc_t *intf, zwrep_ts_fn cb);
int zwif_thrmo_mode_get(const zwif_desc_t *intf, uint32_t flags);
int zwif_thrmo_mode_set(const zwif_desc_t *intf, uint8_t mode);
int zwif_thrmo_mode_sup_get(const zwif_desc_t *intf, zwrep_thrmo_md_sup_fn cb, int cache_only);
// `modes` has room for 255 entries.
int zwif_thrmo_mode_sup_cache_get(const zwif_desc_t *intf, uint8_t *modes, uint8_t *cnt);

int zwif_thrmo_op_rpt_set(const zwif_desc_t *intf, zwrep_ts_fn cb);
int zwif_thrmo_op_get(const zwif_desc_t *intf, uint32_t flags);

int zwif_thrmo_setp_rpt_set(const zwif_desc_t *intf, zwrep_thrmo_setp_fn cb);
int zwif_thrmo_setp_get_ex(const zwif_desc_t *intf, uint8_t type, zwpoll_req_t *poll, uint32_t flags);
int zwif_thrmo_setp_get(const zwif_desc_t *intf, uint8_t type, uint32_t flags);
int zwif_thrmo_setp_get_poll(const zwif_desc_t *intf, uint8_t type, zwpoll_req_t *poll);
int zwif_thrmo_setp_set(const zwif_desc_t *intf, const zwsetp_t *value);
int zwif_thrmo_setp_sup_get(const zwif_desc_t *intf, zwrep_thrmo_setp_sup_fn cb, int cache_only);
int zwif_thrmo_setp_sup_cache_get(const zwif_desc_t *intf, uint8_t *cnt, uint8_t *types);
int zwif_thrmo_setp_range_get(const zwif_desc_t *intf, uint8_t type, zwrep_thrmo_setp_range_fn cb, int cache_only);
int zwif_thrmo_setp_range_cache_get(const zwif_desc_t *intf, uint8_t type, zwsetp_t *min, zwsetp_t *max);

int zwif_thrmo_fan_mode_rpt_set(const zwif_desc_t *intf, zwrep_thrmo_fan_md_fn cb);
int zwif_thrmo_fan_mode_get(const zwif_desc_t *intf, uint32_t flags);
// The off flag needs version 2.
int zwif_thrmo_fan_mode_set(const zwif_desc_t *intf, uint8_t off, uint8_t mode);
int zwif_thrmo_fan_mode_sup_get(const zwif_desc_t *intf, zwrep_thrmo_fan_md_sup_fn cb, int cache_only);
int zwif_thrmo_fan_mode_sup_cache_get(const zwif_desc_t *intf, uint8_t *off_sup, uint8_t *cnt, uint8_t *modes);

int zwif_thrmo_fan_sta_rpt_set(const zwif_desc_t *intf, zwrep_ts_fn cb);
int zwif_thrmo_fan_sta_get(const zwif_desc_t *intf, uint32_t flags);

// Weekday 1 (Monday) .. 7; up to 9 switch points in strictly increasing time
// order, states ZW_CLIMATE_SETBACK (at most 120 tenths), FROST_PROTECTION or
// ENERGY_SAVING.
int zwif_clmt_ctl_schd_rpt_set(const zwif_desc_t *intf, zwrep_cc_shed_fn cb);
int zwif_clmt_ctl_schd_get(const zwif_desc_t *intf, uint8_t weekday);
int zwif_clmt_ctl_schd_set(const zwif_desc_t *intf, const zwcc_shed_t *sched);
int zwif_clmt_ctl_schd_chg_rpt_set(const zwif_desc_t *intf, zwrep_byte_fn cb);
int zwif_clmt_ctl_schd_chg_get_ex(const zwif_desc_t *intf, zwpoll_req_t *poll);
int zwif_clmt_ctl_schd_chg_get(const zwif_desc_t *intf);
int zwif_clmt_ctl_schd_chg_get_poll(const zwif_desc_t *intf, zwpoll_req_t *poll);
int zwif_clmt_ctl_schd_ovr_rpt_set(const zwif_desc_t *intf, zwrep_cc_shed_ovr_fn cb);
int zwif_clmt_ctl_schd_ovr_get(const zwif_desc_t *intf);
int zwif_clmt_ctl_schd_ovr_set(const zwif_desc_t *intf, const zwcc_shed_ovr_t *ovr);

// Setback type 0 none, 1 temporary, 2 permanent; state ZW_CLIMATE_*.
int zwif_thrmo_setb_rpt_set(const zwif_desc_t *intf, zwrep_thrmo_setb_fn cb);
int zwif_thrmo_setb_get(const zwif_desc_t *intf);
int zwif_thrmo_setb_set(const zwif_desc_t *intf, uint8_t type, uint8_t state, int8_t setback);

// ---------------------------------------------------------------------------
// Alarm / Notification (0x71)
// ---------------------------------------------------------------------------

// The request goes through the node's alarm rules first, which turn the
// values the application knows into those the device knows. A negative
// vendor type means none.
int zwif_alrm_rpt_set(const zwif_desc_t *intf, zwrep_alrm_fn cb);
int zwif_alrm_get_ex(const zwif_desc_t *intf, int16_t vtype, uint8_t type, uint8_t evt, zwpoll_req_t *poll,
                     uint32_t flags);
int zwif_alrm_get(const zwif_desc_t *intf, int16_t vtype, uint8_t type, uint8_t evt, uint32_t flags);
int zwif_alrm_get_poll(const zwif_desc_t *intf, int16_t vtype, uint8_t type, uint8_t evt, zwpoll_req_t *poll);
int zwif_alrm_set(const zwif_desc_t *intf, uint8_t type, uint8_t status);
int zwif_alrm_sup_get(const zwif_desc_t *intf, zwrep_alrm_sup_fn cb, int cache_only);
int zwif_alrm_sup_evt_get(const zwif_desc_t *intf, uint8_t type, zwrep_alrm_evt_fn cb, int cache_only);
// `types` has room for 255 entries, `events` for 80.
int zwif_alrm_sup_cache_get(const zwif_desc_t *intf, uint8_t *have_vtype, uint8_t *cnt, uint8_t *types);
int zwif_alrm_sup_evt_cache_get(const zwif_desc_t *intf, uint8_t type, uint8_t *cnt, uint8_t *events);
// The alarm rules of the interface's endpoint in the node's device record;
// they stay valid while the network runs.
int zwif_alrm_dev_rec_get(const zwif_desc_t *intf, const dev_if_t **rules);

// ---------------------------------------------------------------------------
// Z/IP Gateway (0x5F), Z/IP Portal (0x61): the gateway's own interfaces
// ---------------------------------------------------------------------------

enum : uint8_t {
    ZWIF_GW_MODE_STDALONE = 1,
    ZWIF_GW_MODE_PORTAL = 2,
};
// Portal mode needs the peer: not a link-local address, and a name when the
// address is all zeros.
int zwif_gw_mode_set(const zwif_desc_t *intf, uint8_t mode, const zwif_gw_peer_t *peer);
int zwif_gw_lock_set(const zwif_desc_t *intf, uint8_t lock, uint8_t show);
// `cb` hears the mode once: from the gateway's answer, or with status 1
// when the gateway has not answered within 5.3 s.
int zwif_gw_mode_get(const zwif_desc_t *intf, zwrep_gw_mode_fn cb);
int zwif_gw_unsolic_set(const zwif_desc_t *intf, const uint8_t *addr, uint16_t port);
int zwif_gw_unsolic_get(const zwif_desc_t *intf, zwrep_gw_unsolic_fn cb);

struct zwif_portal_cfg_t {
    uint8_t lan_addr[16];
    uint8_t gw_addr[16];     // default gateway
    uint8_t pan_prefix[16];
    uint8_t portal_prefix[16];
    uint8_t lan_prefix_len;
    uint8_t portal_prefix_len;
};
int zwif_gw_cfg_set(const zwif_desc_t *intf, const zwif_portal_cfg_t *cfg, zwrep_gw_cfg_sts_fn cb);
int zwif_gw_cfg_get(const zwif_desc_t *intf, zwrep_gw_cfg_fn cb);

// ---------------------------------------------------------------------------
// Simple AV Control (0x94)
// ---------------------------------------------------------------------------

// A key press: key down starts a keep-alive every 400 ms that the next call
// (key up, or another key) ends.
int zwif_av_set(const zwif_desc_t *intf, uint16_t cmd, uint8_t key_down);
int zwif_av_sup_get(const zwif_desc_t *intf, zwrep_av_fn cb, int cache_only);
