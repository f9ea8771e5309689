// The host lock as kxnetctl takes it: the lock file opened by the library's
// own rules (kx::lock_host_file), and a wait that ends.  A lock held for
// ever by a stuck caller must not hang a check at 3 a.m.: after the limit
// kxnetctl gives up with a status of its own (status_lock_wait).
#pragma once

#include "sys/fd.h"

#include <functional>

namespace kxnetctl {

// The longest kxnetctl waits for the host lock, in milliseconds: 10 s, which
// KXNETCTL_LOCK_WAIT_MS can only shorten (a test aid, wait_limits.h).
int lock_wait_limit_ms();

// The host lock held for the object's lifetime, exclusively (for what
// kxnetctl changes itself) or shared; taken within lock_wait_limit_ms.
// With `stop`, asked at least every 50 ms, the wait also ends when it
// answers true (a watcher told to stop).
class host_lock {
public:
    explicit host_lock(bool exclusive = true, std::function<bool()> stop = {});
    host_lock(const host_lock &) = delete;
    host_lock &operator=(const host_lock &) = delete;
    bool held() const { return static_cast<bool>(fd_); }
    // Not held because another caller kept it past the limit.
    bool timed_out() const { return timed_out_; }
    // Not held because `stop` answered true.
    bool stopped() const { return stopped_; }

private:
    kx::unique_fd fd_;
    bool timed_out_ = false;
    bool stopped_ = false;
};

// Waits (within the limit) until no other caller holds the host lock
// exclusively, then lets it go again: run before the library's calls, which
// wait for it without end.  false, with a line on standard error, when
// another caller kept it past the limit.
bool host_lock_free();

} // namespace kxnetctl
