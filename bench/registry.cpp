// Registry load and save at two sizes (512 and 4,096 networks with four
// interfaces each, plus 1,024 VLAN and 1,024 address lines): the cost per
// network and the ratio of the two sizes, which is 8 for a linear cost.
#include "registry/model.h"
#include "registry/registry_file.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string registry_text(int networks) {
    std::string text;
    for (int i = 0; i < networks; ++i) {
        std::string n = std::to_string(i);
        text += "VNID_kb" + n + "=\"net-" + n + "\"\n";
        text += "IFLST_kb" + n + "=\"e" + n + "a e" + n + "b e" + n + "c e" + n + "d\"\n";
    }
    for (int i = 0; i < 1024; ++i)
        text += "VLAN_v" + std::to_string(i) + "=\"" + std::to_string(i + 1) + "\"\n";
    for (int i = 0; i < 1024; ++i)
        text += "ADDR_a" + std::to_string(i) + "=\"10.0." + std::to_string(i % 256) + ".1/24\"\n";
    return text;
}

template <class F> double median_seconds(int runs, F &&f) {
    std::vector<double> times;
    for (int r = 0; r < runs; ++r) {
        auto start = std::chrono::steady_clock::now();
        f();
        times.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

struct figures {
    double load, save;
};

figures measure(const std::string &root, int networks) {
    const std::string path = root + "/etc/kx/kxnet.conf";
    std::ofstream(path, std::ios::trunc) << registry_text(networks);
    std::filesystem::resize_file(root + "/var/log/kxnetcfg.log", 0);
    figures f{};
    f.load = median_seconds(7, [] { kx::registry_load(); });
    f.save = median_seconds(7, [] { kx::registry_save(); });
    return f;
}

} // namespace

int main() {
    char pattern[] = "/tmp/kxnet-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    const std::string root = pattern;
    for (const char *dir : {"/etc/kx", "/var/log", "/tmp"})
        std::filesystem::create_directories(root + dir);
    std::ofstream(root + "/var/log/kxnetcfg.log");
    setenv("KXNET_ROOT", root.c_str(), 1);

    const int small = 512, large = 4096;
    figures a = measure(root, small);
    figures b = measure(root, large);
    std::printf("registry load: %5d networks %8.2f ms (%6.2f us/network)\n", small, a.load * 1e3,
                a.load * 1e6 / small);
    std::printf("registry load: %5d networks %8.2f ms (%6.2f us/network)\n", large, b.load * 1e3,
                b.load * 1e6 / large);
    std::printf("registry save: %5d networks %8.2f ms (%6.2f us/network)\n", small, a.save * 1e3,
                a.save * 1e6 / small);
    std::printf("registry save: %5d networks %8.2f ms (%6.2f us/network)\n", large, b.save * 1e3,
                b.save * 1e6 / large);
    std::printf("ratio %d/%d: load %.2f, save %.2f (linear: 8, target at most 9)\n", large, small,
                b.load / a.load, b.save / a.save);
    kx::networks_clear();
    kx::vlans_clear();
    kx::addrs_clear();
    std::filesystem::remove_all(root);
    return 0;
}
