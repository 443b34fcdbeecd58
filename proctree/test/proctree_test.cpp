#include "runner.hpp"

#include <future>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <unistd.h>

using namespace testsupport;

namespace {

struct line {
    int number;
    long pid, parent;
};

// The lines of a tree's output; false when one is not such a line.
bool parse(const std::string &out, std::vector<line> &lines)
{
    static const std::regex format(R"(Process num (\d+) started, (\d+)  (\d+))");
    std::istringstream in(out);
    std::smatch m;
    for (std::string text; std::getline(in, text);
         lines.push_back({std::stoi(m[1]), std::stol(m[2]), std::stol(m[3])}))
        if (!std::regex_match(text, m, format))
            return false;
    return true;
}

// A tree's output: process 1 first, a child of what the run started (or, run directly, that
// process itself); each later line names an earlier process as its parent, none with more than
// two children; the numbers 1..20 but `want` ("0": none).
bool tree(const std::string &want, const std::string &got, const run_result &r)
{
    std::vector<line> lines;
    if (!parse(got, lines) || lines.empty() || lines[0].number != 1)
        return false;
    const auto &first = lines[0];
    if (first.parent != r.pid && !(first.pid == r.pid && first.parent == getpid()))
        return false;
    std::set<long> pids;
    std::map<long, int> children;
    std::set<int> numbers;
    for (const auto &l : lines) {
        if (l.number != 1 && (!pids.contains(l.parent) || ++children[l.parent] > 2))
            return false;
        pids.insert(l.pid);
        numbers.insert(l.number);
    }
    for (int n = 1; n <= 20; ++n)
        if (n != std::stoi(want) && numbers.erase(n) == 0)
            return false;
    return numbers.empty() && lines.size() == (want == "0" ? 20U : 19U);
}

const text whole{"0", tree};
const text but_11{"11", tree};
const row whole_run{"", "proctree", 0, whole};

} // namespace

// What the program inherits does not change the tree or its status: a child it did not make,
// as after `job & exec proctree`, is neither waited for nor counted (that one ends after 1 ms,
// while the tree still runs); SIGCHLD inherited as ignored would have the kernel reap the
// tree's children, statuses lost; a umask never cuts the lock's mode.
TABLE(Cases, ProctreeInherited, ChangesNeitherTreeNorStatus, "sem.sem1",
      {"RegularFileGetsEachLineOnce", "proctree", 0, whole},
      {"TwentyProcessesThroughAPipe", "proctree | cat; exit ${PIPESTATUS[0]}", 0, whole},
      {"ChildThatFailsSoon", "stray 0.001 proctree", 0, whole, "", orphans(1)},
      {"ChildThatOutlivesTheTree", "stray 2 proctree", 0, whole, "", orphans(1)},
      {"ChildSignalIgnored", "trap '' CHLD; proctree", 0, whole},
      {"Umask0277", "umask 0277; proctree; also stat -c %a /dev/shm/sem.sem1 >&2", 0, whole,
       "600\n"});

// A failed call anywhere in the tree: nobody is left waiting for the lock, and the failure
// reaches the status of the process the user started, which still ends last, even when it
// inherited SIGCHLD ignored. When it is the one fork of the tree that fails, the rest of the
// tree grows on: every number but the one that fork took (the nth fork makes process n + 1),
// and one report. From the third fork on, the failing processes are children of the first.
// Under a file-size limit of 0 the lock cannot be made, and nothing is left of it but the name.
const std::string forks = "(fork: Resource temporarily unavailable\n)+";
// Fewer than twenty lines, process 1 first.
const text part =
    re(R"(Process num 1 started, \d+  \d+\n(Process num \d+ started, \d+  \d+\n){0,18})");
