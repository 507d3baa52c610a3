// The node-information file against files written by an independent python3
// generator (tests/hcapi/fac/nif_golden.py), in the current version and an
// old one; every single-byte flip; a byte-identical save, load, save; the
// reader's refusals; and saves killed at random points.
#include "hcapi/core/zwfac.h"

#include "hcapi/core/zwrec.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

// A network record with the nodes the gateway's node list would give.
struct test_net {
    zwnet_p net;
    explicit test_net(uint32_t home, std::initializer_list<uint8_t> ids = {5})
    {
        net = new zwnet;
        EXPECT_EQ(1, plt_mtx_init(&net->mtx));
        net->homeid = home;
        net->grps.emplace_back();
        net->ctl.nodeid = 1;
        net->ctl.net = net;
        net->ctl.ep.node = &net->ctl;
        for (uint8_t id : ids)
            EXPECT_NE(nullptr, zwnode_create(net, id));
    }
    ~test_net()
    {
        {
            zwnet_lock lk(net);
            while (net->ctl.next != nullptr)
                zwnet_node_free(net, net->ctl.next->nodeid);
            zwnode_ep_rm_all(&net->ctl);
            zwep_if_rm_all(&net->ctl.ep);
            std::free(net->ctl.ext_ver);
            net->ctl.ext_ver = nullptr;
        }
        plt_mtx_destroy(net->mtx);
        delete net;
    }
    zwnode_p node(uint8_t id) { return zwnode_find(&net->ctl, id); }
};

bytes build(zwnet_p net)
{
    bytes b;
    EXPECT_EQ(0, zwnet_ni_buf_build(net, &b));
    return b;
}

std::string tmp_dir()
{
    char tmpl[] = "/tmp/zw_nif_XXXXXX";
    EXPECT_NE(nullptr, mkdtemp(tmpl));
    return tmpl;
}

bytes golden(int version)
{
    const char *gen = std::getenv("ZW_NIF_GOLDEN");
    EXPECT_NE(nullptr, gen);
    const std::string dir = tmp_dir();
    const std::string out = dir + "/golden.dat";
    const std::string cmd = std::string("/usr/bin/python3 ") + gen + " " + std::to_string(version) + " " + out;
    EXPECT_EQ(0, std::system(cmd.c_str()));
    std::ifstream in(out, std::ios::binary);
    bytes b((std::istreambuf_iterator<char>(in)), {});
    std::system(("rm -rf '" + dir + "'").c_str());
    return b;
}

void set_crc(bytes &b)
{
    const uint16_t crc = zwnet_crc16(ZWNET_CRC16_INIT, b.data(), b.size() - 2);
    b[b.size() - 2] = static_cast<uint8_t>(crc >> 8);
    b[b.size() - 1] = static_cast<uint8_t>(crc);
}

constexpr uint32_t golden_home = 0xC0FFEE01;

