// Adding, removing and replacing nodes against the simulated gateway over
// real loopback UDP: the Security 2 questions reaching the application
// through the callback thread, the PIN it types, the statuses of the
// operation, the new node resolved and interviewed; refusals, a wrong PIN,
// an abort, a final status that never comes; remove, failed-node removal
// and replacement; the request thread's probes and bounded retries.
#include "hc_test_support.h"

#include "hcapi/core/zwfac.h"
#include "hcapi/net/zwnet_incl.h"

#include <cstdlib>

namespace {

using namespace hc_test;
using bytes = std::vector<uint8_t>;

constexpr uint8_t new_node = 7;
// The simulated node's DSK begins 11 22: its PIN is 0x1122.
constexpr const char *pin = "04386";
constexpr const char *wrong_pin = "04387";

std::string node_dsk_text()
{
    const sim::nm_config c;
    char *t = zwnet_dsk_to_txt(c.node_dsk.data(), 16);
    std::string s = t != nullptr ? t : "";
    std::free(t);
    return s;
}

// What the application's Security 2 callback heard, and how it answers.
struct s2_app {
    std::mutex mtx;
    std::vector<zwnet_sec2_cb_data_t> calls;
    std::vector<std::string> dsks;
    std::atomic<zwnet_p> net{nullptr};
    bool grant = true;
    uint8_t csa = 0;
    std::string typed_pin = pin;
    bool mutex_held = false;

    static void cb(void *user, zwnet_sec2_cb_data_t *d)
    {
        auto *self = static_cast<s2_app *>(user);
        zwnet_p n = self->net.load();
        {
            std::lock_guard lk(self->mtx);
            self->calls.push_back(*d);
            self->dsks.emplace_back(d->cb_type == ZWNET_SEC2_CB_DSK_REQ ? d->dsk_req.dsk : "");
            self->mutex_held |= zwnet_lck_depth(n) != 0;
        }
        if (!self->grant)
            return;
        if (d->cb_type == ZWNET_SEC2_CB_KEY_REQ) {
            zwnet_add_sec2_grant_key(n, d->key_req.req_keys, self->csa);
        } else {
            const std::string full = (d->dsk_req.pin_required ? self->typed_pin : "") + d->dsk_req.dsk;
            zwnet_add_sec2_accept(n, 1, full.c_str());
        }
    }
    size_t count(uint8_t type)
    {
        std::lock_guard lk(mtx);
        return static_cast<size_t>(
            std::count_if(calls.begin(), calls.end(), [&](const zwnet_sec2_cb_data_t &c) { return c.cb_type == type; }));
    }
};

class Incl : public HcNet {
protected:
    void SetUp() override
    {
        {
            std::lock_guard lk(g_log_mtx);
            g_log.clear();
        }
        gw_nodes = sim::sample_network();
        // The node that the next add brings: the gateway knows its address
        // but does not list it yet.
        sim::nm_node n;
        n.node_id = new_node;
        n.in_node_list = false;
        gw_nodes.push_back(n);
    }

    void start_net(unsigned tick_ms = 10)
    {
        config c;
        c.tick_ms = tick_ms;
        ASSERT_NO_FATAL_FAILURE(start(c));
        s2.net = net_;
        ASSERT_TRUE(no_operation());
        zwnet_lock lk(net_);
        // A gateway that includes with Security 2 and is the network's
        // inclusion controller.
        ASSERT_TRUE(net_->controller_role & 0x02);
        net_->controller_capability |= 0x01;
    }

    zwnet_sec2_req_t s2_req(const char *dsk = nullptr)
    {
        zwnet_sec2_req_t r{};
        r.user = &s2;
        r.cb = s2_app::cb;
        r.dsk = dsk;
        return r;
    }

