// run_shell: posix_spawn of the shell with the caller's environment, then a
// wait for it that is repeated while interrupted.
#include "frame/shell.h"

#include <cerrno>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

namespace kx {

int run_shell(const char *command) {
    if (command == nullptr) return -1;
    const char *const argv[] = {"sh", "-c", command, nullptr};
    pid_t child = 0;
    if (posix_spawn(&child, "/bin/sh", nullptr, nullptr, const_cast<char *const *>(argv), environ) != 0)
        return -1;
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return errno;
    }
    if (WIFSIGNALED(status)) return -2;
    return WEXITSTATUS(status);
}

} // namespace kx
