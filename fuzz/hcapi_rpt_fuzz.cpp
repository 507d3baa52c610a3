// Arbitrary frames, and every prefix of each, in buffers of exactly their
// length through the report dispatcher of a node that has callbacks for
// every report: no read past a frame, no callback under the network mutex.
#include "tests/hcapi/core/rpt_bare_net.h"
#include "tests/hcapi/core/rpt_golden.h"
#include "tests/hcapi/core/rpt_mgmt_net.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <vector>

namespace {

void run_prefixes(rpt_bare::net &net, const uint8_t *data, size_t size);

// Golden frames of every report row: each run with all its prefixes before
// the fuzzer's own inputs (and the seed corpus is made of them too).
// Stops the run when a row has none that its parser takes, so that no
// class's parser is left out of the run.
void check_rows_reached();

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static rpt_bare::net net;
    static const bool seeded = [] {
        // Callbacks of one shape only: the bare node's shared callback fits
        // the single-value reports, and a call through another report's
        // type would be a call through the wrong function type. The other
        // classes are still parsed below, and those the dispatcher takes
        // without a callback are still stored.
        {
            zwnet_lock lk(rpt_bare::g_net);
            zwep_p ep = zwep_find_by_id(rpt_bare::g_net, 5, 0);
            for (zwif_p i = ep ? ep->intf : nullptr; i != nullptr; i = i->next)
                if (i->cls != 0x20 && i->cls != 0x25 && i->cls != 0x80)
                    for (uint8_t r = 0; r < i->rpt_num; ++r)
                        i->rpt[r].usr_rpt_cb = i->rpt[r].sm_rpt_cb = nullptr;
        }
        check_rows_reached();
        for (const auto &f : rpt_golden::frames())
            run_prefixes(net, f.data(), f.size());
        return true;
    }();
    (void)seeded;
    // Room for the longest report (the portal configuration's 68 bytes)
    // and some; every prefix of an input is dispatched.
    if (size > 96)
        return 0;
    run_prefixes(net, data, size);
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

namespace {

void check_rows_reached()
{
    std::set<std::pair<uint16_t, uint8_t>> taken;
    for (const auto &f : rpt_golden::frames()) {
        zwif_rpt_rec_t rec;
        if (zwif_rpt_parse(f.data(), static_cast<uint16_t>(f.size()), &rec) == 0)
            taken.insert({rec.cls, rec.cmd});
    }
    bool all = true;
    for (const zwif_rpt_defs_t *fam : {&zwif_rpt_defs_basic, &zwif_rpt_defs_sw, &zwif_rpt_defs_ctl, &zwif_rpt_defs_mgmt})
        for (size_t r = 0; r < fam->cnt; ++r)
            if (!taken.count({fam->rows[r].cls, fam->rows[r].cmd})) {
                std::fprintf(stderr, "no golden frame reaches the parser of %04X %02X\n", fam->rows[r].cls,
                             fam->rows[r].cmd);
                all = false;
            }
    if (!all)
        std::abort();
}

void run_prefixes(rpt_bare::net &net, const uint8_t *data, size_t size)
{
    for (size_t n = 0; n <= size; ++n) {
        std::unique_ptr<uint8_t[]> buf(new uint8_t[n ? n : 1]);
        std::copy(data, data + n, buf.get());
        net.dispatch(buf.get(), static_cast<uint16_t>(n));
        zwif_rpt_rec_t rec;
        zwif_rpt_parse(buf.get(), static_cast<uint16_t>(n), &rec);
    }
}

}  // namespace
