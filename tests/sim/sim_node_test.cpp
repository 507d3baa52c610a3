// Simulated nodes behind the gateway simulator on real loopback UDP, driven
// by a bare socket client. Each test's gateway lives on 127.61.Y.0/24 (the
// gateway at .1, node N at .N, the client at .200), apart from other test
// binaries.
#include "sim/sim_control.h"
#include "sim/sim_node.h"
#include "sim_test_support.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <atomic>

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

// ---------------------------------------------------------------------------
// The class table: Set changes the value, Get answers the Report
// ---------------------------------------------------------------------------

struct class_case {
    const char *name;
    std::vector<sim::class_profile> classes;
    std::vector<bytes> sets; // sent first, each acknowledged
    bytes get;
    const char *report;      // the answer to `get`
    size_t violations;       // frames the node refused
};

const class_case class_cases[] = {
    {"switch v1 on", {{0x25, 1, {}}}, {{0x25, 0x01, 0xFF}}, {0x25, 0x02}, "25 03 FF", 0},
    {"switch v1 level means on", {{0x25, 1, {}}}, {{0x25, 0x01, 0x20}}, {0x25, 0x02}, "25 03 FF", 0},
    {"switch v1 ignores a duration", {{0x25, 1, {0xFF}}}, {{0x25, 0x01, 0x00, 0x05}}, {0x25, 0x02}, "25 03 00", 0},
    {"switch v2 initial value", {{0x25, 2, {0xFF}}}, {}, {0x25, 0x02}, "25 03 FF FF 00", 0},
    {"switch v2 off with duration", {{0x25, 2, {0xFF}}}, {{0x25, 0x01, 0x00, 0x05}}, {0x25, 0x02}, "25 03 00 00 00", 0},
    {"switch refuses a reserved value", {{0x25, 1, {}}}, {{0x25, 0x01, 0x64}}, {0x25, 0x02}, "25 03 00", 1},
    {"switch refuses a truncated set", {{0x25, 1, {0xFF}}}, {{0x25, 0x01}}, {0x25, 0x02}, "25 03 FF", 1},
    {"basic drives the switch", {{0x25, 1, {}}, {0x20, 1, {}}}, {{0x20, 0x01, 0x30}}, {0x25, 0x02}, "25 03 FF", 0},
    {"basic reads the switch", {{0x25, 2, {0xFF}}, {0x20, 1, {}}}, {}, {0x20, 0x02}, "20 03 FF", 0},
    {"basic keeps a level", {{0x20, 1, {}}}, {{0x20, 0x01, 0x10}}, {0x20, 0x02}, "20 03 10", 0},
    {"basic v2 report", {{0x20, 2, {}}}, {{0x20, 0x01, 0xFF}}, {0x20, 0x02}, "20 03 FF FF 00", 0},
    {"basic refuses a truncated set", {{0x20, 1, {0x05}}}, {{0x20, 0x01}}, {0x20, 0x02}, "20 03 05", 1},
    {"battery v1", {{0x80, 1, {55}}}, {}, {0x80, 0x02}, "80 03 37", 0},
    {"battery v2 low warning", {{0x80, 2, {0xFF}}}, {}, {0x80, 0x02}, "80 03 FF 00 00", 0},
    {"battery default full", {{0x80, 1, {}}}, {}, {0x80, 0x02}, "80 03 64", 0},
    {"wake up interval", {{0x84, 1, {}}}, {{0x84, 0x04, 0x00, 0x0E, 0x10, 0x01}}, {0x84, 0x05}, "84 06 00 0E 10 01", 0},
    {"wake up v2 capabilities", {{0x84, 2, {}}}, {}, {0x84, 0x09}, "84 0A 00 00 3C 01 51 80 00 01 2C 00 00 3C", 0},
    // Thermostat setpoints as the two numberings of the supported mask read them.
    {"setpoint type 7 from bit 3", {{0x43, 2, {0x0A, 0x00, 1}}}, {}, {0x43, 0x02, 0x07}, "43 03 07 22 00 D2", 0},
    {"setpoint type the node lacks", {{0x43, 2, {0x82, 0x00, 0}}}, {}, {0x43, 0x02, 0x0B}, "43 03 00 22 00 D2", 0},
    {"setpoint supported mask", {{0x43, 2, {0x82, 0x00, 0}}}, {}, {0x43, 0x04}, "43 05 82 00", 0},
    {"setpoint range v3", {{0x43, 3, {}}}, {}, {0x43, 0x09, 0x01}, "43 0A 01 22 00 32 22 01 2C", 0},
    {"central scene slow refresh", {{0x5B, 3, {}}}, {{0x5B, 0x04, 0x80}}, {0x5B, 0x05}, "5B 06 80", 0},
    {"central scene v3 supported", {{0x5B, 3, {}}}, {}, {0x5B, 0x01}, "5B 02 02 83 03", 0},
    {"central scene v2 supported", {{0x5B, 2, {}}}, {}, {0x5B, 0x01}, "5B 02 02 03 03", 0},
    {"central scene v2 refuses the set", {{0x5B, 2, {}}}, {{0x5B, 0x04, 0x80}}, {0x5B, 0x01}, "5B 02 02 03 03", 1},
    {"notification types", {{0x71, 3, {}}}, {}, {0x71, 0x07}, "71 08 01 40", 0},
    {"notification events", {{0x71, 3, {}}}, {}, {0x71, 0x01, 0x06}, "71 02 06 01 0C", 0},
    {"notification type without events", {{0x71, 3, {}}}, {}, {0x71, 0x01, 0x07}, "71 02 07 00", 0},
    {"group name", {{0x85, 2, {}}, {0x59, 1, {}}}, {}, {0x59, 0x01, 0x01}, "59 02 01 08 4C 69 66 65 6C 69 6E 65", 0},
    {"group commands", {{0x85, 2, {2, 5, 1, 0, 1}}, {0x59, 1, {}}}, {}, {0x59, 0x05, 0x80, 0x02}, "59 06 02 02 20 01",
     0},
    {"group information, list mode", {{0x85, 2, {2, 5, 1, 0, 1}}, {0x59, 1, {}}}, {}, {0x59, 0x03, 0x40, 0x01},
     "59 04 82 01 00 00 01 00 00 00 02 00 20 01 00 00 00", 0},
    {"simple AV supported report", {{0x94, 1, {}}}, {}, {0x94, 0x04, 0x02}, "94 05 02 20 21", 0},
    // A frame placed among the sets that the node must leave unanswered shows
    // itself when its answer comes first in place of the Get's.
    // Multilevel Switch.
    {"level v1", {{0x26, 1, {}}}, {{0x26, 0x01, 0x40}}, {0x26, 0x02}, "26 03 40", 0},
    {"level v4 with target and duration", {{0x26, 4, {}}}, {{0x26, 0x01, 0x20, 0x05}}, {0x26, 0x02}, "26 03 20 20 00",
     0},
    {"level 0xFF is full", {{0x26, 2, {0x10, 2, 0}}}, {{0x26, 0x01, 0xFF}}, {0x26, 0x02}, "26 03 63", 0},
    {"level refuses a reserved level", {{0x26, 2, {0x10, 2, 0}}}, {{0x26, 0x01, 0x64}}, {0x26, 0x02}, "26 03 10", 1},
    {"level change start and stop: taken, unanswered", {{0x26, 3, {0x30, 2, 0}}},
     {{0x26, 0x04, /*up, ignore start*/ 0x20, 0x00, /*duration*/ 0x05, /*step*/ 0x00}, {0x26, 0x05}}, {0x26, 0x02},
     "26 03 30", 0},
    {"level change without a start level", {{0x26, 2, {}}}, {{0x26, 0x04, 0x20}}, {0x26, 0x02}, "26 03 00", 1},
    {"level supported types v3", {{0x26, 3, {}}}, {}, {0x26, 0x06}, "26 07 02 00", 0},
    {"no level supported types before v3", {{0x26, 2, {}}}, {{0x26, 0x06}}, {0x26, 0x02}, "26 03 00", 0},
    {"basic drives a dimmer, 0xFF full", {{0x26, 1, {}}, {0x20, 1, {}}}, {{0x20, 0x01, 0xFF}}, {0x26, 0x02}, "26 03 63",
     0},
    {"basic reads a dimmer", {{0x26, 1, {0x22, 2, 0}}, {0x20, 1, {}}}, {}, {0x20, 0x02}, "20 03 22", 0},
    // Binary Sensor: motion (0x0C) idle, door/window (0x0A) detected.
    {"binary sensor v1", {{0x30, 1, {0x0C, 0xFF}}}, {}, {0x30, 0x02}, "30 03 FF", 0},
    {"binary sensor v2 of a type", {{0x30, 2, {0x0C, 0x00, 0x0A, 0xFF}}}, {}, {0x30, 0x02, 0x0A}, "30 03 FF 0A", 0},
    {"binary sensor v2 without a type", {{0x30, 2, {0x0C, 0x00, 0x0A, 0xFF}}}, {}, {0x30, 0x02}, "30 03 00 0C", 0},
    {"binary sensor v2 type 0 reads the default", {{0x30, 2, {0x0C, 0x00, 0x0A, 0xFF}}}, {}, {0x30, 0x02, 0x00},
     "30 03 00 0C", 0},
    {"binary sensor v2 first type", {{0x30, 2, {0x0C, 0x00, 0x0A, 0xFF}}}, {}, {0x30, 0x02, 0xFF}, "30 03 00 0C", 0},
    {"binary sensor v2 type it lacks", {{0x30, 2, {0x0C, 0x00, 0x0A, 0xFF}}}, {}, {0x30, 0x02, 0x06}, "30 03 00 0C", 0},
    {"binary sensor types: bit n is type n", {{0x30, 2, {0x0C, 0x00, 0x0A, 0xFF}}}, {}, {0x30, 0x01}, "30 04 00 14",
     0},
    {"binary sensor type 1 is bit 1", {{0x30, 2, {0x01, 0x00}}}, {}, {0x30, 0x01}, "30 04 02", 0},
    {"no binary sensor types at v1", {{0x30, 1, {}}}, {{0x30, 0x01}}, {0x30, 0x02}, "30 03 00", 0},
    // Multilevel Sensor: 21.5 C, 70.7 F (one decimal, 2 bytes), 45 % humidity (1 byte).
    {"sensor v5 of a type and scale", {{0x31, 5, {0x01, 0x22, 0x00, 0xD7, 0x01, 0x2A, 0x02, 0xC3, 0x05, 0x01, 0x2D}}},
     {}, {0x31, 0x04, 0x01, 0x08}, "31 05 01 2A 02 C3", 0},
    {"sensor v5 of another type", {{0x31, 5, {0x01, 0x22, 0x00, 0xD7, 0x01, 0x2A, 0x02, 0xC3, 0x05, 0x01, 0x2D}}}, {},
     {0x31, 0x04, 0x05, 0x00}, "31 05 05 01 2D", 0},
    {"sensor v5 scale the type lacks: its first", {{0x31, 5, {0x01, 0x22, 0x00, 0xD7, 0x05, 0x01, 0x2D}}}, {},
     {0x31, 0x04, 0x05, 0x10}, "31 05 05 01 2D", 0},
    {"sensor v5 type it lacks: the first", {{0x31, 5, {0x01, 0x22, 0x00, 0xD7, 0x05, 0x01, 0x2D}}}, {},
     {0x31, 0x04, 0x03, 0x00}, "31 05 01 22 00 D7", 0},
    {"sensor v4 reads no type", {{0x31, 4, {0x01, 0x22, 0x00, 0xD7, 0x05, 0x01, 0x2D}}}, {}, {0x31, 0x04, 0x05, 0x00},
     "31 05 01 22 00 D7", 0},
    {"sensor default reading", {{0x31, 5, {}}}, {}, {0x31, 0x04}, "31 05 01 22 00 FA", 0},
    {"sensor four-byte value", {{0x31, 5, {0x03, 0x4C, 0xFF, 0xFF, 0xFE, 0x0C}}}, {}, {0x31, 0x04},
     "31 05 03 4C FF FF FE 0C", 0},
    {"sensor types: bit 0 is type 1", {{0x31, 5, {0x01, 0x22, 0x00, 0xD7, 0x01, 0x2A, 0x02, 0xC3, 0x05, 0x01, 0x2D}}},
     {}, {0x31, 0x01}, "31 02 11", 0},
    {"sensor scales of a type", {{0x31, 5, {0x01, 0x22, 0x00, 0xD7, 0x01, 0x2A, 0x02, 0xC3, 0x05, 0x01, 0x2D}}}, {},
     {0x31, 0x03, 0x01}, "31 06 01 03", 0},
    {"sensor scales of a type it lacks", {{0x31, 5, {0x01, 0x22, 0x00, 0xD7}}}, {}, {0x31, 0x03, 0x07}, "31 06 07 00",
     0},
    {"sensor get with a type but no scale", {{0x31, 5, {0x01, 0x22, 0x00, 0xD7, 0x05, 0x01, 0x2D}}},
     {{0x31, 0x04, 0x05}}, {0x31, 0x04, 0x05, 0x00}, "31 05 05 01 2D", 1},
    {"sensor scale get without a type", {{0x31, 5, {0x05, 0x01, 0x2D}}}, {{0x31, 0x03}}, {0x31, 0x03, 0x05},
     "31 06 05 01", 1},
    // Meter, electric (1), import (1), reset capable: 12.34 kWh (scale 0, 4
    // bytes) and 45.6 W (scale 2, 2 bytes) 30 s after 40.0 W.
    {"meter v1: no rate type, no delta", {{0x32, 1, {1, 1, 1, 0, 2, 4, 0, 0, 0x04, 0xD2, 0, 0, 0, 0, 0, 0}}}, {},
     {0x32, 0x01}, "32 02 01 44 00 00 04 D2", 0},
    {"meter v2 of a scale, with the previous value",
     {{0x32, 2, {1, 1, 1, 0, 2, 4, 0, 0, 0x04, 0xD2, 0, 0, 0, 0, 0, 0, 2, 1, 2, 0, 0, 0x01, 0xC8, 0, 0x1E, 0, 0, 0x01,
                 0x90}}},
     {}, {0x32, 0x01, 0x10}, "32 02 21 32 01 C8 00 1E 01 90", 0},
    {"meter v3 delta 0: no previous value",
     {{0x32, 3, {1, 1, 1, 0, 2, 4, 0, 0, 0x04, 0xD2, 0, 0, 0, 0, 0, 0, 2, 1, 2, 0, 0, 0x01, 0xC8, 0, 0x1E, 0, 0, 0x01,
                 0x90}}},
     {}, {0x32, 0x01, 0x00}, "32 02 21 44 00 00 04 D2 00 00", 0},
    {"meter scale it lacks: the first", {{0x32, 2, {1, 1, 1, 0, 2, 4, 0, 0, 0x04, 0xD2, 0, 0, 0, 0, 0, 0}}}, {},
     {0x32, 0x01, 0x08}, "32 02 21 44 00 00 04 D2 00 00", 0},
    {"meter v3 scale 4: its bit 2 in the first byte", {{0x32, 3, {1, 1, 0, 4, 0, 1, 0, 0, 0, 0x07, 0, 0, 0, 0, 0, 0}}},
     {}, {0x32, 0x01, 0x20}, "32 02 A1 01 07 00 00", 0},
    {"meter export of a negative value", {{0x32, 2, {1, 2, 0, 0, 1, 2, 0xFF, 0xFF, 0xFF, 0x9C, 0, 0, 0, 0, 0, 0}}}, {},
     {0x32, 0x01, 0x00}, "32 02 41 22 FF 9C 00 00", 0},
    {"meter supported",
     {{0x32, 3, {1, 1, 1, 0, 2, 4, 0, 0, 0x04, 0xD2, 0, 0, 0, 0, 0, 0, 2, 1, 2, 0, 0, 0x01, 0xC8, 0, 0x1E, 0, 0, 0x01,
                 0x90}}},
     {}, {0x32, 0x03}, "32 04 A1 05", 0},
    {"meter reset zeroes every scale",
     {{0x32, 3, {1, 1, 1, 0, 2, 4, 0, 0, 0x04, 0xD2, 0, 0, 0, 0, 0, 0, 2, 1, 2, 0, 0, 0x01, 0xC8, 0, 0x1E, 0, 0, 0x01,
                 0x90}}},
     {{0x32, 0x05}}, {0x32, 0x01, 0x10}, "32 02 21 32 00 00 00 00", 0},
    {"meter without reset keeps its reading", {{0x32, 3, {1, 1, 0, 0, 2, 4, 0, 0, 0x04, 0xD2, 0, 0, 0, 0, 0, 0}}},
     {{0x32, 0x05}}, {0x32, 0x01, 0x00}, "32 02 21 44 00 00 04 D2 00 00", 0},
    {"meter v1: no supported, no reset", {{0x32, 1, {1, 1, 1, 0, 2, 4, 0, 0, 0x04, 0xD2, 0, 0, 0, 0, 0, 0}}},
     {{0x32, 0x03}, {0x32, 0x05}}, {0x32, 0x01}, "32 02 01 44 00 00 04 D2", 0},
    // Switch Color with warm white, red, green and blue (0x1D).
    {"color supported", {{0x33, 1, {0x1D, 0x00, 0x00, 0x00, 0xFF, 0x80, 0x00, 0, 0, 0, 0}}}, {}, {0x33, 0x01},
     "33 02 1D 00", 0},
    {"color v1 get", {{0x33, 1, {0x1D, 0x00, 0x00, 0x00, 0xFF, 0x80, 0x00, 0, 0, 0, 0}}}, {}, {0x33, 0x03, 0x02},
     "33 04 02 FF", 0},
    {"color v3 get: current, target, duration", {{0x33, 3, {0x1D, 0x00, 0x00, 0x00, 0xFF, 0x80, 0x00, 0, 0, 0, 0}}},
     {}, {0x33, 0x03, 0x03}, "33 04 03 80 80 00", 0},
    {"color set of two with a duration", {{0x33, 2, {0x1D, 0x00, 0x00, 0x00, 0xFF, 0x80, 0x00, 0, 0, 0, 0}}},
     {{0x33, 0x05, 0x02, 0x03, 0x10, 0x04, 0x20, /*duration*/ 0x05}}, {0x33, 0x03, 0x04}, "33 04 04 20", 0},
    {"color set skips what the node lacks, whose get is unanswered",
     {{0x33, 1, {0x1D, 0x00, 0x00, 0x00, 0xFF, 0x80, 0x00, 0, 0, 0, 0}}},
     {{0x33, 0x05, 0x02, 0x01, 0x10, 0x00, 0x33}, {0x33, 0x03, 0x01}, {0x33, 0x03, 0x09}}, {0x33, 0x03, 0x00},
     "33 04 00 33", 0},
    {"color set count in the low five bits", {{0x33, 1, {0x1D, 0x00, 0x00, 0x00, 0xFF, 0x80, 0x00, 0, 0, 0, 0}}},
     {{0x33, 0x05, 0xE1, 0x02, 0x11}}, {0x33, 0x03, 0x02}, "33 04 02 11", 0},
    {"color indexed component", {{0x33, 1, {0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x07}}}, {}, {0x33, 0x03, 0x08},
     "33 04 08 07", 0},
    {"color set shorter than its count", {{0x33, 1, {0x1D, 0x00, 0x00, 0x00, 0xFF, 0x80, 0x00, 0, 0, 0, 0}}},
     {{0x33, 0x05, 0x02, 0x02, 0x10}}, {0x33, 0x03, 0x02}, "33 04 02 FF", 1},
    {"color get without a component", {{0x33, 1, {}}}, {{0x33, 0x03}}, {0x33, 0x01}, "33 02 1C 00", 1},
    {"color level change start and stop: taken, unanswered",
     {{0x33, 3, {0x1D, 0x00, 0x00, 0x00, 0xFF, 0x80, 0x00, 0, 0, 0, 0}}},
     {{0x33, 0x06, 0x20, 0x02, 0x00, 0x05}, {0x33, 0x07, 0x02}}, {0x33, 0x03, 0x02}, "33 04 02 FF FF 00", 0},
    {"color level change truncated", {{0x33, 3, {}}}, {{0x33, 0x06, 0x20, 0x02}, {0x33, 0x07}}, {0x33, 0x01},
     "33 02 1C 00", 2},
    // Classes and commands a node does not have are ignored without a word.
    {"unknown class and command", {{0x25, 1, {}}}, {{0x26, 0x01, 0x10}, {0x25, 0x07}, {0x80, 0x02}}, {0x25, 0x02},
     "25 03 00", 0},
};

