#include "hcapi/zip/zip_discvr.h"

#include "hcapi/zip/zip_platform.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <random>
#include <thread>
#include <type_traits>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A gateway answers within milliseconds; collection ends this long after the
// last datagram.
constexpr milliseconds rsp_idle_wait{2000};
// A host on the LAN that keeps sending datagrams (junk or not) must not hold
// the collection open for ever: it ends this long after the probe at most.
constexpr milliseconds rsp_max_wait{5000};
// How often a waiting discovery thread looks at its run flag.
constexpr milliseconds run_poll{100};
// Start waits this long for the thread to report running, stop for it to end.
constexpr milliseconds thrd_wait{5000};

constexpr uint8_t zip_cls = 0x23;
constexpr uint8_t zip_pkt = 0x02;
constexpr uint8_t zip_flag_cmd = 0x40;      // byte 3: a command is included
constexpr uint8_t zip_flag_hdr_ext = 0x80;  // byte 3: header extension present
constexpr size_t zip_hdr_len = 7;
constexpr uint8_t nm_proxy_cls = 0x52;
constexpr uint8_t node_info_cached_get = 0x03;
constexpr uint8_t node_info_cached_rpt = 0x04;
constexpr size_t rsp_min_len = 14;

void show(const char *format, ...) __attribute__((format(printf, 1, 2)));
void show(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::vprintf(format, ap);
    va_end(ap);
    std::fflush(stdout);
}

// Shared between the handle and the discovery thread; whichever lets go last
// frees it, so a thread that outlives its stop still has valid state.
struct discvr_state {
    std::atomic<int> refs{2};
    std::atomic<bool> run{true};
    int ipv4 = 0;

    std::mutex mtx;  // guards the fields below; never held across a callback
    zip_gw_discvr_cb_t cb = nullptr;
    void *user = nullptr;
    std::condition_variable cv;
    bool thrd_running = false;
    bool thrd_ended = false;
    bool in_cb = false;
    std::thread::id thrd_id;
};

