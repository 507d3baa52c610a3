// Frame layer and UDP transport against the gateway simulator over real
// loopback UDP. Most tests run with a 10 ms tick (the 2500 ms resend interval
// becomes 250 ms); the RealTime tests run at the real 100 ms tick.
#include "frm_test_support.h"

#include "sim/sim_gateway.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace frm_test;
using sim::behaviour;

constexpr unsigned fast_tick_ms = 10;

std::string hex(const std::vector<uint8_t> &v) { return sim::hex_text(v); }

bool eventually_log(const std::string &part, std::chrono::milliseconds limit = 5000ms)
{
    const auto end = steady::now() + limit;
    while (!log_has(part)) {
        if (steady::now() > end)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

class FrameSim : public ::testing::Test {
protected:
    void SetUp() override { start_all({}); }
    void start_all(std::vector<sim::node_address> nodes, unsigned tick_ms = fast_tick_ms)
    {
        log_clear();
        sim::gateway_config cfg;
        cfg.port = 0;
        cfg.nodes = std::move(nodes);
        gw = std::make_unique<sim::gateway>(cfg);
        ASSERT_EQ(0, gw->start()) << gw->last_error();
        ASSERT_EQ(0, host.start("127.0.0.1", tick_ms));
        ASSERT_NE(0, host.port());
        me = {"127.0.0.1", host.port()};
    }
    void TearDown() override
    {
        host.stop();
        if (gw)
            gw->stop();
    }
    tpt_sockaddr_t gw_addr() const { return v4_addr("127.0.0.1", gw->port()); }
    // Received ACK-requested copies of our frame `seq`.
    size_t copies(uint8_t seq) const
    {
        size_t n = 0;
        for (const sim::recorded_frame &r : gw->received())
            if (r.frame.kind == sim::frame_kind::packet && r.frame.packet.ack_request() && r.frame.packet.seq == seq)
                ++n;
        return n;
    }
    std::vector<sim::recorded_frame> copies_of(uint8_t seq) const
    {
        std::vector<sim::recorded_frame> out;
        for (const sim::recorded_frame &r : gw->received())
            if (r.frame.kind == sim::frame_kind::packet && r.frame.packet.ack_request() && r.frame.packet.seq == seq)
                out.push_back(r);
        return out;
    }
    std::chrono::milliseconds interval() const { return std::chrono::milliseconds(host.scaled(FRM_RETX_MS)); }

    std::unique_ptr<sim::gateway> gw;
    frame_host host;
    sim::endpoint me;
};

// ---------------------------------------------------------------------------
// Answers to an acknowledged frame, one row per gateway behaviour
// ---------------------------------------------------------------------------

struct answer_case {
    const char *name;
    behaviour b;
    uint8_t final_status;    // the matched result that ends the frame
    size_t copies;           // how often the frame went out
    size_t unmatched;        // results reported as not ours before it
    double min_intervals;    // the matched result not before this many resend intervals
};

class FrameAnswers : public FrameSim, public ::testing::WithParamInterface<answer_case> {};

TEST_P(FrameAnswers, EndsWithTheRightStatus)
{
    const answer_case &c = GetParam();
    gw->policy().push_next(c.b);
    const uint8_t seq = 0x31;
    const auto sent_at = steady::now();
    ASSERT_EQ(0, host.send(gw_addr(), {0x25, 0x01, 0xFF}, seq));

    std::optional<tx_event> last;
    for (size_t n = 1; n <= c.unmatched + 1; ++n) {
        last = host.wait_tx(n);
        ASSERT_TRUE(last) << "result " << n << " missing";
        EXPECT_EQ(seq, last->seq);
        if (n <= c.unmatched) {
            EXPECT_EQ(0, last->matched) << "an answer from a third address completed the frame";
        }
    }
    EXPECT_EQ(c.final_status, last->status);
    EXPECT_EQ(1, last->matched);
    EXPECT_GE(last->time - sent_at, interval() * c.min_intervals * 0.9);
    // Nothing more is reported and nothing more is sent afterwards.
    std::this_thread::sleep_for(interval() * 2.5);
    EXPECT_EQ(c.unmatched + 1, host.tx().size());
    EXPECT_EQ(c.copies, copies(seq));
    // The frame is no longer pending: the next acknowledged send is taken.
    gw->policy().reset();
    EXPECT_EQ(0, host.send(gw_addr(), {0x20, 0x02}, seq + 1));
    auto next = host.wait_tx(c.unmatched + 2);
    ASSERT_TRUE(next);
    EXPECT_EQ(FRM_STS_ACK, next->status);
}

INSTANTIATE_TEST_SUITE_P(
    Behaviours, FrameAnswers,
    ::testing::Values(
        answer_case{"ack", behaviour::ack(), FRM_STS_ACK, 1, 0, 0},
        answer_case{"nack", behaviour::nack(), FRM_STS_NACK, 1, 0, 0},
        answer_case{"drop_first", behaviour::drop_first(), FRM_STS_ACK, 2, 0, 1},
        answer_case{"silent", behaviour::silent(), FRM_STS_NO_ACK, 2, 0, 2},
        // Expected delay above the resend interval: the gateway keeps it, we report and forget it.
        answer_case{"nack_waiting_3s", behaviour::nack_waiting(3), FRM_STS_NACK_WAIT, 1, 0, 0},
        // Short or no delay: held, never resent, no ACK after two intervals.
        answer_case{"nack_waiting_2s", behaviour::nack_waiting(2), FRM_STS_NO_ACK, 1, 0, 2},
        answer_case{"nack_waiting", behaviour::nack_waiting(std::nullopt), FRM_STS_NO_ACK, 1, 0, 2},
        // Waiting extended by the NACK, then the late ACK completes it.
        answer_case{"nack_waiting_then_ack", behaviour::nack_waiting(std::nullopt, 350ms), FRM_STS_ACK, 1, 0, 1},
        answer_case{"late_ack_after_resend", behaviour::late_ack(350ms), FRM_STS_ACK, 2, 0, 1},
        // Every copy is acknowledged from 127.0.0.254: reported as not ours, frame still times out.
        answer_case{"ack_from_third_address", behaviour::ack_from("127.0.0.254"), FRM_STS_NO_ACK, 2, 2, 2}),
    [](const ::testing::TestParamInfo<answer_case> &i) { return std::string(i.param.name); });

TEST_F(FrameSim, AnswerFromThirdAddressIsReportedWithItsSource)
{
    gw->policy().push_next(behaviour::ack_from("127.0.0.254"));
    ASSERT_EQ(0, host.send(gw_addr(), {0x25, 0x02}, 0x40));
    auto first = host.wait_tx(1);
    ASSERT_TRUE(first);
    EXPECT_EQ(FRM_STS_ACK, first->status);
    EXPECT_EQ(0, first->matched);
    EXPECT_EQ("127.0.0.254", first->src);
    // Still pending: a second acknowledged frame is refused.
    EXPECT_EQ(ZIP_ERR_FRM_BUSY, host.send(gw_addr(), {0x25, 0x02}, 0x41));
}

TEST_F(FrameSim, ResendIsTheSameFrameOneIntervalLater)
{
    gw->policy().push_next(behaviour::drop_first());
    ASSERT_EQ(0, host.send(gw_addr(), {0x25, 0x01, 0x00}, 0x50));
    ASSERT_TRUE(host.wait_tx(1));
    auto c = copies_of(0x50);
    ASSERT_EQ(2u, c.size());
    EXPECT_EQ(c[0].bytes, c[1].bytes);
    auto gap = c[1].time - c[0].time;
    // One tick of resolution; the simulator notes each copy when its thread
    // reads it, which on a loaded machine may be late for the first.
    EXPECT_GE(gap, interval() - std::chrono::milliseconds(2 * fast_tick_ms) - std::chrono::milliseconds(100));
    EXPECT_LE(gap, interval() * 2 + std::chrono::milliseconds(2000));
}

TEST_F(FrameSim, BusyWhileAFrameIsPending)
{
    gw->policy().push_next(behaviour::silent());
    ASSERT_EQ(0, host.send(gw_addr(), {0x25, 0x01, 0xFF}, 1));
    EXPECT_EQ(ZIP_ERR_FRM_BUSY, host.send(gw_addr(), {0x25, 0x01, 0x00}, 2));
    // Frames that ask for no ACK still go out.
    EXPECT_EQ(0, host.send(gw_addr(), {0x20, 0x01, 0x00}, 3, 0));
    ASSERT_TRUE(gw->wait_for([](const sim::recorded_frame &r) { return r.frame.packet.seq == 3; }, 2000ms));
    EXPECT_EQ(0u, copies(2));
}

TEST_F(FrameSim, GatewayPacketWithThePendingNumberStopsTheResend)
{
    // Any packet of the gateway under our number shows the frame arrived.
    gw->policy().push_next(behaviour::silent());
    ASSERT_EQ(0, host.send(gw_addr(), {0x25, 0x01, 0xFF}, 0x66));
    ASSERT_TRUE(gw->wait_for([](const sim::recorded_frame &r) { return r.frame.packet.seq == 0x66; }, 2000ms));
    sim::own_packet p;
    p.ack_request = false;
    p.seq = 0x66;
    p.command = {0x25, 0x03, 0x00};
    p.to = me;
    ASSERT_EQ(0x66, gw->send_packet(p));
    auto r = host.wait_tx(1);
    ASSERT_TRUE(r);
    EXPECT_EQ(FRM_STS_NO_ACK, r->status);
    EXPECT_EQ(1u, copies(0x66));
}

TEST_F(FrameSim, ManyFramesInARowLeaveNoStrayTimer)
{
    constexpr int count = 40;
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(0, host.send(gw_addr(), {0x25, 0x01, static_cast<uint8_t>(i)}, static_cast<uint8_t>(i)));
        auto r = host.wait_tx(i + 1);
        ASSERT_TRUE(r);
        ASSERT_EQ(FRM_STS_ACK, r->status);
    }
    std::this_thread::sleep_for(interval() * 3);
    EXPECT_EQ(static_cast<size_t>(count), host.tx().size());
    for (int i = 0; i < count; ++i)
        EXPECT_EQ(1u, copies(static_cast<uint8_t>(i))) << "frame " << i << " resent";
}

// ---------------------------------------------------------------------------
// Building: the bytes on the wire
// ---------------------------------------------------------------------------

struct build_case {
    const char *name;
    uint16_t flags;
    uint8_t seq, src_ep, dst_ep, bit_addr;
    uint16_t fmt;
    std::vector<uint8_t> data;
    std::vector<uint8_t> wire;
};

class FrameBuild : public FrameSim, public ::testing::WithParamInterface<build_case> {};

TEST_P(FrameBuild, WireBytes)
{
    const build_case &c = GetParam();
    zip_frm_req_t r{};
    const tpt_sockaddr_t dst = gw_addr();
    r.dst = &dst;
    r.data = c.data.empty() ? nullptr : c.data.data();
    r.len = static_cast<uint16_t>(c.data.size());
    r.flags = c.flags;
    r.encap_fmt = c.fmt;
    r.seq = c.seq;
    r.src_ep = c.src_ep;
    r.dst_ep = c.dst_ep;
    r.bit_addr = c.bit_addr;
    ASSERT_EQ(0, frm_cmd_snd(host.ctx(), &r));
    auto got = gw->wait_for([&](const sim::recorded_frame &f) { return f.bytes.size() > 4 && f.bytes[4] == c.seq; },
                            2000ms);
    ASSERT_TRUE(got);
    EXPECT_EQ(hex(c.wire), hex(got->bytes));
}

INSTANTIATE_TEST_SUITE_P(
    Packets, FrameBuild,
    ::testing::Values(
        build_case{"ack_request", ZIP_FRM_ACK_REQ, 0x07, 0, 0, 0, 0, {0x25, 0x01, 0xFF},
                   {0x23, 0x02, 0x80, 0x40, 0x07, 0x00, 0x00, 0x25, 0x01, 0xFF}},
        build_case{"secure_more_info_bit_address", ZIP_FRM_SECURE | ZIP_FRM_MORE_INFO, 0x09, 1, 3, 1, 0, {0x20, 0x02},
                   {0x23, 0x02, 0x00, 0x70, 0x09, 0x01, 0x83, 0x20, 0x02}},
        build_case{"encapsulation_format", ZIP_FRM_ENCAP, 0x0A, 0, 2, 0, 0x0102, {0x25, 0x02},
                   {0x23, 0x02, 0x00, 0xC0, 0x0A, 0x00, 0x02, 0x05, 0x84, 0x02, 0x01, 0x02, 0x25, 0x02}},
        build_case{"header_only", 0, 0x0B, 0, 0, 0, 0, {}, {0x23, 0x02, 0x00, 0x00, 0x0B, 0x00, 0x00}},
        // The format option only goes with a command: nothing is padded.
        build_case{"encap_without_data", ZIP_FRM_ENCAP, 0x0C, 0, 0, 0, 0x0102, {},
                   {0x23, 0x02, 0x00, 0x00, 0x0C, 0x00, 0x00}},
        build_case{"ack_response", ZIP_FRM_ACK_RES, 0x0D, 4, 5, 0, 0, {}, {0x23, 0x02, 0x40, 0x00, 0x0D, 0x04, 0x05}},
        build_case{"option_error_extension", ZIP_FRM_OPT_ERR | ZIP_FRM_HDR_EXT, 0x0E, 0, 0, 0, 0,
                   {0x04, 0x85, 0x01, 0xAA}, {0x23, 0x02, 0x24, 0x80, 0x0E, 0x00, 0x00, 0x04, 0x85, 0x01, 0xAA}}),
    [](const ::testing::TestParamInfo<build_case> &i) { return std::string(i.param.name); });

struct length_case {
    uint32_t data_len;
    uint16_t flags;
    int rc;
};

TEST_F(FrameSim, FrameLengthIsCheckedBeforeBuilding)
{
    const std::vector<length_case> cases = {
        {ZIP_MAX_FRAME - ZIP_HDR_LEN, 0, 0},
        {ZIP_MAX_FRAME - ZIP_HDR_LEN + 1, 0, ZIP_ERR_TOO_LONG},
        {ZIP_MAX_FRAME - ZIP_HDR_LEN - ZIP_ENCAP_EXT_LEN, ZIP_FRM_ENCAP, 0},
        {ZIP_MAX_FRAME - ZIP_HDR_LEN - ZIP_ENCAP_EXT_LEN + 1, ZIP_FRM_ENCAP, ZIP_ERR_TOO_LONG},
        {ZIP_MAX_FRAME - ZIP_HDR_LEN + 1, ZIP_FRM_HDR_EXT, ZIP_ERR_TOO_LONG},
        // 7 + 65530 + 5 would wrap a 16-bit length to a few bytes.
        {65530, ZIP_FRM_ENCAP | ZIP_FRM_ACK_REQ, ZIP_ERR_TOO_LONG},
        {65535, ZIP_FRM_ACK_REQ, ZIP_ERR_TOO_LONG},
    };
    std::vector<uint8_t> big(65535, 0x5A);
    big[0] = 0x25;
    uint8_t seq = 0x70;
    for (const length_case &c : cases) {
        SCOPED_TRACE(testing::Message() << "data " << c.data_len << " flags " << c.flags);
        zip_frm_req_t r{};
        const tpt_sockaddr_t dst = gw_addr();
        r.dst = &dst;
        r.data = big.data();
        r.len = static_cast<uint16_t>(c.data_len);
        r.flags = c.flags;
        r.seq = seq;
        EXPECT_EQ(c.rc, frm_cmd_snd(host.ctx(), &r));
        if (c.rc == 0) {
            auto got = gw->wait_for([&](const sim::recorded_frame &f) { return f.bytes.size() > 4 && f.bytes[4] == seq; },
                                    2000ms);
            ASSERT_TRUE(got);
            EXPECT_EQ(ZIP_MAX_FRAME, got->bytes.size());
        }
        ++seq;
    }
    // A refused frame left nothing pending.
    EXPECT_EQ(0, host.send(gw_addr(), {0x25, 0x02}, 0x7F));
    ASSERT_TRUE(host.wait_tx(1));
    EXPECT_EQ(FRM_STS_ACK, host.tx()[0].status);
}

// ---------------------------------------------------------------------------
// Incoming packets
// ---------------------------------------------------------------------------

struct incoming_case {
    const char *name;
    bool secure;
    uint8_t src_ep, dst_ep;
    bool bit_address;
    uint8_t from_node;       // 0 the gateway, else node socket 127.0.0.N
    const char *to_address;  // where the packet is sent to on our side
};

class FrameIncoming : public FrameSim, public ::testing::WithParamInterface<incoming_case> {
protected:
    void SetUp() override { start_all({{5, ""}}); }
};

TEST_P(FrameIncoming, AckedFromWhereItArrivedAndPassedUp)
{
    const incoming_case &c = GetParam();
    sim::own_packet p;
    p.command = {0x25, 0x03, 0xFF};
    p.secure = c.secure;
    p.src_ep = c.src_ep;
    p.dst_ep = c.dst_ep;
    p.bit_address = c.bit_address;
    p.from_node = c.from_node;
    p.to = sim::endpoint{c.to_address, host.port()};
    const uint64_t mark = gw->next_index();
    int seq = gw->send_packet(p);
    ASSERT_GE(seq, 0);
    auto ack = gw->wait_for_answer(static_cast<uint8_t>(seq), 3000ms, mark);
    ASSERT_TRUE(ack);
    const sim::zip_packet &a = ack->frame.packet;
    EXPECT_TRUE(a.ack_response());
    EXPECT_FALSE(a.nack());
    EXPECT_EQ(c.secure, a.secure());
    const uint8_t dst_byte = static_cast<uint8_t>(c.dst_ep | (c.bit_address ? 0x80 : 0));
    EXPECT_EQ(dst_byte, a.src_ep);
    EXPECT_EQ(c.src_ep, a.dst_ep_byte);
    EXPECT_EQ(c.from_node, ack->node_id);
    // Our answer leaves from the address the packet was sent to.
    EXPECT_EQ(c.to_address, ack->peer.address);
    EXPECT_EQ(host.port(), ack->peer.port);

    auto up = host.wait_rx(1);
    ASSERT_TRUE(up);
    EXPECT_EQ(hex({0x25, 0x03, 0xFF}), hex(up->bytes));
    EXPECT_EQ(c.src_ep, up->hdr.src_ep);
    EXPECT_EQ(c.dst_ep, up->hdr.dst_ep);
    EXPECT_EQ(c.bit_address ? 1 : 0, up->hdr.bit_addr);
    EXPECT_EQ((c.secure ? ZIP_RX_FLAG_SECURE : 0) | ZIP_RX_FLAG_ACK_REQ, up->flags);
    EXPECT_EQ(c.from_node ? sim::node_loopback_address(c.from_node) : std::string("127.0.0.1"), up->src);
    EXPECT_TRUE(host.tx().empty());
}

INSTANTIATE_TEST_SUITE_P(Packets, FrameIncoming,
                         ::testing::Values(incoming_case{"gateway_plain", false, 0, 0, false, 0, "127.0.0.1"},
                                           incoming_case{"gateway_secure_endpoints", true, 2, 3, false, 0, "127.0.0.1"},
                                           incoming_case{"bit_address", false, 1, 0x05, true, 0, "127.0.0.1"},
                                           incoming_case{"node_to_other_local_address", false, 4, 1, false, 5,
                                                         "127.0.0.3"}),
                         [](const ::testing::TestParamInfo<incoming_case> &i) { return std::string(i.param.name); });

struct option_case {
    const char *name;
    std::vector<sim::zip_option> options;
    std::vector<uint8_t> answer_after_seq;  // bytes 5.. of our answer: endpoints, extension
    uint8_t flags0;
    uint8_t flags1;
};

class FrameOptions : public FrameSim, public ::testing::WithParamInterface<option_case> {};

TEST_P(FrameOptions, CriticalOptionAnswer)
{
    const option_case &c = GetParam();
    sim::own_packet p;
    p.command = {0x25, 0x01, 0x00};
    p.options = c.options;
    p.to = me;
    const uint64_t mark = gw->next_index();
    int seq = gw->send_packet(p);
    ASSERT_GE(seq, 0);
    auto ans = gw->wait_for_answer(static_cast<uint8_t>(seq), 3000ms, mark);
    ASSERT_TRUE(ans);
    std::vector<uint8_t> want = {0x23, 0x02, c.flags0, c.flags1, static_cast<uint8_t>(seq)};
    want.insert(want.end(), c.answer_after_seq.begin(), c.answer_after_seq.end());
    EXPECT_EQ(hex(want), hex(ans->bytes));
    // The command is passed up either way.
    auto up = host.wait_rx(1);
    ASSERT_TRUE(up);
    EXPECT_EQ(hex({0x25, 0x01, 0x00}), hex(up->bytes));
}

INSTANTIATE_TEST_SUITE_P(
    Options, FrameOptions,
    ::testing::Values(
        option_case{"unknown_critical_type5", {{5, true, {0x01, 0x02, 0x03}}},
                    {0x00, 0x00, 0x06, 0x85, 0x03, 0x01, 0x02, 0x03}, 0x24, 0x80},
        option_case{"encap_format_is_understood", {{4, true, {0x00, 0x01}}}, {0x00, 0x00}, 0x40, 0x00},
        option_case{"non_critical_unknown_is_fine", {{5, false, {0x09}}}, {0x00, 0x00}, 0x40, 0x00},
        option_case{"first_critical_echoed_alone",
                    {{7, false, {0x01}}, {6, true, {0xAA}}, {5, true, {0xBB}}},
                    {0x00, 0x00, 0x04, 0x86, 0x01, 0xAA}, 0x24, 0x80}),
    [](const ::testing::TestParamInfo<option_case> &i) { return std::string(i.param.name); });

TEST_F(FrameSim, KeepAliveIsAnsweredAndItsAnswerIgnored)
{
    const uint64_t mark = gw->next_index();
    ASSERT_EQ(0, gw->send_keep_alive(0, me));
    auto ka = gw->wait_for_keep_alive_ack(3000ms, mark);
    ASSERT_TRUE(ka);
    EXPECT_EQ(hex({0x23, 0x03, 0x40}), hex(ka->bytes));
    EXPECT_EQ("127.0.0.1", ka->peer.address);
    // A keep-alive answer is not a request: not answered, not passed up.
    ASSERT_EQ(0, gw->send_raw({0x23, 0x03, 0x40}, 0, me));
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(gw->wait_for_keep_alive_ack(10ms, ka->index + 1));
    EXPECT_TRUE(host.rx().empty());
}

TEST_F(FrameSim, BadDatagramsAreDroppedAndReadingGoesOn)
{
    std::vector<uint8_t> huge(1400, 0x00);
    huge[0] = 0x23;
    huge[1] = 0x02;
    huge[3] = 0x40;
    std::vector<uint8_t> adv(24, 0x00);
    adv[0] = 0x58;
    adv[1] = 0x01;
    const std::vector<std::vector<uint8_t>> junk = {
        {0x23},
        {0x23, 0x02, 0x80, 0x40},                                      // header cut short
        {0x23, 0x02, 0x00, 0xC0, 0x01, 0x00, 0x00, 0xFF, 0x25, 0x01},  // extension runs past the end
        {0x23, 0x02, 0x00, 0x40, 0x02, 0x00, 0x00},                    // command flag, no command
        {0x99, 0x01, 0x02},                                            // another class
        {0x58, 0x01, 0x00},                                            // advertisement too short
        huge,                                                          // cut by the system: dropped
    };
    for (const auto &j : junk)
        ASSERT_EQ(0, gw->send_raw(j, 0, me));
    ASSERT_EQ(0, gw->send_raw(adv, 0, me));
    ASSERT_EQ(0, gw->send_raw({0x23, 0x02, 0x00, 0x40, 0x03, 0x00, 0x00, 0x25, 0x03, 0x63}, 0, me));
    auto second = host.wait_rx(2);
    ASSERT_TRUE(second);
    const auto rx = host.rx();
    ASSERT_EQ(2u, rx.size());
    EXPECT_EQ(hex(adv), hex(rx[0].bytes));  // advertisements go up whole
    EXPECT_EQ(hex({0x25, 0x03, 0x63}), hex(rx[1].bytes));
    EXPECT_TRUE(log_has("Dropped a datagram longer than 1280 bytes"));
    // Still reading afterwards.
    ASSERT_EQ(0, host.send(gw_addr(), {0x25, 0x02}, 0x11));
    auto r = host.wait_tx(1);
    ASSERT_TRUE(r);
    EXPECT_EQ(FRM_STS_ACK, r->status);
}

TEST_F(FrameSim, SocketThatStopsBeingASocketIsReopenedOnTheSamePort)
{
    ASSERT_EQ(0, host.send(gw_addr(), {0x25, 0x02}, 0x12));
    ASSERT_TRUE(host.wait_tx(1));
    // Put a non-socket under the transport's descriptor: its next read fails
    // with ENOTSOCK.
    const int fd = host.ctx()->tpt.sock.load();
    ASSERT_GE(fd, 0);
    int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(devnull, 0);
    ASSERT_EQ(fd, dup2(devnull, fd));
    close(devnull);
    ASSERT_TRUE(eventually_log("recvmsg failed"));
    // The failure is logged before the socket is closed and opened again: a
    // datagram sent in between finds no socket on the port and is lost.
    const auto reopened = [&] {
        const int s = host.ctx()->tpt.sock.load();
        int type = 0;
        socklen_t length = sizeof type;
        return s >= 0 && getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &length) == 0;
    };
    const auto end = steady::now() + 10s;
    while (!reopened() && steady::now() < end)
        std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(reopened());
    ASSERT_EQ(0, gw->send_raw({0x23, 0x02, 0x00, 0x40, 0x03, 0x00, 0x00, 0x25, 0x03, 0x00}, 0, me));
    auto up = host.wait_rx(1, 3000ms);
    ASSERT_TRUE(up);
    EXPECT_EQ(hex({0x25, 0x03, 0x00}), hex(up->bytes));
}

