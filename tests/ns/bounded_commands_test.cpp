// Every command the library runs is bounded and sees nothing of the caller:
// a stuck ifup is killed with its process group at the deadline, output past
// the bound kills its command, a killed caller leaves neither the host lock
// held nor a command running, and no descriptor or variable of the caller's
// reaches a command.
#include "kxnet_ct.h"

#include "library_test.h"
#include "sys/command.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using kxtest::read_file;
using kxtest::write_file;
namespace ns = kxtest::ns;

namespace {

// The variables a caller may hold that must not reach a command.
const char *const callers_variables[] = {"BASH_ENV", "ENV", "LD_LIBRARY_PATH", "PYTHONPATH", "KXTEST_CALLERS_OWN"};

// Whether the process is gone or a zombie nobody reaped yet.
bool gone(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return close == std::string::npos || stat.compare(close + 1, 3, " Z ") == 0;
}

bool gone_within_two_seconds(pid_t pid) {
    for (int i = 0; i < 200 && !gone(pid); ++i) usleep(10000);
    return gone(pid);
}

// A changing call in a child with `seconds` to finish; its code, -1 when it
// had to be stopped.
int changing_call_within(unsigned seconds) {
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(seconds);
        _exit(kxnet_br_del("no-such-net"));
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -2;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class BoundedCommands : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        if (stopped()) return;
        ns::add_veth("vcmd", "vcmdp");
        ns::set_up("vcmd");
        write_file(ns::at("/usr/sbin/ifdown"), "#!/bin/sh\nexit 0\n", 0755);
    }
    void TearDown() override {
        unsetenv("KXNET_COMMAND_TIMEOUT");
        for (const char *name : callers_variables) unsetenv(name);
    }
    void install_ifup(const std::string &script) { write_file(ns::at("/usr/sbin/ifup"), script, 0755); }
    std::vector<pid_t> pids_in(const std::string &file) {
        std::vector<pid_t> pids;
        std::istringstream lines(read_file(file));
        for (std::string line; std::getline(lines, line);) pids.push_back(std::stoi(line));
        return pids;
    }
};

