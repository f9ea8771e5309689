// The live half of host address assignment: adding a static IPv4 address to
// a device through rtnetlink.
#pragma once

namespace kx {

// Adds `address` (a dotted IPv4 address with an optional "/prefix"; prefix
// 32 when missing or outside 0..32) to `device`.  KXNET_OK; KXNET_ERR_INVALID
// when the address part is not a dotted IPv4 address; KXNET_ERR_NOT_FOUND
// when no interface has that name; KXNET_ERR_SYSTEM when the channel cannot
// be opened or the kernel refuses (printed as "RTNETLINK answers").
int link_set_address(const char *device, const char *address);

} // namespace kx
