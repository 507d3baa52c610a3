#include "daemon/zwp_avro_check.h"

namespace {

// Deeper than any record of the protocol; bounds recursive named types.
constexpr int depth_max = 64;

struct cursor {
    const uint8_t *data;
    size_t size;
    size_t at = 0;

    size_t left() const { return size - at; }

    // A zig-zag varint of at most 10 bytes.
    bool varint(int64_t *value)
    {
        uint64_t raw = 0;
        for (int shift = 0; shift < 70; shift += 7) {
            if (at >= size)
                return false;
            const uint8_t byte = data[at++];
            if (shift == 63 && (byte & 0x7E))
                return false;
            raw |= static_cast<uint64_t>(byte & 0x7F) << shift;
            if (!(byte & 0x80)) {
                *value = static_cast<int64_t>(raw >> 1) ^ -static_cast<int64_t>(raw & 1);
                return true;
            }
        }
        return false;
    }
    bool skip(uint64_t count)
    {
        if (count > left())
            return false;
        at += static_cast<size_t>(count);
        return true;
    }
    bool length_prefixed()
    {
        int64_t length = 0;
        return varint(&length) && length >= 0 && skip(static_cast<uint64_t>(length));
    }
};

bool check(avro_schema_t schema, cursor &in, int depth);

// Arrays and maps come in blocks: a count (negative: its absolute value,
// then the block's byte size), the items, and a count of 0 at the end.
// Each item takes at least one byte in every schema this daemon reads, so
// a count beyond the remaining bytes cannot be genuine.
bool blocks(avro_schema_t items, bool map, cursor &in, int depth)
{
    for (;;) {
        int64_t count = 0;
        if (!in.varint(&count))
            return false;
        if (count == 0)
            return true;
        if (count < 0) {
            int64_t bytes = 0;
            if (count == INT64_MIN || !in.varint(&bytes) || bytes < 0)
                return false;
            count = -count;
        }
        if (static_cast<uint64_t>(count) > in.left())
            return false;
        for (int64_t i = 0; i < count; i++) {
            if ((map && !in.length_prefixed()) || !check(items, in, depth + 1))
                return false;
        }
    }
}

bool check(avro_schema_t schema, cursor &in, int depth)
{
    if (!schema || depth > depth_max)
        return false;
    int64_t value = 0;
    switch (avro_typeof(schema)) {
    case AVRO_NULL:
        return true;
    case AVRO_BOOLEAN:
        return in.skip(1);
    case AVRO_INT32:
    case AVRO_INT64:
        return in.varint(&value);
    case AVRO_FLOAT:
        return in.skip(4);
    case AVRO_DOUBLE:
        return in.skip(8);
    case AVRO_STRING:
    case AVRO_BYTES:
        return in.length_prefixed();
    case AVRO_FIXED: {
        const int64_t size = avro_schema_fixed_size(schema);
        return size >= 0 && in.skip(static_cast<uint64_t>(size));
    }
    case AVRO_ENUM:
        return in.varint(&value) && value >= 0 && value < avro_schema_enum_number_of_symbols(schema);
    case AVRO_RECORD: {
        const size_t fields = avro_schema_record_size(schema);
        for (size_t i = 0; i < fields; i++) {
            if (!check(avro_schema_record_field_get_by_index(schema, static_cast<int>(i)), in, depth + 1))
                return false;
        }
        return true;
    }
    case AVRO_UNION:
        if (!in.varint(&value) || value < 0 || static_cast<uint64_t>(value) >= avro_schema_union_size(schema))
            return false;
        return check(avro_schema_union_branch(schema, static_cast<int>(value)), in, depth + 1);
    case AVRO_ARRAY:
        return blocks(avro_schema_array_items(schema), false, in, depth);
    case AVRO_MAP:
        return blocks(avro_schema_map_values(schema), true, in, depth);
    case AVRO_LINK:
        return check(avro_schema_link_target(schema), in, depth + 1);
    default:
        return false;
    }
}

} // namespace

int zwp_avro_binary_check(avro_schema_t schema, const uint8_t *data, size_t size, size_t *used)
{
    if (!schema || (!data && size > 0) || !used)
        return 22;
    cursor in{data, size};
    if (!check(schema, in, 0))
        return 22;
    *used = in.at;
    return 0;
}
