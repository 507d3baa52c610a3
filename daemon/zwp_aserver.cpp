#include "daemon/zwp_aserver.h"

#include "daemon/zwp_avi_request.h"
#include "daemon/zwp_log.h"
#include "daemon/zwp_net_list.h"
#include "daemon/zwp_runtime.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

struct zwp_aserver_t {
    apr_pool_t *pool = nullptr;
    // Written by the accept thread and by zwp_aserver_exit, read by main.
    std::atomic<uint32_t> state{ZWP_ASERVER_CLOSED};
    int sock = -1;
    apr_thread_t *thread = nullptr;
    int exit_status = 0; // the accept thread's: 0, or 22 when it failed
    apr_thread_pool_t *workers = nullptr;
    zwp_net_list_t *net_list = nullptr;
    const zwp_server_config_t *config = nullptr;
};

struct zwp_aserver_client_t {
    zwp_aserver_client_t *next = nullptr;
    zwp_aserver_client_t *prev = nullptr;
    int sock = -1;
    zwp_net_list_t *net_list = nullptr;
};

namespace {

using steady = std::chrono::steady_clock;

zwp_aserver_t *g_server = nullptr;

constexpr zwp_aserver_handler_t default_handler{zwp_avi_request_read, zwp_net_list_request_execute,
                                                zwp_avi_response_write, zwp_avi_request_free};
std::atomic<const zwp_aserver_handler_t *> g_handler{&default_handler};

// Accepted connections, so that the ones whose task never ran are closed
// when the server stops.
struct client_ring {
    apr_pool_t *pool = nullptr;
    zwu_mutex_t *lock = nullptr;
    zwp_aserver_client_t sentinel;
};
client_ring *g_ring = nullptr;

sockaddr_un server_address()
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, ZWP_ASERVER_SOCKET_NAME, sizeof ZWP_ASERVER_SOCKET_NAME - 1);
    address.sun_path[0] = '\0';
    return address;
}
static_assert(sizeof(sockaddr_un) == 110, "peers connect with the whole 110-byte address");

int remaining_ms(steady::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// 1 ready, 0 timed out, -1 failed (errno set); EINTR waits on with the
// time that is left.
int wait_ready(int sock, short events, int timeout_ms)
{
    const steady::time_point deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        pollfd entry{sock, events, 0};
        const int rc = poll(&entry, 1, remaining_ms(deadline));
        if (rc >= 0)
            return rc > 0 ? 1 : 0;
        if (errno != EINTR)
            return -1;
    }
}

uint32_t read_be32(const uint8_t *bytes)
{
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
}

void *APR_THREAD_FUNC zwp_aserver_worker(apr_thread_t *, void *data)
{
    auto *client = static_cast<zwp_aserver_client_t *>(data);
    const zwp_aserver_handler_t *handler = g_handler.load();
    uint8_t *frame = nullptr;
    size_t length = 0;
    if (zwp_aserver_recv(client, &frame, &length) == 0 && length > 0) {
        zwp_avi_request_t *request = nullptr;
        if (handler->request_read(zwp_aserver_client_registry_get(client), frame, length, &request) == 0 &&
            handler->request_execute(client->net_list, request) == 0) {
            uint8_t *reply = nullptr;
            size_t reply_length = 0;
            if (handler->response_write(request, &reply, &reply_length) == 0)
                zwp_aserver_send(client, reply, reply_length);
            std::free(reply);
        }
        if (request)
            handler->request_free(request);
    }
    std::free(frame);
    zwp_aserver_client_free(client);
    return nullptr;
}

// Takes over sock in every case.
void hand_over(zwp_aserver_t *server, int sock)
{
    zwp_aserver_client_t *client = nullptr;
    if (zwp_aserver_client_create(sock, server->net_list, &client) != 0) {
        close(sock);
        return;
    }
    // Workers the pool starts for this task take the pushing thread's name.
    zwu_thread_name_set("AServerWorker", nullptr);
    const int rc = zwu_thread_pool_push(server->workers, zwp_aserver_worker, client, ZWP_ASERVER_TASK_PRIORITY, server);
    zwu_thread_name_set("AServer", nullptr);
    if (rc != 0)
        zwp_aserver_client_free(client);
}