void state_release(discvr_state *st)
{
    if (st->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete st;
}

// Calls the result callback unless stop has begun; stop waits for a call in
// progress, so no call starts or runs once stop has returned.
void result_report(discvr_state *st, const uint8_t *addrs, uint8_t count, int done, int total)
{
    zip_gw_discvr_cb_t cb;
    void *user;
    {
        std::lock_guard<std::mutex> lk(st->mtx);
        if (!st->run.load())
            return;
        st->in_cb = true;
        cb = st->cb;
        user = st->user;
    }
    if (cb != nullptr)
        cb(addrs, count, st->ipv4, user, done, total, nullptr);
    {
        std::lock_guard<std::mutex> lk(st->mtx);
        st->in_cb = false;
    }
    st->cv.notify_all();
}

struct fd_guard {
    int fd = -1;
    ~fd_guard()
    {
        if (fd >= 0)
            close(fd);
    }
    int release()
    {
        int f = fd;
        fd = -1;
        return f;
    }
};

int zip_gw_probe_v4_snd(const uint8_t *local, const uint8_t *probe, int *sock_out)
{
    fd_guard s;
    s.fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s.fd < 0)
        return -1;
    int on = 1;
    if (setsockopt(s.fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
        return -2;
    sockaddr_in me{};
    me.sin_family = AF_INET;
    std::memcpy(&me.sin_addr, local, 4);
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, local, text, sizeof text);
    show("Binding to host IP:%s\n", text);
    if (bind(s.fd, reinterpret_cast<sockaddr *>(&me), sizeof me) != 0) {
        show("Bind failed\n");
        return -3;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(ZIP_DISCVR_PORT);
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    ssize_t n = sendto(s.fd, probe, ZIP_DISCVR_PROBE_LEN, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    if (n != static_cast<ssize_t>(ZIP_DISCVR_PROBE_LEN))
        return -3;
    *sock_out = s.release();
    return 0;
}

int zip_gw_probe_v6_snd(const util_if_addr6_t &local, const uint8_t *probe, int *sock_out)
{
    fd_guard s;
    s.fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s.fd < 0) {
        show("Open socket failed\n");
        return -1;
    }
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(AF_INET6, local.addr, text, sizeof text);
    show("Binding to host IP:%s, interface index: %u\n", text, local.if_idx);
    unsigned idx = local.if_idx;
    if (setsockopt(s.fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &idx, sizeof idx) != 0)
        return -2;
    sockaddr_in6 me{};
    me.sin6_family = AF_INET6;
    std::memcpy(&me.sin6_addr, local.addr, 16);
    if (bind(s.fd, reinterpret_cast<sockaddr *>(&me), sizeof me) != 0) {
        show("Bind failed\n");
        return -3;
    }
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(ZIP_DISCVR_PORT);
    inet_pton(AF_INET6, "ff02::2", &to.sin6_addr);
    ssize_t n = sendto(s.fd, probe, ZIP_DISCVR_PROBE_LEN, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    if (n != static_cast<ssize_t>(ZIP_DISCVR_PROBE_LEN)) {
        show("Send to IPv6 'all routers' address failed\n");
        return -3;
    }
    *sock_out = s.release();
    return 0;
}

// Collects matching answers on the probe's socket into `out` (4 or 16 bytes
// each) until 2 s pass without a datagram, the overall bound runs out, the
// maximum is reached or the discovery is stopped.
int zip_gw_probe_rsp_get(const discvr_state *st, int sock, uint8_t nm_seq, int max, std::vector<uint8_t> &out)
{
    const size_t addr_len = st->ipv4 ? 4 : 16;
    const auto end_all = steady::now() + rsp_max_wait;
    auto end_idle = steady::now() + rsp_idle_wait;
    int taken = 0;
    uint8_t buf[ZIP_DISCVR_RX_MAX];
    while (taken < max && st->run.load()) {
        auto now = steady::now();
        auto end = end_idle < end_all ? end_idle : end_all;
        if (now >= end)
            break;
        auto left = std::chrono::duration_cast<milliseconds>(end - now) + milliseconds(1);
        if (left > run_poll)
            left = run_poll;
        pollfd p{sock, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            show("select failed\n");
            break;
        }
        if (r == 0)
            continue;
        sockaddr_storage from{};
        socklen_t from_len = sizeof from;
        ssize_t n = recvfrom(sock, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from), &from_len);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            show("udp rcx error\n");
            break;
        }
        end_idle = steady::now() + rsp_idle_wait;
        if (n == 0 || !zip_gw_probe_rsp_match(buf, static_cast<size_t>(n), nm_seq))
            continue;
        const uint8_t *addr = nullptr;
        if (st->ipv4 && from.ss_family == AF_INET && from_len >= sizeof(sockaddr_in))
            addr = reinterpret_cast<const uint8_t *>(&reinterpret_cast<const sockaddr_in *>(&from)->sin_addr);
        else if (!st->ipv4 && from.ss_family == AF_INET6 && from_len >= sizeof(sockaddr_in6))
            addr = reinterpret_cast<const uint8_t *>(&reinterpret_cast<const sockaddr_in6 *>(&from)->sin6_addr);
        if (addr == nullptr)
            continue;
        out.insert(out.end(), addr, addr + addr_len);
        ++taken;
    }
    return taken;
}

void zip_gw_discvr_thrd(void *data)
{
    auto *st = static_cast<discvr_state *>(data);
    {
        std::lock_guard<std::mutex> lk(st->mtx);
        st->thrd_running = true;
        st->thrd_id = std::this_thread::get_id();
    }
    st->cv.notify_all();

    std::random_device rd;
    std::mt19937 gen(static_cast<uint32_t>(std::time(nullptr)) ^ rd());
    const uint8_t seq = static_cast<uint8_t>(gen());
    const uint8_t nm_seq = static_cast<uint8_t>(gen());
    uint8_t probe[ZIP_DISCVR_PROBE_LEN];
    zip_gw_probe_bld(seq, nm_seq, probe);

    std::vector<uint8_t> v4(static_cast<size_t>(ZIP_DISCVR_MAX_IF_ADDR) * 4);
    std::vector<util_if_addr6_t> v6(static_cast<size_t>(ZIP_DISCVR_MAX_IF_ADDR));
    const int total = st->ipv4 ? util_if_addr_list(ZIP_DISCVR_MAX_IF_ADDR, v4.data(), 1)
                               : util_if_addr_list(ZIP_DISCVR_MAX_IF_ADDR, v6.data(), 0);
    if (total <= 0) {
        result_report(st, nullptr, 0, 0, 0);
    } else {
        std::vector<uint8_t> found;
        for (int i = 0; i < total && st->run.load(); ++i) {
            found.clear();
            int sock = -1;
            int r = st->ipv4 ? zip_gw_probe_v4_snd(&v4[static_cast<size_t>(i) * 4], probe, &sock)
                             : zip_gw_probe_v6_snd(v6[static_cast<size_t>(i)], probe, &sock);
            int count = 0;
            if (r == 0) {
                count = zip_gw_probe_rsp_get(st, sock, nm_seq, ZIP_DISCVR_MAX_ANSWERS, found);
                close(sock);
                if (count > 0)
                    show("Gw discovery received %d responses\n", count);
            }
            result_report(st, count > 0 ? found.data() : nullptr, static_cast<uint8_t>(count), i + 1, total);
        }
    }

    {
        std::lock_guard<std::mutex> lk(st->mtx);
        st->thrd_running = false;
        st->thrd_ended = true;
        // Notify under the lock: once it is released the stopper may let go
        // of its share, and only our own release below may free the state.
        st->cv.notify_all();
    }
    state_release(st);
}

}  // namespace

