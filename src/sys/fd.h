// Owned file descriptors: unique_fd closes what it holds with close_retry,
// so no early return can leak a descriptor.
#pragma once

#include <cerrno>
#include <unistd.h>
#include <utility>

namespace kx {

// close(2) once.  Linux releases the descriptor even when the close is
// interrupted, so EINTR counts as closed: repeating it could close a
// descriptor another thread of the host process has just been given.
// 0, or the negative errno when closing failed otherwise.
inline int close_retry(int fd) {
    if (close(fd) == 0 || errno == EINTR) return 0;
    return -errno;
}

class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
    unique_fd &operator=(unique_fd &&other) noexcept {
        reset(other.release());
        return *this;
    }
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) close_retry(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

} // namespace kx
