// Information query figures in a private network namespace: the host
// snapshot against `ip -j addr show` and a bare netlink dump (the floor),
// its phases and heap allocations per record, its growth from 400 to 4,000
// links, and the collection of 100 and 1,000 containers against
// `ip -all netns exec ip -j addr show`, with the container stand-in's own
// share (its children running a function that does nothing) apart.
// Medians, side by side.
#include "bench_support.h"
#include "kxnet_ct.h"

#include "frame/state.h"
#include "ifcfg/ifcfg.h"
#include "kxctl.h"
#include "netinfo/container_collector.h"
#include "netinfo/host_collectors.h"
#include "netinfo/link_facts.h"
#include "netinfo/selection.h"
#include "netinfo/store.h"
#include "rtnl/rtnl.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <sched.h>
#include <string>
#include <optional>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

// Every heap allocation of the process is counted, so a phase's
// allocations per record can be read off around it.
namespace {
std::size_t heap_allocations = 0;
}
extern "C" void *__libc_malloc(std::size_t);
extern "C" void *__libc_calloc(std::size_t, std::size_t);
extern "C" void *__libc_realloc(void *, std::size_t);
extern "C" void __libc_free(void *);
extern "C" void *malloc(std::size_t size) {
    ++heap_allocations;
    return __libc_malloc(size);
}
extern "C" void *calloc(std::size_t n, std::size_t size) {
    ++heap_allocations;
    return __libc_calloc(n, size);
}
extern "C" void *realloc(void *block, std::size_t size) {
    ++heap_allocations;
    return __libc_realloc(block, size);
}
extern "C" void free(void *block) { __libc_free(block); }