void *APR_THREAD_FUNC zwp_aserver_thread(apr_thread_t *, void *data)
{
    auto *server = static_cast<zwp_aserver_t *>(data);
    zwu_thread_name_set("AServer", nullptr);
    // A stop requested before this thread ran must stand.
    uint32_t expected = ZWP_ASERVER_SETUP;
    server->state.compare_exchange_strong(expected, ZWP_ASERVER_RUNNING);

    if (zwp_aserver_clients_init() != 0) {
        zwp_aserver_clients_exit();
        server->state.store(ZWP_ASERVER_ENDED);
        ZWP_LOG_EMERGENCY("Avro server: Failed abruptly");
        server->exit_status = 22;
        return nullptr;
    }

    int status = 0;
    while (server->state.load() == ZWP_ASERVER_RUNNING) {
        const int ready = wait_ready(server->sock, POLLIN, ZWP_ASERVER_ACCEPT_WAIT_MS);
        if (ready < 0) {
            ZWS_LOG_ERROR("Failed to select connections: %s", std::strerror(errno));
            status = 22;
            break;
        }
        if (ready == 0)
            continue;
        sockaddr_un peer{};
        socklen_t peer_length = sizeof peer;
        int sock;
        do {
            sock = accept4(server->sock, reinterpret_cast<sockaddr *>(&peer), &peer_length, SOCK_CLOEXEC);
        } while (sock < 0 && errno == EINTR);
        if (sock < 0) {
            ZWS_LOG_ERROR("Failed to accept connections: %s", std::strerror(errno));
            // Out of descriptors stays "readable": do not spin on it.
            poll(nullptr, 0, 100);
            continue;
        }
        hand_over(server, sock);
    }

    // Drops the tasks not started and waits for the running ones.
    const int cancelled = zwu_thread_pool_cancel(server->workers, server);
    zwp_aserver_clients_exit();
    server->state.store(ZWP_ASERVER_ENDED);
    if (cancelled != 0) {
        ZWP_LOG_EMERGENCY("Avro server: Failed abruptly");
        status = 22;
    }
    // Returns rather than ends itself: unwinding the thread from inside
    // (pthread_exit) buys nothing here and trips stack checkers.
    server->exit_status = status;
    return nullptr;
}

void server_free(zwp_aserver_t *server)
{
    if (server->workers)
        zwu_thread_pool_destroy(server->workers);
    if (server->sock >= 0)
        close(server->sock);
    server->state.store(ZWP_ASERVER_CLOSED);
    zwu_pool_destroy(server->pool);
    delete server;
}

} // namespace

void zwp_aserver_handler_set(const zwp_aserver_handler_t *handler)
{
    g_handler.store(handler ? handler : &default_handler);
}

