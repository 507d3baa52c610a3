#include "daemon/zwp_text.h"

#include <array>
#include <cstring>
#include <span>
#include <string_view>

namespace {

constexpr const char *unknown = "Unknown";

// ---------------------------------------------------------------------------
// Host-controller status texts.

struct status_row {
    int code;
    const char *text;
};

constexpr status_row status_rows[] = {
    {2, "Data is available in cache"},
    {1, "The command is queued"},
    {0, "Operation succeeded"},
    {-1, "Operation failed"},
    {-10, "Wrong interface"},
    {-11, "No response from controller"},
    {-12, "Out of memory"},
    {-13, "Node not found"},
    {-14, "Command Class not found"},
    {-15, "Interface to a class not found"},
    {-16, "Interface report handler not found"},
    {-17, "Last operation not completed yet, try again"},
    {-18, "Node not in protocol layer failed node ID list"},
    {-19, "The requested operation failed"},
    {-20, "Endpoint not found"},
    {-21, "The report command of an interface not found"},
    {-22, "Network not found"},
    {-23, "Incorrect command class version"},
    {-24, "Operation pending, it cannot be canceled now"},
    {-25, "The value is invalid"},
    {-26, "The queue is full"},
    {-27, "The requested function is unsupported for this node"},
    {-28, "Open file error"},
    {-29, "Write file error"},
    {-30, "The end-of-file was reached"},
    {-31, "File is corrupted"},
    {-32, "File home id does not match"},
    {-33, "Expired"},
    {-34, "No resource for mutex, semaphore, timer, etc"},
    {-35, "Event is not processed"},
    {-36, "Data size is too large"},
    {-37, "Data size is too small"},
    {-38, "Timeout"},
    {-39, "Transmission failed"},
    {-40, "Security nonce not found"},
    {-41, "Authentication error"},
    {-42, "Incorrect sequence number"},
    {-43, "Busy, try again later"},
    {-44, "Security scheme unsupported"},
    {-45, "Initialization error on transport layer"},
    {-46, "Initialization error on frame layer"},
    {-47, "Initialization error on session layer"},
    {-48, "Initialization error on application layer"},
    {-49, "The error was unexpected under normal circumstances"},
    {-50, "Network interface not configured properly"},
    {-51, "The IP address is invalid"},
    {-52, "Wrong version number"},
    {-53, "Interface data is missing"},
    {-54, "Read file error"},
    {-55, "Parsing file failed"},
    {-56, "Missing mandatory entry"},
    {-57, "Device specific configuration record not found"},
    {-58, "The operation is disallowed under certain circumstances"},
};

// 2 down to -1, then -10 down to -58: the library never returns -2 to -9.
constexpr bool status_rows_complete()
{
    int index = 0;
    for (const status_row &row : status_rows) {
        int expected = index <= 3 ? 2 - index : -10 - (index - 4);
        if (row.code != expected || row.text == nullptr || row.text[0] == '\0')
            return false;
        ++index;
    }
    return true;
}
static_assert(std::size(status_rows) == 53);
static_assert(status_rows_complete(), "status texts must run 2..-1 and -10..-58 in order");

// ---------------------------------------------------------------------------
// Network operations.

struct op_row {
    int op;
    const char *name;
};

constexpr op_row op_rows[] = {
    {0, "None"},
    {1, "Initialize"},
    {2, "Add node"},
    {3, "Remove node"},
    {4, "Replace failed node"},
    {5, "Remove failed node"},
    {6, "Initiate"},
    {7, "Update network"},
    {8, "Reset network"},
    {9, "Create primary controller by a SUC"},
    {10, "Migrate primary controller"},
    {11, "Assign role"},
    {13, "Update node"},
    {14, "Send node information frame"},
    {15, "Network change detection"},
    {16, "Update node cache info"},
    {17, "Save network and node information to persistent storage"},
    {18, "Update sleeping detailed node information when it is awake"},
    {19, "Firmware update"},
};

// 0..19 without 12, which the library does not use.
constexpr bool op_rows_complete()
{
    int index = 0;
    for (const op_row &row : op_rows) {
        int expected = index < 12 ? index : index + 1;
        if (row.op != expected || row.name == nullptr || row.name[0] == '\0')
            return false;
        ++index;
    }
    return true;
}
static_assert(std::size(op_rows) == 19);
static_assert(op_rows_complete(), "operation names must run 0..19 without 12 in order");

constexpr int op_status_done = 0;
constexpr int op_status_failed = 255;

struct progress_row {
    int op;
    int status;
    const char *text;
};

constexpr progress_row progress_rows[] = {
    {2, 3, "Protocol part of adding node started"},
    {2, 1, "Protocol part of adding node done"},
    {2, 11, "Security 2 inclusion - request key ready"},
    {2, 12, "Security 2 inclusion - dsk ready"},
    {2, 2, "Getting node detailed information"},
    {4, 1, "Protocol part of replacing node done"},
    {4, 2, "Getting node detailed information"},
    {6, 1, "Protocol part of initiating done"},
    {6, 11, "Security 2 initiate - self dsk ready"},
    {6, 2, "Getting node detailed information"},
    {7, 1, "Network topology update started"},
    {7, 2, "Node neighbor update started"},
    {7, 3, "Node information update started"},
};

// One block per operation, at most five rows, no status twice in a block;
// status 0 is the final "done" and never a progress step.
constexpr bool progress_rows_well_formed()
{
    constexpr size_t count = std::size(progress_rows);
    for (size_t i = 0; i < count; ++i) {
        const progress_row &row = progress_rows[i];
        if (row.status == op_status_done || row.text == nullptr)
            return false;
        size_t block = 0;
        for (size_t j = 0; j < count; ++j) {
            if (progress_rows[j].op != row.op)
                continue;
            ++block;
            if (j != i && progress_rows[j].status == row.status)
                return false;
            // Contiguous: every row of the operation lies between two of its rows.
            size_t low = i < j ? i : j;
            size_t high = i < j ? j : i;
            for (size_t k = low; k <= high; ++k)
                if (progress_rows[k].op != row.op)
                    return false;
        }
        if (block > 5)
            return false;
    }
    return true;
}
static_assert(progress_rows_well_formed());

// ---------------------------------------------------------------------------
// Controller key bits, in the order they are written.

struct key_bit_row {
    unsigned bit;
    const char *name;
};

constexpr key_bit_row key_bit_rows[] = {
    {0x01, "Proxy"},
    {0x02, "Inclusion"},
    {0x04, "Primary"},
};

// ---------------------------------------------------------------------------
// Command classes and their commands, named after the Z-Wave command class
// constants. Command lists are in ascending id order.

struct cmd_row {
    uint8_t id;
    const char *name;
};

struct cc_row {
    uint16_t cls;
    const char *name;
    std::span<const cmd_row> cmds;
};

constexpr cmd_row alarm_cmds[] = {
    {0x01, "EVENT_SUPPORTED_GET"},
    {0x02, "EVENT_SUPPORTED_REPORT"},
    {0x04, "ALARM_GET"},
    {0x05, "ALARM_REPORT"},
    {0x06, "ALARM_SET"},
    {0x07, "ALARM_TYPE_SUPPORTED_GET"},
    {0x08, "ALARM_TYPE_SUPPORTED_REPORT"},
};
constexpr cmd_row application_status_cmds[] = {
    {0x01, "APPLICATION_BUSY"},
    {0x02, "APPLICATION_REJECTED_REQUEST"},
};
constexpr cmd_row association_command_configuration_cmds[] = {
    {0x01, "COMMAND_RECORDS_SUPPORTED_GET"},
    {0x02, "COMMAND_RECORDS_SUPPORTED_REPORT"},
    {0x03, "COMMAND_CONFIGURATION_SET"},
    {0x04, "COMMAND_CONFIGURATION_GET"},
    {0x05, "COMMAND_CONFIGURATION_REPORT"},
};
constexpr cmd_row association_cmds[] = {
    {0x01, "ASSOCIATION_SET"},
    {0x02, "ASSOCIATION_GET"},
    {0x03, "ASSOCIATION_REPORT"},
    {0x04, "ASSOCIATION_REMOVE"},
    {0x05, "ASSOCIATION_GROUPINGS_GET"},
    {0x06, "ASSOCIATION_GROUPINGS_REPORT"},
};
constexpr cmd_row av_content_directory_md_cmds[] = {
    {0x01, "AV_CONTENT_BROWSE_MD_GET"},
    {0x02, "AV_CONTENT_BROWSE_MD_REPORT"},
    {0x03, "AV_CONTENT_BROWSE_MD_BY_LETTER_GET"},
    {0x04, "AV_CONTENT_BROWSE_MD_BY_LETTER_REPORT"},
    {0x05, "AV_CONTENT_BROWSE_MD_CHILD_COUNT_GET"},
    {0x06, "AV_CONTENT_BROWSE_MD_CHILD_COUNT_REPORT"},
    {0x07, "AV_MATCH_ITEM_TO_RENDERER_MD_GET"},
    {0x08, "AV_MATCH_ITEM_TO_RENDERER_MD_REPORT"},
};
constexpr cmd_row av_content_search_md_cmds[] = {
    {0x01, "AV_CONTENT_SEARCH_MD_GET"},
    {0x02, "AV_CONTENT_SEARCH_MD_REPORT"},
};
constexpr cmd_row av_renderer_status_cmds[] = {
    {0x01, "AV_RENDERER_STATUS_GET"},
    {0x02, "AV_RENDERER_STATUS_REPORT"},
};
constexpr cmd_row av_tagging_md_cmds[] = {
    {0x01, "AV_TAGGING_MD_GET"},
    {0x02, "AV_TAGGING_MD_REPORT"},
};
constexpr cmd_row basic_tariff_info_cmds[] = {
    {0x01, "BASIC_TARIFF_INFO_GET"},
    {0x02, "BASIC_TARIFF_INFO_REPORT"},
};
constexpr cmd_row basic_window_covering_cmds[] = {
    {0x01, "BASIC_WINDOW_COVERING_START_LEVEL_CHANGE"},
    {0x02, "BASIC_WINDOW_COVERING_STOP_LEVEL_CHANGE"},
};
constexpr cmd_row basic_cmds[] = {
    {0x01, "BASIC_SET"},
    {0x02, "BASIC_GET"},
    {0x03, "BASIC_REPORT"},
};
constexpr cmd_row battery_cmds[] = {
    {0x02, "BATTERY_GET"},
    {0x03, "BATTERY_REPORT"},
};
constexpr cmd_row central_scene_cmds[] = {
    {0x01, "CENTRAL_SCENE_SUPPORTED_GET"},
    {0x02, "CENTRAL_SCENE_SUPPORTED_REPORT"},
    {0x03, "CENTRAL_SCENE_NOTIFICATION"},
    {0x04, "CENTRAL_SCENE_CONFIGURATION_SET"},
    {0x05, "CENTRAL_SCENE_CONFIGURATION_GET"},
    {0x06, "CENTRAL_SCENE_CONFIGURATION_REPORT"},
};
constexpr cmd_row chimney_fan_cmds[] = {
    {0x01, "CHIMNEY_FAN_STATE_SET"},
    {0x02, "CHIMNEY_FAN_STATE_GET"},
    {0x03, "CHIMNEY_FAN_STATE_REPORT"},
    {0x04, "CHIMNEY_FAN_SPEED_SET"},
    {0x05, "CHIMNEY_FAN_SPEED_GET"},
    {0x06, "CHIMNEY_FAN_SPEED_REPORT"},
    {0x07, "CHIMNEY_FAN_START_TEMP_SET"},
    {0x08, "CHIMNEY_FAN_START_TEMP_GET"},
    {0x09, "CHIMNEY_FAN_START_TEMP_REPORT"},
    {0x0A, "CHIMNEY_FAN_STOP_TEMP_SET"},
    {0x0B, "CHIMNEY_FAN_STOP_TEMP_GET"},
    {0x0C, "CHIMNEY_FAN_STOP_TEMP_REPORT"},
    {0x0D, "CHIMNEY_FAN_ALARM_TEMP_SET"},
    {0x0E, "CHIMNEY_FAN_ALARM_TEMP_GET"},
    {0x0F, "CHIMNEY_FAN_ALARM_TEMP_REPORT"},
    {0x10, "CHIMNEY_FAN_BOOST_TIME_SET"},
    {0x11, "CHIMNEY_FAN_BOOST_TIME_GET"},
    {0x12, "CHIMNEY_FAN_BOOST_TIME_REPORT"},
    {0x13, "CHIMNEY_FAN_STOP_TIME_SET"},
    {0x14, "CHIMNEY_FAN_STOP_TIME_GET"},
    {0x15, "CHIMNEY_FAN_STOP_TIME_REPORT"},
    {0x17, "CHIMNEY_FAN_MODE_SET"},
    {0x18, "CHIMNEY_FAN_MODE_GET"},
    {0x19, "CHIMNEY_FAN_MODE_REPORT"},
    {0x1A, "CHIMNEY_FAN_STATUS_GET"},
    {0x1B, "CHIMNEY_FAN_STATUS_REPORT"},
    {0x1F, "CHIMNEY_FAN_ALARM_LOG_SET"},
    {0x20, "CHIMNEY_FAN_ALARM_LOG_GET"},
    {0x21, "CHIMNEY_FAN_ALARM_LOG_REPORT"},
    {0x22, "CHIMNEY_FAN_ALARM_STATUS_SET"},
    {0x23, "CHIMNEY_FAN_ALARM_STATUS_GET"},
    {0x24, "CHIMNEY_FAN_ALARM_STATUS_REPORT"},
    {0x25, "CHIMNEY_FAN_MIN_SPEED_SET"},
    {0x26, "CHIMNEY_FAN_MIN_SPEED_GET"},
    {0x27, "CHIMNEY_FAN_MIN_SPEED_REPORT"},
    {0x28, "CHIMNEY_FAN_DEFAULT_SET"},
};
constexpr cmd_row climate_control_schedule_cmds[] = {
    {0x01, "SCHEDULE_SET"},
    {0x02, "SCHEDULE_GET"},
    {0x03, "SCHEDULE_REPORT"},
    {0x04, "SCHEDULE_CHANGED_GET"},
    {0x05, "SCHEDULE_CHANGED_REPORT"},
    {0x06, "SCHEDULE_OVERRIDE_SET"},
    {0x07, "SCHEDULE_OVERRIDE_GET"},
    {0x08, "SCHEDULE_OVERRIDE_REPORT"},
};
constexpr cmd_row clock_cmds[] = {
    {0x04, "CLOCK_SET"},
    {0x05, "CLOCK_GET"},
    {0x06, "CLOCK_REPORT"},
};
constexpr cmd_row configuration_cmds[] = {
    {0x01, "CONFIGURATION_DEFAULT_RESET"},
    {0x04, "CONFIGURATION_SET"},
    {0x05, "CONFIGURATION_GET"},
    {0x06, "CONFIGURATION_REPORT"},
    {0x07, "CONFIGURATION_BULK_SET"},
    {0x08, "CONFIGURATION_BULK_GET"},
    {0x09, "CONFIGURATION_BULK_REPORT"},
    {0x0A, "CONFIGURATION_NAME_GET"},
    {0x0B, "CONFIGURATION_NAME_REPORT"},
    {0x0C, "CONFIGURATION_INFO_GET"},
    {0x0D, "CONFIGURATION_INFO_REPORT"},
    {0x0E, "CONFIGURATION_PROPERTIES_GET"},
    {0x0F, "CONFIGURATION_PROPERTIES_REPORT"},
};
constexpr cmd_row controller_replication_cmds[] = {
    {0x31, "CTRL_REPLICATION_TRANSFER_GROUP"},
    {0x32, "CTRL_REPLICATION_TRANSFER_GROUP_NAME"},
    {0x33, "CTRL_REPLICATION_TRANSFER_SCENE"},
    {0x34, "CTRL_REPLICATION_TRANSFER_SCENE_NAME"},
};
constexpr cmd_row crc_16_encap_cmds[] = {
    {0x01, "CRC_16_ENCAP"},
};
constexpr cmd_row dcp_config_cmds[] = {
    {0x01, "DCP_LIST_SUPPORTED_GET"},
    {0x02, "DCP_LIST_SUPPORTED_REPORT"},
    {0x03, "DCP_LIST_SET"},
    {0x04, "DCP_LIST_REMOVE"},
};
constexpr cmd_row dcp_monitor_cmds[] = {
    {0x01, "DCP_LIST_GET"},
    {0x02, "DCP_LIST_REPORT"},
    {0x03, "DCP_EVENT_STATUS_GET"},
    {0x04, "DCP_EVENT_STATUS_REPORT"},
};
constexpr cmd_row door_lock_logging_cmds[] = {
    {0x01, "DOOR_LOCK_LOGGING_RECORDS_SUPPORTED_GET"},
    {0x02, "DOOR_LOCK_LOGGING_RECORDS_SUPPORTED_REPORT"},
    {0x03, "RECORD_GET"},
    {0x04, "RECORD_REPORT"},
};
constexpr cmd_row door_lock_cmds[] = {
    {0x01, "DOOR_LOCK_OPERATION_SET"},
    {0x02, "DOOR_LOCK_OPERATION_GET"},
    {0x03, "DOOR_LOCK_OPERATION_REPORT"},
    {0x04, "DOOR_LOCK_CONFIGURATION_SET"},
    {0x05, "DOOR_LOCK_CONFIGURATION_GET"},
    {0x06, "DOOR_LOCK_CONFIGURATION_REPORT"},
    {0x07, "DOOR_LOCK_CAPABILITIES_GET"},
    {0x08, "DOOR_LOCK_CAPABILITIES_REPORT"},
};
constexpr cmd_row energy_production_cmds[] = {
    {0x02, "ENERGY_PRODUCTION_GET"},
    {0x03, "ENERGY_PRODUCTION_REPORT"},
};
constexpr cmd_row firmware_update_md_cmds[] = {
    {0x01, "FIRMWARE_MD_GET"},
    {0x02, "FIRMWARE_MD_REPORT"},
    {0x03, "FIRMWARE_UPDATE_MD_REQUEST_GET"},
    {0x04, "FIRMWARE_UPDATE_MD_REQUEST_REPORT"},
    {0x05, "FIRMWARE_UPDATE_MD_GET"},
    {0x06, "FIRMWARE_UPDATE_MD_REPORT"},
    {0x07, "FIRMWARE_UPDATE_MD_STATUS_REPORT"},
    {0x08, "FIRMWARE_UPDATE_ACTIVATION_SET"},
    {0x09, "FIRMWARE_UPDATE_ACTIVATION_STATUS_REPORT"},
    {0x0A, "FIRMWARE_UPDATE_MD_PREPARE_GET"},
    {0x0B, "FIRMWARE_UPDATE_MD_PREPARE_REPORT"},
};
constexpr cmd_row geographic_location_cmds[] = {
    {0x01, "GEOGRAPHIC_LOCATION_SET"},
    {0x02, "GEOGRAPHIC_LOCATION_GET"},
    {0x03, "GEOGRAPHIC_LOCATION_REPORT"},
};
constexpr cmd_row grouping_name_cmds[] = {
    {0x01, "GROUPING_NAME_SET"},
    {0x02, "GROUPING_NAME_GET"},
    {0x03, "GROUPING_NAME_REPORT"},
};
constexpr cmd_row hail_cmds[] = {
    {0x01, "HAIL"},
};
constexpr cmd_row hrv_control_cmds[] = {
    {0x01, "HRV_CONTROL_MODE_SET"},
    {0x02, "HRV_CONTROL_MODE_GET"},
    {0x03, "HRV_CONTROL_MODE_REPORT"},
    {0x04, "HRV_CONTROL_BYPASS_SET"},
    {0x05, "HRV_CONTROL_BYPASS_GET"},
    {0x06, "HRV_CONTROL_BYPASS_REPORT"},
    {0x07, "HRV_CONTROL_VENTILATION_RATE_SET"},
    {0x08, "HRV_CONTROL_VENTILATION_RATE_GET"},
    {0x09, "HRV_CONTROL_VENTILATION_RATE_REPORT"},
    {0x0A, "HRV_CONTROL_MODE_SUPPORTED_GET"},
    {0x0B, "HRV_CONTROL_MODE_SUPPORTED_REPORT"},
};
constexpr cmd_row hrv_status_cmds[] = {
    {0x01, "HRV_STATUS_GET"},
    {0x02, "HRV_STATUS_REPORT"},
    {0x03, "HRV_STATUS_SUPPORTED_GET"},
    {0x04, "HRV_STATUS_SUPPORTED_REPORT"},
};
constexpr cmd_row indicator_cmds[] = {
    {0x01, "INDICATOR_SET"},
    {0x02, "INDICATOR_GET"},
    {0x03, "INDICATOR_REPORT"},
    {0x04, "INDICATOR_SUPPORTED_GET"},
    {0x05, "INDICATOR_SUPPORTED_REPORT"},
};
constexpr cmd_row ip_configuration_cmds[] = {
    {0x01, "IP_CONFIGURATION_SET"},
    {0x02, "IP_CONFIGURATION_GET"},
    {0x03, "IP_CONFIGURATION_REPORT"},
    {0x04, "IP_CONFIGURATION_RELEASE"},
    {0x05, "IP_CONFIGURATION_RENEW"},
};
constexpr cmd_row language_cmds[] = {
    {0x01, "LANGUAGE_SET"},
    {0x02, "LANGUAGE_GET"},
    {0x03, "LANGUAGE_REPORT"},
};
constexpr cmd_row lock_cmds[] = {
    {0x01, "LOCK_SET"},
    {0x02, "LOCK_GET"},
    {0x03, "LOCK_REPORT"},
};
constexpr cmd_row manufacturer_specific_cmds[] = {
    {0x04, "MANUFACTURER_SPECIFIC_GET"},
    {0x05, "MANUFACTURER_SPECIFIC_REPORT"},
    {0x06, "DEVICE_SPECIFIC_GET"},
    {0x07, "DEVICE_SPECIFIC_REPORT"},
};
constexpr cmd_row meter_pulse_cmds[] = {
    {0x04, "METER_PULSE_GET"},
    {0x05, "METER_PULSE_REPORT"},
};
constexpr cmd_row meter_tbl_config_cmds[] = {
    {0x01, "METER_TBL_TABLE_POINT_ADM_NO_SET"},
};
constexpr cmd_row meter_tbl_monitor_cmds[] = {
    {0x01, "METER_TBL_TABLE_POINT_ADM_NO_GET"},
    {0x02, "METER_TBL_TABLE_POINT_ADM_NO_REPORT"},
    {0x03, "METER_TBL_TABLE_ID_GET"},
    {0x04, "METER_TBL_TABLE_ID_REPORT"},
    {0x05, "METER_TBL_TABLE_CAPABILITY_GET"},
    {0x06, "METER_TBL_REPORT"},
    {0x07, "METER_TBL_STATUS_SUPPORTED_GET"},
    {0x08, "METER_TBL_STATUS_REPORT"},
    {0x09, "METER_TBL_STATUS_DEPTH_GET"},
    {0x0A, "METER_TBL_STATUS_DATE_GET"},
    {0x0B, "METER_TBL_CURRENT_DATA_GET"},
    {0x0C, "METER_TBL_CURRENT_DATA_REPORT"},
    {0x0D, "METER_TBL_HISTORICAL_DATA_GET"},
    {0x0E, "METER_TBL_HISTORICAL_DATA_REPORT"},
};
constexpr cmd_row meter_tbl_push_cmds[] = {
    {0x01, "METER_TBL_PUSH_CONFIGURATION_SET"},
    {0x02, "METER_TBL_PUSH_CONFIGURATION_GET"},
    {0x03, "METER_TBL_PUSH_CONFIGURATION_REPORT"},
};
constexpr cmd_row meter_cmds[] = {
    {0x01, "METER_GET"},
    {0x02, "METER_REPORT"},
    {0x03, "METER_SUPPORTED_GET"},
    {0x04, "METER_SUPPORTED_REPORT"},
    {0x05, "METER_RESET"},
};
constexpr cmd_row mtp_window_covering_cmds[] = {
    {0x01, "MOVE_TO_POSITION_SET"},
    {0x02, "MOVE_TO_POSITION_GET"},
    {0x03, "MOVE_TO_POSITION_REPORT"},
};
constexpr cmd_row multi_channel_association_cmds[] = {
    {0x01, "MULTI_CHANNEL_ASSOCIATION_SET"},
    {0x02, "MULTI_CHANNEL_ASSOCIATION_GET"},
    {0x03, "MULTI_CHANNEL_ASSOCIATION_REPORT"},
    {0x04, "MULTI_CHANNEL_ASSOCIATION_REMOVE"},
    {0x05, "MULTI_CHANNEL_ASSOCIATION_GROUPINGS_GET"},
    {0x06, "MULTI_CHANNEL_ASSOCIATION_GROUPINGS_REPORT"},
};
constexpr cmd_row multi_channel_cmds[] = {
    {0x04, "MULTI_INSTANCE_GET"},
    {0x05, "MULTI_INSTANCE_REPORT"},
    {0x06, "MULTI_INSTANCE_CMD_ENCAP"},
    {0x07, "MULTI_CHANNEL_END_POINT_GET"},
    {0x08, "MULTI_CHANNEL_END_POINT_REPORT"},
    {0x09, "MULTI_CHANNEL_CAPABILITY_GET"},
    {0x0A, "MULTI_CHANNEL_CAPABILITY_REPORT"},
    {0x0B, "MULTI_CHANNEL_END_POINT_FIND"},
    {0x0C, "MULTI_CHANNEL_END_POINT_FIND_REPORT"},
    {0x0D, "MULTI_CHANNEL_CMD_ENCAP"},
    {0x0E, "MULTI_CHANNEL_AGGREGATED_MEMBERS_GET"},
    {0x0F, "MULTI_CHANNEL_AGGREGATED_MEMBERS_REPORT"},
};
constexpr cmd_row multi_cmd_cmds[] = {
    {0x01, "MULTI_CMD_ENCAP"},
};
constexpr cmd_row network_management_proxy_cmds[] = {
    {0x01, "NODE_LIST_GET"},
    {0x02, "NODE_LIST_REPORT"},
    {0x03, "NODE_INFO_CACHED_GET"},
    {0x04, "NODE_INFO_CACHED_REPORT"},
    {0x05, "NM_MULTI_CHANNEL_END_POINT_GET"},
    {0x06, "NM_MULTI_CHANNEL_END_POINT_REPORT"},
    {0x07, "NM_MULTI_CHANNEL_CAPABILITY_GET"},
    {0x08, "NM_MULTI_CHANNEL_CAPABILITY_REPORT"},
    {0x09, "NM_MULTI_CHANNEL_AGGREGATED_MEMBERS_GET"},
    {0x0A, "NM_MULTI_CHANNEL_AGGREGATED_MEMBERS_REPORT"},
};
constexpr cmd_row network_management_basic_cmds[] = {
    {0x01, "LEARN_MODE_SET"},
    {0x02, "LEARN_MODE_SET_STATUS"},
    {0x03, "NETWORK_UPDATE_REQUEST"},
    {0x04, "NETWORK_UPDATE_REQUEST_STATUS"},
    {0x05, "NODE_INFORMATION_SEND"},
    {0x06, "DEFAULT_SET"},
    {0x07, "DEFAULT_SET_COMPLETE"},
    {0x08, "DSK_GET"},
    {0x09, "DSK_REPORT"},
};
constexpr cmd_row network_management_inclusion_cmds[] = {
    {0x01, "NODE_ADD"},
    {0x02, "NODE_ADD_STATUS"},
    {0x03, "NODE_REMOVE"},
    {0x04, "NODE_REMOVE_STATUS"},
    {0x07, "FAILED_NODE_REMOVE"},
    {0x08, "FAILED_NODE_REMOVE_STATUS"},
    {0x09, "FAILED_NODE_REPLACE"},
    {0x0A, "FAILED_NODE_REPLACE_STATUS"},
    {0x0B, "NODE_NEIGHBOR_UPDATE_REQUEST"},
    {0x0C, "NODE_NEIGHBOR_UPDATE_STATUS"},
    {0x0D, "RETURN_ROUTE_ASSIGN"},
    {0x0E, "RETURN_ROUTE_ASSIGN_COMPLETE"},
    {0x0F, "RETURN_ROUTE_DELETE"},
    {0x10, "RETURN_ROUTE_DELETE_COMPLETE"},
    {0x11, "NODE_ADD_KEYS_REPORT"},
    {0x12, "NODE_ADD_KEYS_SET"},
    {0x13, "NODE_ADD_DSK_REPORT"},
    {0x14, "NODE_ADD_DSK_SET"},
    {0x15, "SMART_START_JOIN_STARTED_REPORT"},
    {0x16, "EXTENDED_NODE_ADD_STATUS"},
};
constexpr cmd_row node_naming_cmds[] = {
    {0x01, "NODE_NAMING_NODE_NAME_SET"},
    {0x02, "NODE_NAMING_NODE_NAME_GET"},
    {0x03, "NODE_NAMING_NODE_NAME_REPORT"},
    {0x04, "NODE_NAMING_NODE_LOCATION_SET"},
    {0x05, "NODE_NAMING_NODE_LOCATION_GET"},
    {0x06, "NODE_NAMING_NODE_LOCATION_REPORT"},
};
constexpr cmd_row powerlevel_cmds[] = {
    {0x01, "POWERLEVEL_SET"},
    {0x02, "POWERLEVEL_GET"},
    {0x03, "POWERLEVEL_REPORT"},
    {0x04, "POWERLEVEL_TEST_NODE_SET"},
    {0x05, "POWERLEVEL_TEST_NODE_GET"},
    {0x06, "POWERLEVEL_TEST_NODE_REPORT"},
};
constexpr cmd_row prepayment_encapsulation_cmds[] = {
    {0x01, "CMD_ENCAPSULATION"},
};
constexpr cmd_row prepayment_cmds[] = {
    {0x01, "PREPAYMENT_BALANCE_GET"},
    {0x02, "PREPAYMENT_BALANCE_REPORT"},
    {0x03, "PREPAYMENT_SUPPORTED_GET"},
    {0x04, "PREPAYMENT_SUPPORTED_REPORT"},
};
constexpr cmd_row proprietary_cmds[] = {
    {0x01, "PROPRIETARY_SET"},
    {0x02, "PROPRIETARY_GET"},
    {0x03, "PROPRIETARY_REPORT"},
};
constexpr cmd_row protection_cmds[] = {
    {0x01, "PROTECTION_SET"},
    {0x02, "PROTECTION_GET"},
    {0x03, "PROTECTION_REPORT"},
    {0x04, "PROTECTION_SUPPORTED_GET"},
    {0x05, "PROTECTION_SUPPORTED_REPORT"},
    {0x06, "PROTECTION_EC_SET"},
    {0x07, "PROTECTION_EC_GET"},
    {0x08, "PROTECTION_EC_REPORT"},
    {0x09, "PROTECTION_TIMEOUT_SET"},
    {0x0A, "PROTECTION_TIMEOUT_GET"},
    {0x0B, "PROTECTION_TIMEOUT_REPORT"},
};
constexpr cmd_row rate_tbl_config_cmds[] = {
    {0x01, "RATE_TBL_SET"},
    {0x02, "RATE_TBL_REMOVE"},
};
constexpr cmd_row rate_tbl_monitor_cmds[] = {
    {0x01, "RATE_TBL_SUPPORTED_GET"},
    {0x02, "RATE_TBL_SUPPORTED_REPORT"},
    {0x03, "RATE_TBL_GET"},
    {0x04, "RATE_TBL_REPORT"},
    {0x05, "RATE_TBL_ACTIVE_RATE_GET"},
    {0x06, "RATE_TBL_ACTIVE_RATE_REPORT"},
    {0x07, "RATE_TBL_CURRENT_DATA_GET"},
    {0x08, "RATE_TBL_CURRENT_DATA_REPORT"},
    {0x09, "RATE_TBL_HISTORICAL_DATA_GET"},
    {0x0A, "RATE_TBL_HISTORICAL_DATA_REPORT"},
};
constexpr cmd_row remote_association_activate_cmds[] = {
    {0x01, "REMOTE_ASSOCIATION_ACTIVATE"},
};
constexpr cmd_row remote_association_cmds[] = {
    {0x01, "REMOTE_ASSOCIATION_CONFIGURATION_SET"},
    {0x02, "REMOTE_ASSOCIATION_CONFIGURATION_GET"},
    {0x03, "REMOTE_ASSOCIATION_CONFIGURATION_REPORT"},
};
constexpr cmd_row scene_activation_cmds[] = {
    {0x01, "SCENE_ACTIVATION_SET"},
};
constexpr cmd_row scene_actuator_conf_cmds[] = {
    {0x01, "SCENE_ACTUATOR_CONF_SET"},
    {0x02, "SCENE_ACTUATOR_CONF_GET"},
    {0x03, "SCENE_ACTUATOR_CONF_REPORT"},
};
constexpr cmd_row scene_controller_conf_cmds[] = {
    {0x01, "SCENE_CONTROLLER_CONF_SET"},
    {0x02, "SCENE_CONTROLLER_CONF_GET"},
    {0x03, "SCENE_CONTROLLER_CONF_REPORT"},
};
constexpr cmd_row schedule_entry_lock_cmds[] = {
    {0x01, "SCHEDULE_ENTRY_LOCK_ENABLE_SET"},
    {0x02, "SCHEDULE_ENTRY_LOCK_ENABLE_ALL_SET"},
    {0x03, "SCHEDULE_ENTRY_LOCK_WEEK_DAY_SET"},
    {0x04, "SCHEDULE_ENTRY_LOCK_WEEK_DAY_GET"},
    {0x05, "SCHEDULE_ENTRY_LOCK_WEEK_DAY_REPORT"},
    {0x06, "SCHEDULE_ENTRY_LOCK_YEAR_DAY_SET"},
    {0x07, "SCHEDULE_ENTRY_LOCK_YEAR_DAY_GET"},
    {0x08, "SCHEDULE_ENTRY_LOCK_YEAR_DAY_REPORT"},
    {0x09, "SCHEDULE_ENTRY_TYPE_SUPPORTED_GET"},
    {0x0A, "SCHEDULE_ENTRY_TYPE_SUPPORTED_REPORT"},
    {0x0B, "SCHEDULE_ENTRY_LOCK_TIME_OFFSET_GET"},
    {0x0C, "SCHEDULE_ENTRY_LOCK_TIME_OFFSET_REPORT"},
    {0x0D, "SCHEDULE_ENTRY_LOCK_TIME_OFFSET_SET"},
    {0x0E, "SCHEDULE_ENTRY_LOCK_DAILY_REPEATING_GET"},
    {0x0F, "SCHEDULE_ENTRY_LOCK_DAILY_REPEATING_REPORT"},
    {0x10, "SCHEDULE_ENTRY_LOCK_DAILY_REPEATING_SET"},
};
constexpr cmd_row screen_attributes_cmds[] = {
    {0x01, "SCREEN_ATTRIBUTES_GET"},
    {0x02, "SCREEN_ATTRIBUTES_REPORT"},
};
constexpr cmd_row screen_md_cmds[] = {
    {0x01, "SCREEN_MD_GET"},
    {0x02, "SCREEN_MD_REPORT"},
};
constexpr cmd_row security_panel_mode_cmds[] = {
    {0x01, "SECURITY_PANEL_MODE_SUPPORTED_GET"},
    {0x02, "SECURITY_PANEL_MODE_SUPPORTED_REPORT"},
    {0x03, "SECURITY_PANEL_MODE_GET"},
    {0x04, "SECURITY_PANEL_MODE_REPORT"},
    {0x05, "SECURITY_PANEL_MODE_SET"},
};
constexpr cmd_row security_panel_zone_sensor_cmds[] = {
    {0x01, "SECURITY_PANEL_ZONE_SENSOR_INSTALLED_GET"},
    {0x02, "SECURITY_PANEL_ZONE_SENSOR_INSTALLED_REPORT"},
    {0x03, "SECURITY_PANEL_ZONE_SENSOR_TYPE_GET"},
    {0x04, "SECURITY_PANEL_ZONE_SENSOR_TYPE_REPORT"},
    {0x05, "SECURITY_PANEL_ZONE_SENSOR_STATE_GET"},
    {0x06, "SECURITY_PANEL_ZONE_SENSOR_STATE_REPORT"},
};
constexpr cmd_row security_panel_zone_cmds[] = {
    {0x01, "SECURITY_PANEL_ZONE_NUMBER_SUPPORTED_GET"},
    {0x02, "SECURITY_PANEL_ZONE_SUPPORTED_REPORT"},
    {0x03, "SECURITY_PANEL_ZONE_TYPE_GET"},
    {0x04, "SECURITY_PANEL_ZONE_TYPE_REPORT"},
    {0x05, "SECURITY_PANEL_ZONE_STATE_GET"},
    {0x06, "SECURITY_PANEL_ZONE_STATE_REPORT"},
};
constexpr cmd_row security_cmds[] = {
    {0x02, "SECURITY_COMMANDS_SUPPORTED_GET"},
    {0x03, "SECURITY_COMMANDS_SUPPORTED_REPORT"},
    {0x04, "SECURITY_SCHEME_GET"},
    {0x05, "SECURITY_SCHEME_REPORT"},
    {0x06, "NETWORK_KEY_SET"},
    {0x07, "NETWORK_KEY_VERIFY"},
    {0x08, "SECURITY_SCHEME_INHERIT"},
    {0x40, "SECURITY_NONCE_GET"},
    {0x80, "SECURITY_NONCE_REPORT"},
    {0x81, "SECURITY_MESSAGE_ENCAPSULATION"},
    {0xC1, "SECURITY_MESSAGE_ENCAPSULATION_NONCE_GET"},
};
constexpr cmd_row sensor_alarm_cmds[] = {
    {0x01, "SENSOR_ALARM_GET"},
    {0x02, "SENSOR_ALARM_REPORT"},
    {0x03, "SENSOR_ALARM_SUPPORTED_GET"},
    {0x04, "SENSOR_ALARM_SUPPORTED_REPORT"},
};
constexpr cmd_row sensor_binary_cmds[] = {
    {0x01, "SENSOR_BINARY_SUPPORTED_GET_SENSOR"},
    {0x02, "SENSOR_BINARY_GET"},
    {0x03, "SENSOR_BINARY_REPORT"},
    {0x04, "SENSOR_BINARY_SUPPORTED_SENSOR_REPORT"},
};
constexpr cmd_row sensor_configuration_cmds[] = {
    {0x01, "SENSOR_TRIGGER_LEVEL_SET"},
    {0x02, "SENSOR_TRIGGER_LEVEL_GET"},
    {0x03, "SENSOR_TRIGGER_LEVEL_REPORT"},
};
constexpr cmd_row sensor_multilevel_cmds[] = {
    {0x01, "SENSOR_MULTILEVEL_SUPPORTED_GET_SENSOR"},
    {0x02, "SENSOR_MULTILEVEL_SUPPORTED_SENSOR_REPORT"},
    {0x03, "SENSOR_MULTILEVEL_SUPPORTED_GET_SCALE"},
    {0x04, "SENSOR_MULTILEVEL_GET"},
    {0x05, "SENSOR_MULTILEVEL_REPORT"},
    {0x06, "SENSOR_MULTILEVEL_SUPPORTED_SCALE_REPORT"},
};
constexpr cmd_row silence_alarm_cmds[] = {
    {0x01, "SENSOR_ALARM_SET"},
};
constexpr cmd_row simple_av_control_cmds[] = {
    {0x01, "SIMPLE_AV_CONTROL_SET"},
    {0x02, "SIMPLE_AV_CONTROL_GET"},
    {0x03, "SIMPLE_AV_CONTROL_REPORT"},
    {0x04, "SIMPLE_AV_CONTROL_SUPPORTED_GET"},
    {0x05, "SIMPLE_AV_CONTROL_SUPPORTED_REPORT"},
};
constexpr cmd_row switch_all_cmds[] = {
    {0x01, "SWITCH_ALL_SET"},
    {0x02, "SWITCH_ALL_GET"},
    {0x03, "SWITCH_ALL_REPORT"},
    {0x04, "SWITCH_ALL_ON"},
    {0x05, "SWITCH_ALL_OFF"},
};
constexpr cmd_row switch_binary_cmds[] = {
    {0x01, "SWITCH_BINARY_SET"},
    {0x02, "SWITCH_BINARY_GET"},
    {0x03, "SWITCH_BINARY_REPORT"},
};
constexpr cmd_row switch_multilevel_cmds[] = {
    {0x01, "SWITCH_MULTILEVEL_SET"},
    {0x02, "SWITCH_MULTILEVEL_GET"},
    {0x03, "SWITCH_MULTILEVEL_REPORT"},
    {0x04, "SWITCH_MULTILEVEL_START_LEVEL_CHANGE"},
    {0x05, "SWITCH_MULTILEVEL_STOP_LEVEL_CHANGE"},
    {0x06, "SWITCH_MULTILEVEL_SUPPORTED_GET"},
    {0x07, "SWITCH_MULTILEVEL_SUPPORTED_REPORT"},
};
constexpr cmd_row switch_color_cmds[] = {
    {0x01, "SWITCH_COLOR_SUPPORTED_GET"},
    {0x02, "SWITCH_COLOR_SUPPORTED_REPORT"},
    {0x03, "SWITCH_COLOR_GET"},
    {0x04, "SWITCH_COLOR_REPORT"},
    {0x05, "SWITCH_COLOR_SET"},
    {0x06, "SWITCH_COLOR_START_LEVEL_CHANGE"},
    {0x07, "SWITCH_COLOR_STOP_LEVEL_CHANGE"},
};
constexpr cmd_row switch_toggle_binary_cmds[] = {
    {0x01, "SWITCH_TOGGLE_BINARY_SET"},
    {0x02, "SWITCH_TOGGLE_BINARY_GET"},
    {0x03, "SWITCH_TOGGLE_BINARY_REPORT"},
};
constexpr cmd_row switch_toggle_multilevel_cmds[] = {
    {0x01, "SWITCH_TOGGLE_MULTILEVEL_SET"},
    {0x02, "SWITCH_TOGGLE_MULTILEVEL_GET"},
    {0x03, "SWITCH_TOGGLE_MULTILEVEL_REPORT"},
    {0x04, "SWITCH_TOGGLE_MULTILEVEL_START_LEVEL_CHANGE"},
    {0x05, "SWITCH_TOGGLE_MULTILEVEL_STOP_LEVEL_CHANGE"},
};
constexpr cmd_row tariff_config_cmds[] = {
    {0x01, "TARIFF_TBL_SUPPLIER_SET"},
    {0x02, "TARIFF_TBL_SET"},
    {0x03, "TARIFF_TBL_REMOVE"},
};
constexpr cmd_row tariff_tbl_monitor_cmds[] = {
    {0x01, "TARIFF_TBL_SUPPLIER_GET"},
    {0x02, "TARIFF_TBL_SUPPLIER_REPORT"},
    {0x03, "TARIFF_TBL_GET"},
    {0x04, "TARIFF_TBL_REPORT"},
    {0x05, "TARIFF_TBL_COST_GET"},
    {0x06, "TARIFF_TBL_COST_REPORT"},
};
constexpr cmd_row thermostat_fan_mode_cmds[] = {
    {0x01, "THERMOSTAT_FAN_MODE_SET"},
    {0x02, "THERMOSTAT_FAN_MODE_GET"},
    {0x03, "THERMOSTAT_FAN_MODE_REPORT"},
    {0x04, "THERMOSTAT_FAN_MODE_SUPPORTED_GET"},
    {0x05, "THERMOSTAT_FAN_MODE_SUPPORTED_REPORT"},
};
constexpr cmd_row thermostat_fan_state_cmds[] = {
    {0x02, "THERMOSTAT_FAN_STATE_GET"},
    {0x03, "THERMOSTAT_FAN_STATE_REPORT"},
};
constexpr cmd_row thermostat_heating_cmds[] = {
    {0x01, "THERMOSTAT_HEATING_MODE_SET"},
    {0x02, "THERMOSTAT_HEATING_MODE_GET"},
    {0x03, "THERMOSTAT_HEATING_MODE_REPORT"},
    {0x04, "THERMOSTAT_HEATING_SETPOINT_SET"},
    {0x05, "THERMOSTAT_HEATING_SETPOINT_GET"},
    {0x06, "THERMOSTAT_HEATING_SETPOINT_REPORT"},
    {0x09, "THERMOSTAT_HEATING_RELAY_STATUS_GET"},
    {0x0A, "THERMOSTAT_HEATING_RELAY_STATUS_REPORT"},
    {0x0B, "THERMOSTAT_HEATING_STATUS_SET"},
    {0x0C, "THERMOSTAT_HEATING_STATUS_GET"},
    {0x0D, "THERMOSTAT_HEATING_STATUS_REPORT"},
    {0x11, "THERMOSTAT_HEATING_TIMED_OFF_SET"},
};
constexpr cmd_row thermostat_mode_cmds[] = {
    {0x01, "THERMOSTAT_MODE_SET"},
    {0x02, "THERMOSTAT_MODE_GET"},
    {0x03, "THERMOSTAT_MODE_REPORT"},
    {0x04, "THERMOSTAT_MODE_SUPPORTED_GET"},
    {0x05, "THERMOSTAT_MODE_SUPPORTED_REPORT"},
};
constexpr cmd_row thermostat_operating_state_cmds[] = {
    {0x01, "THERMOSTAT_OPERATING_STATE_LOGGING_SUPPORTED_GET"},
    {0x02, "THERMOSTAT_OPERATING_STATE_GET"},
    {0x03, "THERMOSTAT_OPERATING_STATE_REPORT"},
    {0x04, "THERMOSTAT_OPERATING_LOGGING_SUPPORTED_REPORT"},
    {0x05, "THERMOSTAT_OPERATING_STATE_LOGGING_GET"},
    {0x06, "THERMOSTAT_OPERATING_STATE_LOGGING_REPORT"},
};
constexpr cmd_row thermostat_setback_cmds[] = {
    {0x01, "THERMOSTAT_SETBACK_SET"},
    {0x02, "THERMOSTAT_SETBACK_GET"},
    {0x03, "THERMOSTAT_SETBACK_REPORT"},
};
constexpr cmd_row thermostat_setpoint_cmds[] = {
    {0x01, "THERMOSTAT_SETPOINT_SET"},
    {0x02, "THERMOSTAT_SETPOINT_GET"},
    {0x03, "THERMOSTAT_SETPOINT_REPORT"},
    {0x04, "THERMOSTAT_SETPOINT_SUPPORTED_GET"},
    {0x05, "THERMOSTAT_SETPOINT_SUPPORTED_REPORT"},
    {0x09, "THERMOSTAT_SETPOINT_CAPABILITIES_GET"},
    {0x0A, "THERMOSTAT_SETPOINT_CAPABILITIES_REPORT"},
};
constexpr cmd_row time_parameters_cmds[] = {
    {0x01, "TIME_PARAMETERS_SET"},
    {0x02, "TIME_PARAMETERS_GET"},
    {0x03, "TIME_PARAMETERS_REPORT"},
};
constexpr cmd_row time_cmds[] = {
    {0x01, "TIME_GET"},
    {0x02, "TIME_REPORT"},
    {0x03, "DATE_GET"},
    {0x04, "DATE_REPORT"},
    {0x05, "TIME_OFFSET_SET"},
    {0x06, "TIME_OFFSET_GET"},
    {0x07, "TIME_OFFSET_REPORT"},
};
constexpr cmd_row transport_service_cmds[] = {
    {0xC0, "COMMAND_FIRST_SEGMENT"},
    {0xC8, "COMMAND_SEGMENT_REQUEST"},
    {0xE0, "COMMAND_SUBSEQUENT_SEGMENT"},
    {0xE8, "COMMAND_SEGMENT_COMPLETE"},
    {0xF0, "COMMAND_SEGMENT_WAIT"},
};
constexpr cmd_row user_code_cmds[] = {
    {0x01, "USER_CODE_SET"},
    {0x02, "USER_CODE_GET"},
    {0x03, "USER_CODE_REPORT"},
    {0x04, "USERS_NUMBER_GET"},
    {0x05, "USERS_NUMBER_REPORT"},
};
constexpr cmd_row barrier_operator_cmds[] = {
    {0x01, "BARRIER_OPERATOR_SET"},
    {0x02, "BARRIER_OPERATOR_GET"},
    {0x03, "BARRIER_OPERATOR_REPORT"},
    {0x04, "BARRIER_OPERATOR_SIGNAL_SUPPORTED_GET"},
    {0x05, "BARRIER_OPERATOR_SIGNAL_SUPPORTED_REPORT"},
    {0x06, "BARRIER_OPERATOR_SIGNAL_SET"},
    {0x07, "BARRIER_OPERATOR_SIGNAL_GET"},
    {0x08, "BARRIER_OPERATOR_SIGNAL_REPORT"},
};
constexpr cmd_row version_cmds[] = {
    {0x11, "VERSION_GET"},
    {0x12, "VERSION_REPORT"},
    {0x13, "VERSION_COMMAND_CLASS_GET"},
    {0x14, "VERSION_COMMAND_CLASS_REPORT"},
    {0x15, "VERSION_CAPABILITIES_GET"},
    {0x16, "VERSION_CAPABILITIES_REPORT"},
    {0x17, "VERSION_ZWAVE_SOFTWARE_GET"},
    {0x18, "VERSION_ZWAVE_SOFTWARE_REPORT"},
};
constexpr cmd_row wake_up_cmds[] = {
    {0x04, "WAKE_UP_INTERVAL_SET"},
    {0x05, "WAKE_UP_INTERVAL_GET"},
    {0x06, "WAKE_UP_INTERVAL_REPORT"},
    {0x07, "WAKE_UP_NOTIFICATION"},
    {0x08, "WAKE_UP_NO_MORE_INFORMATION"},
    {0x09, "WAKE_UP_INTERVAL_CAPABILITIES_GET"},
    {0x0A, "WAKE_UP_INTERVAL_CAPABILITIES_REPORT"},
};
constexpr cmd_row zip_6lowpan_cmds[] = {
    {0xC0, "LOWPAN_FIRST_FRAGMENT"},
    {0xE0, "LOWPAN_SUBSEQUENT_FRAGMENT"},
};
constexpr cmd_row zip_cmds[] = {
    {0x02, "COMMAND_ZIP_PACKET"},
    {0x03, "COMMAND_ZIP_KEEP_ALIVE"},
};
constexpr cmd_row application_capability_cmds[] = {
    {0x01, "COMMAND_COMMAND_CLASS_NOT_SUPPORTED"},
};
constexpr cmd_row schedule_cmds[] = {
    {0x01, "SCHEDULE_SUPPORTED_GET"},
    {0x02, "SCHEDULE_SUPPORTED_REPORT"},
    {0x03, "COMMAND_SCHEDULE_SET"},
    {0x04, "COMMAND_SCHEDULE_GET"},
    {0x05, "COMMAND_SCHEDULE_REPORT"},
    {0x06, "SCHEDULE_REMOVE"},
    {0x07, "SCHEDULE_STATE_SET"},
    {0x08, "SCHEDULE_STATE_GET"},
    {0x09, "SCHEDULE_STATE_REPORT"},
};
constexpr cmd_row network_management_primary_cmds[] = {
    {0x01, "CONTROLLER_CHANGE"},
    {0x02, "CONTROLLER_CHANGE_STATUS"},
};
constexpr cmd_row zip_nd_cmds[] = {
    {0x01, "ZIP_NODE_ADVERTISEMENT"},
    {0x03, "ZIP_NODE_SOLICITATION"},
    {0x04, "ZIP_INV_NODE_SOLICITATION"},
};
constexpr cmd_row association_grp_info_cmds[] = {
    {0x01, "ASSOCIATION_GROUP_NAME_GET"},
    {0x02, "ASSOCIATION_GROUP_NAME_REPORT"},
    {0x03, "ASSOCIATION_GROUP_INFO_GET"},
    {0x04, "ASSOCIATION_GROUP_INFO_REPORT"},
    {0x05, "ASSOCIATION_GROUP_COMMAND_LIST_GET"},
    {0x06, "ASSOCIATION_GROUP_COMMAND_LIST_REPORT"},
};
constexpr cmd_row device_reset_locally_cmds[] = {
    {0x01, "DEVICE_RESET_LOCALLY_NOTIFICATION"},
};
constexpr cmd_row ip_association_cmds[] = {
    {0x01, "IP_ASSOCIATION_SET"},
    {0x02, "IP_ASSOCIATION_GET"},
    {0x03, "IP_ASSOCIATION_REPORT"},
    {0x04, "IP_ASSOCIATION_REMOVE"},
};
constexpr cmd_row antitheft_cmds[] = {
    {0x01, "ANTITHEFT_SET"},
    {0x02, "ANTITHEFT_GET"},
    {0x03, "ANTITHEFT_REPORT"},
};
constexpr cmd_row zip_gateway_cmds[] = {
    {0x01, "GATEWAY_MODE_SET"},
    {0x02, "GATEWAY_MODE_GET"},
    {0x03, "GATEWAY_MODE_REPORT"},
    {0x04, "GATEWAY_PEER_SET"},
    {0x05, "GATEWAY_PEER_GET"},
    {0x06, "GATEWAY_PEER_REPORT"},
    {0x07, "GATEWAY_LOCK_SET"},
    {0x08, "UNSOLICITED_DESTINATION_SET"},
    {0x09, "UNSOLICITED_DESTINATION_GET"},
    {0x0A, "UNSOLICITED_DESTINATION_REPORT"},
    {0x0B, "COMMAND_APPLICATION_NODE_INFO_SET"},
    {0x0C, "COMMAND_APPLICATION_NODE_INFO_GET"},
    {0x0D, "COMMAND_APPLICATION_NODE_INFO_REPORT"},
};
constexpr cmd_row zip_portal_cmds[] = {
    {0x01, "GATEWAY_CONFIGURATION_SET"},
    {0x02, "GATEWAY_CONFIGURATION_STATUS"},
    {0x03, "GATEWAY_CONFIGURATION_GET"},
    {0x04, "GATEWAY_CONFIGURATION_REPORT"},
};
constexpr cmd_row zwaveplus_info_cmds[] = {
    {0x01, "ZWAVEPLUS_INFO_GET"},
    {0x02, "ZWAVEPLUS_INFO_REPORT"},
};

// Scanned in this order and the first match wins, so the second rows of 0x33
// and 0x5B are never found; they share the first rows' commands.
constexpr cc_row cc_rows[] = {
    {0x71, "COMMAND_CLASS_ALARM", alarm_cmds},
    {0x22, "COMMAND_CLASS_APPLICATION_STATUS", application_status_cmds},
    {0x9B, "COMMAND_CLASS_ASSOCIATION_COMMAND_CONFIGURATION", association_command_configuration_cmds},
    {0x85, "COMMAND_CLASS_ASSOCIATION", association_cmds},
    {0x95, "COMMAND_CLASS_AV_CONTENT_DIRECTORY_MD", av_content_directory_md_cmds},
    {0x97, "COMMAND_CLASS_AV_CONTENT_SEARCH_MD", av_content_search_md_cmds},
    {0x96, "COMMAND_CLASS_AV_RENDERER_STATUS", av_renderer_status_cmds},
    {0x99, "COMMAND_CLASS_AV_TAGGING_MD", av_tagging_md_cmds},
    {0x36, "COMMAND_CLASS_BASIC_TARIFF_INFO", basic_tariff_info_cmds},
    {0x50, "COMMAND_CLASS_BASIC_WINDOW_COVERING", basic_window_covering_cmds},
    {0x20, "COMMAND_CLASS_BASIC", basic_cmds},
    {0x80, "COMMAND_CLASS_BATTERY", battery_cmds},
    {0x5B, "COMMAND_CLASS_CENTRAL_SCENE", central_scene_cmds},
    {0x2A, "COMMAND_CLASS_CHIMNEY_FAN", chimney_fan_cmds},
    {0x46, "COMMAND_CLASS_CLIMATE_CONTROL_SCHEDULE", climate_control_schedule_cmds},
    {0x81, "COMMAND_CLASS_CLOCK", clock_cmds},
    {0x70, "COMMAND_CLASS_CONFIGURATION", configuration_cmds},
    {0x21, "COMMAND_CLASS_CONTROLLER_REPLICATION", controller_replication_cmds},
    {0x56, "COMMAND_CLASS_CRC_16_ENCAP", crc_16_encap_cmds},
    {0x3A, "COMMAND_CLASS_DCP_CONFIG", dcp_config_cmds},
    {0x3B, "COMMAND_CLASS_DCP_MONITOR", dcp_monitor_cmds},
    {0x4C, "COMMAND_CLASS_DOOR_LOCK_LOGGING", door_lock_logging_cmds},
    {0x62, "COMMAND_CLASS_DOOR_LOCK", door_lock_cmds},
    {0x90, "COMMAND_CLASS_ENERGY_PRODUCTION", energy_production_cmds},
    {0x7A, "COMMAND_CLASS_FIRMWARE_UPDATE_MD", firmware_update_md_cmds},
    {0x8C, "COMMAND_CLASS_GEOGRAPHIC_LOCATION", geographic_location_cmds},
    {0x7B, "COMMAND_CLASS_GROUPING_NAME", grouping_name_cmds},
    {0x82, "COMMAND_CLASS_HAIL", hail_cmds},
    {0x39, "COMMAND_CLASS_HRV_CONTROL", hrv_control_cmds},
    {0x37, "COMMAND_CLASS_HRV_STATUS", hrv_status_cmds},
    {0x87, "COMMAND_CLASS_INDICATOR", indicator_cmds},
    {0x9A, "COMMAND_CLASS_IP_CONFIGURATION", ip_configuration_cmds},
    {0x89, "COMMAND_CLASS_LANGUAGE", language_cmds},
    {0x76, "COMMAND_CLASS_LOCK", lock_cmds},
    {0x91, "COMMAND_CLASS_MANUFACTURER_PROPRIETARY", {}},
    {0x72, "COMMAND_CLASS_MANUFACTURER_SPECIFIC", manufacturer_specific_cmds},
    {0xEF, "COMMAND_CLASS_MARK", {}},
    {0x35, "COMMAND_CLASS_METER_PULSE", meter_pulse_cmds},
    {0x3C, "COMMAND_CLASS_METER_TBL_CONFIG", meter_tbl_config_cmds},
    {0x3D, "COMMAND_CLASS_METER_TBL_MONITOR", meter_tbl_monitor_cmds},
    {0x3E, "COMMAND_CLASS_METER_TBL_PUSH", meter_tbl_push_cmds},
    {0x32, "COMMAND_CLASS_METER", meter_cmds},
    {0x51, "COMMAND_CLASS_MTP_WINDOW_COVERING", mtp_window_covering_cmds},
    {0x8E, "COMMAND_CLASS_MULTI_CHANNEL_ASSOCIATION", multi_channel_association_cmds},
    {0x60, "COMMAND_CLASS_MULTI_CHANNEL", multi_channel_cmds},
    {0x8F, "COMMAND_CLASS_MULTI_CMD", multi_cmd_cmds},
    {0x52, "COMMAND_CLASS_NETWORK_MANAGEMENT_PROXY", network_management_proxy_cmds},
    {0x4D, "COMMAND_CLASS_NETWORK_MANAGEMENT_BASIC", network_management_basic_cmds},
    {0x34, "COMMAND_CLASS_NETWORK_MANAGEMENT_INCLUSION", network_management_inclusion_cmds},
    {0x00, "COMMAND_CLASS_NO_OPERATION", {}},
    {0x77, "COMMAND_CLASS_NODE_NAMING", node_naming_cmds},
    {0xF0, "COMMAND_CLASS_NON_INTEROPERABLE", {}},
    {0x73, "COMMAND_CLASS_POWERLEVEL", powerlevel_cmds},
    {0x41, "COMMAND_CLASS_PREPAYMENT_ENCAPSULATION", prepayment_encapsulation_cmds},
    {0x3F, "COMMAND_CLASS_PREPAYMENT", prepayment_cmds},
    {0x88, "COMMAND_CLASS_PROPRIETARY", proprietary_cmds},
    {0x75, "COMMAND_CLASS_PROTECTION", protection_cmds},
    {0x48, "COMMAND_CLASS_RATE_TBL_CONFIG", rate_tbl_config_cmds},
    {0x49, "COMMAND_CLASS_RATE_TBL_MONITOR", rate_tbl_monitor_cmds},
    {0x7C, "COMMAND_CLASS_REMOTE_ASSOCIATION_ACTIVATE", remote_association_activate_cmds},
    {0x7D, "COMMAND_CLASS_REMOTE_ASSOCIATION", remote_association_cmds},
    {0x2B, "COMMAND_CLASS_SCENE_ACTIVATION", scene_activation_cmds},
    {0x2C, "COMMAND_CLASS_SCENE_ACTUATOR_CONF", scene_actuator_conf_cmds},
    {0x2D, "COMMAND_CLASS_SCENE_CONTROLLER_CONF", scene_controller_conf_cmds},
    {0x4E, "COMMAND_CLASS_SCHEDULE_ENTRY_LOCK", schedule_entry_lock_cmds},
    {0x93, "COMMAND_CLASS_SCREEN_ATTRIBUTES", screen_attributes_cmds},
    {0x92, "COMMAND_CLASS_SCREEN_MD", screen_md_cmds},
    {0x24, "COMMAND_CLASS_SECURITY_PANEL_MODE", security_panel_mode_cmds},
    {0x2F, "COMMAND_CLASS_SECURITY_PANEL_ZONE_SENSOR", security_panel_zone_sensor_cmds},
    {0x2E, "COMMAND_CLASS_SECURITY_PANEL_ZONE", security_panel_zone_cmds},
    {0x98, "COMMAND_CLASS_SECURITY", security_cmds},
    {0x9C, "COMMAND_CLASS_SENSOR_ALARM", sensor_alarm_cmds},
    {0x30, "COMMAND_CLASS_SENSOR_BINARY", sensor_binary_cmds},
    {0x9E, "COMMAND_CLASS_SENSOR_CONFIGURATION", sensor_configuration_cmds},
    {0x31, "COMMAND_CLASS_SENSOR_MULTILEVEL", sensor_multilevel_cmds},
    {0x9D, "COMMAND_CLASS_SILENCE_ALARM", silence_alarm_cmds},
    {0x94, "COMMAND_CLASS_SIMPLE_AV_CONTROL", simple_av_control_cmds},
    {0x27, "COMMAND_CLASS_SWITCH_ALL", switch_all_cmds},
    {0x25, "COMMAND_CLASS_SWITCH_BINARY", switch_binary_cmds},
    {0x26, "COMMAND_CLASS_SWITCH_MULTILEVEL", switch_multilevel_cmds},
    {0x33, "COMMAND_CLASS_SWITCH_COLOR", switch_color_cmds},
    {0x28, "COMMAND_CLASS_SWITCH_TOGGLE_BINARY", switch_toggle_binary_cmds},
    {0x29, "COMMAND_CLASS_SWITCH_TOGGLE_MULTILEVEL", switch_toggle_multilevel_cmds},
    {0x4A, "COMMAND_CLASS_TARIFF_CONFIG", tariff_config_cmds},
    {0x4B, "COMMAND_CLASS_TARIFF_TBL_MONITOR", tariff_tbl_monitor_cmds},
    {0x44, "COMMAND_CLASS_THERMOSTAT_FAN_MODE", thermostat_fan_mode_cmds},
    {0x45, "COMMAND_CLASS_THERMOSTAT_FAN_STATE", thermostat_fan_state_cmds},
    {0x38, "COMMAND_CLASS_THERMOSTAT_HEATING", thermostat_heating_cmds},
    {0x40, "COMMAND_CLASS_THERMOSTAT_MODE", thermostat_mode_cmds},
    {0x42, "COMMAND_CLASS_THERMOSTAT_OPERATING_STATE", thermostat_operating_state_cmds},
    {0x47, "COMMAND_CLASS_THERMOSTAT_SETBACK", thermostat_setback_cmds},
    {0x43, "COMMAND_CLASS_THERMOSTAT_SETPOINT", thermostat_setpoint_cmds},
    {0x8B, "COMMAND_CLASS_TIME_PARAMETERS", time_parameters_cmds},
    {0x8A, "COMMAND_CLASS_TIME", time_cmds},
    {0x55, "COMMAND_CLASS_TRANSPORT_SERVICE", transport_service_cmds},
    {0x63, "COMMAND_CLASS_USER_CODE", user_code_cmds},
    {0x66, "COMMAND_CLASS_BARRIER_OPERATOR", barrier_operator_cmds},
    {0x86, "COMMAND_CLASS_VERSION", version_cmds},
    {0x84, "COMMAND_CLASS_WAKE_UP", wake_up_cmds},
    {0x4F, "COMMAND_CLASS_ZIP_6LOWPAN", zip_6lowpan_cmds},
    {0x23, "COMMAND_CLASS_ZIP", zip_cmds},
    {0x57, "COMMAND_CLASS_APPLICATION_CAPABILITY", application_capability_cmds},
    {0x33, "COMMAND_CLASS_SWITCH_COLOR", switch_color_cmds},
    {0x53, "COMMAND_CLASS_SCHEDULE", schedule_cmds},
    {0x54, "COMMAND_CLASS_NETWORK_MANAGEMENT_PRIMARY", network_management_primary_cmds},
    {0x58, "COMMAND_CLASS_ZIP_ND", zip_nd_cmds},
    {0x59, "COMMAND_CLASS_ASSOCIATION_GRP_INFO", association_grp_info_cmds},
    {0x5A, "COMMAND_CLASS_DEVICE_RESET_LOCALLY", device_reset_locally_cmds},
    {0x5B, "COMMAND_CLASS_CENTRAL_SCENE", central_scene_cmds},
    {0x5C, "COMMAND_CLASS_IP_ASSOCIATION", ip_association_cmds},
    {0x5D, "COMMAND_CLASS_ANTITHEFT", antitheft_cmds},
    {0x5F, "COMMAND_CLASS_ZIP_GATEWAY", zip_gateway_cmds},
    {0x61, "COMMAND_CLASS_ZIP_PORTAL", zip_portal_cmds},
    {0x5E, "COMMAND_CLASS_ZWAVEPLUS_INFO", zwaveplus_info_cmds},
};

// A command list ends at id 0 or after 256 entries, so id 0 can never name a
// command and no list may be longer.
constexpr size_t max_cmds_per_class = 256;

constexpr bool cc_rows_well_formed()
{
    for (const cc_row &row : cc_rows) {
        if (!std::string_view(row.name).starts_with("COMMAND_CLASS_"))
            return false;
        if (row.cmds.size() > max_cmds_per_class)
            return false;
        int previous = 0; // ids ascend from 1: no id 0, no id twice
        for (const cmd_row &cmd : row.cmds) {
            if (cmd.id <= previous || cmd.name == nullptr || cmd.name[0] == '\0')
                return false;
            previous = cmd.id;
        }
    }
    return true;
}

// A class appears once, except the two known repeats, which must repeat the
// first row exactly so that which one is found cannot matter.
constexpr bool cc_rows_unique()
{
    constexpr size_t count = std::size(cc_rows);
    for (size_t i = 0; i < count; ++i)
        for (size_t j = i + 1; j < count; ++j) {
            if (cc_rows[i].cls != cc_rows[j].cls)
                continue;
            if (cc_rows[i].cls != 0x33 && cc_rows[i].cls != 0x5B)
                return false;
            if (std::string_view(cc_rows[i].name) != cc_rows[j].name ||
                cc_rows[i].cmds.data() != cc_rows[j].cmds.data())
                return false;
        }
    return true;
}

static_assert(std::size(cc_rows) == 114);
static_assert(cc_rows_well_formed(), "class names need their prefix; command ids must ascend from 1");
static_assert(cc_rows_unique(), "a command class may appear only once (0x33 and 0x5B excepted)");

constexpr uint16_t cc_multi_channel = 0x60;
constexpr uint16_t cc_multi_channel_association = 0x8E;

const cc_row *find_cc(uint16_t cls)
{
    for (const cc_row &row : cc_rows)
        if (row.cls == cls)
            return &row;
    return nullptr;
}

} // namespace

