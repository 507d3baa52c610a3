// Percent encoding of texts that cross the web interface (names, locations).
//
// Status: 0 success, 22 failure (one "error" line). `size` is the number of
// bytes available in `dest`, terminator included.
#pragma once

#include <cstddef>

using zwu_status_t = int;

// Bytes 0x01..0x2C (controls, space, "!" to ",") become "%XX" (upper-case
// hex); every byte from 0x2D up is copied unchanged ("a<b>" stays as it is:
// XML escaping is the writer's job). When `dest` is too small:
// "Destination buffer full. Truncating result." and 22, with `dest` holding a
// terminated prefix.
zwu_status_t zwu_uri_encode_string(char *dest, size_t size, const char *src);

// "%" followed by one or two hexadecimal digits becomes that byte ("%4" at the
// end gives 0x04); "+" stays "+". `dest` may be `src` (in place). A "%"
// without a digit: "Failed to read byte" and 22; more than size - 1 bytes:
// "Destination buffer full. Truncating result." and 22. `dest` is terminated
// in every outcome (when size > 0).
zwu_status_t zwu_uri_decode_string(char *dest, size_t size, const char *src);
