// Z/IP frame layer: packet building and parsing, the one pending
// acknowledged frame with its resend, answers to incoming packets.
#include "hcapi/zip/zip_frame.h"

#include <arpa/inet.h>
#include <cstring>
#include <memory>
#include <new>

namespace {

size_t addr_size(const frm_layer_ctx *ctx) { return ctx->tpt.ipv4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6); }

// Compares address bytes only: DTLS hands up sources without family or port.
bool same_addr(const frm_layer_ctx *ctx, const tpt_sockaddr_t *a, const tpt_sockaddr_t *b)
{
    if (ctx->tpt.ipv4)
        return std::memcmp(&a->v4.sin_addr, &b->v4.sin_addr, 4) == 0;
    return std::memcmp(&a->v6.sin6_addr, &b->v6.sin6_addr, 16) == 0;
}

bool from_gateway(const frm_layer_ctx *ctx, const tpt_sockaddr_t *src)
{
    if (ctx->tpt.ipv4)
        return std::memcmp(&src->v4.sin_addr, ctx->tpt.peer_addr + 12, 4) == 0;
    return std::memcmp(&src->v6.sin6_addr, ctx->tpt.peer_addr, 16) == 0;
}

void pend_free(frm_layer_ctx *ctx)
{
    delete[] ctx->pend_frm;
    ctx->pend_frm = nullptr;
    ctx->pend_len = 0;
    ctx->snd_cnt = 0;
}

void retx_stop(frm_layer_ctx *ctx)
{
    plt_tmr_stop(ctx->plt_ctx, ctx->retx_tmr);
    ctx->retx_tmr = 0;
}

void frm_retx_tmr_cb(void *data);

void retx_arm(frm_layer_ctx *ctx)
{
    plt_tmr_stop(ctx->plt_ctx, ctx->retx_tmr);
    ctx->retx_tmr = plt_tmr_start(ctx->plt_ctx, ctx->retx_ms, frm_retx_tmr_cb, ctx);
}

uint16_t resend_flags(const frm_layer_ctx *ctx) { return ctx->reply_ssn ? TPT_FLAG_HOST_PORT : 0; }

void report(frm_layer_ctx *ctx, uint8_t status, uint8_t seq, const tpt_sockaddr_t *src, int matched)
{
    if (ctx->tx_sts_cb != nullptr)
        ctx->tx_sts_cb(ctx, status, seq, src, matched);
}

void frm_retx_tmr_cb(void *data)
{
    auto *ctx = static_cast<frm_layer_ctx *>(data);
    uint8_t status;
    uint8_t seq;
    {
        plt_lock lk(ctx->mtx);
        // A stopped or re-armed timer whose expiry was already on its way
        // must not resend the next frame early or report for it.
        if (!plt_tmr_cb_current(ctx->plt_ctx))
            return;
        ctx->retx_tmr = 0;
        if (!ctx->running.load() || ctx->pend_frm == nullptr)
            return;
        ctx->snd_cnt++;
        if (ctx->snd_cnt < 2) {
            int rc = 0;
            if (!ctx->hold)
                rc = tpt_snd_enq(&ctx->tpt, &ctx->pend_dst, nullptr, ctx->pend_frm, ctx->pend_len,
                                 resend_flags(ctx));
            if (rc == 0) {
                retx_arm(ctx);
                if (ctx->retx_tmr != 0)
                    return;
            }
            status = FRM_STS_SEND_FAIL;
        } else {
            status = FRM_STS_NO_ACK;
        }
        seq = ctx->pend_frm[4];
        pend_free(ctx);
    }
    report(ctx, status, seq, nullptr, 1);
}

