// DTLS transport: session table, client and server handshakes, the read and
// write threads, keep-alives and idle expiry.
#include "hcapi/zip/zip_dtls.h"

#include "hcapi/zip/zip_ssl_ext.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *cipher_list = "PSK-AES256-CBC-SHA:PSK-AES128-CBC-SHA";
constexpr uint32_t tick_ms = 1000;             // one keep-alive tick
constexpr uint16_t client_idle_ticks = 50;     // between keep-alive steps of a client session
constexpr uint16_t server_idle_ticks = 60;     // a server session's peer may stay silent this long
constexpr int8_t client_ka_budget = 5;         // keep-alives before a client session may expire
constexpr int16_t ka_answer_ticks = 2;         // a keep-alive must be answered within this
constexpr int16_t no_answer_due = -1;
constexpr int connect_longest_s = 4;           // handshake waits of 1, 2 and 4 s
constexpr int accept_longest_s = 1;            // the server handshake holds the mutex: 1 s
constexpr int shutdown_wait_ms = 2000;
constexpr int rd_poll_ms = 200;
constexpr int first_snd_polls = 10;            // x 100 ms before reading starts anyway
constexpr size_t rd_buf_len = 1280;
// A record is read whole into a buffer of the largest record size, so that
// one longer than a datagram is dropped rather than handed up in pieces.
constexpr size_t rec_buf_len = 16384 + 1;
constexpr size_t ctrl_buf_len = 256;
constexpr size_t cookie_secret_len = 16;
// A flood on the listening socket must not keep the read thread in the
// new-peer loop under the mutex, nor fill the log: datagrams looked at per
// pass, and bytes of each non-ClientHello shown.
constexpr int new_conn_per_pass = 16;
constexpr size_t junk_dump_max = 32;
// Records read from one session per pass, for the same reason.
constexpr int records_per_pass = 16;
// Rounds of the write thread for one datagram (a new session normally
// needs one).
constexpr int wr_rounds = 3;

const uint8_t keep_alive_req[3] = {0x23, 0x03, 0x80};

enum : uint8_t { st_closed = 0, st_active = 2, st_expiring = 3 };
enum : int { dir_client = 0, dir_server = 1 };
enum : int { op_connect = 0, op_accept = 1 };
// dtls_select results.
enum : int { wait_error = 0, wait_timeout = 1, wait_readable = 2, wait_exception = 3 };

struct dtls_dir_t {
    int sock{-1};
    SSL *ssl{nullptr};
    uint8_t state{st_closed};
    int8_t ka_budget{0};
    uint16_t idle{0};
    int16_t ans_time{no_answer_due};
    uint32_t host_port{0};
};

struct dtls_entry_t {
    uint8_t addr_len{0};  // 4 or 16; 0 marks a free entry
    uint8_t addr[16]{};
    dtls_dir_t dir[2];  // dir_client: ours to the peer; dir_server: the peer's to us
};

}  // namespace

struct dtls_ctx_t {
    std::atomic<uint16_t> tick_cnt{0};
    uint16_t last_tick{0};  // read thread only
    SSL_CTX *clnt_ctx{nullptr};
    SSL_CTX *svr_ctx{nullptr};
    tpt_layer_ctx *tpt{nullptr};
    plt_mtx_t mtx{nullptr};  // the session table and every use of a session
    uint16_t tick_tmr{0};
    int listen_sock{-1};
    dtls_entry_t tbl[DTLS_MAX_PEERS];
    uint8_t cookie_secret[cookie_secret_len]{};
    uint8_t rec_buf[rec_buf_len]{};  // read thread only
};

namespace {

// The DTLS state that dtls_init hangs on the transport context.
dtls_ctx_t *dtls_of(const tpt_layer_ctx *tpt) { return static_cast<dtls_ctx_t *>(tpt->backend_data); }

socklen_t addr_len(uint32_t ipv4) { return ipv4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6); }

