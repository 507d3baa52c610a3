// The core's tables on their own: report rows per class and version, the
// get/report table, the frame class/command reader and the transmit status
// mapping.
#include "hcapi/core/zwnode_q.h"
#include "hcapi/core/zwrec.h"
#include "hcapi/zip/zip_error.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

struct if_deleter {
    void operator()(zwif_p i) const { zwif_dat_free(i); }
};
using if_ptr = std::unique_ptr<zwif_t, if_deleter>;

struct rows_case {
    uint16_t cls;
    uint8_t ver;
    std::vector<uint8_t> rows;
};

TEST(ReportRows, ByClassAndVersion)
{
    const rows_case cases[] = {
        {0x20, 1, {0x03}},
        {0x26, 2, {0x03}},
        {0x26, 3, {0x03, 0x07}},
        {0x30, 1, {0x03}},
        {0x31, 4, {0x05}},
        {0x31, 5, {0x05, 0x02, 0x06}},
        {0x32, 1, {0x02}},
        {0x32, 2, {0x02, 0x04}},
        {0x43, 2, {0x03, 0x05}},
        {0x60, 1, {0x05}},
        {0x60, 3, {0x05, 0x08, 0x0A, 0x0C}},
        {0x60, 4, {0x05, 0x08, 0x0A, 0x0C, 0x0F}},
        {0x71, 1, {0x05}},
        {0x71, 2, {0x05, 0x08}},
        {0x71, 8, {0x05, 0x08, 0x02}},
        {0x71, 0, {}},
        {0x75, 1, {0x03}},
        {0x75, 2, {0x03, 0x05, 0x08, 0x0B}},
        {0x84, 1, {0x06, 0x07}},
        {0x84, 2, {0x06, 0x07, 0x0A}},
        {0x3D, 1, {0x02, 0x04, 0x06, 0x08, 0x0B, 0x0D, 0x0F}},
        {0x21, 1, {}},
        {0x8F, 1, {}},
        {0xF100, 1, {}},
        {0x9F, 1, {0x0E}},
    };
    for (const rows_case &c : cases) {
        if_ptr i(zwif_create(c.cls, c.ver, 0));
        ASSERT_TRUE(i) << std::hex << c.cls;
        std::vector<uint8_t> rows;
        for (uint8_t r = 0; r < i->rpt_num; ++r)
            rows.push_back(i->rpt[r].rpt_cmd);
        EXPECT_EQ(c.rows, rows) << std::hex << c.cls << " v" << int(c.ver);
        EXPECT_EQ(c.ver, i->real_ver);
    }
    EXPECT_EQ(nullptr, zwif_create(0x60, 0, 0));  // Multi Channel version 0
}

TEST(ReportRows, SupervisionStartsWithASessionIdBelow64)
{
    for (int i = 0; i < 20; ++i) {
        if_ptr s(zwif_create(0x6C, 1, 0));
        ASSERT_TRUE(s);
        ASSERT_EQ(1, s->data_cnt);
        ASSERT_EQ(1, s->data_item_sz);
        EXPECT_LT(*static_cast<uint8_t *>(s->data), 64);
    }
}

// Interface free releases every block it holds, whatever the counts say
// (LeakSanitizer proves it).
TEST(ReportRows, FreeReleasesBlocksWithZeroCounts)
{
    if_ptr i(zwif_create(0x31, 5, 0));
    i->data = std::malloc(12);
    i->data_cnt = 0;
    i->cch_kind = 1;
    i->cch_ele_cnt = 2;
    auto *slots = static_cast<zwif_cch_slot_t *>(std::calloc(2, sizeof(zwif_cch_slot_t)));
    slots[0].buf = std::malloc(16);
    slots[1].buf = std::malloc(20);
    i->cch_data = slots;
    i->tmp_data = std::malloc(7);
}

struct frame_case {
    std::vector<uint8_t> frame;
    int ok;
    uint16_t cls;
    uint8_t cmd;
    int listed;
    uint8_t rpt;
};

TEST(Frames, ClassCommandAndAwaitedReport)
{
    const frame_case cases[] = {
        {{}, 0, 0, 0, 0, 0},
        {{0x20}, 0, 0, 0, 0, 0},
        {{0x20, 0x02}, 1, 0x20, 0x02, 1, 0x03},
        {{0x20, 0x01, 0xFF}, 1, 0x20, 0x01, 0, 0},
        {{0x30, 0x01}, 1, 0x30, 0x01, 1, 0x04},
        {{0x43, 0x09}, 1, 0x43, 0x09, 1, 0x0A},
        {{0x6C, 0x01, 0x05}, 1, 0x6C, 0x01, 1, 0x02},
        {{0x66, 0x07}, 1, 0x66, 0x07, 1, 0x08},
        {{0xF1, 0x00}, 0, 0, 0, 0, 0},  // a two-byte class needs a command
        {{0xF1, 0x00, 0x02}, 1, 0xF100, 0x02, 0, 0},
        {{0xF0, 0x01}, 1, 0xF0, 0x01, 0, 0},
    };
    for (const frame_case &c : cases) {
        uint16_t cls = 0;
        uint8_t cmd = 0, rpt = 0;
        const auto len = static_cast<uint16_t>(c.frame.size());
        ASSERT_EQ(c.ok, zwif_cls_cmd_get(c.frame.data(), len, &cls, &cmd));
        if (c.ok) {
            EXPECT_EQ(c.cls, cls);
            EXPECT_EQ(c.cmd, cmd);
        }
        EXPECT_EQ(c.listed, zwif_get_rpt_cmd(c.frame.data(), len, &cls, &rpt));
        if (c.listed) {
            EXPECT_EQ(c.rpt, rpt);
        }
    }
}

TEST(TxStatus, MapsTheApplicationLayersResults)
{
    const struct {
        int zip;
        uint8_t sts;
    } cases[] = {
        {0, 0}, {ZIP_ERR_NO_ACK, 1}, {ZIP_ERR_NACK_WAIT, 3}, {ZIP_ERR_NACK, 4}, {ZIP_ERR_SEND, 2},
        {ZIP_ERR_REPLY_TIMEOUT, 2}, {ZIP_ERR_NOT_RUNNING, 2},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.sts, zwif_tx_sts_map(c.zip)) << c.zip;
}

}  // namespace
