#include "util/zws_string.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(StringSuffix, Cases)
{
    struct Case {
        const char *a;
        const char *b;
        int want;
    };
    const Case cases[] = {
        {"abc", "bc", 1}, {"bc", "abc", 0}, {"abc", "", 1}, {"", "", 1},
        {"", "a", 0},     {"abc", "abc", 1}, {"abc", "ab", 0}, {"fw.hex", ".hex", 1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(zws_is_stringA_end_with_stringB(c.a, c.b), c.want) << c.a << " / " << c.b;
}

TEST(UrlLayers, StripsOneLayerAtATime)
{
    char url[] = "networks/01-02/zwif_basic";
    char *position = url;
    std::vector<std::string> layers;
    while (char *layer = zws_url_string_strip_1layer(&position))
        layers.emplace_back(layer);
    EXPECT_EQ(layers, (std::vector<std::string>{"networks", "01-02"}));
    EXPECT_STREQ(position, "zwif_basic");

    char empty_layers[] = "a//b";
    position = empty_layers;
    EXPECT_STREQ(zws_url_string_strip_1layer(&position), "a");
    EXPECT_STREQ(zws_url_string_strip_1layer(&position), "");
    EXPECT_STREQ(position, "b");

    char trailing[] = "x/";
    position = trailing;
    EXPECT_STREQ(zws_url_string_strip_1layer(&position), "x");
    EXPECT_EQ(zws_url_string_strip_1layer(&position), nullptr); // empty rest
    EXPECT_STREQ(position, "");

    char *null_position = nullptr;
    EXPECT_EQ(zws_url_string_strip_1layer(&null_position), nullptr);
    EXPECT_EQ(zws_url_string_strip_1layer(nullptr), nullptr);
}

TEST(StringHelpers, CountAndSkipPastSubstring)
{
    EXPECT_EQ(zws_count_nof_char_occurance("a/b/c/", '/'), 3);
    EXPECT_EQ(zws_count_nof_char_occurance("abc", '/'), 0);
    EXPECT_EQ(zws_count_nof_char_occurance(nullptr, '/'), 0);

    char text[] = "/prefix/networks/x";
    char *position = text;
    EXPECT_EQ(zws_string_remove_substring(&position, "/prefix"), 1);
    EXPECT_STREQ(position, "/networks/x");
    EXPECT_EQ(zws_string_remove_substring(&position, "works"), 1); // skips what comes before too
    EXPECT_STREQ(position, "/x");
    EXPECT_EQ(zws_string_remove_substring(&position, "absent"), 0);
    EXPECT_STREQ(position, "/x");

    char empty[] = "";
    char *at_empty = empty;
    EXPECT_EQ(zws_string_remove_substring(&at_empty, ""), 0);
    char *null_text = nullptr;
    EXPECT_EQ(zws_string_remove_substring(&null_text, "x"), 0);
    EXPECT_EQ(zws_string_remove_substring(nullptr, "x"), 0);
}

} // namespace
