#include "daemon/zwp_avi_root.h"

#include "avi/zw_avro.h"
#include "daemon/zwp_alloc.h"
#include "daemon/zwp_avi_message.h"
#include "daemon/zwp_log.h"
#include "daemon/zwp_gateway_ops.h"
#include "daemon/zwp_net_ops.h"
#include "daemon/zwp_zwave_client.h"
#include "util/zwu_number.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

// 1 when the network bound to the gateway record runs with a descriptor
// tree.
int network_initialised(zwp_net_list_t *net_list)
{
    const zwp_gateway_ops_t *list = zwp_gateway_ops_get();
    zwp_net_t *net = nullptr;
    if (!list->net_get || list->net_get(net_list, &net) != 0 || !net)
        return 0;
    const zwp_net_ops_t *ops = zwp_net_ops_get();
    int initialised = 0;
    if (ops->desc_lock && ops->desc_unlock && ops->desc_lock(net) == 0) {
        initialised = 1;
        ops->desc_unlock(net);
    }
    if (ops->unref)
        ops->unref(net);
    return initialised;
}

// ---------------------------------------------------------------------------
// root_gateway_set
// ---------------------------------------------------------------------------

// The key as hexadecimal text: an even number of 2 to 64 digits.
int key_read(const char *text, zwp_gw_t *gw)
{
    const size_t length = std::strlen(text);
    ZWS_LOG_ERROR("preshared_key strlen = %u", static_cast<unsigned>(length));
    switch (zwu_hex_key_parse(text, length, gw->psk, sizeof gw->psk, &gw->psk_len)) {
    case zwu_key_refusal::none:
        return 0;
    case zwu_key_refusal::length:
        ZWS_LOG_ERROR("Invalid pre-shared key: %u characters, 2 to %u hexadecimal digits of an even count expected",
                      static_cast<unsigned>(length), static_cast<unsigned>(2 * sizeof gw->psk));
        return 22;
    case zwu_key_refusal::not_hex:
        break;
    }
    ZWS_LOG_ERROR("Invalid pre-shared key: not hexadecimal");
    return 22;
}

