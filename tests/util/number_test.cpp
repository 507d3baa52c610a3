#include "util/zwu_number.h"

#include "tests/support/zws_log_capture.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using zw_test::LogCapture;

const std::string out_of_range = std::string("strtol() failed: ") + std::strerror(ERANGE);

struct IntegerCase {
    const char *text;
    const char *error; // nullptr: accepted
};

// Inputs on which a strict parser and the C library's conversion can part ways.
const IntegerCase integer_cases[] = {
    {"0", nullptr},
    {"42", nullptr},
    {" 42", nullptr},
    {"\t\n 42", nullptr},
    {"+7", nullptr},
    {"-7", nullptr},
    {"007", nullptr},
    {"9223372036854775807", nullptr},
    {"-9223372036854775808", nullptr},
    {"9223372036854775808", "strtol() failed"},
    {"-9223372036854775809", "strtol() failed"},
    {"99999999999999999999999", "strtol() failed"},
    {"", "Empty string"},
    {"abc", "No valid digits"},
    {" ", "No valid digits"},
    {"-", "No valid digits"},
    {"+", "No valid digits"},
    {"+-1", "No valid digits"},
    {"42 ", "Extra string after parsing"},
    {"42abc", "Extra string after parsing"},
    {"0x10", "Extra string after parsing"},
    {"1.5", "Extra string after parsing"},
    {"1e3", "Extra string after parsing"},
    {"12\n", "Extra string after parsing"},
};

template <typename T>
T reference_convert(const char *text, char **end)
{
    if constexpr (std::is_same_v<T, long>)
        return std::strtol(text, end, 10);
    else
        return std::strtoll(text, end, 10);
}

// Our verdict and value must be what the C library's conversion gives when
// its whole-text, in-range result is taken strictly.
template <typename T, zwu_status_t (*parse)(const char *, T *)>
void check_against_library(const IntegerCase &c)
{
    SCOPED_TRACE(std::string("text '") + c.text + "'");
    char *end = nullptr;
    errno = 0;
    const T expected = reference_convert<T>(c.text, &end);
    const bool library_accepts = *c.text != '\0' && errno == 0 && end != c.text && *end == '\0';
    EXPECT_EQ(library_accepts, c.error == nullptr);

    LogCapture::clear();
    T value = 12345;
    const zwu_status_t status = parse(c.text, &value);
    if (c.error == nullptr) {
        EXPECT_EQ(status, 0);
        EXPECT_EQ(value, expected);
        EXPECT_TRUE(LogCapture::errors().empty());
    } else {
        EXPECT_EQ(status, 22);
        EXPECT_EQ(value, 12345) << "out value written on refusal";
        ASSERT_EQ(LogCapture::errors().size(), 1u);
        const std::string want = std::strcmp(c.error, "strtol() failed") == 0 ? out_of_range : c.error;
        EXPECT_EQ(LogCapture::errors()[0], want);
    }
}

struct NumberParse : LogCapture {};

TEST_F(NumberParse, LongAndLongLongAgreeWithTheCLibrary)
{
    for (const IntegerCase &c : integer_cases) {
        check_against_library<long, zwu_parse_long>(c);
        check_against_library<long long, zwu_parse_long_long>(c);
    }
}

TEST_F(NumberParse, Int64IsTheLongLongParse)
{
    for (const IntegerCase &c : integer_cases) {
        check_against_library<int64_t, zwu_parse_int64>(c);
    }
}

struct NarrowCase {
    const char *text;
    int64_t value;
    const char *error;
};

