#include "service/zws_fcgi.h"
#include "service/zws_web_log.h"
#include "util/zws_log.h"

#include "service_fixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

// Runs `body` with standard error (the FastCGI error stream before the first
// request) sent to a file, and returns what was written.
template <typename Body> std::string capture_stderr(Body body)
{
    const std::string path = zws_test::binary_dir() + "/web-log-stderr.txt";
    fflush(stderr);
    const int saved = dup(2);
    const int file = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    dup2(file, 2);
    close(file);
    body();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string text;
    FILE *in = fopen(path.c_str(), "r");
    char block[512];
    size_t got;
    while ((got = fread(block, 1, sizeof block, in)) > 0)
        text.append(block, got);
    fclose(in);
    return text;
}

// A request's lines go to the web server in records of whole lines; only a
// line longer than a record is cut.
TEST(WebLog, LinesAreGroupedIntoRecordsOfWholeLines)
{
    const auto line = [](size_t characters) { return std::string(characters, 'x') + "\n"; };
    std::string hundred_lines;
    for (int i = 0; i < 20; i++)
        hundred_lines += line(99);
    const struct {
        const char *what;
        std::string text;
        std::vector<size_t> records;
    } cases[] = {
        {"a few short lines", "a\nbb\n", {5}},
        {"no line end at all", "abc", {3}},
        {"exactly a record", line(1599), {1600}},
        {"one byte more, in two lines", line(1599) + "y", {1600, 1}},
        {"lines of a hundred", hundred_lines, {1600, 400}},
        {"a long line between short ones", line(10) + line(3000) + line(10), {11, 1600, 1412}},
        {"a long line without its end", std::string(3500, 'z'), {1600, 1600, 300}},
        {"a line one byte too long", line(1600), {1600, 1}},
        {"short lines, then one too long", line(500) + line(1200), {501, 1201}},
    };
    for (const auto &c : cases) {
        std::vector<size_t> records;
        for (size_t start = 0; start < c.text.size();) {
            const size_t end = zws_fcgi_lines_record_end(c.text.data(), start, c.text.size());
            ASSERT_GT(end, start) << c.what;
            records.push_back(end - start);
            start = end;
        }
        EXPECT_EQ(records, c.records) << c.what;
    }
}

TEST(WebLog, DumpRowsGoToTheErrorStream)
{
    uint8_t bytes[20];
    for (int i = 0; i < 20; i++)
        bytes[i] = static_cast<uint8_t>(0x30 + i);
    bytes[0] = 0xC1;
    const std::string text = capture_stderr([&] { zws_web_log_dump_func(ZWS_LOG_DEBUG, bytes, 20); });
    EXPECT_EQ(text, "| C1 31 32 33 34 35 36 37 | 38 39 3A 3B 3C 3D 3E 3F | A123456789:;<=>?\n"
                    "| 40 41 42 43 .. .. .. .. | .. .. .. .. .. .. .. .. | @ABC............\n");
}

TEST(WebLog, LinesCarryLevelPidFileLineAndFunction)
{
    const zws_log_func_t old_func = ZWS_LOG_FUNC;
    const zws_log_dump_func_t old_dump = ZWS_LOG_DUMP_FUNC;
    const std::string text = capture_stderr([] {
        zws_web_log_start();
        ZWS_LOG_ERROR("value %d", 42);
    });
    ZWS_LOG_FUNC = old_func;
    ZWS_LOG_DUMP_FUNC = old_dump;
    zws_log_set_style(zws_log_style::plain);
    const std::string expected_start = "[error] [" + std::to_string(getpid()) + "] web_log_test.cpp:";
    EXPECT_EQ(text.rfind(expected_start, 0), 0u) << text;
    EXPECT_NE(text.find(" operator()(): value 42\n"), std::string::npos) << text;
}

