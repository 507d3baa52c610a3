// The summary and version answers from reply records shaped as the daemon
// writes them, with the install's version files and the request's
// environment.
#include "messages/zws_avi_networks.h"
#include "service/zws_cgi.h"

#include "avro_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace {

class NetworkInfo : public ::testing::Test {
  protected:
    zws_test::avro_schema_file protocol{zws_test::source_dir() + "/tests/messages/fixtures/network_info.avsc"};
    zws_test::env_guard env;
    std::string install;

    void SetUp() override
    {
        install = zws_test::stage_install("network-info");
        zws_test::write_file(install + "/VERSION", "BUILD=7\r\nMAJOR=2\r\nMINOR=13\r\nMAJOR=9\r\n");
        const char *uis[][2] = {{"eng", "e1\r\nx"}, {"stb", "s2\n"}, {"pc", "p3"}, {"phone", "h<4>"}};
        for (const auto &ui : uis)
            zws_test::write_file(install + "/install/corvale/htdocs/ui/" + ui[0] + "/VERSION", ui[1]);
        env.set("VANTOR_USER_NAME", "al ice&<x>");
        env.set("SERVER_ADDR", "192.168.1.2");
        env.set("REMOTE_ADDR", "192.168.1.9");
    }

    static void set_api_version(avro_value_t *record, int major, int minor)
    {
        avro_value_t version;
        avro_value_get_by_name(record, "host_controller_api_version", &version, nullptr);
        zw_avro_field_set_int(&version, "major", major);
        zw_avro_field_set_int(&version, "minor", minor);
    }

    // A summary record; `address` null gives the null branch.
    void fill_summary(avro_value_t *summary, const uint8_t *address, int address_type, int64_t home_id = 0xC0FFEE01)
    {
        zw_avro_field_set_string(summary, "vendor_name", "Tessaly");
        zw_avro_field_set_string(summary, "product_name", "Vantor and Vantor Apps");
        zw_avro_field_set_string(summary, "server_platform", "linux");
        zw_avro_field_set_int(summary, "is_initialized", address ? 1 : 0);
        set_api_version(summary, 1, 2);
        avro_value_t initialized, branch;
        avro_value_get_by_name(summary, "summary_initialized", &initialized, nullptr);
        if (!address) {
            avro_value_set_branch(&initialized, 1, &branch);
            avro_value_set_null(&branch);
            return;
        }
        avro_value_set_branch(&initialized, 0, &branch);
        zw_avro_field_set_long(&branch, "home_id", home_id);
        zw_avro_field_set_int(&branch, "controller_node_id", 1);
        zw_avro_field_set_string(&branch, "network_id", "01-02-03-04-05-06-07-08");
        zw_avro_field_set_fixed(&branch, "gateway_address", address, 16);
        zw_avro_field_set_int(&branch, "address_type", address_type);
    }

    std::string summary(const uint8_t *address, int address_type, int *status_p = nullptr, int version = 2)
    {
        zws_test::avro_record record(protocol.types(), "Summary");
        fill_summary(record.get(), address, address_type);
        zws_test::text_buffer out;
        const int status = zws_avi_networks_summary_get_result(version, record.get(), out.b);
        if (status_p)
            *status_p = status;
        return out.text();
    }

    static std::string expected_summary(const std::string &init, const std::string &home, const std::string &ctlr,
                                        const std::string &id, const std::string &gateway)
    {
        return "<zw_info vname=\"Tessaly\" pname=\"Vantor%20and%20Vantor%20Apps\" spltform=\"linux\""
               " uname=\"al%20ice%26&lt;x&gt;\" init=\"" + init + "\" home_id=\"" + home + "\" ctlr_id=\"" + ctlr +
               "\" portalcid=\"" + id + "\" zipgw=\"" + gateway +
               "\" server_ip=\"192.168.1.2\" client_ip=\"192.168.1.9\" >"
               "<version name=\"zw_ctl\" value=\"1.02\" />"
               "<version name=\"zw_appl\" value=\"2.13\" />"
               "<version name=\"zw_webapi\" value=\"1.19\" />"
               "<version name=\"zw_ui_engineering\" value=\"e1\" />"
               "<version name=\"zw_ui_stb\" value=\"s2\" />"
               "<version name=\"zw_ui_pc\" value=\"p3\" />"
               "<version name=\"zw_ui_phone\" value=\"h&lt;4&gt;\" />"
               "</zw_info>";
    }
};

