// The calls of Configuration, Powerlevel, Node Naming, Wake Up and
// Association Command Configuration: a table of (call, arguments) -> result,
// frame and operation code, read back from a sleeping node's queue; and
// round trips against simulated nodes over loopback, where a get's report
// reaches the callback (the wake-up record whole, after the library asked
// for the capabilities itself).
#include "../net/hc_test_support.h"

#include "hcapi/core/zwsend.h"
#include "hcapi/include/zwif_mgmt.h"
#include "sim/sim_node.h"

#include <cstring>

namespace {

using namespace hc_test;

enum : uint8_t { n_sleeper = 9, n_device = 5 };

struct queued_cmd {
    std::vector<uint8_t> frame;
    uint16_t op;
    uint8_t op_cnt;
};

class MgmtCalls : public HcNet {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(
            start({10, {{n_sleeper, false, false, true, false, false, {0x20, 0x70, 0x73, 0x77, 0x84, 0x9B}, 0}}}));
    }

    std::vector<queued_cmd> queued()
    {
        zwnet_lock lk(net_);
        zwnode_p n = zwnode_find(&net_->ctl, n_sleeper);
        std::vector<queued_cmd> out;
        for (const auto &c : n->cmd_q)
            out.push_back({c->cmd, c->op, c->op_cnt});
        return out;
    }
    void clear()
    {
        zwnode_desc_t d = node(n_sleeper);
        ASSERT_EQ(0, zwnode_cmd_q_cancel(&d));
    }
};

void on_config(zwif_desc_t *, const zwif_config_t *) {}
void on_wakeup(zwif_desc_t *, const zwif_wakeup_t *) {}
void on_cmd_sup(zwif_desc_t *, const zwif_cmd_rec_sup_t *) {}
void on_grp_cmd(zwif_desc_t *, uint8_t, uint8_t, const uint8_t *, uint8_t) {}

