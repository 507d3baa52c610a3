// Probe discovery for real: the test moves into a network namespace of its
// own, joined by a veth pair to a second namespace where a python3 responder
// plays several gateways (see discvr_responder.py). Our side holds 10.77.0.1,
// 10.78.0.1 and fd77::1; the gateway side .2 to .7 of each.
#include "hcapi/zip/zip_discvr.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

struct report_t {
    std::vector<std::string> addrs;  // sorted text
    int ipv4, done, total;
    bool names;
};

struct recorder {
    std::mutex m;
    std::condition_variable cv;
    std::vector<report_t> reports;
    std::atomic<bool> stop_returned{false};
    std::atomic<int> after_stop{0};
    std::atomic<zip_gw_discvr_t *> stop_in_cb{nullptr};
    std::atomic<int> stop_in_cb_rc{99};

    bool wait_for(size_t n, std::chrono::milliseconds limit)
    {
        std::unique_lock<std::mutex> lk(m);
        return cv.wait_for(lk, limit, [&] { return reports.size() >= n; });
    }
    size_t count()
    {
        std::lock_guard<std::mutex> lk(m);
        return reports.size();
    }
};

void on_result(const uint8_t *addrs, uint8_t count, int ipv4, void *user, int done, int total,
               const char *const *names)
{
    auto *rec = static_cast<recorder *>(user);
    if (rec->stop_returned.load())
        rec->after_stop.fetch_add(1);
    report_t r{{}, ipv4, done, total, names != nullptr};
    for (uint8_t i = 0; i < count; ++i) {
        char text[INET6_ADDRSTRLEN] = "";
        inet_ntop(ipv4 ? AF_INET : AF_INET6, addrs + i * (ipv4 ? 4 : 16), text, sizeof text);
        r.addrs.push_back(text);
    }
    std::sort(r.addrs.begin(), r.addrs.end());
    {
        std::lock_guard<std::mutex> lk(rec->m);
        rec->reports.push_back(r);
    }
    rec->cv.notify_all();
    if (zip_gw_discvr_t *h = rec->stop_in_cb.exchange(nullptr))
        rec->stop_in_cb_rc = zip_gw_discvr_stop(h);
}

int sh(const std::string &cmd)
{
    int r = std::system((cmd + " >/dev/null 2>&1").c_str());
    return WIFEXITED(r) ? WEXITSTATUS(r) : -1;
}

