// What the facilities of hcapi/fac share among themselves: a facility's own
// state behind the framework record, fixed-size messages, tick deadlines and
// the result post to the callback thread. Not for other modules.
#pragma once

#include "hcapi/core/zwfac.h"
#include "hcapi/core/zwrec.h"
#include "hcapi/zip/zip_tick.h"

#include <cstdint>
#include <cstring>
#include <list>
#include <new>
#include <type_traits>

// A facility keeps its state in an object of its own, made by its init and
// freed by its exit, that the framework hands to the handler as its data.
// The calls of the facility reach it through the record; the record's run
// flag says whether it may still be posted to.
template <class S>
S *fac_state(zwfac_ctx_t *ctx)
{
    return ctx != nullptr ? static_cast<S *>(ctx->hdlr_data) : nullptr;
}

inline bool fac_msg_is_tick(const uint8_t *msg, uint8_t len) { return len == 1 && msg[0] == ZWFAC_MSG_TICK; }

inline uint32_t fac_msg_kind(const uint8_t *msg, uint8_t len)
{
    uint32_t kind = 0xFFFFFFFF;
    if (msg != nullptr && len >= sizeof kind)
        std::memcpy(&kind, msg, sizeof kind);
    return kind;
}

// The facility's tick now.
inline uint32_t fac_now(const zwfac_ctx_t *ctx) { return ctx->tick.load(); }

// The worker's one handler for every facility: the framework's tick goes to
// S::on_tick(now), any other message to S::on_msg(kind, bytes, length, now).
// `now` is read as the message is taken, before the facility's own work.
template <class S>
void fac_hdlr(void *data, const uint8_t *msg, uint8_t len)
{
    auto *s = static_cast<S *>(data);
    const uint32_t now = fac_now(s->ctx);
    if (fac_msg_is_tick(msg, len))
        s->on_tick(now);
    else
        s->on_msg(fac_msg_kind(msg, len), msg, len, now);
}

// Makes the state and starts the facility with fac_hdlr<S>: 0, -12, or -34
// with nothing left made.
template <class S>
int fac_state_start(zwfac_ctx_t *ctx, uint32_t period_ms, uint32_t tick0)
{
    if (ctx == nullptr || ctx->net == nullptr)
        return ZW_ERR_VALUE;
    auto *s = new (std::nothrow) S;
    if (s == nullptr)
        return ZW_ERR_MEMORY;
    s->ctx = ctx;
    s->net = ctx->net;
    const int rc = zwfac_start(ctx, &ctx->net->plt, period_ms, tick0, fac_hdlr<S>, s);
    if (rc != 0) {
        ctx->hdlr_data = nullptr;
        delete s;
    }
    return rc;
}

// Stops the facility (if it runs) and frees its state, pending entries and
// all, without telling anyone.
template <class S>
void fac_state_exit(zwfac_ctx_t *ctx)
{
    if (ctx == nullptr)
        return;
    zwfac_release(ctx);
    delete fac_state<S>(ctx);
    ctx->hdlr_data = nullptr;
}

// Messages are plain records copied whole; the first member of every one but
// the framework's one-byte tick is its kind (u32).
template <class M>
int fac_msg_post(zwfac_ctx_t *ctx, const M &msg)
{
    static_assert(std::is_trivially_copyable_v<M>, "messages are copied bytes");
    static_assert(sizeof(M) <= 254, "a message fits the worker's queue");
    if (ctx == nullptr || !ctx->run.load())
        return ZW_ERR_NET_NOT_RUNNING;
    const int rc = zwfac_post(ctx, &msg, static_cast<uint8_t>(sizeof msg));
    return rc == 0 ? 0 : ZW_ERR_MEMORY;
}

template <class M>
bool fac_msg_get(const uint8_t *msg, uint8_t len, M *out)
{
    if (msg == nullptr || len != sizeof(M))
        return false;
    std::memcpy(out, msg, sizeof(M));
    return true;
}

// Callback message type 9: (descriptor, result, user data) to the
// application on the network's callback thread. Nothing without a callback.
void fac_result_post(const zwif_desc_t *intf, zwfac_result_fn cb, uint64_t user, uint32_t result);

