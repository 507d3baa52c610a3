// Z/IP frame layer: wraps Z-Wave commands in Z/IP packets and unwraps the
// packets that arrive. It keeps at most one frame that asked for an
// acknowledgement, resends it once after 2500 ms, reads ACK, NACK and NACK
// waiting answers (with the expected-delay option), acknowledges packets
// that ask for it, answers keep-alives, and passes received commands and
// node advertisements up to the session layer.
//
// Runs over the plain UDP or the DTLS transport alike: it only queues
// datagrams (tpt_snd_enq) and takes what the transport's read thread gives.
#pragma once

#include "hcapi/zip/zip_error.h"
#include "hcapi/zip/zip_platform.h"
#include "hcapi/zip/zip_transport.h"

#include <atomic>
#include <cstdint>

// ---------------------------------------------------------------------------
// The Z/IP packet
// ---------------------------------------------------------------------------

enum : uint8_t {
    COMMAND_CLASS_ZIP = 0x23,
    ZIP_PACKET = 0x02,
    ZIP_KEEP_ALIVE = 0x03,
    COMMAND_CLASS_ZIP_ND = 0x58,
    ZIP_NODE_ADVERTISEMENT = 0x01,
    ZIP_NODE_SOLICITATION = 0x03,
    ZIP_INV_NODE_SOLICITATION = 0x04,
};

// Byte 2 of a Z/IP packet.
enum : uint8_t {
    ZIP_FLAG0_ACK_REQ = 0x80,
    ZIP_FLAG0_ACK_RES = 0x40,
    ZIP_FLAG0_NACK_RES = 0x20,
    ZIP_FLAG0_NACK_WAIT = 0x10,
    ZIP_FLAG0_NACK_QFULL = 0x08,
    ZIP_FLAG0_NACK_OPT_ERR = 0x04,
};
// Byte 3 of a Z/IP packet.
enum : uint8_t {
    ZIP_FLAG1_HDR_EXT = 0x80,
    ZIP_FLAG1_ZW_CMD = 0x40,
    ZIP_FLAG1_MORE_INFO = 0x20,
    ZIP_FLAG1_SECURE = 0x10,
};
// Byte 2 of a keep-alive.
enum : uint8_t {
    ZIP_KEEP_ALIVE_ACK_REQ = 0x80,
    ZIP_KEEP_ALIVE_ACK_RES = 0x40,
};
// Byte 6: bit-address flag (bits 0-6 are then a mask of endpoints).
inline constexpr uint8_t ZIP_DST_EP_BIT_ADDR = 0x80;

// Header extension options: {type (bit 7 critical), length, value}.
enum : uint8_t {
    ZIP_OPT_CRITICAL = 0x80,
    ZIP_OPT_TYPE_MASK = 0x7F,
    ZIP_OPT_EXPECTED_DELAY = 1,  // 3-byte value, seconds
    ZIP_OPT_ENCAP_FMT = 4,       // 2-byte value
};

inline constexpr uint16_t ZIP_HDR_LEN = 7;                // bytes 0..6
inline constexpr uint16_t ZIP_ENCAP_EXT_LEN = 5;          // 05 84 02 hi lo
inline constexpr uint16_t ZIP_MAX_FRAME = TPT_MAX_DATAGRAM;
inline constexpr uint32_t FRM_RETX_MS = 2500;             // resend interval
inline constexpr uint16_t ZIP_NODE_SOLICIT_LEN = 20;      // 58 03 00 00 + IPv6 address
inline constexpr uint16_t ZIP_INV_NODE_SOLICIT_LEN = 4;   // 58 04 04 node
inline constexpr uint8_t ZIP_INV_NODE_SOLICIT_LOCAL = 0x04;
inline constexpr uint8_t FRM_RAW_MAX = 250;               // frm_raw_snd data limit

// ---------------------------------------------------------------------------
// Requests, results, callbacks
// ---------------------------------------------------------------------------

// Frame flags (also the flags of the application's send record).
enum : uint16_t {
    ZIP_FRM_SECURE = 0x01,     // set the secure-origin bit
    ZIP_FRM_ACK_REQ = 0x02,    // ask for an acknowledgement
    ZIP_FRM_ACK_RES = 0x04,    // this frame is an ACK
    ZIP_FRM_OPT_ERR = 0x08,    // this frame is a NACK for an unsupported critical option
    ZIP_FRM_HDR_EXT = 0x10,    // the data is a header extension, not a command
    ZIP_FRM_ENCAP = 0x20,      // add the encapsulation-format option
    ZIP_FRM_MORE_INFO = 0x40,  // set the more-information bit
};

