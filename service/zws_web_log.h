// trellan's log: every line and every dump goes to the FastCGI error stream
// (the process's standard error outside a request), which the web server
// collects. Every priority is written unless ZWS_LOG_MASK says otherwise.
//
// Inside a request the lines are held in memory and written after the
// answer: the web server reads the answer's header from the same connection,
// and error-stream records ahead of it fill the buffer it keeps for the
// header (nginx then answers 502, "upstream sent too big header"). Holding
// them also makes one request one write of a few records rather than a
// record per line. What one request may log is bounded; the rest is counted
// and reported in one line.
#pragma once

#include <cstddef>
#include <cstdint>

// What one request may log; lines past it are dropped and counted.
constexpr size_t ZWS_WEB_LOG_REQUEST_MAX = 32 * 1024;

// Line sink: the whole line, held inside a request, else written and
// flushed; 0, or 0 for a masked priority.
int zws_web_log_func(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Dump sink: one row of "| XX .. | XX .. | chars" per 16 bytes.
int zws_web_log_dump_func(int priority, const uint8_t *bytes, long length);
// Installs both sinks as ZWS_LOG_FUNC and ZWS_LOG_DUMP_FUNC and selects the
// located line style "[level] [pid] file:line func(): text".
void zws_web_log_start();

// Lines from here on are held for the request.
void zws_web_log_request_begin();
// Writes the request's lines to the error stream (call it once the answer
// is out) and stops holding.
void zws_web_log_request_end();
