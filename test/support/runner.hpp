// Runs a built program as a user's shell would and hands back what it did; brings GoogleTest.
#pragma once

#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace testsupport {

constexpr int nobody = 65534; // the user id, for run_options::user

struct limit {
    int resource; // RLIMIT_FSIZE, ...
    rlim_t value; // soft and hard
};

struct run_options {
    std::vector<std::string> args;
    std::string input;            // standard input's contents
    int stdin_fd = -1;            // taken as standard input instead of `input` when set
    int stdout_fd = -1;           // standard output goes here instead of being captured
    bool merged = false;          // standard error goes where standard output goes (2>&1)
    std::vector<int> closed;      // standard descriptors left closed (<&- >&- 2>&-)
    std::vector<int> ignored;     // signals inherited as ignored (trap '' SIG)
    std::vector<int> blocked;     // signals blocked in the inherited mask
    std::vector<std::string> env; // NAME=value, added to (or replacing in) this environment
    int umask = -1;               // the file-creation mask it inherits; -1 keeps ours
    std::vector<limit> limits;    // resource limits it inherits (ulimit)
    int user = -1; // a user id (and group id of the same number) to run as, which needs root
    // Above zero: the program inherits a child it did not make, as after `job & exec program`,
    // which ends with status 3 after this long.
    std::chrono::milliseconds stray_child{0};
    std::chrono::milliseconds timeout{15'000};
};

struct run_result {
    std::string out;
    std::string err;
    int status = -1;        // exit status, or 128 + signal number
    bool timed_out = false; // some process of the run was still alive at the deadline
    int orphans = 0;        // processes of the run that ended after their parent
    int injected = -1;      // faults the fault library injected; -1 with no fault set
};

// Starts `program` in a process group of its own and waits until every process of that
// group has ended (children left behind included), killing the whole group at the timeout.
run_result run(const std::string &program, const run_options &options = {});

// Environment entries that preload the fault library: the `nth` call of `function` made by
// the program itself fails with `error`. For "write", a `short_len` above 0 instead caps
// every write from the nth on at that many bytes.
std::vector<std::string> fault(const std::string &function, int nth, int error, int short_len = 0);

// Environment entries that preload the fault library: just before the program's `nth` call
// of `function`, `from` is renamed to `to`, as a neighbour could do between two calls.
std::vector<std::string> swap_before(const std::string &function, int nth, const std::string &from,
                                     const std::string &to);

// `env` (a fault, or nothing) with the program's sleep() returning at once.
std::vector<std::string> skip_sleep(std::vector<std::string> env = {});

// The `nth` call of `function` made by any process of the program's tree fails: the count is
// shared across fork, so exactly one call fails in the whole tree.
std::vector<std::string> fault_in_tree(const std::string &function, int nth, int error);

// Runs the shell line `command`, "$0" being `program` and "$1" `dir`, where dir/a/f and dir/b/f,
// holding "a\n" and "b\n", are the first files of two fresh tmpfs mounts, and so have one inode
// number. Status 99 where no file system can be mounted.
run_result run_on_two_file_systems(const std::string &program, const std::string &dir,
                                   const std::string &command);

// The command that runs the command appended to it as the first process of a new pid
// namespace (with `fork`; without, its children are), in a user namespace of its own so that
// no privilege is needed. Empty where the kernel allows neither.
std::vector<std::string> in_pid_namespace(bool fork = true);

// Preloading and sanitizer runtimes do not mix: fault tests skip themselves on such builds.
bool sanitized();

// A build whose programs write gcov's counters when they end.
bool coverage_build();

// Leaves a named semaphore holding `value` under `name`, as an interrupted run or another user
// could, whatever was there before.
void leave_semaphore(const std::string &name, unsigned value, unsigned mode = 0600);

// Gives this process, and every program it starts from now on, a /dev/shm of its own: a new
// mount namespace with a fresh tmpfs there (as root, or in a user namespace of its own where
// the kernel allows one), so that the system-wide names of proctree's and semrelay's
// semaphores are this test's alone. Where that is not possible it waits for, and then holds
// until it ends, a machine-wide lock that every suite's such tests take, so that they take
// turns instead. True when the names are private. Call it before any thread starts.
bool own_semaphore_names();

// The lock those tests take where they cannot have names of their own.
inline const char *const semaphore_names_lock = "/dev/shm/sysdemos-tests.lock";

// For a test executable whose every test runs proctree or semrelay:
//     testing::AddGlobalTestEnvironment(new testsupport::semaphore_names_of_its_own);
struct semaphore_names_of_its_own : testing::Environment {
    void SetUp() override { own_semaphore_names(); }
};

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

// A test label from the case's `label` field, for INSTANTIATE_TEST_SUITE_P.
inline const auto by_label = [](const auto &info) { return std::string(info.param.label); };

// What a run is expected to end with, checked in one comparison that prints both sides whole:
// EXPECT_EQ(r, (outcome{1, "", "Error ...\n"})). A run killed at its deadline never matches.
struct outcome {
    int status;
    std::string out, err;
};
bool operator==(const run_result &r, const outcome &o);
void PrintTo(const run_result &r, std::ostream *os);
void PrintTo(const outcome &o, std::ostream *os);

} // namespace testsupport

// This and the next are one statement each, so that an `else` after one binds to no `if` of it.
#define SKIP_IF_SANITIZED()                                                                        \
    do {                                                                                           \
        if (testsupport::sanitized())                                                              \
            GTEST_SKIP() << "fault injection needs the plain build";                               \
    } while (false)

// A fault that never fired tested nothing: the test says so instead of passing or failing. A run
// with no fault set goes on.
#define SKIP_UNLESS_INJECTED(result)                                                               \
    do {                                                                                           \
        if ((result).injected == 0)                                                                \
            GTEST_SKIP() << "the program never made the call the fault was set on";                \
    } while (false)
