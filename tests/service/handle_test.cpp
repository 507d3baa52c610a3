// Whole requests after the accept: parsing, the Avro frame, the exchange with
// a stand-in daemon on the real socket, the reply and the XML answer.
#include "service/zws_networks.h"
#include "messages/zws_avi_list.h"
#include "util/zws_xml.h"

#include "peer_fixture.h"
#include "service_fixture.h"

#include <avro.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

using zws_test::stand_in_daemon;

int test_arguments(zws_key_value_t *args, int count, avro_value_t *parameter)
{
    int value = 0;
    const char *name = "";
    for (int i = 0; i < count; i++) {
        if (std::strcmp(args[i].key, "value") == 0)
            value = std::atoi(args[i].value);
        if (std::strcmp(args[i].key, "name") == 0)
            name = args[i].value;
    }
    return zw_avro_field_set_int(parameter, "value", value) || zw_avro_field_set_string(parameter, "name", name);
}

int write_test(int version, avro_value_t *parameter, zwu_string_buffer_t out)
{
    int32_t value = 0;
    char *name = nullptr;
    if (zw_avro_field_get_int(parameter, "value", &value) || zw_avro_field_get_string(parameter, "name", &name))
        return 22;
    const zws_xml_field_t fields[] = {{"value", zws_xml_int(value)}, {"name", zws_xml_text(name)}};
    const int status = zws_xml_render(out, version == 1 ? "<test_old value=\"{value:u8}\" name=\"{name:uri}\"/>"
                                                        : "<test value=\"{value:u8}\" name=\"{name:uri}\"/>",
                                      fields, 2);
    zw_avro_field_free_string(name);
    return status;
}

int write_test_level(int version, unsigned long, avro_value_t *parameter, zwu_string_buffer_t out)
{
    return write_test(version, parameter, out);
}

const zws_avi_message_interfaces_t k_if_test = {{"zwif_test", "test"}, 2, 1, 1, "interface_test_get",
                                                test_arguments, write_test_level, "tServTest"};
const zws_avi_message_nodes_t k_node_test = {{"zwnode_test", nullptr}, -1, "node_test_get", nullptr,
                                             write_test_level, "tServNode"};
const zws_avi_message_networks_t k_net_test = {{"zwnet_test", nullptr}, -1, "network_test_get", nullptr, write_test,
                                               ""};
const zws_avi_message_networks_t k_scene_test = {{"zwnet_scene_test", nullptr}, -1, "scene_test_get", nullptr,
                                                 write_test, ""};

// The daemon's side of the protocol, with the Avro library directly.
struct avro_peer {
    avro_schema_t protocol = nullptr;
    avro_schema_t types = nullptr;
    avro_value_iface_t *types_iface = nullptr;
    avro_value_iface_t *cookies_iface = nullptr;

    avro_peer()
    {
        std::ifstream file(zws_test::source_dir() + "/tests/service/fixtures/test.avsc");
        std::stringstream text;
        text << file.rdbuf();
        const std::string json = text.str();
        EXPECT_EQ(avro_schema_from_json_length(json.data(), json.size(), &protocol), 0);
        types = avro_schema_record_field_get(protocol, "types");
        types_iface = avro_generic_class_from_schema(types);
        int index;
        cookies_iface = avro_generic_class_from_schema(avro_schema_union_branch_by_name(types, &index, "Cookies"));
    }
    ~avro_peer()
    {
        avro_value_iface_decref(cookies_iface);
        avro_value_iface_decref(types_iface);
        avro_schema_decref(protocol);
    }

    struct request {
        bool decoded = false;
        std::string user; // "(null)" without one
        std::string name;
        std::string type;
        int node = -1, endpoint = -1, interface = -1, passive = -1, value = -1;
        std::string net_id;
        std::string parameter_name;
        size_t frame_size = 0;
        uint32_t prefix = 0;
    };

