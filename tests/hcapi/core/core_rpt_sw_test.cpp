// Reports of switches, sensors, meters and notifications through the report
// dispatcher of a bare network (no threads, no sockets): golden frames, each
// in a buffer of exactly its length, give the callbacks' arguments and the
// caches; refused frames give nothing; notification parameters, the device
// record's mappings, event clearing, cached reads and capability data.
#include "hcapi/core/zwif_rpt.h"
#include "hcapi/core/zwif_rpt_sw.h"
#include "hcapi/core/zwnode_q.h"
#include "hcapi/core/zwrec.h"
#include "hcapi/include/zwif_sw.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

constexpr uint8_t n_dev = 5;

// One callback as it arrived: class, flattened arguments, time.
struct rpt_ev {
    bool sm = false;
    uint16_t cls = 0;
    bytes args;
    time_t ts = 0;
    bool locked = false;
};

zwnet_p g_net = nullptr;
std::vector<rpt_ev> g_evs;
std::vector<std::string> g_log;

void note(bool sm, const zwif_desc_t *i, bytes args, time_t ts)
{
    g_evs.push_back({sm, i->cls, std::move(args), ts, zwnet_lck_depth(g_net) != 0});
}
bytes list_args(uint8_t cnt, const uint8_t *l)
{
    bytes b{cnt};
    for (uint8_t k = 0; l != nullptr && k < cnt; ++k)  // not insert(): g++ 12 warns falsely on it
        b.push_back(l[k]);
    return b;
}

// The callbacks of every report, flattened to bytes.
template <bool SM>
struct cbs {
    // A report whose arguments are another family's: only that it came.
    static void any(zwif_desc_t *i) { note(SM, i, {}, 0); }
    static void level(zwif_desc_t *i, uint8_t v, time_t ts) { note(SM, i, {v}, ts); }
    static void lvl_sup(zwif_desc_t *i, uint8_t p, uint8_t s, int valid)
    {
        note(SM, i, {p, s, uint8_t(valid)}, 0);
    }
    static void list(zwif_desc_t *i, uint8_t cnt, uint8_t *l, int valid)
    {
        bytes b = list_args(cnt, l);
        b.push_back(uint8_t(valid));
        note(SM, i, b, 0);
    }
    static void bsnsr(zwif_desc_t *i, uint8_t state, uint8_t type, time_t ts) { note(SM, i, {state, type}, ts); }
    static void sensor(zwif_desc_t *i, zwsensor_t *s, time_t ts)
    {
        note(SM, i, {s->type, s->precision, s->unit, s->size, s->data[0], s->data[1], s->data[2], s->data[3]}, ts);
    }
    static void unit(zwif_desc_t *i, uint8_t type, uint8_t mask, int valid)
    {
        note(SM, i, {type, mask, uint8_t(valid)}, 0);
    }
    static void meter(zwif_desc_t *i, zwmeter_t *m, time_t ts)
    {
        note(SM, i,
             {m->type, m->precision, m->unit, m->size, m->data[0], m->data[1], m->data[2], m->data[3],
              uint8_t(m->delta_time >> 8), uint8_t(m->delta_time), m->prv_data[0], m->prv_data[1], m->prv_data[2],
              m->prv_data[3], m->rate_type},
             ts);
    }
    static void meter_sup(zwif_desc_t *i, zwmeter_cap_t *c, int valid)
    {
        note(SM, i, c ? bytes{c->type, c->reset_cap, c->unit_sup, uint8_t(valid)} : bytes{uint8_t(valid)}, 0);
    }
    static void meter_tbl(zwif_desc_t *i, zwmeter_tbl_t *t, int valid)
    {
        bytes b{uint8_t(valid)};
        if (t != nullptr) {
            b.push_back(t->flags);
            b.insert(b.end(), t->id, t->id + strnlen(t->id, sizeof t->id));
            b.push_back('|');
            b.insert(b.end(), t->admin, t->admin + strnlen(t->admin, sizeof t->admin));
        }
        note(SM, i, b, 0);
    }
    static void color(zwif_desc_t *i, zwcolor_t *c, time_t ts)
    {
        note(SM, i, {c->id, c->value, c->target, c->dur}, ts);
    }
    static void pulse(zwif_desc_t *i, uint32_t n)
    {
        note(SM, i, {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)}, 0);
    }
    static void barrier_sig(zwif_desc_t *i, uint8_t sub, uint8_t state, time_t ts) { note(SM, i, {sub, state}, ts); }
    static void salrm(zwif_desc_t *i, zwsalrm_t *a, time_t ts)
    {
        note(SM, i, {a->src_node, a->type, a->state, uint8_t(a->seconds >> 8), uint8_t(a->seconds)}, ts);
    }
    static void alrm(zwif_desc_t *i, zwalrm_t *a, time_t ts)
    {
        bytes b;
        if (a != nullptr) {
            const auto *p = reinterpret_cast<const uint8_t *>(a);
            b.assign(p, p + ZW_ALRM_HDR_SZ + a->ex_evt_len);
        }
        note(SM, i, b, ts);
    }
    static void alrm_sup(zwif_desc_t *i, uint8_t flag, uint8_t cnt, uint8_t *types, int valid)
    {
        bytes b{flag};
        const bytes l = list_args(cnt, types);
        b.insert(b.end(), l.begin(), l.end());
        b.push_back(uint8_t(valid));
        note(SM, i, b, 0);
    }
    static void alrm_evt(zwif_desc_t *i, uint8_t type, uint8_t cnt, uint8_t *evts, int valid)
    {
        bytes b{type};
        const bytes l = list_args(cnt, evts);
        b.insert(b.end(), l.begin(), l.end());
        b.push_back(uint8_t(valid));
        note(SM, i, b, 0);
    }
};

template <class F>
zwif_rpt_fn fn(F f)
{
    return reinterpret_cast<zwif_rpt_fn>(f);
}

// (class, report) -> the application's and the interview's callbacks.
struct cb_row {
    uint16_t cls;
    uint8_t rpt;
    zwif_rpt_fn usr, sm;
};
#define CB(cls, rpt, name) {cls, rpt, fn(cbs<false>::name), fn(cbs<true>::name)}
const cb_row cb_rows[] = {
    CB(0x26, 0x03, level), CB(0x26, 0x07, lvl_sup), CB(0x30, 0x03, bsnsr), CB(0x30, 0x04, list),
    CB(0x31, 0x02, list), CB(0x31, 0x05, sensor), CB(0x31, 0x06, unit), CB(0x32, 0x02, meter),
    CB(0x32, 0x04, meter_sup), CB(0x33, 0x02, list), CB(0x33, 0x04, color), CB(0x35, 0x05, pulse),
    CB(0x3D, 0x02, meter_tbl), CB(0x3D, 0x04, any), CB(0x66, 0x03, level), CB(0x66, 0x05, list),
    CB(0x66, 0x08, barrier_sig), CB(0x71, 0x02, alrm_evt), CB(0x71, 0x05, alrm), CB(0x71, 0x08, alrm_sup),
    CB(0x9C, 0x02, salrm), CB(0x9C, 0x04, list), CB(0x62, 0x03, any),
};
#undef CB

