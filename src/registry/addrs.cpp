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

addr_parent *addr_parent_new(const char *device) {
    auto *parent = static_cast<addr_parent *>(std::calloc(1, sizeof(addr_parent)));
    if (parent == nullptr) return nullptr;
    copy_ifname(parent->name, device);
    list_init(parent->entries);
    return parent;
}

bool addr_entry_append(addr_parent &parent, const char *text) {
    auto *entry = static_cast<addr_entry *>(std::calloc(1, sizeof(addr_entry)));
    if (entry == nullptr) return false;
    std::strncpy(entry->text, text, sizeof entry->text - 1);
    list_append(parent.entries, entry->link);
    return true;
}

addr_parent *addr_add(const char *device, const char *text) {
    if (text == nullptr) return nullptr;
    addr_parent *parent = addr_find_parent(device);
    if (parent != nullptr) {
        if (addr_find(parent, text) != nullptr) return parent;
        return addr_entry_append(*parent, text) ? parent : nullptr;
    }
    parent = addr_parent_new(device);
    if (parent == nullptr) return nullptr;
    if (!addr_entry_append(*parent, text)) {
        std::free(parent);
        return nullptr;
    }
    list_append(registry_addrs(), parent->link);
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
