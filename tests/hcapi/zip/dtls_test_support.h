// The DTLS transport inside a record of ours, as the frame layer embeds it,
// with recorders for what it hands up and for log lines; and a child process
// runner for the openssl command-line peers (s_server playing a gateway,
// s_client a peer that opens a session to us).
#pragma once

#include "hcapi/zip/zip_dtls.h"
#include "hcapi/zip/zip_platform.h"
#include "hcapi/zip/zip_transport.h"
#include "sim/sim_gateway.h"
#include "tests/hcapi/zip/zip_log_capture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace dtls_test {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;
using ms = std::chrono::milliseconds;
using bytes = std::vector<uint8_t>;

inline const bytes key_a = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                            0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
inline const bytes key_b = {0xFF, 0xEE, 0xDD, 0xCC, 0xBB, 0xAA, 0x99, 0x88,
                            0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00};
inline const char *const ciphers_l1 = "PSK-AES256-CBC-SHA:PSK-AES128-CBC-SHA@SECLEVEL=1";

inline std::string hex(const bytes &b)
{
    static const char *digits = "0123456789abcdef";
    std::string s;
    for (uint8_t v : b) {
        s += digits[v >> 4];
        s += digits[v & 15];
    }
    return s;
}

// Polls `cond` every 2 ms until it holds or `limit` passes. (Polling, not a
// condition wait: this ThreadSanitizer does not see the mutex hand-over
// inside a steady-clock condition wait.)
inline bool eventually(const std::function<bool()> &cond, ms limit)
{
    const auto end = steady::now() + limit;
    while (!cond()) {
        if (steady::now() >= end)
            return cond();
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// A loopback network of its own, 127.X.Y.0/24, for the peers of one test:
// parallel runs of other build trees can bind port 41230 at the same time.
inline std::string random_prefix()
{
    static std::mutex m;
    static std::mt19937 gen{std::random_device{}()};
    std::lock_guard lk(m);
    const unsigned r = gen();
    return "127." + std::to_string(100 + r % 150) + "." + std::to_string(1 + (r >> 8) % 250) + ".";
}

inline size_t open_fd_count()
{
    size_t n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr)
            ++n;
        closedir(d);
    }
    return n;
}

// ---------------------------------------------------------------------------
// Log lines of the platform print path
// ---------------------------------------------------------------------------

using zip_test::capture_line;
using zip_test::log_clear;
using zip_test::log_count;
using zip_test::log_lines;

// ---------------------------------------------------------------------------
// The transport
// ---------------------------------------------------------------------------

struct rx_rec {
    bytes data;
    std::string src;   // dotted address bytes of the source
    int family = -1;   // of the source socket address
    int port = -1;
    bool has_dst = false;
};

inline tpt_sockaddr_t v4(const std::string &address, uint16_t port = 4123)
{
    tpt_sockaddr_t a{};
    a.v4.sin_family = AF_INET;
    a.v4.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a.v4.sin_addr);
    return a;
}

class dtls_link {
public:
    dtls_link() = default;
    dtls_link(const dtls_link &) = delete;
    dtls_link &operator=(const dtls_link &) = delete;
    ~dtls_link() { close(); }

    // Starts the platform (tick of `tick_ms`) and the transport with `key`
    // towards `peer`, on `host_port` (0: the system's choice): tpt_init's result.
    int open(const std::string &peer, const bytes &key, uint16_t host_port = 0, unsigned tick_ms = 0,
             uint32_t key_len_override = 0)
    {
        const bool ipv4 = peer.find(':') == std::string::npos;
        plt_tick_ms_set(tick_ms);
        if (plt_init(&plt_, capture_line) != 0)
            return -1;
        plt_up_ = true;
        plt_tick_ms_set(0);
        tpt_.rx_cb = &dtls_link::on_rx;
        tpt_.rx_data = this;
        inet_pton(ipv4 ? AF_INET : AF_INET6, peer.c_str(), tpt_.peer_addr);
        tpt_.host_port = host_port;
        tpt_.ipv4 = ipv4 ? 1 : 0;
        tpt_.plt_ctx = &plt_;
        std::memcpy(tpt_.psk, key.data(), std::min(key.size(), sizeof tpt_.psk));
        tpt_.psk_len = key_len_override ? key_len_override : static_cast<uint32_t>(key.size());
        tpt_.backend = &dtls_tpt_backend;
        const int rc = tpt_init(&tpt_);
        tpt_up_ = rc == 0;
        return rc;
    }

    void close()
    {
        if (tpt_up_)
            tpt_exit(&tpt_);
        tpt_up_ = false;
        if (plt_up_)
            plt_exit(&plt_);
        plt_up_ = false;
    }

