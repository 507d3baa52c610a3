// morvash: prints one group/key of a GKeyFile configuration and optionally
// sets it and writes the file back.
//
// Exit status: 255 usage, 254 the file could not be loaded, 253 the file could
// not be written (the old file is kept), 252 the new value was refused (line
// breaks, or a group or key name GLib does not accept), 0 otherwise.

#include <glib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr int exit_usage = 255;
constexpr int exit_unreadable = 254;
constexpr int exit_unwritable = 253;
constexpr int exit_refused = 252;

struct key_file_free {
    void operator()(GKeyFile *key_file) const { g_key_file_free(key_file); }
};
using key_file_ptr = std::unique_ptr<GKeyFile, key_file_free>;

struct g_free_deleter {
    void operator()(gchar *text) const { g_free(text); }
};
using g_text_ptr = std::unique_ptr<gchar, g_free_deleter>;

class fd_guard {
public:
    explicit fd_guard(int fd) : fd_(fd) {}
    fd_guard(const fd_guard &) = delete;
    fd_guard &operator=(const fd_guard &) = delete;
    ~fd_guard()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    // Closes now so that a failing close (a deferred write error) is seen.
    bool close()
    {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

// GKeyFile stores a raw value as it stands, so a line break in a group, key
// or value would write extra lines: new groups and keys, or a line that makes
// the whole file unreadable on the next load.
bool has_line_break(const char *text) { return std::strpbrk(text, "\r\n") != nullptr; }

bool write_all(int fd, const char *data, size_t length)
{
    while (length > 0) {
        ssize_t written = ::write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

std::string folder_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// Replaces the file at `path` with `data` so that a crash or a failed write
// leaves either the old or the new file, never a torn one. GLib's own save
// does much of this but re-creates the file with the default mode (a 0600 key
// file becomes world-readable) and skips the fsync when the old file is empty.
bool replace_file_durably(const std::string &path, const char *data, size_t length)
{
    std::string temp_path = path + ".XXXXXX";
    fd_guard fd(::mkostemp(temp_path.data(), O_CLOEXEC));
    if (fd.get() < 0)
        return false;

    bool ok = true;
    struct stat old_file;
    if (::stat(path.c_str(), &old_file) == 0) {
        ok = ::fchmod(fd.get(), old_file.st_mode & 07777) == 0;
        // Only root can hand the file back to its owner; anyone else keeps
        // their own files anyway.
        if (ok && ::geteuid() == 0)
            ok = ::fchown(fd.get(), old_file.st_uid, old_file.st_gid) == 0;
    } else {
        mode_t mask = ::umask(0);
        ::umask(mask);
        ok = ::fchmod(fd.get(), 0666 & ~mask) == 0;
    }
    ok = ok && write_all(fd.get(), data, length) && ::fsync(fd.get()) == 0;
    ok = fd.close() && ok;
    ok = ok && ::rename(temp_path.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(temp_path.c_str());
        return false;
    }

    fd_guard folder(::open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0)
        return false;
    // Some file systems cannot sync a folder (EINVAL); the rename is then as
    // durable as they make it.
    return ::fsync(folder.get()) == 0 || errno == EINVAL;
}

bool save(GKeyFile *key_file, const char *path)
{
    gsize length = 0;
    g_text_ptr data(g_key_file_to_data(key_file, &length, nullptr));
    return data && replace_file_durably(path, data.get(), length);
}

// Sets the raw value and checks that it took: GLib ignores, with only a
// warning, a group or key name it does not accept.
bool set_value(GKeyFile *key_file, const char *group, const char *key, const char *value)
{
    g_key_file_set_value(key_file, group, key, value);
    if (!g_key_file_has_key(key_file, group, key, nullptr))
        return false;
    g_text_ptr stored(g_key_file_get_value(key_file, group, key, nullptr));
    return stored && std::strcmp(stored.get(), value) == 0;
}

int run(int argc, char **argv)
{
    if (argc < 4) {
        std::fputs("Usage:\n\tmorvash <config_file> <config_group> <config_key> [config_value]\n"
                   "\tif no value is provided then the current value of config_key is returned\n",
                   stdout);
        return exit_usage;
    }
    const char *path = argv[1];
    const char *group = argv[2];
    const char *key = argv[3];
    const char *value = argc > 4 ? argv[4] : nullptr;

    key_file_ptr key_file(g_key_file_new());
    if (!g_key_file_load_from_file(key_file.get(), path,
                                   static_cast<GKeyFileFlags>(G_KEY_FILE_KEEP_COMMENTS |
                                                              G_KEY_FILE_KEEP_TRANSLATIONS),
                                   nullptr)) {
        key_file.reset();
        std::printf("[Error] Could not read config file: %s\n", path);
        return exit_unreadable;
    }

    if (g_key_file_has_key(key_file.get(), group, key, nullptr)) {
        g_text_ptr current(g_key_file_get_value(key_file.get(), group, key, nullptr));
        std::printf("Found:\n\tgroup: %s key: %s value: %s\n", group, key,
                    current ? current.get() : "");
    } else {
        std::printf("[Warning] group: %s key: %s NOT found\n", group, key);
    }

    int status = 0;
    if (value != nullptr) {
        if (has_line_break(group) || has_line_break(key) || has_line_break(value)) {
            std::printf("[Error] A group, key or value must not contain a line break; "
                        "the file is left as it was\n");
            status = exit_refused;
        } else {
            std::printf("Setting:\n\tgroup: %s key: %s value: %s\n", group, key, value);
            if (!set_value(key_file.get(), group, key, value)) {
                std::printf("[Error] Could not set group: %s key: %s\n", group, key);
                status = exit_refused;
            } else if (!save(key_file.get(), path)) {
                std::printf("[Error] Could not write to config file: %s\n", path);
                status = exit_unwritable;
            }
        }
    }

    key_file.reset();
    std::fputs("\nDone!\n", stdout);
    return status;
}

} // namespace

int main(int argc, char **argv) { return run(argc, argv); }
