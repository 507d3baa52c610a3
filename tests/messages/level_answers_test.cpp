// The answers of the root, network, node and endpoint commands: a reply
// written by the protocol's schema, read by trellan into XML, checked
// against the expected text and by xmllint. Network and level answers carry
// the older form (with deprecated="1" where it has one) before the current
// one.
#include "exchange_fixture.h"
#include "messages/zws_avi_root.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct answer_case {
    const char *what;
    const char *command; // path after the network id
    const char *body;
    const char *response_type;
    const char *reply; // JSON of the response record
    const char *xml;   // the result inside the document; null: the reading fails
};

constexpr char k_net[] = R"("command": {"network": {"id": "AA-BB"}, "utime": 1700000000})";
constexpr char k_node5[] = R"("command": {"node": {"network": {"id": "AA-BB"}, "id": 5}})";
constexpr char k_ep261[] =
    R"("command": {"endpoint": {"node": {"network": {"id": "AA-BB"}, "id": 5}, "id": 0}})";
constexpr char k_root[] = R"("command": {})";

std::string reply(const char *command, const std::string &parameter)
{
    return "{" + std::string(command) + (parameter.empty() ? "" : ", \"parameter\": " + parameter) + "}";
}

void run_cases(zws_test::exchange &ex, const answer_case *cases, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        const answer_case &c = cases[i];
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(zws_test::expect_answer(ex, c.command, c.body, c.response_type, c.reply, c.xml));
    }
}

