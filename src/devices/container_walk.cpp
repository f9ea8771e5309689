// Read-only walk over one container's configured virtual Ethernet interfaces
// through the container-management library.
#include "devices/bridge_device.h"

#include "frame/container_conf.h"

namespace kx {

namespace {

constexpr std::size_t conf_path_size = 512;

} // namespace

void walk_container_interfaces(uint32_t ctid, container_interface_callback callback,
                               void *context) {
    kxctl_open();
    std::optional<container_conf> conf = open_container_conf(ctid, conf_path_size, KXCTL_CONF_READ);
    if (!conf || callback == nullptr) return;
    for_each_container_veth(*conf->param, [&](kxctl_veth &entry) { return callback(&entry, context); });
}

} // namespace kx
