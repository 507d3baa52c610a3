// Preference files: one opaque blob per network or per client, behind a
// magic and a version, closed by a CRC-16 over everything before it, so that
// the CRC-16 of the whole file is 0.
#include "hcapi/core/zwfac.h"

#include "hcapi/core/zwrec.h"
#include "util/zws_file.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr uint8_t pref_magic[2] = {0x18, 0x3F};
constexpr uint16_t pref_version = 1;
constexpr size_t pref_hdr_len = 4;
constexpr size_t pref_crc_len = 2;

struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};

std::unique_ptr<char, free_deleter> pref_file_name(zwnet_p net, uint32_t client_id, int client)
{
    char *name = nullptr;
    if (zwnet_data_file_name("net", net->data_dir.c_str(), net->homeid, client_id, &name, client) != 0)
        return nullptr;
    return std::unique_ptr<char, free_deleter>(name);
}

}  // namespace

int zwnet_pref_file_write(const char *path, const uint8_t *data, uint16_t len)
{
    if (path == nullptr || (data == nullptr && len != 0))
        return ZW_ERR_VALUE;
    std::vector<uint8_t> file;
    try {
        file.reserve(pref_hdr_len + len + pref_crc_len);
    } catch (const std::bad_alloc &) {
        return ZW_ERR_MEMORY;
    }
    file.insert(file.end(), pref_magic, pref_magic + 2);
    file.push_back(static_cast<uint8_t>(pref_version >> 8));
    file.push_back(static_cast<uint8_t>(pref_version));
    if (len != 0)
        file.insert(file.end(), data, data + len);
    const uint16_t crc = zwnet_crc16(ZWNET_CRC16_INIT, file.data(), file.size());
    file.push_back(static_cast<uint8_t>(crc >> 8));
    file.push_back(static_cast<uint8_t>(crc));
    // Written beside the old file and renamed over it: a failed or
    // interrupted save keeps the last good blob.
    if (zws_write_to_file_path(path, reinterpret_cast<const char *>(file.data()), file.size()) != 0)
        return ZW_ERR_FILE_WRITE;
    return 0;
}

int zwnet_pref_file_read(const char *path, uint8_t **data, uint16_t *len)
{
    if (path == nullptr || data == nullptr || len == nullptr)
        return ZW_ERR_VALUE;
    *data = nullptr;
    *len = 0;
    FILE *f = std::fopen(path, "rb");  // read access is all a load needs
    if (f == nullptr)
        return ZW_ERR_FILE_OPEN;
    std::vector<uint8_t> file;
    uint8_t buf[4096];
    size_t n;
    bool too_long = false;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        if (file.size() + n > pref_hdr_len + 0xFFFF + pref_crc_len) {
            too_long = true;
            break;
        }
        file.insert(file.end(), buf, buf + n);
    }
    const bool read_err = std::ferror(f) != 0;
    std::fclose(f);
    if (read_err)
        return ZW_ERR_FILE_EOF;
    if (too_long || file.size() < pref_hdr_len + pref_crc_len || std::memcmp(file.data(), pref_magic, 2) != 0)
        return ZW_ERR_FILE;
    if (zwnet_crc16(ZWNET_CRC16_INIT, file.data(), file.size()) != 0)
        return ZW_ERR_FILE;
    if ((file[2] << 8 | file[3]) != pref_version)
        return ZW_ERR_VERSION;
    const size_t blob = file.size() - pref_hdr_len - pref_crc_len;
    auto *out = static_cast<uint8_t *>(std::malloc(blob == 0 ? 1 : blob));
    if (out == nullptr)
        return ZW_ERR_MEMORY;
    if (blob != 0)
        std::memcpy(out, file.data() + pref_hdr_len, blob);
    *data = out;
    *len = static_cast<uint16_t>(blob);
    return 0;
}

int zwnet_data_file_save(zwnet_p net, const uint8_t *data, uint16_t len, uint32_t client_id, int client)
{
    if (net == nullptr || data == nullptr)
        return ZW_ERR_VALUE;
    auto name = pref_file_name(net, client_id, client);
    if (!name)
        return ZW_ERR_MEMORY;
    return zwnet_pref_file_write(name.get(), data, len);
}

int zwnet_data_file_load(zwnet_p net, uint32_t client_id, uint8_t **data, uint16_t *len, int client)
{
    if (data != nullptr)
        *data = nullptr;
    if (len != nullptr)
        *len = 0;
    if (net == nullptr)
        return ZW_ERR_VALUE;
    auto name = pref_file_name(net, client_id, client);
    if (!name)
        return ZW_ERR_MEMORY;
    return zwnet_pref_file_read(name.get(), data, len);
}
