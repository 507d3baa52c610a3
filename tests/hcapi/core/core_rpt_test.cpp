// Reports from simulated devices over real loopback UDP through command
// reception and the report dispatcher: golden frames give the cache and
// the callbacks (the changed rule, sm before usr, the arrival time), no
// callback runs under the network mutex, a get answers first from the cache
// and then from the device, a delivered set is echoed, and reports stream
// while gets run and a node is removed.
#include "../net/hc_test_support.h"

#include "hcapi/core/zwif_rpt.h"
#include "sim/sim_node.h"

#include <ctime>

namespace {

using namespace hc_test;

enum : uint8_t { n_switch = 5, n_sensor = 8 };

// One report callback as it arrived.
struct rpt_event {
    bool sm = false;  // the interview's callback, else the application's
    uint8_t node = 0;
    uint16_t cls = 0;
    uint8_t value = 0;
    time_t ts = 0;
    bool mutex_held = false;
};

std::mutex g_rpt_mtx;
std::vector<rpt_event> g_rpts;
std::atomic<zwnet_p> g_net{nullptr};
std::function<void()> g_in_cb;  // runs inside the application's callback (set before reports flow)

void record(bool sm, zwif_desc_t *intf, uint8_t value, time_t ts)
{
    zwnet_p net = g_net.load();
    rpt_event e{sm, intf->nodeid, intf->cls, value, ts, net != nullptr && zwnet_lck_depth(net) != 0};
    {
        std::lock_guard lk(g_rpt_mtx);
        g_rpts.push_back(e);
    }
    if (!sm && g_in_cb)
        g_in_cb();
}
void on_usr(zwif_desc_t *intf, uint8_t value, time_t ts) { record(false, intf, value, ts); }
void on_sm(zwif_desc_t *intf, uint8_t value, time_t ts) { record(true, intf, value, ts); }

std::vector<rpt_event> rpts()
{
    std::lock_guard lk(g_rpt_mtx);
    return g_rpts;
}
size_t rpt_count() { return rpts().size(); }

class Reports : public HcNet {
protected:
    void SetUp() override
    {
        {
            std::lock_guard lk(g_rpt_mtx);
            g_rpts.clear();
        }
        g_in_cb = nullptr;
        config c;
        c.nodes = {
            {n_switch, true, false, false, false, false, {0x20, 0x25}, 0},
            {n_sensor, true, false, false, false, false, {0x20, 0x80}, 0},
        };
        ASSERT_NO_FATAL_FAILURE(start(c));
        g_net = net_;
        model = std::make_unique<sim::node_model>(*gw);
        auto sw = sim::builtin_profile("switch", n_switch);
        ASSERT_TRUE(sw);
        sim::node_profile sensor;
        sensor.node_id = n_sensor;
        sensor.classes = {{0x20, 1, {}}, {0x80, 1, {}}};
        ASSERT_EQ(0, model->add(std::vector<sim::node_profile>{*sw, sensor}));
        model->set_unsolicited_destination(sim::endpoint{"127.0.0.1", zwnet_host_port_get(net_)});
    }
    void TearDown() override
    {
        HcNet::TearDown();
        model.reset();
        g_net = nullptr;
        g_in_cb = nullptr;
    }

    void interview(bool on)
    {
        zwnet_lock lk(net_);
        net_->ep_intv_active = on;
    }

    // The single-value cache of an interface: {time, value}, or none.
    std::optional<std::pair<int64_t, uint8_t>> cached(uint8_t node, uint16_t cls)
    {
        zwif_desc_t d = intf(node, cls);
        zwnet_lock lk(net_);
        zwif_p i = zwif_rec_get(&d);
        if (i == nullptr || i->cch_data == nullptr || i->cch_ele_sz != 9 || i->cch_ele_cnt != 1)
            return std::nullopt;
        int64_t t;
        std::memcpy(&t, i->cch_data, 8);
        return std::make_pair(t, static_cast<uint8_t *>(i->cch_data)[8]);
    }