    bool addr_known(uint8_t id)
    {
        plt_lock lk(net_->appl->tbl_mtx);
        return net_->appl->node_ip[id - 1].valid != 0;
    }
    bool node_event(uint8_t id, uint32_t sts) const
    {
        for (const app_event &e : rec.of(1))
            if (e.a == id && e.b == static_cast<int>(sts))
                return true;
        return false;
    }

    s2_app s2;
};

TEST_F(Incl, SecurityTwoAddAsksKeysAndPinThenResolvesAndInterviewsTheNode)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    nm->update_config([](sim::nm_config &c) {
        c.pin_check = true;
        c.csa_request = false;
    });
    const size_t dsk_gets = nm_reqs(0x4D, 0x08).size();
    zwnet_sec2_req_t req = s2_req();
    ASSERT_EQ(0, zwnet_add(net_, 1, &req, 0));
    ASSERT_TRUE(eventually([&] { return op_ended(ZWNET_OP_ADD_NODE); }, 60s));

    EXPECT_EQ((std::vector<int>{1, 2, ZWNET_OP_STS_DONE}), op_sts(ZWNET_OP_ADD_NODE));
    {
        std::lock_guard lk(s2.mtx);
        ASSERT_EQ(2u, s2.calls.size());
        EXPECT_EQ(ZWNET_SEC2_CB_KEY_REQ, s2.calls[0].cb_type);
        EXPECT_EQ(0x87, s2.calls[0].key_req.req_keys);
        EXPECT_EQ(0, s2.calls[0].key_req.req_csa);
        EXPECT_EQ(ZWNET_SEC2_CB_DSK_REQ, s2.calls[1].cb_type);
        EXPECT_EQ(1, s2.calls[1].dsk_req.pin_required) << "the gateway blanked the PIN";
        EXPECT_EQ(node_dsk_text().substr(5), s2.dsks[1]) << "the DSK without its blanked first group";
        EXPECT_FALSE(s2.mutex_held);
    }
    // On the wire: the gateway's DSK first, then an add in Security 2 mode,
    // the keys granted, the PIN bytes.
    const auto dsk_get = nm_reqs(0x4D, 0x08), add = nm_reqs(0x34, 0x01);
    ASSERT_LT(dsk_gets, dsk_get.size());
    ASSERT_EQ(1u, add.size());
    EXPECT_LE(dsk_get[dsk_gets].time, add[0].time);
    EXPECT_EQ(0x07, add[0].command[4]);
    EXPECT_EQ(0x20, add[0].command[5]);
    const auto keys = nm_reqs(0x34, 0x12);
    ASSERT_EQ(1u, keys.size());
    EXPECT_EQ((bytes{0x01, 0x87}), bytes(keys[0].command.begin() + 3, keys[0].command.end()));
    const auto dsk_set = nm_reqs(0x34, 0x14);
    ASSERT_EQ(1u, dsk_set.size());
    EXPECT_EQ((bytes{0x82, 0x11, 0x22}), bytes(dsk_set[0].command.begin() + 3, dsk_set[0].command.end()));

    EXPECT_TRUE(has_node(new_node));
    EXPECT_TRUE(addr_known(new_node));
    EXPECT_TRUE(eventually([&] { return node_event(new_node, ZWNET_NODE_ADDED); }));
    {
        zwnet_lock lk(net_);
        zwnode_p n = zwnode_find(&net_->ctl, new_node);
        ASSERT_NE(nullptr, n);
        EXPECT_EQ(1, n->s2_keys_valid);
        EXPECT_EQ(0x87, n->s2_grnt_keys);
        EXPECT_EQ(node_dsk_text(), n->s2_dsk);
        EXPECT_NE(nullptr, n->ep.intf) << "interviewed: its interfaces exist";
    }
    EXPECT_TRUE(nm->violations().empty());
}

