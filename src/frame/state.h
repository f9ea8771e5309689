// The per-process library state and the host lock that frames every call.
// The fields here belong to the frame; the registry lists and their mutex,
// the bridge index, the VLAN naming type, the information store and the
// control socket are kept by their own subsystems, each in its own module.
#pragma once

#include <atomic>
#include <cstdint>
#include <semaphore.h>

namespace kx {

struct libkxnet_state {
    std::atomic<bool> ready{false};      // the semaphore exists and the host facts are read
    int32_t lock_fd = -1;                // the lock file while the file lock is held
    sem_t lock_sem{};                    // serialises the threads of this process
    int32_t suse_flag = 0;               // "/etc/SuSE-release" exists
    int32_t ovs_enabled = 0;             // "/sys/module/openvswitch" exists
};

libkxnet_state &state();

// 0 once the state is ready; the negative errno of sem_init when the
// semaphore cannot be created (a later call tries again).
int init_libkxnet_state();

// The host lock: the process semaphore, then flock on the lock file.  0; an
// init_libkxnet_state failure; -ENOLCK when flock refused the lock file; or
// another negative errno when the lock file could not be opened soundly.
int grab_excl_kxnetlock();
int grab_shared_kxnetlock(int semaphore_only);
void release_kxnetlock();

// A caller that holds the host lock itself across several calls of one
// thread (kxnetctl watch's check-and-mend round): while a joined_host_lock
// lives, the frame's grabs in that thread take the process semaphore only,
// so no call there takes the file lock a second time and deadlocks.
class joined_host_lock {
public:
    joined_host_lock();
    ~joined_host_lock();
    joined_host_lock(const joined_host_lock &) = delete;
    joined_host_lock &operator=(const joined_host_lock &) = delete;

private:
    bool outer_;
};

// flock(2), repeated while it is interrupted.
int flock_retry(int fd, int operation);

// Takes and posts the process semaphore alone (no lock lines, no file lock):
// 0 or an init_libkxnet_state failure.
int take_semaphore();
void post_semaphore();

} // namespace kx
