// The provisioning list and the inclusions that the gateway runs on behalf
// of this controller, against the simulated gateway over real loopback UDP:
// the list round-trips by DSK text, bad texts are refused before anything
// is sent, a list with a bad DSK reaches nobody, the gateway's unasked list
// status becomes an operation status, and an inclusion that the gateway
// starts while the network is busy waits and is then run.
#include "hc_test_support.h"

#include "hcapi/core/zwfac.h"

#include <cstdlib>

namespace {

using namespace hc_test;
using bytes = std::vector<uint8_t>;

constexpr uint8_t new_node = 7;
constexpr const char *dsk_a = "00001-00002-00003-00004-00005-00006-00007-00008";
constexpr const char *dsk_b = "65535-00000-12345-54321-00100-00200-00300-00400";
const bytes dsk_a_bytes{0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8};

// What the list callbacks heard (called on the receive thread).
struct list_app {
    std::mutex mtx;
    std::vector<std::vector<std::string>> lists;
    struct entry {
        std::string dsk;
        uint8_t keys;
        std::vector<zwnet_wl_rec_t> recs;
    };
    std::vector<entry> entries;
    bool mutex_held = false;
    std::atomic<zwnet_p> net{nullptr};

    static void on_list(void *user, char **list)
    {
        auto *self = static_cast<list_app *>(user);
        std::vector<std::string> texts;
        const auto cnt = static_cast<uint8_t>(*reinterpret_cast<const unsigned char *>(&list[0]));
        for (uint8_t i = 1; i <= cnt; ++i)
            texts.emplace_back(list[i]);
        std::lock_guard lk(self->mtx);
        self->lists.push_back(texts);
        self->mutex_held |= zwnet_lck_depth(self->net.load()) != 0;
    }
    static void on_entry(void *user, char *dsk, uint8_t keys, const zwnet_wl_rec_t *recs, uint8_t cnt)
    {
        auto *self = static_cast<list_app *>(user);
        std::lock_guard lk(self->mtx);
        self->entries.push_back({dsk, keys, std::vector<zwnet_wl_rec_t>(recs, recs + cnt)});
        self->mutex_held |= zwnet_lck_depth(self->net.load()) != 0;
    }
    size_t list_count()
    {
        std::lock_guard lk(mtx);
        return lists.size();
    }
    size_t entry_count()
    {
        std::lock_guard lk(mtx);
        return entries.size();
    }
};

// Operation notifications with their information record.
struct info_event {
    uint8_t op;
    uint16_t sts;
    std::string dsk;
};
std::mutex g_info_mtx;
std::vector<info_event> g_info;
void on_notify_info(void *user, uint8_t op, uint16_t sts, const zwnet_op_info_t *info)
{
    {
        std::lock_guard lk(g_info_mtx);
        g_info.push_back({op, sts, info != nullptr ? info->dsk : ""});
    }
    on_notify(user, op, sts, info);
}

class SmartStart : public HcNet {
protected:
    void SetUp() override
    {
        {
            std::lock_guard lk(g_log_mtx);
            g_log.clear();
        }
        {
            std::lock_guard lk(g_info_mtx);
            g_info.clear();
        }
        gw_nodes = sim::sample_network();
        // The node that the gateway includes on its own: it knows its
        // address but does not list it yet.
        sim::nm_node n;
        n.node_id = new_node;
        n.in_node_list = false;
        gw_nodes.push_back(n);
    }
    void start_net()
    {
        ASSERT_NO_FATAL_FAILURE(start());
        app.net = net_;
        ASSERT_TRUE(no_operation());
        zwnet_lock lk(net_);
        net_->init.notify = on_notify_info;
    }
    // The gateway's unasked add status for the new node (34 02).
    bytes add_status() const
    {
        bytes r{0x34, 0x02, 0x00, 0x06, 0x00, new_node};
        const bytes part{0xD3, 0x9C, 0x04, 0x10, 0x01, 0x5E, 0x25, 0x86, 0x72};
        r.push_back(static_cast<uint8_t>(part.size() + 1));
        r.insert(r.end(), part.begin(), part.end());
        r.push_back(0x00);  // no keys granted
        r.push_back(0x00);  // no key-exchange failure
        r.push_back(0x00);  // no DSK
        return r;
    }
    list_app app;
};

TEST_F(SmartStart, TheListRoundTripsByDskText)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    zwnet_wl_rec_t recs[2]{};
    recs[0].type = ZWNET_WL_REC_NAME;
    std::snprintf(recs[0].text, sizeof recs[0].text, "%s", "Porch light");
    recs[1].type = ZWNET_WL_REC_LOCATION;
    std::snprintf(recs[1].text, sizeof recs[1].text, "%s", "Front");
    ASSERT_EQ(0, zwnet_wl_add(net_, dsk_a, 0x87, recs, 2));
    ASSERT_EQ(0, zwnet_wl_add(net_, dsk_b, 0x01, nullptr, 0));
    ASSERT_TRUE(eventually([&] { return nm->white_list().size() == 2; }));
    EXPECT_EQ(dsk_a_bytes, nm->white_list()[0].dsk);

