// A bounds check of Avro binary data against its schema, run before the
// Avro library decodes bytes from a client.
//
// The library allocates a string or byte buffer of the length the data
// announces before it reads the contents, and does not release it when the
// contents fall short; a client could make every request leak as much
// memory as it names. The check walks the encoding without allocating and
// refuses any length, count, branch or nesting that the remaining bytes or
// the schema cannot hold.
#pragma once

#include <avro.h>

#include <cstddef>
#include <cstdint>

// 0 when one value of `schema` fits in the first `size` bytes, with *used
// set to its encoded length; 22 otherwise.
int zwp_avro_binary_check(avro_schema_t schema, const uint8_t *data, size_t size, size_t *used);
