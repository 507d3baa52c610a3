// Gateway discovery by mDNS: the DNS codec, the receive pass and the thread.
#include "hcapi/zip/zip_mdns.h"

#include "hcapi/zip/zip_addr.h"
#include "hcapi/zip/zip_platform.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <type_traits>

static_assert(std::is_standard_layout_v<mdns_discvr_t>, "the tag must sit at the start of the handle");

namespace {

// Discovery output goes to standard output, one formatted line per call.
void mdns_print(const char *format, ...) __attribute__((format(printf, 1, 2)));
void mdns_print(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stdout, format, ap);
    va_end(ap);
    std::fflush(stdout);
}

void put16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

uint16_t get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

uint32_t get32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}

// DNS names compare without regard to ASCII case. In wire form the length
// bytes are below 64 and so never fold.
bool wire_eq(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y + 32);
        if (x != y)
            return false;
    }
    return true;
}

const std::string &zw_service_wire()
{
    static const std::string wire = [] {
        uint8_t buf[64];
        size_t len = sizeof buf;
        mdns_dname_bld(MDNS_ZW_SERVICE, buf, &len);
        return std::string(reinterpret_cast<const char *>(buf), len);
    }();
    return wire;
}

// A query with one question for `wire` of `type`.
std::vector<uint8_t> follow_up_query(const std::string &wire, uint16_t type)
{
    std::vector<uint8_t> q(MDNS_HDR_LEN + MDNS_FOLLOW_UP_BUF);
    mdns_hdr_bld(0, 0, 1, 0, 0, 0, q.data());
    size_t len = MDNS_FOLLOW_UP_BUF;
    if (mdns_qn_bld_wire(wire, type, q.data() + MDNS_HDR_LEN, &len) != 0)
        return {};
    q.resize(MDNS_HDR_LEN + len);
    return q;
}

}  // namespace

// ---------------------------------------------------------------------------
// Message writer
// ---------------------------------------------------------------------------

void mdns_hdr_bld(uint16_t id, uint16_t flags, uint16_t qd, uint16_t an, uint16_t ns, uint16_t ar, uint8_t *out)
{
    const uint16_t f[6] = {id, flags, qd, an, ns, ar};
    for (int i = 0; i < 6; ++i)
        put16(out + 2 * i, f[i]);
}

int mdns_dname_bld(const char *name, uint8_t *out, size_t *length)
{
    if (name == nullptr || out == nullptr || length == nullptr)
        return -1;
    const size_t cap = *length;
    size_t n = 0;
    const char *p = name;
    while (*p != '\0') {
        const char *dot = std::strchr(p, '.');
        const size_t l = dot ? static_cast<size_t>(dot - p) : std::strlen(p);
        if (l > MDNS_LABEL_MAX)
            return -2;
        if (l > 0) {
            if (n + 1 + l + 1 > MDNS_NAME_MAX)
                return -2;
            if (n + 1 + l > cap)
                return -3;
            out[n] = static_cast<uint8_t>(l);
            std::memcpy(out + n + 1, p, l);
            n += 1 + l;
        }
        p += l;
        if (*p == '.')
            ++p;
    }
    if (n + 1 > cap)
        return -3;
    out[n++] = 0;
    *length = n;
    return 0;
}

namespace {

int qn_tail(size_t used, uint16_t type, uint8_t *out, size_t *length)
{
    if (*length - used < 4)
        return -100;
    put16(out + used, type);
    put16(out + used + 2, 0x0001);
    *length = used + 4;
    return 0;
}

}  // namespace

int mdns_qn_bld(const char *name, uint16_t offset, uint16_t type, uint8_t *out, size_t *length)
{
    if (out == nullptr || length == nullptr)
        return -1;
    size_t used = *length;
    if (offset != 0) {
        if (offset > 0x3FFF)
            return -2;
        if (*length < 2)
            return -3;
        out[0] = static_cast<uint8_t>(0xC0 | offset >> 8);
        out[1] = static_cast<uint8_t>(offset);
        used = 2;
    } else {
        const int r = mdns_dname_bld(name, out, &used);
        if (r != 0)
            return r;
    }
    return qn_tail(used, type, out, length);
}

