// Arbitrary frames, each in a buffer of exactly its length, through the
// checks that the facilities make of every received command (report poll,
// post-set poll, supervision, node status polling): they never read past the
// end, and supervision takes a frame only when it is a whole Supervision
// Report.
#include "hcapi/core/zwfac.h"
#include "hcapi/core/zwrec.h"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 0xFFFF)
        return 0;
    // A network whose facilities do not run: the checks read the frame and
    // their posts are refused.
    static zwnet *net = [] {
        auto *n = new zwnet;
        n->ctl.net = n;
        n->ctl.ep.node = &n->ctl;
        n->ctl.nodeid = 1;
        return n;
    }();
    zwif_t intf;
    intf.ep = &net->ctl.ep;
    intf.cls = size != 0 ? data[0] : 0;
    const std::vector<uint8_t> frame(data, data + size);
    const auto len = static_cast<uint16_t>(size);
    zwpoll_rpt_chk(&intf, frame.data(), len);
    zwspoll_rpt_chk(&intf, frame.data(), len);
    zwnspoll_rpt_chk(&intf, frame.data(), len);
    const int taken = zwspv_rpt_rcv(&intf, frame.data(), len);
    if (taken && (size < 5 || frame[0] != 0x6C || frame[1] != 0x02))
        std::abort();
    return 0;
}
