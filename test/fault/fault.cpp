// Preloaded into a program under test: the FAULT_NTH-th call of FAULT_FUNC made by the program
// itself (not by the libraries on its behalf) fails with errno FAULT_ERRNO; with FAULT_SHORT=k, a
// write from the Nth on passes k bytes at most; with FAULT_RENAME=old:new, old is renamed new
// just before the Nth goes ahead. FAULT_SKIP_SLEEP: sleep() returns at once. FAULT_IN_TREE: the
// count is shared across fork. Each injection adds a line to FAULT_LOG, so that a test can tell
// a fault that fired from one whose call never came.
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

long number(const char *name)
{
    return strtol(getenv(name) ? getenv(name) : "0", nullptr, 10);
}

// The first object listed is the executable itself.
int find_program(dl_phdr_info *info, size_t /*size*/, void * /*data*/)
{
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto &ph = info->dlpi_phdr[i];
        if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X) != 0) {
            program_begin = info->dlpi_addr + ph.p_vaddr;
            program_end = program_begin + ph.p_memsz;
        }
    }
    return 1;
}

__attribute__((constructor)) void configure()
{
    if (const char *f = getenv("FAULT_FUNC"))
        target = f;
    nth = number("FAULT_NTH");
    error = static_cast<int>(number("FAULT_ERRNO"));
    short_len = static_cast<size_t>(number("FAULT_SHORT"));
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

// Through the real calls, which this library stands in front of; one write with O_APPEND, so
// that the processes of one run each add whole lines.
void record(const char *function)
{
    int fd =
        log_path == nullptr
            ? -1
            : next<int(const char *, int, ...)>("open")(log_path, O_WRONLY | O_APPEND | O_CLOEXEC);
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
    if (rename_spec == nullptr) {
        errno = error;
        return true;
    }
    const char *colon = strchr(rename_spec, ':');
    char from[PATH_MAX];
    if (colon != nullptr && colon - rename_spec < PATH_MAX) {
        snprintf(from, sizeof from, "%.*s", static_cast<int>(colon - rename_spec), rename_spec);
        rename(from, colon + 1);
    }
    return false;
}

} // namespace

#define CALLER __builtin_return_address(0)

// A stand-in whose chosen call returns `failed` and whose other calls go on to `real`, with
// the arguments that follow.
#define STAND_IN(type, name, params, failed, real, ...)                                            \
    type name params                                                                               \
    {                                                                                              \
        return fails(#name, CALLER) ? (failed) : (real)(__VA_ARGS__);                              \
    }

extern "C" {

STAND_IN(pid_t, fork, (), -1, next<pid_t()>("fork"))
STAND_IN(int, sem_post, (sem_t * sem), -1, next<int(sem_t *)>("sem_post"), sem)
STAND_IN(int, pipe, (int pipedes[2]), -1, next<int(int *)>("pipe"), pipedes)
STAND_IN(int, ftruncate, (int fd, off_t length), -1, next<int(int, off_t)>("ftruncate"), fd, length)
STAND_IN(int, close, (int fd), -1, next<int(int)>("close"), fd)
STAND_IN(ssize_t, read, (int fd, void *buf, size_t nbytes), -1,
         next<ssize_t(int, void *, size_t)>("read"), fd, buf, nbytes)
STAND_IN(void *, mmap, (void *addr, size_t len, int prot, int flags, int fd, off_t offset),
         MAP_FAILED, next<void *(void *, size_t, int, int, int, off_t)>("mmap"), addr, len, prot,
         flags, fd, offset)
// The real allocator is reached through glibc's own entry points, not dlsym, which may
// itself allocate.
STAND_IN(void *, malloc, (size_t size), nullptr, __libc_malloc, size)
STAND_IN(void *, calloc, (size_t nmemb, size_t size), nullptr, __libc_calloc, nmemb, size)
STAND_IN(void *, realloc, (void *ptr, size_t size), nullptr, __libc_realloc, ptr, size)

sem_t *sem_open(const char *name, int oflag, ...)
{
    va_list args;
    va_start(args, oflag);
    const mode_t mode = (oflag & O_CREAT) != 0 ? va_arg(args, mode_t) : 0;
    const unsigned value = (oflag & O_CREAT) != 0 ? va_arg(args, unsigned) : 0;
    va_end(args);
    using open_t = sem_t *(const char *, int, ...);
    return fails("sem_open", CALLER) ? SEM_FAILED
                                     : next<open_t>("sem_open")(name, oflag, mode, value);
}

// Thread calls return their error instead of setting errno.
int pthread_create(pthread_t *newthread, const pthread_attr_t *attr, void *(*start_routine)(void *),
                   void *arg)
{
    using create_t = int(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    return fails("pthread_create", CALLER)
               ? error
               : next<create_t>("pthread_create")(newthread, attr, start_routine, arg);
}

int open(const char *file, int oflag, ...)
{
    va_list args;
    va_start(args, oflag);
    mode_t mode = (oflag & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, mode_t) : 0;
    va_end(args);
    return fails("open", CALLER) ? -1
                                 : next<int(const char *, int, ...)>("open")(file, oflag, mode);
}

ssize_t write(int fd, const void *buf, size_t n)
{
    if (short_len == 0 && fails("write", CALLER))
        return -1;
    if (short_len > 0 && counted("write", CALLER) >= nth && n > short_len) {
        record("write");
        n = short_len;
    }
    return next<ssize_t(int, const void *, size_t)>("write")(fd, buf, n);
}

unsigned sleep(unsigned seconds)
{
    return skip_sleep ? 0 : next<unsigned(unsigned)>("sleep")(seconds);
}

} // extern "C"
