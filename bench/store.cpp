// Information store figures: filling 10,000 interfaces across 500 containers
// key by key, and lookup cost at 1,000 vs 10,000 records (index against a
// walk of the live list), printed side by side with their ratios.
#include "netinfo/store.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace kx;
using bench_clock = std::chrono::steady_clock;

namespace {

constexpr int per_container = 20;
constexpr int runs = 7;

struct iface {
    std::string name;
    int32_t ctid;
};

std::vector<iface> interfaces(int count) {
    std::vector<iface> out;
    for (int i = 0; i < count; ++i)
        out.push_back({"eth" + std::to_string(i % per_container), i / per_container + 1});
    return out;
}

// One collection pass: every interface named, then its fields set one by one.
void collect(const std::vector<iface> &all) {
    char hw[32], addr[48];
    for (size_t i = 0; i < all.size(); ++i) {
        std::snprintf(hw, sizeof hw, "00:16:3e:%02x:%02x:%02x", unsigned(i >> 16) & 0xff,
                      unsigned(i >> 8) & 0xff, unsigned(i) & 0xff);
        std::snprintf(addr, sizeof addr, "10.%u.%u.2/24 fe80::%zx/64", unsigned(i >> 8) & 0xff,
                      unsigned(i) & 0xff, i);
        iface_update(all[i].name.c_str(), all[i].ctid)
            .type(KXNETIF_ETH)
            .hwaddr(hw)
            .addrs(addr)
            .state(KXNETIF_STATE_UP)
            .flags(0x11043)
            .network_id("net-a")
            .bridge(std::nullopt);
    }
}

template <class F>
double seconds_of(F &&f) {
    auto start = bench_clock::now();
    f();
    return std::chrono::duration<double>(bench_clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The same lookup done by walking the live list, the cost the index avoids.
const iface_record *walk_live_list(const char *name, int32_t ctid) {
    for (const iface_record &r : store_live())
        if (r.ctid == ctid && r.name == name) return &r;
    return nullptr;
}

struct lookup_figures {
    double index_ns;      // random order
    double in_order_ns;   // container by container, as a collector goes
    double walk_ns;
};

template <class Order>
double index_lookup_ns(const Order &order, uintptr_t &sink) {
    constexpr int lookups = 200000;
    std::vector<double> each;
    for (int run = 0; run < runs; ++run)
        each.push_back(seconds_of([&] {
            for (int i = 0; i < lookups; ++i) {
                const iface &f = order[i % order.size()];
                sink += reinterpret_cast<uintptr_t>(
                    find_iface(f.name.c_str(), f.ctid, KXNETIF_ALL));
            }
        }) / lookups);
    return median(each) * 1e9;
}

lookup_figures lookups_at(int count) {
    store_reset_for_tests();
    std::vector<iface> all = interfaces(count);
    collect(all);
    std::vector<iface> order = all;
    std::shuffle(order.begin(), order.end(), std::mt19937(42));

    uintptr_t sink = 0;
    double random_ns = index_lookup_ns(order, sink);
    double in_order_ns = index_lookup_ns(all, sink);
    std::vector<double> walk_runs;
    for (int run = 0; run < runs; ++run) {
        constexpr int walk_lookups = 500;
        walk_runs.push_back(seconds_of([&] {
            for (int i = 0; i < walk_lookups; ++i) {
                const iface &f = order[i % order.size()];
                sink += reinterpret_cast<uintptr_t>(walk_live_list(f.name.c_str(), f.ctid));
            }
        }) / walk_lookups);
    }
    if (sink == 1) std::puts("");
    return {random_ns, in_order_ns, median(walk_runs) * 1e9};
}

} // namespace

int main() {
    std::vector<iface> all = interfaces(10000);
    std::vector<double> fill_runs, refresh_runs;
    for (int run = 0; run < runs; ++run) {
        store_reset_for_tests();
        fill_runs.push_back(seconds_of([&] { collect(all); }));
        store_advance_generation();
        refresh_runs.push_back(seconds_of([&] { collect(all); }));
    }
    double fill = median(fill_runs), refresh = median(refresh_runs);
    constexpr int keys_per_iface = 7;
    std::printf("store: 10000 interfaces in 500 containers, %d keys each, median of %d runs\n",
                keys_per_iface, runs);
    std::printf("  first pass (records created):   %8.2f ms  %6.0f ns/update\n", fill * 1e3,
                fill * 1e9 / (10000.0 * keys_per_iface));
    std::printf("  next pass (updated in place):   %8.2f ms  %6.0f ns/update\n", refresh * 1e3,
                refresh * 1e9 / (10000.0 * keys_per_iface));

    lookup_figures small = lookups_at(1000);
    lookup_figures large = lookups_at(10000);
    std::printf("lookup by name, container, any kind (median of %d runs)\n", runs);
    std::printf("  %-22s %12s %12s\n", "", "1000 recs", "10000 recs");
    std::printf("  %-22s %10.1f ns %10.1f ns   ratio %.2f (log ratio %.2f, linear 10)\n",
                "kind index, random", small.index_ns, large.index_ns, large.index_ns / small.index_ns,
                std::log(10000.0) / std::log(1000.0));
    std::printf("  %-22s %10.1f ns %10.1f ns   ratio %.2f\n", "kind index, in order",
                small.in_order_ns, large.in_order_ns, large.in_order_ns / small.in_order_ns);
    std::printf("  %-22s %10.1f ns %10.1f ns   ratio %.2f\n", "live list walk", small.walk_ns,
                large.walk_ns, large.walk_ns / small.walk_ns);
    std::printf("  index vs walk at 10000: %.0fx faster\n", large.walk_ns / large.index_ns);
    store_reset_for_tests();
    return 0;
}
