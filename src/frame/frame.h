// The frame of every exported call, written once: take the host lock, run the
// body, write the outcome line, release the lock.  Exceptions never cross the
// C boundary: `guarded` turns them into the failure result of the export.
#pragma once

#include "frame/state.h"

#include <new>
#include <utility>

namespace kx {

enum class lock_mode { exclusive, shared, semaphore_only };

inline int grab_host_lock(lock_mode mode) {
    switch (mode) {
    case lock_mode::exclusive: return grab_excl_kxnetlock();
    case lock_mode::shared: return grab_shared_kxnetlock(0);
    case lock_mode::semaphore_only: return grab_shared_kxnetlock(1);
    }
    return 6;
}

// Releases the host lock when the framed section ends, on every path.
struct host_lock_release {
    host_lock_release() = default;
    host_lock_release(const host_lock_release &) = delete;
    host_lock_release &operator=(const host_lock_release &) = delete;
    ~host_lock_release() { release_kxnetlock(); }
};

// Runs `f`; any exception becomes `on_failure`.
template <class Result, class F>
Result guarded(Result on_failure, F &&f) noexcept {
    try {
        return std::forward<F>(f)();
    } catch (...) {
        return on_failure;
    }
}

// A framed operation that returns a code: a failed grab returns its code with
// no outcome line; otherwise `outcome(err)` logs after the body, then release.
template <class Body, class Outcome>
int framed_code(lock_mode mode, Body &&body, Outcome &&outcome) noexcept {
    int code = guarded(6, [mode] { return grab_host_lock(mode); });
    if (code != 0) return code;
    host_lock_release release;
    int err = guarded(6, std::forward<Body>(body));
    guarded(0, [&] {
        outcome(err);
        return 0;
    });
    return err;
}

// A framed operation without an outcome line (queries, address entry).
template <class Result, class Body>
Result framed_plain(lock_mode mode, Result on_lock_failure, Body &&body) noexcept {
    if (guarded(6, [mode] { return grab_host_lock(mode); }) != 0) return on_lock_failure;
    host_lock_release release;
    return guarded(on_lock_failure, std::forward<Body>(body));
}

} // namespace kx
