// UDP transport: socket, write queue and thread, read thread.
#include "hcapi/zip/zip_transport.h"

#include "hcapi/zip/zip_addr.h"
#include "hcapi/zip/zip_error.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

constexpr int rd_poll_ms = 2000;        // the read thread's longest wait
constexpr int first_snd_polls = 10;     // x 100 ms before reading starts anyway
constexpr int reopen_retry_ms = 1000;   // between attempts to get a lost socket back
constexpr size_t ctrl_buf_len = 256;

socklen_t addr_len(uint32_t ipv4) { return ipv4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6); }

void close_fd(int fd)
{
    if (fd >= 0)
        close(fd);
}

int tpt_bind_zwave(tpt_layer_ctx *ctx, int sock, uint16_t port, const uint8_t *addr, uint32_t ipv4)
{
    if (const int rc = tpt_sock_bind(ctx, sock, port, addr, ipv4); rc != 0)
        return rc;
    if (port == 0) {
        tpt_sockaddr_t me{};
        socklen_t len = sizeof me;
        if (getsockname(sock, &me.sa, &len) == 0)
            ctx->host_port = ntohs(ipv4 ? me.v4.sin_port : me.v6.sin6_port);
    }
    plt_msg_show(ctx->plt_ctx, "Bound to port number:%u", ctx->host_port);
    return 0;
}

// Opens and binds the plain socket into ctx->sock: 1, or 0 (socket -1).
int tpt_udp_open(tpt_layer_ctx *ctx)
{
    const uint32_t ipv4 = ctx->ipv4;
    int s = socket(ipv4 ? AF_INET : AF_INET6, SOCK_DGRAM, 0);
    if (s < 0) {
        plt_msg_show(ctx->plt_ctx, "Open udp socket failed");
        return 0;
    }
    if (!tpt_sock_opts_set(ctx, s, ipv4, 0, 1, "set O_NONBLOCK failed")) {
        close(s);
        return 0;
    }
    plt_msg_show(ctx->plt_ctx, "Binding to host port:%u", ctx->host_port);
    int rc = tpt_bind_zwave(ctx, s, ctx->host_port, nullptr, ipv4);
    if (rc != 0) {
        plt_msg_show(ctx->plt_ctx, "tpt_bind_zwave failed:%d", rc);
        close(s);
        return 0;
    }
    ctx->sock.store(s);
    return 1;
}

// Waits up to `ms` for a stop request on the wake descriptor.
void stop_wait(tpt_layer_ctx *ctx, int ms)
{
    pollfd p{ctx->wake_fd, POLLIN, 0};
    if (ctx->wake_fd >= 0)
        (void)poll(&p, 1, ms);
    else
        plt_sleep(static_cast<uint32_t>(ms));
}

// Closes a socket that went bad and opens it again on the same host port.
// A failed reopen is retried while the thread is asked to run: the network
// must not go deaf because of one bad moment.
void sock_reopen(tpt_layer_ctx *ctx)
{
    close_fd(ctx->sock.exchange(-1));
    while (ctx->rd_run.load()) {
        if (tpt_udp_open(ctx))
            return;
        plt_msg_show(ctx->plt_ctx, "Reopen udp socket failed, retrying");
        stop_wait(ctx, reopen_retry_ms);
    }
}

