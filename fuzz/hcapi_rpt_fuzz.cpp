// Arbitrary frames, and every prefix of each, in buffers of exactly their
// length through the report dispatcher of a node that has callbacks for
// every report: no read past a frame, no callback under the network mutex.
#include "tests/hcapi/core/rpt_bare_net.h"
#include "tests/hcapi/core/rpt_mgmt_net.h"

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static rpt_bare::net net;
    if (size > 64)
        return 0;
    for (size_t n = 0; n <= size; ++n) {
        std::unique_ptr<uint8_t[]> buf(new uint8_t[n ? n : 1]);
        std::copy(data, data + n, buf.get());
        net.dispatch(buf.get(), static_cast<uint16_t>(n));
        zwif_rpt_rec_t rec;
        zwif_rpt_parse(buf.get(), static_cast<uint16_t>(n), &rec);
    }
    // Association, identification, wake-up, firmware and gateway classes:
    // the frames go to a node with an interface of each, so that their
    // multi-frame gathering sees sequences too (its callbacks print to a
    // list that is emptied here).
    static rpt_mgmt::net mgmt;
    for (size_t n = 0; n <= size; ++n)
        mgmt.dispatch(std::vector<uint8_t>(data, data + n));
    rpt_mgmt::g_lines.clear();
    return 0;
}
