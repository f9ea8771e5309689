// Namespace files: an empty file with the namespace of a short-lived child
// (which unshares its network namespace) bind-mounted on it.
#include "namespace_file.h"

#include "layout.h"
#include "owned_fd.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kxct {

int create_namespace(uint32_t ctid) {
    std::error_code error;
    std::filesystem::create_directories(kxctl::netns_dir(), error);
    if (error) return error.value();
    std::string path = kxctl::netns_path(ctid);
    kxctl::owned_fd file(open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0444));
    if (!file) return errno;
    file.reset();
    pid_t child = fork();
    if (child < 0) return errno;
    if (child == 0) {
        if (unshare(CLONE_NEWNET) != 0) _exit(errno);
        if (mount("/proc/self/ns/net", path.c_str(), nullptr, MS_BIND, nullptr) != 0) _exit(errno);
        _exit(0);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return errno;
    int result = WIFEXITED(status) ? WEXITSTATUS(status) : EINTR;
    if (result != 0) unlink(path.c_str());
    return result;
}

int remove_namespace(uint32_t ctid) {
    std::string path = kxctl::netns_path(ctid);
    if (umount2(path.c_str(), MNT_DETACH) != 0 && errno != EINVAL && errno != ENOENT) return errno;
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return errno;
    return 0;
}

} // namespace kxct
