// A report that reaches the daemon just before the gateway's answer to a
// network-management request. The answer opens the one-send gate, and the
// session's receive thread reads both; a worker that runs an interface get
// meanwhile waits at that gate with the descriptor lock held. The report
// must be stored without that lock, or the receive thread would sit behind
// the worker until the gate gives up, and the request and the worker's get
// would both fail as time-outs.
#include "iface_support.h"

#include "hcapi/include/zwif_call.h"

#include <chrono>
#include <thread>

namespace
{

using namespace iface_test;

constexpr uint8_t switch_node = 2; // a binary switch with an association group
constexpr uint8_t member_node = 3;

// Return-route requests of the gateway's inclusion class: the gate stays
// closed until the gateway has answered them.
constexpr uint8_t rr_delete = 0x0F;

struct lock_fixture : iface_fixture {
    std::vector<sim::node_profile> profiles() const override
    {
        sim::node_profile with_group = *sim::builtin_profile("switch", switch_node);
        with_group.classes.push_back({sim::cc_association, 2, {}});
        return {with_group, *sim::builtin_profile("basic", member_node)};
    }
};

TEST_F(lock_fixture, AReportJustBeforeTheGatewaysAnswerStallsNeitherTheGetNorTheRequest)
{
    // The first get answers from the cache; the device's value follows.
    ASSERT_TRUE(eventually([&] { return run("interface_switch_binary_get", switch_node, 0x25).answered(); }));

    // An association add is followed by the node's return routes: the first
    // of them, a delete, is answered only when the test says so.
    sim->nm->hold_next(sim::nm_inclusion_class, rr_delete);
    zwif_desc_t group = library_if(switch_node, sim::cc_association);
    group.ver = 2;
    zwep_desc_t member{};
    member.nodeid = member_node;
    member.net = group.net;
    ASSERT_GE(zwif_group_add(&group, 1, &member, 1), 0);
    ASSERT_TRUE(sim->nm->wait_held(30s)) << "the route request reaches the gateway";

    // A worker's get now waits at the gate, holding the descriptor lock.
    const uint64_t mark = sim->model->next_command_index();
    outcome got;
    std::thread worker([&] { got = run("interface_switch_binary_get", switch_node, 0x25); });
    // Time for the worker to reach the gate; one that comes late only makes
    // the test weaker, never wrong.
    std::this_thread::sleep_for(200ms);

    // The node's report comes first, then the gateway's answer. The report
    // names a new value: the library hands on only what changed.
    const auto now = sim->model->values(switch_node, 0x25);
    ASSERT_TRUE(now && !now->empty());
    const uint8_t changed = (*now)[0] == 0 ? 0xFF : 0x00;
    ASSERT_GE(sim->model->send_command(switch_node, {0x25, 0x03, changed}), 0);
    const auto released = std::chrono::steady_clock::now();
    EXPECT_GE(sim->nm->release_held(), 1u);

    // The answer opens the gate at once. Had the report held the receive
    // thread behind the worker, the answer would wait until the gate gave
    // up, 5.2 s after the worker came to it: far beyond this bound.
    ASSERT_TRUE(sim->model->wait_command(switch_node, 0x25, 0x02, 30s, mark)) << "the worker's Get leaves";
    EXPECT_LT(std::chrono::steady_clock::now() - released, 3s);
    worker.join();
    EXPECT_TRUE(got.answered()) << "the get ends with its answer";
    // The route chain went on: the delete was answered and an assign followed.
    EXPECT_TRUE(eventually([&] {
        for (const sim::nm_request &r : sim->nm->requests())
            if (r.command.size() >= 2 && r.command[0] == sim::nm_inclusion_class && r.command[1] == 0x0D)
                return true;
        return false;
    }));
    EXPECT_FALSE(log.contains("Cond wait timeout")) << "the gate never had to give up";
}

} // namespace
