// The message families in the order the registry registers them.
#pragma once

#include "util/zwu_array.h"

// A family of descriptors: its registration adds the family's descriptors to
// the list of its level, in order, and returns 22 at the first failure.
enum zws_avi_level_t {
    ZWS_AVI_LEVEL_ROOT,
    ZWS_AVI_LEVEL_NETWORKS,
    ZWS_AVI_LEVEL_NODES,
    ZWS_AVI_LEVEL_ENDPOINTS,
    ZWS_AVI_LEVEL_INTERFACES,
};
typedef int (*zws_avi_family_init_t)(zwu_array_list_t list);
struct zws_avi_family_t {
    zws_avi_level_t level;
    zws_avi_family_init_t init;
};
// The families in registration order (zws_avi_families.cpp); *count_p gets
// their number.
const zws_avi_family_t *zws_avi_families(int *count_p);
