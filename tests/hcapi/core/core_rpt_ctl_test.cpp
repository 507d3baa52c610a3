// Reports of thermostats, climate schedules, door locks, user codes,
// protection, central scenes, clock, indicator and application status,
// through the report dispatcher of a bare network (no threads, no sockets).
// Golden frames are written from the published command-class layouts, one
// comment per byte, each in a buffer of exactly its length so that
// AddressSanitizer proves every bound; what the callbacks receive and what
// the caches hold is compared byte for byte.
#include "hcapi/core/zwif_rpt.h"
#include "hcapi/core/zwnode_q.h"
#include "hcapi/core/zwrec.h"
#include "hcapi/include/zwif_ctl.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

// --- what the callbacks received ------------------------------------------------------

struct event {
    uint16_t cls;
    bytes args;  // the callback's arguments after the descriptor, flattened
    time_t ts;
};

zwnet_p g_net = nullptr;
std::vector<event> g_events;

void rec(zwif_desc_t *intf, bytes args, time_t ts = 0)
{
    // No report callback ever runs under the network mutex.
    if (g_net == nullptr || zwnet_lck_depth(g_net) != 0 || intf == nullptr || intf->nodeid != 5)
        std::abort();
    g_events.push_back({intf->cls, std::move(args), ts});
}

template <class T>
bytes raw(const T *v)
{
    if (v == nullptr)
        return {};
    const auto *p = reinterpret_cast<const uint8_t *>(v);
    return bytes(p, p + sizeof *v);
}

