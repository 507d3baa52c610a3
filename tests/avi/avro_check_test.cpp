// The bounds check that runs on outside bytes (a client's request in the
// daemon, the daemon's reply in the web service) before the Avro library
// decodes them; and the record field lookup that survives a missing name.
#include "avi/zw_avro.h"
#include "avi/zw_avro_check.h"

#include <avro.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

avro_schema_t parse(const std::string &json)
{
    avro_schema_t schema = nullptr;
    EXPECT_EQ(avro_schema_from_json_length(json.data(), json.size(), &schema), 0) << avro_strerror();
    return schema;
}

int check(avro_schema_t schema, const std::string &bytes, size_t *used = nullptr)
{
    return zw_avro_check_binary(schema, bytes.data(), bytes.size(), used);
}

// A union of a record of every kind and null: the shape of the protocol's
// "types", read the way the web service reads a reply.
constexpr char k_union_schema[] = R"([
  {"type": "record", "name": "R", "fields": [
    {"name": "s", "type": "string"}, {"name": "i", "type": "int"},
    {"name": "a", "type": {"type": "array", "items": "long"}},
    {"name": "m", "type": {"type": "map", "values": "boolean"}},
    {"name": "e", "type": {"type": "enum", "name": "E", "symbols": ["x", "y"]}},
    {"name": "f", "type": {"type": "fixed", "name": "F", "size": 2}},
    {"name": "d", "type": "double"}]},
  "null"])";

TEST(AvroCheck, RefusesWhatTheLibraryWouldMisread)
{
    avro_schema_t schema = parse(k_union_schema);
    ASSERT_NE(schema, nullptr);
    // Union 0, s "ab", i 1, a [2] (block 1, -1 -> 1), m {"k": true}, e 1, f 2 bytes, d 8 bytes.
    const std::string valid("\x00\x04" "ab" "\x02" "\x02\x04\x00" "\x02\x02k\x01\x00" "\x02" "FF" "12345678", 24);
    const struct {
        std::string bytes;
        int status;
    } cases[] = {
        {valid, 0},
        {valid + "trailing", 0},
        {std::string("\x02", 1), 0},                                        // null branch
        {std::string("\x04", 1), 22},                                       // union index 2 of 2
        {std::string("\x01", 1), 22},                                       // union index -1
        {std::string("\x00\x01", 2), 22},                                   // string length -1
        {std::string("\x00\x09" "ab", 4), 22},                              // string longer than the data
        {std::string("\x00\x04" "ab" "\x80\x80\x80\x80\x20", 9), 22},       // int beyond 32 bits
        {std::string("\x00\x04" "ab" "\x02" "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x01", 15), 22}, // array count 2^63-ish
        {std::string("\x00\x04" "ab" "\x02" "\x80\x80\x80\x80\x80\x80\x80\x80\x80\x80\x01", 16), 22}, // 11-byte varint
        {std::string("\x00\x04" "ab" "\x02" "\x03\x00", 7), 22}, // block of -2 with size 0, items missing
        {valid.substr(0, 13) + std::string("\x04", 1) + valid.substr(14), 22}, // enum index 2 of 2
        {valid.substr(0, valid.size() - 1), 22},                           // double cut
        {std::string(), 22},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++)
        EXPECT_EQ(check(schema, cases[i].bytes), cases[i].status) << "case " << i;
    // The valid value is one the library itself reads.
    avro_value_iface_t *iface = avro_generic_class_from_schema(schema);
    avro_value_t value;
    avro_generic_value_new(iface, &value);
    avro_reader_t reader = avro_reader_memory(valid.data(), static_cast<int64_t>(valid.size()));
    EXPECT_EQ(avro_value_read(reader, &value), 0) << avro_strerror();
    avro_reader_free(reader);
    avro_value_decref(&value);
    avro_value_iface_decref(iface);
    // Every prefix of the valid value is refused.
    for (size_t cut = 0; cut < valid.size(); cut++)
        EXPECT_EQ(zw_avro_check_binary(schema, valid.data(), cut, nullptr), 22) << cut;
    avro_schema_decref(schema);
}

const char *const k_record_schema = R"({"type":"record","name":"R","fields":[
  {"name":"s","type":"string"},
  {"name":"u","type":["null","int"]},
  {"name":"f","type":{"type":"fixed","name":"F","size":2}},
  {"name":"a","type":{"type":"array","items":"int"}},
  {"name":"m","type":{"type":"map","values":"long"}},
  {"name":"b","type":"boolean"},
  {"name":"d","type":"double"},
  {"name":"e","type":{"type":"enum","name":"E","symbols":["x","y"]}},
  {"name":"n","type":{"type":"record","name":"N","fields":[{"name":"r","type":"R"}]}}
]})";

