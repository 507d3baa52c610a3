// Shared pieces of the network-record tests: a data directory with a device
// configuration, the gateway simulator on a loopback address of its own,
// polling with a generous deadline, and this process's thread names.
#pragma once

#include "tests/support/zws_log_capture.h"
#include "daemon/zwp_config.h"
#include "daemon/zwp_net.h"
#include "daemon/zwp_runtime.h"
#include "scene/zwscn.h"
#include "sim/sim_gateway.h"
#include "sim/sim_gw_app.h"
#include "sim/sim_nm.h"
#include "sim/sim_node.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>

namespace net_test {

using namespace std::chrono_literals;

inline bool eventually(const std::function<bool()> &cond, std::chrono::milliseconds timeout = 20s)
{
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

inline std::multiset<std::string> thread_names()
{
    std::multiset<std::string> names;
    DIR *dir = opendir("/proc/self/task");
    if (!dir)
        return names;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name))
            names.insert(name);
    }
    closedir(dir);
    return names;
}

// A free UDP port for the library's own socket.
inline uint16_t free_udp_port()
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    socklen_t len = sizeof sa;
    uint16_t port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
        port = ntohs(sa.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

// A temporary data directory ("var") with its networks folder, a device
// configuration and a time-zone file beside it.
struct data_dir {
    std::filesystem::path root;
    std::string var;
    std::string dev_cfg;
    std::string tz;

    data_dir()
    {
        char pattern[] = "/tmp/zwp_net_test_XXXXXX";
        root = mkdtemp(pattern);
        var = (root / "var").string();
        std::filesystem::create_directories(root / "var" / "networks");
        dev_cfg = (root / "dev.json").string();
        std::ofstream(dev_cfg) << R"({"device_records": [{"vid": 1, "ptype": 2, "pid": 3, "category": 4}]})";
        tz = (root / "timezone").string();
        std::ofstream(tz) << "Europe/Berlin\n";
    }
    ~data_dir() { std::filesystem::remove_all(root); }
    data_dir(const data_dir &) = delete;
    data_dir &operator=(const data_dir &) = delete;
};

// What a running network needs of the process (APR, the scene engine, the
// time zone file of `dir`) and a configuration on `dir`; undone by
// net_env_exit. Wrap the call in ASSERT_NO_FATAL_FAILURE.
inline void net_env_init(data_dir &dir, zwp_net_config_t *config)
{
    ASSERT_EQ(zwu_apr_init(0, nullptr), 0);
    ASSERT_EQ(zwscn_init(), 0);
    config->var_dir = dir.var.data();
    config->dev_cfg_file = dir.dev_cfg.data();
    config->report_wait_timeout = 11;
    zwp_net_time_zone_path_set(dir.tz.c_str());
}

inline void net_env_exit()
{
    zwp_net_time_zone_path_set(nullptr);
    zwscn_shutdown();
    zwu_apr_exit();
}

// The simulator at 127.X.Y.1:4123, X.Y drawn so that tests running at the
// same time do not meet.
inline std::string sim_address()
{
    std::random_device rd;
    return "127." + std::to_string(100 + rd() % 100) + "." + std::to_string(1 + rd() % 250) + ".1";
}

// The simulator as initialisation meets it: the gateway with its
// network-management answers and its own node (the controller alone unless
// profiles are given), and simulated nodes of the given profiles at .N of
// the gateway's /24.
struct sim_gateway {
    sim::gateway gw;
    std::vector<sim::node_profile> profiles;
    sim::gw_app_config app_cfg;  // the gateway's own profile
    std::unique_ptr<sim::node_model> model;
    std::unique_ptr<sim::nm_gateway> nm;
    std::unique_ptr<sim::gw_app> app;

    explicit sim_gateway(const std::string &address, std::vector<sim::node_profile> nodes = {})
        : gw(make(address)), profiles(std::move(nodes))
    {
    }
    // The answers go in once the gateway runs: nodes take its port.
    int start()
    {
        if (int rc = gw.start(); rc != 0)
            return rc;
        model = std::make_unique<sim::node_model>(gw);
        if (int rc = model->add(profiles); rc != 0)
            return rc;
        sim::nm_config nm_cfg;
        nm_cfg.nodes = {sim::gw_self_node(1)};
        for (const sim::node_profile &p : profiles)
            nm_cfg.nodes.push_back(sim::nm_node_of(p));
        nm = std::make_unique<sim::nm_gateway>(gw, nm_cfg);
        app = std::make_unique<sim::gw_app>(gw, app_cfg);
        return 0;
    }
    // The answers go only after the gateway has stopped.
    ~sim_gateway() { gw.stop(); }
    sim_gateway(const sim_gateway &) = delete;
    sim_gateway &operator=(const sim_gateway &) = delete;

    static sim::gateway_config make(const std::string &address)
    {
        sim::gateway_config config;
        config.address = address;
        return config;
    }
};

// The gateway record of a simulator address, with a free port of our own.
inline zwp_gw_t gw_of(const std::string &address)
{
    zwp_gw_t gw{};
    const in_addr_t a = inet_addr(address.c_str());
    std::memcpy(gw.addr, &a, 4);
    gw.addr_type = 1;
    gw.port = free_udp_port();
    return gw;
}

} // namespace net_test
