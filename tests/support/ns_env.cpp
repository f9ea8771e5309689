// Entering the ns lane's namespace: unshare network and mount namespaces,
// make mounts private, remount /sys so /sys/class/net shows this namespace,
// bring loopback up, and point KXNET_ROOT at a fresh scratch directory.
#include "ns_env.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <memory>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kxtest::ns {

namespace {

bool entered = false;
std::string reason = "ns lane: not entered";
std::string sandbox;

bool fail(const std::string &why) {
    reason = "ns lane skipped: needs root with network and mount namespaces (" + why + ")";
    return false;
}

bool enter_namespaces() {
    if (geteuid() != 0) return fail("not root");
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0)
        return fail(std::string("unshare: ") + strerror(errno));
    // "none" rather than null for the ignored source and type: valgrind
    // reads both strings.
    if (mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0)
        return fail(std::string("private mounts: ") + strerror(errno));
    umount2("/sys", MNT_DETACH);
    if (mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0)
        return fail(std::string("sysfs: ") + strerror(errno));
    if (system("ip link set lo up") != 0) return fail("ip link set lo up failed");
    char pattern[] = "/tmp/kxnet-ns-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return fail("mkdtemp");
    sandbox = pattern;
    make_dirs(sandbox + "/var/log");
    make_dirs(sandbox + "/tmp");
    setenv("KXNET_ROOT", sandbox.c_str(), 1);
    return true;
}

} // namespace

bool available() { return entered; }
const std::string &unavailable_reason() { return reason; }
const std::string &root() { return sandbox; }

void enter(bool listing_only) {
    if (listing_only) return;
    entered = enter_namespaces();
}

void leave() {
    if (!entered || getenv("KXNET_KEEP_ROOT") != nullptr) return;
    std::error_code ignored;
    std::filesystem::remove_all(sandbox, ignored);
}

int sh(const std::string &command) {
    int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string capture(const std::string &command) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) return out;
    std::array<char, 4096> chunk{};
    size_t got;
    while ((got = fread(chunk.data(), 1, chunk.size(), pipe.get())) > 0) out.append(chunk.data(), got);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

void add_veth(const std::string &a, const std::string &b) {
    ASSERT_EQ(sh("ip link add " + a + " type veth peer name " + b), 0);
}

void add_bridge(const std::string &name) { ASSERT_EQ(sh("ip link add " + name + " type bridge"), 0); }

void set_up(const std::string &name) { ASSERT_EQ(sh("ip link set " + name + " up"), 0); }

bool device_exists(const std::string &name) {
    return file_exists("/sys/class/net/" + name);
}

bool is_up(const std::string &name) {
    std::string flags = sysfs(name, "flags");
    return !flags.empty() && (std::strtoul(flags.c_str(), nullptr, 16) & 1) != 0;
}

std::string sysfs(const std::string &device, const std::string &attribute) {
    std::string value = read_file("/sys/class/net/" + device + "/" + attribute);
    while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
    return value;
}

std::vector<std::string> bridge_ports(const std::string &bridge) {
    std::vector<std::string> ports = list_dir("/sys/class/net/" + bridge + "/brif");
    std::sort(ports.begin(), ports.end());
    return ports;
}

std::string master_of(const std::string &device) {
    char target[4096] = {};
    const std::string link = "/sys/class/net/" + device + "/master";
    if (readlink(link.c_str(), target, sizeof target - 1) < 0) return "";
    const char *slash = std::strrchr(target, '/');
    return slash != nullptr ? slash + 1 : target;
}

namespace {

constexpr uint32_t offload_reads[] = {ETHTOOL_GRXCSUM, ETHTOOL_GTXCSUM, ETHTOOL_GSG, ETHTOOL_GTSO, ETHTOOL_GGSO};
constexpr uint32_t offload_writes[] = {ETHTOOL_SRXCSUM, ETHTOOL_STXCSUM, ETHTOOL_SSG, ETHTOOL_STSO, ETHTOOL_SGSO};

int ethtool(const std::string &device, uint32_t command, uint32_t &data) {
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, device.c_str(), IFNAMSIZ - 1);
    ethtool_value value{command, data};
    request.ifr_data = reinterpret_cast<char *>(&value);
    int result = ioctl(sock, SIOCETHTOOL, &request);
    close(sock);
    data = value.data;
    return result;
}

} // namespace

offloads kernel_offloads(const std::string &device) {
    offloads seen{};
    for (size_t i = 0; i < seen.size(); ++i) {
        uint32_t data = 0;
        seen[i] = ethtool(device, offload_reads[i], data) == 0 ? (data != 0 ? 1 : 0) : 99;
    }
    return seen;
}

void set_kernel_offloads(const std::string &device, const offloads &wanted) {
    for (size_t i = 0; i < wanted.size(); ++i) {
        uint32_t data = wanted[i];
        ASSERT_EQ(ethtool(device, offload_writes[i], data), 0) << device << " setting " << i;
    }
    ASSERT_EQ(kernel_offloads(device), wanted) << "the kernel kept the settings as written";
}

namespace {

// `text` as one single-quoted shell word, whatever it holds.
std::string shell_word(const std::string &text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// "vlan <id> over <parent>" from the detailed link line, or "".
std::string vlan_details(const std::string &device) {
    std::string line = capture("ip -d -o link show dev " + shell_word(device) + " 2>/dev/null");
    size_t id_at = line.find(" vlan protocol 802.1Q id ");
    if (id_at == std::string::npos) return "";
    std::string id = line.substr(id_at + 25);
    id = id.substr(0, id.find(' '));
    size_t at = line.find(device + "@");
    std::string parent = at == std::string::npos ? "?" : line.substr(at + device.size() + 1);
    parent = parent.substr(0, parent.find(':'));
    return " vlan " + id + " over " + parent;
}

} // namespace

std::string device_dump() {
    std::vector<std::string> names = list_dir("/sys/class/net");
    std::sort(names.begin(), names.end());
    std::string dump;
    for (const std::string &name : names) {
        const std::string dir = "/sys/class/net/" + name;
        dump += name + (is_up(name) ? " up" : " down");
        std::string master = master_of(name);
        if (!master.empty()) dump += " master " + master;
        if (std::filesystem::exists(dir + "/bridge")) dump += " delay " + sysfs(name, "bridge/forward_delay");
        dump += vlan_details(name) + "\n";
    }
    return dump;
}

std::string files_under(const std::string &documented) {
    std::vector<std::string> paths;
    std::error_code ec;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(at(documented), ec))
        if (entry.is_regular_file()) paths.push_back(entry.path().string());
    std::sort(paths.begin(), paths.end());
    std::string all;
    for (const std::string &path : paths) all += "== " + path + "\n" + read_file(path) + "\n";
    return all;
}

std::string binary_dir() { return KXNET_BINARY_DIR; }
std::string source_dir() { return KXNET_SOURCE_DIR; }

} // namespace kxtest::ns
