// run_command: a vfork-style child that executes a program with an empty
// environment.  The child only calls execve and _exit; an exec failure is
// reported back through memory shared with the parent, which logs it.
#include "frame/command.h"

#include "frame/log.h"

#include <cerrno>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace kx {

int run_command(const char *const argv[]) {
    if (argv == nullptr || argv[0] == nullptr) return -1;
    char *const empty_environment[] = {nullptr};
    volatile int exec_errno = 0;

    pid_t child = vfork();
    if (child < 0) return -1;
    if (child == 0) {
        execve(argv[0], const_cast<char *const *>(argv), empty_environment);
        exec_errno = errno;
        _exit(255);
    }
    if (exec_errno != 0) kxnet_log("Failed to exec %s!", argv[0]);

    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return errno;
    }
    if (WIFSIGNALED(status)) return -2;
    return WEXITSTATUS(status);
}

void free_string_vector(char **vec) {
    if (vec == nullptr) return;
    for (char **item = vec; *item != nullptr; ++item) free(*item);
    free(vec);
}

} // namespace kx
