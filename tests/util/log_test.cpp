#include "util/zws_log.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::vector<std::string> g_lines;

int capture(int, const char *format, ...)
{
    char buffer[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    g_lines.emplace_back(buffer);
    return 0;
}

struct LogCapture : ::testing::Test {
    void SetUp() override
    {
        g_lines.clear();
        saved = ZWS_LOG_FUNC;
        ZWS_LOG_FUNC = capture;
    }
    void TearDown() override
    {
        ZWS_LOG_FUNC = saved;
        zws_log_set_style(zws_log_style::plain);
    }
    zws_log_func_t saved = nullptr;
};

TEST_F(LogCapture, PlainAndLocatedStyles)
{
    ZWS_LOG_ERROR("Failed to read file: %s", "boom");
    zws_log_set_style(zws_log_style::located);
    ZWS_LOG_WARN("Root dir not present at '%s'", "/x");
    ASSERT_EQ(g_lines.size(), 2u);
    EXPECT_EQ(g_lines[0], "[error] Failed to read file: boom\n");
    EXPECT_EQ(g_lines[1].rfind("[warning] [", 0), 0u);
    EXPECT_NE(g_lines[1].find("] log_test.cpp:"), std::string::npos);
    EXPECT_NE(g_lines[1].find(" TestBody(): Root dir not present at '/x'\n"), std::string::npos);
}

TEST(LogDump, RowsArePaddedAndUseLowSevenBits)
{
    const uint8_t bytes[4] = {0x41, 0xC1, 0x00, 0x7E};
    EXPECT_EQ(zws_log_dump_row(bytes, 4),
              "| 41 C1 00 7E .. .. .. .. | .. .. .. .. .. .. .. .. | AA.~............");
}

} // namespace
