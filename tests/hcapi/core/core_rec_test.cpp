// The node database through its public accessors: the walk by descriptors,
// hidden interfaces, stale descriptors, names and locations, the reset of
// the controller's own node, security flags, and the supervision session id.
#include "../net/hc_test_support.h"

#include "hcapi/core/zwsend.h"

namespace {

using namespace hc_test;

class Records : public HcNet {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(start({10, {{5, true, false, false, false, false, {0x20, 0x25, 0x86}, 2},
                                            {6, true, false, false, false, false, {0x20}, 0}}}));
    }
};

TEST_F(Records, WalkEndsWithNotFoundCodes)
{
    zwnode_desc_t n5 = node(5), next{};
    ASSERT_EQ(0, zwnode_get_next(&n5, &next));
    EXPECT_EQ(6, next.nodeid);
    zwnode_desc_t n6 = next;
    EXPECT_EQ(ZW_ERR_NODE_NOT_FOUND, zwnode_get_next(&n6, &next));

    zwep_desc_t ep{}, ep_next{};
    ASSERT_EQ(0, zwnode_get_ep(&n5, &ep));
    EXPECT_EQ(0, ep.epid);
    ASSERT_EQ(0, zwep_get_next(&ep, &ep_next));
    EXPECT_EQ(1, ep_next.epid);
    ASSERT_EQ(0, zwep_get_next(&ep_next, &ep_next));
    EXPECT_EQ(2, ep_next.epid);
    EXPECT_EQ(ZW_ERR_EP_NOT_FOUND, zwep_get_next(&ep_next, &ep_next));

    zwif_desc_t i{}, i_next{};
    ASSERT_EQ(0, zwep_get_if(&ep, &i));
    EXPECT_EQ(0x20, i.cls);
    ASSERT_EQ(0, zwif_get_next(&i, &i_next));
    EXPECT_EQ(0x25, i_next.cls);
    ASSERT_EQ(0, zwif_get_next(&i_next, &i_next));
    EXPECT_EQ(0x86, i_next.cls);
    EXPECT_EQ(ZW_ERR_INTF_NOT_FOUND, zwif_get_next(&i_next, &i_next));

    zwif_desc_t sib{};
    EXPECT_EQ(0, zwif_sibling_get(&i, 0x86, &sib));
    EXPECT_EQ(ZW_ERR_CLASS_NOT_FOUND, zwif_sibling_get(&i, 0x80, &sib));
    zwnode_desc_t back{};
    EXPECT_EQ(0, zwep_get_node(&ep_next, &back));
    EXPECT_EQ(5, back.nodeid);
}

TEST_F(Records, HiddenInterfacesAreSkipped)
{
    {
        zwnet_lock lk(net_);
        zwep_p ep = zwep_find_by_id(net_, 5, 0);
        zwif_find_cls(ep->intf, 0x20)->propty |= IF_PROPTY_HIDDEN;  // bit 6
        zwif_find_cls(ep->intf, 0x25)->propty = 0x82;               // bit 7
    }
    zwep_desc_t ep{};
    zwnode_desc_t n5 = node(5);
    ASSERT_EQ(0, zwnode_get_ep(&n5, &ep));
    zwif_desc_t i{};
    ASSERT_EQ(0, zwep_get_if(&ep, &i));
    EXPECT_EQ(0x86, i.cls);
    zwif_desc_t first = intf(5, 0x20);  // a hidden interface is still found by id
    zwif_desc_t next{};
    ASSERT_EQ(0, zwif_get_next(&first, &next));
    EXPECT_EQ(0x86, next.cls);
    EXPECT_EQ(ZW_ERR_INTF_NOT_FOUND, zwif_get_next(&next, &next));
}

