#include "util/zws_xml.h"

#include "service_fixture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

struct buffer {
    zwu_string_buffer_t b = nullptr;
    buffer() { zwu_string_buffer_create(0, &b); }
    ~buffer() { zwu_string_buffer_destroy(b); }
    std::string text() const { return zwu_string_buffer_get_string(b); }
};

struct escape_case {
    std::string in;
    std::string out;
};

TEST(XmlWriter, EscapesWhatXmlCannotHoldRaw)
{
    const escape_case cases[] = {
        {"plain", "plain"},
        {"a<b>&\"c'", "a&lt;b&gt;&amp;&quot;c&apos;"},
        {"tab\tline\ncr\r", "tab&#9;line&#10;cr&#13;"},
        {std::string("bell\x07", 5), "bell\xEF\xBF\xBD"},
        {"caf\xC3\xA9", "caf\xC3\xA9"},                 // valid two-byte UTF-8 stays
        {"\xE2\x82\xAC", "\xE2\x82\xAC"},               // euro sign stays
        {"\xC3", "\xEF\xBF\xBD"},                       // cut sequence
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},       // overlong
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // surrogate
        {"\xEF\xBF\xBF", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // U+FFFF
        {"\xFF", "\xEF\xBF\xBD"},
    };
    for (const auto &c : cases) {
        buffer out;
        ASSERT_EQ(zws_xml_append_escaped(out.b, c.in.data(), c.in.size()), 0);
        EXPECT_EQ(out.text(), c.out) << c.in;
    }
}

TEST(XmlWriter, UriKindPercentEncodesThenEscapes)
{
    buffer out;
    // The percent-encoding leaves '<' and '>' as they are; the writer must not.
    ASSERT_EQ(zws_xml_append_uri(out.b, "x y&z<b>"), 0);
    EXPECT_EQ(out.text(), "x%20y%26z&lt;b&gt;");
}

TEST(XmlTemplate, TypedPlaceholders)
{
    buffer out;
    const zws_xml_field_t fields[] = {
        {"utime", zws_xml_uint(1700000000)}, {"mode", zws_xml_int(0x1FF)},     {"big", zws_xml_uint(~0ull)},
        {"neg", zws_xml_int(-2)},            {"temp", zws_xml_real(-0.2)},     {"name", zws_xml_text("a\"b")},
        {"loc", zws_xml_text("room 1")},
    };
    ASSERT_EQ(zws_xml_render(out.b,
                             "<x update=\"{utime:u64}\" mode=\"{mode:u8}\" big=\"{big:u64}\" neg=\"{neg:i32}\" "
                             "t=\"{temp:f7}\" name=\"{name:text}\" loc=\"{loc:uri}\" b=\"{{}}\"/>",
                             fields, 7),
              0);
    EXPECT_EQ(out.text(), "<x update=\"1700000000\" mode=\"255\" big=\"18446744073709551615\" neg=\"-2\" "
                          "t=\"-0.2000000\" name=\"a&quot;b\" loc=\"room%201\" b=\"{}\"/>");
}

// Each number kind at the edges of its range, and values wider than the kind.
TEST(XmlTemplate, NumberKindsAtTheirLimits)
{
    const struct {
        const char *xml_template;
        zws_xml_value_t value;
        const char *text;
    } cases[] = {
        {"{v:u8}", zws_xml_uint(0), "0"},
        {"{v:u8}", zws_xml_uint(0x1FF), "255"},
        {"{v:u16}", zws_xml_int(-1), "65535"},
        {"{v:u32}", zws_xml_uint(0x1FFFFFFFFull), "4294967295"},
        {"{v:u64}", zws_xml_uint(10), "10"},
        {"{v:i32}", zws_xml_int(INT32_MIN), "-2147483648"},
        {"{v:i32}", zws_xml_int(INT32_MAX), "2147483647"},
        {"{v:i32}", zws_xml_uint(0x180000000ull), "-2147483648"},
        {"{v:i64}", zws_xml_int(INT64_MIN), "-9223372036854775808"},
        {"{v:i64}", zws_xml_int(INT64_MAX), "9223372036854775807"},
        {"{v:i64}", zws_xml_int(0), "0"},
        {"{v:x32}", zws_xml_uint(0), "00000000"},
        {"{v:x32}", zws_xml_uint(0xABCDEF), "00ABCDEF"},
        {"{v:x32}", zws_xml_int(-1), "FFFFFFFF"},
        {"{v:x32}", zws_xml_uint(0x123456789ull), "23456789"},
    };
    for (const auto &c : cases) {
        buffer out;
        const zws_xml_field_t fields[] = {{"v", c.value}};
        ASSERT_EQ(zws_xml_render(out.b, c.xml_template, fields, 1), 0) << c.xml_template << " " << c.text;
        EXPECT_EQ(out.text(), c.text) << c.xml_template;
    }
}

TEST(XmlTemplate, RefusesBadTemplatesAndLeavesTheBufferAsItWas)
{
    const zws_xml_field_t fields[] = {{"n", zws_xml_int(1)}, {"s", zws_xml_text("t")}};
    const char *bad[] = {
        "<a v=\"{missing:u8}\"/>", // no such field
        "<a v=\"{n:text}\"/>",     // integer for a text placeholder
        "<a v=\"{s:u8}\"/>",       // text for an integer placeholder
        "<a v=\"{n:u7}\"/>",       // unknown kind
        "<a v=\"{n}\"/>",          // no kind
        "<a v=\"{n:u8\"/>",        // unclosed
        "<a v=\"}\"/>",            // stray brace
    };
    for (const char *tmpl : bad) {
        buffer out;
        zwu_string_buffer_append_string(out.b, "<keep/>");
        EXPECT_EQ(zws_xml_render(out.b, tmpl, fields, 2), 22) << tmpl;
        EXPECT_EQ(out.text(), "<keep/>") << tmpl;
    }
}

TEST(XmlTemplate, HostileTextStaysWellFormed)
{
    const char *hostile[] = {"\"/><evil a=\"", "]]><!--", "&amp;&#0;", "\x01\x02\x1F", "\xC3(\xA0\xA1", "\xF8\x88\x80"};
    for (const char *text : hostile) {
        buffer out;
        const zws_xml_field_t fields[] = {{"v", zws_xml_text(text)}};
        ASSERT_EQ(zws_xml_render(out.b, "<?xml version=\"1.0\"?><zwave><n a=\"{v:text}\" b=\"{v:uri}\">{v:text}</n></zwave>",
                                 fields, 1),
                  0);
        EXPECT_TRUE(zws_test::xml_well_formed(out.text())) << out.text();
    }
}

} // namespace
