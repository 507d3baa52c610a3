// Decimal texts as Z-Wave configuration and multilevel values carry them.
#pragma once

#include <cstdint>

// A decimal value in the form that the frames carry.
struct util_dec_val_t {
    uint8_t precision;  // digits after the decimal point
    uint8_t size;       // 1, 2 or 4
    uint8_t value[4];   // big-endian two's complement, `size` bytes used
};

// Reads an optional leading '-', digits and at most one '.'. At most
// `max_dec` digits after the point are kept (the rest are cut, not rounded);
// the point is removed from `text` in place. The integer goes into the
// fewest of 1, 2 or 4 bytes that hold it. 0, or -1 a '-' that is not first,
// -2 a second '.', -3 any other character (the first fault from the left
// decides), -4 no digits, or a value outside the 32-bit signed range.
int util_dec_str_to_val(char *text, uint8_t max_dec, util_dec_val_t *val);
