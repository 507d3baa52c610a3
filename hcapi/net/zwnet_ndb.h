// The node database as the gateway's node list and node information shape
// it: nodes added and removed, controller roles, interfaces made from class
// lists.
#pragma once

#include "hcapi/core/zwrec.h"
#include "hcapi/zip/zip_nm.h"

#include <cstdint>

// What inclusion adds to a node's information: the keys it was granted and
// its DSK text (or null).
struct zwnode_incl_extra_t {
    uint32_t keys_valid{0};
    uint8_t grnt_keys{0};
    const char *dsk{nullptr};
};

// Applies a node information record to its node (creating or rebuilding it):
// 0, -12, or the result of zwnode_if_create.
int zwnode_info_apply(zwnet_p net, const appl_node_info_t *info, const zwnode_incl_extra_t *extra);
