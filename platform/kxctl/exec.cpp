// Running a function inside a container: a child joins the container's
// network namespace, keeps only the listed descriptors, runs the function and
// exits with its result.  The child first arms a timer of its own that
// kills it with SIGKILL once the timeout passes: one process per call, and
// no signal can ever reach a recycled pid.  A child whose timer cannot be
// armed exits with status 126 without running the function.
#include "guard.h"
#include "kxctl.h"
#include "running.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Closes every descriptor outside keep[0..count) (sorted, no negatives).
// Allocates nothing: it runs in children of possibly threaded callers.
void close_all_but(const int *keep, size_t count) {
    unsigned int from = 0;
    for (size_t i = 0; i < count; ++i) {
        unsigned int fd = static_cast<unsigned int>(keep[i]);
        if (fd > from) close_range(from, fd - 1, 0);
        from = fd + 1;
    }
    close_range(from, ~0U, 0);
}

std::vector<int> kept_descriptors(const int *keep_fds) {
    std::vector<int> keep;
    for (const int *fd = keep_fds; fd != nullptr && *fd != -1; ++fd)
        if (*fd >= 0) keep.push_back(*fd);
    std::sort(keep.begin(), keep.end());
    keep.erase(std::unique(keep.begin(), keep.end()), keep.end());
    return keep;
}

// Arms a timer of this process that delivers SIGKILL once `timeout` seconds
// have passed: it cannot be caught, blocked or aimed at another process, and
// it ends with the process.  A raw system call: no allocation after fork.
bool arm_kill_timer(int timeout) {
    sigevent event{};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = SIGKILL;
    int timer = -1;
    if (syscall(SYS_timer_create, CLOCK_MONOTONIC, &event, &timer) != 0) return false;
    itimerspec when{};
    when.it_value.tv_sec = timeout;
    return syscall(SYS_timer_settime, timer, 0, &when, nullptr) == 0;
}

// The child bounds its own run time before anything else, so no process
// but itself is needed to end it.
[[noreturn]] void run_child(int netns_fd, const std::vector<int> &keep, kxctl_env_fn fn, void *arg, int timeout) {
    if (timeout > 0 && !arm_kill_timer(timeout)) _exit(126);
    if (netns_fd >= 0 && setns(netns_fd, CLONE_NEWNET) != 0) _exit(127);
    close_all_but(keep.data(), keep.size());
    _exit(fn(arg));
}

} // namespace

extern "C" int kxctl_env_exec_fn_async(uint32_t ctid, const char *, kxctl_env_fn fn, void *arg, int *keep_fds,
                                       int timeout, int, int *status) {
    return kxctl::guarded(-1, [&] {
        if (status != nullptr) *status = 0;
        if (fn == nullptr) {
            errno = EINVAL;
            return -1;
        }
        kxctl::owned_fd netns;
        if (ctid != 0) {
            netns = kxctl::open_netns(ctid);
            if (!netns) return -1; // not running
        }
        std::vector<int> keep = kept_descriptors(keep_fds);
        pid_t child = fork();
        if (child < 0) return -1;
        if (child == 0) run_child(netns.get(), keep, fn, arg, timeout);
        return static_cast<int>(child);
    });
}
