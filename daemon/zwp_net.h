// The daemon's record of one Z-Wave network: its start on the "ANetStartHdlr"
// thread (the host-controller library, then the descriptor tree and the
// scene library), its stop, the "ANetOpStatusHdlr" thread that turns the
// library's progress callbacks into the current-operation fields and keeps
// the tree in step, the callbacks registered with the library, and the
// transmit-status and report waits of the request workers.
//
// Locks, in the order they are taken: the init-state lock (init state; it
// also serialises tree rebuilds), the descriptor lock (a nested mutex: the
// tree and every request), then the library's own. The operation fields,
// Security 2 data, DSK copies and node slots sit under one leaf lock, and
// the transmit status under another: the library's callbacks that write
// them never wait for a request.
#pragma once

#include "daemon/zwp_config.h"
#include "daemon/zwp_desc.h"
#include "daemon/zwp_net_wl.h"
#include "daemon/zwp_runtime.h"
#include "hcapi/include/zwnet.h"
#include "util/zwu_array.h"
#include "util/zwu_time.h"

#include <cstddef>
#include <cstdint>
#include <string>

struct zwp_net_t;

// A gateway: an IPv4 address sits in the first 4 bytes, the rest 0.
struct zwp_gw_t {
    uint8_t addr[16];
    uint32_t addr_type; // 1 IPv4, 0 IPv6
    uint16_t port;      // our port for the gateway's unsolicited messages; 0: the default
    uint8_t psk[32];
    uint8_t psk_len;    // 0: plain UDP
};

// Init states.
enum : uint32_t {
    ZWP_NET_STOPPED = 0,
    ZWP_NET_INITIALISING = 1,
    ZWP_NET_INITIALISED = 2,
    ZWP_NET_STOPPING = 5,
};

// The final status of an operation once it ended.
enum : int32_t {
    ZWP_NET_OP_DONE = 0,
    ZWP_NET_OP_FAILED = -1,
    ZWP_NET_OP_STOPPED = -4,
    ZWP_NET_OP_ABORTED = -5,
};

// The longest wait for a transmit status: the Z/IP layer always completes a
// send within about 5.2 s.
inline constexpr int64_t ZWP_NET_TX_WAIT_USEC = 10 * 1000 * 1000;

// Makes the data directory and its "networks" folder, where the stored
// gateway and the node-information file live. 0 or 22.
int zwp_net_storage_dir_make(const char *var_dir);

// The record of network `id`, in init state 0 with no library network; its
// pool is a child of `parent`. if_messages: the interface message
// descriptors whose state each interface of the tree gets, set up by
// `if_setup`. 0 or 22.
int zwp_net_create(zwp_net_t **net, const uint8_t id[8], const zwp_net_config_t *config, apr_pool_t *parent,
                   zwu_array_list_t if_messages, zwp_desc_if_setup_fn if_setup);
// Waits until no request holds a reference, then frees.
void zwp_net_free(zwp_net_t *net);
void zwp_net_ref(zwp_net_t *net);
void zwp_net_unref(zwp_net_t *net);

void zwp_net_gw_params_set(zwp_net_t *net, const zwp_gw_t *gw);
void zwp_net_gw_params_get(const zwp_net_t *net, zwp_gw_t *gw);
const uint8_t *zwp_net_id_get(const zwp_net_t *net);

// Who stops and frees the record for network_exit (the network list): the
// call gets the id text. zwp_net_owner_stop calls it; the record may be gone
// when it returns. 0 or 22.
using zwp_net_owner_stop_t = int (*)(void *ctx, const char *id);
void zwp_net_owner_set(zwp_net_t *net, zwp_net_owner_stop_t stop, void *ctx);
int zwp_net_owner_stop(zwp_net_t *net, const char *id);

// Starts "ANetStartHdlr". 0 or 22.
int zwp_net_start_async(zwp_net_t *net);
// Stops a started network (also one still initialising): joins the start
// thread, then stops the library, the tree and the scene binding, and joins
// the status thread. 0, or 22 when a thread cannot be joined.
int zwp_net_stop(zwp_net_t *net);
// The start thread's result once it ended: 0 started, 22 failed; -1 while
// it runs or before it was started.
int zwp_net_start_result_get(zwp_net_t *net);
uint32_t zwp_net_init_state_get(zwp_net_t *net);

// Records a network operation that the library accepted.
void zwp_net_op_set(zwp_net_t *net, uint8_t op);
struct zwp_net_op_state_t {
    uint32_t current;
    int32_t status;
    uint32_t total_nodes;
    uint32_t completed_nodes;
    uint32_t previous;
};
// Makes an operation current before the library call that starts it, so
// that the operation's first notification finds it current; hands back the
// fields as they were, which zwp_net_op_restore puts back when the library
// refuses the call.
zwp_net_op_state_t zwp_net_op_begin(zwp_net_t *net, uint8_t op);
void zwp_net_op_restore(zwp_net_t *net, const zwp_net_op_state_t *saved);
void zwp_net_op_state_get(zwp_net_t *net, zwp_net_op_state_t *state);
// The DSK of the last add notification with status 3 and kind 0; 0, or 22
// when none came.
int zwp_net_prekit_dsk_get(zwp_net_t *net, char *dsk, size_t size);

