// Reading received Z/IP datagrams: byte vectors through the packet parser
// and the header-extension option search, every one given exactly its own
// length (ASan catches a read past it).
#include "hcapi/zip/zip_frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// The datagram in a buffer of exactly its size.
std::unique_ptr<uint8_t[]> exact(const std::vector<uint8_t> &v)
{
    auto p = std::make_unique<uint8_t[]>(v.empty() ? 1 : v.size());
    if (!v.empty())
        std::memcpy(p.get(), v.data(), v.size());
    return p;
}

struct parse_case {
    const char *name;
    std::vector<uint8_t> bytes;
    uint8_t kind;
    uint8_t ans_sts;
    uint16_t hdr_flags;
    uint16_t fmt;
    uint32_t delay;
    std::vector<uint8_t> cmd;       // passed up (empty: none)
    std::vector<uint8_t> crit_opt;  // refused option: type, length, value (empty: none)
};

class FrameParse : public ::testing::TestWithParam<parse_case> {};

TEST_P(FrameParse, Reads)
{
    const parse_case &c = GetParam();
    auto buf = exact(c.bytes);
    frm_pkt_t p;
    EXPECT_EQ(c.kind, frm_pkt_parse(buf.get(), static_cast<uint16_t>(c.bytes.size()), &p));
    EXPECT_EQ(c.kind, p.kind);
    if (c.kind != FRM_PKT_ZIP)
        return;
    EXPECT_EQ(c.ans_sts, p.ans_sts);
    EXPECT_EQ(c.hdr_flags, p.hdr_flags);
    EXPECT_EQ(c.fmt, p.encap_fmt);
    EXPECT_EQ(c.delay, p.exp_delay_s);
    std::vector<uint8_t> cmd = p.cmd ? std::vector<uint8_t>(p.cmd, p.cmd + p.cmd_len) : std::vector<uint8_t>{};
    EXPECT_EQ(c.cmd, cmd);
    std::vector<uint8_t> crit;
    if (p.crit_opt)
        crit.assign(p.crit_opt, p.crit_opt + 2 + p.crit_opt[1]);
    EXPECT_EQ(c.crit_opt, crit);
}

