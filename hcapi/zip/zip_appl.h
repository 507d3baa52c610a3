// Z/IP application layer: the face of the Z/IP client towards the
// host-controller library.
//
// Each network owns one context, which embeds the session, frame and
// transport contexts. The layer sends one command with a completion callback
// at a time (a one-send gate), picks the destination (the gateway, or a
// node's own address), allocates Z/IP sequence numbers, keeps the node
// reachability table, bounds the wait for every transmit result, and
// delivers completions on a callback thread of its own.
//
// Received commands are offered first to the receive filter that a module
// above may install (the network-management replies are taken out there),
// then handed to the network's receive callback.
//
// Threads and locks: sends come from any thread; completions run on the
// callback thread (reply-wait expiries, -112, on their timer's thread);
// received commands on the session's receive thread. Lock order: the
// network-management mutex, the layer mutex, then the session, frame and
// transport locks; the sequence-table and node-table mutexes are innermost.
// No callback is made with a lock of this layer held.
//
// Callback slots: every slot that the network may fill (receive, node
// status, tx-status listener, receive filter) is read under the layer mutex,
// the lock under which a running layer's slots are written; before
// appl_init the network fills them without it.
#pragma once

#include "hcapi/zip/zip_error.h"
#include "hcapi/zip/zip_frame.h"
#include "hcapi/zip/zip_platform.h"
#include "hcapi/zip/zip_session.h"
#include "hcapi/zip/zip_util.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

// Node ids: 0 the gateway itself, 1..232 nodes; 233 a sender whose address is
// not in the node address table, so that answers go back to that address.
inline constexpr uint8_t APPL_NODE_MAX = 232;
inline constexpr uint8_t APPL_NODE_UNKNOWN = 233;
inline constexpr size_t APPL_NODE_TBL = 233;  // entries 0..232 of the status tables

// The one-send gate: a second sender waits this long per wake-up.
inline constexpr uint32_t APPL_GATE_WAIT_MS = 5200;
// Least wait for a transmit result; a network may set a longer one.
inline constexpr uint32_t APPL_REPLY_WAIT_MS = 5100;

// Node status table values.
enum : uint8_t {
    APPL_NODE_STS_ALIVE = 0,
    APPL_NODE_STS_DOWN = 1,
    APPL_NODE_STS_SLEEP = 2,
    APPL_NODE_STS_FORCE_DOWN = 255,  // for appl_node_sts_set: down even for a sleeping node
};

struct appl_layer_ctx;

// The send record (24 bytes).
struct appl_snd_param_t {
    uint8_t node_id;        // destination; 0 = the gateway
    uint8_t selector;       // 1: the gateway may hold it for a sleeping node (read while sel_opt is on)
    uint16_t flags;         // ZIP_FRM_*
    uint16_t encap_fmt;     // with ZIP_FRM_ENCAP
    uint8_t src_ep;
    uint8_t dst_ep;         // endpoint, or a mask with bit_addr
    uint8_t bit_addr;
    uint16_t len;
    const uint8_t *data;    // the Z-Wave command (class, command, parameters)
};
static_assert(sizeof(appl_snd_param_t) == 24, "the send record is 24 bytes");

// Completion: (context, status: 0 or a negative ZIP_ERR_ code, user data, node id).
using appl_snd_cb_fn = void (*)(appl_layer_ctx *ctx, int status, void *user, uint8_t node_id);
// Received command: (context, source, endpoints, command, length, header flags, encapsulation format).
using appl_rx_fn = void (*)(appl_layer_ctx *ctx, const tpt_sockaddr_t *src, const zip_rx_hdr_t *hdr,
                            const uint8_t *data, uint16_t length, uint16_t hdr_flags, uint16_t encap_fmt);
// Node status change: (context, node id, new status APPL_NODE_STS_*).
using appl_node_sts_fn = void (*)(appl_layer_ctx *ctx, uint8_t node_id, uint8_t status);
// Transmit result of a command sent without a completion callback:
// (context, code as an unsigned byte: 0 or 147..150, listener data, node id).
using appl_tx_sts_fn = void (*)(appl_layer_ctx *ctx, uint8_t code, void *data, uint8_t node_id);
// Receive filter: offered every received command before the receive
// callback, with the arguments of appl_rx_fn and the filter's data. Returns
// 1 when it consumed the command, 0 to pass it on.
using appl_rx_filter_fn = int (*)(appl_layer_ctx *ctx, void *data, const tpt_sockaddr_t *src, const zip_rx_hdr_t *hdr,
                                  const uint8_t *cmd, uint16_t length, uint16_t hdr_flags, uint16_t encap_fmt);

struct appl_rx_filter_t {
    appl_rx_filter_fn fn{nullptr};
    void *data{nullptr};
};

