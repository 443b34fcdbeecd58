// semrelay: a child process held back on a named semaphore until its parent, five seconds
// later, announces the release and posts it; the child then writes and removes the name.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char *sem_name = "/my_sem";
constexpr unsigned delay_seconds = 5;

sem_t *semaphore = nullptr;

// Pending standard output goes out first, so that on a merged stream the report follows
// the lines printed before it; that write may fail too, and changes nothing now.
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

// The parent cannot release the child: end it rather than leave it waiting forever, and
// report the parent's own failure.
[[noreturn]] void abandon_child(pid_t child, const char *msg)
{
    int error = errno;
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    errno = error;
    die_unlinking(msg);
}

// Waits in slices of a second: a parent that dies before its post (a signal, a closed pipe)
// would otherwise leave the child waiting forever, and the name held at 0 for the next run.
void wait_for_release(pid_t parent)
{
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    for (;;) {
        until.tv_sec += 1;
        if (sem_timedwait(semaphore, &until) == 0)
            return;
        if (errno != ETIMEDOUT && errno != EINTR)
            die("sem_wait");
        if (getppid() == parent)
            continue;
        if (sem_trywait(semaphore) == 0)
            return; // posted just before the parent ended
        errno = EOWNERDEAD;
        die_unlinking("sem_wait");
    }
}

void run_child(pid_t parent)
{
    wait_for_release(parent);
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
    // Written out before the post, so that it precedes the child's line on any output.
    if (fflush(stdout) != 0 || ferror(stdout))
        abandon_child(child, "Error writing standard output");
    if (sem_post(semaphore) != 0)
        abandon_child(child, "sem post");
}

} // namespace

int main()
{
    semaphore = sem_open(sem_name, O_CREAT, 0600, 0);
    if (semaphore == SEM_FAILED)
        die("sem_open");
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == -1)
        die_unlinking("fork");
    if (pid == 0)
        run_child(parent);
    else
        run_parent(pid); // the child is left to finish on its own
    return 0;
}
