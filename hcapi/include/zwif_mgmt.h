// Association, identification, wake-up, firmware and gateway classes: the
// records their reports hand to the report callbacks, the callback types,
// and the calls of Configuration, Powerlevel, Node Naming, Wake Up and
// Association Command Configuration.
//
// Every callback gets the interface descriptor first and is called without
// the network mutex; what it receives by pointer lives only during the call.
#pragma once

#include "hcapi/include/zwif.h"

#include <cstdint>

// ---------------------------------------------------------------------------
// Association Group Information (0x59)
// ---------------------------------------------------------------------------

struct zwif_grp_cmd_ent_t {
    uint16_t cls;
    uint8_t cmd;
};

struct zwif_grp_info_ent_t {
    uint8_t grp_num;
    uint16_t profile;
    uint16_t evt_code;
};

// Command List Report: the group's commands (at most 127).
using zwrep_grp_cmd_lst_fn = void (*)(zwif_desc_t *intf, uint8_t grp, uint8_t cnt, const zwif_grp_cmd_ent_t *cmds);
// Info Report: profile and event code of `cnt` groups; `dynamic` 1 when the
// group information may change.
using zwrep_grp_info_fn = void (*)(zwif_desc_t *intf, uint8_t cnt, uint8_t dynamic, const zwif_grp_info_ent_t *info);
// Name Report: `len` bytes of UTF-8, not terminated.
using zwrep_grp_name_fn = void (*)(zwif_desc_t *intf, uint8_t grp, uint8_t len, const uint8_t *name);

// ---------------------------------------------------------------------------
// Association (0x85), Multi Channel Association (0x8E), IP Association (0x5C)
// ---------------------------------------------------------------------------

// A member of a group: a node, or an endpoint of it (0: the node itself).
struct zwif_assoc_ent_t {
    uint8_t node_id;
    uint8_t ep_id;
};

// A group's members, gathered over all the frames of its report.
using zwrep_group_fn = void (*)(zwif_desc_t *intf, uint8_t grp, uint8_t max_node, uint16_t cnt,
                                const zwif_assoc_ent_t *ents);
// The number of groups; `valid` 1.
using zwrep_groups_fn = void (*)(zwif_desc_t *intf, uint8_t max_grp, int valid);
// The group that the device's last user action concerned.
using zwrep_group_active_fn = void (*)(zwif_desc_t *intf, uint8_t grp);
// IP Association: the members of a group whose addresses resolve to nodes.
using zwrep_ip_assoc_fn = void (*)(zwif_desc_t *intf, uint8_t grp, uint8_t total, uint16_t cnt,
                                   const zwif_assoc_ent_t *ents);

// ---------------------------------------------------------------------------
// Identification: Version (0x86), Manufacturer Specific (0x72), Z-Wave Plus
// Info (0x5E), Node Naming (0x77)
// ---------------------------------------------------------------------------

// Version Report; `ext` (hardware version and firmware targets, as
// ext_ver_t) only from version 2 interfaces whose device sent them.
using zwrep_ver_fn = void (*)(zwif_desc_t *intf, uint16_t proto_ver, uint16_t app_ver, uint8_t lib_type,
                              const ext_ver_t *ext);
// Command Class Version Report.
using zwrep_cls_ver_fn = void (*)(zwif_desc_t *intf, uint16_t cls, uint8_t ver);

struct zwif_manf_t {
    uint16_t manf_id;
    uint16_t prod_type;
    uint16_t prod_id;
};
using zwrep_manf_fn = void (*)(zwif_desc_t *intf, const zwif_manf_t *manf);
// Device Specific Report: up to 31 bytes of id.
using zwrep_dev_id_fn = void (*)(zwif_desc_t *intf, const zw_dev_id_t *dev_id);

using zwrep_zwplus_fn = void (*)(zwif_desc_t *intf, const zwplus_info_t *info);

// Name or Location Report: at most 32 bytes of text in character set
// `charset` (0 ASCII, 1 extended ASCII, 2 UTF-16 big-endian), not terminated.
using zwrep_nameloc_fn = void (*)(zwif_desc_t *intf, const uint8_t *text, uint8_t len, uint8_t charset);

// ---------------------------------------------------------------------------
// Multi Channel (0x60)
// ---------------------------------------------------------------------------

// Multi Instance Report: instances of a class.
using zwrep_mul_inst_fn = void (*)(zwif_desc_t *intf, uint16_t cls, uint8_t cnt);
// End Point Report: individual and aggregated endpoints, and the flags byte
// (bit 7 dynamic, bit 6 identical).
using zwrep_mul_ep_fn = void (*)(zwif_desc_t *intf, uint8_t ep_cnt, uint8_t aggr_cnt, uint8_t flags);

