// The association calls against the gateway simulator over loopback: the
// frames of Association and Multi Channel Association (which class carries
// a member, how the controller is addressed, the frame limit), the member
// check against the group's commands, the return-route plan an add leaves
// in the node, and the chain of return-route requests that the gateway sees
// once the SET was delivered.
#include "cls_call_net.h"

#include "hcapi/include/zwif_call.h"
#include "sim/sim_nm.h"

namespace {

using namespace hc_test;
using namespace cls_call;

enum : uint8_t {
    n_plain = 5,  // sleeping; Association v2 only, endpoint 1
    n_mca2 = 6,   // sleeping; Association v2 and Multi Channel Association v2, endpoints 1 and 2
    n_mca3 = 7,   // sleeping; Multi Channel Association v3, endpoints 1 and 2
    n_old = 8,    // sleeping; Association v1
    n_dev = 9,    // listening; Association v2 and Basic
    n_agi = 10,   // sleeping; Association v2 with group information
    n_other = 12, // listening; Basic
};

class AssocCalls : public CallNet {
protected:
    void SetUp() override
    {
        config c;
        c.nodes = {{n_plain, false, false, true, false, false, {0x84, 0x85}, 1},
                   {n_mca2, false, false, true, false, false, {0x84, 0x85, 0x8E}, 2},
                   {n_mca3, false, false, true, false, false, {0x84, 0x8E}, 2},
                   {n_old, false, false, true, false, false, {0x84, 0x85}, 0},
                   {n_dev, true, false, false, false, false, {0x20, 0x85}, 0},
                   {n_agi, false, false, true, false, false, {0x84, 0x85, 0x59}, 0},
                   {n_other, true, false, false, false, false, {0x20}, 0}};
        ASSERT_NO_FATAL_FAILURE(start(c));
        for (uint8_t n : {n_plain, n_mca2, n_dev, n_agi})
            ASSERT_NO_FATAL_FAILURE(version(n, 0, 0x85, 2));
        ASSERT_NO_FATAL_FAILURE(version(n_mca2, 0, 0x8E, 2));
        ASSERT_NO_FATAL_FAILURE(version(n_mca3, 0, 0x8E, 3));
        zwnet_lock lk(net_);
        ctl = net_->ctl.nodeid;
    }
    void TearDown() override
    {
        CallNet::TearDown();
        nm.reset();
    }

    bytes plan(uint8_t node_id)
    {
        zwnet_lock lk(net_);
        zwnode_p n = zwnode_find(&net_->ctl, node_id);
        return bytes(n->ret_route, n->ret_route + sizeof n->ret_route);
    }
    void plan_clear(uint8_t node_id)
    {
        zwnet_lock lk(net_);
        std::memset(zwnode_find(&net_->ctl, node_id)->ret_route, 0, 6);
    }

