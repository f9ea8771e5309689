// Taking the host lock with a limit: the library's lock file rules, then a
// blocking flock that a timer ends at the limit.
#include "host_lock.h"

#include "frame/lock_file.h"
#include "kernel.h"
#include "outcome.h"
#include "wait_limits.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <string>
#include <sys/file.h>
#include <sys/time.h>
#include <utility>

namespace kxnetctl {

namespace {

constexpr int lock_wait_ms = 10'000;
// How long one wait runs before a stop predicate is asked again.
constexpr auto stop_slice = std::chrono::milliseconds(50);

using steady = std::chrono::steady_clock;

void wake_up(int) {}

// A blocking flock on `fd` that a one-shot timer interrupts at `deadline`:
// the wait queues behind the holder and gets the lock as soon as it is let
// go, where polling could miss every short gap between a watcher's rounds.
bool flock_until(int fd, int operation, steady::time_point deadline) {
    struct sigaction wake {}, saved {};
    wake.sa_handler = wake_up; // no SA_RESTART: the timer ends the wait
    sigemptyset(&wake.sa_mask);
    if (sigaction(SIGALRM, &wake, &saved) != 0) return false;
    // A caller that started kxnetctl with SIGALRM blocked must not make the
    // wait endless.
    sigset_t alarm_only, saved_mask;
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    sigprocmask(SIG_UNBLOCK, &alarm_only, &saved_mask);
    bool locked = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - steady::now()).count();
        if (left <= 0) break;
        itimerval timer{};
        timer.it_value.tv_sec = static_cast<time_t>(left / 1'000'000);
        timer.it_value.tv_usec = static_cast<suseconds_t>(left % 1'000'000);
        setitimer(ITIMER_REAL, &timer, nullptr);
        locked = flock(fd, operation) == 0;
        const int error = errno;
        const itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        if (locked || error != EINTR) break;
    }
    sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
    sigaction(SIGALRM, &saved, nullptr);
    return locked;
}

} // namespace

int lock_wait_limit_ms() { return shortened_limit_ms("KXNETCTL_LOCK_WAIT_MS", lock_wait_ms); }

host_lock::host_lock(bool exclusive, std::function<bool()> stop) {
    const int operation = exclusive ? LOCK_EX : LOCK_SH;
    const auto deadline = steady::now() + std::chrono::milliseconds(lock_wait_limit_ms());
    for (;;) {
        if (stop && stop()) {
            stopped_ = true;
            return;
        }
        int fd = -1;
        const int code = kx::lock_host_file(operation | LOCK_NB, fd);
        kx::unique_fd opened(fd);
        if (code == 0) {
            fd_ = std::move(opened);
            return;
        }
        // Anything but a refused flock: no sound lock file, waiting helps not.
        if (code != -ENOLCK) return;
        const auto until = stop ? std::min(deadline, steady::now() + stop_slice) : deadline;
        if (!flock_until(opened.get(), operation, until)) {
            if (until < deadline) continue; // a slice ended: ask `stop`, then wait again
            timed_out_ = true;
            return;
        }
        if (kx::is_host_lock_file(opened.get())) {
            fd_ = std::move(opened);
            return;
        }
        // Replaced while we waited: the next pass takes the new file.
    }
}

bool host_lock_free() {
    host_lock probe(false);
    // A lock file that cannot be opened soundly is the library's to report.
    if (!probe.timed_out()) return true;
    fail(status_lock_wait, "the host lock " + library_lock() + " is held by another caller: gave up after " +
                               limit_words(lock_wait_limit_ms()));
    return false;
}

} // namespace kxnetctl
