// kestrund's logger: builds on the process-wide sinks of util/zws_log.h.
//
// Until zws_log_init runs, every line goes to the console with every level
// shown. zws_log_init either keeps the console (with the configured level
// mask) or switches both sinks to syslog. Lines keep the plain style
// "[level] text\n"; use the ZWS_LOG_* macros of util/zws_log.h for them and
// the ZWP_LOG_FUNCTION_* macros below for function traces.
#pragma once

#include "util/zws_log.h"

#include <libconfig.h>

#include <cstddef>
#include <cstdint>
#include <string>

enum : uint32_t {
    ZWS_LOG_TARGET_CONSOLE = 0,
    ZWS_LOG_TARGET_SYSLOG = 1,
};

// Built from the configuration; singleton.
struct zws_log_settings_t {
    char *ident;     // base name of argv[0], the syslog identity
    uint32_t mask;   // every priority up to log.upto_level
    uint32_t target; // ZWS_LOG_TARGET_*
};

// The running logger; singleton.
struct zws_log_t {
    uint32_t target;
};

// Mask of every priority up to the named level (compared without case).
// 0 when the name is one of the nine levels, else 22 and the mask unchanged.
int zws_log_level_mask(const char *name, uint32_t *mask);

// Reads log.upto_level (default "debug") and log.target (default "console")
// from the parsed configuration. 0 or 22.
int zws_log_settings_create(zws_log_settings_t **settings, const config_t *config, const char *dir,
                            const char *ident);
void zws_log_settings_destroy(zws_log_settings_t *settings);

// Applies the settings to the process-wide sinks; call before other threads
// log. 0 or 22.
int zws_log_init(zws_log_t **log, const zws_log_settings_t *settings);
// Closes syslog when it was used; the sinks stay as they are.
void zws_log_exit(zws_log_t *log);

// The syslog sinks installed by zws_log_init for the syslog target.
int zws_log_func_syslog(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
int zws_log_dump_func_syslog(int priority, const uint8_t *bytes, long length);

// Function traces at "function": "[function] [pid:tid] file:line func(): ...".
void zwp_log_function_trace(const char *file, int line, const char *func, bool ended, int result);
#define ZWP_LOG_FUNCTION_START() zwp_log_function_trace(__FILE__, __LINE__, __func__, false, 0)
#define ZWP_LOG_FUNCTION_END(result) zwp_log_function_trace(__FILE__, __LINE__, __func__, true, (result))

// A text that came from outside (a client's message name or user), fit to
// be written into a log line: control characters, DEL and the backslash
// become escapes ("\n", "\x1b", "\\"), so that no text can end a line or
// forge the start of another.
std::string zwp_log_escape(const char *text, size_t length);
std::string zwp_log_escape(const char *text);

// The levels the ZWS_LOG_* macros lack.
#define ZWP_LOG_EMERGENCY(...) ZWS_LOG_AT(ZWS_LOG_EMERG, "emergency", __VA_ARGS__)
#define ZWP_LOG_ALERT(...) ZWS_LOG_AT(ZWS_LOG_ALERT, "alert", __VA_ARGS__)
