// Templates fed from Avro records: paths, unions, kinds, lists, one element
// per entry, extras, and failures that leave the output as it was.
#include "messages/zws_avi_format.h"

#include "avro_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr char k_schema[] = R"({"type": "record", "name": "Report", "fields": [
    {"name": "utime", "type": "long"},
    {"name": "value", "type": "int"},
    {"name": "flag", "type": "boolean"},
    {"name": "name", "type": "string"},
    {"name": "raw", "type": "bytes"},
    {"name": "reading", "type": "double"},
    {"name": "types", "type": {"type": "array", "items": "int"}},
    {"name": "version", "type": {"type": "record", "name": "Ver", "fields": [{"name": "major", "type": "int"}]}},
    {"name": "maybe", "type": [{"type": "record", "name": "Ext", "fields": [{"name": "level", "type": "int"}]}, "null"]},
    {"name": "entries", "type": {"type": "array", "items": {"type": "record", "name": "Entry", "fields": [
        {"name": "id", "type": "int"}, {"name": "label", "type": "string"}]}}}]})";

class AviFormat : public ::testing::Test {
  protected:
    zws_test::avro_schema_file schema{k_schema, true};
    zws_test::avro_record record{schema.schema()};

    void SetUp() override
    {
        zw_avro_field_set_long(record.get(), "utime", 42);
        zw_avro_field_set_int(record.get(), "value", 0x1FF);
        zw_avro_field_set_boolean(record.get(), "flag", 1);
        zw_avro_field_set_string(record.get(), "name", "a b<&>");
        zw_avro_field_set_bytes(record.get(), "raw", "x\"y", 3);
        zw_avro_field_set_double(record.get(), "reading", -0.2);
        avro_value_t types = record.field("types");
        for (int v : {1, 6, 263}) {
            avro_value_t element;
            avro_value_append(&types, &element, nullptr);
            avro_value_set_int(&element, v);
        }
        avro_value_t version = record.field("version");
        zw_avro_field_set_int(&version, "major", 3);
        avro_value_t entries = record.field("entries");
        for (int id : {7, 8}) {
            avro_value_t entry;
            avro_value_append(&entries, &entry, nullptr);
            zw_avro_field_set_int(&entry, "id", id);
            zw_avro_field_set_string(&entry, "label", id == 7 ? "seven" : "e\"ight");
        }
    }
    void set_maybe(bool present)
    {
        avro_value_t maybe = record.field("maybe");
        avro_value_t branch;
        avro_value_set_branch(&maybe, present ? 0 : 1, &branch);
        if (present)
            zw_avro_field_set_int(&branch, "level", 9);
        else
            avro_value_set_null(&branch);
    }
    std::string render(const char *xml_template, int *status = nullptr, const zws_xml_field_t *extra = nullptr,
                       int extra_count = 0)
    {
        zws_test::text_buffer out;
        const int s = zws_avi_render(out.b, xml_template, record.get(), extra, extra_count);
        if (status)
            *status = s;
        return out.text();
    }
};

TEST_F(AviFormat, KindsReadTheirFields)
{
    set_maybe(true);
    const struct {
        const char *xml_template;
        const char *expected;
    } cases[] = {
        {"<b update=\"{utime:u64}\" state=\"{value:u8}\" />", "<b update=\"42\" state=\"255\" />"},
        {"{value:u16}|{value:i32}|{value:x32}|{flag:u8}", "511|511|000001FF|1"},
        {"{utime:x32}", "0000002A"},
        {"{name:text}|{name:uri}", "a b&lt;&amp;&gt;|a%20b&lt;%26&gt;"},
        {"{raw:text}", "x&quot;y"},
        {"{reading:f7}", "-0.2000000"},
        {"list=\"{types:list}\"", "list=\"1,6,7,\""},
        {"{version.major:u8}.{maybe.level:u8}", "3.9"},
        {"{{literal}}", "{literal}"},
    };
    for (const auto &c : cases) {
        int status = -1;
        EXPECT_EQ(render(c.xml_template, &status), c.expected) << c.xml_template;
        EXPECT_EQ(status, 0) << c.xml_template;
    }
}

TEST_F(AviFormat, MissingOrIllTypedFieldsFailAndLeaveTheOutput)
{
    set_maybe(false);
    zws_test::log_capture quiet;
    const char *failing[] = {
        "{nothing:u8}",        // no such field
        "{maybe.level:u8}",    // null branch of a union
        "{name:u8}",           // a text is not a number
        "{value:text}",        // a number is not a text
        "{value:f7}",
        "{version:u8}",        // a record is not a value
        "{version.:u8}",
        "{value:nokind}",
        "{value}",
    };
    for (const char *xml_template : failing) {
        zws_test::text_buffer out;
        zwu_string_buffer_append_string(out.b, "kept");
        EXPECT_EQ(zws_avi_render(out.b, (std::string("<x a=\"{value:u8}\"") + xml_template).c_str(), record.get()),
                  22)
            << xml_template;
        EXPECT_EQ(out.text(), "kept") << xml_template;
    }
}

