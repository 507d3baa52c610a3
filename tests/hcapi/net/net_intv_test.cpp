// The node interview against the gateway simulator over real loopback UDP:
// nodes made from the gateway's node information, then asked by the library
// for their versions, Z-Wave Plus information, manufacturer, wake-up and
// endpoints, as the simulated node profiles declare them. Protocol times run
// at a 10 ms tick (a 5600 ms step is 560 ms).
#include "hc_test_support.h"

#include "hcapi/net/zwnet_ndb.h"
#include "hcapi/net/zwnet_ni.h"
#include "sim/sim_nm.h"
#include "sim/sim_node.h"

#include <map>

namespace {

// A walk of several nodes under sanitizers on a loaded machine takes well
// over a minute; what the tests show is the order and the result, not speed.
constexpr auto walk_limit = std::chrono::seconds(180);

using namespace hc_test;

struct walk_opts {
    uint8_t op = ZWNET_OP_UPDATE;
    uint8_t new_node = 0;
    uint8_t ret_route = 0;
    uint8_t skip_sleeping = 0;
    uint8_t use_cache = 0;
};

class Intv : public HcNet {
protected:
    void start_sim(const std::vector<sim::node_profile> &profiles)
    {
        cfg = config{};
        std::random_device rd;
        int rc = -1;
        for (int attempt = 0; attempt < 20 && rc != 0; ++attempt) {
            const unsigned r = rd();
            prefix = "127." + std::to_string(100 + r % 150) + "." + std::to_string(1 + (r >> 8) % 250) + ".";
            sim::gateway_config g;
            g.address = addr(1);
            g.port = 4123;
            for (const sim::node_profile &p : profiles)
                g.nodes.push_back({p.node_id, addr(p.node_id)});
            gw = std::make_unique<sim::gateway>(g);
            rc = gw->start();
        }
        ASSERT_EQ(0, rc) << gw->last_error();
        model = std::make_unique<sim::node_model>(*gw);
        ASSERT_EQ(0, model->add(profiles));
        sim::nm_config nmc;
        // Initialisation learns of no node but the controller: every walk
        // below is the first one that meets its nodes.
        for (const sim::node_profile &p : profiles) {
            nmc.nodes.push_back(sim::nm_node_of(p));
            nmc.nodes.back().in_node_list = false;
        }
        nm = std::make_unique<sim::nm_gateway>(*gw, nmc);
        // The gateway as a node, for what initialisation asks of it (a
        // firmware that takes plain frames).
        sim::gw_app_config app_cfg;
        app_cfg.fw_versions = {0x0210};
        app = std::make_unique<sim::gw_app>(*gw, app_cfg);
        plt_tick_ms_set(cfg.tick_ms);
        ASSERT_EQ(0, zwnet_init(&params(), &net_));
        rec.net = net_;
        // What initialisation learns from the gateway: the controller's node
        // id and every node's address.
        {
            zwnet_lock lk(net_);
            net_->ctl.nodeid = 1;
        }
        model->set_unsolicited_destination(sim::endpoint{"127.0.0.1", zwnet_host_port_get(net_)});
        for (const sim::node_profile &p : profiles) {
            in_addr a{};
            inet_pton(AF_INET, addr(p.node_id).c_str(), &a);
            ASSERT_EQ(1, appl_node_ip_set(net_->appl.get(), reinterpret_cast<const uint8_t *>(&a), 4, p.node_id));
        }
        // Initialisation (operation 1) has ended before any walk starts.
        ASSERT_TRUE(eventually([&] { return op_ends(ZWNET_OP_INITIALIZE) >= 1; }, walk_limit));
    }

    void TearDown() override
    {
        HcNet::TearDown();
        nm.reset();
        model.reset();
    }

    // The network's save runs as an operation of its own for a moment after
    // every change: a walk starts once it has ended.
    int walk(const std::vector<uint8_t> &ids, const walk_opts &o = {})
    {
        int rc = -1;
        EXPECT_TRUE(eventually([&] {
            zwnet_lock lk(net_);
            if (net_->curr_op == ZWNET_OP_SAVE_NW)
                return false;
            rc = walk_locked(ids, o);
            return true;
        }));
        return rc;
    }
    int walk_locked(const std::vector<uint8_t> &ids, const walk_opts &o)
    {
        if (net_->curr_op != ZWNET_OP_NONE)
            return -1;
        net_->curr_op = o.op;
        zwnet_ni_param_t p;
        p.node_id = ids.data();
        p.cnt = static_cast<uint8_t>(ids.size());
        p.op = o.op;
        p.new_node = o.new_node;
        p.ret_route = o.ret_route;
        p.skip_sleeping = o.skip_sleeping;
        p.use_cache = o.use_cache;
        const int rc = zwnet_node_info_sm(net_, ZWNET_NI_EVT_START, &p);
        if (rc == 0)
            net_->curr_op = ZWNET_OP_NONE;
        return rc;
    }

