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
    auto no_sleep = skip_sleep();
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
// whatever it inherited, and the name must not be left for the next run to adopt.
struct parent_failure {
    const char *label;
    std::vector<std::string> env; // a fault, or nothing
    bool output_to_full;
    const char *out;
    const char *err;
    std::vector<int> ignored;
    std::vector<int> blocked;
};

class SemrelayParentFailure : public testing::TestWithParam<parent_failure> {};

TEST_P(SemrelayParentFailure, EndsTheChildAndRemovesTheName)
{
    SKIP_IF_SANITIZED();
    sem_unlink("/my_sem");
    const auto &c = GetParam();
    int full = c.output_to_full ? open("/dev/full", O_WRONLY) : -1;
    auto r =
        run(PROGRAM, {.stdout_fd = full,
                      .ignored = c.ignored,
                      .blocked = c.blocked,
                      .env = skip_sleep(c.env), // the five seconds matter only to the normal run
                      .timeout = seconds(10)});
    if (full >= 0)
        close(full);
    if (!c.env.empty())
        SKIP_UNLESS_INJECTED(r);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.orphans, 0);
    EXPECT_FALSE(name_exists());
}

const char *const output_full = "Error writing standard output: No space left on device\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, SemrelayParentFailure,
    testing::Values(
        parent_failure{"PostFails", fault("sem_post", 1, EINVAL), false,
                       "Ora faccio continuare mio figlio\n", "sem post: Invalid argument\n"},
        parent_failure{"OutputFull", {}, true, "", output_full},
        parent_failure{"OutputFullTermIgnored", {}, true, "", output_full, {SIGTERM}},
        parent_failure{"OutputFullTermBlocked", {}, true, "", output_full, {}, {SIGTERM}},
        parent_failure{"ForkFails", fault("fork", 1, EAGAIN), false, "",
                       "fork: Resource temporarily unavailable\n"}),
    by_label);

// Anybody can leave a file under the name in /dev/shm; one that is no semaphore of this user
// is refused, left where it is, and nothing crashes.
TEST(Semrelay, NameThatIsNotASemaphoreIsRefused)
{
    sem_unlink("/my_sem");
    write_file("/dev/shm/sem.my_sem", "");
    auto r = run(PROGRAM);
    auto left = access("/dev/shm/sem.my_sem", F_OK) == 0;
    sem_unlink("/my_sem");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "sem_open: File exists\n");
    EXPECT_EQ(r.orphans, 0);
    EXPECT_TRUE(left);
}

// A semaphore left by a run whose child was killed is taken with the value it holds: at 1,
// the child does not wait for the parent.
TEST(Semrelay, LeftOverSemaphoreKeepsItsValue)
{
    leave_semaphore("/my_sem", 1);
    auto r = run(PROGRAM);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Ora il figlio puo` scrivere\nOra faccio continuare mio figlio\n");
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(name_exists());
}
