#include "daemon/zwp_runtime.h"

#include "tests/support/zws_log_capture.h"

#include <gtest/gtest.h>

#include <apr_general.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace {

using zw_test::log_capture;
using steady = std::chrono::steady_clock;

struct Runtime : ::testing::Test {
    static void SetUpTestSuite() { apr_initialize(); }
    static void TearDownTestSuite() { apr_terminate(); }
    void SetUp() override { ASSERT_EQ(zwu_pool_create(&pool, nullptr), 0); }
    void TearDown() override { zwu_pool_destroy(pool); }
    apr_pool_t *pool = nullptr;
};

TEST_F(Runtime, TimedWaitTimesOutQuietlyAndWakesOnSignal)
{
    zwu_mutex_t *mutex = nullptr;
    zwu_cond_t *cond = nullptr;
    ASSERT_EQ(zwu_mutex_create(&mutex, ZWU_MUTEX_DEFAULT, pool), 0);
    ASSERT_EQ(zwu_cond_create(&cond, pool), 0);
    log_capture capture;

    ASSERT_EQ(zwu_mutex_lock(mutex), 0);
    EXPECT_EQ(zwu_cond_timedwait(cond, mutex, 0), ZWU_COND_TIMEDOUT);
    const auto start = steady::now();
    EXPECT_EQ(zwu_cond_timedwait(cond, mutex, 200000), ZWU_COND_TIMEDOUT);
    EXPECT_GE(steady::now() - start, std::chrono::milliseconds(195));
    EXPECT_TRUE(capture.lines().empty());

    bool flag = false;
    std::thread signaller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        zwu_mutex_lock(mutex);
        flag = true;
        zwu_cond_signal(cond);
        zwu_mutex_unlock(mutex);
    });
    int rc = 0;
    while (!flag && rc == 0)
        rc = zwu_cond_timedwait(cond, mutex, 10000000);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(flag);
    EXPECT_EQ(zwu_mutex_unlock(mutex), 0);
    signaller.join();
    EXPECT_EQ(zwu_cond_destroy(cond), 0);
}

TEST_F(Runtime, TrylockBusyIsAResultNotAFailure)
{
    zwu_mutex_t *mutex = nullptr;
    ASSERT_EQ(zwu_mutex_create(&mutex, ZWU_MUTEX_DEFAULT, pool), 0);
    log_capture capture;
    ASSERT_EQ(zwu_mutex_lock(mutex), 0);
    int rc = -1;
    std::thread other([&] { rc = zwu_mutex_trylock(mutex); });
    other.join();
    EXPECT_EQ(rc, ZWU_MUTEX_BUSY);
    EXPECT_TRUE(capture.lines().empty());
    EXPECT_EQ(zwu_mutex_unlock(mutex), 0);
    std::thread again([&] {
        rc = zwu_mutex_trylock(mutex);
        zwu_mutex_unlock(mutex);
    });
    again.join();
    EXPECT_EQ(rc, 0);
}

TEST_F(Runtime, MutexMisuseIsRefusedNotHung)
{
    zwu_mutex_t *plain = nullptr;
    zwu_mutex_t *nested = nullptr;
    zwu_cond_t *cond = nullptr;
    ASSERT_EQ(zwu_mutex_create(&plain, ZWU_MUTEX_DEFAULT, pool), 0);
    ASSERT_EQ(zwu_mutex_create(&nested, ZWU_MUTEX_NESTED, pool), 0);
    ASSERT_EQ(zwu_cond_create(&cond, pool), 0);
    log_capture capture;

    // A plain mutex relocked by its holder, or unlocked by another thread.
    ASSERT_EQ(zwu_mutex_lock(plain), 0);
    EXPECT_EQ(zwu_mutex_lock(plain), 22);
    EXPECT_TRUE(capture.contains("[error] Failed to lock thread mutex: "));
    int rc = 0;
    std::thread stranger([&] { rc = zwu_mutex_unlock(plain); });
    stranger.join();
    EXPECT_EQ(rc, 22);
    EXPECT_EQ(zwu_mutex_unlock(plain), 0);
    EXPECT_EQ(zwu_mutex_unlock(plain), 22);

    // A nested mutex nests, but a wait needs it held exactly once.
    ASSERT_EQ(zwu_mutex_lock(nested), 0);
    ASSERT_EQ(zwu_mutex_lock(nested), 0);
    EXPECT_EQ(zwu_mutex_trylock(nested), 0);
    capture.clear();
    EXPECT_EQ(zwu_cond_timedwait(cond, nested, 1000), 22);
    EXPECT_TRUE(capture.contains("[error] Failed to (timed) wait on thread condvar: "));
    EXPECT_EQ(zwu_mutex_unlock(nested), 0);
    EXPECT_EQ(zwu_mutex_unlock(nested), 0);
    EXPECT_EQ(zwu_cond_timedwait(cond, nested, 1000), ZWU_COND_TIMEDOUT);
    EXPECT_EQ(zwu_mutex_unlock(nested), 0);
    // Free again: another thread takes it at once.
    std::thread taker([&] {
        rc = zwu_mutex_trylock(nested);
        zwu_mutex_unlock(nested);
    });
    taker.join();
    EXPECT_EQ(rc, 0);
}

