// Network initialisation against the simulated gateway over real loopback
// UDP: who the gateway is, the node list, the unsolicited destination, node
// addresses (with their retries), the node-information file, the end of
// operation 1; the gateway's firmware deciding multi-client operation; one
// operation at a time and abort; repeated init and exit.
#include "hc_test_support.h"

#include "hcapi/core/zwfac.h"
#include "hcapi/net/zwnet_ndb.h"
#include "hcapi/zip/zip_addr.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace hc_test;
using bytes = std::vector<uint8_t>;

constexpr uint32_t home_id = 0xC0FFEE01;

bytes file_bytes(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

class Init : public HcNet {
protected:
    void SetUp() override
    {
        {
            std::lock_guard lk(g_log_mtx);
            g_log.clear();  // each test counts its own lines
        }
        char tmpl[] = "/tmp/zw_init_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        stor_dir = tmpl;
        gw_nodes = sim::sample_network();
    }
    void TearDown() override
    {
        HcNet::TearDown();
        unlink(nif_path().c_str());
        rmdir(stor_dir.c_str());
    }
    std::string nif_path() const
    {
        char name[32];
        std::snprintf(name, sizeof name, "/nif%08X.dat", home_id);
        return stor_dir + name;
    }

    // The end of operation 1 (status 0 or 255) as `r` heard it.
    static std::optional<app_event> op1_end(const app_recorder &r)
    {
        for (const app_event &e : r.of(0))
            if (e.a == ZWNET_OP_INITIALIZE && (e.b == ZWNET_OP_STS_DONE || e.b == ZWNET_OP_STS_FAILED))
                return e;
        return std::nullopt;
    }
    static bool op1_ended(const app_recorder &r) { return op1_end(r).has_value(); }

    // Address requests (inverse node solicitations) for one node.
    std::vector<sim::nm_request> addr_reqs(uint8_t node_id) const
    {
        std::vector<sim::nm_request> out;
        for (const sim::nm_request &q : nm_reqs(0x58, 0x04))
            if (q.command.size() >= 4 && q.command[3] == node_id)
                out.push_back(q);
        return out;
    }
    // Packets of class/command that reached the gateway's own address.
    size_t gw_cmds(uint8_t cls, uint8_t cmd) const
    {
        size_t n = 0;
        for (const sim::recorded_frame &r : gw->received())
            n += r.node_id == 0 && r.frame.kind == sim::frame_kind::packet && r.frame.packet.command.size() >= 2 &&
                 r.frame.packet.command[0] == cls && r.frame.packet.command[1] == cmd;
        return n;
    }
    bool addr_known(uint8_t id)
    {
        plt_lock lk(net_->appl->tbl_mtx);
        return net_->appl->node_ip[id - 1].valid != 0;
    }
};

TEST_F(Init, FiveNodesEndWithSuccessAndAKnownGateway)
{
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(eventually([&] { return op1_ended(rec); }, 60s));
    // Whatever came before the end was progress of operation 1.
    const auto all = rec.of(0);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(ZWNET_OP_INITIALIZE, all.back().a);
    EXPECT_EQ(ZWNET_OP_STS_DONE, all.back().b);
    for (size_t i = 0; i + 1 < all.size(); ++i) {
        EXPECT_EQ(ZWNET_OP_INITIALIZE, all[i].a);
        EXPECT_NE(ZWNET_OP_STS_DONE, all[i].b);
        EXPECT_NE(ZWNET_OP_STS_FAILED, all[i].b);
    }
    EXPECT_TRUE(nm->violations().empty()) << nm->violations().front();

    // The gateway as it described itself.
    const zwnet_desc_t *d = zwnet_get_desc(net_);
    ASSERT_NE(nullptr, d);
    EXPECT_EQ(home_id, d->id);
    EXPECT_EQ(1, d->ctl_id);
    EXPECT_EQ(0x07, d->ctl_role);  // proxy, inclusion, primary
    EXPECT_EQ(0x01, d->ctl_cap & 0x01) << "inclusion version 2: Security 2";
    EXPECT_EQ(3, d->zw_role);
    EXPECT_EQ(&rec, d->user);
    const zwnode_desc_t ctl = node(1);
    EXPECT_EQ(0x0003, ctl.type);
    EXPECT_EQ(0x0001, ctl.pid);
    EXPECT_EQ(0x0710, ctl.proto_ver);
    EXPECT_EQ(0x0702, ctl.app_ver);
    EXPECT_EQ(0x07, ctl.lib_type);
    EXPECT_EQ(4, ctl.dev_id.len);
    EXPECT_EQ(0, std::memcmp(ctl.dev_id.dev_id, "GW-1", 4));
    const uint8_t dsk[16] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                             0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};
    char *dsk_text = zwnet_dsk_to_txt(dsk, 16);
    EXPECT_STREQ(dsk_text, ctl.s2_dsk);
    std::free(dsk_text);
    EXPECT_EQ(2, intf(1, 0x72).ver) << "class versions recorded";
    {
        zwnet_lock lk(net_);
        EXPECT_EQ(nif_path(), net_->nif_path);
        EXPECT_EQ(0u, net_->multi_client);
        EXPECT_EQ(nullptr, net_->wupoll_ctx);
    }

    // Every node, and an address for every node the gateway has one for.
    for (uint8_t id = 2; id <= 6; ++id)
        EXPECT_EQ(0, zwnet_node_desc_get(net_, id, nullptr)) << int(id);
    EXPECT_EQ(ZW_ERR_NODE_NOT_FOUND, zwnet_node_desc_get(net_, 7, nullptr));
    for (uint8_t id : {2, 3, 4, 6})
        EXPECT_TRUE(addr_known(id)) << int(id);
    EXPECT_FALSE(addr_known(5));
    EXPECT_EQ(APPL_NODE_STS_DOWN, zwnet_node_sts_get(net_, 5));

    // An all-zero address is asked again, 2000 ms later each time, five times.
    const auto asked5 = addr_reqs(5);
    ASSERT_EQ(6u, asked5.size());
    for (size_t i = 1; i < asked5.size(); ++i)
        EXPECT_GE(asked5[i].time - asked5[i - 1].time, early(2000)) << i;
    EXPECT_EQ(1u, addr_reqs(2).size());

    // We are the gateway's unsolicited destination, and it knows our classes.
    uint8_t local[16] = {};
    ASSERT_EQ(0, util_local_addr_get(in.gw_addr + 12, local, 1));
    const auto [dst, port] = app->unsol_destination();
    EXPECT_EQ(0, std::memcmp(dst.data() + 12, local, 4));
    EXPECT_EQ(0xFF, dst[10]);
    EXPECT_EQ(zwnet_host_port_get(net_), port);
    const auto nif = app->app_node_info();
    ASSERT_TRUE(nif);
    EXPECT_EQ((bytes{0x8F, 0x85, 0x59, 0x5A, 0xF1, 0x00}), *nif);
}

