#include "util/zws_file.h"

#include "tests/support/zws_log_capture.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using zw_test::LogCapture;

struct FileFixture : LogCapture {
    void SetUp() override
    {
        LogCapture::SetUp();
        char pattern[] = "/tmp/zw_util_file_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override
    {
        for (const std::string &path : created)
            ::unlink(path.c_str());
        ::rmdir(dir.c_str());
        LogCapture::TearDown();
    }
    std::string write_file(const std::string &name, const std::string &content)
    {
        const std::string path = dir + "/" + name;
        FILE *f = std::fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        if (f) {
            std::fwrite(content.data(), 1, content.size(), f);
            std::fclose(f);
        }
        created.push_back(path);
        return path;
    }
    // Buffer sizes the reader announced on its "Before:" trace lines.
    static std::vector<int> traced_sizes()
    {
        std::vector<int> sizes;
        for (const std::string &line : lines()) {
            const size_t at = line.find("Before: size: ");
            if (at != std::string::npos)
                sizes.push_back(std::atoi(line.c_str() + at + 14));
        }
        return sizes;
    }
    std::string dir;
    std::vector<std::string> created;
};

TEST(FileNameSafety, DotDotAsAWholeComponentIsUnsafe)
{
    struct Case {
        const char *name;
        int status;
    };
    const Case cases[] = {
        {"..", 22},       {"../a", 22},    {"a/..", 22},   {"a/../b", 22}, {"a/b/c/..", 22},
        {"ok/../..", 22}, {"x/a../..", 22}, {"a..", 0},     {"..a", 0},     {"a/...", 0},
        {"a/..b", 0},     {"...", 0},      {"a..b/c", 0},  {"", 0},        {"/abs/path.hex", 0},
        {"....", 0},      {"./x", 0},
    };
    zw_test::log_capture capture;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        capture.clear();
        EXPECT_EQ(zws_file_name_is_safe(c.name), c.status);
        const auto errors = LogCapture::errors();
        if (c.status) {
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_EQ(errors[0], std::string("File name '") + c.name + "' is unsafe");
        } else {
            EXPECT_TRUE(errors.empty());
        }
    }
}

TEST_F(FileFixture, EmptyFileGivesOnlyTheTerminator)
{
    const std::string path = write_file("empty", "");
    zws_log_set_style(zws_log_style::located);
    char *dest = nullptr;
    int length = -1;
    ASSERT_EQ(zws_read_from_file_path_with_dest_alloc(path.c_str(), &dest, &length, 0), 0);
    EXPECT_EQ(length, 0);
    ASSERT_NE(dest, nullptr);
    EXPECT_EQ(dest[0], '\0');
    EXPECT_EQ(traced_sizes(), std::vector<int>{1}); // file size + 1
    zws_read_dest_free(dest);
}

TEST_F(FileFixture, StreamGrowsOneBlockAtATime)
{
    std::string content;
    for (int i = 0; i < 300; i++)
        content += static_cast<char>(i % 251); // includes NUL bytes
    const std::string path = write_file("three_hundred", content);
    FILE *file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    zws_log_set_style(zws_log_style::located);
    char *dest = nullptr;
    int length = 0;
    ASSERT_EQ(zws_read_from_FILE_with_dest_alloc(file, &dest, &length, 0), 0);
    std::fclose(file);
    EXPECT_EQ(length, 300);
    EXPECT_EQ(std::string(dest, 300), content);
    EXPECT_EQ(dest[300], '\0');
    EXPECT_EQ(traced_sizes(), (std::vector<int>{128, 256, 384}));
    bool final_line = false;
    for (const std::string &line : lines())
        final_line |= line.find("Final : size: 384 read: 300 bytes: 44\n") != std::string::npos;
    EXPECT_TRUE(final_line);
    zws_read_dest_free(dest);
}

TEST_F(FileFixture, PlainStyleWritesNoTraceAndPathReadsWholeFile)
{
    const std::string content(1000, 'z');
    const std::string path = write_file("plain", content);
    for (int hint : {0, 7, 1000, 1001}) {
        SCOPED_TRACE(hint);
        char *dest = nullptr;
        int length = 0;
        ASSERT_EQ(zws_read_from_file_path_with_dest_alloc(path.c_str(), &dest, &length, hint), 0);
        EXPECT_EQ(length, 1000);
        EXPECT_EQ(std::string(dest), content);
        zws_read_dest_free(dest);
    }
    EXPECT_TRUE(lines().empty());
}

