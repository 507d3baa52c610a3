// The DTLS transport against real peers on loopback: openssl s_server as a
// gateway, openssl s_client as a peer that opens a session to us, and the
// gateway simulator in DTLS mode. Peers take DTLS on port 41230, so the
// binary holds the lock of that port.
#include "dtls_test_support.h"

#include "sim/sim_gateway.h"

#include <algorithm>
#include <memory>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>

using namespace dtls_test;

namespace {

const bytes frame_a = {0x23, 0x02, 0x80, 0x50, 0x11, 0x00, 0x00, 0x25, 0x02};
const bytes frame_b = {0x23, 0x02, 0x80, 0x50, 0x12, 0x00, 0x00, 0x25, 0x01, 0xFF};
const bytes frame_c = {0x23, 0x02, 0x80, 0x50, 0x13, 0x00, 0x00, 0x20, 0x02};
const bytes keep_alive_answer = {0x23, 0x03, 0x40};

size_t sim_count(const sim::gateway &gw, const bytes &b)
{
    size_t n = 0;
    for (const sim::recorded_frame &r : gw.received())
        if (r.bytes == b)
            ++n;
    return n;
}

size_t sim_keep_alives(const sim::gateway &gw)
{
    size_t n = 0;
    for (const sim::recorded_frame &r : gw.received())
        if (r.frame.kind == sim::frame_kind::keep_alive && (r.frame.keep_alive_flags & sim::keep_alive_ack_request))
            ++n;
    return n;
}

// A plain UDP socket that sends whatever we like to the host port.
class raw_udp {
public:
    raw_udp() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~raw_udp()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    raw_udp(const raw_udp &) = delete;
    raw_udp &operator=(const raw_udp &) = delete;
    bool send(uint16_t port, const bytes &b)
    {
        const tpt_sockaddr_t to = v4("127.0.0.1", port);
        return sendto(fd_, b.data(), b.size(), 0, &to.sa, sizeof to.v4) == static_cast<ssize_t>(b.size());
    }

private:
    int fd_;
};

class DtlsTest : public ::testing::Test {
protected:
    void SetUp() override { log_clear(); }
    void TearDown() override
    {
        // ZW_TEST_LOG=1 shows what the transport printed.
        if (std::getenv("ZW_TEST_LOG") != nullptr)
            for (const std::string &l : log_lines())
                std::fprintf(stderr, "  | %s", l.c_str());
    }
};

}  // namespace

// Our client towards openssl s_server playing the gateway: frames both ways,
// one session for several frames, the empty identity that the gateway
// expects, the cipher suite we ask for first.
TEST_F(DtlsTest, ExchangesFramesWithOpensslServer)
{
    child_proc server;
    const std::string s_server_addr = start_s_server(server, key_a);
    ASSERT_FALSE(s_server_addr.empty()) << server.output();
    dtls_link link;
    ASSERT_EQ(link.open(s_server_addr, key_a), 0);

    ASSERT_EQ(link.send(s_server_addr, frame_a), 0);
    EXPECT_TRUE(server.wait_output(frame_a, 10000ms)) << server.output();
    ASSERT_EQ(link.send(s_server_addr, frame_b), 0);
    EXPECT_TRUE(server.wait_output(frame_b, 5000ms)) << server.output();
    EXPECT_EQ(server.output_count("CIPHER is PSK-AES256-CBC-SHA"), 1u) << server.output();
    EXPECT_EQ(server.output_count("PSK warning"), 0u) << server.output();

    ASSERT_TRUE(server.write_in(frame_c));
    const auto got = link.wait_rx_bytes(frame_c, 5000ms);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->src, s_server_addr);
    EXPECT_EQ(got->family, 0);
    EXPECT_EQ(got->port, 0);
    EXPECT_FALSE(got->has_dst);
    EXPECT_EQ(log_count("SSL connect failed"), 0u);

    // A record longer than a datagram is dropped whole, not handed up in
    // pieces; the session goes on.
    bytes big(2000, 0x23);
    big[1] = 0x02;
    ASSERT_TRUE(server.write_in(big));
    EXPECT_TRUE(eventually([] { return log_count("DTLS: dropped a record of 2000 bytes") == 1; }, 5000ms));
    ASSERT_TRUE(server.write_in(frame_a));
    EXPECT_TRUE(link.wait_rx_bytes(frame_a, 5000ms).has_value());
    for (const rx_rec &r : link.received())
        EXPECT_LE(r.data.size(), size_t{TPT_MAX_DATAGRAM});
}

