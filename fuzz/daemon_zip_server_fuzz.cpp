// The stored gateway file "zip_server.txt": whatever a disk holds reads into
// at most five entries or is refused.
#include "daemon/zwp_zwave_client.h"
#include "util/zws_log.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

int quiet(int, const char *, ...) { return 0; }

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ZWS_LOG_FUNC = quiet;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Exactly the input's bytes, so that a read past them shows.
    std::vector<char> text(data, data + size);
    zwp_zip_entry_t entries[ZWP_ZIP_ENTRY_MAX];
    int count = 0;
    int skipped = 0;
    if (zwp_zip_server_text_parse(text.data(), text.size(), entries, &count, &skipped) == 0) {
        if (count < 1 || count > ZWP_ZIP_ENTRY_MAX)
            __builtin_trap();
        for (int i = 0; i < count; i++)
            if (entries[i].psk_len > sizeof entries[i].psk || entries[i].flags != ZWP_ZIP_STORED)
                __builtin_trap();
    }
    return 0;
}
