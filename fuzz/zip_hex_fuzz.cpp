// Arbitrary text into the Intel HEX reader, in a buffer of exactly its size:
// the whole load (both passes), the reading pass into a small image that most
// records overrun, and, on the same bytes, the decimal text reader.
#include "hcapi/zip/zip_dec.h"
#include "hcapi/zip/zip_hex.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

volatile uint32_t g_sink;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> text(data, data + size);

    uint8_t *image = nullptr;
    uint32_t image_size = 0;
    int rc = util_hex_mem_img_load(text.data(), text.size(), 1000000, &image, &image_size);
    if (rc == 0) {
        uint64_t need = 0;
        if (util_hex_mem_size(text.data(), text.size(), &need) != 0 || need != image_size || image_size < 10 ||
            image_size > 1000000)
            std::abort();
        uint32_t sum = 0;
        for (uint32_t i = 0; i < image_size; ++i)
            sum += image[i];  // every byte handed back must be readable
        g_sink = sum;
        std::free(image);
    } else if (image) {
        std::abort();
    }

    std::vector<uint8_t> small(64, 0xFF);
    g_sink = static_cast<uint32_t>(util_hex_mem_to_bin(text.data(), text.size(), small.data(), 64));

    std::vector<char> dec(data, data + size);
    dec.push_back('\0');
    util_dec_val_t val{};
    g_sink = static_cast<uint32_t>(util_dec_str_to_val(dec.data(), static_cast<uint8_t>(size), &val));
    return 0;
}