TEST_F(SimNode, ClassTableSetsAndReports)
{
    std::vector<sim::node_profile> nodes;
    uint8_t id = 2;
    for (const class_case &c : class_cases) {
        sim::node_profile p;
        p.node_id = id++;
        p.classes = c.classes;
        nodes.push_back(p);
    }
    ASSERT_NO_FATAL_FAILURE(start(nodes));

    id = 2;
    uint8_t seq = 1;
    size_t violations = 0;
    for (const class_case &c : class_cases) {
        SCOPED_TRACE(c.name);
        for (const bytes &set : c.sets)
            ASSERT_NO_FATAL_FAILURE(expect_ack(id, seq++, set));
        client->send(node(id), packet(seq++, c.get));
        auto r = client->recv_until([&](const auto &d) { return d.from == node(id) && !d.frame().packet.ack_response(); },
                                    answer_wait);
        ASSERT_TRUE(r);
        EXPECT_EQ(hex(r->frame().packet.command), c.report);
        violations += c.violations;
        EXPECT_EQ(model->violations().size(), violations);
        EXPECT_EQ(model->commands(id).size(), c.sets.size() + 1);
        id++;
    }
}

TEST_F(SimNode, ProfilesAreCheckedWhenAdded)
{
    ASSERT_NO_FATAL_FAILURE(start({}));
    struct add_case {
        const char *name;
        uint8_t node_id;
        std::vector<sim::class_profile> classes;
        int rc;
    };
    const add_case cases[] = {
        {"node 0", 0, {}, -EINVAL},
        {"node 233", 233, {}, -EINVAL},
        {"unknown class", 2, {{0x27, 1, {}}}, -EINVAL},
        {"version 0", 2, {{0x25, 0, {}}}, -EINVAL},
        {"version beyond the model", 2, {{0x25, 3, {}}}, -EINVAL},
        {"values of the wrong length", 2, {{0x80, 1, {1, 2}}}, -EINVAL},
        {"class twice", 2, {{0x25, 1, {}}, {0x25, 2, {}}}, -EINVAL},
        {"IP Association values of the wrong length", 2, {{0x5C, 1, {1, 2}}}, -EINVAL},
        {"good", 2, {{0x25, 2, {0xFF}}}, 0},
        {"again", 2, {}, -EEXIST},
        {"a secure class list of any length", 3, {{0x98, 1, {2, 0x25, 0x26, 0x27}}}, 0},
    };
    for (const add_case &c : cases) {
        SCOPED_TRACE(c.name);
        sim::node_profile p;
        p.node_id = c.node_id;
        p.classes = c.classes;
        EXPECT_EQ(model->add(p), c.rc);
    }
    EXPECT_EQ(model->node_ids(), (std::vector<uint8_t>{2, 3}));
    EXPECT_EQ(node(2).address, addr(2));
    EXPECT_EQ(node(2).port, gw->port());

    EXPECT_EQ(model->set_values(2, 0x25, {0x00}), 0);
    EXPECT_EQ(model->values(2, 0x25), bytes{0x00});
    EXPECT_EQ(model->set_values(2, 0x25, {0x00, 0x01}), -EINVAL);
    EXPECT_EQ(model->set_values(2, 0x80, {0x10}), -ENOENT);
    EXPECT_EQ(model->set_values(9, 0x25, {0x10}), -ENOENT);
    EXPECT_FALSE(model->values(2, 0x80));
    // A state of any length still has its frame count.
    EXPECT_EQ(model->set_values(3, 0x98, {}), -EINVAL);
    EXPECT_EQ(model->set_values(3, 0x98, bytes(300, 0x25)), 0);
    EXPECT_EQ(model->values(3, 0x98), bytes(300, 0x25));

    // A model needs the gateway's port for its nodes.
    sim::gateway idle;
    sim::node_model early(idle);
    EXPECT_EQ(early.add(profile("switch", 2)), -ENOTCONN);
}

