// The gateway's network-management replies fed straight to the dispatcher,
// each in a buffer of exactly its own length (ASan catches a read past it):
// what reaches which callback, matched by sequence number and node id.
#include "tests/hcapi/zip/nm_test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <memory>

namespace {

using namespace nm_test;

std::vector<uint8_t> bx(const std::string &text)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

std::vector<uint8_t> str_bytes(const std::string &s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

const std::string dsk_hex = "00112233445566778899AABBCCDDEEFF";
const std::vector<uint8_t> dsk = bx(dsk_hex);
const std::string zeros_28(56, '0');

int dispatch(bare_ctx &b, const std::vector<uint8_t> &bytes, const char *src = "127.0.0.1")
{
    tpt_sockaddr_t sa{};
    sa.v4.sin_family = AF_INET;
    inet_pton(AF_INET, src, &sa.v4.sin_addr);
    auto buf = std::make_unique<uint8_t[]>(bytes.empty() ? 1 : bytes.size());
    if (!bytes.empty())
        std::memcpy(buf.get(), bytes.data(), bytes.size());
    return appl_nm_rpt_dispatch(&b.appl, &sa, buf.get(), static_cast<uint16_t>(bytes.size()));
}

struct pend_set {
    appl_nm_kind kind;
    uint8_t seq;
    uint8_t node_id;
};

struct rx_case {
    const char *name;
    std::vector<pend_set> pend;
    std::vector<uint8_t> bytes;
    int consumed;
    std::vector<std::string> lines;
    const char *src = "127.0.0.1";
};

std::string no_info(const char *node, const char *status)
{
    return std::string("n=") + node + " l=0 o=0 s=0 st=" + status + " age=0 r=0 b=00 g=00 sp=00 cls=[] ctl=[]";
}

const rx_case rx_cases[] = {
    // 0x52 proxy
    {"node list", {{APPL_NM_NODE_LIST, 0x21, 0}}, cat({bx("52 02 21 00 01 41"), bx(zeros_28)}), 1,
     {"list st=0 suc=1 m=41" + zeros_28}},
    {"node list of 33 bytes", {{APPL_NM_NODE_LIST, 0x21, 0}}, cat({bx("52 02 21 00 01"), bx(zeros_28)}), 1, {}},
    {"node list of another request", {{APPL_NM_NODE_LIST, 0x20, 0}}, cat({bx("52 02 21 00 01 41"), bx(zeros_28)}), 1,
     {"unsol list st=0 suc=1 m=41" + zeros_28}},
    {"cached node info", {{APPL_NM_NODE_INFO, 0x21, 6}}, bx("52 04 21 35 D3 9C 01 04 10 01 5E 25 F1 00 98"), 1,
     {"info n=6 l=1 o=1 s=0 st=3 age=5 r=1 b=04 g=10 sp=01 cls=[5E,25] ctl=[98]"}},
    {"cached node info without classes", {{APPL_NM_NODE_INFO, 0x21, 6}}, bx("52 04 21 00 53 5C 07"), 1,
     {"info n=6 l=0 o=0 s=1 st=0 age=0 r=7 b=00 g=00 sp=00 cls=[] ctl=[]"}},
    {"cached node info of 6 bytes", {{APPL_NM_NODE_INFO, 0x21, 6}}, bx("52 04 21 00 53 5C"), 1, {}},
    {"cached node info, stale sequence", {{APPL_NM_NODE_INFO, 0x20, 6}}, bx("52 04 21 00 53 5C 07"), 1, {}},
    {"end points", {{APPL_NM_EP, 0x21, 6}}, bx("52 06 21 06 00 03 01"), 1, {"ep n=6 i=3 a=1"}},
    {"end points of another node", {{APPL_NM_EP, 0x21, 6}}, bx("52 06 21 07 00 03 01"), 1, {}},
    {"capability", {{APPL_NM_EP_CAP, 0x21, 6}}, bx("52 08 21 06 03 82 10 01 5E 25 86"), 1,
     {"cap n=6 ep=2 g=10 sp=01 cls=[5E,25,86] ctl=[]"}},
    {"capability count cut to the frame", {{APPL_NM_EP_CAP, 0x21, 6}}, bx("52 08 21 06 09 02 10 01 5E"), 1,
     {"cap n=6 ep=2 g=10 sp=01 cls=[5E] ctl=[]"}},
    {"capability of 6 bytes", {{APPL_NM_EP_CAP, 0x21, 6}}, bx("52 08 21 06 03 02"), 1,
     {"cap n=6 ep=2 g=00 sp=00 cls=[] ctl=[]"}},
    {"capability of another node", {{APPL_NM_EP_CAP, 0x21, 6}}, bx("52 08 21 05 03 02"), 1, {}},
    {"aggregated members cut to the frame", {{APPL_NM_AGGR, 0x21, 6}}, bx("52 0A 21 06 03 05 01 02"), 1,
     {"aggr n=6 ep=3 m=0102"}},
    // 0x4D basic
    {"learn mode status", {{APPL_NM_LEARN, 0x21, 0}}, bx("4D 02 21 06 00 01"), 1, {"lrn st=6 n=1 s2=0 k=00 dsk="}},
    {"learn mode status with S2", {{APPL_NM_LEARN, 0x21, 0}}, cat({bx("4D 02 21 06 00 01 87"), dsk}), 1,
     {"lrn st=6 n=1 s2=1 k=87 dsk=" + dsk_hex}},
    {"learn mode status for node 233", {{APPL_NM_LEARN, 0x21, 0}}, bx("4D 02 21 06 00 E9"), 1, {}},
    {"network update status", {{APPL_NM_NET_UPDATE, 0x21, 0}}, bx("4D 04 21 00"), 1, {"sts 0"}},
    {"default set complete", {{APPL_NM_SET_DEFAULT, 0x21, 0}}, bx("4D 07 21 06"), 1, {"sts 6 n=0"}},
    {"DSK report without add mode", {{APPL_NM_DSK_GET, 0x21, 0}}, cat({bx("4D 09 21"), dsk}), 1,
     {"dsk " + dsk_hex + " mode=FF"}},
    {"DSK report with add mode", {{APPL_NM_DSK_GET, 0x21, 0}}, cat({bx("4D 09 21 03"), dsk}), 1,
     {"dsk " + dsk_hex + " mode=01"}},
    {"DSK report of 18 bytes", {{APPL_NM_DSK_GET, 0x21, 0}}, cat({bx("4D 09 21"), bx(dsk_hex.substr(2))}), 1, {}},
    // 0x34 inclusion
    {"node add status", {{APPL_NM_NODE_ADD, 0x21, 0}},
     cat({bx("34 02 21 06 00 07 08 D3 9C 04 10 01 5E 25 87 00 10"), dsk}), 1,
     {"add n=7 l=1 o=1 s=0 st=6 age=0 r=0 b=04 g=10 sp=01 cls=[5E,25] ctl=[] s2=1 k=87 f=0 dsk=" + dsk_hex}},
    {"node add status with a short DSK", {{APPL_NM_NODE_ADD, 0x21, 0}}, bx("34 02 21 09 00 07 01 01 02 10 AA"), 1,
     {"add " + no_info("7", "9") + " s2=1 k=01 f=2 dsk="}},
    {"node add failed, no node information", {{APPL_NM_NODE_ADD, 0x21, 0}}, bx("34 02 21 07 00 00 01"), 1,
     {"add " + no_info("0", "7") + " s2=0 k=00 f=0 dsk="}},
    {"node add with one byte of node information", {{APPL_NM_NODE_ADD, 0x21, 0}}, bx("34 02 21 07 00 00 02 D3"), 1,
     {"add n=0 l=1 o=0 s=0 st=7 age=0 r=0 b=00 g=00 sp=00 cls=[] ctl=[] s2=0 k=00 f=0 dsk="}},
    {"node add status of another request", {{APPL_NM_NODE_ADD, 0x20, 0}}, bx("34 02 21 07 00 00 01"), 1,
     {"unsol add " + no_info("0", "7") + " s2=0 k=00 f=0 dsk="}},
    {"node add done for node 0", {{APPL_NM_NODE_ADD, 0x21, 0}}, bx("34 02 21 06 00 00 01"), 1, {}},
    {"node add done for node 233", {{APPL_NM_NODE_ADD, 0x21, 0}}, bx("34 02 21 06 00 E9 01"), 1, {}},
    {"node remove status", {{APPL_NM_NODE_RM, 0x21, 0}}, bx("34 04 21 06 05"), 1, {"sts 6 n=5"}},
    {"node remove status for node 240", {{APPL_NM_NODE_RM, 0x21, 0}}, bx("34 04 21 06 F0"), 1, {}},
    {"failed node remove status", {{APPL_NM_FAILED_RM, 0x21, 0}}, bx("34 08 21 01 05"), 1, {"sts 1 n=5"}},
    {"failed node replace status", {{APPL_NM_FAILED_RPLC, 0x21, 0}}, bx("34 0A 21 04 05 87 00"), 1,
     {"r:rplc st=4 n=5 s2=1 k=87 f=0"}},
    {"failed node replace status without S2", {{APPL_NM_FAILED_RPLC, 0x21, 0}}, bx("34 0A 21 05 05"), 1,
     {"r:rplc st=5 n=5 s2=0 k=00 f=0"}},
    {"neighbour update status", {{APPL_NM_NBR_UPDATE, 0x21, 9}}, bx("34 0C 21 22"), 1, {"sts 34 n=9"}},
    {"return route assigned", {{APPL_NM_RR_ASSIGN, 0x21, 4}}, bx("34 0E 21 00"), 1, {"sts 0 n=4"}},
    {"return route deleted, stale sequence", {{APPL_NM_RR_DELETE, 0x20, 4}}, bx("34 10 21 00"), 1, {}},
    {"keys report of 4 bytes", {{APPL_NM_NODE_ADD, 0x21, 0}}, bx("34 11 21 87"), 1, {"keys 87 csa=0"}},
    {"keys report with authentication", {{APPL_NM_NODE_ADD, 0x21, 0}}, bx("34 11 21 01 87"), 1, {"keys 87 csa=1"}},
    {"keys report during a replacement", {{APPL_NM_NODE_ADD, 0x20, 0}, {APPL_NM_FAILED_RPLC, 0x21, 0}},
     bx("34 11 21 01 87"), 1, {"r:keys 87 csa=1"}},
    {"keys report of no request", {{APPL_NM_NODE_ADD, 0x20, 0}}, bx("34 11 21 87"), 1, {"unsol keys 87 csa=0"}},
    {"DSK report", {{APPL_NM_NODE_ADD, 0x21, 0}}, cat({bx("34 13 21 F2"), dsk}), 1, {"idsk " + dsk_hex + " in=2"}},
    {"DSK report of 19 bytes", {{APPL_NM_NODE_ADD, 0x21, 0}}, cat({bx("34 13 21"), dsk}), 1, {}},
    {"white-list list", {{APPL_NM_WL_LIST, 0x21, 0}}, bx("34 16 21 02 02 AA BB 01 CC"), 1, {"wl cnt=2 AABB CC"}},
    {"white-list list announcing 3, holding 2", {{APPL_NM_WL_LIST, 0x21, 0}}, bx("34 16 21 03 02 AA BB 01 CC"), 1, {}},
    {"white-list entry", {{APPL_NM_WL_GET, 0x21, 0}},
     cat({bx("34 19 21 02 AA BB 01 87 01 03"), str_bytes("abc"), bx("02 02"), str_bytes("xy")}), 1,
     {"wle dsk=AABB k=87 1:abc 2:xy"}},
    {"white-list entry whose last record runs over", {{APPL_NM_WL_GET, 0x21, 0}},
     cat({bx("34 19 21 02 AA BB 00 87 01 03"), str_bytes("abc"), bx("02 09"), str_bytes("xy")}), 1,
     {"wle dsk=AABB k=00 1:abc"}},
    {"white-list entry: other types skipped, bit 7 ignored", {{APPL_NM_WL_GET, 0x21, 0}},
     cat({bx("34 19 21 01 AA 00 00 83 01"), str_bytes("q"), bx("81 01"), str_bytes("n")}), 1, {"wle dsk=AA k=00 1:n"}},
    {"white-list entry of 3 bytes", {{APPL_NM_WL_GET, 0x21, 0}}, bx("34 19 21"), 1, {}},
    {"white-list entry with a 17-byte DSK", {{APPL_NM_WL_GET, 0x21, 0}}, cat({bx("34 19 21 11"), dsk, bx("00 00 00")}),
     1, {}},
    {"unsolicited white-list status", {}, bx("34 1A 05 03 02 AA BB"), 1, {"unsol wl dsk=AABB st=3"}},
    {"unsolicited white-list status, DSK cut off", {}, bx("34 1A 05 03 02 AA"), 1, {}},
    {"unknown inclusion command", {{APPL_NM_NODE_ADD, 0x21, 0}}, bx("34 7F 21 00 00 00 00"), 1, {}},
    // 0x54 primary
    {"controller change status", {{APPL_NM_CTLR_CHANGE, 0x21, 0}}, bx("54 02 21 06 00 08 07 D3 9C 02 02 07 5E"), 1,
     {"info n=8 l=1 o=1 s=0 st=6 age=0 r=0 b=02 g=02 sp=07 cls=[5E] ctl=[]"}},
    {"controller change with one byte of node information", {{APPL_NM_CTLR_CHANGE, 0x21, 0}},
     bx("54 02 21 06 00 08 02 D3"), 1, {"info n=8 l=1 o=0 s=0 st=6 age=0 r=0 b=00 g=00 sp=00 cls=[] ctl=[]"}},
    {"controller change failed", {{APPL_NM_CTLR_CHANGE, 0x21, 0}}, bx("54 02 21 07 00 00 07 D3 9C 02 02 07 5E"), 1,
     {"info " + no_info("0", "7")}},
    // 0x22 application status
    {"application busy from the gateway", {}, bx("22 01 00 05"), 1, {"app 1 0"}},
    {"application status of 2 bytes", {}, bx("22 02"), 1, {}},
    {"application busy from a third address", {}, bx("22 01 00 05"), 0, {}, "127.0.0.9"},
    // others go to the network
    {"other class", {}, bx("25 03 FF"), 0, {}},
};

class NmReply : public ::testing::TestWithParam<rx_case> {
protected:
    void SetUp() override { calls::get().clear(); }
};

void on_incl_rplc(appl_layer_ctx *, const appl_incl_evt_t *e) { calls::get().add("r:" + incl_text(e)); }

void set_pend(bare_ctx &b, const std::vector<pend_set> &p)
{
    for (const pend_set &e : p) {
        b.pend(e.kind, e.seq, e.node_id);
        if (e.kind == APPL_NM_FAILED_RPLC)
            b.nm.pend[e.kind].cb = on_incl_rplc;
    }
}

TEST_P(NmReply, ReachesItsCallback)
{
    const rx_case &c = GetParam();
    bare_ctx b;
    set_pend(b, c.pend);
    EXPECT_EQ(c.consumed, dispatch(b, c.bytes, c.src));
    EXPECT_EQ(c.lines, calls::get().all());
}

// Every prefix of every reply: nothing is read past the end (ASan), and a
// prefix never yields more than the whole reply does.
TEST_P(NmReply, TruncatedIsRefusedWithoutOverread)
{
    const rx_case &c = GetParam();
    for (size_t len = 0; len < c.bytes.size(); ++len) {
        bare_ctx b;
        set_pend(b, c.pend);
        calls::get().clear();
        dispatch(b, std::vector<uint8_t>(c.bytes.begin(), c.bytes.begin() + static_cast<long>(len)), c.src);
        EXPECT_LE(calls::get().all().size(), 1u) << len;
    }
}

INSTANTIATE_TEST_SUITE_P(Replies, NmReply, ::testing::ValuesIn(rx_cases),
                         [](const ::testing::TestParamInfo<rx_case> &i) {
                             std::string n;
                             for (const char *p = i.param.name; *p; ++p)
                                 n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return n;
                         });

TEST(NmMatching, ClearedKindsAnswerOnceThenGoUnsolicited)
{
    calls::get().clear();
    bare_ctx b;
    b.pend(APPL_NM_NODE_LIST, 0x40);
    const auto list = cat({bx("52 02 40 00 01 01"), bx(zeros_28)});
    dispatch(b, list);
    dispatch(b, list);
    EXPECT_EQ((std::vector<std::string>{"list st=0 suc=1 m=01" + zeros_28, "unsol list st=0 suc=1 m=01" + zeros_28}),
              calls::get().all());

    calls::get().clear();
    b.pend(APPL_NM_NODE_ADD, 0x41);
    dispatch(b, bx("34 11 41 87"));           // does not clear the entry
    dispatch(b, bx("34 02 41 07 00 00 01"));  // clears it
    dispatch(b, bx("34 02 41 07 00 00 01"));
    const auto all = calls::get().all();
    ASSERT_EQ(3u, all.size());
    EXPECT_EQ("keys 87 csa=0", all[0]);
    EXPECT_EQ(0u, all[1].rfind("add ", 0));
    EXPECT_EQ(0u, all[2].rfind("unsol add ", 0));
}

TEST(NmMatching, KeptKindsAnswerEveryCopy)
{
    calls::get().clear();
    bare_ctx b;
    b.pend(APPL_NM_NODE_RM, 0x42);
    dispatch(b, bx("34 04 42 06 05"));
    dispatch(b, bx("34 04 42 06 05"));
    EXPECT_EQ((std::vector<std::string>{"sts 6 n=5", "sts 6 n=5"}), calls::get().all());
}

TEST(NmMatching, NodeAdvertisementGoesToTheResolveCallback)
{
    calls::get().clear();
    bare_ctx b;
    const auto adv = cat({bx("58 01 05 05 00000000000000000000FFFF7F000005 C0FFEE01")});
    EXPECT_EQ(1, dispatch(b, adv));  // no resolve callback yet: consumed, dropped
    b.nm.resolve_cb = on_resolve;
    EXPECT_EQ(1, dispatch(b, adv));
    EXPECT_EQ(1, dispatch(b, std::vector<uint8_t>(adv.begin(), adv.end() - 1)));
    EXPECT_EQ(1, dispatch(b, bx("58 03 00 00")));  // a solicitation is not for us
    EXPECT_EQ((std::vector<std::string>{"adv l=1 v=1 n=5 ip=00000000000000000000FFFF7F000005 home=C0FFEE01 "
                                        "raw=C0FFEE01"}),
              calls::get().all());
}

TEST(NmMatching, ApplicationStatusOverIpv6NeedsTheGatewayOrTheController)
{
    calls::get().clear();
    bare_ctx b;
    b.appl.ipv4 = 0;
    const uint8_t gw[16] = {0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const uint8_t ctlr[16] = {0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    const uint8_t other[16] = {0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3};
    std::memcpy(b.appl.ssn.frm.tpt.peer_addr, gw, 16);
    ASSERT_EQ(1, appl_node_ip_set(&b.appl, ctlr, 16, 1));
    ASSERT_EQ(1, appl_node_ip_set(&b.appl, other, 16, 3));
    auto from = [&](const uint8_t *a) {
        tpt_sockaddr_t sa{};
        sa.v6.sin6_family = AF_INET6;
        std::memcpy(&sa.v6.sin6_addr, a, 16);
        const auto cmd = bx("22 02 00");
        return appl_nm_rpt_dispatch(&b.appl, &sa, cmd.data(), static_cast<uint16_t>(cmd.size()));
    };
    EXPECT_EQ(1, from(gw));
    EXPECT_EQ(1, from(ctlr));
    EXPECT_EQ(0, from(other));
    EXPECT_EQ((std::vector<std::string>{"app 2 0", "app 2 0"}), calls::get().all());
}

// --- white-list parsers ------------------------------------------------------

TEST(NmWhiteList, ListParse)
{
    struct {
        std::vector<uint8_t> body;
        int rc;
        uint8_t cnt;
    } cases[] = {
        {bx("00"), 0, 0},
        {bx("01 00"), 0, 1},
        {bx("02 01 AA 02 BB CC"), 0, 2},
        {bx("02 01 AA"), -1, 0},               // fewer than announced
        {bx("01 11"), -1, 0},                  // 17-byte DSK
        {bx("01 03 AA BB"), -1, 0},            // DSK runs past the end
        {{}, -1, 0},
    };
    for (const auto &c : cases) {
        auto buf = std::make_unique<uint8_t[]>(c.body.size() + 1);
        if (!c.body.empty())
            std::memcpy(buf.get(), c.body.data(), c.body.size());
        appl_wl_list_t l{};
        EXPECT_EQ(c.rc, appl_wl_list_parse(buf.get(), static_cast<uint16_t>(c.body.size()), &l));
        EXPECT_EQ(c.cnt, l.cnt);
        delete[] l.ent;
    }
}

TEST(NmWhiteList, LongTextsAreCutOnACharacterBoundary)
{
    // 62 ASCII bytes, then a 2-byte character across the 63-byte limit: the
    // character goes whole, the text keeps 62 bytes and its terminator.
    std::vector<uint8_t> rec(2 + 65, 'a');
    rec[0] = 0x01;
    rec[1] = 65;
    rec[2 + 62] = 0xC3;
    rec[2 + 63] = 0xA9;
    rec[2 + 64] = 'z';
    appl_wl_rec_t *out = nullptr;
    uint8_t cnt = 0;
    ASSERT_EQ(0, appl_wl_rec_parse(rec.data(), static_cast<uint16_t>(rec.size()), &out, &cnt));
    ASSERT_EQ(1u, cnt);
    EXPECT_EQ(std::string(62, 'a'), std::string(out[0].text));
    delete[] out;

    // 63 one-byte characters of 70 fit.
    std::vector<uint8_t> rec2(72, 'b');
    rec2[0] = 0x02;
    rec2[1] = 70;
    ASSERT_EQ(0, appl_wl_rec_parse(rec2.data(), static_cast<uint16_t>(rec2.size()), &out, &cnt));
    ASSERT_EQ(1u, cnt);
    EXPECT_EQ(std::string(63, 'b'), std::string(out[0].text));
    EXPECT_EQ(2u, out[0].type);
    delete[] out;

    // No records: success, none.
    ASSERT_EQ(0, appl_wl_rec_parse(rec.data(), 1, &out, &cnt));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(0u, cnt);
}

TEST(NmWhiteList, RecordSizeIsBoundedByTheField)
{
    appl_wl_rec_t r{};
    r.type = APPL_WL_REC_NAME;
    std::memset(r.text, 'x', sizeof r.text);  // fills the field, no terminator
    EXPECT_EQ(66u, appl_wl_rec_size(&r));
    std::strcpy(r.text, "hall");
    EXPECT_EQ(6u, appl_wl_rec_size(&r));
    r.type = 3;
    EXPECT_EQ(0u, appl_wl_rec_size(&r));
}

}  // namespace

namespace {

// Before the layer runs nothing is sent, no number is taken and no entry
// is written.
TEST(NmSenders, RefuseWhileTheLayerIsNotRunning)
{
    nm_test::bare_ctx b;
    const uint8_t seq = b.nm.seq;
    const uint8_t addr[16] = {};
    EXPECT_EQ(ZIP_ERR_NOT_RUNNING, zip_node_list_get(&b.appl, nm_test::on_node_list));
    EXPECT_EQ(ZIP_ERR_NOT_RUNNING, zw_add_node_to_network(&b.appl, nm_test::on_incl, 1, 0x20));
    EXPECT_EQ(ZIP_ERR_NOT_RUNNING, zw_assign_return_route(&b.appl, 5, 6, nm_test::on_sts_node));
    EXPECT_EQ(ZIP_ERR_NOT_RUNNING, zip_node_id_get(&b.appl, nm_test::on_resolve, addr, 0));
    EXPECT_EQ(ZIP_ERR_NOT_RUNNING, zip_node_list_get(nullptr, nm_test::on_node_list));
    EXPECT_EQ(seq, b.nm.seq);
    for (const appl_nm_pend_t &e : b.nm.pend)
        EXPECT_EQ(nullptr, e.cb);
    EXPECT_EQ(nullptr, b.nm.resolve_cb);
}

}  // namespace
