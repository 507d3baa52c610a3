#include "daemon/zwp_zwave_client.h"

#include "daemon/zwp_log.h"
#include "util/zws_file.h"
#include "util/zwu_inet.h"
#include "util/zwu_number.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

constexpr size_t addr_text_max = ZWU_INET_ADDRSTRLEN - 1;

// A key of 2 to 64 hex digits, two per byte; anything else is no key.
bool key_parse(const std::string &text, zwp_zip_entry_t *entry)
{
    return zwu_hex_key_parse(text.data(), text.size(), entry->psk, sizeof entry->psk, &entry->psk_len) ==
           zwu_key_refusal::none;
}

bool port_parse(const std::string &text, uint16_t *port)
{
    if (text.empty() || text.size() > 5)
        return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 0xFFFF)
        return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

// One line (without its end) into an entry; false for a bad line.
bool line_parse(const std::string &line, int number, zwp_zip_entry_t *entry)
{
    *entry = {};
    entry->flags = ZWP_ZIP_STORED;
    const size_t bar = line.find('|');
    const std::string address = line.substr(0, bar);
    if (address.empty() || address.size() > addr_text_max)
        return false;
    uint8_t type = 0;
    if (zwu_inet_pton_iptype(address.c_str(), entry->addr, &type) != 0)
        return false;
    entry->ipv4 = type;
    if (bar == std::string::npos)
        return true;
    const size_t second = line.find('|', bar + 1);
    const std::string port = line.substr(bar + 1, second == std::string::npos ? std::string::npos : second - bar - 1);
    if (!port_parse(port, &entry->port)) {
        ZWS_LOG_WARN("Invalid ZIP server port number. Defaulting to %u", ZWP_ZIP_PORT_DEFAULT);
        entry->port = ZWP_ZIP_PORT_DEFAULT;
    }
    if (second == std::string::npos)
        return true;
    if (key_parse(line.substr(second + 1), entry))
        ZWS_LOG_ERROR("key_string_string: hex2bin conversion is done");
    else
        ZWS_LOG_WARN("Ignoring the malformed pre-shared key of ZIP server entry %d", number);
    return true;
}

std::string zip_server_path(const char *var_dir)
{
    return std::string(var_dir ? var_dir : ".") + "/networks/" + ZWP_ZIP_SERVER_FILE;
}

bool addr_text(const uint8_t *addr, bool ipv4, char *text, size_t size)
{
    return zwu_inet_ntop_iptype(addr, text, ipv4 ? 1 : 0, size) == 0;
}

} // namespace

int zwp_zip_server_text_parse(const char *text, size_t length, zwp_zip_entry_t entries[ZWP_ZIP_ENTRY_MAX],
                              int *count, int *skipped)
{
    if (skipped)
        *skipped = 0;
    if (!entries || !count || (!text && length))
        return 22;
    int found = 0;
    int bad = 0;
    size_t at = 0;
    for (int number = 1; at < length && found < ZWP_ZIP_ENTRY_MAX; number++) {
        const void *end = std::memchr(text + at, '\n', length - at);
        const size_t stop = end ? static_cast<size_t>(static_cast<const char *>(end) - text) : length;
        std::string line(text + at, stop - at);
        at = stop + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        zwp_zip_entry_t entry;
        if (line.find('\0') == std::string::npos && !line.empty() && line_parse(line, number, &entry)) {
            entries[found++] = entry;
            continue;
        }
        // The gateway in use must be readable; a bad later line costs only
        // itself.
        if (number == 1) {
            ZWS_LOG_ERROR("Failed to read the ZIP server in use from the first line");
            if (skipped)
                *skipped = 1;
            return 22;
        }
        ZWS_LOG_WARN("Skipping unreadable line %d of ZIP server file", number);
        bad++;
    }
    if (skipped)
        *skipped = bad;
    *count = found;
    return found > 0 ? 0 : 22;
}

int zwp_zip_server_file_read(const char *var_dir, zwp_zip_entry_t entries[ZWP_ZIP_ENTRY_MAX], int *count,
                             int *skipped)
{
    char *text = nullptr;
    int length = 0;
    const std::string path = zip_server_path(var_dir);
    if (skipped)
        *skipped = 0;
    if (access(path.c_str(), F_OK) != 0 ||
        zws_read_from_file_path_with_dest_alloc(path.c_str(), &text, &length, 0) != 0)
        return 22;
    const int result = zwp_zip_server_text_parse(text, static_cast<size_t>(length), entries, count, skipped);
    zws_read_dest_free(text);
    return result;
}

