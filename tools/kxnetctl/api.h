// The library's answers as plain C++ records: the configured networks and
// the information query, each taken through the public header and released
// at once, so the commands never hold a pointer into the library's memory.
#pragma once

#include "kxnet_ct.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kxnetctl {

struct network_record {
    std::string network_id;
    std::string bridge;
    std::string phys_iface;
    std::vector<std::string> ifaces;
    bool preexisting = false;
};

struct iface_record {
    uint32_t mask = 0;
    int type = 0;
    int ctid = 0;
    std::string name;
    std::string alt_name;
    std::optional<std::string> bridge;
    std::optional<std::string> network_id;
    std::optional<std::vector<std::string>> addrs;
    std::optional<std::vector<std::string>> conf_addrs;
    std::optional<std::string> hwaddr;
    uint32_t state = 0;
    std::optional<std::string> vlan_dev;
    std::optional<int> vlan_id;
    std::optional<int> peer_ctid;
    std::optional<std::string> peer_name;
    uint32_t flags = 0;
};

// What `show` selects: the arguments of kxnet_get_simple_filter.
struct selection {
    int type_mask = KXNETIF_ALL;
    std::optional<std::string> bridge;
    std::optional<std::string> network_id;
    std::optional<std::string> name;
    int ctid_min = 0;
    int ctid_max = 0;
};

// The registered networks in registry order; nullopt when the library
// answered null (lock or registry failure).
std::optional<std::vector<network_record>> configured_networks();

// One information query; nullopt when the library answered null.  Records
// are sorted by container id, then name, for output that reads the same
// from run to run.
std::optional<std::vector<iface_record>> query_info(uint32_t flags, const selection &what);

// The network's bridge as kxnet_get_bridge_by_networkid answers it, with
// the registry loaded first.
std::optional<std::string> bridge_of(const std::string &network_id);

const char *kind_name(int type);
// The kind value of a name ("eth", "bridge", ...), or 0.
int kind_value(const std::string &name);

} // namespace kxnetctl
