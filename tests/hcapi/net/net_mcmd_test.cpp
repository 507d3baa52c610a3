// The multi-command reply machine against the simulated gateway over real
// loopback UDP: gateway queries sent in order and their reports bundled
// with the ready answers, a query that is never answered, a command with
// no report, and the stop at network exit.
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

}  // namespace
