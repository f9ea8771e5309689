// The library state record and its one-time initialisation: the process
// semaphore and the two host facts (SuSE layout, Open vSwitch module) that
// are detected once per process and never cleared.
#include "frame/state.h"

#include "frame/log.h"
#include "sys/error.h"
#include "sys/paths.h"

#include <mutex>
#include <sys/stat.h>

namespace kx {

libkxnet_state &state() {
    static libkxnet_state instance;
    return instance;
}

namespace {

bool path_exists(std::string_view documented) {
    struct stat info {};
    return stat(paths::rooted_fixed(documented).c_str(), &info) == 0;
}

} // namespace

int init_libkxnet_state() {
    libkxnet_state &s = state();
    if (s.ready.load(std::memory_order_acquire)) return 0;

    // Two first calls at once must not both create the semaphore.
    static std::mutex init_mutex;
    std::lock_guard<std::mutex> guard(init_mutex);
    if (s.ready.load(std::memory_order_relaxed)) return 0;

    if (sem_init(&s.lock_sem, 0, 1) != 0) return failed_errno();
    if (path_exists(paths::suse_release)) s.suse_flag = 1;
    if (path_exists(paths::ovs_module)) s.ovs_enabled = 1;
    kxnet_log("init_libkxnet_state (ovs=%d)\n", s.ovs_enabled);
    s.ready.store(true, std::memory_order_release);
    return 0;
}

} // namespace kx
