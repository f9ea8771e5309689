// The virtual pair that joins a host interface D to a network under Open
// vSwitch: veth-D.0 sits in D's Open vSwitch bridge br-D, veth-D.1 in the
// network's bridge.  The pair is made by the container kernel's /dev/kxctl
// request and deleted with /sbin/ip.
#include "devices/ports.h"

#include "frame/command.h"
#include "frame/fd.h"
#include "frame/log.h"
#include "frame/paths.h"
#include "frame/state.h"
#include "kxnet_ct.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kx {

namespace {

// The pair creation record of /dev/kxctl, in host byte order.
struct pair_create_record {
    int32_t container_id;
    int32_t operation;
    uint8_t first_address[6];
    uint8_t first_padding[2];
    int32_t first_address_length;
    char first_name[16];
    uint8_t second_address[6];
    uint8_t second_padding[2];
    int32_t second_address_length;
    char second_name[16];
};

static_assert(sizeof(pair_create_record) == 64);
static_assert(offsetof(pair_create_record, container_id) == 0);
static_assert(offsetof(pair_create_record, operation) == 4);
static_assert(offsetof(pair_create_record, first_address) == 8);
static_assert(offsetof(pair_create_record, first_padding) == 14);
static_assert(offsetof(pair_create_record, first_address_length) == 16);
static_assert(offsetof(pair_create_record, first_name) == 20);
static_assert(offsetof(pair_create_record, second_address) == 36);
static_assert(offsetof(pair_create_record, second_padding) == 42);
static_assert(offsetof(pair_create_record, second_address_length) == 44);
static_assert(offsetof(pair_create_record, second_name) == 48);

constexpr unsigned long pair_create_request = _IOW(0x5b, 3, pair_create_record);
static_assert(pair_create_request == 0x40405b03);
constexpr int32_t pair_operation_add = 1;
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
    pair_create_record record{};
    record.container_id = 0;
    record.operation = pair_operation_add;
    record.first_address_length = 6;
    record.second_address_length = 6;
    copy_ifname(record.first_name, names.first);
    copy_ifname(record.second_name, names.second);
    int err = gen_hwaddr(record.first_address);
    if (err == 0) err = gen_hwaddr(record.second_address);
    if (err != 0) {
        kxnet_log("Failed to gen_hwaddr: err=%d", err);
        return KXNET_ERR_SYSTEM;
    }

    std::string path = paths::rooted(paths::kxctl_device);
    unique_fd control(open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!control) {
        kxnet_log("Failed to open /dev/kxctl: err=%d", errno);
        return KXNET_ERR_SYSTEM;
    }
    int result = ioctl(control.get(), pair_create_request, &record);
    int error = errno;
    control.reset();
    if (result >= 0) return KXNET_OK;
    if (error == ENOTTY)
        kxnet_log("veth feature is not supported by the kernel");
    else
        kxnet_log("Unable to create the veth device pair %s %s err=%d", names.first, names.second, error);
    return KXNET_ERR_SYSTEM;
}

bool bring_up(const char *device) {
    if (set_device_up(0, device) == 0) return true;
    kxnet_log("Failed to set device '%s' up", device);
    return false;
}

} // namespace

int ovs_link_phys(const char *bridge, const char *phys) {
    if (bridge == nullptr || phys == nullptr) return KXNET_ERR_SYSTEM;
    pair_names names = names_for(phys);
    if (create_pair(names) != KXNET_OK) return KXNET_ERR_SYSTEM;

    // A stale membership of the first end would make the add a no-op.
    bridge_remove_port(names.ovs_bridge, names.first, KXNETIF_VETH);
    if (bridge_add_port(names.ovs_bridge, names.first, false, false) != KXNET_OK) {
        destroy_pair_device(names.first);
        return KXNET_ERR_SYSTEM;
    }
    if (!bring_up(names.first)) {
        bridge_remove_port(names.ovs_bridge, names.first, KXNETIF_VETH);
        destroy_pair_device(names.first);
        return KXNET_ERR_SYSTEM;
    }
    if (bridge_add_port(bridge, names.second, false, false) != KXNET_OK) {
        bridge_remove_port(names.ovs_bridge, names.first, KXNETIF_VETH);
        destroy_pair_device(names.first);
        return KXNET_ERR_SYSTEM;
    }
    if (!bring_up(names.second)) {
        bridge_remove_port(bridge, names.second, KXNETIF_VETH);
        bridge_remove_port(names.ovs_bridge, names.first, KXNETIF_VETH);
        destroy_pair_device(names.first);
        return KXNET_ERR_SYSTEM;
    }
    return KXNET_OK;
}

int ovs_unlink_phys(const char *bridge, const char *phys) {
    if (bridge == nullptr || phys == nullptr) return KXNET_ERR_SYSTEM;
    pair_names names = names_for(phys);
    bridge_remove_port(names.ovs_bridge, names.first, KXNETIF_VETH);
    // The caller may know only br-<phys> as the interface's bridge (when
    // br-<phys> is no network), so the second end leaves whichever switch
    // bridge holds it.
    if (state().ovs_enabled != 0 && !is_linux_bridge(bridge))
        switch_remove_port(names.second);
    else
        bridge_remove_port(bridge, names.second, KXNETIF_VETH);
    return destroy_pair_device(names.first) != 0 ? KXNET_ERR_SYSTEM : KXNET_OK;
}

int destroy_pair_device(const char *name) {
    if (name == nullptr) return -1;
    std::string tool = paths::rooted(paths::ip_tool);
    const char *const argv[] = {tool.c_str(), "link", "delete", name, nullptr};
    int status = run_command(argv);
    if (status != 0) kxnet_log("Failed to destroy the virtual pair device '%s', err = %d", name, status);
    return status;
}

} // namespace kx
