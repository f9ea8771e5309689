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
// 0, or a negative errno: the creation's (logged with the request's errno or
// the ovs-vsctl status), or that of bringing it up (it is deleted again).
int bridge_create(int sock, const char *name, const char *network_id);

// Forward delay 0 by the bridge private request; failures are only logged.
void set_forward_delay_ioctl(int sock, const char *name);

// A free automatic index, 0 to 1024, climbing from last_bridge_index();
// -ENOSPC when none is free, or a failed probe's negative errno.
int choose_bridge_index(int sock);

// The index of the last bridge created under an automatic name (-1 at start).
int32_t last_bridge_index();
void set_last_bridge_index(int32_t index);

// How bridge_destroy ended: `error` is 0 or a negative errno; `shown` is the
// number a failure line prints for it: the request's errno, -1 for ENXIO or
// for no control socket, or the ovs-vsctl status.
struct bridge_destroy_result {
    int error = 0;
    int shown = 0;
};

// Takes the bridge down and deletes it; with Open vSwitch active and
// `keep_physical` 0, first undoes the link of `physical` (may be null or
// empty).  Success also when the bridge is gone.
bridge_destroy_result bridge_destroy(const char *bridge, const char *physical, int keep_physical);

// Answers true to stop the visit.
using container_interface_callback = bool (*)(kxctl_veth *entry, void *context);

// Visits the virtual Ethernet interfaces of container `ctid`'s configuration
// in order; a container whose configuration cannot be read is skipped.
void walk_container_interfaces(uint32_t ctid, container_interface_callback callback,
                               void *context);

} // namespace kx
