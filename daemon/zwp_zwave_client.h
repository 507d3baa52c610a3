// Which Z/IP gateway the daemon uses: the stored selection "zip_server.txt"
// in the networks directory, confirmed by a discovery pass, or a gateway
// that discovery finds (then stored). The record also holds the discovery
// lists and the stored entries that the root gateway messages report.
//
// The file holds up to five lines "address[|port[|hex key]]", the first
// being the gateway in use. It is written durably, the chosen gateway first
// (with its key) and at most four further entries (without keys); the key is
// never logged.
#pragma once

#include "daemon/zwp_net.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct zwp_zwave_client_t;

enum : int { ZWP_ZIP_ENTRY_MAX = 5 };
inline constexpr uint16_t ZWP_ZIP_PORT_DEFAULT = 41231;
#define ZWP_ZIP_SERVER_FILE "zip_server.txt"

// Entry flags: read from the file; listing adds found-by-discovery and
// in-use.
enum : uint8_t {
    ZWP_ZIP_IN_USE = 0x01,
    ZWP_ZIP_DISCOVERED = 0x02,
    ZWP_ZIP_STORED = 0x04,
};

struct zwp_zip_entry_t {
    uint8_t addr[16]; // IPv4 in the first 4 bytes
    uint8_t ipv4;
    uint16_t port;    // 0 when the line has no port
    uint8_t flags;
    uint8_t psk[32];
    uint8_t psk_len;
};

// The text of a stored file into at most five entries. A missing final
// line end is accepted; a blank or bad line other than the first is skipped
// (counted in *skipped). 0, or 22 when the first line is bad or there is no
// entry.
int zwp_zip_server_text_parse(const char *text, size_t length, zwp_zip_entry_t entries[ZWP_ZIP_ENTRY_MAX],
                              int *count, int *skipped);
// The file "<var_dir>/networks/zip_server.txt"; 22 also when it is missing.
int zwp_zip_server_file_read(const char *var_dir, zwp_zip_entry_t entries[ZWP_ZIP_ENTRY_MAX], int *count,
                             int *skipped);
// Writes the chosen gateway and the other stored entries (count of them).
// 0 or 22 (the old file then stays).
int zwp_zip_server_file_write(const char *var_dir, const zwp_gw_t *chosen, const zwp_zip_entry_t *entries,
                              int count);

// Selects the gateway: the stored one once a discovery pass confirmed it,
// else one that discovery finds (then stored). 0, also when no gateway was
// selected (zwp_zwave_client_gw_get tells); 22 when the record cannot be
// made.
int zwp_zwave_client_create(zwp_zwave_client_t **client, const char *var_dir);
// Stops any discovery and frees.
void zwp_zwave_client_destroy(zwp_zwave_client_t *client);

// Stores `gw` as the gateway in use, with the other stored entries after
// it, and reads the file back into the entries. A stored file that did not
// read whole is first copied to "zip_server.txt.bad". 0 or 22 (the old file
// then stays).
int zwp_zwave_client_store(zwp_zwave_client_t *client, const zwp_gw_t *gw);

// Makes `gw` the gateway in use and stores it as the file's first line (a
// failed write is logged; the choice stands). 0 or 22 (null arguments).
int zwp_zwave_client_gw_set(zwp_zwave_client_t *client, const zwp_gw_t *gw);

// The chosen gateway: 0, or 22 when none was selected.
int zwp_zwave_client_gw_get(const zwp_zwave_client_t *client, zwp_gw_t *gw);
// The stored entries read last.
int zwp_zwave_client_entries_get(const zwp_zwave_client_t *client, zwp_zip_entry_t entries[ZWP_ZIP_ENTRY_MAX]);
// The network spawned for the chosen gateway (set by the network list).
int zwp_zwave_client_net_set(zwp_zwave_client_t *client, zwp_net_t *net);
zwp_net_t *zwp_zwave_client_net_get(const zwp_zwave_client_t *client);

// One discovery pass of a family (ipv4 1 or 0), with or without mDNS,
// emptying that family's list first when clear is set; returns when the
// pass completed or after ZWP_DISCOVERY_WAIT_SEC (the discovery is stopped
// then). 0, or 22 when it cannot start or times out. A pass already running
// makes it return 0 at once.
inline constexpr int ZWP_DISCOVERY_WAIT_SEC = 30;
int zwp_discovery_run(zwp_zwave_client_t *client, int ipv4, int mdns, int clear);
// Copies of one family's discovered addresses (4 or 16 bytes each).
int zwp_discovery_list_get(zwp_zwave_client_t *client, int ipv4, uint8_t *addrs, int max, int *count);
// 0 when the first stored entry answered a discovery pass.
int zwp_zwave_client_cached_gw_check(zwp_zwave_client_t *client, const zwp_zip_entry_t *entry);

// The four discovery passes (IPv4 and IPv6, each without then with mDNS) on
// the thread "ANetDiscoveryStartHdlr"; the lists fill as the passes run.
// 0 also when a discovery already runs (no second one starts); 22 when the
// thread cannot start. Destroying the record stops and joins the thread.
int zwp_zwave_client_discovery_start(zwp_zwave_client_t *client);

// What the lists hold now: each discovered gateway with its mDNS name
// (has_name 0 without one), the discovery state (0 idle, 1 to 4 the pass
// running) and the report counters of the last pass that reported.
struct zwp_discovered_gw_t {
    uint8_t addr[16]; // IPv4 in the first 4 bytes
    bool has_name;
    std::string name;
};
struct zwp_discovery_snapshot_t {
    uint8_t state = 0;
    int received_reports = 0;
    int total_reports = 0;
    std::vector<zwp_discovered_gw_t> ipv4;
    std::vector<zwp_discovered_gw_t> ipv6;
};
// 0, or 22 (null arguments, out of memory).
int zwp_zwave_client_discovery_snapshot_get(zwp_zwave_client_t *client, zwp_discovery_snapshot_t *snapshot);
