// The exported query of the configured networks and the release of its
// list: the registry's networks copied into the public records, loaded
// afresh under the exclusive host lock.  The only place the records of a
// network list are allocated and freed.
#include "frame/frame.h"
#include "kxnet_ct.h"
#include "netinfo/store.h"
#include "netops/public_list.h"
#include "registry/model.h"
#include "registry/registry_file.h"
#include "sys/device_probe.h"

#include <cstdlib>
#include <cstring>

namespace kx {

namespace {

void free_network_record(kxnet_network *record) {
    for (kxnet_iface *iface : records<kxnet_iface>(record->ifaces)) std::free(iface);
    std::free(record->network_id);
    std::free(record);
}

// The public record of `source`, its `preexisting` left 0; null when memory
// is short.
kxnet_network *network_record(const network &source) {
    auto *record = static_cast<kxnet_network *>(std::calloc(1, sizeof(kxnet_network)));
    if (record == nullptr) return nullptr;
    list_init(record->ifaces);
    record->network_id = strdup(source.network_id().c_str());
    if (record->network_id == nullptr) {
        free_network_record(record);
        return nullptr;
    }
    copy_ifname(record->bridge, source.bridge().c_str());
    copy_ifname(record->phys_iface, source.phys_iface().c_str());
    for (const std::string &name : source.ifaces()) {
        auto *iface = static_cast<kxnet_iface *>(std::calloc(1, sizeof(kxnet_iface)));
        if (iface == nullptr) {
            free_network_record(record);
            return nullptr;
        }
        copy_ifname(iface->name, name.c_str());
        list_append(record->ifaces, iface->link);
    }
    return record;
}

// Appends a record of every registry network; false when memory ran short.
bool copy_registry_networks(kxnet_network_list &result) {
    registry_guard guard;
    for (const network &source : registry_networks()) {
        kxnet_network *record = network_record(source);
        if (record == nullptr) return false;
        list_append(result.link, record->link);
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

extern "C" void kxnet_free_networks(kxnet_network_list *list) noexcept {
    if (list == nullptr) return;
    kx::registry_guard guard;
    while (!kx::list_empty(list->link)) {
        auto *record = reinterpret_cast<kxnet_network *>(list->link.next);
        kx::list_unlink(record->link);
        kx::free_network_record(record);
    }
}
