// A network of the host-controller library started with zwnet_init against
// the gateway simulator over real loopback UDP (gateway 127.X.Y.1:4123,
// nodes at 127.X.Y.N:4123), with recorders for the application callbacks:
// what arrived, on which thread, and whether that thread held the network
// mutex. The simulator answers what initialisation asks of the gateway (a
// network of the controller alone); the nodes are then put into the node
// database directly, as the interview will later do.
#pragma once

#include "hcapi/core/zwnode_q.h"
#include "hcapi/core/zwrec.h"
#include "hcapi/include/zwif.h"
#include "hcapi/include/zwnet.h"
#include "hcapi/include/zwnode.h"
#include "hcapi/core/zwnet_cb.h"
#include "hcapi/net/zwnet_int.h"
#include "sim/sim_gateway.h"
#include "sim/sim_gw_app.h"
#include "sim/sim_nm.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace hc_test {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;
using ms = std::chrono::milliseconds;

inline std::mutex g_log_mtx;
inline std::vector<std::string> g_log;
inline void capture_line(const char *text)
{
    std::lock_guard lk(g_log_mtx);
    g_log.emplace_back(text);
}
inline size_t log_count(const std::string &part)
{
    std::lock_guard lk(g_log_mtx);
    size_t n = 0;
    for (const std::string &l : g_log)
        n += l.find(part) != std::string::npos;
    return n;
}