// A wrong key fails the handshake in either direction without leaking a
// socket, and a peer with the right key is served afterwards.
TEST_F(DtlsTest, WrongKeyFailsCleanly)
{
    child_proc server;
    const std::string s_server_addr = start_s_server(server, key_b);
    ASSERT_FALSE(s_server_addr.empty()) << server.output();
    dtls_link link;
    ASSERT_EQ(link.open(s_server_addr, key_a), 0);
    const size_t fds = open_fd_count();

    ASSERT_EQ(link.send(s_server_addr, frame_a), 0);
    EXPECT_TRUE(eventually([] { return log_count("SSL connect failed. Err:") == 1; }, 10000ms));
    EXPECT_FALSE(server.wait_output(frame_a, 200ms));
    EXPECT_TRUE(eventually([&] { return open_fd_count() == fds; }, 2000ms)) << open_fd_count() << " vs " << fds;

    child_proc bad_client;
    ASSERT_TRUE(start_s_client(bad_client, link.host_port(), key_b));
    EXPECT_TRUE(eventually([] { return log_count("ssl_accept failed. Err:") == 1; }, 10000ms));
    EXPECT_TRUE(bad_client.wait_exit(10000ms)) << bad_client.output();
    bad_client.stop();  // its pipes are ours
    EXPECT_TRUE(eventually([&] { return open_fd_count() == fds; }, 2000ms)) << open_fd_count() << " vs " << fds;

    child_proc good_client;
    ASSERT_TRUE(start_s_client(good_client, link.host_port(), key_a));
    EXPECT_TRUE(good_client.wait_output("Cipher is PSK-AES256-CBC-SHA", 10000ms)) << good_client.output();
}

// A peer opens a session to our host port: junk and a DTLS 1.2 ClientHello
// on the listening socket are dropped with a short dump, s_client passes our
// cookie exchange, its records reach us, and our datagrams to it go through
// its session (no s_server listens for a client session of ours).
TEST_F(DtlsTest, AcceptsOpensslClientThroughCookieExchange)
{
    dtls_link link;
    ASSERT_EQ(link.open("127.0.0.1", key_a), 0);
    ASSERT_NE(link.host_port(), 0);

    raw_udp raw;
    bytes hello12(60, 0);
    hello12[0] = 22, hello12[1] = 0xFE, hello12[2] = 0xFD, hello12[13] = 1;
    ASSERT_TRUE(raw.send(link.host_port(), hello12));
    ASSERT_TRUE(eventually([] { return log_count("Warning: received non client hello msg:") == 1; }, 3000ms));
    ASSERT_TRUE(raw.send(link.host_port(), bytes(1000, 0xA5)));
    ASSERT_TRUE(eventually([] { return log_count("Warning: received non client hello msg:") == 2; }, 3000ms));
    std::this_thread::sleep_for(200ms);
    size_t dumped = 0;
    for (const std::string &l : log_lines())
        dumped += l.find("A5") != std::string::npos ? static_cast<size_t>(std::count(l.begin(), l.end(), ' ')) : 0;
    EXPECT_GT(dumped, 0u);
    EXPECT_LE(dumped, 32u);

    child_proc client;
    ASSERT_TRUE(start_s_client(client, link.host_port(), key_a));
    ASSERT_TRUE(client.wait_output("Cipher is PSK-AES256-CBC-SHA", 10000ms)) << client.output();
    EXPECT_NE(client.output().find("HelloVerifyRequest"), std::string::npos) << client.output();

    ASSERT_TRUE(client.write_in(std::string("hello from the peer\n")));
    const std::string line = "hello from the peer\n";
    const auto got = link.wait_rx_bytes(bytes(line.begin(), line.end()), 5000ms);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->src, "127.0.0.1");

    ASSERT_EQ(link.send("127.0.0.1", frame_a), 0);
    EXPECT_TRUE(client.wait_output(frame_a, 5000ms)) << client.output();
    EXPECT_EQ(log_count("SSL connect failed"), 0u);
}

