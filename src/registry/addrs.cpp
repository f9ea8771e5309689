// The registry's configured addresses: each host device with the address
// texts the library configured on it, in the order given.
#include "registry/model.h"

#include "frame/guarded.h"

namespace kx {

namespace {

std::string kept_text(const char *text) { return std::string(std::string_view(text).substr(0, addr_text_max)); }

} // namespace

addr_parent *addr_find_parent(const char *device) noexcept {
    return device != nullptr ? registry_addrs().find(device) : nullptr;
}

const addr_entry *addr_find(const addr_parent *parent, const char *text) noexcept {
    if (parent == nullptr || text == nullptr) return nullptr;
    return guarded(static_cast<const addr_entry *>(nullptr), [&] { return parent->find(kept_text(text)); });
}

addr_parent *addr_add(const char *device, const char *text) noexcept {
    if (device == nullptr || text == nullptr) return nullptr;
    return guarded(static_cast<addr_parent *>(nullptr), [&] {
        std::string kept = kept_text(text);
        return registry_addrs().add(device, kept, [&](const std::string &) { return addr_entry{kept}; });
    });
}

void addr_parent_remove(addr_parent *parent) noexcept {
    if (parent != nullptr) registry_addrs().remove(parent);
}

void addrs_clear() noexcept { registry_addrs().clear(); }

} // namespace kx
