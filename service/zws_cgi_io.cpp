#include "service/zws_cgi_io.h"

#include "service/zws_fcgi.h"

#include <cstring>

namespace {

int fcgi_write(void *, const char *data, size_t length) { return zws_fcgi_out_write(data, length); }
size_t fcgi_read(void *, char *buffer, size_t size) { return zws_fcgi_in_read(buffer, size); }
int fcgi_error(void *) { return zws_fcgi_in_error(); }
int fcgi_eof(void *) { return zws_fcgi_in_eof(); }

const zws_cgi_io_t k_fcgi_io = {nullptr, fcgi_write, {nullptr, fcgi_read, fcgi_error, fcgi_eof}};
const zws_cgi_io_t *g_io = nullptr;

} // namespace

void zws_cgi_io_set(const zws_cgi_io_t *io) { g_io = io; }
const zws_cgi_io_t *zws_cgi_io_get() { return g_io ? g_io : &k_fcgi_io; }

int zws_cgi_io_write_text(const char *text)
{
    const zws_cgi_io_t *io = zws_cgi_io_get();
    return io->write(io->context, text, std::strlen(text));
}