struct appl_init_param_t {
    const uint8_t *gw_addr;  // 4 bytes (IPv4) or 16 bytes (IPv6)
    uint16_t host_port;      // local port; 0 = the system's choice
    uint16_t ipv4;           // 1 IPv4, 0 IPv6
    const uint8_t *psk;      // pre-shared key, or none
    uint8_t psk_len;         // at most 32; 0 = plain UDP
    uint32_t option;         // the network passes 0 and turns the selector option on later
};

// One slot of the sequence table.
struct appl_seq_ent_t {
    uint16_t in_use;
    uint8_t node_id;   // 255 when free
    uint8_t selector;
};

// One node address: 4 or 16 bytes.
struct appl_node_ip_t {
    uint8_t valid;
    uint8_t len;
    uint8_t addr[16];
};

// Application-layer context, inside the network record. Value-initialise it;
// the network fills the callbacks, user, plt_ctx and the reply-wait time
// before appl_init.
struct appl_layer_ctx {
    appl_rx_fn rx_cb{nullptr};
    appl_node_sts_fn node_sts_cb{nullptr};
    appl_tx_sts_fn tx_sts_listener{nullptr};
    void *tx_sts_listener_data{nullptr};
    void *user{nullptr};  // the owning network
    appl_rx_filter_t rx_filter{};  // kept across appl_init and appl_shutdown

    plt_mtx_t mtx{nullptr};      // the one-send gate, the stored command and the callback slots
    plt_mtx_t seq_mtx{nullptr};  // sequence table
    plt_mtx_t tbl_mtx{nullptr};  // node status, sleeping flags and address tables
    plt_cond_t cond{nullptr};    // a wait for the gate may end
    uint16_t wait_tmr{0};        // reply-wait timer (under mtx)

    std::atomic<uint32_t> sel_opt{0};  // selector option: the gateway may hold commands for sleeping nodes
    uint32_t reply_wait_ms{APPL_REPLY_WAIT_MS};

    uint8_t sleeping[APPL_NODE_TBL]{};  // non-zero: a wake-up node (under tbl_mtx)
    uint8_t node_sts[APPL_NODE_TBL]{};  // APPL_NODE_STS_* (under tbl_mtx)
    uint8_t own_node_id{0};             // the gateway's node id; node id 0 stands for it (under tbl_mtx)
    uint32_t ipv4{0};

    std::atomic<uint32_t> running{0};
    std::atomic<uint32_t> cb_thrd_run{0};
    std::atomic<int> active_snd{0};  // senders inside appl_cmd_snd_ex
    plt_mtx_t cmpl_mtx{nullptr};     // completed sends for the callback thread
    plt_sem_t cmpl_sem{nullptr};
    util_lst_t *cmpl_q{nullptr};
    plt_thrd_t cb_thrd{nullptr};

    appl_seq_ent_t seq_tbl[256]{};  // under seq_mtx
    uint8_t seq_cursor{0};

    // Under mtx: the gate is closed while either flag is set.
    uint32_t cb_wait{0};   // a command with a completion callback awaits its transmit result
    uint32_t sts_wait{0};  // a network-management command awaits the gateway's answer
    // The command that holds the gate (under mtx).
    appl_snd_cb_fn stored_cb{nullptr};
    void *stored_user{nullptr};
    uint8_t stored_node{0};
    uint8_t stored_seq{0};
    uint8_t stored_valid{0};  // no transmit result or expiry has ended it yet

    ssn_layer_ctx ssn;
    plt_tmr_ctx *plt_ctx{nullptr};

    appl_node_ip_t node_ip[APPL_NODE_UNKNOWN]{};  // entry n-1 for node n (under tbl_mtx)
    appl_node_ip_t ip_hit{};                      // last look-up; valid = its node id, 0 none
};

// ---------------------------------------------------------------------------
// Life
// ---------------------------------------------------------------------------

// Starts the layer and those below it: 0, or the layer that failed: 1
// transport, 2 frame, 3 session, 4 application.
int appl_init(appl_layer_ctx *ctx, const appl_init_param_t *prm);

// Stops sending: senders waiting at the gate give up with ZIP_ERR_NOT_RUNNING
// and the command holding the gate completes with ZIP_ERR_NOT_RUNNING. The
// callback thread keeps delivering completions until appl_shutdown.
void appl_stop(appl_layer_ctx *ctx);

// Stops everything (appl_stop first when not done): every completion still
// owed is delivered before it returns, ZIP_ERR_NOT_RUNNING for commands
// that the stop cut short. Not to be called from a completion callback.
void appl_shutdown(appl_layer_ctx *ctx);

// ---------------------------------------------------------------------------
// Sending
// ---------------------------------------------------------------------------

