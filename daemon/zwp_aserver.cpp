#include "daemon/zwp_aserver.h"

#include "daemon/zwp_avi_execute.h"
#include "daemon/zwp_avi_request.h"
#include "daemon/zwp_avi_response.h"
#include "daemon/zwp_log.h"
#include "daemon/zwp_net_list.h"
#include "daemon/zwp_runtime.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

// How connections travel. A worker ("AServerWorker") that is idle waits for
// the listening socket and takes the next connection itself: a request
// whose frame is there at once (nearly all of them: a client writes it as
// soon as it is connected) is read, executed and answered on that worker,
// with no hand-over between threads. A connection whose frame is not
// whole yet goes to the "AServer" thread, which reads all such frames as
// they trickle in, without waiting on any one of them, and closes those
// whose whole frame has not come within ZWP_ASERVER_RECV_WAIT_MS of the
// accept. A frame completed there waits in a bounded queue for the next
// idle worker. So clients that send slowly or not at all hold no worker,
// and a stop never waits for them.

using steady = std::chrono::steady_clock;

struct zwp_aserver_client_t {
    // Linked into the ring only while the connection waits for a thread:
    // a connection a worker holds is closed by that worker.
    zwp_aserver_client_t *next = nullptr;
    zwp_aserver_client_t *prev = nullptr;
    int sock = -1;
    // Readable once the server stops: waits on the socket end with it.
    int stop_fd = -1;
    zwp_net_list_t *net_list = nullptr;
    // The whole request frame must be in by then, however it trickles in.
    steady::time_point deadline{};
    // The frame as it arrives: `expected` is N + 4 once the prefix is in.
    uint8_t *bytes = nullptr;
    size_t size = 0;
    size_t held = 0;
    size_t expected = 0;
    // Where the AServer thread keeps it while the frame comes in.
    std::list<zwp_aserver_client_t *>::iterator place{};
    bool receiving = false;
    bool watched = false; // registered with the AServer thread's epoll set
};

struct zwp_aserver_t {
    apr_pool_t *pool = nullptr;
    // Written by the AServer thread and by zwp_aserver_exit, read by main
    // and the workers.
    std::atomic<uint32_t> state{ZWP_ASERVER_CLOSED};
    int sock = -1;     // listening, non-blocking
    int stop_fd = -1;  // eventfd, readable from zwp_aserver_exit on
    int epoll = -1;    // the AServer thread's: stop, inbox, frames coming in
    int inbox_fd = -1; // eventfd: connections handed to the AServer thread
    int ready_fd = -1; // eventfd (semaphore): whole frames waiting for a worker
    apr_thread_t *thread = nullptr;
    int exit_status = 0; // the AServer thread's: 0, or 22 when it failed
    zwp_net_list_t *net_list = nullptr;
    const zwp_server_config_t *config = nullptr;

    // Workers hand connections whose frame is not whole to the AServer thread.
    std::mutex inbox_lock;
    std::vector<zwp_aserver_client_t *> inbox;
    // The AServer thread hands whole frames back to the workers.
    std::mutex ready_lock;
    std::deque<zwp_aserver_client_t *> ready;
    std::atomic<size_t> ready_count{0};
    size_t ready_max = ZWP_ASERVER_QUEUE_MIN;
    // Connections whose frame is still coming in, oldest (first deadline)
    // first; the AServer thread's alone.
    std::list<zwp_aserver_client_t *> receiving;
    size_t receiving_max = ZWP_ASERVER_RECEIVING_MAX;

    // The workers: made on demand up to the maximum, so that one is always
    // waiting for the next connection while others serve; an idle one
    // beyond the initial count ends after the linger time. Threads made and
    // ended many times a second would cost far more than the requests.
    std::mutex workers_lock;
    std::condition_variable workers_ended;
    std::vector<std::thread> handles;
    std::vector<std::thread::id> retired;
    size_t threads = 0;
    std::atomic<size_t> idle{0};
    size_t init_count = 0;
    size_t max_count = 1;
    int linger_ms = ZWP_ASERVER_WORKER_LINGER_MS;
};

