// Timer service: tick arithmetic, periodic timers, ids, stale expiries and
// exit with callbacks still running. Most tests shorten the tick through the
// tick-length seam; a few run at the real 100 ms tick.
#include "hcapi/zip/zip_error.h"
#include "hcapi/zip/zip_platform.h"
#include "tests/hcapi/zip/zip_log_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

using zip_test::log_clear;
using zip_test::log_lines;
constexpr plt_print_fn capture = zip_test::capture_line;

// Waits (bounded) until the predicate holds.
template <class Pred> bool eventually(Pred pred, std::chrono::milliseconds limit = 5000ms)
{
    auto end = steady::now() + limit;
    while (!pred()) {
        if (steady::now() > end)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class TimerTest : public ::testing::Test {
protected:
    void start(unsigned tick_ms)
    {
        plt_tick_ms_set(tick_ms);
        ASSERT_EQ(0, plt_init(&ctx, capture));
        running = true;
    }
    void TearDown() override
    {
        if (running)
            plt_exit(&ctx);
        plt_tick_ms_set(0);
    }
    plt_tmr_ctx ctx;
    bool running = false;
};

TEST(TimerTicks, MillisecondsRoundUpToTicks)
{
    struct {
        uint32_t ms, ticks;
    } cases[] = {{0, 0}, {1, 1}, {99, 1}, {100, 1}, {101, 2}, {2500, 25}, {5100, 51}, {26000, 260},
                 {0xFFFFFFFFu, 42949673}};
    for (auto c : cases)
        EXPECT_EQ(c.ticks, plt_ms_to_ticks(c.ms)) << c.ms << " ms";
}

// 0 ms is due at once and so is served on the next tick, like 1 and 100 ms;
// 101 ms on the tick after.
TEST_F(TimerTest, ZeroOneHundredAndHundredOneMsFireOnTicksOneOneOneTwo)
{
    start(50);
    struct shot {
        plt_tmr_ctx *ctx;
        std::atomic<uint32_t> tick{0};
        std::atomic<bool> fired{false};
    };
    const uint32_t ms[] = {0, 1, 100, 101};
    const uint32_t want[] = {1, 1, 1, 2};
    bool measured = false;
    for (int attempt = 0; attempt < 5 && !measured; ++attempt) {
        shot shots[4];
        // Arm early in a tick, once the timer thread has served it, so that
        // no tick falls between the four starts.
        uint32_t t0 = plt_tmr_tick_get(&ctx);
        ASSERT_TRUE(eventually([&] { return plt_tmr_tick_get(&ctx) != t0; }));
        std::this_thread::sleep_for(10ms);
        t0 = plt_tmr_tick_get(&ctx);
        for (int i = 0; i < 4; ++i) {
            shots[i].ctx = &ctx;
            ASSERT_NE(0, plt_tmr_start(&ctx, ms[i], [](void *d) {
                auto *s = static_cast<shot *>(d);
                s->tick = plt_tmr_tick_get(s->ctx);
                s->fired = true;
            }, &shots[i]));
        }
        bool same_tick = plt_tmr_tick_get(&ctx) == t0;
        ASSERT_TRUE(eventually([&] {
            for (auto &s : shots)
                if (!s.fired)
                    return false;
            return true;
        }));
        if (!same_tick)
            continue;
        // A callback reads the tick count when its thread gets to run, which
        // under load may be many ticks after its dispatch: never before its
        // tick, and within a generous bound after it.
        for (int i = 0; i < 4; ++i) {
            EXPECT_GE(shots[i].tick - t0, want[i]) << ms[i] << " ms";
            EXPECT_LE(shots[i].tick - t0, want[i] + 40) << ms[i] << " ms";
        }
        measured = true;
    }
    EXPECT_TRUE(measured);
}

// At the real tick: the default is 100 ms, and a 250 ms timer (3 ticks) takes
// at least two ticks (it may be armed late in a tick).
TEST_F(TimerTest, RealTickLengthAndTimeOut)
{
    unsetenv("ZW_TICK_MS");
    start(0);
    EXPECT_EQ(100u, plt_tick_ms_get());
    std::atomic<bool> fired{false};
    auto t0 = steady::now();
    ASSERT_NE(0, plt_tmr_start(&ctx, 250, [](void *d) { static_cast<std::atomic<bool> *>(d)->store(true); }, &fired));
    ASSERT_TRUE(eventually([&] { return fired.load(); }));
    auto took = steady::now() - t0;
    EXPECT_GE(took, 195ms);
    EXPECT_LE(took, 250ms + 4000ms);
}

TEST_F(TimerTest, RealTickPeriodicRunsOnTheTimerThread)
{
    unsetenv("ZW_TICK_MS");
    start(0);
    struct per {
        plt_tmr_ctx *ctx;
        std::mutex m;
        std::vector<steady::time_point> at;
        std::set<std::thread::id> threads;
        int current = 0;
    } p;
    p.ctx = &ctx;
    uint16_t id = plt_periodic_start(&ctx, 200, [](void *d) {
        auto *p = static_cast<per *>(d);
        std::lock_guard lk(p->m);
        p->at.push_back(steady::now());
        p->threads.insert(std::this_thread::get_id());
        p->current += plt_tmr_cb_current(p->ctx);
    }, &p);
    ASSERT_NE(0, id);
    EXPECT_NE(0, id & 0x8000);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lk(p.m);
        return p.at.size() >= 4;
    }));
    EXPECT_EQ(1, plt_tmr_stop(&ctx, id));
    std::lock_guard lk(p.m);
    EXPECT_EQ(1u, p.threads.size());
    EXPECT_EQ(static_cast<int>(p.at.size()), p.current);
    // The callbacks may run late, but the schedule does not drift with them:
    // three periods never take less than three periods' ticks.
    auto period = (p.at[3] - p.at[0]) / 3;
    EXPECT_GE(period, 180ms);
    EXPECT_LE(period, 200ms + 1500ms);
}

