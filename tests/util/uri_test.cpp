#include "util/zwu_uri.h"

#include "tests/support/zws_log_capture.h"

#include <cstring>
#include <string>

namespace {

using zw_test::LogCapture;

struct UriEncode : LogCapture {};
struct UriDecode : LogCapture {};

TEST_F(UriEncode, EncodesOnlyControlsSpaceAndBangToComma)
{
    struct Case {
        const char *src;
        const char *want;
    };
    const Case cases[] = {
        {"x y&z", "x%20y%26z"},
        {"a<b>", "a<b>"}, // escaping for XML is the writer's job
        {"", ""},
        {"!\"#$%&'()*+,", "%21%22%23%24%25%26%27%28%29%2A%2B%2C"},
        {"-./09:;=?@AZ[\\]^_`az{|}~", "-./09:;=?@AZ[\\]^_`az{|}~"},
        {"\x01\t\n\x1f", "%01%09%0A%1F"},
        {"\x7f\x80\xff", "\x7f\x80\xff"},
        {"Living room/Lamp #2", "Living%20room/Lamp%20%232"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.src);
        char dest[128];
        std::memset(dest, 'Q', sizeof dest);
        EXPECT_EQ(zwu_uri_encode_string(dest, sizeof dest, c.src), 0);
        EXPECT_STREQ(dest, c.want);
    }
    EXPECT_TRUE(lines().empty());
}

TEST_F(UriEncode, RoomIsCheckedBeforeEveryByte)
{
    struct Case {
        const char *src;
        size_t size;
        int status;
        const char *kept; // terminated prefix left in dest
    };
    const Case cases[] = {
        {"abc", 4, 0, "abc"},
        {"abc", 3, 22, "ab"},
        {"a b", 6, 0, "a%20b"},
        {"a b", 5, 22, "a%20"},
        {"a b", 4, 22, "a"}, // "%20" needs three characters and the terminator
        {" ", 4, 0, "%20"},
        {" ", 3, 22, ""},
        {"", 1, 0, ""},
        {"x", 1, 22, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.src) + " in " + std::to_string(c.size));
        clear();
        char dest[16];
        std::memset(dest, 'Q', sizeof dest);
        EXPECT_EQ(zwu_uri_encode_string(dest, c.size, c.src), c.status);
        EXPECT_STREQ(dest, c.kept);
        EXPECT_EQ(dest[c.size], 'Q') << "wrote past the given size";
        if (c.status) {
            ASSERT_EQ(errors().size(), 1u);
            EXPECT_EQ(errors()[0], "Destination buffer full. Truncating result.");
        }
    }
}

TEST_F(UriDecode, DecodesOneOrTwoHexDigits)
{
    struct Case {
        const char *src;
        std::string want;
    };
    const Case cases[] = {
        {"A%20B", "A B"},
        {"%4", "\x04"},       // one digit at the end, and the end is not passed
        {"%4g", "\x04g"},     // one digit, the next character stays
        {"%41%42", "AB"},
        {"%414", "A4"},       // at most two digits
        {"%e9t%C3%A9", "\xe9t\xc3\xa9"},
        {"a+b", "a+b"},       // '+' is not a space here
        {"plain", "plain"},
        {"", ""},
        {"100%25", "100%"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.src);
        char dest[64];
        EXPECT_EQ(zwu_uri_decode_string(dest, sizeof dest, c.src), 0);
        EXPECT_EQ(std::string(dest), c.want);
    }
    EXPECT_TRUE(lines().empty());
}

TEST_F(UriDecode, InPlace)
{
    char text[] = "Kitchen%20%2F%20Sink%4";
    EXPECT_EQ(zwu_uri_decode_string(text, sizeof text, text), 0);
    EXPECT_STREQ(text, "Kitchen / Sink\x04");
}

TEST_F(UriDecode, RefusesWhatIsNotAHexDigit)
{
    // Each of these would be taken by a "%x" scan (sign, space, 0x prefix) or
    // leads it past the end of the text.
    const char *cases[] = {"%zz", "%", "ab%", "%-1", "%+1", "% 1", "%\t1", "%x1"};
    for (const char *src : cases) {
        SCOPED_TRACE(src);
        clear();
        char dest[16];
        std::memset(dest, 'Q', sizeof dest);
        EXPECT_EQ(zwu_uri_decode_string(dest, sizeof dest, src), 22);
        const char *percent = std::strchr(src, '%');
        EXPECT_EQ(std::string(dest), std::string(src, static_cast<size_t>(percent - src)));
        ASSERT_EQ(errors().size(), 1u);
        EXPECT_EQ(errors()[0], "Failed to read byte");
    }
    // "%0x41" is the byte 0x00 followed by "x41": two digits, no prefix.
    char dest[16];
    EXPECT_EQ(zwu_uri_decode_string(dest, sizeof dest, "%0x41"), 0);
    EXPECT_EQ(dest[0], '\0');
}

TEST_F(UriDecode, CutsToSizeMinusOne)
{
    char dest[8];
    std::memset(dest, 'Q', sizeof dest);
    EXPECT_EQ(zwu_uri_decode_string(dest, 4, "ab%20cd"), 22);
    EXPECT_STREQ(dest, "ab ");
    EXPECT_EQ(dest[4], 'Q');
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_EQ(errors()[0], "Destination buffer full. Truncating result.");

    EXPECT_EQ(zwu_uri_decode_string(dest, 4, "a%20c"), 0); // exactly fits
    EXPECT_STREQ(dest, "a c");
    EXPECT_EQ(zwu_uri_decode_string(dest, 1, ""), 0);
    EXPECT_STREQ(dest, "");
}

TEST_F(UriDecode, EncodeThenDecodeGivesTheTextBack)
{
    std::string all;
    for (int b = 1; b < 256; b++)
        all += static_cast<char>(b);
    char encoded[1024];
    char decoded[512];
    ASSERT_EQ(zwu_uri_encode_string(encoded, sizeof encoded, all.c_str()), 0);
    ASSERT_EQ(zwu_uri_decode_string(decoded, sizeof decoded, encoded), 0);
    EXPECT_EQ(std::string(decoded), all);
}

} // namespace
