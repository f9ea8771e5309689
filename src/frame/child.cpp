// child_process: a keeper cloned with a pidfd and no exit signal, which
// starts the program with clean signal state and reports through a pipe
// whether the exec worked and how the program ended; and the one wait of
// the library, by pidfd.
#include "frame/child.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
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
enum : int { report_exec = 1, report_exited = 2, report_signalled = 3 };

void send_report(int fd, report message) {
    while (write(fd, &message, sizeof message) < 0 && errno == EINTR) {
    }
}

// false at the end of the pipe or on a short message.
bool read_report(int fd, report &message) {
    ssize_t got;
    while ((got = read(fd, &message, sizeof message)) < 0 && errno == EINTR) {
    }
    return got == static_cast<ssize_t>(sizeof message);
}

int wait_on_pidfd(int pidfd, siginfo_t &info, int options);

// The program's process: its streams, an empty signal mask, exec.  An exec
// failure goes back through the close-on-exec pipe.
[[noreturn]] void exec_program(const spawn_request &request, int exec_fd) {
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

// The keeper: the library's direct child.  An exec resets a process's exit
// signal to SIGCHLD, so the keeper never execs: it starts the program as
// its own child (with default dispositions, so the kernel does not reap it
// early), waits for it and reports.  It runs with every signal blocked and
// only calls that are safe after fork.
[[noreturn]] void run_keeper(const spawn_request &request, int report_fd) {
    default_dispositions();
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) _exit(255);
    int pidfd = -1;
    const long pid = syscall(SYS_clone, CLONE_PIDFD | SIGCHLD, nullptr, &pidfd, nullptr, nullptr);
    if (pid == 0) exec_program(request, ends[1]);
    close(ends[1]);
    if (pid < 0) _exit(255);
    // The program holds its streams now; a reader waits for its end alone.
    if (request.stdout_fd >= 0) close(request.stdout_fd);
    if (request.stderr_fd >= 0) close(request.stderr_fd);
    int failure = 0;
    ssize_t got;
    while ((got = read(ends[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
    }
    send_report(report_fd, {report_exec, got == static_cast<ssize_t>(sizeof failure) ? failure : 0});
    siginfo_t info;
    if (wait_on_pidfd(pidfd, info, WEXITED) != 0) _exit(255);
    send_report(report_fd, {info.si_code == CLD_EXITED ? report_exited : report_signalled, info.si_status});
    _exit(0);
}

// The library's only wait: for the one child behind `pidfd`, whatever its
// exit signal.  0, or the errno of the wait.
int wait_on_pidfd(int pidfd, siginfo_t &info, int options) {
    info = siginfo_t{};
    while (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info, options | __WALL) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

} // namespace

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
    if (adopted_) kill();
    wait();
}

bool child_process::spawn(const spawn_request &request, int &exec_errno) {
    exec_errno = 0;
    reset();
    if (request.path == nullptr || request.argv == nullptr || request.envp == nullptr) return false;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    unique_fd report_read(ends[0]);
    unique_fd report_write(ends[1]);

    int pidfd = -1;
    long pid;
    {
        signals_blocked quiet;
        // Exit signal 0: never reaped by the kernel on the caller's behalf.
        pid = syscall(SYS_clone, CLONE_PIDFD, nullptr, &pidfd, nullptr, nullptr);
        if (pid == 0) run_keeper(request, report_write.get());
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
    if (reported) {
        status.how = ended.kind == report_exited ? exit_status::ending::exited : exit_status::ending::signalled;
        status.value = ended.value;
    } else if (failed != 0) {
        status.value = failed;
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
    if (pidfd_) syscall(SYS_pidfd_send_signal, pidfd_.get(), SIGKILL, nullptr, 0);
}

} // namespace kx
