// Device probes on the process's control socket: whether a device exists,
// bringing it up, a sysfs attribute exchanged, and the name field of an
// interface request.  The registry, the VLAN code and the device code use
// them alike.
#pragma once

#include <cstddef>
#include <sys/types.h>

namespace kx {

// The shared datagram socket for interface ioctls, reference-counted: the
// socket, or a negative errno when none can be opened.
int ctl_socket_acquire();
void ctl_socket_release();
// Its holders now (0: it is closed).
int ctl_socket_holders();

// One hold on the control socket for a scope: acquired on construction,
// released at the end of the scope when the acquire succeeded.
class ctl_socket_holder {
public:
    ctl_socket_holder() : sock_(ctl_socket_acquire()) {}
    ctl_socket_holder(const ctl_socket_holder &) = delete;
    ctl_socket_holder &operator=(const ctl_socket_holder &) = delete;
    ~ctl_socket_holder() {
        if (sock_ >= 0) ctl_socket_release();
    }
    int socket() const { return sock_; }
    explicit operator bool() const { return sock_ >= 0; }

private:
    int sock_;
};

// Whether the named device is taken to exist (any probe error but ENODEV).
bool bridge_exists(const char *name);

// Sets IFF_UP unless already set; `sock` 0 means use the control socket.
// 0 or the failed request's negative errno.
int set_device_up(int sock, const char *name);

// Exchanges a value with a sysfs attribute; `old` (if given) receives up to
// `size` bytes of the previous value, not zero-terminated.  The bytes
// written, or a negative errno.
ssize_t sysfs_write(const char *path, const char *value, char *old, size_t size);

// Copies `name` into a 16-byte device name field, cut to 15 characters.
void copy_ifname(char (&field)[16], const char *name);

} // namespace kx
