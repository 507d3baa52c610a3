// Learn mode against the simulated gateway over real loopback UDP: joining
// another network (with the gateway's DSK handed to the application first),
// leaving one, the network set up afresh as operation 6; refusals and their
// roll-back; a gateway that interviews first (status 10); a final status
// that never comes; the controller's DSK outside any operation.
#include "hc_test_support.h"

#include "hcapi/core/zwfac.h"

#include <cstdlib>

namespace {

using namespace hc_test;
using bytes = std::vector<uint8_t>;

constexpr uint32_t other_home = 0xD00D0042;
constexpr uint32_t watchdog_ms = 240000;

std::string gw_dsk_text()
{
    const sim::nm_config c;
    char *t = zwnet_dsk_to_txt(c.gateway_dsk.data(), 16);
    std::string s = t != nullptr ? t : "";
    std::free(t);
    return s;
}

// What a DSK callback heard.
struct dsk_app {
    std::mutex mtx;
    std::vector<std::string> texts;
    bool mutex_held = false;
    std::atomic<zwnet_p> net{nullptr};

    static void cb(void *user, char *dsk)
    {
        auto *self = static_cast<dsk_app *>(user);
        std::lock_guard lk(self->mtx);
        self->texts.emplace_back(dsk);
        self->mutex_held |= zwnet_lck_depth(self->net.load()) != 0;
    }
    size_t count()
    {
        std::lock_guard lk(mtx);
        return texts.size();
    }
};

class Learn : public HcNet {
protected:
    void SetUp() override
    {
        std::lock_guard lk(g_log_mtx);
        g_log.clear();
    }
    void start_net(unsigned tick_ms = 10)
    {
        config c;
        c.tick_ms = tick_ms;
        ASSERT_NO_FATAL_FAILURE(start(c));
        dsk.net = net_;
        ASSERT_TRUE(no_operation());
    }
    void set(const std::function<void(zwnet_p)> &change)
    {
        zwnet_lock lk(net_);
        change(net_);
    }
    dsk_app dsk;
};

// The learn mode set requests' mode bytes, in order.
std::vector<int> learn_modes(const std::vector<sim::nm_request> &reqs)
{
    std::vector<int> out;
    for (const sim::nm_request &q : reqs)
        out.push_back(q.command.size() > 4 ? q.command[4] : -1);
    return out;
}

TEST_F(Learn, JoiningWithSecurity2HandsOverTheGatewayDskThenReinitialisesAsOperation6)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    set([](zwnet_p n) { n->controller_capability |= 0x01; });
    // The network that the controller joins.
    nm->update_config([](sim::nm_config &c) { c.home_id = other_home; });
    const size_t from = nm->request_count();

    ASSERT_EQ(0, zwnet_initiate(net_, dsk_app::cb, &dsk));
    ASSERT_TRUE(eventually([&] { return op_ended(ZWNET_OP_INITIATE); }, 30s));
    EXPECT_EQ((std::vector<int>{1, ZWNET_OP_STS_DONE}), op_sts(ZWNET_OP_INITIATE));

    ASSERT_TRUE(eventually([&] { return dsk.count() == 1; }));
    {
        std::lock_guard lk(dsk.mtx);
        EXPECT_EQ(gw_dsk_text(), dsk.texts[0]);
        EXPECT_FALSE(dsk.mutex_held);
    }
    // The DSK is fetched first (not for an add), then learn mode to join.
    const auto dsk_get = nm->wait_request(0x4D, 0x08, 1s, from);
    const auto learn = nm->wait_request(0x4D, 0x01, 1s, from);
    ASSERT_TRUE(dsk_get && learn);
    EXPECT_EQ(0x00, dsk_get->command[3]);
    EXPECT_LT(dsk_get->time, learn->time);
    EXPECT_EQ(2, learn->command[4]);

    ASSERT_TRUE(no_operation());
    zwnet_lock lk(net_);
    EXPECT_EQ(other_home, net_->homeid);
    // The keys that the including controller granted.
    EXPECT_EQ(1, net_->ctl.s2_keys_valid);
    EXPECT_EQ(0x87, net_->ctl.s2_grnt_keys);
    EXPECT_TRUE(nm->violations().empty());
}

