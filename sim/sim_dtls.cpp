#include "sim/sim_dtls.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

namespace sim {

namespace {

constexpr const char *cipher_list = "PSK-AES256-CBC-SHA:PSK-AES128-CBC-SHA";
constexpr size_t max_psk = 64;
constexpr size_t max_sessions = 1024;  // half-open peers beyond this push out the oldest attempt
constexpr long link_mtu = 1400;
constexpr std::chrono::milliseconds retransmit_check{100};
constexpr size_t record_buffer = 16384;

bool is_fresh_client_hello(const uint8_t *b, size_t n)
{
    // Handshake record of epoch 0 carrying a ClientHello.
    return n >= 14 && b[0] == 22 && b[3] == 0 && b[4] == 0 && b[13] == 1;
}

} // namespace

// One peer: its session and the datagram queue its BIO reads from.
struct dtls_layer::session {
    dtls_layer *layer = nullptr;
    int socket_id = -1;
    endpoint peer;
    SSL *ssl = nullptr;
    bool established = false;
    std::deque<std::vector<uint8_t>> inbox;
    uint64_t serial = 0;

    ~session()
    {
        if (ssl)
            SSL_free(ssl);
    }
};

// Glue between the BIO and PSK callbacks and the layer's private state,
// called with the layer's lock held.
struct dtls_glue {
    static int send(dtls_layer::session *s, const uint8_t *data, size_t length)
    {
        return s->layer->udp_.send(s->socket_id, s->peer, data, length);
    }
    static unsigned int psk(dtls_layer::session *s, const char *identity, unsigned char *out, unsigned int max)
    {
        dtls_layer *l = s->layer;
        l->stats_.last_identity = identity ? identity : "";
        if (l->psk_.empty() || l->psk_.size() > max)
            return 0;
        std::memcpy(out, l->psk_.data(), l->psk_.size());
        return static_cast<unsigned int>(l->psk_.size());
    }
};

namespace {

// A datagram BIO of our own: each read takes one queued datagram, each write
// leaves as one datagram on the simulator's socket.
int wire_write(BIO *b, const char *in, int len)
{
    auto *s = static_cast<dtls_layer::session *>(BIO_get_data(b));
    BIO_clear_retry_flags(b);
    if (!s || len < 0)
        return -1;
    return dtls_glue::send(s, reinterpret_cast<const uint8_t *>(in), static_cast<size_t>(len)) == 0 ? len : -1;
}

int wire_read(BIO *b, char *out, int len)
{
    auto *s = static_cast<dtls_layer::session *>(BIO_get_data(b));
    BIO_clear_retry_flags(b);
    if (!s || len < 0)
        return -1;
    if (s->inbox.empty()) {
        BIO_set_retry_read(b);
        return -1;
    }
    std::vector<uint8_t> &d = s->inbox.front();
    const size_t n = d.size() < static_cast<size_t>(len) ? d.size() : static_cast<size_t>(len);
    std::memcpy(out, d.data(), n);
    s->inbox.pop_front();
    return static_cast<int>(n);
}

long wire_ctrl(BIO *b, int cmd, long, void *)
{
    auto *s = static_cast<dtls_layer::session *>(BIO_get_data(b));
    switch (cmd) {
    case BIO_CTRL_FLUSH:
    case BIO_CTRL_DGRAM_SET_NEXT_TIMEOUT:
    case BIO_CTRL_DGRAM_SET_MTU:
        return 1;
    case BIO_CTRL_DGRAM_QUERY_MTU:
    case BIO_CTRL_DGRAM_GET_FALLBACK_MTU:
        return link_mtu - 28;
    case BIO_CTRL_DGRAM_GET_MTU_OVERHEAD:
        return 28; // IPv4 + UDP headers
    case BIO_CTRL_PENDING:
        return s && !s->inbox.empty() ? static_cast<long>(s->inbox.front().size()) : 0;
    default:
        return 0;
    }
}

int wire_create(BIO *b)
{
    BIO_set_init(b, 1);
    return 1;
}

const BIO_METHOD *wire_method()
{
    static BIO_METHOD *const m = [] {
        BIO_METHOD *bm = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "sim dtls wire");
        if (bm) {
            BIO_meth_set_write(bm, wire_write);
            BIO_meth_set_read(bm, wire_read);
            BIO_meth_set_ctrl(bm, wire_ctrl);
            BIO_meth_set_create(bm, wire_create);
        }
        return bm;
    }();
    return m;
}

unsigned int psk_server_cb(SSL *ssl, const char *identity, unsigned char *psk, unsigned int max_psk_len)
{
    auto *s = static_cast<dtls_layer::session *>(SSL_get_app_data(ssl));
    return s ? dtls_glue::psk(s, identity, psk, max_psk_len) : 0;
}

} // namespace

dtls_layer::dtls_layer(udp_transport &udp) : udp_(udp) {}

dtls_layer::~dtls_layer()
{
    {
        std::lock_guard lock(mu_);
        sessions_.clear();
    }
    if (ctx_)
        SSL_CTX_free(ctx_);
}

