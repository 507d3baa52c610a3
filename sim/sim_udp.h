// Socket side of the gateway simulator: IPv4 UDP sockets bound to loopback
// addresses, served by one poll loop thread that also runs delayed tasks.
//
// One loop for every socket keeps the simulator's behaviour single-threaded
// (received frames and delayed answers run in one order); senders on other
// threads only call sendto, which the kernel serialises per socket.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

struct endpoint {
    std::string address; // dotted IPv4
    uint16_t port = 0;
    std::string text() const { return address + ":" + std::to_string(port); }
    bool operator==(const endpoint &) const = default;
};

class udp_transport {
public:
    // Runs on the loop thread. `to_address` is the datagram's header
    // destination (IP_PKTINFO), which is the bound address on loopback.
    using receive_fn = std::function<void(int socket_id, const uint8_t *data, size_t length,
                                          const endpoint &from, const std::string &to_address)>;

    udp_transport();
    ~udp_transport();
    udp_transport(const udp_transport &) = delete;
    udp_transport &operator=(const udp_transport &) = delete;

    // Binds a socket to address:port (port 0: the system chooses). Datagrams
    // on a polled socket reach the receive handler; others only send.
    // Returns the socket id (>= 0) or -errno, with a text in *error.
    int open(const std::string &address, uint16_t port, bool polled, std::string *error);
    // Socket id bound to `address`, or -1.
    int find(const std::string &address) const;
    endpoint local(int id) const;

    // 0, or -errno (-ENOTCONN once stopped).
    int send(int id, const endpoint &to, const uint8_t *data, size_t length);

    // Runs `task` on the loop thread after `delay`; dropped when the loop stops first.
    void schedule(std::chrono::milliseconds delay, std::function<void()> task);

    // 0, or -errno when the loop cannot start.
    int start(receive_fn on_receive);
    // Joins the loop, drops pending tasks and closes every socket.
    void stop();
    bool running() const { return running_.load(); }

private:
    struct socket_rec {
        int fd = -1;
        endpoint local;
        bool polled = false;
    };

    void loop();
    void wake();
    void drain(int fd);
    void run_due_tasks();
    std::chrono::milliseconds time_to_next_task();

    mutable std::mutex sockets_mu_;
    std::vector<socket_rec> sockets_;

    std::mutex tasks_mu_;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> tasks_;

    receive_fn on_receive_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_requested_{false};
    const int wake_fd_; // lives as long as the object, so wake() never races a close
    std::thread thread_;
    std::vector<uint8_t> rx_buffer_;
};

} // namespace sim
