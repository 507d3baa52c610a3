// Z/IP session layer: the one pending acknowledged command, result codes,
// and the receive thread.
#include "hcapi/zip/zip_session.h"

#include <cstring>
#include <memory>

namespace {

// One received command as queued; the command bytes follow it in the item.
struct ssn_rx_item {
    tpt_sockaddr_t src;
    zip_rx_hdr_t hdr;
    uint16_t len;
    uint16_t hdr_flags;
    uint16_t encap_fmt;
};

ssn_layer_ctx *ssn_of(frm_layer_ctx *frm) { return static_cast<ssn_layer_ctx *>(frm->upper_ctx); }

// Set on the receive thread, so that ssn_exit called from the receive
// callback does not wait for its own thread.
thread_local const ssn_layer_ctx *tl_rx_ctx = nullptr;

void ssn_rx_thrd(void *data)
{
    auto *ctx = static_cast<ssn_layer_ctx *>(data);
    tl_rx_ctx = ctx;
    ctx->running.store(1);
    for (;;) {
        plt_sem_wait(ctx->rx_sem);
        if (!ctx->run.load())
            break;
        util_lst_t *node;
        {
            plt_lock lk(ctx->rx_mtx);
            node = util_lst_get(nullptr, &ctx->rx_q);
            if (node != nullptr)
                --ctx->rx_q_cnt;
        }
        if (node == nullptr)
            continue;
        const auto *item = static_cast<const ssn_rx_item *>(util_lst_item(node));
        const auto *cmd = reinterpret_cast<const uint8_t *>(item + 1);
        if (ctx->run.load() && ctx->rx_cb != nullptr)
            ctx->rx_cb(ctx, &item->src, &item->hdr, cmd, item->len, item->hdr_flags, item->encap_fmt);
        util_lst_free(node);
    }
    tl_rx_ctx = nullptr;
    ctx->running.store(0);
}

void ssn_release(ssn_layer_ctx *ctx)
{
    if (ctx->rx_mtx != nullptr) {
        util_lst_flush(ctx->rx_mtx, &ctx->rx_q);
        ctx->rx_q_cnt = 0;
    }
    if (ctx->rx_sem != nullptr)
        plt_sem_destroy(ctx->rx_sem);
    if (ctx->rx_mtx != nullptr)
        plt_mtx_destroy(ctx->rx_mtx);
    if (ctx->mtx != nullptr)
        plt_mtx_destroy(ctx->mtx);
    ctx->rx_sem = nullptr;
    ctx->rx_mtx = nullptr;
    ctx->mtx = nullptr;
}

}  // namespace

uint8_t ssn_sts_code(uint8_t frm_status)
{
    switch (frm_status) {
    case FRM_STS_ACK: return SSN_STS_ACK;
    case FRM_STS_NO_ACK: return SSN_STS_NO_ACK;
    case FRM_STS_NACK: return SSN_STS_NACK;
    case FRM_STS_NACK_WAIT: return SSN_STS_NACK_WAIT;
    case FRM_STS_STOPPED: return SSN_STS_NOT_RUNNING;
    default: return SSN_STS_SEND_FAIL;  // FRM_STS_SEND_FAIL, and anything unknown
    }
}

int ssn_init(ssn_layer_ctx *ctx)
{
    if (ctx == nullptr)
        return 3;
    ctx->frm.tx_sts_cb = ssn_tx_sts_cb;
    ctx->frm.rx_cb = ssn_rx_enq;
    ctx->frm.upper_ctx = ctx;
    ctx->frm.plt_ctx = ctx->plt_ctx;
    ctx->pend_cb = nullptr;
    ctx->pend_user = nullptr;
    ctx->rx_q = nullptr;
    ctx->rx_q_cnt = 0;
    ctx->rx_drop_cnt = 0;
    ctx->run.store(0);
    ctx->running.store(0);
    ctx->rx_thrd = nullptr;
    ctx->mtx = ctx->rx_mtx = nullptr;
    ctx->rx_sem = nullptr;

    // Locks first: the transport's read thread may hand a command up as soon
    // as the frame layer runs.
    if (!plt_mtx_init(&ctx->mtx) || !plt_mtx_init(&ctx->rx_mtx) || !plt_sem_init(&ctx->rx_sem)) {
        ssn_release(ctx);
        return 3;
    }
    ctx->run.store(1);
    if (plt_thrd_create_joinable(ssn_rx_thrd, ctx, &ctx->rx_thrd) != 0) {
        ctx->run.store(0);
        ctx->rx_thrd = nullptr;
        ssn_release(ctx);
        return 3;
    }
    int rc = frm_init(&ctx->frm);
    if (rc != 0) {
        ctx->run.store(0);
        plt_sem_post(ctx->rx_sem);
        plt_thrd_join(ctx->rx_thrd);
        ctx->rx_thrd = nullptr;
        ssn_release(ctx);
        return rc == 1 ? 1 : 2;
    }
    return 0;
}

void ssn_exit(ssn_layer_ctx *ctx)
{
    if (ctx == nullptr || ctx->mtx == nullptr)
        return;
    // The frame layer goes first: its stop report reaches the pending
    // command through ssn_tx_sts_cb while this layer's locks still exist.
    frm_exit(&ctx->frm);
    ctx->run.store(0);
    if (ctx->rx_thrd != nullptr) {
        plt_sem_post(ctx->rx_sem);
        if (tl_rx_ctx == ctx) {
            // Called from the receive callback: the thread ends when it
            // returns; it cannot be joined from inside.
            plt_msg_show(ctx->plt_ctx, "ssn_exit: called on the receive thread");
            return;
        }
        plt_thrd_join(ctx->rx_thrd);
        ctx->rx_thrd = nullptr;
    }
    {
        plt_lock lk(ctx->mtx);
        ctx->pend_cb = nullptr;
        ctx->dflt_cb = nullptr;
    }
    ssn_release(ctx);
}

