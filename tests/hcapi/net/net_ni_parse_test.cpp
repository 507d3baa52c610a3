// The interview's reports, bytes -> record: one table of frames, each fed in
// a buffer of exactly its length (so that AddressSanitizer proves every
// bound), with the event it feeds and the fields it yields, or its refusal.
#include "hcapi/net/zwnet_ni.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

struct parse_case {
    std::string name;
    std::vector<uint8_t> frame;
    uint8_t if_ver;
    int result;  // the event, or the error
    std::function<void(const zwnet_ni_rpt_t &)> check;
};

int parse_exact(const std::vector<uint8_t> &frame, uint8_t if_ver, zwnet_ni_rpt_t *rec)
{
    std::unique_ptr<uint8_t[]> buf(new uint8_t[frame.empty() ? 1 : frame.size()]);
    std::copy(frame.begin(), frame.end(), buf.get());
    return zwnet_ni_rpt_parse(buf.get(), static_cast<uint16_t>(frame.size()), if_ver, rec);
}

const std::vector<parse_case> &cases()
{
    static const std::vector<parse_case> c = {
        {"class version", {0x86, 0x14, /*class*/ 0x25, /*version*/ 0x02}, 1, ZWNET_NI_EVT_CLS_VER,
         [](const zwnet_ni_rpt_t &r) {
             EXPECT_EQ(0x25, r.cls);
             EXPECT_EQ(2, r.ver);
         }},
        {"class version cut", {0x86, 0x14, 0x25}, 1, ZW_ERR_TOO_SMALL, nullptr},
        {"node version v1",
         {0x86, 0x12, /*library*/ 0x03, /*protocol*/ 0x07, 0x0F, /*application*/ 0x01, 0x02}, 1,
         ZWNET_NI_EVT_NODE_VER,
         [](const zwnet_ni_rpt_t &r) {
             EXPECT_EQ(3, r.lib_type);
             EXPECT_EQ(0x070F, r.proto_ver);
             EXPECT_EQ(0x0102, r.app_ver);
             EXPECT_EQ(0, r.cnt);
         }},
        {"node version v2 with two targets",
         {0x86, 0x12, 0x03, 0x07, 0x0F, 0x01, 0x02, /*hardware*/ 0x05, /*targets*/ 0x02, 0x02, 0x01, 0x03, 0x04}, 2,
         ZWNET_NI_EVT_NODE_VER,
         [](const zwnet_ni_rpt_t &r) {
             EXPECT_EQ(5, r.hw_ver);
             ASSERT_EQ(2, r.cnt);
             EXPECT_EQ(0x0201, r.list[0]);
             EXPECT_EQ(0x0304, r.list[1]);
         }},
        {"node version v2 announcing more targets than it holds",
         {0x86, 0x12, 0x03, 0x07, 0x0F, 0x01, 0x02, 0x05, /*targets*/ 0x03, 0x02, 0x01}, 2, ZWNET_NI_EVT_NODE_VER,
         [](const zwnet_ni_rpt_t &r) {
             EXPECT_EQ(0, r.cnt);
             EXPECT_EQ(0, r.hw_ver);
         }},
        {"node version v2 fields ignored at version 1", {0x86, 0x12, 0x03, 0x07, 0x0F, 0x01, 0x02, 0x05, 0x00}, 1,
         ZWNET_NI_EVT_NODE_VER, [](const zwnet_ni_rpt_t &r) { EXPECT_EQ(0, r.hw_ver); }},
        {"node version cut", {0x86, 0x12, 0x03, 0x07, 0x0F, 0x01}, 2, ZW_ERR_TOO_SMALL, nullptr},
        {"Z-Wave Plus with icons",
         {0x5E, 0x02, /*version*/ 0x02, /*role*/ 0x04, /*node type*/ 0x00, 0x0C, 0x00, 0x0C, 0x01}, 2,
         ZWNET_NI_EVT_ZWPLUS,
         [](const zwnet_ni_rpt_t &r) {
             EXPECT_EQ(2, r.zwplus.zwplus_ver);
             EXPECT_EQ(4, r.zwplus.role_type);
             EXPECT_EQ(0x0C00, r.zwplus.instr_icon);
             EXPECT_EQ(0x0C01, r.zwplus.usr_icon);
         }},
        {"Z-Wave Plus without icons", {0x5E, 0x02, 0x01, 0x05, 0x00}, 1, ZWNET_NI_EVT_ZWPLUS,
         [](const zwnet_ni_rpt_t &r) {
             EXPECT_EQ(5, r.zwplus.role_type);
             EXPECT_EQ(0, r.zwplus.instr_icon);
         }},
        {"manufacturer", {0x72, 0x05, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06}, 1, ZWNET_NI_EVT_MANF,
         [](const zwnet_ni_rpt_t &r) {
             EXPECT_EQ(0x0102, r.vid);
             EXPECT_EQ(0x0304, r.type);
             EXPECT_EQ(0x0506, r.pid);
         }},
        {"manufacturer cut", {0x72, 0x05, 0x01, 0x02, 0x03, 0x04, 0x05}, 1, ZW_ERR_TOO_SMALL, nullptr},
        {"device id", {0x72, 0x07, /*type*/ 0x01, /*format 1, length 3*/ 0x23, 'a', 'b', 'c'}, 2,
         ZWNET_NI_EVT_DEV_ID,
         [](const zwnet_ni_rpt_t &r) {
             EXPECT_EQ(1, r.dev_id.type);
             EXPECT_EQ(1, r.dev_id.format);
             ASSERT_EQ(3, r.dev_id.len);
             EXPECT_EQ('c', r.dev_id.dev_id[2]);
         }},
        {"device id longer than the frame", {0x72, 0x07, 0x01, 0x25, 'a', 'b', 'c'}, 2, ZW_ERR_TOO_SMALL, nullptr},
        {"wake-up interval", {0x84, 0x06, 0x00, 0x01, 0x2C, /*notifies*/ 0x01}, 2, ZWNET_NI_EVT_WKUP,
         [](const zwnet_ni_rpt_t &r) { EXPECT_EQ(300u, r.wkup.cur); }},
        {"wake-up capabilities",
         {0x84, 0x0A, 0x00, 0x00, 0x3C, 0x01, 0x51, 0x80, 0x00, 0x01, 0x2C, 0x00, 0x00, 0x3C}, 2, ZWNET_NI_EVT_WKUP,
         [](const zwnet_ni_rpt_t &r) {
             EXPECT_EQ(60u, r.wkup.min);
             EXPECT_EQ(86400u, r.wkup.max);
             EXPECT_EQ(300u, r.wkup.dflt);
             EXPECT_EQ(60u, r.wkup.step);
         }},
        {"wake-up capabilities cut", {0x84, 0x0A, 0x00, 0x00, 0x3C, 0x01, 0x51, 0x80, 0x00, 0x01, 0x2C, 0x00, 0x00},
         2, ZW_ERR_TOO_SMALL, nullptr},
        {"multi instance", {0x60, 0x05, 0x25, 0x03}, 1, ZWNET_NI_EVT_MUL_INST,
         [](const zwnet_ni_rpt_t &r) {
             EXPECT_EQ(0x25, r.cls);
             EXPECT_EQ(3, r.cnt);
         }},
        {"endpoints with aggregated", {0x60, 0x08, /*identical*/ 0x40, 0x83, 0x81}, 4, ZWNET_NI_EVT_MUL_CH_EP,
         [](const zwnet_ni_rpt_t &r) {
             EXPECT_EQ(0x40, r.flags);
             EXPECT_EQ(3, r.ep_cnt);  // the reserved top bit is not a count
             EXPECT_EQ(1, r.aggr_cnt);
         }},
        {"endpoints of version 2", {0x60, 0x08, 0x00, 0x02}, 2, ZWNET_NI_EVT_MUL_CH_EP,
         [](const zwnet_ni_rpt_t &r) { EXPECT_EQ(0, r.aggr_cnt); }},
        {"capability", {0x60, 0x0A, /*dynamic, ep 2*/ 0x82, 0x10, 0x01, 0x25, 0x20, 0x86}, 3, ZWNET_NI_EVT_EP_CAP,
         [](const zwnet_ni_rpt_t &r) {
             EXPECT_EQ(2, r.ep);
             EXPECT_EQ(0x10, r.gen);
             ASSERT_EQ(3, r.cnt);
             EXPECT_EQ(0x86, r.list[2]);
         }},
        {"capability with a cut extended class", {0x60, 0x0A, 0x01, 0x10, 0x01, 0x25, 0xF1}, 3, ZWNET_NI_EVT_EP_CAP,
         [](const zwnet_ni_rpt_t &r) { EXPECT_LE(r.cnt, 1); }},
        {"aggregated members", {0x60, 0x0F, 0x03, /*mask bytes*/ 0x02, 0x05, 0x01}, 4, ZWNET_NI_EVT_AGGR,
         [](const zwnet_ni_rpt_t &r) {
             EXPECT_EQ(3, r.ep);
             ASSERT_EQ(3, r.cnt);
             EXPECT_EQ(1, r.bytes[0]);
             EXPECT_EQ(3, r.bytes[1]);
             EXPECT_EQ(9, r.bytes[2]);
         }},
        {"aggregated members without a mask", {0x60, 0x0F, 0x03, 0x00}, 4, ZW_ERR_TOO_SMALL, nullptr},
        {"aggregated members mask past the frame", {0x60, 0x0F, 0x03, 0x03, 0x05, 0x01}, 4, ZW_ERR_TOO_SMALL,
         nullptr},
        {"not an interview report", {0x25, 0x03, 0xFF}, 1, ZW_ERR_RPT_NOT_FOUND, nullptr},
        {"a get is not a report", {0x86, 0x13, 0x25}, 1, ZW_ERR_RPT_NOT_FOUND, nullptr},
        {"one byte", {0x86}, 1, ZW_ERR_TOO_SMALL, nullptr},
        {"empty", {}, 1, ZW_ERR_TOO_SMALL, nullptr},
    };
    return c;
}

