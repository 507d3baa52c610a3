#include "util/zwu_time.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace {

TEST(Time, NowIsTheWallClockInSeconds)
{
    const time_t before = std::time(nullptr);
    const zwu_time_t now = zwu_time_now();
    const time_t after = std::time(nullptr);
    EXPECT_GE(now, static_cast<zwu_time_t>(before));
    EXPECT_LE(now, static_cast<zwu_time_t>(after));
}

TEST(Time, Iso8601InUtc)
{
    struct Case {
        zwu_time_t time;
        const char *want;
    };
    const Case cases[] = {
        {0, "1970-01-01T00:00:00Z"},
        {1700000000, "2023-11-14T22:13:20Z"},
        {951782400, "2000-02-29T00:00:00Z"},
        {4102444799, "2099-12-31T23:59:59Z"},
    };
    for (const Case &c : cases) {
        char *text = nullptr;
        ASSERT_EQ(zwu_time_get_iso8601(c.time, &text), 0);
        EXPECT_STREQ(text, c.want);
        std::free(text);
    }
    // Beyond what the C library can break down.
    char *text = reinterpret_cast<char *>(0x1);
    EXPECT_EQ(zwu_time_get_iso8601(UINT64_MAX, &text), 22);
    EXPECT_EQ(text, reinterpret_cast<char *>(0x1));
}

} // namespace
