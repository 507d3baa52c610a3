// The requests of the root, network, node and endpoint commands: form pairs
// in, the frame trellan would send, decoded by the project's zwave.avsc, out.
// A refused request builds no frame at all.
#include "exchange_fixture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class LevelRequests : public zws_test::shared_exchange<LevelRequests> {};

constexpr char k_refused[] = "(refused)";
constexpr char k_none[] = ""; // the request record has no parameter

struct request_case {
    const char *command;
    const char *body;
    const char *message;   // the message the command and sub-command select
    const char *parameter; // the parameter as decoded, k_none, or k_refused
};

const request_case k_cases[] = {
    // Inclusion: the DSK only when given.
    {"zwnet_add", "cmd=2", "network_node_add", R"({"dsk": ""})"},
    {"zwnet_add", "cmd=2&dsk=12345-23456", "network_node_add", R"({"dsk": "12345-23456"})"},
    {"set_node_incl", "cmd=15&dsk=1", "network_node_add_on_behalf", R"({"dsk": "1"})"},
    {"zwnet_add", "cmd=3", "network_node_remove", k_none},
    {"zwnet_add", "cmd=2&dsk", "network_node_add", k_refused}, // an entry without '=' refuses the body
    // Keys and CSA: at least one, each one byte.
    {"zwnet_add_s2_set_grant_keys", "granted_keys=135&grant_csa=1", "network_node_add_grant_key_set",
     R"({"granted_keys": 135, "grant_csa": 1})"},
    {"zwnet_add_s2_set_grant_keys", "grant_csa=1", "network_node_add_grant_key_set",
     R"({"granted_keys": 0, "grant_csa": 1})"},
    {"zwnet_add_s2_set_grant_keys", "granted_keys=255", "network_node_add_grant_key_set",
     R"({"granted_keys": 255, "grant_csa": 0})"},
    {"zwnet_add_s2_set_grant_keys", "", "network_node_add_grant_key_set", k_refused},
    {"zwnet_add_s2_set_grant_keys", "granted_keys=256", "network_node_add_grant_key_set", k_refused},
    {"zwnet_add_s2_set_grant_keys", "granted_keys=1&grant_csa=x", "network_node_add_grant_key_set", k_refused},
    {"zwnet_add_s2_accept", "accept=1&value=11111-22222", "network_node_add_accept",
     R"({"accept": 1, "dsk": "11111-22222"})"},
    {"zwnet_add_s2_accept", "accept=1", "network_node_add_accept", k_refused},
    {"zwnet_add_s2_accept", "value=1&accept=1", "network_node_add_accept", k_refused}, // pairs are positional
    // Failed nodes: a combined id names the node by its low byte.
    {"zwnet_fail", "cmd=5&noded=261", "network_failed_node_remove", R"({"node_id": 5})"},
    {"set_node_fail", "cmd=5&noded=232", "network_failed_node_remove", R"({"node_id": 232})"},
    {"zwnet_fail", "cmd=5&noded=233", "network_failed_node_remove", k_refused},
    {"zwnet_fail", "cmd=5&noded=0", "network_failed_node_remove", k_refused},
    {"zwnet_fail", "cmd=5&noded=65797", "network_failed_node_remove", k_refused},      // an interface's id
    {"zwnet_fail", "cmd=5&noded=4294967298", "network_failed_node_remove", k_refused}, // never narrowed to node 2
    {"zwnet_fail", "cmd=5", "network_failed_node_remove", k_refused},
    {"zwnet_fail", "cmd=4&noded=7&dsk=abc", "network_failed_node_replace", R"({"node_id": 7, "dsk": "abc"})"},
    {"zwnet_fail", "cmd=4&noded=7", "network_failed_node_replace", R"({"node_id": 7, "dsk": ""})"},
    {"zwnet_fail", "cmd=4&dsk=abc", "network_failed_node_replace", R"({"node_id": 0, "dsk": "abc"})"},
    {"zwnet_fail", "cmd=4", "network_failed_node_replace", k_refused},
    {"zwnet_fail", "cmd=4&noded=x&dsk=abc", "network_failed_node_replace", k_refused}, // a bad id is never hidden
    {"zwnet_fail", "cmd=16&noded=7&dsk=abc", "network_failed_node_replace_on_behalf",
     R"({"node_id": 0, "dsk": ""})"}, // takes no node: the pairs after are not its own
    {"zwnet_fail", "cmd=16&dsk=abc", "network_failed_node_replace_on_behalf", R"({"node_id": 0, "dsk": "abc"})"},
    // Node update and node information frame, with and without sub-command.
    {"zwnode_update", "noded=6", "network_node_update", R"({"node_id": 6})"},
    {"node_update", "cmd=13&noded=6", "network_node_update", R"({"node_id": 6})"},
    {"zwnode_update", "", "network_node_update", k_refused},
    {"zwnet_send_nif", "noded=0", "network_send_NIF", R"({"node_id": 0, "is_broadcast": 1})"},
    {"send_nif", "cmd=14&noded=9", "network_send_NIF", R"({"node_id": 9, "is_broadcast": 0})"},
    {"zwnet_send_nif", "noded=256", "network_send_NIF", k_refused},
    // Operations without arguments.
    {"zwnet_update", "", "network_update", k_none},
    {"nw_initiate", "", "network_initiate", k_none},
    {"zwnet_migrate", "", "network_migrate_primary", k_none},
    {"zwnet_reset", "", "network_reset", k_none},
    {"set_abort_op", "", "network_operation_abort", k_none},
    {"zwnet_add_s2_get_req_keys", "", "network_node_add_req_key_get", k_none},
    {"zwnet_initiate_local_dsk_get", "", "network_initiate_local_dsk_get", k_none},
    // Whitelist.
    {"zwnet_whitelist_list_get", "", "network_whitelist_list_get", k_none},
    {"zwnet_whitelist_device_info", "dsk=1-2", "network_whitelist_device_info", R"({"dsk": "1-2"})"},
    {"zwnet_whitelist_device_info", "", "network_whitelist_device_info", k_refused},
    {"zwnet_whitelist_add", "dsk=d&granted_keys=7&name=a%20b&loc=k%26c%3Cd", "network_whitelist_add",
     R"({"dsk": "d", "granted_keys": 7, "name": "a b", "location": "k&c<d"})"},
    {"zwnet_whitelist_add", "dsk=d&loc=hall", "network_whitelist_add",
     R"({"dsk": "d", "granted_keys": 0, "name": "", "location": "hall"})"},
    {"zwnet_whitelist_add", "dsk=d&name=%", "network_whitelist_add", k_refused},
    {"zwnet_whitelist_add", "dsk=d&granted_keys=-1", "network_whitelist_add", k_refused},
    {"zwnet_whitelist_remove", "dsk=d", "network_whitelist_remove", R"({"dsk": "d"})"},
    {"zwnet_whitelist_remove", "", "network_whitelist_remove", k_refused},
    {"zwnet_whitelist_remove_all", "dsk=d", "network_whitelist_remove", R"({"dsk": ""})"}, // the whole list
    // Node and endpoint level.
    {"zwnode_cmd_q", "cmd=2&noded=5&value=1", "node_commandqueue_enable_set", R"({"state": 1})"},
    {"cmd_q", "cmd=2&noded=5", "node_commandqueue_enable_set", k_refused},
    {"zwnode_cmd_q", "cmd=2&noded=5&value=256", "node_commandqueue_enable_set", k_refused},
    {"zwnode_cmd_q", "cmd=1&noded=5", "node_commandqueue_enable_get", k_none},
    {"zwnode_cmd_q", "cmd=4&noded=5", "node_commandqueue_cancel", k_none},
    {"zwep_nameloc", "cmd=1&epd=261&name=Kitchen%20Light&loc=1st%20floor", "endpoint_node_naming_name_location_set",
     R"({"name": "Kitchen Light", "location": "1st floor"})"},
    {"naming", "cmd=1&epd=261&name=Kitchen", "endpoint_node_naming_name_location_set", k_refused},
    {"zwep_get_if_list", "epd=261", "endpoint_interface_list_get", k_none},
    // Root: gateway discovery.
    {"zw_gw_list", "discvr=1", "root_gateway_list", R"({"discovery_flag": 1})"},
    {"zw_gw_list", "", "root_gateway_list", R"({"discovery_flag": 0})"},
    {"zw_gw_list", "other=1&discvr=1", "root_gateway_list", R"({"discovery_flag": 0})"},
    {"zw_gw_list", "discvr=x", "root_gateway_list", k_refused},
    {"zw_gw_get", "", "root_gateway_get", k_none},
};

