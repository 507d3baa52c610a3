#include "util/zwu_array.h"

#include "util/zws_log.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr zwu_status_t ok = 0;
constexpr zwu_status_t not_found = 2;
constexpr zwu_status_t refused = 22;
constexpr int growth_step = 16;

// Both containers grow by one step or straight to the minimum asked for,
// whichever is larger; a step that would pass INT_MAX stops at INT_MAX.
int grown_capacity(int capacity, int min_capacity)
{
    const long long stepped = static_cast<long long>(capacity) + growth_step;
    const long long wanted = stepped > min_capacity ? stepped : min_capacity;
    return wanted > INT_MAX ? INT_MAX : static_cast<int>(wanted);
}

// Slot storage holds plain pointers; const elements come back as they went in.
void *as_slot(const void *element) { return const_cast<void *>(element); }

} // namespace

zwu_status_t zwu_array_list_create(int capacity, zwu_array_list_t *array_list_p)
{
    if (capacity < 1)
        capacity = growth_step;
    auto *list = new (std::nothrow) zwu_array_list_s{nullptr, 0, 0};
    if (list == nullptr) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return refused;
    }
    list->data = static_cast<void **>(std::calloc(static_cast<size_t>(capacity), sizeof(void *)));
    if (list->data == nullptr) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        delete list;
        return refused;
    }
    list->capacity = capacity;
    *array_list_p = list;
    return ok;
}

void zwu_array_list_destroy(zwu_array_list_t array_list)
{
    std::free(array_list->data);
    delete array_list;
}

int zwu_array_list_size(zwu_array_list_t array_list) { return array_list->size; }

void *zwu_array_list_get(zwu_array_list_t array_list, int index) { return array_list->data[index]; }

zwu_status_t zwu_array_list_set_min_capacity(zwu_array_list_t array_list, int min_capacity)
{
    if (array_list->capacity >= min_capacity)
        return ok;
    const int capacity = grown_capacity(array_list->capacity, min_capacity);
    void *data = std::realloc(array_list->data, static_cast<size_t>(capacity) * sizeof(void *));
    if (data == nullptr) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return refused;
    }
    array_list->data = static_cast<void **>(data);
    array_list->capacity = capacity;
    return ok;
}

namespace {

zwu_status_t make_room_for_one(zwu_array_list_t array_list)
{
    if (array_list->size < array_list->capacity)
        return ok;
    if (array_list->size == INT_MAX) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return refused;
    }
    return zwu_array_list_set_min_capacity(array_list, array_list->size + 1);
}

} // namespace

zwu_status_t zwu_array_list_add(zwu_array_list_t array_list, const void *element)
{
    if (make_room_for_one(array_list) != ok)
        return refused;
    array_list->data[array_list->size++] = as_slot(element);
    return ok;
}

zwu_status_t zwu_array_list_add_at_index(zwu_array_list_t array_list, const void *element, int index)
{
    if (index < 0 || index > array_list->size)
        return refused;
    if (make_room_for_one(array_list) != ok)
        return refused;
    std::memmove(&array_list->data[index + 1], &array_list->data[index],
                 static_cast<size_t>(array_list->size - index) * sizeof(void *));
    array_list->data[index] = as_slot(element);
    array_list->size++;
    return ok;
}

zwu_status_t zwu_array_list_remove_at_index(zwu_array_list_t array_list, int index)
{
    if (index < 0 || index >= array_list->size)
        return refused;
    std::memmove(&array_list->data[index], &array_list->data[index + 1],
                 static_cast<size_t>(array_list->size - index - 1) * sizeof(void *));
    array_list->size--;
    return ok;
}

zwu_status_t zwu_array_list_remove(zwu_array_list_t array_list, const void *element)
{
    for (int i = 0; i < array_list->size; i++)
        if (array_list->data[i] == element)
            return zwu_array_list_remove_at_index(array_list, i);
    return not_found;
}

void zwu_array_list_remove_all(zwu_array_list_t array_list) { array_list->size = 0; }

