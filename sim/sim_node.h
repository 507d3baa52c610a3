// Simulated Z-Wave nodes behind the simulated gateway: each node answers at
// its own address (127.X.Y.N, a node socket of the gateway) with a small
// per-class model (Set changes the value, Get answers the Report), unpacks
// Multi Command frames, and behaves as its kind says:
//  - listening: every frame reaches it at once;
//  - FLiRS: reachable at once, but a test can make it answer late or never;
//  - sleeping: the gateway holds its frames (answering NACK waiting) until a
//    test wakes it; it then sends a Wake Up Notification to the host, gets the
//    held frames, answers what arrives while it is awake, and goes back to
//    sleep on Wake Up No More Information.
//
// Node profiles are data (id, kind, wake-up interval, classes with version and
// initial values); the classes are one table (class id -> handler row), so a
// new class is a new row. Every command a node receives is recorded in order,
// with its Z/IP header, decoded out of Multi Command frames too.
//
// Use, with the gateway listing the nodes in its network-management answers:
//   sim::gateway gw(config);                // gw.start() first: nodes take its port
//   sim::node_model nodes(gw);
//   std::vector<sim::node_profile> p{*sim::builtin_profile("switch", 2),
//                                    *sim::builtin_profile("sensor", 3)};
//   nodes.add(p);
//   sim::nm_config nm;
//   for (auto &n : p) nm.nodes.push_back(sim::nm_node_of(n));
//   sim::nm_gateway responder(gw, nm);      // destroyed after gw.stop()
//
// Threads: the model runs on the gateway's loop thread (wake-ups and sleeps
// that a test asks for are posted there), so a node's frames, wake-ups and
// answers happen in one order. Public calls are thread-safe and may be made
// from a gateway handler or observer, except the wait_* calls, which would
// stall the loop thread they wait on. Destroy the model before or after the
// gateway stops, but before the gateway itself: it detaches itself, and tasks
// it posted are dropped once it is gone.
#pragma once

#include "sim/sim_gateway.h"
#include "sim/sim_nm.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Command classes the model knows.
inline constexpr uint8_t cc_basic = 0x20;
inline constexpr uint8_t cc_switch_binary = 0x25;
inline constexpr uint8_t cc_door_lock = 0x62;
inline constexpr uint8_t cc_configuration = 0x70;
inline constexpr uint8_t cc_powerlevel = 0x73;
inline constexpr uint8_t cc_ip_association = 0x5C;
inline constexpr uint8_t cc_zwave_plus = 0x5E;
inline constexpr uint8_t cc_multi_channel = 0x60;
inline constexpr uint8_t cc_manufacturer = 0x72;
inline constexpr uint8_t cc_battery = 0x80;
inline constexpr uint8_t cc_wake_up = 0x84;
inline constexpr uint8_t cc_association = 0x85;
inline constexpr uint8_t cc_version = 0x86;
inline constexpr uint8_t cc_multi_cmd = 0x8F;
inline constexpr uint8_t cc_switch_multilevel = 0x26;
inline constexpr uint8_t cc_sensor_binary = 0x30;
inline constexpr uint8_t cc_sensor_multilevel = 0x31;
inline constexpr uint8_t cc_meter = 0x32;
inline constexpr uint8_t cc_switch_color = 0x33;
inline constexpr uint8_t cc_security = 0x98;
inline constexpr uint8_t cc_thermostat_setpoint = 0x43;
inline constexpr uint8_t cc_central_scene = 0x5B;
inline constexpr uint8_t cc_notification = 0x71;
inline constexpr uint8_t cc_simple_av = 0x94;
inline constexpr uint8_t cc_assoc_grp_info = 0x59;
inline constexpr uint8_t cc_fw_update = 0x7A;

inline constexpr uint8_t wake_up_notification = 0x07;
inline constexpr uint8_t wake_up_no_more_info = 0x08;
inline constexpr uint8_t multi_cmd_encap = 0x01;

enum class node_kind : uint8_t { listening, flirs, sleeping };
const char *node_kind_text(node_kind kind);

