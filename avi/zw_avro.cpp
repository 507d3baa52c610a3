#include "avi/zw_avro.h"

#include "util/zws_file.h"
#include "util/zws_install.h"
#include "util/zws_log.h"

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/stat.h>

struct zw_avro_holder {
    avro_schema_t protocol_schema;     // owns one reference
    avro_schema_t types_schema;        // borrowed from protocol_schema
    avro_value_iface_t *types_iface;   // owned
    avro_value_iface_t *cookies_iface; // owned
    avro_schema_t messages_schema;     // borrowed from protocol_schema
};

namespace {

constexpr int status_ok = 0;
constexpr int status_fail = 22;

constexpr const char *default_schema_path = "/opt/install/corvale/etc/zwave.avsc";
constexpr const char *schema_dir_below_root = "install/corvale/etc";
constexpr const char *schema_file_name = "zwave.avsc";

// The one holder of the process. The lock keeps a second init from racing
// the first; trellan is single-threaded, but the helpers are shared code.
std::mutex g_holder_lock;
zw_avro_holder *g_holder = nullptr;

// "root/dir/file" in a new heap string, or null.
char *join3(const char *root, const char *dir, const char *file)
{
    const int length = std::snprintf(nullptr, 0, "%s/%s/%s", root, dir, file);
    if (length < 0)
        return nullptr;
    char *path = static_cast<char *>(std::malloc(static_cast<size_t>(length) + 1));
    if (path)
        std::snprintf(path, static_cast<size_t>(length) + 1, "%s/%s/%s", root, dir, file);
    return path;
}

// The protocol file below the install root, or null (with the critical line)
// when there is a root but no file; null without a line when there is no root.
char *find_installed_schema()
{
    char *root = nullptr;
    if (zws_file_get_root_dir_path(&root) != 0)
        return nullptr;
    char *path = join3(root, schema_dir_below_root, schema_file_name);
    struct stat info;
    if (!path || stat(path, &info) != 0) {
        ZWS_LOG_CRITICAL("Failed to find Avro schema file. Falling back to default location.");
        std::free(path);
        path = nullptr;
    }
    zws_file_free_root_dir_path(root);
    return path;
}

int zw_avro_get_schema_from_file(const char *path, avro_schema_t *schema_p)
{
    char *text = nullptr;
    int length = 0;
    if (zws_read_from_file_path_with_dest_alloc(path, &text, &length, 0) != 0)
        return status_fail;
    avro_schema_t schema = nullptr;
    const int parsed = avro_schema_from_json_length(text, static_cast<size_t>(length), &schema);
    zws_read_dest_free(text);
    if (parsed != 0) {
        ZWS_LOG_ERROR("Failed to get schema from JSON text of file '%s': %s", path, avro_strerror());
        return status_fail;
    }
    *schema_p = schema;
    return status_ok;
}

void zw_avro_release_schema(avro_schema_t schema)
{
    if (schema)
        avro_schema_decref(schema);
}

// Parses the protocol file and takes the parts every request needs. On
// failure everything made so far is released and the holder is untouched.
int build_holder(zw_avro_holder &holder, const char *path)
{
    avro_schema_t protocol = nullptr;
    if (zw_avro_get_schema_from_file(path, &protocol) != 0)
        return status_fail;

    avro_schema_t types = avro_schema_get_subschema(protocol, "types");
    if (!types) {
        ZWS_LOG_ERROR("Failed to get the 'types' subschema: %s", avro_strerror());
        zw_avro_release_schema(protocol);
        return status_fail;
    }
    avro_value_iface_t *types_iface = avro_generic_class_from_schema(types);
    if (!types_iface) {
        ZWS_LOG_ERROR("Failed to get 'Types' interface from schema: %s", avro_strerror());
        zw_avro_release_schema(protocol);
        return status_fail;
    }
    // Avro's branch lookup trusts that it is given a union; a broken file
    // must not crash the program.
    int cookies_branch = 0;
    avro_schema_t cookies = nullptr;
    if (!is_avro_union(types))
        avro_set_error("'types' is not a union");
    else
        cookies = avro_schema_union_branch_by_name(types, &cookies_branch, "Cookies");
    avro_value_iface_t *cookies_iface = nullptr;
    if (!cookies)
        ZWS_LOG_ERROR("Failed to get 'Cookies' schema from 'types' schema: %s", avro_strerror());
    else if (!(cookies_iface = avro_generic_class_from_schema(cookies)))
        ZWS_LOG_ERROR("Failed to get 'Cookie' interface from schema: %s", avro_strerror());
    if (!cookies_iface) {
        avro_value_iface_decref(types_iface);
        zw_avro_release_schema(protocol);
        return status_fail;
    }
    // Message lookups read "messages" as a record of one field per message.
    avro_schema_t messages = avro_schema_get_subschema(protocol, "messages");
    if (messages && !is_avro_record(messages)) {
        avro_set_error("'messages' is not a record");
        messages = nullptr;
    }
    if (!messages) {
        ZWS_LOG_ERROR("Failed to get the 'messages' subschema: %s", avro_strerror());
        avro_value_iface_decref(cookies_iface);
        avro_value_iface_decref(types_iface);
        zw_avro_release_schema(protocol);
        return status_fail;
    }
    holder = {protocol, types, types_iface, cookies_iface, messages};
    return status_ok;
}

// Looks the field up and runs the typed operation on it. The operation
// returns 0 or an Avro error code and logs its own "value" line.
template <typename Operation>
int with_field(avro_value_t *record_value, const char *field_name, Operation operation)
{
    avro_value_t field;
    if (avro_value_get_by_name(record_value, field_name, &field, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get the field '%s': %s", field_name, avro_strerror());
        return status_fail;
    }
    return operation(field) == 0 ? status_ok : status_fail;
}

// A heap copy of `size` bytes; a zero size still gives a live pointer so
// that the caller can tell success from failure.
void *copy_bytes(const void *buffer, size_t size)
{
    void *copy = std::malloc(size ? size : 1);
    if (copy && size)
        std::memcpy(copy, buffer, size);
    return copy;
}

// Shared by the fixed and bytes getters, which differ only in the typed call.
template <typename Get>
int get_buffer(avro_value_t *record_value, const char *field_name, void **buffer_p, size_t *size_p, Get get,
               const char *value_text)
{
    return with_field(record_value, field_name, [&](avro_value_t &field) {
        const void *data = nullptr;
        size_t size = 0;
        if (get(field, &data, &size) != 0) {
            ZWS_LOG_ERROR(value_text, field_name, avro_strerror());
            return 1;
        }
        if (size && !data) {
            ZWS_LOG_ERROR(value_text, field_name, "no data behind a non-empty value");
            return 1;
        }
        void *copy = copy_bytes(data, size);
        if (!copy) {
            ZWS_LOG_ERROR("Failed to allocate memory");
            return 1;
        }
        *buffer_p = copy;
        *size_p = size;
        return 0;
    });
}

// Avro copies what it is given, so a null buffer is only sound when there
// is nothing to copy; an empty one is passed as a real (empty) buffer.
void *settable_buffer(const void *buffer, size_t size)
{
    static char empty = 0;
    if (!buffer)
        return size == 0 ? &empty : nullptr;
    return const_cast<void *>(buffer);
}

} // namespace

int zw_avro_init(zw_avro_t *avro_p)
{
    std::lock_guard<std::mutex> guard(g_holder_lock);
    if (g_holder) {
        ZWS_LOG_WARN("Multiple calls to singleton object");
        *avro_p = g_holder;
        return status_ok;
    }
    auto *holder = static_cast<zw_avro_holder *>(std::calloc(1, sizeof(zw_avro_holder)));
    if (!holder) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return status_fail;
    }
    char *path = find_installed_schema();
    if (!path && !(path = strdup(default_schema_path))) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        std::free(holder);
        return status_fail;
    }
    const int status = build_holder(*holder, path);
    std::free(path);
    if (status != 0) {
        std::free(holder);
        return status_fail;
    }
    g_holder = holder;
    *avro_p = holder;
    return status_ok;
}

