// The send path and the node queues against the simulator's node models at
// the real 100 ms tick: a listening node answers the Get it was sent, a
// sleeping node takes its queue in one Multi Command frame when it wakes up
// and sends its Wake Up Notification, and a FLiRS node's next command waits
// for its late report, or for the full 10 s report wait when none comes.
#include "../net/hc_test_support.h"

#include "sim/sim_node.h"

namespace {

using namespace hc_test;

enum : uint8_t { n_switch = 5, n_sensor = 8, n_flirs = 10 };

class NodeModel : public HcNet {
protected:
    void SetUp() override
    {
        config c;
        c.tick_ms = 100;
        c.nodes = {
            {n_switch, true, false, false, false, false, {0x20, 0x25}, 0},
            {n_sensor, false, false, true, true, false, {0x20, 0x80, 0x84, 0x8F}, 0},
            {n_flirs, false, true, false, false, false, {0x20, 0x80}, 0},
        };
        ASSERT_NO_FATAL_FAILURE(start(c));
        model = std::make_unique<sim::node_model>(*gw);
        auto sw = sim::builtin_profile("switch", n_switch);
        auto fl = sim::builtin_profile("flirs", n_flirs);
        ASSERT_TRUE(sw && fl);
        sim::node_profile sensor;
        sensor.node_id = n_sensor;
        sensor.kind = sim::node_kind::sleeping;
        sensor.classes = {{0x20, 1, {}}, {0x80, 1, {}}, {0x84, 2, {}}, {0x8F, 1, {}}};
        ASSERT_EQ(0, model->add(std::vector<sim::node_profile>{*sw, sensor, *fl}));
        model->set_unsolicited_destination(sim::endpoint{"127.0.0.1", zwnet_host_port_get(net_)});
    }
    void TearDown() override
    {
        if (model) {
            EXPECT_TRUE(model->violations().empty()) << model->violations().front();
        }
        model.reset();
        HcNet::TearDown();
    }

    bool waiting(uint8_t id)
    {
        zwnet_lock lk(net_);
        return zwnode_find(&net_->ctl, id)->wait_rpt != 0;
    }
    int exec(const zwif_desc_t &i, std::vector<uint8_t> cmd, uint32_t flags = 0)
    {
        return zwif_exec(&i, cmd.data(), static_cast<uint16_t>(cmd.size()), nullptr, nullptr, flags, nullptr);
    }

    std::unique_ptr<sim::node_model> model;
};

TEST_F(NodeModel, ListeningNodeAnswersTheAwaitedGet)
{
    const zwif_desc_t basic = intf(n_switch, 0x20);
    const auto t0 = steady::now();
    ASSERT_EQ(1, exec(basic, {0x20, 0x02}, ZWIF_EXEC_RPT_IF_GET));
    // The node's Basic Report releases the wait, long before its 10 s.
    ASSERT_TRUE(eventually([&] { return !waiting(n_switch); }, 8s));
    EXPECT_LT(steady::now() - t0, 8s);
    EXPECT_TRUE(model->wait_command(n_switch, 0x20, 0x02, 1s));
}

TEST_F(NodeModel, SleepingNodeTakesItsQueueInOneMultiCommandFrameWhenItWakes)
{
    const zwif_desc_t basic = intf(n_sensor, 0x20), batt = intf(n_sensor, 0x80);
    ASSERT_EQ(0, zwnode_cur_op_set(&basic, 1, 1));
    ASSERT_EQ(1, exec(basic, {0x20, 0x01, 0x63}));
    ASSERT_EQ(0, zwnode_cur_op_set(&batt, 2, 1));
    ASSERT_EQ(1, exec(batt, {0x80, 0x02}));
    ASSERT_EQ(0, zwnode_cur_op_set(&basic, 3, 1));
    ASSERT_EQ(1, exec(basic, {0x20, 0x02}));
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(model->commands(n_sensor).empty());
    EXPECT_EQ(0u, model->view(n_sensor)->held);  // nothing went out to be held

    ASSERT_EQ(0, model->wake_up(n_sensor));
    ASSERT_TRUE(eventually([&] { return model->commands(n_sensor).size() >= 3; }));
    const auto got = model->commands(n_sensor);
    ASSERT_EQ(3u, got.size());
    const std::vector<std::vector<uint8_t>> expected{{0x20, 0x01, 0x63}, {0x80, 0x02}, {0x20, 0x02}};
    for (size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(expected[k], got[k].command);
        EXPECT_EQ(static_cast<int>(k), got[k].multi_index);
        EXPECT_EQ(got[0].seq, got[k].seq);  // one frame
        EXPECT_FALSE(got[k].held);
    }
    EXPECT_TRUE(got[0].more_info());  // a node that sleeps
    EXPECT_EQ(std::vector<uint8_t>{0x63}, model->values(n_sensor, 0x20).value_or(std::vector<uint8_t>{}));
}

TEST_F(NodeModel, FlirsNodeNextCommandWaitsForTheLateReport)
{
    const zwif_desc_t basic = intf(n_flirs, 0x20);
    ASSERT_EQ(0, model->set_answers(n_flirs, sim::answer_mode::late, 3s));
    ASSERT_EQ(1, exec(basic, {0x20, 0x02}, ZWIF_EXEC_RPT_IF_GET));
    ASSERT_EQ(1, exec(basic, {0x20, 0x01, 0xFF}));
    auto get = model->wait_command(n_flirs, 0x20, 0x02, 5s);
    auto set = model->wait_command(n_flirs, 0x20, 0x01, 15s);
    ASSERT_TRUE(get && set);
    EXPECT_GE(set->time - get->time, 2800ms);  // after the report, 3 s later
    EXPECT_LT(set->time - get->time, 9s);      // not the report wait's 10 s
}

TEST_F(NodeModel, FlirsNodeNextCommandLeavesAfterTenSecondsWithoutAReport)
{
    const zwif_desc_t basic = intf(n_flirs, 0x20);
    ASSERT_EQ(0, model->set_answers(n_flirs, sim::answer_mode::never));
    ASSERT_EQ(1, exec(basic, {0x20, 0x02}, ZWIF_EXEC_RPT_IF_GET));
    ASSERT_EQ(1, exec(basic, {0x20, 0x01, 0x00}));
    auto get = model->wait_command(n_flirs, 0x20, 0x02, 5s);
    auto set = model->wait_command(n_flirs, 0x20, 0x01, 20s);
    ASSERT_TRUE(get && set);
    EXPECT_GE(set->time - get->time, 9800ms);
    EXPECT_LT(set->time - get->time, 15s);
}

}  // namespace
