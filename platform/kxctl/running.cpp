// A namespace file is live while a namespace is bind-mounted on it; a plain
// file left behind by an interrupted stop is not.
#include "running.h"

#include "layout.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>

namespace kxctl {

owned_fd open_netns(uint32_t ctid) {
    owned_fd fd(::open(netns_path(ctid).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return fd;
    struct statfs info {};
    if (fstatfs(fd.get(), &info) != 0) return owned_fd();
    if (static_cast<unsigned long>(info.f_type) != NSFS_MAGIC) {
        errno = ESRCH;
        return owned_fd();
    }
    return fd;
}

bool is_running(uint32_t ctid) { return static_cast<bool>(open_netns(ctid)); }

} // namespace kxctl
