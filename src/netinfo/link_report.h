// One described link, as the host's dump or a container's lines give it,
// reported to the information store, and the kind its name gives it.
#pragma once

#include <cstdint>
#include <string_view>

namespace kx {

struct link_view {
    const char *name;
    std::string_view addrs;  // addresses separated by spaces, may be empty
    std::string_view hwaddr; // empty without a usable hardware address
    uint32_t flags;          // IFF_* bits
};

// The kind of a new link of container `ctid` (0: the host) by its name:
// "vnic*" devices, on the host also "veth-*" pair ends, else ordinary ones.
int32_t link_kind(std::string_view name, int32_t ctid);

// Reports `link` of container `ctid`: addresses, hardware address, the kind
// of a record nothing typed yet, link state and flags.
void report_link(int32_t ctid, const link_view &link);

} // namespace kx