// Whether two descriptors name the same interface of the same node.
inline bool fac_same_if(const zwif_desc_t &a, const zwif_desc_t &b)
{
    return a.nodeid == b.nodeid && a.epid == b.epid && a.cls == b.cls;
}

// Requests whose callers each hear exactly one result (callback type 9): a
// request ends with its result, makes way for a newer one on the same
// interface, or is cancelled with its node or with all the others. The list
// belongs to the facility's worker, which hands it the messages: S (the
// facility, derived from this) takes S::on_req(Req, now) for a request and
// S::on_rpt(Rpt, now) for a report; R has the caller's `cb`, `user` and the
// interface `intf`.
inline constexpr uint32_t FAC_RES_CANCELLED = 3;
enum : uint32_t { FAC_MSG_REQ = 1, FAC_MSG_RPT = 2, FAC_MSG_NODE_CANCEL = 3, FAC_MSG_FLUSH = 4 };

struct fac_node_msg_t {
    uint32_t kind;
    uint8_t node_id;
};

template <class S, class R, class Req, class Rpt>
struct fac_req_list {
    using iter = typename std::list<R>::iterator;
    std::list<R> list;

    iter find(const zwif_desc_t &intf)
    {
        for (auto it = list.begin(); it != list.end(); ++it)
            if (fac_same_if(it->intf, intf))
                return it;
        return list.end();
    }

    void end(iter it, uint32_t result)
    {
        fac_result_post(&it->intf, it->cb, it->user, result);
        list.erase(it);
    }

    // A newer request takes the place of this one: its caller hears so
    // rather than nothing.
    void superseded(const R &r) { fac_result_post(&r.intf, r.cb, r.user, FAC_RES_CANCELLED); }

    void cancel_if(bool all, uint8_t node_id)
    {
        for (auto it = list.begin(); it != list.end();) {
            auto cur = it++;
            if (all || cur->intf.nodeid == node_id)
                end(cur, FAC_RES_CANCELLED);
        }
    }

    void on_msg(uint32_t kind, const uint8_t *msg, uint8_t len, uint32_t now)
    {
        auto *s = static_cast<S *>(this);
        Req req;
        Rpt rpt;
        fac_node_msg_t node;
        switch (kind) {
        case FAC_MSG_REQ:
            if (fac_msg_get(msg, len, &req))
                s->on_req(req, now);
            break;
        case FAC_MSG_RPT:
            if (fac_msg_get(msg, len, &rpt))
                s->on_rpt(rpt, now);
            break;
        case FAC_MSG_NODE_CANCEL:
            if (fac_msg_get(msg, len, &node))
                cancel_if(false, node.node_id);
            break;
        case FAC_MSG_FLUSH: cancel_if(true, 0); break;
        default: break;
        }
    }
};

// A request message from the caller's arguments: the command (at least
// `min` bytes, at most what Req holds) and the caller's callback. 0, or the
// error that the call returns.
template <class Req>
int fac_req_fill(Req *m, const zwif_desc_t *intf, const uint8_t *cmd, uint8_t len, uint8_t min, zwfac_result_fn cb,
                 uint64_t user)
{
    if (len > sizeof m->cmd)
        return ZW_ERR_TOO_LARGE;
    if (len < min)
        return ZW_ERR_TOO_SMALL;
    if (intf == nullptr || intf->net == nullptr || cmd == nullptr)
        return ZW_ERR_VALUE;
    m->kind = FAC_MSG_REQ;
    m->intf = *intf;
    m->len = len;
    std::memcpy(m->cmd, cmd, len);
    m->cb = cb;
    m->user = user;
    return 0;
}

inline int fac_req_node_cancel(zwfac_ctx_t *ctx, uint8_t node_id)
{
    return fac_msg_post(ctx, fac_node_msg_t{FAC_MSG_NODE_CANCEL, node_id});
}
inline void fac_req_flush(zwfac_ctx_t *ctx) { fac_msg_post(ctx, fac_node_msg_t{FAC_MSG_FLUSH, 0}); }
