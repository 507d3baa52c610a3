#include "daemon/zwp_log.h"

#include "tests/support/zws_log_capture.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

using zw_test::log_capture;

TEST(DaemonLog, LevelMaskTable)
{
    const struct {
        const char *name;
        uint32_t mask;
    } cases[] = {
        {"emergency", 0x01}, {"alert", 0x03},       {"critical", 0x07}, {"error", 0x0F},  {"warning", 0x1F},
        {"notice", 0x3F},    {"information", 0x7F}, {"function", 0xFF}, {"debug", 0xFF}, {"ERROR", 0x0F},
        {"WarNing", 0x1F},
    };
    for (const auto &c : cases) {
        uint32_t mask = 0;
        EXPECT_EQ(zws_log_level_mask(c.name, &mask), 0) << c.name;
        EXPECT_EQ(mask, c.mask) << c.name;
    }
    uint32_t mask = 0x1234;
    EXPECT_EQ(zws_log_level_mask("verbose", &mask), 22);
    EXPECT_EQ(zws_log_level_mask("", &mask), 22);
    EXPECT_EQ(mask, 0x1234u);
}

// Texts from outside reach log lines escaped: nothing they hold can end the
// line or pass for the start of another, and the escapes stay readable.
TEST(DaemonLog, OutsideTextsAreEscaped)
{
    const struct {
        std::string text;
        const char *logged;
    } cases[] = {
        {"network_version_get", "network_version_get"},
        {"x\n[error] forged", "x\\n[error] forged"},
        {"a\rb\tc", "a\\rb\\tc"},
        {std::string("nul\0inside", 10), "nul\\x00inside"},
        {"\x1b[31mred\x7f", "\\x1b[31mred\\x7f"},
        {"back\\slash", "back\\\\slash"},
        {"caf\xc3\xa9", "caf\xc3\xa9"}, // UTF-8 stays as it came
    };
    for (const auto &c : cases)
        EXPECT_EQ(zwp_log_escape(c.text.data(), c.text.size()), c.logged) << c.logged;
    EXPECT_EQ(zwp_log_escape(nullptr), "(null)");
}

struct parsed_config {
    explicit parsed_config(const char *text)
    {
        config_init(&config);
        ok = config_read_string(&config, text) == CONFIG_TRUE;
    }
    ~parsed_config() { config_destroy(&config); }
    config_t config;
    bool ok;
};

TEST(DaemonLog, SettingsFromConfiguration)
{
    const struct {
        const char *text;
        uint32_t mask;
        uint32_t target;
        bool warns;
    } cases[] = {
        {"", 0xFF, ZWS_LOG_TARGET_CONSOLE, false},
        {"log = { upto_level = \"warning\"; };", 0x1F, ZWS_LOG_TARGET_CONSOLE, false},
        {"log = { upto_level = \"ERROR\"; target = \"SysLog\"; };", 0x0F, ZWS_LOG_TARGET_SYSLOG, false},
        {"log = { target = \"syslog\"; };", 0xFF, ZWS_LOG_TARGET_SYSLOG, false},
        {"log = { target = \"file\"; };", 0xFF, ZWS_LOG_TARGET_CONSOLE, false},
        {"log = { upto_level = 3; };", 0xFF, ZWS_LOG_TARGET_CONSOLE, false},
        {"log = { upto_level = \"loud\"; };", 0xFF, ZWS_LOG_TARGET_CONSOLE, true},
    };
    for (const auto &c : cases) {
        parsed_config parsed(c.text);
        ASSERT_TRUE(parsed.ok) << c.text;
        log_capture capture;
        zws_log_settings_t *settings = nullptr;
        ASSERT_EQ(zws_log_settings_create(&settings, &parsed.config, "/etc/x", "kestrund"), 0);
        EXPECT_EQ(settings->mask, c.mask) << c.text;
        EXPECT_EQ(settings->target, c.target) << c.text;
        EXPECT_STREQ(settings->ident, "kestrund");
        EXPECT_EQ(capture.lines().size(), c.warns ? 1u : 0u) << c.text;
        zws_log_settings_destroy(settings);
    }
}

