#include "service/zws_cgi.h"
#include "messages/zws_avi_list.h"

#include "service_fixture.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using zws_test::env_guard;

// The network, node, endpoint and root commands are the registry's own;
// interface families are stand-ins until theirs are registered.
const zws_avi_message_interfaces_t k_if_basic_get = {{"zwif_basic", "basic"}, 2, 1, 1, "interface_basic_get",
                                                     nullptr, nullptr, "tServBasic"};
const zws_avi_message_interfaces_t k_if_basic_set = {{"zwif_basic", "basic"}, 4, 0, 0, "interface_basic_set",
                                                     nullptr, nullptr, "tServBasic"};
const zws_avi_message_interfaces_t k_if_long = {{"zwif_xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", nullptr}, 2, 0, 0,
                                                "interface_long_get", nullptr, nullptr, "tServLong"};

class Parse : public ::testing::Test {
  protected:
    static zws_avi_t avi;

    static void SetUpTestSuite()
    {
        zws_test::stage_install("parse");
        ASSERT_EQ(zws_avi_init(&avi), 0);
        zwu_array_list_t interfaces = zws_avi_get_message_list_interfaces(avi);
        zws_avi_message_list_add_message_interfaces(interfaces, &k_if_basic_get);
        zws_avi_message_list_add_message_interfaces(interfaces, &k_if_basic_set);
        zws_avi_message_list_add_message_interfaces(interfaces, &k_if_long);
    }
    static void TearDownTestSuite() { zws_avi_exit(avi); }

    void SetUp() override
    {
        env.set("CONTEXT_PREFIX", "/zwave");
        env.unset("HTTP_COOKIE");
        env.set("REMOTE_USER", "bob");
        env.unset("VANTOR_USER_NAME");
    }
    void TearDown() override { zws_cgi_free_cgi_service_from_environment(service); }

    int parse(const std::string &uri, const std::string &body = "")
    {
        env.set("REQUEST_URI", uri);
        io.set_input(body);
        zws_cgi_free_cgi_service_from_environment(service);
        service = nullptr;
        return zws_cgi_get_cgi_service_from_environment(&service, avi, nullptr);
    }
    zws_service_common_t *common() { return service->service_common; }

    env_guard env;
    zws_test::string_io io;
    zws_service_t *service = nullptr;
};
zws_avi_t Parse::avi = nullptr;

struct parse_case {
    const char *what;
    const char *uri;
    const char *body;
    int status;
    const char *message; // expected message name, null for none
    zws_cgi_command_level_t level;
    uint64_t combo_id;
    int pairs_left;
    const char *first_left_key;
    const char *error_text;
    int error_text_index;
};

constexpr uint64_t none = ZWS_CGI_NO_COMBO_ID;

