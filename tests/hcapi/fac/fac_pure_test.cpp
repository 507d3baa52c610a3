// CRC-16 against a known check value and against python3's binascii, data
// file names, DSK text both ways, and the Security 2 transmit key option.
#include "hcapi/core/zwfac.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};
using c_text = std::unique_ptr<char, free_deleter>;

TEST(Crc16, CheckValueOfTheAugCcittParameters)
{
    const std::string check = "123456789";
    const auto *bytes = reinterpret_cast<const uint8_t *>(check.data());
    EXPECT_EQ(0xE5CC, zwnet_crc16(ZWNET_CRC16_INIT, bytes, check.size()));
    EXPECT_EQ(0x31C3, zwnet_crc16(0x0000, bytes, check.size()));  // the same polynomial from 0
    EXPECT_EQ(0x1D0F, zwnet_crc16(ZWNET_CRC16_INIT, bytes, 0));
}

// Random buffers of random lengths, checked by python3's binascii.crc_hqx,
// an implementation of the same CRC that is not ours.
TEST(Crc16, AgreesWithPythonOnRandomData)
{
    std::mt19937 rng(20261210);
    std::vector<std::vector<uint8_t>> bufs;
    char path[] = "/tmp/zw_crc_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_LE(0, fd);
    FILE *f = fdopen(fd, "w");
    ASSERT_NE(nullptr, f);
    for (int i = 0; i < 64; ++i) {
        std::vector<uint8_t> b(rng() % 1500);
        for (uint8_t &x : b)
            x = static_cast<uint8_t>(rng());
        for (uint8_t x : b)
            std::fprintf(f, "%02x", x);
        std::fprintf(f, "\n");
        bufs.push_back(std::move(b));
    }
    std::fclose(f);
    const std::string cmd = std::string("/usr/bin/python3 -c 'import sys, binascii\n"
                                        "for l in open(sys.argv[1]): print(binascii.crc_hqx(bytes.fromhex(l.strip()), 0x1D0F))' ") +
                            path;
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(nullptr, p);
    for (const auto &b : bufs) {
        unsigned expected = 0;
        ASSERT_EQ(1, std::fscanf(p, "%u", &expected));
        EXPECT_EQ(expected, zwnet_crc16(ZWNET_CRC16_INIT, b.data(), b.size())) << "length " << b.size();
    }
    EXPECT_EQ(0, pclose(p));
    std::remove(path);
}

TEST(Crc16, FileFromItsPositionAndRewound)
{
    FILE *f = std::tmpfile();
    ASSERT_NE(nullptr, f);
    std::fputs("xx123456789", f);
    std::fseek(f, 2, SEEK_SET);
    EXPECT_EQ(0xE5CC, zwnet_file_crc16_chk(f));
    EXPECT_EQ(0, std::ftell(f));
    std::fclose(f);
    EXPECT_EQ(0, zwnet_file_crc16_chk(nullptr));
}

struct name_case {
    const char *prefix;
    const char *dir;
    uint32_t home_id;
    uint32_t client_id;
    int client;
    const char *expected;
};

TEST(DataFileName, FormsOfTheName)
{
    const name_case cases[] = {
        {"nif", "/var/lib/zw/", 0x1A2B3C4D, 0, 0, "/var/lib/zw/nif1A2B3C4D.dat"},
        {"nif", nullptr, 0x00000001, 0, 0, "nif00000001.dat"},
        {"nif", "/d/", 0xFEDCBA98, 42, 1, "/d/cliFEDCBA98_0000002A.dat"},
        {"net", "", 0, 0, 0, "net00000000.dat"},
    };
    for (const name_case &c : cases) {
        char *name = nullptr;
        ASSERT_EQ(0, zwnet_data_file_name(c.prefix, c.dir, c.home_id, c.client_id, &name, c.client));
        c_text owned(name);
        EXPECT_STREQ(c.expected, name);
    }
}

