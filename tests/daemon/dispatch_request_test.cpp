// Request decoding, level dispatch, execution and reply writing, with test
// descriptors on a protocol fixture and a network record double.
#include "dispatch_support.h"

#include "daemon/zwp_runtime.h"

namespace
{

using namespace dispatch_test;
using steady = std::chrono::steady_clock;

// What the test descriptors saw.
struct seen_t {
    std::vector<std::string> calls;
    std::string user = "<unset>";
    int argument = -1;
    const void *target = nullptr;
    bool net_null = false;
    uint32_t hcapi_status = 0;
    int hcapi_result = 0;
    int report_polls = 0;
    int report_ready_after = -1; // report_wait answers 0 from this poll on
    size_t reply_text = 5;
};
seen_t seen;

int argument_read(avro_value_t *parameter, void **arguments)
{
    avro_value_t value;
    int32_t number = 0;
    if (avro_value_get_by_name(parameter, "value", &value, nullptr) != 0 || avro_value_get_int(&value, &number) != 0)
        return 22;
    if (number < 0)
        return 22;
    *arguments = new int(number);
    seen.argument = number;
    return 0;
}
void argument_free(void *arguments) { delete static_cast<int *>(arguments); }

int results_make(void **results)
{
    *results = new std::string(seen.reply_text, 'x');
    return 0;
}
int result_write(void *results, avro_value_t *parameter)
{
    avro_value_t text;
    if (!results || avro_value_get_by_name(parameter, "text", &text, nullptr) != 0)
        return 22;
    return avro_value_set_string(&text, static_cast<std::string *>(results)->c_str());
}
void result_free(void *results) { delete static_cast<std::string *>(results); }

int root_call(zwp_net_list_t *, const char *user, void *, void **results, const zwp_avi_message *)
{
    seen.calls.push_back("root");
    seen.user = user ? user : "<null>";
    return results_make(results);
}
int network_call(zwp_net_t *net, void *, void **results)
{
    seen.calls.push_back("network");
    seen.net_null = net == nullptr;
    return results_make(results);
}
int network_call_without_results(zwp_net_t *net, void *, void **)
{
    seen.calls.push_back("network");
    seen.net_null = net == nullptr;
    return 0;
}
int node_call(const zwnode_desc_t *node, void *, void **results)
{
    seen.calls.push_back("node");
    seen.target = node;
    return results_make(results);
}
int endpoint_call(const zwep_desc_t *ep, void *, void **results)
{
    seen.calls.push_back("endpoint");
    seen.target = ep;
    return results_make(results);
}
int hcapi_call(const zwif_desc_t *intf, void *, uint32_t *status)
{
    seen.calls.push_back("hcapi");
    seen.target = intf;
    *status = seen.hcapi_status;
    return seen.hcapi_result;
}
int report_wait(const zwif_desc_t *, void *)
{
    const int poll = seen.report_polls++;
    if (seen.report_ready_after >= 0 && poll >= seen.report_ready_after)
        return 0;
    return 1;
}
int result_get(const zwif_desc_t *, void *, void **results)
{
    seen.calls.push_back("result_get");
    return results_make(results);
}

const zwp_avi_message root_messages[] = {
    {"root_test_get", argument_read, argument_free, {.root = root_call}, result_write, result_free},
};
const zwp_avi_message_networks network_messages[] = {
    {"network_test_get", argument_read, argument_free, network_call, 0, result_write, result_free},
    {"network_test_tree", argument_read, argument_free, network_call, 1, result_write, result_free},
    {"scene_test_get", argument_read, argument_free, network_call, 1, result_write, result_free},
    {"security_scene_test_get", argument_read, argument_free, network_call, 1, result_write, result_free},
    {"network_exit", nullptr, nullptr, network_call_without_results, 0, nullptr, nullptr},
    {"network_void_get", nullptr, nullptr, network_call_without_results, 0, nullptr, nullptr},
};
const zwp_avi_message node_messages[] = {
    {"node_test_get", argument_read, argument_free, {.node = node_call}, result_write, result_free},
};
const zwp_avi_message_endpoints endpoint_messages[] = {
    {"endpoint_test_get", argument_read, argument_free, endpoint_call, result_write, result_free},
};
const zwp_avi_message_interfaces interface_messages[] = {
    {"interface_test_get", 0x25, nullptr, nullptr, nullptr, argument_read, argument_free, report_wait, hcapi_call,
     result_get, result_write, result_free},
    {"interface_test_set", 0x25, nullptr, nullptr, nullptr, argument_read, argument_free, nullptr, hcapi_call, nullptr,
     nullptr, nullptr},
    {"interface_association_test_get", 0x85, nullptr, nullptr, nullptr, argument_read, argument_free, nullptr,
     hcapi_call, result_get, result_write, result_free},
    {"interface_association_test_get", 0x8E, nullptr, nullptr, nullptr, argument_read, argument_free, nullptr,
     hcapi_call, result_get, result_write, result_free},
};

struct apr_environment : ::testing::Environment {
    void SetUp() override { ASSERT_EQ(zwu_apr_init(0, nullptr), 0); }
    void TearDown() override { zwu_apr_exit(); }
};
const auto *const apr_env = ::testing::AddGlobalTestEnvironment(new apr_environment);

struct outcome {
    int read = -1;
    int executed = -1;
    int written = -1;
    std::vector<uint8_t> reply;
    std::string name;
    uint32_t kind = 99, level = 99, node = 0, endpoint = 0, interface = 0, passive = 9;
    std::string network_id;
};

struct request_fixture : ::testing::Test {
    zw_test::log_capture log;
    staged_dir dir{fixture_avsc()};
    peer client{fixture_avsc()};
    zwp_avi_registry_t *registry = nullptr;
    zwp_net_list_t *net_list = nullptr;
    zwp_net_config_t config{};

