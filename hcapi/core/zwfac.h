// Facilities and persistence, as the rest of the library calls them: the
// node-information and preference files, CRC-16, DSK text, the transmit key
// option, the background facilities (report poll, post-set poll,
// supervision, device poll, wake-up notification poll, node status polling,
// event generation, network save) and the device-specific configuration.
//
// The records and the send path call these services, and the facilities
// themselves (hcapi/fac) stand on the records and the send path; so the
// services are declared here, beside what they serve, and hcapi/fac builds
// them.
#pragma once

#include "hcapi/include/zwif.h"
#include "hcapi/include/zwnet.h"
#include "hcapi/include/zwnode.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct plt_tmr_ctx;
struct util_msg_loop_t;

struct zwif;
using zwif_t = zwif;

// ---------------------------------------------------------------------------
// Node-information and preference files
// ---------------------------------------------------------------------------

// Results of the file calls beside the library's common codes.
enum : int {
    ZW_ERR_FILE_OPEN = -28,   // the file cannot be opened or created
    ZW_ERR_FILE_WRITE = -29,  // the file cannot be written
    ZW_ERR_FILE_EOF_REACHED = -30,  // the end of the file came before a whole record
    ZW_ERR_FILE = -31,        // the content is malformed (magic, lengths, CRC-16)
    ZW_ERR_HOMEID = -32,      // the file belongs to another network
    ZW_ERR_VERSION = -52,     // a version this library does not read
    ZW_ERR_FILE_EOF = -54,    // the file ended before the expected bytes
};

// The node-information file: 0, or -12, -13, -28, -29, -30, -31, -32, -52.
// A save replaces the old file only once the new one is complete on disk.
int zwnet_ni_file_load(zwnet_p net, const char *path);
int zwnet_ni_file_save(zwnet_p net, const char *path);
// The whole file at `path` (opened for reading only) in a new buffer with a
// NUL after its `len` bytes (std::free it): 0, -28 (no path, cannot open),
// -12, -54 (a read failed).
int zwnet_file_read_all(const char *path, uint8_t **buf, size_t *len);
// The same over a buffer (the network mutex is taken inside).
int zwnet_ni_buf_build(zwnet_p net, std::vector<uint8_t> *file);
int zwnet_ni_buf_load(zwnet_p net, const uint8_t *file, size_t len);

// "%s%s%08X%s" from directory, prefix, home id and ".dat" (or, with the
// client flag, "_%08X.dat" with the client id and the prefix "cli"); a null
// directory leaves it out. The caller frees the name with std::free. 0 or -12.
int zwnet_data_file_name(const char *prefix, const char *dir, uint32_t home_id, uint32_t client_id, char **name,
                         int client);
// Preference files: an opaque blob per network ("net", client flag 0) or per
// client ("cli"), in the network's data directory, behind the magic 0x18 0x3F
// and version 1, closed by a CRC-16 trailer. Save: 0, -25, -29 (the last good
// file is kept). Load: 0 with a new buffer (std::free it), -25, -28, -31
// (magic, CRC-16, a file shorter than its header or too long for a blob),
// -52 (version), -12.
int zwnet_data_file_save(zwnet_p net, const uint8_t *data, uint16_t len, uint32_t client_id, int client);
int zwnet_data_file_load(zwnet_p net, uint32_t client_id, uint8_t **data, uint16_t *len, int client);
// The same by path, for the network-independent part (and for tests).
int zwnet_pref_file_write(const char *path, const uint8_t *data, uint16_t len);
int zwnet_pref_file_read(const char *path, uint8_t **data, uint16_t *len);

// CRC-16: polynomial 0x1021, most significant bit first, no final XOR.
uint16_t zwnet_crc16(uint16_t crc, const uint8_t *bytes, size_t len);
inline constexpr uint16_t ZWNET_CRC16_INIT = 0x1D0F;
// The CRC (from ZWNET_CRC16_INIT) of an open file from its position to its
// end; the file is rewound afterwards. 0 for no file.
uint16_t zwnet_file_crc16_chk(FILE *file);