// Capability Report of one endpoint: its classes without and with security.
struct zwif_ep_cap_t {
    uint8_t ep;
    uint8_t dynamic;
    uint8_t generic;
    uint8_t specific;
    uint8_t cls_cnt;
    uint8_t sec_cnt;
    const uint16_t *cls;
    const uint16_t *sec_cls;
};
using zwrep_ep_cap_fn = void (*)(zwif_desc_t *intf, const zwif_ep_cap_t *cap);
// Aggregated Members Report: the member endpoints of an aggregated endpoint.
using zwrep_aggr_fn = void (*)(zwif_desc_t *intf, uint8_t ep, uint8_t cnt, const uint8_t *members);

// ---------------------------------------------------------------------------
// Wake Up (0x84)
// ---------------------------------------------------------------------------

// Interval and, from version 2, the interval capabilities (seconds).
struct zwif_wakeup_t {
    uint32_t min;
    uint32_t max;
    uint32_t def;
    uint32_t interval_step;
    uint32_t cur;     // the interval in use
    uint8_t node_id;  // the node that hears the notifications
    zwnet_p net;
};
using zwrep_wakeup_fn = void (*)(zwif_desc_t *intf, const zwif_wakeup_t *wkup);

// Sets the interval (at most 2^24 - 1 s) and the node that hears the
// notifications (0: 0xFF, none given).
int zwif_wakeup_set(const zwif_desc_t *intf, uint32_t interval, uint8_t node_id);
// Registers `cb` for the interval report (and, from version 2, for the
// capabilities report) and asks the interval.
int zwif_wakeup_get(const zwif_desc_t *intf, zwrep_wakeup_fn cb);

// ---------------------------------------------------------------------------
// Firmware Update Meta Data (0x7A): the reports
// ---------------------------------------------------------------------------

struct zwif_fw_info_t {
    uint16_t vid;
    uint16_t fw_id;
    uint16_t chksum;
    uint16_t max_frag_sz;
    uint8_t short_rpt;   // 1: the device sent the 8-byte form
    uint8_t upgrade_flg;
    uint8_t hw_ver_valid;
    uint8_t hw_ver;
    uint8_t other_fw_cnt;
    const uint16_t *other_fw_id;  // other_fw_cnt of them
};
using zwrep_fw_info_fn = void (*)(zwif_desc_t *intf, const zwif_fw_info_t *info);
using zwrep_fw_req_fn = void (*)(zwif_desc_t *intf, uint8_t status);
// Status Report: `wait` 1 when the device restarts within `wait_tm` seconds.
using zwrep_fw_sts_fn = void (*)(zwif_desc_t *intf, uint8_t status, uint16_t wait_tm, uint8_t wait);
// The device asks for firmware fragments: `cnt` reports from `rpt_num`.
using zwrep_fw_frag_fn = void (*)(zwif_desc_t *intf, uint16_t rpt_num, uint8_t cnt);

// ---------------------------------------------------------------------------
// Z/IP Gateway (0x5F), Z/IP Portal (0x61), Mailbox (0x69)
// ---------------------------------------------------------------------------

inline constexpr uint8_t ZWIF_GW_PEER_NAME_MAX = 63;
struct zwif_gw_peer_t {
    uint16_t port;
    uint8_t addr[16];
    char name[ZWIF_GW_PEER_NAME_MAX + 1];  // terminated
    uint8_t name_len;
};
// Unsolicited Destination Report.
using zwrep_gw_unsolic_fn = void (*)(zwif_desc_t *intf, const uint8_t *addr, uint16_t port);
// Gateway mode: `sts` 0 known, else the mode could not be completed; mode 1
// stand-alone, 2 portal (with its peer when the gateway named one).
using zwrep_gw_mode_fn = void (*)(zwif_desc_t *intf, int sts, uint8_t mode, const zwif_gw_peer_t *peer);

struct zwif_gw_cfg_t {
    uint8_t lan_addr[16];
    uint8_t lan_prefix;
    uint8_t portal_addr[16];
    uint8_t portal_prefix;
    uint8_t gw_addr[16];
    uint8_t pan_prefix[16];
};
using zwrep_gw_cfg_fn = void (*)(zwif_desc_t *intf, const zwif_gw_cfg_t *cfg);
using zwrep_gw_cfg_sts_fn = void (*)(zwif_desc_t *intf, uint8_t status);

struct zwif_mailbox_cfg_t {
    uint8_t sup_modes;
    uint8_t mode;
    uint16_t capacity;
    uint8_t fwd_addr[16];
    uint16_t port;
};
using zwrep_mailbox_fn = void (*)(zwif_desc_t *intf, const zwif_mailbox_cfg_t *cfg);

// ---------------------------------------------------------------------------
// Simple AV Control (0x94), Security (0x98), Security 2 (0x9F)
// ---------------------------------------------------------------------------

// The supported-command bit mask, gathered over all its reports.
using zwrep_av_fn = void (*)(zwif_desc_t *intf, uint16_t len, const uint8_t *mask, int valid);
// The classes supported under security (null and 0 when none).
using zwrep_sec_cls_fn = void (*)(zwif_desc_t *intf, const uint16_t *cls, uint8_t cnt);

