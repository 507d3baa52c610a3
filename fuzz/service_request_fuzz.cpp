// Request parsing of trellan: the request URI, REMOTE_USER, the cookie
// header and the body are outside bytes. Input: "<uri>\n<user>\n<cookie>\n<body>".
#include "messages/zws_avi.h"
#include "messages/zws_avi_list.h"
#include "service/zws_cgi.h"
#include "service/zws_cgi_io.h"
#include "util/zws_log.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int quiet(int, const char *, ...) { return 0; }

std::string g_body;
size_t g_at = 0;
size_t body_read(void *, char *buffer, size_t size)
{
    const size_t count = std::min(size, g_body.size() - g_at);
    g_body.copy(buffer, count, g_at);
    g_at += count;
    return count;
}
int body_error(void *) { return 0; }
int body_eof(void *) { return g_at >= g_body.size(); }
int discard(void *, const char *, size_t) { return 0; }
const zws_cgi_io_t k_io = {nullptr, discard, {nullptr, body_read, body_error, body_eof}};

const zws_avi_message_networks_t k_net = {{"zwnet_add", "set_node_incl"}, 15, "network_node_add_on_behalf", nullptr,
                                          nullptr, "tServInclFailed"};
const zws_avi_message_nodes_t k_node = {{"zwnode_cmd_q", nullptr}, 2, "node_command_queue_get", nullptr, nullptr,
                                        "tServCmdQ"};
const zws_avi_message_interfaces_t k_if = {{"zwif_basic", "basic"}, 2, 1, 1, "interface_basic_get", nullptr, nullptr,
                                           "tServBasic"};
const zws_avi_message_t k_root = {"zw_gw_get", "zip_gateway_get", nullptr, nullptr, ""};

zws_avi_t g_avi = nullptr;
std::string g_root;

void remove_root() { std::system(("rm -rf '" + g_root + "'").c_str()); }

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ZWS_LOG_FUNC = quiet;
    char dir[] = "/tmp/zw-fuzz-service-XXXXXX";
    if (!mkdtemp(dir))
        abort();
    const std::string root = dir;
    g_root = root;
    atexit(remove_root);
    const std::string command = "mkdir -p '" + root + "/bin' '" + root + "/install/corvale/etc' && cp '" ZW_SOURCE_DIR
                                "/avi/zwave.avsc' '" + root + "/install/corvale/etc/zwave.avsc'";
    if (std::system(command.c_str()) != 0)
        abort();
    setenv("VANTOR_INSTALL_PATH", (root + "/bin").c_str(), 1);
    if (zws_avi_init(&g_avi) != 0)
        abort();
    zws_avi_message_list_add_message(zws_avi_get_message_list_root(g_avi), &k_root);
    zws_avi_message_list_add_message_networks(zws_avi_get_message_list_networks(g_avi), &k_net);
    zws_avi_message_list_add_message_nodes(zws_avi_get_message_list_nodes(g_avi), &k_node);
    zws_avi_message_list_add_message_interfaces(zws_avi_get_message_list_interfaces(g_avi), &k_if);
    zws_cgi_io_set(&k_io);
    setenv("CONTEXT_PREFIX", "/zwave", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    const size_t a = input.find('\n');
    const size_t b = a == std::string::npos ? a : input.find('\n', a + 1);
    const size_t c = b == std::string::npos ? b : input.find('\n', b + 1);
    if (c == std::string::npos)
        return 0;
    const std::string uri = input.substr(0, a);
    const std::string user = input.substr(a + 1, b - a - 1);
    const std::string cookie = input.substr(b + 1, c - b - 1);
    if (uri.find('\0') != std::string::npos || user.find('\0') != std::string::npos)
        return 0;
    setenv("REQUEST_URI", ("/zwave" + uri).c_str(), 1);
    setenv("REMOTE_USER", user.c_str(), 1);
    // Cookies are parsed, but a found session id would start PHP: only
    // headers without a PHPSESSID value reach the parser's end.
    if (cookie.find("PHPSESSID=") != std::string::npos || cookie.find('\0') != std::string::npos)
        unsetenv("HTTP_COOKIE");
    else
        setenv("HTTP_COOKIE", cookie.c_str(), 1);
    g_body = input.substr(c + 1);
    g_at = 0;
    zws_service_t *service = nullptr;
    zws_cgi_get_cgi_service_from_environment(&service, g_avi, nullptr);
    zws_cgi_free_cgi_service_from_environment(service);
    return 0;
}
