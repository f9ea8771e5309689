// run_shell: the shell started by the library's child facility with the
// caller's environment, except that PATH is the fixed search path.
#include "frame/shell.h"

#include "frame/child.h"
#include "frame/command.h"
#include "frame/paths.h"

#include <cstring>
#include <string>
#include <vector>

extern char **environ;

namespace kx {

namespace {

// The caller's variables with every PATH entry replaced by `path_entry`.
std::vector<const char *> shell_environment(const std::string &path_entry) {
    std::vector<const char *> variables;
    for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry)
        if (std::strncmp(*entry, "PATH=", 5) != 0) variables.push_back(*entry);
    variables.push_back(path_entry.c_str());
    variables.push_back(nullptr);
    return variables;
}

} // namespace

command_status run_shell(const char *command) {
    if (command == nullptr) return command_status();
    const char *const argv[] = {"sh", "-c", command, nullptr};
    const std::string path_entry = paths::command_path_entry();
    const std::vector<const char *> environment = shell_environment(path_entry);
    spawn_request request;
    request.path = "/bin/sh";
    request.argv = argv;
    request.envp = environment.data();
    child_process child;
    int exec_errno = 0;
    if (!child.spawn(request, exec_errno) || exec_errno != 0) return command_status();
    return command_status(child.wait());
}

} // namespace kx