int zwp_zip_server_file_write(const char *var_dir, const zwp_gw_t *chosen, const zwp_zip_entry_t *entries, int count)
{
    if (!chosen)
        return 22;
    const bool ipv4 = chosen->addr_type == 1;
    char text[ZWU_INET_ADDRSTRLEN];
    if (!addr_text(chosen->addr, ipv4, text, sizeof text))
        return 22;
    std::string lines = std::string(text) + "|" + std::to_string(chosen->port);
    std::string shown = lines;
    if (chosen->psk_len) {
        lines += "|";
        char digits[3];
        for (uint8_t i = 0; i < chosen->psk_len && i < sizeof chosen->psk; i++) {
            std::snprintf(digits, sizeof digits, "%02x", chosen->psk[i]);
            lines += digits;
        }
        ZWS_LOG_ERROR("printed key_len  = %u", static_cast<unsigned>(chosen->psk_len) * 2);
    }
    lines += "\n";
    shown += "\n";
    int others = 0;
    for (int i = 0; entries && i < count && others < ZWP_ZIP_ENTRY_MAX - 1; i++) {
        const zwp_zip_entry_t &entry = entries[i];
        if (!entry.flags)
            continue;
        const bool same_family = (entry.ipv4 == 1) == ipv4;
        if (same_family && std::memcmp(entry.addr, chosen->addr, ipv4 ? 4 : 16) == 0)
            continue;
        if (!addr_text(entry.addr, entry.ipv4 == 1, text, sizeof text))
            continue;
        std::string line = text;
        if (entry.port) {
            line += '|';
            line += std::to_string(entry.port);
        }
        lines += line + "\n";
        shown += line + "\n";
        others++;
    }
    ZWS_LOG_INFORMATION("ZIP server address being written to file: %s", shown.c_str());
    if (!var_dir || zwp_net_storage_dir_make(var_dir) != 0)
        return 22;
    return zws_write_to_file_path(zip_server_path(var_dir).c_str(), lines.data(), lines.size()) == 0 ? 0 : 22;
}

// ---------------------------------------------------------------------------
// The record and discovery
// ---------------------------------------------------------------------------

struct zwp_zwave_client_t {
    std::string var_dir;
    // The client lock serialises passes; the condition tells the end of one.
    std::mutex lock;
    std::condition_variable done;
    bool in_progress = false;
    uint64_t pass = 0;
    bool cancel = false; // set once by destroy: no pass waits any more

    // Discovery lists, written by the discovery thread.
    std::mutex discovery_lock;
    void *handle = nullptr;
    // One name per address; first false when the gateway gave none.
    using name_t = std::pair<bool, std::string>;
    std::vector<uint8_t> ipv4_list;
    std::vector<name_t> ipv4_names;
    std::vector<uint8_t> ipv6_list;
    std::vector<name_t> ipv6_names;
    uint8_t state = 0;
    // Report counters of each family's last pass that reported gateways.
    int report[2] = {};
    int total[2] = {};

    // The discovery thread of the web interface; joined before the next one
    // starts and at destroy.
    std::mutex thread_lock;
    std::thread discovery_thread;
    std::atomic<bool> discovery_running{false};

    // The choice and the stored entries: written by start-up and by a
    // gateway set, read by requests.
    mutable std::mutex record_lock;
    bool selected = false;
    bool file_bad = false; // the stored file did not read whole
    zwp_gw_t chosen{};
    zwp_zip_entry_t entries[ZWP_ZIP_ENTRY_MAX]{};
    int entry_count = 0;
    zwp_net_t *net = nullptr;
};

