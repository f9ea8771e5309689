// The registry's VLAN devices: each underlying device with the VLAN ids the
// library created over it and the names those devices received.
#include "registry/model.h"

#include "frame/guarded.h"
#include "vlan/naming.h"

namespace kx {

vlan_parent *vlan_find_parent(const char *device) noexcept {
    return device != nullptr ? registry_vlans().find(device) : nullptr;
}

const vlan_entry *vlan_find(const vlan_parent *parent, int32_t vid) noexcept {
    return parent != nullptr ? parent->find(vid) : nullptr;
}

vlan_parent *vlan_add(const char *device, int32_t vid) noexcept {
    if (device == nullptr) return nullptr;
    return guarded(static_cast<vlan_parent *>(nullptr), [&] {
        return registry_vlans().add(device, vid, [vid](const std::string &parent) {
            char name[16];
            vlan_device_name(parent.c_str(), static_cast<unsigned>(vid), name);
            return vlan_entry{name, vid};
        });
    });
}

void vlan_remove(vlan_parent *parent, const vlan_entry *entry) noexcept {
    if (parent == nullptr || entry == nullptr) return;
    registry_vlans().remove_entry(parent, entry);
}

void vlans_clear() noexcept { registry_vlans().clear(); }

} // namespace kx
