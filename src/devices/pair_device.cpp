// The virtual pair that joins a host interface D to a network under Open
// vSwitch: veth-D.0 sits in D's Open vSwitch bridge br-D, veth-D.1 in the
// network's bridge.  The pair is made by the container kernel's /dev/kxctl
// request and deleted with /sbin/ip.
#include "devices/ports.h"

#include "frame/log.h"
#include "frame/state.h"
#include "kxctl_pair.h"
#include "kxnet_ct.h"
#include "sys/command.h"
#include "sys/device_probe.h"
#include "sys/error.h"
#include "sys/fd.h"
#include "sys/paths.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <net/if.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kx {

namespace {

static_assert(ENOTTY == 25);

struct pair_names {
    char first[16];      // veth-D.0, port of br-D
    char second[16];     // veth-D.1, port of the network's bridge
    char ovs_bridge[16]; // br-D
};

pair_names names_for(const char *phys) {
    pair_names names{};
    std::string device(phys);
    copy_ifname(names.first, ("veth-" + device + ".0").c_str());
    copy_ifname(names.second, ("veth-" + device + ".1").c_str());
    copy_ifname(names.ovs_bridge, ("br-" + device).c_str());
    return names;
}

int create_pair(const pair_names &names) {
    kxctl_pair_record record{};
    record.container_id = 0;
    record.operation = kxctl_pair_operation_add;
    record.first_address_length = 6;
    record.second_address_length = 6;
    copy_ifname(record.first_name, names.first);
    copy_ifname(record.second_name, names.second);
    int err = gen_hwaddr(record.first_address);
    if (err == 0) err = gen_hwaddr(record.second_address);
    if (err != 0) {
        kxnet_log("Failed to gen_hwaddr: err=%d", -err);
        return err;
    }

    std::string path = paths::rooted(paths::kxctl_device);
    unique_fd control(open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!control) {
        const int error = failed_errno();
        kxnet_log("Failed to open /dev/kxctl: err=%d", errno);
        return error;
    }
    int result = ioctl(control.get(), kxctl_pair_create_request, &record);
    const int error = result < 0 ? failed_errno() : 0;
    control.reset();
    if (result >= 0) return 0;
    if (error == -ENOTTY)
        kxnet_log("veth feature is not supported by the kernel");
    else if (error != -EEXIST) // the caller may reuse a pair that stands
        kxnet_log("Unable to create the veth device pair %s %s err=%d", names.first, names.second, -error);
    return error;
}

// 0, or set_device_up's negative errno after the failure line.
int bring_up(const char *device) {
    const int error = set_device_up(0, device);
    if (error != 0) kxnet_log("Failed to set device '%s' up", device);
    return error;
}

} // namespace

int ovs_link_phys(const char *bridge, const char *phys) {
    if (bridge == nullptr || phys == nullptr) return -EINVAL;
    pair_names names = names_for(phys);
    // A pair left standing is reused: host start on a live host, after the
    // network's bridge was made anew, links it again instead of failing on
    // a pair that exists.  Only a pair made here is taken back on failure.
    const int made = create_pair(names);
    const bool stood = made == -EEXIST && if_nametoindex(names.first) != 0 && if_nametoindex(names.second) != 0;
    if (made == -EEXIST && !stood)
        kxnet_log("Unable to create the veth device pair %s %s err=%d", names.first, names.second, EEXIST);
    if (made != 0 && !stood) return made;
    auto take_back = [&] {
        if (stood) return;
        bridge_remove_port(names.ovs_bridge, names.first, KXNETIF_VETH);
        destroy_pair_device(names.first);
    };

    // A stale membership of the first end would make the add a no-op.
    bridge_remove_port(names.ovs_bridge, names.first, KXNETIF_VETH);
    if (int error = bridge_add_port(names.ovs_bridge, names.first, false, false); error != 0) {
        if (!stood) destroy_pair_device(names.first);
        return error;
    }
    if (int error = bring_up(names.first); error != 0) {
        take_back();
        return error;
    }
    if (int error = bridge_add_port(bridge, names.second, false, false); error != 0) {
        take_back();
        return error;
    }
    if (int error = bring_up(names.second); error != 0) {
        bridge_remove_port(bridge, names.second, KXNETIF_VETH);
        take_back();
        return error;
    }
    return 0;
}

int ovs_unlink_phys(const char *bridge, const char *phys) {
    if (bridge == nullptr || phys == nullptr) return -EINVAL;
    pair_names names = names_for(phys);
    bridge_remove_port(names.ovs_bridge, names.first, KXNETIF_VETH);
    // The caller may know only br-<phys> as the interface's bridge (when
    // br-<phys> is no network), so the second end leaves whichever switch
    // bridge holds it.
    if (state().ovs_enabled != 0 && !is_linux_bridge(bridge))
        switch_remove_port(names.second);
    else
        bridge_remove_port(bridge, names.second, KXNETIF_VETH);
    return destroy_pair_device(names.first);
}

int destroy_pair_device(const char *name) {
    if (name == nullptr) return -EINVAL;
    std::string tool = paths::rooted(paths::ip_tool);
    const char *const argv[] = {tool.c_str(), "link", "delete", name, nullptr};
    const command_status status = run_command(argv);
    if (!status.succeeded())
        kxnet_log("Failed to destroy the virtual pair device '%s', err = %d", name, status.shown());
    return status.error();
}

} // namespace kx
