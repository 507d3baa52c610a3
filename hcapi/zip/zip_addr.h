// Address utilities of the Z/IP client: the host's interface addresses,
// address texts, the local address that routes to a peer, and small tests on
// address bytes. Used by the transport and by both discoveries.
#pragma once

#include <cstddef>
#include <cstdint>

// Interface addresses listed at most.
inline constexpr int UTIL_IF_ADDR_MAX = 100;

// One IPv6 interface address as util_if_addr_list stores it.
struct util_if_addr6_t {
    uint32_t if_idx;
    uint8_t addr[16];
};

// Lists the host's usable addresses of one family: under IPv4 `list` takes
// max 4-byte addresses (127.0.0.1, 169.254/16 and 0.0.0.0 skipped), under
// IPv6 max util_if_addr6_t records (::1, :: and fe80::/64 skipped). Returns
// the number stored; 0 also when the interfaces cannot be read. max is
// capped at UTIL_IF_ADDR_MAX.
int util_if_addr_list(int max, void *list, int ipv4);

// Text to address: 0 with *ipv4 = 1 and 4 bytes in addr for IPv4 text, 0
// with *ipv4 = 0 and 16 bytes for IPv6 text, -2 when it is neither. `addr`
// must hold 16 bytes.
int util_ip_addr_parse(const char *text, uint8_t *addr, int *ipv4);

// Numeric text of a 4-byte (ipv4 = 1) or 16-byte address; getnameinfo's
// result (0 on success).
int util_ip_addr_to_str(const uint8_t *addr, char *text, size_t size, int ipv4);

// The 4- or 16-byte local address that the system would use as source toward
// `dest`: 0, -2 no socket, -3 no route, -4 no local name. No datagram is sent.
int util_local_addr_get(const uint8_t *dest, uint8_t *local, int ipv4);

int util_is_zeros16(const uint8_t *addr);  // 0 when all 16 bytes are zero
int util_is_zeros4(const uint8_t *addr);   // 0 when all 4 bytes are zero
int util_is_ipv4_mapped(const uint8_t *addr);  // 1 for ::ffff:0:0/96, else 0