// Descriptor 0 is a valid socket.
void close_fd(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// The address bytes of a socket address of the context's family.
const uint8_t *sa_addr(const tpt_sockaddr_t &a, uint32_t ipv4)
{
    return ipv4 ? reinterpret_cast<const uint8_t *>(&a.v4.sin_addr) : reinterpret_cast<const uint8_t *>(&a.v6.sin6_addr);
}

tpt_sockaddr_t sa_make(const uint8_t *addr, uint16_t port, uint32_t ipv4)
{
    tpt_sockaddr_t a{};
    if (ipv4) {
        a.v4.sin_family = AF_INET;
        a.v4.sin_port = htons(port);
        std::memcpy(&a.v4.sin_addr, addr, 4);
    } else {
        a.v6.sin6_family = AF_INET6;
        a.v6.sin6_port = htons(port);
        std::memcpy(&a.v6.sin6_addr, addr, 16);
    }
    return a;
}

// Waits up to `ms` for a stop request.
void stop_wait(tpt_layer_ctx *tpt, int ms)
{
    if (tpt->wake_fd >= 0) {
        pollfd p{tpt->wake_fd, POLLIN, 0};
        (void)poll(&p, 1, ms);
    } else {
        plt_sleep(static_cast<uint32_t>(ms));
    }
}

// Waits up to `ms` for the socket to become readable. A stop request (the
// transport's wake descriptor) ends the wait as an error.
int dtls_select(tpt_layer_ctx *tpt, int sock, int ms)
{
    if (sock < 0)
        return wait_error;
    pollfd p[2] = {{sock, POLLIN | POLLPRI, 0}, {tpt->wake_fd, POLLIN, 0}};
    const nfds_t n = tpt->wake_fd >= 0 ? 2 : 1;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    int r;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        r = poll(p, n, left > 0 ? static_cast<int>(left) : 0);
        if (r < 0 && errno == EINTR)
            continue;
        break;
    }
    if (r < 0)
        return wait_error;
    if (r == 0)
        return wait_timeout;
    if (p[0].revents & POLLNVAL)
        return wait_error;
    if (p[0].revents & POLLIN)
        return wait_readable;
    if (p[0].revents & (POLLPRI | POLLERR | POLLHUP))
        return wait_exception;
    return wait_error;  // only the wake descriptor: stop
}

// ---------------------------------------------------------------------------
// Sockets
// ---------------------------------------------------------------------------

// The DTLS sockets bind through the transport's one bind.
int dtls_sock_bind(tpt_layer_ctx *tpt, int sock, uint16_t port, const uint8_t *addr, uint32_t ipv4)
{
    return tpt_sock_bind(tpt, sock, port, addr, ipv4);
}

int dtls_udp_sock_create(tpt_layer_ctx *tpt, uint16_t port, uint32_t ipv4, int reuse, int pktinfo,
                         const uint8_t *bind_addr, int *sock_out)
{
    int s = socket(ipv4 ? AF_INET : AF_INET6, SOCK_DGRAM, 0);
    if (s < 0) {
        plt_msg_show(tpt->plt_ctx, "Create udp socket failed");
        return 0;
    }
    if (!tpt_sock_opts_set(tpt, s, ipv4, reuse, pktinfo, "set fd O_NONBLOCK failed")) {
        close_fd(s);
        return 0;
    }
    const int rc = dtls_sock_bind(tpt, s, port, bind_addr, ipv4);
    if (rc != 0) {
        plt_msg_show(tpt->plt_ctx, "dtls_sock_bind failed:%d", rc);
        close_fd(s);
        return 0;
    }
    *sock_out = s;
    return 1;
}

int listen_sock_open(tpt_layer_ctx *tpt, dtls_ctx_t *d)
{
    int s = -1;
    if (!dtls_udp_sock_create(tpt, tpt->host_port, tpt->ipv4, 1, 1, nullptr, &s))
        return 0;
    d->listen_sock = s;
    return 1;
}

// ---------------------------------------------------------------------------
// libssl callbacks
// ---------------------------------------------------------------------------

tpt_layer_ctx *tpt_of(SSL *ssl) { return static_cast<tpt_layer_ctx *>(SSL_get_app_data(ssl)); }

// The key never leaves the transport context except into libssl's buffer.
unsigned int psk_copy(const tpt_layer_ctx *tpt, unsigned char *psk, unsigned int max_psk_len)
{
    const uint32_t len = tpt->psk_len;
    if (len == 0 || len > sizeof tpt->psk || len > DTLS_PSK_MAX || len > max_psk_len)
        return 0;
    std::memcpy(psk, tpt->psk, len);
    return len;
}

unsigned int dtls_psk_client_cb(SSL *ssl, const char *, char *identity, unsigned int max_identity_len,
                                unsigned char *psk, unsigned int max_psk_len)
{
    const tpt_layer_ctx *tpt = tpt_of(ssl);
    if (tpt == nullptr || identity == nullptr || max_identity_len < 1)
        return 0;
    identity[0] = '\0';  // the gateway expects an empty identity
    return psk_copy(tpt, psk, max_psk_len);
}

unsigned int dtls_psk_server_cb(SSL *ssl, const char *, unsigned char *psk, unsigned int max_psk_len)
{
    const tpt_layer_ctx *tpt = tpt_of(ssl);
    if (tpt == nullptr)
        return 0;
    return psk_copy(tpt, psk, max_psk_len);
}

