// Post-set poll and supervision against the gateway simulator: the Gets and
// their ticks, the reports that end a request, deadlines that Working
// reports move, one final result per request on the callback thread, and
// requests that a newer one or a removed node ends.
#include "fac_net_support.h"

namespace {

using namespace fac_test;

enum : uint8_t { n_dev = 2, n_other = 3 };
std::atomic<int> g_spv_unhandled{0};

class SetFac : public FacNet {
protected:
    void start_with(zwfac_ctx_t *zwnet::*fac)
    {
        config c;
        c.tick_ms = 5;
        c.nodes = {{n_dev, true, false, false, false, false, {0x25, 0x26, 0x62, 0x66, 0x6C}, 0},
                   {n_other, true, false, false, false, false, {0x25, 0x6C}, 0}};
        ASSERT_NO_FATAL_FAILURE(start_fac(c, fac));
        results_clear(net_->*fac);
        zwnet_lock lk(net_);
        for (uint8_t id : {n_dev, n_other}) {
            zwnode_p n = zwnode_find(&net_->ctl, id);
            n->spv_cap = 1;
            n->ep.generic = 0x11;  // a multilevel switch whose level reads back
            n->ep.specific = 0x03;
        }
    }
    std::vector<fac_result> wait_results(uint64_t user, size_t n, ms timeout = 30s)
    {
        eventually([&] { return results_of(user).size() >= n; }, timeout);
        return results_of(user);
    }
};

// --- post-set poll ------------------------------------------------------------

class PostSetPoll : public SetFac {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(start_with(&zwnet::spoll_ctx));
        for (uint8_t cls : {0x26, 0x62, 0x66}) {
            gw->on_command(cls, 0x02, [this, cls](const sim::command_context &) {
                if (silent.load())
                    return std::optional<std::vector<sim::command_reply>>(std::vector<sim::command_reply>{});
                sim::command_reply r;
                r.command = {cls, 0x03, value.load()};
                if (cls == 0x62)
                    r.command.resize(7, 0);  // a full Door Lock Operation Report
                return std::optional<std::vector<sim::command_reply>>(std::vector<sim::command_reply>{r});
            });
        }
    }
    int post_set(uint16_t cls, uint8_t target, uint64_t user)
    {
        const zwif_desc_t d = intf(n_dev, cls);
        return zwif_post_set_poll(&d, target, 0x02, on_fac_result, user);
    }
    std::atomic<uint8_t> value{0};
    std::atomic<bool> silent{false};
};

// A multilevel switch that never reports the target gets four Gets, 1, 3, 6
// and 10 s after the set; the caller hears "not reached" once, on the
// callback thread without the network mutex: when the answer to the last Get
// comes, or 3 s after it when none does.
TEST_F(PostSetPoll, NeverReachedGetsFourGetsThenResultOne)
{
    struct tcase {
        bool answers;
        uint32_t least_after_last;
    };
    const tcase cases[] = {{true, 0}, {false, 6}};
    value = 0x10;
    uint64_t user = 0;
    for (const tcase &c : cases) {
        SCOPED_TRACE(c.answers ? "answers" : "silent");
        silent = !c.answers;
        ++user;
        const size_t before = seen_count(n_dev, {0x26, 0x02});
        const uint32_t t0 = tick();
        ASSERT_EQ(0, post_set(0x26, 0x40, user));
        const auto res = wait_results(user, 1);
        ASSERT_EQ(1u, res.size());
        EXPECT_EQ(1u, res[0].status);
        EXPECT_FALSE(res[0].mutex_held);
        EXPECT_EQ(n_dev, res[0].node_id);
        EXPECT_EQ(0x26, res[0].cls);
        auto gets = seen(n_dev, {0x26, 0x02});
        ASSERT_EQ(before + 4, gets.size());
        gets.erase(gets.begin(), gets.begin() + static_cast<long>(before));
        const uint32_t at[] = {2, 6, 12, 20};
        for (size_t k = 0; k < 4; ++k)
            EXPECT_GE(gets[k].tick - t0, at[k]) << "Get " << k;
        // Counted from the call: a Get reaches the simulator a little after
        // the facility counted from it.
        EXPECT_GE(res[0].tick, gets[3].tick);
        EXPECT_GE(res[0].tick - t0, 20u + c.least_after_last);
        ASSERT_TRUE(ticks_pass(20));
        EXPECT_EQ(before + 4, seen_count(n_dev, {0x26, 0x02}));
        EXPECT_EQ(1u, results_of(user).size());
    }
}

