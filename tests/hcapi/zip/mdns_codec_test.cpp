// The mDNS codec and receive pass against byte tables: exact query bytes,
// names with compression (loops, forward pointers, truncation at every
// byte), record data, and the PTR -> SRV -> A/AAAA walk of one pass.
#include "hcapi/zip/zip_mdns.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Appends labels of a dotted name (no '.' inside labels here) and a zero.
void put_name(Bytes &b, const std::string &dotted)
{
    size_t s = 0;
    while (s < dotted.size()) {
        size_t e = dotted.find('.', s);
        if (e == std::string::npos)
            e = dotted.size();
        b.push_back(static_cast<uint8_t>(e - s));
        b.insert(b.end(), dotted.begin() + static_cast<long>(s), dotted.begin() + static_cast<long>(e));
        s = e + 1;
    }
    b.push_back(0);
}

void put_label(Bytes &b, const std::string &label)
{
    b.push_back(static_cast<uint8_t>(label.size()));
    b.insert(b.end(), label.begin(), label.end());
}

void put_ptr(Bytes &b, uint16_t off)
{
    b.push_back(static_cast<uint8_t>(0xC0 | off >> 8));
    b.push_back(static_cast<uint8_t>(off));
}

void put16(Bytes &b, uint16_t v)
{
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

// Response header: flags 0x8400, no questions, `an` answers.
Bytes response(uint16_t an, uint16_t flags = 0x8400)
{
    Bytes b;
    put16(b, 0);
    put16(b, flags);
    put16(b, 0);
    put16(b, an);
    put16(b, 0);
    put16(b, 0);
    return b;
}

// Type, class IN with cache flush, TTL 120, then the data with its length.
void put_rr_tail(Bytes &b, uint16_t type, const Bytes &data, uint16_t cls = 0x8001)
{
    put16(b, type);
    put16(b, cls);
    put16(b, 0);
    put16(b, 120);
    put16(b, static_cast<uint16_t>(data.size()));
    b.insert(b.end(), data.begin(), data.end());
}

const Bytes kServiceWire = {7, '_', 'z', '-', 'w', 'a', 'v', 'e', 4, '_', 'u', 'd', 'p', 5, 'l', 'o', 'c', 'a', 'l', 0};

// ---------------------------------------------------------------------------
// Writer
// ---------------------------------------------------------------------------

TEST(MdnsWriter, BrowseQueryBytes)
{
    uint8_t q[MDNS_QUERY_BUF];
    mdns_hdr_bld(0, 0, 1, 0, 0, 0, q);
    size_t len = sizeof q - MDNS_HDR_LEN;
    ASSERT_EQ(mdns_qn_bld(MDNS_ZW_SERVICE, 0, MDNS_TYPE_PTR, q + MDNS_HDR_LEN, &len), 0);
    const Bytes want = {
        0x00, 0x00,  // id
        0x00, 0x00,  // flags: standard query
        0x00, 0x01,  // one question
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // no answer, authority or additional records
        0x07, '_', 'z', '-', 'w', 'a', 'v', 'e',  // "_z-wave"
        0x04, '_', 'u', 'd', 'p',                 // "_udp"
        0x05, 'l', 'o', 'c', 'a', 'l',            // "local"
        0x00,                                     // end of name
        0x00, 0x0C,                               // type PTR
        0x00, 0x01,                               // class IN
    };
    EXPECT_EQ(Bytes(q, q + MDNS_HDR_LEN + len), want);
}

TEST(MdnsWriter, HeaderFieldsInNetworkOrder)
{
    uint8_t h[12];
    mdns_hdr_bld(0x1234, 0x8400, 1, 0x0203, 4, 0xFFFF, h);
    EXPECT_EQ(Bytes(h, h + 12), (Bytes{0x12, 0x34, 0x84, 0x00, 0x00, 0x01, 0x02, 0x03, 0x00, 0x04, 0xFF, 0xFF}));
}

TEST(MdnsWriter, QuestionWithCompressionPointer)
{
    uint8_t q[8];
    size_t len = sizeof q;
    ASSERT_EQ(mdns_qn_bld("ignored", 0x012C, MDNS_TYPE_SRV, q, &len), 0);
    EXPECT_EQ(Bytes(q, q + len), (Bytes{0xC1, 0x2C, 0x00, 0x21, 0x00, 0x01}));
    len = sizeof q;
    EXPECT_EQ(mdns_qn_bld(nullptr, 0x4000, MDNS_TYPE_SRV, q, &len), -2);  // a pointer holds 14 bits
    len = 5;
    EXPECT_EQ(mdns_qn_bld(nullptr, 12, MDNS_TYPE_SRV, q, &len), -100);   // no room for type and class
}

TEST(MdnsWriter, NameEncodingLimits)
{
    const std::string l63(63, 'a'), l64(64, 'b');
    struct Case {
        std::string name;
        size_t space;
        int rc;
        size_t written;
    };
    const std::string long_name = l63 + "." + l63 + "." + l63 + "." + std::string(61, 'c');  // 254 + zero = 255
    const Case cases[] = {
        {l63, 100, 0, 65},
        {l64, 100, -2, 0},                 // label of 64 bytes
        {"x." + l64 + ".local", 200, -2, 0},
        {long_name, 300, 0, 255},          // exactly the DNS limit
        {long_name + "d", 300, -2, 0},     // one byte over
        {"a.bc", 5, -3, 0},                // the zero byte does not fit
        {"a.bc", 6, 0, 6},
        {"a.bc", 3, -3, 0},                // the second label does not fit
        {"a..b.", 10, 0, 5},               // empty labels are not written
        {"", 1, 0, 1},
        {"", 0, -3, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name.substr(0, 20) + " space " + std::to_string(c.space));
        std::vector<uint8_t> out(c.space + 1, 0xEE);
        size_t len = c.space;
        EXPECT_EQ(mdns_dname_bld(c.name.c_str(), out.data(), &len), c.rc);
        if (c.rc == 0) {
            EXPECT_EQ(len, c.written);
        }
        EXPECT_EQ(out[c.space], 0xEE);  // nothing written past the space given
    }
}

// ---------------------------------------------------------------------------
// Header
// ---------------------------------------------------------------------------

TEST(MdnsReader, HeaderChecks)
{
    struct Case {
        uint16_t flags, qd;
        int rc;
    };
    const Case cases[] = {
        {0x8000, 0, 0},  {0x8400, 0, 0},   // authoritative answer accepted
        {0x8200, 0, 0},                    // truncated bit ignored
        {0x8403, 0, -2},                   // RCODE 3
        {0x0000, 0, -2},                   // a query
        {0x8800, 0, -2},                   // opcode 1
        {0x8400, 1, -3},                   // questions present
    };
    for (const auto &c : cases) {
        Bytes b = response(2, c.flags);
        b[4] = 0;
        b[5] = static_cast<uint8_t>(c.qd);
        uint16_t an = 0, ns = 9, ar = 9;
        EXPECT_EQ(mdns_hdr_parse(b.data(), b.size(), &an, &ns, &ar), c.rc) << std::hex << c.flags;
        if (c.rc == 0) {
            EXPECT_EQ(an, 2);
            EXPECT_EQ(ns, 0);
            EXPECT_EQ(ar, 0);
        }
    }
    Bytes b = response(1);
    EXPECT_EQ(mdns_hdr_parse(b.data(), 11, nullptr, nullptr, nullptr), -1);
}

// ---------------------------------------------------------------------------
// Names
// ---------------------------------------------------------------------------

TEST(MdnsReader, NamesWithCompression)
{
    // 12 bytes of header, then "_z-wave._udp.local" at 12, then the names.
    Bytes m = response(0);
    m.insert(m.end(), kServiceWire.begin(), kServiceWire.end());  // 12..31
    const size_t inst = m.size();                                  // 32
    put_label(m, "Gw v7.1");                                       // a '.' inside a label
    put_ptr(m, 12);
    const size_t self = m.size();
    put_label(m, "x");
    put_ptr(m, static_cast<uint16_t>(self));  // points at its own start
    const size_t fwd = m.size();
    put_ptr(m, static_cast<uint16_t>(fwd + 4));  // points forward
    put_label(m, "a");
    m.push_back(0);
    const size_t bad_len = m.size();
    m.push_back(0x40);  // 64: only one top bit
    const size_t bad_len2 = m.size();
    m.push_back(0x80);
    const size_t root = m.size();
    m.push_back(0);
    const size_t to_root = m.size();
    put_ptr(m, static_cast<uint16_t>(root));
    // A pointer to a name that itself points forward again: a loop through
    // two names.
    const size_t loop_a = m.size();
    put_label(m, "p");
    put_ptr(m, static_cast<uint16_t>(loop_a + 6));
    const size_t loop_b = m.size();  // loop_a + 4
    put_ptr(m, static_cast<uint16_t>(loop_a));
    (void)loop_b;
    const size_t loop_entry = m.size();
    put_ptr(m, static_cast<uint16_t>(loop_b));

    struct Case {
        size_t pos;
        int rc;
        const char *text;
        size_t occupied;
    };
    const Case cases[] = {
        {12, 0, "_z-wave._udp.local", 20},
        {inst, 0, "Gw v7.1._z-wave._udp.local", 10},
        {self, -8, nullptr, 0},
        {fwd, -8, nullptr, 0},
        {bad_len, -6, nullptr, 0},
        {bad_len2, -6, nullptr, 0},
        {root, -1, nullptr, 0},
        {to_root, -1, nullptr, 0},
        {loop_entry, -4, nullptr, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pos);
        mdns_name_t n;
        size_t len = m.size() - c.pos;
        EXPECT_EQ(mdns_parse_dname(m.data(), m.size(), c.pos, &len, &n), c.rc);
        if (c.rc == 0) {
            EXPECT_EQ(n.text, c.text);
            EXPECT_EQ(len, c.occupied);
        }
    }
    // The wire form keeps the label with its '.', ready to be asked again.
    mdns_name_t n;
    size_t len = m.size() - inst;
    ASSERT_EQ(mdns_parse_dname(m.data(), m.size(), inst, &len, &n), 0);
    Bytes want = {7, 'G', 'w', ' ', 'v', '7', '.', '1'};
    want.insert(want.end(), kServiceWire.begin(), kServiceWire.end());
    EXPECT_EQ(Bytes(n.wire.begin(), n.wire.end()), want);
}

TEST(MdnsReader, NameLengthBound)
{
    // Backward pointers chain five 60-byte labels: 305 bytes expanded.
    Bytes m = response(0);
    size_t prev = 0;
    for (int i = 0; i < 5; ++i) {
        const size_t here = m.size();
        put_label(m, std::string(60, static_cast<char>('a' + i)));
        if (i == 0)
            m.push_back(0);
        else
            put_ptr(m, static_cast<uint16_t>(prev));
        prev = here;
    }
    mdns_name_t n;
    size_t len = m.size() - prev;
    EXPECT_EQ(mdns_parse_dname(m.data(), m.size(), prev, &len, &n), -9);
    // Four of them (244 bytes plus the zero) still fit.
    const size_t fourth = 12 + 62 + 63 + 63;
    len = m.size() - fourth;
    ASSERT_EQ(mdns_parse_dname(m.data(), m.size(), fourth, &len, &n), 0);
    EXPECT_EQ(n.wire.size(), 4u * 61 + 1);
}

TEST(MdnsReader, AvailableBytesBoundTheName)
{
    Bytes m = response(0);
    m.insert(m.end(), kServiceWire.begin(), kServiceWire.end());
    for (size_t avail = 0; avail < kServiceWire.size(); ++avail) {
        mdns_name_t n;
        size_t len = avail;
        EXPECT_LT(mdns_parse_dname(m.data(), m.size(), 12, &len, &n), 0) << avail;
    }
    mdns_name_t n;
    size_t len = 100;  // more than the message holds: the message length bounds it
    EXPECT_EQ(mdns_parse_dname(m.data(), m.size(), 12, &len, &n), 0);
    len = 5;
    EXPECT_EQ(mdns_parse_dname(m.data(), m.size(), m.size(), &len, &n), -7);
}

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

// A response with PTR, SRV (with padding after its target), A, AAAA and a
// TXT record, all names compressed back to the first owner.
Bytes full_response()
{
    Bytes m = response(5);
    put_name(m, "_z-wave._udp.local");  // owner at 12
    Bytes ptr;
    put_label(ptr, "zipgw");
    put_ptr(ptr, 12);
    put_rr_tail(m, MDNS_TYPE_PTR, ptr);
    const size_t inst = m.size() - ptr.size();  // the instance name inside the PTR data
    put_ptr(m, static_cast<uint16_t>(inst));
    Bytes srv = {0x00, 0x01, 0x00, 0x02, 0x10, 0x1B};  // priority 1, weight 2, port 4123
    put_label(srv, "host");
    put_label(srv, "local");
    srv.push_back(0);
    srv.push_back(0xAA);  // a padding byte the name does not use
    put_rr_tail(m, MDNS_TYPE_SRV, srv);
    put_name(m, "host.local");
    put_rr_tail(m, MDNS_TYPE_A, {10, 0, 0, 7});
    put_name(m, "host.local");
    put_rr_tail(m, MDNS_TYPE_AAAA, {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2});
    put_name(m, "host.local");
    put_rr_tail(m, 16, {3, 'a', '=', 'b'});  // TXT: kept, not read
    return m;
}

TEST(MdnsReader, AnswerSectionRecords)
{
    const Bytes m = full_response();
    std::vector<mdns_rr_t> rrs;
    ASSERT_EQ(mdns_parse_answer(m.data(), m.size(), 12, 5, rrs), 0);
    ASSERT_EQ(rrs.size(), 5u);
    EXPECT_EQ(rrs[0].type, MDNS_TYPE_PTR);
    EXPECT_EQ(rrs[0].owner.text, "_z-wave._udp.local");
    EXPECT_EQ(rrs[0].target.text, "zipgw._z-wave._udp.local");
    EXPECT_EQ(rrs[0].ttl, 120u);
    EXPECT_EQ(rrs[1].type, MDNS_TYPE_SRV);
    EXPECT_EQ(rrs[1].owner.text, "zipgw._z-wave._udp.local");
    EXPECT_EQ(rrs[1].priority, 1);
    EXPECT_EQ(rrs[1].weight, 2);
    EXPECT_EQ(rrs[1].port, 4123);
    EXPECT_EQ(rrs[1].target.text, "host.local");
    // The record after the padded SRV starts where the SRV's length says.
    EXPECT_EQ(rrs[2].type, MDNS_TYPE_A);
    EXPECT_EQ(rrs[2].owner.text, "host.local");
    EXPECT_EQ(Bytes(rrs[2].addr, rrs[2].addr + 4), (Bytes{10, 0, 0, 7}));
    EXPECT_EQ(rrs[3].type, MDNS_TYPE_AAAA);
    EXPECT_EQ(rrs[3].addr[0], 0xfd);
    EXPECT_EQ(rrs[3].addr[15], 2);
    EXPECT_EQ(rrs[4].type, 16);
    EXPECT_FALSE(rrs[4].has_value);
}

TEST(MdnsReader, TruncationAtEveryByteIsRefused)
{
    const Bytes m = full_response();
    for (size_t n = 0; n < m.size(); ++n) {
        // A copy of exactly n bytes, so that ASan sees any read past it.
        std::vector<uint8_t> cut(m.begin(), m.begin() + static_cast<long>(n));
        uint16_t an = 0;
        std::vector<mdns_rr_t> rrs;
        if (mdns_hdr_parse(cut.data(), cut.size(), &an, nullptr, nullptr) != 0) {
            EXPECT_LT(n, 12u);
            continue;
        }
        EXPECT_LT(mdns_parse_answer(cut.data(), cut.size(), 12, an, rrs), 0) << n;
        EXPECT_TRUE(rrs.empty());
    }
}

TEST(MdnsReader, RecordErrors)
{
    struct Case {
        const char *what;
        Bytes rr;  // after the owner name "h.local"
        int rc;
    };
    const Case cases[] = {
        {"fixed part short", {0x00, 0x01, 0x00, 0x01, 0, 0, 0}, -4},
        {"class CH", {0x00, 0x01, 0x00, 0x03, 0, 0, 0, 1, 0, 4, 1, 2, 3, 4}, -5},
        {"data past end", {0x00, 0x01, 0x00, 0x01, 0, 0, 0, 1, 0, 5, 1, 2, 3, 4}, -6},
    };
    for (const auto &c : cases) {
        Bytes m = response(1);
        put_name(m, "h.local");
        m.insert(m.end(), c.rr.begin(), c.rr.end());
        std::vector<mdns_rr_t> rrs;
        EXPECT_EQ(mdns_parse_answer(m.data(), m.size(), 12, 1, rrs), c.rc) << c.what;
    }
    Bytes m = response(0);
    std::vector<mdns_rr_t> rrs;
    EXPECT_EQ(mdns_parse_answer(m.data(), m.size(), 12, 0, rrs), -1);

    // Short data of a known type keeps the record without a value.
    struct Rd {
        uint16_t type;
        Bytes data;
        int rc;
    };
    const Rd rds[] = {
        {MDNS_TYPE_A, {1, 2, 3}, -1},
        {MDNS_TYPE_AAAA, Bytes(15, 1), -1},
        {MDNS_TYPE_SRV, {0, 0, 0, 0, 0x10}, -1},
        {MDNS_TYPE_SRV, {0, 0, 0, 0, 0x10, 0x1B}, -1},       // no target
        {MDNS_TYPE_PTR, {3, 'a', 'b'}, -13},                  // label past the data
        {MDNS_TYPE_PTR, {0xC0, 0x40}, -18},                   // forward pointer
        {16, {0}, -100},
    };
    for (const auto &r : rds) {
        Bytes msg = response(1);
        msg.insert(msg.end(), r.data.begin(), r.data.end());
        msg.push_back(0);  // a byte after the data, which the parse must not use
        mdns_rr_t rr;
        size_t len = r.data.size();
        EXPECT_EQ(mdns_parse_rdata(r.type, msg.data(), msg.size(), 12, &len, &rr), r.rc) << r.type;
        EXPECT_FALSE(rr.has_value);
    }
    mdns_rr_t rr;
    size_t len = 0;
    EXPECT_EQ(mdns_parse_rdata(MDNS_TYPE_A, m.data(), m.size(), 12, &len, &rr), -110);
}

// ---------------------------------------------------------------------------
// Receive pass
// ---------------------------------------------------------------------------

Bytes ptr_response(const std::vector<std::string> &instances, const std::string &service = "_z-wave._udp.local")
{
    Bytes m = response(static_cast<uint16_t>(instances.size()));
    for (size_t i = 0; i < instances.size(); ++i) {
        if (i == 0)
            put_name(m, service);
        else
            put_ptr(m, 12);
        Bytes d;
        put_label(d, instances[i]);
        put_ptr(d, 12);
        put_rr_tail(m, MDNS_TYPE_PTR, d);
    }
    return m;
}

// Owner `inst` + "._z-wave._udp.local" written out, target host.
Bytes srv_response(const std::string &inst, const std::string &host)
{
    Bytes m = response(1);
    put_label(m, inst);
    put_name(m, "_z-wave._udp.local");
    Bytes d = {0, 0, 0, 0, 0x10, 0x1B};
    put_name(d, host);
    put_rr_tail(m, MDNS_TYPE_SRV, d);
    return m;
}

Bytes addr_response(const std::string &host, uint16_t type, const Bytes &addr)
{
    Bytes m = response(1);
    put_name(m, host);
    put_rr_tail(m, type, addr);
    return m;
}

Bytes question(const Bytes &name_wire, uint16_t type)
{
    Bytes q = {0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    q.insert(q.end(), name_wire.begin(), name_wire.end());
    put16(q, type);
    put16(q, 1);
    return q;
}

Bytes wire_of(const std::string &label, const std::string &rest)
{
    Bytes w;
    put_label(w, label);
    put_name(w, rest);
    return w;
}

int feed(mdns_pass_t &p, const Bytes &m) { return mdns_rcv_datagram(p, m.data(), m.size()); }

TEST(MdnsPass, PtrSrvAddressWalkOverIpv4)
{
    mdns_pass_t p;
    p.ipv4 = 1;
    testing::internal::CaptureStdout();
    ASSERT_EQ(feed(p, ptr_response({"Gw v7.1"})), 0);
    ASSERT_EQ(p.to_send.size(), 1u);
    // The SRV question carries the instance label with its '.' intact.
    EXPECT_EQ(p.to_send[0], question(wire_of("Gw v7.1", "_z-wave._udp.local"), MDNS_TYPE_SRV));
    p.to_send.clear();

    // The same instance again asks nothing.
    EXPECT_EQ(feed(p, ptr_response({"Gw v7.1"})), -30);
    EXPECT_TRUE(p.to_send.empty());

    ASSERT_EQ(feed(p, srv_response("Gw v7.1", "zipgw.local")), 0);
    ASSERT_EQ(p.to_send.size(), 1u);
    Bytes host_wire;
    put_name(host_wire, "zipgw.local");
    EXPECT_EQ(p.to_send[0], question(host_wire, MDNS_TYPE_A));
    p.to_send.clear();

    // A second SRV for the same instance: already mapped, nothing asked.
    EXPECT_EQ(feed(p, srv_response("Gw v7.1", "other.local")), -32);
    EXPECT_TRUE(p.to_send.empty());

    // An AAAA under IPv4 is ignored; the A (host name in another case) is taken.
    EXPECT_EQ(feed(p, addr_response("zipgw.local", MDNS_TYPE_AAAA, Bytes(16, 0xfd))), 0);
    EXPECT_EQ(feed(p, addr_response("ZIPGW.local", MDNS_TYPE_A, {192, 168, 5, 9})), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("mdns_zw_rsrc_get with err:-30\n"), std::string::npos);
    EXPECT_NE(out.find("service:Gw v7.1._z-wave._udp.local already has host:zipgw.local mapped\n"), std::string::npos);
    EXPECT_NE(out.find("service:Gw v7.1._z-wave._udp.local, host:zipgw.local, IP:192.168.5.9\n"), std::string::npos);

    std::vector<uint8_t> addrs;
    std::vector<std::string> names;
    mdns_pass_results(p, MDNS_MAX_RESULTS, addrs, names);
    EXPECT_EQ(addrs, (Bytes{192, 168, 5, 9}));
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0], "Gw v7.1._z-wave._udp.local");
}

