// proctree: a tree of twenty processes, numbered in order of creation through shared memory.
// 1. The lock: "/sem1" removed and made anew, value 1 (sem_unlink, sem_open, in new_lock,
//    which main calls through create_lock, the defences around it).
// 2. The counter: one int in a shared anonymous mapping (mmap), as fork copies a plain one.
// 3. Each process prints its line, written out before a fork copies it (printf, fflush).
// 4. Under the lock (sem_wait ... sem_post), the next number is taken and a child forked.
// 5. Each process waits for its own children (waitpid, in reap_children) and then ends.
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

sem_t *sem = nullptr;
int *counter = nullptr; // processes created so far, the first included
sigset_t child_signal;  // SIGCHLD alone, blocked in every process of the tree

void announce(int number);
bool reap_children(const pid_t (&children)[max_children], int count);
sem_t *create_lock();
void keep_child_statuses();
[[noreturn]] void die_releasing(const char *msg, const pid_t (&children)[max_children], int count);
[[noreturn]] void die(const char *msg, int error = errno);

} // namespace

int main()
{
    sem = create_lock(); // defence: new_lock, retried and with the umask and SIGXFSZ held
    void *map =
        mmap(nullptr, sizeof *counter, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED)
        die("mmap");
    counter = static_cast<int *>(map);
    const std::atomic_ref<int> shared_counter(*counter); // the loop's test reads it unlocked
    shared_counter.store(1);
    int fork_counter = 0;
    pid_t children[max_children];
    keep_child_statuses(); // defence: SIGCHLD not ignored, and blocked for the wait
    announce(1);
    while (shared_counter.load() != max_processes && fork_counter != max_children) {
        if (sem_wait(sem) == -1)
            die("sem_wait");
        const int created = shared_counter.load();
        if (created < max_processes) {
            const int number = created + 1;
            shared_counter.store(number);
            const pid_t pid = fork();
            if (pid == -1)
                die_releasing("fork", children, fork_counter); // defence: the lock released
            if (pid == 0) { // the child, under the lock its parent took and releases below
                announce(number);
                fork_counter = 0;
                continue; // to the loop's test, as a process with no children yet
            }
            children[fork_counter++] = pid;
        }
        if (sem_post(sem) == -1)
            die("sem_post");
    }
    return reap_children(children, fork_counter) ? 0 : 1; // 1 if a process below failed
}

namespace {

sem_t *new_lock()
{
    sem_unlink(sem_name); // the last run's, whatever its value
    return sem_open(sem_name, O_CREAT | O_EXCL, 0600, 1);
}

// Written out before any fork, which would copy an unwritten line into the child.
void announce(int number)
{
    printf("Process num %d started, %d  %d\n", number, getpid(), getppid());
    if (fflush(stdout) != 0 || ferror(stdout))
        die("Error writing standard output");
}

// Each child this process forked, in whatever order they end (see keep_child_statuses).
bool reap_children(const pid_t (&children)[max_children], int count)
{
    bool all_ok = true;
    bool reaped[max_children] = {};
    for (int left = count; left > 0;) {
        for (int i = 0; i < count; ++i) {
            int status = 0;
            const pid_t got = reaped[i] ? 0 : waitpid(children[i], &status, WNOHANG);
            if (got == 0)
                continue; // reaped before, or still running
            reaped[i] = true;
            --left;
            all_ok = all_ok && got != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        if (left > 0)
            sigwaitinfo(&child_signal, nullptr); // asleep until a child ends
    }
    return all_ok;
}

// ---- Defences ----

// Each failed try means that another run created its own lock in between.
constexpr int create_tries = 8;

// The lock is made afresh, never adopted: one this user cannot remove (another user's) may hold
// 0 and stop the tree, and one back after the removal is a concurrent run's, so O_EXCL and a
// new try. Exactly 0600 whatever the umask (0277 would cut it). Under a file-size limit the C
// library's write of the new semaphore raises SIGXFSZ, whose default would end the run before
// the library removes its temporary file in /dev/shm: held back, the write fails and sem_open
// reports it.
sem_t *create_lock()
{
    const mode_t mask = umask(0);
    sigset_t size_signal;
    sigset_t signals;
    sigemptyset(&size_signal);
    sigaddset(&size_signal, SIGXFSZ);
    sigprocmask(SIG_BLOCK, &size_signal, &signals);
    sem_t *lock = SEM_FAILED;
    for (int i = 0; i < create_tries; ++i) {
        lock = new_lock();
        if (lock != SEM_FAILED || errno != EEXIST)
            break;
    }
    umask(mask);
    if (lock == SEM_FAILED)
        die("sem_open");
    sigprocmask(SIG_SETMASK, &signals, nullptr);
    return lock;
}

// The wait takes only this process's own children: a process exec'd by a shell with a
// background job inherits that job as a child, and a child that is the first process of a pid
// namespace (`unshare --pid proctree`) cannot end while a sibling there is left unreaped, so no
// child is waited for before another. SIGCHLD inherited as ignored would have the kernel reap
// the children, statuses lost: put back to its default. Blocked, it wakes reap_children at each
// end, none missed between a look and the wait; every child inherits both.
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
