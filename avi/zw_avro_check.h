// A bounds check of Avro binary data against its schema, run before the
// Avro library decodes bytes that came from outside (a client's request on
// the daemon's socket, the daemon's reply to the web service).
//
// The library trusts the lengths inside the data: a negative or huge string
// or bytes length makes it allocate from a wrapped size, write before the
// buffer, or keep a buffer it never fills and never frees; huge block
// counts make it loop and allocate item after item. This walk allocates
// nothing: it reads every length, count, branch, index and varint first and
// refuses the data unless one value of the schema lies wholly inside the
// bytes with numbers the schema and the remaining bytes can hold. Array and
// map counts are held to the bytes left, and all items of one value to its
// size: only an array of a zero-byte type (null, an empty record) could
// genuinely hold more, and none of the protocol's values does.
#pragma once

#include <avro.h>

#include <cstddef>

// 0 when one value of `schema` fits in the first `size` bytes of `data`
// (bytes after it are allowed: a frame may carry more than one value), with
// *used set to the value's encoded length when `used` is not null; 22
// otherwise, with *used untouched. Nothing is logged: the caller knows what
// it was reading.
int zw_avro_check_binary(avro_schema_t schema, const void *data, size_t size, size_t *used);
