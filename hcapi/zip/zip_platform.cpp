#include "hcapi/zip/zip_platform.h"

#include "hcapi/zip/zip_error.h"
#include "hcapi/zip/zip_tick.h"

#include <pthread.h>
#include <semaphore.h>
#include <sys/prctl.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <list>
#include <mutex>
#include <new>
#include <thread>

namespace {

constexpr unsigned default_tick_ms = 100;

// One arming of a timer. One-shot records move from the pending list to the
// in-flight list when they expire and leave it when their callback returns,
// so plt_tmr_stop can still mark them and exit can wait for them.
struct tmr_rec {
    uint32_t expiry = 0;
    uint32_t reload = 0;  // ticks; 0 for a one-shot timer
    plt_tmr_fn cb = nullptr;
    void *data = nullptr;
    uint16_t id = 0;
    uint32_t gen = 0;
    bool stale = false;
    plt_tmr_svc *svc = nullptr;
};

// The record whose callback runs on this thread, for plt_tmr_cb_current.
thread_local tmr_rec *tl_rec = nullptr;

std::mutex g_init_mtx;  // reference counts of all contexts
std::atomic<unsigned> g_tick_ms_set{0};

unsigned tick_ms_resolve()
{
    unsigned set = g_tick_ms_set.load();
    if (set >= 1 && set <= default_tick_ms)
        return set;
    if (const char *env = std::getenv("ZW_TICK_MS")) {
        char *end = nullptr;
        errno = 0;
        unsigned long v = std::strtoul(env, &end, 10);
        if (errno == 0 && end != env && *end == '\0' && v >= 1 && v <= default_tick_ms)
            return static_cast<unsigned>(v);
    }
    return default_tick_ms;
}

}  // namespace

struct plt_tmr_svc {
    plt_tmr_ctx *ctx = nullptr;
    unsigned tick_ms = default_tick_ms;

    std::mutex mtx;                    // everything below
    std::condition_variable tick_cv;   // a tick happened, or stop
    std::condition_variable stop_cv;   // wakes the tick thread at stop
    std::condition_variable idle_cv;   // a dispatched callback returned
    uint32_t tick = 0;
    uint32_t seen = 0;  // last tick the timer thread served
    uint16_t oneshot_id = 0;
    uint16_t periodic_id = 0;
    uint32_t gen = 0;
    std::list<tmr_rec> pending;   // in insertion order
    std::list<tmr_rec> inflight;  // one-shots whose callbacks were dispatched
    tmr_rec periodic_now;         // the periodic arming being called, if any
    bool periodic_active = false;
    bool tick_run = true;
    bool tmr_run = true;
    bool orphan = false;  // exit ran inside a one-shot callback: the last one frees the service

    std::thread tick_thr;
    std::thread tmr_thr;

    void tick_loop();
    void timer_loop();
    void launch(tmr_rec *rec);
    void run_oneshot(tmr_rec *rec);
    size_t busy_count(void *data) const;
};

namespace {

void *oneshot_main(void *arg)
{
    auto *rec = static_cast<tmr_rec *>(arg);
    rec->svc->run_oneshot(rec);
    return nullptr;
}

}  // namespace

void plt_tmr_svc::tick_loop()
{
    const auto period = std::chrono::milliseconds(tick_ms);
    auto next = std::chrono::steady_clock::now() + period;
    std::unique_lock lk(mtx);
    while (tick_run) {
        if (stop_cv.wait_until(lk, next, [this] { return !tick_run; }))
            break;
        ++tick;
        tick_cv.notify_one();
        next += period;
        // After a long stall (a suspended board) restart the schedule rather
        // than firing a burst of ticks.
        auto now = std::chrono::steady_clock::now();
        if (now > next + 10 * period)
            next = now + period;
    }
}

