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

// Pending output first, so that on a merged stream the report follows it.
[[noreturn]] void die(const char *msg)
{
    int error = errno;
    fflush(stdout);
    errno = error;
    perror(msg);
    exit(1);
}

// Removes the name before the report, so that no later run adopts a semaphore that nobody
// is going to post.
[[noreturn]] void die_unlinking(const char *msg)
{
    int error = errno;
    sem_unlink(sem_name);
    errno = error;
    die(msg);
}

// The parent cannot release the child: end it rather than leave it waiting forever, with
// SIGKILL whatever it inherited, since it holds nothing to tidy, and remove the name, so
// that the next run, however soon, starts from nothing.
void abandon_child(pid_t child)
{
    int error = errno;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    sem_unlink(sem_name);
    errno = error;
}

// An existing name is used only when it is this user's semaphore: anybody may leave a file
// in /dev/shm, and one too short would crash both processes at its first use.
void check_semaphore()
{
    struct stat st;
    int fd = open(sem_file, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1 || fstat(fd, &st) == -1)
        die("sem_open");
    close(fd);
    if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_size < off_t{sizeof(sem_t)}) {
        errno = EEXIST;
        die("sem_open");
    }
}

// A pipe whose writing end only the parent holds: its reading end reads as the end of file
// once the parent has ended, however it ended. Unlike the parent's pid this means the same
// in every pid namespace: under `unshare --pid` the child is in a new one and the parent is
// not, so getppid() there is 0 from the start. The writing end is kept off the standard
// descriptors, or a closed standard output would take it and the parent's line go into it.
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

bool has_ended(int parent)
{
    pollfd ended{parent, POLLIN, 0};
    return poll(&ended, 1, 0) == 1;
}

// Waits in slices of a second, so that a parent that dies before its post (a signal) does
// not leave the child waiting forever and the name held at 0 for the next run. The slices
// are counted on the monotonic clock, which no one can step.
void wait_for_release(int parent)
{
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    for (;;) {
        until.tv_sec += 1;
        if (sem_clockwait(semaphore, CLOCK_MONOTONIC, &until) == 0)
            return;
        if (errno != ETIMEDOUT && errno != EINTR)
            die("sem_wait");
        if (!has_ended(parent))
            continue;
        if (sem_trywait(semaphore) == 0)
            return; // posted just before the parent ended
        errno = EOWNERDEAD;
        die_unlinking("sem_wait");
    }
}

void run_child(int parent)
{
    wait_for_release(parent);
    puts("Ora il figlio puo` scrivere");
    if (sem_unlink(sem_name) != 0)
        die("close");
    if (fflush(stdout) != 0 || ferror(stdout))
        die("Error writing standard output");
}

// Written out before the post, so that it precedes the child's line on any output. A write
// to a pipe nobody reads raises SIGPIPE: it is held back until the child is ended and the
// name removed, then this process dies of it as it would have, or, where SIGPIPE is
// ignored or blocked, reports the failure.
void write_out_line(pid_t child)
{
    sigset_t pipe_signal;
    sigset_t mask;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    sigprocmask(SIG_BLOCK, &pipe_signal, &mask);
    bool written = fflush(stdout) == 0 && !ferror(stdout);
    if (!written)
        abandon_child(child);
    int error = errno;
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    errno = error;
    if (!written)
        die("Error writing standard output");
}

void run_parent(pid_t child)
{
    sleep(delay_seconds);
    puts("Ora faccio continuare mio figlio");
    write_out_line(child);
    if (sem_post(semaphore) != 0) {
        abandon_child(child);
        die("sem post");
    }
    // Waits for the child, so that its line is out by the time the shell goes on, and so
    // that nothing that ends with this process (a shell as a container's first process, a
    // terminal session, a job under `stty tostop`) takes the child with it. The status stays
    // this process's own: 0 once it has posted, whatever the child does.
    while (waitpid(child, nullptr, 0) == -1 && errno == EINTR)
        ;
}

} // namespace

int main()
{
    // Exactly 0600 whatever the umask: a mask without the owner's read bit would leave a name
    // that not even this user can open, in this run and every later one.
    const mode_t mask = umask(0);
    semaphore = sem_open(sem_name, O_CREAT, 0600, 0);
    umask(mask);
    if (semaphore == SEM_FAILED)
        die("sem_open");
    check_semaphore();
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