TEST_F(TimerTest, PeriodicKeepsItsPeriodInTicks)
{
    start(10);
    struct per {
        plt_tmr_ctx *ctx;
        std::mutex m;
        std::vector<uint32_t> ticks;
    } p;
    p.ctx = &ctx;
    // 500 ms are 5 ticks, whatever a tick lasts.
    uint16_t id = plt_periodic_start(&ctx, 500, [](void *d) {
        auto *p = static_cast<per *>(d);
        std::lock_guard lk(p->m);
        p->ticks.push_back(plt_tmr_tick_get(p->ctx));
    }, &p);
    ASSERT_NE(0, id);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lk(p.m);
        return p.ticks.size() >= 11;
    }));
    plt_tmr_stop(&ctx, id);
    std::lock_guard lk(p.m);
    // A callback that reads the tick count late sees one tick more, which the
    // next interval gives back; over ten periods the timer keeps its pace.
    // Under load a callback may read its tick many ticks late; the lower
    // bounds are exact, the upper ones only catch a timer that lost its pace.
    for (size_t i = 1; i < 11; ++i) {
        uint32_t d = p.ticks[i] - p.ticks[i - 1];
        EXPECT_GE(d, 4u);
        EXPECT_LE(d, 5u + 100u);
    }
    EXPECT_GE(p.ticks[10] - p.ticks[0], 50u);
    EXPECT_LE(p.ticks[10] - p.ticks[0], 50u + 200u);
}

// A periodic timer of 0 ms still repeats (every tick) instead of acting once.
TEST_F(TimerTest, PeriodicOfZeroMsRepeatsEveryTick)
{
    start(5);
    std::atomic<int> calls{0};
    uint16_t id = plt_periodic_start(&ctx, 0, [](void *d) { ++*static_cast<std::atomic<int> *>(d); }, &calls);
    ASSERT_NE(0, id);
    EXPECT_TRUE(eventually([&] { return calls.load() >= 3; }));
    plt_tmr_stop(&ctx, id);
}

