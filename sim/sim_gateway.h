// The simulated Z/IP gateway: a UDP peer on loopback that plays the gateway
// at its own address and the nodes that have addresses of their own
// (127.0.0.N), records every frame it receives and sends, answers
// acknowledgement requests as the behaviour policy says, hands commands to
// the command handlers, and sends packets and keep-alives of its own.
//
// Layers: sim_udp (sockets, loop thread, delayed tasks), sim_dtls (DTLS mode:
// the sessions between the sockets and the rest), sim_packet (codec),
// sim_policy (how to answer), sim_handlers (what to answer); this class ties
// them together. A node layer (sim_node) may play the nodes behind the node
// sockets: it answers their commands in place of the handlers, and the
// gateway holds the frames of a node that sleeps. All public calls are
// thread-safe. Handlers, the node layer and the observers run on the loop
// thread and must not call stop().
#pragma once

#include "sim/sim_dtls.h"
#include "sim/sim_handlers.h"
#include "sim/sim_packet.h"
#include "sim/sim_policy.h"
#include "sim/sim_udp.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Node N lives at 127.0.0.N (Linux routes all of 127/8 to loopback).
std::string node_loopback_address(uint8_t node_id);

struct node_address {
    uint8_t node_id = 0;
    std::string address; // empty: node_loopback_address(node_id)
};

struct gateway_config {
    std::string address = "127.0.0.1";
    // 0 lets the system choose; the nodes then bind the same number.
    uint16_t port = 4123;
    std::vector<node_address> nodes;
    // Option types this gateway understands; a critical option of another
    // type is refused with a NACK option error.
    std::vector<uint8_t> known_options{option_expected_delay, option_encap_format};
    // Oldest records are dropped beyond this many per direction.
    size_t max_records = 10000;
    // Non-empty: every socket speaks DTLS 1.0 with this pre-shared key
    // (server side; clients connect to dtls_port, so set port to it).
    std::vector<uint8_t> dtls_psk;
};

inline constexpr uint8_t foreign_node_id = 255;

enum class direction : uint8_t { received, sent };

struct recorded_frame {
    uint64_t index = 0; // per direction, counts from 0, never reused
    direction dir = direction::received;
    std::vector<uint8_t> bytes;
    endpoint peer;             // the sender (received) or the destination (sent)
    endpoint local;            // where it arrived, or the socket it left from
    uint8_t node_id = 0;       // of the local socket: 0 gateway, 255 a third address
    std::chrono::steady_clock::time_point time;
    zip_frame frame;
    // Received acknowledgement-requested packets: the behaviour applied and
    // which copy of the frame this was (1 = first).
    std::optional<reply> applied;
    unsigned copy = 0;
};

// A packet of the simulator's own, e.g. an unsolicited report.
struct own_packet {
    std::vector<uint8_t> command; // empty: header only
    bool ack_request = true;
    bool secure = false;
    bool more_info = false;
    uint8_t src_ep = 0;
    uint8_t dst_ep = 0;
    bool bit_address = false;
    std::vector<zip_option> options;
    std::optional<uint8_t> seq;  // default: the simulator's own counter
    uint8_t from_node = 0;       // 0: the gateway's address, else a node's
    std::optional<endpoint> to;  // default: the last client heard from
};

class gateway {
public:
    explicit gateway(gateway_config config = {});
    ~gateway();
    gateway(const gateway &) = delete;
    gateway &operator=(const gateway &) = delete;

    // Binds every socket and starts the loop: 0, or -errno with last_error().
    // A gateway starts once.
    int start();
    // Joins the loop and closes the sockets. Idempotent.
    void stop();
    bool running() const { return transport_.running(); }
    std::string last_error() const;

    uint16_t port() const { return port_.load(); }
    endpoint address() const;
    std::optional<endpoint> node(uint8_t node_id) const;
    // Binds one more node address on the gateway's port (before or after start).
    int add_node(uint8_t node_id, const std::string &address = {});

    sim::policy &policy() { return policy_; }
    void set_answer_keep_alives(bool on) { answer_keep_alives_.store(on); }

    // Lets a node model play the nodes it serves (nullptr: none). Returns once
    // no call into the previous layer runs; tasks posted for it are dropped.
    void set_node_layer(node_layer *layer);
    // Runs `task` on the loop thread after `delay`, unless the node layer was
    // changed meanwhile (so a task never outlives the model that posted it).
    void post_node_task(std::chrono::milliseconds delay, std::function<void()> task);
    // Loop thread only (from a node task): hands a frame that was held for a
    // sleeping node to it now, acknowledges it to its sender when it asked
    // for that, and sends the node's answers. 0 or -ENOENT (no node socket).
    int deliver_held(uint8_t node_id, const zip_packet &p, const endpoint &from);