    size_t op_ends(uint8_t op) const
    {
        size_t n = 0;
        for (const app_event &e : rec.of(0))
            n += e.a == op && e.b == ZWNET_OP_STS_DONE;
        return n;
    }
    std::vector<int> progress(uint8_t op) const
    {
        std::vector<int> out;
        for (const app_event &e : rec.of(0))
            if (e.a == op)
                out.push_back(e.b);
        return out;
    }
    bool idle()
    {
        zwnet_lock lk(net_);
        return net_->ni_state == ZWNET_NI_IDLE && net_->ni_rec.node_id.empty() && net_->curr_op == ZWNET_OP_NONE;
    }
    // A field of a node record, read under the network mutex.
    template <class F>
    auto with_node(uint8_t id, F &&f)
    {
        zwnet_lock lk(net_);
        zwnode_p n = zwnode_find(&net_->ctl, id);
        EXPECT_NE(nullptr, n) << "node " << int(id);
        return f(n);
    }
    std::map<uint16_t, std::pair<int, int>> if_versions(uint8_t id, uint8_t ep = 0)
    {
        std::map<uint16_t, std::pair<int, int>> out;
        zwep_desc_t e{};
        if (zwnet_ep_desc_get(net_, id, ep, &e) != 0)
            return out;
        zwif_desc_t i{};
        for (int rc = zwep_get_if(&e, &i); rc == 0; rc = zwif_get_next(&i, &i))
            out[i.cls] = {i.ver, i.real_ver};
        return out;
    }

    std::unique_ptr<sim::node_model> model;
    std::unique_ptr<sim::nm_gateway> nm;
};

sim::node_profile profile(const char *name, uint8_t id)
{
    auto p = sim::builtin_profile(name, id);
    EXPECT_TRUE(p) << name;
    return p.value_or(sim::node_profile{});
}

// What each node of the five-node network must hold after its interview.
struct expect_node {
    uint8_t id;
    const char *profile;
    std::map<uint16_t, std::pair<int, int>> versions;  // root classes: {version, real version}
    int role_type;                                      // -1: no Z-Wave Plus
    uint16_t pid;                                       // 0: no Manufacturer Specific
    std::vector<uint8_t> endpoints;                     // ids after the root
    int mul_ch_kind;
};

const expect_node five[] = {
    {2, "plus_switch", {{0x20, {1, 1}}, {0x5E, {2, 2}}, {0x86, {3, 3}}, {0x72, {2, 2}}, {0x25, {2, 2}}}, 5, 2, {}, 0},
    {3, "plus_sensor",
     {{0x20, {1, 1}}, {0x5E, {2, 2}}, {0x86, {2, 2}}, {0x72, {1, 1}}, {0x84, {2, 2}}, {0x80, {1, 1}}}, 6, 3, {}, 0},
    {4, "multi_channel", {{0x20, {1, 1}}, {0x5E, {2, 2}}, {0x86, {2, 2}}, {0x72, {1, 1}}, {0x60, {4, 4}}, {0x25, {2, 2}}},
     5, 4, {1, 2, 3}, 2},
    {5, "multi_instance", {{0x20, {1, 1}}, {0x86, {1, 1}}, {0x60, {1, 1}}, {0x25, {1, 1}}}, -1, 0, {1, 2}, 1},
    {6, "switch", {{0x20, {1, 1}}, {0x25, {1, 1}}}, -1, 0, {}, 0},
};

class IntvFive : public Intv {
protected:
    void SetUp() override
    {
        std::vector<sim::node_profile> p;
        for (const expect_node &e : five)
            p.push_back(profile(e.profile, e.id));
        ASSERT_NO_FATAL_FAILURE(start_sim(p));
    }

