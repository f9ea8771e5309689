// The bridge private command block: four 64-bit words pointed to by the data
// pointer of an SIOCDEVPRIVATE request that names a bridge.
#pragma once

#include <cstdint>

namespace kx {

inline constexpr uint64_t brctl_get_bridge_info = 6;
inline constexpr uint64_t brctl_get_port_list = 7;
inline constexpr uint64_t brctl_set_bridge_forward_delay = 8;
// The container kernel's via-physical-device switch.
inline constexpr uint64_t brctl_set_via_phys_dev = 19;

struct bridge_command_block {
    uint64_t command = 0;
    uint64_t value = 0; // a value or an address
    uint64_t third = 0;
    uint64_t zero = 0;
};

// Issues SIOCDEVPRIVATE for `bridge` on socket `sock`: the ioctl's result
// (negative with errno set on failure).
int bridge_private_request(int sock, const char *bridge, bridge_command_block &block);

} // namespace kx
