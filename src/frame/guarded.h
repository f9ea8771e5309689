// The one place an exception ends: `guarded` runs a body and turns anything
// it throws into the failure result the caller names.  Lower subsystems use
// it for their noexcept steps without taking in the public header.
#pragma once

#include <utility>

namespace kx {

// Runs `f`; any exception becomes `on_failure`.
template <class Result, class F>
Result guarded(Result on_failure, F &&f) noexcept {
    try {
        return std::forward<F>(f)();
    } catch (...) {
        return on_failure;
    }
}

} // namespace kx
