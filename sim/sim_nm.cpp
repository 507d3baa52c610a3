#include "sim/sim_nm.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sim {

namespace {

using bytes = std::vector<uint8_t>;

// Request layouts as the gateway reads them: fixed length (or -1 when the
// length follows from the content) and the bytes that must hold one value.
struct request_layout {
    uint8_t cmd_class;
    uint8_t command;
    const char *name;
    int length;
    int fixed_at;  // index of a fixed byte, or -1
    uint8_t fixed_value;
};

constexpr request_layout request_layouts[] = {
    {nm_proxy_class, 0x01, "node list get", 3, -1, 0},
    {nm_proxy_class, 0x03, "node info cached get", 5, -1, 0},
    {nm_proxy_class, 0x05, "multi channel end point get", 4, -1, 0},
    {nm_proxy_class, 0x07, "multi channel capability get", 5, -1, 0},
    {nm_proxy_class, 0x09, "multi channel aggregated members get", 5, -1, 0},
    {nm_basic_class, 0x01, "learn mode set", 5, 3, 0x01},
    {nm_basic_class, 0x03, "network update request", 3, -1, 0},
    {nm_basic_class, 0x05, "node information send", 6, 3, 0x00},
    {nm_basic_class, 0x06, "default set", 3, -1, 0},
    {nm_basic_class, 0x08, "DSK get", 4, -1, 0},
    {nm_inclusion_class, 0x01, "node add", 6, 3, 0x00},
    {nm_inclusion_class, 0x03, "node remove", 5, 3, 0x00},
    {nm_inclusion_class, 0x07, "failed node remove", 4, -1, 0},
    {nm_inclusion_class, 0x09, "failed node replace", 6, -1, 0},
    {nm_inclusion_class, 0x0B, "node neighbor update request", 4, -1, 0},
    {nm_inclusion_class, 0x0D, "return route assign", 5, -1, 0},
    {nm_inclusion_class, 0x0F, "return route delete", 4, -1, 0},
    {nm_inclusion_class, 0x12, "node add keys set", 5, -1, 0},
    {nm_inclusion_class, 0x14, "node add DSK set", -1, -1, 0},
    {nm_inclusion_class, 0x15, "white list list get", 3, -1, 0},
    {nm_inclusion_class, 0x17, "white list set", -1, -1, 0},
    {nm_inclusion_class, 0x18, "white list get", -1, -1, 0},
    {nm_primary_class, 0x01, "controller change", 6, 3, 0x00},
    {zip_nd_class, 0x03, "node solicitation", 20, 2, 0x00},
    {zip_nd_class, 0x04, "inverse node solicitation", 4, 2, 0x04},
};

const request_layout *layout_of(uint8_t cmd_class, uint8_t command)
{
    for (const request_layout &l : request_layouts)
        if (l.cmd_class == cmd_class && l.command == command)
            return &l;
    return nullptr;
}

std::string why(const request_layout &l, const std::string &what, const bytes &c)
{
    return std::string(l.name) + ": " + what + " [" + hex_text(c) + "]";
}

// White-list records {type 1 or 2, length, text} must fill the rest exactly.
bool records_well_formed(const uint8_t *p, size_t n)
{
    size_t pos = 0;
    while (pos < n) {
        if (n - pos < 2)
            return false;
        const uint8_t type = p[pos], len = p[pos + 1];
        if ((type != 1 && type != 2) || len > 64 || n - pos - 2 < len)
            return false;
        pos += 2u + len;
    }
    return true;
}

bytes u32_be(uint32_t v)
{
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v)};
}

void append(bytes &to, const bytes &from) { to.insert(to.end(), from.begin(), from.end()); }

// An IPv4 address as the IPv4-mapped IPv6 address of an advertisement.
bytes mapped(const std::string &ipv4)
{
    bytes a(16, 0);
    in_addr v4{};
    if (inet_pton(AF_INET, ipv4.c_str(), &v4) != 1)
        return a;
    a[10] = a[11] = 0xFF;
    std::memcpy(a.data() + 12, &v4, 4);
    return a;
}

}  // namespace

