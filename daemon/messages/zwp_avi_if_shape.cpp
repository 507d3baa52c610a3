#include "daemon/messages/zwp_avi_if_shape.h"

#include "avi/zw_avro.h"
#include "daemon/zwp_net.h"
#include "hcapi/include/zwnet.h"
#include "util/zwu_number.h"

#include <atomic>
#include <map>
#include <tuple>

namespace zwp_if {

namespace {

// A report number below every one handed out so far stays below the
// numbers of later reports, so a get that survives a rebuilt tree keeps
// waiting for a report that really came after its call.
std::atomic<uint64_t> g_stamp{0};
thread_local uint64_t t_call_stamp = 0;

using board_key = std::tuple<zwnet_p, uint8_t, uint8_t, uint16_t>;

board_key key_of(const zwif_desc_t *intf) { return {intf->net, intf->nodeid, intf->epid, intf->cls}; }

struct board {
    std::mutex lock;
    std::map<board_key, std::shared_ptr<state_base>> states;
    std::map<const state_base *, board_key> keys;
};

board &the_board()
{
    static board b;
    return b;
}

} // namespace

uint64_t stamp_next() { return ++g_stamp; }
uint64_t call_stamp() { return t_call_stamp; }
void call_begin() { t_call_stamp = g_stamp.load(); }

void board_add(const zwif_desc_t *intf, const std::shared_ptr<state_base> &state)
{
    if (!intf || !state)
        return;
    board &b = the_board();
    const board_key key = key_of(intf);
    std::lock_guard<std::mutex> guard(b.lock);
    try {
        // A rebuilt tree lists its new state before the old tree goes.
        if (auto old = b.states.find(key); old != b.states.end())
            b.keys.erase(old->second.get());
        b.states[key] = state;
        b.keys[state.get()] = key;
    } catch (const std::bad_alloc &) {
        ZWS_LOG_ERROR("Failed to allocate memory");
    }
}

void board_remove(const state_base *state)
{
    board &b = the_board();
    std::lock_guard<std::mutex> guard(b.lock);
    const auto key = b.keys.find(state);
    if (key == b.keys.end())
        return;
    const auto entry = b.states.find(key->second);
    if (entry != b.states.end() && entry->second.get() == state)
        b.states.erase(entry);
    b.keys.erase(key);
}

std::shared_ptr<state_base> board_find(const zwif_desc_t *intf)
{
    if (!intf)
        return nullptr;
    board &b = the_board();
    std::lock_guard<std::mutex> guard(b.lock);
    const auto entry = b.states.find(key_of(intf));
    return entry != b.states.end() ? entry->second : nullptr;
}

void report_post(const zwif_desc_t *intf)
{
    if (intf && intf->net)
        zwp_net_report_post(static_cast<zwp_net_t *>(zwnet_get_user(intf->net)));
}

void state_destroy(void *opaque)
{
    auto *ref = static_cast<state_ref *>(opaque);
    if (!ref)
        return;
    board_remove(ref->state.get());
    delete ref;
}

int arg_check(int32_t value, const check &range, const char *error)
{
    const bool ok = (range.absent && value == -1) ||
                    (value >= range.min && value <= range.max && !(range.nonzero && value == 0));
    if (ok)
        return 0;
    ZWS_LOG_ERROR(error, value);
    return 22;
}

int arg_int(avro_value_t *parameter, const char *name, int32_t *value)
{
    return zw_avro_field_get_int(parameter, name, value) == 0 ? 0 : 22;
}

int out_long(avro_value_t *record, const char *name, int64_t value)
{
    return zw_avro_field_set_long(record, name, value) == 0 ? 0 : 22;
}

int out_int(avro_value_t *record, const char *name, int32_t value)
{
    return zw_avro_field_set_int(record, name, value) == 0 ? 0 : 22;
}

int out_fixed(avro_value_t *record, const char *name, const fixed4 &value)
{
    return zw_avro_field_set_fixed(record, name, value.data(), value.size()) == 0 ? 0 : 22;
}

int out_array(avro_value_t *record, const char *name, const char *error, avro_value_t *array)
{
    if (avro_value_get_by_name(record, name, array, nullptr) != 0) {
        ZWS_LOG_ERROR(error, name, avro_strerror());
        return 22;
    }
    if (avro_value_reset(array) != 0) {
        ZWS_LOG_ERROR(error, name, avro_strerror());
        return 22;
    }
    return 0;
}

int out_append(avro_value_t *array, avro_value_t *element)
{
    if (avro_value_append(array, element, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to append an element to the list: %s", avro_strerror());
        return 22;
    }
    return 0;
}

int out_int_list(avro_value_t *record, const char *name, const byte_list &values)
{
    avro_value_t array;
    if (out_array(record, name, "Failed to get the field '%s': %s", &array) != 0)
        return 22;
    for (const uint8_t value : values) {
        avro_value_t element;
        if (out_append(&array, &element) != 0 || avro_value_set_int(&element, value) != 0)
            return 22;
    }
    return 0;
}

int messages_register(zwu_array_list_t list, std::span<const zwp_avi_message_interfaces> messages)
{
    for (const zwp_avi_message_interfaces &message : messages) {
        if (zwp_avi_interface_message_register(list, &message) != 0)
            return 22;
    }
    return 0;
}

} // namespace zwp_if