TEST(WebLog, MaskedPriorityWritesNothing)
{
    const uint32_t old = ZWS_LOG_MASK;
    ZWS_LOG_MASK = 1u << ZWS_LOG_ERR;
    const std::string text = capture_stderr([] { zws_web_log_func(ZWS_LOG_DEBUG, "[%s] hidden\n%s", "debug", ""); });
    ZWS_LOG_MASK = old;
    EXPECT_EQ(text, "");
}

TEST(WebLog, RequestLinesWaitForTheEndOfTheRequest)
{
    std::string during;
    const std::string text = capture_stderr([&] {
        zws_web_log_request_begin();
        zws_web_log_func(ZWS_LOG_ERR, "[%s] first\n%s", "error", "");
        const uint8_t bytes[2] = {0x41, 0x42};
        zws_web_log_dump_func(ZWS_LOG_DEBUG, bytes, 2);
        zws_web_log_func(ZWS_LOG_DEBUG, "[%s] second\n%s", "debug", "");
        fflush(stderr);
        during = zws_test::read_file(zws_test::binary_dir() + "/web-log-stderr.txt");
        zws_web_log_request_end();
    });
    EXPECT_EQ(during, "");
    EXPECT_EQ(text, "[error] first\n"
                    "| 41 42 .. .. .. .. .. .. | .. .. .. .. .. .. .. .. | AB..............\n"
                    "[debug] second\n");
}

TEST(WebLog, OneRequestLogsABoundedAmount)
{
    const std::string line(100, 'x');
    const int lines = 2 * static_cast<int>(ZWS_WEB_LOG_REQUEST_MAX) / 101;
    const std::string text = capture_stderr([&] {
        zws_web_log_request_begin();
        for (int i = 0; i < lines; i++)
            zws_web_log_func(ZWS_LOG_DEBUG, "%s\n", line.c_str());
        zws_web_log_request_end();
    });
    EXPECT_LE(text.size(), ZWS_WEB_LOG_REQUEST_MAX + 200);
    EXPECT_GE(text.size(), ZWS_WEB_LOG_REQUEST_MAX - 101);
    const int kept = static_cast<int>(ZWS_WEB_LOG_REQUEST_MAX / 101);
    EXPECT_NE(text.find(std::to_string(lines - kept) + " log lines of this request dropped\n"), std::string::npos)
        << text.substr(text.size() - 200);
    // Every line arrives whole.
    EXPECT_EQ(text.find(line + line), std::string::npos);
}

TEST(WebLog, ControlCharactersFromOutsideAreEscaped)
{
    zws_test::log_capture log;
    zws_log_set_style(zws_log_style::located);
    ZWS_LOG_ERROR("User Name from REMOTE_USER: '%s'", "eve\n[error] forged\r\t\x1b\x7f");
    ZWS_LOG_ERROR("closing line end stays%s", "\n");
    zws_log_set_style(zws_log_style::plain);
    ASSERT_EQ(zws_test::log_capture::lines().size(), 2u);
    const std::string line = zws_test::log_capture::lines()[0];
    EXPECT_NE(line.find("(): User Name from REMOTE_USER: 'eve\\n[error] forged\\r\\t\\x1B\\x7F'\n"), std::string::npos)
        << line;
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    const std::string closing = zws_test::log_capture::lines()[1];
    EXPECT_EQ(closing.substr(closing.size() - 24), "closing line end stays\n\n");
}

TEST(WebLog, DumpLineWritesOneRowWithoutItsEnd)
{
    FILE *file = tmpfile();
    ASSERT_NE(file, nullptr);
    const uint8_t bytes[3] = {0x00, 0xFF, 0x20};
    zws_log_dump_line_console(file, bytes, 3);
    rewind(file);
    char row[128] = {};
    const size_t got = fread(row, 1, sizeof row - 1, file);
    fclose(file);
    EXPECT_EQ(std::string(row, got), "| 00 FF 20 .. .. .. .. .. | .. .. .. .. .. .. .. .. | .. .............");
}

} // namespace