void plt_tmr_svc::timer_loop()
{
    std::unique_lock lk(mtx);
    for (;;) {
        tick_cv.wait(lk, [this] { return !tmr_run || seen != tick; });
        if (!tmr_run)
            break;
        seen = tick;
        // Serve every record that is due; after each callback the list may
        // have changed, so the walk starts again from the head.
        bool served = true;
        while (served && tmr_run) {
            served = false;
            for (auto it = pending.begin(); it != pending.end(); ++it) {
                if (!util_tmr_exp_chk32(tick, it->expiry))
                    continue;
                served = true;
                if (it->reload != 0) {
                    it->expiry = tick + it->reload;
                    periodic_now = *it;
                    periodic_now.stale = false;
                    periodic_active = true;
                    lk.unlock();
                    tl_rec = &periodic_now;
                    periodic_now.cb(periodic_now.data);
                    tl_rec = nullptr;
                    lk.lock();
                    periodic_active = false;
                    idle_cv.notify_all();
                } else {
                    inflight.splice(inflight.end(), pending, it);
                    tmr_rec *rec = &inflight.back();
                    lk.unlock();
                    launch(rec);
                    lk.lock();
                }
                break;
            }
        }
    }
}

// Each one-shot callback gets a thread of its own, so that it may block on
// locks held by whoever stops timers. If no thread can be made the callback
// still runs, here: a lost expiry would leave its owner waiting for ever.
void plt_tmr_svc::launch(tmr_rec *rec)
{
    pthread_attr_t attr;
    bool started = false;
    if (pthread_attr_init(&attr) == 0) {
        pthread_t tid;
        if (pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) == 0)
            started = pthread_create(&tid, &attr, oneshot_main, rec) == 0;
        pthread_attr_destroy(&attr);
    }
    if (!started)
        run_oneshot(rec);
}

void plt_tmr_svc::run_oneshot(tmr_rec *rec)
{
    bool skip;
    {
        std::lock_guard lk(mtx);
        skip = rec->stale;
    }
    if (!skip) {
        tmr_rec *prev = tl_rec;
        tl_rec = rec;
        rec->cb(rec->data);
        tl_rec = prev;
    }
    bool last;
    {
        std::lock_guard lk(mtx);
        inflight.remove_if([rec](const tmr_rec &r) { return &r == rec; });
        idle_cv.notify_all();
        last = orphan && inflight.empty();
    }
    // Unless this was the callback that ran exit, nothing of the service may
    // be touched from here on: exit may free it.
    if (last)
        delete this;
}

size_t plt_tmr_svc::busy_count(void *data) const
{
    size_t n = 0;
    for (const auto &r : inflight)
        if (&r != tl_rec && (data == nullptr || r.data == data))
            ++n;
    if (periodic_active && &periodic_now != tl_rec && (data == nullptr || periodic_now.data == data))
        ++n;
    return n;
}

// ---------------------------------------------------------------------------
// Timer service
// ---------------------------------------------------------------------------

void plt_tick_ms_set(unsigned ms) { g_tick_ms_set.store(ms <= default_tick_ms ? ms : 0); }

unsigned plt_tick_ms_get() { return tick_ms_resolve(); }

uint32_t plt_tick_scale_ms(uint32_t ms)
{
    if (ms == 0)
        return 0;
    uint64_t scaled = static_cast<uint64_t>(ms) * tick_ms_resolve() / default_tick_ms;
    return scaled == 0 ? 1 : static_cast<uint32_t>(scaled);
}

int plt_init(plt_tmr_ctx *ctx, plt_print_fn print)
{
    if (ctx == nullptr)
        return ZIP_ERR_RESOURCE;
    std::lock_guard g(g_init_mtx);
    if (ctx->ref_cnt >= 1) {
        ++ctx->ref_cnt;
        return 0;
    }
    auto *svc = new (std::nothrow) plt_tmr_svc;
    if (svc == nullptr)
        return ZIP_ERR_RESOURCE;
    svc->ctx = ctx;
    svc->tick_ms = tick_ms_resolve();
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    try {
        svc->tick_thr = std::thread([svc] { svc->tick_loop(); });
    } catch (...) {
        delete svc;
        return ZIP_ERR_RESOURCE;
    }
    try {
        svc->tmr_thr = std::thread([svc] { svc->timer_loop(); });
    } catch (...) {
        {
            std::lock_guard lk(svc->mtx);
            svc->tick_run = false;
        }
        svc->stop_cv.notify_all();
        svc->tick_thr.join();
        delete svc;
        return ZIP_ERR_RESOURCE;
    }
    ctx->print.store(print);
    ctx->svc.store(svc);
    ctx->ref_cnt = 1;
    return 0;
}

