// The reply to an executed request: the message's response record, its
// command filled back from the request's level chain and its parameter by
// the message's result handler, as one length-prefixed frame.
#pragma once

#include <cstddef>
#include <cstdint>

struct zwp_avi_request_t;

// A whole reply frame (prefix included) in a malloc'd buffer that the
// caller frees with free(). 0 or 22.
int zwp_avi_response_write(zwp_avi_request_t *request, uint8_t **buffer, size_t *length);