// A packet without the ACK-request bit: perhaps the answer to our pending frame.
void rx_answer(frm_layer_ctx *ctx, const frm_pkt_t &p, const tpt_sockaddr_t *src)
{
    uint8_t status = p.ans_sts;
    int matched = 0;
    bool held_back = false;
    {
        plt_lock lk(ctx->mtx);
        if (ctx->pend_frm != nullptr && p.seq == ctx->pend_frm[4] && src != nullptr &&
            (same_addr(ctx, src, &ctx->pend_dst) || from_gateway(ctx, src))) {
            matched = 1;
            // Any packet of the destination under this number, answer or
            // not, shows that the frame arrived: do not resend it.
            ctx->hold = 1;
            if (status == FRM_STS_ACK || status == FRM_STS_NACK ||
                (status == FRM_STS_NACK_WAIT && ctx->reply_ssn)) {
                pend_free(ctx);
                retx_stop(ctx);
            } else if (status == FRM_STS_NACK_WAIT) {
                retx_stop(ctx);
                if (p.exp_delay_s * 1000ull > ctx->retx_ms) {
                    pend_free(ctx);
                } else {
                    retx_arm(ctx);
                    held_back = true;
                }
            }
        }
    }
    if (status != FRM_STS_NONE && !held_back)
        report(ctx, status, p.seq, src, matched);
}

// A packet that asks for an ACK: an ACK, or a NACK option error echoing the
// first critical option that we do not understand.
void rx_acknowledge(frm_layer_ctx *ctx, const frm_pkt_t &p, const tpt_sockaddr_t *src, const uint8_t *dst_addr)
{
    if (src == nullptr)
        return;
    uint8_t ext[256];
    zip_frm_req_t req{};
    req.dst = src;
    req.src = dst_addr;
    req.seq = p.seq;
    req.src_ep = p.dst_ep_byte;
    req.dst_ep = p.src_ep;
    req.flags = (p.flags1 & ZIP_FLAG1_SECURE) ? ZIP_FRM_SECURE : 0;
    if (p.crit_opt != nullptr) {
        const uint8_t opt_len = p.crit_opt[1];
        ext[0] = static_cast<uint8_t>(opt_len + 3);
        std::memcpy(ext + 1, p.crit_opt, opt_len + 2u);
        req.data = ext;
        req.len = static_cast<uint16_t>(opt_len + 3);
        req.flags |= ZIP_FRM_OPT_ERR | ZIP_FRM_HDR_EXT;
    } else {
        req.flags |= ZIP_FRM_ACK_RES;
    }
    int rc = frm_cmd_snd(ctx, &req);
    if (rc != 0)
        plt_msg_show(ctx->plt_ctx, "frm_rx_hdlr: answer to seq %u not sent:%d", p.seq, rc);
}

int enq_locked(frm_layer_ctx *ctx, const tpt_sockaddr_t *dst, const uint8_t *bytes, uint16_t len, uint16_t flags)
{
    if (dst == nullptr)
        return ZIP_ERR_SEND;
    if (!ctx->running.load())
        return ZIP_ERR_NOT_RUNNING;
    plt_lock lk(ctx->mtx);
    if (!ctx->running.load())
        return ZIP_ERR_NOT_RUNNING;
    return tpt_snd_enq(&ctx->tpt, dst, nullptr, bytes, len, flags);
}

}  // namespace

int frm_init(frm_layer_ctx *ctx)
{
    if (ctx == nullptr)
        return 1;
    ctx->tpt.rx_cb = frm_rx_hdlr;
    ctx->tpt.rx_data = ctx;
    ctx->tpt.plt_ctx = ctx->plt_ctx;
    ctx->running.store(0);
    ctx->mtx = nullptr;
    ctx->retx_tmr = 0;
    ctx->pend_frm = nullptr;
    ctx->pend_len = 0;
    ctx->snd_cnt = 0;
    ctx->hold = 0;
    ctx->retx_ms = FRM_RETX_MS;
    if (!plt_mtx_init(&ctx->mtx)) {
        ctx->mtx = nullptr;
        return 2;
    }
    // The mutex comes first so that the read thread, which starts inside
    // tpt_init, never sees a running layer without it.
    if (tpt_init(&ctx->tpt) != 0) {
        plt_mtx_destroy(ctx->mtx);
        ctx->mtx = nullptr;
        return 1;
    }
    ctx->running.store(1);
    return 0;
}

