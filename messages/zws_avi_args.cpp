#include "messages/zws_avi_args.h"

#include "avi/zw_avro.h"
#include "util/zws_log.h"
#include "util/zwu_number.h"
#include "util/zwu_uri.h"

#include <cstring>
#include <new>
#include <string>

namespace {

bool is_int_kind(zws_avi_arg_kind_t kind)
{
    return kind != ZWS_AVI_ARG_TEXT && kind != ZWS_AVI_ARG_DECODED;
}

int parse_int(zws_avi_arg_kind_t kind, const char *text, int32_t *value_p)
{
    switch (kind) {
    case ZWS_AVI_ARG_INT: return zwu_parse_int32_non_negative(text, value_p);
    case ZWS_AVI_ARG_SIGNED: return zwu_parse_int32(text, value_p);
    case ZWS_AVI_ARG_NODE_ID: {
        int64_t combined = 0;
        if (zwu_parse_int64_non_negative(text, &combined) != 0)
            return 22;
        *value_p = static_cast<int32_t>(combined & 0xFF);
        return 0;
    }
    case ZWS_AVI_ARG_NODE:
    case ZWS_AVI_ARG_NODE_OR_ALL: {
        // The node byte of a combined id names the node (261 is endpoint 0
        // of node 5). Anything wider than an endpoint's id, or a byte that
        // is no node id, is refused rather than narrowed onto another node.
        int64_t combined = 0;
        if (zwu_parse_int64_non_negative(text, &combined) != 0)
            return 22;
        if (combined == 0 && kind == ZWS_AVI_ARG_NODE_OR_ALL) {
            *value_p = 0;
            return 0;
        }
        const int64_t node = combined & 0xFF;
        if (zwu_number_is_uint16(combined) != 0 || node < ZWS_AVI_NODE_ID_MIN || node > ZWS_AVI_NODE_ID_MAX)
            return 22;
        *value_p = static_cast<int32_t>(node);
        return 0;
    }
    case ZWS_AVI_ARG_U8: {
        if (zwu_parse_int32_non_negative(text, value_p) != 0 || zwu_number_is_uint8(*value_p) != 0)
            return 22;
        return 0;
    }
    case ZWS_AVI_ARG_FLAG: return zwu_parse_int32_non_negative(text, value_p) != 0 || *value_p > 1 ? 22 : 0;
    default: return 22;
    }
}

// One present pair: parse, decode and set. 0, 22 or 12.
int set_from_pair(const zws_avi_arg_spec_t &spec, const char *text, avro_value_t *parameter, int32_t *int_p)
{
    if (is_int_kind(spec.kind)) {
        int32_t value = 0;
        if (parse_int(spec.kind, text, &value) != 0) {
            ZWS_LOG_ERROR("Failed to parse the value of '%s'", spec.pair);
            return 22;
        }
        if (zw_avro_field_set_int(parameter, spec.field, value) != 0)
            return 22;
        *int_p = value;
        return 0;
    }
    if (spec.kind == ZWS_AVI_ARG_TEXT)
        return zw_avro_field_set_string(parameter, spec.field, text) == 0 ? 0 : 22;
    // Decoding never makes a text longer.
    std::string decoded;
    try {
        decoded.assign(std::strlen(text) + 1, '\0');
    } catch (const std::bad_alloc &) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 12;
    }
    if (zwu_uri_decode_string(decoded.data(), decoded.size(), text) != 0)
        return 22;
    return zw_avro_field_set_string(parameter, spec.field, decoded.c_str()) == 0 ? 0 : 22;
}

} // namespace

int zws_avi_args_read(const zws_avi_arg_spec_t *specs, int spec_count, zws_key_value_t *args, int args_count,
                      avro_value_t *parameter, zws_avi_args_result_t *result_p)
{
    zws_avi_args_result_t result{0, 0, -1};
    if (!parameter || (spec_count > 0 && !specs))
        return 22;
    int position = 0;
    for (int i = 0; i < spec_count; i++) {
        const zws_avi_arg_spec_t &spec = specs[i];
        if (spec.kind == ZWS_AVI_ARG_CONST) {
            if (zw_avro_field_set_int(parameter, spec.field, spec.value) != 0)
                return 22;
            continue;
        }
        const bool present = args && position < args_count && args[position].key && spec.pair &&
                             std::strcmp(args[position].key, spec.pair) == 0;
        if (!present) {
            if (spec.presence == ZWS_AVI_ARG_REQUIRED) {
                ZWS_LOG_ERROR("Missing the required argument '%s'", spec.pair ? spec.pair : "");
                return 22;
            }
            if (spec.presence == ZWS_AVI_ARG_DEFAULT && zw_avro_field_set_int(parameter, spec.field, spec.value) != 0)
                return 22;
            continue;
        }
        const char *text = args[position].value ? args[position].value : "";
        const int status = set_from_pair(spec, text, parameter, &result.last_int);
        if (status != 0)
            return status;
        position++;
        result.set_count++;
    }
    result.consumed = position;
    if (result_p)
        *result_p = result;
    return 0;
}
