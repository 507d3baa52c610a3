// UDP transport of the Z/IP client: one UDP socket (IPv4 or IPv6), a queue
// of outgoing datagrams served by a write thread, and a read thread that
// hands every received datagram, with its source and the local address it
// was sent to, to the frame layer.
//
// What carries the datagrams is a backend: plain UDP unless the layer above
// names another (the DTLS transport of zip_dtls.h fills one of its own),
// whose read and write threads take the place of the plain ones and consume
// the same write queue.
#pragma once

#include "hcapi/zip/zip_platform.h"
#include "hcapi/zip/zip_util.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>

// The gateway's Z/IP port, used throughout the stack.
inline constexpr uint16_t ZIP_UDP_PORT = 4123;
// Largest datagram sent or received whole.
inline constexpr uint16_t TPT_MAX_DATAGRAM = 1280;

// Flags of a queued datagram.
enum : uint16_t {
    TPT_FLAG_DTLS_NEW = 0x01,   // DTLS: close any session to the destination and open a new one
    TPT_FLAG_HOST_PORT = 0x02,  // DTLS: the datagram must leave from the host port
    TPT_FLAG_SRC_ADDR = 0x04,   // plain UDP: leave from the given source address
};

// A socket address of either family. With the IPv4 flag the first 16 bytes
// (sockaddr_in) are meaningful, otherwise all 28 (sockaddr_in6). DTLS hands
// up sources whose family and port are 0: only the address bytes count.
union tpt_sockaddr_t {
    sockaddr sa;
    sockaddr_in v4;
    sockaddr_in6 v6;
};

struct tpt_layer_ctx;

// Receive callback, on the read thread: (transport context, data, length,
// source socket address, local destination address: 4 bytes with the IPv4
// flag, else 16; none for DTLS records). The callback finds its own context
// in rx_data.
using tpt_rx_fn = void (*)(tpt_layer_ctx *ctx, const uint8_t *data, uint16_t length, const tpt_sockaddr_t *src,
                           const uint8_t *dst_addr);

// A backend of the transport. tpt_init opens the plain socket first, then
// runs the backend's init (which may take the socket's place) and starts its
// two threads; tpt_exit stops them, closes the socket and runs its exit.
// The thread bodies get the transport context. The transport sets rd_running
// / wr_running before it starts them (so a stop right after the start still
// waits for them); each clears its own flag as the last thing it does with
// the context. A read thread hands datagrams up through rx_cb; a write
// thread takes them with tpt_snd_deq after each wr_sem wake-up (tpt_wr_loop).
struct tpt_backend_t {
    const char *name;                   // in log lines
    int (*init)(tpt_layer_ctx *ctx);    // 0, or a negative code; none: nothing to start
    void (*exit)(tpt_layer_ctx *ctx);   // undoes init; none: nothing to stop
    plt_thrd_fn rd_thrd;
    plt_thrd_fn wr_thrd;
};

// Plain UDP, the backend of a context that names none.
extern const tpt_backend_t tpt_udp_backend;

// Transport context, embedded in the frame layer's. The application layer
// fills peer address, host port, IPv4 flag, key and backend before tpt_init
// (through ssn_init / frm_init); the frame layer fills the callback and the
// platform context. Value-initialise it (`tpt_layer_ctx ctx{}`).
struct tpt_layer_ctx {
    tpt_rx_fn rx_cb{nullptr};
    void *rx_data{nullptr};                    // the frame-layer context
    uint8_t peer_addr[16]{};                   // the gateway; IPv4 held as ::ffff:a.b.c.d after tpt_init
    uint16_t host_port{0};                     // local port; 0 = system's choice, written back by tpt_init
    uint32_t ipv4{0};                          // 1 IPv4 socket and addresses, 0 IPv6
    std::atomic<int> sock{-1};                 // plain UDP socket, -1 when none
    plt_mtx_t wr_mtx{nullptr};                 // guards wr_q
    plt_sem_t wr_sem{nullptr};                 // posted once per queued datagram and at stop
    util_lst_t *wr_q{nullptr};                 // queued datagrams (tpt_dgram_hdr_t + payload)
    plt_tmr_ctx *plt_ctx{nullptr};             // timers and log lines
    std::atomic<uint32_t> rd_run{0};           // read thread: asked to run / runs
    std::atomic<uint32_t> rd_running{0};
    uint8_t host_addr[16]{};                   // IPv6: default local source address
    uint8_t psk[32]{};                         // DTLS key
    uint32_t psk_len{0};                       // key length, for a backend that needs one
    const tpt_backend_t *backend{nullptr};     // none: plain UDP
    void *backend_data{nullptr};               // a backend's own state, owned by that backend
    std::atomic<uint32_t> wr_run{0};           // write thread: asked to run / runs
    std::atomic<uint32_t> wr_running{0};
    std::atomic<uint32_t> first_snd{0};        // set when the first datagram is queued
    int wake_fd{-1};                           // wakes the plain read thread at stop
    plt_thrd_t rd_thrd{nullptr};               // joined at stop
    plt_thrd_t wr_thrd{nullptr};
};

