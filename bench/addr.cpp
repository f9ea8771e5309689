// Address assignment in a private network namespace: compat_kxnet_addr_set
// of 200 static addresses (each with its ifcfg file and registry record)
// against `ip addr add` of the same addresses on a twin device, side by
// side, then the same 200 calls split into their phases (host lock,
// registry load, rtnetlink request, ifcfg rewrite, registry record and
// save) to show where the time goes.  Medians per call.
#include "kxnet_ct.h"

#include "bench_support.h"

#include "frame/state.h"
#include "ifcfg/address_text.h"
#include "ifcfg/ifcfg.h"
#include "registry/model.h"
#include "registry/registry_file.h"
#include "rtnl/rtnl.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <net/if.h>
#include <sched.h>
#include <spawn.h>
#include <string>
#include <sys/mount.h>
#include <sys/wait.h>
#include <vector>

extern char **environ;

namespace {

using kxbench::median;
using kxbench::seconds;

constexpr int addresses = 200;

[[noreturn]] void die(const std::string &why) {
    std::fprintf(stderr, "bench_addr: %s: %s\n", why.c_str(), std::strerror(errno));
    std::exit(1);
}

void sh(const std::string &command) {
    if (std::system(command.c_str()) != 0) die("command failed: " + command);
}

std::string address(int block, int i) {
    return "10." + std::to_string(block) + "." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1) + "/24";
}

// `ip addr add ADDRESS dev DEVICE`, started directly (no shell), waited for.
int ip_addr_add(const std::string &text, const char *device) {
    const char *argv[] = {"ip", "addr", "add", text.c_str(), "dev", device, nullptr};
    pid_t child = 0;
    if (posix_spawnp(&child, "ip", nullptr, nullptr, const_cast<char *const *>(argv), environ) != 0) return -1;
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

const std::string ifcfg_text = "DEVICE=%s\nBOOTPROTO=static\nONBOOT=yes\nIPADDR=1.1.1.1\nNETMASK=255.0.0.0\n";

} // namespace

int main() {
    if (!kxbench::enter_namespace()) return 1;
    char pattern[] = "/tmp/kxnet-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) die("mkdtemp");
    const std::string root = pattern;
    for (const char *dir : {"/etc/kx", "/var/log", "/tmp", "/etc/sysconfig/network-scripts"})
        std::filesystem::create_directories(root + dir);
    setenv("KXNET_ROOT", root.c_str(), 1);
    sh("ip link add bench0 type veth peer name bench1 && ip link add bench2 type veth peer name bench3");
    for (const char *device : {"bench0", "bench2"})
        sh("printf 'DEVICE=" + std::string(device) + "\\nBOOTPROTO=static\\nIPADDR=1.1.1.1\\nNETMASK=255.0.0.0\\n' > " +
           root + "/etc/sysconfig/network-scripts/ifcfg-" + device);

    // Side by side, alternating, so both see the same machine load.
    std::vector<double> ours, peer;
    for (int i = 0; i < addresses; ++i) {
        const std::string mine = address(50, i), theirs = address(60, i);
        int code = 0, status = 0;
        ours.push_back(seconds([&] { code = compat_kxnet_addr_set("bench0", mine.c_str()); }));
        peer.push_back(seconds([&] { status = ip_addr_add(theirs, "bench1"); }));
        if (code != KXNET_OK || status != 0) {
            std::fprintf(stderr, "address %d: ours %d, ip %d\n", i, code, status);
            return 1;
        }
    }

    // The body's phases one by one, on a fresh device and registry record.
    enum { lock, load, kernel, file, record, save, phase_count };
    const char *names[] = {"host lock (grab + release)", "registry load", "rtnetlink RTM_NEWADDR",
                           "ifcfg rewrite (fsync, rename)", "registry record (addr_add)",
                           "registry save (fsync, rename)"};
    std::array<std::vector<double>, phase_count> phases;
    for (int i = 0; i < addresses; ++i) {
        const std::string text = address(70, i);
        phases[lock].push_back(seconds([] {
            if (kx::grab_excl_kxnetlock() == 0) kx::release_kxnetlock();
        }));
        if (kx::grab_excl_kxnetlock() != 0) die("lock");
        phases[load].push_back(seconds([] { kx::registry_load(); }));
        int code = 0;
        // What the body does for the live device: parse, look up, RTM_NEWADDR.
        phases[kernel].push_back(seconds([&] {
            in_addr parsed{};
            code = -EINVAL;
            if (!kx::parse_address_part(text, parsed)) return;
            const unsigned index = if_nametoindex("bench2");
            if (index != 0)
                code = kx::rtchan_add_ipv4_address(static_cast<int>(index), parsed, kx::device_prefix_length(text));
        }));
        if (code != 0) die("RTM_NEWADDR " + text);
        phases[file].push_back(seconds([&] { kx::ifcfg_set_address("bench2", text.c_str()); }));
        phases[record].push_back(seconds([&] { kx::addr_add("bench2", text.c_str()); }));
        phases[save].push_back(seconds([] { kx::registry_save(); }));
        kx::release_kxnetlock();
    }

    const double ours_median = median(ours), peer_median = median(peer);
    std::printf("compat_kxnet_addr_set: median %8.1f us per call (%d addresses)\n", ours_median * 1e6, addresses);
    std::printf("ip addr add:           median %8.1f us per call\n", peer_median * 1e6);
    std::printf("ratio ours / ip: %.2f\n", ours_median / peer_median);
    std::printf("calls 1-20 vs 181-200 (ours, medians): %.1f us vs %.1f us\n",
                median({ours.begin(), ours.begin() + 20}) * 1e6, median({ours.end() - 20, ours.end()}) * 1e6);
    double sum = 0;
    for (const auto &p : phases) sum += median(p);
    std::printf("phases (median per call, share of their sum %.1f us):\n", sum * 1e6);
    for (int p = 0; p < phase_count; ++p)
        std::printf("  %-32s %8.1f us  %5.1f%%\n", names[p], median(phases[p]) * 1e6, 100 * median(phases[p]) / sum);
    std::filesystem::remove_all(root);
    return 0;
}
