// What happens when the system refuses to make threads. This binary puts its
// own pthread_create in front of the C library's, which fails on request.
#include "hcapi/zip/zip_error.h"
#include "hcapi/zip/zip_msg_loop.h"
#include "hcapi/zip/zip_platform.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace {
std::atomic<bool> g_refuse_threads{false};
}

extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg)
{
    using create_fn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static create_fn next = reinterpret_cast<create_fn>(dlsym(RTLD_NEXT, "pthread_create"));
    if (g_refuse_threads.load())
        return EAGAIN;
    return next(thread, attr, start, arg);
}

namespace {

using namespace std::chrono_literals;

struct refuse_threads {
    refuse_threads() { g_refuse_threads = true; }
    ~refuse_threads() { g_refuse_threads = false; }
};

// A one-shot expiry is never dropped: without a thread of its own it runs on
// the timer thread, where the periodic callbacks run.
TEST(PltFault, OneShotRunsOnTheTimerThreadWhenNoThreadCanBeMade)
{
    plt_tick_ms_set(5);
    plt_tmr_ctx ctx;
    ASSERT_EQ(0, plt_init(&ctx, nullptr));
    struct seen {
        std::atomic<std::thread::id> periodic{};
        std::atomic<std::thread::id> oneshot{};
        std::atomic<bool> fired{false};
        plt_tmr_ctx *ctx;
        int current = -1;
    } s;
    s.ctx = &ctx;
    uint16_t per = plt_periodic_start(&ctx, 100, [](void *d) {
        static_cast<seen *>(d)->periodic = std::this_thread::get_id();
    }, &s);
    ASSERT_NE(0, per);
    auto end = std::chrono::steady_clock::now() + 5s;
    while (s.periodic.load() == std::thread::id{} && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(1ms);
    {
        refuse_threads no;
        ASSERT_NE(0, plt_tmr_start(&ctx, 0, [](void *d) {
            auto *s = static_cast<seen *>(d);
            s->oneshot = std::this_thread::get_id();
            s->current = plt_tmr_cb_current(s->ctx);
            s->fired = true;
        }, &s));
        while (!s.fired.load() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(s.fired.load());
    EXPECT_EQ(s.periodic.load(), s.oneshot.load());
    EXPECT_EQ(1, s.current);
    plt_tmr_stop(&ctx, per);
    plt_exit(&ctx);
    plt_tick_ms_set(0);
}

TEST(PltFault, CreatorsReportThatNoThreadWasMade)
{
    plt_tmr_ctx ctx;
    util_msg_loop_t *loop = nullptr;
    plt_thrd_t t = nullptr;
    refuse_threads no;
    EXPECT_EQ(ZIP_ERR_RESOURCE, plt_init(&ctx, nullptr));
    EXPECT_EQ(nullptr, ctx.svc.load());
    EXPECT_EQ(0, ctx.ref_cnt);
    EXPECT_EQ(-2, plt_thrd_create([](void *) {}, nullptr));
    EXPECT_EQ(-2, plt_thrd_create_joinable([](void *) {}, nullptr, &t));
    EXPECT_EQ(ZIP_ERR_RESOURCE, util_msg_loop_init([](void *, void *) { return 0; }, nullptr, nullptr, 0, &loop));
    EXPECT_EQ(nullptr, loop);
    util_tick_cnt_t *c = nullptr;
    EXPECT_EQ(ZIP_ERR_RESOURCE, util_tick_cnt_start(10, &c));
}

}  // namespace
