// The host-controller library's network calls, as the daemon sees them:
// status codes, operation codes, the start parameters with their callbacks,
// and the network's life.
//
// Every callback registered here is called without the library's network
// mutex held, so it may call any public function of the library.
#pragma once

#include <cstddef>
#include <cstdint>

struct zwnet;
using zwnet_t = zwnet;
using zwnet_p = zwnet_t *;

struct zwnode_desc_t;

// Host-controller status: 0 success, 1 queued (or sent with a report
// expected), 2 answered from the cache, negative values are errors.
enum : int {
    ZW_ERR_NONE = 0,
    ZW_ERR_QUEUED = 1,
    ZW_ERR_CACHE_AVAIL = 2,
    ZW_ERR_FAILED = -1,
    ZW_ERR_MEMORY = -12,
    ZW_ERR_NODE_NOT_FOUND = -13,
    ZW_ERR_CLASS_NOT_FOUND = -14,
    ZW_ERR_INTF_NOT_FOUND = -15,
    ZW_ERR_LAST_OP_NOT_DONE = -17,
    ZW_ERR_OP_FAILED = -19,
    ZW_ERR_EP_NOT_FOUND = -20,
    ZW_ERR_RPT_NOT_FOUND = -21,
    ZW_ERR_NET_NOT_FOUND = -22,
    ZW_ERR_CLASS_VER = -23,
    ZW_ERR_VALUE = -25,
    ZW_ERR_UNSUPPORTED = -27,
    ZW_ERR_NO_RES = -34,
    ZW_ERR_TOO_LARGE = -36,
    ZW_ERR_TOO_SMALL = -37,
    ZW_ERR_BUSY = -43,
    ZW_ERR_TRANSPORT_INI = -45,  // -44 - n for the failing Z/IP layer n (1..4)
    ZW_ERR_FRAME_INI = -46,
    ZW_ERR_SESSION_INI = -47,
    ZW_ERR_APPL_INI = -48,
    ZW_ERR_UNEXPECTED = -49,
    ZW_ERR_INTF_NO_DATA = -53,
    ZW_ERR_DISALLOWED = -58,
    ZW_ERR_PSK_TOO_SHORT = -59,
    ZW_ERR_NO_CACHE_AVAIL = -60,
    ZW_ERR_CACHED = -61,
    ZW_ERR_NET_NOT_RUNNING = -62,
};

// Network operation codes (the current operation; 0 none).
enum : uint8_t {
    ZWNET_OP_NONE = 0,
    ZWNET_OP_INITIALIZE = 1,
    ZWNET_OP_ADD_NODE = 2,
    ZWNET_OP_RM_NODE = 3,
    ZWNET_OP_RP_NODE = 4,
    ZWNET_OP_RM_FAILED_ID = 5,
    ZWNET_OP_INITIATE = 6,
    ZWNET_OP_UPDATE = 7,
    ZWNET_OP_RESET = 8,
    ZWNET_OP_MIGRATE_SUC = 9,
    ZWNET_OP_MIGRATE = 10,
    ZWNET_OP_ASSIGN = 11,
    ZWNET_OP_NODE_UPDATE = 13,
    ZWNET_OP_SEND_NIF = 14,
    ZWNET_OP_NW_CHANGED = 15,
    ZWNET_OP_NODE_CACHE_UPT = 16,
    ZWNET_OP_SAVE_NW = 17,
    ZWNET_OP_SLEEP_NODE_UPT = 18,
    ZWNET_OP_FW_UPDT = 19,
};

// Operation status of the notify callback.
enum : uint16_t {
    ZWNET_OP_STS_DONE = 0,
    ZWNET_OP_STS_FAILED = 255,
};

// Node status of the node callback.
enum : uint32_t {
    ZWNET_NODE_ADDED = 0,
    ZWNET_NODE_REMOVED = 1,
    ZWNET_NODE_UPDATED = 2,
    ZWNET_NODE_STATUS_ALIVE = 3,
    ZWNET_NODE_STATUS_DOWN = 4,
    ZWNET_NODE_STATUS_SLEEP = 5,
};

// Library transmit status of the transmit-status callback.
enum : uint8_t {
    ZWNET_TX_OK = 0,
    ZWNET_TX_NO_ACK = 1,
    ZWNET_TX_SYS_ERR = 2,
    ZWNET_TX_QUEUED = 3,  // held at the gateway for a sleeping node
    ZWNET_TX_FAILED = 4,  // the frame did not reach its destination
};

