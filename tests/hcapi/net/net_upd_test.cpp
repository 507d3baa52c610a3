// Network update and reset against the simulated gateway over real loopback
// UDP: the update's passes with their progress, neighbour updates retried
// for a failing node and then given up, the final interview; the reset's
// notification to the lifeline node, Default Set, and the rebuilt network.
#include "hc_test_support.h"

namespace {

using namespace hc_test;

class Upd : public HcNet {
protected:
    void SetUp() override
    {
        {
            std::lock_guard lk(g_log_mtx);
            g_log.clear();
        }
        gw_nodes = sim::sample_network();
    }
    void start_net()
    {
        ASSERT_NO_FATAL_FAILURE(start());
        ASSERT_TRUE(no_operation());
    }
    std::vector<uint8_t> other_nodes()
    {
        std::vector<uint8_t> ids;
        zwnet_lock lk(net_);
        for (zwnode_p n = net_->ctl.next; n != nullptr; n = n->next)
            ids.push_back(n->nodeid);
        return ids;
    }
    size_t nbr_reqs(uint8_t node_id, size_t from = 0) const
    {
        const auto q = nm_reqs(0x34, 0x0B);
        return static_cast<size_t>(std::count_if(q.begin() + static_cast<long>(std::min(from, q.size())), q.end(),
                                                 [&](const sim::nm_request &r) { return r.command[3] == node_id; }));
    }
};

TEST_F(Upd, UpdateWalksItsPassesWithProgressAndEndsWithSuccess)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    const std::vector<uint8_t> nodes = other_nodes();
    ASSERT_FALSE(nodes.empty());
    const size_t nl = nm_reqs(0x52, 0x01).size();
    ASSERT_EQ(0, zwnet_update(net_));
    ASSERT_TRUE(eventually([&] { return op_ended(ZWNET_OP_UPDATE); }, 120s));
    EXPECT_EQ((std::vector<int>{1, 2, 3, ZWNET_OP_STS_DONE}), op_sts(ZWNET_OP_UPDATE));
    EXPECT_EQ(1u, nm_reqs(0x4D, 0x03).size()) << "the gateway was asked for a network update";
    EXPECT_LT(nl, nm_reqs(0x52, 0x01).size()) << "and for its node list again";
    for (uint8_t id : nodes)
        EXPECT_EQ(1u, nbr_reqs(id)) << "neighbour update of node " << int(id);
    EXPECT_TRUE(nm->violations().empty());
    zwnet_lock lk(net_);
    EXPECT_EQ(ZWNET_OP_NONE == net_->curr_op || ZWNET_OP_SAVE_NW == net_->curr_op, true);
}

TEST_F(Upd, ANodeFailingItsNeighbourUpdateIsAskedFourTimesThenTheInterviewStarts)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    nm->update_config([](sim::nm_config &c) { c.nbr_failing = {4}; });
    ASSERT_EQ(0, zwnet_update(net_));
    ASSERT_TRUE(eventually([&] { return op_ended(ZWNET_OP_UPDATE); }, 120s));
    EXPECT_EQ((std::vector<int>{1, 2, 3, ZWNET_OP_STS_DONE}), op_sts(ZWNET_OP_UPDATE));
    EXPECT_EQ(4u, nbr_reqs(4));
    EXPECT_EQ(1u, nbr_reqs(2));
    for (const char *line : {"neighbor update retry: 1", "neighbor update retry: 2", "neighbor update retry: 3"})
        EXPECT_EQ(1u, log_count(line)) << line;
    EXPECT_EQ(0u, log_count("neighbor update retry: 4"));
    EXPECT_EQ(4u, log_count("zwnet_updt_sm: neighbor update failed on node:4"));
}

TEST_F(Upd, ResetTellsTheLifelineNodeThenRebuildsTheNetwork)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    {
        zwnet_lock lk(net_);
        ASSERT_FALSE(net_->grps.empty());
        net_->grps.front().member = 2;
    }
    const uint64_t from = gw->received().size();
    ASSERT_EQ(0, zwnet_reset(net_));
    ASSERT_TRUE(eventually([&] { return op_ended(ZWNET_OP_RESET); }, 60s));
    EXPECT_EQ((std::vector<int>{ZWNET_OP_STS_DONE}), op_sts(ZWNET_OP_RESET));
    const auto drl = wait_cmd(2, {0x5A, 0x01}, 1s, from);
    ASSERT_TRUE(drl.has_value()) << "Device Reset Locally to the lifeline node";
    const auto dflt = nm_reqs(0x4D, 0x06);
    ASSERT_EQ(1u, dflt.size());
    EXPECT_LE(drl->time, dflt[0].time);
    // The node list that follows rebuilds the database from the gateway's.
    EXPECT_FALSE(other_nodes().empty());
    EXPECT_EQ(1u, log_count("Restored factory default: node id:0, status:6(OK)"));
}

TEST_F(Upd, ResetWithAnEmptyLifelineAndAFailedDefaultSet)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    nm->update_config([](sim::nm_config &c) { c.default_set_status = 0x07; });
    {
        zwnet_lock lk(net_);
        ASSERT_FALSE(net_->grps.empty());
        net_->grps.front().member = 0;
    }
    const uint64_t from = gw->received().size();
    const auto t0 = steady::now();
    ASSERT_EQ(0, zwnet_reset(net_));
    ASSERT_TRUE(eventually([&] { return op_ended(ZWNET_OP_RESET); }, 60s));
    EXPECT_EQ((std::vector<int>{ZWNET_OP_STS_FAILED}), op_sts(ZWNET_OP_RESET));
    const auto dflt = nm_reqs(0x4D, 0x06);
    ASSERT_EQ(1u, dflt.size());
    EXPECT_GE(dflt[0].time - t0, early(100)) << "after its short pause";
    EXPECT_FALSE(gw->wait_for(
        [](const sim::recorded_frame &r) {
            return r.frame.kind == sim::frame_kind::packet && r.frame.packet.command.size() >= 2 &&
                   r.frame.packet.command[0] == 0x5A;
        },
        0ms, from))
        << "nobody to tell";
    EXPECT_EQ(1u, log_count("Restored factory default: node id:0, status:7(Failed)"));
    EXPECT_EQ(1u, log_count("zwnet_rst_sm: reset Z/IP router controller failed"));
    zwnet_lock lk(net_);
    EXPECT_EQ(ZWNET_OP_NONE, net_->curr_op);
}

}  // namespace