std::string nm_check_request(const bytes &c)
{
    if (c.size() < 2)
        return "request shorter than class and command [" + hex_text(c) + "]";
    const request_layout *l = layout_of(c[0], c[1]);
    if (l == nullptr)
        return "not a request the gateway knows [" + hex_text(c) + "]";
    const size_t n = c.size();
    if (n < 3)
        return why(*l, "no sequence number", c);
    if (l->length >= 0 && n != static_cast<size_t>(l->length))
        return why(*l, "length " + std::to_string(n) + ", expected " + std::to_string(l->length), c);
    if (l->fixed_at >= 0 && c[l->fixed_at] != l->fixed_value)
        return why(*l, "byte " + std::to_string(l->fixed_at) + " is not fixed", c);
    if (c[0] == zip_nd_class && c[1] == 0x03 && c[3] != 0)
        return why(*l, "byte 3 is not 0", c);
    switch (c[0] << 8 | c[1]) {
    case nm_proxy_class << 8 | 0x03:
        if (c[3] > 15)
            return why(*l, "maximum age above 15", c);
        break;
    case nm_basic_class << 8 | 0x08:
        if (c[3] > 1)
            return why(*l, "add mode other than 0 or 1", c);
        break;
    case nm_inclusion_class << 8 | 0x12:
        if ((c[3] & ~0x03) != 0 || ((c[3] & 0x01) != 0) != (c[4] != 0))
            return why(*l, "flags do not match the granted keys", c);
        break;
    case nm_inclusion_class << 8 | 0x14: {
        if (n < 4)
            return why(*l, "no accept byte", c);
        const bool accept = c[3] & 0x80;
        const size_t input = c[3] & 0x7F;
        if ((!accept && c[3] != 0) || input > 16 || n != 4 + input)
            return why(*l, "input length does not match", c);
        break;
    }
    case nm_inclusion_class << 8 | 0x17: {
        if (n < 4)
            return why(*l, "no flags", c);
        const uint8_t flags = c[3];
        if (flags & 0x02) {
            if (n != 4)
                return why(*l, "clear all is 4 bytes", c);
            break;
        }
        if (n < 5 || c[4] > 16 || n < 5u + c[4])
            return why(*l, "DSK does not fit", c);
        const size_t d = c[4];
        if (flags & 0x01) {
            if (n != 5 + d)
                return why(*l, "remove is DSK length + 5 bytes", c);
            break;
        }
        if (n < 7 + d)
            return why(*l, "no granted keys", c);
        if (c[5 + d] != (c[6 + d] != 0 ? 1 : 0))
            return why(*l, "key flag does not match the granted keys", c);
        if (!records_well_formed(c.data() + 7 + d, n - 7 - d))
            return why(*l, "text records malformed", c);
        break;
    }
    case nm_inclusion_class << 8 | 0x18:
        if (n < 4 || c[3] > 16 || n != 4u + c[3])
            return why(*l, "DSK length does not match", c);
        break;
    default:
        break;
    }
    return {};
}

