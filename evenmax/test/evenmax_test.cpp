// Routines are called directly: the program's source is compiled in, after every other
// header, with its main renamed so that GoogleTest's runs.
#include "runner.hpp"

#include <vector>

#define main evenmax_main
#include "evenmax.cpp" // NOLINT(bugprone-suspicious-include)
#undef main

struct search {
    const char *label;
    std::vector<int> array;
    int size;
    int expected;
};

class FindMaxEvenPositions : public testing::TestWithParam<search> {};

TEST_P(FindMaxEvenPositions, ReturnsLowestIndexOfTheEvenMaximum)
{
    const auto &s = GetParam();
    EXPECT_EQ(find_max_even_positions(s.array.data(), s.size), s.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Arrays, FindMaxEvenPositions,
    testing::Values(search{"OddIndexIgnored", {0, 100, 7, 50, -45}, 5, 2},
                    search{"TieKeepsTheFirst", {3, 9, 5, 9, 5}, 5, 2},
                    search{"SignedComparison", {-9, 0, -4, 0, -8}, 5, 2},
                    search{"AllEqual", {4, 4, 4, 4, 4}, 5, 0},
                    search{"SizeOneReadsElementZeroOnly", {1, 9}, 1, 0},
                    search{"SizeTwoSkipsTheOddIndex", {1, 9}, 2, 0},
                    search{"EvenSizeSkipsTheLastElement", {1, 0, 2, 0, 9}, 4, 2},
                    search{"OddSizeCountsTheLastElement", {1, 0, 2, 0, 9}, 5, 4},
                    search{"ExtremesOfTheRange", {INT_MIN, 0, INT_MAX}, 3, 2}),
    testsupport::by_label);

TEST(FindMaxEvenPositionsEmpty, AnswersMinusOneWithoutReading)
{
    EXPECT_EQ(find_max_even_positions(nullptr, 0), -1);
    EXPECT_EQ(find_max_even_positions(nullptr, -3), -1);
}