inline constexpr uint16_t ZWNET_HOST_PORT_DEFAULT = 41231;
inline constexpr size_t ZWNET_DSK_TEXT_MAX = 47;

// Information record of an operation notification (opaque to the library's
// queue; the operations that send one fill it).
struct zwnet_op_info_t {
    uint32_t type;
    char dsk[ZWNET_DSK_TEXT_MAX + 1];
    uint8_t fw_prog{0};  // type ZWNET_OP_INFO_FW_PROG: percent of the image sent
};
inline constexpr uint32_t ZWNET_OP_INFO_FW_PROG = 1;

// What the Security 2 inclusion callback receives.
enum : uint8_t {
    ZWNET_SEC2_CB_KEY_REQ = 0,
    ZWNET_SEC2_CB_DSK_REQ = 1,
};
struct zwnet_sec2_cb_data_t {
    uint8_t cb_type;  // ZWNET_SEC2_CB_*
    union {
        struct {
            uint8_t req_keys;
            uint8_t req_csa;
            char csa_pin[12];  // the first 11 characters of the gateway's DSK text
        } key_req;
        struct {
            uint8_t pin_required;  // the first block of the DSK text is missing
            const char *dsk;       // valid during the call only
        } dsk_req;
    };
};

using zwnet_notify_fn = void (*)(void *user, uint8_t op, uint16_t sts, const zwnet_op_info_t *info);
using zwnet_node_fn = void (*)(void *user, const zwnode_desc_t *node, uint32_t mode);
using zwnet_tx_sts_fn = void (*)(void *user, uint8_t tx_sts);
using zwnet_appl_cmd_fn = void (*)(void *user, uint8_t node_id, uint8_t ep_id, const uint8_t *cmd, uint16_t len);
using zwnet_sec2_fn = void (*)(void *user, zwnet_sec2_cb_data_t *data);
// One line of the library's debug output (with its line feed).
using zwnet_print_fn = void (*)(const char *text);

struct dev_rec_t;
struct dev_glb_opt_t;

// Device records handed over in place of a device-configuration file.
struct zwnet_dev_cfg_t {
    dev_rec_t *dev_rec;
    uint32_t dev_rec_cnt;
    dev_glb_opt_t *glb_opt;  // optional
    uint32_t glb_opt_cnt;
};

// A command class that the controller supports beside the built-in ones.
struct zwnet_cls_ent_t {
    uint16_t cls;
    uint8_t ver;
    uint8_t flags;
};

enum : uint32_t {
    ZWNET_ADDR_IPV6 = 0,
    ZWNET_ADDR_IPV4 = 1,
};

// Start parameters (copied whole by zwnet_init).
struct zwnet_init_t {
    uint32_t rsvd;
    void *user;                 // handed back to every callback
    uint16_t port;              // the gateway's UDP port
    uint16_t host_port;         // our local UDP port (ZWNET_HOST_PORT_DEFAULT; 0: the system's choice)
    uint32_t addr_type;         // ZWNET_ADDR_*
    uint8_t gw_addr[16];        // IPv4 as IPv4-mapped IPv6 (::ffff:a.b.c.d)
    zwnet_notify_fn notify;     // operation notifications
    zwnet_node_fn node;         // node status, after a successful zwnet_init
    zwnet_tx_sts_fn tx_sts;     // transmit status of interface commands
    zwnet_appl_cmd_fn appl_cmd; // commands to the controller left unanswered
    zwnet_print_fn print;       // debug output; none silences the library
    const char *stor_dir;       // node-information file
    const char *data_dir;       // preference files
    const char *dev_cfg_file;   // JSON device configuration; "" none; null: dev_cfg
    const zwnet_dev_cfg_t *dev_cfg;
    uint32_t err_loc[3];        // device, endpoint, interface entry of a parse failure
    const zwnet_cls_ent_t *ext_cls;
    uint8_t ext_cls_cnt;
    zwnet_sec2_fn sec2;         // unsolicited Security 2 requests
    uint8_t psk[32];
    uint8_t psk_len;            // 0 plain UDP, else DTLS with at least 16 bytes
};

