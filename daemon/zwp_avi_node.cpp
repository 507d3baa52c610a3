#include "daemon/zwp_avi_node.h"

#include "avi/zw_avro.h"
#include "daemon/zwp_alloc.h"
#include "daemon/zwp_avi_message.h"
#include "daemon/zwp_desc.h"
#include "daemon/zwp_log.h"
#include "daemon/zwp_text.h"
#include "hcapi/include/zwnode.h"
#include "util/zwu_number.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// The command queue of a sleeping node
// ---------------------------------------------------------------------------

struct queue_state {
    int32_t state = 0;
};

int queue_state_argument(avro_value_t *parameter, void **arguments)
{
    int32_t state = 0;
    if (!parameter || zw_avro_field_get_int(parameter, "state", &state) != 0)
        return 22;
    if (zwu_number_is_uint8(state) != 0) {
        ZWS_LOG_ERROR("Invalid enable state: %d", static_cast<int>(state));
        return 22;
    }
    auto *made = zwp_record_new<queue_state>();
    if (!made)
        return 22;
    made->state = state;
    *arguments = made;
    return 0;
}

int queue_state_result(void *results, avro_value_t *parameter)
{
    const auto *r = static_cast<const queue_state *>(results);
    return r && zw_avro_field_set_int(parameter, "state", r->state) == 0 ? 0 : 22;
}

int library_result(const char *call, int result)
{
    if (result == 0)
        return 0;
    ZWS_LOG_ERROR("%s failed with '%s'", call, zwp_err_str(result));
    return 22;
}

int queue_enable_get_call(const zwnode_desc_t *node, void *, void **results)
{
    uint8_t enabled = 0;
    if (library_result("zwnode_cmd_q_ena_get()", zwnode_cmd_q_ena_get(node, &enabled)) != 0)
        return 22;
    auto *made = zwp_record_new<queue_state>();
    if (!made)
        return 22;
    made->state = enabled ? 1 : 0;
    *results = made;
    return 0;
}

int queue_enable_set_call(const zwnode_desc_t *node, void *arguments, void **results)
{
    const auto *wanted = static_cast<const queue_state *>(arguments);
    if (!wanted)
        return 22;
    if (library_result("zwnode_cmd_q_ena_set()",
                       zwnode_cmd_q_ena_set(node, static_cast<uint8_t>(wanted->state))) != 0)
        return 22;
    auto *made = zwp_record_new<queue_state>();
    if (!made)
        return 22;
    made->state = wanted->state;
    *results = made;
    return 0;
}

struct queue_list {
    std::vector<uint16_t> classes;
};

int queue_get_call(const zwnode_desc_t *node, void *, void **results)
{
    uint16_t *codes = nullptr;
    const int count = zwnode_cmd_q_get(node, &codes);
    if (count < 0) {
        std::free(codes);
        return library_result("zwnode_cmd_q_get()", count);
    }
    auto *made = zwp_record_new<queue_list>();
    if (made) {
        try {
            if (codes)
                made->classes.assign(codes, codes + count);
        } catch (const std::bad_alloc &) {
            ZWS_LOG_ERROR("Failed to allocate memory");
            delete made;
            made = nullptr;
        }
    }
    std::free(codes);
    if (!made)
        return 22;
    *results = made;
    return 0;
}

