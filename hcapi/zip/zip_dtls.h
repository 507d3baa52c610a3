// DTLS transport of the Z/IP client: Z/IP over DTLS 1.0 with a pre-shared
// key, in place of plain UDP when the network has a key.
//
// Sessions run both ways. For what it sends, the host opens a client session
// to the peer's DTLS port; a peer may open a session to the host's port,
// which the host accepts as a server after a cookie exchange. One session
// per peer address and direction, for a bounded number of peers. Idle client
// sessions are probed with Z/IP keep-alives and closed after a fixed idle
// time; server sessions are closed when their peer falls silent.
//
// The layer above puts dtls_tpt_backend in the transport context (with the
// key) before tpt_init; the transport then runs the DTLS read and write
// threads in place of its plain ones. Records reach the frame layer through
// the transport's receive callback with a source whose family and port are 0
// (only the address bytes count) and no destination address.
#pragma once

#include "hcapi/zip/zip_transport.h"

#include <cstdint>

// The DTLS port of every Z/IP peer (gateway or node); the destination port
// of a queued datagram is not used.
inline constexpr uint16_t DTLS_PEER_PORT = 41230;
// Peers with a session, each with one session per direction.
inline constexpr int DTLS_MAX_PEERS = 232;
// Longest pre-shared key.
inline constexpr uint32_t DTLS_PSK_MAX = 32;

// The DTLS backend of the transport (zip_transport.h). Its init needs a key
// of 1..DTLS_PSK_MAX bytes in the context.
extern const tpt_backend_t dtls_tpt_backend;
