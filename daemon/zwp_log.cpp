#include "daemon/zwp_log.h"

#include <strings.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

struct level_entry {
    const char *name;
    int priority;
};

// "function" and "debug" share syslog's lowest priority.
constexpr level_entry levels[] = {
    {"emergency", ZWS_LOG_EMERG}, {"alert", ZWS_LOG_ALERT},     {"critical", ZWS_LOG_CRIT},
    {"error", ZWS_LOG_ERR},       {"warning", ZWS_LOG_WARNING}, {"notice", ZWS_LOG_NOTICE},
    {"information", ZWS_LOG_INFO}, {"function", ZWS_LOG_FUNCTION}, {"debug", ZWS_LOG_DEBUG},
};

constexpr uint32_t mask_upto(int priority) { return (1u << (priority + 1)) - 1; }
static_assert(mask_upto(ZWS_LOG_EMERG) == 0x01 && mask_upto(ZWS_LOG_WARNING) == 0x1F &&
              mask_upto(ZWS_LOG_DEBUG) == 0xFF);

zws_log_settings_t *g_settings = nullptr;
zws_log_t *g_log = nullptr;

// The syslog mask, so that lines syslog would drop are not formatted first.
std::atomic<uint32_t> g_syslog_mask{mask_upto(ZWS_LOG_DEBUG)};
bool syslog_passes(int priority)
{
    return priority >= 0 && priority < 32 && (g_syslog_mask.load() & (1u << priority)) != 0;
}

const char *base_name(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

const char *lookup_string(const config_t *config, const char *key, const char *fallback)
{
    const char *value = nullptr;
    if (config && config_lookup_string(config, key, &value) == CONFIG_TRUE && value)
        return value;
    return fallback;
}

} // namespace

int zws_log_level_mask(const char *name, uint32_t *mask)
{
    if (!name || !mask)
        return 22;
    for (const level_entry &level : levels) {
        if (strcasecmp(level.name, name) == 0) {
            *mask = mask_upto(level.priority);
            return 0;
        }
    }
    return 22;
}

int zws_log_settings_create(zws_log_settings_t **settings, const config_t *config, const char *dir,
                            const char *ident)
{
    (void)dir;
    if (!settings)
        return 22;
    if (g_settings) {
        ZWS_LOG_WARN("Multiple calls to singleton object");
        *settings = g_settings;
        return 0;
    }
    auto *made = static_cast<zws_log_settings_t *>(std::calloc(1, sizeof(zws_log_settings_t)));
    char *ident_copy = ident ? strdup(ident) : nullptr;
    if (!made || (ident && !ident_copy)) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        std::free(made);
        std::free(ident_copy);
        return 22;
    }
    made->ident = ident_copy;

    const char *upto = lookup_string(config, "log.upto_level", "debug");
    made->mask = mask_upto(ZWS_LOG_DEBUG);
    if (zws_log_level_mask(upto, &made->mask) != 0)
        ZWS_LOG_WARN("Unknown log level '%s' in 'log.upto_level'. Using 'debug'", upto);

    const char *target = lookup_string(config, "log.target", "console");
    made->target = strcasecmp(target, "syslog") == 0 ? ZWS_LOG_TARGET_SYSLOG : ZWS_LOG_TARGET_CONSOLE;

    g_settings = made;
    *settings = made;
    return 0;
}

void zws_log_settings_destroy(zws_log_settings_t *settings)
{
    if (!settings)
        return;
    if (settings == g_settings)
        g_settings = nullptr;
    std::free(settings->ident);
    std::free(settings);
}

int zws_log_init(zws_log_t **log, const zws_log_settings_t *settings)
{
    if (!log || !settings)
        return 22;
    if (g_log) {
        ZWS_LOG_WARN("Multiple calls to singleton object");
        *log = g_log;
        return 0;
    }
    auto *made = static_cast<zws_log_t *>(std::calloc(1, sizeof(zws_log_t)));
    if (!made) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    made->target = settings->target;
    if (made->target == ZWS_LOG_TARGET_SYSLOG) {
        ZWS_LOG_FUNC = zws_log_func_syslog;
        ZWS_LOG_DUMP_FUNC = zws_log_dump_func_syslog;
        // syslog keeps the identity pointer; the settings outlive the logger.
        openlog(settings->ident, LOG_CONS, LOG_USER);
        setlogmask(static_cast<int>(settings->mask));
        g_syslog_mask.store(settings->mask);
        zws_log_sink_filter_set(zws_log_func_syslog, syslog_passes);
    } else {
        ZWS_LOG_MASK = settings->mask;
        ZWS_LOG_FUNC = zws_log_func_console;
        ZWS_LOG_DUMP_FUNC = zws_log_dump_func_console;
    }
    g_log = made;
    *log = made;
    return 0;
}

void zws_log_exit(zws_log_t *log)
{
    if (!log)
        return;
    if (log->target == ZWS_LOG_TARGET_SYSLOG)
        closelog();
    if (log == g_log)
        g_log = nullptr;
    std::free(log);
}

int zws_log_func_syslog(int priority, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsyslog(priority, format, args);
    va_end(args);
    return 0;
}

int zws_log_dump_func_syslog(int priority, const uint8_t *bytes, long length)
{
    for (long at = 0; bytes && at < length; at += 16) {
        const size_t count = static_cast<size_t>(length - at < 16 ? length - at : 16);
        syslog(priority, "%s", zws_log_dump_row(bytes + at, count).c_str());
    }
    return 0;
}

void zwp_log_function_trace(const char *file, int line, const char *func, bool ended, int result)
{
    // Two system calls for a trace nobody reads: skipped below the level.
    if (!zws_log_wanted(ZWS_LOG_FUNCTION))
        return;
    const auto pid = static_cast<unsigned>(getpid());
    const auto tid = static_cast<unsigned>(syscall(SYS_gettid));
    if (ended)
        ZWS_LOG_FUNC(ZWS_LOG_FUNCTION, "[%s] [%u:%u] %s:%d %s(): Function ended with %d\n", "function", pid, tid,
                     base_name(file), line, func, result);
    else
        ZWS_LOG_FUNC(ZWS_LOG_FUNCTION, "[%s] [%u:%u] %s:%d %s(): Function started\n", "function", pid, tid,
                     base_name(file), line, func);
}

std::string zwp_log_escape(const char *text, size_t length)
{
    if (!text)
        return "(null)";
    // Names are nearly always plain: then the text is the copy.
    const auto plain = [](unsigned char byte) { return byte >= 0x20 && byte != 0x7F && byte != '\\'; };
    size_t first = 0;
    while (first < length && plain(static_cast<unsigned char>(text[first])))
        first++;
    if (first == length)
        return std::string(text, length);
    std::string out(text, first);
    out.reserve(length + 8);
    for (size_t i = first; i < length; i++) {
        const auto byte = static_cast<unsigned char>(text[i]);
        switch (byte) {
        case '\n':
            out += "\\n";
            continue;
        case '\r':
            out += "\\r";
            continue;
        case '\t':
            out += "\\t";
            continue;
        case '\\':
            out += "\\\\";
            continue;
        default:
            break;
        }
        if (byte < 0x20 || byte == 0x7F) {
            static constexpr char digits[] = "0123456789abcdef";
            out += "\\x";
            out += digits[byte >> 4];
            out += digits[byte & 0x0F];
            continue;
        }
        out += static_cast<char>(byte);
    }
    return out;
}

std::string zwp_log_escape(const char *text) { return zwp_log_escape(text, text ? std::strlen(text) : 0); }
