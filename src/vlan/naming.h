// VLAN device naming: the library mirrors the kernel's naming type and forms
// the name of a new VLAN device itself, the way the kernel will.
#pragma once

#include <cstdint>
#include <cstdio>

namespace kx {

// The mirrored naming type (0..3); 3 until the kernel says otherwise.
int32_t &vlan_name_type();

// Names VLAN `vid` over `device` by the current naming type, cut to 15
// characters.
void vlan_device_name(const char *device, unsigned vid, char (&out)[16]);

// Sets the naming type from the kernel's name of it; unknown text gives 3.
void vlan_name_type_set(const char *text);

// Reads the two header lines of "/proc/net/vlan/config" from `stream` and
// applies the naming type of line 2.  False when either line is missing.
// On return the stream stands at the first device line.
bool read_vlan_config_header(std::FILE *stream);

// Reader of the device lines that follow the header.
using vlan_config_device_reader = void (*)(std::FILE *stream);

// Refreshes the naming type from "/proc/net/vlan/config".  With `update`
// nonzero and a reader given, the reader then consumes the device lines
// before the file is closed.  A missing or short file changes nothing.
void read_vlan_config(int update, vlan_config_device_reader read_devices = nullptr);

} // namespace kx