    void SetUp() override
    {
        seen = seen_t{};
        ASSERT_EQ(zwp_avi_init(&registry, dir.path.c_str()), 0);
        for (const auto &m : root_messages)
            ASSERT_EQ(zwp_avi_root_message_register(zwp_avi_root_list_get(registry), &m), 0);
        // The test doubles come before the daemon's own network messages of
        // the same name (network_exit), so that lookups find them.
        int at = 0;
        for (const auto &m : network_messages)
            ASSERT_EQ(zwu_array_list_add_at_index(zwp_avi_network_list_get(registry), &m, at++), 0);
        for (const auto &m : node_messages)
            ASSERT_EQ(zwp_avi_node_message_register(zwp_avi_node_list_get(registry), &m), 0);
        for (const auto &m : endpoint_messages)
            ASSERT_EQ(zwp_avi_endpoint_message_register(zwp_avi_endpoint_list_get(registry), &m), 0);
        for (const auto &m : interface_messages)
            ASSERT_EQ(zwp_avi_interface_message_register(zwp_avi_interface_list_get(registry), &m), 0);
        config.report_wait_timeout = 11;
        ASSERT_EQ(zwp_net_list_init(&net_list, &config, registry), 0);
    }
    void TearDown() override
    {
        zwp_net_list_exit(net_list);
        zwp_avi_exit(registry);
    }

    outcome run_frame(const std::vector<uint8_t> &frame)
    {
        outcome out;
        zwp_avi_request_t *request = nullptr;
        out.read = zwp_avi_request_read(registry, frame.data(), frame.size(), &request);
        if (out.read == 0) {
            out.name = zwp_avi_request_name_get(request);
            out.kind = zwp_avi_request_kind_get(request);
            out.level = zwp_avi_request_level_get(request);
            out.executed = zwp_net_list_request_execute(net_list, request);
            if (out.executed == 0) {
                uint8_t *buffer = nullptr;
                size_t length = 0;
                out.written = zwp_avi_response_write(request, &buffer, &length);
                if (out.written == 0)
                    out.reply.assign(buffer, buffer + length);
                std::free(buffer);
            }
            const char *id = zwp_avi_request_network_id_get(request);
            out.network_id = id ? id : "<none>";
            out.node = zwp_avi_request_node_id_get(request);
            out.endpoint = zwp_avi_request_endpoint_id_get(request);
            out.interface = zwp_avi_request_interface_id_get(request);
            out.passive = zwp_avi_request_passive_get(request);
        }
        zwp_avi_request_free(request);
        return out;
    }
    outcome run(const std::vector<uint8_t> &payload) { return run_frame(peer::frame(payload)); }

    // A request of the level's test record, addressed as the arguments say.
    std::vector<uint8_t> leveled(const std::string &name, const char *branch,
                                 const char *network_id = "01-02-03-04-05-06-07-08", int node = 5, int endpoint = 1,
                                 int cls = 0x25, bool passive = false, int value = 7)
    {
        const std::string type = branch;
        return client.payload("alice", name, branch, [&](avro_value_t *record) {
            if (type == "NetworkTestRequest") {
                set_string(record, "command.network.id", network_id);
            } else if (type == "NodeTestRequest") {
                set_string(record, "command.node.network.id", network_id);
                set_int(record, "command.node.id", node);
            } else if (type == "EndpointTestRequest") {
                set_string(record, "command.endpoint.node.network.id", network_id);
                set_int(record, "command.endpoint.node.id", node);
                set_int(record, "command.endpoint.id", endpoint);
            } else if (type == "InterfaceTestRequest") {
                set_string(record, "command.interface.endpoint.node.network.id", network_id);
                set_int(record, "command.interface.endpoint.node.id", node);
                set_int(record, "command.interface.endpoint.id", endpoint);
                set_int(record, "command.interface.id", cls);
                set_boolean(record, "command.passive", passive);
            }
            set_int(record, "parameter.value", value);
        });
    }

