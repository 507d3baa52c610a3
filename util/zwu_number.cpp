#include "util/zwu_number.h"

#include "util/zws_log.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

namespace {

constexpr zwu_status_t ok = 0;
constexpr zwu_status_t refused = 22;

// One integer conversion; strtol and strtoll share every rule but the call.
template <typename T>
zwu_status_t parse_integer(const char *string, T *out)
{
    if (string[0] == '\0') {
        ZWS_LOG_ERROR("Empty string");
        return refused;
    }
    char *end = nullptr;
    errno = 0;
    T value = 0;
    if constexpr (std::is_same_v<T, long>)
        value = std::strtol(string, &end, 10);
    else
        value = std::strtoll(string, &end, 10);
    const int error = errno;
    const bool at_range_end = value == std::numeric_limits<T>::max() || value == std::numeric_limits<T>::min();
    if ((error == ERANGE && at_range_end) || (error != 0 && value == 0)) {
        ZWS_LOG_ERROR("strtol() failed: %s", std::strerror(error));
        return refused;
    }
    if (end == string) {
        ZWS_LOG_ERROR("No valid digits");
        return refused;
    }
    if (*end != '\0') {
        ZWS_LOG_ERROR("Extra string after parsing");
        return refused;
    }
    *out = value;
    return ok;
}

} // namespace

zwu_status_t zwu_parse_long(const char *string, long *long_p)
{
    return parse_integer<long>(string, long_p);
}

zwu_status_t zwu_parse_long_long(const char *string, long long *long_long_p)
{
    return parse_integer<long long>(string, long_long_p);
}

zwu_status_t zwu_parse_int32(const char *string, int32_t *value_p)
{
    long value = 0;
    if (zwu_parse_long(string, &value) != ok)
        return refused;
    if (value < INT32_MIN || value > INT32_MAX) {
        ZWS_LOG_ERROR("Parsed valued doesn't fit into int32_t : %ld", value);
        return refused;
    }
    *value_p = static_cast<int32_t>(value);
    return ok;
}

zwu_status_t zwu_parse_int32_non_negative(const char *string, int32_t *value_p)
{
    int32_t value = 0;
    if (zwu_parse_int32(string, &value) != ok)
        return refused;
    if (value < 0) {
        ZWS_LOG_ERROR("Parsed valued is a negative int32_t : %d", value);
        return refused;
    }
    *value_p = value;
    return ok;
}

zwu_status_t zwu_parse_int64(const char *string, int64_t *value_p)
{
    long long value = 0;
    if (zwu_parse_long_long(string, &value) != ok)
        return refused;
    *value_p = static_cast<int64_t>(value);
    return ok;
}

zwu_status_t zwu_parse_int64_non_negative(const char *string, int64_t *value_p)
{
    int64_t value = 0;
    if (zwu_parse_int64(string, &value) != ok)
        return refused;
    if (value < 0) {
        ZWS_LOG_ERROR("Parsed valued is a negative int64_t : %lld", static_cast<long long>(value));
        return refused;
    }
    *value_p = value;
    return ok;
}

zwu_status_t zwu_parse_double(const char *string, double *double_p)
{
    if (string[0] == '\0') {
        ZWS_LOG_ERROR("Empty string");
        return refused;
    }
    char *end = nullptr;
    errno = 0;
    const double value = std::strtod(string, &end);
    const int error = errno;
    // An underflow that still gives a non-zero (subnormal) value is kept.
    const bool overflow = error == ERANGE && std::isinf(value);
    if (overflow || (error != 0 && value == 0.0)) {
        ZWS_LOG_ERROR("strtod() failed: %s. String to parse is: %s", std::strerror(error), string);
        return refused;
    }
    if (end == string) {
        ZWS_LOG_ERROR("No valid double");
        return refused;
    }
    if (*end != '\0') {
        ZWS_LOG_ERROR("Extra string after parsing");
        return refused;
    }
    *double_p = value;
    return ok;
}

namespace {

zwu_status_t in_range(int64_t number, int64_t highest)
{
    return number >= 0 && number <= highest ? ok : refused;
}

} // namespace

zwu_status_t zwu_number_is_uint8(int64_t number)
{
    if (in_range(number, UINT8_MAX) != ok) {
        ZWS_LOG_ERROR("Number not in range uint8_t : %ld", static_cast<long>(number));
        return refused;
    }
    return ok;
}

zwu_status_t zwu_number_is_uint16(int64_t number)
{
    if (in_range(number, UINT16_MAX) != ok) {
        ZWS_LOG_ERROR("Number not in range uint16_t : %ld", static_cast<long>(number));
        return refused;
    }
    return ok;
}

zwu_status_t zwu_number_is_uint32(int64_t number)
{
    if (in_range(number, UINT32_MAX) != ok) {
        ZWS_LOG_ERROR("Number not in range uint32_t : %lld", static_cast<long long>(number));
        return refused;
    }
    return ok;
}

int zwu_hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

zwu_key_refusal zwu_hex_key_parse(const char *text, size_t length, uint8_t *key, size_t capacity,
                                  uint8_t *key_length)
{
    if (length < 2 || length > 2 * capacity || length / 2 > UINT8_MAX || length % 2 != 0)
        return zwu_key_refusal::length;
    for (size_t i = 0; i < length; i++) {
        if (zwu_hex_digit(text[i]) < 0)
            return zwu_key_refusal::not_hex;
    }
    for (size_t i = 0; i < length; i += 2)
        key[i / 2] = static_cast<uint8_t>(zwu_hex_digit(text[i]) << 4 | zwu_hex_digit(text[i + 1]));
    *key_length = static_cast<uint8_t>(length / 2);
    return zwu_key_refusal::none;
}
