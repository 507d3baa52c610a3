// The host-controller library's network calls that the daemon needs beyond
// what hcapi/include offers today: the network descriptor, node status,
// gateway discovery, the local address toward a peer, the gateway's
// unsolicited destination and poll removal.
//
// Each call keeps the arguments and results of the library call it stands
// for, so that when the library publishes that call its body here becomes
// one line. Until then a call either does the same through the library's
// lower layers (discovery, local address) or answers as the library does
// before its network machines have run (home id 0, every node alive, -27).
#pragma once

#include "hcapi/include/zwif.h"
#include "hcapi/include/zwnet.h"
#include "hcapi/include/zwnode.h"

#include <cstdint>

// What the daemon reads of the network descriptor.
struct zwp_hcapi_net_desc_t {
    uint32_t home_id;
    uint8_t ctl_id;     // the controller's node id
    uint8_t ctl_role;   // 0x01 proxy, 0x02 inclusion, 0x04 primary
    uint8_t ctl_cap;
    uint8_t zw_role;
};

// 0, or -22 without a network (or when the controller is not known).
int zwp_hcapi_net_desc_get(zwnet_p net, zwp_hcapi_net_desc_t *desc);

// The node's status from the Z/IP layer's table: 0 alive, 1 down, 2
// sleeping; 1 for ids outside 1..232.
uint8_t zwp_hcapi_node_sts_get(zwnet_p net, uint8_t node_id);

// Gateway discovery. The callback gets (addresses, 4 bytes each for IPv4 or
// 16 for IPv6; their count; the IPv4 flag; user; report number; reports in
// all; mDNS names or null) once per probed interface, on the discovery's own
// thread, and never after stop has returned.
using zwp_hcapi_discvr_cb_t = void (*)(const uint8_t *addrs, uint8_t count, int ipv4, void *user, int report,
                                       int total, const char *const *names);
// Null when the discovery cannot start.
void *zwp_hcapi_gw_discvr_start(zwp_hcapi_discvr_cb_t cb, void *user, int ipv4, int mdns);
void zwp_hcapi_gw_discvr_stop(void *handle);

// The local address that reaches `peer` (16 bytes; an IPv4 peer in its first
// 4): 4 bytes into `local` for IPv4, 16 for IPv6. 0 or a negative code.
int zwp_hcapi_local_addr_for_peer(zwnet_p net, const uint8_t *peer, uint8_t *local, int ipv4);

// Points the gateway's unsolicited destination at address:port through its
// Z/IP Gateway interface. 0 or a negative code.
int zwp_hcapi_gw_unsolic_set(const zwif_desc_t *intf, const uint8_t *addr, uint16_t port);

// Removal of poll requests by handle and by key. 0 or a negative code.
int zwp_hcapi_poll_rm(zwnet_p net, uint16_t handle);
int zwp_hcapi_poll_rm_key(zwnet_p net, uint32_t key);
