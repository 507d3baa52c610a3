#include "messages/zws_avi_format.h"

#include "util/zws_log.h"
#include "util/zwu_inet.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <list>
#include <new>
#include <string>
#include <string_view>

namespace {

struct render_context {
    avro_value_t *record;
    const zws_xml_field_t *extra;
    int extra_count;
    std::span<const zws_avi_value_field_t> value_fields;
    // Texts made for placeholders; stable while rendering, and nothing is
    // allocated for them while there are none.
    std::list<std::string> scratch;
};

// The value at `path` (a dotted field path) below `record`.
bool walk(avro_value_t *record, const char *path, size_t path_length, avro_value_t *value_p)
{
    avro_value_t current = *record;
    size_t at = 0;
    while (at <= path_length) {
        const char *dot = static_cast<const char *>(std::memchr(path + at, '.', path_length - at));
        const size_t end = dot ? static_cast<size_t>(dot - path) : path_length;
        // Field names are short: one on the stack, a longer one on the heap.
        char short_name[64];
        std::string long_name;
        const char *name = short_name;
        if (end - at < sizeof short_name) {
            std::memcpy(short_name, path + at, end - at);
            short_name[end - at] = '\0';
        } else {
            long_name.assign(path + at, end - at);
            name = long_name.c_str();
        }
        avro_value_t child;
        if (end == at || avro_value_get_type(&current) != AVRO_RECORD ||
            avro_value_get_by_name(&current, name, &child, nullptr) != 0) {
            ZWS_LOG_ERROR("Failed to get the field '%.*s': %s", static_cast<int>(path_length), path,
                          avro_strerror());
            return false;
        }
        if (avro_value_get_type(&child) == AVRO_UNION) {
            avro_value_t branch;
            if (avro_value_get_current_branch(&child, &branch) != 0 || avro_value_get_type(&branch) == AVRO_NULL) {
                ZWS_LOG_ERROR("Failed to get the field '%.*s': %s", static_cast<int>(path_length), path,
                              "no value in its union");
                return false;
            }
            child = branch;
        }
        current = child;
        at = end + 1;
    }
    *value_p = current;
    return true;
}

bool read_integer(avro_value_t *value, uint64_t *bits_p)
{
    switch (avro_value_get_type(value)) {
    case AVRO_INT32: {
        int32_t v = 0;
        if (avro_value_get_int(value, &v) != 0)
            return false;
        *bits_p = static_cast<uint64_t>(static_cast<int64_t>(v));
        return true;
    }
    case AVRO_INT64: {
        int64_t v = 0;
        if (avro_value_get_long(value, &v) != 0)
            return false;
        *bits_p = static_cast<uint64_t>(v);
        return true;
    }
    case AVRO_BOOLEAN: {
        int v = 0;
        if (avro_value_get_boolean(value, &v) != 0)
            return false;
        *bits_p = v ? 1 : 0;
        return true;
    }
    default: return false;
    }
}

// The reading in the fixed field `path`, read with the `size` and
// `precision` of the record that holds the field.
int scaled_lookup(render_context *context, avro_value_t *field, const char *path, size_t path_length,
                  zws_xml_value_t *value_p)
{
    const void *bytes = nullptr;
    size_t length = 0;
    if (avro_value_get_type(field) != AVRO_FIXED || avro_value_get_fixed(field, &bytes, &length) != 0)
        return 22;
    const std::string_view name(path, path_length);
    const size_t dot = name.rfind('.');
    avro_value_t holder = *context->record;
    if (dot != std::string_view::npos && !walk(context->record, path, dot, &holder))
        return 22;
    avro_value_t size_value;
    avro_value_t precision_value;
    uint64_t size = 0;
    uint64_t precision = 0;
    if (avro_value_get_type(&holder) != AVRO_RECORD ||
        avro_value_get_by_name(&holder, "size", &size_value, nullptr) != 0 ||
        avro_value_get_by_name(&holder, "precision", &precision_value, nullptr) != 0 ||
        !read_integer(&size_value, &size) || !read_integer(&precision_value, &precision)) {
        ZWS_LOG_ERROR("Failed to get the size and precision of '%.*s'", static_cast<int>(path_length), path);
        return 22;
    }
    if (zws_xml_scaled_from_field(bytes, length, static_cast<int32_t>(size), static_cast<int32_t>(precision),
                                  value_p) == 0)
        return 0;
    const std::string_view leaf = dot == std::string_view::npos ? name : name.substr(dot + 1);
    for (const zws_avi_value_field_t &line : context->value_fields) {
        if (line.field && leaf == line.field) {
            ZWS_LOG_ERROR("%s", line.size_text);
            return 22;
        }
    }
    ZWS_LOG_ERROR("Invalid %.*s field size", static_cast<int>(leaf.size()), leaf.data());
    return 22;
}

int record_lookup(void *context_p, const char *name, size_t name_length, zws_xml_kind_t kind,
                  zws_xml_value_t *value_p)
{
    auto *context = static_cast<render_context *>(context_p);
    for (int i = 0; i < context->extra_count; i++) {
        const char *field = context->extra[i].name;
        if (field && std::strlen(field) == name_length && std::memcmp(field, name, name_length) == 0) {
            *value_p = context->extra[i].value;
            return 0;
        }
    }
    avro_value_t value;
    if (!context->record || !walk(context->record, name, name_length, &value))
        return 22;
    switch (kind) {
    case ZWS_XML_U8:
    case ZWS_XML_U16:
    case ZWS_XML_U32:
    case ZWS_XML_U64:
    case ZWS_XML_I32:
    case ZWS_XML_I64:
    case ZWS_XML_X32: {
        uint64_t bits = 0;
        if (!read_integer(&value, &bits))
            return 22;
        *value_p = zws_xml_uint(bits);
        return 0;
    }
    case ZWS_XML_F7: {
        double real = 0;
        if (avro_value_get_type(&value) == AVRO_DOUBLE) {
            if (avro_value_get_double(&value, &real) != 0)
                return 22;
        } else if (avro_value_get_type(&value) == AVRO_FLOAT) {
            float single = 0;
            if (avro_value_get_float(&value, &single) != 0)
                return 22;
            real = single;
        } else {
            return 22;
        }
        *value_p = zws_xml_real(real);
        return 0;
    }
    case ZWS_XML_TEXT:
    case ZWS_XML_URI: {
        const void *bytes = nullptr;
        size_t size = 0;
        const avro_type_t type = avro_value_get_type(&value);
        if (type == AVRO_STRING) {
            const char *text = nullptr;
            if (avro_value_get_string(&value, &text, &size) != 0 || !text)
                return 22;
            *value_p = zws_xml_text(text);
            return 0;
        }
        if (type != AVRO_BYTES || avro_value_get_bytes(&value, &bytes, &size) != 0)
            return 22;
        // Bytes carry no terminator, and a NUL inside ends the text.
        context->scratch.emplace_back(static_cast<const char *>(bytes), size);
        *value_p = zws_xml_text(context->scratch.back().c_str());
        return 0;
    }
    case ZWS_XML_LIST: {
        size_t count = 0;
        if (avro_value_get_type(&value) != AVRO_ARRAY || avro_value_get_size(&value, &count) != 0)
            return 22;
        std::string joined;
        for (size_t i = 0; i < count; i++) {
            avro_value_t element;
            uint64_t bits = 0;
            if (avro_value_get_by_index(&value, i, &element, nullptr) != 0 || !read_integer(&element, &bits))
                return 22;
            joined += std::to_string(bits & 0xFF);
            joined += ',';
        }
        context->scratch.push_back(std::move(joined));
        *value_p = zws_xml_text(context->scratch.back().c_str());
        return 0;
    }
    case ZWS_XML_SCALED: return scaled_lookup(context, &value, name, name_length, value_p);
    }
    return 22;
}

const char *form_template(int web_api_version, const zws_avi_form_t &form, bool *known)
{
    *known = web_api_version == 1 || web_api_version == 2;
    return web_api_version == 1 ? form.older : web_api_version == 2 ? form.current : nullptr;
}

int render(zwu_string_buffer_t out, const char *xml_template, avro_value_t *record, const zws_xml_field_t *extra,
           int extra_count, std::span<const zws_avi_value_field_t> value_fields)
{
    try {
        render_context context{record, extra, extra_count, value_fields, {}};
        return zws_xml_render_lookup(out, xml_template, record_lookup, &context);
    } catch (const std::bad_alloc &) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
}

} // namespace

