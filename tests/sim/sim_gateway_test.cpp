// The gateway simulator on real loopback UDP, driven by a bare socket client
// (not the project's Z/IP client, which the simulator exists to check).
#include "sim_test_support.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;
using bytes = std::vector<uint8_t>;
using sim::endpoint;
using clk = std::chrono::steady_clock;

constexpr auto answer_wait = 2000ms; // generous: the suite also runs under TSan
constexpr auto quiet_wait = 300ms;

using sim_test::raw_client;

// ack-requested packet with a command: seq, source endpoint 2, destination endpoint 3
bytes packet(uint8_t seq, bytes command = {0x25, 0x02}, uint8_t flags1_extra = 0)
{
    bytes b = {0x23, 0x02, 0x80, static_cast<uint8_t>(0x40 | flags1_extra), seq, 0x02, 0x03};
    for (uint8_t c : command) // not insert(): g++ 12 warns falsely on it at -O2
        b.push_back(c);
    return b;
}

bytes ack_of(uint8_t seq, uint8_t flags1 = 0x00) { return {0x23, 0x02, 0x40, flags1, seq, 0x03, 0x02}; }

std::string hex(const bytes &b) { return sim::hex_text(b); }

class SimGateway : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::gateway_config cfg;
        cfg.port = 0;
        cfg.nodes = {{5, {}}, {7, {}}};
        gw = std::make_unique<sim::gateway>(cfg);
        ASSERT_EQ(gw->start(), 0) << gw->last_error();
        gw_ep = gw->address();
    }

    // Sends `b` and expects exactly `want` back from `from`.
    void expect_answer(const bytes &b, const bytes &want, const endpoint &from)
    {
        client.send(to, b);
        auto got = client.recv(answer_wait);
        ASSERT_TRUE(got) << "no answer to " << hex(b);
        EXPECT_EQ(hex(got->data), hex(want));
        EXPECT_EQ(got->from, from);
    }

    void expect_quiet(std::chrono::milliseconds w = quiet_wait)
    {
        auto got = client.recv(w);
        EXPECT_FALSE(got) << "unexpected " << hex(got->data);
    }

    std::unique_ptr<sim::gateway> gw;
    endpoint gw_ep;
    endpoint &to = gw_ep;
    raw_client client;
};

TEST_F(SimGateway, AcknowledgesWithSequenceAndSwappedEndpoints)
{
    struct ack_case {
        const char *name;
        bytes in;
        bytes want;
    };
    const ack_case cases[] = {
        {"plain", packet(0x11), ack_of(0x11)},
        {"secure origin echoed", packet(0x12, {0x25, 0x02}, 0x10), ack_of(0x12, 0x10)},
        // bit-address destination mask 0x05: the answer's source is the mask value, no bit-address
        {"bit address", {0x23, 0x02, 0x80, 0x40, 0x13, 0x01, 0x85, 0x20, 0x02}, {0x23, 0x02, 0x40, 0x00, 0x13, 0x05, 0x01}},
        {"header only", {0x23, 0x02, 0x80, 0x00, 0x14, 0x00, 0x00}, {0x23, 0x02, 0x40, 0x00, 0x14, 0x00, 0x00}},
    };
    for (const ack_case &c : cases) {
        SCOPED_TRACE(c.name);
        expect_answer(c.in, c.want, gw_ep);
    }

    auto rx = gw->received();
    ASSERT_EQ(rx.size(), 4u);
    EXPECT_EQ(hex(rx[0].bytes), hex(packet(0x11)));
    EXPECT_EQ(rx[0].peer, client.local());
    EXPECT_EQ(rx[0].local, gw_ep);
    EXPECT_EQ(rx[0].node_id, 0);
    EXPECT_EQ(rx[0].applied, sim::reply::ack);
    EXPECT_EQ(rx[0].copy, 1u);
    EXPECT_EQ(rx[0].frame.packet.seq, 0x11);
    for (size_t i = 1; i < rx.size(); i++) {
        EXPECT_EQ(rx[i].index, rx[i - 1].index + 1);
        EXPECT_GE(rx[i].time, rx[i - 1].time);
    }
    auto tx = gw->sent();
    ASSERT_EQ(tx.size(), 4u);
    EXPECT_EQ(hex(tx[0].bytes), hex(ack_of(0x11)));
    EXPECT_EQ(tx[0].peer, client.local());
    EXPECT_EQ(gw->last_client(), client.local());
}