int preshared_key_read(avro_value_t *parameter, zwp_gw_t *gw)
{
    avro_value_t key;
    if (avro_value_get_by_name(parameter, "preshared_key", &key, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get 'preshared_key' field from 'Gateway Set' record: %s", avro_strerror());
        return 22;
    }
    int discriminant = -1;
    if (avro_value_get_discriminant(&key, &discriminant) != 0) {
        ZWS_LOG_ERROR("Failed to get branch number of 'preshared_key' field: %s", avro_strerror());
        return 22;
    }
    if (discriminant == 1)
        return 0;
    avro_value_t branch;
    if (discriminant != 0 || avro_value_get_current_branch(&key, &branch) != 0) {
        ZWS_LOG_ERROR("Failed to get 'preshared_key' field in branch '0': %s", avro_strerror());
        return 22;
    }
    const char *text = nullptr;
    size_t size = 0;
    if (avro_value_get_string(&branch, &text, &size) != 0 || !text) {
        ZWS_LOG_ERROR("Failed to get 'preshared_key' %s", avro_strerror());
        return 22;
    }
    return key_read(text, gw);
}

int gateway_set_argument(avro_value_t *parameter, void **arguments)
{
    if (!parameter)
        return 22;
    int32_t address_type = 0;
    int32_t port = 0;
    void *address = nullptr;
    size_t size = 0;
    if (zw_avro_field_get_int(parameter, "address_type", &address_type) != 0 ||
        zw_avro_field_get_int(parameter, "unsolicited_port_number", &port) != 0 ||
        zw_avro_field_get_fixed(parameter, "gateway_address", &address, &size) != 0)
        return 22;
    zwp_gw_t gw{};
    const bool address_ok = size == sizeof gw.addr;
    if (address_ok)
        std::memcpy(gw.addr, address, sizeof gw.addr);
    zw_avro_field_free_fixed(address);
    if (!address_ok) {
        ZWS_LOG_ERROR("Invalid gateway address size %u", static_cast<unsigned>(size));
        return 22;
    }
    // A number out of its field's range would select another gateway or
    // port than the one asked for.
    if (address_type != 0 && address_type != 1) {
        ZWS_LOG_ERROR("Invalid gateway address type %d", static_cast<int>(address_type));
        return 22;
    }
    if (zwu_number_is_uint16(port) != 0)
        return 22;
    gw.addr_type = static_cast<uint32_t>(address_type);
    if (address_type == 1)
        std::memset(gw.addr + 4, 0, sizeof gw.addr - 4);
    gw.port = static_cast<uint16_t>(port);
    if (preshared_key_read(parameter, &gw) != 0)
        return 22;
    auto *made = zwp_record_new<zwp_gw_t>();
    if (!made)
        return 22;
    *made = gw;
    *arguments = made;
    return 0;
}

// Holds the network list's gateway lock for a scope.
class client_lock_guard {
public:
    explicit client_lock_guard(zwp_net_list_t *net_list)
    {
        const zwp_gateway_ops_t *list = zwp_gateway_ops_get();
        if (list->client_lock && list->client_unlock && list->client_lock(net_list) == 0)
            net_list_ = net_list;
    }
    ~client_lock_guard()
    {
        if (net_list_)
            zwp_gateway_ops_get()->client_unlock(net_list_);
    }
    client_lock_guard(const client_lock_guard &) = delete;
    client_lock_guard &operator=(const client_lock_guard &) = delete;
    bool held() const { return net_list_ != nullptr; }

private:
    zwp_net_list_t *net_list_ = nullptr;
};

int gateway_set_call(zwp_net_list_t *net_list, const char *, void *arguments, void **, const zwp_avi_message *)
{
    const auto *gw = static_cast<const zwp_gw_t *>(arguments);
    const zwp_gateway_ops_t *list = zwp_gateway_ops_get();
    zwp_zwave_client_t *client = list->client_get ? list->client_get(net_list) : nullptr;
    if (!gw || !client || !list->net_get || !list->net_stop || !list->spawn)
        return 22;
    client_lock_guard guard(net_list);
    if (!guard.held())
        return 22;
    zwp_net_t *running = nullptr;
    if (list->net_get(net_list, &running) == 0 && running) {
        const uint8_t *id = zwp_net_id_get(running);
        char id_text[24];
        std::snprintf(id_text, sizeof id_text, "%02X-%02X-%02X-%02X-%02X-%02X-%02X-%02X", id[0], id[1], id[2], id[3],
                      id[4], id[5], id[6], id[7]);
        // The stop waits for every reference, this one included.
        const zwp_net_ops_t *ops = zwp_net_ops_get();
        if (ops->unref)
            ops->unref(running);
        // A network that does not stop keeps its threads: a second one
        // beside it would share the gateway's port.
        if (list->net_stop(net_list, id_text) != 0) {
            ZWS_LOG_ERROR("Failed to stop the running network; the gateway stays unchanged");
            return 22;
        }
    }
    zwp_zwave_client_gw_set(client, gw);
    if (list->spawn(net_list, nullptr) != 0) {
        ZWS_LOG_ERROR("portal_client_spawn failed");
        return 22;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// root_gateway_get and root_gateway_list
// ---------------------------------------------------------------------------

using gateway_entry = zwp_root_gateway_t;

int gateway_write(avro_value_t *record, const gateway_entry &gw, const char *flag_field, const char *record_name)
{
    avro_value_t name;
    if (avro_value_get_by_name(record, "gateway_name", &name, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get 'gateway_name' field from '%s' record: %s", record_name, avro_strerror());
        return 22;
    }
    avro_value_t branch;
    if (gw.has_name) {
        if (avro_value_set_branch(&name, 0, &branch) != 0) {
            ZWS_LOG_ERROR("Failed to set 'gw_name_string' field to branch '0': %s", avro_strerror());
            return 22;
        }
        if (avro_value_set_string(&branch, gw.name.c_str()) != 0) {
            ZWS_LOG_ERROR("Failed to set 'gw_name_string' : %s", avro_strerror());
            return 22;
        }
    } else {
        if (avro_value_set_branch(&name, 1, &branch) != 0) {
            ZWS_LOG_ERROR("Failed to set 'gateway_name' field to branch '1': %s", avro_strerror());
            return 22;
        }
        if (avro_value_set_null(&branch) != 0) {
            ZWS_LOG_ERROR("Failed to set 'gateway_name' : %s", avro_strerror());
            return 22;
        }
    }
    if (zw_avro_field_set_fixed(record, "gateway_address", gw.addr, sizeof gw.addr) != 0 ||
        zw_avro_field_set_int(record, "address_type", gw.address_type) != 0 ||
        zw_avro_field_set_int(record, "unsolicited_port_number", gw.port) != 0 ||
        zw_avro_field_set_int(record, flag_field, gw.flag) != 0)
        return 22;
    return 0;
}

int gateway_get_call(zwp_net_list_t *net_list, const char *, void *, void **results, const zwp_avi_message *)
{
    auto *made = zwp_record_new<gateway_entry>();
    if (!made)
        return 22;
    zwp_gw_t gw{};
    const zwp_gateway_ops_t *list = zwp_gateway_ops_get();
    zwp_zwave_client_t *client = list->client_get ? list->client_get(net_list) : nullptr;
    if (zwp_zwave_client_gw_get(client, &gw) == 0) {
        std::memcpy(made->addr, gw.addr, sizeof made->addr);
        made->address_type = static_cast<int32_t>(gw.addr_type);
        made->port = gw.port;
        made->flag = network_initialised(net_list);
    }
    *results = made;
    return 0;
}

int gateway_get_result(void *results, avro_value_t *parameter)
{
    const auto *gw = static_cast<const gateway_entry *>(results);
    if (!gw || gateway_write(parameter, *gw, "gateway_status", "GatewayReport") != 0) {
        ZWS_LOG_ERROR("Setting Gateway get result value failed");
        return 22;
    }
    return 0;
}

struct gateway_list {
    int32_t discovery_state = 0;
    int32_t received_reports = 0;
    int32_t total_reports = 0;
    std::vector<gateway_entry> gateways;
};

int gateway_list_argument(avro_value_t *parameter, void **arguments)
{
    int32_t flag = 0;
    if (!parameter || zw_avro_field_get_int(parameter, "discovery_flag", &flag) != 0)
        return 22;
    auto *made = zwp_record_new<int32_t>();
    if (!made)
        return 22;
    *made = flag;
    *arguments = made;
    return 0;
}

bool same_address(const uint8_t *a, const uint8_t *b, bool ipv4) { return std::memcmp(a, b, ipv4 ? 4 : 16) == 0; }

// Discovered gateways first, each family in its order; a stored entry that
// discovery found too is listed once, as discovered; then the other stored
// entries.
void gateways_collect(const zwp_discovery_snapshot_t &found,
                      const zwp_zip_entry_t (&stored_entries)[ZWP_ZIP_ENTRY_MAX], const zwp_gw_t *chosen_gw,
                      bool initialised, std::vector<zwp_root_gateway_t> *out)
{
    zwp_zip_entry_t stored[ZWP_ZIP_ENTRY_MAX];
    std::memcpy(stored, stored_entries, sizeof stored);
    const bool selected = chosen_gw != nullptr;
    const zwp_gw_t chosen = chosen_gw ? *chosen_gw : zwp_gw_t{};
    const bool chosen_ipv4 = chosen.addr_type == 1;
    for (const bool ipv4 : {true, false}) {
        for (const zwp_discovered_gw_t &gw : ipv4 ? found.ipv4 : found.ipv6) {
            gateway_entry entry;
            entry.has_name = gw.has_name;
            entry.name = gw.name;
            std::memcpy(entry.addr, gw.addr, ipv4 ? 4 : 16);
            entry.address_type = ipv4 ? 1 : 0;
            entry.flag = ZWP_ZIP_DISCOVERED;
            if (selected && initialised && chosen_ipv4 == ipv4 && same_address(chosen.addr, gw.addr, ipv4)) {
                entry.flag |= ZWP_ZIP_IN_USE;
                entry.port = chosen.port;
            }
            for (int i = 0; i < ZWP_ZIP_ENTRY_MAX; i++) {
                zwp_zip_entry_t &slot = stored[i];
                if ((slot.flags & ZWP_ZIP_STORED) && (slot.ipv4 == 1) == ipv4 &&
                    same_address(slot.addr, gw.addr, ipv4)) {
                    slot.flags &= static_cast<uint8_t>(~ZWP_ZIP_STORED);
                    break;
                }
            }
            out->push_back(std::move(entry));
        }
    }
    for (int i = 0; i < ZWP_ZIP_ENTRY_MAX; i++) {
        const zwp_zip_entry_t &slot = stored[i];
        if (!slot.flags)
            continue;
        const bool ipv4 = slot.ipv4 == 1;
        gateway_entry entry;
        std::memcpy(entry.addr, slot.addr, sizeof entry.addr);
        entry.address_type = slot.ipv4;
        entry.port = slot.port;
        entry.flag = slot.flags;
        if (selected && initialised && chosen_ipv4 == ipv4 && same_address(chosen.addr, slot.addr, ipv4))
            entry.flag |= ZWP_ZIP_IN_USE;
        out->push_back(std::move(entry));
    }
}

} // namespace

int zwp_root_gateway_list_build(const zwp_discovery_snapshot_t &found,
                                const zwp_zip_entry_t (&stored_entries)[ZWP_ZIP_ENTRY_MAX], const zwp_gw_t *chosen_gw,
                                bool initialised, std::vector<zwp_root_gateway_t> *out)
{
    if (!out)
        return 22;
    try {
        gateways_collect(found, stored_entries, chosen_gw, initialised, out);
    } catch (const std::bad_alloc &) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    return 0;
}

namespace {

int gateway_list_call(zwp_net_list_t *net_list, const char *, void *arguments, void **results,
                      const zwp_avi_message *)
{
    const auto *flag = static_cast<const int32_t *>(arguments);
    const zwp_gateway_ops_t *list = zwp_gateway_ops_get();
    zwp_zwave_client_t *client = list->client_get ? list->client_get(net_list) : nullptr;
    if (flag && *flag == 1 && zwp_zwave_client_discovery_start(client) != 0)
        return 22;
    auto *made = zwp_record_new<gateway_list>();
    if (!made)
        return 22;
    try {
        zwp_discovery_snapshot_t found;
        zwp_zip_entry_t stored[ZWP_ZIP_ENTRY_MAX]{};
        zwp_gw_t chosen{};
        bool selected = false;
        if (client) {
            if (zwp_zwave_client_discovery_snapshot_get(client, &found) != 0 ||
                zwp_zwave_client_entries_get(client, stored) != 0) {
                delete made;
                return 22;
            }
            selected = zwp_zwave_client_gw_get(client, &chosen) == 0;
        }
        made->discovery_state = found.state;
        if (!found.ipv4.empty() || !found.ipv6.empty()) {
            made->received_reports = found.received_reports;
            made->total_reports = found.total_reports;
        }
        if (zwp_root_gateway_list_build(found, stored, selected ? &chosen : nullptr,
                                        network_initialised(net_list) != 0, &made->gateways) != 0) {
            delete made;
            return 22;
        }
    } catch (const std::bad_alloc &) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        delete made;
        return 22;
    }
    *results = made;
    return 0;
}

int gateway_list_result(void *results, avro_value_t *parameter)
{
    const auto *list = static_cast<const gateway_list *>(results);
    if (!list)
        return 22;
    if (zw_avro_field_set_int(parameter, "discovery_state", list->discovery_state) != 0 ||
        zw_avro_field_set_int(parameter, "received_reports", list->received_reports) != 0 ||
        zw_avro_field_set_int(parameter, "total_reports", list->total_reports) != 0) {
        ZWS_LOG_ERROR("Failed to set discovery_state info: %s", avro_strerror());
        return 22;
    }
    avro_value_t array;
    if (avro_value_get_by_name(parameter, "gateway_list", &array, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get the field 'gateway_list': %s", avro_strerror());
        return 22;
    }
    for (const gateway_entry &gw : list->gateways) {
        avro_value_t element;
        if (avro_value_append(&array, &element, nullptr) != 0) {
            ZWS_LOG_ERROR("Failed to Append gw_list_value: %s", avro_strerror());
            return 22;
        }
        if (gateway_write(&element, gw, "gateway_flag", "Gateway List Report") != 0) {
            ZWS_LOG_ERROR("Setting Gateway list result values failed");
            return 22;
        }
    }
    return 0;
}

zwp_avi_message root_message(const char *name, zwp_avi_argument_handler_t argument, zwp_avi_free_t argument_free,
                             zwp_avi_root_call_t call, zwp_avi_result_handler_t result, zwp_avi_free_t result_free)
{
    zwp_avi_message message{name, argument, argument_free, {}, result, result_free};
    message.call.root = call;
    return message;
}

const zwp_avi_message root_messages[] = {
    root_message("root_gateway_set", gateway_set_argument, zwp_record_free<zwp_gw_t>, gateway_set_call, nullptr,
                 nullptr),
    root_message("root_gateway_get", nullptr, nullptr, gateway_get_call, gateway_get_result,
                 zwp_record_free<gateway_entry>),
    root_message("root_gateway_list", gateway_list_argument, zwp_record_free<int32_t>, gateway_list_call,
                 gateway_list_result, zwp_record_free<gateway_list>),
};

} // namespace

int zwp_avi_root_register(zwu_array_list_t list)
{
    for (const zwp_avi_message &message : root_messages) {
        if (zwp_avi_root_message_register(list, &message) != 0)
            return 22;
    }
    return 0;
}