void zw_avro_exit(zw_avro_t avro)
{
    if (!avro)
        return;
    std::lock_guard<std::mutex> guard(g_holder_lock);
    avro_value_iface_decref(avro->cookies_iface);
    avro_value_iface_decref(avro->types_iface);
    zw_avro_release_schema(avro->protocol_schema);
    // Forget the holder, so that a later init builds a new one instead of
    // handing out the memory released here.
    if (g_holder == avro)
        g_holder = nullptr;
    std::free(avro);
}

avro_schema_t zw_avro_get_protocol_schema(zw_avro_t avro) { return avro->protocol_schema; }
avro_schema_t zw_avro_get_types_schema(zw_avro_t avro) { return avro->types_schema; }
avro_value_iface_t *zw_avro_get_types_iface(zw_avro_t avro) { return avro->types_iface; }
avro_value_iface_t *zw_avro_get_cookies_iface(zw_avro_t avro) { return avro->cookies_iface; }
avro_schema_t zw_avro_get_messages_schema(zw_avro_t avro) { return avro->messages_schema; }

avro_schema_t zw_avro_schema_record_field_get(avro_schema_t record, const char *field_name)
{
    if (!record || !field_name || !is_avro_record(record))
        return nullptr;
    const int index = avro_schema_record_field_get_index(record, field_name);
    return index < 0 ? nullptr : avro_schema_record_field_get_by_index(record, index);
}

