// semrelay: a named POSIX semaphore holds a child process back until its parent lets it go.
//   1. The parent opens the semaphore "/my_sem" with value 0 (sem_open) and forks (fork).
//   2. The child waits on it (sem_wait): at 0 the call blocks until someone posts.
//   3. The parent sleeps five seconds (sleep), prints its line and writes it out (puts,
//      fflush), and only then posts (sem_post): its line comes first on any output.
//   4. The child, released, prints its line (puts) and removes the name (sem_unlink).
//   5. The parent waits for the child (waitpid) and ends with the run's status.
// Each defence is marked where it is called, and defined under Defences below.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <semaphore.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char *sem_name = "/my_sem";
// Where the C library keeps the semaphore named sem_name (sem_overview(7)).
constexpr const char *sem_file = "/dev/shm/sem.my_sem";
constexpr unsigned delay_seconds = 5;

sem_t *semaphore = nullptr;
sigset_t inherited_mask; // as the run found it, before hold_write_signals

void run_child(int lifeline);
void run_parent(pid_t child);
void hold_write_signals();
void refuse_foreign_semaphore();
void make_lifeline(int (&ends)[2]);
void end_with_parent(int lifeline);
[[noreturn]] void die_abandoning(pid_t child, const char *msg);
[[noreturn]] void die_unlinking(const char *msg, int error = errno);
[[noreturn]] void die(const char *msg, int error = errno);

} // namespace

int main()
{
    hold_write_signals();     // defence: a failed write reports instead of ending a step half-way
    signal(SIGCHLD, SIG_DFL); // defence: inherited as ignored, the child's status would be lost
    // Defence: a umask without the owner's read bit would leave a name that not even this
    // user can open, in this run and every later one: the mode is 0600 whatever the umask.
    const mode_t mask = umask(0);
    semaphore = sem_open(sem_name, O_CREAT, 0600, 0);
    umask(mask);
    if (semaphore == SEM_FAILED)
        die("sem_open");
    refuse_foreign_semaphore(); // defence
    int lifeline[2];
    make_lifeline(lifeline); // defence: tells the child of a parent gone before it asked
    pid_t pid = fork();
    if (pid == -1)
        die_unlinking("fork");
    if (pid == 0) {
        close(lifeline[1]);
        run_child(lifeline[0]);
    } else {
        close(lifeline[0]);
        run_parent(pid);
    }
    return 0;
}

namespace {

void run_child(int lifeline)
{
    sigprocmask(SIG_SETMASK, &inherited_mask, nullptr); // defence: undoes hold_write_signals
    end_with_parent(lifeline);                          // defence
    if (sem_wait(semaphore) != 0)
        die("sem_wait");
    prctl(PR_SET_PDEATHSIG, 0); // defence: released, it finishes whatever the parent does
    puts("Ora il figlio puo` scrivere");
    if (sem_unlink(sem_name) != 0)
        die("close");
    if (fflush(stdout) != 0 || ferror(stdout))
        die("Error writing standard output");
}

void run_parent(pid_t child)
{
    sleep(delay_seconds);
    puts("Ora faccio continuare mio figlio");
    if (fflush(stdout) != 0 || ferror(stdout)) // before the post, so that the line comes first
        die_abandoning(child, "Error writing standard output");
    if (sem_post(semaphore) != 0)
        die_abandoning(child, "sem post");
    // Waited for, so that its line is out when the shell goes on and nothing that ends with
    // this process (a container's first process, a terminal session) takes the child along.
    int status = 0;
    pid_t got = -1;
    while ((got = waitpid(child, &status, 0)) == -1 && errno == EINTR)
        ;
    if (got != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        sem_unlink(sem_name); // defence: the post no child took
        exit(1);
    }
}

// ---- Defences ----

// A write that fails (a pipe nobody reads, a file-size limit) raises SIGPIPE or SIGXFSZ, whose
// default ends the process at once: in the C library's first write of a new semaphore it
// would leave the library's temporary file in /dev/shm, and in the parent's line it would
// leave the child waiting. Held back, the write reports its failure instead: the child takes
// them back at once, the parent once it has tidied (die_abandoning).
void hold_write_signals()
{
    sigset_t write_signals;
    sigemptyset(&write_signals);
    sigaddset(&write_signals, SIGPIPE);
    sigaddset(&write_signals, SIGXFSZ);
    sigprocmask(SIG_BLOCK, &write_signals, &inherited_mask);
}

// A name left by someone else: used only when it is this user's semaphore, since anybody may
// leave a file in /dev/shm, and one too short would crash both processes at its first use.
void refuse_foreign_semaphore()
{
    struct stat st;
    int fd = open(sem_file, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1 || fstat(fd, &st) == -1)
        die("sem_open");
    close(fd);
    if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_size < off_t{sizeof(sem_t)})
        die("sem_open", EEXIST);
}

// A parent that ends before it asks for the child (end_with_parent): a pipe whose writing end
// only the parent holds reads as the end of file once it is gone, however it ended. Unlike
// getppid() this holds in every pid namespace (under `unshare --pid` it is 0 in the child from
// the start). The writing end is kept off the standard descriptors, or a closed standard
// output would take it and the parent's line go into it.
void make_lifeline(int (&ends)[2])
{
    if (pipe(ends) == -1)
        die_unlinking("pipe");
    if (ends[1] <= STDERR_FILENO) {
        int moved = fcntl(ends[1], F_DUPFD, STDERR_FILENO + 1);
        if (moved == -1)
            die_unlinking("pipe");
        close(ends[1]);
        ends[1] = moved;
    }
}

// A parent that ends before its post, however it ends: the kernel ends the child with it, so
// that no child waits for a post that cannot come. The child never removes the name then: a
// run started at once may have taken it. It is left at 0, and the next run takes it as its
// own. A parent already gone before the request shows on the lifeline.
void end_with_parent(int lifeline)
{
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) == -1)
        die("prctl");
    pollfd ended{lifeline, POLLIN, 0};
    if (poll(&ended, 1, 0) > 0)
        exit(1);
}

// A parent that cannot release the child (its line cannot be written, its post fails): ends
// it rather than leave it waiting forever, with SIGKILL whatever it inherited, since it holds
// nothing to tidy, and removes the name, so that the next run, however soon, starts from
// nothing. Then this process ends as it would have: killed by a signal its write raised,
// where that is at its default, or with the report.
[[noreturn]] void die_abandoning(pid_t child, const char *msg)
{
    const int error = errno;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    sem_unlink(sem_name);
    sigprocmask(SIG_SETMASK, &inherited_mask, nullptr);
    die(msg, error);
}

// A failure that would leave the name for nobody to post: removed before the report, so that
// no later run adopts a semaphore held at 0.
[[noreturn]] void die_unlinking(const char *msg, int error)
{
    sem_unlink(sem_name);
    die(msg, error);
}

// Pending output first, so that on a merged stream the report follows it.
[[noreturn]] void die(const char *msg, int error)
{
    fflush(stdout);
    errno = error;
    perror(msg);
    exit(1);
}

} // namespace