TEST_F(TimerTest, IdsWrapToOneAndPeriodicIdsKeepTheirBit)
{
    start(100);
    auto noop = [](void *) {};
    uint16_t prev = 0;
    for (uint32_t i = 1; i <= 0x7FFF; ++i) {
        uint16_t id = plt_tmr_start(&ctx, 100000, noop, nullptr);
        ASSERT_EQ(i, id);
        ASSERT_EQ(1, plt_tmr_stop(&ctx, id));
        prev = id;
    }
    EXPECT_EQ(0x7FFF, prev);
    uint16_t wrapped = plt_tmr_start(&ctx, 100000, noop, nullptr);
    EXPECT_EQ(1, wrapped);
    plt_tmr_stop(&ctx, wrapped);

    std::set<uint16_t> seen;
    for (uint32_t i = 0; i < 0x10001; ++i) {
        uint16_t id = plt_periodic_start(&ctx, 100000, noop, nullptr);
        ASSERT_NE(0, id & 0x8000) << i;
        seen.insert(id);
        ASSERT_EQ(1, plt_tmr_stop(&ctx, id));
    }
    EXPECT_EQ(0x8000u, seen.size());  // every periodic id, none without the bit
}

TEST_F(TimerTest, StopTellsPendingFromExpired)
{
    start(5);
    std::atomic<int> calls{0};
    auto count = [](void *d) { ++*static_cast<std::atomic<int> *>(d); };
    EXPECT_EQ(0, plt_tmr_stop(&ctx, 0));
    uint16_t pending = plt_tmr_start(&ctx, 1000, count, &calls);
    ASSERT_NE(0, pending);
    EXPECT_EQ(1, plt_tmr_stop(&ctx, pending));
    EXPECT_EQ(0, plt_tmr_stop(&ctx, pending));
    uint16_t expired = plt_tmr_start(&ctx, 0, count, &calls);
    ASSERT_TRUE(eventually([&] { return calls.load() == 1; }));
    std::this_thread::sleep_for(100ms);  // twenty ticks: the stopped timer would have fired
    EXPECT_EQ(1, calls.load());
    EXPECT_EQ(0, plt_tmr_stop(&ctx, expired));
    EXPECT_EQ(0, plt_tmr_stop(&ctx, 0x1234));
}

TEST_F(TimerTest, ReferenceCountKeepsTheServiceUntilTheLastExit)
{
    start(5);
    ASSERT_EQ(0, plt_init(&ctx, nullptr));  // second user; the first print callback stays
    plt_exit(&ctx);
    std::atomic<int> calls{0};
    ASSERT_NE(0, plt_tmr_start(&ctx, 10, [](void *d) { ++*static_cast<std::atomic<int> *>(d); }, &calls));
    EXPECT_TRUE(eventually([&] { return calls.load() == 1; }));
    log_clear();
    plt_msg_show(&ctx, "still here");
    plt_exit(&ctx);
    running = false;
    EXPECT_EQ(0, plt_tmr_start(&ctx, 10, [](void *) {}, nullptr));
    plt_msg_show(&ctx, "gone");  // the print callback went with the service
    const std::vector<std::string> lines = log_lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("still here\n", lines[0]);
}

// The owner of a timer, as every layer holds one: its lock, the timer id, and
// what the expiry did.
struct owner {
    plt_tmr_ctx *ctx = nullptr;
    plt_mtx_t lock = nullptr;
    uint16_t tmr = 0;
    int acted = 0;
    int stale = 0;
    std::atomic<int> entered{0};
    std::atomic<int> left{0};
    owner() { plt_mtx_init(&lock); }
    ~owner() { plt_mtx_destroy(lock); }
};

void owner_expiry(void *data)
{
    auto *o = static_cast<owner *>(data);
    ++o->entered;
    plt_mtx_lck(o->lock);
    if (!plt_tmr_cb_current(o->ctx)) {
        ++o->stale;
    } else {
        o->tmr = 0;
        ++o->acted;
    }
    plt_mtx_ulck(o->lock);
    ++o->left;
}

// The expiry is already dispatched (and waits for the owner's lock) when the
// owner stops or re-arms the timer: the stale expiry must do nothing, a
// re-armed timer must still act once.
TEST_F(TimerTest, StaleOneShotExpiryDoesNothing)
{
    start(5);
    for (bool rearm : {false, true}) {
        SCOPED_TRACE(rearm ? "re-armed" : "stopped");
        owner o;
        o.ctx = &ctx;
        plt_mtx_lck(o.lock);
        o.tmr = plt_tmr_start(&ctx, 0, owner_expiry, &o);
        ASSERT_NE(0, o.tmr);
        ASSERT_TRUE(eventually([&] { return o.entered.load() == 1; }));
        EXPECT_EQ(0, plt_tmr_stop(&ctx, o.tmr));  // expired: no longer pending
        o.tmr = rearm ? plt_tmr_start(&ctx, 20, owner_expiry, &o) : 0;
        plt_mtx_ulck(o.lock);
        int calls = rearm ? 2 : 1;
        ASSERT_TRUE(eventually([&] { return o.left.load() == calls; }));
        plt_tmr_cb_wait(&ctx, &o);
        EXPECT_EQ(1, o.stale);
        EXPECT_EQ(rearm ? 1 : 0, o.acted);
        EXPECT_EQ(0, o.tmr);
    }
}

