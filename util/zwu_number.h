// Strict parsing of numbers that arrive as text (form values, path segments,
// environment variables) and range tests for the unsigned Z-Wave field widths.
//
// Every parse takes a NUL-terminated text that must not be null. The whole
// text must be one number; leading white space and one sign are accepted (the
// C library's own rules), anything left over is refused. Every refusal writes
// one "error" line and returns 22; the out value is written only on success.
#pragma once

#include <cstddef>
#include <cstdint>

using zwu_status_t = int;

// Signed 64-bit decimal (strtol rules, base 10).
zwu_status_t zwu_parse_long(const char *string, long *long_p);
// As zwu_parse_long, through strtoll.
zwu_status_t zwu_parse_long_long(const char *string, long long *long_long_p);
// zwu_parse_long, then -2147483648..2147483647.
zwu_status_t zwu_parse_int32(const char *string, int32_t *value_p);
// zwu_parse_int32, then 0..2147483647.
zwu_status_t zwu_parse_int32_non_negative(const char *string, int32_t *value_p);
// zwu_parse_long_long.
zwu_status_t zwu_parse_int64(const char *string, int64_t *value_p);
// zwu_parse_int64, then 0 upward.
zwu_status_t zwu_parse_int64_non_negative(const char *string, int64_t *value_p);
// Whole floating-point text (strtod rules: exponents, hex floats, inf, nan).
zwu_status_t zwu_parse_double(const char *string, double *double_p);

// 0 when 0 <= number <= 255 / 65535 / 4294967295, else 22 and an "error" line.
zwu_status_t zwu_number_is_uint8(int64_t number);
zwu_status_t zwu_number_is_uint16(int64_t number);
zwu_status_t zwu_number_is_uint32(int64_t number);

// The value of one hexadecimal digit (either case), -1 for any other char.
int zwu_hex_digit(char c);

// Why a pre-shared key text was refused.
enum class zwu_key_refusal { none, length, not_hex };
// A pre-shared key written as hexadecimal text: an even count of 2 to
// 2 * `capacity` digits, two per byte. Fills `key` and `*key_length` only
// when the whole text is a key; writes no log line, so that each caller
// says in its own words what was wrong.
zwu_key_refusal zwu_hex_key_parse(const char *text, size_t length, uint8_t *key, size_t capacity,
                                  uint8_t *key_length);
