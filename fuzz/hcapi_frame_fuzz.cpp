// Arbitrary frames, each in a buffer of exactly its length, through the
// readers that every received command passes: they must agree with each
// other and never read past the end.
#include "hcapi/core/zwnode_q.h"
#include "hcapi/core/zwrec.h"
#include "hcapi/net/zwnet_int.h"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 0xFFFF)
        return 0;
    const std::vector<uint8_t> frame(data, data + size);
    const auto len = static_cast<uint16_t>(size);
    uint16_t cls = 0, rcls = 0, gcls = 0, scls = 0;
    uint8_t cmd = 0, rpt = 0, grpt = 0;
    const int ok = zwif_cls_cmd_get(frame.data(), len, &cls, &cmd);
    const int listed = zwif_get_rpt_cmd(frame.data(), len, &rcls, &rpt);
    const int get = zwnet_ctlr_rpt_cmd_find(frame.data(), len, &gcls, &grpt);
    const int set = zwnet_ctlr_set_cmd_find(frame.data(), len, &scls);
    if ((listed || get || set) && !ok)
        std::abort();
    if (ok && (size < 2 || (frame[0] >= 0xF1 && size < 3)))
        std::abort();
    if (listed && rcls != cls)
        std::abort();
    if (get && set)
        std::abort();
    return 0;
}
