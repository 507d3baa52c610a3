// The message registry: loading the protocol file, the level lists, lookup
// by name, and the rule that an interface message serves only interfaces
// of its own command class.
#include "dispatch_support.h"

#include "avi/zw_avro.h"
#include "daemon/messages/zwp_avi_interfaces.h"
#include "daemon/zwp_runtime.h"

#include <iterator>

namespace
{

using namespace dispatch_test;

zwp_avi_message_interfaces interface_message(const char *name, uint64_t command_class)
{
    zwp_avi_message_interfaces message{};
    message.avro_message_name = name;
    message.command_class = command_class;
    return message;
}

struct registry_fixture : ::testing::Test {
    zw_test::log_capture log;
};

TEST_F(registry_fixture, RegistersTheBuiltMessagesInTheNetworkList)
{
    staged_dir dir(project_avsc());
    zwp_avi_registry_t *registry = nullptr;
    ASSERT_EQ(zwp_avi_init(&registry, dir.path.c_str(), zwp_avi_messages_layer()), 0);
    zwu_array_list_t network = zwp_avi_network_list_get(registry);
    // Messages that report on the network: those that read the tree need
    // one; network_exit has no reply record. Then those that steer an
    // operation of the library and the whitelist's, all on a network with
    // its tree, with a reply record only where they hand data out.
    const struct {
        const char *name;
        uint64_t flag;
        bool result;
        bool arguments;
    } built[] = {
        {"network_exit", 0, false, false},
        {"network_info_get", 1, true, false},
        {"network_node_list_get", 1, true, false},
        {"network_node_endpoint_list_get", 1, true, false},
        {"network_operation_state_get", 0, true, false},
        {"network_summary_get", 0, true, false},
        {"network_version_get", 0, true, false},
        {"network_node_add", 1, false, true},
        {"network_node_add_on_behalf", 1, false, true},
        {"network_node_remove", 1, false, false},
        {"network_failed_node_remove", 1, false, true},
        {"network_failed_node_replace", 1, false, true},
        {"network_failed_node_replace_on_behalf", 1, false, true},
        {"network_node_update", 1, false, true},
        {"network_update", 1, false, false},
        {"network_send_NIF", 1, false, true},
        {"network_initiate", 1, false, false},
        {"network_migrate_primary", 1, false, false},
        {"network_reset", 1, false, false},
        {"network_operation_abort", 1, false, false},
        {"network_node_add_grant_key_set", 1, false, true},
        {"network_node_add_accept", 1, false, true},
        {"network_node_add_req_key_get", 1, true, false},
        {"network_node_add_dsk_get", 1, true, false},
        {"network_node_prekit_dsk_get", 1, true, false},
        {"network_initiate_local_dsk_get", 1, true, false},
        {"network_whitelist_list_get", 1, false, false},
        {"network_whitelist_list_report", 1, true, false},
        {"network_whitelist_device_info", 1, true, true},
        {"network_whitelist_add", 1, false, true},
        {"network_whitelist_remove", 1, false, true},
    };
    ASSERT_EQ(zwu_array_list_size(network), static_cast<int>(std::size(built)));
    for (const auto &b : built) {
        const char *name = b.name;
        const zwp_avi_message_networks *message = nullptr;
        ASSERT_EQ(zwp_avi_network_message_find(network, name, &message), 0) << name;
        EXPECT_STREQ(message->avro_message_name, name);
        EXPECT_EQ(message->flag, b.flag) << name;
        EXPECT_NE(message->call, nullptr);
        EXPECT_EQ(message->result_handler != nullptr, b.result) << name;
        EXPECT_EQ(message->result_free != nullptr, b.result) << name;
        EXPECT_EQ(message->argument_handler != nullptr, b.arguments) << name;
        EXPECT_EQ(message->argument_free != nullptr, b.arguments) << name;
    }
    // Root, node and endpoint messages in registration order, with the
    // slots their records need: an argument record when the request has a
    // parameter, a result record when the reply has one.
    const struct {
        zwu_array_list_t list;
        const char *name;
        bool argument;
        bool result;
    } leveled[] = {
        {zwp_avi_root_list_get(registry), "root_gateway_set", true, false},
        {zwp_avi_root_list_get(registry), "root_gateway_get", false, true},
        {zwp_avi_root_list_get(registry), "root_gateway_list", true, true},
        {zwp_avi_node_list_get(registry), "node_endpoint_list_get", false, true},
        {zwp_avi_node_list_get(registry), "node_commandqueue_enable_get", false, true},
        {zwp_avi_node_list_get(registry), "node_commandqueue_enable_set", true, true},
        {zwp_avi_node_list_get(registry), "node_commandqueue_get", false, true},
        {zwp_avi_node_list_get(registry), "node_commandqueue_cancel", false, false},
        {zwp_avi_endpoint_list_get(registry), "endpoint_interface_list_get", false, true},
        {zwp_avi_endpoint_list_get(registry), "endpoint_node_naming_name_location_set", true, false},
    };
    int index = 0;
    zwu_array_list_t previous = nullptr;
    for (const auto &l : leveled) {
        index = l.list == previous ? index + 1 : 0;
        previous = l.list;
        ASSERT_LT(index, zwu_array_list_size(l.list)) << l.name;
        auto slots_check = [&](const auto *message, bool has_call) {
            EXPECT_STREQ(message->avro_message_name, l.name);
            EXPECT_TRUE(has_call) << l.name;
            EXPECT_EQ(message->argument_handler != nullptr, l.argument) << l.name;
            EXPECT_EQ(message->argument_free != nullptr, l.argument) << l.name;
            EXPECT_EQ(message->result_handler != nullptr, l.result) << l.name;
            EXPECT_EQ(message->result_free != nullptr, l.result) << l.name;
        };
        const void *entry = zwu_array_list_get(l.list, index);
        if (l.list == zwp_avi_endpoint_list_get(registry)) {
            const auto *message = static_cast<const zwp_avi_message_endpoints *>(entry);
            slots_check(message, message->call != nullptr);
        } else {
            const auto *message = static_cast<const zwp_avi_message *>(entry);
            slots_check(message, message->call.root != nullptr);
        }
    }
    EXPECT_EQ(zwu_array_list_size(zwp_avi_root_list_get(registry)), 3);
    EXPECT_EQ(zwu_array_list_size(zwp_avi_node_list_get(registry)), 5);
    EXPECT_EQ(zwu_array_list_size(zwp_avi_endpoint_list_get(registry)), 2);
    // The interface modules built so far, module by module in the registry's order.
    const char *interface_names[] = {"interface_basic_get",
                                     "interface_basic_set",
                                     "interface_battery_get",
                                     "interface_meter_get",
                                     "interface_meter_supported_get",
                                     "interface_meter_reset",
                                     "interface_sensor_binary_get",
                                     "interface_sensor_binary_supported_get",
                                     "interface_sensor_multilevel_get",
                                     "interface_sensor_multilevel_supported_get",
                                     "interface_sensor_multilevel_scale_supported_get",
                                     "interface_switch_binary_get",
                                     "interface_switch_binary_set",
                                     "interface_switch_multilevel_get",
                                     "interface_switch_multilevel_set",
                                     "interface_switch_multilevel_level_change_get",
                                     "interface_switch_multilevel_level_change_set",
                                     "interface_switch_multilevel_supported_get",
                                     "interface_switch_color_get",
                                     "interface_switch_color_set",
                                     "interface_switch_color_level_change_get",
                                     "interface_switch_color_level_change_set",
                                     "interface_switch_color_supported_get"};
    zwu_array_list_t interfaces = zwp_avi_interface_list_get(registry);
    ASSERT_EQ(zwu_array_list_size(interfaces), static_cast<int>(std::size(interface_names)));
    for (size_t i = 0; i < std::size(interface_names); i++)
        EXPECT_STREQ(static_cast<const zwp_avi_message_interfaces *>(
                         zwu_array_list_get(interfaces, static_cast<int>(i)))->avro_message_name,
                     interface_names[i]);

    // A second start hands back the same registry.
    zwp_avi_registry_t *again = nullptr;
    EXPECT_EQ(zwp_avi_init(&again, dir.path.c_str()), 0);
    EXPECT_EQ(again, registry);
    EXPECT_TRUE(log.has("[warning] Multiple calls to singleton object\n"));
    zwp_avi_exit(registry);
}

TEST_F(registry_fixture, LookupIsByExactNameAndNamesTheLevelWhenItFails)
{
    staged_dir dir(project_avsc());
    zwp_avi_registry_t *registry = nullptr;
    ASSERT_EQ(zwp_avi_init(&registry, dir.path.c_str()), 0);
    const zwp_avi_message_networks *network = nullptr;
    const zwp_avi_message *message = nullptr;
    const zwp_avi_message_endpoints *endpoint = nullptr;
    const zwp_avi_message_interfaces *interface = nullptr;
    EXPECT_EQ(zwp_avi_network_message_find(zwp_avi_network_list_get(registry), "network_summary_ge", &network), 22);
    EXPECT_EQ(zwp_avi_network_message_find(zwp_avi_network_list_get(registry), "network_summary_get_", &network), 22);
    EXPECT_EQ(zwp_avi_root_message_find(zwp_avi_root_list_get(registry), "root_x", &message), 22);
    EXPECT_EQ(zwp_avi_node_message_find(zwp_avi_node_list_get(registry), "node_x", &message), 22);
    EXPECT_EQ(zwp_avi_endpoint_message_find(zwp_avi_endpoint_list_get(registry), "endpoint_x", &endpoint), 22);
    EXPECT_EQ(zwp_avi_interface_message_find(zwp_avi_interface_list_get(registry), "interface_x", &interface), 22);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "[error] Failed to match with supported avro messages at network level for "
                               "'network_summary_ge'\n",
                               "[error] Failed to match with supported avro messages at network level for "
                               "'network_summary_get_'\n",
                               "[error] Failed to match with supported avro messages for 'root_x'\n",
                               "[error] Failed to match with supported avro messages at node level for 'node_x'\n",
                               "[error] Failed to match with supported avro messages at endpoint level for "
                               "'endpoint_x'\n",
                               "[error] Failed to match with supported avro messages at interface level for "
                               "'interface_x'\n",
                           }));
    zwp_avi_exit(registry);
}