void plt_exit(plt_tmr_ctx *ctx)
{
    if (ctx == nullptr)
        return;
    plt_tmr_svc *svc;
    {
        std::lock_guard g(g_init_mtx);
        if (ctx->ref_cnt > 1) {
            --ctx->ref_cnt;
            return;
        }
        ctx->ref_cnt = 0;
        // From here on plt_tmr_cb_current tells every callback still running
        // that it is stale, and no new timer can be started.
        svc = ctx->svc.exchange(nullptr);
    }
    if (svc == nullptr)
        return;
    if (std::this_thread::get_id() == svc->tmr_thr.get_id()) {
        // Joining ourselves is impossible; leave the service to itself
        // rather than free it under its own feet.
        plt_msg_show(ctx, "plt_exit: called on the timer thread, timer service not freed");
        std::lock_guard lk(svc->mtx);
        svc->tick_run = svc->tmr_run = false;
        svc->stop_cv.notify_all();
        return;
    }
    {
        std::lock_guard lk(svc->mtx);
        svc->tick_run = false;
        svc->tmr_run = false;
    }
    svc->stop_cv.notify_all();
    svc->tick_cv.notify_all();
    svc->tick_thr.join();
    svc->tmr_thr.join();
    bool inside = tl_rec != nullptr && tl_rec->svc == svc;
    {
        std::unique_lock lk(svc->mtx);
        while (svc->busy_count(nullptr) != 0) {
            if (!svc->idle_cv.wait_for(lk, std::chrono::seconds(5), [svc] { return svc->busy_count(nullptr) == 0; }))
                plt_msg_show(ctx, "plt_exit: waiting for %zu timer callbacks", svc->busy_count(nullptr));
        }
        // Called from a one-shot callback: that callback frees the service
        // once it has returned.
        svc->orphan = inside;
    }
    if (!inside)
        delete svc;
    ctx->print.store(nullptr);
}

uint32_t plt_ms_to_ticks(uint32_t ms) { return ms / 100 + (ms % 100 != 0 ? 1 : 0); }

namespace {

uint16_t tmr_start_real(plt_tmr_ctx *ctx, uint32_t ms, plt_tmr_fn cb, void *data, int periodic);

std::atomic<plt_tmr_start_fn> g_tmr_start{tmr_start_real};

uint16_t tmr_start_real(plt_tmr_ctx *ctx, uint32_t ms, plt_tmr_fn cb, void *data, int periodic)
{
    if (ctx == nullptr || cb == nullptr)
        return 0;
    plt_tmr_svc *svc = ctx->svc.load();
    if (svc == nullptr)
        return 0;
    uint32_t ticks = plt_ms_to_ticks(ms);
    // A periodic timer of 0 ticks would be taken for a one-shot (reload 0)
    // or would spin the timer thread.
    if (periodic && ticks == 0)
        ticks = 1;
    std::lock_guard lk(svc->mtx);
    tmr_rec rec;
    rec.expiry = svc->tick + ticks;
    rec.reload = periodic ? ticks : 0;
    rec.cb = cb;
    rec.data = data;
    rec.svc = svc;
    if (++svc->gen == 0)
        ++svc->gen;
    rec.gen = svc->gen;
    if (periodic) {
        ++svc->periodic_id;
        rec.id = static_cast<uint16_t>(svc->periodic_id | 0x8000);
    } else {
        svc->oneshot_id = static_cast<uint16_t>((svc->oneshot_id + 1) & 0x7FFF);
        if (svc->oneshot_id == 0)
            svc->oneshot_id = 1;
        rec.id = svc->oneshot_id;
    }
    try {
        svc->pending.push_back(rec);
    } catch (...) {
        return 0;
    }
    return rec.id;
}

}  // namespace

