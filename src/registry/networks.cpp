// The registry's networks: the network record and its interfaces, the
// searches of a network list, and the changes the operations make on the
// registry list.
#include "registry/model.h"

#include "frame/guarded.h"
#include "frame/log.h"

#include <algorithm>
#include <cerrno>

namespace kx {

void network::remove_iface(std::string_view name) noexcept {
    const std::string_view kept = field_name(name);
    if (phys_iface_ == kept) {
        phys_iface_.clear();
        if (!ifaces_.empty()) {
            phys_iface_.swap(ifaces_.front());
            ifaces_.erase(ifaces_.begin());
        }
        return;
    }
    auto found = std::find(ifaces_.begin(), ifaces_.end(), kept);
    if (found != ifaces_.end()) ifaces_.erase(found);
}

bool network::holds_iface(std::string_view name) const noexcept {
    const std::string_view kept = field_name(name);
    return phys_iface_ == kept || std::find(ifaces_.begin(), ifaces_.end(), kept) != ifaces_.end();
}

network *network_list::find_by_id(std::string_view network_id) noexcept {
    for (network &record : *this)
        if (record.network_id() == network_id) return &record;
    return nullptr;
}

network *network_list::find_by_iface(std::string_view name) noexcept {
    for (network &record : *this)
        if (record.holds_iface(name)) return &record;
    return nullptr;
}

network *network_add(network_list &list, const char *network_id, const char *bridge,
                     int preexisting) noexcept {
    if (network_id == nullptr) return nullptr;
    return guarded(static_cast<network *>(nullptr), [&] {
        network &added = list.append(network_id, bridge != nullptr ? bridge : "", preexisting != 0);
        kxnet_log("Network '%s' with %s bridge '%s' added", network_id, preexisting ? "linux" : "",
                  show(bridge));
        return &added;
    });
}

int network_add_to_registry(const char *network_id, const char *bridge, int preexisting) noexcept {
    if (network_id == nullptr) return -EINVAL;
    return network_add(registry_networks(), network_id, bridge, preexisting) != nullptr ? 0 : -ENOMEM;
}

network *network_find_by_id(const char *network_id) noexcept {
    if (network_id == nullptr) return nullptr;
    registry_guard guard;
    return registry_networks().find_by_id(network_id);
}

network *network_find_by_bridge(const char *bridge) noexcept {
    if (bridge == nullptr) return nullptr;
    registry_guard guard;
    return registry_networks().find_by_bridge(bridge);
}

network *network_find_by_iface(network_list &list, const char *name) noexcept {
    return name != nullptr ? list.find_by_iface(name) : nullptr;
}

network *network_find_by_iface(const char *name) noexcept {
    registry_guard guard;
    return network_find_by_iface(registry_networks(), name);
}

int network_iface_add(network *record, const char *name) noexcept {
    if (record == nullptr || name == nullptr) return 0;
    return guarded(-ENOMEM, [&] {
        record->add_iface(name);
        return 0;
    });
}

void network_iface_remove(network *record, const char *name) noexcept {
    if (record != nullptr && name != nullptr) record->remove_iface(name);
}

void network_remove(network *record) noexcept { registry_networks().remove(record); }

void networks_clear() noexcept {
    registry_guard guard;
    registry_networks().clear();
}

} // namespace kx
