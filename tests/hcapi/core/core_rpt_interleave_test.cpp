// Multi-frame reports of two simulated nodes whose frames reach the library
// interleaved (over real loopback UDP): each node's report is gathered on its
// own interface and handed on once, whole, with its own members, even where
// both nodes answer for the same group with the same maximum. Association
// and Security reports come in frames that count down; IP Association ones
// one member per frame, asked for index by index.
#include "../net/hc_test_support.h"

#include "hcapi/include/zwif_mgmt.h"
#include "sim/sim_node.h"

#include <algorithm>
#include <set>

namespace {

using namespace hc_test;

enum : uint8_t { n_a = 5, n_b = 9 };
// Nodes that IP Association members may name (besides the gateway, 1): the
// library knows their addresses. Node ids 25 and up are unknown to it.
constexpr uint8_t known_first = 20, known_last = 24;

struct group_rpt {
    uint8_t node = 0;
    uint8_t grp = 0;
    uint8_t max = 0;
    std::vector<uint8_t> members;  // node ids; endpoint ids must be 0
    bool ep_zero = true;
    bool mutex_held = false;
};

std::mutex g_mtx;
std::vector<group_rpt> g_rpts;
std::atomic<zwnet_p> g_net{nullptr};

void on_group(zwif_desc_t *intf, uint8_t grp, uint8_t max, uint16_t cnt, const zwif_assoc_ent_t *ents)
{
    zwnet_p net = g_net.load();
    group_rpt r{intf->nodeid, grp, max, {}, true, net != nullptr && zwnet_lck_depth(net) != 0};
    for (uint16_t i = 0; i < cnt; ++i) {
        r.members.push_back(ents[i].node_id);
        r.ep_zero = r.ep_zero && ents[i].ep_id == 0;
    }
    std::lock_guard lk(g_mtx);
    g_rpts.push_back(std::move(r));
}

std::vector<group_rpt> rpts()
{
    std::lock_guard lk(g_mtx);
    return g_rpts;
}

struct sec_rpt {
    uint8_t node = 0;
    bool null_list = false;
    std::vector<uint16_t> classes;
    bool mutex_held = false;
};
std::vector<sec_rpt> g_secs;

void on_sec(zwif_desc_t *intf, const uint16_t *cls, uint8_t cnt)
{
    zwnet_p net = g_net.load();
    sec_rpt r{intf->nodeid, cls == nullptr, {}, net != nullptr && zwnet_lck_depth(net) != 0};
    if (cls != nullptr)
        r.classes.assign(cls, cls + cnt);
    std::lock_guard lk(g_mtx);
    g_secs.push_back(std::move(r));
}

std::vector<sec_rpt> secs()
{
    std::lock_guard lk(g_mtx);
    return g_secs;
}

struct ip_rpt {
    uint8_t node = 0;
    uint8_t grp = 0;
    uint8_t total = 0;
    std::vector<uint8_t> members;
    bool ep_zero = true;
    bool mutex_held = false;
};
std::vector<ip_rpt> g_ips;

void on_ip(zwif_desc_t *intf, uint8_t grp, uint8_t total, uint16_t cnt, const zwif_assoc_ent_t *ents)
{
    zwnet_p net = g_net.load();
    ip_rpt r{intf->nodeid, grp, total, {}, true, net != nullptr && zwnet_lck_depth(net) != 0};
    for (uint16_t i = 0; i < cnt; ++i) {
        r.members.push_back(ents[i].node_id);
        r.ep_zero = r.ep_zero && ents[i].ep_id == 0;
    }
    std::lock_guard lk(g_mtx);
    g_ips.push_back(std::move(r));
}

std::vector<ip_rpt> ips()
{
    std::lock_guard lk(g_mtx);
    return g_ips;
}

void clear_rpts()
{
    std::lock_guard lk(g_mtx);
    g_rpts.clear();
    g_secs.clear();
    g_ips.clear();
}

// The nodes of frames that a and b sent in turn, frame i of each before
// frame i + 1 of either, as the simulator releases kept answers.
std::vector<uint8_t> in_turn(size_t frames_a, size_t frames_b)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < std::max(frames_a, frames_b); ++i) {
        if (i < frames_a)
            out.push_back(n_a);
        if (i < frames_b)
            out.push_back(n_b);
    }
    return out;
}