TEST_F(Incl, AnExpectedDskIsCheckedHereAndTheApplicationIsNotAsked)
{
    struct dsk_case {
        std::string expected;
        uint8_t accept_flags;  // first byte of the DSK Set
    };
    const std::string whole = node_dsk_text();
    const dsk_case cases[] = {
        {whole, 0x82},                                      // typed whole: accepted with its PIN
        {"00000" + whole.substr(5), 0x82},                  // another PIN: the blanked report still matches...
        {whole.substr(0, 6) + "00000" + whole.substr(11), 0x00},  // a group differs: rejected
    };
    ASSERT_NO_FATAL_FAILURE(start_net());
    nm->update_config([](sim::nm_config &c) { c.pin_check = true; });
    for (const dsk_case &c : cases) {
        SCOPED_TRACE(c.expected);
        const size_t before = nm_reqs(0x34, 0x14).size();
        zwnet_sec2_req_t req = s2_req(c.expected.c_str());
        ASSERT_EQ(0, start_when_free([&] { return zwnet_add(net_, 1, &req, 0); }));
        ASSERT_TRUE(eventually([&] { return nm_reqs(0x34, 0x14).size() > before; }, 30s));
        EXPECT_EQ(c.accept_flags, nm_reqs(0x34, 0x14).back().command[3]);
        ASSERT_TRUE(eventually([&] { return curr_op() != ZWNET_OP_ADD_NODE; }, 60s));
    }
    EXPECT_EQ(0u, s2.count(ZWNET_SEC2_CB_DSK_REQ));
    EXPECT_EQ(3u, s2.count(ZWNET_SEC2_CB_KEY_REQ));
}

TEST_F(Incl, AWrongPinEndsTheAddWithFailure)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    nm->update_config([](sim::nm_config &c) { c.pin_check = true; });
    s2.typed_pin = wrong_pin;
    zwnet_sec2_req_t req = s2_req();
    ASSERT_EQ(0, zwnet_add(net_, 1, &req, 0));
    ASSERT_TRUE(eventually([&] { return op_ended(ZWNET_OP_ADD_NODE); }, 60s));
    EXPECT_EQ((std::vector<int>{ZWNET_OP_STS_FAILED}), op_sts(ZWNET_OP_ADD_NODE));
    EXPECT_EQ(ZWNET_OP_NONE, curr_op());
    EXPECT_FALSE(has_node(new_node));
    EXPECT_EQ(1u, log_count("add_node_nw_cb: status:7 (Failed)"));
}

TEST_F(Incl, AbortWhileTheKeysAreAskedEndsCleanly)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    s2.grant = false;
    zwnet_sec2_req_t req = s2_req();
    ASSERT_EQ(0, zwnet_add(net_, 1, &req, 0));
    ASSERT_TRUE(eventually([&] { return s2.count(ZWNET_SEC2_CB_KEY_REQ) == 1; }, 30s));
    EXPECT_EQ(0, zwnet_abort(net_));
    EXPECT_EQ(ZWNET_OP_NONE, curr_op());
    ASSERT_TRUE(eventually([&] {
        for (const sim::nm_request &q : nm_reqs(0x34, 0x01))
            if (q.command[4] == 0x05)
                return true;
        return false;
    })) << "the gateway is told to stop";
    // The gateway's answer to the stop ends nothing more; a new operation starts.
    EXPECT_EQ(0, start_when_free([&] { return zwnet_add(net_, 0, nullptr, 0); }));
    ASSERT_TRUE(eventually([&] { return op_ended(ZWNET_OP_RM_NODE); }, 30s));
    EXPECT_TRUE(op_sts(ZWNET_OP_ADD_NODE).empty());
}