// HMAC-SHA1 over the peer's port (network order) and address, keyed with the
// secret drawn at init: 20 bytes, or 0.
unsigned int cookie_make(SSL *ssl, unsigned char *cookie)
{
    const tpt_layer_ctx *tpt = tpt_of(ssl);
    if (tpt == nullptr || dtls_of(tpt) == nullptr)
        return 0;
    const int fd = SSL_get_fd(ssl);
    tpt_sockaddr_t peer{};
    socklen_t plen = sizeof peer;
    if (fd < 0 || getpeername(fd, &peer.sa, &plen) != 0)
        return 0;
    uint8_t input[2 + 16];
    size_t n;
    if (peer.sa.sa_family == AF_INET) {
        std::memcpy(input, &peer.v4.sin_port, 2);
        std::memcpy(input + 2, &peer.v4.sin_addr, 4);
        n = 6;
    } else if (peer.sa.sa_family == AF_INET6) {
        std::memcpy(input, &peer.v6.sin6_port, 2);
        std::memcpy(input + 2, &peer.v6.sin6_addr, 16);
        n = 18;
    } else {
        return 0;
    }
    unsigned int len = 0;
    if (HMAC(EVP_sha1(), dtls_of(tpt)->cookie_secret, cookie_secret_len, input, n, cookie, &len) == nullptr)
        return 0;
    return len;
}

int dtls_cookie_gen_cb(SSL *ssl, unsigned char *cookie, unsigned int *cookie_len)
{
    unsigned char c[EVP_MAX_MD_SIZE];
    const unsigned int len = cookie_make(ssl, c);
    if (len == 0 || len > DTLS1_COOKIE_LENGTH)
        return 0;
    std::memcpy(cookie, c, len);
    *cookie_len = len;
    return 1;
}

int dtls_cookie_verify_cb(SSL *ssl, const unsigned char *cookie, unsigned int cookie_len)
{
    unsigned char c[EVP_MAX_MD_SIZE];
    const unsigned int len = cookie_make(ssl, c);
    return len != 0 && cookie_len == len && CRYPTO_memcmp(c, cookie, len) == 0 ? 1 : 0;
}

void dtls_tick_cb(void *data) { static_cast<dtls_ctx_t *>(data)->tick_cnt.fetch_add(1); }

// ---------------------------------------------------------------------------
// Contexts
// ---------------------------------------------------------------------------

// DTLS 1.0 only, our two PSK suites; level 1 so that a later default does
// not refuse the SHA-1 suites that the gateways speak.
int ssl_ctx_common(SSL_CTX *c)
{
    if (!SSL_CTX_set_min_proto_version(c, DTLS1_VERSION) || !SSL_CTX_set_max_proto_version(c, DTLS1_VERSION))
        return 0;
    SSL_CTX_set_security_level(c, 1);
    return SSL_CTX_set_cipher_list(c, cipher_list) == 1;
}

int dtls_client_ctx_init(dtls_ctx_t *d)
{
    SSL_CTX *c = SSL_CTX_new(DTLS_client_method());
    if (c == nullptr)
        return -1;
    if (!ssl_ctx_common(c)) {
        SSL_CTX_free(c);
        return -2;
    }
    SSL_CTX_set_psk_client_callback(c, dtls_psk_client_cb);
    d->clnt_ctx = c;
    return 0;
}

int dtls_server_ctx_init(tpt_layer_ctx *tpt, dtls_ctx_t *d)
{
    SSL_CTX *c = SSL_CTX_new(DTLS_server_method());
    if (c == nullptr)
        return -1;
    if (!ssl_ctx_common(c)) {
        SSL_CTX_free(c);
        return -2;
    }
    SSL_CTX_set_psk_server_callback(c, dtls_psk_server_cb);
    (void)SSL_CTX_use_psk_identity_hint(c, nullptr);
    SSL_CTX_set_cookie_generate_cb(c, dtls_cookie_gen_cb);
    SSL_CTX_set_cookie_verify_cb(c, dtls_cookie_verify_cb);
    // Sessions are never resumed; a cache would only grow with every peer.
    SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_OFF);
    if (!listen_sock_open(tpt, d)) {
        SSL_CTX_free(c);
        return -3;
    }
    d->svr_ctx = c;
    return 0;
}

// ---------------------------------------------------------------------------
// Sessions
// ---------------------------------------------------------------------------

int ssl_op(SSL *ssl, int op)
{
    ERR_clear_error();
    return op == op_connect ? SSL_connect(ssl) : SSL_accept(ssl);
}

