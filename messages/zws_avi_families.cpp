// The message families in the order the registry registers them: root
// messages, network messages, node, endpoint and interface messages, then the
// scene and security-scene messages into the network list. Each family adds
// one row here when it exists.
#include "messages/zws_avi_families.h"

#include "messages/zws_avi_if_meter_sensor.h"
#include "messages/zws_avi_if_switch.h"
#include "messages/zws_avi_interfaces.h"
#include "messages/zws_avi_networks.h"
#include "messages/zws_avi_nodes.h"
#include "messages/zws_avi_root.h"

namespace {

const zws_avi_family_t k_families[] = {
    {ZWS_AVI_LEVEL_ROOT, zws_avi_root_gateway_init},
    // Network messages: exit, information, node list, node endpoint list,
    // operations, operation state, whitelist, summary, version.
    {ZWS_AVI_LEVEL_NETWORKS, zws_avi_networks_exit_init},
    {ZWS_AVI_LEVEL_NETWORKS, zws_avi_networks_info_init},
    {ZWS_AVI_LEVEL_NETWORKS, zws_avi_networks_node_list_init},
    {ZWS_AVI_LEVEL_NETWORKS, zws_avi_networks_node_endpoint_list_init},
    {ZWS_AVI_LEVEL_NETWORKS, zws_avi_networks_operations_init},
    {ZWS_AVI_LEVEL_NETWORKS, zws_avi_networks_operation_state_init},
    {ZWS_AVI_LEVEL_NETWORKS, zws_avi_networks_whitelist_init},
    {ZWS_AVI_LEVEL_NETWORKS, zws_avi_networks_summary_init},
    {ZWS_AVI_LEVEL_NETWORKS, zws_avi_networks_version_init},
    {ZWS_AVI_LEVEL_NODES, zws_avi_nodes_endpoint_list_init},
    {ZWS_AVI_LEVEL_NODES, zws_avi_nodes_commandqueue_init},
    {ZWS_AVI_LEVEL_ENDPOINTS, zws_avi_endpoints_interface_list_init},
    {ZWS_AVI_LEVEL_ENDPOINTS, zws_avi_endpoints_node_naming_init},
    // Interface messages, class by class.
    {ZWS_AVI_LEVEL_INTERFACES, zws_avi_interfaces_alarm_init},
    {ZWS_AVI_LEVEL_INTERFACES, zws_avi_interfaces_basic_init},
    {ZWS_AVI_LEVEL_INTERFACES, zws_avi_interfaces_battery_init},
    {ZWS_AVI_LEVEL_INTERFACES, zws_avi_interfaces_meter_init},
    {ZWS_AVI_LEVEL_INTERFACES, zws_avi_interfaces_sensor_binary_init},
    {ZWS_AVI_LEVEL_INTERFACES, zws_avi_interfaces_sensor_multilevel_init},
    {ZWS_AVI_LEVEL_INTERFACES, zws_avi_interfaces_switch_binary_init},
    {ZWS_AVI_LEVEL_INTERFACES, zws_avi_interfaces_switch_multilevel_init},
    {ZWS_AVI_LEVEL_INTERFACES, zws_avi_interfaces_switch_color_init},
};

} // namespace

const zws_avi_family_t *zws_avi_families(int *count_p)
{
    *count_p = static_cast<int>(sizeof k_families / sizeof k_families[0]);
    return k_families;
}