// ---------------------------------------------------------------------------
// DSK text: big-endian 16-bit groups written "%05u" and joined by '-'
// ---------------------------------------------------------------------------

inline constexpr uint8_t ZWNET_DSK_LEN = 16;
// A new text (std::free it), or null for an odd or zero length.
char *zwnet_dsk_to_txt(const uint8_t *dsk, uint8_t len);
// Exactly eight groups of five digits, each at most 65535, single '-'
// between them, nothing after.
bool zwnet_dsk_txt_valid(const char *text);
// 16 bytes from a valid text; false (and nothing written) otherwise.
bool zwnet_dsk_from_txt(const char *text, uint8_t *dsk, uint8_t *len);

// ---------------------------------------------------------------------------
// Security 2
// ---------------------------------------------------------------------------

enum : uint8_t {
    SEC_KEY_BITMSK_S2_K0 = 0x01,  // unauthenticated
    SEC_KEY_BITMSK_S2_K1 = 0x02,  // authenticated
    SEC_KEY_BITMSK_S2_K2 = 0x04,  // access control
    SEC_KEY_BITMSK_S0 = 0x80,
};
// Transmit key option for the granted keys: the highest S2 key, else 0x8000.
uint16_t zwnet_s2_tx_key_get(uint8_t grnt_keys);

// ---------------------------------------------------------------------------
// Facility records
// ---------------------------------------------------------------------------

// Facility message handler, called on the facility's worker only while the
// facility runs, with the message as it was posted.
using zwfac_hdlr_fn = void (*)(void *data, const uint8_t *msg, uint8_t len);

// Message 0 of every facility: one tick of its periodic timer.
inline constexpr uint8_t ZWFAC_MSG_TICK = 0;

// One background facility: a worker fed by a message queue, a periodic timer
// that counts ticks and posts ZWFAC_MSG_TICK, and a run flag that zwnet_exit
// clears before the shut-down. The worker alone changes the facility's state.
struct zwfac_ctx_t {
    zwnet_p net{nullptr};
    std::atomic<uint32_t> run{0};
    std::atomic<uint32_t> tick{0};

    // Framework state: the timer id and the loop under `mtx`, which the
    // timer callback takes so that a stop and an expiry cannot cross.
    std::mutex mtx;
    uint16_t tmr_id{0};
    util_msg_loop_t *loop{nullptr};
    plt_tmr_ctx *plt{nullptr};
    zwfac_hdlr_fn hdlr{nullptr};
    void *hdlr_data{nullptr};
};

// Starts a facility: run flag, worker, then a timer of `period_ms` whose
// counter starts at `tick0`. 0, or ZW_ERR_NO_RES with what was made undone.
int zwfac_start(zwfac_ctx_t *ctx, plt_tmr_ctx *plt, uint32_t period_ms, uint32_t tick0, zwfac_hdlr_fn hdlr,
                void *hdlr_data);
// Posts a copy of a message (1..255 bytes) to the worker: 0, ZW_ERR_NET_NOT_RUNNING
// once the facility stops (a late hook is dropped), ZW_ERR_MEMORY.
int zwfac_post(zwfac_ctx_t *ctx, const void *msg, uint8_t len);
// Clears the run flag, stops the timer, waits for a timer callback still
// running and for the worker to end. Idempotent.
void zwfac_stop(zwfac_ctx_t *ctx);
// Stops the facility if needed and frees its loop with the queued messages.
void zwfac_release(zwfac_ctx_t *ctx);
using zwpoll_ctx_t = zwfac_ctx_t;     // report poll
using zwspoll_ctx_t = zwfac_ctx_t;    // post-set poll
using zwspv_ctx_t = zwfac_ctx_t;      // supervision
using zwdpoll_ctx_t = zwfac_ctx_t;    // device poll
using zwwupoll_ctx_t = zwfac_ctx_t;   // wake-up notification poll
using zwevtgen_ctx_t = zwfac_ctx_t;   // event generation
using zwnspoll_ctx_t = zwfac_ctx_t;   // node status polling
using zwnwsave_ctx_t = zwfac_ctx_t;   // network save