// What the interview will ask the gateway first: each node's cached node
// information, which makes its root interfaces.
TEST_F(Init, NodeInformationFromTheGatewayMakesTheRootInterfaces)
{
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(eventually([&] { return op1_ended(rec); }, 60s));
    static std::atomic<int> applied{0};
    applied = 0;
    for (const sim::nm_node &n : gw_nodes) {
        const int before = applied;
        ASSERT_EQ(0, zw_request_node_info(net_->appl.get(),
                                          [](appl_layer_ctx *ctx, const appl_node_info_t *info) {
                                              zwnode_info_apply(static_cast<zwnet_p>(ctx->user), info, nullptr);
                                              ++applied;
                                          },
                                          n.node_id, 1));
        ASSERT_TRUE(eventually([&] { return applied > before; }));
        zwnet_lock lk(net_);
        zwnode_p rec_node = zwnode_find(&net_->ctl, n.node_id);
        ASSERT_NE(nullptr, rec_node);
        std::vector<uint16_t> got, want{0x20};
        for (zwif_p i = rec_node->ep.intf; i != nullptr; i = i->next)
            got.push_back(i->cls);
        for (uint8_t c : n.classes)
            if (c != 0x20)
                want.push_back(c);
        EXPECT_EQ(want, got) << int(n.node_id);
        EXPECT_EQ(n.generic, rec_node->ep.generic);
        EXPECT_EQ(n.listening ? 1 : 0, rec_node->listen);
    }
}

