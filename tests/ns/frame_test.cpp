// The call frame against real processes and devices: the initialisation
// line, the lock lines in order, waiting on another process's file lock,
// serialised threads, failures of the lock file and the log, and the probes
// on real devices.
#include "frame/frame.h"
#include "frame/log.h"
#include "ns_env.h"
#include "sys/device_probe.h"
#include "sys/paths.h"

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using kxtest::log_messages;
namespace ns = kxtest::ns;

int framed_step(const char *what) {
    return kx::framed_code(
        kx::lock_mode::exclusive, [&] {
            kxnet_log("body %s", what);
            return 0;
        },
        [&](int err) { kxnet_log("outcome %s %d", what, err); });
}

using Frame = NsTest;

TEST_F(Frame, FirstCallLogsInitialisationThenLockLinesInOrder) {
    kxtest::make_dirs(ns::at("/sys/module/openvswitch"));
    ASSERT_EQ(framed_step("one"), 0);
    ASSERT_EQ(framed_step("two"), 0);
    std::vector<std::string> expected = {
        "init_libkxnet_state (ovs=1)", "",
        "libkxnet: grab_excl_kxnetlock", "libkxnet: grab_excl_kxnetlock done", "body one",
        "outcome one 0", "libkxnet: release_kxnetlock", "libkxnet: release_kxnetlock done",
        "libkxnet: grab_excl_kxnetlock", "libkxnet: grab_excl_kxnetlock done", "body two",
        "outcome two 0", "libkxnet: release_kxnetlock", "libkxnet: release_kxnetlock done"};
    EXPECT_EQ(log_messages(), expected);
    EXPECT_EQ(kx::state().ovs_enabled, 1);
    EXPECT_EQ(kx::state().lock_fd, -1);
}

TEST_F(Frame, FirstCallsOfManyThreadsInitialiseOnce) {
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            if (kx::init_libkxnet_state() != 0) ++failures;
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    int init_lines = 0;
    for (const auto &line : log_messages())
        if (line.rfind("init_libkxnet_state", 0) == 0) ++init_lines;
    EXPECT_EQ(init_lines, 1);
    EXPECT_EQ(framed_step("after"), 0);
}

TEST_F(Frame, SuseReleaseIsDetectedOnce) {
    kxtest::write_file(ns::at("/etc/SuSE-release"), "x\n");
    ASSERT_EQ(kx::init_libkxnet_state(), 0);
    EXPECT_EQ(kx::state().suse_flag, 1);
    EXPECT_EQ(kx::state().ovs_enabled, 0);
}

// A child process that holds the lock file exclusively until told to go.
struct lock_holder {
    pid_t pid = -1;
    int go[2] = {-1, -1};
    explicit lock_holder(int operation) {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        EXPECT_EQ(pipe(go), 0);
        pid = fork();
        if (pid == 0) {
            int fd = open(kx::paths::rooted(kx::paths::lock).c_str(), O_RDWR | O_CREAT, 0600);
            flock(fd, operation);
            char c = 'r';
            (void)!write(ready[1], &c, 1);
            (void)!read(go[0], &c, 1);
            _exit(0);
        }
        char c;
        EXPECT_EQ(read(ready[0], &c, 1), 1);
        close(ready[0]);
        close(ready[1]);
    }
    void let_go() {
        char c = 'g';
        (void)!write(go[1], &c, 1);
        waitpid(pid, nullptr, 0);
        close(go[0]);
        close(go[1]);
    }
};