// Facility result callback (callback message type 9).
using zwfac_result_fn = void (*)(zwnet_p net, uint8_t node_id, uint8_t ep_id, uint16_t cls, uint64_t user,
                                 uint32_t status);

int zwpoll_init(zwpoll_ctx_t *ctx);
int zwspoll_init(zwspoll_ctx_t *ctx);
int zwspv_init(zwspv_ctx_t *ctx);
int zwdpoll_init(zwdpoll_ctx_t *ctx);
int zwwupoll_init(zwwupoll_ctx_t *ctx);
int zwevtgen_init(zwevtgen_ctx_t *ctx);
int zwnspoll_init(zwnspoll_ctx_t *ctx);
int zwnwsave_init(zwnwsave_ctx_t *ctx);

void zwpoll_shutdown(zwpoll_ctx_t *ctx);
void zwspoll_shutdown(zwspoll_ctx_t *ctx);
void zwspv_shutdown(zwspv_ctx_t *ctx);
void zwdpoll_shutdown(zwdpoll_ctx_t *ctx);
void zwwupoll_shutdown(zwwupoll_ctx_t *ctx);
void zwevtgen_shutdown(zwevtgen_ctx_t *ctx);
void zwnspoll_shutdown(zwnspoll_ctx_t *ctx);
void zwnwsave_shutdown(zwnwsave_ctx_t *ctx);

void zwpoll_exit(zwpoll_ctx_t *ctx);
void zwspoll_exit(zwspoll_ctx_t *ctx);
void zwspv_exit(zwspv_ctx_t *ctx);
void zwdpoll_exit(zwdpoll_ctx_t *ctx);
void zwwupoll_exit(zwwupoll_ctx_t *ctx);
void zwevtgen_exit(zwevtgen_ctx_t *ctx);
void zwnspoll_exit(zwnspoll_ctx_t *ctx);
void zwnwsave_exit(zwnwsave_ctx_t *ctx);

void zwdpoll_flush(zwdpoll_ctx_t *ctx);
void zwspoll_flush(zwspoll_ctx_t *ctx);
void zwspv_flush(zwspv_ctx_t *ctx);
void zwwupoll_flush(zwwupoll_ctx_t *ctx);
void zwevtgen_flush(zwevtgen_ctx_t *ctx);
void zwnspoll_flush(zwnspoll_ctx_t *ctx);

// Report poll. Lock order: the network mutex before the facility's own;
// the facility sends nothing while it holds its own.
//
// A poll request as the poll form of the get calls hands it over: the Get
// (one or two class bytes, the command, at most 29 parameter bytes), the
// interval in 500 ms ticks, the repeat count (0: without end), the caller's
// callback, and whether the node kept a sleeping-node queue at that moment.
inline constexpr uint8_t ZWPOLL_CMD_MAX = 32;
struct zwpoll_add_req_t {
    zwif_desc_t intf{};
    uint32_t key{0};
    uint32_t intv{0};
    uint16_t rpt_cnt{0};
    zwpoll_cb_fn cb{nullptr};
    uint64_t user{0};
    bool slp_node{false};
    uint8_t len{0};
    uint8_t cmd[ZWPOLL_CMD_MAX]{};
};
// Takes a copy of the request and sends its first Get: 0 and the handle,
// -21 no report answers the Get, -27 no poll facility runs, -25.
int zwpoll_add(zwnet_p net, const zwpoll_add_req_t *req, uint16_t *handle);
// The completion of the facility's own Gets (and of polled Gets that wait for
// a report): the node's report wait first, then the transmission note.
void zwpoll_tx_note(appl_layer_ctx *ctx, int status, void *user, uint8_t node_id);
// Every completed transmission of the send path: a successful one moves the
// next poll at least 10 s on. Any thread, network mutex held or not.
void zwpoll_tx_sts_note(zwnet_p net, int status);
// Every received command (network mutex held): never consumes it.
int zwpoll_rpt_chk(zwif_t *intf, const uint8_t *cmd, uint16_t len);
// A sleeping node reported after its wake-up: its polls of this wake count.
void zwpoll_rpt_note(zwnet_p net, uint8_t node_id);
// Removals, without callbacks: 0, -27 no poll facility runs, -1 nothing
// found. zwpoll_node_rm may be called with the network mutex held.
int zwpoll_node_rm(zwnet_p net, uint8_t node_id);
int zwpoll_q_rm(zwnet_p net, uint16_t handle);
int zwpoll_q_rm_key(zwnet_p net, uint32_t key);

