// Requests on the daemon's socket, decoded: one received frame becomes one
// request record. Execution (daemon/zwp_avi_execute.h) and the reply
// (daemon/zwp_avi_response.h) work on the record; the RPC server calls the
// three for every connection and frees the request here.
//
// A request names its message; the message name's prefix gives its level
// (root, network, node, endpoint, interface) and the registry's list of
// that level gives its descriptor. The request value must be the request
// record that the protocol file names for the message. Every network-level
// request and below is served by the one network, whatever network id the
// client sent.
#pragma once

#include "daemon/zwp_avi.h"
#include "daemon/zwp_log.h"
#include "util/zwu_time.h"

#include <avro.h>

#include <cstddef>
#include <cstdint>
#include <string>

struct zwp_avi_registry_t;
struct zwp_net_list_t;

enum : uint32_t {
    ZWP_AVI_KIND_ROOT = 0,
    ZWP_AVI_KIND_LEVELED = 1,
    ZWP_AVI_KIND_IFTTT = 3,
};

enum : uint32_t {
    ZWP_AVI_LEVEL_ROOT = 0,
    ZWP_AVI_LEVEL_NETWORK = 1,
    ZWP_AVI_LEVEL_NODE = 2,
    ZWP_AVI_LEVEL_ENDPOINT = 3,
    ZWP_AVI_LEVEL_INTERFACE = 4,
    ZWP_AVI_LEVEL_COUNT = 5,
};

// The command record of a request and of its reply nests one record per
// level down to the message's: command.interface.endpoint.node.network.
// Each level's record sits in the field `field` of the record above it (of
// the command itself for the message's own level) and holds the next one
// up under `parent`; network ids are strings, the others ints.
struct zwp_avi_level_link {
    const char *field; // the field naming this level's record
    const char *type;  // its record type, for log lines
};
inline constexpr zwp_avi_level_link zwp_avi_level_links[ZWP_AVI_LEVEL_COUNT] = {
    {"command", "Command"},     {"network", "Network"},     {"node", "Node"},
    {"endpoint", "Endpoint"},   {"interface", "Interface"},
};

// The request record. Execution and the reply read and fill it; nothing
// else does.
struct zwp_avi_request_t {
    uint32_t kind = ZWP_AVI_KIND_ROOT;
    uint32_t level = ZWP_AVI_LEVEL_ROOT;
    char *user = nullptr;
    char *name = nullptr;
    // The name as log lines show it: control characters escaped.
    std::string name_logged;
    // The descriptor of the message's level; only that level's is set.
    const zwp_avi_message *root = nullptr;
    const zwp_avi_message_networks *network = nullptr;
    const zwp_avi_message *node = nullptr;
    const zwp_avi_message_endpoints *endpoint = nullptr;
    const zwp_avi_message_interfaces *interface = nullptr;
    // The descriptor's argument and result slots, whatever its kind.
    zwp_avi_argument_handler_t argument_handler = nullptr;
    zwp_avi_result_handler_t result_handler = nullptr;
    zwp_avi_free_t descriptor_result_free = nullptr;
    void *arguments = nullptr;
    zwp_avi_free_t argument_free = nullptr;
    void *results = nullptr;
    zwp_avi_free_t result_free = nullptr;
    zwp_avi_registry_t *registry = nullptr;
    // The level chain, flattened: ids[level] for node, endpoint and
    // interface (~0u where the level does not reach), the network id text.
    bool chain = false;
    char *network_id = nullptr;
    zwu_time_t utime = 0;
    uint32_t ids[ZWP_AVI_LEVEL_COUNT] = {~0u, ~0u, ~0u, ~0u, ~0u};
    uint32_t passive = 0;
};

// Logs an error line and gives the failure code, for the many steps of
// decoding, executing and replying that fail the same way.
#define ZWP_AVI_FAIL(...) (ZWS_LOG_ERROR(__VA_ARGS__), 22)
// The same with the Avro library's error text as the last ": %s".
#define ZWP_AVI_FAIL_AVRO(format, ...) \
    (ZWS_LOG_ERROR(format ": %s" __VA_OPT__(, ) __VA_ARGS__, avro_strerror()), 22)

// Size of the first reply buffer and of each growth step.
enum : size_t { ZWP_AVI_RESPONSE_BUFFER_STEP = 256 };

// frame: the whole received frame, length prefix included. 0 or 22; on
// failure *request may still be set and is then freed by the caller.
int zwp_avi_request_read(zwp_avi_registry_t *registry, const uint8_t *frame, size_t length,
                         zwp_avi_request_t **request);
void zwp_avi_request_free(zwp_avi_request_t *request);

const char *zwp_avi_request_name_get(const zwp_avi_request_t *request);
// Null when the client sent the null branch.
const char *zwp_avi_request_user_get(const zwp_avi_request_t *request);
uint32_t zwp_avi_request_kind_get(const zwp_avi_request_t *request);
uint32_t zwp_avi_request_level_get(const zwp_avi_request_t *request);
// The network link: the network id text (null for root requests) and the
// tree change time that execution stored.
const char *zwp_avi_request_network_id_get(const zwp_avi_request_t *request);
zwu_time_t zwp_avi_request_network_utime_get(const zwp_avi_request_t *request);
// The ids below the network, ~0u where the level does not reach.
uint32_t zwp_avi_request_node_id_get(const zwp_avi_request_t *request);
uint32_t zwp_avi_request_endpoint_id_get(const zwp_avi_request_t *request);
uint32_t zwp_avi_request_interface_id_get(const zwp_avi_request_t *request);
uint32_t zwp_avi_request_passive_get(const zwp_avi_request_t *request);