TEST(LevelAnswers, NetworkNodeEndpointAndRootAnswers)
{
    zws_test::exchange ex(zws_test::source_dir() + "/avi/zwave.avsc");
    const std::string gateway_v6 =
        R"({"gateway_name": {"string": "gw one&<x>"}, "gateway_address": [253,0,0,0,0,0,0,0,0,0,0,0,0,0,0,1],
            "address_type": 0, "unsolicited_port_number": 70001, "gateway_status": 257})";
    const std::string gateway_v4 =
        R"({"gateway_name": null, "gateway_address": [192,168,1,20,0,0,0,0,0,0,0,0,0,0,0,0],
            "address_type": 1, "unsolicited_port_number": 4123, "gateway_status": 0})";
    const std::string gateway_bad_type =
        R"({"gateway_name": null, "gateway_address": [192,168,1,20,0,0,0,0,0,0,0,0,0,0,0,0],
            "address_type": 2, "unsolicited_port_number": 4123, "gateway_status": 0})";
    const std::string list_entries =
        R"([{"gateway_address": [10,0,0,7,0,0,0,0,0,0,0,0,0,0,0,0], "gateway_name": {"string": "zip gw"},
             "address_type": 1, "unsolicited_port_number": 41231, "gateway_flag": 3},
            {"gateway_address": [253,0,0,0,0,0,0,0,0,0,0,0,0,0,0,2], "gateway_name": null,
             "address_type": 0, "unsolicited_port_number": 0, "gateway_flag": 4}])";
    const std::string list_bad =
        R"([{"gateway_address": [10,0,0,7,0,0,0,0,0,0,0,0,0,0,0,0], "gateway_name": null,
             "address_type": 1, "unsolicited_port_number": 1, "gateway_flag": 2},
            {"gateway_address": [10,0,0,8,0,0,0,0,0,0,0,0,0,0,0,0], "gateway_name": null,
             "address_type": 7, "unsolicited_port_number": 1, "gateway_flag": 2}])";
    const std::string s[] = {
        reply(k_net, R"({"dsk": "1<2"})"),
        reply(k_net, R"({"req_keys": 135, "req_csa": 0, "csa_pin": "ignored"})"),
        reply(k_net, R"({"req_keys": 391, "req_csa": 1, "csa_pin": "12-34"})"),
        reply(k_net, R"({"pin_required": 1, "dsk": "-23456-34567"})"),
        reply(k_net, R"({"local_dsk": "11111-22222"})"),
        reply(k_net, R"({"whitelist_list": ["d1", "d&2"]})"),
        reply(k_net, R"({"whitelist_list": []})"),
        reply(k_net, R"({"dsk": "d1", "granted_keys": 391, "name": "a b&<c>", "loc": "hall"})"),
        reply(k_net, ""),
        reply(k_node5, R"({"state": 1})"),
        reply(k_node5, R"({"commandqueue_list": [37, 38]})"),
        reply(k_node5, R"({"commandqueue_list": []})"),
        reply(k_node5,
              R"({"endpoint_list": [{"id": 1, "generic_device_class": 16, "specific_device_class": 1,
                  "name": "Kitchen Light", "location": "1st <floor>", "zwave_plus_version": 2,
                  "zwave_plus_role_type": 5, "zwave_plus_node_type": 0, "zwave_plus_installer_icon_type": 1792,
                  "zwave_plus_user_icon_type": 65537, "aggregated_ep_cnt": 2, "aggregated_ep_list": [2, 3]},
                 {"id": 0, "generic_device_class": 16, "specific_device_class": 1, "name": "", "location": "",
                  "zwave_plus_version": 0, "zwave_plus_role_type": 0, "zwave_plus_node_type": 0,
                  "zwave_plus_installer_icon_type": 0, "zwave_plus_user_icon_type": 0, "aggregated_ep_cnt": 0,
                  "aggregated_ep_list": []}]})"),
        reply(k_ep261,
              R"({"interface_list": [{"id": 37, "name": "COMMAND_CLASS_SWITCH_BINARY", "version": 2,
                  "real_version": 2, "secure_access": 1, "unsecure_access": 1},
                 {"id": 32, "name": "a\"b", "version": 1, "real_version": 1, "secure_access": 0,
                  "unsecure_access": 1}]})"),
        reply(k_root, gateway_v6),
        reply(k_root, gateway_v4),
        reply(k_root, gateway_bad_type),
        reply(k_root, R"({"discovery_state": 258, "received_reports": 300, "total_reports": 4, "gateway_list": )" +
                          list_entries + "}"),
        reply(k_root, R"({"discovery_state": 0, "received_reports": 0, "total_reports": 0, "gateway_list": []})"),
        reply(k_root, R"({"discovery_state": 1, "received_reports": 1, "total_reports": 2, "gateway_list": )" +
                          list_bad + "}"),
    };
    const answer_case cases[] = {
        {"pre-kit DSK: current form only", "zwnet_add_prekit_get_dsk", "", "NetworkNodePrekitDskGetResponse",
         s[0].c_str(), "<zwnet utime=\"1700000000\" id=\"AA-BB\"><prekit_dsk dsk=\"1&lt;2\" /></zwnet>"},
        {"requested keys without CSA", "zwnet_add_s2_get_req_keys", "", "NetworkNodeAddReqKeyGetResponse",
         s[1].c_str(),
         "<security req_key=\"135\" /><zwnet utime=\"1700000000\" id=\"AA-BB\"><security req_key=\"135\" /></zwnet>"},
        {"requested keys with the CSA PIN", "zwnet_add_s2_get_req_keys", "", "NetworkNodeAddReqKeyGetResponse",
         s[2].c_str(),
         "<security req_key=\"135\" csa_pin=\"12-34\" /><zwnet utime=\"1700000000\" id=\"AA-BB\">"
         "<security req_key=\"135\" csa_pin=\"12-34\" /></zwnet>"},
        {"DSK to confirm", "zwnet_add_s2_get_dsk", "", "NetworkNodeAddDskGetResponse", s[3].c_str(),
         "<security pin_required=\"1\" dsk=\"-23456-34567\" /><zwnet utime=\"1700000000\" id=\"AA-BB\">"
         "<security pin_required=\"1\" dsk=\"-23456-34567\" /></zwnet>"},
        {"local DSK", "zwnet_initiate_local_dsk_get", "", "NetworkInitiateLocalDskGetResponse", s[4].c_str(),
         "<security local_node_dsk=\"11111-22222\" /><zwnet utime=\"1700000000\" id=\"AA-BB\">"
         "<security local_node_dsk=\"11111-22222\" /></zwnet>"},
        {"whitelist", "zwnet_whitelist_list_report", "", "NetworkWhitelistListReportResponse", s[5].c_str(),
         "<zwnet utime=\"1700000000\" id=\"AA-BB\"><whitelist_list  dsk_list=\"d1,d&amp;2,\" /></zwnet>"},
        {"empty whitelist", "zwnet_whitelist_list_report", "", "NetworkWhitelistListReportResponse", s[6].c_str(),
         "<zwnet utime=\"1700000000\" id=\"AA-BB\"><whitelist_list  dsk_list=\"\" /></zwnet>"},
        {"whitelist device", "zwnet_whitelist_device_info", "dsk=d1", "NetworkWhitelistDeviceInfoResponse",
         s[7].c_str(),
         "<zwnet utime=\"1700000000\" id=\"AA-BB\"><whitelist_info dsk=\"d1\" granted_keys=\"391\""
         " name=\"a%20b%26&lt;c&gt;\" loc=\"hall\" /></zwnet>"},
        {"operation without answer record", "zwnet_reset", "", "NetworkResponse", s[8].c_str(), ""},
        {"command queue state, set and get alike", "zwnode_cmd_q", "cmd=2&noded=5&value=1",
         "NodeCommandQueueEnableResponse", s[9].c_str(),
         "<node desc=\"5\" deprecated=\"1\"><ena_cmd_q state=\"1\" /></node>"
         "<zwnode desc=\"5\"><cmd_q_ena state=\"1\" /></zwnode>"},
        {"command queue", "zwnode_cmd_q", "cmd=3&noded=5", "NodeCommandQueueGetResponse", s[10].c_str(),
         "<node desc=\"5\" deprecated=\"1\"><cmd_q list=\"37,38,\" /></node>"
         "<zwnode desc=\"5\"><cmd_q list=\"37,38,\" /></zwnode>"},
        {"empty command queue", "zwnode_cmd_q", "cmd=3&noded=5", "NodeCommandQueueGetResponse", s[11].c_str(),
         "<node desc=\"5\" deprecated=\"1\"><cmd_q list=\"\" /></node><zwnode desc=\"5\"><cmd_q list=\"\" /></zwnode>"},
        {"endpoints of node 5: endpoint 1 is 517", "zwnode_get_ep_list", "noded=5", "NodeEndpointListResponse",
         s[12].c_str(),
         "<node desc=\"5\" deprecated=\"1\">"
         "<ep desc=\"517\" id=\"1\" generic=\"16\" specific=\"1\" name=\"Kitchen%20Light\" loc=\"1st%20&lt;floor&gt;\""
         " zwplus_ver=\"2\" role_type=\"5\" node_type=\"0\" instr_icon=\"1792\" usr_icon=\"1\""
         " aggregated_ep_list=\"2,3,\" />"
         "<ep desc=\"261\" id=\"0\" generic=\"16\" specific=\"1\" name=\"\" loc=\"\" zwplus_ver=\"0\" role_type=\"0\""
         " node_type=\"0\" instr_icon=\"0\" usr_icon=\"0\" aggregated_ep_list=\"\" /></node>"
         "<zwnode desc=\"5\">"
         "<zwep desc=\"517\" id=\"1\" generic=\"16\" specific=\"1\" name=\"Kitchen%20Light\""
         " loc=\"1st%20&lt;floor&gt;\" zwplus_ver=\"2\" role_type=\"5\" node_type=\"0\" instr_icon=\"1792\""
         " usr_icon=\"1\" aggregated_ep_list=\"2,3,\" />"
         "<zwep desc=\"261\" id=\"0\" generic=\"16\" specific=\"1\" name=\"\" loc=\"\" zwplus_ver=\"0\""
         " role_type=\"0\" node_type=\"0\" instr_icon=\"0\" usr_icon=\"0\" aggregated_ep_list=\"\" /></zwnode>"},
        {"interfaces of endpoint 261: 0x25 is 0x250105", "zwep_get_if_list", "epd=261", "EndpointInterfaceListResponse",
         s[13].c_str(),
         "<ep desc=\"261\" deprecated=\"1\">"
         "<intf desc=\"2425093\" id=\"37\" name=\"COMMAND_CLASS_SWITCH_BINARY\" ver=\"2\" real_ver=\"2\" sec=\"1\""
         " unsec=\"1\" />"
         "<intf desc=\"2097413\" id=\"32\" name=\"a&quot;b\" ver=\"1\" real_ver=\"1\" sec=\"0\" unsec=\"1\" /></ep>"
         "<zwep desc=\"261\">"
         "<zwif desc=\"2425093\" id=\"37\" name=\"COMMAND_CLASS_SWITCH_BINARY\" ver=\"2\" real_ver=\"2\" sec=\"1\""
         " unsec=\"1\" />"
         "<zwif desc=\"2097413\" id=\"32\" name=\"a&quot;b\" ver=\"1\" real_ver=\"1\" sec=\"0\" unsec=\"1\" /></zwep>"},
        {"gateway in use, IPv6 with a name", "zw_gw_get", "", "RootGatewayGetResponse", s[14].c_str(),
         "<gw_status status=\"1\" name=\"gw%20one%26&lt;x&gt;\" addr=\"fd00::1\" unsol_rpt_port=\"4465\" />"},
        {"gateway in use, IPv4 without a name", "zw_gw_get", "", "RootGatewayGetResponse", s[15].c_str(),
         "<gw_status status=\"0\" name=\"\" addr=\"192.168.1.20\" unsol_rpt_port=\"4123\" />"},
        {"gateway of an unknown address type", "zw_gw_get", "", "RootGatewayGetResponse", s[16].c_str(), nullptr},
        {"gateway list", "zw_gw_list", "", "RootGatewayListResponse", s[17].c_str(),
         "<gw_discvr_status state=\"2\" report_recvd=\"300\" total_reports=\"4\" />"
         "<gw name=\"zip%20gw\" addr=\"10.0.0.7\"  unsol_rpt_port=\"41231\" flag=\"3\" />"
         "<gw name=\"\" addr=\"fd00::2\"  unsol_rpt_port=\"0\" flag=\"4\" />"},
        {"empty gateway list", "zw_gw_list", "discvr=1", "RootGatewayListResponse", s[18].c_str(),
         "<gw_discvr_status state=\"0\" report_recvd=\"0\" total_reports=\"0\" />"},
        {"one bad gateway fails the whole list", "zw_gw_list", "", "RootGatewayListResponse", s[19].c_str(),
         nullptr},
    };
    run_cases(ex, cases, sizeof cases / sizeof cases[0]);
}

