// Latency of the device road: interface_switch_multilevel_get (not passive)
// through kestrund to a simulated dimmer and back, next to a bare UDP round
// trip to the same simulated node measured in the same run. The bare trip
// sends what the daemon's library sends for that get (a Z/IP packet asking
// for an ACK, carrying Multilevel Switch Get) and waits for the ACK and the
// Multilevel Switch Report, the device's whole answer: the difference of
// the two is what the daemon and its library add.
//
// Requests go one at a time. The roads take turns for three rounds of
// REQUESTS each; each round is printed, then the medians of the rounds.
// Afterwards the simulator's log, when given, tells whether every answered
// request of the road reached the node, and how many of them the simulator
// took for resends.
//
// Usage: kestrund_device_bench ZWAVE_AVSC NODE_ADDRESS [REQUESTS [SIM_LOG]]
#include <avro.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;
using bytes = std::vector<uint8_t>;

constexpr const char *k_network_id = "01-02-03-04-05-06-07-08";
constexpr int k_node = 2;
constexpr int k_endpoint = 0;
constexpr int k_class = 0x26;
constexpr uint16_t k_port = 4123;
constexpr int k_rounds = 3;
constexpr int k_warm_up = 200;
// The goal: what the daemon adds to the device's own round trip.
constexpr double k_goal_p50_us = 500;
constexpr double k_goal_p99_us = 2000;

sockaddr_un kestrund_address()
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const char name[] = "kestrund_socket";
    std::memcpy(address.sun_path + 1, name, sizeof name - 1);
    return address;
}

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "kestrund_device_bench: %s%s%s\n", what, avro_strerror()[0] ? ": " : "", avro_strerror());
    std::exit(2);
}

// The protocol file's "types" union, for writing requests and reading replies.
class protocol {
public:
    explicit protocol(const char *avsc)
    {
        std::ifstream file(avsc);
        std::stringstream text;
        text << file.rdbuf();
        const std::string json = text.str();
        if (avro_schema_from_json_length(json.data(), json.size(), &protocol_) != 0)
            fail("cannot read the protocol file");
        types_ = avro_schema_record_field_get(protocol_, "types");
        types_iface_ = avro_generic_class_from_schema(types_);
        int index = -1;
        cookies_iface_ = avro_generic_class_from_schema(avro_schema_union_branch_by_name(types_, &index, "Cookies"));
        if (!types_iface_ || !cookies_iface_)
            fail("the protocol file has no types union with Cookies");
    }
    ~protocol()
    {
        avro_value_iface_decref(cookies_iface_);
        avro_value_iface_decref(types_iface_);
        avro_schema_decref(protocol_);
    }
    protocol(const protocol &) = delete;
    protocol &operator=(const protocol &) = delete;

    // A request frame: the length, Cookies, the message name and the
    // request record of `branch`, which `fill` writes.
    template <typename Fill> bytes request(const char *name, const char *branch, Fill fill) const
    {
        int index = -1;
        if (!avro_schema_union_branch_by_name(types_, &index, branch))
            fail("the protocol file lacks a request record");
        avro_value_t cookies, field, user, message, value, record;
        avro_generic_value_new(cookies_iface_, &cookies);
        avro_value_get_by_name(&cookies, "user", &field, nullptr);
        avro_value_set_branch(&field, 0, &user);
        avro_value_set_string(&user, "bench");
        avro_generic_string_new(&message, name);
        avro_generic_value_new(types_iface_, &value);
        avro_value_set_branch(&value, index, &record);
        fill(record);
        bytes frame(4096);
        avro_writer_t writer = avro_writer_memory(reinterpret_cast<char *>(frame.data()) + 4, frame.size() - 4);
        if (avro_value_write(writer, &cookies) || avro_value_write(writer, &message) ||
            avro_value_write(writer, &value))
            fail("cannot write a request");
        const auto n = static_cast<uint32_t>(avro_writer_tell(writer));
        avro_writer_free(writer);
        frame.resize(n + 4);
        frame[0] = uint8_t(n >> 24);
        frame[1] = uint8_t(n >> 16);
        frame[2] = uint8_t(n >> 8);
        frame[3] = uint8_t(n);
        avro_value_decref(&cookies);
        avro_value_decref(&message);
        avro_value_decref(&value);
        return frame;
    }

