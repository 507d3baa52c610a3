#include "util/zwu_uri.h"

#include "util/zws_log.h"
#include "util/zwu_number.h"

namespace {

constexpr zwu_status_t ok = 0;
constexpr zwu_status_t failed = 22;
constexpr char hex_digits[] = "0123456789ABCDEF";

// Bytes 0x01..0x2C are the ones that would break a form value or a path
// layer; everything from '-' upward travels as it is.
bool needs_encoding(unsigned char byte) { return byte >= 0x01 && byte <= 0x2C; }

zwu_status_t buffer_full(char *dest, size_t size, size_t at)
{
    ZWS_LOG_ERROR("Destination buffer full. Truncating result.");
    if (size > 0)
        dest[at < size ? at : size - 1] = '\0';
    return failed;
}

} // namespace

zwu_status_t zwu_uri_encode_string(char *dest, size_t size, const char *src)
{
    size_t at = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(src); *p != '\0'; p++) {
        if (needs_encoding(*p)) {
            if (size < 4 || at > size - 4)
                return buffer_full(dest, size, at);
            dest[at++] = '%';
            dest[at++] = hex_digits[*p >> 4];
            dest[at++] = hex_digits[*p & 0x0F];
        } else {
            if (size < 2 || at > size - 2)
                return buffer_full(dest, size, at);
            dest[at++] = static_cast<char>(*p);
        }
    }
    if (size == 0)
        return buffer_full(dest, size, at);
    dest[at] = '\0';
    return ok;
}

zwu_status_t zwu_uri_decode_string(char *dest, size_t size, const char *src)
{
    if (size == 0)
        return buffer_full(dest, size, 0);
    size_t at = 0;
    const char *p = src;
    // Reading always stays at or ahead of writing, so dest may be src.
    while (*p != '\0') {
        char byte = *p;
        if (byte == '%') {
            // One or two hex digits, never past the terminator and never a
            // sign, a space or "0x" that a scanf-style conversion would take.
            const int high = zwu_hex_digit(p[1]);
            if (high < 0) {
                ZWS_LOG_ERROR("Failed to read byte");
                dest[at] = '\0';
                return failed;
            }
            const int low = zwu_hex_digit(p[2]);
            if (low < 0) {
                byte = static_cast<char>(high);
                p += 2;
            } else {
                byte = static_cast<char>(high << 4 | low);
                p += 3;
            }
        } else {
            p++;
        }
        if (at >= size - 1)
            return buffer_full(dest, size, at);
        dest[at++] = byte;
    }
    dest[at] = '\0';
    return ok;
}