// Starts a network: 0 and the handle, or a negative code and no handle.
int zwnet_init(zwnet_init_t *init, zwnet_p *net);
// Stops the network, saves its node information and frees it. Not to be
// called from a callback of the library.
void zwnet_exit(zwnet_p net);
// The user context given to zwnet_init.
void *zwnet_get_user(zwnet_p net);
// Our local UDP port.
uint16_t zwnet_host_port_get(zwnet_p net);

// The library's own version (major 7, minor 38); either pointer may be null.
void zwnet_version(uint8_t *major, uint8_t *minor);

// ---------------------------------------------------------------------------
// Network operations: one at a time. A call that would start a second one
// returns -17, except over a low-priority update (16), which it cancels.
// ---------------------------------------------------------------------------

// The network as the gateway describes it.
struct zwnet_desc_t {
    uint32_t id;          // home id
    uint8_t ctl_id;       // the controller's node id
    uint8_t ctl_role;     // 0x01 network-management proxy, 0x02 inclusion, 0x04 primary
    uint8_t ctl_cap;      // bit 0 Security 2 inclusion, bit 1 inclusion on behalf
    uint8_t zw_role;      // 0..4
    void *user;           // the user context given to zwnet_init
    void *plt_ctx;        // the network's print and timer context
};

// Refreshed at each call; valid while the network lives (null without one).
const zwnet_desc_t *zwnet_get_desc(zwnet_p net);
// Stops the running operation: 0, or -19 when a stop request to the gateway
// failed (the local state is cleared all the same).
int zwnet_abort(zwnet_p net);
// Interviews one node again (operation 13): 0, -17, -27 (the controller
// itself), -13, -19.
int zwnode_update(const zwnode_desc_t *node);
// Network update (7) and reset (8): 0, -17, -19.
int zwnet_update(zwnet_p net);
int zwnet_reset(zwnet_p net);
// Hands the primary role to another controller (10): 0, -17, -27 when the
// gateway is not the primary, -19.
int zwnet_migrate(zwnet_p net);
// Sends the controller's node information frame to a node, or to all (14).
int zwnet_send_nif(zwnet_p net, const zwnode_desc_t *node, uint8_t broadcast);
// Logs every node, endpoint and interface.
void zwnet_node_info_dump(zwnet_p net);

// Address text: 0 with *ipv4 1 (4 bytes) or 0 (16 bytes); -2 neither.
int zwnet_ip_text_to_addr(const char *text, uint8_t *addr, int *ipv4);
int zwnet_ip_addr_to_text(const uint8_t *addr, char *text, size_t size, int ipv4);
// Our local address toward a peer (the application layer's own toward the
// gateway in use): 0 or negative.
int zwnet_local_addr_for_peer(zwnet_p net, const uint8_t *peer, uint8_t *local, int ipv4);
// The controller's IPv6 address and its prefix length (64): 0, or -27 before
// the gateway gave one.
int zwnet_gw_addr_get(zwnet_p net, uint8_t *addr, uint8_t *prefix_len);
// Gateway discovery by broadcast or by mDNS; the handle stops it.
using zwnet_gw_discvr_fn = void (*)(const uint8_t *addrs, uint8_t count, int ipv4, void *user, int done,
                                    int total, const char *const *names);
void *zwnet_gw_discvr_start(zwnet_gw_discvr_fn cb, void *user, int ipv4, int mdns);
int zwnet_gw_discvr_stop(void *handle);
// A node's status as the application layer knows it (0 alive, 1 down, 2
// sleeping; 1 for node 0 and ids above 232), and the whole table of 233.
uint8_t zwnet_node_sts_get(zwnet_p net, uint8_t node_id);
int zwnet_node_sts_list_get(zwnet_p net, uint8_t *sts);
// Poll requests of the application: by handle, or all of one key.
int zwnet_poll_rm(zwnet_p net, uint16_t handle);
int zwnet_poll_rm_key(zwnet_p net, uint32_t key);
// Preference blobs of the network and of one client.
int zwnet_net_data_save(zwnet_p net, const uint8_t *data, uint16_t len);
int zwnet_net_data_load(zwnet_p net, uint8_t **data, uint16_t *len);
int zwnet_cli_data_save(zwnet_p net, uint32_t client_id, const uint8_t *data, uint16_t len);
int zwnet_cli_data_load(zwnet_p net, uint32_t client_id, uint8_t **data, uint16_t *len);

