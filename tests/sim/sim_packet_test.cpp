// Byte vectors for the simulator's own Z/IP codec.
#include "sim/sim_packet.h"

#include <gtest/gtest.h>

namespace {

using bytes = std::vector<uint8_t>;
using sim::frame_kind;
using sim::parse_error;

bytes node_solicitation()
{
    bytes b(20, 0x00);
    b[0] = 0x58;
    b[1] = 0x03;
    return b;
}

struct parse_case {
    const char *name;
    bytes in;
    frame_kind kind;
    parse_error error;
};

const parse_case parse_cases[] = {
    {"empty", {}, frame_kind::malformed, parse_error::empty},
    {"class only", {0x23}, frame_kind::malformed, parse_error::too_short},
    {"six header bytes", {0x23, 0x02, 0x80, 0x40, 0x01, 0x00}, frame_kind::malformed, parse_error::too_short},
    {"header only ack", {0x23, 0x02, 0x40, 0x00, 0x01, 0x00, 0x00}, frame_kind::packet, parse_error::none},
    {"command flag, no command", {0x23, 0x02, 0x80, 0x40, 0x01, 0x00, 0x00}, frame_kind::malformed,
     parse_error::no_command},
    {"trailing bytes without command flag", {0x23, 0x02, 0x40, 0x00, 0x01, 0x00, 0x00, 0x25},
     frame_kind::malformed, parse_error::trailing_bytes},
    {"ext flag, no ext byte", {0x23, 0x02, 0x80, 0x80, 0x01, 0x00, 0x00}, frame_kind::malformed,
     parse_error::bad_ext_length},
    {"ext length 0", {0x23, 0x02, 0x80, 0x80, 0x01, 0x00, 0x00, 0x00}, frame_kind::malformed,
     parse_error::bad_ext_length},
    {"ext length past the end", {0x23, 0x02, 0x80, 0xC0, 0x01, 0x00, 0x00, 0x06, 0x84, 0x02, 0x00, 0x00},
     frame_kind::malformed, parse_error::bad_ext_length},
    // extension of 4 bytes: option 0x84 claims 2 value bytes, holds 1
    {"option value past the ext", {0x23, 0x02, 0x80, 0xC0, 0x01, 0x00, 0x00, 0x04, 0x84, 0x02, 0x00, 0x25, 0x02},
     frame_kind::malformed, parse_error::bad_option},
    // extension of 2 bytes: a lone type byte
    {"option header cut", {0x23, 0x02, 0x80, 0xC0, 0x01, 0x00, 0x00, 0x02, 0x84, 0x25, 0x02},
     frame_kind::malformed, parse_error::bad_option},
    {"empty ext then command", {0x23, 0x02, 0x80, 0xC0, 0x01, 0x00, 0x00, 0x01, 0x25, 0x02}, frame_kind::packet,
     parse_error::none},
    {"keep-alive", {0x23, 0x03, 0x80}, frame_kind::keep_alive, parse_error::none},
    {"keep-alive cut", {0x23, 0x03}, frame_kind::malformed, parse_error::too_short},
    {"node solicitation", node_solicitation(), frame_kind::node_discovery, parse_error::none},
    {"inverse node solicitation", {0x58, 0x04, 0x04, 0x05}, frame_kind::node_discovery, parse_error::none},
    {"other Z/IP command", {0x23, 0x05}, frame_kind::other, parse_error::none},
    {"raw frame", {0x52, 0x01, 0x07}, frame_kind::other, parse_error::none},
    {"oversized", bytes(1281, 0x23), frame_kind::malformed, parse_error::too_long},
};

TEST(SimPacketParse, ClassifiesEveryShape)
{
    for (const parse_case &c : parse_cases) {
        SCOPED_TRACE(c.name);
        sim::zip_frame f = sim::parse_frame(c.in.data(), c.in.size());
        EXPECT_EQ(f.kind, c.kind);
        EXPECT_EQ(f.error, c.error);
    }
}

TEST(SimPacketParse, ReadsEveryHeaderField)
{
    const bytes in = {
        0x23, 0x02,
        0x80,       // ack request
        0xF0,       // ext, command, more info, secure
        0x2A,       // seq
        0x03,       // source endpoint
        0x85,       // bit-address, mask 0x05
        0x0A,       // ext total length 10
        0x84, 0x02, 0x12, 0x34,  // critical encapsulation format 0x1234
        0x01, 0x03, 0x00, 0x01, 0x2C,  // expected delay 300 s
        0x25, 0x01, 0xFF,        // command
    };
    sim::zip_frame f = sim::parse_frame(in.data(), in.size());
    ASSERT_EQ(f.kind, frame_kind::packet);
    const sim::zip_packet &p = f.packet;
    EXPECT_TRUE(p.ack_request());
    EXPECT_FALSE(p.ack_response());
    EXPECT_TRUE(p.secure());
    EXPECT_TRUE(p.more_info());
    EXPECT_TRUE(p.has_command());
    EXPECT_EQ(p.seq, 0x2A);
    EXPECT_EQ(p.src_ep, 3);
    EXPECT_EQ(p.dst_ep(), 5);
    EXPECT_TRUE(p.bit_address());
    EXPECT_EQ(p.ext_length, 10);
    ASSERT_EQ(p.options.size(), 2u);
    EXPECT_TRUE(p.options[0].critical);
    EXPECT_EQ(p.encap_format(), 0x1234);
    EXPECT_EQ(p.expected_delay(), 300u);
    EXPECT_EQ(p.command, (bytes{0x25, 0x01, 0xFF}));
    EXPECT_EQ(p.first_unsupported_critical({1, 4}), nullptr);
    ASSERT_NE(p.first_unsupported_critical({1}), nullptr);
    EXPECT_EQ(p.first_unsupported_critical({1})->type, 4);
}

TEST(SimPacketParse, OptionOfWrongSizeIsNotAValue)
{
    // expected delay of 2 bytes, encapsulation format of 3 bytes
    const bytes in = {0x23, 0x02, 0x00, 0x80, 0x01, 0x00, 0x00, 0x0A, 0x01, 0x02, 0x00, 0x05,
                      0x04, 0x03, 0x00, 0x00, 0x00};
    sim::zip_frame f = sim::parse_frame(in.data(), in.size());
    ASSERT_EQ(f.kind, frame_kind::packet);
    EXPECT_FALSE(f.packet.expected_delay());
    EXPECT_FALSE(f.packet.encap_format());
}

struct build_case {
    const char *name;
    bytes got;
    bytes want;
};

sim::zip_packet received_packet(bool secure)
{
    // ack-requested, seq 0x11, source endpoint 2, destination endpoint 3
    bytes in = {0x23, 0x02, 0x80, static_cast<uint8_t>(0x40 | (secure ? 0x10 : 0)), 0x11, 0x02, 0x03, 0x25, 0x02};
    return sim::parse_frame(in.data(), in.size()).packet;
}

TEST(SimPacketBuild, AnswersAndOwnPackets)
{
    sim::packet_spec own;
    own.flags0 = sim::flag0_ack_request;
    own.seq = 7;
    own.src_ep = 1;
    own.dst_ep = 0x06;
    own.bit_address = true;
    own.options = {{4, true, {0x00, 0x01}}};
    own.command = {0x20, 0x01, 0xFF};
    sim::zip_option refused{5, true, {0xAA, 0xBB}};

    const build_case cases[] = {
        {"ack", sim::build_ack(received_packet(false)), {0x23, 0x02, 0x40, 0x00, 0x11, 0x03, 0x02}},
        {"secure ack", sim::build_ack(received_packet(true)), {0x23, 0x02, 0x40, 0x10, 0x11, 0x03, 0x02}},
        {"nack", sim::build_nack(received_packet(false)), {0x23, 0x02, 0x20, 0x00, 0x11, 0x03, 0x02}},
        {"nack waiting", sim::build_nack_waiting(received_packet(false), std::nullopt),
         {0x23, 0x02, 0x30, 0x00, 0x11, 0x03, 0x02}},
        {"nack waiting 3 s", sim::build_nack_waiting(received_packet(false), 3),
         {0x23, 0x02, 0x30, 0x80, 0x11, 0x03, 0x02, 0x06, 0x01, 0x03, 0x00, 0x00, 0x03}},
        {"option error", sim::build_option_error(received_packet(false), refused),
         {0x23, 0x02, 0x24, 0x80, 0x11, 0x03, 0x02, 0x05, 0x85, 0x02, 0xAA, 0xBB}},
        {"own packet", sim::build_packet(own),
         {0x23, 0x02, 0x80, 0xC0, 0x07, 0x01, 0x86, 0x05, 0x84, 0x02, 0x00, 0x01, 0x20, 0x01, 0xFF}},
        {"keep-alive", sim::build_keep_alive(sim::keep_alive_ack_request), {0x23, 0x03, 0x80}},
    };
    for (const build_case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(sim::hex_text(c.got), sim::hex_text(c.want));
    }
}

TEST(SimPacketBuild, RefusesWhatDoesNotFit)
{
    sim::packet_spec s;
    s.options = {{6, false, bytes(200, 0)}, {7, false, bytes(60, 0)}}; // 1 + 202 + 62 > 255
    EXPECT_TRUE(sim::build_packet(s).empty());
    sim::packet_spec big;
    big.command = bytes(sim::zip_max_datagram, 0x20); // 7 + 1280 bytes
    EXPECT_TRUE(sim::build_packet(big).empty());
    big.command.resize(sim::zip_max_datagram - sim::zip_header_size);
    EXPECT_EQ(sim::build_packet(big).size(), sim::zip_max_datagram);
}

} // namespace