// Which reported values count as the target: any level for a switch set
// "on", and "unsecured" for a door lock set to anything but "secured".
TEST_F(PostSetPoll, TargetRulesByClass)
{
    struct tcase {
        uint16_t cls;
        uint8_t target;
        uint8_t reported;
        uint32_t result;
    };
    const tcase cases[] = {
        {0x26, 0xFF, 0x01, 0}, {0x26, 0x40, 0x40, 0}, {0x26, 0x40, 0x3F, 1}, {0x62, 0x01, 0x00, 0},
        {0x62, 0xFE, 0x00, 0}, {0x62, 0xFF, 0x00, 1}, {0x62, 0x10, 0x10, 0}, {0x66, 0xFF, 0xFF, 0},
        {0x66, 0x00, 0xFC, 1},
    };
    uint64_t user = 10;
    for (const tcase &c : cases) {
        SCOPED_TRACE("class " + std::to_string(c.cls) + " target " + std::to_string(c.target) + " reported " +
                     std::to_string(c.reported));
        value = c.reported;
        ++user;
        ASSERT_EQ(0, post_set(c.cls, c.target, user));
        const auto res = wait_results(user, 1);
        ASSERT_EQ(1u, res.size());
        EXPECT_EQ(c.result, res[0].status);
    }
}

// A report of the target ends the request at once: no further Get.
TEST_F(PostSetPoll, TargetReachedEarlyEndsIt)
{
    // The switch gets there before its second Get is answered.
    std::atomic<int> n{0};
    gw->on_command(0x26, 0x02, [&n](const sim::command_context &) {
        sim::command_reply r;
        r.command = {0x26, 0x03, ++n >= 2 ? uint8_t{0x63} : uint8_t{0x20}};
        return std::optional<std::vector<sim::command_reply>>(std::vector<sim::command_reply>{r});
    });
    ASSERT_EQ(0, post_set(0x26, 0x63, 5));
    const auto res = wait_results(5, 1);
    ASSERT_EQ(1u, res.size());
    EXPECT_EQ(0u, res[0].status);
    const auto gets = seen(n_dev, {0x26, 0x02});
    ASSERT_EQ(2u, gets.size());
    EXPECT_GE(res[0].tick, gets[1].tick);
    ASSERT_TRUE(ticks_pass(30));
    EXPECT_EQ(2u, seen_count(n_dev, {0x26, 0x02}));
}

// A second set of the same interface restarts the poll; the first caller is
// told that its request was replaced (3). Removing the node ends the rest
// with 3 as well.
TEST_F(PostSetPoll, SupersededAndRemovedRequestsEndWithThree)
{
    value = 0x10;
    ASSERT_EQ(0, post_set(0x26, 0x50, 21));
    ASSERT_EQ(0, post_set(0x26, 0x51, 22));
    ASSERT_EQ(0, post_set(0x62, 0xFF, 23));
    const auto first = wait_results(21, 1);
    ASSERT_EQ(1u, first.size());
    EXPECT_EQ(3u, first[0].status);
    ASSERT_EQ(0, zwspoll_node_rm(net_->spoll_ctx, n_dev));
    ASSERT_EQ(1u, wait_results(22, 1).size());
    ASSERT_EQ(1u, wait_results(23, 1).size());
    EXPECT_EQ(3u, results_of(22)[0].status);
    EXPECT_EQ(3u, results_of(23)[0].status);
    ASSERT_TRUE(ticks_pass(40));
    EXPECT_EQ(1u, results_of(21).size());
    EXPECT_EQ(1u, results_of(22).size());
}