// The network information answers, on the records they were written
// against: the older form first, marked deprecated, then the current one.
// One process reads reply after reply: a long list, a short one, a reply of
// another type and the long list again each give their own answer alone
// (nothing of an earlier reply is left in a later one).
TEST(LevelAnswers, RepliesInTurnKeepNothingOfTheOnesBefore)
{
    zws_test::exchange ex(zws_test::source_dir() + "/avi/zwave.avsc");
    std::string many = "[";
    std::string many_xml;
    for (int i = 0; i < 1000; i++) { // about 6 KB of reply, more than is kept
        many += (i ? ", \"" : "\"") + std::to_string(10000 + i) + "\"";
        many_xml += std::to_string(10000 + i) + ",";
    }
    many += "]";
    const std::string long_list = reply(k_net, R"({"whitelist_list": )" + many + "}");
    const std::string short_list = reply(k_net, R"({"whitelist_list": ["d1"]})");
    const std::string dsk = reply(k_net, R"({"local_dsk": "11111-22222"})");
    const std::string long_xml =
        "<zwnet utime=\"1700000000\" id=\"AA-BB\"><whitelist_list  dsk_list=\"" + many_xml + "\" /></zwnet>";
    const answer_case cases[] = {
        {"long list", "zwnet_whitelist_list_report", "", "NetworkWhitelistListReportResponse", long_list.c_str(),
         long_xml.c_str()},
        {"short list", "zwnet_whitelist_list_report", "", "NetworkWhitelistListReportResponse", short_list.c_str(),
         "<zwnet utime=\"1700000000\" id=\"AA-BB\"><whitelist_list  dsk_list=\"d1,\" /></zwnet>"},
        {"short list again", "zwnet_whitelist_list_report", "", "NetworkWhitelistListReportResponse",
         short_list.c_str(),
         "<zwnet utime=\"1700000000\" id=\"AA-BB\"><whitelist_list  dsk_list=\"d1,\" /></zwnet>"},
        {"another type", "zwnet_initiate_local_dsk_get", "", "NetworkInitiateLocalDskGetResponse", dsk.c_str(),
         "<security local_node_dsk=\"11111-22222\" /><zwnet utime=\"1700000000\" id=\"AA-BB\">"
         "<security local_node_dsk=\"11111-22222\" /></zwnet>"},
        {"long list again", "zwnet_whitelist_list_report", "", "NetworkWhitelistListReportResponse", long_list.c_str(),
         long_xml.c_str()},
    };
    run_cases(ex, cases, sizeof cases / sizeof cases[0]);
}

