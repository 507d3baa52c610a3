// Requests on the daemon's socket: decoding one received frame into a
// request, executing it against the network list, and writing the reply
// frame. The RPC server calls these four for every connection.
#pragma once

#include <cstddef>
#include <cstdint>

struct zwp_avi_registry_t;
struct zwp_avi_request_t;
struct zwp_net_list_t;

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