// One class of a node. `values` is the class's state, empty for its defaults:
//   Basic (0x20):          {value}                        default {0x00}
//   Binary Switch (0x25):  {value}                        default {0x00}
//   Battery (0x80):        {level}                        default {100}
//   Z-Wave Plus (0x5E):    {version, role type, node type, installer icon (2),
//                          user icon (2)}; default {2, 5 listening / 6 sleeping,
//                          0, 0x0700, 0x0700}
//   Multi Channel (0x60):  {endpoints, aggregated endpoints, flags (0x40
//                          identical, 0x80 dynamic)}; default {0, 0, 0}. The
//                          endpoints have the profile's device classes and
//                          `endpoint_classes`; an aggregated endpoint groups
//                          endpoints 1 and 2. Version 1 answers Multi Instance:
//                          `endpoints` instances of each endpoint class.
//   Manufacturer Specific (0x72): {manufacturer (2), product type (2), product
//                          id (2)}; default {0x0000, 0x0001, node id}. Version 2
//                          answers the serial number "SN-<node id>".
//   Wake Up (0x84):        {interval (3 bytes, s), receiving node id}
//                          default {the profile's interval, 1}
//   Door Lock (0x62):      {mode, handles (outside << 4 | inside), door
//                          condition, operation type, configured handles,
//                          minutes, seconds}
//                          default {0xFF, 0xFF, 0x00, 1, 0xFF, 0xFE, 0xFE}
//   Version (0x86):        {library type, protocol (2), application (2),
//                          hardware}; default {3, 0x070F, 0x0100, 1}; answers
//                          the version of every class the node has (0 for
//                          others); version 2 adds hardware and no other targets.
//   Multi Command (0x8F):  no state
//   Multilevel Switch (0x26): {level, primary type, secondary type}
//                          default {0x00, 0x02, 0x00}; level changes are
//                          taken (and recorded) but end at once, where they began
//   Binary Sensor (0x30):  {type, state}...: one pair per sensor type the node
//                          has (type 1 to 254, state 0x00 idle or 0xFF
//                          detected), the first one its default type;
//                          default {0x01, 0x00} (general purpose, idle)
//   Multilevel Sensor (0x31): {sensor type, precision << 5 | scale << 3 | size,
//                          value (size bytes: 1, 2 or 4, big-endian)}...: one
//                          reading per type and scale the node has, the first
//                          one what a Get without parameters (or of a type
//                          it lacks) answers, the first of its type what a Get
//                          of a scale it lacks answers; default {0x01, 0x22,
//                          0x00, 0xFA} (air temperature 25.0 degrees Celsius)
//   Meter (0x32):          {meter type, rate type, reset capable (0 or 1)},
//                          then per scale the node reads {scale (0-6; 4 and up
//                          from version 3), precision, size (1, 2 or 4),
//                          value (4 bytes, big-endian, signed; the Report
//                          carries its low `size` bytes), delta time (2
//                          bytes, s), previous value (4 bytes, as value)}: 3 +
//                          13 bytes per scale. A Get of a scale the node lacks
//                          (or without one) answers the first; Reset (version
//                          2 on, any form) zeroes value, delta time and
//                          previous value of every scale of a reset-capable
//                          meter. default {0x01, 0x01, 0x01, scale 0, 2, 4, 0,
//                          0, 0} (electric, import, kWh with two decimals, 0)
//   Switch Color (0x33):   {supported components (2 bytes: bit n = component
//                          n, 0 warm white .. 8 indexed), value of component
//                          0 .. value of component 8}; a Set stores the values
//                          of the components the node has, a Get of another
//                          goes unanswered, level changes are taken (and
//                          recorded) without an effect; default {0x1C, 0x00,
//                          0, ...}: red, green and blue, all 0
//   Configuration (0x70):  {parameter, size, value (4 bytes, big-endian)}: the
//                          one parameter the node has; default {1, 1, 0, 0, 0, 0}
//   Powerlevel (0x73):     {level, seconds left}             default {0, 0}
//   Association (0x85):    {groups, most nodes per group, first member,
//                          members, frames}: every group holds the node ids
//                          first member .. first member + members - 1, and
//                          its Report comes in `frames` frames (reports to
//                          follow counting down to 0), the members spread
//                          evenly; a Set makes its last node id the one
//                          member, a Remove of every node empties the
//                          groups; default {1, 5, 1, 0, 1}: no member
//   Thermostat Setpoint (0x43): {supported mask (2 bytes, as the Supported
//                          Report carries it), numbering}: numbering 0 reads
//                          bit n as type n, 1 reads bits 3 and up as types 7
//                          and up (bit n: type n + 4); 2 as 0, but a Get of a
//                          type the node lacks goes unanswered (else it is
//                          answered as type 0). Every setpoint is 21.0 degrees
//                          Celsius, its range (version 3) 5.0 to 30.0.
//                          default {0x02, 0x00, 1}: heating only
//   Central Scene (0x5B):  {scenes, slow refresh}: version 3 tells it supports
//                          slow refresh and keeps what a Configuration Set
//                          sends (0x80 or 0); default {2, 0x00}
//   Notification (0x71):   {types (bit n: type n), events (bit n: event n of
//                          every type)}; version 3 answers the event
//                          supported Get; default {0x40, 0x0C} (access
//                          control: manual lock and unlock)
//   Association Group Info (0x59): {info frames, pause before each later
//                          frame (10 ms units)}: the groups are those of the
//                          node's Association class; group 1 is the lifeline
//                          (profile 0x0001, Device Reset Locally), the others
//                          control Basic (profile 0x2001); the list-mode Info
//                          Report of all groups comes in that many frames;
//                          default {1, 0}
//   Simple AV Control (0x94): {reports, mask bytes per report}: the
//                          supported commands come in that many Supported
//                          Reports, report k holding bytes 0xk0, 0xk1, ...;
//                          default {2, 2}
//   IP Association (0x5C): {groups, first member, members}: every group
//                          holds nodes first member .. first member +
//                          members - 1, each named by its IPv4-mapped address
//                          in the node's own /24 (whether or not a node is
//                          there); a Get names the group and the index (from
//                          1) of the one member its Report carries, with the
//                          member count; default {1, 1, 0}: no member
//   Security (0x98):       {frames, secure class list...}, of any length: the
//                          Commands Supported Report carries the list in
//                          `frames` frames (reports to follow counting down
//                          to 0), its bytes spread evenly, however many
//                          they are; default {1}: an empty list. (Endpoints
//                          answer with `endpoint_secure_classes` instead.)
//   Firmware Update Meta Data (0x7A): {manufacturer (2), firmware id (2),
//                          maximum fragment size (2), reports per Get, wait
//                          before each Get (10 ms units), restart wait (2, s)}
//                          default {0, 1, 40, 2, 5 (50 ms), 0}; the node asks
//                          for the fragments after a request, checks each CRC
//                          (version 2 on), asks again for a bad one and ends
//                          with a status report (firmware() shows the transfer);
//                          after a good image and a non-zero restart wait it
//                          cannot be reached for that wait (set_fw_restart)
// Basic acts on the Binary Switch value when the node has that class, else on
// the Multilevel Switch level (0xFF: full), as a switch or a dimmer maps Basic
// onto its actuator.
struct class_profile {
    uint8_t cmd_class = 0;
    uint8_t version = 1;
    std::vector<uint8_t> values;
};

