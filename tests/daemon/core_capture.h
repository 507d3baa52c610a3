// Captures the lines of the process-wide log sink for the daemon's tests.
#pragma once

#include "util/zws_log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace core_test {

inline std::mutex &capture_lock()
{
    static std::mutex lock;
    return lock;
}

inline std::vector<std::string> &captured()
{
    static std::vector<std::string> lines;
    return lines;
}

inline int capture_sink(int, const char *format, ...)
{
    char text[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(capture_lock());
    captured().emplace_back(text);
    return 0;
}

// Swaps the sink for the life of the object.
struct log_capture {
    log_capture()
    {
        saved = ZWS_LOG_FUNC;
        clear();
        ZWS_LOG_FUNC = capture_sink;
    }
    ~log_capture() { ZWS_LOG_FUNC = saved; }
    log_capture(const log_capture &) = delete;
    log_capture &operator=(const log_capture &) = delete;

    std::vector<std::string> lines() const
    {
        std::lock_guard<std::mutex> guard(capture_lock());
        return captured();
    }
    void clear()
    {
        std::lock_guard<std::mutex> guard(capture_lock());
        captured().clear();
    }
    bool has(const std::string &line) const
    {
        for (const std::string &held : lines())
            if (held == line)
                return true;
        return false;
    }
    bool contains(const std::string &part) const
    {
        for (const std::string &held : lines())
            if (held.find(part) != std::string::npos)
                return true;
        return false;
    }
    zws_log_func_t saved;
};

} // namespace core_test
