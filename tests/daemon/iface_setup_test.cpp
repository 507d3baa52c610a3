// A module whose report registration the library refuses for one interface:
// the network still starts with its whole tree, and that interface alone is
// left without its module's state (its messages are refused), while the
// interfaces of other classes keep theirs.
#include "net_support.h"

#include "daemon/messages/zwp_avi_if_shape.h"
#include "daemon/messages/zwp_avi_interfaces.h"
#include "daemon/zwp_desc.h"
#include "daemon/zwp_net_list.h"


namespace
{

using namespace net_test;

constexpr uint8_t switch_node = 2;

int refused_setup(const zwif_desc_t *, uint32_t *status)
{
    *status = static_cast<uint32_t>(-14);
    return 0;
}
int accepted_setup(const zwif_desc_t *, uint32_t *status)
{
    *status = 0;
    return 0;
}
struct test_state : zwp_if::state_base {
    static constexpr char tag = 0;
    test_state() : state_base(&tag) {}
};
constexpr auto state_make = zwp_if::state_create<test_state>;
constexpr auto state_free = zwp_if::state_destroy;

const zwp_avi_message_interfaces k_messages[] = {
    {"interface_switch_binary_get", 0x25, refused_setup, state_make, state_free, nullptr, nullptr, nullptr, nullptr,
     nullptr, nullptr, nullptr},
    {"interface_basic_get", 0x20, accepted_setup, state_make, state_free, nullptr, nullptr, nullptr, nullptr, nullptr,
     nullptr, nullptr},
};

struct setup_fixture : ::testing::Test {
    zw_test::log_capture log;
    data_dir dir;
    zwp_net_config_t config{};
    std::string address = sim_address();
    std::unique_ptr<sim_gateway> sim;
    zwu_array_list_t list = nullptr;
    zwp_net_t *net = nullptr;

    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(net_env_init(dir, &config));
        sim = std::make_unique<sim_gateway>(address,
                                            std::vector<sim::node_profile>{*sim::builtin_profile("switch", switch_node)});
        ASSERT_EQ(sim->start(), 0) << sim->gw.last_error();
        ASSERT_EQ(zwu_array_list_create(0, &list), 0);
        for (const zwp_avi_message_interfaces &message : k_messages)
            ASSERT_EQ(zwp_avi_interface_message_register(list, &message), 0);
        ASSERT_EQ(zwp_net_create(&net, zwp_net_list_fixed_id, &config, nullptr, list, zwp_avi_interface_states_init),
                  0);
        zwp_gw_t gw = gw_of(address);
        zwp_net_gw_params_set(net, &gw);
    }
    void TearDown() override
    {
        if (net) {
            EXPECT_EQ(zwp_net_stop(net), 0);
            zwp_net_free(net);
        }
        if (list)
            zwu_array_list_destroy(list);
        sim->gw.stop();
        net_env_exit();
    }

    // Whether the tree's interface of `cls` on the switch node holds a state.
    bool has_state(uint16_t cls)
    {
        EXPECT_EQ(zwp_net_desc_lock(net), 0);
        const zwif_desc_t *intf = nullptr;
        const bool found = zwp_desc_if_find(zwp_net_desc_tree_get(net), switch_node, 0, cls, &intf) == 0;
        const bool state = found && zwp_desc_state_get(intf) != nullptr;
        zwp_net_desc_unlock(net);
        EXPECT_TRUE(found) << "the tree lists class " << cls;
        return state;
    }
};

TEST_F(setup_fixture, ARefusedRegistrationLeavesThatInterfaceWithoutItsModuleAndTheNetworkUp)
{
    ASSERT_EQ(zwp_net_start_async(net), 0);
    ASSERT_TRUE(eventually([&] { return zwp_net_start_result_get(net) != -1; }, 60s));
    EXPECT_EQ(zwp_net_start_result_get(net), 0) << "the network starts";
    EXPECT_TRUE(log.contains("Setup of 'interface_switch_binary_get' failed with"));
    EXPECT_FALSE(has_state(0x25)) << "the refused interface keeps no state";
    EXPECT_TRUE(has_state(0x20)) << "another class keeps its module";
}

} // namespace