    // The reply record's type name, and `look` run on it; "" when the bytes
    // are no whole reply frame.
    template <typename Look> std::string reply(const bytes &frame, Look look) const
    {
        if (frame.size() < 4)
            return "";
        const size_t n = (size_t(frame[0]) << 24) | (size_t(frame[1]) << 16) | (size_t(frame[2]) << 8) | frame[3];
        if (n != frame.size() - 4)
            return "";
        avro_reader_t reader = avro_reader_memory(reinterpret_cast<const char *>(frame.data()) + 4, int64_t(n));
        avro_value_t value, record;
        avro_generic_value_new(types_iface_, &value);
        std::string name;
        if (avro_value_read(reader, &value) == 0 && avro_value_get_current_branch(&value, &record) == 0) {
            name = avro_schema_name(avro_value_get_schema(&record));
            look(record);
        }
        avro_value_decref(&value);
        avro_reader_free(reader);
        return name;
    }

private:
    avro_schema_t protocol_ = nullptr;
    avro_schema_t types_ = nullptr;
    avro_value_iface_t *types_iface_ = nullptr;
    avro_value_iface_t *cookies_iface_ = nullptr;
};

bytes network_request(const protocol &avro, const char *name)
{
    return avro.request(name, "NetworkRequest", [](avro_value_t &record) {
        avro_value_t command, network, id, utime;
        avro_value_get_by_name(&record, "command", &command, nullptr);
        avro_value_get_by_name(&command, "network", &network, nullptr);
        avro_value_get_by_name(&network, "id", &id, nullptr);
        avro_value_set_string(&id, k_network_id);
        avro_value_get_by_name(&command, "utime", &utime, nullptr);
        avro_value_set_long(&utime, 0);
    });
}

bytes level_get_request(const protocol &avro)
{
    return avro.request("interface_switch_multilevel_get", "InterfaceRequest", [](avro_value_t &record) {
        avro_value_t command, interface, endpoint, node, network, id, passive;
        avro_value_get_by_name(&record, "command", &command, nullptr);
        avro_value_get_by_name(&command, "interface", &interface, nullptr);
        avro_value_get_by_name(&interface, "endpoint", &endpoint, nullptr);
        avro_value_get_by_name(&endpoint, "node", &node, nullptr);
        avro_value_get_by_name(&node, "network", &network, nullptr);
        avro_value_get_by_name(&network, "id", &id, nullptr);
        avro_value_set_string(&id, k_network_id);
        avro_value_get_by_name(&node, "id", &id, nullptr);
        avro_value_set_int(&id, k_node);
        avro_value_get_by_name(&endpoint, "id", &id, nullptr);
        avro_value_set_int(&id, k_endpoint);
        avro_value_get_by_name(&interface, "id", &id, nullptr);
        avro_value_set_int(&id, k_class);
        avro_value_get_by_name(&command, "passive", &passive, nullptr);
        avro_value_set_boolean(&passive, 0);
    });
}