void capture(const char *line) { g_log.emplace_back(line); }

// Node 5 with an interface of every class of the family (and Basic and
// Door Lock beside them).
class SwNet : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_evs.clear();
        g_log.clear();
        net_ = new zwnet;
        g_net = net_;
        plt_mtx_init(&net_->mtx);
        net_->plt.print = capture;
        zwnet_lock lk(net_);
        zwnode_p node = zwnode_create(net_, n_dev);
        const std::pair<uint16_t, uint8_t> classes[] = {{0x20, 1}, {0x26, 4}, {0x30, 2}, {0x31, 11}, {0x32, 4},
                                                        {0x33, 3}, {0x35, 1}, {0x3C, 1}, {0x3D, 1}, {0x62, 2},
                                                        {0x66, 1}, {0x71, 8}, {0x9C, 1}};
        for (auto [cls, ver] : classes) {
            zwif_p i = zwif_create(cls, ver, IF_PROPTY_UNSECURE);
            ASSERT_NE(nullptr, i);
            i->real_ver = ver;
            ASSERT_EQ(1, zwif_attach(&node->ep, i));
            for (uint8_t r = 0; r < i->rpt_num; ++r)
                for (const cb_row &c : cb_rows)
                    if (c.cls == cls && c.rpt == i->rpt[r].rpt_cmd) {
                        i->rpt[r].usr_rpt_cb = c.usr;
                        i->rpt[r].sm_rpt_cb = c.sm;
                    }
        }
    }
    void TearDown() override
    {
        {
            zwnet_lock lk(net_);
            zwnet_node_free(net_, n_dev);
        }
        plt_mtx_destroy(net_->mtx);
        delete net_;
        g_net = nullptr;
    }

    zwif_p intf(uint16_t cls)
    {
        zwep_p ep = zwep_find_by_id(net_, n_dev, 0);
        return ep ? zwif_find_cls(ep->intf, cls) : nullptr;
    }
    zwif_desc_t desc(uint16_t cls)
    {
        zwnet_lock lk(net_);
        zwif_desc_t d{};
        zwif_desc_fill(&d, intf(cls));
        return d;
    }

    // As the receive path hands it on: the frame in a buffer of exactly its
    // length, the network mutex held.
    int dispatch(const bytes &f)
    {
        std::unique_ptr<uint8_t[]> buf(new uint8_t[f.size() ? f.size() : 1]);
        std::copy(f.begin(), f.end(), buf.get());
        uint16_t cls = 0;
        uint8_t cmd = 0;
        zwnet_lock lk(net_);
        if (!zwif_cls_cmd_get(buf.get(), static_cast<uint16_t>(f.size()), &cls, &cmd))
            return zwif_report_dispatch(intf(0x20), buf.get(), static_cast<uint16_t>(f.size()));
        zwif_p i = intf(cls);
        return i ? zwif_report_dispatch(i, buf.get(), static_cast<uint16_t>(f.size())) : 0;
    }
    void interview(bool on)
    {
        zwnet_lock lk(net_);
        net_->ep_intv_active = on;
    }
    std::vector<rpt_ev> usr_evs() const
    {
        std::vector<rpt_ev> out;
        for (const rpt_ev &e : g_evs)
            if (!e.sm)
                out.push_back(e);
        return out;
    }
    bool logged(const std::string &text) const
    {
        for (const std::string &l : g_log)
            if (l.find(text) != std::string::npos)
                return true;
        return false;
    }

    zwnet_p net_ = nullptr;
};

struct golden_case {
    const char *name;
    bytes frame;
    bytes args;  // the application's callback; empty: none
};

