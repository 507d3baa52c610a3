// File names and whole-file writes for the host-controller library
// (firmware images, stored network information).
#pragma once

#include <cstddef>
#include <cstdint>

// The text after the last '.' of the file name (the part after the last
// '/'), or none when the name has no '.'.
const char *util_file_ext_get(const char *name);

// Replaces the file at `path` with `size` bytes of `buffer` through the
// shared durable write (zws_write_to_file_path): a temporary file in the
// same folder is written, synced and renamed over the old one, and the
// folder synced, so a failure or a crash keeps the old content. The new file
// takes the old one's permissions (0644 under the umask for a new file). 1
// when the whole buffer is in place, else 0 (also for an absent path, or no
// buffer with a size above 0).
int util_file_write(const char *path, const uint8_t *buffer, size_t size);