plt_tmr_start_fn plt_tmr_start_seam_set(plt_tmr_start_fn fn)
{
    return g_tmr_start.exchange(fn != nullptr ? fn : tmr_start_real);
}

uint16_t plt_tmr_start_ex(plt_tmr_ctx *ctx, uint32_t ms, plt_tmr_fn cb, void *data, int periodic)
{
    return g_tmr_start.load()(ctx, ms, cb, data, periodic);
}

uint16_t plt_tmr_start(plt_tmr_ctx *ctx, uint32_t ms, plt_tmr_fn cb, void *data)
{
    return plt_tmr_start_ex(ctx, ms, cb, data, 0);
}

uint16_t plt_periodic_start(plt_tmr_ctx *ctx, uint32_t ms, plt_tmr_fn cb, void *data)
{
    return plt_tmr_start_ex(ctx, ms, cb, data, 1);
}

int plt_tmr_stop(plt_tmr_ctx *ctx, uint16_t id)
{
    if (ctx == nullptr || id == 0)
        return 0;
    plt_tmr_svc *svc = ctx->svc.load();
    if (svc == nullptr)
        return 0;
    std::lock_guard lk(svc->mtx);
    int found = 0;
    for (auto it = svc->pending.begin(); it != svc->pending.end(); ++it) {
        if (it->id == id) {
            svc->pending.erase(it);
            found = 1;
            break;
        }
    }
    for (auto &r : svc->inflight)
        if (r.id == id)
            r.stale = true;
    if (svc->periodic_active && svc->periodic_now.id == id)
        svc->periodic_now.stale = true;
    return found;
}

int plt_tmr_cb_current(plt_tmr_ctx *ctx)
{
    tmr_rec *rec = tl_rec;
    if (ctx == nullptr || rec == nullptr)
        return 0;
    plt_tmr_svc *svc = ctx->svc.load();
    if (svc == nullptr || rec->svc != svc)
        return 0;
    std::lock_guard lk(svc->mtx);
    return rec->stale ? 0 : 1;
}

void plt_tmr_cb_wait(plt_tmr_ctx *ctx, void *data)
{
    if (ctx == nullptr)
        return;
    plt_tmr_svc *svc = ctx->svc.load();
    if (svc == nullptr)
        return;
    std::unique_lock lk(svc->mtx);
    while (svc->busy_count(data) != 0) {
        if (!svc->idle_cv.wait_for(lk, std::chrono::seconds(5), [svc, data] { return svc->busy_count(data) == 0; }))
            plt_msg_show(ctx, "plt_tmr_cb_wait: waiting for %zu timer callbacks", svc->busy_count(data));
    }
}

uint32_t plt_tmr_tick_get(plt_tmr_ctx *ctx)
{
    if (ctx == nullptr)
        return 0;
    plt_tmr_svc *svc = ctx->svc.load();
    if (svc == nullptr)
        return 0;
    std::lock_guard lk(svc->mtx);
    return svc->tick;
}

// ---------------------------------------------------------------------------
// Locks
// ---------------------------------------------------------------------------

struct plt_mtx_s {
    pthread_mutex_t m;
};
struct plt_sem_s {
    sem_t s;
};
struct plt_cond_s {
    pthread_cond_t c;
};

int plt_mtx_init(plt_mtx_t *mtx)
{
    if (mtx == nullptr)
        return 0;
    auto *h = new (std::nothrow) plt_mtx_s;
    if (h == nullptr)
        return 0;
    pthread_mutexattr_t attr;
    bool ok = pthread_mutexattr_init(&attr) == 0;
    if (ok) {
        ok = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 && pthread_mutex_init(&h->m, &attr) == 0;
        pthread_mutexattr_destroy(&attr);
    }
    if (!ok) {
        delete h;
        return 0;
    }
    *mtx = h;
    return 1;
}

