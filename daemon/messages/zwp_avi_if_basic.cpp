#include "daemon/messages/zwp_avi_if_basic.h"

#include "daemon/messages/zwp_avi_if_value.h"
#include "daemon/zwp_scene_hook.h"

namespace {

using namespace zwp_if;

// One state per module: the value and its report kind.
template <uint16_t Cls> struct value_state : state_base {
    static constexpr char tag = 0;
    static constexpr const char *state_error = Cls == 0x80 ? "Failed to get level" : "Failed to get state";
    value_state() : state_base(&tag) {}
    single<value_record> value;
};
using basic_state = value_state<0x20>;
using switch_state = value_state<0x25>;
using battery_state = value_state<0x80>;

constexpr out_field<value_record> k_value_reply[] = {{"utime", &value_record::utime}, {"value", &value_record::value}};
constexpr out_field<value_record> k_level_reply[] = {{"utime", &value_record::utime}, {"level", &value_record::value}};

// Through the scene hooks where the scene library also hears the value.
int basic_rpt(const zwif_desc_t *intf) { return zwp_hook_basic_rpt_set(intf, zwp_avi_interfaces_basic_report_cb); }
int switch_rpt(const zwif_desc_t *intf)
{
    return zwp_hook_switch_rpt_set(intf, zwp_avi_interfaces_switch_binary_report_cb);
}
int battery_rpt(const zwif_desc_t *intf) { return zwif_batt_rpt_set(intf, zwp_avi_interfaces_battery_report_cb); }

int basic_get(const zwif_desc_t *intf, void *) { return zwif_basic_get(intf, get_cached_and_live); }
int switch_get(const zwif_desc_t *intf, void *) { return zwif_switch_get(intf, get_cached_and_live); }
int battery_get(const zwif_desc_t *intf, void *) { return zwif_batt_get(intf, get_cached_and_live); }
int basic_set(const zwif_desc_t *intf, void *a)
{
    return zwif_basic_set(intf, static_cast<uint8_t>(args_of<value_args>(a).value));
}
int switch_set(const zwif_desc_t *intf, void *a)
{
    return zwif_switch_set(intf, static_cast<uint8_t>(args_of<value_args>(a).value));
}

template <typename State, report_set_fn Rpt, call_fn Get, const auto &Reply>
constexpr message_row value_get(const char *name, uint64_t cls)
{
    message_row row = single_get<State, &State::value, Get, Reply>(name, cls);
    row.setup = setup<Rpt>;
    return row;
}

constexpr zwp_avi_message_interfaces k_basic[] = {
    descriptor<basic_state>(value_get<basic_state, basic_rpt, basic_get, k_value_reply>("interface_basic_get", 0x20),
                            true),
    descriptor<basic_state>(args_set<value_args, value_set_fields, basic_set>("interface_basic_set", 0x20), false),
};
constexpr zwp_avi_message_interfaces k_battery[] = {
    descriptor<battery_state>(
        value_get<battery_state, battery_rpt, battery_get, k_level_reply>("interface_battery_get", 0x80), true),
};
constexpr zwp_avi_message_interfaces k_switch_binary[] = {
    descriptor<switch_state>(
        value_get<switch_state, switch_rpt, switch_get, k_value_reply>("interface_switch_binary_get", 0x25), true),
    descriptor<switch_state>(
        args_set<value_args, value_set_fields, switch_set>("interface_switch_binary_set", 0x25), false),
};

} // namespace

int zwp_avi_interfaces_basic_init(zwu_array_list_t list) { return messages_register(list, k_basic); }
int zwp_avi_interfaces_battery_init(zwu_array_list_t list) { return messages_register(list, k_battery); }
int zwp_avi_interfaces_switch_binary_init(zwu_array_list_t list) { return messages_register(list, k_switch_binary); }

void zwp_avi_interfaces_basic_report_cb(zwif_desc_t *intf, uint8_t value, time_t ts)
{
    value_report<basic_state, &basic_state::value>(intf, value, ts);
}
void zwp_avi_interfaces_switch_binary_report_cb(zwif_desc_t *intf, uint8_t value, time_t ts)
{
    value_report<switch_state, &switch_state::value>(intf, value, ts);
}
void zwp_avi_interfaces_battery_report_cb(zwif_desc_t *intf, uint8_t level, time_t ts)
{
    value_report<battery_state, &battery_state::value>(intf, level, ts);
}
