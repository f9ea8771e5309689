// The kernel's 802.1Q requests: creating and removing a VLAN device, switching
// the kernel's naming type, asking a VLAN device for its underlying device and
// id, and the state probe that decides whether a device can carry a VLAN.
#pragma once

namespace kx {

// Answers of probe_device_state.
inline constexpr int device_missing = 2; // SIOCGIFFLAGS failed with ENODEV
inline constexpr int device_down = 9;    // present with IFF_UP clear
inline constexpr int device_present = 1; // up, or any other probe failure

int probe_device_state(int sock, const char *name);

// Adds VLAN `vid` over `device`, then brings the new device (named by the
// naming type in force) up; a device that cannot be brought up is removed
// again.  0 or a negative request result.
int vlan_create_device(int sock, const char *device, unsigned vid);

// Removes the VLAN device `name`: the request result (0 or negative).
int vlan_delete_device(int sock, const char *name);

// Refreshes the naming-type mirror and switches the kernel to
// VLAN_NAME_TYPE_PLUS_VID_NO_PAD unless it is there already: 0 or the
// request result.
int vlan_force_name_type(int sock);

// The underlying device of VLAN device `name`, cut to 15 characters: 0, or
// the negative request result when `name` is no VLAN device.
int vlan_real_device(int sock, const char *name, char (&out)[16]);

// The VLAN id of VLAN device `name`: 0 or the negative request result.
int vlan_device_id(int sock, const char *name, int &vid);

} // namespace kx
