// Arbitrary node-information files. The CRC-16 trailer is made right for
// every input, so that the bytes reach the record walk instead of being
// refused by the checksum; the network's home id is taken from where the
// file holds it, so that the records are read too.
#include "hcapi/core/zwfac.h"

#include "hcapi/core/zwrec.h"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> file(data, data + size);
    const uint16_t crc = zwnet_crc16(ZWNET_CRC16_INIT, file.data(), file.size());
    file.push_back(static_cast<uint8_t>(crc >> 8));
    file.push_back(static_cast<uint8_t>(crc));

    auto *net = new zwnet;
    if (plt_mtx_init(&net->mtx) != 1)
        std::abort();
    net->grps.emplace_back();
    net->ctl.nodeid = 1;
    net->ctl.net = net;
    net->ctl.ep.node = &net->ctl;
    if (size >= 12)
        net->homeid = static_cast<uint32_t>(data[8]) << 24 | data[9] << 16 | data[10] << 8 | data[11];
    for (uint8_t id : {2, 5, 9})
        zwnode_create(net, id);

    zwnet_ni_buf_load(net, file.data(), file.size());
    // Whatever was loaded must write out again.
    std::vector<uint8_t> out;
    if (zwnet_ni_buf_build(net, &out) != 0)
        std::abort();

    {
        zwnet_lock lk(net);
        while (net->ctl.next != nullptr)
            zwnet_node_free(net, net->ctl.next->nodeid);
        zwnode_ep_rm_all(&net->ctl);
        zwep_if_rm_all(&net->ctl.ep);
        std::free(net->ctl.ext_ver);
    }
    plt_mtx_destroy(net->mtx);
    delete net;
    return 0;
}