TEST_F(PostSetPoll, GetLengthsRefused)
{
    const zwif_desc_t d = intf(n_dev, 0x26);
    const uint8_t get[9] = {0x26, 0x02};
    EXPECT_EQ(ZW_ERR_TOO_SMALL, zwspoll_add(&d, 1, get, 1, on_fac_result, 1));
    EXPECT_EQ(ZW_ERR_TOO_LARGE, zwspoll_add(&d, 1, get, 9, on_fac_result, 1));
}

// --- supervision ------------------------------------------------------------

class Supervision : public SetFac {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(start_with(&zwnet::spv_ctx));
        gw->on_command(0x6C, 0x01, [this](const sim::command_context &ctx) {
            const auto &cmd = ctx.packet.command;
            std::vector<sim::command_reply> out;
            if (cmd.size() < 3)
                return std::optional<std::vector<sim::command_reply>>(out);
            std::lock_guard lk(script_mtx);
            for (const step &s : script) {
                sim::command_reply r;
                r.command = {0x6C, 0x02, static_cast<uint8_t>((cmd[2] & 0x3F) | s.more), s.status, s.duration};
                r.delay = s.delay;
                out.push_back(r);
            }
            return std::optional<std::vector<sim::command_reply>>(out);
        });
    }
    struct step {
        uint8_t status;
        uint8_t duration;
        ms delay;
        uint8_t more = 0;
    };
    void reply_with(std::vector<step> s)
    {
        std::lock_guard lk(script_mtx);
        script = std::move(s);
    }
    int supervised_set(uint8_t node, uint64_t user)
    {
        const zwif_desc_t d = intf(node, 0x25);
        const uint8_t cmd[] = {0x25, 0x01, 0xFF};
        return zwif_exec_supv(&d, cmd, sizeof cmd, on_fac_result, user);
    }
    std::mutex script_mtx;
    std::vector<step> script;
};

// The deadline: 8 s without a report, 15 s from a Working report of 10 s.
TEST_F(Supervision, WorkingReportStretchesTheDeadline)
{
    struct tcase {
        std::vector<step> replies;
        uint32_t least_ticks;
    };
    const tcase cases[] = {
        {{}, 16},
        {{{0x01, 10, 0ms}}, 30},
    };
    uint64_t user = 1;
    for (const tcase &c : cases) {
        reply_with(c.replies);
        ++user;
        const size_t before = seen_count(n_dev, {0x6C, 0x01});
        const uint32_t t0 = tick();
        ASSERT_EQ(0, supervised_set(n_dev, user));
        const auto res = wait_results(user, 1);
        ASSERT_EQ(1u, res.size());
        EXPECT_EQ(1u, res[0].status);
        const auto gets = seen(n_dev, {0x6C, 0x01});
        ASSERT_EQ(before + 1, gets.size());
        EXPECT_GE(res[0].tick - t0, c.least_ticks);
    }
}

// Working, then the final status 1 s later: one result, that of the final
// status; a repeated final report finds nothing left to end.
TEST_F(Supervision, FinalResultReachesTheApplicationOnce)
{
    reply_with({{0x01, 10, 0ms}, {0xFF, 0, scaled(1000)}});
    ASSERT_EQ(0, supervised_set(n_dev, 7));
    const auto res = wait_results(7, 1);
    ASSERT_EQ(1u, res.size());
    EXPECT_EQ(0u, res[0].status);
    EXPECT_FALSE(res[0].mutex_held);
    const auto get = seen(n_dev, {0x6C, 0x01}).back();
    ASSERT_GE(get.cmd.size(), 7u);
    EXPECT_EQ(0x80, get.cmd[2] & 0xC0);
    EXPECT_EQ(3, get.cmd[3]);
    EXPECT_EQ((std::vector<uint8_t>{0x25, 0x01, 0xFF}), std::vector<uint8_t>(get.cmd.begin() + 4, get.cmd.end()));
    ASSERT_GE(from_node(n_dev, {0x6C, 0x02, static_cast<uint8_t>(get.cmd[2] & 0x3F), 0xFF, 0}), 0);
    ASSERT_TRUE(ticks_pass(40));
    EXPECT_EQ(1u, results_of(7).size());
}

