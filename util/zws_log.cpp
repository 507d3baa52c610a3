#include "util/zws_log.h"

#include "util/zwu_decimal.h"

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
    // Unset means every priority up to debug; the exchange (a locked
    // instruction) only while it is unset, not on every line.
    uint32_t mask = ZWS_LOG_MASK.load();
    if (mask == 0 && ZWS_LOG_MASK.compare_exchange_strong(mask, debug_mask))
        mask = debug_mask;
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
    if (count >= 16) {
        // A full row, as nearly all of a dump: no cell to pad, each byte's
        // two digits and character taken from a table.
        struct cells {
            char hex[256][2];
            char shown[256];
        };
        static constexpr cells k_cells = [] {
            cells table{};
            for (unsigned b = 0; b < 256; b++) {
                table.hex[b][0] = "0123456789ABCDEF"[b >> 4];
                table.hex[b][1] = "0123456789ABCDEF"[b & 0x0F];
                const unsigned c = b & 0x7F;
                table.shown[b] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
            }
            return table;
        }();
        static const char k_frame[] = "| .. .. .. .. .. .. .. .. | .. .. .. .. .. .. .. .. | ";
        std::memcpy(row, k_frame, sizeof k_frame - 1);
        for (size_t i = 0; i < 16; i++) {
            std::memcpy(row + 2 + 3 * i + (i >= 8 ? 2 : 0), k_cells.hex[bytes[i]], 2);
            row[sizeof k_frame - 1 + i] = k_cells.shown[bytes[i]];
        }
        row[sizeof k_frame - 1 + 16] = '\0';
        return sizeof k_frame - 1 + 16;
    }
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

bool plain_char(unsigned char c) { return c >= 0x20 && c != 0x7F; }

