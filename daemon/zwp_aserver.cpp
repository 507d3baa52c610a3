#include "daemon/zwp_aserver.h"

#include "daemon/zwp_avi_execute.h"
#include "daemon/zwp_avi_request.h"
#include "daemon/zwp_avi_response.h"
#include "daemon/zwp_log.h"
#include "daemon/zwp_net_list.h"
#include "daemon/zwp_runtime.h"

#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
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

struct zwp_aserver_t {
    apr_pool_t *pool = nullptr;
    // Written by the AServer thread and by zwp_aserver_exit, read by main
    // and the workers.
    std::atomic<uint32_t> state{ZWP_ASERVER_CLOSED};
    int sock = -1;     // listening, non-blocking: workers wait on it through epoll
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
    std::atomic<size_t> idle{0}; // waiting for work
    std::atomic<size_t> busy{0}; // serving a connection
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

sockaddr_un server_address()
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, ZWP_ASERVER_SOCKET_NAME, sizeof ZWP_ASERVER_SOCKET_NAME - 1);
    address.sun_path[0] = '\0';
    return address;
}
static_assert(sizeof(sockaddr_un) == 110, "peers connect with the whole 110-byte address");

void event_post(int fd)
{
    const uint64_t one = 1;
    while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
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
    // Named here rather than by the worker itself, so that the name is
    // there as soon as the thread is.
    pthread_setname_np(server->handles.back().native_handle(), "AServerWorker");
    server->threads++;
    return 0;
}

// A worker is about to serve: while every worker serves, another is made
// to wait for the next connection, as long as the maximum allows. (Idle
// workers that a connection woke in vain still count as free.)
void worker_keep_one_waiting(zwp_aserver_t *server)
{
    std::lock_guard<std::mutex> guard(server->workers_lock);
    if (server->busy.load() >= server->threads && server->threads < server->max_count &&
        server->state.load() <= ZWP_ASERVER_RUNNING)
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
                zwp_aserver_client_ring_remove(client);
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
    zwp_aserver_client_t *client = zwp_aserver_client_new(sock, server->net_list);
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
        switch (zwp_aserver_frame_read(client)) {
        case zwp_aserver_frame_state::done:
            serve(client);
            return;
        case zwp_aserver_frame_state::hung_up:
        case zwp_aserver_frame_state::failed:
            zwp_aserver_client_free(client);
            return;
        case zwp_aserver_frame_state::more:
            break;
        }
        if (zwp_aserver_wait_ready(client->sock, client->stop_fd, POLLIN, grace) != 1)
            break;
    }
    zwp_aserver_client_ring_add(client);
    {
        std::lock_guard<std::mutex> guard(server->inbox_lock);
        server->inbox.push_back(client);
    }
    event_post(server->inbox_fd);
}

void worker_run(zwp_aserver_t *server)
{
    const int events = epoll_create1(EPOLL_CLOEXEC);
    // Each new connection or whole frame wakes one waiting worker, not all.
    epoll_event listener{EPOLLIN | EPOLLEXCLUSIVE, {.u32 = 1}};
    epoll_event ready{EPOLLIN | EPOLLEXCLUSIVE, {.u32 = 2}};
    epoll_event stop{EPOLLIN, {.u32 = 0}};
    if (events < 0 || epoll_ctl(events, EPOLL_CTL_ADD, server->sock, &listener) != 0 ||
        epoll_ctl(events, EPOLL_CTL_ADD, server->ready_fd, &ready) != 0 ||
        epoll_ctl(events, EPOLL_CTL_ADD, server->stop_fd, &stop) != 0)
        ZWS_LOG_ERROR("Failed to watch server socket: %s", std::strerror(errno));
    // After a request, look for the next one before waiting only while no
    // other worker waits: one that does is woken for a new connection
    // anyway, and the look would be a system call spent for nothing.
    bool look = true;
    while (server->state.load() <= ZWP_ASERVER_RUNNING) {
        bool failed_accept = false;
        zwp_aserver_client_t *client = look ? work_take(server, &failed_accept) : nullptr;
        if (client) {
            server->busy++;
            worker_keep_one_waiting(server);
            if (client->expected && client->held >= client->expected)
                serve(client);
            else
                accepted(server, client);
            server->busy--;
            look = server->idle.load() == 0;
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
        look = true;
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
    switch (zwp_aserver_frame_read(client)) {
    case zwp_aserver_frame_state::done:
        dispatch(server, client);
        return;
    case zwp_aserver_frame_state::more:
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
    case zwp_aserver_frame_state::hung_up:
    case zwp_aserver_frame_state::failed:
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
    return std::min<int>(ZWP_ASERVER_ACCEPT_WAIT_MS, zwp_aserver_ms_left(server->receiving.front()->deadline));
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
