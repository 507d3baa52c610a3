// Runs the real morvash on real key files and reads the results back with
// GLib, the library every other reader of these files uses.

#include <glib.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const char *const fixture_text = "# kept at the top\n"
                                 "[network]\n"
                                 "# kept above port\n"
                                 "port=4123\n"
                                 "path=a\\sb\n"
                                 "\n"
                                 "[security]\n"
                                 "key=00112233\n";

const std::string usage = "Usage:\n\tmorvash <config_file> <config_group> <config_key> [config_value]\n"
                          "\tif no value is provided then the current value of config_key is returned\n";

struct run_result {
    int status = -1;
    std::string out;
    std::string err;
};

std::string read_fd(int fd)
{
    std::string text;
    char buffer[4096];
    ssize_t count;
    while ((count = ::read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(count));
    return text;
}

// `file_size_limit` makes every write of the child beyond that many bytes
// fail (EFBIG), which works even for root, unlike a read-only folder.
run_result run_morvash(const std::vector<std::string> &args, rlim_t file_size_limit = 0)
{
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(MORVASH_PATH));
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);

    int out_pipe[2];
    int err_pipe[2];
    run_result result;
    if (::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0)
        return result;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        ::close(out_pipe[0]);
        ::close(out_pipe[1]);
        ::close(err_pipe[0]);
        ::close(err_pipe[1]);
        if (file_size_limit != 0) {
            ::signal(SIGXFSZ, SIG_IGN);
            struct rlimit limit = {file_size_limit, file_size_limit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    // The outputs are a few lines, far below a pipe's capacity, so reading
    // one stream after the other cannot block the child.
    result.out = read_fd(out_pipe[0]);
    result.err = read_fd(err_pipe[0]);
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    int wait_status = 0;
    if (pid > 0 && ::waitpid(pid, &wait_status, 0) == pid && WIFEXITED(wait_status))
        result.status = WEXITSTATUS(wait_status);
    return result;
}

std::string read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct loaded_key_file {
    explicit loaded_key_file(const fs::path &path) : key_file(g_key_file_new())
    {
        ok = g_key_file_load_from_file(key_file, path.c_str(), G_KEY_FILE_KEEP_COMMENTS, nullptr);
    }
    ~loaded_key_file() { g_key_file_free(key_file); }
    loaded_key_file(const loaded_key_file &) = delete;
    loaded_key_file &operator=(const loaded_key_file &) = delete;

    std::optional<std::string> value(const char *group, const char *key) const
    {
        gchar *raw = g_key_file_get_value(key_file, group, key, nullptr);
        if (raw == nullptr)
            return std::nullopt;
        std::string text(raw);
        g_free(raw);
        return text;
    }
    std::string comment(const char *group, const char *key) const
    {
        gchar *raw = g_key_file_get_comment(key_file, group, key, nullptr);
        std::string text(raw != nullptr ? raw : "");
        g_free(raw);
        return text;
    }

    GKeyFile *key_file;
    bool ok = false;
};

class Morvash : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "morvash-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder = pattern;
        file = folder / "settings.conf";
        std::ofstream(file, std::ios::binary) << fixture_text;
        fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::permissions(folder, fs::perms::owner_all, ignored);
        fs::remove_all(folder, ignored);
    }

    std::vector<std::string> folder_entries() const
    {
        std::vector<std::string> names;
        for (const fs::directory_entry &entry : fs::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        return names;
    }
    void expect_file_untouched() const
    {
        EXPECT_EQ(read_file(file), fixture_text);
        EXPECT_EQ(folder_entries(), std::vector<std::string>{"settings.conf"});
    }

    fs::path folder;
    fs::path file;
};

TEST_F(Morvash, PrintsTheRawValueAndLeavesTheFileAlone)
{
    run_result result = run_morvash({file, "network", "path"});
    EXPECT_EQ(result.status, 0);
    // Raw text: the escape "\s" is not turned into a space.
    EXPECT_EQ(result.out, "Found:\n\tgroup: network key: path value: a\\sb\n\nDone!\n");
    EXPECT_EQ(result.err, "");
    expect_file_untouched();
}