TEST_F(MgmtCalls, EachCallSendsItsFrameWithItsOperationCode)
{
    struct call_case {
        const char *name;
        uint16_t cls;
        std::function<int(const zwif_desc_t *)> call;
        int rc;
        std::vector<uint8_t> frame;  // empty: nothing sent
        uint16_t op;
    };
    const uint8_t cmd41[41] = {0x25, 0x01, 0xFF};
    const call_case cases[] = {
        {"config set 2 bytes", 0x70,
         [](auto d) {
             const zwif_config_t p{7, 2, {0x01, 0x2C}, 0};
             return zwif_config_set(d, &p);
         },
         1, {0x70, 0x04, 0x07, 0x02, 0x01, 0x2C}, 3},
        {"config set to default", 0x70,
         [](auto d) {
             const zwif_config_t p{7, 4, {0, 0, 0, 9}, 1};
             return zwif_config_set(d, &p);
         },
         1, {0x70, 0x04, 0x07, 0x84, 0x00, 0x00, 0x00, 0x09}, 3},
        {"config set of size 3", 0x70,
         [](auto d) {
             const zwif_config_t p{7, 3, {1, 2, 3}, 0};
             return zwif_config_set(d, &p);
         },
         ZW_ERR_VALUE, {}, 0},
        {"config get", 0x70, [](auto d) { return zwif_config_get(d, 13); }, 1, {0x70, 0x05, 0x0D}, 2},
        {"config setter", 0x70, [](auto d) { return zwif_config_rpt_set(d, on_config); }, 0, {}, 0},
        {"power set", 0x73, [](auto d) { return zwif_power_lvl_set(d, 9, 30); }, 1, {0x73, 0x01, 0x09, 0x1E}, 87},
        {"power set level 10", 0x73, [](auto d) { return zwif_power_lvl_set(d, 10, 30); }, ZW_ERR_VALUE, {}, 0},
        {"power set no time", 0x73, [](auto d) { return zwif_power_lvl_set(d, 1, 0); }, ZW_ERR_VALUE, {}, 0},
        {"power get", 0x73, [](auto d) { return zwif_power_lvl_get(d); }, 1, {0x73, 0x02}, 85},
        {"power test set", 0x73, [](auto d) { return zwif_power_lvl_test_set(d, 4, 2, 0x0102); }, 1,
         {0x73, 0x04, 0x04, 0x02, 0x01, 0x02}, 88},
        {"power test of node 0", 0x73, [](auto d) { return zwif_power_lvl_test_set(d, 0, 2, 1); }, ZW_ERR_VALUE, {},
         0},
        {"power test of no frames", 0x73, [](auto d) { return zwif_power_lvl_test_set(d, 4, 2, 0); }, ZW_ERR_VALUE,
         {}, 0},
        {"power test get", 0x73, [](auto d) { return zwif_power_lvl_test_get(d); }, 1, {0x73, 0x05}, 86},
        {"wake up set", 0x84, [](auto d) { return zwif_wakeup_set(d, 0x123456, 1); }, 1,
         {0x84, 0x04, 0x12, 0x34, 0x56, 0x01}, 22},
        {"wake up set, no node", 0x84, [](auto d) { return zwif_wakeup_set(d, 3600, 0); }, 1,
         {0x84, 0x04, 0x00, 0x0E, 0x10, 0xFF}, 22},
        {"wake up set past 24 bits", 0x84, [](auto d) { return zwif_wakeup_set(d, 0x1000000, 1); }, ZW_ERR_VALUE, {},
         0},
        {"wake up get", 0x84, [](auto d) { return zwif_wakeup_get(d, on_wakeup); }, 1, {0x84, 0x05}, 21},
        {"records supported get", 0x9B, [](auto d) { return zwif_group_cmd_sup_get(d, on_cmd_sup); }, 1,
         {0x9B, 0x01}, 8},
        {"command set", 0x9B,
         [](auto d) {
             const uint8_t cmd[3] = {0x25, 0x01, 0xFF};
             return zwif_group_cmd_set(d, 1, 5, cmd, 3);
         },
         1, {0x9B, 0x03, 0x01, 0x05, 0x03, 0x25, 0x01, 0xFF}, 7},
        {"command set of 41 bytes", 0x9B, [&](auto d) { return zwif_group_cmd_set(d, 1, 5, cmd41, 41); }, 1, {}, 7},
        {"command set of 42 bytes", 0x9B,
         [&](auto d) {
             uint8_t cmd42[42] = {};
             return zwif_group_cmd_set(d, 1, 5, cmd42, 42);
         },
         ZW_ERR_VALUE, {}, 0},
        {"command set of group 0", 0x9B, [](auto d) { return zwif_group_cmd_set(d, 0, 5, nullptr, 0); },
         ZW_ERR_VALUE, {}, 0},
        {"command set to node 0", 0x9B, [](auto d) { return zwif_group_cmd_set(d, 1, 0, nullptr, 0); },
         ZW_ERR_VALUE, {}, 0},
        {"command get", 0x9B, [](auto d) { return zwif_group_cmd_get(d, 2, 5, on_grp_cmd); }, 1,
         {0x9B, 0x04, 0x02, 0x05}, 6},
        {"command get of node 0", 0x9B, [](auto d) { return zwif_group_cmd_get(d, 2, 0, on_grp_cmd); },
         ZW_ERR_VALUE, {}, 0},
        {"config call on powerlevel", 0x73, [](auto d) { return zwif_config_get(d, 1); }, ZW_ERR_CLASS_NOT_FOUND, {},
         0},
        {"wake up call on basic", 0x20, [](auto d) { return zwif_wakeup_set(d, 1, 1); }, ZW_ERR_CLASS_NOT_FOUND, {},
         0},
        {"command set on configuration", 0x70, [](auto d) { return zwif_group_cmd_set(d, 1, 1, nullptr, 0); },
         ZW_ERR_CLASS_NOT_FOUND, {}, 0},
    };
    for (const call_case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(clear());
        zwif_desc_t d = intf(n_sleeper, c.cls);
        EXPECT_EQ(c.rc, c.call(&d));
        const auto q = queued();
        if (c.rc < 0 || (c.frame.empty() && c.op == 0)) {
            EXPECT_TRUE(q.empty());
            continue;
        }
        ASSERT_EQ(1u, q.size());
        if (!c.frame.empty()) {
            EXPECT_EQ(c.frame, q[0].frame);
        }
        EXPECT_EQ(c.op, q[0].op);
        EXPECT_EQ(1, q[0].op_cnt);
    }
    // The 41-byte command whole behind its header.
    ASSERT_NO_FATAL_FAILURE(clear());
    zwif_desc_t d = intf(n_sleeper, 0x9B);
    ASSERT_EQ(1, zwif_group_cmd_set(&d, 1, 5, cmd41, 41));
    const auto q = queued();
    ASSERT_EQ(1u, q.size());
    ASSERT_EQ(46u, q[0].frame.size());
    EXPECT_EQ(0, std::memcmp(q[0].frame.data() + 5, cmd41, 41));
}

