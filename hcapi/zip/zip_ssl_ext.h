// Two session calls that the DTLS transport needs and stock libssl does not
// offer, plus the datagram attachment that both of our DTLS roles use.
//
// They live in a namespace of their own so that they can never collide with
// a libssl that one day grows calls of the same names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <openssl/ssl.h>

namespace zip_ssl {

// Attaches a connected UDP socket to a session as a datagram BIO (not the
// stream BIO that SSL_set_fd makes), so that libssl sees datagram semantics:
// path MTU, retransmission timer hooks, one record set per read. The socket
// stays open when the session is freed. 1 done, 0 failed.
int SSL_set_dgram_fd(SSL *s, int fd);

// For a new server-side session: attaches the per-peer socket `fd` (connected
// to the peer) as above, and makes `msg` (the ClientHello already read from
// the listening socket) the first datagram that the session reads; every
// later read, and every write, goes to the socket. `msg` is copied.
// 1 done, 0 failed (the session is left without a BIO).
int SSL_set_fd_rcv_msg(SSL *s, int fd, const uint8_t *msg, size_t len);

// Clears `mode` (SSL_SENT_SHUTDOWN, SSL_RECEIVED_SHUTDOWN) from the session's
// shutdown state, so that the next SSL_shutdown sends the close notification
// again.
void SSL_unset_shutdown(SSL *s, int mode);

}  // namespace zip_ssl
