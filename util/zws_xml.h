// The one XML writer of trellan's answers.
//
// Every attribute value and text node that carries data (from a user, a
// device, the daemon or the environment) goes through zws_xml_append_escaped,
// which writes '<', '>', '&', '"' and '\'' as entities, keeps tabs and line
// ends as character references, and replaces what XML 1.0 cannot hold at all
// (other control characters, invalid UTF-8, U+FFFE/U+FFFF) by U+FFFD, so an
// answer stays well-formed whatever was written into a device or a form.
//
// Answers are described as templates: literal markup with typed placeholders
// "{name:kind}", for example
//     <thrmo_fan_mode update="{utime:u64}" mode="{mode:u8}" />
// Kinds:
//     u8 u16 u32 u64   unsigned decimal of the value's low 8/16/32/64 bits
//     i32 i64          signed decimal of the value's low 32/64 bits
//     x32              eight upper-case hexadecimal digits of the low 32 bits
//     f7               a real number as "%.7lf"
//     text             a text, escaped
//     uri              a text percent-encoded for the web interface, then escaped
//     list             a list of numbers, each its low-8-bit decimal and a comma
//                      ("1,6,7,"; empty list: empty text); the value is the
//                      list already joined, as a text, escaped
//     scaled           a meter or sensor reading: a signed integer with p
//                      decimals (zws_xml_scaled), written "%d" when p is 0 (or
//                      less), else divided by 10 p times in double precision
//                      and written "%.7lf" ("-0.2000000")
// "{{" and "}}" write a literal brace. Values come from a table of named
// fields or from a lookup callback (a later message family reads them from
// an Avro record), so a message's answer is a table row, not code.
//
// Status: 0 success, 22 failure (one "error" line); on failure the buffer is
// left as it was before the call.
#pragma once

#include "util/zwu_array.h"

#include <cstddef>
#include <cstdint>

enum zws_xml_kind_t {
    ZWS_XML_U8,
    ZWS_XML_U16,
    ZWS_XML_U32,
    ZWS_XML_U64,
    ZWS_XML_I32,
    ZWS_XML_I64,
    ZWS_XML_X32,
    ZWS_XML_F7,
    ZWS_XML_TEXT,
    ZWS_XML_URI,
    ZWS_XML_LIST,
    ZWS_XML_SCALED,
};

struct zws_xml_value_t {
    enum { integer, real, text, scaled } type;
    uint64_t bits;    // integer and scaled: two's complement bits
    double real_value; // real
    const char *text_value; // text, NUL-terminated, borrowed
    int32_t decimals; // scaled: the p of its kind
};

zws_xml_value_t zws_xml_int(int64_t value);
zws_xml_value_t zws_xml_uint(uint64_t value);
zws_xml_value_t zws_xml_real(double value);
zws_xml_value_t zws_xml_text(const char *value);
zws_xml_value_t zws_xml_scaled(int32_t value, int32_t decimals);

// The reading that devices send as a field of `field_length` bytes holding
// the value, big-endian, in its first `size` bytes (the first of them
// carrying the sign; size 0 is the value 0), with `decimals` decimals. The
// field must be 4 bytes and `size` 0, 1, 2 or 4: anything else is 22 (not
// logged: the caller names the field), and the field is not read.
int zws_xml_scaled_from_field(const void *field, size_t field_length, int32_t size, int32_t decimals,
                              zws_xml_value_t *value_p);

struct zws_xml_field_t {
    const char *name;
    zws_xml_value_t value;
};

// Gives the value of placeholder `name` (name_length bytes, not terminated)
// that the template wants as `kind`; 0 or 22.
typedef int (*zws_xml_lookup_t)(void *context, const char *name, size_t name_length, zws_xml_kind_t kind,
                                zws_xml_value_t *value_p);

int zws_xml_render(zwu_string_buffer_t out, const char *xml_template, const zws_xml_field_t *fields, int field_count);
int zws_xml_render_lookup(zwu_string_buffer_t out, const char *xml_template, zws_xml_lookup_t lookup, void *context);

// `length` bytes of `text`, escaped.
int zws_xml_append_escaped(zwu_string_buffer_t out, const char *text, size_t length);
// A NUL-terminated text, escaped (null writes nothing).
int zws_xml_append_text(zwu_string_buffer_t out, const char *text);
// A NUL-terminated text percent-encoded, then escaped.
int zws_xml_append_uri(zwu_string_buffer_t out, const char *text);
