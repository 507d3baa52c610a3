// Command handlers of the gateway simulator: what the simulated gateway or
// node answers to the Z-Wave command inside a received packet (a Get with a
// Report, say). Network-management replies are meant to be registered here
// as well, by class and command.
#pragma once

#include "sim/sim_packet.h"
#include "sim/sim_udp.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace sim {

struct command_context {
    const zip_packet &packet; // packet.command holds the command
    endpoint from;
    std::string local_address; // where it arrived
    uint8_t node_id = 0;       // 0: the gateway's own address, else the node's
};

// One packet that the simulator sends back to the sender, from the address
// the command arrived at, with the endpoints swapped.
struct command_reply {
    std::vector<uint8_t> command;
    bool ack_request = false;
    std::chrono::milliseconds delay{0};
    std::vector<zip_option> options{}; // header options of the reply packet
};

// std::nullopt: "not mine", the next matching handler is asked.
using command_handler = std::function<std::optional<std::vector<command_reply>>(const command_context &)>;

inline constexpr int any_command = -1;

// The nodes behind the gateway when a model plays them (sim_node.h). The
// gateway calls it on its loop thread for packets that arrive at the address
// of a node it serves, in place of the command handlers.
class node_layer {
public:
    virtual ~node_layer() = default;
    virtual bool serves(uint8_t node_id) const = 0;
    // The node cannot take a frame now (it sleeps): the gateway holds it.
    virtual bool asleep(uint8_t node_id) const = 0;
    // Keeps a frame for a sleeping node; returns the expected delay in
    // seconds that the gateway announces to the sender.
    virtual uint32_t hold(const command_context &ctx) = 0;
    // A frame reaches the node: its answers.
    virtual std::vector<command_reply> handle(const command_context &ctx) = 0;
    // The node cannot be reached at all now (it restarts): the gateway's
    // transmissions to it fail.
    virtual bool unreachable(uint8_t) const { return false; }
};

class command_handlers {
public:
    // Returns the handler's id. The newest matching handler is asked first,
    // so a test can override a default answer.
    int add(uint8_t cmd_class, int command, command_handler handler);
    bool remove(int id);
    void clear();
    // Runs on the simulator's loop thread without any of its locks held.
    std::vector<command_reply> dispatch(const command_context &ctx) const;

private:
    struct entry {
        int id;
        uint8_t cmd_class;
        int command;
        command_handler handler;
    };
    mutable std::mutex mu_;
    std::vector<entry> entries_;
    int next_id_ = 1;
};

} // namespace sim
