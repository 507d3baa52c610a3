// Text conversion for names and texts that devices send: UTF-8 validity and
// UTF-16 to UTF-8. Every call takes the length of its input; well-formed
// means RFC 3629 (no overlong forms, no surrogates, nothing above U+10FFFF).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Length of the longest prefix made of whole, well-formed UTF-8 sequences.
// Callers cut received names and texts to it.
size_t util_utf8_valid_len(const uint8_t *bytes, size_t length);

// Converts up to `unit_cnt` UTF-16 units (2 bytes each, big-endian when the
// flag is 1, little-endian when 0; a 0 unit ends the text early) to UTF-8 in
// `out`, which is always terminated: 0, -1 no text, -2 no memory, -3 not
// well-formed (lone surrogate, U+FFFE, U+FFFF, U+FDD0..U+FDEF), -4 no output
// buffer. Output that does not fit is cut before the first code point that
// would not leave room for the terminator.
int util_utf16_to_utf8(const uint8_t *units, size_t unit_cnt, uint8_t *out, size_t out_size, int big_endian);

// Checks `count` UTF-16 units in host order and converts them to code points
// (surrogate pairs joined): the number of code points, -1 not well-formed
// (as above), -2 no memory.
int util_utf16_chk_cvt(const uint16_t *units, std::vector<uint32_t> &cps, size_t count);

// Encodes `count` code points as UTF-8 into `out` and terminates it; code
// points that are not Unicode scalar values are skipped. Stops before the
// first code point whose bytes would leave no room for the terminator.
// Returns the number of bytes written, or -1 without an output buffer.
int util_ucs4_to_utf8(const uint32_t *cps, size_t count, uint8_t *out, size_t out_size);
