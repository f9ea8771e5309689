// Running ip and ovs-vsctl: the search on the fixed command path, the
// environment of that PATH alone, and one time limit for the program's whole
// life, its output read and its end waited for.
#include "program.h"

#include "wait_limits.h"

#include "sys/fd.h"
#include "sys/paths.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kxnetctl {

namespace {

// A program that has not ended by then is stopped: a database that never
// answers must not hang a check at 3 a.m.  KXNETCTL_PROGRAM_WAIT_MS can only
// shorten it (a test aid, wait_limits.h).
constexpr int program_wait_ms = 60'000;

using deadline_clock = std::chrono::steady_clock;

// The posix_spawn attributes and file actions, released on every path.
struct spawn_setup {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    spawn_setup() {
        posix_spawnattr_init(&attr);
        posix_spawn_file_actions_init(&actions);
    }
    ~spawn_setup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    spawn_setup(const spawn_setup &) = delete;
    spawn_setup &operator=(const spawn_setup &) = delete;
};

int millis_left(deadline_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - deadline_clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Reads `fd` to its end into `out`; false when the time ran out first.
bool read_until_end(int fd, std::string &out, deadline_clock::time_point deadline) {
    char buf[4096];
    for (;;) {
        const int left = millis_left(deadline);
        if (left == 0) return false;
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, left) < 0 && errno != EINTR) return true;
        if (ready.revents == 0) continue;
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return true;
        }
        out.append(buf, static_cast<size_t>(n));
    }
}

// Reaps `child` when it ends by `deadline`; else kills it first.  false
// when it had to be killed.  Its pidfd turns readable when it ends; without
// one (an old kernel) the wait is short sleeps.
bool reap_by(pid_t child, int &status, deadline_clock::time_point deadline) {
    const kx::unique_fd ended(static_cast<int>(syscall(SYS_pidfd_open, child, 0)));
    for (;;) {
        const pid_t got = waitpid(child, &status, WNOHANG);
        if (got == child) return true;
        if (got < 0 && errno != EINTR) return true;
        const int left = millis_left(deadline);
        if (left == 0) break;
        pollfd ready{ended.get(), POLLIN, 0};
        if (!ended || poll(&ready, 1, left) < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(left, 20)));
    }
    kill(child, SIGKILL);
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return false;
}

// Standard output to the pipe, error to /dev/null, every other descriptor
// closed; an empty signal mask and default dispositions.
void prepare(spawn_setup &setup, int stdout_fd) {
    posix_spawn_file_actions_adddup2(&setup.actions, stdout_fd, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&setup.actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&setup.attr, &none);
    posix_spawnattr_setsigdefault(&setup.attr, &all);
    posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

} // namespace

std::string find_program(const std::string &program) {
    if (program.empty() || program.find('/') != std::string::npos) return "";
    const std::string entry = kx::paths::command_path_entry();
    const std::string search = entry.substr(entry.find('=') + 1);
    for (size_t start = 0; start <= search.size();) {
        size_t end = search.find(':', start);
        if (end == std::string::npos) end = search.size();
        const std::string candidate = search.substr(start, end - start) + "/" + program;
        struct stat info {};
        if (end > start && stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

std::optional<std::string> run_program(const std::vector<std::string> &argv) {
    const std::string path = argv.empty() ? "" : find_program(argv[0]);
    if (path.empty()) return std::nullopt;
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return std::nullopt;
    kx::unique_fd read_end(pipe_fds[0]);
    kx::unique_fd write_end(pipe_fds[1]);
    spawn_setup setup;
    prepare(setup, write_end.get());
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    std::string path_entry = kx::paths::command_path_entry();
    char *const environment[] = {path_entry.data(), nullptr};
    pid_t child = -1;
    const int spawned = posix_spawn(&child, path.c_str(), &setup.actions, &setup.attr, args.data(), environment);
    write_end.reset();
    if (spawned != 0) return std::nullopt;
    const int limit_ms = shortened_limit_ms("KXNETCTL_PROGRAM_WAIT_MS", program_wait_ms);
    const auto deadline = deadline_clock::now() + std::chrono::milliseconds(limit_ms);
    std::string out;
    int status = 0;
    // A program that closed its output early still has the rest of the time.
    const bool read_all = read_until_end(read_end.get(), out, deadline);
    if (!reap_by(child, status, read_all ? deadline : deadline_clock::now()) || !read_all) {
        std::fprintf(stderr, "kxnetctl: %s did not finish within %s, stopped\n", argv[0].c_str(),
                     limit_words(limit_ms).c_str());
        return std::nullopt;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return out;
}

} // namespace kxnetctl