// Every registered message must have its records in the protocol file, or
// its replies could never be written.
TEST_F(registry_fixture, EveryRegisteredNameHasRequestAndResponseRecordsInTheProtocolFile)
{
    staged_dir dir(project_avsc());
    zwp_avi_registry_t *registry = nullptr;
    ASSERT_EQ(zwp_avi_init(&registry, dir.path.c_str(), zwp_avi_messages_layer()), 0);
    zwp_avro_schema_t *schema = zwp_avi_schema_get(registry);
    avro_schema_t messages = zwp_avro_schema_messages_get(schema);
    avro_schema_t types = zwp_avro_schema_types_get(schema);
    std::vector<std::string> names;
    for (zwu_array_list_t list :
         {zwp_avi_root_list_get(registry), zwp_avi_network_list_get(registry), zwp_avi_node_list_get(registry),
          zwp_avi_endpoint_list_get(registry), zwp_avi_interface_list_get(registry)}) {
        for (int i = 0; i < zwu_array_list_size(list); i++)
            // The name is the first member of every descriptor kind.
            names.emplace_back(*static_cast<const char *const *>(zwu_array_list_get(list, i)));
    }
    EXPECT_FALSE(names.empty());
    for (const std::string &name : names) {
        avro_schema_t entry = zw_avro_schema_record_field_get(messages, name.c_str());
        ASSERT_NE(entry, nullptr) << name;
        ASSERT_TRUE(is_avro_record(entry)) << name;
        for (const char *side : {"request", "response"}) {
            avro_schema_t record = zw_avro_schema_record_field_get(entry, side);
            ASSERT_NE(record, nullptr) << name << " " << side;
            int index = -1;
            EXPECT_NE(avro_schema_union_branch_by_name(types, &index, avro_schema_type_name(record)), nullptr)
                << name << " " << side;
        }
    }
    zwp_avi_exit(registry);
}

