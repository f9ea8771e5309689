// run_command: a child that executes a program with PATH as its only
// variable, reaped by the library's one child facility; an exec failure is
// reported back to the caller, which logs it.
#include "frame/command.h"

#include "frame/child.h"
#include "frame/log.h"
#include "frame/paths.h"

#include <cerrno>
#include <cstdlib>
#include <string>

namespace kx {

command_status::command_status(const exit_status &status)
    : how_(status.exited() ? ending::exited : status.signalled() ? ending::signalled : ending::wait_failed),
      value_(status.value) {}

int command_status::shown() const {
    switch (how_) {
    case ending::not_started: return -1;
    case ending::signalled: return -2;
    case ending::exited:
    case ending::wait_failed: break;
    }
    return value_;
}

int command_status::error() const {
    switch (how_) {
    case ending::not_started: return -ECHILD;
    case ending::wait_failed: return value_ > 0 ? -value_ : -ECHILD;
    case ending::exited:
        if (value_ == 0) return 0;
        break;
    case ending::signalled: break;
    }
    return -EIO;
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

command_status run_command(const char *const argv[]) {
    if (argv == nullptr || argv[0] == nullptr) return command_status();
    child_process child;
    if (!start_command(child, argv, -1, -1)) return command_status();
    return command_status(child.wait());
}

void free_string_vector(char **vec) {
    if (vec == nullptr) return;
    for (char **item = vec; *item != nullptr; ++item) free(*item);
    free(vec);
}

} // namespace kx
