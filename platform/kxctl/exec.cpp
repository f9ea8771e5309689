// Running a function inside a container: a child joins the container's
// network namespace, keeps only the listed descriptors, runs the function and
// exits with its result.  A detached watchdog holding a pidfd of the child
// kills it with SIGKILL once the timeout passes; it ends early when the child
// does, and the pidfd keeps it from ever signalling a recycled pid.
#include "guard.h"
#include "kxctl.h"
#include "running.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <poll.h>
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

[[noreturn]] void run_child(int netns_fd, const std::vector<int> &keep, kxctl_env_fn fn, void *arg) {
    if (netns_fd >= 0 && setns(netns_fd, CLONE_NEWNET) != 0) _exit(127);
    close_all_but(keep.data(), keep.size());
    _exit(fn(arg));
}

// Waits on the child's pidfd for up to `timeout` seconds, then kills it.
[[noreturn]] void run_watchdog(int pidfd, int timeout) {
    close_all_but(&pidfd, 1);
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeout;
    for (;;) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long left_ms = (deadline.tv_sec - now.tv_sec) * 1000LL + (deadline.tv_nsec - now.tv_nsec) / 1000000;
        if (left_ms <= 0) break;
        pollfd wait_exit{pidfd, POLLIN, 0};
        int ready = poll(&wait_exit, 1, static_cast<int>(std::min(left_ms, 1000000LL)));
        if (ready > 0) _exit(0); // the child ended in time
        if (ready < 0 && errno != EINTR) break;
    }
    syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
    _exit(0);
}

// Starts the watchdog as a grandchild that init adopts, so the caller has
// only the worker to reap.  False when no pidfd could be had.
bool start_watchdog(pid_t child, int timeout) {
    kxctl::owned_fd pidfd(static_cast<int>(syscall(SYS_pidfd_open, child, 0)));
    if (!pidfd) return false;
    pid_t middle = fork();
    if (middle < 0) return false;
    if (middle == 0) {
        if (fork() == 0) run_watchdog(pidfd.get(), timeout);
        _exit(0);
    }
    while (waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }
    return true;
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
        if (child == 0) run_child(netns.get(), keep, fn, arg);
        if (timeout > 0 && !start_watchdog(child, timeout)) {
            kill(child, SIGKILL); // no way to bound its run time
            while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
            }
            return -1;
        }
        return static_cast<int>(child);
    });
}
