// Lists, tick comparisons, byte order, the command-class splitter and the
// small text helpers.
#include "hcapi/zip/zip_error.h"
#include "hcapi/zip/zip_tick.h"
#include "hcapi/zip/zip_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Tick comparisons
// ---------------------------------------------------------------------------

TEST(TickCompare, ExpiryAcrossWrapAround32)
{
    struct {
        uint32_t now, due;
        int reached;
    } cases[] = {
        {5, 5, 1},
        {5, 0xFFFFFFF0u, 1},           // now has wrapped past due
        {0xFFFFFFF0u, 5, 0},           // due is 21 ticks ahead, across the wrap
        {100, 99, 1},
        {99, 100, 0},
        {0xEFFFFFFFu, 0, 1},           // the oldest due tick still counted as reached
        {0xF0000000u, 0, 0},           // one more and it counts as ahead
        {0, 0x10000000u, 0},           // ahead: waited for
        {0, 0xEFFFFFFFu, 0},
        {0, 0xF0000000u, 1},           // 0x10000000 behind, across the wrap
        {0x7FFFFFFFu, 0x80000000u, 0},
    };
    for (auto c : cases)
        EXPECT_EQ(c.reached, util_tmr_exp_chk32(c.now, c.due)) << std::hex << c.now << " " << c.due;
}

TEST(TickCompare, ExpiryAcrossWrapAround16)
{
    struct {
        uint16_t now, due;
        int reached;
    } cases[] = {
        {5, 5, 1},      {5, 0xFFF0, 1}, {0xFFF0, 5, 0}, {0xEFFF, 0, 1},
        {0xF000, 0, 0}, {0, 0x1000, 0}, {0, 0xEFFF, 0}, {0, 0xF000, 1}, {200, 100, 1},
    };
    for (auto c : cases)
        EXPECT_EQ(c.reached, util_tmr_exp_chk(c.now, c.due)) << c.now << " " << c.due;
}

TEST(TickCompare, Differences)
{
    EXPECT_EQ(5u, util_tmr_diff32(3, 0xFFFFFFFEu));
    EXPECT_EQ(5u, util_tmr_diff32(0xFFFFFFFEu, 3));
    EXPECT_EQ(0u, util_tmr_diff32(7, 7));
    EXPECT_EQ(10u, util_tmr_diff32(10, 20));
    EXPECT_EQ(10u, util_tmr_diff32(20, 10));
    EXPECT_EQ(0xEFFFFFFFu, util_tmr_diff32(0, 0xEFFFFFFFu));
    EXPECT_EQ(0x0FFFFFFFu, util_tmr_diff32(0, 0xF0000001u));  // taken as across the wrap
    EXPECT_EQ(5, util_tmr_diff(2, 0xFFFD));  // directional
    EXPECT_EQ(0xFFFB, util_tmr_diff(0xFFFD, 2));
    EXPECT_EQ(0, util_tmr_diff(9, 9));
}

// ---------------------------------------------------------------------------
// Byte order and command-class lists
// ---------------------------------------------------------------------------

TEST(ByteOrder, SwapsWordsOnThisHost)
{
    ASSERT_EQ(0, util_is_big_endian());  // the hosts we run on
    uint8_t words[] = {0x12, 0x34, 0xAB, 0xCD};
    EXPECT_EQ(2u, util_ntohs_buf(words, 2));
    EXPECT_EQ(0x34, words[0]);
    EXPECT_EQ(0x12, words[1]);
    EXPECT_EQ(0xCD, words[2]);
}

TEST(CmdClsParse, SplitsPlainAndSecureAndDropsControlled)
{
    struct {
        std::vector<uint8_t> in;
        int result;
        std::vector<uint16_t> plain, secure;
    } cases[] = {
        {{0x25, 0x26, 0xEF, 0x20, 0xF1, 0x00, 0x98, 0x9F, 0xF2, 0x05}, 1, {0x25, 0x26}, {0x98, 0x9F, 0xF205}},
        {{0x25, 0xF2, 0x05, 0x26}, 1, {0x25, 0xF205, 0x26}, {}},
        {{0x25, 0xEF, 0xF2, 0x05, 0x20}, 1, {0x25}, {}},              // controlled extended class dropped
        {{0x25, 0xF3}, 1, {0x25}, {}},                                  // lone last extended byte ends the walk
        {{0xF1, 0x00, 0x98, 0xEF, 0x20, 0xF1, 0x00, 0x9F}, 1, {}, {0x98, 0x9F}},
        {{}, 0, {}, {}},
    };
    for (auto &c : cases) {
        std::vector<uint16_t> plain{0xDEAD}, secure{0xBEEF};
        EXPECT_EQ(c.result, util_cmd_cls_parse(c.in.data(), static_cast<uint8_t>(c.in.size()), plain, secure));
        EXPECT_EQ(c.plain, plain);
        EXPECT_EQ(c.secure, secure);
    }
    std::vector<uint16_t> a, b;
    EXPECT_EQ(0, util_cmd_cls_parse(nullptr, 3, a, b));
}

