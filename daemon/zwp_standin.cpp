// Request handling until the message registry, the network list and request
// execution exist: a frame is checked and held, and execution fails, so
// every connection is closed without a reply, as for a message the daemon
// does not know. Each definition here leaves when its real module arrives.
#include "daemon/zwp_avi_request.h"
#include "daemon/zwp_log.h"
#include "daemon/zwp_net_list.h"

#include <cstdlib>

struct zwp_avi_request_t {
    size_t payload_length;
};

zwp_avi_registry_t *zwp_net_list_registry_get(const zwp_net_list_t *) { return nullptr; }

int zwp_avi_request_read(zwp_avi_registry_t *, const uint8_t *frame, size_t length, zwp_avi_request_t **request)
{
    if (!frame || length < 4 || !request)
        return 22;
    const size_t announced = (size_t{frame[0]} << 24) | (size_t{frame[1]} << 16) | (size_t{frame[2]} << 8) | frame[3];
    if (announced > length - 4)
        return 22;
    auto *made = static_cast<zwp_avi_request_t *>(std::calloc(1, sizeof(zwp_avi_request_t)));
    if (!made) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    made->payload_length = announced;
    *request = made;
    return 0;
}

int zwp_net_list_request_execute(zwp_net_list_t *, zwp_avi_request_t *request)
{
    ZWS_LOG_ERROR("Failed to execute request of %zu bytes: no message registry", request ? request->payload_length : 0);
    return 22;
}

int zwp_avi_response_write(zwp_avi_request_t *, uint8_t **, size_t *) { return 22; }

void zwp_avi_request_free(zwp_avi_request_t *request) { std::free(request); }
