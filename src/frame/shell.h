// Running a command line through the system shell, as the distribution's
// network scripts expect to be run: "/bin/sh -c" in the caller's environment,
// but with PATH the fixed search path (paths::command_path_entry).
#pragma once

namespace kx {

// Runs `command` with "/bin/sh -c" and waits for it: the shell's exit status
// (0 to 255), -2 when a signal ended it, -1 when it could not be started, or
// the errno of a failed wait.  The caller places only text the shell cannot
// misread in `command`.
int run_shell(const char *command);

} // namespace kx
