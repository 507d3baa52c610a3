// trellan's reading of kestrund's reply into the web answer: the reply is
// outside bytes (length prefix, Avro payload, every record a result
// handler formats). The messages are the real registry's, on the project's
// zwave.avsc.
// Input: byte 0 picks the message (all levels, in list order); bit 0 of
// byte 1 picks a whole reply (prefix included, as a peer may send it) or a
// payload behind a correct prefix, bit 1 puts the message's own response
// branch in front of the payload so that runs reach the result handlers.
#include "messages/zws_avi.h"
#include "service/zws_cgi.h"
#include "util/zws_log.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

int quiet(int, const char *, ...) { return 0; }

struct candidate {
    zws_cgi_command_level_t level;
    const void *descriptor;
    const char *name;
    std::string branch; // the response's union index, encoded; empty when unknown
};

zws_avi_t g_avi = nullptr;
std::vector<candidate> g_candidates;
std::string g_root;

void remove_root() { std::system(("rm -rf '" + g_root + "'").c_str()); }

template <typename Descriptor> void add_level(zwu_array_list_t list, zws_cgi_command_level_t level)
{
    for (int i = 0; list && i < zwu_array_list_size(list); i++) {
        const auto *message = static_cast<const Descriptor *>(zwu_array_list_get(list, i));
        g_candidates.push_back({level, message, message->avro_message_name, {}});
    }
}

std::string response_branch(const char *name)
{
    zw_avro_t avro = zws_avi_get_avro(g_avi);
    avro_schema_t entry = zw_avro_schema_record_field_get(zw_avro_get_messages_schema(avro), name);
    avro_schema_t response = zw_avro_schema_record_field_get(entry, "response");
    const char *type_name = response ? avro_schema_type_name(response) : nullptr;
    int index = -1;
    if (!type_name || !avro_schema_union_branch_by_name(zw_avro_get_types_schema(avro), &index, type_name))
        return {};
    // Zig-zag varint of a small non-negative index.
    std::string encoded;
    for (uint64_t raw = static_cast<uint64_t>(index) << 1;; raw >>= 7) {
        if (raw < 0x80) {
            encoded.push_back(static_cast<char>(raw));
            return encoded;
        }
        encoded.push_back(static_cast<char>((raw & 0x7F) | 0x80));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ZWS_LOG_FUNC = quiet;
    char dir[] = "/tmp/zw-fuzz-reply-XXXXXX";
    if (!mkdtemp(dir))
        std::abort();
    g_root = dir;
    std::atexit(remove_root);
    const std::string command = "mkdir -p '" + g_root + "/bin' '" + g_root + "/install/corvale/etc' && cp '" ZW_SOURCE_DIR
                                "/avi/zwave.avsc' '" + g_root + "/install/corvale/etc/zwave.avsc'";
    if (std::system(command.c_str()) != 0)
        std::abort();
    setenv("VANTOR_INSTALL_PATH", (g_root + "/bin").c_str(), 1);
    setenv("VANTOR_USER_NAME", "fuzz", 1);
    setenv("REMOTE_ADDR", "127.0.0.1", 1);
    setenv("SERVER_ADDR", "127.0.0.1", 1);
    if (zws_avi_init(&g_avi) != 0)
        std::abort();
    add_level<zws_avi_message_t>(zws_avi_get_message_list_root(g_avi), ZWS_CGI_COMMAND_LEVEL_ROOT);
    add_level<zws_avi_message_networks_t>(zws_avi_get_message_list_networks(g_avi), ZWS_CGI_COMMAND_LEVEL_NETWORKS);
    add_level<zws_avi_message_nodes_t>(zws_avi_get_message_list_nodes(g_avi), ZWS_CGI_COMMAND_LEVEL_NODES);
    add_level<zws_avi_message_endpoints_t>(zws_avi_get_message_list_endpoints(g_avi), ZWS_CGI_COMMAND_LEVEL_ENDPOINTS);
    add_level<zws_avi_message_interfaces_t>(zws_avi_get_message_list_interfaces(g_avi),
                                            ZWS_CGI_COMMAND_LEVEL_INTERFACES);
    if (g_candidates.empty())
        std::abort();
    for (candidate &c : g_candidates)
        c.branch = response_branch(c.name);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const candidate &message = g_candidates[data[0] % g_candidates.size()];
    std::string payload(reinterpret_cast<const char *>(data + 2), size - 2);
    if (data[1] & 2)
        payload.insert(0, message.branch);
    std::string reply;
    if (data[1] & 1) {
        reply = payload;
    } else {
        const size_t n = payload.size();
        reply = {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                 static_cast<char>(n)};
        reply += payload;
    }

    // The tree a parsed request of this level would have.
    zws_service_common_t common;
    common.cgi_client = ZWS_CGI_CLIENT_VANTOR;
    common.user = "fuzz";
    common.has_user = true;
    common.avi = g_avi;
    common.avi_message = message.descriptor;
    common.message_name = message.name;
    common.command_level = message.level;
    common.combo_id = 0x0102030405ULL;
    zws_service_interfaces_t interfaces;
    zws_service_endpoints_t endpoints;
    zws_service_nodes_t nodes;
    zws_service_networks_t networks;
    networks.net_id = "AA-BB";
    networks.service_node = &nodes;
    networks.service_common = &common;
    nodes.service_net = &networks;
    nodes.service_endpoint = &endpoints;
    nodes.service_common = &common;
    endpoints.service_node = &nodes;
    endpoints.service_interface = &interfaces;
    endpoints.service_common = &common;
    interfaces.service_endpoint = &endpoints;
    interfaces.service_common = &common;
    zws_service_t service;
    service.service_common = &common;
    if (message.level != ZWS_CGI_COMMAND_LEVEL_ROOT) {
        service.command_type = ZWS_CGI_COMMAND_TYPE_NETWORKS;
        service.service_next = &networks;
    }

    zws_cgi_set_cgi_service_result_from_rpc_response(&service, reply.data(), static_cast<int>(reply.size()));
    if (common.result)
        zwu_string_buffer_destroy(common.result);
    return 0;
}
