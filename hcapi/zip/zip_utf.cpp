#include "hcapi/zip/zip_utf.h"

#include <climits>

namespace {

bool is_high(uint16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low(uint16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }
bool is_nonchar(uint16_t u) { return u == 0xFFFE || u == 0xFFFF || (u >= 0xFDD0 && u <= 0xFDEF); }

}  // namespace

size_t util_utf8_valid_len(const uint8_t *bytes, size_t length)
{
    if (bytes == nullptr)
        return 0;
    size_t i = 0;
    while (i < length) {
        uint8_t b = bytes[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        // Allowed range of the second byte per lead byte keeps out overlong
        // forms (C0, C1, E0 80..9F, F0 80..8F), surrogates (ED A0..BF) and
        // code points above U+10FFFF (F4 90.., F5..).
        size_t follow;
        uint8_t lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            follow = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            follow = 2;
            if (b == 0xE0)
                lo = 0xA0;
            else if (b == 0xED)
                hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            follow = 3;
            if (b == 0xF0)
                lo = 0x90;
            else if (b == 0xF4)
                hi = 0x8F;
        } else {
            break;  // a continuation byte or a byte that begins nothing
        }
        if (follow >= length - i)
            break;  // cut off
        if (bytes[i + 1] < lo || bytes[i + 1] > hi)
            break;
        bool ok = true;
        for (size_t k = 2; k <= follow; ++k)
            if ((bytes[i + k] & 0xC0) != 0x80)
                ok = false;
        if (!ok)
            break;
        i += follow + 1;
    }
    return i;
}

int util_utf16_chk_cvt(const uint16_t *units, std::vector<uint32_t> &cps, size_t count)
{
    cps.clear();
    if (count == 0)
        return 0;
    if (units == nullptr)
        return -1;
    for (size_t i = 0; i < count; ++i) {
        uint16_t u = units[i];
        if (is_nonchar(u) || is_low(u))
            return -1;
        if (is_high(u)) {
            if (i + 1 >= count || !is_low(units[i + 1]))
                return -1;  // a lone high surrogate
            ++i;
        }
    }
    if (count > static_cast<size_t>(INT_MAX))
        return -2;
    try {
        cps.reserve(count);
    } catch (...) {
        return -2;
    }
    for (size_t i = 0; i < count; ++i) {
        uint32_t u = units[i];
        if (is_high(units[i])) {
            cps.push_back(u * 1024 + units[i + 1] - 0x35FDC00u);
            ++i;
        } else {
            cps.push_back(u);
        }
    }
    return static_cast<int>(cps.size());
}

int util_ucs4_to_utf8(const uint32_t *cps, size_t count, uint8_t *out, size_t out_size)
{
    if (out == nullptr || out_size == 0)
        return -1;
    if (out_size > static_cast<size_t>(INT_MAX))
        out_size = INT_MAX;
    size_t used = 0;
    for (size_t i = 0; cps != nullptr && i < count; ++i) {
        uint32_t c = cps[i];
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            continue;
        size_t n = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        if (used + n + 1 > out_size)
            break;
        uint8_t *p = out + used;
        switch (n) {
        case 1:
            p[0] = static_cast<uint8_t>(c);
            break;
        case 2:
            p[0] = static_cast<uint8_t>(0xC0 | c >> 6);
            p[1] = static_cast<uint8_t>(0x80 | (c & 0x3F));
            break;
        case 3:
            p[0] = static_cast<uint8_t>(0xE0 | c >> 12);
            p[1] = static_cast<uint8_t>(0x80 | (c >> 6 & 0x3F));
            p[2] = static_cast<uint8_t>(0x80 | (c & 0x3F));
            break;
        default:
            p[0] = static_cast<uint8_t>(0xF0 | c >> 18);
            p[1] = static_cast<uint8_t>(0x80 | (c >> 12 & 0x3F));
            p[2] = static_cast<uint8_t>(0x80 | (c >> 6 & 0x3F));
            p[3] = static_cast<uint8_t>(0x80 | (c & 0x3F));
            break;
        }
        used += n;
    }
    out[used] = 0;
    return static_cast<int>(used);
}

int util_utf16_to_utf8(const uint8_t *units, size_t unit_cnt, uint8_t *out, size_t out_size, int big_endian)
{
    if (units == nullptr)
        return -1;
    size_t n = 0;
    while (n < unit_cnt && (units[2 * n] != 0 || units[2 * n + 1] != 0))
        ++n;
    if (n == 0)
        return -1;
    std::vector<uint16_t> host;
    try {
        host.resize(n);
    } catch (...) {
        return -2;
    }
    for (size_t i = 0; i < n; ++i) {
        uint8_t a = units[2 * i], b = units[2 * i + 1];
        host[i] = big_endian ? static_cast<uint16_t>(a << 8 | b) : static_cast<uint16_t>(b << 8 | a);
    }
    std::vector<uint32_t> cps;
    if (util_utf16_chk_cvt(host.data(), cps, n) < 0)
        return -3;
    if (util_ucs4_to_utf8(cps.data(), cps.size(), out, out_size) < 0)
        return -4;
    return 0;
}
