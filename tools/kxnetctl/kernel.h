// What the kernel and the host's files say, read without the library: device
// existence, state and bridge membership from sysfs, VLAN devices from
// `ip -j -d link`, Open vSwitch ports from `ovs-vsctl`, and the paths of
// ifcfg files and the registry under the sandbox root (KXNET_ROOT).
#pragma once

#include "program.h"
#include "sys/paths.h"

#include <optional>
#include <string>
#include <vector>

namespace kxnetctl {

bool device_exists(const std::string &name);
bool device_up(const std::string &name);
// A Linux bridge, or an Open vSwitch bridge the switch knows.
bool is_bridge(const std::string &name);
// Deletes a device the way `ip link delete` (or, for a switch bridge,
// `ovs-vsctl del-br`) does; true when it is gone.
bool delete_device(const std::string &name);
// The bridge `port` is a port of (a Linux bridge's name, or the Open vSwitch
// bridge that holds the port), "" when none.
std::string bridge_of_port(const std::string &port);

struct vlan_device {
    std::string name;
    std::string parent;
    unsigned id = 0;
};
std::vector<vlan_device> kernel_vlans();

// The log and the lock file the library uses, for messages.
inline std::string library_log() { return kx::paths::rooted(kx::paths::log); }
inline std::string library_lock() { return kx::paths::rooted(kx::paths::lock); }
// The ifcfg path of a device in the layout the library writes (SuSE layout
// when /etc/SuSE-release exists).
std::string ifcfg_path(const std::string &device);
bool suse_layout();

struct registered_vlan {
    std::string parent;
    unsigned id = 0;
};
// The registered VLANs, networks' bridges and devices with configured
// addresses, by the library's own registry reader, which takes no lock (the
// caller decides).  The query interface has no call that lists VLANs.
std::vector<registered_vlan> registered_vlans();
std::vector<std::string> registered_bridges();
std::vector<std::string> registered_address_devices();
// The configured address texts of `device`, in registry order.
std::vector<std::string> registered_addresses(const std::string &device);
// The devices that have an ifcfg file in the layout's directory.
std::vector<std::string> ifcfg_devices();

bool file_exists(const std::string &path);
std::optional<std::string> read_text(const std::string &path);

// An IPv4 address text with its prefix: "10.0.0.5" and "10.0.0.5/32" name
// the same address, and so do prefixes out of range, which the library turns
// into 32 as well.
std::string address_with_prefix(const std::string &text);

} // namespace kxnetctl