nm_gateway::nm_gateway(gateway &gw, nm_config config) : gw_(gw), cfg_(std::move(config))
{
    if (node(cfg_.own_node_id) == nullptr) {
        nm_node self;
        self.node_id = cfg_.own_node_id;
        self.basic = 0x02;
        self.generic = 0x02;
        self.specific = 0x07;
        self.classes = {0x5E, 0x34, 0x4D, 0x52, 0x54, 0x23, 0x58, 0x86};
        cfg_.nodes.insert(cfg_.nodes.begin(), self);
    }
    for (uint8_t cls : {nm_inclusion_class, nm_basic_class, nm_proxy_class, nm_primary_class})
        handler_ids_.push_back(
            gw_.on_command(cls, any_command, [this](const command_context &c) { return handle(c); }));
    nd_thread_ = std::thread([this] { nd_loop(); });
    observer_id_ = gw_.add_observer([this](const recorded_frame &r) {
        // The ACK of a held request (from the gateway, or a third address
        // when the policy says so): the hold is now what wait_held reports.
        if (r.dir == direction::sent && (r.node_id == 0 || r.node_id == foreign_node_id) &&
            r.frame.kind == frame_kind::packet && r.frame.packet.ack_response()) {
            bool seen = false;
            {
                std::lock_guard lk(mu_);
                if (held_ && !held_->acked && held_->seq == r.frame.packet.seq && held_->to == r.peer)
                    seen = held_->acked = true;
            }
            if (seen)
                cv_.notify_all();
            return;
        }
        if (r.dir != direction::received || r.frame.kind != frame_kind::node_discovery || r.bytes.size() < 2 ||
            r.node_id != 0)
            return;
        if (r.bytes[1] != 0x03 && r.bytes[1] != 0x04)
            return;  // advertisements are ours to send, not to answer
        {
            std::lock_guard lk(mu_);
            nd_queue_.emplace_back(r.bytes, r.peer);
        }
        cv_.notify_all();
    });
}

nm_gateway::~nm_gateway()
{
    gw_.remove_observer(observer_id_);
    for (int id : handler_ids_)
        gw_.remove_handler(id);
    {
        std::lock_guard lk(mu_);
        nd_stop_ = true;
    }
    cv_.notify_all();
    nd_thread_.join();
}

const nm_node *nm_gateway::node(uint8_t node_id) const
{
    for (const nm_node &n : cfg_.nodes)
        if (n.node_id == node_id)
            return &n;
    return nullptr;
}

void nm_gateway::record(const bytes &cmd, bool in_packet, bool secure, bool ack_request)
{
    {
        std::lock_guard lk(mu_);
        std::string v = nm_check_request(cmd);
        if (v.empty() && in_packet && !secure)
            v = "network-management request without the secure-origin bit [" + hex_text(cmd) + "]";
        if (v.empty() && in_packet && !ack_request)
            v = "network-management request without an ACK request [" + hex_text(cmd) + "]";
        if (!v.empty())
            violations_.push_back(v);
        requests_.push_back({cmd, in_packet, secure, ack_request, std::chrono::steady_clock::now()});
    }
    cv_.notify_all();
}

std::optional<std::vector<command_reply>> nm_gateway::handle(const command_context &c)
{
    const bytes &cmd = c.packet.command;
    if (c.node_id != 0)
        return std::nullopt;  // a node's own address: not the gateway's management
    record(cmd, true, c.packet.secure(), c.packet.ack_request());
    std::vector<command_reply> out;
    std::chrono::milliseconds delay;
    {
        std::lock_guard lk(mu_);
        delay = cfg_.reply_delay;
    }
    std::vector<bytes> frames = answer(cmd);
    bool held = false;
    {
        std::lock_guard lk(mu_);
        const uint16_t key = static_cast<uint16_t>(cmd[0] << 8 | (cmd.size() > 1 ? cmd[1] : 0));
        if (hold_armed_ && !held_ && (!hold_key_ || *hold_key_ == key)) {
            hold_armed_ = false;
            held_ = held_answer{std::move(frames), c.from, c.packet.secure(), c.packet.seq,
                                c.packet.src_ep,     c.packet.dst_ep(),    !c.packet.ack_request()};
            held = true;
        }
    }
    if (held) {
        cv_.notify_all();
        return out;  // the ACK goes now, the answer when the test says
    }
    for (bytes &r : frames)
        out.push_back({std::move(r), false, delay});
    return out;
}

std::vector<uint8_t> nm_gateway::node_info_bytes(const nm_node &n) const
{
    // capability, security, properties, basic, generic, specific, classes
    // security byte: 0x40 = frequently listening with a 1000 ms wake-up beam
    const uint8_t security = static_cast<uint8_t>((n.listening ? 0x9C : 0x1C) | (n.flirs ? 0x40 : 0x00));
    bytes b{static_cast<uint8_t>(n.listening ? 0xD3 : 0x53), security, n.granted_keys,
            n.basic, n.generic, n.specific};
    append(b, n.classes);
    return b;
}

