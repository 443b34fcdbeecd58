#include "runner.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;
using namespace std::chrono;

namespace {

// Every test here runs semrelay, whose semaphore's name is system-wide.
const auto *const names = testing::AddGlobalTestEnvironment(new semaphore_names_of_its_own);

const std::string both_lines = "Ora faccio continuare mio figlio\nOra il figlio puo` scrivere\n";

// Where the C library keeps the semaphore of that name.
bool name_exists()
{
    return access("/dev/shm/sem.my_sem", F_OK) == 0;
}

} // namespace

// However it is started, the child is released and writes, and the name is gone: even where
// the parent's end would end the child too, as the first process of a pid namespace (a
// container's), as the child of a shell that is one, or as the controlling process of a
// terminal, which hangs up when it ends; and where the child is in a pid namespace that its
// parent is not in, and so cannot see it.
enum class started {
    from_a_shell,
    as_pid_1,
    by_a_shell_as_pid_1,
    in_its_own_pid_namespace,
    as_controlling_process
};

struct normal_run {
    const char *label;
    started how = started::from_a_shell;
    int umask = -1;
    bool other_user = false; // as nobody when root: the mask binds every user but root
};

class SemrelayNormalRun : public testing::TestWithParam<normal_run> {};

TEST_P(SemrelayNormalRun, ChildWritesAfterParentReleasesIt)
{
    const auto &c = GetParam();
    sem_unlink("/my_sem");
    temp_dir dir;
    run_options options{.umask = c.umask};
    if (c.other_user && getuid() == 0) {
        // Its two processes would each make their counters' file unreadable to the other.
        if (coverage_build() && c.umask >= 0)
            GTEST_SKIP()
                << "a coverage build cannot keep counters under a umask without the owner's rights";
        options.user = nobody;
    }
    std::vector<std::string> command{PROGRAM};
    if (c.how == started::as_pid_1 || c.how == started::by_a_shell_as_pid_1 ||
        c.how == started::in_its_own_pid_namespace) {
        auto prefix = in_pid_namespace(c.how != started::in_its_own_pid_namespace);
        if (prefix.empty())
            GTEST_SKIP() << "no pid namespace can be made here";
        if (c.how == started::by_a_shell_as_pid_1) // a shell that forks for the command
            prefix.insert(prefix.end(), {"/bin/sh", "-c", R"("$0"; true)"});
        command.insert(command.begin(), prefix.begin(), prefix.end());
    } else if (c.how == started::as_controlling_process) {
        command = {"/usr/bin/script", "-qec", R"(exec "$P" > "$O")", "/dev/null"};
        options.env = {"SHELL=/bin/sh", "P=" PROGRAM, "O=" + dir / "out"};
    }
    options.args = {command.begin() + 1, command.end()};
    auto start = steady_clock::now();
    auto r = run(command.front(), options);
    auto took = steady_clock::now() - start;
    EXPECT_EQ(r, (outcome{0, r.out, ""})); // standard output checked on its own, just below
    EXPECT_EQ(c.how == started::as_controlling_process ? read_file(dir / "out") : r.out,
              both_lines);
    EXPECT_GE(took, seconds(5));
    EXPECT_LT(took, seconds(7));
    EXPECT_FALSE(name_exists());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SemrelayNormalRun,
    testing::Values(normal_run{.label = "FromAShell"},
                    normal_run{.label = "AsPid1OfAPidNamespace", .how = started::as_pid_1},
                    normal_run{.label = "ByAShellThatIsPid1", .how = started::by_a_shell_as_pid_1},
                    normal_run{.label = "ChildInAPidNamespaceOfItsOwn",
                               .how = started::in_its_own_pid_namespace},
                    normal_run{.label = "AsControllingProcessOfATerminal",
                               .how = started::as_controlling_process},
                    normal_run{.label = "UnderUmask0777", .umask = 0777, .other_user = true}),
    by_label);

