#include "util/zws_log.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
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

// Texts reach the line with control characters escaped, except the line
// ends that close them; the rest of the text, whatever its bytes, stays.
TEST_F(LogCapture, ControlCharactersAreEscapedAndTheRestKept)
{
    const struct {
        std::string text;
        const char *line;
    } cases[] = {
        {"plain text", "[error] plain text\n"},
        {"two\nlines", "[error] two\\nlines\n"},
        {"closing ends stay\n\n", "[error] closing ends stay\n\n\n"},
        {"\r\t\x01\x1b\x1f\x7f", "[error] \\r\\t\\x01\\x1B\\x1F\\x7F\n"},
        {"\n", "[error] \n\n"},
        {"back\\slash and caf\xc3\xa9 ~", "[error] back\\slash and caf\xc3\xa9 ~\n"},
        {"mid\nand end\n", "[error] mid\\nand end\n\n"},
        {"", "[error] \n"},
        // Past the first eight bytes, at the end of a word and after high bytes.
        {"0123456789\x7f", "[error] 0123456789\\x7F\n"},
        {"abcdefg\x1f", "[error] abcdefg\\x1F\n"},
        {"\x80\xff\xa0\xfe\x9f\xc0\xe0\xf0 high\x02", "[error] \x80\xff\xa0\xfe\x9f\xc0\xe0\xf0 high\\x02\n"},
        {"!!!!!!!!~~~~~~~~        x", "[error] !!!!!!!!~~~~~~~~        x\n"},
    };
    for (const auto &c : cases) {
        g_lines.clear();
        ZWS_LOG_ERROR("%s", c.text.c_str());
        ASSERT_EQ(g_lines.size(), 1u) << c.line;
        EXPECT_EQ(g_lines[0], c.line);
    }
}

std::vector<std::string> g_long_lines;
int capture_long(int, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    std::string line(static_cast<size_t>(length), '\0');
    std::vsnprintf(line.data(), line.size() + 1, format, again);
    va_end(again);
    va_end(args);
    g_long_lines.push_back(line);
    return 0;
}

// A text is cut at 2047 characters before its escapes, which may make it
// four times as long: nothing of the cut text is lost to the escapes.
TEST_F(LogCapture, LongTextsAreCutBeforeTheirEscapes)
{
    ZWS_LOG_FUNC = capture_long;
    g_long_lines.clear();
    ZWS_LOG_ERROR("%s", std::string(3000, 'a').c_str());
    ZWS_LOG_ERROR("%s", std::string(3000, '\x01').c_str());
    ASSERT_EQ(g_long_lines.size(), 2u);
    EXPECT_EQ(g_long_lines[0], "[error] " + std::string(2047, 'a') + "\n");
    std::string escaped;
    for (int i = 0; i < 2047; i++)
        escaped += "\\x01";
    EXPECT_EQ(g_long_lines[1], "[error] " + escaped + "\n");
}

// The line's text is what printf writes for its format, for the common
// conversions the logger formats itself as for those it leaves to the C
// library, at the extremes of each argument type and when the text is cut.
template <typename... Args> std::string logged(const char *format, Args... args)
{
    g_long_lines.clear();
    ZWS_LOG_FUNC = capture_long;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
    zws_log_line(ZWS_LOG_ERR, "error", __FILE__, __LINE__, __func__, format, args...);
#pragma GCC diagnostic pop
    return g_long_lines.size() == 1 ? g_long_lines[0] : "(no line)";
}

template <typename... Args> std::string printed(const char *format, Args... args)
{
    char text[2048];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-truncation"
    std::snprintf(text, sizeof text, format, args...);
#pragma GCC diagnostic pop
    return "[error] " + std::string(text) + "\n";
}