TEST_F(LevelRequests, PairsToTheDecodedParameter)
{
    zws_test::log_capture quiet;
    for (const request_case &c : k_cases) {
        SCOPED_TRACE(std::string(c.command) + "?" + c.body);
        const int parsed = ex->parse(c.command, c.body);
        if (parsed != 0) {
            // Only a body the parser refuses may stop here.
            EXPECT_EQ(c.parameter, k_refused);
            continue;
        }
        EXPECT_STREQ(ex->message_name(), c.message);
        const zws_test::exchange::request r = ex->frame();
        if (c.parameter == k_refused) {
            EXPECT_NE(r.status, 0);
            continue;
        }
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(r.name, c.message);
        EXPECT_EQ(r.parameter, c.parameter);
    }
}

// The level records the daemon finds the addressed node or endpoint by.
TEST_F(LevelRequests, CommandOfEachLevel)
{
    const struct {
        const char *command;
        const char *body;
        const char *type;
        const char *json;
    } cases[] = {
        {"zwnet_reset", "", "NetworkRequest", R"({"network": {"id": "01-02-03-04-05-06-07-08"}, "utime": 0})"},
        {"zwnode_cmd_q", "cmd=3&noded=5", "NodeRequest",
         R"({"node": {"network": {"id": "01-02-03-04-05-06-07-08"}, "id": 5}})"},
        {"zwep_nameloc", "cmd=1&epd=517&name=a&loc=b", "EndpointNameLocationSetRequest",
         R"({"endpoint": {"node": {"network": {"id": "01-02-03-04-05-06-07-08"}, "id": 5}, "id": 1}})"},
        {"zw_gw_get", "", "RootRequest", "{}"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command);
        ASSERT_EQ(ex->parse(c.command, c.body), 0);
        const zws_test::exchange::request r = ex->frame();
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(r.type, c.type);
        EXPECT_EQ(r.command, c.json);
    }
}

// A refused request carries the family's error text to the error document.
TEST_F(LevelRequests, RefusedRequestKeepsItsErrorText)
{
    zws_test::log_capture quiet;
    const struct {
        const char *command;
        const char *body;
        const char *error_text;
    } cases[] = {
        {"zwep_nameloc", "cmd=1&epd=261&name=a", "tServNaming"},
        {"zwnet_fail", "cmd=5&noded=258258", "tServRemRepFailed"},
        {"zwnode_cmd_q", "cmd=2&noded=5&value=x", "tServCmdQ"},
        {"zwnet_add_s2_set_grant_keys", "", "tServNodeAddGrantKeySetFailed"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command);
        ASSERT_EQ(ex->parse(c.command, c.body), 0);
        EXPECT_NE(ex->frame().status, 0);
        EXPECT_STREQ(ex->error_text(), c.error_text);
    }
}

} // namespace
