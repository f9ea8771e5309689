// The registry's VLAN devices: each underlying device with the VLAN ids the
// library created over it and the names those devices received.
#include "registry/model.h"

#include "frame/command.h"
#include "vlan/naming.h"

#include <cstdlib>

namespace kx {

vlan_parent *vlan_find_parent(const char *device) {
    for (vlan_parent *parent : records<vlan_parent>(registry_vlans()))
        if (same_name(parent->name, device)) return parent;
    return nullptr;
}

vlan_entry *vlan_find(vlan_parent *parent, int32_t vid) {
    if (parent == nullptr) return nullptr;
    for (vlan_entry *entry : records<vlan_entry>(parent->entries))
        if (entry->vid == vid) return entry;
    return nullptr;
}

vlan_parent *vlan_parent_new(const char *device) {
    auto *parent = static_cast<vlan_parent *>(std::calloc(1, sizeof(vlan_parent)));
    if (parent == nullptr) return nullptr;
    copy_ifname(parent->name, device);
    list_init(parent->entries);
    return parent;
}

bool vlan_entry_append(vlan_parent &parent, int32_t vid) {
    auto *entry = static_cast<vlan_entry *>(std::calloc(1, sizeof(vlan_entry)));
    if (entry == nullptr) return false;
    vlan_device_name(parent.name, static_cast<unsigned>(vid), entry->name);
    entry->vid = vid;
    list_append(parent.entries, entry->link);
    return true;
}

vlan_parent *vlan_add(const char *device, int32_t vid) {
    vlan_parent *parent = vlan_find_parent(device);
    if (parent != nullptr) {
        if (vlan_find(parent, vid) != nullptr) return parent;
        return vlan_entry_append(*parent, vid) ? parent : nullptr;
    }
    parent = vlan_parent_new(device);
    if (parent == nullptr) return nullptr;
    if (!vlan_entry_append(*parent, vid)) {
        std::free(parent);
        return nullptr;
    }
    list_append(registry_vlans(), parent->link);
    return parent;
}

void vlan_remove(vlan_parent *parent, vlan_entry *entry) {
    if (parent == nullptr || entry == nullptr) return;
    list_unlink(entry->link);
    std::free(entry);
    if (list_empty(parent->entries)) {
        list_unlink(parent->link);
        std::free(parent);
    }
}

void vlans_clear() {
    for (vlan_parent *parent : records<vlan_parent>(registry_vlans())) {
        for (vlan_entry *entry : records<vlan_entry>(parent->entries)) std::free(entry);
        list_unlink(parent->link);
        std::free(parent);
    }
}

} // namespace kx