int mdns_qn_bld_wire(const std::string &wire, uint16_t type, uint8_t *out, size_t *length)
{
    if (out == nullptr || length == nullptr || wire.empty() || wire.size() > MDNS_NAME_MAX)
        return -2;
    if (wire.size() > *length)
        return -3;
    std::memcpy(out, wire.data(), wire.size());
    return qn_tail(wire.size(), type, out, length);
}

long mdns_v4_snd(int sock, const uint8_t *data, size_t length)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(MDNS_PORT);
    inet_pton(AF_INET, "224.0.0.251", &to.sin_addr);
    return sendto(sock, data, length, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

long mdns_v6_snd(int sock, const uint8_t *data, size_t length)
{
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(MDNS_PORT);
    to.sin6_flowinfo = 0;
    to.sin6_scope_id = 0;
    inet_pton(AF_INET6, "ff02::fb", &to.sin6_addr);
    return sendto(sock, data, length, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

// ---------------------------------------------------------------------------
// Message reader
// ---------------------------------------------------------------------------

int mdns_hdr_parse(const uint8_t *msg, size_t length, uint16_t *an, uint16_t *ns, uint16_t *ar)
{
    if (msg == nullptr || length < MDNS_HDR_LEN)
        return -1;
    if ((get16(msg + 2) & 0xF80F) != 0x8000)
        return -2;
    if (get16(msg + 4) != 0)
        return -3;
    if (an)
        *an = get16(msg + 6);
    if (ns)
        *ns = get16(msg + 8);
    if (ar)
        *ar = get16(msg + 10);
    return 0;
}

int mdns_parse_dname(const uint8_t *msg, size_t msg_len, size_t pos, size_t *length, mdns_name_t *name)
{
    if (msg == nullptr || length == nullptr || name == nullptr || pos >= msg_len)
        return -7;
    size_t avail = std::min(*length, msg_len - pos);
    if (avail < 1)
        return -7;

    // The name is a run of segments: the one at pos, then each one a pointer
    // leads to. Every pointer must point before the start of the segment that
    // holds it, and the pointed segment may use only the bytes up to that
    // start, so the walk always moves backwards and ends.
    std::string wire, text;
    size_t seg_start = pos;
    size_t seg_avail = avail;
    size_t p = pos;
    size_t used = 0;       // bytes of the current segment read so far
    size_t occupied = 0;   // bytes of the first segment, what the caller skips
    bool nested = false;
    auto fail = [&nested](int code) { return nested ? -4 : code; };

    for (;;) {
        if (used >= seg_avail)
            return fail(-3);
        const uint8_t l = msg[p];
        if (l == 0) {
            ++used;
            if (!nested)
                occupied = used;
            break;
        }
        if (l > MDNS_LABEL_MAX) {
            if ((l & 0xC0) != 0xC0)
                return fail(-6);
            if (used + 2 > seg_avail)
                return fail(-3);
            const size_t off = static_cast<size_t>(l & 0x3F) << 8 | msg[p + 1];
            if (off >= seg_start)
                return fail(-8);
            if (!nested)
                occupied = used + 2;
            nested = true;
            seg_avail = seg_start - off;
            seg_start = off;
            p = off;
            used = 0;
            continue;
        }
        if (used + 1 + l > seg_avail)
            return fail(-3);
        if (wire.size() + 1 + l + 1 > MDNS_NAME_MAX)
            return -9;
        wire.append(reinterpret_cast<const char *>(msg + p), 1 + l);
        text.append(reinterpret_cast<const char *>(msg + p + 1), l);
        text.push_back('.');
        p += 1 + l;
        used += 1 + l;
    }
    if (wire.empty())
        return -1;
    wire.push_back('\0');
    text.pop_back();
    name->wire = std::move(wire);
    name->text = std::move(text);
    *length = occupied;
    return 0;
}

int mdns_parse_rdata(uint16_t type, const uint8_t *msg, size_t msg_len, size_t pos, size_t *length, mdns_rr_t *rr)
{
    if (length == nullptr || rr == nullptr || *length < 1)
        return -110;
    if (msg == nullptr || pos > msg_len || *length > msg_len - pos)
        return -1;
    const size_t len = *length;
    switch (type) {
    case MDNS_TYPE_A:
    case MDNS_TYPE_AAAA: {
        const size_t need = type == MDNS_TYPE_A ? 4 : 16;
        if (len < need)
            return -1;
        std::memcpy(rr->addr, msg + pos, need);
        *length = need;
        break;
    }
    case MDNS_TYPE_PTR: {
        size_t l = len;
        const int r = mdns_parse_dname(msg, msg_len, pos, &l, &rr->target);
        if (r != 0)
            return r - 10;
        *length = l;
        break;
    }
    case MDNS_TYPE_SRV: {
        if (len < 6)
            return -1;
        rr->priority = get16(msg + pos);
        rr->weight = get16(msg + pos + 2);
        rr->port = get16(msg + pos + 4);
        size_t l = len - 6;
        if (l == 0)
            return -1;
        const int r = mdns_parse_dname(msg, msg_len, pos + 6, &l, &rr->target);
        if (r != 0)
            return r - 10;
        *length = l + 6;
        break;
    }
    default:
        return -100;
    }
    rr->has_value = true;
    return 0;
}

namespace {

// Drops the records read so far, names included; a failed parse hands
// nothing back.
void mdns_rr_free(std::vector<mdns_rr_t> &rrs)
{
    rrs.clear();
    rrs.shrink_to_fit();
}

}  // namespace

int mdns_parse_answer(const uint8_t *msg, size_t msg_len, size_t pos, unsigned count, std::vector<mdns_rr_t> &out)
{
    mdns_rr_free(out);
    if (count < 1)
        return -1;
    if (msg == nullptr)
        return -3;
    size_t p = pos;
    try {
        for (unsigned i = 0; i < count; ++i) {
            mdns_rr_t rr;
            size_t l = p < msg_len ? msg_len - p : 0;
            const int r = mdns_parse_dname(msg, msg_len, p, &l, &rr.owner);
            if (r != 0) {
                mdns_print("mdns_parse_dname failed, err=%d\n", r);
                mdns_rr_free(out);
                return -3;
            }
            p += l;
            if (msg_len - p < 10) {
                mdns_rr_free(out);
                return -4;
            }
            rr.type = get16(msg + p);
            const uint16_t cls = get16(msg + p + 2);
            rr.ttl = get32(msg + p + 4);
            const size_t rdlen = get16(msg + p + 8);
            p += 10;
            if ((cls & 0x7FFF) != 1) {
                mdns_rr_free(out);
                return -5;
            }
            if (rdlen > msg_len - p) {
                mdns_rr_free(out);
                return -6;
            }
            size_t dl = rdlen;
            const int rd = mdns_parse_rdata(rr.type, msg, msg_len, p, &dl, &rr);
            if (rd != 0 && rd != -100)
                mdns_print("mdns_parse_rdata failed, type=%u, err=%d\n", static_cast<unsigned>(rr.type), rd);
            // The record's own length says where the next one starts, whatever
            // its data parse used.
            p += rdlen;
            out.push_back(std::move(rr));
        }
    } catch (const std::bad_alloc &) {
        mdns_rr_free(out);
        return -2;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Receive pass
// ---------------------------------------------------------------------------

mdns_svc_t *mdns_tbl_find_by_svc(mdns_pass_t &pass, const std::string &wire)
{
    for (auto &e : pass.tbl)
        if (wire_eq(e.svc.wire, wire))
            return &e;
    return nullptr;
}

mdns_svc_t *mdns_tbl_find_by_host(mdns_pass_t &pass, const std::string &wire)
{
    for (auto &e : pass.tbl)
        if (e.host_set && wire_eq(e.host.wire, wire))
            return &e;
    return nullptr;
}

mdns_svc_t *mdns_svc_add(mdns_pass_t &pass, const mdns_name_t &svc)
{
    if (pass.tbl.size() >= MDNS_TBL_MAX)
        return nullptr;
    pass.tbl.emplace_back();
    pass.tbl.back().svc = svc;
    return &pass.tbl.back();
}

namespace {

// PTR answers of the service: an SRV question for each instance not yet
// known. -30 when there is nothing to ask.
int mdns_zw_rsrc_get(mdns_pass_t &pass, const std::vector<mdns_rr_t> &rrs)
{
    int asked = 0;
    for (const auto &rr : rrs) {
        if (rr.type != MDNS_TYPE_PTR || !rr.has_value || !wire_eq(rr.owner.wire, zw_service_wire()))
            continue;
        if (mdns_tbl_find_by_svc(pass, rr.target.wire))
            continue;
        auto q = follow_up_query(rr.target.wire, MDNS_TYPE_SRV);
        if (q.empty() || mdns_svc_add(pass, rr.target) == nullptr)
            break;
        pass.to_send.push_back(std::move(q));
        ++asked;
    }
    return asked ? 0 : -30;
}

// SRV answers: an address question for the target of the first known
// instance that has no host yet. -30 when there is nothing to ask.
int mdns_zw_rsrc_ip_get(mdns_pass_t &pass, const std::vector<mdns_rr_t> &rrs)
{
    for (const auto &rr : rrs) {
        if (rr.type != MDNS_TYPE_SRV || !rr.has_value)
            continue;
        mdns_svc_t *e = mdns_tbl_find_by_svc(pass, rr.owner.wire);
        if (e == nullptr || e->host_set)
            continue;
        auto q = follow_up_query(rr.target.wire, pass.ipv4 ? MDNS_TYPE_A : MDNS_TYPE_AAAA);
        if (q.empty())
            return -30;
        pass.to_send.push_back(std::move(q));
        e->host = rr.target;
        e->host_set = true;
        return 0;
    }
    return -30;
}

void mdns_addr_take(mdns_pass_t &pass, const mdns_rr_t &first)
{
    bool taken = false;
    if (first.has_value) {
        // Two instances may share one host: each of them gets the address.
        for (auto &e : pass.tbl) {
            if (!e.host_set || !wire_eq(e.host.wire, first.owner.wire))
                continue;
            const uint8_t *a = first.addr;
            if (pass.ipv4) {
                std::memcpy(e.addr, a, 4);
                mdns_print("service:%s, host:%s, IP:%u.%u.%u.%u\n", e.svc.text.c_str(), e.host.text.c_str(), a[0],
                           a[1], a[2], a[3]);
            } else {
                std::memcpy(e.addr, a, 16);
                mdns_print("service:%s, host:%s, IP:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:"
                           "%02x%02x\n",
                           e.svc.text.c_str(), e.host.text.c_str(), a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7],
                           a[8], a[9], a[10], a[11], a[12], a[13], a[14], a[15]);
            }
            e.addr_set = true;
            taken = true;
        }
    }
    if (!taken)
        mdns_print("host %s is not z-wave resource\n", first.owner.text.c_str());
}

}  // namespace

int mdns_rcv_datagram(mdns_pass_t &pass, const uint8_t *msg, size_t length)
{
    uint16_t an = 0, ns = 0, ar = 0;
    int r = mdns_hdr_parse(msg, length, &an, &ns, &ar);
    if (r != 0)
        return r;
    std::vector<mdns_rr_t> rrs;
    r = mdns_parse_answer(msg, length, MDNS_HDR_LEN, an, rrs);
    if (r != 0) {
        mdns_print("mdns_parse_answer with err: %d\n", r);
        return r;
    }
    const mdns_rr_t &first = rrs.front();
    if (first.type == MDNS_TYPE_PTR && wire_eq(first.owner.wire, zw_service_wire())) {
        r = mdns_zw_rsrc_get(pass, rrs);
        if (r != 0)
            mdns_print("mdns_zw_rsrc_get with err:%d\n", r);
    } else if (first.type == MDNS_TYPE_SRV) {
        const mdns_svc_t *e = mdns_tbl_find_by_svc(pass, first.owner.wire);
        if (e == nullptr) {
            mdns_print("service %s is not z-wave resource\n", first.owner.text.c_str());
            r = -31;
        } else if (e->host_set) {
            mdns_print("service:%s already has host:%s mapped\n", e->svc.text.c_str(), e->host.text.c_str());
            r = -32;
        } else {
            r = mdns_zw_rsrc_ip_get(pass, rrs);
            if (r != 0)
                mdns_print("mdns_zw_rsrc_ip_get with err:%d\n", r);
        }
    } else if ((first.type == MDNS_TYPE_A && pass.ipv4) || (first.type == MDNS_TYPE_AAAA && !pass.ipv4)) {
        mdns_addr_take(pass, first);
    }
    return r;
}

void mdns_pass_results(const mdns_pass_t &pass, int max, std::vector<uint8_t> &addrs, std::vector<std::string> &names)
{
    addrs.clear();
    names.clear();
    const size_t alen = pass.ipv4 ? 4 : 16;
    static const uint8_t zeros[16] = {};
    for (const auto &e : pass.tbl) {
        if (static_cast<int>(names.size()) >= max)
            break;
        if (!e.addr_set || std::memcmp(e.addr, zeros, alen) == 0)
            continue;
        addrs.insert(addrs.end(), e.addr, e.addr + alen);
        names.push_back(e.svc.text);
    }
}

// ---------------------------------------------------------------------------
// Discovery thread
// ---------------------------------------------------------------------------

struct mdns_discvr_state {
    std::atomic<int> refs{2};  // the handle and the thread
    std::atomic<bool> run{true};
    std::atomic<bool> thrd_running{false};
    std::atomic<bool> thrd_ended{false};
    zip_gw_discvr_cb_t cb = nullptr;
    void *user = nullptr;
    int ipv4 = 1;
    int wake_fd = -1;        // eventfd: stop wakes a waiting receive at once
    std::mutex cb_mtx;       // held around each callback; stop takes it once the run flag is clear
    std::mutex mtx;          // with cv: the start and end of the thread
    std::condition_variable cv;

    ~mdns_discvr_state()
    {
        if (wake_fd >= 0)
            close(wake_fd);
    }
};

namespace {

thread_local mdns_discvr_state *t_discvr_self = nullptr;

void state_release(mdns_discvr_state *st)
{
    if (st->refs.fetch_sub(1) == 1)
        delete st;
}

// Calls the result callback unless the discovery was stopped: no callback
// begins once stop has cleared the run flag and taken cb_mtx.
void deliver(mdns_discvr_state *st, const uint8_t *addrs, uint8_t count, int done, int total,
             const char *const *names)
{
    std::lock_guard lk(st->cb_mtx);
    if (!st->run.load() || st->cb == nullptr)
        return;
    st->cb(addrs, count, st->ipv4, st->user, done, total, names);
}

int mdns_v4_join(const uint8_t local[4], int *sock)
{
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0)
        return -1;
    auto fail = [s](int code) {
        close(s);
        return code;
    };
    const int one = 1;
    const unsigned char zero = 0;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        return fail(-2);
    if (setsockopt(s, IPPROTO_IP, IP_MULTICAST_LOOP, &zero, sizeof zero) != 0)
        return fail(-3);
    in_addr if_addr{};
    std::memcpy(&if_addr, local, 4);
    if (setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &if_addr, sizeof if_addr) != 0)
        return fail(-4);
    ip_mreq mreq{};
    inet_pton(AF_INET, "224.0.0.251", &mreq.imr_multiaddr);
    mreq.imr_interface = if_addr;
    if (setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0)
        return fail(-5);
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &if_addr, text, sizeof text);
    mdns_print("Join ok. sending IP:%s \n", text);
    mdns_print("mcast IP:%s \n", "224.0.0.251");
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(MDNS_PORT);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(s, reinterpret_cast<const sockaddr *>(&any), sizeof any) != 0) {
        mdns_print("Bind failed\n");
        return fail(-6);
    }
    *sock = s;
    return 0;
}

int mdns_v6_join(uint32_t if_idx, int *sock)
{
    const int s = socket(AF_INET6, SOCK_DGRAM, 0);
    if (s < 0)
        return -1;
    auto fail = [s](int code) {
        close(s);
        return code;
    };
    const int one = 1;
    const int zero = 0;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        return fail(-2);
    if (setsockopt(s, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &zero, sizeof zero) != 0)
        return fail(-3);
    if (setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) != 0)
        return fail(-4);
    const unsigned idx = if_idx;
    if (setsockopt(s, IPPROTO_IPV6, IPV6_MULTICAST_IF, &idx, sizeof idx) != 0)
        return fail(-5);
    ipv6_mreq mreq{};
    inet_pton(AF_INET6, "ff02::fb", &mreq.ipv6mr_multiaddr);
    mreq.ipv6mr_interface = if_idx;
    if (setsockopt(s, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0)
        return fail(-6);
    mdns_print("Join ok. Multicast interface index: %u\n", if_idx);
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_port = htons(MDNS_PORT);
    any.sin6_addr = in6addr_any;
    if (bind(s, reinterpret_cast<const sockaddr *>(&any), sizeof any) != 0) {
        mdns_print("Bind failed\n");
        return fail(-7);
    }
    *sock = s;
    return 0;
}

long mdns_snd(int ipv4, int sock, const std::vector<uint8_t> &q)
{
    return ipv4 ? mdns_v4_snd(sock, q.data(), q.size()) : mdns_v6_snd(sock, q.data(), q.size());
}

// One interface's receive window: at most 2.2 s in all, and it closes early
// after 2 s without a datagram or when the discovery is stopped.
void mdns_rcv_loop(mdns_discvr_state *st, int sock, int max, std::vector<uint8_t> &addrs,
                   std::vector<std::string> &names)
{
    using clock = std::chrono::steady_clock;
    const auto window = std::chrono::milliseconds(plt_tick_scale_ms(2200));
    const auto idle = std::chrono::milliseconds(plt_tick_scale_ms(2000));
    const auto end = clock::now() + window;
    mdns_pass_t pass;
    pass.ipv4 = st->ipv4;
    uint8_t buf[MDNS_RX_MAX];

    while (st->run.load()) {
        const auto now = clock::now();
        if (now >= end)
            break;
        const auto wait = std::min<clock::duration>(idle, end - now);
        pollfd fds[2] = {{sock, POLLIN, 0}, {st->wake_fd, POLLIN, 0}};
        const int n = poll(fds, 2, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            mdns_print("select failed\n");
            break;
        }
        if (n == 0 || (fds[1].revents & POLLIN) || !(fds[0].revents & POLLIN))
            break;

        sockaddr_storage from{};
        socklen_t from_len = sizeof from;
        // MSG_TRUNC makes recvfrom report a datagram's full length, so one
        // larger than the buffer is recognised and dropped, not half-read.
        const ssize_t got = recvfrom(sock, buf, sizeof buf, MSG_TRUNC, reinterpret_cast<sockaddr *>(&from), &from_len);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            mdns_print("udp rcx error\n");
            break;
        }
        if (got == 0 || static_cast<size_t>(got) > sizeof buf)
            continue;
        if (from.ss_family != (st->ipv4 ? AF_INET : AF_INET6))
            continue;
        if (st->ipv4) {
            const auto *sin = reinterpret_cast<const sockaddr_in *>(&from);
            char text[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text);
            mdns_print("Received from host IP:%s, port:%u \n", text, static_cast<unsigned>(ntohs(sin->sin_port)));
        }
        mdns_rcv_datagram(pass, buf, static_cast<size_t>(got));
        for (const auto &q : pass.to_send) {
            if (mdns_snd(st->ipv4, sock, q) != static_cast<long>(q.size()))
                mdns_print("mdns_zw_rsrc_get with err:%d\n", -20);
        }
        pass.to_send.clear();
    }
    mdns_pass_results(pass, max, addrs, names);
}

