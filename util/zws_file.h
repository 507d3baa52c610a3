// File-name safety, whole-stream / whole-file reading and durable writing.
//
// The whole-stream reader is written once over a small reader interface, so
// that the same loop serves stdio streams and other stream layers (trellan
// reads the FastCGI request body through its kit's stream type with an adapter
// that fills in zws_stream_reader_t).
//
// Include this header before any header that renames FILE (fcgi_stdio.h):
// the calls below take the C library's own FILE.
//
// Status: 0 success, 22 failure (one "error" line each).
#pragma once

#include <cstddef>
#include <cstdio>

using zws_status_t = int;

// 0, or 22 with "File name '%s' is unsafe" when ".." is a whole path component
// (a/../b, .., ../x, x/..); a..b, ..., x/..y and "" are safe.
zws_status_t zws_file_name_is_safe(const char *file_name);

// A readable stream: the three calls mirror fread/ferror/feof.
struct zws_stream_reader_t {
    void *context;
    // Reads up to `size` bytes into `buffer`; returns how many were read.
    size_t (*read)(void *context, char *buffer, size_t size);
    // Nonzero when the stream has seen a read error (errno holds its cause).
    int (*error)(void *context);
    // Nonzero when the stream has reached its end.
    int (*eof)(void *context);
};

// Reads the rest of the stream into a new NUL-terminated buffer (*dest_p,
// released with zws_read_dest_free) and its length without the terminator.
// The buffer grows by `block_size_hint` bytes per read (0 or less: 128).
// Out arguments are written only on success.
zws_status_t zws_read_from_stream_with_dest_alloc(const zws_stream_reader_t *stream, char **dest_p, int *length,
                                                  int block_size_hint);
// The same over a stdio stream.
zws_status_t zws_read_from_FILE_with_dest_alloc(FILE *file, char **dest_p, int *length, int block_size_hint);
// The whole file at `path` (opened "rb"); a hint of 0 means the file's size
// plus one, so the file arrives in one read.
zws_status_t zws_read_from_file_path_with_dest_alloc(const char *path, char **dest_p, int *length,
                                                     int block_size_hint);
// Releases a buffer from the readers above; null is allowed.
void zws_read_dest_free(char *dest);

// Writes `length` bytes of `buffer` to the stream; 22 with "Failed to write
// file: %s" unless every byte was taken.
zws_status_t zws_write_to_FILE(FILE *file, const char *buffer, size_t length);
// Replaces the content of the file at `path` with `length` bytes of `buffer`
// so that a crash or a failure leaves either the old or the new content,
// never a mix: the bytes go to a new file beside the target, which is synced,
// renamed over the target, and the folder synced. The new file takes the old
// one's mode (else 0644 under the umask); a symbolic link is written through.
// On failure the old file stays as it was and nothing is left behind, except
// when only the final folder sync failed: the new content is then in place
// but may not survive a crash.
zws_status_t zws_write_to_file_path(const char *path, const char *buffer, size_t length);