void frm_exit(frm_layer_ctx *ctx)
{
    if (ctx == nullptr || ctx->mtx == nullptr)
        return;
    {
        // Under the lock, so that no send or resend is inside the transport
        // while it goes away.
        plt_lock lk(ctx->mtx);
        ctx->running.store(0);
        retx_stop(ctx);
    }
    tpt_exit(&ctx->tpt);
    plt_tmr_cb_wait(ctx->plt_ctx, ctx);
    bool had_pending = false;
    uint8_t seq = 0;
    {
        plt_lock lk(ctx->mtx);
        if (ctx->pend_frm != nullptr) {
            had_pending = true;
            seq = ctx->pend_frm[4];
        }
        pend_free(ctx);
    }
    if (had_pending)
        report(ctx, FRM_STS_STOPPED, seq, nullptr, 1);
    plt_mtx_destroy(ctx->mtx);
    ctx->mtx = nullptr;
}

int frm_cmd_snd(frm_layer_ctx *ctx, const zip_frm_req_t *req)
{
    if (ctx == nullptr || req == nullptr || req->dst == nullptr || (req->data == nullptr && req->len != 0))
        return ZIP_ERR_SEND;
    if (!ctx->running.load())
        return ZIP_ERR_NOT_RUNNING;
    const bool has_data = req->data != nullptr && req->len != 0;
    const bool hdr_ext = has_data && (req->flags & ZIP_FRM_HDR_EXT);
    const bool encap = has_data && !hdr_ext && (req->flags & ZIP_FRM_ENCAP);
    // In 32 bits: the packet is refused before it could wrap a 16-bit length.
    const uint32_t total = ZIP_HDR_LEN + (has_data ? req->len : 0u) + (encap ? ZIP_ENCAP_EXT_LEN : 0u);
    if (total > ZIP_MAX_FRAME)
        return ZIP_ERR_TOO_LONG;

    plt_lock lk(ctx->mtx);
    if (!ctx->running.load())
        return ZIP_ERR_NOT_RUNNING;
    const bool ack_req = req->flags & ZIP_FRM_ACK_REQ;
    if (ack_req && ctx->pend_frm != nullptr)
        return ZIP_ERR_FRM_BUSY;

    std::unique_ptr<uint8_t[]> pkt(new (std::nothrow) uint8_t[total]);
    if (!pkt)
        return ZIP_ERR_MEMORY;
    uint8_t *b = pkt.get();
    std::memset(b, 0, total);
    b[0] = COMMAND_CLASS_ZIP;
    b[1] = ZIP_PACKET;
    if (ack_req)
        b[2] |= ZIP_FLAG0_ACK_REQ;
    if (req->flags & ZIP_FRM_ACK_RES)
        b[2] |= ZIP_FLAG0_ACK_RES;
    else if (req->flags & ZIP_FRM_OPT_ERR)
        b[2] |= ZIP_FLAG0_NACK_RES | ZIP_FLAG0_NACK_OPT_ERR;
    if (req->flags & ZIP_FRM_SECURE)
        b[3] |= ZIP_FLAG1_SECURE;
    if (req->flags & ZIP_FRM_MORE_INFO)
        b[3] |= ZIP_FLAG1_MORE_INFO;
    if (hdr_ext) {
        b[3] |= ZIP_FLAG1_HDR_EXT;
        std::memcpy(b + ZIP_HDR_LEN, req->data, req->len);
    } else if (has_data) {
        b[3] |= ZIP_FLAG1_ZW_CMD;
        uint16_t at = ZIP_HDR_LEN;
        if (encap) {
            b[3] |= ZIP_FLAG1_HDR_EXT;
            b[at++] = ZIP_ENCAP_EXT_LEN;
            b[at++] = ZIP_OPT_CRITICAL | ZIP_OPT_ENCAP_FMT;
            b[at++] = 2;
            b[at++] = static_cast<uint8_t>(req->encap_fmt >> 8);
            b[at++] = static_cast<uint8_t>(req->encap_fmt);
        }
        std::memcpy(b + at, req->data, req->len);
    }
    b[4] = req->seq;
    b[5] = req->src_ep;
    b[6] = static_cast<uint8_t>(req->bit_addr ? (req->dst_ep | ZIP_DST_EP_BIT_ADDR) : req->dst_ep);

    uint16_t tflags = 0;
    if (req->src != nullptr)
        tflags |= TPT_FLAG_SRC_ADDR;
    if (req->reply_ssn)
        tflags |= TPT_FLAG_HOST_PORT;
    int rc = tpt_snd_enq(&ctx->tpt, req->dst, req->src, b, static_cast<uint16_t>(total), tflags);
    if (rc != 0)
        return rc;
    if (!ack_req)
        return 0;
    // Only the frame that becomes pending sets the pending state: an ACK we
    // send meanwhile must not undo a hold or change the selector.
    ctx->reply_ssn = req->reply_ssn;
    ctx->hold = 0;
    delete[] ctx->pend_frm;
    ctx->pend_frm = pkt.release();
    ctx->pend_len = static_cast<uint16_t>(total);
    ctx->pend_dst = tpt_sockaddr_t{};
    std::memcpy(&ctx->pend_dst, req->dst, addr_size(ctx));
    ctx->snd_cnt = 0;
    retx_arm(ctx);
    if (ctx->retx_tmr == 0) {
        // Without its timer the frame would stay pending for ever and block
        // every later acknowledged send.
        pend_free(ctx);
        plt_msg_show(ctx->plt_ctx, "frm_cmd_snd: retransmission timer not started");
        return ZIP_ERR_RESOURCE;
    }
    return 0;
}

