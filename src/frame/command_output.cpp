// run_command_output: run_command's child with its standard output read
// back through a pipe.  The child's standard error goes to /dev/null, so a
// tool that cannot answer leaves no text on the caller's streams.
#include "frame/command.h"

#include "frame/fd.h"
#include "frame/log.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace kx {

namespace {

// The child: reaped when the call ends, on every path.  Declared before the
// read end of the pipe so that end closes first and a child blocked on a
// full pipe cannot keep the wait from returning.
class reaped_child {
public:
    explicit reaped_child(pid_t pid) : pid_(pid) {}
    reaped_child(const reaped_child &) = delete;
    reaped_child &operator=(const reaped_child &) = delete;
    ~reaped_child() {
        if (pid_ > 0) wait_once();
    }
    // The status run_command gives; the child is reaped.
    int result() {
        int outcome = wait_once();
        pid_ = -1;
        return outcome;
    }

private:
    int wait_once() {
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0) {
            if (errno != EINTR) return errno;
        }
        if (WIFSIGNALED(status)) return -2;
        return WEXITSTATUS(status);
    }
    pid_t pid_;
};

} // namespace

int run_command_output(const char *const argv[], std::string &output) {
    output.clear();
    if (argv == nullptr || argv[0] == nullptr) return -1;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return -1;
    unique_fd write_end(ends[1]);
    unique_fd null_sink(open("/dev/null", O_WRONLY | O_CLOEXEC));
    char *const empty_environment[] = {nullptr};
    volatile int exec_errno = 0;

    pid_t pid = vfork();
    if (pid < 0) {
        unique_fd read_end(ends[0]);
        return -1;
    }
    if (pid == 0) {
        // dup2 clears close-on-exec on the copies the program keeps.
        if (dup2(ends[1], STDOUT_FILENO) < 0) _exit(255);
        if (null_sink && dup2(null_sink.get(), STDERR_FILENO) < 0) _exit(255);
        execve(argv[0], const_cast<char *const *>(argv), empty_environment);
        exec_errno = errno;
        _exit(255);
    }
    reaped_child child(pid);
    unique_fd read_end(ends[0]);
    write_end.reset();
    null_sink.reset();
    if (exec_errno != 0) kxnet_log("Failed to exec %s!", argv[0]);

    char buffer[4096];
    for (;;) {
        ssize_t got = read(read_end.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        output.append(buffer, static_cast<size_t>(got));
    }
    read_end.reset();
    return child.result();
}

} // namespace kx
