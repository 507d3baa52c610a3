// The system summary ("zw_info") and version ("zw_version") answers: what
// the daemon reports about itself, joined with what only the web side knows
// (the request's user and addresses, the installed versions).
#include "messages/zws_avi_networks.h"

#include "avi/zw_avro.h"
#include "messages/zws_avi_format.h"
#include "util/zws_install.h"
#include "util/zws_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <time.h>

namespace {

struct free_avro_string {
    void operator()(char *text) const { zw_avro_field_free_string(text); }
};
using avro_string = std::unique_ptr<char, free_avro_string>;

// The identity of a file's content as far as its metadata tells: a file
// replaced or rewritten gets another inode, size or change time.
struct file_stamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
    bool same_as(const file_stamp &other) const
    {
        return device == other.device && inode == other.inode && size == other.size &&
               modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
               changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
};

bool stamp_of(const std::string &path, file_stamp *stamp)
{
    struct stat info;
    if (::stat(path.c_str(), &info) != 0)
        return false;
    *stamp = {info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
    return true;
}

// The values read from one version file, kept while the file stays the same:
// the version answers come with every page of the web interface, and a stat
// is much cheaper than opening and parsing the file each time. Within a
// second of the last look the file is taken as unchanged without a stat: a
// version file replaced under a running process shows at most a second late.
struct version_entry {
    std::string path;
    file_stamp stamp;
    bool valid = false;
    std::optional<std::string> first;  // MAJOR, or the UI version
    std::optional<std::string> second; // MINOR
    int64_t looked_ms = 0;             // when the stamp was last taken
};

constexpr int64_t k_revalidate_ms = 1000;

int64_t now_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Whether `entry` still holds the file at `path` as read, looking at the file
// at most once within the revalidation window.
bool still_current(version_entry &entry, const std::string &path, file_stamp *stamp, bool *stamped)
{
    const int64_t now = now_ms();
    if (entry.valid && entry.path == path && now - entry.looked_ms < k_revalidate_ms)
        return true;
    *stamped = stamp_of(path, stamp);
    if (*stamped && entry.valid && entry.path == path && entry.stamp.same_as(*stamp)) {
        entry.looked_ms = now;
        return true;
    }
    return false;
}

std::optional<std::string> take(char *text)
{
    std::optional<std::string> value;
    if (text)
        value = text;
    return value;
}

// MAJOR and MINOR of "<root>/VERSION"; both empty when it cannot be read.
const version_entry &application_version(const char *root)
{
    static version_entry entry;
    const std::string path = std::string(root) + "/VERSION";
    file_stamp stamp;
    bool stamped = false;
    if (still_current(entry, path, &stamp, &stamped))
        return entry;
    entry = version_entry{};
    entry.looked_ms = now_ms();
    char *major = nullptr;
    char *minor = nullptr;
    if (zws_file_get_host_controller_application_version(root, &major, &minor) == 0) {
        entry.first = take(major);
        entry.second = take(minor);
        zws_file_free_host_controller_application_version(major, minor);
        entry.valid = stamped;
    }
    entry.path = path;
    entry.stamp = stamp;
    return entry;
}

// The version of one UI type; empty when its file cannot be read.
const version_entry &ui_version(const char *root, unsigned type)
{
    static version_entry entries[ZWS_UI_PHONE];
    static const char *const k_files[] = {"install/corvale/htdocs/ui/eng/VERSION", "install/corvale/htdocs/ui/stb/VERSION",
                                          "install/corvale/htdocs/ui/pc/VERSION", "install/corvale/htdocs/ui/phone/VERSION"};
    version_entry &entry = entries[type - 1];
    const std::string path = std::string(root) + "/" + k_files[type - 1];
    file_stamp stamp;
    bool stamped = false;
    if (still_current(entry, path, &stamp, &stamped))
        return entry;
    entry = version_entry{};
    entry.looked_ms = now_ms();
    char *version = nullptr;
    if (zws_file_get_ui_version(root, type, &version) == 0) {
        entry.first = take(version);
        zws_file_free_ui_version(version);
        entry.valid = stamped;
    }
    entry.path = path;
    entry.stamp = stamp;
    return entry;
}

// The install's root, looked up again (a stat of it) at most once within the
// revalidation window for the same install path, like the version files.
bool install_root(std::string *root)
{
    static bool valid = false;
    static std::string install_path;
    static std::string cached;
    static int64_t looked_ms = 0;
    const char *path = std::getenv("VANTOR_INSTALL_PATH");
    const int64_t now = now_ms();
    if (valid && path && install_path == path && now - looked_ms < k_revalidate_ms) {
        *root = cached;
        return true;
    }
    valid = false;
    char *found = nullptr;
    if (zws_file_get_root_dir_path(&found) != 0)
        return false;
    cached = found;
    zws_file_free_root_dir_path(found);
    install_path = path ? path : "";
    looked_ms = now;
    valid = path != nullptr;
    *root = cached;
    return true;
}

// What the install holds: the application's MAJOR/MINOR and the UI versions.
struct install_versions {
    std::string major;
    std::string minor;
    std::string ui[ZWS_UI_PHONE];
    // 22 only without a root: a missing version file reads as empty.
    int read(bool with_ui)
    {
        std::string root;
        if (!install_root(&root))
            return 22;
        const version_entry &application = application_version(root.c_str());
        major = application.first.value_or("");
        minor = application.second.value_or("");
        for (unsigned type = ZWS_UI_ENGINEERING; with_ui && type <= ZWS_UI_PHONE; type++)
            ui[type - 1] = ui_version(root.c_str(), type).first.value_or("");
        return 0;
    }
};

const char *or_empty(const char *text) { return text ? text : ""; }

// The branch-0 record of `summary_initialized`, or zeros and empty texts
// for the null branch.
struct initialized_part {
    int64_t home_id = 0;
    int32_t controller_node_id = 0;
    avro_string network_id;
    std::string gateway;
};

int read_initialized(avro_value_t *parameter, initialized_part *part)
{
    avro_value_t summary;
    if (avro_value_get_by_name(parameter, "summary_initialized", &summary, nullptr) != 0) {
        ZWS_LOG_ERROR("Failed to get 'summary_initialized' field from 'Summary' record: %s", avro_strerror());
        return 22;
    }
    int branch_number = -1;
    if (avro_value_get_discriminant(&summary, &branch_number) != 0) {
        ZWS_LOG_ERROR("Failed to get branch number of 'summary_initialized' field: %s", avro_strerror());
        return 22;
    }
    if (branch_number != 0)
        return 0;
    avro_value_t branch;
    if (avro_value_get_current_branch(&summary, &branch) != 0) {
        ZWS_LOG_ERROR("Failed to get 'summary_initialized' field in branch '0': %s", avro_strerror());
        return 22;
    }
    char *network_id = nullptr;
    int32_t address_type = 0;
    if (zw_avro_field_get_long(&branch, "home_id", &part->home_id) != 0 ||
        zw_avro_field_get_int(&branch, "controller_node_id", &part->controller_node_id) != 0 ||
        zw_avro_field_get_string(&branch, "network_id", &network_id) != 0)
        return 22;
    part->network_id.reset(network_id);
    if (zw_avro_field_get_int(&branch, "address_type", &address_type) != 0)
        return 22;
    // The same gateway whichever IPv4 form the daemon sends.
    return zws_avi_get_address_text(&branch, "gateway_address", address_type, &part->gateway);
}

std::string two_digit_version(int32_t major, int32_t minor)
{
    char text[16];
    std::snprintf(text, sizeof text, "%u.%02u", static_cast<unsigned>(major) & 0xFF,
                  static_cast<unsigned>(minor) & 0xFF);
    return text;
}

constexpr char k_summary[] =
    "<zw_info vname=\"{vendor_name:uri}\" pname=\"{product_name:uri}\" spltform=\"{server_platform:text}\""
    " uname=\"{uname:uri}\" init=\"{is_initialized:i32}\" home_id=\"{home_id:x32}\" ctlr_id=\"{ctlr_id:u8}\""
    " portalcid=\"{portalcid:text}\" zipgw=\"{zipgw:text}\" server_ip=\"{server_ip:text}\""
    " client_ip=\"{client_ip:text}\" >"
    "<version name=\"zw_ctl\" value=\"{zw_ctl:text}\" />"
    "<version name=\"zw_appl\" value=\"{zw_appl:text}\" />"
    "<version name=\"zw_webapi\" value=\"{zw_webapi:text}\" />"
    "<version name=\"zw_ui_engineering\" value=\"{ui_eng:text}\" />"
    "<version name=\"zw_ui_stb\" value=\"{ui_stb:text}\" />"
    "<version name=\"zw_ui_pc\" value=\"{ui_pc:text}\" />"
    "<version name=\"zw_ui_phone\" value=\"{ui_phone:text}\" />"
    "</zw_info>";

constexpr zws_avi_form_t k_version = {
    nullptr, "<version platform=\"{server_platform:text}\" app_major=\"{app_major:text}\""
             " app_minor=\"{app_minor:text}\" ctl_major=\"{host_controller_api_version.major:u8}\""
             " ctl_minor=\"{host_controller_api_version.minor:u8}\" />"};

constexpr zws_avi_message_networks_t k_summary_messages[] = {
    {{"zw_info", nullptr}, -1, "network_summary_get", nullptr, zws_avi_networks_summary_get_result, ""},
};
constexpr zws_avi_message_networks_t k_version_messages[] = {
    {{"zw_version", "version"}, -1, "network_version_get", nullptr, zws_avi_networks_version_get_result, ""},
};

} // namespace

int zws_avi_networks_summary_init(zwu_array_list_t list)
{
    return zws_avi_message_list_add_table(list, k_summary_messages);
}

int zws_avi_networks_version_init(zwu_array_list_t list)
{
    return zws_avi_message_list_add_table(list, k_version_messages);
}

int zws_avi_networks_summary_get_result(int web_api_version, avro_value_t *parameter, zwu_string_buffer_t out)
{
    if (web_api_version == 1)
        return 0;
    if (!parameter || !out)
        return 22;
    try {
        int32_t is_initialized = 0;
        if (zw_avro_field_get_int(parameter, "is_initialized", &is_initialized) != 0)
            return 22;
        avro_value_t api_version;
        int32_t major = 0;
        int32_t minor = 0;
        if (avro_value_get_by_name(parameter, "host_controller_api_version", &api_version, nullptr) != 0) {
            ZWS_LOG_ERROR("Failed to get 'host_controller_api_version' field from 'Summary' record: %s",
                          avro_strerror());
            return 22;
        }
        if (zw_avro_field_get_int(&api_version, "major", &major) != 0 ||
            zw_avro_field_get_int(&api_version, "minor", &minor) != 0)
            return 22;
        initialized_part initialized;
        if (read_initialized(parameter, &initialized) != 0)
            return 22;
        install_versions install;
        if (install.read(true) != 0)
            return 22;
        const std::string zw_ctl = two_digit_version(major, minor);
        const std::string zw_appl = install.major + "." + install.minor;
        const std::string zw_webapi = two_digit_version(ZWS_AVI_WEB_API_MAJOR, ZWS_AVI_WEB_API_MINOR);
        const zws_xml_field_t extra[] = {
            {"uname", zws_xml_text(or_empty(std::getenv("VANTOR_USER_NAME")))},
            {"home_id", zws_xml_int(initialized.home_id)},
            {"ctlr_id", zws_xml_int(initialized.controller_node_id)},
            {"portalcid", zws_xml_text(or_empty(initialized.network_id.get()))},
            {"zipgw", zws_xml_text(initialized.gateway.c_str())},
            {"server_ip", zws_xml_text(or_empty(std::getenv("SERVER_ADDR")))},
            {"client_ip", zws_xml_text(or_empty(std::getenv("REMOTE_ADDR")))},
            {"zw_ctl", zws_xml_text(zw_ctl.c_str())},
            {"zw_appl", zws_xml_text(zw_appl.c_str())},
            {"zw_webapi", zws_xml_text(zw_webapi.c_str())},
            {"ui_eng", zws_xml_text(install.ui[0].c_str())},
            {"ui_stb", zws_xml_text(install.ui[1].c_str())},
            {"ui_pc", zws_xml_text(install.ui[2].c_str())},
            {"ui_phone", zws_xml_text(install.ui[3].c_str())},
        };
        return zws_avi_render(out, k_summary, parameter, extra, static_cast<int>(sizeof extra / sizeof extra[0]));
    } catch (const std::bad_alloc &) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
}

int zws_avi_networks_version_get_result(int web_api_version, avro_value_t *parameter, zwu_string_buffer_t out)
{
    if (web_api_version == 1)
        return 0;
    install_versions install;
    // Without an install the application version stays empty.
    install.read(false);
    const zws_xml_field_t extra[] = {
        {"app_major", zws_xml_text(install.major.c_str())},
        {"app_minor", zws_xml_text(install.minor.c_str())},
    };
    return zws_avi_render_form(out, web_api_version, k_version, parameter, extra, 2);
}