    request decode(const std::string &frame)
    {
        request r;
        if (frame.size() < 4)
            return r;
        r.frame_size = frame.size();
        r.prefix = stand_in_daemon::frame_length(frame);
        avro_reader_t reader = avro_reader_memory(frame.data() + 4, static_cast<int64_t>(frame.size() - 4));
        avro_value_t cookies, name, value;
        avro_generic_value_new(cookies_iface, &cookies);
        avro_generic_string_new(&name, "");
        avro_generic_value_new(types_iface, &value);
        if (avro_value_read(reader, &cookies) == 0 && avro_value_read(reader, &name) == 0 &&
            avro_value_read(reader, &value) == 0) {
            r.decoded = true;
            avro_value_t user, branch;
            avro_value_get_by_name(&cookies, "user", &user, nullptr);
            int discriminant = -1;
            avro_value_get_discriminant(&user, &discriminant);
            avro_value_get_current_branch(&user, &branch);
            const char *text = nullptr;
            size_t size = 0;
            r.user = discriminant == 0 && avro_value_get_string(&branch, &text, &size) == 0 ? text : "(null)";
            avro_value_get_string(&name, &text, &size);
            r.name = text;
            avro_value_t argument, command, level;
            avro_value_get_current_branch(&value, &argument);
            r.type = avro_schema_type_name(avro_value_get_schema(&argument));
            if (avro_value_get_by_name(&argument, "command", &command, nullptr) == 0) {
                if (avro_value_get_by_name(&command, "interface", &level, nullptr) == 0) {
                    avro_value_t ep, node, net, passive;
                    avro_value_get_by_name(&level, "endpoint", &ep, nullptr);
                    avro_value_get_by_name(&ep, "node", &node, nullptr);
                    avro_value_get_by_name(&node, "network", &net, nullptr);
                    zw_avro_field_get_int(&level, "id", &r.interface);
                    zw_avro_field_get_int(&ep, "id", &r.endpoint);
                    zw_avro_field_get_int(&node, "id", &r.node);
                    char *id = nullptr;
                    zw_avro_field_get_string(&net, "id", &id);
                    r.net_id = id ? id : "";
                    zw_avro_field_free_string(id);
                    zw_avro_field_get_boolean(&command, "passive", &r.passive);
                    avro_value_get_by_name(&command, "passive", &passive, nullptr);
                }
                if (avro_value_get_by_name(&command, "network", &level, nullptr) == 0) {
                    char *id = nullptr;
                    zw_avro_field_get_string(&level, "id", &id);
                    r.net_id = id ? id : "";
                    zw_avro_field_free_string(id);
                }
            }
            avro_value_t parameter;
            if (avro_value_get_by_name(&argument, "parameter", &parameter, nullptr) == 0) {
                zw_avro_field_get_int(&parameter, "value", &r.value);
                char *parameter_name = nullptr;
                if (zw_avro_field_get_string(&parameter, "name", &parameter_name) == 0)
                    r.parameter_name = parameter_name;
                zw_avro_field_free_string(parameter_name);
            }
        }
        avro_value_decref(&value);
        avro_value_decref(&name);
        avro_value_decref(&cookies);
        avro_reader_free(reader);
        return r;
    }

    // A reply of `type` with parameter {value, name}; for network replies
    // command.network.id and command.utime.
    std::string reply(const char *type, int value, const char *name, const char *net_id = "AA-BB", int64_t utime = 0)
    {
        avro_value_t reply_value, branch, command, parameter, network;
        avro_generic_value_new(types_iface, &reply_value);
        int index = -1;
        avro_schema_union_branch_by_name(types, &index, type);
        avro_value_set_branch(&reply_value, index, &branch);
        if (avro_value_get_by_name(&branch, "parameter", &parameter, nullptr) == 0) {
            zw_avro_field_set_int(&parameter, "value", value);
            zw_avro_field_set_string(&parameter, "name", name);
        }
        if (avro_value_get_by_name(&branch, "command", &command, nullptr) == 0 &&
            avro_value_get_by_name(&command, "network", &network, nullptr) == 0) {
            zw_avro_field_set_string(&network, "id", net_id);
            zw_avro_field_set_long(&command, "utime", utime);
        }
        char buffer[4096];
        avro_writer_t writer = avro_writer_memory(buffer, sizeof buffer);
        avro_value_write(writer, &reply_value);
        const std::string payload(buffer, static_cast<size_t>(avro_writer_tell(writer)));
        avro_writer_free(writer);
        avro_value_decref(&reply_value);
        return stand_in_daemon::frame(payload);
    }
};

class Handle : public ::testing::Test {
  protected:
    static trellan_t *trellan;

    static void SetUpTestSuite()
    {
        zws_test::stage_install("handle");
        ASSERT_EQ(zws_networks_init(&trellan), 0);
        zws_avi_message_list_add_message_interfaces(zws_avi_get_message_list_interfaces(trellan->avi), &k_if_test);
        zws_avi_message_list_add_message_nodes(zws_avi_get_message_list_nodes(trellan->avi), &k_node_test);
        zws_avi_message_list_add_message_networks(zws_avi_get_message_list_networks(trellan->avi), &k_net_test);
        zws_avi_message_list_add_message_networks(zws_avi_get_message_list_networks(trellan->avi), &k_scene_test);
        trellan->portal_receive_timeout = 2;
    }
    static void TearDownTestSuite() { zws_networks_exit(trellan); }

    void SetUp() override
    {
        env.set("CONTEXT_PREFIX", "/zwave");
        env.unset("HTTP_COOKIE");
        env.set("REMOTE_USER", "bob");
    }

