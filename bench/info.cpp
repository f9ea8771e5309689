// Information query figures in a private network namespace: the host
// snapshot against `ip -j addr show` and a bare netlink dump (the floor), its
// growth from 400 to 4,000 links, and the collection of 100 containers
// against `ip -all netns exec ip -j addr show`.  Medians, side by side.
#include "kxnet_ct.h"

#include "rtnl/rtnl.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using bench_clock = std::chrono::steady_clock;
constexpr int runs = 7;

std::string scratch;

[[noreturn]] void die(const std::string &why) {
    std::fprintf(stderr, "bench_info: %s: %s\n", why.c_str(), std::strerror(errno));
    std::exit(1);
}

void sh(const std::string &command) {
    if (std::system(command.c_str()) != 0) die("command failed: " + command);
}

void enter_namespace() {
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) die("unshare (needs root)");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) die("private mounts");
    umount2("/sys", MNT_DETACH);
    if (mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0) die("sysfs");
    // A private /run: kxct's namespace files land in /run/netns, where
    // `ip -all netns` looks for them.
    if (mount("tmpfs", "/run", "tmpfs", 0, nullptr) != 0) die("tmpfs on /run");
    char pattern[] = "/tmp/kxnet-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) die("mkdtemp");
    scratch = pattern;
    sh("mkdir -p /run/netns " + scratch + "/run " + scratch + "/tmp " + scratch +
       "/etc/sysconfig/network-scripts && ln -s /run/netns " + scratch + "/run/netns");
    setenv("KXNET_ROOT", scratch.c_str(), 1);
    sh("ip link set lo up");
}

std::string kxct_path() {
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) < 0) die("readlink");
    std::string dir(self);
    dir.erase(dir.rfind('/'));
    return dir + "/../platform/kxct/kxct";
}

void run_batch(const std::string &text) {
    const std::string path = scratch + "/batch";
    FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr) die("batch file");
    std::fputs(text.c_str(), f);
    std::fclose(f);
    sh("ip -batch " + path);
}

// Pairs [from, to) and bridges [from / 20, to / 20), ten ports each; every
// link gets one IPv4 address.
void add_host_devices(int from, int to) {
    std::string batch;
    auto addr = [](int n) {
        return std::to_string(10 + n / 65536) + "." + std::to_string(n / 256 % 256) + "." +
               std::to_string(n % 256) + ".1/32";
    };
    for (int i = from; i < to; ++i) {
        const std::string a = "va" + std::to_string(i), b = "vb" + std::to_string(i);
        batch += "link add " + a + " type veth peer name " + b + "\n";
        batch += "addr add " + addr(2 * i) + " dev " + a + "\naddr add " + addr(2 * i + 1) + " dev " + b + "\n";
    }
    for (int j = from / 20; j < to / 20; ++j) {
        const std::string br = "br" + std::to_string(j);
        batch += "link add " + br + " type bridge\naddr add " + addr(200000 + j) + " dev " + br + "\n";
        for (int p = 0; p < 10; ++p) batch += "link set vb" + std::to_string(j * 20 + p) + " master " + br + "\n";
    }
    run_batch(batch);
}

void add_ifcfg_files(int count) {
    for (int i = 0; i < count; ++i) {
        const std::string dev = "va" + std::to_string(i);
        FILE *f = std::fopen((scratch + "/etc/sysconfig/network-scripts/ifcfg-" + dev).c_str(), "w");
        if (f == nullptr) die("ifcfg file");
        std::fprintf(f, "DEVICE=%s\nBOOTPROTO=static\nONBOOT=yes\n", dev.c_str());
        std::fclose(f);
    }
}

