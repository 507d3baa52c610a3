// Process-wide log sink shared by both programs.
//
// Every line goes through one function pointer so that each program decides
// where lines end up (console, syslog, the FastCGI error stream) and tests can
// capture them. The shared modules log through ZWS_LOG_* macros, which format
// the line in the style the program chose at start-up:
//   plain    "[level] text\n"                         (kestrund)
//   located  "[level] [pid] file:line func(): text\n" (trellan)
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

enum : int {
    ZWS_LOG_EMERG = 0,
    ZWS_LOG_ALERT = 1,
    ZWS_LOG_CRIT = 2,
    ZWS_LOG_ERR = 3,
    ZWS_LOG_WARNING = 4,
    ZWS_LOG_NOTICE = 5,
    ZWS_LOG_INFO = 6,
    ZWS_LOG_DEBUG = 7,
    ZWS_LOG_FUNCTION = 7,
};

using zws_log_func_t = int (*)(int priority, const char *format, ...);
using zws_log_dump_func_t = int (*)(int priority, const uint8_t *bytes, long length);

extern zws_log_func_t ZWS_LOG_FUNC;
extern zws_log_dump_func_t ZWS_LOG_DUMP_FUNC;
// Priorities whose bit is set are written by the console sinks; 0 means
// "not set yet" and becomes the mask of "debug" (every priority) on first use.
// Atomic because any thread may log before start-up has set it.
extern std::atomic<uint32_t> ZWS_LOG_MASK;

// Whether the console sinks write this priority under ZWS_LOG_MASK (which
// this call sets to the "debug" mask when it is still unset).
bool zws_log_priority_passes(int priority);

// A sink that writes only the priorities `passes` lets through: for it,
// zws_log_line does not format a line that would be dropped. The console
// sinks are registered from the start (with zws_log_priority_passes); any
// other sink, such as a test's capture, gets every line. At most a few
// sinks; a null `passes` forgets the sink.
void zws_log_sink_filter_set(zws_log_func_t sink, bool (*passes)(int priority));
// Whether a line of this priority would be written by the sink in place now.
bool zws_log_wanted(int priority);

// The process id of located lines, asked of the kernel once per process.
unsigned zws_log_pid();

enum class zws_log_style { plain, located };
void zws_log_set_style(zws_log_style style);
zws_log_style zws_log_get_style();

// Console sink: priorities up to "error" to standard error, the rest to
// standard output, each line flushed.
int zws_log_func_console(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
int zws_log_dump_func_console(int priority, const uint8_t *bytes, long length);

// One dump row of up to 16 bytes, without its line end:
// "| 01 02 .. | .. .. | ..chars.." (hex cells past the data are "..", the
// character column shows each byte's low 7 bits when printable, else ".").
std::string zws_log_dump_row(const uint8_t *bytes, size_t count);
// The same row into `row` (ZWS_LOG_DUMP_LINE_MAX bytes), NUL-terminated;
// returns its length.
constexpr size_t ZWS_LOG_DUMP_LINE_MAX = 80;
size_t zws_log_dump_line_format(char *row, const uint8_t *bytes, size_t count);
// Writes the row of up to 16 bytes to `stream`, without its line end.
void zws_log_dump_line_console(FILE *stream, const uint8_t *bytes, size_t count);

// Formats one line in the program's style and hands it to ZWS_LOG_FUNC.
// Control characters in the text (from its arguments: names, paths, values
// that came from outside) are written as escapes ("\\n", "\\x1B"), so that no
// text can end a line early and forge the next one; line ends that close the
// text stay.
void zws_log_line(int priority, const char *level, const char *file, int line, const char *func,
                  const char *format, ...) __attribute__((format(printf, 6, 7)));

#define ZWS_LOG_AT(priority, level, ...) \
    zws_log_line((priority), (level), __FILE__, __LINE__, __func__, __VA_ARGS__)
#define ZWS_LOG_EMERGENCY(...) ZWS_LOG_AT(ZWS_LOG_EMERG, "emergency", __VA_ARGS__)
#define ZWS_LOG_ALERTING(...) ZWS_LOG_AT(ZWS_LOG_ALERT, "alert", __VA_ARGS__)
#define ZWS_LOG_CRITICAL(...) ZWS_LOG_AT(ZWS_LOG_CRIT, "critical", __VA_ARGS__)
#define ZWS_LOG_ERROR(...) ZWS_LOG_AT(ZWS_LOG_ERR, "error", __VA_ARGS__)
#define ZWS_LOG_WARN(...) ZWS_LOG_AT(ZWS_LOG_WARNING, "warning", __VA_ARGS__)
#define ZWS_LOG_NOTE(...) ZWS_LOG_AT(ZWS_LOG_NOTICE, "notice", __VA_ARGS__)
#define ZWS_LOG_INFORMATION(...) ZWS_LOG_AT(ZWS_LOG_INFO, "information", __VA_ARGS__)
#define ZWS_LOG_DEBUGGING(...) ZWS_LOG_AT(ZWS_LOG_DEBUG, "debug", __VA_ARGS__)
