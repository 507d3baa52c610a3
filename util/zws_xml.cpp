#include "util/zws_xml.h"

#include "util/zws_log.h"
#include "util/zwu_decimal.h"
#include "util/zwu_uri.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr char k_replacement[] = "\xEF\xBF\xBD"; // U+FFFD

// Restores the buffer to its length before a failed call.
struct buffer_mark {
    zwu_string_buffer_t out;
    int length;
    bool keep = false;
    explicit buffer_mark(zwu_string_buffer_t buffer) : out(buffer), length(buffer->length) {}
    ~buffer_mark()
    {
        if (!keep && out->length > length) {
            out->length = length;
            out->data[length] = '\0';
        }
    }
};

// Length of the valid UTF-8 sequence at `s` (of `left` bytes) that XML may
// hold, or 0 when it is invalid or a character XML forbids.
size_t xml_char_length(const unsigned char *s, size_t left)
{
    const unsigned char c = s[0];
    if (c < 0x80)
        return (c >= 0x20 || c == '\t' || c == '\n' || c == '\r') ? 1 : 0;
    size_t need;
    uint32_t code;
    if (c >= 0xC2 && c <= 0xDF) {
        need = 2;
        code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 3;
        code = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 4;
        code = c & 0x07;
    } else {
        return 0;
    }
    if (left < need)
        return 0;
    for (size_t i = 1; i < need; i++) {
        if ((s[i] & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (s[i] & 0x3F);
    }
    const bool overlong = (need == 3 && code < 0x800) || (need == 4 && code < 0x10000);
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    if (overlong || surrogate || code > 0x10FFFF || code == 0xFFFE || code == 0xFFFF)
        return 0;
    return need;
}

int append(zwu_string_buffer_t out, const char *text, size_t length)
{
    if (length > 0x7FFFFFFF || zwu_string_buffer_append(out, text, static_cast<int>(length)) != 0) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    return 0;
}

// Numbers as printf writes them: decimal as %llu (or with its sign as %lld),
// hex as %08X.
std::string decimal_text(uint64_t value, bool negative)
{
    char text[1 + ZWU_DECIMAL_MAX] = {'-'};
    const size_t sign = negative ? 1 : 0;
    return std::string(text, sign + zwu_decimal_format(text + sign, value));
}

std::string signed_text(int64_t value)
{
    return decimal_text(value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value), value < 0);
}

std::string hex_text(uint32_t value)
{
    static const char k_hex[] = "0123456789ABCDEF";
    char digits[8];
    for (int i = 7; i >= 0; i--, value >>= 4)
        digits[i] = k_hex[value & 0x0F];
    return std::string(digits, sizeof digits);
}

int format_value(std::string &text, zws_xml_kind_t kind, const zws_xml_value_t &value)
{
    char number[64];
    const bool integer = value.type == zws_xml_value_t::integer;
    switch (kind) {
    case ZWS_XML_U8:
    case ZWS_XML_U16:
    case ZWS_XML_U32:
    case ZWS_XML_U64: {
        if (!integer)
            return 22;
        const uint64_t mask = kind == ZWS_XML_U8 ? 0xFFu : kind == ZWS_XML_U16 ? 0xFFFFu
                              : kind == ZWS_XML_U32 ? 0xFFFFFFFFu : ~uint64_t{0};
        text = decimal_text(value.bits & mask, false);
        return 0;
    }
    case ZWS_XML_I32:
        if (!integer)
            return 22;
        text = signed_text(static_cast<int32_t>(static_cast<uint32_t>(value.bits)));
        return 0;
    case ZWS_XML_I64:
        if (!integer)
            return 22;
        text = signed_text(static_cast<int64_t>(value.bits));
        return 0;
    case ZWS_XML_X32:
        if (!integer)
            return 22;
        text = hex_text(static_cast<uint32_t>(value.bits));
        return 0;
    case ZWS_XML_F7:
        if (value.type != zws_xml_value_t::real)
            return 22;
        std::snprintf(number, sizeof number, "%.7lf", value.real_value);
        text = number;
        return 0;
    case ZWS_XML_TEXT:
    case ZWS_XML_URI:
    case ZWS_XML_LIST:
        if (value.type != zws_xml_value_t::text || !value.text_value)
            return 22;
        text = value.text_value;
        return 0;
    case ZWS_XML_SCALED: {
        if (value.type != zws_xml_value_t::scaled)
            return 22;
        const auto integer_value = static_cast<int32_t>(static_cast<uint32_t>(value.bits));
        if (value.decimals <= 0) {
            text = signed_text(integer_value);
            return 0;
        }
        // Divided step by step as the web interface has always shown
        // readings; once the quotient is 0 more steps change nothing, which
        // bounds the loop whatever the decimals say.
        double real = integer_value;
        for (int32_t i = 0; i < value.decimals && real != 0.0; i++)
            real /= 10;
        std::snprintf(number, sizeof number, "%.7lf", real);
        text = number;
        return 0;
    }
    }
    return 22;
}

bool parse_kind(const char *name, size_t length, zws_xml_kind_t *kind)
{
    static constexpr struct {
        std::string_view name;
        zws_xml_kind_t kind;
    } kinds[] = {
        {"u8", ZWS_XML_U8},   {"u16", ZWS_XML_U16}, {"u32", ZWS_XML_U32},   {"u64", ZWS_XML_U64},
        {"i32", ZWS_XML_I32}, {"i64", ZWS_XML_I64}, {"x32", ZWS_XML_X32},   {"f7", ZWS_XML_F7},
        {"text", ZWS_XML_TEXT}, {"uri", ZWS_XML_URI}, {"list", ZWS_XML_LIST}, {"scaled", ZWS_XML_SCALED},
    };
    for (const auto &k : kinds) {
        if (k.name == std::string_view(name, length)) {
            *kind = k.kind;
            return true;
        }
    }
    return false;
}

struct field_table {
    const zws_xml_field_t *fields;
    int count;
};

int table_lookup(void *context, const char *name, size_t name_length, zws_xml_kind_t, zws_xml_value_t *value_p)
{
    const auto *table = static_cast<const field_table *>(context);
    for (int i = 0; i < table->count; i++) {
        const char *field = table->fields[i].name;
        if (field && std::strlen(field) == name_length && std::memcmp(field, name, name_length) == 0) {
            *value_p = table->fields[i].value;
            return 0;
        }
    }
    return 22;
}

} // namespace

