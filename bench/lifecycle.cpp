// Network creation and removal through the exported calls: 200 networks made
// one after another, then removed, in a namespace of the benchmark's own.
// Prints the median per call and how the cost of a creation grows with the
// registry: the 200th call against the 20th (the registry grows 10-fold
// between them, so a cost linear in the registry gives at most 10).
#include "kxnet_ct.h"

#include "bench_support.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <vector>

namespace {

using kxbench::median;
using kxbench::seconds;

constexpr int networks = 200;

// Median of the ten calls ending with call `last` (1-based), steadier than one.
double window_median(const std::vector<double> &times, int last) {
    return median(std::vector<double>(times.begin() + last - 10, times.begin() + last));
}

} // namespace

int main() {
    if (!kxbench::enter_namespace()) return 1;
    char pattern[] = "/tmp/kxnet-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    const std::string root = pattern;
    for (const char *dir : {"/etc/kx", "/var/log", "/tmp"}) std::filesystem::create_directories(root + dir);
    setenv("KXNET_ROOT", root.c_str(), 1);

    std::vector<double> create, remove;
    for (int i = 0; i < networks; ++i) {
        std::string id = "bench-" + std::to_string(i);
        char bridge[16] = "";
        int code = 0;
        create.push_back(seconds([&] { code = kxnet_br_new(id.c_str(), bridge); }));
        if (code != KXNET_OK) {
            std::fprintf(stderr, "kxnet_br_new %s: %d\n", id.c_str(), code);
            return 1;
        }
    }
    for (int i = 0; i < networks; ++i) {
        std::string id = "bench-" + std::to_string(i);
        int code = 0;
        remove.push_back(seconds([&] { code = kxnet_br_del(id.c_str()); }));
        if (code != KXNET_OK) {
            std::fprintf(stderr, "kxnet_br_del %s: %d\n", id.c_str(), code);
            return 1;
        }
    }

    std::printf("kxnet_br_new: median %8.1f us per call (%d networks)\n", median(create) * 1e6, networks);
    std::printf("kxnet_br_del: median %8.1f us per call\n", median(remove) * 1e6);
    std::printf("create call 20: %8.1f us, call 200: %8.1f us, ratio %.2f\n", create[19] * 1e6,
                create[199] * 1e6, create[199] / create[19]);
    std::printf("create calls 11-20 vs 191-200 (medians): ratio %.2f (registry 10x; linear at most 10)\n",
                window_median(create, 200) / window_median(create, 20));
    std::printf("delete: first call (registry 200) %8.1f us vs call 181 (registry 20) %8.1f us, ratio %.2f\n",
                remove[0] * 1e6, remove[180] * 1e6, remove[0] / remove[180]);
    std::filesystem::remove_all(root);
    return 0;
}
