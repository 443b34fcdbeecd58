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
#include <random>
#include <regex>
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

// This process's environment with `extra` (NAME=value) added or put in place of its own.
std::vector<std::string> environment(const std::vector<std::string> &extra)
{
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        auto name = entry.substr(0, entry.find('=') + 1);
        if (std::none_of(extra.begin(), extra.end(), [&](auto &x) { return x.starts_with(name); }))
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

// A file under TMPDIR that takes one run's output; it has no name left.
int scratch_file()
{
    auto path = (std::filesystem::temp_directory_path() / "sysdemos-XXXXXX").string();
    int fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd == -1)
        fail("mkostemp");
    unlink(path.c_str());
    return fd;
}

// Only called in the forked child: async-signal-safe calls, then exec.
[[noreturn]] void become(const char *path, int image, char **argv, char **envp, const int (&fds)[3],
                         const run_options &options)
{
    setpgid(0, 0);
    std::signal(SIGPIPE, SIG_DFL);
    if (options.umask >= 0)
        umask(static_cast<mode_t>(options.umask));
    if (chdir(options.dir.c_str()) == -1)
        _exit(126);
    if (options.user >= 0) {
        const auto id = static_cast<uid_t>(options.user);
        if (setgroups(0, nullptr) == -1 || setgid(id) == -1 || setuid(id) == -1)
            _exit(126);
    }
    for (int fd = 0; fd < 3; ++fd)
        if (dup2(fds[fd], fd) == -1)
            _exit(126);
    // Nothing beyond the standard three, whatever this process inherited (ctest's own), once
    // the program starts; the image it starts from stays open until then.
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    image >= 0 ? fexecve(image, argv, envp) : execve(path, argv, envp);
    _exit(127);
}

