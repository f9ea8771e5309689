// The kernel's 802.1Q requests, issued on the control socket through the
// legacy VLAN ioctls, and the device state probe of VLAN creation.
#include "vlan/vlan_device.h"

#include "frame/device_mark.h"
#include "frame/log.h"
#include "sys/device_probe.h"
#include "sys/error.h"
#include "vlan/naming.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <sys/ioctl.h>
#include <linux/if_vlan.h>
#include <linux/sockios.h>

// The request record and its numbers as the kernel defines them.
static_assert(SIOCSIFVLAN == 0x8983 && SIOCGIFVLAN == 0x8982);
static_assert(ADD_VLAN_CMD == 0 && DEL_VLAN_CMD == 1 && SET_VLAN_NAME_TYPE_CMD == 6 &&
              GET_VLAN_REALDEV_NAME_CMD == 8 && GET_VLAN_VID_CMD == 9);
static_assert(VLAN_NAME_TYPE_PLUS_VID == 0 && VLAN_NAME_TYPE_RAW_PLUS_VID == 1 &&
              VLAN_NAME_TYPE_PLUS_VID_NO_PAD == 2 && VLAN_NAME_TYPE_RAW_PLUS_VID_NO_PAD == 3);
static_assert(sizeof(vlan_ioctl_args::cmd) == 4 && offsetof(vlan_ioctl_args, cmd) == 0);
static_assert(sizeof(vlan_ioctl_args::device1) == 24 && offsetof(vlan_ioctl_args, device1) == 4);
static_assert(sizeof(vlan_ioctl_args::u) == 24 && offsetof(vlan_ioctl_args, u) == 28);
static_assert(sizeof(vlan_ioctl_args::u.device2) == 24 && sizeof(vlan_ioctl_args::u.VID) == 4);
static_assert(sizeof(vlan_ioctl_args::vlan_qos) == 2 && offsetof(vlan_ioctl_args, vlan_qos) == 52);

namespace kx {

namespace {

// A zero-filled request naming `device` with a 16-byte bound.
vlan_ioctl_args vlan_request(int command, const char *device) {
    vlan_ioctl_args args;
    std::memset(&args, 0, sizeof args);
    args.cmd = command;
    std::snprintf(args.device1, IFNAMSIZ, "%s", device != nullptr ? device : "");
    return args;
}

} // namespace

device_state probe_device_state(int sock, const char *name) {
    struct ifreq request {};
    copy_ifname(request.ifr_name, name);
    if (ioctl(sock, SIOCGIFFLAGS, &request) < 0)
        return errno == ENODEV ? device_state::missing : device_state::present;
    return (request.ifr_flags & IFF_UP) == 0 ? device_state::down : device_state::present;
}

int vlan_create_device(int sock, const char *device, unsigned vid) {
    vlan_ioctl_args args = vlan_request(ADD_VLAN_CMD, device);
    args.u.VID = static_cast<int>(vid);
    if (ioctl(sock, SIOCSIFVLAN, &args) < 0) {
        const int error = failed_errno();
        kxnet_log("Failed to create VLAN %u over \"%s\", errno = %d", vid, device, errno);
        return error;
    }
    char name[16];
    vlan_device_name(device, vid, name);
    if (const int error = mark_device_ours(name); error != 0)
        kxnet_log("Failed to mark device \"%s\" as made by kxnet, err = %d", name, error);
    if (const int error = set_device_up(sock, name); error != 0) {
        kxnet_log("Failed to bring up VLAN device \"%s\", errno = %d", name, errno);
        vlan_delete_device(sock, name);
        return error;
    }
    return 0;
}

int vlan_delete_device(int sock, const char *name) {
    vlan_ioctl_args args = vlan_request(DEL_VLAN_CMD, name);
    if (ioctl(sock, SIOCSIFVLAN, &args) == 0) return 0;
    const int error = failed_errno();
    kxnet_log("Failed to delete VLAN device \"%s\", errno = %d", name, errno);
    return error;
}

int vlan_force_name_type(int sock) {
    read_vlan_config(0);
    if (vlan_name_type() == VLAN_NAME_TYPE_PLUS_VID_NO_PAD) return 0;
    vlan_ioctl_args args = vlan_request(SET_VLAN_NAME_TYPE_CMD, nullptr);
    args.u.name_type = VLAN_NAME_TYPE_PLUS_VID_NO_PAD;
    if (ioctl(sock, SIOCSIFVLAN, &args) == 0) return 0;
    const int error = failed_errno();
    kxnet_log("Failed to set the VLAN naming type, errno = %d", errno);
    return error;
}

int vlan_real_device(int sock, const char *name, char (&out)[16]) {
    vlan_ioctl_args args = vlan_request(GET_VLAN_REALDEV_NAME_CMD, name);
    if (ioctl(sock, SIOCGIFVLAN, &args) < 0) return failed_errno();
    args.u.device2[sizeof args.u.device2 - 1] = '\0';
    copy_ifname(out, args.u.device2);
    return 0;
}

int vlan_device_id(int sock, const char *name, int &vid) {
    vlan_ioctl_args args = vlan_request(GET_VLAN_VID_CMD, name);
    if (ioctl(sock, SIOCGIFVLAN, &args) < 0) return failed_errno();
    vid = args.u.VID;
    return 0;
}

} // namespace kx