void tpt_wr_send(tpt_layer_ctx *ctx, util_lst_t *node)
{
    tpt_dgram_hdr_t *h = tpt_dgram_hdr(node);
    uint8_t *payload = tpt_dgram_payload(node);
    const int s = ctx->sock.load();
    if (s < 0)
        return;
    ssize_t sent;
    if (ctx->ipv4 && !(h->flags & TPT_FLAG_SRC_ADDR)) {
        sent = sendto(s, payload, h->len, 0, &h->dst.sa, sizeof(sockaddr_in));
    } else {
        alignas(cmsghdr) uint8_t ctrl[CMSG_SPACE(sizeof(in6_pktinfo))]{};
        iovec iov{payload, h->len};
        msghdr msg{};
        msg.msg_name = &h->dst;
        msg.msg_namelen = addr_len(ctx->ipv4);
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = ctrl;
        if (ctx->ipv4) {
            msg.msg_controllen = CMSG_SPACE(sizeof(in_pktinfo));
            cmsghdr *c = CMSG_FIRSTHDR(&msg);
            c->cmsg_level = IPPROTO_IP;
            c->cmsg_type = IP_PKTINFO;
            c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
            in_pktinfo pi{};
            std::memcpy(&pi.ipi_spec_dst, h->src, 4);
            std::memcpy(CMSG_DATA(c), &pi, sizeof pi);
        } else {
            msg.msg_controllen = CMSG_SPACE(sizeof(in6_pktinfo));
            cmsghdr *c = CMSG_FIRSTHDR(&msg);
            c->cmsg_level = IPPROTO_IPV6;
            c->cmsg_type = IPV6_PKTINFO;
            c->cmsg_len = CMSG_LEN(sizeof(in6_pktinfo));
            in6_pktinfo pi{};
            std::memcpy(&pi.ipi6_addr, (h->flags & TPT_FLAG_SRC_ADDR) ? h->src : ctx->host_addr, 16);
            std::memcpy(CMSG_DATA(c), &pi, sizeof pi);
        }
        sent = sendmsg(s, &msg, 0);
        if (sent < 0)
            std::fprintf(stderr, "sendmsg failed: %s\n", std::strerror(errno));
    }
    if (sent != static_cast<ssize_t>(h->len))
        plt_msg_show(ctx->plt_ctx, "Send udp failed. Err: %d", static_cast<int>(sent));
}

void tpt_wr_thrd(void *data) { tpt_wr_loop(static_cast<tpt_layer_ctx *>(data), tpt_wr_send); }

// One datagram from a readable socket. Everything wrong with it drops it;
// only a socket that went bad is replaced.
void tpt_rd_one(tpt_layer_ctx *ctx, int s)
{
    uint8_t buf[TPT_MAX_DATAGRAM];
    alignas(cmsghdr) uint8_t ctrl[ctrl_buf_len];
    tpt_sockaddr_t src{};
    iovec iov{buf, sizeof buf};
    msghdr msg{};
    msg.msg_name = &src;
    msg.msg_namelen = addr_len(ctx->ipv4);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = ctrl;
    msg.msg_controllen = sizeof ctrl;
    ssize_t n = recvmsg(s, &msg, 0);
    if (n == 0)
        return;
    if (n < 0) {
        if (errno == EBADF || errno == ENOTSOCK) {
            plt_msg_show(ctx->plt_ctx, "recvmsg failed");
            sock_reopen(ctx);
        }
        return;
    }
    if (msg.msg_flags & MSG_TRUNC) {
        plt_msg_show(ctx->plt_ctx, "Dropped a datagram longer than %u bytes", TPT_MAX_DATAGRAM);
        return;
    }
    uint8_t dst[16];
    if ((msg.msg_flags & MSG_CTRUNC) || !tpt_pktinfo_dst_get(&msg, ctx->ipv4, dst)) {
        plt_msg_show(ctx->plt_ctx, "Err: no received packet header destination address");
        return;
    }
    if (ctx->rx_cb != nullptr)
        ctx->rx_cb(ctx, buf, static_cast<uint16_t>(n), &src, dst);
}