int queue_get_result(void *results, avro_value_t *parameter)
{
    const auto *r = static_cast<const queue_list *>(results);
    if (!r)
        return 22;
    avro_value_t array;
    if (avro_value_get_by_name(parameter, "commandqueue_list", &array, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get the field 'commandq_list': %s", avro_strerror());
        return 22;
    }
    for (uint16_t cls : r->classes) {
        avro_value_t element;
        if (avro_value_append(&array, &element, nullptr) != 0 || avro_value_set_int(&element, cls) != 0) {
            ZWS_LOG_ERROR("Failed to get the field 'commandq_list': %s", avro_strerror());
            return 22;
        }
    }
    return 0;
}

int queue_cancel_call(const zwnode_desc_t *node, void *, void **)
{
    return library_result("zwnode_cmd_q_cancel()", zwnode_cmd_q_cancel(node));
}

// ---------------------------------------------------------------------------
// The endpoints of a node
// ---------------------------------------------------------------------------

struct ep_list {
    std::vector<zwep_desc_t> eps;
};

int ep_list_call(const zwnode_desc_t *node, void *, void **results)
{
    auto *made = zwp_record_new<ep_list>();
    if (!made)
        return 22;
    if (zwp_desc_node_eps_get(node, &made->eps) != 0) {
        delete made;
        return 22;
    }
    *results = made;
    return 0;
}

// A copy of a fixed-size text of the tree, terminated whatever it holds.
template <size_t N>
void text_copy(char (&to)[N], const char (&from)[N])
{
    std::memcpy(to, from, N);
    to[N - 1] = '\0';
}

int ep_write(avro_value_t *record, const zwep_desc_t &ep)
{
    char name[ZW_NAMELOC_SZ];
    char loc[ZW_NAMELOC_SZ];
    text_copy(name, ep.name);
    text_copy(loc, ep.loc);
    // A reply is only valid Avro with whole UTF-8 sequences in its strings.
    name[zwp_utf8_cut_length(name, std::strlen(name), sizeof name - 1)] = '\0';
    loc[zwp_utf8_cut_length(loc, std::strlen(loc), sizeof loc - 1)] = '\0';
    const zwplus_info_t &plus = ep.zwplus_info;
    if (zw_avro_field_set_int(record, "id", ep.epid) != 0 ||
        zw_avro_field_set_int(record, "generic_device_class", ep.generic) != 0 ||
        zw_avro_field_set_int(record, "specific_device_class", ep.specific) != 0 ||
        zw_avro_field_set_string(record, "name", name) != 0 ||
        zw_avro_field_set_string(record, "location", loc) != 0 ||
        zw_avro_field_set_int(record, "zwave_plus_version", plus.zwplus_ver) != 0 ||
        zw_avro_field_set_int(record, "zwave_plus_role_type", plus.role_type) != 0 ||
        zw_avro_field_set_int(record, "zwave_plus_node_type", plus.node_type) != 0 ||
        zw_avro_field_set_int(record, "zwave_plus_installer_icon_type", plus.instr_icon) != 0 ||
        zw_avro_field_set_int(record, "zwave_plus_user_icon_type", plus.usr_icon) != 0)
        return 22;
    // The count never runs past the member array.
    const uint8_t count = ep.aggr_ep_cnt < ZWEP_AGGR_MAX ? ep.aggr_ep_cnt : static_cast<uint8_t>(ZWEP_AGGR_MAX);
    if (zw_avro_field_set_int(record, "aggregated_ep_cnt", count) != 0)
        return 22;
    avro_value_t members;
    if (avro_value_get_by_name(record, "aggregated_ep_list", &members, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get the field 'aggregated_ep_list': %s", avro_strerror());
        return 22;
    }
    for (uint8_t i = 0; i < count; i++) {
        avro_value_t member;
        if (avro_value_append(&members, &member, nullptr) != 0 ||
            avro_value_set_int(&member, ep.aggr_members[i]) != 0) {
            ZWS_LOG_ERROR("Failed to set value '%d' to the field aggregated_members : %s",
                          static_cast<int>(ep.aggr_members[i]), avro_strerror());
            return 22;
        }
    }
    return 0;
}

int ep_list_result(void *results, avro_value_t *parameter)
{
    const auto *r = static_cast<const ep_list *>(results);
    if (!r)
        return 22;
    avro_value_t array;
    if (avro_value_get_by_name(parameter, "endpoint_list", &array, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get the field 'endpoint_list': %s", avro_strerror());
        return 22;
    }
    for (const zwep_desc_t &ep : r->eps) {
        avro_value_t record;
        if (avro_value_append(&array, &record, nullptr) != 0) {
            ZWS_LOG_ERROR("Failed to get the field 'endpoint_list': %s", avro_strerror());
            return 22;
        }
        if (ep_write(&record, ep) != 0)
            return 22;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The interfaces of an endpoint
// ---------------------------------------------------------------------------

struct if_list {
    std::vector<zwif_desc_t> ifs;
};

int if_list_call(const zwep_desc_t *ep, void *, void **results)
{
    auto *made = zwp_record_new<if_list>();
    if (!made)
        return 22;
    if (zwp_desc_ep_ifs_get(ep, &made->ifs) != 0) {
        delete made;
        return 22;
    }
    *results = made;
    return 0;
}

int if_list_result(void *results, avro_value_t *parameter)
{
    const auto *r = static_cast<const if_list *>(results);
    if (!r)
        return 22;
    avro_value_t array;
    if (avro_value_get_by_name(parameter, "interface_list", &array, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get the field 'interface_list': %s", avro_strerror());
        return 22;
    }
    for (const zwif_desc_t &intf : r->ifs) {
        avro_value_t record;
        if (avro_value_append(&array, &record, nullptr) != 0) {
            ZWS_LOG_ERROR("Failed to get the field 'interface_list': %s", avro_strerror());
            return 22;
        }
        if (zw_avro_field_set_int(&record, "id", intf.cls) != 0 ||
            zw_avro_field_set_string(&record, "name", zwp_cc_name_get(intf.cls, intf.ver)) != 0 ||
            zw_avro_field_set_int(&record, "version", intf.ver) != 0 ||
            zw_avro_field_set_int(&record, "real_version", intf.real_ver) != 0 ||
            zw_avro_field_set_int(&record, "secure_access", intf.propty & 0x01) != 0 ||
            zw_avro_field_set_int(&record, "unsecure_access", (intf.propty >> 1) & 0x01) != 0)
            return 22;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Name and location of an endpoint
// ---------------------------------------------------------------------------

// Both texts as the endpoint keeps them: at most 32 bytes, cut between
// whole UTF-8 sequences.
void nameloc_text_set(char (&to)[ZW_NAMELOC_SZ], const char *from)
{
    const size_t length = zwp_utf8_cut_length(from, std::strlen(from), ZW_NAMELOC_SZ - 1);
    std::memcpy(to, from, length);
    to[length] = '\0';
}

int nameloc_argument(avro_value_t *parameter, void **arguments)
{
    char *name = nullptr;
    char *loc = nullptr;
    if (!parameter || zw_avro_field_get_string(parameter, "name", &name) != 0)
        return 22;
    if (zw_avro_field_get_string(parameter, "location", &loc) != 0) {
        zw_avro_field_free_string(name);
        return 22;
    }
    auto *made = zwp_record_new<zwep_nameloc_t>();
    if (made) {
        nameloc_text_set(made->name, name);
        nameloc_text_set(made->loc, loc);
        *arguments = made;
    }
    zw_avro_field_free_string(name);
    zw_avro_field_free_string(loc);
    return made ? 0 : 22;
}

int nameloc_call(const zwep_desc_t *ep, void *arguments, void **)
{
    const auto *wanted = static_cast<const zwep_nameloc_t *>(arguments);
    if (!wanted)
        return 22;
    zwep_nameloc_t nameloc = *wanted;
    const int result = zwep_nameloc_set(ep, &nameloc);
    // Queued for a sleeping node counts as set: the node takes it on waking.
    if (result != 0 && result != 1) {
        ZWS_LOG_ERROR("zwep_nameloc_set() failed with '%s'", zwp_err_str(result));
        return 22;
    }
    zwp_desc_ep_nameloc_store(ep, nameloc.name, nameloc.loc);
    return 0;
}

zwp_avi_message node_message(const char *name, zwp_avi_argument_handler_t argument, zwp_avi_free_t argument_free,
                             zwp_avi_node_call_t call, zwp_avi_result_handler_t result, zwp_avi_free_t result_free)
{
    zwp_avi_message message{name, argument, argument_free, {}, result, result_free};
    message.call.node = call;
    return message;
}

const zwp_avi_message node_messages[] = {
    node_message("node_endpoint_list_get", nullptr, nullptr, ep_list_call, ep_list_result, zwp_record_free<ep_list>),
    node_message("node_commandqueue_enable_get", nullptr, nullptr, queue_enable_get_call, queue_state_result,
                 zwp_record_free<queue_state>),
    node_message("node_commandqueue_enable_set", queue_state_argument, zwp_record_free<queue_state>,
                 queue_enable_set_call, queue_state_result, zwp_record_free<queue_state>),
    node_message("node_commandqueue_get", nullptr, nullptr, queue_get_call, queue_get_result,
                 zwp_record_free<queue_list>),
    node_message("node_commandqueue_cancel", nullptr, nullptr, queue_cancel_call, nullptr, nullptr),
};

constexpr zwp_avi_message_endpoints endpoint_messages[] = {
    {"endpoint_interface_list_get", nullptr, nullptr, if_list_call, if_list_result, zwp_record_free<if_list>},
    {"endpoint_node_naming_name_location_set", nameloc_argument, zwp_record_free<zwep_nameloc_t>, nameloc_call, nullptr,
     nullptr},
};

// Bytes of the UTF-8 sequence that starts at text[0], or 0 when none does.
size_t utf8_sequence_length(const unsigned char *text, size_t left)
{
    const unsigned char lead = text[0];
    if (lead < 0x80)
        return lead ? 1 : 0;
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF; // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (length > left || text[1] < low || text[1] > high)
        return 0;
    for (size_t i = 2; i < length; i++) {
        if (text[i] < 0x80 || text[i] > 0xBF)
            return 0;
    }
    return length;
}

} // namespace

size_t zwp_utf8_cut_length(const char *text, size_t length, size_t max)
{
    if (!text)
        return 0;
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    size_t at = 0;
    while (at < length) {
        const size_t sequence = utf8_sequence_length(bytes + at, length - at);
        if (sequence == 0 || at + sequence > max)
            break;
        at += sequence;
    }
    return at;
}

int zwp_avi_nodes_register(zwu_array_list_t list)
{
    for (const zwp_avi_message &message : node_messages) {
        if (zwp_avi_node_message_register(list, &message) != 0)
            return 22;
    }
    return 0;
}

int zwp_avi_endpoints_register(zwu_array_list_t list)
{
    for (const zwp_avi_message_endpoints &message : endpoint_messages) {
        if (zwp_avi_endpoint_message_register(list, &message) != 0)
            return 22;
    }
    return 0;
}
