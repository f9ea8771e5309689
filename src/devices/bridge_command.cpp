// SIOCDEVPRIVATE requests carrying a bridge private command block.
#include "devices/bridge_command.h"

#include "sys/device_probe.h"

#include <linux/if_bridge.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>

static_assert(SIOCDEVPRIVATE == 0x89f0);
static_assert(BRCTL_GET_BRIDGE_INFO == 6 && BRCTL_GET_PORT_LIST == 7);
static_assert(BRCTL_SET_BRIDGE_FORWARD_DELAY == 8);
static_assert(sizeof(kx::bridge_command_block) == 32);

namespace kx {

int bridge_private_request(int sock, const char *bridge, bridge_command_block &block) {
    struct ifreq request {};
    copy_ifname(request.ifr_name, bridge);
    request.ifr_data = reinterpret_cast<char *>(&block);
    return ioctl(sock, SIOCDEVPRIVATE, &request);
}

} // namespace kx
