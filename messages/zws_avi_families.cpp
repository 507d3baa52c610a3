// The message families in the order the registry registers them: root
// messages, network messages, node, endpoint and interface messages, then the
// scene and security-scene messages into the network list. Each family adds
// one row here when it exists.
#include "messages/zws_avi.h"

namespace {

// The first row stands in for "no family yet" and is skipped by its null
// registration call, so the table is never empty.
const zws_avi_family_t k_families[] = {
    {ZWS_AVI_LEVEL_ROOT, nullptr},
};

} // namespace

const zws_avi_family_t *zws_avi_families(int *count_p)
{
    *count_p = static_cast<int>(sizeof k_families / sizeof k_families[0]);
    return k_families;
}
