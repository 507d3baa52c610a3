// Arbitrary frames, and every prefix of each, in buffers of exactly their
// length through the report dispatcher of a node that has callbacks for
// every report: no read past a frame, no callback under the network mutex.
#include "tests/hcapi/core/rpt_bare_net.h"
#include "tests/hcapi/core/rpt_mgmt_net.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace {

void run_prefixes(rpt_bare::net &net, const uint8_t *data, size_t size);

// Golden frames of the report rows, each run with all its prefixes before
// the fuzzer's own inputs.
const std::vector<std::vector<uint8_t>> golden_frames = {
    {0x26, 0x03, 0x10, 0x63, 0x05},
    {0x26, 0x07, 0x02, 0x03},
    {0x30, 0x03, 0xFF, 0x0C},
    {0x30, 0x04, 0x06, 0x01},
    {0x31, 0x02, 0x05, 0x80},
    {0x31, 0x05, 0x03, 0x4C, 0xFF, 0xFF, 0xFE, 0x0C},
    {0x31, 0x06, 0x01, 0x03},
    {0x32, 0x02, 0xA1, 0x64, 0x00, 0x00, 0x30, 0x39, 0x00, 0x3C, 0x00, 0x00, 0x30, 0x00},
    {0x32, 0x04, 0x81, 0x0F},
    {0x33, 0x02, 0x1C, 0x00},
    {0x33, 0x04, 0x03, 0x10, 0x80, 0x05},
    {0x35, 0x05, 0x00, 0x01, 0x02, 0x03},
    {0x3D, 0x04, 0x05, 'M', 'T', 'R', '0', '1'},
    {0x3D, 0x02, 0x03, 'A', 'B', 'C'},
    {0x66, 0x03, 0xFC},
    {0x66, 0x05, 0xFF, 0xFF, 0xFF, 0xFF},
    {0x66, 0x08, 0x02, 0xFF},
    {0x71, 0x08, 0x82, 0x60, 0x01},
    {0x71, 0x02, 0x06, 0x01, 0x66},
    {0x71, 0x05, 0x00, 0x00, 0x00, 0xFF, 0x06, 0x06, 0x03, 0x63, 0x03, 0x05},
    {0x71, 0x05, 0x00, 0x00, 0x00, 0xFF, 0x01, 0x01, 0x86, 0x77, 0x06, 0x02, 0x00, 'H', 0x00, 'i', 0x2A},
    {0x9C, 0x02, 0x07, 0x01, 0xFF, 0x00, 0x1E},
    {0x9C, 0x04, 0x01, 0x05},
    // Thermostats, locks, scenes and user interaction.
    {0x22, 0x01, 0x01, 0x0A},                                   // Application Busy
    {0x40, 0x05, 0x07, 0x02},                                   // Thermostat Mode Supported
    {0x43, 0x03, 0x01, 0x22, 0x00, 0xFA},                       // Setpoint 25.0
    {0x43, 0x05, 0xFE, 0xFF, 0x01},                             // Setpoint Supported, 16 types
    {0x43, 0x0A, 0x01, 0x21, 0x32, 0x22, 0x01, 0x2C},           // Setpoint Capabilities
    {0x44, 0x03, 0x81},                                         // Fan Mode, off
    {0x46, 0x03, 0x01, 0x06, 0x1E, 0x00, 0x08, 0x00, 0xFC, 0x16, 0x00, 0x7A, 0x00, 0x00, 0x7F, 0x17,
     0x00, 0x79, 0x00, 0x00, 0x7F, 0x00, 0x00, 0x7F, 0x00, 0x00, 0x7F, 0x00, 0x00, 0x7F},  // Schedule
    {0x46, 0x08, 0x02, 0x7A},                                   // Schedule Override
    {0x47, 0x03, 0x01, 0xEC},                                   // Setback
    {0x5B, 0x02, 0x02, 0x02, 0x01, 0x05},                       // Central Scene Supported, per scene
    {0x5B, 0x03, 0x11, 0x82, 0x01},                             // Central Scene Notification
    {0x62, 0x03, 0xFF, 0x31, 0x02, 0xFE, 0xFE, 0xFF, 0x00},     // Door Lock Operation v3
    {0x62, 0x06, 0x02, 0x10, 0x05, 0x1E},                       // Door Lock Configuration
    {0x63, 0x03, 0x04, 0x01, '1', '2', '3', '4', '5', '6'},     // User Code
    {0x75, 0x05, 0x03, 0x07, 0x00, 0x03, 0x80},                 // Protection Supported
    {0x81, 0x06, 0x4D, 0x2D},                                   // Clock
};

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
        for (const auto &f : golden_frames)
            run_prefixes(net, f.data(), f.size());
        return true;
    }();
    (void)seeded;
    if (size > 64)
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
