// run_command: a child that executes a program with PATH as its only
// variable, within a deadline, reaped by the library's one child facility;
// an exec failure is reported back to the caller, which logs it, and so is
// a command killed at its deadline.
#include "sys/command.h"

#include "sys/child.h"
#include "sys/log_sink.h"
#include "sys/paths.h"

#include <cerrno>
#include <climits>
#include <csignal>
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

command_status command_status::killed() {
    exit_status status;
    status.how = exit_status::ending::signalled;
    status.value = SIGKILL;
    return command_status(status);
}

namespace {

// A positive decimal number of seconds the keeper can count in
// milliseconds, and nothing else: 0 otherwise.
int positive_seconds(const char *text) {
    if (text == nullptr || *text == '\0') return 0;
    long value = 0;
    for (const char *digit = text; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') return 0;
        value = value * 10 + (*digit - '0');
        if (value > INT_MAX / 1000) return 0;
    }
    return static_cast<int>(value);
}

} // namespace

int command_deadline(int standard_seconds) {
    const int chosen = positive_seconds(secure_getenv("KXNET_COMMAND_TIMEOUT"));
    return chosen > 0 ? chosen : standard_seconds;
}

bool start_command(child_process &child, const command_line &line, int stdout_fd, int stderr_fd) {
    const std::string path_entry = paths::command_path_entry();
    const char *const environment[] = {path_entry.c_str(), nullptr};
    spawn_request request;
    request.path = line.path;
    request.argv = line.argv;
    request.envp = environment;
    request.stdout_fd = stdout_fd;
    request.stderr_fd = stderr_fd;
    request.deadline_seconds = line.deadline_seconds;
    int exec_errno = 0;
    if (!child.spawn(request, exec_errno)) return false;
    if (exec_errno != 0) sys_log("Failed to exec %s!", line.path);
    return true;
}

command_status finish_command(child_process &child, const command_line &line) {
    const exit_status status = child.wait();
    if (status.deadline_passed)
        sys_log("Command \"%s\" did not end within its deadline of %d seconds and was killed", line.shown,
                  line.deadline_seconds);
    return command_status(status);
}

command_status run_command(const char *const argv[]) {
    if (argv == nullptr || argv[0] == nullptr) return command_status();
    const command_line line{argv[0], argv, argv[0], command_deadline(command_deadline_seconds)};
    child_process child;
    if (!start_command(child, line, -1, -1)) return command_status();
    return finish_command(child, line);
}

void free_string_vector(char **vec) {
    if (vec == nullptr) return;
    for (char **item = vec; *item != nullptr; ++item) free(*item);
    free(vec);
}

} // namespace kx
