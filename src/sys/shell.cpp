// run_shell: the shell started by the library's child facility as every
// command is: the fixed PATH its only variable, so nothing of the caller's
// environment (BASH_ENV, ENV, IFS, LD_*) reaches the network scripts.
#include "sys/shell.h"

#include "sys/child.h"
#include "sys/command.h"

namespace kx {

command_status run_shell(const char *command) {
    if (command == nullptr) return command_status();
    const char *const argv[] = {"sh", "-c", command, nullptr};
    const command_line line{"/bin/sh", argv, command, command_deadline(shell_deadline_seconds)};
    child_process child;
    if (!start_command(child, line, -1, -1)) return command_status();
    return finish_command(child, line);
}

} // namespace kx
