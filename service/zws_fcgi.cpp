// The only file that includes the FastCGI kit's stdio layer (see zws_fcgi.h).
#include "service/zws_fcgi.h"

#include <cstdio>

// The process's own standard error, reached before fcgi_stdio.h renames the
// stdio calls: until the first request is accepted the kit's streams are not
// set up, and log lines go here.
namespace {
int real_err_vprintf(const char *format, va_list args) { return std::vfprintf(stderr, format, args); }
int real_err_write(const char *data, size_t length) { return std::fwrite(data, 1, length, stderr) == length ? 0 : 22; }
int real_err_flush() { return std::fflush(stderr); }
} // namespace

#include <fcgi_stdio.h>
#include <fcgiapp.h>
#include <fcgios.h>

namespace {

bool g_accepted = false;

int out_write(void *, const char *data, size_t length)
{
    if (length == 0)
        return 0;
    const size_t written = FCGI_fwrite(const_cast<char *>(data), 1, length, FCGI_stdout);
    return written == length && !FCGI_ferror(FCGI_stdout) ? 0 : 22;
}

size_t in_read(void *, char *buffer, size_t size) { return FCGI_fread(buffer, 1, size, FCGI_stdin); }
int in_error(void *) { return FCGI_ferror(FCGI_stdin); }
int in_eof(void *) { return FCGI_feof(FCGI_stdin); }

const zws_cgi_io_t k_fcgi_io = {nullptr, out_write, {nullptr, in_read, in_error, in_eof}};

} // namespace

int zws_fcgi_init() { return FCGX_Init() == 0 ? 0 : 22; }
int zws_fcgi_accept()
{
    g_accepted = true;
    return FCGI_Accept();
}
void zws_fcgi_set_exit_status(int status) { FCGI_SetExitStatus(status); }
void zws_fcgi_shutdown() { OS_LibShutdown(); }
const zws_cgi_io_t *zws_fcgi_io() { return &k_fcgi_io; }

int zws_fcgi_err_vprintf(const char *format, va_list args)
{
    return g_accepted ? FCGI_vfprintf(FCGI_stderr, format, args) : real_err_vprintf(format, args);
}
int zws_fcgi_err_write(const char *data, size_t length)
{
    if (!g_accepted)
        return real_err_write(data, length);
    return FCGI_fwrite(const_cast<char *>(data), 1, length, FCGI_stderr) == length ? 0 : 22;
}
int zws_fcgi_err_flush() { return g_accepted ? FCGI_fflush(FCGI_stderr) : real_err_flush(); }
