#include "runner.hpp"

#include <csignal>
#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <semaphore.h>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

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
    std::string text;
    std::smatch m;
    while (std::getline(in, text)) {
        if (!std::regex_match(text, m, format)) {
            ADD_FAILURE() << "unexpected line: " << text;
            continue;
        }
        lines.push_back({std::stoi(m[1]), std::stol(m[2]), std::stol(m[3])});
    }
    return lines;
}

// Twenty processes numbered 1..20, each line after the first naming an earlier process
// as its parent, and no parent with more than two children.
void expect_whole_tree(const std::string &out)
{
    auto lines = parse(out);
    ASSERT_EQ(lines.size(), 20U) << out;
    EXPECT_EQ(lines[0].number, 1);
    EXPECT_EQ(lines[0].parent, getpid());
    std::set<int> numbers;
    std::set<long> seen_pids;
    std::map<long, int> children;
    for (const auto &l : lines) {
        numbers.insert(l.number);
        if (l.number != 1) {
            EXPECT_TRUE(seen_pids.count(l.parent)) << "parent printed later: " << l.parent;
            ++children[l.parent];
        }
        seen_pids.insert(l.pid);
    }
    EXPECT_EQ(numbers.size(), 20U);
    EXPECT_EQ(*numbers.begin(), 1);
    EXPECT_EQ(*numbers.rbegin(), 20);
    for (auto [parent, n] : children)
        EXPECT_LE(n, 2) << parent;
}

// Every process waits for its children, so none of them is ever left to the runner.
void expect_clean_success(const run_result &r)
{
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.orphans, 0);
}

} // namespace

TEST(Proctree, TwentyProcessesThroughAPipe)
{
    int lines[2];
    ASSERT_EQ(pipe(lines), 0);
    auto r = run(PROGRAM, {.stdout_fd = lines[1]}); // twenty lines fit in the pipe
    close(lines[1]);
    std::string out(4096, '\0');
    auto n = read(lines[0], out.data(), out.size());
    close(lines[0]);
    ASSERT_GT(n, 0);
    out.resize(static_cast<std::size_t>(n));
    expect_clean_success(r);
    expect_whole_tree(out);
}

TEST(Proctree, RegularFileGetsEachLineOnce)
{
    temp_dir dir;
    int fd = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    auto r = run(PROGRAM, {.stdout_fd = fd});
    close(fd);
    expect_clean_success(r);
    expect_whole_tree(read_file(dir / "out"));
}

TEST(Proctree, RunsAtTheSameTimeKeepTheirOwnCounters)
{
    std::vector<std::future<run_result>> runs;
    runs.reserve(3);
    for (int i = 0; i < 3; ++i)
        runs.push_back(std::async(std::launch::async, [] { return run(PROGRAM); }));
    for (auto &f : runs) {
        auto r = f.get();
        expect_clean_success(r);
        expect_whole_tree(r.out);
    }
}

TEST(Proctree, LeftOverSemaphoreHoldingZeroIsReplaced)
{
    leave_semaphore("/sem1", 0);
    auto r = run(PROGRAM);
    expect_clean_success(r);
    expect_whole_tree(r.out);
}

// Another user's "/sem1", which this user may not remove, holding 0: adopting it would stop
// the tree after its first line.
TEST(Proctree, SomebodyElsesSemaphoreIsNeverAdopted)
{
    const std::vector<std::string> as_nobody{"--reuid=65534", "--regid=65534", "--clear-groups"};
    if (getuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv to act as two users";
    auto args = as_nobody;
    args.insert(args.end(), {"/usr/bin/test", "-x", PROGRAM});
    if (run("/usr/bin/setpriv", {.args = args}).status != 0)
        GTEST_SKIP() << "the program is out of another user's reach here";
    leave_semaphore("/sem1", 0, 0666);
    args = as_nobody;
    args.emplace_back(PROGRAM);
    auto r = run("/usr/bin/setpriv", {.args = args, .timeout = std::chrono::seconds(5)});
    sem_unlink("/sem1");
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "sem_open: File exists\n");
}

// A child the program did not make, inherited as after `job & exec proctree`: the tree's
// status is its own, and nobody waits for that child, which the runner reaps.
struct inherited_child {
    const char *label;
    std::chrono::milliseconds ends_after;
};

class ProctreeInheritedChild : public testing::TestWithParam<inherited_child> {};

TEST_P(ProctreeInheritedChild, IsNeitherWaitedForNorCounted)
{
    auto r = run(PROGRAM, {.stray_child = GetParam().ends_after});
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.orphans, 1);
    expect_whole_tree(r.out);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProctreeInheritedChild,
    testing::Values(inherited_child{"FailsSoon", std::chrono::milliseconds(300)},
                    inherited_child{"OutlivesTheTree", std::chrono::seconds(2)}),
    by_label);

// A failed fork anywhere in the tree: nobody is left waiting for the lock, and the failure
// reaches the status of the process the user started, which still ends last, even when it
// inherited SIGCHLD ignored.
struct fork_failure {
    const char *label;
    int nth;
    std::vector<int> ignored;
};

class ProctreeForkFailure : public testing::TestWithParam<fork_failure> {};

TEST_P(ProctreeForkFailure, EndsEveryProcessAndReportsIt)
{
    SKIP_IF_SANITIZED();
    const auto &c = GetParam();
    auto r = run(PROGRAM, {.ignored = c.ignored,
                           .env = fault("fork", c.nth, EAGAIN),
                           .timeout = std::chrono::seconds(10)});
    SKIP_UNLESS_INJECTED(r);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.orphans, 0);
    std::istringstream err(r.err);
    std::string text;
    int reports = 0;
    while (std::getline(err, text)) {
        EXPECT_EQ(text, "fork: Resource temporarily unavailable");
        ++reports;
    }
    EXPECT_GE(reports, 1);
    auto lines = parse(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].number, 1);
    EXPECT_LT(lines.size(), 20U);
}

// From the third fork on, the failing processes are children of the first.
INSTANTIATE_TEST_SUITE_P(NthFork, ProctreeForkFailure,
                         testing::Values(fork_failure{"Fork1", 1, {}}, fork_failure{"Fork2", 2, {}},
                                         fork_failure{"Fork3", 3, {}},
                                         fork_failure{"Fork3ChildSignalIgnored", 3, {SIGCHLD}}),
                         by_label);
