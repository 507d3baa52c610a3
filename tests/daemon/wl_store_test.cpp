// The network's mirror of the gateway's provisioning list: what the
// library's reports leave in it, and what requests get out of it.
#include "daemon/zwp_net_wl.h"
#include "tests/support/zws_log_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char *dsk_a = "11111-22222-33333-44444-55555-00001-00002-00003";
constexpr const char *dsk_b = "11111-22222-33333-44444-55555-00001-00002-00004";

struct store {
    zwp_net_wl_t *wl = nullptr;
    store() { EXPECT_EQ(0, zwp_net_wl_create(&wl)); }
    ~store() { zwp_net_wl_free(wl); }
    std::vector<std::string> dsks() const
    {
        std::vector<std::string> out;
        EXPECT_EQ(0, zwp_net_whitelist_list_report(wl, &out));
        return out;
    }
};

zwnet_wl_rec_t rec(uint8_t type, const std::string &text)
{
    zwnet_wl_rec_t r{};
    r.type = type;
    std::memcpy(r.text, text.data(), std::min(text.size(), sizeof r.text));
    return r;
}

TEST(WhitelistStore, AListReportKeepsEveryUsableDskInOrder)
{
    zw_test::log_capture log;
    struct list_case {
        const char *what;
        std::vector<const char *> dsks;
        std::vector<std::string> kept;
    };
    const list_case cases[] = {
        {"two", {dsk_a, dsk_b}, {dsk_a, dsk_b}},
        {"none", {}, {}},
        {"an empty DSK between two", {dsk_a, "", dsk_b}, {dsk_a, dsk_b}},
        {"a missing DSK first", {nullptr, dsk_b}, {dsk_b}},
    };
    for (const list_case &c : cases) {
        store s;
        const char *earlier[] = {"99999-99999-99999-99999-99999-99999-99999-99999"};
        zwp_net_wl_list_set(s.wl, earlier, 1);
        zwp_net_wl_list_set(s.wl, c.dsks.data(), c.dsks.size());
        EXPECT_EQ(c.kept, s.dsks()) << c.what << ": a report replaces the list";
    }
    const auto errors = log.errors();
    EXPECT_EQ(2, std::count_if(errors.begin(), errors.end(), [](const std::string &line) {
                  return line.rfind("zwp_net_wl_dev_info_t structure creation fail. DSK: ", 0) == 0;
              })) << "each skipped DSK is logged";
}

TEST(WhitelistStore, ADeviceReportStoresItsTextsCutToTheirRoom)
{
    const std::string long_text(64, 'x'); // fills the record without a terminator
    struct info_case {
        const char *what;
        std::vector<zwnet_wl_rec_t> recs;
        std::string name, loc;
    };
    const info_case cases[] = {
        {"name and location", {rec(ZWNET_WL_REC_NAME, "kitchen light"), rec(ZWNET_WL_REC_LOCATION, "hall")},
         "kitchen light", "hall"},
        {"location only", {rec(ZWNET_WL_REC_LOCATION, "hall")}, "", "hall"},
        {"an unknown record type", {rec(9, "ignored"), rec(ZWNET_WL_REC_NAME, "lamp")}, "lamp", ""},
        {"64 bytes without a terminator", {rec(ZWNET_WL_REC_NAME, long_text)}, long_text.substr(0, 63), ""},
        {"no records", {}, "", ""},
    };
    for (const info_case &c : cases) {
        store s;
        const char *listed[] = {dsk_a};
        zwp_net_wl_list_set(s.wl, listed, 1);
        // A first report with other texts: the next one replaces them.
        const zwnet_wl_rec_t first[] = {rec(ZWNET_WL_REC_NAME, "old"), rec(ZWNET_WL_REC_LOCATION, "old")};
        ASSERT_EQ(0, zwp_net_wl_dev_info_set(s.wl, dsk_a, 0x01, first, 2));
        ASSERT_EQ(0, zwp_net_wl_dev_info_set(s.wl, dsk_a, 0x87, c.recs.data(), static_cast<uint8_t>(c.recs.size())))
            << c.what;
        zwp_net_wl_dev_info_t got;
        ASSERT_EQ(0, zwp_net_wl_dev_info_find(s.wl, dsk_a, &got)) << c.what;
        EXPECT_EQ(c.name, got.name) << c.what;
        EXPECT_EQ(c.loc, got.loc) << c.what;
        EXPECT_EQ(0x87u, got.granted_keys) << c.what;
        EXPECT_EQ(c.recs.size(), got.info_cnt) << c.what;
        EXPECT_EQ(std::vector<std::string>{dsk_a}, s.dsks()) << c.what << ": a known DSK is not added twice";
    }
}

TEST(WhitelistStore, FindsOnlyTheExactDskAndAddsAReportedOne)
{
    store s;
    zwp_net_wl_dev_info_t got;
    EXPECT_EQ(22, zwp_net_wl_dev_info_find(s.wl, dsk_a, &got)) << "nothing reported yet";
    const zwnet_wl_rec_t name[] = {rec(ZWNET_WL_REC_NAME, "lamp")};
    ASSERT_EQ(0, zwp_net_wl_dev_info_set(s.wl, dsk_b, 0x02, name, 1));
    EXPECT_EQ(std::vector<std::string>{dsk_b}, s.dsks()) << "a device report adds its DSK";
    EXPECT_EQ(22, zwp_net_wl_dev_info_find(s.wl, dsk_a, &got));
    const std::string prefix(dsk_b, 20);
    EXPECT_EQ(22, zwp_net_wl_dev_info_find(s.wl, prefix.c_str(), &got)) << "a prefix is not the DSK";
    EXPECT_EQ(22, zwp_net_wl_dev_info_set(s.wl, "", 0x02, name, 1)) << "a report without DSK stores nothing";
    EXPECT_EQ(22, zwp_net_wl_dev_info_set(s.wl, nullptr, 0x02, name, 1));
    EXPECT_EQ(std::vector<std::string>{dsk_b}, s.dsks());
    zwp_net_wl_clear(s.wl);
    EXPECT_TRUE(s.dsks().empty());
}

// Requests read while the library's thread replaces the list: every copy
// is a whole list of the moment (run under the sanitizers to see a race).
TEST(WhitelistStore, CopiesAreTakenUnderTheLock)
{
    store s;
    const char *one[] = {dsk_a};
    const char *two[] = {dsk_a, dsk_b};
    zwp_net_wl_list_set(s.wl, one, 1);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        const zwnet_wl_rec_t name[] = {rec(ZWNET_WL_REC_NAME, "lamp")};
        for (int i = 0; i < 2000; i++) {
            zwp_net_wl_list_set(s.wl, i % 2 ? one : two, i % 2 ? 1 : 2);
            zwp_net_wl_dev_info_set(s.wl, dsk_b, 0x01, name, 1);
        }
        done = true;
    });
    while (!done) {
        const std::vector<std::string> seen = s.dsks();
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(dsk_a, seen[0]);
        zwp_net_wl_dev_info_t got;
        if (zwp_net_wl_dev_info_find(s.wl, dsk_b, &got) == 0) {
            EXPECT_EQ(dsk_b, got.dsk);
        }
    }
    writer.join();
}

} // namespace