TEST_F(NetworkInfo, SummaryOfAnInitialisedNetwork)
{
    const uint8_t first_four[16] = {10, 0, 0, 7};
    const uint8_t mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 0, 0, 7};
    const uint8_t ipv6[16] = {0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const struct {
        const uint8_t *address;
        int type;
        const char *text;
    } cases[] = {
        {first_four, 1, "10.0.0.7"},
        {mapped, 1, "10.0.0.7"}, // the same gateway, whichever IPv4 form the daemon sends
        {ipv6, 0, "fd00::1"},
        {mapped, 0, "::ffff:10.0.0.7"},
    };
    for (const auto &c : cases) {
        int status = -1;
        const std::string text = summary(c.address, c.type, &status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(text, expected_summary("1", "C0FFEE01", "1", "01-02-03-04-05-06-07-08", c.text));
        EXPECT_TRUE(zws_test::xml_well_formed(text)) << text;
    }
}

TEST_F(NetworkInfo, SummaryBeforeInitialisationAndWithoutEnvironment)
{
    env.unset("VANTOR_USER_NAME");
    env.unset("SERVER_ADDR");
    env.unset("REMOTE_ADDR");
    const std::string text = summary(nullptr, 0);
    std::string expected = expected_summary("0", "00000000", "0", "", "");
    expected.replace(expected.find("al%20ice%26&lt;x&gt;"), std::strlen("al%20ice%26&lt;x&gt;"), "");
    expected.replace(expected.find("192.168.1.2"), 11, "");
    expected.replace(expected.find("192.168.1.9"), 11, "");
    EXPECT_EQ(text, expected);
    // The older form writes nothing.
    EXPECT_EQ(summary(nullptr, 0, nullptr, 1), "");
}

TEST_F(NetworkInfo, SummaryFailures)
{
    zws_test::log_capture quiet;
    const uint8_t address[16] = {10, 0, 0, 7};
    int status = 0;
    EXPECT_EQ(summary(address, 2, &status), ""); // unknown address type
    EXPECT_EQ(status, 22);
    env.set("VANTOR_INSTALL_PATH", install + "/no-such-dir");
    EXPECT_EQ(summary(address, 1, &status), "");
    EXPECT_EQ(status, 22);
    // A record without the fields the answer needs.
    zws_test::avro_record version(protocol.types(), "Version");
    zws_test::text_buffer out;
    EXPECT_EQ(zws_avi_networks_summary_get_result(2, version.get(), out.b), 22);
    EXPECT_TRUE(quiet.contains("Failed to get the field 'is_initialized'") ||
                quiet.contains("is_initialized"));
}

TEST_F(NetworkInfo, Version)
{
    zws_test::avro_record record(protocol.types(), "Version");
    zw_avro_field_set_string(record.get(), "server_platform", "linux");
    set_api_version(record.get(), 1, 0x10A); // written as its low 8 bits
    zws_test::text_buffer out;
    ASSERT_EQ(zws_avi_networks_version_get_result(1, record.get(), out.b), 0);
    EXPECT_EQ(out.text(), "");
    ASSERT_EQ(zws_avi_networks_version_get_result(2, record.get(), out.b), 0);
    EXPECT_EQ(out.text(), "<version platform=\"linux\" app_major=\"2\" app_minor=\"13\" ctl_major=\"1\" "
                          "ctl_minor=\"10\" />");

    // A version file changed or removed under the running process shows
    // within about a second (the file is looked at once a second at most).
    const auto answer_within = [&](const std::string &expected) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        std::string text;
        do {
            zws_test::text_buffer again;
            EXPECT_EQ(zws_avi_networks_version_get_result(2, record.get(), again.b), 0);
            text = again.text();
            if (text == expected)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } while (std::chrono::steady_clock::now() < deadline);
        EXPECT_EQ(text, expected);
    };
    zws_test::write_file(install + "/VERSION", "MAJOR=3\nMINOR=1\n");
    answer_within("<version platform=\"linux\" app_major=\"3\" app_minor=\"1\" ctl_major=\"1\" ctl_minor=\"10\" />");
    // Without a VERSION file the application version is empty.
    std::remove((install + "/VERSION").c_str());
    zws_test::log_capture quiet;
    answer_within("<version platform=\"linux\" app_major=\"\" app_minor=\"\" ctl_major=\"1\" ctl_minor=\"10\" />");
}

} // namespace

