// The streams of one request: the answer goes to `write`, the request body
// comes from `input`. trellan uses the FastCGI streams (zws_fcgi_io); tests
// put strings in their place.
#pragma once

#include "util/zws_file.h"

#include <cstddef>

struct zws_cgi_io_t {
    void *context;
    // Writes all `length` bytes; 0, or 22 on a stream error.
    int (*write)(void *context, const char *data, size_t length);
    zws_stream_reader_t input;
};

// Null restores the FastCGI streams.
void zws_cgi_io_set(const zws_cgi_io_t *io);
const zws_cgi_io_t *zws_cgi_io_get();
// Writes a NUL-terminated text to the answer; 0 or 22.
int zws_cgi_io_write_text(const char *text);
