// Text conversion of 16-byte IP addresses.
//
// Addresses are IPv6 in network byte order; an IPv4 address a.b.c.d is held
// IPv4-mapped (ten zero bytes, 0xFF 0xFF, a, b, c, d). With an address type
// (`iptype`: 0 IPv6, 1 IPv4) an IPv4 address sits unmapped in the first 4
// bytes of the 16-byte field, the rest 0.
//
// Status: 0 success, 22 failure. Out arguments are written only on success.
#pragma once

#include <cstddef>
#include <cstdint>

using zwu_status_t = int;

// Room for the longest address text (INET6_ADDRSTRLEN).
constexpr size_t ZWU_INET_ADDRSTRLEN = 46;

// IPv6 text as is, IPv4 text IPv4-mapped, into 16 bytes at `dst`;
// else "Invalid IP address: %s" and 22.
zwu_status_t zwu_inet_pton(const char *src, uint8_t *dst);
// Text of the 16 bytes at `src`: a mapped address as a dotted quad, any other
// in IPv6 form. `size` below 46: 22 without a log line.
zwu_status_t zwu_inet_ntop(const uint8_t *src, char *dst, size_t size);
// IPv6 text: type 0 and the 16 bytes; IPv4 text: type 1 and the 4 bytes at
// the start of the 16 bytes at `dst`, the other 12 set to 0.
zwu_status_t zwu_inet_pton_iptype(const char *src, uint8_t *dst, uint8_t *iptype);
// Type 0: the 16 bytes as IPv6 text; type 1: the first 4 bytes as a dotted
// quad; any other type or a failed conversion: "Invalid IP addres" and 22.
zwu_status_t zwu_inet_ntop_iptype(const uint8_t *src, char *dst, uint8_t iptype, size_t size);

// Room for a dotted IPv4 text with its terminator (INET_ADDRSTRLEN).
constexpr size_t ZWU_INET_IPV4_ADDRSTRLEN = 16;

// Dotted IPv4 text only, into 4 bytes at `dst`; else "Invalid IP address: %s"
// and 22.
zwu_status_t zwu_inet_pton_ipv4(const char *src, uint8_t *dst);
// The 4 bytes at `src` as a dotted quad; `dst` is cleared over `size` bytes
// first. `size` below 16: 22 without a log line.
zwu_status_t zwu_inet_ntop_ipv4(const uint8_t *src, char *dst, size_t size);
// 0 when the 16-byte field at `src` can be written as text: type 1 its first
// 4 bytes as IPv4, any other type the 16 bytes as IPv6; else 22. Nothing is
// logged and the text is not kept.
zwu_status_t zwu_inet_ntop_check(const uint8_t *src, uint8_t iptype);