    void expect_interviewed(const expect_node &e)
    {
        SCOPED_TRACE(std::string("node ") + std::to_string(e.id) + " " + e.profile);
        EXPECT_EQ(e.versions, if_versions(e.id));
        zwep_desc_t root{};
        ASSERT_EQ(0, zwnet_ep_desc_get(net_, e.id, 0, &root));
        if (e.role_type >= 0) {
            EXPECT_EQ(e.role_type, root.zwplus_info.role_type);
            EXPECT_EQ(2, root.zwplus_info.zwplus_ver);
            EXPECT_EQ(0x0700, root.zwplus_info.instr_icon);
        }
        zwnode_desc_t n = node(e.id);
        if (e.pid != 0) {
            EXPECT_EQ(0x0001, n.type);
            EXPECT_EQ(e.pid, n.pid);
        }
        if (e.versions.count(0x86)) {
            EXPECT_EQ(0x070F, n.proto_ver);
            EXPECT_EQ(0x0100, n.app_ver);
            EXPECT_EQ(3, n.lib_type);
        }
        std::vector<uint8_t> eps;
        for (zwep_desc_t ep = root; zwep_get_next(&ep, &ep) == 0;)
            eps.push_back(ep.epid);
        EXPECT_EQ(e.endpoints, eps);
        EXPECT_EQ(e.mul_ch_kind, with_node(e.id, [](zwnode_p nd) { return int(nd->mul_ch_kind); }));
    }
};

// A network update's walk over five nodes made from the gateway's node
// information: each node ends up as its profile declares it, the sleeping
// one is left for its wake-up, progress counts up and the walk ends once.
TEST_F(IntvFive, NetworkUpdateWalkAndTheSleepingNodeAtItsWakeUp)
{
    {
        zwnet_lock lk(net_);
        net_->controller_role = 0x02;  // the gateway offers inclusion: return routes are assigned
    }
    ASSERT_EQ(1, walk({2, 3, 4, 5, 6}, {ZWNET_OP_UPDATE, 0, 1, 1, 0}));
    ASSERT_TRUE(eventually([&] { return op_ends(ZWNET_OP_UPDATE) == 1; }, walk_limit));
    EXPECT_TRUE(eventually([&] { return idle(); }));

    // Progress after each node, then the end.
    const std::vector<int> want{5 << 8 | 1, 5 << 8 | 2, 5 << 8 | 3, 5 << 8 | 4, 5 << 8 | 5, ZWNET_OP_STS_DONE};
    EXPECT_EQ(want, progress(ZWNET_OP_UPDATE));

    for (const expect_node &e : five)
        if (e.id != 3)
            expect_interviewed(e);

    // Node 4's endpoints: two identical switches from one capability, and
    // the aggregated endpoint grouping them.
    for (uint8_t ep : {1, 2})
        EXPECT_TRUE(if_versions(4, ep).count(0x25)) << int(ep);
    zwep_desc_t aggr{};
    ASSERT_EQ(0, zwnet_ep_desc_get(net_, 4, 3, &aggr));
    ASSERT_EQ(2, aggr.aggr_ep_cnt);
    EXPECT_EQ(1, aggr.aggr_members[0]);
    EXPECT_EQ(2, aggr.aggr_members[1]);
    EXPECT_EQ(1, with_node(4, [](zwnode_p n) { return int(n->ep_identical); }));
    // One capability query for two identical endpoints.
    size_t cap_gets = 0;
    for (const sim::node_command &c : model->commands(4))
        cap_gets += c.command.size() >= 2 && c.command[0] == 0x60 && c.command[1] == 0x09;
    EXPECT_EQ(1u, cap_gets);
    // Node 2's serial number, from its version 2 Manufacturer Specific.
    const zwnode_desc_t n2 = node(2);
    EXPECT_EQ(std::string("SN-2"), std::string(reinterpret_cast<const char *>(n2.dev_id.dev_id), n2.dev_id.len));
    // Return routes went to every node that was interviewed, to the controller.
    size_t rr = 0;
    for (const sim::nm_request &r : nm->requests())
        rr += r.command.size() >= 5 && r.command[0] == 0x34 && r.command[1] == 0x0D && r.command[4] == 1;
    EXPECT_EQ(4u, rr);

    // The sleeping node got no question, and waits for its wake-up.
    EXPECT_TRUE(model->commands(3).empty());
    EXPECT_EQ(1, with_node(3, [](zwnode_p n) { return int(n->upd_on_wkup); }));
    EXPECT_EQ(1, node(3).sleep_cap);

    // A node that wakes while another operation runs (the save that follows
    // the walk, say) keeps its mark for its next wake-up: it wakes again, as
    // a sleeping node does, until its update has begun.
    ASSERT_TRUE(eventually([&] {
        EXPECT_EQ(0, model->wake_up(3));
        return eventually([&] { return with_node(3, [](zwnode_p n) { return int(n->upd_on_wkup); }) == 0; }, 5s);
    }, walk_limit));
    // Operation 18 ends with the node reported as updated; its notification
    // stays inside the library.
    ASSERT_TRUE(eventually([&] {
        for (const app_event &e : rec.of(1))
            if (e.a == 3 && e.b == int(ZWNET_NODE_UPDATED))
                return true;
        return false;
    }, walk_limit));
    ASSERT_TRUE(eventually([&] { return idle(); }));
    expect_interviewed(five[1]);
    EXPECT_EQ(300u, node(3).wkup_intv);
    EXPECT_EQ(0, with_node(3, [](zwnode_p n) { return int(n->upd_on_wkup); }));
    EXPECT_TRUE(progress(ZWNET_OP_SLEEP_NODE_UPT).empty());
    EXPECT_TRUE(model->violations().empty());
    EXPECT_TRUE(nm->violations().empty());
    for (const app_event &e : rec.of(0))
        EXPECT_FALSE(e.mutex_held);
}

// A second start while a walk runs is refused and sends nothing; a start
// without nodes (or with none that can be a node) is refused too, and a node
// update waits for the operation that runs.
TEST_F(IntvFive, StartsThatAreRefused)
{
    auto node_info_gets = [&] {
        size_t n = 0;
        for (const sim::nm_request &r : nm->requests())
            n += r.command.size() >= 2 && r.command[0] == 0x52 && r.command[1] == 0x03;
        return n;
    };
    // Initialisation asked for the controller's own information.
    const size_t init_gets = node_info_gets();
    EXPECT_EQ(0, walk({}));
    EXPECT_EQ(0, walk({0, 233, 255}));
    EXPECT_TRUE(eventually([&] { return idle(); }));
    EXPECT_EQ(init_gets, node_info_gets());

    ASSERT_EQ(1, walk({2, 4}));
    {
        zwnet_lock lk(net_);
        const uint8_t id = 5;
        zwnet_ni_param_t p;
        p.node_id = &id;
        p.cnt = 1;
        p.op = ZWNET_OP_NODE_UPDATE;
        EXPECT_EQ(0, zwnet_node_info_sm(net_, ZWNET_NI_EVT_START, &p));
        EXPECT_EQ(0, zwnet_node_info_sm(net_, ZWNET_NI_EVT_START_DSK, &p));
    }
    zwnode_desc_t probe{};
    ASSERT_TRUE(eventually([&] { return zwnet_node_desc_get(net_, 2, &probe) == 0; }));
    zwnode_desc_t two = node(2);
    EXPECT_EQ(ZW_ERR_LAST_OP_NOT_DONE, zwnode_update(&two));
    ASSERT_TRUE(eventually([&] { return op_ends(ZWNET_OP_UPDATE) == 1; }, walk_limit));
    EXPECT_EQ(init_gets + 2, node_info_gets());
    zwnode_desc_t ctl = node(1);
    EXPECT_EQ(ZW_ERR_UNSUPPORTED, zwnode_update(&ctl));
    EXPECT_TRUE(eventually([&] { return idle(); }));
}

// A node that does not answer costs two time-outs per question and the walk
// goes on with the next node; a sleeping node that does not answer a node
// update is marked to be asked again at its next wake-up.
TEST_F(Intv, SilentNodesAreMarkedAndTheWalkGoesOn)
{
    ASSERT_NO_FATAL_FAILURE(
        start_sim({profile("plus_switch", 2), profile("plus_sensor", 3), profile("plus_switch", 4)}));
    ASSERT_EQ(0, model->set_answers(2, sim::answer_mode::never));
    const auto t0 = steady::now();
    ASSERT_EQ(1, walk({2, 4}));
    // While the walk waits for the version of Z-Wave Plus, a version report
    // of another class comes: it is not the answer, and changes nothing.
    ASSERT_TRUE(model->wait_command(2, 0x86, 0x13, 10s));
    ASSERT_LE(0, from_node(2, {0x86, 0x14, 0x25, 0x07}));
    ASSERT_TRUE(eventually([&] { return op_ends(ZWNET_OP_UPDATE) == 1; }, walk_limit));
    EXPECT_EQ((std::pair<int, int>{1, 1}), if_versions(2)[0x25]);
    // Node 2: two unanswered version Gets, then Z-Wave Plus twice, then the
    // manufacturer twice ends the node: six step time-outs at least.
    EXPECT_GE(steady::now() - t0, 6 * early(ZWNET_NI_STEP_MS));
    size_t ver_gets = 0;
    for (const sim::node_command &c : model->commands(2))
        ver_gets += c.command.size() >= 2 && c.command[0] == 0x86 && c.command[1] == 0x13;
    EXPECT_EQ(2u, ver_gets);
    // Node 4 was interviewed all the same.
    EXPECT_EQ(2, if_versions(4)[0x25].first);
    EXPECT_EQ(4, node(4).pid);

    // The sleeping node: known from a walk that skips it, then updated.
    ASSERT_EQ(1, walk({3}, {ZWNET_OP_UPDATE, 0, 0, 1, 0}));
    ASSERT_TRUE(eventually([&] { return op_ends(ZWNET_OP_UPDATE) == 2; }, walk_limit));
    with_node(3, [](zwnode_p n) { return n->upd_on_wkup = 0; });
    const size_t marked = log_count("retry querying of sleeping node detailed info on next wakeup");
    ASSERT_TRUE(eventually([&] { return idle(); }));
    zwnode_desc_t three = node(3);
    ASSERT_EQ(0, start_when_free([&] { return zwnode_update(&three); }));
    ASSERT_TRUE(eventually([&] { return op_ends(ZWNET_OP_NODE_UPDATE) == 1; }, walk_limit));
    EXPECT_EQ(1, with_node(3, [](zwnode_p n) { return int(n->upd_on_wkup); }));
    EXPECT_EQ(marked + 1, log_count("retry querying of sleeping node detailed info on next wakeup"));
    EXPECT_TRUE(eventually([&] { return idle(); }));
}

// A new node gets its wake-up interval brought into its capabilities: the
// network's setting of 1000 s becomes 960 s in steps of 60 s from 60 s.
TEST_F(Intv, NewSleepingNodeGetsItsWakeUpIntervalSet)
{
    ASSERT_NO_FATAL_FAILURE(start_sim({profile("plus_sensor", 3)}));
    ASSERT_EQ(0, model->wake_up(3));
    ASSERT_TRUE(model->wait_awake(3, true, 10s));
    {
        zwnet_lock lk(net_);
        net_->opt_val = 1000;
    }
    ASSERT_EQ(1, walk({3}, {ZWNET_OP_ADD_NODE, 1, 0, 0, 0}));
    ASSERT_TRUE(eventually([&] { return op_ends(ZWNET_OP_ADD_NODE) == 1; }, walk_limit));
    auto set = model->wait_command(3, 0x84, 0x04, 10s);
    ASSERT_TRUE(set);
    EXPECT_EQ((std::vector<uint8_t>{0x84, 0x04, 0x00, 0x03, 0xC0, 0x01}), set->command);
    EXPECT_EQ(960u, node(3).wkup_intv);
    EXPECT_EQ((std::vector<uint8_t>{0x00, 0x03, 0xC0, 0x01}), model->values(3, 0x84));
}

// A node record that took the node for asleep holds its commands; the node
// information shows it listens: its commands go out, they are not dropped.
TEST_F(Intv, CommandsHeldForANodeThatListensAreSent)
{
    ASSERT_NO_FATAL_FAILURE(start_sim({profile("plus_switch", 2)}));
    zwif_desc_t basic{};
    {
        zwnet_lock lk(net_);
        zwnode_p n = zwnode_create(net_, 2);
        ASSERT_NE(nullptr, n);
        ASSERT_EQ(1, zwif_attach(&n->ep, zwif_create(0x20, 1, IF_PROPTY_UNSECURE)));
        ASSERT_EQ(1, zwif_attach(&n->ep, zwif_create(0x84, 2, IF_PROPTY_UNSECURE)));
        n->sleep_cap = n->enable_cmd_q = 1;
        zwif_desc_fill(&basic, n->ep.intf);
    }
    ASSERT_EQ(1, zwif_basic_set(&basic, 0x63));  // queued for the sleeper
    EXPECT_EQ(1u, with_node(2, [](zwnode_p n) { return n->cmd_q.size(); }));
    ASSERT_EQ(1, walk({2}));
    ASSERT_TRUE(eventually([&] { return op_ends(ZWNET_OP_UPDATE) == 1; }, walk_limit));
    EXPECT_TRUE(model->wait_command(2, 0x20, 0x01, 10s));
    // The switch took Basic as its own value.
    EXPECT_TRUE(eventually([&] { return model->values(2, 0x25) == std::vector<uint8_t>{0xFF}; }));
    EXPECT_EQ(0, node(2).sleep_cap);
}

}  // namespace

