// Growable array of untyped element pointers and growable NUL-terminated
// string buffer. Both grow in steps of 16 (slots or bytes), or straight to the
// size asked for when that is larger. Neither owns what it points to beyond its
// own storage, and neither locks: a container shared between threads is
// guarded by its owner's lock.
//
// Status: 0 success, 22 refused or out of memory, 2 element not found
// (zwu_array_list_remove). Handles come from the create calls and are never
// null; no call checks them.
#pragma once

#include <cstdint>

using zwu_status_t = int;

struct zwu_array_list_s {
    void **data;  // `capacity` slots; elements in slots 0..size-1, insertion order
    int capacity; // slots allocated
    int size;     // slots in use
};
typedef struct zwu_array_list_s *zwu_array_list_t;

// A capacity below 1 means 16.
zwu_status_t zwu_array_list_create(int capacity, zwu_array_list_t *array_list_p);
// Releases the slots and the record, never the elements.
void zwu_array_list_destroy(zwu_array_list_t array_list);
int zwu_array_list_size(zwu_array_list_t array_list);
// The caller keeps 0 <= index < size.
void *zwu_array_list_get(zwu_array_list_t array_list, int index);
// Elements are held as plain pointers; const records (descriptor tables) may
// be added directly, and the owner knows how to read them back.
zwu_status_t zwu_array_list_add(zwu_array_list_t array_list, const void *element);
// 0 <= index <= size, later elements move up one slot; any other index: 22.
zwu_status_t zwu_array_list_add_at_index(zwu_array_list_t array_list, const void *element, int index);
// Removes the first slot holding the same pointer; 2 when none does.
zwu_status_t zwu_array_list_remove(zwu_array_list_t array_list, const void *element);
// 0 <= index < size; any other index: 22 and nothing changes.
zwu_status_t zwu_array_list_remove_at_index(zwu_array_list_t array_list, int index);
// size := 0; the slots stay allocated.
void zwu_array_list_remove_all(zwu_array_list_t array_list);
// 1 when some slot holds the same pointer, else 0.
int zwu_array_list_contains(zwu_array_list_t array_list, const void *element);
zwu_status_t zwu_array_list_set_min_capacity(zwu_array_list_t array_list, int min_capacity);

struct zwu_string_buffer_s {
    char *data;   // the text, NUL-terminated at `length`
    int capacity; // bytes allocated, at least length + 1
    int length;   // text length without the terminator
};
typedef struct zwu_string_buffer_s *zwu_string_buffer_t;

// A hint of 0 or less means 16; the text starts empty.
zwu_status_t zwu_string_buffer_create(int capacity_hint, zwu_string_buffer_t *string_buffer_p);
void zwu_string_buffer_destroy(zwu_string_buffer_t string_buffer);
int zwu_string_buffer_length(zwu_string_buffer_t string_buffer);
// Owned by the buffer; valid until the next append or the destroy.
const char *zwu_string_buffer_get_string(zwu_string_buffer_t string_buffer);
zwu_status_t zwu_string_buffer_append_string(zwu_string_buffer_t string_buffer, const char *string);
// printf-style; a failed append leaves the text and its length unchanged.
zwu_status_t zwu_string_buffer_append_format(zwu_string_buffer_t string_buffer, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
zwu_status_t zwu_string_buffer_set_min_capacity(zwu_string_buffer_t string_buffer, int min_capacity);
// Appends at most `length` characters of `string` (fewer when its text ends
// sooner); 22 when the result would not fit an int.
zwu_status_t zwu_string_buffer_append(zwu_string_buffer_t string_buffer, const char *string, int length);