std::vector<bytes> nm_gateway::answer(const bytes &cmd)
{
    std::lock_guard lk(mu_);
    if (!nm_check_request(cmd).empty())
        return {};
    const uint8_t cls = cmd[0], code = cmd[1], seq = cmd[2];
    if (auto it = silenced_.find(static_cast<uint16_t>(cls << 8 | code)); it != silenced_.end()) {
        silenced_.erase(it);
        return {};
    }
    // What the inclusion granted is what the node's cached information says
    // from now on.
    auto keys_granted = [&](uint8_t node_id) {
        for (nm_node &n : cfg_.nodes)
            if (n.node_id == node_id)
                n.granted_keys = incl_keys_;
    };
    auto node_add_final = [&](uint8_t s, uint8_t status, uint8_t node_id, bool with_info) {
        keys_granted(node_id);
        bytes r{nm_inclusion_class, 0x02, s, status, 0x00, node_id};
        const nm_node *n = node(node_id);
        if (with_info && n != nullptr) {
            bytes ni = node_info_bytes(*n);
            // The node-information length counts itself; the capability and
            // security bytes become one byte each of listening/optional.
            bytes part{ni[0], ni[1], n->basic, n->generic, n->specific};
            append(part, n->classes);
            r.push_back(static_cast<uint8_t>(part.size() + 1));
            append(r, part);
        } else {
            r.push_back(0x01);
        }
        r.push_back(incl_keys_);
        r.push_back(0x00);  // no key-exchange failure
        r.push_back(16);
        r.insert(r.end(), cfg_.node_dsk.begin(), cfg_.node_dsk.end());
        return r;
    };
    auto replace_final = [&](uint8_t s, uint8_t node_id) {
        keys_granted(node_id);
        return bytes{nm_inclusion_class, 0x0A, s, 0x04, node_id, incl_keys_, 0x00};
    };
    auto keys_report = [&](uint8_t s) { return bytes{nm_inclusion_class, 0x11, s, static_cast<uint8_t>(cfg_.csa_request ? 0x01 : 0x00), cfg_.requested_keys};
    };

    switch (cls << 8 | code) {
    case nm_proxy_class << 8 | 0x01: {  // node list
        bytes r{nm_proxy_class, 0x02, seq, 0x00, cfg_.suc_node_id};
        bytes mask(29, 0);
        for (const nm_node &n : cfg_.nodes)
            if (n.in_node_list && n.node_id >= 1 && n.node_id <= 232)
                mask[(n.node_id - 1) / 8] |= static_cast<uint8_t>(1u << ((n.node_id - 1) % 8));
        append(r, mask);
        return {r};
    }
    case nm_proxy_class << 8 | 0x03: {  // cached node info
        const nm_node *n = node(cmd[4]);
        if (n == nullptr)
            return {{nm_proxy_class, 0x04, seq, 0x20, 0x00, 0x00, 0x00}};  // status 2: unknown
        bytes ni = node_info_bytes(*n);
        bytes r{nm_proxy_class, 0x04, seq, static_cast<uint8_t>(cmd[3] & 0x0F)};
        append(r, ni);
        return {r};
    }
    case nm_proxy_class << 8 | 0x05: {  // end points
        const nm_node *n = node(cmd[3]);
        const uint8_t eps = n != nullptr ? n->endpoints : 0, aggr = n != nullptr ? n->aggregated : 0;
        return {{nm_proxy_class, 0x06, seq, cmd[3], 0x00, eps, aggr}};
    }
    case nm_proxy_class << 8 | 0x07: {  // end point capability
        const nm_node *n = node(cmd[3]);
        const size_t ep = cmd[4] & 0x7F;
        bytes cl;
        if (n != nullptr) {
            cl = ep >= 1 && ep <= n->ep_class_lists.size() ? n->ep_class_lists[ep - 1] : n->ep_classes;
            if (ep >= 1 && ep <= n->ep_secure_classes.size() && !n->ep_secure_classes[ep - 1].empty()) {
                cl.push_back(0xF1);
                cl.push_back(0x00);
                append(cl, n->ep_secure_classes[ep - 1]);
            }
        }
        bytes r{nm_proxy_class, 0x08, seq, cmd[3], static_cast<uint8_t>(cl.size()), static_cast<uint8_t>(cmd[4] & 0x7F),
                0x10, 0x01};
        append(r, cl);
        return {r};
    }
    case nm_proxy_class << 8 | 0x09:  // aggregated members: end points 1 and 2
        return {{nm_proxy_class, 0x0A, seq, cmd[3], cmd[4], 0x02, 0x01, 0x02}};
    case nm_basic_class << 8 | 0x01: {  // learn mode
        if (cmd[4] == 0)
            return {{nm_basic_class, 0x02, seq, 0x07, 0x00, 0x00}};
        const uint8_t id = cfg_.learn_node_id != 0 ? cfg_.learn_node_id : cfg_.own_node_id;
        bytes r{nm_basic_class, 0x02, seq, 0x06, 0x00, id, 0x87};
        r.insert(r.end(), cfg_.gateway_dsk.begin(), cfg_.gateway_dsk.end());
        return {r};
    }
    case nm_basic_class << 8 | 0x03:
        return {{nm_basic_class, 0x04, seq, 0x00}};
    case nm_basic_class << 8 | 0x05:
        return {};  // the node information goes to the node; nothing comes back
    case nm_basic_class << 8 | 0x06:
        return {{nm_basic_class, 0x07, seq, cfg_.default_set_status}};
    case nm_basic_class << 8 | 0x08: {
        bytes r{nm_basic_class, 0x09, seq, cmd[3]};
        r.insert(r.end(), cfg_.gateway_dsk.begin(), cfg_.gateway_dsk.end());
        return {r};
    }
    case nm_inclusion_class << 8 | 0x01:    // node add
    case nm_inclusion_class << 8 | 0x09: {  // failed node replace
        const bool add = code == 0x01;
        const uint8_t mode = add ? cmd[4] : cmd[5];
        if (mode == 0x05) {  // stop
            incl_active_ = false;
            return {add ? bytes{nm_inclusion_class, 0x02, seq, 0x07, 0x00, 0x00, 0x01}
                        : bytes{nm_inclusion_class, 0x0A, seq, 0x05, cmd[3]}};
        }
        incl_active_ = true;
        incl_cmd_ = code;
        incl_seq_ = seq;
        incl_node_ = add ? cfg_.new_node_id : cmd[3];
        incl_keys_ = 0;
        if (add) {
            // A node the gateway knew the address of but did not list
            // (one waiting to join) is listed from now on.
            auto known = std::find_if(cfg_.nodes.begin(), cfg_.nodes.end(),
                                      [this](const nm_node &n) { return n.node_id == incl_node_; });
            if (known != cfg_.nodes.end()) {
                known->in_node_list = true;
            } else {
                nm_node n;
                n.node_id = incl_node_;
                cfg_.nodes.push_back(n);
            }
        }
        if (cfg_.s2)
            return {keys_report(seq)};
        incl_active_ = false;
        return {add ? node_add_final(seq, 0x06, incl_node_, true) : replace_final(seq, incl_node_)};
    }
    case nm_inclusion_class << 8 | 0x12: {  // keys granted: the node's DSK follows
        if (!incl_active_)
            return {};
        incl_keys_ = cmd[4];
        bytes r{nm_inclusion_class, 0x13, incl_seq_, cfg_.dsk_input_len};
        r.insert(r.end(), cfg_.node_dsk.begin(), cfg_.node_dsk.end());
        if (cfg_.pin_check)
            std::fill_n(r.begin() + 4, std::min<size_t>(cfg_.dsk_input_len, 16), 0);
        return {r};
    }
    case nm_inclusion_class << 8 | 0x14: {  // DSK accepted (or not): the inclusion ends
        if (!incl_active_)
            return {};
        incl_active_ = false;
        const bool accepted = cmd[3] & 0x80;
        const size_t typed = cmd[3] & 0x0F;
        const bool pin_ok = !cfg_.pin_check || (typed >= cfg_.dsk_input_len && cmd.size() >= 4 + typed &&
                                                std::equal(cmd.begin() + 4, cmd.begin() + 4 + cfg_.dsk_input_len,
                                                           cfg_.node_dsk.begin()));
        if (incl_cmd_ == 0x01 && accepted && !pin_ok) {
            std::erase_if(cfg_.nodes, [this](const nm_node &n) { return n.node_id == incl_node_; });
            return {{nm_inclusion_class, 0x02, incl_seq_, 0x07, 0x00, 0x00, 0x01}};
        }
        if (incl_cmd_ == 0x01)
            return {node_add_final(incl_seq_, accepted ? 0x06 : 0x09, incl_node_, true)};
        return {replace_final(incl_seq_, incl_node_)};
    }
    case nm_inclusion_class << 8 | 0x03: {  // node remove
        if (cmd[4] == 0x05)
            return {{nm_inclusion_class, 0x04, seq, 0x07, 0x00}};
        const uint8_t gone = cfg_.removed_node_id;
        std::erase_if(cfg_.nodes, [gone](const nm_node &n) { return n.node_id == gone; });
        return {{nm_inclusion_class, 0x04, seq, 0x06, gone}};
    }
    case nm_inclusion_class << 8 | 0x07: {  // failed node remove
        const uint8_t gone = cmd[3];
        if (cfg_.failed_remove_status != 0x01)
            return {{nm_inclusion_class, 0x08, seq, cfg_.failed_remove_status, gone}};
        std::erase_if(cfg_.nodes, [gone](const nm_node &n) { return n.node_id == gone; });
        return {{nm_inclusion_class, 0x08, seq, 0x01, gone}};
    }
    case nm_inclusion_class << 8 | 0x0B: {
        const bool fails = std::find(cfg_.nbr_failing.begin(), cfg_.nbr_failing.end(), cmd[3]) != cfg_.nbr_failing.end();
        return {{nm_inclusion_class, 0x0C, seq, static_cast<uint8_t>(fails ? 0x23 : 0x22)}};
    }
    case nm_inclusion_class << 8 | 0x0D:
    case nm_inclusion_class << 8 | 0x0F: {
        uint8_t s = seq;
        if (stale_rr_) {
            stale_rr_ = false;
            s = static_cast<uint8_t>(seq - 1);
        }
        return {{nm_inclusion_class, static_cast<uint8_t>(code + 1), s, 0x00}};
    }
    case nm_inclusion_class << 8 | 0x15: {
        bytes r{nm_inclusion_class, 0x16, seq, static_cast<uint8_t>(wl_.size())};
        for (const nm_wl_entry &e : wl_) {
            r.push_back(static_cast<uint8_t>(e.dsk.size()));
            append(r, e.dsk);
        }
        return {r};
    }
    case nm_inclusion_class << 8 | 0x17: {
        const uint8_t flags = cmd[3];
        if (flags & 0x02) {
            wl_.clear();
            return {};
        }
        const size_t d = cmd[4];
        bytes dsk(cmd.begin() + 5, cmd.begin() + 5 + static_cast<long>(d));
        std::erase_if(wl_, [&](const nm_wl_entry &e) { return e.dsk == dsk; });
        if (!(flags & 0x01))
            wl_.push_back({dsk, cmd[6 + d], bytes(cmd.begin() + 7 + static_cast<long>(d), cmd.end())});
        return {};
    }
    case nm_inclusion_class << 8 | 0x18: {
        const size_t d = cmd[3];
        bytes dsk(cmd.begin() + 4, cmd.begin() + 4 + static_cast<long>(d));
        bytes r{nm_inclusion_class, 0x19, seq, static_cast<uint8_t>(d)};
        append(r, dsk);
        auto it = std::find_if(wl_.begin(), wl_.end(), [&](const nm_wl_entry &e) { return e.dsk == dsk; });
        if (it == wl_.end()) {
            r.push_back(0x00);
            r.push_back(0x00);
        } else {
            r.push_back(it->keys != 0 ? 0x01 : 0x00);
            r.push_back(it->keys);
            append(r, it->records);
        }
        return {r};
    }
    case nm_primary_class << 8 | 0x01: {  // controller change
        if (cmd[4] == 0x05)
            return {{nm_primary_class, 0x02, seq, 0x07, 0x00, 0x00, 0x01}};
        nm_node n;
        n.node_id = cfg_.new_node_id;
        bytes part{0xD3, 0x9C, 0x02, 0x02, 0x07};
        append(part, n.classes);
        bytes r{nm_primary_class, 0x02, seq, 0x06, 0x00, n.node_id, static_cast<uint8_t>(part.size() + 1)};
        append(r, part);
        return {r};
    }
    default:
        return {};
    }
}

