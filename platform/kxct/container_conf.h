// A container's configuration as kxct reads and writes it, through libkxctl.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kxct {

struct veth_conf {
    std::string host_dev;
    std::string network; // "" when bound to no network
};

struct container_conf {
    std::string root;
    std::vector<veth_conf> veths;
};

// The configuration of ctid, or nullopt (with a message on stderr).
std::optional<container_conf> load_conf(uint32_t ctid);
// Writes a new configuration for ctid; false with a message on failure.
bool save_new_conf(uint32_t ctid, const container_conf &conf);

} // namespace kxct