TEST(MdnsPass, UnknownAndUnansweredInstances)
{
    mdns_pass_t p;
    p.ipv4 = 0;
    testing::internal::CaptureStdout();
    // An SRV for an instance never seen in a PTR answer asks nothing.
    EXPECT_EQ(feed(p, srv_response("stranger", "s.local")), -31);
    EXPECT_TRUE(p.to_send.empty());
    // Other services' PTR answers are ignored.
    EXPECT_EQ(feed(p, ptr_response({"printer"}, "_ipp._tcp.local")), 0);
    EXPECT_TRUE(p.tbl.empty());
    // Two instances in one answer: both are asked for.
    ASSERT_EQ(feed(p, ptr_response({"a", "b"})), 0);
    EXPECT_EQ(p.to_send.size(), 2u);
    EXPECT_EQ(feed(p, srv_response("a", "ha.local")), 0);
    EXPECT_EQ(feed(p, srv_response("b", "hb.local")), 0);
    // Under IPv6 the host question is AAAA.
    Bytes hb;
    put_name(hb, "hb.local");
    EXPECT_EQ(p.to_send.back(), question(hb, MDNS_TYPE_AAAA));
    Bytes a6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x42};
    EXPECT_EQ(feed(p, addr_response("ha.local", MDNS_TYPE_AAAA, a6)), 0);
    // An address for a host nobody asked about.
    EXPECT_EQ(feed(p, addr_response("nobody.local", MDNS_TYPE_AAAA, a6)), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("service stranger._z-wave._udp.local is not z-wave resource\n"), std::string::npos);
    EXPECT_NE(out.find("host nobody.local is not z-wave resource\n"), std::string::npos);
    EXPECT_NE(out.find("IP:2001:0db8:0000:0000:0000:0000:0000:0042\n"), std::string::npos);

    std::vector<uint8_t> addrs;
    std::vector<std::string> names;
    mdns_pass_results(p, MDNS_MAX_RESULTS, addrs, names);
    EXPECT_EQ(addrs, a6);  // "b" never got its address: not reported
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0], "a._z-wave._udp.local");
}