TEST_F(Init, NodeListTimeoutFailsAndLeavesTheFileAsItWas)
{
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(eventually([&] { return op1_ended(rec); }, 60s));
    zwnet_exit(net_);
    net_ = nullptr;
    const bytes saved = file_bytes(nif_path());
    ASSERT_FALSE(saved.empty()) << "a good run saves the node-information file at exit";

    // The gateway never answers the node list (nor its retry).
    nm->silence_next(0x52, 0x01);
    nm->silence_next(0x52, 0x01);
    app_recorder r;
    zwnet_init_t p = params();
    p.user = &r;
    ASSERT_EQ(0, zwnet_init(&p, &net_));
    r.net = net_;
    const auto t0 = steady::now();
    ASSERT_TRUE(eventually([&] { return op1_ended(r); }, 60s));
    EXPECT_EQ(ZWNET_OP_STS_FAILED, op1_end(r)->b);
    EXPECT_GE(op1_end(r)->time - t0, early(2 * 5300)) << "two waits, each accurate to a tick";
    EXPECT_EQ(3u, nm_reqs(0x52, 0x01).size()) << "the good run's, then the request and one retry";
    EXPECT_LE(1u, log_count("zwnet_ini_sm: Retrying get node list ..."));
    {
        zwnet_lock lk(net_);
        EXPECT_EQ(1, net_->no_save);
        EXPECT_EQ(ZWNET_OP_NONE, net_->curr_op);
    }
    zwnet_exit(net_);
    net_ = nullptr;
    EXPECT_EQ(saved, file_bytes(nif_path()));
}

TEST_F(Init, FourUnansweredAddressRequestsFailTheRun)
{
    // Once the node list is asked for, the next four address requests (all
    // for node 2, the first node) stay unanswered.
    before_init = [this] {
        gw->add_observer([this](const sim::recorded_frame &f) {
            if (f.dir == sim::direction::received && f.frame.kind == sim::frame_kind::packet &&
                f.frame.packet.command.size() >= 2 && f.frame.packet.command[0] == 0x52 &&
                f.frame.packet.command[1] == 0x01)
                for (int i = 0; i < 4; ++i)
                    nm->silence_next(0x58, 0x04);
        });
    };
    wait_init = false;
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(eventually([&] { return op1_ended(rec); }, 60s));
    EXPECT_EQ(ZWNET_OP_STS_FAILED, op1_end(rec)->b);
    EXPECT_EQ(4u, addr_reqs(2).size());
    EXPECT_TRUE(addr_reqs(3).empty());
    EXPECT_LE(1u, log_count("Failed to get node HAN address"));
    EXPECT_LE(3u, log_count("zwnet_n2ip_sm: resolve node to ip timeout"));
}

// At real time: a busy gateway gets the node list request again 2000 ms
// after it said so, well inside the 5300 ms the request waits.
TEST_F(Init, ABusyGatewayIsAskedForTheNodeListAgainLater)
{
    before_init = [this] { nm->silence_next(0x52, 0x01); };
    wait_init = false;
    gw_nodes.clear();
    config c;
    c.tick_ms = 100;
    ASSERT_NO_FATAL_FAILURE(start(c));
    ASSERT_TRUE(nm->wait_request(0x52, 0x01, 30s));
    const auto busy_at = steady::now();
    ASSERT_LE(0, nm->inject({0x22, 0x01, 0x02}));  // Application Busy, try again later
    ASSERT_TRUE(eventually([&] { return op1_ended(rec); }, 60s));
    EXPECT_EQ(ZWNET_OP_STS_DONE, op1_end(rec)->b);
    const auto lists = nm_reqs(0x52, 0x01);
    ASSERT_EQ(2u, lists.size());
    EXPECT_GE(lists[1].time - busy_at, 1800ms);
    EXPECT_LE(1u, log_count("Received APPLICATION_BUSY"));
    EXPECT_EQ(0u, log_count("zwnet_init_sm: get node list timeout"));
}

