// Running a command line through the system shell, as the distribution's
// network scripts expect to be run: "/bin/sh -c" with the fixed search path
// (paths::command_path_entry) its only variable, within the shell deadline.
#pragma once

#include "sys/command.h"

namespace kx {

// Runs `command` with "/bin/sh -c" and waits for it: how the shell ended (a
// shell that could not be executed counts as not started).  The caller
// places only text the shell cannot misread in `command`.
command_status run_shell(const char *command);

} // namespace kx
