#include "sim/sim_udp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sim {

namespace {

// Large enough to see an oversized datagram whole, so that the recorder
// shows its real length instead of a silently cut one.
constexpr size_t rx_buffer_size = 65536;
// Datagrams read from one socket per poll round, so one flooded socket
// cannot starve the others or the delayed tasks.
constexpr int max_reads_per_round = 64;

bool to_sockaddr(const endpoint &ep, sockaddr_in &sa)
{
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(ep.port);
    return inet_pton(AF_INET, ep.address.c_str(), &sa.sin_addr) == 1;
}

std::string address_text(const in_addr &a)
{
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

} // namespace

udp_transport::udp_transport() : wake_fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

udp_transport::~udp_transport()
{
    stop();
    if (wake_fd_ >= 0)
        ::close(wake_fd_);
}

int udp_transport::open(const std::string &address, uint16_t port, bool polled, std::string *error)
{
    auto fail = [&](const char *what, int err, int fd) {
        if (error)
            *error = std::string(what) + " " + address + ":" + std::to_string(port) + ": " + std::strerror(err);
        if (fd >= 0)
            ::close(fd);
        return -err;
    };
    sockaddr_in sa;
    if (!to_sockaddr({address, port}, sa))
        return fail("bad address", EINVAL, -1);
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail("socket", errno, -1);
    int one = 1;
    if (::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one) != 0)
        return fail("IP_PKTINFO", errno, fd);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0)
        return fail("bind", errno, fd);
    socklen_t len = sizeof sa;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0)
        return fail("getsockname", errno, fd);

    int id;
    {
        std::lock_guard lock(sockets_mu_);
        sockets_.push_back({fd, {address, ntohs(sa.sin_port)}, polled});
        id = static_cast<int>(sockets_.size() - 1);
    }
    wake();
    return id;
}

int udp_transport::find(const std::string &address) const
{
    std::lock_guard lock(sockets_mu_);
    for (size_t i = 0; i < sockets_.size(); i++)
        if (sockets_[i].fd >= 0 && sockets_[i].local.address == address)
            return static_cast<int>(i);
    return -1;
}

endpoint udp_transport::local(int id) const
{
    std::lock_guard lock(sockets_mu_);
    if (id < 0 || static_cast<size_t>(id) >= sockets_.size())
        return {};
    return sockets_[id].local;
}

int udp_transport::send(int id, const endpoint &to, const uint8_t *data, size_t length)
{
    sockaddr_in sa;
    if (!to_sockaddr(to, sa))
        return -EINVAL;
    // Held across sendto so that stop cannot close the descriptor under us;
    // the socket is non-blocking, so this is short.
    std::lock_guard lock(sockets_mu_);
    if (id < 0 || static_cast<size_t>(id) >= sockets_.size() || sockets_[id].fd < 0)
        return -ENOTCONN;
    ssize_t n = ::sendto(sockets_[id].fd, data, length, 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    if (n < 0)
        return -errno;
    return static_cast<size_t>(n) == length ? 0 : -EMSGSIZE;
}

void udp_transport::schedule(std::chrono::milliseconds delay, std::function<void()> task)
{
    {
        std::lock_guard lock(tasks_mu_);
        tasks_.emplace(std::chrono::steady_clock::now() + delay, std::move(task));
    }
    wake();
}

int udp_transport::start(receive_fn on_receive)
{
    if (running_.load() || thread_.joinable())
        return -EALREADY;
    if (wake_fd_ < 0)
        return -EMFILE;
    on_receive_ = std::move(on_receive);
    rx_buffer_.resize(rx_buffer_size);
    stop_requested_.store(false);
    running_.store(true);
    thread_ = std::thread([this] { loop(); });
    return 0;
}

void udp_transport::stop()
{
    stop_requested_.store(true);
    wake();
    if (thread_.joinable())
        thread_.join();
    running_.store(false);
    {
        std::lock_guard lock(tasks_mu_);
        tasks_.clear();
    }
    {
        std::lock_guard lock(sockets_mu_);
        for (socket_rec &s : sockets_) {
            if (s.fd >= 0)
                ::close(s.fd);
            s.fd = -1;
        }
    }
}

void udp_transport::wake()
{
    if (wake_fd_ < 0)
        return;
    uint64_t one = 1;
    // A full counter still wakes the loop; nothing to do on failure.
    [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof one);
}

std::chrono::milliseconds udp_transport::time_to_next_task()
{
    using namespace std::chrono;
    constexpr milliseconds idle{500};
    std::lock_guard lock(tasks_mu_);
    if (tasks_.empty())
        return idle;
    auto left = duration_cast<milliseconds>(tasks_.begin()->first - steady_clock::now()) + milliseconds(1);
    if (left < milliseconds(0))
        return milliseconds(0);
    return left < idle ? left : idle;
}

void udp_transport::run_due_tasks()
{
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard lock(tasks_mu_);
            if (tasks_.empty() || tasks_.begin()->first > std::chrono::steady_clock::now())
                return;
            task = std::move(tasks_.begin()->second);
            tasks_.erase(tasks_.begin());
        }
        if (stop_requested_.load())
            return;
        task();
    }
}

void udp_transport::drain(int id)
{
    int fd;
    endpoint local;
    {
        std::lock_guard lock(sockets_mu_);
        fd = sockets_[id].fd;
        local = sockets_[id].local;
    }
    for (int i = 0; i < max_reads_per_round && !stop_requested_.load(); i++) {
        sockaddr_in from{};
        alignas(cmsghdr) char control[256];
        iovec iov{rx_buffer_.data(), rx_buffer_.size()};
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t n = ::recvmsg(fd, &msg, 0);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            continue; // a pending socket error is consumed by the read
        }
        std::string to = local.address;
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                to = address_text(info.ipi_addr);
            }
        }
        endpoint src{address_text(from.sin_addr), ntohs(from.sin_port)};
        if (on_receive_)
            on_receive_(id, rx_buffer_.data(), static_cast<size_t>(n), src, to);
    }
}

void udp_transport::loop()
{
    std::vector<pollfd> fds;
    std::vector<int> ids;
    while (!stop_requested_.load()) {
        fds.clear();
        ids.clear();
        fds.push_back({wake_fd_, POLLIN, 0});
        ids.push_back(-1);
        {
            std::lock_guard lock(sockets_mu_);
            for (size_t i = 0; i < sockets_.size(); i++) {
                if (sockets_[i].polled && sockets_[i].fd >= 0) {
                    fds.push_back({sockets_[i].fd, POLLIN, 0});
                    ids.push_back(static_cast<int>(i));
                }
            }
        }
        int rc = ::poll(fds.data(), fds.size(), static_cast<int>(time_to_next_task().count()));
        if (rc < 0 && errno != EINTR)
            break;
        if (rc > 0) {
            if (fds[0].revents & POLLIN) {
                uint64_t count;
                [[maybe_unused]] ssize_t n = ::read(wake_fd_, &count, sizeof count);
            }
            for (size_t i = 1; i < fds.size(); i++)
                if (fds[i].revents & (POLLIN | POLLERR))
                    drain(ids[i]);
        }
        run_due_tasks();
    }
    running_.store(false);
}

} // namespace sim
