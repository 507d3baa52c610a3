// Where endpoint names are cut, and which gateways a gateway list shows
// with which flags.
#include "daemon/zwp_avi_node.h"
#include "daemon/zwp_avi_root.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(EndpointText, IsCutBetweenWholeUtf8Sequences)
{
    const struct {
        const char *what;
        std::string text;
        size_t max;
        size_t kept;
    } cases[] = {
        {"short ASCII is kept whole", "Kitchen", 32, 7},
        {"ASCII is cut at the limit", std::string(40, 'a'), 32, 32},
        {"a 2-byte letter across the limit goes", std::string(31, 'b') + "\xC3\xA9", 32, 31},
        {"a 2-byte letter that fits stays", std::string(30, 'b') + "\xC3\xA9", 32, 32},
        {"a 3-byte sign across the limit goes", std::string(30, 'c') + "\xE2\x82\xAC", 32, 30},
        {"a 4-byte sign across the limit goes", std::string(29, 'd') + "\xF0\x9F\x92\xA1", 32, 29},
        {"a 4-byte sign that fits stays", std::string(28, 'd') + "\xF0\x9F\x92\xA1", 32, 32},
        {"a stray continuation byte ends the text", "ab\x80" "cd", 32, 2},
        {"an overlong form ends the text", "ab\xC0\xAF", 32, 2},
        {"an encoded surrogate ends the text", "ab\xED\xA0\x80", 32, 2},
        {"a sequence cut short by the end ends the text", "ab\xE2\x82", 32, 2},
        {"nothing above U+10FFFF", "ab\xF4\x90\x80\x80", 32, 2},
        {"a NUL ends the text", std::string("ab\0cd", 5), 32, 2},
    };
    for (const auto &c : cases)
        EXPECT_EQ(zwp_utf8_cut_length(c.text.data(), c.text.size(), c.max), c.kept) << c.what;
}

zwp_discovered_gw_t found(std::initializer_list<uint8_t> bytes, const char *name = nullptr)
{
    zwp_discovered_gw_t gw{};
    std::copy(bytes.begin(), bytes.end(), gw.addr);
    if (name) {
        gw.has_name = true;
        gw.name = name;
    }
    return gw;
}

zwp_zip_entry_t stored(std::initializer_list<uint8_t> bytes, uint8_t ipv4, uint16_t port)
{
    zwp_zip_entry_t entry{};
    std::copy(bytes.begin(), bytes.end(), entry.addr);
    entry.ipv4 = ipv4;
    entry.port = port;
    entry.flags = ZWP_ZIP_STORED;
    return entry;
}

zwp_gw_t gateway(std::initializer_list<uint8_t> bytes, uint32_t ipv4, uint16_t port)
{
    zwp_gw_t gw{};
    std::copy(bytes.begin(), bytes.end(), gw.addr);
    gw.addr_type = ipv4;
    gw.port = port;
    return gw;
}

// What the test compares of each listed gateway.
struct row {
    uint8_t first;  // first address byte
    uint8_t last;   // last address byte
    int32_t type;
    int32_t port;
    int32_t flag;
    std::string name;
    bool operator==(const row &) const = default;
};

std::vector<row> rows(const std::vector<zwp_root_gateway_t> &list)
{
    std::vector<row> out;
    for (const zwp_root_gateway_t &gw : list)
        out.push_back({gw.addr[0], gw.addr[15], gw.address_type, gw.port, gw.flag, gw.has_name ? gw.name : "-"});
    return out;
}

std::ostream &operator<<(std::ostream &out, const row &r)
{
    return out << "{" << int(r.first) << ".." << int(r.last) << " type " << r.type << " port " << r.port << " flag "
               << r.flag << " " << r.name << "}";
}

