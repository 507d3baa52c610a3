// The application layer (with session, frame and UDP transport below it)
// inside a record of ours, as the network embeds it, talking to the gateway
// simulator at 127.X.Y.1:4123 with nodes at 127.X.Y.N:4123 over real
// loopback UDP; recorders for completions, node-status changes, listener
// calls, received commands and log lines.
#pragma once

#include "hcapi/zip/zip_appl.h"
#include "hcapi/zip/zip_platform.h"
#include "sim/sim_gateway.h"
#include "tests/hcapi/zip/zip_log_capture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <array>
#include <deque>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace appl_test {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;
using ms = std::chrono::milliseconds;

using zip_test::capture_line;
using zip_test::log_clear;
using zip_test::log_count;

// Something that happens on one of the layer's threads, with where and when.
struct event {
    int status = 0;       // completion status, node status, or listener code
    uint8_t node_id = 0;
    std::thread::id tid;
    steady::time_point time;
};

class recorder {
public:
    void add(int status, uint8_t node_id)
    {
        std::lock_guard lk(mtx_);
        events_.push_back({status, node_id, std::this_thread::get_id(), steady::now()});
    }
    // Waits until at least n events are there. Polls rather than waiting on
    // a condition variable: this ThreadSanitizer does not see the mutex
    // hand-over inside a steady-clock condition wait.
    bool wait(size_t n, ms timeout) const
    {
        const auto until = steady::now() + timeout;
        for (;;) {
            if (size() >= n)
                return true;
            if (steady::now() >= until)
                return false;
            std::this_thread::sleep_for(1ms);
        }
    }
    std::vector<event> all() const
    {
        std::lock_guard lk(mtx_);
        return events_;
    }
    size_t size() const
    {
        std::lock_guard lk(mtx_);
        return events_.size();
    }
    event at(size_t i) const
    {
        std::lock_guard lk(mtx_);
        return events_.at(i);
    }

private:
    mutable std::mutex mtx_;
    std::vector<event> events_;
};

// Completion callback: user data is the recorder.
inline void on_done(appl_layer_ctx *, int status, void *user, uint8_t node_id)
{
    static_cast<recorder *>(user)->add(status, node_id);
}

struct received {
    std::vector<uint8_t> bytes;
    zip_rx_hdr_t hdr{};
    uint16_t flags = 0;
    std::thread::id tid;
};

struct config {
    unsigned tick_ms = 10;
    uint32_t reply_wait_ms = 0;  // 0: the layer's least
    uint32_t sel_opt = 0;
    uint8_t own_node_id = 1;
    std::vector<uint8_t> sim_nodes{5, 6};
};

// The network record, as far as these layers need it.
struct net {
    plt_tmr_ctx plt{};
    std::unique_ptr<appl_layer_ctx> appl = std::make_unique<appl_layer_ctx>();
    recorder node_sts;  // node-status callback
    recorder listener;  // tx-status listener
    std::mutex rx_mtx;  // on_rx and rx
    std::function<void(const received &)> on_rx;  // runs on the receive thread
    std::vector<received> rx;
};

inline net *net_of(appl_layer_ctx *ctx) { return static_cast<net *>(ctx->user); }

inline void on_node_sts(appl_layer_ctx *ctx, uint8_t node_id, uint8_t status) { net_of(ctx)->node_sts.add(status, node_id); }
inline void on_listener(appl_layer_ctx *ctx, uint8_t code, void *data, uint8_t node_id)
{
    EXPECT_EQ(ctx->user, data);
    net_of(ctx)->listener.add(code, node_id);
}
inline void on_rx(appl_layer_ctx *ctx, const tpt_sockaddr_t *, const zip_rx_hdr_t *hdr, const uint8_t *data,
                  uint16_t length, uint16_t hdr_flags, uint16_t)
{
    net *n = net_of(ctx);
    received r{{data, data + length}, *hdr, hdr_flags, std::this_thread::get_id()};
    std::function<void(const received &)> hook;
    {
        std::lock_guard lk(n->rx_mtx);
        hook = n->on_rx;
    }
    if (hook)
        hook(r);
    std::lock_guard lk(n->rx_mtx);
    n->rx.push_back(std::move(r));
}

inline std::array<uint8_t, 4> v4(const char *text)
{
    std::array<uint8_t, 4> a{};
    inet_pton(AF_INET, text, a.data());
    return a;
}

class ApplSim : public ::testing::Test {
protected:
    // The layer always sends to port 4123. So that test runs of other build
    // trees can bind that port at the same time, each gateway lives on a
    // loopback network of its own, 127.X.Y.0/24: the gateway at .1, node N
    // at .N; another one is tried when the port is taken.
    std::string addr(uint8_t host) const { return prefix + std::to_string(host); }

