// run_command_output: run_command's child with its standard output read
// back through a pipe.  The child's standard error goes to /dev/null, so a
// tool that cannot answer leaves no text on the caller's streams.
#include "frame/command.h"

#include "frame/child.h"
#include "frame/fd.h"
#include "frame/log.h"
#include "frame/paths.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace kx {

int run_command_output(const char *const argv[], std::string &output) {
    output.clear();
    if (argv == nullptr || argv[0] == nullptr) return -1;
    // Declared before the pipe, so the read end closes first on every path
    // and a child blocked on a full pipe cannot keep the reap from returning.
    child_process child;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return -1;
    unique_fd write_end(ends[1]);
    unique_fd read_end(ends[0]);
    unique_fd null_sink(open("/dev/null", O_WRONLY | O_CLOEXEC));
    const std::string path_entry = paths::command_path_entry();
    const char *const environment[] = {path_entry.c_str(), nullptr};
    spawn_request request;
    request.path = argv[0];
    request.argv = argv;
    request.envp = environment;
    request.stdout_fd = write_end.get();
    request.stderr_fd = null_sink.get();

    int exec_errno = 0;
    if (!child.spawn(request, exec_errno)) return -1;
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
    return command_result(child.wait());
}

} // namespace kx
