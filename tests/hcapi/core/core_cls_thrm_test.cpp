// The thermostat, climate schedule and notification calls against the
// gateway simulator over loopback: (call, arguments) -> result, frame and
// operation code; the 30-byte schedule frame; the echoes that only a
// supported value gives; the notification get rewritten by the node's
// alarm rules, and the capabilities those rules stand for on old devices.
#include "cls_call_net.h"

#include "hcapi/include/zwif_call.h"

#include <cstdlib>

namespace {

using namespace hc_test;
using namespace cls_call;

enum : uint8_t {
    n_th = 5,   // sleeping; every class of the family at its newest version
    n_v2 = 6,   // sleeping; Setpoint and Notification v2, Fan Mode v1
    n_v1 = 7,   // sleeping; Notification v1
};

const std::vector<uint16_t> th_classes = {0x84, 0x40, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x71};

class ThrmCalls : public CallNet {
protected:
    void SetUp() override
    {
        config c;
        c.nodes = {{n_th, false, false, true, false, false, th_classes, 0},
                   {n_v2, false, false, true, false, false, {0x84, 0x43, 0x44, 0x71}, 0},
                   {n_v1, false, false, true, false, false, {0x84, 0x71}, 0}};
        ASSERT_NO_FATAL_FAILURE(start(c));
        for (auto [cls, ver] : {std::pair<uint16_t, uint8_t>{0x40, 3}, {0x43, 3}, {0x44, 4}, {0x46, 1}, {0x71, 8}})
            ASSERT_NO_FATAL_FAILURE(version(n_th, 0, cls, ver));
        ASSERT_NO_FATAL_FAILURE(version(n_v2, 0, 0x43, 2));
        ASSERT_NO_FATAL_FAILURE(version(n_v2, 0, 0x71, 2));
        ASSERT_NO_FATAL_FAILURE(version(n_v1, 0, 0x71, 1));
    }

    // Puts a supported block into an interface, as a report would leave it.
    void data_set(uint8_t node_id, uint16_t cls, const bytes &block)
    {
        zwnet_lock lk(net_);
        zwif_p i = zwif_find_cls(zwnode_find(&net_->ctl, node_id)->ep.intf, cls);
        ASSERT_NE(nullptr, i);
        std::free(i->data);
        i->data = std::malloc(block.size());
        ASSERT_NE(nullptr, i->data);
        std::memcpy(i->data, block.data(), block.size());
        i->data_cnt = 1;
        i->data_item_sz = static_cast<uint8_t>(block.size());
    }