INSTANTIATE_TEST_SUITE_P(
    Datagrams, FrameParse,
    ::testing::Values(
        // class, cmd, flags0, flags1, seq, src ep, dst ep, ...
        parse_case{"command_ack_requested_secure",
                   {0x23, 0x02, 0x80, 0x50, 0x07, 0x01, 0x02, 0x25, 0x01},
                   FRM_PKT_ZIP, FRM_STS_NONE, ZIP_RX_FLAG_ACK_REQ | ZIP_RX_FLAG_SECURE, 0, 0, {0x25, 0x01}, {}},
        parse_case{"ack", {0x23, 0x02, 0x40, 0x00, 0x07, 0x00, 0x00}, FRM_PKT_ZIP, FRM_STS_ACK, 0, 0, 0, {}, {}},
        parse_case{"nack", {0x23, 0x02, 0x20, 0x00, 0x07, 0x00, 0x00}, FRM_PKT_ZIP, FRM_STS_NACK, 0, 0, 0, {}, {}},
        // NACK + waiting, extension of 5: expected delay 00 00 03 seconds.
        parse_case{"nack_waiting_delay",
                   {0x23, 0x02, 0x30, 0x80, 0x07, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x03},
                   FRM_PKT_ZIP, FRM_STS_NACK_WAIT, 0, 0, 3, {}, {}},
        // A delay option of the wrong length is no delay.
        parse_case{"delay_wrong_length",
                   {0x23, 0x02, 0x30, 0x80, 0x07, 0x00, 0x00, 0x05, 0x01, 0x02, 0x00, 0x09},
                   FRM_PKT_ZIP, FRM_STS_NACK_WAIT, 0, 0, 0, {}, {}},
        // Queue full alone is not read as an answer.
        parse_case{"queue_full_only", {0x23, 0x02, 0x08, 0x00, 0x07, 0x00, 0x00}, FRM_PKT_ZIP, FRM_STS_NONE, 0, 0, 0,
                   {}, {}},
        // An ACK request wins over answer bits.
        parse_case{"ack_request_and_ack_bit", {0x23, 0x02, 0xC0, 0x00, 0x07, 0x00, 0x00}, FRM_PKT_ZIP, FRM_STS_NONE,
                   ZIP_RX_FLAG_ACK_REQ, 0, 0, {}, {}},
        parse_case{"command_flag_length_7", {0x23, 0x02, 0x00, 0x40, 0x07, 0x00, 0x00}, FRM_PKT_ZIP, FRM_STS_NONE, 0,
                   0, 0, {}, {}},
        parse_case{"encap_format",
                   {0x23, 0x02, 0x00, 0xC0, 0x01, 0x00, 0x00, 0x05, 0x84, 0x02, 0x12, 0x34, 0x25, 0x01},
                   FRM_PKT_ZIP, FRM_STS_NONE, ZIP_RX_FLAG_ENCAP, 0x1234, 0, {0x25, 0x01}, {}},
        // Extension length beyond the datagram: nothing passed up, no option read.
        parse_case{"extension_past_end",
                   {0x23, 0x02, 0x00, 0xC0, 0x01, 0x00, 0x00, 0x10, 0x84, 0x02, 0x12},
                   FRM_PKT_ZIP, FRM_STS_NONE, 0, 0, 0, {}, {}},
        // Extension flag with no byte for it.
        parse_case{"extension_flag_no_byte", {0x23, 0x02, 0x80, 0x80, 0x01, 0x00, 0x00}, FRM_PKT_ZIP, FRM_STS_NONE,
                   ZIP_RX_FLAG_ACK_REQ, 0, 0, {}, {}},
        // Option whose value runs past the extension's end: not an option.
        parse_case{"option_truncated",
                   {0x23, 0x02, 0x80, 0xC0, 0x01, 0x00, 0x00, 0x04, 0x85, 0x05, 0x01, 0x20, 0x02},
                   FRM_PKT_ZIP, FRM_STS_NONE, ZIP_RX_FLAG_ACK_REQ, 0, 0, {0x20, 0x02}, {}},
        parse_case{"critical_type5_refused",
                   {0x23, 0x02, 0x80, 0xC0, 0x01, 0x00, 0x00, 0x06, 0x85, 0x03, 0x0A, 0x0B, 0x0C, 0x20, 0x02},
                   FRM_PKT_ZIP, FRM_STS_NONE, ZIP_RX_FLAG_ACK_REQ, 0, 0, {0x20, 0x02}, {0x85, 0x03, 0x0A, 0x0B, 0x0C}},
        // Critical type 4 first: understood, and the later critical one is not looked at.
        parse_case{"critical_encap_understood",
                   {0x23, 0x02, 0x80, 0xC0, 0x01, 0x00, 0x00, 0x07, 0x84, 0x02, 0x00, 0x01, 0x86, 0x00, 0x20, 0x02},
                   FRM_PKT_ZIP, FRM_STS_NONE, ZIP_RX_FLAG_ACK_REQ | ZIP_RX_FLAG_ENCAP, 1, 0, {0x20, 0x02}, {}},
        parse_case{"non_critical_then_critical",
                   {0x23, 0x02, 0x80, 0x80, 0x01, 0x00, 0x00, 0x06, 0x07, 0x00, 0x88, 0x01, 0xEE},
                   FRM_PKT_ZIP, FRM_STS_NONE, ZIP_RX_FLAG_ACK_REQ, 0, 0, {}, {0x88, 0x01, 0xEE}},
        parse_case{"keep_alive_request", {0x23, 0x03, 0x80}, FRM_PKT_KEEP_ALIVE, 0, 0, 0, 0, {}, {}},
        parse_case{"keep_alive_answer", {0x23, 0x03, 0x40}, FRM_PKT_IGNORED, 0, 0, 0, 0, {}, {}},
        parse_case{"keep_alive_short", {0x23, 0x03}, FRM_PKT_IGNORED, 0, 0, 0, 0, {}, {}},
        parse_case{"header_short", {0x23, 0x02, 0x80, 0x40, 0x07, 0x00}, FRM_PKT_IGNORED, 0, 0, 0, 0, {}, {}},
        parse_case{"other_class", {0x20, 0x01, 0xFF}, FRM_PKT_IGNORED, 0, 0, 0, 0, {}, {}},
        parse_case{"one_byte", {0x23}, FRM_PKT_IGNORED, 0, 0, 0, 0, {}, {}},
        parse_case{"empty", {}, FRM_PKT_IGNORED, 0, 0, 0, 0, {}, {}},
        parse_case{"node_advertisement_24",
                   {0x58, 0x01, 0x00, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                   FRM_PKT_NODE_ADV, 0, 0, 0, 0, {}, {}},
        parse_case{"node_advertisement_23",
                   {0x58, 0x01, 0x00, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                   FRM_PKT_IGNORED, 0, 0, 0, 0, {}, {}},
        parse_case{"node_solicitation_not_ours",
                   {0x58, 0x03, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                   FRM_PKT_IGNORED, 0, 0, 0, 0, {}, {}}),
    [](const ::testing::TestParamInfo<parse_case> &i) { return std::string(i.param.name); });

struct opt_case {
    const char *name;
    std::vector<uint8_t> ext;  // from the extension's length byte on
    uint16_t avail;
    uint8_t type;
    int at;        // offset of the option found, -1 none
    int crit_at;   // offset of frm_hdr_ext_crit_opt_find's answer, -1 none
};

class FrameOptionSearch : public ::testing::TestWithParam<opt_case> {};

TEST_P(FrameOptionSearch, Finds)
{
    const opt_case &c = GetParam();
    auto buf = exact(c.ext);
    const uint8_t *found = frm_hdr_ext_opt_find(buf.get(), c.avail, c.type);
    EXPECT_EQ(c.at, found ? static_cast<int>(found - buf.get()) : -1);
    const uint8_t *crit = frm_hdr_ext_crit_opt_find(buf.get(), c.avail);
    EXPECT_EQ(c.crit_at, crit ? static_cast<int>(crit - buf.get()) : -1);
}

INSTANTIATE_TEST_SUITE_P(
    Extensions, FrameOptionSearch,
    ::testing::Values(opt_case{"single", {0x06, 0x01, 0x03, 0x00, 0x00, 0x09}, 6, 1, 1, -1},
                      opt_case{"second", {0x08, 0x05, 0x00, 0x01, 0x03, 0x00, 0x00, 0x09}, 8, 1, 3, -1},
                      opt_case{"critical_bit_ignored_in_type", {0x04, 0x84, 0x01, 0x00}, 4, 4, 1, -1},
                      opt_case{"absent", {0x04, 0x05, 0x01, 0x00}, 4, 1, -1, -1},
                      opt_case{"total_above_available", {0x05, 0x01, 0x03, 0x00}, 4, 1, -1, -1},
                      opt_case{"total_below_3", {0x02, 0x01}, 2, 1, -1, -1},
                      opt_case{"value_past_total", {0x04, 0x81, 0x05, 0x00}, 4, 1, -1, -1},
                      opt_case{"last_option_fills_extension", {0x04, 0x05, 0x01, 0x00}, 4, 5, 1, -1},
                      opt_case{"critical_unknown", {0x05, 0x07, 0x00, 0x92, 0x00}, 5, 0x12, 3, 3},
                      opt_case{"critical_too_long", {0x05, 0x92, 0x09, 0x00, 0x00}, 5, 0x12, -1, -1},
                      opt_case{"no_bytes", {}, 0, 1, -1, -1}),
    [](const ::testing::TestParamInfo<opt_case> &i) { return std::string(i.param.name); });

TEST(FrameParseNull, RefusesNothingToRead)
{
    frm_pkt_t p;
    EXPECT_EQ(FRM_PKT_IGNORED, frm_pkt_parse(nullptr, 10, &p));
    EXPECT_EQ(FRM_PKT_IGNORED, frm_pkt_parse(reinterpret_cast<const uint8_t *>("\x23\x02"), 2, nullptr));
    EXPECT_EQ(nullptr, frm_hdr_ext_opt_find(nullptr, 10, 1));
    EXPECT_EQ(nullptr, frm_hdr_ext_crit_opt_find(nullptr, 10));
}

}  // namespace
