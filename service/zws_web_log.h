// trellan's log: every line and every dump goes to the FastCGI error stream
// (the process's standard error before the first request), which the web
// server collects. Every priority is written unless ZWS_LOG_MASK says
// otherwise.
#pragma once

#include <cstdint>

// Line sink: formats the whole line onto the error stream and flushes it;
// the flush result, or 0 for a masked priority.
int zws_web_log_func(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Dump sink: one row of "| XX .. | XX .. | chars" per 16 bytes, then a flush.
int zws_web_log_dump_func(int priority, const uint8_t *bytes, long length);
// Installs both sinks as ZWS_LOG_FUNC and ZWS_LOG_DUMP_FUNC and selects the
// located line style "[level] [pid] file:line func(): text".
void zws_web_log_start();