    ASSERT_EQ(0, zwnet_wl_list_get(net_, list_app::on_list, &app));
    ASSERT_TRUE(eventually([&] { return app.list_count() == 1; }));
    ASSERT_EQ(0, zwnet_wl_get(net_, dsk_a, list_app::on_entry, &app));
    ASSERT_TRUE(eventually([&] { return app.entry_count() == 1; }));
    {
        std::lock_guard lk(app.mtx);
        EXPECT_EQ((std::vector<std::string>{dsk_a, dsk_b}), app.lists[0]);
        const list_app::entry &e = app.entries[0];
        EXPECT_EQ(dsk_a, e.dsk);
        EXPECT_EQ(0x87, e.keys);
        ASSERT_EQ(2u, e.recs.size());
        EXPECT_EQ(ZWNET_WL_REC_NAME, e.recs[0].type);
        EXPECT_STREQ("Porch light", e.recs[0].text);
        EXPECT_EQ(ZWNET_WL_REC_LOCATION, e.recs[1].type);
        EXPECT_STREQ("Front", e.recs[1].text);
        EXPECT_FALSE(app.mutex_held);
    }

    ASSERT_EQ(0, zwnet_wl_clr(net_, dsk_a));
    ASSERT_TRUE(eventually([&] { return nm->white_list().size() == 1; }));
    ASSERT_EQ(0, zwnet_wl_list_get(net_, list_app::on_list, &app));
    ASSERT_TRUE(eventually([&] { return app.list_count() == 2; }));
    ASSERT_EQ(0, zwnet_wl_list_clr(net_));
    ASSERT_TRUE(eventually([&] { return nm->white_list().empty(); }));
    ASSERT_EQ(0, zwnet_wl_list_get(net_, list_app::on_list, &app));
    ASSERT_TRUE(eventually([&] { return app.list_count() == 3; }));
    std::lock_guard lk(app.mtx);
    EXPECT_EQ(std::vector<std::string>{dsk_b}, app.lists[1]);
    EXPECT_TRUE(app.lists[2].empty());
    EXPECT_TRUE(nm->violations().empty());
}

TEST_F(SmartStart, BadDskTextsAreRefusedBeforeAnythingIsSent)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    const size_t from = nm->request_count();
    const char *bad[] = {
        nullptr,
        "",
        "00001-00002-00003-00004-00005-00006-00007",        // seven groups
        "00001-00002-00003-00004-00005-00006-00007-00008-",  // a trailing dash
        "00001-00002-00003-00004-00005-00006-00007-65536",  // above 16 bits
        "0001-00002-00003-00004-00005-00006-00007-000080",  // a short group
        "00001-00002-00003-00004-00005-00006-00007-0000x",
    };
    for (const char *t : bad) {
        SCOPED_TRACE(t != nullptr ? t : "(null)");
        EXPECT_EQ(ZW_ERR_VALUE, zwnet_wl_add(net_, t, 0, nullptr, 0));
        EXPECT_EQ(ZW_ERR_VALUE, zwnet_wl_get(net_, t, list_app::on_entry, &app));
        EXPECT_EQ(ZW_ERR_VALUE, zwnet_wl_clr(net_, t));
    }
    // A record of an unknown type, or records that are not there.
    zwnet_wl_rec_t odd{};
    odd.type = 3;
    EXPECT_EQ(ZW_ERR_VALUE, zwnet_wl_add(net_, dsk_a, 0, &odd, 1));
    EXPECT_EQ(ZW_ERR_VALUE, zwnet_wl_add(net_, dsk_a, 0, nullptr, 1));
    EXPECT_EQ(from, nm->request_count());
}

