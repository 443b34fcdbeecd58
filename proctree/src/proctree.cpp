// proctree: grows a tree of twenty processes, at most two children each. A counter in
// shared anonymous memory numbers them in order of creation; a named semaphore used as a
// lock makes its test and increment exclusive between the processes.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char *sem_name = "/sem1";
constexpr int max_processes = 20;
constexpr int max_children = 2;
// Each failed try to create the lock means another run created its own in between.
constexpr int create_tries = 8;

sem_t *sem = nullptr;
int *counter = nullptr; // processes created so far, the first included
sigset_t child_signal;  // SIGCHLD alone, blocked in every process of the tree

void announce(int number);
bool reap_children(const pid_t (&children)[max_children], int count);
void keep_child_statuses();
[[noreturn]] void die_releasing(const char *msg, const pid_t (&children)[max_children], int count);
[[noreturn]] void die(const char *msg, int error = errno);

} // namespace

int main()
{
    // The last run's "/sem1" is removed and the lock made afresh, never adopted: one this user
    // cannot remove (another user's) may hold 0 and stop the tree, and one back after the
    // removal is a concurrent run's. Exactly 0600 whatever the umask (0277 would cut it).
    // Under a file-size limit the C library's write of the new semaphore raises SIGXFSZ, whose
    // default would end the run before the library removes its temporary file in /dev/shm:
    // held back, the write fails and sem_open reports it.
    const mode_t mask = umask(0);
    sigset_t size_signal;
    sigset_t signals;
    sigemptyset(&size_signal);
    sigaddset(&size_signal, SIGXFSZ);
    sigprocmask(SIG_BLOCK, &size_signal, &signals);
    for (int i = 0; i < create_tries; ++i) {
        sem_unlink(sem_name);
        sem = sem_open(sem_name, O_CREAT | O_EXCL, 0600, 1);
        if (sem != SEM_FAILED || errno != EEXIST)
            break;
    }
    umask(mask);
    if (sem == SEM_FAILED)
        die("sem_open");
    sigprocmask(SIG_SETMASK, &signals, nullptr);
    void *map =
        mmap(nullptr, sizeof *counter, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED)
        die("mmap");
    counter = static_cast<int *>(map);
    // Every process reads the counter while others may be changing it: go through atomics.
    const std::atomic_ref<int> shared_counter(*counter);
    shared_counter.store(1);
    int fork_counter = 0;
    pid_t children[max_children];
    keep_child_statuses();
    announce(1);

    do {
        if (sem_wait(sem) == -1)
            die("sem_wait");
        int created = shared_counter.load();
        if (created < max_processes) {
            int number = created + 1;
            shared_counter.store(number);
            pid_t pid = fork();
            if (pid == -1)
                die_releasing("fork", children, fork_counter);
            if (pid == 0) {
                // The parent holds the lock for us and releases it.
                announce(number);
                fork_counter = 0;
                continue;
            }
            children[fork_counter++] = pid;
        }
        if (sem_post(sem) == -1)
            die("sem_post");
    } while (shared_counter.load() != max_processes && fork_counter != max_children);

    // A failure anywhere below this process makes its status a failure too.
    return reap_children(children, fork_counter) ? 0 : 1;
}

namespace {

// Written out at once, so that no child inherits an unwritten copy of the line.
void announce(int number)
{
    printf("Process num %d started, %d  %d\n", number, getpid(), getppid());
    if (fflush(stdout) != 0 || ferror(stdout))
        die("Error writing standard output");
}

// This is the wait loop, for the children this process forked, in whatever order they end,
// and for no other: a process exec'd by a shell with a background job inherits that job as a
// child, and a child that is the first process of a pid namespace (`unshare --pid proctree`)
// cannot end while a sibling there is left unreaped. Each end wakes it through SIGCHLD, held
// blocked so that none is missed between a look and the wait. True when all of them succeeded.
bool reap_children(const pid_t (&children)[max_children], int count)
{
    bool all_ok = true;
    bool reaped[max_children] = {};
    for (int left = count; left > 0;) {
        for (int i = 0; i < count; ++i) {
            int status = 0;
            if (reaped[i])
                continue;
            pid_t got = waitpid(children[i], &status, WNOHANG);
            if (got == 0)
                continue;
            reaped[i] = true;
            --left;
            all_ok = all_ok && got != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        if (left > 0)
            sigwaitinfo(&child_signal, nullptr);
    }
    return all_ok;
}

// ---- Defences ----

// SIGCHLD inherited as ignored: the kernel would reap the children, statuses lost. Blocked,
// it waits for reap_children to take it; every child inherits both.
void keep_child_statuses()
{
    signal(SIGCHLD, SIG_DFL);
    sigemptyset(&child_signal);
    sigaddset(&child_signal, SIGCHLD);
    sigprocmask(SIG_BLOCK, &child_signal, nullptr);
}

// A failure while this process holds the lock: released first, or the rest of the tree waits
// for it forever; then the children already made are waited for, so that this one ends last.
[[noreturn]] void die_releasing(const char *msg, const pid_t (&children)[max_children], int count)
{
    const int error = errno;
    sem_post(sem);
    reap_children(children, count);
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
