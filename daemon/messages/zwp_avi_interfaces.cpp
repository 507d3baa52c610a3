#include "daemon/messages/zwp_avi_interfaces.h"

#include "daemon/messages/zwp_avi_if_basic.h"
#include "daemon/messages/zwp_avi_if_meter.h"
#include "daemon/messages/zwp_avi_if_sensor.h"
#include "daemon/messages/zwp_avi_if_shape.h"
#include "daemon/messages/zwp_avi_if_switch_color.h"
#include "daemon/messages/zwp_avi_if_switch_multilevel.h"
#include "daemon/zwp_desc.h"
#include "daemon/zwp_text.h"

namespace {

// Module order of the registry; the families still to come take their
// places between these.
constexpr int (*k_module_inits[])(zwu_array_list_t) = {
    zwp_avi_interfaces_basic_init,
    zwp_avi_interfaces_battery_init,
    zwp_avi_interfaces_meter_init,
    zwp_avi_interfaces_sensor_binary_init,
    zwp_avi_interfaces_sensor_multilevel_init,
    zwp_avi_interfaces_switch_binary_init,
    zwp_avi_interfaces_switch_multilevel_init,
    zwp_avi_interfaces_switch_color_init,
};

const zwp_avi_message_interfaces *message_at(zwu_array_list_t list, int i)
{
    return static_cast<const zwp_avi_message_interfaces *>(zwu_array_list_get(list, i));
}

// The module's state, made once per interface and listed on the board for
// the module's report callbacks. Every module makes its state through the
// shape (zwp_if::state_create), so the tree's pointer is a state_ref.
int state_attach(const zwp_avi_message_interfaces &message, const zwif_desc_t *intf, apr_pool_t *pool)
{
    if (zwp_desc_state_get(intf)) {
        ZWS_LOG_ERROR("Interface level state already exists!");
        return 0;
    }
    if (zwp_desc_if_state_attach(intf, message.state_create, message.state_destroy, pool) != 0)
        return 22;
    if (const auto *ref = static_cast<const zwp_if::state_ref *>(zwp_desc_state_get(intf)))
        zwp_if::board_add(intf, ref->state);
    return 0;
}

} // namespace

int zwp_avi_interfaces_register(zwu_array_list_t list)
{
    for (auto init : k_module_inits) {
        if (init(list) != 0)
            return 22;
    }
    return 0;
}

int zwp_avi_interface_states_init(zwu_array_list_t list, const zwif_desc_t *intf, apr_pool_t *pool)
{
    if (!list || !intf)
        return 22;
    const int count = zwu_array_list_size(list);
    for (int i = 0; i < count; i++) {
        const zwp_avi_message_interfaces &message = *message_at(list, i);
        if (message.command_class != intf->cls)
            continue;
        if (message.state_create && state_attach(message, intf, pool) != 0)
            return 22;
        if (!message.setup_handler)
            continue;
        uint32_t status = 0;
        if (message.setup_handler(intf, &status) != 0 || status > 1) {
            ZWS_LOG_ERROR("Setup of '%s' failed with '%s'", message.avro_message_name,
                          zwp_err_str(static_cast<int>(static_cast<int32_t>(status))));
            zwp_desc_if_state_detach(intf);
        }
        return 0;
    }
    return 0;
}

const zwp_avi_layer_t *zwp_avi_messages_layer()
{
    static constexpr zwp_avi_layer_t layer{zwp_avi_interfaces_register, zwp_avi_interface_states_init};
    return &layer;
}
