// The fixture of the interface family tests: a network of simulated nodes
// behind the gateway simulator on loopback UDP, the daemon's registry with
// its message layer, and a request runner that encodes a request as a
// client does, runs it through the daemon's own decode, execute and reply
// path, and decodes the reply again.
#pragma once

#include "dispatch_support.h"
#include "net_support.h"

#include "daemon/messages/zwp_avi_interfaces.h"
#include "daemon/zwp_avi.h"
#include "daemon/zwp_avi_execute.h"
#include "daemon/zwp_avi_request.h"
#include "daemon/zwp_avi_response.h"
#include "daemon/zwp_net_list.h"
#include "scene/zwscn.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace iface_test {

using namespace net_test;
using dispatch_test::get_int;
using dispatch_test::get_long;
using dispatch_test::peer;
using dispatch_test::project_avsc;
using dispatch_test::set_int;
using dispatch_test::staged_dir;

// What a request came to: decode, execution and reply codes, and the
// reply's branch.
struct outcome {
    int read = -1;
    int executed = -1;
    int written = -1;
    std::string reply_type;
    bool answered() const { return read == 0 && executed == 0 && written == 0; }
};

using filler = std::function<void(avro_value_t *parameter)>;
using reader = std::function<void(avro_value_t *parameter)>;

// The request record a message takes, from the protocol's "messages".
inline std::string request_type_of(avro_schema_t protocol, const std::string &name)
{
    avro_schema_t messages = avro_schema_record_field_get(protocol, "messages");
    avro_schema_t entry = messages ? avro_schema_record_field_get(messages, name.c_str()) : nullptr;
    avro_schema_t request = entry ? avro_schema_record_field_get(entry, "request") : nullptr;
    return request ? avro_schema_type_name(request) : "";
}

struct iface_fixture : ::testing::Test {
    zw_test::log_capture log;
    data_dir dir;
    staged_dir conf{project_avsc()};
    peer client{project_avsc()};
    zwp_net_config_t config{};
    std::string address = sim_address();
    std::unique_ptr<sim_gateway> sim;
    zwp_avi_registry_t *registry = nullptr;
    zwp_net_list_t *net_list = nullptr;
    zwp_net_t *net = nullptr;

