// The allocation counter of the sweep: once armed with N, the N-th
// allocation made on the arming thread fails (one allocation only; the ones
// after it succeed again).  See alloc_fail.cpp for how allocations are
// caught in each build.
#pragma once

#include <cstdint>

namespace kxsweep {

// Starts counting on this thread; allocation number `fail_at` (from 1) fails.
void arm(uint64_t fail_at);
// Stops counting; whether the failure was injected since arm().
bool disarm();
// Allocations counted since arm() (those failed included).
uint64_t counted();

// Arms for the lifetime of the object, for one exported call.
class armed {
public:
    explicit armed(uint64_t fail_at) { arm(fail_at); }
    ~armed() { disarm(); }
    armed(const armed &) = delete;
    armed &operator=(const armed &) = delete;
};

} // namespace kxsweep
