// Bridge ports for both back ends (Linux bridge by ioctl, Open vSwitch by
// ovs-vsctl), the virtual pair that links a host interface's Open vSwitch
// bridge to a network's bridge, hardware addresses for pair devices, the
// bridge's via-physical-device switch and the listing of a bridge's ports.
#pragma once

#include <optional>

namespace kx {

// Every operation here answers 0 or a negative errno; a command that failed
// reads as command_status::error.

// Adds `device` to `bridge`: 0 on success (also for a device without an
// interface index, for an ENODEV answer and for the switch's status 19),
// else a negative errno.  `host_interface` marks
// a network's own host interface; `linux_bridge` forces the ioctl path even
// while Open vSwitch is active.
int bridge_add_port(const char *bridge, const char *device, bool host_interface, bool linux_bridge);

// Removes `device` of interface kind `kind` (KXNETIF_*) from `bridge`:
// 0, -ENOENT when the device has no interface index (no kernel request or
// command answers ENOENT), another negative errno on a kernel or switch
// failure.  With
// Open vSwitch active, a bridge that is no Linux bridge is the switch's: the
// port leaves its database (a host interface, its pair link).
int bridge_remove_port(const char *bridge, const char *device, int kind);

// Whether `bridge` is a Linux bridge (it has the kernel's bridge directory).
bool is_linux_bridge(const char *bridge);

// Brings a pair device down and takes it out of whichever switch bridge
// holds it: 0, or a negative errno when it cannot be brought down or the
// switch refuses.
int switch_remove_port(const char *device);

// Links host interface `phys` to the network bridge `bridge` through the pair
// veth-<phys>.0 (port of br-<phys>) and veth-<phys>.1 (port of `bridge`):
// 0 or a negative errno; a half-built link is taken apart again.
int ovs_link_phys(const char *bridge, const char *phys);

// Takes that link apart: 0, or a negative errno when the pair cannot be
// destroyed.
int ovs_unlink_phys(const char *bridge, const char *phys);

// Deletes a pair device (both ends) with /sbin/ip; a failure is logged with
// the command's status.
int destroy_pair_device(const char *name);

// Six random bytes, the first one 0xfe (unicast, locally administered):
// 0, a negative errno, or -EINVAL when fewer than six bytes could be read.
int gen_hwaddr(unsigned char *address);

// Switches the bridge's via-physical-device mode: 0 or a negative errno
// (the attribute's, or that of the fallback request when the attribute
// cannot be written).  `previous`, when given, receives the value read
// before the write; it stays empty when no value could be read (the ioctl
// fallback knows none).
int set_via_phys_dev(const char *bridge, bool on, std::optional<int> *previous = nullptr);

using bridge_port_callback = void (*)(const char *bridge, const char *port, void *context);

// Calls `callback` for every port of a Linux bridge, in name order (sysfs),
// or in the kernel's order when only the legacy port-list request works.
void for_each_bridge_port(const char *bridge, bridge_port_callback callback, void *context);

} // namespace kx
