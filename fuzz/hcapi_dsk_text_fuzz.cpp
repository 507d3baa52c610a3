// Arbitrary bytes as a NUL-terminated DSK text: validity and conversion must
// agree, and a text that converts must come back unchanged.
#include "hcapi/core/zwfac.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    const bool valid = zwnet_dsk_txt_valid(text.data());
    uint8_t dsk[ZWNET_DSK_LEN];
    uint8_t len = 0;
    if (zwnet_dsk_from_txt(text.data(), dsk, &len) != valid)
        std::abort();
    if (valid) {
        char *back = zwnet_dsk_to_txt(dsk, len);
        if (back == nullptr || std::strcmp(back, text.data()) != 0)
            std::abort();
        std::free(back);
    }
    const auto n = static_cast<uint8_t>(size > 254 ? 254 : size);
    char *t = zwnet_dsk_to_txt(data, n);
    if ((t != nullptr) != (n != 0 && n % 2 == 0))
        std::abort();
    std::free(t);
    return 0;
}
