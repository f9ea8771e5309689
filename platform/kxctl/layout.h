// Where the stand-in keeps its containers: configuration files under the
// platform directory, namespace files, and the container kernel's pair list.
// All are taken under KXNET_ROOT when it is set.  Shared by libkxctl and kxct.
#pragma once

#include <cstdint>
#include <stdlib.h>
#include <string>

namespace kxctl {

// The sandbox root ("" when KXNET_ROOT is unset, empty or "/").
inline std::string sandbox_root() {
    const char *root = secure_getenv("KXNET_ROOT");
    if (root == nullptr) return {};
    std::string value(root);
    while (value.size() > 1 && value.back() == '/') value.pop_back();
    if (value == "/") return {};
    return value;
}

inline std::string rooted(const std::string &documented) { return sandbox_root() + documented; }

inline std::string conf_dir() { return rooted("/etc/kxctl"); }
inline std::string conf_path(uint32_t ctid) { return conf_dir() + "/" + std::to_string(ctid) + ".conf"; }
// Namespace files, bind mounts of a container's network namespace; unrooted
// this is the directory `ip netns` uses.
inline std::string netns_dir() { return rooted("/run/netns"); }
inline std::string netns_name(uint32_t ctid) { return "kxct" + std::to_string(ctid); }
inline std::string netns_path(uint32_t ctid) { return netns_dir() + "/" + netns_name(ctid); }
inline std::string proc_veth_path() { return rooted("/proc/kx/veth"); }

} // namespace kxctl