std::vector<uint8_t> nm_gateway::advertisement(uint8_t node_id, bool local) const
{
    // The gateway's own node is at its own address, other nodes at theirs;
    // a node without an address of its own is reached through the gateway.
    std::optional<std::string> addr;
    bool known;
    uint32_t home_id;
    {
        std::lock_guard lk(mu_);
        const nm_node *n = node(node_id);
        known = n != nullptr;
        home_id = cfg_.home_id;
        if (known && n->has_address)
            addr = node_id == cfg_.own_node_id ? gw_.address().address
                                               : gw_.node(node_id).value_or(gw_.address()).address;
    }
    bytes r{zip_nd_class, 0x01, static_cast<uint8_t>((local ? 0x04 : 0x00) | (known ? 0x00 : 0x02)), node_id};
    append(r, addr ? mapped(*addr) : bytes(16, 0));
    append(r, u32_be(home_id));
    return r;
}

uint8_t nm_gateway::node_of_address(const uint8_t *a) const
{
    std::lock_guard lk(mu_);
    if (std::equal(a, a + 16, mapped(gw_.address().address).begin()))
        return cfg_.own_node_id;
    for (const nm_node &n : cfg_.nodes)
        if (auto e = gw_.node(n.node_id); e && std::equal(a, a + 16, mapped(e->address).begin()))
            return n.node_id;
    return 0;
}

