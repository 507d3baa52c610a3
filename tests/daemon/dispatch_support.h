// Shared pieces of the request-dispatch tests: a staged configuration
// directory, an Avro peer that writes request frames and reads replies
// (Avro C on the same protocol file, independent of the daemon's code), and
// a network record double driven through the daemon's network seam.
#pragma once

#include "tests/support/zws_log_capture.h"
#include "daemon/zwp_avi.h"
#include "daemon/zwp_avi_execute.h"
#include "daemon/zwp_avi_request.h"
#include "daemon/zwp_avi_response.h"
#include "daemon/zwp_net_list.h"
#include "daemon/zwp_net_ops.h"

#include <avro.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace dispatch_test {

inline std::string source_dir()
{
    const char *dir = std::getenv("ZW_SOURCE_DIR");
    return dir ? dir : ZW_TEST_SOURCE_DIR;
}
inline std::string project_avsc() { return source_dir() + "/avi/zwave.avsc"; }
inline std::string fixture_avsc() { return source_dir() + "/tests/daemon/fixtures/dispatch.avsc"; }

// A configuration directory holding one protocol file (or none).
struct staged_dir {
    std::string path;
    explicit staged_dir(const std::string &avsc, const std::string &text = "")
    {
        char name[] = "/tmp/zw_dispatch_XXXXXX";
        path = mkdtemp(name);
        if (!avsc.empty())
            std::filesystem::copy_file(avsc, path + "/zwave.avsc");
        else if (!text.empty())
            std::ofstream(path + "/zwave.avsc") << text;
    }
    ~staged_dir() { std::filesystem::remove_all(path); }
};

// The peer's view of the protocol file.
struct peer {
    avro_schema_t protocol = nullptr;
    avro_schema_t types = nullptr;
    avro_value_iface_t *types_iface = nullptr;
    avro_value_iface_t *cookies_iface = nullptr;

    explicit peer(const std::string &avsc)
    {
        std::ifstream file(avsc);
        std::stringstream text;
        text << file.rdbuf();
        const std::string json = text.str();
        EXPECT_EQ(avro_schema_from_json_length(json.data(), json.size(), &protocol), 0) << avro_strerror();
        types = avro_schema_record_field_get(protocol, "types");
        types_iface = avro_generic_class_from_schema(types);
        int index = -1;
        cookies_iface = avro_generic_class_from_schema(avro_schema_union_branch_by_name(types, &index, "Cookies"));
    }
    ~peer()
    {
        avro_value_iface_decref(cookies_iface);
        avro_value_iface_decref(types_iface);
        avro_schema_decref(protocol);
    }
    peer(const peer &) = delete;
    peer &operator=(const peer &) = delete;

    using filler = std::function<void(avro_value_t *branch)>;

    // Cookies, message name and the named "types" branch, filled by fill.
    std::vector<uint8_t> payload(const char *user, const std::string &name, const char *branch_name,
                                 const filler &fill = nullptr)
    {
        avro_value_t cookies, user_field, user_branch, message, value, branch;
        avro_generic_value_new(cookies_iface, &cookies);
        avro_value_get_by_name(&cookies, "user", &user_field, nullptr);
        if (user) {
            avro_value_set_branch(&user_field, 0, &user_branch);
            avro_value_set_string(&user_branch, user);
        } else {
            avro_value_set_branch(&user_field, 1, &user_branch);
            avro_value_set_null(&user_branch);
        }
        avro_generic_string_new(&message, "");
        avro_value_set_string_len(&message, name.c_str(), name.size() + 1);
        avro_generic_value_new(types_iface, &value);
        int index = -1;
        EXPECT_NE(avro_schema_union_branch_by_name(types, &index, branch_name), nullptr) << branch_name;
        avro_value_set_branch(&value, index, &branch);
        if (fill)
            fill(&branch);
        std::vector<uint8_t> out(1 << 16);
        avro_writer_t writer = avro_writer_memory(reinterpret_cast<char *>(out.data()), out.size());
        EXPECT_EQ(avro_value_write(writer, &cookies), 0);
        EXPECT_EQ(avro_value_write(writer, &message), 0);
        EXPECT_EQ(avro_value_write(writer, &value), 0) << avro_strerror();
        out.resize(static_cast<size_t>(avro_writer_tell(writer)));
        avro_writer_free(writer);
        avro_value_decref(&cookies);
        avro_value_decref(&message);
        avro_value_decref(&value);
        return out;
    }

    static std::vector<uint8_t> frame(const std::vector<uint8_t> &payload)
    {
        std::vector<uint8_t> out(4);
        const auto n = static_cast<uint32_t>(payload.size());
        out[0] = static_cast<uint8_t>(n >> 24);
        out[1] = static_cast<uint8_t>(n >> 16);
        out[2] = static_cast<uint8_t>(n >> 8);
        out[3] = static_cast<uint8_t>(n);
        out.insert(out.end(), payload.begin(), payload.end());
        return out;
    }

    // Decodes a reply frame into value (a "types" value the caller
    // releases); the branch's type name, or "" when it does not decode.
    std::string reply(const uint8_t *data, size_t length, avro_value_t *value)
    {
        if (length < 4)
            return "";
        const size_t n = (size_t{data[0]} << 24) | (size_t{data[1]} << 16) | (size_t{data[2]} << 8) | data[3];
        if (n != length - 4)
            return "";
        avro_generic_value_new(types_iface, value);
        avro_reader_t reader = avro_reader_memory(reinterpret_cast<const char *>(data) + 4, n);
        const int read = avro_value_read(reader, value);
        avro_reader_free(reader);
        avro_value_t branch;
        if (read != 0 || avro_value_get_current_branch(value, &branch) != 0)
            return "";
        return avro_schema_type_name(avro_value_get_schema(&branch));
    }
};

