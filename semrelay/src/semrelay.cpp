// semrelay: a child process held back on a named semaphore until its parent, five seconds
// later, announces the release and posts it; the child then writes and removes the name.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char *sem_name = "/my_sem";
constexpr unsigned delay_seconds = 5;

sem_t *semaphore = nullptr;

[[noreturn]] void die(const char *msg)
{
    perror(msg);
    exit(1);
}

// The parent cannot release the child: end it rather than leave it waiting forever,
// remove the name it would have removed, and report the parent's own failure.
[[noreturn]] void abandon_child(pid_t child, const char *msg)
{
    int error = errno;
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    sem_unlink(sem_name);
    errno = error;
    die(msg);
}

void run_child()
{
    if (sem_wait(semaphore) != 0)
        die("sem_wait");
    puts("Ora il figlio puo` scrivere");
    if (sem_unlink(sem_name) != 0)
        die("close");
    if (fflush(stdout) != 0)
        die("Error writing standard output");
}

void run_parent(pid_t child)
{
    sleep(delay_seconds);
    puts("Ora faccio continuare mio figlio");
    // Written out before the post, so that it precedes the child's line on any output.
    if (fflush(stdout) != 0)
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
    pid_t pid = fork();
    if (pid == -1)
        die("fork");
    if (pid == 0)
        run_child();
    else
        run_parent(pid); // the child is left to finish on its own
    return 0;
}
