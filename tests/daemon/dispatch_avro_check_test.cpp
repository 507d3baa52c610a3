// The bounds check that runs on a client's bytes before the Avro library
// decodes them.
#include "daemon/zwp_avro_check.h"

#include <avro.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const char *const schema_json = R"({"type":"record","name":"R","fields":[
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
        const std::string flat = std::string(schema_json).replace(std::string(schema_json).find(",\n  {\"name\":\"n\""),
                                                                  std::string::npos, "]}");
        ASSERT_EQ(avro_schema_from_json_length(flat.data(), flat.size(), &schema), 0) << avro_strerror();
        ASSERT_EQ(avro_schema_from_json_length(schema_json, std::strlen(schema_json), &inner), 0) << avro_strerror();
    }
    void TearDown() override
    {
        avro_schema_decref(schema);
        avro_schema_decref(inner);
    }
    int run(const std::vector<uint8_t> &bytes, size_t *used = nullptr)
    {
        size_t dummy = 0;
        return zwp_avro_binary_check(schema, bytes.data(), bytes.size(), used ? used : &dummy);
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
}

TEST_F(check_fixture, EveryTruncationIsRefused)
{
    for (size_t cut = 0; cut < valid.size(); cut++)
        EXPECT_EQ(run(std::vector<uint8_t>(valid.begin(), valid.begin() + static_cast<long>(cut))), 22) << cut;
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
        {"an array count beyond the data", with(7, {0xFE, 0xFF, 0xFF, 0xFF, 0x0F}, 1)},
        {"an array block with a negative byte size", with(8, {0x03}, 1)},
        {"an enum symbol past the last", with(valid.size() - 1, {0x04}, 1)},
        {"a map key too long", with(13, {0x7E}, 1)},
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
    EXPECT_EQ(zwp_avro_binary_check(inner, bytes.data(), bytes.size(), &used), 22);
    EXPECT_EQ(zwp_avro_binary_check(nullptr, bytes.data(), bytes.size(), &used), 22);
}

} // namespace
