// kestrund's request decoding: every frame on the socket is outside bytes.
// Input: the first byte picks whether the rest is a whole frame (prefix
// included, as a client may send it) or a payload behind a correct prefix;
// decoded requests are also executed (no network runs) and answered.
#include "daemon/messages/zwp_avi_interfaces.h"
#include "daemon/zwp_avi.h"
#include "daemon/zwp_avi_execute.h"
#include "daemon/zwp_avi_request.h"
#include "daemon/zwp_avi_response.h"
#include "daemon/zwp_net_list.h"
#include "daemon/zwp_runtime.h"
#include "util/zws_log.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

int quiet(int, const char *, ...) { return 0; }

zwp_avi_registry_t *g_registry = nullptr;
zwp_net_list_t *g_net_list = nullptr;
zwp_net_config_t g_config{};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ZWS_LOG_FUNC = quiet;
    if (zwu_apr_init(0, nullptr) != 0 || zwp_avi_init(&g_registry, ZW_SOURCE_DIR "/avi", zwp_avi_messages_layer()) != 0 ||
        zwp_net_list_init(&g_net_list, &g_config, g_registry) != 0)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    std::vector<uint8_t> frame;
    if (data[0] & 1) {
        frame.assign(data + 1, data + size);
    } else {
        const size_t n = size - 1;
        frame = {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8),
                 static_cast<uint8_t>(n)};
        frame.insert(frame.end(), data + 1, data + size);
    }
    zwp_avi_request_t *request = nullptr;
    if (zwp_avi_request_read(g_registry, frame.data(), frame.size(), &request) == 0 &&
        zwp_net_list_request_execute(g_net_list, request) == 0) {
        uint8_t *reply = nullptr;
        size_t length = 0;
        if (zwp_avi_response_write(request, &reply, &length) == 0)
            std::free(reply);
    }
    zwp_avi_request_free(request);
    return 0;
}
