#include "util/zws_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
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

const char *base_name(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

} // namespace

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

std::string zws_log_dump_row(const uint8_t *bytes, size_t count)
{
    std::string row = "|";
    char cell[8];
    for (size_t i = 0; i < 16; i++) {
        if (i < count) {
            std::snprintf(cell, sizeof cell, " %02X", bytes[i]);
            row += cell;
        } else {
            row += " ..";
        }
        if (i == 7 || i == 15)
            row += " |";
    }
    row += ' ';
    for (size_t i = 0; i < 16; i++) {
        const char c = i < count ? static_cast<char>(bytes[i] & 0x7F) : '.';
        row += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return row;
}

int zws_log_dump_func_console(int priority, const uint8_t *bytes, long length)
{
    if (!zws_log_priority_passes(priority))
        return 0;
    FILE *out = console_stream(priority);
    for (long at = 0; bytes && at < length; at += 16) {
        const size_t count = static_cast<size_t>(length - at < 16 ? length - at : 16);
        std::fprintf(out, "%s\n", zws_log_dump_row(bytes + at, count).c_str());
    }
    return std::fflush(out);
}

void zws_log_line(int priority, const char *level, const char *file, int line, const char *func,
                  const char *format, ...)
{
    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (g_style.load() == zws_log_style::located)
        ZWS_LOG_FUNC(priority, "[%s] [%u] %s:%d %s(): %s\n%s", level, static_cast<unsigned>(getpid()),
                     base_name(file), line, func, text, "");
    else
        ZWS_LOG_FUNC(priority, "[%s] %s\n%s", level, text, "");
}
