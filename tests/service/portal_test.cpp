#include "service/zws_portal.h"

#include "peer_fixture.h"
#include "service_fixture.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include <chrono>
#include <thread>

namespace {

using zws_test::stand_in_daemon;

struct exchange_result {
    int connect = -1;
    int send = -1;
    int recv = -1;
    std::string reply;
};

exchange_result exchange(const std::string &request, int timeout)
{
    exchange_result result;
    zws_portal_t *portal = nullptr;
    result.connect = zws_portal_init(&portal, timeout);
    if (result.connect != 0)
        return result;
    result.send = zws_portal_send(portal, request.data(), static_cast<int>(request.size()));
    if (result.send == 0) {
        char *reply = nullptr;
        int length = 0;
        result.recv = zws_portal_recv(portal, &reply, &length);
        if (result.recv == 0)
            result.reply.assign(reply, static_cast<size_t>(length));
        zws_portal_recv_free(reply);
    }
    zws_portal_exit(portal);
    return result;
}

TEST(Portal, ExchangesOneFrameWithThePeer)
{
    std::string received;
    stand_in_daemon daemon([&](int fd) {
        received = stand_in_daemon::read_frame(fd);
        stand_in_daemon::send_all(fd, stand_in_daemon::frame("reply-bytes"));
    });
    const std::string request = stand_in_daemon::frame("request-bytes");
    const exchange_result result = exchange(request, 5);
    EXPECT_EQ(result.connect, 0);
    EXPECT_EQ(result.send, 0);
    ASSERT_EQ(result.recv, 0);
    EXPECT_EQ(result.reply, stand_in_daemon::frame("reply-bytes"));
    EXPECT_EQ(received, request);
}

TEST(Portal, LongReplyArrivesWhole)
{
    const std::string payload(5000, 'r');
    stand_in_daemon daemon([&](int fd) {
        stand_in_daemon::read_frame(fd);
        // In pieces, so the client reads it over several passes.
        const std::string data = stand_in_daemon::frame(payload);
        for (size_t at = 0; at < data.size(); at += 700) {
            stand_in_daemon::send_all(fd, data.substr(at, 700));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const exchange_result result = exchange(stand_in_daemon::frame("q"), 5);
    ASSERT_EQ(result.recv, 0);
    EXPECT_EQ(result.reply, stand_in_daemon::frame(payload));
}

TEST(Portal, PeerThatClosesWithoutAnswerGivesAnEmptyReply)
{
    // kestrund's way of reporting a failed request: read, then close.
    stand_in_daemon daemon([](int fd) { stand_in_daemon::read_frame(fd); });
    const exchange_result result = exchange(stand_in_daemon::frame("q"), 5);
    EXPECT_EQ(result.send, 0);
    EXPECT_EQ(result.recv, 0);
    EXPECT_EQ(result.reply, "");
}

TEST(Portal, PeerThatClosesWithoutReadingFailsCleanly)
{
    // Closing with the request unread resets the connection; the exchange
    // ends either empty or failed, never with bytes.
    stand_in_daemon daemon([](int) {});
    const exchange_result result = exchange(stand_in_daemon::frame("q"), 5);
    EXPECT_TRUE(result.send != 0 || result.recv != 0 || result.reply.empty());
}

TEST(Portal, ClosedConnectionDuringSendFailsWithoutSignal)
{
    stand_in_daemon daemon([](int fd) { shutdown(fd, SHUT_RDWR); });
    // Large enough that the send cannot all land in the socket buffer before
    // the peer is gone; the process must survive (no SIGPIPE).
    const std::string big(8 * 1024 * 1024, 'x');
    zws_portal_t *portal = nullptr;
    ASSERT_EQ(zws_portal_init(&portal, 5), 0);
    // The send fails once the peer is gone, whenever that is; waiting for the
    // accept only makes the usual case quick.
    for (int i = 0; i < 1000 && daemon.accepted() == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(zws_portal_send(portal, big.data(), static_cast<int>(big.size())), 22);
    zws_portal_exit(portal);
}

// Holds the peer's connection open, silent, until the test has its result
// (or a generous deadline passes), so that only the client's time-out can
// end the exchange, however late any thread runs.
class silence {
  public:
    void hold()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait_for(lock, std::chrono::seconds(60), [this] { return released_; });
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        done_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool released_ = false;
};

TEST(Portal, SilencePastTheTimeoutFails)
{
    silence peer;
    stand_in_daemon daemon([&](int fd) {
        stand_in_daemon::read_frame(fd);
        peer.hold();
    });
    zws_test::log_capture log;
    const auto start = std::chrono::steady_clock::now();
    const exchange_result result = exchange(stand_in_daemon::frame("q"), 1);
    const auto took = std::chrono::steady_clock::now() - start;
    peer.release();
    EXPECT_EQ(result.send, 0);
    EXPECT_EQ(result.recv, 22);
    EXPECT_GE(took, std::chrono::milliseconds(950));
    EXPECT_TRUE(log.contains("Receive  timeout after 1 seconds"));
}

TEST(Portal, WholeReplyFrameEndsTheReceiveBeforeThePeerCloses)
{
    // The frame's length says when the reply is complete: a peer that keeps
    // the connection open after it costs no wait (and no time-out).
    silence peer;
    stand_in_daemon daemon([&](int fd) {
        stand_in_daemon::read_frame(fd);
        stand_in_daemon::send_all(fd, stand_in_daemon::frame("reply-bytes"));
        peer.hold();
    });
    const exchange_result result = exchange(stand_in_daemon::frame("q"), 5);
    peer.release();
    ASSERT_EQ(result.recv, 0);
    EXPECT_EQ(result.reply, stand_in_daemon::frame("reply-bytes"));
}

TEST(Portal, TimeoutZeroFailsUnlessTheReplyIsWaiting)
{
    // The reply only comes once the client has given up.
    silence peer;
    stand_in_daemon daemon([&](int fd) {
        stand_in_daemon::read_frame(fd);
        peer.hold();
        stand_in_daemon::send_all(fd, stand_in_daemon::frame("late"));
    });
    zws_test::log_capture log;
    const exchange_result result = exchange(stand_in_daemon::frame("q"), 0);
    peer.release();
    EXPECT_EQ(result.recv, 22);
    EXPECT_TRUE(log.contains("Receive  timeout after 0 seconds"));
}

TEST(Portal, NoDaemonFailsToConnect)
{
    zws_test::log_capture log;
    zws_portal_t *portal = nullptr;
    EXPECT_EQ(zws_portal_init(&portal, 1), 22);
    EXPECT_TRUE(log.contains("Failed to connect to portal"));
}

TEST(Portal, ReceiveTimeoutFromTheEnvironment)
{
    const struct {
        const char *text; // null: absent
        int expected;
    } cases[] = {{nullptr, 15}, {"", 15}, {"-1", 15}, {"abc", 15}, {"7x", 15}, {"0", 0}, {"30", 30},
                 {"2147483648", 15}};
    zws_test::env_guard env;
    for (const auto &c : cases) {
        if (c.text)
            env.set("VANTOR_PORTAL_RECEIVE_TIMEOUT", c.text);
        else
            env.unset("VANTOR_PORTAL_RECEIVE_TIMEOUT");
        int timeout = -5;
        zws_portal_get_receive_timeout(&timeout);
        EXPECT_EQ(timeout, c.expected) << (c.text ? c.text : "(absent)");
    }
}

} // namespace