TEST_F(LogCapture, TextsAreFormattedAsPrintfDoes)
{
    const std::string long_text(3000, 'q');
    const char *null_text = nullptr;
    int local = 0;
    EXPECT_EQ(logged("plain, no conversions"), printed("plain, no conversions"));
    EXPECT_EQ(logged("100%% done, %s", "ok"), printed("100%% done, %s", "ok"));
    EXPECT_EQ(logged("[%s] [%s]", "", "x"), printed("[%s] [%s]", "", "x"));
    EXPECT_EQ(logged("%d %d %d %i", 0, -1, INT32_MIN, INT32_MAX), printed("%d %d %d %i", 0, -1, INT32_MIN, INT32_MAX));
    EXPECT_EQ(logged("%u %u", 0u, UINT32_MAX), printed("%u %u", 0u, UINT32_MAX));
    EXPECT_EQ(logged("%ld %lu", LONG_MIN, ULONG_MAX), printed("%ld %lu", LONG_MIN, ULONG_MAX));
    EXPECT_EQ(logged("%lld %llu", LLONG_MIN, ULLONG_MAX), printed("%lld %llu", LLONG_MIN, ULLONG_MAX));
    EXPECT_EQ(logged("%zu %zd", SIZE_MAX, static_cast<ssize_t>(-5)), printed("%zu %zd", SIZE_MAX, static_cast<ssize_t>(-5)));
    EXPECT_EQ(logged("%x %X %lx", 0xBEEFu, 0xBEEFu, 0x1234abcdUL), printed("%x %X %lx", 0xBEEFu, 0xBEEFu, 0x1234abcdUL));
    EXPECT_EQ(logged("%c%c%c", 'a', '~', ' '), printed("%c%c%c", 'a', '~', ' '));
    EXPECT_EQ(logged("%p %p", static_cast<void *>(&local), null_text), printed("%p %p", static_cast<void *>(&local), null_text));
    EXPECT_EQ(logged("[%.*s] [%.*s] [%.*s]", 3, "abcdef", 0, "abc", -1, "all"),
              printed("[%.*s] [%.*s] [%.*s]", 3, "abcdef", 0, "abc", -1, "all"));
    EXPECT_EQ(logged("%.*s|", 10, "short"), printed("%.*s|", 10, "short"));
    EXPECT_EQ(logged("null: %s", null_text), printed("null: %s", null_text));
    // Left to the C library: flags, widths, precisions and other conversions.
    EXPECT_EQ(logged("%04Xh %02X %5d|%-5s|", 0xA, 0x7, 42, "ab"), printed("%04Xh %02X %5d|%-5s|", 0xA, 0x7, 42, "ab"));
    EXPECT_EQ(logged("%.3f %lf %hhu %%%s", 1.25, 2.5, 300, "x"), printed("%.3f %lf %hhu %%%s", 1.25, 2.5, 300, "x"));
    // Cut at 2047 characters, inside a text and inside a number.
    EXPECT_EQ(logged("%s%s", long_text.c_str(), "tail"), printed("%s%s", long_text.c_str(), "tail"));
    const std::string almost(2040, 'w');
    EXPECT_EQ(logged("%s%llu", almost.c_str(), ULLONG_MAX), printed("%s%llu", almost.c_str(), ULLONG_MAX));
    EXPECT_EQ(logged("%s%d%%x", almost.c_str(), -123456), printed("%s%d%%x", almost.c_str(), -123456));
}

TEST_F(LogCapture, LocatedLinesNameProcessFileLineAndFunction)
{
    zws_log_set_style(zws_log_style::located);
    const int line = __LINE__ + 1;
    ZWS_LOG_NOTE("value %d", -7);
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0], "[notice] [" + std::to_string(getpid()) + "] log_test.cpp:" + std::to_string(line) +
                              " TestBody(): value -7\n");
}

// The id is kept between lines; a forked child's lines carry its own.
TEST_F(LogCapture, AForkedChildsLinesCarryItsProcessId)
{
    zws_log_set_style(zws_log_style::located);
    ZWS_LOG_NOTE("parent");
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].rfind("[notice] [" + std::to_string(getpid()) + "] ", 0), 0u) << g_lines[0];
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        g_lines.clear();
        ZWS_LOG_NOTE("child");
        const std::string line = g_lines.empty() ? "" : g_lines[0];
        const bool written = write(fds[1], line.data(), line.size()) == static_cast<ssize_t>(line.size());
        _exit(written ? 0 : 1);
    }
    close(fds[1]);
    std::string line;
    char buffer[256];
    for (ssize_t got; (got = read(fds[0], buffer, sizeof buffer)) > 0;)
        line.append(buffer, static_cast<size_t>(got));
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(line.rfind("[notice] [" + std::to_string(child) + "] ", 0), 0u) << line;
}

