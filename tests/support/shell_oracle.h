// bash as the judge of an ifcfg file's meaning: what the named variables
// hold after the file is sourced.  The shell gets an empty environment, a
// PATH that leads nowhere, an empty working directory and five seconds of
// processor time; it is meant for text that holds assignments, not commands.
#pragma once

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace kxtest {

// A descriptor numbered above the standard three, which a caller (libFuzzer
// with -close_fd_mask) may have closed: the child's stdout must not be it.
inline int above_stdio(int fd) {
    if (fd > STDERR_FILENO) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fd);
    return moved;
}

// `declare -p` lines of those of `names` that `path` defines, in the order
// given; "!syntax" when bash cannot parse the file, "!" and the wait status
// when the shell did not finish.
inline std::string shell_variables(const std::string &path, const std::string &empty_dir,
                                   const std::vector<std::string> &names) {
    std::string script = "ulimit -t 5; /bin/bash -n \"$1\" 2>/dev/null || exit 3; . \"$1\" >/dev/null 2>&1; declare -p";
    for (const std::string &name : names) script += " " + name;
    script += " 2>/dev/null; exit 0";
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return "!pipe";
    out[0] = above_stdio(out[0]);
    out[1] = above_stdio(out[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addchdir_np(&actions, empty_dir.c_str());
    const char *argv[] = {"bash", "--noprofile", "--norc", "-c", script.c_str(), "bash", path.c_str(), nullptr};
    const char *envp[] = {"PATH=/nonexistent", nullptr};
    pid_t child = -1;
    const int spawned = posix_spawn(&child, "/bin/bash", &actions, nullptr, const_cast<char **>(argv),
                                    const_cast<char **>(envp));
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string text;
    char buffer[4096];
    // Signals (libFuzzer's timer) interrupt the reads and the wait.
    for (ssize_t got; (got = read(out[0], buffer, sizeof buffer)) != 0;) {
        if (got > 0) text.append(buffer, static_cast<size_t>(got));
        else if (errno != EINTR) break;
    }
    close(out[0]);
    int status = 0;
    pid_t waited = -1;
    if (spawned == 0)
        while ((waited = waitpid(child, &status, 0)) < 0 && errno == EINTR) {
        }
    if (spawned != 0 || waited != child) return "!spawn";
    if (WIFEXITED(status) && WEXITSTATUS(status) == 3) return "!syntax";
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "!" + std::to_string(status);
    return text;
}

} // namespace kxtest
