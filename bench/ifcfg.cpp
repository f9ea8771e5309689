// The ifcfg lookups of one information query: 4,000 host devices against a
// network-scripts directory of 200 ifcfg files, most devices configured by no
// file.  Per-device key search against the one-pass device index (built
// inside the timed section), median of several runs, and their ratio.
#include "frame/state.h"
#include "ifcfg/ifcfg.h"
#include "kxnet_ct.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int file_count = 200;
constexpr int device_count = 4000;
constexpr int runs = 5;

void write_files(const std::string &dir) {
    std::filesystem::create_directories(dir);
    for (int i = 0; i < file_count; ++i) {
        std::ofstream out(dir + "/ifcfg-conn" + std::to_string(i));
        out << "TYPE=Ethernet\nBOOTPROTO=" << (i % 2 ? "dhcp" : "static") << "\nNAME=conn" << i
            << "\nDEVICE=eth" << i << "\nONBOOT=yes\nIPADDR=10.0." << i << ".1\nPREFIX=24\n";
    }
}

// eth0..eth199 are configured; the rest are container pair ends with no file.
std::vector<std::string> device_names() {
    std::vector<std::string> names;
    for (int i = 0; i < device_count; ++i)
        names.push_back(i < file_count ? "eth" + std::to_string(i) : "veth" + std::to_string(i) + ".0");
    return names;
}

template <class F>
double median_seconds(F &&pass, size_t &found) {
    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        auto start = std::chrono::steady_clock::now();
        found = pass();
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace

int main() {
    char pattern[] = "/tmp/kxnet-bench-ifcfg-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    std::string root = pattern;
    setenv("KXNET_ROOT", root.c_str(), 1);
    kx::state().suse_flag = 0;
    write_files(root + "/etc/sysconfig/network-scripts");
    const std::vector<std::string> names = device_names();

    size_t per_device_found = 0, indexed_found = 0;
    double per_device = median_seconds(
        [&] {
            size_t hits = 0;
            for (const auto &name : names) hits += kx::ifcfg_find(name.c_str(), KXNETIF_ETH, nullptr).has_value();
            return hits;
        },
        per_device_found);
    double indexed = median_seconds(
        [&] {
            size_t hits = 0;
            kx::ifcfg_device_index index = kx::ifcfg_device_index::build();
            for (const auto &name : names)
                hits += kx::ifcfg_find(name.c_str(), KXNETIF_ETH, nullptr, &index).has_value();
            return hits;
        },
        indexed_found);

    std::printf("ifcfg lookups: %d devices, %d ifcfg files, median of %d runs\n", device_count, file_count, runs);
    std::printf("  per-device key search : %10.3f ms  (%zu found)\n", per_device * 1e3, per_device_found);
    std::printf("  one-pass device index : %10.3f ms  (%zu found)\n", indexed * 1e3, indexed_found);
    std::printf("  ratio per-device/index: %10.1fx\n", per_device / indexed);

    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return per_device_found == indexed_found ? 0 : 2;
}
