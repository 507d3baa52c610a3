// The node database as the gateway shapes it: class-list helpers, roles,
// security flags, the node list reconciliation, node information applied
// to a node (made, refreshed, rebuilt in place), and device records applied
// to interfaces.
#include "hc_test_support.h"

#include "hcapi/core/zwif_rpt.h"
#include "hcapi/net/zwnet_devrec.h"
#include "hcapi/net/zwnet_init_sm.h"
#include "hcapi/net/zwnet_ndb.h"

namespace {

using namespace hc_test;
using cls_list = std::vector<uint16_t>;

TEST(NdbLists, PrependDedupFind)
{
    const struct {
        cls_list in;
        uint16_t cls;
        cls_list prepended;
    } cases[] = {
        {{}, 0x20, {}},                          // an empty list stays empty
        {{0x25, 0x86}, 0x20, {0x20, 0x25, 0x86}},
        {{0x25, 0x20}, 0x20, {0x25, 0x20}},      // already there: unchanged
        {{0xF101}, 0x20, {0x20, 0xF101}},        // extended classes are one value
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.prepended, zwnet_cc_prepend(c.cls, c.in.data(), static_cast<uint8_t>(c.in.size())));

    // A full list keeps 255 entries, the new class first.
    cls_list full(255);
    for (size_t i = 0; i < full.size(); ++i)
        full[i] = static_cast<uint16_t>(0x100 + i);
    const cls_list grown = zwnet_cc_prepend(0x20, full.data(), 255);
    ASSERT_EQ(255u, grown.size());
    EXPECT_EQ(0x20, grown[0]);
    EXPECT_EQ(0x100, grown[1]);

    cls_list d{0x20, 0x25, 0x20, 0x86, 0x25, 0x25};
    d.resize(zwnet_cc_dedup(d.data(), static_cast<uint8_t>(d.size())));
    EXPECT_EQ((cls_list{0x20, 0x25, 0x86}), d);
    EXPECT_EQ(0, zwnet_cc_dedup(nullptr, 3));
    EXPECT_EQ(&d[2], zwnet_cc_find(d.data(), 0x86, 3));
    EXPECT_EQ(nullptr, zwnet_cc_find(d.data(), 0x86, 2));  // only the first `count` entries
}

TEST(NdbLists, RoleFromTheGatewaysManagementClasses)
{
    const struct {
        uint8_t role_bits, suc, ctl, expected;
    } cases[] = {
        {0x00, 1, 1, 4}, {0x01, 1, 1, 4},  // neither inclusion nor primary
        {0x04, 1, 1, 0}, {0x05, 9, 1, 0},  // primary only
        {0x02, 1, 1, 1}, {0x02, 9, 1, 2},  // inclusion only: SUC or not
        {0x06, 1, 1, 3}, {0x06, 9, 1, 0},  // both
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.expected, zwnet_role_get(c.role_bits, c.suc, c.ctl))
            << int(c.role_bits) << " suc " << int(c.suc);
}

TEST(NdbLists, SecurityFlagsFromClasses)
{
    const struct {
        const char *name;
        uint8_t propty;
        uint8_t keys_valid, keys;
        cls_list list;
        uint8_t sec_cnt;
        int ret;
        uint8_t after;
    } cases[] = {
        {"no classes", 0x00, 0, 0, {}, 0, 0, 0x00},
        {"first time, secure classes", 0x00, 0, 0, {0x20, 0x98}, 2, 1, 0x05},
        {"first time, none secure", 0x00, 0, 0, {0x20, 0x9F}, 0, 1, 0x0A},
        {"granted keys decide over counts", 0x00, 1, 0x00, {0x20, 0x98, 0x9F}, 3, 1, 0x0B},
        {"keys outside the mask do not count", 0x00, 1, 0x70, {0x20}, 1, 1, 0x08},
        {"insecure becomes secure", 0x08, 1, 0x01, {0x20, 0x9F}, 0, 1, 0x06},
        {"insecure stays insecure", 0x08, 0, 0, {0x20}, 0, 1, 0x08},
        {"secure is final", 0x04, 0, 0, {0x20, 0x98}, 0, 0, 0x04},
    };
    for (const auto &c : cases) {
        zwnode_t node;
        node.propty = c.propty;
        node.s2_keys_valid = c.keys_valid;
        node.s2_grnt_keys = c.keys;
        EXPECT_EQ(c.ret, zwnet_node_sec_cc_set(&node, c.list.data(), static_cast<uint8_t>(c.list.size()), c.sec_cnt))
            << c.name;
        EXPECT_EQ(c.after, node.propty) << c.name;
    }
}

class Ndb : public HcNet {
protected:
    void SetUp() override
    {
        config c;
        c.nodes = {{5, true, false, false, false, false, {0x20, 0x25}, 0},
                   {6, true, false, false, false, false, {0x20}, 0}};
        ASSERT_NO_FATAL_FAILURE(start(c));
    }

