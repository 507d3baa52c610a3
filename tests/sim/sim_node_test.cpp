// Simulated nodes behind the gateway simulator on real loopback UDP, driven
// by a bare socket client. Each test's gateway lives on 127.61.Y.0/24 (the
// gateway at .1, node N at .N, the client at .200), apart from other test
// binaries.
#include "sim/sim_node.h"
#include "sim_test_support.h"

#include <cerrno>
#include <memory>
#include <random>

namespace {

using namespace std::chrono_literals;
using sim::endpoint;
using sim_test::bytes;
using sim_test::raw_client;
using clk = std::chrono::steady_clock;

constexpr auto answer_wait = 3000ms; // generous: the suite also runs under sanitizers and load
constexpr auto quiet_wait = 300ms;

std::string hex(const bytes &b) { return sim::hex_text(b); }

struct header {
    uint8_t flags0 = 0x80; // ACK request
    uint8_t flags1 = 0x00; // the command bit is added
    uint8_t src_ep = 0;
    uint8_t dst_ep = 0;
    bytes ext;             // header extension, total length byte first
};

bytes packet(uint8_t seq, const bytes &command, const header &h = {})
{
    bytes b = {0x23, 0x02, h.flags0, static_cast<uint8_t>(h.flags1 | 0x40 | (h.ext.empty() ? 0 : 0x80)), seq,
               h.src_ep, h.dst_ep};
    for (uint8_t c : h.ext) // not insert(): g++ 12 warns falsely on it at -O2
        b.push_back(c);
    for (uint8_t c : command)
        b.push_back(c);
    return b;
}

bool is_ack(const raw_client::datagram &d, uint8_t seq)
{
    auto f = d.frame();
    return f.kind == sim::frame_kind::packet && f.packet.ack_response() && f.packet.seq == seq;
}

bool carries(const raw_client::datagram &d, uint8_t cmd_class, uint8_t command)
{
    auto f = d.frame();
    return f.kind == sim::frame_kind::packet && f.packet.command.size() >= 2 && f.packet.command[0] == cmd_class &&
           f.packet.command[1] == command;
}

sim::node_profile profile(const char *name, uint8_t node_id)
{
    auto p = sim::builtin_profile(name, node_id);
    EXPECT_TRUE(p) << name;
    return p.value_or(sim::node_profile{});
}

class SimNode : public ::testing::Test {
protected:
    std::string addr(uint8_t host) const { return prefix + std::to_string(host); }

    void start(const std::vector<sim::node_profile> &nodes)
    {
        std::random_device rd;
        int rc = -1;
        for (int attempt = 0; attempt < 20 && rc != 0; ++attempt) {
            prefix = "127.61." + std::to_string(1 + rd() % 250) + ".";
            sim::gateway_config cfg;
            cfg.address = addr(1);
            cfg.port = 0;
            gw = std::make_unique<sim::gateway>(cfg);
            rc = gw->start();
            if (rc == 0) {
                model = std::make_unique<sim::node_model>(*gw);
                rc = model->add(nodes);
                if (rc != 0) {
                    gw->stop();
                    model.reset();
                }
            }
        }
        ASSERT_EQ(rc, 0) << gw->last_error();
        client = std::make_unique<raw_client>(addr(200));
    }

    void TearDown() override
    {
        if (gw)
            gw->stop();
        model.reset();
    }

    endpoint node(uint8_t id) const { return gw->node(id).value_or(endpoint{}); }

    // Sends an ACK-requested packet to node `id` and returns its ACK.
    void expect_ack(uint8_t id, uint8_t seq, const bytes &command, const header &h = {})
    {
        client->send(node(id), packet(seq, command, h));
        auto got = client->recv_until([seq](const auto &d) { return is_ack(d, seq); }, answer_wait);
        ASSERT_TRUE(got) << "no ACK for " << hex(command);
        EXPECT_EQ(got->from, node(id));
    }

    std::optional<raw_client::datagram> report(uint8_t cmd_class, std::chrono::milliseconds wait = answer_wait)
    {
        return client->recv_until([cmd_class](const auto &d) { return carries(d, cmd_class, 0x03); }, wait);
    }

    std::string prefix;
    std::unique_ptr<sim::gateway> gw;
    std::unique_ptr<sim::node_model> model;
    std::unique_ptr<raw_client> client;
};

TEST_F(SimNode, ListeningNodeAnswersBasicGetWithItsValue)
{
    ASSERT_NO_FATAL_FAILURE(start({profile("basic", 5)}));
    expect_ack(5, 0x10, {0x20, 0x01, 0x63});
    EXPECT_EQ(model->values(5, sim::cc_basic), bytes{0x63});

    client->send(node(5), packet(0x11, {0x20, 0x02}, {0x80, 0x10, 0x02, 0x00, {}}));
    auto r = report(sim::cc_basic);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->from, node(5));
    auto f = r->frame();
    EXPECT_EQ(hex(f.packet.command), "20 03 63");
    EXPECT_FALSE(f.packet.ack_request());
    EXPECT_TRUE(f.packet.secure());    // answered at the level it was asked at
    EXPECT_EQ(f.packet.src_ep, 0);     // from the end point that was asked
    EXPECT_EQ(f.packet.dst_ep(), 2);   // to the asking end point

    auto cmds = model->commands(5);
    ASSERT_EQ(cmds.size(), 2u);
    EXPECT_EQ(hex(cmds[0].command), "20 01 63");
    EXPECT_EQ(cmds[0].seq, 0x10);
    EXPECT_TRUE(cmds[0].ack_request());
    EXPECT_FALSE(cmds[0].secure());
    EXPECT_EQ(hex(cmds[1].command), "20 02");
    EXPECT_TRUE(cmds[1].secure());
    EXPECT_EQ(cmds[1].src_ep, 2);
    EXPECT_EQ(cmds[1].from, client->local());
    EXPECT_EQ(cmds[1].multi_index, -1);
    EXPECT_LT(cmds[0].index, cmds[1].index);
    EXPECT_TRUE(model->violations().empty());
}

} // namespace