TEST_F(SimGateway, DropFirstAcknowledgesTheResendOnly)
{
    gw->policy().push_next(sim::behaviour::drop_first());
    client.send(to, packet(0x20));
    expect_quiet();
    expect_answer(packet(0x20), ack_of(0x20), gw_ep);
    // the rule was used up by that frame: the next frame is acknowledged at once
    expect_answer(packet(0x21), ack_of(0x21), gw_ep);

    auto rx = gw->received();
    ASSERT_EQ(rx.size(), 3u);
    EXPECT_EQ(rx[0].applied, sim::reply::drop_first);
    EXPECT_EQ(rx[0].copy, 1u);
    EXPECT_EQ(rx[1].applied, sim::reply::drop_first);
    EXPECT_EQ(rx[1].copy, 2u);
    EXPECT_EQ(rx[2].applied, sim::reply::ack);
}

TEST_F(SimGateway, ResendWithOtherBytesIsANewFrame)
{
    gw->policy().push_next(sim::behaviour::drop_first());
    client.send(to, packet(0x22, {0x25, 0x02}));
    expect_quiet();
    // same sequence number, other command: not a copy, so the default (ack) holds
    expect_answer(packet(0x22, {0x25, 0x01, 0x00}), ack_of(0x22), gw_ep);
    EXPECT_EQ(gw->received()[1].copy, 1u);
}

TEST_F(SimGateway, SilentNeverAnswersAndRulesBySequenceWin)
{
    gw->policy().push_next(sim::behaviour::nack());
    gw->policy().set_for_seq(0x31, sim::behaviour::silent());
    client.send(to, packet(0x31));
    expect_quiet();
    client.send(to, packet(0x31));
    expect_quiet();
    // the "next" rule is still queued and goes to the following frame
    expect_answer(packet(0x32), {0x23, 0x02, 0x20, 0x00, 0x32, 0x03, 0x02}, gw_ep);
    EXPECT_EQ(gw->policy().pending_rules(), 0u);
    expect_answer(packet(0x33), ack_of(0x33), gw_ep);
}

TEST_F(SimGateway, NextRulesAreUsedInOrderThenTheDefault)
{
    gw->policy().set_default(sim::behaviour::nack());
    gw->policy().push_next(sim::behaviour::ack());
    gw->policy().push_next(sim::behaviour::silent());
    expect_answer(packet(0x40), ack_of(0x40), gw_ep);
    client.send(to, packet(0x41));
    expect_quiet();
    expect_answer(packet(0x42), {0x23, 0x02, 0x20, 0x00, 0x42, 0x03, 0x02}, gw_ep);
    gw->policy().reset();
    expect_answer(packet(0x43), ack_of(0x43), gw_ep);
}

TEST_F(SimGateway, NackWaitingWithDelayOptionThenLateAck)
{
    gw->policy().push_next(sim::behaviour::nack_waiting(3, 400ms));
    const auto t0 = clk::now();
    expect_answer(packet(0x50), {0x23, 0x02, 0x30, 0x80, 0x50, 0x03, 0x02, 0x06, 0x01, 0x03, 0x00, 0x00, 0x03},
                  gw_ep);
    auto ack = client.recv(answer_wait + 400ms);
    ASSERT_TRUE(ack);
    EXPECT_GE(clk::now() - t0, 390ms);
    EXPECT_EQ(hex(ack->data), hex(ack_of(0x50)));
}

