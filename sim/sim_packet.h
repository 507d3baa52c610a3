// Z/IP packet codec of the gateway simulator.
//
// Written from the gateway's side and on purpose independent of the client
// stack, so that the simulator checks the client instead of sharing its
// mistakes. Parsing is bounds-checked and strict: anything the client should
// never send (truncated options, a command flag without a command, trailing
// bytes) is classified as malformed with a reason, never read past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

inline constexpr uint8_t zip_class = 0x23;
inline constexpr uint8_t zip_cmd_packet = 0x02;
inline constexpr uint8_t zip_cmd_keep_alive = 0x03;
inline constexpr uint8_t zip_nd_class = 0x58;

// Byte 2 of a Z/IP packet.
inline constexpr uint8_t flag0_ack_request = 0x80;
inline constexpr uint8_t flag0_ack_response = 0x40;
inline constexpr uint8_t flag0_nack_response = 0x20;
inline constexpr uint8_t flag0_nack_waiting = 0x10;
inline constexpr uint8_t flag0_nack_queue_full = 0x08;
inline constexpr uint8_t flag0_nack_option_error = 0x04;
// Byte 3 of a Z/IP packet.
inline constexpr uint8_t flag1_header_ext = 0x80;
inline constexpr uint8_t flag1_command = 0x40;
inline constexpr uint8_t flag1_more_info = 0x20;
inline constexpr uint8_t flag1_secure = 0x10;
// Byte 2 of a keep-alive.
inline constexpr uint8_t keep_alive_ack_request = 0x80;
inline constexpr uint8_t keep_alive_ack_response = 0x40;

inline constexpr uint8_t option_critical = 0x80;
inline constexpr uint8_t option_expected_delay = 1;
inline constexpr uint8_t option_encap_format = 4;

// Largest datagram a Z/IP peer takes whole.
inline constexpr size_t zip_max_datagram = 1280;
inline constexpr size_t zip_header_size = 7;

struct zip_option {
    uint8_t type = 0; // bits 0-6
    bool critical = false;
    std::vector<uint8_t> value;
    bool operator==(const zip_option &) const = default;
};

struct zip_packet {
    uint8_t flags0 = 0;
    uint8_t flags1 = 0;
    uint8_t seq = 0;
    uint8_t src_ep = 0;
    uint8_t dst_ep_byte = 0; // byte 6 as received: bit 7 = bit-address
    bool has_ext = false;
    uint8_t ext_length = 0; // total, its own length byte included
    std::vector<zip_option> options;
    std::vector<uint8_t> command; // empty when flags1 has no command bit

    bool ack_request() const { return flags0 & flag0_ack_request; }
    bool ack_response() const { return flags0 & flag0_ack_response; }
    bool nack() const { return flags0 & flag0_nack_response; }
    bool nack_waiting() const { return flags0 & flag0_nack_waiting; }
    bool nack_queue_full() const { return flags0 & flag0_nack_queue_full; }
    bool nack_option_error() const { return flags0 & flag0_nack_option_error; }
    bool secure() const { return flags1 & flag1_secure; }
    bool more_info() const { return flags1 & flag1_more_info; }
    bool has_command() const { return flags1 & flag1_command; }
    uint8_t dst_ep() const { return dst_ep_byte & 0x7F; }
    bool bit_address() const { return dst_ep_byte & 0x80; }

    const zip_option *find_option(uint8_t type) const;
    // Seconds of a well-formed expected-delay option (3-byte value).
    std::optional<uint32_t> expected_delay() const;
    // Value of a well-formed encapsulation-format option (2-byte value).
    std::optional<uint16_t> encap_format() const;
    // First critical option whose type is not in `known`, or none.
    const zip_option *first_unsupported_critical(const std::vector<uint8_t> &known) const;
};

enum class frame_kind : uint8_t {
    packet,         // 0x23 0x02, well-formed
    keep_alive,     // 0x23 0x03
    node_discovery, // class 0x58 (solicitations, advertisements)
    other,          // any other class or Z/IP command; kept as raw bytes
    malformed,      // see parse_error
};

enum class parse_error : uint8_t {
    none,
    empty,
    too_long,       // above zip_max_datagram
    too_short,      // shorter than the fixed part of its kind
    bad_ext_length, // extension length 0 or past the end
    bad_option,     // an option header or value runs past the extension
    no_command,     // command bit set but nothing after the header
    trailing_bytes, // bytes after the header without the command bit
};

struct zip_frame {
    frame_kind kind = frame_kind::malformed;
    parse_error error = parse_error::none;
    zip_packet packet;          // kind == packet
    uint8_t keep_alive_flags = 0; // kind == keep_alive
};

zip_frame parse_frame(const uint8_t *data, size_t length);
const char *parse_error_text(parse_error error);
const char *frame_kind_text(frame_kind kind);

// What build_packet writes. Options, when present, go into one header
// extension in the given order.
struct packet_spec {
    uint8_t flags0 = 0;
    bool secure = false;
    bool more_info = false;
    uint8_t seq = 0;
    uint8_t src_ep = 0;
    uint8_t dst_ep = 0; // 7 bits
    bool bit_address = false;
    std::vector<zip_option> options;
    std::vector<uint8_t> command; // empty: no command bit
};

// Empty when the options do not fit one extension (255 bytes) or the packet
// would exceed zip_max_datagram.
std::vector<uint8_t> build_packet(const packet_spec &spec);
std::vector<uint8_t> build_keep_alive(uint8_t flags);

// Answer to a received packet: same sequence number, endpoints swapped,
// secure bit echoed.
std::vector<uint8_t> build_answer(const zip_packet &received, uint8_t flags0,
                                  const std::vector<zip_option> &options = {});
std::vector<uint8_t> build_ack(const zip_packet &received);
std::vector<uint8_t> build_nack(const zip_packet &received);
// NACK waiting, with the expected-delay option when a value is given.
std::vector<uint8_t> build_nack_waiting(const zip_packet &received, std::optional<uint32_t> delay_s);
// NACK option error echoing the refused option alone.
std::vector<uint8_t> build_option_error(const zip_packet &received, const zip_option &refused);

zip_option expected_delay_option(uint32_t seconds);

std::string hex_text(const uint8_t *data, size_t length);
inline std::string hex_text(const std::vector<uint8_t> &v) { return hex_text(v.data(), v.size()); }
// One-line summary for logs, e.g. "packet seq=12 ack-req ep 0->0 cmd 25 02".
std::string describe(const zip_frame &frame);

} // namespace sim