struct node_profile {
    uint8_t node_id = 0;
    node_kind kind = node_kind::listening;
    std::vector<class_profile> classes;
    // Sleeping nodes: the wake-up interval the node starts with. The gateway
    // announces what is left of the interval last set (at least 3 s) as the
    // expected delay of a held frame; the node wakes only when told to.
    uint32_t wake_up_interval_s = 300;
    // Sleeping nodes: back to sleep this long after waking without a Wake Up
    // No More Information; 0 = stay awake until it comes (or fall_asleep()).
    std::chrono::milliseconds awake_timeout{0};
    // Device classes for the gateway's node information.
    uint8_t generic = 0x10;
    uint8_t specific = 0x01;
    // Classes of each endpoint (Multi Channel nodes).
    std::vector<uint8_t> endpoint_classes{cc_switch_binary};
    // Endpoints whose classes differ: entry n lists endpoint n + 1's classes
    // (in place of `endpoint_classes`), and the classes that endpoint has only
    // under security, which it tells when asked through Security (0x98) in its
    // list. An endpoint answers the commands of its classes with state of its
    // own (the class's defaults), and ignores the rest.
    std::vector<std::vector<uint8_t>> endpoint_class_lists;
    std::vector<std::vector<uint8_t>> endpoint_secure_classes;
};

