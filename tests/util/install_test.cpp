#include "util/zws_install.h"
#include "util/zws_log.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::vector<std::string> g_install_lines;

int capture_install_line(int, const char *format, ...)
{
    char buffer[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    g_install_lines.emplace_back(buffer);
    return 0;
}

// A staged install tree: VANTOR_INSTALL_PATH names <tmp>/x, so the root is
// <tmp>/x/.. and the files live directly below <tmp>.
struct InstallTree : ::testing::Test {
    void SetUp() override
    {
        char pattern[] = "/tmp/zw_install_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        base = pattern;
        fs::create_directories(base / "x");
        install_path = (base / "x").string();
        root = install_path + "/..";
        const char *old = std::getenv("VANTOR_INSTALL_PATH");
        if (old)
            saved_env = old;
        setenv("VANTOR_INSTALL_PATH", install_path.c_str(), 1);
        g_install_lines.clear();
        saved_log = ZWS_LOG_FUNC;
        ZWS_LOG_FUNC = capture_install_line;
    }
    void TearDown() override
    {
        ZWS_LOG_FUNC = saved_log;
        if (saved_env)
            setenv("VANTOR_INSTALL_PATH", saved_env->c_str(), 1);
        else
            unsetenv("VANTOR_INSTALL_PATH");
        fs::remove_all(base);
    }
    void write(const std::string &relative, const std::string &content)
    {
        const fs::path path = base / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }
    bool logged(const std::string &line) const
    {
        for (const auto &l : g_install_lines)
            if (l == line)
                return true;
        return false;
    }
    int count_level(const std::string &level) const
    {
        int n = 0;
        for (const auto &l : g_install_lines)
            n += l.rfind("[" + level + "]", 0) == 0;
        return n;
    }

    fs::path base;
    std::string install_path, root;
    std::optional<std::string> saved_env;
    zws_log_func_t saved_log = nullptr;
};

TEST_F(InstallTree, RootIsTheVariableFollowedBySlashDotDot)
{
    char *got = nullptr;
    ASSERT_EQ(zws_file_get_root_dir_path(&got), 0);
    EXPECT_EQ(std::string(got), root);
    zws_file_free_root_dir_path(got);
    EXPECT_TRUE(logged("[debug] VANTOR_INSTALL_PATH from environment variable: " + install_path + "\n"));

    // Computed anew on every call: once the directory is gone the root is too.
    fs::remove_all(base / "x");
    got = reinterpret_cast<char *>(0x1);
    EXPECT_EQ(zws_file_get_root_dir_path(&got), 22);
    EXPECT_EQ(got, reinterpret_cast<char *>(0x1));
    EXPECT_TRUE(logged("[error] Root dir not present at '" + root + "'\n"));
}

TEST_F(InstallTree, RootNeedsTheVariableAndAnExistingDirectory)
{
    char *got = nullptr;
    setenv("VANTOR_INSTALL_PATH", (base / "missing").c_str(), 1);
    EXPECT_EQ(zws_file_get_root_dir_path(&got), 22);
    EXPECT_TRUE(logged("[error] Root dir not present at '" + (base / "missing").string() + "/..'\n"));

    unsetenv("VANTOR_INSTALL_PATH");
    EXPECT_EQ(zws_file_get_root_dir_path(&got), 22);
    EXPECT_TRUE(logged("[error] Failed to get VANTOR_INSTALL_PATH env variable\n"));
    EXPECT_EQ(got, nullptr);
}

TEST_F(InstallTree, FileContentIsReadWholeBelowTheRoot)
{
    write("install/corvale/etc/blob", std::string("a\0b\r\nc", 6));
    char *content = nullptr;
    int length = -1;
    ASSERT_EQ(zws_file_get_file_content(root.c_str(), "install/corvale/etc/blob", &content, &length), 0);
    ASSERT_EQ(length, 6);
    EXPECT_EQ(std::string(content, 6), std::string("a\0b\r\nc", 6));
    EXPECT_EQ(content[6], '\0');
    zws_file_free_file_content(content);

    content = nullptr;
    EXPECT_EQ(zws_file_get_file_content(root.c_str(), "install/none", &content, &length), 22);
    EXPECT_EQ(content, nullptr);
}

struct VersionCase {
    const char *label;
    std::string file;
    const char *major; // null: absent
    const char *minor;
    std::vector<std::string> warnings;
};

TEST_F(InstallTree, HostControllerVersionFile)
{
    const VersionCase cases[] = {
        {"crlf", "MAJOR=1\r\nMINOR=2\r\n", "1", "2", {}},
        {"lf only", "MAJOR=1\nMINOR=2\n", "1", "2", {}},
        // The first line runs up to the first CR LF and keeps the LF inside.
        {"lf then crlf", "MAJOR=1\nMINOR=2\r\n", "1\nMINOR=2", nullptr, {}},
        {"two majors, last line unterminated", "MAJOR=1\r\nMAJOR=9\r\nMINOR=2", "1", "2", {}},
        {"two minors", "MINOR=4\r\nMINOR=5\r\n", nullptr, "4", {}},
        {"no delimiter", "junk\r\nMINOR=3\r\n", nullptr, "3",
         {"[warning] Unable to find key-value delimiter in the entry: junk\n"}},
        {"empty line", "\r\nMAJOR=7\r\n", "7", nullptr,
         {"[warning] Unable to find key-value delimiter in the entry: \n"}},
        {"empty key", "=5\r\nMAJOR=\r\n", "", nullptr, {"[warning] Empty key in the entry: =5\n"}},
        {"values untrimmed, split at first '='", "MAJOR= 1 \r\nMINOR=a=b\r\n", " 1 ", "a=b", {}},
        {"other keys only", "BUILD=3\r\nmajor=1\r\n", nullptr, nullptr, {}},
        {"empty file", "", nullptr, nullptr, {}},
        {"text ends at a NUL", std::string("MAJOR=1\0\r\nMINOR=2", 17), "1", nullptr, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        write("VERSION", c.file);
        g_install_lines.clear();
        char *major = reinterpret_cast<char *>(0x1), *minor = reinterpret_cast<char *>(0x1);
        ASSERT_EQ(zws_file_get_host_controller_application_version(root.c_str(), &major, &minor), 0);
        if (c.major) {
            ASSERT_NE(major, nullptr);
            EXPECT_EQ(std::string(major), c.major);
        } else {
            EXPECT_EQ(major, nullptr);
        }
        if (c.minor) {
            ASSERT_NE(minor, nullptr);
            EXPECT_EQ(std::string(minor), c.minor);
        } else {
            EXPECT_EQ(minor, nullptr);
        }
        zws_file_free_host_controller_application_version(major, minor);
        for (const auto &w : c.warnings)
            EXPECT_TRUE(logged(w)) << w;
        EXPECT_EQ(count_level("warning"), static_cast<int>(c.warnings.size()));
    }
}

TEST_F(InstallTree, VersionEntriesAreTraced)
{
    write("VERSION", "MAJOR=1\r\nMINOR=2");
    char *major = nullptr, *minor = nullptr;
    ASSERT_EQ(zws_file_get_host_controller_application_version(root.c_str(), &major, &minor), 0);
    zws_file_free_host_controller_application_version(major, minor);
    EXPECT_TRUE(logged("[debug] Entry: MAJOR=1\n"));
    EXPECT_TRUE(logged("[debug] Entry: MINOR=2\n"));
}

TEST_F(InstallTree, MissingVersionFileFails)
{
    char *major = reinterpret_cast<char *>(0x1), *minor = reinterpret_cast<char *>(0x1);
    EXPECT_EQ(zws_file_get_host_controller_application_version(root.c_str(), &major, &minor), 22);
    EXPECT_EQ(major, reinterpret_cast<char *>(0x1));
    EXPECT_EQ(minor, reinterpret_cast<char *>(0x1));
}

TEST_F(InstallTree, UiVersionFilePerType)
{
    const struct {
        unsigned type;
        const char *file;
        std::string content;
        const char *version;
    } cases[] = {
        {ZWS_UI_ENGINEERING, "install/corvale/htdocs/ui/eng/VERSION", "1.2.3\r\nnotes\n", "1.2.3"},
        {ZWS_UI_TV, "install/corvale/htdocs/ui/stb/VERSION", "2.0\nmore\r\nlast", "2.0\nmore"},
        {ZWS_UI_PC, "install/corvale/htdocs/ui/pc/VERSION", "3.1\nnext", "3.1"},
        {ZWS_UI_PHONE, "install/corvale/htdocs/ui/phone/VERSION", "4.4", "4.4"},
    };
    for (const auto &c : cases)
        write(c.file, c.content);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        char *version = nullptr;
        ASSERT_EQ(zws_file_get_ui_version(root.c_str(), c.type, &version), 0);
        EXPECT_EQ(std::string(version), c.version);
        // A line end inside the version is logged escaped.
        std::string shown = c.version;
        for (size_t at = shown.find('\n'); at != std::string::npos; at = shown.find('\n', at + 2))
            shown.replace(at, 1, "\\n");
        EXPECT_TRUE(logged("[debug] Version: " + shown + "\n"));
        zws_file_free_ui_version(version);
    }
}

TEST_F(InstallTree, UiVersionRefusesUnknownTypesAndMissingFiles)
{
    write("install/corvale/htdocs/ui/eng/VERSION", "1\r\n");
    for (unsigned type : {0u, 5u, 0xFFFFFFFFu}) {
        char *version = nullptr;
        EXPECT_EQ(zws_file_get_ui_version(root.c_str(), type, &version), 22) << type;
        EXPECT_EQ(version, nullptr);
    }
    char *version = nullptr;
    EXPECT_EQ(zws_file_get_ui_version(root.c_str(), ZWS_UI_PC, &version), 22);
    EXPECT_EQ(version, nullptr);
}

} // namespace
