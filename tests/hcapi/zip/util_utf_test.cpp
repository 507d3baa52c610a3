// UTF conversions, checked against Python's strict codecs (run at test time)
// and against the cases that matter for device texts.
#include "hcapi/zip/zip_utf.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> unhex(const std::string &h)
{
    std::vector<uint8_t> out;
    if (h == "-")
        return out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return out;
}

std::string utf8_of(const std::vector<uint8_t> &be, size_t out_size, int *result, bool big_endian = true)
{
    std::vector<uint8_t> in = be;
    if (!big_endian)
        for (size_t i = 0; i + 1 < in.size(); i += 2)
            std::swap(in[i], in[i + 1]);
    std::vector<uint8_t> out(out_size + 1, 0xAA);  // one guard byte past the given size
    *result = util_utf16_to_utf8(in.data(), in.size() / 2, out.data(), out_size, big_endian ? 1 : 0);
    EXPECT_EQ(0xAA, out[out_size]) << "wrote past the output size";
    if (*result != 0)
        return {};
    const char *text = reinterpret_cast<const char *>(out.data());
    return std::string(text, strnlen(text, out_size));
}

TEST(Utf8, ValidPrefixCases)
{
    struct {
        std::vector<uint8_t> in;
        size_t want;
    } cases[] = {
        {{0x41, 0xC3}, 1},                // lead byte cut off
        {{0x41, 0x80, 0x42}, 1},          // a continuation byte begins nothing
        {{0xC0, 0xAF}, 0},                // overlong '/'
        {{0xE0, 0x80, 0xAF}, 0},          // overlong '/'
        {{0xF0, 0x80, 0x80, 0xAF}, 0},    // overlong '/'
        {{0xED, 0xA0, 0x80}, 0},          // U+D800
        {{0xF4, 0x90, 0x80, 0x80}, 0},    // above U+10FFFF
        {{0x61, 0xC3, 0xA9, 0xF0, 0x9F, 0x98, 0x80}, 7},
    };
    for (auto &c : cases)
        EXPECT_EQ(c.want, util_utf8_valid_len(c.in.data(), c.in.size()));
    EXPECT_EQ(0u, util_utf8_valid_len(nullptr, 5));
}

TEST(Utf16, SpecimenCases)
{
    std::vector<uint8_t> pair{0xD8, 0x3D, 0xDE, 0x00, 0x00, 0x00};
    std::vector<uint8_t> out(8, 0xAA);
    ASSERT_EQ(0, util_utf16_to_utf8(pair.data(), 3, out.data(), out.size(), 1));
    EXPECT_EQ((std::vector<uint8_t>{0xF0, 0x9F, 0x98, 0x80, 0x00}), std::vector<uint8_t>(out.begin(), out.begin() + 5));

    const uint32_t cps[] = {0x41, 0xE9};
    uint8_t four[4];
    EXPECT_EQ(3, util_ucs4_to_utf8(cps, 2, four, sizeof four));
    EXPECT_EQ((std::vector<uint8_t>{0x41, 0xC3, 0xA9, 0x00}), std::vector<uint8_t>(four, four + 4));
    uint8_t three[3];
    EXPECT_EQ(1, util_ucs4_to_utf8(cps, 2, three, sizeof three));
    EXPECT_EQ(0x41, three[0]);
    EXPECT_EQ(0, three[1]);
    EXPECT_EQ(-1, util_ucs4_to_utf8(cps, 2, three, 0));

    // Code points that are not scalar values are left out.
    const uint32_t odd[] = {0x41, 0xD800, 0x110000, 0x42};
    uint8_t buf[8];
    EXPECT_EQ(2, util_ucs4_to_utf8(odd, 4, buf, sizeof buf));
    EXPECT_STREQ("AB", reinterpret_cast<char *>(buf));
}

