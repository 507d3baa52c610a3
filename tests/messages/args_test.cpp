// The table-driven argument walker: positional pairs, required and optional
// pairs, defaults and constants, parsing and decoding failures.
#include "messages/zws_avi_args.h"

#include "avro_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr char k_schema[] = R"({"type": "record", "name": "ArgsTest", "fields": [
    {"name": "a", "type": "int"}, {"name": "b", "type": "int"}, {"name": "c", "type": "int"},
    {"name": "name", "type": "string"}, {"name": "text", "type": "string"}]})";

constexpr zws_avi_arg_spec_t k_ints[] = {
    {"a", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_REQUIRED, "a"},
    {"b", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_OPTIONAL, "b"},
    {"c", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_DEFAULT, "c", -1},
};
constexpr zws_avi_arg_spec_t k_node[] = {
    {"noded", ZWS_AVI_ARG_NODE_ID, ZWS_AVI_ARG_REQUIRED, "a"},
    {"name", ZWS_AVI_ARG_DECODED, ZWS_AVI_ARG_OPTIONAL, "name"},
    {nullptr, ZWS_AVI_ARG_CONST, ZWS_AVI_ARG_REQUIRED, "c", 0},
};
constexpr zws_avi_arg_spec_t k_text[] = {
    {"dsk", ZWS_AVI_ARG_TEXT, ZWS_AVI_ARG_OPTIONAL, "text"},
    {"v", ZWS_AVI_ARG_SIGNED, ZWS_AVI_ARG_OPTIONAL, "b"},
};

// Form pairs as the request parser leaves them: texts as they arrived.
struct pairs {
    std::vector<std::string> texts;
    std::vector<zws_key_value_t> list;
    explicit pairs(const std::string &body)
    {
        size_t at = 0;
        while (!body.empty() && at <= body.size()) {
            const size_t end = std::min(body.find('&', at), body.size());
            const std::string entry = body.substr(at, end - at);
            const size_t equal = entry.find('=');
            texts.push_back(entry.substr(0, equal));
            texts.push_back(equal == std::string::npos ? "" : entry.substr(equal + 1));
            at = end + 1;
        }
        for (size_t i = 0; i < texts.size(); i += 2)
            list.push_back({texts[i].data(), texts[i + 1].data()});
    }
};

struct outcome {
    int status;
    int a, b, c;
    std::string name, text;
};

template <const auto &Specs> outcome run(const std::string &body)
{
    zws_test::avro_schema_file schema(k_schema, true);
    zws_test::avro_record record(schema.schema());
    pairs p(body);
    outcome o{};
    o.status = zws_avi_args_handler<Specs>(p.list.data(), static_cast<int>(p.list.size()), record.get());
    zw_avro_field_get_int(record.get(), "a", &o.a);
    zw_avro_field_get_int(record.get(), "b", &o.b);
    zw_avro_field_get_int(record.get(), "c", &o.c);
    char *text = nullptr;
    if (zw_avro_field_get_string(record.get(), "name", &text) == 0)
        o.name = text;
    zw_avro_field_free_string(text);
    text = nullptr;
    if (zw_avro_field_get_string(record.get(), "text", &text) == 0)
        o.text = text;
    zw_avro_field_free_string(text);
    return o;
}

TEST(AviArgs, PositionalRequiredOptionalAndDefault)
{
    const struct {
        const char *body;
        int status, a, b, c;
    } cases[] = {
        {"a=5", 0, 5, 0, -1},
        {"a=5&b=6&c=7", 0, 5, 6, 7},
        {"a=5&c=7", 0, 5, 0, 7},          // absent optional: the next spec looks at the same pair
        {"a=5&b=6&c=7&d=9", 0, 5, 6, 7},  // pairs after the last spec are ignored
        {"a=0&c=0", 0, 0, 0, 0},
        {"b=6&a=5", 22, 0, 0, 0},         // never searched out of order
        {"", 22, 0, 0, 0},                // required pair absent
        {"A=5", 22, 0, 0, 0},             // names match exactly
        {"a=-1", 22, 0, 0, 0},            // numbers are non-negative
        {"a=abc", 22, 0, 0, 0},           // no atoi: text without digits is refused
        {"a=5x", 22, 0, 0, 0},
        {"a=2147483648", 22, 0, 0, 0},
        {"a=5&b=x", 22, 5, 0, 0},         // a bad optional pair refuses the request too
        {"a=5&b=&c=1", 22, 5, 0, 0},
    };
    for (const auto &c : cases) {
        zws_test::log_capture quiet;
        const outcome o = run<k_ints>(c.body);
        EXPECT_EQ(o.status, c.status) << c.body;
        if (c.status == 0) {
            EXPECT_EQ(o.a, c.a) << c.body;
            EXPECT_EQ(o.b, c.b) << c.body;
            EXPECT_EQ(o.c, c.c) << c.body;
        }
    }
}

TEST(AviArgs, CombinedIdsDecodedTextsAndConstants)
{
    zws_test::log_capture quiet;
    outcome o = run<k_node>("noded=261&name=a%20b");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.a, 5); // node 5 of endpoint 0
    EXPECT_EQ(o.name, "a b");
    EXPECT_EQ(o.c, 0);
    o = run<k_node>("noded=261&name=a<b>&c=9");
    EXPECT_EQ(o.name, "a<b>");
    EXPECT_EQ(o.c, 0); // a constant is never taken from a pair
    EXPECT_EQ(run<k_node>("noded=4294967807").a, 255);
    EXPECT_EQ(run<k_node>("noded=-1").status, 22);
    EXPECT_EQ(run<k_node>("noded=261&name=%").status, 22);
    EXPECT_EQ(run<k_node>("name=x").status, 22);

    o = run<k_text>("dsk=11-22%20&v=-5");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.text, "11-22%20"); // a plain text travels as sent
    EXPECT_EQ(o.b, -5);
    EXPECT_EQ(run<k_text>("v=-2147483649").status, 22);
}

TEST(AviArgs, WalkReportsWhatItSet)
{
    zws_test::avro_schema_file schema(k_schema, true);
    zws_test::avro_record record(schema.schema());
    pairs p("a=3&c=4&z=1");
    zws_avi_args_result_t result{};
    ASSERT_EQ(zws_avi_args_read(k_ints, 3, p.list.data(), static_cast<int>(p.list.size()), record.get(), &result), 0);
    EXPECT_EQ(result.set_count, 2);
    EXPECT_EQ(result.consumed, 2);
    EXPECT_EQ(result.last_int, 4);
    // A field the record does not have fails the handler.
    constexpr zws_avi_arg_spec_t wrong[] = {{"a", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_REQUIRED, "no_such_field"}};
    zws_test::log_capture quiet;
    EXPECT_EQ(zws_avi_args_read(wrong, 1, p.list.data(), 1, record.get(), nullptr), 22);
}

} // namespace
