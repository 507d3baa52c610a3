// Parses arbitrary bytes as a received Z/IP frame, then rebuilds and
// re-parses the answers the simulator would send to it.
#include "sim/sim_packet.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    sim::zip_frame f = sim::parse_frame(data, size);
    (void)sim::describe(f);
    if (f.kind != sim::frame_kind::packet)
        return 0;
    const sim::zip_packet &p = f.packet;
    (void)p.expected_delay();
    (void)p.encap_format();
    std::vector<uint8_t> answer = sim::build_ack(p);
    if (const sim::zip_option *o = p.first_unsupported_critical({1, 4}))
        answer = sim::build_option_error(p, *o);
    sim::zip_frame back = sim::parse_frame(answer.data(), answer.size());
    if (back.kind != sim::frame_kind::packet || back.packet.seq != p.seq)
        std::abort();
    // A well-formed packet survives a rebuild unchanged.
    sim::packet_spec s;
    s.flags0 = p.flags0;
    s.secure = p.secure();
    s.more_info = p.more_info();
    s.seq = p.seq;
    s.src_ep = p.src_ep;
    s.dst_ep = p.dst_ep();
    s.bit_address = p.bit_address();
    s.options = p.options;
    s.command = p.command;
    std::vector<uint8_t> again = sim::build_packet(s);
    if (again.empty())
        return 0;
    sim::zip_frame g = sim::parse_frame(again.data(), again.size());
    if (g.kind != sim::frame_kind::packet || g.packet.options != p.options || g.packet.command != p.command)
        std::abort();
    return 0;
}
