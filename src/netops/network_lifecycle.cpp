// Creating, removing and renaming a virtual network: the exported operations
// and their already-locked bodies.  A network is its registry entry, its
// bridge device and the bridge's ifcfg file; a rename also rewrites the
// container configurations bound to it.
#include "devices/bridge_device.h"
#include "frame/frame.h"
#include "frame/log.h"
#include "frame/names.h"
#include "ifcfg/ifcfg.h"
#include "kxctl.h"
#include "kxnet_ct.h"
#include "netinfo/store.h"
#include "netops/outcome_lines.h"
#include "netops/rename_walk.h"
#include "registry/model.h"
#include "registry/registry_file.h"
#include "sys/device_probe.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <net/if.h>

namespace kx {

namespace {

// An id the container-management library accepts and the registry line it
// is written into ("VNID_<bridge>=\"<id>\"") can carry.
bool valid_network_id(const char *network_id) {
    return network_id != nullptr && kxctl_is_networkid_valid(network_id) != 0 && registry_value_fits(network_id);
}

// A device named exactly like the network id (ids longer than a device name
// never are one).
bool network_id_names_device(const char *network_id) {
    return std::strlen(network_id) < IFNAMSIZ && bridge_exists(network_id);
}

// The ifcfg file of a network's bridge goes with the network.  An adopted
// bridge's file goes only when the library wrote it: otherwise it is the
// administrator's, who configured that bridge.
void remove_bridge_file(const char *bridge, bool preexisting) {
    if (preexisting)
        ifcfg_remove_if_written(bridge);
    else
        ifcfg_remove(bridge);
}

// Takes back a bridge and ifcfg file that new_network has just made.
void discard_bridge(const char *bridge, int preexisting) {
    if (preexisting == 0) bridge_destroy(bridge, nullptr, 1);
    remove_bridge_file(bridge, preexisting != 0);
}

// The bridge's ifcfg file, unless the network adopts a bridge that has one
// already: that file is its administrator's and stays as it is.
void write_bridge_file(const char *bridge, int preexisting) {
    if (preexisting != 0 && ifcfg_present(bridge)) return;
    guarded(-ENOMEM, [&] { return ifcfg_write_bridge(bridge); });
}

int new_network(const char *network_id, char *bridge_name) {
    if (!valid_network_id(network_id)) return KXNET_ERR_INVALID;
    if (registry_load(report_conf_addr) != 0) return KXNET_ERR_SYSTEM;
    ctl_socket_holder hold;
    if (!hold) return KXNET_ERR_SYSTEM;
    const int sock = hold.socket();
    if (network_find_by_id(network_id) != nullptr) return KXNET_ERR_EXISTS;

    char bridge[IFNAMSIZ];
    int preexisting = 0;
    int index = -1;
    if (bridge_name != nullptr && bridge_name[0] != '\0') {
        copy_ifname(bridge, bridge_name);
        if (!name_accepted(bridge)) return KXNET_ERR_INVALID;
        // A bridge already registered to another network is refused as well,
        // even when its device is gone: two entries cannot share a bridge.
        if (bridge_exists(bridge) || network_find_by_bridge(bridge) != nullptr)
            return KXNET_ERR_EXISTS;
    } else if (network_id_names_device(network_id)) {
        copy_ifname(bridge, network_id);
        if (network_find_by_bridge(bridge) != nullptr) return KXNET_ERR_EXISTS;
        preexisting = 1;
    } else {
        index = choose_bridge_index(sock);
        if (index < 0) return KXNET_ERR_SYSTEM;
        std::snprintf(bridge, sizeof bridge, "br%d", index);
    }

    if (preexisting == 0 && bridge_create(sock, bridge, network_id) != 0) return KXNET_ERR_SYSTEM;
    if (index >= 0) set_last_bridge_index(index);

    // The ifcfg file is a convenience for the host's scripts; its failure
    // changes nothing.  A network that cannot be recorded (or whose record
    // cannot be saved) is not reported as made: its new bridge goes again.
    write_bridge_file(bridge, preexisting);
    if (network_add_to_registry(network_id, bridge, preexisting) != 0 || registry_save() != 0) {
        discard_bridge(bridge, preexisting);
        return KXNET_ERR_SYSTEM;
    }

    if (bridge_name != nullptr && bridge_name[0] == '\0') std::memcpy(bridge_name, bridge, IFNAMSIZ);
    return KXNET_OK;
}

int delete_network(const char *network_id) {
    if (network_id == nullptr) return KXNET_ERR_INVALID;
    if (registry_load(report_conf_addr) != 0) {
        kxnet_log("Failed to read kxnet.conf");
        return KXNET_ERR_SYSTEM;
    }
    network *network = network_find_by_id(network_id);
    if (network == nullptr) return KXNET_ERR_NOT_FOUND;

    char bridge[IFNAMSIZ];
    copy_ifname(bridge, network->bridge().c_str());
    // The probe runs (and logs) whether or not the bridge was preexisting.
    if (bridge_exists(bridge) && !network->preexisting()) {
        const bridge_destroy_result destroyed = bridge_destroy(bridge, network->phys_iface().c_str(), 0);
        if (destroyed.error != 0) {
            kxnet_log("Failed to destroy bridge \"%s\", err = %d", bridge, destroyed.shown);
            return KXNET_ERR_SYSTEM;
        }
    }
    remove_bridge_file(bridge, network->preexisting());
    {
        registry_guard guard;
        network_remove(network);
    }
    // The bridge is gone already; the entry left behind is removed by a retry.
    return registry_save() != 0 ? KXNET_ERR_SYSTEM : KXNET_OK;
}

int rename_network(const char *current_id, const char *new_id) {
    if (new_id == nullptr || current_id == nullptr || !valid_network_id(current_id) ||
        !valid_network_id(new_id))
        return KXNET_ERR_INVALID;
    if (registry_load(report_conf_addr) != 0) return KXNET_ERR_SYSTEM;
    network *network = network_find_by_id(current_id);
    if (network == nullptr) return KXNET_ERR_NOT_FOUND;
    if (network_find_by_id(new_id) != nullptr) return KXNET_ERR_EXISTS;

    std::string renamed(new_id);
    {
        registry_guard guard;
        network->set_network_id(std::move(renamed));
    }
    // Containers are rebound only to a name the registry has kept.
    if (registry_save() != 0) return KXNET_ERR_SYSTEM;
    return rename_walk(current_id, new_id) != 0 ? KXNET_ERR_SYSTEM : KXNET_OK;
}

} // namespace

} // namespace kx

