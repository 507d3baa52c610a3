// The facility framework on a real timer service: ticks reach the worker as
// messages after the counter moved, messages are handled in the order posted,
// a stop waits for the worker, and whatever arrives after the stop began is
// dropped, never handled.
#include "hcapi/core/zwfac.h"

#include "hcapi/zip/zip_platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct recorder {
    zwfac_ctx_t *ctx{nullptr};
    std::mutex mtx;
    std::vector<uint8_t> msgs;  // first byte of each non-tick message
    std::vector<uint32_t> tick_seen;
    std::vector<std::string> *log{nullptr};
    const char *name{""};

    static void on_msg(void *data, const uint8_t *msg, uint8_t len)
    {
        auto *r = static_cast<recorder *>(data);
        std::lock_guard<std::mutex> lk(r->mtx);
        if (len == 1 && msg[0] == ZWFAC_MSG_TICK)
            r->tick_seen.push_back(r->ctx->tick.load());
        else
            r->msgs.push_back(msg[0]);
    }
};

template <class Pred>
bool wait_for(Pred pred)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

class Framework : public ::testing::Test {
protected:
    void SetUp() override
    {
        plt_tick_ms_set(5);
        ASSERT_EQ(0, plt_init(&plt_, nullptr));
    }
    void TearDown() override
    {
        plt_exit(&plt_);
        plt_tick_ms_set(0);
    }
    plt_tmr_ctx plt_{};
};

TEST_F(Framework, TicksCountFromTheStartValueAndWrap)
{
    zwfac_ctx_t ctx;
    recorder rec;
    rec.ctx = &ctx;
    ASSERT_EQ(0, zwfac_start(&ctx, &plt_, 5, 0xFFFFFFFE, recorder::on_msg, &rec));
    ASSERT_TRUE(wait_for([&] {
        std::lock_guard<std::mutex> lk(rec.mtx);
        return rec.tick_seen.size() >= 4;
    }));
    zwfac_release(&ctx);
    std::lock_guard<std::mutex> lk(rec.mtx);
    // The counter moves before each tick message is posted, so a worker
    // never sees the start value; it only grows (across the wrap), though
    // a late worker may see several ticks at once.
    uint32_t prev = 0;
    for (uint32_t seen : rec.tick_seen) {
        const uint32_t since_start = seen - 0xFFFFFFFEu;
        EXPECT_LE(1u, since_start);
        EXPECT_LE(prev, since_start);
        prev = since_start;
    }
    EXPECT_LE(2u, ctx.tick.load());  // wrapped through 0
    EXPECT_LT(ctx.tick.load(), 0x1000u);
}

TEST_F(Framework, MessagesInOrderAndNoneAfterTheStop)
{
    zwfac_ctx_t ctx;
    recorder rec;
    rec.ctx = &ctx;
    ASSERT_EQ(0, zwfac_start(&ctx, &plt_, 1000, 0, recorder::on_msg, &rec));
    for (uint8_t i = 1; i <= 200; ++i)
        ASSERT_EQ(0, zwfac_post(&ctx, &i, 1));
    ASSERT_TRUE(wait_for([&] {
        std::lock_guard<std::mutex> lk(rec.mtx);
        return rec.msgs.size() == 200;
    }));
    zwfac_stop(&ctx);
    const uint8_t late = 250;
    EXPECT_EQ(ZW_ERR_NET_NOT_RUNNING, zwfac_post(&ctx, &late, 1));
    zwfac_release(&ctx);
    zwfac_release(&ctx);  // twice is harmless
    std::lock_guard<std::mutex> lk(rec.mtx);
    ASSERT_EQ(200u, rec.msgs.size());
    for (size_t i = 0; i < rec.msgs.size(); ++i)
        EXPECT_EQ(i + 1, rec.msgs[i]);
    EXPECT_EQ(ZW_ERR_VALUE, zwfac_post(&ctx, &late, 0));
}

// Hooks keep arriving from other threads while the facility stops: each one
// is either handled before the stop or refused, and nothing is handled once
// the stop returned.
TEST_F(Framework, LateHooksAreDroppedWhileStopping)
{
    for (int round = 0; round < 20; ++round) {
        zwfac_ctx_t ctx;
        recorder rec;
        rec.ctx = &ctx;
        ASSERT_EQ(0, zwfac_start(&ctx, &plt_, 5, 0, recorder::on_msg, &rec));
        std::atomic<bool> go{true};
        std::atomic<int> accepted{0};
        std::thread poster([&] {
            const uint8_t m = 7;
            while (go.load())
                if (zwfac_post(&ctx, &m, 1) == 0)
                    accepted.fetch_add(1);
        });
        ASSERT_TRUE(wait_for([&] { return accepted.load() > 10; }));
        zwfac_stop(&ctx);
        size_t handled_at_stop;
        {
            std::lock_guard<std::mutex> lk(rec.mtx);
            handled_at_stop = rec.msgs.size() + rec.tick_seen.size();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        go = false;
        poster.join();
        {
            std::lock_guard<std::mutex> lk(rec.mtx);
            EXPECT_EQ(handled_at_stop, rec.msgs.size() + rec.tick_seen.size());
            EXPECT_LE(rec.msgs.size(), static_cast<size_t>(accepted.load()));
        }
        zwfac_release(&ctx);
    }
}

// Stopping the facilities one after another in a set order: each stop
// returns only once its worker ended, so the workers end in that order.
TEST_F(Framework, StopsInTheOrderGiven)
{
    constexpr int n = 8;
    zwfac_ctx_t ctx[n];
    recorder rec[n];
    for (int i = 0; i < n; ++i) {
        rec[i].ctx = &ctx[i];
        ASSERT_EQ(0, zwfac_start(&ctx[i], &plt_, 5, 0, recorder::on_msg, &rec[i]));
    }
    std::vector<size_t> after_stop(n);
    for (int i = 0; i < n; ++i) {
        zwfac_stop(&ctx[i]);
        EXPECT_EQ(0u, ctx[i].run.load());
        for (int j = i + 1; j < n; ++j)
            EXPECT_EQ(1u, ctx[j].run.load()) << "facility " << j << " stopped early";
        std::lock_guard<std::mutex> lk(rec[i].mtx);
        after_stop[i] = rec[i].tick_seen.size();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    for (int i = 0; i < n; ++i) {
        std::lock_guard<std::mutex> lk(rec[i].mtx);
        EXPECT_EQ(after_stop[i], rec[i].tick_seen.size());
    }
    for (auto &c : ctx)
        zwfac_release(&c);
}

}  // namespace
