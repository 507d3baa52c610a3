#include "util/zws_file.h"

#include "tests/util/util_log_capture.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
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
    zw_test::captured_lines().clear();
    const zws_log_func_t saved = ZWS_LOG_FUNC;
    ZWS_LOG_FUNC = zw_test::capture_line;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        zw_test::captured_lines().clear();
        EXPECT_EQ(zws_file_name_is_safe(c.name), c.status);
        const auto errors = LogCapture::errors();
        if (c.status) {
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_EQ(errors[0], std::string("File name '") + c.name + "' is unsafe");
        } else {
            EXPECT_TRUE(errors.empty());
        }
    }
    ZWS_LOG_FUNC = saved;
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

} // namespace