    // Node information as the gateway's cached-information reply holds it.
    struct info_rec {
        appl_node_info_t info{};
        cls_list unsec, sec;
        info_rec(uint8_t id, uint8_t gen, cls_list u, cls_list s = {}) : unsec(std::move(u)), sec(std::move(s))
        {
            info.node_id = id;
            info.listen = 1;
            info.basic = 0x04;
            info.gen = gen;
            info.spec = 0x01;
        }
        const appl_node_info_t *get()
        {
            info.cmd_cnt = static_cast<uint8_t>(unsec.size());
            info.cmd_cls = unsec.empty() ? nullptr : unsec.data();
            info.cmd_cnt_ctl = static_cast<uint8_t>(sec.size());
            info.cmd_cls_ctl = sec.empty() ? nullptr : sec.data();
            return &info;
        }
    };

    cls_list root_classes(uint8_t id)
    {
        zwnet_lock lk(net_);
        cls_list out;
        zwnode_p n = zwnode_find(&net_->ctl, id);
        for (zwif_p i = n ? n->ep.intf : nullptr; i != nullptr; i = i->next)
            out.push_back(i->cls);
        return out;
    }
    uint8_t propty_of(uint8_t id, uint16_t cls)
    {
        zwnet_lock lk(net_);
        zwep_p ep = zwep_find_by_id(net_, id, 0);
        zwif_p i = ep ? zwif_find_cls(ep->intf, cls) : nullptr;
        return i ? i->propty : 0xFF;
    }
    bool addr_known(uint8_t id)
    {
        plt_lock lk(net_->appl->tbl_mtx);
        return net_->appl->node_ip[id - 1].valid != 0;
    }
};

TEST_F(Ndb, NodeListAddsAndRemovesWhatItCoversAndNothingElse)
{
    {
        zwnet_lock lk(net_);
        ASSERT_NE(nullptr, zwnode_create(net_, 40));
    }
    ASSERT_TRUE(addr_known(6));
    // Two bytes: nodes 1..16. Node 1 (the controller), 5 and 12.
    const uint8_t bitmap[2] = {0x11, 0x08};
    uint8_t added[232] = {};
    uint8_t cnt = 0xEE;
    ASSERT_EQ(0, zwnet_node_list_update(net_, bitmap, 2, 1, added, &cnt));
    ASSERT_EQ(1, cnt);
    EXPECT_EQ(12, added[0]);
    {
        zwnet_lock lk(net_);
        EXPECT_NE(nullptr, zwnode_find(&net_->ctl, 5));
        EXPECT_EQ(nullptr, zwnode_find(&net_->ctl, 6));
        EXPECT_NE(nullptr, zwnode_find(&net_->ctl, 12));
        EXPECT_NE(nullptr, zwnode_find(&net_->ctl, 40)) << "beyond the bitmap: kept";
        EXPECT_EQ(1, net_->ctl.nodeid);
    }
    EXPECT_FALSE(addr_known(6));
    ASSERT_TRUE(eventually([&] { return rec.count(1) >= 2; }));
    std::set<std::pair<int, int>> seen;
    for (const app_event &e : rec.of(1))
        seen.insert({e.a, e.b});
    EXPECT_TRUE(seen.count({6, int(ZWNET_NODE_REMOVED)}));
    EXPECT_TRUE(seen.count({12, int(ZWNET_NODE_ADDED)}));

    // Never more than 29 bytes are read, so never an id above 232.
    std::vector<uint8_t> big(40, 0xFF);
    ASSERT_EQ(0, zwnet_node_list_update(net_, big.data(), static_cast<uint8_t>(big.size()), 0, nullptr, &cnt));
    {
        zwnet_lock lk(net_);
        size_t n = 0;
        for (zwnode_p p = &net_->ctl; p != nullptr; p = p->next) {
            EXPECT_LE(p->nodeid, 232);
            ++n;
        }
        EXPECT_EQ(232u, n);
    }
    EXPECT_EQ(ZW_ERR_VALUE, zwnet_node_list_update(net_, nullptr, 29, 0, nullptr, &cnt));
    EXPECT_EQ(0, cnt);
}

TEST_F(Ndb, NodeListReplyOfTheControllerAloneGrantsItEveryKey)
{
    uint8_t bitmap[29] = {0x01};
    {
        zwnet_lock lk(net_);
        net_->controller_capability |= 0x01;
        net_->controller_role = 0x06;
        net_->ctl.s2_keys_valid = 0;
    }
    zwnet_node_list_get_cb(net_->appl.get(), 1, 1, bitmap, sizeof bitmap);
    EXPECT_LE(1u, log_count("Get node list status:1(No guarantee that returned node list is latest update), suc:1, "
                            "zw_role:3"));
    zwnet_lock lk(net_);
    EXPECT_EQ(1, net_->ctl.s2_keys_valid);
    EXPECT_EQ(0x87, net_->ctl.s2_grnt_keys);
    EXPECT_EQ(1, net_->suc);
    EXPECT_EQ(nullptr, zwnode_find(&net_->ctl, 5)) << "not in the list: removed";
}

TEST_F(Ndb, NodeInformationMakesRefreshesAndRebuildsInPlace)
{
    // A new node: Basic first, then the listed classes in order.
    info_rec a(9, 0x10, {0x25, 0x86, 0x25});
    ASSERT_EQ(0, zwnode_info_apply(net_, a.get(), nullptr));
    EXPECT_EQ((cls_list{0x20, 0x25, 0x86}), root_classes(9));
    EXPECT_EQ(IF_PROPTY_UNSECURE, propty_of(9, 0x25));

    // The same information again: the records stay as they are.
    zwif_desc_t sw = intf(9, 0x25);
    int marker = 0;
    ASSERT_EQ(0, zwif_set_user(&sw, &marker));
    ASSERT_EQ(0, zwnode_info_apply(net_, a.get(), nullptr));
    EXPECT_EQ(&marker, zwif_get_user(&sw));

    // Another generic class: rebuilt in place. What hangs on the node (its
    // queued commands, its user data, its security state) stays; its
    // interfaces are those of the new information.
    zwnode_p before;
    {
        zwnet_lock lk(net_);
        // A gateway whose node information does not carry granted keys: the
        // node's own are kept.
        net_->feature &= static_cast<uint16_t>(~0x01);
        before = zwnode_find(&net_->ctl, 9);
        before->user = &marker;
        before->propty = NODE_PROPTY_ADD_SECURE | 0x30;
        before->s2_keys_valid = 1;
        before->s2_grnt_keys = 0x02;
        auto q = std::make_unique<zwnode_q_cmd_t>();
        q->cmd = {0x25, 0x01, 0xFF};
        before->cmd_q.push_back(std::move(q));
    }
    // (A sleeping node: a listening one would have its queue sent at once.)
    info_rec b(9, 0x11, {0x26, 0x84, 0x86});
    b.info.listen = 0;
    ASSERT_EQ(0, zwnode_info_apply(net_, b.get(), nullptr));
    EXPECT_EQ((cls_list{0x20, 0x26, 0x84, 0x86}), root_classes(9));
    {
        zwnet_lock lk(net_);
        zwnode_p after = zwnode_find(&net_->ctl, 9);
        EXPECT_EQ(before, after);
        EXPECT_EQ(&marker, after->user);
        ASSERT_EQ(1u, after->cmd_q.size());
        EXPECT_EQ((std::vector<uint8_t>{0x25, 0x01, 0xFF}), after->cmd_q.front()->cmd);
        EXPECT_EQ(0x11, after->ep.generic);
        EXPECT_EQ(NODE_PROPTY_ADD_SECURE | 0x30, after->propty);
        EXPECT_EQ(1, after->s2_keys_valid);
        EXPECT_EQ(0x02, after->s2_grnt_keys);
    }

    // No unsecure classes: an existing node is marked down and kept (a
    // listening one: a sleeping node that does not answer is asleep).
    info_rec awake(9, 0x11, {0x26, 0x86});
    ASSERT_EQ(0, zwnode_info_apply(net_, awake.get(), nullptr));
    info_rec none(9, 0x11, {});
    ASSERT_EQ(0, zwnode_info_apply(net_, none.get(), nullptr));
    EXPECT_EQ(APPL_NODE_STS_DOWN, zwnet_node_sts_get(net_, 9));
    EXPECT_EQ((cls_list{0x20, 0x26, 0x86}), root_classes(9));

    // Node ids outside the network are refused.
    for (uint8_t bad : {uint8_t{0}, uint8_t{233}, uint8_t{255}}) {
        info_rec r(bad, 0x10, {0x25});
        EXPECT_EQ(ZW_ERR_VALUE, zwnode_info_apply(net_, r.get(), nullptr)) << int(bad);
    }
}

TEST_F(Ndb, SecureInformationMakesSecureInterfaces)
{
    info_rec a(10, 0x40, {0x9F, 0x98}, {0x62, 0x98});
    const zwnode_incl_extra_t extra{1, 0x84, "12345-12345-12345-12345-12345-12345-12345-12345"};
    ASSERT_EQ(0, zwnode_info_apply(net_, a.get(), &extra));
    EXPECT_EQ((cls_list{0x20, 0x9F, 0x98, 0x62}), root_classes(10));
    EXPECT_EQ(IF_PROPTY_SECURE, propty_of(10, 0x62));
    EXPECT_EQ(IF_PROPTY_SECURE | IF_PROPTY_UNSECURE, propty_of(10, 0x98));
    EXPECT_EQ(IF_PROPTY_SECURE | IF_PROPTY_UNSECURE, propty_of(10, 0x20));
    EXPECT_EQ(IF_PROPTY_UNSECURE, propty_of(10, 0x9F)) << "listed, but not reachable under security";
    const zwnode_desc_t d = node(10);
    EXPECT_EQ(NODE_PROPTY_ADD_SECURE | NODE_PROPTY_SECURE_CAP_S0 | NODE_PROPTY_SECURE_CAP_S2, d.propty);
    EXPECT_EQ(1, d.s2_keys_valid);
    EXPECT_EQ(0x84, d.s2_grnt_keys);
    EXPECT_STREQ(extra.dsk, d.s2_dsk);
}

// --- device records ---------------------------------------------------------

struct dev_rec_fixture {
    dev_ep_t eps;
    dev_rec_t rec{0x0086, 0x0002, 0x0064, 7, &eps};

