// The shared check of Avro binary from outside. Whatever it accepts must be
// a value the Avro library decodes in full without reading or writing out
// of bounds and without leaking; whatever it refuses never reaches the
// library. Input: byte 0 picks the schema (the protocol's "types", its
// "Cookies" record, the message-name string, or a schema with every kind
// the protocol does not use yet: arrays, maps, enums, fixed, floats and a
// record that refers to itself); the rest is the data.
#include "avi/zw_avro.h"
#include "avi/zw_avro_check.h"

#include <avro.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr char k_every_kind[] = R"({"type": "record", "name": "R", "fields": [
  {"name": "s", "type": "string"}, {"name": "y", "type": "bytes"},
  {"name": "i", "type": "int"}, {"name": "l", "type": "long"},
  {"name": "b", "type": "boolean"}, {"name": "f", "type": "float"}, {"name": "d", "type": "double"},
  {"name": "x", "type": {"type": "fixed", "name": "X", "size": 3}},
  {"name": "e", "type": {"type": "enum", "name": "E", "symbols": ["p", "q", "r"]}},
  {"name": "a", "type": {"type": "array", "items": ["null", "int", "string"]}},
  {"name": "m", "type": {"type": "map", "values": {"type": "array", "items": "long"}}},
  {"name": "n", "type": {"type": "array", "items": "null"}},
  {"name": "next", "type": ["null", "R"]}]})";

struct target {
    avro_schema_t schema;
    avro_value_iface_t *iface;
};

// Plain arrays: a vector's destructor would run before the leak check at
// exit and leave the schemas looking lost.
target g_targets[4];
size_t g_count = 0;
// Holds the protocol the "types" target borrows from.
avro_schema_t g_protocol = nullptr;

avro_schema_t parse(const std::string &json)
{
    avro_schema_t schema = nullptr;
    if (avro_schema_from_json_length(json.data(), json.size(), &schema) != 0)
        std::abort();
    return schema;
}

void add(avro_schema_t schema)
{
    avro_value_iface_t *iface = schema ? avro_generic_class_from_schema(schema) : nullptr;
    if (!iface || g_count == sizeof g_targets / sizeof g_targets[0])
        std::abort();
    g_targets[g_count++] = {schema, iface};
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    std::ifstream file(ZW_SOURCE_DIR "/avi/zwave.avsc");
    std::stringstream text;
    text << file.rdbuf();
    g_protocol = parse(text.str());
    avro_schema_t types = zw_avro_schema_record_field_get(g_protocol, "types");
    int index = -1;
    add(types);
    add(types ? avro_schema_union_branch_by_name(types, &index, "Cookies") : nullptr);
    add(avro_schema_string());
    add(parse(k_every_kind));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const target &t = g_targets[data[0] % g_count];
    const char *bytes = reinterpret_cast<const char *>(data + 1);
    const size_t length = size - 1;
    size_t used = 0;
    if (zw_avro_check_binary(t.schema, bytes, length, &used) != 0)
        return 0;
    if (used > length)
        std::abort();
    // Only the measured bytes: the value must end where the check says.
    avro_reader_t reader = avro_reader_memory(bytes, static_cast<int64_t>(used));
    avro_value_t value;
    if (!reader || avro_generic_value_new(t.iface, &value) != 0)
        std::abort();
    const int status = avro_value_read(reader, &value);
    if (status != 0) {
        std::fprintf(stderr, "accepted but not decoded: %s\n", avro_strerror());
        std::abort();
    }
    avro_value_decref(&value);
    avro_reader_free(reader);
    return 0;
}
