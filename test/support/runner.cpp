#include "runner.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <iterator>
#include <optional>
#include <sched.h>
#include <semaphore.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {
namespace {

using clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string &what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::vector<std::string> merged_environment(const std::vector<std::string> &extra)
{
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        auto name = entry.substr(0, entry.find('=') + 1);
        bool replaced = std::any_of(extra.begin(), extra.end(),
                                    [&](const std::string &x) { return x.starts_with(name); });
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char *> pointers(std::vector<std::string> &strings)
{
    std::vector<char *> p;
    p.reserve(strings.size() + 1);
    for (auto &s : strings)
        p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

// A file under TMPDIR for one run's input, output or fault record; its path is left for the
// caller to remove.
int scratch_file(std::string &path)
{
    path = (std::filesystem::temp_directory_path() / "sysdemos-XXXXXX").string();
    int fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd == -1)
        fail("mkostemp");
    return fd;
}

int scratch_file()
{
    std::string path;
    int fd = scratch_file(path);
    unlink(path.c_str());
    return fd;
}

// Everything written to `fd` since it was made; `fd` is closed.
std::string contents(int fd)
{
    auto bytes = read_file("/dev/fd/" + std::to_string(fd));
    close(fd);
    return bytes;
}

int status_of(int wstatus)
{
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

// Only called in the forked child: async-signal-safe calls, then exec.
[[noreturn]] void become(const std::string &program, int image, char **argv, char **envp,
                         const int (&fds)[3], const run_options &options)
{
    setpgid(0, 0);
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &action, nullptr);
    action.sa_handler = SIG_IGN;
    for (int sig : options.ignored)
        sigaction(sig, &action, nullptr);
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int sig : options.blocked)
        sigaddset(&blocked, sig);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    if (options.umask >= 0)
        umask(static_cast<mode_t>(options.umask));
    for (const auto &l : options.limits) {
        const rlimit value{l.value, l.value};
        if (setrlimit(l.resource, &value) == -1)
            _exit(126);
    }
    if (options.user >= 0) {
        const auto id = static_cast<uid_t>(options.user);
        if (setgroups(0, nullptr) == -1 || setgid(id) == -1 || setuid(id) == -1)
            _exit(126);
    }
    if (options.stray_child.count() > 0 && fork() == 0) {
        auto ms = options.stray_child.count();
        timespec pause{ms / 1000, ms % 1000 * 1'000'000};
        nanosleep(&pause, nullptr);
        _exit(3);
    }
    for (int fd = 0; fd < 3; ++fd)
        if (dup2(fds[fd], fd) == -1)
            _exit(126);
    // Nothing beyond the standard three, whatever this process inherited (ctest's own), once
    // the program starts; the image it starts from stays open until then.
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    for (int fd : options.closed)
        close(fd);
    image >= 0 ? fexecve(image, argv, envp) : execve(program.c_str(), argv, envp);
    _exit(127);
}

// Waits for the whole group: the program, and whatever it left behind, which comes to us since
// we are the subreaper of its processes. At the deadline the group is killed.
void reap(pid_t pid, clock::time_point deadline, run_result &result)
{
    bool program_done = false;
    for (;;) {
        int wstatus;
        pid_t got = waitpid(-pid, &wstatus, WNOHANG);
        if (got == pid) {
            result.status = status_of(wstatus);
            program_done = true;
        } else if (got > 0) {
            ++result.orphans;
        } else if (got == -1 && errno == ECHILD) {
            break;
        } else if (got == 0) {
            if (clock::now() >= deadline && !result.timed_out) {
                kill(-pid, SIGKILL);
                result.timed_out = true;
            }
            usleep(1000);
        } else if (errno != EINTR) {
            fail("waitpid");
        }
    }
    if (!program_done)
        throw std::runtime_error("lost track of the program");
}

// Another user may not reach the build tree, nor a TMPDIR only its owner may enter or one
// mounted noexec: such a run starts from a copy of the program in memory, which anyone may run.
int copy_in_memory(const std::string &program)
{
    const int fd = memfd_create("program", MFD_CLOEXEC);
    const auto bytes = read_file(program);
    if (fd == -1 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        fail("copy of " + program);
    return fd;
}

// The loader splits LD_PRELOAD at blanks, which the build's path may hold, and LD_LIBRARY_PATH
// only at colons and semicolons: the library is preloaded by its bare name from its folder.
std::vector<std::string> preload()
{
    const char *path = getenv("LD_LIBRARY_PATH");
    return {"LD_PRELOAD=" FAULT_NAME,
            "LD_LIBRARY_PATH=" FAULT_DIR + (path ? ":" + std::string(path) : "")};
}

bool preloads_faults(const std::vector<std::string> &env)
{
    return std::any_of(env.begin(), env.end(),
                       [](const std::string &e) { return e.starts_with("FAULT_FUNC="); });
}

} // namespace

run_result run(const std::string &program, const run_options &options)
{
    // Processes orphaned by the program come back to us, so the whole tree can be awaited.
    [[maybe_unused]] static const bool setup = [] {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        std::signal(SIGPIPE, SIG_IGN);
        return true;
    }();

    int in = options.stdin_fd;
    if (in < 0) {
        in = scratch_file();
        write_file("/dev/fd/" + std::to_string(in), options.input); // its own offset, not in's
    }
    const int out = options.stdout_fd >= 0 ? options.stdout_fd : scratch_file();
    const int err = options.merged ? out : scratch_file();

    auto extra = options.env;
    // bash warns on standard error of a locale this machine lacks; no test needs another.
    if (std::none_of(extra.begin(), extra.end(), [](auto &e) { return e.starts_with("LC_ALL="); }))
        extra.emplace_back("LC_ALL=C");
    std::optional<temp_dir> counters;
    if (options.user >= 0) {
        // A coverage build keeps its counters in the build tree, which the other user may not
        // write: such a run leaves them, rather than a complaint, in one folder made for it,
        // whatever its umask, in /dev/shm, which any user may enter where TMPDIR may not be.
        counters.emplace("/dev/shm");
        chmod(counters->path.c_str(), 0777);
        extra.push_back("GCOV_PREFIX=" + counters->path);
        extra.emplace_back("GCOV_PREFIX_STRIP=1000");
    }
    auto env = merged_environment(extra);
    std::string log;
    if (preloads_faults(options.env)) {
        close(scratch_file(log));
        env.push_back("FAULT_LOG=" + log);
    }
    std::vector<std::string> args{program};
    args.insert(args.end(), options.args.begin(), options.args.end());
    auto argv = pointers(args);
    auto envp = pointers(env);

    const int image = options.user >= 0 ? copy_in_memory(program) : -1;
    const auto deadline = clock::now() + options.timeout;
    pid_t pid = fork();
    if (pid == -1)
        fail("fork");
    if (pid == 0)
        become(program, image, argv.data(), envp.data(), {in, out, err}, options);
    setpgid(pid, pid);
    if (image >= 0)
        close(image);

    run_result result;
    reap(pid, deadline, result);
    if (options.stdin_fd < 0)
        close(in);
    if (options.stdout_fd < 0)
        result.out = contents(out);
    if (!options.merged)
        result.err = contents(err);
    if (!log.empty()) {
        auto record = read_file(log);
        result.injected = static_cast<int>(std::count(record.begin(), record.end(), '\n'));
        unlink(log.c_str());
    }
    return result;
}

std::vector<std::string> fault(const std::string &function, int nth, int error, int short_len)
{
    auto env = preload();
    env.insert(env.end(), {"FAULT_FUNC=" + function, "FAULT_NTH=" + std::to_string(nth),
                           "FAULT_ERRNO=" + std::to_string(error)});
    if (short_len > 0)
        env.push_back("FAULT_SHORT=" + std::to_string(short_len));
    return env;
}

std::vector<std::string> fault_in_tree(const std::string &function, int nth, int error)
{
    auto env = fault(function, nth, error);
    env.emplace_back("FAULT_IN_TREE=1");
    return env;
}

std::vector<std::string> swap_before(const std::string &function, int nth, const std::string &from,
                                     const std::string &to)
{
    auto env = fault(function, nth, 0);
    env.push_back("FAULT_RENAME=" + from + ":" + to);
    return env;
}

std::vector<std::string> skip_sleep(std::vector<std::string> env)
{
    if (env.empty())
        env = preload();
    env.emplace_back("FAULT_SKIP_SLEEP=1");
    return env;
}

run_result run_on_two_file_systems(const std::string &program, const std::string &dir,
                                   const std::string &command)
{
    auto r = run("/usr/bin/unshare",
                 {.args = {"--user", "--map-root-user", "--mount", "/bin/sh", "-c",
                           R"(for d in a b; do mkdir "$1/$d" && mount -t tmpfs tmpfs "$1/$d" &&
                                echo $d > "$1/$d/f" || exit 99; done; )" +
                               command,
                           program, dir}});
    if (r.err.starts_with("unshare: "))
        r.status = 99;
    return r;
}