TEST(NiParse, Table)
{
    for (const parse_case &c : cases()) {
        SCOPED_TRACE(c.name);
        zwnet_ni_rpt_t rec;
        const int rc = parse_exact(c.frame, c.if_ver, &rec);
        EXPECT_EQ(c.result, rc);
        if (rc >= 0 && c.check)
            c.check(rec);
    }
}

// A member mask of 32 bytes names endpoints beyond the 127 that exist:
// the list stops at 127.
TEST(NiParse, AggregatedMembersStopAtTheLastEndpointId)
{
    std::vector<uint8_t> f{0x60, 0x0F, 0x05, 32};
    f.resize(4 + 32, 0xFF);
    zwnet_ni_rpt_t rec;
    ASSERT_EQ(ZWNET_NI_EVT_AGGR, parse_exact(f, 4, &rec));
    ASSERT_EQ(ZWEP_AGGR_MAX, rec.cnt);
    EXPECT_EQ(127, rec.bytes[ZWEP_AGGR_MAX - 1]);
}

// Every prefix of every case parses or refuses without reading past it.
TEST(NiParse, EveryPrefixStaysInside)
{
    for (const parse_case &c : cases()) {
        for (size_t n = 0; n <= c.frame.size(); ++n) {
            zwnet_ni_rpt_t rec;
            const int rc = parse_exact(std::vector<uint8_t>(c.frame.begin(), c.frame.begin() + n), 4, &rec);
            EXPECT_TRUE(rc >= 0 || rc == ZW_ERR_TOO_SMALL || rc == ZW_ERR_RPT_NOT_FOUND) << c.name << " " << n;
        }
    }
}

}  // namespace
