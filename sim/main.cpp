// zipgw-sim: the Z/IP gateway simulator as a program, for the demo.
// Plays the gateway (and nodes with their own addresses) until SIGTERM or
// SIGINT and logs every frame in one line on standard output.

#include "sim/sim_gateway.h"

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

void usage(FILE *out)
{
    std::fprintf(out,
                 "usage: zipgw-sim [--address A] [--port P] [--psk HEX] [--node N[=ADDR]]...\n"
                 "  --address A   gateway address (default 127.0.0.1)\n"
                 "  --port P      UDP port of the gateway and its nodes (default 4123, 41230 with --psk)\n"
                 "  --psk HEX     speak DTLS with this pre-shared key (16 to 32 bytes in hex)\n"
                 "  --node N      node N with its own address (default 127.0.0.N)\n");
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
    bool port_given = false;
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
    std::printf("zipgw-sim: gateway on %s\n", gw.address().text().c_str());
    for (const sim::node_address &n : config.nodes)
        std::printf("zipgw-sim: node %u on %s\n", n.node_id, gw.node(n.node_id)->text().c_str());
    std::fflush(stdout);

    while (!g_stop.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    gw.stop();
    std::printf("zipgw-sim: stopped\n");
    return 0;
}
