// An owned descriptor for the stand-in's code: closed on every path.
#pragma once

#include <cerrno>
#include <unistd.h>
#include <utility>

namespace kxctl {

class owned_fd {
public:
    owned_fd() = default;
    explicit owned_fd(int fd) : fd_(fd) {}
    owned_fd(const owned_fd &) = delete;
    owned_fd &operator=(const owned_fd &) = delete;
    owned_fd(owned_fd &&other) noexcept : fd_(other.release()) {}
    owned_fd &operator=(owned_fd &&other) noexcept {
        reset(other.release());
        return *this;
    }
    ~owned_fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            while (::close(fd_) != 0 && errno == EINTR) {
            }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

} // namespace kxctl