TEST(DskText, FromBytes)
{
    const uint8_t dsk[16] = {0x00, 0x00, 0xFF, 0xFF, 0x01, 0x02, 0x80, 0x00,
                             0x30, 0x39, 0x00, 0x01, 0xAB, 0xCD, 0x12, 0x34};
    c_text text(zwnet_dsk_to_txt(dsk, 16));
    ASSERT_TRUE(text);
    EXPECT_STREQ("00000-65535-00258-32768-12345-00001-43981-04660", text.get());
    EXPECT_EQ(47u, std::string(text.get()).size());
    c_text two(zwnet_dsk_to_txt(dsk + 2, 2));
    ASSERT_TRUE(two);
    EXPECT_STREQ("65535", two.get());
    EXPECT_EQ(nullptr, zwnet_dsk_to_txt(dsk, 15));
    EXPECT_EQ(nullptr, zwnet_dsk_to_txt(dsk, 0));
    EXPECT_EQ(nullptr, zwnet_dsk_to_txt(nullptr, 16));
}

TEST(DskText, RoundTripsRandomKeys)
{
    std::mt19937 rng(47);
    for (int i = 0; i < 200; ++i) {
        uint8_t dsk[16];
        for (uint8_t &b : dsk)
            b = static_cast<uint8_t>(rng());
        c_text text(zwnet_dsk_to_txt(dsk, 16));
        ASSERT_TRUE(text);
        ASSERT_TRUE(zwnet_dsk_txt_valid(text.get())) << text.get();
        uint8_t back[16] = {};
        uint8_t len = 0;
        ASSERT_TRUE(zwnet_dsk_from_txt(text.get(), back, &len));
        EXPECT_EQ(16, len);
        EXPECT_EQ(0, std::memcmp(dsk, back, 16)) << text.get();
    }
}

TEST(DskText, RefusesMalformedTexts)
{
    const char *bad[] = {
        "",
        "00000-00000-00000-00000-00000-00000-00000",              // seven groups
        "00000-00000-00000-00000-00000-00000-00000-00000-00000",  // nine
        "00000-00000-00000-00000-00000-00000-00000-00000-",       // trailing separator
        "00000-00000-00000-00000-00000-00000-00000-00000 ",       // trailing space
        "00000-00000-00000-00000-00000-00000-00000-0000",         // short last group
        "00000-00000-00000-00000-00000-00000-00000-000000",       // long last group
        "0000-000000-00000-00000-00000-00000-00000-00000",        // misplaced separator
        "00000--0000-00000-00000-00000-00000-00000-00000",
        "00000 00000-00000-00000-00000-00000-00000-00000",
        "0000a-00000-00000-00000-00000-00000-00000-00000",
        " 0000-00000-00000-00000-00000-00000-00000-00000",
        "+0000-00000-00000-00000-00000-00000-00000-00000",
        "65536-00000-00000-00000-00000-00000-00000-00000",  // above two bytes
        "00000-00000-00000-00000-00000-00000-00000-99999",
    };
    for (const char *text : bad) {
        EXPECT_FALSE(zwnet_dsk_txt_valid(text)) << text;
        uint8_t dsk[16] = {0x5A};
        uint8_t len = 7;
        EXPECT_FALSE(zwnet_dsk_from_txt(text, dsk, &len)) << text;
        EXPECT_EQ(7, len);
        EXPECT_EQ(0x5A, dsk[0]);
    }
    EXPECT_FALSE(zwnet_dsk_txt_valid(nullptr));
    EXPECT_TRUE(zwnet_dsk_txt_valid("65535-65535-65535-65535-65535-65535-65535-65535"));
}

TEST(S2TxKey, HighestGrantedKeyWins)
{
    const struct {
        uint8_t keys;
        uint16_t option;
    } cases[] = {
        {0x00, 0x8000}, {0x80, 0x8000}, {0x01, 0x0100}, {0x02, 0x0200},
        {0x03, 0x0200}, {0x04, 0x0400}, {0x87, 0x0400}, {0x81, 0x0100},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.option, zwnet_s2_tx_key_get(c.keys)) << int(c.keys);
}

}  // namespace
