#include "sim/sim_control.h"

#include "sim/sim_node.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <vector>

namespace sim {

namespace {

using bytes = std::vector<uint8_t>;

constexpr size_t max_line = 4096;
constexpr size_t max_clients = 16;

// A token echoed in an answer: one line of printable text, whatever came.
std::string printable(const std::string &t)
{
    std::string out = t.substr(0, 40);
    for (char &ch : out)
        if (static_cast<unsigned char>(ch) < 0x20 || static_cast<unsigned char>(ch) > 0x7E)
            ch = '?';
    return t.size() > out.size() ? out + "..." : out;
}

std::optional<uint8_t> parse_node_id(const std::string &t)
{
    if (t.empty() || t.size() > 3 || t.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const unsigned long n = std::strtoul(t.c_str(), nullptr, 10);
    if (n < 1 || n > 232)
        return std::nullopt;
    return static_cast<uint8_t>(n);
}

// One byte in hex: one or two digits, "0x" allowed.
std::optional<uint8_t> parse_byte(std::string t)
{
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'))
        t = t.substr(2);
    if (t.empty() || t.size() > 2 || t.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return std::nullopt;
    return static_cast<uint8_t>(std::strtoul(t.c_str(), nullptr, 16));
}

struct command_words {
    std::vector<std::string> w;
    std::string error;

    std::optional<uint8_t> node(size_t i)
    {
        auto n = i < w.size() ? parse_node_id(w[i]) : std::nullopt;
        if (!n && error.empty())
            error = i < w.size() ? "bad node id '" + printable(w[i]) + "' (1 to 232)" : "no node id";
        return n;
    }
    std::optional<uint8_t> byte(size_t i, const char *what)
    {
        auto b = i < w.size() ? parse_byte(w[i]) : std::nullopt;
        if (!b && error.empty())
            error = i < w.size() ? "bad hex " + std::string(what) + " '" + printable(w[i]) + "'"
                                 : std::string("no ") + what;
        return b;
    }
    std::optional<bytes> bytes_from(size_t i)
    {
        bytes out;
        for (; i < w.size(); i++) {
            auto b = byte(i, "byte");
            if (!b)
                return std::nullopt;
            out.push_back(*b);
        }
        return out;
    }
    bool count(size_t n)
    {
        if (w.size() != n && error.empty())
            error = "'" + w[0] + "' takes " + std::to_string(n - 1) + " argument" + (n == 2 ? "" : "s");
        return w.size() == n;
    }
};

std::string result(int rc, const std::string &what)
{
    if (rc >= 0)
        return "ok";
    switch (-rc) {
    case ENOENT: return "error: " + what;
    case ENOTCONN: return "error: nobody to send to: no client has spoken yet (see dest)";
    default: return std::string("error: ") + std::strerror(-rc);
    }
}

std::string cls_text(uint8_t cls)
{
    char b[8];
    std::snprintf(b, sizeof b, "%02X", cls);
    return b;
}

// "ADDR:PORT" of an IPv4 address.
std::optional<endpoint> parse_endpoint(const std::string &t)
{
    const auto colon = t.rfind(':');
    if (colon == std::string::npos)
        return std::nullopt;
    const std::string addr = t.substr(0, colon), port = t.substr(colon + 1);
    in_addr a{};
    if (inet_pton(AF_INET, addr.c_str(), &a) != 1 || port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const unsigned long p = std::strtoul(port.c_str(), nullptr, 10);
    if (p == 0 || p > 65535)
        return std::nullopt;
    return endpoint{addr, static_cast<uint16_t>(p)};
}

} // namespace

std::string control_command(node_model &model, const std::string &line)
{
    command_words c;
    std::istringstream in(line);
    for (std::string t; in >> t;)
        c.w.push_back(t);
    if (c.w.empty())
        return {};
    const std::string &verb = c.w[0];
    auto failed = [&] { return "error: " + c.error; };
    if (verb == "dest") {
        if (!c.count(2))
            return failed();
        if (c.w[1] == "none") {
            model.set_unsolicited_destination(std::nullopt);
            return "ok";
        }
        auto to = parse_endpoint(c.w[1]);
        if (!to)
            return "error: bad destination '" + printable(c.w[1]) + "' (ADDR:PORT or none)";
        model.set_unsolicited_destination(*to);
        return "ok";
    }
    auto node = c.node(1);
    auto no_node = [&] { return "no node " + std::to_string(*node); };
    if (verb == "wake" || verb == "sleep") {
        if (!c.count(2) || !node)
            return failed();
        const int rc = verb == "wake" ? model.wake_up(*node) : model.fall_asleep(*node);
        if (rc == -EINVAL)
            return "error: node " + std::to_string(*node) + " does not sleep";
        return result(rc, no_node());
    }
    if (verb == "report" || verb == "values") {
        auto cls = c.byte(2, "class");
        if (!c.count(3) || !node || !cls)
            return failed();
        if (!model.view(*node))
            return "error: " + no_node();
        const std::string lacks = "node " + std::to_string(*node) + " has no class " + cls_text(*cls);
        if (verb == "values") {
            auto v = model.values(*node, *cls);
            return v ? (v->empty() ? "ok" : "ok " + hex_text(*v)) : "error: " + lacks;
        }
        return result(model.send_report(*node, *cls), lacks + " with a report");
    }
    if (verb == "send") {
        auto cmd = c.bytes_from(2);
        if (!node || !cmd)
            return failed();
        if (cmd->empty())
            return "error: nothing to send";
        const int rc = model.send_command(*node, std::move(*cmd));
        if (rc == -EINVAL)
            return "error: too long for one packet";
        return result(rc, no_node());
    }
    if (verb == "set") {
        auto cls = c.byte(2, "class");
        auto v = c.bytes_from(3);
        if (!node || !cls || !v)
            return failed();
        const int rc = model.set_values(*node, *cls, std::move(*v));
        if (rc == -EINVAL)
            return "error: these values do not fit class " + cls_text(*cls);
        return result(rc, model.view(*node) ? "node " + std::to_string(*node) + " has no class " + cls_text(*cls)
                                            : no_node());
    }
    return "error: unknown command '" + printable(verb) + "' (report, send, set, values, wake, sleep, dest)";
}

// ---------------------------------------------------------------------------
// The socket
// ---------------------------------------------------------------------------

int control_channel::start(const std::string &path)
{
    if (listen_fd_ >= 0)
        return -EALREADY;
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof sa.sun_path)
        return -ENAMETOOLONG;
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            return -EEXIST;
        ::unlink(path.c_str());
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -errno;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 || ::listen(fd, 8) < 0) {
        const int rc = -errno;
        ::close(fd);
        return rc;
    }
    if (::pipe2(wake_fd_, O_CLOEXEC | O_NONBLOCK) < 0) {
        const int rc = -errno;
        ::close(fd);
        ::unlink(path.c_str());
        return rc;
    }
    listen_fd_ = fd;
    path_ = path;
    thread_ = std::thread([this] { loop(); });
    return 0;
}

void control_channel::stop()
{
    if (listen_fd_ < 0)
        return;
    const char b = 0;
    (void)!::write(wake_fd_[1], &b, 1);
    thread_.join();
    ::close(listen_fd_);
    ::close(wake_fd_[0]);
    ::close(wake_fd_[1]);
    listen_fd_ = wake_fd_[0] = wake_fd_[1] = -1;
    ::unlink(path_.c_str());
}

namespace {

struct control_client {
    int fd = -1;
    std::string buf;
    bool discarding = false; // within a line too long: dropped up to its end
};

// Answers go out without blocking: a client that does not read its answers
// is dropped rather than allowed to stall the channel.
bool answer(control_client &c, const std::string &line)
{
    const std::string out = line + "\n";
    return ::send(c.fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(out.size());
}

// The complete lines in the buffer; false when the client is to be dropped.
bool serve_lines(node_model &model, control_client &c)
{
    for (;;) {
        const auto nl = c.buf.find('\n');
        if (nl == std::string::npos) {
            if (c.buf.size() > max_line && !c.discarding) {
                c.discarding = true;
                if (!answer(c, "error: line too long"))
                    return false;
            }
            if (c.discarding)
                c.buf.clear();
            return true;
        }
        std::string line = c.buf.substr(0, nl);
        c.buf.erase(0, nl + 1);
        if (c.discarding) {
            c.discarding = false;
            continue;
        }
        if (line.size() > max_line) {
            if (!answer(c, "error: line too long"))
                return false;
            continue;
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::string a = control_command(model, line);
        if (!a.empty() && !answer(c, a))
            return false;
    }
}

} // namespace

void control_channel::loop()
{
    std::vector<control_client> clients;
    for (;;) {
        std::vector<pollfd> fds{{wake_fd_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
        for (const control_client &c : clients)
            fds.push_back({c.fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents)
            break;
        if (fds[1].revents & POLLIN) {
            const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0 && clients.size() >= max_clients) {
                control_client refused{fd, {}, false};
                answer(refused, "error: too many connections");
                ::close(fd);
            } else if (fd >= 0) {
                clients.push_back({fd, {}, false});
            }
        }
        // Clients in the order of fds[2...], which may grow above.
        std::vector<control_client> kept;
        for (size_t i = 0; i < clients.size(); i++) {
            control_client &c = clients[i];
            const short ev = i + 2 < fds.size() ? fds[i + 2].revents : 0;
            bool keep = true;
            if (ev & (POLLIN | POLLHUP | POLLERR)) {
                char chunk[1024];
                const ssize_t n = ::recv(c.fd, chunk, sizeof chunk, 0);
                if (n > 0) {
                    c.buf.append(chunk, static_cast<size_t>(n));
                    keep = serve_lines(model_, c);
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    keep = false;
                }
            }
            if (keep)
                kept.push_back(std::move(c));
            else
                ::close(c.fd);
        }
        clients.swap(kept);
    }
    for (const control_client &c : clients)
        ::close(c.fd);
}

} // namespace sim
