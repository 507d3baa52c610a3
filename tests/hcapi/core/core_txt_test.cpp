// Device texts by character presentation: UTF-16 big-endian converts as
// glibc's iconv(3) converts it (asked at test time, never written down
// here), within the room of the record and never cut inside a character;
// the other presentations keep their longest valid UTF-8 prefix. The
// notification's location parameter is one of the rows that uses it.
#include "hcapi/core/zwif_rpt_sw.h"
#include "hcapi/include/zwif_sw.h"

#include <gtest/gtest.h>

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

// What `iconv -f UTF-16BE -t UTF-8` makes of the bytes, or nothing when it
// refuses them (EILSEQ, or EINVAL for input that ends inside a character).
std::optional<std::string> iconv_utf8(const bytes &in)
{
    iconv_t cd = iconv_open("UTF-8", "UTF-16BE");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        ADD_FAILURE() << "iconv_open: " << errno;
        return std::nullopt;
    }
    std::string out(in.size() * 2 + 8, '\0');
    char *src = reinterpret_cast<char *>(const_cast<uint8_t *>(in.data()));
    size_t src_left = in.size();
    char *dst = out.data();
    size_t dst_left = out.size();
    const size_t rc = iconv(cd, src_left ? &src : nullptr, &src_left, &dst, &dst_left);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1))
        return std::nullopt;
    out.resize(out.size() - dst_left);
    return out;
}

// A record's text is what comes before its first 0 unit.
bytes before_nul(const bytes &in)
{
    for (size_t i = 0; i + 1 < in.size(); i += 2)
        if (in[i] == 0 && in[i + 1] == 0)
            return bytes(in.begin(), in.begin() + static_cast<long>(i));
    return in;
}

// The longest prefix of whole characters of valid UTF-8 that leaves room
// for the terminator.
std::string fit(const std::string &utf8, size_t room)
{
    size_t used = 0;
    while (used < utf8.size()) {
        const auto lead = static_cast<uint8_t>(utf8[used]);
        const size_t n = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        if (used + n + 1 > room)
            break;
        used += n;
    }
    return utf8.substr(0, used);
}

// The converter on a buffer of exactly the input's size and an output of
// exactly `room` bytes (so that AddressSanitizer sees every bound): the text
// or nothing when refused. Refused or not, the output stays terminated.
std::optional<std::string> convert(uint8_t charset, const bytes &in, size_t room)
{
    std::unique_ptr<uint8_t[]> src(new uint8_t[in.size() + 1]);
    std::copy(in.begin(), in.end(), src.get());
    std::unique_ptr<char[]> out(new char[room]);
    std::fill(out.get(), out.get() + room, '#');
    const int n = zwif_txt_to_utf8(charset, src.get(), in.size(), out.get(), room);
    const std::string text(out.get(), strnlen(out.get(), room));
    EXPECT_LT(text.size(), room) << "terminated within the room";
    if (n < 0) {
        EXPECT_EQ(ZW_ERR_VALUE, n);
        EXPECT_EQ("", text);
        return std::nullopt;
    }
    EXPECT_EQ(static_cast<size_t>(n), text.size());
    return text;
}

std::string hex(const bytes &b)
{
    static const char d[] = "0123456789ABCDEF";
    std::string s;
    for (uint8_t x : b) {
        s += d[x >> 4];
        s += d[x & 15];
    }
    return s;
}

void expect_as_iconv(const bytes &in, size_t room)
{
    const std::optional<std::string> want = iconv_utf8(before_nul(in));
    const std::optional<std::string> got = convert(2, in, room);
    ASSERT_EQ(want.has_value(), got.has_value()) << hex(in) << " room " << room;
    if (want) {
        EXPECT_EQ(fit(*want, room), *got) << hex(in) << " room " << room;
    }
}