extern "C" int kxnet_br_new_SL(const char *network_id, char *bridge_name) noexcept {
    return kx::guarded(int{KXNET_ERR_SYSTEM}, [&] { return kx::new_network(network_id, bridge_name); });
}

extern "C" int kxnet_br_del_SL(const char *network_id) noexcept {
    return kx::guarded(int{KXNET_ERR_SYSTEM}, [&] { return kx::delete_network(network_id); });
}

extern "C" int kxnet_br_change_SL(const char *network_id, const char *new_network_id) noexcept {
    return kx::guarded(int{KXNET_ERR_SYSTEM},
                       [&] { return kx::rename_network(network_id, new_network_id); });
}

extern "C" int kxnet_br_new(const char *network_id, char *bridge_name) noexcept {
    return kx::framed_logged(kx::outcome::network_added, [&] { return kxnet_br_new_SL(network_id, bridge_name); },
                             kx::show(network_id));
}

extern "C" int kxnet_br_del(const char *network_id) noexcept {
    return kx::framed_logged(kx::outcome::network_removed, [&] { return kxnet_br_del_SL(network_id); },
                             kx::show(network_id));
}

extern "C" int kxnet_br_change(const char *network_id, const char *new_network_id) noexcept {
    return kx::framed_logged(
        kx::outcome::network_renamed, [&] { return kxnet_br_change_SL(network_id, new_network_id); },
        kx::show(network_id), kx::show(new_network_id));
}
