// Creating and destroying a network's bridge device: the Linux bridge by
// SIOCBRADDBR/SIOCBRDELBR on the control socket, Open vSwitch through
// ovs-vsctl.  A new bridge gets forward delay 0 and the host ends of the
// container interfaces configured for its network.
#include "devices/bridge_device.h"

#include "devices/bridge_command.h"
#include "devices/pair_list.h"
#include "devices/ports.h"
#include "frame/device_mark.h"
#include "frame/guarded.h"
#include "frame/log.h"
#include "frame/state.h"
#include "registry/model.h"
#include "sys/command.h"
#include "sys/device_probe.h"
#include "sys/error.h"
#include "sys/paths.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/if_bridge.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <vector>

static_assert(SIOCBRADDBR == 0x89a0 && SIOCBRDELBR == 0x89a1);
static_assert(SIOCDEVPRIVATE == 0x89f0);
static_assert(BRCTL_SET_BRIDGE_FORWARD_DELAY == 8);
static_assert(EEXIST == 17 && ENXIO == 6 && ENODEV == 19 && EPERM == 1);

namespace kx {

namespace {

// 0 or the ioctl's negative errno; a failure that left errno at 0 counts as
// success, as the kernel reported nothing.
int bridge_request(int sock, unsigned long request, const char *name) {
    char field[IFNAMSIZ];
    copy_ifname(field, name);
    return ioctl(sock, request, field) == 0 ? 0 : -errno;
}

command_status ovs_vsctl(const char *verb_option, const char *verb, const char *bridge) {
    std::string tool = paths::rooted(paths::ovs_vsctl);
    const char *const argv[] = {tool.c_str(), "--", verb_option, verb, bridge, nullptr};
    return run_command(argv);
}

// A bridge that exists already is reused.
int add_bridge_device(int sock, const char *name) {
    if (state().ovs_enabled) {
        const command_status status = ovs_vsctl("--may-exist", "add-br", name);
        if (!status.succeeded()) kxnet_log("Failed to create bridge '%s', err = %d", name, status.shown());
        return status.error();
    }
    int error = bridge_request(sock, SIOCBRADDBR, name);
    if (error == -EEXIST) error = 0;
    if (error != 0) kxnet_log("Failed to create bridge '%s', err = %d", name, -error);
    return error;
}

// An Open vSwitch bridge is no Linux bridge (the request answers EPERM):
// it is deleted through ovs-vsctl instead.
bridge_destroy_result delete_bridge_device(int sock, const char *name) {
    const int error = bridge_request(sock, SIOCBRDELBR, name);
    if (error == -EPERM && state().ovs_enabled) {
        const command_status status = ovs_vsctl("--if-exists", "del-br", name);
        return {status.error(), status.shown()};
    }
    return {error, -error};
}

void set_forward_delay_zero(int sock, const char *name) {
    char device_dir[64];
    std::snprintf(device_dir, sizeof device_dir, "/sys/class/net/%s", name);
    struct stat info {};
    if (stat(device_dir, &info) != 0) {
        set_forward_delay_ioctl(sock, name);
        return;
    }
    char attribute[64];
    std::snprintf(attribute, sizeof attribute, "/sys/class/net/%s/bridge/forward_delay", name);
    ssize_t written = sysfs_write(attribute, "0", nullptr, 0);
    if (written < 0) {
        kxnet_log("Fail to set forward_delay, ret = %d", static_cast<int>(written));
        set_forward_delay_ioctl(sock, name);
    }
}

struct reattach_context {
    std::string network_id;
    char bridge[IFNAMSIZ];
    int sock;
};

// Visits every entry: never asks to stop.
bool reattach_interface(kxctl_veth *entry, void *raw) {
    auto *context = static_cast<reattach_context *>(raw);
    if (entry->network == nullptr || context->network_id != entry->network) return false;
    char device[IFNAMSIZ];
    std::memcpy(device, entry->dev_name, sizeof device);
    device[IFNAMSIZ - 1] = '\0';
    bridge_add_port(context->bridge, device, false, false);
    set_device_up(context->sock, device);
    return false;
}

// The containers of the pair list, each once, in order of first appearance:
// walking a container visits all its interfaces, so a second walk would only
// try to add the same ports again.
std::vector<int32_t> containers_with_pairs() {
    std::vector<int32_t> ids;
    registry_guard guard;
    for (const veth_pair &pair : registry_veth_pairs())
        if (std::find(ids.begin(), ids.end(), pair.ctid) == ids.end()) ids.push_back(pair.ctid);
    return ids;
}

void reattach_container_interfaces(int sock, const char *bridge, const char *network_id) {
    read_pair_list();
    reattach_context context{network_id, {}, sock};
    copy_ifname(context.bridge, bridge);
    for (int32_t ctid : containers_with_pairs())
        walk_container_interfaces(static_cast<uint32_t>(ctid), reattach_interface, &context);
}

// The mark is best effort: a bridge without it is only never pruned.
void mark_new_device(const char *name) {
    if (int error = mark_device_ours(name); error != 0)
        kxnet_log("Failed to mark device \"%s\" as made by kxnet, err = %d", name, error);
}

} // namespace

void set_forward_delay_ioctl(int sock, const char *name) {
    bridge_command_block block;
    block.command = brctl_set_bridge_forward_delay;
    int result = bridge_private_request(sock, name, block);
    if (result < 0) kxnet_log("Fail to set forward_delay via ioctl, ret = %d", result);
}

int bridge_create(int sock, const char *name, const char *network_id) {
    // A bridge that stood before (host start on a live host) keeps its ports
    // when it will not come up; only one made here is taken back.
    const bool stood = if_nametoindex(name) != 0;
    if (int error = add_bridge_device(sock, name); error != 0) return error;
    // Only a bridge made here is marked ours: one that stood may be adopted.
    if (!stood) mark_new_device(name);
    if (int error = set_device_up(sock, name); error != 0) {
        if (!stood) delete_bridge_device(sock, name);
        return error;
    }
    if (!state().ovs_enabled) set_forward_delay_zero(sock, name);
    // Best effort like each port it adds: memory running short part-way must
    // not unwind past a bridge that now stands.
    guarded(0, [&] {
        reattach_container_interfaces(sock, name, network_id != nullptr ? network_id : "");
        return 0;
    });
    return 0;
}

bridge_destroy_result bridge_destroy(const char *bridge, const char *physical, int keep_physical) {
    ctl_socket_holder hold;
    if (!hold) return {failed_errno(), -1};
    const int sock = hold.socket();

    struct ifreq request {};
    copy_ifname(request.ifr_name, bridge);
    int result = ioctl(sock, SIOCGIFFLAGS, &request);
    if (result == 0 && (request.ifr_flags & IFF_UP) != 0) {
        request.ifr_flags = static_cast<short>(request.ifr_flags & ~IFF_UP);
        result = ioctl(sock, SIOCSIFFLAGS, &request);
    }
    if (result != 0 && errno != 0) {
        if (errno == ENODEV) return {};
        return {-errno, errno};
    }

    if (keep_physical == 0 && physical != nullptr && *physical != '\0' && state().ovs_enabled)
        ovs_unlink_phys(bridge, physical);

    bridge_destroy_result deleted = delete_bridge_device(sock, bridge);
    // The number shown for a gone device (ENXIO, also as the switch's
    // status) is -1.
    if (deleted.error != 0 && deleted.shown == ENXIO) deleted.shown = -1;
    return deleted;
}

} // namespace kx
