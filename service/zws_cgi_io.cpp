#include "service/zws_cgi_io.h"

#include "service/zws_fcgi.h"

#include <cstring>

namespace {
const zws_cgi_io_t *g_io = nullptr;
}

void zws_cgi_io_set(const zws_cgi_io_t *io) { g_io = io; }
const zws_cgi_io_t *zws_cgi_io_get() { return g_io ? g_io : zws_fcgi_io(); }

int zws_cgi_io_write_text(const char *text)
{
    const zws_cgi_io_t *io = zws_cgi_io_get();
    return io->write(io->context, text, std::strlen(text));
}
