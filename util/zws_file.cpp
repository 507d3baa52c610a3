#include "util/zws_file.h"

#include "util/zws_log.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

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