// Frame status, as the tx-status callback gets it.
enum : uint8_t {
    FRM_STS_NONE = 0,       // not an answer
    FRM_STS_ACK = 1,
    FRM_STS_NO_ACK = 2,     // no answer after two sends (5000 ms)
    FRM_STS_NACK = 3,
    FRM_STS_NACK_WAIT = 4,  // the gateway holds the frame (sleeping node)
    FRM_STS_SEND_FAIL = 5,  // queueing or resending failed
    FRM_STS_STOPPED = 6,    // the layer stopped with the frame pending: report ZIP_ERR_NOT_RUNNING
};

// Header flags passed up with a received command.
enum : uint16_t {
    ZIP_RX_FLAG_SECURE = 0x01,   // secure origin
    ZIP_RX_FLAG_ACK_REQ = 0x02,  // the packet asked for an ACK (it has been answered)
    ZIP_RX_FLAG_ENCAP = 0x20,    // an encapsulation-format option was present
};

// Endpoints of a received command.
struct zip_rx_hdr_t {
    uint8_t src_ep;
    uint8_t dst_ep;    // 7 bits
    uint8_t bit_addr;  // 1: dst_ep is a mask of endpoints
};

// What the session layer hands down.
struct zip_frm_req_t {
    const tpt_sockaddr_t *dst;  // destination socket address
    const uint8_t *src;         // local source address (4 or 16 bytes) or none
    const uint8_t *data;        // command, or the header extension with ZIP_FRM_HDR_EXT; may be none
    uint16_t len;
    uint16_t flags;             // ZIP_FRM_*
    uint16_t encap_fmt;         // with ZIP_FRM_ENCAP
    uint8_t seq;
    uint8_t reply_ssn;          // the gateway may hold it for a sleeping node: NACK waiting is final,
                                // and under DTLS it leaves from the host port
    uint8_t src_ep;
    uint8_t dst_ep;
    uint8_t bit_addr;
};

struct frm_layer_ctx;

// Transmit result: (frame context, FRM_STS_*, sequence number, source address
// of the answer or none, matched). `matched` is 1 when the result belongs to
// the pending frame (an answer from its destination or the gateway, its
// time-out, a failed resend, a stop); 0 for an answer that matches no pending
// frame (late ACK of a held frame, an answer from a third address), which
// must not complete a pending command.
using frm_tx_sts_fn = void (*)(frm_layer_ctx *ctx, uint8_t status, uint8_t seq, const tpt_sockaddr_t *src,
                               int matched);

// Received command or node advertisement, on the transport's read thread:
// (frame context, bytes, length, source socket address, endpoints, header
// flags ZIP_RX_FLAG_*, encapsulation format).
using frm_rx_fn = void (*)(frm_layer_ctx *ctx, const uint8_t *data, uint16_t length, const tpt_sockaddr_t *src,
                           const zip_rx_hdr_t *hdr, uint16_t hdr_flags, uint16_t encap_fmt);

// Frame-layer context, embedded in the session layer's. The session sets the
// callbacks, upper context and platform context before frm_init.
// Value-initialise it.
struct frm_layer_ctx {
    frm_tx_sts_fn tx_sts_cb{nullptr};
    frm_rx_fn rx_cb{nullptr};
    std::atomic<uint32_t> running{0};
    plt_mtx_t mtx{nullptr};          // guards the fields below
    uint16_t retx_tmr{0};            // retransmission timer, 0 = none
    uint8_t *pend_frm{nullptr};      // the last sent frame that asked for an ACK (owned)
    uint16_t pend_len{0};
    uint8_t reply_ssn{0};            // reply-session selector of the last send
    uint8_t snd_cnt{0};              // expiries of the timer for the pending frame
    uint8_t hold{0};                 // an answer arrived: do not resend
    tpt_sockaddr_t pend_dst{};       // where the pending frame went
    uint32_t retx_ms{FRM_RETX_MS};
    tpt_layer_ctx tpt;               // the transport
    plt_tmr_ctx *plt_ctx{nullptr};
    void *upper_ctx{nullptr};        // the session-layer context
};

