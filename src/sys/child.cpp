// child_process: a keeper cloned with a pidfd and no exit signal, which
// closes what it inherited, starts the program in a process group of its
// own with clean signal state, watches it against its deadline, the
// library's kill request and the caller's death, and reports through a
// socket whether the exec worked and how the program ended; and the one
// wait of the library, by pidfd.
#include "sys/child.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace kx {

namespace {

// Every signal blocked for the scope, so no handler of the caller's runs in
// the child before the child has put the dispositions back to default.
class signals_blocked {
public:
    signals_blocked() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &saved_);
    }
    signals_blocked(const signals_blocked &) = delete;
    signals_blocked &operator=(const signals_blocked &) = delete;
    ~signals_blocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

private:
    sigset_t saved_;
};

// In a child: every disposition back to default, so neither an ignored
// SIGCHLD nor a handler of the caller's acts there.  The C library's own
// signals refuse the change; exec resets them anyway.
void default_dispositions() {
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &standard, nullptr);
}

// What the keeper tells the library: first the exec's outcome, then how the
// program ended.
struct report {
    int kind;
    int value;
};
enum : int { report_exec = 1, report_exited = 2, report_signalled = 3, report_deadline = 4 };

void send_report(int fd, report message) {
    while (send(fd, &message, sizeof message, MSG_NOSIGNAL) < 0 && errno == EINTR) {
    }
}

// false at the end of the socket or on a short message.
bool read_report(int fd, report &message) {
    ssize_t got;
    while ((got = read(fd, &message, sizeof message)) < 0 && errno == EINTR) {
    }
    return got == static_cast<ssize_t>(sizeof message);
}

int wait_on_pidfd(int pidfd, siginfo_t &info, int options);

// Closes every descriptor but the standard streams and `keep` (-1 entries
// ignored), so nothing the caller holds (the host lock above all) outlives
// the caller in a child.
void close_all_but(int (&keep)[3]) {
    std::sort(std::begin(keep), std::end(keep));
    unsigned next = 3;
    for (int fd : keep) {
        if (fd < static_cast<int>(next)) continue;
        if (static_cast<unsigned>(fd) > next) syscall(SYS_close_range, next, static_cast<unsigned>(fd) - 1, 0);
        next = static_cast<unsigned>(fd) + 1;
    }
    syscall(SYS_close_range, next, ~0U, 0);
}

// Ties the calling child's life to `parent`: `signal` when it goes, and an
// end at once when it went before the tie was made.
void die_with(pid_t parent, int signal) {
    if (prctl(PR_SET_PDEATHSIG, signal) != 0 || getppid() != parent) _exit(255);
}

// The program's process: its own process group, killed when its keeper
// dies, its streams, an empty signal mask, exec.  An exec failure goes back
// through the close-on-exec pipe.
[[noreturn]] void exec_program(const spawn_request &request, int exec_fd, pid_t keeper) {
    setpgid(0, 0);
    die_with(keeper, SIGKILL);
    int failure = 0;
    if (request.stdout_fd >= 0 && dup2(request.stdout_fd, STDOUT_FILENO) < 0) failure = errno;
    if (failure == 0 && request.stderr_fd >= 0 && dup2(request.stderr_fd, STDERR_FILENO) < 0) failure = errno;
    if (failure == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(request.path, const_cast<char *const *>(request.argv), const_cast<char *const *>(request.envp));
        failure = errno;
    }
    while (write(exec_fd, &failure, sizeof failure) < 0 && errno == EINTR) {
    }
    _exit(255);
}

// What ended the keeper's watch over a running program.
enum class watch_end { program, deadline, request, caller_gone };

// Waits for the program behind `pidfd` to end, its deadline (`deadline_ms`
// on the monotonic clock, -1 for none), a kill request or the end of the
// library's socket, or the caller's death (SIGTERM on `caller_gone`).
watch_end watch_program(int pidfd, int caller_gone, int channel, int64_t deadline_ms) {
    pollfd watched[3] = {{pidfd, POLLIN, 0}, {caller_gone, POLLIN, 0}, {channel, POLLIN, 0}};
    for (;;) {
        int timeout = -1;
        if (deadline_ms >= 0) {
            const int64_t left = deadline_ms - monotonic_ms();
            if (left <= 0) return watch_end::deadline;
            timeout = static_cast<int>(std::min<int64_t>(left, INT_MAX));
        }
        const int ready = poll(watched, 3, timeout);
        if (ready < 0 && errno != EINTR) return watch_end::request;
        if (ready <= 0) continue;
        if (watched[0].revents != 0) return watch_end::program;
        if (watched[1].revents != 0) return watch_end::caller_gone;
        if (watched[2].revents != 0) return watch_end::request;
    }
}

