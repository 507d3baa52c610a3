// Gateway discovery by probe.
//
// The discovery thread sends one Z/IP "cached node info get" probe from each
// usable local address (IPv4 broadcast to 255.255.255.255, or IPv6 multicast
// to all routers ff02::2, port 4123) and takes the sender of every matching
// answer as a gateway. The caller hears once per probed address.
#pragma once

#include "hcapi/zip/zip_addr.h"

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Result callback, shared by the probe and the mDNS discovery
// ---------------------------------------------------------------------------

// (address list, number of addresses, IPv4 flag, user data, interfaces done,
// interfaces in all, service names or none). Under IPv4 the list holds 4-byte
// addresses one after the other, under IPv6 16-byte addresses. `names` is
// none for the probe discovery; for mDNS it is an array of 100 text pointers,
// entry k naming the instance of address k, the rest none. The list and the
// names live only during the call. The callback runs on the discovery thread
// and is never called once the discovery's stop has returned.
using zip_gw_discvr_cb_t = void (*)(const uint8_t *addrs, uint8_t count, int ipv4, void *user, int done,
                                    int total, const char *const *names);

// ---------------------------------------------------------------------------
// Probe discovery
// ---------------------------------------------------------------------------

inline constexpr int ZIP_DISCVR_MAX_IF_ADDR = UTIL_IF_ADDR_MAX;  // interface addresses probed at most
inline constexpr int ZIP_DISCVR_MAX_ANSWERS = 100;   // answers taken per probe at most
inline constexpr uint16_t ZIP_DISCVR_PORT = 4123;
inline constexpr size_t ZIP_DISCVR_PROBE_LEN = 12;
inline constexpr size_t ZIP_DISCVR_RX_MAX = 1280;    // largest answer datagram read

// Every discovery handle, of either kind, begins with a 32-bit tag so that
// one stop call can tell the kinds apart; the probe discovery's tag is this
// one (the mDNS discovery uses its own).
inline constexpr uint32_t ZIP_GW_DISCVR_TAG = 0x5A1B0123;

struct zip_gw_discvr_t;  // handle; its first member is the uint32_t tag

// Starts a discovery over IPv4 (ipv4 = 1) or IPv6 (0). Null when there is no
// memory or the thread cannot start. Waits at most 5 s for the thread.
zip_gw_discvr_t *zip_gw_discvr_start(zip_gw_discvr_cb_t cb, void *user, int ipv4);

// Stops the discovery and frees the handle: -1 for none, else 0. Waits at
// most 5 s for the thread; once it returns the callback is not called again
// (a thread that is still ending keeps its own share of the state). May be
// called from the callback itself.
int zip_gw_discvr_stop(zip_gw_discvr_t *ctx);

// The probe packet with Z/IP sequence number `seq` and network-management
// sequence number `nm_seq` into `out` (12 bytes).
void zip_gw_probe_bld(uint8_t seq, uint8_t nm_seq, uint8_t out[ZIP_DISCVR_PROBE_LEN]);

// 1 when `data` (length bytes of an answer) is a cached node info report
// (0x52 0x04) with network-management sequence number `nm_seq`, else 0.
int zip_gw_probe_rsp_match(const uint8_t *data, size_t length, uint8_t nm_seq);
