// Locks, threads and the print path of the platform layer.
#include "hcapi/zip/zip_platform.h"
#include "tests/hcapi/zip/zip_log_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

TEST(PltMutex, IsRecursiveAndExcludesOtherThreads)
{
    plt_mtx_t m = nullptr;
    ASSERT_EQ(1, plt_mtx_init(&m));
    ASSERT_EQ(0, plt_mtx_lck(m));
    ASSERT_EQ(0, plt_mtx_lck(m));  // the same thread again
    int other = -1;
    std::thread([&] { other = plt_mtx_trylock(m); }).join();
    EXPECT_EQ(EBUSY, other);
    EXPECT_EQ(0, plt_mtx_ulck(m));
    std::thread([&] { other = plt_mtx_trylock(m); }).join();
    EXPECT_EQ(EBUSY, other);  // still held once
    EXPECT_EQ(0, plt_mtx_ulck(m));
    std::thread([&] {
        other = plt_mtx_trylock(m);
        if (other == 0)
            plt_mtx_ulck(m);
    }).join();
    EXPECT_EQ(0, other);
    plt_mtx_destroy(m);
}

TEST(PltSemaphore, CountsPosts)
{
    plt_sem_t s = nullptr;
    ASSERT_EQ(1, plt_sem_init(&s));
    std::atomic<int> passed{0};
    std::thread waiter([&] {
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(0, plt_sem_wait(s));
            ++passed;
        }
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(0, passed.load());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(0, plt_sem_post(s));
    waiter.join();
    EXPECT_EQ(3, passed.load());
    plt_sem_destroy(s);
}

TEST(PltCond, TimedWaitTimesOutOnTimeAndWakesWhenSignalled)
{
    plt_mtx_t m = nullptr;
    plt_cond_t c = nullptr;
    ASSERT_EQ(1, plt_mtx_init(&m));
    ASSERT_EQ(1, plt_cond_init(&c));

    plt_mtx_lck(m);
    auto t0 = steady::now();
    EXPECT_EQ(1, plt_cond_timedwait(c, m, 60));
    auto took = steady::now() - t0;
    EXPECT_GE(took, 60ms);
    EXPECT_LT(took, 60ms + 3000ms);
    EXPECT_EQ(1, plt_cond_timedwait(c, m, 0));
    plt_mtx_ulck(m);

    bool flag = false;
    std::thread signaller([&] {
        std::this_thread::sleep_for(20ms);
        plt_mtx_lck(m);
        flag = true;
        plt_cond_signal(c);
        plt_mtx_ulck(m);
    });
    plt_mtx_lck(m);
    int r = 0;
    while (!flag && r == 0)
        r = plt_cond_timedwait(c, m, 5000);
    EXPECT_EQ(0, r);
    EXPECT_TRUE(flag);
    plt_mtx_ulck(m);
    signaller.join();

    EXPECT_EQ(2, plt_cond_timedwait(nullptr, m, 1));
    EXPECT_EQ(0, plt_cond_broadcast(c));
    plt_cond_destroy(c);
    plt_mtx_destroy(m);
}

TEST(PltThread, DetachedAndJoinableRunTheirFunction)
{
    std::atomic<int> runs{0};
    auto bump = [](void *d) { ++*static_cast<std::atomic<int> *>(d); };
    ASSERT_EQ(0, plt_thrd_create(bump, &runs));
    plt_thrd_t t = nullptr;
    ASSERT_EQ(0, plt_thrd_create_joinable(bump, &runs, &t));
    EXPECT_EQ(0, plt_thrd_join(t));
    auto end = steady::now() + 5s;
    while (runs.load() < 2 && steady::now() < end)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(2, runs.load());
    EXPECT_EQ(-2, plt_thrd_create(nullptr, nullptr));
}

// Cancellation is deferred: the thread ends at its next sleep, not anywhere.
TEST(PltThread, CancelEndsAJoinableThreadAtItsNextSleep)
{
    std::atomic<int> loops{0};
    plt_thrd_t t = nullptr;
    ASSERT_EQ(0, plt_thrd_create_joinable([](void *d) {
        auto *n = static_cast<std::atomic<int> *>(d);
        for (;;) {
            ++*n;
            plt_sleep(5);
        }
    }, &loops, &t));
    while (loops.load() < 2)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(0, plt_thrd_cancel(t));
    EXPECT_EQ(1, plt_thrd_join(t));
}

TEST(PltThread, NamesAreKeptShortAndInherited)
{
    char old_name[32];
    ASSERT_EQ(0, plt_thrd_name_get(old_name, sizeof old_name));
    std::string child;
    std::thread([&] {
        char buf[32];
        ASSERT_EQ(0, plt_thrd_name_set("ANetOpStatusHdlrLong"));
        ASSERT_EQ(0, plt_thrd_name_get(buf, sizeof buf));
        EXPECT_STREQ("ANetOpStatusHdl", buf);  // the system keeps 15 characters
        ASSERT_EQ(0, plt_thrd_name_set("HCAPINet"));
        plt_thrd_t t = nullptr;
        ASSERT_EQ(0, plt_thrd_create_joinable([](void *d) {
            char name[32];
            plt_thrd_name_get(name, sizeof name);
            *static_cast<std::string *>(d) = name;
        }, &child, &t));
        plt_thrd_join(t);
        char small[4];
        EXPECT_EQ(0, plt_thrd_name_get(small, sizeof small));
        EXPECT_STREQ("HCA", small);
    }).join();
    EXPECT_EQ("HCAPINet", child);
    char now[32];
    plt_thrd_name_get(now, sizeof now);
    EXPECT_STREQ(old_name, now);
}

TEST(PltSleep, SleepsAtLeastTheTime)
{
    auto t0 = steady::now();
    EXPECT_EQ(0, plt_sleep(30));
    EXPECT_GE(steady::now() - t0, 30ms);
}

// ---------------------------------------------------------------------------
// Print path
// ---------------------------------------------------------------------------

class PrintTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        zip_test::log_clear();
        ctx.print.store(zip_test::capture_line);  // printing needs no running service
    }
    plt_tmr_ctx ctx;
};