int zws_avi_render(zwu_string_buffer_t out, const char *xml_template, avro_value_t *record,
                   const zws_xml_field_t *extra, int extra_count)
{
    return render(out, xml_template, record, extra, extra_count, {});
}

int zws_avi_render_form(zwu_string_buffer_t out, int web_api_version, const zws_avi_form_t &form,
                        avro_value_t *record, const zws_xml_field_t *extra, int extra_count)
{
    bool known = false;
    const char *xml_template = form_template(web_api_version, form, &known);
    if (!known) {
        ZWS_LOG_ERROR("Unknown web API version %d", web_api_version);
        return 22;
    }
    return xml_template ? render(out, xml_template, record, extra, extra_count, form.value_fields) : 0;
}

int zws_avi_render_each(zwu_string_buffer_t out, int web_api_version, const zws_avi_form_t &form,
                        avro_value_t *record, const char *array_field, const zws_xml_field_t *extra,
                        int extra_count)
{
    bool known = false;
    const char *xml_template = form_template(web_api_version, form, &known);
    if (!known) {
        ZWS_LOG_ERROR("Unknown web API version %d", web_api_version);
        return 22;
    }
    avro_value_t array;
    size_t count = 0;
    if (!record || avro_value_get_by_name(record, array_field, &array, nullptr) != 0 ||
        avro_value_get_type(&array) != AVRO_ARRAY) {
        ZWS_LOG_ERROR("Failed to get the field '%s': %s", array_field ? array_field : "", avro_strerror());
        return 22;
    }
    if (avro_value_get_size(&array, &count) != 0) {
        ZWS_LOG_ERROR("Failed to get the size of '%s'", array_field);
        return 22;
    }
    if (!xml_template)
        return 0;
    const int mark = zwu_string_buffer_length(out);
    for (size_t i = 0; i < count; i++) {
        avro_value_t entry;
        if (avro_value_get_by_index(&array, i, &entry, nullptr) != 0 ||
            render(out, xml_template, &entry, extra, extra_count, form.value_fields) != 0) {
            // Keep the buffer as it was: no half list.
            out->length = mark;
            out->data[mark] = '\0';
            return 22;
        }
    }
    return 0;
}