namespace {

class IntvCycles : public Intv {
protected:
    void SetUp() override
    {
        std::vector<sim::node_profile> p;
        for (const expect_node &e : five)
            p.push_back(profile(e.profile, e.id));
        // In the gateway's network, but not yet in the library's: it joins.
        p.push_back(profile("plus_switch", 7));
        ASSERT_NO_FATAL_FAILURE(start_sim(p));
    }

    // Starts a walk, retried while the sender is still busy with the answer
    // of an aborted one.
    void walk_started(const std::vector<uint8_t> &ids, const walk_opts &o = {})
    {
        ASSERT_TRUE(eventually([&] { return walk(ids, o) == 1; })) << "walk did not start";
    }
    void abort_walk()
    {
        zwnet_lock lk(net_);
        zwnet_node_info_sm_stop(net_);
        net_->curr_op = ZWNET_OP_NONE;
    }
    // Waits until the callback thread has delivered what was posted so far:
    // a marker notification goes through the same queue behind it.
    void settle()
    {
        const size_t before = op_ends(marker_op);
        zwnet_notify(net_, marker_op, ZWNET_OP_STS_DONE, nullptr);
        ASSERT_TRUE(eventually([&] { return op_ends(marker_op) > before; }));
    }
    static constexpr uint8_t marker_op = 250;
};

// Twenty walks cut short at different points; in one a node joins while the
// walk runs and is interviewed once it is cut, in another the node under
// interview is removed and the walk goes on to its end. Each abort leaves
// the machine idle, late answers and timers of a cut walk change nothing,
// and a last walk still interviews every node as before.
TEST_F(IntvCycles, TwentyStartsAndAborts)
{
    const std::vector<uint8_t> all{2, 3, 4, 5, 6};
    const walk_opts skip_sleeping{ZWNET_OP_UPDATE, 0, 0, 1, 0};
    // Answers take a while, so that a cut lands inside a walk.
    for (uint8_t id : all)
        ASSERT_EQ(0, model->set_answers(id, sim::answer_mode::late, 30ms));
    size_t update_ends = 0;
    size_t cut = 0;
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE("cycle " + std::to_string(i));
        const uint64_t mark = model->next_command_index();
        ASSERT_NO_FATAL_FAILURE(walk_started(all, skip_sleeping));
        // Cut at a different depth each time: after 0 to 16 node commands.
        const uint64_t depth = (i * 7) % 17;
        eventually([&] { return model->next_command_index() >= mark + depth || op_ends(ZWNET_OP_UPDATE) > update_ends; },
                   20s);

        if (i == 10) {
            // Node 7 joins: made from its inclusion's node information; its
            // interview must wait for the walk that runs.
            static const uint16_t classes[] = {0x5E, 0x86, 0x72, 0x25};
            appl_node_info_t info{7, 1, 1, 0, 0, 0, 0, 0x04, 0x10, 0x01, 4, 0, const_cast<uint16_t *>(classes),
                                  nullptr};
            ASSERT_EQ(0, zwnode_info_apply(net_, &info, nullptr));
            const uint8_t id = 7;
            zwnet_ni_param_t p;
            p.node_id = &id;
            p.cnt = 1;
            p.delay = 500;
            p.op = ZWNET_OP_ADD_NODE;
            p.new_node = 1;
            p.ret_route = 1;
            {
                zwnet_lock lk(net_);
                EXPECT_EQ(0, zwnet_node_info_sm(net_, ZWNET_NI_EVT_START_DSK, &p));
            }
            abort_walk();
            EXPECT_TRUE(eventually([&] { return idle(); }));
            ASSERT_NO_FATAL_FAILURE(settle());
            update_ends = op_ends(ZWNET_OP_UPDATE);
            {
                zwnet_lock lk(net_);
                net_->curr_op = ZWNET_OP_ADD_NODE;
                ASSERT_EQ(1, zwnet_node_info_sm(net_, ZWNET_NI_EVT_START_DSK, &p));
            }
            ASSERT_TRUE(eventually([&] { return op_ends(ZWNET_OP_ADD_NODE) == 1; }, walk_limit));
            EXPECT_EQ(2, if_versions(7)[0x25].first);
            EXPECT_EQ(7, node(7).pid);
            continue;
        }
        if (i == 15) {
            // The node under interview goes away; the walk goes on without it.
            {
                zwnet_lock lk(net_);
                if (net_->ni_node != 0 && net_->ni_node != 2)
                    zwnet_node_free(net_, net_->ni_node);
            }
            ASSERT_TRUE(eventually([&] { return op_ends(ZWNET_OP_UPDATE) == update_ends + 1; }, walk_limit));
            ++update_ends;
            EXPECT_TRUE(eventually([&] { return idle(); }));
            continue;
        }
        abort_walk();
        EXPECT_TRUE(eventually([&] { return idle(); }));
        ASSERT_NO_FATAL_FAILURE(settle());
        cut += op_ends(ZWNET_OP_UPDATE) == update_ends;
        update_ends = op_ends(ZWNET_OP_UPDATE);
    }
    // Walks were cut while they ran, not only after their end.
    EXPECT_GE(cut, 9u);