// One exchange with the daemon: connect, write the frame, read until it
// closes. Empty when it cannot be reached.
bytes exchange(const bytes &frame)
{
    static const sockaddr_un address = kestrund_address();
    bytes reply;
    const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0)
        return reply;
    if (connect(sock, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 &&
        send(sock, frame.data(), frame.size(), MSG_NOSIGNAL) == ssize_t(frame.size())) {
        uint8_t chunk[4096];
        for (;;) {
            const ssize_t n = recv(sock, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            reply.insert(reply.end(), chunk, chunk + n);
        }
    }
    close(sock);
    return reply;
}

bool initialised(const protocol &avro, const bytes &summary_request)
{
    int flag = 0;
    const std::string name = avro.reply(exchange(summary_request), [&](avro_value_t &record) {
        avro_value_t parameter, field;
        if (avro_value_get_by_name(&record, "parameter", &parameter, nullptr) == 0 &&
            avro_value_get_by_name(&parameter, "is_initialized", &field, nullptr) == 0)
            avro_value_get_int(&field, &flag);
    });
    return name == "NetworkSummaryResponse" && flag == 1;
}

// The Z/IP side: a UDP socket connected to the node's port, sending
// Multilevel Switch Get as the daemon's library sends it (ACK requested,
// secure, the encapsulation-format option in a header extension).
//
// The simulator takes a frame that repeats the bytes, sequence number
// included, of one from the same address and port within its resend window
// (6 s) for a resend: it answers the ACK only, and the node never sees the
// frame. A sequence number has 8 bits, so the client takes a new socket,
// and with it a new port, before it would use one a second time.
class bare_node {
public:
    explicit bare_node(const char *node_address)
    {
        to_.sin_family = AF_INET;
        to_.sin_port = htons(k_port);
        if (inet_pton(AF_INET, node_address, &to_.sin_addr) != 1) {
            std::fprintf(stderr, "kestrund_device_bench: bad node address %s\n", node_address);
            std::exit(2);
        }
        open();
    }
    ~bare_node() { close(sock_); }
    bare_node(const bare_node &) = delete;
    bare_node &operator=(const bare_node &) = delete;

    // Every port the client sent from.
    const std::vector<uint16_t> &ports() const { return ports_; }

    // Before the clock starts: a new socket once this one's sequence
    // numbers are used up.
    void prepare()
    {
        if (seq_ == 0xFF) {
            open();
            seq_ = 0;
        }
    }

    // Sends one Get and waits for its ACK and the report that follows it.
    bool round_trip()
    {
        const uint8_t seq = ++seq_;
        const uint8_t packet[] = {0x23, 0x02, 0x80, 0xD0, seq, 0x00, 0x00, 0x05, 0x84, 0x02, 0x00, 0x00, 0x26, 0x02};
        if (send(sock_, packet, sizeof packet, 0) != ssize_t(sizeof packet))
            return false;
        bool acked = false;
        bool reported = false;
        const auto deadline = steady::now() + std::chrono::seconds(2);
        while (!acked || !reported) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
            if (left.count() <= 0)
                return false;
            pollfd p{sock_, POLLIN, 0};
            if (poll(&p, 1, int(left.count()) + 1) <= 0)
                continue;
            uint8_t in[1500];
            const ssize_t n = recv(sock_, in, sizeof in, 0);
            if (n < 7 || in[0] != 0x23 || in[1] != 0x02)
                continue;
            if ((in[2] & 0x40) && in[4] == seq) {
                acked = true;
                continue;
            }
            // A command, after the header extension when there is one.
            const size_t at = 7 + ((in[3] & 0x80) && n > 7 ? in[7] : 0);
            if ((in[3] & 0x40) && size_t(n) >= at + 2 && in[at] == 0x26 && in[at + 1] == 0x03)
                reported = true;
        }
        return true;
    }

private:
    void open()
    {
        if (sock_ >= 0)
            close(sock_);
        sock_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (sock_ < 0 || connect(sock_, reinterpret_cast<const sockaddr *>(&to_), sizeof to_) != 0) {
            std::perror("kestrund_device_bench: udp");
            std::exit(2);
        }
        sockaddr_in own{};
        socklen_t size = sizeof own;
        getsockname(sock_, reinterpret_cast<sockaddr *>(&own), &size);
        ports_.push_back(ntohs(own.sin_port));
    }

    sockaddr_in to_{};
    int sock_ = -1;
    uint8_t seq_ = 0;
    std::vector<uint16_t> ports_;
};

struct run {
    double p50_us = 0;
    double p99_us = 0;
    long failures = 0;
};