struct check_fixture : ::testing::Test {
    avro_schema_t schema = nullptr;
    avro_schema_t inner = nullptr;
    void SetUp() override
    {
        // The last field refers back to R through a link; its own field
        // types are checked one level down.
        const std::string full(k_record_schema);
        const std::string flat = std::string(full).replace(full.find(",\n  {\"name\":\"n\""), std::string::npos, "]}");
        ASSERT_NE(schema = parse(flat), nullptr);
        ASSERT_NE(inner = parse(full), nullptr);
    }
    void TearDown() override
    {
        if (schema)
            avro_schema_decref(schema);
        if (inner)
            avro_schema_decref(inner);
    }
    int run(const std::vector<uint8_t> &bytes, size_t *used = nullptr)
    {
        return zw_avro_check_binary(schema, bytes.data(), bytes.size(), used);
    }
};

// s "ab", u int 5, f 2 bytes, a [1, 2] in one negative-count block with its
// size, m {"k": 3}, b true, d 8 bytes, e "y".
const std::vector<uint8_t> valid = {
    0x04, 'a', 'b',                              // s: length 2
    0x02, 0x0A,                                  // u: branch 1, int 5
    0xAA, 0xBB,                                  // f
    0x03, 0x04, 0x02, 0x04, 0x00,                // a: count -2, 4 bytes, 1, 2, end
    0x02, 0x02, 'k', 0x06, 0x00,                 // m: count 1, key "k", 3, end
    0x01,                                        // b
    0, 0, 0, 0, 0, 0, 0xF0, 0x3F,                // d: 1.0
    0x02,                                        // e: "y"
};

TEST_F(check_fixture, AValidValueIsMeasuredExactly)
{
    size_t used = 0;
    ASSERT_EQ(run(valid, &used), 0);
    EXPECT_EQ(used, valid.size());
    std::vector<uint8_t> longer = valid;
    longer.push_back(0x55);
    ASSERT_EQ(run(longer, &used), 0);
    EXPECT_EQ(used, valid.size()) << "bytes after the value are not part of it";
    EXPECT_EQ(run(longer), 0) << "the measure is optional";
}

TEST_F(check_fixture, EveryTruncationIsRefused)
{
    for (size_t cut = 0; cut < valid.size(); cut++) {
        size_t used = 12345;
        EXPECT_EQ(run(std::vector<uint8_t>(valid.begin(), valid.begin() + static_cast<long>(cut)), &used), 22) << cut;
        EXPECT_EQ(used, 12345u) << "a refusal leaves the measure alone";
    }
}

TEST_F(check_fixture, LengthsCountsAndBranchesBeyondTheDataAreRefused)
{
    const auto with = [](size_t at, std::vector<uint8_t> bytes, size_t replace) {
        std::vector<uint8_t> out = valid;
        out.erase(out.begin() + static_cast<long>(at), out.begin() + static_cast<long>(at + replace));
        out.insert(out.begin() + static_cast<long>(at), bytes.begin(), bytes.end());
        return out;
    };
    const struct {
        const char *what;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"a string of 2^40 bytes", with(0, {0x80, 0x80, 0x80, 0x80, 0x80, 0x40}, 1)},
        {"a string just one byte too long", with(0, {0x06}, 1)},
        {"a negative string length", with(0, {0x03}, 1)},
        {"a varint of eleven bytes", with(0, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, 1)},
        {"a union branch past the last", with(3, {0x04}, 1)},
        {"a negative union branch", with(3, {0x01}, 1)},
        {"an int in a union beyond 32 bits", with(4, {0x80, 0x80, 0x80, 0x80, 0x20}, 1)},
        {"an array count beyond the data", with(7, {0xFE, 0xFF, 0xFF, 0xFF, 0x0F}, 1)},
        {"an array block with a negative byte size", with(8, {0x03}, 1)},
        {"an array block with a byte size beyond the data", with(8, {0xFE, 0x01}, 1)},
        {"an array block count of -2^63", with(7, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, 1)},
        {"an enum symbol past the last", with(valid.size() - 1, {0x04}, 1)},
        {"a negative enum symbol", with(valid.size() - 1, {0x01}, 1)},
        {"a map key too long", with(13, {0x7E}, 1)},
        {"a negative map key length", with(13, {0x01}, 1)},
    };
    for (const auto &c : cases)
        EXPECT_EQ(run(c.bytes), 22) << c.what;
}

TEST_F(check_fixture, NamedTypesThatReferToThemselvesAreBounded)
{
    // Each level of R nests another R, so no finite data ends it; the
    // depth bound ends the walk instead.
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 200; i++)
        bytes.insert(bytes.end(), valid.begin(), valid.end());
    size_t used = 0;
    EXPECT_EQ(zw_avro_check_binary(inner, bytes.data(), bytes.size(), &used), 22);
    EXPECT_EQ(zw_avro_check_binary(nullptr, bytes.data(), bytes.size(), &used), 22);
    EXPECT_EQ(zw_avro_check_binary(schema, nullptr, 4, &used), 22);
}

