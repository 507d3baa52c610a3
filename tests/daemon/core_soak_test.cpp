// A few minutes of steady load on the RPC server with its worker pool made
// to churn (workers beyond the initial count end almost as soon as they
// are idle, and bursts make new ones): the resident memory must stay flat
// once warmed up. ZW_SOAK_SECONDS makes the run longer by hand.
#include "daemon/zwp_aserver.h"

#include "tests/support/zws_log_capture.h"

#include <gtest/gtest.h>

#include <apr_general.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;

// A request that allocates and frees as a real one does.
struct echo_request {
    std::vector<uint8_t> frame;
};

int echo_read(zwp_avi_registry_t *, const uint8_t *frame, size_t length, zwp_avi_request_t **request)
{
    *request = reinterpret_cast<zwp_avi_request_t *>(new echo_request{{frame, frame + length}});
    return 0;
}
int echo_execute(zwp_net_list_t *, zwp_avi_request_t *) { return 0; }
int echo_write(zwp_avi_request_t *request, uint8_t **buffer, size_t *length)
{
    const auto &frame = reinterpret_cast<echo_request *>(request)->frame;
    *buffer = static_cast<uint8_t *>(std::malloc(frame.size()));
    std::memcpy(*buffer, frame.data(), frame.size());
    *length = frame.size();
    return 0;
}
void echo_free(zwp_avi_request_t *request) { delete reinterpret_cast<echo_request *>(request); }
const zwp_aserver_handler_t echo_handler{echo_read, echo_execute, echo_write, echo_free};

size_t resident_bytes()
{
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

bool exchange(const std::vector<uint8_t> &frame)
{
    const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, "kestrund_socket", 15);
    bool ok = connect(sock, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
              send(sock, frame.data(), frame.size(), MSG_NOSIGNAL) == ssize_t(frame.size());
    size_t got = 0;
    uint8_t chunk[256];
    for (ssize_t n; ok && (n = recv(sock, chunk, sizeof chunk, 0)) > 0;)
        got += size_t(n);
    close(sock);
    return ok && got == frame.size();
}

TEST(ServerSoak, ResidentMemoryStaysFlatWhileThePoolChurns)
{
    apr_initialize();
    zw_test::log_capture capture;
    const char *seconds_text = std::getenv("ZW_SOAK_SECONDS");
    const int seconds = seconds_text ? std::max(60, std::atoi(seconds_text)) : 150;
    const int warm_up = seconds / 4;

    zwp_aserver_handler_set(&echo_handler);
    zwp_aserver_worker_linger_set(1);
    const zwp_server_config_t config{2, 8};
    zwp_aserver_t *server = nullptr;
    ASSERT_EQ(zwp_aserver_init(&server, &config, nullptr), 0);

    const std::vector<uint8_t> frame{0, 0, 0, 60, 'r', 'e', 'q', 'u', 'e', 's', 't'};
    std::vector<uint8_t> request(frame);
    request.resize(64, 'x');
    std::atomic<bool> stop{false};
    std::atomic<long> served{0}, failed{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 12; i++) {
        clients.emplace_back([&] {
            while (!stop.load()) {
                // A burst grows the pool; the pause lets it shrink again.
                for (int n = 0; n < 40 && !stop.load(); n++)
                    (exchange(request) ? served : failed)++;
                std::this_thread::sleep_for(std::chrono::milliseconds(15));
            }
        });
    }

    size_t fewest_workers = 100, most_workers = 0;
    size_t warm = 0, last = 0, peak_after_warm = 0;
    const auto began = steady::now();
    while (steady::now() - began < std::chrono::seconds(seconds)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const size_t workers = zwp_aserver_workers_get(server);
        fewest_workers = std::min(fewest_workers, workers);
        most_workers = std::max(most_workers, workers);
        const auto elapsed = steady::now() - began;
        last = resident_bytes();
        if (elapsed < std::chrono::seconds(warm_up))
            warm = std::max(warm, last);
        else
            peak_after_warm = std::max(peak_after_warm, last);
    }
    stop = true;
    for (std::thread &t : clients)
        t.join();
    zwp_aserver_exit(server);
    zwp_aserver_handler_set(nullptr);
    zwp_aserver_worker_linger_set(0);
    apr_terminate();

    std::printf("served %ld requests (%ld failed); workers %zu..%zu; resident %zu kB after warm-up, peak %zu kB, "
                "last %zu kB\n",
                served.load(), failed.load(), fewest_workers, most_workers, warm / 1024, peak_after_warm / 1024,
                last / 1024);
    EXPECT_GT(served.load(), 10000);
    EXPECT_EQ(failed.load(), 0);
    // The pool really churned: it grew past its initial count and shrank back.
    EXPECT_GT(most_workers, 2u);
    EXPECT_LE(most_workers, 8u);
    EXPECT_LT(fewest_workers, most_workers);
    // Flat: what the warm-up reached, give or take allocator slack.
    EXPECT_LT(peak_after_warm, warm + (4u << 20));
}

} // namespace