TABLE(Cases, ProctreeFailures, EndEveryProcessAndAreReported, nullptr,
      {"Fork1", "fault fork 1 EAGAIN proctree", 1, part, re(forks)},
      {"Fork2", "fault fork 2 EAGAIN proctree", 1, part, re(forks)},
      {"Fork3", "fault fork 3 EAGAIN proctree", 1, part, re(forks)},
      {"Fork3ChildSignalIgnored", "trap '' CHLD; fault fork 3 EAGAIN proctree", 1, part, re(forks)},
      {"Fork10OnceInTheTree", "FAULT_IN_TREE=1 fault fork 10 EAGAIN proctree", 1, but_11,
       "fork: Resource temporarily unavailable\n"},
      {"FailedMapIsReported", "fault mmap 1 ENOMEM proctree", 1, "",
       "mmap: Cannot allocate memory\n"},
      // A limit that lets the lock be made but not the first line: the signal is back at its
      // default by then.
      {"FileSizeLimitOfALine",
       "plain_build; prlimit --fsize=32 proctree > out & wait $! 2> /dev/null; echo $?", 0,
       "153\n"},
      // Room for two lines: the processes that write next are killed, which fails the run.
      {"FileSizeLimitOfTwoLines", "plain_build; prlimit --fsize=100 proctree > out", 1},
      // Standard error goes to a pipe, which the limit does not bind as it would a file.
      {"FileSizeLimitZero",
       "plain_build; (ulimit -f 0; exec proctree) 2>&1 | cat; exit ${PIPESTATUS[0]}", 1,
       "sem_open: File too large\n", "", leaving("(sem.sem1)?")});

TEST(Proctree, LeftOverSemaphoreHoldingZeroIsReplaced)
{
    leave_semaphore("/sem1", 0);
    check(whole_run);
}

// Another run's lock, made between this run's removal of the name and its own creation, is
// left to that run: this one removes the name again and makes its own.
TEST(Proctree, LockMadeByAnotherRunInBetweenIsNotAdopted)
{
    leave_semaphore("/other", 0);
    check({"", "swap sem_open 1 /dev/shm/sem.other /dev/shm/sem.sem1 proctree", 0, whole});
}

// Another user's "/sem1", which this user may not remove, holding 0: adopting it would stop
// the tree after its first line.
TEST(Proctree, SomebodyElsesSemaphoreIsNeverAdopted)
{
    if (getuid() != 0)
        GTEST_SKIP() << "needs root to act as two users";
    leave_semaphore("/sem1", 0, 0666);
    expect(run({PROGRAM}, {.user = nobody}), {"", "", 1, "", "sem_open: File exists\n"});
}

TEST(Proctree, RunsAtTheSameTimeKeepTheirOwnCounters)
{
    own_semaphore_names(); // before any thread starts
    std::vector<std::future<run_result>> runs;
    runs.reserve(3);
    for (int i = 0; i < 3; ++i)
        runs.push_back(std::async(std::launch::async, [] { return run({PROGRAM}); }));
    for (auto &f : runs)
        expect(f.get(), whole_run);
}

// In a pid namespace entered without a fork, the first child is that namespace's first
// process: it cannot finish ending while a sibling there is left unreaped, and its end kills
// the others, at times before all twenty exist. No hang and no line twice; status 0 only
// when all twenty completed.
TEST(Proctree, InAPidNamespaceOfItsChildrenEndsWithoutRepeats)
{
    for (int i = 0; i < 4; ++i) {
        auto r = run_line("pidns proctree");
        if (r.status == 77 && r.err.starts_with("skip: "))
            GTEST_SKIP() << r.err;
        ASSERT_FALSE(r.timed_out);
        std::vector<line> lines;
        EXPECT_TRUE(parse(r.out, lines)) << r.out;
        std::set<int> numbers;
        for (const auto &l : lines)
            EXPECT_TRUE(numbers.insert(l.number).second) << "printed twice: " << l.number;
        EXPECT_EQ(r.status, numbers.size() == 20 ? r.status : 1) << r.out;
        EXPECT_TRUE(r.status == 0 || r.status == 1) << r.status;
    }
}