TEST(DaemonLog, SecondSettingsAreTheFirst)
{
    parsed_config parsed("");
    zws_log_settings_t *first = nullptr;
    zws_log_settings_t *second = nullptr;
    ASSERT_EQ(zws_log_settings_create(&first, &parsed.config, "/", "a"), 0);
    log_capture capture;
    ASSERT_EQ(zws_log_settings_create(&second, &parsed.config, "/", "b"), 0);
    EXPECT_EQ(first, second);
    EXPECT_TRUE(capture.has("[warning] Multiple calls to singleton object\n"));
    zws_log_settings_destroy(first);
}

// Sends one stream of this process into a file for a while.
struct redirect {
    redirect(FILE *stream, int fd) : stream(stream), fd(fd)
    {
        std::fflush(stream);
        path = "/tmp/zwp_log_test_" + std::to_string(getpid()) + "_" + std::to_string(fd);
        saved = dup(fd);
        FILE *file = std::fopen(path.c_str(), "w");
        dup2(fileno(file), fd);
        std::fclose(file);
    }
    std::string finish()
    {
        std::fflush(stream);
        dup2(saved, fd);
        close(saved);
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        std::remove(path.c_str());
        return text.str();
    }
    FILE *stream;
    int fd;
    int saved;
    std::string path;
};

TEST(DaemonLog, ConsoleTargetMasksAndSplitsStreams)
{
    parsed_config parsed("log = { upto_level = \"warning\"; target = \"console\"; };");
    zws_log_settings_t *settings = nullptr;
    ASSERT_EQ(zws_log_settings_create(&settings, &parsed.config, "/", "kestrund"), 0);
    const uint32_t saved_mask = ZWS_LOG_MASK;
    zws_log_t *log = nullptr;
    ASSERT_EQ(zws_log_init(&log, settings), 0);
    EXPECT_EQ(ZWS_LOG_MASK, 0x1Fu);
    EXPECT_EQ(ZWS_LOG_FUNC, zws_log_func_console);

    redirect out(stdout, STDOUT_FILENO);
    redirect err(stderr, STDERR_FILENO);
    ZWS_LOG_INFORMATION("not shown %d", 1);
    ZWS_LOG_WARN("shown on stdout %d", 2);
    ZWS_LOG_ERROR("shown on stderr %d", 3);
    ZWP_LOG_EMERGENCY("also on stderr");
    const std::string err_text = err.finish();
    const std::string out_text = out.finish();
    EXPECT_EQ(out_text, "[warning] shown on stdout 2\n");
    EXPECT_EQ(err_text, "[error] shown on stderr 3\n[emergency] also on stderr\n");

    zws_log_exit(log);
    zws_log_settings_destroy(settings);
    ZWS_LOG_MASK = saved_mask;
}

TEST(DaemonLog, SyslogTargetSwitchesBothSinks)
{
    parsed_config parsed("log = { upto_level = \"error\"; target = \"syslog\"; };");
    zws_log_settings_t *settings = nullptr;
    ASSERT_EQ(zws_log_settings_create(&settings, &parsed.config, "/", "kestrund"), 0);
    zws_log_t *log = nullptr;
    ASSERT_EQ(zws_log_init(&log, settings), 0);
    EXPECT_EQ(ZWS_LOG_FUNC, zws_log_func_syslog);
    EXPECT_EQ(ZWS_LOG_DUMP_FUNC, zws_log_dump_func_syslog);
    zws_log_exit(log);
    ZWS_LOG_FUNC = zws_log_func_console;
    ZWS_LOG_DUMP_FUNC = zws_log_dump_func_console;
    zws_log_settings_destroy(settings);
}

TEST(DaemonLog, FunctionTraces)
{
    log_capture capture;
    ZWP_LOG_FUNCTION_START();
    ZWP_LOG_FUNCTION_END(22);
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    const int line = __LINE__ - 4;
    const std::string where = "] core_log_test.cpp:";
    const std::string head = "[function] [" + std::to_string(getpid()) + ":" + std::to_string(gettid()) + where;
    EXPECT_EQ(lines[0], head + std::to_string(line) + " TestBody(): Function started\n");
    EXPECT_EQ(lines[1], head + std::to_string(line + 1) + " TestBody(): Function ended with 22\n");
}

} // namespace