TEST(MdnsPass, TableAndResultsAreCapped)
{
    mdns_pass_t p;
    testing::internal::CaptureStdout();
    for (int i = 0; i < 130; ++i)
        feed(p, ptr_response({"gw" + std::to_string(i)}));
    EXPECT_EQ(p.tbl.size(), MDNS_TBL_MAX);
    for (int i = 0; i < 5; ++i) {
        feed(p, srv_response("gw" + std::to_string(i), "h" + std::to_string(i) + ".local"));
        feed(p, addr_response("h" + std::to_string(i) + ".local", MDNS_TYPE_A, {10, 0, 0, static_cast<uint8_t>(i + 1)}));
    }
    testing::internal::GetCapturedStdout();
    std::vector<uint8_t> addrs;
    std::vector<std::string> names;
    mdns_pass_results(p, 3, addrs, names);
    EXPECT_EQ(names.size(), 3u);
    EXPECT_EQ(addrs.size(), 12u);
}

TEST(MdnsPass, RefusedDatagramsChangeNothing)
{
    mdns_pass_t p;
    testing::internal::CaptureStdout();
    Bytes rcode3 = ptr_response({"gw"});
    rcode3[3] = 0x03;
    EXPECT_EQ(feed(p, rcode3), -2);
    Bytes query = question(kServiceWire, MDNS_TYPE_PTR);
    EXPECT_EQ(feed(p, query), -2);
    EXPECT_LT(feed(p, response(0)), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(p.tbl.empty());
    EXPECT_TRUE(p.to_send.empty());
}

TEST(MdnsDiscovery, StopRefusesOtherHandles)
{
    EXPECT_EQ(mdns_discvr_stop(nullptr), -1);
    struct {
        uint32_t tag;
        int other;
    } probe_handle = {ZIP_GW_DISCVR_TAG, 0};
    EXPECT_EQ(mdns_discvr_stop(&probe_handle), -2);
}

}  // namespace
