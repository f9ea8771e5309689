// Running external programs: the fixed environment, the deadline, the
// bounded output, and how a run ended.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

namespace kx {

struct exit_status;
class child_process;

// How a program run_command started ended.  Not an errno: an exit status, a
// signal, no process at all, or the errno of a wait that failed.
class command_status {
public:
    // No process could be started.
    command_status() = default;
    explicit command_status(const exit_status &status);
    // A command the library killed itself (its output passed the bound).
    static command_status killed();

    // The program exited with status 0.
    bool succeeded() const { return how_ == ending::exited && value_ == 0; }
    bool exited_with(int code) const { return how_ == ending::exited && value_ == code; }

    // The number a failure line shows: the exit status (0 to 255), -2 for a
    // signal, -1 when nothing was started, the errno of a failed wait.
    int shown() const;

    // As a step's answer: 0 when it succeeded; -ECHILD when nothing was
    // started; the negative errno of a failed wait; otherwise -EIO.
    int error() const;

private:
    enum class ending { not_started, exited, signalled, wait_failed };
    ending how_ = ending::not_started;
    int value_ = 0;
};

// How long a command may run before its process group is killed: the DHCP
// shell waits on a lease, every other command on the kernel or a daemon.
inline constexpr int shell_deadline_seconds = 120;
inline constexpr int command_deadline_seconds = 30;

// What a command may write to an output the library reads; past it the
// command is killed and fails.  The bound a container's dump gets.
inline constexpr std::size_t command_output_bytes_max = 4096 * 1072;

// The deadline in effect: KXNET_COMMAND_TIMEOUT of the calling process (a
// positive number of whole seconds, read with secure_getenv) for every
// command, otherwise `standard_seconds`.
int command_deadline(int standard_seconds);

// A program to run: `path` with `argv`, known in log lines as `shown`.
struct command_line {
    const char *path;
    const char *const *argv;
    const char *shown;
    int deadline_seconds;
};

// Starts `line` in `child` with the fixed PATH as its only variable, nothing
// of the caller's but the standard streams, and the given standard output
// and error (-1: inherited); a failed exec is logged.  False when no process
// could be started.
bool start_command(child_process &child, const command_line &line, int stdout_fd, int stderr_fd);

// Waits for a command start_command started; one that ran past its deadline
// is logged with the deadline.
command_status finish_command(child_process &child, const command_line &line);

// Runs argv[0] (an absolute path) as start_command does, within the
// command deadline, and waits for it.  An exec failure is logged and ends
// the program with status 255.
command_status run_command(const char *const argv[]);

// run_command with the program's standard output collected in `output`
// (its standard error is discarded); output past command_output_bytes_max
// kills the command and fails.
command_status run_command_output(const char *const argv[], std::string &output);

// Frees a null-terminated vector of heap strings and the vector itself.
void free_string_vector(char **vec);

} // namespace kx
