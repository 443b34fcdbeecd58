// Routines are called directly: the program's source is compiled in with its main renamed.
#define main program_main
#include "evenmax.cpp" // NOLINT(bugprone-suspicious-include)
#undef main

#include <gtest/gtest.h>
#include <vector>

struct search {
    std::vector<int> array;
    int size;
    int expected;
};

void PrintTo(const search &s, std::ostream *os)
{
    *os << s.array.size() << " elements, size " << s.size;
}

class FindMaxEvenPositions : public testing::TestWithParam<search> {};

TEST_P(FindMaxEvenPositions, ReturnsLowestIndexOfTheEvenMaximum)
{
    const auto &s = GetParam();
    EXPECT_EQ(find_max_even_positions(s.array.data(), s.size), s.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Arrays, FindMaxEvenPositions,
    testing::Values(search{{0, 100, 7, 50, -45}, 5, 2}, // odd index ignored
                    search{{3, 9, 5, 9, 5}, 5, 2},      // tie keeps the first
                    search{{-9, 0, -4, 0, -8}, 5, 2},   // signed comparison
                    search{{4, 4, 4, 4, 4}, 5, 0},      // all equal
                    search{{1, 9}, 1, 0},               // size 1 reads element 0 only
                    search{{1, 9}, 2, 0},               // size 2: index 1 is odd
                    search{{1, 0, 2, 0, 9}, 4, 2},      // even size: last element skipped
                    search{{1, 0, 2, 0, 9}, 5, 4},      // odd size: last element counts
                    search{{INT_MIN, 0, INT_MAX}, 3, 2}));

TEST(FindMaxEvenPositionsEmpty, AnswersMinusOneWithoutReading)
{
    EXPECT_EQ(find_max_even_positions(nullptr, 0), -1);
    EXPECT_EQ(find_max_even_positions(nullptr, -3), -1);
}