TEST_F(Records, StaleDescriptorsFindNothing)
{
    zwnode_desc_t n6 = node(6);
    zwif_desc_t i = intf(6, 0x20);
    {
        zwnet_lock lk(net_);
        zwnet_node_free(net_, 6);
    }
    zwep_desc_t ep{};
    EXPECT_EQ(ZW_ERR_EP_NOT_FOUND, zwnode_get_ep(&n6, &ep));
    EXPECT_EQ(nullptr, zwnode_get_user(&n6));
    EXPECT_EQ(ZW_ERR_INTF_NOT_FOUND, zwif_set_user(&i, &ep));
    EXPECT_EQ(0, zwif_real_ver_get(&i));
    const uint8_t get[] = {0x20, 0x02};
    EXPECT_EQ(ZW_ERR_NODE_NOT_FOUND, zwif_exec_simple(&i, get, sizeof get, nullptr));
    EXPECT_EQ(nullptr, zwnode_ext_ver_get(&n6));
}

TEST_F(Records, UserContexts)
{
    zwnode_desc_t n5 = node(5);
    zwif_desc_t i = intf(5, 0x25);
    int tag = 0;
    EXPECT_EQ(0, zwnode_set_user(&n5, &tag));
    EXPECT_EQ(&tag, zwnode_get_user(&n5));
    EXPECT_EQ(0, zwif_set_user(&i, &tag));
    EXPECT_EQ(&tag, zwif_get_user(&i));
    EXPECT_EQ(nullptr, zwnode_ext_ver_get(&n5));
    EXPECT_EQ(ZW_ERR_RPT_NOT_FOUND, zwif_set_report(&i, nullptr, 0x02));
    EXPECT_EQ(0, zwif_set_report(&i, reinterpret_cast<zwif_rpt_fn>(&on_tx_sts), 0x03));
}

TEST_F(Records, NamesAndLocationsAreCutOnACharacter)
{
    const struct {
        std::string in;
        std::string stored;
    } cases[] = {
        {std::string(40, 'a'), std::string(32, 'a')},
        // A two-byte character at bytes 32-33 does not fit.
        {std::string(31, 'b') + "\xC3\xA9" + "xx", std::string(31, 'b')},
        // A four-byte one at bytes 29-32 fits exactly.
        {std::string(28, 'c') + "\xF0\x9F\x98\x80" + "yy", std::string(28, 'c') + "\xF0\x9F\x98\x80"},
        {"kitchen", "kitchen"},
        {"bad\xFF" "tail", "bad"},
    };
    zwep_desc_t ep{};
    ASSERT_EQ(0, zwnet_ep_desc_get(net_, 5, 1, &ep));
    for (const auto &c : cases) {
        zwep_nameloc_t nl{};
        std::memcpy(nl.name, c.in.data(), std::min(c.in.size(), sizeof nl.name - 1));
        std::memcpy(nl.loc, c.in.data(), std::min(c.in.size(), sizeof nl.loc - 1));
        ASSERT_EQ(0, zwep_nameloc_set(&ep, &nl));
        EXPECT_EQ(c.stored, nl.name);  // the caller's copy is cut the same way
        zwep_desc_t got{};
        ASSERT_EQ(0, zwnet_ep_desc_get(net_, 5, 1, &got));
        EXPECT_EQ(c.stored, got.name);
        EXPECT_EQ(c.stored, got.loc);
    }
    zwep_desc_t gone = ep;
    gone.epid = 9;
    zwep_nameloc_t nl{};
    EXPECT_EQ(ZW_ERR_EP_NOT_FOUND, zwep_nameloc_set(&gone, &nl));
}

TEST_F(Records, RemovingTheControllerResetsIt)
{
    {
        zwnet_lock lk(net_);
        net_->ctl.nodeid = 1;
        net_->ctl.wkup_intv = 600;
        net_->ctl.s2_keys_valid = 1;
        net_->ctl.propty = 0x0C;
        net_->ctl.listen = 0;
        std::strcpy(net_->ctl.s2_dsk, "12345");
        // A class the controller's own interview never gives it.
        ASSERT_EQ(1, zwif_attach(&net_->ctl.ep, zwif_create(0x31, 5, 0)));
    }
    zwnode_desc_t ctl{};
    ASSERT_EQ(0, zwnet_get_node(net_, &ctl));
    EXPECT_EQ(1, ctl.nodeid);
    {
        zwnet_lock lk(net_);
        zwnet_node_free(net_, 1);
        EXPECT_EQ(&net_->ctl, zwnode_find(&net_->ctl, 0));
        EXPECT_EQ(0xFFFFFFFFu, net_->ctl.wkup_intv);
        EXPECT_EQ(1, net_->ctl.listen);
        EXPECT_EQ(0, net_->ctl.propty);
        EXPECT_EQ(0, net_->ctl.s2_keys_valid);
        EXPECT_STREQ("", net_->ctl.s2_dsk);
        EXPECT_EQ(nullptr, net_->ctl.ep.intf);
        // The other nodes stay linked behind it.
        EXPECT_NE(nullptr, zwnode_find(&net_->ctl, 5));
    }
}