    // Whatever a cut walk left in flight has settled: a full walk interviews
    // every node again.
    ASSERT_NO_FATAL_FAILURE(walk_started(all, skip_sleeping));
    ASSERT_TRUE(eventually([&] { return op_ends(ZWNET_OP_UPDATE) == update_ends + 1; }, walk_limit));
    EXPECT_TRUE(eventually([&] { return idle(); }));
    for (const expect_node &e : five) {
        if (e.id != 3) {
            EXPECT_EQ(e.versions, if_versions(e.id)) << int(e.id);
        }
    }
    EXPECT_TRUE(nm->violations().empty());
    for (const app_event &e : rec.of(0))
        EXPECT_FALSE(e.mutex_held);
}

// The network stops in the middle of a walk: exit ends it without its
// completion, and nothing of it runs on a freed network.
TEST_F(IntvCycles, ExitDuringAWalk)
{
    ASSERT_NO_FATAL_FAILURE(walk_started({2, 3, 4, 5, 6}));
    const uint64_t mark = model->next_command_index();
    ASSERT_TRUE(eventually([&] { return model->next_command_index() >= mark + 3; }, 20s));
    zwnet_exit(net_);
    net_ = nullptr;
    EXPECT_EQ(0u, op_ends(ZWNET_OP_UPDATE));
}

}  // namespace