// ---------------------------------------------------------------------------
// Lists
// ---------------------------------------------------------------------------

struct entry {
    uint8_t key;
    uint8_t val[7];
};

int by_key(const void *stored, const void *key)
{
    return static_cast<const uint8_t *>(stored)[0] == static_cast<const uint8_t *>(key)[0] ? 0 : 1;
}

std::vector<uint8_t> keys(util_lst_t *head)
{
    std::vector<uint8_t> out;
    for (util_lst_t *n = head; n; n = n->next)
        out.push_back(static_cast<uint8_t *>(util_lst_item(n))[0]);
    return out;
}

TEST(List, AddGetKeepOrderAndCopies)
{
    util_lst_t *head = nullptr;
    for (uint8_t k = 1; k <= 3; ++k) {
        entry e{k, {k, k}};
        ASSERT_EQ(0, util_lst_add(nullptr, &head, &e, sizeof e));
        e.key = 99;  // the list holds its own copy
    }
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), keys(head));
    util_lst_t *first = util_lst_get(nullptr, &head);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(sizeof(entry), first->dat_len);
    EXPECT_EQ(1, static_cast<entry *>(util_lst_item(first))->key);
    EXPECT_EQ(nullptr, first->next);
    util_lst_free(first);
    EXPECT_EQ((std::vector<uint8_t>{2, 3}), keys(head));
    util_lst_flush(nullptr, &head);
    EXPECT_EQ(nullptr, head);
    EXPECT_EQ(nullptr, util_lst_get(nullptr, &head));
}

TEST(List, FindAndReplaceCopyTheSmallerSize)
{
    util_lst_t *head = nullptr;
    entry big{7, {1, 2, 3, 4, 5, 6, 7}};
    uint8_t small_item[2] = {9, 0x55};
    ASSERT_EQ(0, util_lst_add(nullptr, &head, &big, sizeof big));
    ASSERT_EQ(0, util_lst_add(nullptr, &head, small_item, sizeof small_item));

    // A key buffer smaller than the stored item gets only what fits.
    uint8_t key2[2] = {7, 0};
    EXPECT_EQ(1, util_lst_find(nullptr, head, key2, sizeof key2, by_key));
    EXPECT_EQ(1, key2[1]);
    // A larger buffer keeps its bytes past the stored item.
    uint8_t key8[8];
    std::memset(key8, 0xEE, sizeof key8);
    key8[0] = 9;
    EXPECT_EQ(1, util_lst_find(nullptr, head, key8, sizeof key8, by_key));
    EXPECT_EQ(0x55, key8[1]);
    EXPECT_EQ(0xEE, key8[2]);
    uint8_t missing[1] = {42};
    EXPECT_EQ(0, util_lst_find(nullptr, head, missing, sizeof missing, by_key));

    // Replacing the 2-byte item with a longer record writes only its 2 bytes.
    entry with9{9, {0x66, 0x77}};
    EXPECT_EQ(1, util_lst_replace(nullptr, head, &with9, sizeof with9, by_key));
    util_lst_t *second = head->next;
    EXPECT_EQ(2u, second->dat_len);
    EXPECT_EQ(0x66, static_cast<uint8_t *>(util_lst_item(second))[1]);
    // A shorter item overwrites only its own bytes.
    uint8_t short7[2] = {7, 0x99};
    EXPECT_EQ(1, util_lst_replace(nullptr, head, short7, sizeof short7, by_key));
    EXPECT_EQ(0x99, static_cast<entry *>(util_lst_item(head))->val[0]);
    EXPECT_EQ(2, static_cast<entry *>(util_lst_item(head))->val[1]);
    EXPECT_EQ(0, util_lst_replace(nullptr, head, missing, sizeof missing, by_key));

    EXPECT_EQ(1, util_lst_rm(nullptr, &head, small_item, by_key));
    EXPECT_EQ(0, util_lst_rm(nullptr, &head, small_item, by_key));
    EXPECT_EQ((std::vector<uint8_t>{7}), keys(head));
    util_lst_flush(nullptr, &head);
}

TEST(List, AddUniqOverwritesOrAppends)
{
    util_lst_t *head = nullptr;
    uint8_t a[3] = {1, 10, 11};
    uint8_t b[3] = {2, 20, 21};
    EXPECT_EQ(0, util_lst_add_uniq(nullptr, &head, a, sizeof a, by_key));
    EXPECT_EQ(0, util_lst_add_uniq(nullptr, &head, b, sizeof b, by_key));
    uint8_t a_short[2] = {1, 12};
    EXPECT_EQ(1, util_lst_add_uniq(nullptr, &head, a_short, sizeof a_short, by_key));
    EXPECT_EQ(2u, head->dat_len);
    EXPECT_EQ(12, static_cast<uint8_t *>(util_lst_item(head))[1]);
    // Longer than the stored item: it is kept whole, in the same place.
    uint8_t a_long[6] = {1, 13, 14, 15, 16, 17};
    EXPECT_EQ(1, util_lst_add_uniq(nullptr, &head, a_long, sizeof a_long, by_key));
    EXPECT_EQ(6u, head->dat_len);
    EXPECT_EQ(0, std::memcmp(util_lst_item(head), a_long, sizeof a_long));
    EXPECT_EQ((std::vector<uint8_t>{1, 2}), keys(head));
    util_lst_flush(nullptr, &head);
}

