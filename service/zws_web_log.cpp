#include "service/zws_web_log.h"

#include "service/zws_fcgi.h"
#include "util/zws_log.h"

#include <cstdarg>
#include <string>


int zws_web_log_func(int priority, const char *format, ...)
{
    if (!zws_log_priority_passes(priority))
        return 0;
    va_list args;
    va_start(args, format);
    zws_fcgi_err_vprintf(format, args);
    va_end(args);
    return zws_fcgi_err_flush();
}

int zws_web_log_dump_func(int priority, const uint8_t *bytes, long length)
{
    if (!zws_log_priority_passes(priority))
        return 0;
    for (long at = 0; bytes && at < length; at += 16) {
        const size_t count = static_cast<size_t>(length - at < 16 ? length - at : 16);
        std::string row = zws_log_dump_row(bytes + at, count);
        row += '\n';
        zws_fcgi_err_write(row.data(), row.size());
    }
    return zws_fcgi_err_flush();
}

void zws_web_log_start()
{
    ZWS_LOG_FUNC = zws_web_log_func;
    ZWS_LOG_DUMP_FUNC = zws_web_log_dump_func;
    zws_log_set_style(zws_log_style::located);
}