    std::unique_ptr<sim::node_model> model;
};

struct golden_case {
    const char *name;
    uint8_t node;
    std::vector<uint8_t> frame;
    uint16_t cls;
    uint8_t value;
};

TEST_F(Reports, GoldenFramesFillTheCacheAndReachBothCallbacksInOrder)
{
    const golden_case cases[] = {
        {"basic", n_switch, {0x20, /* Basic */ 0x03, /* Report */ 0x63 /* 99 */}, 0x20, 0x63},
        {"switch on", n_switch, {0x25, /* Binary Switch */ 0x03, /* Report */ 0xFF /* on */}, 0x25, 0xFF},
        {"switch v2", n_switch,
         {0x25, /* Binary Switch */ 0x03, /* Report */ 0x00, /* off */ 0xFF, /* target */ 0x01 /* 1 s */}, 0x25,
         0x00},
        {"battery", n_sensor, {0x80, /* Battery */ 0x03, /* Report */ 0x5A /* 90 % */}, 0x80, 0x5A},
    };
    for (const golden_case &c : cases) {
        zwif_desc_t d = intf(c.node, c.cls);
        ASSERT_EQ(0, zwif_set_report(&d, reinterpret_cast<zwif_rpt_fn>(on_usr), 0x03));
        ASSERT_EQ(0, zwif_set_sm_report(&d, reinterpret_cast<zwif_rpt_fn>(on_sm), 0x03));
    }
    interview(true);
    for (const golden_case &c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = rpt_count();
        const time_t sent = std::time(nullptr);
        ASSERT_GE(from_node(c.node, c.frame), 0);
        ASSERT_TRUE(eventually([&] { return rpt_count() >= before + 2; }));
        const auto all = rpts();
        const rpt_event &sm = all[before], &usr = all[before + 1];
        EXPECT_TRUE(sm.sm) << "the interview hears it first";
        EXPECT_FALSE(usr.sm);
        for (const rpt_event *e : {&sm, &usr}) {
            EXPECT_EQ(c.node, e->node);
            EXPECT_EQ(c.cls, e->cls);
            EXPECT_EQ(c.value, e->value);
            EXPECT_GE(e->ts, sent);
            EXPECT_FALSE(e->mutex_held);
        }
        auto entry = cached(c.node, c.cls);
        ASSERT_TRUE(entry);
        EXPECT_EQ(c.value, entry->second);
        EXPECT_EQ(usr.ts, entry->first) << "the callback's time is the cache entry's";
    }
}

TEST_F(Reports, ARepeatReachesOnlyTheInterviewAndAShortFrameNothing)
{
    zwif_desc_t sw = intf(n_switch, 0x25);
    ASSERT_EQ(0, zwif_switch_rpt_set(&sw, on_usr));
    ASSERT_EQ(0, zwif_set_sm_report(&sw, reinterpret_cast<zwif_rpt_fn>(on_sm), 0x03));
    interview(true);
    ASSERT_GE(from_node(n_switch, {0x25, 0x03, 0xFF}), 0);
    ASSERT_TRUE(eventually([&] { return rpt_count() >= 2; }));
    const auto first = cached(n_switch, 0x25);
    ASSERT_TRUE(first);

    ASSERT_GE(from_node(n_switch, {0x25, 0x03, 0xFF}), 0);
    ASSERT_TRUE(eventually([&] { return rpt_count() >= 3; }));
    // A short frame is dropped; a changed value after it shows it left
    // nothing behind.
    ASSERT_GE(from_node(n_switch, {0x25, 0x03}), 0);
    ASSERT_GE(from_node(n_switch, {0x25, 0x03, 0x00}), 0);
    ASSERT_TRUE(eventually([&] { return rpt_count() >= 5; }));
    const auto all = rpts();
    ASSERT_EQ(5u, all.size());
    const bool sm_seq[5] = {true, false, true, true, false};
    const uint8_t val_seq[5] = {0xFF, 0xFF, 0xFF, 0x00, 0x00};
    for (size_t k = 0; k < all.size(); ++k) {
        EXPECT_EQ(sm_seq[k], all[k].sm) << k;
        EXPECT_EQ(val_seq[k], all[k].value) << k;
    }
    EXPECT_GE(all[2].ts, all[0].ts) << "a repeat carries its own arrival time";
    EXPECT_EQ(0x00, cached(n_switch, 0x25)->second);

    // Outside the interview only the application hears changes.
    interview(false);
    ASSERT_GE(from_node(n_switch, {0x25, 0x03, 0xFF}), 0);
    ASSERT_TRUE(eventually([&] { return rpt_count() >= 6; }));
    EXPECT_FALSE(rpts()[5].sm);
}

TEST_F(Reports, SimulatedNodesPushReportsTheSameWay)
{
    zwif_desc_t batt = intf(n_sensor, 0x80), sw = intf(n_switch, 0x25);
    ASSERT_EQ(0, zwif_batt_rpt_set(&batt, on_usr));
    ASSERT_EQ(0, zwif_switch_rpt_set(&sw, on_usr));
    ASSERT_EQ(0, model->set_values(n_sensor, 0x80, {42}));
    ASSERT_EQ(0, model->set_values(n_switch, 0x25, {0xFF}));
    ASSERT_GE(model->send_report(n_sensor, 0x80), 0);
    ASSERT_GE(model->send_report(n_switch, 0x25), 0);
    ASSERT_TRUE(eventually([&] { return rpt_count() >= 2; }));
    std::set<std::pair<uint16_t, uint8_t>> got;
    for (const rpt_event &e : rpts())
        got.insert({e.cls, e.value});
    EXPECT_EQ((std::set<std::pair<uint16_t, uint8_t>>{{0x80, 42}, {0x25, 0xFF}}), got);
}

TEST_F(Reports, AGetAnswersFromTheCacheFirstThenFromTheDevice)
{
    zwif_desc_t sw = intf(n_switch, 0x25);
    ASSERT_EQ(0, zwif_switch_rpt_set(&sw, on_usr));
    ASSERT_GE(from_node(n_switch, {0x25, 0x03, 0xFF}), 0);
    ASSERT_TRUE(eventually([&] { return rpt_count() >= 1; }));
    const int64_t cached_at = cached(n_switch, 0x25)->first;
    // The device has changed meanwhile; the cache does not know yet. Its
    // answer is held back until the cached one has arrived, so that a late
    // callback thread cannot read the cache after the answer updated it.
    ASSERT_EQ(0, model->set_values(n_switch, 0x25, {0x00}));
    ASSERT_EQ(0, model->set_answers(n_switch, sim::answer_mode::never));
    const uint64_t from = model->next_command_index();
    const int rc = zwif_switch_get(&sw, ZWIF_GET_BMSK_CACHE | ZWIF_GET_BMSK_LIVE);
    EXPECT_TRUE(rc == 0 || rc == 1) << rc;
    ASSERT_TRUE(eventually([&] { return rpt_count() >= 2; }));
    ASSERT_TRUE(model->wait_command(n_switch, 0x25, 0x02, 10s, from)) << "the live GET went out";
    ASSERT_GE(model->send_report(n_switch, 0x25), 0);
    ASSERT_TRUE(eventually([&] { return rpt_count() >= 3; }));
    const auto all = rpts();
    EXPECT_EQ(0xFF, all[1].value) << "the cached report first";
    EXPECT_EQ(cached_at, all[1].ts) << "with the time it was cached";
    EXPECT_EQ(0x00, all[2].value) << "then the device's";
    EXPECT_FALSE(all[1].mutex_held);
    EXPECT_EQ(0x00, cached(n_switch, 0x25)->second);

    // A cached get with nothing cached still calls back, with time 0.
    zwif_desc_t batt = intf(n_sensor, 0x80);
    ASSERT_EQ(0, zwif_batt_rpt_set(&batt, on_usr));
    ASSERT_EQ(0, zwif_batt_get(&batt, ZWIF_GET_BMSK_CACHE));
    ASSERT_TRUE(eventually([&] { return rpt_count() >= 4; }));
    EXPECT_EQ(0, rpts()[3].ts);
}

TEST_F(Reports, ADeliveredSetIsEchoedAsAReport)
{
    zwif_desc_t b = intf(n_switch, 0x20);
    ASSERT_EQ(0, zwif_basic_rpt_set(&b, on_usr));
    EXPECT_EQ(ZW_ERR_VALUE, zwif_basic_set(&b, 100));
    ASSERT_EQ(0, zwif_basic_set(&b, 0x30));
    ASSERT_TRUE(wait_cmd(n_switch, {0x20, 0x01, 0x30}, 10s));
    ASSERT_TRUE(eventually([&] { return rpt_count() >= 1; }));
    EXPECT_EQ(0x30, rpts()[0].value);
    EXPECT_FALSE(rpts()[0].mutex_held);
    EXPECT_EQ(0x30, cached(n_switch, 0x20)->second);
}

TEST_F(Reports, WithoutCallbacksAReportIsTheApplicationsUnhandledCommand)
{
    static std::mutex m;
    static std::vector<std::vector<uint8_t>> unhandled;
    {
        std::lock_guard lk(m);
        unhandled.clear();
    }
    {
        zwnet_lock lk(net_);
        net_->init.appl_cmd = [](void *, uint8_t node, uint8_t ep, const uint8_t *cmd, uint16_t len) {
            std::vector<uint8_t> v{node, ep};
            v.insert(v.end(), cmd, cmd + len);
            std::lock_guard lk2(m);
            unhandled.push_back(v);
        };
    }
    ASSERT_GE(from_node(n_sensor, {0x80, 0x03, 0x10}), 0);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lk(m);
        return !unhandled.empty();
    }));
    std::lock_guard lk(m);
    EXPECT_EQ((std::vector<uint8_t>{n_sensor, 0, 0x80, 0x03, 0x10}), unhandled[0]);
    EXPECT_EQ(0u, rpt_count());
    EXPECT_FALSE(cached(n_sensor, 0x80)) << "nothing registered, nothing cached";
}

