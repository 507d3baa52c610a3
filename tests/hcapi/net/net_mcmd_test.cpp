// The multi-command reply machine against the simulated gateway over real
// loopback UDP: gateway queries sent in order and their reports bundled
// with the ready answers, a query that is never answered, a command with
// no report, and the stop at network exit; and the whole path from a node's
// Multi Command Encapsulation to the controller, through the responder, to
// the one bundle that answers it.
#include "hc_test_support.h"

#include "hcapi/net/zwnet_mcmd.h"

namespace {

using namespace hc_test;
using bytes = std::vector<uint8_t>;

constexpr uint8_t node_id = 2;

class MulCmd : public HcNet {
protected:
    void start_net()
    {
        config c;
        c.nodes.push_back(node_spec{node_id});
        ASSERT_NO_FATAL_FAILURE(start(c));
        ASSERT_TRUE(no_operation());
    }
    static zwnet_mcmd_ent_t ready(bytes b) { return {ZWNET_MCMD_READY, 0, 0, std::move(b)}; }
    static zwnet_mcmd_ent_t gw_get(bytes b, uint16_t cls, uint8_t rpt) { return {ZWNET_MCMD_GW_GET, rpt, cls, std::move(b)}; }
    static zwnet_mcmd_ent_t gw_set(bytes b) { return {ZWNET_MCMD_GW_SET, 0, 0, std::move(b)}; }
    int put(std::vector<zwnet_mcmd_ent_t> ents)
    {
        zwnet_mcmd_req_t r;
        r.ents.assign(ents.begin(), ents.end());
        r.node_id = node_id;
        return zwnet_mul_cmd_req_put(net_, std::move(r));
    }
    std::optional<sim::recorded_frame> bundle(ms timeout, uint64_t from = 0)
    {
        return gw->wait_for(
            [](const sim::recorded_frame &r) {
                const bytes &c = r.frame.packet.command;
                return r.frame.kind == sim::frame_kind::packet && r.node_id == node_id && c.size() >= 3 &&
                       c[0] == 0x8F && c[1] == 0x01;
            },
            timeout, from);
    }
    std::optional<sim::recorded_frame> to_gateway(const bytes &cmd, ms timeout)
    {
        return gw->wait_for(
            [&](const sim::recorded_frame &r) {
                return r.frame.kind == sim::frame_kind::packet && r.node_id != node_id && r.frame.packet.command == cmd;
            },
            timeout);
    }
};

TEST_F(MulCmd, AGatewayQueryIsAnsweredInsideOneBundleInEntryOrder)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    const bytes first{0x86, 0x14, 0x20, 0x01};
    const bytes last{0x85, 0x03, 0x01, 0x01, 0x00};
    ASSERT_EQ(0, put({ready(first), gw_get({0x86, 0x13, 0x5E}, 0x86, 0x14), ready(last)}));
    ASSERT_TRUE(to_gateway({0x86, 0x13, 0x5E}, 10s));
    const auto b = bundle(10s);
    ASSERT_TRUE(b);
    const bytes &c = b->frame.packet.command;
    ASSERT_GE(c.size(), 3u + 5 + 5 + 6);
    EXPECT_EQ((bytes{0x8F, 0x01, 0x03}), bytes(c.begin(), c.begin() + 3));
    EXPECT_EQ((bytes{0x04, 0x86, 0x14, 0x20, 0x01}), bytes(c.begin() + 3, c.begin() + 8));
    // The gateway's report, as it came.
    EXPECT_EQ((bytes{0x04, 0x86, 0x14, 0x5E}), bytes(c.begin() + 8, c.begin() + 12));
    EXPECT_EQ((bytes{0x05, 0x85, 0x03, 0x01, 0x01, 0x00}), bytes(c.end() - 6, c.end()));
    EXPECT_EQ(c.size(), 3u + 5 + 5 + 6);
}

TEST_F(MulCmd, AQueryThatIsNeverAnsweredIsLeftOutAfterTheReportWait)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    const auto t0 = steady::now();
    // A class the gateway does not know: no report comes.
    ASSERT_EQ(0, put({gw_get({0x3A, 0x01}, 0x3A, 0x02), ready({0x86, 0x14, 0x20, 0x01})}));
    const auto b = bundle(late(1000) + 10s);
    ASSERT_TRUE(b);
    EXPECT_GE(steady::now() - t0, early(1000));
    EXPECT_EQ((bytes{0x8F, 0x01, 0x01, 0x04, 0x86, 0x14, 0x20, 0x01}), b->frame.packet.command);
    EXPECT_TRUE(eventually([] { return log_count("zwnet_mul_cmd_sm process has timeout") >= 1; }));
}

TEST_F(MulCmd, ACommandWithoutReportGoesFirstThenAnEmptyBundle)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    ASSERT_EQ(0, put({gw_set({0x20, 0x01, 0xFF})}));
    const auto sent = to_gateway({0x20, 0x01, 0xFF}, 10s);
    const auto b = bundle(10s);
    ASSERT_TRUE(sent && b);
    EXPECT_EQ((bytes{0x8F, 0x01, 0x00}), b->frame.packet.command);
    EXPECT_GE(b->time - sent->time, early(100));
}