TEST_F(FileFixture, MissingFileAndUnreadableStream)
{
    char *dest = reinterpret_cast<char *>(0x1);
    int length = 42;
    const std::string missing = dir + "/missing";
    EXPECT_EQ(zws_read_from_file_path_with_dest_alloc(missing.c_str(), &dest, &length, 0), 22);
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_EQ(errors()[0], "Failed to open file '" + missing + "' to read: " + std::strerror(ENOENT));

    // A directory opens but cannot be read: the reader's own error path.
    clear();
    FILE *directory = std::fopen(dir.c_str(), "rb");
    ASSERT_NE(directory, nullptr);
    EXPECT_EQ(zws_read_from_FILE_with_dest_alloc(directory, &dest, &length, 0), 22);
    std::fclose(directory);
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_EQ(errors()[0], std::string("Failed to read file: ") + std::strerror(EISDIR));
    EXPECT_EQ(dest, reinterpret_cast<char *>(0x1));
    EXPECT_EQ(length, 42);
}

TEST_F(FileFixture, UnseekableFileIsRefusedAfterOneLinePerSeek)
{
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    created.push_back(fifo);
    std::thread writer([&] {
        // Only opens: the reader needs a writer to get past its open, and a
        // write after the reader has closed would raise SIGPIPE.
        const int fd = ::open(fifo.c_str(), O_WRONLY);
        if (fd >= 0)
            ::close(fd);
    });
    char *dest = nullptr;
    int length = 0;
    EXPECT_EQ(zws_read_from_file_path_with_dest_alloc(fifo.c_str(), &dest, &length, 0), 22);
    writer.join();
    const std::string illegal = std::strerror(ESPIPE);
    ASSERT_EQ(errors().size(), 2u);
    EXPECT_EQ(errors()[0], "Failed to seek file '" + fifo + "' to the end: " + illegal);
    EXPECT_EQ(errors()[1], "Failed to seek file '" + fifo + "' back to the top: " + illegal);
}

TEST_F(FileFixture, FileTooLargeForAnIntIsRefusedBeforeReading)
{
    // A sparse file: its size costs no disk and no read happens.
    const std::string path = write_file("huge", "");
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(INT_MAX)), 0);
    char *dest = nullptr;
    int length = 0;
    EXPECT_EQ(zws_read_from_file_path_with_dest_alloc(path.c_str(), &dest, &length, 0), 22);
    EXPECT_EQ(dest, nullptr);
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_EQ(errors()[0], "Failed to allocate memory");
}

// A stream that hands out its bytes in a fixed pattern of chunk sizes, to
// drive the reader's loop through short reads, errors and the end.
struct ScriptedStream {
    std::string bytes;
    std::vector<size_t> chunks; // bytes per call; past the list: the rest
    bool fail_at_end = false;
    size_t at = 0;
    size_t call = 0;
    bool error = false;
    bool eof = false;

    static size_t read(void *context, char *buffer, size_t size)
    {
        auto *s = static_cast<ScriptedStream *>(context);
        size_t want = s->call < s->chunks.size() ? s->chunks[s->call] : size;
        s->call++;
        want = std::min({want, size, s->bytes.size() - s->at});
        std::memcpy(buffer, s->bytes.data() + s->at, want);
        s->at += want;
        if (s->at == s->bytes.size() && want < size && s->call > s->chunks.size()) {
            if (s->fail_at_end) {
                s->error = true;
                errno = EIO;
            } else {
                s->eof = true;
            }
        }
        return want;
    }
    static int error_of(void *context) { return static_cast<ScriptedStream *>(context)->error; }
    static int eof_of(void *context) { return static_cast<ScriptedStream *>(context)->eof; }
    zws_stream_reader_t reader() { return {this, read, error_of, eof_of}; }
};

TEST_F(FileFixture, ShortReadsWithoutEndContinueAndErrorsFreeTheBuffer)
{
    ScriptedStream stream;
    stream.bytes = std::string(50, 'a') + std::string(50, 'b');
    stream.chunks = {3, 0, 10, 0}; // short reads that are neither error nor end
    const zws_stream_reader_t reader = stream.reader();
    char *dest = nullptr;
    int length = 0;
    ASSERT_EQ(zws_read_from_stream_with_dest_alloc(&reader, &dest, &length, 16), 0);
    EXPECT_EQ(length, 100);
    EXPECT_EQ(std::string(dest), stream.bytes);
    zws_read_dest_free(dest);

    ScriptedStream failing;
    failing.bytes = std::string(40, 'c');
    failing.fail_at_end = true;
    const zws_stream_reader_t failing_reader = failing.reader();
    dest = nullptr;
    EXPECT_EQ(zws_read_from_stream_with_dest_alloc(&failing_reader, &dest, &length, -4), 22);
    EXPECT_EQ(dest, nullptr);
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_EQ(errors()[0], std::string("Failed to read file: ") + std::strerror(EIO));
}

