#include "runner.hpp"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace testsupport;

TEST(Threadhello, MessageMakesTheRoundTrip)
{
    auto r = run(PROGRAM);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "[thread1]: hullo!\n"
                     "[thread1]: Received message: Hola mundo!\n"
                     "[thread_main]: thread result: Hola mundo!\n"
                     "[thread_main]: bye!\n");
}

TEST(Threadhello, FailedThreadCreationIsReportedWithItsError)
{
    SKIP_IF_SANITIZED();
    auto r = run(PROGRAM, {.env = fault("pthread_create", 1, EAGAIN)});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "pthread: Resource temporarily unavailable\n");
}

TEST(Threadhello, UnwritableOutputIsAFailure)
{
    int full = open("/dev/full", O_WRONLY);
    auto r = run(PROGRAM, {.stdout_fd = full});
    close(full);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error writing standard output: No space left on device\n");
}
