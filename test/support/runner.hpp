// Runs the built programs as a user's shell would and checks what they did; brings GoogleTest.
// A case is a row: a bash line that runs the programs by name, and what it must end with.
#pragma once

#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace testsupport {

constexpr int nobody = 65534; // the user id, for run_options::user

struct run_options {
    int user = -1;     // a user id (and group id of the same number) to run as, which needs root
    int umask = -1;    // the file-creation mask it inherits; -1 keeps ours
    int stdin_fd = -1; // standard input and output instead of /dev/null and a captured file
    int stdout_fd = -1;
    std::string dir = "."; // where it starts
};

struct run_result {
    std::string out, err;
    int status = -1;        // exit status, or 128 + signal number
    bool timed_out = false; // some process of the run was still alive at the deadline
    int orphans = 0;        // processes of the run that ended after their parent
    int injected = -1;      // faults the fault library injected; -1 with no fault set
    int pid = 0;            // of the process started
    std::chrono::milliseconds took{0};
};

// Starts argv (a path) in a process group of its own and waits until every process of that
// group has ended, children left behind included, killing the group at a deadline.
run_result run(const std::vector<std::string> &argv, const run_options &options = {});

// What a stream must hold: exactly `s`; a match of the pattern `s` (re); or what `match` takes.
struct text {
    using matcher = bool (*)(const std::string &want, const std::string &got, const run_result &);
    std::string s;
    matcher match = nullptr;
    text(const char *s = "") : s(s) {}
    text(std::string s, matcher m = nullptr) : s(std::move(s)), match(m) {}
};
text re(std::string pattern);

// What a shell line cannot say: processes that outlived their parent, the names of semaphores
// left in /dev/shm (a pattern over them sorted and joined by blanks; unchecked when null), and
// the whole seconds the run takes (at least that, under two more; unchecked when negative).
struct extra {
    int orphans = 0;
    const char *left = nullptr;
    int seconds = -1;
};
inline const auto orphans = [](int n) { return extra{.orphans = n}; };
inline const auto leaving = [](const char *names) { return extra{.left = names}; };
inline const auto lasting = [](int seconds) { return extra{.seconds = seconds}; };

// One case. `sh` is bash, run in a fresh directory with the programs on PATH and standard
// input at /dev/null, after these helpers:
//   fault FUNC N ERRNO cmd...   the Nth call of FUNC made by cmd's own code fails with ERRNO
//                               (FAULT_SHORT=k: writes from the Nth on pass k bytes at most;
//                               FAULT_IN_TREE=1: the Nth of the whole process tree fails)
//   swap FUNC N OLD NEW cmd...  OLD is renamed NEW just before cmd's Nth call of FUNC
//   skip_sleep cmd...           cmd's sleep() returns at once
//   block SIG cmd...            cmd starts with SIG blocked
//   stray SECONDS cmd...        cmd starts with a child it did not make (`job & exec cmd`),
//                               which ends with status 3 after SECONDS
//   pidns [--fork] cmd...       cmd's children (with --fork, cmd) first of a new pid namespace
//   twofs LINE                  LINE where a/f and b/f, holding "a\n" and "b\n", are the first
//                               files of two fresh file systems, so have one inode number
//   noise N                     N bytes of noise, the same in every run
//   also cmd...                 the status stays the last command's, unless cmd fails (99)
//   skip WHY                    the case cannot run here
//   plain_build                 skip but on a plain build: the runtimes of sanitizer and
//                               coverage builds write files of their own, which limits stop
// A case that needs the fault library skips itself on a sanitizer build, which cannot preload
// it, and when its fault never fired.
struct row {
    std::string label;
    std::string sh;
    int status = 0;
    text out, err;
    extra also;
};

// Runs the shell line as a row's, with the helpers, in a fresh directory.
run_result run_line(const std::string &sh);

inline void PrintTo(const row &r, std::ostream *os)
{
    *os << r.sh;
}

// Runs the row and checks it, printing its shell line when it fails; `left` stands in for a
// row's own when that is unset.
void check(const row &c, const char *left = nullptr);
// Checks a run made otherwise (another user, a terminal) as `want`'s, whose shell line it ignores.
void expect(const run_result &r, const row &want, const char *left = nullptr);

// A table of rows, each a ctest test named prefix/suite.test/label; a row's unset `left` takes
// the table's (nullptr: not looked at). ROWS alone is the class and its test, for a table
// instantiated more than once or from rows made otherwise.
// NOLINTBEGIN(bugprone-macro-parentheses): a class's name cannot be parenthesised
#define ROWS(suite, test, left)                                                                    \
    class suite : public testing::TestWithParam<testsupport::row> {};                              \
    TEST_P(suite, test)                                                                            \
    {                                                                                              \
        testsupport::check(GetParam(), left);                                                      \
    }
#define TABLE(prefix, suite, test, left, ...)                                                      \
    ROWS(suite, test, left)                                                                        \
    INSTANTIATE_TEST_SUITE_P(prefix, suite, testsupport::table({__VA_ARGS__}),                     \
                             testsupport::by_label)
// NOLINTEND(bugprone-macro-parentheses)
inline auto table(std::initializer_list<row> rows)
{
    return testing::ValuesIn(rows);
}
inline const auto by_label = [](const auto &info) { return info.param.label; };

bool sanitized(); // preloading and sanitizer runtimes do not mix
bool coverage_build();

// Leaves a named semaphore holding `value` under `name`, as an interrupted run or another user
// could, whatever was there before.
void leave_semaphore(const std::string &name, unsigned value, unsigned mode = 0600);

// Gives this process, and every program it starts from now on, a /dev/shm of its own: a new
// mount namespace with a fresh tmpfs there (as root, or in a user namespace of its own where
// the kernel allows one), so that the system-wide names of proctree's and semrelay's
// semaphores are this test's alone. Where that is not possible it waits for, and then holds
// until it ends, a machine-wide lock that every suite's such tests take, so that they take
// turns instead. True when the names are private. Any run of those programs calls it first.
bool own_semaphore_names();
inline const char *const semaphore_names_lock = "/dev/shm/sysdemos-tests.lock";

std::string noise(std::size_t n); // what `noise N` writes
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);

// A fresh directory under `base` (TMPDIR by default), removed with its contents when it goes.
struct temp_dir {
    std::string path;
    explicit temp_dir(const char *base = nullptr);
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

} // namespace testsupport
