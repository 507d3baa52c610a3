#include "daemon/zwp_avi_if.h"

#include "avi/zw_avro.h"
#include "daemon/zwp_desc.h"
#include "daemon/zwp_log.h"
#include "daemon/zwp_net.h"
#include "daemon/zwp_scene_hook.h"
#include "daemon/zwp_text.h"
#include "hcapi/include/zwif.h"
#include "util/zwu_number.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace
{

// ---------------------------------------------------------------------------
// The shape every module shares
// ---------------------------------------------------------------------------

// Reports are numbered across all states: a get remembers the number at its
// call and is done once its state holds a later one. A rebuilt tree's fresh
// state starts below every number handed out, so a get that survived the
// rebuild keeps waiting for a report that really came after its call.
std::atomic<uint64_t> g_report_stamp{0};

// Call slot and report check of one request run one after the other on the
// same worker thread, and a get has no argument record to carry its number.
thread_local uint64_t t_call_stamp = 0;

// The head of every module's state. `module` is the module's tag: states
// of other modules are never read as this one's.
struct report_state {
    const void *module;
    int32_t flag; // -1 while a call waits for its report, 0 after one
    zwu_cond_t *cond;
    uint64_t stamp; // number of the last report, 0 before any
};

template <typename State> State *state_of(const zwif_desc_t *intf, const char *error)
{
    auto *state = static_cast<State *>(zwp_desc_state_get(intf));
    if (!state || state->head.module != &State::tag) {
        ZWS_LOG_ERROR("%s", error);
        return nullptr;
    }
    return state;
}

template <typename State> int state_create(void **out, apr_pool_t *pool)
{
    auto *state = new (std::nothrow) State{};
    if (!state) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    if (zwu_cond_create(&state->head.cond, pool) != 0) {
        ZWS_LOG_ERROR("Failed to create condvar for report received event");
        delete state;
        return 22;
    }
    state->head.module = &State::tag;
    *out = state;
    return 0;
}

// Wakes whoever still waits on the state before it goes: they find their
// interface again and meet the new tree, or none.
template <typename State> void state_destroy(void *opaque)
{
    auto *state = static_cast<State *>(opaque);
    if (!state)
        return;
    zwp_if_report_signal(&state->head.flag, state->head.cond);
    zwu_cond_destroy(state->head.cond);
    delete state;
}

void call_begin(report_state *head)
{
    zwp_if_report_reset(&head->flag);
    t_call_stamp = g_report_stamp.load();
}

int report_check(report_state *head, zwu_cond_t **cond)
{
    *cond = head->cond;
    return head->stamp > t_call_stamp ? 0 : 22;
}

void report_signal(report_state *head)
{
    head->stamp = ++g_report_stamp;
    zwp_if_report_signal(&head->flag, head->cond);
}

// Runs fn on the tree's state of the reporting interface, under the
// descriptor lock; a report for an interface the tree no longer has is
// dropped.
template <typename State, typename Fn> void with_reported_state(zwif_desc_t *intf, const char *error, Fn fn)
{
    const zwif_desc_t *found = nullptr;
    if (zwp_net_if_lock_find(intf, &found) != 0)
        return;
    if (State *state = state_of<State>(found, error)) {
        fn(*state);
        report_signal(&state->head);
    }
    zwp_net_if_unlock(intf);
}

// ---------------------------------------------------------------------------
// Value modules: one 8-bit value and its time (basic, switch binary,
// battery)
// ---------------------------------------------------------------------------

enum class value_module : uint8_t { basic, switch_binary, battery };

struct value_module_spec {
    uint8_t cls;
    const char *get_name;
    const char *set_name; // null: the module has no set
    const char *value_field;
    const char *state_error;
    int (*get)(const zwif_desc_t *intf, uint32_t flags);
    int (*set)(const zwif_desc_t *intf, uint8_t value);
    // Registers the module's report callback with the library.
    int (*report_set)(const zwif_desc_t *intf, zwrep_ts_fn cb);
    zwrep_ts_fn report_cb;
};

// Flags of a get: post the cached report (bit 0), then ask the device (bit 1).
constexpr uint32_t get_cached_and_live = 3;

constexpr value_module_spec value_modules[] = {
    {0x20, "interface_basic_get", "interface_basic_set", "value", "Failed to get state", zwif_basic_get,
     zwif_basic_set, zwp_hook_basic_rpt_set, zwp_avi_interfaces_basic_report_cb},
    {0x25, "interface_switch_binary_get", "interface_switch_binary_set", "value", "Failed to get state",
     zwif_switch_get, zwif_switch_set, zwp_hook_switch_rpt_set, zwp_avi_interfaces_switch_binary_report_cb},
    {0x80, "interface_battery_get", nullptr, "level", "Failed to get level", zwif_batt_get, nullptr,
     zwif_batt_rpt_set, zwp_avi_interfaces_battery_report_cb},
};
static_assert(value_modules[static_cast<int>(value_module::basic)].cls == 0x20);
static_assert(value_modules[static_cast<int>(value_module::switch_binary)].cls == 0x25);
static_assert(value_modules[static_cast<int>(value_module::battery)].cls == 0x80);

template <value_module M> struct value_state {
    static constexpr const value_module_spec &spec = value_modules[static_cast<int>(M)];
    static constexpr char tag = 0;
    report_state head;
    uint64_t utime;
    uint8_t value;
};

template <value_module M> int value_setup(const zwif_desc_t *intf, uint32_t *status)
{
    constexpr const value_module_spec &spec = value_state<M>::spec;
    const int result = spec.report_set(intf, spec.report_cb);
    *status = result < 0 ? static_cast<uint32_t>(result) : 0;
    return 0;
}

int value_set_argument(avro_value_t *parameter, void **out)
{
    auto *request = static_cast<uint8_t *>(std::calloc(1, 1));
    if (!request) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    int32_t value = 0;
    if (zw_avro_field_get_int(parameter, "value", &value) != 0) {
        std::free(request);
        return 22;
    }
    if (zwu_number_is_uint8(value) != 0) {
        ZWS_LOG_ERROR("Invalid value: %d", value);
        std::free(request);
        return 22;
    }
    *request = static_cast<uint8_t>(value);
    *out = request;
    return 0;
}

template <value_module M> int value_set_call(const zwif_desc_t *intf, void *arguments, uint32_t *status)
{
    if (!arguments)
        return 22;
    *status = static_cast<uint32_t>(value_state<M>::spec.set(intf, *static_cast<uint8_t *>(arguments)));
    return 0;
}

template <value_module M> int value_get_call(const zwif_desc_t *intf, void *, uint32_t *status)
{
    auto *state = state_of<value_state<M>>(intf, value_state<M>::spec.state_error);
    if (!state)
        return 22;
    call_begin(&state->head);
    *status = static_cast<uint32_t>(value_state<M>::spec.get(intf, get_cached_and_live));
    return 0;
}

template <value_module M> int value_report_wait(const zwif_desc_t *intf, void *, zwu_cond_t **cond)
{
    auto *state = state_of<value_state<M>>(intf, value_state<M>::spec.state_error);
    return state ? report_check(&state->head, cond) : 22;
}

template <value_module M> int value_result_get(const zwif_desc_t *intf, void *, void **out)
{
    auto *state = state_of<value_state<M>>(intf, value_state<M>::spec.state_error);
    if (!state)
        return 22;
    auto *result = static_cast<zwp_avi_if_value_result_t *>(std::calloc(1, sizeof(zwp_avi_if_value_result_t)));
    if (!result) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    result->utime = state->utime;
    result->value = state->value;
    *out = result;
    return 0;
}

template <value_module M> int value_result_handler(void *results, avro_value_t *parameter)
{
    const auto *result = static_cast<const zwp_avi_if_value_result_t *>(results);
    if (!result || zw_avro_field_set_long(parameter, "utime", static_cast<int64_t>(result->utime)) != 0 ||
        zw_avro_field_set_int(parameter, value_state<M>::spec.value_field, result->value) != 0)
        return 22;
    return 0;
}

template <value_module M> void value_report(zwif_desc_t *intf, uint8_t value, time_t ts)
{
    with_reported_state<value_state<M>>(intf, value_state<M>::spec.state_error, [&](value_state<M> &state) {
        // An empty cache reports time 0: it ends the wait, the stored value stays.
        if (ts == 0)
            return;
        state.value = value;
        state.utime = static_cast<uint64_t>(ts);
    });
}

void plain_free(void *record) { std::free(record); }

template <value_module M> constexpr zwp_avi_message_interfaces value_get_descriptor()
{
    using S = value_state<M>;
    return {S::spec.get_name,     S::spec.cls,         value_setup<M>,          state_create<S>,
            state_destroy<S>,     nullptr,             nullptr,                 value_report_wait<M>,
            value_get_call<M>,    value_result_get<M>, value_result_handler<M>, plain_free};
}

template <value_module M> constexpr zwp_avi_message_interfaces value_set_descriptor()
{
    using S = value_state<M>;
    return {S::spec.set_name, S::spec.cls, nullptr, nullptr, nullptr, value_set_argument, plain_free,
            nullptr,          value_set_call<M>, nullptr, nullptr, nullptr};
}

constexpr zwp_avi_message_interfaces basic_messages[] = {value_get_descriptor<value_module::basic>(),
                                                         value_set_descriptor<value_module::basic>()};
constexpr zwp_avi_message_interfaces battery_messages[] = {value_get_descriptor<value_module::battery>()};
constexpr zwp_avi_message_interfaces switch_binary_messages[] = {
    value_get_descriptor<value_module::switch_binary>(), value_set_descriptor<value_module::switch_binary>()};

template <size_t N> int messages_register(zwu_array_list_t list, const zwp_avi_message_interfaces (&messages)[N])
{
    for (const zwp_avi_message_interfaces &message : messages) {
        if (zwp_avi_interface_message_register(list, &message) != 0)
            return 22;
    }
    return 0;
}

// Module order of the registry; the families still to come take their
// places between these.
constexpr int (*module_inits[])(zwu_array_list_t) = {
    zwp_avi_interfaces_basic_init,
    zwp_avi_interfaces_battery_init,
    zwp_avi_interfaces_switch_binary_init,
};

} // namespace