TEST(LevelAnswers, NetworkInformationAnswers)
{
    zws_test::exchange ex(zws_test::source_dir() + "/tests/messages/fixtures/network_info.avsc");
    const std::string node_without_ext =
        R"({"id": 7, "property": 131, "vendor_id": 134, "product_id": 65539, "product_type": 258, "category": 1,
            "alive": 3, "secure": 1, "zwave_library_type": 3, "zwave_protocol_version": 1030,
            "application_version": 513, "FLiRS": 0, "sleep_capable": 1, "wake_up_interval": 4294967295,
            "s2_keys_valid": 1, "s2_grant_key": 135, "s2_dsk": "12345-<6>",
            "external_version_info": {"is_external_supported": 0}})";
    const std::string node_with_ext =
        R"({"id": 1, "property": 0, "vendor_id": 0, "product_id": 0, "product_type": 0, "category": 0,
            "alive": 5, "secure": 0, "zwave_library_type": 7, "zwave_protocol_version": 1793,
            "application_version": 0, "FLiRS": 1, "sleep_capable": 0, "wake_up_interval": 0,
            "s2_keys_valid": 0, "s2_grant_key": 0, "s2_dsk": "",
            "external_version_info": {"is_external_supported": 1, "hardware_version": 2,
              "target_version_info_array": [{"version": 1, "sub_version": 3}, {"version": 4, "sub_version": 5}]}})";
    const std::string s[] = {
        reply(k_net, R"({"utime": 1700000001, "home_id": 3237998081, "controller_node_id": 1, "controller_role": 20,
                         "controller_capability": 258, "controller_zwave_role": 3})"),
        reply(k_net, "{\"node_list\": [" + node_without_ext + ", " + node_with_ext + "]}"),
        reply(k_net, R"({"node_list": []})"),
        reply(k_net, R"({"node_endpoint_list": [{"id": 0, "node": {"id": 7}}, {"id": 2, "node": {"id": 9}}]})"),
        reply(k_net, R"({"current_operation": 0, "current_operation_status": -1, "current_operation_total_nodes": 300,
                         "current_operation_completed_nodes": 2, "previous_operation": 2})"),
    };
    const std::string node7 =
        " desc=\"7\" id=\"7\" property=\"131\" vid=\"134\" pid=\"3\" type=\"258\" category=\"1\" alive=\"3\" sec=\"1\""
        " sec_incl_failed=\"0\" lib_type=\"3\" proto_ver=\"4.06\" app_ver=\"2\" app_sub_ver=\"1\" sensor=\"0\""
        " sleep_cap=\"1\" wkup_intv=\"4294967295\" s2_keys_valid=\"1\" s2_grant_key=\"135\" s2_dsk=\"12345-&lt;6&gt;\" >";
    const std::string node1 =
        " desc=\"1\" id=\"1\" property=\"0\" vid=\"0\" pid=\"0\" type=\"0\" category=\"0\" alive=\"5\" sec=\"0\""
        " sec_incl_failed=\"0\" lib_type=\"7\" proto_ver=\"7.01\" app_ver=\"0\" app_sub_ver=\"0\" sensor=\"1\""
        " sleep_cap=\"0\" wkup_intv=\"0\" s2_keys_valid=\"0\" s2_grant_key=\"0\" s2_dsk=\"\" >"
        "<zwnode_ext_ver hw_ver=\"2\"><zwnode_fw target=\"1\" ver=\"1\" sub_ver=\"3\" />"
        "<zwnode_fw target=\"2\" ver=\"4\" sub_ver=\"5\" /></zwnode_ext_ver>";
    const std::string nodes = "<node" + node7 + "</node><node" + node1 + "</node>"
                              "<zwnet utime=\"1700000000\" id=\"AA-BB\"><zwnode" + node7 + "</zwnode><zwnode" +
                              node1 + "</zwnode></zwnet>";
    const answer_case cases[] = {
        {"network information", "zwnet_get_desc", "", "NetworkInfoGetResponse", s[0].c_str(),
         "<net utime=\"1700000001\" home=\"C0FFEE01\" local=\"1\" role=\"20\" capability=\"2\" zw_role=\"3\""
         " deprecated=\"1\" />"
         "<zwnet utime=\"1700000001\" home=\"C0FFEE01\" local=\"1\" role=\"20\" capability=\"2\" zw_role=\"3\" />"},
        {"node list", "zwnet_get_node_list", "", "NetworkNodeListGetResponse", s[1].c_str(), nodes.c_str()},
        {"empty node list", "get_node_list", "", "NetworkNodeListGetResponse", s[2].c_str(),
         "<zwnet utime=\"1700000000\" id=\"AA-BB\"></zwnet>"},
        {"node endpoints: endpoint 0 of node 7 is 263", "zwnet_get_node_ep_list", "",
         "NetworkNodeEndpointListGetResponse", s[3].c_str(),
         "<node_ep desc=\"263\" node_id=\"7\" ep_id=\"0\" /><node_ep desc=\"777\" node_id=\"9\" ep_id=\"2\" />"
         "<zwnet utime=\"1700000000\" id=\"AA-BB\"><zwnode_zwep desc=\"263\" node_id=\"7\" ep_id=\"0\" />"
         "<zwnode_zwep desc=\"777\" node_id=\"9\" ep_id=\"2\" /></zwnet>"},
        {"operation state after a failed inclusion", "get_curr_op", "", "NetworkOperationStateGetResponse",
         s[4].c_str(),
         "<curr_op op=\"0\" op_sts=\"-1\" op_total_nodes=\"300\" op_cmplt_nodes=\"2\" prev_op=\"2\" deprecated=\"1\" />"
         "<zwnet utime=\"1700000000\" id=\"AA-BB\"><operation op=\"0\" op_sts=\"-1\" op_total_nodes=\"300\""
         " op_cmplt_nodes=\"2\" prev_op=\"2\" /></zwnet>"},
    };
    run_cases(ex, cases, sizeof cases / sizeof cases[0]);
}

