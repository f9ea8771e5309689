// The container kernel's via-physical-device switch of a bridge: its sysfs
// attribute, and the bridge private command 19 where the attribute is absent.
#include "devices/bridge_command.h"
#include "devices/ports.h"

#include "sys/device_probe.h"
#include "sys/error.h"
#include "sys/paths.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace kx {

namespace {

std::string via_phys_dev_path(const char *bridge) {
    std::string pattern = paths::rooted(paths::via_phys_dev_pattern);
    std::string path(pattern.size() + 64, '\0');
    int length = std::snprintf(path.data(), path.size(), pattern.c_str(), bridge);
    path.resize(length < 0 ? 0 : std::min<size_t>(static_cast<size_t>(length), path.size() - 1));
    return path;
}

// The attribute's old content as a number; empty when it holds no digits.
std::optional<int> parse_switch_value(const char *text) {
    char *end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text) return std::nullopt;
    return static_cast<int>(value);
}

int via_phys_dev_request(const char *bridge, bool on) {
    ctl_socket_holder sock;
    if (!sock) return failed_errno();
    bridge_command_block block{brctl_set_via_phys_dev, on ? 1u : 0u, 0, 0};
    return bridge_private_request(sock.socket(), bridge, block) < 0 ? failed_errno() : 0;
}

} // namespace

int set_via_phys_dev(const char *bridge, bool on, std::optional<int> *previous) {
    if (previous != nullptr) previous->reset();
    std::string path = via_phys_dev_path(bridge);
    char old[11] = {};
    ssize_t written = sysfs_write(path.c_str(), on ? "1" : "0", old, sizeof old - 1);
    if (written < 0) return via_phys_dev_request(bridge, on);
    if (previous != nullptr) *previous = parse_switch_value(old);
    return 0;
}

} // namespace kx