std::string python()
{
    return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

// The gateway side: a named namespace, the far end of the veth pair, and the
// responder process with a pipe to its stdin (closing it ends the responder)
// and one from its stdout.
class DiscvrNetns : public ::testing::Test {
protected:
    static inline std::string skip_why;
    static inline std::string ns;
    static inline pid_t resp_pid = -1;
    static inline int resp_in = -1, resp_out = -1;

    static bool read_line(std::string &line, std::chrono::milliseconds limit)
    {
        line.clear();
        auto end = steady::now() + limit;
        while (steady::now() < end) {
            pollfd p{resp_out, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char c;
            if (read(resp_out, &c, 1) != 1)
                return false;
            if (c == '\n')
                return true;
            line += c;
        }
        return false;
    }

    static void SetUpTestSuite()
    {
        if (geteuid() != 0) {
            skip_why = "needs root to create network namespaces";
            return;
        }
        if (unshare(CLONE_NEWNET) != 0) {
            skip_why = std::string("cannot create a network namespace: ") + std::strerror(errno);
            return;
        }
        ns = "zwdisc" + std::to_string(getpid());
        std::string nx = "ip netns exec " + ns + " ";
        std::vector<std::string> steps = {
            "ip link set lo up",
            "ip netns add " + ns,
            "ip link add zwd0 type veth peer name zwd1 netns " + ns,
            "ip addr add 10.77.0.1/24 dev zwd0",
            "ip addr add 10.78.0.1/24 dev zwd0",
            "ip -6 addr add fd77::1/64 dev zwd0 nodad",
            "ip link set zwd0 up",
            nx + "ip link set lo up",
            nx + "ip link set zwd1 up",
        };
        for (int h = 2; h <= 7; ++h) {
            steps.push_back(nx + "ip addr add 10.77.0." + std::to_string(h) + "/24 dev zwd1");
            steps.push_back(nx + "ip addr add 10.78.0." + std::to_string(h) + "/24 dev zwd1");
            steps.push_back(nx + "ip -6 addr add fd77::" + std::to_string(h) + "/64 dev zwd1 nodad");
        }
        for (const auto &s : steps) {
            if (sh(s) != 0) {
                skip_why = "network namespace set-up failed at: " + s;
                return;
            }
        }

        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
            skip_why = "no pipes";
            return;
        }
        const char *src = std::getenv("ZW_SOURCE_DIR");
        std::string script = std::string(src ? src : ".") + "/tests/hcapi/zip/discvr_responder.py";
        std::string py = python();
        std::vector<std::string> args = {"ip", "netns", "exec", ns, py, script, "zwd1"};
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        int r = posix_spawnp(&resp_pid, "ip", &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(in[0]);
        close(out[1]);
        resp_in = in[1];
        resp_out = out[0];
        if (r != 0) {
            resp_pid = -1;
            skip_why = "cannot start the responder";
            return;
        }
        std::string line;
        if (!read_line(line, 15s) || line != "ready")
            skip_why = "the responder did not start (python3 in the gateway namespace): " + line;
    }

    static void TearDownTestSuite()
    {
        if (resp_in >= 0)
            close(resp_in);  // the responder ends on end of input
        if (resp_pid > 0) {
            int st = 0;
            for (int i = 0; i < 50 && waitpid(resp_pid, &st, WNOHANG) == 0; ++i)
                std::this_thread::sleep_for(100ms);
            if (waitpid(resp_pid, &st, WNOHANG) == 0) {
                kill(resp_pid, SIGKILL);
                waitpid(resp_pid, &st, 0);
            }
        }
        if (resp_out >= 0)
            close(resp_out);
        if (!ns.empty())
            sh("ip netns del " + ns);
    }

    void SetUp() override
    {
        if (!skip_why.empty())
            GTEST_SKIP() << skip_why;
    }

    static void mode(const std::string &m)
    {
        std::string cmd = m + "\n";
        ASSERT_EQ(write(resp_in, cmd.data(), cmd.size()), static_cast<ssize_t>(cmd.size()));
        std::string line;
        ASSERT_TRUE(read_line(line, 5s));
        ASSERT_EQ(line, "mode " + m);
    }

    static const report_t *by_first(const std::vector<report_t> &reps, const std::string &prefix)
    {
        for (const auto &r : reps)
            if (!r.addrs.empty() && r.addrs[0].rfind(prefix, 0) == 0)
                return &r;
        return nullptr;
    }
};

// Each local address gets its own report with only its own answers; wrong
// sequence numbers, short datagrams, junk, a bare ACK and an extension that
// points past the end are not taken; an answer behind an extension is.
TEST_F(DiscvrNetns, Ipv4BroadcastOneReportPerAddress)
{
    mode("normal");
    recorder rec;
    zip_gw_discvr_t *h = zip_gw_discvr_start(on_result, &rec, 1);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(rec.wait_for(2, 15s));
    EXPECT_EQ(zip_gw_discvr_stop(h), 0);
    std::lock_guard<std::mutex> lk(rec.m);
    ASSERT_EQ(rec.reports.size(), 2u);
    EXPECT_EQ(rec.reports[0].done, 1);
    EXPECT_EQ(rec.reports[1].done, 2);
    for (const auto &r : rec.reports) {
        EXPECT_EQ(r.total, 2);
        EXPECT_EQ(r.ipv4, 1);
        EXPECT_FALSE(r.names);
    }
    const report_t *a = by_first(rec.reports, "10.77.");
    const report_t *b = by_first(rec.reports, "10.78.");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a->addrs, (std::vector<std::string>{"10.77.0.2", "10.77.0.6"}));
    EXPECT_EQ(b->addrs, (std::vector<std::string>{"10.78.0.2"}));
}

TEST_F(DiscvrNetns, Ipv6MulticastToAllRouters)
{
    mode("normal");
    recorder rec;
    zip_gw_discvr_t *h = zip_gw_discvr_start(on_result, &rec, 0);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(rec.wait_for(1, 15s));
    EXPECT_EQ(zip_gw_discvr_stop(h), 0);
    std::lock_guard<std::mutex> lk(rec.m);
    ASSERT_EQ(rec.reports.size(), 1u);  // fe80:: of zwd0 is not probed
    const auto &r = rec.reports[0];
    EXPECT_EQ(r.ipv4, 0);
    EXPECT_EQ(r.done, 1);
    EXPECT_EQ(r.total, 1);
    EXPECT_EQ(r.addrs, (std::vector<std::string>{"fd77::2", "fd77::6"}));
}

TEST_F(DiscvrNetns, AnswersCappedPerProbe)
{
    mode("flood");
    recorder rec;
    zip_gw_discvr_t *h = zip_gw_discvr_start(on_result, &rec, 1);
    ASSERT_NE(h, nullptr);
    bool got = rec.wait_for(1, 15s);
    EXPECT_EQ(zip_gw_discvr_stop(h), 0);
    ASSERT_TRUE(got);
    std::lock_guard<std::mutex> lk(rec.m);
    EXPECT_EQ(rec.reports[0].addrs.size(), static_cast<size_t>(ZIP_DISCVR_MAX_ANSWERS));
}

// A host that never stops sending keeps the collection open only up to its
// bound, not for as long as it sends.
TEST_F(DiscvrNetns, JunkFloodDoesNotHoldCollection)
{
    mode("junkflood");
    recorder rec;
    auto t0 = steady::now();
    zip_gw_discvr_t *h = zip_gw_discvr_start(on_result, &rec, 1);
    ASSERT_NE(h, nullptr);
    bool got = rec.wait_for(1, 9s);
    auto took = steady::now() - t0;
    auto s0 = steady::now();
    EXPECT_EQ(zip_gw_discvr_stop(h), 0);
    EXPECT_LT(steady::now() - s0, 1s) << "stop while the flood goes on";
    ASSERT_TRUE(got);
    EXPECT_LT(took, 8s);
    std::lock_guard<std::mutex> lk(rec.m);
    EXPECT_TRUE(rec.reports[0].addrs.empty());
}

// Stop during the 2 s collection returns at once, and the report that the
// collection would have made never comes.
TEST_F(DiscvrNetns, StopIsPromptAndFinal)
{
    mode("silent");
    recorder rec;
    zip_gw_discvr_t *h = zip_gw_discvr_start(on_result, &rec, 1);
    ASSERT_NE(h, nullptr);
    std::this_thread::sleep_for(300ms);
    auto t0 = steady::now();
    EXPECT_EQ(zip_gw_discvr_stop(h), 0);
    rec.stop_returned = true;
    EXPECT_LT(steady::now() - t0, 1s);
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(rec.count(), 0u);
    EXPECT_EQ(rec.after_stop.load(), 0);

    // Started and stopped at once, over both families.
    for (int v4 : {1, 0}) {
        recorder quick;
        zip_gw_discvr_t *q = zip_gw_discvr_start(on_result, &quick, v4);
        ASSERT_NE(q, nullptr);
        auto t1 = steady::now();
        EXPECT_EQ(zip_gw_discvr_stop(q), 0);
        quick.stop_returned = true;
        EXPECT_LT(steady::now() - t1, 1s);
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(quick.after_stop.load(), 0);
    }
}

// The callback may stop its own discovery: no deadlock, no further report.
TEST_F(DiscvrNetns, StopFromCallback)
{
    mode("normal");
    recorder rec;
    zip_gw_discvr_t *h = zip_gw_discvr_start(on_result, &rec, 1);
    ASSERT_NE(h, nullptr);
    rec.stop_in_cb = h;
    ASSERT_TRUE(rec.wait_for(1, 15s));
    std::this_thread::sleep_for(3000ms);  // the second address would report by now
    EXPECT_EQ(rec.stop_in_cb_rc.load(), 0);
    EXPECT_EQ(rec.count(), 1u);
}

// Run on a thread of its own in a fresh namespace (loopback only, down), so
// that it does not depend on the fixture's namespace.
template <typename Fn>
void in_fresh_netns(Fn fn, std::string &skip)
{
    std::thread t([&] {
        if (unshare(CLONE_NEWNET) != 0) {
            skip = std::string("cannot create a network namespace: ") + std::strerror(errno);
            return;
        }
        fn();
    });
    t.join();
}

TEST(DiscvrBareNetns, NoUsableAddressReportsOnceEmpty)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to create network namespaces";
    std::string skip;
    std::vector<report_t> got4, got6;
    int local_rc = 0;
    in_fresh_netns(
        [&] {
            sh("ip link set lo up");
            for (int v4 : {1, 0}) {
                recorder rec;
                zip_gw_discvr_t *h = zip_gw_discvr_start(on_result, &rec, v4);
                if (h == nullptr)
                    return;
                rec.wait_for(1, 5s);
                std::this_thread::sleep_for(200ms);  // no second report follows
                zip_gw_discvr_stop(h);
                std::lock_guard<std::mutex> lk(rec.m);
                (v4 ? got4 : got6) = rec.reports;
            }
            const uint8_t far[4] = {10, 1, 2, 3};
            uint8_t local[16];
            local_rc = util_local_addr_get(far, local, 1);
        },
        skip);
    if (!skip.empty())
        GTEST_SKIP() << skip;
    for (const auto *got : {&got4, &got6}) {
        ASSERT_EQ(got->size(), 1u);
        EXPECT_TRUE((*got)[0].addrs.empty());
        EXPECT_EQ((*got)[0].done, 0);
        EXPECT_EQ((*got)[0].total, 0);
    }
    EXPECT_EQ(local_rc, -3) << "no route to 10.1.2.3";
}

