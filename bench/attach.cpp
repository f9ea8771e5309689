// Attaching and detaching container pair devices through the exported
// calls on a host that also carries 2,000 other links: 200 kxct containers'
// host ends attached to one network, then detached.  Each call must take a
// snapshot of its interface (the query with the attach filter and every
// flag), so the figure that matters is the call against that snapshot
// alone; `ip link set DEV master BR` on the same host gives the scale.
#include "frame/state.h"
#include "kxnet_ct.h"

#include "bench_support.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using kxbench::median;
using kxbench::seconds;

constexpr int other_pairs = 1000; // 2,000 links
constexpr int containers = 200;
constexpr const char *network = "bench-net";

std::string scratch;

[[noreturn]] void die(const std::string &why) {
    std::fprintf(stderr, "bench_attach: %s: %s\n", why.c_str(), std::strerror(errno));
    std::exit(1);
}

void sh(const std::string &command) {
    if (std::system(command.c_str()) != 0) die("command failed: " + command);
}

void enter_namespace() {
    if (!kxbench::enter_namespace()) die("namespaces");
    // A private /run for kxct's namespace files.
    if (mount("tmpfs", "/run", "tmpfs", 0, nullptr) != 0) die("tmpfs on /run");
    char pattern[] = "/tmp/kxnet-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) die("mkdtemp");
    scratch = pattern;
    sh("mkdir -p /run/netns " + scratch + "/run " + scratch + "/tmp " + scratch + "/var/log " + scratch +
       "/etc/kx && ln -s /run/netns " + scratch + "/run/netns");
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

// 1,000 veth pairs, one IPv4 address on each end.
void add_other_links() {
    std::string batch;
    auto addr = [](int n) {
        return std::to_string(10 + n / 65536) + "." + std::to_string(n / 256 % 256) + "." +
               std::to_string(n % 256) + ".1/32";
    };
    for (int i = 0; i < other_pairs; ++i) {
        const std::string a = "va" + std::to_string(i), b = "vb" + std::to_string(i);
        batch += "link add " + a + " type veth peer name " + b + "\n";
        batch += "addr add " + addr(2 * i) + " dev " + a + "\naddr add " + addr(2 * i + 1) + " dev " + b + "\n";
    }
    const std::string path = scratch + "/batch";
    FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr) die("batch file");
    std::fputs(batch.c_str(), f);
    std::fclose(f);
    sh("ip -batch " + path);
}

std::string host_end(int i) { return "vc" + std::to_string(i); }

void start_containers() {
    const std::string kxct = kxct_path();
    for (int i = 0; i < containers; ++i) {
        const std::string id = std::to_string(1000 + i);
        sh(kxct + " create " + id + " --veth " + host_end(i) + ":" + network + " >/dev/null");
        sh(kxct + " start " + id + " >/dev/null");
    }
}

void stop_containers() {
    const std::string kxct = kxct_path();
    for (int i = 0; i < containers; ++i) sh(kxct + " stop " + std::to_string(1000 + i) + " >/dev/null");
}

// The snapshot an attach or detach of `name` takes, framed by the host lock
// as the call is.
void snapshot(const std::string &name) {
    if (kx::grab_excl_kxnetlock() != 0) die("host lock");
    kxnet_filter *filter = kxnet_get_simple_filter(58, nullptr, nullptr, name.c_str(), 0, 0);
    kxnetif_info_list *list = kxnet_get_info_SL(0xffffffffu, filter);
    kxnet_release_filter(filter);
    if (list == nullptr || list->items[0] == nullptr) die("snapshot of " + name);
    kxnet_release_info_SL(list);
    kx::release_kxnetlock();
}

void ip_link(const std::vector<const char *> &argv) {
    pid_t pid = fork();
    if (pid < 0) die("fork");
    if (pid == 0) {
        execv(argv[0], const_cast<char *const *>(argv.data()));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (status != 0) die("ip link set");
}

const char *ip_path() { return access("/sbin/ip", X_OK) == 0 ? "/sbin/ip" : "/usr/sbin/ip"; }

} // namespace

int main() {
    enter_namespace();
    add_other_links();
    char bridge[16] = "";
    if (kxnet_br_new(network, bridge) != KXNET_OK) die("kxnet_br_new");
    start_containers();

    std::vector<double> attach, detach, snap, ip;
    for (int i = 0; i < containers; ++i) {
        const std::string name = host_end(i);
        snap.push_back(seconds([&] { snapshot(name); }));
        int code = 0;
        attach.push_back(seconds([&] { code = kxnet_br_attach_CT(network, name.c_str()); }));
        if (code != KXNET_OK) die("attach " + name + ": " + std::to_string(code));
    }
    for (int i = 0; i < containers; ++i) {
        const std::string name = host_end(i);
        int code = 0;
        detach.push_back(seconds([&] { code = kxnet_br_detach_CT(name.c_str()); }));
        if (code != KXNET_OK) die("detach " + name + ": " + std::to_string(code));
    }
    for (int i = 0; i < containers; ++i) {
        const std::string name = host_end(i);
        ip.push_back(seconds([&] { ip_link({ip_path(), "link", "set", name.c_str(), "master", bridge, nullptr}); }));
        ip_link({ip_path(), "link", "set", name.c_str(), "nomaster", nullptr});
    }
    stop_containers();

    const double a = median(attach), d = median(detach), s = median(snap), l = median(ip);
    std::printf("%d container pair devices, %d other links, one network (medians per call)\n", containers,
                2 * other_pairs);
    std::printf("  snapshot (kxnet_get_info_SL, attach filter, all flags) %8.3f ms\n", s * 1e3);
    std::printf("  kxnet_br_attach_CT   %8.3f ms   attach / snapshot %.2f (target <= 1.2)\n", a * 1e3, a / s);
    std::printf("  kxnet_br_detach_CT   %8.3f ms   detach / snapshot %.2f\n", d * 1e3, d / s);
    std::printf("  ip link set master   %8.3f ms   attach / ip %.1f\n", l * 1e3, a / l);
    sh("rm -rf " + scratch);
    return 0;
}
