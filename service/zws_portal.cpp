#include "service/zws_portal.h"

#include "util/zws_log.h"
#include "util/zwu_number.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

zws_portal_t *g_portal = nullptr;

constexpr int k_default_timeout = 15;

// A length-prefixed frame (4 bytes, big-endian, then that many) is complete.
bool frame_whole(const char *buffer, int count)
{
    if (count < 4)
        return false;
    const auto *bytes = reinterpret_cast<const unsigned char *>(buffer);
    const uint64_t announced = (uint64_t{bytes[0]} << 24) | (uint64_t{bytes[1]} << 16) |
                               (uint64_t{bytes[2]} << 8) | bytes[3];
    return static_cast<uint64_t>(count) >= announced + 4;
}

} // namespace

void zws_portal_get_receive_timeout(int *receive_timeout_p)
{
    const char *text = getenv("VANTOR_PORTAL_RECEIVE_TIMEOUT");
    int32_t value = 0;
    if (!text || zwu_parse_int32_non_negative(text, &value) != 0) {
        *receive_timeout_p = k_default_timeout;
        ZWS_LOG_WARN("Failed to get portal receive timeout. Using default: %d seconds", k_default_timeout);
        return;
    }
    *receive_timeout_p = value;
    ZWS_LOG_DEBUGGING("Portal receive timeout: %d seconds", value);
}

int zws_portal_init(zws_portal_t **portal_p, int receive_timeout)
{
    if (g_portal) {
        ZWS_LOG_WARN("Multiple calls to singleton object");
        *portal_p = g_portal;
        return 0;
    }
    auto *portal = new (std::nothrow) zws_portal_t{};
    if (!portal) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    portal->socket_fd = -1;
    portal->receive_timeout = receive_timeout < 0 ? 0 : receive_timeout;
    if (zws_portal_connect(portal) != 0) {
        delete portal;
        return 22;
    }
    g_portal = portal;
    *portal_p = portal;
    return 0;
}

int zws_portal_connect(zws_portal_t *portal)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ZWS_LOG_ERROR("Failed to create socket: %s", strerror(errno));
        return 22;
    }
    // select() cannot watch descriptors beyond its set.
    if (fd >= FD_SETSIZE) {
        ZWS_LOG_ERROR("Failed to create socket: %s", "descriptor out of range for select");
        close(fd);
        return 22;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    static_assert(sizeof ZWS_PORTAL_SOCKET_NAME <= sizeof address.sun_path);
    std::memcpy(address.sun_path, ZWS_PORTAL_SOCKET_NAME, sizeof ZWS_PORTAL_SOCKET_NAME - 1);
    address.sun_path[0] = '\0';
    while (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        if (errno == EINTR) {
            ZWS_LOG_DEBUGGING("connect(): %s. Retrying...", strerror(errno));
            continue;
        }
        ZWS_LOG_ERROR("Failed to connect to portal: %s", strerror(errno));
        close(fd);
        return 22;
    }
    portal->socket_fd = fd;
    portal->max_fd = 0;
    FD_ZERO(&portal->read_fds);
    FD_ZERO(&portal->write_fds);
    FD_SET(fd, &portal->read_fds);
    FD_SET(fd, &portal->write_fds);
    portal->max_fd = fd;
    return 0;
}

