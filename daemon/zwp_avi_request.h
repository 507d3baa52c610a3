// Requests on the daemon's socket: decoding one received frame into a
// request, executing it against the network list, and writing the reply
// frame. The RPC server calls these four for every connection.
//
// A request names its message; the message name's prefix gives its level
// (root, network, node, endpoint, interface) and the registry's list of
// that level gives its descriptor. Every network-level request and below is
// served by the one network, whatever network id the client sent.
#pragma once

#include "util/zwu_time.h"

#include <cstddef>
#include <cstdint>

struct zwp_avi_registry_t;
struct zwp_avi_request_t;
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
};

// Size of the first reply buffer and of each growth step.
enum : size_t { ZWP_AVI_RESPONSE_BUFFER_STEP = 256 };

// frame: the whole received frame, length prefix included. 0 or 22; on
// failure *request may still be set and is then freed by the caller.
int zwp_avi_request_read(zwp_avi_registry_t *registry, const uint8_t *frame, size_t length,
                         zwp_avi_request_t **request);
// 0 or 22.
int zwp_net_list_request_execute(zwp_net_list_t *net_list, zwp_avi_request_t *request);
// A whole reply frame (prefix included) in a malloc'd buffer that the
// caller frees with free(). 0 or 22.
int zwp_avi_response_write(zwp_avi_request_t *request, uint8_t **buffer, size_t *length);
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
