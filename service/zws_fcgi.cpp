// The only file that includes the FastCGI kit (see zws_fcgi.h). It works on
// one request record of its own rather than the kit's stdio layer, so that
// an accept can be interrupted (SIGTERM). The kit accepts and reads the
// request; the records of the answer, of the log and of the request's end
// are made here and go out together in one write when the request ends
// (or earlier when an answer grows large), the answer ahead of the log.
#include "service/zws_fcgi.h"

#include <fastcgi.h>
#include <fcgiapp.h>
#include <fcgios.h>

#include <arpa/inet.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

extern char **environ;

namespace {

// As a plain CGI program trellan serves one request on its own standard
// streams and ends.
bool g_cgi = false;
int g_cgi_requests = 0;
FCGX_Request g_request;
// True while the request's streams are valid to use.
bool g_in_request = false;
// The process environment from before the first accept: each request's
// parameters become `environ` while it is served, and the kit frees them.
char **g_process_environ = nullptr;

std::atomic<bool> g_stop{false};
// The request's answer bytes not yet made into records.
std::string g_answer;
// Whole records not yet written: the answer's, then the log's.
std::string g_pending;
// Output this large goes out before the request ends.
constexpr size_t k_output_hold = 64 * 1024;

// /dev/null, opened at start-up, so that the signal handler can put it in
// place of the listening socket with dup2 alone: an accept that the signal
// did not interrupt (it came just before the call) then fails at once.
int g_null_fd = -1;

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
    action.sa_flags = 0; // no restart: the accept returns
    // Installed before the kit starts, which then keeps it rather than its
    // own handler (that one only marks a shut-down for after the next
    // request).
    sigaction(SIGTERM, &action, nullptr);
}

int real_err_write(const char *data, size_t length) { return std::fwrite(data, 1, length, stderr) == length ? 0 : 22; }

constexpr size_t k_record_text = ZWS_FCGI_RECORD_TEXT_MAX;

void append_record(std::string &out, unsigned char type, int request_id, const char *text, size_t length)
{
    const size_t padding = (8 - length % 8) % 8;
    const unsigned char header[8] = {FCGI_VERSION_1,
                                     type,
                                     static_cast<unsigned char>(request_id >> 8),
                                     static_cast<unsigned char>(request_id),
                                     static_cast<unsigned char>(length >> 8),
                                     static_cast<unsigned char>(length),
                                     static_cast<unsigned char>(padding),
                                     0};
    out.append(reinterpret_cast<const char *>(header), sizeof header);
    out.append(text, length);
    out.append(padding, '\0');
}

bool write_all(int fd, const char *data, size_t length)
{
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

// The answer so far, as records behind those already pending.
void answer_stage()
{
    // Records hold at most 65535 bytes; whole multiples of 8 need no padding.
    constexpr size_t k_record_max = 65528;
    for (size_t at = 0; at < g_answer.size(); at += k_record_max)
        append_record(g_pending, FCGI_STDOUT, g_request.requestId, g_answer.data() + at,
                      std::min(k_record_max, g_answer.size() - at));
    g_answer.clear();
}

bool pending_write()
{
    const bool written = write_all(g_request.ipcFd, g_pending.data(), g_pending.size());
    g_pending.clear();
    return written;
}

// A request without a body has sent its whole input with its parameters: the
// empty record that ends it is read from what the kit holds already.
bool input_ended()
{
    if (FCGX_HasSeenEOF(g_request.in))
        return true;
    const char *length = FCGX_GetParam("CONTENT_LENGTH", g_request.envp);
    if (length && *length && std::strcmp(length, "0") != 0)
        return false;
    char trash[256];
    while (FCGX_GetStr(trash, sizeof trash, g_request.in) > 0) {
    }
    return FCGX_HasSeenEOF(g_request.in) != 0;
}

void finish_request()
{
    if (g_in_request && !g_cgi) {
        answer_stage();
        const auto status = static_cast<uint32_t>(g_request.appStatus);
        const char end[8] = {static_cast<char>(status >> 24), static_cast<char>(status >> 16),
                             static_cast<char>(status >> 8), static_cast<char>(status),
                             FCGI_REQUEST_COMPLETE, 0, 0, 0};
        // The empty record that ends the answer, then the request's end.
        append_record(g_pending, FCGI_STDOUT, g_request.requestId, "", 0);
        append_record(g_pending, FCGI_END_REQUEST, g_request.requestId, end, sizeof end);
        pending_write();
        // Written above: the kit's own streams have nothing to add at its
        // finish (its stream records are public for this).
        g_request.out->wasFCloseCalled = 1;
        g_request.err->wasFCloseCalled = 1;
        // Once the web server has sent all it will, a plain close loses
        // nothing; the kit's lingering close would wait for the web server
        // to close first.
        if (!g_request.keepConnection && input_ended())
            FCGX_Detach(&g_request);
        FCGX_Finish_r(&g_request);
    }
    g_in_request = false;
    environ = g_process_environ;
}

} // namespace