int frm_keep_alive_ack_snd(frm_layer_ctx *ctx, const tpt_sockaddr_t *dst)
{
    if (ctx == nullptr)
        return ZIP_ERR_SEND;
    const uint8_t ka[] = {COMMAND_CLASS_ZIP, ZIP_KEEP_ALIVE, ZIP_KEEP_ALIVE_ACK_RES};
    return enq_locked(ctx, dst, ka, sizeof ka, 0);
}

int frm_node_solicit_snd(frm_layer_ctx *ctx, const tpt_sockaddr_t *dst, const uint8_t *ipv6_addr, int tpt_flag)
{
    if (ctx == nullptr || ipv6_addr == nullptr)
        return ZIP_ERR_SEND;
    uint8_t b[ZIP_NODE_SOLICIT_LEN] = {COMMAND_CLASS_ZIP_ND, ZIP_NODE_SOLICITATION, 0, 0};
    std::memcpy(b + 4, ipv6_addr, 16);
    return enq_locked(ctx, dst, b, sizeof b, tpt_flag ? TPT_FLAG_DTLS_NEW : 0);
}

int frm_inv_node_solicit_snd(frm_layer_ctx *ctx, const tpt_sockaddr_t *dst, uint8_t node_id)
{
    if (ctx == nullptr)
        return ZIP_ERR_SEND;
    if (!ctx->running.load())
        return ZIP_ERR_NOT_RUNNING;
    if (node_id == 0)
        return ZIP_ERR_NODE_ID;
    const uint8_t b[ZIP_INV_NODE_SOLICIT_LEN] = {COMMAND_CLASS_ZIP_ND, ZIP_INV_NODE_SOLICITATION,
                                                 ZIP_INV_NODE_SOLICIT_LOCAL, node_id};
    return enq_locked(ctx, dst, b, sizeof b, 0);
}

