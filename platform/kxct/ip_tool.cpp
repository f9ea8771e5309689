// fork/exec of `ip`, with setns in the child for commands inside a container.
#include "ip_tool.h"

#include "owned_fd.h"

#include <cerrno>
#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kxct {

namespace {

[[noreturn]] void exec_ip(const std::vector<std::string> &args, const std::string &netns, int out_fd) {
    if (!netns.empty()) {
        int fd = open(netns.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) _exit(126);
    }
    if (out_fd >= 0 && dup2(out_fd, STDOUT_FILENO) < 0) _exit(126);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>("ip"));
    for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    execvp("ip", argv.data());
    _exit(127);
}

int wait_status(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

int run_ip(const std::vector<std::string> &args, const std::string &netns, std::string *output) {
    int ends[2] = {-1, -1};
    if (output != nullptr && pipe2(ends, O_CLOEXEC) != 0) return -1;
    kxctl::owned_fd read_end(ends[0]), write_end(ends[1]);
    pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) exec_ip(args, netns, write_end.get());
    write_end.reset();
    if (output != nullptr) {
        char chunk[1024];
        ssize_t got;
        while ((got = read(read_end.get(), chunk, sizeof chunk)) != 0) {
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) break;
            output->append(chunk, static_cast<size_t>(got));
        }
    }
    return wait_status(child);
}

} // namespace kxct