namespace {

// The daemon's reply bytes through the service layer's decoder with the
// shared protocol file: a whole reply gives the bare summary document; every
// cut or corrupted copy is refused or decoded, never read past its end.
TEST(NetworkInfoReply, ReplyBytesFromTheDaemonAreUntrusted)
{
    zws_test::env_guard env;
    zws_test::stage_install("network-info-reply", zws_test::source_dir() + "/avi/zwave.avsc");
    env.set("VANTOR_USER_NAME", "bob");
    env.set("SERVER_ADDR", "10.0.0.1");
    env.set("REMOTE_ADDR", "10.0.0.2");
    zws_avi_t avi = nullptr;
    ASSERT_EQ(zws_avi_init(&avi), 0);
    const char *name = nullptr;
    const char *error_text = nullptr;
    const zws_avi_message_networks_t *message = nullptr;
    ASSERT_EQ(zws_avi_get_avi_message_networks_from_cgi_uri(zws_avi_get_message_list_networks(avi), "zw_info", -1,
                                                             &name, &error_text, &message),
              0);

    // The reply as kestrund writes it.
    zw_avro_t avro = zws_avi_get_avro(avi);
    avro_value_t reply, branch, command, network, parameter, version, initialized, summary_branch;
    ASSERT_EQ(avro_generic_value_new(zw_avro_get_types_iface(avro), &reply), 0);
    int index = -1;
    ASSERT_NE(avro_schema_union_branch_by_name(zw_avro_get_types_schema(avro), &index, "NetworkSummaryResponse"),
              nullptr);
    avro_value_set_branch(&reply, index, &branch);
    avro_value_get_by_name(&branch, "command", &command, nullptr);
    avro_value_get_by_name(&command, "network", &network, nullptr);
    zw_avro_field_set_string(&network, "id", "01-02-03-04-05-06-07-08");
    zw_avro_field_set_long(&command, "utime", 1700000000);
    avro_value_get_by_name(&branch, "parameter", &parameter, nullptr);
    zw_avro_field_set_string(&parameter, "vendor_name", "Tessaly");
    zw_avro_field_set_string(&parameter, "product_name", "P");
    zw_avro_field_set_string(&parameter, "server_platform", "linux");
    zw_avro_field_set_int(&parameter, "is_initialized", 1);
    avro_value_get_by_name(&parameter, "host_controller_api_version", &version, nullptr);
    zw_avro_field_set_int(&version, "major", 7);
    zw_avro_field_set_int(&version, "minor", 38);
    avro_value_get_by_name(&parameter, "summary_initialized", &initialized, nullptr);
    avro_value_set_branch(&initialized, 0, &summary_branch);
    zw_avro_field_set_long(&summary_branch, "home_id", 0xDEADBEEF);
    zw_avro_field_set_int(&summary_branch, "controller_node_id", 1);
    zw_avro_field_set_string(&summary_branch, "network_id", "01-02-03-04-05-06-07-08");
    const uint8_t address[16] = {192, 168, 0, 4};
    zw_avro_field_set_fixed(&summary_branch, "gateway_address", address, 16);
    zw_avro_field_set_int(&summary_branch, "address_type", 1);
    char payload[1024];
    avro_writer_t writer = avro_writer_memory(payload, sizeof payload);
    ASSERT_EQ(avro_value_write(writer, &reply), 0);
    const size_t payload_size = static_cast<size_t>(avro_writer_tell(writer));
    avro_writer_free(writer);
    avro_value_decref(&reply);
    std::string frame(4, '\0');
    frame[2] = static_cast<char>(payload_size >> 8);
    frame[3] = static_cast<char>(payload_size & 0xFF);
    frame.append(payload, payload_size);

    zws_service_common_t common;
    common.avi = avi;
    common.command_level = ZWS_CGI_COMMAND_LEVEL_NETWORKS;
    common.avi_message = message;
    common.message_name = name;
    zws_service_networks_t networks;
    networks.service_common = &common;
    zws_service_t service;
    service.command_type = ZWS_CGI_COMMAND_TYPE_NETWORKS;
    service.service_next = &networks;
    service.service_common = &common;
    auto decode = [&](const std::string &bytes, std::string *text) {
        networks.net_id = "from-uri";
        const int status =
            zws_cgi_set_cgi_service_result_from_rpc_response(&service, bytes.data(), static_cast<int>(bytes.size()));
        if (text)
            *text = common.result ? zwu_string_buffer_get_string(common.result) : "";
        if (common.result)
            zwu_string_buffer_destroy(common.result);
        common.result = nullptr;
        return status;
    };

    std::string text;
    ASSERT_EQ(decode(frame, &text), 0);
    EXPECT_EQ(text.rfind("<zw_info vname=\"Tessaly\" pname=\"P\" spltform=\"linux\" uname=\"bob\" init=\"1\""
                         " home_id=\"DEADBEEF\" ctlr_id=\"1\" portalcid=\"01-02-03-04-05-06-07-08\""
                         " zipgw=\"192.168.0.4\" server_ip=\"10.0.0.1\" client_ip=\"10.0.0.2\" >"
                         "<version name=\"zw_ctl\" value=\"7.38\" />",
                         0),
              0u)
        << text; // bare: no zwnet element around the summary
    EXPECT_TRUE(zws_test::xml_well_formed(text));
    EXPECT_EQ(networks.net_id, "01-02-03-04-05-06-07-08"); // the daemon's id replaces the URI's

    zws_test::log_capture quiet;
    for (size_t cut = 0; cut < frame.size(); cut++)
        EXPECT_EQ(decode(frame.substr(0, cut), nullptr), 22) << "cut at " << cut;
    for (size_t at = 0; at < frame.size(); at++) {
        for (unsigned char flip : {0x01, 0x80, 0xFF}) {
            std::string corrupted = frame;
            corrupted[at] = static_cast<char>(corrupted[at] ^ flip);
            std::string corrupted_text;
            if (decode(corrupted, &corrupted_text) == 0 && !corrupted_text.empty()) {
                EXPECT_TRUE(zws_test::xml_well_formed(corrupted_text)) << "byte " << at << " ^ " << int(flip);
            }
        }
    }
    zws_avi_exit(avi);
}

} // namespace