void tpt_rd_thrd(void *data)
{
    auto *ctx = static_cast<tpt_layer_ctx *>(data);
    ctx->rd_running.store(1);
    for (int i = 0; i < first_snd_polls && !ctx->first_snd.load() && ctx->rd_run.load(); ++i)
        stop_wait(ctx, 100);
    while (ctx->rd_run.load()) {
        const int s = ctx->sock.load();
        if (s < 0) {
            sock_reopen(ctx);
            continue;
        }
        pollfd p[2] = {{s, POLLIN, 0}, {ctx->wake_fd, POLLIN, 0}};
        int r = poll(p, ctx->wake_fd >= 0 ? 2 : 1, rd_poll_ms);
        if (r == 0)
            continue;
        if (r < 0) {
            if (errno == EINTR)
                continue;
            plt_msg_show(ctx->plt_ctx, "select failed with error number %d : %s", errno, std::strerror(errno));
            stop_wait(ctx, 100);
            continue;
        }
        if (!ctx->rd_run.load())
            break;
        if (p[0].revents & POLLNVAL) {
            plt_msg_show(ctx->plt_ctx, "select failed with error number %d : %s", EBADF, std::strerror(EBADF));
            sock_reopen(ctx);
            continue;
        }
        if (p[0].revents & (POLLIN | POLLERR))
            tpt_rd_one(ctx, s);
    }
    ctx->rd_running.store(0);
}

void thrd_join(plt_thrd_t *t)
{
    if (*t != nullptr) {
        plt_thrd_join(*t);
        *t = nullptr;
    }
}

const tpt_backend_t &backend_of(const tpt_layer_ctx *ctx)
{
    return ctx->backend != nullptr ? *ctx->backend : tpt_udp_backend;
}

int tpt_thrd_start(tpt_layer_ctx *ctx)
{
    const tpt_backend_t &be = backend_of(ctx);
    ctx->rd_run.store(1);
    ctx->rd_running.store(1);
    if (plt_thrd_create_joinable(be.rd_thrd, ctx, &ctx->rd_thrd) != 0) {
        ctx->rd_thrd = nullptr;
        ctx->rd_running.store(0);
        ctx->rd_run.store(0);
        plt_msg_show(ctx->plt_ctx, "Init transport read thread failed");
        return 0;
    }
    ctx->wr_run.store(1);
    ctx->wr_running.store(1);
    if (plt_thrd_create_joinable(be.wr_thrd, ctx, &ctx->wr_thrd) != 0) {
        ctx->wr_thrd = nullptr;
        ctx->wr_running.store(0);
        ctx->wr_run.store(0);
        plt_msg_show(ctx->plt_ctx, "Init transport write thread failed");
        ctx->rd_run.store(0);
        if (ctx->wake_fd >= 0) {
            const uint64_t one = 1;
            (void)!write(ctx->wake_fd, &one, sizeof one);
        }
        thrd_join(&ctx->rd_thrd);
        return 0;
    }
    return 1;
}

void tpt_thrd_stop(tpt_layer_ctx *ctx)
{
    ctx->rd_run.store(0);
    ctx->wr_run.store(0);
    if (ctx->wr_sem != nullptr)
        plt_sem_post(ctx->wr_sem);
    if (ctx->wake_fd >= 0) {
        const uint64_t one = 1;
        (void)!write(ctx->wake_fd, &one, sizeof one);
    }
    while (ctx->rd_running.load())
        plt_sleep(100);
    thrd_join(&ctx->rd_thrd);
    while (ctx->wr_running.load())
        plt_sleep(100);
    thrd_join(&ctx->wr_thrd);
    close_fd(ctx->sock.exchange(-1));
}

void tpt_release(tpt_layer_ctx *ctx)
{
    if (ctx->wr_sem != nullptr) {
        plt_sem_destroy(ctx->wr_sem);
        ctx->wr_sem = nullptr;
    }
    util_lst_flush(nullptr, &ctx->wr_q);
    if (ctx->wr_mtx != nullptr) {
        plt_mtx_destroy(ctx->wr_mtx);
        ctx->wr_mtx = nullptr;
    }
    close_fd(ctx->sock.exchange(-1));
    close_fd(ctx->wake_fd);
    ctx->wake_fd = -1;
}

}  // namespace