// Writing: real files in the fixture's folder; after every call the folder
// must hold exactly the files the test made (no temporary file left over).
struct WriteFixture : FileFixture {
    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored); // links and subfolders too
        FileFixture::TearDown();
    }
    std::string path_of(const std::string &name) const { return dir + "/" + name; }
    std::string read_back(const std::string &path)
    {
        char *dest = nullptr;
        int length = 0;
        EXPECT_EQ(zws_read_from_file_path_with_dest_alloc(path.c_str(), &dest, &length, 0), 0) << path;
        std::string content = dest ? std::string(dest, static_cast<size_t>(length)) : std::string();
        zws_read_dest_free(dest);
        return content;
    }
    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(dir))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    static mode_t mode_of(const std::string &path)
    {
        struct stat st{};
        EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
        return st.st_mode & 07777;
    }
    static std::string pattern(size_t size, char seed)
    {
        std::string bytes(size, '\0');
        for (size_t i = 0; i < size; i++)
            bytes[i] = static_cast<char>(seed + i % 97); // NUL bytes where seed + i wraps
        return bytes;
    }
};

TEST_F(WriteFixture, StreamWriteFailsOnAnyShortCount)
{
    const std::string path = path_of("stream");
    FILE *out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    const std::string bytes("hello\0world", 11);
    EXPECT_EQ(zws_write_to_FILE(out, bytes.data(), bytes.size()), 0);
    std::fclose(out);
    EXPECT_EQ(read_back(path), bytes);
    EXPECT_TRUE(lines().empty());

    FILE *read_only = std::fopen(path.c_str(), "rb");
    ASSERT_NE(read_only, nullptr);
    EXPECT_EQ(zws_write_to_FILE(read_only, bytes.data(), 0), 0); // nothing to write
    EXPECT_TRUE(errors().empty());
    EXPECT_EQ(zws_write_to_FILE(read_only, bytes.data(), bytes.size()), 22);
    std::fclose(read_only);
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_EQ(errors()[0], std::string("Failed to write file: ") + std::strerror(EBADF));

    clear();
    FILE *full = std::fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    std::setvbuf(full, nullptr, _IONBF, 0);
    EXPECT_EQ(zws_write_to_FILE(full, bytes.data(), bytes.size()), 22);
    std::fclose(full);
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_EQ(errors()[0], std::string("Failed to write file: ") + std::strerror(ENOSPC));
}

TEST_F(WriteFixture, NewFileThenReplacementWithShorterContent)
{
    const std::string path = path_of("zip_server.txt");
    const std::string large = pattern(10000, 'a'); // more than one stdio buffer
    ASSERT_EQ(zws_write_to_file_path(path.c_str(), large.data(), large.size()), 0);
    EXPECT_EQ(read_back(path), large);
    EXPECT_EQ(entries(), std::vector<std::string>{"zip_server.txt"});

    // Replacing must not leave the old tail behind the new content.
    const std::string small = "10.0.0.1|41230\n";
    ASSERT_EQ(zws_write_to_file_path(path.c_str(), small.data(), small.size()), 0);
    EXPECT_EQ(read_back(path), small);
    ASSERT_EQ(zws_write_to_file_path(path.c_str(), "", 0), 0);
    EXPECT_EQ(read_back(path), "");
    EXPECT_EQ(entries(), std::vector<std::string>{"zip_server.txt"});
    EXPECT_TRUE(lines().empty());
}

TEST_F(WriteFixture, NewFileFollowsTheUmaskAndReplacementKeepsTheMode)
{
    const mode_t saved_umask = ::umask(022);
    for (mode_t mask : {0022, 0077, 0000, 0027}) {
        SCOPED_TRACE(mask);
        ::umask(mask);
        const std::string path = path_of("new" + std::to_string(mask));
        ASSERT_EQ(zws_write_to_file_path(path.c_str(), "x", 1), 0);
        EXPECT_EQ(mode_of(path), 0644 & ~mask);
    }
    // The old file's mode holds whatever the umask, wider or narrower.
    ::umask(077);
    for (mode_t mode : {0600, 0640, 0755, 0604, 0666, 0400}) {
        SCOPED_TRACE(mode);
        const std::string path = write_file("kept" + std::to_string(mode), "old");
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
        ASSERT_EQ(zws_write_to_file_path(path.c_str(), "new", 3), 0);
        EXPECT_EQ(mode_of(path), mode);
        EXPECT_EQ(read_back(path), "new");
    }
    ::umask(saved_umask);
    EXPECT_EQ(entries().size(), 10u);
    EXPECT_TRUE(lines().empty());
}

