// The simulated gateway as a node of its own network: what it answers about
// itself at its own address (version, class versions, manufacturer and
// device id, mailbox, Z-Wave Plus information) and its Z/IP Gateway class
// (the unsolicited destination and the host's application node
// information). Together with nm_gateway it is what a client asks while it
// learns who the gateway is.
//
// The gateway's own profile is data (gw_app_config); a class the profile
// leaves out gets no answer, as on a gateway without it. Handlers run on the
// gateway's loop thread; destroy this after the gateway has stopped.
#pragma once

#include "sim/sim_gateway.h"
#include "sim/sim_nm.h"

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

namespace sim {

struct gw_app_config {
    uint8_t lib_type = 0x07;
    uint16_t proto_ver = 0x0710;
    uint16_t app_ver = 0x0702;
    uint8_t hw_ver = 0x01;
    // Versions of the firmware targets; the first decides how clients
    // treat the gateway (above 0x0239: several clients, with a mailbox).
    std::vector<uint16_t> fw_versions{0x0220};
    // Command Class Version Report answers; a class not listed is 0.
    std::map<uint8_t, uint8_t> class_versions{
        {0x20, 1}, {0x23, 1}, {0x34, 2}, {0x4D, 2}, {0x52, 2}, {0x54, 1}, {0x58, 1},
        {0x5E, 2}, {0x5F, 1}, {0x69, 1}, {0x72, 2}, {0x7A, 2}, {0x86, 2},
    };
    uint16_t manufacturer = 0x0000;
    uint16_t product_type = 0x0003;
    uint16_t product_id = 0x0001;
    std::vector<uint8_t> device_id{0x47, 0x57, 0x2D, 0x31};  // "GW-1", as UTF-8 (format 0)
    uint8_t mailbox_modes = 0x01;  // supported modes: bit 0 service
    uint8_t mailbox_mode = 0x00;   // disabled
    uint16_t mailbox_capacity = 500;
    // The unsolicited destination the gateway starts with (zeros: none).
    std::array<uint8_t, 16> unsol_addr{};
    uint16_t unsol_port = 0;
};

// The gateway's own node as its network-management answers show it, with
// the classes of gw_app_config's profile.
nm_node gw_self_node(uint8_t node_id = 1);

// A network of five nodes beside the gateway, as its node list and node
// information show them: 2 a listening node of many classes, 3 a sleeping
// sensor (Wake Up), 4 a listening node that will not answer its own
// commands (the gateway still has its information), 5 a node the gateway
// knows no address for, 6 a frequently listening lock.
std::vector<nm_node> sample_network();

class gw_app {
public:
    explicit gw_app(gateway &gw, gw_app_config config = {});
    ~gw_app();
    gw_app(const gw_app &) = delete;
    gw_app &operator=(const gw_app &) = delete;

    // The unsolicited destination as last set (address, port).
    std::pair<std::array<uint8_t, 16>, uint16_t> unsol_destination() const;
    // The host's classes from its last Application Node Info Set, as sent.
    std::optional<std::vector<uint8_t>> app_node_info() const;
    uint8_t mailbox_mode() const;
    // The next command of class/command gets no answer.
    void silence_next(uint8_t cmd_class, uint8_t command);

private:
    std::optional<std::vector<command_reply>> handle(const command_context &c);
    std::vector<std::vector<uint8_t>> answer(const std::vector<uint8_t> &cmd);

    gateway &gw_;
    mutable std::mutex mu_;
    gw_app_config cfg_;
    std::optional<std::vector<uint8_t>> app_nif_;
    std::set<uint16_t> silenced_;
    std::vector<int> handler_ids_;
};

}  // namespace sim
