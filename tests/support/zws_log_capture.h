// Swaps the process-wide log sink for one that keeps every line, so tests can
// assert the exact texts. The sink may be called from any thread of the code
// under test, so the kept lines sit behind a lock and are read as copies.
#pragma once

#include "util/zws_log.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zw_test {

class captured_log {
public:
    static captured_log &instance()
    {
        static captured_log log;
        return log;
    }
    void add(std::string line)
    {
        std::lock_guard<std::mutex> guard(lock_);
        lines_.push_back(std::move(line));
    }
    std::vector<std::string> lines() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return lines_;
    }
    void clear()
    {
        std::lock_guard<std::mutex> guard(lock_);
        lines_.clear();
    }

private:
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
};

inline int capture_line(int, const char *format, ...)
{
    char buffer[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    captured_log::instance().add(buffer);
    return 0;
}

// Captures for the life of the object; plain style so that lines read
// "[level] text\n".
class log_capture {
public:
    log_capture() : saved_(ZWS_LOG_FUNC)
    {
        clear();
        ZWS_LOG_FUNC = capture_line;
        zws_log_set_style(zws_log_style::plain);
    }
    ~log_capture()
    {
        ZWS_LOG_FUNC = saved_;
        zws_log_set_style(zws_log_style::plain);
    }
    log_capture(const log_capture &) = delete;
    log_capture &operator=(const log_capture &) = delete;

    static std::vector<std::string> lines() { return captured_log::instance().lines(); }
    static void clear() { captured_log::instance().clear(); }
    // Every line at "error", without the level and the line end.
    static std::vector<std::string> errors()
    {
        std::vector<std::string> out;
        for (const std::string &line : lines())
            if (line.rfind("[error] ", 0) == 0)
                out.push_back(line.substr(8, line.size() - 9));
        return out;
    }
    static bool has(const std::string &line)
    {
        for (const std::string &held : lines())
            if (held == line)
                return true;
        return false;
    }
    static bool contains(const std::string &part)
    {
        for (const std::string &held : lines())
            if (held.find(part) != std::string::npos)
                return true;
        return false;
    }

private:
    zws_log_func_t saved_;
};

// The same as a GoogleTest fixture base.
struct LogCapture : ::testing::Test {
    static std::vector<std::string> lines() { return log_capture::lines(); }
    static std::vector<std::string> errors() { return log_capture::errors(); }
    static void clear() { log_capture::clear(); }

private:
    std::optional<log_capture> capture_;

protected:
    void SetUp() override { capture_.emplace(); }
    void TearDown() override { capture_.reset(); }
};

} // namespace zw_test