    int send(const std::string &to, const bytes &b, uint16_t flags = 0)
    {
        tpt_sockaddr_t dst = v4(to);
        if (!tpt_.ipv4) {
            dst = {};
            dst.v6.sin6_family = AF_INET6;
            dst.v6.sin6_port = htons(4123);
            inet_pton(AF_INET6, to.c_str(), &dst.v6.sin6_addr);
        }
        return tpt_snd_enq(&tpt_, &dst, nullptr, b.data(), static_cast<uint16_t>(b.size()), flags);
    }

    uint16_t host_port() const { return tpt_.host_port; }

    std::optional<rx_rec> wait_rx(const std::function<bool(const rx_rec &)> &pred, ms limit)
    {
        std::optional<rx_rec> found;
        eventually(
            [&] {
                std::lock_guard lk(mtx_);
                for (const rx_rec &r : rx_)
                    if (pred(r)) {
                        found = r;
                        return true;
                    }
                return false;
            },
            limit);
        return found;
    }
    std::optional<rx_rec> wait_rx_bytes(const bytes &b, ms limit)
    {
        return wait_rx([&](const rx_rec &r) { return r.data == b; }, limit);
    }
    std::vector<rx_rec> received()
    {
        std::lock_guard lk(mtx_);
        return rx_;
    }

private:
    static void on_rx(tpt_layer_ctx *ctx, const uint8_t *data, uint16_t length, const tpt_sockaddr_t *src,
                      const uint8_t *dst_addr)
    {
        auto *self = static_cast<dtls_link *>(ctx->rx_data);
        rx_rec r;
        r.data.assign(data, data + length);
        if (src != nullptr) {
            char buf[INET6_ADDRSTRLEN] = {};
            if (ctx->ipv4) {
                inet_ntop(AF_INET, &src->v4.sin_addr, buf, sizeof buf);
                r.port = ntohs(src->v4.sin_port);
            } else {
                inet_ntop(AF_INET6, &src->v6.sin6_addr, buf, sizeof buf);
                r.port = ntohs(src->v6.sin6_port);
            }
            r.src = buf;
            r.family = src->sa.sa_family;
        }
        r.has_dst = dst_addr != nullptr;
        std::lock_guard lk(self->mtx_);
        self->rx_.push_back(std::move(r));
    }

    plt_tmr_ctx plt_{};
    tpt_layer_ctx tpt_{};
    bool plt_up_ = false;
    bool tpt_up_ = false;
    std::mutex mtx_;
    std::vector<rx_rec> rx_;
};

// ---------------------------------------------------------------------------
// A child process with its standard input and (merged) output on pipes
// ---------------------------------------------------------------------------

class child_proc {
public:
    child_proc() = default;
    child_proc(const child_proc &) = delete;
    child_proc &operator=(const child_proc &) = delete;
    ~child_proc() { stop(); }

    bool start(const std::vector<std::string> &args)
    {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0)
            return false;
        if (pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            return false;
        }
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, out[1], 2);
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        const int rc = posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        if (rc != 0) {
            pid_ = -1;
            ::close(in[1]);
            ::close(out[0]);
            return false;
        }
        in_ = in[1];
        out_ = out[0];
        reader_ = std::thread([this] { read_loop(); });
        return true;
    }

    bool write_in(const bytes &b) { return write_in(std::string(b.begin(), b.end())); }
    bool write_in(const std::string &s) { return in_ >= 0 && ::write(in_, s.data(), s.size()) == static_cast<ssize_t>(s.size()); }

    // Output seen so far contains `needle`, waiting up to `limit`.
    bool wait_output(const std::string &needle, ms limit)
    {
        return eventually(
            [&] {
                std::lock_guard lk(mtx_);
                return out_text_.find(needle) != std::string::npos;
            },
            limit);
    }
    bool wait_output(const bytes &needle, ms limit) { return wait_output(std::string(needle.begin(), needle.end()), limit); }
    size_t output_count(const std::string &needle)
    {
        std::lock_guard lk(mtx_);
        size_t n = 0;
        for (size_t p = out_text_.find(needle); p != std::string::npos; p = out_text_.find(needle, p + 1))
            ++n;
        return n;
    }
    void clear()
    {
        std::lock_guard lk(mtx_);
        out_text_.clear();
    }
    std::string output()
    {
        std::lock_guard lk(mtx_);
        return out_text_;
    }

    // The child ended on its own within `limit`.
    bool wait_exit(ms limit)
    {
        const auto end = steady::now() + limit;
        while (pid_ > 0) {
            int st = 0;
            const pid_t r = waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                status_ = st;
                return true;
            }
            if (steady::now() >= end)
                return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }
    int exit_status() const { return status_; }

    void stop()
    {
        if (in_ >= 0) {
            ::close(in_);
            in_ = -1;
        }
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            if (!wait_exit(2000ms)) {
                kill(pid_, SIGKILL);
                int st = 0;
                waitpid(pid_, &st, 0);
                pid_ = -1;
            }
        }
        if (reader_.joinable())
            reader_.join();
        if (out_ >= 0) {
            ::close(out_);
            out_ = -1;
        }
    }