// The gateway set builds its request by hand: the address by its text, the
// port within 16 bits and the key, when one is given, as a key or not at all.
TEST(LevelAnswers, GatewaySetRequests)
{
    zws_test::exchange ex(zws_test::source_dir() + "/avi/zwave.avsc");
    const std::string key64(64, 'a');
    const struct {
        std::string body;
        bool sent;
        int address_type;
        uint8_t address[16];
        int port;
        const char *key; // null: the null branch
    } cases[] = {
        {"zip_gw_name=fd00%3A%3A1&unsol_rpt_port=4123", true, 0, {0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
         4123, nullptr},
        {"zip_gw_name=192.168.1.20&unsol_rpt_port=41231&key=0a1B", true, 1, {192, 168, 1, 20}, 41231, "0a1B"},
        {"zip_gw_name=192.168.1.20&unsol_rpt_port=65535&key=" + key64, true, 1, {192, 168, 1, 20}, 65535,
         key64.c_str()},
        {"zip_gw_name=10.0.0.1&unsol_rpt_port=0&other=1", true, 1, {10, 0, 0, 1}, 0, nullptr},
        {"zip_gw_name=10.0.0.1&unsol_rpt_port=1&key=ab&x=y", true, 1, {10, 0, 0, 1}, 1, "ab"},
        {"zip_gw_name=10.0.0.1&unsol_rpt_port=70000", false, 0, {}, 0, nullptr},
        {"zip_gw_name=10.0.0.1&unsol_rpt_port=-1", false, 0, {}, 0, nullptr},
        {"zip_gw_name=10.0.0.1", false, 0, {}, 0, nullptr},
        {"unsol_rpt_port=4123&zip_gw_name=10.0.0.1", false, 0, {}, 0, nullptr},
        {"zip_gw_name=gateway.local&unsol_rpt_port=4123", false, 0, {}, 0, nullptr},
        {"zip_gw_name=10.0.0.1%&unsol_rpt_port=4123", false, 0, {}, 0, nullptr},
        {"zip_gw_name=10.0.0.1&unsol_rpt_port=4123&key=", false, 0, {}, 0, nullptr},
        {"zip_gw_name=10.0.0.1&unsol_rpt_port=4123&key=abc", false, 0, {}, 0, nullptr},
        {"zip_gw_name=10.0.0.1&unsol_rpt_port=4123&key=" + key64 + "ab", false, 0, {}, 0, nullptr},
        {"zip_gw_name=10.0.0.1&unsol_rpt_port=4123&key=zz", false, 0, {}, 0, nullptr},
    };
    zws_test::log_capture quiet;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.body);
        ASSERT_EQ(ex.parse("zw_gw_set", c.body), 0);
        EXPECT_STREQ(ex.message_name(), "root_gateway_set");
        const zws_test::exchange::request r = ex.frame();
        if (!c.sent) {
            EXPECT_NE(r.status, 0);
            continue;
        }
        ASSERT_EQ(r.status, 0);
        std::string hex;
        for (uint8_t byte : c.address) {
            char two[3];
            std::snprintf(two, sizeof two, "%02x", byte);
            hex += two;
        }
        EXPECT_EQ(r.fixed_hex, hex);
        const std::string key = c.key ? "{\"string\": \"" + std::string(c.key) + "\"}" : "null";
        const size_t rest = r.parameter.find(", \"address_type\"");
        ASSERT_NE(rest, std::string::npos) << r.parameter;
        EXPECT_EQ(r.parameter.substr(rest), ", \"address_type\": " + std::to_string(c.address_type) +
                                                ", \"unsolicited_port_number\": " + std::to_string(c.port) +
                                                ", \"preshared_key\": " + key + "}");
    }
}

