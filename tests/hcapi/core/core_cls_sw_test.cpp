// The calls of switches, sensors, meters, colour, barrier and sensor alarm:
// a table from (call, version, arguments) to result, the frame handed to the
// send path and the operation code, read back from a sleeping node's queue;
// sets whose read-back cannot be arranged echo their state; gets and
// supported gets answered by simulated devices, then from the cache.
#include "../net/hc_test_support.h"

#include "hcapi/core/zwif_shape.h"
#include "hcapi/core/zwsend.h"
#include "hcapi/include/zwif_sw.h"
#include "sim/sim_node.h"

namespace {

using namespace hc_test;

enum : uint8_t { n_sleeper = 9, n_dev = 5 };

const std::vector<uint16_t> sw_classes = {0x26, 0x30, 0x31, 0x32, 0x33, 0x35, 0x3C, 0x3D, 0x66, 0x9C};

// What the callbacks heard.
std::mutex g_mtx;
std::vector<std::vector<uint8_t>> g_heard;
void heard(std::vector<uint8_t> v)
{
    std::lock_guard lk(g_mtx);
    g_heard.push_back(std::move(v));
}
std::vector<std::vector<uint8_t>> heard_all()
{
    std::lock_guard lk(g_mtx);
    return g_heard;
}
void on_level(zwif_desc_t *i, uint8_t v, time_t) { heard({uint8_t(i->cls), v}); }
void on_list(zwif_desc_t *i, uint8_t cnt, uint8_t *l, int valid)
{
    std::vector<uint8_t> v{uint8_t(i->cls), cnt};
    for (uint8_t k = 0; l != nullptr && k < cnt; ++k)
        v.push_back(l[k]);
    v.push_back(uint8_t(valid));
    heard(v);
}
void on_lvl_sup(zwif_desc_t *i, uint8_t p, uint8_t s, int valid) { heard({uint8_t(i->cls), p, s, uint8_t(valid)}); }
void on_sensor(zwif_desc_t *i, zwsensor_t *s, time_t ts)
{
    heard({uint8_t(i->cls), s->type, s->precision, s->unit, s->size, s->data[0], s->data[1], uint8_t(ts != 0)});
}
void on_unit(zwif_desc_t *i, uint8_t type, uint8_t mask, int valid)
{
    heard({uint8_t(i->cls), type, mask, uint8_t(valid)});
}
void on_color(zwif_desc_t *i, zwcolor_t *c, time_t) { heard({uint8_t(i->cls), c->id, c->value}); }

class SwCalls : public HcNet {
protected:
    void SetUp() override
    {
        {
            std::lock_guard lk(g_mtx);
            g_heard.clear();
        }
        ASSERT_NO_FATAL_FAILURE(start({10,
                                       {{n_sleeper, false, false, true, false, false, sw_classes, 0},
                                        {n_dev, true, false, false, false, false, {0x26, 0x31, 0x33, 0x66}, 0}}}));
    }

    // Puts an interface at a version (both fields, as a device would report it).
    void version(uint8_t node_id, uint16_t cls, uint8_t ver)
    {
        zwnet_lock lk(net_);
        zwep_p ep = zwep_find_by_id(net_, node_id, 0);
        zwif_p i = ep ? zwif_find_cls(ep->intf, cls) : nullptr;
        ASSERT_NE(nullptr, i);
        if (i->ver != ver) {
            // The report rows depend on the version: make the interface anew.
            zwif_p n = zwif_create(cls, ver, i->propty);
            ASSERT_NE(nullptr, n);
            zwif_dat_copy(n, i);
            n->ep = ep;
            n->next = i->next;
            for (zwif_p *p = &ep->intf; *p != nullptr; p = &(*p)->next)
                if (*p == i) {
                    *p = n;
                    break;
                }
            zwif_dat_free(i);
            i = n;
        }
        i->real_ver = ver;
    }

