// Arbitrary names and locations as devices send them (character set, then
// the text), in buffers of exactly their length: what is stored is at most
// 32 bytes of valid UTF-8 and always terminated.
#include "hcapi/net/zwnet_ni.h"

#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > 300)
        return 0;
    const size_t n = size - 1;
    std::unique_ptr<uint8_t[]> text(new uint8_t[n ? n : 1]);
    std::memcpy(text.get(), data + 1, n);
    char dest[ZW_NAMELOC_SZ] = {};
    zwnet_name_txt_store(data[0], text.get(), static_cast<uint16_t>(n), dest);
    if (std::memchr(dest, 0, sizeof dest) == nullptr)
        std::abort();
    return 0;
}