TEST_F(SimGateway, NackWaitingWithoutOptionOrFinalAck)
{
    gw->policy().push_next(sim::behaviour::nack_waiting(std::nullopt));
    expect_answer(packet(0x51), {0x23, 0x02, 0x30, 0x00, 0x51, 0x03, 0x02}, gw_ep);
    expect_quiet(500ms);
}

TEST_F(SimGateway, LateAckComesAfterTheDelayOnce)
{
    gw->policy().push_next(sim::behaviour::late_ack(400ms));
    const auto t0 = clk::now();
    client.send(to, packet(0x52));
    // a resend while the late ack is pending gets no second answer
    std::this_thread::sleep_for(100ms);
    client.send(to, packet(0x52));
    auto got = client.recv(answer_wait);
    ASSERT_TRUE(got);
    EXPECT_GE(clk::now() - t0, 390ms);
    EXPECT_EQ(hex(got->data), hex(ack_of(0x52)));
    expect_quiet();
}

TEST_F(SimGateway, AckFromAThirdAddress)
{
    gw->policy().push_next(sim::behaviour::ack_from("127.0.0.254"));
    client.send(to, packet(0x60));
    auto got = client.recv(answer_wait);
    ASSERT_TRUE(got);
    EXPECT_EQ(hex(got->data), hex(ack_of(0x60)));
    EXPECT_EQ(got->from.address, "127.0.0.254");
    auto tx = gw->sent();
    ASSERT_EQ(tx.size(), 1u);
    EXPECT_EQ(tx[0].local.address, "127.0.0.254");
    EXPECT_EQ(tx[0].node_id, sim::foreign_node_id);
}

TEST_F(SimGateway, NodeSocketsAnswerFromTheirOwnAddress)
{
    std::mutex mu;
    std::vector<std::pair<int, std::string>> handled; // node id, local address
    gw->on_command(0x25, 0x02, [&](const sim::command_context &ctx) -> std::optional<std::vector<sim::command_reply>> {
        std::lock_guard lock(mu);
        handled.emplace_back(ctx.node_id, ctx.local_address);
        return std::vector<sim::command_reply>{};
    });
    auto node5 = gw->node(5);
    ASSERT_TRUE(node5);
    EXPECT_EQ(node5->address, "127.0.0.5");
    EXPECT_EQ(node5->port, gw_ep.port);
    EXPECT_FALSE(gw->node(9));

    client.send(*node5, packet(0x70));
    auto got = client.recv(answer_wait);
    ASSERT_TRUE(got);
    EXPECT_EQ(hex(got->data), hex(ack_of(0x70)));
    EXPECT_EQ(got->from, *node5);
    auto rx = gw->wait_for([](const sim::recorded_frame &r) { return r.node_id == 5; }, answer_wait);
    ASSERT_TRUE(rx);
    EXPECT_EQ(rx->local, *node5);
    {
        std::lock_guard lock(mu);
        ASSERT_EQ(handled.size(), 1u);
        EXPECT_EQ(handled[0], std::make_pair(5, std::string("127.0.0.5")));
    }

    // a node added at run time answers too
    ASSERT_EQ(gw->add_node(9), 0) << gw->last_error();
    client.send(*gw->node(9), packet(0x71));
    got = client.recv(answer_wait);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->from.address, "127.0.0.9");
    EXPECT_EQ(gw->add_node(9), -EEXIST);
}

