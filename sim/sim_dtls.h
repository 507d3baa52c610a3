// DTLS mode of the gateway simulator: the server side of DTLS 1.0 with a
// pre-shared key on the simulator's UDP sockets, as a gateway plays it.
//
// It sits between udp_transport and the gateway: datagrams from the wire go
// through on_wire, which runs the handshake of each peer and hands the
// decrypted records on with the same receive signature as udp_transport;
// the gateway's sends go through send, which writes them into the peer's
// session. Peers are told apart by the local socket and their address and
// port. The simulator does no cookie exchange and never opens a session
// itself: it answers within sessions that clients opened.
//
// Thread-safe: on_wire and the retransmission task run on the loop thread,
// send on any thread. No lock is held while records are handed on.
#pragma once

#include "sim/sim_udp.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct ssl_ctx_st;

namespace sim {

struct dtls_glue;

// Every Z/IP peer takes DTLS on this port.
inline constexpr uint16_t dtls_port = 41230;

struct dtls_stats {
    size_t handshakes = 0;   // sessions established
    size_t failures = 0;     // handshakes that ended in an error
    size_t peer_closes = 0;  // sessions the client closed with a close notification
    size_t replaced = 0;     // sessions dropped because their peer started afresh
    size_t sessions = 0;     // sessions now known (established or not)
    std::string last_identity; // PSK identity of the last handshake
};

class dtls_layer {
public:
    explicit dtls_layer(udp_transport &udp);
    ~dtls_layer();
    dtls_layer(const dtls_layer &) = delete;
    dtls_layer &operator=(const dtls_layer &) = delete;

    // 0, or -EINVAL (empty key, or longer than 64 bytes) / -ENOMEM, with a
    // text in *error.
    int configure(const std::vector<uint8_t> &psk, std::string *error);
    // Schedules the handshake retransmission task on the transport's loop.
    void start();

    // Loop thread: one datagram from the wire. Records reach `deliver`.
    void on_wire(int socket_id, const uint8_t *data, size_t length, const endpoint &from,
                 const std::string &to_address, const udp_transport::receive_fn &deliver);
    // One record to the peer's established session: 0, -ENOTCONN (none),
    // -EIO (libssl refused it).
    int send(int socket_id, const endpoint &to, const uint8_t *data, size_t length);

    dtls_stats stats() const;

    struct session;  // one peer (public for the BIO glue only)

private:
    friend struct dtls_glue;
    void tick();
    void erase(const std::pair<int, std::string> &key);

    udp_transport &udp_;
    ssl_ctx_st *ctx_ = nullptr;
    std::vector<uint8_t> psk_;
    mutable std::mutex mu_; // sessions_, stats_, every SSL call
    std::map<std::pair<int, std::string>, std::unique_ptr<session>> sessions_;
    dtls_stats stats_;
    uint64_t next_serial_ = 0;
};

} // namespace sim