// Waits for the whole group: the program, and whatever it left behind, which comes to us since
// we are the subreaper of its processes. At the deadline the group is killed.
void reap(pid_t pid, clock::time_point deadline, run_result &result)
{
    for (;;) {
        int wstatus;
        pid_t got = waitpid(-pid, &wstatus, WNOHANG);
        if (got == pid)
            result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
        else if (got > 0)
            ++result.orphans;
        else if (got == -1 && errno == ECHILD)
            return;
        else if (got == 0 && (result.timed_out || clock::now() < deadline))
            usleep(1000);
        else if (got == 0) {
            kill(-pid, SIGKILL);
            result.timed_out = true;
        } else if (errno != EINTR)
            fail("waitpid");
    }
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

// What the rows and tests leave in /dev/shm.
void remove_semaphore_names()
{
    for (const char *name : {"sem.my_sem", "sem.sem1", "sem.gone", "sem.other", "fifo", "link"})
        unlink((std::string("/dev/shm/") + name).c_str());
}

bool uses_semaphores(const std::string &line)
{
    return line.find("proctree") != std::string::npos || line.find("semrelay") != std::string::npos;
}

// The noise file the rows' `noise` reads: a mebibyte, the same in every run.
const std::string &noise_file()
{
    static temp_dir dir;
    static const std::string path = [] {
        std::mt19937 gen(1); // NOLINT(cert-msc32-c,cert-msc51-cpp): the same noise every run
        std::string bytes(1 << 20, '\0');
        for (auto &c : bytes)
            c = static_cast<char>(gen());
        write_file(dir / "noise", bytes);
        return dir / "noise";
    }();
    return path;
}

std::string quoted(const std::string &s)
{
    return "'" + std::regex_replace(s, std::regex("'"), R"('\'')") + "'";
}

// The helpers every row's line may use (runner.hpp lists them). The loader splits LD_PRELOAD
// at blanks, which the build's path may hold, and LD_LIBRARY_PATH only at colons and
// semicolons: the fault library is preloaded by its bare name from its folder.
const std::string &preamble()
{
    static const std::string text =
        "EINTR=" + std::to_string(EINTR) + " EIO=" + std::to_string(EIO) +
        " EAGAIN=" + std::to_string(EAGAIN) + " ENOMEM=" + std::to_string(ENOMEM) +
        " EINVAL=" + std::to_string(EINVAL) + " EMFILE=" + std::to_string(EMFILE) +
        "\nFAULT_NAME=" + quoted(FAULT_NAME) + " FAULT_DIR=" + quoted(FAULT_DIR) +
        " NOISE=" + quoted(noise_file()) +
        " INSTRUMENTED=" + (sanitized() || coverage_build() ? "1" : "") +
        " FAULT_LOG=$PWD/.fault-log" + R"sh(
skip() { echo "skip: $*" >&2; exit 77; }
also() { local s=$?; "$@" || exit 99; return $s; }
preload() { LD_PRELOAD=$FAULT_NAME LD_LIBRARY_PATH=$FAULT_DIR${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH} "$@"; }
fault() { : >> "$FAULT_LOG"; FAULT_LOG=$FAULT_LOG FAULT_FUNC=$1 FAULT_NTH=$2 FAULT_ERRNO=$(($3)) preload "${@:4}"; }
swap() { FAULT_RENAME=$3:$4 fault "$1" "$2" 0 "${@:5}"; }
skip_sleep() { FAULT_SKIP_SLEEP=1 preload "$@"; }
block() { perl -MPOSIX -e 'sigprocmask(SIG_BLOCK, POSIX::SigSet->new(shift)); exec @ARGV or exit 127' \
    "$(kill -l "$1")" "${@:2}"; }
stray() { ( (sleep "$1"; exit 3) & exec "${@:2}" ); }
pidns() { unshare -Urpf true 2> /dev/null || skip no pid namespace can be made here
    [ "$1" = --fork ] || local -x ASAN_OPTIONS=detect_leaks=0 # its helper thread would land there
    unshare -Urp "$@"; }
twofs() { unshare -Urm true 2> /dev/null || skip no file system can be mounted here
    unshare -Urm bash -c 'for d in a b; do mkdir $d && mount -t tmpfs tmpfs $d &&
        echo $d > $d/f || exit 99; done; eval "$1"' bash "$1"; }
noise() { head -c "$1" "$NOISE"; }
plain_build() { [ -z "$INSTRUMENTED" ] || skip "this build's runtime writes files of its own"; }
)sh";
    return text;
}

// Names in /dev/shm of semaphores (sem.NAME), sorted and joined by blanks.
std::string semaphores_left()
{
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator("/dev/shm"))
        if (auto name = e.path().filename().string(); name.starts_with("sem."))
            names.push_back(name);
    std::sort(names.begin(), names.end());
    std::string joined;
    for (const auto &n : names)
        joined += (joined.empty() ? "" : " ") + n;
    return joined;
}

bool matches(const text &want, const std::string &got, const run_result &r)
{
    return want.match ? want.match(want.s, got, r) : got == want.s;
}

} // namespace

std::string noise(std::size_t n)
{
    return read_file(noise_file()).substr(0, n);
}

text re(std::string pattern)
{
    return {std::move(pattern),
            [](const std::string &want, const std::string &got, const run_result &) {
                return std::regex_match(got, std::regex(want));
            }};
}

