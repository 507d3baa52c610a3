#include "service/zws_avro_check.h"

#include <cstdint>

namespace {

// Nesting deeper than this is refused (recursive schemas reach any depth).
constexpr int k_max_depth = 64;

struct cursor {
    const uint8_t *at;
    size_t left;

    bool take(size_t count)
    {
        if (count > left)
            return false;
        at += count;
        left -= count;
        return true;
    }
    // A zig-zag varint of at most 10 bytes.
    bool read_long(int64_t *value)
    {
        uint64_t bits = 0;
        for (int shift = 0; shift < 70; shift += 7) {
            if (left == 0)
                return false;
            const uint8_t byte = *at;
            take(1);
            if (shift == 63 && (byte & 0x7E) != 0)
                return false; // more than 64 bits
            bits |= static_cast<uint64_t>(byte & 0x7F) << shift;
            if ((byte & 0x80) == 0) {
                *value = static_cast<int64_t>((bits >> 1) ^ (~(bits & 1) + 1));
                return true;
            }
        }
        return false;
    }
    bool read_length(int64_t *length)
    {
        return read_long(length) && *length >= 0 && static_cast<uint64_t>(*length) <= left;
    }
};

bool check(avro_schema_t schema, cursor &c, int depth);

// The blocks of an array or map: counts, a byte size after a negative count.
bool check_blocks(avro_schema_t items, bool map, cursor &c, int depth)
{
    for (;;) {
        int64_t count = 0;
        if (!c.read_long(&count))
            return false;
        if (count == 0)
            return true;
        if (count < 0) {
            if (count == INT64_MIN)
                return false;
            count = -count;
            int64_t block_size = 0;
            if (!c.read_length(&block_size))
                return false;
        }
        // Every entry takes at least one byte here, so a count beyond the
        // bytes left cannot be real; it would only make the decoder spin.
        if (static_cast<uint64_t>(count) > c.left)
            return false;
        for (int64_t i = 0; i < count; i++) {
            int64_t key_length = 0;
            if (map && (!c.read_length(&key_length) || !c.take(static_cast<size_t>(key_length))))
                return false;
            if (!check(items, c, depth + 1))
                return false;
        }
    }
}

bool check(avro_schema_t schema, cursor &c, int depth)
{
    if (!schema || depth > k_max_depth)
        return false;
    int64_t value = 0;
    switch (avro_typeof(schema)) {
    case AVRO_NULL: return true;
    case AVRO_BOOLEAN: return c.take(1);
    case AVRO_INT32:
        return c.read_long(&value) && value >= INT32_MIN && value <= INT32_MAX;
    case AVRO_INT64: return c.read_long(&value);
    case AVRO_FLOAT: return c.take(4);
    case AVRO_DOUBLE: return c.take(8);
    case AVRO_STRING:
    case AVRO_BYTES: return c.read_length(&value) && c.take(static_cast<size_t>(value));
    case AVRO_FIXED: {
        const int64_t size = avro_schema_fixed_size(schema);
        return size >= 0 && c.take(static_cast<size_t>(size));
    }
    case AVRO_ENUM:
        return c.read_long(&value) && value >= 0 && value < avro_schema_enum_number_of_symbols(schema);
    case AVRO_RECORD: {
        const size_t fields = avro_schema_record_size(schema);
        for (size_t i = 0; i < fields; i++) {
            if (!check(avro_schema_record_field_get_by_index(schema, static_cast<int>(i)), c, depth + 1))
                return false;
        }
        return true;
    }
    case AVRO_UNION:
        if (!c.read_long(&value) || value < 0 || static_cast<uint64_t>(value) >= avro_schema_union_size(schema))
            return false;
        return check(avro_schema_union_branch(schema, static_cast<int>(value)), c, depth + 1);
    case AVRO_ARRAY: return check_blocks(avro_schema_array_items(schema), false, c, depth);
    case AVRO_MAP: return check_blocks(avro_schema_map_values(schema), true, c, depth);
    case AVRO_LINK: return check(avro_schema_link_target(schema), c, depth + 1);
    default: return false;
    }
}

} // namespace

int zws_avro_check_binary(avro_schema_t schema, const void *data, size_t length)
{
    if (!data && length > 0)
        return 22;
    cursor c{static_cast<const uint8_t *>(data), length};
    return check(schema, c, 0) ? 0 : 22;
}
