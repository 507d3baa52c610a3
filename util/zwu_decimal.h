// Decimal digits of an unsigned number, as printf's %llu writes them, for the
// paths that build texts by hand instead of formatting them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// The longest text zwu_decimal_format writes (UINT64_MAX), without a NUL.
inline constexpr size_t ZWU_DECIMAL_MAX = 20;

// Writes `value` at `out` (room for ZWU_DECIMAL_MAX characters, no NUL
// added); returns the count written.
inline size_t zwu_decimal_format(char *out, uint64_t value)
{
    char digits[ZWU_DECIMAL_MAX];
    size_t n = sizeof digits;
    do {
        digits[--n] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    std::memcpy(out, digits + n, sizeof digits - n);
    return sizeof digits - n;
}
