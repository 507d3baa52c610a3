// A network change announced by the simulated gateway (an unsolicited node
// list) runs operation 15: the node list is brought up to date and the
// added node is interviewed; a list that comes while a change runs is not
// lost.
#include "hc_test_support.h"

#include "sim/sim_node.h"

namespace hc_test {
namespace {

constexpr uint8_t n_new = 12;  // joins the network later
constexpr uint8_t n_old = 9;   // in the network from the start

class NwChange : public HcNet {
protected:
    void SetUp() override
    {
        profiles = {*sim::builtin_profile("plus_switch", n_new), *sim::builtin_profile("basic", n_old)};
        for (const sim::node_profile &p : profiles)
            gw_nodes.push_back(sim::nm_node_of(p));
        gw_nodes[0].in_node_list = false;
        before_init = [this] {
            model = std::make_unique<sim::node_model>(*gw);
            ASSERT_EQ(0, model->add(profiles));
        };
        ASSERT_NO_FATAL_FAILURE(start());
        model->set_unsolicited_destination(sim::endpoint{"127.0.0.1", zwnet_host_port_get(net_)});
        ASSERT_TRUE(no_operation());
    }
    void TearDown() override
    {
        HcNet::TearDown();
        model.reset();
    }
    size_t op_ends(uint8_t op, int sts) const
    {
        size_t n = 0;
        for (const app_event &e : rec.of(0))
            if (e.a == op && e.b == sts)
                ++n;
        return n;
    }
    bool node_event(uint8_t node_id, uint32_t mode) const
    {
        for (const app_event &e : rec.of(1))
            if (e.a == node_id && e.b == static_cast<int>(mode))
                return true;
        return false;
    }
    bool in_db(uint8_t node_id)
    {
        return zwnet_node_desc_get(net_, node_id, nullptr) == 0;
    }

    std::vector<sim::node_profile> profiles;
    std::unique_ptr<sim::node_model> model;
};

TEST_F(NwChange, AnAddedNodeIsResolvedAndInterviewed)
{
    ASSERT_FALSE(in_db(n_new));
    ASSERT_TRUE(in_db(n_old));
    const size_t ends = op_ends(ZWNET_OP_NW_CHANGED, ZWNET_OP_STS_DONE);
    const uint64_t from = model->next_command_index();
    ASSERT_EQ(0, nm->set_in_node_list(n_new, true));
    ASSERT_GE(nm->announce_node_list(), 0);
    ASSERT_TRUE(eventually([&] { return node_event(n_new, ZWNET_NODE_ADDED); }, 30s));
    ASSERT_TRUE(eventually([&] { return op_ends(ZWNET_OP_NW_CHANGED, ZWNET_OP_STS_DONE) > ends; }, 60s));
    EXPECT_TRUE(in_db(n_new));
    EXPECT_TRUE(in_db(n_old));
    // The interview asked the new node itself.
    EXPECT_TRUE(model->wait_command([](const sim::node_command &c) { return c.node_id == n_new; }, 1s, from));
    // Its interfaces came from the interview.
    zwif_desc_t d{};
    EXPECT_EQ(0, zwnet_if_desc_get(net_, n_new, 0, 0x25, &d));
    ASSERT_TRUE(no_operation());
    EXPECT_FALSE(node_event(n_old, ZWNET_NODE_REMOVED));
}

TEST_F(NwChange, AListThatComesWhileAChangeRunsIsAppliedAfterIt)
{
    // The gateway answers slowly: the second list comes while the first
    // change waits for the controller's node information.
    nm->set_reply_delay(400ms);
    const size_t from = nm->request_count();
    ASSERT_EQ(0, nm->set_in_node_list(n_new, true));
    ASSERT_GE(nm->announce_node_list(), 0);
    ASSERT_TRUE(nm->wait_request(sim::nm_proxy_class, 0x03, 30s, from).has_value());
    ASSERT_EQ(0, nm->set_in_node_list(n_old, false));
    ASSERT_GE(nm->announce_node_list(), 0);
    ASSERT_TRUE(eventually([&] { return node_event(n_old, ZWNET_NODE_REMOVED); }, 60s));
    ASSERT_TRUE(eventually([&] { return op_ends(ZWNET_OP_NW_CHANGED, ZWNET_OP_STS_DONE) >= 2; }, 60s));
    EXPECT_TRUE(node_event(n_new, ZWNET_NODE_ADDED));
    EXPECT_TRUE(in_db(n_new));
    EXPECT_FALSE(in_db(n_old));
}

}  // namespace
}  // namespace hc_test