// Sessions to the simulator: a second datagram uses the open session; flag
// 0x01 closes it and opens a new one; flag 0x02 moves to a session from the
// host port, whose answers come back through that session's socket and not
// the listening one; exit closes with a close notification.
TEST_F(DtlsTest, SessionReuseAndReopenFlags)
{
    dtls_sim_session s;
    ASSERT_TRUE(s.open());
    sim::gateway &gw = *s.gw;
    dtls_link &link = s.link;
    const std::string &gwa = s.gwa;

    ASSERT_TRUE(s.first_frame(frame_a));
    ASSERT_EQ(link.send(gwa, frame_b), 0);
    ASSERT_TRUE(gw.wait_for([](const sim::recorded_frame &r) { return r.bytes == frame_b; }, 5000ms));
    EXPECT_EQ(gw.dtls_stats().handshakes, 1u);
    EXPECT_EQ(gw.dtls_stats().last_identity, "");

    ASSERT_EQ(link.send(gwa, frame_c, TPT_FLAG_DTLS_NEW), 0);
    ASSERT_TRUE(gw.wait_for([](const sim::recorded_frame &r) { return r.bytes == frame_c; }, 10000ms));
    EXPECT_EQ(gw.dtls_stats().handshakes, 2u);
    EXPECT_TRUE(eventually([&] { return gw.dtls_stats().peer_closes == 1; }, 3000ms));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(sim_count(gw, frame_c), 1u);

    const bytes frame_d = {0x23, 0x02, 0x80, 0x50, 0x14, 0x00, 0x00, 0x20, 0x02};
    ASSERT_EQ(link.send(gwa, frame_d, TPT_FLAG_HOST_PORT), 0);
    const auto d = gw.wait_for([&](const sim::recorded_frame &r) { return r.bytes == frame_d; }, 10000ms);
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->peer.port, link.host_port());
    EXPECT_EQ(gw.dtls_stats().handshakes, 3u);
    ASSERT_EQ(link.send(gwa, frame_a, TPT_FLAG_HOST_PORT), 0);
    ASSERT_TRUE(eventually([&] { return sim_count(gw, frame_a) == 2; }, 5000ms));
    EXPECT_EQ(gw.dtls_stats().handshakes, 3u);

    sim::own_packet p;
    p.command = {0x25, 0x03, 0xFF};
    p.ack_request = false;
    ASSERT_GE(gw.send_packet(p), 0);
    EXPECT_TRUE(link.wait_rx([](const rx_rec &r) { return r.data.size() > 7 && r.data[7] == 0x25; }, 5000ms));
    EXPECT_EQ(log_count("Warning: received non client hello msg:"), 0u);

    const size_t closes = gw.dtls_stats().peer_closes;
    link.close();
    EXPECT_TRUE(eventually([&] { return gw.dtls_stats().peer_closes == closes + 1; }, 3000ms));
}

// Keep-alives on a fast tick (a DTLS tick of 20 ms): an idle client session
// is probed five times, marked expiring and closed; the gateway's answers are
// not passed up, its own keep-alive request is.
TEST_F(DtlsTest, IdleClientSessionProbedThenClosed)
{
    dtls_sim_session s;
    ASSERT_TRUE(s.open(0, 2));
    sim::gateway &gw = *s.gw;
    dtls_link &link = s.link;
    const std::string &gwa = s.gwa;

    ASSERT_TRUE(s.first_frame(frame_a));
    ASSERT_GE(gw.send_keep_alive(), 0);
    EXPECT_TRUE(link.wait_rx_bytes({0x23, 0x03, 0x80}, 5000ms));

    ASSERT_TRUE(eventually([&] { return gw.dtls_stats().peer_closes == 1; }, 20000ms));
    EXPECT_EQ(sim_keep_alives(gw), 5u);
    for (const rx_rec &r : link.received())
        EXPECT_NE(r.data, keep_alive_answer);

    // The next datagram opens a new session.
    ASSERT_EQ(link.send(gwa, frame_b), 0);
    ASSERT_TRUE(gw.wait_for([](const sim::recorded_frame &r) { return r.bytes == frame_b; }, 10000ms));
    EXPECT_EQ(gw.dtls_stats().handshakes, 2u);
}