int zwp_avi_interfaces_basic_init(zwu_array_list_t list) { return messages_register(list, basic_messages); }
int zwp_avi_interfaces_battery_init(zwu_array_list_t list) { return messages_register(list, battery_messages); }
int zwp_avi_interfaces_switch_binary_init(zwu_array_list_t list)
{
    return messages_register(list, switch_binary_messages);
}

int zwp_avi_interfaces_register(zwu_array_list_t list)
{
    for (auto init : module_inits) {
        if (init(list) != 0)
            return 22;
    }
    return 0;
}

void zwp_avi_interfaces_basic_report_cb(zwif_desc_t *intf, uint8_t value, time_t ts)
{
    value_report<value_module::basic>(intf, value, ts);
}
void zwp_avi_interfaces_switch_binary_report_cb(zwif_desc_t *intf, uint8_t value, time_t ts)
{
    value_report<value_module::switch_binary>(intf, value, ts);
}
void zwp_avi_interfaces_battery_report_cb(zwif_desc_t *intf, uint8_t level, time_t ts)
{
    value_report<value_module::battery>(intf, level, ts);
}

int zwp_avi_interface_states_init(zwu_array_list_t list, const zwif_desc_t *intf, apr_pool_t *pool)
{
    if (!list || !intf)
        return 22;
    const int count = zwu_array_list_size(list);
    for (int i = 0; i < count; i++) {
        const auto *message = static_cast<const zwp_avi_message_interfaces *>(zwu_array_list_get(list, i));
        if (message->command_class != intf->cls)
            continue;
        if (message->state_create) {
            if (zwp_desc_state_get(intf))
                ZWS_LOG_ERROR("Interface level state already exists!");
            else if (zwp_desc_if_state_attach(intf, message->state_create, message->state_destroy, pool) != 0)
                return 22;
        }
        if (!message->setup_handler)
            continue;
        uint32_t status = 0;
        if (message->setup_handler(intf, &status) != 0)
            return 22;
        if (status > 1) {
            ZWS_LOG_ERROR("Setup of '%s' failed with '%s'", message->avro_message_name,
                          zwp_err_str(static_cast<int>(static_cast<int32_t>(status))));
            return 22;
        }
        return 0;
    }
    return 0;
}
