// The path table: every file the library touches outside /sys/class/net and
// /dev/urandom.  With KXNET_ROOT set, these paths are taken under that
// directory (a sandbox root); unset, they are exactly the documented ones.
#pragma once

#include <string>
#include <string_view>

namespace kx::paths {

inline constexpr std::string_view registry = "/etc/kx/kxnet.conf";
inline constexpr std::string_view registry_dir = "/etc/kx";
inline constexpr std::string_view log = "/var/log/kxnetcfg.log";
inline constexpr std::string_view lock = "/tmp/kxnetcfg.lck";
// Held while the lock file is replaced; in a directory only root may write.
inline constexpr std::string_view lock_guard = "/run/kxnetcfg.lck";
// Left by host stop, removed by host start (host_state.h).
inline constexpr std::string_view host_stopped_mark = "/run/kxnet.stopped";
inline constexpr std::string_view suse_release = "/etc/SuSE-release";
inline constexpr std::string_view ovs_module = "/sys/module/openvswitch";
inline constexpr std::string_view ifcfg_redhat_dir = "/etc/sysconfig/network-scripts";
inline constexpr std::string_view ifcfg_suse_dir = "/etc/sysconfig/network";
inline constexpr std::string_view proc_veth = "/proc/kx/veth";
inline constexpr std::string_view proc_vmth = "/proc/kx/vmth";
inline constexpr std::string_view proc_vlan_config = "/proc/net/vlan/config";
inline constexpr std::string_view kxctl_device = "/dev/kxctl";
inline constexpr std::string_view ovs_vsctl = "/usr/bin/ovs-vsctl";
inline constexpr std::string_view ip_tool = "/sbin/ip";
inline constexpr std::string_view platform_dir = "/etc/kxctl";
// The program search path of every child, whatever the caller's PATH.
inline constexpr std::string_view command_search = "/usr/sbin:/usr/bin:/sbin:/bin";
// Folders put before it when a sandbox root is set, where stand-ins live.
inline constexpr std::string_view sandbox_sbin = "/usr/sbin";
inline constexpr std::string_view sandbox_root_sbin = "/sbin";
// Printf pattern of a bridge's via-physical-device switch (container kernel).
inline constexpr std::string_view via_phys_dev_pattern = "/sys/class/net/%s/bridge/via_phys_dev";

// The sandbox root ("" when KXNET_ROOT is unset or empty).
std::string sandbox_root();

// A documented absolute path as the library must open it: under the
// sandbox root when one is set.
std::string rooted(std::string_view documented);

// "PATH=" and the search path of children: under a sandbox root its sbin
// folders first, then command_search.
std::string command_path_entry();

// The same path formed in a fixed buffer, for the places that must not
// allocate (the log, the host lock, first-use initialisation).  Empty when it
// does not fit, so opening it fails.
struct fixed_path {
    char text[4096];
    const char *c_str() const { return text; }
};
fixed_path rooted_fixed(std::string_view documented) noexcept;

} // namespace kx::paths
