// The daemon's mirror of a gateway's provisioning list (the devices allowed
// to join by their Security 2 DSK): one record per DSK, filled from what the
// gateway reports through the library's callbacks and read by request
// workers. Every access takes the list's own lock; nothing hands out a
// pointer into the list.
#pragma once

#include "hcapi/include/zwnet.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct zwp_net_wl_dev_info_t {
    std::string dsk; // never empty
    uint32_t granted_keys = 0;
    uint32_t info_cnt = 0; // text records in the last report
    char name[64] = {};
    char loc[64] = {};
};

struct zwp_net_wl_t;

// 0, or 12 when it cannot be allocated.
int zwp_net_wl_create(zwp_net_wl_t **wl);
void zwp_net_wl_free(zwp_net_wl_t *wl);

// An empty record of a DSK: 22 for an empty or missing DSK, 12 when it
// cannot be allocated.
int zwp_net_wl_dev_info_create(const char *dsk, zwp_net_wl_dev_info_t **info);
void zwp_net_wl_dev_info_free(zwp_net_wl_dev_info_t *info);

// Replaces the list by the DSKs in their order. A DSK that cannot make a
// record is left out with a log line; the others stay.
void zwp_net_wl_list_set(zwp_net_wl_t *wl, const char *const *dsks, size_t count);
void zwp_net_wl_clear(zwp_net_wl_t *wl);
// Stores the gateway's report of one device, adding its record when the
// list has none: the text records of type name and location (cut to 63
// characters), the granted keys and the record count. 0 or 22.
int zwp_net_wl_dev_info_set(zwp_net_wl_t *wl, const char *dsk, uint8_t granted_keys, const zwnet_wl_rec_t *recs,
                            uint8_t rec_cnt);
// A copy of the record of that exact DSK: 0, or 22 when there is none.
int zwp_net_wl_dev_info_find(zwp_net_wl_t *wl, const char *dsk, zwp_net_wl_dev_info_t *copy);
// Copies of every DSK, in list order. 0 or 22.
int zwp_net_whitelist_list_report(zwp_net_wl_t *wl, std::vector<std::string> *dsks);
