// Taking the host lock with a limit: the library's lock file rules, flock
// tried without blocking and again after short sleeps until the limit.
#include "host_lock.h"

#include "frame/lock_file.h"
#include "kernel.h"
#include "outcome.h"
#include "wait_limits.h"

#include <cerrno>
#include <chrono>
#include <string>
#include <sys/file.h>
#include <thread>
#include <utility>

namespace kxnetctl {

namespace {

constexpr int lock_wait_ms = 10'000;
constexpr auto retry_pause = std::chrono::milliseconds(100);

} // namespace

int lock_wait_limit_ms() { return shortened_limit_ms("KXNETCTL_LOCK_WAIT_MS", lock_wait_ms); }

host_lock::host_lock(bool exclusive) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(lock_wait_limit_ms());
    for (;;) {
        int fd = -1;
        const int code = kx::lock_host_file((exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB, fd);
        kx::unique_fd opened(fd);
        if (code == 0) {
            fd_ = std::move(opened);
            return;
        }
        // Anything but a refused flock: no sound lock file, waiting helps not.
        if (code != -ENOLCK) return;
        if (std::chrono::steady_clock::now() >= deadline) {
            timed_out_ = true;
            return;
        }
        std::this_thread::sleep_for(retry_pause);
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
