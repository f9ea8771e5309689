// The frame's pure services: log line shape and cut, running programs, the
// control socket's reference count, the filter record and the path table.
#include "frame/log.h"
#include "frame/state.h"
#include "kxnet_ct.h"
#include "sys/child.h"
#include "sys/command.h"
#include "sys/device_probe.h"
#include "sys/paths.h"
#include "test_support.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using kxtest::log_messages;
using kxtest::scratch_root;

TEST(Log, LineHasStampPidsAndMessage) {
    scratch_root root;
    kxnet_log("hello %d", 42);
    std::string text = kxtest::read_file(root.at("/var/log/kxnetcfg.log"));
    std::regex shape(R"(^\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\t(\d+)\t(\d+)\thello 42\n$)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, shape)) << text;
    EXPECT_EQ(std::stol(m[1]), static_cast<long>(getpid()));
    EXPECT_EQ(std::stol(m[2]), static_cast<long>(getppid()));
}

TEST(Log, LongMessageIsCutAt1022AndOwnNewlineLeavesEmptyLine) {
    scratch_root root;
    std::string long_text(3000, 'x');
    kxnet_log("%s", long_text.c_str());
    kxnet_log("ends in newline\n");
    kxnet_log(nullptr);
    auto messages = log_messages();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0], std::string(1022, 'x'));
    EXPECT_EQ(messages[1], "ends in newline");
    EXPECT_EQ(messages[2], "");
    EXPECT_EQ(messages[3], "");
}

// Each message is one line, and the escapes read back unambiguously.
TEST(Log, ControlBytesDelAndBackslashAreEscaped) {
    scratch_root root;
    struct row {
        std::string argument;
        const char *logged;
    } rows[] = {
        {"a\nb", "<a\\nb>"},
        {"a\\nb", "<a\\\\nb>"}, // a name that only spells "\n" reads differently
        {"t\tr\re\x1b[0m", "<t\\tr\\re\\x1b[0m>"},
        {"del\x7f", "<del\\x7f>"},
        {"caf\xc3\xa9 \"q\"", "<caf\xc3\xa9 \"q\">"}, // UTF-8 and quotes stay as they are
        {"end\n", "<end\\n>"},                  // an argument's newline is never the line break
        {std::string(1100, '\x01'), nullptr},    // cut to 1022 bytes, then escaped whole
    };
    for (const row &r : rows) kxnet_log("<%s>", r.argument.c_str());
    kxnet_log("own %s\n", "x\n");
    auto messages = log_messages();
    ASSERT_EQ(messages.size(), std::size(rows) + 2);
    for (size_t i = 0; i + 1 < std::size(rows); ++i) EXPECT_EQ(messages[i], rows[i].logged);
    std::string cut = "<";
    for (int i = 0; i < 1021; ++i) cut += "\\x01";
    EXPECT_EQ(messages[std::size(rows) - 1], cut);
    EXPECT_EQ(messages[std::size(rows)], "own x\\n") << "the format's own newline stays a line break";
    EXPECT_EQ(messages[std::size(rows) + 1], "");
}

TEST(Log, MissingDirectoryDropsTheMessageQuietly) {
    scratch_root root;
    ASSERT_EQ(system(("rm -rf " + root.at("/var/log")).c_str()), 0);
    kxnet_log("lost");
    EXPECT_FALSE(kxtest::file_exists(root.at("/var/log/kxnetcfg.log")));
}

// Runs `argv` with standard output sent to a file; returns (status, output).
std::pair<kx::command_status, std::string> run_capturing(const char *const argv[]) {
    char path[] = "/tmp/kxnet-out-XXXXXX";
    int out = mkstemp(path);
    int saved = dup(STDOUT_FILENO);
    fflush(stdout);
    dup2(out, STDOUT_FILENO);
    const kx::command_status status = kx::run_command(argv);
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(out);
    std::string text = kxtest::read_file(path);
    unlink(path);
    return {status, text};
}

// Nothing of the caller's environment, PATH included: only the fixed
// search path, behind the sandbox's sbin folders.
TEST(RunCommand, ProgramSeesNoEnvironment) {
    scratch_root root;
    setenv("KXNET_SHOULD_NOT_LEAK", "1", 1);
    const std::string caller_path = getenv("PATH") != nullptr ? getenv("PATH") : "";
    setenv("PATH", "/caller/bin", 1);
    const char *argv[] = {"/usr/bin/env", nullptr};
    auto [status, output] = run_capturing(argv);
    setenv("PATH", caller_path.c_str(), 1);
    EXPECT_TRUE(status.succeeded());
    EXPECT_EQ(output, "PATH=" + root.at("/usr/sbin") + ":" + root.at("/sbin") + ":/usr/sbin:/usr/bin:/sbin:/bin\n");
}

