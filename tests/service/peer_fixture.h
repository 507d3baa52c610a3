// A stand-in for kestrund on its real abstract socket: accepts one
// connection and plays one behaviour.
#pragma once

#include "service/zws_portal.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace zws_test {

// The socket name is fixed and abstract names are shared by every process
// of a network namespace, so other builds' daemons and tests on this machine
// would collide with the stand-in. The test process takes a namespace of its
// own where it can (root, or unprivileged user namespaces); otherwise the
// CTest lock on kestrund_socket still keeps this build's tests apart.
class isolated_network : public ::testing::Environment {
  public:
    void SetUp() override
    {
        if (unshare(CLONE_NEWNET) != 0)
            unshare(CLONE_NEWUSER | CLONE_NEWNET);
    }
};
inline ::testing::Environment *const k_isolated_network = ::testing::AddGlobalTestEnvironment(new isolated_network);

class stand_in_daemon {
  public:
    // Gets the accepted connection; returns when done (the socket is closed after).
    using behaviour = std::function<void(int fd)>;

    explicit stand_in_daemon(behaviour play)
    {
        listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, ZWS_PORTAL_SOCKET_NAME, sizeof ZWS_PORTAL_SOCKET_NAME - 1);
        address.sun_path[0] = '\0';
        if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            listen(listen_fd_, 8) != 0) {
            ADD_FAILURE() << "stand-in daemon cannot listen: " << strerror(errno);
            return;
        }
        thread_ = std::thread([this, play] {
            pollfd watch{listen_fd_, POLLIN, 0};
            while (!stop_.load()) {
                if (poll(&watch, 1, 50) <= 0)
                    continue;
                const int fd = accept(listen_fd_, nullptr, nullptr);
                if (fd < 0)
                    continue;
                accepted_++;
                play(fd);
                close(fd);
            }
        });
    }
    ~stand_in_daemon()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        close(listen_fd_);
    }
    int accepted() const { return accepted_.load(); }

    // Reads one frame (length prefix and payload), or what came before EOF.
    static std::string read_frame(int fd)
    {
        std::string data;
        char block[4096];
        while (data.size() < 4 || data.size() < 4 + frame_length(data)) {
            const ssize_t got = recv(fd, block, sizeof block, 0);
            if (got <= 0)
                break;
            data.append(block, static_cast<size_t>(got));
        }
        return data;
    }
    static uint32_t frame_length(const std::string &data)
    {
        uint32_t prefix;
        std::memcpy(&prefix, data.data(), 4);
        return ntohl(prefix);
    }
    static std::string frame(const std::string &payload)
    {
        const uint32_t prefix = htonl(static_cast<uint32_t>(payload.size()));
        return std::string(reinterpret_cast<const char *>(&prefix), 4) + payload;
    }
    static void send_all(int fd, const std::string &data)
    {
        size_t at = 0;
        while (at < data.size()) {
            const ssize_t sent = send(fd, data.data() + at, data.size() - at, MSG_NOSIGNAL);
            if (sent <= 0)
                return;
            at += static_cast<size_t>(sent);
        }
    }

  private:
    int listen_fd_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
};

} // namespace zws_test