int zw_avro_field_get_boolean(avro_value_t *record_value, const char *field_name, int *boolean_value_p)
{
    return with_field(record_value, field_name, [&](avro_value_t &field) {
        int value = 0;
        const int rc = avro_value_get_boolean(&field, &value);
        if (rc != 0)
            ZWS_LOG_ERROR("Failed to get boolean value of the field '%s': %s", field_name, avro_strerror());
        else
            *boolean_value_p = value;
        return rc;
    });
}

int zw_avro_field_get_int(avro_value_t *record_value, const char *field_name, int32_t *integer_value_p)
{
    return with_field(record_value, field_name, [&](avro_value_t &field) {
        int32_t value = 0;
        const int rc = avro_value_get_int(&field, &value);
        if (rc != 0)
            ZWS_LOG_ERROR("Failed to get integer value of the field '%s': %s", field_name, avro_strerror());
        else
            *integer_value_p = value;
        return rc;
    });
}

int zw_avro_field_get_long(avro_value_t *record_value, const char *field_name, int64_t *long_value_p)
{
    return with_field(record_value, field_name, [&](avro_value_t &field) {
        int64_t value = 0;
        const int rc = avro_value_get_long(&field, &value);
        if (rc != 0)
            ZWS_LOG_ERROR("Failed to get integer value of the field '%s': %s", field_name, avro_strerror());
        else
            *long_value_p = value;
        return rc;
    });
}

int zw_avro_field_get_string(avro_value_t *record_value, const char *field_name, char **string_value_p)
{
    return with_field(record_value, field_name, [&](avro_value_t &field) {
        const char *text = nullptr;
        size_t size = 0;
        const int rc = avro_value_get_string(&field, &text, &size);
        if (rc != 0) {
            ZWS_LOG_ERROR("Failed to get string value of the field '%s': %s", field_name, avro_strerror());
            return rc;
        }
        // A string never set has no buffer at all: it is the empty string.
        // The size counts the terminator; never read past it.
        const size_t length = text ? strnlen(text, size) : 0;
        char *copy = static_cast<char *>(std::malloc(length + 1));
        if (!copy) {
            ZWS_LOG_ERROR("Failed to allocate memory");
            return ENOMEM;
        }
        if (length)
            std::memcpy(copy, text, length);
        copy[length] = '\0';
        *string_value_p = copy;
        return 0;
    });
}

int zw_avro_field_get_fixed(avro_value_t *record_value, const char *field_name, void **buffer_p, size_t *size_p)
{
    return get_buffer(
        record_value, field_name, buffer_p, size_p,
        [](avro_value_t &field, const void **data, size_t *size) { return avro_value_get_fixed(&field, data, size); },
        "Failed to get fixed value in the field '%s': %s");
}

int zw_avro_field_get_bytes(avro_value_t *record_value, const char *field_name, void **buffer_p, size_t *size_p)
{
    return get_buffer(
        record_value, field_name, buffer_p, size_p,
        [](avro_value_t &field, const void **data, size_t *size) { return avro_value_get_bytes(&field, data, size); },
        "Failed to get bytes value in the field '%s': %s");
}

