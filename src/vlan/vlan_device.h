// The kernel's 802.1Q requests: creating and removing a VLAN device, switching
// the kernel's naming type, asking a VLAN device for its underlying device and
// id, and the state probe that decides whether a device can carry a VLAN.
#pragma once

namespace kx {

// What the state probe finds.
enum class device_state {
    missing, // SIOCGIFFLAGS failed with ENODEV
    down,    // present with IFF_UP clear
    present, // up, or any other probe failure
};

device_state probe_device_state(int sock, const char *name);

// The requests answer 0 or the failed request's negative errno.

// Adds VLAN `vid` over `device`, then brings the new device (named by the
// naming type in force) up; a device that cannot be brought up is removed
// again.
int vlan_create_device(int sock, const char *device, unsigned vid);

// Removes the VLAN device `name`.
int vlan_delete_device(int sock, const char *name);

// Refreshes the naming-type mirror and switches the kernel to
// VLAN_NAME_TYPE_PLUS_VID_NO_PAD unless it is there already.
int vlan_force_name_type(int sock);

// The underlying device of VLAN device `name`, cut to 15 characters; fails
// when `name` is no VLAN device.
int vlan_real_device(int sock, const char *name, char (&out)[16]);

// The VLAN id of VLAN device `name`.
int vlan_device_id(int sock, const char *name, int &vid);

} // namespace kx
