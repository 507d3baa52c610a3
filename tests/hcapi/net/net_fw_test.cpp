// Firmware update of a simulated node over real loopback UDP: the image
// from an Intel HEX file made by objcopy and from the raw file, fragments
// with their CRCs, a damaged fragment asked for again, progress and the
// final status as operation 19, and the probe of the device restarting
// after it.
#include "hc_test_support.h"

#include "hcapi/include/zwif_mgmt.h"
#include "hcapi/net/zwnet_fw.h"
#include "hcapi/net/zwnet_ops.h"
#include "sim/sim_node.h"

#include <cstdlib>
#include <fstream>

namespace hc_test {
namespace {

constexpr uint8_t n_fw = 7;

std::atomic<int> g_req_sts{-1}, g_final_sts{-1}, g_wait{-1};
std::atomic<int> g_wait_tm{-1};
std::mutex g_prog_mtx;
std::vector<int> g_prog;

void on_req(zwif_desc_t *, uint8_t sts) { g_req_sts = sts; }
void on_sts(zwif_desc_t *, uint8_t sts, uint16_t wait_tm, uint8_t wait)
{
    g_final_sts = sts;
    g_wait_tm = wait_tm;
    g_wait = wait;
}
void on_info(zwif_desc_t *, const zwif_fw_info_t *) {}

std::mutex g_restart_mtx;
std::vector<std::pair<int, int>> g_restarts;  // node id, status
void on_restart(const zwnode_desc_t *node, int status)
{
    std::lock_guard lk(g_restart_mtx);
    g_restarts.emplace_back(node->nodeid, status);
}

void on_notify_fw(void *user, uint8_t op, uint16_t sts, const zwnet_op_info_t *info)
{
    if (op == ZWNET_OP_FW_UPDT && sts == 2 && info != nullptr && info->type == ZWNET_OP_INFO_FW_PROG) {
        std::lock_guard lk(g_prog_mtx);
        g_prog.push_back(info->fw_prog);
    }
    on_notify(user, op, sts, info);
}

std::vector<uint8_t> image_bytes(size_t n)
{
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    return b;
}

class FwUpdate : public HcNet {
protected:
    void SetUp() override
    {
        g_req_sts = g_final_sts = g_wait = g_wait_tm = -1;
        {
            std::lock_guard lk(g_prog_mtx);
            g_prog.clear();
        }
        {
            std::lock_guard lk(g_restart_mtx);
            g_restarts.clear();
        }
        config c;
        c.nodes = {{n_fw, true, false, false, false, false, {0x7A}, 0}};
        ASSERT_NO_FATAL_FAILURE(start(c));
        model = std::make_unique<sim::node_model>(*gw);
        sim::node_profile p;
        p.node_id = n_fw;
        // Version 3, fragments of up to 32 bytes, 3 reports per Get, 50 ms
        // before each Get, restart within 5 s.
        p.classes = {{sim::cc_fw_update, 3, {0x01, 0x23, 0x45, 0x67, 0x00, 32, 3, 5, 0x00, 0x05}}};
        ASSERT_EQ(0, model->add(p));
        model->set_unsolicited_destination(sim::endpoint{"127.0.0.1", zwnet_host_port_get(net_)});
        {
            zwnet_lock lk(net_);
            zwif_p i = zwif_rec_get(&fw_if_raw());
            ASSERT_NE(nullptr, i);
            i->ver = i->real_ver = 3;
        }
        dir = "/tmp/fwtest." + std::to_string(::getpid()) + "." + prefix;
        ASSERT_EQ(0, std::system(("mkdir -p " + dir).c_str()));
        in.notify = on_notify_fw;
        zwnet_lock lk(net_);
        net_->init.notify = on_notify_fw;
    }
    void TearDown() override
    {
        HcNet::TearDown();
        model.reset();
        std::system(("rm -rf " + dir).c_str());
    }
    zwif_desc_t &fw_if_raw()
    {
        d = intf(n_fw, 0x7A);
        return d;
    }
    std::string write_raw(const std::string &name, const std::vector<uint8_t> &img)
    {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(img.data()),
                                                    static_cast<std::streamsize>(img.size()));
        return path;
    }
    // Reads the meta data, so that the library knows the node's fragment size.
    void read_meta()
    {
        zwif_desc_t f = fw_if_raw();
        ASSERT_EQ(1, zwif_fw_info_get(&f, on_info) >= 0 ? 1 : 0);
        ASSERT_TRUE(eventually([&] {
            zwnet_lock lk(net_);
            zwif_p i = zwif_rec_get(&f);
            return i != nullptr && i->mgmt && i->mgmt->fw.valid;
        }));
    }
    void run_update(const std::string &path, const std::vector<uint8_t> &img, zwnode_restart_fn restart = nullptr)
    {
        ASSERT_TRUE(no_operation());
        ASSERT_NO_FATAL_FAILURE(read_meta());
        zwif_desc_t f = fw_if_raw();
        zwif_fw_updt_req_t req{0x0123, 0x4567, 1, 0, path.c_str(), on_req, on_sts, restart};
        ASSERT_GE(start_when_free([&] { return zwif_fw_updt_req(&f, &req); }), 0);
        // A second request while this one runs is refused.
        EXPECT_EQ(ZW_ERR_LAST_OP_NOT_DONE, zwif_fw_updt_req(&f, &req));
        ASSERT_TRUE(eventually(
            [&] {
                for (const app_event &e : rec.of(0))
                    if (e.a == ZWNET_OP_FW_UPDT && (e.b == 0 || e.b == 255))
                        return true;
                return false;
            },
            60s));
        const std::optional<sim::firmware_view> v = model->firmware(n_fw);
        ASSERT_TRUE(v.has_value());
        EXPECT_EQ(img, v->image);
        EXPECT_EQ(32, v->frag_sz);
        EXPECT_TRUE(v->done);
        EXPECT_EQ(0xFF, v->status);
        EXPECT_EQ(0xFF, g_req_sts.load());
        EXPECT_EQ(0xFF, g_final_sts.load());
        EXPECT_EQ(5, g_wait_tm.load());
        EXPECT_EQ(1, g_wait.load());
        std::vector<int> ops;
        for (const app_event &e : rec.of(0))
            if (e.a == ZWNET_OP_FW_UPDT)
                ops.push_back(e.b);
        ASSERT_FALSE(ops.empty());
        EXPECT_EQ(1, ops.front());  // the node took the request
        EXPECT_EQ(0, ops.back());   // and the image
        std::lock_guard lk(g_prog_mtx);
        ASSERT_FALSE(g_prog.empty());
        EXPECT_EQ(100, g_prog.back());
        for (size_t i = 1; i < g_prog.size(); ++i)
            EXPECT_LT(g_prog[i - 1], g_prog[i]);
        for (int p : g_prog)
            EXPECT_EQ(0, p % 2);
        zwnet_lock lk2(net_);
        EXPECT_EQ(ZWNET_OP_NONE, net_->curr_op);
        zwif_p i = zwif_rec_get(&f);
        ASSERT_NE(nullptr, i);
        EXPECT_EQ(ZWIF_FW_IMG_NONE, i->mgmt->fw.img_kind);  // closed at the end
    }