TEST_F(AviFormat, ExtrasComeFirstAndFormsPickTheVersion)
{
    const zws_xml_field_t extra[] = {{"value", zws_xml_uint(3)}, {"desc", zws_xml_uint(263)}};
    EXPECT_EQ(render("{value:u8} {desc:u16}", nullptr, extra, 2), "3 263");

    constexpr static zws_avi_form_t form = {"<old update=\"{utime:u64}\" />", "<new utime=\"{utime:u64}\" />"};
    constexpr static zws_avi_form_t current_only = {nullptr, "<new />"};
    zws_test::text_buffer out;
    EXPECT_EQ(zws_avi_form_result<form>(1, record.get(), out.b), 0);
    EXPECT_EQ(zws_avi_form_result<form>(2, record.get(), out.b), 0);
    EXPECT_EQ(zws_avi_form_result<current_only>(1, record.get(), out.b), 0);
    EXPECT_EQ(out.text(), "<old update=\"42\" /><new utime=\"42\" />");
    zws_test::log_capture quiet;
    EXPECT_EQ(zws_avi_form_result<form>(3, record.get(), out.b), 22);

    constexpr static zws_avi_form_t level = {"<x desc=\"{combo_id:u64}\" />", nullptr};
    zws_test::text_buffer level_out;
    EXPECT_EQ(zws_avi_form_level_result<level>(1, 18446744073709551615ul, record.get(), level_out.b), 0);
    EXPECT_EQ(level_out.text(), "<x desc=\"18446744073709551615\" />");
}

TEST_F(AviFormat, OneElementPerEntry)
{
    constexpr static zws_avi_form_t entry = {"<e id=\"{id:u8}\" />", "<e id=\"{id:u8}\" label=\"{label:uri}\" />"};
    zws_test::text_buffer out;
    ASSERT_EQ(zws_avi_render_each(out.b, 2, entry, record.get(), "entries"), 0);
    EXPECT_EQ(out.text(), "<e id=\"7\" label=\"seven\" /><e id=\"8\" label=\"e%22ight\" />");
    EXPECT_TRUE(zws_test::xml_well_formed("<r>" + out.text() + "</r>"));

    // A failing entry writes no half list.
    constexpr static zws_avi_form_t bad = {"<e id=\"{id:u8}\" x=\"{missing:u8}\" />", nullptr};
    zws_test::text_buffer kept;
    zws_test::log_capture quiet;
    EXPECT_EQ(zws_avi_render_each(kept.b, 1, bad, record.get(), "entries"), 22);
    EXPECT_EQ(kept.text(), "");
    EXPECT_EQ(zws_avi_render_each(kept.b, 1, entry, record.get(), "types_missing"), 22);
    // An empty array writes nothing and succeeds.
    zws_test::avro_record empty(schema.schema());
    EXPECT_EQ(zws_avi_render_each(kept.b, 1, entry, empty.get(), "entries"), 0);
    EXPECT_EQ(kept.text(), "");
}

// Readings: the fixed field read with the `size` and `precision` of the
// record that holds it, here or down a path; a field that breaks the rule
// fails with its form's line, or a line that names it.
TEST(AviFormatReadings, ScaledFieldsAndTheirLines)
{
    constexpr char schema_text[] = R"({"type": "record", "name": "Readings", "fields": [
        {"name": "size", "type": "int"}, {"name": "precision", "type": "int"},
        {"name": "value", "type": {"type": "fixed", "name": "Four", "size": 4}},
        {"name": "short_value", "type": {"type": "fixed", "name": "Two", "size": 2}},
        {"name": "inner", "type": {"type": "record", "name": "Inner", "fields": [
            {"name": "size", "type": "int"}, {"name": "precision", "type": "int"},
            {"name": "value", "type": "Four"}]}},
        {"name": "bare", "type": {"type": "record", "name": "Bare", "fields": [{"name": "value", "type": "Four"}]}}]})";
    zws_test::avro_schema_file schema(schema_text, true);
    zws_test::avro_record record(schema.schema());
    const uint8_t minus_two[4] = {0xFF, 0xFE, 0x00, 0x00};
    zw_avro_field_set_int(record.get(), "size", 2);
    zw_avro_field_set_int(record.get(), "precision", 1);
    zw_avro_field_set_fixed(record.get(), "value", minus_two, 4);
    zw_avro_field_set_fixed(record.get(), "short_value", minus_two, 2);
    avro_value_t inner = record.field("inner");
    zw_avro_field_set_int(&inner, "size", 1);
    zw_avro_field_set_int(&inner, "precision", 0);
    zw_avro_field_set_fixed(&inner, "value", minus_two, 4);
    avro_value_t bare = record.field("bare");
    zw_avro_field_set_fixed(&bare, "value", minus_two, 4);

    constexpr static zws_avi_value_field_t lines[] = {{"short_value", "Invalid short value field size"}};
    constexpr static zws_avi_form_t readings = {"{value:scaled} {inner.value:scaled}", nullptr, nullptr, lines};
    zws_test::text_buffer out;
    ASSERT_EQ(zws_avi_render_form(out.b, 1, readings, record.get()), 0);
    EXPECT_EQ(out.text(), "-0.2000000 -1");

    const struct {
        const char *xml_template;
        const char *line;
    } failing[] = {
        {"{short_value:scaled}", "Invalid short value field size"},      // the form's line
        {"{inner.value:scaled}", "Invalid value field size"},            // size 3: the field named
        {"{bare.value:scaled}", "Failed to get the size and precision of 'bare.value'"},
        {"{size:scaled}", nullptr},                                      // not a fixed field
    };
    zw_avro_field_set_int(&inner, "size", 3);
    for (const auto &f : failing) {
        const zws_avi_form_t form = {f.xml_template, nullptr, nullptr, lines};
        zws_test::text_buffer kept;
        zwu_string_buffer_append_string(kept.b, "kept");
        zws_test::log_capture capture;
        EXPECT_EQ(zws_avi_render_form(kept.b, 1, form, record.get()), 22) << f.xml_template;
        EXPECT_EQ(kept.text(), "kept");
        if (f.line) {
            const std::vector<std::string> errors = capture.errors();
            EXPECT_NE(std::find(errors.begin(), errors.end(), f.line), errors.end())
                << f.xml_template << ": " << testing::PrintToString(errors);
        }
    }
}

} // namespace