TEST_F(Supervision, StatusTable)
{
    struct tcase {
        uint8_t status, duration;
        uint32_t result;
    };
    const tcase cases[] = {
        {0x00, 0, 2}, {0x02, 0, 6}, {0x03, 0, 4}, {0xFF, 0, 0}, {0x01, 0, 6}, {0x01, 0xFE, 6}, {0x01, 0xFF, 6},
    };
    uint64_t user = 100;
    for (const tcase &c : cases) {
        SCOPED_TRACE("status " + std::to_string(c.status) + " duration " + std::to_string(c.duration));
        reply_with({{c.status, c.duration, 0ms}});
        ASSERT_EQ(0, supervised_set(n_dev, ++user));
        const auto res = wait_results(user, 1);
        ASSERT_EQ(1u, res.size());
        EXPECT_EQ(c.result, res[0].status);
    }
}

// Session ids travel in 6 bits: an id above 63 is sent and matched by its
// low 6 bits, the more-status-updates bit aside; a report with an unknown id
// is taken by the facility, changes nothing and reaches no one else.
TEST_F(Supervision, SessionIdsInSixBits)
{
    g_spv_unhandled = 0;
    {
        zwnet_lock lk(net_);
        net_->init.appl_cmd = [](void *, uint8_t, uint8_t, const uint8_t *cmd, uint16_t) {
            if (cmd[0] == 0x6C)
                ++g_spv_unhandled;
        };
    }
    reply_with({});
    const zwif_desc_t d = intf(n_other, 0x25);
    const uint8_t cmd[] = {0x25, 0x01, 0x00};
    ASSERT_EQ(0, zwspv_cmd_snd(&d, cmd, sizeof cmd, 0x45, on_fac_result, 31));
    ASSERT_TRUE(eventually([&] { return seen_count(n_other, {0x6C, 0x01}) == 1; }));
    EXPECT_EQ(0x85, seen(n_other, {0x6C, 0x01})[0].cmd[2]);
    ASSERT_GE(from_node(n_other, {0x6C, 0x02, 0x06, 0xFF, 0}), 0);  // not ours
    ASSERT_TRUE(ticks_pass(4));
    EXPECT_TRUE(results_of(31).empty());
    ASSERT_GE(from_node(n_other, {0x6C, 0x02, 0x85, 0xFF, 0}), 0);
    const auto res = wait_results(31, 1);
    ASSERT_EQ(1u, res.size());
    EXPECT_EQ(0u, res[0].status);
    EXPECT_EQ(0, g_spv_unhandled.load());
}

TEST_F(Supervision, SupersededCancelledAndRefused)
{
    reply_with({});
    ASSERT_EQ(0, supervised_set(n_dev, 41));
    ASSERT_EQ(0, supervised_set(n_dev, 42));
    ASSERT_EQ(0, supervised_set(n_other, 43));
    ASSERT_EQ(1u, wait_results(41, 1).size());
    EXPECT_EQ(3u, results_of(41)[0].status);
    ASSERT_EQ(0, zwspv_node_cancel(net_->spv_ctx, n_dev));
    ASSERT_EQ(1u, wait_results(42, 1).size());
    EXPECT_EQ(3u, results_of(42)[0].status);
    zwspv_flush(net_->spv_ctx);
    ASSERT_EQ(1u, wait_results(43, 1).size());
    EXPECT_EQ(3u, results_of(43)[0].status);

    const zwif_desc_t d = intf(n_dev, 0x25);
    const uint8_t big[41] = {0x25, 0x01};
    EXPECT_EQ(ZW_ERR_TOO_SMALL, zwspv_cmd_snd(&d, big, 2, 0, on_fac_result, 1));
    EXPECT_EQ(ZW_ERR_TOO_LARGE, zwspv_cmd_snd(&d, big, 41, 0, on_fac_result, 1));
    EXPECT_EQ(ZW_ERR_VALUE, zwspv_cmd_snd(&d, big, 3, 0, nullptr, 1));
}

}  // namespace