TEST_F(SimNode, BuiltinProfilesAndTheirNodeInformation)
{
    struct builtin_case {
        const char *name;
        sim::node_kind kind;
        bytes classes;
        bool listening;
        bool flirs;
    };
    const builtin_case cases[] = {
        {"switch", sim::node_kind::listening, {0x25, 0x20}, true, false},
        {"sensor", sim::node_kind::sleeping, {0x80, 0x84, 0x20}, false, false},
        {"basic", sim::node_kind::listening, {0x20}, true, false},
        {"flirs", sim::node_kind::flirs, {0x20, 0x80}, false, true},
        {"plus_switch", sim::node_kind::listening, {0x5E, 0x86, 0x72, 0x25, 0x20}, true, false},
        {"plus_sensor", sim::node_kind::sleeping, {0x5E, 0x86, 0x72, 0x84, 0x80, 0x20}, false, false},
        {"multi_channel", sim::node_kind::listening, {0x5E, 0x86, 0x72, 0x60, 0x25, 0x20}, true, false},
        {"multi_instance", sim::node_kind::listening, {0x86, 0x60, 0x25, 0x20}, true, false},
        {"dimmer", sim::node_kind::listening, {0x5E, 0x86, 0x72, 0x26, 0x20}, true, false},
        {"color", sim::node_kind::listening, {0x5E, 0x86, 0x72, 0x33, 0x26, 0x20}, true, false},
        {"meter_plug", sim::node_kind::listening, {0x5E, 0x86, 0x72, 0x25, 0x32, 0x20}, true, false},
        {"multisensor", sim::node_kind::listening, {0x5E, 0x86, 0x72, 0x30, 0x31, 0x20}, true, false},
    };
    ASSERT_EQ(sim::builtin_profile_names().size(), std::size(cases));
    for (const builtin_case &c : cases) {
        SCOPED_TRACE(c.name);
        auto p = sim::builtin_profile(c.name, 9);
        ASSERT_TRUE(p);
        EXPECT_EQ(p->node_id, 9);
        EXPECT_EQ(p->kind, c.kind);
        bytes classes;
        for (const auto &cls : p->classes)
            classes.push_back(cls.cmd_class);
        EXPECT_EQ(classes, c.classes);
        const sim::nm_node n = sim::nm_node_of(*p);
        EXPECT_EQ(n.node_id, 9);
        EXPECT_EQ(n.listening, c.listening);
        EXPECT_EQ(n.flirs, c.flirs);
        EXPECT_EQ(n.classes, c.classes);
    }
    EXPECT_FALSE(sim::builtin_profile("toaster", 2));

    // Their states fit their classes: a model takes every one of them.
    std::vector<sim::node_profile> all;
    for (const std::string &name : sim::builtin_profile_names())
        all.push_back(profile(name.c_str(), static_cast<uint8_t>(2 + all.size())));
    ASSERT_NO_FATAL_FAILURE(start(all));
    EXPECT_EQ(model->node_ids().size(), all.size());
}

