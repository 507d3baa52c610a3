// zipgw-sim: the Z/IP gateway simulator as a program, for the demo.
// Plays the gateway with its network-management answers and its own node
// (what a client asks while it learns who the gateway is), and nodes with
// their own addresses (simulated nodes when given a profile), until SIGTERM
// or SIGINT, and logs every frame in one line on standard output. With
// --control a test script makes the nodes act when it likes (sim_control.h).

#include "sim/sim_control.h"
#include "sim/sim_gateway.h"
#include "sim/sim_gw_app.h"
#include "sim/sim_nm.h"
#include "sim/sim_node.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void on_signal(int) { g_stop.store(true); }

std::string profile_names()
{
    std::string names;
    for (const std::string &n : sim::builtin_profile_names())
        names += (names.empty() ? "" : ", ") + n;
    return names;
}

struct profile_set {
    const char *name;
    std::initializer_list<std::pair<uint8_t, const char *>> nodes;
};

// The small network of the demo: a switch, a battery sensor that sleeps and
// a basic node. "full" adds the lights, the meter and the sensors; it is a
// set of its own because the demo's runs (and the tests that add their own
// nodes from .5 on to it) have addresses for nodes 2 to 4 only.
const profile_set profile_sets[] = {
    {"demo", {{2, "switch"}, {3, "sensor"}, {4, "basic"}}},
    {"full",
     {{2, "switch"}, {3, "sensor"}, {4, "basic"}, {5, "dimmer"}, {6, "color"}, {7, "meter_plug"},
      {8, "multisensor"}}},
};

// Usage lines: `head` then the items, wrapped below 92 columns.
std::string usage_lines(const std::string &head, const std::vector<std::string> &items, const char *sep)
{
    const std::string indent(19, ' ');
    std::string text, line = indent + head;
    for (size_t i = 0; i < items.size(); i++) {
        const std::string item = items[i] + (i + 1 < items.size() ? sep : "");
        if (line.size() + item.size() > 92 && line.size() > indent.size() + head.size()) {
            text += line.substr(0, line.find_last_not_of(' ') + 1) + "\n";
            line = indent + "  ";
        }
        line += item;
    }
    return text + line + "\n";
}

std::string profile_set_lines()
{
    std::string text = usage_lines("", sim::builtin_profile_names(), ", ") + "  --profile SET    a set of them:\n";
    for (const profile_set &set : profile_sets) {
        std::vector<std::string> items;
        for (const auto &[id, name] : set.nodes)
            items.push_back(std::to_string(id) + "=" + name);
        text += usage_lines(std::string("\"") + set.name + "\" is ", items, " ");
    }
    return text;
}

void usage(FILE *out)
{
    std::fprintf(out,
                 "usage: zipgw-sim [--address A] [--port P] [--psk HEX] [--node N[=ADDR]]...\n"
                 "                 [--profile N=NAME | --profile SET]... [--wake-every S] [--joining N]\n"
                 "                 [--control PATH]\n"
                 "  --address A      gateway address (default 127.0.0.1)\n"
                 "  --port P         UDP port of the gateway and its nodes (default 4123, 41230 with --psk)\n"
                 "  --psk HEX        speak DTLS with this pre-shared key (16 to 32 bytes in hex)\n"
                 "  --node N         node N with its own address (default 127.0.0.N)\n"
                 "  --profile N=NAME a simulated node N (at .N of the gateway's /24) of a built-in profile:\n"
                 "%s"
                 "  --wake-every S   sleeping nodes wake up every S seconds (default: never), awake for\n"
                 "                   at most 10 s\n"
                 "  --joining N      node N (of --node or --profile) is not in the network yet: the next\n"
                 "                   add includes it and the next remove excludes it\n"
                 "  --control PATH   listen on a UNIX stream socket at PATH for one command a line,\n"
                 "                   each answered \"ok\" or \"error: ...\" (N decimal, CLS and bytes hex):\n"
                 "                     report N CLS      node N sends its class's current Report\n"
                 "                     send N HEX...     node N sends these command bytes\n"
                 "                     set N CLS HEX...  node N's class takes this state\n"
                 "                     values N CLS      that state: \"ok HEX...\"\n"
                 "                     wake N, sleep N   a sleeping node wakes up, falls asleep\n"
                 "                     dest ADDR:PORT    where nodes' own frames go (\"none\": the\n"
                 "                                       client last heard from, the default)\n",
                 profile_set_lines().c_str());
}

