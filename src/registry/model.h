// The in-memory registry: networks with their host interfaces, VLAN devices,
// configured addresses of host devices, and the virtual pairs the kernel
// reports.  Every list keeps insertion order (the order of the registry
// file).  These are the library's own types; the records handed to callers
// are built from them where they cross the C boundary.
#pragma once

#include "registry/device_list.h"
#include "registry/named_list.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

// Address texts are kept to 19 characters, as a 20-byte field keeps them.
inline constexpr std::size_t addr_text_max = 19;

// One virtual network.  Names are cut to 15 characters as they are set.
class network {
public:
    network(std::string network_id, std::string_view bridge, bool preexisting)
        : network_id_(std::move(network_id)), bridge_(field_name(bridge)), preexisting_(preexisting) {}

    const std::string &network_id() const noexcept { return network_id_; }
    const std::string &bridge() const noexcept { return bridge_; }
    // The physical uplink; empty when the network has none.
    const std::string &phys_iface() const noexcept { return phys_iface_; }
    // The further host interfaces, in order.
    const std::vector<std::string> &ifaces() const noexcept { return ifaces_; }
    // A device named like the network id existed when it was registered.
    bool preexisting() const noexcept { return preexisting_; }

    void set_network_id(std::string network_id) noexcept { network_id_ = std::move(network_id); }
    void set_phys_iface(std::string_view name) { phys_iface_.assign(field_name(name)); }
    // Appends a further interface (no duplicate check).
    void add_iface(std::string_view name) { ifaces_.emplace_back(field_name(name)); }
    // Removes an interface; removing the physical one promotes the first
    // further interface.  A name the network does not hold changes nothing.
    void remove_iface(std::string_view name) noexcept;
    // The physical or a further interface is `name` (as a field keeps it).
    bool holds_iface(std::string_view name) const noexcept;

private:
    std::string network_id_;
    std::string bridge_;
    std::string phys_iface_;
    std::vector<std::string> ifaces_;
    bool preexisting_;
};

// Networks in order, found by bridge through the list's index (the first
// network of a bridge wins, as a search in order would answer).
class network_list : public named_list<network, &network::bridge> {
public:
    // Appends a network; throws when memory is short, the list unchanged.
    network &append(std::string network_id, std::string_view bridge, bool preexisting) {
        return named_list::append(network(std::move(network_id), bridge, preexisting));
    }
    network *find_by_id(std::string_view network_id) noexcept;
    network *find_by_bridge(std::string_view bridge) noexcept { return find(field_name(bridge)); }
    network *find_by_iface(std::string_view name) noexcept;
};

// One VLAN over a device: its device name, formed by the naming type in
// force when the entry was made, and its id.
struct vlan_entry {
    std::string name;
    int32_t vid;
    int32_t key() const noexcept { return vid; }
};

// One configured address text, at most 19 characters.
struct addr_entry {
    std::string text;
    const std::string &key() const noexcept { return text; }
};

using vlan_parent = device_entries<vlan_entry>;
using addr_parent = device_entries<addr_entry>;

// One virtual pair reported by the kernel.
struct veth_pair {
    std::string host_name; // at most 15 characters
    std::string ct_name;   // at most 15 characters
    int32_t ctid;
};

// The library's four lists (empty when the library is loaded).
network_list &registry_networks();
device_list<vlan_entry> &registry_vlans();
device_list<addr_entry> &registry_addrs();
std::vector<veth_pair> &registry_veth_pairs();

// Holds registry_mutex for a scope.
class registry_guard {
public:
    registry_guard();
    ~registry_guard();
    registry_guard(const registry_guard &) = delete;
    registry_guard &operator=(const registry_guard &) = delete;
};

// --- networks ---------------------------------------------------------------

// Appends a new network; null when the id is null or memory is short.
// Logs "Network '%s' with %s bridge '%s' added".
network *network_add(network_list &list, const char *network_id, const char *bridge,
                     int preexisting) noexcept;
// network_add on the registry list: 0, -EINVAL for a null id or -ENOMEM.
int network_add_to_registry(const char *network_id, const char *bridge, int preexisting) noexcept;

// Registry searches; each holds registry_mutex for the search only.
network *network_find_by_id(const char *network_id) noexcept;
network *network_find_by_bridge(const char *bridge) noexcept;
network *network_find_by_iface(const char *name) noexcept;
// The same search over a given list, without the mutex.
network *network_find_by_iface(network_list &list, const char *name) noexcept;

// Appends a further interface (no duplicate check): 0, or -ENOMEM when
// nothing was added.  A null network changes nothing.
int network_iface_add(network *record, const char *name) noexcept;
// network::remove_iface; a null network or name changes nothing.
void network_iface_remove(network *record, const char *name) noexcept;
// Removes a network of the registry list with its interfaces.
void network_remove(network *record) noexcept;
// Empties the registry list (under registry_mutex).
void networks_clear() noexcept;

// --- VLAN devices -----------------------------------------------------------

vlan_parent *vlan_find_parent(const char *device) noexcept;
const vlan_entry *vlan_find(const vlan_parent *parent, int32_t vid) noexcept;
// The parent (found or created) now holding `vid`; null when memory is short.
vlan_parent *vlan_add(const char *device, int32_t vid) noexcept;
// Removes the entry, and the parent with its last entry.
void vlan_remove(vlan_parent *parent, const vlan_entry *entry) noexcept;
void vlans_clear() noexcept;

// --- configured addresses ---------------------------------------------------

addr_parent *addr_find_parent(const char *device) noexcept;
const addr_entry *addr_find(const addr_parent *parent, const char *text) noexcept;
// The parent (found or created) now holding `text` (cut to 19 characters);
// null when memory is short.
addr_parent *addr_add(const char *device, const char *text) noexcept;
void addr_parent_remove(addr_parent *parent) noexcept;
void addrs_clear() noexcept;

// --- virtual pairs ----------------------------------------------------------

// 0, or -ENOMEM when memory is short.
int veth_pair_add(const char *host_name, const char *ct_name, int32_t ctid) noexcept;
void veth_pairs_clear() noexcept;

} // namespace kx
