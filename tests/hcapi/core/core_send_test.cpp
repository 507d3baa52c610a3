// The send path and the node queues against the gateway simulator over
// real loopback UDP: header bytes and options on the wire, the transmit
// status on the application layer's callback thread, the size check, the
// sleeping-node queue drained at a Wake Up Notification (singly and in
// Multi Command frames), and the report wait of a FLiRS node.
// The tick is 10 ms, so the 10 s report wait lasts 1 s.
#include "../net/hc_test_support.h"

#include <map>

namespace {

using namespace hc_test;

enum : uint8_t { n_listen = 5, n_crc = 7, n_sleep = 8, n_batch = 9, n_flirs = 10, n_batch_eps = 11 };

class Send : public HcNet {
protected:
    void SetUp() override
    {
        config c;
        c.nodes = {
            {n_listen, true, false, false, false, false, {0x20, 0x25}, 1},
            {n_crc, true, false, false, false, true, {0x20, 0x25}, 1},
            {n_sleep, false, false, true, false, false, {0x20, 0x25, 0x84}, 0},
            {n_batch, false, false, true, true, false, {0x20, 0x70, 0x84, 0x8F}, 0},
            {n_flirs, false, true, false, false, false, {0x20, 0x25}, 0},
            {n_batch_eps, false, false, true, true, false, {0x20, 0x84, 0x8F}, 2},
        };
        ASSERT_NO_FATAL_FAILURE(start(c));
        ASSERT_TRUE(eventually([&] { return rec.count(0) >= 1; }));  // initialised
    }

    template <class F>
    auto with_node(uint8_t id, F &&f)
    {
        zwnet_lock lk(net_);
        return f(zwnode_find(&net_->ctl, id));
    }

    int exec(const zwif_desc_t &i, std::vector<uint8_t> cmd, uint32_t flags = 0, zwif_tx_cmpl_fn cb = nullptr)
    {
        return zwif_exec(&i, cmd.data(), static_cast<uint16_t>(cmd.size()), cb, nullptr, flags, nullptr);
    }

    // Queues a command of an operation for a sleeping node.
    int queue(const zwif_desc_t &i, uint16_t op, std::vector<uint8_t> cmd)
    {
        EXPECT_EQ(0, zwnode_cur_op_set(&i, op, 1));
        return exec(i, std::move(cmd));
    }

