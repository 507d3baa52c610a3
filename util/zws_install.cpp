#include "util/zws_install.h"

#include "util/zws_file.h"
#include "util/zws_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/stat.h>

namespace {

constexpr int status_ok = 0;
constexpr int status_fail = 22;

constexpr const char *ui_version_files[] = {
    "install/corvale/htdocs/ui/eng/VERSION",
    "install/corvale/htdocs/ui/stb/VERSION",
    "install/corvale/htdocs/ui/pc/VERSION",
    "install/corvale/htdocs/ui/phone/VERSION",
};
static_assert(sizeof ui_version_files / sizeof ui_version_files[0] == ZWS_UI_PHONE - ZWS_UI_ENGINEERING + 1,
              "one version file per UI type");

// "a/b" in a new heap string, or null when it cannot be had.
char *join_path(const char *left, const char *right)
{
    const size_t left_length = std::strlen(left);
    const size_t right_length = std::strlen(right);
    char *path = static_cast<char *>(std::malloc(left_length + right_length + 2));
    if (!path)
        return nullptr;
    std::memcpy(path, left, left_length);
    path[left_length] = '/';
    std::memcpy(path + left_length + 1, right, right_length + 1);
    return path;
}

char *copy_text(std::string_view text)
{
    char *copy = static_cast<char *>(std::malloc(text.size() + 1));
    if (!copy)
        return nullptr;
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

// Takes the next line off `rest`. A line ends at the first CR LF; only when
// the rest holds none does a lone LF end it, so a file that mixes the two
// keeps its LF-ended lines inside the first CR LF line.
std::string_view next_line(std::string_view &rest)
{
    size_t end = rest.find("\r\n");
    size_t skip = 2;
    if (end == std::string_view::npos) {
        end = rest.find('\n');
        skip = 1;
    }
    if (end == std::string_view::npos) {
        const std::string_view line = rest;
        rest = {};
        return line;
    }
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end + skip);
    return line;
}

// The file's text up to its first NUL: what the line rules work on.
std::string_view as_text(const char *content, int length)
{
    return {content, strnlen(content, length > 0 ? static_cast<size_t>(length) : 0)};
}

int text_length(std::string_view text) { return static_cast<int>(text.size()); }

} // namespace

int zws_file_get_root_dir_path(char **root_dir_path_p)
{
    const char *install_path = std::getenv("VANTOR_INSTALL_PATH");
    if (!install_path) {
        ZWS_LOG_ERROR("Failed to get VANTOR_INSTALL_PATH env variable");
        return status_fail;
    }
    ZWS_LOG_DEBUGGING("VANTOR_INSTALL_PATH from environment variable: %s", install_path);
    char *root = join_path(install_path, "..");
    if (!root) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return status_fail;
    }
    struct stat info;
    if (stat(root, &info) != 0) {
        ZWS_LOG_ERROR("Root dir not present at '%s'", root);
        std::free(root);
        return status_fail;
    }
    *root_dir_path_p = root;
    return status_ok;
}

void zws_file_free_root_dir_path(char *root_dir_path) { std::free(root_dir_path); }

int zws_file_get_file_content(const char *root_dir_path, const char *file_name, char **content_p, int *length_p)
{
    char *path = join_path(root_dir_path, file_name);
    if (!path) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return status_fail;
    }
    char *content = nullptr;
    int length = 0;
    const int status = zws_read_from_file_path_with_dest_alloc(path, &content, &length, 0);
    std::free(path);
    if (status != 0)
        return status_fail;
    *content_p = content;
    *length_p = length;
    return status_ok;
}

void zws_file_free_file_content(char *content) { zws_read_dest_free(content); }

int zws_file_get_host_controller_application_version(const char *root_dir_path, char **major_p, char **minor_p)
{
    char *content = nullptr;
    int length = 0;
    if (zws_file_get_file_content(root_dir_path, "VERSION", &content, &length) != 0)
        return status_fail;

    std::string_view major, minor;
    bool have_major = false, have_minor = false;
    std::string_view rest = as_text(content, length);
    while (!rest.empty()) {
        const std::string_view line = next_line(rest);
        ZWS_LOG_DEBUGGING("Entry: %.*s", text_length(line), line.data());
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            ZWS_LOG_WARN("Unable to find key-value delimiter in the entry: %.*s", text_length(line), line.data());
            continue;
        }
        const std::string_view key = line.substr(0, equals);
        const std::string_view value = line.substr(equals + 1);
        if (key.empty()) {
            ZWS_LOG_WARN("Empty key in the entry: =%.*s", text_length(value), value.data());
            continue;
        }
        // The first of repeated keys counts.
        if (key == "MAJOR" && !have_major) {
            major = value;
            have_major = true;
        } else if (key == "MINOR" && !have_minor) {
            minor = value;
            have_minor = true;
        }
    }

    char *major_copy = have_major ? copy_text(major) : nullptr;
    char *minor_copy = have_minor ? copy_text(minor) : nullptr;
    zws_file_free_file_content(content);
    if ((have_major && !major_copy) || (have_minor && !minor_copy)) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        std::free(major_copy);
        std::free(minor_copy);
        return status_fail;
    }
    *major_p = major_copy;
    *minor_p = minor_copy;
    return status_ok;
}

void zws_file_free_host_controller_application_version(char *major, char *minor)
{
    std::free(major);
    std::free(minor);
}

int zws_file_get_ui_version(const char *root_dir_path, unsigned ui_type, char **version_p)
{
    if (ui_type < ZWS_UI_ENGINEERING || ui_type > ZWS_UI_PHONE) {
        ZWS_LOG_ERROR("Invalid UI type: %u", ui_type);
        return status_fail;
    }
    char *content = nullptr;
    int length = 0;
    if (zws_file_get_file_content(root_dir_path, ui_version_files[ui_type - ZWS_UI_ENGINEERING], &content,
                                  &length) != 0)
        return status_fail;
    std::string_view rest = as_text(content, length);
    char *version = copy_text(next_line(rest));
    zws_file_free_file_content(content);
    if (!version) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return status_fail;
    }
    ZWS_LOG_DEBUGGING("Version: %s", version);
    *version_p = version;
    return status_ok;
}

void zws_file_free_ui_version(char *version) { std::free(version); }