// An unanswered keep-alive closes the session at the next pass.
TEST_F(DtlsTest, UnansweredKeepAliveClosesSession)
{
    dtls_sim_session s;
    ASSERT_TRUE(s.open(0, 2));
    sim::gateway &gw = *s.gw;
    gw.set_answer_keep_alives(false);

    ASSERT_TRUE(s.first_frame(frame_a));
    ASSERT_TRUE(eventually([&] { return gw.dtls_stats().peer_closes == 1; }, 10000ms));
    EXPECT_EQ(sim_keep_alives(gw), 1u);
}

// A server session whose peer falls silent for 60 ticks is closed.
TEST_F(DtlsTest, SilentServerSessionExpires)
{
    dtls_link link;
    ASSERT_EQ(link.open("127.0.0.1", key_a, 0, 2), 0);
    child_proc client;
    ASSERT_TRUE(start_s_client(client, link.host_port(), key_a));
    ASSERT_TRUE(client.wait_output("Cipher is PSK-AES256-CBC-SHA", 10000ms)) << client.output();
    // 60 ticks of 20 ms, then our close notification ends s_client.
    EXPECT_TRUE(client.wait_exit(10000ms)) << client.output();
}

// A flood of junk on the listening socket does not stall the sessions.
TEST_F(DtlsTest, JunkFloodDoesNotStallSessions)
{
    dtls_sim_session s;
    ASSERT_TRUE(s.open());
    sim::gateway &gw = *s.gw;
    dtls_link &link = s.link;
    const std::string &gwa = s.gwa;
    ASSERT_TRUE(s.first_frame(frame_a));

    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        raw_udp raw;
        const bytes junk(200, 0x5A);
        while (flooding.load())
            (void)raw.send(link.host_port(), junk);
    });
    std::this_thread::sleep_for(300ms);
    bool all = true;
    for (uint8_t seq = 0; seq < 10 && all; ++seq) {
        const bytes f = {0x23, 0x02, 0x80, 0x50, static_cast<uint8_t>(0x40 + seq), 0x00, 0x00, 0x20, 0x02};
        const auto sent = steady::now();
        ASSERT_EQ(link.send(gwa, f), 0);
        all = gw.wait_for([&](const sim::recorded_frame &r) { return r.bytes == f; }, 3000ms).has_value();
        EXPECT_TRUE(all) << "frame " << int(seq) << " not delivered during the flood";
        EXPECT_LT(steady::now() - sent, 3000ms);
    }
    flooding.store(false);
    flood.join();
    EXPECT_GT(log_count("Warning: received non client hello msg:"), 0u);
}

// The table holds 232 peers: the 233rd is refused, and its session and
// socket are released each time.
TEST_F(DtlsTest, PeerTableFullRefusesThe233rd)
{
    dtls_sim_session s;
    ASSERT_TRUE(s.open(233));
    sim::gateway &gw = *s.gw;
    dtls_link &link = s.link;

    auto peer = [&](int n) { return s.addr(n); };
    for (int n = 1; n <= 232; ++n)
        ASSERT_EQ(link.send(peer(n), frame_a), 0);
    ASSERT_TRUE(eventually([&] { return gw.dtls_stats().handshakes == 232; }, 60000ms))
        << gw.dtls_stats().handshakes;
    ASSERT_TRUE(eventually([&] { return sim_count(gw, frame_a) == 232; }, 10000ms));
    EXPECT_EQ(log_count("table is full"), 0u);

    const size_t fds = open_fd_count();
    for (int round = 1; round <= 2; ++round) {
        ASSERT_EQ(link.send(peer(233), frame_b), 0);
        ASSERT_TRUE(eventually([&] { return log_count("Error: \"IP address - ssl\" table is full!") == size_t(round); },
                               10000ms));
        EXPECT_TRUE(eventually([&] { return open_fd_count() == fds; }, 2000ms)) << open_fd_count() << " vs " << fds;
    }
    EXPECT_EQ(sim_count(gw, frame_b), 0u);
    // The peers in the table are still served.
    ASSERT_EQ(link.send(peer(100), frame_c), 0);
    EXPECT_TRUE(gw.wait_for([](const sim::recorded_frame &r) { return r.bytes == frame_c; }, 5000ms));
}