zws_xml_value_t zws_xml_int(int64_t value)
{
    return {zws_xml_value_t::integer, static_cast<uint64_t>(value), 0.0, nullptr, 0};
}
zws_xml_value_t zws_xml_uint(uint64_t value) { return {zws_xml_value_t::integer, value, 0.0, nullptr, 0}; }
zws_xml_value_t zws_xml_real(double value) { return {zws_xml_value_t::real, 0, value, nullptr, 0}; }
zws_xml_value_t zws_xml_text(const char *value) { return {zws_xml_value_t::text, 0, 0.0, value, 0}; }
zws_xml_value_t zws_xml_scaled(int32_t value, int32_t decimals)
{
    return {zws_xml_value_t::scaled, static_cast<uint64_t>(static_cast<int64_t>(value)), 0.0, nullptr, decimals};
}

int zws_xml_scaled_from_field(const void *field, size_t field_length, int32_t size, int32_t decimals,
                              zws_xml_value_t *value_p)
{
    constexpr size_t k_field_length = 4;
    if (!field || field_length != k_field_length || !(size == 0 || size == 1 || size == 2 || size == 4))
        return 22;
    const auto *bytes = static_cast<const unsigned char *>(field);
    uint32_t bits = 0;
    for (int32_t i = 0; i < size; i++)
        bits = (bits << 8) | bytes[i];
    // The first byte's top bit is the sign: extend it over the bytes not sent.
    if (size > 0 && size < 4 && (bytes[0] & 0x80) != 0)
        bits |= ~uint32_t{0} << (8 * size);
    *value_p = zws_xml_scaled(static_cast<int32_t>(bits), decimals);
    return 0;
}