TEST(NifGolden, CurrentVersionLoadsIntoTheRecords)
{
    const bytes file = golden(0x11);
    ASSERT_GT(file.size(), 100u);
    test_net t(golden_home, {5});
    ASSERT_EQ(0, zwnet_ni_buf_load(t.net, file.data(), file.size()));
    zwnet_lock lk(t.net);
    EXPECT_EQ(5, t.net->grps[0].member);
    zwnode_p n = t.node(5);
    ASSERT_NE(nullptr, n);
    EXPECT_EQ(0x0086, n->vid);
    EXPECT_EQ(0x0003, n->type);
    EXPECT_EQ(0x0060, n->pid);
    EXPECT_EQ(1, n->sleep_cap);
    EXPECT_EQ(1, n->enable_cmd_q);
    EXPECT_EQ(1, n->listen);
    EXPECT_EQ(3, n->dev_id.len);
    EXPECT_EQ(0, std::memcmp(n->dev_id.dev_id, "abc", 4));
    EXPECT_EQ(0x0405, n->proto_ver);
    EXPECT_EQ(1, n->mul_cmd_cap);
    EXPECT_EQ(1, n->mul_cmd_ctl);
    EXPECT_EQ(0x83, n->s2_grnt_keys);
    ASSERT_NE(nullptr, n->ext_ver);
    EXPECT_EQ(2, n->ext_ver->fw_cnt);
    EXPECT_EQ(3, n->ext_ver->hw_ver);
    EXPECT_EQ(0x0201, n->ext_ver->fw_ver[0]);  // sub-version byte first on disk
    EXPECT_EQ(0x0403, n->ext_ver->fw_ver[1]);
    EXPECT_STREQ("11111-22222-33333-44444-55555-00001-00002-00003", n->s2_dsk);
    EXPECT_EQ(3600u, n->wkup_intv);
    EXPECT_STREQ("kitchen", n->ep.name);
    EXPECT_EQ(0x0701, n->ep.zwplus_info.usr_icon);

    zwif_p ml = zwif_find_cls(n->ep.intf, 0x25);
    ASSERT_NE(nullptr, ml);
    EXPECT_EQ(2, ml->real_ver);  // the second 0x25 record was ignored
    ASSERT_EQ(10, ml->data_cnt);
    ASSERT_EQ(13, ml->data_item_sz);
    EXPECT_EQ(129, static_cast<uint8_t *>(ml->data)[129]);
    zwif_p alarm = zwif_find_cls(n->ep.intf, 0x71);
    ASSERT_NE(nullptr, alarm);
    EXPECT_EQ(1, alarm->data_cnt);
    zwif_p setp = zwif_find_cls(n->ep.intf, 0x43);
    ASSERT_NE(nullptr, setp);
    EXPECT_EQ(3, setp->data_item_sz);  // current files are not converted
    zwif_p lock = zwif_find_cls(n->ep.intf, 0x62);
    ASSERT_NE(nullptr, lock);
    EXPECT_EQ(1, lock->cch_ele_cnt);
    EXPECT_EQ(3, lock->cch_ele_sz);

    zwep_p ep1 = zwep_find(&n->ep, 1);
    ASSERT_NE(nullptr, ep1);
    EXPECT_EQ(2, ep1->aggr_ep_cnt);
    EXPECT_EQ(3, ep1->aggr_members[1]);
    EXPECT_NE(nullptr, zwif_find_cls(ep1->intf, 0x56));
    EXPECT_EQ(0, n->crc_cap);  // only on the root endpoint
    EXPECT_EQ(nullptr, t.node(9));  // the file never creates nodes
}

TEST(NifGolden, OldVersionIsConverted)
{
    const bytes file = golden(0x01);
    test_net t(golden_home, {5});
    ASSERT_EQ(0, zwnet_ni_buf_load(t.net, file.data(), file.size()));
    zwnet_lock lk(t.net);
    zwnode_p n = t.node(5);
    EXPECT_EQ(0xFFFFFFFFu, n->wkup_intv);  // not read before version 17
    EXPECT_EQ(0, n->listen);                // sleep capable and not FLiRS
    EXPECT_EQ(1, t.net->ctl.listen);
    EXPECT_EQ(0, zwif_find_cls(n->ep.intf, 0x71)->data_cnt);  // dropped before version 7
    zwif_p setp = zwif_find_cls(n->ep.intf, 0x43);
    ASSERT_EQ(1, setp->data_cnt);
    ASSERT_EQ(4 + 20 * 2, setp->data_item_sz);
    const auto *d = static_cast<const uint8_t *>(setp->data);
    EXPECT_EQ(2, d[0]);
    EXPECT_EQ(1, d[8]);
    EXPECT_EQ(1, d[16]);
    EXPECT_EQ(2, d[28]);
    EXPECT_EQ(2, d[36]);
    zwif_p lock = zwif_find_cls(n->ep.intf, 0x62);
    ASSERT_EQ(1, lock->cch_ele_cnt);
    ASSERT_EQ(32, lock->cch_ele_sz);
    EXPECT_EQ(0x10, static_cast<const uint8_t *>(lock->cch_data)[2]);
}