    uint8_t ctl = 0;
    std::unique_ptr<sim::nm_gateway> nm;
};

zwep_desc_t member(uint8_t node_id, uint8_t ep_id)
{
    zwep_desc_t m{};
    m.nodeid = node_id;
    m.epid = ep_id;
    return m;
}

// Adds with a member array that the case keeps (the call may change it).
call_fn add(uint8_t grp, std::vector<zwep_desc_t> members)
{
    return [grp, members](const zwif_desc_t *d) mutable {
        return zwif_group_add(d, grp, members.data(), static_cast<uint8_t>(members.size()));
    };
}
call_fn del(uint8_t grp, std::vector<zwif_assoc_ent_t> members)
{
    return [grp, members](const zwif_desc_t *d) mutable {
        return zwif_group_del(d, grp, members.empty() ? nullptr : members.data(),
                              static_cast<uint8_t>(members.size()));
    };
}
std::vector<zwep_desc_t> nodes_from(uint8_t first, size_t cnt)
{
    std::vector<zwep_desc_t> m;
    for (size_t k = 0; k < cnt; ++k)
        m.push_back(member(static_cast<uint8_t>(first + k), 0));
    return m;
}

TEST_F(AssocCalls, EachCallSendsItsFrameWithItsOperationCode)
{
    bytes set41{0x85, 0x01, 0x01};
    for (uint8_t k = 0; k < 38; ++k)
        set41.push_back(static_cast<uint8_t>(20 + k));
    // 18 endpoint members and one node: 4 + 1 + 36 = 41 bytes.
    std::vector<zwep_desc_t> mca41{member(30, 0)};
    bytes mca41_frame{0x8E, 0x01, 0x01, 30, 0x00};
    for (uint8_t k = 0; k < 18; ++k) {
        mca41.push_back(member(static_cast<uint8_t>(40 + k), 1));
        mca41_frame.insert(mca41_frame.end(), {static_cast<uint8_t>(40 + k), 1});
    }
    std::vector<zwep_desc_t> mca42 = mca41;
    mca42.front().epid = 2;  // a pair instead of a node id: 42 bytes

    const call_case cases[] = {
        {"get", n_plain, 0, 0x85, [](auto d) { return zwif_group_get(d, 3, nullptr); }, 1, {{0x85, 0x02, 0x03}}, 10},
        {"get through multi channel", n_mca3, 0, 0x8E, [](auto d) { return zwif_group_get(d, 1, nullptr); }, 1,
         {{0x8E, 0x02, 0x01}}, 10},
        {"get of group 0", n_plain, 0, 0x85, [](auto d) { return zwif_group_get(d, 0, nullptr); }, ZW_ERR_VALUE, {}, 0},
        {"get on a wake-up interface", n_plain, 0, 0x84, [](auto d) { return zwif_group_get(d, 1, nullptr); },
         ZW_ERR_CLASS_NOT_FOUND, {}, 0},
        {"add two nodes", n_plain, 0, 0x85, add(2, {member(n_dev, 0), member(n_other, 0)}), 1,
         {{0x85, 0x01, 0x02, n_dev, n_other}}, 5},
        {"add nobody", n_plain, 0, 0x85, add(2, {}), ZW_ERR_VALUE, {}, 0},
        {"add to group 0", n_plain, 0, 0x85, add(0, {member(n_dev, 0)}), ZW_ERR_VALUE, {}, 0},
        {"add on a wake-up interface", n_plain, 0, 0x84, add(1, {member(n_dev, 0)}), ZW_ERR_CLASS_NOT_FOUND, {}, 0},
        {"add an endpoint through Association alone", n_plain, 0, 0x85, add(1, {member(n_dev, 1)}), ZW_ERR_WRONG_IF,
         {}, 0},
        {"add 41 bytes", n_plain, 0, 0x85, add(1, nodes_from(20, 38)), 1, {set41}, 5},
        {"add 42 bytes", n_plain, 0, 0x85, add(1, nodes_from(20, 39)), ZW_ERR_TOO_LARGE, {}, 0},
        {"remove two nodes", n_plain, 0, 0x85, del(2, {{n_dev, 0}, {n_other, 0}}), 1,
         {{0x85, 0x04, 0x02, n_dev, n_other}}, 9},
        {"remove every member of every group", n_plain, 0, 0x85, del(0, {}), 1, {{0x85, 0x04, 0x00}}, 9},
        {"remove every group, version 1", n_old, 0, 0x85, del(0, {}), ZW_ERR_CLASS_VER, {}, 0},
        {"remove all of group 3, version 1", n_old, 0, 0x85, del(3, {}), 1, {{0x85, 0x04, 0x03}}, 9},
        {"remove an endpoint through Association alone", n_plain, 0, 0x85, del(1, {{n_dev, 2}}), ZW_ERR_WRONG_IF, {},
         0},
        {"remove on a wake-up interface", n_plain, 0, 0x84, del(1, {}), ZW_ERR_CLASS_NOT_FOUND, {}, 0},
        {"groupings", n_plain, 0, 0x85, [](auto d) { return zwif_group_sup_get(d, nullptr, 0); }, 1, {{0x85, 0x05}},
         11},
        {"groupings through multi channel", n_mca3, 0, 0x8E, [](auto d) { return zwif_group_sup_get(d, nullptr, 0); },
         1, {{0x8E, 0x05}}, 11},
        {"groupings, cache only", n_plain, 0, 0x85, [](auto d) { return zwif_group_sup_get(d, nullptr, 1); },
         ZW_ERR_NO_CACHE_AVAIL, {}, 0},
        {"active group", n_plain, 0, 0x85, [](auto d) { return zwif_group_actv_get(d, nullptr); }, 1, {{0x85, 0x0B}},
         4},
        {"active group through multi channel", n_mca3, 0, 0x8E,
         [](auto d) { return zwif_group_actv_get(d, nullptr); }, ZW_ERR_CLASS_NOT_FOUND, {}, 0},
        {"group information, nothing cached", n_agi, 0, 0x59,
         [](auto d) {
             zwif_grp_info_t *info = nullptr;
             const int rc = zwif_group_info_get(d, &info);
             zwif_group_info_free(info);
             return rc;
         },
         ZW_ERR_INTF_NO_DATA, {}, 0},
    };
    run(cases);

    // Multi Channel Association, byte by byte.
    const call_case mca[] = {
        {"nodes and endpoints", n_mca2, 0, 0x8E,
         add(4, {member(n_dev, 0), member(n_other, 0), member(n_dev, 2), member(n_other, 1)}), 1,
         {{0x8E, 0x01,  // Multi Channel Association Set
           0x04,        // group
           n_dev,       // node-only members
           n_other,
           0x00,        // marker: endpoint members follow
           n_dev, 0x02, // (node, endpoint)
           n_other, 0x01}},
         5},
        {"an endpoint through Association beside Multi Channel Association", n_mca2, 0, 0x85,
         add(1, {member(n_other, 3)}), 1,
         {{0x8E, 0x01,   // the sibling carries it
           0x01,         // group
           0x00,         // no node-only member
           n_other, 0x03}},
         5},
        {"nodes only through Association beside Multi Channel Association", n_mca2, 0, 0x85,
         add(1, {member(n_other, 0)}), 1,
         {{0x8E, 0x01, 0x01, n_other}},  // a plain set of the sibling, no marker
         5},
        {"remove endpoints", n_mca2, 0, 0x8E, del(1, {{n_dev, 2}, {n_other, 0}}), 1,
         {{0x8E, 0x04,   // Multi Channel Association Remove
           0x01,         // group
           n_other,      // node-only members
           0x00,         // marker
           n_dev, 0x02}},
         9},
        {"41 bytes", n_mca2, 0, 0x8E, add(1, mca41), 1, {mca41_frame}, 5},
        {"42 bytes", n_mca2, 0, 0x8E, add(1, mca42), ZW_ERR_TOO_LARGE, {}, 0},
    };
    run(mca);
}

// A node with endpoints that can address endpoints sees the controller as
// its endpoint 1; from version 3 the controller's root is endpoint 0 again,
// sent as a pair. The caller's array keeps the endpoint it was sent with.
TEST_F(AssocCalls, TheControllerIsAddressedAsTheNodeCanTakeIt)
{
    struct ctl_case {
        const char *name;
        uint8_t node;
        uint16_t cls;
        bytes frame;
        uint8_t ep_after;
    };
    const ctl_case cases[] = {
        {"version 2", n_mca2, 0x85, {0x8E, 0x01, 0x01, 0x00, ctl, 0x01}, 1},
        {"version 2, direct", n_mca2, 0x8E, {0x8E, 0x01, 0x01, 0x00, ctl, 0x01}, 1},
        {"version 3", n_mca3, 0x8E, {0x8E, 0x01, 0x01, 0x00, ctl, 0x00}, 0},
        {"no endpoints to address", n_plain, 0x85, {0x85, 0x01, 0x01, ctl}, 0},
    };
    for (const ctl_case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(clear(c.node));
        zwif_desc_t d = intf(c.node, c.cls);
        zwep_desc_t m[1] = {member(ctl, 0)};
        EXPECT_EQ(1, zwif_group_add(&d, 1, m, 1));
        const auto q = queued(c.node);
        ASSERT_EQ(1u, q.size());
        EXPECT_EQ(c.frame, q[0].first);
        EXPECT_EQ(c.ep_after, m[0].epid);
    }
    // The same rule for a removal.
    ASSERT_NO_FATAL_FAILURE(clear(n_mca2));
    zwif_desc_t d = intf(n_mca2, 0x8E);
    zwif_assoc_ent_t r[1] = {{ctl, 0}};
    EXPECT_EQ(1, zwif_group_del(&d, 2, r, 1));
    const auto q = queued(n_mca2);
    ASSERT_EQ(1u, q.size());
    EXPECT_EQ((bytes{0x8E, 0x04, 0x02, 0x00, ctl, 0x01}), q[0].first);
}

// The plan: up to four destinations other than the node itself, their count
// and the next index, in member order (distinct nodes for Multi Channel).
TEST_F(AssocCalls, AnAddLeavesItsReturnRoutePlanInTheNode)
{
    struct plan_case {
        const char *name;
        uint8_t node;
        uint16_t cls;
        std::vector<zwep_desc_t> members;
        bytes plan;  // all zero: no plan
    };
    const plan_case cases[] = {
        {"five members, the node itself skipped", n_plain, 0x85,
         {member(n_plain, 0), member(20, 0), member(21, 0), member(22, 0), member(23, 0)},
         {20, 21, 22, 0, 3, 0}},
        {"the node itself only", n_plain, 0x85, {member(n_plain, 0)}, {0, 0, 0, 0, 0, 0}},
        {"endpoints of the same nodes", n_mca2, 0x8E,
         {member(20, 1), member(20, 2), member(21, 0), member(n_mca2, 1), member(22, 1), member(23, 0)},
         {20, 21, 22, 23, 4, 0}},
    };
    for (const plan_case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(clear(c.node));
        plan_clear(c.node);
        zwif_desc_t d = intf(c.node, c.cls);
        std::vector<zwep_desc_t> m = c.members;
        EXPECT_EQ(1, zwif_group_add(&d, 1, m.data(), static_cast<uint8_t>(m.size())));
        EXPECT_EQ(c.plan, plan(c.node));
    }
}

// A group that sends Basic takes only members that have Basic.
TEST_F(AssocCalls, MembersMustTakeWhatTheGroupSends)
{
    {
        zwnet_lock lk(net_);
        zwif_p agi = zwif_find_cls(zwnode_find(&net_->ctl, n_agi)->ep.intf, 0x59);
        ASSERT_NE(nullptr, agi);
        agi->mgmt = std::make_unique<zwif_mgmt_t>();
        agi->mgmt->agi.grps.resize(2);
        agi->mgmt->agi.grps[0].present = 1;
        agi->mgmt->agi.grps[0].cmds = {{0x20, 0x01, 0}};
        std::strcpy(agi->mgmt->agi.grps[0].name, "LifeLine");
    }
    zwif_desc_t d = intf(n_agi, 0x85);
    const struct {
        const char *name;
        uint8_t grp;
        std::vector<zwep_desc_t> members;
        int rc;
    } cases[] = {
        {"a member with Basic", 1, {member(n_dev, 0)}, 1},
        {"a member without Basic", 1, {member(n_dev, 0), member(n_plain, 0)}, ZW_ERR_CLASS_NOT_FOUND},
        {"a member that does not exist", 1, {member(99, 0)}, ZW_ERR_CLASS_NOT_FOUND},
        {"a group the information does not list", 2, {member(n_dev, 0)}, ZW_ERR_NO_CACHE_AVAIL},
        {"a group beyond the list", 3, {member(n_dev, 0)}, ZW_ERR_NO_CACHE_AVAIL},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(clear(n_agi));
        std::vector<zwep_desc_t> m = c.members;
        EXPECT_EQ(c.rc, zwif_group_add(&d, c.grp, m.data(), static_cast<uint8_t>(m.size())));
        EXPECT_EQ(c.rc > 0 ? 1u : 0u, queued(n_agi).size());
    }

    // The copy of the group information, and its refusal while a group is unknown.
    zwif_desc_t a = intf(n_agi, 0x59);
    zwif_grp_info_t *info = nullptr;
    EXPECT_EQ(ZW_ERR_INTF_NO_DATA, zwif_group_info_get(&a, &info));
    EXPECT_EQ(nullptr, info);
    {
        zwnet_lock lk(net_);
        zwif_p agi = zwif_find_cls(zwnode_find(&net_->ctl, n_agi)->ep.intf, 0x59);
        agi->mgmt->agi.grps[1].present = 1;
        agi->mgmt->agi.grps[1].profile = 0x2001;
        agi->mgmt->agi.grps[1].cmds = {{0x25, 0x01, 0}, {0x26, 0x01, 0}};
    }
    ASSERT_EQ(0, zwif_group_info_get(&a, &info));
    ASSERT_NE(nullptr, info);
    EXPECT_EQ(2, info->grp_cnt);
    EXPECT_EQ(2, info->valid_cnt);
    EXPECT_STREQ("LifeLine", info->grps[0]->name);
    ASSERT_EQ(1, info->grps[0]->cmd_cnt);
    EXPECT_EQ(0x20, info->grps[0]->cmds[0].cls);
    EXPECT_EQ(0x2001, info->grps[1]->profile);
    ASSERT_EQ(2, info->grps[1]->cmd_cnt);
    EXPECT_EQ(0x26, info->grps[1]->cmds[1].cls);
    zwif_group_info_free(info);
    zwif_group_info_free(nullptr);
}

// Once the SET is delivered the gateway deletes the node's return routes,
// then assigns one per new destination, each request after the previous
// one completed.
TEST_F(AssocCalls, ReturnRoutesFollowADeliveredAdd)
{
    nm = std::make_unique<sim::nm_gateway>(*gw);
    {
        zwnet_lock lk(net_);
        net_->controller_role |= 0x02;  // the gateway lets us include: routes are ours to give
    }
    const size_t before = nm->request_count();
    zwif_desc_t d = intf(n_dev, 0x85);
    std::vector<zwep_desc_t> m{member(n_other, 0), member(n_dev, 0), member(20, 0)};
    EXPECT_EQ(1, zwif_group_add(&d, 1, m.data(), static_cast<uint8_t>(m.size())));
    ASSERT_TRUE(wait_cmd(n_dev, {0x85, 0x01, 0x01, n_other, n_dev, 20}, 10s));

    ASSERT_TRUE(eventually([&] {
        size_t assigns = 0;
        for (const sim::nm_request &r : nm->requests())
            assigns += r.command.size() >= 2 && r.command[0] == 0x34 && r.command[1] == 0x0D;
        return assigns >= 2;
    }));
    ASSERT_TRUE(eventually([] { return log_count("Grp return route completed successfully") >= 3; }));
    std::vector<bytes> seen;
    const auto reqs = nm->requests();
    for (size_t k = before; k < reqs.size(); ++k)
        if (reqs[k].command.size() >= 3 && reqs[k].command[0] == 0x34) {
            bytes b{reqs[k].command[1]};  // the command, then the parameters after the sequence number
            b.insert(b.end(), reqs[k].command.begin() + 3, reqs[k].command.end());
            seen.push_back(b);
        }
    const std::vector<bytes> want{
        {0x0F, n_dev},             // delete the node's return routes
        {0x0D, n_dev, n_other},    // then one assign per destination, in order
        {0x0D, n_dev, 20},
    };
    EXPECT_EQ(want, seen);
    EXPECT_TRUE(nm->violations().empty());
    EXPECT_EQ((bytes{n_other, 20, 0, 0, 2, 2}), plan(n_dev));
}

// A failed step ends the chain: nothing more is asked of the gateway.
TEST_F(AssocCalls, AFailedRouteStepEndsTheChain)
{
    nm = std::make_unique<sim::nm_gateway>(*gw);
    {
        zwnet_lock lk(net_);
        net_->controller_role |= 0x02;
    }
    nm->stale_return_route_next();  // the delete's answer never matches: no completion
    const size_t before = nm->request_count();
    zwif_desc_t d = intf(n_dev, 0x85);
    std::vector<zwep_desc_t> m{member(n_other, 0)};
    EXPECT_EQ(1, zwif_group_add(&d, 1, m.data(), 1));
    ASSERT_TRUE(nm->wait_request(0x34, 0x0F, 10s, before));
    // The reply wait of the delete runs out (at this tick: ~51 ms plus load).
    EXPECT_FALSE(nm->wait_request(0x34, 0x0D, late(5100), before));
}

}  // namespace
