#include "util/zws_file.h"

#include "util/zws_log.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr zws_status_t ok = 0;
constexpr zws_status_t failed = 22;
constexpr int default_block_size = 128;

bool trace_reads() { return zws_log_get_style() == zws_log_style::located; }

size_t stdio_read(void *context, char *buffer, size_t size)
{
    return std::fread(buffer, 1, size, static_cast<FILE *>(context));
}
int stdio_error(void *context) { return std::ferror(static_cast<FILE *>(context)); }
int stdio_eof(void *context) { return std::feof(static_cast<FILE *>(context)); }

// Writing in place through a symbolic link changes the file it names, so the
// replacement goes beside that file. A new path or a dangling link is taken
// as given.
std::string write_target(const char *path)
{
    struct stat link;
    if (::lstat(path, &link) == 0 && S_ISLNK(link.st_mode)) {
        if (char *real = ::realpath(path, nullptr)) {
            std::string target(real);
            std::free(real);
            return target;
        }
    }
    return path;
}

std::string folder_of(const std::string &target)
{
    const size_t slash = target.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : target.substr(0, slash);
}

// Names of temporary files: the process id keeps concurrent processes apart,
// the counter concurrent writers of one process; a name still taken (left by
// an earlier process with the same id) is skipped.
std::atomic<unsigned> temp_counter{0};
constexpr int temp_attempts = 100;

// Removes the temporary file unless it has become the target.
struct temp_file_guard {
    std::string name;
    bool renamed = false;
    ~temp_file_guard()
    {
        if (!name.empty() && !renamed)
            ::unlink(name.c_str());
    }
};