// Header of a queued datagram; `len` payload bytes follow it in the same
// list item (tpt_dgram_payload).
struct tpt_dgram_hdr_t {
    tpt_sockaddr_t dst;  // destination (16 or 28 bytes meaningful)
    uint8_t src[16];     // source address, 4 or 16 bytes, only with TPT_FLAG_SRC_ADDR
    uint16_t flags;      // TPT_FLAG_*
    uint16_t len;        // payload length
};

inline tpt_dgram_hdr_t *tpt_dgram_hdr(util_lst_t *node) { return static_cast<tpt_dgram_hdr_t *>(util_lst_item(node)); }
inline uint8_t *tpt_dgram_payload(util_lst_t *node)
{
    return static_cast<uint8_t *>(util_lst_item(node)) + sizeof(tpt_dgram_hdr_t);
}

// Opens the socket and starts the threads (the backend's): 0, or 1 on any
// failure, with nothing left allocated.
int tpt_init(tpt_layer_ctx *ctx);

// Stops both threads, frees the queued datagrams, closes the socket and
// stops the backend. Safe on a context whose init failed.
void tpt_exit(tpt_layer_ctx *ctx);

// Queues a copy of one datagram for the write thread; never blocks on the
// network. `src` (4 or 16 bytes by the IPv4 flag) is read only with
// TPT_FLAG_SRC_ADDR. 0, ZIP_ERR_NOT_RUNNING (no write thread), ZIP_ERR_TOO_LONG
// (above TPT_MAX_DATAGRAM) or ZIP_ERR_MEMORY.
int tpt_snd_enq(tpt_layer_ctx *ctx, const tpt_sockaddr_t *dst, const uint8_t *src, const uint8_t *payload,
                uint16_t length, uint16_t flags);

// Binds `sock` (of the context's family) to `addr` (4 or 16 bytes; none:
// any address) and `port`: 0, or -2 with a log line.
int tpt_sock_bind(tpt_layer_ctx *ctx, int sock, uint16_t port, const uint8_t *addr, uint32_t ipv4);

// Readies a new datagram socket of either transport: SO_REUSEADDR (with
// `reuse`), packet information of the receiving address (with `pktinfo`),
// IPv6 only, close-on-exec and non-blocking. 1, or 0 after logging the step
// that failed (`nonblock_fail` names the last one in each transport's words).
int tpt_sock_opts_set(tpt_layer_ctx *ctx, int sock, uint32_t ipv4, int reuse, int pktinfo,
                      const char *nonblock_fail);

// For write threads (plain and DTLS): unlinks the oldest queued datagram, or
// none. Free it with util_lst_free.
util_lst_t *tpt_snd_deq(tpt_layer_ctx *ctx);

// The body of both write threads: after each wr_sem wake-up, while wr_run
// is set, hands every queued datagram to `send` and frees it; clears
// wr_running as the last thing it does with the context.
void tpt_wr_loop(tpt_layer_ctx *ctx, void (*send)(tpt_layer_ctx *ctx, util_lst_t *node));

// Finds the local destination address of a datagram received with recvmsg
// in its control data (IP_PKTINFO for IPv4: 4 bytes; IPV6_PKTINFO: 16 bytes)
// into `addr`: 1 found, 0 not.
int tpt_pktinfo_dst_get(const msghdr *msg, uint32_t ipv4, uint8_t *addr);
