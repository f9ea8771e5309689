// Attaching and detaching container pair devices through the exported
// calls on hosts of 200, 2,000 and 8,000 links: 200 kxct containers' host
// ends attached to one network, then detached, each host in a namespace of
// its own.  Every call takes a snapshot of its interface (the query with
// the attach filter and every flag); `ip link set DEV master BR` and
// `nomaster` on the same host give the scale, and the calls on the largest
// host against those on the smallest show whether the cost grows with it.
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

constexpr int containers = 200;
constexpr int host_sizes[] = {200, 2000, 8000}; // links, the containers' host ends included
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

// `other_pairs` veth pairs, one IPv4 address on each end.
void add_other_links(int other_pairs) {
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
    if (!batch.empty()) sh("ip -batch " + path);
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

// The medians of one host, per call.
struct host_figures {
    double snapshot, attach, detach, ip_master, ip_nomaster;
};

void ip_master(const std::string &name, const char *bridge) {
    ip_link({ip_path(), "link", "set", name.c_str(), "master", bridge, nullptr});
}

void ip_nomaster(const std::string &name) { ip_link({ip_path(), "link", "set", name.c_str(), "nomaster", nullptr}); }

host_figures measure_host(int links) {
    enter_namespace();
    add_other_links((links - containers) / 2);
    char bridge[16] = "";
    if (kxnet_br_new(network, bridge) != KXNET_OK) die("kxnet_br_new");
    start_containers();

    std::vector<double> attach, detach, snap, master, nomaster;
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
        master.push_back(seconds([&] { ip_master(name, bridge); }));
        nomaster.push_back(seconds([&] { ip_nomaster(name); }));
    }
    stop_containers();
    sh("rm -rf " + scratch);
    return {median(snap), median(attach), median(detach), median(master), median(nomaster)};
}

// Each host is built and measured in a child of its own, in fresh
// namespaces, and its figures come back through a pipe.
host_figures measure_in_child(int links) {
    int ends[2];
    if (pipe(ends) != 0) die("pipe");
    const pid_t pid = fork();
    if (pid < 0) die("fork");
    if (pid == 0) {
        close(ends[0]);
        const host_figures figures = measure_host(links);
        if (write(ends[1], &figures, sizeof figures) != static_cast<ssize_t>(sizeof figures)) _exit(1);
        _exit(0);
    }
    close(ends[1]);
    host_figures figures{};
    const ssize_t got = read(ends[0], &figures, sizeof figures);
    close(ends[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (got != static_cast<ssize_t>(sizeof figures) || status != 0) die("host of " + std::to_string(links) + " links");
    return figures;
}

} // namespace

int main() {
    std::printf("%d container pair devices attached to one network and detached (medians per call, ms)\n",
                containers);
    std::printf("  %6s %9s %9s %9s %9s %9s %8s %8s\n", "links", "snapshot", "attach", "master", "detach",
                "nomaster", "att/ip", "det/ip");
    std::vector<host_figures> all;
    for (int links : host_sizes) {
        const host_figures h = measure_in_child(links);
        all.push_back(h);
        std::printf("  %6d %9.3f %9.3f %9.3f %9.3f %9.3f %8.2f %8.2f\n", links, h.snapshot * 1e3, h.attach * 1e3,
                    h.ip_master * 1e3, h.detach * 1e3, h.ip_nomaster * 1e3, h.attach / h.ip_master,
                    h.detach / h.ip_nomaster);
        std::fflush(stdout);
    }
    std::printf("  (master, nomaster: one `ip link set DEV master BR` / `nomaster` process; target att/ip <= 0.5)\n");
    const host_figures &small = all.front(), &large = all.back();
    std::printf("growth %d -> %d links: attach %.2f, detach %.2f (target <= 1.5), ip master %.2f\n", host_sizes[0],
                host_sizes[2], large.attach / small.attach, large.detach / small.detach,
                large.ip_master / small.ip_master);
    return 0;
}