void frm_probe_show(plt_tmr_ctx *ctx, int n) { PLT_MSG_SHOW(ctx, "probe %d", n); }

TEST_F(PrintTest, OneLinePerCallCutTo254Characters)
{
    plt_msg_show(&ctx, "abc %d", 7);
    plt_msg_show(&ctx, "%s", std::string(300, 'x').c_str());
    plt_msg_show(&ctx, "%s", std::string(254, 'y').c_str());
    frm_probe_show(&ctx, 3);
    const std::vector<std::string> lines = zip_test::log_lines();
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ("abc 7\n", lines[0]);
    EXPECT_EQ(std::string(254, 'x') + "\n", lines[1]);
    EXPECT_EQ(std::string(254, 'y') + "\n", lines[2]);
    EXPECT_EQ("frm_probe_show: probe 3\n", lines[3]);
}

TEST_F(PrintTest, NothingWithoutContextOrCallback)
{
    plt_msg_show(nullptr, "lost");
    plt_msg_ts_show(nullptr, "lost");
    plt_bin_show(nullptr, "ab", 2);
    plt_tmr_ctx silent;
    plt_msg_show(&silent, "lost");
    plt_bin_show(&silent, "ab", 2);
    EXPECT_TRUE(zip_test::log_lines().empty());
}

TEST_F(PrintTest, TimeStampedLines)
{
    plt_msg_ts_show(&ctx, "hi %s", "there");
    plt_msg_ts_show(&ctx, "%s", std::string(300, 'z').c_str());
    const std::vector<std::string> lines = zip_test::log_lines();
    ASSERT_EQ(2u, lines.size());
    const std::string &line = lines[0];
    ASSERT_EQ(21u, line.size()) << line;
    for (size_t i : {0, 1, 3, 4, 6, 7})
        EXPECT_TRUE(line[i] >= '0' && line[i] <= '9') << line;
    EXPECT_EQ(':', line[2]);
    EXPECT_EQ(':', line[5]);
    EXPECT_EQ(" -- hi there\n", line.substr(8));
    EXPECT_EQ(253u, lines[1].size());  // 12 of prefix, 240 of text, the line feed
    EXPECT_EQ('\n', lines[1].back());
}

TEST_F(PrintTest, BytesTenPerLine)
{
    uint8_t bytes[23];
    for (int i = 0; i < 23; ++i)
        bytes[i] = static_cast<uint8_t>(0xF0 + i);
    plt_bin_show(&ctx, bytes, sizeof bytes);
    plt_bin_show(&ctx, bytes, 0);
    const std::vector<std::string> lines = zip_test::log_lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 \n", lines[0]);
    EXPECT_EQ("FA FB FC FD FE FF 00 01 02 03 \n", lines[1]);
    EXPECT_EQ("04 05 06 \n", lines[2]);
}

}  // namespace