// A run ended from outside: its status says so, no process is left waiting, and the next run,
// started at once, is a normal one. The parent killed before its post takes its child along and
// leaves the name at 0 for the next run to take; a parent whose line cannot be written ends its
// child and removes the name before its signal takes it, however its output is buffered; a
// parent whose child was killed removes the name the child did not take.
struct dead_parent {
    const char *label;
    const char *pipeline; // bash; "$0" is the program; echoes the status it ended with
    std::string before;   // its output, ahead of the next run's
    int orphans;
};

class SemrelayDeadParent : public testing::TestWithParam<dead_parent> {};

TEST_P(SemrelayDeadParent, LeavesTheNextRunANormalOne)
{
    const auto &c = GetParam();
    // ThreadSanitizer's runtime writes a file of its own before main, and gcov's counters one
    // at the end, which the limit stops.
    if ((sanitized() || coverage_build()) &&
        std::string(c.pipeline).find("ulimit -f 0") != std::string::npos)
        GTEST_SKIP() << "this build's runtime writes files of its own";
    sem_unlink("/my_sem");
    auto r = run("/bin/bash", {.args = {"-c", std::string(c.pipeline) + R"(; "$0")", PROGRAM},
                               .timeout = seconds(20)});
    EXPECT_EQ(r, (outcome{0, c.before + both_lines, ""}));
    EXPECT_EQ(r.orphans, c.orphans);
    EXPECT_FALSE(name_exists());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SemrelayDeadParent,
    testing::Values(
        dead_parent{"KilledDuringItsSleep",
                    R"("$0" & sleep 0.5; kill -KILL $!; wait $! 2> /dev/null; echo $?)", "137\n",
                    1},
        dead_parent{"TerminatedDuringItsSleep",
                    R"("$0" & sleep 0.5; kill -TERM $!; wait $! 2> /dev/null; echo $?)", "143\n",
                    1},
        dead_parent{"ChildKilledWhileItWaits",
                    R"("$0" & sleep 1; kill $(cat /proc/$!/task/$!/children); wait $!; echo $?)",
                    "Ora faccio continuare mio figlio\n1\n", 0},
        dead_parent{"EndedByAClosedPipe", R"("$0" | true; echo ${PIPESTATUS[0]})", "141\n", 0},
        dead_parent{
            "EndedByAClosedPipeLineBuffered",
            R"(ASAN_OPTIONS=verify_asan_link_order=0 stdbuf -oL "$0" | true; echo ${PIPESTATUS[0]})",
            "141\n", 0},
        dead_parent{
            "EndedByAClosedPipeUnbuffered",
            R"(ASAN_OPTIONS=verify_asan_link_order=0 stdbuf -o0 "$0" | true; echo ${PIPESTATUS[0]})",
            "141\n", 0},
        dead_parent{
            "EndedByAFileSizeLimit",
            R"(f=$(mktemp); prlimit --fsize=32 "$0" > "$f" & wait $! 2> /dev/null; echo $?; rm "$f")",
            "153\n", 0},
        // The C library's temporary file for a new semaphore must not stay behind either.
        dead_parent{
            "NoRoomForTheSemaphore",
            R"((ulimit -f 0; exec "$0") 2>&1 | cat; echo ${PIPESTATUS[0]}; ls /dev/shm/sem.*)"
            " 2> /dev/null",
            "sem_open: File too large\n1\n", 0}),
    by_label);

// Failures of the parent: the child must not be left waiting on a semaphore nobody posts,
// whatever it inherited, and the name must not be left for the next run to adopt. A failure of
// the child, once released, shows on standard error and makes the parent's status 1.
enum class output { captured, full_device, file_limited_to_first_line };

struct failure {
    const char *label;
    std::vector<std::string> env; // a fault, or nothing
    output to = output::captured;
    std::string out;
    std::string err;
    int status = 1;
    std::vector<int> ignored;
    std::vector<int> blocked;
    std::vector<int> closed;
    std::vector<limit> limits;
    bool merged = false;                          // 2>&1
    std::vector<std::string> command = {PROGRAM}; // or one that starts it
};

class SemrelayFailure : public testing::TestWithParam<failure> {};

