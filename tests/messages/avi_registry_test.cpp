#include "messages/zws_avi.h"
#include "messages/zws_avi_list.h"

#include "../service/service_fixture.h"

#include <gtest/gtest.h>

namespace {

const zws_avi_message_interfaces_t k_group_info = {{"zwif_group_info", nullptr}, 1, 0, 0, "interface_group_info_get",
                                                   nullptr, nullptr, "tServAssocGrpInfo"};
const zws_avi_message_interfaces_t k_basic_get = {{"zwif_basic", "basic"}, 2, 1, 1, "interface_basic_get", nullptr,
                                                  nullptr, "tServBasic"};
const zws_avi_message_interfaces_t k_basic_set = {{"zwif_basic", "basic"}, 4, 0, 0, "interface_basic_set", nullptr,
                                                  nullptr, "tServBasic"};
const zws_avi_message_nodes_t k_node = {{"zwnode_cmd_q", "cmd_q"}, 2, "node_command_queue_get", nullptr, nullptr,
                                        "tServCmdQ"};
const zws_avi_message_t k_root = {"zw_gw_list", "zip_gateway_list_get", nullptr, nullptr, ""};

struct lookup {
    const char *name = nullptr;
    const char *error_text = nullptr;
    int index = -1;
    const zws_avi_message_interfaces_t *message = nullptr;
};

TEST(AviRegistry, InterfaceLookupRules)
{
    zwu_array_list_t list = nullptr;
    ASSERT_EQ(zws_avi_message_list_create(&list), 0);
    zws_avi_message_list_add_message_interfaces(list, &k_group_info);
    zws_avi_message_list_add_message_interfaces(list, &k_basic_get);
    zws_avi_message_list_add_message_interfaces(list, &k_basic_set);
    const struct {
        const char *uri;
        int sub;
        int status;
        const zws_avi_message_interfaces_t *message;
        const char *error_text;
        int index;
    } cases[] = {
        {"zwif_basic", 2, 0, &k_basic_get, "tServBasic", 2},
        {"basic", 3, 0, &k_basic_get, "tServBasic", 3},   // passive
        {"zwif_basic", 1, 0, nullptr, "tServBasic", 1},   // setup: no message
        {"zwif_basic", 4, 0, &k_basic_set, "tServBasic", 4},
        {"zwif_basic", 5, 22, nullptr, "tServBasic", 0},  // set has no passive variant
        {"zwif_group_info", 1, 0, &k_group_info, "tServAssocGrpInfo", 1},
        {"zwif_group_info", 2, 22, nullptr, "tServAssocGrpInfo", 0},
        {"zwif_Basic", 2, 22, nullptr, nullptr, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.uri) + " " + std::to_string(c.sub));
        lookup l;
        l.message = &k_group_info; // must be overwritten (or left) as the rules say
        const zws_avi_message_interfaces_t *before = l.message;
        ASSERT_EQ(zws_avi_get_avi_message_interfaces_from_cgi_uri(list, c.uri, c.sub, &l.name, &l.error_text,
                                                                  &l.index, &l.message),
                  c.status);
        if (c.status == 0) {
            EXPECT_EQ(l.message, c.message);
            EXPECT_EQ(l.name, c.message ? c.message->avro_message_name : nullptr);
        } else {
            EXPECT_EQ(l.message, before);
        }
        if (c.error_text) {
            EXPECT_STREQ(l.error_text, c.error_text);
        } else {
            EXPECT_EQ(l.error_text, nullptr);
        }
        EXPECT_EQ(l.index, c.index);
    }
    zws_avi_message_list_destroy(list);
}

