// Test peers of the gateway simulator: a bare UDP socket that plays the
// client (not the project's Z/IP client, which the simulator exists to check).
#pragma once

#include "sim/sim_gateway.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sim_test {

using bytes = std::vector<uint8_t>;

class raw_client {
public:
    explicit raw_client(const std::string &address = "127.0.0.1")
    {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
        socklen_t len = sizeof sa;
        ::getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len);
        local_ = {address, ntohs(sa.sin_port)};
    }
    ~raw_client() { ::close(fd_); }
    raw_client(const raw_client &) = delete;
    raw_client &operator=(const raw_client &) = delete;

    sim::endpoint local() const { return local_; }

    void send(const sim::endpoint &to, const bytes &b)
    {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(to.port);
        inet_pton(AF_INET, to.address.c_str(), &sa.sin_addr);
        ASSERT_EQ(::sendto(fd_, b.data(), b.size(), 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa),
                  static_cast<ssize_t>(b.size()));
    }

    struct datagram {
        bytes data;
        sim::endpoint from;
        sim::zip_frame frame() const { return sim::parse_frame(data.data(), data.size()); }
    };

    std::optional<datagram> recv(std::chrono::milliseconds timeout)
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            return std::nullopt;
        uint8_t buf[2048];
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        ssize_t n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&sa), &len);
        if (n < 0)
            return std::nullopt;
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
        return datagram{bytes(buf, buf + n), {text, ntohs(sa.sin_port)}};
    }

    // The first datagram that matches, within `timeout`; the others are
    // dropped on the way.
    std::optional<datagram> recv_until(const std::function<bool(const datagram &)> &pred,
                                       std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                    std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            auto d = recv(left);
            if (!d)
                return std::nullopt;
            if (pred(*d))
                return d;
        }
    }

private:
    int fd_ = -1;
    sim::endpoint local_;
};

} // namespace sim_test
