// Readings of meters and sensors: the value bytes a device sent, their
// size and decimals, to the text the web interface shows. Each field is fed
// in a buffer of exactly its length, so that AddressSanitizer proves that a
// field of the wrong length is never read.
#include "util/zws_xml.h"

#include "tests/support/zws_log_capture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

struct buffer {
    zwu_string_buffer_t b = nullptr;
    buffer() { zwu_string_buffer_create(0, &b); }
    ~buffer() { zwu_string_buffer_destroy(b); }
    std::string text() const { return zwu_string_buffer_get_string(b); }
};

// The reading written through a template; "(refused)" when the field or its
// size breaks the rule.
std::string reading(const std::vector<uint8_t> &bytes, int32_t size, int32_t decimals)
{
    // Exactly the field's bytes on the heap: one more read is a fault.
    std::unique_ptr<uint8_t[]> field(new uint8_t[bytes.empty() ? 1 : bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), field.get());
    zws_xml_value_t value{};
    if (zws_xml_scaled_from_field(bytes.empty() ? nullptr : field.get(), bytes.size(), size, decimals, &value) != 0)
        return "(refused)";
    const zws_xml_field_t fields[] = {{"v", value}};
    buffer out;
    if (zws_xml_render(out.b, "{v:scaled}", fields, 1) != 0)
        return "(render failed)";
    return out.text();
}

TEST(XmlScaled, BytesSizeAndDecimalsToText)
{
    const struct {
        std::vector<uint8_t> bytes;
        int32_t size;
        int32_t decimals;
        const char *text;
    } cases[] = {
        {{0xFF, 0xFE, 0x00, 0x00}, 2, 1, "-0.2000000"}, // sign of the first byte, bytes after `size` ignored
        {{0xFF, 0xFE, 0x00, 0x00}, 2, 0, "-2"},
        {{0x00, 0xFF, 0x12, 0x34}, 2, 0, "255"},        // a leading zero byte keeps it positive
        {{0x80, 0x00, 0x00, 0x00}, 4, 0, "-2147483648"},
        {{0x7F, 0xFF, 0xFF, 0xFF}, 4, 0, "2147483647"},
        {{0x7F, 0xFF, 0xFF, 0xFF}, 4, 7, "214.7483647"},
        {{0x80, 0xFF, 0xFF, 0xFF}, 1, 0, "-128"},
        {{0x7F, 0xFF, 0xFF, 0xFF}, 1, 3, "0.1270000"},
        {{0xFF, 0xFF, 0xFF, 0xFF}, 0, 0, "0"},          // size 0 is the value 0
        {{0xFF, 0xFF, 0xFF, 0xFF}, 0, 2, "0.0000000"},
        {{0x00, 0x00, 0x00, 0x01}, 4, 7, "0.0000001"},
        {{0x00, 0x00, 0x00, 0x09}, 4, 8, "0.0000001"},  // rounded by the seven decimals
        {{0x00, 0x00, 0x00, 0x07}, 4, 2147483647, "0.0000000"}, // any number of decimals ends
        {{0x00, 0x00, 0x00, 0x07}, 4, -1, "7"},        // no decimals below 0
        // The field is 4 bytes and the size one of 0, 1, 2 and 4.
        {{0x01, 0x02, 0x03, 0x04}, 3, 0, "(refused)"},
        {{0x01, 0x02, 0x03, 0x04}, 5, 0, "(refused)"},
        {{0x01, 0x02, 0x03, 0x04}, -1, 0, "(refused)"},
        {{0x01, 0x02}, 2, 0, "(refused)"},
        {{0x01, 0x02, 0x03, 0x04, 0x05}, 4, 0, "(refused)"},
        {{}, 0, 0, "(refused)"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(reading(c.bytes, c.size, c.decimals), c.text)
            << c.bytes.size() << " bytes, size " << c.size << ", " << c.decimals << " decimals";
    }
}

TEST(XmlScaled, OnlyReadingsFitTheKind)
{
    const zws_xml_field_t fields[] = {{"n", zws_xml_int(-2)}, {"r", zws_xml_real(-0.2)}, {"s", zws_xml_scaled(-2, 1)}};
    const struct {
        const char *xml_template;
        int status;
        const char *text;
    } cases[] = {
        {"{s:scaled}", 0, "-0.2000000"},
        {"{n:scaled}", 22, ""},
        {"{r:scaled}", 22, ""},
        {"{s:i32}", 22, ""},
        {"{s:f7}", 22, ""},
    };
    zw_test::log_capture quiet;
    for (const auto &c : cases) {
        buffer out;
        EXPECT_EQ(zws_xml_render(out.b, c.xml_template, fields, 3), c.status) << c.xml_template;
        EXPECT_EQ(out.text(), c.text) << c.xml_template;
    }
}

} // namespace