// State layouts of inner structure are checked where they come in: in a
// profile and from set_values.
TEST_F(SimNode, ClassStatesOfInnerStructureAreChecked)
{
    ASSERT_NO_FATAL_FAILURE(start({}));
    struct state_case {
        const char *name;
        uint8_t cmd_class;
        uint8_t version;
        bytes values;
        bool fits;
    };
    const bytes kwh{0, 2, 4, 0, 0, 0x04, 0xD2, 0, 0, 0, 0, 0, 0}; // one meter reading
    auto meter = [&](bytes head, std::vector<bytes> readings) {
        for (const bytes &r : readings)
            head.insert(head.end(), r.begin(), r.end());
        return head;
    };
    bytes scale4 = kwh, size3 = kwh, prec8 = kwh;
    scale4[0] = 4;
    size3[2] = 3;
    prec8[1] = 8;
    const state_case cases[] = {
        {"meter, two readings", 0x32, 3, meter({1, 1, 1}, {kwh, {2, 1, 2, 0, 0, 1, 0xC8, 0, 0, 0, 0, 0, 0}}), true},
        {"meter without a reading", 0x32, 3, {1, 1, 1}, false},
        {"meter reading cut short", 0x32, 3, meter({1, 1, 1}, {bytes(kwh.begin(), kwh.end() - 1)}), false},
        {"meter scale twice", 0x32, 3, meter({1, 1, 1}, {kwh, kwh}), false},
        {"meter scale 4 at v3", 0x32, 3, meter({1, 1, 1}, {scale4}), true},
        {"meter scale 4 at v2", 0x32, 2, meter({1, 1, 1}, {scale4}), false},
        {"meter scale 7", 0x32, 6, meter({1, 1, 1}, {bytes{7, 2, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}), false},
        {"meter value of 3 bytes", 0x32, 3, meter({1, 1, 1}, {size3}), false},
        {"meter precision 8", 0x32, 3, meter({1, 1, 1}, {prec8}), false},
        {"meter type 0", 0x32, 3, meter({0, 1, 1}, {kwh}), false},
        {"meter rate type 4", 0x32, 3, meter({1, 4, 1}, {kwh}), false},
        {"binary sensor, two types", 0x30, 2, {0x0C, 0x00, 0x0A, 0xFF}, true},
        {"binary sensor odd length", 0x30, 2, {0x0C, 0x00, 0x0A}, false},
        {"binary sensor type 0", 0x30, 2, {0x00, 0x00}, false},
        {"binary sensor type 0xFF", 0x30, 2, {0xFF, 0x00}, false},
        {"binary sensor state 1", 0x30, 2, {0x0C, 0x01}, false},
        {"binary sensor type twice", 0x30, 2, {0x0C, 0x00, 0x0C, 0xFF}, false},
        {"sensor readings of 1, 2 and 4 bytes", 0x31, 5, {1, 0x21, 5, 5, 0x02, 0, 7, 3, 0x04, 0, 0, 1, 0}, true},
        {"sensor value of 3 bytes", 0x31, 5, {1, 0x23, 0, 0, 0}, false},
        {"sensor value cut short", 0x31, 5, {1, 0x22, 0}, false},
        {"sensor byte left over", 0x31, 5, {1, 0x21, 5, 5}, false},
        {"sensor type 0", 0x31, 5, {0, 0x21, 5}, false},
        {"sensor type and scale twice", 0x31, 5, {1, 0x21, 5, 1, 0x41, 6}, false},
        {"sensor one type, two scales", 0x31, 5, {1, 0x21, 5, 1, 0x29, 6}, true},
        {"color of the indexed component", 0x33, 3, {0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true},
        {"color without a component", 0x33, 3, bytes(11, 0), false},
        {"color of component 9", 0x33, 3, {0x00, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false},
        {"color one value short", 0x33, 3, {0x1C, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}, false},
    };
    uint8_t id = 2;
    for (const state_case &c : cases) {
        SCOPED_TRACE(c.name);
        const int want = c.fits ? 0 : -EINVAL;
        sim::node_profile p;
        p.node_id = id++;
        p.classes = {{c.cmd_class, c.version, c.values}};
        EXPECT_EQ(model->add(p), want);
        // A node of that class with its defaults takes the same state or keeps its own.
        p.node_id = id++;
        p.classes = {{c.cmd_class, c.version, {}}};
        ASSERT_EQ(model->add(p), 0);
        const auto before = model->values(p.node_id, c.cmd_class);
        EXPECT_EQ(model->set_values(p.node_id, c.cmd_class, c.values), want);
        EXPECT_EQ(model->values(p.node_id, c.cmd_class), c.fits ? c.values : before);
    }
}

// ---------------------------------------------------------------------------
// Header of the answers, and what is not the model's
// ---------------------------------------------------------------------------

TEST_F(SimNode, AnswersCarryTheEncapsulationFormatTheyWereAskedWith)
{
    ASSERT_NO_FATAL_FAILURE(start({profile("switch", 4)}));
    header h;
    h.ext = {0x05, 0x84, 0x02, 0x01, 0x00}; // critical encapsulation format 0x0100
    expect_ack(4, 0x30, {0x25, 0x02}, h);
    auto r = report(0x25);
    ASSERT_TRUE(r);
    auto f = r->frame();
    ASSERT_EQ(f.kind, sim::frame_kind::packet);
    EXPECT_EQ(f.packet.encap_format(), 0x0100);
    ASSERT_EQ(f.packet.options.size(), 1u);
    EXPECT_TRUE(f.packet.options[0].critical);
    auto cmds = model->commands(4);
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0].encap_format, 0x0100);
    ASSERT_EQ(cmds[0].options.size(), 1u);
    EXPECT_EQ(cmds[0].options[0].type, sim::option_encap_format);

    // An end point the node does not have: acknowledged, recorded, not acted on.
    h = {};
    h.dst_ep = 1;
    expect_ack(4, 0x31, {0x25, 0x01, 0xFF}, h);
    EXPECT_EQ(model->values(4, 0x25), bytes{0x00});
    ASSERT_EQ(model->violations().size(), 1u);
    EXPECT_NE(model->violations()[0].find("end point 1"), std::string::npos);
}

TEST_F(SimNode, NodesOutsideTheModelStillUseTheGatewayHandlers)
{
    ASSERT_NO_FATAL_FAILURE(start({profile("switch", 4)}));
    ASSERT_EQ(gw->add_node(6, addr(6)), 0);
    std::atomic<int> calls{0};
    gw->on_command(0x25, sim::any_command, [&](const sim::command_context &) {
        calls++;
        return std::optional<std::vector<sim::command_reply>>{{{{0x25, 0x03, 0x42}}}};
    });
    expect_ack(6, 0x40, {0x25, 0x02});
    auto r = report(0x25);
    ASSERT_TRUE(r);
    EXPECT_EQ(hex(r->frame().packet.command), "25 03 42");
    expect_ack(4, 0x41, {0x25, 0x02});
    r = report(0x25);
    ASSERT_TRUE(r);
    EXPECT_EQ(hex(r->frame().packet.command), "25 03 00 00 00");
    EXPECT_EQ(calls.load(), 1);
    EXPECT_TRUE(model->commands(6).empty());
}

// ---------------------------------------------------------------------------
// Multi Command
// ---------------------------------------------------------------------------

sim::node_profile batching_switch(uint8_t id)
{
    sim::node_profile p = profile("switch", id);
    p.classes.push_back({sim::cc_multi_cmd, 1, {}});
    return p;
}

TEST_F(SimNode, MultiCommandIsUnpackedInOrder)
{
    ASSERT_NO_FATAL_FAILURE(start({batching_switch(3)}));
    const bytes frame = {0x8F, 0x01, 0x03,
                         0x03, 0x25, 0x01, 0xFF, // Binary Switch Set on
                         0x02, 0x25, 0x02,       // Binary Switch Get
                         0x02, 0x20, 0x02};      // Basic Get
    EXPECT_EQ(sim::multi_command_frame({{0x25, 0x01, 0xFF}, {0x25, 0x02}, {0x20, 0x02}}), frame);
    EXPECT_TRUE(sim::multi_command_frame({{0x25, 0x02}, {}}).empty());
    EXPECT_TRUE(sim::multi_command_frame({bytes(256, 0x20)}).empty());
    expect_ack(3, 0x50, frame, {0x80, 0x10, 0x01, 0x00, {}});
    auto first = client->recv_until([](const auto &d) { return !d.frame().packet.ack_response(); }, answer_wait);
    auto second = client->recv_until([](const auto &d) { return !d.frame().packet.ack_response(); }, answer_wait);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(hex(first->frame().packet.command), "25 03 FF FF 00");
    EXPECT_EQ(hex(second->frame().packet.command), "20 03 FF");
    EXPECT_EQ(first->from, node(3));

    auto cmds = model->commands(3);
    ASSERT_EQ(cmds.size(), 3u);
    const char *want[] = {"25 01 FF", "25 02", "20 02"};
    for (size_t i = 0; i < cmds.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(hex(cmds[i].command), want[i]);
        EXPECT_EQ(cmds[i].multi_index, static_cast<int>(i));
        EXPECT_EQ(cmds[i].seq, 0x50); // each keeps its packet's header
        EXPECT_TRUE(cmds[i].secure());
        EXPECT_EQ(cmds[i].src_ep, 1);
    }
    EXPECT_TRUE(model->violations().empty());
}

TEST_F(SimNode, BrokenMultiCommandIsRecordedWholeAndNotActedOn)
{
    sim::node_profile plain = profile("switch", 4); // without Multi Command
    ASSERT_NO_FATAL_FAILURE(start({batching_switch(3), plain}));
    struct broken_case {
        const char *name;
        uint8_t node_id;
        bytes frame;
        const char *why;
    };
    const broken_case cases[] = {
        {"no count", 3, {0x8F, 0x01}, "without a count"},
        {"other command", 3, {0x8F, 0x02, 0x01, 0x03, 0x25, 0x01, 0xFF}, "unknown command"},
        {"count 0", 3, {0x8F, 0x01, 0x00}, "without commands"},
        {"count above the commands", 3, {0x8F, 0x01, 0x02, 0x03, 0x25, 0x01, 0xFF}, "shorter than its count"},
        {"length past the end", 3, {0x8F, 0x01, 0x01, 0x04, 0x25, 0x01, 0xFF}, "runs past the frame"},
        {"empty command", 3, {0x8F, 0x01, 0x02, 0x03, 0x25, 0x01, 0xFF, 0x00}, "empty command"},
        {"trailing bytes", 3, {0x8F, 0x01, 0x01, 0x03, 0x25, 0x01, 0xFF, 0x00}, "bytes after"},
        {"nested", 3, {0x8F, 0x01, 0x01, 0x06, 0x8F, 0x01, 0x01, 0x02, 0x25, 0x02}, "inside a Multi Command"},
        {"node without the class", 4, {0x8F, 0x01, 0x01, 0x03, 0x25, 0x01, 0xFF}, "without that class"},
    };
    uint8_t seq = 0x60;
    size_t n = 0;
    for (const broken_case &c : cases) {
        SCOPED_TRACE(c.name);
        expect_ack(c.node_id, seq++, c.frame);
        auto cmds = model->commands(0);
        ASSERT_EQ(cmds.size(), ++n);
        EXPECT_EQ(cmds.back().command, c.frame);
        EXPECT_EQ(cmds.back().multi_index, -1);
        auto v = model->violations();
        ASSERT_EQ(v.size(), n);
        EXPECT_NE(v.back().find(c.why), std::string::npos) << v.back();
    }
    // None of them switched anything or drew an answer.
    EXPECT_EQ(model->values(3, 0x25), bytes{0x00});
    EXPECT_EQ(model->values(4, 0x25), bytes{0x00});
    auto extra = client->recv(quiet_wait);
    EXPECT_FALSE(extra) << hex(extra->data);
}

// ---------------------------------------------------------------------------
// Sleeping nodes
// ---------------------------------------------------------------------------

bool is_nack_waiting(const raw_client::datagram &d, uint8_t seq)
{
    auto f = d.frame();
    return f.kind == sim::frame_kind::packet && f.packet.nack() && f.packet.nack_waiting() && f.packet.seq == seq;
}

TEST_F(SimNode, SleepingNodeFramesAreHeldUntilTheWakeUp)
{
    ASSERT_NO_FATAL_FAILURE(start({profile("sensor", 3)}));
    ASSERT_TRUE(model->wait_awake(3, false, answer_wait));
    ASSERT_EQ(model->set_values(3, sim::cc_battery, {42}), 0);

    // Held: NACK waiting, with the rest of the 300 s interval as expected delay.
    client->send(node(3), packet(0x20, {0x80, 0x02}));
    auto nack = client->recv(answer_wait);
    ASSERT_TRUE(nack);
    EXPECT_EQ(nack->from, node(3));
    ASSERT_TRUE(is_nack_waiting(*nack, 0x20)) << hex(nack->data);
    auto delay = nack->frame().packet.expected_delay();
    ASSERT_TRUE(delay);
    EXPECT_LE(*delay, 300u);
    EXPECT_GE(*delay, 240u);
    // A resend of the same frame is the same held frame.
    client->send(node(3), packet(0x20, {0x80, 0x02}));
    ASSERT_TRUE(client->recv_until([](const auto &d) { return is_nack_waiting(d, 0x20); }, answer_wait));
    // A frame without an ACK request is held silently.
    client->send(node(3), packet(0x21, {0x20, 0x01, 0xFF}, {0x00, 0x00, 0x00, 0x00, {}}));
    ASSERT_TRUE(model->wait_view(3, [](const sim::node_view &v) { return v.held == 2; }, answer_wait));
    EXPECT_TRUE(model->commands(3).empty());
    auto rx = gw->received();
    ASSERT_EQ(rx.size(), 3u);
    EXPECT_EQ(rx[0].applied, sim::reply::nack_waiting);
    EXPECT_FALSE(rx[2].applied);

    // The wake-up: the notification first, then the held frames in order,
    // each acknowledged under its own sequence number.
    const uint64_t mark = model->next_command_index();
    ASSERT_EQ(model->wake_up(3), 0);
    std::vector<raw_client::datagram> seen;
    while (seen.size() < 3) {
        auto d = client->recv(answer_wait);
        ASSERT_TRUE(d) << "after " << seen.size() << " frames";
        seen.push_back(*d);
    }
    for (const auto &d : seen)
        EXPECT_EQ(d.from, node(3));
    EXPECT_EQ(hex(seen[0].frame().packet.command), "84 07");
    EXPECT_TRUE(is_ack(seen[1], 0x20));
    EXPECT_EQ(hex(seen[2].frame().packet.command), "80 03 2A");
    EXPECT_TRUE(model->wait_view(3, [](const sim::node_view &v) { return v.awake && v.held == 0 && v.wake_ups == 1; },
                                 answer_wait));
    auto held = model->commands(3);
    ASSERT_EQ(held.size(), 2u);
    EXPECT_EQ(held[0].index, mark);
    EXPECT_EQ(hex(held[0].command), "80 02");
    EXPECT_EQ(hex(held[1].command), "20 01 FF");
    EXPECT_TRUE(held[0].held && held[1].held);
    EXPECT_EQ(model->values(3, sim::cc_basic), bytes{0xFF});

    // Awake: answered at once.
    expect_ack(3, 0x22, {0x84, 0x05});
    auto r = client->recv_until([](const auto &d) { return carries(d, 0x84, 0x06); }, answer_wait);
    ASSERT_TRUE(r);
    EXPECT_EQ(hex(r->frame().packet.command), "84 06 00 01 2C 01");
    EXPECT_FALSE(model->commands(3).back().held);

    // No More Information: asleep again, and the next frame is held, with the
    // interval set meanwhile (600 s) as expected delay.
    expect_ack(3, 0x23, {0x84, 0x04, 0x00, 0x02, 0x58, 0x01});
    expect_ack(3, 0x24, {0x84, 0x08});
    ASSERT_TRUE(model->wait_awake(3, false, answer_wait));
    client->send(node(3), packet(0x25, {0x80, 0x02}));
    nack = client->recv_until([](const auto &d) { return is_nack_waiting(d, 0x25); }, answer_wait);
    ASSERT_TRUE(nack);
    delay = nack->frame().packet.expected_delay();
    ASSERT_TRUE(delay);
    EXPECT_LE(*delay, 600u);
    EXPECT_GE(*delay, 540u);
    EXPECT_TRUE(model->violations().empty());
}

TEST_F(SimNode, HeldNoMoreInformationEndsTheWakeUpEarly)
{
    ASSERT_NO_FATAL_FAILURE(start({profile("sensor", 3)}));
    client->send(node(3), packet(0x30, {0x80, 0x02}));
    client->send(node(3), packet(0x31, {0x84, 0x08}));
    client->send(node(3), packet(0x32, {0x20, 0x02}));
    ASSERT_TRUE(model->wait_view(3, [](const sim::node_view &v) { return v.held == 3; }, answer_wait));

    ASSERT_EQ(model->wake_up(3), 0);
    ASSERT_TRUE(client->recv_until([](const auto &d) { return is_ack(d, 0x31); }, answer_wait));
    // Back to sleep with the last frame still held for the next wake-up.
    ASSERT_TRUE(model->wait_view(
        3, [](const sim::node_view &v) { return !v.awake && v.wake_ups == 1 && v.held == 1; }, answer_wait));
    EXPECT_EQ(model->commands(3).size(), 2u);

    ASSERT_EQ(model->wake_up(3), 0);
    ASSERT_TRUE(client->recv_until([](const auto &d) { return carries(d, 0x20, 0x03); }, answer_wait));
    auto cmds = model->commands(3);
    ASSERT_EQ(cmds.size(), 3u);
    EXPECT_EQ(hex(cmds[2].command), "20 02");
    EXPECT_TRUE(cmds[2].held);
}

TEST_F(SimNode, WakeUpNotificationGoesWhereItIsSent)
{
    ASSERT_NO_FATAL_FAILURE(start({profile("sensor", 3), profile("switch", 4)}));
    // Nobody has talked to the gateway yet: no destination.
    EXPECT_EQ(model->wake_up(3), -ENOTCONN);
    EXPECT_EQ(model->wake_up(4), -EINVAL);
    EXPECT_EQ(model->wake_up(9), -ENOENT);
    EXPECT_EQ(model->fall_asleep(4), -EINVAL);

    raw_client other(addr(201));
    raw_client third(addr(202));
    auto wun = [](const auto &d) { return carries(d, sim::cc_wake_up, sim::wake_up_notification); };
    // The last client heard from.
    expect_ack(4, 0x01, {0x25, 0x02});
    ASSERT_EQ(model->wake_up(3), 0);
    ASSERT_TRUE(client->recv_until(wun, answer_wait));
    // The unsolicited destination, once set.
    model->set_unsolicited_destination(other.local());
    ASSERT_EQ(model->wake_up(3), 0);
    auto got = other.recv_until(wun, answer_wait);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->from, node(3));
    // The caller's, for one wake-up.
    ASSERT_EQ(model->wake_up(3, third.local()), 0);
    ASSERT_TRUE(third.recv_until(wun, answer_wait));
    EXPECT_TRUE(model->wait_view(3, [](const sim::node_view &v) { return v.wake_ups == 3; }, answer_wait));

    ASSERT_EQ(model->fall_asleep(3), 0);
    ASSERT_TRUE(model->wait_awake(3, false, answer_wait));
}