const char *zwp_err_str(int status)
{
    for (const status_row &row : status_rows)
        if (row.code == status)
            return row.text;
    return unknown;
}

const char *zwp_net_op_str(int op)
{
    for (const op_row &row : op_rows)
        if (row.op == op)
            return row.name;
    return unknown;
}

const char *zwp_net_op_sts_str(int status)
{
    if (status == op_status_done)
        return "Done";
    if (status == op_status_failed)
        return "Failed";
    return unknown;
}

const char *zwp_net_op_sub_sts_str(int op, int status)
{
    for (const progress_row &row : progress_rows)
        if (row.op == op && row.status == status)
            return row.text;
    return unknown;
}

const char *zwp_key_bits_str(unsigned bits, char *buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return "";
    size_t used = 0;
    buffer[0] = '\0';
    for (const key_bit_row &row : key_bit_rows) {
        if ((bits & row.bit) == 0)
            continue;
        for (const char *part : {used > 0 ? "," : "", row.name}) {
            size_t length = std::strlen(part);
            size_t room = size - 1 - used;
            size_t take = length < room ? length : room;
            std::memcpy(buffer + used, part, take);
            used += take;
            buffer[used] = '\0';
            if (take < length)
                return buffer;
        }
    }
    return buffer;
}

const char *zwp_cc_name_get(uint16_t cls, uint8_t version)
{
    // These two classes were renamed in version 2; a version-1 interface is
    // still the old "multi instance" one.
    if (cls == cc_multi_channel_association)
        return version < 2 ? "COMMAND_CLASS_MULTI_INSTANCE_ASSOCIATION"
                           : "COMMAND_CLASS_MULTI_CHANNEL_ASSOCIATION";
    if (cls == cc_multi_channel)
        return version < 2 ? "COMMAND_CLASS_MULTI_INSTANCE" : "COMMAND_CLASS_MULTI_CHANNEL";
    const cc_row *row = find_cc(cls);
    return row != nullptr ? row->name : unknown;
}

const char *zwp_cmd_name_get(uint16_t cls, uint8_t cmd)
{
    const cc_row *row = find_cc(cls);
    if (row == nullptr || cmd == 0)
        return unknown;
    for (const cmd_row &entry : row->cmds)
        if (entry.id == cmd)
            return entry.name;
    return unknown;
}