template <class F>
double median_seconds(F &&f) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        auto start = bench_clock::now();
        f();
        times.push_back(std::chrono::duration<double>(bench_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

void run_quiet(const std::vector<const char *> &argv) {
    pid_t pid = fork();
    if (pid < 0) die("fork");
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execv(argv[0], const_cast<char *const *>(argv.data()));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (status != 0) die("peer command failed");
}

size_t snapshot(int ctid_min, int ctid_max) {
    kxnet_filter *filter = kxnet_get_simple_filter(KXNETIF_ALL, nullptr, nullptr, nullptr, ctid_min, ctid_max);
    kxnetif_info_list *list = kxnet_get_info(0xffffffffu, filter);
    kxnet_release_filter(filter);
    if (list == nullptr) die("kxnet_get_info");
    size_t count = 0;
    while (list->items[count] != nullptr) ++count;
    kxnet_release_info(list);
    return count;
}

int count_reply(const sockaddr_nl *, nlmsghdr *, void *arg) {
    ++*static_cast<size_t *>(arg);
    return 0;
}

// The floor: links, IPv4 and IPv6 addresses dumped and counted, nothing more.
size_t bare_dump() {
    kx::rtchan channel;
    if (kx::rtchan_open(channel, 0) != 0) die("rtchan_open");
    size_t messages = 0;
    const int dumps[][2] = {{AF_UNSPEC, RTM_GETLINK}, {AF_INET, RTM_GETADDR}, {AF_INET6, RTM_GETADDR}};
    for (const auto &d : dumps) {
        if (kx::rtchan_dump_request(channel, d[0], d[1]) < 0) die("dump request");
        if (kx::rtchan_dump_receive(channel, count_reply, &messages, nullptr, nullptr) != 0) die("dump");
    }
    kx::rtchan_close(channel);
    return messages;
}

long vm_hwm_kib() {
    FILE *f = std::fopen("/proc/self/status", "r");
    char line[256];
    long kib = -1;
    while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr)
        if (std::sscanf(line, "VmHWM: %ld", &kib) == 1) break;
    if (f != nullptr) std::fclose(f);
    return kib;
}

struct host_figures {
    double ours, ip, floor;
};

host_figures measure_host(const char *label) {
    size_t records = snapshot(0, 0);
    host_figures h{};
    h.ours = median_seconds([] { snapshot(0, 0); });
    h.ip = median_seconds([] { run_quiet({"/sbin/ip", "-j", "addr", "show", nullptr}); });
    h.floor = median_seconds([] { bare_dump(); });
    std::printf("%s: %zu records\n", label, records);
    std::printf("  kxnet_get_info [0,0]   %8.3f ms\n", h.ours * 1e3);
    std::printf("  ip -j addr show        %8.3f ms\n", h.ip * 1e3);
    std::printf("  bare netlink dump      %8.3f ms\n", h.floor * 1e3);
    std::printf("  ours / ip  %.2f (target <= 1.0 at 4,000 links)   ours / floor  %.2f\n", h.ours / h.ip, h.ours / h.floor);
    return h;
}

// What a held host snapshot occupies: an id range that collects nothing
// first empties the store, so the delta is the whole snapshot.
void measure_memory() {
    snapshot(-2, -2);
    const size_t before = mallinfo2().uordblks;
    kxnet_filter *filter = kxnet_get_simple_filter(KXNETIF_ALL, nullptr, nullptr, nullptr, 0, 0);
    kxnetif_info_list *list = kxnet_get_info(0xffffffffu, filter);
    const size_t held = mallinfo2().uordblks - before;
    kxnet_release_info(list);
    kxnet_release_filter(filter);
    std::printf("  snapshot held in memory %.1f KiB; process VmHWM %ld KiB\n", held / 1024.0, vm_hwm_kib());
}

void measure_containers(int count) {
    const std::string kxct = kxct_path();
    for (int c = 1; c <= count; ++c) {
        const std::string id = std::to_string(c);
        sh(kxct + " create " + id + " --veth cx" + id + "a,cx" + id + "b >/dev/null");
        sh(kxct + " start " + id + " --addr eth0=10.200." + id + ".2/24 --addr eth1=10.201." + id +
           ".2/24 >/dev/null");
    }
    size_t records = snapshot(1, INT32_MAX);
    double ours = median_seconds([] { snapshot(1, INT32_MAX); });
    double ip = median_seconds(
        [] { run_quiet({"/sbin/ip", "-all", "netns", "exec", "/sbin/ip", "-j", "addr", "show", nullptr}); });
    std::printf("%d containers, two links each: %zu records\n", count, records);
    std::printf("  kxnet_get_info [1,max] %8.3f ms\n", ours * 1e3);
    std::printf("  ip -all netns exec ip -j addr show %8.3f ms\n", ip * 1e3);
    std::printf("  ours / ip  %.2f (target <= 0.5)\n", ours / ip);
    for (int c = 1; c <= count; ++c) sh(kxct + " stop " + std::to_string(c) + " >/dev/null");
}

} // namespace

int main() {
    enter_namespace();
    std::printf("bench_info: %d runs each, medians\n", runs);
    measure_containers(100);

    add_host_devices(0, 200);
    add_ifcfg_files(200);
    host_figures small = measure_host("host, 400 pair links + 10 bridges");
    add_host_devices(200, 2000);
    host_figures large = measure_host("host, 4,000 pair links + 100 bridges");
    measure_memory();
    std::printf("growth 400 -> 4,000 links: ours %.2f (target <= 11), ip %.2f, floor %.2f\n",
                large.ours / small.ours, large.ip / small.ip, large.floor / small.floor);
    sh("rm -rf " + scratch);
    return 0;
}