    void start(const config &c = {})
    {
        cfg = c;
        log_clear();
        std::random_device rd;
        int rc = -1;
        for (int attempt = 0; attempt < 20 && rc != 0; ++attempt) {
            const unsigned r = rd();
            prefix = "127." + std::to_string(100 + r % 150) + "." + std::to_string(1 + (r >> 8) % 250) + ".";
            sim::gateway_config g;
            g.address = addr(1);
            g.port = ZIP_UDP_PORT;
            for (uint8_t id : c.sim_nodes)
                g.nodes.push_back({id, addr(id)});
            gw = std::make_unique<sim::gateway>(g);
            rc = gw->start();
        }
        ASSERT_EQ(0, rc) << gw->last_error();

        plt_tick_ms_set(c.tick_ms);
        ASSERT_EQ(0, plt_init(&n.plt, capture_line));
        appl_layer_ctx *a = n.appl.get();
        a->user = &n;
        a->plt_ctx = &n.plt;
        a->rx_cb = on_rx;
        a->node_sts_cb = on_node_sts;
        a->reply_wait_ms = c.reply_wait_ms;
        a->own_node_id = c.own_node_id;
        auto gw_ip = v4(addr(1).c_str());
        appl_init_param_t p{};
        p.gw_addr = gw_ip.data();
        p.host_port = 0;
        p.ipv4 = 1;
        p.option = c.sel_opt;
        ASSERT_EQ(0, appl_init(a, &p));
        started = true;
        appl_tx_sts_listener_set(a, on_listener, &n);
        ASSERT_NE(0, a->ssn.frm.tpt.host_port);
    }
    void TearDown() override
    {
        if (started)
            appl_shutdown(n.appl.get());
        started = false;
        plt_exit(&n.plt);
        plt_tick_ms_set(0);
        if (gw)
            gw->stop();
    }

    appl_layer_ctx *ctx() { return n.appl.get(); }
    // A protocol time in real milliseconds at this test's tick length.
    ms scaled(uint32_t protocol_ms) const { return ms(protocol_ms * cfg.tick_ms / 100); }
    // One tick, the accuracy of every protocol time.
    ms tick() const { return ms(cfg.tick_ms); }
    // The earliest a protocol time may end: the timer counts from the tick
    // count at arming, which can trail the tick schedule by up to a tick.
    ms early(uint32_t protocol_ms) const { return scaled(protocol_ms) - 2 * tick(); }
    // The same for a gap between two datagrams as the simulator sees them:
    // it notes each when its thread reads it, which on a loaded machine may
    // be late for the first and on time for the second.
    ms early_seen(uint32_t protocol_ms) const { return early(protocol_ms) - 100ms; }
    // Generous bound for "it happened at about this time": a loaded machine
    // may run any thread late by much more than a tick.
    ms late(uint32_t protocol_ms) const { return scaled(protocol_ms) + scaled(1500) + 3000ms; }

    int send(uint8_t node_id, recorder *done, std::vector<uint8_t> cmd = {0x20, 0x02}, int sts_wait = 0,
             uint8_t selector = 0)
    {
        cmds.push_back(std::move(cmd));
        const std::vector<uint8_t> &c = cmds.back();
        appl_snd_param_t p{};
        p.node_id = node_id;
        p.selector = selector;
        p.len = static_cast<uint16_t>(c.size());
        p.data = c.data();
        return appl_cmd_snd_ex(ctx(), &p, done != nullptr ? on_done : nullptr, done, nullptr, sts_wait);
    }
    // The first acknowledgement-requested packet at the simulator that
    // carries this command, from `from_index` on.
    std::optional<sim::recorded_frame> wait_frame(const std::vector<uint8_t> &cmd, ms timeout, uint64_t from_index = 0)
    {
        return gw->wait_for(
            [&](const sim::recorded_frame &r) {
                return r.frame.kind == sim::frame_kind::packet && r.frame.packet.command == cmd;
            },
            timeout, from_index);
    }
    // Copies of the frame with this sequence number that reached the simulator.
    std::vector<sim::recorded_frame> copies(uint8_t seq) const
    {
        std::vector<sim::recorded_frame> out;
        for (const sim::recorded_frame &r : gw->received())
            if (r.frame.kind == sim::frame_kind::packet && r.frame.packet.ack_request() && r.frame.packet.seq == seq)
                out.push_back(r);
        return out;
    }

    config cfg;
    net n;
    std::unique_ptr<sim::gateway> gw;
    bool started = false;
    std::string prefix = "127.0.0.";
    std::deque<std::vector<uint8_t>> cmds;  // keeps the bytes of every send alive
};

}  // namespace appl_test
