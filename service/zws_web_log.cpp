#include "service/zws_web_log.h"

#include "service/zws_fcgi.h"
#include "util/zws_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct request_log {
    bool holding = false;
    std::string lines;
    unsigned dropped = 0;
};
request_log g_log;

void write_now(const char *data, size_t length)
{
    zws_fcgi_err_write(data, length);
    zws_fcgi_err_flush();
}

void deliver(const char *data, size_t length)
{
    if (!g_log.holding) {
        write_now(data, length);
        return;
    }
    if (g_log.lines.size() + length > ZWS_WEB_LOG_REQUEST_MAX) {
        g_log.dropped++;
        return;
    }
    g_log.lines.append(data, length);
}

} // namespace

int zws_web_log_func(int priority, const char *format, ...)
{
    if (!zws_log_priority_passes(priority))
        return 0;
    char line[4096];
    va_list args;
    va_start(args, format);
    // A line built whole by the shared logger needs no second formatting.
    if (format[0] == '%' && format[1] == 's' && format[2] == '\0') {
        const char *text = va_arg(args, const char *);
        va_end(args);
        if (!text)
            text = "(null)"; // what the formatting would have written
        const size_t length = std::strlen(text);
        deliver(text, length < sizeof line ? length : sizeof line - 1);
        return 0;
    }
    const int length = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (length < 0)
        return 0;
    deliver(line, static_cast<size_t>(length) < sizeof line ? static_cast<size_t>(length) : sizeof line - 1);
    return 0;
}

int zws_web_log_dump_func(int priority, const uint8_t *bytes, long length)
{
    if (!zws_log_priority_passes(priority) || !bytes || length <= 0)
        return 0;
    // Kept across calls: a dump per frame of every request.
    static std::string rows;
    rows.clear();
    char row[ZWS_LOG_DUMP_LINE_MAX];
    for (long at = 0; at < length; at += 16) {
        const size_t count = static_cast<size_t>(length - at < 16 ? length - at : 16);
        rows.append(row, zws_log_dump_line_format(row, bytes + at, count));
        rows += '\n';
    }
    deliver(rows.data(), rows.size());
    return 0;
}

void zws_web_log_start()
{
    zws_log_sink_filter_set(zws_web_log_func, zws_log_priority_passes);
    ZWS_LOG_FUNC = zws_web_log_func;
    ZWS_LOG_DUMP_FUNC = zws_web_log_dump_func;
    zws_log_set_style(zws_log_style::located);
}

void zws_web_log_request_begin()
{
    g_log.holding = true;
    g_log.lines.clear();
    g_log.dropped = 0;
}

void zws_web_log_request_end()
{
    if (!g_log.holding)
        return;
    g_log.holding = false;
    if (g_log.dropped > 0) {
        char notice[160];
        const int length =
            std::snprintf(notice, sizeof notice, "[warning] [%u] %s:%d %s(): %u log lines of this request dropped\n",
                          zws_log_pid(), "zws_web_log.cpp", __LINE__, __func__, g_log.dropped);
        if (length > 0)
            g_log.lines.append(notice, static_cast<size_t>(length) < sizeof notice ? length : sizeof notice - 1);
    }
    zws_fcgi_err_write_lines(g_log.lines.data(), g_log.lines.size());
    g_log.lines.clear();
}
