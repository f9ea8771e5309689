// Host start and stop: bringing every device the registry describes back into
// the kernel (VLAN devices, then each network's bridge with its interfaces)
// and taking them down again (bridges, then VLAN devices).  Neither touches
// addresses, ifcfg files or the registry file; per-device failures are logged
// by the device code and skipped.
#include "devices/bridge_device.h"
#include "devices/ports.h"
#include "frame/command.h"
#include "frame/frame.h"
#include "frame/log.h"
#include "frame/state.h"
#include "kxnet_ct.h"
#include "netinfo/store.h"
#include "registry/model.h"
#include "registry/registry_file.h"
#include "vlan/naming.h"
#include "vlan/vlan_device.h"

#include <array>
#include <string>
#include <vector>

namespace kx {

namespace {

using device_name = std::array<char, 16>;

// One registry network as start and stop act on it.  The list is copied
// under registry_mutex and walked without it: creating a bridge re-attaches
// container interfaces, which takes that (non-recursive) mutex itself.
struct network_plan {
    std::string network_id;
    device_name bridge;
    device_name phys_iface;
    std::vector<device_name> ifaces;
    bool preexisting;
};

device_name name_of(const char (&field)[16]) {
    device_name name{};
    for (size_t i = 0; i + 1 < name.size() && field[i] != '\0'; ++i) name[i] = field[i];
    return name;
}

std::vector<network_plan> registry_network_plans() {
    std::vector<network_plan> plans;
    registry_guard guard;
    for (kxnet_network *network : records<kxnet_network>(registry_networks().link)) {
        network_plan plan{network->network_id != nullptr ? network->network_id : "",
                          name_of(network->bridge), name_of(network->phys_iface), {},
                          network->preexisting != 0};
        for (kxnet_iface *iface : records<kxnet_iface>(network->ifaces))
            plan.ifaces.push_back(name_of(iface->name));
        plans.push_back(std::move(plan));
    }
    return plans;
}

void restore_vlans(int sock) {
    for (vlan_parent *parent : records<vlan_parent>(registry_vlans()))
        for (vlan_entry *entry : records<vlan_entry>(parent->entries))
            vlan_create_device(sock, parent->name, static_cast<unsigned>(entry->vid));
}

// The bridge first; its further interfaces, then its physical interface,
// only when the bridge is there.
void restore_network(int sock, const network_plan &plan) {
    const char *bridge = plan.bridge.data();
    if (bridge_create(sock, bridge, plan.network_id.c_str()) != 0) return;
    for (const device_name &iface : plan.ifaces)
        bridge_add_port(bridge, iface.data(), false, plan.preexisting);
    if (plan.phys_iface[0] != '\0') bridge_add_port(bridge, plan.phys_iface.data(), true, plan.preexisting);
}

int init_devices() {
    if (registry_load(report_conf_addr) != 0) return KXNET_ERR_SYSTEM;
    ctl_socket_holder hold;
    if (!hold) return KXNET_ERR_SYSTEM;
    int sock = hold.socket();

    if (!list_empty(registry_vlans()) && state().suse_flag != 0) {
        if (vlan_force_name_type(sock) != 0) return KXNET_ERR_SYSTEM;
        vlan_name_type() = 2;
    }
    restore_vlans(sock);
    for (const network_plan &plan : registry_network_plans()) restore_network(sock, plan);
    kxnet_log("Configured devices are restored");
    return KXNET_OK;
}

int destroy_devices() {
    if (registry_load(report_conf_addr) != 0) return KXNET_ERR_SYSTEM;
    ctl_socket_holder hold;
    if (!hold) return KXNET_ERR_SYSTEM;
    int sock = hold.socket();

    // Every registered bridge goes, preexisting ones included; only their
    // Open vSwitch link to the physical interface is kept.
    for (const network_plan &plan : registry_network_plans())
        bridge_destroy(plan.bridge.data(), plan.phys_iface.data(), plan.preexisting ? 1 : 0);
    for (vlan_parent *parent : records<vlan_parent>(registry_vlans()))
        for (vlan_entry *entry : records<vlan_entry>(parent->entries)) vlan_delete_device(sock, entry->name);
    kxnet_log("Configured devices are shut down");
    return KXNET_OK;
}

// Host start and stop take no host lock: the platform calls them alone.
template <class Body> int unlocked(Body &&body) {
    return guarded(int{KXNET_ERR_SYSTEM}, [&] {
        const int code = frame_result(init_libkxnet_state());
        return code != KXNET_OK ? code : body();
    });
}

} // namespace

} // namespace kx

extern "C" int kxnet_init_devices(void) noexcept { return kx::unlocked(kx::init_devices); }

extern "C" int kxnet_destroy_devices(void) noexcept { return kx::unlocked(kx::destroy_devices); }
