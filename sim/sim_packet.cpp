#include "sim/sim_packet.h"

#include <algorithm>
#include <cstdio>

namespace sim {

namespace {

zip_frame malformed(parse_error error)
{
    zip_frame f;
    f.kind = frame_kind::malformed;
    f.error = error;
    return f;
}

// Walks the option list of an extension whose bytes [0, total) are known to
// be inside the datagram. Every option must fit whole.
bool parse_options(const uint8_t *ext, size_t total, std::vector<zip_option> &out)
{
    size_t pos = 1;
    while (pos < total) {
        if (total - pos < 2)
            return false;
        uint8_t type_byte = ext[pos];
        size_t len = ext[pos + 1];
        if (total - pos - 2 < len)
            return false;
        zip_option opt;
        opt.type = type_byte & 0x7F;
        opt.critical = (type_byte & option_critical) != 0;
        opt.value.assign(ext + pos + 2, ext + pos + 2 + len);
        out.push_back(std::move(opt));
        pos += 2 + len;
    }
    return true;
}

zip_frame parse_zip_packet(const uint8_t *data, size_t length)
{
    if (length < zip_header_size)
        return malformed(parse_error::too_short);
    zip_frame f;
    zip_packet &p = f.packet;
    p.flags0 = data[2];
    p.flags1 = data[3];
    p.seq = data[4];
    p.src_ep = data[5];
    p.dst_ep_byte = data[6];
    size_t pos = zip_header_size;
    if (p.flags1 & flag1_header_ext) {
        if (pos >= length)
            return malformed(parse_error::bad_ext_length);
        size_t total = data[pos];
        if (total == 0 || total > length - pos)
            return malformed(parse_error::bad_ext_length);
        if (!parse_options(data + pos, total, p.options))
            return malformed(parse_error::bad_option);
        p.has_ext = true;
        p.ext_length = static_cast<uint8_t>(total);
        pos += total;
    }
    if (p.flags1 & flag1_command) {
        if (pos >= length)
            return malformed(parse_error::no_command);
        p.command.assign(data + pos, data + length);
    } else if (pos < length) {
        return malformed(parse_error::trailing_bytes);
    }
    f.kind = frame_kind::packet;
    return f;
}

} // namespace

const zip_option *zip_packet::find_option(uint8_t type) const
{
    for (const zip_option &o : options)
        if (o.type == type)
            return &o;
    return nullptr;
}

std::optional<uint32_t> zip_packet::expected_delay() const
{
    const zip_option *o = find_option(option_expected_delay);
    if (!o || o->value.size() != 3)
        return std::nullopt;
    return (uint32_t{o->value[0]} << 16) | (uint32_t{o->value[1]} << 8) | o->value[2];
}

std::optional<uint16_t> zip_packet::encap_format() const
{
    const zip_option *o = find_option(option_encap_format);
    if (!o || o->value.size() != 2)
        return std::nullopt;
    return static_cast<uint16_t>((o->value[0] << 8) | o->value[1]);
}

const zip_option *zip_packet::first_unsupported_critical(const std::vector<uint8_t> &known) const
{
    for (const zip_option &o : options)
        if (o.critical && std::find(known.begin(), known.end(), o.type) == known.end())
            return &o;
    return nullptr;
}

zip_frame parse_frame(const uint8_t *data, size_t length)
{
    if (!data || length == 0)
        return malformed(parse_error::empty);
    if (length > zip_max_datagram)
        return malformed(parse_error::too_long);
    if (data[0] == zip_class) {
        if (length < 2)
            return malformed(parse_error::too_short);
        if (data[1] == zip_cmd_packet)
            return parse_zip_packet(data, length);
        if (data[1] == zip_cmd_keep_alive) {
            if (length < 3)
                return malformed(parse_error::too_short);
            zip_frame f;
            f.kind = frame_kind::keep_alive;
            f.keep_alive_flags = data[2];
            return f;
        }
    } else if (data[0] == zip_nd_class) {
        if (length < 2)
            return malformed(parse_error::too_short);
        zip_frame f;
        f.kind = frame_kind::node_discovery;
        return f;
    }
    zip_frame f;
    f.kind = frame_kind::other;
    return f;
}

const char *parse_error_text(parse_error error)
{
    switch (error) {
    case parse_error::none: return "none";
    case parse_error::empty: return "empty datagram";
    case parse_error::too_long: return "datagram too long";
    case parse_error::too_short: return "too short";
    case parse_error::bad_ext_length: return "bad header extension length";
    case parse_error::bad_option: return "option runs past the extension";
    case parse_error::no_command: return "command flag without a command";
    case parse_error::trailing_bytes: return "bytes after the header without the command flag";
    }
    return "?";
}

const char *frame_kind_text(frame_kind kind)
{
    switch (kind) {
    case frame_kind::packet: return "packet";
    case frame_kind::keep_alive: return "keep-alive";
    case frame_kind::node_discovery: return "node-discovery";
    case frame_kind::other: return "other";
    case frame_kind::malformed: return "malformed";
    }
    return "?";
}

std::vector<uint8_t> build_packet(const packet_spec &spec)
{
    std::vector<uint8_t> out{zip_class, zip_cmd_packet, spec.flags0, 0, spec.seq, spec.src_ep,
                             static_cast<uint8_t>((spec.dst_ep & 0x7F) | (spec.bit_address ? 0x80 : 0))};
    uint8_t flags1 = 0;
    if (spec.secure)
        flags1 |= flag1_secure;
    if (spec.more_info)
        flags1 |= flag1_more_info;
    if (!spec.options.empty()) {
        size_t total = 1;
        for (const zip_option &o : spec.options) {
            if (o.value.size() > 255)
                return {};
            total += 2 + o.value.size();
        }
        if (total > 255)
            return {};
        flags1 |= flag1_header_ext;
        out.push_back(static_cast<uint8_t>(total));
        for (const zip_option &o : spec.options) {
            out.push_back(static_cast<uint8_t>((o.type & 0x7F) | (o.critical ? option_critical : 0)));
            out.push_back(static_cast<uint8_t>(o.value.size()));
            out.insert(out.end(), o.value.begin(), o.value.end());
        }
    }
    if (!spec.command.empty()) {
        flags1 |= flag1_command;
        out.insert(out.end(), spec.command.begin(), spec.command.end());
    }
    if (out.size() > zip_max_datagram)
        return {};
    out[3] = flags1;
    return out;
}

std::vector<uint8_t> build_keep_alive(uint8_t flags) { return {zip_class, zip_cmd_keep_alive, flags}; }

std::vector<uint8_t> build_answer(const zip_packet &received, uint8_t flags0,
                                  const std::vector<zip_option> &options)
{
    packet_spec s;
    s.flags0 = flags0;
    s.secure = received.secure();
    s.seq = received.seq;
    s.src_ep = received.dst_ep();
    s.dst_ep = received.src_ep & 0x7F;
    s.options = options;
    return build_packet(s);
}

std::vector<uint8_t> build_ack(const zip_packet &received)
{
    return build_answer(received, flag0_ack_response);
}

std::vector<uint8_t> build_nack(const zip_packet &received)
{
    return build_answer(received, flag0_nack_response);
}

std::vector<uint8_t> build_nack_waiting(const zip_packet &received, std::optional<uint32_t> delay_s)
{
    std::vector<zip_option> options;
    if (delay_s)
        options.push_back(expected_delay_option(*delay_s));
    return build_answer(received, flag0_nack_response | flag0_nack_waiting, options);
}

std::vector<uint8_t> build_option_error(const zip_packet &received, const zip_option &refused)
{
    return build_answer(received, flag0_nack_response | flag0_nack_option_error, {refused});
}

zip_option expected_delay_option(uint32_t seconds)
{
    zip_option o;
    o.type = option_expected_delay;
    o.value = {static_cast<uint8_t>(seconds >> 16), static_cast<uint8_t>(seconds >> 8),
               static_cast<uint8_t>(seconds)};
    return o;
}

std::string hex_text(const uint8_t *data, size_t length)
{
    std::string s;
    s.reserve(length * 3);
    char cell[4];
    for (size_t i = 0; i < length; i++) {
        std::snprintf(cell, sizeof cell, i ? " %02X" : "%02X", data[i]);
        s += cell;
    }
    return s;
}

std::string describe(const zip_frame &frame)
{
    std::string s = frame_kind_text(frame.kind);
    char buf[64];
    switch (frame.kind) {
    case frame_kind::packet: {
        const zip_packet &p = frame.packet;
        std::snprintf(buf, sizeof buf, " seq=%u", p.seq);
        s += buf;
        struct bit_name { uint8_t bit; const char *name; };
        static constexpr bit_name names0[] = {
            {flag0_ack_request, " ack-req"},   {flag0_ack_response, " ack"},
            {flag0_nack_response, " nack"},    {flag0_nack_waiting, " waiting"},
            {flag0_nack_queue_full, " queue-full"}, {flag0_nack_option_error, " option-error"},
        };
        for (const bit_name &b : names0)
            if (p.flags0 & b.bit)
                s += b.name;
        if (p.secure())
            s += " secure";
        if (p.more_info())
            s += " more-info";
        std::snprintf(buf, sizeof buf, " ep %u->%u%s", p.src_ep, p.dst_ep(), p.bit_address() ? "(mask)" : "");
        s += buf;
        for (const zip_option &o : p.options) {
            std::snprintf(buf, sizeof buf, " opt %s%u[%zu]", o.critical ? "!" : "", o.type, o.value.size());
            s += buf;
        }
        if (!p.command.empty())
            s += " cmd " + hex_text(p.command.data(), std::min<size_t>(p.command.size(), 16));
        break;
    }
    case frame_kind::keep_alive:
        std::snprintf(buf, sizeof buf, " flags=%02X", frame.keep_alive_flags);
        s += buf;
        break;
    case frame_kind::malformed:
        s += std::string(" (") + parse_error_text(frame.error) + ")";
        break;
    default:
        break;
    }
    return s;
}

} // namespace sim
