// The host lock: a process semaphore serialises this process's threads, and
// an advisory flock on the lock file serialises processes on the host
// (exclusive for changes, shared for queries).  How the lock file is opened
// safely is lock_file.cpp's.
#include "frame/lock_file.h"
#include "frame/log.h"
#include "frame/state.h"
#include "sys/fd.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>

namespace kx {

int flock_retry(int fd, int operation) {
    int result;
    do {
        result = flock(fd, operation);
    } while (result < 0 && errno == EINTR);
    return result;
}

int take_semaphore() {
    int code = init_libkxnet_state();
    if (code != 0) return code;
    while (sem_wait(&state().lock_sem) != 0 && errno == EINTR) {
    }
    return 0;
}

void post_semaphore() { sem_post(&state().lock_sem); }

namespace {

// Set while this thread's caller holds the host lock itself.
thread_local bool lock_held_by_caller = false;

void close_lock_fd() {
    libkxnet_state &s = state();
    if (close_retry(s.lock_fd) != 0)
        kxnet_log("libkxnet: close has failed %d. leak the descriptor %d", errno, s.lock_fd);
    s.lock_fd = -1;
}

// Gives the semaphore back when a grab fails part-way, on every path.
class semaphore_return {
public:
    semaphore_return() = default;
    semaphore_return(const semaphore_return &) = delete;
    semaphore_return &operator=(const semaphore_return &) = delete;
    ~semaphore_return() {
        if (armed_) post_semaphore();
    }
    void keep_taken() { armed_ = false; }

private:
    bool armed_ = true;
};

// The file-lock half of both grabs; the semaphore is already held.  Nothing
// here allocates, so a grab cannot fail for want of memory.
int grab_file_lock(int operation, const char *name) {
    libkxnet_state &s = state();
    if (lock_held_by_caller) return 0;
    semaphore_return give_back;
    kxnet_log("libkxnet: %s", name);
    const int code = lock_host_file(operation, s.lock_fd);
    if (code == -ENOLCK) {
        close_lock_fd();
        kxnet_log("libkxnet: %s failed", name);
    }
    if (code != 0) return code;
    kxnet_log("libkxnet: %s done", name);
    give_back.keep_taken();
    return 0;
}

} // namespace

joined_host_lock::joined_host_lock() : outer_(lock_held_by_caller) { lock_held_by_caller = true; }

joined_host_lock::~joined_host_lock() { lock_held_by_caller = outer_; }

int grab_excl_kxnetlock() {
    int code = take_semaphore();
    if (code != 0) return code;
    return grab_file_lock(LOCK_EX, "grab_excl_kxnetlock");
}

int grab_shared_kxnetlock(int semaphore_only) {
    int code = take_semaphore();
    if (code != 0) return code;
    if (semaphore_only != 0) return 0;
    return grab_file_lock(LOCK_SH, "grab_shared_kxnetlock");
}

void release_kxnetlock() {
    libkxnet_state &s = state();
    if (s.lock_fd >= 0) {
        kxnet_log("libkxnet: release_kxnetlock");
        int unlocked = flock_retry(s.lock_fd, LOCK_UN);
        kxnet_log("libkxnet: release_kxnetlock %s", unlocked < 0 ? "failed" : "done");
        close_lock_fd();
    }
    post_semaphore();
}

} // namespace kx