// Items that take no bytes are bounded by the data's size in all, not only
// block by block: falling counts of 59, 58, ... 1 nulls each fit the bytes
// left after them, yet would make 1770 items out of 60 bytes.
TEST(AvroCheck, ItemsOfNoBytesAreBoundedByTheWholeSize)
{
    avro_schema_t nulls = parse(R"({"type":"array","items":"null"})");
    ASSERT_NE(nulls, nullptr);
    std::string falling;
    for (int count = 59; count >= 1; count--)
        falling.push_back(static_cast<char>(count * 2));
    falling.push_back('\0');
    EXPECT_EQ(check(nulls, falling), 22);
    size_t used = 0;
    EXPECT_EQ(check(nulls, std::string("\x02\x02\x02\x00", 4), &used), 0) << "one null per block";
    EXPECT_EQ(used, 4u);
    avro_schema_decref(nulls);
}

std::string project_schema()
{
    const char *source = std::getenv("ZW_SOURCE_DIR");
    std::ifstream in(source ? std::filesystem::path(source) / "avi" / "zwave.avsc"
                            : std::filesystem::path(ZW_AVI_SCHEMA));
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Picks the first branch of every union inside a value, so that the library
// can write it.
void settle_unions(avro_value_t *value)
{
    avro_value_t inner;
    size_t count = 0;
    switch (avro_value_get_type(value)) {
    case AVRO_UNION:
        if (avro_value_set_branch(value, 0, &inner) == 0)
            settle_unions(&inner);
        break;
    case AVRO_RECORD:
        avro_value_get_size(value, &count);
        for (size_t i = 0; i < count; i++) {
            if (avro_value_get_by_index(value, i, &inner, nullptr) == 0)
                settle_unions(&inner);
        }
        break;
    default:
        break;
    }
}

// Whatever the library writes for any branch of the protocol's "types" is
// accepted and measured to its last byte.
TEST(AvroCheck, AcceptsEveryProtocolTypeTheLibraryWrites)
{
    avro_schema_t protocol = parse(project_schema());
    ASSERT_NE(protocol, nullptr);
    avro_schema_t types = zw_avro_schema_record_field_get(protocol, "types");
    ASSERT_NE(types, nullptr);
    ASSERT_TRUE(is_avro_union(types));
    avro_value_iface_t *iface = avro_generic_class_from_schema(types);
    ASSERT_NE(iface, nullptr);
    const size_t branches = avro_schema_union_size(types);
    EXPECT_GT(branches, 1u);
    for (size_t i = 0; i < branches; i++) {
        avro_value_t value;
        ASSERT_EQ(avro_generic_value_new(iface, &value), 0);
        avro_value_t branch;
        ASSERT_EQ(avro_value_set_branch(&value, static_cast<int>(i), &branch), 0);
        settle_unions(&branch);
        char buffer[4096];
        avro_writer_t writer = avro_writer_memory(buffer, sizeof buffer);
        EXPECT_EQ(avro_value_write(writer, &value), 0) << "branch " << i << ": " << avro_strerror();
        const size_t written = static_cast<size_t>(avro_writer_tell(writer));
        avro_writer_free(writer);
        size_t used = 0;
        EXPECT_EQ(zw_avro_check_binary(types, buffer, written, &used), 0) << "branch " << i;
        EXPECT_EQ(used, written) << "branch " << i;
        avro_value_decref(&value);
    }
    avro_value_iface_decref(iface);
    avro_schema_decref(protocol);
}

// The library's own lookup reads an unset pointer for a missing name; a
// message absent from an older protocol file must fail, not crash.
TEST(AvroSchemaLookup, MissingNamesAndNonRecordsGiveNull)
{
    avro_schema_t protocol = parse(project_schema());
    ASSERT_NE(protocol, nullptr);
    avro_schema_t messages = zw_avro_schema_record_field_get(protocol, "messages");
    ASSERT_NE(messages, nullptr);
    ASSERT_TRUE(is_avro_record(messages));
    ASSERT_GT(avro_schema_record_size(messages), 0u);
    const char *first = avro_schema_record_field_name(messages, 0);
    avro_schema_t entry = zw_avro_schema_record_field_get(messages, first);
    ASSERT_NE(entry, nullptr);
    EXPECT_NE(zw_avro_schema_record_field_get(entry, "request"), nullptr);
    EXPECT_NE(zw_avro_schema_record_field_get(entry, "response"), nullptr);

    EXPECT_EQ(zw_avro_schema_record_field_get(messages, "NoSuchMessage"), nullptr);
    EXPECT_EQ(zw_avro_schema_record_field_get(messages, ""), nullptr);
    EXPECT_EQ(zw_avro_schema_record_field_get(messages, nullptr), nullptr);
    EXPECT_EQ(zw_avro_schema_record_field_get(nullptr, "types"), nullptr);
    // "types" is a union, which has no fields.
    EXPECT_EQ(zw_avro_schema_record_field_get(zw_avro_schema_record_field_get(protocol, "types"), "Cookies"), nullptr);
    avro_schema_decref(protocol);
}

} // namespace
