// Kernel and file reads for check and for the failure messages.
#include "kernel.h"

#include "registry/model.h"
#include "registry/registry_file.h"
#include "sys/paths.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace kxnetctl {

namespace {

std::string sys_net(const std::string &device, const std::string &attribute = "") {
    return "/sys/class/net/" + device + (attribute.empty() ? "" : "/" + attribute);
}

bool path_exists(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

} // namespace

bool device_exists(const std::string &name) { return !name.empty() && path_exists(sys_net(name)); }

bool file_exists(const std::string &path) { return path_exists(path); }

std::optional<std::string> read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool is_bridge(const std::string &name) {
    if (!device_exists(name)) return false;
    if (path_exists(sys_net(name, "bridge"))) return true;
    return run_program({"ovs-vsctl", "br-exists", name}).has_value();
}

bool delete_device(const std::string &name) {
    if (path_exists(sys_net(name, "bridge")) || !run_program({"ovs-vsctl", "br-exists", name}))
        run_program({"ip", "link", "delete", "dev", name});
    else
        run_program({"ovs-vsctl", "--if-exists", "del-br", name});
    return !device_exists(name);
}

bool device_up(const std::string &name) {
    std::ifstream in(sys_net(name, "flags"));
    std::string text;
    if (!(in >> text)) return false;
    return (std::strtoul(text.c_str(), nullptr, 16) & 1u) != 0;
}

std::string bridge_of_port(const std::string &port) {
    char target[PATH_MAX] = {};
    ssize_t n = readlink(sys_net(port, "master").c_str(), target, sizeof target - 1);
    if (n < 0) return "";
    std::string master(target, static_cast<size_t>(n));
    master = master.substr(master.rfind('/') + 1);
    if (master != "ovs-system") return master;
    auto bridge = run_program({"ovs-vsctl", "port-to-br", port});
    if (!bridge) return master;
    while (!bridge->empty() && (bridge->back() == '\n' || bridge->back() == ' ')) bridge->pop_back();
    return *bridge;
}

std::string address_with_prefix(const std::string &text) {
    size_t slash = text.find('/');
    int prefix = 32;
    if (slash != std::string::npos) {
        char *end = nullptr;
        long value = std::strtol(text.c_str() + slash + 1, &end, 10);
        if (value >= 0 && value <= 32) prefix = static_cast<int>(value);
    }
    return text.substr(0, slash) + "/" + std::to_string(prefix);
}

std::vector<vlan_device> kernel_vlans() {
    std::vector<vlan_device> vlans;
    auto text = run_program({"ip", "-j", "-d", "link", "show", "type", "vlan"});
    if (!text) return vlans;
    auto links = nlohmann::json::parse(*text, nullptr, false);
    if (!links.is_array()) return vlans;
    for (const auto &link : links) {
        const auto &data = link.value("linkinfo", nlohmann::json::object()).value("info_data", nlohmann::json::object());
        if (!link.contains("ifname") || !data.contains("id")) continue;
        vlans.push_back({link.value("ifname", ""), link.value("link", ""), data.value("id", 0u)});
    }
    return vlans;
}

bool suse_layout() { return path_exists(kx::paths::rooted(kx::paths::suse_release)); }

std::string ifcfg_path(const std::string &device) {
    return kx::paths::rooted(suse_layout() ? kx::paths::ifcfg_suse_dir : kx::paths::ifcfg_redhat_dir) + "/ifcfg-" + device;
}

namespace {

// The registry as the library reads it, with registry_mutex held: what
// `read` collects, empty when there is no registry or it cannot be read.
template <class Collect> auto from_registry(Collect &&read) {
    decltype(read()) collected;
    if (kx::registry_load() != 0) return collected;
    kx::registry_guard guard;
    return read();
}

} // namespace

std::vector<registered_vlan> registered_vlans() {
    return from_registry([] {
        std::vector<registered_vlan> vlans;
        for (const auto &parent : kx::registry_vlans())
            for (const auto &entry : parent.entries()) vlans.push_back({parent.name(), static_cast<unsigned>(entry.vid)});
        return vlans;
    });
}

std::vector<std::string> registered_bridges() {
    return from_registry([] {
        std::vector<std::string> bridges;
        for (const auto &n : kx::registry_networks()) bridges.push_back(n.bridge());
        return bridges;
    });
}

std::vector<std::string> registered_addresses(const std::string &device) {
    return from_registry([&] {
        std::vector<std::string> texts;
        for (const auto &parent : kx::registry_addrs())
            if (parent.name() == device)
                for (const auto &entry : parent.entries()) texts.push_back(entry.text);
        return texts;
    });
}

std::vector<std::string> registered_address_devices() {
    return from_registry([] {
        std::vector<std::string> devices;
        for (const auto &parent : kx::registry_addrs()) devices.push_back(parent.name());
        return devices;
    });
}

std::vector<std::string> ifcfg_devices() {
    std::vector<std::string> devices;
    const std::string dir = ifcfg_path("");
    std::unique_ptr<DIR, int (*)(DIR *)> listing(opendir(dir.substr(0, dir.rfind('/')).c_str()), closedir);
    if (!listing) return devices;
    while (const dirent *entry = readdir(listing.get())) {
        std::string name = entry->d_name;
        if (name.rfind("ifcfg-", 0) == 0 && name.size() > 6) devices.push_back(name.substr(6));
    }
    std::sort(devices.begin(), devices.end());
    return devices;
}

} // namespace kxnetctl