class Interleaved : public HcNet {
protected:
    void SetUp() override
    {
        clear_rpts();
        config c;
        c.nodes = {
            {n_a, true, false, false, false, false, {0x85, 0x98, 0x5C}, 0},
            {n_b, true, false, false, false, false, {0x85, 0x98, 0x5C}, 0},
        };
        for (uint8_t id = known_first; id <= known_last; ++id)
            c.nodes.push_back({id, true, false, false, false, false, {0x20}, 0});
        ASSERT_NO_FATAL_FAILURE(start(c));
        g_net = net_;
        model = std::make_unique<sim::node_model>(*gw);
        for (uint8_t id : {n_a, n_b}) {
            sim::node_profile p;
            p.node_id = id;
            p.classes = {{sim::cc_association, 1, {}}, {sim::cc_security, 1, {}}, {sim::cc_ip_association, 1, {}}};
            ASSERT_EQ(0, model->add(p));
            ASSERT_EQ(0, model->set_answers(id, sim::answer_mode::held));
            const std::pair<uint16_t, zwif_rpt_fn> cbs[] = {{0x85, reinterpret_cast<zwif_rpt_fn>(on_group)},
                                                            {0x98, reinterpret_cast<zwif_rpt_fn>(on_sec)},
                                                            {0x5C, reinterpret_cast<zwif_rpt_fn>(on_ip)}};
            for (auto [cls, cb] : cbs) {
                zwif_desc_t d = intf(id, cls);
                ASSERT_EQ(0, zwif_set_report(&d, cb, 0x03));
            }
        }
    }
    void TearDown() override
    {
        HcNet::TearDown();
        model.reset();
        g_net = nullptr;
    }

    // The Reports of a class that nodes sent, in the order they went out.
    std::vector<sim::recorded_frame> reports_sent(uint64_t from, uint8_t cls) const
    {
        std::vector<sim::recorded_frame> out;
        for (const sim::recorded_frame &r : gw->sent()) {
            const std::vector<uint8_t> &cmd = r.frame.packet.command;
            if (r.index >= from && r.frame.kind == sim::frame_kind::packet && cmd.size() >= 2 && cmd[0] == cls &&
                cmd[1] == 0x03)
                out.push_back(r);
        }
        return out;
    }
    std::vector<uint8_t> report_senders(uint64_t from, uint8_t cls = 0x85) const
    {
        std::vector<uint8_t> out;
        for (const sim::recorded_frame &r : reports_sent(from, cls))
            out.push_back(r.node_id);
        return out;
    }
    uint64_t sent_end() const
    {
        uint64_t end = 0;
        for (const sim::recorded_frame &r : gw->sent())
            end = std::max(end, r.index + 1);
        return end;
    }

    std::unique_ptr<sim::node_model> model;
};

// The Association state of a simulated node: {groups, maximum, first member,
// members, frames}.
struct node_case {
    uint8_t id;
    std::vector<uint8_t> state;
};

struct interleave_case {
    const char *name;
    uint8_t grp;
    node_case a, b;
    std::vector<uint8_t> senders;  // the nodes of the report frames, in order
};

TEST_F(Interleaved, EachNodesReportArrivesWholeAndOnce)
{
    const interleave_case cases[] = {
        {"same group and maximum, three frames each", 1, {n_a, {1, 5, 20, 6, 3}}, {n_b, {1, 5, 40, 6, 3}},
         {n_a, n_b, n_a, n_b, n_a, n_b}},
        {"three frames against two", 2, {n_a, {3, 10, 20, 7, 3}}, {n_b, {2, 8, 40, 4, 2}},
         {n_a, n_b, n_a, n_b, n_a}},
        {"two frames against one", 1, {n_a, {1, 4, 100, 2, 1}}, {n_b, {1, 4, 120, 3, 2}}, {n_a, n_b, n_b}},
    };
    for (const interleave_case &c : cases) {
        SCOPED_TRACE(c.name);
        clear_rpts();
        ASSERT_EQ(0, model->set_values(n_a, sim::cc_association, c.a.state));
        ASSERT_EQ(0, model->set_values(n_b, sim::cc_association, c.b.state));
        const uint64_t cmd_from = model->next_command_index();
        const uint64_t sent_from = sent_end();
        // Both Gets reach their nodes before either answers.
        for (uint8_t id : {n_a, n_b}) {
            zwif_desc_t d = intf(id, 0x85);
            ASSERT_GE(zwif_get_report_simple(&d, &c.grp, 1, 0x02, nullptr), 0);
            ASSERT_TRUE(model->wait_command(id, sim::cc_association, 0x02, 10s, cmd_from));
        }
        ASSERT_EQ(2u, model->release_answers());
        ASSERT_TRUE(eventually([] { return rpts().size() >= 2; }));
        EXPECT_EQ(c.senders, report_senders(sent_from)) << "the frames went out interleaved";

        for (const node_case &n : {c.a, c.b}) {
            SCOPED_TRACE(static_cast<int>(n.id));
            std::vector<uint8_t> want;
            for (uint8_t i = 0; i < n.state[3]; ++i)
                want.push_back(static_cast<uint8_t>(n.state[2] + i));
            std::vector<group_rpt> mine;
            for (const group_rpt &r : rpts())
                if (r.node == n.id)
                    mine.push_back(r);
            ASSERT_EQ(1u, mine.size()) << "one callback per node";
            EXPECT_EQ(c.grp, mine[0].grp);
            EXPECT_EQ(n.state[1], mine[0].max);
            EXPECT_EQ(want, mine[0].members);
            EXPECT_TRUE(mine[0].ep_zero);
            EXPECT_FALSE(mine[0].mutex_held);
        }
    }
}