// The Security 2 requests of an inclusion, each handed out only while the
// library waits at that step (add or replace, the matching status and
// kind); 22 otherwise.
struct zwp_net_s2_keys_t {
    uint8_t req_keys;
    uint8_t req_csa;
    char csa_pin[12];
};
int zwp_net_s2_req_keys_get(zwp_net_t *net, zwp_net_s2_keys_t *keys);
int zwp_net_s2_dsk_get(zwp_net_t *net, uint8_t *pin_required, std::string *dsk);
// The controller's own DSK of a learn mode, while it waits with status 11.
int zwp_net_local_dsk_get(zwp_net_t *net, std::string *dsk);
// The node that network_node_update asked for: the status thread refreshes
// its subtree when the update ends.
void zwp_net_updated_node_set(zwp_net_t *net, const zwnode_desc_t *node);
// After zwnet_abort (aborted: it succeeded): ends the operation and builds
// the tree again. The caller holds the descriptor lock. 0 or 22.
int zwp_net_op_abort_finish(zwp_net_t *net, bool aborted);
// The Security 2 callback of the operations that the daemon starts (add,
// replace) and the local-DSK callback of learn mode; user is the record.
void zwp_net_add_node_sec2_cb(void *user, zwnet_sec2_cb_data_t *data);
void zwp_net_local_dsk_cb(void *user, char *dsk);

// The network's mirror of the gateway's provisioning list.
zwp_net_wl_t *zwp_net_wl_get(zwp_net_t *net);

// The library's network; null unless started.
zwnet_p zwp_net_hc_get(const zwp_net_t *net);
// "%02X" x 8 of the id and "%08X" of the home id: 24 characters and a NUL.
// 1, or 0 when the buffer is null or smaller than 25 bytes or the network
// descriptor cannot be had.
int zwp_net_get_ctx_persistent(zwp_net_t *net, char *buffer, size_t size);
// The time zone the scene library was given ("" before).
const char *zwp_net_time_zone_get(const zwp_net_t *net);

// The descriptor lock. zwp_net_desc_lock succeeds only while the network
// has a tree. 0 or 22.
int zwp_net_desc_lock(zwp_net_t *net);
int zwp_net_desc_lock_any(zwp_net_t *net);
int zwp_net_desc_unlock(zwp_net_t *net);
// Under the descriptor lock: the tree (null without one), 0 or 22 for its
// presence, its change time (0 without one).
zwp_desc_root_t *zwp_net_desc_tree_get(zwp_net_t *net);
int zwp_net_desc_tree_present(zwp_net_t *net);
zwu_time_t zwp_net_tree_utime_get(zwp_net_t *net);
// Builds the tree afresh / clears it (waking every waiting worker). 0 or 22.
int zwp_net_desc_tree_build_locked(zwp_net_t *net);
int zwp_net_desc_tree_clear(zwp_net_t *net);

// From a library interface descriptor to its entry in the tree, with the
// descriptor lock held on success (release with zwp_net_if_unlock). 0 or 22.
int zwp_net_if_lock_find(const zwif_desc_t *intf, const zwif_desc_t **found);
void zwp_net_if_unlock(const zwif_desc_t *intf);
int zwp_net_node_lock_find(zwnet_p hc, uint8_t node_id, const zwnode_desc_t **found);
void zwp_net_node_unlock(zwnet_p hc);

// The transmit status of a request's command. Reset before the library
// call takes the network's transmit ticket (waiting, with the descriptor
// lock given up, while another request holds it); wait gives up the
// descriptor lock until the status of this ticket arrives, the tree goes,
// or ZWP_NET_TX_WAIT_USEC pass; end gives the ticket back without waiting.
// The caller holds the descriptor lock exactly once. 0 or 22.
int zwp_net_tx_status_reset(zwp_net_t *net);
int zwp_net_tx_status_wait(zwp_net_t *net, uint8_t *status);
void zwp_net_tx_status_end(zwp_net_t *net);

// Report waits. A report callback stores into its interface's state under
// that state's own lock, never the descriptor lock, and then posts; a
// worker takes the sequence number before it looks at the state and waits
// for a later post, so a report that comes in between is never missed. A
// change of the tree posts too, waking every waiter to find its interface
// again. The waiting worker holds the descriptor lock exactly once and gives
// it up while it waits: 0 after a post, ZWU_COND_TIMEDOUT after usec, 22.
uint64_t zwp_net_report_seq_get(zwp_net_t *net);
void zwp_net_report_post(zwp_net_t *net);
int zwp_net_report_wait(zwp_net_t *net, uint64_t seq, int64_t usec);

// What network_summary_get and network_info_get read of a network with a
// tree (under the descriptor lock). 0 or 22.
struct zwp_net_info_t {
    uint32_t home_id;
    uint8_t ctl_id;
    uint8_t ctl_role;
    uint8_t ctl_cap;
    uint8_t zw_role;
};
int zwp_net_info_get(zwp_net_t *net, zwp_net_info_t *info);

// 0 when the host-controller status is success (0), else 22.
int zwp_hcapi_result_check(int status);

// The callbacks given to the library (also for tests).
void zwp_net_op_notify_cb(void *user, uint8_t op, uint16_t status, const zwnet_op_info_t *info);
void zwp_net_node_cb(void *user, const zwnode_desc_t *node, uint32_t mode);
void zwp_net_tx_status_cb(void *user, uint8_t status);
void zwp_net_add_node_sec2_unsolicited_notification(void *user, zwnet_sec2_cb_data_t *data);

// Installs this module's calls for the network list and request execution.
void zwp_net_ops_install();

// The time-zone file that starting networks read ("/etc/timezone"); tests
// point it elsewhere before a start.
void zwp_net_time_zone_path_set(const char *path);