namespace {

// The version query on a node record made by hand (root classes Basic,
// Version, Multilevel Sensor, Binary Switch, Manufacturer Specific, an
// extended class and Multi Command, which the controller offers itself).
class IntvVersion : public Intv {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(start_sim({profile("plus_switch", 2)}));
        zwnet_lock lk(net_);
        zwnode_p n = zwnode_create(net_, 2);
        ASSERT_NE(nullptr, n);
        n->listen = 1;
        for (uint16_t cls : {0x20, 0x86, 0x31, 0x25, 0x72, 0xF101, 0x8F})
            ASSERT_EQ(1, zwif_attach(&n->ep, zwif_create(cls, 1, IF_PROPTY_UNSECURE)));
        // A device record that knows the sensor is of version 2.
        auto ifc = std::make_unique<dev_if_t>();
        ifc->if_type = zwdevcfg_cls_to_type(0x31);
        ifc->usr_def_ver = 2;
        dev_ep_ent_t ent;
        ent.epid = 0;
        ent.intf.push_back(std::move(ifc));
        dev_ep.ent.push_back(std::move(ent));
        dev_rec.ep = &dev_ep;
        n->dev_cfg_rec = &dev_rec;
        n->dev_cfg_valid = 1;
    }
    void TearDown() override
    {
        if (net_ != nullptr) {
            zwnet_lock lk(net_);
            if (zwnode_p n = zwnode_find(&net_->ctl, 2))
                n->dev_cfg_rec = nullptr;
        }
        Intv::TearDown();
    }

