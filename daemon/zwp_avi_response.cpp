#include "daemon/zwp_avi_response.h"

#include "avi/zw_avro.h"
#include "daemon/zwp_avi_request.h"
#include "daemon/zwp_log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

using value_guard = zw_avro_value_guard;

// Fills command.<level> and its parents from the request's chain, the
// mirror of the walk that read them.
int chain_write(const zwp_avi_request_t *request, avro_value_t *command, const char *type_name)
{
    const uint32_t level = request->level;
    avro_value_t records[ZWP_AVI_LEVEL_COUNT];
    if (avro_value_get_by_name(command, zwp_avi_level_links[level].field, &records[level], nullptr) != 0)
        return ZWP_AVI_FAIL_AVRO("Failed to set argument of type '%s'", type_name);
    for (uint32_t at = level; at > ZWP_AVI_LEVEL_NETWORK; at--) {
        const zwp_avi_level_link &parent = zwp_avi_level_links[at - 1];
        if (avro_value_get_by_name(&records[at], parent.field, &records[at - 1], nullptr) != 0)
            return ZWP_AVI_FAIL_AVRO("Failed to set argument of type '%s'", parent.type);
    }
    if (zw_avro_field_set_string(&records[ZWP_AVI_LEVEL_NETWORK], "id",
                                 request->network_id ? request->network_id : "") != 0)
        return ZWP_AVI_FAIL("Failed to set argument of type '%s'", type_name);
    for (uint32_t at = ZWP_AVI_LEVEL_NODE; at <= level; at++) {
        if (zw_avro_field_set_int(&records[at], "id", static_cast<int32_t>(request->ids[at])) != 0)
            return ZWP_AVI_FAIL("Failed to set argument of type '%s'", zwp_avi_level_links[at].type);
    }
    // Only the network level reports when its tree last changed.
    if (level == ZWP_AVI_LEVEL_NETWORK &&
        zw_avro_field_set_long(command, "utime", static_cast<int64_t>(request->utime)) != 0)
        return ZWP_AVI_FAIL("Failed to set argument of type '%s'", type_name);
    return 0;
}

int reply_value_fill(const zwp_avi_request_t *request, avro_value_t *branch, const char *type_name)
{
    if (avro_value_get_type(branch) != AVRO_RECORD || std::strcmp(type_name, "Void") == 0)
        return 0;
    avro_value_t command;
    if (avro_value_get_by_name(branch, "command", &command, nullptr) != 0)
        return ZWP_AVI_FAIL_AVRO("Failed to get 'command' field within argument of type '%s'", type_name);
    if (request->level != ZWP_AVI_LEVEL_ROOT && chain_write(request, &command, type_name) != 0)
        return 22;
    avro_value_t parameter;
    if (!request->result_handler || avro_value_get_by_name(branch, "parameter", &parameter, nullptr) != 0)
        return 0;
    if (request->result_handler(request->results, &parameter) != 0)
        return ZWP_AVI_FAIL("Failed to set results for type '%s'", type_name);
    return 0;
}

// The value after a 4-byte prefix in a buffer that starts at one step and
// grows by one step each time the writer runs out of room.
int reply_serialise(avro_value_t *value, uint8_t **buffer, size_t *length)
{
    size_t capacity = ZWP_AVI_RESPONSE_BUFFER_STEP;
    std::unique_ptr<uint8_t, decltype(&std::free)> data(nullptr, std::free);
    for (;;) {
        auto *grown = static_cast<uint8_t *>(std::realloc(data.get(), capacity));
        if (!grown)
            return ZWP_AVI_FAIL("Failed to allocate memory");
        (void)data.release();
        data.reset(grown);
        avro_writer_t writer =
            avro_writer_memory(reinterpret_cast<char *>(grown) + 4, static_cast<int64_t>(capacity - 4));
        if (!writer)
            return ZWP_AVI_FAIL_AVRO("Failed to create avro writer");
        const int written = avro_value_write(writer, value);
        const int64_t size = written == 0 ? avro_writer_tell(writer) : -1;
        avro_writer_free(writer);
        if (written == ENOSPC) {
            capacity += ZWP_AVI_RESPONSE_BUFFER_STEP;
            continue;
        }
        if (written != 0)
            return ZWP_AVI_FAIL_AVRO("Failed to write response value");
        if (size < 0)
            return ZWP_AVI_FAIL_AVRO("Failed to get buffer size from writer");
        if (static_cast<uint64_t>(size) > 0xFFFFFFFFull)
            return ZWP_AVI_FAIL("Failed to build Avro frame: Message length is too long");
        const auto n = static_cast<uint32_t>(size);
        grown[0] = static_cast<uint8_t>(n >> 24);
        grown[1] = static_cast<uint8_t>(n >> 16);
        grown[2] = static_cast<uint8_t>(n >> 8);
        grown[3] = static_cast<uint8_t>(n);
        *buffer = data.release();
        *length = static_cast<size_t>(n) + 4;
        return 0;
    }
}

} // namespace

int zwp_avi_response_write(zwp_avi_request_t *request, uint8_t **buffer, size_t *length)
{
    if (!request || !request->name || !buffer || !length)
        return 22;
    zwp_avro_schema_t *schema = zwp_avi_schema_get(request->registry);
    avro_schema_t messages = zwp_avro_schema_messages_get(schema);
    avro_schema_t types = zwp_avro_schema_types_get(schema);
    if (!messages || !types)
        return 22;
    const char *type_name = nullptr;
    int index = -1;
    if (const zwp_avro_message_types_t *resolved = zwp_avro_schema_message_types_get(schema, request->name)) {
        type_name = resolved->response_type;
        index = resolved->response_branch;
    } else {
        const char *name = request->name_logged.c_str();
        avro_schema_t entry = zw_avro_schema_record_field_get(messages, request->name);
        if (!entry || !is_avro_record(entry))
            return ZWP_AVI_FAIL_AVRO("Failed to get the schema of '%s' message", name);
        avro_schema_t response = zw_avro_schema_record_field_get(entry, "response");
        if (!response)
            return ZWP_AVI_FAIL_AVRO("Failed to get the response schema of '%s' message", name);
        type_name = avro_schema_type_name(response);
        if (!type_name)
            return ZWP_AVI_FAIL_AVRO("Failed to get type name for response schema of '%s' message", name);
        if (!avro_schema_union_branch_by_name(types, &index, type_name))
            return ZWP_AVI_FAIL_AVRO("Failed to get '%s' schema from 'types' schema", type_name);
    }
    value_guard value;
    if (avro_generic_value_new(zwp_avro_schema_types_iface_get(schema), &value.value) != 0)
        return ZWP_AVI_FAIL_AVRO("Failed to get arg value from type interface '%s'", type_name);
    value.held = true;
    avro_value_t branch;
    if (avro_value_set_branch(&value.value, index, &branch) != 0)
        return ZWP_AVI_FAIL_AVRO("Failed to set branch '%s' of 'types' value", type_name);
    if (reply_value_fill(request, &branch, type_name) != 0)
        return 22;
    return reply_serialise(&value.value, buffer, length);
}
