// appl_cmd_snd over DTLS against the gateway simulator in DTLS mode: the
// whole client stack (application, session, frame layers and the DTLS
// transport) with a pre-shared key, towards the gateway and towards a node
// with an address of its own.
#include "dtls_test_support.h"

#include "hcapi/zip/zip_appl.h"
#include "sim/sim_gateway.h"

#include <memory>

using namespace dtls_test;

namespace {

struct done_rec {
    std::mutex mtx;
    std::vector<int> statuses;
};

void on_done(appl_layer_ctx *, int status, void *user, uint8_t)
{
    auto *d = static_cast<done_rec *>(user);
    std::lock_guard lk(d->mtx);
    d->statuses.push_back(status);
}

struct rx_log {
    std::mutex mtx;
    std::vector<bytes> cmds;
};

void on_rx(appl_layer_ctx *ctx, const tpt_sockaddr_t *, const zip_rx_hdr_t *, const uint8_t *data, uint16_t length,
           uint16_t, uint16_t)
{
    auto *r = static_cast<rx_log *>(ctx->user);
    std::lock_guard lk(r->mtx);
    r->cmds.emplace_back(data, data + length);
}

void on_node_sts(appl_layer_ctx *, uint8_t, uint8_t) {}

class DtlsApplTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        log_clear();
        ASSERT_TRUE(dsim.start({5}));
        gw = dsim.gw.get();
        prefix = dsim.prefix;
        gw->on_command(0x25, 0x02, [](const sim::command_context &) {
            return std::optional<std::vector<sim::command_reply>>{{{{0x25, 0x03, 0xFF}, true}}};
        });

        plt_tick_ms_set(10);
        ASSERT_EQ(plt_init(&plt, capture_line), 0);
        plt_tick_ms_set(0);
        plt_up = true;
        appl = std::make_unique<appl_layer_ctx>();
        appl->user = &rx;
        appl->plt_ctx = &plt;
        appl->rx_cb = on_rx;
        appl->node_sts_cb = on_node_sts;
        appl->own_node_id = 1;
        uint8_t gw_ip[4];
        inet_pton(AF_INET, (prefix + "1").c_str(), gw_ip);
        appl_init_param_t p{};
        p.gw_addr = gw_ip;
        p.host_port = 0;
        p.ipv4 = 1;
        p.psk = key_a.data();
        p.psk_len = static_cast<uint8_t>(key_a.size());
        ASSERT_EQ(appl_init(appl.get(), &p), 0);
        appl_up = true;
    }
    void TearDown() override
    {
        if (appl_up)
            appl_shutdown(appl.get());
        if (plt_up)
            plt_exit(&plt);
        if (gw)
            gw->stop();
        if (std::getenv("ZW_TEST_LOG") != nullptr)
            for (const std::string &l : log_lines())
                std::fprintf(stderr, "  | %s", l.c_str());
    }

    int send(uint8_t node_id, const bytes &cmd, done_rec *done)
    {
        appl_snd_param_t p{};
        p.node_id = node_id;
        p.len = static_cast<uint16_t>(cmd.size());
        p.data = cmd.data();
        return appl_cmd_snd(appl.get(), &p, on_done, done);
    }
    bool got_report()
    {
        std::lock_guard lk(rx.mtx);
        for (const bytes &c : rx.cmds)
            if (c == bytes{0x25, 0x03, 0xFF})
                return true;
        return false;
    }

    dtls_sim dsim;
    sim::gateway *gw = nullptr;
    std::string prefix;
    plt_tmr_ctx plt{};
    bool plt_up = false;
    std::unique_ptr<appl_layer_ctx> appl;
    bool appl_up = false;
    rx_log rx;
};

}  // namespace

// The gateway's ACK completes the send with 0, its report (which asks for an
// ACK) reaches the receive callback, and our ACK goes back through the
// session; then the same to a node at its own address, in a session of its own.
TEST_F(DtlsApplTest, CmdSndRoundTrip)
{
    const bytes get = {0x25, 0x02};
    done_rec done;
    ASSERT_EQ(send(0, get, &done), 0);
    ASSERT_TRUE(eventually(
        [&] {
            std::lock_guard lk(done.mtx);
            return !done.statuses.empty();
        },
        20000ms));
    {
        std::lock_guard lk(done.mtx);
        EXPECT_EQ(done.statuses, std::vector<int>{0});
    }
    const auto cmd = gw->wait_for_command(0x25, 0x02, 5000ms);
    ASSERT_TRUE(cmd.has_value());
    EXPECT_EQ(cmd->node_id, 0);
    EXPECT_TRUE(eventually([&] { return got_report(); }, 10000ms));
    // The report, not whatever the simulator sent last: on a loaded machine
    // the handshake can outlast the resend interval, and the second copy of
    // the Get gets an ACK of its own after the report.
    std::optional<uint8_t> report_seq;
    for (const sim::recorded_frame &f : gw->sent())
        if (f.frame.kind == sim::frame_kind::packet && f.frame.packet.command == bytes{0x25, 0x03, 0xFF})
            report_seq = f.frame.packet.seq;
    ASSERT_TRUE(report_seq.has_value());
    EXPECT_TRUE(gw->wait_for_answer(*report_seq, 10000ms).has_value());
    EXPECT_EQ(gw->dtls_stats().handshakes, 1u);
    EXPECT_EQ(gw->dtls_stats().last_identity, "");

    uint8_t node_ip[4];
    inet_pton(AF_INET, (prefix + "5").c_str(), node_ip);
    ASSERT_EQ(appl_node_ip_set(appl.get(), node_ip, 4, 5), 1);
    done_rec done5;
    const uint64_t mark = gw->next_index();
    ASSERT_EQ(send(5, get, &done5), 0);
    ASSERT_TRUE(eventually(
        [&] {
            std::lock_guard lk(done5.mtx);
            return !done5.statuses.empty();
        },
        20000ms));
    {
        std::lock_guard lk(done5.mtx);
        EXPECT_EQ(done5.statuses, std::vector<int>{0});
    }
    const auto at_node = gw->wait_for_command(0x25, 0x02, 5000ms, mark);
    ASSERT_TRUE(at_node.has_value());
    EXPECT_EQ(at_node->node_id, 5);
    EXPECT_EQ(gw->dtls_stats().handshakes, 2u);
}