// Runs the handshake on a non-blocking socket, waiting 1 s, then doubling,
// up to `longest_s`, and in all at most the sum of those waits, so that a
// peer that keeps sending junk cannot hold the thread (and, for accept, the
// mutex) for longer. Lost flights are sent again as libssl's timer says.
int dtls_ssl_op_retry(tpt_layer_ctx *tpt, SSL *ssl, int op, int longest_s)
{
    using clock = std::chrono::steady_clock;
    int total_s = 0;
    for (int w = 1; w <= longest_s; w *= 2)
        total_s += w;
    const auto end = clock::now() + std::chrono::seconds(total_s);
    int r = ssl_op(ssl, op);
    int err = SSL_get_error(ssl, r);
    int w = 1;
    while (r != 1 && (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) && w <= longest_s &&
           tpt->wr_run.load()) {
        const auto window_end = std::min(end, clock::now() + std::chrono::seconds(w));
        int st = wait_timeout;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(window_end - clock::now()).count();
            if (left <= 0) {
                st = wait_timeout;
                break;
            }
            timeval tv{};
            if (DTLSv1_get_timeout(ssl, &tv) > 0) {
                const long long dtls_ms = static_cast<long long>(tv.tv_sec) * 1000 + tv.tv_usec / 1000 + 1;
                left = std::min<long long>(left, dtls_ms);
            }
            st = dtls_select(tpt, SSL_get_fd(ssl), static_cast<int>(left));
            if (st != wait_timeout)
                break;
            if (DTLSv1_handle_timeout(ssl) < 0) {
                st = wait_error;
                break;
            }
        }
        if (st == wait_readable || st == wait_exception) {
            r = ssl_op(ssl, op);
            err = SSL_get_error(ssl, r);
        } else if (st == wait_timeout) {
            if (clock::now() >= end)
                break;
            w *= 2;
        } else {
            break;
        }
    }
    return r;
}

void dir_reset(dtls_dir_t &r) { r = dtls_dir_t{}; }

void dtls_ssl_close(tpt_layer_ctx *tpt, dtls_entry_t &e, int dir)
{
    dtls_dir_t &r = e.dir[dir];
    if (r.ssl != nullptr) {
        SSL *ssl = r.ssl;
        ERR_clear_error();
        int rc = SSL_shutdown(ssl);
        if (rc == 0) {
            ERR_clear_error();
            rc = SSL_shutdown(ssl);
        }
        for (int round = 0; rc != 1 && round < 2; ++round) {
            const int err = SSL_get_error(ssl, rc);
            if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE)
                (void)dtls_select(tpt, r.sock, shutdown_wait_ms);
            if (SSL_get_shutdown(ssl) & SSL_RECEIVED_SHUTDOWN)
                break;
            ERR_clear_error();
            rc = SSL_shutdown(ssl);
            if (rc != 1) {
                // Our notification may have been lost: send it again.
                zip_ssl::SSL_unset_shutdown(ssl, SSL_SENT_SHUTDOWN);
                ERR_clear_error();
                rc = SSL_shutdown(ssl);
                if (rc == 0) {
                    ERR_clear_error();
                    rc = SSL_shutdown(ssl);
                }
            }
        }
        SSL_free(ssl);
    }
    close_fd(r.sock);
    dir_reset(r);
    if (e.dir[0].ssl == nullptr && e.dir[1].ssl == nullptr)
        e.addr_len = 0;
}

int dtls_ssl_tbl_find(dtls_ctx_t *d, const uint8_t *addr, uint8_t len, int dir, SSL **ssl, int *idx)
{
    for (int i = 0; i < DTLS_MAX_PEERS; ++i) {
        const dtls_entry_t &e = d->tbl[i];
        if (e.addr_len != 0 && e.addr_len == len && std::memcmp(e.addr, addr, len) == 0) {
            *ssl = e.dir[dir].ssl;
            *idx = i;
            return 0;
        }
    }
    return -1;
}

int dtls_ssl_tbl_add(dtls_ctx_t *d, SSL *ssl, int sock, const uint8_t *addr, uint8_t len, int dir,
                     uint32_t host_port)
{
    plt_lock lk(d->mtx);
    dtls_entry_t *e = nullptr;
    for (dtls_entry_t &t : d->tbl) {
        if (t.addr_len != 0 && t.addr_len == len && std::memcmp(t.addr, addr, len) == 0) {
            e = &t;
            break;
        }
    }
    if (e != nullptr) {
        dtls_dir_t &old = e->dir[dir];
        if (old.ssl != nullptr)
            SSL_free(old.ssl);
        close_fd(old.sock);
        dir_reset(old);
    } else {
        for (dtls_entry_t &t : d->tbl) {
            if (t.addr_len == 0) {
                e = &t;
                break;
            }
        }
        if (e == nullptr)
            return -1;
        *e = dtls_entry_t{};
    }
    dtls_dir_t &r = e->dir[dir];
    r.sock = sock;
    r.ssl = ssl;
    r.state = st_active;
    r.ans_time = no_answer_due;
    if (dir == dir_client) {
        r.idle = client_idle_ticks;
        r.ka_budget = client_ka_budget;
        r.host_port = host_port;
    } else {
        r.idle = server_idle_ticks;
        r.ka_budget = 0;
        r.host_port = 1;
    }
    e->addr_len = len;
    std::memcpy(e->addr, addr, len);
    return 0;
}