int zwp_aserver_init(zwp_aserver_t **out, const zwp_server_config_t *config, zwp_net_list_t *net_list)
{
    if (!out || !config)
        return 22;
    if (g_server) {
        ZWS_LOG_WARN("Multiple calls to singleton object");
        *out = g_server;
        return 0;
    }
    auto *server = new (std::nothrow) zwp_aserver_t;
    if (!server) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    server->net_list = net_list;
    server->config = config;
    if (zwu_pool_create(&server->pool, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to create pool for Avro server");
        delete server;
        return 22;
    }
    server->state.store(ZWP_ASERVER_SETUP);

    server->sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server->sock < 0) {
        ZWS_LOG_ERROR("Failed to create server socket: %s", std::strerror(errno));
        server_free(server);
        return 22;
    }
    const sockaddr_un address = server_address();
    if (bind(server->sock, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ZWS_LOG_ERROR("Failed to bind server socket: %s", std::strerror(errno));
        server_free(server);
        return 22;
    }
    if (listen(server->sock, ZWP_ASERVER_BACKLOG) != 0) {
        ZWS_LOG_ERROR("Failed to listen on server socket: %s", std::strerror(errno));
        server_free(server);
        return 22;
    }

    // The pool's first workers take this thread's name.
    char saved[ZWU_THREAD_NAME_SIZE] = {};
    int rc = zwu_thread_name_set("AServerWorker", saved);
    if (rc == 0) {
        rc = zwu_thread_pool_create(&server->workers, config->thread_init_count, config->thread_max_count,
                                    server->pool);
        zwu_thread_name_set(saved, nullptr);
    }
    if (rc == 0)
        rc = zwu_thread_create(&server->thread, server->pool, false, zwp_aserver_thread, server);
    if (rc != 0) {
        server_free(server);
        return 22;
    }
    g_server = server;
    *out = server;
    return 0;
}

void zwp_aserver_exit(zwp_aserver_t *server)
{
    if (!server)
        return;
    server->state.store(ZWP_ASERVER_STOPPING);
    if (zwu_thread_join(nullptr, server->thread) != 0) {
        ZWS_LOG_ERROR("Failed to stop Avro server thread");
        return;
    }
    if (server == g_server)
        g_server = nullptr;
    server_free(server);
}

uint32_t zwp_aserver_state_get(const zwp_aserver_t *server)
{
    return server ? server->state.load() : ZWP_ASERVER_CLOSED;
}

int zwp_aserver_recv(zwp_aserver_client_t *client, uint8_t **buffer, size_t *length)
{
    if (!client || !buffer || !length)
        return 22;
    *buffer = nullptr;
    *length = 0;
    size_t size = 1024;
    auto *bytes = static_cast<uint8_t *>(std::malloc(size));
    if (!bytes) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    size_t held = 0;
    size_t expected = 0; // N + 4 once the prefix is in
    auto fail = [&] {
        std::free(bytes);
        return 22;
    };
    for (;;) {
        if (held == size) {
            // Grows with what really arrives, never past the announced frame.
            size_t grown = size * 2;
            if (expected && grown > expected)
                grown = expected;
            auto *more = static_cast<uint8_t *>(std::realloc(bytes, grown));
            if (!more) {
                ZWS_LOG_ERROR("Failed to allocate memory");
                return fail();
            }
            bytes = more;
            size = grown;
        }
        const int ready = wait_ready(client->sock, POLLIN, ZWP_ASERVER_RECV_WAIT_MS);
        if (ready < 0) {
            ZWS_LOG_ERROR("Failed to select connection: %s", std::strerror(errno));
            return fail();
        }
        if (ready == 0) {
            ZWS_LOG_ERROR("Receive  timeout");
            return fail();
        }
        // Once the length is known, read no further than the frame.
        const size_t room = (expected ? expected : size) - held;
        ssize_t got;
        do {
            got = recv(client->sock, bytes + held, room < size - held ? room : size - held, 0);
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            ZWS_LOG_ERROR("Failed to receive response: %s", std::strerror(errno));
            return fail();
        }
        if (got == 0) {
            // The peer closed. Nothing at all is a plain hang-up; a partial
            // frame is refused rather than decoded.
            if (held == 0) {
                *buffer = bytes;
                return 0;
            }
            if (held < 4)
                ZWS_LOG_ERROR("Invalid Avro message. Message length is tool short: %d", static_cast<int>(held));
            else
                ZWS_LOG_ERROR("Invalid Avro message. Connection closed after %zu of %zu bytes", held, expected);
            return fail();
        }
        held += static_cast<size_t>(got);
        if (!expected && held >= 4) {
            const uint32_t announced = read_be32(bytes);
            if (announced > ZWP_ASERVER_FRAME_MAX) {
                ZWS_LOG_ERROR("Invalid Avro message. Message length is too long: %u", announced);
                return fail();
            }
            expected = size_t{announced} + 4;
        }
        if (expected && held >= expected) {
            // Bytes after the frame, read with its first segment, are not part of it.
            *buffer = bytes;
            *length = expected;
            return 0;
        }
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
        const int left = remaining_ms(deadline);
        if (left == 0) {
            ZWS_LOG_ERROR("Send timeout: %zu of %zu bytes sent", sent, length);
            return 22;
        }
        const int ready = wait_ready(client->sock, POLLOUT, left < 1000 ? left : 1000);
        if (ready < 0) {
            ZWS_LOG_ERROR("Failed to select connection for write: %s", std::strerror(errno));
            return 22;
        }
        if (ready == 0)
            continue;
        // Never blocks past the deadline, and a closed peer is an error
        // result, not a signal.
        const ssize_t put = send(client->sock, buffer + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (put < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            ZWS_LOG_ERROR("Failed to send request: %s", std::strerror(errno));
            return 22;
        }
        sent += static_cast<size_t>(put);
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
    zwu_mutex_lock(ring->lock);
    while (ring->sentinel.next != &ring->sentinel) {
        zwp_aserver_client_t *client = ring->sentinel.next;
        client->next->prev = client->prev;
        client->prev->next = client->next;
        if (client->sock >= 0)
            close(client->sock);
        delete client;
    }
    zwu_mutex_unlock(ring->lock);
    g_ring = nullptr;
    zwu_pool_destroy(ring->pool);
    delete ring;
}

int zwp_aserver_client_create(int sock, zwp_net_list_t *net_list, zwp_aserver_client_t **out)
{
    if (!out || sock < 0 || !g_ring)
        return 22;
    auto *client = new (std::nothrow) zwp_aserver_client_t;
    if (!client) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    client->sock = sock;
    client->net_list = net_list;
    if (zwu_mutex_lock(g_ring->lock) != 0) {
        client->sock = -1;
        delete client;
        return 22;
    }
    zwp_aserver_client_t *head = &g_ring->sentinel;
    client->next = head->next;
    client->prev = head;
    head->next->prev = client;
    head->next = client;
    zwu_mutex_unlock(g_ring->lock);
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
    // The links change whenever a neighbour leaves: read them under the lock.
    if (g_ring && zwu_mutex_lock(g_ring->lock) == 0) {
        if (client->next) {
            client->next->prev = client->prev;
            client->prev->next = client->next;
        }
        zwu_mutex_unlock(g_ring->lock);
    }
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
