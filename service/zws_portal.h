// trellan's client of kestrund's local socket: one connection per request,
// one frame written, then everything read until the daemon closes. It moves
// bytes and knows nothing of Avro.
//
// Status: 0 success, 22 failure (one "error" line with the system's text).
#pragma once

#include <sys/select.h>

struct zws_portal_t {
    int socket_fd;
    int max_fd;
    fd_set read_fds;
    fd_set write_fds;
    int receive_timeout; // seconds, the limit of each wait for incoming bytes
};

// The abstract socket name: the first byte becomes NUL and the whole
// 108-byte path (trailing NULs included) is the name.
constexpr char ZWS_PORTAL_SOCKET_NAME[] = "#kestrund_socket";
// Replies larger than this are refused rather than held in memory.
constexpr int ZWS_PORTAL_MAX_REPLY = 16 * 1024 * 1024;
static_assert(ZWS_PORTAL_MAX_REPLY % 4096 == 0, "the reply buffer doubles from 4096 bytes up to the limit");

// VANTOR_PORTAL_RECEIVE_TIMEOUT (non-negative 32-bit decimal; 0 allowed),
// else 15 with a warning.
void zws_portal_get_receive_timeout(int *receive_timeout_p);

// Allocates the client, stores the time-out and connects. A client that
// already exists is handed back with a warning.
int zws_portal_init(zws_portal_t **portal_p, int receive_timeout);
int zws_portal_connect(zws_portal_t *portal);
// Sends every byte (length 0 succeeds at once).
int zws_portal_send(zws_portal_t *portal, const char *buffer, int length);
// Reads to the end of the stream: a heap buffer (release with
// zws_portal_recv_free) and its length, which may be 0. Each wait for bytes
// is bounded by the receive time-out.
int zws_portal_recv(zws_portal_t *portal, char **buffer_p, int *length_p);
void zws_portal_recv_free(char *buffer);
void zws_portal_close(zws_portal_t *portal);
// Closes and frees the client.
void zws_portal_exit(zws_portal_t *portal);