int dtls_client_ssl_new(tpt_layer_ctx *tpt, int sock, const uint8_t *addr, uint16_t port, uint32_t ipv4,
                        SSL **out)
{
    SSL *ssl = SSL_new(dtls_of(tpt)->clnt_ctx);
    if (ssl == nullptr) {
        plt_msg_show(tpt->plt_ctx, "Failed to create SSL object");
        return -1;
    }
    SSL_set_app_data(ssl, tpt);
    const tpt_sockaddr_t peer = sa_make(addr, port, ipv4);
    // A failed connect shows up as a failed attachment or handshake.
    (void)connect(sock, &peer.sa, addr_len(ipv4));
    if (!zip_ssl::SSL_set_dgram_fd(ssl, sock)) {
        SSL_free(ssl);
        return -1;
    }
    *out = ssl;
    return 0;
}

bool is_ready(const std::vector<int> &ready, int sock) { return std::binary_search(ready.begin(), ready.end(), sock); }

// Reads the sessions whose socket is ready (every one with `all`); with the
// mutex held, released only around the receive callback.
void dtls_ssl_rd(tpt_layer_ctx *tpt, const std::vector<int> &ready, bool all)
{
    dtls_ctx_t *d = dtls_of(tpt);
    uint8_t *const buf = d->rec_buf;
    for (dtls_entry_t &e : d->tbl) {
        for (int dir = 0; dir < 2; ++dir) {
            if (e.addr_len == 0)
                break;
            dtls_dir_t &r = e.dir[dir];
            if ((r.state != st_active && r.state != st_expiring) || r.ssl == nullptr)
                continue;
            if (!all && !is_ready(ready, r.sock))
                continue;
            SSL *const ssl = r.ssl;
            for (int n = 0; n < records_per_pass; ++n) {
                ERR_clear_error();
                const int got = SSL_read(ssl, buf, static_cast<int>(rec_buf_len));
                if (got > 0) {
                    if (dir == dir_server)
                        r.idle = server_idle_ticks;
                    if (static_cast<size_t>(got) > TPT_MAX_DATAGRAM) {
                        plt_msg_show(tpt->plt_ctx, "DTLS: dropped a record of %d bytes", got);
                        continue;
                    }
                    if (got > 2 && buf[0] == 0x23 && buf[1] == 0x03 && (buf[2] & 0x40)) {
                        r.ans_time = no_answer_due;  // our keep-alive was answered
                        continue;
                    }
                    tpt_sockaddr_t src{};
                    std::memcpy(tpt->ipv4 ? reinterpret_cast<uint8_t *>(&src.v4.sin_addr)
                                          : reinterpret_cast<uint8_t *>(&src.v6.sin6_addr),
                                e.addr, e.addr_len);
                    plt_mtx_ulck(d->mtx);
                    if (tpt->rx_cb != nullptr)
                        tpt->rx_cb(tpt, buf, static_cast<uint16_t>(got), &src, nullptr);
                    plt_mtx_lck(d->mtx);
                    // The write thread may have replaced the session meanwhile.
                    if (r.ssl != ssl)
                        break;
                    continue;
                }
                const int err = SSL_get_error(ssl, got);
                if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE)
                    break;
                if (got == 0 || err == SSL_ERROR_ZERO_RETURN) {
                    dtls_ssl_close(tpt, e, dir);
                    break;
                }
                plt_msg_ts_show(tpt->plt_ctx, "SSL_read failed: %d", err);
                if (err == SSL_ERROR_SYSCALL) {
                    dtls_ssl_close(tpt, e, dir);
                    break;
                }
                uint8_t junk[rd_buf_len];
                (void)!recv(r.sock, junk, sizeof junk, MSG_DONTWAIT);
                break;
            }
        }
    }
}

// A ClientHello of DTLS 1.0: handshake record, version FE FF, message type 1.
bool is_client_hello(const uint8_t *b, ssize_t n)
{
    return n >= 14 && b[0] == 22 && b[1] == 0xFE && b[2] == 0xFF && b[13] == 1;
}

void dtls_accept_peer(tpt_layer_ctx *tpt, const uint8_t *hello, size_t len, const msghdr *msg,
                      const tpt_sockaddr_t *src)
{
    dtls_ctx_t *d = dtls_of(tpt);
    uint8_t local[16];
    if (!tpt_pktinfo_dst_get(msg, tpt->ipv4, local)) {
        plt_msg_show(tpt->plt_ctx, "Err: no received packet header destination address");
        return;
    }
    int s = -1;
    if (!dtls_udp_sock_create(tpt, tpt->host_port, tpt->ipv4, 1, 0, local, &s))
        return;
    if (connect(s, &src->sa, addr_len(tpt->ipv4)) != 0) {
        plt_msg_ts_show(tpt->plt_ctx, "New DTLS connect failed");
        close_fd(s);
        return;
    }
    SSL *ssl = SSL_new(d->svr_ctx);
    if (ssl == nullptr) {
        plt_msg_show(tpt->plt_ctx, "Failed to create server SSL object");
        close_fd(s);
        return;
    }
    SSL_set_app_data(ssl, tpt);
    if (!zip_ssl::SSL_set_fd_rcv_msg(ssl, s, hello, len)) {
        plt_msg_show(tpt->plt_ctx, "SSL_set_fd_rcv_msg failed");
        SSL_free(ssl);
        close_fd(s);
        return;
    }
    SSL_set_options(ssl, SSL_OP_COOKIE_EXCHANGE);
    const int r = dtls_ssl_op_retry(tpt, ssl, op_accept, accept_longest_s);
    if (r != 1) {
        plt_msg_ts_show(tpt->plt_ctx, "ssl_accept failed. Err: %d", SSL_get_error(ssl, r));
        SSL_free(ssl);
        close_fd(s);
        return;
    }
    const uint8_t alen = tpt->ipv4 ? 4 : 16;
    if (dtls_ssl_tbl_add(d, ssl, s, sa_addr(*src, tpt->ipv4), alen, dir_server, 1) != 0) {
        SSL_free(ssl);
        close_fd(s);
        plt_msg_show(tpt->plt_ctx, "Error: \"IP address - ssl\" table is full!");
    }
}

