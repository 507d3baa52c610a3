// The RPC server: one local stream socket in the abstract namespace, one
// request and one reply per connection.
//
// Frame (both directions): a 4-byte big-endian length N, then N bytes of
// Avro binary. Idle "AServerWorker" threads take connections off the
// socket themselves and serve a request whose frame is there at once:
// decode, execute, write the reply (the request handler), send, close.
// Frames that trickle in are read by the "AServer" thread, all at once and
// without waiting on any one of them, so that clients that send slowly or
// not at all hold no worker; each connection has ZWP_ASERVER_RECV_WAIT_MS
// from its accept for its whole frame. Any failure closes the connection
// without a reply.
#pragma once

#include "daemon/zwp_aserver_client.h"
#include "daemon/zwp_config.h"

#include <cstddef>
#include <cstdint>

struct zwp_avi_registry_t;
struct zwp_avi_request_t;
struct zwp_net_list_t;
struct zwp_aserver_t;

// The name in the abstract namespace: the first byte becomes NUL and the
// address is always the whole 110-byte structure (the 108-byte path
// zero-filled), so a peer must connect with exactly that address.
#define ZWP_ASERVER_SOCKET_NAME "#kestrund_socket"

enum : uint32_t {
    ZWP_ASERVER_CLOSED = 0,
    ZWP_ASERVER_SETUP = 1,    // pool made, socket not yet listening
    ZWP_ASERVER_RUNNING = 2,  // set by the accept thread when it starts
    ZWP_ASERVER_ENDED = 3,    // set by the accept thread when it ends, for any reason
    ZWP_ASERVER_STOPPING = 4, // set by zwp_aserver_exit
};

enum : uint32_t {
    ZWP_ASERVER_BACKLOG = 128,
    ZWP_ASERVER_ACCEPT_WAIT_MS = 1000, // longest sleep of the AServer thread
    // Connections whose frame is still coming in; beyond it the oldest is
    // closed (never more than half the process's descriptors).
    ZWP_ASERVER_RECEIVING_MAX = 4096,
    // Whole requests that may wait for a busy worker, per worker; beyond
    // it a request is closed without a reply.
    ZWP_ASERVER_QUEUE_PER_WORKER = 4,
    ZWP_ASERVER_QUEUE_MIN = 64,
    // How long the worker that accepted a connection waits for the rest of
    // its frame before handing it to the AServer thread.
    ZWP_ASERVER_FRAME_GRACE_MS = 2,
    // How long a worker beyond the initial count stays when idle.
    ZWP_ASERVER_WORKER_LINGER_MS = 60000,
};

// What a worker does with a received frame; the default is the daemon's
// request modules (daemon/zwp_avi_request.h, zwp_avi_execute.h and
// zwp_avi_response.h). Buffers written by
// response_write are freed with free().
struct zwp_aserver_handler_t {
    int (*request_read)(zwp_avi_registry_t *registry, const uint8_t *frame, size_t length,
                        zwp_avi_request_t **request);
    int (*request_execute)(zwp_net_list_t *net_list, zwp_avi_request_t *request);
    int (*response_write)(zwp_avi_request_t *request, uint8_t **buffer, size_t *length);
    void (*request_free)(zwp_avi_request_t *request);
};

// Installs another handler (null: the default again). The table must stay
// valid while the server runs; workers read it once per connection.
void zwp_aserver_handler_set(const zwp_aserver_handler_t *handler);

// Linger time of the workers of servers started from now on (0: the
// default again); tests shorten it to make the pool churn.
void zwp_aserver_worker_linger_set(int64_t ms);

// Singleton. 0 or 22 (socket, bind or listen failure, pool or thread failure).
int zwp_aserver_init(zwp_aserver_t **server, const zwp_server_config_t *config, zwp_net_list_t *net_list);
// Stops accepting, waits for running requests (queued ones are dropped) and frees.
void zwp_aserver_exit(zwp_aserver_t *server);
uint32_t zwp_aserver_state_get(const zwp_aserver_t *server);
// Worker threads alive now.
size_t zwp_aserver_workers_get(zwp_aserver_t *server);