TEST_F(Morvash, SetsTheValueAndKeepsCommentsOtherKeysAndMode)
{
    const fs::path original = folder / "original.conf";
    std::ofstream(original, std::ios::binary) << fixture_text;
    const loaded_key_file before(original);
    ASSERT_TRUE(before.ok);
    ASSERT_NE(before.comment("network", "port"), "");
    fs::remove(original);

    run_result result = run_morvash({file, "network", "port", "5000"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "Found:\n\tgroup: network key: port value: 4123\n"
                          "Setting:\n\tgroup: network key: port value: 5000\n\nDone!\n");
    EXPECT_EQ(result.err, "");

    loaded_key_file reloaded(file);
    ASSERT_TRUE(reloaded.ok);
    EXPECT_EQ(reloaded.value("network", "port"), "5000");
    EXPECT_EQ(reloaded.value("network", "path"), "a\\sb");
    EXPECT_EQ(reloaded.value("security", "key"), "00112233");
    EXPECT_EQ(reloaded.comment("network", "port"), before.comment("network", "port"));
    // GLib writes a blank line after the file's top comment, which reads back
    // as part of that comment.
    EXPECT_TRUE(reloaded.comment(nullptr, nullptr).starts_with(before.comment(nullptr, nullptr)));
    EXPECT_NE(read_file(file).find("# kept at the top\n"), std::string::npos);

    // The file may hold a key: rewriting it must not widen who can read it,
    // nor leave the temporary file behind.
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(folder_entries(), std::vector<std::string>{"settings.conf"});

    run_result again = run_morvash({file, "network", "port"});
    EXPECT_EQ(again.out, "Found:\n\tgroup: network key: port value: 5000\n\nDone!\n");
}

struct set_case {
    const char *name;
    std::vector<std::string> args; // after the file name
    std::string out;
    const char *group;
    const char *key;
    std::optional<std::string> stored; // nullopt: the file must stay byte for byte
};

class MorvashCases : public Morvash, public ::testing::WithParamInterface<set_case> {};

TEST_P(MorvashCases, ExitsZeroAndStoresWhatWasAsked)
{
    const set_case &c = GetParam();
    std::vector<std::string> args{file};
    args.insert(args.end(), c.args.begin(), c.args.end());
    run_result result = run_morvash(args);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, c.out);
    if (!c.stored) {
        expect_file_untouched();
        return;
    }
    loaded_key_file reloaded(file);
    ASSERT_TRUE(reloaded.ok);
    EXPECT_EQ(reloaded.value(c.group, c.key), c.stored);
    EXPECT_EQ(reloaded.value("network", "port"), c.group == std::string("network") &&
                                                             c.key == std::string("port")
                                                         ? c.stored
                                                         : std::optional<std::string>("4123"));
    EXPECT_EQ(reloaded.value("security", "key"), "00112233");
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, MorvashCases,
    ::testing::Values(
        set_case{"MissingKeyRead", {"network", "absent"},
                 "[Warning] group: network key: absent NOT found\n\nDone!\n", "network", "absent",
                 std::nullopt},
        set_case{"MissingKeyIsCreated", {"network", "absent", "7"},
                 "[Warning] group: network key: absent NOT found\n"
                 "Setting:\n\tgroup: network key: absent value: 7\n\nDone!\n",
                 "network", "absent", "7"},
        set_case{"MissingGroupIsCreated", {"radio", "channel", "11"},
                 "[Warning] group: radio key: channel NOT found\n"
                 "Setting:\n\tgroup: radio key: channel value: 11\n\nDone!\n",
                 "radio", "channel", "11"},
        set_case{"EmptyValue", {"network", "port", ""},
                 "Found:\n\tgroup: network key: port value: 4123\n"
                 "Setting:\n\tgroup: network key: port value: \n\nDone!\n",
                 "network", "port", ""},
        set_case{"ArgumentsAfterTheValueAreIgnored", {"network", "port", "9", "extra", "more"},
                 "Found:\n\tgroup: network key: port value: 4123\n"
                 "Setting:\n\tgroup: network key: port value: 9\n\nDone!\n",
                 "network", "port", "9"}),
    [](const ::testing::TestParamInfo<set_case> &info) { return info.param.name; });

