#include "hcapi/zip/zip_tick.h"

#include <algorithm>

int util_tmr_exp_chk(uint16_t now, uint16_t due)
{
    if (now == due)
        return 1;
    if (now < due)
        return (due - now) > 0xEFFF ? 1 : 0;
    return (now - due) < 0xF000 ? 1 : 0;
}

int util_tmr_exp_chk32(uint32_t now, uint32_t due)
{
    if (now == due)
        return 1;
    if (now < due)
        return (due - now) > 0xEFFFFFFFu ? 1 : 0;
    return (now - due) < 0xF0000000u ? 1 : 0;
}

uint16_t util_tmr_diff(uint16_t a, uint16_t b) { return static_cast<uint16_t>(a - b); }

uint32_t util_tmr_diff32(uint32_t a, uint32_t b)
{
    if (a == b)
        return 0;
    uint32_t hi = std::max(a, b);
    uint32_t lo = std::min(a, b);
    return (hi - lo) > 0xEFFFFFFFu ? lo - hi : hi - lo;
}