private:
    void read_loop()
    {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(out_, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            std::lock_guard lk(mtx_);
            out_text_.append(buf, static_cast<size_t>(n));
        }
    }

    pid_t pid_ = -1;
    int status_ = 0;
    int in_ = -1;
    int out_ = -1;
    std::thread reader_;
    std::mutex mtx_;
    std::string out_text_;
};

// ---------------------------------------------------------------------------
// The gateway simulator in DTLS mode, and a session of ours to it
// ---------------------------------------------------------------------------

// The simulator with key_a on a loopback network of its own: the gateway at
// prefix.1, the given nodes at prefix.N.
struct dtls_sim {
    std::string prefix;
    std::unique_ptr<sim::gateway> gw;

    std::string addr(int n) const { return prefix + std::to_string(n); }
    bool start(const std::vector<int> &nodes = {})
    {
        for (int attempt = 0; attempt < 20 && gw == nullptr; ++attempt) {
            prefix = random_prefix();
            sim::gateway_config c;
            c.address = addr(1);
            c.port = sim::dtls_port;
            c.dtls_psk = key_a;
            for (int n : nodes)
                c.nodes.push_back({static_cast<uint8_t>(n), addr(n)});
            auto g = std::make_unique<sim::gateway>(c);
            if (g->start() == 0)
                gw = std::move(g);
        }
        return gw != nullptr;
    }
};

// The simulator (nodes 2..last_node) and our transport towards its gateway,
// on a DTLS tick of `tick_ms` (0: the real one).
struct dtls_sim_session : dtls_sim {
    dtls_link link;
    std::string gwa;

    ::testing::AssertionResult open(int last_node = 0, unsigned tick_ms = 0)
    {
        std::vector<int> nodes;
        for (int n = 2; n <= last_node; ++n)
            nodes.push_back(n);
        if (!start(nodes))
            return ::testing::AssertionFailure() << "no simulator";
        gwa = addr(1);
        if (const int rc = link.open(gwa, key_a, 0, tick_ms); rc != 0)
            return ::testing::AssertionFailure() << "tpt_init: " << rc;
        return ::testing::AssertionSuccess();
    }
    // Sends a first frame to the gateway and waits until the simulator has
    // it: the client session is open.
    ::testing::AssertionResult first_frame(const bytes &frame)
    {
        if (const int rc = link.send(gwa, frame); rc != 0)
            return ::testing::AssertionFailure() << "tpt_snd_enq: " << rc;
        if (!gw->wait_for([&](const sim::recorded_frame &r) { return r.bytes == frame; }, 10000ms))
            return ::testing::AssertionFailure() << "the simulator did not get the first frame";
        return ::testing::AssertionSuccess();
    }
};

// openssl s_server playing a gateway at address:41230; its address (on a
// loopback network of its own), or "" when it did not start.
// With ipv6 it listens on ::1 (one address only: a single attempt).
inline std::string start_s_server(child_proc &p, const bytes &key, bool ipv6 = false)
{
    for (int attempt = 0; attempt < (ipv6 ? 1 : 10); ++attempt) {
        const std::string address = ipv6 ? "::1" : random_prefix() + "1";
        const std::string accept = ipv6 ? "[::1]" : address;
        if (!p.start({"openssl", "s_server", "-dtls1", "-psk", hex(key), "-psk_identity", "", "-nocert", "-accept",
                      accept + ":" + std::to_string(DTLS_PEER_PORT), "-cipher", ciphers_l1}))
            return {};
        if (p.wait_output("ACCEPT", 5000ms))
            return address;
        p.stop();
        p.clear();
    }
    return {};
}

// openssl s_client opening a session to our host port.
inline bool start_s_client(child_proc &p, uint16_t port, const bytes &key, const std::string &host = "127.0.0.1")
{
    return p.start({"openssl", "s_client", "-dtls1", "-psk", hex(key), "-msg", "-connect",
                    host + ":" + std::to_string(port), "-cipher", ciphers_l1});
}

}  // namespace dtls_test