    // The nodes of the simulated network.
    virtual std::vector<sim::node_profile> profiles() const = 0;

    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(net_env_init(dir, &config));
        sim = std::make_unique<sim_gateway>(address, profiles());
        ASSERT_EQ(sim->start(), 0) << sim->gw.last_error();
        ASSERT_EQ(zwp_avi_init(&registry, conf.path.c_str(), zwp_avi_messages_layer()), 0);
        ASSERT_EQ(zwp_net_list_init(&net_list, &config, registry), 0);
        ASSERT_EQ(zwp_net_create(&net, zwp_net_list_fixed_id, &config, nullptr, zwp_avi_interface_list_get(registry),
                                 zwp_avi_interface_setup_get(registry)),
                  0);
        zwp_gw_t gw = gw_of(address);
        zwp_net_gw_params_set(net, &gw);
        ASSERT_EQ(zwp_net_start_async(net), 0);
        ASSERT_TRUE(eventually([&] { return zwp_net_start_result_get(net) != -1; }, 60s));
        ASSERT_EQ(zwp_net_start_result_get(net), 0);
        ASSERT_EQ(zwp_net_list_add(net_list, net), 0);
    }
    void TearDown() override
    {
        // The list stops and frees its network.
        if (net_list)
            zwp_net_list_exit(net_list);
        else if (net)
            zwp_net_free(net);
        if (registry)
            zwp_avi_exit(registry);
        sim->gw.stop();
        net_env_exit();
    }

    // A request of `name` to endpoint `ep` of `node`, interface `cls`; `fill`
    // writes the request's `parameter`, `read` sees the reply's.
    outcome run(const std::string &name, uint8_t node, int cls, const filler &fill = nullptr,
                const reader &read = nullptr, bool passive = false, uint8_t ep = 0)
    {
        const std::string branch = request_type_of(client.protocol, name);
        const auto payload = client.payload("alice", name, branch.c_str(), [&](avro_value_t *record) {
            using namespace dispatch_test;
            set_string(record, "command.interface.endpoint.node.network.id", "01-02-03-04-05-06-07-08");
            set_int(record, "command.interface.endpoint.node.id", node);
            set_int(record, "command.interface.endpoint.id", ep);
            set_int(record, "command.interface.id", cls);
            set_boolean(record, "command.passive", passive);
            avro_value_t parameter;
            if (fill && avro_value_get_by_name(record, "parameter", &parameter, nullptr) == 0)
                fill(&parameter);
        });
        const auto frame = peer::frame(payload);
        outcome out;
        zwp_avi_request_t *request = nullptr;
        out.read = zwp_avi_request_read(registry, frame.data(), frame.size(), &request);
        if (out.read == 0)
            out.executed = zwp_net_list_request_execute(net_list, request);
        if (out.executed == 0) {
            uint8_t *buffer = nullptr;
            size_t length = 0;
            out.written = zwp_avi_response_write(request, &buffer, &length);
            avro_value_t reply;
            if (out.written == 0 && !(out.reply_type = client.reply(buffer, length, &reply)).empty()) {
                avro_value_t branch;
                avro_value_get_current_branch(&reply, &branch);
                avro_value_t parameter;
                if (read && avro_value_get_by_name(&branch, "parameter", &parameter, nullptr) == 0)
                    read(&parameter);
                avro_value_decref(&reply);
            }
            std::free(buffer);
        }
        zwp_avi_request_free(request);
        return out;
    }

    // Commands of class `cls` and command `cmd` that reached `node`.
    std::vector<std::vector<uint8_t>> received(uint8_t node, uint8_t cls, uint8_t cmd) const
    {
        std::vector<std::vector<uint8_t>> out;
        for (const sim::node_command &c : sim->model->commands())
            if (c.node_id == node && c.command.size() >= 2 && c.command[0] == cls && c.command[1] == cmd)
                out.push_back(c.command);
        return out;
    }

    // The library's handle of an interface, as its report callbacks get it.
    zwif_desc_t library_if(uint8_t node, uint16_t cls, uint8_t ep = 0) const
    {
        zwif_desc_t intf{};
        intf.net = zwp_net_hc_get(net);
        intf.nodeid = node;
        intf.epid = ep;
        intf.cls = cls;
        return intf;
    }
};

// The elements of an array field of a reply record.
inline std::vector<avro_value_t> elements(avro_value_t *record, const char *name)
{
    std::vector<avro_value_t> out;
    avro_value_t array;
    size_t size = 0;
    if (avro_value_get_by_name(record, name, &array, nullptr) != 0 || avro_value_get_size(&array, &size) != 0)
        return out;
    for (size_t i = 0; i < size; i++) {
        avro_value_t element;
        if (avro_value_get_by_index(&array, i, &element, nullptr) == 0)
            out.push_back(element);
    }
    return out;
}

// The ints of an int array field.
inline std::vector<int32_t> int_list(avro_value_t *record, const char *name)
{
    std::vector<int32_t> out;
    for (avro_value_t element : elements(record, name)) {
        int32_t value = -1;
        avro_value_get_int(&element, &value);
        out.push_back(value);
    }
    return out;
}

// The bytes of a fixed field.
inline std::vector<uint8_t> fixed_bytes(avro_value_t *record, const char *name)
{
    avro_value_t field;
    const void *data = nullptr;
    size_t size = 0;
    if (avro_value_get_by_name(record, name, &field, nullptr) != 0 || avro_value_get_fixed(&field, &data, &size) != 0)
        return {};
    const auto *bytes = static_cast<const uint8_t *>(data);
    return {bytes, bytes + size};
}

} // namespace iface_test