TEST_F(SimNode, AwakeNodeSleepsAfterItsTimeOut)
{
    sim::node_profile p = profile("sensor", 3);
    p.awake_timeout = 300ms;
    ASSERT_NO_FATAL_FAILURE(start({p}));
    model->set_unsolicited_destination(client->local());
    ASSERT_EQ(model->wake_up(3), 0);
    ASSERT_TRUE(model->wait_awake(3, true, answer_wait));
    // A second wake-up restarts the time-out: the first one's expiry (due
    // before second + 300 ms) is void.
    std::this_thread::sleep_for(150ms);
    const auto second = clk::now();
    ASSERT_EQ(model->wake_up(3), 0);
    ASSERT_TRUE(model->wait_view(3, [](const sim::node_view &v) { return v.wake_ups == 2; }, answer_wait));
    ASSERT_TRUE(model->wait_awake(3, false, 10s));
    EXPECT_GE(clk::now() - second, 300ms);
}

// ---------------------------------------------------------------------------
// FLiRS answers, unsolicited reports
// ---------------------------------------------------------------------------

TEST_F(SimNode, FlirsNodeAnswersLateOrNotAtAll)
{
    ASSERT_NO_FATAL_FAILURE(start({profile("flirs", 7)}));
    EXPECT_EQ(model->set_answers(9, sim::answer_mode::never), -ENOENT);

    ASSERT_EQ(model->set_answers(7, sim::answer_mode::late, 500ms), 0);
    const auto t0 = clk::now();
    expect_ack(7, 0x70, {0x20, 0x02});
    auto r = report(sim::cc_basic);
    ASSERT_TRUE(r);
    EXPECT_GE(clk::now() - t0, 490ms);

    // Never: the Get is acknowledged and recorded, and a Set still acts.
    ASSERT_EQ(model->set_answers(7, sim::answer_mode::never), 0);
    expect_ack(7, 0x71, {0x20, 0x02});
    expect_ack(7, 0x72, {0x20, 0x01, 0x20});
    expect_ack(7, 0x73, {0x80, 0x02});
    auto none = client->recv(quiet_wait);
    EXPECT_FALSE(none) << hex(none->data);
    EXPECT_EQ(model->commands(7).size(), 4u);
    EXPECT_EQ(model->values(7, sim::cc_basic), bytes{0x20});

    ASSERT_EQ(model->set_answers(7, sim::answer_mode::normal), 0);
    expect_ack(7, 0x74, {0x80, 0x02});
    r = report(sim::cc_battery);
    ASSERT_TRUE(r);
    EXPECT_EQ(hex(r->frame().packet.command), "80 03 64");
}