void mdns_discvr_thrd(void *data)
{
    auto *st = static_cast<mdns_discvr_state *>(data);
    t_discvr_self = st;
    {
        std::lock_guard lk(st->mtx);
        st->thrd_running.store(true);
    }
    st->cv.notify_all();

    auto finish = [st] {
        {
            std::lock_guard lk(st->mtx);
            st->thrd_running.store(false);
            st->thrd_ended.store(true);
        }
        st->cv.notify_all();
        t_discvr_self = nullptr;
        state_release(st);
    };

    try {
        std::vector<uint8_t> query(MDNS_QUERY_BUF);
        mdns_hdr_bld(0, 0, 1, 0, 0, 0, query.data());
        size_t qlen = MDNS_QUERY_BUF - MDNS_HDR_LEN;
        const int r = mdns_qn_bld(MDNS_ZW_SERVICE, 0, MDNS_TYPE_PTR, query.data() + MDNS_HDR_LEN, &qlen);
        if (r != 0) {
            mdns_print("Create mdns query failed with error %d", r);
            finish();
            return;
        }
        query.resize(MDNS_HDR_LEN + qlen);

        // IPv4 asks from each address, IPv6 once per interface.
        std::vector<uint8_t> v4(4 * MDNS_MAX_IF_ADDR);
        std::vector<uint32_t> v6_idx;
        int total = 0;
        if (st->ipv4) {
            total = util_if_addr_list(MDNS_MAX_IF_ADDR, v4.data(), 1);
        } else {
            std::vector<util_if_addr6_t> v6(MDNS_MAX_IF_ADDR);
            const int n = util_if_addr_list(MDNS_MAX_IF_ADDR, v6.data(), 0);
            for (int i = 0; i < n; ++i) {
                if (std::find(v6_idx.begin(), v6_idx.end(), v6[i].if_idx) == v6_idx.end() &&
                    static_cast<int>(v6_idx.size()) < MDNS_MAX_IF_IDX)
                    v6_idx.push_back(v6[i].if_idx);
            }
            total = static_cast<int>(v6_idx.size());
            mdns_print("Found %d network interfaces\n", total);
        }
        if (total <= 0) {
            deliver(st, nullptr, 0, 0, 0, nullptr);
            finish();
            return;
        }

        for (int i = 0; i < total && st->run.load(); ++i) {
            std::vector<uint8_t> addrs;
            std::vector<std::string> names;
            int sock = -1;
            const int jr = st->ipv4 ? mdns_v4_join(&v4[4 * static_cast<size_t>(i)], &sock)
                                    : mdns_v6_join(v6_idx[static_cast<size_t>(i)], &sock);
            if (jr == 0) {
                if (mdns_snd(st->ipv4, sock, query) == static_cast<long>(query.size()))
                    mdns_rcv_loop(st, sock, MDNS_MAX_RESULTS, addrs, names);
                close(sock);
            }
            if (!names.empty())
                mdns_print("Gw discovery received %d responses\n", static_cast<int>(names.size()));
            const char *name_ptrs[MDNS_MAX_RESULTS] = {};
            for (size_t k = 0; k < names.size(); ++k)
                name_ptrs[k] = names[k].c_str();
            deliver(st, addrs.empty() ? nullptr : addrs.data(), static_cast<uint8_t>(names.size()), i + 1, total,
                    name_ptrs);
        }
    } catch (const std::bad_alloc &) {
        mdns_print("mdns discovery: out of memory\n");
    }
    finish();
}

}  // namespace