// One-byte class ids from 0x20 on, none of them the mark of controlled
// classes (0xEF) or the first byte of an extended class (0xF1 up): n of
// them, repeating after 200.
std::vector<uint8_t> long_list(size_t n)
{
    std::vector<uint8_t> out;
    for (size_t k = 0; k < n; ++k)
        out.push_back(static_cast<uint8_t>(0x20 + k % 200));
    return out;
}

// The Security state of a simulated node: its list in so many frames.
struct sec_node {
    uint8_t frames;
    std::vector<uint8_t> list;
};

struct sec_case {
    const char *name;
    sec_node a, b;
    std::vector<uint16_t> want_a, want_b;  // empty: the callback has (null, 0)
};

TEST_F(Interleaved, EachNodesSecureClassListArrivesWholeAndOnce)
{
    const std::vector<uint8_t> too_long = long_list(300);
    const std::vector<uint16_t> cut(too_long.begin(), too_long.begin() + 255);
    const sec_case cases[] = {
        {"three frames against two", {3, {0x25, 0x26, 0x31, 0x32, 0x62, 0x71}}, {2, {0x20, 0x86, 0x72}},
         {0x25, 0x26, 0x31, 0x32, 0x62, 0x71}, {0x20, 0x86, 0x72}},
        {"four frames, the first empty, against one", {4, {0x25, 0x26, 0x27}}, {1, {0x62}}, {0x25, 0x26, 0x27},
         {0x62}},
        {"an extended class split between two frames", {2, {0x25, 0xF1, 0x05, 0x26}}, {3, {0x5E, 0x86, 0x72}},
         {0x25, 0xF105, 0x26}, {0x5E, 0x86, 0x72}},
        {"an empty list against two frames", {1, {}}, {2, {0x25, 0x26}}, {}, {0x25, 0x26}},
        // 300 bytes in 12 frames: the first 255 are kept, the other node's
        // list is untouched by the overflow.
        {"more bytes than the list holds", {12, too_long}, {2, {0x62, 0x63}}, cut, {0x62, 0x63}},
    };
    for (const sec_case &c : cases) {
        SCOPED_TRACE(c.name);
        clear_rpts();
        for (auto [id, n] : {std::pair{n_a, c.a}, std::pair{n_b, c.b}}) {
            std::vector<uint8_t> state{n.frames};
            state.insert(state.end(), n.list.begin(), n.list.end());
            ASSERT_EQ(0, model->set_values(id, sim::cc_security, state));
        }
        const uint64_t cmd_from = model->next_command_index();
        const uint64_t sent_from = sent_end();
        for (uint8_t id : {n_a, n_b}) {
            zwif_desc_t d = intf(id, 0x98);
            ASSERT_GE(zwif_get_report_simple(&d, nullptr, 0, 0x02, nullptr), 0);
            ASSERT_TRUE(model->wait_command(id, sim::cc_security, 0x02, 10s, cmd_from));
        }
        ASSERT_EQ(2u, model->release_answers());
        ASSERT_TRUE(eventually([] { return secs().size() >= 2; }));
        EXPECT_EQ(in_turn(c.a.frames, c.b.frames), report_senders(sent_from, 0x98))
            << "the frames went out interleaved";

        for (auto [id, want] : {std::pair{n_a, c.want_a}, std::pair{n_b, c.want_b}}) {
            SCOPED_TRACE(static_cast<int>(id));
            std::vector<sec_rpt> mine;
            for (const sec_rpt &r : secs())
                if (r.node == id)
                    mine.push_back(r);
            ASSERT_EQ(1u, mine.size()) << "one callback per node";
            EXPECT_EQ(want, mine[0].classes);
            EXPECT_EQ(want.empty(), mine[0].null_list);
            EXPECT_FALSE(mine[0].mutex_held);
        }
    }
}