TEST_F(MulCmd, RequestsAreServedOneAfterAnotherAndNothingMovesAfterTheStop)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    ASSERT_EQ(0, put({ready({0x86, 0x14, 0x20, 0x01})}));
    ASSERT_EQ(0, put({ready({0x86, 0x14, 0x25, 0x02})}));
    const auto b1 = bundle(10s);
    ASSERT_TRUE(b1);
    const auto b2 = gw->wait_for(
        [](const sim::recorded_frame &r) {
            return r.frame.kind == sim::frame_kind::packet && r.node_id == node_id &&
                   r.frame.packet.command == bytes{0x8F, 0x01, 0x01, 0x04, 0x86, 0x14, 0x25, 0x02};
        },
        10s);
    ASSERT_TRUE(b2);
    EXPECT_EQ((bytes{0x8F, 0x01, 0x01, 0x04, 0x86, 0x14, 0x20, 0x01}), b1->frame.packet.command);

    {
        zwnet_lock lk(net_);
        EXPECT_EQ(3u, zwnet_mul_cmd_sm(net_, ZWNET_MCMD_EVT_STOP, nullptr, 0));
        for (int evt : {ZWNET_MCMD_EVT_TMOUT, ZWNET_MCMD_EVT_FRAME, ZWNET_MCMD_EVT_REQ})
            EXPECT_EQ(3u, zwnet_mul_cmd_sm(net_, evt, nullptr, 0));
    }
    EXPECT_EQ(ZW_ERR_FAILED, put({ready({0x86, 0x14, 0x20, 0x01})}));
}

// ---------------------------------------------------------------------------
// A node asks the controller in one encapsulation
// ---------------------------------------------------------------------------

constexpr uint8_t n_asker = 5;
constexpr uint8_t asker_ep = 2;

class MulCmdAsk : public HcNet {
protected:
    void SetUp() override
    {
        // Powerlevel, so that the controller has a Set that the gateway
        // takes for it.
        gw_extra_classes = {0x73};
        config c;
        c.nodes.push_back(node_spec{n_asker});
        ASSERT_NO_FATAL_FAILURE(start(c));
        ASSERT_TRUE(no_operation());
        zwnet_lock lk(net_);
        ASSERT_NE(nullptr, zwif_find_cls(net_->ctl.ep.intf, 0x73));
        ASSERT_NE(nullptr, zwif_find_cls(net_->ctl.ep.intf, 0x72));
    }
    // Sends 8F 01 count {length, command}... from the node's endpoint.
    uint64_t ask(const std::vector<bytes> &cmds, bool secure = false)
    {
        bytes enc{0x8F, 0x01, static_cast<uint8_t>(cmds.size())};
        for (const bytes &c : cmds) {
            enc.push_back(static_cast<uint8_t>(c.size()));
            enc.insert(enc.end(), c.begin(), c.end());
        }
        const uint64_t mark = gw->next_index();
        sim::own_packet p;
        p.command = std::move(enc);
        p.ack_request = false;
        p.from_node = n_asker;
        p.src_ep = asker_ep;
        p.secure = secure;
        p.to = sim::endpoint{"127.0.0.1", zwnet_host_port_get(net_)};
        EXPECT_GE(gw->send_packet(p), 0);
        return mark;
    }
    std::optional<sim::recorded_frame> bundle(uint64_t from, ms timeout)
    {
        return gw->wait_for(
            [](const sim::recorded_frame &r) {
                const bytes &c = r.frame.packet.command;
                return r.frame.kind == sim::frame_kind::packet && r.node_id == n_asker && c.size() >= 3 &&
                       c[0] == 0x8F && c[1] == 0x01;
            },
            timeout, from);
    }
    // What reached the gateway's own address from `from` on, in order.
    std::vector<sim::recorded_frame> to_gateway(uint64_t from)
    {
        std::vector<sim::recorded_frame> out;
        for (const sim::recorded_frame &r : gw->received())
            if (r.index >= from && r.node_id == 0 && r.frame.kind == sim::frame_kind::packet &&
                r.frame.packet.has_command())
                out.push_back(r);
        return out;
    }
    // The gateway's last report starting with `cls`, `cmd`, sent before `t`.
    bytes gw_report(uint8_t cls, uint8_t cmd, std::chrono::steady_clock::time_point t)
    {
        bytes last;
        for (const sim::recorded_frame &r : gw->sent()) {
            const bytes &c = r.frame.packet.command;
            if (r.node_id == 0 && r.time <= t && c.size() >= 2 && c[0] == cls && c[1] == cmd)
                last = c;
        }
        return last;
    }
    // The entries of a bundle.
    static std::vector<bytes> parts(const bytes &b)
    {
        std::vector<bytes> out;
        for (size_t pos = 3; pos < b.size(); pos += 1 + b[pos])
            out.emplace_back(b.begin() + static_cast<long>(pos) + 1,
                             b.begin() + static_cast<long>(std::min(b.size(), pos + 1 + b[pos])));
        return out;
    }
};