// ---------------------------------------------------------------------------
// Addresses, stop
// ---------------------------------------------------------------------------

TEST_F(FrameSim, HostPortZeroIsChosenAndWrittenBack)
{
    EXPECT_TRUE(log_has("Bound to port number:" + std::to_string(host.port())));
}

TEST_F(FrameSim, NodeAddressReceivesTheFrameAndItsAckCompletes)
{
    ASSERT_EQ(0, gw->add_node(7));
    const tpt_sockaddr_t node = v4_addr(sim::node_loopback_address(7), gw->port());
    ASSERT_EQ(0, host.send(node, {0x25, 0x01, 0xFF}, 0x21));
    auto r = host.wait_tx(1);
    ASSERT_TRUE(r);
    EXPECT_EQ(FRM_STS_ACK, r->status);
    EXPECT_EQ(1, r->matched);
    EXPECT_EQ("127.0.0.7", r->src);
    auto c = copies_of(0x21);
    ASSERT_EQ(1u, c.size());
    EXPECT_EQ(7, c[0].node_id);
    EXPECT_EQ("127.0.0.7", c[0].local.address);
}

TEST_F(FrameSim, SourceAddressFlagPicksTheSource)
{
    const uint8_t src[4] = {127, 0, 0, 2};
    ASSERT_EQ(0, host.send(gw_addr(), {0x20, 0x01, 0x01}, 0x22, 0, src));
    ASSERT_EQ(0, host.send(gw_addr(), {0x20, 0x01, 0x02}, 0x23, 0));
    auto with = gw->wait_for([](const sim::recorded_frame &f) { return f.frame.packet.seq == 0x22; }, 2000ms);
    auto without = gw->wait_for([](const sim::recorded_frame &f) { return f.frame.packet.seq == 0x23; }, 2000ms);
    ASSERT_TRUE(with);
    ASSERT_TRUE(without);
    EXPECT_EQ("127.0.0.2", with->peer.address);
    EXPECT_EQ("127.0.0.1", without->peer.address);
    EXPECT_EQ(host.port(), with->peer.port);
}