TEST_F(NumberParse, Int32RangeEnds)
{
    const NarrowCase cases[] = {
        {"2147483647", INT32_MAX, nullptr},
        {"-2147483648", INT32_MIN, nullptr},
        {"2147483648", 0, "Parsed valued doesn't fit into int32_t : 2147483648"},
        {"-2147483649", 0, "Parsed valued doesn't fit into int32_t : -2147483649"},
        {"9223372036854775808", 0, "strtol() failed"},
        {"x", 0, "No valid digits"},
    };
    for (const NarrowCase &c : cases) {
        SCOPED_TRACE(c.text);
        clear();
        int32_t value = 77;
        const zwu_status_t status = zwu_parse_int32(c.text, &value);
        if (c.error == nullptr) {
            EXPECT_EQ(status, 0);
            EXPECT_EQ(value, c.value);
            continue;
        }
        EXPECT_EQ(status, 22);
        EXPECT_EQ(value, 77);
        ASSERT_EQ(errors().size(), 1u);
        EXPECT_EQ(errors()[0], std::strcmp(c.error, "strtol() failed") == 0 ? out_of_range : c.error);
    }
}

TEST_F(NumberParse, NonNegativeParsesWriteOnlyOnSuccess)
{
    int32_t v32 = 99;
    EXPECT_EQ(zwu_parse_int32_non_negative("0", &v32), 0);
    EXPECT_EQ(v32, 0);
    EXPECT_EQ(zwu_parse_int32_non_negative("2147483647", &v32), 0);
    EXPECT_EQ(v32, INT32_MAX);
    v32 = 99;
    clear();
    EXPECT_EQ(zwu_parse_int32_non_negative("-1", &v32), 22);
    EXPECT_EQ(v32, 99);
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_EQ(errors()[0], "Parsed valued is a negative int32_t : -1");

    int64_t v64 = 99;
    EXPECT_EQ(zwu_parse_int64_non_negative("9223372036854775807", &v64), 0);
    EXPECT_EQ(v64, INT64_MAX);
    v64 = 99;
    clear();
    EXPECT_EQ(zwu_parse_int64_non_negative("-9223372036854775808", &v64), 22);
    EXPECT_EQ(v64, 99);
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_EQ(errors()[0], "Parsed valued is a negative int64_t : -9223372036854775808");
}

struct DoubleCase {
    const char *text;
    const char *error; // nullptr: accepted; "strtod" stands for the range text
};

TEST_F(NumberParse, DoubleAgreesWithTheCLibrary)
{
    const DoubleCase cases[] = {
        {"1.5e3", nullptr},
        {" -0.25", nullptr},
        {"+7", nullptr},
        {"0", nullptr},
        {"0x1p4", nullptr},
        {"inf", nullptr},
        {"-Infinity", nullptr},
        {"nan", nullptr},
        {"1.7976931348623157e308", nullptr},
        {"4e-320", nullptr}, // underflows to a subnormal: kept
        {"1e999", "strtod"},
        {"-1e999", "strtod"},
        {"1e-400", "strtod"}, // underflows to zero
        {"", "Empty string"},
        {"abc", "No valid double"},
        {".", "No valid double"},
        {"1.5x", "Extra string after parsing"},
        {"1.5 ", "Extra string after parsing"},
        {"1,5", "Extra string after parsing"},
    };
    for (const DoubleCase &c : cases) {
        SCOPED_TRACE(std::string("text '") + c.text + "'");
        char *end = nullptr;
        errno = 0;
        const double expected = std::strtod(c.text, &end);
        const int library_errno = errno;
        clear();
        double value = 12.5;
        const zwu_status_t status = zwu_parse_double(c.text, &value);
        if (c.error == nullptr) {
            ASSERT_EQ(status, 0);
            EXPECT_TRUE(end != c.text && *end == '\0');
            if (std::isnan(expected))
                EXPECT_TRUE(std::isnan(value));
            else
                EXPECT_EQ(value, expected);
            EXPECT_TRUE(errors().empty());
            continue;
        }
        EXPECT_EQ(status, 22);
        EXPECT_EQ(value, 12.5);
        ASSERT_EQ(errors().size(), 1u);
        if (std::strcmp(c.error, "strtod") == 0) {
            EXPECT_EQ(library_errno, ERANGE);
            EXPECT_EQ(errors()[0], std::string("strtod() failed: ") + std::strerror(ERANGE) +
                                       ". String to parse is: " + c.text);
        } else {
            EXPECT_EQ(errors()[0], c.error);
        }
    }
}

