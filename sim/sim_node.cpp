#include "sim/sim_node.h"

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace sim {

namespace {

using bytes = std::vector<uint8_t>;
using clk = std::chrono::steady_clock;

// Longest wake-up interval the Wake Up class can carry (3 bytes).
constexpr uint32_t max_interval_s = 0xFFFFFF;
// The least expected delay the gateway announces for a held frame. A client
// keeps a frame whose NACK waiting promises at most 2.5 s and gives up on it
// as unacknowledged a little later, while the gateway still holds it; above
// that it takes the frame as queued for a sleeping node.
constexpr uint32_t min_expected_delay_s = 3;
// Commands kept in the record; a long-running simulator drops the oldest.
constexpr size_t max_commands = 10000;

struct class_state {
    uint8_t version = 1;
    bytes values;
};

struct held_frame {
    zip_packet packet;
    endpoint from;
};

// A firmware transfer as the node sees it (Firmware Update Meta Data).
struct fw_transfer {
    bool active = false;
    uint16_t frag_sz = 0;
    uint16_t checksum = 0;  // of the whole image, from the request
    uint16_t next = 1;      // the report number awaited
    uint8_t burst_left = 0; // reports still due in the burst asked for
    firmware_view view;
    std::vector<uint16_t> corrupt; // report numbers whose next arrival is corrupted
};

struct node_state {
    node_profile profile;
    fw_transfer fw;
    // After a firmware update that announced a restart: the node cannot be
    // reached until then; how long it stays away (none: the announced wait).
    clk::time_point down_since{};
    clk::time_point down_until{};
    std::optional<std::chrono::milliseconds> restart_down;
    std::map<uint8_t, class_state> classes;
    std::map<uint8_t, std::map<uint8_t, class_state>> ep_states;  // endpoint -> class -> state
    uint8_t v4[4]{};  // the node's own address; its /24 is where the nodes it names live
    bool awake = true;
    std::deque<held_frame> held;
    unsigned wake_ups = 0;
    answer_mode answers = answer_mode::normal;
    std::chrono::milliseconds answer_delay{0};
    clk::time_point asleep_since = clk::now();
    // Arms and disarms the awake time-out: a posted time-out acts only while
    // the generation it was armed with is still current.
    uint64_t awake_generation = 0;

    class_state *find(uint8_t cmd_class)
    {
        auto it = classes.find(cmd_class);
        return it == classes.end() ? nullptr : &it->second;
    }
    const class_state *find(uint8_t cmd_class) const
    {
        auto it = classes.find(cmd_class);
        return it == classes.end() ? nullptr : &it->second;
    }
};

// Violations kept, like commands: a misbehaving client of a long-running
// simulator must not grow it without end.
void note_violation(std::deque<std::string> &list, uint8_t node_id, const std::string &what, const bytes &cmd)
{
    list.push_back("node " + std::to_string(node_id) + ": " + what + " [" + hex_text(cmd) + "]");
    while (list.size() > max_commands)
        list.pop_front();
}

// One command handed to a class row.
struct class_call {
    node_state &node;
    class_state &cls;
    const bytes &cmd; // class, command, parameters; at least 2 bytes
    std::deque<std::string> &violations;
    bool sleep_after = false; // the node goes to sleep once this is handled
    // Frames the node sends after its answer, each after its delay.
    std::vector<std::pair<bytes, std::chrono::milliseconds>> more{};

    void violation(const char *what) { note_violation(violations, node.profile.node_id, what, cmd); }
};

void put_be24(bytes &b, uint32_t v)
{
    b.push_back(static_cast<uint8_t>(v >> 16));
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

// Values a Set may carry for an on/off or level actuator: 0 (off), 1-99
// (level) and 0xFF (on); 100-254 are reserved and a node ignores them.
bool settable(uint8_t v) { return v <= 0x63 || v == 0xFF; }

// ---------------------------------------------------------------------------
// Class rows
// ---------------------------------------------------------------------------

// Basic drives the Binary Switch value when the node has one, else the
// Multilevel Switch level.
uint8_t &basic_target(node_state &n, class_state &basic)
{
    if (class_state *sw = n.find(cc_switch_binary))
        return sw->values[0];
    if (class_state *lvl = n.find(cc_switch_multilevel))
        return lvl->values[0];
    return basic.values[0];
}

bytes basic_report(const node_state &n, const class_state &c)
{
    const class_state *sw = n.find(cc_switch_binary);
    if (!sw)
        sw = n.find(cc_switch_multilevel);
    const uint8_t v = sw ? sw->values[0] : c.values[0];
    if (c.version >= 2)
        return {cc_basic, 0x03, v, v, 0x00}; // current, target, duration 0: already there
    return {cc_basic, 0x03, v};
}

std::optional<bytes> basic_handle(class_call &c)
{
    switch (c.cmd[1]) {
    case 0x01:
        if (c.cmd.size() < 3) {
            c.violation("Basic Set without a value");
        } else if (!settable(c.cmd[2])) {
            c.violation("Basic Set with a reserved value");
        } else {
            uint8_t &target = basic_target(c.node, c.cls);
            if (c.node.find(cc_switch_binary))
                target = c.cmd[2] ? 0xFF : 0x00;
            else if (c.node.find(cc_switch_multilevel) && c.cmd[2] == 0xFF)
                target = 0x63;
            else
                target = c.cmd[2];
        }
        return std::nullopt;
    case 0x02:
        return basic_report(c.node, c.cls);
    default:
        return std::nullopt;
    }
}

bytes switch_report(const node_state &, const class_state &c)
{
    const uint8_t v = c.values[0];
    if (c.version >= 2)
        return {cc_switch_binary, 0x03, v, v, 0x00};
    return {cc_switch_binary, 0x03, v};
}

std::optional<bytes> switch_handle(class_call &c)
{
    switch (c.cmd[1]) {
    case 0x01:
        // A version 2 Set adds a duration; the switch changes at once.
        if (c.cmd.size() < 3)
            c.violation("Binary Switch Set without a value");
        else if (!settable(c.cmd[2]))
            c.violation("Binary Switch Set with a reserved value");
        else
            c.cls.values[0] = c.cmd[2] ? 0xFF : 0x00;
        return std::nullopt;
    case 0x02:
        return switch_report(c.node, c.cls);
    default:
        return std::nullopt;
    }
}

bytes battery_report(const node_state &, const class_state &c)
{
    if (c.version >= 2)
        return {cc_battery, 0x03, c.values[0], 0x00, 0x00}; // not charging, no alarms
    return {cc_battery, 0x03, c.values[0]};
}

std::optional<bytes> battery_handle(class_call &c)
{
    if (c.cmd[1] == 0x02)
        return battery_report(c.node, c.cls);
    return std::nullopt;
}

bytes wake_up_report(const node_state &, const class_state &c)
{
    bytes r{cc_wake_up, 0x06};
    for (uint8_t v : c.values) // not insert(): g++ 12 warns falsely on it at -O2
        r.push_back(v);
    return r;
}

std::optional<bytes> wake_up_handle(class_call &c)
{
    switch (c.cmd[1]) {
    case 0x04: // Interval Set: interval (3 bytes), receiving node
        if (c.cmd.size() < 6)
            c.violation("Wake Up Interval Set too short");
        else
            c.cls.values.assign(c.cmd.begin() + 2, c.cmd.begin() + 6);
        return std::nullopt;
    case 0x05:
        return wake_up_report(c.node, c.cls);
    case wake_up_no_more_info:
        if (c.node.profile.kind == node_kind::sleeping)
            c.sleep_after = true;
        return std::nullopt;
    case 0x09: // Interval Capabilities Get: minimum, maximum, default, step
        if (c.cls.version < 2)
            return std::nullopt;
        {
            bytes r{cc_wake_up, 0x0A};
            put_be24(r, 60);
            put_be24(r, 86400);
            put_be24(r, std::min(c.node.profile.wake_up_interval_s, max_interval_s));
            put_be24(r, 60);
            return r;
        }
    default:
        return std::nullopt;
    }
}

// The node's one parameter: a Get of another reads as a 1-byte 0.
bytes config_report(const node_state &, const class_state &c)
{
    bytes r{cc_configuration, 0x06, c.values[0], c.values[1]};
    for (uint8_t i = 0; i < c.values[1]; ++i)
        r.push_back(c.values[2 + (4 - c.values[1]) + i]);
    return r;
}

std::optional<bytes> config_handle(class_call &c)
{
    switch (c.cmd[1]) {
    case 0x04: { // Set: parameter, default flag | size, value
        const uint8_t size = c.cmd.size() >= 4 ? c.cmd[3] & 0x07 : 0;
        if ((size != 1 && size != 2 && size != 4) || c.cmd.size() != 4u + size) {
            c.violation("Configuration Set with a bad size");
            return std::nullopt;
        }
        if (c.cmd[2] != c.cls.values[0])
            return std::nullopt; // no such parameter
        c.cls.values[1] = size;
        std::fill(c.cls.values.begin() + 2, c.cls.values.end(), 0);
        std::copy(c.cmd.begin() + 4, c.cmd.end(), c.cls.values.begin() + 2 + (4 - size));
        return std::nullopt;
    }
    case 0x05:
        if (c.cmd.size() < 3) {
            c.violation("Configuration Get without a parameter");
            return std::nullopt;
        }
        if (c.cmd[2] != c.cls.values[0])
            return bytes{cc_configuration, 0x06, c.cmd[2], 0x01, 0x00};
        return config_report(c.node, c.cls);
    default:
        return std::nullopt;
    }
}

// --- what a node tells of itself ---------------------------------------------

std::optional<bytes> zwave_plus_handle(class_call &c)
{
    if (c.cmd[1] != 0x01)
        return std::nullopt;
    bytes r{cc_zwave_plus, 0x02};
    for (uint8_t v : c.cls.values)
        r.push_back(v);
    return r;
}

bytes zwave_plus_defaults(const node_profile &p)
{
    const uint8_t role = p.kind == node_kind::sleeping ? 0x06 : 0x05;
    return {0x02, role, 0x00, 0x07, 0x00, 0x07, 0x00};
}

std::optional<bytes> manufacturer_handle(class_call &c)
{
    switch (c.cmd[1]) {
    case 0x04: {
        bytes r{cc_manufacturer, 0x05};
        for (uint8_t v : c.cls.values)
            r.push_back(v);
        return r;
    }
    case 0x06: {
        if (c.cls.version < 2)
            return std::nullopt;
        const std::string sn = "SN-" + std::to_string(c.node.profile.node_id);
        // Serial number (type 1), UTF-8 (format 0).
        bytes r{cc_manufacturer, 0x07, 0x01, static_cast<uint8_t>(sn.size())};
        for (char ch : sn)
            r.push_back(static_cast<uint8_t>(ch));
        return r;
    }
    default:
        return std::nullopt;
    }
}

bytes manufacturer_defaults(const node_profile &p) { return {0x00, 0x00, 0x00, 0x01, 0x00, p.node_id}; }

std::optional<bytes> version_handle(class_call &c)
{
    const bytes &v = c.cls.values;
    switch (c.cmd[1]) {
    case 0x11: {
        bytes r{cc_version, 0x12, v[0], v[1], v[2], v[3], v[4]};
        if (c.cls.version >= 2) {
            r.push_back(v[5]);
            r.push_back(0x00);  // no other firmware targets
        }
        return r;
    }
    case 0x13: {
        if (c.cmd.size() < 3) {
            c.violation("Command Class Version Get without a class");
            return std::nullopt;
        }
        const class_state *asked = c.node.find(c.cmd[2]);
        return bytes{cc_version, 0x14, c.cmd[2], asked ? asked->version : uint8_t(0)};
    }
    default:
        return std::nullopt;
    }
}

bytes power_report(const node_state &, const class_state &c)
{
    return {cc_powerlevel, 0x03, c.values[0], c.values[1]};
}

std::optional<bytes> power_handle(class_call &c)
{
    switch (c.cmd[1]) {
    case 0x01: // Set: level, seconds
        if (c.cmd.size() < 4 || c.cmd[2] > 9)
            c.violation("Powerlevel Set of a bad level");
        else
            c.cls.values.assign(c.cmd.begin() + 2, c.cmd.begin() + 4);
        return std::nullopt;
    case 0x02:
        return power_report(c.node, c.cls);
    default:
        return std::nullopt;
    }
}

bytes version_defaults(const node_profile &) { return {0x03, 0x07, 0x0F, 0x01, 0x00, 0x01}; }

// A report in `frames` frames (reports to follow counting down to 0, in the
// byte after the command) of the bytes of `body`, spread evenly: frame f
// carries bytes [f * n / frames, (f + 1) * n / frames). The first frame is
// the answer, the rest follow it.
bytes counted_frames(class_call &c, bytes head, const bytes &body, unsigned frames)
{
    frames = std::max(frames, 1u);
    std::vector<bytes> out;
    size_t next = 0;
    for (unsigned f = 0; f < frames; f++) {
        bytes r = head;
        r.push_back(static_cast<uint8_t>(frames - 1 - f));
        const size_t end = (f + 1) * body.size() / frames;
        r.insert(r.end(), body.begin() + static_cast<long>(next), body.begin() + static_cast<long>(end));
        next = end;
        out.push_back(std::move(r));
    }
    for (auto f = out.begin() + 1; f != out.end(); ++f)
        c.more.push_back({std::move(*f), std::chrono::milliseconds(0)});
    return out.front();
}

bytes association_defaults(const node_profile &) { return {1, 5, 1, 0, 1}; }

std::optional<bytes> association_handle(class_call &c)
{
    const uint8_t groups = c.cls.values[0], max_nodes = c.cls.values[1], first = c.cls.values[2];
    const uint8_t members = c.cls.values[3];
    const uint8_t frames = std::max<uint8_t>(c.cls.values[4], 1);
    switch (c.cmd[1]) {
    case 0x01: // Set: group, node ids; the last one becomes the one member
        if (c.cmd.size() < 4 || c.cmd[2] == 0 || c.cmd[2] > groups) {
            c.violation("Association Set of a bad group");
        } else {
            c.cls.values[2] = c.cmd.back();
            c.cls.values[3] = 1;
        }
        return std::nullopt;
    case 0x04: // Remove: group (no ids: every member)
        if (c.cmd.size() >= 3)
            c.cls.values[3] = 0;
        return std::nullopt;
    case 0x02: { // Get: group; one the node lacks is answered as group 1
        if (c.cmd.size() < 3) {
            c.violation("Association Get without a group");
            return std::nullopt;
        }
        const uint8_t grp = c.cmd[2] == 0 || c.cmd[2] > groups ? 1 : c.cmd[2];
        bytes ids;
        for (unsigned m = 0; m < members; m++)
            ids.push_back(static_cast<uint8_t>(first + m));
        return counted_frames(c, {cc_association, 0x03, grp, max_nodes}, ids, frames);
    }
    case 0x05: // Groupings Get
        return bytes{cc_association, 0x06, groups};
    default:
        return std::nullopt;
    }
}

// Security Commands Supported Get: the node's secure class list in as many
// frames as its state says, whatever their number or length.
std::optional<bytes> security_handle(class_call &c)
{
    if (c.cmd[1] != 0x02)
        return std::nullopt;
    const bytes &v = c.cls.values;
    return counted_frames(c, {cc_security, 0x03}, bytes(v.begin() + 1, v.end()), v[0]);
}

bytes security_defaults(const node_profile &) { return {1}; }

// IP Association Get (group, index): the member at that index, one per
// frame, with the member count; the host asks index by index. Member m is
// node first member + m - 1, named by its IPv4-mapped address in the node's
// own /24. A group without members answers index 1 with count 0 and no
// address.
std::optional<bytes> ip_assoc_handle(class_call &c)
{
    const uint8_t groups = c.cls.values[0], first = c.cls.values[1], members = c.cls.values[2];
    if (c.cmd[1] != 0x02)
        return std::nullopt;
    if (c.cmd.size() < 4) {
        c.violation("IP Association Get without a group and index");
        return std::nullopt;
    }
    const uint8_t grp = c.cmd[2] == 0 || c.cmd[2] > groups ? 1 : c.cmd[2];
    const uint8_t idx = c.cmd[3];
    if (idx == 0 || idx > std::max<uint8_t>(members, 1)) {
        c.violation("IP Association Get of an index the group does not have");
        return std::nullopt;
    }
    bytes r{cc_ip_association, 0x03, grp, idx, members};
    bytes addr(16, 0);
    if (members != 0) {
        addr[10] = addr[11] = 0xFF;
        std::copy(c.node.v4, c.node.v4 + 3, addr.begin() + 12);
        addr[15] = static_cast<uint8_t>(first + idx - 1);
    }
    r.insert(r.end(), addr.begin(), addr.end());
    r.push_back(0x00);  // endpoint
    r.push_back(0x00);  // no resource name
    return r;
}

bytes ip_assoc_defaults(const node_profile &) { return {1, 1, 0}; }

// The classes endpoint `ep` (from 1) lists, and those it has only securely.
const std::vector<uint8_t> &ep_classes(const node_profile &p, uint8_t ep)
{
    if (ep >= 1 && ep <= p.endpoint_class_lists.size())
        return p.endpoint_class_lists[ep - 1];
    return p.endpoint_classes;
}

const std::vector<uint8_t> &ep_secure_classes(const node_profile &p, uint8_t ep)
{
    static const std::vector<uint8_t> none;
    if (ep >= 1 && ep <= p.endpoint_secure_classes.size())
        return p.endpoint_secure_classes[ep - 1];
    return none;
}

std::optional<bytes> multi_channel_handle(class_call &c)
{
    const uint8_t eps = c.cls.values[0], aggr = c.cls.values[1], flags = c.cls.values[2];
    const node_profile &p = c.node.profile;
    auto has = [&](uint8_t cls) {
        return std::find(p.endpoint_classes.begin(), p.endpoint_classes.end(), cls) != p.endpoint_classes.end();
    };
    switch (c.cmd[1]) {
    case 0x04:  // Multi Instance Get: class
        if (c.cmd.size() < 3) {
            c.violation("Multi Instance Get without a class");
            return std::nullopt;
        }
        return bytes{cc_multi_channel, 0x05, c.cmd[2], has(c.cmd[2]) ? eps : uint8_t(0)};
    case 0x07: {  // End Point Get
        if (c.cls.version < 2)
            return std::nullopt;
        bytes r{cc_multi_channel, 0x08, flags, eps};
        if (c.cls.version >= 4)
            r.push_back(aggr);
        return r;
    }
    case 0x09: {  // Capability Get: endpoint
        if (c.cls.version < 2 || c.cmd.size() < 3)
            return std::nullopt;
        const uint8_t ep = c.cmd[2] & 0x7F;
        if (ep == 0 || ep > eps + aggr)
            return std::nullopt;
        bytes r{cc_multi_channel, 0x0A, ep, p.generic, p.specific};
        for (uint8_t cls : ep_classes(p, ep))
            r.push_back(cls);
        return r;
    }
    case 0x0E: {  // Aggregated Members Get: endpoint
        if (c.cls.version < 4 || c.cmd.size() < 3)
            return std::nullopt;
        const uint8_t ep = c.cmd[2] & 0x7F;
        if (ep <= eps || ep > eps + aggr)
            return std::nullopt;
        return bytes{cc_multi_channel, 0x0F, ep, 0x01, 0x03};  // endpoints 1 and 2
    }
    default:
        return std::nullopt;
    }
}

bytes multi_channel_defaults(const node_profile &) { return {0x00, 0x00, 0x00}; }

bytes no_report(const node_state &, const class_state &) { return {}; }

// Door Lock: state {mode, handles (outside << 4 | inside), door condition,
// operation type, configured handles, minutes, seconds}.
bytes door_lock_report(const node_state &, const class_state &c)
{
    // No time-out left to report: 0xFE minutes and seconds.
    bytes r{cc_door_lock, 0x03, c.values[0], c.values[1], c.values[2], 0xFE, 0xFE};
    if (c.version >= 3) {
        r.push_back(c.values[0]); // target mode: already there
        r.push_back(0x00);        // duration
    }
    return r;
}

bool door_lock_mode(uint8_t m)
{
    return m == 0x00 || m == 0x01 || m == 0x10 || m == 0x11 || m == 0x20 || m == 0x21 || m == 0xFF;
}

std::optional<bytes> door_lock_handle(class_call &c)
{
    auto &v = c.cls.values;
    switch (c.cmd[1]) {
    case 0x01: // Operation Set: mode
        if (c.cmd.size() < 3 || !door_lock_mode(c.cmd[2]))
            c.violation("Door Lock Operation Set without a valid mode");
        else
            v[0] = c.cmd[2];
        return std::nullopt;
    case 0x02:
        return door_lock_report(c.node, c.cls);
    case 0x04: // Configuration Set: type, handles, minutes, seconds
        if (c.cmd.size() < 6 || (c.cmd[2] != 1 && c.cmd[2] != 2))
            c.violation("Door Lock Configuration Set malformed");
        else
            std::copy(c.cmd.begin() + 2, c.cmd.begin() + 6, v.begin() + 3);
        return std::nullopt;
    case 0x05:
        return bytes{cc_door_lock, 0x06, v[3], v[4], v[5], v[6]};
    default:
        return std::nullopt;
    }
}

bytes level_report(const node_state &, const class_state &c)
{
    const uint8_t v = c.values[0];
    if (c.version >= 4)
        return {cc_switch_multilevel, 0x03, v, v, 0x00}; // current, target, already there
    return {cc_switch_multilevel, 0x03, v};
}

std::optional<bytes> level_handle(class_call &c)
{
    switch (c.cmd[1]) {
    case 0x01: // Set: level, from version 2 a duration; 0xFF restores the last level (here: full)
        if (c.cmd.size() < 3)
            c.violation("Multilevel Switch Set without a level");
        else if (!settable(c.cmd[2]))
            c.violation("Multilevel Switch Set with a reserved level");
        else
            c.cls.values[0] = c.cmd[2] == 0xFF ? 0x63 : c.cmd[2];
        return std::nullopt;
    case 0x02:
        return level_report(c.node, c.cls);
    case 0x04: // Start Level Change: flags, start level [, duration [, step]]
        if (c.cmd.size() < 4)
            c.violation("Multilevel Switch Start Level Change without a start level");
        return std::nullopt;
    case 0x06: // Supported Get
        if (c.cls.version < 3)
            return std::nullopt;
        return bytes{cc_switch_multilevel, 0x07, c.cls.values[1], c.cls.values[2]};
    default: // a level change stops where it started: at once
        return std::nullopt;
    }
}

// Multilevel Sensor readings: {type, precision << 5 | scale << 3 | size,
// value (size bytes)}... Each reading is where its bytes start; empty when
// the state is not such a list (a size other than 1, 2 or 4, type 0, a type
// and scale twice, bytes left over).
std::vector<size_t> sensor_readings(const bytes &v)
{
    std::vector<size_t> at;
    size_t pos = 0;
    while (pos < v.size()) {
        if (v.size() - pos < 2)
            return {};
        const size_t size = v[pos + 1] & 0x07;
        if (v[pos] == 0 || (size != 1 && size != 2 && size != 4) || v.size() - pos - 2 < size)
            return {};
        for (size_t o : at)
            if (v[o] == v[pos] && (v[o + 1] & 0x18) == (v[pos + 1] & 0x18))
                return {};
        at.push_back(pos);
        pos += 2 + size;
    }
    return at;
}

bool sensor_fits(const bytes &v, uint8_t) { return !sensor_readings(v).empty(); }

bytes sensor_reading_report(const class_state &c, size_t at)
{
    const bytes &v = c.values;
    bytes r{cc_sensor_multilevel, 0x05};
    for (size_t i = at; i < at + 2 + (v[at + 1] & 0x07); i++)
        r.push_back(v[i]);
    return r;
}

bytes sensor_report(const node_state &, const class_state &c) { return sensor_reading_report(c, 0); }

// Bit n - 1 of `mask` (from its first byte) for each value n in `bits`: the
// supported-type masks of the sensor classes. `from` is the value of bit 0.
bytes type_mask(const std::vector<uint8_t> &bits, unsigned from)
{
    bytes mask;
    for (uint8_t b : bits) {
        const unsigned n = b - from;
        if (mask.size() <= n / 8)
            mask.resize(n / 8 + 1, 0);
        mask[n / 8] |= static_cast<uint8_t>(1u << (n % 8));
    }
    return mask;
}

std::optional<bytes> sensor_handle(class_call &c)
{
    const bytes &v = c.cls.values;
    const std::vector<size_t> at = sensor_readings(v);
    switch (c.cmd[1]) {
    case 0x01: { // Supported Sensor Get: bit 0 is type 1
        if (c.cls.version < 5)
            return std::nullopt;
        std::vector<uint8_t> types;
        for (size_t o : at)
            types.push_back(v[o]);
        bytes r{cc_sensor_multilevel, 0x02};
        for (uint8_t b : type_mask(types, 1))
            r.push_back(b);
        return r;
    }
    case 0x03: { // Supported Scale Get: type
        if (c.cls.version < 5)
            return std::nullopt;
        if (c.cmd.size() < 3) {
            c.violation("Multilevel Sensor Supported Scale Get without a type");
            return std::nullopt;
        }
        uint8_t scales = 0;
        for (size_t o : at)
            if (v[o] == c.cmd[2])
                scales |= static_cast<uint8_t>(1u << ((v[o + 1] >> 3) & 0x03));
        return bytes{cc_sensor_multilevel, 0x06, c.cmd[2], scales};
    }
    case 0x04: { // Get [type, scale << 3] (version 5 on)
        if (c.cls.version < 5 || c.cmd.size() == 2)
            return sensor_reading_report(c.cls, 0);
        if (c.cmd.size() < 4) {
            c.violation("Multilevel Sensor Get with a type but no scale");
            return std::nullopt;
        }
        const uint8_t scale = (c.cmd[3] >> 3) & 0x03;
        std::optional<size_t> of_type;
        for (size_t o : at) {
            if (v[o] != c.cmd[2])
                continue;
            if (((v[o + 1] >> 3) & 0x03) == scale)
                return sensor_reading_report(c.cls, o);
            if (!of_type)
                of_type = o;
        }
        return sensor_reading_report(c.cls, of_type.value_or(0));
    }
    default:
        return std::nullopt;
    }
}

// Binary Sensor: {type, state}..., the first pair the default type.
bool sensor_binary_fits(const bytes &v, uint8_t)
{
    if (v.empty() || v.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < v.size(); i += 2) {
        if (v[i] == 0x00 || v[i] == 0xFF || (v[i + 1] != 0x00 && v[i + 1] != 0xFF))
            return false;
        for (size_t j = 0; j < i; j += 2)
            if (v[j] == v[i])
                return false;
    }
    return true;
}

bytes sensor_binary_report_at(const class_state &c, size_t at)
{
    if (c.version >= 2)
        return {cc_sensor_binary, 0x03, c.values[at + 1], c.values[at]};
    return {cc_sensor_binary, 0x03, c.values[at + 1]};
}

bytes sensor_binary_report(const node_state &, const class_state &c) { return sensor_binary_report_at(c, 0); }

std::optional<bytes> sensor_binary_handle(class_call &c)
{
    const bytes &v = c.cls.values;
    switch (c.cmd[1]) {
    case 0x01: { // Supported Get: bit 0 is type 0, which no sensor is
        if (c.cls.version < 2)
            return std::nullopt;
        std::vector<uint8_t> types;
        for (size_t i = 0; i < v.size(); i += 2)
            types.push_back(v[i]);
        bytes r{cc_sensor_binary, 0x04};
        for (uint8_t b : type_mask(types, 0))
            r.push_back(b);
        return r;
    }
    case 0x02: { // Get [type]: 0 (or 0xFF, "the first") and a type the node lacks read the default type
        const uint8_t type = c.cls.version >= 2 && c.cmd.size() >= 3 ? c.cmd[2] : 0;
        for (size_t i = 0; i < v.size(); i += 2)
            if (v[i] == type)
                return sensor_binary_report_at(c.cls, i);
        return sensor_binary_report_at(c.cls, 0);
    }
    default:
        return std::nullopt;
    }
}

// Meter: {meter type, rate type, reset capable}, then a reading of 13 bytes
// per scale: {scale, precision, size, value (4), delta time (2), previous
// value (4)}.
constexpr size_t meter_head = 3;
constexpr size_t meter_reading = 13;

bool meter_fits(const bytes &v, uint8_t version)
{
    if (v.size() < meter_head + meter_reading || (v.size() - meter_head) % meter_reading != 0)
        return false;
    if (v[0] == 0 || v[0] > 0x1F || v[1] > 3 || v[2] > 1)
        return false;
    uint8_t seen = 0;
    for (size_t o = meter_head; o < v.size(); o += meter_reading) {
        const uint8_t scale = v[o], size = v[o + 2];
        // Before version 3 the Report has two bits for the scale; 7 says
        // "see the next byte", which this model does not send.
        if (scale > (version >= 3 ? 6 : 3) || v[o + 1] > 7 || (size != 1 && size != 2 && size != 4))
            return false;
        if (seen & (1u << scale))
            return false;
        seen |= static_cast<uint8_t>(1u << scale);
    }
    return true;
}

bytes meter_report_at(const class_state &c, size_t o)
{
    const bytes &v = c.values;
    const uint8_t scale = v[o], precision = v[o + 1], size = v[o + 2];
    uint8_t first = v[0] & 0x1F;
    if (c.version >= 2)
        first |= static_cast<uint8_t>((v[1] & 0x03) << 5);
    if (c.version >= 3 && (scale & 0x04))
        first |= 0x80;
    bytes r{cc_meter, 0x02, first, static_cast<uint8_t>(precision << 5 | (scale & 0x03) << 3 | size)};
    // The low `size` bytes of a 4-byte big-endian number at `at`.
    auto put_low = [&](size_t at) {
        for (size_t i = at + 4 - size; i < at + 4; i++)
            r.push_back(v[i]);
    };
    put_low(o + 3);
    if (c.version >= 2) {
        r.push_back(v[o + 7]);
        r.push_back(v[o + 8]);
        if (v[o + 7] != 0 || v[o + 8] != 0)
            put_low(o + 9);
    }
    return r;
}

bytes meter_report(const node_state &, const class_state &c) { return meter_report_at(c, meter_head); }

std::optional<bytes> meter_handle(class_call &c)
{
    bytes &v = c.cls.values;
    switch (c.cmd[1]) {
    case 0x01: { // Get [scale]: a scale the node lacks reads the first
        if (c.cls.version < 2 || c.cmd.size() < 3)
            return meter_report_at(c.cls, meter_head);
        const uint8_t scale = (c.cmd[2] >> 3) & (c.cls.version >= 3 ? 0x07 : 0x03);
        for (size_t o = meter_head; o < v.size(); o += meter_reading)
            if (v[o] == scale)
                return meter_report_at(c.cls, o);
        return meter_report_at(c.cls, meter_head);
    }
    case 0x03: { // Supported Get
        if (c.cls.version < 2)
            return std::nullopt;
        uint8_t scales = 0;
        for (size_t o = meter_head; o < v.size(); o += meter_reading)
            scales |= static_cast<uint8_t>(1u << v[o]);
        return bytes{cc_meter, 0x04, static_cast<uint8_t>(v[2] << 7 | (v[1] & 0x03) << 5 | (v[0] & 0x1F)), scales};
    }
    case 0x05: // Reset
        if (c.cls.version >= 2 && v[2] != 0)
            for (size_t o = meter_head; o < v.size(); o += meter_reading)
                std::fill(v.begin() + static_cast<long>(o + 3), v.begin() + static_cast<long>(o + meter_reading),
                          uint8_t(0));
        return std::nullopt;
    default:
        return std::nullopt;
    }
}

bytes meter_defaults(const node_profile &) { return {0x01, 0x01, 0x01, 0, 2, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}; }

// Switch Color: {supported components (2 bytes), value of components 0..8}.
constexpr unsigned color_components = 9;

bool color_fits(const bytes &v, uint8_t) { return (v[0] != 0 || v[1] != 0) && (v[1] & 0xFE) == 0; }

bool color_has(const class_state &c, unsigned id)
{
    return id < color_components && (c.values[id / 8] & (1u << (id % 8)));
}

bytes color_report_of(const class_state &c, uint8_t id)
{
    const uint8_t v = c.values[2 + id];
    if (c.version >= 3)
        return {cc_switch_color, 0x04, id, v, v, 0x00}; // current, target, already there
    return {cc_switch_color, 0x04, id, v};
}

bytes color_report(const node_state &, const class_state &c)
{
    for (uint8_t id = 0; id < color_components; id++)
        if (color_has(c, id))
            return color_report_of(c, id);
    return {};
}

std::optional<bytes> color_handle(class_call &c)
{
    const bytes &cmd = c.cmd;
    switch (cmd[1]) {
    case 0x01: // Supported Get
        return bytes{cc_switch_color, 0x02, c.cls.values[0], c.cls.values[1]};
    case 0x03: // Get: component
        if (cmd.size() < 3) {
            c.violation("Switch Color Get without a component");
            return std::nullopt;
        }
        if (!color_has(c.cls, cmd[2]))
            return std::nullopt;
        return color_report_of(c.cls, cmd[2]);
    case 0x05: { // Set: count, (component, value) x count [, duration]
        const size_t count = cmd.size() >= 3 ? cmd[2] & 0x1F : 0;
        if (cmd.size() < 3 || cmd.size() < 3 + 2 * count) {
            c.violation("Switch Color Set shorter than its count");
            return std::nullopt;
        }
        for (size_t i = 0; i < count; i++) {
            const uint8_t id = cmd[3 + 2 * i];
            if (color_has(c.cls, id))
                c.cls.values[2 + id] = cmd[4 + 2 * i];
        }
        return std::nullopt;
    }
    case 0x06: // Start Level Change: flags, component, start level [, duration]
        if (cmd.size() < 5)
            c.violation("Switch Color Start Level Change too short");
        return std::nullopt;
    case 0x07: // Stop Level Change: component
        if (cmd.size() < 3)
            c.violation("Switch Color Stop Level Change without a component");
        return std::nullopt;
    default:
        return std::nullopt;
    }
}

bytes color_defaults(const node_profile &) { return {0x1C, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0}; }

// Thermostat Setpoint: {supported mask (2), numbering}. Devices of the first
// versions disagreed on what bits 3 and up of the mask mean; the numbering
// says which reading this one has.
enum : uint8_t { setp_bit_is_type = 0, setp_bit_plus_4 = 1, setp_bit_is_type_silent = 2 };

bool setp_has(const class_state &c, uint8_t type)
{
    for (unsigned bit = 0; bit < 16; ++bit) {
        if (!(c.values[bit / 8] & (1u << (bit % 8))))
            continue;
        const unsigned t = (c.values[2] == setp_bit_plus_4 && bit >= 3) ? bit + 4 : bit;
        if (t == type)
            return true;
    }
    return false;
}

std::optional<bytes> setpoint_handle(class_call &c)
{
    switch (c.cmd[1]) {
    case 0x02: // Get: type
    case 0x09: { // Capabilities Get: type
        if (c.cmd.size() < 3) {
            c.violation("Thermostat Setpoint Get without a type");
            return std::nullopt;
        }
        if (c.cmd[1] == 0x09 && c.cls.version < 3)
            return std::nullopt;
        const uint8_t type = c.cmd[2] & 0x0F;
        const bool has = type != 0 && setp_has(c.cls, type);
        if (!has && c.cls.values[2] == setp_bit_is_type_silent)
            return std::nullopt;
        const uint8_t t = has ? type : uint8_t(0);
        if (c.cmd[1] == 0x09)
            return bytes{cc_thermostat_setpoint, 0x0A, t, 0x22, 0x00, 0x32, 0x22, 0x01, 0x2C};
        return bytes{cc_thermostat_setpoint, 0x03, t, 0x22, 0x00, 0xD2};
    }
    case 0x04: // Supported Get
        return bytes{cc_thermostat_setpoint, 0x05, c.cls.values[0], c.cls.values[1]};
    default:
        return std::nullopt;
    }
}

bytes setpoint_defaults(const node_profile &) { return {0x02, 0x00, setp_bit_plus_4}; }

// Central Scene: {scenes, slow refresh}.
std::optional<bytes> central_scene_handle(class_call &c)
{
    switch (c.cmd[1]) {
    case 0x01: { // Supported Get: identical scenes, one mask byte (key pressed and released)
        const uint8_t flags = static_cast<uint8_t>((c.cls.version >= 3 ? 0x80 : 0x00) | 0x01 << 1 | 0x01);
        if (c.cls.version < 2)
            return bytes{cc_central_scene, 0x02, c.cls.values[0]};
        return bytes{cc_central_scene, 0x02, c.cls.values[0], flags, 0x03};
    }
    case 0x04: // Configuration Set: slow refresh
        if (c.cls.version < 3 || c.cmd.size() < 3)
            c.violation("Central Scene Configuration Set that the node cannot take");
        else
            c.cls.values[1] = c.cmd[2] & 0x80;
        return std::nullopt;
    case 0x05:
        if (c.cls.version < 3)
            return std::nullopt;
        return bytes{cc_central_scene, 0x06, c.cls.values[1]};
    default:
        return std::nullopt;
    }
}

bytes central_scene_defaults(const node_profile &) { return {2, 0x00}; }

// Notification: {types, events}, one mask byte each.
std::optional<bytes> notification_handle(class_call &c)
{
    switch (c.cmd[1]) {
    case 0x07: // Supported Get: V1 alarm types not told, one mask byte
        if (c.cls.version < 2)
            return std::nullopt;
        return bytes{cc_notification, 0x08, 0x01, c.cls.values[0]};
    case 0x01: // Event Supported Get: type
        if (c.cls.version < 3 || c.cmd.size() < 3)
            return std::nullopt;
        if (c.cmd[2] >= 8 || !(c.cls.values[0] & (1u << c.cmd[2])))
            return bytes{cc_notification, 0x02, c.cmd[2], 0x00};
        return bytes{cc_notification, 0x02, c.cmd[2], 0x01, c.cls.values[1]};
    default:
        return std::nullopt;
    }
}

bytes notification_defaults(const node_profile &) { return {0x40, 0x0C}; }

// Association Group Info: {info frames, pause before each later frame (10 ms
// units)}; the groups are the Association class's.
std::optional<bytes> agi_handle(class_call &c)
{
    const class_state *assoc = c.node.find(cc_association);
    const uint8_t groups = assoc ? assoc->values[0] : 1;
    const uint8_t cmd = c.cmd[1];
    if ((cmd == 0x01 && c.cmd.size() < 3) || ((cmd == 0x03 || cmd == 0x05) && c.cmd.size() < 4)) {
        c.violation("Association Group Info Get without its parameters");
        return std::nullopt;
    }
    switch (cmd) {
    case 0x01: { // Name Get: group
        const std::string name = c.cmd[2] == 1 ? "Lifeline" : "Group " + std::to_string(c.cmd[2]);
        bytes r{cc_assoc_grp_info, 0x02, c.cmd[2], static_cast<uint8_t>(name.size())};
        r.insert(r.end(), name.begin(), name.end());
        return r;
    }
    case 0x03: { // Info Get: flags (0x40 list mode), group
        const bool list = c.cmd[2] & 0x40;
        const uint8_t first = list ? 1 : c.cmd[3];
        const uint8_t last = list ? groups : c.cmd[3];
        const unsigned frames = list ? std::max<uint8_t>(c.cls.values[0], 1) : 1;
        const unsigned n = last >= first ? last - first + 1u : 0u;
        std::vector<bytes> out;
        unsigned next = 0;
        for (unsigned f = 0; f < frames; f++) {
            const unsigned end = (f + 1) * n / frames;
            bytes r{cc_assoc_grp_info, 0x04, static_cast<uint8_t>((list ? 0x80 : 0x00) | (end - next))};
            for (; next < end; next++) {
                const uint8_t g = static_cast<uint8_t>(first + next);
                // Mode 0, profile, reserved, event code 0.
                r.insert(r.end(), {g, 0x00, static_cast<uint8_t>(g == 1 ? 0x00 : 0x20), 0x01, 0x00, 0x00, 0x00});
            }
            out.push_back(std::move(r));
        }
        const std::chrono::milliseconds pause(10 * c.cls.values[1]);
        for (size_t f = 1; f < out.size(); ++f)
            c.more.push_back({std::move(out[f]), pause * f});
        return out.front();
    }
    case 0x05: { // Command List Get: flags, group
        if (c.cmd[3] == 1)
            return bytes{cc_assoc_grp_info, 0x06, 0x01, 0x02, 0x5A, 0x01};
        return bytes{cc_assoc_grp_info, 0x06, c.cmd[3], 0x02, cc_basic, 0x01};
    }
    default:
        return std::nullopt;
    }
}

bytes agi_defaults(const node_profile &) { return {1, 0}; }

// Simple AV Control: {reports, mask bytes per report}.
std::optional<bytes> simple_av_handle(class_call &c)
{
    switch (c.cmd[1]) {
    case 0x02: // Get: how many Supported Reports there are
        return bytes{cc_simple_av, 0x03, c.cls.values[0]};
    case 0x04: { // Supported Get: report number
        if (c.cmd.size() < 3) {
            c.violation("Simple AV Control Supported Get without a report number");
            return std::nullopt;
        }
        const uint8_t k = c.cmd[2];
        if (k == 0 || k > c.cls.values[0])
            return std::nullopt;
        bytes r{cc_simple_av, 0x05, k};
        for (uint8_t j = 0; j < c.cls.values[1]; ++j)
            r.push_back(static_cast<uint8_t>(k << 4 | (j & 0x0F)));
        return r;
    }
    default:
        return std::nullopt;
    }
}

bytes simple_av_defaults(const node_profile &) { return {2, 2}; }

// Firmware Update Meta Data: {manufacturer (2), firmware id (2), maximum
// fragment size (2), reports per Get, wait before each Get (10 ms units),
// restart wait time (2, s)}. The node asks for its fragments by itself
// after the request, checks the CRC of each, asks again for a bad or missing
// one, and ends with a status report (0xFF when the image's checksum is the
// requested one, else 0x00).
uint16_t fw_crc16(uint16_t crc, const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        crc ^= static_cast<uint16_t>(p[i] << 8);
        for (int b = 0; b < 8; b++)
            crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

uint16_t be16_at(const bytes &b, size_t i) { return static_cast<uint16_t>(b[i] << 8 | b[i + 1]); }

void fw_ask(class_call &c, uint16_t from)
{
    fw_transfer &fw = c.node.fw;
    const uint8_t cnt = std::max<uint8_t>(c.cls.values[6], 1);
    fw.burst_left = cnt;
    fw.view.gets.push_back(from);
    c.more.push_back({bytes{0x7A, 0x05, cnt, static_cast<uint8_t>(from >> 8), static_cast<uint8_t>(from)},
                      std::chrono::milliseconds(10 * c.cls.values[7])});
}

std::optional<bytes> fw_handle(class_call &c)
{
    fw_transfer &fw = c.node.fw;
    const bytes &v = c.cls.values;
    switch (c.cmd[1]) {
    case 0x01: // Meta Data Get
        if (c.cls.version < 3)
            return bytes{0x7A, 0x02, v[0], v[1], v[2], v[3], 0x00, 0x00};
        return bytes{0x7A, 0x02, v[0], v[1], v[2], v[3], 0x00, 0x00, 0xFF, 0x00, v[4], v[5]};
    case 0x03: { // Request Get
        const size_t need = c.cls.version >= 3 ? 11 : 8;
        if (c.cmd.size() < need) {
            c.violation("Firmware Update Request Get too short for its version");
            return bytes{0x7A, 0x04, 0x00};
        }
        std::vector<uint16_t> corrupt = std::move(fw.corrupt);
        fw = fw_transfer{};
        fw.corrupt = std::move(corrupt);
        fw.active = true;
        fw.checksum = be16_at(c.cmd, 6);
        fw.frag_sz = c.cls.version >= 3 ? be16_at(c.cmd, 9) : 40;
        fw.view.frag_sz = fw.frag_sz;
        fw.view.request = c.cmd;
        fw_ask(c, 1);
        return bytes{0x7A, 0x04, 0xFF};
    }
    case 0x06: { // Meta Data Report: one fragment
        const size_t crc_len = c.cls.version >= 2 ? 2 : 0;
        if (!fw.active || c.cmd.size() < 4 + crc_len) {
            c.violation("firmware fragment outside a transfer or too short");
            return std::nullopt;
        }
        bytes frame = c.cmd;
        const uint16_t num = be16_at(frame, 2) & 0x7FFF;
        const bool last = frame[2] & 0x80;
        fw.view.fragments++;
        auto cue = std::find(fw.corrupt.begin(), fw.corrupt.end(), num);
        if (cue != fw.corrupt.end()) {
            // Damaged on the way: the CRC no longer matches.
            fw.corrupt.erase(cue);
            frame[frame.size() - 1 - crc_len] ^= 0x5A;
        }
        const size_t data_end = frame.size() - crc_len;
        if (crc_len != 0 && fw_crc16(0x1D0F, frame.data(), data_end) != be16_at(frame, data_end)) {
            fw.view.crc_errors++;
            fw_ask(c, fw.next);
            return std::nullopt;
        }
        if (num != fw.next) {
            fw.view.out_of_order++;
            fw_ask(c, fw.next);
            return std::nullopt;
        }
        if (!last && data_end - 4 != fw.frag_sz)
            c.violation("firmware fragment of another size than agreed");
        fw.view.image.insert(fw.view.image.end(), frame.begin() + 4, frame.begin() + static_cast<long>(data_end));
        fw.next++;
        if (last) {
            fw.active = false;
            const bool ok = fw_crc16(0x1D0F, fw.view.image.data(), fw.view.image.size()) == fw.checksum;
            fw.view.status = ok ? 0xFF : 0x00;
            fw.view.done = true;
            if (c.cls.version >= 3) {
                const uint16_t wait_s = static_cast<uint16_t>(v[8] << 8 | v[9]);
                if (ok && wait_s != 0) {
                    c.node.down_since = clk::now();
                    c.node.down_until =
                        c.node.down_since + c.node.restart_down.value_or(std::chrono::milliseconds(1000 * wait_s));
                }
                return bytes{0x7A, 0x07, fw.view.status, v[8], v[9]};
            }
            return bytes{0x7A, 0x07, fw.view.status};
        }
        if (fw.burst_left > 0)
            fw.burst_left--;
        if (fw.burst_left == 0)
            fw_ask(c, fw.next);
        return std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

bytes fw_defaults(const node_profile &) { return {0x00, 0x00, 0x00, 0x01, 0x00, 0x28, 2, 5, 0x00, 0x00}; }

struct class_row {
    uint8_t cmd_class;
    const char *name;
    uint8_t max_version;
    size_t value_count; // length of the class state
    bytes (*defaults)(const node_profile &);
    std::optional<bytes> (*handle)(class_call &); // null: not a command target (Multi Command)
    bytes (*report)(const node_state &, const class_state &);
    bool open_ended = false; // value_count is the least length of the state
    // A state of inner structure: whether it holds, at the class's version.
    bool (*fits)(const bytes &, uint8_t version) = nullptr;
};

bytes one_zero(const node_profile &) { return {0x00}; }
bytes level_defaults(const node_profile &) { return {0x00, 0x02, 0x00}; }
bytes sensor_defaults(const node_profile &) { return {0x01, 0x22, 0x00, 0xFA}; }
bytes sensor_binary_defaults(const node_profile &) { return {0x01, 0x00}; }
bytes full_battery(const node_profile &) { return {100}; }
bytes no_values(const node_profile &) { return {}; }
// Secured, all handles, door closed; a constant lock.
bytes door_lock_defaults(const node_profile &) { return {0xFF, 0xFF, 0x00, 0x01, 0xFF, 0xFE, 0xFE}; }
bytes config_defaults(const node_profile &) { return {1, 1, 0, 0, 0, 0}; }
bytes two_zero(const node_profile &) { return {0, 0}; }
bytes wake_up_defaults(const node_profile &p)
{
    bytes b;
    put_be24(b, std::min(p.wake_up_interval_s, max_interval_s));
    b.push_back(1); // the controller
    return b;
}

constexpr class_row class_rows[] = {
    {cc_basic, "Basic", 2, 1, one_zero, basic_handle, basic_report},
    {cc_switch_binary, "Binary Switch", 2, 1, one_zero, switch_handle, switch_report},
    {cc_switch_multilevel, "Multilevel Switch", 4, 3, level_defaults, level_handle, level_report},
    {cc_sensor_binary, "Binary Sensor", 2, 2, sensor_binary_defaults, sensor_binary_handle, sensor_binary_report,
     true, sensor_binary_fits},
    {cc_sensor_multilevel, "Multilevel Sensor", 11, 3, sensor_defaults, sensor_handle, sensor_report, true,
     sensor_fits},
    {cc_meter, "Meter", 6, meter_head + meter_reading, meter_defaults, meter_handle, meter_report, true, meter_fits},
    {cc_switch_color, "Switch Color", 3, 2 + color_components, color_defaults, color_handle, color_report, false,
     color_fits},
    {cc_thermostat_setpoint, "Thermostat Setpoint", 3, 3, setpoint_defaults, setpoint_handle, no_report},
    {cc_assoc_grp_info, "Association Group Info", 3, 2, agi_defaults, agi_handle, no_report},
    {cc_central_scene, "Central Scene", 3, 2, central_scene_defaults, central_scene_handle, no_report},
    {cc_ip_association, "IP Association", 1, 3, ip_assoc_defaults, ip_assoc_handle, no_report},
    {cc_zwave_plus, "Z-Wave Plus Info", 2, 7, zwave_plus_defaults, zwave_plus_handle, no_report},
    {cc_multi_channel, "Multi Channel", 4, 3, multi_channel_defaults, multi_channel_handle, no_report},
    {cc_door_lock, "Door Lock", 4, 7, door_lock_defaults, door_lock_handle, door_lock_report},
    {cc_configuration, "Configuration", 1, 6, config_defaults, config_handle, config_report},
    {cc_notification, "Notification", 8, 2, notification_defaults, notification_handle, no_report},
    {cc_manufacturer, "Manufacturer Specific", 2, 6, manufacturer_defaults, manufacturer_handle, no_report},
    {cc_powerlevel, "Powerlevel", 1, 2, two_zero, power_handle, power_report},
    {cc_fw_update, "Firmware Update Meta Data", 5, 10, fw_defaults, fw_handle, no_report},
    {cc_battery, "Battery", 2, 1, full_battery, battery_handle, battery_report},
    {cc_wake_up, "Wake Up", 2, 4, wake_up_defaults, wake_up_handle, wake_up_report},
    {cc_association, "Association", 2, 5, association_defaults, association_handle, no_report},
    {cc_version, "Version", 3, 6, version_defaults, version_handle, no_report},
    {cc_multi_cmd, "Multi Command", 1, 0, no_values, nullptr, no_report},
    {cc_simple_av, "Simple AV Control", 4, 2, simple_av_defaults, simple_av_handle, no_report},
    {cc_security, "Security", 1, 1, security_defaults, security_handle, no_report, true},
};

constexpr bool rows_sorted()
{
    for (size_t i = 1; i < std::size(class_rows); i++)
        if (class_rows[i - 1].cmd_class >= class_rows[i].cmd_class)
            return false;
    return true;
}
static_assert(rows_sorted(), "class rows are sorted by class id, one row per class");

bool state_fits(const class_row &row, const bytes &values, uint8_t version)
{
    if (row.open_ended ? values.size() < row.value_count : values.size() != row.value_count)
        return false;
    return !row.fits || row.fits(values, version);
}

const class_row *row_of(uint8_t cmd_class)
{
    for (const class_row &r : class_rows)
        if (r.cmd_class == cmd_class)
            return &r;
    return nullptr;
}

// Splits a Multi Command frame (0x8F 0x01 count {length command}...) into its
// commands; an empty result with a reason when the frame does not hold
// exactly `count` non-empty commands.
std::vector<bytes> split_multi(const bytes &cmd, std::string &why)
{
    std::vector<bytes> out;
    if (cmd.size() < 3) {
        why = "Multi Command without a count";
        return {};
    }
    if (cmd[1] != multi_cmd_encap) {
        why = "Multi Command of unknown command";
        return {};
    }
    const unsigned count = cmd[2];
    if (count == 0) {
        why = "Multi Command without commands";
        return {};
    }
    size_t pos = 3;
    for (unsigned i = 0; i < count; i++) {
        if (pos >= cmd.size()) {
            why = "Multi Command shorter than its count";
            return {};
        }
        const size_t len = cmd[pos++];
        if (len == 0 || len > cmd.size() - pos) {
            why = len == 0 ? "Multi Command with an empty command" : "Multi Command command runs past the frame";
            return {};
        }
        out.emplace_back(cmd.begin() + static_cast<long>(pos), cmd.begin() + static_cast<long>(pos + len));
        if (out.back()[0] == cc_multi_cmd) {
            why = "Multi Command inside a Multi Command";
            return {};
        }
        pos += len;
    }
    if (pos != cmd.size()) {
        why = "Multi Command with bytes after its last command";
        return {};
    }
    return out;
}

// An answer that a node in answer_mode::held keeps: its frames and where
// they go.
struct kept_answer {
    uint8_t node_id = 0;
    endpoint to;
    std::vector<zip_option> options;
    std::vector<bytes> frames;
};

bool same_frame(const held_frame &h, const zip_packet &p, const endpoint &from)
{
    return h.from == from && h.packet.seq == p.seq && h.packet.flags0 == p.flags0 &&
           h.packet.command == p.command;
}

} // namespace

const char *node_kind_text(node_kind kind)
{
    switch (kind) {
    case node_kind::listening: return "listening";
    case node_kind::flirs: return "flirs";
    case node_kind::sleeping: return "sleeping";
    }
    return "?";
}

// ---------------------------------------------------------------------------
// Profiles
// ---------------------------------------------------------------------------

namespace {

struct builtin_row {
    const char *name;
    node_kind kind;
    uint8_t generic;
    uint8_t specific;
    std::vector<class_profile> classes;
};

const builtin_row builtin_rows[] = {
    {"switch", node_kind::listening, 0x10, 0x01, {{cc_switch_binary, 2, {}}, {cc_basic, 1, {}}}},
    {"sensor", node_kind::sleeping, 0x07, 0x01, {{cc_battery, 1, {}}, {cc_wake_up, 2, {}}, {cc_basic, 1, {}}}},
    {"basic", node_kind::listening, 0x10, 0x01, {{cc_basic, 1, {}}}},
    {"flirs", node_kind::flirs, 0x40, 0x03, {{cc_basic, 1, {}}, {cc_battery, 1, {}}}},
    {"plus_switch", node_kind::listening, 0x10, 0x01,
     {{cc_zwave_plus, 2, {}}, {cc_version, 3, {}}, {cc_manufacturer, 2, {}}, {cc_switch_binary, 2, {}},
      {cc_basic, 1, {}}}},
    {"plus_sensor", node_kind::sleeping, 0x07, 0x01,
     {{cc_zwave_plus, 2, {}}, {cc_version, 2, {}}, {cc_manufacturer, 1, {}}, {cc_wake_up, 2, {}},
      {cc_battery, 1, {}}, {cc_basic, 1, {}}}},
    {"multi_channel", node_kind::listening, 0x10, 0x01,
     {{cc_zwave_plus, 2, {}}, {cc_version, 2, {}}, {cc_manufacturer, 1, {}}, {cc_multi_channel, 4, {2, 1, 0x40}},
      {cc_switch_binary, 2, {}}, {cc_basic, 1, {}}}},
    {"multi_instance", node_kind::listening, 0x10, 0x01,
     {{cc_version, 1, {}}, {cc_multi_channel, 1, {2, 0, 0}}, {cc_switch_binary, 1, {}}, {cc_basic, 1, {}}}},
    {"dimmer", node_kind::listening, 0x11, 0x01,
     {{cc_zwave_plus, 2, {}}, {cc_version, 3, {}}, {cc_manufacturer, 2, {}},
      {cc_switch_multilevel, 4, {0x32, 0x02, 0x00}}, {cc_basic, 1, {}}}},
    // Warm white, red, green and blue: an orange light at full level.
    {"color", node_kind::listening, 0x11, 0x01,
     {{cc_zwave_plus, 2, {}}, {cc_version, 3, {}}, {cc_manufacturer, 2, {}},
      {cc_switch_color, 3, {0x1D, 0x00, 0x00, 0x00, 0xFF, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00}},
      {cc_switch_multilevel, 4, {0x63, 0x02, 0x00}}, {cc_basic, 1, {}}}},
    // Electric, import, reset capable: 12.34 kWh; 45.6 W, 30 s after 40.0 W.
    {"meter_plug", node_kind::listening, 0x10, 0x01,
     {{cc_zwave_plus, 2, {}}, {cc_version, 3, {}}, {cc_manufacturer, 2, {}}, {cc_switch_binary, 2, {0xFF}},
      {cc_meter, 3, {0x01, 0x01, 0x01,
                     0, 2, 4, 0x00, 0x00, 0x04, 0xD2, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                     2, 1, 2, 0x00, 0x00, 0x01, 0xC8, 0x00, 0x1E, 0x00, 0x00, 0x01, 0x90}},
      {cc_basic, 1, {}}}},
    // Motion idle, door open; 21.5 C (70.7 F), 45 % humidity.
    {"multisensor", node_kind::listening, 0x21, 0x01,
     {{cc_zwave_plus, 2, {}}, {cc_version, 3, {}}, {cc_manufacturer, 2, {}},
      {cc_sensor_binary, 2, {0x0C, 0x00, 0x0A, 0xFF}},
      {cc_sensor_multilevel, 5, {0x01, 0x22, 0x00, 0xD7, 0x01, 0x2A, 0x02, 0xC3, 0x05, 0x01, 0x2D}},
      {cc_basic, 1, {}}}},
};

} // namespace

std::optional<node_profile> builtin_profile(const std::string &name, uint8_t node_id)
{
    for (const builtin_row &r : builtin_rows) {
        if (name != r.name)
            continue;
        node_profile p;
        p.node_id = node_id;
        p.kind = r.kind;
        p.generic = r.generic;
        p.specific = r.specific;
        p.classes = r.classes;
        return p;
    }
    return std::nullopt;
}

std::vector<std::string> builtin_profile_names()
{
    std::vector<std::string> out;
    for (const builtin_row &r : builtin_rows)
        out.emplace_back(r.name);
    return out;
}

std::vector<uint8_t> multi_command_frame(const std::vector<std::vector<uint8_t>> &commands)
{
    if (commands.size() > 0xFF)
        return {};
    bytes out{cc_multi_cmd, multi_cmd_encap, static_cast<uint8_t>(commands.size())};
    for (const bytes &c : commands) {
        if (c.empty() || c.size() > 0xFF)
            return {};
        out.push_back(static_cast<uint8_t>(c.size()));
        for (uint8_t b : c) // not insert(): g++ 12 warns falsely on it at -O2
            out.push_back(b);
    }
    return out;
}

nm_node nm_node_of(const node_profile &p)
{
    nm_node n;
    n.node_id = p.node_id;
    n.listening = p.kind == node_kind::listening;
    n.flirs = p.kind == node_kind::flirs;
    n.generic = p.generic;
    n.specific = p.specific;
    n.basic = 0x04; // routing slave, whatever it does between wake-ups
    n.classes.clear();
    for (const class_profile &c : p.classes) {
        n.classes.push_back(c.cmd_class);
        // The gateway knows the endpoints of a Multi Channel node too.
        if (c.cmd_class == cc_multi_channel && c.version >= 2) {
            const bytes v = c.values.empty() ? bytes{0, 0, 0} : c.values;
            n.endpoints = v.size() > 0 ? v[0] : 0;
            n.aggregated = v.size() > 1 ? v[1] : 0;
            n.ep_classes = p.endpoint_classes;
            n.ep_class_lists = p.endpoint_class_lists;
            n.ep_secure_classes = p.endpoint_secure_classes;
        }
    }
    return n;
}

// ---------------------------------------------------------------------------
// The model
// ---------------------------------------------------------------------------

class node_model::impl : public node_layer {
public:
    explicit impl(gateway &gw) : gw_(gw) {}

    bool serves(uint8_t node_id) const override
    {
        std::lock_guard lock(mu_);
        return nodes_.count(node_id) != 0;
    }

    bool asleep(uint8_t node_id) const override
    {
        std::lock_guard lock(mu_);
        auto it = nodes_.find(node_id);
        return it != nodes_.end() && !it->second.awake;
    }

    bool unreachable(uint8_t node_id) const override
    {
        std::lock_guard lock(mu_);
        auto it = nodes_.find(node_id);
        return it != nodes_.end() && clk::now() < it->second.down_until;
    }

    uint32_t hold(const command_context &ctx) override
    {
        uint32_t delay = min_expected_delay_s;
        {
            std::lock_guard lock(mu_);
            auto it = nodes_.find(ctx.node_id);
            if (it == nodes_.end())
                return delay;
            node_state &n = it->second;
            // A resend of a frame already held is the same frame.
            const bool copy = std::any_of(n.held.begin(), n.held.end(),
                                          [&](const held_frame &h) { return same_frame(h, ctx.packet, ctx.from); });
            if (!copy)
                n.held.push_back({ctx.packet, ctx.from});
            // What is left of the node's wake-up interval, as last set.
            const auto slept = std::chrono::duration_cast<std::chrono::seconds>(clk::now() - n.asleep_since);
            const class_state *wake_up = n.find(cc_wake_up);
            const uint64_t interval = wake_up ? uint64_t(wake_up->values[0]) << 16 | uint64_t(wake_up->values[1]) << 8 |
                                                    wake_up->values[2]
                                              : n.profile.wake_up_interval_s;
            const uint64_t left = interval > static_cast<uint64_t>(slept.count()) ? interval - slept.count() : 0;
            delay = static_cast<uint32_t>(std::clamp<uint64_t>(left, min_expected_delay_s, max_interval_s));
        }
        cv_.notify_all();
        return delay;
    }

    std::vector<command_reply> handle(const command_context &ctx) override
    {
        std::vector<command_reply> out;
        {
            std::lock_guard lock(mu_);
            auto it = nodes_.find(ctx.node_id);
            if (it == nodes_.end())
                return out;
            take(it->second, ctx, delivering_held_, out);
        }
        cv_.notify_all();
        return out;
    }

    // Runs on the loop thread.
    void wake(uint8_t node_id, const endpoint &to)
    {
        std::chrono::milliseconds timeout{0};
        uint64_t generation = 0;
        {
            std::lock_guard lock(mu_);
            auto it = nodes_.find(node_id);
            if (it == nodes_.end())
                return;
            node_state &n = it->second;
            n.awake = true;
            generation = ++n.awake_generation;
            timeout = n.profile.awake_timeout;
        }
        own_packet wun;
        wun.command = {cc_wake_up, wake_up_notification};
        wun.ack_request = report_ack_request_.load();
        wun.from_node = node_id;
        wun.to = to;
        gw_.send_packet(wun);
        {
            std::lock_guard lock(mu_);
            nodes_.at(node_id).wake_ups++;
        }
        cv_.notify_all();
        // The gateway empties its queue for the node as soon as it is awake,
        // before the host (told by the notification) sends anything more: so
        // the node takes the host's frames in the order the host sent them.
        for (;;) {
            held_frame h;
            {
                std::lock_guard lock(mu_);
                node_state &n = nodes_.at(node_id);
                if (!n.awake || n.held.empty())
                    break;
                h = n.held.front();
                delivering_held_ = true;
            }
            gw_.deliver_held(node_id, h.packet, h.from);
            {
                // Taken off only now, so that a node seen with nothing held
                // has recorded all it was handed.
                std::lock_guard lock(mu_);
                delivering_held_ = false;
                nodes_.at(node_id).held.pop_front();
            }
            cv_.notify_all();
        }
        if (timeout.count() > 0)
            gw_.post_node_task(timeout, [this, node_id, generation] { sleep(node_id, generation); });
    }

    // Runs on the loop thread; generation 0 always acts.
    void sleep(uint8_t node_id, uint64_t generation)
    {
        {
            std::lock_guard lock(mu_);
            auto it = nodes_.find(node_id);
            if (it == nodes_.end())
                return;
            node_state &n = it->second;
            if (generation != 0 && generation != n.awake_generation)
                return;
            go_to_sleep(n);
        }
        cv_.notify_all();
    }

    static void go_to_sleep(node_state &n)
    {
        n.awake = false;
        n.awake_generation++;
        n.asleep_since = clk::now();
    }

    // mu_ held. Records the command(s) of one packet and runs them.
    void take(node_state &n, const command_context &ctx, bool held, std::vector<command_reply> &out)
    {
        const zip_packet &p = ctx.packet;
        if (p.command.empty())
            return;
        auto record = [&](const bytes &cmd, int multi_index) {
            node_command c;
            c.index = next_index_++;
            c.node_id = n.profile.node_id;
            c.command = cmd;
            c.seq = p.seq;
            c.flags0 = p.flags0;
            c.flags1 = p.flags1;
            c.src_ep = p.src_ep;
            c.dst_ep = p.dst_ep();
            c.bit_address = p.bit_address();
            c.options = p.options;
            c.encap_format = p.encap_format();
            c.from = ctx.from;
            c.multi_index = multi_index;
            c.held = held;
            c.time = clk::now();
            commands_.push_back(std::move(c));
            while (commands_.size() > max_commands)
                commands_.pop_front();
        };
        if (p.dst_ep() != 0 && !p.bit_address() && n.ep_states.count(p.dst_ep())) {
            record(p.command, -1);
            run_ep(n, p, p.command, out);
            return;
        }
        if (p.dst_ep() != 0 || p.bit_address()) {
            record(p.command, -1);
            note_violation(violations_, n.profile.node_id,
                           "command to end point " + std::to_string(p.dst_ep()) + " of a node without end points",
                           p.command);
            return;
        }
        if (p.command[0] != cc_multi_cmd) {
            record(p.command, -1);
            run(n, p, ctx.from, p.command, out);
            return;
        }
        if (!n.find(cc_multi_cmd)) {
            record(p.command, -1);
            note_violation(violations_, n.profile.node_id, "Multi Command to a node without that class", p.command);
            return;
        }
        std::string why;
        std::vector<bytes> parts = split_multi(p.command, why);
        if (parts.empty()) {
            record(p.command, -1);
            note_violation(violations_, n.profile.node_id, why, p.command);
            return;
        }
        for (size_t i = 0; i < parts.size(); i++)
            record(parts[i], static_cast<int>(i));
        for (const bytes &part : parts)
            run(n, p, ctx.from, part, out);
    }

    // mu_ held. One command to the node's class row; its answer joins `out`.
    void run(node_state &n, const zip_packet &p, const endpoint &from, const bytes &cmd, std::vector<command_reply> &out)
    {
        const class_row *row = row_of(cmd[0]);
        class_state *cls = n.find(cmd[0]);
        // A node ignores classes it does not have, and commands too short to name one.
        if (!row || !cls || !row->handle || cmd.size() < 2)
            return;
        class_call call{n, *cls, cmd, violations_};
        std::optional<bytes> answer = row->handle(call);
        if (call.sleep_after)
            go_to_sleep(n);
        if (!answer || n.answers == answer_mode::never) {
            more(n, p, call, out);
            return;
        }
        if (n.answers == answer_mode::held) {
            std::vector<bytes> frames{std::move(*answer)};
            for (auto &m : call.more)
                frames.push_back(std::move(m.first));
            kept_.push_back({n.profile.node_id, from, answer_options(p), std::move(frames)});
            return;
        }
        command_reply r;
        r.command = std::move(*answer);
        r.ack_request = report_ack_request_.load();
        r.delay = n.answers == answer_mode::late ? n.answer_delay : std::chrono::milliseconds(0);
        r.options = answer_options(p);
        out.push_back(std::move(r));
        more(n, p, call, out);
    }

    // The node answers at the security level it was asked at.
    static std::vector<zip_option> answer_options(const zip_packet &p)
    {
        std::vector<zip_option> options;
        if (auto format = p.encap_format())
            options.push_back({option_encap_format, true,
                               {static_cast<uint8_t>(*format >> 8), static_cast<uint8_t>(*format)}});
        return options;
    }

    // Runs on the loop thread: the kept answers, frame by frame in turn.
    void release(std::deque<kept_answer> answers)
    {
        const bool ack = report_ack_request_.load();
        for (size_t f = 0;; f++) {
            bool sent = false;
            for (const kept_answer &a : answers) {
                if (f >= a.frames.size())
                    continue;
                own_packet pkt;
                pkt.command = a.frames[f];
                pkt.ack_request = ack;
                pkt.options = a.options;
                pkt.from_node = a.node_id;
                pkt.to = a.to;
                gw_.send_packet(pkt);
                sent = true;
            }
            if (!sent)
                break;
        }
    }

    // mu_ held. One command to an endpoint: its own class state, and its
    // secure classes through Security.
    void run_ep(node_state &n, const zip_packet &p, const bytes &cmd, std::vector<command_reply> &out)
    {
        auto &states = n.ep_states[p.dst_ep()];
        std::optional<bytes> answer;
        if (cmd.size() >= 2 && cmd[0] == cc_security && cmd[1] == 0x02 && states.count(cc_security)) {
            bytes r{cc_security, 0x03, 0x00};
            for (uint8_t c : ep_secure_classes(n.profile, p.dst_ep()))
                r.push_back(c);
            answer = std::move(r);
        } else {
            const class_row *row = cmd.empty() ? nullptr : row_of(cmd[0]);
            auto it = cmd.empty() ? states.end() : states.find(cmd[0]);
            if (!row || it == states.end() || !row->handle || cmd.size() < 2)
                return;
            class_call call{n, it->second, cmd, violations_};
            answer = row->handle(call);
        }
        if (!answer || n.answers == answer_mode::never)
            return;
        command_reply r;
        r.command = std::move(*answer);
        r.ack_request = report_ack_request_.load();
        r.delay = n.answers == answer_mode::late ? n.answer_delay : std::chrono::milliseconds(0);
        out.push_back(std::move(r));
    }


    // mu_ held. What the node sends by itself after a command.
    void more(node_state &n, const zip_packet &p, class_call &call, std::vector<command_reply> &out)
    {
        if (n.answers == answer_mode::never)
            return;
        for (auto &[cmd, delay] : call.more) {
            command_reply r;
            r.command = std::move(cmd);
            r.ack_request = report_ack_request_.load();
            r.delay = delay + (n.answers == answer_mode::late ? n.answer_delay : std::chrono::milliseconds(0));
            r.options = answer_options(p);
            out.push_back(std::move(r));
        }
    }

    gateway &gw_;
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    std::map<uint8_t, node_state> nodes_;
    std::deque<node_command> commands_; // the newest max_commands
    uint64_t next_index_ = 0;
    std::deque<std::string> violations_; // the newest max_commands
    std::optional<endpoint> unsolicited_;
    std::atomic<bool> report_ack_request_{false};
    bool delivering_held_ = false; // loop thread: deliver_held runs, so handle() sees a held frame
    std::deque<kept_answer> kept_;  // answers of nodes in answer_mode::held, in the order of their Gets
};

node_model::node_model(gateway &gw) : gw_(gw), impl_(std::make_unique<impl>(gw)) { gw_.set_node_layer(impl_.get()); }

int node_model::add(const std::vector<node_profile> &nodes)
{
    for (const node_profile &p : nodes)
        if (int rc = add(p); rc < 0)
            return rc;
    return 0;
}

node_model::~node_model() { gw_.set_node_layer(nullptr); }

int node_model::add(const node_profile &p)
{
    if (p.node_id == 0 || p.node_id > 232)
        return -EINVAL;
    node_state n;
    n.profile = p;
    for (const class_profile &c : p.classes) {
        const class_row *row = row_of(c.cmd_class);
        if (!row || c.version == 0 || c.version > row->max_version || n.classes.count(c.cmd_class))
            return -EINVAL;
        bytes values = c.values.empty() ? row->defaults(p) : c.values;
        if (!state_fits(*row, values, c.version))
            return -EINVAL;
        n.classes[c.cmd_class] = {c.version, std::move(values)};
    }
    if (const class_state *mc = n.find(cc_multi_channel)) {
        for (unsigned ep = 1; ep <= mc->values[0]; ep++) {
            auto &states = n.ep_states[static_cast<uint8_t>(ep)];
            auto add_cls = [&](uint8_t cls) {
                if (cls == cc_security) {
                    states[cls] = {1, {}};
                } else if (const class_row *row = row_of(cls); row && row->handle) {
                    const class_state *root = n.find(cls);
                    states[cls] = {root ? root->version : uint8_t(1), row->defaults(p)};
                }
            };
            for (uint8_t cls : ep_classes(p, static_cast<uint8_t>(ep)))
                add_cls(cls);
            for (uint8_t cls : ep_secure_classes(p, static_cast<uint8_t>(ep)))
                add_cls(cls);
        }
    }
    n.awake = p.kind != node_kind::sleeping;
    {
        std::lock_guard lock(impl_->mu_);
        if (impl_->nodes_.count(p.node_id))
            return -EEXIST;
    }
    if (!gw_.node(p.node_id)) {
        // A node answers on the gateway's port, known once it runs.
        if (!gw_.running())
            return -ENOTCONN;
        // Node N lives in the gateway's /24, at .N.
        const std::string gw_address = gw_.address().address;
        const std::string address = gw_address.substr(0, gw_address.rfind('.') + 1) + std::to_string(p.node_id);
        if (int rc = gw_.add_node(p.node_id, address); rc < 0)
            return rc;
    }
    if (std::optional<endpoint> at = gw_.node(p.node_id))
        inet_pton(AF_INET, at->address.c_str(), n.v4);
    {
        std::lock_guard lock(impl_->mu_);
        if (!impl_->nodes_.emplace(p.node_id, std::move(n)).second)
            return -EEXIST;
    }
    impl_->cv_.notify_all();
    return 0;
}

std::vector<uint8_t> node_model::node_ids() const
{
    std::lock_guard lock(impl_->mu_);
    std::vector<uint8_t> out;
    for (const auto &kv : impl_->nodes_)
        out.push_back(kv.first);
    return out;
}

namespace {

node_view view_of(const node_state &n)
{
    node_view v;
    v.profile = n.profile;
    v.awake = n.awake;
    v.held = n.held.size();
    v.wake_ups = n.wake_ups;
    v.answers = n.answers;
    v.answer_delay = n.answer_delay;
    for (const auto &kv : n.classes)
        v.values[kv.first] = kv.second.values;
    return v;
}

} // namespace

std::optional<node_view> node_model::view(uint8_t node_id) const
{
    std::lock_guard lock(impl_->mu_);
    auto it = impl_->nodes_.find(node_id);
    if (it == impl_->nodes_.end())
        return std::nullopt;
    return view_of(it->second);
}

std::optional<std::vector<uint8_t>> node_model::values(uint8_t node_id, uint8_t cmd_class) const
{
    std::lock_guard lock(impl_->mu_);
    auto it = impl_->nodes_.find(node_id);
    if (it == impl_->nodes_.end())
        return std::nullopt;
    const class_state *c = it->second.find(cmd_class);
    if (!c)
        return std::nullopt;
    return c->values;
}

int node_model::set_values(uint8_t node_id, uint8_t cmd_class, std::vector<uint8_t> values)
{
    {
        std::lock_guard lock(impl_->mu_);
        auto it = impl_->nodes_.find(node_id);
        if (it == impl_->nodes_.end())
            return -ENOENT;
        class_state *c = it->second.find(cmd_class);
        const class_row *row = row_of(cmd_class);
        if (!c || !row)
            return -ENOENT;
        if (!state_fits(*row, values, c->version))
            return -EINVAL;
        c->values = std::move(values);
    }
    impl_->cv_.notify_all();
    return 0;
}

int node_model::set_answers(uint8_t node_id, answer_mode mode, std::chrono::milliseconds delay)
{
    {
        std::lock_guard lock(impl_->mu_);
        auto it = impl_->nodes_.find(node_id);
        if (it == impl_->nodes_.end())
            return -ENOENT;
        it->second.answers = mode;
        it->second.answer_delay = delay;
    }
    impl_->cv_.notify_all();
    return 0;
}

size_t node_model::release_answers()
{
    std::deque<kept_answer> answers;
    {
        std::lock_guard lock(impl_->mu_);
        answers.swap(impl_->kept_);
    }
    const size_t n = answers.size();
    if (n != 0)
        gw_.post_node_task(std::chrono::milliseconds(0), [self = impl_.get(), answers = std::move(answers)]() mutable {
            self->release(std::move(answers));
        });
    return n;
}

void node_model::set_unsolicited_destination(std::optional<endpoint> to)
{
    std::lock_guard lock(impl_->mu_);
    impl_->unsolicited_ = std::move(to);
}

void node_model::set_report_ack_request(bool on) { impl_->report_ack_request_.store(on); }

namespace {

// The destination of a node's own frame: the caller's, the model's, or the
// gateway's last client (taken outside the model's lock).
std::optional<endpoint> destination(const std::optional<endpoint> &to, const std::optional<endpoint> &unsolicited,
                                    const gateway &gw)
{
    if (to)
        return to;
    if (unsolicited)
        return unsolicited;
    return gw.last_client();
}

} // namespace

int node_model::wake_up(uint8_t node_id, std::optional<endpoint> to)
{
    std::optional<endpoint> unsolicited;
    {
        std::lock_guard lock(impl_->mu_);
        auto it = impl_->nodes_.find(node_id);
        if (it == impl_->nodes_.end())
            return -ENOENT;
        if (it->second.profile.kind != node_kind::sleeping)
            return -EINVAL;
        unsolicited = impl_->unsolicited_;
    }
    std::optional<endpoint> dest = destination(to, unsolicited, gw_);
    if (!dest)
        return -ENOTCONN;
    impl *self = impl_.get();
    gw_.post_node_task(std::chrono::milliseconds(0), [self, node_id, d = *dest] { self->wake(node_id, d); });
    return 0;
}

int node_model::fall_asleep(uint8_t node_id)
{
    {
        std::lock_guard lock(impl_->mu_);
        auto it = impl_->nodes_.find(node_id);
        if (it == impl_->nodes_.end())
            return -ENOENT;
        if (it->second.profile.kind != node_kind::sleeping)
            return -EINVAL;
    }
    impl *self = impl_.get();
    gw_.post_node_task(std::chrono::milliseconds(0), [self, node_id] { self->sleep(node_id, 0); });
    return 0;
}

int node_model::send_report(uint8_t node_id, uint8_t cmd_class, std::optional<endpoint> to)
{
    bytes report;
    {
        std::lock_guard lock(impl_->mu_);
        auto it = impl_->nodes_.find(node_id);
        if (it == impl_->nodes_.end())
            return -ENOENT;
        const class_state *c = it->second.find(cmd_class);
        const class_row *row = row_of(cmd_class);
        if (!c || !row)
            return -ENOENT;
        report = row->report(it->second, *c);
        if (report.empty())
            return -ENOENT;
    }
    return send_command(node_id, std::move(report), std::move(to), impl_->report_ack_request_.load());
}

int node_model::send_command(uint8_t node_id, std::vector<uint8_t> command, std::optional<endpoint> to,
                             bool ack_request)
{
    std::optional<endpoint> unsolicited;
    {
        std::lock_guard lock(impl_->mu_);
        if (!impl_->nodes_.count(node_id))
            return -ENOENT;
        unsolicited = impl_->unsolicited_;
    }
    std::optional<endpoint> dest = destination(to, unsolicited, gw_);
    if (!dest)
        return -ENOTCONN;
    own_packet p;
    p.command = std::move(command);
    p.ack_request = ack_request;
    p.from_node = node_id;
    p.to = dest;
    return gw_.send_packet(p);
}

std::vector<node_command> node_model::commands(uint8_t node_id) const
{
    std::lock_guard lock(impl_->mu_);
    std::vector<node_command> out;
    for (const node_command &c : impl_->commands_)
        if (node_id == 0 || c.node_id == node_id)
            out.push_back(c);
    return out;
}

uint64_t node_model::next_command_index() const
{
    std::lock_guard lock(impl_->mu_);
    return impl_->next_index_;
}

std::optional<node_command> node_model::wait_command(const command_predicate &pred, std::chrono::milliseconds timeout,
                                                     uint64_t from_index) const
{
    const auto deadline = clk::now() + timeout;
    std::unique_lock lock(impl_->mu_);
    uint64_t checked = from_index; // commands below this index were tested
    auto scan = [&]() -> std::optional<node_command> {
        for (const node_command &c : impl_->commands_) {
            if (c.index < checked)
                continue;
            checked = c.index + 1;
            if (pred(c))
                return c;
        }
        return std::nullopt;
    };
    for (;;) {
        if (auto c = scan())
            return c;
        if (impl_->cv_.wait_until(lock, deadline) == std::cv_status::timeout)
            return scan();
    }
}

std::optional<node_command> node_model::wait_command(uint8_t node_id, uint8_t cmd_class, uint8_t command,
                                                     std::chrono::milliseconds timeout, uint64_t from_index) const
{
    return wait_command(
        [=](const node_command &c) {
            return c.node_id == node_id && c.command.size() >= 2 && c.command[0] == cmd_class &&
                   c.command[1] == command;
        },
        timeout, from_index);
}

bool node_model::wait_view(uint8_t node_id, const std::function<bool(const node_view &)> &pred,
                           std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(impl_->mu_);
    return impl_->cv_.wait_for(lock, timeout, [&] {
        auto it = impl_->nodes_.find(node_id);
        return it != impl_->nodes_.end() && pred(view_of(it->second));
    });
}

bool node_model::wait_awake(uint8_t node_id, bool awake, std::chrono::milliseconds timeout) const
{
    return wait_view(node_id, [awake](const node_view &v) { return v.awake == awake; }, timeout);
}

std::vector<std::string> node_model::violations() const
{
    std::lock_guard lock(impl_->mu_);
    return {impl_->violations_.begin(), impl_->violations_.end()};
}

} // namespace sim

namespace sim {

std::optional<firmware_view> node_model::firmware(uint8_t node_id) const
{
    std::lock_guard lock(impl_->mu_);
    auto it = impl_->nodes_.find(node_id);
    if (it == impl_->nodes_.end() || !it->second.find(cc_fw_update))
        return std::nullopt;
    return it->second.fw.view;
}

int node_model::set_fw_restart(uint8_t node_id, std::chrono::milliseconds down)
{
    std::lock_guard lock(impl_->mu_);
    auto it = impl_->nodes_.find(node_id);
    if (it == impl_->nodes_.end() || !it->second.find(cc_fw_update))
        return -ENOENT;
    node_state &n = it->second;
    n.restart_down = down;
    if (clk::now() < n.down_until)
        n.down_until = n.down_since + down;
    return 0;
}

int node_model::corrupt_fw_fragment(uint8_t node_id, uint16_t rpt_num)
{
    std::lock_guard lock(impl_->mu_);
    auto it = impl_->nodes_.find(node_id);
    if (it == impl_->nodes_.end() || !it->second.find(cc_fw_update))
        return -ENOENT;
    it->second.fw.corrupt.push_back(rpt_num);
    return 0;
}

} // namespace sim