TEST_F(SimNode, UnsolicitedReportsCarryTheCurrentValue)
{
    ASSERT_NO_FATAL_FAILURE(start({profile("switch", 2), profile("sensor", 3)}));
    EXPECT_EQ(model->send_report(2, sim::cc_switch_binary), -ENOTCONN);
    model->set_unsolicited_destination(client->local());

    ASSERT_EQ(model->set_values(2, sim::cc_switch_binary, {0xFF}), 0);
    int seq = model->send_report(2, sim::cc_switch_binary);
    ASSERT_GE(seq, 0);
    auto r = client->recv(answer_wait);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->from, node(2));
    auto f = r->frame();
    EXPECT_EQ(hex(f.packet.command), "25 03 FF FF 00");
    EXPECT_EQ(f.packet.seq, seq);
    EXPECT_FALSE(f.packet.ack_request());

    // A sleeping node reports too (it wakes for that moment), and reports may
    // ask for an ACK, which the gateway records.
    model->set_report_ack_request(true);
    ASSERT_EQ(model->set_values(3, sim::cc_battery, {0xFF}), 0);
    seq = model->send_report(3, sim::cc_battery);
    ASSERT_GE(seq, 0);
    r = client->recv(answer_wait);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->from, node(3));
    f = r->frame();
    EXPECT_EQ(hex(f.packet.command), "80 03 FF");
    EXPECT_TRUE(f.packet.ack_request());
    const uint64_t mark = gw->next_index();
    client->send(node(3), {0x23, 0x02, 0x40, 0x00, static_cast<uint8_t>(seq), 0x00, 0x00});
    EXPECT_TRUE(gw->wait_for_answer(static_cast<uint8_t>(seq), answer_wait, mark));

    // Any command, e.g. a report of a class the model does not know.
    EXPECT_EQ(model->send_report(2, sim::cc_battery), -ENOENT);
    EXPECT_EQ(model->send_report(9, sim::cc_battery), -ENOENT);
    ASSERT_GE(model->send_command(2, {0x71, 0x05, 0x00, 0x00, 0x00, 0xFF, 0x06, 0x16}), 0);
    r = client->recv(answer_wait);
    ASSERT_TRUE(r);
    EXPECT_EQ(hex(r->frame().packet.command), "71 05 00 00 00 FF 06 16");
    EXPECT_FALSE(r->frame().packet.ack_request());
    EXPECT_TRUE(model->commands().empty()); // sent, not received
}

// ---------------------------------------------------------------------------
// Threads: test calls race the loop thread
// ---------------------------------------------------------------------------

TEST_F(SimNode, TestCallsRaceTheNodesSafely)
{
    ASSERT_NO_FATAL_FAILURE(start({profile("switch", 2), profile("sensor", 3)}));
    model->set_unsolicited_destination(client->local());
    raw_client poller(addr(201));
    constexpr int gets = 200;
    std::atomic<bool> done{false};

    // One thread sets values, sends reports and wakes and puts to sleep the
    // sensor, while the loop thread answers the poller's Gets.
    std::thread noise([&] {
        for (uint8_t i = 0; !done.load(); i++) {
            model->set_values(3, sim::cc_battery, {static_cast<uint8_t>(i % 100)});
            model->send_report(3, sim::cc_battery);
            if (i % 2)
                model->wake_up(3);
            else
                model->fall_asleep(3);
            (void)model->view(3);
            (void)model->commands();
            std::this_thread::sleep_for(1ms);
        }
    });
    int answered = 0;
    for (int i = 0; i < gets; i++) {
        poller.send(node(2), packet(static_cast<uint8_t>(i), {0x25, 0x02}));
        if (poller.recv_until([](const auto &d) { return carries(d, 0x25, 0x03); }, answer_wait))
            answered++;
    }
    done.store(true);
    noise.join();
    EXPECT_EQ(answered, gets);
    EXPECT_EQ(model->commands(2).size(), static_cast<size_t>(gets));
    EXPECT_TRUE(model->violations().empty());
}

// ---------------------------------------------------------------------------
// Waiting for commands
// ---------------------------------------------------------------------------

TEST_F(SimNode, WaitCommandSeesOnlyWhatCameAfterTheMark)
{
    ASSERT_NO_FATAL_FAILURE(start({profile("switch", 2), profile("basic", 4)}));
    expect_ack(2, 0x01, {0x25, 0x02});
    const uint64_t mark = model->next_command_index();
    EXPECT_EQ(mark, 1u);

    // Nothing new yet: the earlier Get does not count, and the wait lasts.
    const auto t0 = clk::now();
    EXPECT_FALSE(model->wait_command(2, 0x25, 0x02, 200ms, mark));
    EXPECT_GE(clk::now() - t0, 200ms);

    std::thread later([&] {
        std::this_thread::sleep_for(100ms);
        // Acknowledged before the next goes: two node sockets have no order.
        client->send(node(4), packet(0x02, {0x20, 0x01, 0x10}));
        client->recv_until([](const auto &d) { return is_ack(d, 0x02); }, answer_wait);
        client->send(node(2), packet(0x03, {0x25, 0x02}));
    });
    auto got = model->wait_command(2, 0x25, 0x02, answer_wait, mark);
    later.join();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->seq, 0x03);
    EXPECT_GT(got->index, mark); // the Basic Set to node 4 came first
    auto any = model->wait_command([](const sim::node_command &c) { return c.node_id == 4; }, answer_wait, mark);
    ASSERT_TRUE(any);
    EXPECT_EQ(any->index, mark);
    EXPECT_EQ(model->commands().size(), 3u);
}

TEST_F(SimNode, SleepingNodeFrameWithAnUnknownCriticalOptionIsRefusedNotHeld)
{
    ASSERT_NO_FATAL_FAILURE(start({profile("sensor", 3)}));
    header h;
    h.ext = {0x04, 0x85, 0x01, 0x00};
    client->send(node(3), packet(0x10, {0x80, 0x02}, h));
    auto got = client->recv(answer_wait);
    ASSERT_TRUE(got);
    auto f = got->frame();
    EXPECT_TRUE(f.packet.nack_option_error());
    EXPECT_FALSE(f.packet.nack_waiting());
    EXPECT_EQ(model->view(3)->held, 0u);
}

// ---------------------------------------------------------------------------
// Whatever the client sends
// ---------------------------------------------------------------------------

