// kestrund's frame reader: whatever bytes a client writes before it closes
// its side, in whatever segments. Input: the first byte sets the segment
// size (1 to 256 bytes), the rest is written to a socket pair in segments
// of that size while the server's reader takes the frame off the other end.
#include "daemon/zwp_aserver.h"
#include "daemon/zwp_runtime.h"
#include "util/zws_log.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <thread>

namespace {

int quiet(int, const char *, ...) { return 0; }

uint32_t read_be32(const uint8_t *bytes)
{
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ZWS_LOG_FUNC = quiet;
    if (zwu_apr_init(0, nullptr) != 0 || zwp_aserver_clients_init() != 0)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 65536)
        return 0;
    const size_t segment = size_t{data[0]} + 1;
    data++;
    size--;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        std::abort();
    zwp_aserver_client_t *client = nullptr;
    if (zwp_aserver_client_create(pair[0], nullptr, &client) != 0)
        std::abort();
    std::thread writer([&] {
        for (size_t at = 0; at < size; at += segment) {
            if (send(pair[1], data + at, std::min(segment, size - at), MSG_NOSIGNAL) < 0)
                break;
        }
        shutdown(pair[1], SHUT_WR);
    });
    uint8_t *frame = nullptr;
    size_t length = 0;
    if (zwp_aserver_recv(client, &frame, &length) == 0 && length > 0) {
        // A frame is handed on only whole: its prefix and exactly N bytes.
        if (length < 4 || length != size_t{read_be32(frame)} + 4 || length > size)
            std::abort();
    }
    std::free(frame);
    zwp_aserver_client_free(client);
    writer.join();
    close(pair[1]);
    return 0;
}
