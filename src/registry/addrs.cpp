// The registry's configured addresses: each host device with the address
// texts the library configured on it, in the order given.
#include "registry/model.h"

#include "frame/command.h"

#include <cstdlib>
#include <cstring>

namespace kx {

namespace {

void free_addr_parent(addr_parent *parent) {
    for (addr_entry *entry : records<addr_entry>(parent->entries)) std::free(entry);
    std::free(parent);
}

} // namespace

addr_parent *addr_find_parent(const char *device) {
    for (addr_parent *parent : records<addr_parent>(registry_addrs()))
        if (same_name(parent->name, device)) return parent;
    return nullptr;
}

addr_entry *addr_find(addr_parent *parent, const char *text) {
    if (parent == nullptr) return nullptr;
    for (addr_entry *entry : records<addr_entry>(parent->entries))
        if (same_text(entry->text, text)) return entry;
    return nullptr;
}

addr_parent *addr_add(const char *device, const char *text) {
    if (text == nullptr) return nullptr;
    addr_parent *parent = addr_find_parent(device);
    bool created = parent == nullptr;
    if (created) {
        parent = static_cast<addr_parent *>(std::calloc(1, sizeof(addr_parent)));
        if (parent == nullptr) return nullptr;
        copy_ifname(parent->name, device);
        list_init(parent->entries);
    }
    if (addr_find(parent, text) != nullptr) return parent;
    auto *entry = static_cast<addr_entry *>(std::calloc(1, sizeof(addr_entry)));
    if (entry == nullptr) {
        if (created) std::free(parent);
        return nullptr;
    }
    std::strncpy(entry->text, text, sizeof entry->text - 1);
    list_append(parent->entries, entry->link);
    if (created) list_append(registry_addrs(), parent->link);
    return parent;
}

void addr_parent_remove(addr_parent *parent) {
    if (parent == nullptr) return;
    list_unlink(parent->link);
    free_addr_parent(parent);
}

void addrs_clear() {
    for (addr_parent *parent : records<addr_parent>(registry_addrs())) addr_parent_remove(parent);
}

} // namespace kx
