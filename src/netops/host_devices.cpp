// Host start and stop: bringing every device the registry describes back into
// the kernel (VLAN devices, then each network's bridge with its interfaces)
// and taking them down again (bridges, then VLAN devices), the host-stopped
// mark cleared after a start and left before a stop.  Neither touches
// addresses, ifcfg files or the registry file; per-device failures are
// logged by the device code and skipped.
#include "devices/bridge_device.h"
#include "devices/ports.h"
#include "frame/frame.h"
#include "frame/host_state.h"
#include "frame/log.h"
#include "frame/state.h"
#include "kxnet_ct.h"
#include "netinfo/store.h"
#include "registry/model.h"
#include "registry/registry_file.h"
#include "sys/device_probe.h"
#include "vlan/naming.h"
#include "vlan/vlan_device.h"

#include <string>
#include <vector>

namespace kx {

namespace {

// One registry network as start and stop act on it.  The list is copied
// under registry_mutex and walked without it: creating a bridge re-attaches
// container interfaces, which takes that (non-recursive) mutex itself.
std::vector<network> registry_network_plans() {
    registry_guard guard;
    return {registry_networks().begin(), registry_networks().end()};
}

void restore_vlans(int sock) {
    for (const vlan_parent &parent : registry_vlans())
        for (const vlan_entry &entry : parent.entries())
            vlan_create_device(sock, parent.name().c_str(), static_cast<unsigned>(entry.vid));
}

// The bridge first; its further interfaces, then its physical interface,
// only when the bridge is there.
void restore_network(int sock, const network &plan) {
    const char *bridge = plan.bridge().c_str();
    if (bridge_create(sock, bridge, plan.network_id().c_str()) != 0) return;
    for (const std::string &iface : plan.ifaces())
        bridge_add_port(bridge, iface.c_str(), false, plan.preexisting());
    if (!plan.phys_iface().empty())
        bridge_add_port(bridge, plan.phys_iface().c_str(), true, plan.preexisting());
}

// Both walk the registry with the control socket held.
template <class Body> int with_registry_and_socket(Body &&body) {
    if (registry_load(report_conf_addr) != 0) return KXNET_ERR_SYSTEM;
    ctl_socket_holder hold;
    if (!hold) return KXNET_ERR_SYSTEM;
    return body(hold.socket());
}

int init_devices(int sock) {
    if (!registry_vlans().empty() && state().suse_flag != 0) {
        if (vlan_force_name_type(sock) != 0) return KXNET_ERR_SYSTEM;
        vlan_name_type() = 2;
    }
    restore_vlans(sock);
    for (const network &plan : registry_network_plans()) restore_network(sock, plan);
    clear_host_stopped();
    kxnet_log("Configured devices are restored");
    return KXNET_OK;
}

int destroy_devices(int sock) {
    // Marked before anything goes, so that no watcher takes the removals
    // for drift.
    mark_host_stopped();
    // Every registered bridge goes, preexisting ones included; only their
    // Open vSwitch link to the physical interface is kept.
    for (const network &plan : registry_network_plans())
        bridge_destroy(plan.bridge().c_str(), plan.phys_iface().c_str(), plan.preexisting() ? 1 : 0);
    for (const vlan_parent &parent : registry_vlans())
        for (const vlan_entry &entry : parent.entries()) vlan_delete_device(sock, entry.name.c_str());
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

extern "C" int kxnet_init_devices(void) noexcept {
    return kx::unlocked([] { return kx::with_registry_and_socket(kx::init_devices); });
}

extern "C" int kxnet_destroy_devices(void) noexcept {
    return kx::unlocked([] { return kx::with_registry_and_socket(kx::destroy_devices); });
}