TEST_F(SimGateway, UnknownCriticalOptionIsRefusedWithAnOptionError)
{
    std::atomic<int> calls{0};
    gw->on_command(0x25, sim::any_command, [&](const sim::command_context &) {
        calls++;
        return std::optional<std::vector<sim::command_reply>>{std::vector<sim::command_reply>{}};
    });
    struct option_case {
        const char *name;
        bytes ext;
        bytes want;
        int calls_after;
    };
    const option_case cases[] = {
        {"unknown critical 0x85", {0x05, 0x85, 0x02, 0xAA, 0xBB},
         {0x23, 0x02, 0x24, 0x80, 0x80, 0x03, 0x02, 0x05, 0x85, 0x02, 0xAA, 0xBB}, 0},
        {"known critical 0x84", {0x05, 0x84, 0x02, 0x00, 0x01}, ack_of(0x80), 1},
        {"unknown, not critical", {0x04, 0x06, 0x01, 0x00}, ack_of(0x80), 2},
        {"second option refused", {0x07, 0x84, 0x02, 0x00, 0x01, 0x87, 0x00},
         {0x23, 0x02, 0x24, 0x80, 0x80, 0x03, 0x02, 0x03, 0x87, 0x00}, 2},
    };
    uint8_t seq = 0x80;
    for (const option_case &c : cases) {
        SCOPED_TRACE(c.name);
        bytes in = {0x23, 0x02, 0x80, 0xC0, seq, 0x02, 0x03};
        in.insert(in.end(), c.ext.begin(), c.ext.end());
        in.insert(in.end(), {0x25, 0x02});
        bytes want = c.want;
        want[4] = seq;
        expect_answer(in, want, gw_ep); // handlers run before the ACK leaves
        EXPECT_EQ(calls.load(), c.calls_after);
        seq++;
    }
}

TEST_F(SimGateway, HandlerAnswersAGetWithAReport)
{
    gw->on_command(0x25, 0x02, [](const sim::command_context &) {
        return std::optional<std::vector<sim::command_reply>>{{{{0x25, 0x03, 0x00}}}};
    });
    // newer handler first; std::nullopt passes the command on to the older one
    std::atomic<int> passes{0};
    gw->on_command(0x25, sim::any_command, [&](const sim::command_context &) {
        passes++;
        return std::optional<std::vector<sim::command_reply>>{};
    });

    expect_answer(packet(0x90, {0x25, 0x02}, 0x10), ack_of(0x90, 0x10), gw_ep);
    auto report = client.recv(answer_wait);
    ASSERT_TRUE(report);
    auto f = sim::parse_frame(report->data.data(), report->data.size());
    ASSERT_EQ(f.kind, sim::frame_kind::packet);
    EXPECT_FALSE(f.packet.ack_request());
    EXPECT_TRUE(f.packet.secure());
    EXPECT_EQ(f.packet.src_ep, 3);
    EXPECT_EQ(f.packet.dst_ep(), 2);
    EXPECT_EQ(hex(f.packet.command), "25 03 00");
    EXPECT_EQ(passes.load(), 1);

    // a packet that asks for no ACK gets only the report
    client.send(to, {0x23, 0x02, 0x00, 0x40, 0x91, 0x00, 0x00, 0x25, 0x02});
    report = client.recv(answer_wait);
    ASSERT_TRUE(report);
    EXPECT_EQ(sim::parse_frame(report->data.data(), report->data.size()).packet.command, (bytes{0x25, 0x03, 0x00}));
    expect_quiet();
}

TEST_F(SimGateway, HandlerRunsOncePerFrameAndOnlyWhenAccepted)
{
    std::atomic<int> calls{0};
    gw->on_command(0x25, 0x02, [&](const sim::command_context &) {
        calls++;
        return std::optional<std::vector<sim::command_reply>>{{{{0x25, 0x03, 0xFF}, false, 200ms}}};
    });
    gw->policy().push_next(sim::behaviour::drop_first());
    gw->policy().push_next(sim::behaviour::nack());
    client.send(to, packet(0xA0));
    expect_quiet();
    EXPECT_EQ(calls.load(), 0);
    const auto t0 = clk::now();
    expect_answer(packet(0xA0), ack_of(0xA0), gw_ep);
    auto report = client.recv(answer_wait);
    ASSERT_TRUE(report);
    EXPECT_GE(clk::now() - t0, 190ms); // the reply's own delay
    EXPECT_EQ(calls.load(), 1);
    // NACKed: the gateway refused the command
    expect_answer(packet(0xA1), {0x23, 0x02, 0x20, 0x00, 0xA1, 0x03, 0x02}, gw_ep);
    expect_quiet(400ms);
    EXPECT_EQ(calls.load(), 1);
}

