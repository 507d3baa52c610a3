// What the facilities of hcapi/fac share among themselves: a facility's own
// state behind the framework record, fixed-size messages, tick deadlines and
// the result post to the callback thread. Not for other modules.
#pragma once

#include "hcapi/core/zwfac.h"
#include "hcapi/core/zwrec.h"
#include "hcapi/zip/zip_tick.h"

#include <cstdint>
#include <cstring>
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

// Makes the state and starts the facility with S::hdlr: 0, -12, or -34 with
// nothing left made.
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
    const int rc = zwfac_start(ctx, &ctx->net->plt, period_ms, tick0, S::hdlr, s);
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

// Callback message type 9: (descriptor, result, user data) to the
// application on the network's callback thread. Nothing without a callback.
void fac_result_post(const zwif_desc_t *intf, zwfac_result_fn cb, uint64_t user, uint32_t result);

// Whether two descriptors name the same interface of the same node.
inline bool fac_same_if(const zwif_desc_t &a, const zwif_desc_t &b)
{
    return a.nodeid == b.nodeid && a.epid == b.epid && a.cls == b.cls;
}