const parse_case k_cases[] = {
    {"network message", "/zwave/networks/01-02-03-04-05-06-07-08/zwnet_get_node_list", "", 0,
     "network_node_list_get", ZWS_CGI_COMMAND_LEVEL_NETWORKS, none, 0, nullptr, "", -1},
    {"network message keeps noded among its pairs", "/zwave/networks/01/zwnet_get_node_list", "noded=5&x=1", 0,
     "network_node_list_get", ZWS_CGI_COMMAND_LEVEL_NETWORKS, none, 2, "noded", "", -1},
    {"what follows the command is ignored", "/zwave/networks/01/zwnet_get_node_list/extra", "", 0,
     "network_node_list_get", ZWS_CGI_COMMAND_LEVEL_NETWORKS, none, 0, nullptr, "", -1},
    {"sub-command selects the descriptor", "/zwave/networks/01/zwnet_add", "cmd=15", 0, "network_node_add_on_behalf",
     ZWS_CGI_COMMAND_LEVEL_NETWORKS, none, 0, nullptr, "tServInclFailed", -1},
    {"alias", "/zwave/networks/01/set_node_incl", "cmd=3", 0, "network_node_remove", ZWS_CGI_COMMAND_LEVEL_NETWORKS,
     none, 0, nullptr, "tServInclFailed", -1},
    {"case matters", "/zwave/networks/01/ZWNET_ADD", "cmd=3", 22, nullptr, ZWS_CGI_COMMAND_LEVEL_ROOT, none, 0,
     nullptr, nullptr, -1},
    {"unknown sub-command keeps the family's text", "/zwave/networks/01/zwnet_add", "cmd=9", 22, nullptr,
     ZWS_CGI_COMMAND_LEVEL_ROOT, none, 0, nullptr, "tServInclFailed", -1},
    {"cmd_cgi and cmd_type name the sub-command too", "/zwave/networks/01/zwnet_add", "cmd_type=15", 0,
     "network_node_add_on_behalf", ZWS_CGI_COMMAND_LEVEL_NETWORKS, none, 0, nullptr, "tServInclFailed", -1},
    {"sub-command that is no number fails", "/zwave/networks/01/zwnet_add", "cmd=1x", 22, nullptr,
     ZWS_CGI_COMMAND_LEVEL_ROOT, none, 0, nullptr, nullptr, -1},
    {"negative sub-command fails", "/zwave/networks/01/zwnet_add", "cmd=-1", 22, nullptr, ZWS_CGI_COMMAND_LEVEL_ROOT,
     none, 0, nullptr, nullptr, -1},
    {"node level with its id", "/zwave/networks/01/zwnode_get_ep_list", "noded=7", 0, "node_endpoint_list_get",
     ZWS_CGI_COMMAND_LEVEL_NODES, 7, 0, nullptr, "tServEpListFailed", -1},
    {"endpoint level", "/zwave/networks/01/zwep_get_if_list", "epd=519", 0, "endpoint_interface_list_get",
     ZWS_CGI_COMMAND_LEVEL_ENDPOINTS, 519, 0, nullptr, "tServIntfListFailed", -1},
    // Each key's id is as wide as its level: more would name another node.
    {"noded with an endpoint byte", "/zwave/networks/01/zwnode_get_ep_list", "noded=258", 22, nullptr,
     ZWS_CGI_COMMAND_LEVEL_ROOT, none, 0, nullptr, nullptr, -1},
    {"noded 255 is a node byte", "/zwave/networks/01/zwnode_get_ep_list", "noded=255", 0, "node_endpoint_list_get",
     ZWS_CGI_COMMAND_LEVEL_NODES, 255, 0, nullptr, "tServEpListFailed", -1},
    {"epd with a class", "/zwave/networks/01/zwep_get_if_list", "epd=65794", 22, nullptr,
     ZWS_CGI_COMMAND_LEVEL_ROOT, none, 0, nullptr, nullptr, -1},
    {"ifd beyond 32 bits", "/zwave/networks/01/zwif_basic", "cmd=2&ifd=4294967554", 22, nullptr,
     ZWS_CGI_COMMAND_LEVEL_ROOT, none, 0, nullptr, nullptr, -1},
    {"cmd then ifd then one pair", "/zwave/networks/01/zwif_basic", "cmd=2&ifd=65794&value=3", 0,
     "interface_basic_get", ZWS_CGI_COMMAND_LEVEL_INTERFACES, 65794, 1, "value", "tServBasic", 2},
    {"passive variant", "/zwave/networks/01/basic", "cmd=3&ifd=65794", 0, "interface_basic_get",
     ZWS_CGI_COMMAND_LEVEL_INTERFACES, 65794, 0, nullptr, "tServBasic", 3},
    {"setup variant has no message", "/zwave/networks/01/zwif_basic", "cmd=1&ifd=65794", 0, nullptr,
     ZWS_CGI_COMMAND_LEVEL_INTERFACES, 65794, 0, nullptr, "tServBasic", 1},
    {"set", "/zwave/networks/01/zwif_basic", "cmd=4&ifd=65794&value=9", 0, "interface_basic_set",
     ZWS_CGI_COMMAND_LEVEL_INTERFACES, 65794, 1, "value", "tServBasic", 4},
    {"unknown interface sub-command", "/zwave/networks/01/zwif_basic", "cmd=5&ifd=1", 22, nullptr,
     ZWS_CGI_COMMAND_LEVEL_ROOT, none, 0, nullptr, "tServBasic", 0},
    {"cmd that is not first goes to the handler", "/zwave/networks/01/zwif_basic", "ifd=65794&cmd=2", 22, nullptr,
     ZWS_CGI_COMMAND_LEVEL_ROOT, none, 0, nullptr, "tServBasic", 0},
    {"no combined id at interface level", "/zwave/networks/01/zwif_basic", "cmd=2", 0, "interface_basic_get",
     ZWS_CGI_COMMAND_LEVEL_INTERFACES, none, 0, nullptr, "tServBasic", 2},
    {"combined id that is no number", "/zwave/networks/01/zwif_basic", "cmd=2&ifd=0x10", 22, nullptr,
     ZWS_CGI_COMMAND_LEVEL_ROOT, none, 0, nullptr, nullptr, -1},
    {"command cut to 49 characters",
     "/zwave/networks/01/zwif_xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxyyyyyyyyyyyy", "cmd=2", 0,
     "interface_long_get", ZWS_CGI_COMMAND_LEVEL_INTERFACES, none, 0, nullptr, "tServLong", 2},
    {"48 characters do not match the 49-character name",
     "/zwave/networks/01/zwif_xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", "cmd=2", 22, nullptr,
     ZWS_CGI_COMMAND_LEVEL_ROOT, none, 0, nullptr, nullptr, -1},
    {"root message ignores the network id", "/zwave/networks/whatever/zw_gw_get", "", 0, "root_gateway_get",
     ZWS_CGI_COMMAND_LEVEL_ROOT, none, 0, nullptr, "", -1},
    {"root names are whole-rest matches", "/zwave/networks/01/zw_gw_get/x", "", 22, nullptr,
     ZWS_CGI_COMMAND_LEVEL_ROOT, none, 0, nullptr, nullptr, -1},
    {"/networks alone: no command", "/zwave/networks", "", 22, nullptr, ZWS_CGI_COMMAND_LEVEL_ROOT, none, 0, nullptr,
     nullptr, -1},
    {"path ending in the network id", "/zwave/networks/01", "", 22, nullptr, ZWS_CGI_COMMAND_LEVEL_ROOT, none, 0,
     nullptr, nullptr, -1},
    {"empty command", "/zwave/networks/01/", "", 22, nullptr, ZWS_CGI_COMMAND_LEVEL_ROOT, none, 0, nullptr, nullptr,
     -1},
    {"unknown client", "/zwave/other/01/zwnet_get_node_list", "", 401, nullptr, ZWS_CGI_COMMAND_LEVEL_ROOT, none, 0,
     nullptr, nullptr, -1},
    {"empty first segment", "/zwave//networks/01/x", "", 401, nullptr, ZWS_CGI_COMMAND_LEVEL_ROOT, none, 0, nullptr,
     nullptr, -1},
    {"prefix that does not lead the URI", "/other/networks/01/zwnet_get_node_list", "", 22, nullptr,
     ZWS_CGI_COMMAND_LEVEL_ROOT, none, 0, nullptr, nullptr, -1},
    {"query string stays in the command", "/zwave/networks/01/zwnet_get_node_list?x=1", "", 22, nullptr,
     ZWS_CGI_COMMAND_LEVEL_ROOT, none, 0, nullptr, nullptr, -1},
    {"backtick anywhere refuses the body", "/zwave/networks/01/zwnet_get_node_list", "a=`id`", 22, nullptr,
     ZWS_CGI_COMMAND_LEVEL_ROOT, none, 0, nullptr, nullptr, -1},
    {"entry without '='", "/zwave/networks/01/zwnet_get_node_list", "a=1&b", 22, nullptr, ZWS_CGI_COMMAND_LEVEL_ROOT,
     none, 0, nullptr, nullptr, -1},
    {"empty key", "/zwave/networks/01/zwnet_get_node_list", "=1", 22, nullptr, ZWS_CGI_COMMAND_LEVEL_ROOT, none, 0,
     nullptr, nullptr, -1},
    {"empty entry in the middle", "/zwave/networks/01/zwnet_get_node_list", "a=1&&b=2", 22, nullptr,
     ZWS_CGI_COMMAND_LEVEL_ROOT, none, 0, nullptr, nullptr, -1},
    {"trailing separator is harmless", "/zwave/networks/01/zwnet_get_node_list", "a=1&", 0, "network_node_list_get",
     ZWS_CGI_COMMAND_LEVEL_NETWORKS, none, 1, "a", "", -1},
    {"CR LF separates without '&'", "/zwave/networks/01/zwnet_get_node_list", "a=1\r\nb=%41\r\n", 0,
     "network_node_list_get", ZWS_CGI_COMMAND_LEVEL_NETWORKS, none, 2, "a", "", -1},
};