TEST_F(Incl, RefusedStartsSetNoOperation)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    zwnet_sec2_req_t no_cb{};
    zwnet_sec2_req_t bad_dsk = s2_req("12345-12345");
    zwnet_sec2_req_t ok = s2_req();
    struct refusal {
        const char *what;
        std::function<int()> call;
        int rc;
    };
    const refusal cases[] = {
        {"S2 request without callback", [&] { return zwnet_add(net_, 1, &no_cb, 0); }, ZW_ERR_VALUE},
        {"DSK text of two groups", [&] { return zwnet_add(net_, 1, &bad_dsk, 0); }, ZW_ERR_VALUE},
        {"on behalf without the gateway's support", [&] { return zwnet_add(net_, 1, &ok, 1); }, ZW_ERR_UNSUPPORTED},
        {"replace of node 0", [&] { return zwnet_fail(net_, 0, 1, &ok, 0); }, ZW_ERR_VALUE},
        {"replace of node 233", [&] { return zwnet_fail(net_, 233, 1, &ok, 0); }, ZW_ERR_VALUE},
        {"null network", [&] { return zwnet_add(nullptr, 1, &ok, 0); }, ZW_ERR_VALUE},
    };
    const size_t reqs = nm->request_count();
    for (const refusal &r : cases) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(r.rc, r.call());
        EXPECT_EQ(ZWNET_OP_NONE, curr_op());
    }
    EXPECT_EQ(reqs, nm->request_count()) << "nothing was sent";

    // While one runs, every other start is refused.
    s2.grant = false;
    nm->update_config([](sim::nm_config &c) { c.csa_request = false; });
    ASSERT_EQ(0, zwnet_add(net_, 1, &ok, 0));
    EXPECT_EQ(ZW_ERR_LAST_OP_NOT_DONE, zwnet_add(net_, 0, nullptr, 0));
    EXPECT_EQ(ZW_ERR_LAST_OP_NOT_DONE, zwnet_fail(net_, 4, 0, nullptr, 0));
    EXPECT_EQ(ZW_ERR_LAST_OP_NOT_DONE, zwnet_fail(net_, 4, 1, &ok, 0));
    EXPECT_EQ(ZWNET_OP_ADD_NODE, curr_op());
    // The node did not ask for client-side authentication: none is granted.
    ASSERT_TRUE(eventually([&] { return s2.count(ZWNET_SEC2_CB_KEY_REQ) == 1; }, 30s));
    EXPECT_EQ(0, zwnet_add_sec2_grant_key(net_, 0x01, 1));
    ASSERT_TRUE(eventually([&] { return nm_reqs(0x34, 0x12).size() == 1; }));
    EXPECT_EQ(0x01, nm_reqs(0x34, 0x12)[0].command[3]) << "CSA bit clear";
    EXPECT_EQ(ZW_ERR_VALUE, zwnet_add_sec2_accept(net_, 1, "not a dsk"));
    zwnet_abort(net_);
}

TEST_F(Incl, ALostFinalStatusEndsTheAddAfterTheWatchdog)
{
    ASSERT_NO_FATAL_FAILURE(start_net(1));
    nm->silence_next(0x34, 0x14);  // the DSK Set's answer is the final status
    zwnet_sec2_req_t req = s2_req();
    const auto t0 = steady::now();
    ASSERT_EQ(0, zwnet_add(net_, 1, &req, 0));
    ASSERT_TRUE(eventually([&] { return op_ended(ZWNET_OP_ADD_NODE); }, 120s));
    const auto waited = steady::now() - t0;
    EXPECT_GE(waited, early(ZWNET_INCL_WATCHDOG_MS)) << "timers are accurate to a tick";
    EXPECT_EQ((std::vector<int>{ZWNET_OP_STS_FAILED}), op_sts(ZWNET_OP_ADD_NODE));
    EXPECT_EQ(ZWNET_OP_NONE, curr_op());
    EXPECT_EQ(0, start_when_free([&] { return zwnet_add(net_, 0, nullptr, 0); })) << "the next operation starts";
}

