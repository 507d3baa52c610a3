#include "util/zwu_array.h"

#include "tests/support/zws_log_capture.h"

#include <string>
#include <vector>

namespace {

struct ListFixture : zw_test::LogCapture {
    void SetUp() override
    {
        LogCapture::SetUp();
        ASSERT_EQ(zwu_array_list_create(3, &list), 0);
    }
    void TearDown() override
    {
        zwu_array_list_destroy(list);
        LogCapture::TearDown();
    }
    std::vector<int *> contents() const
    {
        std::vector<int *> out;
        for (int i = 0; i < zwu_array_list_size(list); i++)
            out.push_back(static_cast<int *>(zwu_array_list_get(list, i)));
        return out;
    }
    int e[5] = {0, 1, 2, 3, 4};
    zwu_array_list_t list = nullptr;
};

TEST(ArrayListCreate, CapacityBelowOneMeansSixteen)
{
    for (int capacity : {0, -5, 1, 40}) {
        zwu_array_list_t list = nullptr;
        ASSERT_EQ(zwu_array_list_create(capacity, &list), 0);
        EXPECT_EQ(list->capacity, capacity < 1 ? 16 : capacity);
        EXPECT_EQ(zwu_array_list_size(list), 0);
        zwu_array_list_destroy(list);
    }
}

TEST_F(ListFixture, GrowsBySixteenWhenFull)
{
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(zwu_array_list_add(list, &e[i]), 0);
    EXPECT_EQ(list->capacity, 3);
    ASSERT_EQ(zwu_array_list_add(list, &e[3]), 0);
    EXPECT_EQ(list->capacity, 19);
    EXPECT_EQ(contents(), (std::vector<int *>{&e[0], &e[1], &e[2], &e[3]}));
    // Emptying keeps the slots, and refilling does not grow again.
    zwu_array_list_remove_all(list);
    EXPECT_EQ(zwu_array_list_size(list), 0);
    for (int i = 0; i < 19; i++)
        ASSERT_EQ(zwu_array_list_add(list, &e[i % 5]), 0);
    EXPECT_EQ(list->capacity, 19);
}

TEST_F(ListFixture, InsertAtIndexAndRefusals)
{
    ASSERT_EQ(zwu_array_list_add(list, &e[0]), 0);
    ASSERT_EQ(zwu_array_list_add(list, &e[2]), 0);
    EXPECT_EQ(zwu_array_list_add_at_index(list, &e[1], 1), 0);
    EXPECT_EQ(zwu_array_list_add_at_index(list, &e[3], 3), 0); // index == size appends
    EXPECT_EQ(zwu_array_list_add_at_index(list, &e[4], 0), 0); // growth while inserting
    EXPECT_EQ(contents(), (std::vector<int *>{&e[4], &e[0], &e[1], &e[2], &e[3]}));
    const auto before = contents();
    EXPECT_EQ(zwu_array_list_add_at_index(list, &e[4], 6), 22);
    EXPECT_EQ(zwu_array_list_add_at_index(list, &e[4], -1), 22);
    EXPECT_EQ(contents(), before);
    EXPECT_TRUE(lines().empty()) << "index refusals log nothing";
}

TEST_F(ListFixture, RemovalByIndexAndByPointer)
{
    EXPECT_EQ(zwu_array_list_remove_at_index(list, 0), 22); // empty list
    for (int *p : {&e[0], &e[1], &e[0], &e[2]})
        ASSERT_EQ(zwu_array_list_add(list, p), 0);
    EXPECT_EQ(zwu_array_list_remove_at_index(list, 4), 22); // index == size
    EXPECT_EQ(zwu_array_list_remove_at_index(list, -1), 22);
    EXPECT_EQ(zwu_array_list_size(list), 4);

    EXPECT_EQ(zwu_array_list_remove(list, &e[0]), 0); // only the first occurrence
    EXPECT_EQ(contents(), (std::vector<int *>{&e[1], &e[0], &e[2]}));
    EXPECT_EQ(zwu_array_list_remove(list, &e[4]), 2);
    EXPECT_EQ(zwu_array_list_contains(list, &e[0]), 1);
    EXPECT_EQ(zwu_array_list_contains(list, &e[4]), 0);
    EXPECT_EQ(zwu_array_list_remove_at_index(list, 2), 0); // the last slot
    EXPECT_EQ(zwu_array_list_remove_at_index(list, 0), 0);
    EXPECT_EQ(contents(), (std::vector<int *>{&e[0]}));
    EXPECT_TRUE(lines().empty());
}

TEST(ArrayListConst, ConstRecordsComeBackAsTheyWentIn)
{
    static const int table[2] = {7, 8};
    zwu_array_list_t list = nullptr;
    ASSERT_EQ(zwu_array_list_create(0, &list), 0);
    ASSERT_EQ(zwu_array_list_add(list, &table[1]), 0);
    EXPECT_EQ(static_cast<const int *>(zwu_array_list_get(list, 0)), &table[1]);
    EXPECT_EQ(zwu_array_list_remove(list, &table[1]), 0);
    zwu_array_list_destroy(list);
}

struct BufferFixture : zw_test::LogCapture {
    void SetUp() override
    {
        LogCapture::SetUp();
        ASSERT_EQ(zwu_string_buffer_create(16, &buffer), 0);
    }
    void TearDown() override
    {
        zwu_string_buffer_destroy(buffer);
        LogCapture::TearDown();
    }
    std::string text() const { return zwu_string_buffer_get_string(buffer); }
    zwu_string_buffer_t buffer = nullptr;
};

TEST(StringBufferCreate, HintZeroOrLessMeansSixteen)
{
    for (int hint : {0, -3, 5}) {
        zwu_string_buffer_t buffer = nullptr;
        ASSERT_EQ(zwu_string_buffer_create(hint, &buffer), 0);
        EXPECT_EQ(buffer->capacity, hint <= 0 ? 16 : hint);
        EXPECT_EQ(zwu_string_buffer_length(buffer), 0);
        EXPECT_STREQ(zwu_string_buffer_get_string(buffer), "");
        zwu_string_buffer_destroy(buffer);
    }
}

TEST_F(BufferFixture, GrowsStraightToTheSizeAskedThenBySixteen)
{
    const std::string forty(40, 'x');
    ASSERT_EQ(zwu_string_buffer_append_string(buffer, forty.c_str()), 0);
    EXPECT_EQ(buffer->capacity, 41);
    ASSERT_EQ(zwu_string_buffer_append_string(buffer, "y"), 0);
    EXPECT_EQ(buffer->capacity, 57);
    EXPECT_EQ(zwu_string_buffer_length(buffer), 41);
    EXPECT_EQ(text(), forty + "y");
}

TEST_F(BufferFixture, FormattedAppend)
{
    ASSERT_EQ(zwu_string_buffer_append_string(buffer, "<zwave>"), 0);
    ASSERT_EQ(zwu_string_buffer_append_format(buffer, "<node id=\"%u\" name=\"%s\"/>", 232u, "Lamp"), 0);
    EXPECT_EQ(text(), "<zwave><node id=\"232\" name=\"Lamp\"/>");
    EXPECT_EQ(zwu_string_buffer_length(buffer), static_cast<int>(text().size()));

    const int capacity = buffer->capacity;
    const int length = zwu_string_buffer_length(buffer);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-zero-length"
    EXPECT_EQ(zwu_string_buffer_append_format(buffer, ""), 0);
#pragma GCC diagnostic pop
    EXPECT_EQ(zwu_string_buffer_append_format(buffer, "%s", ""), 0);
    EXPECT_EQ(zwu_string_buffer_length(buffer), length);
    EXPECT_EQ(buffer->capacity, capacity);

    // A long formatted piece, crossing several growth steps at once.
    const std::string long_text(1000, 'q');
    ASSERT_EQ(zwu_string_buffer_append_format(buffer, "[%s]", long_text.c_str()), 0);
    EXPECT_EQ(zwu_string_buffer_length(buffer), length + 1002);
    EXPECT_EQ(text().substr(static_cast<size_t>(length)), "[" + long_text + "]");
    EXPECT_TRUE(lines().empty());
}

TEST_F(BufferFixture, PartialAppendTakesOnlyWhatTheTextHolds)
{
    ASSERT_EQ(zwu_string_buffer_append(buffer, "abcdef", 3), 0);
    EXPECT_EQ(text(), "abc");
    // Asking for more than the text holds must not count bytes past its end.
    ASSERT_EQ(zwu_string_buffer_append(buffer, "xy", 10), 0);
    EXPECT_EQ(text(), "abcxy");
    EXPECT_EQ(zwu_string_buffer_length(buffer), 5);
}

TEST_F(BufferFixture, SizesBeyondAnIntAreRefused)
{
    ASSERT_EQ(zwu_string_buffer_append_string(buffer, "keep"), 0);
    // Pretend the buffer is nearly INT_MAX long without allocating it: only
    // the size arithmetic runs before the refusal.
    const int real_length = buffer->length;
    buffer->length = INT_MAX - 2;
    EXPECT_EQ(zwu_string_buffer_append_string(buffer, "four"), 22);
    EXPECT_EQ(zwu_string_buffer_append_format(buffer, "%d", 1234), 22);
    buffer->length = real_length;
    EXPECT_EQ(text(), "keep");
    ASSERT_EQ(errors().size(), 2u);
    EXPECT_EQ(errors()[0], "Failed to allocate memory");
}

TEST_F(ListFixture, SizesBeyondAnIntAreRefused)
{
    // As above, only the arithmetic runs: a full list at INT_MAX slots.
    const int real_size = list->size;
    const int real_capacity = list->capacity;
    list->size = INT_MAX;
    list->capacity = INT_MAX;
    EXPECT_EQ(zwu_array_list_add(list, &e[0]), 22);
    EXPECT_EQ(zwu_array_list_add_at_index(list, &e[0], 0), 22);
    list->size = real_size;
    list->capacity = real_capacity;
    EXPECT_EQ(errors().size(), 2u);
}

} // namespace