TEST_F(Runtime, ThreadNamesAndInheritance)
{
    log_capture capture;
    EXPECT_EQ(zwu_thread_name_set("", nullptr), 22);
    EXPECT_EQ(zwu_thread_name_set(nullptr, nullptr), 22);
    EXPECT_TRUE(capture.has("[error] Failed to set name for current thread: Invalid argument\n"));

    char saved[ZWU_THREAD_NAME_SIZE] = {};
    ASSERT_EQ(zwu_thread_name_set("Scene", saved), 0);
    char inherited[ZWU_THREAD_NAME_SIZE] = {};
    std::thread child([&] { zwu_thread_name_get(inherited); });
    child.join();
    EXPECT_STREQ(inherited, "Scene");
    ASSERT_EQ(zwu_thread_name_set(saved, nullptr), 0);
    char now[ZWU_THREAD_NAME_SIZE] = {};
    ASSERT_EQ(zwu_thread_name_get(now), 0);
    EXPECT_STREQ(now, saved);
    // Longer names are cut to what the kernel holds.
    ASSERT_EQ(zwu_thread_name_set("ANetDiscoveryStartHdlr", saved), 0);
    ASSERT_EQ(zwu_thread_name_get(now), 0);
    EXPECT_STREQ(now, "ANetDiscoverySt");
    zwu_thread_name_set(saved, nullptr);
}

void *APR_THREAD_FUNC ends_with_seven(apr_thread_t *thread, void *data)
{
    static_cast<std::atomic<int> *>(data)->store(1);
    zwu_thread_exit(thread, 7);
    return nullptr;
}

void *APR_THREAD_FUNC just_returns(apr_thread_t *, void *data)
{
    static_cast<std::atomic<int> *>(data)->store(1);
    return nullptr;
}

TEST_F(Runtime, JoinableThreadHandsBackItsStatus)
{
    std::atomic<int> ran{0};
    apr_thread_t *returning = nullptr;
    ASSERT_EQ(zwu_thread_create(&returning, pool, false, just_returns, &ran), 0);
    apr_status_t returned = 99;
    ASSERT_EQ(zwu_thread_join(&returned, returning), 0);
    EXPECT_EQ(returned, 0);
    EXPECT_EQ(ran.load(), 1);
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer takes the unwinding of pthread_exit for a stack fault.
    GTEST_SKIP() << "zwu_thread_exit is not run under AddressSanitizer";
#endif
    ran = 0;
    apr_thread_t *thread = nullptr;
    ASSERT_EQ(zwu_thread_create(&thread, pool, false, ends_with_seven, &ran), 0);
    apr_status_t status = 0;
    ASSERT_EQ(zwu_thread_join(&status, thread), 0);
    EXPECT_EQ(status, 7);
    EXPECT_EQ(ran.load(), 1);
}

// Tasks that block until released and record how many run at once.
struct gate {
    std::mutex lock;
    std::condition_variable changed;
    bool open = false;
    int running = 0;
    int peak = 0;
    int finished = 0;
};

void *APR_THREAD_FUNC gated_task(apr_thread_t *, void *data)
{
    auto *g = static_cast<gate *>(data);
    std::unique_lock<std::mutex> hold(g->lock);
    g->running++;
    g->peak = std::max(g->peak, g->running);
    g->changed.notify_all();
    g->changed.wait(hold, [&] { return g->open; });
    g->running--;
    g->finished++;
    g->changed.notify_all();
    return nullptr;
}

// Opens the gate and destroys the pool however the test leaves, so that a
// failed check ends the test instead of parking it: the gate must not die
// while tasks wait on it, and destroying a pool waits for its tasks.
struct pool_release {
    gate &g;
    apr_thread_pool_t *&workers;
    ~pool_release()
    {
        {
            std::lock_guard<std::mutex> hold(g.lock);
            g.open = true;
            g.changed.notify_all();
        }
        if (workers)
            zwu_thread_pool_destroy(workers);
    }
};

bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds limit)
{
    const auto deadline = steady::now() + limit;
    while (!done()) {
        if (steady::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST_F(Runtime, ThreadPoolCapsWorkersAndCancelWaitsForRunningTasks)
{
    gate g;
    apr_thread_pool_t *workers = nullptr;
    pool_release release{g, workers};
    ASSERT_EQ(zwu_thread_pool_create(&workers, 2, 5, pool), 0);
    int owner = 0;
    auto running = [&] {
        std::lock_guard<std::mutex> hold(g.lock);
        return g.running;
    };
    // The pool starts a worker only when a push finds none counted idle and
    // more tasks queued than its threshold, so a burst of pushes grows it or
    // not depending on how far its workers have got. Each push here waits
    // until every worker is idle or inside a task, no worker idles while a
    // task waits, and every earlier task runs or waits: from such a state the
    // pool grows to exactly its maximum.
    for (int i = 0; i < 12; i++) {
        const bool settled = wait_until(
            [&] {
                const size_t inside = static_cast<size_t>(running());
                const size_t queued = apr_thread_pool_tasks_count(workers);
                const size_t idle = apr_thread_pool_idle_count(workers);
                // A worker woken for a task counts as idle until it runs.
                return inside + queued == static_cast<size_t>(i) && (queued == 0 || idle == 0) &&
                       inside + idle == apr_thread_pool_threads_count(workers);
            },
            std::chrono::seconds(10));
        ASSERT_TRUE(settled) << "before task " << i + 1 << ": running " << running() << ", threads "
                             << apr_thread_pool_threads_count(workers);
        ASSERT_EQ(zwu_thread_pool_push(workers, gated_task, &g, 127, &owner), 0);
    }
    ASSERT_TRUE(wait_until([&] { return running() == 5; }, std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(running(), 5);
    EXPECT_EQ(apr_thread_pool_threads_count(workers), 5u);
    EXPECT_EQ(apr_thread_pool_tasks_count(workers), 7u) << "beyond the cap tasks wait";

    std::atomic<bool> cancelled{false};
    std::thread canceller([&] {
        EXPECT_EQ(zwu_thread_pool_cancel(workers, &owner), 0);
        cancelled.store(true);
    });
    // The queued tasks go at once; the call itself waits for the running ones.
    const bool dropped = wait_until([&] { return apr_thread_pool_tasks_count(workers) == 0; }, std::chrono::seconds(10));
    EXPECT_TRUE(dropped) << "cancel must drop the queued tasks";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(cancelled.load()) << "cancel must wait for the running tasks";
    {
        std::lock_guard<std::mutex> hold(g.lock);
        g.open = true;
        g.changed.notify_all();
    }
    canceller.join();
    EXPECT_TRUE(cancelled.load());
    {
        std::lock_guard<std::mutex> hold(g.lock);
        EXPECT_EQ(g.peak, 5);
        EXPECT_EQ(g.finished, 5) << "the seven queued tasks are dropped";
    }
    EXPECT_EQ(zwu_thread_pool_destroy(workers), 0);
    workers = nullptr;
}

TEST_F(Runtime, QueueKeepsOrderAndTermWakesAPop)
{
    apr_queue_t *queue = nullptr;
    ASSERT_EQ(zwu_queue_create(&queue, 4, pool), 0);
    int items[3] = {1, 2, 3};
    for (int &item : items)
        ASSERT_EQ(zwu_queue_push(queue, &item), 0);
    for (int &item : items) {
        void *out = nullptr;
        ASSERT_EQ(zwu_queue_pop(queue, &out), 0);
        EXPECT_EQ(out, &item);
    }
    log_capture capture;
    int rc = 0;
    std::thread popper([&] {
        void *out = nullptr;
        rc = zwu_queue_pop(queue, &out);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(zwu_queue_term(queue), 0);
    popper.join();
    EXPECT_EQ(rc, 22);
    EXPECT_EQ(zwu_queue_push(queue, &items[0]), 22);
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(Runtime, HashLivesInItsPool)
{
    apr_hash_t *hash = nullptr;
    EXPECT_EQ(zwu_hash_create(&hash, pool), 0);
    ASSERT_NE(hash, nullptr);
    static const unsigned char key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    int value = 5;
    apr_hash_set(hash, key, sizeof key, &value);
    EXPECT_EQ(apr_hash_get(hash, key, sizeof key), &value);
    EXPECT_EQ(zwu_hash_destroy(hash), 0);
}

} // namespace
