// Arbitrary frames, and every prefix of each, in buffers of exactly their
// length through the identification and gateway reports of a node whose
// interfaces have a callback for each: no read past a frame, no callback
// under the network mutex, no device id longer than its record.
#include "tests/hcapi/net/ident_rpt_net.h"

#include <algorithm>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static ident_rpt::net net;
    if (size > 80)
        return 0;
    for (size_t n = 0; n <= size; ++n) {
        std::unique_ptr<uint8_t[]> buf(new uint8_t[n ? n : 1]);
        std::copy(data, data + n, buf.get());
        net.dispatch(buf.get(), static_cast<uint16_t>(n), 0);
        net.dispatch(buf.get(), static_cast<uint16_t>(n), 1);
    }
    return 0;
}
