// Routines are called directly: the program's source is compiled in, after every other
// header, with its main renamed so that GoogleTest's runs.
#include "runner.hpp"

#include <climits>

#define main sortdemo_main
#include "sortdemo.cpp" // NOLINT(bugprone-suspicious-include)
#undef main

TEST(Sortdemo, FixedRun)
{
    std::string expected;
    for (int v : {0, 23, 54235, 1, 42, 456, 52, 1, 5154, 674, 21})
        expected += "1 " + std::to_string(v) + "\n";
    for (int i = 11; i < 40; ++i)
        expected += "1 0\n";
    for (int v : {0, 1, 1, 21, 23, 42, 52, 456, 674, 5154, 54235})
        expected += std::to_string(v) + "\n";
    testsupport::check({"", "sortdemo", 0, expected});
}

TEST(IntCmp, ThreeWayWithoutOverflow)
{
    for (auto [a, b, expected] : {std::array{INT_MIN, INT_MAX, -1},
                                  {INT_MAX, INT_MIN, 1},
                                  {INT_MIN, 1, -1},
                                  {INT_MAX, -1, 1},
                                  {7, 7, 0},
                                  {INT_MIN, INT_MIN, 0},
                                  {-2, -1, -1}})
        EXPECT_EQ(int_cmp(&a, &b), expected) << a << " vs " << b;
}

TEST(Swap, ExchangesAndToleratesOneAddressTwice)
{
    int a = 3;
    int b = -4;
    swap(&a, &b);
    swap(&a, &a);
    EXPECT_EQ(std::pair(a, b), std::pair(-4, 3));
}