// Built-in profiles, by name: "switch" (listening, Binary Switch v2 and
// Basic), "sensor" (sleeping, Battery, Wake Up v2 and Basic, 300 s interval),
// "basic" (listening, Basic only), "flirs" (FLiRS, Basic and Battery); and
// nodes that tell what they are: "plus_switch" (listening: Z-Wave Plus,
// Version v3, Manufacturer Specific v2, Binary Switch v2, Basic),
// "plus_sensor" (sleeping: Z-Wave Plus, Version v2, Manufacturer Specific,
// Wake Up v2, Battery, Basic), "multi_channel" (listening: Z-Wave Plus,
// Version v2, Manufacturer Specific, Multi Channel v4 with two identical
// switch endpoints and one aggregated endpoint, Binary Switch v2, Basic),
// "multi_instance" (listening: Version, Multi Channel v1 with two instances,
// Binary Switch, Basic). The families of lights, meters and sensors, each
// also with Z-Wave Plus v2, Version v3, Manufacturer Specific v2 and Basic:
// "dimmer" (listening: Multilevel Switch v4 at level 0x32, down/up), "color"
// (listening: Switch Color v3 with warm white, red, green and blue at 0x00,
// 0xFF, 0x80, 0x00, Multilevel Switch v4 at 0x63), "meter_plug" (listening:
// Binary Switch v2 on, Meter v3 electric import, reset capable: 12.34 kWh
// (scale 0, 4 bytes) and 45.6 W (scale 2, 2 bytes, 30 s after 40.0 W)) and
// "multisensor" (listening: Binary Sensor v2 motion idle and door/window
// detected, Multilevel Sensor v5 air temperature 21.5 degrees Celsius and
// 70.7 Fahrenheit (2 bytes each, one decimal), humidity 45 % (1 byte)).
std::optional<node_profile> builtin_profile(const std::string &name, uint8_t node_id);
std::vector<std::string> builtin_profile_names();
// The node as the gateway's node list and node information show it.
nm_node nm_node_of(const node_profile &p);

// A Multi Command frame (0x8F 0x01 count, then length and bytes of each),
// e.g. for a node to send; empty when a command is empty or longer than 255
// bytes, or there are more than 255 of them.
std::vector<uint8_t> multi_command_frame(const std::vector<std::vector<uint8_t>> &commands);

// How a node answers commands that call for a report (Gets).
enum class answer_mode : uint8_t {
    normal, // at once
    late,   // after the given delay
    never,  // not at all (the command is still acknowledged and recorded)
    held,   // kept until release_answers()
};

// One command as a node received it.
struct node_command {
    uint64_t index = 0; // model-wide order of arrival at the nodes, from 0
    uint8_t node_id = 0;
    std::vector<uint8_t> command; // class, command, parameters
    // The Z/IP packet it came in.
    uint8_t seq = 0;
    uint8_t flags0 = 0; // byte 2 as received (0x80: ACK requested)
    uint8_t flags1 = 0; // byte 3 as received (0x10: secure origin, 0x20: more information)
    uint8_t src_ep = 0;
    uint8_t dst_ep = 0; // 7 bits
    bool bit_address = false;
    std::vector<zip_option> options;
    std::optional<uint16_t> encap_format;
    endpoint from;
    // Position inside a Multi Command frame (0 = first), or -1 when the
    // command came alone.
    int multi_index = -1;
    // Held by the gateway while the node slept, delivered on its wake-up.
    bool held = false;
    std::chrono::steady_clock::time_point time;

    bool ack_request() const { return flags0 & flag0_ack_request; }
    bool secure() const { return flags1 & flag1_secure; }
    bool more_info() const { return flags1 & flag1_more_info; }
};

// A snapshot of one node.
struct node_view {
    node_profile profile;
    bool awake = true;          // listening and FLiRS nodes always are
    size_t held = 0;            // frames the gateway holds for it
    unsigned wake_ups = 0;      // Wake Up Notifications sent
    answer_mode answers = answer_mode::normal;
    std::chrono::milliseconds answer_delay{0};
    std::map<uint8_t, std::vector<uint8_t>> values; // class -> state
};

// A node's last firmware transfer.
struct firmware_view {
    std::vector<uint8_t> request;  // the Request Get
    uint16_t frag_sz = 0;          // agreed fragment size
    std::vector<uint8_t> image;    // fragments taken, in order
    std::vector<uint16_t> gets;    // first report number of each Meta Data Get sent
    unsigned fragments = 0;        // Meta Data Reports received
    unsigned crc_errors = 0;
    unsigned out_of_order = 0;
    bool done = false;
    uint8_t status = 0;            // of the status report sent
};

class node_model {
public:
    // Attaches to the gateway; a gateway has one model.
    explicit node_model(gateway &gw);
    ~node_model();
    node_model(const node_model &) = delete;
    node_model &operator=(const node_model &) = delete;

    // 0, -EINVAL (bad id, class, version or values), -EEXIST, -ENOTCONN (the
    // gateway does not run yet: a node's address takes the gateway's port), or
    // the gateway's bind error. A node without an address on the gateway gets
    // .N in the gateway's /24 (127.0.0.N for a gateway at 127.0.0.1).
    int add(const node_profile &p);
    // Each in turn; stops at the first failure and returns it.
    int add(const std::vector<node_profile> &nodes);
    std::vector<uint8_t> node_ids() const;
    std::optional<node_view> view(uint8_t node_id) const;

