// Network management of the simulated gateway: command handlers installed on
// a sim::gateway that answer every network-management request a client sends
// to the gateway itself (node list and node information, multi channel end
// points, inclusion with Security 2 keys and DSK, exclusion, failed nodes,
// learn mode, default reset, network update, return routes, controller
// change, the provisioning white list, node-id/address resolution), echo the
// request's sequence number (byte 2), and can inject the gateway's
// unsolicited reports.
//
// Every request is checked against its frame layout as the gateway reads it;
// anything else (wrong length, a fixed byte that is not fixed, a missing
// secure-origin bit) is recorded as a violation. Written from the gateway's
// side, independently of the client stack.
//
// Handlers run on the gateway's loop thread; node discovery (which does not
// travel in a Z/IP packet) is answered from a thread of this object's own.
// It watches the gateway's frames as one more observer. Destroy it after
// the gateway has stopped (its handlers may be running on the loop thread).
#pragma once

#include "sim/sim_gateway.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace sim {

inline constexpr uint8_t nm_app_status_class = 0x22;
inline constexpr uint8_t nm_inclusion_class = 0x34;
inline constexpr uint8_t nm_basic_class = 0x4D;
inline constexpr uint8_t nm_proxy_class = 0x52;
inline constexpr uint8_t nm_primary_class = 0x54;

struct nm_node {
    uint8_t node_id = 0;
    bool listening = true;
    bool flirs = false;  // frequently listening (wakes on a beam every second)
    uint8_t basic = 0x04;
    uint8_t generic = 0x10;
    uint8_t specific = 0x01;
    std::vector<uint8_t> classes{0x5E, 0x25, 0x86, 0x72};  // node information class bytes
    uint8_t endpoints = 0;
    uint8_t aggregated = 0;
    std::vector<uint8_t> ep_classes{0x5E, 0x25};  // of every end point
    // End points whose classes differ: entry n holds end point n + 1's classes
    // (in place of `ep_classes`), and the classes it has only under security,
    // which the capability answer lists after the security mark.
    std::vector<std::vector<uint8_t>> ep_class_lists;
    std::vector<std::vector<uint8_t>> ep_secure_classes;
    // false: the gateway knows no address for the node and advertises it
    // with an all-zero one.
    bool has_address = true;
    // false: the gateway answers for the node but leaves it out of its node
    // list, as for a node the controller has not learned of yet.
    bool in_node_list = true;
    // The security keys the gateway granted the node, as its cached node
    // information reports them; an inclusion or replacement sets them anew.
    uint8_t granted_keys = 0x01;
};

using nm_dsk = std::array<uint8_t, 16>;

struct nm_config {
    uint8_t own_node_id = 1;   // the gateway's node id
    uint8_t suc_node_id = 1;
    uint32_t home_id = 0xC0FFEE01;
    std::vector<nm_node> nodes;  // the controller itself is added by the simulator
    // Inclusion: with S2 the add (and the replace) runs keys report -> key
    // set -> DSK report -> DSK set -> final status; without, the final
    // status follows the request at once.
    bool s2 = true;
    uint8_t requested_keys = 0x87;
    uint8_t dsk_input_len = 2;
    nm_dsk node_dsk{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0, 0x01};
    nm_dsk gateway_dsk{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};
    uint8_t new_node_id = 7;      // the node that the next add includes
    uint8_t removed_node_id = 5;  // the node that the next remove excludes
    std::chrono::milliseconds reply_delay{0};  // before each reply
    // The DSK report blanks the bytes the user must type (as a gateway
    // does), and a DSK Set whose typed bytes are not the node's ends the
    // inclusion with "Failed".
    bool pin_check = false;
    // The answer to a failed node remove (1 removed, 0 working, 8 not
    // failing, 2 failed).
    uint8_t failed_remove_status = 0x01;
    // The keys report asks for client-side authentication.
    bool csa_request = true;
    // Nodes whose neighbour update fails (0x23 in place of 0x22).
    std::vector<uint8_t> nbr_failing;
    // The status of Default Set Complete (6 done, 7 busy/failed).
    uint8_t default_set_status = 0x06;
    // The new node id that a learn mode status reports (0: the gateway's own).
    uint8_t learn_node_id = 0;
};

// One network-management request as the gateway received it.
struct nm_request {
    std::vector<uint8_t> command;  // class, command, sequence number, parameters
    bool in_packet = true;         // false: node discovery, a bare datagram
    bool secure = false;
    bool ack_request = false;
    std::chrono::steady_clock::time_point time;
};

// Checks one request against its layout: empty when it fits, else why not.
std::string nm_check_request(const std::vector<uint8_t> &command);

// One entry of the simulated provisioning white list.
struct nm_wl_entry {
    std::vector<uint8_t> dsk;
    uint8_t keys = 0;
    std::vector<uint8_t> records;  // {type, length, text}..., as sent
};