int frm_raw_snd(frm_layer_ctx *ctx, uint8_t cmd_cls, uint8_t cmd, const uint8_t *data, uint8_t length)
{
    if (ctx == nullptr)
        return ZIP_ERR_SEND;
    if (!ctx->running.load())
        return ZIP_ERR_NOT_RUNNING;
    if (length > FRM_RAW_MAX)
        return ZIP_ERR_TOO_LONG;
    if (data == nullptr)
        length = 0;
    uint8_t b[2 + FRM_RAW_MAX];
    b[0] = cmd_cls;
    b[1] = cmd;
    if (length != 0)
        std::memcpy(b + 2, data, length);
    tpt_sockaddr_t dst{};
    if (ctx->tpt.ipv4) {
        dst.v4.sin_family = AF_INET;
        dst.v4.sin_port = htons(ZIP_UDP_PORT);
        std::memcpy(&dst.v4.sin_addr, ctx->tpt.peer_addr + 12, 4);
    } else {
        dst.v6.sin6_family = AF_INET6;
        dst.v6.sin6_port = htons(ZIP_UDP_PORT);
        std::memcpy(&dst.v6.sin6_addr, ctx->tpt.peer_addr, 16);
    }
    return enq_locked(ctx, &dst, b, static_cast<uint16_t>(2 + length), 0);
}

void frm_rx_hdlr(tpt_layer_ctx *tpt, const uint8_t *data, uint16_t length, const tpt_sockaddr_t *src,
                 const uint8_t *dst_addr)
{
    if (tpt == nullptr)
        return;
    auto *ctx = static_cast<frm_layer_ctx *>(tpt->rx_data);
    if (ctx == nullptr || !ctx->running.load())
        return;
    frm_pkt_t p;
    switch (frm_pkt_parse(data, length, &p)) {
    case FRM_PKT_NODE_ADV: {
        const zip_rx_hdr_t none{};
        if (ctx->rx_cb != nullptr)
            ctx->rx_cb(ctx, data, length, src, &none, 0, 0);
        return;
    }
    case FRM_PKT_KEEP_ALIVE:
        if (src != nullptr)
            frm_keep_alive_ack_snd(ctx, src);
        return;
    case FRM_PKT_ZIP:
        break;
    default:
        return;
    }
    if (p.flags0 & ZIP_FLAG0_ACK_REQ)
        rx_acknowledge(ctx, p, src, dst_addr);
    else
        rx_answer(ctx, p, src);
    if (p.cmd != nullptr && ctx->rx_cb != nullptr) {
        const zip_rx_hdr_t hdr{p.src_ep, static_cast<uint8_t>(p.dst_ep_byte & 0x7F),
                               static_cast<uint8_t>((p.dst_ep_byte & ZIP_DST_EP_BIT_ADDR) ? 1 : 0)};
        ctx->rx_cb(ctx, p.cmd, p.cmd_len, src, &hdr, p.hdr_flags, p.encap_fmt);
    }
}

const uint8_t *frm_hdr_ext_opt_find(const uint8_t *ext, uint16_t avail, uint8_t type)
{
    if (ext == nullptr || avail < 1)
        return nullptr;
    const unsigned total = ext[0];
    if (total < 3 || total > avail)
        return nullptr;
    const uint8_t *opt = ext + 1;
    unsigned remaining = total - 1;
    while (remaining >= 2) {
        const unsigned step = opt[1] + 2u;
        if ((opt[0] & ZIP_OPT_TYPE_MASK) == (type & ZIP_OPT_TYPE_MASK))
            return step <= remaining ? opt : nullptr;
        if (step >= remaining)
            return nullptr;
        opt += step;
        remaining -= step;
    }
    return nullptr;
}

const uint8_t *frm_hdr_ext_crit_opt_find(const uint8_t *ext, uint16_t avail)
{
    if (ext == nullptr || avail < 1)
        return nullptr;
    const unsigned total = ext[0];
    if (total < 3 || total > avail)
        return nullptr;
    const uint8_t *opt = ext + 1;
    unsigned remaining = total - 1;
    while (remaining >= 2) {
        const unsigned step = opt[1] + 2u;
        if (opt[0] & ZIP_OPT_CRITICAL) {
            if ((opt[0] & ZIP_OPT_TYPE_MASK) == ZIP_OPT_ENCAP_FMT || step > remaining)
                return nullptr;
            return opt;
        }
        if (step >= remaining)
            return nullptr;
        opt += step;
        remaining -= step;
    }
    return nullptr;
}

