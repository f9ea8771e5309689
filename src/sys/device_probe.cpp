// The control socket shared by every interface ioctl of the process, the
// existence and up probes on it, and sysfs attribute exchange.
#include "sys/device_probe.h"

#include "sys/error.h"
#include "sys/fd.h"
#include "sys/log_sink.h"

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

void copy_ifname(char (&field)[16], const char *name) {
    std::memset(field, 0, sizeof field);
    if (name != nullptr) std::strncpy(field, name, sizeof field - 1);
}

namespace {

// The socket and its holders; the callers are serialised by the host lock.
struct control_socket {
    int fd = -1;
    int holders = 0;
};
control_socket ctl;

} // namespace

int ctl_socket_acquire() {
    if (ctl.fd < 0) {
        for (int family : {AF_INET, AF_PACKET, AF_INET6}) {
            ctl.fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (ctl.fd >= 0) break;
        }
        if (ctl.fd < 0) {
            ctl.fd = -1;
            return failed_errno();
        }
    }
    ++ctl.holders;
    return ctl.fd;
}

void ctl_socket_release() {
    // An unbalanced release never drives the count below zero.
    if (ctl.holders > 0) --ctl.holders;
    if (ctl.holders == 0 && ctl.fd >= 0) {
        close_retry(ctl.fd);
        ctl.fd = -1;
    }
}

int ctl_socket_holders() { return ctl.holders; }

namespace {

struct ifreq named_request(const char *name) {
    struct ifreq request {};
    copy_ifname(request.ifr_name, name);
    return request;
}

} // namespace

bool bridge_exists(const char *name) {
    if (name == nullptr) return false;
    ctl_socket_holder sock;
    if (!sock) return false;
    struct ifreq request = named_request(name);
    int result = ioctl(sock.socket(), SIOCGIFFLAGS, &request);
    int saved_errno = errno;
    bool exists = !(result < 0 && saved_errno == ENODEV);
    sys_log("bridge '%s' is reported %sexisting (ret=%d errno=%d)", name, exists ? "" : "non-",
            exists ? 0 : -1, saved_errno);
    return exists;
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