TEST_F(SimGateway, OwnAckRequestedPacketAndTheClientsAck)
{
    EXPECT_EQ(gw->send_packet({}), -ENOTCONN); // nobody heard from yet

    sim::own_packet p;
    p.command = {0x20, 0x01, 0xFF};
    p.src_ep = 1;
    p.dst_ep = 2;
    p.secure = true;
    p.seq = 0x33;
    p.to = client.local();
    ASSERT_EQ(gw->send_packet(p), 0x33);
    auto got = client.recv(answer_wait);
    ASSERT_TRUE(got);
    EXPECT_EQ(hex(got->data), "23 02 80 50 33 01 02 20 01 FF");
    EXPECT_EQ(got->from, gw_ep);

    const uint64_t mark = gw->next_index();
    client.send(to, {0x23, 0x02, 0x40, 0x10, 0x33, 0x02, 0x01});
    auto ack = gw->wait_for_answer(0x33, answer_wait, mark);
    ASSERT_TRUE(ack);
    EXPECT_EQ(hex(ack->bytes), "23 02 40 10 33 02 01");
    EXPECT_FALSE(ack->applied); // an answer is never answered
    expect_quiet();

    // from a node's address, to the last client, with the simulator's own sequence numbers
    sim::own_packet q;
    q.command = {0x71, 0x05};
    q.from_node = 7;
    int s1 = gw->send_packet(q);
    ASSERT_GE(s1, 0);
    got = client.recv(answer_wait);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->from.address, "127.0.0.7");
    EXPECT_EQ(got->data[4], s1);
    EXPECT_EQ(gw->send_packet(q), (s1 + 1) & 0xFF);
    q.from_node = 9;
    EXPECT_EQ(gw->send_packet(q), -ENOENT);
}

TEST_F(SimGateway, KeepAlivesBothWays)
{
    ASSERT_EQ(gw->send_keep_alive(0, client.local()), 0);
    auto got = client.recv(answer_wait);
    ASSERT_TRUE(got);
    EXPECT_EQ(hex(got->data), "23 03 80");
    client.send(to, {0x23, 0x03, 0x40});
    ASSERT_TRUE(gw->wait_for_keep_alive_ack(answer_wait));

    expect_answer({0x23, 0x03, 0x80}, {0x23, 0x03, 0x40}, gw_ep);
    gw->set_answer_keep_alives(false);
    client.send(to, {0x23, 0x03, 0x80});
    expect_quiet();
    EXPECT_EQ(gw->received().size(), 3u);
}

TEST_F(SimGateway, MalformedFramesAreRecordedAndNotAnswered)
{
    struct bad_case {
        bytes in;
        sim::parse_error error;
    };
    const bad_case cases[] = {
        {{0x23, 0x02, 0x80, 0x40, 0x01}, sim::parse_error::too_short},
        {{0x23, 0x02, 0x80, 0x40, 0x02, 0x00, 0x00}, sim::parse_error::no_command},
        {{0x23, 0x02, 0x80, 0xC0, 0x03, 0x00, 0x00, 0x09, 0x84, 0x02}, sim::parse_error::bad_ext_length},
        {{0x23, 0x02, 0x80, 0xC0, 0x04, 0x00, 0x00, 0x03, 0x84, 0x02, 0x25}, sim::parse_error::bad_option},
        {bytes(1500, 0x23), sim::parse_error::too_long},
    };
    for (const bad_case &c : cases)
        client.send(to, c.in);
    expect_quiet();
    // still alive
    expect_answer(packet(0x05), ack_of(0x05), gw_ep);

    auto rx = gw->received();
    ASSERT_EQ(rx.size(), std::size(cases) + 1);
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rx[i].frame.kind, sim::frame_kind::malformed);
        EXPECT_EQ(rx[i].frame.error, cases[i].error);
        EXPECT_EQ(rx[i].bytes.size(), cases[i].in.size()); // recorded whole
        EXPECT_FALSE(rx[i].applied);
    }
}

