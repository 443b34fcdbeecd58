// semrelay: a child process held back on a named semaphore until its parent, five seconds
// later, announces the release and posts it; the child then writes and removes the name.
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
void write_out_line(pid_t child);
void abandon_child(pid_t child);
[[noreturn]] void die_unlinking(const char *msg, int error = errno);
[[noreturn]] void die(const char *msg, int error = errno);

} // namespace

int main()
{
    hold_write_signals();     // defence: a failed write reports instead of ending a step half-way
    signal(SIGCHLD, SIG_DFL); // defence: inherited as ignored, the child's status would be lost
    // A umask without the owner's read bit would leave a name that not even this user can
    // open, in this run and every later one: the mode is exactly 0600 whatever the umask.
    const mode_t mask = umask(0);
    semaphore = sem_open(sem_name, O_CREAT, 0600, 0);
    umask(mask);
    if (semaphore == SEM_FAILED)
        die("sem_open");
    refuse_foreign_semaphore();
    int lifeline[2];
    make_lifeline(lifeline);
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
    sigprocmask(SIG_SETMASK, &inherited_mask, nullptr); // its writes end it as they would have
    end_with_parent(lifeline);
    if (sem_wait(semaphore) != 0)
        die("sem_wait");
    // Released: the line and the removal are this child's to finish, whatever the parent does.
    prctl(PR_SET_PDEATHSIG, 0);
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
    write_out_line(child); // before the post, so that it precedes the child's line on any output
    if (sem_post(semaphore) != 0) {
        abandon_child(child);
        die("sem post");
    }
    // Waited for, so that the child's line is out when the shell goes on, and so that nothing
    // that ends with this process takes the child along (a container's first process, a
    // terminal session, a job under `stty tostop`). The run succeeded only if the child wrote
    // its line and removed the name; otherwise the name goes too, so that a post no child took
    // is never left at 1 for the next run. The child reported its own failure, if it could.
    int status = 0;
    pid_t got = -1;
    while ((got = waitpid(child, &status, 0)) == -1 && errno == EINTR)
        ;
    if (got != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        sem_unlink(sem_name);
        exit(1);
    }
}

// ---- Defences ----

// A write that fails (a pipe nobody reads, a file-size limit) raises SIGPIPE or SIGXFSZ, whose
// default ends the process at once: in the C library's first write of a new semaphore it
// would leave the library's temporary file in /dev/shm, and in the parent's line it would
// leave the child waiting. Held back, the write reports its failure instead: the child takes
// them back at once, the parent once it has tidied (write_out_line).
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

// A line that cannot be written out: the child is ended and the name removed first. Then this
// process ends as it would have: killed by the signal the write raised, where that is at its
// default, or with a report, where it is ignored or blocked.
void write_out_line(pid_t child)
{
    if (fflush(stdout) == 0 && !ferror(stdout))
        return;
    const int error = errno;
    abandon_child(child);
    sigprocmask(SIG_SETMASK, &inherited_mask, nullptr);
    die("Error writing standard output", error);
}

// A parent that cannot release the child: ends it rather than leave it waiting forever, with
// SIGKILL whatever it inherited, since it holds nothing to tidy, and removes the name, so
// that the next run, however soon, starts from nothing.
void abandon_child(pid_t child)
{
    int error = errno;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    sem_unlink(sem_name);
    errno = error;
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