TEST_F(Learn, LeavingANetworkDropsItsNodesAndReinitialises)
{
    gw_nodes = sim::sample_network();
    ASSERT_NO_FATAL_FAILURE(start_net());
    ASSERT_TRUE(eventually([&] {
        zwnet_lock lk(net_);
        return net_->ctl.next != nullptr;
    }));
    // A secondary controller may be excluded.
    set([](zwnet_p n) { n->zw_role = 2; });
    nm->update_config([](sim::nm_config &c) {
        c.home_id = other_home;
        c.nodes = {sim::gw_self_node(1)};
    });
    const size_t from = nm->request_count();

    ASSERT_EQ(0, zwnet_initiate(net_, nullptr, nullptr));
    ASSERT_TRUE(eventually([&] { return op_ended(ZWNET_OP_INITIATE); }, 30s));
    EXPECT_EQ((std::vector<int>{1, ZWNET_OP_STS_DONE}), op_sts(ZWNET_OP_INITIATE));
    EXPECT_EQ(std::vector<int>{1}, learn_modes(nm_reqs(0x4D, 0x01)));
    // No DSK is fetched to leave (the new network's set-up asks for it later).
    const auto learn = nm->wait_request(0x4D, 0x01, 0ms, from);
    const auto dsk_get = nm->wait_request(0x4D, 0x08, 0ms, from);
    ASSERT_TRUE(learn);
    EXPECT_TRUE(!dsk_get || dsk_get->time > learn->time);
    EXPECT_EQ(1u, log_count("Set learn mode for exclusion"));
    EXPECT_EQ(1u, log_count("Learn mode resulted in leaving network"));
    zwnet_lock lk(net_);
    EXPECT_EQ(nullptr, net_->ctl.next);
    EXPECT_EQ(other_home, net_->homeid);
}

TEST_F(Learn, RefusalsGiveTheOperationBackAndSendNothing)
{
    gw_nodes = sim::sample_network();
    ASSERT_NO_FATAL_FAILURE(start_net());
    ASSERT_TRUE(eventually([&] {
        zwnet_lock lk(net_);
        return net_->ctl.next != nullptr;
    }));
    const size_t from = nm->request_count();
    struct row {
        uint8_t role;
        int rc;
    };
    // A primary or SIS controller with other nodes must not leave them.
    for (const row r : {row{1, ZW_ERR_DISALLOWED}, row{3, ZW_ERR_DISALLOWED}}) {
        SCOPED_TRACE(r.role);
        set([&](zwnet_p n) { n->zw_role = r.role; });
        EXPECT_EQ(r.rc, zwnet_initiate(net_, dsk_app::cb, &dsk));
        EXPECT_EQ(ZWNET_OP_NONE, curr_op());
    }
    EXPECT_EQ(from, nm->request_count()) << "nothing is sent";
    EXPECT_EQ(2u, log_count("Initiate disallowed for SIS or primary controller network containing other nodes"));

    // Another operation runs: -17, and it keeps running.
    set([](zwnet_p n) {
        n->zw_role = 2;
        n->curr_op = ZWNET_OP_UPDATE;
    });
    EXPECT_EQ(ZW_ERR_LAST_OP_NOT_DONE, zwnet_initiate(net_, nullptr, nullptr));
    EXPECT_EQ(ZWNET_OP_UPDATE, curr_op());
    set([](zwnet_p n) { n->curr_op = ZWNET_OP_NONE; });
    EXPECT_EQ(from, nm->request_count()) << "nothing is sent";
}

TEST_F(Learn, JoiningWithSecurity2NeedsADskCallbackAndAPrimaryAloneMayJoin)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    set([](zwnet_p n) {
        n->controller_capability |= 0x01;
        n->zw_role = 1;
    });
    const size_t from = nm->request_count();
    EXPECT_EQ(ZW_ERR_OP_FAILED, zwnet_initiate(net_, nullptr, nullptr));
    EXPECT_EQ(ZWNET_OP_NONE, curr_op());
    EXPECT_EQ(1u, log_count("zw_set_learn_mode with error:-25"));
    EXPECT_EQ(from, nm->request_count()) << "nothing is sent";

    // Without Security 2 learn mode goes out at once, even for a primary.
    set([](zwnet_p n) { n->controller_capability &= static_cast<uint8_t>(~0x01); });
    ASSERT_EQ(0, zwnet_initiate(net_, nullptr, nullptr));
    ASSERT_TRUE(eventually([&] { return op_ended(ZWNET_OP_INITIATE); }, 30s));
    EXPECT_EQ((std::vector<int>{1, ZWNET_OP_STS_DONE}), op_sts(ZWNET_OP_INITIATE));
    EXPECT_EQ(std::vector<int>{2}, learn_modes(nm_reqs(0x4D, 0x01)));
    const auto learn = nm->wait_request(0x4D, 0x01, 0ms, from);
    const auto dsk_get = nm->wait_request(0x4D, 0x08, 0ms, from);
    ASSERT_TRUE(learn);
    EXPECT_TRUE(!dsk_get || dsk_get->time > learn->time) << "no DSK before learn mode";
    EXPECT_EQ(0u, dsk.count());
}

