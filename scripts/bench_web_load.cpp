// A small HTTP/1.1 load generator for scripts/bench_web.sh: a few keep-alive
// connections, each sending GET requests one after another for a fixed time;
// prints requests per second and the 50th and 99th percentile latency.
//
// Usage: bench_web_load <port> <path> <connections> <seconds> [header...]
// Output (one line): "<requests> <rps> <p50 ms> <p99 ms> <errors>"
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

int connect_to(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// One response on a keep-alive connection: headers, then a body by
// Content-Length or chunks. False when the connection failed or the status
// is not 200.
class response_reader {
  public:
    explicit response_reader(int fd) : fd_(fd) {}
    bool read_one()
    {
        size_t end;
        while ((end = buffer_.find("\r\n\r\n")) == std::string::npos)
            if (!fill())
                return false;
        const std::string head = buffer_.substr(0, end + 2);
        buffer_.erase(0, end + 4);
        const bool ok = head.compare(0, 12, "HTTP/1.1 200") == 0;
        std::string lower = head;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        const size_t length_at = lower.find("\r\ncontent-length:");
        if (length_at != std::string::npos)
            return skip(std::strtoul(lower.c_str() + length_at + 17, nullptr, 10)) && ok;
        if (lower.find("\r\ntransfer-encoding: chunked") == std::string::npos)
            return false;
        for (;;) {
            size_t line;
            while ((line = buffer_.find("\r\n")) == std::string::npos)
                if (!fill())
                    return false;
            const size_t size = std::strtoul(buffer_.c_str(), nullptr, 16);
            buffer_.erase(0, line + 2);
            if (!skip(size + 2))
                return false;
            if (size == 0)
                return ok;
        }
    }

  private:
    int fd_;
    std::string buffer_;
    bool fill()
    {
        char block[16384];
        const ssize_t got = recv(fd_, block, sizeof block, 0);
        if (got <= 0)
            return false;
        buffer_.append(block, static_cast<size_t>(got));
        return true;
    }
    bool skip(size_t count)
    {
        while (buffer_.size() < count)
            if (!fill())
                return false;
        buffer_.erase(0, count);
        return true;
    }
};

} // namespace

int main(int argc, char **argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s <port> <path> <connections> <seconds> [header...]\n", argv[0]);
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const std::string path = argv[2];
    const int connections = std::max(1, std::atoi(argv[3]));
    const double seconds = std::atof(argv[4]);
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (int i = 5; i < argc; i++)
        request += std::string(argv[i]) + "\r\n";
    request += "\r\n";

    std::vector<std::vector<double>> latencies(static_cast<size_t>(connections));
    std::atomic<long> errors{0};
    const auto start = clock_type::now();
    const auto stop = start + std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::thread> threads;
    for (int c = 0; c < connections; c++) {
        threads.emplace_back([&, c] {
            int fd = -1;
            std::vector<double> &mine = latencies[static_cast<size_t>(c)];
            response_reader *reader = nullptr;
            while (clock_type::now() < stop) {
                if (fd < 0) {
                    fd = connect_to(port);
                    delete reader;
                    reader = fd >= 0 ? new response_reader(fd) : nullptr;
                    if (fd < 0) {
                        errors++;
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                        continue;
                    }
                }
                const auto sent = clock_type::now();
                const bool ok = send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                                    static_cast<ssize_t>(request.size()) &&
                                reader->read_one();
                if (!ok) {
                    errors++;
                    close(fd);
                    fd = -1;
                    continue;
                }
                mine.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - sent).count());
            }
            delete reader;
            if (fd >= 0)
                close(fd);
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    const double elapsed = std::chrono::duration<double>(clock_type::now() - start).count();
    std::vector<double> all;
    for (const auto &mine : latencies)
        all.insert(all.end(), mine.begin(), mine.end());
    std::sort(all.begin(), all.end());
    auto percentile = [&](double p) {
        return all.empty() ? 0.0 : all[std::min(all.size() - 1, static_cast<size_t>(p * static_cast<double>(all.size())))];
    };
    std::printf("%zu %.0f %.3f %.3f %ld\n", all.size(), static_cast<double>(all.size()) / elapsed, percentile(0.50),
                percentile(0.99), errors.load());
    return 0;
}