TEST_F(DiscvrNetns, LocalAddressTowardsGateway)
{
    uint8_t gw4[4], gw6[16], local[16];
    inet_pton(AF_INET, "10.78.0.5", gw4);
    inet_pton(AF_INET6, "fd77::5", gw6);
    ASSERT_EQ(util_local_addr_get(gw4, local, 1), 0);
    char text[INET6_ADDRSTRLEN];
    EXPECT_STREQ(inet_ntop(AF_INET, local, text, sizeof text), "10.78.0.1");
    ASSERT_EQ(util_local_addr_get(gw6, local, 0), 0);
    EXPECT_STREQ(inet_ntop(AF_INET6, local, text, sizeof text), "fd77::1");

    std::vector<uint8_t> v4(ZIP_DISCVR_MAX_IF_ADDR * 4);
    EXPECT_EQ(util_if_addr_list(ZIP_DISCVR_MAX_IF_ADDR, v4.data(), 1), 2);
    std::vector<util_if_addr6_t> v6(ZIP_DISCVR_MAX_IF_ADDR);
    ASSERT_EQ(util_if_addr_list(ZIP_DISCVR_MAX_IF_ADDR, v6.data(), 0), 1);
    EXPECT_STREQ(inet_ntop(AF_INET6, v6[0].addr, text, sizeof text), "fd77::1");
    EXPECT_NE(v6[0].if_idx, 0u);
    EXPECT_EQ(util_if_addr_list(1, v4.data(), 1), 1) << "the maximum holds";
}

}  // namespace