TEST(GatewayList, ListsEachGatewayOnceWithItsFlags)
{
    const zwp_gw_t v4 = gateway({10, 0, 0, 1}, 1, 5000);
    const zwp_gw_t v6 = gateway({0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 0, 6000);
    zwp_discovery_snapshot_t discovered;
    discovered.ipv4 = {found({10, 0, 0, 1}, "Gateway One"), found({10, 0, 0, 2})};
    discovered.ipv6 = {found({0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1})};
    const zwp_zip_entry_t both[ZWP_ZIP_ENTRY_MAX] = {
        stored({10, 0, 0, 1}, 1, 41231),
        stored({0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 0, 41231),
        stored({10, 0, 0, 9}, 1, 0),
    };
    // An IPv6 entry that shares the first four bytes of an IPv4 gateway, and
    // one that shares them with an IPv6 gateway but differs later.
    const zwp_zip_entry_t lookalikes[ZWP_ZIP_ENTRY_MAX] = {
        stored({10, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7}, 0, 1),
        stored({0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}, 0, 2),
        stored({10, 0, 0, 1}, 1, 3),
    };
    const zwp_zip_entry_t none[ZWP_ZIP_ENTRY_MAX] = {};
    const zwp_discovery_snapshot_t nothing;
    const struct {
        const char *what;
        const zwp_discovery_snapshot_t &found;
        const zwp_zip_entry_t (&stored)[ZWP_ZIP_ENTRY_MAX];
        const zwp_gw_t *chosen;
        bool initialised;
        std::vector<row> listed;
    } cases[] = {
        {"discovered and stored is listed once, as discovered; in use with its port", discovered, both, &v4, true,
         {{10, 0, 1, 5000, 3, "Gateway One"}, {10, 0, 1, 0, 2, "-"}, {0xfd, 1, 0, 0, 2, "-"},
          {10, 0, 1, 0, 4, "-"}}},
        {"before the network is initialised nothing is in use", discovered, both, &v4, false,
         {{10, 0, 1, 0, 2, "Gateway One"}, {10, 0, 1, 0, 2, "-"}, {0xfd, 1, 0, 0, 2, "-"}, {10, 0, 1, 0, 4, "-"}}},
        {"an IPv6 gateway in use", discovered, both, &v6, true,
         {{10, 0, 1, 0, 2, "Gateway One"}, {10, 0, 1, 0, 2, "-"}, {0xfd, 1, 0, 6000, 3, "-"},
          {10, 0, 1, 0, 4, "-"}}},
        {"without discovery the stored entries, the one in use marked", nothing, both, &v4, true,
         {{10, 0, 1, 41231, 5, "-"}, {0xfd, 1, 0, 41231, 4, "-"}, {10, 0, 1, 0, 4, "-"}}},
        {"addresses compare within their family, over the whole IPv6 address", discovered, lookalikes, &v4, true,
         {{10, 0, 1, 5000, 3, "Gateway One"}, {10, 0, 1, 0, 2, "-"}, {0xfd, 1, 0, 0, 2, "-"}, {10, 7, 0, 1, 4, "-"},
          {0xfd, 2, 0, 2, 4, "-"}}},
        {"the IPv4 in use does not mark an IPv6 entry of the same first bytes", nothing, lookalikes, &v4, true,
         {{10, 7, 0, 1, 4, "-"}, {0xfd, 2, 0, 2, 4, "-"}, {10, 0, 1, 3, 5, "-"}}},
        {"no gateway chosen: nothing is in use", discovered, none, nullptr, true,
         {{10, 0, 1, 0, 2, "Gateway One"}, {10, 0, 1, 0, 2, "-"}, {0xfd, 1, 0, 0, 2, "-"}}},
        {"nothing found, nothing stored", nothing, none, nullptr, false, {}},
    };
    for (const auto &c : cases) {
        std::vector<zwp_root_gateway_t> list;
        ASSERT_EQ(zwp_root_gateway_list_build(c.found, c.stored, c.chosen, c.initialised, &list), 0) << c.what;
        EXPECT_EQ(rows(list), c.listed) << c.what;
    }
}

} // namespace
