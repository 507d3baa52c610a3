// Writing the reply's `parameter` record as XML, by template.
//
// A result is described by its two forms, the older one (web API version 1)
// and the current one (version 2), each an XML template of util/zws_xml.h
// whose placeholders name fields of the Avro record:
//     constexpr zws_avi_form_t k_basic = {
//         "<basic update=\"{utime:u64}\" state=\"{value:u8}\" />",
//         "<basic utime=\"{utime:u64}\" state=\"{value:u8}\" />"};
// A placeholder name is a field name, or a dotted path into nested records
// ("host_controller_api_version.major"); a union on the way stands for its
// current branch, and a null branch counts as a missing field. The kind says
// how the value is written; the field's Avro type only has to fit it (int,
// long or boolean for the integer kinds, float or double for f7, string or
// bytes for text and uri, an array of int or long for list). A missing or
// ill-typed field fails the handler: an answer is never written with made-up
// values.
//
// Values that are not in the record (environment, files, values computed by
// a hand-written handler) come as extra fields, looked up first.
//
// A meter or sensor reading is a placeholder of kind "scaled" on its fixed
// field: the value is read from the field with the `size` and `precision`
// fields of the record that holds it (util/zws_xml.h). A field that breaks
// that rule fails the answer with the line the form gives for it.
//
// Status: 0 success, 22 failure; on failure the output keeps what it held.
#pragma once

#include "util/zws_xml.h"
#include "util/zwu_array.h"

#include <avro.h>

#include <cstdint>
#include <span>
#include <string>

// The line logged when the reading in `field` breaks the value rule.
struct zws_avi_value_field_t {
    const char *field;
    const char *size_text;
};

struct zws_avi_form_t {
    const char *older;   // null: the older form writes nothing
    const char *current; // null: the current form writes nothing
    // Set: the answer is the form once per entry of this array field of the
    // reply (zws_avi_render_each); none when the array is empty.
    const char *each = nullptr;
    // The failure lines of the form's "scaled" fields; a field without one
    // logs "Invalid <field> field size".
    std::span<const zws_avi_value_field_t> value_fields = {};
};

// `xml_template` with its placeholders taken from `extra`, then from `record`
// (which may be null when every placeholder is an extra).
int zws_avi_render(zwu_string_buffer_t out, const char *xml_template, avro_value_t *record,
                   const zws_xml_field_t *extra = nullptr, int extra_count = 0);

// The form of `web_api_version` (1 older, 2 current; other versions fail).
int zws_avi_render_form(zwu_string_buffer_t out, int web_api_version, const zws_avi_form_t &form,
                        avro_value_t *record, const zws_xml_field_t *extra = nullptr, int extra_count = 0);

// The form once per entry of the array field `array_field` of `record`, each
// entry standing as the record of its placeholders.
int zws_avi_render_each(zwu_string_buffer_t out, int web_api_version, const zws_avi_form_t &form,
                        avro_value_t *record, const char *array_field, const zws_xml_field_t *extra = nullptr,
                        int extra_count = 0);

// Result handlers made of one form: the root and network kind, and the
// node, endpoint and interface kind (whose combined id is the extra field
// "combo_id"). A form with `each` writes one element per entry.
template <const zws_avi_form_t &Form>
int zws_avi_form_result(int web_api_version, avro_value_t *parameter, zwu_string_buffer_t out)
{
    if (Form.each)
        return zws_avi_render_each(out, web_api_version, Form, parameter, Form.each);
    return zws_avi_render_form(out, web_api_version, Form, parameter);
}

template <const zws_avi_form_t &Form>
int zws_avi_form_level_result(int web_api_version, unsigned long combo_id, avro_value_t *parameter,
                              zwu_string_buffer_t out)
{
    const zws_xml_field_t extra[] = {{"combo_id", zws_xml_uint(combo_id)}};
    if (Form.each)
        return zws_avi_render_each(out, web_api_version, Form, parameter, Form.each, extra, 1);
    return zws_avi_render_form(out, web_api_version, Form, parameter, extra, 1);
}

// Hand-written result handlers share these readers of reply fields; each
// logs its failure and returns 22.

// The array field `field` of `record` and its size. `missing_text` is the
// line for a missing field (with one "%s" for the Avro error), `size_text`
// the line for a size that cannot be had.
int zws_avi_get_array(avro_value_t *record, const char *field, const char *missing_text, const char *size_text,
                      avro_value_t *array_p, size_t *count_p);

// The text of a [string, null] union field: its string, or "" for the null
// branch (`*present_p` 0). `record_name` names the record in the log lines.
int zws_avi_get_optional_text(avro_value_t *record, const char *field, const char *record_name, std::string *text_p,
                              int *present_p);

// The 16-byte `address_field` of `record` written as text by its address
// type (0 IPv6, 1 IPv4 in the first 4 bytes, or IPv4-mapped as some peers
// send it). Any other size or type fails.
int zws_avi_get_address_text(avro_value_t *record, const char *address_field, int32_t address_type,
                             std::string *text_p);