// In order: later cases build on what earlier ones stored.
const golden_case golden[] = {
    {"level", {0x26, 0x03, 0x32 /* 50 */}, {0x32}},
    {"level v4", {0x26, 0x03, 0x10 /* current */, 0x63 /* target */, 0x05 /* duration */}, {0x10}},
    {"level types", {0x26, 0x07, 0xE2 /* reserved bits, primary type 2 */, 0x03 /* secondary type 3 */}, {2, 3, 1}},
    {"binary sensor with type", {0x30, 0x03, 0xFF /* detected */, 0x0C /* motion */}, {0xFF, 0x0C}},
    {"binary sensor types",
     {0x30, 0x04, 0x06 /* types 1, 2 */, 0x01 /* type 8 */}, {3, 1, 2, 8, /* valid */ 1}},
    {"sensor types", {0x31, 0x02, 0x05 /* types 1, 3 */, 0x80 /* type 16 */}, {3, 1, 3, 16, 1}},
    {"sensor scales", {0x31, 0x06, 0x01 /* air temperature */, 0xF3 /* reserved bits, scales 0, 1 */}, {1, 0x03, 1}},
    {"sensor 25.0",
     {0x31, 0x05, 0x01 /* air temperature */, 0x22 /* precision 1, scale 0, size 2 */, 0x00, 0xFA /* 250 */},
     {1, 1, 0, 2, 0x00, 0xFA, 0, 0}},
    {"sensor 4 bytes",
     {0x31, 0x05, 0x03 /* luminance */, 0x4C /* precision 2, scale 1, size 4 */, 0xFF, 0xFF, 0xFE, 0x0C},
     {3, 2, 1, 4, 0xFF, 0xFF, 0xFE, 0x0C}},
    {"sensor size 3 is refused", {0x31, 0x05, 0x01, 0x23 /* size 3 */, 0x00, 0x00, 0x00}, {}},
    {"sensor value beyond the frame", {0x31, 0x05, 0x01, 0x22 /* size 2 */, 0x00}, {}},
    {"meter v3 with previous value",
     {0x32, 0x02, 0xA1 /* scale bit 2, rate 1, electric */, 0x64 /* precision 3, scale 0, size 4 */, 0x00, 0x00,
      0x30, 0x39 /* 12345 */, 0x00, 0x3C /* 60 s ago */, 0x00, 0x00, 0x30, 0x00 /* previous */},
     {1, 3, 4, 4, 0x00, 0x00, 0x30, 0x39, 0x00, 0x3C, 0x00, 0x00, 0x30, 0x00, /* rate */ 1}},
    {"meter without delta time", {0x32, 0x02, 0x02 /* gas */, 0x09 /* scale 1, size 1 */, 0x05},
     {2, 0, 1, 1, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    {"meter delta time without room for the previous value",
     {0x32, 0x02, 0x03 /* water */, 0x09 /* scale 1, size 1 */, 0x06, 0x00, 0x0A /* 10 s */},
     {3, 0, 1, 1, 0x06, 0, 0, 0, 0x00, 0x0A, 0, 0, 0, 0, 0}},
    {"meter size 5 is refused", {0x32, 0x02, 0x01, 0x05 /* size 5 */, 1, 2, 3, 4, 5}, {}},
    {"meter capabilities", {0x32, 0x04, 0x81 /* resettable, electric */, 0x0F /* scales 0..3 */}, {1, 1, 0x0F, 1}},
    {"colour components", {0x33, 0x02, 0x1C /* red, green, blue */, 0x00}, {3, 2, 3, 4, 1}},
    {"colour v1", {0x33, 0x04, 0x02 /* red */, 0xFF}, {2, 0xFF, 0, 0}},
    {"colour v3", {0x33, 0x04, 0x03 /* green */, 0x10, 0x80 /* target */, 0x05 /* duration */}, {3, 0x10, 0x80, 5}},
    {"pulse count", {0x35, 0x05, 0x00, 0x01, 0x02, 0x03}, {0, 1, 2, 3}},
    {"meter table identifier asks for more", {0x3D, 0x04, 0x05 /* 5 characters */, 'M', 'T', 'R', '0', '1'}, {}},
    {"meter table administration number",
     {0x3D, 0x02, 0x03, 'A', 'B', 'C'},
     {1, ZW_METER_TBL_ID_VALID | ZW_METER_TBL_CFG, 'M', 'T', 'R', '0', '1', '|', 'A', 'B', 'C'}},
    {"meter table identifier cut to the frame", {0x3D, 0x04, 0x1F /* 31 characters */, 'X', 'Y'}, {}},
    {"meter table empty number", {0x3D, 0x02, 0x00}, {1, 3, 'X', 'Y', '|'}},
    {"barrier", {0x66, 0x03, 0xFC /* stopped */}, {0xFC}},
    {"barrier subsystems", {0x66, 0x05, 0x03 /* audible, visual */}, {2, 1, 2, 1}},
    {"barrier signal", {0x66, 0x08, 0x02 /* visual */, 0xFF}, {2, 0xFF}},
    {"barrier signal of subsystem 0 changes nothing", {0x66, 0x08, 0x00, 0xFF}, {}},
    {"sensor alarm", {0x9C, 0x02, 0x07 /* source */, 0x01 /* smoke */, 0xFF, 0x00, 0x1E /* 30 s */},
     {7, 1, 0xFF, 0x00, 0x1E}},
    {"sensor alarm types", {0x9C, 0x04, 0x01 /* 1 byte */, 0x05 /* types 0, 2 */}, {2, 0, 2, 1}},
    {"sensor alarm mask cut to the frame", {0x9C, 0x04, 0x05 /* 5 bytes */, 0x02 /* type 1 */}, {1, 1, 1}},
    {"notification types",
     {0x71, 0x08, 0x82 /* v1 alarms, 2 bytes */, 0x60 /* types 5, 6 */, 0x01 /* type 8 */}, {1, 3, 5, 6, 8, 1}},
    {"notification events",
     {0x71, 0x02, 0x06 /* access control */, 0x01 /* 1 byte */, 0x66 /* events 1, 2, 5, 6 */}, {6, 4, 1, 2, 5, 6, 1}},
    {"notification events beyond the frame", {0x71, 0x02, 0x06, 0x02 /* 2 bytes */, 0x66}, {}},
    {"notification v1", {0x71, 0x05, 0x15 /* alarm type */, 0x01 /* level */}, {0x15, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    {"notification 6 bytes", {0x71, 0x05, 0x01, 0x02, 0x03 /* source */, 0xFF /* on */},
     {1, 2, /* extended */ 1, 3, 0xFF, 0, 0, 0, 0, 0, 0}},
    {"notification", {0x71, 0x05, 0x00, 0x00, 0x00, 0xFF, 0x06 /* access control */, 0x01 /* locked */},
     {0, 0, 1, 0, 0xFF, 6, 1, 0, 0, 0, 0}},
    {"notification with a user code",
     {0x71, 0x05, 0x00, 0x00, 0x00, 0xFF, 0x06, 0x06 /* keypad unlock */, 0x03 /* 3 parameter bytes */, 0x63, 0x03,
      0x05 /* user 5 */},
     {0, 0, 1, 0, 0xFF, 6, 6, 0, 0, /* length */ 1, ZW_ALRM_PARAM_USRID, 5}},
    {"notification with a sequence number",
     {0x71, 0x05, 0x00, 0x00, 0x00, 0xFF, 0x07, 0x03, 0x80 /* sequence, no parameters */, 0x2A},
     {0, 0, 1, 0, 0xFF, 7, 3, /* sequence */ 1, 0x2A, 0, 0}},
    {"notification sequence flag without its number",
     {0x71, 0x05, 0x00, 0x00, 0x00, 0xFF, 0x07, 0x03, 0x80}, {0, 0, 1, 0, 0xFF, 7, 3, 0, 0, 0, 0}},
    {"notification parameters beyond the frame",
     {0x71, 0x05, 0x00, 0x00, 0x00, 0xFF, 0x06, 0x06, 0x05 /* 5 bytes */, 0x63, 0x03}, {}},
};

TEST_F(SwNet, GoldenFramesReachTheApplicationWithTheirValues)
{
    for (const golden_case &c : golden) {
        SCOPED_TRACE(c.name);
        g_evs.clear();
        EXPECT_EQ(1, dispatch(c.frame));
        std::vector<rpt_ev> evs;
        for (const rpt_ev &e : usr_evs())
            if (e.cls == c.frame[0])
                evs.push_back(e);
        if (c.args.empty()) {
            EXPECT_TRUE(evs.empty());
            continue;
        }
        ASSERT_EQ(1u, evs.size());
        EXPECT_EQ(c.frame[0], evs[0].cls);
        EXPECT_EQ(c.args, evs[0].args);
        EXPECT_FALSE(evs[0].locked) << "no callback under the network mutex";
    }
}

// Every prefix of every golden frame, and each with a byte more of junk, in
// buffers of exactly their length: AddressSanitizer proves every read.
TEST_F(SwNet, PrefixesOfGoldenFramesStayInBounds)
{
    for (const golden_case &c : golden) {
        for (size_t n = 0; n <= c.frame.size(); ++n)
            dispatch(bytes(c.frame.begin(), c.frame.begin() + n));
        bytes longer = c.frame;
        longer.push_back(0xFF);
        dispatch(longer);
    }
    for (const rpt_ev &e : g_evs)
        EXPECT_FALSE(e.locked);
}

TEST_F(SwNet, KeyedCachesKeepOneEntryPerKeyAndTellRepeatsApart)
{
    interview(true);
    const bytes t1 = {0x31, 0x05, 0x01, 0x22, 0x00, 0xFA};        // type 1, scale 0: 25.0
    const bytes t1_s1 = {0x31, 0x05, 0x01, 0x2A, 0x00, 0xFA};     // type 1, scale 1
    const bytes t1_prec = {0x31, 0x05, 0x01, 0x02, 0x00, 0xFA};   // type 1, scale 0, precision 0
    for (const bytes &f : {t1, t1, t1_s1, t1_prec})
        EXPECT_EQ(1, dispatch(f));
    // The interview hears all four; the application the first, the new
    // scale and the changed precision, not the repeat.
    ASSERT_EQ(7u, g_evs.size());
    const bool sm_seq[7] = {true, false, true, true, false, true, false};
    for (size_t k = 0; k < g_evs.size(); ++k)
        EXPECT_EQ(sm_seq[k], g_evs[k].sm) << k;
    {
        zwnet_lock lk(net_);
        zwif_p s = intf(0x31);
        EXPECT_EQ(2, s->cch_ele_cnt);
        EXPECT_EQ(8 + 8, s->cch_ele_sz);
    }

    // A meter reading whose delta time alone changes is a repeat.
    g_evs.clear();
    const bytes m1 = {0x32, 0x02, 0x21, 0x09, 0x05, 0x00, 0x0A, 0x04};
    const bytes m2 = {0x32, 0x02, 0x21, 0x09, 0x05, 0x00, 0x14, 0x04};
    dispatch(m1);
    dispatch(m2);
    EXPECT_EQ(1u, usr_evs().size());
}

TEST_F(SwNet, AKeyedCacheStopsAt255Keys)
{
    // 32 meter types x 8 scales: 256 keys.
    for (unsigned k = 0; k < 256; ++k) {
        const uint8_t type = k & 0x1F, scale = k >> 5;
        dispatch({0x32, 0x02, static_cast<uint8_t>(type | (scale & 4) << 5), static_cast<uint8_t>((scale & 3) << 3 | 1),
                  0x01});
    }
    zwnet_lock lk(net_);
    EXPECT_EQ(255, intf(0x32)->cch_ele_cnt) << "the byte count never wraps";
}

TEST_F(SwNet, NotificationsKeepOneSlotPerTypeAndEvent)
{
    const bytes a = {0x71, 0x05, 0x00, 0x00, 0x00, 0xFF, 0x07, 0x03};
    const bytes b = {0x71, 0x05, 0x00, 0x00, 0x00, 0x00, 0x07, 0x03};  // same key, status off
    const bytes c = {0x71, 0x05, 0x00, 0x00, 0x00, 0xFF, 0x07, 0x08};
    const bytes no_type = {0x71, 0x05, 0x09, 0x01, 0x00, 0xFF, 0x00, 0x00};
    for (const bytes &f : {a, b})
        dispatch(f);
    EXPECT_EQ(2u, usr_evs().size()) << "every notification reaches the application";
    {
        zwnet_lock lk(net_);
        zwif_p n = intf(0x71);
        ASSERT_EQ(1, n->cch_kind);
        EXPECT_EQ(1, n->cch_ele_cnt);
        const auto *slot = static_cast<const zwif_cch_slot_t *>(n->cch_data);
        EXPECT_EQ(0x00, static_cast<const uint8_t *>(slot[0].buf)[8 + 4]) << "the newer status";
    }
    dispatch(c);
    dispatch(no_type);
    zwnet_lock lk(net_);
    EXPECT_EQ(2, intf(0x71)->cch_ele_cnt) << "another event adds a slot; type 0 is not kept from version 2";
}

struct param_case {
    const char *name;
    uint8_t type, evt;
    bytes param;
    uint8_t kind;
    bytes stored;
};

TEST(NotificationParams, AreClassifiedByTypeAndEvent)
{
    const param_case cases[] = {
        {"user code", 0x06, 0x06, {0x63, 0x03, 0x05}, ZW_ALRM_PARAM_USRID, {0x05}},
        {"user code of a keypad lock", 0x06, 0x05, {0x63, 0x03, 0x07, 0x00}, ZW_ALRM_PARAM_USRID, {0x07}},
        {"keypad event without a user code", 0x06, 0x06, {0x62, 0x03, 0x05}, ZW_ALRM_PARAM_UNKNOWN, {0x62, 0x03, 0x05}},
        {"one byte with a meaning", 0x06, 0x40, {0x0A}, ZW_ALRM_PARAM_ENUM, {0x0A}},
        {"two bytes where one is meant", 0x06, 0x40, {0x0A, 0x0B}, ZW_ALRM_PARAM_UNKNOWN, {0x0A, 0x0B}},
        {"system hardware failure", 0x09, 0x03, {0x01, 0x02}, ZW_ALRM_PARAM_OEM_ERR, {0x01, 0x02}},
        {"clock", 0x0B, 0x03, {0x01, 0x02, 0x03}, ZW_ALRM_PARAM_ENUM, {0x01, 0x02, 0x03}},
        {"idle names the event", 0x05, 0x00, {0x03}, ZW_ALRM_PARAM_EVENT_ID, {0x03}},
        {"location", 0x01, 0x01, {0x77, 0x06, 0x00, 'K', 'i', 't'}, ZW_ALRM_PARAM_LOC, {'K', 'i', 't', 0}},
        {"location cut to whole UTF-8", 0x01, 0x01, {0x77, 0x06, 0x01, 'A', 0xC3}, ZW_ALRM_PARAM_LOC, {'A', 0}},
        {"UTF-16 location", 0x04, 0x03, {0x77, 0x06, 0x02, 0x00, 'H', 0x00, 0xE9}, ZW_ALRM_PARAM_LOC,
         {'H', 0xC3, 0xA9, 0}},
        {"broken UTF-16 stores nothing", 0x01, 0x01, {0x77, 0x06, 0x02, 0xD8, 0x00}, 0, {}},
        {"location text outside the location events", 0x01, 0x02, {0x77, 0x06, 0x00, 'K'}, ZW_ALRM_PARAM_UNKNOWN,
         {0x77, 0x06, 0x00, 'K'}},
        {"anything else", 0x02, 0x02, {0x01}, ZW_ALRM_PARAM_UNKNOWN, {0x01}},
    };
    for (const param_case &c : cases) {
        SCOPED_TRACE(c.name);
        alignas(8) uint8_t buf[ZWIF_RPT_REC_MAX] = {};
        auto *a = reinterpret_cast<zwalrm_t *>(buf);
        a->ex_type = c.type;
        a->ex_event = c.evt;
        std::unique_ptr<uint8_t[]> p(new uint8_t[c.param.size()]);
        std::copy(c.param.begin(), c.param.end(), p.get());
        EXPECT_EQ(c.stored.size(), zwif_alrm_param_parse(p.get(), static_cast<uint8_t>(c.param.size()), a));
        EXPECT_EQ(c.kind, a->ex_evt_type);
        EXPECT_EQ(c.stored, bytes(zwalrm_param(a), zwalrm_param(a) + a->ex_evt_len));
    }
}

TEST_F(SwNet, SupportedBlocksKeepWhatStillHoldsAndGrowSafely)
{
    dispatch({0x71, 0x08, 0x01, 0x60});                 // types 5, 6
    dispatch({0x71, 0x02, 0x06, 0x01, 0x66});           // events of 6
    dispatch({0x71, 0x08, 0x02, 0x40, 0xFF});           // types 6 and 8..15
    {
        zwnet_lock lk(net_);
        zwif_p n = intf(0x71);
        ASSERT_EQ(ZWIF_ALRM_SUP_ITEM_SZ, n->data_item_sz);
        ASSERT_EQ(1 + 9, n->data_cnt) << "a header and nine types";
        const auto *block = static_cast<const zwif_alrm_sup_ent_t *>(n->data);
        EXPECT_EQ(6, block[1].type);
        EXPECT_EQ(1, block[1].mask_len) << "type 6 keeps its events";
        EXPECT_EQ(0x66, block[1].mask[0]);
        EXPECT_EQ(8, block[2].type);
        EXPECT_EQ(0, block[2].mask_len) << "a new type starts without events";
    }
    // Every notification type there can be: the block stays self-consistent.
    bytes all = {0x71, 0x08, 0x1F};
    all.insert(all.end(), 31, 0xFF);
    dispatch(all);
    {
        zwnet_lock lk(net_);
        zwif_p n = intf(0x71);
        EXPECT_EQ(248 + 1, n->data_cnt);
        EXPECT_EQ(ZWIF_ALRM_SUP_ITEM_SZ, n->data_item_sz);
    }

    dispatch({0x31, 0x02, 0x03});        // types 1, 2
    dispatch({0x31, 0x06, 0x02, 0x05}); // scales of 2
    dispatch({0x31, 0x02, 0x06});        // types 2, 3
    {
        zwnet_lock lk(net_);
        const auto *items = static_cast<const uint8_t *>(intf(0x31)->data);
        ASSERT_EQ(2, intf(0x31)->data_cnt);
        EXPECT_EQ((bytes{2, 0x05, 3, 0x00}), bytes(items, items + 4)) << "type 2 keeps its scales, 3 has none yet";
    }

    // Every barrier subsystem bit: counts and list stay within a byte.
    bytes sub = {0x66, 0x05};
    sub.insert(sub.end(), 40, 0xFF);
    g_evs.clear();
    dispatch(sub);
    ASSERT_EQ(1u, usr_evs().size());
    EXPECT_EQ(254, usr_evs()[0].args[0]);
    EXPECT_EQ(254, usr_evs()[0].args[254]) << "the last subsystem";
}

// A device record for node 5's endpoint 0: a binary sensor type, rules of
// binary sensor, Basic, sensor alarm and notification.
class SwDevRec : public SwNet {
protected:
    void SetUp() override
    {
        SwNet::SetUp();
        dev_ep_ent_t ent;
        ent.epid = 0;
        auto bsnsr = std::make_unique<dev_if_t>();
        bsnsr->if_type = DEV_IF_BSENSOR;
        bsnsr->bsnsr_type = 0x0C;
        auto alarm = std::make_unique<dev_if_t>();
        alarm->if_type = DEV_IF_ALARM;
        auto rule = std::make_unique<dev_alrm_rule_t>();  // vendor alarm 0x15, level 1..3 -> smoke detected
        rule->match_valid = true;
        rule->alrm_type = 0x15;
        rule->level_low = 1;
        rule->level_high = 3;
        rule->level_mode = 1;
        rule->result.notif_type = 0x01;
        rule->result.notif_evt = 0x02;
        alarm->alrm.push_back(std::move(rule));
        for (uint8_t t : {0x07 /* binary sensor: burglar */, 0x0E /* Basic: siren */, 0x0A /* sensor alarm */}) {
            auto target = std::make_unique<dev_alrm_rule_t>();
            target->result.notif_type = t;
            target->result.notif_evt = 0x01;
            target->result.param = {0xAB};
            targets_.push_back(&target->result);
            alarm->alrm.push_back(std::move(target));
        }
        bsnsr->rules.push_back(dev_rule_t{targets_[0], DEV_ANY, 0xFF, DEV_ANY, 0, DEV_IF_ALARM});
        auto basic = std::make_unique<dev_if_t>();
        basic->if_type = DEV_IF_BASIC;
        basic->rules.push_back(dev_rule_t{targets_[1], 1, 0x63, DEV_ANY, 0, DEV_IF_ALARM});
        auto salrm = std::make_unique<dev_if_t>();
        salrm->if_type = DEV_IF_ALRM_SNSR;
        salrm->rules.push_back(dev_rule_t{targets_[2], 0x01, 0x10, 0x20, 1, DEV_IF_ALARM});
        auto meter = std::make_unique<dev_if_t>();
        meter->if_type = DEV_IF_METER;
        meter->meter_type = 1;
        meter->meter_units = 0x05;
        auto sensor = std::make_unique<dev_if_t>();
        sensor->if_type = DEV_IF_SENSOR;
        sensor->snsr_type = 0x01;
        sensor->snsr_unit = 0x01;
        ent.intf.push_back(std::move(bsnsr));
        ent.intf.push_back(std::move(alarm));
        ent.intf.push_back(std::move(basic));
        ent.intf.push_back(std::move(salrm));
        ent.intf.push_back(std::move(meter));
        ent.intf.push_back(std::move(sensor));
        ep_.ent.push_back(std::move(ent));
        rec_ = dev_rec_t{0, 0, 0, 0, &ep_};
        zwnet_lock lk(net_);
        zwnode_p node = zwnode_find(&net_->ctl, n_dev);
        node->dev_cfg_valid = 1;
        node->dev_cfg_rec = &rec_;
    }
    void TearDown() override
    {
        {
            zwnet_lock lk(net_);
            zwnode_p node = zwnode_find(&net_->ctl, n_dev);
            node->dev_cfg_valid = 0;
            node->dev_cfg_rec = nullptr;
        }
        SwNet::TearDown();
    }

    // The notifications that reached the application, as class, type, event.
    std::vector<std::pair<uint8_t, uint8_t>> alrms() const
    {
        std::vector<std::pair<uint8_t, uint8_t>> out;
        for (const rpt_ev &e : usr_evs())
            if (e.cls == 0x71 && e.args.size() >= ZW_ALRM_HDR_SZ)
                out.push_back({e.args[5], e.args[6]});
        return out;
    }

    dev_ep_t ep_;
    dev_rec_t rec_{};
    std::vector<const dev_alrm_tgt_t *> targets_;
};

TEST_F(SwDevRec, ReportsMapToNotifications)
{
    // A binary sensor report without a type takes the record's, then the
    // rule for any type and state 0xFF delivers its notification.
    EXPECT_EQ(1, dispatch({0x30, 0x03, 0xFF}));
    auto evs = usr_evs();
    ASSERT_EQ(2u, evs.size());
    EXPECT_EQ((bytes{0xFF, 0x0C}), evs[0].args);
    EXPECT_EQ(0x71, evs[1].cls);
    EXPECT_EQ((bytes{0, 0, 1, 0, 0xFF, 0x07, 0x01, 0, 0, 1, 0, 0xAB}), evs[1].args) << "the rule's notification";
    EXPECT_FALSE(evs[1].locked);

    // Basic Set 0x63 stays the receive path's, after its notification.
    g_evs.clear();
    EXPECT_EQ(0, dispatch({0x20, 0x01, 0x63}));
    EXPECT_EQ(0, dispatch({0x20, 0x01, 0x62}));
    EXPECT_EQ((std::vector<std::pair<uint8_t, uint8_t>>{{0x0E, 0x01}}), alrms());

    // Sensor alarm levels 0x10..0x20 of type 1 map; 0x21 does not.
    g_evs.clear();
    dispatch({0x9C, 0x02, 0x00, 0x01, 0x21, 0x00, 0x00});
    dispatch({0x9C, 0x02, 0x00, 0x01, 0x20, 0x00, 0x00});
    EXPECT_EQ((std::vector<std::pair<uint8_t, uint8_t>>{{0x0A, 0x01}}), alrms());

    // A vendor alarm 0x15 at level 2 becomes smoke detected; level 4 stays.
    g_evs.clear();
    dispatch({0x71, 0x05, 0x15, 0x02});
    dispatch({0x71, 0x05, 0x15, 0x04});
    evs = usr_evs();
    ASSERT_EQ(2u, evs.size());
    EXPECT_EQ((bytes{0x15, 0x02, 1, 0, 0, 0x01, 0x02, 0, 0, 0, 0}), evs[0].args);
    EXPECT_EQ((bytes{0x15, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0}), evs[1].args);
}

// Binary sensors, sensor alarms and notifications are taken without any
// callback of their own: their caches and mappings still act.
TEST_F(SwDevRec, SensorsActWithoutCallbacksOfTheirOwn)
{
    {
        zwnet_lock lk(net_);
        for (uint16_t cls : {0x30, 0x26}) {
            zwif_p i = intf(cls);
            for (uint8_t r = 0; r < i->rpt_num; ++r)
                i->rpt[r].usr_rpt_cb = i->rpt[r].sm_rpt_cb = nullptr;
        }
    }
    EXPECT_EQ(1, dispatch({0x30, 0x03, 0xFF, 0x01}));
    EXPECT_EQ(0, dispatch({0x26, 0x03, 0x10})) << "other classes are left to the receive path";
    EXPECT_EQ((std::vector<std::pair<uint8_t, uint8_t>>{{0x07, 0x01}}), alrms());
    zwnet_lock lk(net_);
    EXPECT_EQ(1, intf(0x30)->cch_ele_cnt);
    EXPECT_EQ(nullptr, intf(0x26)->cch_data);
}

TEST_F(SwDevRec, TheRecordAddsNotificationTypesAndEvents)
{
    g_evs.clear();
    dispatch({0x71, 0x08, 0x01, 0x40});  // type 6 only
    auto evs = usr_evs();
    ASSERT_EQ(1u, evs.size());
    EXPECT_EQ((bytes{0, 5, 6, 1, 7, 0x0E, 0x0A, 1}), evs[0].args) << "type 6, then the record's 1, 7, 14, 10";
    dispatch({0x71, 0x02, 0x01, 0x01, 0x01});  // smoke: event 0 only
    zwnet_lock lk(net_);
    const auto *block = static_cast<const zwif_alrm_sup_ent_t *>(intf(0x71)->data);
    ASSERT_EQ(1, block[2].type);
    EXPECT_EQ(0x05, block[2].mask[0]) << "event 0 from the device, event 2 from the record";
}

TEST_F(SwNet, ActiveEventsAreHandedOnToBeEnded)
{
    dispatch({0x30, 0x03, 0xFF, 0x0C});
    dispatch({0x9C, 0x02, 0x00, 0x01, 0xFF, 0x00, 0x00});
    dispatch({0x71, 0x05, 0x00, 0x00, 0x00, 0xFF, 0x07, 0x03});
    // The event generation is not running here: each hand-over is refused and logged.
    EXPECT_TRUE(logged("zwif_bsnsr_evt_clr with error:"));
    EXPECT_TRUE(logged("zwif_alrm_snsr_evt_clr with error:"));
    EXPECT_TRUE(logged("zwif_alrm_evt_clr with error:"));

    // Idle reports, and devices that end their own events, hand nothing on.
    g_log.clear();
    dispatch({0x30, 0x03, 0x00, 0x0C});
    dispatch({0x71, 0x05, 0x00, 0x00, 0x00, 0xFF, 0x07, 0xFE});
    {
        zwnet_lock lk(net_);
        intf(0x9C)->propty |= IF_PROPTY_EVT_NO_CLR;
    }
    dispatch({0x9C, 0x02, 0x00, 0x01, 0xFF, 0x00, 0x00});
    EXPECT_TRUE(g_log.empty()) << g_log.front();
}

// A cached report read back by its keys; the fallback keys name what was
// asked for when nothing is cached.
struct cached_case {
    const char *name;
    uint16_t cls;
    uint8_t rpt;
    std::vector<uint16_t> keys;
    bytes args;
    bool has_time;
};

TEST_F(SwNet, CachedReportsAreFoundByTheirKeys)
{
    for (const bytes &f : {bytes{0x30, 0x03, 0xFF, 0x06}, bytes{0x31, 0x05, 0x01, 0x22, 0x00, 0xFA},
                           bytes{0x31, 0x05, 0x03, 0x09, 0x07}, bytes{0x32, 0x02, 0x01, 0x09, 0x05},
                           bytes{0x9C, 0x02, 0x00, 0x01, 0xFF, 0x00, 0x00},
                           bytes{0x9C, 0x02, 0x00, 0x02, 0x10, 0x00, 0x00},
                           bytes{0x66, 0x03, 0xFF}, bytes{0x66, 0x08, 0x02, 0xFF}, bytes{0x33, 0x04, 0x02, 0x40},
                           bytes{0x71, 0x05, 0x00, 0x00, 0x00, 0xFF, 0x07, 0x03}})
        dispatch(f);
    const cached_case cases[] = {
        {"binary sensor by type", 0x30, 0x03, {6, 6}, {0xFF, 6}, true},
        {"binary sensor of another type", 0x30, 0x03, {7, 7}, {0, 7}, false},
        {"binary sensor first entry", 0x30, 0x03, {9}, {0xFF, 6}, true},
        {"sensor by type and scale", 0x31, 0x05, {3, 1, 3, 1}, {3, 0, 1, 1, 7, 0, 0, 0}, true},
        {"sensor scale not cached", 0x31, 0x05, {3, 2, 3, 2}, {3, 0, 2, 0, 0, 0, 0, 0}, false},
        {"sensor type 0 takes the first", 0x31, 0x05, {0, 3}, {1, 1, 0, 2, 0, 0xFA, 0, 0}, true},
        {"meter by scale", 0x32, 0x02, {1, 1}, {1, 0, 1, 1, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true},
        {"meter scale not cached", 0x32, 0x02, {2, 2}, {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false},
        {"sensor alarm finds any type", 0x9C, 0x02, {2, 2}, {0, 2, 0x10, 0, 0}, true},
        {"barrier state", 0x66, 0x03, {}, {0xFF}, true},
        {"barrier signal", 0x66, 0x08, {2}, {2, 0xFF}, true},
        {"barrier signal not cached", 0x66, 0x08, {1}, {1, 0}, false},
        {"colour", 0x33, 0x04, {2}, {2, 0x40, 0, 0}, true},
        {"notification by any alarm type", 0x71, 0x05, {0xFFFF, 7, 3, 0, 7, 3}, {0, 0, 1, 0, 0xFF, 7, 3, 0, 0, 0, 0},
         true},
        {"notification not cached", 0x71, 0x05, {0xFFFF, 7, 4, 0, 7, 4}, {0, 0, 1, 0, 0, 7, 4, 0, 0, 0, 0}, false},
        {"notification without keys", 0x71, 0x05, {1, 2}, {}, false},
    };
    for (const cached_case &c : cases) {
        SCOPED_TRACE(c.name);
        g_evs.clear();
        zwif_desc_t d = desc(c.cls);
        zwif_rpt_fn cb = nullptr;
        for (const cb_row &r : cb_rows)
            if (r.cls == c.cls && r.rpt == c.rpt)
                cb = r.usr;
        zwif_cached_rpt_deliver(net_, &d, cb, c.rpt, static_cast<uint8_t>(c.keys.size()), c.keys.data());
        ASSERT_EQ(1u, g_evs.size());
        EXPECT_EQ(c.args, g_evs[0].args);
        EXPECT_EQ(c.has_time, g_evs[0].ts != 0);
        EXPECT_FALSE(g_evs[0].locked);
    }
}

struct kind_case {
    const char *name;
    uint16_t cls;
    uint16_t kind;
    uint16_t arg;
    zwif_rpt_fn cb;
    bytes args;
};

TEST_F(SwNet, CapabilityDataComesFromTheSupportedInformation)
{
    for (const bytes &f : {bytes{0x26, 0x07, 0x02, 0x03}, bytes{0x32, 0x04, 0x81, 0x0F}, bytes{0x30, 0x04, 0x06},
                           bytes{0x31, 0x02, 0x05}, bytes{0x31, 0x06, 0x03, 0x02}, bytes{0x9C, 0x04, 0x01, 0x05},
                           bytes{0x66, 0x05, 0x03}, bytes{0x33, 0x02, 0x1C}, bytes{0x71, 0x08, 0x01, 0x60},
                           bytes{0x71, 0x02, 0x06, 0x01, 0x02}, bytes{0x3D, 0x04, 0x01, 'M'},
                           bytes{0x3D, 0x02, 0x01, 'A'}})
        dispatch(f);
    const kind_case cases[] = {
        {"switch types", 0x26, ZWIF_KIND_LVL_SUP, 0, fn(cbs<false>::lvl_sup), {2, 3, 1}},
        {"meter", 0x32, ZWIF_KIND_METER_SUP, 0, fn(cbs<false>::meter_sup), {1, 1, 0x0F, 1}},
        {"meter table", 0x3D, ZWIF_KIND_METER_TBL, 0, fn(cbs<false>::meter_tbl), {1, 3, 'M', '|', 'A'}},
        {"binary sensor types", 0x30, ZWIF_KIND_BSNSR_TYPES, 0, fn(cbs<false>::list), {2, 1, 2, 1}},
        {"sensor types", 0x31, ZWIF_KIND_SNSR_TYPES, 0, fn(cbs<false>::list), {2, 1, 3, 1}},
        {"sensor scales", 0x31, ZWIF_KIND_SNSR_UNITS, 3, fn(cbs<false>::unit), {3, 2, 1}},
        {"scales of a type without any", 0x31, ZWIF_KIND_SNSR_UNITS, 1, fn(cbs<false>::unit), {0, 0, 0}},
        {"sensor alarm types", 0x9C, ZWIF_KIND_SALRM_TYPES, 0, fn(cbs<false>::list), {2, 0, 2, 1}},
        {"barrier subsystems", 0x66, ZWIF_KIND_BARRIER_SUBSYS, 0, fn(cbs<false>::list), {2, 1, 2, 1}},
        {"colour components", 0x33, ZWIF_KIND_COLOR_IDS, 0, fn(cbs<false>::list), {3, 2, 3, 4, 1}},
        {"notification types", 0x71, ZWIF_KIND_ALRM_TYPES, 0, fn(cbs<false>::alrm_sup), {0, 2, 5, 6, 1}},
        {"notification events", 0x71, ZWIF_KIND_ALRM_EVTS, 6, fn(cbs<false>::alrm_evt), {6, 1, 1, 1}},
        {"events of a type without any", 0x71, ZWIF_KIND_ALRM_EVTS, 5, fn(cbs<false>::alrm_evt), {0, 0, 0}},
        {"nothing known", 0x35, ZWIF_KIND_BSNSR_TYPES, 0, fn(cbs<false>::list), {0, 0}},
    };
    for (const kind_case &c : cases) {
        SCOPED_TRACE(c.name);
        g_evs.clear();
        zwif_desc_t d = desc(c.cls);
        EXPECT_TRUE(zwif_sw_data_deliver(net_, &d, c.cb, c.kind, c.arg));
        ASSERT_EQ(1u, g_evs.size());
        EXPECT_EQ(c.args, g_evs[0].args);
        EXPECT_FALSE(g_evs[0].locked);
    }
    zwif_desc_t d = desc(0x35);
    EXPECT_FALSE(zwif_sw_data_deliver(net_, &d, fn(cbs<false>::list), 2, 0)) << "another family's kind";
}

TEST_F(SwDevRec, CapabilityDataComesFromTheDeviceRecord)
{
    const kind_case cases[] = {
        {"binary sensor type", 0x30, ZWIF_KIND_BSNSR_TYPES, 0, fn(cbs<false>::list), {1, 0x0C, 1}},
        {"sensor type", 0x31, ZWIF_KIND_SNSR_TYPES, 0, fn(cbs<false>::list), {1, 0x01, 1}},
        {"sensor scale", 0x31, ZWIF_KIND_SNSR_UNITS, 1, fn(cbs<false>::unit), {1, 0x02, 1}},
        {"scale of another type", 0x31, ZWIF_KIND_SNSR_UNITS, 5, fn(cbs<false>::unit), {5, 0x00, 1}},
        {"meter", 0x32, ZWIF_KIND_METER_SUP, 0, fn(cbs<false>::meter_sup), {1, 0, 0x05, 1}},
        {"notification types", 0x71, ZWIF_KIND_ALRM_TYPES, 0, fn(cbs<false>::alrm_sup), {1, 4, 1, 7, 0x0E, 0x0A, 1}},
        {"notification events", 0x71, ZWIF_KIND_ALRM_EVTS, 1, fn(cbs<false>::alrm_evt), {1, 1, 2, 1}},
    };
    const uint8_t if_type[] = {DEV_IF_BSENSOR, DEV_IF_SENSOR, DEV_IF_SENSOR, DEV_IF_SENSOR, DEV_IF_METER,
                               DEV_IF_ALARM, DEV_IF_ALARM};
    for (size_t k = 0; k < std::size(cases); ++k) {
        const kind_case &c = cases[k];
        SCOPED_TRACE(c.name);
        g_evs.clear();
        zwif_desc_t d = desc(c.cls);
        EXPECT_TRUE(zwif_sw_dev_rec_deliver(net_, &d, c.cb, c.kind, static_cast<int16_t>(c.arg), if_type[k]));
        ASSERT_EQ(1u, g_evs.size());
        EXPECT_EQ(c.args, g_evs[0].args);
    }
    // No entry of the type: zeros and valid 0.
    g_evs.clear();
    zwif_desc_t d = desc(0x31);
    EXPECT_TRUE(zwif_sw_dev_rec_deliver(net_, &d, fn(cbs<false>::list), ZWIF_KIND_SNSR_TYPES, 0, DEV_IF_THRMO_SETP));
    ASSERT_EQ(1u, g_evs.size());
    EXPECT_EQ((bytes{0, 0}), g_evs[0].args);
}

// The cache readers answer for older devices from the device record, for
// newer ones from the supported information only.
TEST_F(SwDevRec, CacheReadersKnowWhereTheAnswerIs)
{
    auto real_ver = [&](uint16_t cls, uint8_t v) {
        zwnet_lock lk(net_);
        intf(cls)->real_ver = v;
    };
    uint8_t cnt = 0, list[255] = {};
    zwmeter_cap_t cap{};
    zwif_desc_t bs = desc(0x30), sn = desc(0x31), mt = desc(0x32), lv = desc(0x26);

    EXPECT_EQ(ZW_ERR_NO_CACHE_AVAIL, zwif_bsensor_sup_cache_get(&bs, &cnt, list));
    dispatch({0x30, 0x04, 0x06});
    ASSERT_EQ(0, zwif_bsensor_sup_cache_get(&bs, &cnt, list));
    EXPECT_EQ((bytes{1, 2}), bytes(list, list + cnt));
    real_ver(0x30, 1);
    ASSERT_EQ(0, zwif_bsensor_sup_cache_get(&bs, &cnt, list));
    EXPECT_EQ((bytes{0x0C}), bytes(list, list + cnt)) << "the record's type";

    EXPECT_EQ(ZW_ERR_NO_CACHE_AVAIL, zwif_sensor_sup_cache_get(&sn, &cnt, list));
    EXPECT_EQ(ZW_ERR_NO_CACHE_AVAIL, zwif_sensor_unit_cache_get(&sn, 1, &cnt, list));
    real_ver(0x31, 4);
    ASSERT_EQ(0, zwif_sensor_sup_cache_get(&sn, &cnt, list));
    EXPECT_EQ((bytes{0x01}), bytes(list, list + cnt));
    ASSERT_EQ(0, zwif_sensor_unit_cache_get(&sn, 1, &cnt, list));
    EXPECT_EQ((bytes{0x01}), bytes(list, list + cnt)) << "the record's scale";
    EXPECT_EQ(ZW_ERR_NO_CACHE_AVAIL, zwif_sensor_unit_cache_get(&sn, 2, &cnt, list)) << "not the record's type";

    EXPECT_EQ(ZW_ERR_NO_CACHE_AVAIL, zwif_meter_sup_cache_get(&mt, &cap));
    real_ver(0x32, 1);
    ASSERT_EQ(0, zwif_meter_sup_cache_get(&mt, &cap));
    EXPECT_EQ((bytes{1, 0, 0x05}), (bytes{cap.type, cap.reset_cap, cap.unit_sup}));

    uint8_t pri = 0, sec = 0;
    EXPECT_EQ(ZW_ERR_NO_CACHE_AVAIL, zwif_level_sup_cache_get(&lv, &pri, &sec));
    real_ver(0x26, 2);
    EXPECT_EQ(ZW_ERR_CLASS_VER, zwif_level_sup_cache_get(&lv, &pri, &sec));
    EXPECT_EQ(ZW_ERR_CLASS_NOT_FOUND, zwif_level_sup_cache_get(&mt, &pri, &sec));
}

// Access Control events stand for a Door Lock Operation Report, which goes
// to the endpoint's Door Lock interface through its own report row.
TEST_F(SwNet, AccessControlEventsReachTheDoorLock)
{
    if (zwif_rpt_def_find(0x62, 0x03) == nullptr)
        GTEST_SKIP() << "no Door Lock report row in this build";
    const struct {
        uint8_t evt;
        bool door_lock;
    } cases[] = {{0x01, true}, {0x02, true}, {0x05, true}, {0x06, true}, {0x07, false}, {0x00, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(int(c.evt));
        g_evs.clear();
        dispatch({0x71, 0x05, 0x00, 0x00, 0x00, 0xFF, 0x06, c.evt});
        size_t n = 0;
        for (const rpt_ev &e : usr_evs())
            if (e.cls == 0x62) {
                ++n;
                EXPECT_FALSE(e.locked);
            }
        EXPECT_EQ(c.door_lock ? 1u : 0u, n);
    }
}

}  // namespace