// Every prefix and a few hundred mutations of golden commands reach the node
// (AddressSanitizer proves every read in bounds); it then still answers.
TEST_F(SimNode, TruncatedAndMutatedCommandsAreTakenSafely)
{
    sim::node_profile p;
    p.node_id = 6;
    p.classes = {{0x20, 2, {}}, {0x25, 2, {}}, {0x80, 2, {}}, {0x84, 2, {}}, {0x8F, 1, {}}};
    // The lights, meter and sensor classes, with states of several entries.
    p.classes.insert(p.classes.end(),
                     {{0x26, 4, {}},
                      {0x30, 2, {0x0C, 0x00, 0x0A, 0xFF}},
                      {0x31, 5, {0x01, 0x22, 0x00, 0xD7, 0x01, 0x2A, 0x02, 0xC3, 0x05, 0x01, 0x2D}},
                      {0x32, 3, {1, 1, 1, 0, 2, 4, 0, 0, 4, 0xD2, 0, 0, 0, 0, 0, 0,
                                 4, 1, 2, 0, 0, 1, 0xC8, 0, 0x1E, 0, 0, 1, 0}},
                      {0x33, 3, {0x1D, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0}}});
    ASSERT_NO_FATAL_FAILURE(start({p}));
    const std::vector<bytes> golden = {
        sim::multi_command_frame({{0x25, 0x01, 0xFF, 0x05}, {0x25, 0x02}, {0x80, 0x02}, {0x84, 0x09}}),
        {0x20, 0x01, 0x10},
        {0x25, 0x01, 0xFF, 0x05},
        {0x84, 0x04, 0x00, 0x01, 0x00, 0x01},
        {0x84, 0x09},
        {0x80, 0x02},
        {0x26, 0x01, 0x20, 0x05},
        {0x26, 0x04, 0x60, 0x10, 0x05, 0x01},
        {0x30, 0x02, 0x0A},
        {0x31, 0x04, 0x01, 0x08},
        {0x31, 0x03, 0x05},
        {0x32, 0x01, 0x20},
        {0x32, 0x05},
        {0x33, 0x05, 0x03, 0x02, 0x10, 0x03, 0x20, 0x08, 0x30, 0x05},
        {0x33, 0x06, 0x20, 0x08, 0x00, 0x05},
        {0x33, 0x03, 0x08},
    };
    std::vector<bytes> inputs;
    for (const bytes &g : golden)
        for (size_t n = 1; n <= g.size(); n++)
            inputs.emplace_back(g.begin(), g.begin() + static_cast<long>(n));
    std::mt19937 rng(1234);
    for (int i = 0; i < 300; i++) {
        bytes m = golden[rng() % golden.size()];
        m[rng() % m.size()] = static_cast<uint8_t>(rng());
        if (rng() % 2)
            m.resize(1 + rng() % m.size());
        inputs.push_back(m);
    }
    // In batches, each closed by an acknowledged Get: the node has then taken
    // the batch (one socket, one loop), and no socket buffer overflows.
    const header no_ack{0x00, 0x00, 0x00, 0x00, {}};
    size_t sent = 0;
    uint8_t sync = 0;
    for (const bytes &in : inputs) {
        client->send(node(6), packet(0, in, no_ack));
        if (++sent % 40 == 0 || sent == inputs.size()) {
            ASSERT_NO_FATAL_FAILURE(expect_ack(6, ++sync, {0x84, 0x05}));
        }
    }
    // Every datagram was recorded (a good Multi Command as its parts).
    EXPECT_GE(model->commands(6).size(), sent + sync);
    EXPECT_EQ(model->commands(6).back().seq, sync);
}

} // namespace

namespace {

// ---------------------------------------------------------------------------
// What a node tells of itself: one Get, the answer it gives (or none)
// ---------------------------------------------------------------------------

struct tell_case {
    const char *what;
    const char *profile;
    bytes get;
    std::optional<bytes> answer;
};

class SimNodeTells : public SimNode {};

TEST_F(SimNodeTells, AnswersOfIdentificationClasses)
{
    const tell_case cases[] = {
        {"class version of a class it has", "plus_switch", {0x86, 0x13, 0x25}, bytes{0x86, 0x14, 0x25, 0x02}},
        {"class version of a class it lacks", "plus_switch", {0x86, 0x13, 0x26}, bytes{0x86, 0x14, 0x26, 0x00}},
        {"node version, v3: hardware, no other targets", "plus_switch", {0x86, 0x11},
         bytes{0x86, 0x12, /*library*/ 0x03, 0x07, 0x0F, 0x01, 0x00, /*hardware*/ 0x01, /*targets*/ 0x00}},
        {"node version, v1", "multi_instance", {0x86, 0x11}, bytes{0x86, 0x12, 0x03, 0x07, 0x0F, 0x01, 0x00}},
        {"Z-Wave Plus of a listening node", "plus_switch", {0x5E, 0x01},
         bytes{0x5E, 0x02, 0x02, /*always on*/ 0x05, 0x00, 0x07, 0x00, 0x07, 0x00}},
        {"manufacturer", "plus_switch", {0x72, 0x04}, bytes{0x72, 0x05, 0x00, 0x00, 0x00, 0x01, 0x00, 0x06}},
        {"serial number, v2", "plus_switch", {0x72, 0x06, 0x00}, bytes{0x72, 0x07, 0x01, 0x04, 'S', 'N', '-', '6'}},
        {"no serial number at v1", "multi_channel", {0x72, 0x06, 0x00}, std::nullopt},
        {"endpoints, v4: identical, aggregated", "multi_channel", {0x60, 0x07}, bytes{0x60, 0x08, 0x40, 0x02, 0x01}},
        {"capability of endpoint 2", "multi_channel", {0x60, 0x09, 0x02}, bytes{0x60, 0x0A, 0x02, 0x10, 0x01, 0x25}},
        {"no capability beyond the endpoints", "multi_channel", {0x60, 0x09, 0x04}, std::nullopt},
        {"members of the aggregated endpoint", "multi_channel", {0x60, 0x0E, 0x03},
         bytes{0x60, 0x0F, 0x03, 0x01, 0x03}},
        {"an individual endpoint has no members", "multi_channel", {0x60, 0x0E, 0x01}, std::nullopt},
        {"instances of an endpoint class, v1", "multi_instance", {0x60, 0x04, 0x25}, bytes{0x60, 0x05, 0x25, 0x02}},
        {"instances of another class, v1", "multi_instance", {0x60, 0x04, 0x20}, bytes{0x60, 0x05, 0x20, 0x00}},
        {"no endpoint report at v1", "multi_instance", {0x60, 0x07}, std::nullopt},
    };
    uint8_t seq = 0x40;
    for (const tell_case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(start({profile(c.profile, 6)}));
        client->send(node(6), packet(++seq, c.get));
        const uint8_t cls = c.get[0];
        auto got = client->recv_until(
            [cls](const auto &d) {
                auto f = d.frame();
                return f.kind == sim::frame_kind::packet && !f.packet.command.empty() && f.packet.command[0] == cls;
            },
            c.answer ? answer_wait : quiet_wait);
        if (c.answer) {
            ASSERT_TRUE(got);
            EXPECT_EQ(hex(got->frame().packet.command), hex(*c.answer));
        } else {
            EXPECT_FALSE(got) << hex(got->frame().packet.command);
        }
        EXPECT_TRUE(model->violations().empty());
        gw->stop();
        model.reset();
        gw.reset();
    }
}

TEST_F(SimNodeTells, TheGatewayKnowsTheEndpointsOfAMultiChannelNode)
{
    const sim::nm_node n = sim::nm_node_of(profile("multi_channel", 4));
    EXPECT_EQ(2, n.endpoints);
    EXPECT_EQ(1, n.aggregated);
    EXPECT_EQ(bytes{0x25}, n.ep_classes);
    EXPECT_EQ(0, sim::nm_node_of(profile("multi_instance", 4)).endpoints);
    // Endpoints of classes of their own, some only under security.
    sim::node_profile p = profile("multi_channel", 4);
    p.endpoint_class_lists = {{0x25}, {0x26, 0x98}};
    p.endpoint_secure_classes = {{}, {0x62}};
    const sim::nm_node own = sim::nm_node_of(p);
    EXPECT_EQ(p.endpoint_class_lists, own.ep_class_lists);
    EXPECT_EQ(p.endpoint_secure_classes, own.ep_secure_classes);
}

// ---------------------------------------------------------------------------
// The lights, meter and sensor profiles: what their data makes them answer
// ---------------------------------------------------------------------------

TEST_F(SimNodeTells, FamilyProfilesAnswerWithTheirData)
{
    ASSERT_NO_FATAL_FAILURE(start({profile("dimmer", 5), profile("color", 6), profile("meter_plug", 7),
                                   profile("multisensor", 8)}));
    struct family_case {
        const char *what;
        uint8_t node_id;
        bytes get;
        const char *answer;
    };
    const family_case cases[] = {
        {"dimmer level", 5, {0x26, 0x02}, "26 03 32 32 00"},
        {"dimmer types: down/up", 5, {0x26, 0x06}, "26 07 02 00"},
        {"dimmer tells its level version", 5, {0x86, 0x13, 0x26}, "86 14 26 04"},
        {"dimmer's Basic is its level", 5, {0x20, 0x02}, "20 03 32"},
        {"color components: warm white, red, green, blue", 6, {0x33, 0x01}, "33 02 1D 00"},
        {"color green", 6, {0x33, 0x03, 0x03}, "33 04 03 80 80 00"},
        {"color tells its version", 6, {0x86, 0x13, 0x33}, "86 14 33 03"},
        {"color level", 6, {0x26, 0x02}, "26 03 63 63 00"},
        {"plug meter: electric, import, reset capable, kWh and W", 7, {0x32, 0x03}, "32 04 A1 05"},
        {"plug energy", 7, {0x32, 0x01, 0x00}, "32 02 21 44 00 00 04 D2 00 00"},
        {"plug power after 40.0 W", 7, {0x32, 0x01, 0x10}, "32 02 21 32 01 C8 00 1E 01 90"},
        {"plug switch on", 7, {0x25, 0x02}, "25 03 FF FF 00"},
        {"multisensor binary types: door/window, motion", 8, {0x30, 0x01}, "30 04 00 14"},
        {"multisensor door open", 8, {0x30, 0x02, 0x0A}, "30 03 FF 0A"},
        {"multisensor types: temperature, humidity", 8, {0x31, 0x01}, "31 02 11"},
        {"multisensor temperature scales", 8, {0x31, 0x03, 0x01}, "31 06 01 03"},
        {"multisensor humidity scales", 8, {0x31, 0x03, 0x05}, "31 06 05 01"},
        {"multisensor in Fahrenheit", 8, {0x31, 0x04, 0x01, 0x08}, "31 05 01 2A 02 C3"},
        {"multisensor humidity", 8, {0x31, 0x04, 0x05, 0x00}, "31 05 05 01 2D"},
    };
    uint8_t seq = 0x10;
    for (const family_case &c : cases) {
        SCOPED_TRACE(c.what);
        client->send(node(c.node_id), packet(++seq, c.get));
        const endpoint from = node(c.node_id);
        auto got = client->recv_until(
            [&](const auto &d) { return d.from == from && !d.frame().packet.ack_response(); }, answer_wait);
        ASSERT_TRUE(got);
        EXPECT_EQ(hex(got->frame().packet.command), c.answer);
    }
    EXPECT_TRUE(model->violations().empty());

    // Unsolicited, each class reports its first reading, as the state now is.
    model->set_unsolicited_destination(client->local());
    ASSERT_EQ(model->set_values(8, sim::cc_sensor_binary, {0x0C, 0xFF, 0x0A, 0x00}), 0);
    struct push_case {
        uint8_t node_id;
        uint8_t cmd_class;
        const char *report;
    };
    const push_case pushes[] = {
        {5, sim::cc_switch_multilevel, "26 03 32 32 00"},
        {6, sim::cc_switch_color, "33 04 00 00 00 00"},
        {7, sim::cc_meter, "32 02 21 44 00 00 04 D2 00 00"},
        {8, sim::cc_sensor_binary, "30 03 FF 0C"},
        {8, sim::cc_sensor_multilevel, "31 05 01 22 00 D7"},
    };
    for (const push_case &c : pushes) {
        SCOPED_TRACE(c.report);
        const int seq_used = model->send_report(c.node_id, c.cmd_class);
        ASSERT_GE(seq_used, 0);
        auto got = client->recv_until(
            [&](const auto &d) {
                return d.frame().kind == sim::frame_kind::packet && d.frame().packet.seq == seq_used;
            },
            answer_wait);
        ASSERT_TRUE(got);
        EXPECT_EQ(got->from, node(c.node_id));
        EXPECT_EQ(hex(got->frame().packet.command), c.report);
    }
}

// ---------------------------------------------------------------------------
// The control channel's commands (the socket: zipgw_sim_control_test.py)
// ---------------------------------------------------------------------------

TEST_F(SimNode, ControlCommandsActOnTheModelAndRefuseBadLines)
{
    ASSERT_NO_FATAL_FAILURE(start({profile("meter_plug", 7), profile("sensor", 3)}));
    struct line_case {
        const char *line;
        const char *answer; // its start
    };
    // Before any client has spoken there is nobody to send to.
    EXPECT_EQ(sim::control_command(*model, "report 7 32"),
              "error: nobody to send to: no client has spoken yet (see dest)");
    const std::string dest = "dest " + client->local().text();
    const line_case lines[] = {
        {"", ""},
        {"   ", ""},
        {dest.c_str(), "ok"},
        {"values 7 25", "ok FF"},
        {"set 7 0x25 00\r", "ok"},
        {"values 7 25", "ok 00"},
        {"report 7 25", "ok"},
        {"send 7 32 02 21 44 00 0a", "ok"},
        {"  send   7 71 05\t00 ", "ok"},
        {"wake 3", "ok"},
        {"sleep 3", "ok"},
        // Refused, each with its reason.
        {"frobnicate 7", "error: unknown command 'frobnicate'"},
        {"report", "error: no node id"},
        {"report 7", "error: no class"},
        {"report 7 32 1", "error: 'report' takes 2 arguments"},
        {"report 0 32", "error: bad node id '0'"},
        {"report 233 32", "error: bad node id '233'"},
        {"report 7x 32", "error: bad node id '7x'"},
        {"report 99 32", "error: no node 99"},
        {"report 7 zz", "error: bad hex class 'zz'"},
        {"report 7 80", "error: node 7 has no class 80 with a report"},
        {"report 7 5E", "error: node 7 has no class 5E with a report"},
        {"values 7 80", "error: node 7 has no class 80"},
        {"send 7", "error: nothing to send"},
        {"send 7 32 1ff", "error: bad hex byte '1ff'"},
        {"send 7 32 0x", "error: bad hex byte '0x'"},
        {"send 99 32 01", "error: no node 99"},
        {"set 7 32 01", "error: these values do not fit class 32"},
        {"set 7 32", "error: these values do not fit class 32"},
        {"set 7 80 64", "error: node 7 has no class 80"},
        {"set 98 80 64", "error: no node 98"},
        {"wake 7", "error: node 7 does not sleep"},
        {"wake 3 4", "error: 'wake' takes 1 argument"},
        {"wake 99", "error: no node 99"},
        {"dest", "error: 'dest' takes 1 argument"},
        {"dest 127.0.0.1", "error: bad destination '127.0.0.1'"},
        {"dest 127.0.0.1:0", "error: bad destination"},
        {"dest 127.0.0.1:65536", "error: bad destination"},
        {"dest host:1", "error: bad destination"},
        {"dest none", "ok"},
    };
    for (const line_case &c : lines) {
        SCOPED_TRACE(c.line);
        const std::string got = sim::control_command(*model, c.line);
        EXPECT_EQ(got.substr(0, std::strlen(c.answer)), c.answer) << got;
        if (*c.answer == 0) {
            EXPECT_EQ(got, "");
        }
    }
    // What the good lines did: the switch report, the two frames, the wake-up.
    const char *want[] = {"25 03 00 00 00", "32 02 21 44 00 0A", "71 05 00", "84 07"};
    for (const char *w : want) {
        SCOPED_TRACE(w);
        auto got = client->recv_until([](const auto &d) { return !d.frame().packet.command.empty(); }, answer_wait);
        ASSERT_TRUE(got);
        EXPECT_EQ(hex(got->frame().packet.command), w);
    }
    EXPECT_TRUE(model->wait_awake(3, false, answer_wait));
}

// ---------------------------------------------------------------------------
// Network management: an answer held back while a node's report goes first
// ---------------------------------------------------------------------------

class SimNmHold : public SimNode {
protected:
    void start_nm()
    {
        ASSERT_NO_FATAL_FAILURE(start({profile("switch", 2)}));
        sim::nm_config cfg;
        cfg.nodes.push_back(sim::nm_node_of(profile("switch", 2)));
        nm = std::make_unique<sim::nm_gateway>(*gw, cfg);
        model->set_unsolicited_destination(client->local());
    }