TEST_F(Morvash, TooFewArgumentsPrintUsage)
{
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {}, {file.string()}, {file.string(), "network"}}) {
        run_result result = run_morvash(args);
        EXPECT_EQ(result.status, 255) << args.size();
        EXPECT_EQ(result.out, usage) << args.size();
    }
    expect_file_untouched();
}

TEST_F(Morvash, UnloadableFileGives254WithoutDoneLine)
{
    const fs::path missing = folder / "missing.conf";
    run_result result = run_morvash({missing, "network", "port", "1"});
    EXPECT_EQ(result.status, 254);
    EXPECT_EQ(result.out, "[Error] Could not read config file: " + missing.string() + "\n");
    EXPECT_FALSE(fs::exists(missing));

    // Not a key file: refusing to load it must also keep it from being overwritten.
    const std::string garbage = "this is not a key file\n";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << garbage;
    result = run_morvash({file, "network", "port", "1"});
    EXPECT_EQ(result.status, 254);
    EXPECT_EQ(result.out, "[Error] Could not read config file: " + file.string() + "\n");
    EXPECT_EQ(read_file(file), garbage);
}

TEST_F(Morvash, LineBreaksAreRefusedAndTheFileIsKept)
{
    // Each of these would write extra lines: a new group, a stray key, or a
    // line that makes the file unreadable on the next load.
    const std::vector<std::vector<std::string>> injections{
        {"network", "port", "1\n[admin]\npassword=x"},
        {"network", "port", "1\r"},
        {"network", "port\nstray", "1"},
        {"network\n[admin]", "port", "1"},
    };
    for (const std::vector<std::string> &args : injections) {
        std::vector<std::string> full{file};
        full.insert(full.end(), args.begin(), args.end());
        run_result result = run_morvash(full);
        EXPECT_EQ(result.status, 252) << args[2];
        EXPECT_NE(result.out.find("[Error] A group, key or value must not contain a line break"),
                  std::string::npos)
            << result.out;
        EXPECT_EQ(result.out.find("Setting:"), std::string::npos);
        EXPECT_TRUE(result.out.ends_with("\nDone!\n"));
        expect_file_untouched();
    }
}

TEST_F(Morvash, NameGlibRefusesIsReportedNotSaved)
{
    // GLib ignores such a set with only a warning; reporting success would lie.
    run_result result = run_morvash({file, "network", "a=b", "1"});
    EXPECT_EQ(result.status, 252);
    EXPECT_EQ(result.out, "[Warning] group: network key: a=b NOT found\n"
                          "Setting:\n\tgroup: network key: a=b value: 1\n"
                          "[Error] Could not set group: network key: a=b\n\nDone!\n");
    expect_file_untouched();
}

TEST_F(Morvash, FailedWriteKeepsTheOldFile)
{
    // The new text is longer than the limit, so the write of the temporary
    // file fails half-way.
    run_result result = run_morvash({file, "network", "port", "5000"}, 16);
    EXPECT_EQ(result.status, 253);
    EXPECT_EQ(result.out, "Found:\n\tgroup: network key: port value: 4123\n"
                          "Setting:\n\tgroup: network key: port value: 5000\n"
                          "[Error] Could not write to config file: " +
                              file.string() + "\n\nDone!\n");
    expect_file_untouched();
}

TEST_F(Morvash, ReadOnlyFolderFailsTheWrite)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root writes into read-only folders; FailedWriteKeepsTheOldFile covers it";
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
    run_result result = run_morvash({file, "network", "port", "5000"});
    fs::permissions(folder, fs::perms::owner_all);
    EXPECT_EQ(result.status, 253);
    EXPECT_NE(result.out.find("[Error] Could not write to config file: "), std::string::npos);
    expect_file_untouched();
}

} // namespace
