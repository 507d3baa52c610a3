// Parse rate of the host-controller library's report parser: one Meter
// Report frame (electric, kWh, 4.56 now and 4.00 thirty seconds before)
// through zwif_rpt_parse, over and over on one thread held to one core, for
// a fixed time per round. Three rounds, each printed, then their median.
//
// Usage: hcapi_rpt_parse_bench [SECONDS_PER_ROUND]
#include "hcapi/core/zwif_rpt_def.h"
#include "hcapi/include/zwif_sw.h"

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;

constexpr uint8_t k_frame[] = {0x32, 0x02, 0x21, 0x44, 0x00, 0x00, 0x01, 0xC8, 0x00, 0x1E, 0x00, 0x00, 0x01, 0x90};
constexpr int k_rounds = 3;
// Frames between looks at the clock: the clock costs more than a parse.
constexpr long k_batch = 4096;

// The frame parses, and into what it says.
bool parsed_right()
{
    zwif_rpt_rec_t rec;
    if (zwif_rpt_parse(k_frame, sizeof k_frame, &rec) != 0 || rec.cls != 0x32 || rec.cmd != 0x02 ||
        rec.len != sizeof(zwmeter_t))
        return false;
    zwmeter_t m;
    std::memcpy(&m, rec.val, sizeof m);
    const uint8_t now[] = {0x00, 0x00, 0x01, 0xC8};
    const uint8_t before[] = {0x00, 0x00, 0x01, 0x90};
    return m.type == 1 && m.rate_type == 1 && m.precision == 2 && m.unit == 0 && m.size == 4 &&
           std::memcmp(m.data, now, 4) == 0 && m.delta_time == 30 && std::memcmp(m.prv_data, before, 4) == 0;
}

// Frames per second over `seconds`.
double rate(double seconds)
{
    // The frame is read through a volatile pointer and every record feeds
    // the sink, so that no parse can be left out or hoisted.
    const uint8_t *volatile frame = k_frame;
    volatile uint32_t sink = 0;
    zwif_rpt_rec_t rec;
    long frames = 0;
    const auto began = steady::now();
    const auto until = began + std::chrono::duration<double>(seconds);
    steady::time_point now;
    do {
        uint32_t mix = 0;
        for (long i = 0; i < k_batch; i++) {
            mix += uint32_t(zwif_rpt_parse(frame, sizeof k_frame, &rec)) + rec.val[4];
        }
        sink = sink + mix;
        frames += k_batch;
        now = steady::now();
    } while (now < until);
    return double(frames) / std::chrono::duration<double>(now - began).count();
}

} // namespace

int main(int argc, char **argv)
{
    const double seconds = argc > 1 ? std::max(0.1, std::atof(argv[1])) : 2.0;
    // One core: the thread stays where it started.
    const int cpu = sched_getcpu();
    if (cpu >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        sched_setaffinity(0, sizeof set, &set);
    }
    if (!parsed_right()) {
        std::fprintf(stderr, "hcapi_rpt_parse_bench: the Meter Report does not parse as expected\n");
        return 1;
    }
    std::printf("Meter Report (%zu bytes) through zwif_rpt_parse, one thread on cpu %d, %.1f s per round\n",
                sizeof k_frame, cpu, seconds);
    rate(std::min(seconds, 0.5));  // warm-up
    std::vector<double> rates;
    for (int round = 1; round <= k_rounds; round++) {
        rates.push_back(rate(seconds));
        std::printf("  round %d: %12.0f frames/s  %6.1f ns/frame\n", round, rates.back(), 1e9 / rates.back());
        std::fflush(stdout);
    }
    std::sort(rates.begin(), rates.end());
    const double median = rates[rates.size() / 2];
    std::printf("  median:  %12.0f frames/s  %6.1f ns/frame\n", median, 1e9 / median);
    return 0;
}