inline avro_value_t field(avro_value_t *record, const char *path)
{
    avro_value_t current = *record;
    std::string rest = path;
    while (!rest.empty()) {
        const size_t dot = rest.find('.');
        const std::string name = rest.substr(0, dot);
        avro_value_t next;
        EXPECT_EQ(avro_value_get_by_name(&current, name.c_str(), &next, nullptr), 0) << name;
        current = next;
        rest = dot == std::string::npos ? "" : rest.substr(dot + 1);
    }
    return current;
}

inline void set_string(avro_value_t *record, const char *path, const char *text)
{
    avro_value_t value = field(record, path);
    avro_value_set_string(&value, text);
}
inline void set_int(avro_value_t *record, const char *path, int32_t number)
{
    avro_value_t value = field(record, path);
    avro_value_set_int(&value, number);
}
inline void set_boolean(avro_value_t *record, const char *path, bool flag)
{
    avro_value_t value = field(record, path);
    avro_value_set_boolean(&value, flag);
}
inline std::string get_string(avro_value_t *record, const char *path)
{
    avro_value_t value = field(record, path);
    const char *text = nullptr;
    size_t size = 0;
    if (avro_value_get_string(&value, &text, &size) != 0)
        return "<none>";
    return std::string(text, size ? size - 1 : 0);
}
inline int64_t get_long(avro_value_t *record, const char *path)
{
    avro_value_t value = field(record, path);
    int64_t number = -1;
    avro_value_get_long(&value, &number);
    return number;
}
inline int32_t get_int(avro_value_t *record, const char *path)
{
    avro_value_t value = field(record, path);
    int32_t number = -1;
    avro_value_get_int(&value, &number);
    return number;
}

// A network record double: a tree flag, a change time, a reference count,
// the descriptor lock as a recursive mutex, and scripted transmit and
// report waits. Installed as the daemon's network seam while it lives.
struct fake_net {
    std::recursive_mutex lock;
    std::atomic<int> refs{0};
    std::atomic<int> lock_depth{0};
    bool tree = true;
    zwu_time_t utime = 0;
    uint8_t tx_status = 0;
    int tx_waits = 0;
    int tx_ends = 0;
    int found_interfaces = 0;
    // Each report wait: the budget asked for, answered by report_answer.
    std::vector<int64_t> budgets;
    std::function<int(int64_t usec)> report_answer = [](int64_t) { return ZWU_COND_TIMEDOUT; };
    zwp_net_summary_t summary{};
    int stops = 0;
    bool stop_fails = false;
    int frees = 0;

    static fake_net *of(zwp_net_t *net) { return reinterpret_cast<fake_net *>(net); }
    zwp_net_t *handle() { return reinterpret_cast<zwp_net_t *>(this); }

    static const zwp_net_ops_t *ops()
    {
        static const zwp_net_ops_t table = {
            [](zwp_net_t *n) { of(n)->refs++; },
            [](zwp_net_t *n) { of(n)->refs--; },
            [](zwp_net_t *n) {
                of(n)->stops++;
                return of(n)->stop_fails ? 22 : 0;
            },
            [](zwp_net_t *n) { of(n)->frees++; },
            [](zwp_net_t *n) {
                of(n)->lock.lock();
                if (!of(n)->tree) {
                    of(n)->lock.unlock();
                    return 22;
                }
                of(n)->lock_depth++;
                return 0;
            },
            [](zwp_net_t *n) {
                of(n)->lock.lock();
                of(n)->lock_depth++;
                return 0;
            },
            [](zwp_net_t *n) {
                of(n)->lock_depth--;
                of(n)->lock.unlock();
                return 0;
            },
            [](zwp_net_t *n) { return of(n)->tree ? 0 : 22; },
            [](zwp_net_t *n) { return of(n)->tree ? of(n)->utime : zwu_time_t{0}; },
            [](zwp_net_t *, uint32_t node_id, const zwnode_desc_t **node) {
                *node = reinterpret_cast<const zwnode_desc_t *>(uintptr_t{node_id});
                return node_id >= 1 && node_id <= 232 ? 0 : 22;
            },
            [](zwp_net_t *, uint32_t node_id, uint32_t ep_id, const zwep_desc_t **ep) {
                *ep = reinterpret_cast<const zwep_desc_t *>(uintptr_t{ep_id + 1});
                return node_id >= 1 && node_id <= 232 ? 0 : 22;
            },
            [](zwp_net_t *n, uint32_t node_id, uint32_t, uint32_t cls, const zwif_desc_t **intf) {
                of(n)->found_interfaces++;
                *intf = reinterpret_cast<const zwif_desc_t *>(uintptr_t{cls});
                return node_id >= 1 && node_id <= 232 ? 0 : 22;
            },
            [](zwp_net_t *) { return 0; },
            [](zwp_net_t *n, uint8_t *status) {
                of(n)->tx_waits++;
                *status = of(n)->tx_status;
                return 0;
            },
            [](zwp_net_t *) { return uint64_t{0}; },
            [](zwp_net_t *n, uint64_t, int64_t usec) {
                of(n)->budgets.push_back(usec);
                return of(n)->report_answer(usec);
            },
            [](zwp_net_t *n, zwp_net_summary_t *summary) {
                *summary = of(n)->summary;
                return 0;
            },
            [](zwp_net_t *n) { of(n)->tx_ends++; },
        };
        return &table;
    }

    fake_net() { zwp_net_ops_set(ops()); }
    ~fake_net() { zwp_net_ops_set(nullptr); }
    fake_net(const fake_net &) = delete;
    fake_net &operator=(const fake_net &) = delete;
};

} // namespace dispatch_test