int g_filter_calls = 0;
bool errors_only(int priority)
{
    g_filter_calls++;
    return priority <= ZWS_LOG_ERR;
}

// A sink registered with its filter is not handed the lines it would drop;
// any other sink, such as this capture before and after, gets every line.
TEST_F(LogCapture, ASinksFilterDropsLinesBeforeTheyReachIt)
{
    ZWS_LOG_DEBUGGING("unfiltered %d", 1);
    EXPECT_TRUE(zws_log_wanted(ZWS_LOG_DEBUG));
    zws_log_sink_filter_set(capture, errors_only);
    g_filter_calls = 0;
    ZWS_LOG_DEBUGGING("dropped %d", 2);
    ZWS_LOG_ERROR("kept %d", 3);
    EXPECT_EQ(g_filter_calls, 2);
    EXPECT_FALSE(zws_log_wanted(ZWS_LOG_INFO));
    zws_log_sink_filter_set(capture, nullptr);
    ZWS_LOG_DEBUGGING("unfiltered again %d", 4);
    const std::vector<std::string> expected = {"[debug] unfiltered 1\n", "[error] kept 3\n",
                                               "[debug] unfiltered again 4\n"};
    EXPECT_EQ(g_lines, expected);
}

// The console sinks follow the mask, set or not.
TEST(LogWanted, TheConsoleFollowsTheMask)
{
    const zws_log_func_t saved = ZWS_LOG_FUNC;
    const uint32_t saved_mask = ZWS_LOG_MASK;
    ZWS_LOG_FUNC = zws_log_func_console;
    ZWS_LOG_MASK = (1u << (ZWS_LOG_WARNING + 1)) - 1;
    EXPECT_TRUE(zws_log_wanted(ZWS_LOG_WARNING));
    EXPECT_FALSE(zws_log_wanted(ZWS_LOG_NOTICE));
    ZWS_LOG_MASK = 0;
    EXPECT_TRUE(zws_log_wanted(ZWS_LOG_DEBUG)) << "an unset mask writes every priority";
    ZWS_LOG_MASK = saved_mask;
    ZWS_LOG_FUNC = saved;
}

TEST(LogDump, RowsArePaddedAndUseLowSevenBits)
{
    const uint8_t bytes[4] = {0x41, 0xC1, 0x00, 0x7E};
    EXPECT_EQ(zws_log_dump_row(bytes, 4),
              "| 41 C1 00 7E .. .. .. .. | .. .. .. .. .. .. .. .. | AA.~............");
    // Full rows (and more than a row's bytes) against rows one short.
    const uint8_t full[17] = {0x00, 0x1F, 0x20, 0x7E, 0x7F, 0x80, 0x9F, 0xA0,
                              0xFF, 0x30, 0x61, 0xB1, 0x0A, 0x5C, 0x22, 0xE1, 0x42};
    const struct {
        size_t count;
        const char *row;
    } rows[] = {
        {16, "| 00 1F 20 7E 7F 80 9F A0 | FF 30 61 B1 0A 5C 22 E1 | .. ~... .0a1.\\\"a"},
        {17, "| 00 1F 20 7E 7F 80 9F A0 | FF 30 61 B1 0A 5C 22 E1 | .. ~... .0a1.\\\"a"},
        {15, "| 00 1F 20 7E 7F 80 9F A0 | FF 30 61 B1 0A 5C 22 .. | .. ~... .0a1.\\\"."},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(zws_log_dump_row(full, row.count), row.row) << row.count;
        char text[ZWS_LOG_DUMP_LINE_MAX];
        EXPECT_EQ(zws_log_dump_line_format(text, full, row.count), std::strlen(row.row)) << row.count;
    }
}

} // namespace
