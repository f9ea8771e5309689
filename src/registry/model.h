// The in-memory registry: networks with their host interfaces, VLAN devices,
// configured addresses of host devices, and the virtual pairs the kernel
// reports.  Every list is circular and doubly linked with a head, in
// insertion order (the order of the registry file).
#pragma once

#include "kxnet_ct.h"

#include <cstdint>

namespace kx {

struct vlan_entry {
    kxnet_link link;
    char name[16]; // the VLAN device, named by the naming type in force
    int32_t vid;
};

struct vlan_parent {
    kxnet_link link;
    char name[16];      // the underlying device
    kxnet_link entries; // head of vlan_entry elements
};

struct addr_entry {
    kxnet_link link;
    char text[20]; // an address text as given, at most 19 characters
};

struct addr_parent {
    kxnet_link link;
    char name[16];
    kxnet_link entries; // head of addr_entry elements
};

struct veth_pair {
    kxnet_link link;
    char host_name[16];
    char ct_name[16];
    int32_t ctid;
};

// The library's four lists (empty when the library is loaded).
kxnet_network_list &registry_networks();
kxnet_link &registry_vlans();
kxnet_link &registry_addrs();
kxnet_link &registry_veth_pairs();

} // namespace kx