int zws_portal_send(zws_portal_t *portal, const char *buffer, int length)
{
    int sent_total = 0;
    // A fresh connection takes a request frame at once; the wait for
    // writability is only needed when the socket is full.
    bool wait_first = false;
    while (sent_total < length) {
        if (wait_first) {
            fd_set write_fds = portal->write_fds;
            timeval timeout{1, 0};
            const int ready = select(portal->max_fd + 1, nullptr, &write_fds, nullptr, &timeout);
            if (ready < 0) {
                if (errno == EINTR) {
                    ZWS_LOG_DEBUGGING("select(): %s. Retrying...", strerror(errno));
                    continue;
                }
                ZWS_LOG_ERROR("Failed to select connection for write: %s", strerror(errno));
                return 22;
            }
            if (ready == 0 || !FD_ISSET(portal->socket_fd, &write_fds))
                continue;
        }
        // MSG_NOSIGNAL: a daemon that closed early must fail this request,
        // not end the process with SIGPIPE.
        const ssize_t sent = send(portal->socket_fd, buffer + sent_total, static_cast<size_t>(length - sent_total),
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) {
                ZWS_LOG_DEBUGGING("send(): %s. Retrying...", strerror(errno));
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                wait_first = true;
                continue;
            }
            ZWS_LOG_ERROR("Failed to send request: %s", strerror(errno));
            return 22;
        }
        ZWS_LOG_DEBUGGING("Sent bytes: %d", static_cast<int>(sent));
        sent_total += static_cast<int>(sent);
        wait_first = sent_total < length;
    }
    return 0;
}

int zws_portal_recv(zws_portal_t *portal, char **buffer_p, int *length_p)
{
    char *buffer = nullptr;
    int size = 0;
    int count = 0;
    auto fail = [&]() {
        std::free(buffer);
        return 22;
    };
    // Each wait for bytes is bounded by the receive time-out: the socket's
    // own receive time-out does that in the read itself (one system call
    // per pass instead of a select and a read); 0 means only what is
    // already there.
    const int flags = portal->receive_timeout == 0 ? MSG_DONTWAIT : 0;
    if (portal->receive_timeout > 0) {
        const timeval limit{portal->receive_timeout, 0};
        if (setsockopt(portal->socket_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
            ZWS_LOG_ERROR("Failed to select connection: %s", strerror(errno));
            return fail();
        }
    }
    for (;;) {
        if (size - count < 1024) {
            if (size >= ZWS_PORTAL_MAX_REPLY) {
                ZWS_LOG_ERROR("Failed to receive response: %s", "reply larger than the limit");
                return fail();
            }
            // Doubling: a long reply costs a few copies, not one per block.
            const int grown = size == 0 ? 4096 : (size > ZWS_PORTAL_MAX_REPLY / 2 ? ZWS_PORTAL_MAX_REPLY : size * 2);
            char *bigger = static_cast<char *>(std::realloc(buffer, static_cast<size_t>(grown)));
            if (!bigger) {
                ZWS_LOG_ERROR("Failed to allocate memory");
                return fail();
            }
            buffer = bigger;
            size = grown;
        }
        const ssize_t got = recv(portal->socket_fd, buffer + count, static_cast<size_t>(size - count), flags);
        if (got < 0) {
            if (errno == EINTR) {
                ZWS_LOG_DEBUGGING("recv(): %s. Retrying...", strerror(errno));
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                ZWS_LOG_ERROR("Receive  timeout after %d seconds", portal->receive_timeout);
                return fail();
            }
            ZWS_LOG_ERROR("Failed to receive response: %s", strerror(errno));
            return fail();
        }
        if (got > 0) {
            count += static_cast<int>(got);
            // The daemon closes after its one reply frame: once the whole
            // frame is here, waiting for the close would only cost a wake-up.
            if (!frame_whole(buffer, count))
                continue;
        }
        // The peer closed, or the whole frame is here.
        ZWS_LOG_DEBUGGING("Received bytes: %d", count);
        ZWS_LOG_DUMP_FUNC(ZWS_LOG_DEBUG, reinterpret_cast<const uint8_t *>(buffer), count);
        *buffer_p = buffer;
        *length_p = count;
        return 0;
    }
}

void zws_portal_recv_free(char *buffer) { std::free(buffer); }

void zws_portal_close(zws_portal_t *portal)
{
    FD_ZERO(&portal->read_fds);
    FD_ZERO(&portal->write_fds);
    portal->max_fd = 0;
    if (portal->socket_fd >= 0)
        close(portal->socket_fd);
    portal->socket_fd = -1;
}

void zws_portal_exit(zws_portal_t *portal)
{
    if (!portal)
        return;
    zws_portal_close(portal);
    if (g_portal == portal)
        g_portal = nullptr;
    delete portal;
}