TEST_F(SimGateway, WaitForHonoursTheMarkAndTheTimeout)
{
    client.send(to, packet(0xB0, {0x25, 0x02}));
    ASSERT_TRUE(gw->wait_for_command(0x25, 0x02, answer_wait));
    const uint64_t mark = gw->next_index();
    // already recorded, but before the mark
    const auto t0 = clk::now();
    EXPECT_FALSE(gw->wait_for_command(0x25, 0x02, 200ms, mark));
    EXPECT_GE(clk::now() - t0, 190ms);

    std::thread later([&] {
        std::this_thread::sleep_for(100ms);
        client.send(to, packet(0xB1, {0x25, 0x02}));
    });
    auto r = gw->wait_for_command(0x25, 0x02, answer_wait, mark);
    later.join();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->frame.packet.seq, 0xB1);
    EXPECT_EQ(r->index, mark);

    gw->clear_records();
    EXPECT_TRUE(gw->received().empty());
    EXPECT_EQ(gw->next_index(), mark + 1);
}

TEST_F(SimGateway, ObserverSeesEveryFrameInBothDirections)
{
    std::mutex mu;
    std::vector<sim::direction> seen;
    gw->set_observer([&](const sim::recorded_frame &r) {
        std::lock_guard lock(mu);
        seen.push_back(r.dir);
    });
    expect_answer(packet(0xC0), ack_of(0xC0), gw_ep);
    // the observer of a sent frame may run just after the datagram arrived
    for (int i = 0; i < 200; i++) {
        {
            std::lock_guard lock(mu);
            if (seen.size() >= 2)
                break;
        }
        std::this_thread::sleep_for(10ms);
    }
    std::lock_guard lock(mu);
    EXPECT_EQ(seen, (std::vector<sim::direction>{sim::direction::received, sim::direction::sent}));
}

TEST(SimGatewayLife, StartFailsOnABusyPortAndStopIsClean)
{
    raw_client squatter("127.0.0.1");
    sim::gateway_config cfg;
    cfg.port = squatter.local().port;
    sim::gateway busy(cfg);
    EXPECT_EQ(busy.start(), -EADDRINUSE);
    EXPECT_NE(busy.last_error().find("bind"), std::string::npos);
    EXPECT_FALSE(busy.running());

    sim::gateway_config ok;
    ok.port = 0;
    ok.nodes = {{6, {}}};
    auto gw = std::make_unique<sim::gateway>(ok);
    ASSERT_EQ(gw->start(), 0);
    EXPECT_EQ(gw->start(), -EALREADY);
    const uint16_t port = gw->port();
    // a late answer still pending at stop is dropped, not run on a dead object
    gw->policy().set_default(sim::behaviour::late_ack(5000ms));
    raw_client c;
    c.send(gw->address(), packet(0x01));
    ASSERT_TRUE(gw->wait_for_command(0x25, 0x02, answer_wait));
    gw->stop();
    gw->stop();
    EXPECT_FALSE(gw->running());
    EXPECT_EQ(gw->send_keep_alive(0, c.local()), -ENOTCONN);
    gw.reset();

    // the port and the node address are free again
    sim::gateway_config again;
    again.port = port;
    again.nodes = {{6, {}}};
    sim::gateway gw2(again);
    EXPECT_EQ(gw2.start(), 0) << gw2.last_error();
}

} // namespace
