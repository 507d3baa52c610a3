// Arbitrary frames, and every prefix of each, in buffers of exactly their
// length through the report dispatcher of a node that has callbacks for
// every report: no read past a frame, no callback under the network mutex.
#include "tests/hcapi/core/rpt_bare_net.h"

#include <memory>
#include <vector>

// Golden frames of the report rows (blocks below), every prefix of each
// parsed once before the fuzzer's own inputs.
extern const std::vector<std::vector<uint8_t>> golden_frames;

namespace {

bool golden_parsed()
{
    for (const auto &f : golden_frames)
        for (size_t n = 0; n <= f.size(); ++n) {
            std::unique_ptr<uint8_t[]> buf(new uint8_t[n ? n : 1]);
            std::copy(f.begin(), f.begin() + static_cast<long>(n), buf.get());
            zwif_rpt_rec_t rec;
            zwif_rpt_parse(buf.get(), static_cast<uint16_t>(n), &rec);
        }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static rpt_bare::net net;
    static const bool golden = golden_parsed();
    (void)golden;
    if (size > 64)
        return 0;
    for (size_t n = 0; n <= size; ++n) {
        std::unique_ptr<uint8_t[]> buf(new uint8_t[n ? n : 1]);
        std::copy(data, data + n, buf.get());
        net.dispatch(buf.get(), static_cast<uint16_t>(n));
        zwif_rpt_rec_t rec;
        zwif_rpt_parse(buf.get(), static_cast<uint16_t>(n), &rec);
    }
    return 0;
}

const std::vector<std::vector<uint8_t>> golden_frames = {
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