// An address field of another size (a peer with another protocol file)
// fails the whole gateway list.
TEST(LevelAnswers, GatewayListRefusesAnAddressOfAnotherSize)
{
    zws_test::avro_schema_file schema(R"({"type": "record", "name": "GatewayListReport", "fields": [
        {"name": "discovery_state", "type": "int"}, {"name": "received_reports", "type": "int"},
        {"name": "total_reports", "type": "int"},
        {"name": "gateway_list", "type": {"type": "array", "items": {"type": "record", "name": "GatewayListEntry",
          "fields": [{"name": "gateway_address", "type": {"type": "fixed", "name": "Wide", "size": 18}},
                     {"name": "gateway_name", "type": ["string", "null"]}, {"name": "address_type", "type": "int"},
                     {"name": "unsolicited_port_number", "type": "int"}, {"name": "gateway_flag", "type": "int"}]}}}]})",
                                      true);
    zws_test::avro_record record(schema.schema());
    zws_test::fill(record.get(), R"({"discovery_state": 0, "received_reports": 0, "total_reports": 0,
        "gateway_list": [{"gateway_address": [10,0,0,7,0,0,0,0,0,0,0,0,0,0,0,0,0,0], "gateway_name": null,
                          "address_type": 1, "unsolicited_port_number": 1, "gateway_flag": 2}]})");
    zws_test::text_buffer out;
    zwu_string_buffer_append_string(out.b, "<kept/>");
    zws_test::log_capture quiet;
    EXPECT_EQ(zws_avi_root_gateway_list_result(2, record.get(), out.b), 22);
    EXPECT_EQ(out.text(), "<kept/>");
}

} // namespace