int plt_mtx_lck(plt_mtx_t mtx) { return mtx ? pthread_mutex_lock(&mtx->m) : EINVAL; }
int plt_mtx_ulck(plt_mtx_t mtx) { return mtx ? pthread_mutex_unlock(&mtx->m) : EINVAL; }
int plt_mtx_trylock(plt_mtx_t mtx) { return mtx ? pthread_mutex_trylock(&mtx->m) : EINVAL; }

void plt_mtx_destroy(plt_mtx_t mtx)
{
    if (mtx == nullptr)
        return;
    pthread_mutex_destroy(&mtx->m);
    delete mtx;
}

int plt_sem_init(plt_sem_t *sem)
{
    if (sem == nullptr)
        return 0;
    auto *h = new (std::nothrow) plt_sem_s;
    if (h == nullptr)
        return 0;
    if (sem_init(&h->s, 0, 0) != 0) {
        delete h;
        return 0;
    }
    *sem = h;
    return 1;
}

int plt_sem_wait(plt_sem_t sem)
{
    if (sem == nullptr)
        return -1;
    int r;
    while ((r = sem_wait(&sem->s)) != 0 && errno == EINTR) {
    }
    return r;
}

int plt_sem_post(plt_sem_t sem) { return sem ? sem_post(&sem->s) : -1; }

void plt_sem_destroy(plt_sem_t sem)
{
    if (sem == nullptr)
        return;
    sem_destroy(&sem->s);
    delete sem;
}

int plt_cond_init(plt_cond_t *cond)
{
    if (cond == nullptr)
        return 0;
    auto *h = new (std::nothrow) plt_cond_s;
    if (h == nullptr)
        return 0;
    // Waits are measured on the monotonic clock: a board without a real-time
    // clock steps its wall clock when NTP first answers.
    pthread_condattr_t attr;
    bool ok = pthread_condattr_init(&attr) == 0;
    if (ok) {
        ok = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0 && pthread_cond_init(&h->c, &attr) == 0;
        pthread_condattr_destroy(&attr);
    }
    if (!ok) {
        delete h;
        return 0;
    }
    *cond = h;
    return 1;
}

int plt_cond_timedwait(plt_cond_t cond, plt_mtx_t mtx, uint16_t ms)
{
    if (cond == nullptr || mtx == nullptr)
        return 2;
    timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0)
        return 2;
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_nsec -= 1000000000L;
        ++ts.tv_sec;
    }
    int r = pthread_cond_timedwait(&cond->c, &mtx->m, &ts);
    if (r == 0)
        return 0;
    return r == ETIMEDOUT ? 1 : 2;
}

int plt_cond_broadcast(plt_cond_t cond) { return cond ? pthread_cond_broadcast(&cond->c) : EINVAL; }
int plt_cond_signal(plt_cond_t cond) { return cond ? pthread_cond_signal(&cond->c) : EINVAL; }

void plt_cond_destroy(plt_cond_t cond)
{
    if (cond == nullptr)
        return;
    pthread_cond_destroy(&cond->c);
    delete cond;
}

// ---------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------

struct plt_thrd_s {
    pthread_t tid;
};

namespace {

struct thrd_start {
    plt_thrd_fn fn;
    void *data;
};

// Not noexcept: cancellation of a joinable thread unwinds through here.
void *thrd_main(void *arg)
{
    auto *start = static_cast<thrd_start *>(arg);
    plt_thrd_fn fn = start->fn;
    void *data = start->data;
    delete start;
    fn(data);
    return nullptr;
}

int thrd_spawn(plt_thrd_fn fn, void *data, bool detached, pthread_t *tid)
{
    if (fn == nullptr)
        return -2;
    auto *start = new (std::nothrow) thrd_start{fn, data};
    if (start == nullptr)
        return -1;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        delete start;
        return -2;
    }
    int r = pthread_attr_setdetachstate(&attr, detached ? PTHREAD_CREATE_DETACHED : PTHREAD_CREATE_JOINABLE);
    if (r == 0)
        r = pthread_create(tid, &attr, thrd_main, start);
    pthread_attr_destroy(&attr);
    if (r != 0) {
        delete start;
        return -2;
    }
    return 0;
}

}  // namespace

