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

struct sink_filter {
    std::atomic<zws_log_func_t> sink{nullptr};
    std::atomic<bool (*)(int)> passes{nullptr};
};
constexpr size_t k_sink_filters = 4;
sink_filter g_sink_filters[k_sink_filters];

} // namespace

void zws_log_sink_filter_set(zws_log_func_t sink, bool (*passes)(int priority))
{
    if (!sink)
        return;
    sink_filter *free_slot = nullptr;
    for (sink_filter &filter : g_sink_filters) {
        const zws_log_func_t held = filter.sink.load();
        if (held == sink) {
            filter.passes.store(passes);
            return;
        }
        if (!free_slot && !held)
            free_slot = &filter;
    }
    if (free_slot && passes) {
        free_slot->passes.store(passes);
        free_slot->sink.store(sink);
    }
}

bool zws_log_wanted(int priority)
{
    const zws_log_func_t sink = ZWS_LOG_FUNC;
    if (sink == zws_log_func_console)
        return zws_log_priority_passes(priority);
    for (const sink_filter &filter : g_sink_filters) {
        if (filter.sink.load() == sink) {
            bool (*passes)(int) = filter.passes.load();
            return !passes || passes(priority);
        }
    }
    return true;
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
// with control characters escaped, except the line ends that close it;
// returns the length written. Runs of plain characters, nearly all of a
// line, are copied whole.
size_t escape_controls(const char *text, size_t length, char *out, size_t size)
{
    static const char k_hex[] = "0123456789ABCDEF";
    size_t closing = length;
    while (closing > 0 && text[closing - 1] == '\n')
        closing--;
    const auto plain = [](unsigned char c) { return c >= 0x20 && c != 0x7F; };
    // Eight bytes at a time: none below 0x20 and none 0x7F. (A borrow can
    // only mark bytes after one that really is, so "any" is exact.)
    const auto plain_word = [](uint64_t w) {
        constexpr uint64_t ones = 0x0101010101010101ull;
        constexpr uint64_t highs = 0x8080808080808080ull;
        const uint64_t below = (w - ones * 0x20) & ~w & highs;
        const uint64_t del = w ^ (ones * 0x7F);
        return (below | ((del - ones) & ~del & highs)) == 0;
    };
    size_t at = 0;
    size_t i = 0;
    while (i < length) {
        size_t run = i;
        for (uint64_t word; run + 8 <= closing; run += 8) {
            std::memcpy(&word, text + run, 8);
            if (!plain_word(word))
                break;
        }
        while (run < closing && plain(static_cast<unsigned char>(text[run])))
            run++;
        if (run == i && i >= closing)
            run = length; // the closing line ends stay as they are
        if (run > i) {
            const size_t room = size - 1 - at;
            const size_t n = run - i < room ? run - i : room;
            std::memcpy(out + at, text + i, n);
            at += n;
            if (n < run - i)
                break;
            i = run;
            continue;
        }
        const unsigned char c = static_cast<unsigned char>(text[i]);
        char escaped[4] = {'\\', 'x', k_hex[c >> 4], k_hex[c & 0x0F]};
        size_t width = 4;
        switch (c) {
        case '\n': escaped[1] = 'n'; width = 2; break;
        case '\r': escaped[1] = 'r'; width = 2; break;
        case '\t': escaped[1] = 't'; width = 2; break;
        default: break;
        }
        if (at + width >= size)
            break;
        std::memcpy(out + at, escaped, width);
        at += width;
        i++;
    }
    out[at] = '\0';
    return at;
}

// Appends `text` to the line being built in `out` (of `size` bytes); false
// when it does not fit.
bool line_append(char *out, size_t size, size_t *at, const char *text, size_t length)
{
    if (length >= size - *at)
        return false;
    std::memcpy(out + *at, text, length);
    *at += length;
    return true;
}

bool line_append_number(char *out, size_t size, size_t *at, unsigned long value)
{
    char digits[24];
    size_t n = sizeof digits;
    do {
        digits[--n] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    return line_append(out, size, at, digits + n, sizeof digits - n);
}

// Names too long for the line buffer of zws_log_line: the sink formats the
// line. Kept out of line so that its buffer costs no stack on the usual path.
[[gnu::noinline]] void line_by_sink(int priority, const char *level, const char *file, int line, const char *func,
                                    const char *raw, size_t length, bool located)
{
    char escaped[4 * 2048];
    escape_controls(raw, length, escaped, sizeof escaped);
    if (located)
        ZWS_LOG_FUNC(priority, "[%s] [%u] %s:%d %s(): %s\n%s", level, zws_log_pid(), base_name(file), line, func,
                     escaped, "");
    else
        ZWS_LOG_FUNC(priority, "[%s] %s\n%s", level, escaped, "");
}

} // namespace

void zws_log_line(int priority, const char *level, const char *file, int line, const char *func,
                  const char *format, ...)
{
    // A line the sink would drop is not formatted at all.
    if (!zws_log_wanted(priority))
        return;
    char raw[2048];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(raw, sizeof raw, format, args);
    va_end(args);
    if (length < 0)
        length = 0;
    if (static_cast<size_t>(length) >= sizeof raw)
        length = sizeof raw - 1;
    // The whole line is built here and handed over as one text: the sink's
    // own formatting then only copies it.
    constexpr size_t k_prefix = 512;
    char text[k_prefix + 4 * sizeof raw];
    size_t at = 0;
    const size_t size = sizeof text;
    const bool located = g_style.load() == zws_log_style::located;
    bool fits = line_append(text, size, &at, "[", 1) && line_append(text, size, &at, level, std::strlen(level)) &&
                line_append(text, size, &at, "] ", 2);
    if (fits && located) {
        const char *name = base_name(file);
        fits = line_append(text, size, &at, "[", 1) && line_append_number(text, size, &at, zws_log_pid()) &&
               line_append(text, size, &at, "] ", 2) && line_append(text, size, &at, name, std::strlen(name)) &&
               line_append(text, size, &at, ":", 1) &&
               (line >= 0 ? line_append_number(text, size, &at, static_cast<unsigned long>(line))
                          : line_append(text, size, &at, "-", 1) &&
                                line_append_number(text, size, &at, 0ul - static_cast<unsigned long>(line))) &&
               line_append(text, size, &at, " ", 1) && line_append(text, size, &at, func, std::strlen(func)) &&
               line_append(text, size, &at, "(): ", 4);
    }
    if (fits && size - at > 4 * sizeof raw) {
        at += escape_controls(raw, static_cast<size_t>(length), text + at, size - at - 1);
        text[at++] = '\n';
        text[at] = '\0';
        ZWS_LOG_FUNC(priority, "%s", text);
        return;
    }
    line_by_sink(priority, level, file, line, func, raw, static_cast<size_t>(length), located);
}