mdns_discvr_t *mdns_discvr_start(zip_gw_discvr_cb_t cb, void *user, int ipv4)
{
    auto *st = new (std::nothrow) mdns_discvr_state;
    if (st == nullptr)
        return nullptr;
    auto *h = new (std::nothrow) mdns_discvr_t{MDNS_DISCVR_TAG, st};
    st->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (h == nullptr || st->wake_fd < 0) {
        delete h;
        delete st;
        return nullptr;
    }
    st->cb = cb;
    st->user = user;
    st->ipv4 = ipv4 ? 1 : 0;
    if (plt_thrd_create(mdns_discvr_thrd, st) != 0) {
        delete h;
        delete st;
        return nullptr;
    }
    {
        std::unique_lock lk(st->mtx);
        st->cv.wait_for(lk, std::chrono::milliseconds(50 * 100),
                        [st] { return st->thrd_running.load() || st->thrd_ended.load(); });
    }
    return h;
}

int mdns_discvr_stop(void *ctx)
{
    if (ctx == nullptr)
        return -1;
    uint32_t tag = 0;
    std::memcpy(&tag, ctx, sizeof tag);
    if (tag != MDNS_DISCVR_TAG)
        return -2;
    auto *h = static_cast<mdns_discvr_t *>(ctx);
    mdns_discvr_state *st = h->state;
    st->run.store(false);
    const uint64_t one = 1;
    if (write(st->wake_fd, &one, sizeof one) < 0) {
        // The receive window still closes by itself within 2.2 s.
    }
    if (t_discvr_self != st) {
        {
            std::unique_lock lk(st->mtx);
            st->cv.wait_for(lk, std::chrono::milliseconds(50 * 100), [st] { return st->thrd_ended.load(); });
        }
        // A callback already under way finishes before stop returns; none
        // starts afterwards since the run flag is clear.
        std::lock_guard lk(st->cb_mtx);
    }
    h->tag = 0;
    delete h;
    state_release(st);
    return 0;
}