TEST_F(FrameSim, StopCompletesThePendingFrame)
{
    gw->policy().push_next(behaviour::silent());
    ASSERT_EQ(0, host.send(gw_addr(), {0x25, 0x01, 0xFF}, 0x44));
    ASSERT_TRUE(gw->wait_for([](const sim::recorded_frame &f) { return f.frame.packet.seq == 0x44; }, 2000ms));
    const auto t0 = steady::now();
    frm_exit(host.ctx());
    EXPECT_LT(steady::now() - t0, 1500ms);  // the read thread is woken, not waited out
    const auto tx = host.tx();
    ASSERT_EQ(1u, tx.size());
    EXPECT_EQ(FRM_STS_STOPPED, tx[0].status);
    EXPECT_EQ(0x44, tx[0].seq);
    EXPECT_EQ(1, tx[0].matched);
    EXPECT_EQ(ZIP_ERR_NOT_RUNNING, host.send(gw_addr(), {0x25, 0x02}, 0x45));
    const tpt_sockaddr_t gw_a = gw_addr();
    EXPECT_EQ(ZIP_ERR_NOT_RUNNING, frm_keep_alive_ack_snd(host.ctx(), &gw_a));
    EXPECT_EQ(ZIP_ERR_NOT_RUNNING, frm_raw_snd(host.ctx(), 0x52, 0x01, nullptr, 0));
    frm_exit(host.ctx());  // a second exit does nothing
}

