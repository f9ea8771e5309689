// The ports of a Linux bridge: its sysfs brif directory in name order, or the
// legacy port-list request on kernels without that directory.
#include "devices/bridge_command.h"
#include "devices/ports.h"

#include "sys/device_probe.h"
#include "sys/dir_listing.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <net/if.h>
#include <string>

namespace kx {

namespace {

constexpr size_t legacy_port_max = 1024;

void legacy_port_walk(const char *bridge, bridge_port_callback callback, void *context) {
    std::array<int32_t, legacy_port_max> indices{};
    int count = 0;
    {
        ctl_socket_holder sock;
        if (!sock) return;
        bridge_command_block block{brctl_get_port_list, reinterpret_cast<uintptr_t>(indices.data()),
                                   legacy_port_max, 0};
        count = bridge_private_request(sock.socket(), bridge, block);
    }
    if (count <= 0) return;
    size_t ports = std::min(static_cast<size_t>(count), legacy_port_max);
    for (size_t i = 0; i < ports; ++i) {
        char name[IF_NAMESIZE] = {};
        if (indices[i] <= 0 || if_indextoname(static_cast<unsigned>(indices[i]), name) == nullptr) continue;
        callback(bridge, name, context);
    }
}

} // namespace

void for_each_bridge_port(const char *bridge, bridge_port_callback callback, void *context) {
    if (bridge == nullptr || callback == nullptr) return;
    // Kernel attributes are never taken under the sandbox root.
    std::string directory = "/sys/class/net/" + std::string(bridge) + "/brif";
    dir_listing list(directory.c_str());
    if (list.failed()) {
        if (errno == ENOENT) legacy_port_walk(bridge, callback, context);
        return;
    }
    for (int i = 0; i < list.size(); ++i)
        if (!is_dot_entry(list.name(i))) callback(bridge, list.name(i), context);
}

} // namespace kx
