// The per-class calls as a table: (call, arguments) -> result, the frame it
// hands to the send path and the operation code it leaves on the command.
// A sleeping node keeps what the calls send in its queue, where both can be
// read back.
#include "../net/hc_test_support.h"

#include "hcapi/core/zwsend.h"

namespace {

using namespace hc_test;

enum : uint8_t { n_sleeper = 9 };

class ClassCalls : public HcNet {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(start({10, {{n_sleeper, false, false, true, false, false, {0x20, 0x25, 0x80, 0x84}, 0}}}));
    }

    // The frames and operation codes (count 1 only) queued for the node.
    std::vector<std::pair<std::vector<uint8_t>, uint16_t>> queued()
    {
        zwnet_lock lk(net_);
        zwnode_p n = zwnode_find(&net_->ctl, n_sleeper);
        std::vector<std::pair<std::vector<uint8_t>, uint16_t>> out;
        for (const auto &c : n->cmd_q)
            out.push_back({c->cmd, c->op_cnt ? c->op : uint16_t{0}});
        return out;
    }
    void clear()
    {
        zwnode_desc_t d = node(n_sleeper);
        ASSERT_EQ(0, zwnode_cmd_q_cancel(&d));
    }
};

TEST_F(ClassCalls, EachCallSendsItsFrameWithItsOperationCode)
{
    struct call_case {
        const char *name;
        uint16_t cls;
        std::function<int(const zwif_desc_t *)> call;
        int rc;
        std::vector<uint8_t> frame;  // empty: nothing sent
        uint16_t op;
    };
    const call_case cases[] = {
        {"basic set", 0x20, [](auto d) { return zwif_basic_set(d, 0x30); }, 1, {0x20, 0x01, 0x30}, 32},
        {"basic set on", 0x20, [](auto d) { return zwif_basic_set(d, 0xFF); }, 1, {0x20, 0x01, 0xFF}, 32},
        {"basic set 100", 0x20, [](auto d) { return zwif_basic_set(d, 100); }, ZW_ERR_VALUE, {}, 0},
        {"basic get", 0x20, [](auto d) { return zwif_basic_get(d, ZWIF_GET_BMSK_LIVE); }, 1, {0x20, 0x02}, 31},
        {"basic get, no flags", 0x20, [](auto d) { return zwif_basic_get(d, 0); }, 0, {}, 0},
        {"basic get, cached, no callback", 0x20, [](auto d) { return zwif_basic_get(d, 3); }, ZW_ERR_RPT_NOT_FOUND,
         {}, 0},
        {"switch on", 0x25, [](auto d) { return zwif_switch_set(d, 1); }, 1, {0x25, 0x01, 0xFF}, 20},
        {"switch off", 0x25, [](auto d) { return zwif_switch_set(d, 0); }, 1, {0x25, 0x01, 0x00}, 20},
        {"switch any non-zero is on", 0x25, [](auto d) { return zwif_switch_set(d, 7); }, 1, {0x25, 0x01, 0xFF},
         20},
        {"switch get", 0x25, [](auto d) { return zwif_switch_get(d, ZWIF_GET_BMSK_LIVE); }, 1, {0x25, 0x02}, 19},
        {"battery get", 0x80, [](auto d) { return zwif_batt_get(d, ZWIF_GET_BMSK_LIVE); }, 1, {0x80, 0x02}, 43},
        {"switch call on basic", 0x20, [](auto d) { return zwif_switch_set(d, 1); }, ZW_ERR_CLASS_NOT_FOUND, {}, 0},
        {"battery call on switch", 0x25, [](auto d) { return zwif_batt_get(d, 2); }, ZW_ERR_CLASS_NOT_FOUND, {}, 0},
        {"basic setter on battery", 0x80, [](auto d) { return zwif_basic_rpt_set(d, nullptr); },
         ZW_ERR_CLASS_NOT_FOUND, {}, 0},
    };
    for (const call_case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(clear());
        zwif_desc_t d = intf(n_sleeper, c.cls);
        EXPECT_EQ(c.rc, c.call(&d));
        const auto q = queued();
        if (c.frame.empty()) {
            EXPECT_TRUE(q.empty());
            continue;
        }
        ASSERT_EQ(1u, q.size());
        EXPECT_EQ(c.frame, q[0].first);
        EXPECT_EQ(c.op, q[0].second);
    }
}

TEST_F(ClassCalls, AnEchoedSetThatFailsLeavesNoEcho)
{
    auto echo_len = [&] {
        plt_mtx_lck(net_->echo_mtx);
        const uint16_t len = net_->echo_len;
        plt_mtx_ulck(net_->echo_mtx);
        return len;
    };
    zwif_desc_t b = intf(n_sleeper, 0x20), sw = intf(n_sleeper, 0x25);
    // Fill the sleeping node's queue (a repeat of the last command merges).
    for (size_t k = 0; k < ZWNODE_Q_MAX; ++k)
        ASSERT_EQ(1, zwif_basic_set(&b, k % 2 ? 1 : 2)) << k;
    EXPECT_EQ(3, echo_len()) << "a queued set keeps its echo for when it is delivered";
    EXPECT_EQ(ZW_ERR_MEMORY, zwif_switch_set(&sw, 1));
    EXPECT_EQ(0, echo_len()) << "the echo of a set that was never sent is gone";
}

}  // namespace
