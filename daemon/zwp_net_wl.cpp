#include "daemon/zwp_net_wl.h"

#include "daemon/zwp_alloc.h"
#include "daemon/zwp_log.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

struct zwp_net_wl_t {
    std::mutex lock;
    std::vector<std::unique_ptr<zwp_net_wl_dev_info_t>> devices;
};

namespace {

// The gateway's text records are 64 bytes without a promise of a NUL.
void text_copy(char (&to)[64], const char *from)
{
    const size_t length = strnlen(from, sizeof to - 1);
    std::memcpy(to, from, length);
    to[length] = '\0';
}

zwp_net_wl_dev_info_t *find_locked(zwp_net_wl_t *wl, const char *dsk)
{
    for (const auto &device : wl->devices)
        if (device->dsk == dsk)
            return device.get();
    return nullptr;
}

} // namespace

int zwp_net_wl_create(zwp_net_wl_t **wl)
{
    if (!wl)
        return 22;
    *wl = new (std::nothrow) zwp_net_wl_t;
    return *wl ? 0 : 12;
}

void zwp_net_wl_free(zwp_net_wl_t *wl) { delete wl; }

int zwp_net_wl_dev_info_create(const char *dsk, zwp_net_wl_dev_info_t **info)
{
    if (!info || !dsk || !*dsk)
        return 22;
    try {
        auto made = std::make_unique<zwp_net_wl_dev_info_t>();
        made->dsk = dsk;
        *info = made.release();
        return 0;
    } catch (const std::bad_alloc &) {
        ZWS_LOG_ERROR("zwp_net_wl_dev_info_t memory creation fail.");
        return 12;
    }
}

void zwp_net_wl_dev_info_free(zwp_net_wl_dev_info_t *info) { delete info; }

void zwp_net_wl_list_set(zwp_net_wl_t *wl, const char *const *dsks, size_t count)
{
    if (!wl)
        return;
    std::lock_guard<std::mutex> guard(wl->lock);
    wl->devices.clear();
    for (size_t i = 0; dsks && i < count; i++) {
        zwp_net_wl_dev_info_t *info = nullptr;
        if (zwp_net_wl_dev_info_create(dsks[i], &info) != 0) {
            // One entry the gateway could not describe does not hide the
            // others from the user.
            ZWS_LOG_ERROR("zwp_net_wl_dev_info_t structure creation fail. DSK: %s", dsks[i] ? dsks[i] : "");
            continue;
        }
        std::unique_ptr<zwp_net_wl_dev_info_t> owned(info);
        try {
            wl->devices.push_back(std::move(owned));
        } catch (const std::bad_alloc &) {
            ZWS_LOG_ERROR("zwp_net_wl_dev_info_t structure creation fail. DSK: %s", dsks[i]);
        }
    }
}

void zwp_net_wl_clear(zwp_net_wl_t *wl)
{
    if (!wl)
        return;
    std::lock_guard<std::mutex> guard(wl->lock);
    wl->devices.clear();
}

int zwp_net_wl_dev_info_set(zwp_net_wl_t *wl, const char *dsk, uint8_t granted_keys, const zwnet_wl_rec_t *recs,
                            uint8_t rec_cnt)
{
    if (!wl)
        return 22;
    std::lock_guard<std::mutex> guard(wl->lock);
    zwp_net_wl_dev_info_t *info = dsk ? find_locked(wl, dsk) : nullptr;
    if (info) {
        info->name[0] = '\0';
        info->loc[0] = '\0';
    } else {
        if (zwp_net_wl_dev_info_create(dsk, &info) != 0) {
            ZWS_LOG_ERROR("zwp_net_wl_dev_info_t structure creation fail. DSK: %s", dsk ? dsk : "");
            return 22;
        }
        std::unique_ptr<zwp_net_wl_dev_info_t> owned(info);
        try {
            wl->devices.push_back(std::move(owned));
        } catch (const std::bad_alloc &) {
            ZWS_LOG_ERROR("zwp_net_wl_dev_info_t structure creation fail. DSK: %s", dsk);
            return 22;
        }
    }
    for (uint8_t i = 0; recs && i < rec_cnt; i++) {
        if (recs[i].type == ZWNET_WL_REC_NAME)
            text_copy(info->name, recs[i].text);
        else if (recs[i].type == ZWNET_WL_REC_LOCATION)
            text_copy(info->loc, recs[i].text);
    }
    info->granted_keys = granted_keys;
    info->info_cnt = recs ? rec_cnt : 0;
    return 0;
}

int zwp_net_wl_dev_info_find(zwp_net_wl_t *wl, const char *dsk, zwp_net_wl_dev_info_t *copy)
{
    if (!wl || !dsk || !copy)
        return 22;
    std::lock_guard<std::mutex> guard(wl->lock);
    const zwp_net_wl_dev_info_t *info = find_locked(wl, dsk);
    if (!info)
        return 22;
    return zwp_assign(*copy, *info);
}

int zwp_net_whitelist_list_report(zwp_net_wl_t *wl, std::vector<std::string> *dsks)
{
    if (!wl || !dsks)
        return 22;
    std::lock_guard<std::mutex> guard(wl->lock);
    try {
        std::vector<std::string> copies;
        copies.reserve(wl->devices.size());
        for (const auto &device : wl->devices)
            copies.push_back(device->dsk);
        *dsks = std::move(copies);
    } catch (const std::bad_alloc &) {
        ZWS_LOG_ERROR("zwp_net_whitelist_list_report() failed");
        return 22;
    }
    return 0;
}
