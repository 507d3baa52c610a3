// Address utilities checked against glibc's own conversions, the probe's
// bytes, and the answer matcher on a table of hostile and valid datagrams.
#include "hcapi/zip/zip_addr.h"
#include "hcapi/zip/zip_discvr.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(UtilIpAddr, ParseAgreesWithInetPton)
{
    const char *texts[] = {
        "192.168.1.1", "0.0.0.0", "255.255.255.255", "10.0.0.1", "1.2.3", "256.1.1.1", "1.2.3.4.5",
        "01.2.3.4", "192.168.1.1 ", " 192.168.1.1", "::", "::1", "fe80::1", "::ffff:192.168.1.1",
        "2001:db8::8:800:200c:417a", "1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8:9", "1::2::3", "fe80::1%eth0",
        "FD77::AB", "", "abc", "::g", ":::",
    };
    for (const char *t : texts) {
        SCOPED_TRACE(t);
        uint8_t want4[4], want6[16];
        int is4 = inet_pton(AF_INET, t, want4) == 1;
        int is6 = !is4 && inet_pton(AF_INET6, t, want6) == 1;
        uint8_t got[16];
        std::memset(got, 0xAA, sizeof got);
        int flag = -1;
        int r = util_ip_addr_parse(t, got, &flag);
        if (is4) {
            ASSERT_EQ(r, 0);
            EXPECT_EQ(flag, 1);
            EXPECT_EQ(std::memcmp(got, want4, 4), 0);
            EXPECT_EQ(got[4], 0xAA) << "an IPv4 parse writes only 4 bytes";
        } else if (is6) {
            ASSERT_EQ(r, 0);
            EXPECT_EQ(flag, 0);
            EXPECT_EQ(std::memcmp(got, want6, 16), 0);
        } else {
            EXPECT_EQ(r, -2);
        }
    }
    uint8_t a[16];
    int f;
    EXPECT_EQ(util_ip_addr_parse(nullptr, a, &f), -2);
}

TEST(UtilIpAddr, TextAgreesWithInetNtop)
{
    const char *v4[] = {"0.0.0.0", "127.0.0.1", "192.168.1.1", "255.255.255.255", "10.77.0.2"};
    for (const char *t : v4) {
        uint8_t a[4];
        ASSERT_EQ(inet_pton(AF_INET, t, a), 1);
        char want[INET_ADDRSTRLEN], got[64];
        inet_ntop(AF_INET, a, want, sizeof want);
        ASSERT_EQ(util_ip_addr_to_str(a, got, sizeof got, 1), 0) << t;
        EXPECT_STREQ(got, want);
    }
    const char *v6[] = {"::", "::1", "fe80::1", "::ffff:192.168.1.1", "2001:db8::8:800:200c:417a",
                        "1:2:3:4:5:6:7:8", "fd77::6", "ff02::2", "2001:db8:0:0:1:0:0:1"};
    for (const char *t : v6) {
        uint8_t a[16];
        ASSERT_EQ(inet_pton(AF_INET6, t, a), 1);
        char want[INET6_ADDRSTRLEN], got[64];
        inet_ntop(AF_INET6, a, want, sizeof want);
        ASSERT_EQ(util_ip_addr_to_str(a, got, sizeof got, 0), 0) << t;
        EXPECT_STREQ(got, want);
    }
    // A buffer too small fails and writes nothing past its end.
    uint8_t a[16];
    inet_pton(AF_INET6, "2001:db8::8:800:200c:417a", a);
    char small[8 + 4];
    std::memset(small, 'x', sizeof small);
    EXPECT_NE(util_ip_addr_to_str(a, small, 8, 0), 0);
    EXPECT_EQ(std::string(small + 8, 4), "xxxx");
}

