// The bridge device behind a virtual network: creating it (forward delay 0,
// container interfaces of its network re-attached), choosing a free
// automatic name "br<N>", destroying it, and walking a container's
// configured virtual Ethernet interfaces.
#pragma once

#include "kxctl.h"

#include <cstdint>

namespace kx {

// Highest automatic bridge index.
inline constexpr int bridge_index_max = 1024;

// Creates (or reuses) the bridge `name`, brings it up, sets its forward delay
// to 0 and adds the host ends of container interfaces bound to `network_id`.
// 0; 1 when it could not be brought up (it is deleted again); else a positive
// errno or the ovs-vsctl status.
int bridge_create(int sock, const char *name, const char *network_id);

// Forward delay 0 by the bridge private request; failures are only logged.
int set_forward_delay_ioctl(int sock, const char *name);

// A free automatic index, 0 to 1024, climbing from last_bridge_index(), or
// -1 (none free, or a probe failed).
int choose_bridge_index(int sock);

// The index of the last bridge created under an automatic name (-1 at start).
int32_t last_bridge_index();
void set_last_bridge_index(int32_t index);

// Takes the bridge down and deletes it; with Open vSwitch active and
// `keep_physical` 0, first undoes the link of `physical` (may be null or
// empty).  0 (also when the bridge is gone), an errno, -1 for ENXIO, or a
// negative socket result.
int bridge_destroy(const char *bridge, const char *physical, int keep_physical);

// Answers nonzero to stop the visit.
using container_interface_callback = int (*)(kxctl_veth *entry, void *context);

// Visits the virtual Ethernet interfaces of container `ctid`'s configuration
// in order; a container whose configuration cannot be read is skipped.
void walk_container_interfaces(uint32_t ctid, container_interface_callback callback,
                               void *context);

} // namespace kx
