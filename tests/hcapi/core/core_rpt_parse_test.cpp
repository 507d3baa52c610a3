// The report dispatcher's pure layers: golden frames through the parse
// table (each in a buffer of exactly its length, so that AddressSanitizer
// proves every bound), and the cache rules on a bare interface record.
#include "hcapi/core/zwif_rpt.h"
#include "rpt_bare_net.h"
#include "rpt_golden.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <vector>

namespace {

struct parse_case {
    const char *name;
    std::vector<uint8_t> frame;
    int rc;
    uint16_t cls;
    uint8_t cmd;
    uint8_t value;
};

const parse_case parse_cases[] = {
    {"basic report",
     {0x20,    // Basic
      0x03,    // Report
      0x63},   // value 99
     0, 0x20, 0x03, 0x63},
    {"basic report v2 takes the current value",
     {0x20,    // Basic
      0x03,    // Report
      0xFF,    // current value: on
      0x00,    // target value
      0x00},   // duration
     0, 0x20, 0x03, 0xFF},
    {"binary switch report",
     {0x25,    // Binary Switch
      0x03,    // Report
      0xFF},   // on
     0, 0x25, 0x03, 0xFF},
    {"binary switch report v2",
     {0x25,    // Binary Switch
      0x03,    // Report
      0x00,    // current value: off
      0xFF,    // target value
      0x05},   // duration 5 s
     0, 0x25, 0x03, 0x00},
    {"battery report",
     {0x80,    // Battery
      0x03,    // Report
      0x5A},   // 90 %
     0, 0x80, 0x03, 0x5A},
    {"battery low warning",
     {0x80,    // Battery
      0x03,    // Report
      0xFF},   // low-battery warning
     0, 0x80, 0x03, 0xFF},
    {"basic report without its value", {0x20, 0x03}, ZW_ERR_TOO_SMALL, 0, 0, 0},
    {"binary switch report without its value", {0x25, 0x03}, ZW_ERR_TOO_SMALL, 0, 0, 0},
    {"battery report without its level", {0x80, 0x03}, ZW_ERR_TOO_SMALL, 0, 0, 0},
    {"class only", {0x25}, ZW_ERR_TOO_SMALL, 0, 0, 0},
    {"nothing", {}, ZW_ERR_TOO_SMALL, 0, 0, 0},
    {"an extended class needs three bytes", {0xF1, 0x00}, ZW_ERR_TOO_SMALL, 0, 0, 0},
    {"an extended class has no rows", {0xF1, 0x00, 0x03, 0x01}, ZW_ERR_RPT_NOT_FOUND, 0, 0, 0},
    {"binary switch get is no report", {0x25, 0x02}, ZW_ERR_RPT_NOT_FOUND, 0, 0, 0},
    {"unknown command", {0x80, 0x7F, 0x01}, ZW_ERR_RPT_NOT_FOUND, 0, 0, 0},
};

class Parse : public ::testing::TestWithParam<parse_case> {};

TEST_P(Parse, GoldenFrames)
{
    const parse_case &c = GetParam();
    // Exactly the frame's length on the heap: one byte more is read, ASan says so.
    std::unique_ptr<uint8_t[]> buf(new uint8_t[c.frame.size() ? c.frame.size() : 1]);
    std::copy(c.frame.begin(), c.frame.end(), buf.get());
    zwif_rpt_rec_t rec;
    rec.val[0] = 0xAA;
    ASSERT_EQ(c.rc, zwif_rpt_parse(c.frame.empty() ? nullptr : buf.get(), static_cast<uint16_t>(c.frame.size()),
                                   &rec));
    if (c.rc != 0) {
        EXPECT_EQ(0xAA, rec.val[0]) << "a refused frame leaves the record alone";
        return;
    }
    EXPECT_EQ(c.cls, rec.cls);
    EXPECT_EQ(c.cmd, rec.cmd);
    EXPECT_EQ(1, rec.len);
    EXPECT_EQ(c.value, rec.val[0]);
}

INSTANTIATE_TEST_SUITE_P(Reports, Parse, ::testing::ValuesIn(parse_cases),
                         [](const auto &info) {
                             std::string n = info.param.name;
                             for (char &ch : n)
                                 if (!isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             return n;
                         });

// The golden frames, which the report fuzz target starts from, hold a frame
// that each row of the dispatcher's table takes: a row added without one
// would leave its parser out of the fuzz run.
TEST(Parse, EveryReportRowHasAGoldenFrameItTakes)
{
    std::set<std::pair<uint16_t, uint8_t>> taken;
    for (const std::vector<uint8_t> &f : rpt_golden::frames()) {
        std::unique_ptr<uint8_t[]> buf(new uint8_t[f.size()]);
        std::copy(f.begin(), f.end(), buf.get());
        zwif_rpt_rec_t rec;
        const int rc = zwif_rpt_parse(buf.get(), static_cast<uint16_t>(f.size()), &rec);
        EXPECT_EQ(0, rc) << "golden frame " << std::hex << int(f[0]) << " " << int(f[1]);
        if (rc == 0)
            taken.insert({rec.cls, rec.cmd});
    }
    size_t rows = 0;
    for (const zwif_rpt_defs_t *fam : {&zwif_rpt_defs_basic, &zwif_rpt_defs_sw, &zwif_rpt_defs_ctl, &zwif_rpt_defs_mgmt})
        for (size_t r = 0; r < fam->cnt; ++r, ++rows)
            EXPECT_TRUE(taken.count({fam->rows[r].cls, fam->rows[r].cmd}))
                << "no golden frame for " << std::hex << fam->rows[r].cls << " " << int(fam->rows[r].cmd);
    EXPECT_EQ(rows, taken.size()) << "each golden frame is of a row";
}

// Every prefix and random mutations of each golden frame, in buffers of
// exactly their length, through the dispatcher: AddressSanitizer proves no
// read past a frame; the callbacks check that they run unlocked.
TEST(Dispatch, PrefixesAndMutationsOfGoldenFramesStayInBounds)
{
    rpt_bare::net net;
    std::mt19937 rng(20261210);
    auto run = [&](const std::vector<uint8_t> &f) {
        std::unique_ptr<uint8_t[]> buf(new uint8_t[f.size() ? f.size() : 1]);
        std::copy(f.begin(), f.end(), buf.get());
        return net.dispatch(buf.get(), static_cast<uint16_t>(f.size()));
    };
    for (const parse_case &c : parse_cases) {
        for (size_t n = 0; n <= c.frame.size(); ++n) {
            const std::vector<uint8_t> prefix(c.frame.begin(), c.frame.begin() + n);
            const int rc = run(prefix);
            if (n < 2) {
                EXPECT_EQ(0, rc) << c.name << " prefix " << n;
            }
        }
        for (int m = 0; m < 500; ++m) {
            std::vector<uint8_t> f = c.frame;
            const int edits = 1 + int(rng() % 3);
            for (int e = 0; e < edits; ++e) {
                switch (rng() % 3) {
                case 0:
                    if (!f.empty())
                        f[rng() % f.size()] = static_cast<uint8_t>(rng());
                    break;
                case 1: f.insert(f.begin() + (f.empty() ? 0 : rng() % f.size()), static_cast<uint8_t>(rng())); break;
                default:
                    if (!f.empty())
                        f.erase(f.begin() + rng() % f.size());
                }
            }
            run(f);
        }
    }
    const unsigned before = rpt_bare::g_calls;
    const uint8_t full[3] = {0x25, 0x03, 0x42};
    EXPECT_EQ(1, net.dispatch(full, sizeof full));
    EXPECT_GE(rpt_bare::g_calls, before + 1) << "the sweep left the dispatcher working";
}

struct if_deleter {
    void operator()(zwif_p i) const { zwif_dat_free(i); }
};
using if_ptr = std::unique_ptr<zwif_t, if_deleter>;

if_ptr bare_if(uint16_t cls)
{
    if_ptr i(zwif_create(cls, 1, IF_PROPTY_UNSECURE));
    EXPECT_NE(nullptr, i);
    return i;
}

int64_t entry_time(zwif_p i, size_t n)
{
    int64_t t;
    std::memcpy(&t, static_cast<uint8_t *>(i->cch_data) + n * i->cch_ele_sz, sizeof t);
    return t;
}

TEST(Cache, InitMakesOneZeroedEntryOfEitherKind)
{
    if_ptr plain = bare_if(0x31);
    ASSERT_EQ(0, zwif_cache_init(plain.get(), 8, 0));
    EXPECT_EQ(0, plain->cch_kind);
    EXPECT_EQ(1, plain->cch_ele_cnt);
    EXPECT_EQ(16, plain->cch_ele_sz);
    const auto *p = static_cast<const uint8_t *>(plain->cch_data);
    for (int b = 0; b < 16; ++b)
        EXPECT_EQ(0, p[b]);

    if_ptr slots = bare_if(0x71);
    ASSERT_EQ(0, zwif_cache_init(slots.get(), 12, 1));
    EXPECT_EQ(1, slots->cch_kind);
    EXPECT_EQ(1, slots->cch_ele_cnt);
    EXPECT_EQ(sizeof(zwif_cch_slot_t), slots->cch_ele_sz);
    const auto *slot = static_cast<const zwif_cch_slot_t *>(slots->cch_data);
    EXPECT_EQ(20, slot->len);
    ASSERT_NE(nullptr, slot->buf);
}

TEST(Cache, UpsertKeepsOneEntryPerKeyAndTellsWhatChanged)
{
    if_ptr i = bare_if(0x31);
    // Before a cache exists nothing is stored, and the report counts as new.
    const uint8_t a1[2] = {0x01, 0x10};
    EXPECT_EQ(1, zwif_cache_upsert(i.get(), a1, 2, 1, 100));
    EXPECT_EQ(nullptr, i->cch_data);

    ASSERT_EQ(0, zwif_cache_init(i.get(), 2, 0));
    // The zeroed first entry holds key 0.
    const uint8_t a0[2] = {0x00, 0x00};
    EXPECT_EQ(0, zwif_cache_upsert(i.get(), a0, 2, 1, 101)) << "same key, same value";
    EXPECT_EQ(101, entry_time(i.get(), 0)) << "a repeat still renews the time";
    EXPECT_EQ(1, zwif_cache_upsert(i.get(), a1, 2, 1, 102)) << "a new key";
    EXPECT_EQ(2, i->cch_ele_cnt);
    EXPECT_EQ(0, zwif_cache_upsert(i.get(), a1, 2, 1, 103));
    const uint8_t a1b[2] = {0x01, 0x11};
    EXPECT_EQ(1, zwif_cache_upsert(i.get(), a1b, 2, 1, 104)) << "a changed value";
    EXPECT_EQ(2, i->cch_ele_cnt);
    EXPECT_EQ(104, entry_time(i.get(), 1));
    EXPECT_EQ(0x11, static_cast<uint8_t *>(i->cch_data)[i->cch_ele_sz + 9]);
    // A record of another size is not this cache's.
    const uint8_t other[3] = {0x01, 0x02, 0x03};
    EXPECT_EQ(1, zwif_cache_upsert(i.get(), other, 3, 1, 105));
    EXPECT_EQ(2, i->cch_ele_cnt);
}

TEST(Cache, CountStopsAt255Keys)
{
    if_ptr i = bare_if(0x32);
    ASSERT_EQ(0, zwif_cache_init(i.get(), 2, 0));
    for (unsigned k = 1; k < 300; ++k) {
        const uint8_t rec[2] = {static_cast<uint8_t>(k), static_cast<uint8_t>(k >> 8)};
        EXPECT_EQ(1, zwif_cache_upsert(i.get(), rec, 2, 2, k));
    }
    EXPECT_EQ(255, i->cch_ele_cnt) << "the byte count never wraps";
    // The entries kept are the first 255 keys, intact.
    const auto *ents = static_cast<const uint8_t *>(i->cch_data);
    EXPECT_EQ(0, ents[8]);
    EXPECT_EQ(254, ents[254 * i->cch_ele_sz + 8]);
    const uint8_t old[2] = {0x05, 0x00};
    EXPECT_EQ(0, zwif_cache_upsert(i.get(), old, 2, 2, 1000)) << "known keys still update";
}

TEST(Cache, SupportedBlockGrowsBeforeItIsWritten)
{
    if_ptr i = bare_if(0x30);
    const uint8_t small[2] = {1, 2};
    ASSERT_EQ(0, zwif_data_set(i.get(), 2, 1, small));
    const uint8_t big[40] = {9, 8, 7, 6, 5, 4, 3, 2, 1};
    // ASan sees a write past a 2-byte buffer if the block is not grown first.
    ASSERT_EQ(0, zwif_data_set(i.get(), 10, 4, big));
    EXPECT_EQ(10, i->data_cnt);
    EXPECT_EQ(4, i->data_item_sz);
    EXPECT_EQ(0, std::memcmp(i->data, big, sizeof big));
    ASSERT_EQ(0, zwif_data_set(i.get(), 1, 2, small));
    EXPECT_EQ(0, std::memcmp(i->data, small, sizeof small));
}

}  // namespace