// A key longer than the 32 bytes the transport holds is refused at init
// without showing it; 32 bytes are fine.
TEST_F(DtlsTest, KeyLengthBounded)
{
    {
        dtls_link link;
        EXPECT_NE(link.open("127.0.0.1", key_a, 0, 0, 33), 0);
    }
    EXPECT_EQ(log_count("pre-shared key length 33"), 1u);
    for (const std::string &l : log_lines())
        EXPECT_EQ(l.find("00 11 22 33"), std::string::npos) << l;
    dtls_link link;
    EXPECT_EQ(link.open("127.0.0.1", bytes(32, 0x42)), 0);
}

// Descriptor 0 is a socket like any other: a session on it carries data both
// ways, is closed when flag 0x01 replaces it, and exit closes it.
TEST_F(DtlsTest, SessionOnDescriptorZero)
{
    dtls_sim_session s;
    ASSERT_TRUE(s.open());
    sim::gateway &gw = *s.gw;
    dtls_link &link = s.link;
    const std::string &gwa = s.gwa;

    const int saved = dup(0);
    ASSERT_GE(saved, 0);
    close(0);
    auto restore = [&] {
        dup2(saved, 0);
        close(saved);
    };
    auto on_fd0_to_gateway = [&] {
        tpt_sockaddr_t peer{};
        socklen_t len = sizeof peer;
        return getpeername(0, &peer.sa, &len) == 0 && ntohs(peer.v4.sin_port) == DTLS_PEER_PORT;
    };

    EXPECT_EQ(link.send(gwa, frame_a), 0);
    EXPECT_TRUE(gw.wait_for([](const sim::recorded_frame &r) { return r.bytes == frame_a; }, 10000ms));
    EXPECT_TRUE(on_fd0_to_gateway());
    sim::own_packet p;
    p.command = {0x25, 0x03, 0x00};
    p.ack_request = false;
    EXPECT_GE(gw.send_packet(p), 0);
    EXPECT_TRUE(link.wait_rx([](const rx_rec &r) { return r.data.size() > 7 && r.data[7] == 0x25; }, 5000ms));

    // The replaced session's descriptor is freed first, so the new one is 0 again.
    EXPECT_EQ(link.send(gwa, frame_b, TPT_FLAG_DTLS_NEW), 0);
    EXPECT_TRUE(gw.wait_for([](const sim::recorded_frame &r) { return r.bytes == frame_b; }, 10000ms));
    EXPECT_EQ(gw.dtls_stats().handshakes, 2u);
    EXPECT_TRUE(on_fd0_to_gateway());

    link.close();
    EXPECT_EQ(fcntl(0, F_GETFD), -1);
    restore();
}

// IPv6: a client session to s_server on ::1 and a server session that
// s_client opens to our host port on ::1, frames both ways.
TEST_F(DtlsTest, Ipv6SessionsBothWays)
{
    child_proc server;
    ASSERT_EQ(start_s_server(server, key_a, true), "::1") << server.output();
    dtls_link link;
    ASSERT_EQ(link.open("::1", key_a), 0);
    ASSERT_EQ(link.send("::1", frame_a), 0);
    EXPECT_TRUE(server.wait_output(frame_a, 10000ms)) << server.output();
    ASSERT_TRUE(server.write_in(frame_c));
    const auto got = link.wait_rx_bytes(frame_c, 5000ms);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->src, "::1");
    EXPECT_EQ(got->family, 0);

    server.stop();
    child_proc client;
    ASSERT_TRUE(start_s_client(client, link.host_port(), key_a, "[::1]"));
    ASSERT_TRUE(client.wait_output("Cipher is PSK-AES256-CBC-SHA", 10000ms)) << client.output();
    ASSERT_TRUE(client.write_in(std::string("six\n")));
    EXPECT_TRUE(link.wait_rx_bytes({'s', 'i', 'x', '\n'}, 5000ms).has_value());
    // Now the peer's own session (direction 1) carries our frames to it.
    ASSERT_EQ(link.send("::1", frame_b), 0);
    EXPECT_TRUE(client.wait_output(frame_b, 5000ms)) << client.output();
}
