// Arbitrary frames, and every prefix of each, in buffers of exactly their
// length through the node interview's report parsers, at every interface
// version that changes what they read.
#include "hcapi/net/zwnet_ni.h"

#include <algorithm>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 300)
        return 0;
    for (size_t n = 0; n <= size; ++n) {
        std::unique_ptr<uint8_t[]> buf(new uint8_t[n ? n : 1]);
        std::copy(data, data + n, buf.get());
        for (uint8_t ver : {1, 2, 4}) {
            zwnet_ni_rpt_t rec;
            zwnet_ni_rpt_parse(buf.get(), static_cast<uint16_t>(n), ver, &rec);
        }
    }
    return 0;
}
