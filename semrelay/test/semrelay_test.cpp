#include "runner.hpp"

#include <semaphore.h>
#include <unistd.h>

using namespace testsupport;

namespace {

const std::string first = "Ora faccio continuare mio figlio\n";
const std::string both = first + "Ora il figlio puo` scrivere\n";
const std::string bad_descriptor = "Error writing standard output: Bad file descriptor\n";
const std::string full = "Error writing standard output: No space left on device\n";
const std::string too_large = "Error writing standard output: File too large\n";
const std::string removed = "close: No such file or directory\n";

// `cmd` writing to a file that already holds a block, appended to, whose size limit (its unit a
// KiB) leaves room for the parent's line and no more, SIGXFSZ ignored; what it adds is shown.
// Other files start from nothing and have the whole block's room: standard error, and a
// coverage build's counters.
std::string limited(const std::string &cmd)
{
    return "noise $((1024 * 1024 - 33)) > out; trap '' XFSZ; ulimit -f 1024; " + cmd +
           " >> out; also tail -c +$((1024 * 1024 - 32)) out";
}

const std::string swap_name = "swap sem_post 1 /dev/shm/sem.my_sem /dev/shm/sem.gone semrelay";
const std::string fifo = "mkfifo /dev/shm/fifo; ln -s fifo /dev/shm/link; ";

} // namespace

// However it is started, the child is released after five seconds and writes, and the name is
// gone: even where the parent's end would end the child too, as the first process of a pid
// namespace (a container's), as the child of a shell that is one, or as the controlling process
// of a terminal, which hangs up when it ends; and where the child is in a pid namespace that
// its parent is not in, and so cannot see it.
TABLE(Cases, SemrelayNormalRun, ChildWritesAfterParentReleasesIt, "",
      {"FromAShell", "semrelay", 0, both, "", lasting(5)},
      {"AsPid1OfAPidNamespace", "pidns --fork semrelay", 0, both, "", lasting(5)},
      {"ByAShellThatIsPid1", "pidns --fork sh -c 'semrelay; true'", 0, both, "", lasting(5)},
      {"ChildInAPidNamespaceOfItsOwn", "pidns semrelay", 0, both, "", lasting(5)},
      {"AsControllingProcessOfATerminal",
       "SHELL=/bin/sh script -qec 'exec semrelay > out' /dev/null; also cat out", 0, both, "",
       lasting(5)});

// A run ended from outside: its status says so, no process is left waiting, and the next run,
// started at once, is a normal one. The parent killed before its post takes its child along and
// leaves the name at 0 for the next run to take; a parent whose line cannot be written ends its
// child and removes the name before its signal takes it, however its output is buffered; a
// parent whose child was killed removes the name the child did not take. The C library's
// temporary file for a new semaphore that finds no room must not stay behind either.
TABLE(Cases, SemrelayDeadParent, LeavesTheNextRunANormalOne, "",
      {"KilledDuringItsSleep",
       "semrelay & sleep 0.5; kill -KILL $!; wait $! 2> /dev/null; echo $?; semrelay", 0,
       "137\n" + both, "", orphans(1)},
      {"TerminatedDuringItsSleep",
       "semrelay & sleep 0.5; kill -TERM $!; wait $! 2> /dev/null; echo $?; semrelay", 0,
       "143\n" + both, "", orphans(1)},
      // The child ends with its parent whatever it inherited.
      {"KilledDuringItsSleepTermIgnored",
       "trap '' TERM; semrelay & sleep 0.5; kill -KILL $!; wait $! 2> /dev/null; echo $?; semrelay",
       0, "137\n" + both, "", orphans(1)},
      {"ChildKilledWhileItWaits",
       "semrelay & sleep 1; kill $(cat /proc/$!/task/$!/children); wait $!; echo $?; semrelay", 0,
       first + "1\n" + both},
      {"EndedByAClosedPipe", "semrelay | true; echo ${PIPESTATUS[0]}; semrelay", 0, "141\n" + both},
      {"EndedByAClosedPipeLineBuffered",
       "stdbuf -oL semrelay | true; echo ${PIPESTATUS[0]}; semrelay", 0, "141\n" + both},
      {"EndedByAClosedPipeUnbuffered",
       "stdbuf -o0 semrelay | true; echo ${PIPESTATUS[0]}; semrelay", 0, "141\n" + both},
      {"EndedByAFileSizeLimit",
       "prlimit --fsize=32 semrelay > out & wait $! 2> /dev/null; echo $?; semrelay", 0,
       "153\n" + both},
      {"NoRoomForTheSemaphore",
       "plain_build; (ulimit -f 0; exec semrelay) 2>&1 | cat; echo ${PIPESTATUS[0]}; "
       "ls /dev/shm/sem.* 2> /dev/null; semrelay",
       0, "sem_open: File too large\n1\n" + both});