TEST_F(Parse, TableOfPathsAndBodies)
{
    for (const parse_case &c : k_cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(parse(c.uri, c.body), c.status);
        ASSERT_NE(service, nullptr);
        if (c.status == 401)
            continue;
        zws_service_common_t *sc = common();
        if (c.message) {
            EXPECT_STREQ(sc->message_name, c.message);
        }
        if (c.status == 0) {
            if (!c.message) {
                EXPECT_EQ(sc->avi_message, nullptr);
            }
            EXPECT_EQ(sc->command_level, c.level);
            EXPECT_EQ(sc->error_text_index, c.error_text_index);
            if (c.level >= ZWS_CGI_COMMAND_LEVEL_NODES) {
                EXPECT_EQ(sc->combo_id, c.combo_id);
            }
            EXPECT_EQ(sc->args_count, c.pairs_left);
            if (c.first_left_key) {
                EXPECT_STREQ(sc->args[0].key, c.first_left_key);
            }
        }
        if (c.error_text) {
            EXPECT_STREQ(zws_cgi_get_error_text(service), c.error_text);
        }
    }
}

TEST_F(Parse, CombinedIdSplitsIntoNodeEndpointInterface)
{
    ASSERT_EQ(parse("/zwave/networks/01/zwif_basic", "cmd=2&ifd=65794&v=1"), 0);
    zws_service_networks_t *net = service->service_next;
    ASSERT_NE(net, nullptr);
    EXPECT_EQ(net->net_id, "01");
    EXPECT_EQ(net->service_node->node_id, 2);
    EXPECT_EQ(net->service_node->service_endpoint->endpoint_id, 0);
    EXPECT_EQ(net->service_node->service_endpoint->service_interface->interface_id, 1);
    EXPECT_EQ(net->service_node->service_endpoint->service_interface->sub_command, 2);

    ASSERT_EQ(parse("/zwave/networks/01/zwif_basic", "cmd=2"), 0);
    net = service->service_next;
    EXPECT_EQ(net->service_node->node_id, 255);
    EXPECT_EQ(net->service_node->service_endpoint->endpoint_id, 254);
    EXPECT_EQ(net->service_node->service_endpoint->service_interface->interface_id, 65535);
}