int zws_xml_append_escaped(zwu_string_buffer_t out, const char *text, size_t length)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    // Most texts (names, numbers, addresses) are printable ASCII with nothing
    // to escape: appended whole.
    size_t plain = 0;
    while (plain < length && bytes[plain] >= 0x20 && bytes[plain] < 0x7F && bytes[plain] != '<' &&
           bytes[plain] != '>' && bytes[plain] != '&' && bytes[plain] != '"' && bytes[plain] != '\'')
        plain++;
    if (plain == length)
        return length ? append(out, text, length) : 0;
    buffer_mark mark(out);
    // The plain start is taken as scanned.
    size_t run = plain; // bytes at the end of the scanned part that need no change
    size_t at = plain;
    auto flush = [&]() { return run ? append(out, text + at - run, run) : 0; };
    while (at < length) {
        const char *entity = nullptr;
        size_t width = 1;
        switch (bytes[at]) {
        case '<': entity = "&lt;"; break;
        case '>': entity = "&gt;"; break;
        case '&': entity = "&amp;"; break;
        case '"': entity = "&quot;"; break;
        case '\'': entity = "&apos;"; break;
        case '\t': entity = "&#9;"; break;
        case '\n': entity = "&#10;"; break;
        case '\r': entity = "&#13;"; break;
        default:
            width = xml_char_length(bytes + at, length - at);
            if (width == 0) {
                entity = k_replacement;
                width = 1;
            }
        }
        if (!entity) {
            run += width;
            at += width;
            continue;
        }
        if (flush() != 0 || append(out, entity, std::strlen(entity)) != 0)
            return 22;
        run = 0;
        at += width;
    }
    if (flush() != 0)
        return 22;
    mark.keep = true;
    return 0;
}

int zws_xml_append_text(zwu_string_buffer_t out, const char *text)
{
    return text ? zws_xml_append_escaped(out, text, std::strlen(text)) : 0;
}

int zws_xml_append_uri(zwu_string_buffer_t out, const char *text)
{
    if (!text)
        return 0;
    const size_t length = std::strlen(text);
    std::string encoded(length * 3 + 1, '\0');
    if (zwu_uri_encode_string(encoded.data(), encoded.size(), text) != 0)
        return 22;
    return zws_xml_append_text(out, encoded.c_str());
}

int zws_xml_render_lookup(zwu_string_buffer_t out, const char *xml_template, zws_xml_lookup_t lookup, void *context)
{
    if (!xml_template || !lookup)
        return 22;
    buffer_mark mark(out);
    const char *p = xml_template;
    while (*p) {
        const char *brace = std::strpbrk(p, "{}");
        if (!brace)
            return append(out, p, std::strlen(p)) == 0 ? (mark.keep = true, 0) : 22;
        if (append(out, p, static_cast<size_t>(brace - p)) != 0)
            return 22;
        if (brace[1] == brace[0]) { // "{{" or "}}"
            if (append(out, brace, 1) != 0)
                return 22;
            p = brace + 2;
            continue;
        }
        const char *close = *brace == '{' ? std::strchr(brace, '}') : nullptr;
        const char *colon = close ? static_cast<const char *>(std::memchr(brace, ':', close - brace)) : nullptr;
        zws_xml_kind_t kind;
        if (!colon || colon == brace + 1 || !parse_kind(colon + 1, static_cast<size_t>(close - colon - 1), &kind)) {
            ZWS_LOG_ERROR("Malformed placeholder in XML template: %s", brace);
            return 22;
        }
        const char *name = brace + 1;
        const size_t name_length = static_cast<size_t>(colon - name);
        zws_xml_value_t value{};
        std::string text;
        if (lookup(context, name, name_length, kind, &value) != 0 || format_value(text, kind, value) != 0) {
            ZWS_LOG_ERROR("No value of the right type for placeholder '%.*s' in XML template",
                          static_cast<int>(name_length), name);
            return 22;
        }
        const int status = kind == ZWS_XML_URI ? zws_xml_append_uri(out, text.c_str())
                                               : zws_xml_append_escaped(out, text.data(), text.size());
        if (status != 0)
            return 22;
        p = close + 1;
    }
    mark.keep = true;
    return 0;
}

int zws_xml_render(zwu_string_buffer_t out, const char *xml_template, const zws_xml_field_t *fields, int field_count)
{
    field_table table{fields, field_count};
    return zws_xml_render_lookup(out, xml_template, table_lookup, &table);
}