// ---------------------------------------------------------------------------
// Inclusion, exclusion and replacement (operations 2 to 5), with Security 2:
// the callback hears which keys the joining node asks for (grant them with
// zwnet_add_sec2_grant_key) and, unless `dsk` holds the expected DSK text,
// the node's DSK to confirm (zwnet_add_sec2_accept).
// ---------------------------------------------------------------------------

struct zwnet_sec2_req_t {
    void *user;        // handed back to cb
    zwnet_sec2_fn cb;  // called through the callback thread
    const char *dsk;   // expected DSK text ("xxxxx-" x 8 groups), or null
};

// add 1 adds a node, 0 removes one: 0, -27 (no inclusion role, or on-behalf
// without the gateway's support), -17, -25 (a Security 2 request without a
// callback or with a bad DSK text), -19.
int zwnet_add(zwnet_p net, uint8_t add, const zwnet_sec2_req_t *sec2, int on_behalf);
// replace 1 replaces the failed node, 0 removes it; results as zwnet_add.
int zwnet_fail(zwnet_p net, uint8_t node_id, uint8_t replace, const zwnet_sec2_req_t *sec2, int on_behalf);
// Grants keys to the joining node; csa counts only when the node asked for
// client-side authentication.
int zwnet_add_sec2_grant_key(zwnet_p net, uint8_t keys, uint8_t csa);
// Accepts (1, with the whole DSK text including the typed PIN) or rejects
// (0) the joining node's DSK: 0, -25, or the send's error.
int zwnet_add_sec2_accept(zwnet_p net, uint8_t accept, const char *dsk);

// ---------------------------------------------------------------------------
// Learn mode, the controller's DSK, the provisioning list
// ---------------------------------------------------------------------------

// Receives a DSK text ("xxxxx-" x 8 groups); the text lives during the call.
using zwnet_dsk_fn = void (*)(void *user, char *dsk);

// Puts the gateway's controller into learn mode: to leave its network (when
// it holds other nodes) or to join another one. With Security 2 the
// gateway's own DSK first reaches `cb`. The network is then set up afresh
// as operation 6. 0, -17 (another operation), -58 (a primary or SIS
// controller with other nodes), -19 (the request failed, also Security 2
// without `cb`).
int zwnet_initiate(zwnet_p net, zwnet_dsk_fn cb, void *user);
// Hands the gateway's DSK to `cb` (on the callback thread): 0, -17 while
// an add, replace or learn mode runs, -27 without Security 2, or the send's
// error.
int zwnet_sec2_get_dsk(zwnet_p net, zwnet_dsk_fn cb, void *user);

// A text record of a provisioning-list entry.
enum : uint8_t {
    ZWNET_WL_REC_NAME = 1,
    ZWNET_WL_REC_LOCATION = 2,
};
struct zwnet_wl_rec_t {
    uint8_t type;   // ZWNET_WL_REC_*
    char text[64];  // NUL-terminated
};
// An entry: its DSK text, granted keys, its text records (valid during the
// call).
using zwnet_wl_get_fn = void (*)(void *user, char *dsk, uint8_t grnt_keys, const zwnet_wl_rec_t *recs,
                                 uint8_t rec_cnt);
// The whole list: slot 0 holds the entry count in its first byte, slots 1
// to count one DSK text each. The library frees it when the call returns.
using zwnet_wl_list_fn = void (*)(void *user, char **list);

// Adds (or changes) the entry of a DSK: 0, -25 (bad DSK text or records),
// -1 (the request failed).
int zwnet_wl_add(zwnet_p net, const char *dsk, uint8_t grnt_keys, const zwnet_wl_rec_t *recs, uint8_t rec_cnt);
// Asks for the entry of a DSK: 0 (the entry reaches `cb`), -25, -1.
int zwnet_wl_get(zwnet_p net, const char *dsk, zwnet_wl_get_fn cb, void *user);
// Removes the entry of a DSK: 0, -25, -1.
int zwnet_wl_clr(zwnet_p net, const char *dsk);
// Asks for the whole list: 0 (it reaches `cb`), -1.
int zwnet_wl_list_get(zwnet_p net, zwnet_wl_list_fn cb, void *user);
// Empties the list: 0, -1.
int zwnet_wl_list_clr(zwnet_p net);