TEST_F(Parse, PairsAreNotDecoded)
{
    ASSERT_EQ(parse("/zwave/networks/01/zwnet_get_node_list", "name=a%20b+c&x=y=z"), 0);
    ASSERT_EQ(common()->args_count, 2);
    EXPECT_STREQ(common()->args[0].value, "a%20b+c");
    EXPECT_STREQ(common()->args[1].key, "x");
    EXPECT_STREQ(common()->args[1].value, "y=z");
}

TEST_F(Parse, BodyIsCapped)
{
    zws_test::log_capture log;
    std::string body = "a=" + std::string(ZWS_CGI_MAX_BODY, 'x');
    EXPECT_EQ(parse("/zwave/networks/01/zwnet_get_node_list", body), 22);
    EXPECT_TRUE(log.contains("Request body larger than"));
    body.resize(ZWS_CGI_MAX_BODY);
    EXPECT_EQ(parse("/zwave/networks/01/zwnet_get_node_list", body), 0);
}

TEST_F(Parse, NumberOfPairsIsBoundedAndTheLogStaysSmall)
{
    auto form = [](int pairs) {
        std::string body;
        for (int i = 0; i < pairs; i++)
            body += i ? "&a=b" : "a=b";
        return body;
    };
    zws_test::log_capture log;
    ASSERT_EQ(parse("/zwave/networks/01/zwnet_get_node_list", form(ZWS_CGI_MAX_ARGS)), 0);
    EXPECT_EQ(common()->args_count, ZWS_CGI_MAX_ARGS);
    EXPECT_FALSE(log.contains("Too many arguments"));
    // A form of 10,000 or 100,000 pairs is refused; what it logs does not
    // grow with it.
    for (const int pairs : {ZWS_CGI_MAX_ARGS + 1, 10000, 100000}) {
        log.clear();
        EXPECT_EQ(parse("/zwave/networks/01/zwnet_get_node_list", form(pairs)), 22) << pairs;
        EXPECT_TRUE(log.contains("Too many arguments: more than 1024 pairs")) << pairs;
        EXPECT_LE(log.lines().size(), 20u) << pairs;
    }
}

