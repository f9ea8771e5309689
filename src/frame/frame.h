// The frame of every exported call, written once: take the host lock, run the
// body, write the outcome line, release the lock.  Exceptions never cross the
// C boundary: `guarded` turns them into the failure result of the export.
// Here the frame's own failures become result codes.
#pragma once

#include "frame/guarded.h"
#include "frame/log.h"
#include "frame/state.h"
#include "kxnet_ct.h"

#include <cerrno>
#include <new>
#include <utility>

namespace kx {

enum class lock_mode { exclusive, shared, semaphore_only };

// The result code of a frame step's answer (0 or a negative errno): a lock
// file flock refused is KXNET_ERR_LOCK, every other failure KXNET_ERR_SYSTEM.
inline int frame_result(int error) {
    if (error == 0) return KXNET_OK;
    return error == -ENOLCK ? KXNET_ERR_LOCK : KXNET_ERR_SYSTEM;
}

inline int grab_host_lock(lock_mode mode) {
    switch (mode) {
    case lock_mode::exclusive: return frame_result(grab_excl_kxnetlock());
    case lock_mode::shared: return frame_result(grab_shared_kxnetlock(0));
    case lock_mode::semaphore_only: return frame_result(grab_shared_kxnetlock(1));
    }
    return KXNET_ERR_SYSTEM;
}

// Runs `Release` when the framed section ends, on every path.
template <void (*Release)()>
struct release_at_end {
    release_at_end() = default;
    release_at_end(const release_at_end &) = delete;
    release_at_end &operator=(const release_at_end &) = delete;
    ~release_at_end() { Release(); }
};
using host_lock_release = release_at_end<release_kxnetlock>;
using semaphore_post = release_at_end<post_semaphore>;

// A call framed by the process semaphore alone (the release of a result
// list): its failure is the call's code, else `body` runs and the call is OK.
template <class Body>
int framed_semaphore(Body &&body) noexcept {
    const int code = guarded(int{KXNET_ERR_SYSTEM}, [] { return frame_result(take_semaphore()); });
    if (code != KXNET_OK) return code;
    semaphore_post post;
    guarded(0, [&] {
        body();
        return 0;
    });
    return KXNET_OK;
}

// A framed operation that returns a code: a failed grab returns its code with
// no outcome line; otherwise `outcome(err)` logs after the body, then release.
template <class Body, class Outcome>
int framed_code(lock_mode mode, Body &&body, Outcome &&outcome) noexcept {
    int code = guarded(int{KXNET_ERR_SYSTEM}, [mode] { return grab_host_lock(mode); });
    if (code != KXNET_OK) return code;
    host_lock_release release;
    int err = guarded(int{KXNET_ERR_SYSTEM}, std::forward<Body>(body));
    guarded(0, [&] {
        outcome(err);
        return 0;
    });
    return err;
}

// The outcome lines of one exported operation: printf formats over the
// operation's arguments; the failure line takes the result code last.
struct outcome_lines {
    const char *done;
    const char *failed;
};

// framed_code under the exclusive lock with the outcome lines `lines` over
// `args`.  Strings among `args` must already be printable (see show).
template <class Body, class... Args>
int framed_logged(const outcome_lines &lines, Body &&body, Args... args) noexcept {
    return framed_code(lock_mode::exclusive, std::forward<Body>(body), [&](int err) {
        if (err == KXNET_OK)
            kxnet_log(lines.done, args...);
        else
            kxnet_log(lines.failed, args..., err);
    });
}

// A framed operation without an outcome line (queries, address entry).
template <class Result, class Body>
Result framed_plain(lock_mode mode, Result on_lock_failure, Body &&body) noexcept {
    if (guarded(int{KXNET_ERR_SYSTEM}, [mode] { return grab_host_lock(mode); }) != KXNET_OK) return on_lock_failure;
    host_lock_release release;
    return guarded(on_lock_failure, std::forward<Body>(body));
}

} // namespace kx