struct zip_gw_discvr_t {
    uint32_t tag;  // ZIP_GW_DISCVR_TAG while the handle is live
    discvr_state *st;
};
// The stop of the mDNS discovery reads the tag through a handle of either kind.
static_assert(std::is_standard_layout_v<zip_gw_discvr_t> && offsetof(zip_gw_discvr_t, tag) == 0);

void zip_gw_probe_bld(uint8_t seq, uint8_t nm_seq, uint8_t out[ZIP_DISCVR_PROBE_LEN])
{
    const uint8_t probe[ZIP_DISCVR_PROBE_LEN] = {
        zip_cls, zip_pkt, 0x00, zip_flag_cmd, seq, 0x00, 0x00,  // Z/IP header, no ACK request, end points 0
        nm_proxy_cls, node_info_cached_get, nm_seq, 0x00, 0x00,  // max age 0, node id 0 (the gateway)
    };
    std::memcpy(out, probe, sizeof probe);
}

int zip_gw_probe_rsp_match(const uint8_t *data, size_t length, uint8_t nm_seq)
{
    if (data == nullptr || length < rsp_min_len)
        return 0;
    if (data[0] != zip_cls || data[1] != zip_pkt || (data[3] & zip_flag_cmd) == 0)
        return 0;
    size_t cmd = zip_hdr_len;
    if (data[3] & zip_flag_hdr_ext)
        cmd += data[zip_hdr_len];
    if (cmd + 3 > length)
        return 0;
    return data[cmd] == nm_proxy_cls && data[cmd + 1] == node_info_cached_rpt && data[cmd + 2] == nm_seq;
}

zip_gw_discvr_t *zip_gw_discvr_start(zip_gw_discvr_cb_t cb, void *user, int ipv4)
{
    auto *h = new (std::nothrow) zip_gw_discvr_t{ZIP_GW_DISCVR_TAG, nullptr};
    if (h == nullptr)
        return nullptr;
    h->st = new (std::nothrow) discvr_state;
    if (h->st == nullptr) {
        delete h;
        return nullptr;
    }
    h->st->cb = cb;
    h->st->user = user;
    h->st->ipv4 = ipv4 ? 1 : 0;
    if (plt_thrd_create(zip_gw_discvr_thrd, h->st) != 0) {
        delete h->st;
        delete h;
        return nullptr;
    }
    std::unique_lock<std::mutex> lk(h->st->mtx);
    h->st->cv.wait_for(lk, thrd_wait, [h] { return h->st->thrd_running || h->st->thrd_ended; });
    return h;
}

int zip_gw_discvr_stop(zip_gw_discvr_t *ctx)
{
    if (ctx == nullptr)
        return -1;
    discvr_state *st = ctx->st;
    {
        std::unique_lock<std::mutex> lk(st->mtx);
        st->run.store(false);
        // From the callback itself there is nothing to wait for: the thread
        // sees the cleared flag when the callback returns.
        if (st->thrd_id != std::this_thread::get_id()) {
            bool done = st->cv.wait_for(lk, thrd_wait, [st] { return !st->in_cb && !st->thrd_running; });
            if (!done && st->in_cb)
                show("zip_gw_discvr_stop: result callback still running after %d ms\n",
                     static_cast<int>(thrd_wait.count()));
        }
    }
    ctx->tag = 0;
    delete ctx;
    state_release(st);
    return 0;
}
