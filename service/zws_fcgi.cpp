// The only file that includes the FastCGI kit's stdio layer (see zws_fcgi.h).
#include "service/zws_fcgi.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

extern char **environ;

// The process's own standard error, reached before fcgi_stdio.h renames the
// stdio calls: outside a request the kit's streams are not set up (before
// the first accept) or already released (after the last), and log lines go
// here.
namespace {
int real_err_write(const char *data, size_t length) { return std::fwrite(data, 1, length, stderr) == length ? 0 : 22; }
int real_err_flush() { return std::fflush(stderr); }
} // namespace

#include <fcgi_stdio.h>
#include <fcgiapp.h>
#include <fcgios.h>
#include <fastcgi.h>

namespace {

// True while the kit's request streams are valid to write.
bool g_in_request = false;
// The process environment from before the first accept: the kit points
// `environ` at each request's parameters and frees them when the next accept
// fails, so the shut-down path gets this one back.
char **g_process_environ = nullptr;

std::atomic<bool> g_stop{false};
// /dev/null, opened at start-up, so that the signal handler can put it in
// place of the listening socket with dup2 alone.
int g_null_fd = -1;

// The kit retries an interrupted accept for ever, so the handler takes the
// listening socket away: the accept in progress (or the next one, when a
// request is being served) then fails and the loop ends the normal way.
extern "C" void on_sigterm(int)
{
    const int saved = errno;
    g_stop.store(true);
    if (g_null_fd >= 0)
        dup2(g_null_fd, FCGI_LISTENSOCK_FILENO);
    errno = saved;
}

void install_sigterm()
{
    g_null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    struct sigaction action {};
    action.sa_handler = on_sigterm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    // Installed before the kit starts, which then keeps it rather than its
    // own handler (that one only marks a shut-down for after the next
    // request).
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace

int zws_fcgi_init()
{
    g_process_environ = environ;
    // As a plain CGI program trellan serves one request and ends; SIGTERM
    // keeps its default there.
    if (!FCGX_IsCGI())
        install_sigterm();
    return FCGX_Init() == 0 ? 0 : 22;
}

int zws_fcgi_accept()
{
    // The accept first finishes the request before (its streams end here).
    g_in_request = false;
    const int status = FCGI_Accept();
    g_in_request = status >= 0;
    if (!g_in_request)
        environ = g_process_environ;
    return status;
}

void zws_fcgi_set_exit_status(int status) { FCGI_SetExitStatus(status); }
void zws_fcgi_shutdown() { OS_LibShutdown(); }
bool zws_fcgi_stop_requested() { return g_stop.load(); }

int zws_fcgi_out_write(const char *data, size_t length)
{
    if (length == 0)
        return 0;
    const size_t written = FCGI_fwrite(const_cast<char *>(data), 1, length, FCGI_stdout);
    return written == length && !FCGI_ferror(FCGI_stdout) ? 0 : 22;
}

int zws_fcgi_out_flush() { return g_in_request ? FCGI_fflush(FCGI_stdout) : 0; }

size_t zws_fcgi_in_read(char *buffer, size_t size) { return FCGI_fread(buffer, 1, size, FCGI_stdin); }
int zws_fcgi_in_error() { return FCGI_ferror(FCGI_stdin); }
int zws_fcgi_in_eof() { return FCGI_feof(FCGI_stdin); }

int zws_fcgi_err_write(const char *data, size_t length)
{
    if (!g_in_request)
        return real_err_write(data, length);
    return FCGI_fwrite(const_cast<char *>(data), 1, length, FCGI_stderr) == length ? 0 : 22;
}

int zws_fcgi_err_flush() { return g_in_request ? FCGI_fflush(FCGI_stderr) : real_err_flush(); }
