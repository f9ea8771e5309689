// The frame's pure services: log line shape and cut, running programs, the
// control socket's reference count, the filter record and the path table.
#include "frame/command.h"
#include "frame/log.h"
#include "frame/paths.h"
#include "frame/state.h"
#include "kxnet_ct.h"
#include "test_support.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex>
#include <string>
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
std::pair<int, std::string> run_capturing(const char *const argv[]) {
    char path[] = "/tmp/kxnet-out-XXXXXX";
    int out = mkstemp(path);
    int saved = dup(STDOUT_FILENO);
    fflush(stdout);
    dup2(out, STDOUT_FILENO);
    int status = kx::run_command(argv);
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(out);
    std::string text = kxtest::read_file(path);
    unlink(path);
    return {status, text};
}

TEST(RunCommand, ProgramSeesNoEnvironment) {
    scratch_root root;
    setenv("KXNET_SHOULD_NOT_LEAK", "1", 1);
    const char *argv[] = {"/usr/bin/env", nullptr};
    auto [status, output] = run_capturing(argv);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(output, "");
}

TEST(RunCommand, ExitStatusSignalAndMissingProgram) {
    scratch_root root;
    const char *exit3[] = {"/bin/sh", "-c", "exit 3", nullptr};
    EXPECT_EQ(kx::run_command(exit3), 3);
    const char *killed[] = {"/bin/sh", "-c", "kill -9 $$", nullptr};
    EXPECT_EQ(kx::run_command(killed), -2);
    const char *missing[] = {"/nonexistent/kxnet-tool", "arg", nullptr};
    EXPECT_EQ(kx::run_command(missing), 255);
    auto messages = log_messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "Failed to exec /nonexistent/kxnet-tool!");
}

bool fd_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(ControlSocket, SharedByHoldersAndClosedAtLastRelease) {
    int first = kx::ctl_socket_acquire();
    ASSERT_GE(first, 0);
    EXPECT_EQ(kx::ctl_socket_acquire(), first);
    EXPECT_EQ(kx::state().ctl_sock_refs, 2);
    kx::ctl_socket_release();
    EXPECT_TRUE(fd_open(first));
    kx::ctl_socket_release();
    EXPECT_FALSE(fd_open(first));
    EXPECT_EQ(kx::state().ctl_sock, -1);

    int again = kx::ctl_socket_acquire();
    ASSERT_GE(again, 0);
    EXPECT_EQ(kx::state().ctl_sock_refs, 1);
    kx::ctl_socket_release();
}

TEST(ControlSocket, UnbalancedReleaseNeverGoesBelowZero) {
    kx::ctl_socket_release();
    kx::ctl_socket_release();
    EXPECT_EQ(kx::state().ctl_sock_refs, 0);
    int sock = kx::ctl_socket_acquire();
    ASSERT_GE(sock, 0);
    EXPECT_EQ(kx::state().ctl_sock_refs, 1);
    kx::ctl_socket_release();
    EXPECT_FALSE(fd_open(sock));
}

TEST(Probes, NullNamesAndMissingAttributes) {
    scratch_root root;
    EXPECT_EQ(kx::bridge_exists(nullptr), 0);
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
