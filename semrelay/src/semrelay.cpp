// semrelay: a child process held back on a named semaphore until its parent, five seconds
// later, announces the release and posts it; the child then writes and removes the name.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char *sem_name = "/my_sem";
// Where the C library keeps the semaphore named sem_name (sem_overview(7)).
constexpr const char *sem_file = "/dev/shm/sem.my_sem";
constexpr unsigned delay_seconds = 5;

sem_t *semaphore = nullptr;

void run_child(int parent);
void run_parent(pid_t child);
void refuse_foreign_semaphore();
void make_lifeline(int (&ends)[2]);
bool is_released(int parent);
void write_out_line(pid_t child);
void abandon_child(pid_t child);
[[noreturn]] void die_unlinking(const char *msg, int error = errno);
[[noreturn]] void die(const char *msg, int error = errno);

} // namespace

int main()
{
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

void run_child(int parent)
{
    // This is the sem_wait, taken in slices of a second so that a parent that ends before its
    // post is noticed; the slices run on the monotonic clock, which no one can step.
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    do
        until.tv_sec += 1;
    while (sem_clockwait(semaphore, CLOCK_MONOTONIC, &until) != 0 && !is_released(parent));
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
    // A child left running could print after the shell goes on, or be taken by what ends
    // with this process (a shell as a container's first process, a terminal session, a job
    // under `stty tostop`): wait for it. The status stays this process's own: 0 once it has
    // posted, whatever the child does.
    while (waitpid(child, nullptr, 0) == -1 && errno == EINTR)
        ;
}

// ---- Defences ----

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

// A parent that ends before its post, however it ends: the child watches a pipe whose writing
// end only the parent holds, at its end of file once the parent is gone. Unlike getppid() this
// holds in every pid namespace (under `unshare --pid` it is 0 in the child from the start).
// The writing end is kept off the standard descriptors, or a closed standard output would
// take it and the parent's line go into it.
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

// A slice of the wait that ends without the post: wait on while the parent lives; once it
// has ended, take a post it made just before, or end rather than wait forever, removing the
// name so that the next run does not find it held at 0.
bool is_released(int parent)
{
    if (errno != ETIMEDOUT && errno != EINTR)
        die("sem_wait");
    pollfd ended{parent, POLLIN, 0};
    if (poll(&ended, 1, 0) != 1)
        return false;
    if (sem_trywait(semaphore) == 0)
        return true;
    die_unlinking("sem_wait", EOWNERDEAD);
}

// A line that cannot be written out: the child is ended and the name removed first. A write
// to a pipe nobody reads raises SIGPIPE, held back until then; this process then dies of it
// as it would have, or, where SIGPIPE is ignored or blocked, reports the failure.
void write_out_line(pid_t child)
{
    sigset_t pipe_signal;
    sigset_t mask;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    sigprocmask(SIG_BLOCK, &pipe_signal, &mask);
    bool written = fflush(stdout) == 0 && !ferror(stdout);
    int error = errno;
    if (!written)
        abandon_child(child);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    if (!written)
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