// Every flip is caught by the CRC. With the CRC made right again, the
// records themselves are walked: any answer but a crash or a leak.
TEST(NifGolden, EverySingleByteFlip)
{
    const bytes file = golden(0x11);
    for (size_t i = 0; i < file.size(); ++i) {
        bytes f = file;
        f[i] ^= 0xFF;
        test_net t(golden_home, {5});
        const int rc = zwnet_ni_buf_load(t.net, f.data(), f.size());
        if (i == 2 || i == 3)
            EXPECT_TRUE(rc == ZW_ERR_VERSION || rc == ZW_ERR_FILE) << i;
        else
            EXPECT_EQ(ZW_ERR_FILE, rc) << "byte " << i;
        for (uint8_t x : {0x01, 0x80, 0xFF}) {
            bytes g = file;
            g[i] ^= x;
            if (i + 2 < g.size())
                set_crc(g);
            test_net u(golden_home, {5, 9});
            const int r = zwnet_ni_buf_load(u.net, g.data(), g.size());
            EXPECT_TRUE(r == 0 || r == ZW_ERR_FILE || r == ZW_ERR_FILE_EOF_REACHED || r == ZW_ERR_VERSION ||
                        r == ZW_ERR_HOMEID)
                << "byte " << i << " rc " << r;
        }
    }
}

// A network with a bit of everything the writer writes.
void populate(test_net &t)
{
    zwnet_lock lk(t.net);
    t.net->grps[0].member = 5;
    zwnode_p n = t.node(5);
    n->vid = 0x1234;
    n->pid = 0xBEEF;
    n->sleep_cap = n->enable_cmd_q = 1;
    n->dev_id = {1, 2, 4, {9, 8, 7, 6}};
    n->ext_ver = static_cast<ext_ver_t *>(std::calloc(1, sizeof(ext_ver_t) + 4));
    n->ext_ver->fw_cnt = 2;
    n->ext_ver->fw_ver[0] = 0x0102;
    n->ext_ver->fw_ver[1] = 0x0304;
    std::strcpy(n->s2_dsk, "00001-00002-00003-00004-00005-00006-00007-00008");
    n->wkup_intv = 240;
    std::strcpy(n->ep.name, "hall");
    n->ep.zwplus_info = {2, 1, 5, 0x0600, 0x0601};
    zwif_p a = zwif_create(0x25, 1, 0x02);
    a->real_ver = 1;
    a->data_cnt = 200;
    a->data_item_sz = 1;
    a->data = std::calloc(200, 1);
    a->cch_kind = 0;
    a->cch_ele_cnt = 2;
    a->cch_ele_sz = 3;
    a->cch_data = std::malloc(6);
    std::memcpy(a->cch_data, "\x01\x02\x03\x04\x05\x06", 6);
    ASSERT_EQ(1, zwif_attach(&n->ep, a));
    a->ep = &n->ep;
    zwif_p s = zwif_create(0x5A, 1, 0x01);
    s->real_ver = 1;
    s->cch_kind = 1;
    s->cch_ele_cnt = 3;
    s->cch_ele_sz = sizeof(zwif_cch_slot_t);
    auto *slots = static_cast<zwif_cch_slot_t *>(std::calloc(3, sizeof(zwif_cch_slot_t)));
    slots[0] = {2, std::malloc(2)};
    std::memcpy(slots[0].buf, "\xAA\xBB", 2);
    slots[1] = {1, std::malloc(1)};
    std::memcpy(slots[1].buf, "\xCC", 1);
    s->cch_data = slots;
    ASSERT_EQ(1, zwif_attach(&n->ep, s));
    s->ep = &n->ep;
    zwep_p e2 = zwep_create(n, 2);
    std::strcpy(e2->loc, "upstairs");
    e2->aggr_ep_cnt = 1;
    e2->aggr_members[0] = 1;
}

TEST(NifRoundTrip, SaveLoadSaveIsByteIdentical)
{
    test_net a(0x01020304, {5, 7});
    populate(a);
    const bytes first = build(a.net);
    test_net b(0x01020304, {5, 7});
    ASSERT_EQ(0, zwnet_ni_buf_load(b.net, first.data(), first.size()));
    EXPECT_EQ(first, build(b.net));
    // Through the file too, and the file is read with read access only.
    const std::string dir = tmp_dir();
    const std::string path = dir + "/nif01020304.dat";
    ASSERT_EQ(0, zwnet_ni_file_save(a.net, path.c_str()));
    ASSERT_EQ(0, chmod(path.c_str(), 0444));
    test_net c(0x01020304, {5, 7});
    ASSERT_EQ(0, zwnet_ni_file_load(c.net, path.c_str()));
    EXPECT_EQ(first, build(c.net));
    std::system(("rm -rf '" + dir + "'").c_str());
}