const tpt_backend_t tpt_udp_backend = {"UDP", nullptr, nullptr, tpt_rd_thrd, tpt_wr_thrd};

int tpt_init(tpt_layer_ctx *ctx)
{
    if (ctx == nullptr)
        return 1;
    util_lst_flush(nullptr, &ctx->wr_q);
    ctx->first_snd.store(0);
    ctx->sock.store(-1);
    ctx->wake_fd = -1;
    ctx->rd_thrd = ctx->wr_thrd = nullptr;
    if (ctx->ipv4) {
        std::memmove(ctx->peer_addr + 12, ctx->peer_addr, 4);
        std::memset(ctx->peer_addr, 0, 10);
        ctx->peer_addr[10] = ctx->peer_addr[11] = 0xFF;
    } else if (util_local_addr_get(ctx->peer_addr, ctx->host_addr, 0) != 0) {
        plt_msg_show(ctx->plt_ctx, "tpt_init: no local address routes to the gateway");
        return 1;
    }
    if (!plt_mtx_init(&ctx->wr_mtx)) {
        ctx->wr_mtx = nullptr;
        return 1;
    }
    if (!plt_sem_init(&ctx->wr_sem)) {
        ctx->wr_sem = nullptr;
        tpt_release(ctx);
        return 1;
    }
    ctx->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (ctx->wake_fd < 0 || !tpt_udp_open(ctx)) {
        tpt_release(ctx);
        return 1;
    }
    const tpt_backend_t &be = backend_of(ctx);
    if (be.init != nullptr) {
        int rc = be.init(ctx);
        if (rc != 0) {
            plt_msg_show(ctx->plt_ctx, "tpt_init: %s transport failed:%d", be.name, rc);
            tpt_release(ctx);
            return 1;
        }
    }
    if (!tpt_thrd_start(ctx)) {
        if (be.exit != nullptr)
            be.exit(ctx);
        tpt_release(ctx);
        return 1;
    }
    return 0;
}

void tpt_exit(tpt_layer_ctx *ctx)
{
    if (ctx == nullptr)
        return;
    tpt_thrd_stop(ctx);
    tpt_release(ctx);
    const tpt_backend_t &be = backend_of(ctx);
    if (be.exit != nullptr)
        be.exit(ctx);
}

int tpt_snd_enq(tpt_layer_ctx *ctx, const tpt_sockaddr_t *dst, const uint8_t *src, const uint8_t *payload,
                uint16_t length, uint16_t flags)
{
    if (ctx == nullptr || dst == nullptr || (payload == nullptr && length != 0))
        return ZIP_ERR_SEND;
    if (!ctx->wr_run.load())
        return ZIP_ERR_NOT_RUNNING;
    if (length > TPT_MAX_DATAGRAM)
        return ZIP_ERR_TOO_LONG;
    if ((flags & TPT_FLAG_SRC_ADDR) && src == nullptr)
        flags = static_cast<uint16_t>(flags & ~TPT_FLAG_SRC_ADDR);
    uint8_t item[sizeof(tpt_dgram_hdr_t) + TPT_MAX_DATAGRAM];
    tpt_dgram_hdr_t h{};
    std::memcpy(&h.dst, dst, addr_len(ctx->ipv4));
    if (flags & TPT_FLAG_SRC_ADDR)
        std::memcpy(h.src, src, ctx->ipv4 ? 4 : 16);
    h.flags = flags;
    h.len = length;
    std::memcpy(item, &h, sizeof h);
    if (length != 0)
        std::memcpy(item + sizeof h, payload, length);
    if (util_lst_add(ctx->wr_mtx, &ctx->wr_q, item, static_cast<uint16_t>(sizeof h + length)) != 0)
        return ZIP_ERR_MEMORY;
    ctx->first_snd.store(1);
    plt_sem_post(ctx->wr_sem);
    return 0;
}

util_lst_t *tpt_snd_deq(tpt_layer_ctx *ctx) { return util_lst_get(ctx->wr_mtx, &ctx->wr_q); }