TEST_F(MulCmdAsk, ReadyAnswersAndGatewayReportsGoBackInOneBundleInTheOrderAsked)
{
    const uint64_t mark = ask({{0x86, 0x13, 0x85},   // answered at once
                               {0x86, 0x11},         // Version Get: the gateway's report
                               {0x72, 0x04},         // Manufacturer Specific Get: the gateway's report
                               {0x85, 0x02, 0x01}}); // answered at once
    const auto b = bundle(mark, 10s);
    ASSERT_TRUE(b);
    EXPECT_EQ(0, b->frame.packet.src_ep);
    EXPECT_EQ(asker_ep, b->frame.packet.dst_ep()) << "to the endpoint that asked";
    const bytes &c = b->frame.packet.command;
    EXPECT_EQ(4, c[2]);
    const auto got = parts(c);
    ASSERT_EQ(4u, got.size());
    EXPECT_EQ((bytes{0x86, 0x14, 0x85, 0x02}), got[0]);
    const bytes ver = gw_report(0x86, 0x12, b->time);
    const bytes man = gw_report(0x72, 0x05, b->time);
    ASSERT_FALSE(ver.empty());
    ASSERT_FALSE(man.empty());
    EXPECT_EQ(ver, got[1]) << "the gateway's report, as it came";
    EXPECT_EQ(man, got[2]);
    EXPECT_EQ((bytes{0x85, 0x03, 0x01, 0x01, 0x00}), got[3]);

    // The queries went to the gateway one after another, each after the
    // report before it, and nothing went to the node before the bundle.
    const auto gwq = to_gateway(mark);
    ASSERT_GE(gwq.size(), 2u);
    EXPECT_EQ((bytes{0x86, 0x11}), gwq[0].frame.packet.command);
    EXPECT_EQ((bytes{0x72, 0x04}), gwq[1].frame.packet.command);
    for (const sim::recorded_frame &r : gw->received()) {
        if (r.index >= mark && r.node_id == n_asker && r.index != b->index && r.frame.kind == sim::frame_kind::packet) {
            EXPECT_FALSE(r.frame.packet.has_command()) << "a second answer to the node";
        }
    }
}

TEST_F(MulCmdAsk, WhatTheGatewayDoesNotAnswerIsLeftOutAndTheRestStillGoes)
{
    app->silence_next(0x86, 0x11);
    const auto t0 = steady::now();
    const uint64_t mark = ask({{0x86, 0x11}, {0x85, 0x05}});
    const auto b = bundle(mark, late(1000) + 10s);
    ASSERT_TRUE(b);
    EXPECT_GE(b->time - t0, early(1000)) << "the bundle waited for the report";
    EXPECT_EQ((bytes{0x8F, 0x01, 0x01, 0x03, 0x85, 0x06, 0x01}), b->frame.packet.command);
}

TEST_F(MulCmdAsk, ASetIsPassedToTheGatewayAndAnsweredWithAnEmptyBundle)
{
    const uint64_t mark = ask({{0x73, 0x01, 0x00, 0x05}});
    const auto b = bundle(mark, 10s);
    ASSERT_TRUE(b);
    EXPECT_EQ((bytes{0x8F, 0x01, 0x00}), b->frame.packet.command);
    const auto gwq = to_gateway(mark);
    ASSERT_FALSE(gwq.empty());
    EXPECT_EQ((bytes{0x73, 0x01, 0x00, 0x05}), gwq[0].frame.packet.command);
    EXPECT_GE(b->time - gwq[0].time, early(100));
}

TEST_F(MulCmdAsk, TheBundleIsSecuredAsTheEncapsulationCame)
{
    for (const bool secure : {false, true}) {
        SCOPED_TRACE(secure ? "secure" : "plain");
        const uint64_t mark = ask({{0x86, 0x11}, {0x85, 0x05}}, secure);
        const auto b = bundle(mark, 10s);
        ASSERT_TRUE(b);
        EXPECT_EQ(secure, b->frame.packet.secure());
        EXPECT_EQ(2, b->frame.packet.command[2]);
    }
}

TEST_F(MulCmdAsk, AnswersThatWouldOverflowTheBundleAreDroppedNotTheBundle)
{
    // 20 group names of 12 bytes: 3 + 15 * 13 = 198 bytes hold 15 of them.
    const uint64_t mark = ask(std::vector<bytes>(20, bytes{0x59, 0x01, 0x01}));
    const auto b = bundle(mark, 10s);
    ASSERT_TRUE(b);
    const bytes &c = b->frame.packet.command;
    EXPECT_EQ(15, c[2]);
    EXPECT_EQ(198u, c.size());
    for (const bytes &p : parts(c))
        EXPECT_EQ((bytes{0x59, 0x02, 0x01, 0x08, 'L', 'i', 'f', 'e', 'L', 'i', 'n', 'e'}), p);
}

}  // namespace