std::vector<std::string> in_pid_namespace(bool fork)
{
    std::vector<std::string> command{"/usr/bin/unshare", "--user", "--map-root-user", "--pid"};
    static const bool possible = [&] {
        std::vector<std::string> probe{command.begin() + 1, command.end()};
        probe.insert(probe.end(), {"--fork", "/bin/true"});
        return run(command.front(), {.args = probe}).status == 0;
    }();
    if (!possible)
        return {};
    if (fork)
        command.emplace_back("--fork");
    else // the leak check stops the world from a child, which would land in the new namespace
        command.insert(command.begin(), {"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0"});
    return command;
}

bool sanitized()
{
    return *SANITIZERS != '\0';
}

bool coverage_build()
{
    return COVERAGE == 1;
}

void leave_semaphore(const std::string &name, unsigned value, unsigned mode)
{
    sem_unlink(name.c_str());
    mode_t old_mask = umask(0);
    sem_t *left = sem_open(name.c_str(), O_CREAT, mode, value);
    umask(old_mask);
    if (left == SEM_FAILED)
        fail("sem_open " + name);
    sem_close(left);
}

namespace {

bool write_text(const char *path, const std::string &text)
{
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd == -1)
        return false;
    bool whole = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && whole;
}

// Another user first enters a user namespace of its own, mapped to its own ids so that its
// rights and the owners of its files stay as they are; root needs none.
bool private_dev_shm()
{
    if (geteuid() != 0) {
        const auto uid = std::to_string(geteuid());
        const auto gid = std::to_string(getegid());
        if (unshare(CLONE_NEWUSER) == -1 || !write_text("/proc/self/setgroups", "deny") ||
            !write_text("/proc/self/uid_map", uid + " " + uid + " 1") ||
            !write_text("/proc/self/gid_map", gid + " " + gid + " 1"))
            return false;
    }
    // Private first, or the new mount would show in the namespace this one was copied from.
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") == 0;
}