template <typename Once, typename Prepare> run measure(int count, Once once, Prepare prepare)
{
    std::vector<double> took;
    took.reserve(size_t(count));
    run out;
    for (int i = 0; i < count; i++) {
        prepare();
        const auto began = steady::now();
        const bool ok = once();
        const double us = std::chrono::duration<double, std::micro>(steady::now() - began).count();
        if (ok)
            took.push_back(us);
        else
            out.failures++;
    }
    if (took.empty())
        return out;
    std::sort(took.begin(), took.end());
    out.p50_us = took[took.size() / 2];
    out.p99_us = took[std::min(took.size() - 1, took.size() * 99 / 100)];
    return out;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

// What the simulator's log shows of the Multilevel Switch Get frames the
// node received from others than the bare client: how many, and how many of
// them it took for resends (answered with the ACK alone).
struct node_view {
    long gets = -1;
    long resends = 0;
};

node_view gets_from_daemon(const char *log, const char *node_address, const std::vector<uint16_t> &bare_ports)
{
    std::ifstream in(log);
    node_view out;
    if (!in)
        return out;
    out.gets = 0;
    char to_text[96];
    std::snprintf(to_text, sizeof to_text, " rx %s:%u <- ", node_address, unsigned(k_port));
    const std::string to = to_text;
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find(to);
        if (at == std::string::npos || line.find(" cmd 26 02 ") == std::string::npos)
            continue;
        const size_t peer = at + to.size();
        const size_t colon = line.find(':', peer);
        const size_t peer_end = line.find(" |", peer);
        if (colon == std::string::npos || peer_end == std::string::npos || colon > peer_end)
            continue;
        const auto port = uint16_t(std::atoi(line.c_str() + colon + 1));
        if (std::find(bare_ports.begin(), bare_ports.end(), port) != bare_ports.end())
            continue;
        out.gets++;
        if (line.find(" resend]") != std::string::npos)
            out.resends++;
    }
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s ZWAVE_AVSC NODE_ADDRESS [REQUESTS [SIM_LOG]]\n", argv[0]);
        return 2;
    }
    const protocol avro(argv[1]);
    const char *node_address = argv[2];
    const int count = argc > 3 ? std::max(1, std::atoi(argv[3])) : 2000;
    const char *sim_log = argc > 4 ? argv[4] : nullptr;

    // The network first, then the dimmer's interface (its interview may end
    // after the network counts as initialised).
    const bytes summary = network_request(avro, "network_summary_get");
    const auto deadline = steady::now() + std::chrono::seconds(90);
    while (!initialised(avro, summary)) {
        if (steady::now() > deadline) {
            std::fprintf(stderr, "kestrund_device_bench: the network did not initialise\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    const bytes get = level_get_request(avro);
    long level = -1;
    long answered = 0;
    const auto road_once = [&] {
        const bytes reply = exchange(get);
        const bool ok = avro.reply(reply, [](avro_value_t &) {}) == "InterfaceValueGetResponse";
        answered += ok;
        return ok;
    };
    for (;;) {
        int value = -1;
        const std::string name = avro.reply(exchange(get), [&](avro_value_t &record) {
            avro_value_t parameter, field;
            if (avro_value_get_by_name(&record, "parameter", &parameter, nullptr) == 0 &&
                avro_value_get_by_name(&parameter, "value", &field, nullptr) == 0)
                avro_value_get_int(&field, &value);
        });
        if (name == "InterfaceValueGetResponse") {
            answered++;
            level = value;
            break;
        }
        if (steady::now() > deadline) {
            std::fprintf(stderr, "kestrund_device_bench: interface_switch_multilevel_get is not answered (%s)\n",
                         name.empty() ? "no reply" : name.c_str());
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }

    bare_node bare(node_address);
    const auto bare_once = [&] { return bare.round_trip(); };
    const auto bare_prepare = [&] { bare.prepare(); };
    const auto road_prepare = [] {};
    std::printf("interface_switch_multilevel_get of node %d (level %ld) through kestrund, and Multilevel Switch Get "
                "over UDP to %s:%u; %d requests per road and round\n",
                k_node, level, node_address, unsigned(k_port), count);
    measure(k_warm_up, road_once, road_prepare);
    measure(k_warm_up, bare_once, bare_prepare);

    std::printf("%7s | %9s %9s | %9s %9s | %9s %9s\n", "round", "road p50", "p99 us", "bare p50", "p99 us",
                "+p50 us", "+p99 us");
    std::vector<double> road_p50, road_p99, bare_p50, bare_p99, extra_p50, extra_p99;
    long road_failures = 0, bare_failures = 0;
    for (int round = 1; round <= k_rounds; round++) {
        const run road = measure(count, road_once, road_prepare);
        const run direct = measure(count, bare_once, bare_prepare);
        road_failures += road.failures;
        bare_failures += direct.failures;
        road_p50.push_back(road.p50_us);
        road_p99.push_back(road.p99_us);
        bare_p50.push_back(direct.p50_us);
        bare_p99.push_back(direct.p99_us);
        extra_p50.push_back(road.p50_us - direct.p50_us);
        extra_p99.push_back(road.p99_us - direct.p99_us);
        std::printf("%7d | %9.1f %9.1f | %9.1f %9.1f | %9.1f %9.1f\n", round, road.p50_us, road.p99_us,
                    direct.p50_us, direct.p99_us, extra_p50.back(), extra_p99.back());
        std::fflush(stdout);
    }
    const double p50 = median(extra_p50);
    const double p99 = median(extra_p99);
    std::printf("%7s | %9.1f %9.1f | %9.1f %9.1f | %9.1f %9.1f\n", "median", median(road_p50), median(road_p99),
                median(bare_p50), median(bare_p99), p50, p99);
    std::printf("goal: the road within %.0f us of the bare trip at p50 (%s), within %.0f us at p99 (%s)\n",
                k_goal_p50_us, p50 <= k_goal_p50_us ? "met" : "missed", k_goal_p99_us,
                p99 <= k_goal_p99_us ? "met" : "missed");
    int status = 0;
    if (road_failures || bare_failures) {
        std::printf("failed requests: road %ld, bare %ld\n", road_failures, bare_failures);
        status = 1;
    }
    if (sim_log) {
        // Every answered get of the road (warm-up included) must have gone to
        // the node.
        const node_view seen = gets_from_daemon(sim_log, node_address, bare.ports());
        std::printf("the node received %ld Multilevel Switch Get frames from the daemon for %ld answered requests",
                    seen.gets, answered);
        if (seen.resends)
            std::printf("; %ld of them repeated an earlier frame's sequence number within the simulator's resend "
                        "window and were answered with the ACK alone",
                        seen.resends);
        std::printf("\n");
        if (seen.gets < answered)
            status = 1;
    }
    return status;
}