bytes cat(bytes a, const bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void on_byte(zwif_desc_t *i, uint8_t v) { rec(i, {v}); }
void on_ts(zwif_desc_t *i, uint8_t v, time_t ts) { rec(i, {v}, ts); }
void on_busy(zwif_desc_t *i, uint8_t s, uint8_t w) { rec(i, {s, w}); }
void on_md_sup(zwif_desc_t *i, uint8_t cnt, uint8_t *m, int valid)
{
    rec(i, cat(cat({cnt}, bytes(m, m + cnt)), {static_cast<uint8_t>(valid)}));
}
void on_fan_md(zwif_desc_t *i, uint8_t off, uint8_t mode, time_t ts) { rec(i, {off, mode}, ts); }
void on_fan_sup(zwif_desc_t *i, uint8_t off, uint8_t cnt, uint8_t *m, int valid)
{
    rec(i, cat(cat({off, cnt}, bytes(m, m + cnt)), {static_cast<uint8_t>(valid)}));
}
void on_setp(zwif_desc_t *i, zwsetp_t *v, time_t ts) { rec(i, raw(v), ts); }
void on_setp_sup(zwif_desc_t *i, uint8_t cnt, uint8_t *t, int valid)
{
    rec(i, cat(cat({cnt}, bytes(t, t + cnt)), {static_cast<uint8_t>(valid)}));
}
void on_setp_range(zwif_desc_t *i, uint8_t type, zwsetp_t *min, zwsetp_t *max, int valid)
{
    rec(i, cat(cat(cat({type}, raw(min)), raw(max)), {static_cast<uint8_t>(valid)}));
}
void on_shed_ovr(zwif_desc_t *i, zwcc_shed_ovr_t *o) { rec(i, raw(o)); }
void on_shed(zwif_desc_t *i, zwcc_shed_t *s)
{
    bytes b{s->weekday, s->cnt};
    for (uint8_t k = 0; k < s->cnt && k < ZW_CLIMATE_SWPT_MAX; ++k)
        b = cat(b, raw(&s->swpt[k]));
    rec(i, b);
}
void on_setb(zwif_desc_t *i, uint8_t type, uint8_t state, int8_t setback)
{
    rec(i, {type, state, static_cast<uint8_t>(setback)});
}
void on_csc(zwif_desc_t *i, zwcsc_notif_t *n, time_t ts) { rec(i, raw(n), ts); }
void on_csc_sup(zwif_desc_t *i, uint8_t scenes, uint8_t identical, uint8_t row_sz, uint8_t *rows, uint8_t slow,
                int valid)
{
    const size_t n = size_t(identical ? 1 : scenes) * row_sz;
    rec(i, cat(cat({scenes, identical, row_sz}, bytes(rows, rows + n)), {slow, static_cast<uint8_t>(valid)}));
}
void on_dlck_op(zwif_desc_t *i, zwdlck_op_t *op, time_t ts) { rec(i, raw(op), ts); }
void on_dlck_cfg(zwif_desc_t *i, zwdlck_cfg_t *cfg, time_t ts) { rec(i, raw(cfg), ts); }
void on_usr_sup(zwif_desc_t *i, uint8_t cnt, int valid) { rec(i, {cnt, static_cast<uint8_t>(valid)}); }
void on_usrcod(zwif_desc_t *i, zwusrcod_t *c)
{
    rec(i, cat({c->id, c->id_sts, c->code_len}, bytes(c->code, c->code + std::min<uint8_t>(c->code_len, 10))));
}
void on_prot(zwif_desc_t *i, uint8_t local, uint8_t rf) { rec(i, {local, rf}); }
void on_prot_sup(zwif_desc_t *i, zwprot_sup_t *s, int valid) { rec(i, cat(raw(s), {static_cast<uint8_t>(valid)})); }
void on_clock(zwif_desc_t *i, uint8_t wd, uint8_t h, uint8_t m) { rec(i, {wd, h, m}); }

template <class F>
zwif_rpt_fn fp(F f)
{
    return reinterpret_cast<zwif_rpt_fn>(f);
}

// The application's callback of every report of the family.
const std::map<std::pair<uint16_t, uint8_t>, zwif_rpt_fn> callbacks = {
    {{0x22, 0x01}, fp(on_busy)},       {{0x22, 0x02}, fp(on_byte)},       {{0x40, 0x03}, fp(on_ts)},
    {{0x40, 0x05}, fp(on_md_sup)},     {{0x42, 0x03}, fp(on_ts)},         {{0x43, 0x03}, fp(on_setp)},
    {{0x43, 0x05}, fp(on_setp_sup)},   {{0x43, 0x0A}, fp(on_setp_range)}, {{0x44, 0x03}, fp(on_fan_md)},
    {{0x44, 0x05}, fp(on_fan_sup)},    {{0x45, 0x03}, fp(on_ts)},         {{0x46, 0x03}, fp(on_shed)},
    {{0x46, 0x05}, fp(on_byte)},       {{0x46, 0x08}, fp(on_shed_ovr)},   {{0x47, 0x03}, fp(on_setb)},
    {{0x5B, 0x02}, fp(on_csc_sup)},    {{0x5B, 0x03}, fp(on_csc)},        {{0x5B, 0x06}, fp(on_byte)},
    {{0x62, 0x03}, fp(on_dlck_op)},    {{0x62, 0x06}, fp(on_dlck_cfg)},   {{0x63, 0x03}, fp(on_usrcod)},
    {{0x63, 0x05}, fp(on_usr_sup)},    {{0x75, 0x03}, fp(on_prot)},       {{0x75, 0x05}, fp(on_prot_sup)},
    {{0x75, 0x08}, fp(on_byte)},       {{0x75, 0x0B}, fp(on_byte)},       {{0x81, 0x06}, fp(on_clock)},
    {{0x87, 0x03}, fp(on_byte)},
};

// --- a bare network: node 5 with one interface of each class -------------------------

constexpr uint16_t classes[] = {0x22, 0x40, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x5B, 0x62, 0x63, 0x75, 0x81, 0x87};

class CtlNet : public ::testing::Test {
protected:
    void SetUp() override { build(3); }
    void TearDown() override { teardown(); }

    // Every interface at version `ver` (Protection at most 2), callbacks set.
    void build(uint8_t ver)
    {
        teardown();
        g_events.clear();
        net_ = new zwnet;
        g_net = net_;
        plt_mtx_init(&net_->mtx);
        zwnet_lock lk(net_);
        zwnode_p node = zwnode_create(net_, 5);
        for (uint16_t cls : classes) {
            zwif_p i = zwif_create(cls, cls == 0x75 ? std::min<uint8_t>(ver, 2) : ver, IF_PROPTY_UNSECURE);
            ASSERT_NE(nullptr, i);
            zwif_attach(&node->ep, i);
            for (uint8_t r = 0; r < i->rpt_num; ++r) {
                auto it = callbacks.find({cls, i->rpt[r].rpt_cmd});
                ASSERT_NE(callbacks.end(), it) << std::hex << cls << " " << int(i->rpt[r].rpt_cmd);
                i->rpt[r].usr_rpt_cb = it->second;
            }
        }
    }
    void teardown()
    {
        if (net_ == nullptr)
            return;
        {
            zwnet_lock lk(net_);
            zwnet_node_free(net_, 5);
        }
        plt_mtx_destroy(net_->mtx);
        delete net_;
        net_ = nullptr;
        g_net = nullptr;
    }

    // As the receive path does, in a buffer of exactly the frame's length.
    int dispatch(const bytes &f)
    {
        std::unique_ptr<uint8_t[]> buf(new uint8_t[f.empty() ? 1 : f.size()]);
        std::copy(f.begin(), f.end(), buf.get());
        uint16_t cls;
        uint8_t cmd;
        if (!zwif_cls_cmd_get(buf.get(), static_cast<uint16_t>(f.size()), &cls, &cmd))
            return 0;
        zwnet_lock lk(net_);
        zwep_p ep = zwep_find_by_id(net_, 5, 0);
        zwif_p i = ep ? zwif_find_cls(ep->intf, cls) : nullptr;
        return i ? zwif_report_dispatch(i, buf.get(), static_cast<uint16_t>(f.size())) : 0;
    }
    // The one event a frame gave, if it gave exactly one.
    std::optional<event> one(const bytes &f)
    {
        const size_t before = g_events.size();
        EXPECT_EQ(1, dispatch(f));
        if (g_events.size() != before + 1)
            return std::nullopt;
        return g_events.back();
    }

    // Direct access to an interface record (test thread only).
    zwif_p intf(uint16_t cls)
    {
        zwep_p ep = zwep_find_by_id(net_, 5, 0);
        return zwif_find_cls(ep->intf, cls);
    }
    bytes data(uint16_t cls)
    {
        zwif_p i = intf(cls);
        if (i->data == nullptr || i->data_cnt == 0)
            return {};
        const auto *p = static_cast<const uint8_t *>(i->data);
        return bytes(p, p + size_t(i->data_cnt) * i->data_item_sz);
    }
    // Cache entries without their times.
    std::vector<bytes> cache(uint16_t cls)
    {
        zwif_p i = intf(cls);
        std::vector<bytes> out;
        const auto *p = static_cast<const uint8_t *>(i->cch_data);
        for (size_t k = 0; p != nullptr && k < i->cch_ele_cnt; ++k)
            out.emplace_back(p + k * i->cch_ele_sz + 8, p + (k + 1) * i->cch_ele_sz);
        return out;
    }
    int64_t cache_time(uint16_t cls, size_t at = 0)
    {
        int64_t t;
        std::memcpy(&t, static_cast<const uint8_t *>(intf(cls)->cch_data) + at, sizeof t);
        return t;
    }

    zwnet_p net_ = nullptr;
};

// --- golden frames: what each report hands to its callback ------------------------------

struct golden {
    const char *name;
    bytes frame;
    std::optional<bytes> args;  // none: the frame is dropped, no callback
};

// A setpoint record: type, precision, scale, size, value bytes.
bytes setp(uint8_t type, uint8_t prec, uint8_t scale, uint8_t size, bytes v)
{
    v.resize(4, 0);
    return cat({type, prec, scale, size}, v);
}

const golden goldens[] = {
    {"application busy",
     {0x22,  // Application Status
      0x01,  // Busy
      0x01,  // status: try again in wait time seconds
      0x0A}, // wait time 10 s
     bytes{0x01, 0x0A}},
    {"application busy without its wait time", {0x22, 0x01, 0x01}, std::nullopt},
    {"application rejected request",
     {0x22,  // Application Status
      0x02,  // Rejected Request
      0x00}, // status
     bytes{0x00}},
    {"thermostat mode report",
     {0x40,  // Thermostat Mode
      0x03,  // Report
      0xE1}, // no manufacturer data (bits 5-7), mode 1 heat
     bytes{0x01}},
    {"thermostat mode supported",
     {0x40,  // Thermostat Mode
      0x05,  // Supported Report
      0x07,  // off, heat, cool
      0x02}, // bit 9: energy save heat
     bytes{4, 0, 1, 2, 9, 1}},
    {"thermostat operating state",
     {0x42,  // Thermostat Operating State
      0x03,  // Report
      0xF2}, // reserved bits set, state 2 cooling
     bytes{0x02}},
    {"setpoint report, 2 bytes",
     {0x43,  // Thermostat Setpoint
      0x03,  // Report
      0x01,  // type 1 heating
      0x22,  // precision 1, scale 0 (Celsius), size 2
      0x00,  // value 0x00FA = 25.0
      0xFA},
     setp(1, 1, 0, 2, {0x00, 0xFA})},
    {"setpoint report, 4 bytes, Fahrenheit",
     {0x43,  // Thermostat Setpoint
      0x03,  // Report
      0x02,  // type 2 cooling
      0x0C,  // precision 0, scale 1, size 4
      0x00, 0x00, 0x00, 0x4B},  // 75
     setp(2, 0, 1, 4, {0x00, 0x00, 0x00, 0x4B})},
    {"setpoint report of size 3", {0x43, 0x03, 0x01, 0x03, 0x00, 0x00, 0x19}, std::nullopt},
    {"setpoint report shorter than its size", {0x43, 0x03, 0x01, 0x22, 0x00}, std::nullopt},
    {"setpoint supported",
     {0x43,  // Thermostat Setpoint
      0x05,  // Supported Report
      0x06,  // bits 1, 2: heating, cooling
      0x01}, // bit 8: type 12
     bytes{3, 1, 2, 12, 1}},
    {"setpoint supported names type 1 once",
     {0x43,  // Thermostat Setpoint
      0x05,  // Supported Report
      0x07}, // bits 0, 1, 2
     bytes{2, 1, 2, 1}},
    {"setpoint capabilities",
     {0x43,  // Thermostat Setpoint
      0x0A,  // Capabilities Report
      0x01,  // type 1
      0x21,  // minimum: precision 1, scale 0, size 1
      0x32,  // 5.0
      0x22,  // maximum: precision 1, scale 0, size 2
      0x01, 0x2C},  // 30.0
     cat(cat({1}, setp(1, 1, 0, 1, {0x32})), cat(setp(1, 1, 0, 2, {0x01, 0x2C}), {1}))},
    {"setpoint capabilities without a maximum",
     {0x43,  // Thermostat Setpoint
      0x0A,  // Capabilities Report
      0x02,  // type 2
      0x01,  // minimum: size 1
      0x10}, // 16
     cat(cat({2}, setp(2, 0, 0, 1, {0x10})), cat(setp(0, 0, 0, 0, {}), {1}))},
    {"setpoint capabilities whose maximum runs past the frame",
     {0x43, 0x0A, 0x01, 0x01, 0x10,
      0x02,  // maximum: size 2
      0x20}, // one value byte of two
     std::nullopt},
    {"setpoint capabilities with a minimum of 5 bytes", {0x43, 0x0A, 0x01, 0x05, 1, 2, 3, 4, 5}, std::nullopt},
    {"fan mode report, off flag",
     {0x44,  // Thermostat Fan Mode
      0x03,  // Report
      0x81}, // off, mode 1 low
     bytes{1, 1}},
    {"fan mode supported",
     {0x44,  // Thermostat Fan Mode
      0x05,  // Supported Report
      0x0B}, // auto low, low, auto high
     bytes{1, 3, 0, 1, 3, 1}},
    {"fan state",
     {0x45,  // Thermostat Fan State
      0x03,  // Report
      0x11}, // state 1 running
     bytes{0x01}},
    {"climate schedule",
     {0x46,  // Climate Control Schedule
      0x03,  // Report
      0x01,  // weekday 1 Monday
      0x06, 0x1E, 0x00,  // 06:30, setback 0
      0x08, 0x00, 0xFC,  // 08:00, setback -4 (-0.4 K)
      0x16, 0x00, 0x7A,  // 22:00, energy saving
      0x00, 0x00, 0x7F,  // unused: the list ends here
      0x17, 0x00, 0x79,  // after the end: not listed
      0x00, 0x00, 0x7F, 0x00, 0x00, 0x7F, 0x00, 0x00, 0x7F, 0x00, 0x00, 0x7F},
     bytes{1, 3, 6, 30, 0, 0, 8, 0, 0, 0xFC, 22, 0, 2, 0}},
    {"climate schedule, second point unused",
     {0x46, 0x03, 0x07,  // weekday 7
      0x07, 0x00, 0x79,  // 07:00 frost protection
      0x00, 0x00, 0x7F,  // unused
      0x00, 0x00, 0x7F, 0x00, 0x00, 0x7F, 0x00, 0x00, 0x7F, 0x00, 0x00, 0x7F, 0x00, 0x00, 0x7F,
      0x00, 0x00, 0x7F, 0x00, 0x00, 0x7F},
     bytes{7, 1, 7, 0, 1, 0}},
    {"climate schedule with a reserved state after the end",
     {0x46, 0x03, 0x01, 0x07, 0x00, 0x79, 0x00, 0x00, 0x7F, 0x00, 0x00, 0x7F, 0x00, 0x00, 0x7F, 0x00, 0x00,
      0x7F, 0x00, 0x00, 0x7F, 0x00, 0x00, 0x7F, 0x00, 0x00, 0x7F,
      0x00, 0x00, 0x7C},  // reserved
     std::nullopt},
    {"climate schedule of 29 bytes",
     {0x46, 0x03, 0x01, 0x07, 0x00, 0x79, 0x00, 0x00, 0x7F, 0x00, 0x00, 0x7F, 0x00, 0x00, 0x7F, 0x00, 0x00,
      0x7F, 0x00, 0x00, 0x7F, 0x00, 0x00, 0x7F, 0x00, 0x00, 0x7F, 0x00, 0x00},
     std::nullopt},
    {"schedule changed",
     {0x46,  // Climate Control Schedule
      0x05,  // Changed Report
      0x2A}, // change counter
     bytes{0x2A}},
    {"schedule override",
     {0x46,  // Climate Control Schedule
      0x08,  // Override Report
      0x02,  // permanent
      0x7A}, // energy saving
     bytes{2, 2, 0}},
    {"schedule override with a setback",
     {0x46, 0x08,
      0x05,  // reserved bits, temporary
      0x14}, // +2.0 K
     bytes{1, 0, 0x14}},
    {"schedule override with a reserved state", {0x46, 0x08, 0x01, 0x7B}, std::nullopt},
    {"setback",
     {0x47,  // Thermostat Setback
      0x03,  // Report
      0x01,  // temporary
      0xEC}, // -2.0 K
     bytes{1, 0, 0xEC}},
    {"setback frost protection", {0x47, 0x03, 0x02, 0x79}, bytes{2, 1, 0x79}},
    {"setback with a reserved state", {0x47, 0x03, 0x02, 0x7E}, std::nullopt},
    {"central scene supported, version 1",
     {0x5B,  // Central Scene
      0x02,  // Supported Report
      0x03}, // 3 scenes
     bytes{3, 1, 1, 0, 0, 1}},
    {"central scene supported, identical",
     {0x5B,  // Central Scene
      0x02,  // Supported Report
      0x02,  // 2 scenes
      0x83,  // slow refresh, 1 mask byte, identical
      0x0B}, // pressed, released, held
     bytes{2, 1, 4, 3, 0, 1, 3, 0x80, 1}},
    {"central scene supported, per scene",
     {0x5B, 0x02,
      0x02,  // 2 scenes
      0x02,  // 1 mask byte each
      0x01,  // scene 1: pressed
      0x05}, // scene 2: pressed, held down
     bytes{2, 0, 3, 1, 0, 0, 2, 0, 2, 0, 1}},
    {"central scene supported, masks past the frame", {0x5B, 0x02, 0x03, 0x02, 0x01, 0x05}, std::nullopt},
    {"central scene notification",
     {0x5B,  // Central Scene
      0x03,  // Notification
      0x11,  // sequence number
      0x82,  // slow refresh, key held down
      0x01}, // scene 1
     bytes{0x11, 2, 1, 0x80}},
    {"central scene configuration",
     {0x5B,  // Central Scene
      0x06,  // Configuration Report
      0xFF}, // slow refresh (and reserved bits)
     bytes{0x80}},
    {"door lock operation",
     {0x62,  // Door Lock
      0x03,  // Operation Report
      0xFF,  // secured
      0x31,  // outside handles 3, inside handle 1
      0x02,  // door closed
      0xFE,  // no time-out
      0xFE},
     bytes{0xFF, 3, 1, 2, 0xFE, 0xFE}},
    {"door lock operation, version 3",
     {0x62, 0x03, 0x00, 0x00, 0x00, 0xFE, 0xFE,
      0xFF,  // target mode
      0x00}, // duration
     bytes{0, 0, 0, 0, 0xFE, 0xFE}},
    {"door lock configuration",
     {0x62,  // Door Lock
      0x06,  // Configuration Report
      0x02,  // timed
      0x10,  // outside 1, inside 0
      0x05,  // 5 minutes
      0x1E}, // 30 seconds
     bytes{2, 1, 0, 5, 30}},
    {"user code",
     {0x63,  // User Code
      0x03,  // Report
      0x04,  // user 4
      0x01,  // occupied
      '1', '2', '3', '4', '5', '6'},
     bytes{4, 1, 6, '1', '2', '3', '4', '5', '6'}},
    {"user code of 10 digits", {0x63, 0x03, 0x01, 0x01, '0', '1', '2', '3', '4', '5', '6', '7', '8', '9'},
     bytes{1, 1, 10, '0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}},
    {"user code without a code", {0x63, 0x03, 0x02, 0x00}, bytes{2, 0, 0}},
    {"user code of 11 bytes", {0x63, 0x03, 0x01, 0x01, '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '0'},
     std::nullopt},
    {"users number",
     {0x63,  // User Code
      0x05,  // Users Number Report
      0x1E}, // 30 users
     bytes{30, 1}},
    {"protection, version 1",
     {0x75,  // Protection
      0x03,  // Report
      0x02}, // no operation possible
     bytes{2, 0}},
    {"protection, version 2",
     {0x75, 0x03,
      0x01,  // protection by sequence
      0x02}, // no RF response at all
     bytes{1, 2}},
    {"protection supported",
     {0x75,  // Protection
      0x05,  // Supported Report
      0x03,  // exclusive control, time-out
      0x07,  // local states 0, 1, 2
      0x00,
      0x03,  // RF states 0, 1
      0x80}, // RF state 15
     cat(cat({1, 1}, cat(bytes{0, 1, 2}, bytes(13, 0))), cat(cat({3}, cat(bytes{0, 1, 15}, bytes(13, 0))), {3, 1}))},
    {"protection supported of 6 bytes", {0x75, 0x05, 0x03, 0x07, 0x00, 0x03}, std::nullopt},
    {"exclusive control",
     {0x75,  // Protection
      0x08,  // Exclusive Control Report
      0x07}, // node 7
     bytes{7}},
    {"protection time-out",
     {0x75,  // Protection
      0x0B,  // Timeout Report
      0x41}, // 2 minutes
     bytes{0x41}},
    {"clock",
     {0x81,  // Clock
      0x06,  // Report
      0x4D,  // weekday 2, hour 13
      0x2D}, // minute 45
     bytes{2, 13, 45}},
    {"clock without minutes", {0x81, 0x06, 0x4D}, std::nullopt},
    {"indicator",
     {0x87,  // Indicator
      0x03,  // Report
      0x63}, // 99
     bytes{0x63}},
};

std::string test_name(std::string n)
{
    for (char &ch : n)
        if (!isalnum(static_cast<unsigned char>(ch)))
            ch = '_';
    return n;
}

class Golden : public CtlNet, public ::testing::WithParamInterface<golden> {};

TEST_P(Golden, FrameGivesItsCallbackArguments)
{
    const golden &g = GetParam();
    const size_t before = g_events.size();
    EXPECT_EQ(1, dispatch(g.frame)) << "every frame of a class with callbacks is taken";
    if (!g.args) {
        EXPECT_EQ(before, g_events.size()) << "a refused frame reaches no callback";
        uint16_t cls;
        uint8_t cmd;
        ASSERT_TRUE(zwif_cls_cmd_get(g.frame.data(), static_cast<uint16_t>(g.frame.size()), &cls, &cmd));
        EXPECT_TRUE(cache(cls).empty()) << "and leaves nothing cached";
        EXPECT_TRUE(data(cls).empty());
        return;
    }
    ASSERT_EQ(before + 1, g_events.size());
    EXPECT_EQ(g.frame[0], g_events.back().cls);
    EXPECT_EQ(*g.args, g_events.back().args);
}

INSTANTIATE_TEST_SUITE_P(Ctl, Golden, ::testing::ValuesIn(goldens),
                         [](const auto &info) { return test_name(info.param.name); });

// Refusals say why: too short for the report, or a field it refuses.
TEST(CtlParse, RefusalsSayWhy)
{
    const struct {
        bytes frame;
        int rc;
    } cases[] = {
        {{0x43, 0x03, 0x01, 0x22}, ZW_ERR_TOO_SMALL},
        {{0x43, 0x03, 0x01, 0x23, 0x00, 0x00, 0x19}, ZW_ERR_VALUE},  // size 3
        {{0x46, 0x08, 0x01, 0x7D}, ZW_ERR_VALUE},
        {{0x62, 0x03, 0xFF, 0x00, 0x00, 0xFE}, ZW_ERR_TOO_SMALL},
        {{0x62, 0x06, 0x01, 0x00, 0xFE}, ZW_ERR_TOO_SMALL},
        {{0x63, 0x03, 0x01}, ZW_ERR_TOO_SMALL},
        {{0x87, 0x02}, ZW_ERR_RPT_NOT_FOUND},  // a Get
    };
    for (const auto &c : cases) {
        zwif_rpt_rec_t r;
        r.val[0] = 0xAA;
        EXPECT_EQ(c.rc, zwif_rpt_parse(c.frame.data(), static_cast<uint16_t>(c.frame.size()), &r));
        EXPECT_EQ(0xAA, r.val[0]) << "a refused frame leaves the record alone";
    }
}

// --- caches -----------------------------------------------------------------------------

struct step {
    bytes frame;
    bool calls;              // the application hears it
    std::vector<bytes> cache;  // the entries afterwards, without times
};

// The single values and the fan mode: a repeat reaches nobody, a change
// does; the version decides whether the fan's off flag exists.
TEST_F(CtlNet, SingleValuesAndTheFanModeFollowTheChangedRule)
{
    const struct {
        const char *name;
        uint8_t ver;
        uint16_t cls;
        std::vector<step> steps;
    } cases[] = {
        {"mode", 3, 0x40,
         {{{0x40, 0x03, 0x01}, true, {{0x01}}},
          {{0x40, 0x03, 0xE1}, false, {{0x01}}},  // manufacturer bits are no change
          {{0x40, 0x03, 0x02}, true, {{0x02}}}}},
        {"operating state", 3, 0x42, {{{0x42, 0x03, 0x00}, true, {{0x00}}}, {{0x42, 0x03, 0x00}, false, {{0x00}}}}},
        {"fan state", 3, 0x45, {{{0x45, 0x03, 0x12}, true, {{0x02}}}, {{0x45, 0x03, 0x02}, false, {{0x02}}}}},
        {"fan mode v3", 3, 0x44,
         {{{0x44, 0x03, 0x01}, true, {{0x01, 0x00}}},
          {{0x44, 0x03, 0x81}, true, {{0x01, 0x01}}},  // mode low byte, off flag high byte
          {{0x44, 0x03, 0x81}, false, {{0x01, 0x01}}}}},
        {"fan mode v2 has no off flag", 2, 0x44,
         {{{0x44, 0x03, 0x01}, true, {{0x01, 0x00}}}, {{0x44, 0x03, 0x81}, false, {{0x01, 0x00}}}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(build(c.ver));
        for (const step &s : c.steps) {
            const size_t before = g_events.size();
            const time_t sent = std::time(nullptr);
            EXPECT_EQ(1, dispatch(s.frame));
            EXPECT_EQ(before + (s.calls ? 1 : 0), g_events.size());
            EXPECT_EQ(s.cache, cache(c.cls));
            EXPECT_GE(cache_time(c.cls), sent) << "a repeat renews the entry's time";
            if (s.calls) {
                EXPECT_EQ(cache_time(c.cls), g_events.back().ts) << "the callback's time is the entry's";
            }
        }
    }
}

TEST_F(CtlNet, SetpointsAreKeptPerTypeAndScale)
{
    const bytes heat_c = setp(1, 1, 0, 2, {0x00, 0xFA}), heat_f = setp(1, 0, 1, 1, {0x4D}),
                cool_c = setp(2, 1, 0, 2, {0x00, 0xC8}), heat_c2 = setp(1, 1, 0, 2, {0x00, 0xFF});
    const std::vector<step> steps = {
        {{0x43, 0x03, 0x01, 0x22, 0x00, 0xFA}, true, {heat_c}},
        {{0x43, 0x03, 0x01, 0x22, 0x00, 0xFA}, false, {heat_c}},
        {{0x43, 0x03, 0x01, 0x09, 0x4D}, true, {heat_c, heat_f}},  // same type, scale 1: a key of its own
        {{0x43, 0x03, 0x02, 0x22, 0x00, 0xC8}, true, {heat_c, heat_f, cool_c}},
        {{0x43, 0x03, 0x01, 0x22, 0x00, 0xFF}, true, {heat_c2, heat_f, cool_c}},
        // Type 0 is not a setpoint: delivered, never cached.
        {{0x43, 0x03, 0x00, 0x01, 0x05}, true, {heat_c2, heat_f, cool_c}},
        {{0x43, 0x03, 0x00, 0x01, 0x05}, true, {heat_c2, heat_f, cool_c}},
        // A refused report changes nothing.
        {{0x43, 0x03, 0x01, 0x25, 0x00, 0x00, 0x00, 0x00, 0x00}, false, {heat_c2, heat_f, cool_c}},
    };
    for (const step &s : steps) {
        const size_t before = g_events.size();
        EXPECT_EQ(1, dispatch(s.frame));
        EXPECT_EQ(before + (s.calls ? 1 : 0), g_events.size());
        EXPECT_EQ(s.cache, cache(0x43));
    }
}

// The supported block: count, three bytes, then per type {u32 valid,
// minimum, maximum}; the ranges stay while the types stay.
TEST_F(CtlNet, SetpointRangesLiveInTheSupportedBlock)
{
    auto entry = [&](size_t k) {
        const bytes b = data(0x43);
        return bytes(b.begin() + 4 + 20 * k, b.begin() + 4 + 20 * (k + 1));
    };
    const bytes unset1 = cat({0, 0, 0, 0}, cat(setp(1, 0, 0, 0, {}), setp(1, 0, 0, 0, {})));
    const bytes range1 = cat({1, 0, 0, 0}, cat(setp(1, 1, 0, 1, {0x32}), setp(1, 1, 0, 2, {0x01, 0x2C})));

    // A range before any supported report has nowhere to go.
    ASSERT_TRUE(one({0x43, 0x0A, 0x01, 0x21, 0x32, 0x22, 0x01, 0x2C}));
    EXPECT_TRUE(data(0x43).empty());

    ASSERT_TRUE(one({0x43, 0x05, 0x06}));
    EXPECT_EQ(44u, data(0x43).size());
    EXPECT_EQ(2, data(0x43)[0]);
    EXPECT_EQ(unset1, entry(0));
    ASSERT_TRUE(one({0x43, 0x0A, 0x01, 0x21, 0x32, 0x22, 0x01, 0x2C}));
    EXPECT_EQ(range1, entry(0));
    EXPECT_EQ(2, entry(1)[4]) << "the other type untouched";
    EXPECT_EQ(0, entry(1)[0]);

    // The same types again (bit 0 and bit 1 name the same type): the range stays.
    ASSERT_TRUE(one({0x43, 0x05, 0x07}));
    EXPECT_EQ(range1, entry(0));
    // A range whose maximum runs past the frame is refused: the range stays.
    EXPECT_EQ(1, dispatch({0x43, 0x0A, 0x01, 0x21, 0x33, 0x22, 0x01}));
    EXPECT_EQ(range1, entry(0));

    // Other types: a new block, no ranges.
    ASSERT_TRUE(one({0x43, 0x05, 0x02}));
    EXPECT_EQ(24u, data(0x43).size());
    EXPECT_EQ(unset1, entry(0));
}

// More types than a byte-sized block holds: the application hears them all,
// the interface keeps none (the next supported get asks the device again).
TEST_F(CtlNet, ASetpointListTooLongForTheBlockIsNotKept)
{
    ASSERT_TRUE(one({0x43, 0x05, 0x06}));
    ASSERT_FALSE(data(0x43).empty());
    // Bits 1..16: types 1, 2, then 7..20 (16 types, a block of 324 bytes).
    const auto e = one({0x43, 0x05, 0xFE, 0xFF, 0x01});
    ASSERT_TRUE(e);
    ASSERT_EQ(18u, e->args.size());
    EXPECT_EQ(16, e->args[0]);
    EXPECT_EQ(20, e->args[16]);
    EXPECT_TRUE(data(0x43).empty()) << "an older, wrong block is not kept either";
    // Twelve types fit (244 bytes).
    ASSERT_TRUE(one({0x43, 0x05, 0xFE, 0x1F}));
    EXPECT_EQ(244u, data(0x43).size());
}

// The mode lists stop at 248 modes, however long the frame.
TEST_F(CtlNet, ModeListsAreBounded)
{
    bytes f{0x40, 0x05};
    f.resize(2 + 40, 0xFF);  // 320 bits
    const auto e = one(f);
    ASSERT_TRUE(e);
    EXPECT_EQ(248, e->args[0]);
    EXPECT_EQ(247, e->args[248]);
    EXPECT_EQ(249u, data(0x40).size());

    f[0] = 0x44;
    const auto fan = one(f);
    ASSERT_TRUE(fan);
    EXPECT_EQ(1, fan->args[0]) << "off supported from version 2";
    EXPECT_EQ(248, fan->args[1]);
    EXPECT_EQ(250u, data(0x44).size());
}

TEST_F(CtlNet, CentralSceneNotificationsDropRepeatsAndKeepTheirTime)
{
    const auto first = one({0x5B, 0x03, 0x10, 0x00, 0x01});
    ASSERT_TRUE(first);
    EXPECT_EQ(std::vector<bytes>{bytes({0x10, 0x00, 0x01, 0x00})}, cache(0x5B));
    // The same sequence number is the same key press sent again.
    const size_t before = g_events.size();
    EXPECT_EQ(1, dispatch({0x5B, 0x03, 0x10, 0x02, 0x01}));
    EXPECT_EQ(before, g_events.size());
    // A new one replaces it, with its own time.
    const int64_t old = 1000;
    std::memcpy(intf(0x5B)->cch_data, &old, sizeof old);
    const auto next = one({0x5B, 0x03, 0x11, 0x01, 0x02});
    ASSERT_TRUE(next);
    EXPECT_EQ(std::vector<bytes>{bytes({0x11, 0x01, 0x02, 0x00})}, cache(0x5B));
    EXPECT_GT(cache_time(0x5B), old);
    EXPECT_EQ(cache_time(0x5B), next->ts);
}

// Slow refresh exists from the version the device reports as 3.
TEST_F(CtlNet, CentralSceneSlowRefreshNeedsVersion3)
{
    intf(0x5B)->real_ver = 2;
    const auto n = one({0x5B, 0x03, 0x01, 0x80, 0x01});
    ASSERT_TRUE(n);
    EXPECT_EQ((bytes{0x01, 0, 1, 0}), n->args);
    EXPECT_EQ((bytes{0x01, 0, 1, 0}), cache(0x5B)[0]);
    const auto s = one({0x5B, 0x02, 0x02, 0x83, 0x0B});
    ASSERT_TRUE(s);
    EXPECT_EQ(0, s->args[s->args.size() - 2]);
    EXPECT_EQ((bytes{2, 0, 1, 4, 3, 0, 1, 3}), data(0x5B)) << "scenes, slow refresh, identical, row size, rows";

    intf(0x5B)->real_ver = 3;
    ASSERT_TRUE(one({0x5B, 0x02, 0x02, 0x83, 0x0B}));
    EXPECT_EQ((bytes{2, 0x80, 1, 4, 3, 0, 1, 3}), data(0x5B));
}

// A row per scene, as long as the longest: many scenes need a working area
// of their size, and a block that does not fit its byte-sized size is not
// kept.
TEST_F(CtlNet, CentralSceneRowsAreSizedByTheScenes)
{
    bytes f{0x5B, 0x02, 40, 0x06};  // 40 scenes, 3 mask bytes each
    for (uint8_t k = 0; k < 40; ++k) {
        f.push_back(k % 2 ? 0x01 : 0xFF);
        f.push_back(0x00);
        f.push_back(k == 39 ? 0x80 : 0x00);  // the last scene also lists attribute 23
    }
    const auto e = one(f);
    ASSERT_TRUE(e);
    EXPECT_EQ(40, e->args[0]);
    EXPECT_EQ(0, e->args[1]);
    const uint8_t row_sz = e->args[2];
    EXPECT_EQ(9, row_sz) << "a count and at most 8 attributes";
    const bytes rows(e->args.begin() + 3, e->args.end() - 2);
    ASSERT_EQ(40u * row_sz, rows.size());
    EXPECT_EQ((bytes{8, 0, 1, 2, 3, 4, 5, 6, 7}), bytes(rows.begin(), rows.begin() + row_sz));
    EXPECT_EQ((bytes{2, 0, 23, 0, 0, 0, 0, 0, 0}), bytes(rows.end() - row_sz, rows.end()));
    EXPECT_TRUE(data(0x5B).empty()) << "4 + 360 bytes do not fit";

    ASSERT_TRUE(one({0x5B, 0x02, 0x02, 0x02, 0x01, 0x05}));
    EXPECT_EQ((bytes{2, 0, 0, 3, 1, 0, 0, 2, 0, 2}), data(0x5B));
}

// Operation and configuration share one entry, each with its own time.
TEST_F(CtlNet, DoorLockKeepsBothReportsInOneEntry)
{
    const auto op = one({0x62, 0x03, 0xFF, 0x31, 0x02, 0xFE, 0xFE});
    ASSERT_TRUE(op);
    zwif_p i = intf(0x62);
    EXPECT_EQ(1, i->cch_ele_cnt);
    EXPECT_EQ(32, i->cch_ele_sz);
    EXPECT_EQ(op->ts, cache_time(0x62, 0));
    EXPECT_EQ(0, cache_time(0x62, 16)) << "no configuration yet";
    EXPECT_EQ((bytes{0xFF, 3, 1, 2, 0xFE, 0xFE, 0, 0}),
              bytes(static_cast<uint8_t *>(i->cch_data) + 8, static_cast<uint8_t *>(i->cch_data) + 16));

    const size_t before = g_events.size();
    EXPECT_EQ(1, dispatch({0x62, 0x03, 0xFF, 0x31, 0x02, 0xFE, 0xFE}));
    EXPECT_EQ(before, g_events.size()) << "the same operation again";

    const auto cfg = one({0x62, 0x06, 0x02, 0x10, 0x05, 0x1E});
    ASSERT_TRUE(cfg);
    EXPECT_EQ(cfg->ts, cache_time(0x62, 16));
    EXPECT_EQ((bytes{2, 1, 0, 5, 30, 0, 0, 0}),
              bytes(static_cast<uint8_t *>(i->cch_data) + 24, static_cast<uint8_t *>(i->cch_data) + 32));
    EXPECT_EQ((bytes{0xFF, 3, 1, 2, 0xFE, 0xFE}),
              bytes(static_cast<uint8_t *>(i->cch_data) + 8, static_cast<uint8_t *>(i->cch_data) + 14))
        << "the operation untouched";
    ASSERT_TRUE(one({0x62, 0x03, 0x00, 0x31, 0x02, 0xFE, 0xFE})) << "a changed operation";
}

// Cached delivery reads what the rows stored, keyed where the class is.
TEST_F(CtlNet, CachedReportsReadBackWhatWasStored)
{
    ASSERT_TRUE(one({0x43, 0x03, 0x01, 0x22, 0x00, 0xFA}));
    ASSERT_TRUE(one({0x43, 0x03, 0x02, 0x22, 0x00, 0xC8}));
    ASSERT_TRUE(one({0x44, 0x03, 0x81}));
    ASSERT_TRUE(one({0x62, 0x06, 0x01, 0x11, 0xFE, 0xFE}));
    ASSERT_TRUE(one({0x5B, 0x03, 0x07, 0x81, 0x02}));
    const time_t now = std::time(nullptr);
    const struct {
        const char *name;
        uint16_t cls;
        uint8_t rpt;
        std::vector<uint16_t> keys;
        bytes args;
        bool cached;
    } cases[] = {
        {"setpoint type 2", 0x43, 0x03, {2}, setp(2, 1, 0, 2, {0x00, 0xC8}), true},
        {"setpoint type 9 falls back to its type", 0x43, 0x03, {9}, setp(9, 0, 0, 0, {}), false},
        {"setpoint without a key", 0x43, 0x03, {}, setp(0, 0, 0, 0, {}), false},
        {"fan mode", 0x44, 0x03, {}, {1, 1}, true},
        {"door lock configuration", 0x62, 0x06, {}, {1, 1, 1, 0xFE, 0xFE}, true},
        {"door lock operation never reported", 0x62, 0x03, {}, {0, 0, 0, 0, 0, 0}, false},
        {"central scene", 0x5B, 0x03, {}, {0x07, 1, 2, 0x80}, true},
        {"thermostat mode never reported", 0x40, 0x03, {}, {0}, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        zwif_desc_t d;
        {
            zwnet_lock lk(net_);
            zwif_desc_fill(&d, intf(c.cls));
        }
        const size_t before = g_events.size();
        zwif_cached_rpt_deliver(net_, &d, callbacks.at({c.cls, c.rpt}), c.rpt, static_cast<uint8_t>(c.keys.size()),
                                c.keys.data());
        ASSERT_EQ(before + 1, g_events.size());
        EXPECT_EQ(c.args, g_events.back().args);
        if (c.cached) {
            EXPECT_GE(g_events.back().ts, now - 5);
        } else {
            EXPECT_EQ(0, g_events.back().ts);
        }
    }
}

// Every prefix and random mutations of each golden frame through the
// dispatcher, in buffers of exactly their length: ASan proves the bounds,
// the callbacks that they run unlocked.
TEST_F(CtlNet, PrefixesAndMutationsOfGoldenFramesStayInBounds)
{
    std::mt19937 rng(20261210);
    for (const golden &g : goldens) {
        for (size_t n = 0; n <= g.frame.size(); ++n)
            dispatch(bytes(g.frame.begin(), g.frame.begin() + n));
        for (int m = 0; m < 300; ++m) {
            bytes f = g.frame;
            for (int e = 1 + int(rng() % 3); e > 0; --e) {
                switch (rng() % 3) {
                case 0:
                    if (f.size() > 2)
                        f[2 + rng() % (f.size() - 2)] = static_cast<uint8_t>(rng());
                    break;
                case 1: f.insert(f.begin() + 2 + rng() % (f.size() - 1), static_cast<uint8_t>(rng())); break;
                default:
                    if (f.size() > 2)
                        f.erase(f.begin() + 2 + rng() % (f.size() - 2));
                }
            }
            dispatch(f);
        }
    }
    ASSERT_TRUE(one({0x87, 0x03, 0x10})) << "the sweep left the dispatcher working";
}

}  // namespace
