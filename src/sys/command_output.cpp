// run_command_output: run_command's child with its standard output read
// back through a pipe, at most command_output_bytes_max of it.  The child's
// standard error goes to /dev/null, so a tool that cannot answer leaves no
// text on the caller's streams.  Reading ends when the pipe closes or, once
// the program has ended, when the pipe holds nothing more (a process it left
// behind may keep the pipe open).
#include "sys/command.h"

#include "sys/child.h"
#include "sys/fd.h"
#include "sys/log_sink.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace kx {

namespace {

enum class read_end_state { open, closed, over_bound };

// Reads what the pipe holds now; `output` grows up to the bound.
read_end_state read_some(int fd, std::string &output) {
    char buffer[16384];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) < 0 && errno == EINTR) {
    }
    if (got <= 0) return read_end_state::closed;
    if (output.size() + static_cast<size_t>(got) > command_output_bytes_max) return read_end_state::over_bound;
    output.append(buffer, static_cast<size_t>(got));
    return read_end_state::open;
}

// The program's output until the pipe closes, or is empty after the
// program's end; false when it passed the bound.
bool collect_output(int fd, const child_process &child, std::string &output) {
    pollfd watched[2] = {{fd, POLLIN, 0}, {child.end_fd(), POLLIN, 0}};
    for (;;) {
        watched[0].revents = watched[1].revents = 0;
        if (poll(watched, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return true;
        }
        if (watched[0].revents != 0) {
            const read_end_state state = read_some(fd, output);
            if (state == read_end_state::over_bound) return false;
            if (state == read_end_state::closed) return true;
            continue;
        }
        if (watched[1].revents != 0) return true;
    }
}

} // namespace

command_status run_command_output(const char *const argv[], std::string &output) {
    output.clear();
    if (argv == nullptr || argv[0] == nullptr) return command_status();
    const command_line line{argv[0], argv, argv[0], command_deadline(command_deadline_seconds)};
    // Declared before the pipe, so the read end closes first on every path
    // (an exception from a full memory included) and the child, killed by
    // its handle, cannot keep the reap from returning.
    child_process child;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return command_status();
    unique_fd write_end(ends[1]);
    unique_fd read_end(ends[0]);
    unique_fd null_sink(open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (!start_command(child, line, write_end.get(), null_sink.get())) return command_status();
    write_end.reset();
    null_sink.reset();

    if (!collect_output(read_end.get(), child, output)) {
        sys_log("Command \"%s\" wrote more than %zu bytes and was killed", line.shown, command_output_bytes_max);
        child.kill();
        read_end.reset();
        child.wait();
        output.clear();
        return command_status::killed();
    }
    read_end.reset();
    return finish_command(child, line);
}

} // namespace kx