int tpt_pktinfo_dst_get(const msghdr *msg, uint32_t ipv4, uint8_t *addr)
{
    if (msg == nullptr || addr == nullptr || msg->msg_control == nullptr)
        return 0;
    for (cmsghdr *c = CMSG_FIRSTHDR(msg); c != nullptr; c = CMSG_NXTHDR(const_cast<msghdr *>(msg), c)) {
        if (ipv4 && c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO &&
            c->cmsg_len >= CMSG_LEN(sizeof(in_pktinfo))) {
            in_pktinfo pi;
            std::memcpy(&pi, CMSG_DATA(c), sizeof pi);
            std::memcpy(addr, &pi.ipi_addr, 4);
            return 1;
        }
        if (!ipv4 && c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO &&
            c->cmsg_len >= CMSG_LEN(sizeof(in6_pktinfo))) {
            in6_pktinfo pi;
            std::memcpy(&pi, CMSG_DATA(c), sizeof pi);
            std::memcpy(addr, &pi.ipi6_addr, 16);
            return 1;
        }
    }
    return 0;
}

void tpt_wr_loop(tpt_layer_ctx *ctx, void (*send)(tpt_layer_ctx *ctx, util_lst_t *node))
{
    ctx->wr_running.store(1);
    for (;;) {
        plt_sem_wait(ctx->wr_sem);
        if (!ctx->wr_run.load())
            break;
        util_lst_t *node = tpt_snd_deq(ctx);
        if (node == nullptr)
            continue;
        send(ctx, node);
        util_lst_free(node);
    }
    ctx->wr_running.store(0);
}

int tpt_sock_bind(tpt_layer_ctx *ctx, int sock, uint16_t port, const uint8_t *addr, uint32_t ipv4)
{
    tpt_sockaddr_t a{};
    if (ipv4) {
        a.v4.sin_family = AF_INET;
        a.v4.sin_port = htons(port);
        if (addr != nullptr)
            std::memcpy(&a.v4.sin_addr, addr, 4);
        else
            a.v4.sin_addr.s_addr = htonl(INADDR_ANY);
    } else {
        a.v6.sin6_family = AF_INET6;
        a.v6.sin6_port = htons(port);
        a.v6.sin6_addr = in6addr_any;
        if (addr != nullptr)
            std::memcpy(&a.v6.sin6_addr, addr, 16);
    }
    if (bind(sock, &a.sa, addr_len(ipv4)) != 0) {
        plt_msg_show(ctx->plt_ctx, "Binding to ip address failed.");
        return -2;
    }
    return 0;
}

int tpt_sock_opts_set(tpt_layer_ctx *ctx, int sock, uint32_t ipv4, int reuse, int pktinfo,
                      const char *nonblock_fail)
{
    const int on = 1;
    const char *fail = nullptr;
    if (reuse && setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        fail = "setsockopt SO_REUSEADDR failed";
    else if (pktinfo && setsockopt(sock, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0)
        fail = "setsockopt IP_PKTINFO failed";
    else if (pktinfo && !ipv4 && setsockopt(sock, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on) != 0)
        fail = "setsockopt IPV6_RECVPKTINFO failed";
    else if (!ipv4 && setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0)
        fail = "setsockopt IPV6_V6ONLY failed";
    else if (int fd_flags = fcntl(sock, F_GETFD); fd_flags < 0 || fcntl(sock, F_SETFD, fd_flags | FD_CLOEXEC) != 0)
        fail = "set FD_CLOEXEC failed";
    else if (int fl_flags = fcntl(sock, F_GETFL); fl_flags < 0 || fcntl(sock, F_SETFL, fl_flags | O_NONBLOCK) != 0)
        fail = nonblock_fail;
    if (fail == nullptr)
        return 1;
    plt_msg_show(ctx->plt_ctx, "%s", fail);
    return 0;
}
