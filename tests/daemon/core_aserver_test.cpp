// The RPC server on the real abstract socket, with request handlers of the
// tests' own in place of request execution.
#include "daemon/zwp_aserver.h"

#include "tests/support/zws_log_capture.h"

#include <gtest/gtest.h>

#include <apr_general.h>

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using zw_test::log_capture;
using bytes = std::vector<uint8_t>;
using steady = std::chrono::steady_clock;

// What the test handler does; set before a connection is made.
struct behaviour {
    std::atomic<int> execute_ms{0};       // sleep in execute
    std::atomic<size_t> reply_size{0};    // 0: echo the frame, else this many bytes
    std::atomic<int> reads{0};            // frames handed to the handler
    std::atomic<int> executing{0};
    std::atomic<int> peak{0};
    std::atomic<int> executed{0};
};
behaviour g_behaviour;

struct test_request {
    bytes frame;
};

int test_read(zwp_avi_registry_t *, const uint8_t *frame, size_t length, zwp_avi_request_t **request)
{
    g_behaviour.reads++;
    auto *made = new test_request{bytes(frame, frame + length)};
    *request = reinterpret_cast<zwp_avi_request_t *>(made);
    return 0;
}

int test_execute(zwp_net_list_t *, zwp_avi_request_t *)
{
    const int now = ++g_behaviour.executing;
    int peak = g_behaviour.peak.load();
    while (now > peak && !g_behaviour.peak.compare_exchange_weak(peak, now)) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(g_behaviour.execute_ms.load()));
    g_behaviour.executing--;
    g_behaviour.executed++;
    return 0;
}

int test_write(zwp_avi_request_t *request, uint8_t **buffer, size_t *length)
{
    const bytes &frame = reinterpret_cast<test_request *>(request)->frame;
    const size_t size = g_behaviour.reply_size.load() ? g_behaviour.reply_size.load() : frame.size();
    *buffer = static_cast<uint8_t *>(std::calloc(size, 1));
    if (!g_behaviour.reply_size.load())
        std::memcpy(*buffer, frame.data(), size);
    *length = size;
    return 0;
}

void test_free(zwp_avi_request_t *request) { delete reinterpret_cast<test_request *>(request); }

const zwp_aserver_handler_t test_handler{test_read, test_execute, test_write, test_free};

bytes frame_of(const std::string &payload)
{
    const auto n = static_cast<uint32_t>(payload.size());
    bytes frame(4 + payload.size());
    frame[0] = uint8_t(n >> 24);
    frame[1] = uint8_t(n >> 16);
    frame[2] = uint8_t(n >> 8);
    frame[3] = uint8_t(n);
    std::memcpy(frame.data() + 4, payload.data(), payload.size());
    return frame;
}

// A client on the daemon's address: the whole 110-byte structure.
struct client {
    client()
    {
        sock = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, "kestrund_socket", 15);
        connected = connect(sock, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }
    ~client() { close(sock); }
    void put(const bytes &data) const { ASSERT_EQ(send(sock, data.data(), data.size(), MSG_NOSIGNAL), ssize_t(data.size())); }
    void put(const bytes &data, size_t from, size_t count) const
    {
        ASSERT_EQ(send(sock, data.data() + from, count, MSG_NOSIGNAL), ssize_t(count));
    }
    void end_writing() const { shutdown(sock, SHUT_WR); }
    // Everything until the server closes; false when it does not close in time.
    bool drain(bytes &got, int timeout_ms = 10000) const
    {
        const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now()).count();
            if (left <= 0)
                return false;
            pollfd entry{sock, POLLIN, 0};
            if (poll(&entry, 1, static_cast<int>(left)) <= 0)
                continue;
            uint8_t chunk[65536];
            const ssize_t n = recv(sock, chunk, sizeof chunk, 0);
            if (n <= 0)
                return true;
            got.insert(got.end(), chunk, chunk + n);
        }
    }
    int sock;
    bool connected;
};

