#include "runner.hpp"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace testsupport;

TEST(Strjoin, FixedRunEndsWithoutNewline)
{
    auto r = run(PROGRAM);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "prima-seconda-terza!");
    EXPECT_EQ(r.err, "");
}

TEST(Strjoin, AllocationFailurePutsTheErrorOnTheNextLine)
{
    SKIP_IF_SANITIZED();
    auto r = run(PROGRAM, {.env = fault("calloc", 1, ENOMEM)});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error allocating memory\n: Cannot allocate memory\n");
}

TEST(Strjoin, UnwritableOutputIsAFailure)
{
    int full = open("/dev/full", O_WRONLY);
    auto r = run(PROGRAM, {.stdout_fd = full});
    close(full);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error writing standard output: No space left on device\n");
}