TEST_F(Init, AnUnsolicitedDestinationAlreadySetStays)
{
    sim::gw_app_config c;
    c.fw_versions = {0x0210};
    c.unsol_addr[15] = 0x09;
    c.unsol_port = 4321;
    gw_app_cfg = c;
    gw_nodes.clear();
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(eventually([&] { return op1_ended(rec); }, 60s));
    EXPECT_EQ(ZWNET_OP_STS_DONE, op1_end(rec)->b);
    EXPECT_EQ(1u, gw_cmds(0x5F, 0x09));
    EXPECT_EQ(0u, gw_cmds(0x5F, 0x08));
    EXPECT_EQ(4321, app->unsol_destination().second);
    EXPECT_TRUE(nm_reqs(0x58, 0x04).size() == 1) << "the controller alone: no node addresses";
}

struct fw_case {
    uint16_t fw;
    uint32_t multi_client, encap;
    uint16_t features;
    uint8_t mailbox_after;
};

class InitFw : public Init, public ::testing::WithParamInterface<fw_case> {};

TEST_P(InitFw, GatewayFirmwareDecidesMultiClientOperation)
{
    const fw_case &c = GetParam();
    sim::gw_app_config a;
    a.fw_versions = {c.fw};
    gw_app_cfg = a;
    gw_nodes.clear();
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(eventually([&] { return op1_ended(rec); }, 60s));
    EXPECT_EQ(ZWNET_OP_STS_DONE, op1_end(rec)->b);
    {
        zwnet_lock lk(net_);
        EXPECT_EQ(c.multi_client, net_->multi_client);
        EXPECT_EQ(c.encap, net_->encap_opt);
        EXPECT_EQ(c.features, net_->feature & 0x06);
        EXPECT_EQ(c.multi_client != 0, net_->wupoll_ctx != nullptr);
    }
    EXPECT_EQ(c.multi_client, net_->appl->sel_opt.load());
    // One client: the mailbox is switched off; several: it is asked and
    // put into service mode.
    ASSERT_TRUE(eventually([&] { return gw_cmds(0x69, 0x02) >= 1; }));
    EXPECT_EQ(c.mailbox_after, app->mailbox_mode());
    EXPECT_EQ(c.multi_client ? 1u : 0u, gw_cmds(0x69, 0x01));
    EXPECT_EQ(1u, gw_cmds(0x69, 0x02));
}

INSTANTIATE_TEST_SUITE_P(Firmware, InitFw,
                         ::testing::Values(fw_case{0x0210, 0, 0, 0, 0},
                                           fw_case{0x0220, 0, 1, 0, 0},  // encapsulation option only
                                           fw_case{0x0231, 0, 1, 0, 0},
                                           fw_case{0x0232, 0, 0, 0, 0},
                                           fw_case{0x023A, 1, 1, 0, 1},  // several clients, wake-up poll
                                           fw_case{0x023C, 1, 1, 6, 1}));