    std::vector<uint16_t> queued_ops(uint8_t id)
    {
        zwnode_desc_t d = node(id);
        uint16_t *ops = nullptr;
        const int n = zwnode_cmd_q_get(&d, &ops);
        std::vector<uint16_t> out(ops, ops + n);
        std::free(ops);
        return out;
    }
};

TEST_F(Send, BasicGetLeavesWithItsHeaderAndItsStatusReachesTheApplication)
{
    const zwif_desc_t basic = intf(n_listen, 0x20);
    ASSERT_EQ(0, exec(basic, {0x20, 0x02}, 0, zwif_tx_sts_cb));
    auto f = wait_cmd(n_listen, {0x20, 0x02}, 5s);
    ASSERT_TRUE(f);
    EXPECT_EQ(addr(n_listen), f->local.address);
    const sim::zip_packet &p = f->frame.packet;
    EXPECT_TRUE(p.ack_request());
    EXPECT_TRUE(p.has_command());
    EXPECT_FALSE(p.secure());
    EXPECT_FALSE(p.more_info());
    EXPECT_FALSE(p.encap_format());
    EXPECT_EQ(0, p.src_ep);
    EXPECT_EQ(0, p.dst_ep());

    ASSERT_TRUE(eventually([&] { return rec.count(2) >= 1; }));
    const app_event e = rec.of(2).at(0);
    EXPECT_EQ(ZWNET_TX_OK, e.a);
    EXPECT_NE(std::this_thread::get_id(), e.tid);
    EXPECT_FALSE(e.mutex_held);
}

TEST_F(Send, AGetThatExpectsItsReportLeavesTheNodeWaitingUntilItComes)
{
    const zwif_desc_t basic = intf(n_listen, 0x20);
    ASSERT_EQ(1, exec(basic, {0x20, 0x02}, ZWIF_EXEC_RPT_IF_GET));
    ASSERT_TRUE(wait_cmd(n_listen, {0x20, 0x02}, 5s));
    with_node(n_listen, [](zwnode_p n) {
        EXPECT_EQ(1, n->wait_rpt);
        EXPECT_EQ(0x20, n->wait_cls);
        EXPECT_EQ(0x03, n->wait_cmd);
        return 0;
    });
    // Same class, another command: still waiting.
    ASSERT_LE(0, from_node(n_listen, {0x20, 0x01, 0x00}));
    std::this_thread::sleep_for(scaled(3000));
    EXPECT_EQ(1, with_node(n_listen, [](zwnode_p n) { return int(n->wait_rpt); }));
    ASSERT_LE(0, from_node(n_listen, {0x20, 0x03, 0x63}));
    EXPECT_TRUE(eventually([&] { return with_node(n_listen, [](zwnode_p n) { return n->wait_rpt == 0; }); }));
}

struct opt_case {
    const char *name;
    uint32_t encap_opt;
    uint8_t propty;
    bool sleep_cap;
    bool crc;
    uint8_t s2_valid;
    uint8_t keys;
    uint8_t ctl_s2_valid;
    uint8_t ctl_keys;
    uint8_t ep;
    uint32_t flags;
    bool secure;
    bool more_info;
    std::optional<uint16_t> encap;
};

TEST_F(Send, TransmitOptionsOnTheWire)
{
    const opt_case cases[] = {
        {"plain", 0, 0x02, false, false, 0, 0, 0, 0, 0, 0, false, false, std::nullopt},
        {"secure interface", 0, 0x01, false, false, 0, 0, 0, 0, 0, 0, true, false, std::nullopt},
        {"sleep capable", 0, 0x02, true, false, 0, 0, 0, 0, 1, 0, false, true, std::nullopt},
        {"no security choice", 1, 0x02, false, true, 0, 0, 0, 0, 0, ZWIF_EXEC_NO_SEC, true, false, std::nullopt},
        {"encap, CRC-16 node", 1, 0x02, false, true, 0, 0, 0, 0, 0, 0, true, false, uint16_t{1}},
        {"encap, plain node", 1, 0x02, false, false, 0, 0, 0, 0, 1, 0, true, false, uint16_t{0}},
        {"encap, node's S2 key", 1, 0x01, false, false, 1, 0x83, 0, 0, 0, 0, true, false, uint16_t{0x0200}},
        {"encap, controller's key", 1, 0x01, false, false, 0, 0, 1, 0x87, 0, 0, true, false, uint16_t{0x0400}},
        {"encap, S0 only", 1, 0x01, false, false, 0, 0, 0, 0, 0, 0, true, false, uint16_t{0x8000}},
    };
    uint8_t value = 0;
    for (const opt_case &c : cases) {
        with_node(n_listen, [&](zwnode_p n) {
            n->sleep_cap = c.sleep_cap;
            n->crc_cap = c.crc;
            n->s2_keys_valid = c.s2_valid;
            n->s2_grnt_keys = c.keys;
            n->net->ctl.s2_keys_valid = c.ctl_s2_valid;
            n->net->ctl.s2_grnt_keys = c.ctl_keys;
            n->net->encap_opt = c.encap_opt;
            return 0;
        });
        zwif_desc_t i = intf(n_listen, 0x25, c.ep);
        i.propty = c.propty;
        const std::vector<uint8_t> cmd{0x25, 0x01, ++value};
        ASSERT_EQ(0, exec(i, cmd, c.flags)) << c.name;
        auto f = wait_cmd(n_listen, cmd, 5s);
        ASSERT_TRUE(f) << c.name;
        const sim::zip_packet &p = f->frame.packet;
        EXPECT_EQ(c.secure, p.secure()) << c.name;
        EXPECT_EQ(c.more_info, p.more_info()) << c.name;
        EXPECT_EQ(c.encap, p.encap_format()) << c.name;
        EXPECT_EQ(c.ep, p.dst_ep()) << c.name;
    }
}

TEST_F(Send, TheFrameBudgetShrinksWithEachEncapsulation)
{
    const zwif_desc_t ep1 = intf(n_crc, 0x25, 1);
    std::vector<uint8_t> cmd(43, 0x11);
    cmd[0] = 0x25;
    EXPECT_EQ(ZW_ERR_TOO_LARGE, exec(ep1, cmd));  // 46 - 4 (CRC-16) - 4 (endpoint) = 38
    EXPECT_EQ(0, exec(ep1, cmd, ZWIF_EXEC_NO_SZ_CHK));
    EXPECT_TRUE(wait_cmd(n_crc, cmd, 5s));
    cmd.resize(38);
    EXPECT_EQ(0, exec(ep1, cmd));
    cmd.resize(39);
    EXPECT_EQ(ZW_ERR_TOO_LARGE, exec(ep1, cmd));
    std::vector<uint8_t> params(30, 0);
    EXPECT_EQ(ZW_ERR_MEMORY, zwif_get_report(&ep1, params.data(), 30, 0x02, nullptr, 0));
}

TEST_F(Send, SleepingNodeQueueLeavesInOrderAtWakeUp)
{
    const zwif_desc_t basic = intf(n_sleep, 0x20), sw = intf(n_sleep, 0x25);
    EXPECT_EQ(1, queue(basic, 11, {0x20, 0x01, 0x00}));
    EXPECT_EQ(1, queue(sw, 12, {0x25, 0x01, 0xFF}));
    EXPECT_EQ(1, queue(sw, 12, {0x25, 0x01, 0xFF}));  // repeats the last: kept once
    EXPECT_EQ(1, queue(sw, 13, {0x25, 0x02}));
    // Operation count 0: not the first command of an operation, sent at once.
    EXPECT_EQ(0, exec(basic, {0x20, 0x02}));
    EXPECT_TRUE(wait_cmd(n_sleep, {0x20, 0x02}, 5s));
    EXPECT_EQ((std::vector<uint16_t>{11, 12, 13}), queued_ops(n_sleep));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(1u, cmds_to(n_sleep).size());

    // Too long to be sent later means too long now.
    std::vector<uint8_t> big(47, 0x01);
    big[0] = 0x20;
    EXPECT_EQ(0, zwnode_cur_op_set(&basic, 14, 1));
    EXPECT_EQ(ZW_ERR_TOO_LARGE, exec(basic, big));

    const uint64_t mark = gw->next_index();
    ASSERT_LE(0, from_node(n_sleep, {0x84, 0x07}));
    ASSERT_TRUE(eventually([&] { return cmds_to(n_sleep).size() >= 4; }));
    const auto sent = cmds_to(n_sleep);
    ASSERT_EQ(4u, sent.size());
    EXPECT_EQ((std::vector<uint8_t>{0x20, 0x01, 0x00}), sent[1].frame.packet.command);
    EXPECT_EQ((std::vector<uint8_t>{0x25, 0x01, 0xFF}), sent[2].frame.packet.command);
    EXPECT_EQ((std::vector<uint8_t>{0x25, 0x02}), sent[3].frame.packet.command);
    EXPECT_GE(sent[1].index, mark);
    EXPECT_TRUE(queued_ops(n_sleep).empty());
}

TEST_F(Send, AFullQueueAnswersOutOfMemoryAndCancelEmptiesIt)
{
    const zwif_desc_t basic = intf(n_sleep, 0x20);
    for (int k = 0; k < 255; ++k)
        ASSERT_EQ(1, queue(basic, 20, {0x20, 0x01, static_cast<uint8_t>(k)})) << k;
    EXPECT_EQ(ZW_ERR_MEMORY, queue(basic, 20, {0x20, 0x01, 0xFF, 0x01}));
    EXPECT_EQ(255u, queued_ops(n_sleep).size());
    zwnode_desc_t d = node(n_sleep);
    EXPECT_EQ(0, zwnode_cmd_q_cancel(&d));
    EXPECT_TRUE(queued_ops(n_sleep).empty());

    uint8_t on = 0;
    EXPECT_EQ(0, zwnode_cmd_q_ena_get(&d, &on));
    EXPECT_EQ(1, on);
    EXPECT_EQ(0, zwnode_cmd_q_ena_set(&d, 0));
    EXPECT_EQ(0, zwnode_cmd_q_ena_get(&d, &on));
    EXPECT_EQ(0, on);
    zwnode_desc_t listening = node(n_listen);
    EXPECT_EQ(ZW_ERR_UNSUPPORTED, zwnode_cmd_q_ena_set(&listening, 1));
    EXPECT_EQ(ZW_ERR_UNSUPPORTED, zwnode_mul_cmd_ctl_set(&listening, 1));
    zwnode_desc_t gone = d;
    gone.nodeid = 99;
    EXPECT_EQ(ZW_ERR_NODE_NOT_FOUND, zwnode_cmd_q_cancel(&gone));
}

TEST_F(Send, AFullReportWaitQueueAnswersOutOfMemory)
{
    const zwif_desc_t basic = intf(n_flirs, 0x20);
    gw->policy().set_default(sim::behaviour::silent());  // the first get never completes quickly
    ASSERT_EQ(1, exec(basic, {0x20, 0x02}, ZWIF_EXEC_RPT_IF_GET));
    for (int k = 0; k < 255; ++k)
        ASSERT_EQ(1, exec(basic, {0x20, 0x01, static_cast<uint8_t>(k)})) << k;
    EXPECT_EQ(ZW_ERR_MEMORY, exec(basic, {0x20, 0x01, 0xFF, 0x01}));
    EXPECT_EQ(255u, with_node(n_flirs, [](zwnode_p n) { return n->wait_q.size(); }));
    // The exit frees them (AddressSanitizer checks).
}

// The commands inside a Multi Command frame: {length, bytes} after 8F 01 n.
std::vector<std::vector<uint8_t>> mul_cmd_parts(const std::vector<uint8_t> &f)
{
    std::vector<std::vector<uint8_t>> parts;
    if (f.size() < 3 || f[0] != 0x8F || f[1] != 0x01)
        return parts;
    size_t at = 3;
    for (uint8_t k = 0; k < f[2] && at < f.size(); ++k) {
        const size_t len = f[at];
        if (at + 1 + len > f.size())
            return {};
        parts.emplace_back(f.begin() + static_cast<long>(at) + 1, f.begin() + static_cast<long>(at + 1 + len));
        at += 1 + len;
    }
    EXPECT_EQ(at, f.size());
    return parts;
}

TEST_F(Send, BatchedCommandsLeaveInMultiCommandFramesOfAtMost46Bytes)
{
    const zwif_desc_t cfg_if = intf(n_batch, 0x70);
    std::vector<std::vector<uint8_t>> cmds;
    for (uint8_t k = 0; k < 5; ++k) {
        std::vector<uint8_t> c{0x70, 0x04, static_cast<uint8_t>(k + 1), 0x08};
        c.resize(12, k);
        cmds.push_back(c);
        ASSERT_EQ(1, queue(cfg_if, static_cast<uint16_t>(30 + k), c));
    }
    ASSERT_LE(0, from_node(n_batch, {0x84, 0x07}));
    ASSERT_TRUE(eventually([&] { return cmds_to(n_batch).size() >= 2; }));
    std::this_thread::sleep_for(200ms);
    const auto sent = cmds_to(n_batch);
    ASSERT_EQ(2u, sent.size());
    const auto first = mul_cmd_parts(sent[0].frame.packet.command);
    const auto second = mul_cmd_parts(sent[1].frame.packet.command);
    ASSERT_EQ(3u, first.size());  // 3 + 3 x 13 = 42; a fourth would make 55
    ASSERT_EQ(2u, second.size());
    EXPECT_EQ(42u, sent[0].frame.packet.command.size());
    for (size_t k = 0; k < 3; ++k)
        EXPECT_EQ(cmds[k], first[k]);
    for (size_t k = 0; k < 2; ++k)
        EXPECT_EQ(cmds[3 + k], second[k]);
}

TEST_F(Send, BatchesKeepEndpointsApart)
{
    const zwif_desc_t e1 = intf(n_batch_eps, 0x20, 1), e2 = intf(n_batch_eps, 0x20, 2);
    ASSERT_EQ(1, queue(e1, 40, {0x20, 0x01, 0x01}));
    ASSERT_EQ(1, queue(e1, 41, {0x20, 0x01, 0x02}));
    ASSERT_EQ(1, queue(e2, 42, {0x20, 0x01, 0x03}));
    ASSERT_EQ(1, queue(e2, 43, {0x20, 0x01, 0x04}));
    ASSERT_LE(0, from_node(n_batch_eps, {0x84, 0x07}));
    ASSERT_TRUE(eventually([&] { return cmds_to(n_batch_eps).size() >= 2; }));
    const auto sent = cmds_to(n_batch_eps);
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(1, sent[0].frame.packet.dst_ep());
    EXPECT_EQ(2, sent[1].frame.packet.dst_ep());
    EXPECT_EQ(2u, mul_cmd_parts(sent[0].frame.packet.command).size());
    EXPECT_EQ((std::vector<uint8_t>{0x20, 0x01, 0x04}), mul_cmd_parts(sent[1].frame.packet.command).at(1));
}

TEST_F(Send, BatchingOnAListeningNodeFlushesAfterOneSecond)
{
    with_node(n_batch, [](zwnode_p n) {
        n->enable_cmd_q = 0;
        return 0;
    });
    const zwif_desc_t b = intf(n_batch, 0x20);
    const auto t0 = steady::now();
    ASSERT_EQ(1, queue(b, 50, {0x20, 0x01, 0x10}));
    ASSERT_EQ(1, queue(b, 51, {0x20, 0x01, 0x20}));
    ASSERT_TRUE(eventually([&] { return !cmds_to(n_batch).empty(); }));
    const auto sent = cmds_to(n_batch);
    EXPECT_GE(sent[0].time - t0, early(1000));
    EXPECT_EQ(2u, mul_cmd_parts(sent[0].frame.packet.command).size());
}

TEST_F(Send, FlirsNodeCommandLeavesAfterTheAwaitedReport)
{
    const zwif_desc_t basic = intf(n_flirs, 0x20), sw = intf(n_flirs, 0x25);
    ASSERT_EQ(1, exec(basic, {0x20, 0x02}, ZWIF_EXEC_RPT_IF_GET));
    ASSERT_TRUE(wait_cmd(n_flirs, {0x20, 0x02}, 5s));
    ASSERT_EQ(1, exec(sw, {0x25, 0x01, 0xFF}));  // the node is busy: queued
    std::vector<uint8_t> big(47, 0x01);
    big[0] = 0x25;
    EXPECT_EQ(ZW_ERR_TOO_LARGE, exec(sw, big));  // oversized fails now, not later
    ASSERT_LE(0, from_node(n_flirs, {0x20, 0x01, 0x00}));  // not the awaited report
    std::this_thread::sleep_for(scaled(3000));
    EXPECT_EQ(1u, cmds_to(n_flirs).size());
    const auto t_rpt = steady::now();
    ASSERT_LE(0, from_node(n_flirs, {0x20, 0x03, 0x00}));
    auto f = wait_cmd(n_flirs, {0x25, 0x01, 0xFF}, 5s);
    ASSERT_TRUE(f);
    EXPECT_GE(f->time, t_rpt);  // the real-time node-model test bounds it from above
}

TEST_F(Send, FlirsNodeCommandLeavesAfterTheReportWaitWithoutAReport)
{
    const zwif_desc_t basic = intf(n_flirs, 0x20), sw = intf(n_flirs, 0x25);
    // A listed get to a FLiRS node expects its report even without the flag.
    ASSERT_EQ(1, exec(sw, {0x25, 0x02}));
    auto get = wait_cmd(n_flirs, {0x25, 0x02}, 5s);
    ASSERT_TRUE(get);
    ASSERT_EQ(1, exec(basic, {0x20, 0x01, 0x00}));
    ASSERT_EQ(1, exec(basic, {0x20, 0x01, 0x63}));
    auto next = wait_cmd(n_flirs, {0x20, 0x01, 0x00}, late(10000));
    ASSERT_TRUE(next);
    EXPECT_GE(next->time - get->time, early(10000));
    EXPECT_LE(next->time - get->time, late(10000));
    // The next one is not a get: it follows without a wait of its own.
    auto last = wait_cmd(n_flirs, {0x20, 0x01, 0x63}, late(10000));
    ASSERT_TRUE(last);
    EXPECT_GE(last->index, next->index);
}

TEST_F(Send, AFailedSendReleasesTheWaitingNode)
{
    const zwif_desc_t basic = intf(n_flirs, 0x20);
    gw->policy().push_next(sim::behaviour::nack());
    ASSERT_EQ(1, exec(basic, {0x20, 0x02}, ZWIF_EXEC_RPT_IF_GET));
    ASSERT_TRUE(eventually([&] { return with_node(n_flirs, [](zwnode_p n) { return n->wait_rpt == 0; }); }));
    EXPECT_EQ(0, exec(basic, {0x20, 0x01, 0x05}));
    EXPECT_TRUE(wait_cmd(n_flirs, {0x20, 0x01, 0x05}, 5s));
}

TEST_F(Send, PostSendTasksRunOnlyAfterDelivery)
{
    with_node(n_flirs, [](zwnode_p n) {
        n->net->controller_role = 0x02;
        return 0;
    });
    const zwif_desc_t basic = intf(n_flirs, 0x20);
    auto task_list = [](uint8_t first) {
        auto *t = new zwnode_task_list_t;
        t->tasks.push_back({{first, 2, 3, 4, 4, 0}, ZWNODE_TASK_RET_ROUTE, n_flirs});
        return t;
    };
    const uint8_t get[] = {0x20, 0x02};
    // Refused by the gateway: the tasks are dropped, not run.
    gw->policy().push_next(sim::behaviour::nack());
    ASSERT_EQ(1, zwif_exec(&basic, get, sizeof get, nullptr, nullptr, ZWIF_EXEC_TASKS | ZWIF_EXEC_RPT_IF_GET,
                           task_list(7)));
    ASSERT_TRUE(eventually([&] { return with_node(n_flirs, [](zwnode_p n) { return n->wait_rpt == 0; }); }));
    EXPECT_EQ(0, with_node(n_flirs, [](zwnode_p n) { return int(n->ret_route[0]); }));
    // Delivered: the tasks run, and the node still waits for its report.
    ASSERT_EQ(1, zwif_exec(&basic, get, sizeof get, nullptr, nullptr, ZWIF_EXEC_TASKS | ZWIF_EXEC_RPT_IF_GET,
                           task_list(9)));
    ASSERT_TRUE(eventually([&] { return with_node(n_flirs, [](zwnode_p n) { return n->ret_route[0] == 9; }); }));
    EXPECT_EQ(1, with_node(n_flirs, [](zwnode_p n) { return int(n->wait_rpt); }));
}

TEST_F(Send, NothingLeavesAStoppedNetwork)
{
    const zwif_desc_t basic = intf(n_listen, 0x20);
    const zwif_desc_t sleeper = intf(n_sleep, 0x20);
    ASSERT_EQ(1, queue(sleeper, 60, {0x20, 0x01, 0x01}));
    zwnet_exit(net_);
    net_ = nullptr;
    // The descriptors' network is gone; nothing to call. Queued commands
    // were freed with it (AddressSanitizer checks).
    (void)basic;
}

}  // namespace