TEST_F(registry_fixture, ABadProtocolFileStopsStartUp)
{
    const struct {
        const char *what;
        std::string text;
        std::string line;
    } cases[] = {
        {"missing", "", "[error] Failed to open file '"},
        {"not JSON", "{\"type\": ", "[error] Failed to get schema from JSON text of file '"},
        {"no types", R"({"type":"record","name":"P","fields":[{"name":"x","type":"int"}]})",
         "[error] Failed to get the 'types' subschema: "},
        {"no Cookies",
         R"({"type":"record","name":"P","fields":[{"name":"types","type":[{"type":"record","name":"Void","fields":[]}]},)"
         R"({"name":"messages","type":{"type":"record","name":"M","fields":[]}}]})",
         "[error] Failed to get 'Cookies' schema from 'types' schema: "},
        {"no messages",
         R"({"type":"record","name":"P","fields":[{"name":"types","type":[{"type":"record","name":"Cookies",)"
         R"("fields":[{"name":"user","type":["string","null"]}]}]}]})",
         "[error] Failed to get the 'messages' subschema: "},
    };
    for (const auto &c : cases) {
        log.clear();
        staged_dir dir("", c.text);
        zwp_avi_registry_t *registry = nullptr;
        EXPECT_EQ(zwp_avi_init(&registry, dir.path.c_str()), 22) << c.what;
        EXPECT_EQ(registry, nullptr) << c.what;
        bool found = false;
        for (const std::string &line : log.lines())
            found = found || line.rfind(c.line, 0) == 0;
        EXPECT_TRUE(found) << c.what;
    }
    // A failed start leaves nothing behind: the next one loads afresh.
    staged_dir dir(project_avsc());
    zwp_avi_registry_t *registry = nullptr;
    ASSERT_EQ(zwp_avi_init(&registry, dir.path.c_str()), 0);
    zwp_avi_exit(registry);
}

