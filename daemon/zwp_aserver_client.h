// One connection of the RPC server: its record, the reading of its
// request frame as the bytes come, the sending of its reply, and the ring
// that holds the connections waiting for a thread, so that a stop closes
// the ones never served.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>

struct zwp_avi_registry_t;
struct zwp_net_list_t;

enum : uint32_t {
    ZWP_ASERVER_RECV_WAIT_MS = 5000,  // for the whole request frame, from the accept
    ZWP_ASERVER_SEND_WAIT_MS = 5000,  // for the whole reply
    ZWP_ASERVER_FRAME_MAX = 1u << 20, // largest N accepted from a client
};

struct zwp_aserver_client_t {
    // Linked into the ring only while the connection waits for a thread:
    // a connection a worker holds is closed by that worker.
    zwp_aserver_client_t *next = nullptr;
    zwp_aserver_client_t *prev = nullptr;
    int sock = -1;
    // Readable once the server stops: waits on the socket end with it.
    int stop_fd = -1;
    zwp_net_list_t *net_list = nullptr;
    // The whole request frame must be in by then, however it trickles in.
    std::chrono::steady_clock::time_point deadline{};
    // The frame as it arrives: `expected` is N + 4 once the prefix is in.
    uint8_t *bytes = nullptr;
    size_t size = 0;
    size_t held = 0;
    size_t expected = 0;
    // Where the AServer thread keeps it while the frame comes in.
    std::list<zwp_aserver_client_t *>::iterator place{};
    bool receiving = false;
    bool watched = false; // registered with the AServer thread's epoll set
};

enum class zwp_aserver_frame_state { more, done, hung_up, failed };

// Reads what the socket holds without waiting, never past the announced
// frame (at most ZWP_ASERVER_FRAME_MAX bytes after the prefix). done: the
// frame is whole in bytes[0, expected); hung_up: the peer closed before
// sending anything. Logs every failure.
zwp_aserver_frame_state zwp_aserver_frame_read(zwp_aserver_client_t *client);

// Waits until sock is ready for events, deadline passes or stop_fd (when
// not -1) becomes readable: 1 ready, 0 timed out, -1 failed (errno set),
// -2 stopped. EINTR waits on with the time that is left.
int zwp_aserver_wait_ready(int sock, int stop_fd, short events, std::chrono::steady_clock::time_point deadline);

// Milliseconds until deadline, 0 once it has passed.
int zwp_aserver_ms_left(std::chrono::steady_clock::time_point deadline);

// A record for sock, not yet in the ring; null when out of memory.
zwp_aserver_client_t *zwp_aserver_client_new(int sock, zwp_net_list_t *net_list);
// Into the ring while the connection waits for a thread, and out again.
void zwp_aserver_client_ring_add(zwp_aserver_client_t *client);
void zwp_aserver_client_ring_remove(zwp_aserver_client_t *client);

// One whole frame, length prefix included, in a malloc'd buffer the caller
// frees; 0 bytes when the peer closed without sending anything. Waits at
// most until the client's deadline (ZWP_ASERVER_RECV_WAIT_MS after its
// first receive) or the server's stop. 0 or 22.
int zwp_aserver_recv(zwp_aserver_client_t *client, uint8_t **buffer, size_t *length);
// 0 or 22; gives up after ZWP_ASERVER_SEND_WAIT_MS without getting it all out.
int zwp_aserver_send(zwp_aserver_client_t *client, const uint8_t *buffer, size_t length);

// The ring of connections waiting for a thread, process-wide.
int zwp_aserver_clients_init();
void zwp_aserver_clients_exit(); // frees every client left, closing its socket
// Takes over the socket and puts the record in the ring. 0 or 22.
int zwp_aserver_client_create(int sock, zwp_net_list_t *net_list, zwp_aserver_client_t **client);
// Closes the socket, unlinks and frees the record.
void zwp_aserver_client_free(zwp_aserver_client_t *client);
int zwp_aserver_client_sock_get(const zwp_aserver_client_t *client);
zwp_net_list_t *zwp_aserver_client_net_list_get(const zwp_aserver_client_t *client);
zwp_avi_registry_t *zwp_aserver_client_registry_get(const zwp_aserver_client_t *client);
