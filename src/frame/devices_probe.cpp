// The control socket shared by every interface ioctl of the process, the
// existence and up probes on it, and sysfs attribute exchange.
#include "frame/command.h"
#include "frame/error.h"
#include "frame/fd.h"
#include "frame/log.h"
#include "frame/state.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <linux/sockios.h>

static_assert(SIOCGIFFLAGS == 0x8913);
static_assert(SIOCSIFFLAGS == 0x8914);
static_assert(IFF_UP == 0x1);
static_assert(AF_INET == 2 && AF_PACKET == 17 && AF_INET6 == 10);
static_assert(IFNAMSIZ == 16);

namespace kx {

int close_retry(int fd) {
    if (close(fd) == 0 || errno == EINTR) return 0;
    return -1;
}

void copy_ifname(char (&field)[16], const char *name) {
    std::memset(field, 0, sizeof field);
    if (name != nullptr) std::strncpy(field, name, sizeof field - 1);
}

int ctl_socket_acquire() {
    libkxnet_state &s = state();
    if (s.ctl_sock < 0) {
        for (int family : {AF_INET, AF_PACKET, AF_INET6}) {
            s.ctl_sock = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (s.ctl_sock >= 0) break;
        }
        if (s.ctl_sock < 0) {
            s.ctl_sock = -1;
            return -1;
        }
    }
    ++s.ctl_sock_refs;
    return s.ctl_sock;
}

void ctl_socket_release() {
    libkxnet_state &s = state();
    // An unbalanced release never drives the count below zero.
    if (s.ctl_sock_refs > 0) --s.ctl_sock_refs;
    if (s.ctl_sock_refs == 0 && s.ctl_sock >= 0) {
        close_retry(s.ctl_sock);
        s.ctl_sock = -1;
    }
}

namespace {

struct ifreq named_request(const char *name) {
    struct ifreq request {};
    copy_ifname(request.ifr_name, name);
    return request;
}

} // namespace

int bridge_exists(const char *name) {
    if (name == nullptr) return 0;
    ctl_socket_holder sock;
    if (!sock) return 0;
    struct ifreq request = named_request(name);
    int result = ioctl(sock.socket(), SIOCGIFFLAGS, &request);
    int saved_errno = errno;
    bool exists = !(result < 0 && saved_errno == ENODEV);
    kxnet_log("bridge '%s' is reported %sexisting (ret=%d errno=%d)", name, exists ? "" : "non-",
              exists ? 0 : -1, saved_errno);
    return exists ? 1 : 0;
}

int set_device_up(int sock, const char *name) {
    std::optional<ctl_socket_holder> own;
    if (sock == 0) {
        own.emplace();
        sock = own->socket();
        if (sock < 0) return failed_errno();
    }
    struct ifreq request = named_request(name);
    if (ioctl(sock, SIOCGIFFLAGS, &request) < 0) return failed_errno();
    if ((request.ifr_flags & IFF_UP) != 0) return 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    return ioctl(sock, SIOCSIFFLAGS, &request) < 0 ? failed_errno() : 0;
}

ssize_t sysfs_write(const char *path, const char *value, char *old, size_t size) {
    int raw = open(path, O_RDWR | O_CLOEXEC);
    if (raw < 0) return raw;
    unique_fd fd(raw);
    if (old != nullptr) {
        ssize_t got = read(fd.get(), old, size);
        if (got < 0) return got;
    }
    ssize_t written = write(fd.get(), value, std::strlen(value));
    return written;
}

} // namespace kx
