// The host-stopped mark: an empty file in root's own run directory, so only
// root can make or remove it and its presence alone is the state.
#include "frame/host_state.h"

#include "frame/log.h"
#include "sys/fd.h"
#include "sys/paths.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kx {

bool host_stopped() {
    struct stat info {};
    return lstat(paths::rooted_fixed(paths::host_stopped_mark).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

void mark_host_stopped() {
    const paths::fixed_path path = paths::rooted_fixed(paths::host_stopped_mark);
    unique_fd mark(open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    if (!mark && errno != ENOENT) kxnet_log("libkxnet: cannot leave the host stop mark %s (errno %d)", path.c_str(), errno);
}

void clear_host_stopped() {
    const paths::fixed_path path = paths::rooted_fixed(paths::host_stopped_mark);
    if (unlink(path.c_str()) != 0 && errno != ENOENT)
        kxnet_log("libkxnet: cannot remove the host stop mark %s (errno %d)", path.c_str(), errno);
}

} // namespace kx
