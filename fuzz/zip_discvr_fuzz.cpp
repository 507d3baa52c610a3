// Arbitrary answer datagrams into the probe discovery's matcher. The first
// input byte is the probe's network-management sequence number; the rest is
// the datagram, in a buffer of exactly its size so that any read past its
// end is caught.
#include "hcapi/zip/zip_discvr.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {
volatile int g_sink;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t nm_seq = data[0];
    std::vector<uint8_t> dgram(data + 1, data + size);
    g_sink = zip_gw_probe_rsp_match(dgram.empty() ? nullptr : dgram.data(), dgram.size(), nm_seq);
    return 0;
}