    std::string answer(const std::string &uri, const std::string &body = "")
    {
        zws_test::string_io io;
        io.set_input(body);
        env.set("REQUEST_URI", uri);
        zws_cgi_answer_request(trellan);
        return io.out;
    }

    static void expect_xml(const std::string &answer)
    {
        EXPECT_EQ(answer.rfind("Content-Type: text/plain\n\n", 0), 0u) << answer;
        EXPECT_TRUE(zws_test::xml_well_formed(zws_test::answer_body(answer))) << answer;
    }

    zws_test::env_guard env;
    avro_peer peer;
};
trellan_t *Handle::trellan = nullptr;

const char k_empty_error[] = "Content-Type: text/plain\n\n<?xml version=\"1.0\"?><zwave><error></error></zwave>";

TEST_F(Handle, UnknownCommandGivesTheEmptyErrorDocument)
{
    const std::string out = answer("/zwave/networks/01/no_such_command");
    EXPECT_EQ(out, k_empty_error);
    expect_xml(out);
    EXPECT_EQ(answer("/zwave/elsewhere/01/x"), k_empty_error);
}

TEST_F(Handle, NoUserGivesTheBare403)
{
    env.unset("REMOTE_USER");
    EXPECT_EQ(answer("/zwave/networks/01/zwif_test", "cmd=2"), "Status: 403 Forbidden\n\n");
    env.set("REMOTE_USER", "");
    EXPECT_EQ(answer("/zwave/networks/01/zwif_test", "cmd=2"), "Status: 403 Forbidden\n\n");
    // Without a command the no-command answer holds: the empty error document.
    EXPECT_EQ(answer("/zwave/networks"), k_empty_error);
}

TEST_F(Handle, MatchedMessageWithoutDaemonCarriesItsErrorText)
{
    const std::string out = answer("/zwave/networks/01/zwif_test", "cmd=2&ifd=65794");
    EXPECT_EQ(out, "Content-Type: text/plain\n\n<?xml version=\"1.0\"?><zwave><error>tServTest[2]</error></zwave>");
}

TEST_F(Handle, InterfaceGetRoundTrip)
{
    avro_peer::request seen;
    stand_in_daemon daemon([&](int fd) {
        seen = peer.decode(stand_in_daemon::read_frame(fd));
        stand_in_daemon::send_all(fd, peer.reply("InterfaceTestResponse", 0x107, "x y<&>\""));
    });
    const std::string out = answer("/zwave/networks/01-02/zwif_test", "cmd=2&ifd=65794&value=5");
    ASSERT_TRUE(seen.decoded);
    EXPECT_EQ(seen.user, "bob");
    EXPECT_EQ(seen.name, "interface_test_get");
    EXPECT_EQ(seen.type, "InterfaceTestRequest");
    EXPECT_EQ(seen.net_id, "01-02");
    EXPECT_EQ(seen.node, 2);
    EXPECT_EQ(seen.endpoint, 0);
    EXPECT_EQ(seen.interface, 1);
    EXPECT_EQ(seen.passive, 0);
    EXPECT_EQ(seen.value, 5);
    EXPECT_EQ(out, "Content-Type: text/plain\n\n<?xml version=\"1.0\"?><zwave>"
                   "<intf desc=\"65794\" deprecated=\"1\"><test_old value=\"7\" name=\"x%20y&lt;%26&gt;%22\"/></intf>"
                   "<zwif desc=\"65794\"><test value=\"7\" name=\"x%20y&lt;%26&gt;%22\"/></zwif></zwave>");
    expect_xml(out);
}

TEST_F(Handle, LargeRequestFrameIsWrittenWhole)
{
    avro_peer::request seen;
    stand_in_daemon daemon([&](int fd) {
        seen = peer.decode(stand_in_daemon::read_frame(fd));
        stand_in_daemon::send_all(fd, peer.reply("InterfaceTestResponse", 1, "n"));
    });
    const std::string name(1000, 'n'); // several enlargements of the 256-byte frame buffer
    const std::string out = answer("/zwave/networks/01/zwif_test", "cmd=2&ifd=1&value=3&name=" + name);
    ASSERT_TRUE(seen.decoded);
    EXPECT_EQ(seen.parameter_name, name);
    EXPECT_GT(seen.frame_size, 1000u);
    EXPECT_EQ(seen.prefix + 4, seen.frame_size); // the prefix is the exact Avro length
    expect_xml(out);
}

