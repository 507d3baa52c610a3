// Z/IP session layer: between the application layer and the frame layer.
//
// It lets one acknowledged command be outstanding at a time, remembers whose
// completion callback belongs to it, turns the frame layer's transmit results
// into the application's status codes, and moves received commands off the
// transport's read thread onto a receive thread of its own, so that upper
// layers never run on the read thread.
#pragma once

#include "hcapi/zip/zip_error.h"
#include "hcapi/zip/zip_frame.h"
#include "hcapi/zip/zip_platform.h"
#include "hcapi/zip/zip_util.h"

#include <atomic>
#include <cstdint>

// Transmit result codes as the completion callbacks get them. They are the
// application's negative codes read as unsigned bytes.
enum : uint8_t {
    SSN_STS_ACK = 0,
    SSN_STS_NOT_RUNNING = static_cast<uint8_t>(ZIP_ERR_NOT_RUNNING),  // 132: the layer stopped first
    SSN_STS_SEND_FAIL = static_cast<uint8_t>(ZIP_ERR_SEND),           // 147
    SSN_STS_NO_ACK = static_cast<uint8_t>(ZIP_ERR_NO_ACK),            // 148
    SSN_STS_NACK = static_cast<uint8_t>(ZIP_ERR_NACK),                // 149
    SSN_STS_NACK_WAIT = static_cast<uint8_t>(ZIP_ERR_NACK_WAIT),      // 150
};

// Node id given to the default callback: the result matched no pending command.
inline constexpr uint8_t SSN_NODE_NONE = 255;

// Received commands queued beyond this are dropped (and logged).
inline constexpr uint32_t SSN_RX_Q_MAX = 512;

struct ssn_layer_ctx;

// Completion callback: (session context, code SSN_STS_*, user data, node id,
// sequence number, source address of the answer or none). Runs on the
// transport's read thread or a timer thread, with no lock of this layer held.
using ssn_snd_cb_fn = void (*)(ssn_layer_ctx *ctx, uint8_t code, void *user, uint8_t node_id, uint8_t seq,
                               const tpt_sockaddr_t *src);

// Receive callback, on the receive thread: (session context, source socket
// address, endpoints, command, length, header flags ZIP_RX_FLAG_*,
// encapsulation format).
using ssn_rx_fn = void (*)(ssn_layer_ctx *ctx, const tpt_sockaddr_t *src, const zip_rx_hdr_t *hdr,
                           const uint8_t *data, uint16_t length, uint16_t hdr_flags, uint16_t encap_fmt);

// What the application layer hands down.
struct zip_ssn_req_t {
    const tpt_sockaddr_t *dst;
    uint8_t src_ep;
    uint8_t dst_ep;
    uint8_t bit_addr;
    const uint8_t *data;
    uint16_t len;
    uint16_t flags;       // ZIP_FRM_*; ZIP_FRM_ACK_REQ is added when cb is given
    uint16_t encap_fmt;
    ssn_snd_cb_fn cb;     // completion callback, or none
    void *user;
    uint8_t node_id;
    uint8_t seq;
    uint8_t reply_ssn;    // the gateway may hold the command for a sleeping node
};

// Session-layer context, embedded in the application layer's. The upper
// layer sets rx_cb, upper_ctx, plt_ctx and the transport fields of frm.tpt
// before ssn_init. Value-initialise it.
struct ssn_layer_ctx {
    ssn_rx_fn rx_cb{nullptr};
    // The one outstanding acknowledged command (guarded by mtx).
    ssn_snd_cb_fn pend_cb{nullptr};
    void *pend_user{nullptr};
    uint8_t pend_node{0};
    uint8_t pend_seq{0};
    // Results that match no pending command (guarded by mtx).
    ssn_snd_cb_fn dflt_cb{nullptr};
    void *dflt_user{nullptr};
    plt_mtx_t mtx{nullptr};
    // Received commands (guarded by rx_mtx).
    plt_mtx_t rx_mtx{nullptr};
    plt_sem_t rx_sem{nullptr};
    util_lst_t *rx_q{nullptr};
    uint32_t rx_q_cnt{0};
    uint32_t rx_drop_cnt{0};
    std::atomic<uint32_t> run{0};      // receive thread asked to run; entry points test it
    std::atomic<uint32_t> running{0};  // receive thread runs
    plt_thrd_t rx_thrd{nullptr};
    frm_layer_ctx frm;
    plt_tmr_ctx *plt_ctx{nullptr};
    void *upper_ctx{nullptr};          // the application-layer context
};

// Starts the frame layer (and the transport below it) and the receive
// thread: 0, 1 transport failed, 2 frame layer failed, 3 this layer failed
// (then nothing is left running).
int ssn_init(ssn_layer_ctx *ctx);

// Stops the frame layer (a pending command completes with
// SSN_STS_NOT_RUNNING), then the receive thread, and frees the commands
// still queued. Not to be called from the receive callback.
void ssn_exit(ssn_layer_ctx *ctx);

// Sets the callback for transmit results that match no pending command.
void ssn_cb_set(ssn_layer_ctx *ctx, ssn_snd_cb_fn cb, void *user);

// Sends one command: 0, ZIP_ERR_NOT_RUNNING, ZIP_ERR_SSN_BUSY (a command with
// a completion callback while another is pending), or the frame layer's error.
// With a callback the command is pending from before the frame leaves until
// its transmit result arrives, so even an immediate answer finds it.
int ssn_cmd_snd(ssn_layer_ctx *ctx, const zip_ssn_req_t *req);

// The frame layer's callbacks (ssn_init installs them).
void ssn_tx_sts_cb(frm_layer_ctx *frm, uint8_t status, uint8_t seq, const tpt_sockaddr_t *src, int matched);
void ssn_rx_enq(frm_layer_ctx *frm, const uint8_t *data, uint16_t length, const tpt_sockaddr_t *src,
                const zip_rx_hdr_t *hdr, uint16_t hdr_flags, uint16_t encap_fmt);

// The frame status of the frame layer as a completion code.
uint8_t ssn_sts_code(uint8_t frm_status);
