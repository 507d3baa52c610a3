// Avro protocol helpers shared by both programs.
//
// zwave.avsc is one JSON Avro schema: a record whose field "types" is the
// union of every request and reply record (with "Void" and "Cookies") and
// whose field "messages" holds one record {request, response} per message.
// The holder keeps the parsed file and the value classes every request and
// reply needs. The field helpers read and write one field of an Avro record
// by name; they keep no state and may be called from many threads at once.
//
// Status: 0 success, 22 failure after one log line. Out arguments are
// written only on success.
#pragma once

#include <avro.h>

#include <cstddef>
#include <cstdint>

struct zw_avro_holder;
// Handle to the process-wide protocol holder.
using zw_avro_t = zw_avro_holder *;

// Builds the holder from "<install root>/install/corvale/etc/zwave.avsc"
// (or the compiled-in default path), or hands back the one already built.
int zw_avro_init(zw_avro_t *avro_p);
// Releases the holder; a later zw_avro_init builds a new one.
void zw_avro_exit(zw_avro_t avro);

// One Avro value owned by a scope: released when the scope ends, once it was
// made (set `held` right after a successful avro_generic_value_new).
struct zw_avro_value_guard {
    avro_value_t value{};
    bool held = false;
    zw_avro_value_guard() = default;
    zw_avro_value_guard(const zw_avro_value_guard &) = delete;
    zw_avro_value_guard &operator=(const zw_avro_value_guard &) = delete;
    ~zw_avro_value_guard()
    {
        if (held)
            avro_value_decref(&value);
    }
};

// A value kept from one request to the next: a read or a fresh set of its
// fields replaces it, and making and freeing the value tree for every
// request costs more than the read itself. A value is made anew when the
// value class changed (a held value keeps its class alive, so a new class is
// never mistaken for the old one). One per thread: it is not locked.
class zw_avro_kept_value {
public:
    zw_avro_kept_value() = default;
    zw_avro_kept_value(const zw_avro_kept_value &) = delete;
    zw_avro_kept_value &operator=(const zw_avro_kept_value &) = delete;
    ~zw_avro_kept_value() { release(); }
    // Frees the value now (after a large request, whose value tree is not
    // worth holding on to).
    void release()
    {
        if (held_)
            avro_value_decref(&value_);
        held_ = false;
        iface_ = nullptr;
    }
    // The value, reset; null when no value could be made. A null iface: a
    // string value.
    avro_value_t *take(avro_value_iface_t *iface)
    {
        if (held_ && iface_ == iface && avro_value_reset(&value_) == 0)
            return &value_;
        release();
        const int made = iface ? avro_generic_value_new(iface, &value_) : avro_generic_string_new(&value_, "");
        if (made != 0)
            return nullptr;
        held_ = true;
        iface_ = iface;
        return &value_;
    }

private:
    avro_value_iface_t *iface_ = nullptr;
    avro_value_t value_{};
    bool held_ = false;
};

// The parts of the holder, borrowed for as long as the holder lives.
avro_schema_t zw_avro_get_protocol_schema(zw_avro_t avro);
avro_schema_t zw_avro_get_types_schema(zw_avro_t avro);
avro_value_iface_t *zw_avro_get_types_iface(zw_avro_t avro);
avro_value_iface_t *zw_avro_get_cookies_iface(zw_avro_t avro);
avro_schema_t zw_avro_get_messages_schema(zw_avro_t avro);

// The schema of a record's field, borrowed from the record; null when the
// schema is not a record or has no such field (the Avro library's own
// avro_schema_record_field_get does not survive a missing name). Nothing is
// logged.
avro_schema_t zw_avro_schema_record_field_get(avro_schema_t record, const char *field_name);

// Field getters. String, fixed and bytes hand out new heap copies that the
// caller releases with the matching free call; a string copy is always
// NUL-terminated, fixed and bytes copies are exactly *size_p bytes long.
int zw_avro_field_get_boolean(avro_value_t *record_value, const char *field_name, int *boolean_value_p);
int zw_avro_field_get_int(avro_value_t *record_value, const char *field_name, int32_t *integer_value_p);
int zw_avro_field_get_long(avro_value_t *record_value, const char *field_name, int64_t *long_value_p);
int zw_avro_field_get_string(avro_value_t *record_value, const char *field_name, char **string_value_p);
int zw_avro_field_get_fixed(avro_value_t *record_value, const char *field_name, void **buffer_p, size_t *size_p);
int zw_avro_field_get_bytes(avro_value_t *record_value, const char *field_name, void **buffer_p, size_t *size_p);
int zw_avro_field_get_null(avro_value_t *record_value, const char *field_name);

// Field setters. The Avro value keeps its own copy of strings and buffers.
// A fixed buffer must have the fixed type's size; a null bytes buffer is
// accepted only with size 0 and stores the empty byte string.
int zw_avro_field_set_boolean(avro_value_t *record_value, const char *field_name, int boolean_value);
int zw_avro_field_set_int(avro_value_t *record_value, const char *field_name, int32_t integer_value);
int zw_avro_field_set_long(avro_value_t *record_value, const char *field_name, int64_t long_value);
int zw_avro_field_set_string(avro_value_t *record_value, const char *field_name, const char *string_value);
int zw_avro_field_set_fixed(avro_value_t *record_value, const char *field_name, const void *buffer, size_t size);
int zw_avro_field_set_bytes(avro_value_t *record_value, const char *field_name, const void *buffer, size_t size);
int zw_avro_field_set_null(avro_value_t *record_value, const char *field_name);
int zw_avro_field_set_double(avro_value_t *record_value, const char *field_name, double double_value);

void zw_avro_field_free_string(char *string_value);
void zw_avro_field_free_fixed(void *buffer);
void zw_avro_field_free_bytes(void *buffer);
