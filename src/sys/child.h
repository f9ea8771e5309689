// Child processes: the one way the library starts a program and reaps what
// it started.  The library's direct child (a keeper) has an exit signal of
// 0 and never execs, so the kernel never reaps it for a caller that ignores
// SIGCHLD and a caller's waitpid(-1) never sees it; the keeper runs the
// program as its own child and reports how it ended.  Every wait names one
// child of ours alone, through its pidfd.
//
// The keeper holds nothing of the caller's (every descriptor but its own is
// closed, so never the host lock), dies with the caller, and bounds the
// program: at its deadline, at the library's request or when the caller
// goes, the program's whole process group is killed.
#pragma once

#include "sys/fd.h"

#include <cstdint>
#include <sys/types.h>

namespace kx {

// Milliseconds on the monotonic clock, what child deadlines are counted in.
int64_t monotonic_ms();

// How a child ended, kept apart from the errno of a failed wait.
struct exit_status {
    enum class ending { exited, signalled, lost };
    ending how = ending::lost;
    // The exit code, the signal number, or the errno of a wait that failed
    // (ECHILD: the child was reaped by someone else).
    int value = 0;
    // Killed (SIGKILL) because it ran past its deadline.
    bool deadline_passed = false;

    bool exited() const { return how == ending::exited; }
    bool signalled() const { return how == ending::signalled; }
};

// What the child runs: `path` executed with `argv` and `envp` (both
// null-terminated), in a process group of its own.  Its standard output and
// error are the given descriptors, or the caller's own where -1.  Past
// `deadline_seconds` (0: none) its process group is killed.
struct spawn_request {
    const char *path = nullptr;
    const char *const *argv = nullptr;
    const char *const *envp = nullptr;
    int stdout_fd = -1;
    int stderr_fd = -1;
    int deadline_seconds = 0;
};

// One child of this process, killed (if still running) and reaped when the
// handle ends without a wait.
class child_process {
public:
    child_process() = default;
    child_process(const child_process &) = delete;
    child_process &operator=(const child_process &) = delete;
    child_process(child_process &&other) noexcept;
    child_process &operator=(child_process &&other) noexcept;
    ~child_process();

    // Starts the request with an empty signal mask and default signal
    // dispositions.  False when no process could be started; otherwise
    // `exec_errno` is 0 or the errno of an exec that failed (the child
    // then exits with 255).
    bool spawn(const spawn_request &request, int &exec_errno);

    // Takes over a child some other code started (a plain fork, exit signal
    // SIGCHLD).  False when it is no longer ours to wait for: already reaped
    // (the caller ignores SIGCHLD or reaped it) or not a child at all.
    bool adopt(pid_t pid);

    explicit operator bool() const { return static_cast<bool>(pidfd_); }

    // Waits for the child's end and reaps it; the handle is empty after.
    exit_status wait();

    // wait, but a child still running after `timeout_ms` is killed first.
    exit_status wait_within(int timeout_ms);

    // Ends the child at once: a spawned program's process group is killed
    // by its keeper; an adopted child gets SIGKILL through the pidfd, so it
    // can only reach this child.
    void kill();

    // Of a spawned child: readable once the program has ended (its keeper's
    // report waits there for `wait`).  -1 otherwise.
    int end_fd() const { return report_.get(); }

private:
    void reset();

    unique_fd pidfd_;
    unique_fd report_; // from a spawned child's keeper
    bool adopted_ = false;
};

} // namespace kx
