// The gateway commands of the web interface, answered by kestrund without a
// network: set, get and list of the Z/IP gateway.
#include "messages/zws_avi_root.h"

#include "avi/zw_avro.h"
#include "messages/zws_avi_args.h"
#include "messages/zws_avi_format.h"
#include "util/zws_log.h"
#include "util/zwu_inet.h"
#include "util/zwu_number.h"
#include "util/zwu_uri.h"

#include <cstring>
#include <new>
#include <string>

namespace {

constexpr size_t k_gateway_name_max = 384; // decoded address text
constexpr size_t k_key_digits_max = 64;    // a 32-byte key as hexadecimal text

constexpr zws_avi_arg_spec_t k_list_set[] = {
    {"discvr", ZWS_AVI_ARG_INT, ZWS_AVI_ARG_DEFAULT, "discovery_flag", 0}};

constexpr zws_avi_message_t k_gateway_messages[] = {
    {"zw_gw_set", "root_gateway_set", zws_avi_root_gateway_set_argument, nullptr, ""},
    {"zw_gw_get", "root_gateway_get", nullptr, zws_avi_root_gateway_get_result, ""},
    {"zw_gw_list", "root_gateway_list", zws_avi_root_gateway_list_set_argument, zws_avi_root_gateway_list_result, ""},
};

bool pair_is(const zws_key_value_t *args, int args_count, int index, const char *name)
{
    return args && index < args_count && args[index].key && std::strcmp(args[index].key, name) == 0;
}

const char *value_of(const zws_key_value_t &pair) { return pair.value ? pair.value : ""; }

bool is_key_text(const char *text)
{
    const size_t length = std::strlen(text);
    if (length < 2 || length > k_key_digits_max || length % 2 != 0)
        return false;
    for (size_t i = 0; i < length; i++) {
        const char c = text[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

int set_address(const zws_key_value_t &pair, avro_value_t *parameter)
{
    char name[k_gateway_name_max + 1] = {};
    if (zwu_uri_decode_string(name, sizeof name, value_of(pair)) != 0)
        return 22;
    uint8_t address[16] = {};
    uint8_t address_type = 0;
    if (zwu_inet_pton_iptype(name, address, &address_type) != 0)
        return 22;
    if (zw_avro_field_set_fixed(parameter, "gateway_address", address, sizeof address) != 0 ||
        zw_avro_field_set_int(parameter, "address_type", address_type) != 0)
        return 22;
    return 0;
}

int set_port(const zws_key_value_t &pair, avro_value_t *parameter)
{
    int32_t port = 0;
    // The daemon keeps the port in 16 bits: a wider one would name another.
    if (zwu_parse_int32_non_negative(value_of(pair), &port) != 0 || zwu_number_is_uint16(port) != 0) {
        ZWS_LOG_ERROR("Failed to parse the value of '%s'", "unsol_rpt_port");
        return 22;
    }
    return zw_avro_field_set_int(parameter, "unsolicited_port_number", port) == 0 ? 0 : 22;
}

int set_key(const zws_key_value_t *args, int args_count, avro_value_t *parameter)
{
    avro_value_t key;
    if (avro_value_get_by_name(parameter, "preshared_key", &key, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get 'preshared_key' field from 'Gateway Set' record: %s", avro_strerror());
        return 22;
    }
    avro_value_t branch;
    if (!pair_is(args, args_count, 2, "key")) {
        if (avro_value_set_branch(&key, 1, &branch) != 0 || avro_value_set_null(&branch) != 0) {
            ZWS_LOG_ERROR("Failed to set 'preshared_key' field to branch '1': %s", avro_strerror());
            return 22;
        }
        return 0;
    }
    const char *text = value_of(args[2]);
    if (!is_key_text(text)) {
        ZWS_LOG_ERROR("Invalid pre-shared key: %zu characters, 2 to %zu hexadecimal digits of an even count expected",
                      std::strlen(text), k_key_digits_max);
        return 22;
    }
    if (avro_value_set_branch(&key, 0, &branch) != 0 || avro_value_set_string(&branch, text) != 0) {
        ZWS_LOG_ERROR("Failed to set 'preshared_key' field to branch '0': %s", avro_strerror());
        return 22;
    }
    return 0;
}

int check_address_type(int32_t address_type)
{
    if (address_type != 0 && address_type != 1) {
        ZWS_LOG_ERROR("gateway IP address conversion failed");
        return 22;
    }
    return 0;
}

// The parts of a gateway record that both answers write: the name (empty
// without one) and the address text.
int read_gateway(avro_value_t *gateway, const char *record_name, std::string *name, std::string *address)
{
    int32_t address_type = 0;
    int has_name = 0;
    if (zws_avi_get_optional_text(gateway, "gateway_name", record_name, name, &has_name) != 0)
        return 22;
    if (zw_avro_field_get_int(gateway, "address_type", &address_type) != 0 || check_address_type(address_type) != 0 ||
        zws_avi_get_address_text(gateway, "gateway_address", address_type, address) != 0)
        return 22;
    return 0;
}

} // namespace

int zws_avi_root_gateway_init(zwu_array_list_t list)
{
    return zws_avi_message_list_add_table(list, k_gateway_messages);
}

int zws_avi_root_gateway_set_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter)
{
    if (!parameter)
        return 22;
    // The pairs are positional: address, port, then the optional key.
    if (!pair_is(args, args_count, 0, "zip_gw_name")) {
        ZWS_LOG_ERROR("Missing the required argument '%s'", "zip_gw_name");
        return 22;
    }
    if (!pair_is(args, args_count, 1, "unsol_rpt_port")) {
        ZWS_LOG_ERROR("Missing the required argument '%s'", "unsol_rpt_port");
        return 22;
    }
    if (set_address(args[0], parameter) != 0 || set_port(args[1], parameter) != 0)
        return 22;
    return set_key(args, args_count, parameter);
}

int zws_avi_root_gateway_list_set_argument(zws_key_value_t *args, int args_count, avro_value_t *parameter)
{
    return zws_avi_args_handler<k_list_set>(args, args_count, parameter);
}

int zws_avi_root_gateway_get_result(int, avro_value_t *parameter, zwu_string_buffer_t out)
{
    if (!parameter || !out)
        return 22;
    try {
        std::string name;
        std::string address;
        if (read_gateway(parameter, "GatewayReport", &name, &address) != 0)
            return 22;
        ZWS_LOG_DEBUGGING("ip_addr_string = %s", address.c_str());
        const zws_xml_field_t extra[] = {{"name", zws_xml_text(name.c_str())},
                                         {"addr", zws_xml_text(address.c_str())}};
        return zws_avi_render(out,
                              "<gw_status status=\"{gateway_status:u8}\" name=\"{name:uri}\" addr=\"{addr:uri}\""
                              " unsol_rpt_port=\"{unsolicited_port_number:u16}\" />",
                              parameter, extra, 2);
    } catch (const std::bad_alloc &) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
}

int zws_avi_root_gateway_list_result(int, avro_value_t *parameter, zwu_string_buffer_t out)
{
    if (!parameter || !out)
        return 22;
    const int mark = zwu_string_buffer_length(out);
    auto fail = [&]() {
        // No half list: the answer is all gateways or the error document.
        out->length = mark;
        out->data[mark] = '\0';
        return 22;
    };
    try {
        if (zws_avi_render(out,
                           "<gw_discvr_status state=\"{discovery_state:u8}\" report_recvd=\"{received_reports:u32}\""
                           " total_reports=\"{total_reports:u32}\" />",
                           parameter) != 0) {
            ZWS_LOG_ERROR("Failed to set discovery_state info: %s", "a field is missing");
            return fail();
        }
        avro_value_t list;
        size_t count = 0;
        if (zws_avi_get_array(parameter, "gateway_list", "Failed to get the field 'gw_list': %s",
                              "Failed to get gw list size", &list, &count) != 0)
            return fail();
        ZWS_LOG_DEBUGGING("gw_count: %zu", count);
        for (size_t i = 0; i < count; i++) {
            avro_value_t gateway;
            std::string name;
            std::string address;
            if (avro_value_get_by_index(&list, i, &gateway, nullptr) != 0 ||
                read_gateway(&gateway, "'Gateway List Report'", &name, &address) != 0)
                return fail();
            const zws_xml_field_t extra[] = {{"name", zws_xml_text(name.c_str())},
                                             {"addr", zws_xml_text(address.c_str())}};
            if (zws_avi_render(out,
                               "<gw name=\"{name:uri}\" addr=\"{addr:text}\"  unsol_rpt_port=\"{unsolicited_port_number:u16}\""
                               " flag=\"{gateway_flag:u8}\" />",
                               &gateway, extra, 2) != 0)
                return fail();
        }
        return 0;
    } catch (const std::bad_alloc &) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return fail();
    }
}
