// Worker message loops and the elapsed-tick counter.
#include "hcapi/zip/zip_error.h"
#include "hcapi/zip/zip_msg_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

template <class Pred> bool eventually(Pred pred, std::chrono::milliseconds limit = 5000ms)
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A message {kind, value, payload}: kind 1 asks the handler to end the worker,
// kind 2 to block until released; payload is heap memory the release frees.
struct msg {
    uint8_t kind;
    int value;
    int *payload;
};

struct facility {
    std::mutex m;
    std::vector<int> handled;
    std::atomic<int> released{0};
    std::atomic<bool> blocked{false};
    std::atomic<bool> unblock{false};
    std::atomic<bool> handler_returned{false};
};

int handle(void *data, void *m)
{
    auto *f = static_cast<facility *>(data);
    msg one;
    std::memcpy(&one, m, sizeof one);
    {
        std::lock_guard lk(f->m);
        f->handled.push_back(one.value);
    }
    if (one.kind == 2) {
        f->blocked = true;
        while (!f->unblock.load())
            std::this_thread::sleep_for(1ms);
        f->handler_returned = true;
    }
    return one.kind == 1 ? 1 : 0;
}

facility *g_fac = nullptr;  // the release callback has no data pointer

void release(void *m)
{
    msg one;
    std::memcpy(&one, m, sizeof one);
    delete one.payload;
    ++g_fac->released;
}

int send(util_msg_loop_t *loop, uint8_t kind, int value)
{
    msg one{kind, value, new int(value)};
    int r = util_msg_loop_send(loop, &one, sizeof one);
    if (r != 0)
        delete one.payload;
    return r;
}

class MsgLoopTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_fac = &fac;
        ASSERT_EQ(0, util_msg_loop_init(handle, &fac, release, 0, &loop));
    }
    facility fac;
    util_msg_loop_t *loop = nullptr;
};

TEST_F(MsgLoopTest, HandlesInOrderAndReleasesEach)
{
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(0, send(loop, 0, i));
    ASSERT_TRUE(eventually([&] { return fac.released.load() == 50; }));
    EXPECT_EQ(0, util_msg_loop_shutdown(loop, 1000));
    util_msg_loop_exit(loop);
    std::vector<int> want(50);
    for (int i = 0; i < 50; ++i)
        want[static_cast<size_t>(i)] = i;
    EXPECT_EQ(want, fac.handled);
}

// A handler that returns non-zero ends its worker; later sends are refused.
TEST_F(MsgLoopTest, NonZeroHandlerResultStopsTheWorker)
{
    ASSERT_EQ(0, send(loop, 0, 1));
    ASSERT_EQ(0, send(loop, 1, 2));
    ASSERT_TRUE(eventually([&] { return send(loop, 0, 3) == ZIP_ERR_LOOP_STOPPED; }));
    EXPECT_EQ(ZIP_ERR_LOOP_STOPPED, send(loop, 0, 4));
    EXPECT_EQ(0, util_msg_loop_shutdown(loop, 0));
    util_msg_loop_exit(loop);
    // Sends that slipped in before the worker ended are released by exit.
    EXPECT_EQ((std::vector<int>{1, 2}), fac.handled);
    int sent_ok = fac.released.load();
    EXPECT_GE(sent_ok, 2);
}

// Shutdown ends the worker after the message in hand; exit releases the rest.
TEST_F(MsgLoopTest, ShutdownTimesOutOnABusyHandlerAndExitReleasesTheQueue)
{
    ASSERT_EQ(0, send(loop, 2, 1));
    ASSERT_TRUE(eventually([&] { return fac.blocked.load(); }));
    for (int i = 2; i <= 4; ++i)
        ASSERT_EQ(0, send(loop, 0, i));
    EXPECT_EQ(ZIP_ERR_LOOP_TIMEOUT, util_msg_loop_shutdown(loop, 50));
    util_msg_loop_exit(loop);  // the worker still runs and keeps what it needs
    EXPECT_EQ(3, fac.released.load());
    fac.unblock = true;
    ASSERT_TRUE(eventually([&] { return fac.released.load() == 4; }));
    std::this_thread::sleep_for(20ms);  // lets the worker drop its share
    std::lock_guard lk(fac.m);
    EXPECT_EQ((std::vector<int>{1}), fac.handled);
}

TEST(TickCounter, CountsPeriods)
{
    util_tick_cnt_t *c = nullptr;
    ASSERT_EQ(0, util_tick_cnt_start(10, &c));
    ASSERT_TRUE(eventually([&] { return util_tick_cnt_get(c) >= 5; }));
    uint32_t seen = util_tick_cnt_get(c);
    util_tick_cnt_stop(c);
    EXPECT_GE(seen, 5u);
    EXPECT_EQ(0u, util_tick_cnt_get(nullptr));
}

}  // namespace
