// The small pure services: CRC-16, data file names, DSK text and the
// Security 2 transmit key option.
#include "hcapi/core/zwfac.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

uint16_t zwnet_crc16(uint16_t crc, const uint8_t *bytes, size_t len)
{
    if (bytes == nullptr)
        return crc;
    for (size_t i = 0; i < len; ++i) {
        crc ^= static_cast<uint16_t>(bytes[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

uint16_t zwnet_file_crc16_chk(FILE *file)
{
    if (file == nullptr)
        return 0;
    uint16_t crc = ZWNET_CRC16_INIT;
    uint8_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file)) > 0)
        crc = zwnet_crc16(crc, buf, n);
    std::rewind(file);
    return crc;
}

int zwnet_data_file_name(const char *prefix, const char *dir, uint32_t home_id, uint32_t client_id, char **name,
                         int client)
{
    if (name == nullptr)
        return ZW_ERR_VALUE;
    *name = nullptr;
    char suffix[24];
    if (client)
        std::snprintf(suffix, sizeof suffix, "_%08X.dat", static_cast<unsigned>(client_id));
    else
        std::snprintf(suffix, sizeof suffix, ".dat");
    const char *pfx = client ? "cli" : (prefix ? prefix : "");
    const char *d = dir ? dir : "";
    const int need = std::snprintf(nullptr, 0, "%s%s%08X%s", d, pfx, static_cast<unsigned>(home_id), suffix);
    if (need < 0)
        return ZW_ERR_MEMORY;
    char *out = static_cast<char *>(std::malloc(static_cast<size_t>(need) + 1));
    if (out == nullptr)
        return ZW_ERR_MEMORY;
    std::snprintf(out, static_cast<size_t>(need) + 1, "%s%s%08X%s", d, pfx, static_cast<unsigned>(home_id), suffix);
    *name = out;
    return 0;
}

namespace {

constexpr size_t dsk_groups = ZWNET_DSK_LEN / 2;
constexpr size_t dsk_group_digits = 5;

}  // namespace

char *zwnet_dsk_to_txt(const uint8_t *dsk, uint8_t len)
{
    if (dsk == nullptr || len == 0 || (len & 1) != 0)
        return nullptr;
    const size_t groups = len / 2;
    char *text = static_cast<char *>(std::malloc(groups * (dsk_group_digits + 1)));
    if (text == nullptr)
        return nullptr;
    const size_t size = groups * (dsk_group_digits + 1);
    size_t at = 0;
    for (size_t i = 0; i < groups; ++i) {
        const unsigned v = static_cast<unsigned>(dsk[2 * i] << 8 | dsk[2 * i + 1]);
        at += static_cast<size_t>(std::snprintf(text + at, size - at, i + 1 < groups ? "%05u-" : "%05u", v));
    }
    return text;
}

bool zwnet_dsk_txt_valid(const char *text)
{
    if (text == nullptr)
        return false;
    for (size_t g = 0; g < dsk_groups; ++g) {
        unsigned value = 0;
        for (size_t d = 0; d < dsk_group_digits; ++d) {
            const char c = *text++;
            if (c < '0' || c > '9')
                return false;
            value = value * 10 + static_cast<unsigned>(c - '0');
        }
        // A group holds two bytes; 65536..99999 would be cut silently.
        if (value > 0xFFFF)
            return false;
        const char sep = *text++;
        if (g + 1 < dsk_groups ? sep != '-' : sep != '\0')
            return false;
    }
    return true;
}

bool zwnet_dsk_from_txt(const char *text, uint8_t *dsk, uint8_t *len)
{
    if (dsk == nullptr || len == nullptr || !zwnet_dsk_txt_valid(text))
        return false;
    for (size_t g = 0; g < dsk_groups; ++g) {
        const unsigned v = static_cast<unsigned>(std::strtoul(text + g * (dsk_group_digits + 1), nullptr, 10));
        dsk[2 * g] = static_cast<uint8_t>(v >> 8);
        dsk[2 * g + 1] = static_cast<uint8_t>(v);
    }
    *len = ZWNET_DSK_LEN;
    return true;
}

uint16_t zwnet_s2_tx_key_get(uint8_t grnt_keys)
{
    if (grnt_keys & SEC_KEY_BITMSK_S2_K2)
        return 0x0400;
    if (grnt_keys & SEC_KEY_BITMSK_S2_K1)
        return 0x0200;
    if (grnt_keys & SEC_KEY_BITMSK_S2_K0)
        return 0x0100;
    return 0x8000;
}
