#include "runner.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <future>
#include <map>
#include <regex>
#include <semaphore.h>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;
using namespace std::chrono;

namespace {

// Every test here runs proctree, whose semaphore's name is system-wide.
const auto *const names = testing::AddGlobalTestEnvironment(new semaphore_names_of_its_own);

struct line {
    int number;
    long pid;
    long parent;
};

std::vector<line> parse(const std::string &out)
{
    static const std::regex format(R"(Process num (\d+) started, (\d+)  (\d+))");
    std::vector<line> lines;
    std::istringstream in(out);
    std::smatch m;
    for (std::string text; std::getline(in, text);)
        if (std::regex_match(text, m, format))
            lines.push_back({std::stoi(m[1]), std::stol(m[2]), std::stol(m[3])});
        else
            ADD_FAILURE() << "unexpected line: " << text;
    return lines;
}

std::set<int> numbers_of(const std::vector<line> &lines)
{
    std::set<int> numbers;
    for (const auto &l : lines)
        numbers.insert(l.number);
    return numbers;
}

// The numbers 1..20, but `missing`.
std::set<int> numbers_but(int missing = 0)
{
    std::set<int> numbers;
    for (int n = 1; n <= 20; ++n)
        if (n != missing)
            numbers.insert(n);
    return numbers;
}

// A clean run whose output is `r.out`: twenty processes numbered 1..20, each line after the first
// naming an earlier process as its parent, and no parent with more than two children. Every
// process waits for its children, so none is left to the runner but a stray one it inherited.
void expect_whole_tree(const run_result &r, int orphans = 0)
{
    EXPECT_EQ(r, (outcome{0, r.out, ""}));
    EXPECT_EQ(r.orphans, orphans);
    auto lines = parse(r.out);
    ASSERT_EQ(lines.size(), 20U) << r.out;
    EXPECT_EQ(lines[0].number, 1);
    EXPECT_EQ(lines[0].parent, getpid());
    std::set<long> seen_pids;
    std::map<long, int> children;
    for (const auto &l : lines) {
        if (l.number != 1) {
            EXPECT_TRUE(seen_pids.count(l.parent)) << "parent printed later: " << l.parent;
            ++children[l.parent];
        }
        seen_pids.insert(l.pid);
    }
    EXPECT_EQ(numbers_of(lines), numbers_but());
    for (auto [parent, n] : children)
        EXPECT_LE(n, 2) << parent;
}

} // namespace

TEST(Proctree, TwentyProcessesThroughAPipe)
{
    int lines[2];
    ASSERT_EQ(pipe(lines), 0);
    auto r = run(PROGRAM, {.stdout_fd = lines[1]}); // twenty lines fit in the pipe
    close(lines[1]);
    r.out = read_file("/dev/fd/" + std::to_string(lines[0]));
    close(lines[0]);
    expect_whole_tree(r);
}

TEST(Proctree, RegularFileGetsEachLineOnce)
{
    temp_dir dir;
    int fd = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    auto r = run(PROGRAM, {.stdout_fd = fd});
    close(fd);
    r.out = read_file(dir / "out");
    expect_whole_tree(r);
}

TEST(Proctree, RunsAtTheSameTimeKeepTheirOwnCounters)
{
    std::vector<std::future<run_result>> runs;
    runs.reserve(3);
    for (int i = 0; i < 3; ++i)
        runs.push_back(std::async(std::launch::async, [] { return run(PROGRAM); }));
    for (auto &f : runs)
        expect_whole_tree(f.get());
}

TEST(Proctree, LeftOverSemaphoreHoldingZeroIsReplaced)
{
    leave_semaphore("/sem1", 0);
    expect_whole_tree(run(PROGRAM));
}

// Another user's "/sem1", which this user may not remove, holding 0: adopting it would stop
// the tree after its first line.
TEST(Proctree, SomebodyElsesSemaphoreIsNeverAdopted)
{
    if (getuid() != 0)
        GTEST_SKIP() << "needs root to act as two users";
    leave_semaphore("/sem1", 0, 0666);
    auto r = run(PROGRAM, {.user = nobody, .timeout = seconds(5)});
    sem_unlink("/sem1");
    EXPECT_EQ(r, (outcome{1, "", "sem_open: File exists\n"}));
}

// Another run's lock, made between this run's removal of the name and its own creation, is
// left to that run: this one removes the name again and makes its own.
TEST(Proctree, LockMadeByAnotherRunInBetweenIsNotAdopted)
{
    SKIP_IF_SANITIZED();
    leave_semaphore("/other", 0);
    auto r = run(PROGRAM,
                 {.env = swap_before("sem_open", 1, "/dev/shm/sem.other", "/dev/shm/sem.sem1")});
    SKIP_UNLESS_INJECTED(r);
    expect_whole_tree(r);
}

