// Adding devices to a network's bridge and removing them again: the Linux
// bridge by SIOCBRADDIF/SIOCBRDELIF, Open vSwitch through ovs-vsctl.  A
// removal goes by what the bridge is: the kernel refuses SIOCBRDELIF for a
// port of the switch, so there the port leaves the switch's database.
#include "devices/ports.h"

#include "frame/log.h"
#include "frame/state.h"
#include "kxnet_ct.h"
#include "sys/command.h"
#include "sys/device_probe.h"
#include "sys/error.h"
#include "sys/paths.h"

#include <cerrno>
#include <linux/sockios.h>
#include <net/if.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>

static_assert(SIOCBRADDIF == 0x89a2 && SIOCBRDELIF == 0x89a3);
static_assert(ENODEV == 19);

namespace kx {

namespace {

struct ifreq port_request(const char *bridge, unsigned index) {
    struct ifreq request {};
    copy_ifname(request.ifr_name, bridge);
    request.ifr_ifindex = static_cast<int>(index);
    return request;
}

// Puts the via-physical-device switch back after a failed add.  A value the
// fallback request could not read is not guessed: the switch stays as it is.
void restore_via_phys_dev(const char *bridge, const std::optional<int> &previous) {
    if (!previous) {
        kxnet_log("Previous via_phys_dev of the bridge '%s' is unknown, left unchanged", bridge);
        return;
    }
    set_via_phys_dev(bridge, *previous != 0);
}

int linux_bridge_add_port(const char *bridge, const char *device, bool host_interface) {
    ctl_socket_holder hold;
    if (!hold) return failed_errno();
    const int sock = hold.socket();

    unsigned index = if_nametoindex(device);
    if (index == 0) {
        kxnet_log("Failed to add device '%s' to the bridge '%s': index not found", device, bridge);
        return 0;
    }
    std::optional<int> previous;
    if (host_interface) {
        if (int error = set_via_phys_dev(bridge, true, &previous); error < 0) return error;
    }

    struct ifreq request = port_request(bridge, index);
    if (ioctl(sock, SIOCBRADDIF, &request) == 0) {
        kxnet_log("Device '%s' is added to the bridge '%s'.", device, bridge);
        return 0;
    }
    const int error = failed_errno();
    kxnet_log("Failed to add device '%s' to the bridge '%s', errno = %d", device, bridge, -error);
    if (host_interface) restore_via_phys_dev(bridge, previous);
    return error == -ENODEV ? 0 : error;
}

// One ovs-vsctl port verb ("--may-exist add-port" or "--if-exists
// del-port") for `device` on `bridge`; a failure is logged with `failure`
// (device, bridge, the command's status).
command_status ovs_port_command(const char *option, const char *verb, const char *bridge, const char *device,
                                const char *failure) {
    std::string tool = paths::rooted(paths::ovs_vsctl);
    const char *const argv[] = {tool.c_str(), "--", option, verb, bridge, device, nullptr};
    const command_status status = run_command(argv);
    if (!status.succeeded()) kxnet_log(failure, device, bridge, status.shown());
    return status;
}

// The switch's exit status for a device it cannot find: no failure.
constexpr int ovs_status_no_device = 19;

int ovs_add_port(const char *bridge, const char *device) {
    const command_status status = ovs_port_command("--may-exist", "add-port", bridge, device,
                                                   "Failed to add device '%s' to the bridge '%s', err = %d");
    return status.exited_with(ovs_status_no_device) ? 0 : status.error();
}

// Takes `device` out of the switch's bridge; a port the switch does not hold
// is no failure.
int ovs_del_port(const char *bridge, const char *device) {
    return ovs_port_command("--if-exists", "del-port", bridge, device,
                            "Failed to remove device '%s' from the bridge '%s', err = %d")
        .error();
}

// Whether `device` is a port of the Linux bridge `bridge` itself, rather than
// linked into it through a pair.
bool is_linux_port(const char *bridge, const char *device) {
    std::string entry = "/sys/class/net/" + std::string(bridge) + "/brif/" + device;
    struct stat info {};
    return lstat(entry.c_str(), &info) == 0;
}

// Clears IFF_UP: 0 or the failed request's negative errno.
int bring_down(int sock, const char *device) {
    struct ifreq request {};
    copy_ifname(request.ifr_name, device);
    if (ioctl(sock, SIOCGIFFLAGS, &request) < 0) return failed_errno();
    if ((request.ifr_flags & IFF_UP) == 0) return 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags & ~IFF_UP);
    return ioctl(sock, SIOCSIFFLAGS, &request) < 0 ? failed_errno() : 0;
}

} // namespace

bool is_linux_bridge(const char *bridge) {
    std::string directory = "/sys/class/net/" + std::string(bridge) + "/bridge";
    struct stat info {};
    return stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int switch_remove_port(const char *device) {
    if (device == nullptr) return -EINVAL;
    {
        ctl_socket_holder hold;
        if (!hold) return failed_errno();
        if (int error = bring_down(hold.socket(), device); error < 0) return error;
    }
    std::string tool = paths::rooted(paths::ovs_vsctl);
    const char *const argv[] = {tool.c_str(), "--", "--if-exists", "del-port", device, nullptr};
    const command_status status = run_command(argv);
    if (!status.succeeded()) kxnet_log("Failed to remove device '%s' from the switch, err = %d", device, status.shown());
    return status.error();
}

int bridge_add_port(const char *bridge, const char *device, bool host_interface, bool linux_bridge) {
    if (bridge == nullptr || device == nullptr) return -EINVAL;
    if (linux_bridge || state().ovs_enabled == 0)
        return linux_bridge_add_port(bridge, device, host_interface);
    if (host_interface) return ovs_link_phys(bridge, device);
    return ovs_add_port(bridge, device);
}

int bridge_remove_port(const char *bridge, const char *device, int kind) {
    if (bridge == nullptr || device == nullptr) return -EINVAL;
    const bool on_switch = state().ovs_enabled != 0 && !is_linux_bridge(bridge);
    // A host interface under the switch hangs on the network through a pair,
    // unless it sits in a Linux bridge the network was registered over.
    const bool linked = state().ovs_enabled != 0 && kind == KXNETIF_ETH &&
                        (on_switch || !is_linux_port(bridge, device));
    {
        ctl_socket_holder hold;
        if (!hold) return failed_errno();
        const int sock = hold.socket();
        if (kind == KXNETIF_VETH) {
            if (int error = bring_down(sock, device); error < 0) return error;
        }
        if (on_switch && !linked) return ovs_del_port(bridge, device);
        if (!linked) {
            unsigned index = if_nametoindex(device);
            if (index == 0) return -ENOENT;
            struct ifreq request = port_request(bridge, index);
            if (ioctl(sock, SIOCBRDELIF, &request) < 0) return failed_errno();
            if (kind == KXNETIF_VNIC || kind == KXNETIF_ETH) set_via_phys_dev(bridge, false);
            return 0;
        }
    }
    return ovs_unlink_phys(bridge, device);
}

} // namespace kx