    dev_if_t &add_if(uint8_t ep_id, uint8_t type, uint8_t ver, uint8_t flags, uint16_t tmout)
    {
        dev_ep_ent_t *e = nullptr;
        for (dev_ep_ent_t &x : eps.ent)
            e = x.epid == ep_id ? &x : e;
        if (e == nullptr) {
            eps.ent.emplace_back();
            e = &eps.ent.back();
            e->epid = ep_id;
        }
        auto i = std::make_unique<dev_if_t>();
        i->if_type = type;
        i->usr_def_ver = ver;
        i->flags = flags;
        i->evt_clr_tmout = tmout;
        e->intf.push_back(std::move(i));
        return *e->intf.back();
    }
};

class DevRec : public Ndb {
protected:
    dev_rec_fixture recs;
    dev_rec_t *saved_recs = nullptr;
    uint32_t saved_cnt = 0;

    void use_records()
    {
        zwnet_lock lk(net_);
        saved_recs = net_->dev_recs;
        saved_cnt = net_->dev_rec_cnt;
        net_->dev_recs = &recs.rec;
        net_->dev_rec_cnt = 1;
    }
    void TearDown() override
    {
        if (net_ != nullptr) {
            zwnet_lock lk(net_);
            net_->dev_recs = saved_recs;
            net_->dev_rec_cnt = saved_cnt;
        }
        Ndb::TearDown();
    }
    zwif_p if_of(uint8_t id, uint16_t cls)
    {
        zwep_p ep = zwep_find_by_id(net_, id, 0);
        return ep ? zwif_find_cls(ep->intf, cls) : nullptr;
    }
    // A node with the record's ids and the given (class, version) interfaces.
    void device(uint8_t id, std::vector<std::pair<uint16_t, uint8_t>> classes)
    {
        zwnet_lock lk(net_);
        zwnode_p n = zwnode_create(net_, id);
        ASSERT_NE(nullptr, n);
        n->vid = 0x0086;
        n->type = 0x0002;
        n->pid = 0x0064;
        for (auto [cls, ver] : classes)
            ASSERT_EQ(1, zwif_attach(&n->ep, zwif_create(cls, ver, IF_PROPTY_UNSECURE)));
    }
};

TEST_F(DevRec, EventClearPropertyWithoutARecord)
{
    const struct {
        uint16_t cls;
        uint8_t ver, in, out;
        uint16_t tmout;
    } cases[] = {
        {0x71, 3, 0x06, 0x02, 300},  // the library clears old notifications
        {0x71, 4, 0x02, 0x06, 0},    // the device reports their end itself
        {0x30, 1, 0x02, 0x06, 0},
        {0x9C, 1, 0x02, 0x06, 0},
        {0x25, 1, 0x42, 0x02, 0},    // others: only the hidden bit goes
    };
    zwnet_lock lk(net_);
    zwnode_p n = zwnode_find(&net_->ctl, 5);
    for (const auto &c : cases) {
        uint8_t p = 0;
        uint16_t t = 1;
        zwnet_if_poll_flags_get(&n->ep, c.cls, c.ver, c.in, &p, &t);
        EXPECT_EQ(c.out, p) << std::hex << c.cls << " v" << int(c.ver);
        EXPECT_EQ(c.tmout, t) << std::hex << c.cls << " v" << int(c.ver);
    }
}

TEST_F(DevRec, RecordSetsEventClearingHidingAndVersions)
{
    recs.add_if(0, DEV_IF_BSENSOR, 0, 0x00, 45);                    // the library clears after 45 s
    recs.add_if(0, DEV_IF_ALRM_SNSR, 0, DEV_IF_FLAG_EVT_CLR, 99);    // the device clears its own
    recs.add_if(0, DEV_IF_BASIC, 0, DEV_IF_FLAG_HIDDEN, 0);
    recs.add_if(0, DEV_IF_ALARM, 3, DEV_IF_FLAG_EVT_CLR, 0);         // version 3 where the device says 2
    use_records();
    ASSERT_NO_FATAL_FAILURE(device(20, {{0x20, 1}, {0x30, 2}, {0x9C, 1}, {0x71, 2}}));
    zwnet_lock lk(net_);
    zwnode_p n = zwnode_find(&net_->ctl, 20);
    ASSERT_EQ(0, zwif_data_set(if_of(20, 0x71), 1, 2, "\x05\x06"));
    zwnode_dev_rec_apply(n);
    EXPECT_EQ(1u, n->dev_cfg_valid);
    EXPECT_EQ(7, n->category);

    zwif_p bs = if_of(20, 0x30);
    EXPECT_EQ(0, bs->propty & 0x04);
    EXPECT_EQ(45, bs->evt_clr_tmout);
    zwif_p as = if_of(20, 0x9C);
    EXPECT_EQ(0x04, as->propty & 0x04);
    EXPECT_EQ(0, as->evt_clr_tmout);
    EXPECT_EQ(IF_PROPTY_HIDDEN, if_of(20, 0x20)->propty & IF_PROPTY_HIDDEN);

    zwif_p nt = if_of(20, 0x71);
    EXPECT_EQ(3, nt->ver);
    EXPECT_EQ(2, nt->real_ver);
    ASSERT_EQ(1, nt->data_cnt);
    EXPECT_EQ(0, std::memcmp(nt->data, "\x05\x06", 2)) << "the cache went with it";
    // The interface list is still whole, in its order.
    cls_list order;
    for (zwif_p i = n->ep.intf; i != nullptr; i = i->next)
        order.push_back(i->cls);
    EXPECT_EQ((cls_list{0x20, 0x30, 0x9C, 0x71}), order);
}

TEST_F(DevRec, RecordCreatesMissingInterfacesOnly)
{
    recs.eps.ent.emplace_back();
    recs.eps.ent.back().epid = 0;
    recs.eps.ent.back().create_if = 0x25;  // the device reports it: stays its own
    recs.eps.ent.back().create_if_ver = 2;
    recs.eps.ent.emplace_back();
    recs.eps.ent.back().epid = 0;
    recs.eps.ent.back().create_if = 0x26;  // missing: made
    recs.eps.ent.back().create_if_ver = 3;
    recs.eps.ent.emplace_back();
    recs.eps.ent.back().epid = 4;          // no such endpoint: nothing
    recs.eps.ent.back().create_if = 0x26;
    use_records();
    ASSERT_NO_FATAL_FAILURE(device(21, {{0x20, 1}, {0x25, 1}}));
    zwnet_lock lk(net_);
    zwnode_dev_rec_apply(zwnode_find(&net_->ctl, 21));
    EXPECT_EQ(1, if_of(21, 0x25)->ver);
    EXPECT_EQ(1, if_of(21, 0x25)->real_ver);
    ASSERT_NE(nullptr, if_of(21, 0x26));
    EXPECT_EQ(3, if_of(21, 0x26)->ver);
    EXPECT_EQ(0, if_of(21, 0x26)->real_ver);
    EXPECT_EQ(IF_PROPTY_UNSECURE, if_of(21, 0x26)->propty & IF_PROPTY_UNSECURE);
    EXPECT_EQ(0x04, recs.eps.ent[1].create_if_prop) << "the record itself is left as read";

    // A node the records do not know keeps nothing.
    zwnode_p other = zwnode_find(&net_->ctl, 5);
    other->vid = 0x1234;
    zwnode_dev_rec_apply(other);
    EXPECT_EQ(0u, other->dev_cfg_valid);
}

}  // namespace