// New peers on the listening socket, with the mutex held.
void dtls_new_conn_hdlr(tpt_layer_ctx *tpt)
{
    dtls_ctx_t *d = dtls_of(tpt);
    for (int n = 0; n < new_conn_per_pass; ++n) {
        if (d->listen_sock < 0)
            return;
        uint8_t buf[rd_buf_len];
        alignas(cmsghdr) uint8_t ctrl[ctrl_buf_len];
        tpt_sockaddr_t src{};
        iovec iov{buf, sizeof buf};
        msghdr msg{};
        msg.msg_name = &src;
        msg.msg_namelen = addr_len(tpt->ipv4);
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = ctrl;
        msg.msg_controllen = sizeof ctrl;
        const ssize_t got = recvmsg(d->listen_sock, &msg, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EBADF || errno == ENOTSOCK) {
                plt_msg_show(tpt->plt_ctx, "DTLS: new connection rcv error");
                close_fd(d->listen_sock);
                (void)listen_sock_open(tpt, d);
            }
            return;
        }
        if ((msg.msg_flags & MSG_TRUNC) || !is_client_hello(buf, got)) {
            plt_msg_ts_show(tpt->plt_ctx, "Warning: received non client hello msg:");
            plt_bin_show(tpt->plt_ctx, buf, std::min<size_t>(static_cast<size_t>(got), junk_dump_max));
            continue;
        }
        dtls_accept_peer(tpt, buf, static_cast<size_t>(got), &msg, &src);
        return;
    }
}

// Keep-alive and idle steps for every session, by the ticks gone since the
// last pass.
void dtls_keep_alive_snd(tpt_layer_ctx *tpt)
{
    dtls_ctx_t *d = dtls_of(tpt);
    const uint16_t e = static_cast<uint16_t>(d->tick_cnt.load() - d->last_tick);
    if (e == 0)
        return;
    {
        plt_lock lk(d->mtx);
        for (dtls_entry_t &ent : d->tbl) {
            for (int dir = 0; dir < 2; ++dir) {
                if (ent.addr_len == 0)
                    break;
                dtls_dir_t &r = ent.dir[dir];
                if ((r.state != st_active && r.state != st_expiring) || r.idle == 0)
                    continue;
                if (r.ans_time > static_cast<int>(e)) {
                    r.ans_time = static_cast<int16_t>(r.ans_time - e);
                } else if (r.ans_time >= 0) {
                    dtls_ssl_close(tpt, ent, dir);  // the keep-alive went unanswered
                    continue;
                }
                if (e < r.idle) {
                    r.idle = static_cast<uint16_t>(r.idle - e);
                    continue;
                }
                r.idle = 0;
                if (dir == dir_server) {
                    dtls_ssl_close(tpt, ent, dir);
                } else if (r.ka_budget > 0) {
                    r.idle = client_idle_ticks;
                    r.ka_budget = static_cast<int8_t>(r.ka_budget - 1);
                    ERR_clear_error();
                    const int w = SSL_write(r.ssl, keep_alive_req, sizeof keep_alive_req);
                    if (w == static_cast<int>(sizeof keep_alive_req))
                        r.ans_time = ka_answer_ticks;
                    else
                        plt_msg_show(tpt->plt_ctx, "Send keep alive failed. Err: %d", w);
                } else if (r.ka_budget == 0) {
                    r.idle = client_idle_ticks;
                    r.ka_budget = -1;
                } else if (r.state == st_active) {
                    r.idle = client_idle_ticks;
                    r.state = st_expiring;
                } else {
                    dtls_ssl_close(tpt, ent, dir);
                }
            }
        }
    }
    d->last_tick = static_cast<uint16_t>(d->last_tick + e);
}