TEST_F(Handle, PassiveVariantSetsPassive)
{
    avro_peer::request seen;
    stand_in_daemon daemon([&](int fd) {
        seen = peer.decode(stand_in_daemon::read_frame(fd));
        stand_in_daemon::send_all(fd, peer.reply("InterfaceTestResponse", 1, "n"));
    });
    const std::string out = answer("/zwave/networks/01/test", "cmd=3");
    EXPECT_EQ(seen.passive, 1);
    // No combined id: all ones, sent and written as they are.
    EXPECT_EQ(seen.node, 255);
    EXPECT_EQ(seen.endpoint, 254);
    EXPECT_EQ(seen.interface, 65535);
    EXPECT_NE(out.find("<zwif desc=\"18446744073709551615\">"), std::string::npos) << out;
    expect_xml(out);
}

TEST_F(Handle, SetupVariantMakesNoConnection)
{
    stand_in_daemon daemon([](int) {});
    EXPECT_EQ(answer("/zwave/networks/01/zwif_test", "cmd=1&ifd=2"), "Content-Type: text/plain\n\n");
    EXPECT_EQ(daemon.accepted(), 0);
}

TEST_F(Handle, NetworkFrameCarriesTheDaemonsIdAndTime)
{
    avro_peer::request seen;
    stand_in_daemon daemon([&](int fd) {
        seen = peer.decode(stand_in_daemon::read_frame(fd));
        stand_in_daemon::send_all(fd, peer.reply("NetworkTestResponse", 3, "n", "AA-BB", 1700000000));
    });
    const std::string out = answer("/zwave/networks/01-02/zwnet_test");
    EXPECT_EQ(seen.net_id, "01-02");
    EXPECT_EQ(out, "Content-Type: text/plain\n\n<?xml version=\"1.0\"?><zwave>"
                   "<test_old value=\"3\" name=\"n\"/><zwnet utime=\"1700000000\" id=\"AA-BB\">"
                   "<test value=\"3\" name=\"n\"/></zwnet></zwave>");
    expect_xml(out);
}

TEST_F(Handle, VoidSceneReplyGivesAnEmptyDocument)
{
    stand_in_daemon daemon([&](int fd) {
        stand_in_daemon::read_frame(fd);
        stand_in_daemon::send_all(fd, peer.reply("Void", 0, ""));
    });
    const std::string out = answer("/zwave/networks/01/zwnet_scene_test");
    EXPECT_EQ(out, "Content-Type: text/plain\n\n<?xml version=\"1.0\"?><zwave></zwave>");
    expect_xml(out);
}

TEST_F(Handle, DaemonClosingWithoutReplyOrCuttingItFails)
{
    {
        stand_in_daemon daemon([](int fd) { stand_in_daemon::read_frame(fd); });
        EXPECT_EQ(answer("/zwave/networks/01/zwif_test", "cmd=2&ifd=1"),
                  "Content-Type: text/plain\n\n<?xml version=\"1.0\"?><zwave><error>tServTest[2]</error></zwave>");
    }
    {
        stand_in_daemon daemon([&](int fd) {
            stand_in_daemon::read_frame(fd);
            const std::string whole = peer.reply("InterfaceTestResponse", 1, "long name");
            stand_in_daemon::send_all(fd, whole.substr(0, whole.size() - 3));
        });
        EXPECT_EQ(answer("/zwave/networks/01/zwif_test", "cmd=2&ifd=1"),
                  "Content-Type: text/plain\n\n<?xml version=\"1.0\"?><zwave><error>tServTest[2]</error></zwave>");
    }
}

TEST_F(Handle, NodeLevelFrames)
{
    stand_in_daemon daemon([&](int fd) {
        stand_in_daemon::read_frame(fd);
        stand_in_daemon::send_all(fd, peer.reply("NodeTestResponse", 9, "n"));
    });
    const std::string out = answer("/zwave/networks/01/zwnode_test", "noded=2");
    EXPECT_EQ(out, "Content-Type: text/plain\n\n<?xml version=\"1.0\"?><zwave>"
                   "<node desc=\"2\" deprecated=\"1\"><test_old value=\"9\" name=\"n\"/></node>"
                   "<zwnode desc=\"2\"><test value=\"9\" name=\"n\"/></zwnode></zwave>");
}

TEST_F(Handle, IftttGetsAnEmptyAnswerAndNoConnection)
{
    stand_in_daemon daemon([](int) {});
    EXPECT_EQ(answer("/zwave/ifttt/trigger", "x=1"), "");
    EXPECT_EQ(daemon.accepted(), 0);
    env.unset("REMOTE_USER");
    EXPECT_EQ(answer("/zwave/ifttt/trigger"), k_empty_error);
}

TEST_F(Handle, SecondInitHandsBackTheSameObject)
{
    zws_test::log_capture log;
    trellan_t *again = nullptr;
    ASSERT_EQ(zws_networks_init(&again), 0);
    EXPECT_EQ(again, trellan);
    EXPECT_TRUE(log.contains("Multiple calls to singleton object"));
}

} // namespace