    // The state of one class (layouts above): 0, -ENOENT (no such node or class)
    // or -EINVAL (wrong length, or too short for a state of any length).
    std::optional<std::vector<uint8_t>> values(uint8_t node_id, uint8_t cmd_class) const;
    int set_values(uint8_t node_id, uint8_t cmd_class, std::vector<uint8_t> values);

    // Answers to Gets (any node, meant for FLiRS nodes): 0 or -ENOENT.
    int set_answers(uint8_t node_id, answer_mode mode, std::chrono::milliseconds delay = {});

    // Sends the answers that nodes in answer_mode::held keep, on the loop
    // thread after the call returns: the first frame of every kept answer in
    // the order their Gets came, then the second frame of each, and so on, so
    // that the frames of several nodes' multi-frame reports interleave.
    // Returns the number of answers released.
    size_t release_answers();

    // Where a node's own frames (Wake Up Notification, unsolicited reports)
    // go: this endpoint, or, when none is set, where the gateway last heard
    // from a client.
    void set_unsolicited_destination(std::optional<endpoint> to);

    // Sleeping nodes only (-EINVAL otherwise, -ENOENT unknown, -ENOTCONN no
    // destination known). Both are carried out on the gateway's loop thread
    // after the call returns; wait for their effect (wait_awake, or the Wake
    // Up Notification at the host). A wake-up sends the Wake Up Notification
    // to `to` (default: the unsolicited destination), then delivers the held
    // frames in the order they came, each acknowledged to its sender when it
    // asked for it; waking an awake node sends one more notification.
    int wake_up(uint8_t node_id, std::optional<endpoint> to = {});
    int fall_asleep(uint8_t node_id);

    // An unsolicited frame from the node's address to the unsolicited
    // destination (or `to`): the class's current Report, or any command.
    // Returns the sequence number used, or -errno (-ENOENT: no such node or
    // class, -ENOTCONN: no destination).
    int send_report(uint8_t node_id, uint8_t cmd_class, std::optional<endpoint> to = {});
    int send_command(uint8_t node_id, std::vector<uint8_t> command, std::optional<endpoint> to = {},
                     bool ack_request = false);
    // Reports that answer a Get ask for an ACK when this is on (off by default).
    void set_report_ack_request(bool on);

    // Commands the nodes received, in order (node 0: of every node); the
    // newest 10000 are kept.
    std::vector<node_command> commands(uint8_t node_id = 0) const;
    uint64_t next_command_index() const;
    using command_predicate = std::function<bool(const node_command &)>;
    // First recorded command with index >= from_index that matches, waiting
    // up to `timeout` on the monotonic clock.
    std::optional<node_command> wait_command(const command_predicate &pred, std::chrono::milliseconds timeout,
                                             uint64_t from_index = 0) const;
    std::optional<node_command> wait_command(uint8_t node_id, uint8_t cmd_class, uint8_t command,
                                             std::chrono::milliseconds timeout, uint64_t from_index = 0) const;
    // Waits until the node's snapshot matches (false on time-out or unknown node).
    bool wait_view(uint8_t node_id, const std::function<bool(const node_view &)> &pred,
                   std::chrono::milliseconds timeout) const;
    bool wait_awake(uint8_t node_id, bool awake, std::chrono::milliseconds timeout) const;

    // Frames a node could not take as they were (a truncated Set, a broken
    // Multi Command, a Multi Command to a node without that class), one line
    // each, the newest 10000: what a correct client never sends.
    std::vector<std::string> violations() const;

    // Firmware Update Meta Data nodes: the last transfer (nullopt: no such
    // node or class), and a fragment whose next arrival is damaged (its CRC
    // then fails and the node asks again): 0 or -ENOENT.
    std::optional<firmware_view> firmware(uint8_t node_id) const;
    int corrupt_fw_fragment(uint8_t node_id, uint16_t rpt_num);
    // After an update that ends with status 0xFF and a non-zero restart wait
    // (version 3 on) the node restarts: every transmission to it fails for
    // `down` (default: the announced wait) from the status report on; a
    // restart under way is cut to `down` as well. 0 or -ENOENT.
    int set_fw_restart(uint8_t node_id, std::chrono::milliseconds down);

private:
    class impl;
    gateway &gw_;
    std::unique_ptr<impl> impl_;
};

} // namespace sim
