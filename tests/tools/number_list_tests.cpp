// The number lists both programs take for streams and parameters ("1-3,5"): one grammar, and
// every mistake named by the item that is wrong.
#include <gtest/gtest.h>

#include "number_list.hpp"

using vpitools::ParseNumberList;

TEST(NumberList, ListsAndRangesAndEveryMistakeNamed) {
    std::vector<int> n;
    std::string why;
    ASSERT_TRUE(ParseNumberList("1-3,5", 1, 99, &n, &why));
    EXPECT_EQ(n, (std::vector<int>{1, 2, 3, 5}));
    ASSERT_TRUE(ParseNumberList(" 7 , 2-3,3 ", 1, 99, &n, &why));
    EXPECT_EQ(n, (std::vector<int>{2, 3, 7}));
    ASSERT_TRUE(ParseNumberList("4 - 6", 1, 99, &n, &why));
    EXPECT_EQ(n, (std::vector<int>{4, 5, 6}));

    const std::vector<int> before = n;
    for (const char* bad : {"", " ", "0", "1-100", "3-1", "a", "1,,2", "1-", "-2", "+3", "1.5",
                            "9999999"}) {
        why.clear();
        EXPECT_FALSE(ParseNumberList(bad, 1, 99, &n, &why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
        EXPECT_EQ(n, before) << "a refused list leaves the numbers as they were: " << bad;
    }
    ParseNumberList("2,x7", 1, 99, &n, &why);
    EXPECT_EQ(why, "'x7' is not a number");
    ParseNumberList("5-3", 1, 99, &n, &why);
    EXPECT_EQ(why, "range 5-3 runs backwards");
    ParseNumberList("90-120", 1, 99, &n, &why);
    EXPECT_EQ(why, "90-120 is outside 1..99");
}