TEST_F(WriteFixture, LinkIsWrittenThrough)
{
    const std::string real = write_file("real", "old");
    ASSERT_EQ(::chmod(real.c_str(), 0600), 0);
    const std::string link = path_of("link");
    ASSERT_EQ(::symlink("real", link.c_str()), 0);
    ASSERT_EQ(zws_write_to_file_path(link.c_str(), "new", 3), 0);
    struct stat st{};
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_back(real), "new");
    EXPECT_EQ(mode_of(real), 0600u);
    EXPECT_EQ(entries(), (std::vector<std::string>{"link", "real"}));
}

TEST_F(WriteFixture, FailedOpenOrRenameKeepsWhatWasThere)
{
    const std::string old = write_file("old", "old content");

    const std::string nowhere = path_of("no/such/file");
    EXPECT_EQ(zws_write_to_file_path(nowhere.c_str(), "x", 1), 22);
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_EQ(errors()[0], "Failed to open file '" + nowhere + "' to write: " + std::strerror(ENOENT));

    // A folder in the target's place: everything works up to the rename.
    clear();
    const std::string folder = path_of("folder");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    EXPECT_EQ(zws_write_to_file_path(folder.c_str(), "x", 1), 22);
    ASSERT_EQ(errors().size(), 1u);
    const std::string line = errors()[0];
    EXPECT_EQ(line.rfind("Failed to rename file '" + folder + ".tmp.", 0), 0u) << line;
    const std::string tail = "' to '" + folder + "': " + std::strerror(EISDIR);
    ASSERT_GE(line.size(), tail.size());
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
    EXPECT_TRUE(std::filesystem::is_directory(folder));

    EXPECT_EQ(read_back(old), "old content");
    EXPECT_EQ(entries(), (std::vector<std::string>{"folder", "old"}));
}

// A file-size limit makes the write itself fail (large content, written
// straight through) or only the flush (small content, held in the stdio
// buffer). The limit is set in a child so the test process keeps its own.
TEST_F(WriteFixture, FailedWriteOrFlushKeepsTheOldFile)
{
    const std::string path = write_file("target", "old content");
    struct Case {
        size_t length;
        std::string error;
    };
    const std::string too_large = std::strerror(EFBIG);
    const Case cases[] = {
        {100000, "Failed to write file: " + too_large},
        {1000, "Failed to fflush file '" + path + "': " + too_large},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.length);
        int report[2];
        ASSERT_EQ(::pipe(report), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(report[0]);
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{512, 512};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            clear();
            const std::string content = pattern(c.length, 'n');
            std::string message = std::to_string(zws_write_to_file_path(path.c_str(), content.data(), content.size()));
            for (const std::string &e : errors())
                message += "\n" + e;
            (void)!::write(report[1], message.data(), message.size());
            ::_exit(0);
        }
        ::close(report[1]);
        std::string message;
        char chunk[512];
        for (ssize_t n; (n = ::read(report[0], chunk, sizeof chunk)) > 0;)
            message.append(chunk, static_cast<size_t>(n));
        ::close(report[0]);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(message, "22\n" + c.error);
        EXPECT_EQ(read_back(path), "old content");
        EXPECT_EQ(entries(), std::vector<std::string>{"target"});
    }
}

// Writers that share a temporary name would interleave their bytes; the file
// must always hold one writer's content whole.
TEST_F(WriteFixture, ConcurrentWritersNeverMixTheirContent)
{
    const std::string path = path_of("shared");
    constexpr int writers = 4;
    constexpr int rounds = 25;
    std::vector<std::string> contents;
    for (int w = 0; w < writers; w++)
        contents.push_back(pattern(6000 + static_cast<size_t>(w) * 100, static_cast<char>('A' + w)));
    std::vector<int> failures(writers, 0);
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; w++)
        threads.emplace_back([&, w] {
            for (int r = 0; r < rounds; r++)
                failures[static_cast<size_t>(w)] +=
                    zws_write_to_file_path(path.c_str(), contents[static_cast<size_t>(w)].data(),
                                           contents[static_cast<size_t>(w)].size()) != 0;
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(failures, std::vector<int>(writers, 0));
    const std::string final_content = read_back(path);
    EXPECT_NE(std::find(contents.begin(), contents.end(), final_content), contents.end());
    EXPECT_EQ(entries(), std::vector<std::string>{"shared"});
}

} // namespace
