// The heads of the library's four lists, the name comparisons shared by the
// list operations, and the list of virtual pairs reported by the kernel.
#include "registry/model.h"

#include "frame/command.h"
#include "frame/state.h"

#include <cstdlib>
#include <cstring>

namespace kx {

namespace {

kxnet_network_list networks_head = {{&networks_head.link, &networks_head.link}};
kxnet_link vlans_head = {&vlans_head, &vlans_head};
kxnet_link addrs_head = {&addrs_head, &addrs_head};
kxnet_link veth_pairs_head = {&veth_pairs_head, &veth_pairs_head};

} // namespace

kxnet_network_list &registry_networks() { return networks_head; }
kxnet_link &registry_vlans() { return vlans_head; }
kxnet_link &registry_addrs() { return addrs_head; }
kxnet_link &registry_veth_pairs() { return veth_pairs_head; }

registry_guard::registry_guard() { pthread_mutex_lock(&state().registry_mutex); }
registry_guard::~registry_guard() { pthread_mutex_unlock(&state().registry_mutex); }

bool same_name(const char (&field)[16], const char *name) {
    return name != nullptr && std::strncmp(field, name, sizeof field - 1) == 0;
}

bool same_text(const char (&field)[20], const char *text) {
    return text != nullptr && std::strncmp(field, text, sizeof field - 1) == 0;
}

int veth_pair_add(const char *host_name, const char *ct_name, int32_t ctid) {
    auto *pair = static_cast<veth_pair *>(std::calloc(1, sizeof(veth_pair)));
    if (pair == nullptr) return 1;
    copy_ifname(pair->host_name, host_name != nullptr ? host_name : "");
    copy_ifname(pair->ct_name, ct_name != nullptr ? ct_name : "");
    pair->ctid = ctid;
    list_append(veth_pairs_head, pair->link);
    return 0;
}

void veth_pairs_clear() {
    for (veth_pair *pair : records<veth_pair>(veth_pairs_head)) {
        list_unlink(pair->link);
        std::free(pair);
    }
}

} // namespace kx