// Post-set poll.
int zwspoll_add(const zwif_desc_t *intf, uint8_t target, const uint8_t *get_cmd, uint8_t len, zwfac_result_fn cb,
                uint64_t user);
void zwspoll_rpt_chk(zwif_t *intf, const uint8_t *cmd, uint16_t len);
void zwspoll_cb_post(const zwif_desc_t *intf, zwfac_result_fn cb, uint64_t user, uint32_t result);
int zwspoll_node_rm(zwspoll_ctx_t *ctx, uint8_t node_id);

// Supervision.
int zwspv_cmd_snd(const zwif_desc_t *intf, const uint8_t *cmd, uint8_t len, uint8_t session_id,
                  zwfac_result_fn cb, uint64_t user);
int zwspv_rpt_rcv(zwif_t *intf, const uint8_t *cmd, uint16_t len);
void zwspv_cb_post(const zwif_desc_t *intf, zwfac_result_fn cb, uint64_t user, uint32_t result);
int zwspv_node_cancel(zwspv_ctx_t *ctx, uint8_t node_id);

// Device poll. A woken node is refreshed by the network layer's
// single-endpoint interview, endpoint after endpoint, as the low-priority
// operation 16; the network layer hands the facility its interview start
// and its abort of operation 16 (until it does, no poll starts).
void zwdpoll_node_add(zwdpoll_ctx_t *ctx, const zwnode_desc_t *node);
void zwdpoll_node_add_all(zwdpoll_ctx_t *ctx);
void zwdpoll_node_rm(zwdpoll_ctx_t *ctx, const zwnode_desc_t *node);
void zwdpoll_wkup(zwdpoll_ctx_t *ctx, const zwnode_desc_t *node);
// Starts the interview of one endpoint (network mutex held): non-zero when
// it started; `done` is called (any thread) when the endpoint is done.
using zwdpoll_ep_done_fn = void (*)(zwnet_p net, uint8_t node_id);
using zwdpoll_ep_sm_fn = int (*)(zwnet_p net, uint8_t node_id, uint8_t ep_id, zwdpoll_ep_done_fn done);
// Stops the running operation 16 (network mutex held).
using zwdpoll_abort_fn = void (*)(zwnet_p net);
void zwdpoll_hooks_set(zwdpoll_ctx_t *ctx, zwdpoll_ep_sm_fn ep_sm, zwdpoll_abort_fn abort);
// Starts the update of a node (network mutex taken inside): 0, -17 another
// operation runs, -27 the controller's own node, -13 unknown node, -1 the
// interview did not start.
int zwdpoll_node_updt_sm_start(zwnet_p net, uint8_t node_id);
// The completion of one endpoint's interview: the next endpoint, or the end
// of the node's update.
void zwdpoll_ep_sm_next(zwnet_p net, uint8_t node_id);

// Wake-up notification poll.
int zwwupoll_node_add(zwwupoll_ctx_t *ctx, uint8_t node_id, uint32_t wkup_intv);
void zwwupoll_node_add_all(zwwupoll_ctx_t *ctx);
int zwwupoll_node_rm(zwwupoll_ctx_t *ctx, uint8_t node_id);
void zwwupoll_tx_sts_cb(appl_layer_ctx *ctx, uint8_t code, void *data, uint8_t node_id);