// The keeper: the library's direct child.  An exec resets a process's exit
// signal to SIGCHLD, so the keeper never execs: it starts the program as
// its own child (with default dispositions, so the kernel does not reap it
// early), watches it and reports.  It runs with every signal blocked and
// only calls that are safe after fork.
[[noreturn]] void run_keeper(const spawn_request &request, int channel, pid_t caller) {
    default_dispositions();
    die_with(caller, SIGTERM);
    int keep[3] = {channel, request.stdout_fd, request.stderr_fd};
    close_all_but(keep);
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    const int caller_gone = signalfd(-1, &term, SFD_CLOEXEC);
    int ends[2];
    if (caller_gone < 0 || pipe2(ends, O_CLOEXEC) != 0) _exit(255);
    const int64_t deadline_ms =
        request.deadline_seconds > 0 ? monotonic_ms() + int64_t{request.deadline_seconds} * 1000 : -1;
    const pid_t keeper = static_cast<pid_t>(syscall(SYS_getpid));
    int pidfd = -1;
    const long pid = syscall(SYS_clone, CLONE_PIDFD | SIGCHLD, nullptr, &pidfd, nullptr, nullptr);
    if (pid == 0) exec_program(request, ends[1], keeper);
    close(ends[1]);
    if (pid < 0) _exit(255);
    setpgid(static_cast<pid_t>(pid), static_cast<pid_t>(pid)); // before the program's own, whichever runs first
    // The program holds its streams now; a reader waits for its end alone.
    if (request.stdout_fd >= 0) close(request.stdout_fd);
    if (request.stderr_fd >= 0) close(request.stderr_fd);
    int failure = 0;
    ssize_t got;
    while ((got = read(ends[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
    }
    send_report(channel, {report_exec, got == static_cast<ssize_t>(sizeof failure) ? failure : 0});
    const watch_end why = watch_program(pidfd, caller_gone, channel, deadline_ms);
    // Its group, while the unreaped program still holds the group's number.
    if (why != watch_end::program) syscall(SYS_kill, -pid, SIGKILL);
    siginfo_t info;
    if (wait_on_pidfd(pidfd, info, WEXITED) != 0 || why == watch_end::caller_gone) _exit(255);
    if (why == watch_end::deadline)
        send_report(channel, {report_deadline, request.deadline_seconds});
    else
        send_report(channel, {info.si_code == CLD_EXITED ? report_exited : report_signalled, info.si_status});
    _exit(0);
}

// The library's only wait: for the one child behind `pidfd`, whatever its
// exit signal.  0, or the negative errno of the wait.
int wait_on_pidfd(int pidfd, siginfo_t &info, int options) {
    info = siginfo_t{};
    while (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info, options | __WALL) != 0) {
        if (errno != EINTR) return -errno;
    }
    return 0;
}

} // namespace

int64_t monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

child_process::child_process(child_process &&other) noexcept
    : pidfd_(std::move(other.pidfd_)), report_(std::move(other.report_)),
      adopted_(std::exchange(other.adopted_, false)) {}

child_process &child_process::operator=(child_process &&other) noexcept {
    if (this != &other) {
        reset();
        pidfd_ = std::move(other.pidfd_);
        report_ = std::move(other.report_);
        adopted_ = std::exchange(other.adopted_, false);
    }
    return *this;
}

child_process::~child_process() { reset(); }

void child_process::reset() {
    if (!pidfd_) return;
    kill();
    wait();
}

bool child_process::spawn(const spawn_request &request, int &exec_errno) {
    exec_errno = 0;
    reset();
    if (request.path == nullptr || request.argv == nullptr || request.envp == nullptr) return false;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
    unique_fd report_read(ends[0]);
    unique_fd report_write(ends[1]);

    const pid_t caller = getpid();
    int pidfd = -1;
    long pid;
    {
        signals_blocked quiet;
        // Exit signal 0: never reaped by the kernel on the caller's behalf.
        pid = syscall(SYS_clone, CLONE_PIDFD, nullptr, &pidfd, nullptr, nullptr);
        if (pid == 0) run_keeper(request, report_write.get(), caller);
    }
    if (pid < 0) return false;
    pidfd_.reset(pidfd);
    adopted_ = false;
    report_write.reset();
    report_ = std::move(report_read);
    report started{};
    if (!read_report(report_.get(), started) || started.kind != report_exec) {
        wait(); // the keeper could not start the program
        return false;
    }
    exec_errno = started.value;
    return true;
}

bool child_process::adopt(pid_t pid) {
    reset();
    if (pid <= 0) return false;
    unique_fd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    if (!pidfd) return false;
    // The pid might already have been reaped and handed to another process:
    // only a child of ours, running or not yet reaped, answers this wait.
    siginfo_t info;
    if (wait_on_pidfd(pidfd.get(), info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
    pidfd_ = std::move(pidfd);
    adopted_ = true;
    return true;
}

exit_status child_process::wait() {
    exit_status status;
    if (!pidfd_) {
        status.value = ECHILD;
        return status;
    }
    // A spawned program's end comes from its keeper, which ends right after.
    report ended{};
    const bool reported = report_ && read_report(report_.get(), ended) && ended.kind != report_exec;
    report_.reset();
    siginfo_t info;
    const int failed = wait_on_pidfd(pidfd_.get(), info, WEXITED);
    pidfd_.reset();
    adopted_ = false;
    if (reported && ended.kind == report_deadline) {
        status.how = exit_status::ending::signalled;
        status.value = SIGKILL;
        status.deadline_passed = true;
    } else if (reported) {
        status.how = ended.kind == report_exited ? exit_status::ending::exited : exit_status::ending::signalled;
        status.value = ended.value;
    } else if (failed != 0) {
        status.value = -failed;
    } else if (info.si_code == CLD_EXITED) {
        status.how = exit_status::ending::exited;
        status.value = info.si_status;
    } else {
        status.how = exit_status::ending::signalled;
        status.value = info.si_status;
    }
    return status;
}

exit_status child_process::wait_within(int timeout_ms) {
    if (pidfd_) {
        // A pidfd turns readable when its process has ended.
        pollfd ended{pidfd_.get(), POLLIN, 0};
        int ready;
        while ((ready = poll(&ended, 1, timeout_ms)) < 0 && errno == EINTR) {
        }
        if (ready != 1) kill();
    }
    return wait();
}

void child_process::kill() {
    if (!pidfd_) return;
    if (report_) {
        const char request = 'k';
        while (send(report_.get(), &request, 1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno == EINTR) {
        }
        return;
    }
    syscall(SYS_pidfd_send_signal, pidfd_.get(), SIGKILL, nullptr, 0);
}

} // namespace kx