// Failures of the parent: the child must not be left waiting on a semaphore nobody posts,
// whatever it inherited, and the name must not be left for the next run to adopt. A failure of
// the child, once released, shows on standard error and makes the parent's status 1. A run
// needs two descriptors beyond the standard three, and no more; with input and output closed
// the pipe's ends would take them, the parent's line going into the pipe. The name moved aside
// by another during the run keeps its mode: nobody else may open it. The five seconds matter
// only to a normal run.
TABLE(Cases, SemrelayFailure, IsReportedAndTheNameRemoved, "",
      {"PostFails", "skip_sleep fault sem_post 1 EINVAL semrelay", 1, first,
       "sem post: Invalid argument\n"},
      {"OutputFull", "skip_sleep semrelay > /dev/full", 1, "", full},
      {"OutputFullTermIgnored", "trap '' TERM; skip_sleep semrelay > /dev/full", 1, "", full},
      {"OutputFullTermBlocked", "skip_sleep block TERM semrelay > /dev/full", 1, "", full},
      {"PipeFails", "skip_sleep fault pipe 1 EMFILE semrelay", 1, "",
       "pipe: Too many open files\n"},
      {"InputAndOutputClosed", "semrelay <&- >&- & sleep 1; ls /proc/$!/fd/1 2> /dev/null; wait $!",
       1, "", bad_descriptor, lasting(5)},
      {"ForkFails", "skip_sleep fault fork 1 EAGAIN semrelay", 1, "",
       "fork: Resource temporarily unavailable\n"},
      {"ChildCannotWrite", limited("skip_sleep semrelay"), 1, first, too_large},
      // as on a terminal
      {"ChildCannotWriteLineBuffered", limited("skip_sleep stdbuf -oL semrelay"), 1, first,
       too_large},
      {"ChildSignalIgnored", "trap '' CHLD; skip_sleep semrelay", 0, both},
      {"FiveDescriptors", "ulimit -n 5; skip_sleep semrelay", 0, both},
      {"FourDescriptors", "ulimit -n 4; skip_sleep semrelay", 1, "", "pipe: Too many open files\n"},
      // The child's removal of the name fails when someone took it away first.
      {"NameRemovedByAnother",
       "skip_sleep " + swap_name + "; also stat -c %a /dev/shm/sem.gone >&2", 1, both,
       removed + "600\n", leaving("sem.gone")},
      {"NameRemovedByAnotherMerged", "skip_sleep " + swap_name + " 2>&1", 1, both + removed, "",
       leaving("sem.gone")});

// Anybody can leave a file under the name in /dev/shm; one that is no semaphore of this user
// is refused, left where it is, and nothing crashes. What its owner swaps in once the
// semaphore is open is looked at without waiting for a FIFO's writer or following a link.
TABLE(Cases, SemrelayForeignName, IsRefusedAndLeftAlone, "sem.my_sem",
      {"EmptyFile", ": > /dev/shm/sem.my_sem; semrelay", 1, "", "sem_open: File exists\n"},
      {"ShortFile",
       "head -c " + std::to_string(sizeof(sem_t) - 1) +
           " /dev/zero > /dev/shm/sem.my_sem; semrelay",
       1, "", "sem_open: File exists\n"},
      {"FifoSwappedIn", fifo + "swap open 1 /dev/shm/fifo /dev/shm/sem.my_sem semrelay", 1, "",
       "sem_open: File exists\n"},
      {"LinkSwappedIn", fifo + "swap open 1 /dev/shm/link /dev/shm/sem.my_sem semrelay", 1, "",
       "sem_open: Too many levels of symbolic links\n"});

// A semaphore left by a run whose child was killed is taken with the value it holds: at 1,
// the child does not wait for the parent.
TEST(Semrelay, LeftOverSemaphoreKeepsItsValue)
{
    leave_semaphore("/my_sem", 1);
    check({"", "semrelay", 0, "Ora il figlio puo` scrivere\n" + first, "", leaving("")});
}

// Another user's semaphore that anyone may open is refused: its value is not this run's to
// take. A semaphore of its own that it may not write (a mask cut the owner's write bit) is
// refused too. Root alone can act as two users.
TEST(SemrelayAsAnotherUser, AnotherUsersSemaphoreIsRefused)
{
    if (getuid() != 0)
        GTEST_SKIP() << "needs root to act as two users";
    leave_semaphore("/my_sem", 0, 0666);
    expect(run({PROGRAM}, {.user = nobody}), {"", "", 1, "", "sem_open: File exists\n"},
           "sem.my_sem");
}

TEST(SemrelayAsAnotherUser, OwnSemaphoreReadOnlyIsRefused)
{
    if (getuid() != 0)
        GTEST_SKIP() << "needs root to act as two users";
    leave_semaphore("/my_sem", 0, 0400);
    ASSERT_EQ(chown("/dev/shm/sem.my_sem", nobody, nobody), 0);
    expect(run({PROGRAM}, {.user = nobody}), {"", "", 1, "", "sem_open: Permission denied\n"},
           "sem.my_sem");
}

// The mask binds every user but root; a coverage build's two processes would each make their
// counters' file unreadable to the other under it.
TEST(SemrelayAsAnotherUser, UnderUmask0777)
{
    if (getuid() == 0 && coverage_build())
        GTEST_SKIP()
            << "a coverage build cannot keep counters under a umask without the owner's rights";
    own_semaphore_names();
    expect(run({PROGRAM}, {.user = getuid() == 0 ? nobody : -1, .umask = 0777}),
           {"", "", 0, both, "", lasting(5)}, "");
}
