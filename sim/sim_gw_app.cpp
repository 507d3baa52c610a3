#include "sim/sim_gw_app.h"

#include <algorithm>

namespace sim {

namespace {

using bytes = std::vector<uint8_t>;

constexpr uint8_t cc_zip_gateway = 0x5F;
constexpr uint8_t cc_mailbox = 0x69;
constexpr uint8_t cc_manufacturer = 0x72;
constexpr uint8_t cc_version = 0x86;
constexpr uint8_t cc_zwave_plus = 0x5E;

// Appends one byte at a time: g++ 12 sees false bounds errors in range
// inserts into these short vectors under some optimisation levels.
void put(bytes &b, const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        b.push_back(p[i]);
}

void put16(bytes &b, uint16_t v)
{
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

}  // namespace

nm_node gw_self_node(uint8_t node_id)
{
    nm_node self;
    self.node_id = node_id;
    self.basic = 0x02;
    self.generic = 0x02;
    self.specific = 0x07;
    self.classes = {0x5E, 0x34, 0x4D, 0x52, 0x54, 0x23, 0x58, 0x5F, 0x69, 0x72, 0x7A, 0x86};
    return self;
}

std::vector<nm_node> sample_network()
{
    struct row {
        uint8_t id;
        bool listening, flirs, has_address;
        uint8_t generic, specific;
        std::vector<uint8_t> classes;
    };
    static const row rows[] = {
        {2, true, false, true, 0x10, 0x01, {0x5E, 0x25, 0x26, 0x32, 0x86, 0x72, 0x85, 0x59, 0x5A, 0x73, 0x70}},
        {3, false, false, true, 0x07, 0x01, {0x5E, 0x80, 0x84, 0x30, 0x71, 0x86, 0x72}},
        {4, true, false, true, 0x10, 0x01, {0x25, 0x86}},
        {5, true, false, false, 0x10, 0x01, {0x25}},
        {6, false, true, true, 0x40, 0x03, {0x5E, 0x62, 0x80, 0x86, 0x72, 0x98}},
    };
    std::vector<nm_node> out;
    for (const row &r : rows) {
        nm_node n;
        n.node_id = r.id;
        n.listening = r.listening;
        n.flirs = r.flirs;
        n.has_address = r.has_address;
        n.generic = r.generic;
        n.specific = r.specific;
        n.classes = r.classes;
        out.push_back(n);
    }
    return out;
}

gw_app::gw_app(gateway &gw, gw_app_config config) : gw_(gw), cfg_(std::move(config))
{
    for (uint8_t cls : {cc_zip_gateway, cc_mailbox, cc_manufacturer, cc_version, cc_zwave_plus})
        handler_ids_.push_back(
            gw_.on_command(cls, any_command, [this](const command_context &c) { return handle(c); }));
}

gw_app::~gw_app()
{
    for (int id : handler_ids_)
        gw_.remove_handler(id);
}

std::optional<std::vector<command_reply>> gw_app::handle(const command_context &c)
{
    if (c.node_id != 0)
        return std::nullopt;  // a node's own address
    std::vector<command_reply> out;
    for (bytes &r : answer(c.packet.command))
        out.push_back({std::move(r), false, std::chrono::milliseconds(0)});
    return out;
}

std::vector<bytes> gw_app::answer(const bytes &cmd)
{
    std::lock_guard lk(mu_);
    if (cmd.size() < 2)
        return {};
    const uint8_t cls = cmd[0], code = cmd[1];
    if (silenced_.erase(static_cast<uint16_t>(cls << 8 | code)) != 0)
        return {};
    switch (cls << 8 | code) {
    case cc_version << 8 | 0x11: {  // Version Get
        bytes r{cc_version, 0x12, cfg_.lib_type};
        put16(r, cfg_.proto_ver);
        put16(r, cfg_.app_ver);
        r.push_back(cfg_.hw_ver);
        const size_t extra = cfg_.fw_versions.size();
        r.push_back(static_cast<uint8_t>(extra));
        for (uint16_t v : cfg_.fw_versions)
            put16(r, v);
        return {r};
    }
    case cc_version << 8 | 0x13: {  // Command Class Version Get
        if (cmd.size() < 3)
            return {};
        const auto it = cfg_.class_versions.find(cmd[2]);
        return {{cc_version, 0x14, cmd[2], static_cast<uint8_t>(it != cfg_.class_versions.end() ? it->second : 0)}};
    }
    case cc_manufacturer << 8 | 0x04: {
        bytes r{cc_manufacturer, 0x05};
        put16(r, cfg_.manufacturer);
        put16(r, cfg_.product_type);
        put16(r, cfg_.product_id);
        return {r};
    }
    case cc_manufacturer << 8 | 0x06: {
        const uint8_t type = cmd.size() >= 3 ? (cmd[2] & 0x07) : 0;
        const auto n = static_cast<uint8_t>(std::min<size_t>(cfg_.device_id.size(), 0x1F));
        bytes r{cc_manufacturer, 0x07, type, n};
        put(r, cfg_.device_id.data(), n);
        return {r};
    }
    case cc_mailbox << 8 | 0x01: {
        bytes r{cc_mailbox, 0x03, static_cast<uint8_t>((cfg_.mailbox_modes & 0x03) << 3 | (cfg_.mailbox_mode & 0x07))};
        put16(r, cfg_.mailbox_capacity);
        const uint8_t fwd[16] = {};
        put(r, fwd, sizeof fwd);
        put16(r, 0);
        return {r};
    }
    case cc_mailbox << 8 | 0x02:
        if (cmd.size() >= 3)
            cfg_.mailbox_mode = cmd[2] & 0x07;
        return {};
    case cc_zwave_plus << 8 | 0x01:
        return {{cc_zwave_plus, 0x02, 0x02, 0x00, 0x07, 0x05, 0x00, 0x05, 0x00}};
    case cc_zip_gateway << 8 | 0x08:  // Unsolicited Destination Set
        if (cmd.size() >= 20) {
            std::copy(cmd.begin() + 2, cmd.begin() + 18, cfg_.unsol_addr.begin());
            cfg_.unsol_port = static_cast<uint16_t>(cmd[18] << 8 | cmd[19]);
        }
        return {};
    case cc_zip_gateway << 8 | 0x09: {  // Unsolicited Destination Get
        bytes r{cc_zip_gateway, 0x0A};
        put(r, cfg_.unsol_addr.data(), cfg_.unsol_addr.size());
        put16(r, cfg_.unsol_port);
        return {r};
    }
    case cc_zip_gateway << 8 | 0x0B:  // Application Node Info Set
        app_nif_ = bytes();
        put(*app_nif_, cmd.data() + 2, cmd.size() - 2);
        return {};
    default:
        return {};
    }
}

std::pair<std::array<uint8_t, 16>, uint16_t> gw_app::unsol_destination() const
{
    std::lock_guard lk(mu_);
    return {cfg_.unsol_addr, cfg_.unsol_port};
}

std::optional<std::vector<uint8_t>> gw_app::app_node_info() const
{
    std::lock_guard lk(mu_);
    return app_nif_;
}

uint8_t gw_app::mailbox_mode() const
{
    std::lock_guard lk(mu_);
    return cfg_.mailbox_mode;
}

void gw_app::silence_next(uint8_t cmd_class, uint8_t command)
{
    std::lock_guard lk(mu_);
    silenced_.insert(static_cast<uint16_t>(cmd_class << 8 | command));
}

}  // namespace sim