TEST(UtilIpAddr, ZeroAndMappedTests)
{
    struct {
        const char *text;
        int zeros16_is_0, mapped;
    } cases[] = {
        {"::", 1, 0},
        {"::1", 0, 0},
        {"::ffff:192.168.1.1", 0, 1},
        {"::ffff:0.0.0.0", 0, 1},
        {"::fffe:192.168.1.1", 0, 0},
        {"1::ffff:192.168.1.1", 0, 0},
        {"fe80::1", 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        uint8_t a[16];
        ASSERT_EQ(inet_pton(AF_INET6, c.text, a), 1);
        EXPECT_EQ(util_is_zeros16(a) == 0, c.zeros16_is_0 == 1);
        EXPECT_EQ(util_is_ipv4_mapped(a), c.mapped);
    }
    const uint8_t z4[4] = {0, 0, 0, 0}, nz4[4] = {0, 0, 0, 1};
    EXPECT_EQ(util_is_zeros4(z4), 0);
    EXPECT_NE(util_is_zeros4(nz4), 0);
}

TEST(UtilIpAddr, LocalAddressTowardsLoopback)
{
    const uint8_t lo4[4] = {127, 0, 0, 1};
    uint8_t got[16] = {};
    ASSERT_EQ(util_local_addr_get(lo4, got, 1), 0);
    EXPECT_EQ(std::memcmp(got, lo4, 4), 0);
    EXPECT_EQ(util_local_addr_get(nullptr, got, 1), -2);
}

TEST(ZipGwProbe, ProbeBytes)
{
    uint8_t p[ZIP_DISCVR_PROBE_LEN];
    zip_gw_probe_bld(0x5A, 0xC3, p);
    const uint8_t want[] = {0x23, 0x02, 0x00, 0x40, 0x5A, 0x00, 0x00, 0x52, 0x03, 0xC3, 0x00, 0x00};
    EXPECT_EQ(std::memcmp(p, want, sizeof want), 0);
}

TEST(ZipGwProbe, AnswerMatching)
{
    constexpr uint8_t N = 0x37;
    using bytes = std::vector<uint8_t>;
    auto good = [](uint8_t n) {
        // Z/IP header, command included; cached node info report with n; padding
        return bytes{0x23, 0x02, 0x00, 0x40, 0x11, 0x00, 0x00, 0x52, 0x04, n, 0x00, 0x01, 0x02, 0x03};
    };
    struct {
        const char *what;
        bytes data;
        int match;
    } cases[] = {
        {"plain report, 14 bytes", good(N), 1},
        {"other sequence number", good(N + 1), 0},
        {"13 bytes", [&] { auto b = good(N); b.pop_back(); return b; }(), 0},
        {"empty", {}, 0},
        {"not Z/IP class", [&] { auto b = good(N); b[0] = 0x24; return b; }(), 0},
        {"not a packet", [&] { auto b = good(N); b[1] = 0x03; return b; }(), 0},
        {"ACK without command", [&] { auto b = good(N); b[2] = 0x40; b[3] = 0x00; return b; }(), 0},
        {"node info get, not report", [&] { auto b = good(N); b[8] = 0x03; return b; }(), 0},
        {"other class", [&] { auto b = good(N); b[7] = 0x34; return b; }(), 0},
        // header extension of 4 bytes (its first byte counts them), then the report
        {"behind header extension",
         {0x23, 0x02, 0x00, 0xC0, 0x11, 0x00, 0x00, 0x04, 0x01, 0x00, 0x00, 0x52, 0x04, N}, 1},
        {"extension, report cut after class and command",
         {0x23, 0x02, 0x00, 0xC0, 0x11, 0x00, 0x00, 0x05, 0x01, 0x00, 0x00, 0x00, 0x52, 0x04}, 0},
        {"extension pointing past the end",
         {0x23, 0x02, 0x00, 0xC0, 0x11, 0x00, 0x00, 0xFF, 0x52, 0x04, N, 0x00, 0x00, 0x00}, 0},
        {"extension flag ignored without it: report at 7 is not used",
         {0x23, 0x02, 0x00, 0xC0, 0x11, 0x00, 0x00, 0x52, 0x04, N, 0x00, 0x00, 0x00, 0x00}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        // Exactly sized copy, so that ASan sees any read past the datagram.
        std::vector<uint8_t> copy(c.data);
        EXPECT_EQ(zip_gw_probe_rsp_match(copy.empty() ? nullptr : copy.data(), copy.size(), N), c.match);
    }
}

}  // namespace
