// Keeps exceptions inside the library: an exported body runs under guarded,
// which answers `failure` when it throws (in practice std::bad_alloc).
#pragma once

#include <cerrno>

namespace kxctl {

template <typename Result, typename Body>
Result guarded(Result failure, Body &&body) noexcept {
    try {
        return body();
    } catch (...) {
        errno = ENOMEM;
        return failure;
    }
}

} // namespace kxctl
