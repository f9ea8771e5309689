// The registry's networks: adding, searching, changing interfaces and
// freeing, and the exported release of a caller's network list.
#include "registry/model.h"

#include "frame/command.h"
#include "frame/log.h"

#include <cstdlib>
#include <cstring>

namespace kx {

kxnet_network *network_add(kxnet_network_list &list, const char *network_id, const char *bridge,
                           int preexisting) {
    if (network_id == nullptr) return nullptr;
    auto *network = static_cast<kxnet_network *>(std::calloc(1, sizeof(kxnet_network)));
    if (network == nullptr) return nullptr;
    network->network_id = strdup(network_id);
    if (network->network_id == nullptr) {
        std::free(network);
        return nullptr;
    }
    kxnet_log("Network '%s' with %s bridge '%s' added", network_id, preexisting ? "linux" : "",
              show(bridge));
    copy_ifname(network->bridge, bridge);
    list_init(network->ifaces);
    network->preexisting = preexisting;
    list_append(list.link, network->link);
    return network;
}

int network_add_to_registry(const char *network_id, const char *bridge, int preexisting) {
    return network_add(registry_networks(), network_id, bridge, preexisting) != nullptr ? 0 : 1;
}

kxnet_network *network_find_by_id(const char *network_id) {
    if (network_id == nullptr) return nullptr;
    registry_guard guard;
    for (kxnet_network *network : records<kxnet_network>(registry_networks().link))
        if (std::strcmp(network->network_id, network_id) == 0) return network;
    return nullptr;
}

kxnet_network *network_find_by_bridge(const char *bridge) {
    registry_guard guard;
    for (kxnet_network *network : records<kxnet_network>(registry_networks().link))
        if (same_name(network->bridge, bridge)) return network;
    return nullptr;
}

kxnet_network *network_find_by_iface(kxnet_network_list &list, const char *name) {
    if (name == nullptr) return nullptr;
    for (kxnet_network *network : records<kxnet_network>(list.link)) {
        if (same_name(network->phys_iface, name)) return network;
        for (kxnet_iface *iface : records<kxnet_iface>(network->ifaces))
            if (same_name(iface->name, name)) return network;
    }
    return nullptr;
}

kxnet_network *network_find_by_iface(const char *name) {
    registry_guard guard;
    return network_find_by_iface(registry_networks(), name);
}

int network_iface_add(kxnet_network *network, const char *name) {
    if (network == nullptr) return 0;
    auto *iface = static_cast<kxnet_iface *>(std::calloc(1, sizeof(kxnet_iface)));
    if (iface == nullptr) return 1;
    copy_ifname(iface->name, name);
    list_append(network->ifaces, iface->link);
    return 0;
}

void network_iface_remove(kxnet_network *network, const char *name) {
    if (network == nullptr || name == nullptr) return;
    if (same_name(network->phys_iface, name)) {
        copy_ifname(network->phys_iface, "");
        if (!list_empty(network->ifaces)) {
            auto *first = reinterpret_cast<kxnet_iface *>(network->ifaces.next);
            copy_ifname(network->phys_iface, first->name);
            list_unlink(first->link);
            std::free(first);
        }
        return;
    }
    for (kxnet_iface *iface : records<kxnet_iface>(network->ifaces)) {
        if (same_name(iface->name, name)) {
            list_unlink(iface->link);
            std::free(iface);
            return;
        }
    }
}

void network_remove(kxnet_network *network) {
    if (network == nullptr) return;
    list_unlink(network->link);
    for (kxnet_iface *iface : records<kxnet_iface>(network->ifaces)) std::free(iface);
    std::free(network->network_id);
    std::free(network);
}

void networks_clear() { kxnet_free_networks(&registry_networks()); }

} // namespace kx

extern "C" void kxnet_free_networks(kxnet_network_list *list) noexcept {
    if (list == nullptr) return;
    kx::registry_guard guard;
    while (!kx::list_empty(list->link))
        kx::network_remove(reinterpret_cast<kxnet_network *>(list->link.next));
}
