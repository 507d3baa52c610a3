// Load client for kestrund's socket: requests per second and latency of
// network_version_get at several numbers of concurrent clients, next to a
// minimal server measured in the same run. The minimal server listens on
// another abstract socket; it accepts, reads one frame, writes a reply of
// the size kestrund's reply has, and closes, one connection after another
// on one thread of a process of its own: the least any server on such a
// socket can do. Each count is measured in three rounds of both servers;
// the table gives the medians and each round's ratio.
//
// Usage: kestrund_rpc_bench ZWAVE_AVSC [SECONDS_PER_RUN [CLIENTS...]]
#include <avro.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;
using bytes = std::vector<uint8_t>;

sockaddr_un address_of(const char *name)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name, std::strlen(name));
    return address;
}

const sockaddr_un kestrund_address = address_of("kestrund_socket");
const sockaddr_un minimal_address = address_of("kestrund_bench_minimal");

// The request frame of network_version_get, written with Avro C from the
// protocol file.
bytes version_request(const char *avsc)
{
    std::ifstream file(avsc);
    std::stringstream text;
    text << file.rdbuf();
    const std::string json = text.str();
    avro_schema_t protocol = nullptr;
    if (avro_schema_from_json_length(json.data(), json.size(), &protocol) != 0) {
        std::fprintf(stderr, "cannot read %s: %s\n", avsc, avro_strerror());
        std::exit(2);
    }
    avro_schema_t types = avro_schema_record_field_get(protocol, "types");
    avro_value_iface_t *types_iface = avro_generic_class_from_schema(types);
    int cookies_index = -1, request_index = -1;
    avro_value_iface_t *cookies_iface =
        avro_generic_class_from_schema(avro_schema_union_branch_by_name(types, &cookies_index, "Cookies"));
    avro_schema_union_branch_by_name(types, &request_index, "NetworkRequest");

    avro_value_t cookies, field, branch, name, value, record, command, network, id, utime;
    avro_generic_value_new(cookies_iface, &cookies);
    avro_value_get_by_name(&cookies, "user", &field, nullptr);
    avro_value_set_branch(&field, 0, &branch);
    avro_value_set_string(&branch, "bench");
    avro_generic_string_new(&name, "network_version_get");
    avro_generic_value_new(types_iface, &value);
    avro_value_set_branch(&value, request_index, &record);
    avro_value_get_by_name(&record, "command", &command, nullptr);
    avro_value_get_by_name(&command, "network", &network, nullptr);
    avro_value_get_by_name(&network, "id", &id, nullptr);
    avro_value_set_string(&id, "01-02-03-04-05-06-07-08");
    avro_value_get_by_name(&command, "utime", &utime, nullptr);
    avro_value_set_long(&utime, 0);

    bytes frame(4096);
    avro_writer_t writer = avro_writer_memory(reinterpret_cast<char *>(frame.data()) + 4, frame.size() - 4);
    if (avro_value_write(writer, &cookies) || avro_value_write(writer, &name) || avro_value_write(writer, &value)) {
        std::fprintf(stderr, "cannot write the request: %s\n", avro_strerror());
        std::exit(2);
    }
    const auto n = static_cast<uint32_t>(avro_writer_tell(writer));
    avro_writer_free(writer);
    frame.resize(n + 4);
    frame[0] = uint8_t(n >> 24);
    frame[1] = uint8_t(n >> 16);
    frame[2] = uint8_t(n >> 8);
    frame[3] = uint8_t(n);
    avro_value_decref(&cookies);
    avro_value_decref(&name);
    avro_value_decref(&value);
    avro_value_iface_decref(cookies_iface);
    avro_value_iface_decref(types_iface);
    avro_schema_decref(protocol);
    return frame;
}