// Polls a condition with a generous deadline.
inline bool eventually(const std::function<bool()> &cond, ms timeout = 10s)
{
    const auto until = steady::now() + timeout;
    while (!cond()) {
        if (steady::now() >= until)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// Names of this process's threads.
inline std::multiset<std::string> thread_names()
{
    std::multiset<std::string> names;
    DIR *d = opendir("/proc/self/task");
    if (d == nullptr)
        return names;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream f(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string name;
        if (std::getline(f, name))
            names.insert(name);
    }
    closedir(d);
    return names;
}

// One application callback as it arrived.
struct app_event {
    int kind = 0;  // 0 notify, 1 node, 2 transmit status
    int a = 0;     // operation / node id / transmit status
    int b = 0;     // status / node status
    std::thread::id tid;
    bool mutex_held = false;
    steady::time_point time;
};

class app_recorder {
public:
    std::atomic<zwnet_p> net{nullptr};
    std::function<void(const app_event &)> hook;  // runs inside the callback

    void add(int kind, int a, int b)
    {
        zwnet_p n = net.load();
        // The first notification may come before zwnet_init has returned.
        for (int i = 0; i < 5000 && n == nullptr; ++i) {
            std::this_thread::sleep_for(1ms);
            n = net.load();
        }
        app_event e{kind, a, b, std::this_thread::get_id(), n != nullptr && zwnet_lck_depth(n) != 0, steady::now()};
        std::function<void(const app_event &)> h;
        {
            std::lock_guard lk(mtx_);
            events_.push_back(e);
            h = hook;
        }
        if (h)
            h(e);
    }
    std::vector<app_event> of(int kind) const
    {
        std::lock_guard lk(mtx_);
        std::vector<app_event> out;
        for (const app_event &e : events_)
            if (e.kind == kind)
                out.push_back(e);
        return out;
    }
    size_t count(int kind) const { return of(kind).size(); }
    bool has_hook() const
    {
        std::lock_guard lk(mtx_);
        return static_cast<bool>(hook);
    }
    void set_hook(std::function<void(const app_event &)> h)
    {
        std::lock_guard lk(mtx_);
        hook = std::move(h);
    }

private:
    mutable std::mutex mtx_;
    std::vector<app_event> events_;
};

inline void on_notify(void *user, uint8_t op, uint16_t sts, const zwnet_op_info_t *)
{
    static_cast<app_recorder *>(user)->add(0, op, sts);
}
inline void on_node(void *user, const zwnode_desc_t *node, uint32_t mode)
{
    static_cast<app_recorder *>(user)->add(1, node->nodeid, static_cast<int>(mode));
}
inline void on_tx_sts(void *user, uint8_t sts) { static_cast<app_recorder *>(user)->add(2, sts, 0); }

struct node_spec {
    uint8_t id = 0;
    bool listening = true;
    bool flirs = false;
    bool sleeping = false;       // sleep capable, sleeping-node queue enabled
    bool mul_cmd = false;        // Multi Command capable, batching on
    bool crc = false;
    std::vector<uint16_t> classes{0x20};  // on endpoint 0 (version 1, non-secure)
    uint8_t endpoints = 0;                // endpoints 1..n, with the same classes
};

struct config {
    unsigned tick_ms = 10;
    std::vector<node_spec> nodes;
};

class HcNet : public ::testing::Test {
protected:
    std::string addr(uint8_t host) const { return prefix + std::to_string(host); }

    void start(const config &c = {})
    {
        cfg = c;
        std::random_device rd;
        int rc = -1;
        for (int attempt = 0; attempt < 20 && rc != 0; ++attempt) {
            const unsigned r = rd();
            prefix = "127." + std::to_string(100 + r % 150) + "." + std::to_string(1 + (r >> 8) % 250) + ".";
            sim::gateway_config g;
            g.address = addr(1);
            g.port = 4123;
            for (const node_spec &n : c.nodes)
                g.nodes.push_back({n.id, addr(n.id)});
            for (const sim::nm_node &n : gw_nodes)
                if (n.has_address)
                    g.nodes.push_back({n.node_id, addr(n.node_id)});
            gw = std::make_unique<sim::gateway>(g);
            rc = gw->start();
        }
        ASSERT_EQ(0, rc) << gw->last_error();
        sim::nm_config nm_cfg;
        sim::nm_node self = sim::gw_self_node(1);
        self.classes.insert(self.classes.end(), gw_extra_classes.begin(), gw_extra_classes.end());
        nm_cfg.nodes = {self};
        nm_cfg.nodes.insert(nm_cfg.nodes.end(), gw_nodes.begin(), gw_nodes.end());
        nm = std::make_unique<sim::nm_gateway>(*gw, nm_cfg);
        // By default a gateway of a firmware that takes plain frames (no
        // encapsulation option) and serves one client.
        sim::gw_app_config app_cfg;
        app_cfg.fw_versions = {0x0210};
        app = std::make_unique<sim::gw_app>(*gw, gw_app_cfg.value_or(app_cfg));
        if (before_init)
            before_init();
        plt_tick_ms_set(c.tick_ms);
        ASSERT_EQ(0, zwnet_init(&params(), &net_));
        rec.net = net_;
        // Initialisation rebuilds the node list from the gateway's: nodes go
        // in once it has ended, and after the hooks that follow its end,
        // which would otherwise hand some of them to the background
        // facilities, or not, as the threads happen to run. (A test that
        // hooks the callbacks holds the callback thread itself.)
        if (wait_init) {
            ASSERT_TRUE(eventually([&] { return rec.count(0) >= 1; }, 30s));
        }
        if (wait_init && !rec.has_hook()) {
            ASSERT_NO_FATAL_FAILURE(init_hooks_wait());
        }
        for (const node_spec &n : c.nodes)
            ASSERT_NO_FATAL_FAILURE(add_node(n));
    }

    // Waits until the callback thread has delivered the end of operation 1
    // and run what follows it: once a marker posted after it is delivered
    // (the thread serves its queue in order).
    void init_hooks_wait()
    {
        ASSERT_TRUE(eventually([&] {
            for (const app_event &e : rec.of(0))
                if (e.a == ZWNET_OP_INITIALIZE && e.b == ZWNET_OP_STS_DONE)
                    return true;
            return false;
        }));
        static std::mutex mark_mtx;
        static std::set<uint64_t> marks_seen;
        static std::atomic<uint64_t> marks{0};
        const uint64_t mine = ++marks;
        zwnet_cb_msg_t msg;
        msg.type = ZWNET_CB_FAC_RESULT;
        msg.body.fac.intf.net = net_;
        msg.body.fac.user = mine;
        using fac_fn = void (*)(zwnet_p, uint8_t, uint8_t, uint16_t, uint64_t, uint32_t);
        fac_fn mark = [](zwnet_p, uint8_t, uint8_t, uint16_t, uint64_t user, uint32_t) {
            std::lock_guard lk(mark_mtx);
            marks_seen.insert(user);
        };
        msg.cb = reinterpret_cast<void (*)()>(mark);
        zwnet_cb_post(net_, &msg);
        ASSERT_TRUE(eventually([&] {
            std::lock_guard lk(mark_mtx);
            return marks_seen.count(mine) != 0;
        }));
    }

    zwnet_init_t &params()
    {
        in = zwnet_init_t{};
        in.user = &rec;
        in.port = 4123;
        in.host_port = 0;
        in.addr_type = ZWNET_ADDR_IPV4;
        in.gw_addr[10] = in.gw_addr[11] = 0xFF;
        inet_pton(AF_INET, addr(1).c_str(), in.gw_addr + 12);
        in.notify = on_notify;
        in.node = on_node;
        in.tx_sts = on_tx_sts;
        in.print = capture_line;
        in.stor_dir = stor_dir.c_str();
        in.dev_cfg_file = "";
        return in;
    }

    void add_node(const node_spec &s)
    {
        zwnet_lock lk(net_);
        zwnode_p node = zwnode_create(net_, s.id);
        ASSERT_NE(nullptr, node);
        node->listen = s.listening && !s.flirs && !s.sleeping;
        node->sensor = s.flirs;
        node->sleep_cap = s.sleeping;
        node->enable_cmd_q = s.sleeping;
        node->mul_cmd_cap = node->mul_cmd_ctl = s.mul_cmd;
        node->crc_cap = s.crc;
        std::vector<zwep_p> eps{&node->ep};
        for (uint8_t e = 1; e <= s.endpoints; ++e)
            eps.push_back(zwep_create(node, e));
        for (zwep_p ep : eps) {
            ASSERT_NE(nullptr, ep);
            for (uint16_t cls : s.classes)
                ASSERT_EQ(1, zwif_attach(ep, zwif_create(cls, cls == 0x84 ? 2 : 1, IF_PROPTY_UNSECURE)));
        }
        in_addr a{};
        inet_pton(AF_INET, addr(s.id).c_str(), &a);
        ASSERT_EQ(1, appl_node_ip_set(net_->appl.get(), reinterpret_cast<const uint8_t *>(&a), 4, s.id));
    }

    zwif_desc_t intf(uint8_t node_id, uint16_t cls, uint8_t ep = 0)
    {
        zwif_desc_t d{};
        EXPECT_EQ(0, zwnet_if_desc_get(net_, node_id, ep, cls, &d));
        return d;
    }
    zwnode_desc_t node(uint8_t node_id)
    {
        zwnode_desc_t d{};
        EXPECT_EQ(0, zwnet_node_desc_get(net_, node_id, &d));
        return d;
    }

    // Waits until no operation runs; the network's save runs as one for a
    // moment after every change. To start an operation, start_when_free.
    bool no_operation()
    {
        return eventually([&] {
            zwnet_lock lk(net_);
            return net_->curr_op == ZWNET_OP_NONE;
        });
    }
    // Starts an operation once the slot is free. A look at the slot is not
    // enough: the save after a change (or a network change the gateway
    // announced) can take the slot between the look and the start, which
    // is then refused with -17.
    int start_when_free(const std::function<int()> &start, ms timeout = 60s)
    {
        int rc = ZW_ERR_LAST_OP_NOT_DONE;
        eventually([&] { return (rc = start()) != ZW_ERR_LAST_OP_NOT_DONE; }, timeout);
        return rc;
    }

    // Statuses of one operation, in order, without the interview's
    // progress (count << 8 | index).
    std::vector<int> op_sts(uint8_t op) const
    {
        std::vector<int> out;
        for (const app_event &e : rec.of(0))
            if (e.a == op && (e.b < 0x100 || e.b == ZWNET_OP_STS_FAILED))
                out.push_back(e.b);
        return out;
    }
    // Whether the operation reported its end (done or failed).
    bool op_ended(uint8_t op) const
    {
        for (int s : op_sts(op))
            if (s == ZWNET_OP_STS_DONE || s == ZWNET_OP_STS_FAILED)
                return true;
        return false;
    }
    // Network-management requests of class/command in the order they came.
    std::vector<sim::nm_request> nm_reqs(uint8_t cls, uint8_t cmd) const
    {
        std::vector<sim::nm_request> out;
        for (const sim::nm_request &q : nm->requests())
            if (q.command.size() >= 2 && q.command[0] == cls && q.command[1] == cmd)
                out.push_back(q);
        return out;
    }
    bool has_node(uint8_t id)
    {
        zwnet_lock lk(net_);
        return zwnode_find(&net_->ctl, id) != nullptr;
    }
    uint8_t curr_op()
    {
        zwnet_lock lk(net_);
        return net_->curr_op;
    }

    // A packet from a node to us, as a device report would come.
    int from_node(uint8_t node_id, std::vector<uint8_t> cmd)
    {
        sim::own_packet p;
        p.command = std::move(cmd);
        p.ack_request = false;
        p.from_node = node_id;
        p.to = sim::endpoint{"127.0.0.1", zwnet_host_port_get(net_)};
        return gw->send_packet(p);
    }

    // Commands that reached the simulator for a node, in order.
    std::vector<sim::recorded_frame> cmds_to(uint8_t node_id) const
    {
        std::vector<sim::recorded_frame> out;
        std::set<std::pair<uint8_t, uint8_t>> seen;  // (node, seq): resends count once
        for (const sim::recorded_frame &r : gw->received()) {
            if (r.frame.kind != sim::frame_kind::packet || !r.frame.packet.ack_request() || r.node_id != node_id)
                continue;
            if (seen.insert({r.node_id, r.frame.packet.seq}).second)
                out.push_back(r);
        }
        return out;
    }
    std::optional<sim::recorded_frame> wait_cmd(uint8_t node_id, const std::vector<uint8_t> &cmd, ms timeout,
                                                uint64_t from = 0)
    {
        return gw->wait_for(
            [&](const sim::recorded_frame &r) {
                return r.frame.kind == sim::frame_kind::packet && r.node_id == node_id &&
                       r.frame.packet.command == cmd;
            },
            timeout, from);
    }

    void TearDown() override
    {
        if (net_ != nullptr)
            zwnet_exit(net_);
        net_ = nullptr;
        plt_tick_ms_set(0);
        if (gw)
            gw->stop();
        app.reset();
        nm.reset();
    }

    // A protocol time at this test's tick length.
    ms scaled(uint32_t protocol_ms) const { return ms(protocol_ms * cfg.tick_ms / 100); }
    ms early(uint32_t protocol_ms) const { return scaled(protocol_ms) - 2 * ms(cfg.tick_ms); }
    ms late(uint32_t protocol_ms) const { return scaled(protocol_ms) + scaled(1500) + 2s; }

    config cfg;
    std::string stor_dir = "/tmp";
    std::function<void()> before_init;  // runs once the simulator is up
    // Set before start(): the network that the gateway reports (beyond
    // itself), its own profile, and whether start() waits for
    // initialisation to end.
    std::vector<sim::nm_node> gw_nodes;
    std::optional<sim::gw_app_config> gw_app_cfg;
    std::vector<uint8_t> gw_extra_classes;  // the gateway lists them beside its own
    bool wait_init = true;
    app_recorder rec;
    zwnet_init_t in{};
    zwnet_p net_ = nullptr;
    std::unique_ptr<sim::gateway> gw;
    std::unique_ptr<sim::nm_gateway> nm;  // destroyed after the gateway stopped
    std::unique_ptr<sim::gw_app> app;
    std::string prefix = "127.0.0.";
};

}  // namespace hc_test