    // The version report of `cls`, recorded through the node's VERSION slot.
    int report(uint16_t cls, uint8_t ver, uint32_t skip_ctl, zwif_p *slot_out = nullptr)
    {
        zwnet_lock lk(net_);
        zwnode_p n = zwnode_find(&net_->ctl, 2);
        zwif_p slot = zwif_find_cls(n->ep.intf, 0x86);
        const int rc = zwnet_ver_rpt_get(net_, &slot, nullptr, cls, ver, 0, skip_ctl);
        if (slot_out != nullptr)
            *slot_out = slot;
        return rc;
    }
    std::vector<uint16_t> classes()
    {
        zwnet_lock lk(net_);
        std::vector<uint16_t> out;
        for (zwif_p i = zwnode_find(&net_->ctl, 2)->ep.intf; i != nullptr; i = i->next)
            out.push_back(i->cls);
        return out;
    }
    // The class of each Command Class Version Get that reached the node.
    std::vector<uint8_t> asked()
    {
        std::vector<uint8_t> out;
        for (const sim::node_command &c : model->commands(2))
            if (c.command.size() == 3 && c.command[0] == 0x86 && c.command[1] == 0x13)
                out.push_back(c.command[2]);
        return out;
    }

    dev_ep_t dev_ep;
    dev_rec_t dev_rec{0, 0, 0, 0, nullptr};
};