TEST_F(BoundedCommands, AStuckIfupIsKilledWithItsGroupAtTheDeadline) {
    const std::string pids = ns::at("/ifup.pids");
    install_ifup("#!/bin/sh\nsleep 1000 &\necho $! > " + pids + "\necho $$ >> " + pids + "\nwait\n");
    setenv("KXNET_COMMAND_TIMEOUT", "1", 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(compat_kxnet_addr_set("vcmd", "dhcp"), KXNET_ERR_SYSTEM);
    EXPECT_LT(seconds_since(start), 10.0);
    ASSERT_EQ(pids_in(pids).size(), 2u);
    for (pid_t pid : pids_in(pids)) EXPECT_TRUE(gone_within_two_seconds(pid)) << pid;
    std::vector<std::string> command_lines;
    for (const auto &line : kxtest::log_messages())
        if (line.rfind("Command ", 0) == 0) command_lines.push_back(line);
    EXPECT_EQ(command_lines, std::vector<std::string>{"Command \"ifdown vcmd; ifup vcmd\" did not end within its "
                                                      "deadline of 1 seconds and was killed"});
    EXPECT_EQ(read_file(ns::at("/etc/kx/kxnet.conf")).find("ADDR_vcmd"), std::string::npos);
}

TEST(CommandDeadline, OnlyAPositiveWholeNumberOfSecondsCounts) {
    const std::pair<const char *, int> cases[] = {{"1", 1},   {"45", 45},  {"007", 7},    {"0", 30},
                                                  {"-5", 30}, {"5s", 30},  {"", 30},      {" 5", 30},
                                                  {"+5", 30}, {"1.5", 30}, {"99999999999", 30}};
    for (const auto &[text, seconds] : cases) {
        setenv("KXNET_COMMAND_TIMEOUT", text, 1);
        EXPECT_EQ(kx::command_deadline(30), seconds) << '"' << text << '"';
    }
    unsetenv("KXNET_COMMAND_TIMEOUT");
    EXPECT_EQ(kx::command_deadline(120), 120);
}

TEST_F(BoundedCommands, AKilledCallerLeavesNoLockHeldAndNoCommandRunning) {
    const std::string pid_file = ns::at("/ifup.pid");
    install_ifup("#!/bin/sh\necho $$ > " + pid_file + ".new && mv " + pid_file + ".new " + pid_file +
                 "\nexec sleep 1000\n");
    const pid_t caller = fork();
    ASSERT_GE(caller, 0);
    if (caller == 0) {
        alarm(60);
        _exit(compat_kxnet_addr_set("vcmd", "dhcp"));
    }
    for (int i = 0; i < 1000 && !kxtest::file_exists(pid_file); ++i) usleep(10000);
    ASSERT_TRUE(kxtest::file_exists(pid_file));
    const pid_t ifup = pids_in(pid_file).at(0);
    ASSERT_EQ(kill(caller, SIGKILL), 0);
    ASSERT_EQ(waitpid(caller, nullptr, 0), caller);

    EXPECT_EQ(changing_call_within(5), KXNET_ERR_NOT_FOUND) << "-1: the host lock outlived its caller";
    EXPECT_TRUE(gone_within_two_seconds(ifup)) << "the caller's command went on running";
}

// What a command found of its caller: its descriptors and its environment,
// written by a bash stand-in (bash reads BASH_ENV).
struct route {
    const char *name;
    const char *stand_in; // sandbox path of the program
    int (*call)();        // the exported call that runs it
};

const route routes[] = {
    {"the DHCP shell", "/usr/sbin/ifup", [] { return compat_kxnet_addr_set("vcmd", "dhcp"); }},
    {"a switch command", "/usr/bin/ovs-vsctl",
     [] {
         kx::state().ovs_enabled = 1;
         char bridge[16] = "brcmd";
         return kxnet_br_new("net-cmd", bridge);
     }},
};

TEST_F(BoundedCommands, ACommandSeesNoDescriptorOrVariableOfTheCaller) {
    const std::string sourced = ns::at("/bash_env.ran");
    write_file(ns::at("/bash_env.sh"), "echo ran > " + sourced + "\n", 0644);
    for (const route &r : routes) {
        SCOPED_TRACE(r.name);
        const std::string fds = ns::at("/seen.fds"), env = ns::at("/seen.env");
        write_file(ns::at(r.stand_in),
                   "#!/bin/bash\nls -l /proc/$$/fd > " + fds + "\nenv > " + env +
                       "\n[ \"$3\" = add-br ] && ip link add \"$4\" type bridge\nexit 0\n",
                   0755);
        const int secret = open(ns::at("/caller.secret").c_str(), O_RDONLY | O_CREAT, 0600); // no O_CLOEXEC
        ASSERT_GE(secret, 0);
        for (const char *name : callers_variables) setenv(name, ns::at("/bash_env.sh").c_str(), 1);

        EXPECT_EQ(r.call(), KXNET_OK);
        for (const char *name : callers_variables) unsetenv(name);
        close(secret);

        EXPECT_EQ(read_file(fds).find("caller.secret"), std::string::npos) << read_file(fds);
        EXPECT_EQ(read_file(fds).find("kxnetcfg.lck"), std::string::npos) << read_file(fds);
        const std::string seen = read_file(env);
        for (const char *name : callers_variables)
            EXPECT_EQ(seen.find(std::string("\n") + name + "="), std::string::npos) << name << " in\n" << seen;
        EXPECT_NE(seen.find("PATH=" + ns::root() + "/usr/sbin:"), std::string::npos) << seen;
        EXPECT_FALSE(kxtest::file_exists(sourced)) << "BASH_ENV was sourced";
    }
}

// Output read back from a command: past the bound the command is killed and
// fails; a process it left behind holding the pipe does not hold the call.
TEST_F(BoundedCommands, ReadOutputIsBoundedAndEndsWithItsCommand) {
    const std::string left_behind = ns::at("/left.pid");
    struct output_case {
        const char *name;
        std::string script;
        bool succeeds;
        std::string output;
    } cases[] = {
        {"endless output", "exec yes", false, ""},
        {"a process left behind", "sleep 1000 & echo $! > " + left_behind + "\necho hi", true, "hi\n"},
    };
    const std::string program = ns::at("/program.sh");
    for (const output_case &c : cases) {
        SCOPED_TRACE(c.name);
        kxtest::clear_log();
        write_file(program, "#!/bin/sh\n" + c.script + "\n", 0755);
        const char *const argv[] = {program.c_str(), nullptr};
        std::string output = "stale";
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(kx::run_command_output(argv, output).succeeded(), c.succeeds);
        EXPECT_LT(seconds_since(start), 10.0);
        EXPECT_EQ(output, c.output);
    }
    EXPECT_TRUE(kxtest::file_exists(left_behind));
    if (kxtest::file_exists(left_behind)) kill(pids_in(left_behind).at(0), SIGKILL);
}

} // namespace
