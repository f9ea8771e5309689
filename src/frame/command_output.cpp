// run_command_output: run_command's child with its standard output read
// back through a pipe.  The child's standard error goes to /dev/null, so a
// tool that cannot answer leaves no text on the caller's streams.
#include "frame/command.h"

#include "frame/child.h"
#include "frame/fd.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace kx {

command_status run_command_output(const char *const argv[], std::string &output) {
    output.clear();
    if (argv == nullptr || argv[0] == nullptr) return command_status();
    // Declared before the pipe, so the read end closes first on every path
    // and a child blocked on a full pipe cannot keep the reap from returning.
    child_process child;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return command_status();
    unique_fd write_end(ends[1]);
    unique_fd read_end(ends[0]);
    unique_fd null_sink(open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (!start_command(child, argv, write_end.get(), null_sink.get())) return command_status();
    write_end.reset();
    null_sink.reset();

    char buffer[4096];
    for (;;) {
        ssize_t got = read(read_end.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        output.append(buffer, static_cast<size_t>(got));
    }
    read_end.reset();
    return command_status(child.wait());
}

} // namespace kx
