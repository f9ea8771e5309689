// kxnetctl watch: a running watcher mends each drift check --repair mends,
// leaves alone what the library changes and what host stop takes down, tells
// a finding nothing can mend once and at little cost, changes nothing with
// --dry-run, ends on SIGTERM with the lock free, and killed in the middle of
// a round leaves nothing check --repair cannot mend.
#include "test_support.h"
#include "tool_env.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <sstream>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace ns = kxtest::ns;
using kxtest::read_file;
using namespace kxtest::tool;
using namespace std::chrono_literals;

namespace {

const std::string suse_dir = "/etc/sysconfig/network";

// kxnetctl watch run in the background, its standard output read as it grows.
class watcher {
public:
    explicit watcher(std::vector<std::string> args) {
        args.insert(args.begin(), "watch");
        pid_ = spawn_kxnetctl(args, out_path_, ns::at("/tmp/watch.err"));
    }
    ~watcher() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    watcher(const watcher &) = delete;
    watcher &operator=(const watcher &) = delete;

    std::string out() const { return read_file(out_path_); }
    // Whether a line with `part` comes, after what an earlier call saw, within `limit`.
    bool saw(const std::string &part, std::chrono::milliseconds limit = 10s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        do {
            const std::string text = out();
            const size_t at = text.find(part, seen_);
            if (at != std::string::npos) {
                seen_ = at + part.size();
                return true;
            }
            std::this_thread::sleep_for(20ms);
        } while (std::chrono::steady_clock::now() < end);
        return false;
    }
    // SIGTERM; the exit status, or -1 when it did not end within a second.
    int stop() {
        kill(pid_, SIGTERM);
        const auto end = std::chrono::steady_clock::now() + 1s;
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) return -1;
            std::this_thread::sleep_for(10ms);
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void kill_now() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    // Processor time of the watcher and its waited-for children, in ms.
    long cpu_ms() const {
        std::istringstream stat(read_file("/proc/" + std::to_string(pid_) + "/stat"));
        std::string field;
        long ticks = 0;
        for (int i = 1; stat >> field; ++i)
            if (i >= 14 && i <= 17) ticks += std::stol(field);
        return ticks * 1000 / sysconf(_SC_CLK_TCK);
    }

private:
    std::string out_path_ = ns::at("/tmp/watch.out");
    pid_t pid_ = -1;
    size_t seen_ = 0;
};

bool lock_free() {
    const int fd = open(ns::at("/tmp/kxnetcfg.lck").c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return true;
    const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
}

size_t count_of(const std::string &text, const std::string &part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

bool device_present(const std::string &name) { return kxtest::file_exists("/sys/class/net/" + name); }

// The repair tests' host and the run directory where host stop leaves its mark.
class WatchTest : public SuseWebTest {
protected:
    void SetUp() override {
        SuseWebTest::SetUp();
        if (IsSkipped()) return;
        kxtest::make_dirs(ns::at("/run"));
    }
    // A watcher that has made its first look.
    static void started(watcher &w) { ASSERT_TRUE(w.saw("watching  ")) << w.out(); }
    static void stopped(watcher &w) {
        EXPECT_EQ(w.stop(), 0) << w.out();
        EXPECT_TRUE(lock_free());
    }
};

TEST_F(WatchTest, EachDriftIsMendedWhileItRuns) {
    struct drift {
        const char *name;
        std::function<void()> make;
        std::string repaired;
    };
    const std::vector<drift> drifts = {
        {"port removed", [] { ns::sh("ip link set nic0 nomaster"); },
         "repaired  physical interface nic0 of network \"web\" was out of bridge brweb"},
        {"bridge down", [] { ns::sh("ip link set brweb down"); }, "repaired  bridge brweb of network \"web\" was down"},
        {"bridge deleted", [] { ns::sh("ip link del brweb"); }, "repaired  bridge brweb of network \"web\" was missing"},
        {"address deleted", [] { ns::sh("ip addr del 10.9.9.1/24 dev nic1"); },
         "repaired  address 10.9.9.1/24 was missing from nic1"},
        {"container host end detached", [] { ns::sh("ip link set veth101.0 nomaster"); },
         "repaired  container 101: veth101.0 was out of bridge brweb of network \"web\""},
        {"ifcfg removed", [] { std::remove(ns::at(suse_dir + "/ifcfg-brweb").c_str()); },
         "repaired  bridge brweb of network \"web\" had no ifcfg file"},
    };
    watcher w({"--repair"});
    ASSERT_NO_FATAL_FAILURE(started(w));
    for (const auto &d : drifts) {
        SCOPED_TRACE(d.name);
        d.make();
        EXPECT_TRUE(w.saw(d.repaired)) << w.out();
        expect_clean();
    }
    stopped(w);
}

TEST_F(WatchTest, WhatTheLibraryChangesAndHostStopTakeDownStayAsTheyAre) {
    watcher w({"--repair"});
    ASSERT_NO_FATAL_FAILURE(started(w));
    ASSERT_EQ(kxnetctl({"network", "add", "db", "--bridge", "brdb"}).status, 0);
    ASSERT_EQ(kxnetctl({"network", "del", "web"}).status, 0);
    std::this_thread::sleep_for(1s);
    EXPECT_FALSE(device_present("brweb"));
    EXPECT_TRUE(device_present("brdb"));

    ASSERT_EQ(kxnetctl({"host", "stop"}).status, 0);
    EXPECT_TRUE(w.saw("host stopped  ")) << w.out();
    std::this_thread::sleep_for(1s);
    EXPECT_FALSE(device_present("brdb"));
    ASSERT_EQ(kxnetctl({"host", "start"}).status, 0);
    EXPECT_TRUE(w.saw("host started  ")) << w.out();
    ns::sh("ip link del brdb");
    EXPECT_TRUE(w.saw("repaired  bridge brdb of network \"db\" was missing")) << w.out();
    EXPECT_EQ(count_of(w.out(), "repaired  "), 1u) << w.out();
    stopped(w);
}

TEST_F(WatchTest, AFindingNothingMendsIsToldOnceAndCostsLittle) {
    watcher w({"--repair"});
    ASSERT_NO_FATAL_FAILURE(started(w));
    ns::sh("ip link del nic0");
    EXPECT_TRUE(w.saw("port-missing  ")) << w.out();
    // Looked at again after 1, 2 and 4 s, and told no more.
    std::this_thread::sleep_for(5s);
    EXPECT_EQ(count_of(w.out(), "port-missing"), 1u) << w.out();
    EXPECT_LT(w.cpu_ms(), 1000) << "the watcher keeps working on what it cannot mend";
    stopped(w);
}

TEST_F(WatchTest, DryRunChangesNothing) {
    watcher w({"--repair", "--dry-run"});
    ASSERT_NO_FATAL_FAILURE(started(w));
    ns::sh("ip link del brweb");
    EXPECT_TRUE(w.saw("would repair  bridge brweb of network \"web\" was missing: host start")) << w.out();
    const std::string drifted = host_picture();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(host_picture(), drifted);
    stopped(w);
}

TEST_F(WatchTest, KilledInTheMiddleOfARoundLeavesNothingCheckRepairCannotMend) {
    for (const auto delay : {0ms, 10ms, 30ms, 60ms, 100ms, 150ms, 250ms}) {
        SCOPED_TRACE(std::to_string(delay.count()) + " ms after the settle");
        watcher w({"--repair"});
        ASSERT_NO_FATAL_FAILURE(started(w));
        ns::sh("ip link del brweb; ip addr del 10.9.9.1/24 dev nic1");
        std::this_thread::sleep_for(100ms + delay);
        w.kill_now();
        EXPECT_TRUE(lock_free());
        result repaired = kxnetctl({"check", "--repair"});
        EXPECT_EQ(repaired.status, 0) << repaired.out << repaired.err;
        expect_clean();
    }
}

} // namespace