    // The NOPs that reached the node's address from `from` on (resends of
    // one frame count once).
    std::vector<sim::recorded_frame> nops(uint64_t from = 0) const
    {
        std::vector<sim::recorded_frame> out;
        for (const sim::recorded_frame &r : cmds_to(n_fw))
            if (r.index >= from && r.frame.packet.command == std::vector<uint8_t>{0x00})
                out.push_back(r);
        return out;
    }
    // When the node sent its final status report.
    std::chrono::steady_clock::time_point status_time() const
    {
        for (const sim::recorded_frame &r : gw->sent()) {
            const std::vector<uint8_t> &c = r.frame.packet.command;
            if (r.node_id == n_fw && c.size() >= 2 && c[0] == 0x7A && c[1] == 0x07)
                return r.time;
        }
        ADD_FAILURE() << "no status report";
        return {};
    }
    std::vector<std::pair<int, int>> restarts() const
    {
        std::lock_guard lk(g_restart_mtx);
        return g_restarts;
    }

    std::unique_ptr<sim::node_model> model;
    std::string dir;
    zwif_desc_t d{};
};

TEST_F(FwUpdate, RawImageIsSentFragmentByFragment)
{
    const std::vector<uint8_t> img = image_bytes(1000);  // 31 full fragments and one of 8
    const std::string path = write_raw("image", img);   // no extension: binary
    ASSERT_NO_FATAL_FAILURE(run_update(path, img));
    const sim::firmware_view v = *model->firmware(n_fw);
    EXPECT_EQ(0u, v.crc_errors);
    EXPECT_EQ(32u, v.fragments);
    EXPECT_TRUE(model->violations().empty());
}

TEST_F(FwUpdate, HexImageMadeByObjcopyIsDecodedAndADamagedFragmentIsSentAgain)
{
    const std::vector<uint8_t> img = image_bytes(777);
    const std::string raw = write_raw("image.bin", img);
    const std::string hex = dir + "/image.HEX";  // upper case is HEX too
    ASSERT_EQ(0, std::system(("objcopy -I binary -O ihex " + raw + " " + hex).c_str()));
    ASSERT_EQ(0, model->corrupt_fw_fragment(n_fw, 5));
    ASSERT_NO_FATAL_FAILURE(run_update(hex, img));
    const sim::firmware_view v = *model->firmware(n_fw);
    EXPECT_EQ(1u, v.crc_errors);
    // The node asked again from the damaged fragment on.
    EXPECT_NE(std::find(v.gets.begin(), v.gets.end(), 5), v.gets.end());
}

// The node announces a restart of 5 s after the image: the library waits
// that long, then probes it with NOPs until it answers or the request's ten
// tries are spent.
TEST_F(FwUpdate, ARestartingDeviceIsProbedAfterItsWaitUntilItAnswers)
{
    // Away until the test lets it back.
    ASSERT_EQ(0, model->set_fw_restart(n_fw, std::chrono::hours(1)));
    const std::vector<uint8_t> img = image_bytes(100);
    ASSERT_NO_FATAL_FAILURE(run_update(write_raw("image", img), img, on_restart));
    ASSERT_TRUE(eventually([&] { return nops().size() >= 2; }, 30s));
    EXPECT_TRUE(restarts().empty()) << "a failed probe is tried again, not reported";
    ASSERT_EQ(0, model->set_fw_restart(n_fw, std::chrono::milliseconds(0)));
    ASSERT_TRUE(eventually([&] { return !restarts().empty(); }, 30s));
    EXPECT_EQ((std::vector<std::pair<int, int>>{{n_fw, 0}}), restarts());

    const auto probes = nops();
    ASSERT_GE(probes.size(), 3u);
    // Not before the announced wait and the probe's own delay.
    EXPECT_GE(probes.front().time - status_time(), early(5000 + 3000));
    EXPECT_EQ(sim::reply::nack, probes.front().applied);
    EXPECT_EQ(sim::reply::ack, probes.back().applied);
    EXPECT_LE(probes.size(), 10u);
    EXPECT_TRUE(eventually([] { return log_count("Node:7 is alive") >= 1; }));
    EXPECT_LE(2u, log_count("zwnet_restart_node_probe_cb: Send NOP with tx status"));
}

TEST_F(FwUpdate, ADeviceThatNeverComesBackIsReportedAfterTenProbes)
{
    ASSERT_EQ(0, model->set_fw_restart(n_fw, std::chrono::hours(1)));
    const std::vector<uint8_t> img = image_bytes(100);
    ASSERT_NO_FATAL_FAILURE(run_update(write_raw("image", img), img, on_restart));
    ASSERT_TRUE(eventually([&] { return !restarts().empty(); }, 60s));
    EXPECT_EQ((std::vector<std::pair<int, int>>{{n_fw, 1}}), restarts());
    EXPECT_EQ(10u, nops().size());
    for (const sim::recorded_frame &r : nops())
        EXPECT_EQ(sim::reply::nack, r.applied);
    // And then it is left alone.
    EXPECT_FALSE(eventually([&] { return nops().size() > 10; }, scaled(2 * 3000)));
    EXPECT_EQ(1u, restarts().size());
}

TEST_F(FwUpdate, WithoutARestartCallbackNobodyWaitsForTheDevice)
{
    const std::vector<uint8_t> img = image_bytes(100);
    ASSERT_NO_FATAL_FAILURE(run_update(write_raw("image", img), img));
    EXPECT_FALSE(eventually([&] { return !nops().empty(); }, late(5000 + 3000)));
}

// The fragment readers, over a file and over memory: the last fragment is
// short and flagged, and past the end both refuse.
TEST(FwFragRead, FileAndMemoryAgree)
{
    const std::vector<uint8_t> img = image_bytes(100);
    std::FILE *f = std::tmpfile();
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(img.size(), std::fwrite(img.data(), 1, img.size(), f));
    struct row {
        uint16_t rpt;
        int ok;
        uint16_t len;
        int last;
    };
    for (const row &r : {row{1, 1, 40, 0}, row{2, 1, 40, 0}, row{3, 1, 20, 1}, row{4, 0, 0, 0}, row{0, 0, 0, 0},
                         row{0x7FFF, 0, 0, 0}}) {
        for (int mem = 0; mem < 2; ++mem) {
            uint8_t buf[40]{};
            uint16_t len = 40;
            int last = 0;
            const int ok = mem ? zwif_fw_frag_mem_read(img.data(), 100, r.rpt, buf, &len, &last)
                               : zwif_fw_frag_file_read(f, 100, r.rpt, buf, &len, &last);
            SCOPED_TRACE(std::to_string(r.rpt) + (mem ? " memory" : " file"));
            ASSERT_EQ(r.ok, ok);
            if (!ok)
                continue;
            EXPECT_EQ(r.len, len);
            EXPECT_EQ(r.last, last);
            EXPECT_EQ(0, std::memcmp(buf, img.data() + (r.rpt - 1) * 40, len));
        }
    }
    std::fclose(f);
}

// The tracker, fed its events directly on a running network.
class FwTracker : public HcNet {
protected:
    void SetUp() override
    {
        {
            std::lock_guard lk(g_prog_mtx);
            g_prog.clear();
        }
        config c;
        c.nodes = {{n_fw, true, false, false, false, false, {0x7A}, 0}, {8, true, false, false, false, false, {0x7A}, 0}};
        ASSERT_NO_FATAL_FAILURE(start(c));
        zwnet_lock lk(net_);
        net_->init.notify = on_notify_fw;
    }
    // Tracks an update of node n_fw as a request would.
    void begin()
    {
        tracked = intf(n_fw, 0x7A);
        ASSERT_EQ(0, start_when_free([&] {
            zwnet_lock lk(net_);
            return zwnet_op_begin(net_, ZWNET_OP_FW_UPDT);
        }));
        zwnet_lock lk(net_);
        ASSERT_EQ(1, zwnet_fw_updt_sm(net_, ZWNET_FW_EVT_REQ, &tracked));
        // A second request is refused while this one is tracked.
        ASSERT_EQ(0, zwnet_fw_updt_sm(net_, ZWNET_FW_EVT_REQ, &tracked));
        t0 = steady::now();
    }
    void feed(int evt, uint8_t val, uint8_t node_id = n_fw)
    {
        zwnet_fw_evt_t e{val, 0, 0, node_id == n_fw ? tracked : intf(node_id, 0x7A)};
        zwnet_lock lk(net_);
        zwnet_fw_updt_sm(net_, evt, &e);
    }
    std::vector<int> fw_ops() const
    {
        std::vector<int> out;
        for (const app_event &e : rec.of(0))
            if (e.a == ZWNET_OP_FW_UPDT)
                out.push_back(e.b);
        return out;
    }
    bool ended_with(int sts)
    {
        return eventually([&] {
            std::vector<int> o = fw_ops();
            return !o.empty() && o.back() == sts;
        }, 60s);
    }
    uint32_t state()
    {
        zwnet_lock lk(net_);
        return net_->fw_state;
    }