TEST_F(Frame, ChangingCallWaitsForAnotherProcess) {
    lock_holder holder(LOCK_EX);
    std::atomic<bool> done{false};
    std::thread caller([&] {
        EXPECT_EQ(framed_step("waited"), 0);
        done = true;
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(done.load());
    holder.let_go();
    caller.join();
    EXPECT_TRUE(done.load());
}

TEST_F(Frame, SemaphoreOnlyGrabIgnoresTheFileLock) {
    lock_holder holder(LOCK_EX);
    ASSERT_EQ(kx::grab_shared_kxnetlock(1), 0);
    EXPECT_EQ(kx::state().lock_fd, -1);
    kx::release_kxnetlock();
    holder.let_go();
    for (const auto &line : log_messages()) EXPECT_EQ(line.find("grab_shared"), std::string::npos);
}

TEST_F(Frame, SharedHoldersRunSideBySide) {
    lock_holder holder(LOCK_SH);
    ASSERT_EQ(kx::grab_shared_kxnetlock(0), 0);
    EXPECT_GE(kx::state().lock_fd, 0);
    kx::release_kxnetlock();
    holder.let_go();
}

TEST_F(Frame, ThreadsOfOneProcessRunOneAfterTheOther) {
    std::atomic<int> inside{0}, most{0};
    auto worker = [&] {
        for (int i = 0; i < 5; ++i) {
            kx::framed_code(
                kx::lock_mode::exclusive, [&] {
                    int now = ++inside;
                    most = std::max(most.load(), now);
                    std::this_thread::sleep_for(5ms);
                    --inside;
                    return 0;
                },
                [](int) {});
        }
    };
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    EXPECT_EQ(most.load(), 1);
}

TEST_F(Frame, UncreatableLockFileGivesSystemErrorAndFreesTheSemaphore) {
    ASSERT_EQ(ns::sh("rm -rf " + ns::at("/tmp")), 0);
    EXPECT_EQ(framed_step("never"), 6);
    auto messages = log_messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "libkxnet: grab_excl_kxnetlock");
    // The semaphore was given back: the next grab does not block.
    EXPECT_EQ(kx::grab_shared_kxnetlock(1), 0);
    kx::release_kxnetlock();
    kxtest::make_dirs(ns::at("/tmp"));
    EXPECT_EQ(framed_step("later"), 0);
}

TEST_F(Frame, UnwritableLogChangesNoResult) {
    ASSERT_EQ(ns::sh("rm -rf " + ns::at("/var/log")), 0);
    EXPECT_EQ(framed_step("quiet"), 0);
    EXPECT_EQ(kx::framed_code(kx::lock_mode::exclusive, [] { return 3; }, [](int) {}), 3);
    EXPECT_FALSE(kxtest::file_exists(ns::at("/var/log/kxnetcfg.log")));
}

TEST_F(Frame, ExceptionInABodyBecomesSystemErrorAndReleasesTheLock) {
    int err = kx::framed_code(
        kx::lock_mode::exclusive, []() -> int { throw std::bad_alloc(); },
        [](int e) { kxnet_log("outcome %d", e); });
    EXPECT_EQ(err, 6);
    EXPECT_EQ(kx::state().lock_fd, -1);
    EXPECT_EQ(framed_step("after"), 0);
}

using Probes = NsTest;

TEST_F(Probes, BridgeExistsAgainstRealDevices) {
    ns::add_bridge("br-probe");
    EXPECT_TRUE(kx::bridge_exists("br-probe"));
    EXPECT_FALSE(kx::bridge_exists("nodev0"));
    auto messages = log_messages();
    ASSERT_GE(messages.size(), 2u);
    // A successful probe logs whatever errno held before it.
    EXPECT_EQ(messages[messages.size() - 2].rfind("bridge 'br-probe' is reported existing (ret=0 errno=", 0), 0u);
    EXPECT_EQ(messages.back(), "bridge 'nodev0' is reported non-existing (ret=-1 errno=19)");
}

TEST_F(Probes, SetDeviceUpRaisesOnlyDownDevices) {
    ns::add_veth("vp0", "vp1");
    EXPECT_FALSE(ns::is_up("vp0"));
    EXPECT_EQ(kx::set_device_up(0, "vp0"), 0);
    EXPECT_TRUE(ns::is_up("vp0"));
    EXPECT_EQ(kx::set_device_up(0, "vp0"), 0);
    EXPECT_LT(kx::set_device_up(0, "missing0"), 0);
    EXPECT_EQ(kx::ctl_socket_holders(), 0);
}

TEST_F(Probes, SysfsWriteExchangesABridgeAttribute) {
    ns::add_bridge("br-fd");
    char old[10] = {};
    EXPECT_EQ(kx::sysfs_write("/sys/class/net/br-fd/bridge/forward_delay", "0", old, sizeof old - 1), 1);
    EXPECT_EQ(std::string(old).substr(0, 4), "1500");
    EXPECT_EQ(ns::sysfs("br-fd", "bridge/forward_delay"), "0");
    EXPECT_LT(kx::sysfs_write("/sys/class/net/br-fd/bridge/no_such_attr", "1", nullptr, 0), 0);
}

} // namespace