TEST_F(MgmtCalls, NameAndLocationGoOutAsOneOperationCutToWholeCharacters)
{
    zwep_desc_t ep{};
    ASSERT_EQ(0, zwnet_ep_desc_get(net_, n_sleeper, 0, &ep));
    zwep_nameloc_t nl{};
    // 15 bytes of ASCII and a two-byte character across the 16-byte limit.
    std::strcpy(nl.name, "Living room lam\xC3\xA9");
    std::strcpy(nl.loc, "Hall");
    EXPECT_EQ(1, zwep_nameloc_set(&ep, &nl));
    const auto q = queued();
    ASSERT_EQ(2u, q.size());
    const std::string name = "Living room lam";
    std::vector<uint8_t> f1{0x77, 0x01, 0x00};
    f1.insert(f1.end(), name.begin(), name.end());
    EXPECT_EQ(f1, q[0].frame);
    EXPECT_EQ((std::vector<uint8_t>{0x77, 0x04, 0x00, 'H', 'a', 'l', 'l'}), q[1].frame);
    for (size_t i = 0; i < q.size(); ++i) {
        EXPECT_EQ(17, q[i].op) << i;
        EXPECT_EQ(i + 1, q[i].op_cnt) << "the location is the operation's second frame";
    }
    // The endpoint keeps the whole name.
    ASSERT_EQ(0, zwnet_ep_desc_get(net_, n_sleeper, 0, &ep));
    EXPECT_STREQ("Living room lam\xC3\xA9", ep.name);

    // The call alone refuses another class.
    zwif_desc_t cfg = intf(n_sleeper, 0x70);
    EXPECT_EQ(ZW_ERR_CLASS_NOT_FOUND, zwif_nameloc_snd(&cfg, &nl));
}

// --- against simulated nodes -----------------------------------------------------

std::mutex g_mtx;
std::vector<std::string> g_seen;
std::atomic<zwnet_p> g_net{nullptr};

void seen(const std::string &s)
{
    zwnet_p net = g_net.load();
    std::lock_guard lk(g_mtx);
    g_seen.push_back(net != nullptr && zwnet_lck_depth(net) != 0 ? "under the mutex: " + s : s);
}
std::vector<std::string> seen_all()
{
    std::lock_guard lk(g_mtx);
    return g_seen;
}

void sim_config(zwif_desc_t *, const zwif_config_t *p)
{
    char b[64];
    std::snprintf(b, sizeof b, "config %u size %u: %02X %02X", p->param_num, p->size, p->data[0], p->data[1]);
    seen(b);
}
void sim_power(zwif_desc_t *, uint8_t lvl, uint8_t tmo)
{
    seen("power " + std::to_string(lvl) + " " + std::to_string(tmo));
}
void sim_wakeup(zwif_desc_t *, const zwif_wakeup_t *w)
{
    char b[96];
    std::snprintf(b, sizeof b, "wakeup %u..%u def %u step %u cur %u node %u", w->min, w->max, w->def,
                  w->interval_step, w->cur, w->node_id);
    seen(b);
}

void sim_groups(zwif_desc_t *, uint8_t n, int valid)
{
    seen("groups " + std::to_string(n) + " valid " + std::to_string(valid));
}

class MgmtDevices : public HcNet {
protected:
    void SetUp() override
    {
        {
            std::lock_guard lk(g_mtx);
            g_seen.clear();
        }
        ASSERT_NO_FATAL_FAILURE(start({10, {{n_device, true, false, false, false, false, {0x70, 0x73, 0x84, 0x85}, 0}}}));
        g_net = net_;
        model = std::make_unique<sim::node_model>(*gw);
        sim::node_profile p;
        p.node_id = n_device;
        p.wake_up_interval_s = 600;
        p.classes = {{sim::cc_configuration, 1, {}}, {sim::cc_powerlevel, 1, {}}, {sim::cc_wake_up, 2, {}}};
        ASSERT_EQ(0, model->add(p));
        model->set_unsolicited_destination(sim::endpoint{"127.0.0.1", zwnet_host_port_get(net_)});
    }
    void TearDown() override
    {
        HcNet::TearDown();
        model.reset();
        g_net = nullptr;
    }
    std::unique_ptr<sim::node_model> model;
};

