// Address text from requests and stored files: what is accepted must be what
// the C library accepts, and every accepted address must print and read back
// to the same bytes.
#include "util/zwu_inet.h"
#include "util/zws_log.h"

#include <arpa/inet.h>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
int quiet(int, const char *, ...) { return 0; }
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ZWS_LOG_FUNC = quiet;
    std::vector<char> text(data, data + size);
    text.push_back('\0');

    uint8_t reference[16];
    const bool library_accepts =
        inet_pton(AF_INET6, text.data(), reference) == 1 || inet_pton(AF_INET, text.data(), reference) == 1;

    uint8_t address[16];
    const int status = zwu_inet_pton(text.data(), address);
    if ((status == 0) != library_accepts)
        std::abort();
    if (status == 0) {
        char printed[ZWU_INET_ADDRSTRLEN];
        if (zwu_inet_ntop(address, printed, sizeof printed) != 0)
            std::abort();
        uint8_t back[16];
        if (zwu_inet_pton(printed, back) != 0 || std::memcmp(back, address, 16) != 0)
            std::abort();
    }

    uint8_t typed[16];
    uint8_t type = 0;
    if ((zwu_inet_pton_iptype(text.data(), typed, &type) == 0) != library_accepts)
        std::abort();
    if (library_accepts) {
        char printed[ZWU_INET_ADDRSTRLEN];
        if (zwu_inet_ntop_iptype(typed, printed, type, sizeof printed) != 0)
            std::abort();
        uint8_t back[16];
        uint8_t back_type = 9;
        if (zwu_inet_pton_iptype(printed, back, &back_type) != 0 || back_type != type ||
            std::memcmp(back, typed, 16) != 0)
            std::abort();
    }
    return 0;
}