// ---------------------------------------------------------------------------
// Configuration (0x70)
// ---------------------------------------------------------------------------

struct zwif_config_t {
    uint8_t param_num;
    uint8_t size;      // 1, 2 or 4
    uint8_t data[4];   // big-endian, `size` bytes
    uint8_t use_default;  // set only: the device's default instead of `data`
};
using zwrep_config_fn = void (*)(zwif_desc_t *intf, const zwif_config_t *param);

int zwif_config_set(const zwif_desc_t *intf, const zwif_config_t *param);
int zwif_config_get(const zwif_desc_t *intf, uint8_t param_num);
int zwif_config_rpt_set(const zwif_desc_t *intf, zwrep_config_fn cb);

// ---------------------------------------------------------------------------
// Powerlevel (0x73)
// ---------------------------------------------------------------------------

// Level 0 normal power to 9 (-9 dBm); `timeout` seconds left at that level.
using zwrep_power_level_fn = void (*)(zwif_desc_t *intf, uint8_t level, uint8_t timeout);
// Test of a link: status 0 failed, 1 succeeded, 2 in progress.
using zwrep_power_level_test_fn = void (*)(zwif_desc_t *intf, uint8_t node_id, uint8_t status, uint16_t ack_cnt);

int zwif_power_lvl_set(const zwif_desc_t *intf, uint8_t level, uint8_t timeout);
int zwif_power_lvl_get(const zwif_desc_t *intf);
int zwif_power_lvl_rpt_set(const zwif_desc_t *intf, zwrep_power_level_fn cb);
int zwif_power_lvl_test_set(const zwif_desc_t *intf, uint8_t node_id, uint8_t level, uint16_t frame_cnt);
int zwif_power_lvl_test_get(const zwif_desc_t *intf);
int zwif_power_lvl_test_rpt_set(const zwif_desc_t *intf, zwrep_power_level_test_fn cb);

// ---------------------------------------------------------------------------
// Node Naming and Location (0x77)
// ---------------------------------------------------------------------------

// Sends the name and then the location, each cut to the longest valid UTF-8
// prefix of at most 16 bytes: 0, 1 queued, or the first error.
int zwif_nameloc_snd(const zwif_desc_t *intf, const zwep_nameloc_t *nameloc);

// ---------------------------------------------------------------------------
// Association Command Configuration (0x9B)
// ---------------------------------------------------------------------------

inline constexpr uint8_t ZWIF_GROUP_CMD_MAX = 41;  // command bytes a set can carry

struct zwif_cmd_rec_sup_t {
    uint8_t configurable;
    uint8_t cmd_kind;     // 0 plain, 1 the device accepts any
    uint8_t max_len;      // command bytes per record
    uint16_t free_recs;
    uint16_t total_recs;
};
using zwrep_group_cmd_sup_fn = void (*)(zwif_desc_t *intf, const zwif_cmd_rec_sup_t *sup);
// The command the device sends to `node_id` for group `grp`.
using zwrep_group_cmd_fn = void (*)(zwif_desc_t *intf, uint8_t grp, uint8_t node_id, const uint8_t *cmd,
                                    uint8_t len);

int zwif_group_cmd_sup_get(const zwif_desc_t *intf, zwrep_group_cmd_sup_fn cb);
int zwif_group_cmd_set(const zwif_desc_t *intf, uint8_t grp, uint8_t node_id, const uint8_t *cmd, uint8_t len);
int zwif_group_cmd_get(const zwif_desc_t *intf, uint8_t grp, uint8_t node_id, zwrep_group_cmd_fn cb);

// ---------------------------------------------------------------------------
// Firmware Update Meta Data (0x7A): the update
// ---------------------------------------------------------------------------

// Restart of a node after its update: status 0 it answers again, 1 it did not.
using zwnode_restart_fn = void (*)(const zwnode_desc_t *node, int status);

struct zwif_fw_updt_req_t {
    uint16_t vid;         // manufacturer id
    uint16_t fw_id;
    uint8_t hw_ver;
    uint8_t fw_tgt;       // firmware target (0: the node's own firmware)
    const char *fw_file;  // image: ".hex", ".otz", ".ota" (any case) Intel HEX, else binary
    zwrep_fw_req_fn req_cb;   // the node's answer to the request
    zwrep_fw_sts_fn sts_cb;   // the final status
    zwnode_restart_fn restart_cb;
};

// Registers `cb` for the meta data report and asks for it.
int zwif_fw_info_get(const zwif_desc_t *intf, zwrep_fw_info_fn cb);
// Starts the update of a node whose meta data was read: it runs as
// operation 19 (ZWNET_OP_FW_UPDT) until the node's final status. 0 or 1
// sent; -17 another operation runs; -19 an update is already tracked; -53 no
// meta data; -25 a target the interface cannot take; -28 / -30 / -55 the
// image cannot be opened / is empty / is no valid HEX image; -12.
int zwif_fw_updt_req(const zwif_desc_t *intf, const zwif_fw_updt_req_t *req);
