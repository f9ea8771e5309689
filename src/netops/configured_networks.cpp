// The exported query of the configured networks: a private copy of the
// registry's networks, loaded afresh under the exclusive host lock.
#include "frame/frame.h"
#include "kxnet_ct.h"
#include "netinfo/store.h"
#include "registry/model.h"
#include "registry/registry_file.h"

#include <cstdlib>
#include <cstring>

namespace kx {

namespace {

// A copy of `source` without `preexisting`; null when memory is short.
kxnet_network *copy_network(const kxnet_network &source) {
    auto *copy = static_cast<kxnet_network *>(std::calloc(1, sizeof(kxnet_network)));
    if (copy == nullptr) return nullptr;
    list_init(copy->ifaces);
    copy->network_id = strdup(source.network_id);
    std::memcpy(copy->bridge, source.bridge, sizeof copy->bridge);
    std::memcpy(copy->phys_iface, source.phys_iface, sizeof copy->phys_iface);
    bool complete = copy->network_id != nullptr;
    auto &ifaces = const_cast<kxnet_link &>(source.ifaces);
    for (kxnet_iface *iface : records<kxnet_iface>(ifaces)) {
        if (!complete) break;
        auto *entry = static_cast<kxnet_iface *>(std::calloc(1, sizeof(kxnet_iface)));
        if (entry == nullptr) {
            complete = false;
            break;
        }
        std::memcpy(entry->name, iface->name, sizeof entry->name);
        list_append(copy->ifaces, entry->link);
    }
    if (complete) return copy;
    for (kxnet_iface *entry : records<kxnet_iface>(copy->ifaces)) std::free(entry);
    std::free(copy->network_id);
    std::free(copy);
    return nullptr;
}

// Appends copies of every registry network; false when memory ran short.
bool copy_registry_networks(kxnet_network_list &result) {
    registry_guard guard;
    for (kxnet_network *network : records<kxnet_network>(registry_networks().link)) {
        kxnet_network *copy = copy_network(*network);
        if (copy == nullptr) return false;
        list_append(result.link, copy->link);
    }
    return true;
}

kxnet_network_list *configured_networks() {
    if (registry_load(report_conf_addr) != 0) return nullptr;
    auto *result = static_cast<kxnet_network_list *>(std::malloc(sizeof(kxnet_network_list)));
    if (result == nullptr) return nullptr;
    list_init(result->link);
    if (!copy_registry_networks(*result)) {
        kxnet_free_networks(result); // after registry_mutex is released
        std::free(result);
        return nullptr;
    }
    return result;
}

} // namespace

} // namespace kx

extern "C" kxnet_network_list *kxnet_get_configured_networks(void) noexcept {
    return kx::framed_plain<kxnet_network_list *>(kx::lock_mode::exclusive, nullptr,
                                                  [] { return kx::configured_networks(); });
}
