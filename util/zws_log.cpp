#include "util/zws_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

zws_log_func_t ZWS_LOG_FUNC = zws_log_func_console;
zws_log_dump_func_t ZWS_LOG_DUMP_FUNC = zws_log_dump_func_console;
std::atomic<uint32_t> ZWS_LOG_MASK{0};

namespace {

std::atomic<zws_log_style> g_style{zws_log_style::plain};

constexpr uint32_t debug_mask = (1u << (ZWS_LOG_DEBUG + 1)) - 1;

FILE *console_stream(int priority) { return priority <= ZWS_LOG_ERR ? stderr : stdout; }

} // namespace

bool zws_log_priority_passes(int priority)
{
    uint32_t mask = 0;
    ZWS_LOG_MASK.compare_exchange_strong(mask, debug_mask);
    mask = ZWS_LOG_MASK.load();
    return priority >= 0 && priority < 32 && (mask & (1u << priority)) != 0;
}

namespace {

// Every located line carries the process id; asking the kernel for it per
// line is a system call per line. A forked child asks again.
std::atomic<unsigned> g_pid{0};
void forget_pid() { g_pid.store(0); }

const char *base_name(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

} // namespace

unsigned zws_log_pid()
{
    unsigned pid = g_pid.load();
    if (pid == 0) {
        static const int registered = pthread_atfork(nullptr, nullptr, forget_pid);
        (void)registered;
        pid = static_cast<unsigned>(getpid());
        g_pid.store(pid);
    }
    return pid;
}

void zws_log_set_style(zws_log_style style) { g_style.store(style); }
zws_log_style zws_log_get_style() { return g_style.load(); }

int zws_log_func_console(int priority, const char *format, ...)
{
    if (!zws_log_priority_passes(priority))
        return 0;
    FILE *out = console_stream(priority);
    va_list args;
    va_start(args, format);
    std::vfprintf(out, format, args);
    va_end(args);
    return std::fflush(out);
}

size_t zws_log_dump_line_format(char *row, const uint8_t *bytes, size_t count)
{
    static const char k_hex[] = "0123456789ABCDEF";
    char *p = row;
    *p++ = '|';
    for (size_t i = 0; i < 16; i++) {
        *p++ = ' ';
        if (i < count) {
            *p++ = k_hex[bytes[i] >> 4];
            *p++ = k_hex[bytes[i] & 0x0F];
        } else {
            *p++ = '.';
            *p++ = '.';
        }
        if (i == 7 || i == 15) {
            *p++ = ' ';
            *p++ = '|';
        }
    }
    *p++ = ' ';
    for (size_t i = 0; i < 16; i++) {
        const char c = i < count ? static_cast<char>(bytes[i] & 0x7F) : '.';
        *p++ = (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    *p = '\0';
    return static_cast<size_t>(p - row);
}

std::string zws_log_dump_row(const uint8_t *bytes, size_t count)
{
    char row[ZWS_LOG_DUMP_LINE_MAX];
    return std::string(row, zws_log_dump_line_format(row, bytes, count));
}

void zws_log_dump_line_console(FILE *stream, const uint8_t *bytes, size_t count)
{
    char row[ZWS_LOG_DUMP_LINE_MAX];
    std::fwrite(row, 1, zws_log_dump_line_format(row, bytes, count > 16 ? 16 : count), stream);
}

int zws_log_dump_func_console(int priority, const uint8_t *bytes, long length)
{
    if (!zws_log_priority_passes(priority))
        return 0;
    FILE *out = console_stream(priority);
    for (long at = 0; bytes && at < length; at += 16) {
        const size_t count = static_cast<size_t>(length - at < 16 ? length - at : 16);
        zws_log_dump_line_console(out, bytes + at, count);
        std::fputc('\n', out);
    }
    return std::fflush(out);
}

namespace {

// Copies `text` (of `length` bytes) into `out` (of `size` bytes, size > 4)
// with control characters escaped, except the line ends that close it.
void escape_controls(const char *text, size_t length, char *out, size_t size)
{
    static const char k_hex[] = "0123456789ABCDEF";
    size_t closing = length;
    while (closing > 0 && text[closing - 1] == '\n')
        closing--;
    size_t at = 0;
    for (size_t i = 0; i < length; i++) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        char escaped[5];
        size_t width = 1;
        escaped[0] = static_cast<char>(c);
        if (i < closing && (c < 0x20 || c == 0x7F)) {
            escaped[0] = '\\';
            width = 2;
            switch (c) {
            case '\n': escaped[1] = 'n'; break;
            case '\r': escaped[1] = 'r'; break;
            case '\t': escaped[1] = 't'; break;
            default:
                escaped[1] = 'x';
                escaped[2] = k_hex[c >> 4];
                escaped[3] = k_hex[c & 0x0F];
                width = 4;
            }
        }
        if (at + width >= size)
            break;
        std::memcpy(out + at, escaped, width);
        at += width;
    }
    out[at] = '\0';
}

} // namespace

void zws_log_line(int priority, const char *level, const char *file, int line, const char *func,
                  const char *format, ...)
{
    char raw[2048];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(raw, sizeof raw, format, args);
    va_end(args);
    if (length < 0)
        length = 0;
    if (static_cast<size_t>(length) >= sizeof raw)
        length = sizeof raw - 1;
    char text[4 * sizeof raw];
    escape_controls(raw, static_cast<size_t>(length), text, sizeof text);
    if (g_style.load() == zws_log_style::located)
        ZWS_LOG_FUNC(priority, "[%s] [%u] %s:%d %s(): %s\n%s", level, zws_log_pid(),
                     base_name(file), line, func, text, "");
    else
        ZWS_LOG_FUNC(priority, "[%s] %s\n%s", level, text, "");
}