// A caller that blocks or ignores signals passes neither to the program.
TEST(RunCommand, ProgramStartsWithDefaultSignals) {
    scratch_root root;
    sigset_t blocked, saved;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &saved);
    struct sigaction ignore {}, was_int {}, was_pipe {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &was_int);
    sigaction(SIGPIPE, &ignore, &was_pipe);
    const char *argv[] = {"/usr/bin/grep", "-E", "^Sig(Blk|Ign)", "/proc/self/status", nullptr};
    std::string output;
    const kx::command_status status = kx::run_command_output(argv, output);
    sigaction(SIGPIPE, &was_pipe, nullptr);
    sigaction(SIGINT, &was_int, nullptr);
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    EXPECT_TRUE(status.succeeded());
    EXPECT_EQ(output, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

// Only a child of this process, not yet reaped, can be adopted (and so
// killed): a grandchild or a reaped pid is refused.
TEST(ChildProcess, AdoptsOnlyAnUnreapedChildOfItsOwn) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const pid_t parent = fork();
    ASSERT_GE(parent, 0);
    if (parent == 0) {
        const pid_t grandchild = fork();
        if (grandchild == 0) {
            alarm(20);
            pause();
            _exit(0);
        }
        if (write(ends[1], &grandchild, sizeof grandchild) != sizeof grandchild) _exit(1);
        int status = 0;
        waitpid(grandchild, &status, 0);
        _exit(WIFSIGNALED(status) ? 9 : 0);
    }
    close(ends[1]);
    pid_t grandchild = -1;
    ASSERT_EQ(read(ends[0], &grandchild, sizeof grandchild), static_cast<ssize_t>(sizeof grandchild));
    close(ends[0]);
    {
        kx::child_process not_ours;
        EXPECT_FALSE(not_ours.adopt(grandchild));
    }
    EXPECT_EQ(kill(grandchild, 0), 0) << "a process of another's was signalled";
    kill(grandchild, SIGTERM);

    kx::child_process ours;
    ASSERT_TRUE(ours.adopt(parent));
    const kx::exit_status ended = ours.wait();
    EXPECT_TRUE(ended.exited());
    EXPECT_EQ(ended.value, 9) << "its parent saw the grandchild end by the test's signal";

    const pid_t reaped = fork();
    if (reaped == 0) _exit(0);
    ASSERT_EQ(waitpid(reaped, nullptr, 0), reaped);
    EXPECT_FALSE(ours.adopt(reaped));
}

TEST(RunCommand, ExitStatusSignalAndMissingProgram) {
    scratch_root root;
    // The number a failure line shows, and the step's errno: an exit status
    // or a signal is no errno of its own.
    const char *exit3[] = {"/bin/sh", "-c", "exit 3", nullptr};
    const kx::command_status three = kx::run_command(exit3);
    EXPECT_TRUE(three.exited_with(3));
    EXPECT_EQ(three.shown(), 3);
    EXPECT_EQ(three.error(), -EIO);
    const char *killed[] = {"/bin/sh", "-c", "kill -9 $$", nullptr};
    const kx::command_status signalled = kx::run_command(killed);
    EXPECT_FALSE(signalled.exited_with(9));
    EXPECT_EQ(signalled.shown(), -2);
    EXPECT_EQ(signalled.error(), -EIO);
    const char *none[] = {nullptr};
    EXPECT_EQ(kx::run_command(none).shown(), -1);
    EXPECT_EQ(kx::run_command(none).error(), -ECHILD);
    const char *missing[] = {"/nonexistent/kxnet-tool", "arg", nullptr};
    EXPECT_EQ(kx::run_command(missing).shown(), 255);
    auto messages = log_messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "Failed to exec /nonexistent/kxnet-tool!");
}

bool fd_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(ControlSocket, SharedByHoldersAndClosedAtLastRelease) {
    int first = kx::ctl_socket_acquire();
    ASSERT_GE(first, 0);
    EXPECT_EQ(kx::ctl_socket_acquire(), first);
    EXPECT_EQ(kx::ctl_socket_holders(), 2);
    kx::ctl_socket_release();
    EXPECT_TRUE(fd_open(first));
    kx::ctl_socket_release();
    EXPECT_FALSE(fd_open(first));

    int again = kx::ctl_socket_acquire();
    ASSERT_GE(again, 0);
    EXPECT_EQ(kx::ctl_socket_holders(), 1);
    kx::ctl_socket_release();
}

