#include "runner.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
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

int status_of(int wstatus)
{
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

// Only called in the forked child: async-signal-safe calls, then exec.
[[noreturn]] void become(const std::string &program, char **argv, char **envp, int in, int out,
                         int err, const std::vector<int> &closed)
{
    setpgid(0, 0);
    std::signal(SIGPIPE, SIG_DFL);
    if (dup2(in, 0) == -1 || dup2(out, 1) == -1 || dup2(err, 2) == -1)
        _exit(126);
    for (int fd : closed)
        close(fd);
    execve(program.c_str(), argv, envp);
    _exit(127);
}

} // namespace

// One event loop, feeding input and draining both outputs until the deadline, then one reaping
// loop: split up, its state would only pass between the parts.
// NOLINTNEXTLINE(readability-function-cognitive-complexity)
run_result run(const std::string &program, const run_options &options)
{
    // Processes orphaned by the program come back to us, so the whole tree can be awaited.
    [[maybe_unused]] static const bool setup = [] {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        std::signal(SIGPIPE, SIG_IGN);
        return true;
    }();

    int in[2];
    int out[2];
    int err[2];
    if (pipe2(in, O_CLOEXEC) == -1 || pipe2(out, O_CLOEXEC) == -1 || pipe2(err, O_CLOEXEC) == -1)
        fail("pipe2");

    std::vector<std::string> args{program};
    args.insert(args.end(), options.args.begin(), options.args.end());
    auto env = merged_environment(options.env);
    auto argv = pointers(args);
    auto envp = pointers(env);

    pid_t pid = fork();
    if (pid == -1)
        fail("fork");
    if (pid == 0) {
        int child_out = options.stdout_fd >= 0 ? options.stdout_fd : out[1];
        become(program, argv.data(), envp.data(), options.stdin_fd >= 0 ? options.stdin_fd : in[0],
               child_out, options.merged ? child_out : err[1], options.closed);
    }
    setpgid(pid, pid);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (options.stdin_fd >= 0) {
        close(in[1]);
        in[1] = -1;
    }

    run_result result;
    const auto deadline = clock::now() + options.timeout;
    auto kill_all = [&] {
        kill(-pid, SIGKILL);
        result.timed_out = true;
    };
    std::size_t written = 0;
    int open_outputs = 2;
    while (open_outputs > 0 && !result.timed_out) {
        if (in[1] >= 0 && written == options.input.size()) {
            close(in[1]);
            in[1] = -1;
        }
        pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left <= 0) {
            kill_all();
            break;
        }
        if (poll(fds, 3, static_cast<int>(left)) == -1 && errno != EINTR)
            fail("poll");
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0)
                continue;
            int &fd = i == 0 ? out[0] : err[0];
            char buf[65536];
            ssize_t n = read(fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fd);
                fd = -1; // left out of the next poll
                --open_outputs;
            }
        }
        if (fds[2].revents & (POLLOUT | POLLERR)) {
            ssize_t n =
                write(in[1], options.input.data() + written, options.input.size() - written);
            if (n > 0)
                written += static_cast<std::size_t>(n);
            else if (errno != EINTR)
                written = options.input.size(); // reader gone: nothing more can be delivered
        }
    }
    for (int fd : {in[1], out[0], err[0]})
        if (fd >= 0)
            close(fd);

    // Reap the whole group: the program, and whatever it left behind, which comes to us
    // since we are the subreaper of its processes.
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
            if (clock::now() >= deadline && !result.timed_out)
                kill_all();
            usleep(1000);
        } else if (got == -1 && errno != EINTR) {
            fail("waitpid");
        }
    }
    if (!program_done)
        throw std::runtime_error("lost track of " + program);
    return result;
}

std::vector<std::string> fault(const std::string &function, int nth, int error, int short_len)
{
    std::vector<std::string> env{std::string("LD_PRELOAD=") + FAULT_LIBRARY,
                                 "FAULT_FUNC=" + function, "FAULT_NTH=" + std::to_string(nth),
                                 "FAULT_ERRNO=" + std::to_string(error)};
    if (short_len > 0)
        env.push_back("FAULT_SHORT=" + std::to_string(short_len));
    return env;
}

std::vector<std::string> swap_before(const std::string &function, int nth, const std::string &from,
                                     const std::string &to)
{
    auto env = fault(function, nth, 0);
    env.push_back("FAULT_RENAME=" + from + ":" + to);
    return env;
}

bool sanitized()
{
#ifdef SANITIZED
    return true;
#else
    return false;
#endif
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

temp_dir::temp_dir()
{
    auto base = std::filesystem::temp_directory_path() / "sysdemos-XXXXXX";
    std::string tmpl = base.string();
    if (mkdtemp(tmpl.data()) == nullptr)
        fail("mkdtemp");
    path = tmpl;
}

temp_dir::~temp_dir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

} // namespace testsupport