// One queued datagram: into the session for its destination, opening a
// client session when there is none that may carry it.
void dtls_wr_dgram(tpt_layer_ctx *tpt, util_lst_t *node)
{
    dtls_ctx_t *d = dtls_of(tpt);
    const tpt_dgram_hdr_t *h = tpt_dgram_hdr(node);
    const uint8_t *payload = tpt_dgram_payload(node);
    const uint32_t ipv4 = tpt->ipv4;
    const uint8_t alen = ipv4 ? 4 : 16;
    uint8_t addr[16];
    std::memcpy(addr, sa_addr(h->dst, ipv4), alen);
    uint16_t flags = h->flags;

    for (int round = 0; round < wr_rounds; ++round) {
        {
            plt_lock lk(d->mtx);
            SSL *ssl = nullptr;
            int idx = -1;
            int dir = dir_server;
            int rc = dtls_ssl_tbl_find(d, addr, alen, dir, &ssl, &idx);
            if (rc != 0 || ssl == nullptr) {
                dir = dir_client;
                rc = dtls_ssl_tbl_find(d, addr, alen, dir, &ssl, &idx);
            }
            if (rc == 0 && ssl != nullptr) {
                dtls_dir_t &r = d->tbl[idx].dir[dir];
                const bool usable = r.state == st_active &&
                                    ((flags & (TPT_FLAG_DTLS_NEW | TPT_FLAG_HOST_PORT)) == 0 ||
                                     ((flags & TPT_FLAG_HOST_PORT) && !(flags & TPT_FLAG_DTLS_NEW) && r.host_port));
                if (usable) {
                    ERR_clear_error();
                    const int w = SSL_write(ssl, payload, h->len);
                    if (w != static_cast<int>(h->len)) {
                        plt_msg_show(tpt->plt_ctx, "Send udp failed. Err: %d", w);
                    } else if (dir == dir_client) {
                        r.idle = client_idle_ticks;
                        if (!r.host_port)
                            r.ka_budget = client_ka_budget;
                        r.ans_time = no_answer_due;
                    }
                    return;
                }
            }
            if (rc == 0)
                dtls_ssl_close(tpt, d->tbl[idx], dir);
        }

        // The client handshake runs without the mutex: the read thread does
        // not look at a session before it is in the table.
        const bool host_port = (flags & TPT_FLAG_HOST_PORT) != 0;
        const uint8_t *bind_addr = ipv4 ? nullptr : tpt->host_addr;
        int s = -1;
        if (!dtls_udp_sock_create(tpt, host_port ? tpt->host_port : 0, ipv4, host_port ? 1 : 0, 0, bind_addr, &s))
            return;
        SSL *ssl = nullptr;
        const int rc = dtls_client_ssl_new(tpt, s, addr, DTLS_PEER_PORT, ipv4, &ssl);
        if (rc != 0) {
            close_fd(s);
            plt_msg_show(tpt->plt_ctx, "Create SSL failed. Err: %d", rc);
            return;
        }
        const int cr = dtls_ssl_op_retry(tpt, ssl, op_connect, connect_longest_s);
        if (cr != 1) {
            const int err = SSL_get_error(ssl, cr);
            SSL_free(ssl);
            close_fd(s);
            plt_msg_show(tpt->plt_ctx, "SSL connect failed. Err: %d", err);
            return;
        }
        if (dtls_ssl_tbl_add(d, ssl, s, addr, alen, dir_client, host_port ? 1 : 0) != 0) {
            SSL_free(ssl);
            close_fd(s);
            plt_msg_show(tpt->plt_ctx, "Error: \"IP address - ssl\" table is full!");
            return;
        }
        flags = static_cast<uint16_t>(flags & ~TPT_FLAG_DTLS_NEW);
    }
    plt_msg_show(tpt->plt_ctx, "Send udp failed. Err: %d", -1);
}

// Undoes dtls_init up to the mutex; the tick is stopped, and its callback
// has returned, before the context goes.
void dtls_free(tpt_layer_ctx *tpt, dtls_ctx_t *d)
{
    if (d->tick_tmr != 0) {
        plt_tmr_stop(tpt->plt_ctx, d->tick_tmr);
        d->tick_tmr = 0;
    }
    plt_tmr_cb_wait(tpt->plt_ctx, d);
    if (d->svr_ctx != nullptr)
        SSL_CTX_free(d->svr_ctx);
    if (d->clnt_ctx != nullptr)
        SSL_CTX_free(d->clnt_ctx);
    close_fd(d->listen_sock);
    if (d->mtx != nullptr)
        plt_mtx_destroy(d->mtx);
    delete d;
    tpt->backend_data = nullptr;
}