void nm_gateway::nd_loop()
{
    std::unique_lock lk(mu_);
    for (;;) {
        cv_.wait(lk, [this] { return nd_stop_ || !nd_queue_.empty(); });
        if (nd_stop_)
            return;
        auto [cmd, from] = std::move(nd_queue_.front());
        nd_queue_.pop_front();
        const std::chrono::milliseconds delay = cfg_.reply_delay;
        lk.unlock();
        record(cmd, false, false, false);
        std::optional<uint8_t> asked;
        if (nm_check_request(cmd).empty())
            asked = cmd[1] == 0x04 ? cmd[3] : node_of_address(cmd.data() + 4);
        bool silent = false;
        {
            std::lock_guard g(mu_);
            auto it = silenced_.find(static_cast<uint16_t>(zip_nd_class << 8 | cmd[1]));
            silent = it != silenced_.end();
            if (silent)
                silenced_.erase(it);
        }
        if (asked && !silent) {
            if (delay.count() > 0)
                std::this_thread::sleep_for(delay);
            gw_.send_raw(advertisement(*asked), 0, from);
        }
        lk.lock();
    }
}

std::vector<nm_request> nm_gateway::requests() const
{
    std::lock_guard lk(mu_);
    return requests_;
}

size_t nm_gateway::request_count() const
{
    std::lock_guard lk(mu_);
    return requests_.size();
}