class nm_gateway {
public:
    explicit nm_gateway(gateway &gw, nm_config config = {});
    ~nm_gateway();
    nm_gateway(const nm_gateway &) = delete;
    nm_gateway &operator=(const nm_gateway &) = delete;

    std::vector<nm_request> requests() const;
    size_t request_count() const;
    // The first request of class/command with index >= from.
    std::optional<nm_request> wait_request(uint8_t cmd_class, uint8_t command, std::chrono::milliseconds timeout,
                                           size_t from = 0) const;
    std::vector<std::string> violations() const;

    // The next request of class/command gets no reply (its ACK still goes);
    // each call silences one more.
    void silence_next(uint8_t cmd_class, uint8_t command);
    // The next return route request is answered with another sequence number.
    void stale_return_route_next();

    // Holds back the answer to the next network-management request (of any
    // class and command, or of these): the request is recorded, checked,
    // acted on (an inclusion starts) and acknowledged as ever, but its answer
    // frames wait for release_held(). So a test can put what it likes (a
    // node's report, say) between the ACK and the answer:
    //   nm.hold_next(sim::nm_proxy_class, 0x01);
    //   ... the client sends Node List Get ...
    //   ASSERT_TRUE(nm.wait_held(5s));  // acknowledged, the answer kept
    //   model.send_report(2, sim::cc_switch_binary);
    //   nm.release_held();              // the Node List Report follows
    // One hold at a time: a call replaces a hold that no request took yet.
    // Node discovery is never held.
    void hold_next();
    void hold_next(uint8_t cmd_class, uint8_t command);
    // True once an answer is held and the ACK its request asked for has left
    // (at once for a request that asked for none); false on time-out.
    bool wait_held(std::chrono::milliseconds timeout) const;
    // Sends the held answer's frames now, in order, from the calling thread,
    // and drops a hold that no request took yet: the frames sent.
    size_t release_held();
    void set_reply_delay(std::chrono::milliseconds delay);
    // Changes the configuration while the gateway runs (under its lock).
    void update_config(const std::function<void(nm_config &)> &change);
    std::vector<nm_wl_entry> white_list() const;

    // An unsolicited report of the gateway in a Z/IP packet (no ACK
    // requested): the sequence number used, or -errno.
    int inject(const std::vector<uint8_t> &command, uint8_t from_node = 0);
    // A bare datagram from the gateway (a node advertisement).
    int inject_raw(const std::vector<uint8_t> &bytes, uint8_t from_node = 0);

    // The network changes behind the client's back: a node joins or leaves
    // the gateway's node list (0, or -ENOENT for a node the gateway does not
    // know), and the gateway announces its node list unsolicited (52 02 with
    // sequence number 0): the sequence number of the packet, or -errno.
    int set_in_node_list(uint8_t node_id, bool in);
    int announce_node_list(uint8_t status = 0);

    // A node advertisement for node_id: 58 01 flags node address home-id.
    std::vector<uint8_t> advertisement(uint8_t node_id, bool local = true) const;

private:
    std::optional<std::vector<command_reply>> handle(const command_context &c);
    std::vector<std::vector<uint8_t>> answer(const std::vector<uint8_t> &cmd);
    void nd_loop();
    void record(const std::vector<uint8_t> &cmd, bool in_packet, bool secure, bool ack_request);
    const nm_node *node(uint8_t node_id) const;  // mu_ held
    uint8_t node_of_address(const uint8_t *ipv6) const;
    std::vector<uint8_t> node_info_bytes(const nm_node &n) const;

    gateway &gw_;
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    nm_config cfg_;
    std::vector<nm_request> requests_;
    std::vector<std::string> violations_;
    std::multiset<uint16_t> silenced_;
    bool stale_rr_ = false;
    // hold_next: armed until a request takes it (key: class << 8 | command,
    // none: any); then the answer it keeps.
    struct held_answer {
        std::vector<std::vector<uint8_t>> frames;
        endpoint to;
        bool secure = false;
        uint8_t seq = 0;
        uint8_t src_ep = 0;
        uint8_t dst_ep = 0;
        bool acked = false;
    };
    bool hold_armed_ = false;
    std::optional<uint16_t> hold_key_;
    std::optional<held_answer> held_;
    std::vector<nm_wl_entry> wl_;
    // The inclusion that runs: its request's class/command and sequence number.
    bool incl_active_ = false;
    uint8_t incl_cmd_ = 0;
    uint8_t incl_seq_ = 0;
    uint8_t incl_node_ = 0;
    uint8_t incl_keys_ = 0;
    std::vector<int> handler_ids_;
    int observer_id_ = 0;

    // Node discovery: datagrams seen by the observer, answered by nd_thread_.
    std::deque<std::pair<std::vector<uint8_t>, endpoint>> nd_queue_;
    bool nd_stop_ = false;
    std::thread nd_thread_;
};

}  // namespace sim
