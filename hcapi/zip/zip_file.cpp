#include "hcapi/zip/zip_file.h"

#include "util/zws_file.h"

#include <cstring>

const char *util_file_ext_get(const char *name)
{
    if (!name)
        return nullptr;
    const char *slash = std::strrchr(name, '/');
    const char *base = slash ? slash + 1 : name;
    const char *dot = std::strrchr(base, '.');
    return dot ? dot + 1 : nullptr;
}

int util_file_write(const char *path, const uint8_t *buffer, size_t size)
{
    if (!path || !*path || (!buffer && size > 0))
        return 0;
    const char *bytes = buffer ? reinterpret_cast<const char *>(buffer) : "";
    return zws_write_to_file_path(path, bytes, size) == 0 ? 1 : 0;
}
