// Command reception and the controller's responder against the gateway
// simulator: the exact answers to what nodes ask of the controller, the
// lifeline association, answers inside a Multi Command Encapsulation, the
// secure-only rule, unknown senders, and node ids from the wire.
#include "hc_test_support.h"

#include "hcapi/net/zwnet_rx.h"

namespace {

using namespace hc_test;

enum : uint8_t { n_asker = 5, n_other = 6, n_stranger = 7 };
constexpr uint8_t cls_secure_only = 0x9A;
constexpr uint8_t cls_foreign = 0x9B;

std::mutex g_unh_mtx;
std::vector<std::vector<uint8_t>> g_unhandled;  // node, endpoint, command

void on_unhandled(void *, uint8_t node, uint8_t ep, const uint8_t *cmd, uint16_t len)
{
    std::vector<uint8_t> v{node, ep};
    v.insert(v.end(), cmd, cmd + len);
    std::lock_guard lk(g_unh_mtx);
    g_unhandled.push_back(v);
}

class Responder : public HcNet {
protected:
    void SetUp() override
    {
        {
            std::lock_guard lk(g_unh_mtx);
            g_unhandled.clear();
        }
        config c;
        c.nodes = {{n_asker, true, false, false, false, false, {0x20}, 0},
                   {n_other, true, false, false, false, false, {0x20}, 0},
                   {n_stranger, true, false, false, false, false, {0x20}, 0}};
        ASSERT_NO_FATAL_FAILURE(start(c));
        zwnet_lock lk(net_);
        net_->init.appl_cmd = on_unhandled;
        // As the daemon would list them beside the built-in classes.
        net_->ctl_cls.push_back({0x86, 3, 0x01});
        net_->ctl_cls.push_back({cls_secure_only, 1, 0x02});
    }

    int ask(uint8_t node, std::vector<uint8_t> cmd, uint8_t src_ep = 0, bool secure = false)
    {
        sim::own_packet p;
        p.command = std::move(cmd);
        p.ack_request = false;
        p.from_node = node;
        p.src_ep = src_ep;
        p.secure = secure;
        p.to = sim::endpoint{"127.0.0.1", zwnet_host_port_get(net_)};
        return gw->send_packet(p);
    }
    void expect_answer(uint8_t node, const std::vector<uint8_t> &answer, uint8_t dst_ep = 0)
    {
        auto r = wait_cmd(node, answer, 10s, from_);
        ASSERT_TRUE(r) << "no answer";
        EXPECT_EQ(0, r->frame.packet.src_ep) << "answers come from endpoint 0";
        EXPECT_EQ(dst_ep, r->frame.packet.dst_ep()) << "to the endpoint that asked";
        EXPECT_FALSE(r->frame.packet.bit_address());
        from_ = r->index + 1;
    }
    std::vector<std::vector<uint8_t>> unhandled()
    {
        std::lock_guard lk(g_unh_mtx);
        return g_unhandled;
    }
    uint8_t member()
    {
        zwnet_lock lk(net_);
        return net_->grps.front().member;
    }