struct sec_case {
    const char *name;
    uint8_t propty;
    uint8_t keys_valid;
    uint8_t keys;
    bool secure_if;
    std::vector<uint16_t> ep0;
    int result;
    uint8_t after;
};

TEST_F(Records, SecurityFlags)
{
    const sec_case cases[] = {
        {"secured stays", 0x04, 0, 0, false, {}, 0, 0x04},
        {"non-secure becomes secure", 0x08, 1, 0x01, false, {0x9F}, 1, 0x06},
        {"non-secure stays", 0x08, 1, 0x00, false, {0x98}, 1, 0x09},
        {"new by S0 interfaces", 0x00, 0, 0, true, {0x98, 0x9F}, 1, 0x07},
        {"new without security", 0x00, 0, 0, false, {}, 1, 0x08},
    };
    for (const sec_case &c : cases) {
        zwnet_lock lk(net_);
        zwnode_p n = zwnode_create(net_, 9);
        ASSERT_NE(nullptr, n);
        n->propty = c.propty;
        n->s2_keys_valid = c.keys_valid;
        n->s2_grnt_keys = c.keys;
        for (uint16_t cls : c.ep0)
            zwif_attach(&n->ep, zwif_create(cls, 1, 0));
        if (c.secure_if)
            zwif_attach(&n->ep, zwif_create(0x62, 2, IF_PROPTY_SECURE));
        EXPECT_EQ(c.result, zwnode_sec_flags_updt(n)) << c.name;
        EXPECT_EQ(c.after, n->propty) << c.name;
        zwnet_node_free(net_, 9);
    }
}

TEST_F(Records, SupervisionSessionIdWrapsAt64)
{
    {
        zwnet_lock lk(net_);
        zwnode_p n = zwnode_find(&net_->ctl, 5);
        n->spv_cap = 1;
        zwif_p s = zwif_create(0x6C, 1, 0);
        *static_cast<uint8_t *>(s->data) = 63;
        zwif_attach(&n->ep, s);
    }
    zwif_desc_t i = intf(5, 0x25);
    const uint8_t set[] = {0x25, 0x01, 0xFF};
    zwif_exec_supv(&i, set, sizeof set, nullptr, 0);
    zwnet_lock lk(net_);
    zwif_p s = zwif_find_cls(zwep_find_by_id(net_, 5, 0)->intf, 0x6C);
    EXPECT_EQ(0, *static_cast<uint8_t *>(s->data));
}

TEST_F(Records, CachedPostsNeedWhatTheyPost)
{
    zwif_desc_t i = intf(5, 0x25);
    const uint16_t vals[9] = {};
    EXPECT_EQ(ZW_ERR_TOO_LARGE, zwif_cached_rpt_post(&i, 0x03, 9, vals));
    EXPECT_EQ(ZW_ERR_RPT_NOT_FOUND, zwif_cached_rpt_post(&i, 0x03, 1, vals));
    EXPECT_EQ(ZW_ERR_NO_CACHE_AVAIL, zwif_cache_rpt_req(&i, nullptr, 0, 0, 0));
    uint8_t cnt = 0, buf[4];
    EXPECT_EQ(ZW_ERR_CLASS_NOT_FOUND, zwif_cache_val_get(&i, 0x20, &cnt, buf, sizeof buf));
    EXPECT_EQ(ZW_ERR_NO_CACHE_AVAIL, zwif_cache_val_get(&i, 0x25, &cnt, buf, sizeof buf));
}

}  // namespace