// ---------------------------------------------------------------------------
// Calls
// ---------------------------------------------------------------------------

// Starts the transport and this layer: 0, 1 transport failed, 2 mutex failed.
int frm_init(frm_layer_ctx *ctx);

// Stops the transport and this layer. A frame still pending is reported
// through the tx-status callback with FRM_STS_STOPPED (matched) after the
// transport has stopped, so its sender does not wait for ever.
void frm_exit(frm_layer_ctx *ctx);

// Builds and queues one Z/IP packet: 0, ZIP_ERR_NOT_RUNNING, ZIP_ERR_FRM_BUSY
// (asks for an ACK while a frame is pending), ZIP_ERR_TOO_LONG (packet above
// ZIP_MAX_FRAME), ZIP_ERR_MEMORY or the transport's error.
int frm_cmd_snd(frm_layer_ctx *ctx, const zip_frm_req_t *req);

// Keep-alive answer 23 03 40: 0 or a negative code.
int frm_keep_alive_ack_snd(frm_layer_ctx *ctx, const tpt_sockaddr_t *dst);

// Node solicitation 58 03 00 00 + IPv6 address; a non-zero flag asks the
// DTLS transport for a fresh session.
int frm_node_solicit_snd(frm_layer_ctx *ctx, const tpt_sockaddr_t *dst, const uint8_t *ipv6_addr, int tpt_flag);

// Inverse node solicitation 58 04 04 node; node id 0 gives ZIP_ERR_NODE_ID.
int frm_inv_node_solicit_snd(frm_layer_ctx *ctx, const tpt_sockaddr_t *dst, uint8_t node_id);

// Class, command and data without a Z/IP header to the gateway's address on
// ZIP_UDP_PORT; more than FRM_RAW_MAX data bytes give ZIP_ERR_TOO_LONG.
int frm_raw_snd(frm_layer_ctx *ctx, uint8_t cmd_cls, uint8_t cmd, const uint8_t *data, uint8_t length);

// The transport's receive callback (frm_init installs it); rx_data is the
// frame context. Never reads past `length`.
void frm_rx_hdlr(tpt_layer_ctx *tpt, const uint8_t *data, uint16_t length, const tpt_sockaddr_t *src,
                 const uint8_t *dst_addr);

// ---------------------------------------------------------------------------
// Parsing (pure, bounds-checked)
// ---------------------------------------------------------------------------

// Header extension option search. `ext` points at the extension's length
// byte; `avail` bytes may be read from there. Returns the option's type byte
// (its length and value follow), or none when absent, when the extension's
// length is below 3 or above `avail`, or when the option does not fit.
const uint8_t *frm_hdr_ext_opt_find(const uint8_t *ext, uint16_t avail, uint8_t type);
// The first critical option, unless it is understood (type 4) or does not
// fit: then none.
const uint8_t *frm_hdr_ext_crit_opt_find(const uint8_t *ext, uint16_t avail);

enum : uint8_t {
    FRM_PKT_IGNORED = 0,     // not for this layer, or malformed
    FRM_PKT_ZIP = 1,         // Z/IP packet (at least 7 bytes)
    FRM_PKT_KEEP_ALIVE = 2,  // keep-alive that asks for an answer
    FRM_PKT_NODE_ADV = 3,    // node advertisement, passed up whole
};

// One received datagram, as the receive handler reads it.
struct frm_pkt_t {
    uint8_t kind;
    uint8_t flags0, flags1, seq, src_ep, dst_ep_byte;  // Z/IP packet
    uint8_t ans_sts;           // FRM_STS_ACK / NACK / NACK_WAIT, or NONE when not an answer
    uint8_t ext_len;           // byte 7 when there is an extension, else 0
    const uint8_t *ext;        // the extension (its length byte), or none
    uint16_t ext_avail;        // bytes readable from ext
    uint32_t exp_delay_s;      // expected-delay option, 0 when absent
    const uint8_t *crit_opt;   // a critical option not understood, or none
    uint16_t encap_fmt;        // with ZIP_RX_FLAG_ENCAP in hdr_flags
    uint16_t hdr_flags;        // ZIP_RX_FLAG_*
    const uint8_t *cmd;        // the command after the extension, or none
    uint16_t cmd_len;
};

// Reads one datagram without side effects: returns pkt->kind.
uint8_t frm_pkt_parse(const uint8_t *data, uint16_t length, frm_pkt_t *pkt);
