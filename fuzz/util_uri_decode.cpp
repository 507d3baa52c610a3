// Percent-decoding of form values and percent-encoding of names: the decoder
// must stay inside its text and its destination, and decoding an encoded
// text must give it back.
#include "util/zws_log.h"
#include "util/zwu_uri.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
int quiet(int, const char *, ...) { return 0; }
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ZWS_LOG_FUNC = quiet;
    if (size < 1)
        return 0;
    // The first byte picks the destination size, the rest is the text; an
    // exact-size heap copy lets the sanitizer catch any read past its end.
    const size_t dest_size = data[0];
    std::vector<char> text(data + 1, data + size);
    text.push_back('\0');
    const size_t text_length = std::strlen(text.data());

    char *dest = static_cast<char *>(std::malloc(dest_size ? dest_size : 1));
    const int status = zwu_uri_decode_string(dest, dest_size, text.data());
    if (dest_size > 0) {
        const size_t out = strnlen(dest, dest_size);
        if (out >= dest_size)
            std::abort(); // not terminated inside its size
        if (status == 0 && out > text_length)
            std::abort();
    }
    std::free(dest);

    // In place.
    std::vector<char> in_place = text;
    zwu_uri_decode_string(in_place.data(), in_place.size(), in_place.data());

    // Encode, then decode: the text comes back whole.
    std::vector<char> encoded(text_length * 3 + 1);
    if (zwu_uri_encode_string(encoded.data(), encoded.size(), text.data()) != 0)
        std::abort();
    std::vector<char> decoded(text_length + 1);
    if (zwu_uri_decode_string(decoded.data(), decoded.size(), encoded.data()) != 0)
        std::abort();
    if (std::strcmp(decoded.data(), text.data()) != 0)
        std::abort();
    return 0;
}
