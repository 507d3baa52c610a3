// The reply-wait timer of the application layer fails to start. The caller
// then gets -109 and frees what its callback would use (the host-controller
// core does), so the callback must never run, even when the gateway's ACK
// arrives a moment later, and the gate must not stay closed.
//
// The platform's start seam refuses starts whose data is the
// application-layer context while `g_fail` is set; the frame layer's timers
// (their data is the frame context) pass.
#include "appl_test_support.h"

#include <atomic>

namespace {
std::atomic<bool> g_fail{false};
std::atomic<void *> g_fail_data{nullptr};
std::atomic<plt_tmr_start_fn> g_real_start{nullptr};

uint16_t failing_start(plt_tmr_ctx *ctx, uint32_t ms, plt_tmr_fn cb, void *data, int periodic)
{
    if (g_fail.load() && data == g_fail_data.load())
        return 0;
    return g_real_start.load()(ctx, ms, cb, data, periodic);
}

// Puts the failing start in front of the real one for one test.
struct start_seam {
    start_seam() { g_real_start.store(plt_tmr_start_seam_set(failing_start)); }
    ~start_seam() { plt_tmr_start_seam_set(nullptr); }
};
}  // namespace

namespace {

using namespace appl_test;

TEST_F(ApplSim, ReplyWaitTimerFailureReturns109AndNeverCallsBack)
{
    start_seam seam;
    ASSERT_NO_FATAL_FAILURE(start());
    g_fail_data.store(ctx());
    g_fail.store(true);
    recorder done;
    const std::vector<uint8_t> cmd{0x20, 0x01, 0x55};
    EXPECT_EQ(ZIP_ERR_SEND, send(0, &done, cmd));
    g_fail.store(false);
    EXPECT_EQ(1u, log_count("Error: appl callback timer not working"));
    // The command did leave and the simulator acknowledged it.
    auto f = wait_frame(cmd, 10s);
    ASSERT_TRUE(f);
    std::this_thread::sleep_for(scaled(6000));
    EXPECT_EQ(0u, done.size());
    EXPECT_EQ(255, appl_seq_node_get(ctx(), f->frame.packet.seq));

    // The gate is open: the next command goes out and completes.
    recorder next;
    const auto t0 = steady::now();
    ASSERT_EQ(0, send(0, &next, {0x20, 0x01, 0x56}));
    EXPECT_LT(steady::now() - t0, 5s);
    ASSERT_TRUE(next.wait(1, 10s));
    EXPECT_EQ(0, next.at(0).status);
    EXPECT_EQ(0u, done.size());
}

}  // namespace