// A record over 65535 bytes cannot be named by its length: it is left out,
// and the rest of the file still loads.
TEST(NifRoundTrip, RecordTooLongIsSkipped)
{
    test_net a(0x0A0B0C0D, {5});
    {
        zwnet_lock lk(a.net);
        zwnode_p n = a.node(5);
        zwif_p big = zwif_create(0x31, 1, 0x02);
        big->real_ver = 1;
        big->data_cnt = 255;
        big->data_item_sz = 255;
        big->data = std::calloc(255, 255);
        big->cch_kind = 0;
        big->cch_ele_cnt = 255;
        big->cch_ele_sz = 255;
        big->cch_data = std::calloc(255, 255);
        ASSERT_EQ(1, zwif_attach(&n->ep, big));
        big->ep = &n->ep;
        n->vid = 77;
    }
    const bytes file = build(a.net);
    test_net b(0x0A0B0C0D, {5});
    ASSERT_EQ(0, zwnet_ni_buf_load(b.net, file.data(), file.size()));
    zwnet_lock lk(b.net);
    EXPECT_EQ(77, b.node(5)->vid);
    EXPECT_EQ(nullptr, zwif_find_cls(b.node(5)->ep.intf, 0x31));
}

TEST(NifReader, Refusals)
{
    test_net a(0x11223344, {5});
    populate(a);
    const bytes good = build(a.net);
    struct {
        const char *what;
        bytes file;
        uint32_t home;
        int rc;
    } cases[] = {
        {"empty", {}, 0x11223344, ZW_ERR_FILE},
        {"short", {0x8A, 0xB3, 0x00}, 0x11223344, ZW_ERR_FILE},
        {"other home id", good, 0x11223345, ZW_ERR_HOMEID},
        {"version 0x12", [&] { bytes b = good; b[3] = 0x12; set_crc(b); return b; }(), 0x11223344, ZW_ERR_VERSION},
        {"version 0", [&] { bytes b = good; b[3] = 0x00; set_crc(b); return b; }(), 0x11223344, ZW_ERR_VERSION},
        // The network record's home id sub-tag must have length 4.
        {"home id of 3 bytes", [&] { bytes b = good; b[9] = 3; set_crc(b); return b; }(), 0x11223344, ZW_ERR_FILE},
        // A node record's vid sub-tag (id 1) given one byte instead of two.
        {"fixed width wrong", [&] {
             bytes b = good;
             const uint8_t pat[] = {0xA7, 0x01};
             auto it = std::search(b.begin() + 4 + 4 + 10, b.end(), pat, pat + 2);
             it = std::search(it + 2, b.end(), pat, pat + 2);  // node 5
             *(it + 4 + 3 + 1) = 1;
             set_crc(b);
             return b;
         }(), 0x11223344, ZW_ERR_FILE},
        {"cut in a record", [&] { bytes b(good.begin(), good.begin() + 30); b.resize(32); set_crc(b); return b; }(), 0x11223344, ZW_ERR_FILE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        test_net t(c.home, {5});
        EXPECT_EQ(c.rc, zwnet_ni_buf_load(t.net, c.file.data(), c.file.size()));
    }
    test_net t(0x11223344, {5});
    EXPECT_EQ(ZW_ERR_FILE_OPEN, zwnet_ni_file_load(t.net, "/nonexistent/nif.dat"));
}

// A saver killed at any point leaves a file that loads: the old one or the
// new one, never a mix.
TEST(NifDurable, KilledSaverAlwaysLeavesALoadableFile)
{
    const std::string dir = tmp_dir();
    const std::string path = dir + "/nifDEADBEEF.dat";
    test_net a(0xDEADBEEF, {5, 7});
    populate(a);
    ASSERT_EQ(0, zwnet_ni_file_save(a.net, path.c_str()));
    std::mt19937 rng(1210);
    for (int round = 0; round < 40; ++round) {
        const pid_t pid = fork();
        ASSERT_LE(0, pid);
        if (pid == 0) {
            for (uint32_t i = 0;; ++i) {
                a.node(5)->wkup_intv = i;
                if (zwnet_ni_file_save(a.net, path.c_str()) != 0)
                    _exit(2);
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 20000));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the saver failed on its own";
        test_net t(0xDEADBEEF, {5, 7});
        ASSERT_EQ(0, zwnet_ni_file_load(t.net, path.c_str())) << "round " << round;
    }
    // No temporary files left to pile up beyond the one a kill may strand.
    std::system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace
