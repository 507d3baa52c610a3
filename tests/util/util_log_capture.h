// Test fixture that swaps the process-wide log sink for one that keeps every
// line, so tests can assert the exact texts.
#pragma once

#include "util/zws_log.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace zw_test {

inline std::vector<std::string> &captured_lines()
{
    static std::vector<std::string> lines;
    return lines;
}

inline int capture_line(int, const char *format, ...)
{
    char buffer[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    captured_lines().emplace_back(buffer);
    return 0;
}

struct LogCapture : ::testing::Test {
    void SetUp() override
    {
        captured_lines().clear();
        saved = ZWS_LOG_FUNC;
        ZWS_LOG_FUNC = capture_line;
        zws_log_set_style(zws_log_style::plain);
    }
    void TearDown() override
    {
        ZWS_LOG_FUNC = saved;
        zws_log_set_style(zws_log_style::plain);
    }
    static std::vector<std::string> &lines() { return captured_lines(); }
    // Every line at "error", in plain style.
    static std::vector<std::string> errors()
    {
        std::vector<std::string> out;
        for (const std::string &line : captured_lines())
            if (line.rfind("[error] ", 0) == 0)
                out.push_back(line.substr(8, line.size() - 9));
        return out;
    }
    static void clear() { captured_lines().clear(); }
    zws_log_func_t saved = nullptr;
};

} // namespace zw_test