    std::string reply_text(const outcome &out, const char *type)
    {
        avro_value_t value;
        const std::string branch = client.reply(out.reply.data(), out.reply.size(), &value);
        EXPECT_EQ(branch, type);
        if (branch.empty())
            return "<no reply>";
        avro_value_t record;
        avro_value_get_current_branch(&value, &record);
        const std::string text = get_string(&record, "parameter.text");
        avro_value_decref(&value);
        return text;
    }
};

TEST_F(request_fixture, TheNamePrefixChoosesKindAndLevel)
{
    const struct {
        const char *name;
        const char *branch;
        uint32_t kind, level;
    } cases[] = {
        {"root_test_get", "RootTestRequest", ZWP_AVI_KIND_ROOT, ZWP_AVI_LEVEL_ROOT},
        {"network_test_get", "NetworkTestRequest", ZWP_AVI_KIND_LEVELED, ZWP_AVI_LEVEL_NETWORK},
        {"scene_test_get", "NetworkTestRequest", ZWP_AVI_KIND_LEVELED, ZWP_AVI_LEVEL_NETWORK},
        {"security_scene_test_get", "NetworkTestRequest", ZWP_AVI_KIND_LEVELED, ZWP_AVI_LEVEL_NETWORK},
        {"node_test_get", "NodeTestRequest", ZWP_AVI_KIND_LEVELED, ZWP_AVI_LEVEL_NODE},
        {"endpoint_test_get", "EndpointTestRequest", ZWP_AVI_KIND_LEVELED, ZWP_AVI_LEVEL_ENDPOINT},
        {"interface_test_get", "InterfaceTestRequest", ZWP_AVI_KIND_LEVELED, ZWP_AVI_LEVEL_INTERFACE},
    };
    for (const auto &c : cases) {
        const outcome out = run(leveled(c.name, c.branch));
        EXPECT_EQ(out.read, 0) << c.name;
        EXPECT_EQ(out.kind, c.kind) << c.name;
        EXPECT_EQ(out.level, c.level) << c.name;
        EXPECT_EQ(seen.argument, 7) << c.name;
        seen.argument = -1;
    }

    // No ifttt_ message is registered, and an unknown prefix has no level.
    const struct {
        const char *name;
        const char *branch;
        const char *line;
    } refused[] = {
        {"ifttt_network_test_get", "NetworkTestRequest",
         "[error] Failed to match with supported avro messages at network level for 'ifttt_network_test_get'\n"},
        {"ifttt_interface_test_get", "InterfaceTestRequest",
         "[error] Failed to match with supported avro messages at interface level for 'ifttt_interface_test_get'\n"},
        {"ifttt_test_get", "RootTestRequest",
         "[error] Failed to match with supported avro messages for 'ifttt_test_get'\n"},
        {"gateway_test_get", "NetworkTestRequest",
         "[error] Failed to detect the message level for 'gateway_test_get'\n"},
        {"Network_test_get", "NetworkTestRequest",
         "[error] Failed to detect the message level for 'Network_test_get'\n"},
    };
    for (const auto &c : refused) {
        log.clear();
        EXPECT_EQ(run(leveled(c.name, c.branch)).read, 22) << c.name;
        EXPECT_TRUE(log.has(c.line)) << c.name;
    }
}

TEST_F(request_fixture, TheChainReadsEveryIdDownToTheMessageLevel)
{
    outcome out =
        run(leveled("interface_test_get", "InterfaceTestRequest", "aa-bb-cc-dd-ee-ff-00-11", 17, 3, 0x25, true));
    ASSERT_EQ(out.read, 0);
    EXPECT_EQ(out.node, 17u);
    EXPECT_EQ(out.endpoint, 3u);
    EXPECT_EQ(out.interface, 0x25u);
    EXPECT_EQ(out.passive, 1u);

    out = run(leveled("node_test_get", "NodeTestRequest", "x", 232));
    ASSERT_EQ(out.read, 0);
    EXPECT_EQ(out.node, 232u);
    EXPECT_EQ(out.endpoint, ~0u);
    EXPECT_EQ(out.interface, ~0u);

    // Root requests carry no chain.
    out = run(leveled("root_test_get", "RootTestRequest"));
    ASSERT_EQ(out.read, 0);
    EXPECT_EQ(out.network_id, "<none>");
}

TEST_F(request_fixture, MalformedRequestsAreRefused)
{
    const std::vector<uint8_t> good = peer::frame(leveled("network_test_get", "NetworkTestRequest"));
    ASSERT_EQ(run_frame(good).read, 0);

    std::vector<uint8_t> shorter(good.begin(), good.end() - 1);
    EXPECT_EQ(run_frame(shorter).read, 22) << "the prefix promises more than arrived";
    std::vector<uint8_t> cut = good;
    cut[3] = static_cast<uint8_t>(cut[3] - 3);
    EXPECT_EQ(run_frame(cut).read, 22) << "the value ends past the announced length";
    EXPECT_EQ(run_frame({0, 0, 0}).read, 22);
    EXPECT_EQ(run_frame({0, 0, 0, 0}).read, 22);

    const struct {
        const char *what;
        std::vector<uint8_t> payload;
        const char *line;
    } cases[] = {
        {"a parameter the handler refuses", leveled("network_test_get", "NetworkTestRequest", "id", 0, 0, 0, false, -1),
         "[error] Failed to get arguments for type 'NetworkTestRequest'\n"},
        {"a network message without its level record", client.payload("u", "network_test_get", "NodeTestRequest"),
         "[error] Failed to get 'network' field within argument of type 'NodeTestRequest': "},
        {"a message whose branch is not a command record", client.payload("u", "network_test_get", "TestValue"),
         "[error] Failed to get 'command' field within argument of type 'TestValue': "},
        {"a name with a NUL inside", client.payload("u", std::string("network_test_get\0x", 18), "Void"),
         "[error] Failed to get 'message name' string: embedded NUL\n"},
        {"the request record of no message", client.payload("u", "network_test_get", "Void"),
         "[error] Request of type 'Void' does not match message 'network_test_get', which takes "
         "'NetworkTestRequest'\n"},
        {"an interface of another class", leveled("interface_test_get", "InterfaceTestRequest", "id", 5, 0, 0x20),
         "[error] Message 'interface_test_get' does not serve an interface of command class 0x20\n"},
    };
    for (const auto &c : cases) {
        log.clear();
        EXPECT_EQ(run(c.payload).read, 22) << c.what;
        EXPECT_TRUE(log.contains(c.line)) << c.what;
    }
    // The argument made by a handler that then fails is not leaked (ASan).
}

// A worker reads request after request into the same values: nothing of
// one request may show in the next (a user where none was sent, an
// argument of another message), also after a refused or a large one.
TEST_F(request_fixture, EachRequestReadsOnlyWhatItCarries)
{
    const auto root = [&](const char *user, int value) {
        return client.payload(user, "root_test_get", "RootTestRequest",
                              [&](avro_value_t *record) { set_int(record, "parameter.value", value); });
    };
    const std::string long_user(6000, 'u');
    const struct {
        std::vector<uint8_t> payload;
        int read;
        const char *user; // what the root call saw; null: no root call
        int argument;
    } steps[] = {
        {root("alice", 3), 0, "alice", 3},
        {root(nullptr, 4), 0, "<null>", 4},
        {leveled("network_test_get", "NetworkTestRequest", "id", 0, 0, 0, false, 9), 0, nullptr, 9},
        {client.payload("u", std::string("root_test_get\0x", 15), "Void"), 22, nullptr, -1},
        {root(nullptr, 5), 0, "<null>", 5},
        {root(long_user.c_str(), 6), 0, long_user.c_str(), 6},
        {root("bob", 0), 0, "bob", 0},
        {client.payload(nullptr, "network_void_get", "Void"), 0, nullptr, -1},
        {root(nullptr, 8), 0, "<null>", 8},
    };
    int at = 0;
    for (const auto &step : steps) {
        seen = seen_t{};
        const outcome out = run(step.payload);
        EXPECT_EQ(out.read, step.read) << "step " << at;
        if (step.user) {
            EXPECT_EQ(seen.user, step.user) << "step " << at;
        }
        EXPECT_EQ(seen.argument, step.argument) << "step " << at;
        at++;
    }
}

TEST_F(request_fixture, AssociationMessagesServeBothOfTheirClasses)
{
    fake_net net;
    ASSERT_EQ(zwp_net_list_add(net_list, net.handle()), 0);
    for (int cls : {0x85, 0x8E}) {
        seen.calls.clear();
        seen.hcapi_status = 1;
        const outcome out = run(leveled("interface_association_test_get", "InterfaceTestRequest", "id", 5, 0, cls));
        ASSERT_EQ(out.read, 0) << cls;
        EXPECT_EQ(out.executed, 0) << cls;
        // The interface found for the request is the one of its own class.
        EXPECT_EQ(reinterpret_cast<uintptr_t>(seen.target), static_cast<uintptr_t>(cls));
    }
    EXPECT_EQ(run(leveled("interface_association_test_get", "InterfaceTestRequest", "id", 5, 0, 0x25)).read, 22);
    zwp_net_list_remove(net_list, net.handle(), 1);
}

TEST_F(request_fixture, WithoutANetworkOnlyTheSummaryAndVersionRun)
{
    const char *absent = "[information] Unable to find '01-02-03-04-05-06-07-08' in the list of connected networks\n";
    const struct {
        const char *name;
        const char *branch;
    } cases[] = {
        {"network_test_get", "NetworkTestRequest"},   {"network_test_tree", "NetworkTestRequest"},
        {"scene_test_get", "NetworkTestRequest"},     {"node_test_get", "NodeTestRequest"},
        {"endpoint_test_get", "EndpointTestRequest"}, {"interface_test_get", "InterfaceTestRequest"},
        {"network_exit", "NetworkTestRequest"},
    };
    for (const auto &c : cases) {
        log.clear();
        const outcome out = run(leveled(c.name, c.branch));
        ASSERT_EQ(out.read, 0) << c.name;
        EXPECT_EQ(out.executed, 22) << c.name;
        EXPECT_TRUE(log.has(absent)) << c.name;
    }
    EXPECT_TRUE(seen.calls.empty());

    // The root level needs no network at all.
    const outcome out = run(leveled("root_test_get", "RootTestRequest"));
    ASSERT_EQ(out.executed, 0);
    EXPECT_EQ(seen.user, "alice");
    EXPECT_EQ(reply_text(out, "RootTestResponse"), "xxxxx");
}

TEST_F(request_fixture, EveryNetworkRequestIsServedByTheOneNetwork)
{
    fake_net net;
    net.utime = 1700000000123ull;
    ASSERT_EQ(zwp_net_list_add(net_list, net.handle()), 0);
    fake_net *second = new fake_net;
    EXPECT_EQ(zwp_net_list_add(net_list, second->handle()), 22) << "a live network is never replaced";
    delete second;
    zwp_net_ops_set(fake_net::ops());

    const outcome out = run(leveled("network_test_tree", "NetworkTestRequest", "AA-BB-CC-DD-EE-FF-00-11"));
    ASSERT_EQ(out.executed, 0);
    EXPECT_EQ(out.network_id, "01-02-03-04-05-06-07-08");
    EXPECT_FALSE(seen.net_null);
    avro_value_t value;
    ASSERT_EQ(client.reply(out.reply.data(), out.reply.size(), &value), "NetworkTestResponse");
    avro_value_t record;
    avro_value_get_current_branch(&value, &record);
    EXPECT_EQ(get_string(&record, "command.network.id"), "01-02-03-04-05-06-07-08");
    EXPECT_EQ(get_long(&record, "command.utime"), 1700000000123ll);
    avro_value_decref(&value);
    EXPECT_EQ(net.refs.load(), 0) << "the request's reference is dropped";
    EXPECT_EQ(net.lock_depth.load(), 0);

    // A message that needs the tree fails without one; one that does not runs.
    net.tree = false;
    EXPECT_EQ(run(leveled("network_test_tree", "NetworkTestRequest")).executed, 22);
    const outcome any = run(leveled("network_test_get", "NetworkTestRequest"));
    EXPECT_EQ(any.executed, 0);
    EXPECT_EQ(reply_text(any, "NetworkTestResponse"), "xxxxx");
    EXPECT_EQ(net.refs.load(), 0);

    // network_exit runs without the lock and hands its reference on.
    EXPECT_EQ(run(leveled("network_exit", "NetworkTestRequest")).executed, 0);
    EXPECT_EQ(net.refs.load(), 1);
    EXPECT_EQ(zwp_net_list_remove(net_list, net.handle(), 1), 0);
}

TEST_F(request_fixture, NodeAndEndpointCallsGetTheirDescriptors)
{
    fake_net net;
    ASSERT_EQ(zwp_net_list_add(net_list, net.handle()), 0);
    outcome out = run(leveled("node_test_get", "NodeTestRequest", "id", 9));
    ASSERT_EQ(out.executed, 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(seen.target), 9u);
    avro_value_t value;
    ASSERT_EQ(client.reply(out.reply.data(), out.reply.size(), &value), "NodeTestResponse");
    avro_value_t record;
    avro_value_get_current_branch(&value, &record);
    EXPECT_EQ(get_string(&record, "command.node.network.id"), "01-02-03-04-05-06-07-08");
    EXPECT_EQ(get_int(&record, "command.node.id"), 9);
    avro_value_decref(&value);

    out = run(leveled("endpoint_test_get", "EndpointTestRequest", "id", 9, 4));
    ASSERT_EQ(out.executed, 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(seen.target), 5u);
    ASSERT_EQ(client.reply(out.reply.data(), out.reply.size(), &value), "EndpointTestResponse");
    avro_value_get_current_branch(&value, &record);
    EXPECT_EQ(get_int(&record, "command.endpoint.node.id"), 9);
    EXPECT_EQ(get_int(&record, "command.endpoint.id"), 4);
    avro_value_decref(&value);

    // A node the tree does not hold fails, and so does a network without a tree.
    EXPECT_EQ(run(leveled("node_test_get", "NodeTestRequest", "id", 0)).executed, 22);
    net.tree = false;
    EXPECT_EQ(run(leveled("node_test_get", "NodeTestRequest", "id", 9)).executed, 22);
    EXPECT_EQ(net.lock_depth.load(), 0);
    EXPECT_EQ(net.refs.load(), 0);
    zwp_net_list_remove(net_list, net.handle(), 1);
}

TEST_F(request_fixture, InterfaceStatusDecidesTheWaits)
{
    fake_net net;
    ASSERT_EQ(zwp_net_list_add(net_list, net.handle()), 0);
    config.report_wait_timeout = 0;
    seen.report_ready_after = 0;

    const struct {
        const char *what;
        const char *name;
        bool passive;
        uint32_t status;
        uint8_t tx;
        int executed;
        int tx_waits;
        int polls;
        std::vector<std::string> calls;
    } cases[] = {
        {"sent", "interface_test_get", false, 0, 0, 0, 1, 1, {"hcapi", "result_get"}},
        {"queued for a sleeping node", "interface_test_get", false, 1, 0, 0, 0, 0, {"hcapi", "result_get"}},
        {"from the cache", "interface_test_get", false, 2, 0, 0, 0, 1, {"hcapi", "result_get"}},
        {"a library error", "interface_test_get", false, static_cast<uint32_t>(-1), 0, 22, 0, 0, {"hcapi"}},
        {"a failed transmit", "interface_test_get", false, 0, 1, 22, 1, 0, {"hcapi"}},
        {"passive", "interface_test_get", true, 0, 0, 0, 0, 0, {"result_get"}},
        {"a set", "interface_test_set", false, 0, 0, 0, 1, 0, {"hcapi"}},
    };
    for (const auto &c : cases) {
        seen.calls.clear();
        seen.report_polls = 0;
        seen.hcapi_status = c.status;
        net.tx_status = c.tx;
        net.tx_waits = 0;
        net.tx_ends = 0;
        const outcome out = run(leveled(c.name, "InterfaceTestRequest", "id", 5, 0, 0x25, c.passive));
        ASSERT_EQ(out.read, 0) << c.what;
        EXPECT_EQ(out.executed, c.executed) << c.what;
        EXPECT_EQ(net.tx_waits, c.tx_waits) << c.what;
        // Each call's transmit ticket ends with its wait or is given back.
        EXPECT_EQ(net.tx_waits + net.tx_ends, c.passive ? 0 : 1) << c.what;
        EXPECT_EQ(seen.report_polls, c.polls) << c.what;
        EXPECT_EQ(seen.calls, c.calls) << c.what;
        EXPECT_EQ(net.lock_depth.load(), 0) << c.what;
        if (c.executed == 0 && std::string(c.name) == "interface_test_get") {
            EXPECT_EQ(reply_text(out, "InterfaceTestResponse"), "xxxxx") << c.what;
        }
    }
    EXPECT_TRUE(log.contains("[error] HCAPI call for 'interface_test_get' failed with '"));

    // A set's reply echoes the whole address.
    const outcome out = run(leveled("interface_test_set", "InterfaceTestRequest", "id", 5, 2, 0x25));
    avro_value_t value;
    ASSERT_EQ(client.reply(out.reply.data(), out.reply.size(), &value), "InterfaceTestResponse");
    avro_value_t record;
    avro_value_get_current_branch(&value, &record);
    EXPECT_EQ(get_string(&record, "command.interface.endpoint.node.network.id"), "01-02-03-04-05-06-07-08");
    EXPECT_EQ(get_int(&record, "command.interface.endpoint.node.id"), 5);
    EXPECT_EQ(get_int(&record, "command.interface.endpoint.id"), 2);
    EXPECT_EQ(get_int(&record, "command.interface.id"), 0x25);
    avro_value_decref(&value);
    zwp_net_list_remove(net_list, net.handle(), 1);
}

TEST_F(request_fixture, AReportWaitTimeOutIsNoErrorAndATimeOutOfZeroDoesNotWait)
{
    fake_net net;
    ASSERT_EQ(zwp_net_list_add(net_list, net.handle()), 0);
    config.report_wait_timeout = 0;
    const outcome out = run(leveled("interface_test_get", "InterfaceTestRequest", "id", 5, 0, 0x25));
    EXPECT_EQ(out.executed, 0);
    EXPECT_EQ(net.budgets, std::vector<int64_t>{0});
    EXPECT_TRUE(log.has("[information] Timed out on waiting for report after 0 microseconds\n"));
    EXPECT_EQ(reply_text(out, "InterfaceTestResponse"), "xxxxx");

    // A tree that goes away while the worker waits fails the request.
    net.budgets.clear();
    config.report_wait_timeout = 5;
    net.report_answer = [&net](int64_t) {
        net.tree = false;
        return 0;
    };
    EXPECT_EQ(run(leveled("interface_test_get", "InterfaceTestRequest", "id", 5, 0, 0x25)).executed, 22);
    EXPECT_EQ(net.lock_depth.load(), 0);
    zwp_net_list_remove(net_list, net.handle(), 1);
}

// Signals that do not bring the awaited report (other reports of the same
// interface, a tree change) must not stretch the wait: the budget is one
// monotonic deadline, not whole seconds counted between wake-ups.
TEST_F(request_fixture, TheReportWaitEndsAtOneDeadlineHoweverOftenItIsWoken)
{
    fake_net net;
    ASSERT_EQ(zwp_net_list_add(net_list, net.handle()), 0);
    config.report_wait_timeout = 1;
    net.report_answer = [](int64_t usec) {
        // Woken every 150 ms by a report that is not the awaited one.
        const int64_t slice = 150000;
        std::this_thread::sleep_for(std::chrono::microseconds(std::min(usec, slice)));
        return usec > slice ? 0 : ZWU_COND_TIMEDOUT;
    };
    const steady::time_point began = steady::now();
    const outcome out = run(leveled("interface_test_get", "InterfaceTestRequest", "id", 5, 0, 0x25));
    const double took = std::chrono::duration<double>(steady::now() - began).count();
    EXPECT_EQ(out.executed, 0);
    EXPECT_GE(took, 0.95);
    // The wait is one deadline, not a new second per wake-up: nowhere near
    // the seven budgets of its wake-ups, however late a loaded machine runs.
    EXPECT_LT(took, 5.0);
    ASSERT_GE(net.budgets.size(), 6u);
    EXPECT_EQ(net.budgets.front(), 1000000);
    for (size_t i = 1; i < net.budgets.size(); i++)
        EXPECT_LT(net.budgets[i], net.budgets[i - 1]) << i;
    EXPECT_LE(net.budgets.back(), 150000);
    EXPECT_TRUE(log.contains("[information] Timed out on waiting for report after "));
    zwp_net_list_remove(net_list, net.handle(), 1);
}

TEST_F(request_fixture, AReportThatArrivesEndsTheWait)
{
    fake_net net;
    ASSERT_EQ(zwp_net_list_add(net_list, net.handle()), 0);
    seen.report_ready_after = 2;
    net.report_answer = [](int64_t) { return 0; };
    const outcome out = run(leveled("interface_test_get", "InterfaceTestRequest", "id", 5, 0, 0x25));
    EXPECT_EQ(out.executed, 0);
    EXPECT_EQ(seen.report_polls, 3);
    EXPECT_EQ(net.budgets.size(), 2u);
    EXPECT_FALSE(log.contains("Timed out"));
    zwp_net_list_remove(net_list, net.handle(), 1);
}

// The reply buffer starts at 256 bytes and grows in steps of 256 until the
// value fits; the prefix holds the exact payload length. A root reply here
// is the union index (1 byte), the empty command and the text (its length
// as a zig-zag varint, then the bytes).
TEST_F(request_fixture, LongRepliesGrowTheBuffer)
{
    const auto varint_size = [](size_t n) {
        size_t zigzag = n << 1, bytes = 1;
        while (zigzag >= 0x80) {
            zigzag >>= 7;
            bytes++;
        }
        return bytes;
    };
    for (size_t text : {size_t{0}, size_t{248}, size_t{249}, size_t{250}, size_t{300}, size_t{505}, size_t{70000}}) {
        seen.reply_text = text;
        const outcome out = run(leveled("root_test_get", "RootTestRequest"));
        ASSERT_EQ(out.written, 0) << text;
        EXPECT_EQ(out.reply.size(), 4 + 1 + varint_size(text) + text) << text;
        EXPECT_EQ(reply_text(out, "RootTestResponse"), std::string(text, 'x')) << text;
    }
}

TEST_F(request_fixture, AVoidReplyIsAnEmptyRecord)
{
    fake_net net;
    ASSERT_EQ(zwp_net_list_add(net_list, net.handle()), 0);
    const outcome out = run(client.payload(nullptr, "network_void_get", "Void"));
    ASSERT_EQ(out.executed, 0);
    avro_value_t value;
    EXPECT_EQ(client.reply(out.reply.data(), out.reply.size(), &value), "Void");
    avro_value_decref(&value);
    EXPECT_EQ(out.reply.size(), 5u);
    zwp_net_list_remove(net_list, net.handle(), 1);
}

} // namespace

