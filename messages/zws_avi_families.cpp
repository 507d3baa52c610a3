// The message families in the order the registry registers them: root
// messages, network messages, node, endpoint and interface messages, then the
// scene and security-scene messages into the network list. Each family adds
// one row here when it exists.
#include "messages/zws_avi_families.h"

#include "messages/zws_avi_networks.h"

namespace {

const zws_avi_family_t k_families[] = {
    // Network messages: exit, information, node list, node endpoint list,
    // operations, operation state, whitelist, summary, version.
    {ZWS_AVI_LEVEL_NETWORKS, zws_avi_networks_summary_init},
    {ZWS_AVI_LEVEL_NETWORKS, zws_avi_networks_version_init},
};

} // namespace

const zws_avi_family_t *zws_avi_families(int *count_p)
{
    *count_p = static_cast<int>(sizeof k_families / sizeof k_families[0]);
    return k_families;
}