// Live reports stream while the application gets and a node goes away: the
// dispatcher and the cached deliveries must never touch the freed records.
TEST_F(Reports, ReportsStreamWhileGetsRunAndANodeIsRemoved)
{
    zwif_desc_t sw = intf(n_switch, 0x25), batt = intf(n_sensor, 0x80);
    ASSERT_EQ(0, zwif_switch_rpt_set(&sw, on_usr));
    ASSERT_EQ(0, zwif_batt_rpt_set(&batt, on_usr));
    // The application calls back into the library from its callback.
    g_in_cb = [this] {
        zwif_desc_t d{};
        zwnet_if_desc_get(net_, n_sensor, 0, 0x80, &d);
    };
    std::atomic<bool> stop{false};
    std::thread pusher([&] {
        for (uint8_t v = 0; !stop; ++v) {
            from_node(n_switch, {0x25, 0x03, static_cast<uint8_t>(v & 1 ? 0xFF : 0x00)});
            from_node(n_sensor, {0x80, 0x03, static_cast<uint8_t>(v % 100)});
            std::this_thread::sleep_for(1ms);
        }
    });
    std::thread getter([&] {
        while (!stop) {
            zwif_batt_get(&batt, ZWIF_GET_BMSK_CACHE);
            zwif_switch_get(&sw, ZWIF_GET_BMSK_CACHE);
            std::this_thread::sleep_for(1ms);
        }
    });
    ASSERT_TRUE(eventually([&] { return rpt_count() >= 50; }, 30s));
    {
        zwnet_lock lk(net_);
        zwnet_node_free(net_, n_sensor);
    }
    const size_t after_rm = rpt_count();
    ASSERT_TRUE(eventually([&] { return rpt_count() >= after_rm + 20; }, 30s)) << "the switch goes on";
    stop = true;
    pusher.join();
    getter.join();
    for (const rpt_event &e : rpts())
        EXPECT_FALSE(e.mutex_held);
    EXPECT_EQ(ZW_ERR_INTF_NOT_FOUND, zwif_batt_get(&batt, ZWIF_GET_BMSK_CACHE));
}

}  // namespace
