// The device mark through sysfs: /sys/class/net/DEV/ifalias, written with
// the mark and read back whole (the kernel ends the alias with a newline).
#include "frame/device_mark.h"

#include "sys/fd.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <unistd.h>

namespace kx {

namespace {

struct alias_path {
    char text[64];
};

// False for a name no device can have (it could leave /sys/class/net).
bool alias_path_of(const char *name, alias_path &path) {
    if (name == nullptr || name[0] == '\0' || std::strlen(name) >= IFNAMSIZ || std::strchr(name, '/') != nullptr ||
        std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return false;
    std::snprintf(path.text, sizeof path.text, "/sys/class/net/%s/ifalias", name);
    return true;
}

} // namespace

int mark_device_ours(const char *name) noexcept {
    alias_path path;
    if (!alias_path_of(name, path)) return -EINVAL;
    unique_fd fd(open(path.text, O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) return -errno;
    const size_t length = std::strlen(device_mark);
    const ssize_t written = write(fd.get(), device_mark, length);
    if (written < 0) return -errno;
    return static_cast<size_t>(written) == length ? 0 : -EIO;
}

bool device_marked_ours(const char *name) noexcept {
    alias_path path;
    if (!alias_path_of(name, path)) return false;
    unique_fd fd(open(path.text, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) return false;
    char alias[32];
    const ssize_t got = read(fd.get(), alias, sizeof alias);
    if (got <= 0) return false;
    size_t length = static_cast<size_t>(got);
    if (alias[length - 1] == '\n') --length;
    return length == std::strlen(device_mark) && std::memcmp(alias, device_mark, length) == 0;
}

} // namespace kx