TEST_F(Incl, RemoveAndFailedNodeRemoval)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    ASSERT_TRUE(has_node(5));
    ASSERT_EQ(0, zwnet_add(net_, 0, nullptr, 0));
    ASSERT_TRUE(eventually([&] { return op_ended(ZWNET_OP_RM_NODE); }, 30s));
    EXPECT_EQ((std::vector<int>{ZWNET_OP_STS_DONE}), op_sts(ZWNET_OP_RM_NODE));
    EXPECT_FALSE(has_node(5));
    EXPECT_TRUE(eventually([&] { return node_event(5, ZWNET_NODE_REMOVED); }));

    // The gateway refuses: the node stays, the operation fails.
    nm->update_config([](sim::nm_config &c) { c.failed_remove_status = 0x00; });
    ASSERT_EQ(0, start_when_free([&] { return zwnet_fail(net_, 4, 0, nullptr, 0); }));
    ASSERT_TRUE(eventually([&] { return op_ended(ZWNET_OP_RM_FAILED_ID); }, 30s));
    EXPECT_EQ((std::vector<int>{ZWNET_OP_STS_FAILED}), op_sts(ZWNET_OP_RM_FAILED_ID));
    EXPECT_TRUE(has_node(4));
    EXPECT_EQ(1u, log_count("rm_failed_node_cb: status:0(The node is working properly), node id:4"));

    nm->update_config([](sim::nm_config &c) { c.failed_remove_status = 0x01; });
    ASSERT_EQ(0, start_when_free([&] { return zwnet_fail(net_, 4, 0, nullptr, 0); }));
    ASSERT_TRUE(eventually([&] { return op_sts(ZWNET_OP_RM_FAILED_ID).size() == 2; }, 30s));
    EXPECT_EQ(ZWNET_OP_STS_DONE, op_sts(ZWNET_OP_RM_FAILED_ID)[1]);
    EXPECT_FALSE(has_node(4));
    EXPECT_FALSE(addr_known(4));
    EXPECT_TRUE(eventually([&] { return node_event(4, ZWNET_NODE_REMOVED); }));
}

TEST_F(Incl, ReplaceRunsSecurityTwoAndInterviewsAndAMissingNodeEndsIt)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    zwnet_sec2_req_t req = s2_req();
    ASSERT_EQ(0, zwnet_fail(net_, 4, 1, &req, 0));
    ASSERT_TRUE(eventually([&] { return op_ended(ZWNET_OP_RP_NODE); }, 60s));
    EXPECT_EQ((std::vector<int>{1, 2, ZWNET_OP_STS_DONE}), op_sts(ZWNET_OP_RP_NODE));
    const auto rplc = nm_reqs(0x34, 0x09);
    ASSERT_EQ(1u, rplc.size());
    EXPECT_EQ(4, rplc[0].command[3]);
    EXPECT_EQ(0x07, rplc[0].command[5]) << "Security 2 mode";
    EXPECT_TRUE(eventually([&] { return node_event(4, ZWNET_NODE_UPDATED); }));
    {
        zwnet_lock lk(net_);
        zwnode_p n = zwnode_find(&net_->ctl, 4);
        ASSERT_NE(nullptr, n);
        EXPECT_EQ(0x87, n->s2_grnt_keys);
    }

    // A node the network does not hold: the replace ends with failure and
    // leaves no node behind.
    ASSERT_FALSE(has_node(9));
    ASSERT_EQ(0, start_when_free([&] { return zwnet_fail(net_, 9, 1, &req, 0); }));
    ASSERT_TRUE(eventually([&] { return op_sts(ZWNET_OP_RP_NODE).size() == 4; }, 60s));
    EXPECT_EQ(ZWNET_OP_STS_FAILED, op_sts(ZWNET_OP_RP_NODE)[3]);
    EXPECT_EQ(1u, log_count("rplc_failed_node_cb: node id:9 not in the network"));
    EXPECT_EQ(ZWNET_OP_NONE, curr_op());
    EXPECT_FALSE(has_node(9));
}

// ---------------------------------------------------------------------------
// The request thread
// ---------------------------------------------------------------------------

