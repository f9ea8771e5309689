// Finding and pruning orphans.  The registry's names are read from its file
// (as check reads its VLAN lines): pruning holds the host lock itself, under
// which the library's own query would wait for ever.
#include "orphans.h"

#include "host_lock.h"
#include "kernel.h"

#include "frame/device_mark.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace kxnetctl {

namespace {

enum class ours { none, bridge, vlan };

bool starts_with(const std::string &text, const std::string &head) { return text.rfind(head, 0) == 0; }
bool ends_with(const std::string &text, const std::string &tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Which of the library's files `content` is, byte for byte, as the
// library writes it for `device` in this layout.
ours file_kind(const std::string &device, const std::string &content) {
    if (!suse_layout())
        return content == "BOOTPROTO=static\nDEVICE=" + device + "\nONBOOT=yes\nVLAN=yes\n" ? ours::vlan : ours::none;
    if (content == "BOOTPROTO='static'\nBRIDGE='yes'\nBRIDGE_PORTS=''\nSTARTMODE='auto'\nUSERCONTROL='no'\n") return ours::bridge;
    const std::string head = "BOOTPROTO='static'\nETHERDEVICE='", tail = "'\nSTARTMODE='auto'\nUSERCONTROL='no'\n";
    if (content.size() <= head.size() + tail.size() || !starts_with(content, head) || !ends_with(content, tail))
        return ours::none;
    const std::string parent = content.substr(head.size(), content.size() - head.size() - tail.size());
    return parent.find_first_of("'\n") == std::string::npos ? ours::vlan : ours::none;
}

struct registered_names {
    std::set<std::string> bridges;
    std::set<std::string> vlans;
};

// Every name a registered VLAN's device can have under the kernel's naming
// types, and the names its devices have now.
registered_names names_in_registry(const std::vector<vlan_device> &kernel) {
    registered_names names;
    for (const auto &bridge : registered_bridges()) names.bridges.insert(bridge);
    for (const auto &v : registered_vlans()) {
        char padded[8];
        std::snprintf(padded, sizeof padded, "%04u", v.id);
        for (const std::string &name : {v.parent + "." + std::to_string(v.id), v.parent + "." + padded,
                                        "vlan" + std::string(padded), "vlan" + std::to_string(v.id)})
            names.vlans.insert(name);
        for (const auto &k : kernel)
            if (k.parent == v.parent && k.id == v.id) names.vlans.insert(k.name);
    }
    return names;
}

bool is_vlan_device(const std::string &name, const std::vector<vlan_device> &kernel) {
    for (const auto &k : kernel)
        if (k.name == name) return true;
    return false;
}

const char *const prune_hint = "kxnetctl check --repair --prune removes it";
const char *const unmarked_hint =
    "not pruned: not made by kxnet (an adopted device, or one made before the mark); remove it by hand if unwanted";

// A device --prune may remove: one the library marked when it made it.
enum mend prune_mend(const std::string &device) {
    return kx::device_marked_ours(device.c_str()) ? mend::prune : mend::none;
}
const char *hint_of(enum mend m) { return m == mend::prune ? prune_hint : unmarked_hint; }
// A VLAN is never adopted: unmarked, it is one a call killed between making
// it and marking it left.  The file, ours, goes; the device stays.
const char *const unmarked_vlan_hint =
    "kxnetctl check --repair --prune removes the file; the device stays, as kxnet did not mark it (made before the mark)";

std::optional<finding> orphan_of(const std::string &device, const registered_names &names,
                                 const std::vector<vlan_device> &kernel) {
    const std::string path = ifcfg_path(device);
    auto content = read_text(path);
    if (!content) return std::nullopt;
    switch (file_kind(device, *content)) {
    case ours::none: return std::nullopt;
    case ours::bridge:
        if (names.bridges.count(device) != 0) return std::nullopt;
        if (is_bridge(device)) {
            const enum mend m = prune_mend(device);
            return finding{"orphan-bridge", device, "bridge " + device + " carries the library's ifcfg file " + path + " but no network names it",
                           "bridge " + device + " carried the library's ifcfg file but no network", "", "", m, hint_of(m)};
        }
        break;
    case ours::vlan:
        if (names.vlans.count(device) != 0) return std::nullopt;
        if (is_vlan_device(device, kernel)) {
            const bool marked = kx::device_marked_ours(device.c_str());
            return finding{"orphan-vlan", device, "VLAN device " + device + " carries the library's ifcfg file " + path + " but is not registered",
                           "VLAN device " + device + " carried the library's ifcfg file but was not registered", "", "",
                           mend::prune, marked ? prune_hint : unmarked_vlan_hint};
        }
        break;
    }
    return finding{"orphan-ifcfg", device, "ifcfg file " + path + " is the library's but the registry has no " + device,
                   "ifcfg file " + path + " was the library's but the registry had no " + device, "", "", mend::prune, prune_hint};
}

bool is_library_vlan_file(const std::string &device) {
    auto content = read_text(ifcfg_path(device));
    return content && file_kind(device, *content) == ours::vlan;
}

} // namespace

std::vector<finding> find_orphans() {
    std::vector<finding> found;
    const auto devices = ifcfg_devices();
    // The kernel's VLANs cost a run of ip: asked for only when some file is
    // one the library writes for a VLAN.
    const bool vlan_files = std::any_of(devices.begin(), devices.end(), is_library_vlan_file);
    const auto kernel = vlan_files ? kernel_vlans() : std::vector<vlan_device>{};
    const registered_names names = names_in_registry(kernel);
    for (const auto &device : devices)
        if (auto orphan = orphan_of(device, names, kernel)) found.push_back(std::move(*orphan));
    return found;
}

bool prune_orphan(const finding &orphan) {
    host_lock lock;
    if (!lock.held()) return false;
    const auto kernel = kernel_vlans();
    auto again = orphan_of(orphan.subject, names_in_registry(kernel), kernel);
    // Under the lock, again: still an orphan.  Only a device still marked ours
    // is removed (an unmarked VLAN loses the file alone).
    if (!again || again->kind != orphan.kind || !again->orphan()) return false;
    const bool device = orphan.kind == "orphan-bridge" || orphan.kind == "orphan-vlan";
    const bool ours = device && kx::device_marked_ours(orphan.subject.c_str());
    if (ours && !delete_device(orphan.subject)) return false;
    std::remove(ifcfg_path(orphan.subject).c_str());
    return !(ours && device_exists(orphan.subject)) && !file_exists(ifcfg_path(orphan.subject));
}

} // namespace kxnetctl