namespace {

constexpr int runs = 7;
// The host's figures move a few percent from run to run on a shared machine.
constexpr int host_runs = 21;

std::string scratch;

[[noreturn]] void die(const std::string &why) {
    std::fprintf(stderr, "bench_info: %s: %s\n", why.c_str(), std::strerror(errno));
    std::exit(1);
}

void sh(const std::string &command) {
    if (std::system(command.c_str()) != 0) die("command failed: " + command);
}

void enter_namespace() {
    if (!kxbench::enter_namespace()) std::exit(1);
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

// Processor time of this process and its reaped children: on a machine
// shared with other work it moves far less than the wall clock does.
double cpu_seconds() {
    rusage self{}, children{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    auto sec = [](const timeval &t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return sec(self.ru_utime) + sec(self.ru_stime) + sec(children.ru_utime) + sec(children.ru_stime);
}

// Page faults of this process and its reaped children: each fork makes the
// pages written after it fault once more, which costs far more than the
// copy itself on a paravirtualised guest.
long minor_faults() {
    rusage self{}, children{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    return self.ru_minflt + children.ru_minflt;
}

// Medians of the wall clock, processor time and page faults over `count` runs.
struct timing {
    double wall, cpu;
    long faults;
};

template <class F>
timing measure(int count, F &&f) {
    std::vector<double> walls, cpus;
    std::vector<long> faults;
    for (int i = 0; i < count; ++i) {
        const double cpu = cpu_seconds();
        const long faulted = minor_faults();
        walls.push_back(kxbench::seconds(f));
        cpus.push_back(cpu_seconds() - cpu);
        faults.push_back(minor_faults() - faulted);
    }
    std::sort(faults.begin(), faults.end());
    return {kxbench::median(walls), kxbench::median(cpus), faults[faults.size() / 2]};
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
    double ours, ip, floor;             // wall
    double ours_cpu, ip_cpu, floor_cpu; // processor
};

// The boot-protocol step as the query runs it: every host record held.
void check_boot_protocols() {
    const kx::held_ifaces held(kx::records_in(0, 0));
    const kx::ifcfg_device_index index = kx::ifcfg_device_index::build();
    for (const kx::iface_record *record : held.records()) kx::read_bootproto(*record, &index);
}

// A host snapshot taken phase by phase in the query's order, each phase
// timed; the bridge scan once more probing every device as it did before
// the dump's kinds settled most of them.
void measure_phases() {
    std::vector<double> dump, readers, bridges, bootproto, bridges_probing_all;
    std::size_t allocations[4] = {};
    std::size_t records = 0;
    for (int i = 0; i < runs; ++i) {
        std::size_t counted = heap_allocations;
        auto count = [&](int phase) {
            allocations[phase] = heap_allocations - counted;
            counted = heap_allocations;
        };
        if (kx::take_semaphore() != 0) die("semaphore");
        kx::store_retire_all();
        kx::link_facts facts;
        const int32_t host = 0;
        counted = heap_allocations;
        dump.push_back(kxbench::seconds([&] { kx::collect_ct_infos(0xffffffffu, {&host, 1}, &facts); }));
        count(0);
        readers.push_back(kxbench::seconds([] {
            kx::read_proc_veth(1);
            kx::read_proc_vmth();
            kx::read_vlan_devices();
        }));
        count(1);
        bridges.push_back(kxbench::seconds([&] { kx::scan_bridges(&facts); }));
        count(2);
        bootproto.push_back(kxbench::seconds([] { check_boot_protocols(); }));
        count(3);
        records = 0;
        records = kx::store_live().size();
        bridges_probing_all.push_back(kxbench::seconds([] { kx::scan_bridges(nullptr); }));
        kx::post_semaphore();
    }
    std::printf("  phases: dump %.3f ms, pair/VLAN readers %.3f ms, bridge scan %.3f ms (probing every"
                " device: %.3f ms), boot protocol %.3f ms\n",
                kxbench::median(dump) * 1e3, kxbench::median(readers) * 1e3, kxbench::median(bridges) * 1e3,
                kxbench::median(bridges_probing_all) * 1e3, kxbench::median(bootproto) * 1e3);
    const double n = static_cast<double>(records);
    std::printf("  heap allocations per record: dump %.2f, readers %.2f, bridge scan %.2f, boot protocol %.2f\n",
                allocations[0] / n, allocations[1] / n, allocations[2] / n, allocations[3] / n);
}

host_figures measure_host(const char *label) {
    size_t records = snapshot(0, 0);
    const std::size_t allocations_before = heap_allocations;
    snapshot(0, 0);
    const std::size_t allocations = heap_allocations - allocations_before;
    const timing ours = measure(host_runs, [] { snapshot(0, 0); });
    const timing ip = measure(host_runs, [] { run_quiet({"/sbin/ip", "-j", "addr", "show", nullptr}); });
    const timing floor = measure(host_runs, [] { bare_dump(); });
    host_figures h{ours.wall, ip.wall, floor.wall, ours.cpu, ip.cpu, floor.cpu};
    (void)floor.faults;
    std::printf("%s: %zu records (%d runs; wall ms, processor ms)\n", label, records, host_runs);
    std::printf("  kxnet_get_info [0,0]   %9.3f %9.3f\n", ours.wall * 1e3, ours.cpu * 1e3);
    std::printf("  ip -j addr show        %9.3f %9.3f\n", ip.wall * 1e3, ip.cpu * 1e3);
    std::printf("  bare netlink dump      %9.3f %9.3f\n", floor.wall * 1e3, floor.cpu * 1e3);
    std::printf("  ours / ip     %.2f wall, %.2f processor\n", ours.wall / ip.wall, ours.cpu / ip.cpu);
    std::printf("  ours / floor  %.2f wall, %.2f processor\n", ours.wall / floor.wall,
                ours.cpu / floor.cpu);
    std::printf("  heap allocations per record, whole snapshot and release: %.2f\n",
                static_cast<double>(allocations) / static_cast<double>(records));
    measure_phases();
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

std::vector<int32_t> running_ids() {
    kxctl_env_ids *ids = kxctl_alloc_env_ids();
    if (ids == nullptr) die("id set");
    std::vector<int32_t> order;
    for (int i = kxctl_get_env_ids_by_state(ids, KXCTL_ENV_RUNNING) - 1; i >= 0; --i)
        if (ids->ids[i] != 0) order.push_back(static_cast<int32_t>(ids->ids[i]));
    kxctl_free_env_ids(ids);
    return order;
}

// The containers collected one after the other, as before the window.
void collect_one_by_one(const std::vector<int32_t> &ids) {
    if (kx::take_semaphore() != 0) die("semaphore");
    kx::store_retire_all();
    kx::collect_ct_infos(0xffffffffu, ids, nullptr, 1);
    kx::release_kxnetif_info_list(kx::select_kxnetif_info({}));
    kx::post_semaphore();
}

int does_nothing(void *) { return 0; }

struct noop_child {
    pid_t pid = -1;
    int status = 0;
};

// The stand-in's own share: every call the collector makes of it, for every
// container, with children that do nothing, 16 running at once and reaped
// in order as the collector reaps them.
void stand_in_alone(const std::vector<int32_t> &ids) {
    std::vector<noop_child> children(ids.size());
    std::size_t reaped = 0;
    auto reap_one = [&] {
        noop_child &c = children[reaped++];
        if (c.pid > 0) waitpid(c.pid, &c.status, 0);
    };
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (i - reaped >= kx::collect_window) reap_one();
        const auto id = static_cast<uint32_t>(ids[i]);
        char path[1024];
        if (kxctl_get_env_conf_path(id, path, sizeof path) != 0) continue;
        kxctl_conf *conf = kxctl_conf_open(path, KXCTL_CONF_WRITE);
        if (conf == nullptr) continue;
        kxctl_env_param *param = kxctl_conf_parse(id, conf) == 0 ? kxctl_conf_get_env_param(conf) : nullptr;
        if (param != nullptr && kxctl_open() == 0) {
            int keep[] = {-1};
            children[i].pid = kxctl_env_exec_fn_async(id, param->root, does_nothing, nullptr, keep, 2, 0,
                                                      &children[i].status);
        }
        if (param != nullptr) kxctl_free_env_param(param);
        kxctl_conf_close(conf);
    }
    while (reaped < ids.size()) reap_one();
}

// The parent's share of a container's dump: its four lines per link (the
// two pair ends with an address each, as the containers here have) read
// back and reported, for every container, into a store emptied first.
void parse_alone(const std::vector<int32_t> &ids) {
    const std::string lines = "eth0\n10.200.1.2/24 fe80::1:2ff:fe03:405/64\n02:01:02:03:04:05\n69699\n"
                              "eth1\n10.201.1.2/24 fe80::1:2ff:fe03:406/64\n02:01:02:03:04:06\n69699\n";
    if (kx::take_semaphore() != 0) die("semaphore");
    kx::store_retire_all();
    for (int32_t id : ids) {
        kx::store_set_scope(id, kx::scope_phase_collect);
        kx::store_advance_generation();
        FILE *in = fmemopen(const_cast<char *>(lines.data()), lines.size(), "r");
        if (in == nullptr) die("fmemopen");
        kx::report_container_links(id, in);
        std::fclose(in);
        kx::sweep_ifaces();
    }
    kx::post_semaphore();
}

// Ours against `ip -all netns exec ip -j addr show`: wall, processor.
std::pair<double, double> measure_containers(int count, int runs_here, bool one_by_one) {
    const std::string kxct = kxct_path();
    for (int c = 1; c <= count; ++c) {
        const std::string id = std::to_string(c);
        const std::string net = std::to_string(c % 250); // namespaces apart: repeats are fine
        sh(kxct + " create " + id + " --veth cx" + id + "a,cx" + id + "b >/dev/null");
        sh(kxct + " start " + id + " --addr eth0=10.200." + net + ".2/24 --addr eth1=10.201." + net +
           ".2/24 >/dev/null");
    }
    const std::vector<int32_t> ids = running_ids();
    size_t records = snapshot(1, INT32_MAX);
    const timing ours = measure(runs_here, [] { snapshot(1, INT32_MAX); });
    const timing stand_in = measure(runs_here, [&] { stand_in_alone(ids); });
    const timing parse = measure(runs_here, [&] { parse_alone(ids); });
    const timing sequential = one_by_one ? measure(runs_here, [&] { collect_one_by_one(ids); }) : timing{};
    const timing ip = measure(
        runs_here, [] { run_quiet({"/sbin/ip", "-all", "netns", "exec", "/sbin/ip", "-j", "addr", "show", nullptr}); });
    std::printf("%d containers, two links each: %zu records (%d runs each; wall ms, processor ms, page faults)\n",
                count, records, runs_here);
    auto row = [](const char *what, const timing &t) {
        std::printf("  %-34s %9.3f %9.3f %7ld\n", what, t.wall * 1e3, t.cpu * 1e3, t.faults);
    };
    row("kxnet_get_info [1,max]", ours);
    if (one_by_one) row("one container after another", sequential);
    row("the stand-in alone (idle children)", stand_in);
    row("the library's share", timing{ours.wall - stand_in.wall, ours.cpu - stand_in.cpu, ours.faults - stand_in.faults});
    row("  of it the parent's parse", parse);
    row("ip -all netns exec ip -j addr show", ip);
    std::printf("  (%zu children at once at most)\n", kx::collect_window);
    std::printf("  ours / ip  %.2f wall, %.2f processor\n", ours.wall / ip.wall, ours.cpu / ip.cpu);
    for (int c = 1; c <= count; ++c)
        sh(kxct + " stop " + std::to_string(c) + " >/dev/null && " + kxct + " destroy " + std::to_string(c) +
           " >/dev/null");
    return {ours.wall / ip.wall, ours.cpu / ip.cpu};
}

} // namespace

// KXNET_BENCH_ONLY=containers or =host runs one half; KXNET_BENCH_SKIP_1000
// leaves out the 1,000-container case.
bool wanted(const char *half) {
    const char *only = std::getenv("KXNET_BENCH_ONLY");
    return only == nullptr || std::strcmp(only, half) == 0;
}

// The host half runs first: stopped containers' namespaces are torn down by
// the kernel in the background for seconds, which slowed host figures
// taken after them.
int main() {
    enter_namespace();
    std::printf("bench_info: medians of %d runs, of %d for the host cases\n", runs, host_runs);
    std::optional<std::pair<host_figures, host_figures>> host;
    if (wanted("host")) {
        add_host_devices(0, 200);
        add_ifcfg_files(200);
        // A host's ifcfg files are old; what is read from a file is kept only
        // once its times are old enough to show a later rewrite.
        sleep(3);
        const host_figures small = measure_host("host, 400 pair links + 10 bridges, 200 ifcfg files");
        add_host_devices(200, 2000);
        const host_figures large = measure_host("host, 4,000 pair links + 100 bridges");
        measure_memory();
        std::printf("growth 400 -> 4,000 links: ours %.2f, ip %.2f, floor %.2f\n", large.ours / small.ours,
                    large.ip / small.ip, large.floor / small.floor);
        host.emplace(small, large);
    }
    std::optional<std::pair<double, double>> containers_vs_ip;
    if (wanted("containers")) {
        containers_vs_ip = measure_containers(100, runs, true);
        if (std::getenv("KXNET_BENCH_SKIP_1000") == nullptr) measure_containers(1000, 3, false);
    }

    std::printf("summary (medians: wall, processor; attach and detach: bench_attach)\n");
    if (host) {
        const auto &[small, large] = *host;
        std::printf("  host snapshot, 4,100 links vs ip -j addr show          %5.2f %5.2f (target <= 0.25)\n",
                    large.ours / large.ip, large.ours_cpu / large.ip_cpu);
        std::printf("  host snapshot, 4,100 links vs the bare dump            %5.2f %5.2f (target <= 1.8)\n",
                    large.ours / large.floor, large.ours_cpu / large.floor_cpu);
        std::printf("  host snapshot, 400 links, 200 ifcfg files vs ip        %5.2f %5.2f (target <= 0.4)\n",
                    small.ours / small.ip, small.ours_cpu / small.ip_cpu);
    }
    if (containers_vs_ip)
        std::printf("  100 containers vs ip -all netns exec ip -j addr show   %5.2f %5.2f (target <= 0.3 wall)\n",
                    containers_vs_ip->first, containers_vs_ip->second);
    sh("rm -rf " + scratch);
    return 0;
}
