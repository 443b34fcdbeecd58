#include "runner.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <unistd.h>

using namespace testsupport;
using namespace std::chrono;

namespace {

bool name_exists()
{
    sem_t *s = sem_open("/my_sem", 0);
    if (s == SEM_FAILED)
        return errno != ENOENT;
    sem_close(s);
    return true;
}

} // namespace

TEST(Semrelay, ChildWritesAfterParentReleasesIt)
{
    sem_unlink("/my_sem");
    auto start = steady_clock::now();
    auto r = run(PROGRAM);
    auto took = steady_clock::now() - start;
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Ora faccio continuare mio figlio\nOra il figlio puo` scrivere\n");
    EXPECT_EQ(r.err, "");
    EXPECT_GE(took, seconds(5));
    EXPECT_LT(took, seconds(7));
    EXPECT_FALSE(name_exists());
}

// The parent dies before its post (here of SIGPIPE, its output a pipe nobody reads): the
// child must not wait forever, and the next run must be a normal one.
TEST(Semrelay, ChildOfADeadParentRemovesTheNameAndEnds)
{
    SKIP_IF_SANITIZED();
    sem_unlink("/my_sem");
    int unread[2];
    ASSERT_EQ(pipe(unread), 0);
    close(unread[0]);
    std::vector<std::string> no_sleep = fault("none", 0, 0);
    no_sleep.push_back("FAULT_SKIP_SLEEP=1");
    auto start = steady_clock::now();
    auto r = run(PROGRAM, {.stdout_fd = unread[1], .env = no_sleep, .timeout = seconds(10)});
    close(unread[1]);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 128 + SIGPIPE);
    EXPECT_EQ(r.err, "sem_wait: Owner died\n");
    EXPECT_LT(steady_clock::now() - start, seconds(3));
    EXPECT_FALSE(name_exists());

    auto next = run(PROGRAM, {.env = no_sleep});
    EXPECT_EQ(next.status, 0);
    EXPECT_EQ(next.out, "Ora faccio continuare mio figlio\nOra il figlio puo` scrivere\n");
    EXPECT_EQ(next.err, "");
}

// Failures of the parent: the child must not be left waiting on a semaphore nobody posts,
// and the name must not be left for the next run to adopt.
struct parent_failure {
    const char *name;
    std::vector<std::string> env;
    bool output_to_full;
    const char *out;
    const char *err;
};

void PrintTo(const parent_failure &c, std::ostream *os)
{
    *os << c.name;
}

class SemrelayParentFailure : public testing::TestWithParam<parent_failure> {};

TEST_P(SemrelayParentFailure, EndsTheChildAndRemovesTheName)
{
    SKIP_IF_SANITIZED();
    sem_unlink("/my_sem");
    const auto &c = GetParam();
    int full = c.output_to_full ? open("/dev/full", O_WRONLY) : -1;
    auto env = c.env;
    env.push_back("FAULT_SKIP_SLEEP=1"); // the five seconds matter only to the normal run
    auto r = run(PROGRAM, {.stdout_fd = full, .env = env, .timeout = seconds(10)});
    if (full >= 0)
        close(full);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, c.out);
    EXPECT_FALSE(name_exists());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SemrelayParentFailure,
    testing::Values(parent_failure{"PostFails", fault("sem_post", 1, EINVAL), false,
                                   "Ora faccio continuare mio figlio\n",
                                   "sem post: Invalid argument\n"},
                    parent_failure{"OutputFull", fault("none", 0, 0), // preloaded for the sleep
                                   true, "",
                                   "Error writing standard output: No space left on device\n"},
                    parent_failure{"ForkFails", fault("fork", 1, EAGAIN), false, "",
                                   "fork: Resource temporarily unavailable\n"}),
    [](const auto &info) { return info.param.name; });
