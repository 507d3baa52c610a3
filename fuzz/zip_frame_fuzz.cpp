// Arbitrary datagrams into the frame layer's receive path. The first input
// byte sets up a pending frame (bit 7: present, bits 0-6 plus the datagram's
// byte 4 pick its sequence number) so that answer matching runs too; the rest
// is the datagram, in a buffer of exactly its size. The transport is not
// started, so answers the layer would send are refused without a socket.
#include "hcapi/zip/zip_frame.h"

#include <arpa/inet.h>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

volatile uint32_t g_sink;

void on_rx(frm_layer_ctx *, const uint8_t *data, uint16_t length, const tpt_sockaddr_t *, const zip_rx_hdr_t *hdr,
           uint16_t flags, uint16_t fmt)
{
    uint32_t sum = hdr->src_ep + hdr->dst_ep + hdr->bit_addr + flags + fmt;
    for (uint16_t i = 0; i < length; ++i)
        sum += data[i];  // every byte passed up must be readable
    g_sink = sum;
}

void on_tx(frm_layer_ctx *, uint8_t status, uint8_t seq, const tpt_sockaddr_t *, int matched)
{
    g_sink = status + seq + static_cast<uint32_t>(matched);
}

frm_layer_ctx *make_ctx()
{
    auto *ctx = new frm_layer_ctx();
    plt_mtx_init(&ctx->mtx);
    ctx->tx_sts_cb = on_tx;
    ctx->rx_cb = on_rx;
    ctx->tpt.ipv4 = 1;
    ctx->tpt.rx_data = ctx;
    const uint8_t gw[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1};
    std::memcpy(ctx->tpt.peer_addr, gw, 16);
    ctx->pend_dst.v4.sin_family = AF_INET;
    ctx->pend_dst.v4.sin_addr.s_addr = htonl(0x7F000005);
    ctx->running.store(1);
    return ctx;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static frm_layer_ctx *ctx = make_ctx();
    if (size == 0 || size > 0xFFFF)
        return 0;
    const uint8_t setup = data[0];
    std::vector<uint8_t> dgram(data + 1, data + size);
    const auto len = static_cast<uint16_t>(dgram.size());

    frm_pkt_t p;
    frm_pkt_parse(dgram.data(), len, &p);
    if (len > 7) {
        frm_hdr_ext_opt_find(dgram.data() + 7, static_cast<uint16_t>(len - 7), setup & 0x7F);
        frm_hdr_ext_crit_opt_find(dgram.data() + 7, static_cast<uint16_t>(len - 7));
    }

    delete[] ctx->pend_frm;
    ctx->pend_frm = nullptr;
    if (setup & 0x80) {
        ctx->pend_frm = new uint8_t[ZIP_HDR_LEN]{0x23, 0x02, 0x80, 0x00, 0, 0, 0};
        ctx->pend_frm[4] = len > 4 && (setup & 0x40) ? dgram[4] : static_cast<uint8_t>(setup & 0x3F);
        ctx->pend_len = ZIP_HDR_LEN;
        ctx->reply_ssn = setup & 0x01;
    }
    tpt_sockaddr_t src{};
    src.v4.sin_family = AF_INET;
    src.v4.sin_addr.s_addr = htonl((setup & 0x02) ? 0x7F000001 : 0x7F0000FE);
    const uint8_t dst[4] = {127, 0, 0, 1};
    // The bytes after the datagram's end must never be read: give a copy of
    // exactly its length.
    std::vector<uint8_t> copy(dgram);
    copy.shrink_to_fit();
    frm_rx_hdlr(&ctx->tpt, copy.empty() ? nullptr : copy.data(), len, &src, (setup & 0x04) ? dst : nullptr);
    return 0;
}
