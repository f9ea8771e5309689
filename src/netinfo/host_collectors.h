// The host information collectors: the container kernel's pair and device
// lists, the VLAN devices, the bridges with their ports, and the boot
// protocol of each host device's ifcfg file, reported to the store.
#pragma once

#include "kxnet_ct.h"

namespace kx {

class ifcfg_device_index;
struct link_facts;
struct iface_record;

// Reads "/proc/kx/veth" into the library's pair list; with `update` nonzero
// also reports both ends of every pair to the store.
void read_proc_veth(int update);
// Reads "/proc/kx/vmth" and reports its devices as pair devices.
void read_proc_vmth();
// Refreshes the VLAN naming type and reports every VLAN device.
void read_vlan_devices();
// Reports every host bridge, its network id and its ports.  `facts`, from
// the host dump of the same snapshot, settle devices whose kind answers the
// bridge test; without them every device is probed.
void scan_bridges(const link_facts *facts = nullptr);
// The same for one host device alone, without Open vSwitch: a bridge with
// its network id and ports, or a port with its bridge and network id, as
// the whole scan reports them for that device.
void scan_bridges_of(const char *name, const link_facts *facts);
// Reports "dhcp" as a configured address of a host record whose ifcfg file
// sets BOOTPROTO to dhcp.  `index` (may be null) is the query's one-pass
// index of the network-scripts directory.
void read_bootproto(const iface_record &record, const ifcfg_device_index *index);

} // namespace kx
