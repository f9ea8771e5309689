// Host address assignment, the exported entry: a static IPv4 address is
// added to the live device, written to its ifcfg file and recorded in the
// registry; "dhcp" rewrites the file and restarts the interface with the
// distribution's ifdown and ifup.  Earlier addresses are never removed.
#include "frame/frame.h"
#include "frame/names.h"
#include "ifcfg/address_text.h"
#include "ifcfg/ifcfg.h"
#include "kxnet_ct.h"
#include "registry/model.h"
#include "registry/registry_file.h"
#include "rtnl/rtnl.h"
#include "sys/shell.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <string_view>

namespace kx {

namespace {

// Takes the interface down and up again so that it asks for a DHCP lease;
// it succeeded when the shell's status (that of ifup) is 0.
command_status restart_interface(const char *device) {
    char command[52];
    std::snprintf(command, sizeof command, "ifdown %s; ifup %s", device, device);
    return run_shell(command);
}

// Adds the static `address` (its prefix 32 when missing or outside 0..32) to
// the live device through rtnetlink; the kernel's refusal is printed as
// "RTNETLINK answers".
int add_live_address(const char *device, const char *address) {
    in_addr parsed{};
    if (!parse_address_part(address, parsed)) return KXNET_ERR_INVALID;
    const int prefix_length = device_prefix_length(address);
    errno = 0;
    const unsigned index = if_nametoindex(device);
    if (index == 0) return errno == ENODEV || errno == 0 ? KXNET_ERR_NOT_FOUND : KXNET_ERR_SYSTEM;
    if (rtchan_add_ipv4_address(static_cast<int>(index), parsed, prefix_length) != 0) return KXNET_ERR_SYSTEM;
    return KXNET_OK;
}

int set_address(const char *device, const char *address) {
    if (!name_accepted(device) || address == nullptr || !address_text_acceptable(address))
        return KXNET_ERR_INVALID;
    if (registry_load() != 0) return KXNET_ERR_SYSTEM;

    if (is_dhcp(address)) {
        ifcfg_set_address(device, address);
        if (!restart_interface(device).succeeded()) return KXNET_ERR_SYSTEM;
    } else {
        const int result = add_live_address(device, address);
        if (result != KXNET_OK) return result;
        ifcfg_set_address(device, address);
    }

    if (addr_add(device, address) == nullptr) return KXNET_ERR_SYSTEM;
    return registry_save() != 0 ? KXNET_ERR_SYSTEM : KXNET_OK;
}

} // namespace

} // namespace kx

extern "C" int compat_kxnet_addr_set_SL(const char *device, const char *address) noexcept {
    return kx::guarded(int{KXNET_ERR_SYSTEM}, [&] { return kx::set_address(device, address); });
}

// No outcome line; a failed grab's own code (KXNET_ERR_SYSTEM or KXNET_ERR_LOCK) is
// returned unchanged.
extern "C" int compat_kxnet_addr_set(const char *device, const char *address) noexcept {
    return kx::framed_code(
        kx::lock_mode::exclusive, [&] { return compat_kxnet_addr_set_SL(device, address); }, [](int) {});
}
