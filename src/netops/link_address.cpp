// link_set_address: the address text read into an address and a prefix,
// the device's index looked up, and the kernel's RTM_NEWADDR exchange.
#include "netops/link_address.h"

#include "ifcfg/address_text.h"
#include "kxnet_ct.h"
#include "rtnl/rtnl.h"

#include <cerrno>
#include <net/if.h>

namespace kx {

int link_set_address(const char *device, const char *address) {
    if (device == nullptr || address == nullptr) return KXNET_ERR_INVALID;
    in_addr parsed{};
    if (!parse_address_part(address, parsed)) return KXNET_ERR_INVALID;
    const int prefix_length = device_prefix_length(address);
    errno = 0;
    const unsigned index = if_nametoindex(device);
    if (index == 0) return errno == ENODEV || errno == 0 ? KXNET_ERR_NOT_FOUND : KXNET_ERR_SYSTEM;
    if (rtchan_add_ipv4_address(static_cast<int>(index), parsed, prefix_length) != 0) return KXNET_ERR_SYSTEM;
    return KXNET_OK;
}

} // namespace kx