TEST_F(FrameSim, OtherSendsBytes)
{
    const tpt_sockaddr_t dst = gw_addr();
    uint8_t v6[16];
    for (int i = 0; i < 16; ++i)
        v6[i] = static_cast<uint8_t>(0xF0 + i);
    const uint64_t mark = gw->next_index();
    ASSERT_EQ(0, frm_node_solicit_snd(host.ctx(), &dst, v6, 0));
    ASSERT_EQ(ZIP_ERR_NODE_ID, frm_inv_node_solicit_snd(host.ctx(), &dst, 0));
    ASSERT_EQ(0, frm_inv_node_solicit_snd(host.ctx(), &dst, 9));
    std::vector<uint8_t> long_data(251, 1);
    ASSERT_EQ(ZIP_ERR_TOO_LONG, frm_raw_snd(host.ctx(), 0x52, 0x01, long_data.data(), 251));
    auto solicit = gw->wait_for([](const sim::recorded_frame &f) { return f.bytes.size() == 20; }, 2000ms, mark);
    auto inv = gw->wait_for([](const sim::recorded_frame &f) { return f.bytes.size() == 4; }, 2000ms, mark);
    ASSERT_TRUE(solicit);
    ASSERT_TRUE(inv);
    std::vector<uint8_t> want = {0x58, 0x03, 0x00, 0x00};
    want.insert(want.end(), v6, v6 + 16);
    EXPECT_EQ(hex(want), hex(solicit->bytes));
    EXPECT_EQ(hex({0x58, 0x04, 0x04, 0x09}), hex(inv->bytes));
}