// Polls a condition with a generous deadline; true once it holds.
template <typename Condition> bool wait_for(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto deadline = steady::now() + limit;
    while (!condition()) {
        if (steady::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::vector<std::string> thread_names()
{
    std::vector<std::string> names;
    DIR *tasks = opendir("/proc/self/task");
    while (dirent *entry = readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        names.push_back(name);
    }
    closedir(tasks);
    return names;
}

size_t count_of(const std::vector<std::string> &names, const std::string &name)
{
    size_t count = 0;
    for (const std::string &held : names)
        count += held == name;
    return count;
}

struct Server : ::testing::Test {
    static void SetUpTestSuite()
    {
        apr_initialize();
        // The thread sanitizer starts a thread of its own along with the
        // first one; start it here, so it does not take a worker's name.
        std::thread([] {}).join();
    }
    static void TearDownTestSuite() { apr_terminate(); }
    void SetUp() override
    {
        g_behaviour.execute_ms = 0;
        g_behaviour.reply_size = 0;
        g_behaviour.reads = 0;
        g_behaviour.peak = 0;
        g_behaviour.executed = 0;
        zwp_aserver_handler_set(&test_handler);
    }
    void TearDown() override
    {
        stop();
        zwp_aserver_handler_set(nullptr);
    }
    void start(uint32_t init_count = 2, uint32_t max_count = 4)
    {
        config = {init_count, max_count};
        ASSERT_EQ(zwp_aserver_init(&server, &config, nullptr), 0);
        const auto deadline = steady::now() + std::chrono::seconds(5);
        while (zwp_aserver_state_get(server) != ZWP_ASERVER_RUNNING && steady::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(zwp_aserver_state_get(server), ZWP_ASERVER_RUNNING);
    }
    void stop()
    {
        if (server)
            zwp_aserver_exit(server);
        server = nullptr;
    }
    zwp_server_config_t config{};
    zwp_aserver_t *server = nullptr;
    log_capture capture;
};

TEST_F(Server, FramesAreReadWholeWhateverTheSegments)
{
    start();
    const bytes frame = frame_of("hello, daemon");
    {
        client c;
        ASSERT_TRUE(c.connected);
        c.put(frame);
        bytes got;
        ASSERT_TRUE(c.drain(got));
        EXPECT_EQ(got, frame);
    }
    {
        // A first segment shorter than the prefix is no error on a stream.
        client c;
        c.put(frame, 0, 3);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        c.put(frame, 3, 2);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        c.put(frame, 5, frame.size() - 5);
        bytes got;
        ASSERT_TRUE(c.drain(got));
        EXPECT_EQ(got, frame);
    }
    {
        // N = 10 with 12 payload bytes: the frame ends after the tenth.
        client c;
        bytes longer = frame_of("0123456789");
        longer.push_back('x');
        longer.push_back('y');
        c.put(longer);
        bytes got;
        ASSERT_TRUE(c.drain(got));
        EXPECT_EQ(got, frame_of("0123456789"));
    }
    {
        // The largest frame a client may send.
        client c;
        const bytes largest = frame_of(std::string(ZWP_ASERVER_FRAME_MAX, 'a'));
        std::thread writer([&] { c.put(largest); });
        bytes got;
        ASSERT_TRUE(c.drain(got));
        writer.join();
        EXPECT_EQ(got.size(), largest.size());
    }
    EXPECT_EQ(g_behaviour.reads.load(), 4);
    EXPECT_TRUE(capture.lines().empty()) << capture.lines()[0];
}

TEST_F(Server, BadFramesCloseWithoutAReplyOrADecode)
{
    start();
    const struct {
        const char *what;
        bytes sent;
        bool end_writing;
        const char *line; // null: nothing logged
    } cases[] = {
        {"closed at once", {}, true, nullptr},
        {"over-long N", {0x00, 0x10, 0x00, 0x01}, false, "[error] Invalid Avro message. Message length is too long: 1048577\n"},
        {"N far too long", {0xFF, 0xFF, 0xFF, 0xFF, 'a'}, false,
         "[error] Invalid Avro message. Message length is too long: 4294967295\n"},
        {"three bytes, then closed", {0x00, 0x00, 0x00}, true, "[error] Invalid Avro message. Message length is tool short: 3\n"},
        {"partial payload, then closed", {0x00, 0x00, 0x00, 0x0A, 'a', 'b', 'c'}, true,
         "[error] Invalid Avro message. Connection closed after 7 of 14 bytes\n"},
    };
    for (const auto &c : cases) {
        capture.clear();
        client peer;
        ASSERT_TRUE(peer.connected);
        if (!c.sent.empty())
            peer.put(c.sent);
        if (c.end_writing)
            peer.end_writing();
        bytes got;
        const auto began = steady::now();
        ASSERT_TRUE(peer.drain(got, 3000)) << c.what;
        EXPECT_LT(steady::now() - began, std::chrono::milliseconds(ZWP_ASERVER_RECV_WAIT_MS)) << c.what;
        EXPECT_TRUE(got.empty()) << c.what;
        // The server may log just after closing.
        if (c.line) {
            EXPECT_TRUE(wait_for([&] { return !capture.lines().empty(); })) << c.what;
            EXPECT_EQ(capture.lines(), std::vector<std::string>{c.line}) << c.what;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            EXPECT_TRUE(capture.lines().empty()) << c.what;
        }
    }
    EXPECT_EQ(g_behaviour.reads.load(), 0);
}

TEST_F(Server, IdleConnectionIsClosedAfterFiveSeconds)
{
    start();
    client idle;
    client slow;
    ASSERT_TRUE(idle.connected);
    // A frame that stops coming half-way is bounded the same way.
    slow.put({0x00, 0x00, 0x00, 0x08, 'a'});
    const auto began = steady::now();
    bytes got;
    ASSERT_TRUE(idle.drain(got, 8000));
    ASSERT_TRUE(slow.drain(got, 8000));
    const auto waited = steady::now() - began;
    EXPECT_GE(waited, std::chrono::milliseconds(4800));
    EXPECT_LT(waited, std::chrono::milliseconds(12000));
    EXPECT_TRUE(got.empty());
    EXPECT_TRUE(wait_for([&] { return capture.lines().size() >= 2; }));
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"[error] Receive  timeout\n", "[error] Receive  timeout\n"}));
}

// The five seconds hold for the whole frame from the accept: a client
// that keeps sending a byte now and then must not keep its connection.
TEST_F(Server, AFrameThatTricklesInIsClosedFiveSecondsAfterItsAccept)
{
    start();
    client trickle;
    ASSERT_TRUE(trickle.connected);
    const auto began = steady::now();
    std::atomic<bool> done{false};
    std::thread writer([&] {
        trickle.put({0x00, 0x00, 0x00, 0x40});
        while (!done.load()) {
            send(trickle.sock, "x", 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
        }
    });
    bytes got;
    const bool closed = trickle.drain(got, 20000);
    const auto waited = steady::now() - began;
    done = true;
    writer.join();
    ASSERT_TRUE(closed);
    EXPECT_TRUE(got.empty());
    EXPECT_GE(waited, std::chrono::milliseconds(4800));
    EXPECT_LT(waited, std::chrono::milliseconds(15000));
    EXPECT_TRUE(wait_for([&] { return capture.has("[error] Receive  timeout\n"); }));
    EXPECT_EQ(g_behaviour.reads.load(), 0);
}

// Clients whose frames do not come hold no worker: with every one of the
// pool's workers' worth of them connected, a request is served at once,
// and a stop does not wait for them.
TEST_F(Server, StalledClientsHoldNoWorkerAndDoNotDelayAStop)
{
    start(1, 2);
    std::vector<std::unique_ptr<client>> stalled;
    for (int i = 0; i < 40; i++) {
        stalled.push_back(std::make_unique<client>());
        ASSERT_TRUE(stalled.back()->connected);
        if (i % 2)
            stalled.back()->put({0x00, 0x00, 0x00, 0x10, 'a'});
    }
    for (int i = 0; i < 3; i++) {
        client c;
        const auto began = steady::now();
        c.put(frame_of("served"));
        bytes got;
        ASSERT_TRUE(c.drain(got, 10000));
        EXPECT_EQ(got, frame_of("served"));
        EXPECT_LT(steady::now() - began, std::chrono::milliseconds(ZWP_ASERVER_RECV_WAIT_MS)) << i;
    }
    const auto began = steady::now();
    stop();
    EXPECT_LT(steady::now() - began, std::chrono::seconds(2));
    for (auto &c : stalled) {
        bytes got;
        EXPECT_TRUE(c->drain(got, 1000));
        EXPECT_TRUE(got.empty());
    }
}

TEST_F(Server, WorkersAreNamedAndCapped)
{
    start(2, 4);
    std::vector<std::string> names = thread_names();
    EXPECT_EQ(count_of(names, "AServer"), 1u);
    EXPECT_EQ(count_of(names, "AServerWorker"), 2u);

    g_behaviour.execute_ms = 300;
    std::vector<std::unique_ptr<client>> clients;
    for (int i = 0; i < 20; i++) {
        clients.push_back(std::make_unique<client>());
        ASSERT_TRUE(clients.back()->connected);
        clients.back()->put(frame_of("request " + std::to_string(i)));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    names = thread_names();
    EXPECT_LE(count_of(names, "AServerWorker"), 4u + 1u) << "the accept thread carries the name while it pushes";
    for (int i = 0; i < 20; i++) {
        bytes got;
        ASSERT_TRUE(clients[i]->drain(got, 15000));
        EXPECT_EQ(got, frame_of("request " + std::to_string(i)));
    }
    // The pool grows only while tasks wait and no worker is idle, so the
    // peak lies between the initial and the maximum count.
    EXPECT_LE(g_behaviour.peak.load(), 4);
    EXPECT_GE(g_behaviour.peak.load(), 2);
    EXPECT_EQ(g_behaviour.executed.load(), 20);
}

TEST_F(Server, StopWaitsForTheRunningRequestAndDropsQueuedOnes)
{
    start(1, 1);
    g_behaviour.execute_ms = 1500;
    client running;
    running.put(frame_of("running"));
    while (g_behaviour.executing.load() == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    client queued;
    queued.put(frame_of("queued"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    const auto began = steady::now();
    stop();
    const auto waited = steady::now() - began;
    EXPECT_GE(waited, std::chrono::milliseconds(1000));
    EXPECT_LT(waited, std::chrono::milliseconds(10000));
    bytes got;
    ASSERT_TRUE(running.drain(got, 1000));
    EXPECT_EQ(got, frame_of("running"));
    got.clear();
    ASSERT_TRUE(queued.drain(got, 1000)) << "a dropped task's connection is closed too";
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(g_behaviour.executed.load(), 1);
}

TEST_F(Server, EarlyStopsAreNotLost)
{
    config = {1, 2};
    for (int i = 0; i < 20; i++) {
        ASSERT_EQ(zwp_aserver_init(&server, &config, nullptr), 0);
        const auto began = steady::now();
        stop();
        EXPECT_LT(steady::now() - began, std::chrono::milliseconds(5000));
    }
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(Server, ReplyToAPeerThatDoesNotReadGivesUp)
{
    start();
    g_behaviour.reply_size = 64u << 20;
    client stuck;
    stuck.put(frame_of("big"));
    const auto began = steady::now();
    while (!capture.contains("Send timeout") && steady::now() - began < std::chrono::seconds(15))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto waited = steady::now() - began;
    EXPECT_TRUE(capture.contains("[error] Send timeout: "));
    EXPECT_GE(waited, std::chrono::milliseconds(4500));
    EXPECT_LT(waited, std::chrono::milliseconds(10000));

    // A peer gone before its reply makes only the send fail.
    capture.clear();
    g_behaviour.reply_size = 0;
    g_behaviour.execute_ms = 300;
    {
        client gone;
        gone.put(frame_of("bye"));
    }
    EXPECT_TRUE(wait_for([&] { return capture.has("[error] Failed to send request: Broken pipe\n"); }));
}

TEST_F(Server, TakenNameFailsTheStart)
{
    const int holder = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, "kestrund_socket", 15);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    config = {1, 2};
    EXPECT_EQ(zwp_aserver_init(&server, &config, nullptr), 22);
    EXPECT_EQ(server, nullptr);
    EXPECT_TRUE(capture.has("[error] Failed to bind server socket: Address already in use\n"));
    close(holder);
    // A name shorter than the whole address is another name.
    const int other = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(other, reinterpret_cast<sockaddr *>(&address), offsetof(sockaddr_un, sun_path) + 16), 0);
    start();
    close(other);
}

} // namespace