TEST_F(Init, OneOperationAtATimeAndAbort)
{
    // Initialisation waits on the node list while the calls below run.
    before_init = [this] {
        nm->silence_next(0x52, 0x01);
        nm->silence_next(0x52, 0x01);
    };
    wait_init = false;
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(eventually([&] { return !nm_reqs(0x52, 0x01).empty(); }, 30s));
    {
        zwnet_lock lk(net_);
        ASSERT_EQ(ZWNET_OP_INITIALIZE, net_->curr_op);
    }
    EXPECT_EQ(ZW_ERR_LAST_OP_NOT_DONE, zwnet_update(net_));
    EXPECT_EQ(ZW_ERR_LAST_OP_NOT_DONE, zwnet_send_nif(net_, nullptr, 1));
    EXPECT_LE(2u, log_count("Current operation not completed yet, try again later"));

    // Abort ends initialisation: a new operation can start, and operation
    // 1 never reports.
    const size_t nl_before = nm_reqs(0x52, 0x01).size();
    EXPECT_EQ(0, zwnet_abort(net_));
    {
        zwnet_lock lk(net_);
        EXPECT_EQ(ZWNET_OP_NONE, net_->curr_op);
        EXPECT_EQ(0, net_->sm.init_state);
        EXPECT_EQ(0, net_->sm.tmr);
        EXPECT_EQ(1, net_->no_save) << "a half-built database is never saved";
    }
    ASSERT_EQ(0, zwnet_send_nif(net_, nullptr, 1));
    ASSERT_TRUE(eventually([&] { return rec.count(0) >= 1; }));
    const app_event sent = rec.of(0).front();
    EXPECT_EQ(ZWNET_OP_SEND_NIF, sent.a);
    EXPECT_EQ(ZWNET_OP_STS_DONE, sent.b);
    const auto nif = nm_reqs(0x4D, 0x05);
    ASSERT_EQ(1u, nif.size());
    EXPECT_EQ(0xFF, nif[0].command[4]) << "to every node";
    EXPECT_EQ(0x20, nif[0].command[5]) << "tx options of a broadcast";

    // Abort with no operation sends nothing.
    const size_t reqs = nm->request_count();
    EXPECT_EQ(0, zwnet_abort(net_));
    EXPECT_EQ(reqs, nm->request_count());

    // A low-priority operation gives way to the update, which runs until
    // it is aborted.
    {
        zwnet_lock lk(net_);
        net_->curr_op = ZWNET_OP_NODE_CACHE_UPT;
    }
    EXPECT_EQ(0, zwnet_update(net_));
    EXPECT_LE(1u, log_count("Canceled low priority operation"));
    EXPECT_EQ(0, zwnet_abort(net_));
    {
        zwnet_lock lk(net_);
        EXPECT_EQ(ZWNET_OP_NONE, net_->curr_op);
        net_->controller_role = 0x03;
    }
    // Migration needs a primary gateway.
    EXPECT_EQ(ZW_ERR_UNSUPPORTED, zwnet_migrate(net_));
    {
        zwnet_lock lk(net_);
        EXPECT_EQ(ZWNET_OP_NONE, net_->curr_op);
    }
    // Long after the node list would have timed out twice: still nothing of
    // operation 1, and no further node list request.
    EXPECT_FALSE(eventually([&] { return op1_ended(rec); }, 3 * scaled(5300)));
    EXPECT_EQ(nl_before, nm_reqs(0x52, 0x01).size());
}

TEST_F(Init, NodeUpdateRefusesTheControllerAndRunsForANode)
{
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(eventually([&] { return op1_ended(rec); }, 60s));
    const zwnode_desc_t ctl = node(1);
    EXPECT_EQ(ZW_ERR_UNSUPPORTED, zwnode_update(&ctl));
    const zwnode_desc_t n2 = node(2);
    ASSERT_EQ(0, start_when_free([&] { return zwnode_update(&n2); }));
    ASSERT_TRUE(eventually([&] {
        for (const app_event &e : rec.of(0))
            if (e.a == ZWNET_OP_NODE_UPDATE && e.b == ZWNET_OP_STS_DONE)
                return true;
        return false;
    }));
    // Its end frees the network for the next operation (the network save
    // that follows a change may already run).
    zwnet_lock lk(net_);
    EXPECT_NE(ZWNET_OP_NODE_UPDATE, net_->curr_op);
}

TEST_F(Init, TwentyCyclesOfInitAndExitAgainstFiveNodes)
{
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(eventually([&] { return op1_ended(rec); }, 60s));
    zwnet_exit(net_);
    net_ = nullptr;
    for (int i = 0; i < 20; ++i) {
        app_recorder r;
        zwnet_init_t p = params();
        p.user = &r;
        zwnet_p n = nullptr;
        ASSERT_EQ(0, zwnet_init(&p, &n)) << "cycle " << i;
        r.net = n;
        // Half of them exit in the middle of initialisation.
        if (i % 2 == 0) {
            ASSERT_TRUE(eventually([&] { return op1_ended(r); }, 60s)) << "cycle " << i;
            EXPECT_EQ(ZWNET_OP_STS_DONE, op1_end(r)->b) << "cycle " << i;
        }
        zwnet_exit(n);
    }
}

}  // namespace
