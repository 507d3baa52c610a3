// Application and session layers against the gateway simulator over real
// loopback UDP (gateway 127.X.Y.1:4123, nodes 127.X.Y.N:4123). Most tests
// run with a 10 ms tick, so 2500/5000/5100/5200 ms become 250/500/510/520 ms;
// the RealTime tests run at the real 100 ms tick.
#include "appl_test_support.h"

#include <atomic>
#include <future>

namespace {

using namespace appl_test;
using sim::behaviour;

// A filter that is never installed.
int on_rx_filter_other(appl_layer_ctx *, void *, const tpt_sockaddr_t *, const zip_rx_hdr_t *, const uint8_t *,
                       uint16_t, uint16_t, uint16_t)
{
    return 0;
}

// ---------------------------------------------------------------------------
// One acknowledged command, one row per gateway behaviour
// ---------------------------------------------------------------------------

enum class sim_rule { ack, drop_first, silent, nack, nack_waiting_3s, nack_waiting_then_ack, late_ack, third_address };

struct answer_case {
    const char *name;
    sim_rule rule;
    uint32_t delay_ms;      // protocol ms of the simulator's delayed ACK, if any
    int status;             // the completion
    uint32_t at_ms;         // protocol ms from the send to the completion (at least)
    size_t copies;          // how often the frame went out
    bool sleeping;          // node 5 flagged as a sleeping node
    uint8_t sts_before;     // node 5's status before the send
    uint8_t sts_after;      // and after the completion
};

const answer_case answer_cases[] = {
    {"ack", sim_rule::ack, 0, 0, 0, 1, false, APPL_NODE_STS_DOWN, APPL_NODE_STS_ALIVE},
    {"drop_first", sim_rule::drop_first, 0, 0, 2500, 2, false, APPL_NODE_STS_DOWN, APPL_NODE_STS_ALIVE},
    {"silent", sim_rule::silent, 0, ZIP_ERR_NO_ACK, 5000, 2, false, APPL_NODE_STS_ALIVE, APPL_NODE_STS_DOWN},
    {"nack", sim_rule::nack, 0, ZIP_ERR_NACK, 0, 1, false, APPL_NODE_STS_ALIVE, APPL_NODE_STS_DOWN},
    {"nack_sleeping_node", sim_rule::nack, 0, ZIP_ERR_NACK, 0, 1, true, APPL_NODE_STS_ALIVE, APPL_NODE_STS_ALIVE},
    // A long expected delay ends the wait at once; without the selector
    // option the node's status is left alone.
    {"nack_waiting_3s", sim_rule::nack_waiting_3s, 0, ZIP_ERR_NACK_WAIT, 0, 1, false, APPL_NODE_STS_ALIVE,
     APPL_NODE_STS_ALIVE},
    // NACK waiting without a delay holds the frame: no resend, and the later
    // ACK still completes it.
    {"nack_waiting_then_ack", sim_rule::nack_waiting_then_ack, 3500, 0, 3500, 1, false, APPL_NODE_STS_DOWN,
     APPL_NODE_STS_ALIVE},
    {"late_ack_after_resend", sim_rule::late_ack, 3000, 0, 3000, 2, false, APPL_NODE_STS_DOWN, APPL_NODE_STS_ALIVE},
    // ACKs from elsewhere prove nothing: the frame is resent and times out.
    {"ack_from_third_address", sim_rule::third_address, 0, ZIP_ERR_NO_ACK, 5000, 2, false, APPL_NODE_STS_ALIVE,
     APPL_NODE_STS_DOWN},
};

class ApplAnswer : public ApplSim, public ::testing::WithParamInterface<answer_case> {
protected:
    behaviour rule(const answer_case &c) const
    {
        switch (c.rule) {
        case sim_rule::ack: return behaviour::ack();
        case sim_rule::drop_first: return behaviour::drop_first();
        case sim_rule::silent: return behaviour::silent();
        case sim_rule::nack: return behaviour::nack();
        case sim_rule::nack_waiting_3s: return behaviour::nack_waiting(3);
        case sim_rule::nack_waiting_then_ack: return behaviour::nack_waiting(std::nullopt, scaled(c.delay_ms));
        case sim_rule::late_ack: return behaviour::late_ack(scaled(c.delay_ms));
        case sim_rule::third_address: return behaviour::ack_from(addr(254));
        }
        return behaviour::ack();
    }
};

TEST_P(ApplAnswer, CompletesOnceWithTheGatewaysAnswer)
{
    const answer_case &c = GetParam();
    // The frame layer's no-ACK (5000 ms) and the least reply wait (5100 ms)
    // are one tick apart: a loaded machine that runs the resend a little late
    // lets the reply wait win. A longer reply wait, as a network may set,
    // keeps these rows about the gateway's answers.
    config long_wait;
    long_wait.reply_wait_ms = 10000;
    // The rows that expect one copy need the answer back before the resend
    // (2500 protocol ms): at 20 ms a tick that is half a second, which a
    // loaded machine's scheduling does not eat.
    long_wait.tick_ms = 20;
    ASSERT_NO_FATAL_FAILURE(start(long_wait));
    auto ip = v4(addr(5).c_str());
    ASSERT_EQ(1, appl_node_ip_set(ctx(), ip.data(), 4, 5));
    appl_node_sleep_flag_set(ctx(), 5, c.sleeping ? 1 : 0);
    appl_node_sts_set(ctx(), 5, c.sts_before, 0);
    ASSERT_EQ(c.sts_before, appl_node_sts_get(ctx(), 5));
    gw->policy().push_next(rule(c));

    recorder done;
    const std::vector<uint8_t> cmd{0x25, 0x02};
    const auto t0 = steady::now();
    ASSERT_EQ(0, send(5, &done, cmd));
    ASSERT_TRUE(done.wait(1, late(c.at_ms))) << c.name;
    const event e = done.at(0);
    EXPECT_EQ(c.status, e.status);
    EXPECT_EQ(5, e.node_id);
    EXPECT_NE(std::this_thread::get_id(), e.tid);
    EXPECT_GE(e.time - t0, early(c.at_ms));
    EXPECT_LE(e.time - t0, late(c.at_ms));

    auto first = wait_frame(cmd, 10s);
    ASSERT_TRUE(first);
    EXPECT_EQ(5, first->node_id);
    EXPECT_EQ(addr(5), first->local.address);
    EXPECT_TRUE(first->frame.packet.ack_request());
    const auto sent = copies(first->frame.packet.seq);
    EXPECT_EQ(c.copies, sent.size());
    if (sent.size() == 2) {
        EXPECT_GE(sent[1].time - sent[0].time, early_seen(2500));
    }

    // Past the frame layer's second expiry and the reply wait: nothing more.
    std::this_thread::sleep_for(scaled(long_wait.reply_wait_ms + 1000));
    EXPECT_EQ(1u, done.size());
    EXPECT_EQ(c.sts_after, appl_node_sts_get(ctx(), 5));
    if (c.sts_after != c.sts_before) {
        ASSERT_EQ(1u, n.node_sts.size());
        EXPECT_EQ(c.sts_after, n.node_sts.at(0).status);
        EXPECT_EQ(5, n.node_sts.at(0).node_id);
    } else {
        EXPECT_EQ(0u, n.node_sts.size());
    }
    // Commands with a completion callback never reach the listener, forged
    // answers neither.
    EXPECT_EQ(0u, n.listener.size());
    if (c.rule == sim_rule::third_address) {
        EXPECT_LE(1u, log_count("from a foreign address ignored"));
    }
    // The number went back to the table.
    EXPECT_EQ(255, appl_seq_node_get(ctx(), first->frame.packet.seq));
}

INSTANTIATE_TEST_SUITE_P(Answers, ApplAnswer, ::testing::ValuesIn(answer_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Completion thread, the gateway as node 0
// ---------------------------------------------------------------------------

TEST_F(ApplSim, CompletionsRunOnOneCallbackThreadAndNodeZeroIsTheGateway)
{
    ASSERT_NO_FATAL_FAILURE(start());
    // Node 0 stands for the own node id (1 here).
    appl_node_sts_set(ctx(), 0, APPL_NODE_STS_DOWN, 0);
    ASSERT_EQ(APPL_NODE_STS_DOWN, appl_node_sts_get(ctx(), 1));

    recorder done;
    const std::vector<uint8_t> a{0x86, 0x11}, b{0x86, 0x13, 0x01};
    ASSERT_EQ(0, send(0, &done, a));
    ASSERT_TRUE(done.wait(1, 10s));
    ASSERT_EQ(0, send(0, &done, b));
    ASSERT_TRUE(done.wait(2, 2s));
    const auto ev = done.all();
    EXPECT_EQ(0, ev[0].status);
    EXPECT_EQ(0, ev[1].status);
    EXPECT_EQ(0, ev[0].node_id);
    EXPECT_EQ(ev[0].tid, ev[1].tid);
    EXPECT_NE(std::this_thread::get_id(), ev[0].tid);

    auto f = wait_frame(a, 10s);
    ASSERT_TRUE(f);
    EXPECT_EQ(0, f->node_id);
    EXPECT_EQ((sim::endpoint{addr(1), ZIP_UDP_PORT}), f->local);
    EXPECT_TRUE(f->frame.packet.ack_request());
    EXPECT_NE(f->frame.packet.seq, wait_frame(b, 10s)->frame.packet.seq);

    // The gateway's ACK set the own node alive, reported under its id.
    EXPECT_EQ(APPL_NODE_STS_ALIVE, appl_node_sts_get(ctx(), 1));
    ASSERT_LE(1u, n.node_sts.size());
    EXPECT_EQ(1, n.node_sts.at(0).node_id);
    EXPECT_EQ(APPL_NODE_STS_ALIVE, n.node_sts.at(0).status);
}

// ---------------------------------------------------------------------------
// Destinations
// ---------------------------------------------------------------------------

TEST_F(ApplSim, NodeWithoutAddressIsRefusedAndWithOneTheFrameReachesIt)
{
    ASSERT_NO_FATAL_FAILURE(start());
    recorder done;
    const uint64_t mark = gw->next_index();
    EXPECT_EQ(ZIP_ERR_NO_ADDR, send(5, &done));
    EXPECT_EQ(ZIP_ERR_NODE_ID, send(234, &done));
    // Under IPv4 a 16-byte address cannot be used.
    uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 6};
    ASSERT_EQ(1, appl_node_ip_set(ctx(), v6, 16, 6));
    EXPECT_EQ(ZIP_ERR_NO_ADDR, send(6, &done));
    // Nothing was allocated, nothing sent, nothing completes.
    for (int s = 0; s < 256; ++s)
        ASSERT_EQ(255, appl_seq_node_get(ctx(), static_cast<uint8_t>(s))) << s;
    EXPECT_FALSE(gw->wait_for([](const sim::recorded_frame &) { return true; }, 200ms, mark));
    EXPECT_EQ(0u, done.size());

    auto ip = v4(addr(5).c_str());
    ASSERT_EQ(1, appl_node_ip_set(ctx(), ip.data(), 4, 5));
    const std::vector<uint8_t> cmd{0x26, 0x01, 0x63};
    ASSERT_EQ(0, send(5, &done, cmd));
    auto f = wait_frame(cmd, 10s);
    ASSERT_TRUE(f);
    EXPECT_EQ(5, f->node_id);
    EXPECT_EQ((sim::endpoint{addr(5), ZIP_UDP_PORT}), f->local);
    ASSERT_TRUE(done.wait(1, 10s));
    EXPECT_EQ(0, done.at(0).status);

    // Forgotten again: refused again.
    ASSERT_EQ(1, appl_node_ip_rm(ctx(), 5));
    EXPECT_EQ(ZIP_ERR_NO_ADDR, send(5, &done));
}

// ---------------------------------------------------------------------------
// The one-send gate
// ---------------------------------------------------------------------------

TEST_F(ApplSim, SecondSenderWaitsForTheFirstResultThenGoes)
{
    ASSERT_NO_FATAL_FAILURE(start());
    gw->policy().push_next(behaviour::drop_first());
    recorder first, second;
    const std::vector<uint8_t> a{0x20, 0x01, 0xFF}, b{0x20, 0x01, 0x00};
    const auto t0 = steady::now();
    ASSERT_EQ(0, send(0, &first, a));
    auto returned = std::async(std::launch::async, [&] {
        int rc = send(0, &second, b);
        return std::make_pair(rc, steady::now());
    });
    auto [rc, t_ret] = returned.get();
    EXPECT_EQ(0, rc);
    // It waited at the gate until the resent first frame was acknowledged
    // (and not out: a gate that stays closed for 5200 ms gives -115).
    EXPECT_GE(t_ret - t0, early(2500));
    EXPECT_LT(t_ret - t0, late(2500));
    ASSERT_TRUE(first.wait(1, 10s));
    ASSERT_TRUE(second.wait(1, 10s));
    EXPECT_EQ(0, first.at(0).status);
    EXPECT_EQ(0, second.at(0).status);
    auto fb = wait_frame(b, 10s);
    ASSERT_TRUE(fb);
    EXPECT_EQ(1u, copies(fb->frame.packet.seq).size());
}

// The network-management status wait keeps the gate closed after the
// gateway's ACK; a second sender then gives up after 5200 ms.
TEST_F(ApplSim, GateClosedByTheStatusWaitMakesASecondSenderBusy)
{
    config c;
    c.reply_wait_ms = 20000;  // a network may ask for longer waits
    ASSERT_NO_FATAL_FAILURE(start(c));
    recorder first, second, third;
    ASSERT_EQ(0, send(0, &first, {0x34, 0x0D, 0x01, 0x05, 0x01}, 1));
    ASSERT_TRUE(first.wait(1, 10s));
    EXPECT_EQ(0, first.at(0).status);

    // Commands without a completion callback do not wait at the gate.
    const std::vector<uint8_t> nowait{0x20, 0x02};
    const auto tq = steady::now();
    ASSERT_EQ(0, send(0, nullptr, nowait));
    EXPECT_LT(steady::now() - tq, 5s);  // a closed gate also logs its time-out, counted below
    ASSERT_TRUE(wait_frame(nowait, 10s));

    const auto t0 = steady::now();
    EXPECT_EQ(ZIP_ERR_APPL_BUSY, send(0, &second, {0x20, 0x01, 0x01}));
    EXPECT_GE(steady::now() - t0, early(APPL_GATE_WAIT_MS));
    EXPECT_EQ(1u, log_count("Cond wait timeout"));

    // The gateway's answer opens the gate.
    appl_nm_sts_wait_clr(ctx());
    ASSERT_EQ(0, send(0, &third, {0x20, 0x01, 0x02}));
    ASSERT_TRUE(third.wait(1, 10s));
    EXPECT_EQ(0, third.at(0).status);
    EXPECT_EQ(0u, second.size());

    // Without an answer the reply wait ends the status wait.
    recorder fourth, fifth;
    const auto t1 = steady::now();
    ASSERT_EQ(0, send(0, &fourth, {0x34, 0x0F, 0x05}, 1));
    ASSERT_TRUE(fourth.wait(1, 10s));
    const auto until = t1 + late(c.reply_wait_ms);
    while (log_count("appl_nm_sts_tmout_cb: timeout") == 0 && steady::now() < until)
        std::this_thread::sleep_for(tick());
    ASSERT_EQ(1u, log_count("appl_nm_sts_tmout_cb: timeout"));
    EXPECT_GE(steady::now() - t1, early(c.reply_wait_ms));
    const auto t2 = steady::now();
    ASSERT_EQ(0, send(0, &fifth, {0x20, 0x01, 0x03}));
    EXPECT_LT(steady::now() - t2, 5s);
    ASSERT_TRUE(fifth.wait(1, 10s));
    EXPECT_EQ(0, fifth.at(0).status);
    EXPECT_EQ(1u, fourth.size());
}

// ---------------------------------------------------------------------------
// Reply wait
// ---------------------------------------------------------------------------

// The gateway keeps answering NACK waiting, so the frame layer holds the
// frame past 5100 ms: the reply wait ends the command with -112 on its
// timer's thread, and the frame's own late result is not a second completion.
TEST_F(ApplSim, ReplyWaitEndsAHeldCommandOnce)
{
    ASSERT_NO_FATAL_FAILURE(start());
    auto ip = v4(addr(5).c_str());
    ASSERT_EQ(1, appl_node_ip_set(ctx(), ip.data(), 4, 5));
    recorder warm;
    ASSERT_EQ(0, send(5, &warm, {0x20, 0x02}));
    ASSERT_TRUE(warm.wait(1, 10s));
    const std::thread::id cb_thread = warm.at(0).tid;

    gw->policy().push_next(behaviour::nack_waiting(std::nullopt));
    recorder done;
    const std::vector<uint8_t> cmd{0x25, 0x01, 0xFF};
    const auto t0 = steady::now();
    ASSERT_EQ(0, send(5, &done, cmd));
    auto f = wait_frame(cmd, 10s);
    ASSERT_TRUE(f);
    // A second NACK waiting restarts the frame's wait beyond the reply wait.
    std::this_thread::sleep_until(t0 + scaled(4000));
    ASSERT_EQ(0, gw->send_raw(sim::build_nack_waiting(f->frame.packet, std::nullopt), 5));

    ASSERT_TRUE(done.wait(1, late(APPL_REPLY_WAIT_MS)));
    EXPECT_EQ(ZIP_ERR_REPLY_TIMEOUT, done.at(0).status);
    EXPECT_GE(done.at(0).time - t0, early(APPL_REPLY_WAIT_MS));
    EXPECT_NE(cb_thread, done.at(0).tid);
    EXPECT_EQ(1u, log_count("appl_cb_tmout_cb: timeout"));
    EXPECT_EQ(APPL_NODE_STS_DOWN, appl_node_sts_get(ctx(), 5));

    // The frame layer reports its no-ACK about 6500 ms after the send (later
    // on a loaded machine): the session is free once it has.
    std::this_thread::sleep_until(t0 + scaled(7500));
    const auto free_until = steady::now() + late(6500);
    for (;;) {
        {
            plt_lock lk(ctx()->ssn.mtx);
            if (ctx()->ssn.pend_cb == nullptr)
                break;
        }
        ASSERT_LT(steady::now(), free_until);
        std::this_thread::sleep_for(tick());
    }
    EXPECT_EQ(1u, done.size());
    EXPECT_EQ(1u, copies(f->frame.packet.seq).size());
    recorder after;
    ASSERT_EQ(0, send(5, &after, {0x20, 0x02}));
    ASSERT_TRUE(after.wait(1, 10s));
    EXPECT_EQ(0, after.at(0).status);
}

// An expiry that is already running when its wait ends must not end the
// next command. The test holds the layer mutex across the status wait's
// expiry, so that the expiry's callback runs and blocks on it; still holding
// it (the mutex is recursive) it ends the wait, as the gateway's answer
// would, and sends the next command, which arms a new timer. Then it lets
// the stale expiry go.
TEST_F(ApplSim, StaleReplyWaitExpiryNeverEndsTheNextCommand)
{
    ASSERT_NO_FATAL_FAILURE(start());
    recorder first, next;
    const auto t0 = steady::now();
    ASSERT_EQ(0, send(0, &first, {0x34, 0x0D, 0x01, 0x05, 0x01}, 1));
    ASSERT_TRUE(first.wait(1, 10s));
    EXPECT_EQ(0, first.at(0).status);

    std::this_thread::sleep_until(t0 + scaled(APPL_REPLY_WAIT_MS) - 3 * tick());
    plt_mtx_lck(ctx()->mtx);
    const bool expired_early = log_count("appl_nm_sts_tmout_cb: timeout") != 0;
    std::this_thread::sleep_until(t0 + scaled(APPL_REPLY_WAIT_MS) + 8 * tick());
    appl_nm_sts_wait_clr(ctx());
    const int rc = send(0, &next, {0x20, 0x01, 0x61});
    plt_mtx_ulck(ctx()->mtx);
    ASSERT_FALSE(expired_early) << "the test thread came too late to hold the mutex";
    ASSERT_EQ(0, rc);

    ASSERT_TRUE(next.wait(1, 10s));
    EXPECT_EQ(0, next.at(0).status);
    std::this_thread::sleep_for(scaled(6000));
    EXPECT_EQ(1u, next.size());
    EXPECT_EQ(1u, first.size());
    EXPECT_EQ(0u, log_count("appl_nm_sts_tmout_cb: timeout"));
    EXPECT_EQ(0u, log_count("appl_cb_tmout_cb: timeout"));
}

// ---------------------------------------------------------------------------
// The held NOP of a sleeping node
// ---------------------------------------------------------------------------

TEST_F(ApplSim, HeldNopLateAckReachesTheListener)
{
    config c;
    c.sel_opt = 1;
    ASSERT_NO_FATAL_FAILURE(start(c));
    auto ip = v4(addr(5).c_str());
    ASSERT_EQ(1, appl_node_ip_set(ctx(), ip.data(), 4, 5));
    appl_node_sleep_flag_set(ctx(), 5, 1);
    appl_node_sts_set(ctx(), 5, APPL_NODE_STS_SLEEP, 0);
    gw->policy().push_next(behaviour::nack_waiting(std::nullopt, scaled(1500)));

    recorder done;
    const std::vector<uint8_t> nop{0x00};
    ASSERT_EQ(0, send(5, &done, nop, 0, 1));
    ASSERT_TRUE(done.wait(1, 10s));
    EXPECT_EQ(ZIP_ERR_NACK_WAIT, done.at(0).status);
    auto f = wait_frame(nop, 10s);
    ASSERT_TRUE(f);
    const uint8_t seq = f->frame.packet.seq;
    // The gateway holds it under this number, which stays reserved.
    EXPECT_EQ(5, appl_seq_node_get(ctx(), seq));
    EXPECT_EQ(APPL_NODE_STS_SLEEP, appl_node_sts_get(ctx(), 5));

    ASSERT_TRUE(n.listener.wait(1, late(1500)));
    EXPECT_EQ(0, n.listener.at(0).status);
    EXPECT_EQ(5, n.listener.at(0).node_id);
    EXPECT_EQ(255, appl_seq_node_get(ctx(), seq));
    EXPECT_EQ(1u, copies(seq).size());
    std::this_thread::sleep_for(scaled(6000));
    EXPECT_EQ(1u, done.size());
    EXPECT_EQ(1u, n.listener.size());
}

// ---------------------------------------------------------------------------
// Stop and shutdown
// ---------------------------------------------------------------------------

TEST_F(ApplSim, StopCompletesTheCommandInFlightAndReleasesWaitingSenders)
{
    ASSERT_NO_FATAL_FAILURE(start());
    gw->policy().set_default(behaviour::silent());
    recorder first, second;
    ASSERT_EQ(0, send(0, &first, {0x20, 0x01, 0x10}));
    auto waiting = std::async(std::launch::async, [&] { return send(0, &second, {0x20, 0x01, 0x11}); });
    std::this_thread::sleep_for(scaled(1000));
    const auto t0 = steady::now();
    appl_stop(ctx());
    ASSERT_TRUE(first.wait(1, 5s));
    EXPECT_EQ(ZIP_ERR_NOT_RUNNING, first.at(0).status);
    EXPECT_EQ(ZIP_ERR_NOT_RUNNING, waiting.get());
    EXPECT_LT(steady::now() - t0, 5s);
    EXPECT_EQ(ZIP_ERR_NOT_RUNNING, send(0, &second, {0x20, 0x01, 0x12}));
    // The frame layer's later no-ACK is not a second completion.
    std::this_thread::sleep_for(scaled(6000));
    EXPECT_EQ(1u, first.size());
    EXPECT_EQ(0u, second.size());
}

TEST_F(ApplSim, ShutdownDeliversEveryOwedCompletionBeforeItReturns)
{
    ASSERT_NO_FATAL_FAILURE(start());
    gw->policy().set_default(behaviour::silent());
    recorder first, second;
    ASSERT_EQ(0, send(0, &first, {0x20, 0x01, 0x20}));
    auto waiting = std::async(std::launch::async, [&] { return send(0, &second, {0x20, 0x01, 0x21}); });
    std::this_thread::sleep_for(scaled(1000));
    appl_shutdown(ctx());
    started = false;
    ASSERT_EQ(1u, first.size());
    EXPECT_EQ(ZIP_ERR_NOT_RUNNING, first.at(0).status);
    EXPECT_EQ(ZIP_ERR_NOT_RUNNING, waiting.get());
    EXPECT_EQ(0u, second.size());
    EXPECT_EQ(ZIP_ERR_NOT_RUNNING, send(0, &second, {0x20, 0x01, 0x22}));
}

// ---------------------------------------------------------------------------
// Received commands
// ---------------------------------------------------------------------------

TEST_F(ApplSim, ReceivedCommandsReachTheNetworkOnTheReceiveThread)
{
    ASSERT_NO_FATAL_FAILURE(start());
    // The simulator needs to have heard from us to know where to send.
    recorder done;
    ASSERT_EQ(0, send(0, &done));
    ASSERT_TRUE(done.wait(1, 10s));

    sim::own_packet tiny;
    tiny.command = {0x25};
    tiny.ack_request = false;
    ASSERT_LE(0, gw->send_packet(tiny));
    sim::own_packet p;
    p.command = {0x25, 0x03, 0xFF};
    p.src_ep = 1;
    p.dst_ep = 2;
    p.from_node = 5;
    const int seq = gw->send_packet(p);
    ASSERT_LE(0, seq);
    // Our frame layer acknowledges it, and the command goes up.
    ASSERT_TRUE(gw->wait_for_answer(static_cast<uint8_t>(seq), 10s));
    const auto until = steady::now() + 10s;
    for (;;) {
        {
            std::lock_guard lk(n.rx_mtx);
            if (!n.rx.empty())
                break;
        }
        ASSERT_LT(steady::now(), until);
        std::this_thread::sleep_for(5ms);
    }
    std::this_thread::sleep_for(100ms);
    std::lock_guard lk(n.rx_mtx);
    // A command of one byte is not a command.
    ASSERT_EQ(1u, n.rx.size());
    const received &r = n.rx[0];
    EXPECT_EQ((std::vector<uint8_t>{0x25, 0x03, 0xFF}), r.bytes);
    EXPECT_EQ(1, r.hdr.src_ep);
    EXPECT_EQ(2, r.hdr.dst_ep);
    EXPECT_EQ(0, r.hdr.bit_addr);
    EXPECT_TRUE(r.flags & ZIP_RX_FLAG_ACK_REQ);
    EXPECT_NE(std::this_thread::get_id(), r.tid);
    EXPECT_NE(done.at(0).tid, r.tid);
}

// The receive filter is offered every command first, with its data: what it
// consumes never reaches the network, what it passes on does, and so does
// everything once the filter is removed.
TEST_F(ApplSim, ReceiveFilterConsumesOrPassesOn)
{
    ASSERT_NO_FATAL_FAILURE(start());
    recorder done;
    ASSERT_EQ(0, send(0, &done));
    ASSERT_TRUE(done.wait(1, 10s));

    struct offered {
        std::mutex m;
        std::vector<std::vector<uint8_t>> cmds;
    } filtered;
    const appl_rx_filter_fn filter = [](appl_layer_ctx *, void *data, const tpt_sockaddr_t *, const zip_rx_hdr_t *,
                                        const uint8_t *cmd, uint16_t len, uint16_t, uint16_t) {
        auto *o = static_cast<offered *>(data);
        std::lock_guard lk(o->m);
        o->cmds.emplace_back(cmd, cmd + len);
        return cmd[0] == 0x25 ? 1 : 0;
    };
    appl_rx_filter_set(ctx(), filter, &filtered);
    EXPECT_EQ(&filtered, appl_rx_filter_data(ctx(), filter));
    EXPECT_EQ(nullptr, appl_rx_filter_data(ctx(), on_rx_filter_other));

    auto push = [&](std::vector<uint8_t> cmd) {
        sim::own_packet p;
        p.command = std::move(cmd);
        p.ack_request = false;
        ASSERT_LE(0, gw->send_packet(p));
    };
    // Commands go up in order: once the last one is there, the ones before
    // it have been offered.
    auto wait_rx = [&](size_t count) {
        const auto until = steady::now() + 10s;
        for (;;) {
            {
                std::lock_guard lk(n.rx_mtx);
                if (n.rx.size() >= count)
                    return;
            }
            ASSERT_LT(steady::now(), until);
            std::this_thread::sleep_for(5ms);
        }
    };
    push({0x25, 0x03, 0xFF});
    push({0x26, 0x03, 0x10});
    ASSERT_NO_FATAL_FAILURE(wait_rx(1));
    appl_rx_filter_set(ctx(), nullptr, nullptr);
    EXPECT_EQ(nullptr, appl_rx_filter_data(ctx(), filter));
    push({0x25, 0x03, 0x00});
    ASSERT_NO_FATAL_FAILURE(wait_rx(2));

    {
        std::lock_guard lk(filtered.m);
        EXPECT_EQ((std::vector<std::vector<uint8_t>>{{0x25, 0x03, 0xFF}, {0x26, 0x03, 0x10}}), filtered.cmds);
    }
    std::lock_guard lk(n.rx_mtx);
    ASSERT_EQ(2u, n.rx.size());
    EXPECT_EQ((std::vector<uint8_t>{0x26, 0x03, 0x10}), n.rx[0].bytes);
    EXPECT_EQ((std::vector<uint8_t>{0x25, 0x03, 0x00}), n.rx[1].bytes);
}

TEST_F(ApplSim, ReceiveQueueIsBoundedWhileTheNetworkIsBusy)
{
    ASSERT_NO_FATAL_FAILURE(start());
    recorder done;
    ASSERT_EQ(0, send(0, &done));
    ASSERT_TRUE(done.wait(1, 10s));

    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    std::atomic<bool> blocked{false};
    {
        std::lock_guard lk(n.rx_mtx);
        n.on_rx = [&](const received &) {
            if (!blocked.exchange(true))
                gate.wait();
        };
    }
    auto dropped = [&] {
        plt_lock lk(ctx()->ssn.rx_mtx);
        return ctx()->ssn.rx_drop_cnt;
    };
    sim::own_packet p;
    p.command = {0x20, 0x03, 0x00};
    p.ack_request = false;
    // A loaded machine may also lose datagrams in the socket's buffer, so the
    // flood goes on in small rounds until the layer itself has dropped one.
    size_t flood = 0;
    const auto fill_until = steady::now() + 60s;
    while (dropped() == 0 && steady::now() < fill_until) {
        for (int i = 0; i < 32; ++i, ++flood)
            ASSERT_LE(0, gw->send_packet(p));
        std::this_thread::sleep_for(2ms);  // keep within the socket's buffer
    }
    ASSERT_LT(size_t{SSN_RX_Q_MAX}, flood);
    // Until every datagram has been read: no new drop for a while.
    const auto until = steady::now() + 10s;
    uint32_t seen = 0;
    for (;;) {
        std::this_thread::sleep_for(300ms);
        const uint32_t d = dropped();
        if ((d != 0 && d == seen) || steady::now() > until)
            break;
        seen = d;
    }
    release.set_value();
    EXPECT_LE(1u, log_count("receive queue full"));
    // Once the network is back, what was kept is delivered, no more: the
    // command it was busy with and a full queue.
    auto delivered = [&] {
        std::lock_guard lk(n.rx_mtx);
        return n.rx.size();
    };
    const auto deliver_until = steady::now() + 30s;
    while (delivered() < size_t{SSN_RX_Q_MAX} + 1 && steady::now() < deliver_until)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(300ms);  // and nothing after them
    const size_t last = delivered();
    EXPECT_EQ(size_t{SSN_RX_Q_MAX} + 1, last);
    EXPECT_LE(last + dropped(), flood);
    std::lock_guard lk(n.rx_mtx);
    n.on_rx = nullptr;
}

// ---------------------------------------------------------------------------
// Tables (on a running layer, no traffic)
// ---------------------------------------------------------------------------

TEST_F(ApplSim, NodeStatusTable)
{
    ASSERT_NO_FATAL_FAILURE(start());
    struct step {
        uint8_t node, status, notify, sleeping;
        uint8_t expect_node, expect;  // table entry afterwards
        size_t calls;                 // node-status callbacks so far
    };
    const step steps[] = {
        {5, APPL_NODE_STS_DOWN, 1, 0, 5, APPL_NODE_STS_DOWN, 1},
        {5, APPL_NODE_STS_DOWN, 1, 0, 5, APPL_NODE_STS_DOWN, 1},        // no change, no call
        {6, APPL_NODE_STS_SLEEP, 0, 1, 6, APPL_NODE_STS_SLEEP, 1},      // no notify
        {6, APPL_NODE_STS_DOWN, 1, 1, 6, APPL_NODE_STS_SLEEP, 1},       // a sleeping node is not down
        {6, APPL_NODE_STS_FORCE_DOWN, 1, 1, 6, APPL_NODE_STS_DOWN, 2},  // unless forced
        {0, APPL_NODE_STS_DOWN, 1, 0, 1, APPL_NODE_STS_DOWN, 3},        // node 0 is the own node (1)
        {5, APPL_NODE_STS_ALIVE, 1, 0, 1, APPL_NODE_STS_ALIVE, 5},      // node 5 alive revives the own node
        {233, APPL_NODE_STS_DOWN, 1, 0, 5, APPL_NODE_STS_ALIVE, 5},     // out of range: ignored
        {5, 7, 1, 0, 5, APPL_NODE_STS_ALIVE, 5},                        // unknown status: ignored
    };
    for (const step &s : steps) {
        SCOPED_TRACE(testing::Message() << "node " << int(s.node) << " status " << int(s.status));
        if (s.node >= 1 && s.node <= APPL_NODE_MAX)
            appl_node_sleep_flag_set(ctx(), s.node, s.sleeping);
        appl_node_sts_set(ctx(), s.node, s.status, s.notify);
        EXPECT_EQ(s.expect, appl_node_sts_get(ctx(), s.expect_node));
        EXPECT_EQ(s.calls, n.node_sts.size());
    }
    EXPECT_EQ(APPL_NODE_STS_DOWN, appl_node_sts_get(ctx(), 0));
    EXPECT_EQ(APPL_NODE_STS_DOWN, appl_node_sts_get(ctx(), 233));
    uint8_t copy[APPL_NODE_TBL];
    appl_node_sts_copy(ctx(), copy);
    EXPECT_EQ(APPL_NODE_STS_DOWN, copy[6]);
    appl_node_sts_clr(ctx());
    EXPECT_EQ(APPL_NODE_STS_ALIVE, appl_node_sts_get(ctx(), 6));
    // The sleeping flag went too: a down report now counts.
    appl_node_sts_set(ctx(), 6, APPL_NODE_STS_DOWN, 0);
    EXPECT_EQ(APPL_NODE_STS_DOWN, appl_node_sts_get(ctx(), 6));
}

TEST_F(ApplSim, NodeAddressTableComparesOnlyWholeAddressesOfEqualLength)
{
    ASSERT_NO_FATAL_FAILURE(start());
    const uint8_t a4[4] = {10, 0, 0, 7};
    uint8_t a16[16] = {10, 0, 0, 7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    struct set_case {
        uint8_t len, node;
        int rc;
    };
    for (const set_case &s : {set_case{0, 7, 0}, {3, 7, 0}, {5, 7, 0}, {17, 7, 0}, {4, 0, 0}, {4, 234, 0},
                              {4, 233, 1}, {16, 233, 1}, {4, 7, 1}})
        EXPECT_EQ(s.rc, appl_node_ip_set(ctx(), a16, s.len, s.node)) << int(s.len) << " " << int(s.node);
    ASSERT_EQ(1, appl_node_ip_set(ctx(), a4, 4, 7));
    ASSERT_EQ(1, appl_node_ip_set(ctx(), a16, 16, 8));

    uint8_t node = 0;
    EXPECT_EQ(1, appl_ip_to_node(ctx(), a4, 4, &node));
    EXPECT_EQ(7, node);
    EXPECT_EQ(1, appl_ip_to_node(ctx(), a16, 16, &node));
    EXPECT_EQ(8, node);
    // A 16-byte key that begins like node 7's address is not node 7, and
    // node 8's first four bytes are not node 8.
    uint8_t other16[16] = {10, 0, 0, 7};
    EXPECT_EQ(0, appl_ip_to_node(ctx(), other16, 16, &node));
    EXPECT_EQ(0, appl_ip_to_node(ctx(), a16, 0, &node));
    EXPECT_EQ(0, appl_ip_to_node(ctx(), a16, 3, &node));
    // The cached hit goes with the entry.
    EXPECT_EQ(1, appl_ip_to_node(ctx(), a4, 4, &node));
    ASSERT_EQ(1, appl_node_ip_rm(ctx(), 7));
    EXPECT_EQ(0, appl_ip_to_node(ctx(), a4, 4, &node));
    // Node 233 is settable but is no answer of a look-up.
    const uint8_t b4[4] = {10, 0, 0, 99};
    ASSERT_EQ(1, appl_node_ip_set(ctx(), b4, 4, 233));
    EXPECT_EQ(0, appl_ip_to_node(ctx(), b4, 4, &node));
    EXPECT_EQ(0, appl_node_ip_rm(ctx(), 233));
    EXPECT_EQ(0, appl_node_ip_rm(ctx(), 0));
    // An address moved to another node is found there.
    ASSERT_EQ(1, appl_node_ip_set(ctx(), a4, 4, 9));
    EXPECT_EQ(1, appl_ip_to_node(ctx(), a4, 4, &node));
    EXPECT_EQ(9, node);
}

TEST_F(ApplSim, SequenceNumbers)
{
    ASSERT_NO_FATAL_FAILURE(start());
    appl_seq_node_free(ctx(), 255);
    ctx()->seq_cursor = 255;
    EXPECT_EQ(255, appl_seq_alloc(ctx(), 4, 0));
    EXPECT_EQ(0, ctx()->seq_cursor);
    EXPECT_EQ(0, appl_seq_alloc(ctx(), 4, 0));
    EXPECT_EQ(4, appl_seq_node_get(ctx(), 255));
    appl_seq_free(ctx(), 255);
    EXPECT_EQ(255, appl_seq_node_get(ctx(), 255));

    // A node's new held command supersedes its old one.
    const uint8_t held = appl_seq_alloc(ctx(), 9, 1);
    EXPECT_EQ(9, appl_seq_node_get(ctx(), held));
    const uint8_t held2 = appl_seq_alloc(ctx(), 9, 1);
    EXPECT_NE(held, held2);
    EXPECT_EQ(255, appl_seq_node_get(ctx(), held));
    EXPECT_EQ(9, appl_seq_node_get(ctx(), held2));

    // A full table reuses numbers that are not held for a sleeping node.
    for (int i = 0; i < 256; ++i)
        appl_seq_alloc(ctx(), 3, 0);
    ctx()->seq_cursor = held2;
    const uint8_t reused = appl_seq_alloc(ctx(), 2, 0);
    EXPECT_NE(held2, reused);
    EXPECT_EQ(2, appl_seq_node_get(ctx(), reused));
    EXPECT_EQ(9, appl_seq_node_get(ctx(), held2));
    appl_seq_node_free(ctx(), 3);
    EXPECT_EQ(2, appl_seq_node_get(ctx(), reused));
    appl_seq_node_free(ctx(), 255);
    EXPECT_EQ(255, appl_seq_node_get(ctx(), held2));
}

// ---------------------------------------------------------------------------
// At the real 100 ms tick
// ---------------------------------------------------------------------------

class ApplSimRealTime : public ApplSim {};

TEST_F(ApplSimRealTime, ResendAfter2500msAndNoAckAfter5000ms)
{
    config c;
    c.tick_ms = 100;
    ASSERT_NO_FATAL_FAILURE(start(c));
    gw->policy().push_next(behaviour::drop_first());
    gw->policy().push_next(behaviour::silent());
    recorder a, b;
    const std::vector<uint8_t> ca{0x20, 0x01, 0x30}, cb{0x20, 0x01, 0x31};
    ASSERT_EQ(0, send(0, &a, ca));
    ASSERT_TRUE(a.wait(1, 15s));
    EXPECT_EQ(0, a.at(0).status);
    auto fa = wait_frame(ca, 10s);
    ASSERT_TRUE(fa);
    auto sent = copies(fa->frame.packet.seq);
    ASSERT_EQ(2u, sent.size());
    // The simulator notes each copy when it reads it, so the gap has the
    // same two ticks of slack as every other; the upper bound only catches a
    // lost timer, as a loaded machine may run any thread late.
    EXPECT_GE(sent[1].time - sent[0].time, early(2500));
    EXPECT_LE(sent[1].time - sent[0].time, 2500ms + 3000ms);

    const auto t0 = steady::now();
    ASSERT_EQ(0, send(0, &b, cb));
    ASSERT_TRUE(b.wait(1, 15s));
    EXPECT_EQ(ZIP_ERR_NO_ACK, b.at(0).status);
    EXPECT_GE(b.at(0).time - t0, 4900ms);
    EXPECT_LE(b.at(0).time - t0, 5000ms + 4000ms);
}

TEST_F(ApplSimRealTime, SecondSenderGivesUpAfter5200ms)
{
    config c;
    c.tick_ms = 100;
    c.reply_wait_ms = 20000;
    ASSERT_NO_FATAL_FAILURE(start(c));
    recorder first, second;
    ASSERT_EQ(0, send(0, &first, {0x34, 0x0D, 0x01, 0x05, 0x01}, 1));
    ASSERT_TRUE(first.wait(1, 10s));
    const auto t0 = steady::now();
    EXPECT_EQ(ZIP_ERR_APPL_BUSY, send(0, &second, {0x20, 0x01, 0x40}));
    EXPECT_GE(steady::now() - t0, 5150ms);
    EXPECT_LE(steady::now() - t0, 5200ms + 4000ms);
    appl_nm_sts_wait_clr(ctx());
}

}  // namespace
