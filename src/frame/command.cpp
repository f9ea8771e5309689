// run_command: a child that executes a program with PATH as its only
// variable, reaped by the library's one child facility; an exec failure is
// reported back to the caller, which logs it.
#include "frame/command.h"

#include "frame/child.h"
#include "frame/log.h"
#include "frame/paths.h"

#include <cstdlib>
#include <string>

namespace kx {

int command_result(const exit_status &status) {
    if (status.exited()) return status.value;
    if (status.signalled()) return -2;
    return status.value;
}

bool start_command(child_process &child, const char *const argv[], int stdout_fd, int stderr_fd) {
    const std::string path_entry = paths::command_path_entry();
    const char *const environment[] = {path_entry.c_str(), nullptr};
    spawn_request request;
    request.path = argv[0];
    request.argv = argv;
    request.envp = environment;
    request.stdout_fd = stdout_fd;
    request.stderr_fd = stderr_fd;
    int exec_errno = 0;
    if (!child.spawn(request, exec_errno)) return false;
    if (exec_errno != 0) kxnet_log("Failed to exec %s!", argv[0]);
    return true;
}

int run_command(const char *const argv[]) {
    if (argv == nullptr || argv[0] == nullptr) return -1;
    child_process child;
    if (!start_command(child, argv, -1, -1)) return -1;
    return command_result(child.wait());
}

void free_string_vector(char **vec) {
    if (vec == nullptr) return;
    for (char **item = vec; *item != nullptr; ++item) free(*item);
    free(vec);
}

} // namespace kx