TEST(List, AddMergeFoldsIntoTheLastItem)
{
    util_lst_t *head = nullptr;
    // Items {key, count}: the same key as the last item adds to its count.
    auto merge = [](void *stored, const void *item) -> int {
        auto *s = static_cast<uint8_t *>(stored);
        auto *n = static_cast<const uint8_t *>(item);
        if (s[0] != n[0])
            return 1;
        s[1] = static_cast<uint8_t>(s[1] + n[1]);
        return 0;
    };
    uint8_t items[][2] = {{1, 1}, {1, 2}, {2, 1}, {1, 4}};
    int want[] = {0, 1, 0, 0};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(want[i], util_lst_add_merge(nullptr, &head, items[i], 2, merge)) << i;
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 1}), keys(head));
    EXPECT_EQ(3, static_cast<uint8_t *>(util_lst_item(head))[1]);
    util_lst_flush(nullptr, &head);
}

// Producers and a consumer share one list under its mutex (TSan watches).
TEST(List, MutexGuardsConcurrentUse)
{
    plt_mtx_t m = nullptr;
    ASSERT_EQ(1, plt_mtx_init(&m));
    util_lst_t *head = nullptr;
    constexpr int per_producer = 500;
    std::vector<std::thread> producers;
    for (int p = 0; p < 3; ++p)
        producers.emplace_back([&, p] {
            for (int i = 0; i < per_producer; ++i) {
                int v = p * per_producer + i;
                ASSERT_EQ(0, util_lst_add(m, &head, &v, sizeof v));
            }
        });
    int taken = 0;
    long sum = 0;
    while (taken < 3 * per_producer) {
        if (util_lst_t *n = util_lst_get(m, &head)) {
            int v;
            std::memcpy(&v, util_lst_item(n), sizeof v);
            sum += v;
            ++taken;
            util_lst_free(n);
        } else {
            std::this_thread::yield();
        }
    }
    for (auto &t : producers)
        t.join();
    EXPECT_EQ(3L * per_producer * (3 * per_producer - 1) / 2, sum);
    EXPECT_EQ(nullptr, head);
    plt_mtx_destroy(m);
}

// ---------------------------------------------------------------------------
// Text and time
// ---------------------------------------------------------------------------

TEST(Text, AppendStaysWithinTheBuffer)
{
    char text[12] = "";
    util_num_string_add(text, sizeof text, 4123);
    util_hex_string_add(text, sizeof text, 0xAB);
    EXPECT_STREQ("4123, AB, ", text);
    util_num_string_add(text, sizeof text, 99);
    EXPECT_STREQ("4123, AB, 9", text);  // cut at the buffer's end, still terminated
    char unterminated[4] = {'a', 'b', 'c', 'd'};
    util_hex_string_add(unterminated, sizeof unterminated, 1);
    EXPECT_EQ('\0', unterminated[3]);
}

TEST(Text, PathSlashAdd)
{
    EXPECT_EQ("/var/lib/", util_path_slash_add("/var/lib"));
    EXPECT_EQ("/var/lib/", util_path_slash_add("/var/lib/"));
    EXPECT_EQ("/", util_path_slash_add("/"));
    EXPECT_EQ("", util_path_slash_add(""));
    EXPECT_EQ("", util_path_slash_add(nullptr));
}

TEST(Text, MemMem)
{
    const uint8_t buf[] = {1, 2, 3, 2, 3, 4};
    const uint8_t pat[] = {2, 3, 4};
    EXPECT_EQ(buf + 3, util_memmem(buf, sizeof buf, pat, sizeof pat));
    EXPECT_EQ(buf + 1, util_memmem(buf, sizeof buf, pat, 2));
    EXPECT_EQ(nullptr, util_memmem(buf, 5, pat, sizeof pat));  // would end past the length
    EXPECT_EQ(nullptr, util_memmem(buf, 2, pat, sizeof pat));
    EXPECT_EQ(buf, util_memmem(buf, sizeof buf, pat, 0));
}

TEST(Time, NowAndGetAgree)
{
    time_t t = 0;
    ASSERT_EQ(0, util_time_get(&t));
    EXPECT_LE(t, util_time_now());
    EXPECT_GT(t, 1600000000);
    EXPECT_EQ(-1, util_time_get(nullptr));
}

}  // namespace