int plt_thrd_create(plt_thrd_fn fn, void *data)
{
    pthread_t tid;
    return thrd_spawn(fn, data, true, &tid);
}

int plt_thrd_create_joinable(plt_thrd_fn fn, void *data, plt_thrd_t *thrd)
{
    if (thrd == nullptr)
        return -2;
    auto *h = new (std::nothrow) plt_thrd_s;
    if (h == nullptr)
        return -1;
    int r = thrd_spawn(fn, data, false, &h->tid);
    if (r != 0) {
        delete h;
        return r;
    }
    *thrd = h;
    return 0;
}

int plt_thrd_join(plt_thrd_t thrd)
{
    if (thrd == nullptr)
        return -1;
    void *ret = nullptr;
    int r = pthread_join(thrd->tid, &ret);
    delete thrd;
    if (r != 0)
        return -1;
    return ret == PTHREAD_CANCELED ? 1 : 0;
}

int plt_thrd_cancel(plt_thrd_t thrd)
{
    if (thrd == nullptr)
        return -1;
    return pthread_cancel(thrd->tid) == 0 ? 0 : -1;
}

int plt_thrd_name_set(const char *name)
{
    if (name == nullptr)
        return -1;
    char buf[16] = {};
    std::strncpy(buf, name, sizeof buf - 1);
    return prctl(PR_SET_NAME, buf, 0, 0, 0) == 0 ? 0 : -1;
}

int plt_thrd_name_get(char *buf, size_t size)
{
    if (buf == nullptr || size == 0)
        return -1;
    char name[17] = {};
    if (prctl(PR_GET_NAME, name, 0, 0, 0) != 0)
        return -1;
    std::snprintf(buf, size, "%s", name);
    return 0;
}

int plt_sleep(uint32_t ms)
{
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
        if (errno != EINTR)
            return -1;
    }
    return 0;
}

int16_t plt_rand() { return static_cast<int16_t>(std::rand()); }

// ---------------------------------------------------------------------------
// Printing
// ---------------------------------------------------------------------------

namespace {

constexpr size_t line_size = 256;

void emit(plt_print_fn print, char *buf)
{
    size_t n = std::strlen(buf);
    buf[n] = '\n';
    buf[n + 1] = '\0';
    print(buf);
}

}  // namespace

void plt_msg_show(plt_tmr_ctx *ctx, const char *format, ...)
{
    plt_print_fn print = ctx ? ctx->print.load() : nullptr;
    if (print == nullptr || format == nullptr)
        return;
    char buf[line_size] = {};
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, line_size - 1, format, ap);  // 254 characters leave room for the line feed
    va_end(ap);
    emit(print, buf);
}

void plt_msg_ts_show(plt_tmr_ctx *ctx, const char *format, ...)
{
    plt_print_fn print = ctx ? ctx->print.load() : nullptr;
    if (print == nullptr || format == nullptr)
        return;
    char buf[line_size] = {};
    time_t now = std::time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    int prefix = std::snprintf(buf, line_size, "%02d:%02d:%02d -- ", local.tm_hour, local.tm_min, local.tm_sec);
    if (prefix < 0 || prefix >= 253)
        prefix = 0;
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf + prefix, static_cast<size_t>(253 - prefix), format, ap);
    va_end(ap);
    emit(print, buf);
}

void plt_bin_show(plt_tmr_ctx *ctx, const void *bytes, size_t length)
{
    if (bytes == nullptr || ctx == nullptr || ctx->print.load() == nullptr)
        return;
    const auto *p = static_cast<const uint8_t *>(bytes);
    for (size_t off = 0; off < length; off += 10) {
        char line[32] = {};
        size_t n = 0;
        for (size_t i = off; i < length && i < off + 10; ++i)
            n += static_cast<size_t>(std::snprintf(line + n, sizeof line - n, "%02X ", p[i]));
        plt_msg_show(ctx, "%s", line);
    }
}