    void dev_rec_attach(dev_rec_t *r)
    {
        zwnet_lock lk(net_);
        for (uint8_t n : {n_th, n_v2, n_v1}) {
            zwnode_p node = zwnode_find(&net_->ctl, n);
            node->dev_cfg_valid = r != nullptr;
            node->dev_cfg_rec = r;
        }
    }
};

zwsetp_t setp(uint8_t type, uint8_t prec, uint8_t scale, uint8_t size, bytes v)
{
    zwsetp_t s{type, prec, scale, size, {}};
    std::copy(v.begin(), v.end(), s.data);
    return s;
}
call_fn setp_set(zwsetp_t v)
{
    return [v](const zwif_desc_t *d) { return zwif_thrmo_setp_set(d, &v); };
}
call_fn ovr_set(uint8_t type, uint8_t state, int8_t value)
{
    return [=](const zwif_desc_t *d) {
        const zwcc_shed_ovr_t o{type, state, value};
        return zwif_clmt_ctl_schd_ovr_set(d, &o);
    };
}
call_fn alrm(int16_t vt, uint8_t type, uint8_t evt)
{
    return [=](const zwif_desc_t *d) { return zwif_alrm_get(d, vt, type, evt, ZWIF_GET_BMSK_LIVE); };
}

TEST_F(ThrmCalls, EachCallSendsItsFrameWithItsOperationCode)
{
    const call_case cases[] = {
        // Thermostat Mode.
        {"mode get", n_th, 0, 0x40, [](auto d) { return zwif_thrmo_mode_get(d, ZWIF_GET_BMSK_LIVE); }, 1, {{0x40, 0x02}},
         48},
        {"mode get, no flags", n_th, 0, 0x40, [](auto d) { return zwif_thrmo_mode_get(d, 0); }, 0, {}, 0},
        {"mode get, cached, no callback", n_th, 0, 0x40, [](auto d) { return zwif_thrmo_mode_get(d, 3); },
         ZW_ERR_RPT_NOT_FOUND, {}, 0},
        {"mode set", n_th, 0, 0x40, [](auto d) { return zwif_thrmo_mode_set(d, 1); }, 1, {{0x40, 0x01, 0x01}}, 49},
        {"mode set keeps five bits", n_th, 0, 0x40, [](auto d) { return zwif_thrmo_mode_set(d, 0x25); }, 1,
         {{0x40, 0x01, 0x05}}, 49},
        {"mode set on a setpoint", n_th, 0, 0x43, [](auto d) { return zwif_thrmo_mode_set(d, 1); },
         ZW_ERR_CLASS_NOT_FOUND, {}, 0},
        {"modes supported", n_th, 0, 0x40, [](auto d) { return zwif_thrmo_mode_sup_get(d, nullptr, 0); }, 1,
         {{0x40, 0x04}}, 50},
        {"modes supported, cache only", n_th, 0, 0x40, [](auto d) { return zwif_thrmo_mode_sup_get(d, nullptr, 1); },
         ZW_ERR_NO_CACHE_AVAIL, {}, 0},
        {"modes supported, cache reader", n_th, 0, 0x40,
         [](auto d) {
             uint8_t m[255], n;
             return zwif_thrmo_mode_sup_cache_get(d, m, &n);
         },
         ZW_ERR_NO_CACHE_AVAIL, {}, 0},
        // Operating State, Fan State.
        {"operating state", n_th, 0, 0x42, [](auto d) { return zwif_thrmo_op_get(d, ZWIF_GET_BMSK_LIVE); }, 1,
         {{0x42, 0x02}}, 51},
        {"fan state", n_th, 0, 0x45, [](auto d) { return zwif_thrmo_fan_sta_get(d, ZWIF_GET_BMSK_LIVE); }, 1,
         {{0x45, 0x02}}, 47},
        // Setpoint.
        {"setpoint get", n_th, 0, 0x43, [](auto d) { return zwif_thrmo_setp_get(d, 2, ZWIF_GET_BMSK_LIVE); }, 1,
         {{0x43, 0x02, 0x02}}, 54},
        {"setpoint 21.5", n_th, 0, 0x43, setp_set(setp(1, 1, 0, 2, {0x00, 0xD7})), 1,
         {{0x43, 0x01,  // Thermostat Setpoint Set
           0x01,        // type: heating
           0x22,        // precision 1 << 5 | scale 0 << 3 | size 2
           0x00, 0xD7}},  // 215 tenths
         55},
        {"setpoint type kept to four bits, Fahrenheit, 4 bytes", n_th, 0, 0x43,
         setp_set(setp(0x12, 0, 1, 4, {0, 0, 0, 70})), 1, {{0x43, 0x01, 0x02, 0x0C, 0, 0, 0, 70}}, 55},
        {"setpoint of 3 bytes", n_th, 0, 0x43, setp_set(setp(1, 0, 0, 3, {0, 0, 1})), ZW_ERR_VALUE, {}, 0},
        {"setpoint precision 8", n_th, 0, 0x43, setp_set(setp(1, 8, 0, 1, {1})), ZW_ERR_VALUE, {}, 0},
        {"setpoint scale 2", n_th, 0, 0x43, setp_set(setp(1, 0, 2, 1, {1})), ZW_ERR_VALUE, {}, 0},
        {"setpoint types", n_th, 0, 0x43, [](auto d) { return zwif_thrmo_setp_sup_get(d, nullptr, 0); }, 1,
         {{0x43, 0x04}}, 56},
        {"setpoint range, type taken modulo 16", n_th, 0, 0x43,
         [](auto d) { return zwif_thrmo_setp_range_get(d, 0x11, nullptr, 0); }, 1, {{0x43, 0x09, 0x01}}, 107},
        {"setpoint range of type 16", n_th, 0, 0x43,
         [](auto d) { return zwif_thrmo_setp_range_get(d, 0x10, nullptr, 0); }, ZW_ERR_VALUE, {}, 0},
        {"setpoint range, version 2 without a device record", n_v2, 0, 0x43,
         [](auto d) { return zwif_thrmo_setp_range_get(d, 1, nullptr, 0); }, ZW_ERR_CLASS_VER, {}, 0},
        {"setpoint range cache, version 2 without a device record", n_v2, 0, 0x43,
         [](auto d) {
             zwsetp_t lo, hi;
             return zwif_thrmo_setp_range_cache_get(d, 1, &lo, &hi);
         },
         ZW_ERR_CLASS_VER, {}, 0},
        // Fan Mode.
        {"fan mode get", n_th, 0, 0x44, [](auto d) { return zwif_thrmo_fan_mode_get(d, ZWIF_GET_BMSK_LIVE); }, 1,
         {{0x44, 0x02}}, 44},
        {"fan mode", n_th, 0, 0x44, [](auto d) { return zwif_thrmo_fan_mode_set(d, 0, 0x13); }, 1,
         {{0x44, 0x01, 0x03}}, 45},
        {"fan off", n_th, 0, 0x44, [](auto d) { return zwif_thrmo_fan_mode_set(d, 1, 3); }, 1, {{0x44, 0x01, 0x83}},
         45},
        {"fan off, version 1", n_v2, 0, 0x44, [](auto d) { return zwif_thrmo_fan_mode_set(d, 1, 3); },
         ZW_ERR_CLASS_VER, {}, 0},
        {"fan mode, version 1", n_v2, 0, 0x44, [](auto d) { return zwif_thrmo_fan_mode_set(d, 0, 3); }, 1,
         {{0x44, 0x01, 0x03}}, 45},
        {"fan modes", n_th, 0, 0x44, [](auto d) { return zwif_thrmo_fan_mode_sup_get(d, nullptr, 0); }, 1,
         {{0x44, 0x04}}, 46},
        // Climate Control Schedule.
        {"schedule of Sunday", n_th, 0, 0x46, [](auto d) { return zwif_clmt_ctl_schd_get(d, 7); }, 1,
         {{0x46, 0x02, 0x07}}, 59},
        {"schedule of day 0", n_th, 0, 0x46, [](auto d) { return zwif_clmt_ctl_schd_get(d, 0); }, ZW_ERR_VALUE, {},
         0},
        {"schedule of day 8", n_th, 0, 0x46, [](auto d) { return zwif_clmt_ctl_schd_get(d, 8); }, ZW_ERR_VALUE, {},
         0},
        {"schedule changed", n_th, 0, 0x46, [](auto d) { return zwif_clmt_ctl_schd_chg_get(d); }, 1, {{0x46, 0x04}},
         61},
        {"schedule changed, poll form without a request", n_th, 0, 0x46,
         [](auto d) { return zwif_clmt_ctl_schd_chg_get_poll(d, nullptr); }, 0, {}, 0},
        {"override get", n_th, 0, 0x46, [](auto d) { return zwif_clmt_ctl_schd_ovr_get(d); }, 1, {{0x46, 0x07}}, 62},
        {"override -0.5", n_th, 0, 0x46, ovr_set(1, ZW_CLIMATE_SETBACK, -5), 1, {{0x46, 0x06, 0x01, 0xFB}}, 63},
        {"override unused", n_th, 0, 0x46, ovr_set(2, ZW_CLIMATE_UNUSED, 0), 1, {{0x46, 0x06, 0x02, 0x7F}}, 63},
        {"override type 3", n_th, 0, 0x46, ovr_set(3, 0, 0), ZW_ERR_VALUE, {}, 0},
        {"override state 4", n_th, 0, 0x46, ovr_set(1, 4, 0), ZW_ERR_VALUE, {}, 0},
        {"override 12.1", n_th, 0, 0x46, ovr_set(1, 0, 121), ZW_ERR_VALUE, {}, 0},
        // Setback.
        {"setback get", n_th, 0, 0x47, [](auto d) { return zwif_thrmo_setb_get(d); }, 1, {{0x47, 0x02}}, 52},
        {"setback -0.5", n_th, 0, 0x47, [](auto d) { return zwif_thrmo_setb_set(d, 2, 0, -5); }, 1,
         {{0x47, 0x01, 0x02, 0xFB}}, 53},
        {"setback 12.0", n_th, 0, 0x47, [](auto d) { return zwif_thrmo_setb_set(d, 1, 0, 120); }, 1,
         {{0x47, 0x01, 0x01, 0x78}}, 53},
        {"setback 12.1", n_th, 0, 0x47, [](auto d) { return zwif_thrmo_setb_set(d, 1, 0, 121); }, ZW_ERR_VALUE, {}, 0},
        {"frost protection", n_th, 0, 0x47, [](auto d) { return zwif_thrmo_setb_set(d, 0, 1, 0); }, 1,
         {{0x47, 0x01, 0x00, 0x79}}, 53},
        {"energy saving", n_th, 0, 0x47, [](auto d) { return zwif_thrmo_setb_set(d, 0, 2, 0); }, 1,
         {{0x47, 0x01, 0x00, 0x7A}}, 53},
        {"unused", n_th, 0, 0x47, [](auto d) { return zwif_thrmo_setb_set(d, 0, 3, 0); }, 1,
         {{0x47, 0x01, 0x00, 0x7F}}, 53},
        {"setback type 3", n_th, 0, 0x47, [](auto d) { return zwif_thrmo_setb_set(d, 3, 0, 0); }, ZW_ERR_VALUE, {}, 0},
        {"setback state 4", n_th, 0, 0x47, [](auto d) { return zwif_thrmo_setb_set(d, 0, 4, 0); }, ZW_ERR_VALUE, {},
         0},
        // Notification: the parameters each version takes.
        {"notification type 6, no event", n_th, 0, 0x71, alrm(-1, 6, 0), 1, {{0x71, 0x04, 0x00, 0x06}}, 40},
        {"notification type 0", n_th, 0, 0x71, alrm(-1, 0, 0), 1, {{0x71, 0x04, 0x00}}, 40},
        {"notification type 6, event 3", n_th, 0, 0x71, alrm(-1, 6, 3), 1, {{0x71, 0x04, 0x00, 0x06, 0x03}}, 40},
        {"notification vendor type", n_th, 0, 0x71, alrm(0x15, 6, 3), 1, {{0x71, 0x04, 0x15, 0x06, 0x03}}, 40},
        {"every notification: event 0", n_th, 0, 0x71, alrm(-1, 0xFF, 5), 1, {{0x71, 0x04, 0x00, 0xFF, 0x00}}, 40},
        {"notification, version 2", n_v2, 0, 0x71, alrm(-1, 6, 3), 1, {{0x71, 0x04, 0x00, 0x06}}, 40},
        {"notification type 0, version 2", n_v2, 0, 0x71, alrm(-1, 0, 0), 1, {{0x71, 0x04, 0x00}}, 40},
        {"alarm, version 1", n_v1, 0, 0x71, alrm(0x07, 6, 3), 1, {{0x71, 0x04, 0x07}}, 40},
        {"notification, no flags", n_th, 0, 0x71, [](auto d) { return zwif_alrm_get(d, -1, 6, 0, 0); }, 0, {}, 0},
        {"notification set", n_th, 0, 0x71, [](auto d) { return zwif_alrm_set(d, 6, 0xFF); }, 1,
         {{0x71, 0x06, 0x06, 0xFF}}, 41},
        {"notification set, version 1", n_v1, 0, 0x71, [](auto d) { return zwif_alrm_set(d, 6, 0xFF); },
         ZW_ERR_CLASS_VER, {}, 0},
        {"notification types", n_th, 0, 0x71, [](auto d) { return zwif_alrm_sup_get(d, nullptr, 0); }, 1,
         {{0x71, 0x07}}, 42},
        {"notification types, version 1", n_v1, 0, 0x71, [](auto d) { return zwif_alrm_sup_get(d, nullptr, 0); },
         ZW_ERR_CLASS_VER, {}, 0},
        {"events of type 6", n_th, 0, 0x71, [](auto d) { return zwif_alrm_sup_evt_get(d, 6, nullptr, 0); }, 1,
         {{0x71, 0x01, 0x06}}, 89},
        {"events, version 2", n_v2, 0, 0x71, [](auto d) { return zwif_alrm_sup_evt_get(d, 6, nullptr, 0); },
         ZW_ERR_CLASS_VER, {}, 0},
        {"events, cache only", n_th, 0, 0x71, [](auto d) { return zwif_alrm_sup_evt_get(d, 6, nullptr, 1); },
         ZW_ERR_NO_CACHE_AVAIL, {}, 0},
        // Report setters, and the poll forms without a request.
        {"mode setter", n_th, 0, 0x40, [](auto d) { return zwif_thrmo_mode_rpt_set(d, nullptr); }, 0, {}, 0},
        {"operating state setter", n_th, 0, 0x42, [](auto d) { return zwif_thrmo_op_rpt_set(d, nullptr); }, 0, {}, 0},
        {"setpoint setter", n_th, 0, 0x43, [](auto d) { return zwif_thrmo_setp_rpt_set(d, nullptr); }, 0, {}, 0},
        {"fan mode setter", n_th, 0, 0x44, [](auto d) { return zwif_thrmo_fan_mode_rpt_set(d, nullptr); }, 0, {}, 0},
        {"fan state setter", n_th, 0, 0x45, [](auto d) { return zwif_thrmo_fan_sta_rpt_set(d, nullptr); }, 0, {}, 0},
        {"schedule setter", n_th, 0, 0x46, [](auto d) { return zwif_clmt_ctl_schd_rpt_set(d, nullptr); }, 0, {}, 0},
        {"schedule changed setter", n_th, 0, 0x46, [](auto d) { return zwif_clmt_ctl_schd_chg_rpt_set(d, nullptr); },
         0, {}, 0},
        {"override setter", n_th, 0, 0x46, [](auto d) { return zwif_clmt_ctl_schd_ovr_rpt_set(d, nullptr); }, 0, {},
         0},
        {"setback setter", n_th, 0, 0x47, [](auto d) { return zwif_thrmo_setb_rpt_set(d, nullptr); }, 0, {}, 0},
        {"notification setter", n_th, 0, 0x71, [](auto d) { return zwif_alrm_rpt_set(d, nullptr); }, 0, {}, 0},
        {"setback setter on a schedule", n_th, 0, 0x46, [](auto d) { return zwif_thrmo_setb_rpt_set(d, nullptr); },
         ZW_ERR_CLASS_NOT_FOUND, {}, 0},
        {"setpoint get with flags through the _ex form", n_th, 0, 0x43,
         [](auto d) { return zwif_thrmo_setp_get_ex(d, 1, nullptr, ZWIF_GET_BMSK_LIVE); }, 1, {{0x43, 0x02, 0x01}},
         54},
        {"setpoint poll form without a request", n_th, 0, 0x43,
         [](auto d) { return zwif_thrmo_setp_get_poll(d, 1, nullptr); }, 0, {}, 0},
        {"schedule changed through the _ex form", n_th, 0, 0x46,
         [](auto d) { return zwif_clmt_ctl_schd_chg_get_ex(d, nullptr); }, 1, {{0x46, 0x04}}, 61},
        {"notification through the _ex form", n_th, 0, 0x71,
         [](auto d) { return zwif_alrm_get_ex(d, -1, 6, 0, nullptr, ZWIF_GET_BMSK_LIVE); }, 1,
         {{0x71, 0x04, 0x00, 0x06}}, 40},
        {"notification poll form without a request", n_th, 0, 0x71,
         [](auto d) { return zwif_alrm_get_poll(d, -1, 6, 0, nullptr); }, 0, {}, 0},
        {"alarm rules without a device record", n_th, 0, 0x71,
         [](auto d) {
             const dev_if_t *r = nullptr;
             return zwif_alrm_dev_rec_get(d, &r);
         },
         ZW_ERR_NO_DEV_REC, {}, 0},
    };
    run(cases);
}

// The schedule of a day is always nine switch points, the unused ones
// 00 00 7F; points must come in strictly increasing time.
TEST_F(ThrmCalls, AScheduleIsThirtyBytes)
{
    zwcc_shed_t s{3, 3, {}};
    s.swpt[0] = {6, 30, ZW_CLIMATE_SETBACK, -20};
    s.swpt[1] = {8, 0, ZW_CLIMATE_FROST_PROTECTION, 0};
    s.swpt[2] = {22, 15, ZW_CLIMATE_ENERGY_SAVING, 0};
    const bytes golden{
        0x46, 0x01,        // Climate Control Schedule Set
        0x03,              // Wednesday
        0x06, 0x1E, 0xEC,  // 06:30, setback -2.0
        0x08, 0x00, 0x79,  // 08:00, frost protection
        0x16, 0x0F, 0x7A,  // 22:15, energy saving
        0x00, 0x00, 0x7F,  // six unused switch points
        0x00, 0x00, 0x7F,
        0x00, 0x00, 0x7F,
        0x00, 0x00, 0x7F,
        0x00, 0x00, 0x7F,
        0x00, 0x00, 0x7F,
    };
    ASSERT_EQ(30u, golden.size());
    bytes empty{0x46, 0x01, 0x07};
    for (int k = 0; k < 9; ++k)
        empty.insert(empty.end(), {0x00, 0x00, 0x7F});

    auto with = [&](auto change) {
        zwcc_shed_t t = s;
        change(t);
        return [t](const zwif_desc_t *d) { return zwif_clmt_ctl_schd_set(d, &t); };
    };
    const call_case cases[] = {
        {"three switch points", n_th, 0, 0x46, with([](auto &) {}), 1, {golden}, 60},
        {"no switch point", n_th, 0, 0x46, with([](auto &t) { t = zwcc_shed_t{7, 0, {}}; }), 1, {empty}, 60},
        {"two points at the same time", n_th, 0, 0x46, with([](auto &t) { t.swpt[1] = {6, 30, 1, 0}; }), ZW_ERR_VALUE,
         {}, 0},
        {"a later point earlier in the day", n_th, 0, 0x46, with([](auto &t) { t.swpt[2] = {7, 59, 2, 0}; }),
         ZW_ERR_VALUE, {}, 0},
        {"state 3", n_th, 0, 0x46, with([](auto &t) { t.swpt[1].state = ZW_CLIMATE_UNUSED; }), ZW_ERR_VALUE, {}, 0},
        {"setback 12.1", n_th, 0, 0x46, with([](auto &t) { t.swpt[0].setback = 121; }), ZW_ERR_VALUE, {}, 0},
        {"hour 24", n_th, 0, 0x46, with([](auto &t) { t.swpt[2].hour = 24; }), ZW_ERR_VALUE, {}, 0},
        {"minute 60", n_th, 0, 0x46, with([](auto &t) { t.swpt[2].minute = 60; }), ZW_ERR_VALUE, {}, 0},
        {"ten switch points", n_th, 0, 0x46, with([](auto &t) { t.cnt = 10; }), ZW_ERR_VALUE, {}, 0},
        {"day 0", n_th, 0, 0x46, with([](auto &t) { t.weekday = 0; }), ZW_ERR_VALUE, {}, 0},
        {"day 8", n_th, 0, 0x46, with([](auto &t) { t.weekday = 8; }), ZW_ERR_VALUE, {}, 0},
    };
    run(cases);
}

// A set whose report is known in advance fills the set-echo record before it
// leaves; a value the device does not list (or reports otherwise) does not.
TEST_F(ThrmCalls, OnlySupportedValuesAreEchoed)
{
    ASSERT_NO_FATAL_FAILURE(data_set(n_th, 0x40, {3, 1, 2, 5}));           // modes 1, 2, 5
    ASSERT_NO_FATAL_FAILURE(data_set(n_th, 0x44, {1, 2, 1, 3}));           // off supported, modes 1, 3
    bytes setp_blk(4 + 20, 0);                                             // one type: 1
    setp_blk[0] = 1;
    setp_blk[4 + 4] = setp_blk[4 + 4 + 8] = 1;
    ASSERT_NO_FATAL_FAILURE(data_set(n_th, 0x43, setp_blk));
    const zwsetp_t t1 = setp(1, 1, 0, 2, {0x00, 0xD7}), t2 = setp(2, 1, 0, 2, {0x00, 0xC8});
    const struct {
        const char *name;
        uint16_t cls;
        call_fn call;
        bytes echo;
    } cases[] = {
        {"a supported mode", 0x40, [](auto d) { return zwif_thrmo_mode_set(d, 1); }, {0x40, 0x03, 0x01}},
        {"mode 5, supported but reported as another", 0x40, [](auto d) { return zwif_thrmo_mode_set(d, 5); }, {}},
        {"a mode not supported", 0x40, [](auto d) { return zwif_thrmo_mode_set(d, 3); }, {}},
        {"a supported fan mode", 0x44, [](auto d) { return zwif_thrmo_fan_mode_set(d, 0, 3); }, {0x44, 0x03, 0x03}},
        {"fan off", 0x44, [](auto d) { return zwif_thrmo_fan_mode_set(d, 1, 0); }, {0x44, 0x03, 0x80}},
        {"a fan mode not supported", 0x44, [](auto d) { return zwif_thrmo_fan_mode_set(d, 0, 2); }, {}},
        {"a supported setpoint type", 0x43, setp_set(t1), {0x43, 0x03, 0x01, 0x22, 0x00, 0xD7}},
        {"a setpoint type not supported", 0x43, setp_set(t2), {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(clear(n_th));
        echo_clear();
        zwif_desc_t d = intf(n_th, c.cls);
        EXPECT_EQ(1, c.call(&d));
        EXPECT_EQ(1u, queued(n_th).size()) << "the set is sent either way";
        EXPECT_EQ(c.echo, echo());
    }
    uint8_t modes[255], cnt = 0, off = 0;
    zwif_desc_t m = intf(n_th, 0x40), f = intf(n_th, 0x44), sp = intf(n_th, 0x43);
    ASSERT_EQ(0, zwif_thrmo_mode_sup_cache_get(&m, modes, &cnt));
    EXPECT_EQ((bytes{1, 2, 5}), bytes(modes, modes + cnt));
    ASSERT_EQ(0, zwif_thrmo_fan_mode_sup_cache_get(&f, &off, &cnt, modes));
    EXPECT_EQ(1, off);
    EXPECT_EQ((bytes{1, 3}), bytes(modes, modes + cnt));
    ASSERT_EQ(0, zwif_thrmo_setp_sup_cache_get(&sp, &cnt, modes));
    EXPECT_EQ((bytes{1}), bytes(modes, modes + cnt));
    zwsetp_t lo, hi;
    EXPECT_EQ(ZW_ERR_NO_CACHE_AVAIL, zwif_thrmo_setp_range_cache_get(&sp, 1, &lo, &hi)) << "no range reported yet";
}

// A device that has not told its version yet: only the cache is asked of
// it; a live get then uses the version the library assumed.
TEST_F(ThrmCalls, ANotificationGetBeforeTheVersionIsKnown)
{
    {
        zwnet_lock lk(net_);
        zwif_find_cls(zwnode_find(&net_->ctl, n_v2)->ep.intf, 0x71)->real_ver = 0;
    }
    zwif_desc_t d = intf(n_v2, 0x71);
    ASSERT_EQ(0, zwif_alrm_rpt_set(&d, [](zwif_desc_t *, zwalrm_t *, time_t) {}));
    ASSERT_NO_FATAL_FAILURE(clear(n_v2));
    EXPECT_EQ(ZW_ERR_CLASS_VER, zwif_alrm_get(&d, -1, 6, 0, ZWIF_GET_BMSK_LIVE));
    EXPECT_TRUE(queued(n_v2).empty());
    EXPECT_EQ(1, zwif_alrm_get(&d, -1, 6, 0, ZWIF_GET_BMSK_CACHE | ZWIF_GET_BMSK_LIVE));
    const auto q = queued(n_v2);
    ASSERT_EQ(1u, q.size());
    EXPECT_EQ((bytes{0x71, 0x04, 0x00, 0x06}), q[0].first) << "version 2, as the interface was made";
}

// The node's alarm rules say what the device calls what the application
// asks for; on old devices they also stand for the capabilities.
class ThrmRules : public ThrmCalls {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(ThrmCalls::SetUp());
        auto al = std::make_unique<dev_if_t>();
        al->if_type = DEV_IF_ALARM;
        // Vendor alarm 0x15 is a smoke alarm (type 6, event 3) to the application.
        auto a = std::make_unique<dev_alrm_rule_t>();
        a->alrm_type = 0x15;
        a->result.notif_type = 6;
        a->result.notif_evt = 3;
        a->eff_alrm_type = 0x15;
        a->eff_notif_type = 6;
        a->eff_notif_evt = 3;
        // The device's event 8 of type 7 is event 2 to the application.
        auto b = std::make_unique<dev_alrm_rule_t>();
        b->notif_type = 7;
        b->notif_evt = 8;
        b->result.notif_type = 7;
        b->result.notif_evt = 2;
        b->eff_notif_type = 7;
        b->eff_notif_evt = 2;
        al->alrm.push_back(std::move(a));
        al->alrm.push_back(std::move(b));
        auto sp = std::make_unique<dev_if_t>();
        sp->if_type = DEV_IF_THRMO_SETP;
        sp->setp.push_back({1, 1, 0, 2, 0x00, 0x32, 0, 0, 1, 1, 0, 2, 0x01, 0x2C, 0, 0});
        dev_ep_ent_t ent;
        ent.intf.push_back(std::move(al));
        ent.intf.push_back(std::move(sp));
        ep.ent.push_back(std::move(ent));
        rec = dev_rec_t{0, 0, 0, 0, &ep};
        dev_rec_attach(&rec);
    }
    void TearDown() override
    {
        if (net_ != nullptr)
            dev_rec_attach(nullptr);
        ThrmCalls::TearDown();
    }
    dev_ep_t ep;
    dev_rec_t rec{};
};

TEST_F(ThrmRules, NotificationGetsAreRewrittenByTheRules)
{
    const call_case cases[] = {
        {"smoke alarm: the vendor type", n_th, 0, 0x71, alrm(-1, 6, 3), 1,
         {{0x71, 0x04,  // Notification Get
           0x15,        // the vendor alarm type of the first fitting rule
           0x06, 0x03}},  // type and event as asked (the rule does not match on them)
         40},
        {"event 2 of type 7: the device's event 8", n_th, 0, 0x71, alrm(-1, 7, 2), 1,
         {{0x71, 0x04, 0x00, 0x07, 0x08}}, 40},
        {"no rule fits", n_th, 0, 0x71, alrm(-1, 7, 5), 1, {{0x71, 0x04, 0x00, 0x07, 0x05}}, 40},
        {"everything, version 3: left alone", n_th, 0, 0x71, alrm(-1, 0xFF, 0), 1,
         {{0x71, 0x04, 0x00, 0xFF, 0x00}}, 40},
        {"everything, version 2: the first rule's vendor type", n_v2, 0, 0x71, alrm(-1, 0xFF, 0), 1,
         {{0x71, 0x04, 0x15, 0xFF}}, 40},
        {"smoke alarm, version 2", n_v2, 0, 0x71, alrm(-1, 6, 3), 1, {{0x71, 0x04, 0x15, 0x06}}, 40},
        {"smoke alarm, version 1", n_v1, 0, 0x71, alrm(-1, 6, 3), 1, {{0x71, 0x04, 0x15}}, 40},
        {"version 1 with a vendor type: as asked", n_v1, 0, 0x71, alrm(0x20, 6, 3), 1, {{0x71, 0x04, 0x20}}, 40},
        {"types of a version 1 device from the rules", n_v1, 0, 0x71,
         [](auto d) { return zwif_alrm_sup_get(d, nullptr, 0); }, ZW_ERR_CACHE_AVAIL, {}, 0},
        {"setpoint range of a version 2 device from the record", n_v2, 0, 0x43,
         [](auto d) { return zwif_thrmo_setp_range_get(d, 1, nullptr, 0); }, ZW_ERR_CACHE_AVAIL, {}, 0},
    };
    run(cases);

    zwif_desc_t v1 = intf(n_v1, 0x71);
    uint8_t list[255], cnt = 0, have_vt = 0;
    ASSERT_EQ(0, zwif_alrm_sup_cache_get(&v1, &have_vt, &cnt, list));
    EXPECT_EQ(1, have_vt);
    EXPECT_EQ((bytes{6, 7}), bytes(list, list + cnt));
    const struct {
        uint8_t type;
        int rc;
        bytes events;
    } evts[] = {{6, 0, {3}}, {7, 0, {8, 2}}, {9, ZW_ERR_CLASS_VER, {}}};
    for (const auto &e : evts) {
        SCOPED_TRACE(int(e.type));
        cnt = 0;
        EXPECT_EQ(e.rc, zwif_alrm_sup_evt_cache_get(&v1, e.type, &cnt, list));
        EXPECT_EQ(e.events, bytes(list, list + cnt));
    }
    const dev_if_t *rules = nullptr;
    ASSERT_EQ(0, zwif_alrm_dev_rec_get(&v1, &rules));
    ASSERT_NE(nullptr, rules);
    EXPECT_EQ(2u, rules->alrm.size());

    zwif_desc_t sp = intf(n_v2, 0x43);
    zwsetp_t lo{}, hi{};
    ASSERT_EQ(0, zwif_thrmo_setp_range_cache_get(&sp, 1, &lo, &hi));
    EXPECT_EQ(0x32, lo.data[1]);
    EXPECT_EQ(0x2C, hi.data[1]);
    EXPECT_EQ(ZW_ERR_CLASS_VER, zwif_thrmo_setp_range_cache_get(&sp, 2, &lo, &hi));
}

}  // namespace
