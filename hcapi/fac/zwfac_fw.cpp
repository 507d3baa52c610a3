// The shape every background facility shares: a worker fed by a message
// queue, a periodic tick, and a run flag that drops what arrives once the
// facility stops. Each facility (zwfac_<name>.cpp) starts it with its own
// tick and handler.
#include "hcapi/core/zwfac.h"

#include "hcapi/core/zwrec.h"
#include "hcapi/zip/zip_msg_loop.h"
#include "hcapi/zip/zip_platform.h"

#include <cstring>

namespace {

// The queue carries the length in front of the message, since the loop hands
// the worker the bytes alone.
constexpr uint8_t max_msg = 254;

int fac_worker(void *data, void *msg)
{
    auto *ctx = static_cast<zwfac_ctx_t *>(data);
    const auto *bytes = static_cast<const uint8_t *>(msg);
    // A message queued before the stop began is not acted on after it.
    if (ctx->run.load() && ctx->hdlr != nullptr)
        ctx->hdlr(ctx->hdlr_data, bytes + 1, bytes[0]);
    return 0;
}

void fac_tick(void *data)
{
    auto *ctx = static_cast<zwfac_ctx_t *>(data);
    std::lock_guard<std::mutex> lk(ctx->mtx);
    if (!plt_tmr_cb_current(ctx->plt) || !ctx->run.load() || ctx->loop == nullptr)
        return;
    ctx->tick.fetch_add(1);
    const uint8_t msg[2] = {1, ZWFAC_MSG_TICK};
    util_msg_loop_send(ctx->loop, msg, sizeof msg);
}

}  // namespace

int zwfac_start(zwfac_ctx_t *ctx, plt_tmr_ctx *plt, uint32_t period_ms, uint32_t tick0, zwfac_hdlr_fn hdlr,
                void *hdlr_data)
{
    if (ctx == nullptr || plt == nullptr)
        return ZW_ERR_VALUE;
    ctx->plt = plt;
    ctx->hdlr = hdlr;
    ctx->hdlr_data = hdlr_data;
    ctx->tick = tick0;
    ctx->run = 1;
    util_msg_loop_t *loop = nullptr;
    if (util_msg_loop_init(fac_worker, ctx, nullptr, 0, &loop) != 0) {
        ctx->run = 0;
        return ZW_ERR_NO_RES;
    }
    std::lock_guard<std::mutex> lk(ctx->mtx);
    ctx->loop = loop;
    ctx->tmr_id = plt_periodic_start(plt, period_ms, fac_tick, ctx);
    if (ctx->tmr_id == 0) {
        ctx->run = 0;
        ctx->loop = nullptr;
        util_msg_loop_shutdown(loop, 0);
        util_msg_loop_exit(loop);
        return ZW_ERR_NO_RES;
    }
    return 0;
}

int zwfac_post(zwfac_ctx_t *ctx, const void *msg, uint8_t len)
{
    if (ctx == nullptr || msg == nullptr || len == 0 || len > max_msg)
        return ZW_ERR_VALUE;
    uint8_t buf[max_msg + 1];
    buf[0] = len;
    std::memcpy(buf + 1, msg, len);
    std::lock_guard<std::mutex> lk(ctx->mtx);
    if (!ctx->run.load() || ctx->loop == nullptr)
        return ZW_ERR_NET_NOT_RUNNING;
    const int rc = util_msg_loop_send(ctx->loop, buf, static_cast<uint8_t>(len + 1));
    if (rc == 0)
        return 0;
    return rc == ZIP_ERR_LOOP_STOPPED ? ZW_ERR_NET_NOT_RUNNING : ZW_ERR_MEMORY;
}

void zwfac_stop(zwfac_ctx_t *ctx)
{
    if (ctx == nullptr)
        return;
    util_msg_loop_t *loop;
    {
        std::lock_guard<std::mutex> lk(ctx->mtx);
        ctx->run = 0;
        if (ctx->tmr_id != 0)
            plt_tmr_stop(ctx->plt, ctx->tmr_id);
        ctx->tmr_id = 0;
        loop = ctx->loop;
    }
    if (ctx->plt != nullptr)
        plt_tmr_cb_wait(ctx->plt, ctx);
    if (loop != nullptr)
        util_msg_loop_shutdown(loop, 0);
}

void zwfac_release(zwfac_ctx_t *ctx)
{
    if (ctx == nullptr)
        return;
    zwfac_stop(ctx);
    util_msg_loop_t *loop;
    {
        std::lock_guard<std::mutex> lk(ctx->mtx);
        loop = ctx->loop;
        ctx->loop = nullptr;
    }
    if (loop != nullptr)
        util_msg_loop_exit(loop);
}
