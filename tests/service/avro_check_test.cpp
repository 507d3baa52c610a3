// The bounds check that runs before the Avro library sees outside bytes.
#include "service/zws_avro_check.h"

#include <avro.h>
#include <gtest/gtest.h>

#include <string>

namespace {

constexpr char k_schema[] = R"([
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
    avro_schema_t schema = nullptr;
    ASSERT_EQ(avro_schema_from_json_length(k_schema, sizeof k_schema - 1, &schema), 0) << avro_strerror();
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
        EXPECT_EQ(zws_avro_check_binary(schema, cases[i].bytes.data(), cases[i].bytes.size()), cases[i].status)
            << "case " << i;
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
        EXPECT_EQ(zws_avro_check_binary(schema, valid.data(), cut), 22) << cut;
    avro_schema_decref(schema);
}

} // namespace