TEST_F(Learn, ANewerGatewayRestartsTheNetworkOnlyAfterItsInterview)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    constexpr uint8_t new_id = 5;
    nm->update_config([](sim::nm_config &c) { c.learn_node_id = new_id; });
    set([](zwnet_p n) {
        n->feature |= 0x04;
        n->controller_capability &= static_cast<uint8_t>(~0x01);
    });
    const size_t from = nm->request_count();

    ASSERT_EQ(0, zwnet_initiate(net_, nullptr, nullptr));
    ASSERT_TRUE(eventually([&] { return op_sts(ZWNET_OP_INITIATE) == std::vector<int>{1}; }));
    {
        // The status handler posted the progress under the mutex: once we
        // hold it, the handler has finished.
        zwnet_lock lk(net_);
        EXPECT_EQ(ZWNET_OP_INITIATE, net_->curr_op);
        EXPECT_EQ(0, net_->sm.init_state) << "status 6 for a node other than 1 must not restart the network";
    }
    const auto learn = nm->wait_request(0x4D, 0x01, 1s, from);
    ASSERT_TRUE(learn);
    const size_t before = nm->request_count();
    // The gateway's interview of the including controller is done.
    ASSERT_GE(nm->inject({0x4D, 0x02, learn->command[2], 0x0A, 0x00, new_id}), 0);
    ASSERT_TRUE(eventually([&] { return op_ended(ZWNET_OP_INITIATE); }, 30s));
    EXPECT_EQ((std::vector<int>{1, ZWNET_OP_STS_DONE}), op_sts(ZWNET_OP_INITIATE));
    EXPECT_TRUE(nm->wait_request(0x52, 0x01, 1s, before)) << "the node list is fetched afresh";
}

TEST_F(Learn, ALostFinalStatusEndsTheOperationAfterTheWatchdog)
{
    ASSERT_NO_FATAL_FAILURE(start_net(2));
    set([](zwnet_p n) { n->controller_capability &= static_cast<uint8_t>(~0x01); });
    nm->silence_next(0x4D, 0x01);
    const auto t0 = steady::now();
    ASSERT_EQ(0, zwnet_initiate(net_, nullptr, nullptr));
    ASSERT_TRUE(eventually([&] { return op_ended(ZWNET_OP_INITIATE); }, late(watchdog_ms) + 30s));
    steady::time_point ended{};
    for (const app_event &e : rec.of(0))
        if (e.a == ZWNET_OP_INITIATE)
            ended = e.time;
    EXPECT_GE(ended - t0, early(watchdog_ms));
    EXPECT_EQ(std::vector<int>{ZWNET_OP_STS_FAILED}, op_sts(ZWNET_OP_INITIATE));
    EXPECT_EQ(ZWNET_OP_NONE, curr_op());
    // The gateway is taken out of learn mode.
    ASSERT_TRUE(eventually([&] { return learn_modes(nm_reqs(0x4D, 0x01)).size() == 2; }));
    EXPECT_EQ((std::vector<int>{2, 0}), learn_modes(nm_reqs(0x4D, 0x01)));
}

TEST_F(Learn, TheControllerDskOutsideAnyOperation)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    set([](zwnet_p n) { n->controller_capability &= static_cast<uint8_t>(~0x01); });
    const size_t from = nm->request_count();
    EXPECT_EQ(ZW_ERR_UNSUPPORTED, zwnet_sec2_get_dsk(net_, dsk_app::cb, &dsk));
    set([](zwnet_p n) { n->controller_capability |= 0x01; });
    for (uint8_t op : {ZWNET_OP_ADD_NODE, ZWNET_OP_RP_NODE, ZWNET_OP_INITIATE}) {
        SCOPED_TRACE(op);
        set([&](zwnet_p n) { n->curr_op = op; });
        EXPECT_EQ(ZW_ERR_LAST_OP_NOT_DONE, zwnet_sec2_get_dsk(net_, dsk_app::cb, &dsk));
    }
    set([](zwnet_p n) { n->curr_op = ZWNET_OP_NONE; });
    EXPECT_EQ(from, nm->request_count()) << "nothing is sent";

    ASSERT_EQ(0, zwnet_sec2_get_dsk(net_, dsk_app::cb, &dsk));
    ASSERT_TRUE(eventually([&] { return dsk.count() == 1; }));
    std::lock_guard lk(dsk.mtx);
    EXPECT_EQ(gw_dsk_text(), dsk.texts[0]);
    EXPECT_FALSE(dsk.mutex_held);
    EXPECT_EQ(ZWNET_OP_NONE, curr_op());
}

}  // namespace