TEST_F(SmartStart, AListWithOneBadDskReachesNobody)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    ASSERT_EQ(0, zwnet_wl_add(net_, dsk_a, 0, nullptr, 0));
    // An entry whose DSK no text can show (an odd length).
    const uint8_t odd[3]{1, 2, 3};
    ASSERT_EQ(0, zw_wl_set(net_->appl.get(), odd, 3, 0, nullptr, 0, 0));
    ASSERT_TRUE(eventually([&] { return nm->white_list().size() == 2; }));
    ASSERT_EQ(0, zwnet_wl_list_get(net_, list_app::on_list, &app));
    ASSERT_TRUE(eventually([&] { return log_count("zwnet_wl_list_get_cb: invalid dsk key") == 1; }));
    EXPECT_EQ(0u, app.list_count());
}

TEST_F(SmartStart, TheGatewaysListStatusBecomesAnAddStatusWithTheDsk)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    bytes sts{0x34, 0x1A, 0x00, 0x01, 0x10};
    sts.insert(sts.end(), dsk_a_bytes.begin(), dsk_a_bytes.end());
    ASSERT_GE(nm->inject(sts), 0);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lk(g_info_mtx);
        return !g_info.empty();
    }));
    {
        std::lock_guard lk(g_info_mtx);
        ASSERT_EQ(1u, g_info.size());
        EXPECT_EQ(ZWNET_OP_ADD_NODE, g_info[0].op);
        EXPECT_EQ(3, g_info[0].sts);
        EXPECT_EQ(dsk_a, g_info[0].dsk);
    }
    // Another status is only logged; an odd DSK is refused with a log line.
    sts[3] = 0x00;
    ASSERT_GE(nm->inject(sts), 0);
    const bytes odd{0x34, 0x1A, 0x00, 0x01, 0x03, 0x01, 0x02, 0x03};
    ASSERT_GE(nm->inject(odd), 0);
    ASSERT_TRUE(eventually([&] { return log_count("zwnet_unsolic_wl_sts_cb: invalid dsk key") == 1; }));
    EXPECT_EQ(1u, log_count("zwnet_unsolic_wl_sts_cb: status=0"));
    std::lock_guard lk(g_info_mtx);
    EXPECT_EQ(1u, g_info.size());
}

TEST_F(SmartStart, AnInclusionOnBehalfRunsAtOnceWhenTheNetworkIsIdle)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    {
        zwnet_lock lk(net_);
        net_->controller_capability |= 0x02;
    }
    ASSERT_GE(nm->inject(add_status()), 0);
    ASSERT_TRUE(eventually([&] { return op_ended(ZWNET_OP_ADD_NODE); }, 30s));
    EXPECT_EQ(ZWNET_OP_STS_DONE, op_sts(ZWNET_OP_ADD_NODE).back());
    EXPECT_EQ(1, op_sts(ZWNET_OP_ADD_NODE).front());
    EXPECT_TRUE(has_node(new_node));
    EXPECT_EQ(1u, log_count("Enter into inclusion on-behalf or pre-kit mode"));
}

TEST_F(SmartStart, AnInclusionOnBehalfDuringAnotherOperationIsKeptAndRunLater)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    {
        // A network update runs.
        zwnet_lock lk(net_);
        net_->controller_capability |= 0x02;
        net_->curr_op = ZWNET_OP_UPDATE;
    }
    ASSERT_GE(nm->inject(add_status()), 0);
    ASSERT_TRUE(eventually([&] {
        return log_count("Current operation not completed yet, delay processing of inclusion on-behalf") == 1;
    }));
    {
        zwnet_lock lk(net_);
        EXPECT_EQ(ZWNET_OP_UPDATE, net_->curr_op);
        EXPECT_EQ(nullptr, zwnode_find(&net_->ctl, new_node));
        // The update ends.
        net_->curr_op = ZWNET_OP_NONE;
    }
    ASSERT_TRUE(eventually([&] { return op_ended(ZWNET_OP_ADD_NODE); }, 30s));
    EXPECT_EQ(ZWNET_OP_STS_DONE, op_sts(ZWNET_OP_ADD_NODE).back());
    EXPECT_TRUE(has_node(new_node));
    EXPECT_EQ(1u, log_count("new node id:7")) << "run once";
}

}  // namespace