namespace
{

// network_summary_get on the project's own protocol file, once with a
// network that has its descriptor tree.
TEST(network_summary, AnInitialisedNetworkFillsTheFirstBranch)
{
    zw_test::log_capture log;
    staged_dir dir(project_avsc());
    peer client(project_avsc());
    zwp_avi_registry_t *registry = nullptr;
    ASSERT_EQ(zwp_avi_init(&registry, dir.path.c_str()), 0);
    zwp_net_config_t config{};
    zwp_net_list_t *net_list = nullptr;
    ASSERT_EQ(zwp_net_list_init(&net_list, &config, registry), 0);
    fake_net net;
    net.utime = 1234;
    net.summary.home_id = 0xC0FFEE01; // top bit set: still a positive long
    net.summary.controller_node_id = 1;
    std::memcpy(net.summary.network_id, zwp_net_list_fixed_id, 8);
    net.summary.gateway_address[0] = 192;
    net.summary.gateway_address[1] = 168;
    net.summary.gateway_address[2] = 0;
    net.summary.gateway_address[3] = 7;
    net.summary.address_type = 1;
    ASSERT_EQ(zwp_net_list_add(net_list, net.handle()), 0);

    const std::vector<uint8_t> frame =
        peer::frame(client.payload("alice", "network_summary_get", "NetworkRequest",
                                   [](avro_value_t *record) { set_string(record, "command.network.id", "x"); }));
    zwp_avi_request_t *request = nullptr;
    ASSERT_EQ(zwp_avi_request_read(registry, frame.data(), frame.size(), &request), 0);
    ASSERT_EQ(zwp_net_list_request_execute(net_list, request), 0);
    uint8_t *buffer = nullptr;
    size_t length = 0;
    ASSERT_EQ(zwp_avi_response_write(request, &buffer, &length), 0);
    zwp_avi_request_free(request);

    avro_value_t value;
    ASSERT_EQ(client.reply(buffer, length, &value), "NetworkSummaryResponse");
    std::free(buffer);
    avro_value_t record;
    avro_value_get_current_branch(&value, &record);
    EXPECT_EQ(get_long(&record, "command.utime"), 1234);
    EXPECT_EQ(get_int(&record, "parameter.is_initialized"), 1);
    avro_value_t initialised = field(&record, "parameter.summary_initialized");
    int discriminant = -1;
    avro_value_get_discriminant(&initialised, &discriminant);
    ASSERT_EQ(discriminant, 0);
    avro_value_t branch;
    avro_value_get_current_branch(&initialised, &branch);
    EXPECT_EQ(get_long(&branch, "home_id"), 0xC0FFEE01ll);
    EXPECT_EQ(get_int(&branch, "controller_node_id"), 1);
    EXPECT_EQ(get_string(&branch, "network_id"), "01-02-03-04-05-06-07-08");
    EXPECT_EQ(get_int(&branch, "address_type"), 1);
    avro_value_t address = field(&branch, "gateway_address");
    const void *bytes = nullptr;
    size_t size = 0;
    ASSERT_EQ(avro_value_get_fixed(&address, &bytes, &size), 0);
    ASSERT_EQ(size, 16u);
    const uint8_t expected[16] = {192, 168, 0, 7};
    EXPECT_EQ(std::memcmp(bytes, expected, 16), 0);
    avro_value_decref(&value);
    EXPECT_EQ(net.refs.load(), 0);

    zwp_net_list_remove(net_list, net.handle(), 1);
    zwp_net_list_exit(net_list);
    zwp_avi_exit(registry);
}

} // namespace
