#include "runner.hpp"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>

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

// Failures of the parent: the child must not be left waiting on a semaphore nobody posts.
struct parent_failure {
    const char *name;
    std::vector<std::string> env;
    bool output_to_full;
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
    EXPECT_EQ(r.out, c.output_to_full ? "" : "Ora faccio continuare mio figlio\n");
    EXPECT_FALSE(name_exists());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SemrelayParentFailure,
    testing::Values(parent_failure{"PostFails", fault("sem_post", 1, EINVAL), false,
                                   "sem post: Invalid argument\n"},
                    parent_failure{
                        "OutputFull", fault("none", 0, 0), // preloaded for the sleep alone
                        true, "Error writing standard output: No space left on device\n"}),
    [](const auto &info) { return info.param.name; });