TEST(Proctree, FailedMapIsReported)
{
    SKIP_IF_SANITIZED();
    auto r = run(PROGRAM, {.env = fault("mmap", 1, ENOMEM)});
    SKIP_UNLESS_INJECTED(r);
    EXPECT_EQ(r, (outcome{1, "", "mmap: Cannot allocate memory\n"}));
}

// What the program inherits does not change the tree or its status. A child it did not make,
// as after `job & exec proctree`, is neither waited for nor counted, and the runner reaps it;
// SIGCHLD inherited as ignored would have the kernel reap the tree's children, statuses lost;
// a umask never cuts the lock's mode.
struct inherited {
    const char *label;
    milliseconds stray_child{0};
    std::vector<int> ignored;
    int umask = -1;
};

class ProctreeInherited : public testing::TestWithParam<inherited> {};

TEST_P(ProctreeInherited, ChangesNeitherTreeNorStatus)
{
    const auto &c = GetParam();
    auto r = run(PROGRAM, {.ignored = c.ignored, .umask = c.umask, .stray_child = c.stray_child});
    expect_whole_tree(r, c.stray_child.count() > 0 ? 1 : 0);
    struct stat lock {};
    EXPECT_EQ(stat("/dev/shm/sem.sem1", &lock), 0);
    EXPECT_EQ(lock.st_mode & 07777, 0600U);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProctreeInherited,
    testing::Values(inherited{.label = "ChildThatFailsSoon", .stray_child = milliseconds(1)},
                    inherited{.label = "ChildThatOutlivesTheTree", .stray_child = seconds(2)},
                    inherited{.label = "ChildSignalIgnored", .ignored = {SIGCHLD}},
                    inherited{.label = "Umask0277", .umask = 0277}),
    by_label);

// A failed fork anywhere in the tree: nobody is left waiting for the lock, and the failure
// reaches the status of the process the user started, which still ends last, even when it
// inherited SIGCHLD ignored. When it is the one fork of the tree that fails, the rest of the
// tree grows on: every number but the one that fork took, and one report.
struct fork_failure {
    const char *label;
    int nth;
    std::vector<int> ignored;
    bool once_in_tree = false; // the nth fork of the whole tree fails, not every process's nth
};

class ProctreeForkFailure : public testing::TestWithParam<fork_failure> {};

TEST_P(ProctreeForkFailure, EndsEveryProcessAndReportsIt)
{
    SKIP_IF_SANITIZED();
    const auto &c = GetParam();
    auto r = run(PROGRAM, {.ignored = c.ignored,
                           .env = c.once_in_tree ? fault_in_tree("fork", c.nth, EAGAIN)
                                                 : fault("fork", c.nth, EAGAIN),
                           .timeout = seconds(10)});
    SKIP_UNLESS_INJECTED(r);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.orphans, 0);
    const std::string report = "fork: Resource temporarily unavailable\n";
    auto lines = parse(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].number, 1);
    if (c.once_in_tree) {
        EXPECT_EQ(r.err, report);
        EXPECT_EQ(lines.size(), 19U);
        // The nth fork is the one that would have made process nth + 1.
        EXPECT_EQ(numbers_of(lines), numbers_but(c.nth + 1));
    } else {
        EXPECT_TRUE(std::regex_match(r.err, std::regex("(" + report + ")+"))) << r.err;
        EXPECT_LT(lines.size(), 20U);
    }
}

// From the third fork on, the failing processes are children of the first.
INSTANTIATE_TEST_SUITE_P(NthFork, ProctreeForkFailure,
                         testing::Values(fork_failure{"Fork1", 1, {}}, fork_failure{"Fork2", 2, {}},
                                         fork_failure{"Fork3", 3, {}},
                                         fork_failure{"Fork3ChildSignalIgnored", 3, {SIGCHLD}},
                                         fork_failure{"Fork10OnceInTheTree", 10, {}, true}),
                         by_label);

// In a pid namespace entered without a fork, the first child is that namespace's first
// process: it cannot finish ending while a sibling there is left unreaped, and its end kills
// the others, at times before all twenty exist. No hang and no line twice; status 0 only
// when all twenty completed.
TEST(Proctree, InAPidNamespaceOfItsChildrenEndsWithoutRepeats)
{
    auto command = in_pid_namespace(false);
    if (command.empty())
        GTEST_SKIP() << "no pid namespace can be made here";
    command.emplace_back(PROGRAM);
    for (int i = 0; i < 4; ++i) {
        auto r = run(command.front(),
                     {.args = {command.begin() + 1, command.end()}, .timeout = seconds(10)});
        ASSERT_FALSE(r.timed_out);
        std::set<int> numbers;
        for (const auto &l : parse(r.out))
            EXPECT_TRUE(numbers.insert(l.number).second) << "printed twice: " << l.number;
        EXPECT_EQ(r.status, numbers.size() == 20 ? r.status : 1) << r.out;
        EXPECT_TRUE(r.status == 0 || r.status == 1) << r.status;
    }
}