TEST_F(MgmtDevices, SetThenGetReadsTheDeviceBack)
{
    zwif_desc_t cfg = intf(n_device, 0x70), pwr = intf(n_device, 0x73);
    ASSERT_EQ(0, zwif_config_rpt_set(&cfg, sim_config));
    ASSERT_EQ(0, zwif_power_lvl_rpt_set(&pwr, sim_power));
    const zwif_config_t p{1, 2, {0x01, 0x2C}, 0};
    ASSERT_GE(zwif_config_set(&cfg, &p), 0);
    ASSERT_GE(zwif_config_get(&cfg, 1), 0);
    ASSERT_TRUE(eventually([] { return seen_all().size() >= 1; }));
    ASSERT_GE(zwif_power_lvl_set(&pwr, 3, 20), 0);
    ASSERT_GE(zwif_power_lvl_get(&pwr), 0);
    ASSERT_TRUE(eventually([] { return seen_all().size() >= 2; }));
    EXPECT_EQ((std::vector<std::string>{"config 1 size 2: 01 2C", "power 3 20"}), seen_all());
}

TEST_F(MgmtDevices, WakeUpGetDeliversTheWholeRecordOnceTheCapabilitiesCame)
{
    zwif_desc_t wk = intf(n_device, 0x84);
    ASSERT_EQ(2, wk.ver);
    const uint64_t from = gw->received().size();
    ASSERT_GE(zwif_wakeup_get(&wk, sim_wakeup), 0);
    ASSERT_TRUE(eventually([] { return !seen_all().empty(); }));
    // The library asked for the capabilities itself, after the interval.
    EXPECT_TRUE(wait_cmd(n_device, {0x84, 0x05}, 5s, from));
    EXPECT_TRUE(wait_cmd(n_device, {0x84, 0x09}, 5s, from));
    EXPECT_EQ(std::vector<std::string>{"wakeup 60..86400 def 600 step 60 cur 600 node 1"}, seen_all());

    // Now that they are known, an interval report calls back at once.
    ASSERT_GE(zwif_wakeup_get(&wk, sim_wakeup), 0);
    ASSERT_TRUE(eventually([] { return seen_all().size() >= 2; }));
    EXPECT_EQ("wakeup 60..86400 def 600 step 60 cur 600 node 1", seen_all()[1]);
}

TEST_F(MgmtDevices, TheNumberOfGroupsIsDeliveredFromTheCache)
{
    zwif_desc_t as = intf(n_device, 0x85);
    const auto cb = reinterpret_cast<void (*)()>(sim_groups);
    // Nothing known yet: asked anyway, the callback hears zeros, not valid.
    EXPECT_EQ(ZW_ERR_NO_CACHE_AVAIL, zwif_cache_rpt_req(&as, cb, 3, 0, 0));
    EXPECT_EQ(ZW_ERR_NO_CACHE_AVAIL, zwif_cache_rpt_req(&as, cb, 3, 0, 1));
    ASSERT_TRUE(eventually([] { return seen_all().size() >= 1; }));

    ASSERT_EQ(0, zwif_set_report(&as, reinterpret_cast<zwif_rpt_fn>(sim_groups), 0x06));
    ASSERT_GE(from_node(n_device, {0x85, 0x06, 0x04}), 0);
    ASSERT_TRUE(eventually([] { return seen_all().size() >= 2; }));
    EXPECT_EQ(ZW_ERR_CACHE_AVAIL, zwif_cache_rpt_req(&as, cb, 3, 0, 0));
    ASSERT_TRUE(eventually([] { return seen_all().size() >= 3; }));
    EXPECT_EQ((std::vector<std::string>{"groups 0 valid 0", "groups 4 valid 1", "groups 4 valid 1"}), seen_all());
}

}  // namespace