    zwif_desc_t tracked{};
    steady::time_point t0;
};

TEST_F(FwTracker, ProgressIsTheLargestEvenPercentReachedNeverBehind)
{
    struct row {
        std::vector<uint8_t> fed;
        std::vector<int> notified;
    };
    for (const row &r : {row{{1, 3, 5}, {2, 4}},
                         row{{100}, {100}},  // one large fragment: all of it at once
                         row{{10, 7, 12, 13, 50}, {10, 12, 50}}}) {
        ASSERT_NO_FATAL_FAILURE(begin());
        feed(ZWNET_FW_EVT_REQ_RPT, 0xFF);
        for (uint8_t p : r.fed)
            feed(ZWNET_FW_EVT_PROG, p);
        if (r.fed.back() < 100)
            feed(ZWNET_FW_EVT_PROG, 100);
        ASSERT_TRUE(eventually([&] { return state() == 3; }));
        feed(ZWNET_FW_EVT_STS, 0xFF);
        ASSERT_TRUE(ended_with(0));
        std::vector<int> want = r.notified;
        if (want.back() != 100)
            want.push_back(100);
        ASSERT_TRUE(eventually([&] {
            std::lock_guard lk(g_prog_mtx);
            return g_prog == want;
        })) << "after " << r.fed.size() << " progress events";
        std::lock_guard lk(g_prog_mtx);
        g_prog.clear();
    }
}

TEST_F(FwTracker, FinalStatusDecidesAndOtherNodesAreIgnored)
{
    struct row {
        uint8_t sts;
        int op_sts;
    };
    for (const row &r : {row{0xFD, 0}, row{0xFE, 0}, row{0xFF, 0}, row{0x01, 255}, row{0x00, 255}}) {
        ASSERT_NO_FATAL_FAILURE(begin());
        feed(ZWNET_FW_EVT_REQ_RPT, 0xFF, 8);  // another node: ignored
        EXPECT_EQ(1u, state());
        feed(ZWNET_FW_EVT_REQ_RPT, 0xFF);
        feed(ZWNET_FW_EVT_PROG, 100);
        feed(ZWNET_FW_EVT_STS, 0x00, 8);  // another node's failure: ignored
        EXPECT_EQ(3u, state());
        feed(ZWNET_FW_EVT_STS, r.sts);
        ASSERT_TRUE(ended_with(r.op_sts)) << int(r.sts);
        EXPECT_EQ(0u, state());
        ASSERT_TRUE(no_operation());
    }
}

TEST_F(FwTracker, RefusedRequestFailsAtOnce)
{
    ASSERT_NO_FATAL_FAILURE(begin());
    feed(ZWNET_FW_EVT_REQ_RPT, 0x02);
    ASSERT_TRUE(ended_with(255));
    EXPECT_EQ(0u, state());
    ASSERT_TRUE(no_operation());
}

TEST_F(FwTracker, SilentNodeFailsTheUpdateAfterTheStepTime)
{
    ASSERT_NO_FATAL_FAILURE(begin());
    ASSERT_TRUE(ended_with(255));
    EXPECT_GE(steady::now() - t0, early(ZWNET_FW_STEP_MS));
    EXPECT_EQ(0u, state());
    ASSERT_TRUE(no_operation());
    // Only the failure was notified.
    EXPECT_EQ(std::vector<int>{255}, fw_ops());
}

}  // namespace
}  // namespace hc_test