    uint64_t from_ = 0;
};

TEST_F(Responder, AnswersWhatIsAskedOfTheControllerWithTheExactBytes)
{
    struct ask_case {
        const char *name;
        std::vector<uint8_t> ask;
        std::vector<uint8_t> answer;
    };
    const ask_case cases[] = {
        {"version of a class", {0x86, 0x13, 0x85}, {0x86, 0x14, 0x85, 0x02}},
        {"version of the version class", {0x86, 0x13, 0x86}, {0x86, 0x14, 0x86, 0x03}},
        {"association groupings", {0x85, 0x05}, {0x85, 0x06, 0x01}},
        {"association specific group", {0x85, 0x0B}, {0x85, 0x0C, 0x01}},
        {"empty lifeline", {0x85, 0x02, 0x01}, {0x85, 0x03, 0x01, 0x01, 0x00}},
        {"group name", {0x59, 0x01, 0x01}, {0x59, 0x02, 0x01, 0x08, 'L', 'i', 'f', 'e', 'L', 'i', 'n', 'e'}},
        {"group info", {0x59, 0x03, 0x00, 0x01}, {0x59, 0x04, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}},
        {"group info, list mode", {0x59, 0x03, 0x40, 0x09}, {0x59, 0x04, 0x81, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}},
        {"group command list", {0x59, 0x05, 0x00, 0x01}, {0x59, 0x06, 0x01, 0x02, 0x5A, 0x01}},
    };
    for (const ask_case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_GE(ask(n_asker, c.ask, 2), 0);
        ASSERT_NO_FATAL_FAILURE(expect_answer(n_asker, c.answer, 2));
    }
    EXPECT_TRUE(unhandled().empty());
}

TEST_F(Responder, TheLifelineTakesOneNodeFromTheWire)
{
    // Node ids outside 1..232 are never associated.
    ASSERT_GE(ask(n_asker, {0x85, 0x01, 0x01, 0x00}), 0);
    ASSERT_GE(ask(n_asker, {0x85, 0x01, 0x01, 0xE9}), 0);
    ASSERT_GE(ask(n_asker, {0x85, 0x02, 0x01}), 0);
    ASSERT_NO_FATAL_FAILURE(expect_answer(n_asker, {0x85, 0x03, 0x01, 0x01, 0x00}));

    ASSERT_GE(ask(n_asker, {0x85, 0x01, 0x01, 0x05}), 0);
    ASSERT_GE(ask(n_asker, {0x85, 0x01, 0x01, 0x06}), 0);  // the group is full
    ASSERT_GE(ask(n_asker, {0x85, 0x01, 0x02, 0x06}), 0);  // no such group
    ASSERT_GE(ask(n_asker, {0x85, 0x02, 0x01}), 0);
    ASSERT_NO_FATAL_FAILURE(expect_answer(n_asker, {0x85, 0x03, 0x01, 0x01, 0x00, 0x05}));
    EXPECT_TRUE(eventually([] { return log_count("Group ID 2 not supported") >= 1; }));

    ASSERT_GE(ask(n_asker, {0x85, 0x04, 0x01, 0x07}), 0);
    EXPECT_TRUE(eventually([] { return log_count("Node ID not listed:7") >= 1; }));
    EXPECT_EQ(5, member());
    ASSERT_GE(ask(n_asker, {0x85, 0x04, 0x01, 0x05}), 0);
    EXPECT_TRUE(eventually([&] { return member() == 0; }));

    ASSERT_GE(ask(n_asker, {0x85, 0x01, 0x01, 0x06}), 0);
    EXPECT_TRUE(eventually([&] { return member() == 6; }));
    ASSERT_GE(ask(n_asker, {0x85, 0x04, 0x00}), 0);  // every group
    EXPECT_TRUE(eventually([&] { return member() == 0; }));
}

TEST_F(Responder, AnswersInsideAMultiCommandGoOutTogether)
{
    ASSERT_GE(ask(n_asker, {0x85, 0x01, 0x01, 0x05}), 0);
    ASSERT_TRUE(eventually([&] { return member() == 5; }));
    ASSERT_GE(ask(n_asker,
                  {0x8F, 0x01, 0x02,          // Multi Command, 2 commands
                   0x03, 0x86, 0x13, 0x85,    // Version Command Class Get: Association
                   0x03, 0x85, 0x02, 0x01}),  // Association Get: group 1
              0);
    ASSERT_NO_FATAL_FAILURE(expect_answer(n_asker, {0x8F, 0x01, 0x02,                     //
                                                    0x04, 0x86, 0x14, 0x85, 0x02,         //
                                                    0x06, 0x85, 0x03, 0x01, 0x01, 0x00, 0x05}));
    // A broken encapsulation is dropped whole: the next answer is the one
    // to the command after it.
    const uint64_t before = from_;
    ASSERT_GE(ask(n_asker, {0x8F, 0x01, 0x02, 0x03, 0x86, 0x13, 0x85, 0x05, 0x85}), 0);
    ASSERT_GE(ask(n_asker, {0x85, 0x05}), 0);
    ASSERT_NO_FATAL_FAILURE(expect_answer(n_asker, {0x85, 0x06, 0x01}));
    for (const sim::recorded_frame &r : gw->received()) {
        if (r.node_id == n_asker && r.index >= before && r.index + 1 < from_ &&
            r.frame.kind == sim::frame_kind::packet) {
            EXPECT_TRUE(r.frame.packet.command.empty()) << "an answer to the broken encapsulation";
        }
    }
}

TEST_F(Responder, SecureOnlyClassesDropUnsecuredCommands)
{
    ASSERT_GE(ask(n_asker, {cls_secure_only, 0x01}), 0);                    // dropped
    ASSERT_GE(ask(n_asker, {cls_secure_only, 0x02}, 0, true), 0);           // secured: the application's
    ASSERT_GE(ask(n_asker, {cls_foreign, 0x01}), 0);                        // nobody's: the application's
    ASSERT_TRUE(eventually([&] { return unhandled().size() >= 2; }));
    const auto u = unhandled();
    ASSERT_EQ(2u, u.size());
    EXPECT_EQ((std::vector<uint8_t>{n_asker, 0, cls_secure_only, 0x02}), u[0]);
    EXPECT_EQ((std::vector<uint8_t>{n_asker, 0, cls_foreign, 0x01}), u[1]);
}

TEST_F(Responder, AnUnknownSenderIsAnsweredAtItsAddress)
{
    ASSERT_EQ(1, appl_node_ip_rm(net_->appl.get(), n_stranger));
    ASSERT_GE(ask(n_stranger, {0x85, 0x05}), 0);
    ASSERT_NO_FATAL_FAILURE(expect_answer(n_stranger, {0x85, 0x06, 0x01}));
    ASSERT_GE(ask(n_stranger, {cls_foreign, 0x07}), 0);
    ASSERT_TRUE(eventually([&] { return !unhandled().empty(); }));
    EXPECT_EQ((std::vector<uint8_t>{233, 0, cls_foreign, 0x07}), unhandled()[0]);
}

TEST_F(Responder, GroupListsMustHoldExactlyTheirEntries)
{
    struct list_case {
        uint8_t count;
        std::vector<uint8_t> bytes;
        int ok;
    };
    const list_case cases[] = {
        {1, {0x02, 0x20, 0x02}, 1},
        {2, {0x01, 0x20, 0x00}, 1},  // an empty entry
        {2, {0x02, 0x20, 0x02}, 0},  // one entry short
        {1, {0x03, 0x20, 0x02}, 0},  // runs past the end
        {1, {0x01, 0x20, 0x02}, 0},  // bytes left over
        {1, {}, 0},
    };
    for (const list_case &c : cases) {
        std::unique_ptr<uint8_t[]> buf(new uint8_t[c.bytes.size() + 1]);
        std::copy(c.bytes.begin(), c.bytes.end(), buf.get());
        EXPECT_EQ(c.ok, zwnet_grp_list_chk(c.count, buf.get(), static_cast<uint16_t>(c.bytes.size())));
    }
}

}  // namespace