// Each message's request and response types are resolved once at load, as
// the schema's own lookups find them; a message the file does not describe
// completely is left to those lookups, which report what is missing.
TEST_F(registry_fixture, MessageTypesAreResolvedAsTheSchemaDescribesThem)
{
    for (const std::string &file : {project_avsc(), fixture_avsc()}) {
        staged_dir dir(file);
        zwp_avro_schema_t *schema = nullptr;
        ASSERT_EQ(zwp_avro_schema_init(&schema, dir.path.c_str()), 0) << file;
        avro_schema_t messages = zwp_avro_schema_messages_get(schema);
        const size_t count = avro_schema_record_size(messages);
        ASSERT_GT(count, 0u);
        for (size_t i = 0; i < count; i++) {
            const char *name = avro_schema_record_field_name(messages, static_cast<int>(i));
            avro_schema_t entry = avro_schema_record_field_get_by_index(messages, static_cast<int>(i));
            const zwp_avro_message_types_t *types = zwp_avro_schema_message_types_get(schema, name);
            ASSERT_NE(types, nullptr) << name;
            EXPECT_STREQ(types->request_type,
                         avro_schema_type_name(zw_avro_schema_record_field_get(entry, "request")))
                << name;
            const char *response = avro_schema_type_name(zw_avro_schema_record_field_get(entry, "response"));
            EXPECT_STREQ(types->response_type, response) << name;
            int branch = -1;
            ASSERT_NE(avro_schema_union_branch_by_name(zwp_avro_schema_types_get(schema), &branch, response), nullptr);
            EXPECT_EQ(types->response_branch, branch) << name;
        }
        EXPECT_EQ(zwp_avro_schema_message_types_get(schema, "no_such_message"), nullptr);
        EXPECT_EQ(zwp_avro_schema_message_types_get(schema, nullptr), nullptr);
        EXPECT_EQ(zwp_avro_schema_message_types_get(nullptr, "network_version_get"), nullptr);
        zwp_avro_schema_exit(schema);
    }

    // Entries that name no record pair, or a response outside "types".
    const std::string text =
        R"({"type":"record","name":"P","fields":[{"name":"types","type":[)"
        R"({"type":"record","name":"Void","fields":[]},)"
        R"({"type":"record","name":"Cookies","fields":[{"name":"user","type":["string","null"]}]}]},)"
        R"({"name":"messages","type":{"type":"record","name":"M","fields":[)"
        R"({"name":"whole_get","type":{"type":"record","name":"A","fields":[)"
        R"({"name":"request","type":"Void"},{"name":"response","type":"Void"}]}},)"
        R"({"name":"outside_get","type":{"type":"record","name":"B","fields":[{"name":"request","type":"Void"},)"
        R"({"name":"response","type":{"type":"record","name":"Elsewhere","fields":[]}}]}},)"
        R"({"name":"no_response_get","type":{"type":"record","name":"C","fields":[)"
        R"({"name":"request","type":"Void"}]}},)"
        R"({"name":"not_a_pair_get","type":"int"}]}}]})";
    staged_dir dir("", text);
    zwp_avro_schema_t *schema = nullptr;
    ASSERT_EQ(zwp_avro_schema_init(&schema, dir.path.c_str()), 0);
    const zwp_avro_message_types_t *whole = zwp_avro_schema_message_types_get(schema, "whole_get");
    ASSERT_NE(whole, nullptr);
    EXPECT_STREQ(whole->request_type, "Void");
    EXPECT_STREQ(whole->response_type, "Void");
    EXPECT_EQ(whole->response_branch, 0);
    for (const char *name : {"outside_get", "no_response_get", "not_a_pair_get"})
        EXPECT_EQ(zwp_avro_schema_message_types_get(schema, name), nullptr) << name;
    zwp_avro_schema_exit(schema);
}

