// Root-level messages: which Z/IP gateway the daemon uses, the gateways
// that discovery finds, and the switch to another gateway. They run
// without a network.
#pragma once

#include "daemon/zwp_zwave_client.h"
#include "util/zwu_array.h"

#include <cstdint>
#include <string>
#include <vector>

// Registers this module's root-level descriptors. 0 or 22.
int zwp_avi_root_register(zwu_array_list_t list);

// One gateway of a root_gateway_get or root_gateway_list reply.
struct zwp_root_gateway_t {
    bool has_name = false;
    std::string name;
    uint8_t addr[16] = {}; // IPv4 in the first 4 bytes
    int32_t address_type = 0;
    int32_t port = 0;
    int32_t flag = 0; // gateway_flag; gateway_status for the get
};

// The gateway list of a reply: the discovered gateways (IPv4, then IPv6),
// then the stored entries that discovery did not find too. The gateway in
// use (bit 1, with its port) is marked only while its network is
// initialised. 0, or 22 when out of memory.
int zwp_root_gateway_list_build(const zwp_discovery_snapshot_t &found,
                                 const zwp_zip_entry_t (&stored)[ZWP_ZIP_ENTRY_MAX], const zwp_gw_t *chosen,
                                 bool initialised, std::vector<zwp_root_gateway_t> *out);