int zwu_array_list_contains(zwu_array_list_t array_list, const void *element)
{
    for (int i = 0; i < array_list->size; i++)
        if (array_list->data[i] == element)
            return 1;
    return 0;
}

zwu_status_t zwu_string_buffer_create(int capacity_hint, zwu_string_buffer_t *string_buffer_p)
{
    if (capacity_hint <= 0)
        capacity_hint = growth_step;
    auto *buffer = new (std::nothrow) zwu_string_buffer_s{nullptr, 0, 0};
    if (buffer == nullptr) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return refused;
    }
    buffer->data = static_cast<char *>(std::malloc(static_cast<size_t>(capacity_hint)));
    if (buffer->data == nullptr) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        delete buffer;
        return refused;
    }
    buffer->data[0] = '\0';
    buffer->capacity = capacity_hint;
    *string_buffer_p = buffer;
    return ok;
}

void zwu_string_buffer_destroy(zwu_string_buffer_t string_buffer)
{
    std::free(string_buffer->data);
    delete string_buffer;
}

int zwu_string_buffer_length(zwu_string_buffer_t string_buffer) { return string_buffer->length; }

const char *zwu_string_buffer_get_string(zwu_string_buffer_t string_buffer) { return string_buffer->data; }

zwu_status_t zwu_string_buffer_set_min_capacity(zwu_string_buffer_t string_buffer, int min_capacity)
{
    if (string_buffer->capacity >= min_capacity)
        return ok;
    const int capacity = grown_capacity(string_buffer->capacity, min_capacity);
    void *data = std::realloc(string_buffer->data, static_cast<size_t>(capacity));
    if (data == nullptr) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return refused;
    }
    string_buffer->data = static_cast<char *>(data);
    string_buffer->capacity = capacity;
    return ok;
}

namespace {

// Room for `extra` more characters and the terminator, refusing a total that
// an int cannot hold.
zwu_status_t make_room(zwu_string_buffer_t string_buffer, size_t extra)
{
    const size_t wanted = static_cast<size_t>(string_buffer->length) + extra + 1;
    if (extra > static_cast<size_t>(INT_MAX) || wanted > static_cast<size_t>(INT_MAX)) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return refused;
    }
    return zwu_string_buffer_set_min_capacity(string_buffer, static_cast<int>(wanted));
}

} // namespace

zwu_status_t zwu_string_buffer_append(zwu_string_buffer_t string_buffer, const char *string, int length)
{
    if (length <= 0)
        return ok;
    // The text may end before `length`; only what is there is taken, so the
    // recorded length never runs past the terminator.
    const size_t count = strnlen(string, static_cast<size_t>(length));
    if (make_room(string_buffer, count) != ok)
        return refused;
    std::memcpy(string_buffer->data + string_buffer->length, string, count);
    string_buffer->length += static_cast<int>(count);
    string_buffer->data[string_buffer->length] = '\0';
    return ok;
}

zwu_status_t zwu_string_buffer_append_string(zwu_string_buffer_t string_buffer, const char *string)
{
    const size_t count = std::strlen(string);
    if (make_room(string_buffer, count) != ok)
        return refused;
    return zwu_string_buffer_append(string_buffer, string, static_cast<int>(count));
}

zwu_status_t zwu_string_buffer_append_format(zwu_string_buffer_t string_buffer, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int measured = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (measured < 0) {
        ZWS_LOG_ERROR("Failed to get length of formatted string");
        return refused;
    }
    if (make_room(string_buffer, static_cast<size_t>(measured)) != ok)
        return refused;
    char *tail = string_buffer->data + string_buffer->length;
    va_start(args, format);
    const int written = std::vsnprintf(tail, static_cast<size_t>(measured) + 1, format, args);
    va_end(args);
    if (written < 0) {
        *tail = '\0';
        ZWS_LOG_ERROR("Failed to append formatted string");
        return refused;
    }
    string_buffer->length += written < measured ? written : measured;
    string_buffer->data[string_buffer->length] = '\0';
    return ok;
}
