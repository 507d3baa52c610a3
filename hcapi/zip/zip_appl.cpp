// Z/IP application layer core: the one-send gate, destinations, sequence
// numbers, reply waits, the completion thread and the node tables.
#include "hcapi/zip/zip_appl.h"

#include "hcapi/zip/zip_dtls.h"

#include <arpa/inet.h>
#include <cstring>
#include <memory>
#include <netdb.h>

namespace {

// Counts a sender inside appl_cmd_snd_ex, so that shutdown does not free the
// locks under a sender that is just waking up from the gate.
struct appl_active {
    explicit appl_active(appl_layer_ctx *c) : ctx(c) { ctx->active_snd.fetch_add(1); }
    ~appl_active() { ctx->active_snd.fetch_sub(1); }
    appl_active(const appl_active &) = delete;
    appl_active &operator=(const appl_active &) = delete;
    appl_layer_ctx *ctx;
};

// A completed send on its way to the callback thread.
struct appl_cmpl_t {
    appl_snd_cb_fn cb;
    void *user;
    int status;
    uint8_t node_id;
};

constexpr uint8_t seq_node_free = 255;
constexpr uint8_t stored_node_none = 255;

appl_layer_ctx *appl_of(ssn_layer_ctx *ssn) { return static_cast<appl_layer_ctx *>(ssn->upper_ctx); }

// --- completions -----------------------------------------------------------

void cmpl_deliver(appl_layer_ctx *ctx, const appl_cmpl_t &c)
{
    if (c.cb != nullptr)
        c.cb(ctx, c.status, c.user, c.node_id);
}

void cmpl_queue(appl_layer_ctx *ctx, appl_snd_cb_fn cb, int status, void *user, uint8_t node_id)
{
    if (cb == nullptr)
        return;
    appl_cmpl_t c{cb, user, status, node_id};
    if (util_lst_add(ctx->cmpl_mtx, &ctx->cmpl_q, &c, sizeof c) != 0) {
        // Delivered here rather than lost: the caller may be waiting for it.
        plt_msg_show(ctx->plt_ctx, "appl: no memory for a completion, delivered on this thread");
        cmpl_deliver(ctx, c);
        return;
    }
    plt_sem_post(ctx->cmpl_sem);
}

void cmpl_drain(appl_layer_ctx *ctx)
{
    while (util_lst_t *node = util_lst_get(ctx->cmpl_mtx, &ctx->cmpl_q)) {
        appl_cmpl_t c;
        std::memcpy(&c, util_lst_item(node), sizeof c);
        util_lst_free(node);
        cmpl_deliver(ctx, c);
    }
}

void appl_cb_thrd(void *data)
{
    auto *ctx = static_cast<appl_layer_ctx *>(data);
    for (;;) {
        plt_sem_wait(ctx->cmpl_sem);
        // Everything queued is delivered, also at shutdown: a completion
        // that a caller waits for is never thrown away.
        cmpl_drain(ctx);
        if (!ctx->cb_thrd_run.load())
            break;
    }
}

// --- addresses -------------------------------------------------------------

// The address bytes of a socket address (4 or 16 by the family in use).
const uint8_t *sa_addr(const appl_layer_ctx *ctx, const tpt_sockaddr_t *sa, uint8_t *len)
{
    if (ctx->ipv4) {
        *len = 4;
        return reinterpret_cast<const uint8_t *>(&sa->v4.sin_addr);
    }
    *len = 16;
    return reinterpret_cast<const uint8_t *>(&sa->v6.sin6_addr);
}

const uint8_t *gw_addr(const appl_layer_ctx *ctx, uint8_t *len)
{
    const uint8_t *peer = ctx->ssn.frm.tpt.peer_addr;
    *len = ctx->ipv4 ? 4 : 16;
    return ctx->ipv4 ? peer + 12 : peer;
}

void sa_fill(const appl_layer_ctx *ctx, tpt_sockaddr_t *sa, const uint8_t *addr)
{
    std::memset(sa, 0, sizeof *sa);
    if (ctx->ipv4) {
        sa->v4.sin_family = AF_INET;
        sa->v4.sin_port = htons(ZIP_UDP_PORT);
        std::memcpy(&sa->v4.sin_addr, addr, 4);
    } else {
        sa->v6.sin6_family = AF_INET6;
        sa->v6.sin6_port = htons(ZIP_UDP_PORT);
        std::memcpy(&sa->v6.sin6_addr, addr, 16);
    }
}

// Destination of a node: 0, ZIP_ERR_NODE_ID or ZIP_ERR_NO_ADDR.
int node_dst(appl_layer_ctx *ctx, uint8_t node_id, tpt_sockaddr_t *dst)
{
    if (node_id == 0) {
        uint8_t len;
        sa_fill(ctx, dst, gw_addr(ctx, &len));
        return 0;
    }
    if (node_id > APPL_NODE_UNKNOWN)
        return ZIP_ERR_NODE_ID;
    appl_node_ip_t ent;
    {
        plt_lock lk(ctx->tbl_mtx);
        ent = ctx->node_ip[node_id - 1];
    }
    // An address of the other family cannot leave through this socket.
    if (!ent.valid || ent.len != (ctx->ipv4 ? 4 : 16))
        return ZIP_ERR_NO_ADDR;
    sa_fill(ctx, dst, ent.addr);
    return 0;
}

// Whether an answer's source may speak for the node: the node's own address
// or the gateway's, as the frame layer accepts for its pending frame.
bool src_speaks_for(appl_layer_ctx *ctx, uint8_t node_id, const tpt_sockaddr_t *src)
{
    uint8_t len, glen;
    const uint8_t *a = sa_addr(ctx, src, &len);
    const uint8_t *g = gw_addr(ctx, &glen);
    if (std::memcmp(a, g, len) == 0)
        return true;
    if (node_id < 1 || node_id > APPL_NODE_UNKNOWN)
        return false;
    plt_lock lk(ctx->tbl_mtx);
    const appl_node_ip_t &ent = ctx->node_ip[node_id - 1];
    return ent.valid && ent.len == len && std::memcmp(ent.addr, a, len) == 0;
}

// --- the gate --------------------------------------------------------------

// Takes the gate: a guard holding the layer mutex once the gate is ours, or
// an empty guard when it stayed closed.
plt_lock appl_wait_idle(appl_layer_ctx *ctx)
{
    plt_lock lk(ctx->mtx);
    const uint16_t wait_ms = static_cast<uint16_t>(plt_tick_scale_ms(APPL_GATE_WAIT_MS));
    while ((ctx->cb_wait || ctx->sts_wait) && ctx->running.load()) {
        int r = plt_cond_timedwait(ctx->cond, ctx->mtx, wait_ms);
        if (r != 0) {
            if (r == 1)
                plt_msg_show(ctx->plt_ctx, "Cond wait timeout");
            break;
        }
    }
    if (ctx->cb_wait || ctx->sts_wait)
        return {};
    return lk;
}

void stored_clear(appl_layer_ctx *ctx)
{
    ctx->stored_cb = nullptr;
    ctx->stored_user = nullptr;
    ctx->stored_valid = 0;
}

// --- reply-wait expiry -----------------------------------------------------

void wait_tmout(appl_layer_ctx *ctx, bool nm)
{
    appl_snd_cb_fn cb = nullptr;
    void *user = nullptr;
    uint8_t node_id, seq;
    bool pending;
    {
        plt_lock lk(ctx->mtx);
        // A stale expiry (the wait ended, or the next command re-armed the
        // timer) must not end the next command.
        if (!plt_tmr_cb_current(ctx->plt_ctx))
            return;
        ctx->wait_tmr = 0;
        plt_msg_show(ctx->plt_ctx, nm ? "appl_nm_sts_tmout_cb: timeout" : "appl_cb_tmout_cb: timeout");
        if (nm)
            ctx->sts_wait = 0;
        else
            ctx->cb_wait = 0;
        pending = ctx->stored_valid != 0;
        cb = pending ? ctx->stored_cb : nullptr;
        user = ctx->stored_user;
        node_id = ctx->stored_node;
        seq = ctx->stored_seq;
        stored_clear(ctx);
        ctx->stored_node = stored_node_none;
        plt_cond_signal(ctx->cond);
    }
    // Only a command still without a transmit result holds its number; a
    // completed one gave it back already, and it may belong to another by now.
    if (pending)
        appl_seq_free(ctx, seq);
    if (node_id != stored_node_none)
        appl_node_sts_set(ctx, node_id, APPL_NODE_STS_DOWN, 1);
    if (cb != nullptr)
        cb(ctx, ZIP_ERR_REPLY_TIMEOUT, user, node_id);
}

void appl_cb_tmout_cb(void *data) { wait_tmout(static_cast<appl_layer_ctx *>(data), false); }
void appl_nm_sts_tmout_cb(void *data) { wait_tmout(static_cast<appl_layer_ctx *>(data), true); }

// --- transmit results from the session layer ------------------------------

// Result of a command sent with a completion callback.
void appl_snd_done_cb(ssn_layer_ctx *ssn, uint8_t code, void *user, uint8_t node_id, uint8_t seq,
                      const tpt_sockaddr_t *)
{
    appl_layer_ctx *ctx = appl_of(ssn);
    if (ctx == nullptr || ctx->mtx == nullptr)
        return;
    const int status = static_cast<int8_t>(code);
    const bool sel = ctx->sel_opt.load() != 0;
    appl_snd_cb_fn cb = nullptr;
    bool mine = false;
    {
        plt_lock lk(ctx->mtx);
        // A result that arrives after its command ended (reply-wait expiry,
        // stop) finds no stored command and must not end the next one.
        if (ctx->stored_valid && ctx->stored_seq == seq && ctx->stored_node == node_id &&
            ctx->stored_user == user) {
            mine = true;
            cb = ctx->stored_cb;
            stored_clear(ctx);
            if (ctx->cb_wait) {
                ctx->cb_wait = 0;
                plt_tmr_stop(ctx->plt_ctx, ctx->wait_tmr);
                ctx->wait_tmr = 0;
                plt_cond_signal(ctx->cond);
            }
        }
    }
    if (!mine)
        return;
    // A NACK waiting under the selector option: the gateway holds the command
    // and will acknowledge it under this number when the node wakes.
    if (!(status == ZIP_ERR_NACK_WAIT && sel))
        appl_seq_free(ctx, seq);
    if (cb == nullptr)
        return;
    cmpl_queue(ctx, cb, status, user, node_id);
    if (!ctx->running.load())
        return;
    if (status == 0)
        appl_node_sts_set(ctx, node_id, APPL_NODE_STS_ALIVE, 1);
    else if (status == ZIP_ERR_NACK || status == ZIP_ERR_NO_ACK || (status == ZIP_ERR_NACK_WAIT && sel))
        appl_node_sts_set(ctx, node_id, APPL_NODE_STS_DOWN, 1);
}

// Result that matched no pending command (the session's default callback):
// commands sent without a completion callback, and late answers such as the
// acknowledgement of a NOP that the gateway held for a sleeping node.
void appl_tx_sts_cb(ssn_layer_ctx *ssn, uint8_t code, void *, uint8_t, uint8_t seq, const tpt_sockaddr_t *src)
{
    appl_layer_ctx *ctx = appl_of(ssn);
    if (ctx == nullptr || !ctx->running.load())
        return;
    uint8_t node_id = appl_seq_node_get(ctx, seq);
    if (node_id != seq_node_free && src != nullptr && !src_speaks_for(ctx, node_id, src)) {
        // Anyone on the network can send an ACK with a guessed number; only
        // the node or the gateway may end that node's command.
        plt_msg_show(ctx->plt_ctx, "appl_tx_sts_cb: answer to seq %u from a foreign address ignored", seq);
        return;
    }
    if (code != SSN_STS_NACK_WAIT)
        appl_seq_free(ctx, seq);
    if (node_id == seq_node_free && src != nullptr) {
        uint8_t len;
        const uint8_t *a = sa_addr(ctx, src, &len);
        uint8_t found;
        if (appl_ip_to_node(ctx, a, len, &found)) {
            node_id = found;
            if (code != SSN_STS_NACK_WAIT)
                appl_seq_node_free(ctx, node_id);
        }
    }
    if (node_id == seq_node_free)
        return;
    appl_tx_sts_fn listener;
    void *data;
    {
        plt_lock lk(ctx->mtx);
        listener = ctx->tx_sts_listener;
        data = ctx->tx_sts_listener_data;
    }
    if (listener != nullptr)
        listener(ctx, code, data, node_id);
}

void appl_release(appl_layer_ctx *ctx)
{
    if (ctx->cmpl_mtx != nullptr)
        util_lst_flush(ctx->cmpl_mtx, &ctx->cmpl_q);
    plt_sem_destroy(ctx->cmpl_sem);
    plt_mtx_destroy(ctx->cmpl_mtx);
    plt_cond_destroy(ctx->cond);
    plt_mtx_destroy(ctx->tbl_mtx);
    plt_mtx_destroy(ctx->seq_mtx);
    plt_mtx_destroy(ctx->mtx);
    ctx->cmpl_sem = nullptr;
    ctx->cmpl_mtx = nullptr;
    ctx->cond = nullptr;
    ctx->tbl_mtx = ctx->seq_mtx = ctx->mtx = nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Life
// ---------------------------------------------------------------------------

int appl_init(appl_layer_ctx *ctx, const appl_init_param_t *prm)
{
    if (ctx == nullptr || prm == nullptr || prm->gw_addr == nullptr || ctx->plt_ctx == nullptr)
        return 4;
    if (prm->psk_len > sizeof ctx->ssn.frm.tpt.psk || (prm->psk_len != 0 && prm->psk == nullptr))
        return 1;

    // Own resources first: the layers below may deliver as soon as they run.
    ctx->mtx = ctx->seq_mtx = ctx->tbl_mtx = ctx->cmpl_mtx = nullptr;
    ctx->cond = nullptr;
    ctx->cmpl_sem = nullptr;
    ctx->cmpl_q = nullptr;
    if (!plt_mtx_init(&ctx->mtx) || !plt_mtx_init(&ctx->seq_mtx) ||
        !plt_mtx_init(&ctx->tbl_mtx) || !plt_cond_init(&ctx->cond) || !plt_mtx_init(&ctx->cmpl_mtx) ||
        !plt_sem_init(&ctx->cmpl_sem)) {
        appl_release(ctx);
        return 4;
    }

    ctx->sel_opt.store(prm->option);
    ctx->cb_wait = ctx->sts_wait = 0;
    stored_clear(ctx);
    ctx->stored_node = stored_node_none;
    ctx->wait_tmr = 0;
    if (ctx->reply_wait_ms < APPL_REPLY_WAIT_MS)
        ctx->reply_wait_ms = APPL_REPLY_WAIT_MS;
    for (appl_seq_ent_t &e : ctx->seq_tbl)
        e = {0, seq_node_free, 0};
    ctx->seq_cursor = static_cast<uint8_t>(plt_rand() & 0xFF);
    ctx->ip_hit = {};
    ctx->ipv4 = prm->ipv4 ? 1 : 0;

    // The session context starts from nothing on every init.
    std::destroy_at(&ctx->ssn);
    std::construct_at(&ctx->ssn);
    tpt_layer_ctx &tpt = ctx->ssn.frm.tpt;
    tpt.host_port = prm->host_port;
    tpt.ipv4 = ctx->ipv4;
    std::memcpy(tpt.peer_addr, prm->gw_addr, ctx->ipv4 ? 4 : 16);
    if (prm->psk_len != 0)
        std::memcpy(tpt.psk, prm->psk, prm->psk_len);
    tpt.psk_len = prm->psk_len;
    // A key means DTLS to the gateway and the nodes.
    tpt.backend = prm->psk_len != 0 ? &dtls_tpt_backend : &tpt_udp_backend;
    ctx->ssn.rx_cb = appl_rx_cb;
    ctx->ssn.upper_ctx = ctx;
    ctx->ssn.plt_ctx = ctx->plt_ctx;

    int rc = ssn_init(&ctx->ssn);
    if (rc != 0) {
        appl_release(ctx);
        return rc;
    }
    ctx->cb_thrd_run.store(1);
    if (plt_thrd_create_joinable(appl_cb_thrd, ctx, &ctx->cb_thrd) != 0) {
        ctx->cb_thrd_run.store(0);
        ctx->cb_thrd = nullptr;
        ssn_exit(&ctx->ssn);
        appl_release(ctx);
        return 4;
    }
    ctx->running.store(1);
    ssn_cb_set(&ctx->ssn, appl_tx_sts_cb, ctx);
    return 0;
}

void appl_stop(appl_layer_ctx *ctx)
{
    if (ctx == nullptr || ctx->mtx == nullptr)
        return;
    ctx->running.store(0);
    appl_snd_cb_fn cb = nullptr;
    void *user = nullptr;
    uint8_t node_id = 0, seq = 0;
    bool pending;
    {
        plt_lock lk(ctx->mtx);
        ctx->cb_wait = 0;
        ctx->sts_wait = 0;
        plt_tmr_stop(ctx->plt_ctx, ctx->wait_tmr);
        ctx->wait_tmr = 0;
        // The command holding the gate completes now: its transmit result
        // may never come, and its sender must not wait for ever.
        pending = ctx->stored_valid != 0;
        if (pending) {
            cb = ctx->stored_cb;
            user = ctx->stored_user;
            node_id = ctx->stored_node;
            seq = ctx->stored_seq;
        }
        stored_clear(ctx);
        ctx->stored_node = stored_node_none;
        plt_cond_broadcast(ctx->cond);
    }
    if (pending) {
        appl_seq_free(ctx, seq);
        cmpl_queue(ctx, cb, ZIP_ERR_NOT_RUNNING, user, node_id);
    }
}

void appl_shutdown(appl_layer_ctx *ctx)
{
    if (ctx == nullptr || ctx->mtx == nullptr)
        return;
    appl_stop(ctx);
    // Senders woken from the gate leave with ZIP_ERR_NOT_RUNNING; wait until
    // none is still inside before the layers below go away.
    while (ctx->active_snd.load() != 0) {
        {
            plt_lock lk(ctx->mtx);
            plt_cond_broadcast(ctx->cond);
        }
        plt_sleep(5);
    }
    ssn_exit(&ctx->ssn);
    {
        plt_lock lk(ctx->mtx);
        plt_tmr_stop(ctx->plt_ctx, ctx->wait_tmr);
        ctx->wait_tmr = 0;
    }
    // An expiry already on its way may still call a completion and touch
    // the locks; it must be over before they are destroyed.
    plt_tmr_cb_wait(ctx->plt_ctx, ctx);
    if (ctx->cb_thrd != nullptr) {
        ctx->cb_thrd_run.store(0);
        plt_sem_post(ctx->cmpl_sem);
        plt_thrd_join(ctx->cb_thrd);
        ctx->cb_thrd = nullptr;
    }
    cmpl_drain(ctx);
    {
        plt_lock lk(ctx->mtx);
        ctx->tx_sts_listener = nullptr;
    }
    appl_release(ctx);
}

// ---------------------------------------------------------------------------
// Sending
// ---------------------------------------------------------------------------

int appl_cmd_snd(appl_layer_ctx *ctx, const appl_snd_param_t *prm, appl_snd_cb_fn cb, void *user)
{
    return appl_cmd_snd_ex(ctx, prm, cb, user, nullptr, 0);
}

int appl_cmd_snd_ex(appl_layer_ctx *ctx, const appl_snd_param_t *prm, appl_snd_cb_fn cb, void *user,
                    const tpt_sockaddr_t *dst_override, int sts_wait)
{
    if (ctx == nullptr)
        return ZIP_ERR_NOT_RUNNING;
    appl_active active(ctx);
    if (!ctx->running.load())
        return ZIP_ERR_NOT_RUNNING;
    if (prm == nullptr || (prm->len != 0 && prm->data == nullptr))
        return ZIP_ERR_SEND;

    // Checked before the gate: a sender with a bad node id must not wait.
    tpt_sockaddr_t dst;
    if (dst_override != nullptr) {
        dst = *dst_override;
    } else {
        int rc = node_dst(ctx, prm->node_id, &dst);
        if (rc != 0)
            return rc;
    }

    // With a callback the layer mutex is held from here on: the gate is ours.
    plt_lock gate;
    if (cb != nullptr) {
        gate = appl_wait_idle(ctx);
        if (!gate)
            return ZIP_ERR_APPL_BUSY;
    }
    if (cb != nullptr && !ctx->running.load())
        return ZIP_ERR_NOT_RUNNING;

    const uint8_t selector = ctx->sel_opt.load() ? prm->selector : 0;
    const uint8_t seq = appl_seq_alloc(ctx, prm->node_id, selector);
    if (cb != nullptr) {
        ctx->stored_cb = cb;
        ctx->stored_user = user;
        ctx->stored_node = prm->node_id;
        ctx->stored_seq = seq;
        ctx->stored_valid = 1;
    }

    zip_ssn_req_t req{};
    req.dst = &dst;
    req.src_ep = prm->src_ep;
    req.dst_ep = prm->dst_ep;
    req.bit_addr = prm->bit_addr;
    req.data = prm->data;
    req.len = prm->len;
    req.flags = prm->flags;
    req.encap_fmt = prm->encap_fmt;
    req.cb = cb != nullptr ? appl_snd_done_cb : nullptr;
    req.user = user;
    req.node_id = prm->node_id;
    req.seq = seq;
    req.reply_ssn = selector;
    int rc = ssn_cmd_snd(&ctx->ssn, &req);
    if (rc != 0) {
        plt_msg_show(ctx->plt_ctx, "ssn_cmd_snd with error:%d\n", rc);
        appl_seq_free(ctx, seq);
        if (cb != nullptr)
            stored_clear(ctx);
        return rc;
    }
    if (cb == nullptr)
        return 0;

    if (sts_wait)
        ctx->sts_wait = 1;
    else
        ctx->cb_wait = 1;
    ctx->wait_tmr = plt_tmr_start(ctx->plt_ctx, ctx->reply_wait_ms, sts_wait ? appl_nm_sts_tmout_cb : appl_cb_tmout_cb,
                                  ctx);
    if (ctx->wait_tmr == 0) {
        plt_msg_show(ctx->plt_ctx, "Error: appl callback timer not working");
        // The caller takes -109 as final and frees what its callback would
        // use, so the callback must never run now; and without a timer
        // nothing would bound the gate.
        stored_clear(ctx);
        ctx->stored_node = stored_node_none;
        ctx->cb_wait = ctx->sts_wait = 0;
        appl_seq_free(ctx, seq);
        plt_cond_signal(ctx->cond);
        return ZIP_ERR_SEND;
    }
    return 0;
}

void appl_nm_sts_wait_clr(appl_layer_ctx *ctx)
{
    if (ctx == nullptr || ctx->mtx == nullptr)
        return;
    plt_lock lk(ctx->mtx);
    if (!ctx->sts_wait)
        return;
    ctx->sts_wait = 0;
    plt_tmr_stop(ctx->plt_ctx, ctx->wait_tmr);
    ctx->wait_tmr = 0;
    plt_cond_signal(ctx->cond);
}

void appl_tx_sts_listener_set(appl_layer_ctx *ctx, appl_tx_sts_fn listener, void *data)
{
    if (ctx == nullptr)
        return;
    if (ctx->mtx == nullptr) {
        ctx->tx_sts_listener = listener;
        ctx->tx_sts_listener_data = data;
        return;
    }
    plt_lock lk(ctx->mtx);
    ctx->tx_sts_listener = listener;
    ctx->tx_sts_listener_data = data;
}

void zip_send_cb(appl_layer_ctx *ctx, int status, void *, uint8_t node_id)
{
    if (status != 0 && ctx != nullptr)
        plt_msg_show(ctx->plt_ctx, "zip_send_cb error:%d, node id:%u", status, node_id);
}

void appl_rx_filter_set(appl_layer_ctx *ctx, appl_rx_filter_fn fn, void *data)
{
    if (ctx == nullptr)
        return;
    plt_lock lk(ctx->mtx);
    ctx->rx_filter = fn != nullptr ? appl_rx_filter_t{fn, data} : appl_rx_filter_t{};
}

void *appl_rx_filter_data(appl_layer_ctx *ctx, appl_rx_filter_fn fn)
{
    if (ctx == nullptr || fn == nullptr)
        return nullptr;
    plt_lock lk(ctx->mtx);
    return ctx->rx_filter.fn == fn ? ctx->rx_filter.data : nullptr;
}

void appl_rx_cb(ssn_layer_ctx *ssn, const tpt_sockaddr_t *src, const zip_rx_hdr_t *hdr, const uint8_t *data,
                uint16_t length, uint16_t hdr_flags, uint16_t encap_fmt)
{
    appl_layer_ctx *ctx = ssn != nullptr ? appl_of(ssn) : nullptr;
    if (ctx == nullptr || !ctx->running.load() || data == nullptr || length < 2)
        return;
    appl_rx_filter_t filter;
    appl_rx_fn rx;
    {
        plt_lock lk(ctx->mtx);
        filter = ctx->rx_filter;
        rx = ctx->rx_cb;
    }
    if (filter.fn != nullptr && filter.fn(ctx, filter.data, src, hdr, data, length, hdr_flags, encap_fmt))
        return;
    if (rx != nullptr)
        rx(ctx, src, hdr, data, length, hdr_flags, encap_fmt);
}

// ---------------------------------------------------------------------------
// Node tables
// ---------------------------------------------------------------------------

void appl_node_sts_set(appl_layer_ctx *ctx, uint8_t node_id, uint8_t status, int notify)
{
    if (ctx == nullptr || ctx->tbl_mtx == nullptr || !ctx->running.load())
        return;
    if (status != APPL_NODE_STS_ALIVE && status != APPL_NODE_STS_DOWN && status != APPL_NODE_STS_SLEEP &&
        status != APPL_NODE_STS_FORCE_DOWN)
        return;
    struct change {
        uint8_t node_id, status;
        bool notify;
    } changes[2];
    int n = 0;
    {
        plt_lock lk(ctx->tbl_mtx);
        const uint8_t own = ctx->own_node_id;
        const uint8_t id = node_id == 0 ? own : node_id;
        if (id < 1 || id > APPL_NODE_MAX)
            return;
        const uint8_t eff = status == APPL_NODE_STS_FORCE_DOWN ? static_cast<uint8_t>(APPL_NODE_STS_DOWN) : status;
        // A sleeping node that does not answer is asleep, not gone; only a
        // forced "down" marks it so.
        if (eff != ctx->node_sts[id] && !(status == APPL_NODE_STS_DOWN && ctx->sleeping[id])) {
            ctx->node_sts[id] = eff;
            changes[n++] = {id, eff, notify != 0};
        }
        // A node that answers proves that our own node works.
        if (id != own && eff == APPL_NODE_STS_ALIVE && own >= 1 && own <= APPL_NODE_MAX &&
            ctx->node_sts[own] == APPL_NODE_STS_DOWN) {
            ctx->node_sts[own] = APPL_NODE_STS_ALIVE;
            changes[n++] = {own, APPL_NODE_STS_ALIVE, true};
        }
    }
    if (n == 0)
        return;
    appl_node_sts_fn cb;
    {
        plt_lock lk(ctx->mtx);
        cb = ctx->node_sts_cb;
    }
    for (int i = 0; i < n; ++i)
        if (changes[i].notify && cb != nullptr)
            cb(ctx, changes[i].node_id, changes[i].status);
}

uint8_t appl_node_sts_get(appl_layer_ctx *ctx, uint8_t node_id)
{
    if (ctx == nullptr || ctx->tbl_mtx == nullptr || node_id == 0 || node_id > APPL_NODE_MAX)
        return APPL_NODE_STS_DOWN;
    plt_lock lk(ctx->tbl_mtx);
    return ctx->node_sts[node_id];
}

void appl_node_sts_clr(appl_layer_ctx *ctx)
{
    if (ctx == nullptr || ctx->tbl_mtx == nullptr)
        return;
    plt_lock lk(ctx->tbl_mtx);
    std::memset(ctx->node_sts, 0, sizeof ctx->node_sts);
    std::memset(ctx->sleeping, 0, sizeof ctx->sleeping);
}

void appl_node_sts_copy(appl_layer_ctx *ctx, uint8_t *buf)
{
    if (ctx == nullptr || ctx->tbl_mtx == nullptr || buf == nullptr)
        return;
    plt_lock lk(ctx->tbl_mtx);
    std::memcpy(buf, ctx->node_sts, sizeof ctx->node_sts);
}

void appl_node_sleep_flag_set(appl_layer_ctx *ctx, uint8_t node_id, uint8_t flag)
{
    if (ctx == nullptr || ctx->tbl_mtx == nullptr || node_id < 1 || node_id > APPL_NODE_MAX)
        return;
    plt_lock lk(ctx->tbl_mtx);
    ctx->sleeping[node_id] = flag;
}

int appl_node_ip_set(appl_layer_ctx *ctx, const uint8_t *addr, uint8_t len, uint8_t node_id)
{
    // Only whole IPv4 or IPv6 addresses: a shorter entry would be compared
    // over too few bytes and match addresses that are not the node's.
    if (ctx == nullptr || ctx->tbl_mtx == nullptr || addr == nullptr || (len != 4 && len != 16) || node_id < 1 ||
        node_id > APPL_NODE_UNKNOWN)
        return 0;
    plt_lock lk(ctx->tbl_mtx);
    appl_node_ip_t &ent = ctx->node_ip[node_id - 1];
    ent.valid = 1;
    ent.len = len;
    std::memset(ent.addr, 0, sizeof ent.addr);
    std::memcpy(ent.addr, addr, len);
    // The cached look-up may name an address that has just moved.
    ctx->ip_hit = {};
    return 1;
}

int appl_node_ip_rm(appl_layer_ctx *ctx, uint8_t node_id)
{
    if (ctx == nullptr || ctx->tbl_mtx == nullptr || node_id < 1 || node_id > APPL_NODE_MAX)
        return 0;
    plt_lock lk(ctx->tbl_mtx);
    ctx->node_ip[node_id - 1].valid = 0;
    if (ctx->ip_hit.valid == node_id)
        ctx->ip_hit = {};
    return 1;
}

int appl_ip_to_node(appl_layer_ctx *ctx, const uint8_t *addr, uint8_t len, uint8_t *node_id)
{
    if (ctx == nullptr || ctx->tbl_mtx == nullptr || addr == nullptr || node_id == nullptr || (len != 4 && len != 16))
        return 0;
    plt_lock lk(ctx->tbl_mtx);
    if (ctx->ip_hit.valid != 0 && ctx->ip_hit.len == len && std::memcmp(ctx->ip_hit.addr, addr, len) == 0) {
        *node_id = ctx->ip_hit.valid;
        return 1;
    }
    for (uint8_t n = 1; n <= APPL_NODE_MAX; ++n) {
        const appl_node_ip_t &ent = ctx->node_ip[n - 1];
        if (ent.valid && ent.len == len && std::memcmp(ent.addr, addr, len) == 0) {
            ctx->ip_hit.valid = n;
            ctx->ip_hit.len = len;
            std::memcpy(ctx->ip_hit.addr, addr, len);
            *node_id = n;
            return 1;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Sequence numbers
// ---------------------------------------------------------------------------

uint8_t appl_seq_alloc(appl_layer_ctx *ctx, uint8_t node_id, uint8_t selector)
{
    if (ctx == nullptr || ctx->seq_mtx == nullptr)
        return 0;
    plt_lock lk(ctx->seq_mtx);
    if (selector != 0) {
        // A node's earlier held command is superseded by this one.
        for (appl_seq_ent_t &e : ctx->seq_tbl)
            if (e.in_use && e.node_id == node_id && e.selector != 0)
                e = {0, seq_node_free, 0};
    }
    for (int pass = 0; pass < 2; ++pass) {
        uint8_t s = ctx->seq_cursor;
        for (int i = 0; i < 256; ++i, ++s) {
            appl_seq_ent_t &e = ctx->seq_tbl[s];
            // First pass: a free slot; second: one not held for a sleeping node.
            if (pass == 0 ? e.in_use == 0 : e.selector == 0) {
                e = {1, node_id, selector};
                ctx->seq_cursor = static_cast<uint8_t>(s + 1);
                return s;
            }
        }
    }
    return ctx->seq_cursor;
}

void appl_seq_free(appl_layer_ctx *ctx, uint8_t seq)
{
    if (ctx == nullptr || ctx->seq_mtx == nullptr)
        return;
    plt_lock lk(ctx->seq_mtx);
    ctx->seq_tbl[seq] = {0, seq_node_free, 0};
}

void appl_seq_node_free(appl_layer_ctx *ctx, uint8_t node_id)
{
    if (ctx == nullptr || ctx->seq_mtx == nullptr)
        return;
    plt_lock lk(ctx->seq_mtx);
    for (appl_seq_ent_t &e : ctx->seq_tbl)
        if (node_id == 255 || (e.in_use && e.node_id == node_id))
            e = {0, seq_node_free, 0};
}

uint8_t appl_seq_node_get(appl_layer_ctx *ctx, uint8_t seq)
{
    if (ctx == nullptr || ctx->seq_mtx == nullptr)
        return seq_node_free;
    plt_lock lk(ctx->seq_mtx);
    const appl_seq_ent_t &e = ctx->seq_tbl[seq];
    return e.in_use ? e.node_id : seq_node_free;
}

void appl_addr_show(plt_tmr_ctx *plt_ctx, const void *addr, size_t len)
{
    if (addr == nullptr)
        return;
    char host[NI_MAXHOST];
    char port[NI_MAXSERV];
    if (getnameinfo(static_cast<const sockaddr *>(addr), static_cast<socklen_t>(len), host, sizeof host, port,
                    sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return;
    plt_msg_show(plt_ctx, "addr:%s, port:%s\n", host, port);
}
