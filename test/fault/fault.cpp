// Preloaded into a program under test: the FAULT_NTH-th call of FAULT_FUNC made by the
// program itself fails with errno FAULT_ERRNO. Calls made inside the C and C++ libraries
// (stdio's buffers, the C++ runtime's start-up) are not counted, so N names the program's
// own Nth call. With FAULT_FUNC=write and FAULT_SHORT=k, every write from the Nth on
// instead passes at most k bytes on. With FAULT_RENAME=old:new the Nth call does not fail:
// old is renamed to new just before it goes ahead. FAULT_SKIP_SLEEP makes sleep() return at
// once. With FAULT_IN_TREE set, the count is shared across fork, so that the Nth call made by
// any process of the program's tree is the one that fails. Each injection adds a line naming its
// function to the file FAULT_LOG, so that a test can tell a fault that fired from one whose call
// never came.
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t nmemb, size_t size);
void *__libc_realloc(void *ptr, size_t size);
}

namespace {

const char *target = "";
long nth = 0;
int error = 0;
size_t short_len = 0;
bool skip_sleep = false;
const char *rename_spec = nullptr;
const char *log_path = nullptr;
long own_calls = 0;
long *calls = &own_calls; // or a count in memory that every process of the tree shares
uintptr_t program_begin = 0;
uintptr_t program_end = 0;

int find_program(dl_phdr_info *info, size_t /*size*/, void * /*data*/)
{
    // The first object listed is the executable itself.
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto &ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD || (ph.p_flags & PF_X) == 0)
            continue;
        program_begin = info->dlpi_addr + ph.p_vaddr;
        program_end = program_begin + ph.p_memsz;
    }
    return 1;
}

__attribute__((constructor)) void configure()
{
    if (const char *f = getenv("FAULT_FUNC"))
        target = f;
    if (const char *n = getenv("FAULT_NTH"))
        nth = strtol(n, nullptr, 10);
    if (const char *e = getenv("FAULT_ERRNO"))
        error = static_cast<int>(strtol(e, nullptr, 10));
    if (const char *s = getenv("FAULT_SHORT"))
        short_len = strtoul(s, nullptr, 10);
    skip_sleep = getenv("FAULT_SKIP_SLEEP") != nullptr;
    rename_spec = getenv("FAULT_RENAME");
    log_path = getenv("FAULT_LOG");
    if (getenv("FAULT_IN_TREE") != nullptr) {
        void *shared =
            mmap(nullptr, sizeof *calls, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (shared != MAP_FAILED)
            calls = static_cast<long *>(shared);
    }
    dl_iterate_phdr(find_program, nullptr);
}

template <typename F> F *next(const char *name)
{
    return reinterpret_cast<F *>(dlsym(RTLD_NEXT, name));
}

// Through the real calls, which this library stands in front of. One write with O_APPEND, so
// that the processes of one run each add whole lines.
void record(const char *function)
{
    if (log_path == nullptr)
        return;
    int fd = next<int(const char *, int, ...)>("open")(log_path, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd == -1)
        return;
    char line[64];
    int len = snprintf(line, sizeof line, "%s\n", function);
    next<ssize_t(int, const void *, size_t)>("write")(fd, line, static_cast<size_t>(len));
    next<int(int)>("close")(fd);
}

// The call's number when it is one of the program's own calls to the chosen function, else 0.
long counted(const char *function, void *caller)
{
    auto at = reinterpret_cast<uintptr_t>(caller);
    if (strcmp(function, target) != 0 || at < program_begin || at >= program_end)
        return 0;
    return __atomic_add_fetch(calls, 1, __ATOMIC_SEQ_CST);
}

bool fails(const char *function, void *caller)
{
    const long call = counted(function, caller);
    if (call == 0 || call != nth)
        return false;
    record(function);
    if (rename_spec != nullptr) {
        const char *colon = strchr(rename_spec, ':');
        char from[PATH_MAX];
        if (colon != nullptr && colon - rename_spec < PATH_MAX) {
            snprintf(from, sizeof from, "%.*s", static_cast<int>(colon - rename_spec), rename_spec);
            rename(from, colon + 1);
        }
        return false;
    }
    errno = error;
    return true;
}

} // namespace

#define CALLER __builtin_return_address(0)

extern "C" {

pid_t fork()
{
    return fails("fork", CALLER) ? -1 : next<pid_t()>("fork")();
}

int sem_post(sem_t *sem)
{
    return fails("sem_post", CALLER) ? -1 : next<int(sem_t *)>("sem_post")(sem);
}

int pthread_create(pthread_t *newthread, const pthread_attr_t *attr, void *(*start_routine)(void *),
                   void *arg)
{
    const long call = counted("pthread_create", CALLER);
    if (call != 0 && call == nth) {
        record("pthread_create");
        return error; // thread calls return their error instead of setting errno
    }
    using create_t = int(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    return next<create_t>("pthread_create")(newthread, attr, start_routine, arg);
}

int open(const char *file, int oflag, ...)
{
    mode_t mode = 0;
    if ((oflag & (O_CREAT | O_TMPFILE)) != 0) {
        va_list args;
        va_start(args, oflag);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    return fails("open", CALLER) ? -1
                                 : next<int(const char *, int, ...)>("open")(file, oflag, mode);
}

ssize_t read(int fd, void *buf, size_t nbytes)
{
    return fails("read", CALLER) ? -1 : next<ssize_t(int, void *, size_t)>("read")(fd, buf, nbytes);
}

ssize_t write(int fd, const void *buf, size_t n)
{
    if (short_len > 0) {
        if (counted("write", CALLER) >= nth && n > short_len) {
            record("write");
            n = short_len;
        }
    } else if (fails("write", CALLER)) {
        return -1;
    }
    return next<ssize_t(int, const void *, size_t)>("write")(fd, buf, n);
}

int close(int fd)
{
    return fails("close", CALLER) ? -1 : next<int(int)>("close")(fd);
}

unsigned sleep(unsigned seconds)
{
    return skip_sleep ? 0 : next<unsigned(unsigned)>("sleep")(seconds);
}

// The real allocator is reached through glibc's own entry points, not dlsym, which may
// itself allocate.
void *malloc(size_t size)
{
    return fails("malloc", CALLER) ? nullptr : __libc_malloc(size);
}

void *calloc(size_t nmemb, size_t size)
{
    return fails("calloc", CALLER) ? nullptr : __libc_calloc(nmemb, size);
}

void *realloc(void *ptr, size_t size)
{
    return fails("realloc", CALLER) ? nullptr : __libc_realloc(ptr, size);
}

} // extern "C"
