// Arbitrary bytes as an mDNS reply: through the header and answer-section
// readers, and into a receive pass that already knows an instance and its
// host, so that PTR, SRV and address answers all reach their handlers.
// Every parsed name is checked against the limits the reader promises.
#include "hcapi/zip/zip_mdns.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <vector>

namespace {

void check_name(const mdns_name_t &n)
{
    if (n.wire.empty())
        return;
    if (n.wire.size() > MDNS_NAME_MAX || n.wire.back() != '\0')
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = [] { return std::freopen("/dev/null", "w", stdout) != nullptr; }();
    (void)quiet;
    if (size == 0)
        return 0;
    // Byte 0 picks the family of the pass; the rest is the datagram.
    const int ipv4 = data[0] & 1;
    std::vector<uint8_t> msg(data + 1, data + size);  // exact size, so ASan sees over-reads

    uint16_t an = 0, ns = 0, ar = 0;
    if (mdns_hdr_parse(msg.data(), msg.size(), &an, &ns, &ar) == 0) {
        std::vector<mdns_rr_t> rrs;
        if (mdns_parse_answer(msg.data(), msg.size(), MDNS_HDR_LEN, an, rrs) == 0) {
            for (const auto &rr : rrs) {
                check_name(rr.owner);
                check_name(rr.target);
            }
        }
    }
    for (size_t pos = MDNS_HDR_LEN; pos < msg.size() && pos < 64; ++pos) {
        mdns_name_t n;
        size_t len = msg.size() - pos;
        if (mdns_parse_dname(msg.data(), msg.size(), pos, &len, &n) == 0) {
            check_name(n);
            if (len == 0 || len > msg.size() - pos)
                std::abort();
        }
    }

    mdns_pass_t pass;
    pass.ipv4 = ipv4;
    mdns_name_t known;
    known.wire = std::string("\2gw\7_z-wave\4_udp\5local", 21) + '\0';
    known.text = "gw._z-wave._udp.local";
    mdns_svc_t *e = mdns_svc_add(pass, known);
    e->host.wire = std::string("\1h\5local", 8) + '\0';
    e->host.text = "h.local";
    e->host_set = true;
    mdns_svc_add(pass, mdns_name_t{std::string("\1x\7_z-wave\4_udp\5local", 20) + '\0', "x._z-wave._udp.local"});
    mdns_rcv_datagram(pass, msg.data(), msg.size());
    if (pass.tbl.size() > MDNS_TBL_MAX)
        std::abort();
    std::vector<uint8_t> addrs;
    std::vector<std::string> names;
    mdns_pass_results(pass, MDNS_MAX_RESULTS, addrs, names);
    return 0;
}
