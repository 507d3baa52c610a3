#include "avi/zw_avro_check.h"

#include <cstdint>

namespace {

// Deeper than any value of the protocol; bounds recursive named types,
// which no finite data could otherwise end.
constexpr int k_max_depth = 64;

struct cursor {
    const uint8_t *data;
    size_t size;
    size_t at = 0;
    // Array and map items met so far. Each item of any type but a
    // zero-byte one (null, an empty record, a fixed of size 0) owns at least
    // one byte of the data, so more items than bytes cannot be genuine. The
    // budget bounds the walk, and the decoder, over arrays of such types,
    // where a count per block alone would allow quadratic work.
    size_t items = 0;

    size_t left() const { return size - at; }

    bool skip(uint64_t count)
    {
        if (count > left())
            return false;
        at += static_cast<size_t>(count);
        return true;
    }
    // A zig-zag varint of at most 10 bytes; the tenth holds only the top bit.
    bool varint(int64_t *value)
    {
        uint64_t raw = 0;
        for (int shift = 0; shift < 70; shift += 7) {
            if (at >= size)
                return false;
            const uint8_t byte = data[at++];
            if (shift == 63 && (byte & 0x7E) != 0)
                return false;
            raw |= static_cast<uint64_t>(byte & 0x7F) << shift;
            if ((byte & 0x80) == 0) {
                *value = static_cast<int64_t>(raw >> 1) ^ -static_cast<int64_t>(raw & 1);
                return true;
            }
        }
        return false;
    }
    // A length that the remaining bytes can hold.
    bool length(int64_t *value) { return varint(value) && *value >= 0 && static_cast<uint64_t>(*value) <= left(); }
    // A string, bytes or map key: a length and that many bytes.
    bool length_prefixed()
    {
        int64_t count = 0;
        return length(&count) && skip(static_cast<uint64_t>(count));
    }
};

bool check(avro_schema_t schema, cursor &in, int depth);

// Arrays and maps come in blocks: a count (when negative, its absolute
// value followed by the block's byte size), the items, and a count of 0 at
// the end. The decoder reads the byte size and ignores it; it only has to
// be a length the data could hold.
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
            if (count == INT64_MIN || !in.length(&bytes))
                return false;
            count = -count;
        }
        const uint64_t wanted = static_cast<uint64_t>(count);
        if (wanted > in.left() || wanted > in.size - in.items)
            return false;
        in.items += static_cast<size_t>(wanted);
        for (uint64_t i = 0; i < wanted; i++) {
            if ((map && !in.length_prefixed()) || !check(items, in, depth + 1))
                return false;
        }
    }
}

bool check(avro_schema_t schema, cursor &in, int depth)
{
    if (!schema || depth > k_max_depth)
        return false;
    int64_t value = 0;
    switch (avro_typeof(schema)) {
    case AVRO_NULL:
        return true;
    case AVRO_BOOLEAN:
        return in.skip(1);
    case AVRO_INT32:
        // The decoder would cut a wider number silently.
        return in.varint(&value) && value >= INT32_MIN && value <= INT32_MAX;
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

int zw_avro_check_binary(avro_schema_t schema, const void *data, size_t size, size_t *used)
{
    if (!schema || (!data && size > 0))
        return 22;
    cursor in{static_cast<const uint8_t *>(data), size};
    if (!check(schema, in, 0))
        return 22;
    if (used)
        *used = in.at;
    return 0;
}