struct RangeCase {
    zwu_status_t (*check)(int64_t);
    int64_t number;
    const char *error;
};

TEST_F(NumberParse, UnsignedRangeTests)
{
    const RangeCase cases[] = {
        {zwu_number_is_uint8, 0, nullptr},
        {zwu_number_is_uint8, 255, nullptr},
        {zwu_number_is_uint8, 256, "Number not in range uint8_t : 256"},
        {zwu_number_is_uint8, -1, "Number not in range uint8_t : -1"},
        {zwu_number_is_uint16, 65535, nullptr},
        {zwu_number_is_uint16, 65536, "Number not in range uint16_t : 65536"},
        {zwu_number_is_uint16, -1, "Number not in range uint16_t : -1"},
        {zwu_number_is_uint32, 4294967295, nullptr},
        {zwu_number_is_uint32, 4294967296, "Number not in range uint32_t : 4294967296"},
        {zwu_number_is_uint32, INT64_MIN, "Number not in range uint32_t : -9223372036854775808"},
    };
    for (const RangeCase &c : cases) {
        SCOPED_TRACE(c.number);
        clear();
        EXPECT_EQ(c.check(c.number), c.error ? 22 : 0);
        if (c.error) {
            ASSERT_EQ(errors().size(), 1u);
            EXPECT_EQ(errors()[0], c.error);
        } else {
            EXPECT_TRUE(errors().empty());
        }
    }
}

} // namespace

// The digits' ends in either case and the chars right next to them in the
// character table, a NUL and a high byte.
TEST(HexDigit, DigitsOfEitherCaseAndNothingNextToThem)
{
    const struct {
        char c;
        int value;
    } cases[] = {
        {'0', 0},   {'9', 9},   {'a', 10},  {'f', 15},  {'A', 10},  {'F', 15},  {'c', 12},
        {'/', -1},  {':', -1},  {'`', -1},  {'g', -1},  {'@', -1},  {'G', -1},  {'\0', -1},
        {'\xff', -1},
    };
    for (const auto &entry : cases)
        EXPECT_EQ(zwu_hex_digit(entry.c), entry.value) << "char code " << static_cast<int>(entry.c);
}

TEST(HexKey, TakesWholeKeysOnlyAndLeavesTheOutputAloneOnRefusal)
{
    struct key_case {
        const char *text;
        zwu_key_refusal refusal;
        std::vector<uint8_t> bytes;
    };
    const std::string longest(64, 'f');
    const key_case cases[] = {
        {"0aFf", zwu_key_refusal::none, {0x0A, 0xFF}},
        {"00", zwu_key_refusal::none, {0x00}},
        {longest.c_str(), zwu_key_refusal::none, std::vector<uint8_t>(32, 0xFF)},
        {"", zwu_key_refusal::length, {}},
        {"a", zwu_key_refusal::length, {}},
        {"abc", zwu_key_refusal::length, {}},
        {"0g", zwu_key_refusal::not_hex, {}},
        {"12 4", zwu_key_refusal::not_hex, {}},
        {"1234-x", zwu_key_refusal::not_hex, {}},
    };
    for (const key_case &entry : cases) {
        uint8_t key[32];
        std::memset(key, 0xEE, sizeof key);
        uint8_t length = 99;
        EXPECT_EQ(zwu_hex_key_parse(entry.text, std::strlen(entry.text), key, sizeof key, &length), entry.refusal)
            << entry.text;
        if (entry.refusal == zwu_key_refusal::none) {
            EXPECT_EQ(std::vector<uint8_t>(key, key + length), entry.bytes) << entry.text;
        } else {
            EXPECT_EQ(length, 99) << entry.text;
            EXPECT_EQ(key[0], 0xEE) << entry.text; // a refused key overwrites nothing
        }
    }
    uint8_t key[32];
    uint8_t length = 0;
    const std::string too_long(66, '1');
    EXPECT_EQ(zwu_hex_key_parse(too_long.c_str(), too_long.size(), key, sizeof key, &length),
              zwu_key_refusal::length);
}
