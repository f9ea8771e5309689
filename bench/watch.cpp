// kxnetctl watch --repair against drift, in a namespace of its own: how soon
// a port pulled out of its bridge and a deleted bridge come back, beside
// the time of a whole `kxnetctl check --repair` for the same drift; and the
// processor time of the watcher (its children included, from /proc/PID/stat)
// idle, idle with a finding nothing can mend, and on a host of 4,000 links
// where a thousand link events a second concern no registered device.
//   bench_watch [IDLE_SECONDS]   (60 by default)
#include "kxnet_ct.h"

#include "bench_support.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using kxbench::median;
using kxbench::seconds;
using steady = std::chrono::steady_clock;

constexpr int injections = 100;
constexpr int bridge_deletions = 20;
constexpr int flood_pairs = 2000; // 4,000 links
constexpr int flood_events_per_second = 1000;
constexpr auto flood_time = 30s;

[[noreturn]] void die(const std::string &why) {
    std::fprintf(stderr, "bench_watch: %s: %s\n", why.c_str(), std::strerror(errno));
    std::exit(1);
}

void sh(const std::string &command) {
    if (std::system(command.c_str()) != 0) die("command failed: " + command);
}

std::string beside_me(const std::string &relative) {
    char self[PATH_MAX] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) < 0) die("readlink");
    std::string dir(self);
    return dir.erase(dir.rfind('/')) + "/" + relative;
}

const std::string kxnetctl = beside_me("../tools/kxnetctl/kxnetctl");

void enter_sandbox() {
    if (!kxbench::enter_namespace()) die("namespaces");
    char pattern[] = "/tmp/kxnet-bench-watch-XXXXXX";
    if (mkdtemp(pattern) == nullptr) die("mkdtemp");
    const std::string root = pattern;
    sh("mkdir -p " + root + "/run " + root + "/tmp " + root + "/var/log " + root + "/etc/kx " + root +
       "/etc/sysconfig/network-scripts");
    setenv("KXNET_ROOT", root.c_str(), 1);
    sh("ip link set lo up");
}

std::string master_of(const std::string &device) {
    char target[PATH_MAX] = {};
    const ssize_t n = readlink(("/sys/class/net/" + device + "/master").c_str(), target, sizeof target - 1);
    if (n < 0) return "";
    const std::string path(target, static_cast<size_t>(n));
    return path.substr(path.rfind('/') + 1);
}

// Seconds from now until `ready` holds, polled every half millisecond; -1
// after 10 s.
template <class Ready> double until(Ready &&ready) {
    const auto start = steady::now();
    while (!ready()) {
        if (steady::now() - start > 10s) return -1;
        std::this_thread::sleep_for(500us);
    }
    return std::chrono::duration<double>(steady::now() - start).count();
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

class watcher {
public:
    watcher() {
        pid_ = fork();
        if (pid_ < 0) die("fork");
        if (pid_ == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            execl(kxnetctl.c_str(), kxnetctl.c_str(), "watch", "--repair", static_cast<char *>(nullptr));
            _exit(127);
        }
        // Its first look made.
        std::this_thread::sleep_for(1s);
    }
    ~watcher() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    watcher(const watcher &) = delete;
    watcher &operator=(const watcher &) = delete;
    // utime + stime + cutime + cstime, in seconds.
    double cpu() const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string field;
        long ticks = 0;
        for (int i = 3; fields >> field; ++i)
            if (i >= 14 && i <= 17) ticks += std::stol(field);
        return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }

private:
    pid_t pid_ = -1;
};

double check_repair_time() {
    return seconds([] { sh(kxnetctl + " check --repair >/dev/null"); });
}

// A link's administrative state flipped through rtnetlink, without an answer.
class link_flipper {
public:
    link_flipper() : fd_(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)) {
        if (fd_ < 0) die("netlink");
    }
    ~link_flipper() { close(fd_); }
    link_flipper(const link_flipper &) = delete;
    link_flipper &operator=(const link_flipper &) = delete;
    void flip(int ifindex, bool up) {
        struct {
            nlmsghdr header;
            ifinfomsg info;
        } request{};
        request.header.nlmsg_len = sizeof request;
        request.header.nlmsg_type = RTM_NEWLINK;
        request.header.nlmsg_flags = NLM_F_REQUEST;
        request.info.ifi_family = AF_UNSPEC;
        request.info.ifi_index = ifindex;
        request.info.ifi_change = IFF_UP;
        request.info.ifi_flags = up ? IFF_UP : 0;
        if (send(fd_, &request, sizeof request, 0) < 0) die("netlink send");
    }