// Node status polling.
int zwnspoll_node_add(zwnspoll_ctx_t *ctx, uint8_t node_id, uint8_t state, uint32_t wkup_intv);
void zwnspoll_node_add_all(zwnspoll_ctx_t *ctx);
int zwnspoll_node_rm(zwnspoll_ctx_t *ctx, uint8_t node_id);
void zwnspoll_wkup_notif(zwnspoll_ctx_t *ctx, const zwnode_desc_t *node);
// A node's wake-up interval as it reported it (the low 24 bits count).
void zwnspoll_wkup_intv_note(zwnspoll_ctx_t *ctx, uint8_t node_id, uint32_t intv);
// Every received command (network mutex held): a Wake Up Interval Report
// becomes the note above. Never consumes the command.
void zwnspoll_rpt_chk(zwif_t *intf, const uint8_t *cmd, uint16_t len);

// Event generation.
int zwevtgen_evt_add(const zwif_desc_t *intf, const uint8_t *frame, uint16_t len, uint16_t tmout_s);
int zwevtgen_evt_post(const zwif_desc_t *intf, const uint8_t *cmd, uint16_t len);
int zwevtgen_node_rm(zwevtgen_ctx_t *ctx, uint8_t node_id);

// Network save.
void zwnwsave_dirty_set(zwnwsave_ctx_t *ctx);

// ---------------------------------------------------------------------------
// Device-specific configuration
// ---------------------------------------------------------------------------

// Records read from the device-specific configuration file. A device
// record's endpoint list and everything below it belong to the array that
// zwdevcfg_load returned (zwdevcfg_free releases them); a node keeps a copy
// of the device record that points into it.
inline constexpr uint32_t DEV_ANY = 0xFFFFFFFF;  // -1: any value / none given

// The alarm (notification) report that a rule yields; DEV_ANY where the rule
// gives no value.
struct dev_alrm_tgt_t {
    uint32_t alrm_type{DEV_ANY};
    uint32_t alrm_level{DEV_ANY};
    uint32_t notif_type{DEV_ANY};
    uint32_t notif_evt{DEV_ANY};
    uint32_t param_type{DEV_ANY};
    std::vector<uint8_t> param;
    std::string type_name;   // at most 80 characters
    std::string level_name;  // at most 80 characters
};

// Alarm rule (interface type 6).
struct dev_alrm_rule_t {
    bool match_valid{false};
    uint32_t alrm_type{DEV_ANY};
    uint32_t level_low{DEV_ANY};
    uint32_t level_high{DEV_ANY};
    int32_t level_mode{-1};  // 0 one level, 1 range, -1 any
    uint32_t notif_type{DEV_ANY};
    uint32_t notif_evt{DEV_ANY};
    std::vector<uint8_t> param;
    dev_alrm_tgt_t result;
    // Each the result's value when it gives one, else the match's, else DEV_ANY.
    uint32_t eff_alrm_type{DEV_ANY};
    uint32_t eff_notif_type{DEV_ANY};
    uint32_t eff_notif_evt{DEV_ANY};
};

// Binary-sensor (3), basic (7) and alarm-sensor (8) rules: what they match
// and the alarm result they lead to (owned by the endpoint's alarm record).
struct dev_rule_t {
    const dev_alrm_tgt_t *target{nullptr};
    uint32_t type{DEV_ANY};       // binary / alarm sensor type; basic: the command
    uint32_t value{DEV_ANY};      // state or basic value; alarm sensor: the low level
    uint32_t value_high{DEV_ANY}; // alarm sensor: the high level
    int32_t value_mode{0};        // alarm sensor: 0 one state, 1 range
    uint32_t result_if_type{6};
};

struct dev_cfg_param_t {
    uint8_t param_num;
    uint8_t size;
    int32_t val;
};

// One thermostat setpoint range: 16 bytes, {type, precision, unit, size,
// value[4] big-endian} for the minimum, then the same for the maximum.
using dev_setp_rng_t = std::array<uint8_t, 16>;

