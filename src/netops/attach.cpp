// Putting a host interface into a virtual network and taking it out again:
// the exported attach and detach operations and their already-locked
// bodies.  What the interface is and where it sits comes from a fresh
// snapshot of the host; the network comes from the registry that snapshot
// has just loaded.
#include "devices/offloads.h"
#include "devices/ports.h"
#include "frame/frame.h"
#include "frame/log.h"
#include "frame/names.h"
#include "frame/state.h"
#include "kxctl.h"
#include "kxnet_ct.h"
#include "netops/outcome_lines.h"
#include "registry/model.h"
#include "registry/registry_file.h"
#include "sys/device_probe.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <net/if.h>

namespace kx {

namespace {

// The kinds an interface of a network can have: physical, VLAN, pair, vnic.
constexpr int attachable_kinds = KXNETIF_ETH | KXNETIF_VLAN | KXNETIF_VETH | KXNETIF_VNIC;
static_assert(attachable_kinds == 58);
// Every information flag: addresses, and the registry pass that reloads the
// registry the operation then reads.
constexpr uint32_t all_info_flags = 0xffffffffu;

struct filter_release {
    void operator()(kxnet_filter *filter) const { kxnet_release_filter(filter); }
};
struct snapshot_release {
    void operator()(kxnetif_info_list *list) const { kxnet_release_info_SL(list); }
};
using snapshot = std::unique_ptr<kxnetif_info_list, snapshot_release>;

bool is_network_id(const char *network_id) {
    return network_id != nullptr && kxctl_is_networkid_valid(network_id) != 0;
}

// Takes the snapshot of host interface `name` into `taken`: 0, or
// KXNET_ERR_SYSTEM when no filter could be made.  `taken` stays empty when
// the query itself failed.
int take_snapshot(const char *name, snapshot &taken) {
    std::unique_ptr<kxnet_filter, filter_release> filter(
        kxnet_get_simple_filter(attachable_kinds, nullptr, nullptr, name, 0, 0));
    if (!filter) return KXNET_ERR_SYSTEM;
    taken.reset(kxnet_get_info_SL(all_info_flags, filter.get()));
    return 0;
}

// The record of host interface `name`, from a snapshot held in `taken`
// (only its first record is looked at): KXNET_OK, KXNET_ERR_NOT_FOUND when
// the snapshot has none, or KXNET_ERR_SYSTEM.
int record_of(const char *name, snapshot &taken, const kxnetif_info *&record) {
    if (int err = take_snapshot(name, taken); err != 0) return err;
    record = taken ? taken->items[0] : nullptr;
    return record != nullptr ? KXNET_OK : KXNET_ERR_NOT_FOUND;
}

// In a network, or (for a Linux bridge) a port of any bridge.  Open vSwitch
// bridges hold the network's own plumbing, so there only the network counts.
bool counts_as_attached(const kxnetif_info &record) {
    return record.network_id != nullptr || (state().ovs_enabled == 0 && record.bridge != nullptr);
}

// Pair and vnic devices follow their container and move between networks.
bool moves_between_networks(int kind) { return kind == KXNETIF_VETH || kind == KXNETIF_VNIC; }

void copy_to_port(const char *bridge, const char *port, void *config) {
    copy_offloads_to_port(bridge, port, *static_cast<const hwcs_config *>(config));
}

// A physical interface hands its offload settings to the bridge's current
// ports; a pair device takes those of the network's physical interface.
void align_offloads(const network &network, const char *name, int kind) {
    hwcs_config config;
    if (kind == KXNETIF_ETH) {
        get_if_hwcscfg(name, config);
        for_each_bridge_port(network.bridge().c_str(), copy_to_port, &config);
    } else if (kind == KXNETIF_VETH && !network.preexisting() && !network.phys_iface().empty()) {
        get_if_hwcscfg(network.phys_iface().c_str(), config);
        set_if_hwcscfg(name, config);
    }
}

// What the snapshot says of the interface, as far as the attach decides on
// it: the interface's kind, or a result code.
struct attach_check {
    int code = KXNET_OK;
    int kind = KXNETIF_UNKNOWN;
};

// Whether the network's bridge device is there to take a port.  Without
// it the port request would meet ENODEV, which counts as a port that
// vanished: an attach must not pass for done with the interface in no bridge.
// Asked quietly (the existence probe logs a line each time); a probe that
// fails for any other reason lets the attach go on as before.
bool bridge_present(const network &network) {
    if (if_nametoindex(network.bridge().c_str()) != 0 || errno != ENODEV) return true;
    kxnet_log("Bridge \"%s\" of network \"%s\" does not exist", show(network.bridge().c_str()),
              show(network.network_id().c_str()));
    return false;
}

attach_check check_interface(const char *network_id, const char *name) {
    snapshot taken;
    const kxnetif_info *record = nullptr;
    if (int code = record_of(name, taken, record); code != KXNET_OK) return {code};
    if (counts_as_attached(*record)) {
        if (!moves_between_networks(record->type)) return {KXNET_ERR_BUSY};
        // A move to a network that is not registered, or whose bridge is
        // gone, would only take the device out of its current one; the same
        // failure follows below, with the device left where it was.
        const network *target = network_find_by_id(network_id);
        if (record->hwaddr != nullptr && target != nullptr) {
            if (!bridge_present(*target)) return {KXNET_ERR_NOT_FOUND};
            kxnet_br_detach_SL(name);
        }
    }
    if (record->hwaddr == nullptr) return {KXNET_ERR_INVALID};
    return {KXNET_OK, record->type};
}

// Takes a host interface back out of the network, by the road
// bridge_add_port took it in: the Linux bridge's port request (the device
// counts as a vnic there: port removed, via-physical-device switched off),
// or the Open vSwitch link through a pair.
void remove_host_port(const network &network, const char *name) {
    if (network.preexisting() || state().ovs_enabled == 0)
        bridge_remove_port(network.bridge().c_str(), name, KXNETIF_VNIC);
    else
        ovs_unlink_phys(network.bridge().c_str(), name);
}

int attach_interface(const char *network_id, const char *name) {
    if (!name_accepted(name) || !is_network_id(network_id)) return KXNET_ERR_INVALID;
    const attach_check checked = check_interface(network_id, name);
    if (checked.code != KXNET_OK) return checked.code;
    const int kind = checked.kind;

    network *network = network_find_by_id(network_id);
    if (network == nullptr) return KXNET_ERR_NOT_FOUND;
    if (kind != KXNETIF_VETH && !network->phys_iface().empty()) return KXNET_ERR_EXISTS;
    if (!bridge_present(*network)) return KXNET_ERR_NOT_FOUND;

    align_offloads(*network, name, kind);
    const bool host_interface = kind != KXNETIF_VETH;
    if (bridge_add_port(network->bridge().c_str(), name, host_interface, network->preexisting()) != 0)
        return KXNET_ERR_SYSTEM;
    if (!host_interface) {
        set_device_up(0, name);
        return KXNET_OK;
    }
    {
        registry_guard guard;
        network->set_phys_iface(name);
    }
    if (registry_save() != 0) {
        // An uplink the registry does not know of would never be restored.
        remove_host_port(*network, name);
        return KXNET_ERR_SYSTEM;
    }
    return KXNET_OK;
}

// Puts host interface `name` back into `bridge`, which detach_interface
// took it out of: into its network's bridge by the road attach_interface
// took, into any other by the bridge's own kind.
void restore_port(const char *bridge, const network &network, const char *name) {
    const bool own_bridge = network.bridge() == bridge;
    bridge_add_port(bridge, name, true, own_bridge ? network.preexisting() : is_linux_bridge(bridge));
}

// Takes `name` out of whatever bridge the snapshot shows it in: its kind,
// the bridge it left ("" when none), or a result code.
struct detach_check {
    int code = KXNET_OK;
    int kind = KXNETIF_UNKNOWN;
    char bridge[IFNAMSIZ] = "";
};

detach_check leave_bridge(const char *name) {
    snapshot taken;
    const kxnetif_info *record = nullptr;
    if (int code = record_of(name, taken, record); code != KXNET_OK) return {code};
    if (record->hwaddr == nullptr) return {KXNET_ERR_INVALID};
    detach_check left{KXNET_OK, record->type};
    if (record->bridge == nullptr) return left;
    if (int error = bridge_remove_port(record->bridge, name, left.kind); error != 0)
        return {error == -ENOENT ? KXNET_ERR_NOT_FOUND : KXNET_ERR_SYSTEM};
    copy_ifname(left.bridge, record->bridge);
    return left;
}

int detach_interface(const char *name) {
    if (!name_accepted(name)) return KXNET_ERR_INVALID;
    const detach_check left = leave_bridge(name);
    if (left.code != KXNET_OK) return left.code;
    // Pair devices are never registered: their containers' configurations
    // name their networks.
    if (left.kind == KXNETIF_VETH) return KXNET_OK;
    network *network = network_find_by_iface(name);
    if (network == nullptr) return KXNET_OK;
    {
        registry_guard guard;
        network_iface_remove(network, name);
    }
    if (registry_save() == 0) return KXNET_OK;
    // The registry still names the interface: it goes back where it was, or
    // a retried detach would find nothing to do and a re-attach EXISTS.
    if (left.bridge[0] != '\0') restore_port(left.bridge, *network, name);
    return KXNET_ERR_SYSTEM;
}

} // namespace

} // namespace kx

extern "C" int kxnet_br_attach_SL(const char *network_id, const char *name) noexcept {
    return kx::guarded(int{KXNET_ERR_SYSTEM}, [&] { return kx::attach_interface(network_id, name); });
}

extern "C" int kxnet_br_detach_SL(const char *name) noexcept {
    return kx::guarded(int{KXNET_ERR_SYSTEM}, [&] { return kx::detach_interface(name); });
}

extern "C" int kxnet_br_attach_CT(const char *network_id, const char *name) noexcept {
    return kx::framed_logged(
        kx::outcome::interface_attached, [&] { return kxnet_br_attach_SL(network_id, name); }, kx::show(name),
        kx::show(network_id));
}

extern "C" int kxnet_br_detach_CT(const char *name) noexcept {
    return kx::framed_logged(kx::outcome::interface_detached, [&] { return kxnet_br_detach_SL(name); },
                             kx::show(name));
}

// The older names of the two operations: the same functions, exported twice.
extern "C" int kxnet_br_attach(const char *network_id, const char *name) noexcept
    __attribute__((alias("kxnet_br_attach_CT")));
extern "C" int kxnet_br_detach(const char *name) noexcept __attribute__((alias("kxnet_br_detach_CT")));