TEST_P(SemrelayFailure, IsReportedAndTheNameRemoved)
{
    SKIP_IF_SANITIZED();
    sem_unlink("/my_sem");
    const auto &c = GetParam();
    temp_dir dir;
    // A file that already holds a block, opened for appending, whose size limit leaves room for
    // the parent's line and no more. Other files start from nothing and have the whole block's
    // room: standard error, and a coverage build's counters.
    const std::string block(1 << 20, '#');
    const auto first_line = both_lines.substr(0, both_lines.find('\n') + 1);
    std::vector<limit> limits = c.limits;
    int fd = -1;
    if (c.to == output::full_device) {
        fd = open("/dev/full", O_WRONLY);
    } else if (c.to == output::file_limited_to_first_line) {
        write_file(dir / "out", block);
        fd = open((dir / "out").c_str(), O_WRONLY | O_APPEND);
        limits.push_back({RLIMIT_FSIZE, block.size() + first_line.size()});
    }
    auto r = run(c.command.front(),
                 {.args = {c.command.begin() + 1, c.command.end()},
                  .stdout_fd = fd,
                  .merged = c.merged,
                  .closed = c.closed,
                  .ignored = c.ignored,
                  .blocked = c.blocked,
                  .env = skip_sleep(c.env), // the five seconds matter only to a normal run
                  .limits = limits,
                  .timeout = seconds(10)});
    if (fd >= 0)
        close(fd);
    struct stat gone {};
    if (stat("/dev/shm/sem.gone", &gone) == 0) { // the name, moved aside during the run
        EXPECT_EQ(gone.st_mode & 07777, 0600U) << "nobody else may open it";
    }
    sem_unlink("/gone");
    SKIP_UNLESS_INJECTED(r);
    if (c.to == output::file_limited_to_first_line)
        r.out = read_file(dir / "out").substr(block.size());
    EXPECT_EQ(r, (outcome{c.status, c.out, c.err}));
    if (c.status != 0) {
        EXPECT_EQ(r.orphans, 0) << "a parent that fails ends its child first";
    }
    EXPECT_FALSE(name_exists());
}

const char *const output_full = "Error writing standard output: No space left on device\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, SemrelayFailure,
    testing::Values(
        failure{.label = "PostFails",
                .env = fault("sem_post", 1, EINVAL),
                .out = "Ora faccio continuare mio figlio\n",
                .err = "sem post: Invalid argument\n"},
        failure{.label = "OutputFull", .to = output::full_device, .err = output_full},
        failure{.label = "OutputFullTermIgnored",
                .to = output::full_device,
                .err = output_full,
                .ignored = {SIGTERM}},
        failure{.label = "OutputFullTermBlocked",
                .to = output::full_device,
                .err = output_full,
                .blocked = {SIGTERM}},
        failure{.label = "PipeFails",
                .env = fault("pipe", 1, EMFILE),
                .err = "pipe: Too many open files\n"},
        // The pipe's ends would take the closed descriptors, the parent's line
        // going into the pipe.
        failure{.label = "InputAndOutputClosed",
                .err = "Error writing standard output: Bad file descriptor\n",
                .closed = {0, 1}},
        failure{.label = "ForkFails",
                .env = fault("fork", 1, EAGAIN),
                .err = "fork: Resource temporarily unavailable\n"},
        failure{.label = "ChildCannotWrite",
                .to = output::file_limited_to_first_line,
                .out = "Ora faccio continuare mio figlio\n",
                .err = "Error writing standard output: File too large\n",
                .status = 1,
                .ignored = {SIGXFSZ}},
        failure{.label = "ChildCannotWriteLineBuffered",
                .to = output::file_limited_to_first_line,
                .out = "Ora faccio continuare mio figlio\n",
                .err = "Error writing standard output: File too large\n",
                .status = 1,
                .ignored = {SIGXFSZ},
                .command = {"/usr/bin/stdbuf", "-oL", PROGRAM}}, // as on a terminal
        failure{
            .label = "ChildSignalIgnored", .out = both_lines, .status = 0, .ignored = {SIGCHLD}},
        // A run needs two descriptors beyond the standard three, and no more.
        failure{.label = "FiveDescriptors",
                .out = both_lines,
                .status = 0,
                .limits = {{RLIMIT_NOFILE, 5}}},
        failure{.label = "FourDescriptors",
                .err = "pipe: Too many open files\n",
                .limits = {{RLIMIT_NOFILE, 4}}},
        // The child's removal of the name fails when someone took it away first.
        failure{.label = "NameRemovedByAnother",
                .env = swap_before("sem_post", 1, "/dev/shm/sem.my_sem", "/dev/shm/sem.gone"),
                .out = both_lines,
                .err = "close: No such file or directory\n",
                .status = 1},
        failure{.label = "NameRemovedByAnotherMerged",
                .env = swap_before("sem_post", 1, "/dev/shm/sem.my_sem", "/dev/shm/sem.gone"),
                .out = both_lines + "close: No such file or directory\n",
                .status = 1,
                .merged = true}),
    by_label);