    std::vector<std::pair<std::vector<uint8_t>, uint16_t>> queued()
    {
        zwnet_lock lk(net_);
        zwnode_p n = zwnode_find(&net_->ctl, n_sleeper);
        std::vector<std::pair<std::vector<uint8_t>, uint16_t>> out;
        for (const auto &c : n->cmd_q)
            out.push_back({c->cmd, c->op_cnt ? c->op : uint16_t{0}});
        return out;
    }
    void clear()
    {
        zwnode_desc_t d = node(n_sleeper);
        ASSERT_EQ(0, zwnode_cmd_q_cancel(&d));
    }
    std::vector<uint8_t> echo()
    {
        plt_mtx_lck(net_->echo_mtx);
        std::vector<uint8_t> e(net_->echo_buf, net_->echo_buf + net_->echo_len);
        plt_mtx_ulck(net_->echo_mtx);
        return e;
    }
};

using call_fn = std::function<int(const zwif_desc_t *)>;
struct call_case {
    const char *name;
    uint16_t cls;
    uint8_t ver;
    call_fn call;
    int rc;
    std::vector<uint8_t> frame;  // empty: nothing sent
    uint16_t op;
};

void no_sup(zwif_desc_t *, uint8_t, uint8_t *, int) {}
void no_lvl_sup(zwif_desc_t *, uint8_t, uint8_t, int) {}
void no_unit(zwif_desc_t *, uint8_t, uint8_t, int) {}
void no_meter_sup(zwif_desc_t *, zwmeter_cap_t *, int) {}
void no_tbl(zwif_desc_t *, zwmeter_tbl_t *, int) {}

zwlevel_t lvl(uint8_t pri_dir, uint8_t start, uint8_t ignore, uint8_t sec_dir, uint8_t step, uint8_t dur)
{
    return zwlevel_t{pri_dir, start, ignore, sec_dir, step, dur};
}

TEST_F(SwCalls, EachCallSendsItsFrameWithItsOperationCode)
{
    const uint8_t ids[3] = {2, 3, 9}, vals[3] = {0xFF, 0x10, 0x00};
    const call_case cases[] = {
        // Multilevel Switch
        {"level set v1", 0x26, 1, [](auto d) { return zwif_level_set(d, 0x30, 5, nullptr, 0); }, 1,
         {0x26, 0x01, 0x30}, 13},
        {"level set v2 with duration", 0x26, 2, [](auto d) { return zwif_level_set(d, 0x30, 5, nullptr, 0); }, 1,
         {0x26, 0x01, 0x30, 0x05}, 13},
        {"level set last level", 0x26, 2, [](auto d) { return zwif_level_set(d, 0xFF, 0, nullptr, 0); }, 1,
         {0x26, 0x01, 0xFF, 0x00}, 13},
        {"level set 100", 0x26, 2, [](auto d) { return zwif_level_set(d, 100, 0, nullptr, 0); }, ZW_ERR_VALUE, {}, 0},
        {"level start v3", 0x26, 3,
         [](auto d) {
             const zwlevel_t l = lvl(ZW_LVL_DIR_DOWN, 20, 0, ZW_LVL_DIR_UP, 5, 3);
             return zwif_level_start(d, &l);
         },
         1, {0x26, 0x04, 0x40 /* down */, 20, 3, 5}, 14},
        {"level start v3 ignoring the start, no secondary", 0x26, 3,
         [](auto d) {
             const zwlevel_t l = lvl(ZW_LVL_DIR_UP, 10, 1, ZW_LVL_DIR_NONE, 9, 0);
             return zwif_level_start(d, &l);
         },
         1, {0x26, 0x04, 0x38 /* ignore, secondary none */, 0, 0, 0}, 14},
        {"level start v3 step 100", 0x26, 3,
         [](auto d) {
             const zwlevel_t l = lvl(ZW_LVL_DIR_UP, 10, 0, ZW_LVL_DIR_UP, 100, 0);
             return zwif_level_start(d, &l);
         },
         ZW_ERR_VALUE, {}, 0},
        {"level start v2", 0x26, 2,
         [](auto d) {
             const zwlevel_t l = lvl(ZW_LVL_DIR_DOWN, 50, 0, 0, 0, 7);
             return zwif_level_start(d, &l);
         },
         1, {0x26, 0x04, 0x40, 50, 7}, 14},
        {"level start v1", 0x26, 1,
         [](auto d) {
             const zwlevel_t l = lvl(ZW_LVL_DIR_DOWN, 50, 0, 0, 0, 7);
             return zwif_level_start(d, &l);
         },
         1, {0x26, 0x04, 0x40, 50}, 14},
        {"level start v2 without direction", 0x26, 2,
         [](auto d) {
             const zwlevel_t l = lvl(ZW_LVL_DIR_NONE, 50, 0, 0, 0, 0);
             return zwif_level_start(d, &l);
         },
         ZW_ERR_VALUE, {}, 0},
        {"level start at 100", 0x26, 3,
         [](auto d) {
             const zwlevel_t l = lvl(ZW_LVL_DIR_UP, 100, 0, ZW_LVL_DIR_NONE, 0, 0);
             return zwif_level_start(d, &l);
         },
         ZW_ERR_VALUE, {}, 0},
        {"level stop", 0x26, 1, [](auto d) { return zwif_level_stop(d); }, 1, {0x26, 0x05}, 15},
        {"level get", 0x26, 1, [](auto d) { return zwif_level_get(d, ZWIF_GET_BMSK_LIVE); }, 1, {0x26, 0x02}, 12},
        {"level types v2", 0x26, 2, [](auto d) { return zwif_level_sup_get(d, no_lvl_sup, 0); }, ZW_ERR_CLASS_VER,
         {}, 0},
        {"level types v3", 0x26, 3, [](auto d) { return zwif_level_sup_get(d, no_lvl_sup, 0); }, 1, {0x26, 0x06}, 16},
        {"level call on a sensor", 0x31, 5, [](auto d) { return zwif_level_stop(d); }, ZW_ERR_CLASS_NOT_FOUND, {}, 0},
        // Binary Sensor
        {"binary sensor v1", 0x30, 1, [](auto d) { return zwif_bsensor_get(d, 3, ZWIF_GET_BMSK_LIVE); }, 1,
         {0x30, 0x02}, 1},
        {"binary sensor v2 by type", 0x30, 2, [](auto d) { return zwif_bsensor_get(d, 3, ZWIF_GET_BMSK_LIVE); }, 1,
         {0x30, 0x02, 0x03}, 1},
        {"binary sensor v2 default type", 0x30, 2, [](auto d) { return zwif_bsensor_get(d, 0, ZWIF_GET_BMSK_LIVE); },
         1, {0x30, 0x02}, 1},
        {"binary sensor types v1", 0x30, 1, [](auto d) { return zwif_bsensor_sup_get(d, no_sup, 0); },
         ZW_ERR_CLASS_VER, {}, 0},
        {"binary sensor types v2", 0x30, 2, [](auto d) { return zwif_bsensor_sup_get(d, no_sup, 0); }, 1,
         {0x30, 0x01}, 90},
        // Multilevel Sensor
        {"sensor v4", 0x31, 4, [](auto d) { return zwif_sensor_get(d, 1, 2, ZWIF_GET_BMSK_LIVE); }, 1, {0x31, 0x04},
         18},
        {"sensor v5 by type and scale", 0x31, 5, [](auto d) { return zwif_sensor_get(d, 1, 2, ZWIF_GET_BMSK_LIVE); },
         1, {0x31, 0x04, 0x01, 0x10}, 18},
        {"sensor v5 scale 4", 0x31, 5, [](auto d) { return zwif_sensor_get(d, 1, 4, ZWIF_GET_BMSK_LIVE); },
         ZW_ERR_VALUE, {}, 0},
        {"sensor types", 0x31, 5, [](auto d) { return zwif_sensor_sup_get(d, no_sup, 0); }, 1, {0x31, 0x01}, 74},
        {"sensor scales", 0x31, 5, [](auto d) { return zwif_sensor_unit_get(d, 1, no_unit, 0); }, 1,
         {0x31, 0x03, 0x01}, 75},
        {"sensor scales of type 0", 0x31, 5, [](auto d) { return zwif_sensor_unit_get(d, 0, no_unit, 0); },
         ZW_ERR_VALUE, {}, 0},
        {"sensor scales v4", 0x31, 4, [](auto d) { return zwif_sensor_unit_get(d, 1, no_unit, 0); },
         ZW_ERR_CLASS_VER, {}, 0},
        // Meter
        {"meter v1", 0x32, 1, [](auto d) { return zwif_meter_get(d, 5, ZWIF_GET_BMSK_LIVE); }, 1, {0x32, 0x01}, 25},
        {"meter v2 two scale bits", 0x32, 2, [](auto d) { return zwif_meter_get(d, 5, ZWIF_GET_BMSK_LIVE); }, 1,
         {0x32, 0x01, 0x08}, 25},
        {"meter v3 three scale bits", 0x32, 3, [](auto d) { return zwif_meter_get(d, 5, ZWIF_GET_BMSK_LIVE); }, 1,
         {0x32, 0x01, 0x28}, 25},
        {"meter capabilities v1", 0x32, 1, [](auto d) { return zwif_meter_sup_get(d, no_meter_sup, 0); },
         ZW_ERR_CLASS_VER, {}, 0},
        {"meter capabilities", 0x32, 2, [](auto d) { return zwif_meter_sup_get(d, no_meter_sup, 0); }, 1,
         {0x32, 0x03}, 26},
        {"meter reset v1", 0x32, 1, [](auto d) { return zwif_meter_reset(d); }, ZW_ERR_CLASS_VER, {}, 0},
        {"meter reset", 0x32, 2, [](auto d) { return zwif_meter_reset(d); }, 1, {0x32, 0x05}, 24},
        // Color Switch
        {"colour get", 0x33, 1, [](auto d) { return zwif_col_sw_get(d, 2, ZWIF_GET_BMSK_LIVE); }, 1,
         {0x33, 0x03, 0x02}, 102},
        {"colour get of component 9", 0x33, 1, [](auto d) { return zwif_col_sw_get(d, 9, ZWIF_GET_BMSK_LIVE); },
         ZW_ERR_VALUE, {}, 0},
        {"colour components", 0x33, 1, [](auto d) { return zwif_col_sw_sup_get(d, no_sup, 0); }, 1, {0x33, 0x01},
         106},
        {"colour set v1", 0x33, 1, [&](auto d) { return zwif_col_sw_set(d, 2, ids, vals, 5); }, 1,
         {0x33, 0x05, 0x02, 2, 0xFF, 3, 0x10}, 103},
        {"colour set v2 with duration", 0x33, 2, [&](auto d) { return zwif_col_sw_set(d, 2, ids, vals, 5); }, 1,
         {0x33, 0x05, 0x02, 2, 0xFF, 3, 0x10, 0x05}, 103},
        {"colour set of no component", 0x33, 2, [&](auto d) { return zwif_col_sw_set(d, 0, ids, vals, 0); },
         ZW_ERR_VALUE, {}, 0},
        {"colour set of component 9", 0x33, 2, [&](auto d) { return zwif_col_sw_set(d, 3, ids, vals, 0); },
         ZW_ERR_VALUE, {}, 0},
        {"colour set of ten", 0x33, 2, [&](auto d) { return zwif_col_sw_set(d, 10, ids, vals, 0); }, ZW_ERR_VALUE,
         {}, 0},
        {"colour change v2", 0x33, 2,
         [](auto d) {
             const zwcol_lvl_t c{ZW_LVL_DIR_DOWN, 2, 0, 0x10, 3};
             return zwif_col_sw_lvl_chg_start(d, &c);
         },
         1, {0x33, 0x06, 0x60 /* down, ignore the start */, 2, 0x10}, 104},
        {"colour change v3", 0x33, 3,
         [](auto d) {
             const zwcol_lvl_t c{ZW_LVL_DIR_UP, 2, 1, 0x10, 3};
             return zwif_col_sw_lvl_chg_start(d, &c);
         },
         1, {0x33, 0x06, 0x00, 2, 0x10, 3}, 104},
        {"colour stop", 0x33, 1, [](auto d) { return zwif_col_sw_lvl_chg_stop(d, 3); }, 1, {0x33, 0x07, 0x03}, 105},
        {"colour stop of component 9", 0x33, 1, [](auto d) { return zwif_col_sw_lvl_chg_stop(d, 9); }, ZW_ERR_VALUE,
         {}, 0},
        // Pulse Meter, Meter Table
        {"pulse count", 0x35, 1, [](auto d) { return zwif_pulsemeter_get(d); }, 1, {0x35, 0x04}, 30},
        {"administration number", 0x3C, 1, [](auto d) { return zwif_meter_admin_set(d, "A-12"); }, 1,
         {0x3C, 0x01, 0x04, 'A', '-', '1', '2'}, 27},
        {"meter table identity", 0x3D, 1, [](auto d) { return zwif_meter_admin_get(d, no_tbl, 0); }, 1,
         {0x3D, 0x03}, 23},
        // Barrier Operator
        {"barrier open", 0x66, 1, [](auto d) { return zwif_barrier_set(d, 0xFF, nullptr, 0); }, 1,
         {0x66, 0x01, 0xFF}, 97},
        {"barrier half open", 0x66, 1, [](auto d) { return zwif_barrier_set(d, 0x80, nullptr, 0); }, ZW_ERR_VALUE, {},
         0},
        {"barrier get", 0x66, 1, [](auto d) { return zwif_barrier_get(d, ZWIF_GET_BMSK_LIVE); }, 1, {0x66, 0x02}, 98},
        {"barrier signal on", 0x66, 1, [](auto d) { return zwif_barrier_notif_set(d, 2, 0xFF); }, 1,
         {0x66, 0x06, 0x02, 0xFF}, 99},
        {"barrier signal of subsystem 0", 0x66, 1, [](auto d) { return zwif_barrier_notif_set(d, 0, 0xFF); },
         ZW_ERR_VALUE, {}, 0},
        {"barrier signal state 1", 0x66, 1, [](auto d) { return zwif_barrier_notif_set(d, 2, 1); }, ZW_ERR_VALUE, {},
         0},
        {"barrier signal get", 0x66, 1, [](auto d) { return zwif_barrier_notif_get(d, 2, ZWIF_GET_BMSK_LIVE); }, 1,
         {0x66, 0x07, 0x02}, 100},
        {"barrier subsystems", 0x66, 1, [](auto d) { return zwif_barrier_notif_sup_get(d, no_sup, 0); }, 1,
         {0x66, 0x04}, 101},
        // Sensor Alarm
        {"sensor alarm", 0x9C, 1, [](auto d) { return zwif_alrm_snsr_get(d, 1, ZWIF_GET_BMSK_LIVE); }, 1,
         {0x9C, 0x01, 0x01}, 95},
        {"sensor alarm types", 0x9C, 1, [](auto d) { return zwif_alrm_snsr_sup_get(d, no_sup, 0); }, 1, {0x9C, 0x03},
         96},
        {"sensor alarm call on a meter", 0x32, 2, [](auto d) { return zwif_alrm_snsr_get(d, 1, 2); },
         ZW_ERR_CLASS_NOT_FOUND, {}, 0},
    };
    for (const call_case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(clear());
        ASSERT_NO_FATAL_FAILURE(version(n_sleeper, c.cls, c.ver));
        zwif_desc_t d = intf(n_sleeper, c.cls);
        EXPECT_EQ(c.rc, c.call(&d));
        const auto q = queued();
        if (c.frame.empty()) {
            EXPECT_TRUE(q.empty());
            continue;
        }
        ASSERT_EQ(1u, q.size());
        EXPECT_EQ(c.frame, q[0].first);
        EXPECT_EQ(c.op, q[0].second);
    }
}

TEST_F(SwCalls, TheAdministrationNumberIsCutToWhatItsLengthCanSay)
{
    zwif_desc_t d = intf(n_sleeper, 0x3C);
    const std::string text(40, '7');
    ASSERT_EQ(1, zwif_meter_admin_set(&d, text.c_str()));
    const auto q = queued();
    ASSERT_EQ(1u, q.size());
    ASSERT_EQ(3u + 31, q[0].first.size());
    EXPECT_EQ(31, q[0].first[2]);
}

// A set whose state cannot be read back is echoed as a report once the
// device has it; a read-back that can be arranged takes the echo back.
TEST_F(SwCalls, SetsWithoutReadBackEchoTheirState)
{
    ASSERT_NO_FATAL_FAILURE(version(n_dev, 0x26, 2));
    zwif_desc_t lv = intf(n_dev, 0x26);
    ASSERT_EQ(0, zwif_level_rpt_set(&lv, on_level));
    // This endpoint is no multilevel switch device: no read-back, and that
    // is no failure of the set.
    ASSERT_EQ(0, zwif_level_set(&lv, 0x30, 0, nullptr, 0));
    ASSERT_TRUE(wait_cmd(n_dev, {0x26, 0x01, 0x30, 0x00}, 10s));
    ASSERT_TRUE(eventually([] { return !heard_all().empty(); }));
    EXPECT_EQ((std::vector<uint8_t>{0x26, 0x30}), heard_all()[0]);
    EXPECT_GE(log_count("zwif_level_set post-set poll with error:"), 1u);

    // The last level is the device's to say: no echo.
    ASSERT_EQ(0, zwif_level_set(&lv, 0xFF, 0, nullptr, 0));
    ASSERT_TRUE(wait_cmd(n_dev, {0x26, 0x01, 0xFF, 0x00}, 10s));
    EXPECT_TRUE(echo().empty());

    zwif_desc_t bar = intf(n_dev, 0x66);
    ASSERT_EQ(0, zwif_barrier_rpt_set(&bar, on_level));
    const int rc = zwif_barrier_set(&bar, 0xFF, nullptr, 0);
    ASSERT_TRUE(wait_cmd(n_dev, {0x66, 0x01, 0xFF}, 10s));
    if (rc == ZW_ERR_POST_SET_POLL) {
        EXPECT_GE(log_count("zwif_barrier_set post-set poll with error:"), 1u);
        ASSERT_TRUE(eventually([] { return heard_all().size() >= 2; }));
        EXPECT_EQ((std::vector<uint8_t>{0x66, 0xFF}), heard_all().back());
    } else {
        EXPECT_EQ(0, rc);
        EXPECT_TRUE(echo().empty()) << "the read-back reports the state";
    }

    // A colour change that takes time is not echoed.
    ASSERT_NO_FATAL_FAILURE(version(n_dev, 0x33, 2));
    zwif_desc_t col = intf(n_dev, 0x33);
    uint32_t seq0;
    plt_mtx_lck(net_->echo_mtx);
    seq0 = net_->echo_seq;
    plt_mtx_ulck(net_->echo_mtx);
    const uint8_t id = 2, val = 0x40;
    ASSERT_EQ(0, zwif_col_sw_set(&col, 1, &id, &val, 5));
    plt_mtx_lck(net_->echo_mtx);
    EXPECT_EQ(seq0, net_->echo_seq) << "the echo record is untouched";
    plt_mtx_ulck(net_->echo_mtx);
    // Without a duration it is, one report per component.
    ASSERT_EQ(0, zwif_col_sw_rpt_set(&col, on_color));
    ASSERT_EQ(0, zwif_col_sw_set(&col, 1, &id, &val, 0));
    ASSERT_TRUE(eventually([] {
        for (const auto &h : heard_all())
            if (h == std::vector<uint8_t>{0x33, 2, 0x40})
                return true;
        return false;
    }));
}

// Gets answered by the simulated devices, then from the cache.
TEST_F(SwCalls, SimulatedDevicesAnswerAndTheCacheRemembers)
{
    auto model = std::make_unique<sim::node_model>(*gw);
    sim::node_profile p;
    p.node_id = n_dev;
    p.classes = {{sim::cc_switch_multilevel, 3, {0x42, 0x02, 0x00}}, {sim::cc_sensor_multilevel, 5, {}}};
    ASSERT_EQ(0, model->add(p));
    ASSERT_NO_FATAL_FAILURE(version(n_dev, 0x26, 3));
    ASSERT_NO_FATAL_FAILURE(version(n_dev, 0x31, 5));
    zwif_desc_t lv = intf(n_dev, 0x26), sn = intf(n_dev, 0x31);

    // Level: the cached report first (nothing yet: time 0), then the device's.
    ASSERT_EQ(0, zwif_level_rpt_set(&lv, on_level));
    const int rc = zwif_level_get(&lv, ZWIF_GET_BMSK_CACHE | ZWIF_GET_BMSK_LIVE);
    EXPECT_TRUE(rc == 0 || rc == 1) << rc;
    ASSERT_TRUE(eventually([] { return heard_all().size() >= 2; }));
    EXPECT_EQ((std::vector<uint8_t>{0x26, 0x42}), heard_all()[1]);

    // Switch types: asked once, then known.
    ASSERT_GE(zwif_level_sup_get(&lv, on_lvl_sup, 0), 0);
    ASSERT_TRUE(eventually([] { return heard_all().size() >= 3; }));
    EXPECT_EQ((std::vector<uint8_t>{0x26, 2, 0, 1}), heard_all()[2]);
    EXPECT_EQ(ZW_ERR_CACHE_AVAIL, zwif_level_sup_get(&lv, on_lvl_sup, 0));
    ASSERT_TRUE(eventually([] { return heard_all().size() >= 4; }));
    EXPECT_EQ((std::vector<uint8_t>{0x26, 2, 0, 1}), heard_all()[3]);
    uint8_t pri = 0, sec = 9;
    EXPECT_EQ(0, zwif_level_sup_cache_get(&lv, &pri, &sec));
    EXPECT_EQ(2, pri);
    EXPECT_EQ(0, sec);

    // Sensor: reading, types, scales.
    ASSERT_EQ(0, zwif_sensor_rpt_set(&sn, on_sensor));
    EXPECT_GE(zwif_sensor_get(&sn, 1, 0, ZWIF_GET_BMSK_LIVE), 0);
    ASSERT_TRUE(eventually([] { return heard_all().size() >= 5; }));
    EXPECT_EQ((std::vector<uint8_t>{0x31, 1, 1, 0, 2, 0x00, 0xFA, 1}), heard_all()[4]) << "25.0";
    EXPECT_EQ(0, zwif_sensor_get(&sn, 1, 0, ZWIF_GET_BMSK_CACHE));
    ASSERT_TRUE(eventually([] { return heard_all().size() >= 6; }));
    EXPECT_EQ(heard_all()[4], heard_all()[5]) << "the cached reading, with its time";

    uint8_t cnt = 0, list[255];
    EXPECT_EQ(ZW_ERR_NO_CACHE_AVAIL, zwif_sensor_sup_cache_get(&sn, &cnt, list));
    EXPECT_GE(zwif_sensor_sup_get(&sn, on_list, 0), 0);
    ASSERT_TRUE(eventually([] { return heard_all().size() >= 7; }));
    EXPECT_EQ((std::vector<uint8_t>{0x31, 1, 1, 1}), heard_all()[6]);
    ASSERT_EQ(0, zwif_sensor_sup_cache_get(&sn, &cnt, list));
    EXPECT_EQ(1, cnt);
    EXPECT_EQ(1, list[0]);

    EXPECT_GE(zwif_sensor_unit_get(&sn, 1, on_unit, 0), 0);
    ASSERT_TRUE(eventually([] { return heard_all().size() >= 8; }));
    EXPECT_EQ((std::vector<uint8_t>{0x31, 1, 0x01, 1}), heard_all()[7]);
    ASSERT_EQ(0, zwif_sensor_unit_cache_get(&sn, 1, &cnt, list));
    EXPECT_EQ(1, cnt);
    EXPECT_EQ(0, list[0]) << "Celsius";
    EXPECT_EQ(ZW_ERR_CACHE_AVAIL, zwif_sensor_unit_get(&sn, 1, on_unit, 0)) << "known now";
    EXPECT_EQ(ZW_ERR_NO_CACHE_AVAIL, zwif_sensor_unit_get(&sn, 2, on_unit, 1)) << "cache only, another type";
    ASSERT_TRUE(eventually([] { return heard_all().size() >= 10; }));
    EXPECT_EQ((std::vector<uint8_t>{0x31, 1, 0x01, 1}), heard_all()[8]);
    EXPECT_EQ((std::vector<uint8_t>{0x31, 0, 0, 0}), heard_all()[9]);
}

// An older device's capabilities come from its device record, through the
// callback thread, as a live answer would.
TEST_F(SwCalls, OlderDevicesAnswerFromTheirDeviceRecord)
{
    dev_ep_t ep;
    dev_ep_ent_t ent;
    auto bs = std::make_unique<dev_if_t>();
    bs->if_type = DEV_IF_BSENSOR;
    bs->bsnsr_type = 0x0A;
    auto mt = std::make_unique<dev_if_t>();
    mt->if_type = DEV_IF_METER;
    mt->meter_type = 2;
    mt->meter_units = 0x03;
    ent.intf.push_back(std::move(bs));
    ent.intf.push_back(std::move(mt));
    ep.ent.push_back(std::move(ent));
    dev_rec_t rec{0, 0, 0, 0, &ep};
    auto attach = [&](dev_rec_t *r) {
        zwnet_lock lk(net_);
        zwnode_p n = zwnode_find(&net_->ctl, n_sleeper);
        n->dev_cfg_valid = r != nullptr;
        n->dev_cfg_rec = r;
    };
    attach(&rec);
    // The record lives on this stack: the node lets go of it however the test ends.
    std::unique_ptr<void, std::function<void(void *)>> detach(&rec, [&](void *) { attach(nullptr); });
    ASSERT_NO_FATAL_FAILURE(version(n_sleeper, 0x30, 1));
    ASSERT_NO_FATAL_FAILURE(version(n_sleeper, 0x32, 1));
    zwif_desc_t b = intf(n_sleeper, 0x30), m = intf(n_sleeper, 0x32);
    EXPECT_EQ(ZW_ERR_CACHE_AVAIL, zwif_bsensor_sup_get(&b, on_list, 0));
    EXPECT_EQ(ZW_ERR_CACHE_AVAIL, zwif_meter_sup_get(&m, [](zwif_desc_t *, zwmeter_cap_t *c, int valid) {
        heard({0x32, c ? c->type : uint8_t(0), c ? c->unit_sup : uint8_t(0), uint8_t(valid)});
    }, 0));
    ASSERT_TRUE(eventually([] { return heard_all().size() >= 2; }));
    EXPECT_EQ((std::vector<uint8_t>{0x30, 1, 0x0A, 1}), heard_all()[0]);
    EXPECT_EQ((std::vector<uint8_t>{0x32, 2, 0x03, 1}), heard_all()[1]);
    EXPECT_TRUE(queued().empty()) << "nothing asked of the device";
}

}  // namespace