// Sends one command. With a callback it waits at the one-send gate (up to
// APPL_GATE_WAIT_MS per wake-up). Returns 0 (the callback, if any, gets the
// transmit status later, exactly once), or an error, and then the callback
// is never called: ZIP_ERR_NOT_RUNNING, ZIP_ERR_APPL_BUSY (the gate stayed
// closed), ZIP_ERR_NODE_ID (above 233), ZIP_ERR_NO_ADDR (no address for the
// node), ZIP_ERR_SSN_BUSY / ZIP_ERR_FRM_BUSY / ZIP_ERR_TOO_LONG /
// ZIP_ERR_MEMORY from below, ZIP_ERR_SEND (the reply-wait timer could not
// start; the command may still be delivered, but is not reported).
// Completion statuses: 0 ACK, ZIP_ERR_NACK_WAIT, ZIP_ERR_NACK, ZIP_ERR_NO_ACK,
// ZIP_ERR_SEND, ZIP_ERR_REPLY_TIMEOUT, ZIP_ERR_NOT_RUNNING.
int appl_cmd_snd(appl_layer_ctx *ctx, const appl_snd_param_t *prm, appl_snd_cb_fn cb, void *user);

// As appl_cmd_snd, with a destination in place of the node's (or none), and
// the network-management status wait: the gate then stays closed after the
// transmit result until appl_nm_sts_wait_clr or the reply-wait expiry.
int appl_cmd_snd_ex(appl_layer_ctx *ctx, const appl_snd_param_t *prm, appl_snd_cb_fn cb, void *user,
                    const tpt_sockaddr_t *dst, int sts_wait);

// Ends the network-management status wait (the gateway answered).
void appl_nm_sts_wait_clr(appl_layer_ctx *ctx);

// Registers the one listener of transmit results of commands sent without a
// completion callback (the held-NOP path of the wake-up poll).
void appl_tx_sts_listener_set(appl_layer_ctx *ctx, appl_tx_sts_fn listener, void *data);

// Installs the receive filter (none: removes it); the filter stays through
// appl_shutdown and a later appl_init.
void appl_rx_filter_set(appl_layer_ctx *ctx, appl_rx_filter_fn fn, void *data);
// The data of the installed filter when that filter is `fn`, else none.
void *appl_rx_filter_data(appl_layer_ctx *ctx, appl_rx_filter_fn fn);

// Completion callback for network-management sends that need no result:
// logs a non-zero status.
void zip_send_cb(appl_layer_ctx *ctx, int status, void *user, uint8_t node_id);

// The session's receive callback (appl_init installs it): drops a command
// when the layer does not run, when it is absent or shorter than 2 bytes;
// offers everything else to the receive filter and, unless it consumed the
// command, hands it to ctx->rx_cb.
void appl_rx_cb(ssn_layer_ctx *ssn, const tpt_sockaddr_t *src, const zip_rx_hdr_t *hdr, const uint8_t *data,
                uint16_t length, uint16_t hdr_flags, uint16_t encap_fmt);

// ---------------------------------------------------------------------------
// Node tables
// ---------------------------------------------------------------------------

// Sets a node's status (0 alive, 1 down, 2 sleeping, 255 down even when
// sleeping) while the layer runs; node id 0 means the own node id. With
// notify the node-status callback hears a change.
void appl_node_sts_set(appl_layer_ctx *ctx, uint8_t node_id, uint8_t status, int notify);
// The node's status; 1 for node 0 and above 232.
uint8_t appl_node_sts_get(appl_layer_ctx *ctx, uint8_t node_id);
// Clears the status and sleeping tables.
void appl_node_sts_clr(appl_layer_ctx *ctx);
// Copies the 233-entry status table.
void appl_node_sts_copy(appl_layer_ctx *ctx, uint8_t *buf);
// Marks a node 1..232 as a sleeping node (flag non-zero) or not.
void appl_node_sleep_flag_set(appl_layer_ctx *ctx, uint8_t node_id, uint8_t flag);

// Stores a node's address (node 1..233, 4 or 16 bytes): 1, else 0.
int appl_node_ip_set(appl_layer_ctx *ctx, const uint8_t *addr, uint8_t len, uint8_t node_id);
// Forgets a node's address (node 1..232): 1, else 0.
int appl_node_ip_rm(appl_layer_ctx *ctx, uint8_t node_id);
// Finds the node 1..232 whose address of the same length equals `addr`: 1, else 0.
int appl_ip_to_node(appl_layer_ctx *ctx, const uint8_t *addr, uint8_t len, uint8_t *node_id);

// ---------------------------------------------------------------------------
// Sequence numbers
// ---------------------------------------------------------------------------

uint8_t appl_seq_alloc(appl_layer_ctx *ctx, uint8_t node_id, uint8_t selector);
void appl_seq_free(appl_layer_ctx *ctx, uint8_t seq);
void appl_seq_node_free(appl_layer_ctx *ctx, uint8_t node_id);  // 255: all
uint8_t appl_seq_node_get(appl_layer_ctx *ctx, uint8_t seq);    // 255 when free

// Logs "addr:%s, port:%s" with the numeric host and port of a socket address.
void appl_addr_show(plt_tmr_ctx *plt_ctx, const void *addr, size_t len);