enum : uint8_t {
    DEV_IF_GRP = 1,
    DEV_IF_CONFIG = 2,
    DEV_IF_BSENSOR = 3,
    DEV_IF_SENSOR = 4,
    DEV_IF_METER = 5,
    DEV_IF_ALARM = 6,
    DEV_IF_BASIC = 7,
    DEV_IF_ALRM_SNSR = 8,
    DEV_IF_THRMO_SETP = 9,
};
enum : uint8_t {
    DEV_IF_FLAG_EVT_CLR = 0x04,  // the device clears its own events
    DEV_IF_FLAG_HIDDEN = 0x40,
};

// Interface entry: the members of its type are filled, the others are empty.
struct dev_if_t {
    uint8_t if_type{0};
    uint8_t usr_def_ver{0};
    uint8_t flags{0};
    uint16_t evt_clr_tmout{0};  // seconds, when the device does not clear its events
    std::vector<uint8_t> grp;                 // 1: at most 8 group ids
    std::vector<dev_cfg_param_t> cfg;         // 2
    uint8_t bsnsr_type{0};                    // 3: for reports that carry no type
    uint8_t snsr_type{0}, snsr_unit{0};       // 4
    uint8_t meter_type{0}, meter_units{0};    // 5
    std::vector<std::unique_ptr<dev_alrm_rule_t>> alrm;  // 6
    std::vector<dev_rule_t> rules;            // 3, 7, 8
    std::vector<dev_setp_rng_t> setp;         // 9
};

struct dev_redir_t {
    uint16_t cls;
    uint32_t cmd;  // DEV_ANY: every command of the class
    uint8_t target_ep;
};

struct dev_ep_ent_t {
    uint8_t epid{0};
    uint16_t create_if{0};
    uint8_t create_if_ver{0};
    uint8_t create_if_prop{0x04};
    std::vector<std::unique_ptr<dev_if_t>> intf;
    std::vector<dev_redir_t> redir;
};

// The endpoint list of a device record.
struct dev_ep_t {
    std::vector<dev_ep_ent_t> ent;
};

struct dev_rec_t {
    uint32_t vid;
    uint32_t ptype;
    uint32_t pid;
    uint8_t category;
    dev_ep_t *ep;
};
struct dev_glb_opt_t {
    uint16_t id;  // 1: wake-up interval
    uint32_t val;
};

// Codes of the configuration reader beside the common ones.
enum : int {
    ZW_ERR_WRONG_IF = -10,
    ZW_ERR_PARSE_FILE = -55,
    ZW_ERR_MISSING_ENTRY = -56,
    ZW_ERR_SEQUENCE = -64,
};

// Reads the file into records sorted by (vid, ptype, pid) and global
// settings; err_loc gets the device, endpoint and interface entry (from 1)
// where reading stopped. Nothing is kept after a failure.

int zwdevcfg_load(const char *path, dev_rec_t **recs, uint32_t *rec_cnt, dev_glb_opt_t **opts, uint32_t *opt_cnt,
                  uint32_t *err_loc);
void zwdevcfg_glb_free(dev_glb_opt_t *opts, uint32_t cnt);
void zwdevcfg_free(dev_rec_t *recs, uint32_t cnt);
// Falls back from (vid, ptype, pid) to (vid, ptype, any), (vid, any, any)
// and (any, any, any): 1 and a copy of the record, or 0.
int zwdevcfg_find(const uint32_t *key, const dev_rec_t *recs, uint32_t cnt, dev_rec_t *found);
// The interface entry (a dev_if_t) of that type on the endpoint, or null.
void *zwdevcfg_ep_if_get(dev_ep_t *ep, uint8_t ep_id, uint8_t if_type);
uint8_t zwdevcfg_cls_to_type(uint16_t cls);
dev_if_t *zwdevcfg_ep_cls_if_get(dev_ep_t *ep, uint8_t ep_id, uint16_t cls);
uint8_t zwdevcfg_ep_cls_ver_get(dev_ep_t *ep, uint8_t ep_id, uint16_t cls);
int zwdevcfg_redir_get(dev_ep_t *ep, uint8_t ep_id, uint16_t cls, uint8_t cmd, uint8_t *target_ep);
