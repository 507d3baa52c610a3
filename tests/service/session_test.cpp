#include "service/zws_session.h"

#include "service_fixture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using zws_test::env_guard;

class Session : public ::testing::Test {
  protected:
    static std::string dir;
    static void SetUpTestSuite() { dir = zws_test::stage_install("session"); }
    void SetUp() override { env.set("VANTOR_INSTALL_PATH", dir + "/bin"); }

    void script(const std::string &name, const std::string &php)
    {
        zws_test::write_file(dir + "/install/corvale/auth-cgi-bin/" + name, php);
    }
    env_guard env;
};
std::string Session::dir;

struct cookie_case {
    const char *cookie; // null: no HTTP_COOKIE at all
    int status;
    const char *id;
};

TEST_F(Session, CookieTable)
{
    const cookie_case cases[] = {
        {nullptr, 13, nullptr},
        {"other=1", 22, nullptr},
        {"", 22, nullptr},
        {" \tPHPSESSID=abc; x=1", 0, "abc"},
        {"PHPSESSID=; PHPSESSID=def", 0, "def"},
        {"flag; PHPSESSID=x1", 0, "x1"},
        {"phpsessid=x", 22, nullptr},
        {"PHPSESSID =x", 22, nullptr},
        {"a=1; ; PHPSESSID=x", 22, nullptr}, // an empty entry ends the walk
        {"PHPSESSID=a b ;c=d", 0, "a b "},
        {"PHPSESSID=k=v", 0, "k=v"},
    };
    for (const cookie_case &c : cases) {
        SCOPED_TRACE(c.cookie ? c.cookie : "(none)");
        if (c.cookie)
            env.set("HTTP_COOKIE", c.cookie);
        else
            env.unset("HTTP_COOKIE");
        char *id = nullptr;
        ASSERT_EQ(zws_session_id_get(&id), c.status);
        if (c.status == 0) {
            EXPECT_STREQ(id, c.id);
        }
        zws_session_id_free(id);
    }
}

struct script_case {
    const char *php;
    int status;
    const char *user;
};

TEST_F(Session, ScriptAnswerTable)
{
    const script_case cases[] = {
        {"<?php echo 'dave'; exit(0);", 0, "dave"},
        {"<?php echo \"dave\\n\"; exit(0);", 0, "dave\n"}, // the line end is kept
        {"<?php exit(254);", 13, nullptr},
        {"<?php exit(253);", 13, nullptr},
        {"<?php exit(1);", 22, nullptr},
        {"<?php exit(0);", 13, nullptr}, // an empty name is no login
    };
    for (const script_case &c : cases) {
        SCOPED_TRACE(c.php);
        script("user_name_get.php", c.php);
        char *user = nullptr;
        ASSERT_EQ(zws_session_user_name_get_external("abc", &user), c.status);
        if (c.status == 0) {
            EXPECT_STREQ(user, c.user);
        }
        free(user);
    }
}

TEST_F(Session, MissingInterpreterFails)
{
    script("user_name_get.php", "<?php echo 'x';");
    const std::string link = dir + "/install/php/bin/php";
    ASSERT_EQ(unlink(link.c_str()), 0);
    char *user = nullptr;
    EXPECT_EQ(zws_session_user_name_get_external("abc", &user), 22);
    ASSERT_EQ(symlink("/usr/bin/php", link.c_str()), 0);
}

TEST_F(Session, ChildSeesNoStdinNoStrayDescriptorsAndTheCurrentUser)
{
    script("probe.php", "<?php\n"
                        "$in = fgets(STDIN); echo ($in === false ? 'eof' : 'data'), '|';\n"
                        "echo getenv('VANTOR_USER_NAME') === false ? '-' : getenv('VANTOR_USER_NAME'), '|';\n"
                        "foreach (scandir('/proc/self/fd') as $f) { echo @readlink('/proc/self/fd/' . $f), ','; } echo '|';\n"
                        "echo $argv[1], $argv[2], '|', str_repeat('z', 200000);\n");
    const std::string marker = zws_test::binary_dir() + "/stray-descriptor-marker";
    const int stray = open(marker.c_str(), O_CREAT | O_RDWR, 0600); // not close-on-exec
    ASSERT_GE(stray, 3);
    env.set("VANTOR_USER_NAME", "erin");
    char *output = nullptr;
    int length = 0;
    int code = -1;
    ASSERT_EQ(zws_exec_php_request("install/corvale/auth-cgi-bin/probe.php", 2, "A", "B", nullptr, &output, &length,
                                   &code),
              0);
    close(stray);
    ASSERT_EQ(code, 0);
    std::string text(output, static_cast<size_t>(length));
    free(output);
    ASSERT_NE(text.rfind("AB|"), std::string::npos);
    EXPECT_EQ(text.size() - text.rfind("AB|") - 3, 200000u) << "whole output read";
    EXPECT_EQ(text.substr(0, 9), "eof|erin|");
    const std::string fds = text.substr(9, text.find('|', 9) - 9);
    EXPECT_EQ(fds.find("stray-descriptor-marker"), std::string::npos) << fds;
    EXPECT_NE(fds.find("/dev/null"), std::string::npos) << fds;
}

TEST_F(Session, ChildPastItsDeadlineIsKilledAndReaped)
{
    script("hang.php", "<?php echo 'partial'; fflush(STDOUT); sleep(60);");
    char *output = nullptr;
    int length = 0;
    int code = -1;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(zws_exec_php_request("install/corvale/auth-cgi-bin/hang.php", 0, nullptr, nullptr, nullptr, &output,
                                   &length, &code),
              22);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(output, nullptr);
    EXPECT_GE(took, std::chrono::milliseconds(ZWS_PHP_DEADLINE_MS - 100));
    // Killed, not waited for: the script would sleep a minute.
    EXPECT_LT(took, std::chrono::seconds(50));
    int status = 0;
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST_F(Session, TooManyArgumentsAreRefused)
{
    char *output = nullptr;
    int length = 0;
    int code = 0;
    EXPECT_EQ(zws_exec_php_request("x.php", 4, "a", "b", "c", &output, &length, &code), 22);
}

TEST_F(Session, HolderIsASingleton)
{
    zws_test::log_capture log;
    zws_session_t *first = nullptr;
    zws_session_t *second = nullptr;
    ASSERT_EQ(zws_session_init(&first, nullptr), 0);
    ASSERT_EQ(zws_session_init(&second, nullptr), 0);
    EXPECT_EQ(first, second);
    EXPECT_TRUE(log.contains("Multiple calls to singleton object"));
    zws_session_exit(first);
}

} // namespace
