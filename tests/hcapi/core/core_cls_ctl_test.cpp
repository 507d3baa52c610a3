// The calls of the lock, scene and user-interaction classes against the
// gateway simulator over loopback: (call, arguments) -> result, the frame
// handed to the send path and the operation code left on it (a sleeping
// node keeps both in its queue, where they can be read back); supported
// information answered from the interface cache through the callback
// thread once a device has reported it; a door lock set that reaches the
// device.
#include "../net/hc_test_support.h"

#include "hcapi/core/zwif_shape.h"
#include "hcapi/core/zwsend.h"
#include "hcapi/include/zwif_ctl.h"
#include "sim/sim_node.h"

namespace {

using namespace hc_test;
using bytes = std::vector<uint8_t>;

enum : uint8_t { n_lock = 5, n_sleeper = 9, n_old = 10 };

// Callbacks as they arrived: class and flattened arguments.
std::mutex g_cb_mtx;
std::vector<std::pair<uint16_t, bytes>> g_cbs;
std::atomic<zwnet_p> g_net{nullptr};
std::atomic<bool> g_locked_cb{false};

void rec(const zwif_desc_t *intf, bytes args)
{
    zwnet_p net = g_net.load();
    if (net != nullptr && zwnet_lck_depth(net) != 0)
        g_locked_cb = true;
    std::lock_guard lk(g_cb_mtx);
    g_cbs.push_back({intf->cls, std::move(args)});
}
std::vector<std::pair<uint16_t, bytes>> cbs()
{
    std::lock_guard lk(g_cb_mtx);
    return g_cbs;
}

void on_usr_sup(zwif_desc_t *i, uint8_t cnt, int valid) { rec(i, {cnt, static_cast<uint8_t>(valid)}); }
void on_prot_sup(zwif_desc_t *i, zwprot_sup_t *s, int valid)
{
    bytes b;
    if (s != nullptr)
        b.assign(reinterpret_cast<uint8_t *>(s), reinterpret_cast<uint8_t *>(s) + sizeof *s);
    b.push_back(static_cast<uint8_t>(valid));
    rec(i, b);
}
void on_csc_sup(zwif_desc_t *i, uint8_t scenes, uint8_t identical, uint8_t row_sz, uint8_t *rows, uint8_t slow,
                int valid)
{
    bytes b{scenes, identical, row_sz};
    if (rows != nullptr)
        b.insert(b.end(), rows, rows + size_t(identical ? 1 : scenes) * row_sz);
    b.push_back(slow);
    b.push_back(static_cast<uint8_t>(valid));
    rec(i, b);
}
void on_dlck_cfg(zwif_desc_t *i, zwdlck_cfg_t *c, time_t) { rec(i, {c->type, c->out_handles, c->in_handles, c->tmout_min, c->tmout_sec}); }
void on_dlck_op(zwif_desc_t *i, zwdlck_op_t *o, time_t) { rec(i, {o->mode, o->cond}); }
void on_usrcod(zwif_desc_t *i, zwusrcod_t *c)
{
    bytes b{c->id, c->id_sts};
    b.insert(b.end(), c->code, c->code + c->code_len);
    rec(i, b);
}

void on_md_sup(zwif_desc_t *i, uint8_t cnt, uint8_t *m, int valid)
{
    bytes b{cnt};
    if (m != nullptr)
        b.insert(b.end(), m, m + cnt);
    b.push_back(static_cast<uint8_t>(valid));
    rec(i, b);
}
void on_fan_sup(zwif_desc_t *i, uint8_t off, uint8_t cnt, uint8_t *m, int valid)
{
    bytes b{off, cnt};
    if (m != nullptr)
        b.insert(b.end(), m, m + cnt);
    b.push_back(static_cast<uint8_t>(valid));
    rec(i, b);
}
void on_setp_range(zwif_desc_t *i, uint8_t type, zwsetp_t *min, zwsetp_t *max, int valid)
{
    bytes b{type};
    for (const zwsetp_t *v : {min, max})
        if (v != nullptr)
            b.insert(b.end(), reinterpret_cast<const uint8_t *>(v), reinterpret_cast<const uint8_t *>(v) + sizeof *v);
    b.push_back(static_cast<uint8_t>(valid));
    rec(i, b);
}

void on_set_result(zwnet_p, uint8_t, uint8_t, uint16_t, uint64_t, uint32_t) {}

class CtlCalls : public HcNet {
protected:
    void SetUp() override
    {
        {
            std::lock_guard lk(g_cb_mtx);
            g_cbs.clear();
        }
        g_locked_cb = false;
        config c;
        c.nodes = {{n_lock, true, false, false, false, false, {}, 0},
                   {n_sleeper, false, false, true, false, false, {0x84}, 0},
                   {n_old, false, false, true, false, false, {0x84}, 0}};
        ASSERT_NO_FATAL_FAILURE(start(c));
        g_net = net_;
        // The versions the calls look at.
        const std::pair<uint16_t, uint8_t> current[] = {{0x22, 1}, {0x40, 3}, {0x43, 3}, {0x44, 3}, {0x5B, 3},
                                                        {0x62, 2}, {0x63, 1}, {0x75, 2}, {0x81, 1}, {0x87, 1}};
        const std::pair<uint16_t, uint8_t> old[] = {{0x5B, 2}, {0x75, 1}};
        for (uint8_t n : {n_lock, n_sleeper})
            for (auto [cls, ver] : current)
                ASSERT_NO_FATAL_FAILURE(attach(n, cls, ver));
        for (auto [cls, ver] : old)
            ASSERT_NO_FATAL_FAILURE(attach(n_old, cls, ver));
        // The lock behind n_lock answers its gets.
        model = std::make_unique<sim::node_model>(*gw);
        sim::node_profile p;
        p.node_id = n_lock;
        p.classes = {{sim::cc_door_lock, 2, {}}};
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

    void attach(uint8_t node_id, uint16_t cls, uint8_t ver)
    {
        zwnet_lock lk(net_);
        zwnode_p n = zwnode_find(&net_->ctl, node_id);
        ASSERT_NE(nullptr, n);
        ASSERT_EQ(1, zwif_attach(&n->ep, zwif_create(cls, ver, IF_PROPTY_UNSECURE)));
    }

    // The frames and operation codes (count 1 only) queued for a node.
    std::vector<std::pair<bytes, uint16_t>> queued(uint8_t node_id)
    {
        zwnet_lock lk(net_);
        zwnode_p n = zwnode_find(&net_->ctl, node_id);
        std::vector<std::pair<bytes, uint16_t>> out;
        for (const auto &c : n->cmd_q)
            out.push_back({c->cmd, c->op_cnt ? c->op : uint16_t{0}});
        return out;
    }
    void clear(uint8_t node_id)
    {
        zwnode_desc_t d = node(node_id);
        ASSERT_EQ(0, zwnode_cmd_q_cancel(&d));
    }
};

using call_fn = std::function<int(const zwif_desc_t *)>;

struct call_case {
    const char *name;
    uint8_t node;
    uint16_t cls;
    call_fn call;
    int rc;
    bytes frame;  // empty: nothing sent
    uint16_t op;
};

const bytes digits6{'1', '2', '3', '4', '5', '6'};

zwusrcod_t code(uint8_t id, uint8_t sts, bytes digits)
{
    zwusrcod_t c{id, sts, static_cast<uint8_t>(digits.size()), {}};
    std::copy(digits.begin(), digits.begin() + std::min<size_t>(digits.size(), ZW_USRCOD_MAX), c.code);
    return c;
}

const call_case call_cases[] = {
    // Application Status: setters only.
    {"busy setter", n_sleeper, 0x22, [](auto d) { return zwif_appl_busy_rpt_set(d, nullptr); }, 0, {}, 0},
    {"reject setter", n_sleeper, 0x22, [](auto d) { return zwif_appl_reject_rpt_set(d, nullptr); }, 0, {}, 0},
    {"busy setter on a lock", n_sleeper, 0x62, [](auto d) { return zwif_appl_busy_rpt_set(d, nullptr); },
     ZW_ERR_CLASS_NOT_FOUND, {}, 0},
    // Central Scene.
    {"scene supported get", n_sleeper, 0x5B, [](auto d) { return zwif_csc_sup_get(d, nullptr, 0); }, 1,
     {0x5B, 0x01}, 94},
    {"scene supported, cache only", n_sleeper, 0x5B, [](auto d) { return zwif_csc_sup_get(d, nullptr, 1); },
     ZW_ERR_NO_CACHE_AVAIL, {}, 0},
    {"scene slow refresh on", n_sleeper, 0x5B, [](auto d) { return zwif_csc_cfg_set(d, 1); }, 1,
     {0x5B, 0x04, 0x80}, 108},
    {"scene slow refresh off", n_sleeper, 0x5B, [](auto d) { return zwif_csc_cfg_set(d, 0); }, 1,
     {0x5B, 0x04, 0x00}, 108},
    {"scene configuration get", n_sleeper, 0x5B, [](auto d) { return zwif_csc_cfg_get(d); }, 1, {0x5B, 0x05}, 109},
    {"scene configuration set, version 2", n_old, 0x5B, [](auto d) { return zwif_csc_cfg_set(d, 1); },
     ZW_ERR_VERSION, {}, 0},
    {"scene configuration get, version 2", n_old, 0x5B, [](auto d) { return zwif_csc_cfg_get(d); }, ZW_ERR_VERSION,
     {}, 0},
    {"scene configuration setter, version 2", n_old, 0x5B, [](auto d) { return zwif_csc_cfg_rpt_set(d, nullptr); },
     ZW_ERR_VERSION, {}, 0},
    {"scene setter", n_old, 0x5B, [](auto d) { return zwif_csc_rpt_set(d, nullptr); }, 0, {}, 0},
    // Door Lock.
    {"lock secured", n_sleeper, 0x62, [](auto d) { return zwif_dlck_op_set(d, 0xFF, nullptr, 0); }, 1,
     {0x62, 0x01, 0xFF}, 33},
    {"lock secured, with a result callback", n_sleeper, 0x62,
     [](auto d) { return zwif_dlck_op_set(d, 0xFF, on_set_result, 7); }, 1, {0x62, 0x01, 0xFF}, 33},
    {"lock unsecured with time-out", n_sleeper, 0x62, [](auto d) { return zwif_dlck_op_set(d, 0x01, nullptr, 0); },
     1, {0x62, 0x01, 0x01}, 33},
    {"lock mode 2", n_sleeper, 0x62, [](auto d) { return zwif_dlck_op_set(d, 0x02, nullptr, 0); }, ZW_ERR_VALUE, {},
     0},
    {"lock mode 0xFE", n_sleeper, 0x62, [](auto d) { return zwif_dlck_op_set(d, 0xFE, nullptr, 0); }, ZW_ERR_VALUE,
     {}, 0},
    {"lock get", n_sleeper, 0x62, [](auto d) { return zwif_dlck_op_get(d, ZWIF_GET_BMSK_LIVE); }, 1, {0x62, 0x02},
     34},
    {"lock get, no flags", n_sleeper, 0x62, [](auto d) { return zwif_dlck_op_get(d, 0); }, 0, {}, 0},
    {"lock get, cached, no callback", n_sleeper, 0x62, [](auto d) { return zwif_dlck_op_get(d, 3); },
     ZW_ERR_RPT_NOT_FOUND, {}, 0},
    {"lock poll form without a request", n_sleeper, 0x62, [](auto d) { return zwif_dlck_op_get_poll(d, nullptr); },
     0, {}, 0},
    {"lock constant", n_sleeper, 0x62,
     [](auto d) {
         const zwdlck_cfg_t c{1, 0x3, 0x1, 5, 5};  // the time-out is not used
         return zwif_dlck_cfg_set(d, &c);
     },
     1, {0x62, 0x04, 0x01, 0x31, 0xFE, 0xFE}, 35},
    {"lock timed", n_sleeper, 0x62,
     [](auto d) {
         const zwdlck_cfg_t c{2, 0x0, 0xF, 254, 59};
         return zwif_dlck_cfg_set(d, &c);
     },
     1, {0x62, 0x04, 0x02, 0x0F, 0xFE, 0x3B}, 35},
    {"lock timed, 0 minutes", n_sleeper, 0x62,
     [](auto d) {
         const zwdlck_cfg_t c{2, 0, 0, 0, 30};
         return zwif_dlck_cfg_set(d, &c);
     },
     ZW_ERR_VALUE, {}, 0},
    {"lock timed, 60 seconds", n_sleeper, 0x62,
     [](auto d) {
         const zwdlck_cfg_t c{2, 0, 0, 1, 60};
         return zwif_dlck_cfg_set(d, &c);
     },
     ZW_ERR_VALUE, {}, 0},
    {"lock type 3", n_sleeper, 0x62,
     [](auto d) {
         const zwdlck_cfg_t c{3, 0, 0, 1, 1};
         return zwif_dlck_cfg_set(d, &c);
     },
     ZW_ERR_VALUE, {}, 0},
    {"lock configuration get", n_sleeper, 0x62, [](auto d) { return zwif_dlck_cfg_get(d, nullptr, 2); }, 1,
     {0x62, 0x05}, 36},
    // User Code.
    {"user code", n_sleeper, 0x63,
     [](auto d) {
         const zwusrcod_t c = code(3, 1, digits6);
         return zwif_usrcod_set(d, &c);
     },
     1, {0x63, 0x01, 0x03, 0x01, '1', '2', '3', '4', '5', '6'}, 37},
    {"user code of 10 digits, reserved", n_sleeper, 0x63,
     [](auto d) {
         const zwusrcod_t c = code(1, 2, {'0', '9', '8', '7', '6', '5', '4', '3', '2', '1'});
         return zwif_usrcod_set(d, &c);
     },
     1, {0x63, 0x01, 0x01, 0x02, '0', '9', '8', '7', '6', '5', '4', '3', '2', '1'}, 37},
    {"user code holding a letter", n_sleeper, 0x63,
     [](auto d) {
         const zwusrcod_t c = code(3, 1, {'1', '2', 'a', '4'});
         return zwif_usrcod_set(d, &c);
     },
     ZW_ERR_VALUE, {}, 0},
    {"user code of 3 digits", n_sleeper, 0x63,
     [](auto d) {
         const zwusrcod_t c = code(3, 1, {'1', '2', '3'});
         return zwif_usrcod_set(d, &c);
     },
     ZW_ERR_VALUE, {}, 0},
    {"user code of 11 digits", n_sleeper, 0x63,
     [](auto d) {
         zwusrcod_t c = code(3, 1, {'1', '2', '3', '4'});
         c.code_len = 11;
         return zwif_usrcod_set(d, &c);
     },
     ZW_ERR_VALUE, {}, 0},
    {"user code status 3", n_sleeper, 0x63,
     [](auto d) {
         const zwusrcod_t c = code(3, 3, digits6);
         return zwif_usrcod_set(d, &c);
     },
     ZW_ERR_VALUE, {}, 0},
    {"user code get", n_sleeper, 0x63, [](auto d) { return zwif_usrcod_get(d, 7, nullptr); }, 1, {0x63, 0x02, 0x07},
     38},
    {"user code get of user 0", n_sleeper, 0x63, [](auto d) { return zwif_usrcod_get(d, 0, nullptr); }, ZW_ERR_VALUE,
     {}, 0},
    {"users number get", n_sleeper, 0x63, [](auto d) { return zwif_usrcod_sup_get(d, nullptr, 0); }, 1,
     {0x63, 0x04}, 39},
    {"users number from an empty cache", n_sleeper, 0x63,
     [](auto d) {
         uint8_t n = 0;
         return zwif_usrcod_sup_cache_get(d, &n);
     },
     ZW_ERR_NO_CACHE_AVAIL, {}, 0},
    // Protection.
    {"protection get", n_sleeper, 0x75, [](auto d) { return zwif_prot_get(d); }, 1, {0x75, 0x02}, 65},
    {"protection set", n_sleeper, 0x75, [](auto d) { return zwif_prot_set(d, 2, 1); }, 1, {0x75, 0x01, 0x02, 0x01},
     66},
    {"protection set, local 3", n_sleeper, 0x75, [](auto d) { return zwif_prot_set(d, 3, 0); }, ZW_ERR_VALUE, {}, 0},
    {"protection set, RF 3", n_sleeper, 0x75, [](auto d) { return zwif_prot_set(d, 0, 3); }, ZW_ERR_VALUE, {}, 0},
    {"protection set, version 1 leaves RF out", n_old, 0x75, [](auto d) { return zwif_prot_set(d, 1, 7); }, 1,
     {0x75, 0x01, 0x01}, 66},
    {"protection supported get", n_sleeper, 0x75, [](auto d) { return zwif_prot_sup_get(d, nullptr, 0); }, 1,
     {0x75, 0x04}, 67},
    {"protection supported get, version 1", n_old, 0x75, [](auto d) { return zwif_prot_sup_get(d, nullptr, 0); },
     ZW_ERR_CLASS_VER, {}, 0},
    {"protection supported, version 1, cache reader", n_old, 0x75,
     [](auto d) {
         zwprot_sup_t s;
         return zwif_prot_sup_cache_get(d, &s);
     },
     ZW_ERR_CLASS_VER, {}, 0},
    {"exclusive control get", n_sleeper, 0x75, [](auto d) { return zwif_prot_ec_get(d); }, 1, {0x75, 0x07}, 68},
    {"exclusive control set", n_sleeper, 0x75, [](auto d) { return zwif_prot_ec_set(d, 232); }, 1,
     {0x75, 0x06, 0xE8}, 69},
    {"exclusive control for node 233", n_sleeper, 0x75, [](auto d) { return zwif_prot_ec_set(d, 233); }, ZW_ERR_VALUE,
     {}, 0},
    {"exclusive control, version 1", n_old, 0x75, [](auto d) { return zwif_prot_ec_set(d, 1); }, ZW_ERR_CLASS_VER, {},
     0},
    {"exclusive control setter, version 1", n_old, 0x75, [](auto d) { return zwif_prot_ec_rpt_set(d, nullptr); },
     ZW_ERR_CLASS_VER, {}, 0},
    {"time-out get", n_sleeper, 0x75, [](auto d) { return zwif_prot_tmout_get(d); }, 1, {0x75, 0x0A}, 70},
    {"time-out 60 s", n_sleeper, 0x75, [](auto d) { return zwif_prot_tmout_set(d, 60); }, 1, {0x75, 0x09, 60}, 71},
    {"time-out 2 minutes", n_sleeper, 0x75, [](auto d) { return zwif_prot_tmout_set(d, 65); }, 1, {0x75, 0x09, 65},
     71},
    {"time-out 61", n_sleeper, 0x75, [](auto d) { return zwif_prot_tmout_set(d, 61); }, ZW_ERR_VALUE, {}, 0},
    {"time-out 62", n_sleeper, 0x75, [](auto d) { return zwif_prot_tmout_set(d, 62); }, ZW_ERR_VALUE, {}, 0},
    {"time-out 64", n_sleeper, 0x75, [](auto d) { return zwif_prot_tmout_set(d, 64); }, ZW_ERR_VALUE, {}, 0},
    {"time-out 0", n_sleeper, 0x75, [](auto d) { return zwif_prot_tmout_set(d, 0); }, ZW_ERR_VALUE, {}, 0},
    {"time-out, version 1", n_old, 0x75, [](auto d) { return zwif_prot_tmout_get(d); }, ZW_ERR_CLASS_VER, {}, 0},
    // Clock.
    {"clock set", n_sleeper, 0x81, [](auto d) { return zwif_clock_set(d, 7, 23, 59); }, 1, {0x81, 0x04, 0xF7, 59},
     58},
    {"clock weekday 8", n_sleeper, 0x81, [](auto d) { return zwif_clock_set(d, 8, 0, 0); }, ZW_ERR_VALUE, {}, 0},
    {"clock hour 24", n_sleeper, 0x81, [](auto d) { return zwif_clock_set(d, 1, 24, 0); }, ZW_ERR_VALUE, {}, 0},
    {"clock minute 60", n_sleeper, 0x81, [](auto d) { return zwif_clock_set(d, 1, 0, 60); }, ZW_ERR_VALUE, {}, 0},
    {"clock get", n_sleeper, 0x81, [](auto d) { return zwif_clock_get(d); }, 1, {0x81, 0x05}, 57},
    // Indicator.
    {"indicator on", n_sleeper, 0x87, [](auto d) { return zwif_ind_set(d, 0xFF); }, 1, {0x87, 0x01, 0xFF}, 73},
    {"indicator 99", n_sleeper, 0x87, [](auto d) { return zwif_ind_set(d, 99); }, 1, {0x87, 0x01, 99}, 73},
    {"indicator 100", n_sleeper, 0x87, [](auto d) { return zwif_ind_set(d, 100); }, ZW_ERR_VALUE, {}, 0},
    {"indicator get", n_sleeper, 0x87, [](auto d) { return zwif_ind_get(d); }, 1, {0x87, 0x02}, 72},
    {"indicator call on a clock", n_sleeper, 0x81, [](auto d) { return zwif_ind_set(d, 5); }, ZW_ERR_CLASS_NOT_FOUND,
     {}, 0},
    {"clock call with a bad argument on an indicator", n_sleeper, 0x87,
     [](auto d) { return zwif_clock_set(d, 9, 99, 99); }, ZW_ERR_CLASS_NOT_FOUND, {}, 0},
};

TEST_F(CtlCalls, EachCallSendsItsFrameWithItsOperationCode)
{
    for (const call_case &c : call_cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(clear(c.node));
        zwif_desc_t d = intf(c.node, c.cls);
        EXPECT_EQ(c.rc, c.call(&d));
        const auto q = queued(c.node);
        if (c.frame.empty()) {
            EXPECT_TRUE(q.empty());
            continue;
        }
        ASSERT_EQ(1u, q.size());
        EXPECT_EQ(c.frame, q[0].first);
        EXPECT_EQ(c.op, q[0].second);
    }
}

// A device's supported report fills the interface cache; the supported get
// then answers from it (2) through the callback thread, with the arguments
// of the live report, and sends nothing.
TEST_F(CtlCalls, SupportedInformationIsAnsweredFromTheCache)
{
    struct sup_case {
        const char *name;
        uint16_t cls;
        bytes report;
        std::function<int(const zwif_desc_t *, int cache_only)> sup_get;
        bytes args;
    };
    zwprot_sup_t prot{1, 0, {0, 2}, 2, {0}, 1};
    bytes prot_args(reinterpret_cast<uint8_t *>(&prot), reinterpret_cast<uint8_t *>(&prot) + sizeof prot);
    prot_args.push_back(1);
    const sup_case cases[] = {
        {"users number", 0x63, {0x63, 0x05, 0x1E},
         [](auto d, int c) { return zwif_usrcod_sup_get(d, on_usr_sup, c); }, {30, 1}},
        {"protection", 0x75, {0x75, 0x05, 0x02, 0x05, 0x00, 0x01, 0x00},
         [](auto d, int c) { return zwif_prot_sup_get(d, on_prot_sup, c); }, prot_args},
        {"central scene", 0x5B, {0x5B, 0x02, 0x02, 0x83, 0x05},
         [](auto d, int c) { return zwif_csc_sup_get(d, on_csc_sup, c); }, {2, 1, 3, 2, 0, 2, 0x80, 1}},
    };
    for (const sup_case &c : cases) {
        SCOPED_TRACE(c.name);
        zwif_desc_t d = intf(n_lock, c.cls);
        // Nothing known: cache only answers "valid 0" and -60.
        size_t before = cbs().size();
        EXPECT_EQ(ZW_ERR_NO_CACHE_AVAIL, c.sup_get(&d, 1));
        ASSERT_TRUE(eventually([&] { return cbs().size() > before; }));
        EXPECT_EQ(0, cbs().back().second.back()) << "valid 0";

        // The live report (callback registered by the first call).
        before = cbs().size();
        ASSERT_GE(from_node(n_lock, c.report), 0);
        ASSERT_TRUE(eventually([&] { return cbs().size() > before; }));
        EXPECT_EQ(c.args, cbs().back().second) << "the live report";

        before = cbs().size();
        const uint64_t from = gw->next_index();
        EXPECT_EQ(ZW_ERR_CACHE_AVAIL, c.sup_get(&d, 0));
        ASSERT_TRUE(eventually([&] { return cbs().size() > before; }));
        EXPECT_EQ(c.args, cbs().back().second) << "the cached answer is the live one";
        EXPECT_FALSE(wait_cmd(n_lock, {static_cast<uint8_t>(c.cls), c.report[1] == 0x05 ? uint8_t(0x04) : uint8_t(0x01)},
                              200ms, from))
            << "nothing sent";
    }
    uint8_t users = 0;
    zwif_desc_t uc = intf(n_lock, 0x63);
    EXPECT_EQ(0, zwif_usrcod_sup_cache_get(&uc, &users));
    EXPECT_EQ(30, users);
    zwif_desc_t pd = intf(n_lock, 0x75);
    zwprot_sup_t got{};
    EXPECT_EQ(0, zwif_prot_sup_cache_get(&pd, &got));
    EXPECT_EQ(0, std::memcmp(&prot, &got, sizeof got));
    EXPECT_FALSE(g_locked_cb) << "no callback under the network mutex";
}

// The thermostat's capabilities come back by data kind from the blocks their
// supported reports left.
TEST_F(CtlCalls, ThermostatCapabilitiesComeBackByDataKind)
{
    zwif_desc_t mode = intf(n_lock, 0x40), fan = intf(n_lock, 0x44), setp = intf(n_lock, 0x43);
    const auto md_cb = reinterpret_cast<zwif_rpt_fn>(on_md_sup);
    const auto fan_cb = reinterpret_cast<zwif_rpt_fn>(on_fan_sup);
    const auto range_cb = reinterpret_cast<zwif_rpt_fn>(on_setp_range);

    // Nothing reported yet: zeros, valid 0.
    EXPECT_EQ(ZW_ERR_NO_CACHE_AVAIL, zwif_cache_rpt_req(&mode, md_cb, 1, 0, 1));
    ASSERT_TRUE(eventually([&] { return cbs().size() >= 1; }));
    EXPECT_EQ((bytes{0, 0}), cbs()[0].second);

    ASSERT_EQ(0, zwif_set_report(&mode, md_cb, 0x05));
    ASSERT_EQ(0, zwif_set_report(&fan, fan_cb, 0x05));
    ASSERT_EQ(0, zwif_set_report(&setp, md_cb, 0x05));  // same shape: count, list, valid
    ASSERT_EQ(0, zwif_set_report(&setp, range_cb, 0x0A));
    for (const bytes &f : {bytes{0x40, 0x05, 0x07}, bytes{0x44, 0x05, 0x0B}, bytes{0x43, 0x05, 0x06},
                           bytes{0x43, 0x0A, 0x01, 0x21, 0x32, 0x22, 0x01, 0x2C}})
        ASSERT_GE(from_node(n_lock, f), 0);
    ASSERT_TRUE(eventually([&] { return cbs().size() >= 5; }));

    const bytes min1{1, 1, 0, 1, 0x32, 0, 0, 0}, max1{1, 1, 0, 2, 0x01, 0x2C, 0, 0};
    bytes range1{1};
    range1.insert(range1.end(), min1.begin(), min1.end());
    range1.insert(range1.end(), max1.begin(), max1.end());
    range1.push_back(1);
    const struct {
        const char *name;
        zwif_desc_t d;
        zwif_rpt_fn cb;
        uint16_t kind, arg;
        bytes args;
    } cases[] = {
        {"modes", mode, md_cb, 1, 0, {3, 0, 1, 2, 1}},
        {"fan modes", fan, fan_cb, 0, 0, {1, 3, 0, 1, 3, 1}},
        {"setpoint types", setp, md_cb, 2, 0, {2, 1, 2, 1}},
        {"range of type 1", setp, range_cb, 20, 1, range1},
        {"type 2 has no range", setp, range_cb, 20, 2, {0, 0}},
        {"type 9 is not supported", setp, range_cb, 20, 9, {0, 0}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = cbs().size();
        EXPECT_EQ(ZW_ERR_CACHE_AVAIL, zwif_cache_rpt_req(&c.d, c.cb, c.kind, c.arg, 0));
        ASSERT_TRUE(eventually([&] { return cbs().size() > before; }));
        EXPECT_EQ(c.args, cbs().back().second);
    }
    EXPECT_FALSE(g_locked_cb);
}

// The lock's reports through the callback thread: the cached configuration
// first, then what the device reports; a user code comes back to the
// callback that its get registered.
TEST_F(CtlCalls, LockReportsReachTheirCallbacks)
{
    zwif_desc_t lock = intf(n_lock, 0x62), uc = intf(n_lock, 0x63);
    ASSERT_EQ(0, zwif_dlck_op_rpt_set(&lock, on_dlck_op));
    ASSERT_GE(from_node(n_lock, {0x62, 0x06, 0x02, 0x11, 0x01, 0x1E}), 0);
    // Only the configuration's callback is not registered yet: nothing heard.
    ASSERT_GE(from_node(n_lock, {0x62, 0x03, 0xFF, 0x00, 0x02, 0xFE, 0xFE}), 0);
    ASSERT_TRUE(eventually([&] { return cbs().size() >= 1; }));
    EXPECT_EQ((bytes{0xFF, 0x02}), cbs()[0].second);

    ASSERT_EQ(0, zwif_dlck_cfg_get(&lock, on_dlck_cfg, ZWIF_GET_BMSK_CACHE));
    ASSERT_TRUE(eventually([&] { return cbs().size() >= 2; }));
    EXPECT_EQ((bytes{0, 0, 0, 0, 0}), cbs()[1].second) << "the configuration report came before its callback";
    ASSERT_GE(from_node(n_lock, {0x62, 0x06, 0x02, 0x11, 0x01, 0x1E}), 0);
    ASSERT_TRUE(eventually([&] { return cbs().size() >= 3; }));
    EXPECT_EQ((bytes{2, 1, 1, 1, 30}), cbs()[2].second);
    ASSERT_EQ(0, zwif_dlck_cfg_get(&lock, on_dlck_cfg, ZWIF_GET_BMSK_CACHE));
    ASSERT_TRUE(eventually([&] { return cbs().size() >= 4; }));
    EXPECT_EQ((bytes{2, 1, 1, 1, 30}), cbs()[3].second) << "now from the cache";

    const int rc = zwif_usrcod_get(&uc, 4, on_usrcod);
    EXPECT_TRUE(rc == 0 || rc == 1) << rc;
    ASSERT_TRUE(wait_cmd(n_lock, {0x63, 0x02, 0x04}, 10s));
    ASSERT_GE(from_node(n_lock, {0x63, 0x03, 0x04, 0x01, '9', '8', '7', '6'}), 0);
    ASSERT_TRUE(eventually([&] { return cbs().size() >= 5; }));
    EXPECT_EQ((bytes{4, 1, '9', '8', '7', '6'}), cbs()[4].second);
    EXPECT_FALSE(g_locked_cb);
}

// A lock operation without a callback goes out plainly and is read back;
// until the read-back facility runs, the call says so (-63) and logs it.
// The lock's gets come back as reports from the device.
TEST_F(CtlCalls, ALockIsSetAndReadBack)
{
    zwif_desc_t lock = intf(n_lock, 0x62);
    const int rc = zwif_dlck_op_set(&lock, 0x00, nullptr, 0);
    EXPECT_TRUE(rc == 0 || rc == ZW_ERR_POST_SET_POLL) << rc;
    ASSERT_TRUE(model->wait_view(n_lock, [](const sim::node_view &v) { return v.values.at(0x62)[0] == 0x00; }, 10s));
    if (rc == ZW_ERR_POST_SET_POLL) {
        EXPECT_EQ(1u, log_count("zwif_dlck_op_set post-set poll with error:"));
    }
    const zwdlck_cfg_t timed{2, 0x1, 0x2, 3, 30};
    const int cfg_rc = zwif_dlck_cfg_set(&lock, &timed);
    EXPECT_TRUE(cfg_rc == 0 || cfg_rc == 1) << cfg_rc;
    ASSERT_TRUE(model->wait_view(n_lock, [](const sim::node_view &v) { return v.values.at(0x62)[3] == 2; }, 10s));

    ASSERT_EQ(0, zwif_dlck_op_rpt_set(&lock, on_dlck_op));
    int get_rc = zwif_dlck_op_get(&lock, ZWIF_GET_BMSK_LIVE);
    EXPECT_TRUE(get_rc == 0 || get_rc == 1) << get_rc;
    ASSERT_TRUE(eventually([&] { return cbs().size() >= 1; }));
    EXPECT_EQ((bytes{0x00, 0x00}), cbs()[0].second) << "mode unsecured, door open";
    get_rc = zwif_dlck_cfg_get(&lock, on_dlck_cfg, ZWIF_GET_BMSK_LIVE);
    EXPECT_TRUE(get_rc == 0 || get_rc == 1) << get_rc;
    ASSERT_TRUE(eventually([&] { return cbs().size() >= 2; }));
    EXPECT_EQ((bytes{2, 1, 2, 3, 30}), cbs()[1].second);
    EXPECT_TRUE(model->violations().empty());
}

}  // namespace
