#include "daemon/zwp_avi_fields.h"

#include "avi/zw_avro.h"
#include "daemon/zwp_log.h"

#include <memory>
#include <new>

namespace {

int field_read(avro_value_t *parameter, const zwp_avi_net_arg_field_t &field, zwp_avi_net_args_t *args)
{
    avro_value_t value;
    if (avro_value_get_by_name(parameter, field.name, &value, nullptr) != 0) {
        if (!field.required)
            return 0;
        ZWS_LOG_ERROR("Missing the field '%s'", field.name);
        return 22;
    }
    if (field.int_member) {
        int32_t number = 0;
        if (zw_avro_field_get_int(parameter, field.name, &number) != 0)
            return 22;
        if (number < field.min || number > field.max) {
            ZWS_LOG_ERROR("Field '%s' value %d out of range %d to %d", field.name, number, field.min, field.max);
            return 22;
        }
        args->*field.int_member = number;
        return 0;
    }
    char *text = nullptr;
    if (zw_avro_field_get_string(parameter, field.name, &text) != 0)
        return 22;
    try {
        args->*field.text_member = text;
    } catch (const std::bad_alloc &) {
        zw_avro_field_free_string(text);
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    zw_avro_field_free_string(text);
    return 0;
}

} // namespace

int zwp_avi_net_args_read(avro_value_t *parameter, const zwp_avi_net_arg_field_t *fields, size_t count,
                          void **arguments)
{
    if (!parameter || !arguments)
        return 22;
    std::unique_ptr<zwp_avi_net_args_t> args(new (std::nothrow) zwp_avi_net_args_t);
    if (!args) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    for (size_t i = 0; i < count; i++)
        if (field_read(parameter, fields[i], args.get()) != 0)
            return 22;
    *arguments = args.release();
    return 0;
}

void zwp_avi_net_args_free(void *arguments) { delete static_cast<zwp_avi_net_args_t *>(arguments); }

const zwp_avi_net_args_t &zwp_avi_net_args_of(void *arguments)
{
    static const zwp_avi_net_args_t none;
    return arguments ? *static_cast<const zwp_avi_net_args_t *>(arguments) : none;
}
