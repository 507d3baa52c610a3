// A filter BIO that replays one datagram in front of a datagram socket BIO.
#include "hcapi/zip/zip_ssl_ext.h"

#include <cstring>
#include <new>
#include <openssl/bio.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <vector>

namespace zip_ssl {

namespace {

// What the filter holds until the session reads it.
struct first_dgram_t {
    std::vector<uint8_t> bytes;
    bool pending{true};
};

first_dgram_t *first_of(BIO *b) { return static_cast<first_dgram_t *>(BIO_get_data(b)); }

int first_write(BIO *b, const char *in, int len)
{
    BIO *next = BIO_next(b);
    if (next == nullptr)
        return -1;
    BIO_clear_retry_flags(b);
    const int r = BIO_write(next, in, len);
    BIO_copy_next_retry(b);
    return r;
}

int first_read(BIO *b, char *out, int len)
{
    BIO_clear_retry_flags(b);
    first_dgram_t *d = first_of(b);
    if (d != nullptr && d->pending) {
        d->pending = false;
        // libssl reads a whole datagram into a buffer of its record size, so
        // the ClientHello fits; a datagram that does not is cut, as the
        // kernel would cut it.
        const size_t n = d->bytes.size() < static_cast<size_t>(len) ? d->bytes.size() : static_cast<size_t>(len);
        std::memcpy(out, d->bytes.data(), n);
        d->bytes.clear();
        d->bytes.shrink_to_fit();
        return static_cast<int>(n);
    }
    BIO *next = BIO_next(b);
    if (next == nullptr)
        return -1;
    const int r = BIO_read(next, out, len);
    BIO_copy_next_retry(b);
    return r;
}

long first_ctrl(BIO *b, int cmd, long num, void *ptr)
{
    first_dgram_t *d = first_of(b);
    if (cmd == BIO_CTRL_PENDING && d != nullptr && d->pending)
        return static_cast<long>(d->bytes.size());
    BIO *next = BIO_next(b);
    if (next == nullptr)
        return 0;
    // Everything else (MTU, timers, peer, flush) is the socket BIO's business.
    return BIO_ctrl(next, cmd, num, ptr);
}

int first_create(BIO *b)
{
    BIO_set_data(b, nullptr);
    BIO_set_init(b, 1);
    return 1;
}

int first_destroy(BIO *b)
{
    if (b == nullptr)
        return 0;
    delete first_of(b);
    BIO_set_data(b, nullptr);
    BIO_set_init(b, 0);
    return 1;
}

BIO_METHOD *make_first_method()
{
    BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_FILTER, "zip first datagram");
    if (m == nullptr)
        return nullptr;
    if (!BIO_meth_set_write(m, first_write) || !BIO_meth_set_read(m, first_read) ||
        !BIO_meth_set_ctrl(m, first_ctrl) || !BIO_meth_set_create(m, first_create) ||
        !BIO_meth_set_destroy(m, first_destroy)) {
        BIO_meth_free(m);
        return nullptr;
    }
    return m;
}

// Made once for the process; libssl keeps a pointer to it in every BIO.
const BIO_METHOD *first_method()
{
    static BIO_METHOD *const m = make_first_method();
    return m;
}

// A datagram BIO on a connected socket, told its peer so that it writes
// with send() and can query the path MTU.
BIO *dgram_bio_new(int fd)
{
    sockaddr_storage peer{};
    socklen_t plen = sizeof peer;
    if (fd < 0 || getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &plen) != 0)
        return nullptr;
    BIO_ADDR *addr = BIO_ADDR_new();
    if (addr == nullptr)
        return nullptr;
    int ok = 0;
    if (peer.ss_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(&peer);
        ok = BIO_ADDR_rawmake(addr, AF_INET, &v4->sin_addr, sizeof v4->sin_addr, v4->sin_port);
    } else if (peer.ss_family == AF_INET6) {
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&peer);
        ok = BIO_ADDR_rawmake(addr, AF_INET6, &v6->sin6_addr, sizeof v6->sin6_addr, v6->sin6_port);
    }
    BIO *b = ok ? BIO_new_dgram(fd, BIO_NOCLOSE) : nullptr;
    if (b != nullptr)
        BIO_ctrl_set_connected(b, addr);
    BIO_ADDR_free(addr);
    return b;
}

}  // namespace

int SSL_set_dgram_fd(SSL *s, int fd)
{
    if (s == nullptr)
        return 0;
    BIO *b = dgram_bio_new(fd);
    if (b == nullptr)
        return 0;
    // One BIO for both directions; SSL_set_bio takes the extra reference.
    SSL_set_bio(s, b, b);
    return 1;
}

int SSL_set_fd_rcv_msg(SSL *s, int fd, const uint8_t *msg, size_t len)
{
    if (s == nullptr || (msg == nullptr && len != 0) || first_method() == nullptr)
        return 0;
    auto *d = new (std::nothrow) first_dgram_t;
    if (d == nullptr)
        return 0;
    try {
        d->bytes.assign(msg, msg + len);
    } catch (...) {
        delete d;
        return 0;
    }
    BIO *sock = dgram_bio_new(fd);
    BIO *filter = sock != nullptr ? BIO_new(first_method()) : nullptr;
    if (filter == nullptr) {
        delete d;
        BIO_free(sock);
        return 0;
    }
    BIO_set_data(filter, d);
    BIO_push(filter, sock);
    SSL_set_bio(s, filter, filter);
    return 1;
}

void SSL_unset_shutdown(SSL *s, int mode)
{
    if (s != nullptr)
        SSL_set_shutdown(s, SSL_get_shutdown(s) & ~mode);
}

}  // namespace zip_ssl
