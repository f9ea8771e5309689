// The library's four lists, the registry mutex guard, and the list of
// virtual pairs reported by the kernel.
#include "registry/model.h"

#include "frame/guarded.h"

#include <cerrno>
#include <pthread.h>

namespace kx {

namespace {

network_list networks;
device_list<vlan_entry> vlans;
device_list<addr_entry> addrs;
std::vector<veth_pair> veth_pairs;
// Serialises the lists between the threads of one process.
pthread_mutex_t registry_mutex = PTHREAD_MUTEX_INITIALIZER;

std::string name_or_empty(const char *name) {
    return std::string(field_name(name != nullptr ? name : ""));
}

} // namespace

network_list &registry_networks() { return networks; }
device_list<vlan_entry> &registry_vlans() { return vlans; }
device_list<addr_entry> &registry_addrs() { return addrs; }
std::vector<veth_pair> &registry_veth_pairs() { return veth_pairs; }

registry_guard::registry_guard() { pthread_mutex_lock(&registry_mutex); }
registry_guard::~registry_guard() { pthread_mutex_unlock(&registry_mutex); }

int veth_pair_add(const char *host_name, const char *ct_name, int32_t ctid) noexcept {
    return guarded(-ENOMEM, [&] {
        veth_pairs.push_back({name_or_empty(host_name), name_or_empty(ct_name), ctid});
        return 0;
    });
}

void veth_pairs_clear() noexcept { veth_pairs.clear(); }

} // namespace kx