TEST(AviRegistry, NodeAndRootLookups)
{
    zwu_array_list_t nodes = nullptr;
    zwu_array_list_t root = nullptr;
    ASSERT_EQ(zws_avi_message_list_create(&nodes), 0);
    ASSERT_EQ(zws_avi_message_list_create(&root), 0);
    zws_avi_message_list_add_message_nodes(nodes, &k_node);
    zws_avi_message_list_add_message(root, &k_root);

    const char *name = nullptr;
    const char *error_text = nullptr;
    int index = -1;
    const zws_avi_message_nodes_t *node = nullptr;
    EXPECT_EQ(zws_avi_get_avi_message_nodes_from_cgi_uri(nodes, "cmd_q", 2, &name, &error_text, &index, &node), 0);
    EXPECT_EQ(node, &k_node);
    EXPECT_EQ(index, 2);
    index = -1;
    EXPECT_EQ(zws_avi_get_avi_message_nodes_from_cgi_uri(nodes, "cmd_q", 3, &name, &error_text, &index, &node), 22);
    EXPECT_EQ(index, 0);

    zws_test::log_capture log;
    const zws_avi_message_t *message = nullptr;
    EXPECT_EQ(zws_avi_get_avi_message_from_cgi_uri(root, "zw_gw_list", &name, &error_text, &message), 0);
    EXPECT_EQ(message, &k_root);
    EXPECT_STREQ(name, "zip_gateway_list_get");
    EXPECT_EQ(zws_avi_get_avi_message_from_cgi_uri(root, "zw_gw_lis", &name, &error_text, &message), 22);
    EXPECT_TRUE(log.contains("Failed to match with supported avro messages for 'zw_gw_lis'"));
    zws_avi_message_list_destroy(nodes);
    zws_avi_message_list_destroy(root);
}

TEST(AviRegistry, SingletonWithEmptyListsAndRebuildAfterExit)
{
    zws_test::stage_install("messages");
    zws_test::log_capture log;
    zws_avi_t first = nullptr;
    zws_avi_t second = nullptr;
    ASSERT_EQ(zws_avi_init(&first), 0);
    ASSERT_EQ(zws_avi_init(&second), 0);
    EXPECT_EQ(first, second);
    EXPECT_TRUE(log.contains("Multiple calls to singleton object"));
    EXPECT_NE(zws_avi_get_avro(first), nullptr);
    EXPECT_EQ(zwu_array_list_size(zws_avi_get_message_list_ifttt(first)), 0);
    zws_avi_exit(first);
    ASSERT_EQ(zws_avi_init(&second), 0);
    zws_avi_exit(second);
}

// The network rows registered at start-up, found by name, alias and
// sub-command as the web interface sends them.
TEST(AviRegistry, RegisteredNetworkRows)
{
    zws_test::stage_install("messages-rows");
    zws_avi_t avi = nullptr;
    ASSERT_EQ(zws_avi_init(&avi), 0);
    const struct {
        const char *uri;
        int sub;
        int status;
        const char *message;
    } cases[] = {
        {"zw_info", -1, 0, "network_summary_get"},
        {"zw_version", -1, 0, "network_version_get"},
        {"version", -1, 0, "network_version_get"},
        {"zw_version", 2, 22, nullptr}, // takes no sub-command
        {"Version", -1, 22, nullptr},
        {"zw_inf", -1, 22, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.uri) + " " + std::to_string(c.sub));
        const char *name = nullptr;
        const char *error_text = "unset";
        const zws_avi_message_networks_t *message = nullptr;
        EXPECT_EQ(zws_avi_get_avi_message_networks_from_cgi_uri(zws_avi_get_message_list_networks(avi), c.uri, c.sub,
                                                                 &name, &error_text, &message),
                  c.status);
        if (c.status == 0) {
            EXPECT_STREQ(name, c.message);
            EXPECT_STREQ(error_text, ""); // these messages have no error text
            EXPECT_EQ(message->argument_handler, nullptr);
            EXPECT_NE(message->result_handler, nullptr);
        }
    }
    zws_avi_exit(avi);
}

TEST(AviRegistry, MissingProtocolFailsStartUp)
{
    zws_test::env_guard env;
    env.set("VANTOR_INSTALL_PATH", "/nonexistent/bin");
    zws_test::log_capture log;
    zws_avi_t avi = nullptr;
    // The default path /opt/install/... does not exist on a build machine.
    if (access("/opt/install/corvale/etc/zwave.avsc", F_OK) == 0)
        GTEST_SKIP();
    EXPECT_EQ(zws_avi_init(&avi), 22);
}

} // namespace