TEST_F(Incl, ALocalResetProbesTheNodeAndRemovesItOnlyWhenItIsGone)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    // Node 2 answers; node 5 has no address, so its NOP cannot arrive.
    ASSERT_LE(0, from_node(2, {0x5A, 0x01}));
    ASSERT_TRUE(eventually([&] { return log_count("Node:2 is alive") >= 1; }, 30s));
    EXPECT_TRUE(has_node(2));
    EXPECT_TRUE(nm_reqs(0x34, 0x07).empty());

    {
        zwnet_lock lk(net_);
        ASSERT_NE(nullptr, zwnode_find(&net_->ctl, 5));
    }
    const auto t0 = steady::now();
    zwnet_req_t probe;
    probe.node_id = 5;
    probe.type = ZWNET_REQ_NOP_PROBE;
    zwnet_req_post(net_, probe);
    ASSERT_TRUE(eventually([&] { return op_ended(ZWNET_OP_RM_FAILED_ID); }, 30s));
    EXPECT_GE(steady::now() - t0, early(3000));
    EXPECT_EQ((std::vector<int>{ZWNET_OP_STS_DONE}), op_sts(ZWNET_OP_RM_FAILED_ID));
    EXPECT_FALSE(has_node(5));
    EXPECT_EQ(5, nm_reqs(0x34, 0x07).at(0).command[3]);
}

TEST_F(Incl, ARefusedFailedRemovalIsRetriedAFewTimesAfterAProbeNotForEver)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    nm->update_config([](sim::nm_config &c) { c.failed_remove_status = 0x08; });
    zwnet_req_t r;
    r.node_id = 5;
    r.type = ZWNET_REQ_FAILED_RM;
    zwnet_req_post(net_, r);
    ASSERT_TRUE(eventually([&] { return log_count("Node:5 stays") == 1; }, 60s));
    const size_t tries = nm_reqs(0x34, 0x07).size();
    EXPECT_EQ(4u, tries);
    EXPECT_LE(3u, log_count("Send NOP with tx status")) << "each retry probes first";
    EXPECT_TRUE(has_node(5));
    // Nothing more follows.
    EXPECT_FALSE(eventually([&] { return nm_reqs(0x34, 0x07).size() > tries; }, scaled(3 * 8000)));
    EXPECT_EQ(ZWNET_OP_NONE, curr_op());
}

TEST_F(Incl, AProbeWaitsForTheRunningOperation)
{
    ASSERT_NO_FATAL_FAILURE(start_net());
    s2.grant = false;
    zwnet_sec2_req_t req = s2_req();
    ASSERT_EQ(0, zwnet_add(net_, 1, &req, 0));
    zwnet_req_t r;
    r.node_id = 5;
    r.type = ZWNET_REQ_FAILED_RM;
    zwnet_req_post(net_, r);
    EXPECT_FALSE(eventually([&] { return !nm_reqs(0x34, 0x07).empty(); }, scaled(3 * 3000)));
    EXPECT_EQ(ZWNET_OP_ADD_NODE, curr_op());
    zwnet_abort(net_);
    ASSERT_TRUE(eventually([&] { return !nm_reqs(0x34, 0x07).empty(); }, 30s));
}

TEST_F(Incl, TheRequestThreadRunsAndStopsWithTheNetwork)
{
    // At real time, without waiting for initialisation, which the exit
    // stops as well.
    wait_init = false;
    config c;
    c.tick_ms = 100;
    ASSERT_NO_FATAL_FAILURE(start(c));
    EXPECT_EQ(1u, thread_names().count("zwnet_req"));
    // A retry that would wait 8 s does not hold the exit.
    zwnet_req_t r;
    r.node_id = 5;
    r.type = ZWNET_REQ_FAILED_RM_RETRY;
    zwnet_req_post(net_, r);
    std::this_thread::sleep_for(50ms);
    const auto t0 = steady::now();
    zwnet_exit(net_);
    net_ = nullptr;
    EXPECT_LT(steady::now() - t0, 6s);
    EXPECT_TRUE(eventually([] { return thread_names().count("zwnet_req") == 0; }));
}

}  // namespace