namespace {

void pass_complete(zwp_zwave_client_t *client)
{
    {
        std::lock_guard<std::mutex> guard(client->lock);
        client->in_progress = false;
    }
    client->done.notify_all();
}

void discovery_result_cb(const uint8_t *addrs, uint8_t count, int ipv4, void *user, int report, int total,
                         const char *const *names)
{
    auto *client = static_cast<zwp_zwave_client_t *>(user);
    ZWS_LOG_ERROR("Network  MDNS = %u: ipv4 = %u gw count:%u Report: %d/%d ", names ? 1u : 0u,
                  static_cast<unsigned>(ipv4), static_cast<unsigned>(count), report, total);
    if (count > 0 && addrs) {
        const size_t size = ipv4 ? 4 : 16;
        std::lock_guard<std::mutex> guard(client->discovery_lock);
        try {
            auto &list = ipv4 ? client->ipv4_list : client->ipv6_list;
            auto &list_names = ipv4 ? client->ipv4_names : client->ipv6_names;
            for (uint8_t i = 0; i < count; i++) {
                const uint8_t *addr = addrs + i * size;
                const bool named = names && names[i];
                // A gateway that answers more than one probe, or both the
                // probe and mDNS, is one gateway: it is listed once, with
                // the name that mDNS gave it.
                size_t at = 0;
                while (at < list.size() / size && std::memcmp(list.data() + at * size, addr, size) != 0)
                    at++;
                if (at < list.size() / size) {
                    if (named && at < list_names.size() && !list_names[at].first)
                        list_names[at] = {true, names[i]};
                } else {
                    list.insert(list.end(), addr, addr + size);
                    if (named)
                        list_names.emplace_back(true, names[i]);
                    else
                        list_names.emplace_back(false, std::string());
                }
                if (names && names[i])
                    ZWS_LOG_INFORMATION(ipv4 ? "Discovered IPv4 MDNS name: %s" : "Discovered IPv6 MDNS name: %s",
                                        names[i]);
            }
            ZWS_LOG_INFORMATION(ipv4 ? "discovery->network_ipv4_count: %u" : "discovery->network_ipv6_count: %u",
                                static_cast<unsigned>(list.size() / size));
        } catch (const std::bad_alloc &) {
            ZWS_LOG_ERROR("Failed to allocate memory");
        }
        client->state = ipv4 ? 1 : 3;
        client->report[ipv4 ? 1 : 0] = report;
        client->total[ipv4 ? 1 : 0] = total;
        for (uint8_t i = 0; i < count; i++) {
            char text[ZWU_INET_ADDRSTRLEN];
            if (addr_text(addrs + i * size, ipv4 != 0, text, sizeof text))
                ZWS_LOG_INFORMATION("Discovered: %s", text);
        }
    }
    if (report >= total)
        pass_complete(client);
}

void discovery_stop(zwp_zwave_client_t *client)
{
    void *handle = nullptr;
    {
        std::lock_guard<std::mutex> guard(client->discovery_lock);
        handle = client->handle;
        client->handle = nullptr;
    }
    // Once stop returns the callback is not called again.
    if (handle)
        zwnet_gw_discvr_stop(handle);
}

void discovery_state_clear(zwp_zwave_client_t *client)
{
    std::lock_guard<std::mutex> guard(client->discovery_lock);
    client->state = 0;
    ZWS_LOG_DEBUGGING("discovery state ..cleared");
}

} // namespace

int zwp_discovery_run(zwp_zwave_client_t *client, int ipv4, int mdns, int clear)
{
    if (!client)
        return 22;
    std::unique_lock<std::mutex> guard(client->lock);
    if (client->cancel)
        return 22;
    if (client->in_progress)
        return 0;
    discovery_stop(client);
    {
        std::lock_guard<std::mutex> lists(client->discovery_lock);
        if (clear) {
            (ipv4 ? client->ipv4_list : client->ipv6_list).clear();
            (ipv4 ? client->ipv4_names : client->ipv6_names).clear();
            client->report[ipv4 ? 1 : 0] = 0;
            client->total[ipv4 ? 1 : 0] = 0;
        }
        client->state = static_cast<uint8_t>(ipv4 ? (mdns ? 2 : 1) : (mdns ? 4 : 3));
    }
    client->in_progress = true;
    void *handle = zwnet_gw_discvr_start(discovery_result_cb, client, ipv4, mdns);
    if (!handle) {
        client->in_progress = false;
        discovery_state_clear(client);
        return 22;
    }
    {
        std::lock_guard<std::mutex> lists(client->discovery_lock);
        client->handle = handle;
    }
    const bool ended = client->done.wait_for(guard, std::chrono::seconds(ZWP_DISCOVERY_WAIT_SEC),
                                             [client]() { return !client->in_progress || client->cancel; });
    const bool cancelled = client->in_progress && client->cancel;
    client->in_progress = false;
    guard.unlock();
    discovery_stop(client);
    if (cancelled)
        return 22;
    if (!ended) {
        ZWS_LOG_ERROR("Discovery of gateways did not complete within %d seconds", ZWP_DISCOVERY_WAIT_SEC);
        discovery_state_clear(client);
        return 22;
    }
    return 0;
}

