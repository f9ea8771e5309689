// What every benchmark program shares: a private network and mount namespace
// with /sys remounted for it, a wall-clock timer and the median of a series.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sched.h>
#include <sys/mount.h>
#include <vector>

namespace kxbench {

// Enters fresh network and mount namespaces; false (after saying why) when
// that is not allowed.
inline bool enter_namespace() {
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
        std::perror("unshare (needs root)");
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::perror("private mounts");
        return false;
    }
    umount2("/sys", MNT_DETACH);
    if (mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0) {
        std::perror("remount /sys");
        return false;
    }
    return true;
}

template <class F> double seconds(F &&f) {
    auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace kxbench