// Creates the temporary file exclusively; the kernel applies the umask to
// `mode`. Returns the descriptor (guard.name set) or -1 with errno.
int create_temp(const std::string &target, mode_t mode, temp_file_guard &guard)
{
    for (int attempt = 0; attempt < temp_attempts; attempt++) {
        std::string name = target + ".tmp." + std::to_string(::getpid()) + "." +
                           std::to_string(temp_counter.fetch_add(1, std::memory_order_relaxed));
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            guard.name = std::move(name);
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

// Makes the new file look like the old one: owner where we may (a process
// that is not root keeps its own), and the exact mode, which matters for
// files that hold keys.
zws_status_t copy_owner_and_mode(int fd, const struct stat &old, const char *path)
{
    struct stat created;
    if (::fstat(fd, &created) == 0 && (created.st_uid != old.st_uid || created.st_gid != old.st_gid)) {
        // Best effort: chown also clears set-id bits, so it comes first.
        (void)!::fchown(fd, old.st_uid, old.st_gid);
    }
    if (::fchmod(fd, old.st_mode & 07777) != 0) {
        ZWS_LOG_ERROR("Failed to set mode of file '%s': %s", path, std::strerror(errno));
        return failed;
    }
    return ok;
}

zws_status_t sync_folder(const std::string &folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) {
        ZWS_LOG_ERROR("Failed to fsync folder '%s': %s", folder.c_str(), std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
        return failed;
    }
    ::close(fd);
    return ok;
}

} // namespace

zws_status_t zws_file_name_is_safe(const char *file_name)
{
    for (const char *dots = std::strstr(file_name, ".."); dots != nullptr; dots = std::strstr(dots + 1, "..")) {
        const bool starts_component = dots == file_name || dots[-1] == '/';
        const bool ends_component = dots[2] == '\0' || dots[2] == '/';
        if (starts_component && ends_component) {
            ZWS_LOG_ERROR("File name '%s' is unsafe", file_name);
            return failed;
        }
    }
    return ok;
}

zws_status_t zws_read_from_stream_with_dest_alloc(const zws_stream_reader_t *stream, char **dest_p, int *length,
                                                  int block_size_hint)
{
    const int block = block_size_hint > 0 ? block_size_hint : default_block_size;
    char *buffer = nullptr;
    int size = 0;
    int read = 0;
    int bytes = 0;
    for (;;) {
        // One block of room behind what was read; after a full read that is
        // one more block, so a stream of n bytes ends in ceil((n+1)/block).
        if (read > INT_MAX - block) {
            ZWS_LOG_ERROR("Failed to allocate memory");
            std::free(buffer);
            return failed;
        }
        if (size < read + block) {
            char *grown = static_cast<char *>(std::realloc(buffer, static_cast<size_t>(read + block)));
            if (grown == nullptr) {
                ZWS_LOG_ERROR("Failed to allocate memory");
                std::free(buffer);
                return failed;
            }
            buffer = grown;
            size = read + block;
        }
        if (trace_reads())
            ZWS_LOG_DEBUGGING("Before: size: %d read: %d bytes: %d", size, read, bytes);
        errno = 0;
        bytes = static_cast<int>(stream->read(stream->context, buffer + read, static_cast<size_t>(block)));
        const int read_errno = errno; // the trace line below may change errno
        read += bytes;
        if (trace_reads())
            ZWS_LOG_DEBUGGING("After : size: %d read: %d bytes: %d", size, read, bytes);
        if (bytes >= block)
            continue;
        if (stream->error(stream->context)) {
            ZWS_LOG_ERROR("Failed to read file: %s", std::strerror(read_errno));
            std::free(buffer);
            return failed;
        }
        if (stream->eof(stream->context)) {
            // A short read leaves room for the terminator.
            buffer[read] = '\0';
            if (trace_reads())
                ZWS_LOG_DEBUGGING("Final : size: %d read: %d bytes: %d", size, read, bytes);
            *dest_p = buffer;
            *length = read;
            return ok;
        }
    }
}

zws_status_t zws_read_from_FILE_with_dest_alloc(FILE *file, char **dest_p, int *length, int block_size_hint)
{
    const zws_stream_reader_t stream{file, stdio_read, stdio_error, stdio_eof};
    return zws_read_from_stream_with_dest_alloc(&stream, dest_p, length, block_size_hint);
}

zws_status_t zws_read_from_file_path_with_dest_alloc(const char *path, char **dest_p, int *length,
                                                     int block_size_hint)
{
    FILE *file = std::fopen(path, "rb");
    if (file == nullptr) {
        ZWS_LOG_ERROR("Failed to open file '%s' to read: %s", path, std::strerror(errno));
        return failed;
    }
    if (block_size_hint == 0) {
        // The file's size plus one lets the whole file arrive in one read and
        // the reader see its end at once.
        if (std::fseek(file, 0, SEEK_END) != 0) {
            ZWS_LOG_ERROR("Failed to seek file '%s' to the end: %s", path, std::strerror(errno));
        } else {
            const long position = std::ftell(file);
            if (position >= INT_MAX) {
                ZWS_LOG_ERROR("Failed to allocate memory");
                std::fclose(file);
                return failed;
            }
            if (position >= 0)
                block_size_hint = static_cast<int>(position) + 1;
        }
        if (std::fseek(file, 0, SEEK_SET) != 0) {
            ZWS_LOG_ERROR("Failed to seek file '%s' back to the top: %s", path, std::strerror(errno));
            std::fclose(file);
            return failed;
        }
    }
    char *dest = nullptr;
    int dest_length = 0;
    if (zws_read_from_FILE_with_dest_alloc(file, &dest, &dest_length, block_size_hint) != ok) {
        std::fclose(file);
        return failed;
    }
    if (std::fclose(file) != 0) {
        ZWS_LOG_ERROR("Failed to close file '%s': %s", path, std::strerror(errno));
        std::free(dest);
        return failed;
    }
    *dest_p = dest;
    *length = dest_length;
    return ok;
}

void zws_read_dest_free(char *dest) { std::free(dest); }

zws_status_t zws_write_to_FILE(FILE *file, const char *buffer, size_t length)
{
    if (length == 0)
        return ok;
    errno = 0;
    // Any short count is a failure, flagged on the stream or not: a caller
    // must never take a truncated file for a written one.
    if (std::fwrite(buffer, 1, length, file) == length)
        return ok;
    ZWS_LOG_ERROR("Failed to write file: %s", std::strerror(errno));
    return failed;
}

namespace {

zws_status_t write_durably(const char *path, const char *buffer, size_t length)
{
    const std::string target = write_target(path);
    struct stat old;
    const bool replacing = ::stat(target.c_str(), &old) == 0;

    // Created no wider than the old file, so that no reader can open it with
    // more rights than the old file gave before its mode is copied below.
    temp_file_guard temp;
    const int fd = create_temp(target, replacing ? (old.st_mode & 0777) : 0644, temp);
    if (fd < 0) {
        ZWS_LOG_ERROR("Failed to open file '%s' to write: %s", path, std::strerror(errno));
        return failed;
    }
    if (replacing && copy_owner_and_mode(fd, old, path) != ok) {
        ::close(fd);
        return failed;
    }
    FILE *file = ::fdopen(fd, "wb");
    if (file == nullptr) {
        ZWS_LOG_ERROR("Failed to open file '%s' to write: %s", path, std::strerror(errno));
        ::close(fd);
        return failed;
    }

    bool good = zws_write_to_FILE(file, buffer, length) == ok;
    if (good && std::fflush(file) != 0) {
        ZWS_LOG_ERROR("Failed to fflush file '%s': %s", path, std::strerror(errno));
        good = false;
    }
    if (good) {
        const int file_fd = ::fileno(file);
        if (file_fd < 0) {
            ZWS_LOG_ERROR("Failed to get fileno '%s': %s", path, std::strerror(errno));
            good = false;
        } else if (::fsync(file_fd) != 0) {
            ZWS_LOG_ERROR("Failed to fsync file '%s': %s", path, std::strerror(errno));
            good = false;
        }
    }
    // Closed exactly once whatever happened above; a close that fails is not
    // repeated (the stream is gone either way).
    if (std::fclose(file) != 0 && good) {
        ZWS_LOG_ERROR("Failed to close file '%s': %s", path, std::strerror(errno));
        good = false;
    }
    if (!good)
        return failed;

    if (std::rename(temp.name.c_str(), target.c_str()) != 0) {
        ZWS_LOG_ERROR("Failed to rename file '%s' to '%s': %s", temp.name.c_str(), path, std::strerror(errno));
        return failed;
    }
    temp.renamed = true;
    // The rename itself is durable only once the folder is synced.
    return sync_folder(folder_of(target));
}

} // namespace

zws_status_t zws_write_to_file_path(const char *path, const char *buffer, size_t length)
{
    // Only the path texts allocate; the stream is not open while they do.
    try {
        return write_durably(path, buffer, length);
    } catch (const std::bad_alloc &) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return failed;
    }
}
