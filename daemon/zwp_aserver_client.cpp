#include "daemon/zwp_aserver_client.h"

#include "daemon/zwp_log.h"
#include "daemon/zwp_net_list.h"
#include "daemon/zwp_runtime.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

using steady = std::chrono::steady_clock;

namespace {

// Connections waiting for a thread, so that the ones never served are
// closed when the server stops.
struct client_ring {
    apr_pool_t *pool = nullptr;
    zwu_mutex_t *lock = nullptr;
    zwp_aserver_client_t sentinel;
};
client_ring *g_ring = nullptr;

uint32_t read_be32(const uint8_t *bytes)
{
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
}

} // namespace

int zwp_aserver_ms_left(steady::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - steady::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

void zwp_aserver_client_ring_add(zwp_aserver_client_t *client)
{
    if (!g_ring || client->next)
        return;
    zwu_mutex_guard guard(g_ring->lock);
    if (!guard.held())
        return;
    zwp_aserver_client_t *head = &g_ring->sentinel;
    client->next = head->next;
    client->prev = head;
    head->next->prev = client;
    head->next = client;
}

void zwp_aserver_client_ring_remove(zwp_aserver_client_t *client)
{
    // The links change whenever a neighbour leaves: read them under the lock.
    if (!g_ring || !client->next)
        return;
    zwu_mutex_guard guard(g_ring->lock);
    if (guard.held() && client->next) {
        client->next->prev = client->prev;
        client->prev->next = client->next;
        client->next = client->prev = nullptr;
    }
}

int zwp_aserver_wait_ready(int sock, int stop_fd, short events, steady::time_point deadline)
{
    for (;;) {
        pollfd entries[2] = {{sock, events, 0}, {stop_fd, POLLIN, 0}};
        const int rc = poll(entries, stop_fd >= 0 ? 2 : 1, zwp_aserver_ms_left(deadline));
        if (rc > 0)
            return entries[0].revents ? 1 : -2;
        if (rc == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

zwp_aserver_client_t *zwp_aserver_client_new(int sock, zwp_net_list_t *net_list)
{
    auto *client = new (std::nothrow) zwp_aserver_client_t;
    if (!client) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return nullptr;
    }
    client->sock = sock;
    client->net_list = net_list;
    return client;
}

zwp_aserver_frame_state zwp_aserver_frame_read(zwp_aserver_client_t *client)
{
    for (;;) {
        if (client->held == client->size) {
            // Grows with what really arrives, never past the announced frame.
            size_t grown = client->size ? client->size * 2 : 1024;
            if (client->expected && grown > client->expected)
                grown = client->expected;
            auto *more = static_cast<uint8_t *>(std::realloc(client->bytes, grown));
            if (!more) {
                ZWS_LOG_ERROR("Failed to allocate memory");
                return zwp_aserver_frame_state::failed;
            }
            client->bytes = more;
            client->size = grown;
        }
        // Once the length is known, read no further than the frame.
        const size_t limit = client->expected ? client->expected : client->size;
        const size_t room = std::min(limit, client->size) - client->held;
        const ssize_t got = recv(client->sock, client->bytes + client->held, room, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return zwp_aserver_frame_state::more;
            ZWS_LOG_ERROR("Failed to receive response: %s", std::strerror(errno));
            return zwp_aserver_frame_state::failed;
        }
        if (got == 0) {
            // The peer closed. Nothing at all is a plain hang-up; a partial
            // frame is refused rather than decoded.
            if (client->held == 0)
                return zwp_aserver_frame_state::hung_up;
            if (client->held < 4)
                ZWS_LOG_ERROR("Invalid Avro message. Message length is tool short: %d", static_cast<int>(client->held));
            else
                ZWS_LOG_ERROR("Invalid Avro message. Connection closed after %zu of %zu bytes", client->held,
                              client->expected);
            return zwp_aserver_frame_state::failed;
        }
        client->held += static_cast<size_t>(got);
        if (!client->expected && client->held >= 4) {
            const uint32_t announced = read_be32(client->bytes);
            if (announced > ZWP_ASERVER_FRAME_MAX) {
                ZWS_LOG_ERROR("Invalid Avro message. Message length is too long: %u", announced);
                return zwp_aserver_frame_state::failed;
            }
            client->expected = size_t{announced} + 4;
        }
        // Bytes after the frame, read with its first segment, are not part of it.
        if (client->expected && client->held >= client->expected)
            return zwp_aserver_frame_state::done;
        // A short read took everything there was: the next one would only
        // say so.
        if (static_cast<size_t>(got) < room)
            return zwp_aserver_frame_state::more;
    }
}

int zwp_aserver_recv(zwp_aserver_client_t *client, uint8_t **buffer, size_t *length)
{
    if (!client || !buffer || !length)
        return 22;
    *buffer = nullptr;
    *length = 0;
    if (client->deadline == steady::time_point{})
        client->deadline = steady::now() + std::chrono::milliseconds(ZWP_ASERVER_RECV_WAIT_MS);
    for (;;) {
        const zwp_aserver_frame_state state = zwp_aserver_frame_read(client);
        if (state == zwp_aserver_frame_state::failed)
            return 22;
        if (state == zwp_aserver_frame_state::done || state == zwp_aserver_frame_state::hung_up) {
            *buffer = client->bytes;
            *length = state == zwp_aserver_frame_state::done ? client->expected : 0;
            client->bytes = nullptr;
            client->size = client->held = client->expected = 0;
            return 0;
        }
        const int ready = zwp_aserver_wait_ready(client->sock, client->stop_fd, POLLIN, client->deadline);
        if (ready == -1) {
            ZWS_LOG_ERROR("Failed to select connection: %s", std::strerror(errno));
            return 22;
        }
        if (ready == 0) {
            ZWS_LOG_ERROR("Receive  timeout");
            return 22;
        }
        if (ready == -2)
            return 22;
    }
}

int zwp_aserver_send(zwp_aserver_client_t *client, const uint8_t *buffer, size_t length)
{
    if (!client)
        return 22;
    if (!buffer || length == 0)
        return 0;
    const steady::time_point deadline = steady::now() + std::chrono::milliseconds(ZWP_ASERVER_SEND_WAIT_MS);
    size_t sent = 0;
    while (sent < length) {
        // Tried first: a reply usually fits the socket at once. Never blocks,
        // and a closed peer is an error result, not a signal.
        const ssize_t put = send(client->sock, buffer + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (put >= 0) {
            sent += static_cast<size_t>(put);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            ZWS_LOG_ERROR("Failed to send request: %s", std::strerror(errno));
            return 22;
        }
        const int ready = zwp_aserver_wait_ready(client->sock, client->stop_fd, POLLOUT, deadline);
        if (ready == -1) {
            ZWS_LOG_ERROR("Failed to select connection for write: %s", std::strerror(errno));
            return 22;
        }
        if (ready == 0) {
            ZWS_LOG_ERROR("Send timeout: %zu of %zu bytes sent", sent, length);
            return 22;
        }
        if (ready == -2) {
            ZWS_LOG_ERROR("Send stopped: %zu of %zu bytes sent", sent, length);
            return 22;
        }
    }
    return 0;
}

int zwp_aserver_clients_init()
{
    if (g_ring)
        return 0;
    auto *ring = new (std::nothrow) client_ring;
    if (!ring) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    ring->sentinel.next = ring->sentinel.prev = &ring->sentinel;
    if (zwu_pool_create(&ring->pool, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to create pool for clients");
        delete ring;
        return 22;
    }
    if (zwu_mutex_create(&ring->lock, ZWU_MUTEX_DEFAULT, ring->pool) != 0) {
        ZWS_LOG_ERROR("Failed to create lock for client ring");
        zwu_pool_destroy(ring->pool);
        delete ring;
        return 22;
    }
    g_ring = ring;
    return 0;
}

void zwp_aserver_clients_exit()
{
    client_ring *ring = g_ring;
    if (!ring)
        return;
    {
        zwu_mutex_guard guard(ring->lock);
        while (ring->sentinel.next != &ring->sentinel) {
            zwp_aserver_client_t *client = ring->sentinel.next;
            client->next->prev = client->prev;
            client->prev->next = client->next;
            if (client->sock >= 0)
                close(client->sock);
            std::free(client->bytes);
            delete client;
        }
    }
    g_ring = nullptr;
    zwu_pool_destroy(ring->pool);
    delete ring;
}

int zwp_aserver_client_create(int sock, zwp_net_list_t *net_list, zwp_aserver_client_t **out)
{
    if (!out || sock < 0 || !g_ring)
        return 22;
    zwp_aserver_client_t *client = zwp_aserver_client_new(sock, net_list);
    if (!client)
        return 22;
    zwp_aserver_client_ring_add(client);
    *out = client;
    return 0;
}

void zwp_aserver_client_free(zwp_aserver_client_t *client)
{
    if (!client)
        return;
    if (client->sock >= 0) {
        close(client->sock);
        client->sock = -1;
    }
    zwp_aserver_client_ring_remove(client);
    std::free(client->bytes);
    delete client;
}

int zwp_aserver_client_sock_get(const zwp_aserver_client_t *client) { return client ? client->sock : -1; }

zwp_net_list_t *zwp_aserver_client_net_list_get(const zwp_aserver_client_t *client)
{
    return client ? client->net_list : nullptr;
}

zwp_avi_registry_t *zwp_aserver_client_registry_get(const zwp_aserver_client_t *client)
{
    return client && client->net_list ? zwp_net_list_registry_get(client->net_list) : nullptr;
}