bool parse_number(const char *text, unsigned long max, unsigned long &out)
{
    if (!text || !*text)
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(text, &end, 10);
    if (errno || *end || v > max)
        return false;
    out = v;
    return true;
}

bool parse_hex_key(const char *text, std::vector<uint8_t> &out)
{
    const size_t len = text ? std::strlen(text) : 0;
    if (len % 2 != 0 || len < 32 || len > 64)
        return false;
    out.clear();
    for (size_t i = 0; i < len; i += 2) {
        const char pair[3] = {text[i], text[i + 1], 0};
        char *end = nullptr;
        const unsigned long v = std::strtoul(pair, &end, 16);
        if (*end || !std::isxdigit(static_cast<unsigned char>(pair[0])))
            return false;
        out.push_back(static_cast<uint8_t>(v));
    }
    return true;
}

bool parse_node(const std::string &arg, sim::node_address &out)
{
    std::string id = arg, addr;
    if (auto eq = arg.find('='); eq != std::string::npos) {
        id = arg.substr(0, eq);
        addr = arg.substr(eq + 1);
    }
    unsigned long n;
    if (!parse_number(id.c_str(), 232, n) || n < 1)
        return false;
    out = {static_cast<uint8_t>(n), addr};
    return true;
}

// "N=NAME" or the name of a set; appends the profiles.
bool parse_profile(const std::string &arg, std::vector<sim::node_profile> &out)
{
    for (const profile_set &set : profile_sets) {
        if (arg != set.name)
            continue;
        for (const auto &[id, name] : set.nodes)
            out.push_back(*sim::builtin_profile(name, id));
        return true;
    }
    const auto eq = arg.find('=');
    unsigned long n;
    // Node 1 is the gateway itself.
    if (eq == std::string::npos || !parse_number(arg.substr(0, eq).c_str(), 232, n) || n < 2)
        return false;
    auto p = sim::builtin_profile(arg.substr(eq + 1), static_cast<uint8_t>(n));
    if (!p)
        return false;
    out.push_back(*p);
    return true;
}