// Anybody can leave a file under the name in /dev/shm; one that is no semaphore of this user
// is refused, left where it is, and nothing crashes. Another user's semaphore that anyone may
// open is refused as well: its value is not this run's to take. What its owner swaps in once
// the semaphore is open is looked at without waiting for a FIFO's writer or following a link.
// A semaphore of its own that it may not write (a mask cut the owner's write bit) is refused.
struct foreign_name {
    const char *label;
    bool semaphore_of_another_user;
    const char *swapped_in = nullptr; // a file in /dev/shm
    const char *err = "sem_open: File exists\n";
    unsigned mode = 0666; // of another user's semaphore
    bool its_own = false; // that semaphore is the runner's
    std::size_t size = 0; // of the file left otherwise
};

class SemrelayForeignName : public testing::TestWithParam<foreign_name> {};

TEST_P(SemrelayForeignName, IsRefusedAndLeftAlone)
{
    sem_unlink("/my_sem");
    run_options options;
    if (GetParam().semaphore_of_another_user) {
        if (getuid() != 0)
            GTEST_SKIP() << "needs root to act as two users";
        leave_semaphore("/my_sem", 0, GetParam().mode);
        if (GetParam().its_own) {
            ASSERT_EQ(chown("/dev/shm/sem.my_sem", nobody, nobody), 0);
        }
        options.user = nobody;
    } else if (GetParam().swapped_in != nullptr) {
        SKIP_IF_SANITIZED();
        ASSERT_EQ(mkfifo("/dev/shm/fifo", 0600) | symlink("fifo", "/dev/shm/link"), 0);
        options.env = swap_before("open", 1, std::string("/dev/shm/") + GetParam().swapped_in,
                                  "/dev/shm/sem.my_sem");
    } else {
        write_file("/dev/shm/sem.my_sem", std::string(GetParam().size, 'x'));
    }
    auto r = run(PROGRAM, options);
    auto left = access("/dev/shm/sem.my_sem", F_OK) == 0;
    sem_unlink("/my_sem");
    unlink("/dev/shm/fifo");
    unlink("/dev/shm/link");
    SKIP_UNLESS_INJECTED(r);
    EXPECT_EQ(r, (outcome{1, "", GetParam().err}));
    EXPECT_EQ(r.orphans, 0);
    EXPECT_TRUE(left);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SemrelayForeignName,
    testing::Values(foreign_name{"EmptyFile", false}, foreign_name{"AnotherUsersSemaphore", true},
                    foreign_name{"FifoSwappedIn", false, "fifo"},
                    foreign_name{"ShortFile", false, nullptr, "sem_open: File exists\n", 0, false,
                                 sizeof(sem_t) - 1},
                    foreign_name{"OwnSemaphoreReadOnly", true, nullptr,
                                 "sem_open: Permission denied\n", 0400, true},
                    foreign_name{"LinkSwappedIn", false, "link",
                                 "sem_open: Too many levels of symbolic links\n"}),
    by_label);

// A semaphore left by a run whose child was killed is taken with the value it holds: at 1,
// the child does not wait for the parent.
TEST(Semrelay, LeftOverSemaphoreKeepsItsValue)
{
    leave_semaphore("/my_sem", 1);
    auto r = run(PROGRAM);
    EXPECT_EQ(r,
              (outcome{0, "Ora il figlio puo` scrivere\nOra faccio continuare mio figlio\n", ""}));
    EXPECT_FALSE(name_exists());
}
