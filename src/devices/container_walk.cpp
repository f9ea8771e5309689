// Read-only walk over one container's configured virtual Ethernet interfaces
// through the container-management library.
#include "devices/bridge_device.h"

#include "frame/kxctl_owned.h"

#include <memory>

namespace kx {

namespace {


} // namespace

void walk_container_interfaces(uint32_t ctid, container_interface_callback callback,
                               void *context) {
    kxctl_open();
    char path[512] = {};
    if (kxctl_get_env_conf_path(ctid, path, sizeof path) != 0) return;
    kxctl_conf_ptr conf(kxctl_conf_open(path, KXCTL_CONF_READ));
    if (!conf) return;
    if (kxctl_conf_parse(ctid, conf.get()) != 0) return;
    // Declared after the handle, so the parameters are freed before it closes.
    kxctl_param_ptr param(kxctl_conf_get_env_param(conf.get()));
    if (!param || param->veth_list == nullptr || callback == nullptr) return;
    for (kxctl_link *at = param->veth_list->next; at != param->veth_list; at = at->next)
        if (callback(reinterpret_cast<kxctl_veth *>(at), context) != 0) break;
}

} // namespace kx