int zwp_discovery_list_get(zwp_zwave_client_t *client, int ipv4, uint8_t *addrs, int max, int *count)
{
    if (!client || !count)
        return 22;
    std::lock_guard<std::mutex> guard(client->discovery_lock);
    const auto &list = ipv4 ? client->ipv4_list : client->ipv6_list;
    const size_t size = ipv4 ? 4 : 16;
    int n = static_cast<int>(list.size() / size);
    if (n == 0)
        ZWS_LOG_DEBUGGING("discovery get list is ZERO");
    if (n > max)
        n = max;
    if (addrs && n > 0)
        std::memcpy(addrs, list.data(), static_cast<size_t>(n) * size);
    *count = n;
    return 0;
}

int zwp_zwave_client_cached_gw_check(zwp_zwave_client_t *client, const zwp_zip_entry_t *entry)
{
    if (!client || !entry)
        return 22;
    uint8_t found[16 * 100];
    int count = 0;
    ZWS_LOG_ERROR("zwave_client: Starting discovery ip v4");
    const bool v4 = zwp_discovery_run(client, 1, 0, 1) == 0 && zwp_discovery_list_get(client, 1, found, 100, &count) == 0;
    discovery_state_clear(client);
    if (!v4)
        return 22;
    for (int i = 0; i < count; i++) {
        if (std::memcmp(found + i * 4, entry->addr, 4) == 0) {
            ZWS_LOG_INFORMATION("Found cached gateway entry through discovery ip v4.");
            return 0;
        }
    }
    ZWS_LOG_ERROR("zwave_client: Starting discovery ip v6");
    const bool v6 = zwp_discovery_run(client, 0, 0, 1) == 0 && zwp_discovery_list_get(client, 0, found, 100, &count) == 0;
    discovery_state_clear(client);
    if (!v6)
        return 22;
    for (int i = 0; i < count; i++) {
        if (std::memcmp(found + i * 16, entry->addr, 16) == 0) {
            ZWS_LOG_INFORMATION("Found cached gateway entry through discovery ip v6.");
            return 0;
        }
    }
    return 22;
}

namespace {

// A copy of a stored file that could not be read whole, before it is
// rewritten.
void bad_copy_keep(const char *var_dir)
{
    const std::string path = zip_server_path(var_dir);
    char *text = nullptr;
    int length = 0;
    if (access(path.c_str(), F_OK) != 0 || zws_read_from_file_path_with_dest_alloc(path.c_str(), &text, &length, 0) != 0)
        return;
    const std::string copy = path + ".bad";
    if (zws_write_to_file_path(copy.c_str(), text, static_cast<size_t>(length)) == 0)
        ZWS_LOG_WARN("Kept a copy of the unreadable ZIP server file as '%s'", copy.c_str());
    zws_read_dest_free(text);
}

// Discovery picks a gateway and stores it: IPv4 first, then IPv6.
void gateway_discover(zwp_zwave_client_t *client)
{
    ZWS_LOG_INFORMATION("zwave_client: Starting discovery");
    uint8_t addr[16] = {};
    int count = 0;
    bool found = false;
    bool ipv4 = true;
    if (zwp_discovery_run(client, 1, 0, 1) == 0) {
        found = zwp_discovery_list_get(client, 1, addr, 1, &count) == 0 && count > 0;
        discovery_state_clear(client);
        if (!found) {
            ipv4 = false;
            found = zwp_discovery_run(client, 0, 0, 1) == 0 && zwp_discovery_list_get(client, 0, addr, 1, &count) == 0 &&
                    count > 0;
        }
    }
    discovery_state_clear(client);
    if (!found)
        return;
    zwp_gw_t gw{};
    std::memcpy(gw.addr, addr, ipv4 ? 4 : 16);
    gw.addr_type = ipv4 ? 1 : 0;
    gw.port = ZWP_ZIP_PORT_DEFAULT;
    if (zwp_zwave_client_store(client, &gw) != 0)
        ZWS_LOG_WARN("Failed to write ZIP server address to file");
    std::lock_guard<std::mutex> record(client->record_lock);
    client->chosen = gw;
    client->selected = true;
}

} // namespace