    int on_command(uint8_t cmd_class, int command, command_handler handler)
    {
        return handlers_.add(cmd_class, command, std::move(handler));
    }
    bool remove_handler(int id) { return handlers_.remove(id); }
    void clear_handlers() { handlers_.clear(); }

    // Return the sequence number used (0..255) or -errno (-ENOTCONN: no
    // destination known, -ENOENT: no such node socket).
    int send_packet(const own_packet &p);
    int send_keep_alive(uint8_t from_node = 0, std::optional<endpoint> to = {});
    // Any bytes, e.g. malformed packets; returns 0 or -errno.
    int send_raw(const std::vector<uint8_t> &bytes, uint8_t from_node = 0, std::optional<endpoint> to = {});

    std::optional<endpoint> last_client() const;

    // DTLS mode: handshakes and closes seen so far (all 0 in plain mode).
    sim::dtls_stats dtls_stats() const;

    std::vector<recorded_frame> received() const;
    std::vector<recorded_frame> sent() const;
    // Index that the next received frame will get: a mark for wait_for.
    uint64_t next_index() const;
    void clear_records();

    using frame_predicate = std::function<bool(const recorded_frame &)>;
    // First received frame with index >= from_index that matches, waiting up
    // to `timeout` on the monotonic clock.
    std::optional<recorded_frame> wait_for(const frame_predicate &pred, std::chrono::milliseconds timeout,
                                           uint64_t from_index = 0) const;
    // The client's ACK or NACK (any answer flag) to our packet `seq`.
    std::optional<recorded_frame> wait_for_answer(uint8_t seq, std::chrono::milliseconds timeout,
                                                  uint64_t from_index = 0) const;
    std::optional<recorded_frame> wait_for_keep_alive_ack(std::chrono::milliseconds timeout,
                                                          uint64_t from_index = 0) const;
    // A received packet whose command starts with cmd_class, command.
    std::optional<recorded_frame> wait_for_command(uint8_t cmd_class, uint8_t command,
                                                   std::chrono::milliseconds timeout,
                                                   uint64_t from_index = 0) const;

    // Called for every received and sent frame, one at a time, e.g. to log.
    void set_observer(std::function<void(const recorded_frame &)> observer);
    // Further observers beside that one (a network-management responder
    // watches for node discovery this way): an id for remove_observer.
    int add_observer(std::function<void(const recorded_frame &)> observer);
    void remove_observer(int id);

private:
    void on_datagram(int socket_id, const uint8_t *data, size_t length, const endpoint &from,
                     const std::string &to_address);
    void answer(int socket_id, const zip_packet &p, const endpoint &from, uint8_t node_id,
                const decision &d);
    void answer_positive(int socket_id, const zip_packet &p, const endpoint &from);
    bool node_asleep(uint8_t node_id) const;
    bool node_unreachable(uint8_t node_id) const;
    struct handler_reply {
        std::vector<uint8_t> bytes;
        std::chrono::milliseconds delay;
    };
    std::vector<handler_reply> run_handlers(int socket_id, const zip_packet &p, const endpoint &from,
                                            uint8_t node_id);
    void send_replies(int socket_id, const endpoint &from, const std::vector<handler_reply> &replies);
    int transmit(int socket_id, const endpoint &to, const std::vector<uint8_t> &bytes);
    int socket_of(uint8_t node_id) const;
    uint8_t node_of(int socket_id) const;
    int foreign_socket(const std::string &address);
    void record(recorded_frame rec);
    void push_record(recorded_frame &rec); // rec_mu_ held
    void notify(const recorded_frame &rec);

    gateway_config config_;
    std::atomic<uint16_t> port_{0};
    std::atomic<bool> started_{false};
    std::atomic<bool> answer_keep_alives_{true};
    std::atomic<uint8_t> own_seq_{1};

    mutable std::mutex state_mu_; // sockets by node, last client, last error
    int gateway_socket_ = -1;
    std::map<uint8_t, int> node_sockets_;
    std::map<int, uint8_t> socket_nodes_;
    std::optional<endpoint> last_client_;
    std::string last_error_;

    mutable std::mutex rec_mu_;
    mutable std::condition_variable rec_cv_;
    std::deque<recorded_frame> received_;
    std::deque<recorded_frame> sent_;
    uint64_t next_rx_index_ = 0;
    uint64_t next_tx_index_ = 0;

    std::mutex observer_mu_;
    std::function<void(const recorded_frame &)> observer_;
    std::map<int, std::function<void(const recorded_frame &)>> observers_;
    int next_observer_id_ = 1;

    sim::policy policy_;
    command_handlers handlers_;
    // Recursive: a node task holds it while the layer's answers run through
    // run_handlers.
    mutable std::recursive_mutex layer_mu_;
    node_layer *layer_ = nullptr;
    uint64_t layer_generation_ = 0;
    std::unique_ptr<dtls_layer> dtls_; // DTLS mode only; set before the loop starts
    udp_transport transport_; // last: its loop uses everything above
};

} // namespace sim