std::optional<nm_request> nm_gateway::wait_request(uint8_t cmd_class, uint8_t command,
                                                   std::chrono::milliseconds timeout, size_t from) const
{
    std::unique_lock lk(mu_);
    std::optional<nm_request> found;
    cv_.wait_for(lk, timeout, [&] {
        for (size_t i = from; i < requests_.size(); ++i) {
            const bytes &c = requests_[i].command;
            if (c.size() >= 2 && c[0] == cmd_class && c[1] == command) {
                found = requests_[i];
                return true;
            }
        }
        return false;
    });
    return found;
}

std::vector<std::string> nm_gateway::violations() const
{
    std::lock_guard lk(mu_);
    return violations_;
}

void nm_gateway::silence_next(uint8_t cmd_class, uint8_t command)
{
    std::lock_guard lk(mu_);
    silenced_.insert(static_cast<uint16_t>(cmd_class << 8 | command));
}

void nm_gateway::stale_return_route_next()
{
    std::lock_guard lk(mu_);
    stale_rr_ = true;
}

void nm_gateway::set_reply_delay(std::chrono::milliseconds delay)
{
    std::lock_guard lk(mu_);
    cfg_.reply_delay = delay;
}

void nm_gateway::hold_next()
{
    std::lock_guard lk(mu_);
    hold_armed_ = true;
    hold_key_.reset();
}