TEST_F(Parse, NulByteInBodyIsRefused)
{
    EXPECT_EQ(parse("/zwave/networks/01/zwnet_get_node_list", std::string("a=1\0&b=2", 8)), 22);
}

TEST_F(Parse, UserRules)
{
    // No cookie and no user: 403 with a command, the no-command answers without.
    env.unset("REMOTE_USER");
    EXPECT_EQ(parse("/zwave/networks/01/zwnet_get_node_list"), 13);
    EXPECT_EQ(getenv("VANTOR_USER_NAME"), nullptr);
    EXPECT_EQ(parse("/zwave/networks"), 22);
    EXPECT_EQ(parse("/zwave/networks/01"), 22);

    // nginx passes REMOTE_USER empty when no authentication ran.
    env.set("REMOTE_USER", "");
    EXPECT_EQ(parse("/zwave/networks/01/zwnet_get_node_list"), 13);
    EXPECT_EQ(getenv("VANTOR_USER_NAME"), nullptr);

    env.set("REMOTE_USER", "carol");
    ASSERT_EQ(parse("/zwave/networks/01/zwnet_get_node_list"), 0);
    EXPECT_TRUE(common()->has_user);
    EXPECT_EQ(common()->user, "carol");
    ASSERT_NE(getenv("VANTOR_USER_NAME"), nullptr);
    EXPECT_STREQ(getenv("VANTOR_USER_NAME"), "carol");

    // The next request without a user must not inherit carol.
    env.unset("REMOTE_USER");
    EXPECT_EQ(parse("/zwave/networks/01/zwnet_get_node_list"), 13);
    EXPECT_EQ(getenv("VANTOR_USER_NAME"), nullptr);

    // A cookie without PHPSESSID: 22 from the session, no REMOTE_USER: error document.
    env.set("HTTP_COOKIE", "other=1");
    EXPECT_EQ(parse("/zwave/networks/01/zwnet_get_node_list"), 22);
}

TEST_F(Parse, SessionUserWinsOverRemoteUser)
{
    const std::string dir = zws_test::staged_dir("parse");
    FILE *pipe = popen(("php '" + zws_test::source_dir() + "/tests/e2e/make_session.php' '" + dir +
                        "/install/corvale/var/php_sessions' alice")
                           .c_str(),
                       "r");
    ASSERT_NE(pipe, nullptr);
    char id[256] = {};
    ASSERT_NE(fgets(id, sizeof id, pipe), nullptr);
    pclose(pipe);
    env.set("HTTP_COOKIE", std::string("theme=dark;  PHPSESSID=") + id + "; other=2");
    env.set("REMOTE_USER", "bob");
    ASSERT_EQ(parse("/zwave/networks/01/zwnet_get_node_list"), 0);
    EXPECT_EQ(common()->user, "alice");
    EXPECT_STREQ(getenv("VANTOR_USER_NAME"), "alice");

    // A session that is not logged in falls back to REMOTE_USER...
    env.set("HTTP_COOKIE", "PHPSESSID=unknownsession123");
    ASSERT_EQ(parse("/zwave/networks/01/zwnet_get_node_list"), 0);
    EXPECT_EQ(common()->user, "bob");
    // ...and without one it is 403.
    env.unset("REMOTE_USER");
    EXPECT_EQ(parse("/zwave/networks/01/zwnet_get_node_list"), 13);
}

TEST_F(Parse, IftttNeedsRemoteUserAndKeepsTheBodyWhole)
{
    env.set("HTTP_COOKIE", "PHPSESSID=whatever");
    ASSERT_EQ(parse("/zwave/ifttt/trigger", "a=1&b"), 0);
    EXPECT_EQ(common()->cgi_client, ZWS_CGI_CLIENT_IFTTT);
    EXPECT_EQ(common()->args_count, 0);
    EXPECT_EQ(common()->user, "bob");
    env.set("REMOTE_USER", "");
    EXPECT_EQ(parse("/zwave/ifttt/trigger"), 22);
}

} // namespace
