#include "util/zwu_inet.h"

#include "tests/support/zws_log_capture.h"

#include <arpa/inet.h>
#include <array>
#include <cstring>
#include <string>

namespace {

using zw_test::LogCapture;
using Address = std::array<uint8_t, 16>;

const uint8_t mapped_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

// Texts where IPv6 and IPv4 parsing meet or where a lenient parser would
// accept too much.
const char *const address_texts[] = {
    "192.168.1.2", "0.0.0.0", "255.255.255.255", "::", "::1", "::ffff:192.168.1.2", "::ffff:0:1.2.3.4",
    "::1.2.3.4", "2001:db8::1", "FE80::ABCD", "1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:8:9",
    ":::", "1::2::3", "1.2.3", "1.2.3.4.5", "256.1.1.1", "01.2.3.4", "0x7f.0.0.1", " 1.2.3.4", "1.2.3.4 ",
    "", "fe80::1%eth0", "localhost", "[::1]", "::ffff:1.2.3.256", "12345::",
};

struct Reference {
    bool ok;
    bool ipv6;
    Address bytes{};
};

// What the C library makes of the text: IPv6 first, then IPv4.
Reference library_pton(const char *text)
{
    Reference r{};
    if (inet_pton(AF_INET6, text, r.bytes.data()) == 1) {
        r.ok = r.ipv6 = true;
    } else if (inet_pton(AF_INET, text, r.bytes.data()) == 1) {
        r.ok = true;
    }
    return r;
}

struct Inet : LogCapture {};

TEST_F(Inet, TextToAddressAgreesWithTheCLibrary)
{
    for (const char *text : address_texts) {
        SCOPED_TRACE(std::string("text '") + text + "'");
        const Reference ref = library_pton(text);
        clear();
        Address got;
        got.fill(0xAA);
        const zwu_status_t status = zwu_inet_pton(text, got.data());
        if (!ref.ok) {
            EXPECT_EQ(status, 22);
            Address untouched;
            untouched.fill(0xAA);
            EXPECT_EQ(got, untouched);
            ASSERT_EQ(errors().size(), 1u);
            EXPECT_EQ(errors()[0], std::string("Invalid IP address: ") + text);
            continue;
        }
        ASSERT_EQ(status, 0);
        Address want = ref.bytes;
        if (!ref.ipv6) {
            std::memcpy(want.data() + 12, ref.bytes.data(), 4);
            std::memcpy(want.data(), mapped_prefix, 12);
        }
        EXPECT_EQ(got, want);
        EXPECT_TRUE(errors().empty());
    }
}

TEST_F(Inet, TextToAddressWithTypeAgreesWithTheCLibrary)
{
    for (const char *text : address_texts) {
        SCOPED_TRACE(std::string("text '") + text + "'");
        const Reference ref = library_pton(text);
        Address got;
        got.fill(0xAA);
        uint8_t type = 9;
        const zwu_status_t status = zwu_inet_pton_iptype(text, got.data(), &type);
        if (!ref.ok) {
            EXPECT_EQ(status, 22);
            EXPECT_EQ(type, 9);
            continue;
        }
        ASSERT_EQ(status, 0);
        EXPECT_EQ(type, ref.ipv6 ? 0 : 1);
        EXPECT_EQ(got, ref.bytes); // IPv4 unmapped in the first 4 bytes, the rest 0
    }
}

Address parse_with_library(const char *text)
{
    Address a{};
    EXPECT_EQ(inet_pton(AF_INET6, text, a.data()), 1) << text;
    return a;
}

TEST_F(Inet, AddressToTextAgreesWithTheCLibrary)
{
    const char *const addresses[] = {
        "::", "::1", "::ffff:192.168.1.2", "::ffff:0.0.0.0", "::ffff:255.255.255.255", "::1.2.3.4",
        "::ffff:0:1.2.3.4", "2001:db8::1", "fe80::1:2", "1:2:3:4:5:6:7:8",
        "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "0:0:0:0:0:ffff:ffff:ffff",
    };
    for (const char *text : addresses) {
        SCOPED_TRACE(text);
        const Address a = parse_with_library(text);
        char want[INET6_ADDRSTRLEN];
        const bool mapped = std::memcmp(a.data(), mapped_prefix, 12) == 0;
        ASSERT_NE(mapped ? inet_ntop(AF_INET, a.data() + 12, want, sizeof want)
                         : inet_ntop(AF_INET6, a.data(), want, sizeof want),
                  nullptr);
        char got[64];
        std::memset(got, 'Q', sizeof got);
        ASSERT_EQ(zwu_inet_ntop(a.data(), got, sizeof got), 0);
        EXPECT_STREQ(got, want);
        for (size_t i = std::strlen(got); i < sizeof got; i++)
            ASSERT_EQ(got[i], '\0') << "not cleared over its size";

        // And the text reads back as the same 16 bytes.
        Address back{};
        ASSERT_EQ(zwu_inet_pton(got, back.data()), 0);
        EXPECT_EQ(back, a);

        // Typed form: type 0 writes the C library's IPv6 text.
        char typed[46];
        ASSERT_EQ(zwu_inet_ntop_iptype(a.data(), typed, 0, sizeof typed), 0);
        ASSERT_NE(inet_ntop(AF_INET6, a.data(), want, sizeof want), nullptr);
        EXPECT_STREQ(typed, want);
    }
}

TEST_F(Inet, MappedRoundTripAndSizes)
{
    Address a{};
    ASSERT_EQ(zwu_inet_pton("192.168.1.2", a.data()), 0);
    EXPECT_EQ(a, (Address{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 192, 168, 1, 2}));
    ASSERT_EQ(lines().size(), 1u);
    EXPECT_EQ(lines()[0], "[debug] IPv4 address: 192.168.1.2\n");

    char text[46];
    ASSERT_EQ(zwu_inet_ntop(a.data(), text, sizeof text), 0);
    EXPECT_STREQ(text, "192.168.1.2");
    char small[45];
    clear();
    EXPECT_EQ(zwu_inet_ntop(a.data(), small, sizeof small), 22);
    EXPECT_TRUE(lines().empty());
}

TEST_F(Inet, TypedForms)
{
    Address a;
    a.fill(0xAA);
    uint8_t type = 9;
    ASSERT_EQ(zwu_inet_pton_iptype("10.0.0.1", a.data(), &type), 0);
    EXPECT_EQ(type, 1);
    EXPECT_EQ(a, (Address{10, 0, 0, 1}));
    ASSERT_EQ(lines().size(), 1u);
    EXPECT_EQ(lines()[0], "[debug] Received IPv4 address: 10.0.0.1\n");

    char text[46];
    clear();
    ASSERT_EQ(zwu_inet_ntop_iptype(a.data(), text, 1, sizeof text), 0);
    EXPECT_STREQ(text, "10.0.0.1");
    ASSERT_EQ(lines().size(), 1u);
    EXPECT_EQ(lines()[0], "[debug] IPv4 address: 10.0.0.1\n");

    for (uint8_t bad_type : {2, 255}) {
        clear();
        EXPECT_EQ(zwu_inet_ntop_iptype(a.data(), text, bad_type, sizeof text), 22);
        ASSERT_EQ(errors().size(), 1u);
        EXPECT_EQ(errors()[0], "Invalid IP addres");
    }
    // Too small for the text: the conversion fails with the same line.
    const Address broadcast{255, 255, 255, 255};
    char fifteen[15];
    clear();
    EXPECT_EQ(zwu_inet_ntop_iptype(broadcast.data(), fifteen, 1, sizeof fifteen), 22);
    EXPECT_EQ(errors().size(), 1u);
}

TEST_F(Inet, Ipv4TextAgreesWithTheCLibrary)
{
    for (const char *text : address_texts) {
        SCOPED_TRACE(std::string("text '") + text + "'");
        uint8_t want[4];
        const bool valid = inet_pton(AF_INET, text, want) == 1;
        clear();
        uint8_t got[4] = {0xAA, 0xAA, 0xAA, 0xAA};
        const zwu_status_t status = zwu_inet_pton_ipv4(text, got);
        if (!valid) {
            EXPECT_EQ(status, 22);
            EXPECT_EQ(std::memcmp(got, "\xAA\xAA\xAA\xAA", 4), 0) << "changed on failure";
            ASSERT_EQ(errors().size(), 1u);
            EXPECT_EQ(errors()[0], std::string("Invalid IP address: ") + text);
            continue;
        }
        ASSERT_EQ(status, 0);
        EXPECT_EQ(std::memcmp(got, want, 4), 0);
        EXPECT_TRUE(lines().empty());
    }
}

TEST_F(Inet, Ipv4AddressToTextAgreesWithTheCLibrary)
{
    const std::array<uint8_t, 4> addresses[] = {
        {0, 0, 0, 0}, {255, 255, 255, 255}, {192, 168, 1, 2}, {10, 0, 0, 1}, {1, 23, 145, 7}, {127, 0, 0, 1},
    };
    for (const auto &a : addresses) {
        char want[INET_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(AF_INET, a.data(), want, sizeof want), nullptr);
        SCOPED_TRACE(want);
        for (size_t size : {size_t{16}, size_t{17}, size_t{64}}) {
            char got[64];
            std::memset(got, 'Q', sizeof got);
            ASSERT_EQ(zwu_inet_ntop_ipv4(a.data(), got, size), 0);
            EXPECT_STREQ(got, want);
            for (size_t i = std::strlen(got); i < size; i++)
                ASSERT_EQ(got[i], '\0') << "not cleared over its size";
            EXPECT_EQ(got[size < sizeof got ? size : sizeof got - 1], size < sizeof got ? 'Q' : '\0');

            uint8_t back[4];
            ASSERT_EQ(zwu_inet_pton_ipv4(got, back), 0);
            EXPECT_EQ(std::memcmp(back, a.data(), 4), 0);
        }
    }
    EXPECT_TRUE(lines().empty());
}

TEST_F(Inet, Ipv4TextNeedsSixteenBytes)
{
    // 255.255.255.255 needs all 16; a smaller buffer is refused before it
    // is touched, whatever the address.
    const uint8_t broadcast[4] = {255, 255, 255, 255};
    const uint8_t zero[4] = {0, 0, 0, 0};
    for (const uint8_t *a : {broadcast, zero}) {
        for (size_t size : {size_t{15}, size_t{1}, size_t{0}}) {
            SCOPED_TRACE(size);
            char buffer[16];
            std::memset(buffer, 'Q', sizeof buffer);
            EXPECT_EQ(zwu_inet_ntop_ipv4(a, buffer, size), 22);
            EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(16, 'Q'));
        }
    }
    char exact[16];
    ASSERT_EQ(zwu_inet_ntop_ipv4(broadcast, exact, sizeof exact), 0);
    EXPECT_STREQ(exact, "255.255.255.255");
    EXPECT_TRUE(lines().empty());
}

TEST_F(Inet, CheckAcceptsStoredAddressesOfEitherType)
{
    // Stored records: IPv4 in the first 4 bytes (type 1); anything else is
    // read as 16 IPv6 bytes, including types other than 0 and 1.
    const Address stored[] = {
        Address{192, 168, 1, 2},
        Address{},
        parse_with_library("2001:db8::1"),
        parse_with_library("::ffff:10.0.0.1"),
        Address{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    };
    for (const Address &a : stored)
        for (uint8_t type : {1, 0, 2, 255})
            EXPECT_EQ(zwu_inet_ntop_check(a.data(), type), 0) << int(type);
    EXPECT_TRUE(lines().empty());
}

} // namespace
