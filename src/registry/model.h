// The in-memory registry: networks with their host interfaces, VLAN devices,
// configured addresses of host devices, and the virtual pairs the kernel
// reports.  Every list is circular and doubly linked with a head, in
// insertion order (the order of the registry file).
#pragma once

#include "kxnet_ct.h"

#include <cstdint>
#include <pthread.h>

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

// --- list shape -----------------------------------------------------------

inline void list_init(kxnet_link &head) { head.prev = head.next = &head; }
inline bool list_empty(const kxnet_link &head) { return head.next == &head; }
// Appends `item` just before `head` (the end of the list).
inline void list_append(kxnet_link &head, kxnet_link &item) {
    item.prev = head.prev;
    item.next = &head;
    head.prev->next = &item;
    head.prev = &item;
}
inline void list_unlink(kxnet_link &item) {
    item.prev->next = item.next;
    item.next->prev = item.prev;
    item.prev = item.next = &item;
}

// Iterates the records of a list whose elements begin with their link:
//   for (kxnet_iface *i : records<kxnet_iface>(net->ifaces)) ...
// The next link is read before the body runs, so the body may free the
// current record.
template <class T> class records {
public:
    explicit records(kxnet_link &head) : head_(&head) {}
    class iterator {
    public:
        iterator(kxnet_link *at) : at_(at), next_(at->next) {}
        T *operator*() const { return reinterpret_cast<T *>(at_); }
        iterator &operator++() {
            at_ = next_;
            next_ = at_->next;
            return *this;
        }
        bool operator!=(const iterator &other) const { return at_ != other.at_; }

    private:
        kxnet_link *at_;
        kxnet_link *next_;
    };
    iterator begin() const { return iterator(head_->next); }
    iterator end() const { return iterator(head_); }

private:
    kxnet_link *head_;
};

// Holds registry_mutex for a scope.
class registry_guard {
public:
    registry_guard();
    ~registry_guard();
    registry_guard(const registry_guard &) = delete;
    registry_guard &operator=(const registry_guard &) = delete;
};

// True when a 16-byte name field holds `name` as it would store it (cut to
// 15 characters); the same for a 20-byte address text field.
bool same_name(const char (&field)[16], const char *name);
bool same_text(const char (&field)[20], const char *text);

// --- networks ---------------------------------------------------------------

// Appends a new network; null when the id is null or memory is short.
// Logs "Network '%s' with %s bridge '%s' added".
kxnet_network *network_add(kxnet_network_list &list, const char *network_id, const char *bridge,
                           int preexisting);
// network_add on the registry list: 0, or 1 when the id is null or memory is
// short.
int network_add_to_registry(const char *network_id, const char *bridge, int preexisting);

// Registry searches; each holds registry_mutex for the search only.
kxnet_network *network_find_by_id(const char *network_id);
kxnet_network *network_find_by_bridge(const char *bridge);
kxnet_network *network_find_by_iface(const char *name);
// The same search over a given list, without the mutex.
kxnet_network *network_find_by_iface(kxnet_network_list &list, const char *name);

// Appends a further interface (no duplicate check): 0, or 1 when memory is
// short and nothing was added.
int network_iface_add(kxnet_network *network, const char *name);
// Removes an interface; removing the physical one promotes the first
// further interface.  A null network or an unknown name changes nothing.
void network_iface_remove(kxnet_network *network, const char *name);
// Unlinks and frees a network with its interfaces.
void network_remove(kxnet_network *network);
// Frees every registry network (under registry_mutex).
void networks_clear();

// --- VLAN devices -----------------------------------------------------------

vlan_parent *vlan_find_parent(const char *device);
vlan_entry *vlan_find(vlan_parent *parent, int32_t vid);
// The parent (found or created) now holding `vid`; null when memory is short.
vlan_parent *vlan_add(const char *device, int32_t vid);
// The steps of vlan_add, for a caller that keeps its own index (the load):
// a new parent not yet in the VLAN list, and appending an id without a
// duplicate check (false when memory is short).
vlan_parent *vlan_parent_new(const char *device);
bool vlan_entry_append(vlan_parent &parent, int32_t vid);
// Removes the entry, and the parent with its last entry.
void vlan_remove(vlan_parent *parent, vlan_entry *entry);
void vlans_clear();

// --- configured addresses ---------------------------------------------------

addr_parent *addr_find_parent(const char *device);
addr_entry *addr_find(addr_parent *parent, const char *text);
// The parent (found or created) now holding `text` (cut to 19 characters);
// null when memory is short.
addr_parent *addr_add(const char *device, const char *text);
// The steps of addr_add for a caller with its own index, as for VLANs.
addr_parent *addr_parent_new(const char *device);
bool addr_entry_append(addr_parent &parent, const char *text);
void addr_parent_remove(addr_parent *parent);
void addrs_clear();

// --- virtual pairs ----------------------------------------------------------

// 0, or 1 when memory is short.
int veth_pair_add(const char *host_name, const char *ct_name, int32_t ctid);
void veth_pairs_clear();

} // namespace kx