// Eight bytes at a time: none below 0x20 and none 0x7F. (A borrow can only
// mark bytes after one that really is, so "any" is exact.)
bool plain_word(uint64_t w)
{
    constexpr uint64_t ones = 0x0101010101010101ull;
    constexpr uint64_t highs = 0x8080808080808080ull;
    const uint64_t below = (w - ones * 0x20) & ~w & highs;
    const uint64_t del = w ^ (ones * 0x7F);
    return (below | ((del - ones) & ~del & highs)) == 0;
}

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
    size_t at = 0;
    size_t i = 0;
    while (i < length) {
        size_t run = i;
        for (uint64_t word; run + 8 <= closing; run += 8) {
            std::memcpy(&word, text + run, 8);
            if (!plain_word(word))
                break;
        }
        while (run < closing && plain_char(static_cast<unsigned char>(text[run])))
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

// Whether escape_controls would change the text.
bool has_controls(const char *text, size_t length)
{
    size_t closing = length;
    while (closing > 0 && text[closing - 1] == '\n')
        closing--;
    if (closing < 8) {
        for (size_t i = 0; i < closing; i++)
            if (!plain_char(static_cast<unsigned char>(text[i])))
                return true;
        return false;
    }
    uint64_t word;
    for (size_t i = 0; i + 8 <= closing; i += 8) {
        std::memcpy(&word, text + i, 8);
        if (!plain_word(word))
            return true;
    }
    // The last eight bytes, overlapping those already seen.
    std::memcpy(&word, text + closing - 8, 8);
    return !plain_word(word);
}

// The formatting of zws_log_line for the conversions nearly every line uses
// (%s, %.*s, %d, %u, %ld, %lu, %lld, %llu, %zu, %zd, %x, %X, %c, %p, %%, no
// flags or width): the same text vsnprintf writes, cut the same way, at a
// fraction of its cost. Anything else, and a null text, is left to vsnprintf:
// false, and `args` is spent.
class fast_format {
  public:
    fast_format(char *out, size_t size) : out_(out), end_(out + size - 1), at_(out) {}

    bool run(const char *format, va_list args)
    {
        const char *p = format;
        for (;;) {
            const char *percent = std::strchr(p, '%');
            if (!percent) {
                put(p, std::strlen(p));
                break;
            }
            put(p, static_cast<size_t>(percent - p));
            p = percent + 1;
            int precision = -1;
            if (p[0] == '.' && p[1] == '*') {
                if (p[2] != 's')
                    return false;
                precision = va_arg(args, int);
                p += 2;
            }
            int longs = 0;
            bool size_type = false;
            if (*p == 'l') {
                longs = p[1] == 'l' ? 2 : 1;
                p += longs;
            } else if (*p == 'z') {
                size_type = true;
                p++;
            }
            const char conversion = *p++;
            switch (conversion) {
            case '%':
                if (longs || size_type)
                    return false;
                put("%", 1);
                break;
            case 's': {
                if (longs || size_type)
                    return false;
                const char *text = va_arg(args, const char *);
                if (!text)
                    return false;
                put(text, precision < 0 ? std::strlen(text) : strnlen(text, static_cast<size_t>(precision)));
                break;
            }
            case 'c':
                if (longs || size_type)
                    return false;
                put_char(static_cast<char>(va_arg(args, int)));
                break;
            case 'd':
            case 'i': {
                long long value = size_type  ? static_cast<long long>(va_arg(args, ssize_t))
                                  : longs == 2 ? va_arg(args, long long)
                                  : longs == 1 ? va_arg(args, long)
                                               : va_arg(args, int);
                unsigned long long magnitude = static_cast<unsigned long long>(value);
                if (value < 0) {
                    put("-", 1);
                    magnitude = 0ull - magnitude;
                }
                put_unsigned(magnitude, 10, false);
                break;
            }
            case 'u':
            case 'x':
            case 'X': {
                const unsigned long long value = size_type  ? va_arg(args, size_t)
                                                 : longs == 2 ? va_arg(args, unsigned long long)
                                                 : longs == 1 ? va_arg(args, unsigned long)
                                                              : va_arg(args, unsigned);
                put_unsigned(value, conversion == 'u' ? 10 : 16, conversion == 'X');
                break;
            }
            case 'p': {
                if (longs || size_type)
                    return false;
                const void *pointer = va_arg(args, const void *);
                if (!pointer)
                    return false;
                put("0x", 2);
                put_unsigned(reinterpret_cast<uintptr_t>(pointer), 16, false);
                break;
            }
            default: return false;
            }
        }
        *at_ = '\0';
        return true;
    }
    // What vsnprintf would have returned, as far as it fits.
    size_t length() const { return static_cast<size_t>(at_ - out_); }

  private:
    void put(const char *text, size_t length)
    {
        const size_t room = static_cast<size_t>(end_ - at_);
        if (length > room)
            length = room;
        std::memcpy(at_, text, length);
        at_ += length;
    }
    void put_char(char c)
    {
        if (at_ < end_)
            *at_++ = c;
    }
    void put_unsigned(unsigned long long value, unsigned base, bool upper)
    {
        const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        char text[24];
        size_t n = sizeof text;
        do {
            text[--n] = digits[value % base];
            value /= base;
        } while (value);
        put(text + n, sizeof text - n);
    }

    char *out_;
    char *end_;
    char *at_;
};

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
    // The whole line is built here and handed over as one text: the sink's
    // own formatting then only copies it. The text is formatted straight
    // behind the line's head and copied again only when it holds control
    // characters to escape (which may make it four times as long).
    constexpr size_t k_raw = 2048;
    constexpr size_t k_prefix = 512;
    char text[k_prefix + 4 * k_raw];
    const bool located = g_style.load() == zws_log_style::located;
    const size_t level_length = std::strlen(level);
    const char *name = located ? base_name(file) : "";
    const size_t name_length = located ? std::strlen(name) : 0;
    const size_t func_length = located ? std::strlen(func) : 0;
    size_t at = 0;
    // Beyond the names the head holds at most 64 characters.
    if (level_length + name_length + func_length < sizeof text - 64) {
        const auto put = [&](const char *part, size_t length) {
            std::memcpy(text + at, part, length);
            at += length;
        };
        put("[", 1);
        put(level, level_length);
        put("] ", 2);
        if (located) {
            put("[", 1);
            // The process id's digits, kept per thread (no lock) until a
            // fork changes the id.
            thread_local unsigned pid_of_digits = 0;
            thread_local char pid_digits[ZWU_DECIMAL_MAX];
            thread_local size_t pid_length = 0;
            const unsigned pid = zws_log_pid();
            if (pid != pid_of_digits) {
                pid_length = zwu_decimal_format(pid_digits, pid);
                pid_of_digits = pid;
            }
            put(pid_digits, pid_length);
            put("] ", 2);
            put(name, name_length);
            put(":", 1);
            if (line < 0)
                put("-", 1);
            at += zwu_decimal_format(text + at, line >= 0 ? static_cast<unsigned long>(line) : 0ul - static_cast<unsigned long>(line));
            put(" ", 1);
            put(func, func_length);
            put("(): ", 4);
        }
    } else {
        at = sizeof text;
    }
    const bool fits = at < k_prefix;
    char raw[k_raw];
    char *out = fits ? text + at : raw;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    fast_format fast(out, k_raw);
    size_t length;
    if (fast.run(format, args)) {
        length = fast.length();
    } else {
        const int printed = std::vsnprintf(out, k_raw, format, again);
        length = printed < 0 ? 0 : static_cast<size_t>(printed) >= k_raw ? k_raw - 1 : static_cast<size_t>(printed);
    }
    va_end(again);
    va_end(args);
    if (fits) {
        if (has_controls(out, length)) {
            std::memcpy(raw, out, length);
            at += escape_controls(raw, length, out, sizeof text - at - 1);
        } else {
            at += length;
        }
        text[at++] = '\n';
        text[at] = '\0';
        ZWS_LOG_FUNC(priority, "%s", text);
        return;
    }
    line_by_sink(priority, level, file, line, func, raw, length, located);
}