// The IP Association state of a simulated node, {first member, members},
// and the node ids that the callback should list.
struct ip_node {
    uint8_t first;
    uint8_t members;
    std::vector<uint8_t> want;
};

struct ip_case {
    const char *name;
    uint8_t grp;
    ip_node a, b;
};

TEST_F(Interleaved, EachNodesIpAssociationArrivesWholeAndOnce)
{
    {
        zwnet_lock lk(net_);
        ASSERT_EQ(1, net_->ctl.nodeid) << "the gateway's own address names node 1";
    }
    const ip_case cases[] = {
        {"three members each, same group", 1, {20, 3, {20, 21, 22}}, {22, 3, {22, 23, 24}}},
        {"four members against one", 2, {21, 4, {21, 22, 23, 24}}, {20, 1, {20}}},
        {"no members against two", 1, {20, 0, {}}, {23, 2, {23, 24}}},
        // Nodes 25 and 26 are unknown, node 2 too; the gateway is node 1.
        {"members that name no node are left out", 2, {23, 4, {23, 24}}, {1, 2, {1}}},
    };
    for (const ip_case &c : cases) {
        SCOPED_TRACE(c.name);
        clear_rpts();
        ASSERT_EQ(0, model->set_values(n_a, sim::cc_ip_association, {2, c.a.first, c.a.members}));
        ASSERT_EQ(0, model->set_values(n_b, sim::cc_ip_association, {2, c.b.first, c.b.members}));
        const uint64_t cmd_from = model->next_command_index();
        const uint64_t sent_from = sent_end();
        for (uint8_t id : {n_a, n_b}) {
            zwif_desc_t d = intf(id, 0x5C);
            const uint8_t param[2] = {c.grp, 1};
            ASSERT_GE(zwif_get_report_simple(&d, param, 2, 0x02, nullptr), 0);
        }
        // Round r: each node whose group has r members or more (one frame
        // without members) is asked for index r, and both answers go out
        // before either node is asked for the next one.
        const std::pair<uint8_t, ip_node> nodes[] = {{n_a, c.a}, {n_b, c.b}};
        const unsigned rounds = std::max({1u, unsigned(c.a.members), unsigned(c.b.members)});
        for (unsigned r = 1; r <= rounds; ++r) {
            SCOPED_TRACE(r);
            size_t asked = 0;
            for (const auto &[id, n] : nodes) {
                if (r > std::max<unsigned>(n.members, 1))
                    continue;
                const std::vector<uint8_t> get{0x5C, 0x02, c.grp, static_cast<uint8_t>(r)};
                ASSERT_TRUE(model->wait_command(
                    [&, id = id](const sim::node_command &cmd) { return cmd.node_id == id && cmd.command == get; },
                    10s, cmd_from));
                ++asked;
            }
            ASSERT_EQ(asked, model->release_answers());
        }
        ASSERT_TRUE(eventually([] { return ips().size() >= 2; }));
        std::vector<std::pair<uint8_t, uint8_t>> sent;  // (index, node)
        for (const sim::recorded_frame &f : reports_sent(sent_from, 0x5C))
            sent.emplace_back(f.frame.packet.command[3], f.node_id);
        EXPECT_TRUE(std::is_sorted(sent.begin(), sent.end(),
                                   [](const auto &x, const auto &y) { return x.first < y.first; }))
            << "the frames went out interleaved";
        EXPECT_EQ(size_t(std::max<unsigned>(c.a.members, 1) + std::max<unsigned>(c.b.members, 1)), sent.size());
        EXPECT_TRUE(model->violations().empty()) << "never asked beyond the member count";

        for (const auto &[id, n] : nodes) {
            SCOPED_TRACE(static_cast<int>(id));
            std::vector<ip_rpt> mine;
            for (const ip_rpt &r : ips())
                if (r.node == id)
                    mine.push_back(r);
            ASSERT_EQ(1u, mine.size()) << "one callback per node";
            EXPECT_EQ(c.grp, mine[0].grp);
            // The count the node announced, not the members found.
            EXPECT_EQ(std::max<uint8_t>(n.members, 1), mine[0].total);
            EXPECT_EQ(n.want, mine[0].members);
            EXPECT_TRUE(mine[0].ep_zero);
            EXPECT_FALSE(mine[0].mutex_held);
        }
    }
}

}  // namespace