int zws_fcgi_init()
{
    g_process_environ = environ;
    g_cgi = FCGX_IsCGI();
    if (g_cgi)
        return 0;
    install_sigterm();
    if (FCGX_Init() != 0)
        return 22;
    return FCGX_InitRequest(&g_request, FCGI_LISTENSOCK_FILENO, FCGI_FAIL_ACCEPT_ON_INTR) == 0 ? 0 : 22;
}

int zws_fcgi_accept()
{
    // An accept first ends the request before (its streams close here).
    finish_request();
    if (g_cgi) {
        if (g_cgi_requests++ > 0)
            return -1;
        g_in_request = true;
        return 0;
    }
    for (;;) {
        if (g_stop.load())
            return -1;
        const int status = FCGX_Accept_r(&g_request);
        if (status >= 0) {
            g_in_request = true;
            environ = g_request.envp;
            return status;
        }
        if (status != -EINTR || g_stop.load()) {
            environ = g_process_environ;
            return status;
        }
    }
}

void zws_fcgi_set_exit_status(int status)
{
    if (g_in_request && !g_cgi)
        FCGX_SetExitStatus(status, g_request.out);
}

void zws_fcgi_shutdown()
{
    finish_request();
    if (!g_cgi)
        OS_LibShutdown();
}

bool zws_fcgi_stop_requested() { return g_stop.load(); }

int zws_fcgi_out_write(const char *data, size_t length)
{
    if (length == 0)
        return 0;
    if (g_cgi || !g_in_request)
        return std::fwrite(data, 1, length, stdout) == length ? 0 : 22;
    g_answer.append(data, length);
    if (g_answer.size() < k_output_hold)
        return 0;
    answer_stage();
    return pending_write() ? 0 : 22;
}

int zws_fcgi_out_flush()
{
    if (g_cgi || !g_in_request)
        return std::fflush(stdout) == 0 ? 0 : 22;
    answer_stage();
    return pending_write() ? 0 : 22;
}

size_t zws_fcgi_in_read(char *buffer, size_t size)
{
    if (g_cgi || !g_in_request)
        return std::fread(buffer, 1, size, stdin);
    const int got = FCGX_GetStr(buffer, size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size), g_request.in);
    return got > 0 ? static_cast<size_t>(got) : 0;
}

int zws_fcgi_in_error()
{
    if (g_cgi || !g_in_request)
        return std::ferror(stdin);
    return FCGX_GetError(g_request.in);
}

int zws_fcgi_in_eof()
{
    if (g_cgi || !g_in_request)
        return std::feof(stdin);
    return FCGX_HasSeenEOF(g_request.in) != 0;
}

int zws_fcgi_err_write(const char *data, size_t length)
{
    if (g_cgi || !g_in_request)
        return real_err_write(data, length);
    // Behind the answer so far, never ahead of it.
    answer_stage();
    for (size_t at = 0; at < length; at += k_record_text)
        append_record(g_pending, FCGI_STDERR, g_request.requestId, data + at, std::min(k_record_text, length - at));
    return g_pending.size() < k_output_hold || pending_write() ? 0 : 22;
}

int zws_fcgi_err_flush()
{
    if (g_cgi || !g_in_request)
        return std::fflush(stderr) == 0 ? 0 : 22;
    return pending_write() ? 0 : 22;
}

size_t zws_fcgi_lines_record_end(const char *text, size_t start, size_t length)
{
    if (length - start <= k_record_text)
        return length;
    const void *line_end = memrchr(text + start, '\n', k_record_text);
    // One line longer than a record is cut.
    return line_end ? static_cast<size_t>(static_cast<const char *>(line_end) - text) + 1 : start + k_record_text;
}

int zws_fcgi_err_write_lines(const char *text, size_t length)
{
    if (length == 0)
        return 0;
    if (g_cgi || !g_in_request) {
        std::fflush(stdout); // the answer ahead
        const int status = real_err_write(text, length);
        std::fflush(stderr);
        return status;
    }
    // Behind the answer; written with the request's end.
    answer_stage();
    std::string &records = g_pending;
    size_t start = 0;
    while (start < length) {
        const size_t end = zws_fcgi_lines_record_end(text, start, length);
        append_record(records, FCGI_STDERR, g_request.requestId, text + start, end - start);
        start = end;
    }
    return g_pending.size() < k_output_hold || pending_write() ? 0 : 22;
}