TEST(DeviceText, Utf16AsIconvConvertsIt)
{
    struct {
        const char *name;
        bytes in;
        size_t room;
    } cases[] = {
        {"ASCII", {0x00, 'O', 0x00, 'k'}, 33},
        {"Latin and CJK", {0x00, 0xE9, 0x4E, 0x2D, 0x65, 0x87}, 33},
        {"a surrogate pair", {0xD8, 0x3D, 0xDE, 0x00}, 33},
        {"the highest pair", {0xDB, 0xFF, 0xDF, 0xFF}, 33},
        {"noncharacters are characters", {0xFF, 0xFE, 0xFF, 0xFF, 0xFD, 0xD0, 0xFD, 0xEF}, 33},
        {"a byte order mark is a character", {0xFE, 0xFF, 0x00, 'A'}, 33},
        {"empty", {}, 33},
        {"a 0 unit ends the text", {0x00, 'A', 0x00, 0x00, 0xD8, 0x00}, 33},
        {"a 0 unit first", {0x00, 0x00, 0x00, 'A'}, 33},
        {"an odd byte after a 0 unit", {0x00, 'A', 0x00, 0x00, 0x42}, 33},
        {"a lone high surrogate at the end", {0x00, 'A', 0xD8, 0x00}, 33},
        {"a high surrogate before a letter", {0xD8, 0x00, 0x00, 'A'}, 33},
        {"two high surrogates", {0xD8, 0x00, 0xD8, 0x01, 0xDC, 0x00}, 33},
        {"a lone low surrogate", {0x00, 'A', 0xDC, 0x00}, 33},
        {"an odd byte count", {0x00, 'A', 0x00}, 33},
        {"one byte", {0x41}, 33},
        {"a bad unit past the room", {0x00, 'A', 0x00, 'B', 0xDC, 0x00}, 2},
        {"cut before a 2-byte character", {0x00, 'A', 0x00, 0xE9}, 3},
        {"cut before a 3-byte character", {0x00, 'A', 0x20, 0xAC}, 4},
        {"cut before a 4-byte character", {0x00, 'A', 0xD8, 0x3D, 0xDE, 0x00}, 5},
        {"exactly the room", {0x00, 'A', 0xD8, 0x3D, 0xDE, 0x00}, 6},
        {"room for the terminator only", {0x00, 'A'}, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        expect_as_iconv(c.in, c.room);
    }
    // 17 three-byte characters: 32 bytes hold 10 of them, not 10 and a part.
    bytes euros;
    for (int i = 0; i < 17; ++i)
        euros.insert(euros.end(), {0x20, 0xAC});
    const std::optional<std::string> cut = convert(2, euros, 33);
    ASSERT_TRUE(cut);
    EXPECT_EQ(30u, cut->size());
    expect_as_iconv(euros, 33);
}

TEST(DeviceText, RandomUtf16AgreesWithIconv)
{
    std::mt19937 rng(0x5EED);
    auto pick = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    const size_t rooms[] = {1, 2, 3, 4, 5, 8, 17, 33, 255};
    int refused = 0, taken = 0;
    for (int round = 0; round < 4000; ++round) {
        bytes in;
        auto put = [&in](uint32_t u) {
            in.push_back(static_cast<uint8_t>(u >> 8));
            in.push_back(static_cast<uint8_t>(u));
        };
        const uint32_t units = pick(0, 40);
        for (uint32_t i = 0; i < units; ++i) {
            const uint32_t kind = pick(0, 99);
            if (kind < 40) {
                put(pick(0x20, 0x7E));
            } else if (kind < 65) {
                put(pick(0x80, 0xD7FF));
            } else if (kind < 75) {
                put(pick(0xE000, 0xFFFF));
            } else if (kind < 90) {
                put(pick(0xD800, 0xDBFF));  // a pair
                put(pick(0xDC00, 0xDFFF));
            } else if (kind < 97) {
                // Rare enough that many texts stay well-formed.
                if (pick(0, 9) == 0)
                    put(pick(0xD800, 0xDFFF));
            } else {
                put(pick(0, 1) ? 0 : pick(0xFFFE, 0xFFFF));
            }
        }
        if (pick(0, 19) == 0)
            in.push_back(static_cast<uint8_t>(pick(0, 255)));
        for (size_t room : rooms)
            expect_as_iconv(in, room);
        (iconv_utf8(before_nul(in)) ? taken : refused)++;
        if (HasFailure())
            return;
    }
    // Both sides of the line were walked.
    EXPECT_GT(taken, 1000);
    EXPECT_GT(refused, 200);
}

TEST(DeviceText, OtherPresentationsKeepWholeUtf8)
{
    struct {
        const char *name;
        uint8_t charset;
        bytes in;
        size_t room;
        std::string want;
    } cases[] = {
        {"ASCII", 0, {'K', 'i', 't'}, 33, "Kit"},
        {"extended ASCII kept while it is UTF-8", 1, {'A', 0xC3, 0xA9}, 33, "A\xC3\xA9"},
        {"a stray byte ends it", 1, {'A', 0xE9, 'B'}, 33, "A"},
        {"a cut sequence ends it", 0, {'A', 0xC3}, 33, "A"},
        {"cut to the room between characters", 0, {'A', 0xE2, 0x82, 0xAC}, 4, "A"},
        {"exactly the room", 0, {'A', 0xE2, 0x82, 0xAC}, 5, "A\xE2\x82\xAC"},
        {"unknown presentations read as ASCII", 5, {'o', 'k'}, 33, "ok"},
        {"empty", 0, {}, 33, ""},
        {"a 0 byte ends the text", 1, {'A', 0x00, 'B'}, 33, "A"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.want, convert(c.charset, c.in, c.room));
    }
    char out[1] = {'#'};
    EXPECT_EQ(ZW_ERR_VALUE, zwif_txt_to_utf8(0, reinterpret_cast<const uint8_t *>("A"), 1, out, 0));
    EXPECT_EQ('#', out[0]) << "no room, nothing written";
}

// The location text of a notification: the record keeps at most 32 bytes
// and a terminator; what iconv refuses stores nothing.
TEST(DeviceText, NotificationLocationUsesTheConverter)
{
    struct {
        const char *name;
        bytes text;  // after 0x77 0x06 0x02
        bool stored;
    } cases[] = {
        {"a noncharacter", {0x00, 'A', 0xFF, 0xFE}, true},
        {"a pair", {0xD8, 0x3D, 0xDE, 0x00}, true},
        {"an odd byte count", {0x00, 'A', 0x00}, false},
        {"an unpaired low surrogate", {0xDC, 0x00, 0x00, 'A'}, false},
        {"twenty-six 2-byte characters: cut to 16", bytes(52, 0), true},
    };
    for (int i = 0; i < 26; ++i)
        cases[4].text[2 * i + 1] = 0xE9;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        bytes param{0x77, 0x06, 0x02};
        param.insert(param.end(), c.text.begin(), c.text.end());
        alignas(8) uint8_t buf[ZWIF_RPT_REC_MAX] = {};
        auto *a = reinterpret_cast<zwalrm_t *>(buf);
        a->ex_type = 0x01;
        a->ex_event = 0x01;
        std::unique_ptr<uint8_t[]> p(new uint8_t[param.size()]);
        std::copy(param.begin(), param.end(), p.get());
        const uint8_t n = zwif_alrm_param_parse(p.get(), static_cast<uint8_t>(param.size()), a);
        const std::optional<std::string> want = iconv_utf8(c.text);
        ASSERT_EQ(c.stored, want.has_value());
        if (!c.stored) {
            EXPECT_EQ(0, n);
            EXPECT_EQ(0, a->ex_evt_type);
            continue;
        }
        const std::string text = fit(*want, 33);
        EXPECT_EQ(ZW_ALRM_PARAM_LOC, a->ex_evt_type);
        ASSERT_EQ(text.size() + 1, n);
        EXPECT_EQ(text + '\0', std::string(reinterpret_cast<const char *>(zwalrm_param(a)), n));
    }
}

}  // namespace