namespace {

zwp_aserver_t *g_server = nullptr;

constexpr zwp_aserver_handler_t default_handler{zwp_avi_request_read, zwp_net_list_request_execute,
                                                zwp_avi_response_write, zwp_avi_request_free};
std::atomic<const zwp_aserver_handler_t *> g_handler{&default_handler};
std::atomic<int64_t> g_worker_linger_ms{ZWP_ASERVER_WORKER_LINGER_MS};

// Connections waiting for a thread, so that the ones never served are
// closed when the server stops.
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
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - steady::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// 1 the socket is ready, 0 timed out, -1 failed (errno set), -2 the server
// is stopping. EINTR waits on with the time that is left.
int wait_ready(int sock, int stop_fd, short events, steady::time_point deadline)
{
    for (;;) {
        pollfd entries[2] = {{sock, events, 0}, {stop_fd, POLLIN, 0}};
        const int rc = poll(entries, stop_fd >= 0 ? 2 : 1, remaining_ms(deadline));
        if (rc > 0)
            return entries[0].revents ? 1 : -2;
        if (rc == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

uint32_t read_be32(const uint8_t *bytes)
{
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
}

void ring_link(zwp_aserver_client_t *client)
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

void ring_unlink(zwp_aserver_client_t *client)
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

zwp_aserver_client_t *client_new(int sock, zwp_net_list_t *net_list)
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

void event_post(int fd)
{
    const uint64_t one = 1;
    while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

enum class frame_state { more, done, hung_up, failed };

// Reads what the socket holds without waiting. Logs every failure.
frame_state frame_read(zwp_aserver_client_t *client)
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
                return frame_state::failed;
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
                return frame_state::more;
            ZWS_LOG_ERROR("Failed to receive response: %s", std::strerror(errno));
            return frame_state::failed;
        }
        if (got == 0) {
            // The peer closed. Nothing at all is a plain hang-up; a partial
            // frame is refused rather than decoded.
            if (client->held == 0)
                return frame_state::hung_up;
            if (client->held < 4)
                ZWS_LOG_ERROR("Invalid Avro message. Message length is tool short: %d", static_cast<int>(client->held));
            else
                ZWS_LOG_ERROR("Invalid Avro message. Connection closed after %zu of %zu bytes", client->held,
                              client->expected);
            return frame_state::failed;
        }
        client->held += static_cast<size_t>(got);
        if (!client->expected && client->held >= 4) {
            const uint32_t announced = read_be32(client->bytes);
            if (announced > ZWP_ASERVER_FRAME_MAX) {
                ZWS_LOG_ERROR("Invalid Avro message. Message length is too long: %u", announced);
                return frame_state::failed;
            }
            client->expected = size_t{announced} + 4;
        }
        // Bytes after the frame, read with its first segment, are not part of it.
        if (client->expected && client->held >= client->expected)
            return frame_state::done;
        // A short read took everything there was: the next one would only
        // say so.
        if (static_cast<size_t>(got) < room)
            return frame_state::more;
    }
}


void serve(zwp_aserver_client_t *client)
{
    const zwp_aserver_handler_t *handler = g_handler.load();
    zwp_avi_request_t *request = nullptr;
    if (handler->request_read(zwp_aserver_client_registry_get(client), client->bytes, client->expected,
                              &request) == 0 &&
        handler->request_execute(client->net_list, request) == 0) {
        uint8_t *reply = nullptr;
        size_t reply_length = 0;
        if (handler->response_write(request, &reply, &reply_length) == 0)
            zwp_aserver_send(client, reply, reply_length);
        std::free(reply);
    }
    if (request)
        handler->request_free(request);
    zwp_aserver_client_free(client);
}

// The workers.

void worker_run(zwp_aserver_t *server);

// Under workers_lock.
int worker_spawn(zwp_aserver_t *server)
{
    // Joins the workers that ended by themselves. One that has announced
    // its end only returns after releasing this lock, so the join waits at
    // most for its last few instructions.
    for (const std::thread::id id : server->retired) {
        const auto found = std::find_if(server->handles.begin(), server->handles.end(),
                                        [id](const std::thread &handle) { return handle.get_id() == id; });
        if (found != server->handles.end()) {
            found->join();
            server->handles.erase(found);
        }
    }
    server->retired.clear();
    try {
        server->handles.emplace_back(worker_run, server);
    } catch (const std::system_error &) {
        ZWS_LOG_ERROR("Failed to create thread: %s", "no resources for another worker");
        return 22;
    }
    server->threads++;
    return 0;
}

// A worker is about to serve: another must be left waiting for the next
// connection, as long as the maximum allows.
void worker_keep_one_waiting(zwp_aserver_t *server)
{
    if (server->idle.load() > 0)
        return;
    std::lock_guard<std::mutex> guard(server->workers_lock);
    if (server->threads < server->max_count && server->state.load() <= ZWP_ASERVER_RUNNING)
        worker_spawn(server);
}

// An idle worker beyond the initial count ends; true when this one does.
bool worker_retire(zwp_aserver_t *server)
{
    std::lock_guard<std::mutex> guard(server->workers_lock);
    if (server->threads <= server->init_count)
        return false;
    server->retired.push_back(std::this_thread::get_id());
    server->threads--;
    return true;
}

// The next connection that is there, without waiting: a whole frame the
// AServer thread has finished, else a new connection. Null when none.
zwp_aserver_client_t *work_take(zwp_aserver_t *server, bool *failed_accept)
{
    if (server->ready_count.load() > 0) {
        uint64_t count = 0;
        // The semaphore keeps the waiting workers' wake-ups in step with the
        // queue; an item already taken leaves nothing to read.
        if (read(server->ready_fd, &count, sizeof count) == sizeof count) {
            std::lock_guard<std::mutex> guard(server->ready_lock);
            if (!server->ready.empty()) {
                zwp_aserver_client_t *client = server->ready.front();
                server->ready.pop_front();
                server->ready_count--;
                ring_unlink(client);
                return client;
            }
        }
    }
    const int sock = accept4(server->sock, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (sock < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
            ZWS_LOG_ERROR("Failed to accept connections: %s", std::strerror(errno));
            *failed_accept = true;
        }
        return nullptr;
    }
    zwp_aserver_client_t *client = client_new(sock, server->net_list);
    if (!client) {
        close(sock);
        return nullptr;
    }
    client->stop_fd = server->stop_fd;
    client->deadline = steady::now() + std::chrono::milliseconds(ZWP_ASERVER_RECV_WAIT_MS);
    return client;
}

// Reads what a new connection already holds; a whole frame is served here,
// anything less goes to the AServer thread.
void accepted(zwp_aserver_t *server, zwp_aserver_client_t *client)
{
    // A client's frame may trail its connect by a moment: worth a short
    // wait here rather than a trip through the AServer thread. Only that
    // short: a client that sends nothing must not hold the worker.
    const steady::time_point grace = steady::now() + std::chrono::milliseconds(ZWP_ASERVER_FRAME_GRACE_MS);
    for (;;) {
        switch (frame_read(client)) {
        case frame_state::done:
            serve(client);
            return;
        case frame_state::hung_up:
        case frame_state::failed:
            zwp_aserver_client_free(client);
            return;
        case frame_state::more:
            break;
        }
        if (wait_ready(client->sock, client->stop_fd, POLLIN, grace) != 1)
            break;
    }
    ring_link(client);
    {
        std::lock_guard<std::mutex> guard(server->inbox_lock);
        server->inbox.push_back(client);
    }
    event_post(server->inbox_fd);
}

void worker_run(zwp_aserver_t *server)
{
    prctl(PR_SET_NAME, "AServerWorker", 0, 0, 0);
    const int events = epoll_create1(EPOLL_CLOEXEC);
    // Each new connection or whole frame wakes one waiting worker, not all.
    epoll_event listener{EPOLLIN | EPOLLEXCLUSIVE, {.u32 = 1}};
    epoll_event ready{EPOLLIN | EPOLLEXCLUSIVE, {.u32 = 2}};
    epoll_event stop{EPOLLIN, {.u32 = 0}};
    if (events < 0 || epoll_ctl(events, EPOLL_CTL_ADD, server->sock, &listener) != 0 ||
        epoll_ctl(events, EPOLL_CTL_ADD, server->ready_fd, &ready) != 0 ||
        epoll_ctl(events, EPOLL_CTL_ADD, server->stop_fd, &stop) != 0)
        ZWS_LOG_ERROR("Failed to watch server socket: %s", std::strerror(errno));
    // After a request, look for the next one without waiting only when the
    // last look found one: under a steady load it is there; when it is not,
    // the look is one system call spent for nothing on every request.
    bool probe = true;
    while (server->state.load() <= ZWP_ASERVER_RUNNING) {
        bool failed_accept = false;
        zwp_aserver_client_t *client = probe ? work_take(server, &failed_accept) : nullptr;
        probe = client != nullptr;
        if (client) {
            worker_keep_one_waiting(server);
            if (client->expected && client->held >= client->expected)
                serve(client);
            else
                accepted(server, client);
            continue;
        }
        if (failed_accept) {
            // Out of descriptors stays "readable": do not spin on it.
            poll(nullptr, 0, 100);
            continue;
        }
        epoll_event event{};
        server->idle++;
        const int count = events >= 0 ? epoll_wait(events, &event, 1, server->linger_ms) : poll(nullptr, 0, 100);
        server->idle--;
        probe = true;
        if (count == 0 && events >= 0 && worker_retire(server)) {
            close(events);
            return;
        }
    }
    if (events >= 0)
        close(events);
    std::lock_guard<std::mutex> guard(server->workers_lock);
    server->threads--;
    server->workers_ended.notify_all();
}

// Ends the workers: each finishes the request it serves and sees the stop.
void workers_stop(zwp_aserver_t *server)
{
    std::vector<std::thread> handles;
    {
        std::unique_lock<std::mutex> guard(server->workers_lock);
        server->workers_ended.wait(guard, [server] { return server->threads == 0; });
        handles.swap(server->handles);
        server->retired.clear();
    }
    for (std::thread &handle : handles)
        handle.join();
}

// The AServer thread's side of a connection whose frame is coming in.

void receiving_end(zwp_aserver_t *server, zwp_aserver_client_t *client)
{
    if (client->watched) {
        epoll_ctl(server->epoll, EPOLL_CTL_DEL, client->sock, nullptr);
        client->watched = false;
    }
    if (client->receiving) {
        server->receiving.erase(client->place);
        client->receiving = false;
    }
}

void receiving_close(zwp_aserver_t *server, zwp_aserver_client_t *client)
{
    receiving_end(server, client);
    zwp_aserver_client_free(client);
}

void dispatch(zwp_aserver_t *server, zwp_aserver_client_t *client)
{
    receiving_end(server, client);
    {
        std::lock_guard<std::mutex> guard(server->ready_lock);
        if (server->ready.size() < server->ready_max) {
            server->ready.push_back(client);
            server->ready_count++;
            client = nullptr;
        }
    }
    if (client) {
        ZWS_LOG_ERROR("Too many requests waiting for a worker: connection closed");
        zwp_aserver_client_free(client);
        return;
    }
    event_post(server->ready_fd);
}

void receiving_step(zwp_aserver_t *server, zwp_aserver_client_t *client)
{
    switch (frame_read(client)) {
    case frame_state::done:
        dispatch(server, client);
        return;
    case frame_state::more:
        if (!client->watched) {
            epoll_event event{};
            event.events = EPOLLIN | EPOLLRDHUP;
            event.data.ptr = client;
            if (epoll_ctl(server->epoll, EPOLL_CTL_ADD, client->sock, &event) != 0) {
                ZWS_LOG_ERROR("Failed to watch connection: %s", std::strerror(errno));
                receiving_close(server, client);
                return;
            }
            client->watched = true;
        }
        return;
    case frame_state::hung_up:
    case frame_state::failed:
        receiving_close(server, client);
        return;
    }
}

// Connections the workers handed over; their deadlines run from their accept.
void inbox_take(zwp_aserver_t *server)
{
    uint64_t count = 0;
    if (read(server->inbox_fd, &count, sizeof count) < 0)
        return;
    std::vector<zwp_aserver_client_t *> taken;
    {
        std::lock_guard<std::mutex> guard(server->inbox_lock);
        taken.swap(server->inbox);
    }
    for (zwp_aserver_client_t *client : taken) {
        // Connections that cannot all wait for their frame: the oldest, the
        // nearest to its deadline, makes room.
        if (server->receiving.size() >= server->receiving_max) {
            ZWS_LOG_ERROR("Too many connections waiting for their request: the oldest closed");
            receiving_close(server, server->receiving.front());
        }
        // Deadlines are in accept order, near enough: keep the list sorted.
        auto at = server->receiving.end();
        while (at != server->receiving.begin() && (*std::prev(at))->deadline > client->deadline)
            --at;
        client->place = server->receiving.insert(at, client);
        client->receiving = true;
        receiving_step(server, client);
    }
}

void expire(zwp_aserver_t *server)
{
    const steady::time_point now = steady::now();
    while (!server->receiving.empty() && server->receiving.front()->deadline <= now) {
        ZWS_LOG_ERROR("Receive  timeout");
        receiving_close(server, server->receiving.front());
    }
}

int next_wait_ms(const zwp_aserver_t *server)
{
    if (server->receiving.empty())
        return ZWP_ASERVER_ACCEPT_WAIT_MS;
    return std::min<int>(ZWP_ASERVER_ACCEPT_WAIT_MS, remaining_ms(server->receiving.front()->deadline));
}

void queued_close(zwp_aserver_t *server)
{
    std::deque<zwp_aserver_client_t *> ready;
    std::vector<zwp_aserver_client_t *> inbox;
    {
        std::lock_guard<std::mutex> guard(server->ready_lock);
        ready.swap(server->ready);
        server->ready_count = 0;
    }
    {
        std::lock_guard<std::mutex> guard(server->inbox_lock);
        inbox.swap(server->inbox);
    }
    for (zwp_aserver_client_t *client : ready)
        zwp_aserver_client_free(client);
    for (zwp_aserver_client_t *client : inbox)
        zwp_aserver_client_free(client);
}

void *APR_THREAD_FUNC zwp_aserver_thread(apr_thread_t *, void *data)
{
    auto *server = static_cast<zwp_aserver_t *>(data);
    zwu_thread_name_set("AServer", nullptr);
    // A stop requested before this thread ran must stand.
    uint32_t expected = ZWP_ASERVER_SETUP;
    server->state.compare_exchange_strong(expected, ZWP_ASERVER_RUNNING);

    int status = 0;
    epoll_event events[64];
    while (server->state.load() == ZWP_ASERVER_RUNNING) {
        const int count = epoll_wait(server->epoll, events, 64, next_wait_ms(server));
        if (count < 0 && errno != EINTR) {
            ZWS_LOG_ERROR("Failed to select connections: %s", std::strerror(errno));
            status = 22;
            break;
        }
        bool inbox = false;
        for (int i = 0; i < count; i++) {
            if (events[i].data.ptr == server)
                inbox = true;
            else if (events[i].data.ptr) // null: the stop event
                receiving_step(server, static_cast<zwp_aserver_client_t *>(events[i].data.ptr));
        }
        if (inbox)
            inbox_take(server);
        expire(server);
    }

    // Whatever ended the loop ends the workers too.
    uint32_t running = ZWP_ASERVER_RUNNING;
    server->state.compare_exchange_strong(running, ZWP_ASERVER_STOPPING);
    event_post(server->stop_fd);
    // A frame still coming in is not waited for.
    while (!server->receiving.empty())
        receiving_close(server, server->receiving.front());
    // Waits for the requests being served; those not started are dropped.
    workers_stop(server);
    queued_close(server);
    zwp_aserver_clients_exit();
    server->state.store(ZWP_ASERVER_ENDED);
    // Returns rather than ends itself: unwinding the thread from inside
    // (pthread_exit) buys nothing here and trips stack checkers.
    server->exit_status = status;
    return nullptr;
}

void server_free(zwp_aserver_t *server)
{
    for (int *fd : {&server->epoll, &server->stop_fd, &server->inbox_fd, &server->ready_fd, &server->sock}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    server->state.store(ZWP_ASERVER_CLOSED);
    zwu_pool_destroy(server->pool);
    delete server;
}

// Half the descriptors the process may open, so that the connections that
// wait for their frame never starve the rest of the daemon.
size_t receiving_max()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return ZWP_ASERVER_RECEIVING_MAX;
    return std::clamp<size_t>(limit.rlim_cur / 2, 16, ZWP_ASERVER_RECEIVING_MAX);
}

int server_open(zwp_aserver_t *server)
{
    server->sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (server->sock < 0) {
        ZWS_LOG_ERROR("Failed to create server socket: %s", std::strerror(errno));
        return 22;
    }
    const sockaddr_un address = server_address();
    if (bind(server->sock, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ZWS_LOG_ERROR("Failed to bind server socket: %s", std::strerror(errno));
        return 22;
    }
    if (listen(server->sock, ZWP_ASERVER_BACKLOG) != 0) {
        ZWS_LOG_ERROR("Failed to listen on server socket: %s", std::strerror(errno));
        return 22;
    }
    server->stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    server->inbox_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    server->ready_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
    server->epoll = epoll_create1(EPOLL_CLOEXEC);
    epoll_event inbox{EPOLLIN, {.ptr = server}};
    epoll_event stop{EPOLLIN, {.ptr = nullptr}};
    if (server->stop_fd < 0 || server->inbox_fd < 0 || server->ready_fd < 0 || server->epoll < 0 ||
        epoll_ctl(server->epoll, EPOLL_CTL_ADD, server->inbox_fd, &inbox) != 0 ||
        epoll_ctl(server->epoll, EPOLL_CTL_ADD, server->stop_fd, &stop) != 0) {
        ZWS_LOG_ERROR("Failed to create server events: %s", std::strerror(errno));
        return 22;
    }
    server->receiving_max = receiving_max();
    return 0;
}

} // namespace

void zwp_aserver_handler_set(const zwp_aserver_handler_t *handler)
{
    g_handler.store(handler ? handler : &default_handler);
}

void zwp_aserver_worker_linger_set(int64_t ms)
{
    g_worker_linger_ms.store(ms > 0 ? ms : int64_t{ZWP_ASERVER_WORKER_LINGER_MS});
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
    server->max_count = config->thread_max_count ? config->thread_max_count : 1;
    server->init_count = std::min<size_t>(config->thread_init_count, server->max_count);
    server->ready_max = std::max<size_t>(size_t{ZWP_ASERVER_QUEUE_PER_WORKER} * server->max_count,
                                         ZWP_ASERVER_QUEUE_MIN);
    server->linger_ms = static_cast<int>(std::min<int64_t>(g_worker_linger_ms.load(), 3600000));
    if (zwu_pool_create(&server->pool, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to create pool for Avro server");
        delete server;
        return 22;
    }
    server->state.store(ZWP_ASERVER_SETUP);
    if (server_open(server) != 0 || zwp_aserver_clients_init() != 0) {
        server_free(server);
        return 22;
    }
    int rc = 0;
    {
        std::lock_guard<std::mutex> guard(server->workers_lock);
        for (size_t i = 0; i < std::max<size_t>(server->init_count, 1) && rc == 0; i++)
            rc = worker_spawn(server);
    }
    if (rc != 0)
        ZWS_LOG_ERROR("Failed to create thread pool: %s", "no worker could be started");
    if (rc == 0)
        rc = zwu_thread_create(&server->thread, server->pool, false, zwp_aserver_thread, server);
    if (rc != 0) {
        server->state.store(ZWP_ASERVER_STOPPING);
        event_post(server->stop_fd);
        workers_stop(server);
        zwp_aserver_clients_exit();
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
    // Wakes the AServer thread, every idle worker and every send in progress.
    event_post(server->stop_fd);
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

size_t zwp_aserver_workers_get(zwp_aserver_t *server)
{
    if (!server)
        return 0;
    std::lock_guard<std::mutex> guard(server->workers_lock);
    return server->threads;
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
        const frame_state state = frame_read(client);
        if (state == frame_state::failed)
            return 22;
        if (state == frame_state::done || state == frame_state::hung_up) {
            *buffer = client->bytes;
            *length = state == frame_state::done ? client->expected : 0;
            client->bytes = nullptr;
            client->size = client->held = client->expected = 0;
            return 0;
        }
        const int ready = wait_ready(client->sock, client->stop_fd, POLLIN, client->deadline);
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
        const int ready = wait_ready(client->sock, client->stop_fd, POLLOUT, deadline);
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
    zwp_aserver_client_t *client = client_new(sock, net_list);
    if (!client)
        return 22;
    ring_link(client);
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
    ring_unlink(client);
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
