// Simulated nodes against the project's own Z/IP client (application layer
// down to UDP), as the host-controller library will meet them: the answers
// the gateway gives for a sleeping node are the ones the client takes as
// "queued", and a wake-up completes the held frames as it expects.
#include "../hcapi/zip/appl_test_support.h"
#include "sim/sim_node.h"

namespace {

using namespace appl_test;

class SimNodeClient : public ApplSim {
protected:
    void start_nodes(const std::vector<sim::node_profile> &nodes, uint32_t sel_opt = 0)
    {
        config c;
        c.sel_opt = sel_opt;
        c.sim_nodes = {};
        ASSERT_NO_FATAL_FAILURE(start(c));
        model = std::make_unique<sim::node_model>(*gw);
        ASSERT_EQ(0, model->add(nodes)) << gw->last_error();
        for (const sim::node_profile &p : nodes) {
            auto ip = v4(addr(p.node_id).c_str());
            ASSERT_EQ(1, appl_node_ip_set(ctx(), ip.data(), 4, p.node_id));
        }
    }
    void TearDown() override
    {
        ApplSim::TearDown(); // stops the gateway first
        model.reset();
    }
    // The commands the client's receive callback got, as bytes.
    std::vector<std::vector<uint8_t>> rx_commands()
    {
        std::lock_guard lk(n.rx_mtx);
        std::vector<std::vector<uint8_t>> out;
        for (const received &r : n.rx)
            out.push_back(r.bytes);
        return out;
    }
    bool wait_rx(const std::vector<uint8_t> &cmd, ms timeout)
    {
        const auto until = steady::now() + timeout;
        for (;;) {
            for (const auto &c : rx_commands())
                if (c == cmd)
                    return true;
            if (steady::now() >= until)
                return false;
            std::this_thread::sleep_for(1ms);
        }
    }

    std::unique_ptr<sim::node_model> model;
};

TEST_F(SimNodeClient, ListeningNodeGetIsAcknowledgedAndAnswered)
{
    ASSERT_NO_FATAL_FAILURE(start_nodes({*sim::builtin_profile("switch", 2)}));
    ASSERT_EQ(0, model->set_values(2, sim::cc_switch_binary, {0xFF}));
    recorder done;
    ASSERT_EQ(0, send(2, &done, {0x25, 0x02}));
    ASSERT_TRUE(done.wait(1, 5s));
    EXPECT_EQ(0, done.at(0).status);
    ASSERT_TRUE(wait_rx({0x25, 0x03, 0xFF, 0xFF, 0x00}, 5s));
    auto cmds = model->commands(2);
    ASSERT_EQ(1u, cmds.size());
    EXPECT_TRUE(cmds[0].ack_request()); // the client asks for an ACK when it wants a completion
}

TEST_F(SimNodeClient, SleepingNodeFrameIsQueuedAndCompletedOnTheWakeUp)
{
    ASSERT_NO_FATAL_FAILURE(start_nodes({*sim::builtin_profile("sensor", 3)}, 1));
    appl_node_sleep_flag_set(ctx(), 3, 1);
    appl_node_sts_set(ctx(), 3, APPL_NODE_STS_SLEEP, 0);

    // A Get: NACK waiting with a long expected delay ends the wait (queued
    // for a sleeping node; a short one would end in "no ACK" instead), and
    // the frame is sent once.
    recorder get_done;
    ASSERT_EQ(0, send(3, &get_done, {0x80, 0x02}));
    ASSERT_TRUE(get_done.wait(1, 5s));
    EXPECT_EQ(ZIP_ERR_NACK_WAIT, get_done.at(0).status);
    auto get = wait_frame({0x80, 0x02}, 1s);
    ASSERT_TRUE(get);
    EXPECT_EQ(1u, copies(get->frame.packet.seq).size());

    // The wake-up poll's NOP, with the selector: held as well, its number kept.
    recorder nop_done;
    ASSERT_EQ(0, send(3, &nop_done, {0x00}, 0, 1));
    ASSERT_TRUE(nop_done.wait(1, 5s));
    EXPECT_EQ(ZIP_ERR_NACK_WAIT, nop_done.at(0).status);
    auto nop = wait_frame({0x00}, 1s);
    ASSERT_TRUE(nop);
    const uint8_t seq = nop->frame.packet.seq;
    EXPECT_EQ(3, appl_seq_node_get(ctx(), seq));
    ASSERT_TRUE(model->wait_view(3, [](const sim::node_view &v) { return v.held == 2; }, 5s));

    // The wake-up: the client hears the notification and the held Get's
    // report, and the late ACKs of both held frames (their numbers kept while
    // the selector option is on) reach its listener for node 3.
    ASSERT_EQ(0, model->wake_up(3));
    ASSERT_TRUE(wait_rx({0x84, 0x07}, 5s));
    ASSERT_TRUE(wait_rx({0x80, 0x03, 100}, 5s));
    ASSERT_TRUE(n.listener.wait(2, 5s));
    for (const event &e : n.listener.all()) {
        EXPECT_EQ(0, e.status);
        EXPECT_EQ(3, e.node_id);
    }
    EXPECT_EQ(255, appl_seq_node_get(ctx(), seq));
    EXPECT_EQ(255, appl_seq_node_get(ctx(), get->frame.packet.seq));
    auto cmds = model->commands(3);
    ASSERT_EQ(2u, cmds.size());
    EXPECT_EQ((std::vector<uint8_t>{0x80, 0x02}), cmds[0].command);
    EXPECT_EQ((std::vector<uint8_t>{0x00}), cmds[1].command);
    EXPECT_TRUE(cmds[0].held && cmds[1].held);
    EXPECT_TRUE(model->violations().empty());
}

} // namespace