// ---------------------------------------------------------------------------
// IPv6: packet information both ways, against a plain socket on ::1
// ---------------------------------------------------------------------------

TEST(FrameIpv6, AckedFrameAndIncomingPacketOverLoopback)
{
    int peer = socket(AF_INET6, SOCK_DGRAM, 0);
    ASSERT_GE(peer, 0);
    sockaddr_in6 pa{};
    pa.sin6_family = AF_INET6;
    pa.sin6_addr = in6addr_loopback;
    if (bind(peer, reinterpret_cast<sockaddr *>(&pa), sizeof pa) != 0) {
        close(peer);
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    socklen_t len = sizeof pa;
    getsockname(peer, reinterpret_cast<sockaddr *>(&pa), &len);
    timeval tv{3, 0};
    setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

    frame_host host;
    ASSERT_EQ(0, host.start("::1", fast_tick_ms));
    tpt_sockaddr_t dst{};
    dst.v6 = pa;
    ASSERT_EQ(0, host.send(dst, {0x25, 0x01, 0xFF}, 0x12));

    uint8_t buf[1500];
    sockaddr_in6 from{};
    socklen_t flen = sizeof from;
    ssize_t n = recvfrom(peer, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &flen);
    ASSERT_EQ(10, n);
    EXPECT_EQ(0, std::memcmp(&from.sin6_addr, &in6addr_loopback, 16));
    EXPECT_EQ(host.port(), ntohs(from.sin6_port));
    const uint8_t ack[] = {0x23, 0x02, 0x40, 0x00, 0x12, 0x00, 0x00};
    ASSERT_EQ(7, sendto(peer, ack, sizeof ack, 0, reinterpret_cast<sockaddr *>(&from), flen));
    auto r = host.wait_tx(1);
    ASSERT_TRUE(r);
    EXPECT_EQ(FRM_STS_ACK, r->status);
    EXPECT_EQ(1, r->matched);
    EXPECT_EQ("::1", r->src);

    // Their acknowledged packet: answered from ::1, command passed up.
    const uint8_t pkt[] = {0x23, 0x02, 0x80, 0x40, 0x77, 0x01, 0x02, 0x20, 0x01, 0x00};
    ASSERT_EQ(10, sendto(peer, pkt, sizeof pkt, 0, reinterpret_cast<sockaddr *>(&from), flen));
    n = recvfrom(peer, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &flen);
    ASSERT_EQ(7, n);
    EXPECT_EQ(hex({0x23, 0x02, 0x40, 0x00, 0x77, 0x02, 0x01}), hex(std::vector<uint8_t>(buf, buf + 7)));
    auto up = host.wait_rx(1);
    ASSERT_TRUE(up);
    EXPECT_EQ(hex({0x20, 0x01, 0x00}), hex(up->bytes));
    host.stop();
    close(peer);
}

// ---------------------------------------------------------------------------
// Real time: the true 2.5 s resend interval and the no-ACK report at 5 s
// ---------------------------------------------------------------------------

class FrameRealTime : public FrameSim {
protected:
    void SetUp() override { start_all({}, 100); }
};

TEST_F(FrameRealTime, SilentGatewayResendAt2500AndNoAckAt5000)
{
    gw->policy().push_next(behaviour::silent());
    ASSERT_EQ(0, host.send(gw_addr(), {0x25, 0x01, 0xFF}, 0x90));
    auto r = host.wait_tx(1, 15000ms);
    ASSERT_TRUE(r);
    EXPECT_EQ(FRM_STS_NO_ACK, r->status);
    auto c = copies_of(0x90);
    ASSERT_EQ(2u, c.size());
    const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(c[1].time - c[0].time);
    const auto total = std::chrono::duration_cast<std::chrono::milliseconds>(r->time - c[0].time);
    // Lower bounds of one tick of resolution and one more for the simulator,
    // which notes a copy when it reads it and may read the first one late;
    // the upper ones only catch a lost timer, as a loaded machine may run
    // any thread late.
    EXPECT_GE(gap.count(), 2300);
    EXPECT_LE(gap.count(), 2500 + 3000);
    EXPECT_GE(total.count(), 4800);
    EXPECT_GT(total.count(), gap.count());
    EXPECT_LE(total.count(), 5000 + 4000);
}

TEST_F(FrameRealTime, DroppedFirstCopyResentAfter2500ThenAcked)
{
    gw->policy().push_next(behaviour::drop_first());
    const auto t0 = steady::now();
    ASSERT_EQ(0, host.send(gw_addr(), {0x25, 0x01, 0x00}, 0x91));
    auto r = host.wait_tx(1, 15000ms);
    ASSERT_TRUE(r);
    EXPECT_EQ(FRM_STS_ACK, r->status);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(r->time - t0);
    EXPECT_GE(took.count(), 2400);
    EXPECT_LE(took.count(), 2500 + 3000);
    EXPECT_EQ(2u, copies(0x91));
}

}  // namespace