private:
    int fd_;
};

void network_with_port() {
    char bridge[16] = "brweb";
    if (kxnet_br_new("web", bridge) != KXNET_OK) die("kxnet_br_new");
    // The container kernel's via-physical-device switch, which a NIC's attach sets.
    const std::string root = std::getenv("KXNET_ROOT");
    sh("mkdir -p " + root + "/sys/class/net/brweb/bridge && echo 0 > " + root + "/sys/class/net/brweb/bridge/via_phys_dev");
    sh("ip link add p0 type veth peer name p0-w && ip link set p0 up && ip link set p0-w up");
    if (kxnet_br_attach("web", "p0") != KXNET_OK) die("kxnet_br_attach");
}

// The drift made `count` times under a running watcher, each time until the
// port is back in its bridge, then as many times mended by check --repair.
void mend_figures(const char *what, const std::string &drift, int count) {
    std::vector<double> back;
    {
        watcher w;
        for (int i = 0; i < count; ++i) {
            sh(drift);
            const double t = until([] { return master_of("p0") == "brweb"; });
            if (t < 0) die(std::string(what) + ": not mended within 10 s");
            back.push_back(t);
            std::this_thread::sleep_for(100ms);
        }
    }
    std::vector<double> repair;
    for (int i = 0; i < 10; ++i) {
        sh(drift);
        repair.push_back(check_repair_time());
    }
    std::printf("  %-28s (%3d times)    median %7.1f ms  p99 %7.1f ms   check --repair %7.1f ms\n", what, count,
                median(back) * 1e3, percentile(back, 0.99) * 1e3, median(repair) * 1e3);
}

double idle_cpu(int idle_seconds) {
    watcher w;
    const double before = w.cpu();
    std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
    return w.cpu() - before;
}

void flood_figure() {
    std::string batch;
    for (int i = 0; i < flood_pairs; ++i)
        batch += "link add f" + std::to_string(i) + " type veth peer name f" + std::to_string(i) + "-w\n";
    const std::string file = std::string(std::getenv("KXNET_ROOT")) + "/flood.batch";
    std::ofstream(file) << batch;
    sh("ip -force -batch " + file);
    std::vector<int> indexes;
    for (int i = 0; i < flood_pairs; ++i) indexes.push_back(static_cast<int>(if_nametoindex(("f" + std::to_string(i)).c_str())));
    watcher w;
    link_flipper flipper;
    const double before = w.cpu();
    const auto start = steady::now();
    long flips = 0;
    while (steady::now() - start < flood_time) {
        // A tenth of a second's events at a time.
        for (int i = 0; i < flood_events_per_second / 10; ++i, ++flips)
            flipper.flip(indexes[static_cast<size_t>(flips) % indexes.size()], (flips / flood_pairs) % 2 == 0);
        std::this_thread::sleep_until(start + (flips / (flood_events_per_second / 10)) * 100ms);
    }
    const double used = w.cpu() - before;
    const double wall = std::chrono::duration<double>(steady::now() - start).count();
    std::printf("  %d links, %ld unrelated link changes in %.0f s        watcher %6.1f %% of one core (%.0f ms)\n",
                2 * flood_pairs + 4, flips, wall, 100.0 * used / wall, used * 1e3);
}

} // namespace

int main(int argc, char **argv) {
    const int idle_seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    enter_sandbox();
    network_with_port();
    std::printf("kxnetctl watch --repair on one network with one port (wall clock from the drift to the mend)\n");
    mend_figures("port back in its bridge", "ip link set p0 nomaster", injections);
    mend_figures("bridge back with its port", "ip link del brweb", bridge_deletions);
    std::printf("  idle %d s                                    watcher %7.1f ms processor time\n", idle_seconds,
                idle_cpu(idle_seconds) * 1e3);
    // A configured address whose device is gone: nothing can mend it.
    sh("ip link add gone0 type veth peer name gone0-w && ip link set gone0 up");
    if (compat_kxnet_addr_set("gone0", "10.1.1.1/24") != KXNET_OK) die("compat_kxnet_addr_set gone0");
    sh("ip link del gone0");
    std::printf("  idle %d s, one finding nothing mends        watcher %7.1f ms processor time\n", idle_seconds,
                idle_cpu(idle_seconds) * 1e3);
    flood_figure();
    return 0;
}
