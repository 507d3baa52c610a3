#include "hcapi/zip/zip_dec.h"

#include <cstdint>
#include <cstring>

int util_dec_str_to_val(char *text, uint8_t max_dec, util_dec_val_t *val)
{
    if (!text || !val)
        return -4;
    char *point = nullptr;
    for (char *p = text; *p; ++p) {
        if (*p >= '0' && *p <= '9')
            continue;
        if (*p == '-') {
            if (p != text)
                return -1;
        } else if (*p == '.') {
            if (point)
                return -2;
            point = p;
        } else {
            return -3;
        }
    }
    uint8_t precision = 0;
    if (point) {
        size_t decimals = std::strlen(point + 1);
        if (decimals > max_dec) {
            point[1 + max_dec] = '\0';
            decimals = max_dec;
        }
        precision = static_cast<uint8_t>(decimals);
        std::memmove(point, point + 1, decimals + 1);
    }

    const char *p = text;
    bool negative = *p == '-';
    if (negative)
        ++p;
    if (!*p)
        return -4;
    // Accumulate the magnitude with a stop just past the 32-bit range, so no
    // text length can overflow it.
    constexpr int64_t kLimit = int64_t{1} << 31;
    int64_t magnitude = 0;
    for (; *p; ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > kLimit)
            return -4;
    }
    int64_t v = negative ? -magnitude : magnitude;
    if (v > INT32_MAX)
        return -4;

    uint8_t width = v >= -128 && v <= 127 ? 1 : v >= -32768 && v <= 32767 ? 2 : 4;
    auto bits = static_cast<uint32_t>(static_cast<int32_t>(v));
    val->precision = precision;
    val->size = width;
    for (uint8_t i = 0; i < width; ++i)
        val->value[i] = static_cast<uint8_t>(bits >> (8 * (width - 1 - i)));
    return 0;
}
