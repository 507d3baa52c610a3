// Reports of association, identification, wake-up, firmware and gateway
// classes through the report dispatcher of a bare network: golden frames
// (one comment per byte) give the callbacks' arguments, reports of several
// frames call back once with the whole, frames that must be refused leave
// no callback, the group table and the supported information land on the
// interface, and every prefix of every golden frame parses within its
// bounds.
#include "rpt_mgmt_net.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using frames = std::vector<std::vector<uint8_t>>;

struct rpt_case {
    const char *name;
    frames in;                       // dispatched in order
    std::vector<std::string> lines;  // the callbacks, in order
};

const rpt_case rpt_cases[] = {
    // --- Association Group Information ---
    {"agi name",
     {{0x59, 0x02,  // AGI Name Report
       0x01,        // group 1
       0x08,        // name length
       'L', 'i', 'f', 'e', 'L', 'i', 'n', 'e'}},
     {"agi name g=1 'LifeLine'"}},
    {"agi name longer than the frame is cut to the bytes present",
     {{0x59, 0x02, 0x02, /* group 2 */ 0x3F, /* claims 63 bytes */ 'O', 'n', 'O', 'f', 'f'}},
     {"agi name g=2 'OnOff'"}},
    {"agi name of group 0 is refused", {{0x59, 0x02, 0x00, 0x01, 'x'}}, {}},
    {"agi info, two groups",
     {{0x59, 0x04,                                    // AGI Info Report
       0x42,                                          // dynamic, 2 groups
       0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,      // group 1, mode 0, profile 0001 (lifeline), event 0
       0x02, 0x00, 0x20, 0x01, 0x00, 0x00, 0x05}},    // group 2, mode 0, profile 2001 (control key 1), event 5
     {"agi info dyn=1 1:0001:0000 2:2001:0005"}},
    {"agi info with a group in another mode gives nothing",
     {{0x59, 0x04, 0x01, /* 1 group */ 0x01, 0x01, /* mode 1 */ 0x00, 0x01, 0x00, 0x00, 0x00}},
     {}},
    {"agi info announcing more groups than it holds",
     {{0x59, 0x04, 0x02, /* 2 groups */ 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}},
     {}},
    {"agi command list, plain and extended classes",
     {{0x59, 0x06,              // AGI Command List Report
       0x02,                    // group 2
       0x07,                    // 7 bytes of list
       0x20, 0x01,              // Basic Set
       0x26, 0x04,              // Multilevel Switch Start Level Change
       0xF1, 0x02, 0x03}},      // extended class F102, command 03
     {"agi cmds g=2 20:01 26:04 F102:03"}},
    {"agi command list cut inside an entry keeps the whole ones",
     {{0x59, 0x06, 0x01, 0x05, /* 5 bytes */ 0x20, 0x01, 0xF1, 0x02, 0x03}},
     {"agi cmds g=1 20:01 F102:03"}},
    {"agi command list claiming more than the frame",
     {{0x59, 0x06, 0x01, 0x09, /* 9 bytes */ 0x20, 0x01, 0x25}},
     {"agi cmds g=1 20:01"}},

    // --- Association and Multi Channel Association ---
    {"association report of two frames calls back once",
     {{0x85, 0x03, 0x01, /* group 1 */ 0x05, /* max 5 */ 0x01, /* 1 to follow */ 0x02, 0x03},
      {0x85, 0x03, 0x01, 0x05, 0x00, /* last */ 0x07}},
     {"group 85 g=1 max=5 [2.0 3.0 7.0]"}},
    {"association frame of another group starts over",
     {{0x85, 0x03, 0x01, 0x05, 0x01, 0x02},
      {0x85, 0x03, 0x02, /* group 2 */ 0x05, 0x00, 0x09}},
     {"group 85 g=2 max=5 [9.0]"}},
    {"association sequence that starts again drops the lost frames",
     {{0x85, 0x03, 0x01, 0x05, 0x01, 0x02},
      {0x85, 0x03, 0x01, 0x05, 0x01, /* counts from 1 again */ 0x04},
      {0x85, 0x03, 0x01, 0x05, 0x00, 0x06}},
     {"group 85 g=1 max=5 [4.0 6.0]"}},
    {"association report of group 0 is refused", {{0x85, 0x03, 0x00, 0x05, 0x00, 0x02}}, {}},
    {"multi channel association with endpoints and a bit mask",
     {{0x8E, 0x03,          // Multi Channel Association Report
       0x01, 0x04, 0x00,    // group 1, max 4, none to follow
       0x02,                // node 2
       0x00,                // marker: endpoints follow
       0x05, 0x83,          // node 5, endpoints 1 and 2 (bit mask)
       0x01, 0x01,          // node 1 (the controller), endpoint 1 -> the node itself
       0x09}},              // a pair cut off by the end of the frame
     {"group 8E g=1 max=4 [2.0 5.1 5.2 1.0]"}},
    {"groupings report", {{0x85, 0x06, 0x04 /* 4 groups */}}, {"groups 85 n=4 valid=1"}},
    {"specific group report", {{0x85, 0x0C, 0x02}}, {"active group 2"}},

    // --- IP Association (the gateway's own address stands for the controller, node 1) ---
    {"ip association of two members asks for the second",
     {{0x5C, 0x03, 0x01, /* group 1 */ 0x01, /* index 1 */ 0x02, /* of 2 */
       0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, /* the gateway */ 0x00, /* endpoint 0 */ 0x00},
      {0x5C, 0x03, 0x01, 0x02, /* index 2 */ 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x00}},
     {"ip assoc g=1 total=2 [1.0 1.1]"}},
    {"ip association index out of turn is dropped",
     {{0x5C, 0x03, 0x01, 0x02, /* index 2 first */ 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01,
       0x00}},
     {}},
    {"ip association of an address that is no node",
     {{0x5C, 0x03, 0x03, 0x01, 0x01, 0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x09, 0x00, 0x00}},
     {"ip assoc g=3 total=1 []"}},
    {"ip association announcing a total of 0 counts as one", {{0x5C, 0x03, 0x03, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                          0, 0, 0x00, 0x00}},
     {"ip assoc g=3 total=1 [1.0]"}},

    // --- identification ---
    {"version report with firmware targets",
     {{0x86, 0x12,   // Version Report
       0x03,         // library type 3
       0x07, 0x0D,   // protocol 7.13
       0x01, 0x02,   // application 1.2
       0x05,         // hardware version 5
       0x02,         // 2 more firmware targets
       0x02, 0x00,   // target 1: 2.0
       0x03, 0x01}}, // target 2: 3.1
     {"version lib=3 proto=070D app=0102 ext=hw=5 0200 0301"}},
    {"version report whose targets do not fit has no extra",
     {{0x86, 0x12, 0x03, 0x07, 0x0D, 0x01, 0x02, 0x05, 0x03, /* 3 targets */ 0x02, 0x00}},
     {"version lib=3 proto=070D app=0102 ext=none"}},
    {"version 1 report", {{0x86, 0x12, 0x06, 0x04, 0x26, 0x01, 0x00}}, {"version lib=6 proto=0426 app=0100 ext=none"}},
    {"class version report", {{0x86, 0x14, 0x25, /* Binary Switch */ 0x02}}, {"class version 25=2"}},
    {"manufacturer specific",
     {{0x72, 0x05, 0x00, 0x86, /* manufacturer */ 0x00, 0x03, /* type */ 0x00, 0x60 /* product */}},
     {"manf 0086 0003 0060"}},
    {"device specific report",
     {{0x72, 0x07, 0x01, /* serial number */ 0x24, /* binary, 4 bytes */ 0xDE, 0xAD, 0xBE, 0xEF}},
     {"dev id type=1 fmt=1 [DE AD BE EF]"}},
    {"device specific report shorter than its data", {{0x72, 0x07, 0x01, 0x24, 0xDE, 0xAD}}, {}},
    {"z-wave plus info",
     {{0x5E, 0x02, 0x02, /* version 2 */ 0x05, /* role: always on slave */ 0x00, /* node */ 0x07, 0x00,
       /* installer icon 0700 */ 0x07, 0x01 /* user icon 0701 */}},
     {"zwplus v=2 role=5 node=0 icons=0700/0701"}},
    {"z-wave plus info v1 without icons", {{0x5E, 0x02, 0x01, 0x05, 0x00}}, {"zwplus v=1 role=5 node=0 icons=0000/0000"}},
    {"name report is cut to 32 bytes",
     {{0x77, 0x03, 0x00, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r',
       's', 't', 'u', 'v', 'w', 'x', 'y', 'z', '0', '1', '2', '3', '4', '5', '6', '7'}},
     {"nameloc cs=0 'abcdefghijklmnopqrstuvwxyz012345'"}},
    {"location report", {{0x77, 0x06, 0x01, 'h', 'a', 'l', 'l'}}, {"nameloc cs=1 'hall'"}},

    // --- Multi Channel ---
    {"multi instance report", {{0x60, 0x05, 0x25, 0x02}}, {"instances 25 n=2"}},
    {"end point report", {{0x60, 0x08, 0x40, /* identical */ 0x83, /* 3 */ 0x01 /* 1 aggregated */}},
     {"endpoints n=3 aggr=1 flags=40"}},
    {"end point report v2 without aggregated count", {{0x60, 0x08, 0x00, 0x02}}, {"endpoints n=2 aggr=0 flags=00"}},
    {"capability report",
     {{0x60, 0x0A, 0x82, /* dynamic endpoint 2 */ 0x10, 0x01, /* binary switch */ 0x25, 0x32, 0xF1, 0x00,
       /* secure: */ 0x26}},
     {"ep cap 2 dyn=1 class=10/01 [25 32] secure [26]"}},
    {"aggregated members",
     {{0x60, 0x0F, 0x04, /* endpoint 4 */ 0x01, /* 1 mask byte */ 0x05 /* endpoints 1 and 3 */}},
     {"aggregated 4 [01 03]"}},
    {"aggregated members without a mask", {{0x60, 0x0F, 0x04, 0x00}}, {}},

    // --- wake up, firmware, configuration, powerlevel ---
    {"wake up interval v2 with no capabilities asks for them first",
     {{0x84, 0x06, 0x00, 0x0E, 0x10, /* 3600 s */ 0x01 /* node 1 */}},
     {}},
    {"wake up capabilities complete the record",
     {{0x84, 0x06, 0x00, 0x0E, 0x10, 0x01},
      {0x84, 0x0A,          // Interval Capabilities Report
       0x00, 0x01, 0x2C,    // minimum 300
       0x01, 0x51, 0x80,    // maximum 86400
       0x00, 0x0E, 0x10,    // default 3600
       0x00, 0x00, 0x3C}},  // step 60
     {"wakeup 300..86400 def=3600 step=60 cur=3600 node=1 net=1"}},
    {"firmware meta data, short form",
     {{0x7A, 0x02, 0x00, 0x86, 0x00, 0x12, 0xAB, 0xCD}},
     {"fw info 0086 0012 ABCD frag=40 short=1 upg=FF hw=0/0 others=0"}},
    {"firmware meta data with targets and hardware version",
     {{0x7A, 0x02, 0x00, 0x86, 0x00, 0x12, 0xAB, 0xCD,
       0xFF,           // upgradable
       0x01,           // one more target
       0x00, 0x30,     // fragments of 48 bytes
       0x00, 0x13,     // target 1: firmware 0013
       0x04}},         // hardware version 4
     {"fw info 0086 0012 ABCD frag=48 short=0 upg=FF hw=1/4 others=1 19"}},
    {"firmware meta data between the two forms", {{0x7A, 0x02, 0x00, 0x86, 0x00, 0x12, 0xAB, 0xCD, 0xFF}}, {}},
    {"firmware request report", {{0x7A, 0x04, 0xFF}}, {"fw req 255"}},
    {"firmware status with a restart wait (v3)", {{0x7A, 0x07, 0xFF, 0x00, 0x1E}}, {"fw status FF wait=1/30"}},
    {"firmware status failed has no wait", {{0x7A, 0x07, 0x01, 0x00, 0x1E}}, {"fw status 01 wait=0/0"}},
    {"firmware fragment request", {{0x7A, 0x05, 0x02, 0x80, 0x05}}, {"fw frag get 5 n=2"}},
    {"configuration report", {{0x70, 0x06, 0x0D, /* parameter 13 */ 0x02, /* 2 bytes */ 0x01, 0x2C}},
     {"config p=13 size=2 [01 2C]"}},
    {"configuration report of size 3", {{0x70, 0x06, 0x0D, 0x03, 0x01, 0x2C, 0x00}}, {}},
    {"configuration report shorter than its size", {{0x70, 0x06, 0x0D, 0x04, 0x01, 0x2C}}, {}},
    {"powerlevel report", {{0x73, 0x03, 0x02, 0x3C}}, {"power lvl=2 tmo=60"}},
    {"powerlevel test report, short", {{0x73, 0x06, 0x05}}, {"power test node=5 sts=1 acks=0"}},
    {"powerlevel test report", {{0x73, 0x06, 0x05, 0x01, 0x01, 0x02}}, {"power test node=5 sts=1 acks=258"}},

    // --- gateway, portal, mailbox ---
    {"unsolicited destination",
     {{0x5F, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 0, 0, 9, /* ::ffff:10.0.0.9 */ 0x10, 0x1B}},
     {"gw unsolic 00 00 00 00 00 00 00 00 00 00 FF FF 0A 00 00 09 port=4123"}},
    {"gateway mode stand-alone", {{0x5F, 0x03, 0x01}}, {"gw mode sts=0 mode=1"}},
    {"gateway mode portal whose peer cannot be asked", {{0x5F, 0x03, 0x02}}, {"gw mode sts=2 mode=2"}},
    {"gateway mode unknown", {{0x5F, 0x03, 0x07}}, {}},
    {"peer report with a name longer than the frame",
     {{0x5F, 0x06, 0x01, /* profile 1 */ 0x01, /* one peer */ 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 192, 168,
       0, 1, 0x04, 0x4C, /* port 1100 */ 0x3F, /* name of 63 */ 'p', 'o', 'r', 't'}},
     {"gw mode sts=0 mode=2 peer=C0 A8 00 01:1100 'port' len=4"}},
    {"peer report without peers", {{0x5F, 0x06, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                    0x00}},
     {"gw mode sts=0 mode=2"}},
    {"portal configuration",
     {{0x61, 0x04,
       0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 192, 168, 1, 2, 24,   // LAN address and prefix
       0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 1, 1, 1, 32,      // portal address and prefix
       0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 192, 168, 1, 1,       // default gateway
       0xFD, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},         // PAN prefix
     {"portal cfg lan=C0 A8 01 02/24 portal=0A 01 01 01/32 gw=C0 A8 01 01 pan=FD 00"}},
    {"portal configuration status", {{0x61, 0x02, 0x01}}, {"portal cfg status 1"}},
    {"mailbox configuration",
     {{0x69, 0x03, 0x1A, /* supported 3, mode 2 */ 0x00, 0x14, /* 20 */ 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF,
       10, 0, 0, 5, 0x10, 0x1B}},
     {"mailbox sup=3 mode=2 cap=20 fwd=0A 00 00 05 port=4123"}},

    // --- security, simple AV, association command configuration ---
    {"security commands of two frames",
     {{0x98, 0x03, 0x01, /* 1 to follow */ 0x25, 0x26},
      {0x98, 0x03, 0x00, 0x62, 0xEF, /* controlled: */ 0x20}},
     {"secure 98 [25 26 62]"}},
    {"security commands, empty", {{0x98, 0x03, 0x00}}, {"secure 98 null []"}},
    {"security 2 commands", {{0x9F, 0x0E, 0x62, 0x63}}, {"secure 9F [62 63]"}},
    {"security 2 commands, empty", {{0x9F, 0x0E}}, {"secure 9F null []"}},
    {"simple av of two reports",
     {{0x94, 0x03, 0x02 /* 2 reports */},
      {0x94, 0x05, 0x01, 0x01, 0x80},
      {0x94, 0x05, 0x02, 0xFF}},
     {"av mask [01 80 FF] valid=1"}},
    {"simple av report out of order is dropped",
     {{0x94, 0x03, 0x02}, {0x94, 0x05, 0x02, 0xFF}, {0x94, 0x05, 0x01, 0x01}, {0x94, 0x05, 0x02, 0x02}},
     {"av mask [01 02] valid=1"}},
    {"command records supported",
     {{0x9B, 0x02, 0x2B, /* max 10, kind 1, configurable */ 0x00, 0x04, 0x00, 0x08}},
     {"cmd records cfg=1 kind=1 max=10 free=4 total=8"}},
    {"command configuration", {{0x9B, 0x05, 0x01, 0x05, 0x00, /* 3 bytes */ 0x03, 0x25, 0x01, 0xFF}},
     {"group cmd g=1 node=5 [25 01 FF]"}},
    {"command configuration shorter than its command", {{0x9B, 0x05, 0x01, 0x05, 0x00, 0x04, 0x25, 0x01}}, {}},
};

class MgmtReports : public ::testing::Test {
protected:
    void SetUp() override { rpt_mgmt::g_lines.clear(); }
    std::unique_ptr<rpt_mgmt::net> net = std::make_unique<rpt_mgmt::net>();
};

TEST_F(MgmtReports, GoldenFramesReachTheirCallbacks)
{
    for (const rpt_case &c : rpt_cases) {
        SCOPED_TRACE(c.name);
        net.reset();
        net = std::make_unique<rpt_mgmt::net>();
        rpt_mgmt::g_lines.clear();
        for (const auto &f : c.in)
            EXPECT_EQ(1, net->dispatch(f)) << "a frame of a class with callbacks is taken";
        EXPECT_EQ(c.lines, rpt_mgmt::g_lines);
    }
}

TEST_F(MgmtReports, EveryPrefixOfEveryGoldenFrameStaysInBounds)
{
    for (const rpt_case &c : rpt_cases)
        for (const auto &f : c.in)
            for (size_t n = 0; n <= f.size(); ++n) {
                net->dispatch(std::vector<uint8_t>(f.begin(), f.begin() + n));
                zwif_rpt_rec_t rec;
                auto buf = std::make_unique<uint8_t[]>(n ? n : 1);
                std::copy(f.begin(), f.begin() + n, buf.get());
                zwif_rpt_parse(buf.get(), static_cast<uint16_t>(n), &rec);
            }
}

TEST_F(MgmtReports, GroupInformationFillsTheGroupTable)
{
    ASSERT_EQ(1, net->dispatch({0x85, 0x06, 0x03}));  // 3 groups
    ASSERT_EQ(1, net->dispatch({0x59, 0x02, 0x02, 0x05, 'S', 'w', 'i', 't', 'c'}));
    ASSERT_EQ(1, net->dispatch({0x59, 0x04, 0x01, 0x02, 0x00, 0x20, 0x01, 0x00, 0x00, 0x07}));
    ASSERT_EQ(1, net->dispatch({0x59, 0x06, 0x02, 0x05, 0x20, 0x01, 0xF1, 0x02, 0x03}));
    // A name of 50 bytes whose 43rd byte starts a two-byte character.
    std::vector<uint8_t> long_name{0x59, 0x02, 0x01, 50};
    for (int i = 0; i < 42; ++i)
        long_name.push_back('n');
    long_name.push_back(0xC3);
    long_name.push_back(0xA9);
    long_name.resize(4 + 50, 'x');
    ASSERT_EQ(1, net->dispatch(long_name));

    zwnet_lock lk(net->get());
    zwif_p agi = net->intf(0x59);
    ASSERT_TRUE(agi->mgmt);
    const zwif_grp_tbl_t &t = agi->mgmt->agi;
    ASSERT_EQ(3u, t.grps.size()) << "as many groups as the association interface has";
    EXPECT_EQ(0, t.dynamic);
    const zwif_grp_t &g2 = t.grps[1];
    EXPECT_EQ(1, g2.present);
    EXPECT_STREQ("Switc", g2.name);
    EXPECT_EQ(0x2001, g2.profile);
    EXPECT_EQ(0x0007, g2.evt_code);
    ASSERT_EQ(2u, g2.cmds.size());
    EXPECT_EQ(0x20, g2.cmds[0].cls);
    EXPECT_EQ(0x01, g2.cmds[0].cmd);
    EXPECT_EQ(0xF102, g2.cmds[1].cls);
    EXPECT_EQ(std::string(42, 'n'), t.grps[0].name) << "cut to whole characters within 43 bytes";
    EXPECT_EQ(0, t.grps[2].present);
}

TEST_F(MgmtReports, SupportedInformationLandsOnTheInterfaces)
{
    ASSERT_EQ(1, net->dispatch({0x85, 0x06, 0x05}));
    ASSERT_EQ(1, net->dispatch({0x84, 0x0A, 0, 1, 0x2C, 1, 0x51, 0x80, 0, 0x0E, 0x10, 0, 0, 0x3C}));
    ASSERT_EQ(1, net->dispatch({0x84, 0x06, 0x00, 0x00, 0x3C, 0x01}));
    EXPECT_EQ((std::vector<std::string>{"groups 85 n=5 valid=1",
                                        "wakeup 300..86400 def=3600 step=60 cur=0 node=0 net=1",
                                        "wakeup 300..86400 def=3600 step=60 cur=60 node=1 net=1"}),
              rpt_mgmt::g_lines)
        << "with the capabilities known the interval report calls back whole";

    zwnet_lock lk(net->get());
    for (uint16_t cls : {0x85, 0x8E}) {
        zwif_p i = net->intf(cls);
        ASSERT_EQ(1, i->data_cnt) << cls;
        ASSERT_EQ(1, i->data_item_sz);
        EXPECT_EQ(5, *static_cast<uint8_t *>(i->data)) << "the two association classes share their groups";
    }
    zwif_p wk = net->intf(0x84);
    ASSERT_EQ(1, wk->data_cnt);
    ASSERT_EQ(16, wk->data_item_sz);
    uint32_t cap[4];
    std::memcpy(cap, wk->data, sizeof cap);
    EXPECT_EQ(300u, cap[0]);
    EXPECT_EQ(86400u, cap[1]);
    EXPECT_EQ(3600u, cap[2]);
    EXPECT_EQ(60u, cap[3]);
    zwnode_p node = zwnode_find(&net->get()->ctl, 6);
    EXPECT_EQ(60u, node->wkup_intv);
}

TEST_F(MgmtReports, GatheringIsBoundedAndKeptPerInterface)
{
    // 300 members announced over many frames: at most 255 arrive.
    for (int f = 30; f >= 0; --f) {
        std::vector<uint8_t> frame{0x85, 0x03, 0x01, 0xFF, static_cast<uint8_t>(f)};
        for (int i = 0; i < 10; ++i)
            frame.push_back(static_cast<uint8_t>(1 + (f * 10 + i) % 232));
        ASSERT_EQ(1, net->dispatch(frame));
    }
    ASSERT_EQ(1u, rpt_mgmt::g_lines.size());
    const std::string &l = rpt_mgmt::g_lines[0];
    EXPECT_EQ(254, std::count(l.begin(), l.end(), ' ') - 4) << l;  // 255 members, 4 spaces before them

    // The frames of the two association classes do not mix.
    rpt_mgmt::g_lines.clear();
    ASSERT_EQ(1, net->dispatch({0x85, 0x03, 0x01, 0x05, 0x01, 0x02}));
    ASSERT_EQ(1, net->dispatch({0x8E, 0x03, 0x01, 0x05, 0x00, 0x03}));
    ASSERT_EQ(1, net->dispatch({0x85, 0x03, 0x01, 0x05, 0x00, 0x04}));
    EXPECT_EQ((std::vector<std::string>{"group 8E g=1 max=5 [3.0]", "group 85 g=1 max=5 [2.0 4.0]"}),
              rpt_mgmt::g_lines);

    // A Security list longer than the class reader can take is cut, not wrapped.
    rpt_mgmt::g_lines.clear();
    for (int f = 9; f >= 0; --f) {
        std::vector<uint8_t> frame{0x98, 0x03, static_cast<uint8_t>(f)};
        frame.resize(3 + 40, 0x25);
        ASSERT_EQ(1, net->dispatch(frame));
    }
    ASSERT_EQ(1u, rpt_mgmt::g_lines.size());
    const std::string &s = rpt_mgmt::g_lines[0];
    EXPECT_EQ(254, std::count(s.begin(), s.end(), ' ') - 2) << s;  // 255 classes
}

TEST_F(MgmtReports, GroupTableSurvivesTheNodeInformationFile)
{
    ASSERT_EQ(1, net->dispatch({0x85, 0x06, 0x03}));
    ASSERT_EQ(1, net->dispatch({0x59, 0x04, 0x42, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x20,
                                0x02, 0x00, 0x00, 0x09}));
    ASSERT_EQ(1, net->dispatch({0x59, 0x02, 0x01, 0x08, 'L', 'i', 'f', 'e', 'L', 'i', 'n', 'e'}));
    ASSERT_EQ(1, net->dispatch({0x59, 0x06, 0x03, 0x05, 0x20, 0x01, 0xF1, 0x02, 0x03}));
    std::vector<uint8_t> file;
    {
        zwnet_lock lk(net->get());
        net->get()->homeid = 0xC0FFEE01;
    }
    ASSERT_EQ(0, zwnet_ni_buf_build(net->get(), &file));

    // A network that knows node 6 but none of its interfaces reads them back.
    rpt_mgmt::net fresh;
    {
        zwnet_lock lk(fresh.get());
        fresh.get()->homeid = 0xC0FFEE01;
        zwnode_p n = zwnode_find(&fresh.get()->ctl, 6);
        zwep_if_rm_all(&n->ep);
    }
    ASSERT_EQ(0, zwnet_ni_buf_load(fresh.get(), file.data(), file.size()));
    zwnet_lock lk(fresh.get());
    zwif_p agi = fresh.intf(0x59);
    ASSERT_NE(nullptr, agi);
    ASSERT_TRUE(agi->mgmt);
    const zwif_grp_tbl_t &t = agi->mgmt->agi;
    ASSERT_EQ(3u, t.grps.size());
    EXPECT_EQ(1, t.dynamic);
    EXPECT_EQ(1, t.grps[0].present);
    EXPECT_STREQ("LifeLine", t.grps[0].name);
    EXPECT_EQ(0x0001, t.grps[0].profile);
    EXPECT_TRUE(t.grps[0].cmds.empty());
    EXPECT_EQ(0, t.grps[1].present) << "a group nothing was known of stays unknown";
    const zwif_grp_t &g3 = t.grps[2];
    EXPECT_EQ(1, g3.present);
    EXPECT_EQ(0x2002, g3.profile);
    EXPECT_EQ(0x0009, g3.evt_code);
    ASSERT_EQ(2u, g3.cmds.size());
    EXPECT_EQ(0x20, g3.cmds[0].cls);
    EXPECT_EQ(0x01, g3.cmds[0].cmd);
    EXPECT_EQ(0xF102, g3.cmds[1].cls);
    EXPECT_EQ(0x03, g3.cmds[1].cmd);
}

TEST_F(MgmtReports, GroupSubTagsOutsideTheTableAreIgnored)
{
    // An interface record of class 0x59 whose group ids run past the table
    // it announces, and commands cut short.
    const std::vector<uint8_t> rec{
        0x00, 0x02, 0x00, 0x59,  // class 0x59
        0x01, 0x01, 0x01,        // real version 1
        0x02, 0x01, 0x02,        // property
        0x06, 0x02, 0x00, 0x02,  // 2 groups
        0x08, 0x01, 0x05,        // group 5: outside
        0x09, 0x01, 0x01,        // 1 command
        0x0C, 0x01, 'x',         // name
        0x08, 0x01, 0x02,        // group 2
        0x09, 0x01, 0x02,        // 2 commands
        0x0D, 0x06, 0x25, 0x00, 0x01, 0x00, 0x26, 0x00,  // one whole command and two stray bytes
    };
    std::vector<uint8_t> file{0x8A, 0xB3, 0x00, 0x11};
    const std::vector<uint8_t> net_rec{0xA7, 0x04, 0x00, 0x06, 0x00, 0x04, 0xC0, 0xFF, 0xEE, 0x01};
    const std::vector<uint8_t> node_rec{0xA7, 0x01, 0x00, 0x03, 0x00, 0x01, 0x06, 0x00};
    const std::vector<uint8_t> ep_rec{0xA7, 0x02, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00};
    file.insert(file.end(), net_rec.begin(), net_rec.end());
    file.insert(file.end(), node_rec.begin(), node_rec.end());
    file.insert(file.end(), ep_rec.begin(), ep_rec.end());
    file.insert(file.end(), {0xA7, 0x03, 0x00, static_cast<uint8_t>(rec.size())});
    file.insert(file.end(), rec.begin(), rec.end());
    if (rec.size() & 1)
        file.push_back(0);
    const uint16_t crc = zwnet_crc16(ZWNET_CRC16_INIT, file.data(), file.size());
    file.push_back(static_cast<uint8_t>(crc >> 8));
    file.push_back(static_cast<uint8_t>(crc));
    {
        zwnet_lock lk(net->get());
        net->get()->homeid = 0xC0FFEE01;
        zwep_if_rm_all(&zwnode_find(&net->get()->ctl, 6)->ep);
    }
    ASSERT_EQ(0, zwnet_ni_buf_load(net->get(), file.data(), file.size()));
    zwnet_lock lk(net->get());
    zwif_p agi = net->intf(0x59);
    ASSERT_TRUE(agi && agi->mgmt);
    const zwif_grp_tbl_t &t = agi->mgmt->agi;
    ASSERT_EQ(2u, t.grps.size());
    EXPECT_EQ(0, t.grps[0].present);
    EXPECT_EQ(1, t.grps[1].present);
    EXPECT_STREQ("", t.grps[1].name) << "the name of group 5 went nowhere";
    ASSERT_EQ(1u, t.grps[1].cmds.size());
    EXPECT_EQ(0x25, t.grps[1].cmds[0].cls);
}

TEST_F(MgmtReports, FramesWithoutCallbacksAreLeftToTheReceivePath)
{
    zwif_desc_t d{};
    {
        zwnet_lock lk(net->get());
        zwif_desc_fill(&d, net->intf(0x70));
    }
    ASSERT_EQ(0, zwif_set_report(&d, nullptr, 0x06));
    EXPECT_EQ(0, net->dispatch({0x70, 0x06, 0x01, 0x01, 0x05}));
    EXPECT_TRUE(rpt_mgmt::g_lines.empty());
}

}  // namespace