int zw_avro_field_get_null(avro_value_t *record_value, const char *field_name)
{
    return with_field(record_value, field_name, [&](avro_value_t &field) {
        const int rc = avro_value_get_null(&field);
        if (rc != 0)
            ZWS_LOG_ERROR("Failed to get null value of the field '%s': %s", field_name, avro_strerror());
        return rc;
    });
}

int zw_avro_field_set_boolean(avro_value_t *record_value, const char *field_name, int boolean_value)
{
    return with_field(record_value, field_name, [&](avro_value_t &field) {
        const int rc = avro_value_set_boolean(&field, boolean_value);
        if (rc != 0)
            ZWS_LOG_ERROR("Failed to set value '%d' to the field '%s': %s", boolean_value, field_name,
                          avro_strerror());
        return rc;
    });
}

int zw_avro_field_set_int(avro_value_t *record_value, const char *field_name, int32_t integer_value)
{
    return with_field(record_value, field_name, [&](avro_value_t &field) {
        const int rc = avro_value_set_int(&field, integer_value);
        if (rc != 0)
            ZWS_LOG_ERROR("Failed to set value '%d' to the field '%s': %s", integer_value, field_name,
                          avro_strerror());
        return rc;
    });
}

int zw_avro_field_set_long(avro_value_t *record_value, const char *field_name, int64_t long_value)
{
    return with_field(record_value, field_name, [&](avro_value_t &field) {
        const int rc = avro_value_set_long(&field, long_value);
        if (rc != 0)
            ZWS_LOG_ERROR("Failed to set value '%" PRId64 "' to the field '%s': %s", long_value, field_name,
                          avro_strerror());
        return rc;
    });
}

int zw_avro_field_set_string(avro_value_t *record_value, const char *field_name, const char *string_value)
{
    return with_field(record_value, field_name, [&](avro_value_t &field) {
        if (!string_value) {
            ZWS_LOG_ERROR("Failed to set value '%s' to the field '%s': %s", "(null)", field_name, "no string given");
            return EINVAL;
        }
        const int rc = avro_value_set_string(&field, string_value);
        if (rc != 0)
            ZWS_LOG_ERROR("Failed to set value '%s' to the field '%s': %s", string_value, field_name,
                          avro_strerror());
        return rc;
    });
}

int zw_avro_field_set_fixed(avro_value_t *record_value, const char *field_name, const void *buffer, size_t size)
{
    return with_field(record_value, field_name, [&](avro_value_t &field) {
        void *data = settable_buffer(buffer, size);
        const int rc = data ? avro_value_set_fixed(&field, data, size) : EINVAL;
        if (rc != 0)
            ZWS_LOG_ERROR("Failed to set fixed value of size '%zu' in the field '%s': %s", size, field_name,
                          data ? avro_strerror() : "no buffer given");
        return rc;
    });
}

int zw_avro_field_set_bytes(avro_value_t *record_value, const char *field_name, const void *buffer, size_t size)
{
    return with_field(record_value, field_name, [&](avro_value_t &field) {
        void *data = settable_buffer(buffer, size);
        const int rc = data ? avro_value_set_bytes(&field, data, size) : EINVAL;
        if (rc != 0)
            ZWS_LOG_ERROR("Failed to set bytes value of size '%zu' in the field '%s': %s", size, field_name,
                          data ? avro_strerror() : "no buffer given");
        return rc;
    });
}

int zw_avro_field_set_null(avro_value_t *record_value, const char *field_name)
{
    return with_field(record_value, field_name, [&](avro_value_t &field) {
        const int rc = avro_value_set_null(&field);
        if (rc != 0)
            ZWS_LOG_ERROR("Failed to set null value to the field '%s': %s", field_name, avro_strerror());
        return rc;
    });
}

int zw_avro_field_set_double(avro_value_t *record_value, const char *field_name, double double_value)
{
    return with_field(record_value, field_name, [&](avro_value_t &field) {
        const int rc = avro_value_set_double(&field, double_value);
        if (rc != 0)
            ZWS_LOG_ERROR("Failed to set value '%lf' to the field '%s': %s", double_value, field_name,
                          avro_strerror());
        return rc;
    });
}

void zw_avro_field_free_string(char *string_value) { std::free(string_value); }
void zw_avro_field_free_fixed(void *buffer) { std::free(buffer); }
void zw_avro_field_free_bytes(void *buffer) { std::free(buffer); }