void nm_gateway::hold_next(uint8_t cmd_class, uint8_t command)
{
    std::lock_guard lk(mu_);
    hold_armed_ = true;
    hold_key_ = static_cast<uint16_t>(cmd_class << 8 | command);
}

bool nm_gateway::wait_held(std::chrono::milliseconds timeout) const
{
    std::unique_lock lk(mu_);
    return cv_.wait_for(lk, timeout, [this] { return held_ && held_->acked; });
}

size_t nm_gateway::release_held()
{
    std::optional<held_answer> h;
    {
        std::lock_guard lk(mu_);
        hold_armed_ = false;
        h.swap(held_);
    }
    if (!h)
        return 0;
    // Sent outside the lock: the gateway's observers (ours too) see each frame.
    for (const bytes &f : h->frames) {
        own_packet p;
        p.command = f;
        p.ack_request = false;
        p.secure = h->secure;
        p.src_ep = h->dst_ep;
        p.dst_ep = h->src_ep & 0x7F;
        p.to = h->to;
        gw_.send_packet(p);
    }
    return h->frames.size();
}

std::vector<nm_wl_entry> nm_gateway::white_list() const
{
    std::lock_guard lk(mu_);
    return wl_;
}

int nm_gateway::inject(const bytes &command, uint8_t from_node)
{
    own_packet p;
    p.command = command;
    p.ack_request = false;
    p.secure = true;
    p.from_node = from_node;
    return gw_.send_packet(p);
}

int nm_gateway::set_in_node_list(uint8_t node_id, bool in)
{
    std::lock_guard lock(mu_);
    for (nm_node &n : cfg_.nodes)
        if (n.node_id == node_id) {
            n.in_node_list = in;
            return 0;
        }
    return -ENOENT;
}

int nm_gateway::announce_node_list(uint8_t status)
{
    bytes r{nm_proxy_class, 0x02, 0x00, status};
    {
        std::lock_guard lock(mu_);
        r.push_back(cfg_.suc_node_id);
        bytes mask(29, 0);
        for (const nm_node &n : cfg_.nodes)
            if (n.in_node_list && n.node_id >= 1 && n.node_id <= 232)
                mask[(n.node_id - 1) / 8] |= static_cast<uint8_t>(1u << ((n.node_id - 1) % 8));
        append(r, mask);
    }
    return inject(r);
}

int nm_gateway::inject_raw(const bytes &b, uint8_t from_node) { return gw_.send_raw(b, from_node); }

void nm_gateway::update_config(const std::function<void(nm_config &)> &change)
{
    std::lock_guard lk(mu_);
    change(cfg_);
}

}  // namespace sim
