// The identification and gateway reports that initialisation reads: each
// frame fed in a buffer of exactly its length, at its shortest, one byte
// short, and with what only some versions carry.
#include "ident_rpt_net.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

struct rpt_case {
    const char *name;
    std::vector<uint8_t> frame;
    std::string expect;  // "" no callback
    uint8_t ep = 0;
};

TEST(IdentReports, FramesToCallbacks)
{
    // 0x5F 0x0A, 16 address bytes 0x11, port 4321.
    std::vector<uint8_t> dst(20, 0x11);
    dst[0] = 0x5F;
    dst[1] = 0x0A;
    dst[18] = 0x10;
    dst[19] = 0xE1;
    // 0x69 0x03, modes 1 and mode 2, capacity 500, 16 address bytes, port 4321.
    std::vector<uint8_t> mbx(23, 0x00);
    mbx[0] = 0x69;
    mbx[1] = 0x03;
    mbx[2] = 0x0A;
    mbx[3] = 0x01;
    mbx[4] = 0xF4;
    mbx[21] = 0x10;
    mbx[22] = 0xE1;
    const rpt_case cases[] = {
        {"unsolicited destination", dst, "dst 11111111111111111111111111111111 4321"},
        {"unsolicited destination, short", {dst.begin(), dst.end() - 1}, ""},
        {"mailbox", mbx, "mbx 1 2 500 4321"},
        {"mailbox, short", {mbx.begin(), mbx.end() - 1}, ""},
        {"manufacturer", {0x72, 0x05, 0x00, 0x86, 0x00, 0x02, 0x00, 0x64}, "manf 134 2 100"},
        {"manufacturer, short", {0x72, 0x05, 0x00, 0x86, 0x00, 0x02, 0x00}, ""},
        {"device id", {0x72, 0x07, 0xF9 /* type 1 */, 0x23 /* format 1, 3 bytes */, 0x41, 0x42, 0x43},
         "devid 1 1 414243"},
        {"device id, data cut", {0x72, 0x07, 0x01, 0x23, 0x41, 0x42}, ""},
        {"device id, no data", {0x72, 0x07, 0x00, 0x00}, "devid 0 0 "},
        {"device id, longest length field", {0x72, 0x07, 0x00, 0x1F}, ""},
        {"version, v1 form", {0x86, 0x12, 0x03, 0x07, 0x10, 0x01, 0x02}, "ver 3 1808 258"},
        {"version, short", {0x86, 0x12, 0x03, 0x07, 0x10, 0x01}, ""},
        {"version, targets", {0x86, 0x12, 0x03, 0x07, 0x10, 0x01, 0x02, 0x05 /* hw */, 0x02, 0x02, 0x3A, 0x01, 0x00},
         "ver 3 1808 258 hw 5 fw 570 256"},
        {"version, targets cut", {0x86, 0x12, 0x03, 0x07, 0x10, 0x01, 0x02, 0x05, 0x02, 0x02, 0x3A, 0x01},
         "ver 3 1808 258"},
        {"version, no targets", {0x86, 0x12, 0x03, 0x07, 0x10, 0x01, 0x02, 0x05, 0x00}, "ver 3 1808 258 hw 5 fw"},
        {"version of a v1 interface ignores targets",
         {0x86, 0x12, 0x03, 0x07, 0x10, 0x01, 0x02, 0x05, 0x01, 0x02, 0x3A}, "ver 3 1808 258", 1},
        {"class version", {0x86, 0x14, 0x72, 0x02}, "ccver 114 2"},
        {"class version, short", {0x86, 0x14, 0x72}, ""},
    };
    ident_rpt::net net;
    for (const rpt_case &c : cases) {
        std::unique_ptr<uint8_t[]> buf(new uint8_t[c.frame.size()]);
        std::copy(c.frame.begin(), c.frame.end(), buf.get());
        EXPECT_EQ(c.expect, net.dispatch(buf.get(), static_cast<uint16_t>(c.frame.size()), c.ep)) << c.name;
    }
}

}  // namespace