// One exchange: connect, write the frame, read until the server closes.
// The number of reply bytes, or -1.
long exchange(const sockaddr_un &address, const bytes &frame)
{
    const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0)
        return -1;
    long got = -1;
    if (connect(sock, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 &&
        send(sock, frame.data(), frame.size(), MSG_NOSIGNAL) == ssize_t(frame.size())) {
        got = 0;
        uint8_t chunk[4096];
        for (;;) {
            const ssize_t n = recv(sock, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += n;
        }
    }
    close(sock);
    return got;
}

// In a process of its own, as kestrund is: a server inside the client's
// process would switch between threads of one address space only.
class minimal_server {
public:
    explicit minimal_server(size_t reply_size) : reply_(reply_size, 0)
    {
        const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (bind(sock, reinterpret_cast<const sockaddr *>(&minimal_address), sizeof minimal_address) != 0 ||
            listen(sock, 128) != 0) {
            std::perror("minimal server");
            std::exit(2);
        }
        const auto n = static_cast<uint32_t>(reply_size - 4);
        reply_[0] = uint8_t(n >> 24);
        reply_[1] = uint8_t(n >> 16);
        reply_[2] = uint8_t(n >> 8);
        reply_[3] = uint8_t(n);
        child_ = fork();
        if (child_ == 0) {
            run(sock);
            _exit(0);
        }
        close(sock);
    }
    ~minimal_server()
    {
        kill(child_, SIGTERM);
        waitpid(child_, nullptr, 0);
    }

private:
    void run(int sock)
    {
        std::vector<uint8_t> buffer(1 << 16);
        for (;;) {
            const int client = accept4(sock, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            size_t held = 0, expected = 0;
            while (!expected || held < expected) {
                const ssize_t n = recv(client, buffer.data() + held, buffer.size() - held, 0);
                if (n <= 0)
                    break;
                held += size_t(n);
                if (!expected && held >= 4)
                    expected = 4 + ((size_t(buffer[0]) << 24) | (size_t(buffer[1]) << 16) | (size_t(buffer[2]) << 8) |
                                    buffer[3]);
            }
            if (expected && held >= expected)
                send(client, reply_.data(), reply_.size(), MSG_NOSIGNAL);
            close(client);
        }
    }

    bytes reply_;
    pid_t child_ = -1;
};

struct result {
    double rps = 0;
    double p50_us = 0;
    double p99_us = 0;
    long failures = 0;
};

result load(const sockaddr_un &address, const bytes &frame, long reply_size, int clients, double seconds)
{
    std::vector<std::vector<float>> latencies(static_cast<size_t>(clients));
    std::vector<long> failures(static_cast<size_t>(clients), 0);
    std::atomic<bool> go{false};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; i++) {
        threads.emplace_back([&, i] {
            auto &mine = latencies[size_t(i)];
            mine.reserve(1 << 20);
            while (!go.load())
                std::this_thread::yield();
            while (!stop.load(std::memory_order_relaxed)) {
                const auto began = steady::now();
                const long got = exchange(address, frame);
                const auto took = std::chrono::duration<float, std::micro>(steady::now() - began).count();
                if (got != reply_size)
                    failures[size_t(i)]++;
                else
                    mine.push_back(took);
            }
        });
    }
    const auto began = steady::now();
    go = true;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (std::thread &t : threads)
        t.join();
    const double elapsed = std::chrono::duration<double>(steady::now() - began).count();
    std::vector<float> all;
    result out;
    for (size_t i = 0; i < latencies.size(); i++) {
        all.insert(all.end(), latencies[i].begin(), latencies[i].end());
        out.failures += failures[i];
    }
    if (all.empty())
        return out;
    std::sort(all.begin(), all.end());
    out.rps = double(all.size()) / elapsed;
    out.p50_us = all[all.size() / 2];
    out.p99_us = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    return out;
}

constexpr int k_rounds = 3;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s ZWAVE_AVSC [SECONDS_PER_RUN [CLIENTS...]]\n", argv[0]);
        return 2;
    }
    const bytes frame = version_request(argv[1]);
    const double seconds = argc > 2 ? std::atof(argv[2]) : 5.0;
    std::vector<int> counts;
    for (int i = 3; i < argc; i++)
        counts.push_back(std::atoi(argv[i]));
    if (counts.empty())
        counts = {1, 16, 64};

    const long reply_size = exchange(kestrund_address, frame);
    if (reply_size <= 4) {
        std::fprintf(stderr, "kestrund does not answer network_version_get on its socket\n");
        return 1;
    }
    minimal_server minimal(static_cast<size_t>(reply_size));
    std::printf("network_version_get: request %zu bytes, reply %ld bytes, %.1f s per run\n", frame.size(),
                reply_size, seconds);
    std::printf("%8s | %10s %9s %9s | %10s %9s %9s | %6s %6s | %s\n", "clients", "kestrund/s", "p50 us", "p99 us",
                "minimal/s", "p50 us", "p99 us", "ratio", "p99 x", "ratio by round");
    int status = 0;
    for (int clients : counts) {
        // Warm both up before measuring.
        load(kestrund_address, frame, reply_size, clients, std::min(seconds, 1.0));
        load(minimal_address, frame, reply_size, clients, std::min(seconds, 1.0));
        // The two servers take turns, a few rounds each: on a shared or
        // virtual machine one run can meet a better or worse moment (where
        // the scheduler puts the threads, other work) than the other; the
        // medians are steadier, and the rounds show the spread.
        std::vector<result> daemon_runs;
        std::vector<result> least_runs;
        std::vector<double> ratios;
        std::vector<double> p99_ratios;
        long daemon_failures = 0;
        long least_failures = 0;
        for (int round = 0; round < k_rounds; round++) {
            daemon_runs.push_back(load(kestrund_address, frame, reply_size, clients, seconds));
            least_runs.push_back(load(minimal_address, frame, reply_size, clients, seconds));
            const result &daemon = daemon_runs.back();
            const result &least = least_runs.back();
            ratios.push_back(least.rps > 0 ? daemon.rps / least.rps : 0.0);
            p99_ratios.push_back(least.p99_us > 0 ? daemon.p99_us / least.p99_us : 0.0);
            daemon_failures += daemon.failures;
            least_failures += least.failures;
        }
        const auto field = [](const std::vector<result> &runs, double result::*member) {
            std::vector<double> values;
            for (const result &run : runs)
                values.push_back(run.*member);
            return median(values);
        };
        std::string by_round;
        for (double ratio : ratios) {
            char text[16];
            std::snprintf(text, sizeof text, "%s%.2f", by_round.empty() ? "" : " ", ratio);
            by_round += text;
        }
        std::printf("%8d | %10.0f %9.1f %9.1f | %10.0f %9.1f %9.1f | %6.2f %6.2f | %s\n", clients,
                    field(daemon_runs, &result::rps), field(daemon_runs, &result::p50_us),
                    field(daemon_runs, &result::p99_us), field(least_runs, &result::rps),
                    field(least_runs, &result::p50_us), field(least_runs, &result::p99_us), median(ratios),
                    median(p99_ratios), by_round.c_str());
        if (daemon_failures || least_failures) {
            std::printf("         failed exchanges: kestrund %ld, minimal %ld\n", daemon_failures, least_failures);
            status = 1;
        }
        std::fflush(stdout);
    }
    return status;
}
