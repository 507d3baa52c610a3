// Multi-frame reports of two simulated nodes whose frames reach the library
// interleaved (over real loopback UDP): each node's report is gathered on its
// own interface and handed on once, whole, with its own members, even where
// both nodes answer for the same group with the same maximum.
#include "../net/hc_test_support.h"

#include "hcapi/include/zwif_mgmt.h"
#include "sim/sim_node.h"

namespace {

using namespace hc_test;

enum : uint8_t { n_a = 5, n_b = 9 };

struct group_rpt {
    uint8_t node = 0;
    uint8_t grp = 0;
    uint8_t max = 0;
    std::vector<uint8_t> members;  // node ids; endpoint ids must be 0
    bool ep_zero = true;
    bool mutex_held = false;
};

std::mutex g_mtx;
std::vector<group_rpt> g_rpts;
std::atomic<zwnet_p> g_net{nullptr};

void on_group(zwif_desc_t *intf, uint8_t grp, uint8_t max, uint16_t cnt, const zwif_assoc_ent_t *ents)
{
    zwnet_p net = g_net.load();
    group_rpt r{intf->nodeid, grp, max, {}, true, net != nullptr && zwnet_lck_depth(net) != 0};
    for (uint16_t i = 0; i < cnt; ++i) {
        r.members.push_back(ents[i].node_id);
        r.ep_zero = r.ep_zero && ents[i].ep_id == 0;
    }
    std::lock_guard lk(g_mtx);
    g_rpts.push_back(std::move(r));
}

std::vector<group_rpt> rpts()
{
    std::lock_guard lk(g_mtx);
    return g_rpts;
}

class Interleaved : public HcNet {
protected:
    void SetUp() override
    {
        {
            std::lock_guard lk(g_mtx);
            g_rpts.clear();
        }
        config c;
        c.nodes = {
            {n_a, true, false, false, false, false, {0x85}, 0},
            {n_b, true, false, false, false, false, {0x85}, 0},
        };
        ASSERT_NO_FATAL_FAILURE(start(c));
        g_net = net_;
        model = std::make_unique<sim::node_model>(*gw);
        for (uint8_t id : {n_a, n_b}) {
            sim::node_profile p;
            p.node_id = id;
            p.classes = {{sim::cc_association, 1, {}}};
            ASSERT_EQ(0, model->add(p));
            ASSERT_EQ(0, model->set_answers(id, sim::answer_mode::held));
            zwif_desc_t d = intf(id, 0x85);
            ASSERT_EQ(0, zwif_set_report(&d, reinterpret_cast<zwif_rpt_fn>(on_group), 0x03));
        }
    }
    void TearDown() override
    {
        HcNet::TearDown();
        model.reset();
        g_net = nullptr;
    }

    // The nodes that sent Association Reports, in the order they went out.
    std::vector<uint8_t> report_senders(uint64_t from) const
    {
        std::vector<uint8_t> out;
        for (const sim::recorded_frame &r : gw->sent()) {
            const std::vector<uint8_t> &cmd = r.frame.packet.command;
            if (r.index >= from && r.frame.kind == sim::frame_kind::packet && cmd.size() >= 2 && cmd[0] == 0x85 &&
                cmd[1] == 0x03)
                out.push_back(r.node_id);
        }
        return out;
    }

    std::unique_ptr<sim::node_model> model;
};

// The Association state of a simulated node: {groups, maximum, first member,
// members, frames}.
struct node_case {
    uint8_t id;
    std::vector<uint8_t> state;
};

struct interleave_case {
    const char *name;
    uint8_t grp;
    node_case a, b;
    std::vector<uint8_t> senders;  // the nodes of the report frames, in order
};

TEST_F(Interleaved, EachNodesReportArrivesWholeAndOnce)
{
    const interleave_case cases[] = {
        {"same group and maximum, three frames each", 1, {n_a, {1, 5, 20, 6, 3}}, {n_b, {1, 5, 40, 6, 3}},
         {n_a, n_b, n_a, n_b, n_a, n_b}},
        {"three frames against two", 2, {n_a, {3, 10, 20, 7, 3}}, {n_b, {2, 8, 40, 4, 2}},
         {n_a, n_b, n_a, n_b, n_a}},
        {"two frames against one", 1, {n_a, {1, 4, 100, 2, 1}}, {n_b, {1, 4, 120, 3, 2}}, {n_a, n_b, n_b}},
    };
    for (const interleave_case &c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard lk(g_mtx);
            g_rpts.clear();
        }
        ASSERT_EQ(0, model->set_values(n_a, sim::cc_association, c.a.state));
        ASSERT_EQ(0, model->set_values(n_b, sim::cc_association, c.b.state));
        const uint64_t cmd_from = model->next_command_index();
        uint64_t sent_from = 0;
        for (const sim::recorded_frame &r : gw->sent())
            sent_from = std::max(sent_from, r.index + 1);
        // Both Gets reach their nodes before either answers.
        for (uint8_t id : {n_a, n_b}) {
            zwif_desc_t d = intf(id, 0x85);
            ASSERT_GE(zwif_get_report_simple(&d, &c.grp, 1, 0x02, nullptr), 0);
            ASSERT_TRUE(model->wait_command(id, sim::cc_association, 0x02, 10s, cmd_from));
        }
        ASSERT_EQ(2u, model->release_answers());
        ASSERT_TRUE(eventually([] { return rpts().size() >= 2; }));
        EXPECT_EQ(c.senders, report_senders(sent_from)) << "the frames went out interleaved";

        for (const node_case &n : {c.a, c.b}) {
            SCOPED_TRACE(static_cast<int>(n.id));
            std::vector<uint8_t> want;
            for (uint8_t i = 0; i < n.state[3]; ++i)
                want.push_back(static_cast<uint8_t>(n.state[2] + i));
            std::vector<group_rpt> mine;
            for (const group_rpt &r : rpts())
                if (r.node == n.id)
                    mine.push_back(r);
            ASSERT_EQ(1u, mine.size()) << "one callback per node";
            EXPECT_EQ(c.grp, mine[0].grp);
            EXPECT_EQ(n.state[1], mine[0].max);
            EXPECT_EQ(want, mine[0].members);
            EXPECT_TRUE(mine[0].ep_zero);
            EXPECT_FALSE(mine[0].mutex_held);
        }
    }
}

}  // namespace
