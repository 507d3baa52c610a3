// A bounds check of Avro binary data against its schema, run before the
// Avro library decodes bytes that came from outside.
//
// The library trusts the lengths inside the data: a negative string or bytes
// length makes it allocate from a wrapped size and write before the buffer,
// and huge block counts make it loop. This walk reads every length, count,
// index and varint first and refuses the data unless one value of the schema
// lies wholly inside the bytes with sane numbers (trailing bytes are
// allowed: a frame may carry more than its value).
//
// Status: 0 the data can be decoded safely, 22 refused (nothing logged).
#pragma once

#include <avro.h>

#include <cstddef>

int zws_avro_check_binary(avro_schema_t schema, const void *data, size_t length);
