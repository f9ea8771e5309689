// Host start and stop through the exported calls against iproute2: a registry
// of Linux bridges with five ports each, restored by kxnet_init_devices and
// removed by kxnet_destroy_devices, against the same bridges, settings and
// ports made and removed by one `ip -batch` file each.  Prints medians of
// several runs, the ratios, and how a start grows from 20 to 200 networks
// (ten times the registry: linear is at most 10, the target at most 11).
#include "kxnet_ct.h"

#include "bench_support.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <vector>

namespace {

using kxbench::median;
using kxbench::seconds;

constexpr int ports_per_network = 5;
constexpr int runs = 5;

std::string port(int network, int index) { return "p" + std::to_string(network) + "x" + std::to_string(index); }
std::string bridge(int network) { return "kb" + std::to_string(network); }

void write_text(const std::string &path, const std::string &text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::trunc) << text;
}

bool run_batch(const std::string &path) { return std::system(("ip -batch " + path).c_str()) == 0; }

struct figures {
    double start, stop, ip_add, ip_del;
};

// Runs both sides `runs` times over the first `networks` networks.
bool measure(const std::string &root, int networks, figures &out) {
    std::string registry, add, del;
    for (int n = 0; n < networks; ++n) {
        registry += "VNID_" + bridge(n) + "=\"net" + std::to_string(n) + "\"\nIFLST_" + bridge(n) + "=\"";
        add += "link add " + bridge(n) + " type bridge forward_delay 0\nlink set " + bridge(n) + " up\n";
        for (int p = 0; p < ports_per_network; ++p) {
            registry += (p == 0 ? "" : " ") + port(n, p);
            add += "link set " + port(n, p) + " master " + bridge(n) + "\n";
        }
        registry += "\"\n";
        del += "link del " + bridge(n) + "\n";
        // The container kernel's via-physical-device switch, turned on for
        // each network's physical interface.
        write_text(root + "/sys/class/net/" + bridge(n) + "/bridge/via_phys_dev", "0");
    }
    write_text(root + "/etc/kx/kxnet.conf", registry);
    write_text(root + "/add.batch", add);
    write_text(root + "/del.batch", del);

    std::vector<double> start, stop, ip_add, ip_del;
    for (int run = 0; run < runs; ++run) {
        int code = 0;
        start.push_back(seconds([&] { code = kxnet_init_devices(); }));
        if (code != KXNET_OK) return std::fprintf(stderr, "kxnet_init_devices: %d\n", code), false;
        if (!std::filesystem::exists("/sys/class/net/" + bridge(networks - 1) + "/brif/" +
                                     port(networks - 1, 0)))
            return std::fprintf(stderr, "start left the last network without its physical port\n"), false;
        stop.push_back(seconds([&] { code = kxnet_destroy_devices(); }));
        if (code != KXNET_OK) return std::fprintf(stderr, "kxnet_destroy_devices: %d\n", code), false;
        bool ok = true;
        ip_add.push_back(seconds([&] { ok = run_batch(root + "/add.batch"); }));
        ip_del.push_back(seconds([&] { ok = ok && run_batch(root + "/del.batch"); }));
        if (!ok) return std::fprintf(stderr, "ip -batch failed\n"), false;
    }
    out = {median(start), median(stop), median(ip_add), median(ip_del)};
    return true;
}

void print(int networks, const figures &f) {
    std::printf("%3d networks x %d ports: start %8.2f ms, ip -batch add %8.2f ms, ratio %.2f\n", networks,
                ports_per_network, f.start * 1e3, f.ip_add * 1e3, f.start / f.ip_add);
    std::printf("%3d networks x %d ports: stop  %8.2f ms, ip -batch del %8.2f ms, ratio %.2f\n", networks,
                ports_per_network, f.stop * 1e3, f.ip_del * 1e3, f.stop / f.ip_del);
}

} // namespace

int main() {
    if (!kxbench::enter_namespace()) return 1;
    char pattern[] = "/tmp/kxnet-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    const std::string root = pattern;
    for (const char *dir : {"/etc/kx", "/var/log", "/tmp"}) std::filesystem::create_directories(root + dir);
    setenv("KXNET_ROOT", root.c_str(), 1);

    constexpr int most = 200;
    std::string pairs;
    for (int n = 0; n < most; ++n)
        for (int p = 0; p < ports_per_network; ++p)
            pairs += "link add " + port(n, p) + " type veth peer name q" + port(n, p).substr(1) + "\n";
    write_text(root + "/pairs.batch", pairs);
    if (!run_batch(root + "/pairs.batch")) return 1;

    figures small{}, large{};
    if (!measure(root, 20, small) || !measure(root, most, large)) return 1;
    print(20, small);
    print(most, large);
    std::printf("growth 20 -> 200 networks: start %.2f, stop %.2f, ip add %.2f (linear at most 10; target 11)\n",
                large.start / small.start, large.stop / small.stop, large.ip_add / small.ip_add);
    std::filesystem::remove_all(root);
    return 0;
}