    void TearDown() override
    {
        if (gw)
            gw->stop();
        nm.reset(); // after the gateway stops: its handlers run on the loop thread
        SimNode::TearDown();
    }

    // A secure, acknowledged request to the gateway.
    void request(uint8_t seq, const bytes &cmd)
    {
        client->send(gw->address(), packet(seq, cmd, {0x80, 0x10, 0, 0, {}}));
    }

    std::optional<raw_client::datagram> next_command(std::chrono::milliseconds wait = answer_wait)
    {
        return client->recv_until([](const auto &d) { return !d.frame().packet.command.empty(); }, wait);
    }

    std::unique_ptr<sim::nm_gateway> nm;
};

TEST_F(SimNmHold, HeldAnswerComesAfterTheReportThatWasSentBeforeItsRelease)
{
    ASSERT_NO_FATAL_FAILURE(start_nm());
    const bytes node_list_get{0x52, 0x01, 0x21};
    nm->hold_next(sim::nm_proxy_class, 0x01);
    request(0x21, node_list_get);
    auto ack = client->recv_until([](const auto &d) { return is_ack(d, 0x21); }, answer_wait);
    ASSERT_TRUE(ack);
    ASSERT_TRUE(nm->wait_held(answer_wait));
    auto early = next_command(quiet_wait);
    EXPECT_FALSE(early) << hex(early->data);

    ASSERT_GE(model->send_report(2, sim::cc_switch_binary), 0);
    auto report = next_command();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->from, node(2));
    EXPECT_EQ(nm->release_held(), 1u);
    auto answer = next_command();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->from, gw->address());
    auto f = answer->frame();
    ASSERT_GE(f.packet.command.size(), 3u);
    EXPECT_EQ(hex(bytes(f.packet.command.begin(), f.packet.command.begin() + 3)), "52 02 21"); // its request's seq
    EXPECT_TRUE(f.packet.secure());
    EXPECT_FALSE(f.packet.ack_request());
    EXPECT_TRUE(nm->violations().empty());

    // Taken once: the next request is answered at once, and nothing is held.
    EXPECT_EQ(nm->release_held(), 0u);
    request(0x22, {0x52, 0x01, 0x22});
    answer = next_command();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->frame().packet.command[2], 0x22);
    EXPECT_FALSE(nm->wait_held(50ms));
}

TEST_F(SimNmHold, HoldTakesOnlyItsRequestOrAnyAndReleaseDisarms)
{
    ASSERT_NO_FATAL_FAILURE(start_nm());
    // Held for another command: the node list answers at once.
    nm->hold_next(sim::nm_inclusion_class, 0x01);
    request(0x31, {0x52, 0x01, 0x31});
    auto answer = next_command();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->frame().packet.command[2], 0x31);
    EXPECT_FALSE(nm->wait_held(50ms));
    // A release before any request took the hold disarms it.
    EXPECT_EQ(nm->release_held(), 0u);
    nm->hold_next(sim::nm_proxy_class, 0x05);
    EXPECT_EQ(nm->release_held(), 0u);
    request(0x32, {0x52, 0x05, 0x32, 0x02}); // end points of node 2
    answer = next_command();
    ASSERT_TRUE(answer);
    EXPECT_EQ(hex(answer->frame().packet.command), "52 06 32 02 00 00 00");

    // Any request: the cached node information of node 2.
    nm->hold_next();
    request(0x33, {0x52, 0x03, 0x33, 0x00, 0x02});
    ASSERT_TRUE(nm->wait_held(answer_wait));
    auto early = next_command(quiet_wait);
    EXPECT_FALSE(early) << hex(early->data);
    EXPECT_EQ(nm->release_held(), 1u);
    answer = next_command();
    ASSERT_TRUE(answer);
    const bytes info = answer->frame().packet.command;
    ASSERT_GE(info.size(), 3u);
    EXPECT_EQ(hex(bytes(info.begin(), info.begin() + 3)), "52 04 33");
}

}  // namespace