// The association messages stand for two classes with the same slots; any
// other class must not reach a module's slots, which would read another
// module's interface state.
TEST_F(registry_fixture, AnInterfaceMessageServesOnlyItsOwnCommandClass)
{
    zwu_array_list_t list = nullptr;
    ASSERT_EQ(zwu_array_list_create(0, &list), 0);
    const zwp_avi_message_interfaces association_85 = interface_message("interface_association_get", 0x85);
    const zwp_avi_message_interfaces association_8e = interface_message("interface_association_get", 0x8E);
    const zwp_avi_message_interfaces basic = interface_message("interface_basic_get", 0x20);
    for (const auto *message : {&association_85, &association_8e, &basic})
        ASSERT_EQ(zwp_avi_interface_message_register(list, message), 0);

    const zwp_avi_message_interfaces *found = nullptr;
    ASSERT_EQ(zwp_avi_interface_message_find(list, "interface_association_get", &found), 0);
    EXPECT_EQ(found, &association_85);

    const struct {
        const char *name;
        uint32_t cls;
        const zwp_avi_message_interfaces *expected;
    } cases[] = {
        {"interface_association_get", 0x85, &association_85},
        {"interface_association_get", 0x8E, &association_8e},
        {"interface_association_get", 0x20, nullptr},
        {"interface_basic_get", 0x20, &basic},
        {"interface_basic_get", 0x25, nullptr},
        {"interface_basic_get", 0x10020, nullptr},
        {"interface_basic_get", ~0u, nullptr},
    };
    for (const auto &c : cases) {
        found = nullptr;
        EXPECT_EQ(zwp_avi_interface_message_find_for_class(list, c.name, c.cls, &found), c.expected ? 0 : 22)
            << c.name << " " << c.cls;
        EXPECT_EQ(found, c.expected) << c.name << " " << c.cls;
    }
    EXPECT_TRUE(log.has("[error] Message 'interface_basic_get' does not serve an interface of command class 0x25\n"));
    zwu_array_list_destroy(list);
}

TEST_F(registry_fixture, RegistrationRefusesWhatCannotBeLookedUp)
{
    zwu_array_list_t list = nullptr;
    ASSERT_EQ(zwu_array_list_create(0, &list), 0);
    const zwp_avi_message_networks unnamed{};
    EXPECT_EQ(zwp_avi_network_message_register(list, &unnamed), 22);
    EXPECT_EQ(zwp_avi_network_message_register(list, nullptr), 22);
    EXPECT_EQ(zwu_array_list_size(list), 0);
    EXPECT_TRUE(log.has("[error] Failed to register message in the network level message list\n"));
    zwu_array_list_destroy(list);
}

} // namespace
