// What kxnetctl takes from the caller when it runs as root: the programs it
// runs come only from the fixed command path with PATH as their whole
// environment, and a host lock another caller keeps does not hang it.
#include "test_support.h"
#include "tool_env.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ns = kxtest::ns;
using kxtest::file_exists;
using kxtest::read_file;
using kxtest::write_file;
using namespace kxtest::tool;

namespace {

using HostSafety = ToolTest;

const std::string registered_vlan = "VLAN_eth9=\"10\"\n";

// An executable shell script at `path`.
void write_script(const std::string &path, const std::string &body) {
    write_file(path, "#!/bin/sh\n" + body, 0755);
    ASSERT_EQ(chmod(path.c_str(), 0755), 0);
}

TEST_F(HostSafety, ProgramsComeFromTheFixedPathWithNothingOfTheCaller) {
    // A planted ip first on the caller's PATH, and the sandbox root's own ip
    // (first on the fixed path) that records its environment, then runs the
    // real one.
    const std::string planted = ns::at("/planted"), real_ip = ns::capture("command -v ip | tr -d '\\n'");
    ASSERT_FALSE(real_ip.empty());
    kxtest::make_dirs(planted);
    kxtest::make_dirs(ns::at("/usr/sbin"));
    ASSERT_NO_FATAL_FAILURE(write_script(planted + "/ip", "touch " + planted + "/ran\nexec " + real_ip + " \"$@\"\n"));
    ASSERT_NO_FATAL_FAILURE(
        write_script(ns::at("/usr/sbin/ip"), "env > " + ns::at("/ip.env") + "\nexec " + real_ip + " \"$@\"\n"));
    // A registered VLAN, so that check asks ip for the kernel's VLANs.
    write_file(ns::at("/etc/kx/kxnet.conf"), registered_vlan);
    const std::string old_path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin";
    ASSERT_EQ(setenv("PATH", (planted + ":" + old_path).c_str(), 1), 0);
    result r = kxnetctl({"check"}, {"KXNETCTL_CALLER_SECRET=leaked"});
    setenv("PATH", old_path.c_str(), 1);

    EXPECT_EQ(r.status, 1) << r.out << r.err; // the VLAN has no device
    EXPECT_FALSE(file_exists(planted + "/ran")) << "the caller's PATH was searched";
    ASSERT_TRUE(file_exists(ns::at("/ip.env"))) << "ip did not run from the fixed path";
    const std::string env = read_file(ns::at("/ip.env"));
    EXPECT_FALSE(has(env, "KXNETCTL_CALLER_SECRET")) << env;
    EXPECT_FALSE(has(env, "KXNET_ROOT")) << env;
    EXPECT_TRUE(has(env, "PATH=" + ns::at("/usr/sbin") + ":" + ns::at("/sbin") + ":/usr/sbin:/usr/bin:/sbin:/bin\n")) << env;
}

TEST_F(HostSafety, AProgramThatClosesItsOutputAndStaysIsStoppedInTime) {
    // An ip that closes its standard output at once and never ends: the
    // limit (shortened for the test) holds for its whole life, not only
    // while its output is read.
    kxtest::make_dirs(ns::at("/usr/sbin"));
    ASSERT_NO_FATAL_FAILURE(write_script(ns::at("/usr/sbin/ip"), "echo $$ > " + ns::at("/ip.pid") + "\nexec >&-\nexec sleep 600\n"));
    write_file(ns::at("/etc/kx/kxnet.conf"), registered_vlan);
    const auto start = std::chrono::steady_clock::now();
    result r = kxnetctl({"check"}, {"KXNETCTL_PROGRAM_WAIT_MS=1000"});
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_LT(waited, std::chrono::seconds(8));
    EXPECT_TRUE(has(r.err, "kxnetctl: ip did not finish within 1 s, stopped")) << r.err;
    const pid_t program = std::atoi(read_file(ns::at("/ip.pid")).c_str());
    ASSERT_GT(program, 0);
    EXPECT_NE(kill(program, 0), 0) << "the program was left running";
}

TEST_F(HostSafety, AHostLockKeptByAnotherCallerEndsTheWaitWithItsOwnStatus) {
    // The lock as the library keeps it, held by this process; kxnetctl is
    // another.  The wait is shortened for the test (it can only be shortened).
    const std::string lock = ns::at("/tmp/kxnetcfg.lck");
    const int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    const std::string registry = file_exists(ns::at("/etc/kx/kxnet.conf")) ? read_file(ns::at("/etc/kx/kxnet.conf")) : "";
    // SIGALRM blocked by the caller (and so in kxnetctl) must not make the wait endless.
    sigset_t alarm_only, saved;
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    sigprocmask(SIG_BLOCK, &alarm_only, &saved);
    const auto start = std::chrono::steady_clock::now();
    result r = kxnetctl({"network", "add", "web", "--bridge", "brweb"}, {"KXNETCTL_LOCK_WAIT_MS=1500"});
    const auto waited = std::chrono::steady_clock::now() - start;
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    close(fd);

    EXPECT_EQ(r.status, 20) << r.err;
    EXPECT_TRUE(has(r.err, "kxnetctl: the host lock " + lock + " is held by another caller: gave up after 1500 ms")) << r.err;
    EXPECT_GE(waited, std::chrono::milliseconds(1500));
    EXPECT_LT(waited, std::chrono::seconds(8));
    EXPECT_FALSE(ns::device_exists("brweb"));
    EXPECT_EQ(file_exists(ns::at("/etc/kx/kxnet.conf")) ? read_file(ns::at("/etc/kx/kxnet.conf")) : "", registry);
    // Free again, the same command goes through.
    EXPECT_EQ(kxnetctl({"network", "add", "web", "--bridge", "brweb"}).status, 0);
}

TEST_F(HostSafety, AHolderThatLetsGoOnlyBrieflyStillLetsTheWaitThrough) {
    // Another caller (a watcher in back-to-back rounds) keeps the lock but
    // for gaps of 2 ms: kxnetctl queues behind it instead of polling past them.
    const std::string lock = ns::at("/tmp/kxnetcfg.lck");
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        const int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        for (int round = 0; fd >= 0 && round < 20; ++round) {
            flock(fd, LOCK_EX);
            usleep(800'000);
            flock(fd, LOCK_UN);
            usleep(2'000);
        }
        _exit(0);
    }
    usleep(100'000);
    result r = kxnetctl({"network", "add", "web", "--bridge", "brweb"}, {"KXNETCTL_LOCK_WAIT_MS=3000"});
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(ns::device_exists("brweb"));
}

} // namespace