void log_frame(const sim::recorded_frame &r, std::chrono::steady_clock::time_point t0)
{
    using namespace std::chrono;
    const double secs = duration<double>(r.time - t0).count();
    const bool rx = r.dir == sim::direction::received;
    std::string line = sim::describe(r.frame);
    if (r.applied)
        line += std::string(" [") + sim::reply_text(*r.applied) + (r.copy > 1 ? " resend" : "") + "]";
    std::printf("%10.3f %s %s %s %s | %s | %s\n", secs, rx ? "rx" : "tx", r.local.text().c_str(),
                rx ? "<-" : "->", r.peer.text().c_str(), sim::hex_text(r.bytes).c_str(), line.c_str());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    sim::gateway_config config;
    std::vector<sim::node_profile> profiles;
    std::chrono::seconds wake_every{0};
    std::string control_path;
    bool port_given = false;
    unsigned long joining = 0;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long n;
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--address" && value) {
            config.address = value;
            i++;
        } else if (a == "--port" && value && parse_number(value, 65535, n)) {
            config.port = static_cast<uint16_t>(n);
            port_given = true;
            i++;
        } else if (a == "--psk" && value) {
            if (!parse_hex_key(value, config.dtls_psk)) {
                std::fprintf(stderr, "zipgw-sim: bad key (16 to 32 bytes in hex)\n");
                return 2;
            }
            i++;
        } else if (a == "--profile" && value) {
            if (!parse_profile(value, profiles)) {
                std::fprintf(stderr, "zipgw-sim: bad profile \"%s\" (N=NAME with NAME one of %s, or a set)\n",
                             value, profile_names().c_str());
                return 2;
            }
            i++;
        } else if (a == "--wake-every" && value && parse_number(value, 86400, n) && n > 0) {
            wake_every = std::chrono::seconds(n);
            i++;
        } else if (a == "--control" && value && *value) {
            control_path = value;
            i++;
        } else if (a == "--joining" && value && parse_number(value, 232, n) && n > 0) {
            joining = n;
            i++;
        } else if (a == "--node" && value) {
            sim::node_address node;
            if (!parse_node(value, node)) {
                std::fprintf(stderr, "zipgw-sim: bad node \"%s\"\n", value);
                return 2;
            }
            config.nodes.push_back(node);
            i++;
        } else {
            usage(stderr);
            return 2;
        }
    }

    if (!config.dtls_psk.empty() && !port_given)
        config.port = sim::dtls_port;
    for (sim::node_profile &p : profiles)
        p.awake_timeout = std::chrono::seconds(10);

    // The gateway's node list: itself, the simulated nodes, then the bare
    // addresses.
    sim::nm_config nm;
    nm.nodes.push_back(sim::gw_self_node(nm.own_node_id));
    for (const sim::node_profile &p : profiles)
        nm.nodes.push_back(sim::nm_node_of(p));
    for (const sim::node_address &a : config.nodes) {
        const bool listed = std::any_of(nm.nodes.begin(), nm.nodes.end(),
                                        [&](const sim::nm_node &n) { return n.node_id == a.node_id; });
        if (!listed) {
            sim::nm_node n;
            n.node_id = a.node_id;
            nm.nodes.push_back(n);
        }
    }

    if (joining != 0) {
        auto it = std::find_if(nm.nodes.begin(), nm.nodes.end(),
                               [&](const sim::nm_node &n) { return n.node_id == joining; });
        if (it == nm.nodes.end()) {
            std::fprintf(stderr, "zipgw-sim: --joining %lu names no --node or --profile\n", joining);
            return 2;
        }
        it->in_node_list = false;
        nm.new_node_id = static_cast<uint8_t>(joining);
        nm.removed_node_id = static_cast<uint8_t>(joining);
    }

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    const auto t0 = std::chrono::steady_clock::now();
    sim::gateway gw(config);
    gw.set_observer([t0](const sim::recorded_frame &r) { log_frame(r, t0); });
    if (int rc = gw.start(); rc < 0) {
        std::fprintf(stderr, "zipgw-sim: %s\n", gw.last_error().c_str());
        return 1;
    }
    sim::node_model model(gw);
    for (const sim::node_profile &p : profiles) {
        if (int rc = model.add(p); rc < 0) {
            std::fprintf(stderr, "zipgw-sim: node %u: %s %s\n", p.node_id, std::strerror(-rc),
                         gw.last_error().c_str());
            gw.stop();
            return 1;
        }
    }
    sim::nm_gateway responder(gw, nm);
    sim::gw_app own_node(gw);
    sim::control_channel control(model);
    if (!control_path.empty()) {
        if (int rc = control.start(control_path); rc < 0) {
            std::fprintf(stderr, "zipgw-sim: control socket %s: %s\n", control_path.c_str(), std::strerror(-rc));
            gw.stop();
            return 1;
        }
    }
    std::printf("zipgw-sim: gateway on %s\n", gw.address().text().c_str());
    for (const sim::node_address &n : config.nodes)
        std::printf("zipgw-sim: node %u on %s\n", n.node_id, gw.node(n.node_id)->text().c_str());
    for (const sim::node_profile &p : profiles)
        std::printf("zipgw-sim: node %u (%s) on %s\n", p.node_id, sim::node_kind_text(p.kind),
                    gw.node(p.node_id)->text().c_str());
    if (!control_path.empty())
        std::printf("zipgw-sim: control on %s\n", control_path.c_str());
    std::fflush(stdout);

    auto next_wake = std::chrono::steady_clock::now() + wake_every;
    while (!g_stop.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (wake_every.count() == 0 || std::chrono::steady_clock::now() < next_wake)
            continue;
        next_wake += wake_every;
        for (const sim::node_profile &p : profiles) {
            if (p.kind != sim::node_kind::sleeping)
                continue;
            // Before any client has spoken there is nobody to notify.
            if (int rc = model.wake_up(p.node_id); rc < 0 && rc != -ENOTCONN)
                std::fprintf(stderr, "zipgw-sim: node %u cannot wake up: %s\n", p.node_id, std::strerror(-rc));
        }
    }
    control.stop();
    gw.stop();
    std::printf("zipgw-sim: stopped\n");
    return 0;
}