int dtls_init(tpt_layer_ctx *tpt)
{
    if (tpt == nullptr)
        return -1;
    if (tpt->psk_len == 0 || tpt->psk_len > DTLS_PSK_MAX) {
        plt_msg_show(tpt->plt_ctx, "dtls_init: pre-shared key length %u not in 1..%u", tpt->psk_len, DTLS_PSK_MAX);
        return -5;
    }
    auto *d = new (std::nothrow) dtls_ctx_t;
    if (d == nullptr)
        return -1;
    d->tpt = tpt;
    tpt->backend_data = d;
    if (!plt_mtx_init(&d->mtx)) {
        d->mtx = nullptr;
        dtls_free(tpt, d);
        return -2;
    }
    d->tick_tmr = plt_periodic_start(tpt->plt_ctx, tick_ms, dtls_tick_cb, d);
    if (d->tick_tmr == 0) {
        dtls_free(tpt, d);
        return -3;
    }
    if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) != 1 ||
        RAND_bytes(d->cookie_secret, sizeof d->cookie_secret) <= 0) {
        dtls_free(tpt, d);
        return -4;
    }
    if (dtls_client_ctx_init(d) != 0) {
        dtls_free(tpt, d);
        return -5;
    }
    if (dtls_server_ctx_init(tpt, d) != 0) {
        dtls_free(tpt, d);
        return -6;
    }
    return 0;
}

void dtls_exit(tpt_layer_ctx *tpt)
{
    if (tpt == nullptr || dtls_of(tpt) == nullptr)
        return;
    dtls_ctx_t *d = dtls_of(tpt);
    if (d->tick_tmr != 0) {
        plt_tmr_stop(tpt->plt_ctx, d->tick_tmr);
        d->tick_tmr = 0;
    }
    {
        plt_lock lk(d->mtx);
        for (dtls_entry_t &e : d->tbl) {
            if (e.addr_len == 0)
                continue;
            dtls_ssl_close(tpt, e, dir_client);
            dtls_ssl_close(tpt, e, dir_server);
        }
        close_fd(d->listen_sock);
    }
    dtls_free(tpt, d);
}

void dtls_rd_thrd(void *data)
{
    auto *tpt = static_cast<tpt_layer_ctx *>(data);
    dtls_ctx_t *d = dtls_of(tpt);
    tpt->rd_running.store(1);
    for (int i = 0; i < first_snd_polls && !tpt->first_snd.load() && tpt->rd_run.load(); ++i)
        stop_wait(tpt, 100);
    d->last_tick = d->tick_cnt.load();
    std::vector<pollfd> fds;
    std::vector<int> ready;
    fds.reserve(2 + 2 * DTLS_MAX_PEERS);
    ready.reserve(2 * DTLS_MAX_PEERS);
    while (tpt->rd_run.load()) {
        fds.clear();
        int listen_sock = -1;
        {
            plt_lock lk(d->mtx);
            listen_sock = d->listen_sock;
            if (listen_sock >= 0)
                fds.push_back({listen_sock, POLLIN, 0});
            for (const dtls_entry_t &e : d->tbl) {
                if (e.addr_len == 0)
                    continue;
                for (const dtls_dir_t &r : e.dir)
                    if ((r.state == st_active || r.state == st_expiring) && r.sock >= 0)
                        fds.push_back({r.sock, POLLIN, 0});
            }
        }
        if (tpt->wake_fd >= 0)
            fds.push_back({tpt->wake_fd, POLLIN, 0});
        const int n = poll(fds.data(), fds.size(), rd_poll_ms);
        if (!tpt->rd_run.load())
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "select failed: %s\n", std::strerror(errno));
            {
                plt_lock lk(d->mtx);
                dtls_ssl_rd(tpt, ready, true);
                dtls_new_conn_hdlr(tpt);
            }
            stop_wait(tpt, 100);
        } else if (n > 0) {
            ready.clear();
            bool listen_ready = false;
            for (const pollfd &p : fds) {
                if (p.fd == tpt->wake_fd || !(p.revents & (POLLIN | POLLERR | POLLHUP)))
                    continue;
                if (p.fd == listen_sock)
                    listen_ready = true;
                else
                    ready.push_back(p.fd);
            }
            std::sort(ready.begin(), ready.end());
            plt_lock lk(d->mtx);
            if (!ready.empty())
                dtls_ssl_rd(tpt, ready, false);
            if (listen_ready)
                dtls_new_conn_hdlr(tpt);
        }
        // After every wait, not only after an idle one: steady traffic (or a
        // flood) must not hold off keep-alive answers and idle expiry.
        dtls_keep_alive_snd(tpt);
    }
    tpt->rd_running.store(0);
}

void dtls_wr_thrd(void *data) { tpt_wr_loop(static_cast<tpt_layer_ctx *>(data), dtls_wr_dgram); }

// The plain socket that tpt_init opened is not used: every session has a
// socket of its own, and peers come in on the listening socket.
int dtls_backend_init(tpt_layer_ctx *tpt)
{
    const int s = tpt->sock.exchange(-1);
    if (s >= 0)
        close(s);
    return dtls_init(tpt);
}

}  // namespace

const tpt_backend_t dtls_tpt_backend = {"DTLS", dtls_backend_init, dtls_exit, dtls_rd_thrd, dtls_wr_thrd};
