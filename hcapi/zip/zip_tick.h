// Wrap-around comparisons of tick counters.
//
// The lowest module of the stack: the platform's timer service compares its
// ticks with these, and so does every layer that keeps a counter of its own.
#pragma once

#include <cstdint>

// A due tick counts as reached while it lies at most 0xEFFF (0xEFFFFFFF)
// ticks behind `now`; one up to 0x1000 (0x10000000) ticks ahead is still
// waited for.
int util_tmr_exp_chk(uint16_t now, uint16_t due);
int util_tmr_exp_chk32(uint32_t now, uint32_t due);
uint16_t util_tmr_diff(uint16_t a, uint16_t b);  // (a - b) mod 0x10000
// Distance between two ticks across a wrap, the same in either order.
uint32_t util_tmr_diff32(uint32_t a, uint32_t b);