int zwp_zwave_client_create(zwp_zwave_client_t **out, const char *var_dir)
{
    if (!out)
        return 22;
    auto *client = new (std::nothrow) zwp_zwave_client_t;
    if (!client) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    try {
        client->var_dir = var_dir ? var_dir : "";
    } catch (const std::bad_alloc &) {
        delete client;
        return 22;
    }

    int skipped = 0;
    const bool present = var_dir && access(zip_server_path(var_dir).c_str(), F_OK) == 0;
    if (!var_dir || zwp_zip_server_file_read(var_dir, client->entries, &client->entry_count, &skipped) != 0) {
        client->entry_count = 0;
        client->file_bad = present;
        gateway_discover(client);
    } else {
        client->file_bad = skipped > 0;
        const zwp_zip_entry_t &first = client->entries[0];
        bool found = zwp_zwave_client_cached_gw_check(client, &first) == 0;
        if (!found) {
            std::this_thread::sleep_for(std::chrono::seconds(2));
            found = zwp_zwave_client_cached_gw_check(client, &first) == 0;
        }
        if (!found) {
            ZWS_LOG_ERROR("Cannot find Z/IP Gateway cache entry from discovery. Z/IP Gateway not initialize.");
        } else {
            zwp_gw_t &gw = client->chosen;
            std::memcpy(gw.addr, first.addr, sizeof gw.addr);
            gw.addr_type = first.ipv4;
            gw.port = first.port;
            std::memcpy(gw.psk, first.psk, sizeof gw.psk);
            gw.psk_len = first.psk_len;
            client->selected = true;
        }
    }
    *out = client;
    if (!client->selected)
        ZWS_LOG_WARN("No ZIP server selected for initialization");
    return 0;
}

void zwp_zwave_client_destroy(zwp_zwave_client_t *client)
{
    if (!client)
        return;
    {
        std::lock_guard<std::mutex> guard(client->lock);
        client->cancel = true;
    }
    client->done.notify_all();
    discovery_stop(client);
    {
        std::lock_guard<std::mutex> guard(client->thread_lock);
        if (client->discovery_thread.joinable())
            client->discovery_thread.join();
    }
    discovery_stop(client);
    delete client;
}

int zwp_zwave_client_store(zwp_zwave_client_t *client, const zwp_gw_t *gw)
{
    if (!client || !gw || client->var_dir.empty())
        return 22;
    std::lock_guard<std::mutex> record(client->record_lock);
    if (client->file_bad)
        bad_copy_keep(client->var_dir.c_str());
    if (zwp_zip_server_file_write(client->var_dir.c_str(), gw, client->entries, client->entry_count) != 0)
        return 22;
    client->file_bad = false;
    int skipped = 0;
    zwp_zip_entry_t read[ZWP_ZIP_ENTRY_MAX]{};
    int count = 0;
    if (zwp_zip_server_file_read(client->var_dir.c_str(), read, &count, &skipped) != 0)
        count = 0;
    // Slots past the lines read hold nothing, so that no older entry
    // reappears in a listing.
    std::memcpy(client->entries, read, sizeof read);
    client->entry_count = count;
    return 0;
}

int zwp_zwave_client_gw_set(zwp_zwave_client_t *client, const zwp_gw_t *gw)
{
    if (!client || !gw)
        return 22;
    {
        std::lock_guard<std::mutex> record(client->record_lock);
        client->chosen = *gw;
        client->selected = true;
    }
    if (zwp_zwave_client_store(client, gw) != 0)
        ZWS_LOG_WARN("Failed to write ZIP server address to file");
    return 0;
}

int zwp_zwave_client_gw_get(const zwp_zwave_client_t *client, zwp_gw_t *gw)
{
    if (!client || !gw)
        return 22;
    std::lock_guard<std::mutex> record(client->record_lock);
    if (!client->selected)
        return 22;
    *gw = client->chosen;
    return 0;
}