uint8_t frm_pkt_parse(const uint8_t *data, uint16_t length, frm_pkt_t *pkt)
{
    if (pkt == nullptr)
        return FRM_PKT_IGNORED;
    *pkt = frm_pkt_t{};
    if (data == nullptr || length < 2)
        return FRM_PKT_IGNORED;
    if (data[0] == COMMAND_CLASS_ZIP_ND) {
        // Shorter advertisements cannot hold the node's addresses.
        if (length > 23 && data[1] == ZIP_NODE_ADVERTISEMENT)
            pkt->kind = FRM_PKT_NODE_ADV;
        return pkt->kind;
    }
    if (data[0] != COMMAND_CLASS_ZIP)
        return FRM_PKT_IGNORED;
    if (data[1] == ZIP_KEEP_ALIVE) {
        if (length > 2 && (data[2] & ZIP_KEEP_ALIVE_ACK_REQ))
            pkt->kind = FRM_PKT_KEEP_ALIVE;
        return pkt->kind;
    }
    if (data[1] != ZIP_PACKET || length < ZIP_HDR_LEN)
        return FRM_PKT_IGNORED;

    pkt->kind = FRM_PKT_ZIP;
    pkt->flags0 = data[2];
    pkt->flags1 = data[3];
    pkt->seq = data[4];
    pkt->src_ep = data[5];
    pkt->dst_ep_byte = data[6];
    if (!(pkt->flags0 & ZIP_FLAG0_ACK_REQ)) {
        if (pkt->flags0 & ZIP_FLAG0_ACK_RES)
            pkt->ans_sts = FRM_STS_ACK;
        else if (pkt->flags0 & ZIP_FLAG0_NACK_RES)
            pkt->ans_sts = (pkt->flags0 & ZIP_FLAG0_NACK_WAIT) ? FRM_STS_NACK_WAIT : FRM_STS_NACK;
    }
    if (pkt->flags0 & ZIP_FLAG0_ACK_REQ)
        pkt->hdr_flags |= ZIP_RX_FLAG_ACK_REQ;
    if (pkt->flags1 & ZIP_FLAG1_SECURE)
        pkt->hdr_flags |= ZIP_RX_FLAG_SECURE;
    if ((pkt->flags1 & ZIP_FLAG1_HDR_EXT) && length > ZIP_HDR_LEN) {
        pkt->ext = data + ZIP_HDR_LEN;
        pkt->ext_avail = static_cast<uint16_t>(length - ZIP_HDR_LEN);
        pkt->ext_len = pkt->ext[0];
        const uint8_t *opt = frm_hdr_ext_opt_find(pkt->ext, pkt->ext_avail, ZIP_OPT_EXPECTED_DELAY);
        if (opt != nullptr && opt[1] == 3)
            pkt->exp_delay_s = (uint32_t{opt[2]} << 16) | (uint32_t{opt[3]} << 8) | opt[4];
        opt = frm_hdr_ext_opt_find(pkt->ext, pkt->ext_avail, ZIP_OPT_ENCAP_FMT);
        if (opt != nullptr && opt[1] == 2) {
            pkt->encap_fmt = static_cast<uint16_t>((opt[2] << 8) | opt[3]);
            pkt->hdr_flags |= ZIP_RX_FLAG_ENCAP;
        }
        pkt->crit_opt = frm_hdr_ext_crit_opt_find(pkt->ext, pkt->ext_avail);
    }
    if ((pkt->flags1 & ZIP_FLAG1_ZW_CMD) && length > ZIP_HDR_LEN + pkt->ext_len) {
        pkt->cmd = data + ZIP_HDR_LEN + pkt->ext_len;
        pkt->cmd_len = static_cast<uint16_t>(length - ZIP_HDR_LEN - pkt->ext_len);
    }
    return pkt->kind;
}