// A periodic callback dispatched just before its timer is stopped sees that
// it is stale, and the timer does not come back.
TEST_F(TimerTest, StalePeriodicExpiryDoesNothing)
{
    start(5);
    owner o;
    o.ctx = &ctx;
    plt_mtx_lck(o.lock);
    o.tmr = plt_periodic_start(&ctx, 10, owner_expiry, &o);
    ASSERT_TRUE(eventually([&] { return o.entered.load() == 1; }));
    EXPECT_EQ(1, plt_tmr_stop(&ctx, o.tmr));  // still pending: periodic records stay
    o.tmr = 0;
    plt_mtx_ulck(o.lock);
    plt_tmr_cb_wait(&ctx, &o);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(1, o.entered.load());
    EXPECT_EQ(1, o.stale);
    EXPECT_EQ(0, o.acted);
}

TEST_F(TimerTest, CurrentIsFalseOutsideACallback)
{
    start(5);
    EXPECT_EQ(0, plt_tmr_cb_current(&ctx));
}

struct slow_cb {
    std::atomic<int> entered{0};
    std::atomic<int> done{0};
};

void slow_expiry(void *data)
{
    auto *s = static_cast<slow_cb *>(data);
    ++s->entered;
    std::this_thread::sleep_for(40ms);
    ++s->done;
}

TEST_F(TimerTest, CallbackWaitWaitsOnlyForItsData)
{
    start(5);
    slow_cb a, b;
    ASSERT_NE(0, plt_tmr_start(&ctx, 0, slow_expiry, &a));
    ASSERT_NE(0, plt_tmr_start(&ctx, 0, slow_expiry, &b));
    ASSERT_TRUE(eventually([&] { return a.entered.load() == 1 && b.entered.load() == 1; }));
    plt_tmr_cb_wait(&ctx, &a);
    EXPECT_EQ(1, a.done.load());
    plt_tmr_cb_wait(&ctx, nullptr);
    EXPECT_EQ(1, b.done.load());
}

// What the callbacks touch lives on the heap and is freed right after exit:
// ASan reports any callback that exit did not wait for.
struct exit_owner {
    plt_tmr_ctx *ctx = nullptr;
    std::atomic<int> entered{0};
    std::atomic<int> done{0};
    std::vector<std::atomic<int>> touched = std::vector<std::atomic<int>>(64);
};

void exit_expiry(void *data)
{
    auto *o = static_cast<exit_owner *>(data);
    int n = ++o->entered;
    std::this_thread::sleep_for(std::chrono::milliseconds(n % 7 * 3));
    o->touched[static_cast<size_t>(n) % o->touched.size()].store(n);
    plt_tmr_start(o->ctx, 0, exit_expiry, o);  // refused or dropped once exit runs
    plt_msg_show(o->ctx, "exit_expiry: %d", n);
    ++o->done;
}

TEST_F(TimerTest, ExitWaitsForCallbacksInFlight)
{
    for (int round = 0; round < 10; ++round) {
        plt_tick_ms_set(1);
        ASSERT_EQ(0, plt_init(&ctx, capture));
        auto *o = new exit_owner;
        o->ctx = &ctx;
        for (int i = 0; i < 8; ++i)
            ASSERT_NE(0, plt_tmr_start(&ctx, static_cast<uint32_t>(i), exit_expiry, o));
        ASSERT_NE(0, plt_periodic_start(&ctx, 1, exit_expiry, o));
        ASSERT_NE(0, plt_tmr_start(&ctx, 60000, exit_expiry, o));  // freed without a call
        ASSERT_TRUE(eventually([&] { return o->entered.load() >= 3; }));
        plt_exit(&ctx);
        EXPECT_EQ(o->entered.load(), o->done.load()) << "round " << round;
        EXPECT_EQ(nullptr, ctx.svc.load());
        delete o;
    }
    log_clear();
}