TEST(ControlSocket, UnbalancedReleaseNeverGoesBelowZero) {
    kx::ctl_socket_release();
    kx::ctl_socket_release();
    EXPECT_EQ(kx::ctl_socket_holders(), 0);
    int sock = kx::ctl_socket_acquire();
    ASSERT_GE(sock, 0);
    EXPECT_EQ(kx::ctl_socket_holders(), 1);
    kx::ctl_socket_release();
    EXPECT_FALSE(fd_open(sock));
}

TEST(Probes, NullNamesAndMissingAttributes) {
    scratch_root root;
    EXPECT_FALSE(kx::bridge_exists(nullptr));
    EXPECT_LT(kx::sysfs_write("/sys/class/net/no-such-dev/bridge/forward_delay", "0", nullptr, 0), 0);
    char field[16];
    kx::copy_ifname(field, "a-name-much-longer-than-fifteen");
    EXPECT_STREQ(field, "a-name-much-lon");
    kx::copy_ifname(field, nullptr);
    EXPECT_STREQ(field, "");
}

TEST(StringVector, FreesUpToTheFirstNull) {
    kx::free_string_vector(nullptr);
    char **vec = static_cast<char **>(malloc(3 * sizeof(char *)));
    vec[0] = strdup("a");
    vec[1] = strdup("b");
    vec[2] = nullptr;
    kx::free_string_vector(vec); // LeakSanitizer checks nothing is left
}

TEST(Filter, CopiesStringsAndAcceptsNullRelease) {
    scratch_root root;
    char bridge[] = "br0";
    kxnet_filter *filter = kxnet_get_simple_filter(KXNETIF_BRIDGE, bridge, nullptr, "eth0", 5, 1);
    ASSERT_NE(filter, nullptr);
    bridge[0] = 'X';
    EXPECT_EQ(filter->type_mask, static_cast<uint32_t>(KXNETIF_BRIDGE));
    EXPECT_STREQ(filter->bridge, "br0");
    EXPECT_EQ(filter->network_id, nullptr);
    EXPECT_STREQ(filter->name, "eth0");
    EXPECT_EQ(filter->ctid_min, 5); // kept even above the maximum
    EXPECT_EQ(filter->ctid_max, 1);
    kxnet_release_filter(filter);
    kxnet_release_filter(nullptr);

    kxnet_filter *all = kxnet_get_simple_filter(KXNETIF_ALL, nullptr, nullptr, nullptr, 0, 0);
    ASSERT_NE(all, nullptr);
    EXPECT_EQ(all->bridge, nullptr);
    EXPECT_EQ(all->name, nullptr);
    kxnet_release_filter(all);
}

TEST(Paths, DocumentedUnlessASandboxRootIsSet) {
    unsetenv("KXNET_ROOT");
    EXPECT_EQ(kx::paths::rooted(kx::paths::registry), "/etc/kx/kxnet.conf");
    EXPECT_EQ(kx::paths::rooted(kx::paths::lock), "/tmp/kxnetcfg.lck");
    setenv("KXNET_ROOT", "/srv/sandbox//", 1);
    EXPECT_EQ(kx::paths::rooted(kx::paths::log), "/srv/sandbox/var/log/kxnetcfg.log");
    setenv("KXNET_ROOT", "/", 1);
    EXPECT_EQ(kx::paths::rooted(kx::paths::log), "/var/log/kxnetcfg.log");
    unsetenv("KXNET_ROOT");
}

} // namespace

// Without KXNET_ROOT the fixed paths are the documented ones; the empty root
// has no bytes to copy (a null copy source was undefined behaviour).
TEST(Paths, FixedPathWithoutRootIsTheDocumentedPath) {
    const char *had = std::getenv("KXNET_ROOT");
    const std::string previous = had != nullptr ? had : "";
    unsetenv("KXNET_ROOT");
    kx::paths::fixed_path path = kx::paths::rooted_fixed("/var/log/kxnetcfg.log");
    EXPECT_STREQ(path.text, "/var/log/kxnetcfg.log");
    if (had != nullptr) setenv("KXNET_ROOT", previous.c_str(), 1);
}
