// Nodes, endpoints and interfaces as the application sees them: plain
// descriptors that it owns, and the calls that walk the tree with them. The
// library's own records never leave it; a descriptor whose node has gone
// meanwhile yields "not found".
#pragma once

#include "hcapi/include/zwnet.h"

#include <cstdint>

inline constexpr size_t ZW_NAMELOC_SZ = 33;  // 32 bytes of UTF-8 and a NUL
inline constexpr size_t ZW_DEV_ID_SZ = 32;
inline constexpr size_t ZWEP_AGGR_MAX = 127;

struct zwif_desc_t {
    uint16_t cls;
    uint8_t ver;
    uint8_t real_ver;
    uint8_t propty;  // bit 0 secure access, bit 1 non-secure access
    uint8_t epid;
    uint8_t nodeid;
    zwnet_p net;
};
static_assert(sizeof(zwif_desc_t) == 16, "queued commands rely on a 16-byte interface descriptor");

struct zwplus_info_t {
    uint8_t zwplus_ver;
    uint8_t node_type;
    uint8_t role_type;
    uint16_t instr_icon;
    uint16_t usr_icon;
};

struct zwep_desc_t {
    uint8_t generic;
    uint8_t specific;
    uint8_t epid;
    uint8_t nodeid;
    uint8_t aggr_ep_cnt;
    uint8_t aggr_members[ZWEP_AGGR_MAX];
    zwnet_p net;
    char name[ZW_NAMELOC_SZ];
    char loc[ZW_NAMELOC_SZ];
    zwplus_info_t zwplus_info;
};

struct zw_dev_id_t {
    uint8_t type;
    uint8_t format;
    uint8_t len;
    uint8_t dev_id[ZW_DEV_ID_SZ];
};

// Node property bits.
enum : uint8_t {
    NODE_PROPTY_SECURE_CAP_S0 = 0x01,
    NODE_PROPTY_SECURE_CAP_S2 = 0x02,
    NODE_PROPTY_ADD_SECURE = 0x04,
    NODE_PROPTY_ADD_INSECURE = 0x08,
};

struct zwnode_desc_t {
    uint8_t nodeid;
    uint8_t propty;
    uint16_t vid;
    uint16_t type;
    uint16_t pid;
    zwnet_p net;
    zw_dev_id_t dev_id;
    uint16_t proto_ver;
    uint16_t app_ver;
    uint8_t lib_type;
    uint8_t category;
    uint8_t sensor;  // FLiRS
    uint8_t sleep_cap;
    uint8_t listen;
    uint32_t wkup_intv;
    uint8_t s2_keys_valid;
    uint8_t s2_grnt_keys;
    char s2_dsk[ZWNET_DSK_TEXT_MAX + 1];
};

// Extended version information: hardware version and one firmware version
// (major in the high byte) per firmware target.
struct ext_ver_t {
    uint8_t hw_ver;
    uint8_t fw_cnt;
    uint16_t fw_ver[1];  // fw_cnt of them
};

struct zwep_nameloc_t {
    char name[ZW_NAMELOC_SZ];
    char loc[ZW_NAMELOC_SZ];
};

// The first node (the controller): 0, or -13.
int zwnet_get_node(zwnet_p net, zwnode_desc_t *first);

// Node accessors: 0, or -13 when the node is unknown (or is the last).
int zwnode_get_next(const zwnode_desc_t *node, zwnode_desc_t *next);
int zwnode_get_ep(const zwnode_desc_t *node, zwep_desc_t *ep);  // -20 unknown node
int zwnode_set_user(const zwnode_desc_t *node, void *user);
void *zwnode_get_user(const zwnode_desc_t *node);
zwnet_p zwnode_get_net(const zwnode_desc_t *node);
// A copy of the extended version record (free it with std::free), or null.
ext_ver_t *zwnode_ext_ver_get(const zwnode_desc_t *node);

// Endpoint accessors.
int zwep_get_if(const zwep_desc_t *ep, zwif_desc_t *first);      // -15
int zwep_get_next(const zwep_desc_t *ep, zwep_desc_t *next);     // -20
int zwep_get_node(const zwep_desc_t *ep, zwnode_desc_t *node);   // -13
int zwep_set_user(const zwep_desc_t *ep, void *user);
void *zwep_get_user(const zwep_desc_t *ep);
// Cuts name and location to 32 bytes on a UTF-8 boundary (the caller's copy
// too) and stores them; an endpoint with Node Naming is sent them too
// (zwif_nameloc_snd). 0, 1 queued, -20, or the send's error.
int zwep_nameloc_set(const zwep_desc_t *ep, zwep_nameloc_t *nameloc);

// Interface accessors.
int zwif_get_next(const zwif_desc_t *intf, zwif_desc_t *next);  // -15
int zwif_get_ep(const zwif_desc_t *intf, zwep_desc_t *ep);      // -15
int zwif_sibling_get(const zwif_desc_t *intf, uint16_t cls, zwif_desc_t *sibling);  // -15, -14
int zwif_set_user(const zwif_desc_t *intf, void *user);
void *zwif_get_user(const zwif_desc_t *intf);
// The interface's version as the device reported it; 0 when unknown.
uint8_t zwif_real_ver_get(const zwif_desc_t *intf);

// Interviews the node again (operation 13, "Update node"): 0 started, -17
// another operation runs, -27 the controller's own node, -13 unknown node,
// -19 the interview did not start. Its end comes as the operation's
// notification.
int zwnode_update(const zwnode_desc_t *node);

// Look-ups by id: 0, or -13 / -20 / -15 when absent; a null out only tests
// presence.
int zwnet_node_desc_get(zwnet_p net, uint8_t node_id, zwnode_desc_t *node);
int zwnet_ep_desc_get(zwnet_p net, uint8_t node_id, uint8_t ep_id, zwep_desc_t *ep);
int zwnet_if_desc_get(zwnet_p net, uint8_t node_id, uint8_t ep_id, uint16_t cls, zwif_desc_t *intf);

// ---------------------------------------------------------------------------
// The sleeping-node command queue
// ---------------------------------------------------------------------------

// The operation codes of the queued commands that begin an operation, in
// queue order: their number (0: none, and no array) and a new array that the
// caller frees with std::free.
int zwnode_cmd_q_get(const zwnode_desc_t *node, uint16_t **op_codes);
// Empties the queue: 0, or -13.
int zwnode_cmd_q_cancel(const zwnode_desc_t *node);
// Queue commands while the node sleeps (disabling empties the queue): 0, -27
// for a node that cannot sleep, -13.
int zwnode_cmd_q_ena_set(const zwnode_desc_t *node, uint8_t enable);
int zwnode_cmd_q_ena_get(const zwnode_desc_t *node, uint8_t *enable);
// Batch a node's commands in Multi Command frames: 0, -27 for a node without
// Multi Command, -13. Switching off sends what was batched.
int zwnode_mul_cmd_ctl_set(const zwnode_desc_t *node, uint8_t on);
int zwnode_mul_cmd_ctl_get(const zwnode_desc_t *node, uint8_t *on);