int zws_avi_get_array(avro_value_t *record, const char *field, const char *missing_text, const char *size_text,
                      avro_value_t *array_p, size_t *count_p)
{
    if (!record || avro_value_get_by_name(record, field, array_p, nullptr) != 0 ||
        avro_value_get_type(array_p) != AVRO_ARRAY) {
        ZWS_LOG_ERROR(missing_text, avro_strerror());
        return 22;
    }
    if (avro_value_get_size(array_p, count_p) != 0) {
        ZWS_LOG_ERROR("%s", size_text);
        return 22;
    }
    return 0;
}

int zws_avi_get_optional_text(avro_value_t *record, const char *field, const char *record_name, std::string *text_p,
                              int *present_p)
{
    avro_value_t name;
    if (!record || avro_value_get_by_name(record, field, &name, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get '%s' field from %s record: %s", field, record_name, avro_strerror());
        return 22;
    }
    int branch_number = -1;
    if (avro_value_get_type(&name) != AVRO_UNION || avro_value_get_discriminant(&name, &branch_number) != 0) {
        ZWS_LOG_ERROR("Failed to get branch number of '%s' field: %s", field, avro_strerror());
        return 22;
    }
    avro_value_t branch;
    if (avro_value_get_current_branch(&name, &branch) != 0) {
        ZWS_LOG_ERROR("Failed to get '%s' field in branch '%d': %s", field, branch_number, avro_strerror());
        return 22;
    }
    text_p->clear();
    *present_p = 0;
    if (avro_value_get_type(&branch) != AVRO_STRING)
        return 0;
    const char *text = nullptr;
    size_t size = 0;
    if (avro_value_get_string(&branch, &text, &size) != 0 || !text) {
        ZWS_LOG_ERROR("Failed to get '%s' %s", field, avro_strerror());
        return 22;
    }
    // The size counts the terminator; a NUL inside ends the text.
    text_p->assign(text);
    *present_p = 1;
    return 0;
}

int zws_avi_get_address_text(avro_value_t *record, const char *address_field, int32_t address_type,
                             std::string *text_p)
{
    static const uint8_t k_mapped_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    avro_value_t field;
    const void *bytes = nullptr;
    size_t size = 0;
    if (!record || avro_value_get_by_name(record, address_field, &field, nullptr) != 0 ||
        avro_value_get_type(&field) != AVRO_FIXED || avro_value_get_fixed(&field, &bytes, &size) != 0) {
        ZWS_LOG_ERROR("Failed to get the field '%s': %s", address_field, avro_strerror());
        return 22;
    }
    if (size != 16) {
        ZWS_LOG_ERROR("Gateway address of %zu bytes instead of 16", size);
        return 22;
    }
    if (address_type != 0 && address_type != 1) {
        ZWS_LOG_ERROR("Invalid IP address type %d", address_type);
        return 22;
    }
    uint8_t address[16];
    std::memcpy(address, bytes, sizeof address);
    if (address_type == 1 && std::memcmp(address, k_mapped_prefix, sizeof k_mapped_prefix) == 0) {
        std::memmove(address, address + 12, 4);
        std::memset(address + 4, 0, 12);
    }
    char text[ZWU_INET_ADDRSTRLEN] = {};
    if (zwu_inet_ntop_iptype(address, text, static_cast<uint8_t>(address_type), sizeof text) != 0)
        return 22;
    text_p->assign(text);
    return 0;
}