void ssn_cb_set(ssn_layer_ctx *ctx, ssn_snd_cb_fn cb, void *user)
{
    if (ctx == nullptr || ctx->mtx == nullptr)
        return;
    plt_lock lk(ctx->mtx);
    ctx->dflt_cb = cb;
    ctx->dflt_user = user;
}

int ssn_cmd_snd(ssn_layer_ctx *ctx, const zip_ssn_req_t *req)
{
    if (ctx == nullptr || req == nullptr || !ctx->run.load())
        return ZIP_ERR_NOT_RUNNING;
    zip_frm_req_t frm_req{};
    frm_req.dst = req->dst;
    frm_req.src = nullptr;
    frm_req.data = req->data;
    frm_req.len = req->len;
    frm_req.flags = req->flags;
    frm_req.encap_fmt = req->encap_fmt;
    frm_req.seq = req->seq;
    frm_req.reply_ssn = req->reply_ssn;
    frm_req.src_ep = req->src_ep;
    frm_req.dst_ep = req->dst_ep;
    frm_req.bit_addr = req->bit_addr;

    plt_lock lk(ctx->mtx);
    if (req->cb != nullptr) {
        if (ctx->pend_cb != nullptr)
            return ZIP_ERR_SSN_BUSY;
        frm_req.flags |= ZIP_FRM_ACK_REQ;
        // Stored before the frame leaves: over loopback the answer can reach
        // ssn_tx_sts_cb before frm_cmd_snd returns. The lock is held across
        // the send as well, so the answer waits until the store is complete.
        ctx->pend_cb = req->cb;
        ctx->pend_user = req->user;
        ctx->pend_node = req->node_id;
        ctx->pend_seq = req->seq;
    }
    int rc = frm_cmd_snd(&ctx->frm, &frm_req);
    if (rc != 0 && req->cb != nullptr && ctx->pend_cb == req->cb && ctx->pend_seq == req->seq &&
        ctx->pend_user == req->user) {
        ctx->pend_cb = nullptr;
        ctx->pend_user = nullptr;
    }
    return rc;
}

void ssn_tx_sts_cb(frm_layer_ctx *frm, uint8_t status, uint8_t seq, const tpt_sockaddr_t *src, int matched)
{
    ssn_layer_ctx *ctx = ssn_of(frm);
    if (ctx == nullptr || ctx->mtx == nullptr)
        return;
    ssn_snd_cb_fn cb;
    void *user;
    uint8_t node_id;
    {
        plt_lock lk(ctx->mtx);
        // Only a result that the frame layer tied to its pending frame ends
        // the pending command: an answer from a third address with the same
        // sequence number must not report delivery.
        if (matched && ctx->pend_cb != nullptr && seq == ctx->pend_seq) {
            cb = ctx->pend_cb;
            user = ctx->pend_user;
            node_id = ctx->pend_node;
            ctx->pend_cb = nullptr;
            ctx->pend_user = nullptr;
        } else {
            cb = ctx->dflt_cb;
            user = ctx->dflt_user;
            node_id = SSN_NODE_NONE;
        }
    }
    if (cb != nullptr)
        cb(ctx, ssn_sts_code(status), user, node_id, seq, src);
}

void ssn_rx_enq(frm_layer_ctx *frm, const uint8_t *data, uint16_t length, const tpt_sockaddr_t *src,
                const zip_rx_hdr_t *hdr, uint16_t hdr_flags, uint16_t encap_fmt)
{
    ssn_layer_ctx *ctx = ssn_of(frm);
    if (ctx == nullptr || !ctx->run.load() || (data == nullptr && length != 0))
        return;
    if (length > TPT_MAX_DATAGRAM)
        return;
    const size_t total = sizeof(ssn_rx_item) + length;
    auto buf = std::make_unique<uint8_t[]>(total);
    ssn_rx_item item{};
    if (src != nullptr)
        item.src = *src;
    if (hdr != nullptr)
        item.hdr = *hdr;
    item.len = length;
    item.hdr_flags = hdr_flags;
    item.encap_fmt = encap_fmt;
    std::memcpy(buf.get(), &item, sizeof item);
    if (length != 0)
        std::memcpy(buf.get() + sizeof item, data, length);

    uint32_t dropped = 0;
    {
        plt_lock lk(ctx->rx_mtx);
        // A peer that floods us must not grow the queue without bound: beyond
        // the limit the newest commands are dropped.
        if (ctx->rx_q_cnt >= SSN_RX_Q_MAX) {
            dropped = ++ctx->rx_drop_cnt;
        } else if (util_lst_add(nullptr, &ctx->rx_q, buf.get(), static_cast<uint16_t>(total)) == 0) {
            ++ctx->rx_q_cnt;
        } else {
            dropped = ++ctx->rx_drop_cnt;
        }
    }
    if (dropped != 0) {
        // One line for the first drop and then every 64th, so a flood does
        // not also flood the log.
        if (dropped == 1 || dropped % 64 == 0)
            plt_msg_show(ctx->plt_ctx, "ssn_rx_enq: receive queue full, command dropped (%u dropped)", dropped);
        return;
    }
    plt_sem_post(ctx->rx_sem);
}
