// The PHP session id from the cookie header (outside bytes).
#include "service/zws_session.h"
#include "util/zws_log.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
int quiet(int, const char *, ...) { return 0; }
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ZWS_LOG_FUNC = quiet;
    const std::string cookie(reinterpret_cast<const char *>(data), size);
    if (cookie.find('\0') != std::string::npos)
        return 0;
    setenv("HTTP_COOKIE", cookie.c_str(), 1);
    char *id = nullptr;
    if (zws_session_id_get(&id) == 0) {
        if (!id || !*id || std::strchr(id, ';'))
            abort(); // an id is never empty and never crosses an entry
        zws_session_id_free(id);
    }
    return 0;
}
