// Routines are called directly: the program's source is compiled in, after every other
// header, with its main renamed so that GoogleTest's runs.
#include <gtest/gtest.h>
#include <vector>

#define main maxmerge_main
#include "maxmerge.cpp" // NOLINT(bugprone-suspicious-include)
#undef main

// Under the sanitizers an impossible request aborts instead of returning null.
extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1";
}

extern "C" const char *__tsan_default_options()
{
    return "allocator_may_return_null=1";
}

TEST(Maxmerge, MaximaAreSignedAndTakeEqualValues)
{
    const std::vector<int> a{-1, -7, 5, 0, INT_MIN};
    const std::vector<int> b{100, -5, 5, -1, INT_MAX};
    int *block = join_arrays_same_length(a.data(), b.data(), 5);
    EXPECT_EQ(std::vector<int>(block, block + 5), (std::vector<int>{100, -5, 5, 0, INT_MAX}));
    free(block);
}

TEST(Maxmerge, ZeroLengthReadsNothing)
{
    int *block = join_arrays_same_length(nullptr, nullptr, 0);
    EXPECT_NE(block, nullptr);
    free(block);
}

TEST(MaxmergeDeathTest, NegativeLengthFailsBeforeReadingTheArrays)
{
    volatile int length = -1; // kept from the compiler, which would reject the constant size
    EXPECT_EXIT(join_arrays_same_length(nullptr, nullptr, length), testing::ExitedWithCode(1),
                "error in memory allocation \nCannot allocate array of dimension 0\n: Cannot "
                "allocate memory\n");
}