// Exit may even run inside a one-shot callback of the same service.
TEST_F(TimerTest, ExitFromInsideAOneShotCallback)
{
    start(2);
    struct self {
        plt_tmr_ctx *ctx;
        std::atomic<bool> done{false};
    } s{&ctx};
    ASSERT_NE(0, plt_tmr_start(&ctx, 0, [](void *d) {
        auto *s = static_cast<self *>(d);
        plt_exit(s->ctx);
        s->done = true;
    }, &s));
    ASSERT_TRUE(eventually([&] { return s.done.load(); }));
    running = false;
    EXPECT_EQ(0, plt_tmr_start(&ctx, 0, [](void *) {}, nullptr));
    std::this_thread::sleep_for(20ms);  // lets the callback's thread free the service
}

// The tick length is read when the service starts, from the setting or the
// environment; out-of-range values fall back to the real 100 ms.
TEST(TimerSeam, TickLengthSources)
{
    plt_tick_ms_set(0);
    struct {
        const char *env;
        unsigned want;
    } cases[] = {{nullptr, 100}, {"5", 5}, {"100", 100}, {"0", 100}, {"101", 100}, {"abc", 100}, {"7x", 100}};
    for (auto c : cases) {
        if (c.env)
            setenv("ZW_TICK_MS", c.env, 1);
        else
            unsetenv("ZW_TICK_MS");
        EXPECT_EQ(c.want, plt_tick_ms_get()) << (c.env ? c.env : "(unset)");
    }
    setenv("ZW_TICK_MS", "5", 1);
    plt_tick_ms_set(20);  // the call wins over the environment
    EXPECT_EQ(20u, plt_tick_ms_get());
    EXPECT_EQ(1040u, plt_tick_scale_ms(5200));
    EXPECT_EQ(0u, plt_tick_scale_ms(0));
    EXPECT_EQ(1u, plt_tick_scale_ms(1));
    plt_tick_ms_set(0);
    unsetenv("ZW_TICK_MS");
    EXPECT_EQ(5200u, plt_tick_scale_ms(5200));
}

// A running service keeps the tick length it started with.
TEST_F(TimerTest, RunningServiceKeepsItsTickLength)
{
    start(5);
    plt_tick_ms_set(0);
    std::atomic<bool> fired{false};
    auto t0 = steady::now();
    ASSERT_NE(0, plt_tmr_start(&ctx, 2000, [](void *d) { static_cast<std::atomic<bool> *>(d)->store(true); }, &fired));
    ASSERT_TRUE(eventually([&] { return fired.load(); }));
    // 20 ticks of 5 ms; at the default tick it could not fire before 2 s.
    EXPECT_LT(steady::now() - t0, 1900ms);
}

// Threads that the library creates carry their creator's name; the one-shot
// callbacks run on threads of the timer thread, which plt_init started.
TEST(TimerThreads, CallbacksCarryTheNameOfTheThreadThatStartedTheService)
{
    char old_name[32];
    ASSERT_EQ(0, plt_thrd_name_get(old_name, sizeof old_name));
    ASSERT_EQ(0, plt_thrd_name_set("HCAPINet"));
    plt_tick_ms_set(5);
    plt_tmr_ctx ctx;
    ASSERT_EQ(0, plt_init(&ctx, nullptr));
    plt_thrd_name_set(old_name);
    struct seen {
        std::mutex m;
        std::string name;
        std::atomic<bool> done{false};
    } s;
    ASSERT_NE(0, plt_tmr_start(&ctx, 0, [](void *d) {
        auto *s = static_cast<seen *>(d);
        char buf[32];
        plt_thrd_name_get(buf, sizeof buf);
        std::lock_guard lk(s->m);
        s->name = buf;
        s->done = true;
    }, &s));
    ASSERT_TRUE(eventually([&] { return s.done.load(); }));
    plt_exit(&ctx);
    plt_tick_ms_set(0);
    std::lock_guard lk(s.m);
    EXPECT_EQ("HCAPINet", s.name);
}

}  // namespace