int dtls_layer::configure(const std::vector<uint8_t> &psk, std::string *error)
{
    if (psk.empty() || psk.size() > max_psk) {
        if (error)
            *error = "DTLS key must have 1 to 64 bytes";
        return -EINVAL;
    }
    SSL_CTX *c = SSL_CTX_new(DTLS_server_method());
    if (!c || !wire_method()) {
        if (error)
            *error = "cannot create the DTLS server context";
        SSL_CTX_free(c);
        return -ENOMEM;
    }
    SSL_CTX_set_min_proto_version(c, DTLS1_VERSION);
    SSL_CTX_set_max_proto_version(c, DTLS1_VERSION);
    SSL_CTX_set_security_level(c, 1);
    if (SSL_CTX_set_cipher_list(c, cipher_list) != 1) {
        if (error)
            *error = "DTLS cipher list refused";
        SSL_CTX_free(c);
        return -EINVAL;
    }
    SSL_CTX_set_psk_server_callback(c, psk_server_cb);
    SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_OFF);
    std::lock_guard lock(mu_);
    psk_ = psk;
    ctx_ = c;
    return 0;
}

void dtls_layer::start()
{
    udp_.schedule(retransmit_check, [this] { tick(); });
}

void dtls_layer::tick()
{
    {
        std::lock_guard lock(mu_);
        for (auto &[key, s] : sessions_)
            if (!s->established)
                DTLSv1_handle_timeout(s->ssl);
    }
    udp_.schedule(retransmit_check, [this] { tick(); });
}

void dtls_layer::erase(const std::pair<int, std::string> &key)
{
    sessions_.erase(key);
    stats_.sessions = sessions_.size();
}

void dtls_layer::on_wire(int socket_id, const uint8_t *data, size_t length, const endpoint &from,
                         const std::string &to_address, const udp_transport::receive_fn &deliver)
{
    std::vector<std::vector<uint8_t>> records;
    {
        std::lock_guard lock(mu_);
        if (!ctx_)
            return;
        const auto key = std::make_pair(socket_id, from.text());
        auto it = sessions_.find(key);
        const bool fresh = is_fresh_client_hello(data, length);
        if (it != sessions_.end() && fresh && it->second->established) {
            // The client lost its session and starts again from the same port.
            erase(key);
            stats_.replaced++;
            it = sessions_.end();
        }
        if (it == sessions_.end()) {
            if (!fresh)
                return; // not ours to decrypt
            if (sessions_.size() >= max_sessions) {
                auto oldest = sessions_.end();
                for (auto i = sessions_.begin(); i != sessions_.end(); ++i)
                    if (!i->second->established && (oldest == sessions_.end() || i->second->serial < oldest->second->serial))
                        oldest = i;
                if (oldest == sessions_.end())
                    return;
                sessions_.erase(oldest);
            }
            auto s = std::make_unique<session>();
            s->layer = this;
            s->socket_id = socket_id;
            s->peer = from;
            s->serial = ++next_serial_;
            s->ssl = SSL_new(ctx_);
            BIO *b = s->ssl ? BIO_new(wire_method()) : nullptr;
            if (!b)
                return;
            BIO_set_data(b, s.get());
            SSL_set_bio(s->ssl, b, b);
            SSL_set_app_data(s->ssl, s.get());
            SSL_set_options(s->ssl, SSL_OP_NO_QUERY_MTU);
            DTLS_set_link_mtu(s->ssl, link_mtu);
            SSL_set_accept_state(s->ssl);
            it = sessions_.emplace(key, std::move(s)).first;
            stats_.sessions = sessions_.size();
        }
        session &s = *it->second;
        s.inbox.emplace_back(data, data + length);
        if (!s.established) {
            ERR_clear_error();
            int r = SSL_do_handshake(s.ssl);
            if (r == 1) {
                s.established = true;
                stats_.handshakes++;
            } else {
                int err = SSL_get_error(s.ssl, r);
                if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
                    stats_.failures++;
                    erase(key);
                }
                return;
            }
        }
        std::vector<uint8_t> buf(record_buffer);
        for (;;) {
            ERR_clear_error();
            int n = SSL_read(s.ssl, buf.data(), static_cast<int>(buf.size()));
            if (n > 0) {
                records.emplace_back(buf.begin(), buf.begin() + n);
                continue;
            }
            int err = SSL_get_error(s.ssl, n);
            if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE)
                break;
            if (err == SSL_ERROR_ZERO_RETURN) {
                // Answer the close notification, as a gateway does.
                stats_.peer_closes++;
                ERR_clear_error();
                SSL_shutdown(s.ssl);
            }
            erase(key);
            break;
        }
    }
    for (const std::vector<uint8_t> &r : records)
        if (deliver)
            deliver(socket_id, r.data(), r.size(), from, to_address);
}

int dtls_layer::send(int socket_id, const endpoint &to, const uint8_t *data, size_t length)
{
    std::lock_guard lock(mu_);
    auto it = sessions_.find(std::make_pair(socket_id, to.text()));
    if (it == sessions_.end() || !it->second->established)
        return -ENOTCONN;
    ERR_clear_error();
    int n = SSL_write(it->second->ssl, data, static_cast<int>(length));
    return n == static_cast<int>(length) ? 0 : -EIO;
}

dtls_stats dtls_layer::stats() const
{
    std::lock_guard lock(mu_);
    return stats_;
}

} // namespace sim