int zwp_zwave_client_entries_get(const zwp_zwave_client_t *client, zwp_zip_entry_t entries[ZWP_ZIP_ENTRY_MAX])
{
    if (!client || !entries)
        return 22;
    std::lock_guard<std::mutex> record(client->record_lock);
    std::memcpy(entries, client->entries, sizeof client->entries);
    return 0;
}

int zwp_zwave_client_net_set(zwp_zwave_client_t *client, zwp_net_t *net)
{
    if (!client)
        return 22;
    client->net = net;
    return 0;
}

zwp_net_t *zwp_zwave_client_net_get(const zwp_zwave_client_t *client) { return client ? client->net : nullptr; }

namespace {

struct discovery_pass {
    int ipv4;
    int mdns;
    int clear;
    const char *failure;
};
// Each family is emptied by its probe pass and added to by its mDNS pass.
constexpr discovery_pass discovery_passes[] = {
    {1, 0, 1, "IPv4 without MDNS discovery failed."},
    {1, 1, 0, "IPv4 with MDNS discovery failed."},
    {0, 0, 1, "IPv6 without MDNS discovery failed."},
    {0, 1, 0, "IPv6 with MDNS discovery failed."},
};

void discovery_passes_run(zwp_zwave_client_t *client)
{
    zwu_thread_name_set("ANetDiscoveryStartHdlr", nullptr);
    for (const discovery_pass &pass : discovery_passes) {
        if (zwp_discovery_run(client, pass.ipv4, pass.mdns, pass.clear) != 0) {
            ZWS_LOG_ERROR("%s", pass.failure);
            break;
        }
    }
    discovery_state_clear(client);
    client->discovery_running = false;
}

void names_copy(const std::vector<uint8_t> &addrs, const std::vector<zwp_zwave_client_t::name_t> &names,
                size_t size, std::vector<zwp_discovered_gw_t> *out)
{
    const size_t count = addrs.size() / size;
    out->reserve(count);
    for (size_t i = 0; i < count; i++) {
        zwp_discovered_gw_t gw{};
        std::memcpy(gw.addr, addrs.data() + i * size, size);
        if (i < names.size() && names[i].first) {
            gw.has_name = true;
            gw.name = names[i].second;
        }
        out->push_back(std::move(gw));
    }
}

} // namespace

int zwp_zwave_client_discovery_start(zwp_zwave_client_t *client)
{
    if (!client)
        return 22;
    std::lock_guard<std::mutex> guard(client->thread_lock);
    {
        std::lock_guard<std::mutex> lists(client->discovery_lock);
        // A discovery already runs (ours, or a pass of the start-up).
        if (client->discovery_running || client->state != 0)
            return 0;
        client->discovery_running = true;
        // Shown as running from now on, so that no answer after this start
        // shows the lists of an earlier discovery as final.
        client->state = 1;
    }
    // The previous thread has ended its passes; only its join is left.
    if (client->discovery_thread.joinable())
        client->discovery_thread.join();
    try {
        client->discovery_thread = std::thread(discovery_passes_run, client);
    } catch (const std::system_error &) {
        discovery_state_clear(client);
        client->discovery_running = false;
        ZWS_LOG_ERROR("Failed to create the gateway discovery thread");
        return 22;
    }
    return 0;
}

int zwp_zwave_client_discovery_snapshot_get(zwp_zwave_client_t *client, zwp_discovery_snapshot_t *snapshot)
{
    if (!client || !snapshot)
        return 22;
    try {
        std::lock_guard<std::mutex> lists(client->discovery_lock);
        snapshot->state = client->state;
        // The counters of the last family, in listing order, that has
        // gateways.
        const int family = client->ipv6_list.empty() ? 1 : 0;
        snapshot->received_reports = client->report[family];
        snapshot->total_reports = client->total[family];
        snapshot->ipv4.clear();
        snapshot->ipv6.clear();
        names_copy(client->ipv4_list, client->ipv4_names, 4, &snapshot->ipv4);
        names_copy(client->ipv6_list, client->ipv6_names, 16, &snapshot->ipv6);
    } catch (const std::bad_alloc &) {
        ZWS_LOG_ERROR("Failed to allocate memory");
        return 22;
    }
    return 0;
}