// Held until this process ends. Anyone may open the file for the lock, whoever made it.
void take_semaphore_names_lock()
{
    const mode_t mask = umask(0);
    int fd = open(semaphore_names_lock, O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        fd = open(semaphore_names_lock, O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0444);
    if (fd == -1) // made by another suite in between
        fd = open(semaphore_names_lock, O_RDONLY | O_CLOEXEC);
    umask(mask);
    if (fd == -1 || flock(fd, LOCK_EX) == -1)
        fail(std::string("lock ") + semaphore_names_lock);
}

} // namespace

bool own_semaphore_names()
{
    static const bool own = [] {
        if (private_dev_shm())
            return true;
        take_semaphore_names_lock();
        return false;
    }();
    return own;
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(f), {}};
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f)
        throw std::runtime_error("cannot write " + path);
}

temp_dir::temp_dir(const char *base)
{
    auto dir = base ? std::filesystem::path(base) : std::filesystem::temp_directory_path();
    path = (dir / "sysdemos-XXXXXX").string();
    if (mkdtemp(path.data()) == nullptr)
        fail("mkdtemp");
}

temp_dir::~temp_dir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

bool operator==(const run_result &r, const outcome &o)
{
    return !r.timed_out && r.status == o.status && r.out == o.out && r.err == o.err;
}

void PrintTo(const outcome &o, std::ostream *os)
{
    *os << "status " << o.status << ", out " << testing::PrintToString(o.out) << ", err "
        << testing::PrintToString(o.err);
}

void PrintTo(const run_result &r, std::ostream *os)
{
    PrintTo(outcome{r.status, r.out, r.err}, os);
    if (r.timed_out)
        *os << ", timed out";
}

} // namespace testsupport