TEST_F(IntvVersion, RecordsAVersionAndAsksTheNextClass)
{
    const std::vector<uint16_t> order{0x20, 0x86, 0x31, 0x25, 0x72, 0xF101, 0x8F};
    struct step {
        const char *what;
        uint16_t cls;
        uint8_t ver;
        uint32_t skip_ctl;
        int rc;
        std::vector<uint8_t> asked;  // all Gets so far
    };
    const step steps[] = {
        // Raised to version 3 in place; the next Get is of the class after it.
        {"higher version", 0x25, 3, 0, 0, {0x72}},
        // Version 0 from the device, 2 from its device record: raised to 2.
        {"device record", 0x31, 0, 0, 0, {0x72, 0x25}},
        // Extended classes and, with the flag, the controller's own are skipped.
        {"skip the controller's classes", 0x72, 1, 1, 1, {0x72, 0x25}},
        {"ask the controller's classes", 0x72, 1, 0, 0, {0x72, 0x25, 0x8F}},
        {"the last class", 0x8F, 1, 0, 1, {0x72, 0x25, 0x8F}},
        {"a class the node lacks", 0x26, 1, 0, ZW_ERR_INTF_NOT_FOUND, {0x72, 0x25, 0x8F}},
    };
    for (const step &s : steps) {
        SCOPED_TRACE(s.what);
        EXPECT_EQ(s.rc, report(s.cls, s.ver, s.skip_ctl));
        ASSERT_TRUE(eventually([&] { return asked().size() >= s.asked.size(); }));
        EXPECT_EQ(s.asked, asked());
        EXPECT_EQ(order, classes());
    }
    const auto v = if_versions(2);
    EXPECT_EQ((std::pair<int, int>{3, 3}), v.at(0x25));
    EXPECT_EQ((std::pair<int, int>{2, 2}), v.at(0x31));
    EXPECT_EQ((std::pair<int, int>{1, 1}), v.at(0x72));
}

TEST_F(IntvVersion, VersionItselfUpgradedMovesTheSlot)
{
    zwif_p slot = nullptr;
    EXPECT_EQ(0, report(0x86, 3, 0, &slot));
    zwnet_lock lk(net_);
    zwif_p now = zwif_find_cls(zwnode_find(&net_->ctl, 2)->ep.intf, 0x86);
    EXPECT_EQ(now, slot);
    EXPECT_EQ(3, now->ver);
}

TEST_F(IntvVersion, StepsThatCannotSendOrMayNotAsk)
{
    zwnet_lock lk(net_);
    zwnode_p n = zwnode_find(&net_->ctl, 2);
    zwif_p mc = zwif_create(0x60, 1, IF_PROPTY_UNSECURE);
    ASSERT_EQ(1, zwif_attach(&n->ep, mc));
    const size_t logged = log_count("zwnet_sm_inst_get: extended command class UNSUPPORTED");
    EXPECT_EQ(ZW_ERR_FAILED, zwnet_sm_inst_get(net_, mc, 0xF101));
    EXPECT_EQ(logged + 1, log_count("zwnet_sm_inst_get: extended command class UNSUPPORTED"));
    EXPECT_EQ(ZWNET_NI_IDLE, net_->ni_state);

    // A node without an address: its wake-up Get cannot go, the interview
    // still waits in the wake-up state for its step timer.
    zwnode_p lost = zwnode_create(net_, 9);
    ASSERT_NE(nullptr, lost);
    zwif_p wk = zwif_create(0x84, 2, IF_PROPTY_UNSECURE);
    ASSERT_EQ(1, zwif_attach(&lost->ep, wk));
    EXPECT_EQ(0, zwnet_sm_wkup_get(net_, wk));
    EXPECT_EQ(ZWNET_NI_WKUP, net_->ni_state);
    EXPECT_NE(0, net_->ni_tmr);
    zwnet_node_info_sm_stop(net_);
}

}  // namespace

namespace {

// A gateway that answers multi-channel questions itself: endpoints,
// capabilities and aggregated members come from its network-management
// answers, one capability per endpoint, and the node is not asked.
TEST_F(Intv, MultiChannelInformationFromTheGateway)
{
    ASSERT_NO_FATAL_FAILURE(start_sim({profile("multi_channel", 4)}));
    {
        zwnet_lock lk(net_);
        net_->feature = 0x02;
    }
    ASSERT_EQ(1, walk({4}));
    ASSERT_TRUE(eventually([&] { return op_ends(ZWNET_OP_UPDATE) == 1; }, walk_limit));
    size_t ep_gets = 0, cap_gets = 0, aggr_gets = 0;
    for (const sim::nm_request &r : nm->requests()) {
        if (r.command.size() < 2 || r.command[0] != 0x52)
            continue;
        ep_gets += r.command[1] == 0x05;
        cap_gets += r.command[1] == 0x07;
        aggr_gets += r.command[1] == 0x09;
    }
    EXPECT_EQ(1u, ep_gets);
    EXPECT_EQ(2u, cap_gets);
    EXPECT_EQ(1u, aggr_gets);
    for (const sim::node_command &c : model->commands(4))
        EXPECT_NE(0x60, c.command[0]) << sim::hex_text(c.command);
    for (uint8_t ep : {1, 2})
        EXPECT_TRUE(if_versions(4, ep).count(0x25)) << int(ep);
    zwep_desc_t aggr{};
    ASSERT_EQ(0, zwnet_ep_desc_get(net_, 4, 3, &aggr));
    EXPECT_EQ(2, aggr.aggr_ep_cnt);
    EXPECT_TRUE(nm->violations().empty());
}

}  // namespace
