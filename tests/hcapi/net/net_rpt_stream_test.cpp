// Live reports stream from simulated devices over loopback while the
// application runs gets (cached ones through the callback thread, live ones
// that the simulated lock answers) and calls back into the library from its
// callbacks, and a node is removed in the middle: no callback ever runs
// under the network mutex, none touches the removed node's records, and
// every thread comes to an end. Meant for ThreadSanitizer as much as for
// the plain build.
#include "hc_test_support.h"

#include "hcapi/core/zwsend.h"
#include "hcapi/include/zwif_ctl.h"
#include "sim/sim_node.h"

namespace {

using namespace hc_test;

enum : uint8_t { n_keep = 5, n_gone = 6 };

std::atomic<zwnet_p> g_net{nullptr};
std::atomic<unsigned> g_calls[256]{};  // by node id
std::atomic<bool> g_locked{false};
std::atomic<bool> g_bad_desc{false};

// Every callback: counts, checks the mutex, and asks the library about the
// interface it was told of, as an application does.
void heard(const zwif_desc_t *intf)
{
    zwnet_p net = g_net.load();
    if (net == nullptr)
        return;
    if (zwnet_lck_depth(net) != 0)
        g_locked = true;
    if (intf == nullptr || (intf->nodeid != n_keep && intf->nodeid != n_gone)) {
        g_bad_desc = true;
        return;
    }
    zwif_desc_t again{};
    zwnet_if_desc_get(net, intf->nodeid, intf->epid, intf->cls, &again);
    zwif_real_ver_get(intf);
    ++g_calls[intf->nodeid];
}

void on_ts(zwif_desc_t *i, uint8_t, time_t) { heard(i); }
void on_setp(zwif_desc_t *i, zwsetp_t *, time_t) { heard(i); }
void on_csc(zwif_desc_t *i, zwcsc_notif_t *, time_t) { heard(i); }
void on_csc_sup(zwif_desc_t *i, uint8_t, uint8_t, uint8_t, uint8_t *, uint8_t, int) { heard(i); }
void on_dlck_op(zwif_desc_t *i, zwdlck_op_t *, time_t) { heard(i); }
void on_dlck_cfg(zwif_desc_t *i, zwdlck_cfg_t *, time_t) { heard(i); }
void on_fan_md(zwif_desc_t *i, uint8_t, uint8_t, time_t) { heard(i); }

unsigned calls(uint8_t node) { return g_calls[node].load(); }

class ReportStream : public HcNet {
protected:
    void SetUp() override
    {
        for (auto &c : g_calls)
            c = 0;
        g_locked = false;
        g_bad_desc = false;
        config c;
        c.nodes = {{n_keep, true, false, false, false, false, {0x25, 0x43, 0x5B, 0x62}, 0},
                   {n_gone, true, false, false, false, false, {0x40, 0x44, 0x62, 0x80}, 0}};
        ASSERT_NO_FATAL_FAILURE(start(c));
        g_net = net_;
        model = std::make_unique<sim::node_model>(*gw);
        std::vector<sim::node_profile> profiles;
        for (auto [id, extra] : {std::pair<uint8_t, uint8_t>{n_keep, sim::cc_switch_binary}, {n_gone, sim::cc_battery}}) {
            sim::node_profile p;
            p.node_id = id;
            p.classes = {{sim::cc_door_lock, 1, {}}, {extra, 1, {}}};
            profiles.push_back(p);
        }
        ASSERT_EQ(0, model->add(profiles));
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

TEST_F(ReportStream, ReportsStreamWhileGetsRunAndANodeIsRemoved)
{
    zwif_desc_t lock_keep = intf(n_keep, 0x62), setp = intf(n_keep, 0x43), csc = intf(n_keep, 0x5B),
                sw = intf(n_keep, 0x25), lock_gone = intf(n_gone, 0x62), mode = intf(n_gone, 0x40),
                fan = intf(n_gone, 0x44), batt = intf(n_gone, 0x80);
    for (const zwif_desc_t *d : {&lock_keep, &lock_gone})
        ASSERT_EQ(0, zwif_dlck_op_rpt_set(d, on_dlck_op));
    ASSERT_EQ(0, zwif_set_report(&setp, reinterpret_cast<zwif_rpt_fn>(on_setp), 0x03));
    ASSERT_EQ(0, zwif_csc_rpt_set(&csc, on_csc));
    ASSERT_EQ(0, zwif_switch_rpt_set(&sw, on_ts));
    ASSERT_EQ(0, zwif_set_report(&mode, reinterpret_cast<zwif_rpt_fn>(on_ts), 0x03));
    ASSERT_EQ(0, zwif_set_report(&fan, reinterpret_cast<zwif_rpt_fn>(on_fan_md), 0x03));
    ASSERT_EQ(0, zwif_batt_rpt_set(&batt, on_ts));

    std::atomic<bool> stop{false};
    std::atomic<unsigned> live_gets{0};
    // The devices report on their own: changing values, so that the caches
    // grow and change under the readers.
    std::thread pusher([&] {
        for (unsigned v = 0; !stop; ++v) {
            const auto b = static_cast<uint8_t>(v);
            from_node(n_keep, {0x43, 0x03, static_cast<uint8_t>(1 + v % 12), 0x01, b});
            from_node(n_keep, {0x5B, 0x03, b, 0x00, 0x01});
            from_node(n_keep, {0x25, 0x03, static_cast<uint8_t>(v & 1 ? 0xFF : 0x00)});
            model->send_report(n_keep, sim::cc_door_lock);
            from_node(n_gone, {0x40, 0x03, static_cast<uint8_t>(v % 4)});
            from_node(n_gone, {0x44, 0x03, static_cast<uint8_t>(v % 3)});
            from_node(n_gone, {0x62, 0x06, 0x02, 0x11, static_cast<uint8_t>(1 + v % 60), 0x1E});
            model->send_report(n_gone, sim::cc_battery);
            std::this_thread::sleep_for(1ms);
        }
    });
    // Cached gets through the callback thread, on both nodes.
    std::thread cached([&] {
        for (unsigned v = 0; !stop; ++v) {
            zwif_dlck_op_get(&lock_keep, ZWIF_GET_BMSK_CACHE);
            zwif_dlck_cfg_get(&lock_gone, on_dlck_cfg, ZWIF_GET_BMSK_CACHE);
            const uint16_t type = static_cast<uint16_t>(1 + v % 12);
            zwif_cached_rpt_post(&setp, 0x03, 1, &type);
            zwif_cached_rpt_post(&fan, 0x03, 0, nullptr);
            zwif_csc_sup_get(&csc, on_csc_sup, 1);
            zwif_batt_get(&batt, ZWIF_GET_BMSK_CACHE);
            std::this_thread::sleep_for(1ms);
        }
    });
    // Live gets that the simulated locks answer.
    std::thread live([&] {
        while (!stop) {
            for (const zwif_desc_t *d : {&lock_keep, &lock_gone}) {
                const int rc = zwif_dlck_op_get(d, ZWIF_GET_BMSK_CACHE | ZWIF_GET_BMSK_LIVE);
                if (rc == 0 || rc == 1)
                    ++live_gets;
            }
        }
    });

    ASSERT_TRUE(eventually([&] { return calls(n_keep) >= 100 && calls(n_gone) >= 100 && live_gets >= 4; }, 60s));
    {
        zwnet_lock lk(net_);
        zwnet_node_free(net_, n_gone);
    }
    const unsigned keep_at = calls(n_keep);
    const unsigned live_at = live_gets;
    ASSERT_TRUE(eventually([&] { return calls(n_keep) >= keep_at + 100 && live_gets >= live_at + 2; }, 60s))
        << "the other node goes on being heard and answered";
    stop = true;
    pusher.join();
    cached.join();
    live.join();

    EXPECT_FALSE(g_locked) << "a callback ran under the network mutex";
    EXPECT_FALSE(g_bad_desc);
    EXPECT_EQ(ZW_ERR_INTF_NOT_FOUND, zwif_dlck_op_get(&lock_gone, ZWIF_GET_BMSK_CACHE));
    EXPECT_EQ(ZW_ERR_INTF_NOT_FOUND, zwif_dlck_cfg_get(&lock_gone, on_dlck_cfg, ZWIF_GET_BMSK_CACHE));
    // The locks saw the live gets.
    EXPECT_TRUE(model->wait_command(n_keep, sim::cc_door_lock, 0x02, 10s));
}

}  // namespace