run_result run(const std::vector<std::string> &argv, const run_options &options)
{
    // Processes orphaned by the program come back to us, so the whole tree can be awaited.
    [[maybe_unused]] static const bool setup = [] {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        std::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    if (std::any_of(argv.begin(), argv.end(), uses_semaphores))
        own_semaphore_names();
    const int in = options.stdin_fd >= 0 ? options.stdin_fd : open("/dev/null", O_RDONLY);
    const int out = options.stdout_fd >= 0 ? options.stdout_fd : scratch_file();
    const int err = scratch_file();

    const char *path = getenv("PATH");
    // bash warns on standard error of a locale this machine lacks; no test needs another.
    // stdbuf preloads its library ahead of the sanitizer runtime, which AddressSanitizer would
    // otherwise refuse.
    std::vector<std::string> extra{"LC_ALL=C", "ASAN_OPTIONS=verify_asan_link_order=0",
                                   "PATH=" BIN_DIR ":" + std::string(path ? path : "/bin")};
    std::optional<temp_dir> counters;
    if (options.user >= 0) {
        // A coverage build keeps its counters in the build tree, which the other user may not
        // write: such a run leaves them, rather than a complaint, in one folder made for it,
        // whatever its umask, in /dev/shm, which any user may enter where TMPDIR may not be.
        counters.emplace("/dev/shm");
        chmod(counters->path.c_str(), 0777);
        extra.insert(extra.end(), {"GCOV_PREFIX=" + counters->path, "GCOV_PREFIX_STRIP=1000"});
    }
    auto env = environment(extra);
    auto args = argv;
    auto argp = pointers(args);
    auto envp = pointers(env);

    const int image = options.user >= 0 ? copy_in_memory(argv[0]) : -1;
    const auto start = clock::now();
    pid_t pid = fork();
    if (pid == -1)
        fail("fork");
    if (pid == 0)
        become(argv[0].c_str(), image, argp.data(), envp.data(), {in, out, err}, options);
    setpgid(pid, pid);
    if (image >= 0)
        close(image);

    run_result result;
    result.pid = pid;
    reap(pid, start + std::chrono::seconds(30), result);
    result.took = std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - start);
    // Everything written since each file was made.
    auto contents = [](int fd) { return read_file("/dev/fd/" + std::to_string(fd)); };
    result.out = options.stdout_fd < 0 ? contents(out) : "";
    result.err = contents(err);
    for (int fd : {in == options.stdin_fd ? -1 : in, out == options.stdout_fd ? -1 : out, err})
        close(fd);
    if (const auto log = options.dir + "/.fault-log"; access(log.c_str(), F_OK) == 0) {
        auto record = read_file(log);
        result.injected = static_cast<int>(std::count(record.begin(), record.end(), '\n'));
        unlink(log.c_str());
    }
    return result;
}

run_result run_line(const std::string &sh)
{
    temp_dir dir;
    return run({"/bin/bash", "-c", preamble() + sh + "\nexit $?", "bash"}, {.dir = dir.path});
}

void check(const row &c, const char *left)
{
    SCOPED_TRACE("the shell line: " + c.sh);
    if (sanitized() && std::regex_search(c.sh, std::regex(R"(\b(fault|swap|skip_sleep)\b)")))
        GTEST_SKIP() << "fault injection needs the plain build";
    auto r = run_line(c.sh);
    if (r.status == 77 && r.err.starts_with("skip: "))
        GTEST_SKIP() << r.err.substr(6);
    if (r.injected == 0)
        GTEST_SKIP() << "the program never made the call the fault was set on";
    expect(r, c, left);
    if (uses_semaphores(c.sh))
        remove_semaphore_names();
}

void expect(const run_result &r, const row &want, const char *left)
{
    auto shown = [](const std::string &s) { return testing::PrintToString(s); };
    EXPECT_TRUE(!r.timed_out && r.status == want.status && matches(want.out, r.out, r) &&
                matches(want.err, r.err, r))
        << "got status " << r.status << (r.timed_out ? " (timed out)" : "") << ", out "
        << shown(r.out) << ", err " << shown(r.err) << "\nwant status " << want.status << ", out "
        << (want.out.match ? "matching " : "") << shown(want.out.s) << ", err "
        << (want.err.match ? "matching " : "") << shown(want.err.s);
    EXPECT_EQ(r.orphans, want.also.orphans) << "processes that outlived their parent";
    if (const char *names = want.also.left ? want.also.left : left) {
        EXPECT_TRUE(std::regex_match(semaphores_left(), std::regex(names)))
            << "left in /dev/shm: " << semaphores_left() << "\nwanted: " << names;
    }
    if (want.also.seconds >= 0) {
        EXPECT_GE(r.took, std::chrono::seconds(want.also.seconds));
        EXPECT_LT(r.took, std::chrono::seconds(want.also.seconds + 2));
    }
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
    own_semaphore_names();
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
        remove_semaphore_names(); // another run's, left under the lock
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

} // namespace testsupport