TEST(Utf16, RefusalsAndLimits)
{
    int r;
    // The input count bounds the scan: no terminating 0 unit is needed.
    std::vector<uint8_t> ab{0x00, 0x41, 0x00, 0x42, 0x00, 0x43};
    std::vector<uint8_t> out(8, 0);
    ASSERT_EQ(0, util_utf16_to_utf8(ab.data(), 2, out.data(), out.size(), 1));
    EXPECT_STREQ("AB", reinterpret_cast<char *>(out.data()));
    // A 0 unit inside the count ends the text.
    std::vector<uint8_t> stop{0x00, 0x41, 0x00, 0x00, 0x00, 0x42};
    EXPECT_EQ("A", utf8_of(stop, 8, &r));
    EXPECT_EQ(0, r);

    struct {
        std::vector<uint8_t> in;
        int want;
    } refused[] = {
        {{}, -1},
        {{0x00, 0x00, 0x00, 0x41}, -1},
        {{0xFF, 0xFE}, -3},               // U+FFFE
        {{0xFF, 0xFF}, -3},               // U+FFFF
        {{0xFD, 0xD0}, -3},               // U+FDD0
        {{0xFD, 0xEF}, -3},               // U+FDEF
        {{0xD8, 0x00, 0xD8, 0x01, 0xDC, 0x00}, -3},  // a high surrogate followed by another
        {{0x00, 0x41, 0xDB, 0xFF}, -3},   // a high surrogate at the end
    };
    for (auto &c : refused) {
        utf8_of(c.in, 8, &r);
        EXPECT_EQ(c.want, r);
    }
    EXPECT_EQ(-4, util_utf16_to_utf8(ab.data(), 2, nullptr, 8, 1));
    EXPECT_EQ(-1, util_utf16_to_utf8(nullptr, 2, out.data(), 8, 1));

    std::vector<uint32_t> cps;
    const uint16_t units[] = {0xD83D, 0xDE00, 0x41};
    EXPECT_EQ(2, util_utf16_chk_cvt(units, cps, 3));
    EXPECT_EQ((std::vector<uint32_t>{0x1F600, 0x41}), cps);
    EXPECT_EQ(0, util_utf16_chk_cvt(units, cps, 0));
}

// Every case line of the oracle script: UTF-8 prefixes, UTF-16 conversions
// (both byte orders) and cut output.
TEST(UtfOracle, AgreesWithPython)
{
    const char *src = std::getenv("ZW_SOURCE_DIR");
    ASSERT_NE(nullptr, src) << "tests run with ZW_SOURCE_DIR";
    std::string cmd = std::string("/usr/bin/python3 ") + src + "/tests/hcapi/zip/utf_oracle.py";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(nullptr, p);
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        text.append(buf, n);
    ASSERT_EQ(0, pclose(p)) << "oracle failed";

    std::istringstream lines(text);
    std::string line;
    int u8 = 0, u16 = 0, refused = 0, cut = 0;
    while (std::getline(lines, line)) {
        std::istringstream f(line);
        std::string kind, in_hex;
        f >> kind >> in_hex;
        std::vector<uint8_t> in = unhex(in_hex);
        if (kind == "U8") {
            size_t want;
            f >> want;
            EXPECT_EQ(want, util_utf8_valid_len(in.data(), in.size())) << line;
            ++u8;
        } else if (kind == "U16") {
            std::string want;
            f >> want;
            for (bool be : {true, false}) {
                int r;
                std::string got = utf8_of(in, 255, &r, be);
                if (want == "ERR") {
                    EXPECT_EQ(-3, r) << line;
                } else {
                    EXPECT_EQ(0, r) << line;
                    std::vector<uint8_t> w = unhex(want);
                    EXPECT_EQ(std::string(w.begin(), w.end()), got) << line << (be ? " BE" : " LE");
                }
            }
            want == "ERR" ? ++refused : ++u16;
        } else if (kind == "U16T") {
            size_t size;
            std::string want;
            f >> size >> want;
            int r;
            std::string got = utf8_of(in, size, &r);
            EXPECT_EQ(0, r) << line;
            std::vector<uint8_t> w = unhex(want);
            EXPECT_EQ(std::string(w.begin(), w.end()), got) << line;
            ++cut;
        } else {
            ADD_FAILURE() << "unknown oracle line: " << line;
        }
    }
    EXPECT_GT(u8, 400);
    EXPECT_GT(u16, 150);
    EXPECT_GT(refused, 150);
    EXPECT_EQ(100, cut);
}

}  // namespace
